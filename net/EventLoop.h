// The program's one event loop: socket readiness, timers, posted notices and
// host-name lookups all complete here, on the thread that runs the loop.
//
// Owns a libuv loop and the handles it creates itself (the notice queue's idle
// handle). Components (sockets, timers) own their own handles and close them
// through the loop. Not thread-safe: every call, and every callback, happens on
// the loop thread. The command-line front end and the benchmarks call run();
// the desktop program embeds the loop in its own through backendFd() and
// backendTimeout() and calls runOnce() when either fires.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>

#include <uv.h>

namespace orvane::net {

class EventLoop final {
 public:
  using Notice = std::function<void()>;

  EventLoop();
  ~EventLoop();
  EventLoop(const EventLoop&) = delete;
  EventLoop& operator=(const EventLoop&) = delete;

  uv_loop_t* uv() noexcept { return &loop_; }

  // Runs until stop() is called or nothing is left to wait for.
  void run();
  // Runs until `done()` is true or `timeoutMs` milliseconds have passed;
  // returns done(). Checks `done` after every pass of the loop.
  bool runUntil(const std::function<bool()>& done, std::uint64_t timeoutMs);
  // One pass that does not wait: ready I/O, due timers, pending notices.
  void runOnce();
  void stop();

  // Queues `notice` to run later from the loop, never inside the call that
  // posts it. Notices run in the order posted.
  void post(Notice notice);
  // As post(), but the notice is dropped when `owner` has expired by then.
  void post(std::weak_ptr<void> owner, Notice notice);
  // Runs the notices already queued and does one non-waiting pass of the loop.
  // Replaces message pumping for code that must wait for another component to
  // settle; everything else that is ready may run meanwhile.
  void processPendingNotices();
  std::size_t pendingNotices() const noexcept { return notices_.size(); }

  // For embedding: a descriptor that becomes readable when the loop has work,
  // and the milliseconds until the next timer is due (-1: none).
  int backendFd() const noexcept;
  int backendTimeout() const noexcept;

  // Milliseconds of a monotonic clock, wrapping at 2^32 like a tick count.
  static std::uint32_t tickCount() noexcept;

 private:
  void drainNotices();
  static void onIdle(uv_idle_t* handle);

  uv_loop_t loop_{};
  uv_idle_t* idle_ = nullptr;  // active only while notices wait
  std::deque<Notice> notices_;
};

// A one-shot or repeating timer on the loop. Stops (and releases its handle)
// when destroyed, so a callback never outlives its owner.
class Timer final {
 public:
  explicit Timer(EventLoop& loop);
  ~Timer();
  Timer(const Timer&) = delete;
  Timer& operator=(const Timer&) = delete;

  // Fires after `timeoutMs`, then every `repeatMs` when that is not 0.
  void start(std::uint64_t timeoutMs, std::uint64_t repeatMs, std::function<void()> callback);
  void stop();
  bool active() const noexcept;

 private:
  static void onTimer(uv_timer_t* handle);
  uv_timer_t* handle_;
  std::function<void()> callback_;
};

}  // namespace orvane::net
