#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/ResultMessages.h"
#include "tests/engine/EngineHarness.h"
#include "tests/support/Loopback.h"

namespace orvane::engine {
namespace {

using namespace orvane::testing;

// Reaching a domain's mail hosts: their names resolved through the run's own
// DNS server (the test's system resolver knows none of them), IPv6 and IPv4,
// a SOCKS 5 proxy and source addresses. Each row: one address, its code and
// verdict, a line its log must hold (or a text its message must hold).
TEST(Reach, MailHostsAreFoundAndReachedAsConfigured) {
  const bool v6 = hasIpv6Loopback();
  const bool socks = MicrosocksProxy::installed();
  std::unique_ptr<MicrosocksProxy> open, guarded;
  if (socks) {
    open = std::make_unique<MicrosocksProxy>();
    guarded = std::make_unique<MicrosocksProxy>("ann", "s3cret");
  }
  const auto proxy = [](std::uint16_t port, const char* user = "", const char* pass = "") {
    ProxySettings p;
    p.host = "127.0.0.1";
    p.port = std::to_string(port);
    p.user = user;
    p.password = pass;
    return p;
  };
  struct Case {
    const char* what;
    bool needs;  // what the row needs is on this machine
    std::string address;
    std::function<void(EngineHarness&)> setup;
    std::int32_t code;
    Verdict verdict;
    std::string logOrMessage;
    std::function<void(EngineHarness&)> check = [](EngineHarness&) {};
  };
  const std::vector<Case> cases = {
      {"an exchange only the run's DNS server knows", true, "u@named.test",
       [](EngineHarness& h) {
         h.dns.addMx("named.test", 10, "mx.named.test");
         h.dns.addAddress("mx.named.test", "127.0.0.2");
       },
       0, Verdict::Valid, "Trying SMTP host \"mx.named.test\" [127.0.0.2]"},
      {"the MX answer's additional address for its exchange: no question of its own", true,
       "u@glue.test",
       [](EngineHarness& h) {
         h.dns.addMx("glue.test", 10, "mx.glue.test");
         h.dns.addAdditional("glue.test", "mx.glue.test", "127.0.0.2");
       },
       0, Verdict::Valid, "Trying SMTP host \"mx.glue.test\" [127.0.0.2]",
       [](EngineHarness& h) { EXPECT_EQ(h.dns.queriesSeen(), 1u); }},
      {"an additional address for another name is ignored", true, "u@bail.test",
       [](EngineHarness& h) {
         h.dns.addMx("bail.test", 10, "mx.bail.test");
         h.dns.addAdditional("bail.test", "mx.elsewhere.test", "127.0.0.2");
       },
       11001, Verdict::Invalid, "(mail host mx.bail.test does not exist)"},
      {"an exchange behind a CNAME", true, "u@alias.test",
       [](EngineHarness& h) {
         h.dns.addMx("alias.test", 10, "mx.alias.test");
         h.dns.setCname("mx.alias.test", "real.alias.test");
         h.dns.addAddress("real.alias.test", "127.0.0.2");
       },
       0, Verdict::Valid, "Trying SMTP host \"mx.alias.test\" [127.0.0.2]"},
      {"an exchange in a CNAME loop", true, "u@loop.test",
       [](EngineHarness& h) {
         h.dns.addMx("loop.test", 10, "mx.loop.test");
         h.dns.setCname("mx.loop.test", "a.loop.test");
         h.dns.setCname("a.loop.test", "mx.loop.test");
       },
       11001, Verdict::Invalid, "(mail host mx.loop.test leads into a CNAME loop)"},
      {"IPv6 first", v6, "u@six.test",
       [](EngineHarness& h) {
         h.smtp[0]->addListener("::1");
         h.dns.addMx("six.test", 10, "mx.six.test");
         h.dns.addAddress("mx.six.test", "127.0.0.2");
         h.dns.addAddress("mx.six.test", "::1");
       },
       0, Verdict::Valid, "Trying SMTP host \"mx.six.test\" [::1]",
       [](EngineHarness& h) { EXPECT_EQ(h.smtp[0]->peerAddress(0), "::1"); }},
      {"IPv6 refused: IPv4 at once", v6, "u@six.test",
       [](EngineHarness& h) {
         h.dns.addMx("six.test", 10, "mx.six.test");
         h.dns.addAddress("mx.six.test", "::1");
         h.dns.addAddress("mx.six.test", "127.0.0.2");
       },
       0, Verdict::Valid, "Trying SMTP host \"mx.six.test\" [127.0.0.2]"},
      // A multicast address: the system refuses at once, as it does every
      // IPv6 address on a machine without an IPv6 route.
      {"no IPv6 route: IPv4 at once, and no IPv6 for the rest of the run", true, "u@six.test",
       [](EngineHarness& h) {
         h.dns.addMx("six.test", 10, "mx.six.test");
         h.dns.addAddress("mx.six.test", "ff0e::25");
         h.dns.addAddress("mx.six.test", "127.0.0.2");
       },
       0, Verdict::Valid, "No route for IPv6 from this machine: IPv4 from now on"},
      {"IPv6 off", true, "u@six.test",
       [](EngineHarness& h) {
         h.server.setUseIpv6(false);
         h.dns.addMx("six.test", 10, "mx.six.test");
         h.dns.addAddress("mx.six.test", "::1");
         h.dns.addAddress("mx.six.test", "127.0.0.2");
       },
       0, Verdict::Valid, "mx.six.test has the address 127.0.0.2"},
      {"through a SOCKS 5 proxy", socks, "u@good.test",
       [&](EngineHarness& h) { h.server.setProxy(proxy(open->port())); }, 0, Verdict::Valid,
       "RCPT TO:<u@good.test>"},
      {"through a proxy that asks for a password", socks, "u@good.test",
       [&](EngineHarness& h) { h.server.setProxy(proxy(guarded->port(), "ann", "s3cret")); }, 0,
       Verdict::Valid, "RCPT TO:<u@good.test>"},
      {"a wrong password: the proxy is named, the password never", socks, "u@good.test",
       [&](EngineHarness& h) { h.server.setProxy(proxy(guarded->port(), "ann", "wrong")); }, 20015,
       Verdict::Unknown, "refused the connection (SOCKS: user name or password refused)"},
      {"a proxy that is down", true, "u@good.test",
       [&](EngineHarness& h) { h.server.setProxy(proxy(unusedLoopbackPort())); }, 10061,
       Verdict::Unknown, " cannot be reached"},
      {"a source address", true, "u@good.test",
       [](EngineHarness& h) {
         h.server.setSourceAddresses({"127.0.0.3", "::1"});
       },
       0, Verdict::Valid, "RCPT TO:<u@good.test>",
       [](EngineHarness& h) { EXPECT_EQ(h.smtp[0]->peerAddress(0), "127.0.0.3"); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (!c.needs) {
      std::printf("skipped (not on this machine's network): %s\n", c.what);
      continue;
    }
    EngineHarness h;
    h.dns.addMx("good.test", 10, "127.0.0.2");
    c.setup(h);
    ASSERT_TRUE(h.check({c.address}));
    const Processed& p = h.processed[0];
    EXPECT_EQ(p.code, c.code);
    EXPECT_EQ(p.verdict, c.verdict) << p.message;
    EXPECT_TRUE(hasLine(p.log, c.logOrMessage) ||
                p.message.find(c.logOrMessage) != std::string::npos)
        << c.logOrMessage << " / " << p.message;
    for (const auto& line : p.log) EXPECT_EQ(line.find("s3cret"), std::string::npos) << line;
    c.check(h);
  }
}

}  // namespace
}  // namespace orvane::engine
