#include "net/EventLoop.h"

#include <stdexcept>
#include <utility>

namespace orvane::net {

EventLoop::EventLoop() {
  if (uv_loop_init(&loop_) != 0) throw std::runtime_error("cannot create the event loop");
  idle_ = new uv_idle_t;
  uv_idle_init(&loop_, idle_);
  idle_->data = this;
}

EventLoop::~EventLoop() {
  notices_.clear();
  uv_close(reinterpret_cast<uv_handle_t*>(idle_),
           [](uv_handle_t* h) { delete reinterpret_cast<uv_idle_t*>(h); });
  // Close whatever components left behind, then let the close callbacks run.
  uv_walk(
      &loop_,
      [](uv_handle_t* h, void*) {
        if (!uv_is_closing(h)) uv_close(h, nullptr);
      },
      nullptr);
  while (uv_run(&loop_, UV_RUN_NOWAIT) != 0) {
  }
  uv_loop_close(&loop_);
}

void EventLoop::run() {
  uv_run(&loop_, UV_RUN_DEFAULT);
}

bool EventLoop::runUntil(const std::function<bool()>& done, std::uint64_t timeoutMs) {
  if (done()) return true;
  bool expired = false;
  Timer guard(*this);
  guard.start(timeoutMs, 0, [&] { expired = true; });
  while (!done() && !expired) {
    uv_run(&loop_, UV_RUN_ONCE);
  }
  return done();
}

void EventLoop::runOnce() {
  uv_run(&loop_, UV_RUN_NOWAIT);
}

void EventLoop::stop() {
  uv_stop(&loop_);
}

void EventLoop::post(Notice notice) {
  if (notices_.empty()) uv_idle_start(idle_, &EventLoop::onIdle);
  notices_.push_back(std::move(notice));
}

void EventLoop::post(std::weak_ptr<void> owner, Notice notice) {
  post([owner = std::move(owner), notice = std::move(notice)] {
    if (!owner.expired()) notice();
  });
}

void EventLoop::drainNotices() {
  // Only the notices queued before this pass run now; those they post run on
  // the next pass, so a notice that re-posts itself cannot starve the loop.
  std::size_t n = notices_.size();
  while (n-- > 0 && !notices_.empty()) {
    Notice notice = std::move(notices_.front());
    notices_.pop_front();
    notice();
  }
  if (notices_.empty()) uv_idle_stop(idle_);
}

void EventLoop::onIdle(uv_idle_t* handle) {
  static_cast<EventLoop*>(handle->data)->drainNotices();
}

void EventLoop::processPendingNotices() {
  drainNotices();
  uv_run(&loop_, UV_RUN_NOWAIT);
}

int EventLoop::backendFd() const noexcept {
  return uv_backend_fd(&loop_);
}

int EventLoop::backendTimeout() const noexcept {
  return uv_backend_timeout(&loop_);
}

std::uint32_t EventLoop::tickCount() noexcept {
  return static_cast<std::uint32_t>(uv_hrtime() / 1000000u);
}

Timer::Timer(EventLoop& loop) : handle_(new uv_timer_t) {
  uv_timer_init(loop.uv(), handle_);
  handle_->data = this;
}

Timer::~Timer() {
  uv_timer_stop(handle_);
  handle_->data = nullptr;
  uv_close(reinterpret_cast<uv_handle_t*>(handle_),
           [](uv_handle_t* h) { delete reinterpret_cast<uv_timer_t*>(h); });
}

void Timer::start(std::uint64_t timeoutMs, std::uint64_t repeatMs, std::function<void()> callback) {
  callback_ = std::move(callback);
  uv_timer_start(handle_, &Timer::onTimer, timeoutMs, repeatMs);
}

void Timer::stop() {
  uv_timer_stop(handle_);
}

bool Timer::active() const noexcept {
  return uv_is_active(reinterpret_cast<const uv_handle_t*>(handle_)) != 0;
}

void Timer::onTimer(uv_timer_t* handle) {
  auto* self = static_cast<Timer*>(handle->data);
  if (self == nullptr) return;
  // Copy: the callback may restart or destroy the timer.
  auto cb = self->callback_;
  if (cb) cb();
}

}  // namespace orvane::net
