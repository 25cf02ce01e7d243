// End-to-end runs of the scheduler and its sessions against scripted DNS and
// SMTP servers on loopback addresses.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/engine/EngineHarness.h"

namespace orvane::engine {
namespace {

using namespace orvane::testing;

TEST(Session, ValidAddressLogShowsQuitButNoRset) {
  EngineHarness h;
  h.dns.addMx("good.test", 10, "127.0.0.2");
  ASSERT_TRUE(h.Check({"alice@good.test"}));
  EXPECT_EQ(h.processed[0].code, 0);
  const TransactionLog expected = {
      "Requesting SMTP servers for this domain (good.test)",
      "Trying DNS Server \"" + h.dns.address() + "\"",
      "Sending DNS Request",
      "1 SMTP Relay found: 127.0.0.2 ",
      "Trying SMTP host \"127.0.0.2\"",
      "Opening Connection",
  };
  const TransactionLog& log = h.processed[0].log;
  ASSERT_GE(log.size(), expected.size());
  EXPECT_EQ(TransactionLog(log.begin(), log.begin() + 6), expected);
  for (const char* line : {"HELO origin.test", "MAIL FROM:<sender@origin.test>",
                           "RCPT TO:<alice@good.test>", "QUIT"}) {
    EXPECT_TRUE(hasLine(log, line)) << line;
  }
  EXPECT_FALSE(hasLine(log, "RSET"));
  EXPECT_TRUE(0 < countStartingWith(log, "221"));
  // The server did see the RSET that the log leaves out.
  EXPECT_TRUE(hasLine(h.smtp[0]->transcript(0), "RSET"));
  EXPECT_FALSE(h.finishedAborted);
  EXPECT_FALSE(h.busyInFinished);
  EXPECT_FALSE(h.server.Busy());
}

TEST(Session, TransientFailuresMoveOnToTheNextHost) {
  const struct {
    const char* verb;  // nullptr: the first host does not listen
    const char* reply;
  } cases[] = {
      {nullptr, nullptr},
      {"RCPT", "450 try later"},
      {"HELO", "501 who are you"},
      {"RSET", "502 not implemented"},  // after an accepted recipient
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.verb ? c.reply : "refused connection");
    EngineHarness h;
    // Host .2 accepts; the first host tried is .4 (listening or not).
    std::unique_ptr<ScriptedSmtpServer> first;
    if (c.verb) {
      first = std::make_unique<ScriptedSmtpServer>(h.loop, "127.0.0.4", h.smtp[0]->port());
      first->on(c.verb, SmtpAction::Line(c.reply));
    }
    h.dns.addMx("two.test", 5, "127.0.0.4");
    h.dns.addMx("two.test", 10, "127.0.0.2");
    ASSERT_TRUE(h.Check({"carol@two.test"}));
    EXPECT_EQ(h.processed[0].code, 0);
    EXPECT_EQ(h.smtp[0]->connectionCount(), 1u);
    EXPECT_TRUE(hasLine(h.processed[0].log, "Trying SMTP host \"127.0.0.4\""));
    EXPECT_TRUE(hasLine(h.processed[0].log, "Trying SMTP host \"127.0.0.2\""));
  }
}

TEST(Session, WhatIsNotAnAddressEndsAtOnceWithoutTraffic) {
  EngineHarness h;
  h.dns.addMx("ok.test", 10, "127.0.0.2");
  h.Queue({"kim@", "", "lee@a..b", "max@ok.test", "nobody.test"});
  h.server.SetConnections(1);
  h.server.StartCheck();
  // The three addresses without a usable domain are reported while the run
  // starts, before any network event.
  ASSERT_GE(h.processed.size(), 3u);
  ASSERT_TRUE(h.RunToEnd());
  ASSERT_EQ(h.processed.size(), 5u);
  for (const std::size_t i : {0u, 1u, 2u, 4u}) {
    EXPECT_EQ(h.processed[i].code, -1) << i;
    EXPECT_TRUE(0 < countStartingWith(h.processed[i].log, "Not an e-mail address: ")) << i;
  }
  EXPECT_EQ(h.processed[3].code, 0);
  ASSERT_EQ(h.dns.queriesSeen(), 1u);
}

TEST(Session, SilentServerOrDnsServerTimesOut) {
  for (const bool silentDns : {false, true}) {
    SCOPED_TRACE(silentDns ? "DNS server" : "SMTP server");
    EngineHarness h;
    auto& silent = h.AddSmtp(3);
    silent.setGreeting(SmtpAction::Silence());
    h.dns.addMx("slow.test", 10, "127.0.0.3");
    h.dns.addMx("fast.test", 10, "127.0.0.2");
    if (silentDns) h.dns.setMisbehaviour(ScriptedDnsServer::Misbehaviour::Silent);
    // The time-out is measured on a clock of the test's own: no real waiting.
    std::uint32_t now = 1000;
    h.server.SetClock([&] { return now; });
    h.server.SetConnections(1);
    h.server.SetTimeOut(30);
    h.server.SetDnsRetryMs(10);
    h.Queue(silentDns ? std::vector<std::string>{"ned@slow.test"}
                      : std::vector<std::string>{"ned@slow.test", "ola@fast.test"});
    h.server.StartCheck();
    ASSERT_TRUE(h.loop.runUntil(
        [&] { return silentDns ? h.dns.queriesSeen() >= 2 : silent.connectionCount() == 1; },
        5000));
    // A silent DNS server is given up on shortly before the time-out, by its
    // next resend; a silent SMTP server at the time-out.
    now += silentDns ? 29600 : 31000;
    h.server.CheckTimeOutsNow();
    ASSERT_TRUE(h.RunToEnd(5000));
    ASSERT_EQ(h.processed.size(), silentDns ? 1u : 2u);
    // The silent server is named (and given up on before the time-out): the
    // recipient's mail server is not blamed for a DNS server that never answered.
    EXPECT_EQ(h.processed[0].code, silentDns ? -1 : -2);
    EXPECT_EQ(h.processed[0].log.back(),
              silentDns ? "DNS server \"" + h.dns.address() + "\" did not answer"
                        : "Connection time-out");
    EXPECT_EQ(h.processed[0].verdict, Verdict::Unknown);
    if (!silentDns) {
      // After a silent SMTP server the next address goes on.
      EXPECT_EQ(h.processed[1].code, 0);
      EXPECT_FALSE(hasLine(h.processed[1].log, "Connection time-out"));
    }
  }
}

TEST(Session, AbortWithThreeLiveSessions) {
  EngineHarness h;
  h.smtp[0]->on("RCPT", SmtpAction::Silence());
  h.dns.addMx("hang.test", 10, "127.0.0.2");
  h.Queue({"a@hang.test", "b@hang.test", "c@hang.test", "d@hang.test", "e@hang.test"});
  h.server.SetConnections(3);
  h.server.StartCheck();
  // Wait until all three sessions wait for their RCPT TO reply.
  ASSERT_TRUE(h.loop.runUntil(
      [&] {
        int waiting = 0;
        for (std::size_t c = 0; c < h.smtp[0]->connectionCount(); ++c) {
          for (const auto& line : h.smtp[0]->transcript(c)) waiting += line.rfind("RCPT", 0) == 0;
        }
        return waiting == 3;
      },
      5000));
  EXPECT_TRUE(h.processed.empty());
  h.server.AbortRun();
  ASSERT_EQ(h.processed.size(), 3u);
  for (const auto& p : h.processed) {
    EXPECT_EQ(p.code, -8);
    EXPECT_EQ(p.log.back(), "User Abort");
  }
  EXPECT_EQ(h.finished, 0);
  ASSERT_TRUE(h.RunToEnd());
  EXPECT_TRUE(h.finishedAborted);
  EXPECT_EQ(h.taken, (std::vector<int>{0, 1, 2}));
  EXPECT_EQ(h.aborting.size(), 3u);
  EXPECT_EQ(h.aborting.back().second, 3);
  EXPECT_EQ(h.processed.size(), 3u);
}

// One, two and more connections than addresses over three addresses.
TEST(Session, SessionsShareTheQueue) {
  for (const int connections : {1, 2, 5}) {
    SCOPED_TRACE(connections);
    EngineHarness h;
    h.dns.addMx("q.test", 10, "127.0.0.2");
    h.Queue({"one@q.test", "two@q.test", "three@q.test"});
    h.server.SetConnections(connections);
    h.server.StartCheck();
    const int slots = std::min(connections, 3);
    EXPECT_EQ(h.server.SessionSlots(), static_cast<std::size_t>(slots));
    EXPECT_EQ(h.server.ActiveCount(), slots);
    EXPECT_EQ(h.taken.size(), static_cast<std::size_t>(slots));
    ASSERT_TRUE(h.RunToEnd());
    EXPECT_EQ(h.taken, (std::vector<int>{0, 1, 2}));
    ASSERT_EQ(h.processed.size(), 3u);
    std::vector<int> reported;
    for (const auto& p : h.processed) {
      EXPECT_EQ(p.code, 0);
      reported.push_back(p.index);
    }
    // A single connection checks strictly in turn.
    if (connections > 1) std::sort(reported.begin(), reported.end());
    EXPECT_EQ(reported, (std::vector<int>{0, 1, 2}));
  }
}

}  // namespace
}  // namespace orvane::engine
