#include "engine/MxResolver.h"

#include <algorithm>

#include "engine/AddressResolver.h"
#include "net/DnsMessage.h"
#include "net/DnsQuery.h"

namespace orvane::engine {

namespace {

constexpr int kDnsRcodeServerFailure = 2;
constexpr int kDnsRcodeRefused = 5;

}  // namespace

MxResolver::MxResolver(net::EventLoop& loop, DnsAsker& asker, AddressResolver& addresses)
    : loop_(loop), asker_(asker), addresses_(addresses) {}

MxResolver::~MxResolver() {
  cancelAll();
}

void MxResolver::reset() {
  cancelAll();
  cache_.clear();
}

void MxResolver::cancelAll() {
  for (auto& [domain, asking] : asking_) asker_.cancel(asking.question);
  asking_.clear();
  tickets_.clear();
}

const MxAnswer* MxResolver::cached(const std::string& domain) {
  const auto it = cache_.find(domain);
  if (it == cache_.end()) return nullptr;
  if (net::EventLoop::tickDue(loop_.now(), it->second.expires)) {
    cache_.erase(it);
    return nullptr;
  }
  return &it->second.answer;
}

MxResolver::Ticket MxResolver::resolve(const std::string& domain, Waiter waiter) {
  const Ticket ticket = ++nextTicket_;
  tickets_.emplace(ticket, domain);
  if (const auto it = asking_.find(domain); it != asking_.end()) {
    it->second.waiters.emplace_back(ticket, std::move(waiter));
    return ticket;
  }
  Asking& asking = asking_[domain];
  asking.asker = ticket;
  asking.waiters.emplace_back(ticket, std::move(waiter));
  asking.question = asker_.ask(domain, net::kDnsTypeMX,
                               [this, domain](DnsAsker::Result& r) { answered(domain, r); });
  return ticket;
}

void MxResolver::cancel(Ticket ticket) {
  const auto t = tickets_.find(ticket);
  if (t == tickets_.end()) return;
  // The question goes on without the waiter: its answer serves later addresses.
  if (const auto q = asking_.find(t->second); q != asking_.end()) {
    std::erase_if(q->second.waiters, [ticket](const auto& w) { return w.first == ticket; });
  }
  tickets_.erase(t);
}

MxAnswer MxResolver::decode(const std::string& domain, const DnsAsker::Result& r) {
  MxAnswer answer;
  answer.server = r.server;
  switch (r.end) {
    case DnsAsker::End::NoAnswer:
      answer.outcome = DnsOutcome::NoAnswer;
      return answer;
    case DnsAsker::End::NotSent:
      answer.outcome = DnsOutcome::NotSent;
      answer.detail = r.notSent;
      return answer;
    case DnsAsker::End::Failed:
      answer.lines.push_back("DNS Search error :" + std::to_string(r.error));
      answer.outcome = r.error == net::kDnsErrorMalformedAnswer ? DnsOutcome::Malformed
                                                                : DnsOutcome::Unreachable;
      answer.code = r.error;
      return answer;
    case DnsAsker::End::Answered:
      break;
  }
  const net::TDnsQuery& dns = *r.answer;
  const int rcode = dns.ResponseCode();
  if (rcode == net::kDnsRcodeNameError) {
    // The domain does not exist, so it has no implicit mail host either.
    answer.lines.push_back("No such domain (" + domain + ")");
    answer.outcome = DnsOutcome::NoSuchDomain;
    answer.ttlSeconds = kNoSuchDomainSeconds;
  } else if (rcode != 0) {
    // The server could not or would not answer: nothing is known about the
    // domain, and its name must not be taken for a mail host.
    answer.outcome = rcode == kDnsRcodeServerFailure ? DnsOutcome::ServerFailure
                     : rcode == kDnsRcodeRefused     ? DnsOutcome::ServerRefused
                                                     : DnsOutcome::OtherError;
    answer.code = rcode;
    answer.lines.push_back("The DNS server answered with error code " + std::to_string(rcode));
  } else if (dns.ResponseANCount() == 0) {
    answer.lines.push_back("No SMTP Relays found. Trying \"" + domain + "\"");
    answer.hosts.push_back(domain);
    answer.domainItself = true;
    answer.ttlSeconds = kNoSuchDomainSeconds;
  } else {
    const int n = dns.ResponseANCount();
    struct Mx {
      int preference;
      std::string host;
    };
    std::vector<Mx> found;
    std::uint32_t ttl = kMaxMxSeconds;
    for (int i = 0; i < n; ++i) {
      const int tag = dns.AnswerTag(i);
      if (tag >= 0 && dns.AnswerType(i) == net::kDnsTypeMX) {
        found.push_back({dns.MXPreference(tag), dns.MXExchange(tag)});
        ttl = std::min(ttl, dns.AnswerTTL(i));
      }
    }
    // Most preferred (lowest value) first; equal preferences keep answer order.
    std::stable_sort(found.begin(), found.end(),
                     [](const Mx& a, const Mx& b) { return a.preference < b.preference; });
    std::string line =
        std::to_string(n) + (n == 1 ? " SMTP Relay found: " : " SMTP Relays found: ");
    bool nullMx = false;
    for (const auto& mx : found) {
      line += mx.host;
      line += ' ';
      if (mx.host.empty()) {
        nullMx = true;
        continue;
      }
      answer.hosts.push_back(mx.host);
      // The addresses the answer carries for exactly this exchange.
      HostAddresses glue;
      glue.server = r.server;
      glue.ttlSeconds = kMaxMxSeconds;
      for (const auto& extra : net::additionalAddressesOf(dns.Response(), mx.host)) {
        (extra.type == net::kDnsTypeAAAA ? glue.ipv6 : glue.ipv4).push_back(extra.address);
        glue.ttlSeconds = std::min(glue.ttlSeconds, extra.ttl);
      }
      if (!glue.ipv4.empty() || !glue.ipv6.empty()) {
        glue.lines.push_back("Addresses of " + mx.host + " from the answer:");
        for (const auto& a : glue.ipv6) glue.lines.back() += " " + a;
        for (const auto& a : glue.ipv4) glue.lines.back() += " " + a;
        addresses_.seed(mx.host, std::move(glue));
      }
    }
    answer.lines.push_back(std::move(line));
    answer.ttlSeconds = found.empty() ? 0 : ttl;
    if (nullMx) {
      // The domain declares that it accepts no mail.
      answer.lines.emplace_back("This domain accepts no mail (null MX)");
      answer.outcome = DnsOutcome::NullMx;
      answer.hosts.clear();
    }
  }
  return answer;
}

void MxResolver::answered(const std::string& domain, DnsAsker::Result& r) {
  const auto it = asking_.find(domain);
  if (it == asking_.end()) return;
  Asking asking = std::move(it->second);
  asking_.erase(it);
  MxAnswer answer = decode(domain, r);
  if (answer.ttlSeconds > 0) {
    Entry& entry = cache_[domain];
    entry.expires = loop_.now() + answer.ttlSeconds * 1000u;
    entry.answer = answer;
  }
  // Waiters may ask for other domains, or cancel others, while they are called.
  for (auto& [ticket, waiter] : asking.waiters) {
    if (tickets_.erase(ticket) == 0) continue;
    waiter(answer, ticket == asking.asker ? &r.lines : nullptr);
  }
}

}  // namespace orvane::engine
