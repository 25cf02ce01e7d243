#include "engine/ExtractAddress.h"

#include <cstring>

namespace orvane::engine {

bool isAddressChar(char c) noexcept {
  const auto u = static_cast<unsigned char>(c);
  if (u >= 0x80) return true;
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  return c != '\0' && std::strchr("!#$%&'*+-/=?^_`{|}~.@[]", c) != nullptr;
}

std::string ExtractAddress(std::string_view text) {
  const std::size_t at = text.find('@');
  if (at == std::string_view::npos) return {};
  std::size_t start = at;
  if (at > 0 && text[at - 1] == '"') {
    // A quoted mailbox name: back to its opening quote (a quote escaped with
    // a backslash does not end it).
    std::size_t open = at - 1;
    while (open > 0) {
      --open;
      if (text[open] == '"' && (open == 0 || text[open - 1] != '\\')) break;
    }
    if (text[open] == '"' && open < at - 1) start = open;
  }
  if (start == at) {
    while (start > 0 && isAddressChar(text[start - 1])) --start;
  }
  std::size_t end = at + 1;
  while (end < text.size() && isAddressChar(text[end])) ++end;
  return std::string(text.substr(start, end - start));
}

}  // namespace orvane::engine
