#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/RecipientList.h"
#include "engine/ConfigureEngine.h"
#include "engine/ProjectRun.h"
#include "engine/ResultMessages.h"
#include "tests/engine/EngineHarness.h"
#include "tests/support/TestHelpers.h"

namespace orvane::engine {
namespace {

using namespace orvane::testing;

TEST(scheduler, GuardedSettersRefuseDuringARun) {
  EngineHarness h;
  h.smtp[0]->setGreeting(SmtpAction::silence());
  h.dns.addMx("g.test", 10, "127.0.0.2");
  h.queue({"a@g.test"});
  h.server.setTimeOut(9);
  h.server.StartCheck();
  ASSERT_TRUE(h.server.busy());
  TRecipientQueue q;
  const std::vector<std::function<void()>> setters = {
      [&] { h.server.setTimeOut(3); },
      [&] { h.server.setRecipients(&q); },
      [&] { h.server.setDns("1.2.3.4"); },
      [&] { h.server.StartCheck(); },
  };
  for (const auto& set : setters) EXPECT_EQ(thrownMessage(set), "Component is busy");
  EXPECT_EQ(h.server.TimeOut(), 9);
  EXPECT_EQ(h.server.Dns(), h.dns.address());
  h.server.AbortRun();
  ASSERT_TRUE(h.runToEnd());
  EXPECT_TRUE(h.server.Aborted());
  // Idle again: the setters work, and the aborted flag stays until the next start.
  h.server.setTimeOut(3);
  EXPECT_EQ(h.server.TimeOut(), 3);
  h.smtp[0]->setGreeting(SmtpAction::line("220 ready"));
  h.finished = 0;
  h.server.StartCheck();
  EXPECT_FALSE(h.server.Aborted());
  ASSERT_TRUE(h.runToEnd());
  EXPECT_FALSE(h.finishedAborted);
}

// A run that cannot start raises nothing (the later run's single result and
// finish prove it); with no server given or found the internal one is used.
TEST(scheduler, StartFailuresThenTheInternalDnsServerAsTheLastResort) {
  EngineHarness h;
  h.dns.addMx("i.test", 10, "127.0.0.2");
  h.server.setFrom("");
  EXPECT_EQ(thrownMessage([&] { h.server.StartCheck(); }), "FROM property is empty");
  h.server.setFrom("me@here.test");
  h.server.setDns("");
  h.server.setInternalDns("");
  EXPECT_EQ(thrownMessage([&] { h.server.StartCheck(); }), "No DNS SERVER Available");
  EXPECT_FALSE(h.server.busy());
  EXPECT_EQ(h.server.activeCount(), 0);
  h.server.setInternalDns(h.dns.address());
  ASSERT_TRUE(h.check({"a@i.test"}));
  EXPECT_EQ(h.server.dnsServers(), std::vector<std::string>{h.dns.address()});
  EXPECT_EQ(h.processed[0].code, 0);
  EXPECT_EQ(h.finished, 1);
  EXPECT_EQ(h.taken, std::vector<int>{0});
}

TEST(scheduler, TheSecondDnsServerIsAskedOnlyWhenTheFirstIsSilent) {
  for (const bool firstSilent : {false, true}) {
    SCOPED_TRACE(firstSilent);
    EngineHarness h;
    ScriptedDnsServer other(h.loop);
    other.addMx("f.test", 10, "127.0.0.2");
    h.dns.addMx("f.test", 10, "127.0.0.2");
    if (firstSilent) h.dns.setMisbehaviour(ScriptedDnsServer::Misbehaviour::Silent);
    h.server.setDns(h.dns.address() + " " + other.address());
    h.server.setDnsRetryMs(50);
    h.queue({"a@f.test"});
    h.server.StartCheck();
    // The resend is due 50 ms after the query went out.
    ASSERT_TRUE(h.advanceWhen([&] { return h.dns.queriesSeen() == 1; }, 49));
    h.loop.runOnce();
    EXPECT_EQ(other.queriesSeen(), 0u);
    if (firstSilent) h.clock.advance(1);
    ASSERT_TRUE(h.runToEnd());
    ASSERT_EQ(h.processed.size(), 1u);
    EXPECT_EQ(h.processed[0].code, 0);
    EXPECT_EQ(h.dns.queriesSeen(), 1u);
    EXPECT_EQ(other.queriesSeen(), firstSilent ? 1u : 0u);
  }
}

// The finish is reported from the loop, never inside StartCheck, about a
// tenth of a second after the last result (at once for an empty queue).
TEST(scheduler, FinishIsReportedFromTheLoopAfterTheLastResult) {
  for (const bool empty : {true, false}) {
    SCOPED_TRACE(empty ? "empty queue" : "one address");
    EngineHarness h;
    h.dns.addMx("t.test", 10, "127.0.0.2");
    if (!empty) h.queue({"a@t.test"});
    h.server.StartCheck();
    EXPECT_EQ(h.finished, 0);
    ASSERT_TRUE(h.runToEnd());
    EXPECT_EQ(h.finished, 1);
    EXPECT_FALSE(h.busyInFinished);
    EXPECT_FALSE(h.finishedAborted);
    EXPECT_EQ(h.server.sessionSlots(), 0u);
    if (!empty) {
      EXPECT_EQ(h.finishedAt - h.reportedAt, TSmtpRelayServer::kFinishDelayMs);
    }
  }
}

// An abort from an owner's handler, on a result or on an address put aside to
// be tried again (greylisting), takes nothing more and ends every wait; each
// address taken is reported exactly once.
TEST(scheduler, AbortFromAnOwnersHandlerTakesNothingMore) {
  for (const bool whileWaiting : {false, true}) {
    SCOPED_TRACE(whileWaiting ? "while an address waits" : "on a result");
    EngineHarness h;
    h.dns.addMx("s.test", 10, "127.0.0.2");
    h.queue({"a@s.test", "b@s.test", "c@s.test", "d@s.test"});
    h.server.setConnections(2);
    if (whileWaiting) {
      h.smtp[0]->on("RCPT", SmtpAction::line("451 later"));
      h.server.setGreylistDelayMs(600000);
      h.server.onWaiting = [&](const TakenAddress&, std::uint64_t) { h.server.AbortRun(); };
    } else {
      h.server.onResult = [&, record = h.server.onResult](ValidationResult& r) {
        record(r);
        if (h.processed.size() == 1) h.server.AbortRun();
      };
    }
    h.server.StartCheck();
    ASSERT_TRUE(h.runToEnd(5000));
    EXPECT_EQ(h.taken.size(), 2u);
    EXPECT_EQ(h.processed.size(), 2u);
    EXPECT_TRUE(h.finishedAborted);
    EXPECT_EQ(h.server.retriesWaiting(), 0u);
    if (whileWaiting) {
      for (const auto& p : h.processed) EXPECT_EQ(p.code, kResultAborted);
    }
  }
}

// The options come in as the user wrote them: the sender cut out of its
// display name, the two DNS fields joined, the HELO name derived; a sender
// without an address stops the configuration before the queue is touched.
TEST(ConfigureEngine, DerivesSenderDnsAndHeloFromTheOptions) {
  net::EventLoop loop;
  TSmtpRelayServer s(loop);
  s.Recipients().add("left over");
  EngineSettings cfg;
  cfg.from = "no address here";
  cfg.primaryDns = "10.9.9.9";
  EXPECT_EQ(thrownMessage([&] { ConfigureEngine(s, cfg); }),
            "Please provide a valid e-mail address for the FROM field (Tools | Options)");
  EXPECT_EQ(s.Recipients().count(), 1u);
  cfg.from = "Me Myself <me@origin.example>";
  cfg.primaryDns = "";
  cfg.secondaryDns = "10.0.0.2";
  ConfigureEngine(s, cfg);
  EXPECT_EQ(s.From(), "me@origin.example");
  EXPECT_EQ(s.Dns(), "10.0.0.2");
  EXPECT_EQ(s.Recipients().count(), 0u);
  cfg.primaryDns = "10.0.0.1";
  ConfigureEngine(s, cfg);
  EXPECT_EQ(s.Dns(), "10.0.0.1 10.0.0.2");
  // The HELO name: the override, else the sender's domain or the host option
  // (empty: the client says HELO with the local host name).
  const struct {
    int fromDomain;
    const char *host, *override, *signon;
  } cases[] = {{1, "ignored.example", "", "origin.example"},
               {0, "", "", ""},
               {0, "helo.example", "", "helo.example"},
               {1, "helo.example", "forced.example", "forced.example"}};
  for (const auto& c : cases) {
    cfg.hostFromDomain = c.fromDomain;
    cfg.host = c.host;
    cfg.heloOverride = c.override;
    ConfigureEngine(s, cfg);
    EXPECT_EQ(s.Signon(), c.signon) << c.fromDomain << c.host << c.override;
  }
}

class ProjectRunTest : public ::testing::Test {
 protected:
  void addEntries(const std::vector<std::pair<std::string, bool>>& entries) {
    for (const auto& [email, checked] : entries) {
      const std::size_t i = list.addEntry(email, {});
      if (!checked) list.setCheckState(i, 0);
    }
  }
  EngineSettings settings() {
    EngineSettings cfg;
    cfg.from = "sender@origin.test";
    cfg.primaryDns = h.dns.address();
    cfg.connections = 1;
    cfg.perConnection = 1;
    cfg.timeOut = 5;
    cfg.smtpPort = std::to_string(h.smtp[0]->port());
    return cfg;
  }
  EngineHarness h;
  RecipientList list;
};

// A start that fails leaves the list as it was; one that fails inside the
// scheduler still runs the finished steps.
TEST_F(ProjectRunTest, FailedStartsLeaveTheListAsItWas) {
  ProjectRun run(h.loop, list);
  run.scheduler().setSystemDnsSources({});
  run.scheduler().setInternalDns("");
  int finished = 0;
  run.onRunFinished = [&](bool) { ++finished; };
  EXPECT_EQ(thrownMessage([&] { run.Start(settings()); }),
            "Please open / fill the recipient list before");
  addEntries({{"a@x.test", false}});
  list.setModified(false);
  EXPECT_EQ(thrownMessage([&] { run.Start(settings()); }), "Nothing to check");
  EXPECT_EQ(run.scheduler().Recipients().count(), 0u);
  EXPECT_FALSE(list.modified());
  EXPECT_EQ(finished, 0);
  list.setCheckState(0, 1);
  auto cfg = settings();
  cfg.primaryDns = "";
  EXPECT_EQ(thrownMessage([&] { run.Start(cfg); }), "No DNS SERVER Available");
  EXPECT_EQ(finished, 1);
  EXPECT_FALSE(run.running());
  EXPECT_EQ(list.counters().waiting, 0);
  EXPECT_EQ(list.entry(0).resultState, kNotValidated);
}

// Only the checked entries are taken, in list order, each as the address cut
// out of its text; Stop reports the entry in hand as aborted (unknown, not
// bad) and leaves the entries never taken untouched.
TEST_F(ProjectRunTest, ChecksTheCheckedEntriesInOrderAndStopAbortsTheOneInHand) {
  h.smtp[0]->setHandler([](const ScriptedSmtpServer::Command& c) -> std::optional<SmtpAction> {
    if (c.verb != "RCPT" || c.localPart() == "good") return std::nullopt;
    if (c.localPart() == "hang") return SmtpAction::silence();
    return SmtpAction::line("550 unknown");
  });
  h.dns.addMx("p.test", 10, "127.0.0.2");
  addEntries({{"Good Person <good@p.test>", true},
              {"u@p.test", false},
              {"bad@p.test, more", true},
              {"no address", true},
              {"hang@p.test", true},
              {"never@p.test", true}});
  list.setModified(false);
  ProjectRun run(h.loop, list);
  std::vector<std::size_t> taken;
  run.onEntryTaken = [&](std::size_t entry) { taken.push_back(entry); };
  std::optional<bool> aborted;
  run.onRunFinished = [&](bool a) { aborted = a; };
  run.Start(settings());
  EXPECT_TRUE(list.modified());
  EXPECT_EQ(thrownMessage([&] { run.Start(settings()); }), "Component is busy");
  EXPECT_EQ(list.entry(0).resultText(), "Checking...");
  ASSERT_TRUE(h.loop.runUntil(
      [&] { return taken.size() == 4 && list.counters().good + list.counters().bad == 3; }, 10000));
  run.stop();
  h.clock.advance(TSmtpRelayServer::kFinishDelayMs);
  ASSERT_TRUE(aborted.has_value());
  EXPECT_TRUE(*aborted);
  EXPECT_FALSE(run.running());
  EXPECT_EQ(taken, (std::vector<std::size_t>{0, 2, 3, 4}));
  const struct {
    const char* text;
    int resultState, checkState;
  } want[] = {
      {"[0] Valid E-mail Address!", kGood, 0}, {"", kNotValidated, 0},
      {"[550] Mailbox unavailable", kBad, 1},  {"[-1] Not an e-mail address: no \"@\"", kBad, 1},
      {"[-8] Aborted by user", kBad, 1},       {"", kNotValidated, 1}};
  for (std::size_t i = 0; i < std::size(want); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(list.entry(i).resultText(), want[i].text);
    EXPECT_EQ(list.entry(i).resultState, want[i].resultState);
    EXPECT_EQ(list.entry(i).checkState, want[i].checkState);
  }
  EXPECT_FALSE(list.entry(0).log().empty());
  EXPECT_EQ(list.counters().good, 1);
  EXPECT_EQ(list.counters().bad, 2);
  EXPECT_EQ(list.counters().unknown, 1);
  EXPECT_EQ(list.counters().waiting, 0);
}

}  // namespace
}  // namespace orvane::engine
