// The connection self-check, its rows about our address: the HELO name and reverse DNS, and the
// block lists. See SelfCheck.h.
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

// ------------------------------------------------------- HELO and reverse DNS

void SelfCheck::heloResolved(const HostAddresses& found) {
  heloFound_ = found;
  heloRowIfReady();
}

void SelfCheck::reverseAnswered(DnsAsker::Result& r) {
  Reverse& rev = *reverse_;
  rev.done = true;
  if (r.end != DnsAsker::End::Answered) {
    rev.failure = "no answer from the DNS server";
  } else if (const net::TDnsResponse& answer = r.answer->Response();
             answer.ResponseCode != 0 && answer.ResponseCode != net::kDnsRcodeNameError) {
    rev.failure = "the DNS server answered with error code " + std::to_string(answer.ResponseCode);
  } else if (answer.ResponseCode == 0) {
    rev.names = recordsOf(answer, rev.name, net::kDnsTypePTR);
  }
  const bool namesHelo = std::any_of(rev.names.begin(), rev.names.end(), [&](const std::string& n) {
    return net::dnsNamesEqual(n, helo_);
  });
  if (!rev.names.empty() && !namesHelo) {
    // Whether the name it gives would do as HELO name: that is the advice.
    rev.forwardPending = true;
    nameAddresses_.resolve(rev.names.front(),
                           [this](const HostAddresses& found) { ptrNameResolved(found); });
  }
  heloRowIfReady();
}

void SelfCheck::ptrNameResolved(const HostAddresses& found) {
  reverse_->forwardPending = false;
  reverse_->forward = found;
  heloRowIfReady();
}

void SelfCheck::heloRowIfReady() {
  if (!running_ || slots_[kSlotHelo] || !heloFound_ || !settled_) return;
  if (reverse_ && (!reverse_->done || reverse_->forwardPending)) return;
  const HostAddresses& helo = *heloFound_;
  const bool heloKnown = helo.outcome == DnsOutcome::Answered;
  std::vector<std::string> found;
  bool wrong = false;   // something hosts hold against us
  bool unsure = false;  // something that could not be asked
  std::string advice(kHeloAdvice);
  if (heloLiteral_) {
    wrong = true;
    found.push_back("The HELO name " + helo_ + " is an address, not a name");
  } else if (heloKnown) {
    std::vector<std::string> all = helo.ipv6;
    all.insert(all.end(), helo.ipv4.begin(), helo.ipv4.end());
    found.push_back("The HELO name " + helo_ + " resolves to " + joined(all, ", "));
  } else if (helo.outcome == DnsOutcome::NoSuchDomain) {
    wrong = true;
    found.push_back("The HELO name " + helo_ + " does not resolve (it " + helo.why + ")");
  } else {
    unsure = true;
    found.push_back("The HELO name " + helo_ + " could not be looked up: the DNS server " +
                    dnsFailure(helo.outcome, helo.code, {}));
  }
  if (!reverse_) {
    unsure = true;
    found.push_back("the reverse DNS was not checked: " + clientUnusable_);
  } else {
    const std::string who = client_ + " (" + clientHow_ + ")";
    const Reverse& rev = *reverse_;
    const bool namesHelo =
        std::any_of(rev.names.begin(), rev.names.end(),
                    [&](const std::string& n) { return net::dnsNamesEqual(n, helo_); });
    if (!rev.failure.empty()) {
      unsure = true;
      found.push_back("the reverse DNS of " + who + " could not be looked up: " + rev.failure);
    } else if (rev.names.empty()) {
      wrong = true;
      found.push_back(who + " has no reverse DNS (PTR record)");
    } else if (namesHelo) {
      if (heloKnown && contains(helo, client_)) {
        found.push_back("the reverse DNS of " + who + " names " + helo_ +
                        ", which resolves back to it");
      } else if (heloKnown) {
        wrong = true;
        found.push_back("the reverse DNS of " + who + " names " + helo_ + ", but " + helo_ +
                        " does not resolve to " + client_);
      } else {
        found.push_back("the reverse DNS of " + who + " names " + helo_);
      }
    } else {
      wrong = true;
      const std::string& ptr = rev.names.front();
      found.push_back("the reverse DNS of " + who + " names " + ptr + ", not the HELO name " +
                      helo_);
      if (rev.forward && rev.forward->outcome == DnsOutcome::Answered &&
          contains(*rev.forward, client_)) {
        advice =
            "Many mail hosts refuse clients whose HELO name is not the name their address's "
            "reverse DNS gives: set the HELO name to " +
            ptr + " (Tools | Options, or --helo), which resolves back to " + client_;
      }
    }
  }
  if (!wrong)
    advice = reverse_ ? "Run the check again once the rows above are mended" : clientAdvice_;
  const bool good = !wrong && !unsure;
  put(kSlotHelo, {std::string(kCheckHelo), good ? CheckStatus::Green : CheckStatus::Amber,
                  joined(found, "; "), good ? std::string() : std::move(advice)});
}

// -------------------------------------------------------------- block lists

void SelfCheck::listingAnswered(std::size_t zone, DnsAsker::Result& r) {
  Listing& l = listings_[zone];
  if (r.end != DnsAsker::End::Answered) {
    l.state = Listing::State::Failed;
    l.answer = r.end == DnsAsker::End::NoAnswer ? "no answer" : "the question could not be sent";
  } else if (const net::TDnsResponse& answer = r.answer->Response();
             answer.ResponseCode == net::kDnsRcodeNameError) {
    l.state = Listing::State::NotListed;
  } else if (answer.ResponseCode != 0) {
    l.state = Listing::State::Failed;
    l.answer = "error code " + std::to_string(answer.ResponseCode);
  } else {
    const std::vector<std::string> codes = recordsOf(answer, l.name, net::kDnsTypeA);
    if (codes.empty()) {
      l.state = Listing::State::NotListed;
    } else {
      l.answer = joined(codes, ", ");
      // 127.255.255.x: the list refuses the question (it does not answer
      // public resolvers, or this one asked too often): no verdict on us.
      // An answer outside 127/8 comes from a resolver that rewrites
      // answers for names that do not exist, not from the list.
      const std::string& first = codes.front();
      if (first.rfind("127.255.255.", 0) == 0) {
        l.state = Listing::State::Refused;
      } else if (first.rfind("127.", 0) == 0) {
        l.state = Listing::State::Listed;
        l.reasonPending = true;
        asker_.ask(l.name, net::kDnsTypeTXT,
                   [this, zone](DnsAsker::Result& txt) { reasonAnswered(zone, txt); });
      } else {
        l.state = Listing::State::Odd;
      }
    }
  }
  blockListRowIfReady();
}

void SelfCheck::reasonAnswered(std::size_t zone, DnsAsker::Result& r) {
  Listing& l = listings_[zone];
  l.reasonPending = false;
  if (r.end == DnsAsker::End::Answered && r.answer->Response().ResponseCode == 0) {
    l.reason = shown(joined(recordsOf(r.answer->Response(), l.name, net::kDnsTypeTXT), " "));
  }
  blockListRowIfReady();
}

void SelfCheck::blockListRowIfReady() {
  if (!running_ || slots_.size() <= kSlotLists || slots_[kSlotLists] || !settled_) return;
  const std::string check(kCheckBlockLists);
  if (listings_.empty()) {
    put(kSlotLists, {check, CheckStatus::Amber, "Not checked: " + clientUnusable_, clientAdvice_});
    return;
  }
  for (const auto& l : listings_) {
    if (l.state == Listing::State::Asking || l.reasonPending) return;
  }
  std::vector<std::string> listed, clear, unsure;
  for (const auto& l : listings_) {
    switch (l.state) {
      case Listing::State::Listed:
        listed.push_back(l.zone + " (" + l.answer + (l.reason.empty() ? "" : ": " + l.reason) +
                         ")");
        break;
      case Listing::State::NotListed:
        clear.push_back(l.zone);
        break;
      case Listing::State::Refused:
        unsure.push_back(l.zone + " refused to answer (" + l.answer +
                         "): it does not answer questions through public DNS resolvers");
        break;
      case Listing::State::Odd:
        unsure.push_back(l.zone + " gave an answer that is not a listing (" + l.answer +
                         "): the DNS server may rewrite answers");
        break;
      default:
        unsure.push_back(l.zone + " could not be asked (" + l.answer + ")");
        break;
    }
  }
  const std::string who = client_ + " (" + clientHow_ + ")";
  std::vector<std::string> found;
  CheckRow row{check, CheckStatus::Green, {}, {}};
  if (!listed.empty()) {
    found.push_back(who + " is listed on " + joined(listed, "; "));
    if (!clear.empty()) found.push_back("not on " + joined(clear, ", "));
    row.status = CheckStatus::Red;
    row.advice =
        "Mail hosts that use these lists refuse this address: ask the list for removal (its "
        "reason says how), or validate from another network or through a SOCKS5 proxy";
  } else if (!clear.empty()) {
    found.push_back(who + " is on none of " + joined(clear, ", "));
  } else {
    found.push_back(who + " could not be looked up");
  }
  if (!unsure.empty()) {
    found.push_back(joined(unsure, "; "));
    if (row.status == CheckStatus::Green) {
      row.status = CheckStatus::Amber;
      row.advice =
          "Ask the lists through another DNS server (your provider's, or one of your own), or "
          "look the address up on the lists' web sites";
    }
  }
  row.found = joined(found, "; ");
  put(kSlotLists, std::move(row));
}

}  // namespace orvane::engine
