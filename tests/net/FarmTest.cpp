#include "tools/farm/Farm.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "net/DnsQuery.h"
#include "net/SmtpCli.h"

namespace orvane::farm {
namespace {

// What orvane-farm and the benchmarks rely on: a domain's MX records name the
// farm's hosts in order, every host accepts the recipients with the prefix and
// refuses the others, and queries are counted but not kept (a long-running
// farm once grew by every query it answered).
TEST(Farm, DomainsPointAtHostsThatAcceptOnlyThePrefixAndQueriesAreNotKept) {
  net::EventLoop loop;
  FarmOptions options;  // transcripts off, as in orvane-farm and the benchmarks
  options.hosts = 3;
  options.mxPerDomain = 2;
  Farm farm(loop, options);
  EXPECT_EQ(farm.mxHosts(4), (std::vector<std::string>{"127.0.0.3", "127.0.0.4"}));
  net::TDnsQuery query(loop);
  query.setAddr(farm.dnsAddress());
  std::vector<int> errors;
  query.OnRequestDone = [&](net::TDnsQuery&, std::uint16_t e) { errors.push_back(e); };
  query.MXLookup(Farm::domainName(4));
  ASSERT_TRUE(loop.runUntil([&] { return errors.size() == 1; }, 5000));
  ASSERT_EQ(query.ResponseANCount(), 2);
  EXPECT_EQ((std::vector<std::string>{query.MXExchange(query.AnswerTag(0)),
                                      query.MXExchange(query.AnswerTag(1))}),
            farm.mxHosts(4));
  EXPECT_EQ(farm.dns().queriesSeen(), 1u);
  EXPECT_TRUE(farm.dns().queries().empty());

  // The hosts share one port and one script; the last one answers here.
  net::TSmtpCli client(loop);
  client.OnRequestDone = [&](net::TSmtpCli&, net::TSmtpRequest, std::uint16_t e) {
    errors.push_back(e);
    if (errors.size() < 4) {
      client.setRcptName({errors.size() == 2 ? "ok7@d1.test" : "nobody@d1.test"});
      client.RcptTo();
    }
  };
  client.setPort(std::to_string(farm.smtpPort()));
  client.setHost(farm.hostAddresses().back());
  client.Open();
  ASSERT_TRUE(loop.runUntil([&] { return errors.size() == 4; }, 5000));
  EXPECT_EQ(errors, (std::vector<int>{0, 0, 0, 550}));
}

}  // namespace
}  // namespace orvane::farm
