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
  const std::uint64_t start = uv_hrtime();
  auto at = [&](const char* name, std::uint64_t ms) {
    return delays.schedule(ms, [&, name, ms] {
      ran.emplace_back(name);
      late.push_back(uv_hrtime() - start - ms * 1000000u);
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
  EXPECT_EQ(ran, (std::vector<std::string>{"d", "a", "b", "c"}));
  // uv_hrtime() - start >= delay for every callback (an early one would wrap
  // to a huge unsigned value).
  for (std::uint64_t ns : late) EXPECT_LT(ns, 1000000000u);
  EXPECT_EQ(delays.pending(), 0u);
}

}  // namespace
}  // namespace orvane::testing
