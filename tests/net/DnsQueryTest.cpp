#include "net/DnsQuery.h"

#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "tests/support/Loopback.h"
#include "tests/support/ScriptedDnsServer.h"

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
  server.addAdditional("example.test", "mx10.example.test", "192.0.2.10");
  server.addAdditional("example.test", "elsewhere.test", "2001:db8::99");
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
  const auto mx10 = additionalAddressesOf(query.Response(), "MX10.example.test.");
  ASSERT_EQ(mx10.size(), 1u);
  EXPECT_EQ(mx10[0].address, "192.0.2.10");
  EXPECT_TRUE(additionalAddressesOf(query.Response(), "mx20.example.test").empty());
  for (int i : {-1, 50, 65535}) {  // outside the tables: zero or empty
    EXPECT_EQ(query.AnswerType(i) + query.AnswerTag(i) + query.MXPreference(i), 0) << i;
    EXPECT_EQ(query.MXExchange(i) + query.AnswerName(i), "") << i;
  }
}

TEST_F(DnsQueryTest, AddressNameAndTextRecordsAreAskedForByType) {
  server.addAddress("mx10.example.test", "2001:db8::10");
  server.setCname("www.example.test", "mx10.example.test");
  server.addTxt("2.0.0.127.bl.test", "listed");
  // Name, type, and the answerText of every answer record.
  const std::tuple<const char*, std::uint16_t, const char*> cases[] = {
      {"www.example.test", kDnsTypeAAAA, "mx10.example.test 2001:db8::10 "},
      {"2.0.0.127.bl.test", kDnsTypeTXT, "listed "}};
  for (const auto& [name, type, expected] : cases) {
    query.Lookup(name, type);
    ASSERT_TRUE(waitDone(done.size() + 1));
    std::string texts;
    for (int i = 0; i < query.answerCount(); ++i) texts += query.answerText(i) + " ";
    EXPECT_EQ(texts, expected);
  }
  EXPECT_EQ(done, Errors(std::size(cases), 0));
}

TEST_F(DnsQueryTest, AnIpv6ServerAnswersAndUnreachableServersAreReportedAtOnce) {
  const bool v6 = testing::hasIpv6Loopback();
  std::optional<ScriptedDnsServer> six;
  if (v6) six.emplace(loop, "::1").addMx("example.test", 10, "mx10.example.test");
  // Closed: a gone server's port. No route: an IPv6 socket to an IPv4 peer.
  const std::pair<std::string, std::uint16_t> cases[] = {
      {ScriptedDnsServer(loop).address(), 10061},
      {v6 ? six->address() : "", 0},
      {"::1", 0},  // its port given apart
      {v6 ? ScriptedDnsServer(loop, "::1").address() : "", 10061},
      {"[::ffff:127.0.0.1]:53", 10051}};
  for (const auto& [addr, error] : cases) {
    if (!v6 && addr != cases[0].first) continue;
    SCOPED_TRACE(addr);
    done.clear();
    query.setAddr(addr);
    query.setPort(v6 ? std::to_string(six->port()) : "53");
    query.MXLookup("example.test");
    EXPECT_TRUE(done.empty());  // never inside the call
    ASSERT_TRUE(waitDone());
    EXPECT_EQ(done, Errors{error});
    if (error == 0) {
      EXPECT_EQ(query.answerText(0), "mx10.example.test");
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
