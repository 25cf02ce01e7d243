#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "engine/ResourceLimits.h"
#include "engine/SmtpThread.h"
#include "tests/engine/EngineHarness.h"

namespace orvane::engine {
namespace {

using namespace orvane::testing;

::testing::AssertionResult eachReportedOnce(const EngineHarness& h, std::size_t queued) {
  std::set<int> seen;
  for (const auto& p : h.processed) {
    if (!seen.insert(p.index).second) {
      return ::testing::AssertionFailure() << "address " << p.index << " reported twice";
    }
  }
  if (seen.size() != queued) return ::testing::AssertionFailure() << seen.size() << " reported";
  return ::testing::AssertionSuccess();
}

// Sessions share the queue: each address taken once and in queue order, a
// single connection strictly in turn. One MX query per domain: sessions at once
// wait for it, later ones use the kept answer for its TTL.
TEST(MxCache, SessionsShareTheQueueAndOneQueryPerDomainKeptForItsTtl) {
  struct Case {
    const char* what;
    std::uint32_t ttl;  // seconds
    int connections;
    std::size_t queries;
    std::uint64_t betweenMs = 0;  // time passing after each result
  };
  const Case cases[] = {
      {"sessions at once wait for the one query", 3600, 3, 1},
      {"more connections than addresses", 3600, 5, 1},
      {"one after another use the kept answer within its TTL", 60, 1, 1, 5000},
      {"an answer past its TTL is asked for again", 1, 1, 3, 1500},
      {"a TTL of 0 is not kept", 0, 1, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EngineHarness h;
    h.dns.addMx("c.test", 10, "127.0.0.2");
    h.dns.setTtl(c.ttl);
    h.server.setConnections(c.connections);
    h.server.onResult = [&, record = h.server.onResult](ValidationResult& r) {
      record(r);
      h.clock.advance(c.betweenMs);
    };
    h.queue({"a@c.test", "b@c.test", "c@c.test"});
    h.server.StartCheck();
    const auto slots = static_cast<std::size_t>(std::min(c.connections, 3));
    EXPECT_EQ(h.server.sessionSlots(), slots);
    EXPECT_EQ(h.taken.size(), slots);
    EXPECT_EQ(static_cast<std::size_t>(h.server.activeCount()), slots);
    ASSERT_TRUE(h.runToEnd());
    EXPECT_EQ(h.taken, (std::vector<int>{0, 1, 2}));
    ASSERT_TRUE(eachReportedOnce(h, 3));
    EXPECT_TRUE(c.connections > 1 ||
                std::is_sorted(h.processed.begin(), h.processed.end(),
                               [](const auto& a, const auto& b) { return a.index < b.index; }));
    EXPECT_EQ(h.dns.queriesSeen(), c.queries);
    EXPECT_EQ(h.server.dnsQueriesSent(), c.queries);
    for (const auto& p : h.processed) {
      EXPECT_EQ(p.code, 0);
      // Every address's log still names its mail hosts.
      EXPECT_EQ(countStartingWith(p.log, "1 SMTP Relay found: 127.0.0.2"), 1u);
    }
  }
  // A domain that does not exist is remembered too.
  EngineHarness h;
  ASSERT_TRUE(h.check({"a@gone.test", "b@gone.test"}));
  EXPECT_EQ(h.dns.queriesSeen(), 1u);
  EXPECT_EQ(h.processed[1].verdict, Verdict::Invalid);
}

TEST(MxCache, ALostAnswerIsAskedForAgainWithAFreshQuery) {
  EngineHarness h;
  h.dns.addMx("lossy.test", 10, "127.0.0.2");
  h.dns.setHandler(
      [seen = 0](const ScriptedDnsServer::Query&) mutable -> std::optional<std::string> {
        if (++seen == 1) return std::string();  // the first datagram is lost
        return std::nullopt;
      });
  h.server.setDnsRetryMs(50);
  h.queue({"a@lossy.test"});
  h.server.StartCheck();
  ASSERT_TRUE(h.advanceWhen([&] { return h.dns.queriesSeen() == 1; }, 50));
  ASSERT_TRUE(h.runToEnd());
  EXPECT_EQ(h.processed[0].code, 0);
  ASSERT_EQ(h.dns.queries().size(), 2u);
  EXPECT_NE(h.dns.queries()[0].id, h.dns.queries()[1].id);
  EXPECT_NE(h.dns.queries()[0].from.sin_port, h.dns.queries()[1].from.sin_port);
}

// b.test's server: "ok*" accepted, "no*" refused, "grey*" 450, "bye*" 421 and
// close, "drop*" a close without a reply.
void scriptMixedAnswers(EngineHarness& h) {
  h.dns.addMx("b.test", 10, "127.0.0.2");
  h.smtp[0]->setHandler([](const ScriptedSmtpServer::Command& c) -> std::optional<SmtpAction> {
    if (c.verb != "RCPT") return std::nullopt;
    const std::string local = c.localPart();
    const auto starts = [&](const char* p) { return local.rfind(p, 0) == 0; };
    if (starts("no")) return SmtpAction::line("550 5.1.1 no such user");
    if (starts("grey")) return SmtpAction::line("450 4.7.1 try later");
    if (starts("bye")) return SmtpAction::line("421 4.3.2 closing").thenClose();
    if (starts("drop")) return SmtpAction::raw("").thenClose();
    return std::nullopt;
  });
}

TEST(Batches, SeveralAddressesGoOnOneConnectionUntilRefusalsInARow) {
  const std::vector<std::string> addresses = {"ok1@b.test",   "no2@b.test",   "ok3@b.test",
                                              "grey4@b.test", "ok5@b.test",   "bye6@b.test",
                                              "ok7@b.test",   "drop8@b.test", "ok9@b.test"};
  std::map<std::string, std::int32_t> alone;
  for (const int perConnection : {1, 10}) {
    SCOPED_TRACE(perConnection);
    EngineHarness h;
    scriptMixedAnswers(h);
    h.server.setAddressesPerConnection(perConnection);
    ASSERT_TRUE(h.check(addresses));
    ASSERT_TRUE(eachReportedOnce(h, addresses.size()));
    std::map<std::string, std::int32_t> codes;
    for (const auto& p : h.processed) codes[h.server.Recipients().strings(p.index)] = p.code;
    if (perConnection == 1) {
      alone = codes;
      EXPECT_EQ(h.smtp[0]->connectionCount(), addresses.size());
      continue;
    }
    EXPECT_EQ(codes, alone);
    EXPECT_LT(h.smtp[0]->connectionCount(), addresses.size());
    const auto first = h.smtp[0]->transcript(0);
    EXPECT_EQ(countStartingWith(first, "MAIL FROM"), 1u);
    EXPECT_GE(countStartingWith(first, "RCPT TO"), 3u);
    // Each log: the shared opening lines and its own RCPT TO, no one else's.
    for (const auto& p : h.processed) {
      const std::string& address = h.server.Recipients().strings(p.index);
      EXPECT_EQ(countStartingWith(p.log, "MAIL FROM"), 1u) << address;
      EXPECT_EQ(countStartingWith(p.log, "RCPT TO:<" + address + ">"), 1u) << address;
      EXPECT_EQ(countStartingWith(p.log, "RCPT TO"), 1u) << address;
    }
  }
}

// A connection carries at most the addresses per connection set; only
// refusals in a row (not refusals among acceptances) end a batch early.
TEST(Batches, AConnectionCarriesItsShareAndStopsAfterRefusalsInARow) {
  const auto list = [](const char* first, const char* second, int n) {
    std::vector<std::string> out;
    for (int i = 0; i < n; ++i)
      out.push_back((i % 2 ? second : first) + std::to_string(i) + "@b.test");
    return out;
  };
  const struct {
    const char* what;
    std::vector<std::string> addresses;
    int perConnection;
    std::size_t firstConnectionRcpts;
    std::size_t connections;
  } cases[] = {
      {"accepted: three per connection", list("ok", "ok", 7), 3, 3, 3},
      {"refused and accepted in turn: one connection", list("no", "ok", 12), 20, 12, 1},
      {"refused in a row: the batch ends", list("no", "no", 12), 20,
       1u + TSmtpThread::kMaxRejectionsInARow, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EngineHarness h;
    scriptMixedAnswers(h);
    h.server.setAddressesPerConnection(c.perConnection);
    ASSERT_TRUE(h.check(c.addresses));
    ASSERT_TRUE(eachReportedOnce(h, c.addresses.size()));
    EXPECT_EQ(countStartingWith(h.smtp[0]->transcript(0), "RCPT TO"), c.firstConnectionRcpts);
    EXPECT_EQ(h.smtp[0]->connectionCount(), c.connections);
  }
}

// A connection carries a run of its domain's addresses in list order, never
// every other one beside another connection; what it does not ask about
// (after refusals in a row) goes back, still in order; a list shorter than
// the connections goes out one address per connection.
TEST(Batches, ConnectionsCarryRunsOfTheListAndAShortListIsSpread) {
  using Runs = std::vector<std::vector<std::string>>;
  const auto list = [](std::initializer_list<const char*> names) {
    std::vector<std::string> out;
    for (const char* n : names) out.push_back(std::string(n) + "@b.test");
    return out;
  };
  const struct {
    const char* what;
    int connections;
    int perConnection;
    std::vector<std::string> addresses;
    Runs runs;  // each connection's RCPT TO addresses
  } cases[] = {
      {"two connections",
       2,
       3,
       list({"ok0", "ok1", "ok2", "ok3", "ok4", "ok5"}),
       {list({"ok0", "ok1", "ok2"}), list({"ok3", "ok4", "ok5"})}},
      {"refusals in a row hand the rest back",
       1,
       10,
       list({"no0", "no1", "no2", "no3", "no4", "no5", "no6", "ok7"}),
       {list({"no0", "no1", "no2", "no3", "no4", "no5"}), list({"no6", "ok7"})}},
      {"shorter than the connections",
       3,
       10,
       list({"ok0", "ok1", "ok2"}),
       {list({"ok0"}), list({"ok1"}), list({"ok2"})}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EngineHarness h;
    scriptMixedAnswers(h);
    h.server.setConnections(c.connections);
    h.server.setAddressesPerConnection(c.perConnection);
    ASSERT_TRUE(h.check(c.addresses));
    ASSERT_TRUE(eachReportedOnce(h, c.addresses.size()));
    Runs runs;
    for (std::size_t k = 0; k < h.smtp[0]->connectionCount(); ++k) {
      std::vector<std::string> run;
      for (const auto& line : h.smtp[0]->transcript(k)) {
        if (line.rfind("RCPT TO:<", 0) == 0) run.push_back(line.substr(9, line.find('>') - 9));
      }
      runs.push_back(run);
    }
    std::sort(runs.begin(), runs.end());
    EXPECT_EQ(runs, c.runs);
  }
}

TEST(HostLimit, NeverMoreConnectionsToOneHostThanAllowed) {
  EngineHarness h;
  for (const char* domain : {"x.test", "y.test", "z.test"}) h.dns.addMx(domain, 10, "127.0.0.2");
  h.smtp[0]->setReplyDelay(20);
  h.server.setConnections(6);
  h.server.setHostConnections(2);
  h.server.setTimeOut(1);  // waiting for a slot must not count as silence
  std::vector<std::string> addresses;
  for (int i = 0; i < 12; ++i) {
    addresses.push_back("u" + std::to_string(i) + "@" + std::string("xyz").substr(i % 3, 1) +
                        ".test");
  }
  ASSERT_TRUE(h.check(addresses));
  EXPECT_EQ(h.server.peakHostConnections(), 2);
  for (const auto& p : h.processed) EXPECT_EQ(p.code, 0);
}

// A slot given back serves the next address: one session, two slots, three
// addresses at one host.
TEST(HostLimit, ASlotGivenBackServesTheNextAddress) {
  EngineHarness h;
  h.dns.addMx("x.test", 10, "127.0.0.2");
  h.server.setHostConnections(2);
  ASSERT_TRUE(h.check({"a@x.test", "b@x.test", "c@x.test"}));
  for (const auto& p : h.processed) EXPECT_EQ(p.code, 0);
}

// A free connection never waits on a full host while an address of another
// host is at hand: with "full.test"'s one slot held by a dialogue that hangs,
// the second session sets "b" aside (the host's fullness learnt from DNS) and
// skips "d" (known from the kept answer); "c" and "e" are checked at once.
// Stopping the run reports the addresses taken ("d" never was).
TEST(HostLimit, AFreeConnectionTakesWorkForAHostWithRoom) {
  EngineHarness h;
  h.addSmtp(3).on("RCPT", SmtpAction::silence());
  h.dns.addMx("full.test", 10, "127.0.0.3");
  h.dns.addMx("free.test", 10, "127.0.0.2");
  h.server.setConnections(2);
  h.server.setHostConnections(1);
  h.queue({"a@full.test", "b@full.test", "c@free.test", "d@full.test", "e@free.test"});
  h.server.StartCheck();
  ASSERT_TRUE(h.loop.runUntil([&] { return h.processed.size() == 2; }, 5000));
  EXPECT_EQ(h.processed[0].index, 2);
  EXPECT_EQ(h.processed[1].index, 4);
  EXPECT_EQ(h.processed[1].code, 0);
  EXPECT_EQ(h.smtp[1]->connectionCount(), 1u);
  h.server.AbortRun();
  ASSERT_TRUE(h.runToEnd());
  EXPECT_EQ(h.taken, (std::vector<int>{0, 1, 2, 4}));
  ASSERT_TRUE(eachReportedOnce(h, 4));
}

// A host that refuses connections beyond five: its limit comes down after
// the first refusals (none is refused after the first burst), the refused
// addresses are tried again after a pause, and every address gets its own
// verdict.
TEST(HostLimit, AHostThatThrottlesGetsFewerConnectionsAndEveryAddressItsVerdict) {
  EngineHarness h;
  scriptMixedAnswers(h);
  h.smtp[0]->setBusyBeyond(5, SmtpAction::line("421 4.7.0 Too many connections").thenClose());
  h.server.setConnections(8);
  h.server.setHostConnections(20);
  std::vector<std::string> addresses;
  for (int i = 0; i < 24; ++i)
    addresses.push_back((i % 2 ? "no" : "ok") + std::to_string(i) + "@b.test");
  std::vector<HostSlots::Change> changes;
  h.server.onHostLimit = [&](const HostSlots::Change& c) { changes.push_back(c); };
  ASSERT_TRUE(h.check(addresses));
  ASSERT_TRUE(eachReportedOnce(h, addresses.size()));
  for (const auto& p : h.processed) {
    EXPECT_EQ(p.code, addresses[static_cast<std::size_t>(p.index)][0] == 'o' ? 0 : 550);
  }
  EXPECT_EQ(h.smtp[0]->refusals(), 3u);
  ASSERT_FALSE(changes.empty());
  EXPECT_EQ(changes.front().limit, 4);
  EXPECT_EQ(changes.front().coolDownMs, HostSlots::kFirstCoolDownMs);
}

// Greetings that do not come within the time-out twice in a row: the host is
// slow, and its remaining addresses go one connection at a time.
TEST(HostLimit, AHostWhoseGreetingsTimeOutGetsOneConnection) {
  EngineHarness h;
  h.smtp[0]->setGreeting(SmtpAction::silence());
  h.dns.addMx("tar.test", 10, "127.0.0.2");
  h.server.setConnections(3);
  h.server.setTimeOut(10);
  h.queue({"a@tar.test", "b@tar.test", "c@tar.test", "d@tar.test", "e@tar.test", "f@tar.test"});
  h.server.StartCheck();
  ASSERT_TRUE(h.loop.runUntil([&] { return h.smtp[0]->connectionCount() == 3; }, 5000));
  h.clock.advance(20000);  // the time-out check stops the three
  ASSERT_TRUE(h.loop.runUntil([&] { return h.smtp[0]->connectionCount() == 4; }, 5000));
  h.loop.runOnce();
  EXPECT_EQ(h.processed.size(), 3u);
  EXPECT_EQ(h.server.openConnections(), 1);
  EXPECT_EQ(h.server.activeCount(), 1);
  h.server.AbortRun();
  ASSERT_TRUE(h.runToEnd());
}

TEST(Descriptors, ConnectionsAreLoweredToWhatTheLimitHolds) {
  EXPECT_EQ(connectionsThatFit(200, 4096), 200);
  EXPECT_EQ(connectionsThatFit(5000, 4096), 2016);
  EXPECT_EQ(connectionsThatFit(5000, 10), 1);
  EXPECT_LE(descriptorsFor(static_cast<std::uint64_t>(connectionsThatFit(5000, 4096))), 4096u);
}

}  // namespace
}  // namespace orvane::engine
