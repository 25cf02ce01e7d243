// The mail exchangers of the domains of a run: one MX query per domain (its
// answer kept for its TTL, a domain that does not exist for a minute), shared
// by every address that needs it while it is under way. A query unanswered
// after `retryMs` is sent again, as a fresh query (new ID and source port) to
// the other configured server when there are two, waiting twice as long each
// time, until its deadline; then it ends "no answer".
//
// Ownership: owns the cache, the queries under way with their DNS query
// components (kept for reuse, at most one per domain asked at once) and their
// resend timers, which run on the loop's time. Event-loop thread only.
//
// Waiters are called from the loop (the DNS answer's notice or a timer),
// never inside resolve(); a cancelled waiter is never called. The one whose
// resolve() sent the query also gets the query's own log lines (the server
// tried, resends).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/RecipientList.h"
#include "engine/Outcome.h"
#include "net/EventLoop.h"

namespace orvane::net {
class TDnsQuery;
}

namespace orvane::engine {

// The mail hosts DNS gave for a domain, as every address of a run uses them.
struct MxAnswer {
  DnsOutcome outcome = DnsOutcome::Answered;
  int code = 0;                    // the server's error code, or the socket error
  std::vector<std::string> hosts;  // by ascending preference; empty: none to try
  TransactionLog lines;            // what the log shows of the answer
  std::string server;              // the server that answered (or did not)
  std::uint32_t ttlSeconds = 0;    // 0: not kept for later addresses
  std::string detail;              // why a query could not be sent
};

class MxResolver final {
 public:
  // `queryLines` is set for the waiter whose call sent the query.
  using Waiter = std::function<void(const MxAnswer& answer, const TransactionLog* queryLines)>;
  using Ticket = std::uint64_t;

  // The first resend after this long without an answer, then twice as long each time.
  static constexpr std::uint64_t kRetryMs = 1000;
  // A domain that does not exist, or names no mail host, is remembered this long.
  static constexpr std::uint32_t kNoSuchDomainSeconds = 60;
  static constexpr std::uint32_t kMaxMxSeconds = 3600;

  explicit MxResolver(net::EventLoop& loop);
  ~MxResolver();
  MxResolver(const MxResolver&) = delete;
  MxResolver& operator=(const MxResolver&) = delete;

  // A run starts: the cache is emptied and queries go to `servers` (the
  // first, and the second for resends), giving up `giveUpMs` after they were
  // first sent.
  void reset(std::vector<std::string> servers, std::uint64_t retryMs, std::uint32_t giveUpMs);
  // The kept answer for `domain` (ASCII form), or nullptr. Valid until the
  // resolver is next called.
  const MxAnswer* cached(const std::string& domain);
  // Asks for `domain`'s mail hosts, or joins the query under way for it.
  Ticket resolve(const std::string& domain, Waiter waiter);
  void cancel(Ticket ticket);
  // Ends every query; no waiter is called.
  void cancelAll();

  const std::vector<std::string>& servers() const noexcept { return servers_; }
  std::uint64_t queriesSent() const noexcept { return queriesSent_; }

 private:
  struct Query;
  struct Entry {
    MxAnswer answer;
    std::uint32_t expires = 0;  // loop time
  };

  bool send(Query& query);
  void resend(Query& query);
  void answered(Query& query, std::uint16_t error);
  MxAnswer decode(const Query& query, std::uint16_t error) const;
  // Keeps the answer when it may be kept, then calls the waiters.
  void finish(Query& query, MxAnswer answer);

  net::EventLoop& loop_;
  std::vector<std::string> servers_;
  std::uint64_t retryMs_ = kRetryMs;
  std::uint32_t giveUpMs_ = 0;
  std::unordered_map<std::string, Entry> cache_;
  std::unordered_map<std::string, std::unique_ptr<Query>> asking_;
  std::vector<std::unique_ptr<net::TDnsQuery>> spare_;
  std::unordered_map<Ticket, std::string> tickets_;  // live ticket -> its domain
  Ticket nextTicket_ = 0;
  std::uint64_t queriesSent_ = 0;
};

}  // namespace orvane::engine
