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

using orvane::net::readSmtpReplyCode;
using orvane::net::sanitizeSmtpLine;
using orvane::net::SmtpAcceptedCodes;
using orvane::net::SmtpReplyAssembler;

namespace {
void check(bool condition) {
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
    const std::size_t copied = assembler.append(rest.substr(0, want));
    check(copied <= want && assembler.held() <= SmtpReplyAssembler::kBufferSize);
    if (copied == 0) {
      check(assembler.overflowed());
      assembler.reset();  // a new connection
    }
    fed += copied;
    rest.remove_prefix(copied == 0 ? std::min<std::size_t>(rest.size(), want) : copied);
    ++chunkNo;
    for (;;) {
      const auto status = assembler.Next(line);
      if (status == SmtpReplyAssembler::Status::NeedMore) break;
      if (status == SmtpReplyAssembler::Status::Overflow) {
        check(assembler.overflowed() && assembler.held() == 0 && assembler.freeSpace() == 0);
        break;
      }
      check(line.find("\r\n") == std::string::npos);
      check(line.size() + 2 <= SmtpReplyAssembler::kBufferSize);
      delivered += line.size() + 2;
      const auto code = readSmtpReplyCode(line);
      check(code.valid ? (code.code >= 100 && code.code <= 599) : (code.code == 0));
      check(!code.continuation || code.valid);
      const std::string clean = sanitizeSmtpLine(line);
      check(clean.size() == line.size());
      for (char c : clean) check(static_cast<unsigned char>(c) >= 0x20 && c != 0x7F);
      if (code.valid)
        check(accepted.Result(code.code) == 0 || accepted.Result(code.code) == code.code);
    }
  }
  check(delivered <= fed);
  return 0;
}
