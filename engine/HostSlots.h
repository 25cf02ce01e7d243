// Connections open at once to each mail host of a run, and the limit on
// them. A session asks for a slot before it connects and gives it back when
// the connection ends; a host at its limit is full. Whenever a host has room
// again (a slot given back, a cool-down over), `onRoom` is called with the
// host, so the run can hand that host's waiting work to a session.
//
// Hosts that throttle: a host that refuses a connection for now before the
// recipient is asked ("421 Too many connections", "450/451 try again later"
// at the greeting, HELO or MAIL FROM) gets half the connections it was
// taking (at most half its limit, at least 1) as its limit for a cool-down: 60 s at first, twice as
// long each time it throttles again soon after, 60 s again after a quiet spell as long as the last
// cool-down. Only a connection opened under the limit now in force lowers it: the refusals of
// connections opened before the last lowering change nothing. A host whose
// greeting does not come within the time-out twice in a row (a tarpit) is
// slow: one connection at a time for the rest of the run. Every change is
// reported through `onChange` (for the log and the progress line).
//
// Ownership: owns the counts and a timer for the cool-downs, on the loop's
// time. Event-loop thread only; onRoom runs inside release() or the timer.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>

#include "net/EventLoop.h"

namespace orvane::engine {

class HostSlots final {
 public:
  static constexpr std::uint64_t kFirstCoolDownMs = 60000;
  static constexpr std::uint64_t kLongestCoolDownMs = 3600000;
  static constexpr int kSlowAfterTimeOuts = 2;

  // A host's limit changed: `limit` connections at most (0: none but the
  // run's), for `coolDownMs` (0: for the rest of the run, or restored).
  struct Change {
    std::string host;
    int limit = 0;
    std::uint64_t coolDownMs = 0;
    bool slow = false;
  };
  using RoomEvent = std::function<void(const std::string& host)>;
  using ChangeEvent = std::function<void(const Change& change)>;

  explicit HostSlots(net::EventLoop& loop);

  // A run starts: no slot is taken; at most `limit` per host (0: no limit).
  void reset(int limit);
  // Takes a slot at `host` unless it is full; `generation` tells later which
  // limit the connection was opened under.
  bool tryAcquire(const std::string& host, std::uint64_t* generation = nullptr);
  // Gives a slot back.
  void release(const std::string& host);
  bool full(const std::string& host) const;
  int open(const std::string& host) const;
  // The limit in force at `host` (0: none).
  int limitAt(const std::string& host) const;

  // The host refused a connection opened at `generation` for now. Returns
  // the limit in force afterwards.
  int throttled(const std::string& host, std::uint64_t generation);
  // A greeting did not come within the time-out, or did come.
  void greetingTimedOut(const std::string& host);
  void greetingCame(const std::string& host);

  // The most connections that were open at once to one host.
  int peak() const noexcept { return peak_; }
  int limit() const noexcept { return limit_; }
  // Slots taken at all hosts together.
  int total() const noexcept { return total_; }
  // Hosts whose limit is lowered now.
  std::size_t lowered() const noexcept { return lowered_; }

  RoomEvent onRoom;
  ChangeEvent onChange;

 private:
  struct Host {
    int open = 0;
    int lowered = 0;  // the limit during a cool-down or for a slow host; 0: the run's
    std::uint64_t generation = 0;
    std::uint64_t coolDownMs = 0;  // the last cool-down's length
    std::uint32_t coolUntil = 0;   // loop time
    bool cooling = false;
    bool slow = false;
    int greetingTimeOuts = 0;
  };
  int limitOf(const Host& host) const;
  void coolDownsOver();
  void armTimer();

  net::EventLoop& loop_;
  net::Timer timer_;
  int limit_ = 0;
  int peak_ = 0;
  int total_ = 0;
  std::size_t lowered_ = 0;
  std::unordered_map<std::string, Host> hosts_;
};

}  // namespace orvane::engine
