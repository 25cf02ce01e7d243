#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/Validation.h"
#include "tests/engine/EngineHarness.h"

namespace orvane::engine {
namespace {

using namespace orvane::testing;

class ValidationTest : public ::testing::Test {
 protected:
  ValidationTest() : validation(h.loop) {
    validation.scheduler().setSmtpPort(std::to_string(h.smtp[0]->port()));
    validation.onResult = [this](ValidationResult& r) { results.push_back(std::move(r)); };
    validation.onFinished = [this](bool) { ++finished; };
    validation.onConnectionTrouble = [this](const std::string& note) { notes.push_back(note); };
    cfg.from = "sender@origin.test";
    cfg.primaryDns = h.dns.address();
    cfg.connections = 2;
    cfg.detectCatchAll = false;
    h.dns.addMx("t.test", 10, "127.0.0.2");
    h.dns.setTtl(3600);
  }
  bool finish() {
    return h.loop.runUntil(
        [this] {
          if (finished == 0 && !validation.scheduler().busy()) h.clock.advance(100);
          return finished > 0;
        },
        5000);
  }
  EngineHarness h;
  Validation validation;
  EngineSettings cfg;
  std::vector<ValidationResult> results;
  std::vector<std::string> notes;
  int finished = 0;
};

// A source with nothing at hand keeps the run, and what it learnt, alive: the
// domain (whatever its case) is asked for once; the run ends when the source does. Each result
// names the entry as given and the address checked.
TEST_F(ValidationTest, ATricklingSourceIsOneRunThatEndsWithTheSource) {
  std::vector<std::string> lines = {"Ann <ann@t.test>", "", "bob@T.test", ""};
  std::size_t next = 0;
  bool ended = false;
  validation.start(cfg, [&](FeedLine& line) {
    if (next < lines.size() && !lines[next].empty()) {
      line.given = lines[next];
      line.tag = static_cast<std::int64_t>(next++);
      return SourceAnswer::Address;
    }
    return ended ? SourceAnswer::End : SourceAnswer::NoneYet;
  });
  for (const std::size_t part : {1u, 2u}) {
    ASSERT_TRUE(h.loop.runUntil([&] { return results.size() == part; }, 5000));
    h.clock.advance(1000);  // far past the finish delay: nothing ends the run
    h.loop.runOnce();
    EXPECT_EQ(finished, 0);
    EXPECT_TRUE(validation.running());
    ++next;  // the pause is over
    if (part == 2) ended = true;
    validation.more();
  }
  ASSERT_TRUE(finish());
  EXPECT_EQ(finished, 1);
  EXPECT_EQ(h.dns.queriesSeen(), 1u);
  ASSERT_EQ(results.size(), 2u);
  EXPECT_EQ(results[0].given, "Ann <ann@t.test>");
  EXPECT_EQ(results[0].checked, "ann@t.test");
  EXPECT_EQ(results[1].tag, 2);
  EXPECT_EQ(results[1].given, "bob@T.test");
  for (const auto& r : results) EXPECT_EQ(r.result.verdict, Verdict::Valid) << r.result.message;
  EXPECT_TRUE(notes.empty());
}

// When every result so far points at this machine (here: nothing listens on
// the mail port), the run says once that its connection is at fault.
TEST_F(ValidationTest, ResultsThatAllPointAtThisMachineAreSaidOnce) {
  std::uint16_t closed = 0;
  {
    ScriptedSmtpServer gone(h.loop, "127.0.0.2");
    closed = gone.port();
  }
  validation.scheduler().setSmtpPort(std::to_string(closed));
  std::vector<std::string> list = {"a@t.test", "b@t.test", "c@t.test"};
  validation.start(cfg, [&, next = std::size_t{0}](FeedLine& line) mutable {
    if (next == list.size()) return SourceAnswer::End;
    line.given = list[next++];
    return SourceAnswer::Address;
  });
  ASSERT_TRUE(finish());
  ASSERT_EQ(results.size(), 3u);
  EXPECT_EQ(results[0].result.code, 10061);
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_TRUE(notes[0].starts_with("The first 3 addresses ended unknown")) << notes[0];
}

// Connections beyond what the open-file limit holds are lowered once, before
// the run, and said.
TEST_F(ValidationTest, ConnectionsAreFittedToTheOpenFileLimit) {
  std::vector<int> said;
  validation.onConnectionsLowered = [&](int asked, int used, std::uint64_t limit) {
    said = {asked, used, static_cast<int>(limit)};
  };
  validation.setDescriptorLimit(100);
  cfg.connections = 999;
  validation.start(cfg, [n = 0](FeedLine& line) mutable {
    if (n++ > 0) return SourceAnswer::End;
    line.given = "a@t.test";
    return SourceAnswer::Address;
  });
  EXPECT_EQ(said, (std::vector<int>{999, 18, 100}));
  EXPECT_EQ(validation.scheduler().Connections(), 18);
  ASSERT_TRUE(finish());
  ASSERT_EQ(results.size(), 1u);
}

}  // namespace
}  // namespace orvane::engine
