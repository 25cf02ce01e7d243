#include "engine/ExtractAddress.h"

#include <algorithm>
#include <cstring>

#include "core/Text.h"

namespace orvane::engine {

bool isAddressChar(char c) noexcept {
  const auto u = static_cast<unsigned char>(c);
  if (u >= 0x80) return true;
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  return c != '\0' && std::strchr("!#$%&'*+-/=?^_`{|}~.@[]", c) != nullptr;
}

namespace {

// Where ExtractAddress's address lies in `text`: [begin, end); begin is npos
// when the text holds no "@".
struct Span {
  std::size_t begin;
  std::size_t end;
};

Span addressSpan(std::string_view text) {
  const std::size_t at = text.find('@');
  if (at == std::string_view::npos) return {std::string_view::npos, std::string_view::npos};
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
  return {start, end};
}

// A display name before "<address>": nothing, one quoted string, or words
// (a comma among them too, as in "Doe, John") without an address's or a
// list's marks.
bool isDisplayName(std::string_view name) {
  name = trimBlanks(name);
  if (name.empty()) return true;
  if (name.front() == '"') {
    std::size_t i = 1;
    while (i < name.size() && name[i] != '"') i += name[i] == '\\' ? 2 : 1;
    return i == name.size() - 1;
  }
  return name.find_first_of("@<>;:\"") == std::string_view::npos;
}

// What may follow an address: nothing, or a comment "(Ann Smith)".
bool isBlankOrComment(std::string_view rest) {
  rest = trimBlanks(rest);
  return rest.empty() || (rest.front() == '(' && rest.back() == ')');
}

}  // namespace

std::string ExtractAddress(std::string_view text) {
  const Span span = addressSpan(text);
  if (span.begin == std::string_view::npos) return {};
  return std::string(text.substr(span.begin, span.end - span.begin));
}

bool holdsMoreThanAddress(std::string_view text) {
  text = trimBlanks(text);
  if (!text.empty() && (text.back() == ',' || text.back() == ';')) {
    text = trimBlanks(text.substr(0, text.size() - 1));
  }
  const Span span = addressSpan(text);
  if (span.begin == std::string_view::npos) return false;
  if (std::count(text.begin(), text.end(), '@') > 1) return true;
  std::string_view before = trimBlanks(text.substr(0, span.begin));
  std::string_view after = trimBlanks(text.substr(span.end));
  if (before.ends_with('<') && after.starts_with('>')) {
    before.remove_suffix(1);
    after.remove_prefix(1);
    return !isDisplayName(before) || !isBlankOrComment(after);
  }
  return !before.empty() || !isBlankOrComment(after);
}

}  // namespace orvane::engine
