#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/ResultMessages.h"
#include "tests/engine/EngineHarness.h"

namespace orvane::engine {
namespace {

using namespace orvane::testing;

TEST(Session, WhatIsNotAnAddressEndsAtOnceWithoutTraffic) {
  EngineHarness h;
  h.dns.addMx("ok.test", 10, "127.0.0.2");
  h.queue({"kim@", "", "lee@a..b", "max@ok.test", "nobody.test"});
  h.server.setConnections(1);
  h.server.StartCheck();
  // The three addresses without a usable domain are reported while the run
  // starts, before any network event.
  ASSERT_GE(h.processed.size(), 3u);
  ASSERT_TRUE(h.runToEnd());
  ASSERT_EQ(h.processed.size(), 5u);
  for (const std::size_t i : {0u, 1u, 2u, 4u}) {
    EXPECT_EQ(h.processed[i].code, -1) << i;
    EXPECT_TRUE(0 < countStartingWith(h.processed[i].log, "Not an e-mail address: ")) << i;
  }
  EXPECT_EQ(h.processed[3].code, 0);
  ASSERT_EQ(h.dns.queriesSeen(), 1u);
}

// Silence ends on a clock of the test's own (no real waiting): a silent SMTP
// server's at the time-out, and the next address goes on; a silent DNS
// server's, with the time-out code and naming it, at its last resend shortly
// before the time-out (the recipient's mail server is not blamed); and an address the servers keep
// past its deadline, though no silence lasted as long as the time-out.
TEST(Session, SilenceEndsAtTheTimeOutOrTheAddressDeadline) {
  enum Kind { kSilentSmtp, kSilentDns, kPastDeadline };
  for (const Kind kind : {kSilentSmtp, kSilentDns, kPastDeadline}) {
    SCOPED_TRACE(kind);
    EngineHarness h;
    auto& silent = h.addSmtp(3);
    silent.setGreeting(SmtpAction::silence());
    h.dns.addMx("slow.test", 10, "127.0.0.3");
    h.dns.addMx("fast.test", 10, "127.0.0.2");
    if (kind == kSilentDns) h.dns.setMisbehaviour(ScriptedDnsServer::Misbehaviour::Silent);
    h.server.setConnections(1);
    h.server.setTimeOut(kind == kPastDeadline ? 60 : 30);
    h.server.setDnsRetryMs(10);
    if (kind == kPastDeadline) {
      h.smtp[0]->on("RCPT", SmtpAction::silence());
      h.server.setAddressDeadlineMs(10000);
    }
    const std::vector<std::string> queue = {
        kind == kPastDeadline ? "ned@fast.test" : "ned@slow.test", "ola@fast.test"};
    h.queue(kind == kSilentSmtp ? queue : std::vector<std::string>{queue[0]});
    h.server.StartCheck();
    ASSERT_TRUE(h.loop.runUntil(
        [&] {
          if (kind == kSilentDns) return h.dns.queriesSeen() >= 1;
          if (kind == kSilentSmtp) return silent.connectionCount() == 1;
          return h.smtp[0]->transcript(0).size() >= 3;
        },
        5000));
    if (kind == kPastDeadline) {
      h.clock.advance(9000);  // within the deadline
      h.server.checkTimeOutsNow();
      h.loop.runOnce();
      EXPECT_TRUE(h.processed.empty());
    }
    h.clock.advance(kind == kSilentDns ? 29600 : kind == kSilentSmtp ? 31000 : 2000);
    h.server.checkTimeOutsNow();
    ASSERT_TRUE(h.runToEnd(5000));
    ASSERT_EQ(h.processed.size(), kind == kSilentSmtp ? 2u : 1u);
    EXPECT_EQ(h.processed[0].code, kResultTimeOut);
    const std::string lastLines[] = {"Connection time-out",
                                     "DNS server \"" + h.dns.address() + "\" did not answer",
                                     "The servers kept this address too long"};
    EXPECT_EQ(h.processed[0].log.back(), lastLines[kind]);
    EXPECT_EQ(h.processed[0].verdict, Verdict::Unknown);
    if (kind == kSilentSmtp) {
      EXPECT_EQ(h.processed[1].code, 0);
      EXPECT_FALSE(hasLine(h.processed[1].log, "Connection time-out"));
    }
  }
}

TEST(Session, AbortWithThreeLiveSessions) {
  EngineHarness h;
  h.smtp[0]->on("RCPT", SmtpAction::silence());
  h.dns.addMx("hang.test", 10, "127.0.0.2");
  h.queue({"a@hang.test", "b@hang.test", "c@hang.test", "d@hang.test", "e@hang.test"});
  h.server.setConnections(3);
  h.server.StartCheck();
  ASSERT_TRUE(h.loop.runUntil([&] { return linesReceived(*h.smtp[0], "RCPT") == 3; }, 5000));
  EXPECT_TRUE(h.processed.empty());
  h.server.AbortRun();
  ASSERT_EQ(h.processed.size(), 3u);
  for (const auto& p : h.processed) {
    EXPECT_EQ(p.code, -8);
    EXPECT_EQ(p.log.back(), "User Abort");
  }
  EXPECT_EQ(h.finished, 0);
  ASSERT_TRUE(h.runToEnd());
  EXPECT_TRUE(h.finishedAborted);
  EXPECT_EQ(h.taken, (std::vector<int>{0, 1, 2}));
  EXPECT_EQ(h.aborting.size(), 3u);
  EXPECT_EQ(h.aborting.back().second, 3);
}

}  // namespace
}  // namespace orvane::engine
