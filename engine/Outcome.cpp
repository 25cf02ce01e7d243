#include "engine/Outcome.h"

#include <cctype>
#include <charconv>

#include "core/RecipientList.h"
#include "engine/ResultMessages.h"
#include "net/WSocketErrors.h"

namespace orvane::engine {
namespace {

std::string_view stepName(Step step) {
  switch (step) {
    case Step::Connect:
      return "the greeting or HELO";
    case Step::MailFrom:
      return "MAIL FROM";
    default:
      return "the dialogue";
  }
}

Classification unknown(std::string message) {
  return {Verdict::Unknown, std::move(message)};
}

Classification ourSide(std::string message) {
  return {Verdict::Unknown, std::move(message), true};
}



Classification dnsFailure(const Outcome& o) {
  const std::string server = "DNS server " + o.dnsServer;
  switch (o.dns) {
    case DnsOutcome::ServerFailure:
      return unknown(server + " could not answer for this domain (SERVFAIL)");
    case DnsOutcome::ServerRefused:
      return unknown(server + " refused to answer (REFUSED)");
    case DnsOutcome::OtherError:
      return unknown(server + " answered with error code " + std::to_string(o.dnsCode));
    case DnsOutcome::Unreachable:
      return ourSide(server + " cannot be reached (" +
                     (o.dnsCode == 10061 ? std::string("its port is closed")
                      : o.dnsCode == 10051 || o.dnsCode == 10065
                          ? std::string("no route")
                          : net::WSocketErrorDesc(o.dnsCode)) +
                     ")");
    case DnsOutcome::Malformed:
      return unknown(server + " sent an answer that could not be read");
    case DnsOutcome::NotSent:
      return unknown("DNS request not sent: " + o.detail);
    case DnsOutcome::NoAnswer:
      return unknown(server + " did not answer");
    default:
      return {Verdict::Invalid, std::string(kInvalidDomainMessage)};
  }
}

Classification smtpRefusal(const Outcome& o) {
  const std::int32_t code = o.code;
  if (o.step == Step::Connect || o.step == Step::MailFrom) {
    // The recipient was never asked: nothing is known about the address.
    return ourSide(
        (code < 500 ? "Our check was refused for now at " : "Our check was refused at ") +
        std::string(stepName(o.step)) + ", before the address was asked");
  }
  if (o.step != Step::RcptTo) return unknown(resultMessage(code));
  const auto enhanced = enhancedStatusCode(o.reply);
  if (enhanced && (*enhanced)[1] == 2 && (*enhanced)[2] == 2) return unknown("Mailbox full");
  if (code < 500)
    return unknown("Temporarily refused (greylisting or a busy server); try again later");
  const auto invalid = [code] {
    return Classification{Verdict::Invalid, std::string(code == 551 ? kUserNotLocalMessage
                                                                    : kMailboxUnavailableMessage)};
  };
  const auto policy = [] {
    return ourSide("Refused by the server's policy (our sender, client or IP), not the address");
  };
  if (enhanced) {
    const int subject = (*enhanced)[1];
    const int detail = (*enhanced)[2];
    if ((*enhanced)[0] == 5 && (subject == 1 || (subject == 2 && detail == 1))) return invalid();
    if (subject == 7) return policy();
    return unknown("Refused for a reason other than the address (" +
                   std::to_string((*enhanced)[0]) + "." + std::to_string(subject) + "." +
                   std::to_string(detail) + ")");
  }
  if (code == 550 || code == 551 || code == 553) {
    return namesPolicyBlock(o.reply) ? policy() : invalid();
  }
  return unknown(resultMessage(code));
}

}  // namespace

Classification classify(const Outcome& o) {
  if (o.proxy) {
    // "500 proxy H:P refused the connection (...)": the proxy's own words.
    const std::string_view reply = o.reply;
    return ourSide(std::string(reply.size() > 4 && reply[3] == ' ' ? reply.substr(4) : reply));
  }
  switch (o.code) {
    case kResultValid:
      return o.catchAll ? Classification{Verdict::CatchAll, std::string(kCatchAllMessage)}
                        : Classification{Verdict::Valid, std::string(kValidText)};
    case kResultNoMailHost:
      if (o.step == Step::Syntax) {
        return {Verdict::Invalid, std::string(kNotAnAddressPrefix) + ": " + o.detail};
      }
      return dnsFailure(o);
    case kResultTimeOut:
      if (o.step == Step::Dns)
        return unknown("Time Out: DNS server " + o.dnsServer + " didn't respond");
      return o.step == Step::Connect ? ourSide(resultMessage(o.code))
                                     : unknown(resultMessage(o.code));
    case kResultNotChecked:
      return unknown("Not checked: " + o.detail);
    case 11001:
      // A mail host whose name does not resolve: the message names it.
      return {Verdict::Invalid,
              resultMessage(o.code) + (o.detail.empty() ? std::string() : " (" + o.detail + ")")};
    default:
      break;
  }
  if (o.code >= 400 && o.code <= 599) return smtpRefusal(o);
  if (connectionFailed(o.code)) return ourSide(resultMessage(o.code));
  return unknown(resultMessage(o.code));
}

std::optional<std::array<int, 3>> enhancedStatusCode(std::string_view line) {
  // "550 5.1.1 text" or "550-5.1.1 text": the code, a separator, then class.subject.detail.
  if (line.size() < 9) return std::nullopt;
  std::string_view rest = line.substr(4);
  std::array<int, 3> parts{};
  for (int i = 0; i < 3; ++i) {
    int value = 0;
    const auto [end, ec] = std::from_chars(rest.data(), rest.data() + rest.size(), value);
    const std::size_t used = static_cast<std::size_t>(end - rest.data());
    if (ec != std::errc() || used == 0 || used > 3) return std::nullopt;
    parts[static_cast<std::size_t>(i)] = value;
    rest.remove_prefix(used);
    if (i < 2) {
      if (rest.empty() || rest.front() != '.') return std::nullopt;
      rest.remove_prefix(1);
    }
  }
  if (!rest.empty() && rest.front() != ' ' && rest.front() != '\t') return std::nullopt;
  if (parts[0] != 2 && parts[0] != 4 && parts[0] != 5) return std::nullopt;
  return parts;
}

bool connectionFailed(std::int32_t code) noexcept {
  switch (code) {
    case 10050:  // network down
    case 10051:  // network unreachable
    case 10060:  // timed out
    case 10061:  // refused
    case 10064:  // host down
    case 10065:  // no route to host
      return true;
    default:
      return false;
  }
}

bool namesPolicyBlock(std::string_view line) {
  static constexpr std::string_view kWords[] = {
      "policy",    "spam",        "spamhaus", "block", "blocked",    "blocklist", "blocklisted",
      "blacklist", "blacklisted", "rbl",      "dnsbl", "reputation", "denied",    "sender",
      "client",    "relay",       "relaying", "ip",    "abuse",      "banned"};
  std::string word;
  const auto isWordChar = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; };
  for (std::size_t i = 0; i <= line.size(); ++i) {
    if (i < line.size() && isWordChar(line[i])) {
      word += static_cast<char>(std::tolower(static_cast<unsigned char>(line[i])));
      continue;
    }
    for (std::string_view w : kWords) {
      if (word == w) return true;
    }
    word.clear();
  }
  return false;
}

}  // namespace orvane::engine
