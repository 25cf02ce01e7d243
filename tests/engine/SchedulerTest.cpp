// The scheduler's properties, start failures, finish and abort rules, the
// options copied into it and the project run on a recipient list.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "core/RecipientList.h"
#include "engine/ConfigureEngine.h"
#include "engine/ProjectRun.h"
#include "tests/engine/EngineHarness.h"
#include "tests/support/TestHelpers.h"

namespace orvane::engine {
namespace {

using namespace orvane::testing;

std::string MessageOf(const std::function<void()>& call) {
  return thrownMessage(call);
}

TEST(Scheduler, GuardedSettersDuringARun) {
  EngineHarness h;
  h.smtp[0]->setGreeting(SmtpAction::Silence());
  h.dns.addMx("g.test", 10, "127.0.0.2");
  h.Queue({"a@g.test"});
  h.server.SetTimeOut(9);
  h.server.StartCheck();
  ASSERT_TRUE(h.server.Busy());
  TRecipientQueue q;
  const std::vector<std::function<void()>> setters = {
      [&] { h.server.SetTimeOut(3); },
      [&] { h.server.SetRecipients(&q); },
      [&] { h.server.SetDns("1.2.3.4"); },
      [&] { h.server.StartCheck(); },
  };
  for (const auto& set : setters) EXPECT_EQ(MessageOf(set), "Component is busy");
  EXPECT_EQ(h.server.TimeOut(), 9);
  EXPECT_EQ(h.server.Recipients().Count(), 1u);
  EXPECT_EQ(h.server.Dns(), h.dns.address());
  // Unguarded properties may change.
  h.server.SetSignon("other");
  h.server.AbortRun();
  ASSERT_TRUE(h.RunToEnd());
  EXPECT_TRUE(h.server.Aborted());
  // Idle again: the setters work, and the aborted flag stays until the next start.
  h.server.SetTimeOut(3);
  EXPECT_EQ(h.server.TimeOut(), 3);
  h.smtp[0]->setGreeting(SmtpAction::Line("220 ready"));
  h.finished = 0;
  h.server.StartCheck();
  EXPECT_FALSE(h.server.Aborted());
  ASSERT_TRUE(h.RunToEnd());
  EXPECT_FALSE(h.finishedAborted);
}

TEST(Scheduler, StartFailures) {
  EngineHarness h;
  h.Queue({"a@b.test"});
  h.server.SetFrom("");
  EXPECT_EQ(MessageOf([&] { h.server.StartCheck(); }), "FROM property is empty");
  EXPECT_FALSE(h.server.Busy());
  EXPECT_TRUE(h.taken.empty());

  h.server.SetFrom("me@here.test");
  h.server.SetDns("");
  h.server.SetInternalDns("");
  h.server.SetSystemDnsSources({"/nonexistent/orvane/resolv.conf"});
  EXPECT_EQ(MessageOf([&] { h.server.StartCheck(); }), "No DNS SERVER Available");
  EXPECT_FALSE(h.server.Busy());
  EXPECT_EQ(h.server.ActiveCount(), 0);
  EXPECT_TRUE(h.taken.empty());
  // Nothing is reported for a run that never started.
  EXPECT_FALSE(h.loop.runUntil([&] { return h.finished > 0; }, 300));
}

TEST(Scheduler, InternalDnsIsTheLastResort) {
  EngineHarness h;
  h.dns.addMx("i.test", 10, "127.0.0.2");
  h.server.SetDns("");
  h.server.SetInternalDns(h.dns.address());
  ASSERT_TRUE(h.Check({"a@i.test"}));
  EXPECT_EQ(h.server.DnsServers(), std::vector<std::string>{h.dns.address()});
  EXPECT_EQ(h.processed[0].code, 0);
}

TEST(Scheduler, TheSecondDnsServerIsAskedOnlyWhenTheFirstIsSilent) {
  for (const bool firstSilent : {false, true}) {
    SCOPED_TRACE(firstSilent);
    EngineHarness h;
    ScriptedDnsServer other(h.loop);
    other.addMx("f.test", 10, "127.0.0.2");
    h.dns.addMx("f.test", 10, "127.0.0.2");
    if (firstSilent) h.dns.setMisbehaviour(ScriptedDnsServer::Misbehaviour::Silent);
    h.server.SetDns(h.dns.address() + " " + other.address());
    h.server.SetDnsRetryMs(50);
    ASSERT_TRUE(h.Check({"a@f.test"}));
    EXPECT_EQ(h.processed[0].code, 0);
    EXPECT_EQ(h.dns.queriesSeen(), 1u);
    EXPECT_EQ(other.queriesSeen(), firstSilent ? 1u : 0u);
  }
}

// The finish is reported from the loop, never inside StartCheck, about a
// tenth of a second after the last result (at once for an empty queue).
TEST(Scheduler, FinishIsReportedFromTheLoopAfterTheLastResult) {
  for (const bool empty : {true, false}) {
    SCOPED_TRACE(empty ? "empty queue" : "one address");
    EngineHarness h;
    h.dns.addMx("t.test", 10, "127.0.0.2");
    if (!empty) h.Queue({"a@t.test"});
    std::uint32_t reportedAt = 0;
    std::uint32_t finishedAt = 0;
    h.server.OnEMailProcessed = [&](TSmtpRelayServer&, int, std::int32_t, const TransactionLog&) {
      reportedAt = net::EventLoop::tickCount();
    };
    h.server.OnFinished = [&](TSmtpRelayServer& s, bool aborted) {
      finishedAt = net::EventLoop::tickCount();
      h.busyInFinished = s.Busy();
      h.finishedAborted = aborted;
      ++h.finished;
    };
    h.server.StartCheck();
    EXPECT_EQ(h.finished, 0);
    ASSERT_TRUE(h.RunToEnd());
    EXPECT_EQ(h.finished, 1);
    EXPECT_FALSE(h.busyInFinished);
    EXPECT_FALSE(h.finishedAborted);
    EXPECT_EQ(h.server.SessionSlots(), 0u);
    if (!empty) {
      EXPECT_GE(finishedAt - reportedAt, 90u);
      EXPECT_LT(finishedAt - reportedAt, 1000u);
    }
  }
}

TEST(Scheduler, AbortFromAnOwnersHandlerTakesNothingMore) {
  EngineHarness h;
  h.dns.addMx("s.test", 10, "127.0.0.2");
  h.Queue({"a@s.test", "b@s.test", "c@s.test", "d@s.test"});
  h.server.SetConnections(2);
  // Abort as soon as the first result arrives.
  h.server.OnEMailProcessed = [&](TSmtpRelayServer& s, int index, std::int32_t code,
                                  const TransactionLog& log) {
    h.processed.push_back({index, code, log, s.LastResult().verdict, s.LastResult().message});
    if (h.processed.size() == 1) s.AbortRun();
  };
  h.server.StartCheck();
  ASSERT_TRUE(h.RunToEnd());
  // Every address taken is reported exactly once; nothing is taken after the
  // abort.
  EXPECT_EQ(h.taken.size(), h.processed.size());
  EXPECT_EQ(h.taken.size(), 2u);
  EXPECT_TRUE(h.finishedAborted);
}

// --- ConfigureEngine ---

// The options come in as the user wrote them: the sender cut out of its
// display name, the two DNS fields joined, the HELO name derived; a sender
// without an address stops the configuration before the queue is touched.
TEST(ConfigureEngine, DerivesSenderDnsAndHeloFromTheOptions) {
  net::EventLoop loop;
  TSmtpRelayServer s(loop);
  s.Recipients().Add("left over");
  EngineSettings cfg;
  cfg.from = "no address here";
  cfg.primaryDns = "10.9.9.9";
  EXPECT_EQ(MessageOf([&] { ConfigureEngine(s, cfg); }),
            "Please provide a valid e-mail address for the FROM field (Tools | Options)");
  EXPECT_EQ(s.Recipients().Count(), 1u);
  cfg.from = "Me Myself <me@origin.example>";
  cfg.primaryDns = "";
  cfg.secondaryDns = "10.0.0.2";
  ConfigureEngine(s, cfg);
  EXPECT_EQ(s.From(), "me@origin.example");
  EXPECT_EQ(s.Dns(), "10.0.0.2");
  EXPECT_EQ(s.Recipients().Count(), 0u);
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

// --- the project run ---

class ProjectRunTest : public ::testing::Test {
 protected:
  void AddEntries(const std::vector<std::pair<std::string, bool>>& entries) {
    for (const auto& [email, checked] : entries) {
      const std::size_t i = list.addEntry(email, {});
      if (!checked) list.setCheckState(i, 0);
    }
  }
  EngineSettings Settings() {
    EngineSettings cfg;
    cfg.from = "sender@origin.test";
    cfg.primaryDns = h.dns.address();
    cfg.connections = 3;
    cfg.timeOut = 5;
    cfg.smtpPort = std::to_string(h.smtp[0]->port());
    return cfg;
  }
  EngineHarness h;
  RecipientList list;
};

TEST_F(ProjectRunTest, StartRefusals) {
  ProjectRun run(h.loop, list);
  EXPECT_EQ(MessageOf([&] { run.Start(Settings()); }),
            "Please open / fill the recipient list before");
  AddEntries({{"a@x.test", false}, {"b@x.test", false}});
  list.setModified(false);
  EXPECT_EQ(MessageOf([&] { run.Start(Settings()); }), "Nothing to check");
  EXPECT_EQ(run.Scheduler().Recipients().Count(), 0u);
  EXPECT_FALSE(list.modified());
  auto cfg = Settings();
  cfg.from = "nobody";
  list.setCheckState(0, 1);
  EXPECT_EQ(MessageOf([&] { run.Start(cfg); }),
            "Please provide a valid e-mail address for the FROM field (Tools | Options)");
  EXPECT_FALSE(run.Running());
  EXPECT_EQ(list.entry(0).resultState, kNotValidated);
}

TEST_F(ProjectRunTest, ChecksTheCheckedEntriesAndUpdatesThem) {
  h.smtp[0]->setHandler([](const ScriptedSmtpServer::Command& c) -> std::optional<SmtpAction> {
    if (c.verb == "RCPT" && c.localPart() != "good") return SmtpAction::Line("550 unknown");
    return std::nullopt;
  });
  h.dns.addMx("p.test", 10, "127.0.0.2");
  // 3 checked entries out of 10.
  const std::map<int, std::string> checked = {
      {1, "Good Person <good@p.test>"}, {4, "bad@p.test, more"}, {8, "no address"}};
  for (int i = 0; i < 10; ++i) {
    const auto it = checked.find(i);
    AddEntries({{it != checked.end() ? it->second : "u" + std::to_string(i) + "@p.test",
                 it != checked.end()}});
  }
  list.setModified(false);
  ProjectRun run(h.loop, list);
  run.Scheduler().SetSystemDnsSources({});
  bool finished = false;
  run.OnRunFinished = [&](bool aborted) {
    finished = true;
    EXPECT_FALSE(aborted);
  };
  std::vector<std::size_t> taken;
  std::vector<std::string> sent;
  run.OnEntryTaken = [&](std::size_t entry) { taken.push_back(entry); };
  run.Scheduler().OnGetData = [&, inner = run.Scheduler().OnGetData](TSmtpRelayServer& s,
                                                                     int index) {
    sent.push_back(s.Text(index));
    inner(s, index);
  };
  run.Start(Settings());
  EXPECT_TRUE(list.modified());
  ASSERT_TRUE(h.loop.runUntil([&] { return finished; }, 10000));
  EXPECT_FALSE(run.Running());
  // Exactly the checked entries, in list order, each as the address cut out of it.
  EXPECT_EQ(taken, (std::vector<std::size_t>{1, 4, 8}));
  EXPECT_EQ(sent, (std::vector<std::string>{"good@p.test", "bad@p.test", ""}));

  EXPECT_EQ(list.entry(1).resultState, kGood);
  EXPECT_EQ(list.entry(1).checkState, 0);
  EXPECT_EQ(list.entry(1).resultText(), "[0] Valid E-mail Address!");
  EXPECT_FALSE(list.entry(1).log().empty());
  EXPECT_EQ(list.entry(4).resultState, kBad);
  EXPECT_EQ(list.entry(4).checkState, 1);
  EXPECT_EQ(list.entry(4).resultText(), "[550] Mailbox unavailable");
  EXPECT_EQ(list.entry(8).resultText(), "[-1] Not an e-mail address: no \"@\"");
  // Unchecked entries are left alone.
  EXPECT_EQ(list.entry(0).resultState, kNotValidated);
  EXPECT_EQ(list.entry(0).resultText(), "");
  EXPECT_EQ(list.counters().good, 1);
  EXPECT_EQ(list.counters().bad, 2);
  EXPECT_EQ(list.counters().waiting, 0);
}

TEST_F(ProjectRunTest, StopReportsEntriesInHandAsAborted) {
  h.smtp[0]->on("RCPT", SmtpAction::Silence());
  h.dns.addMx("p.test", 10, "127.0.0.2");
  AddEntries({{"a@p.test", true}, {"b@p.test", true}, {"c@p.test", true}, {"d@p.test", true}});
  ProjectRun run(h.loop, list);
  bool finished = false;
  run.OnRunFinished = [&](bool aborted) {
    finished = true;
    EXPECT_TRUE(aborted);
  };
  auto cfg = Settings();
  cfg.connections = 2;
  run.Start(cfg);
  EXPECT_EQ(MessageOf([&] { run.Start(cfg); }), "Component is busy");
  EXPECT_EQ(list.entry(0).resultText(), "Checking...");
  EXPECT_EQ(list.counters().waiting, 2);
  ASSERT_TRUE(h.loop.runUntil([&] { return h.smtp[0]->connectionCount() == 2; }, 5000));
  run.Stop();
  ASSERT_TRUE(h.loop.runUntil([&] { return finished; }, 5000));
  EXPECT_EQ(list.entry(0).resultText(), "[-8] Aborted by user");
  EXPECT_EQ(list.entry(1).resultText(), "[-8] Aborted by user");
  EXPECT_EQ(list.entry(0).resultState, kBad);
  // Never taken: untouched.
  EXPECT_EQ(list.entry(2).resultState, kNotValidated);
  EXPECT_EQ(list.counters().waiting, 0);
  // An address the stop left unfinished is not known to be bad.
  EXPECT_EQ(list.counters().bad, 0);
  EXPECT_EQ(list.counters().unknown, 2);
}

TEST_F(ProjectRunTest, StartCheckFailureRestoresAsAfterARun) {
  AddEntries({{"a@p.test", true}});
  ProjectRun run(h.loop, list);
  run.Scheduler().SetSystemDnsSources({});
  run.Scheduler().SetInternalDns("");
  int finished = 0;
  run.OnRunFinished = [&](bool) { ++finished; };
  auto cfg = Settings();
  cfg.primaryDns = "";
  EXPECT_EQ(MessageOf([&] { run.Start(cfg); }), "No DNS SERVER Available");
  EXPECT_EQ(finished, 1);
  EXPECT_FALSE(run.Running());
  EXPECT_EQ(list.counters().waiting, 0);
  EXPECT_EQ(list.entry(0).resultState, kNotValidated);
}

}  // namespace
}  // namespace orvane::engine
