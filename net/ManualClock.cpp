#include "net/ManualClock.h"

#include "net/EventLoop.h"

namespace orvane::net {

ManualClock::ManualClock(EventLoop& loop, std::uint32_t start) : loop_(loop), now_(start) {
  loop_.useManualClock(this);
}

ManualClock::~ManualClock() {
  for (auto& [key, timer] : timers_) timer->manual_ = nullptr;
  timers_.clear();
  if (loop_.manualClock() == this) loop_.useManualClock(nullptr);
}

void ManualClock::schedule(Timer* timer, std::uint64_t afterMs) {
  timer->manual_ = this;
  timer->due_ = now_ + afterMs;
  timer->sequence_ = ++sequence_;
  timers_.emplace(std::make_pair(timer->due_, timer->sequence_), timer);
}

void ManualClock::cancel(Timer* timer) {
  timers_.erase({timer->due_, timer->sequence_});
  timer->manual_ = nullptr;
}

std::optional<std::uint64_t> ManualClock::nextDue() const {
  if (timers_.empty()) return std::nullopt;
  const std::uint64_t due = timers_.begin()->first.first;
  return due > now_ ? due - now_ : 0;
}

void ManualClock::advance(std::uint64_t ms) {
  const std::uint64_t end = now_ + ms;
  while (!timers_.empty() && timers_.begin()->first.first <= end) {
    const auto it = timers_.begin();
    Timer* timer = it->second;
    if (it->first.first > now_) now_ = it->first.first;
    timers_.erase(it);
    timer->manual_ = nullptr;
    // A repeating timer is due again before its callback runs, so that the
    // callback may stop it.
    if (timer->repeat_ > 0) schedule(timer, timer->repeat_);
    timer->fire();
  }
  now_ = end;
}

}  // namespace orvane::net
