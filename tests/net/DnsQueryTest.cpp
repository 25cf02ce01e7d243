#include "net/DnsQuery.h"

#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "tests/support/ScriptedDnsServer.h"
#include "tests/support/TestHelpers.h"

namespace orvane::net {
namespace {

using orvane::testing::ScriptedDnsServer;
using Misbehaviour = ScriptedDnsServer::Misbehaviour;
using Query = ScriptedDnsServer::Query;
using Errors = std::vector<std::uint16_t>;

class DnsQueryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    query.setAddr(server.address());
    query.OnRequestDone = [this](TDnsQuery&, std::uint16_t error) { done.push_back(error); };
    server.addMx("example.test", 20, "mx20.example.test");
    server.addMx("example.test", 10, "mx10.example.test");
  }
  bool waitDone(std::size_t n = 1) {
    return loop.runUntil([&] { return done.size() >= n; }, 2000);
  }
  bool waitIgnored(std::uint64_t n) {
    return loop.runUntil([&] { return query.ignoredDatagrams() >= n; }, 2000);
  }
  bool nothingMoreWithin(std::uint64_t ms) {
    const std::size_t before = done.size();
    return !loop.runUntil([&] { return done.size() > before; }, ms);
  }
  void expectGenuineExampleAnswer() {
    EXPECT_EQ(query.ResponseANCount(), 2);
    EXPECT_EQ(query.MXRecordCount(), 2);
    EXPECT_EQ(query.MXExchange(0), "mx20.example.test");
    EXPECT_EQ(query.MXExchange(1), "mx10.example.test");
  }

  EventLoop loop;
  ScriptedDnsServer server{loop};
  TDnsQuery query{loop};
  Errors done;
};

TEST_F(DnsQueryTest, SendsOneMxQueryAndDecodesTheAnswerInRecordOrder) {
  query.setAddr("127.0.0.1");  // the port from its own property
  query.setPort(std::to_string(server.port()));
  const std::uint16_t id = query.MXLookup("example.test");
  EXPECT_TRUE(query.Waiting());
  EXPECT_TRUE(done.empty());  // never inside the call
  ASSERT_TRUE(waitDone());
  EXPECT_EQ(done, Errors{0});
  ASSERT_EQ(server.queriesSeen(), 1u);
  std::array<std::uint8_t, kDnsMessageSize> expected{};
  const std::size_t n = buildMxQuery(id, "example.test", expected);
  EXPECT_EQ(server.queries()[0].raw, std::string(reinterpret_cast<char*>(expected.data()), n));
  EXPECT_FALSE(query.Waiting());
  EXPECT_EQ(query.ResponseID(), id);
  EXPECT_EQ(query.MXPreference(0), 20);  // answer order, not preference order
  expectGenuineExampleAnswer();
  for (int i : {-1, 50, 65535}) {  // outside the tables: zero or empty
    EXPECT_EQ(query.AnswerType(i) + query.AnswerTag(i) + query.MXPreference(i), 0) << i;
    EXPECT_EQ(query.MXExchange(i) + query.AnswerName(i), "") << i;
  }
}

TEST_F(DnsQueryTest, EveryTypeIsAskedForAndAnMxAnswerBringsItsAdditionalAddresses) {
  server.addAddress("mx10.example.test", "192.0.2.10");
  server.addAddress("mx10.example.test", "2001:db8::10");
  server.setCname("www.example.test", "mx10.example.test");
  server.addPtr("10.2.0.192.in-addr.arpa", "mx10.example.test");
  server.addTxt("2.0.0.127.bl.test", "listed");
  server.addAdditional("example.test", "mx10.example.test", "192.0.2.10");
  server.addAdditional("example.test", "elsewhere.test", "2001:db8::99");
  const struct {
    const char* name;
    std::uint16_t type;
    std::string texts;  // answerText of every answer record
  } cases[] = {{"mx10.example.test", kDnsTypeA, "192.0.2.10 "},
               {"www.example.test", kDnsTypeAAAA, "mx10.example.test 2001:db8::10 "},
               {"10.2.0.192.in-addr.arpa", kDnsTypePTR, "mx10.example.test "},
               {"2.0.0.127.bl.test", kDnsTypeTXT, "listed "},
               {"example.test", kDnsTypeMX, "mx20.example.test mx10.example.test "}};
  for (const auto& c : cases) {
    query.Lookup(c.name, c.type);
    ASSERT_TRUE(waitDone(done.size() + 1)) << c.name;
    EXPECT_EQ(server.queries().back().type, c.type);
    std::string texts;
    for (int i = 0; i < query.answerCount(); ++i) texts += query.answerText(i) + " ";
    EXPECT_EQ(texts, c.texts) << c.name;
  }
  EXPECT_EQ(done, Errors(std::size(cases), 0));
  ASSERT_EQ(query.additionalCount(), 2);
  EXPECT_EQ(query.additional(0).name + " " + query.additional(0).address,
            "mx10.example.test 192.0.2.10");
  EXPECT_EQ(query.additional(1).address, "2001:db8::99");
  EXPECT_EQ(query.additional(2).address, "");
}

TEST(DnsQueryServers, AnIpv6ServerAnswersAndUnreachableServersAreReportedAtOnce) {
  EventLoop loop;
  const bool v6 = orvane::testing::hasIpv6Loopback();
  std::vector<std::pair<std::string, std::uint16_t>> cases;  // server, error
  {
    ScriptedDnsServer gone(loop);  // its port, closed once it is gone
    cases.emplace_back(gone.address(), 10061);
  }
  std::unique_ptr<ScriptedDnsServer> server6;
  if (v6) {
    server6 = std::make_unique<ScriptedDnsServer>(loop, "::1");
    server6->addMx("example.test", 10, "mx.example.test");
    cases.emplace_back(server6->address(), 0);
    cases.emplace_back("::1", 0);  // its port given apart
    {
      ScriptedDnsServer gone(loop, "::1");
      cases.emplace_back(gone.address(), 10061);
    }
    // An IPv6 socket does not reach IPv4 peers: no route.
    cases.emplace_back("[::ffff:127.0.0.1]:53", 10051);
  }
  TDnsQuery query(loop);
  Errors done;
  query.OnRequestDone = [&](TDnsQuery&, std::uint16_t error) { done.push_back(error); };
  for (const auto& [addr, error] : cases) {
    SCOPED_TRACE(addr);
    done.clear();
    query.setAddr(addr);
    if (v6) query.setPort(std::to_string(server6->port()));
    query.MXLookup("example.test");
    EXPECT_TRUE(done.empty());  // never inside the call
    ASSERT_TRUE(loop.runUntil([&] { return !done.empty(); }, 2000));
    EXPECT_EQ(done, Errors{error});
    if (error == 0) {
      EXPECT_EQ(query.MXExchange(0), "mx.example.test");
    }
  }
  if (!v6) GTEST_SKIP() << "no IPv6 loopback on this machine: the IPv6 cases were skipped";
}

TEST_F(DnsQueryTest, ForgedOrRepeatedAnswersAreDroppedAndTheGenuineOneTakenOnce) {
  for (auto m : {Misbehaviour::WrongIdFirst, Misbehaviour::WrongPortFirst,
                 Misbehaviour::WrongAddressFirst, Misbehaviour::Duplicate}) {
    if (m == Misbehaviour::WrongAddressFirst && !server.wrongAddressAvailable()) continue;
    SCOPED_TRACE(static_cast<int>(m));
    server.setMisbehaviour(m);
    done.clear();
    const std::uint64_t ignoredBefore = query.ignoredDatagrams();
    query.MXLookup("example.test");
    ASSERT_TRUE(waitDone());
    ASSERT_TRUE(waitIgnored(ignoredBefore + 1));
    EXPECT_TRUE(nothingMoreWithin(20));
    EXPECT_EQ(done, Errors{0});
    expectGenuineExampleAnswer();
  }
}

// Which datagrams are malformed or answer another question is
// DnsMessageTest's; here, what the query does with each kind.
TEST_F(DnsQueryTest, MalformedAnswersAreErrorsOtherDatagramsAreIgnoredAndTheTablesStay) {
  const std::uint16_t first = query.MXLookup("example.test");
  ASSERT_TRUE(waitDone());
  const struct {
    const char* what;
    std::function<std::string(const Query&)> reply;
    bool malformed;  // else ignored: the query goes on waiting
  } cases[] = {
      {"first half", [&](const Query& q) { return server.tableAnswer(q).substr(0, 30); }, true},
      {"another name",
       [&](const Query& q) {
         Query other = q;
         other.name = "other.test";
         return server.tableAnswer(other);
       },
       false},
      {"the query echoed back", [](const Query& q) { return q.raw; }, false},
      {"over 512 bytes",
       [&](const Query& q) { return server.tableAnswer(q) + std::string(500, 'x'); }, false},
  };
  for (const auto& c : cases) {
    server.setHandler([&](const Query& q) -> std::optional<std::string> { return c.reply(q); });
    const std::uint64_t ignoredBefore = query.ignoredDatagrams();
    const std::size_t doneBefore = done.size();
    query.MXLookup("example.test");
    ASSERT_TRUE(c.malformed ? waitDone(doneBefore + 1) : waitIgnored(ignoredBefore + 1)) << c.what;
  }
  server.setMisbehaviour(Misbehaviour::Silent);
  query.MXLookup("example.test");
  EXPECT_TRUE(nothingMoreWithin(50));
  EXPECT_EQ(server.queriesSeen(), 6u);
  EXPECT_EQ(done, (Errors{0, kDnsErrorMalformedAnswer}));
  EXPECT_TRUE(query.Waiting());
  EXPECT_EQ(query.ResponseID(), first);
  expectGenuineExampleAnswer();
}

TEST_F(DnsQueryTest, NextLookupDiscardsTheOutstandingOne) {
  server.addMx("other.test", 5, "mx.other.test");
  server.setDelay(20);  // both answers arrive late, after the second query
  query.MXLookup("example.test");
  const std::uint16_t second = query.MXLookup("other.test");
  ASSERT_TRUE(waitDone());
  ASSERT_TRUE(loop.runUntil([&] { return server.datagramsSent() == 2; }, 2000));
  EXPECT_TRUE(nothingMoreWithin(30));
  EXPECT_EQ(done, Errors{0});
  EXPECT_EQ(query.ResponseID(), second);
  EXPECT_EQ(query.MXExchange(0), "mx.other.test");
}

TEST_F(DnsQueryTest, IdsComeFromARandomSourceNotACounter) {
  std::vector<std::uint16_t> ids;
  for (int i = 0; i < 16; ++i) {
    ids.push_back(query.MXLookup("example.test"));
    ASSERT_TRUE(waitDone(ids.size()));
    EXPECT_EQ(server.queries().back().id, ids.back());
  }
  int steps = 0;
  for (std::size_t i = 1; i < ids.size(); ++i)
    if (static_cast<std::uint16_t>(ids[i - 1] + 1) == ids[i]) ++steps;
  EXPECT_LT(steps, 3);
  EXPECT_GT(std::set<std::uint16_t>(ids.begin(), ids.end()).size(), 12u);
}

TEST_F(DnsQueryTest, UnusableDomainOrServerThrowsBeforeAnythingIsSent) {
  for (const std::string& bad : {std::string("a..b"), std::string(64, 'x') + ".test"})
    EXPECT_THROW(query.MXLookup(bad), ESocketException) << bad;
  for (const char* addr : {"999.1.1.1", ""}) {
    query.setAddr(addr);
    EXPECT_THROW(query.MXLookup("example.test"), ESocketException) << addr;
  }
  EXPECT_TRUE(nothingMoreWithin(10));
  EXPECT_EQ(server.queriesSeen(), 0u);
}

TEST_F(DnsQueryTest, HandlerMayStartTheNextLookupOrDestroyTheQuery) {
  server.addMx("second.test", 1, "mx.second.test");
  query.OnRequestDone = [&](TDnsQuery& sender, std::uint16_t error) {
    done.push_back(error);
    if (done.size() == 1) sender.MXLookup("second.test");
  };
  query.MXLookup("example.test");
  ASSERT_TRUE(waitDone(2));
  EXPECT_EQ(done, (Errors{0, 0}));
  EXPECT_EQ(query.MXExchange(0), "mx.second.test");

  server.setMisbehaviour(Misbehaviour::Duplicate);
  auto owned = std::make_unique<TDnsQuery>(loop);
  owned->setAddr(server.address());
  owned->OnRequestDone = [&](TDnsQuery&, std::uint16_t error) {
    done.push_back(error);
    owned.reset();
  };
  owned->MXLookup("example.test");
  ASSERT_TRUE(waitDone(3));
  EXPECT_TRUE(nothingMoreWithin(20));
  EXPECT_EQ(owned, nullptr);
  EXPECT_EQ(done, (Errors{0, 0, 0}));
}

}  // namespace
}  // namespace orvane::net
