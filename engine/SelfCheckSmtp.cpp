// The connection self-check, its SMTP row: the best mail host's greeting, directly or through the
// proxy. See SelfCheck.h.
#include "engine/SelfCheck.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <exception>

#include "core/Text.h"
#include "engine/AddressSyntax.h"
#include "engine/DnsServerList.h"
#include "engine/ExtractAddress.h"
#include "engine/SelfCheckSupport.h"
#include "engine/SmtpRelayServer.h"
#include "net/DnsMessage.h"
#include "net/DnsQuery.h"
#include "net/SmtpCli.h"
#include "net/SocketAddress.h"
#include "net/SocksCodec.h"
#include "net/WSocketErrors.h"

namespace orvane::engine {

using namespace selfcheck;

// ----------------------------------------------------------------- SMTP row

std::string SelfCheck::portText() const {
  const std::string& port = smtp_->Port();
  return "port " + (port == "smtp" ? std::string("25") : port);
}

std::string SelfCheck::hostText() const {
  std::string text = mailHost_;
  if (target_ != mailHost_) {
    text += " [" + target_ + "]";
  }
  if (settings_.proxy.enabled()) text += " through the proxy " + settings_.proxy.name();
  return text;
}

void SelfCheck::hostResolved(const std::string& host, const HostAddresses& found) {
  if (found.outcome != DnsOutcome::Answered) {
    if (found.outcome == DnsOutcome::NoSuchDomain) {
      smtpRow(CheckStatus::Amber, "Not tested: the mail host " + host + " " + found.why,
              "The domain's mail host is misconfigured: give another domain (--domain)");
    } else {
      smtpRow(CheckStatus::Red,
              "The address of the mail host " + host + " could not be looked up: the DNS server " +
                  dnsFailure(found.outcome, found.code, {}),
              "Check the DNS servers (see the first row)");
    }
    return;
  }
  // As a run does: IPv6 first where it is used, and only the families a
  // source address was given for, when some were.
  const auto usable = [&](bool v6) {
    return settings_.sourceAddresses.empty() ||
           std::any_of(
               settings_.sourceAddresses.begin(), settings_.sourceAddresses.end(),
               [v6](const std::string& a) { return (a.find(':') != std::string::npos) == v6; });
  };
  if (settings_.useIpv6 && usable(true) && !found.ipv6.empty())
    targets_.push_back(found.ipv6.front());
  if (usable(false) && !found.ipv4.empty()) targets_.push_back(found.ipv4.front());
  if (targets_.empty()) {
    smtpRow(CheckStatus::Amber,
            "Not tested: " + host + " has no address this machine is set to connect to (IPv6 " +
                (settings_.useIpv6 ? "on" : "off") + ")",
            "Give another domain (--domain), or turn IPv6 on (Tools | Options)");
    return;
  }
  connectNext();
}

void SelfCheck::connectNext() {
  target_ = targets_.front();
  targets_.erase(targets_.begin());
  const bool v6 = target_.find(':') != std::string::npos;
  // The source address a run would give this mail host: the same one of
  // its family every time.
  std::vector<const std::string*> family;
  for (const auto& a : settings_.sourceAddresses) {
    if ((a.find(':') != std::string::npos) == v6) family.push_back(&a);
  }
  source_ = family.empty() ? std::string() : *family[stableHash(mailHost_) % family.size()];
  greeting_.clear();
  greetingLines_.clear();
  heloLines_.clear();
  phase_ = Phase::Connect;
  connectAt_ = loop_.now();
  smtp_->setHost(target_);
  smtp_->setLocalAddr(source_);
  try {
    smtp_->Connect();
  } catch (const std::exception& e) {
    smtpRow(CheckStatus::Red, "Could not connect to " + hostText() + ": " + e.what(),
            "Check the source addresses and the proxy in Tools | Options");
    return;
  }
  awaited_ = smtp_->requestId();
  smtpTimer_.start(timeOutMs_, 0, [this] { smtpTimedOut(); });
}

void SelfCheck::smtpTimedOut() {
  awaited_ = 0;
  const bool connected = smtp_->Connected();
  smtp_->Abort();
  if (phase_ == Phase::Helo) {
    smtpRow(CheckStatus::Amber,
            hostText() + " greeted (" + greeting_ + ") but did not answer HELO within " +
                seconds(timeOutMs_),
            "The host may be slow or throttle newcomers: run the check again later");
    return;
  }
  const std::string what =
      connected ? hostText() + " accepted the connection but sent no greeting within "
                : "No connection to " + hostText() + " on " + portText() + " within ";
  if (!targets_.empty()) {
    notes_.push_back(what + seconds(timeOutMs_));
    connectNext();
    return;
  }
  if (settings_.proxy.enabled()) {
    smtpRow(CheckStatus::Red, what + seconds(timeOutMs_),
            "The proxy may not reach " + portText() + " either: try another proxy");
  } else {
    smtpRow(CheckStatus::Red, what + seconds(timeOutMs_), portText() + std::string(kBlockedAdvice));
  }
}

void SelfCheck::smtpDone(std::uint16_t error) {
  if (phase_ == Phase::Connect) {
    if (error == 0) {
      greetedAt_ = loop_.now();
      phase_ = Phase::Helo;
      smtpTimer_.start(timeOutMs_, 0, [this] { smtpTimedOut(); });
      try {
        smtp_->Helo();
        awaited_ = smtp_->requestId();
      } catch (const std::exception& e) {
        smtpTimer_.stop();
        smtpRow(CheckStatus::Amber, "HELO " + helo_ + " could not be sent: " + e.what(),
                "Set another HELO name (Tools | Options, or --helo)");
      }
      return;
    }
    smtpTimer_.stop();
    if (smtp_->proxyFailure()) {
      std::string why = smtp_->LastResponse();
      if (why.rfind("500 ", 0) == 0) why.erase(0, 4);
      // The proxy works but could not reach this address of the host: the
      // host's other address may do.
      const bool farEnd =
          error == net::socksNetworkUnreachable || error == net::socksHostUnreachable ||
          error == net::socksConnectionRefused || error == net::socksTtlExpired ||
          error == net::socksUnknownAddressType || error == net::socksGeneralFailure;
      if (farEnd && !targets_.empty()) {
        notes_.push_back(why);
        connectNext();
        return;
      }
      if (why.rfind("proxy ", 0) == 0) why = "The " + why;
      smtpRow(CheckStatus::Red, why,
              farEnd ? "The proxy could not reach the mail host on " + portText() +
                           ": its network may block that port too; try another proxy"
                     : std::string("Check the proxy in Tools | Options (or --proxy): its address, "
                                   "port, user name and password"));
      return;
    }
    if (error == net::WSAEINTR && !greetingLines_.empty()) {
      // A greeting other than 220: the host turns us away.
      const int code = smtp_->statusCode();
      const std::string line = greetingLines_.back();
      if (code >= 400 && code < 500) {
        smtpRow(CheckStatus::Amber, hostText() + " turned us away for now: " + line,
                "The host is busy or slows newcomers down: run the check again later; if it "
                "persists, see the block lists row");
      } else {
        smtpRow(CheckStatus::Red, hostText() + " refused us at the greeting: " + line,
                "The host refuses this network's address (see the block lists row): validate "
                "from another network or through a SOCKS5 proxy");
      }
      return;
    }
    const std::string what = hostText() + " on " + portText() + ": " + net::WSocketErrorDesc(error);
    if (!targets_.empty()) {
      notes_.push_back(what);
      connectNext();
      return;
    }
    std::string advice;
    if (error == net::WSAENETUNREACH || error == net::WSAEHOSTUNREACH) {
      advice = "This machine has no route to that network: check its network connection";
    } else if (error == net::WSAECONNREFUSED) {
      advice = "Nothing accepts connections on " + portText() +
               " there, or a firewall refuses them: ask your provider whether it is blocked, or "
               "use a SOCKS5 proxy";
    } else {
      advice = portText() + std::string(kBlockedAdvice);
    }
    smtpRow(CheckStatus::Red, what, advice);
    return;
  }
  if (phase_ == Phase::Helo) {
    smtpTimer_.stop();
    const std::uint32_t greeted = greetedAt_ - connectAt_;
    if (error == 0) {
      smtpRow(CheckStatus::Green,
              hostText() + " greeted in " + millis(greeted) + " (" + greeting_ +
                  ") and accepted HELO " + helo_,
              "");
      try {
        if (running_ && smtp_->Connected()) smtp_->Quit();
      } catch (const std::exception&) {  // the connection is cut when the check ends
      }
      return;
    }
    if (smtp_->Connected() && error >= 400 && error < 600) {
      smtpRow(CheckStatus::Amber,
              hostText() + " greeted in " + millis(greeted) + " but refused HELO " + helo_ + ": " +
                  smtp_->LastResponse(),
              "Set a HELO name that is this machine's name in DNS (Tools | Options, or --helo); "
              "see the next row");
      return;
    }
    smtpRow(
        CheckStatus::Red,
        hostText() + " closed the connection after HELO " + helo_ + ": " + smtp_->LastResponse(),
        "The host refuses this client: see the next rows");
  }
}

void SelfCheck::smtpRow(CheckStatus status, std::string found, std::string advice) {
  if (!notes_.empty()) found = joined(notes_, "; ") + "; then " + found;
  phase_ = Phase::Done;
  put(kSlotSmtp, {std::string(kCheckSmtp), status, std::move(found), std::move(advice)});
  if (running_) connectionEnded();
}

void SelfCheck::connectionEnded() {
  // Which address hosts see us come from: the one the host states, else the
  // local end of the test connection.
  std::string stated;
  std::string where;
  for (const auto& [lines, place] : {std::pair{&heloLines_, "in its HELO reply"},
                                     std::pair{&greetingLines_, "in its greeting"}}) {
    for (const auto& line : *lines) {
      stated = statedClientAddress(line, target_);
      if (!stated.empty()) break;
    }
    if (!stated.empty()) {
      where = place;
      break;
    }
  }
  const std::string local = smtp_->localAddress();
  if (!stated.empty()) {
    client_ = stated;
    clientHow_ = "as " + mailHost_ + " stated it " + where;
  } else if (local.empty() || mailHost_.empty()) {
    clientUnusable_ = "no connection to a mail host was made";
    clientAdvice_ = "Run the check again once the rows above are mended";
  } else if (settings_.proxy.enabled()) {
    clientUnusable_ = "the test connection went through the proxy, and " + mailHost_ +
                      " did not state the address it saw";
    clientAdvice_ =
        "Mail hosts see the proxy's address: look it up on the lists' web sites, and ask the "
        "proxy's provider about its reverse DNS";
  } else {
    client_ = local;
    clientHow_ = "this machine's address on the test connection";
    const auto address = net::SocketAddress::parse(client_);
    if (!address) {
      clientUnusable_ = "the address of the test connection is unknown";
      clientAdvice_ = "Run the check again";
    } else if (isPrivate(*address)) {
      clientUnusable_ = client_ + " is a private address (behind NAT), and " + mailHost_ +
                        " did not state the public address it saw";
      clientAdvice_ =
          "Mail hosts see this network's public address: look it up on the lists' web sites, "
          "and ask your provider about its reverse DNS";
    }
  }
  settled_ = true;
  if (clientUnusable_.empty()) {
    const auto address = net::SocketAddress::parse(client_);
    reverse_ = std::make_unique<Reverse>();
    reverse_->name = net::dnsReverseName(*address);
    asker_.ask(reverse_->name, net::kDnsTypePTR,
               [this](DnsAsker::Result& r) { reverseAnswered(r); });
    for (const auto& zone : zones_) {
      Listing listing;
      listing.zone = zone;
      listing.name = net::dnsReverseName(*address, zone);
      listings_.push_back(std::move(listing));
    }
    for (std::size_t i = 0; i < listings_.size(); ++i) {
      asker_.ask(listings_[i].name, net::kDnsTypeA,
                 [this, i](DnsAsker::Result& r) { listingAnswered(i, r); });
    }
  }
  heloRowIfReady();
  blockListRowIfReady();
}

}  // namespace orvane::engine
