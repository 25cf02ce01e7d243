// Callbacks run a given number of milliseconds after they were scheduled,
// measured from the moment of scheduling with the monotonic clock's full
// resolution. libuv's own timers count whole milliseconds of the loop's cached
// time, so every reply falling due within one tick would leave in one burst; a
// server standing in for many independent remote hosts must not bunch its
// replies like that, or the client is measured against bursts no real network
// sends.
//
// On Linux all pending delays share one timerfd watched by the loop; elsewhere
// one libuv timer, rounded up to whole milliseconds. Owns the descriptor and
// the handle (closed through the loop: destroy before the loop). Loop thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <utility>

#include <uv.h>

#include "net/EventLoop.h"

namespace orvane::testing {

class PreciseDelays final {
 public:
  // Identifies one scheduled callback: its due time (ns) and a sequence number.
  using Ticket = std::pair<std::uint64_t, std::uint64_t>;

  explicit PreciseDelays(net::EventLoop& loop);
  ~PreciseDelays();
  PreciseDelays(const PreciseDelays&) = delete;
  PreciseDelays& operator=(const PreciseDelays&) = delete;

  // Runs `callback` from the loop `delayMs` milliseconds from now; callbacks
  // due at the same time run in the order scheduled.
  Ticket schedule(std::uint64_t delayMs, std::function<void()> callback);
  // Forgets a callback that has not run yet (nothing happens otherwise).
  void cancel(const Ticket& ticket);
  std::size_t pending() const noexcept { return due_.size(); }

 private:
  void arm();
  void fire();

  std::map<Ticket, std::function<void()>> due_;
  std::uint64_t sequence_ = 0;
  std::uint64_t armedFor_ = 0;  // due time the clock is set for, 0: none
#ifdef __linux__
  uv_poll_t* poll_ = nullptr;  // watches fd_, a timerfd
  int fd_ = -1;
#else
  uv_timer_t* timer_ = nullptr;
#endif
};

}  // namespace orvane::testing
