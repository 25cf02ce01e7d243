#include "tools/farm/Farm.h"

#include <algorithm>
#include <optional>
#include <utility>

namespace orvane::farm {

Farm::Farm(net::EventLoop& loop, FarmOptions options)
    : options_(std::move(options)), dns_(loop), smtp_(loop, "127.0.0.2") {
  options_.hosts = std::clamp<std::size_t>(options_.hosts, 1, 250);
  options_.mxPerDomain = std::max<std::size_t>(options_.mxPerDomain, 1);
  hosts_.push_back("127.0.0.2");
  for (std::size_t i = 1; i < options_.hosts; ++i) {
    hosts_.push_back("127.0.0." + std::to_string(2 + i));
    smtp_.addListener(hosts_.back());
  }
  smtp_.setKeepTranscripts(false);
  dns_.setKeepQueries(false);
  if (options_.dnsReceiveBuffer > 0) dns_.setReceiveBuffer(options_.dnsReceiveBuffer);
  dns_.setHandler([this](const testing::ScriptedDnsServer::Query&) -> std::optional<std::string> {
    ++dnsQueries_;
    return std::nullopt;
  });
  smtp_.setReplyDelay(options_.replyDelayMs);
  if (options_.busyBeyond > 0) {
    smtp_.setBusyBeyond(options_.busyBeyond,
                        testing::SmtpAction::line("421 4.7.0 Too many connections").thenClose());
  }
  smtp_.setHandler([prefix = options_.acceptPrefix](const testing::ScriptedSmtpServer::Command& c)
                       -> std::optional<testing::SmtpAction> {
    if (c.verb != "RCPT") return std::nullopt;
    return testing::SmtpAction::line(c.localPart().starts_with(prefix) ? "250 recipient ok"
                                                                       : "550 no such user here");
  });
  for (std::size_t d = 0; d < options_.domains; ++d) {
    const auto mx = mxHosts(d);
    for (std::size_t k = 0; k < mx.size(); ++k)
      dns_.addMx(domainName(d), static_cast<int>(10 * (k + 1)), mx[k]);
  }
}

std::vector<std::string> Farm::mxHosts(std::size_t index) const {
  std::vector<std::string> out;
  const std::size_t count = std::min(options_.mxPerDomain, hosts_.size());
  for (std::size_t k = 0; k < count; ++k) out.push_back(hosts_[(index + k) % hosts_.size()]);
  return out;
}

}  // namespace orvane::farm
