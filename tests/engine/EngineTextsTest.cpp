#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/DnsServerList.h"
#include "engine/ExtractAddress.h"
#include "tests/support/TestHelpers.h"

namespace orvane::engine {
namespace {

TEST(ExtractAddress, CutsTheAddressAroundTheFirstAt) {
  struct Case {
    const char* text;
    const char* address;
  };
  const Case cases[] = {
      {"john@example.com", "john@example.com"},
      {"John Smith <john@example.com>", "john@example.com"},
      {"john@example.com, mary@example.org", "john@example.com"},
      // Nothing is ever dropped from inside an address.
      {"a+b@example.com", "a+b@example.com"},
      {"o'hara@example.com,", "o'hara@example.com"},
      {"Ann <\"ann smith\"@example.com>", "\"ann smith\"@example.com"},
      {"no address here", ""},
      {"user@", "user@"},
      {"  x_y-z.1#[2]@d-1.example ", "x_y-z.1#[2]@d-1.example"},
      {"a@b@c", "a@b@c"},
      {"caf\u00E9@b\u00FCcher.example", "caf\u00E9@b\u00FCcher.example"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ExtractAddress(c.text), c.address) << c.text;
  }
}

TEST(ExtractAddress, FlagsEntriesHoldingMoreThanTheAddress) {
  const struct {
    const char* text;
    bool more;
  } rows[] = {
      {"alice@good.test", false},
      {"  alice@good.test ,", false},
      {"Ann <a@x.org>", false},
      {"\"Ann Smith\" <a@x.org>", false},
      {"Doe, John < a@x.org >;", false},
      {"<a@x.org>", false},
      {"a@x.org (Ann)", false},
      {"no address here", false},
      {"john alice@good.test", true},
      {"alice@good.test;bob@good.test", true},
      {"alice@good.test, bob@good.test", true},
      {"alice@good.test bob@good.test", true},
      {"ann@x.org <ann@x.org>", true},
      {"\"bob@y.org\" <a@x.org>", true},  // the address cut out is the quoted one
      {"Ann <a@x.org>, Bob <b@y.org>", true},
      {"a@x.org john", true},
      {"mailto:a@x.org", true},
      {"\"Ann\" a@x.org", true},
      {"Ann <a@x.org> Bob", true},
      {"Ann; Bob <a@x.org>", true},
      {"<a@x.org", true},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(holdsMoreThanAddress(row.text), row.more) << row.text;
  }
}

TEST(DnsServerList, SplittingRules) {
  using V = std::vector<std::string>;
  EXPECT_EQ(splitServerText("", ' '), V{});
  EXPECT_EQ(splitServerText("10.0.0.1", ' '), V{"10.0.0.1"});
  EXPECT_EQ(splitServerText("10.0.0.1 10.0.0.2", ' '), (V{"10.0.0.1", "10.0.0.2"}));
  EXPECT_EQ(splitServerText("10.0.0.1, 10.0.0.2", ','), (V{"10.0.0.1", "10.0.0.2"}));
  EXPECT_EQ(splitServerText("a,,b", ','), (V{"a", "", "b"}));
  // The rest after a separator is trimmed, so several blanks count as one.
  EXPECT_EQ(splitServerText("a   b", ' '), (V{"a", "b"}));
  EXPECT_EQ(splitServerText("a ", ' '), (V{"a"}));
}

TEST(DnsServerList, EntryWithPort) {
  struct Case {
    const char* entry;
    const char* host;
    const char* port;
  };
  const Case cases[] = {
      {"127.0.0.1", "127.0.0.1", "53"},  {"127.0.0.1:5353", "127.0.0.1", "5353"},
      {"127.0.0.1:", "127.0.0.1", "53"}, {"::1", "::1", "53"},
      {"[::1]:5300", "::1", "5300"},     {"[2001:db8::1]", "2001:db8::1", "53"},
  };
  for (const auto& c : cases) {
    const auto parsed = parseDnsServerEntry(c.entry);
    EXPECT_EQ(parsed.host, c.host) << c.entry;
    EXPECT_EQ(parsed.port, c.port) << c.entry;
  }
}

TEST(DnsSources, NameserverLinesThenOwnersServersThenSystemThenInternal) {
  orvane::testing::TempDir dir;
  const auto path = dir.write("resolv.conf",
                              "# comment\n"
                              "search example.com\n"
                              "nameserver 192.0.2.1\n"
                              "  nameserver\t192.0.2.2  # second\n"
                              "nameservers 192.0.2.9\n"
                              "nameserver\n"
                              "options ndots:1\n");
  EXPECT_EQ(readSystemDnsText(path), "192.0.2.1 192.0.2.2");
  EXPECT_EQ(readSystemDnsText(dir.file("missing")), "");

  using V = std::vector<std::string>;
  const auto empty = dir.write("empty.conf", "search example.com\n");
  const auto second = dir.write("second.conf", "nameserver 192.0.2.7\nnameserver 192.0.2.8\n");
  const auto missing = dir.file("missing.conf");

  // The owner's servers win, even when the system has some.
  EXPECT_EQ(buildDnsServerList("127.0.0.1:5353 10.0.0.1", {second}, "9.9.9.9"),
            (V{"127.0.0.1:5353", "10.0.0.1"}));
  // The first system source without a server gives way to the second.
  EXPECT_EQ(buildDnsServerList("", {missing, empty, second}, "9.9.9.9"),
            (V{"192.0.2.7", "192.0.2.8"}));
  EXPECT_EQ(buildDnsServerList("", {missing, empty}, "9.9.9.9"), (V{"9.9.9.9"}));
  EXPECT_EQ(buildDnsServerList("", {missing}, ""), V{});
}

}  // namespace
}  // namespace orvane::engine
