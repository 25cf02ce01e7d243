#include "engine/ExtractAddress.h"

namespace orvane::engine {

bool IsAddressChar(char c) noexcept {
  if (c >= 'a' && c <= 'z') return true;
  if (c >= 'A' && c <= 'Z') return true;
  if (c >= '0' && c <= '9') return true;
  switch (c) {
    case '_':
    case '-':
    case '.':
    case '@':
    case '[':
    case ']':
    case '#':
      return true;
    default:
      return false;
  }
}

std::string ExtractAddress(std::string_view text) {
  const std::size_t at = text.find('@');
  if (at == std::string_view::npos) return {};
  std::size_t start = at;
  while (start > 0 && IsAddressChar(text[start - 1])) --start;
  std::size_t end = at + 1;
  while (end < text.size() && IsAddressChar(text[end])) ++end;
  return std::string(text.substr(start, end - start));
}

}  // namespace orvane::engine
