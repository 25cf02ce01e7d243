// A proxy's replies fed in chunks (byte 1), never past what the codec needs, to
// a negotiation of the version, authentication and target byte 0 chooses.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "net/SocksCodec.h"

using namespace orvane::net;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto check = [](bool ok) {
    if (!ok) std::abort();
  };
  if (size < 2) return 0;
  const std::string user = "fuzz-user-name", password = "fuzz-pass-word";
  const SocksVersion versions[] = {SocksVersion::v4, SocksVersion::v4A, SocksVersion::v5};
  const char* hosts[] = {"192.0.2.7", "mx.example.test", "2001:db8::25"};
  const bool auth = (data[0] & 4) != 0;
  SocksCodec codec;
  SocksCodec::Step step = codec.start({versions[(data[0] & 3) % 3], hosts[((data[0] >> 3) & 3) % 3],
                                       25, auth ? socksAuthenticateUsercode : socksNoAuthentication,
                                       auth ? user : "", auth ? password : ""});
  std::string_view rest(reinterpret_cast<const char*>(data + 2), size - 2);
  for (unsigned chunkNo = 0; codec.running(); ++chunkNo) {
    if (!step.pending()) {
      // Texts never carry the credentials; the password goes out only once.
      check(step.message.find(password) == step.message.find(user));  // both npos
      check(step.authState == socksAuthStart || step.send.find(password) == std::string::npos);
      if (step.error != 0 || step.connected) {
        check(step.send.empty() && codec.missing() == 0 && !(step.error != 0 && step.connected));
        check(step.connected || (step.error > socksNoError &&
                                 step.error <= socksHostResolutionFailed && !step.message.empty()));
        break;
      }
      check(!step.send.empty() && codec.missing() > 0);  // a request went out
    }
    const std::size_t need = codec.missing();  // at most a SOCKS 5 reply naming a host
    check(need <= 4 + 1 + 255 + 2);
    const std::size_t take =
        std::min<std::size_t>({1 + (data[1] * 31u + chunkNo * 17u) % 64u, need, rest.size()});
    if (take == 0) break;
    step = codec.receive(rest.substr(0, take));
    rest.remove_prefix(take);
    if (take < need) check(step.pending() && codec.missing() == need - take);
    if (step.pending()) check(codec.missing() > 0);
  }
  codec.reset();
  check(!codec.running() && codec.missing() == 0);
  return 0;
}
