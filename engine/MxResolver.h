// The mail exchangers of the domains of a run: one MX question per domain
// (asked through the run's DnsAsker), its answer kept for its TTL (a domain
// that does not exist for a minute) and shared by every address that needs it
// while it is under way. The addresses an answer carries in its additional
// section for exactly the exchanges it lists are handed to the run's
// AddressResolver, so those need no question of their own.
//
// Ownership: owns the cache and the waiters; borrows the asker and the
// address resolver. Event-loop thread only. Waiters are called from the loop,
// never inside resolve(); a cancelled waiter is never called. The one whose
// resolve() sent the question also gets the asking's own log lines (the
// server tried, resends).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/RecipientList.h"
#include "engine/DnsAsker.h"
#include "engine/Outcome.h"
#include "net/EventLoop.h"

namespace orvane::engine {

class AddressResolver;

// The mail hosts DNS gave for a domain, as every address of a run uses them.
struct MxAnswer {
  DnsOutcome outcome = DnsOutcome::Answered;
  int code = 0;                    // the server's error code, or the socket error
  std::vector<std::string> hosts;  // by ascending preference; empty: none to try
  TransactionLog lines;            // what the log shows of the answer
  std::string server;              // the server that answered (or did not)
  std::uint32_t ttlSeconds = 0;    // 0: not kept for later addresses
  std::string detail;              // why a query could not be sent
  bool domainItself = false;       // no MX records: the domain is its own mail host
};

class MxResolver final {
 public:
  // `queryLines` is set for the waiter whose call sent the question.
  using Waiter = std::function<void(const MxAnswer& answer, const TransactionLog* queryLines)>;
  using Ticket = std::uint64_t;

  // A domain that does not exist, or names no mail host, is remembered this long.
  static constexpr std::uint32_t kNoSuchDomainSeconds = 60;
  static constexpr std::uint32_t kMaxMxSeconds = 3600;

  MxResolver(net::EventLoop& loop, DnsAsker& asker, AddressResolver& addresses);
  ~MxResolver();
  MxResolver(const MxResolver&) = delete;
  MxResolver& operator=(const MxResolver&) = delete;

  // A run starts: the cache is emptied and nothing is under way.
  void reset();
  // The kept answer for `domain` (ASCII form), or nullptr. Valid until the
  // resolver is next called.
  const MxAnswer* cached(const std::string& domain);
  // Asks for `domain`'s mail hosts, or joins the question under way for it.
  Ticket resolve(const std::string& domain, Waiter waiter);
  void cancel(Ticket ticket);
  // Ends every question; no waiter is called.
  void cancelAll();

 private:
  struct Asking {
    DnsAsker::Ticket question = 0;
    Ticket asker = 0;  // the waiter whose call sent the question
    std::vector<std::pair<Ticket, Waiter>> waiters;
  };
  struct Entry {
    MxAnswer answer;
    std::uint32_t expires = 0;  // loop time
  };

  void answered(const std::string& domain, DnsAsker::Result& result);
  MxAnswer decode(const std::string& domain, const DnsAsker::Result& result);

  net::EventLoop& loop_;
  DnsAsker& asker_;
  AddressResolver& addresses_;
  std::unordered_map<std::string, Entry> cache_;
  std::unordered_map<std::string, Asking> asking_;
  std::unordered_map<Ticket, std::string> tickets_;  // live ticket -> its domain
  Ticket nextTicket_ = 0;
};

}  // namespace orvane::engine
