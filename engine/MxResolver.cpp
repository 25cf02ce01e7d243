#include "engine/MxResolver.h"

#include <algorithm>
#include <exception>

#include "engine/DnsServerList.h"
#include "net/DnsQuery.h"

namespace orvane::engine {

namespace {

constexpr int kMxType = 15;
constexpr int kDnsRcodeServerFailure = 2;
constexpr int kDnsRcodeRefused = 5;

}  // namespace

struct MxResolver::Query {
  explicit Query(net::EventLoop& loop) : resend(loop) {}
  std::string domain;
  std::unique_ptr<net::TDnsQuery> dns;
  net::Timer resend;
  std::size_t serverIndex = 0;
  std::uint64_t resendAfterMs = 0;
  std::uint32_t deadline = 0;  // loop time
  std::string server;          // asked last
  TransactionLog lines;        // the query's own lines
  std::string notSent;         // why the last send failed
  Ticket asker = 0;
  std::vector<std::pair<Ticket, Waiter>> waiters;
};

MxResolver::MxResolver(net::EventLoop& loop) : loop_(loop) {}

MxResolver::~MxResolver() {
  cancelAll();
}

void MxResolver::reset(std::vector<std::string> servers, std::uint64_t retryMs,
                       std::uint32_t giveUpMs) {
  cancelAll();
  cache_.clear();
  servers_ = std::move(servers);
  retryMs_ = retryMs == 0 ? kRetryMs : retryMs;
  giveUpMs_ = giveUpMs;
  queriesSent_ = 0;
}

void MxResolver::cancelAll() {
  for (auto& [domain, query] : asking_) {
    query->resend.stop();
    query->dns->OnRequestDone = nullptr;
  }
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
    it->second->waiters.emplace_back(ticket, std::move(waiter));
    return ticket;
  }
  auto owned = std::make_unique<Query>(loop_);
  Query& query = *owned;
  query.domain = domain;
  query.asker = ticket;
  query.waiters.emplace_back(ticket, std::move(waiter));
  query.resendAfterMs = retryMs_;
  query.deadline = loop_.now() + giveUpMs_;
  if (!spare_.empty()) {
    query.dns = std::move(spare_.back());
    spare_.pop_back();
  } else {
    query.dns = std::make_unique<net::TDnsQuery>(loop_);
  }
  query.dns->OnRequestDone = [this, &query](net::TDnsQuery&, std::uint16_t error) {
    answered(query, error);
  };
  asking_.emplace(domain, std::move(owned));
  if (!send(query)) {
    // Reported from the loop like any other end of a query.
    loop_.post([this, domain] {
      const auto it = asking_.find(domain);
      if (it == asking_.end()) return;
      MxAnswer failed;
      failed.outcome = DnsOutcome::NotSent;
      failed.server = it->second->server;
      failed.detail = it->second->notSent;
      finish(*it->second, std::move(failed));
    });
  }
  return ticket;
}

void MxResolver::cancel(Ticket ticket) {
  const auto t = tickets_.find(ticket);
  if (t == tickets_.end()) return;
  // The query goes on without the waiter: its answer serves later addresses.
  if (const auto q = asking_.find(t->second); q != asking_.end()) {
    std::erase_if(q->second->waiters, [ticket](const auto& w) { return w.first == ticket; });
  }
  tickets_.erase(t);
}

bool MxResolver::send(Query& query) {
  query.server = servers_.empty() ? std::string() : servers_[query.serverIndex % servers_.size()];
  query.lines.push_back("Trying DNS Server \"" + query.server + "\"");
  query.lines.emplace_back("Sending DNS Request");
  try {
    const DnsServerAddress address = parseDnsServerEntry(query.server);
    query.dns->setAddr(address.host);
    query.dns->setPort(address.port);
    query.dns->MXLookup(query.domain);
    ++queriesSent_;
  } catch (const std::exception& e) {
    query.notSent = e.what();
    query.lines.push_back("DNS request not sent: " + query.notSent);
    return false;
  }
  const auto left = static_cast<std::int32_t>(query.deadline - loop_.now());
  const std::uint64_t wait =
      std::min<std::uint64_t>(query.resendAfterMs, left > 0 ? static_cast<std::uint64_t>(left) : 0);
  query.resend.start(wait, 0, [this, &query] { resend(query); });
  return true;
}

void MxResolver::resend(Query& query) {
  query.lines.push_back("No answer from DNS Server \"" + query.server + "\"");
  if (net::EventLoop::tickDue(loop_.now(), query.deadline)) {
    MxAnswer none;
    none.outcome = DnsOutcome::NoAnswer;
    none.server = query.server;
    none.lines.push_back("DNS server \"" + query.server + "\" did not answer");
    finish(query, std::move(none));
    return;
  }
  // A fresh query (new ID, new source port), to the other server when there
  // are two, after twice the wait.
  const std::size_t servers = std::clamp<std::size_t>(servers_.size(), 1, 2);
  query.serverIndex = (query.serverIndex + 1) % servers;
  query.resendAfterMs *= 2;
  if (send(query)) return;
  MxAnswer failed;
  failed.outcome = DnsOutcome::NotSent;
  failed.server = query.server;
  failed.detail = query.notSent;
  finish(query, std::move(failed));
}

void MxResolver::answered(Query& query, std::uint16_t error) {
  query.resend.stop();
  finish(query, decode(query, error));
}

MxAnswer MxResolver::decode(const Query& query, std::uint16_t error) const {
  const net::TDnsQuery& dns = *query.dns;
  const std::string& domain = query.domain;
  MxAnswer answer;
  answer.server = query.server;
  const int rcode = error == 0 ? dns.ResponseCode() : 0;
  if (error != 0) {
    answer.lines.push_back("DNS Search error :" + std::to_string(error));
    answer.outcome =
        error == net::kDnsErrorMalformedAnswer ? DnsOutcome::Malformed : DnsOutcome::Unreachable;
    answer.code = error;
  } else if (rcode == net::kDnsRcodeNameError) {
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
      if (tag >= 0 && dns.AnswerType(i) == kMxType) {
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
      } else {
        answer.hosts.push_back(mx.host);
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

void MxResolver::finish(Query& query, MxAnswer answer) {
  const auto it = asking_.find(query.domain);
  if (it == asking_.end()) return;
  std::unique_ptr<Query> owned = std::move(it->second);
  asking_.erase(it);
  owned->resend.stop();
  owned->dns->OnRequestDone = nullptr;
  if (answer.ttlSeconds > 0) {
    Entry& entry = cache_[owned->domain];
    entry.expires = loop_.now() + answer.ttlSeconds * 1000u;
    entry.answer = answer;
  }
  // Waiters may ask for other domains, or cancel others, while they are called.
  for (auto& [ticket, waiter] : owned->waiters) {
    if (tickets_.erase(ticket) == 0) continue;
    waiter(answer, ticket == owned->asker ? &owned->lines : nullptr);
  }
  spare_.push_back(std::move(owned->dns));
}

}  // namespace orvane::engine
