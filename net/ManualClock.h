// A clock that stands still until it is moved: installed on an EventLoop,
// it is the loop's time (EventLoop::now) and the time every Timer started
// afterwards runs on. advance(ms) moves it forward and fires the timers that
// fall due on the way, in the order of their due times (timers due at the
// same moment in the order they were started), each at its own moment:
// now() inside a callback is that timer's due time. Timers a callback starts
// fire within the same advance when they fall due before its end.
//
// Tests use it so that time-outs, resends, retries and delays happen without
// waiting real time. Socket readiness and posted notices are not timers:
// they run when the loop runs.
//
// Owns its schedule (not the timers). Installs itself on construction and
// uninstalls on destruction; timers still scheduled then stop. Loop thread.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <utility>

namespace orvane::net {

class EventLoop;
class Timer;

class ManualClock final {
 public:
  explicit ManualClock(EventLoop& loop, std::uint32_t start = 1000);
  ~ManualClock();
  ManualClock(const ManualClock&) = delete;
  ManualClock& operator=(const ManualClock&) = delete;

  std::uint32_t now() const noexcept { return static_cast<std::uint32_t>(now_); }
  // Moves the clock `ms` forward, firing the timers due on the way.
  void advance(std::uint64_t ms);
  // Milliseconds until the next timer is due (0: due now); none scheduled: nullopt.
  std::optional<std::uint64_t> nextDue() const;
  std::size_t scheduled() const noexcept { return timers_.size(); }

 private:
  friend class Timer;
  void schedule(Timer* timer, std::uint64_t afterMs);
  void cancel(Timer* timer);

  EventLoop& loop_;
  std::uint64_t now_;
  std::uint64_t sequence_ = 0;
  std::map<std::pair<std::uint64_t, std::uint64_t>, Timer*> timers_;  // (due, order)
};

}  // namespace orvane::net
