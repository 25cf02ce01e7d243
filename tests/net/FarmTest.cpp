#include "tests/support/Farm.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "net/DnsQuery.h"
#include "net/SmtpCli.h"

namespace orvane::testing {
namespace {

TEST(Farm, DomainsPointAtDottedHostsThatAcceptOnlyThePrefix) {
  net::EventLoop loop;
  FarmOptions options;
  options.domains = 5;
  options.hosts = 3;
  options.mxPerDomain = 2;
  options.keepTranscripts = true;
  Farm farm(loop, options);
  EXPECT_EQ(farm.hostAddresses(),
            (std::vector<std::string>{"127.0.0.2", "127.0.0.3", "127.0.0.4"}));
  EXPECT_EQ(farm.MxHosts(4), (std::vector<std::string>{"127.0.0.3", "127.0.0.4"}));

  // The DNS server answers with the MX hosts in order.
  net::TDnsQuery query(loop);
  query.SetAddr(farm.dnsAddress());
  int dnsError = -1;
  query.OnRequestDone = [&](net::TDnsQuery&, std::uint16_t error) { dnsError = error; };
  query.MXLookup(Farm::DomainName(4));
  ASSERT_TRUE(loop.runUntil([&] { return dnsError >= 0; }, 5000));
  ASSERT_EQ(dnsError, 0);
  ASSERT_EQ(query.ResponseANCount(), 2);
  std::vector<std::string> exchanges;
  for (int i = 0; i < 2; ++i) exchanges.push_back(query.MXExchange(query.AnswerTag(i)));
  EXPECT_EQ(exchanges, farm.MxHosts(4));

  // Every host answers on the shared port: "ok..." accepted, others refused.
  net::TSmtpCli client(loop);
  std::vector<int> errors;
  client.OnRequestDone = [&](net::TSmtpCli&, net::TSmtpRequest, std::uint16_t e) {
    errors.push_back(e);
  };
  client.SetPort(std::to_string(farm.smtpPort()));
  client.SetSignOn("farm.test");
  std::size_t connection = 0;
  for (const auto& host : farm.hostAddresses()) {
    SCOPED_TRACE(host);
    errors.clear();
    client.Abort();
    client.SetHost(host);
    client.Open();
    ASSERT_TRUE(loop.runUntil([&] { return errors.size() == 1; }, 5000));
    for (const char* rcpt : {"ok7@d1.test", "nobody@d1.test"}) {
      const std::size_t want = errors.size() + 1;
      client.SetRcptName({rcpt});
      client.RcptTo();
      ASSERT_TRUE(loop.runUntil([&] { return errors.size() == want; }, 5000));
    }
    EXPECT_EQ(errors, (std::vector<int>{0, 0, 550}));
    EXPECT_EQ(farm.smtp().transcript(connection).size(), 3u);
    ++connection;
  }
  EXPECT_EQ(farm.smtp().connectionCount(), 3u);
}

TEST(Farm, ALongRunningFarmCountsQueriesWithoutKeepingThem) {
  net::EventLoop loop;
  Farm farm(loop, FarmOptions{});  // transcripts off, as in orvane-farm and the benchmark
  net::TDnsQuery query(loop);
  query.SetAddr(farm.dnsAddress());
  int done = 0;
  query.OnRequestDone = [&](net::TDnsQuery&, std::uint16_t) { ++done; };
  for (int i = 0; i < 3; ++i) {
    query.MXLookup(Farm::DomainName(static_cast<std::size_t>(i)));
    ASSERT_TRUE(loop.runUntil([&] { return done == i + 1; }, 5000));
  }
  EXPECT_EQ(farm.dns().queriesSeen(), 3u);
  EXPECT_TRUE(farm.dns().queries().empty());
}

}  // namespace
}  // namespace orvane::testing
