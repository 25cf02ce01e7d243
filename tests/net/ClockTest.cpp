#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "net/EventLoop.h"
#include "net/ManualClock.h"

namespace orvane::net {
namespace {

// Advancing fires the timers due on the way in the order of their due times
// (the order started for the same moment), each at its own moment; a
// repeating timer comes back, a timer started inside a callback fires within
// the same advance when it falls due, and a stopped one never fires.
TEST(ManualClock, FiresDueTimersInOrderEachAtItsOwnTime) {
  EventLoop loop;
  ManualClock clock(loop, 1000);
  std::vector<std::string> fired;
  const auto note = [&](const char* name) {
    fired.push_back(std::string(name) + "@" + std::to_string(loop.now()));
  };
  Timer late(loop), early(loop), tie(loop), repeat(loop), stopped(loop), chained(loop);
  late.start(300, 0, [&] { note("late"); });
  early.start(100, 0, [&] {
    note("early");
    chained.start(50, 0, [&] { note("chained"); });
  });
  tie.start(100, 0, [&] { note("tie"); });
  repeat.start(120, 120, [&] { note("repeat"); });
  stopped.start(10, 0, [&] { note("stopped"); });
  stopped.stop();
  clock.advance(99);
  EXPECT_TRUE(fired.empty());
  clock.advance(201);
  EXPECT_EQ(fired, (std::vector<std::string>{"early@1100", "tie@1100", "repeat@1120",
                                             "chained@1150", "repeat@1240", "late@1300"}));
  EXPECT_EQ(loop.now(), 1300u);
  EXPECT_TRUE(repeat.active());
  EXPECT_FALSE(late.active());
  EXPECT_EQ(clock.nextDue(), 60u);
}

// A timer started while the loop has been idle counts from the moment it is
// started, not from the loop's last pass (a window idle for a while must not
// see a one-second resend fire at once).
TEST(Timer, CountsFromItsStartAfterTheLoopWasIdle) {
  EventLoop loop;
  loop.runOnce();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the loop's time goes stale
  bool fired = false;
  Timer timer(loop);
  timer.start(150, 0, [&] { fired = true; });
  loop.runOnce();
  EXPECT_FALSE(fired);
  EXPECT_TRUE(loop.runUntil([&] { return fired; }, 2000));
}

}  // namespace
}  // namespace orvane::net
