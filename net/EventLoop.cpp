#include "net/EventLoop.h"

#include "net/ManualClock.h"

#ifdef __linux__
#include <sys/epoll.h>
#include <unistd.h>
#endif

#include <stdexcept>
#include <utility>

namespace orvane::net {

EventLoop::EventLoop() {
  if (uv_loop_init(&loop_) != 0) throw std::runtime_error("cannot create the event loop");
  idle_ = new uv_idle_t;
  uv_idle_init(&loop_, idle_);
  idle_->data = this;
  untilCheck_ = new uv_prepare_t;
  uv_prepare_init(&loop_, untilCheck_);
  untilCheck_->data = this;
  uv_unref(reinterpret_cast<uv_handle_t*>(untilCheck_));
}

EventLoop::~EventLoop() {
  notices_.clear();
  uv_close(reinterpret_cast<uv_handle_t*>(idle_),
           [](uv_handle_t* h) { delete reinterpret_cast<uv_idle_t*>(h); });
  uv_close(reinterpret_cast<uv_handle_t*>(untilCheck_),
           [](uv_handle_t* h) { delete reinterpret_cast<uv_prepare_t*>(h); });
#ifdef __linux__
  if (readyPoll_ != nullptr) {
    uv_close(reinterpret_cast<uv_handle_t*>(readyPoll_),
             [](uv_handle_t* h) { delete reinterpret_cast<uv_poll_t*>(h); });
    readyPoll_ = nullptr;
  }
#endif
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
#ifdef __linux__
  if (readySet_ >= 0) ::close(readySet_);
#endif
}

void EventLoop::run() {
  uv_run(&loop_, UV_RUN_DEFAULT);
}

bool EventLoop::runUntil(const std::function<bool()>& done, std::uint64_t timeoutMs) {
  if (done()) return true;
  bool expired = false;
  const std::function<bool()> finished = [&] { return expired || done(); };
  Timer guard(*this, Timer::Time::Real);
  guard.start(timeoutMs, 0, [&] { expired = true; });
  // A pass runs due timers before it waits. Were the guard to fire there, the
  // wait would have no timer left and block for good; the check before every
  // wait turns such a wait into a look at ready I/O only.
  struct Scope {
    EventLoop& loop;
    const std::function<bool()>* outer;
    ~Scope() {
      loop.until_ = outer;
      if (outer == nullptr) uv_prepare_stop(loop.untilCheck_);
    }
  } scope{*this, until_};
  until_ = &finished;
  uv_prepare_start(untilCheck_, &EventLoop::onUntilCheck);
  while (!finished()) uv_run(&loop_, UV_RUN_ONCE);
  return done();
}

void EventLoop::onUntilCheck(uv_prepare_t* handle) {
  auto* self = static_cast<EventLoop*>(handle->data);
  if (self->until_ != nullptr && (*self->until_)()) uv_stop(&self->loop_);
}

void EventLoop::runOnce() {
  uv_run(&loop_, UV_RUN_NOWAIT);
}

void EventLoop::stop() {
  uv_stop(&loop_);
}

void EventLoop::post(Notice notice) {
  if (notices_.empty()) uv_idle_start(idle_, &EventLoop::onIdle);
  notices_.push_back(Queued{std::move(notice), {}, false});
}

void EventLoop::post(std::weak_ptr<void> owner, Notice notice) {
  // The owner travels beside the notice rather than inside a wrapper, so a
  // notice costs no allocation beyond its own captures.
  if (notices_.empty()) uv_idle_start(idle_, &EventLoop::onIdle);
  notices_.push_back(Queued{std::move(notice), std::move(owner), true});
}

void EventLoop::drainNotices() {
  // Only the notices queued before this pass run now; those they post run on
  // the next pass, so a notice that re-posts itself cannot starve the loop.
  std::size_t n = notices_.size();
  while (n-- > 0 && !notices_.empty()) {
    Queued queued = std::move(notices_.front());
    notices_.pop_front();
    if (queued.owned && queued.owner.expired()) continue;
    queued.notice();
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
  // libuv answers 0 for a loop with nothing to wait for; an embedder would
  // then spin instead of sleeping.
  if (!uv_loop_alive(&loop_)) return -1;
  return uv_backend_timeout(&loop_);
}

std::uint32_t EventLoop::now() const noexcept {
  return manual_ != nullptr ? manual_->now() : tickCount();
}

std::uint32_t EventLoop::tickCount() noexcept {
  return static_cast<std::uint32_t>(uv_hrtime() / 1000000u);
}

// ---------------------------------------------------------------------------
// Descriptor readiness

#ifdef __linux__

namespace {

std::uint32_t epollMask(int events) {
  std::uint32_t mask = 0;
  if (events & UV_READABLE) mask |= EPOLLIN;
  if (events & UV_WRITABLE) mask |= EPOLLOUT;
  if (events & UV_DISCONNECT) mask |= EPOLLRDHUP;
  return mask;
}

}  // namespace

bool EventLoop::ensureReadySet() {
  if (readySet_ >= 0) return true;
  const int fd = epoll_create1(EPOLL_CLOEXEC);
  if (fd < 0) return false;
  auto* poll = new uv_poll_t;
  if (uv_poll_init(&loop_, poll, fd) != 0) {
    delete poll;
    ::close(fd);
    return false;
  }
  poll->data = this;
  // Always watched; it keeps the loop alive only while a descriptor waits.
  uv_poll_start(poll, UV_READABLE, &EventLoop::onReadySet);
  uv_unref(reinterpret_cast<uv_handle_t*>(poll));
  readySet_ = fd;
  readyPoll_ = poll;
  return true;
}

void EventLoop::watcherArmed(bool armed) {
  auto* handle = reinterpret_cast<uv_handle_t*>(readyPoll_);
  if (armed) {
    if (armedWatchers_++ == 0) uv_ref(handle);
  } else if (armedWatchers_ > 0 && --armedWatchers_ == 0) {
    uv_unref(handle);
  }
}

void EventLoop::onReadySet(uv_poll_t* handle, int, int) {
  static_cast<EventLoop*>(handle->data)->dispatchReady();
}

void EventLoop::dispatchReady() {
  // A full batch means more may be waiting: take a few batches in one pass
  // (four, as the loop's own poll does) before timers and notices run again.
  for (int round = 0; round < readyBatchesPerPass_; ++round) {
    if (dispatchBatch() < kReadyBatch) return;
  }
}

int EventLoop::dispatchBatch() {
  epoll_event ready[kReadyBatch];
  const int n = epoll_wait(readySet_, ready, kReadyBatch, 0);
  if (n <= 0) return 0;
  // A callback that runs the loop again (processPendingNotices) may consume
  // readiness that this pass has not delivered yet; such events are marked.
  if (dispatchDepth_ > 0) ++nestedDispatches_;
  ++dispatchDepth_;
  const std::uint64_t mark = nestedDispatches_;
  for (int i = 0; i < n; ++i) {
    const std::uint64_t key = ready[i].data.u64;
    const auto index = static_cast<std::uint32_t>(key);
    const auto generation = static_cast<std::uint32_t>(key >> 32);
    // A watcher closed (and its slot perhaps reused) since the wait is skipped.
    if (index >= slots_.size() || slots_[index].generation != generation) continue;
    IoWatcher* w = slots_[index].watcher;
    if (w == nullptr || !w->registered_ || w->events_ == 0) continue;
    std::uint32_t ev = ready[i].events;
    if ((ev & EPOLLERR) != 0 && (ev & EPOLLPRI) == 0) {
      w->set(0);
      w->callback_(w->context_, UV_EBADF, 0, nestedDispatches_ != mark);
      continue;
    }
    const std::uint32_t wanted = epollMask(w->events_);
    ev &= wanted | EPOLLERR | EPOLLHUP;
    if (ev == EPOLLERR || ev == EPOLLHUP) ev |= wanted;
    int events = 0;
    if (ev & EPOLLIN) events |= UV_READABLE;
    if (ev & EPOLLOUT) events |= UV_WRITABLE;
    if (ev & EPOLLRDHUP) events |= UV_DISCONNECT;
    if (events == 0) continue;
    w->callback_(w->context_, 0, events, nestedDispatches_ != mark);
    // Notices the callback posted (a finished request, a "write" notice) run
    // as soon as it has returned, not after the whole batch: on a busy loop a
    // batch can take milliseconds, and every step of a dialogue waits for its
    // notice.
    if (dispatchDepth_ == 1 && !notices_.empty()) drainNotices();
  }
  --dispatchDepth_;
  return n;
}

IoWatcher::~IoWatcher() {
  close(false);
}

bool IoWatcher::open(int fd) {
  close(false);
  if (fd < 0 || !loop_.ensureReadySet()) return false;
  if (!loop_.freeSlots_.empty()) {
    slot_ = loop_.freeSlots_.back();
    loop_.freeSlots_.pop_back();
  } else {
    slot_ = static_cast<std::uint32_t>(loop_.slots_.size());
    loop_.slots_.emplace_back();
  }
  loop_.slots_[slot_].watcher = this;
  fd_ = fd;
  events_ = 0;
  registered_ = false;
  return true;
}

void IoWatcher::set(int events) {
  if (fd_ < 0 || events == events_) return;
  if (events == 0) {
    // Out of the set, so that a hang-up or error is not reported over and over.
    epoll_event unused{};
    epoll_ctl(loop_.readySet_, EPOLL_CTL_DEL, fd_, &unused);
    registered_ = false;
    events_ = 0;
    loop_.watcherArmed(false);
    return;
  }
  epoll_event ev{};
  ev.events = epollMask(events);
  ev.data.u64 = (static_cast<std::uint64_t>(loop_.slots_[slot_].generation) << 32) | slot_;
  if (epoll_ctl(loop_.readySet_, registered_ ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, fd_, &ev) != 0)
    return;
  if (!registered_) {
    registered_ = true;
    loop_.watcherArmed(true);
  }
  events_ = events;
}

void IoWatcher::close(bool fdClosing) {
  if (fd_ < 0) return;
  if (registered_) {
    if (!fdClosing) {
      epoll_event unused{};
      epoll_ctl(loop_.readySet_, EPOLL_CTL_DEL, fd_, &unused);
    }
    registered_ = false;
    loop_.watcherArmed(false);
  }
  EventLoop::Slot& slot = loop_.slots_[slot_];
  slot.watcher = nullptr;
  ++slot.generation;
  loop_.freeSlots_.push_back(slot_);
  fd_ = -1;
  events_ = 0;
}

#else  // other systems: one libuv poll handle per descriptor

IoWatcher::~IoWatcher() {
  close(false);
}

bool IoWatcher::open(int fd) {
  close(false);
  if (fd < 0) return false;
  poll_ = new uv_poll_t;
  if (uv_poll_init_socket(loop_.uv(), poll_, fd) != 0) {
    delete poll_;
    poll_ = nullptr;
    return false;
  }
  poll_->data = this;
  fd_ = fd;
  events_ = 0;
  return true;
}

void IoWatcher::set(int events) {
  if (poll_ == nullptr || events == events_) return;
  if (events == 0)
    uv_poll_stop(poll_);
  else
    uv_poll_start(poll_, events, &IoWatcher::onPoll);
  events_ = events;
}

void IoWatcher::close(bool) {
  if (poll_ == nullptr) return;
  poll_->data = nullptr;
  uv_close(reinterpret_cast<uv_handle_t*>(poll_),
           [](uv_handle_t* h) { delete reinterpret_cast<uv_poll_t*>(h); });
  poll_ = nullptr;
  fd_ = -1;
  events_ = 0;
}

void IoWatcher::onPoll(uv_poll_t* handle, int status, int events) {
  auto* self = static_cast<IoWatcher*>(handle->data);
  if (self == nullptr) return;
  if (status < 0) self->events_ = 0;  // libuv has stopped watching
  self->callback_(self->context_, status, events, true);
}

#endif

Timer::Timer(EventLoop& loop, Time time)
    : loop_(loop), real_(time == Time::Real), handle_(new uv_timer_t) {
  uv_timer_init(loop.uv(), handle_);
  handle_->data = this;
}

Timer::~Timer() {
  if (manual_ != nullptr) manual_->cancel(this);
  uv_timer_stop(handle_);
  handle_->data = nullptr;
  uv_close(reinterpret_cast<uv_handle_t*>(handle_),
           [](uv_handle_t* h) { delete reinterpret_cast<uv_timer_t*>(h); });
}

void Timer::start(std::uint64_t timeoutMs, std::uint64_t repeatMs, std::function<void()> callback) {
  callback_ = std::move(callback);
  stop();
  if (!real_ && loop_.manualClock() != nullptr) {
    repeat_ = repeatMs;
    loop_.manualClock()->schedule(this, timeoutMs);
    return;
  }
  // The loop's cached time is that of its last pass; a timer started after
  // an idle spell (from a window's event, say) would otherwise fire early.
  uv_update_time(loop_.uv());
  uv_timer_start(handle_, &Timer::onTimer, timeoutMs, repeatMs);
}

void Timer::stop() {
  if (manual_ != nullptr) manual_->cancel(this);
  uv_timer_stop(handle_);
}

bool Timer::active() const noexcept {
  return manual_ != nullptr || uv_is_active(reinterpret_cast<const uv_handle_t*>(handle_)) != 0;
}

void Timer::onTimer(uv_timer_t* handle) {
  auto* self = static_cast<Timer*>(handle->data);
  if (self != nullptr) self->fire();
}

void Timer::fire() {
  // Copy: the callback may restart or destroy the timer.
  auto cb = callback_;
  if (cb) cb();
}

}  // namespace orvane::net
