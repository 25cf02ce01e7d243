#include "core/Verdict.h"

#include <charconv>

namespace orvane {

std::string_view verdictName(Verdict verdict) {
  switch (verdict) {
    case Verdict::Valid:
      return "valid";
    case Verdict::Invalid:
      return "invalid";
    case Verdict::CatchAll:
      return "catch-all";
    case Verdict::Unknown:
      return "unknown";
    case Verdict::None:
      break;
  }
  return {};
}

std::string resultText(std::int32_t code, std::string_view message) {
  std::string text = "[" + std::to_string(code) + "] ";
  text.append(message);
  return text;
}

bool parseResultText(std::string_view text, std::int32_t& code, std::string_view& message) {
  if (text.size() < 3 || text.front() != '[') return false;
  const std::size_t close = text.find(']');
  if (close == std::string_view::npos) return false;
  const char* first = text.data() + 1;
  const char* last = text.data() + close;
  std::int32_t value = 0;
  const auto [end, ec] = std::from_chars(first, last, value);
  if (ec != std::errc() || end != last) return false;
  code = value;
  message = text.substr(close + 1);
  if (!message.empty() && message.front() == ' ') message.remove_prefix(1);
  return true;
}

Verdict verdictOfResultText(std::string_view text) {
  std::int32_t code = 0;
  std::string_view message;
  if (!parseResultText(text, code, message)) return Verdict::None;
  if (code == 0) return message == kCatchAllMessage ? Verdict::CatchAll : Verdict::Valid;
  if (code == -1) {
    const bool invalid = message == kInvalidDomainMessage ||
                         message.substr(0, kNotAnAddressPrefix.size()) == kNotAnAddressPrefix;
    return invalid ? Verdict::Invalid : Verdict::Unknown;
  }
  if (code == 11001) return Verdict::Invalid;
  if (code >= 500 && code <= 599) {
    const bool invalid = message == kMailboxUnavailableMessage || message == kUserNotLocalMessage;
    return invalid ? Verdict::Invalid : Verdict::Unknown;
  }
  return Verdict::Unknown;
}

}  // namespace orvane

namespace orvane {

DomainDns domainDnsOfResultText(std::string_view text) {
  std::int32_t code = 0;
  std::string_view message;
  if (!parseResultText(text, code, message)) return DomainDns::Unknown;
  if (code == 0 || (code >= 500 && code <= 599 && verdictOfResultText(text) == Verdict::Invalid)) {
    return DomainDns::HasMailHosts;
  }
  if (code == -1 && message == kInvalidDomainMessage) return DomainDns::NoSuchDomain;
  if (code == 11001) return DomainDns::NoMailHost;
  return DomainDns::Unknown;
}

}  // namespace orvane
