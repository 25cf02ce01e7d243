#include "net/SmtpReply.h"

#include <algorithm>
#include <cstring>

namespace orvane::net {

namespace {
bool isDigit(char c) noexcept {
  return c >= '0' && c <= '9';
}
}  // namespace

SmtpReplyCode readSmtpReplyCode(std::string_view line) noexcept {
  SmtpReplyCode result;
  std::size_t i = 0;
  while (i < line.size() &&
         (line[i] == ' ' || line[i] == '\t' || line[i] == '\r' || line[i] == '\n')) {
    ++i;
  }
  std::size_t digits = 0;
  int code = 0;
  while (i + digits < line.size() && isDigit(line[i + digits]) && digits < 4) {
    code = code * 10 + (line[i + digits] - '0');
    ++digits;
  }
  if (digits != 3) return result;
  const std::size_t after = i + 3;
  if (after < line.size() && line[after] != ' ' && line[after] != '-') return result;
  if (code < 100 || code > 599) return result;
  result.code = code;
  result.valid = true;
  result.continuation = after < line.size() && line[after] == '-';
  return result;
}

std::string sanitizeSmtpLine(std::string_view line) {
  std::string out(line);
  for (char& c : out) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F) c = '?';
  }
  return out;
}

SmtpAcceptedCodes::SmtpAcceptedCodes(std::initializer_list<int> codes) {
  for (int code : codes) {
    if (count_ == kMaxCodes) break;
    codes_[count_++] = code;
  }
}

int SmtpAcceptedCodes::Result(int code) const noexcept {
  if (count_ == 0) return code >= 500 ? code : 0;
  for (std::size_t i = 0; i < count_; ++i) {
    if (codes_[i] == code) return 0;
  }
  return code;
}

void SmtpReplyAssembler::commit(std::size_t n) noexcept {
  count_ += std::min(n, freeSpace());
}

std::size_t SmtpReplyAssembler::append(std::string_view data) noexcept {
  const std::size_t n = std::min(data.size(), freeSpace());
  if (n > 0) std::memcpy(writePtr(), data.data(), n);
  commit(n);
  return n;
}

SmtpReplyAssembler::Status SmtpReplyAssembler::Next(std::string& line) {
  if (overflowed_) return Status::NeedMore;
  // Resume the search one byte before the end of the last one: a "\r" at the
  // end may have been waiting for its "\n".
  std::size_t from = scanned_ > 0 ? scanned_ - 1 : 0;
  for (std::size_t i = from; i + 1 < count_; ++i) {
    if (buffer_[i] == '\r' && buffer_[i + 1] == '\n') {
      line.assign(buffer_.data(), i);
      const std::size_t consumed = i + 2;
      std::memmove(buffer_.data(), buffer_.data() + consumed, count_ - consumed);
      count_ -= consumed;
      scanned_ = 0;
      return Status::Line;
    }
  }
  scanned_ = count_;
  if (count_ == kBufferSize) {
    overflowed_ = true;
    count_ = 0;
    scanned_ = 0;
    return Status::Overflow;
  }
  return Status::NeedMore;
}

void SmtpReplyAssembler::reset() noexcept {
  count_ = 0;
  scanned_ = 0;
  overflowed_ = false;
}

}  // namespace orvane::net
