#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "engine/SelfCheck.h"
#include "net/EventLoop.h"
#include "net/ManualClock.h"
#include "tests/support/Loopback.h"
#include "tests/support/ScriptedDnsServer.h"
#include "tests/support/ScriptedSmtpServer.h"

namespace orvane {
namespace {

using engine::CheckStatus;
using testing::SmtpAction;
constexpr auto G = CheckStatus::Green;
constexpr auto A = CheckStatus::Amber;
constexpr auto R = CheckStatus::Red;

// origin.test: MX mx.origin.test (127.0.0.2, the scripted SMTP server); the
// HELO name origin.test resolves to 127.0.0.1, where the test connection
// comes from. Block list zone: bl.test. Time-out 5 s, on a manual clock.
struct Rig {
  Rig() {
    dns.addMx("origin.test", 10, "mx.origin.test");
    dns.addAddress("mx.origin.test", "127.0.0.2");
    dns.addAddress("origin.test", "127.0.0.1");
    settings.from = "Probe <probe@origin.test>";
    settings.primaryDns = dns.address();
    settings.smtpPort = std::to_string(smtp.port());
    settings.timeOut = 5;
    check.setSystemDnsSources({});
    check.onFinished = [this](CheckStatus) { ++finished; };
  }
  net::EventLoop loop;
  net::ManualClock clock{loop};
  testing::ScriptedDnsServer dns{loop};
  testing::ScriptedSmtpServer smtp{loop, "127.0.0.2"};
  engine::SelfCheck check{loop};
  engine::EngineSettings settings;
  int finished = 0;
};

struct Case {
  const char* behaviour;
  std::function<void(Rig&)> setup;
  std::vector<CheckStatus> statuses;
  std::vector<std::string> found;  // a part of each row's finding
  std::string advice;              // a part of the advice of the first of the worst rows
  // Once this holds, the clock moves past the time-out (nothing else would end the wait).
  std::function<bool(Rig&)> waiting = {};
};

const std::string kGoodPtr = "1.0.0.127.in-addr.arpa";

TEST(SelfCheck, RowsSayWhatTheConnectionCanDoAndWhatToDo) {
  const Case cases[] = {
      {"all well: the PTR names the HELO name, which resolves back; on no list",
       [](Rig& r) { r.dns.addPtr(kGoodPtr, "origin.test"); },
       {G, G, G, G},
       {"answered in 0 ms: the mail host of origin.test is mx.origin.test",
        "mx.origin.test [127.0.0.2] greeted in 0 ms (220",
        "the reverse DNS of 127.0.0.1 (this machine's address on the test connection) names "
        "origin.test, which resolves back to it",
        "127.0.0.1 (this machine's address on the test connection) is on none of bl.test"},
       ""},
      {"the PTR names another host, which would do as HELO name",
       [](Rig& r) {
         r.dns.addPtr(kGoodPtr, "host.isp.test");
         r.dns.addAddress("host.isp.test", "127.0.0.1");
       },
       {G, G, A, G},
       {"", "", "names host.isp.test, not the HELO name origin.test", ""},
       "set the HELO name to host.isp.test"},
      {"the HELO reply states the address, which is listed with a reason",
       [](Rig& r) {
         r.smtp.on("HELO", SmtpAction::line("250 mx.origin.test Hello origin.test [127.0.0.9]"));
         r.dns.addAddress("9.0.0.127.bl.test", "127.0.0.2");
         r.dns.addTxt("9.0.0.127.bl.test", "Listed\tsee https://bl.test/9");
       },
       {G, G, A, R},
       {"", "", "127.0.0.9 (as mx.origin.test stated it in its HELO reply) has no reverse DNS",
        "127.0.0.9 (as mx.origin.test stated it in its HELO reply) is listed on bl.test "
        "(127.0.0.2: Listed see https://bl.test/9)"},
       "ask the list for removal"},
      {"a list that refuses public resolvers is no listing",
       [](Rig& r) {
         r.dns.addPtr(kGoodPtr, "origin.test");
         r.dns.addAddress("1.0.0.127.bl.test", "127.255.255.254");
       },
       {G, G, G, A},
       {"", "", "", "bl.test refused to answer (127.255.255.254)"},
       "through another DNS server"},
      {"a refusal at the greeting names our address",
       [](Rig& r) {
         r.smtp.setGreeting(SmtpAction::line("554 5.7.1 Client host [127.0.0.9] blocked"));
       },
       {G, R, A, G},
       {"", "mx.origin.test [127.0.0.2] refused us at the greeting: 554 5.7.1", "",
        "127.0.0.9 (as mx.origin.test stated it in its greeting) is on none of bl.test"},
       "validate from another network"},
      {"a proxy that is down",
       [](Rig& r) {
         r.settings.proxy.host = "127.0.0.1";
         r.settings.proxy.port = std::to_string(testing::unusedLoopbackPort());
       },
       {G, R, A, A},
       {"", "The proxy 127.0.0.1:", "", "Not checked: no connection to a mail host was made"},
       "Check the proxy in Tools | Options"},
      {"a greeting that never comes",
       [](Rig& r) {
         r.dns.addPtr(kGoodPtr, "origin.test");
         r.smtp.setGreeting(SmtpAction::silence());
       },
       {G, R, G, G},
       {"", "mx.origin.test [127.0.0.2] accepted the connection but sent no greeting within 5 s",
        "", ""},
       " looks blocked on this network: ask your provider, or use a SOCKS5 proxy",
       [](Rig& r) { return r.smtp.connectionCount() == 1; }},
      {"a DNS server that does not answer",
       [](Rig& r) { r.dns.setMisbehaviour(testing::ScriptedDnsServer::Misbehaviour::Silent); },
       {R, A, A, A},
       {"No answer from 127.0.0.1:", "Not tested: DNS gave no mail host",
        "could not be looked up: the DNS server did not answer",
        "Not checked: no connection to a mail host was made"},
       "a firewall may block DNS (UDP port 53)",
       [](Rig& r) { return r.dns.queriesSeen() >= 2; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.behaviour);
    Rig r;
    c.setup(r);
    r.check.start(r.settings, {}, {"bl.test"});
    if (c.waiting) {
      ASSERT_TRUE(r.loop.runUntil([&] { return c.waiting(r); }, 5000));
      for (int i = 0; i < 3; ++i) r.loop.runOnce();  // what is ready is taken in
      r.clock.advance(5001);
    }
    ASSERT_TRUE(r.loop.runUntil([&] { return r.finished > 0; }, 5000));
    const auto& rows = r.check.rows();
    ASSERT_EQ(rows.size(), c.statuses.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
      EXPECT_EQ(rows[i].status, c.statuses[i]) << i << ": " << rows[i].found;
      EXPECT_NE(rows[i].found.find(c.found[i]), std::string::npos) << rows[i].found;
      EXPECT_EQ(rows[i].advice.empty(), rows[i].status == G) << rows[i].advice;
    }
    const auto worst = std::max_element(c.statuses.begin(), c.statuses.end());
    EXPECT_EQ(r.check.worst(), *worst);
    const std::string& advice = rows[static_cast<std::size_t>(worst - c.statuses.begin())].advice;
    EXPECT_NE(advice.find(c.advice), std::string::npos) << advice;
    EXPECT_EQ(r.finished, 1);
  }
}

TEST(SelfCheck, TakesTheClientAddressAHostStatesButNeverItsOwn) {
  const struct {
    const char* line;
    const char* server;
    const char* stated;
  } cases[] = {
      {"250 mx.example Hello x [192.0.2.7]", "192.0.2.25", "192.0.2.7"},
      {"250-mx.example at your service, [2001:db8::7]", "2001:db8::25", "2001:db8::7"},
      {"250 mx.example Hello [IPv6:2001:db8::7]", "2001:db8::25", "2001:db8::7"},
      {"250 Hello 192.0.2.25, you are 192.0.2.7.", "192.0.2.25", "192.0.2.7"},
      {"220 [192.0.2.25] ESMTP Postfix 3.7.2 ready at 12:30:45", "192.0.2.25", ""},
      {"220 mx.example ESMTP ready", "192.0.2.25", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(engine::statedClientAddress(c.line, c.server), c.stated) << c.line;
  }
}

}  // namespace
}  // namespace orvane
