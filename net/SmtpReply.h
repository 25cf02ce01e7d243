// Reading SMTP server replies: assembling reply lines from the bytes the
// socket delivers, reading the three-digit reply code, and deciding whether a
// code is in a request's list of accepted codes.
//
// Pure code with no I/O. SmtpReplyAssembler owns one fixed 4096-byte buffer;
// it never grows and never reads or writes outside it. Used by TSmtpCli on the
// event-loop thread; not thread-safe (one assembler per client).
#pragma once

#include <array>
#include <cstddef>
#include <initializer_list>
#include <string>
#include <string_view>

namespace orvane::net {

// The code at the start of one reply line.
struct SmtpReplyCode {
  int code = 0;               // the three-digit code, 0 when the line has none
  bool valid = false;         // three decimal digits (100..599), then end, " " or "-"
  bool continuation = false;  // "-" right after the digits: more lines follow
};

// Reads the reply code of `line`: leading spaces, tabs, CR and LF are skipped,
// then exactly three digits must follow, ending the line or followed by " " or
// "-". Anything else (no digits, a sign, two or four digits, a letter right
// after the digits, a code outside 100..599) is not a valid code.
SmtpReplyCode readSmtpReplyCode(std::string_view line) noexcept;

// `line` with every control byte (below 0x20, and 0x7F) replaced by "?", so
// that no raw control character reaches a log or a window.
std::string sanitizeSmtpLine(std::string_view line);

// Up to 15 accepted reply codes of one request. An empty list means: a code
// below 500 succeeds, 500 and above fail.
class SmtpAcceptedCodes final {
 public:
  static constexpr std::size_t kMaxCodes = 15;
  SmtpAcceptedCodes() = default;
  SmtpAcceptedCodes(std::initializer_list<int> codes);

  // 0 when `code` succeeds under this list, else `code` itself. A reply
  // without a valid code never succeeds; callers report it as 500.
  int Result(int code) const noexcept;
  std::size_t size() const noexcept { return count_; }

 private:
  std::array<int, kMaxCodes> codes_{};
  std::size_t count_ = 0;
};

// Splits the byte stream of one connection into reply lines ended by "\r\n".
//
// Bytes are written straight into the free part of the fixed buffer (writePtr /
// freeSpace / Commit, or Append for a copy). Next() hands out complete lines
// one at a time, in order. When the buffer is full and holds no "\r\n" no line
// can ever complete: Next() reports Overflow once, the assembler discards what
// it holds and refuses further bytes until reset(), so the rest of an
// over-long line is never taken for a new line.
class SmtpReplyAssembler final {
 public:
  static constexpr std::size_t kBufferSize = 4096;

  enum class Status {
    Line,      // `line` holds the next complete line, without "\r\n"
    NeedMore,  // no complete line held; read more bytes
    Overflow,  // 4096 bytes without "\r\n": the connection must be given up
  };

  char* writePtr() noexcept { return buffer_.data() + count_; }
  // Bytes that may be written at writePtr(); 0 after an overflow.
  std::size_t freeSpace() const noexcept { return overflowed_ ? 0 : kBufferSize - count_; }
  // Records `n` bytes written at writePtr(); `n` is clamped to freeSpace().
  void commit(std::size_t n) noexcept;
  // Copies as much of `data` as fits; returns the count copied.
  std::size_t append(std::string_view data) noexcept;

  Status Next(std::string& line);

  // Forgets everything held and clears the overflow (a new connection).
  void reset() noexcept;
  std::size_t held() const noexcept { return count_; }
  bool overflowed() const noexcept { return overflowed_; }

 private:
  std::array<char, kBufferSize> buffer_{};
  std::size_t count_ = 0;
  std::size_t scanned_ = 0;  // bytes already searched for "\r\n" without success
  bool overflowed_ = false;
};

}  // namespace orvane::net
