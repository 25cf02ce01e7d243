#include "core/AddressFlags.h"

#include "core/Text.h"

namespace orvane {

std::string_view flagName(AddressFlag flag) {
  switch (flag) {
    case AddressFlag::Disposable:
      return "disposable";
    case AddressFlag::Role:
      return "role";
    case AddressFlag::Free:
      return "free";
    case AddressFlag::Extracted:
      return "extracted";
  }
  return {};
}

std::string flagsText(AddressFlags flags, std::string_view separator) {
  std::string text;
  for (AddressFlag flag : kAddressFlags) {
    if (!flags.has(flag)) continue;
    if (!text.empty()) text += separator;
    text += flagName(flag);
  }
  return text;
}

namespace {

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char c = a[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != b[i]) return false;
  }
  return true;
}

}  // namespace

bool parseFlagNames(std::string_view text, AddressFlags& flags, std::string* badName) {
  AddressFlags parsed;
  if (!trimBlanks(text).empty()) {
    while (true) {
      const std::size_t comma = text.find(',');
      const std::string_view name = trimBlanks(text.substr(0, comma));
      bool known = false;
      for (AddressFlag flag : kAddressFlags) {
        if (equalsIgnoringCase(name, flagName(flag))) {
          parsed.set(flag);
          known = true;
        }
      }
      if (!known) {
        if (badName) *badName = std::string(name);
        return false;
      }
      if (comma == std::string_view::npos) break;
      text.remove_prefix(comma + 1);
    }
  }
  flags = parsed;
  return true;
}

}  // namespace orvane
