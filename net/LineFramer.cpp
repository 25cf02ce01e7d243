#include "net/LineFramer.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace orvane::net {

void LineFramer::setLineEnd(std::string value) {
  lineEnd_ = std::move(value);
  lineLength_ = 0;
}

LineFramer::Cut LineFramer::scan(bool closing) const {
  const auto limit = static_cast<std::size_t>(limit_);
  if (!lineEnd_.empty()) {
    const auto pos = held_.find(lineEnd_);
    if (pos != std::string::npos && pos + lineEnd_.size() <= limit)
      return {Found::line, pos + lineEnd_.size()};
  }
  // Too long without an end: handed over as it is, so that memory stays
  // bounded and no byte is lost.
  if (held_.size() >= limit) return {Found::tooLong, limit};
  if (closing && !held_.empty()) return {Found::tail, held_.size()};
  return {};
}

void LineFramer::markLine(std::size_t length) noexcept {
  lineLength_ = std::min(length, held_.size());
}

std::size_t LineFramer::readLine(void* out, std::size_t max) {
  return take(out, std::min(lineLength_, max));
}

std::size_t LineFramer::readHeld(void* out, std::size_t max) {
  return take(out, std::min(held_.size(), max));
}

std::size_t LineFramer::take(void* out, std::size_t count) {
  std::memcpy(out, held_.data(), count);
  discard(count);
  return count;
}

void LineFramer::discard(std::size_t count) {
  count = std::min(count, held_.size());
  held_.erase(0, count);
  lineLength_ -= std::min(lineLength_, count);
}

void LineFramer::clear() noexcept {
  held_.clear();
  lineLength_ = 0;
}

}  // namespace orvane::net
