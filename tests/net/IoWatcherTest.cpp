#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <string>
#include <vector>

#include "net/EventLoop.h"

namespace orvane::net {
namespace {

struct Pair {
  Pair() { EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fd.data()), 0); }
  ~Pair() {
    for (int f : fd)
      if (f >= 0) ::close(f);
  }
  void Write(const char* text) const { ASSERT_GT(::write(fd[1], text, 1), 0); }
  std::array<int, 2> fd{-1, -1};
};

struct Probe {
  std::vector<int> events;  // one entry per callback
  int status = 0;
  std::function<void()> onEvent;
  static void Callback(void* context, int status, int events, bool) {
    auto* self = static_cast<Probe*>(context);
    self->status = status;
    self->events.push_back(events);
    if (self->onEvent) self->onEvent();
  }
};

// Two watchers whose descriptors are both ready in the same pass.
struct TwoReady {
  TwoReady() {
    EXPECT_TRUE(a.open(pa.fd[0]) && b.open(pb.fd[0]));
    pa.Write("a");
    pb.Write("b");
    a.set(UV_READABLE);
    b.set(UV_READABLE);
  }
  EventLoop loop;
  Pair pa, pb;
  Probe probeA, probeB;
  IoWatcher a{loop, &Probe::Callback, &probeA}, b{loop, &Probe::Callback, &probeB};
};

#ifdef __linux__
TEST(IoWatcher, NoticePostedByACallbackRunsBeforeTheNextReadyDescriptor) {
  // Whichever is reported first posts a notice, which must run as soon as
  // that callback has returned, never inside it and not only after the rest
  // of the batch.
  TwoReady t;
  std::vector<std::string> trace;
  auto hook = [&](const char* name, IoWatcher& self) {
    return [&, name] {
      self.set(0);
      trace.emplace_back(name);
      if (trace.size() == 1) t.loop.post([&] { trace.emplace_back("notice"); });
      trace.emplace_back(std::string(name) + " returns");
    };
  };
  t.probeA.onEvent = hook("a", t.a);
  t.probeB.onEvent = hook("b", t.b);
  ASSERT_TRUE(t.loop.runUntil([&] { return trace.size() == 5; }, 2000));
  EXPECT_EQ(trace[2], "notice") << trace[0] << " / " << trace[3];
}
#endif

TEST(IoWatcher, ReportsReadinessWhileItLastsOnlyWhenAskedForAndTheHangUp) {
  EventLoop loop;
  Pair pair;
  Probe probe;
  IoWatcher watcher(loop, &Probe::Callback, &probe);
  ASSERT_TRUE(watcher.open(pair.fd[0]));
  watcher.set(UV_READABLE);
  pair.Write("x");
  // Level-triggered: reported on every pass while the byte stays unread.
  ASSERT_TRUE(loop.runUntil([&] { return probe.events.size() >= 2; }, 2000));
  EXPECT_EQ(probe.events[0], UV_READABLE);
  EXPECT_EQ(probe.events[1], UV_READABLE);

  // Not asked for: nothing, and an idle loop has nothing left to wait for.
  watcher.set(0);
  probe.events.clear();
  loop.run();
  EXPECT_TRUE(probe.events.empty());

  // Asked for again with the byte still queued: reported again; once read,
  // no longer.
  watcher.set(UV_READABLE | UV_WRITABLE);
  ASSERT_TRUE(loop.runUntil([&] { return !probe.events.empty(); }, 2000));
  EXPECT_EQ(probe.events[0], UV_READABLE | UV_WRITABLE);
  char c;
  ASSERT_EQ(::read(pair.fd[0], &c, 1), 1);
  watcher.set(UV_READABLE);
  probe.events.clear();
  loop.runOnce();
  loop.runOnce();
  EXPECT_TRUE(probe.events.empty());

  watcher.set(UV_READABLE | UV_DISCONNECT);
  probe.onEvent = [&] { watcher.set(0); };
  ::close(pair.fd[1]);
  pair.fd[1] = -1;
  ASSERT_TRUE(loop.runUntil([&] { return !probe.events.empty(); }, 2000));
  EXPECT_EQ(probe.status, 0);
  EXPECT_NE(probe.events[0] & UV_DISCONNECT, 0);
}

TEST(IoWatcher, WatcherClosedDuringAPassIsNotCalledEvenWhenItsPlaceIsReused) {
  // Whichever runs first closes the other and hands its place to a watcher on
  // a descriptor that is never ready.
  TwoReady t;
  Pair third;
  Probe probeC;
  IoWatcher c(t.loop, &Probe::Callback, &probeC);
  int calls = 0;
  auto closeOther = [&](IoWatcher& other) {
    ++calls;
    other.close(false);
    ASSERT_TRUE(c.open(third.fd[0]));
    c.set(UV_READABLE);
    t.a.set(0);
    t.b.set(0);
  };
  t.probeA.onEvent = [&] { closeOther(t.b); };
  t.probeB.onEvent = [&] { closeOther(t.a); };
  t.loop.runOnce();
  t.loop.runOnce();
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(t.probeA.events.size() + t.probeB.events.size(), 1u);
  EXPECT_TRUE(probeC.events.empty());
}

}  // namespace
}  // namespace orvane::net
