// Feeds the reply assembler the input in chunks whose sizes come from the
// input itself, and checks what must always hold: no line contains "\r\n",
// nothing is held beyond the buffer, an overflow swallows everything until the
// next reset, and reading a code or cleaning a line never misbehaves.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "net/SmtpReply.h"

using orvane::net::ReadSmtpReplyCode;
using orvane::net::SanitizeSmtpLine;
using orvane::net::SmtpAcceptedCodes;
using orvane::net::SmtpReplyAssembler;

namespace {
void Check(bool condition) {
  if (!condition) std::abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  // The first byte chooses the chunk sizes (1..256 bytes, varied per chunk).
  const unsigned seed = data[0];
  std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
  SmtpReplyAssembler assembler;
  const SmtpAcceptedCodes accepted{250, 251};
  std::string line;
  std::size_t chunkNo = 0;
  std::size_t fed = 0;
  std::size_t delivered = 0;
  while (!rest.empty()) {
    const std::size_t want = 1 + ((seed * 31u + chunkNo * 17u) % 256u);
    const std::size_t copied = assembler.Append(rest.substr(0, want));
    Check(copied <= want && assembler.Held() <= SmtpReplyAssembler::kBufferSize);
    if (copied == 0) {
      Check(assembler.Overflowed());
      assembler.Reset();  // a new connection
    }
    fed += copied;
    rest.remove_prefix(copied == 0 ? std::min<std::size_t>(rest.size(), want) : copied);
    ++chunkNo;
    for (;;) {
      const auto status = assembler.Next(line);
      if (status == SmtpReplyAssembler::Status::NeedMore) break;
      if (status == SmtpReplyAssembler::Status::Overflow) {
        Check(assembler.Overflowed() && assembler.Held() == 0 && assembler.FreeSpace() == 0);
        break;
      }
      Check(line.find("\r\n") == std::string::npos);
      Check(line.size() + 2 <= SmtpReplyAssembler::kBufferSize);
      delivered += line.size() + 2;
      const auto code = ReadSmtpReplyCode(line);
      Check(code.valid ? (code.code >= 100 && code.code <= 599) : (code.code == 0));
      Check(!code.continuation || code.valid);
      const std::string clean = SanitizeSmtpLine(line);
      Check(clean.size() == line.size());
      for (char c : clean) Check(static_cast<unsigned char>(c) >= 0x20 && c != 0x7F);
      if (code.valid)
        Check(accepted.Result(code.code) == 0 || accepted.Result(code.code) == code.code);
    }
  }
  Check(delivered <= fed);
  return 0;
}
