#include "net/EventLoop.h"

#include <gtest/gtest.h>

#include <string>

#include <unistd.h>

namespace orvane::net {
namespace {

TEST(EventLoop, PostedNoticesRunLaterInOrderNeverInsideThePostUnlessTheirOwnerIsGone) {
  EventLoop loop;
  std::string trace;
  auto owner = std::make_shared<int>(0);
  loop.post([&] {
    trace += "a";
    loop.post([&] { trace += "c"; });
    trace += "b";
  });
  loop.post(owner, [&] { trace += "x"; });
  owner.reset();
  EXPECT_EQ(trace, "");
  EXPECT_TRUE(loop.runUntil([&] { return trace.size() == 3; }, 1000));
  loop.processPendingNotices();
  EXPECT_EQ(trace, "abc");
}

TEST(EventLoop, TimersFireAndStopWithTheirOwner) {
  EventLoop loop;
  int fired = 0;
  Timer repeating(loop);
  repeating.start(1, 1, [&] {
    if (++fired == 3) repeating.stop();
  });
  {
    Timer dropped(loop);
    dropped.start(1, 0, [&] { fired += 100; });
  }  // destroyed before it fires
  EXPECT_TRUE(loop.runUntil([&] { return !repeating.active(); }, 2000));
  EXPECT_EQ(fired, 3);
}

TEST(EventLoop, RunUntilWaitsItsWholeTimeoutAndNeverPastIt) {
  EventLoop loop;
  // A time-out already due fires at the start of a pass, before its wait; the
  // wait on a descriptor that never becomes ready must not then block for good.
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  IoWatcher never(
      loop, [](void*, int, int, bool) {}, nullptr);
  ASSERT_TRUE(never.open(fds[0]));
  never.set(UV_READABLE);
  loop.runOnce();
  EXPECT_FALSE(loop.runUntil([] { return false; }, 0));
  const auto start = EventLoop::tickCount();
  EXPECT_FALSE(loop.runUntil([] { return false; }, 20));
  EXPECT_GE(static_cast<std::uint32_t>(EventLoop::tickCount() - start), 20u);
  never.close(true);
  ::close(fds[0]);
  ::close(fds[1]);
}

TEST(EventLoop, BackendTimeoutIsZeroWhileNoticesWait) {
  EventLoop loop;
  loop.post([] {});
  EXPECT_EQ(loop.backendTimeout(), 0);
  EXPECT_GE(loop.backendFd(), 0);
}

}  // namespace
}  // namespace orvane::net
