// Questions to the run's DNS servers: one name and record type at a time per
// question, as many questions at once as the run needs. A question
// unanswered after `retryMs` is sent again, as a fresh query (new ID and
// source port) to the other configured server when there are two, waiting
// twice as long each time, until its deadline; then it ends "no answer".
//
// Ownership: owns the questions under way with their DNS query components
// (kept for reuse) and resend timers, which run on the loop's time. Event-loop
// thread only. `done` is called from the loop (the answer's notice, a timer
// or a posted notice), never inside ask(); a cancelled question's never.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/RecipientList.h"
#include "net/EventLoop.h"

namespace orvane::net {
class TDnsQuery;
}

namespace orvane::engine {

class DnsAsker final {
 public:
  enum class End : std::uint8_t {
    Answered,  // `answer` holds the decoded answer (its RCODE may be an error)
    Failed,    // the socket reported `error` (port closed, no route, malformed)
    NoAnswer,  // silence until the deadline
    NotSent,   // the query could not be sent; `notSent` says why
  };
  struct Result {
    End end = End::Answered;
    std::uint16_t error = 0;
    const net::TDnsQuery* answer = nullptr;  // valid during the call
    std::string server;                      // the server asked last
    TransactionLog lines;                    // what the log shows of the asking
    std::string notSent;
  };
  using Done = std::function<void(Result& result)>;
  using Ticket = std::uint64_t;

  static constexpr std::uint64_t kRetryMs = 1000;

  explicit DnsAsker(net::EventLoop& loop);
  ~DnsAsker();
  DnsAsker(const DnsAsker&) = delete;
  DnsAsker& operator=(const DnsAsker&) = delete;

  // Questions go to `servers` (the first, and the second for resends), giving
  // up `giveUpMs` after they were first sent.
  void reset(std::vector<std::string> servers, std::uint64_t retryMs, std::uint32_t giveUpMs);
  Ticket ask(const std::string& name, std::uint16_t type, Done done);
  void cancel(Ticket ticket);
  void cancelAll();

  const std::vector<std::string>& servers() const noexcept { return servers_; }
  std::uint64_t queriesSent() const noexcept { return queriesSent_; }

 private:
  struct Question;
  bool send(Question& q);
  void resend(Question& q);
  void finish(Ticket ticket, Result result);

  net::EventLoop& loop_;
  std::vector<std::string> servers_;
  std::uint64_t retryMs_ = kRetryMs;
  std::uint32_t giveUpMs_ = 0;
  std::unordered_map<Ticket, std::unique_ptr<Question>> asking_;
  std::vector<std::unique_ptr<net::TDnsQuery>> spare_;
  Ticket nextTicket_ = 0;
  std::uint64_t queriesSent_ = 0;
  std::shared_ptr<int> alive_ = std::make_shared<int>(0);  // guards posted notices
};

}  // namespace orvane::engine
