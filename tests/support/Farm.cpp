#include "tests/support/Farm.h"

#include <algorithm>
#include <optional>
#include <stdexcept>
#include <utility>

namespace orvane::testing {

Farm::Farm(net::EventLoop& loop, FarmOptions options) : options_(std::move(options)) {
  if (options_.hosts == 0) options_.hosts = 1;
  if (options_.hosts > 250) options_.hosts = 250;
  if (options_.mxPerDomain == 0) options_.mxPerDomain = 1;
  dns_ = std::make_unique<ScriptedDnsServer>(loop);
  smtp_ = std::make_unique<ScriptedSmtpServer>(loop, "127.0.0.2");
  hosts_.push_back("127.0.0.2");
  for (std::size_t i = 1; i < options_.hosts; ++i) {
    const std::string address = "127.0.0." + std::to_string(2 + i);
    if (!smtp_->addListener(address)) {
      throw std::runtime_error("cannot listen on " + address + ":" + std::to_string(smtp_->port()));
    }
    hosts_.push_back(address);
  }
  smtp_->setKeepTranscripts(options_.keepTranscripts);
  dns_->setKeepQueries(options_.keepTranscripts);
  if (options_.dnsReceiveBuffer > 0) dns_->setReceiveBuffer(options_.dnsReceiveBuffer);
  smtp_->setReplyDelay(options_.replyDelayMs);
  const std::string prefix = options_.acceptPrefix;
  smtp_->setHandler([prefix](const ScriptedSmtpServer::Command& c) -> std::optional<SmtpAction> {
    if (c.verb != "RCPT") return std::nullopt;
    if (c.localPart().rfind(prefix, 0) == 0) return SmtpAction::Line("250 recipient ok");
    return SmtpAction::Line("550 no such user here");
  });
  for (std::size_t d = 0; d < options_.domains; ++d) {
    const auto mx = MxHosts(d);
    for (std::size_t k = 0; k < mx.size(); ++k) {
      dns_->addMx(DomainName(d), static_cast<int>(10 * (k + 1)), mx[k]);
    }
  }
}

Farm::~Farm() = default;

std::string Farm::dnsAddress() const {
  return dns_->address();
}

std::uint16_t Farm::smtpPort() const noexcept {
  return smtp_->port();
}

std::string Farm::DomainName(std::size_t index) {
  return "d" + std::to_string(index) + ".test";
}

std::vector<std::string> Farm::MxHosts(std::size_t index) const {
  std::vector<std::string> out;
  const std::size_t count = std::min(options_.mxPerDomain, hosts_.size());
  for (std::size_t k = 0; k < count; ++k) out.push_back(hosts_[(index + k) % hosts_.size()]);
  return out;
}

}  // namespace orvane::testing
