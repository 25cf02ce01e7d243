// The socket's line mode as pure byte work: it holds received bytes and
// finds where the next line ends (at the line end, at the line limit when a
// line runs longer, or at the last byte when the connection closes), then
// hands that line out in pieces of any size. No byte is dropped or reordered.
//
// Owns the held bytes, the line end and the line limit; no socket, no I/O.
// TWSocket drives it on its loop thread; not thread-safe.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace orvane::net {

class LineFramer final {
 public:
  static constexpr int kDefaultLimit = 65536;

  enum class Found {
    none,     // no complete line yet
    line,     // a line ending with the line end
    tooLong,  // limit bytes without a line end: the line is cut there
    tail,     // the connection closes: the rest is the last line
  };
  struct Cut {
    Found found = Found::none;
    std::size_t length = 0;  // of the line, line end included
  };

  const std::string& lineEnd() const noexcept { return lineEnd_; }
  // An empty line end finds no line (only the limit and the close cut).
  // Forgets the marked line.
  void setLineEnd(std::string value);
  // Most bytes held waiting for a line end (at least 1).
  int limit() const noexcept { return limit_; }
  void setLimit(int value) noexcept { limit_ = value < 1 ? 1 : value; }

  void append(std::string_view bytes) { held_.append(bytes); }
  std::size_t held() const noexcept { return held_.size(); }
  bool empty() const noexcept { return held_.empty(); }

  // Where the line at the front ends; `closing`: no more bytes will come.
  Cut scan(bool closing) const;
  // Marks the front line of `length` bytes (no more than are held) for
  // readLine(); 0 marks none.
  void markLine(std::size_t length) noexcept;
  std::size_t lineLength() const noexcept { return lineLength_; }
  // Copies up to `max` bytes of the marked line into `out` and drops them;
  // returns the count.
  std::size_t readLine(void* out, std::size_t max);
  // The same for held bytes whether marked or not.
  std::size_t readHeld(void* out, std::size_t max);
  // Drops up to `count` bytes from the front.
  void discard(std::size_t count);
  void clear() noexcept;

 private:
  std::size_t take(void* out, std::size_t count);

  std::string held_;
  std::size_t lineLength_ = 0;
  std::string lineEnd_ = "\r\n";
  int limit_ = kDefaultLimit;
};

}  // namespace orvane::net
