#include "tests/support/PreciseDelays.h"

#include <stdexcept>

#ifdef __linux__
#include <sys/timerfd.h>
#include <unistd.h>
#endif

namespace orvane::testing {

PreciseDelays::PreciseDelays(net::EventLoop& loop) {
#ifdef __linux__
  fd_ = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
  if (fd_ < 0) throw std::runtime_error("timerfd_create failed");
  poll_ = new uv_poll_t;
  uv_poll_init(loop.uv(), poll_, fd_);
  poll_->data = this;
  uv_poll_start(poll_, UV_READABLE,
                [](uv_poll_t* h, int, int) { static_cast<PreciseDelays*>(h->data)->fire(); });
  // Keeps the loop running only while something is due.
  uv_unref(reinterpret_cast<uv_handle_t*>(poll_));
#else
  timer_ = new uv_timer_t;
  uv_timer_init(loop.uv(), timer_);
  timer_->data = this;
#endif
}

PreciseDelays::~PreciseDelays() {
#ifdef __linux__
  // Closing stops the watching at once, so the descriptor can go too.
  uv_close(reinterpret_cast<uv_handle_t*>(poll_),
           [](uv_handle_t* h) { delete reinterpret_cast<uv_poll_t*>(h); });
  ::close(fd_);
#else
  uv_close(reinterpret_cast<uv_handle_t*>(timer_),
           [](uv_handle_t* h) { delete reinterpret_cast<uv_timer_t*>(h); });
#endif
}

PreciseDelays::Ticket PreciseDelays::schedule(std::uint64_t delayMs,
                                              std::function<void()> callback) {
  const Ticket ticket{uv_hrtime() + delayMs * 1000000u, ++sequence_};
  due_.emplace(ticket, std::move(callback));
  arm();
  return ticket;
}

void PreciseDelays::cancel(const Ticket& ticket) {
  due_.erase(ticket);
  arm();
}

void PreciseDelays::arm() {
  const std::uint64_t next = due_.empty() ? 0 : due_.begin()->first.first;
#ifdef __linux__
  if (next != 0)
    uv_ref(reinterpret_cast<uv_handle_t*>(poll_));
  else
    uv_unref(reinterpret_cast<uv_handle_t*>(poll_));
  if (next == armedFor_) return;
  armedFor_ = next;
  itimerspec when{};  // all zero: disarmed
  when.it_value.tv_sec = static_cast<time_t>(next / 1000000000u);
  when.it_value.tv_nsec = static_cast<long>(next % 1000000000u);
  timerfd_settime(fd_, TFD_TIMER_ABSTIME, &when, nullptr);
#else
  if (next == armedFor_) return;
  armedFor_ = next;
  if (next == 0) {
    uv_timer_stop(timer_);
    return;
  }
  const std::uint64_t now = uv_hrtime();
  const std::uint64_t waitMs = next > now ? (next - now + 999999u) / 1000000u : 0;
  uv_timer_start(
      timer_, [](uv_timer_t* t) { static_cast<PreciseDelays*>(t->data)->fire(); }, waitMs, 0);
#endif
}

void PreciseDelays::fire() {
#ifdef __linux__
  std::uint64_t expirations = 0;
  (void)!::read(fd_, &expirations, sizeof expirations);
#endif
  armedFor_ = 0;
  const std::uint64_t now = uv_hrtime();
  // One at a time from the front: a callback may schedule or cancel others.
  while (!due_.empty() && due_.begin()->first.first <= now) {
    auto node = due_.extract(due_.begin());
    node.mapped()();
  }
  arm();
}

}  // namespace orvane::testing
