#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/ResultMessages.h"
#include "tests/engine/EngineHarness.h"

namespace orvane::engine {
namespace {

using namespace orvane::testing;

// One address per row against "good.test" (MX 127.0.0.2) plus the row's own
// servers and scripts: the result code, the verdict, the RCPT TO line on the
// wire (none when empty), lines the log must hold, and what else the row checks.
TEST(Verdicts, EachAnswerGetsItsCodeVerdictAndLog) {
  struct Case {
    const char* what;
    std::string address;
    std::function<void(EngineHarness&)> setup;
    std::int32_t code;
    Verdict verdict;
    std::string sentRcpt;
    std::string logHas = {};  // a line the log must hold (none when empty)
    std::function<void(EngineHarness&)> check = [](EngineHarness&) {};
  };
  // `domain` with two mail hosts: 127.0.0.2 (preference 10), 127.0.0.3 (20).
  const auto twoHosts = [](EngineHarness& h, const char* domain) {
    h.addSmtp(3);
    h.dns.addMx(domain, 10, "127.0.0.2");
    h.dns.addMx(domain, 20, "127.0.0.3");
  };
  // "two.test": the first host, 127.0.0.4 (not listening when `verb` is null),
  // fails with `reply` to `verb`; 127.0.0.2 accepts.
  const auto nextHostAfter = [](const char* verb, const char* reply) {
    return [=](EngineHarness& h) {
      if (verb) h.addSmtp(4).on(verb, SmtpAction::line(reply));
      h.dns.addMx("two.test", 5, "127.0.0.4");
      h.dns.addMx("two.test", 10, "127.0.0.2");
    };
  };
  const std::string triedFirst = "Trying SMTP host \"127.0.0.4\"";
  const std::vector<Case> cases = {
      {"connection refused: the next host", "u@two.test", nextHostAfter(nullptr, nullptr), 0,
       Verdict::Valid, "RCPT TO:<u@two.test>", triedFirst},
      {"450 at RCPT TO: the next host", "u@two.test", nextHostAfter("RCPT", "450 try later"), 0,
       Verdict::Valid, "RCPT TO:<u@two.test>", triedFirst},
      {"HELO refused: the next host", "u@two.test", nextHostAfter("HELO", "501 who are you"), 0,
       Verdict::Valid, "RCPT TO:<u@two.test>", triedFirst},
      {"RSET refused after an accepted recipient: the next host", "u@two.test",
       nextHostAfter("RSET", "502 not implemented"), 0, Verdict::Valid, "RCPT TO:<u@two.test>",
       triedFirst},
      {"unknown user: final, the next host is not asked, the refusing host is left properly",
       "u@split.test",
       [&](EngineHarness& h) {
         twoHosts(h, "split.test");
         h.smtp[0]->on("RCPT", SmtpAction::line("550 5.1.1 <u@split.test>: User unknown"));
       },
       550, Verdict::Invalid, "RCPT TO:<u@split.test>", "550 5.1.1 <u@split.test>: User unknown",
       [](EngineHarness& h) {
         EXPECT_EQ(h.smtp[1]->connectionCount(), 0u);
         EXPECT_TRUE(hasLine(h.smtp[0]->transcript(0), "RSET"));
         EXPECT_TRUE(hasLine(h.smtp[0]->transcript(0), "QUIT"));
       }},
      {"refused at MAIL FROM", "u@good.test",
       [](EngineHarness& h) { h.smtp[0]->on("MAIL", SmtpAction::line("550 5.7.1 go away")); }, 550,
       Verdict::Unknown, ""},
      {"every host failing: the last one's reply", "u@both.test",
       [&](EngineHarness& h) {
         twoHosts(h, "both.test");
         h.smtp[0]->on("MAIL", SmtpAction::line("451 local error"));
         h.smtp[1]->on("MAIL", SmtpAction::line("452 full"));
       },
       452, Verdict::Unknown, "", "",
       [](EngineHarness& h) {
         EXPECT_EQ(h.smtp[0]->connectionCount(), 1u);
         EXPECT_EQ(h.smtp[1]->connectionCount(), 1u);
       }},
      {"connection closed by the server", "u@good.test",
       [](EngineHarness& h) { h.smtp[0]->on("MAIL", SmtpAction::raw("").thenClose()); }, 10004,
       Verdict::Unknown, ""},
      {"hosts in preference order", "u@pref.test",
       [](EngineHarness& h) {
         h.addSmtp(3);
         h.dns.addMx("pref.test", 20, "127.0.0.2");
         h.dns.addMx("pref.test", 10, "127.0.0.3");
         h.dns.addMx("pref.test", 20, "127.0.0.5");
       },
       0, Verdict::Valid, "", "3 SMTP Relays found: 127.0.0.3 127.0.0.2 127.0.0.5 ",
       [](EngineHarness& h) {
         EXPECT_EQ(h.smtp[1]->connectionCount(), 1u);
         EXPECT_EQ(h.processed[0].log[4], "Trying SMTP host \"127.0.0.3\"");
         EXPECT_EQ(h.smtp[0]->connectionCount(), 0u);
       }},
      {"DNS answer cut short", "u@broken.test",
       [](EngineHarness& h) {
         h.dns.addMx("broken.test", 10, "127.0.0.2");
         // The answer's last record runs past the end of the datagram.
         h.dns.setHandler([&h](const ScriptedDnsServer::Query& q) -> std::optional<std::string> {
           std::string answer = h.dns.tableAnswer(q);
           answer.resize(answer.size() - 3);
           return answer;
         });
       },
       -1, Verdict::Unknown, "", "DNS Search error :11003"},
      {"SERVFAIL", "u@broken.test", [](EngineHarness& h) { h.dns.setRcode("broken.test", 2); }, -1,
       Verdict::Unknown, ""},
      {"no such domain", "u@nowhere.test", [](EngineHarness&) {}, -1, Verdict::Invalid, "",
       "No such domain (nowhere.test)"},
      {"null MX", "u@nomail.test", [](EngineHarness& h) { h.dns.addMx("nomail.test", 0, ""); }, -1,
       Verdict::Invalid, "", "1 SMTP Relay found:  "},
      {"alias without records", "u@alias.test",
       [](EngineHarness& h) { h.dns.setCname("alias.test", "elsewhere.test"); }, -1,
       Verdict::Invalid, "", "1 SMTP Relay found: "},
      {"a name without records: the domain itself is tried", "jo@127.0.0.2",
       [](EngineHarness& h) { h.dns.setRcode("127.0.0.2", 0); }, 0, Verdict::Valid,
       "RCPT TO:<jo@127.0.0.2>", "No SMTP Relays found. Trying \"127.0.0.2\""},
      {"international domain", "u@b\u00FCcher.test",
       [](EngineHarness& h) { h.dns.addMx("xn--bcher-kva.test", 10, "127.0.0.2"); }, 0,
       Verdict::Valid, "RCPT TO:<u@xn--bcher-kva.test>"},
      {"accepted, plus sign kept: the log shows each step, RSET and QUIT", "a+b@good.test",
       [](EngineHarness&) {}, 0, Verdict::Valid, "RCPT TO:<a+b@good.test>",
       "Requesting SMTP servers for this domain (good.test)",
       [](EngineHarness& h) {
         const TransactionLog& log = h.processed[0].log;
         for (const char* line :
              {"Sending DNS Request", "1 SMTP Relay found: 127.0.0.2 ", "Opening Connection",
               "HELO origin.test", "MAIL FROM:<sender@origin.test>", "RSET", "QUIT"}) {
           EXPECT_TRUE(hasLine(log, line)) << line;
         }
         EXPECT_EQ(log[1], "Trying DNS Server \"" + h.dns.address() + "\"");
         EXPECT_EQ(countStartingWith(log, "221"), 1u);
         EXPECT_TRUE(hasLine(h.smtp[0]->transcript(0), "RSET"));
       }},
      {"non-ASCII mailbox name", "\xc3\xbcser@good.test", [](EngineHarness&) {}, kResultNotChecked,
       Verdict::Unknown, "", "", [](EngineHarness& h) { EXPECT_EQ(h.dns.queriesSeen(), 0u); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EngineHarness h;
    h.dns.addMx("good.test", 10, "127.0.0.2");
    c.setup(h);
    ASSERT_TRUE(h.check({c.address}));
    EXPECT_EQ(h.processed[0].code, c.code);
    EXPECT_EQ(h.processed[0].verdict, c.verdict) << h.processed[0].message;
    const auto transcript = h.smtp[0]->transcript(0);
    if (!c.sentRcpt.empty()) {
      EXPECT_TRUE(hasLine(transcript, c.sentRcpt));
    } else {
      EXPECT_EQ(countStartingWith(transcript, "RCPT"), 0u);
    }
    EXPECT_TRUE(c.logHas.empty() || hasLine(h.processed[0].log, c.logHas)) << c.logHas;
    // Traffic to a mail host, in the log and on the wire, only when one was named.
    const bool connected = c.code >= 0 && c.code != kResultNotChecked;
    EXPECT_EQ(countStartingWith(h.processed[0].log, "Trying SMTP host") > 0, connected);
    std::size_t connections = 0;
    for (const auto& smtp : h.smtp) connections += smtp->connectionCount();
    EXPECT_EQ(connections > 0, connected);
    c.check(h);
  }
}

TEST(Verdicts, AClosedDnsPortIsReportedAtOnceAndNamed) {
  EngineHarness h;
  std::string closed;
  {
    ScriptedDnsServer gone(h.loop);
    closed = gone.address();
  }
  h.server.setDns(closed);
  h.server.setTimeOut(60);
  // Well within the time-out: the closed port answers at once.
  ASSERT_TRUE(h.check({"a@good.test", "b@good.test"}, 5000));
  for (const auto& p : h.processed) {
    EXPECT_EQ(p.verdict, Verdict::Unknown);
    EXPECT_EQ(p.message, "DNS server " + closed + " cannot be reached (its port is closed)");
  }
}

TEST(Verdicts, GreylistedAddressIsTriedOnceMoreAfterTheDelay) {
  for (const char* second : {"250 ok", "450 4.7.1 still busy"}) {
    SCOPED_TRACE(second);
    EngineHarness h;
    h.dns.addMx("grey.test", 10, "127.0.0.2");
    int tries = 0;
    h.smtp[0]->setHandler([&](const ScriptedSmtpServer::Command& c) -> std::optional<SmtpAction> {
      if (c.verb != "RCPT" || c.localPart() != "slow") return std::nullopt;
      return SmtpAction::line(++tries == 1 ? "450 4.7.1 try again later" : second);
    });
    h.server.setGreylistDelayMs(50000);
    std::vector<int> waiting;
    h.server.onWaiting = [&](const TakenAddress& address, std::uint64_t delay) {
      waiting.push_back(address.index);
      EXPECT_EQ(delay, 50000u);
    };
    h.queue({"slow@grey.test", "other@grey.test"});
    h.server.StartCheck();
    // Nothing is tried again before the delay is over.
    ASSERT_TRUE(h.advanceWhen([&] { return h.processed.size() == 1 && !waiting.empty(); }, 49999));
    h.loop.runOnce();
    EXPECT_EQ(tries, 1);
    h.clock.advance(1);
    ASSERT_TRUE(h.runToEnd());
    ASSERT_EQ(h.processed.size(), 2u);
    EXPECT_EQ(waiting, std::vector<int>{0});
    // The other address did not wait behind it.
    EXPECT_EQ(h.processed[0].index, 1);
    const Processed& grey = h.processed[1];
    EXPECT_EQ(grey.code, second[0] == '2' ? 0 : 450);
    EXPECT_EQ(grey.verdict, second[0] == '2' ? Verdict::Valid : Verdict::Unknown);
    const auto first = std::find(grey.log.begin(), grey.log.end(), "450 4.7.1 try again later");
    const auto again = std::find(grey.log.begin(), grey.log.end(), "Trying again");
    EXPECT_LT(first, again);
    EXPECT_NE(again, grey.log.end());
  }
}

TEST(Verdicts, CatchAllDomainsAreProbedOncePerRun) {
  struct Case {
    const char* what;
    bool refusesMadeUp;
    int connections;
    Verdict verdict;
  };
  const Case cases[] = {
      {"accepts anything", false, 1, Verdict::CatchAll},
      {"accepts anything, sessions at once", false, 3, Verdict::CatchAll},
      {"refuses the made-up address", true, 1, Verdict::Valid},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EngineHarness h;
    h.dns.addMx("any.test", 10, "127.0.0.2");
    if (c.refusesMadeUp) {
      h.smtp[0]->setHandler(
          [](const ScriptedSmtpServer::Command& cmd) -> std::optional<SmtpAction> {
            if (cmd.verb == "RCPT" && cmd.localPart().rfind("no-such-user-", 0) == 0) {
              return SmtpAction::line("550 5.1.1 no such user");
            }
            return std::nullopt;
          });
    }
    h.server.setDetectCatchAll(true);
    h.server.setConnections(c.connections);
    ASSERT_TRUE(h.check({"a@any.test", "b@any.test", "c@any.test"}));
    for (const auto& p : h.processed) EXPECT_EQ(p.verdict, c.verdict) << p.message;
    EXPECT_EQ(linesReceived(*h.smtp[0], "RCPT TO:<no-such-user-"), 1u);
  }
}

}  // namespace
}  // namespace orvane::engine
