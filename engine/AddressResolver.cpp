#include "engine/AddressResolver.h"

#include <algorithm>

#include "net/DnsMessage.h"
#include "net/DnsQuery.h"

namespace orvane::engine {

namespace {

constexpr int kDnsRcodeServerFailure = 2;
constexpr int kDnsRcodeRefused = 5;

}  // namespace

// One host's search: its questions under way and what they found.
struct AddressResolver::Search {
  std::string host;
  int pending = 0;
  std::vector<DnsAsker::Ticket> questions;
  HostAddresses found;
  bool failed = false;  // a server failed us on some question
  std::vector<std::pair<Ticket, Waiter>> waiters;
};

AddressResolver::AddressResolver(net::EventLoop& loop, DnsAsker& asker)
    : loop_(loop), asker_(asker) {}

AddressResolver::~AddressResolver() {
  cancelAll();
}

void AddressResolver::reset(bool ipv6) {
  cancelAll();
  cache_.clear();
  ipv6_ = ipv6;
}

void AddressResolver::cancelAll() {
  for (auto& [host, search] : searching_) {
    for (const DnsAsker::Ticket q : search->questions) asker_.cancel(q);
  }
  searching_.clear();
  tickets_.clear();
}

const HostAddresses* AddressResolver::cached(const std::string& host) {
  const auto it = cache_.find(host);
  if (it == cache_.end()) return nullptr;
  if (net::EventLoop::tickDue(loop_.now(), it->second.expires)) {
    cache_.erase(it);
    return nullptr;
  }
  return &it->second.addresses;
}

void AddressResolver::seed(const std::string& host, HostAddresses addresses) {
  if (addresses.ttlSeconds == 0 || (addresses.ipv4.empty() && addresses.ipv6.empty())) return;
  // Only AAAA records where IPv6 is used; without A records as well, the
  // host is asked for them.
  if (!ipv6_) addresses.ipv6.clear();
  if (addresses.ipv4.empty()) return;
  Entry& entry = cache_[host];
  entry.expires = loop_.now() + std::min(addresses.ttlSeconds, kMaxSeconds) * 1000u;
  entry.addresses = std::move(addresses);
}

AddressResolver::Ticket AddressResolver::resolve(const std::string& host, Waiter waiter) {
  const Ticket ticket = ++nextTicket_;
  tickets_.emplace(ticket, host);
  if (const auto it = searching_.find(host); it != searching_.end()) {
    it->second->waiters.emplace_back(ticket, std::move(waiter));
    return ticket;
  }
  auto search = std::make_unique<Search>();
  Search& s = *search;
  s.host = host;
  s.waiters.emplace_back(ticket, std::move(waiter));
  s.found.lines.push_back("Looking up the addresses of " + host);
  searching_.emplace(host, std::move(search));
  ask(s, net::kDnsTypeA);
  if (ipv6_) ask(s, net::kDnsTypeAAAA);
  return ticket;
}

void AddressResolver::ask(Search& s, std::uint16_t type) {
  ++s.pending;
  s.questions.push_back(asker_.ask(
      s.host, type, [this, host = s.host, type](DnsAsker::Result& r) { answered(host, type, r); }));
}

void AddressResolver::answered(const std::string& host, std::uint16_t type, DnsAsker::Result& r) {
  const auto it = searching_.find(host);
  if (it == searching_.end()) return;
  Search& s = *it->second;
  --s.pending;
  HostAddresses& found = s.found;
  found.lines.insert(found.lines.end(), r.lines.begin(), r.lines.end());
  found.server = r.server;
  if (r.end != DnsAsker::End::Answered) {
    s.failed = true;
    found.outcome = r.end == DnsAsker::End::NoAnswer           ? DnsOutcome::NoAnswer
                    : r.end == DnsAsker::End::NotSent          ? DnsOutcome::NotSent
                    : r.error == net::kDnsErrorMalformedAnswer ? DnsOutcome::Malformed
                                                               : DnsOutcome::Unreachable;
    found.code = r.error;
  } else if (const net::TDnsResponse& answer = r.answer->Response();
             answer.ResponseCode == net::kDnsRcodeNameError) {
    found.why = "does not exist";
  } else if (answer.ResponseCode != 0) {
    s.failed = true;
    const int rcode = answer.ResponseCode;
    found.outcome = rcode == kDnsRcodeServerFailure ? DnsOutcome::ServerFailure
                    : rcode == kDnsRcodeRefused     ? DnsOutcome::ServerRefused
                                                    : DnsOutcome::OtherError;
    found.code = rcode;
    found.lines.push_back("The DNS server answered with error code " + std::to_string(rcode));
  } else {
    // The records owned by the end of the answer's CNAME chain.
    const net::DnsCnameChain chain = net::followCnames(answer, host, kMaxCnameSteps);
    if (chain.loop || chain.tooLong) {
      found.why = chain.loop ? "leads into a CNAME loop" : "has too many CNAME steps";
    } else {
      std::vector<std::string>& into = type == net::kDnsTypeAAAA ? found.ipv6 : found.ipv4;
      const int n = std::min(answer.answerCount, net::kDnsTableSize);
      for (int i = 0; i < n; ++i) {
        const auto k = static_cast<std::size_t>(i);
        const std::string& text = answer.answerText[k];
        // An IPv4 address dressed as IPv6 reaches nothing over IPv6.
        if (answer.AnswerType[k] != type || text.empty() ||
            !net::dnsNamesEqual(answer.AnswerName[k], chain.target) ||
            (type == net::kDnsTypeAAAA && text.rfind("::ffff:", 0) == 0)) {
          continue;
        }
        if (std::find(into.begin(), into.end(), text) == into.end()) into.push_back(text);
        const std::uint32_t ttl = answer.AnswerTTL[k];
        found.ttlSeconds = found.ttlSeconds == 0 ? ttl : std::min(found.ttlSeconds, ttl);
      }
    }
  }
  if (s.pending == 0) finish(host);
}

void AddressResolver::finish(const std::string& host) {
  const auto it = searching_.find(host);
  if (it == searching_.end()) return;
  std::unique_ptr<Search> s = std::move(it->second);
  searching_.erase(it);
  HostAddresses& found = s->found;
  if (!found.ipv4.empty() || !found.ipv6.empty()) {
    found.outcome = DnsOutcome::Answered;
    std::string line =
        host + " has the address" + (found.ipv4.size() + found.ipv6.size() > 1 ? "es" : "");
    for (const auto& a : found.ipv6) line += " " + a;
    for (const auto& a : found.ipv4) line += " " + a;
    found.lines.push_back(std::move(line));
  } else if (!s->failed || !found.why.empty()) {
    found.outcome = DnsOutcome::NoSuchDomain;
    if (found.why.empty()) found.why = "has no address";
    found.ttlSeconds = kNoSuchNameSeconds;
    found.lines.push_back(host + " " + found.why);
  } else {
    found.ttlSeconds = 0;
  }
  if (found.ttlSeconds > 0) {
    Entry& entry = cache_[host];
    entry.expires = loop_.now() + std::min(found.ttlSeconds, kMaxSeconds) * 1000u;
    entry.addresses = found;
  }
  for (auto& [ticket, waiter] : s->waiters) {
    if (tickets_.erase(ticket) == 0) continue;
    waiter(found);
  }
}

void AddressResolver::cancel(Ticket ticket) {
  const auto t = tickets_.find(ticket);
  if (t == tickets_.end()) return;
  if (const auto q = searching_.find(t->second); q != searching_.end()) {
    std::erase_if(q->second->waiters, [ticket](const auto& w) { return w.first == ticket; });
  }
  tickets_.erase(t);
}

}  // namespace orvane::engine
