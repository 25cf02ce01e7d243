#include "tests/support/PreciseDelays.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace orvane::testing {
namespace {

TEST(PreciseDelays, RunInDueOrderNeverEarlyAndCancelledOnesNever) {
  net::EventLoop loop;
  PreciseDelays delays(loop);
  std::vector<std::string> ran;
  std::vector<std::uint64_t> late;  // ns past the due time, per callback
  auto at = [&](const char* name, std::uint64_t ms) {
    const std::uint64_t scheduled = uv_hrtime();
    return delays.schedule(ms, [&, name, ms, scheduled] {
      ran.emplace_back(name);
      late.push_back(uv_hrtime() - scheduled - ms * 1000000u);
    });
  };
  at("c", 12);
  at("a", 4);
  at("b", 4);
  const auto dropped = at("x", 8);
  // A callback may schedule another; it runs after its own delay.
  delays.schedule(2, [&] { at("d", 1); });
  delays.cancel(dropped);
  EXPECT_EQ(delays.pending(), 4u);

  // run() returns by itself once nothing is due: an idle delay queue does not
  // keep the loop alive.
  loop.run();
  // "d" falls due about when "a" and "b" do, depending on how late the loop
  // ran its parent; the others keep their order whatever the machine's speed.
  ASSERT_EQ(ran.size(), 4u);
  EXPECT_EQ(std::erase(ran, "d"), 1u);
  EXPECT_EQ(ran, (std::vector<std::string>{"a", "b", "c"}));
  // Elapsed >= delay for every callback (an early one would wrap to a huge
  // unsigned value).
  for (std::uint64_t ns : late) EXPECT_LT(ns, 1000000000u);
  EXPECT_EQ(delays.pending(), 0u);
}

}  // namespace
}  // namespace orvane::testing
