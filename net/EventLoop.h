// The program's one event loop: socket readiness, timers, posted notices and
// host-name lookups all complete here, on the thread that runs the loop.
//
// Owns a libuv loop and the handles it creates itself (the notice queue's idle
// handle; on Linux the epoll set that IoWatchers share, which libuv watches as
// one descriptor). Components (sockets, timers) own their own handles and
// watchers and close them through the loop. Not thread-safe: every call, and every callback,
// happens on the loop thread. The command-line front end and the benchmarks call run(); the desktop
// program embeds the loop in its own through backendFd() and backendTimeout() and calls runOnce()
// when either fires.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <vector>

#include <uv.h>

namespace orvane::net {

class IoWatcher;
class ManualClock;

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
  // returns done(). Checks `done` after every pass of the loop and before
  // every wait, so it never waits once `done` holds or the time is up.
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

  // How many batches of ready descriptors one pass takes at most (default 4).
  // An embedder that must keep its own events flowing takes fewer per pass.
  void setReadyBatchesPerPass(int batches) noexcept {
    readyBatchesPerPass_ = batches < 1 ? 1 : batches;
  }

  // The loop's time, which every timer of the program and every time-out is
  // measured with: milliseconds wrapping at 2^32 like a tick count. The
  // monotonic clock (tickCount), or the ManualClock a test installed.
  std::uint32_t now() const noexcept;
  ManualClock* manualClock() const noexcept { return manual_; }
  // Installs `clock` (nullptr: the monotonic clock again). Called by
  // ManualClock itself; timers started afterwards run on it.
  void useManualClock(ManualClock* clock) noexcept { manual_ = clock; }

  // Milliseconds of a monotonic clock, wrapping at 2^32 like a tick count.
  static std::uint32_t tickCount() noexcept;
  // True once tick `when` has come at tick `now` (the count wraps).
  static bool tickDue(std::uint32_t now, std::uint32_t when) noexcept {
    return static_cast<std::int32_t>(now - when) >= 0;
  }

 private:
  friend class IoWatcher;
  struct Queued {
    Notice notice;
    std::weak_ptr<void> owner;
    bool owned = false;
  };

  void drainNotices();
  static void onIdle(uv_idle_t* handle);
  static void onUntilCheck(uv_prepare_t* handle);
#ifdef __linux__
  // Descriptor readiness goes through an epoll set of the loop's own, watched
  // as one descriptor by libuv: changing what a descriptor waits for is one
  // epoll_ctl, and closing the descriptor needs none.
  bool ensureReadySet();
  void watcherArmed(bool armed);
  static void onReadySet(uv_poll_t* handle, int status, int events);
  void dispatchReady();
  int dispatchBatch();  // returns the number of events taken

  static constexpr int kReadyBatch = 256;

  struct Slot {
    IoWatcher* watcher = nullptr;
    std::uint32_t generation = 0;
  };
  int readySet_ = -1;
  uv_poll_t* readyPoll_ = nullptr;
  std::size_t armedWatchers_ = 0;
  std::vector<Slot> slots_;
  std::vector<std::uint32_t> freeSlots_;
  int dispatchDepth_ = 0;
  std::uint64_t nestedDispatches_ = 0;
#endif

  int readyBatchesPerPass_ = 4;
  ManualClock* manual_ = nullptr;
  uv_loop_t loop_{};
  uv_idle_t* idle_ = nullptr;                     // active only while notices wait
  uv_prepare_t* untilCheck_ = nullptr;            // active only inside runUntil
  const std::function<bool()>* until_ = nullptr;  // what the innermost runUntil waits for
  std::deque<Queued> notices_;
};

// Level-triggered readiness of one non-blocking descriptor (UV_READABLE,
// UV_WRITABLE, UV_DISCONNECT), reported like uv_poll_t reports it: a socket
// error arrives as status UV_EBADF and stops the watching. Costs nothing per
// open descriptor when another one becomes ready. Loop thread only.
class IoWatcher final {
 public:
  // status: 0 or a negative libuv code; events: the ready events asked for;
  // maybeStale: a nested pass of the loop ran since readiness was read, so the
  // descriptor may no longer be ready.
  using Callback = void (*)(void* context, int status, int events, bool maybeStale);

  IoWatcher(EventLoop& loop, Callback callback, void* context) noexcept
      : loop_(loop), callback_(callback), context_(context) {}
  ~IoWatcher();
  IoWatcher(const IoWatcher&) = delete;
  IoWatcher& operator=(const IoWatcher&) = delete;

  // Starts watching `fd` with no events; false when it cannot be watched.
  bool open(int fd);
  // Waits for `events` (0: none). Cheap when unchanged.
  void set(int events);
  // Stops watching. `fdClosing`: the caller closes the descriptor at once,
  // which removes it from the set without a system call.
  void close(bool fdClosing);
  bool isOpen() const noexcept { return fd_ >= 0; }
  int events() const noexcept { return events_; }

 private:
  friend class EventLoop;
  EventLoop& loop_;
  Callback callback_;
  void* context_;
  int fd_ = -1;
  int events_ = 0;
#ifdef __linux__
  std::uint32_t slot_ = 0;
  bool registered_ = false;  // in the epoll set
#else
  static void onPoll(uv_poll_t* handle, int status, int events);
  uv_poll_t* poll_ = nullptr;
#endif
};

// A one-shot or repeating timer on the loop. Stops (and releases its handle)
// when destroyed, so a callback never outlives its owner.
//
// A timer runs on the loop's time: when a ManualClock is installed at
// start(), the timer fires when the clock is advanced past its due time, not
// in real time. Only `Time::Real` timers (a wait's own guard) always run in
// real time. A real timer counts from the moment start() is called, also when
// the loop has been idle (its cached time is brought up to date first).
class Timer final {
 public:
  enum class Time { Loop, Real };

  explicit Timer(EventLoop& loop, Time time = Time::Loop);
  ~Timer();
  Timer(const Timer&) = delete;
  Timer& operator=(const Timer&) = delete;

  // Fires after `timeoutMs`, then every `repeatMs` when that is not 0.
  void start(std::uint64_t timeoutMs, std::uint64_t repeatMs, std::function<void()> callback);
  void stop();
  bool active() const noexcept;

 private:
  friend class ManualClock;
  static void onTimer(uv_timer_t* handle);
  void fire();

  EventLoop& loop_;
  bool real_;
  uv_timer_t* handle_;
  std::function<void()> callback_;
  // While scheduled on a ManualClock: the clock, the due time and the repeat.
  ManualClock* manual_ = nullptr;
  std::uint64_t due_ = 0;
  std::uint64_t sequence_ = 0;
  std::uint64_t repeat_ = 0;
};

}  // namespace orvane::net
