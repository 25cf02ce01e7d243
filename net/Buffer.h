// One block of a socket's outgoing data.
//
// Owns its bytes. Used only by TWSocket on the event-loop thread; not
// thread-safe. Bytes are appended after the write count and consumed from
// the read count; space before the read count is not reused until the block
// has been emptied, at which point both counts return to 0.
#pragma once

#include <memory>

namespace orvane::net {

class TBuffer final {
 public:
  // Size of a block when none (or a size of 0 or less) is given.
  static constexpr int kDefaultSize = 1514;

  explicit TBuffer(int size = kDefaultSize);
  TBuffer(const TBuffer&) = delete;
  TBuffer& operator=(const TBuffer&) = delete;

  // Copies as many of `len` bytes as fit after the write count; returns the
  // count copied (0 when the block is full or `len` <= 0).
  int Write(const void* data, int len);
  // Points `len` at the number of unread bytes and returns a pointer to them,
  // or returns nullptr with `len` 0 when nothing is unread.
  const char* peek(int& len) const;
  // Advances the read count by up to `len`; when everything written has been
  // read, both counts return to 0.
  void Remove(int len);
  // Replaces the storage by an empty block of `size` bytes (<= 0: default).
  void setBufSize(int size);

  int bufSize() const noexcept { return size_; }
  int wrCount() const noexcept { return wrCount_; }
  int rdCount() const noexcept { return rdCount_; }
  int unread() const noexcept { return wrCount_ - rdCount_; }
  // Room left after the write count.
  int room() const noexcept { return size_ - wrCount_; }

 private:
  std::unique_ptr<char[]> data_;
  int size_ = 0;
  int wrCount_ = 0;
  int rdCount_ = 0;
};

}  // namespace orvane::net
