#include "net/Buffer.h"

#include <algorithm>
#include <cstring>

namespace orvane::net {

TBuffer::TBuffer(int size) {
  setBufSize(size);
}

void TBuffer::setBufSize(int size) {
  size_ = size <= 0 ? kDefaultSize : size;
  data_ = std::make_unique<char[]>(static_cast<std::size_t>(size_));
  wrCount_ = 0;
  rdCount_ = 0;
}

int TBuffer::Write(const void* data, int len) {
  if (len <= 0 || data == nullptr) return 0;
  const int n = std::min(len, room());
  if (n > 0) std::memcpy(data_.get() + wrCount_, data, static_cast<std::size_t>(n));
  wrCount_ += n;
  return n;
}

const char* TBuffer::peek(int& len) const {
  len = wrCount_ - rdCount_;
  if (len <= 0) {
    len = 0;
    return nullptr;
  }
  return data_.get() + rdCount_;
}

void TBuffer::Remove(int len) {
  if (len <= 0) return;
  rdCount_ += std::min(len, wrCount_ - rdCount_);
  if (rdCount_ >= wrCount_) {
    rdCount_ = 0;
    wrCount_ = 0;
  }
}

}  // namespace orvane::net
