// Plays a SOCKS proxy's replies from the input against the negotiation, in
// chunks the input chooses, fed the way the socket feeds them (never past
// what the codec says it still needs), and checks what must always hold: a
// reply is judged only once complete, every end is a connection or a
// SOCKS error with its text, the texts never carry the user name or the
// password, and the password goes out only in the authentication request.
//
// Input: byte 0 chooses the version (bits 0-1: 4, 4A, 5), whether to
// authenticate (bit 2) and the target (bits 3-4: an IPv4 address, a host
// name, an IPv6 address); byte 1 the chunk sizes; the rest are the replies.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "net/SocksCodec.h"

using orvane::net::SocksCodec;
using orvane::net::SocksTarget;
using orvane::net::SocksVersion;

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

const std::string kUser = "fuzz-user-name";
const std::string kPassword = "fuzz-pass-word";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const SocksVersion versions[] = {SocksVersion::v4, SocksVersion::v4A, SocksVersion::v5};
  const char* hosts[] = {"192.0.2.7", "mx.example.test", "2001:db8::25"};
  SocksTarget target;
  target.version = versions[(data[0] & 3) % 3];
  target.host = hosts[((data[0] >> 3) & 3) % 3];
  target.port = 25;
  if ((data[0] & 4) != 0) {
    target.authentication = orvane::net::socksAuthenticateUsercode;
    target.usercode = kUser;
    target.password = kPassword;
  }
  const unsigned seed = data[1];
  std::string_view rest(reinterpret_cast<const char*>(data + 2), size - 2);

  SocksCodec codec;
  SocksCodec::Step step = codec.start(target);
  for (std::size_t chunkNo = 0;; ++chunkNo) {
    check(codec.running());
    if (!step.pending()) {
      check(step.message.find(kPassword) == std::string::npos &&
            step.message.find(kUser) == std::string::npos);
      const bool authRequest = step.authState == orvane::net::socksAuthStart;
      check(authRequest || step.send.find(kPassword) == std::string::npos);
      if (step.error != 0) {
        check(step.error > orvane::net::socksNoError &&
              step.error <= orvane::net::socksHostResolutionFailed && !step.message.empty());
        check(!step.connected && step.send.empty() && codec.missing() == 0);
        break;
      }
      if (step.connected) {
        check(step.send.empty() && codec.missing() == 0);
        break;
      }
      // Otherwise a request went out and its reply is awaited.
      check(!step.send.empty() && codec.missing() > 0);
    }
    if (rest.empty()) break;
    const std::size_t need = codec.missing();
    check(need <= 4 + 1 + 255 + 2);
    const std::size_t chunk = 1 + ((seed * 31u + chunkNo * 17u) % 64u);
    const std::size_t take = std::min({chunk, need, rest.size()});
    step = codec.receive(rest.substr(0, take));
    rest.remove_prefix(take);
    // Judged only once the reply is complete: short of that, more is asked
    // for (a SOCKS 5 reply's length shows only in its first five bytes).
    if (take < need) check(step.pending() && codec.missing() == need - take);
    if (step.pending()) check(codec.missing() > 0);
  }
  codec.reset();
  check(!codec.running() && codec.missing() == 0);
  return 0;
}
