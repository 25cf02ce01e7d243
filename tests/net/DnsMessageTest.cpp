#include "net/DnsMessage.h"

#include "net/SocketAddress.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace orvane::net {
namespace {

using Bytes = std::vector<std::uint8_t>;

struct Msg {
  Bytes b;
  Msg& u8(unsigned v) {
    b.push_back(static_cast<std::uint8_t>(v));
    return *this;
  }
  Msg& u16(unsigned v) { return u8(v >> 8).u8(v & 0xFF); }
  Msg& u32(std::uint32_t v) { return u16(v >> 16).u16(v & 0xFFFF); }
  Msg& label(const std::string& s) {
    b.push_back(static_cast<std::uint8_t>(s.size()));
    b.insert(b.end(), s.begin(), s.end());
    return *this;
  }
  Msg& name(std::initializer_list<const char*> labels) {
    for (const char* l : labels) label(l);
    return u8(0);
  }
  Msg& ptr(unsigned offset) { return u8(0xC0 | (offset >> 8)).u8(offset & 0xFF); }
  // Header, then one question `q` of type MX when qd > 0.
  Msg& head(unsigned flags, unsigned qd, unsigned an, std::initializer_list<const char*> q = {}) {
    u16(0x1234).u16(flags).u16(qd).u16(an).u16(0).u16(0);
    return qd > 0 ? name(q).u16(kDnsTypeMX).u16(kDnsClassIN) : *this;
  }
  // Resource record fields after the owner name.
  Msg& rr(unsigned type, unsigned rdlength, std::uint32_t ttl = 60) {
    return u16(type).u16(kDnsClassIN).u32(ttl).u16(rdlength);
  }
  unsigned at() const { return static_cast<unsigned>(b.size()); }
};

DnsDecodeStatus decode(const Bytes& b, TDnsResponse& out) {
  return decodeDnsResponse(std::span<const std::uint8_t>(b.data(), b.size()), out);
}

// The decoded tables in one line: per answer its type, owner and tag, then
// the MX table and the number of addresses.
std::string tables(const TDnsResponse& r) {
  std::string out = "rcode " + std::to_string(r.ResponseCode) + ", " + r.QuestionName + ":";
  for (int i = 0; i < r.answerCount; ++i) {
    out += " " + std::to_string(r.AnswerType[i]) + " " + r.AnswerName[i] + " " +
           std::to_string(r.AnswerTag[i]);
    if (r.AnswerType[i] != kDnsTypeMX && i < kDnsTableSize) out += " " + r.answerText[i];
    out += ";";
  }
  out += " mx";
  for (int i = 0; i < r.MXRecordCount; ++i)
    out += " " + std::to_string(r.MXPreference[i]) + " " + r.MXExchange[i] + ",";
  out += " a " + std::to_string(r.ARecordCount);
  for (int i = 0; i < r.additionalCount; ++i)
    out += " + " + r.additional[i].name + " " + std::to_string(r.additional[i].ttl) + " " +
           r.additional[i].address;
  return out;
}

// An answer for example.com MX: the preference-20 host first, then the
// preference-10 one; the first exchange is compressed onto the question.
Bytes validMxAnswer(unsigned flags = 0x8180) {
  Msg m;
  m.head(flags, 1, 2, {"example", "com"});  // question name at 12
  m.ptr(12).rr(kDnsTypeMX, 2 + 4 + 2, 300).u16(20).label("mx2").ptr(12);
  m.ptr(12).rr(kDnsTypeMX, 2 + 15, 7200).u16(10).name({"mx1", "other", "net"});
  return m.b;
}

TEST(DnsQueryBuilder, EncodesTheQuestionAndRefusesUnencodableNames) {
  std::array<std::uint8_t, kDnsMessageSize> out{};
  const std::size_t n = buildMxQuery(0xBEEF, "aa.bbbbbbb.ccc", out);
  const Bytes expected = {0xBE, 0xEF, 1,   0,   0,   1,   0,   0, 0,   0,   0,   0, 2, 'a', 'a', 7,
                          'b',  'b',  'b', 'b', 'b', 'b', 'b', 3, 'c', 'c', 'c', 0, 0, 15,  0,   1};
  EXPECT_EQ(Bytes(out.begin(), out.begin() + static_cast<long>(n)), expected);
  const std::string l63(63, 'a'),
      longest = l63 + "." + l63 + "." + l63 + "." + std::string(61, 'd');
  // A trailing dot adds nothing; "" and "." are the root; 3 labels of 63 and
  // one of 61 make 4*64 - 2 + 1 = 255 encoded bytes, the limit.
  const std::pair<std::string, std::size_t> good[] = {
      {"bbbbbbb.ccc", 29}, {"bbbbbbb.ccc.", 29}, {"", 17}, {".", 17}, {l63, 81}, {longest, 271}};
  for (const auto& [name, length] : good) EXPECT_EQ(buildMxQuery(1, name, out), length) << name;
  for (const std::string& bad :
       {std::string("a..b"), std::string(".a"), std::string(".."), std::string("a.b.."),
        std::string(64, 'x'), longest + "d", std::string(600, 'x')})
    EXPECT_EQ(buildMxQuery(1, bad, out), 0u) << bad;
}

TEST(DnsDecoder, TruncatedAnswersAreRefusedUnlessTcIsSetThenTheWholeRecordsAreKept) {
  const Bytes full = validMxAnswer(), withTc = validMxAnswer(0x8380);
  const std::size_t questionEnd = 29, firstRecordEnd = 29 + 2 + 10 + 8;
  for (std::size_t len = 0; len < full.size(); ++len) {
    // Copies of exactly `len` bytes, so a read past them trips the sanitizers.
    TDnsResponse r;
    EXPECT_EQ(decode(Bytes(full.begin(), full.begin() + static_cast<long>(len)), r),
              len < kDnsHeaderSize ? DnsDecodeStatus::NotAnAnswer : DnsDecodeStatus::Malformed)
        << len;
    if (len < questionEnd) continue;
    ASSERT_EQ(decode(Bytes(withTc.begin(), withTc.begin() + static_cast<long>(len)), r),
              DnsDecodeStatus::Ok)
        << len;
    EXPECT_EQ(r.ResponseANCount, 2);
    EXPECT_EQ(r.MXRecordCount, len >= firstRecordEnd ? 1 : 0) << len;
    EXPECT_EQ(r.answerCount, r.MXRecordCount) << len;
  }
  Bytes query = full;
  query[2] &= 0x7F;  // QR clear: a query echoed back
  TDnsResponse r;
  EXPECT_EQ(decode(query, r), DnsDecodeStatus::NotAnAnswer);
  // With TC, a count far beyond the datagram sizes nothing.
  Msg m;
  m.head(0x8380, 1, 65535, {"a"}).ptr(12).rr(kDnsTypeA, 4).u32(0x7F000001);
  ASSERT_EQ(decode(m.b, r), DnsDecodeStatus::Ok);
  EXPECT_EQ(r.ResponseANCount, 65535);
  EXPECT_EQ(tables(r), "rcode 0, a: 1 a 0 127.0.0.1; mx a 1");
}

// An answer whose single record's owner name is `owner`, after a question
// for "a.b" (name at 12..16, type/class 17..20).
Bytes withOwner(const Bytes& owner) {
  Msg m;
  m.head(0x8180, 1, 1, {"a", "b"});
  m.b.insert(m.b.end(), owner.begin(), owner.end());
  m.rr(kDnsTypeA, 4).u32(0x01020304);
  return m.b;
}

TEST(DnsDecoder, MalformedAnswersAreRefused) {
  const std::uint8_t here = 21;  // where withOwner's owner name starts
  Msg hugeAn, hugeQd, shortRdata, forwardOwner;
  forwardOwner.head(0x8180, 1, 1, {"a", "b"}).ptr(here + 2 + 10);
  forwardOwner.rr(kDnsTypeCNAME, 5).name({"x", "y"});
  hugeAn.head(0x8180, 1, 65535, {"a"}).ptr(12).rr(kDnsTypeA, 4).u32(0x7F000001);
  hugeQd.head(0x8180, 65535, 0, {"a"});
  shortRdata.head(0x8180, 1, 1, {"x"}).ptr(12).rr(kDnsTypeA, 5).u32(0x01020304);
  const struct {
    const char* what;
    Bytes message;
  } cases[] = {
      {"ANCOUNT 65535 in a short datagram", hugeAn.b},
      {"QDCOUNT 65535 in a short datagram", hugeQd.b},
      {"RDATA past the end", shortRdata.b},
      {"pointer to itself", withOwner({0xC0, here})},
      {"label then pointer back to its own start", withOwner({1, 'x', 0xC0, here})},
      // The only fault: the owner points forward to a sound name (the CNAME's target).
      {"forward pointer to a sound name", forwardOwner.b},
      {"pointer into the header", withOwner({0xC0, 4})},
      {"pointer to offset 0", withOwner({0xC0, 0})},
      {"pointer past the end", withOwner({0xC1, 0xFF})},
      {"pointer cut after its first byte", withOwner({0xC0})},
  };
  for (const auto& c : cases) {
    TDnsResponse r;
    EXPECT_EQ(decode(c.message, r), DnsDecodeStatus::Malformed) << c.what;
  }
  for (unsigned len = 0x40; len <= 0xBF; ++len) {
    Bytes owner(1 + (len & 0x3F) + 1, 'x');  // enough bytes for a plain length
    owner.front() = static_cast<std::uint8_t>(len);
    owner.back() = 0;
    TDnsResponse r;
    EXPECT_EQ(decode(withOwner(owner), r), DnsDecodeStatus::Malformed) << std::hex << len;
  }
  // The sound form: a pointer to the question.
  TDnsResponse r;
  ASSERT_EQ(decode(withOwner({0xC0, 12}), r), DnsDecodeStatus::Ok);
  EXPECT_EQ(r.AnswerName[0], "a.b");
}

TEST(DnsDecoder, TablesHoldTheUsableRecordsInAnswerOrderAndNothingOfTheLastAnswer) {
  Msg none, two, cname, nameError, tooShort, kinds, sixty;
  // No question: the answers start at 12. A root exchange is a null MX.
  none.head(0x8180, 0, 1).name({"mail", "test"}).rr(kDnsTypeMX, 2 + 1).u16(5).u8(0);
  // Two questions: the second is skipped, not read as an answer.
  two.head(0x8180, 2, 1, {"one"}).name({"two"}).u16(15).u16(1);
  two.ptr(12).rr(kDnsTypeA, 4).u32(0x0A000001);
  cname.head(0x8180, 1, 3, {"alias", "test"});
  const unsigned target = cname.at() + 12;  // after owner pointer and RR fields
  cname.ptr(12).rr(kDnsTypeCNAME, 11).name({"real", "test"});
  cname.ptr(target).rr(kDnsTypeMX, 2 + 6).u16(10).label("mx1").ptr(target);
  cname.ptr(target).rr(kDnsTypeMX, 2 + 6).u16(20).label("mx2").ptr(target);
  nameError.head(0x8183, 1, 0, {"nowhere", "test"});
  tooShort.head(0x8180, 1, 5, {"x"});
  tooShort.ptr(12).rr(kDnsTypeMX, 0);                          // no preference at all
  tooShort.ptr(12).rr(kDnsTypeMX, 2).u16(10);                  // preference, no exchange
  tooShort.ptr(12).rr(kDnsTypeMX, 3).u16(10).u8(2);            // exchange runs past its data
  tooShort.ptr(12).rr(kDnsTypeA, 3).u8(1).u8(2).u8(3);         // three address bytes
  tooShort.ptr(12).rr(kDnsTypeMX, 2 + 3).u16(30).name({"m"});  // the one sound record
  // Too long for their data: a TXT string, an AAAA address. ARCOUNT one too many.
  kinds.head(0x8180, 1, 6, {"h"}).b[11] = 3;
  kinds.b[9] = 1;
  kinds.ptr(12).rr(kDnsTypeA, 4).u32(0xC0000201).ptr(12).rr(kDnsTypeAAAA, 16).u32(0x20010db8);
  kinds.u32(0).u32(0).u32(1);
  kinds.ptr(12).rr(kDnsTypePTR, 4).name({"mx"}).ptr(12).rr(kDnsTypeTXT, 5).label("v=").label("a");
  kinds.ptr(12).rr(kDnsTypeTXT, 2).u8(5).u8('a').ptr(12).rr(kDnsTypeAAAA, 4).u32(1);
  kinds.ptr(12).rr(kDnsTypeNS, 2).ptr(12).name({"mx"}).rr(kDnsTypeA, 4, 77).u32(0xC0000219);
  kinds.u8(0).rr(41, 0);  // an OPT record: not an address
  sixty.head(0x8180, 1, 60, {"big"});
  for (unsigned i = 0; i < 60; ++i) sixty.ptr(12).rr(kDnsTypeMX, 3).u16(i).u8(0);
  const std::pair<Bytes, std::string> cases[] = {
      {validMxAnswer(0x8180 | 3),
       "rcode 3, example.com: 15 example.com 0; 15 example.com 1; mx 20 mx2.example.com, 10 "
       "mx1.other.net, a 0"},
      {none.b, "rcode 0, : 15 mail.test 0; mx 5 , a 0"},
      {two.b, "rcode 0, one: 1 one 0 10.0.0.1; mx a 1"},
      {cname.b,
       "rcode 0, alias.test: 5 alias.test -1 real.test; 15 real.test 0; 15 real.test 1; mx 10 "
       "mx1.real.test, 20 mx2.real.test, a 0"},
      {kinds.b,
       "rcode 0, h: 1 h 0 192.0.2.1; 28 h 0 2001:db8::1; 12 h -1 mx; 16 h -1 v=a; 16 h -1 ; 28 h "
       "-1 ; mx a 1 + mx 77 192.0.2.25"},
      {nameError.b, "rcode 3, nowhere.test: mx a 0"},
      {tooShort.b, "rcode 0, x: 15 x -1; 15 x -1; 15 x -1; 1 x -1 ; 15 x 0; mx 30 m, a 0"},
  };
  for (const auto& [message, expected] : cases) {
    TDnsResponse r;
    ASSERT_EQ(decode(validMxAnswer(), r), DnsDecodeStatus::Ok);
    ASSERT_EQ(decode(message, r), DnsDecodeStatus::Ok) << expected;
    EXPECT_EQ(tables(r), expected);
    // Entries beyond the counts are empty, whatever the previous answer left.
    EXPECT_EQ(r.AnswerTag[r.answerCount], -1) << expected;
    EXPECT_EQ(r.AnswerType[r.answerCount], 0) << expected;
    EXPECT_EQ(r.MXExchange[r.MXRecordCount], "") << expected;
  }
  TDnsResponse r;
  ASSERT_EQ(decode(validMxAnswer(), r), DnsDecodeStatus::Ok);
  EXPECT_EQ(r.AnswerTTL[1], 7200u);
  // At most fifty records are stored; all are counted.
  ASSERT_EQ(decode(sixty.b, r), DnsDecodeStatus::Ok);
  EXPECT_EQ(r.answerCount, 60);
  EXPECT_EQ(r.MXRecordCount, kDnsTableSize);
  EXPECT_EQ(r.MXPreference[49] + r.AnswerTag[49], 98);
}

TEST(DnsDecoder, CnameChainsAreFollowedAtMostEightStepsAndLoopsAreFound) {
  Msg m;
  m.head(0x8180, 0, 11);
  const auto cname = [&](std::string from, std::string to) {
    m.name({from.c_str()}).rr(kDnsTypeCNAME, 3).name({to.c_str()});
  };
  cname("x", "Y");  // names compare without regard to case
  cname("y", "x");
  for (char c = '0'; c < '9'; ++c) cname(std::string(1, c), std::string(1, c + 1));
  TDnsResponse r;
  ASSERT_EQ(decode(m.b, r), DnsDecodeStatus::Ok);
  std::string out;  // per start: target, steps, loop, too long
  for (const char* from : {"1", "0.", "9", "X"}) {
    const DnsCnameChain c = followCnames(r, from);
    out += c.target + std::to_string(c.steps) + std::to_string(c.loop) + std::to_string(c.tooLong) +
           " ";
  }
  EXPECT_EQ(out, "9800 8801 9000 Y110 ");
}

TEST(DnsReverseName, OctetsOrNibblesReversedUnderTheZone) {
  EXPECT_EQ(dnsReverseName(*SocketAddress::parse("127.0.0.2"), "bl.test"), "2.0.0.127.bl.test");
  EXPECT_EQ(dnsReverseName(*SocketAddress::parse("2001:db8::1")),
            "1.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.8.b.d.0.1.0.0.2.ip6.arpa");
}

TEST(DnsNameExtraction, PointerLoopsChainsAndLengthAreBounded) {
  std::string name;
  std::size_t next = 0;
  // A loop: the name at 21 points forward to 25, which points back to 21.
  Msg loop;
  loop.head(0x8180, 1, 1, {"a", "b"}).label("p").ptr(25).label("q").ptr(21);
  EXPECT_FALSE(extractDnsName(loop.b, 21, name, next));
  EXPECT_FALSE(extractDnsName(loop.b, 25, name, next));
  // A chain of backward pointers ending at the question: sound up to the limit.
  Msg chain;
  chain.head(0x8180, 1, 0, {"a", "b"});
  std::vector<unsigned> starts = {12};
  for (int i = 0; i <= kDnsMaxPointers; ++i) {
    const unsigned prev = starts.back();
    starts.push_back(chain.at());
    chain.ptr(prev);
  }
  ASSERT_TRUE(extractDnsName(chain.b, starts[kDnsMaxPointers], name, next));
  EXPECT_EQ(name, "a.b");
  EXPECT_EQ(next, starts[kDnsMaxPointers] + 2);
  EXPECT_FALSE(extractDnsName(chain.b, starts[kDnsMaxPointers + 1], name, next));
  // Labels of 63 chained by pointers: three make 193 bytes, four 257 (> 255).
  Msg big;
  big.head(0x8180, 0, 0);
  std::vector<unsigned> at = {big.at()};
  big.label(std::string(63, 'a')).u8(0);
  for (char c : {'b', 'c', 'd'}) {
    const unsigned prev = at.back();
    at.push_back(big.at());
    big.label(std::string(63, c)).ptr(prev);
  }
  ASSERT_TRUE(extractDnsName(big.b, at[2], name, next));
  EXPECT_EQ(name.size(), 3u * 63 + 2);
  EXPECT_FALSE(extractDnsName(big.b, at[3], name, next));
}

TEST(DnsQuestionMatch, ComparesNameTypeAndClass) {
  std::array<std::uint8_t, kDnsMessageSize> q{};
  const std::size_t n = buildMxQuery(0x1234, "example.com", q);
  const std::span<const std::uint8_t> query(q.data(), n);
  const Bytes good = validMxAnswer();
  EXPECT_TRUE(dnsQuestionMatches(query, good));
  Bytes upper = good;
  upper[13] = 'E';  // case is not significant
  EXPECT_TRUE(dnsQuestionMatches(query, upper));
  const struct {
    const char* what;
    std::size_t offset;
    std::uint8_t value;
  } cases[] = {
      {"other name", 14, 'y'}, {"other type", 26, 1}, {"other class", 28, 3},
      {"two questions", 5, 2}, {"no question", 5, 0},
  };
  for (const auto& c : cases) {
    Bytes bad = good;
    bad[c.offset] = c.value;
    EXPECT_FALSE(dnsQuestionMatches(query, bad)) << c.what;
  }
  EXPECT_FALSE(dnsQuestionMatches(query, Bytes(good.begin(), good.begin() + 20)));
}

}  // namespace
}  // namespace orvane::net
