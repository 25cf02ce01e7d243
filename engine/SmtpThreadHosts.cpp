// TSmtpThread, its second part: finding and reaching the mail hosts of the
// address in hand (the MX answer, each host's addresses, a slot at the host,
// the connection itself, the next address or host when one fails, and hosts
// that throttle). The dialogue's decisions are in SmtpThread.cpp.
#include <algorithm>
#include <string>
#include <vector>

#include "core/Text.h"
#include "engine/AddressResolver.h"
#include "engine/HostSlots.h"
#include "engine/MxResolver.h"
#include "engine/ResultMessages.h"
#include "engine/SmtpThread.h"
#include "net/EventLoop.h"
#include "net/SocketAddress.h"

namespace orvane::engine {

namespace {

// The first pause before an address a host refused for now is tried again,
// doubling with each refusal, and the longest.
constexpr std::uint64_t kThrottleRetryMs = 1000;
constexpr std::uint64_t kMaxThrottleRetryMs = 30000;

}  // namespace

// ------------------------------------------------------------------ DNS

bool TSmtpThread::startLookup() {
  work_.step = Step::Dns;
  work_.log.push_back("Requesting SMTP servers for this domain (" + work_.domain + ")");
  if (const MxAnswer* known = run_.resolver().cached(work_.domain)) {
    work_.log.emplace_back("Mail hosts known from an earlier answer");
    return useAnswer(*known);
  }
  phase_ = Phase::WaitingDns;
  dnsTicket_ = run_.resolver().resolve(
      work_.domain, [this](const MxAnswer& answer, const TransactionLog* queryLines) {
        dnsTicket_ = 0;
        mxKnown(answer, queryLines);
      });
  return true;
}

void TSmtpThread::mxKnown(const MxAnswer& answer, const TransactionLog* queryLines) {
  if (phase_ != Phase::WaitingDns) return;
  touch();
  if (queryLines != nullptr) {
    work_.log.insert(work_.log.end(), queryLines->begin(), queryLines->end());
  }
  if (!useAnswer(answer)) NextRecipient();
}

bool TSmtpThread::useAnswer(const MxAnswer& answer) {
  work_.log.insert(work_.log.end(), answer.lines.begin(), answer.lines.end());
  work_.dns = answer.outcome;
  work_.dnsCode = answer.code;
  work_.dnsServer = answer.server;
  if (answer.outcome == DnsOutcome::NotSent) work_.detail = answer.detail;
  work_.mailHosts = answer.hosts;
  work_.domainItself = answer.domainItself;
  return hostsReady();
}

// ------------------------------------------------------------------ SMTP

bool TSmtpThread::hostsReady() {
  if (run_.stopping()) {
    // Only reachable when the abort has not stopped this session yet; the
    // address in hand is still reported.
    work_.log.emplace_back("User Abort");
    Report(kResultAborted);
    ReleaseSession();
    return true;
  }
  if (work_.mailHosts.empty()) {
    // A DNS server that never answered is a time-out, not a missing domain.
    Report(work_.dns == DnsOutcome::NoAnswer ? kResultTimeOut : kResultNoMailHost);
    return false;
  }
  work_.hostIndex = 0;
  work_.rcptRefused = false;
  return lookUpHost();
}

bool TSmtpThread::lookUpHost() {
  work_.addresses.clear();
  work_.addressIndex = 0;
  const std::string& host = work_.currentHost();
  if (net::SocketAddress::parse(host)) {
    // An address already: nothing to look up.
    work_.addresses.push_back(host);
    return connectToHost();
  }
  if (const HostAddresses* known = run_.addressResolver().cached(host)) return useAddresses(*known);
  phase_ = Phase::WaitingDns;
  addressTicket_ = run_.addressResolver().resolve(host, [this](const HostAddresses& found) {
    addressTicket_ = 0;
    if (phase_ != Phase::WaitingDns) return;
    touch();
    if (!useAddresses(found)) NextRecipient();
  });
  return true;
}

bool TSmtpThread::useAddresses(const HostAddresses& found) {
  work_.log.insert(work_.log.end(), found.lines.begin(), found.lines.end());
  const RunSettings& settings = run_.runSettings();
  // IPv6 first, while it is used and reachable; only families a source
  // address was given for, when some were.
  const auto usable = [&](bool v6) {
    if (settings.sourceAddresses.empty()) return true;
    return std::any_of(
        settings.sourceAddresses.begin(), settings.sourceAddresses.end(),
        [v6](const std::string& a) { return (a.find(':') != std::string::npos) == v6; });
  };
  if (settings.useIpv6 && run_.ipv6Usable() && usable(true)) {
    work_.addresses.insert(work_.addresses.end(), found.ipv6.begin(), found.ipv6.end());
  }
  if (usable(false))
    work_.addresses.insert(work_.addresses.end(), found.ipv4.begin(), found.ipv4.end());
  if (!work_.addresses.empty()) return connectToHost();
  // This mail host cannot be reached: a name that does not resolve is the
  // classic 11001; a DNS server that failed us says nothing of the address.
  if (found.outcome == DnsOutcome::Answered || found.outcome == DnsOutcome::NoSuchDomain) {
    work_.last = {11001, Step::Connect, ""};
    work_.detail = "mail host " + work_.currentHost() + " " +
                   (found.why.empty() ? std::string("has no address we can reach") : found.why);
  } else {
    work_.last = {found.outcome == DnsOutcome::NoAnswer ? kResultTimeOut : kResultNoMailHost,
                  Step::Dns, ""};
    work_.dns = found.outcome;
    work_.dnsCode = found.code;
    work_.dnsServer = found.server;
  }
  if (++work_.hostIndex < work_.mailHosts.size()) return lookUpHost();
  reportAttempt(work_.last);
  return false;
}

bool TSmtpThread::connectToHost() {
  work_.last = Attempt{};
  work_.first = Attempt{};
  work_.step = Step::Connect;
  dialogue_.abort();
  releaseHost();
  if (!run_.hostSlots().tryAcquire(work_.currentHost(), &work_.slotGeneration)) {
    park();
    return false;
  }
  heldHost_ = work_.currentHost();
  return openConnection();
}

void TSmtpThread::park() {
  // The host has as many connections as it may have: the address waits
  // without this session, which goes on with another.
  phase_ = Phase::Idle;
  inHand_ = false;
  giveUpReserved();
  work_.parkedSince = run_.loop().now();
  AddressWork parked = std::move(work_);
  work_ = AddressWork{};
  run_.park(std::move(parked));
}

std::string TSmtpThread::sourceFor(const std::string& address) const {
  // Each mail host always sees the same one of the addresses of its family.
  const auto& all = run_.runSettings().sourceAddresses;
  const bool v6 = address.find(':') != std::string::npos;
  std::vector<const std::string*> family;
  for (const auto& a : all) {
    if ((a.find(':') != std::string::npos) == v6) family.push_back(&a);
  }
  if (family.empty()) return {};
  return *family[stableHash(work_.currentHost()) % family.size()];
}

bool TSmtpThread::openConnection() {
  phase_ = Phase::Dialogue;
  alongClosed_ = false;
  rejectionsInARow_ = 0;
  primaryAnswered_ = false;
  const std::string& host = work_.currentHost();
  const std::string& address = work_.addresses[work_.addressIndex];
  work_.log.push_back("Trying SMTP host \"" + host + "\"" +
                      (address == host ? std::string() : " [" + address + "]"));
  work_.log.emplace_back("Opening Connection");
  dialogue_.logTo(&work_.log);
  if (!dialogue_.open(address, sourceFor(address), work_.address.prepared.address)) {
    Report(kResultOpenFailed);
    return false;
  }
  run_.connectionOpened();
  return true;
}

void TSmtpThread::giveUpReserved() {
  run_.unreserve(reservedDomain_, reserved_);
}

void TSmtpThread::releaseHost() {
  if (heldHost_.empty()) return;
  const std::string host = std::move(heldHost_);
  heldHost_.clear();
  run_.hostSlots().release(host);
}

bool TSmtpThread::throttledBy(int rqType, std::uint16_t error) const {
  // "Too many connections", "try again later" before the recipient is asked.
  return (rqType == SmtpDialogue::kOpen || rqType == SmtpDialogue::kMailFrom) &&
         (error == 421 || error == 450 || error == 451);
}

void TSmtpThread::throttled() {
  const std::string host = heldHost_;
  const int limit = run_.hostSlots().throttled(host, work_.slotGeneration);
  work_.log.push_back("The mail host \"" + host + "\" is busy (" + work_.last.reply +
                      "): at most " + std::to_string(limit) +
                      (limit == 1 ? " connection" : " connections") + " to it for now");
  if (work_.hostIndex + 1 < work_.mailHosts.size()) {
    // Another mail host of the domain may take it now.
    work_.first = work_.last;
    quitOrNextHost();
    return;
  }
  dialogue_.abort();
  releaseHost();
  if (net::EventLoop::tickDue(run_.loop().now(), work_.deadline)) {
    reportAttempt(work_.last);
    NextRecipient();
    return;
  }
  // Tried again after a pause that grows with each refusal, from its first
  // mail host; reported only when its deadline passes first.
  const std::uint64_t delayMs = std::min<std::uint64_t>(
      kThrottleRetryMs << std::min(work_.throttles, 5), kMaxThrottleRetryMs);
  ++work_.throttles;
  work_.throttled = true;
  work_.log.push_back("Trying this address again in " + std::to_string((delayMs + 999) / 1000) +
                      " s");
  inHand_ = false;
  phase_ = Phase::Idle;
  AddressWork later = std::move(work_);
  work_ = AddressWork{};
  run_.retryLater(std::move(later), delayMs, false);
  NextRecipient();
}

bool TSmtpThread::connectFailed(std::uint16_t error) const {
  // The connection itself did not get through (through a proxy: the proxy
  // could not reach the host); the host's other addresses may.
  return engine::connectionFailed(error) ||
         (dialogue_.proxyFailure() && error >= 20004 && error <= 20011);
}

bool TSmtpThread::nextAddress(std::uint16_t error) {
  const bool wasV6 = work_.addresses[work_.addressIndex].find(':') != std::string::npos;
  if (wasV6 && (error == 10051 || error == 10065) && !dialogue_.proxyFailure()) {
    // This machine has no IPv6 route: the run tries no IPv6 address again.
    run_.ipv6Unreachable();
    work_.log.emplace_back("No route for IPv6 from this machine: IPv4 from now on");
    while (work_.addressIndex + 1 < work_.addresses.size() &&
           work_.addresses[work_.addressIndex + 1].find(':') != std::string::npos) {
      ++work_.addressIndex;
    }
  }
  if (work_.addressIndex + 1 >= work_.addresses.size()) return false;
  ++work_.addressIndex;
  dialogue_.abort();
  // The host's slot stays held: the same host, another of its addresses.
  if (!openConnection()) NextRecipient();
  return true;
}

}  // namespace orvane::engine
