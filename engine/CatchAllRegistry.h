// What a run knows of each domain's catch-all behaviour: whether its mail
// host accepts a made-up address too. The first session to see an accepted
// address of a domain claims the probe (one RCPT TO with a made-up mailbox
// on its connection); sessions that see an accepted address while the probe
// is under way wait for its answer, which is handed to them from the loop.
//
// Ownership: owns the states and the waiters. Event-loop thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "net/EventLoop.h"

namespace orvane::engine {

class CatchAllRegistry final {
 public:
  enum class State : std::uint8_t { Probing, Yes, No, Undetermined };
  using Ticket = std::uint64_t;

  explicit CatchAllRegistry(net::EventLoop& loop) : loop_(loop) {}

  // A run starts; `enabled` false: nothing is probed and nothing is known.
  void reset(bool enabled);
  // True for the first caller per domain when detection is on: it probes.
  bool claimProbe(const std::string& domain);
  // The state of `domain`, or nullptr when nothing is known.
  const State* stateOf(const std::string& domain) const;
  bool isCatchAll(const std::string& domain) const {
    const State* s = stateOf(domain);
    return s != nullptr && *s == State::Yes;
  }
  // The probe's answer; the waiters of the domain are called from the loop.
  void resolved(const std::string& domain, State state);
  // Calls `then` from the loop once the probe of `domain` has its answer.
  Ticket wait(const std::string& domain, std::function<void()> then);
  void cancel(Ticket ticket);

 private:
  net::EventLoop& loop_;
  bool enabled_ = false;
  std::unordered_map<std::string, State> states_;
  std::unordered_map<std::string, std::vector<std::pair<Ticket, std::function<void()>>>> waiters_;
  std::unordered_map<Ticket, std::string> tickets_;
  Ticket nextTicket_ = 0;
  std::shared_ptr<int> alive_ = std::make_shared<int>(0);  // guards posted notices
};

}  // namespace orvane::engine
