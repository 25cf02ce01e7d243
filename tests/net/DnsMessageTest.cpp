#include "net/DnsMessage.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace orvane::net {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Small writer for hand-made datagrams.
struct Msg {
  Bytes b;
  Msg& u8(unsigned v) {
    b.push_back(static_cast<std::uint8_t>(v));
    return *this;
  }
  Msg& u16(unsigned v) { return u8(v >> 8).u8(v & 0xFF); }
  Msg& u32(std::uint32_t v) { return u16(v >> 16).u16(v & 0xFFFF); }
  Msg& label(const std::string& s) {
    u8(static_cast<unsigned>(s.size()));
    b.insert(b.end(), s.begin(), s.end());
    return *this;
  }
  Msg& name(std::initializer_list<const char*> labels) {
    for (const char* l : labels) label(l);
    return u8(0);
  }
  Msg& ptr(unsigned offset) { return u8(0xC0 | (offset >> 8)).u8(offset & 0xFF); }
  Msg& header(unsigned id, unsigned flags, unsigned qd, unsigned an, unsigned ns = 0,
              unsigned ar = 0) {
    return u16(id).u16(flags).u16(qd).u16(an).u16(ns).u16(ar);
  }
  // Resource record fields after the owner name.
  Msg& rr(unsigned type, std::uint32_t ttl, unsigned rdlength) {
    return u16(type).u16(kDnsClassIN).u32(ttl).u16(rdlength);
  }
  std::size_t size() const { return b.size(); }
};

DnsDecodeStatus decode(const Bytes& b, TDnsResponse& out) {
  return DecodeDnsResponse(std::span<const std::uint8_t>(b.data(), b.size()), out);
}

// An answer for example.com MX: the preference-20 host first, then the
// preference-10 one; the first exchange is compressed onto the question.
Bytes validMxAnswer(unsigned flags = 0x8180) {
  Msg m;
  m.header(0x1234, flags, 1, 2);
  m.name({"example", "com"}).u16(kDnsTypeMX).u16(kDnsClassIN);  // question at 12
  m.ptr(12).rr(kDnsTypeMX, 300, 2 + 4 + 2).u16(20).label("mx2").ptr(12);
  m.ptr(12).rr(kDnsTypeMX, 7200, 2 + 15).u16(10).name({"mx1", "other", "net"});
  return m.b;
}

TEST(DnsQueryBuilder, EncodesLabelsHeaderAndQuestion) {
  std::array<std::uint8_t, kDnsMessageSize> out{};
  const std::size_t n = BuildMxQuery(0xBEEF, "aa.bbbbbbb.ccc", out);
  const Bytes expected = {0xBE, 0xEF, 0x01, 0x00, 0,    1,    0,   0,   0,   0,   0,   0,  // header
                          2,    'a',  'a',  7,    'b',  'b',  'b', 'b', 'b', 'b', 'b', 3, 'c',
                          'c',  'c',  0,    0x00, 0x0F, 0x00, 0x01};
  ASSERT_EQ(n, expected.size());
  EXPECT_EQ(Bytes(out.begin(), out.begin() + static_cast<long>(n)), expected);
}

TEST(DnsQueryBuilder, LengthsFollowTheName) {
  std::array<std::uint8_t, kDnsMessageSize> out{};
  EXPECT_EQ(BuildMxQuery(1, "bbbbbbb.ccc", out), 29u);
  EXPECT_EQ(BuildMxQuery(1, "bbbbbbb.ccc.", out), 29u);  // one trailing dot adds nothing
  EXPECT_EQ(BuildMxQuery(1, "", out), 12u + 1 + 4);      // the root name
  EXPECT_EQ(out[12], 0);
  EXPECT_EQ(BuildMxQuery(1, ".", out), 12u + 1 + 4);  // the root, written out
  EXPECT_EQ(BuildMxQuery(1, std::string(63, 'x'), out), 12u + 65 + 4);
  // 3 labels of 63 and one of 61: 4*64 - 2 + 1 = 255 encoded bytes, the limit.
  const std::string longest = std::string(63, 'a') + "." + std::string(63, 'b') + "." +
                              std::string(63, 'c') + "." + std::string(61, 'd');
  EXPECT_EQ(BuildMxQuery(1, longest, out), 12u + 255 + 4);
}

TEST(DnsQueryBuilder, RefusesNamesThatCannotBeEncoded) {
  std::array<std::uint8_t, kDnsMessageSize> out{};
  const std::string tooLong = std::string(63, 'a') + "." + std::string(63, 'b') + "." +
                              std::string(63, 'c') + "." + std::string(62, 'd');
  for (const std::string& bad :
       {std::string("a..b"), std::string(".a"), std::string(".."), std::string("a.b.."),
        std::string(64, 'x'), tooLong, std::string(600, 'x')}) {
    EXPECT_EQ(BuildMxQuery(1, bad, out), 0u) << bad;
  }
}

TEST(DnsDecoder, DecodesHeaderQuestionAndMxTablesInAnswerOrder) {
  TDnsResponse r;
  const Bytes b = validMxAnswer(0x8580 | 3);  // AA, RD, RA, RCODE 3
  ASSERT_EQ(decode(b, r), DnsDecodeStatus::Ok);
  EXPECT_EQ(r.ResponseLength, static_cast<int>(b.size()));
  EXPECT_EQ(r.ResponseID, 0x1234);
  EXPECT_EQ(r.ResponseCode, 3);
  EXPECT_EQ(r.ResponseOpCode, 0);
  EXPECT_TRUE(r.ResponseAuthoritative);
  EXPECT_FALSE(r.ResponseTruncation);
  EXPECT_TRUE(r.ResponseRecursionAvailable);
  EXPECT_EQ(r.ResponseQDCount, 1);
  EXPECT_EQ(r.ResponseANCount, 2);
  EXPECT_EQ(r.QuestionName, "example.com");
  EXPECT_EQ(r.QuestionType, 15);
  EXPECT_EQ(r.QuestionClass, 1);
  EXPECT_EQ(r.AnswerCount, 2);
  EXPECT_EQ(r.AnswerName[0], "example.com");
  EXPECT_EQ(r.AnswerTTL[0], 300u);
  EXPECT_EQ(r.AnswerTTL[1], 7200u);
  EXPECT_EQ(r.AnswerClass[1], 1);
  ASSERT_EQ(r.MXRecordCount, 2);
  EXPECT_EQ(r.AnswerTag[0], 0);
  EXPECT_EQ(r.AnswerTag[1], 1);
  EXPECT_EQ(r.AnswerTag[2], -1);
  EXPECT_EQ(r.MXPreference[0], 20);
  EXPECT_EQ(r.MXExchange[0], "mx2.example.com");
  EXPECT_EQ(r.MXPreference[1], 10);
  EXPECT_EQ(r.MXExchange[1], "mx1.other.net");
}

TEST(DnsDecoder, EveryTruncatedPrefixIsRefusedWithoutReadingPastIt) {
  const Bytes full = validMxAnswer();
  for (std::size_t len = 0; len < full.size(); ++len) {
    // A copy of exactly `len` bytes, so a read past it trips the sanitizers.
    const Bytes prefix(full.begin(), full.begin() + static_cast<long>(len));
    TDnsResponse r;
    const auto expected =
        len < kDnsHeaderSize ? DnsDecodeStatus::NotAnAnswer : DnsDecodeStatus::Malformed;
    EXPECT_EQ(decode(prefix, r), expected) << "prefix of " << len << " bytes";
  }
}

TEST(DnsDecoder, TruncatedAnswerWithTcKeepsTheWholeRecords) {
  Bytes full = validMxAnswer(0x8380);  // TC set
  const std::size_t firstRecordEnd = 29 + 2 + 10 + 8;
  TDnsResponse r;
  for (std::size_t len = 29; len < full.size(); ++len) {
    const Bytes prefix(full.begin(), full.begin() + static_cast<long>(len));
    ASSERT_EQ(decode(prefix, r), DnsDecodeStatus::Ok) << len;
    EXPECT_TRUE(r.ResponseTruncation);
    EXPECT_EQ(r.ResponseANCount, 2);
    const int whole = len >= firstRecordEnd ? 1 : 0;
    EXPECT_EQ(r.AnswerCount, whole) << len;
    EXPECT_EQ(r.MXRecordCount, whole) << len;
  }
}

TEST(DnsDecoder, NotAnAnswerWhenShortOrQrClear) {
  TDnsResponse r;
  Bytes b = validMxAnswer();
  EXPECT_EQ(decode(Bytes(b.begin(), b.begin() + 11), r), DnsDecodeStatus::NotAnAnswer);
  b[2] &= 0x7F;  // a query echoed back
  EXPECT_EQ(decode(b, r), DnsDecodeStatus::NotAnAnswer);
}

TEST(DnsDecoder, HugeAnswerCountInAShortDatagramIsMalformed) {
  Msg m;
  m.header(1, 0x8180, 1, 65535).name({"a"}).u16(15).u16(1);
  m.ptr(12).rr(kDnsTypeA, 1, 4).u32(0x7F000001);
  TDnsResponse r;
  EXPECT_EQ(decode(m.b, r), DnsDecodeStatus::Malformed);
  // With TC set the single whole record is kept.
  m.b[2] |= 0x02;
  ASSERT_EQ(decode(m.b, r), DnsDecodeStatus::Ok);
  EXPECT_EQ(r.ResponseANCount, 65535);
  EXPECT_EQ(r.AnswerCount, 1);
  EXPECT_EQ(r.ARecordCount, 1);
  // Also for the question count.
  Msg q;
  q.header(1, 0x8180, 65535, 0).name({"a"}).u16(15).u16(1);
  EXPECT_EQ(decode(q.b, r), DnsDecodeStatus::Malformed);
}

TEST(DnsDecoder, QuestionCountZeroStartsTheAnswersAtTwelve) {
  Msg m;
  m.header(7, 0x8180, 0, 1).name({"mail", "test"}).rr(kDnsTypeMX, 60, 2 + 1).u16(5).u8(0);
  TDnsResponse r;
  ASSERT_EQ(decode(m.b, r), DnsDecodeStatus::Ok);
  EXPECT_EQ(r.QuestionName, "");
  EXPECT_EQ(r.QuestionType, 0);
  EXPECT_EQ(r.QuestionClass, 0);
  EXPECT_EQ(r.AnswerName[0], "mail.test");
  ASSERT_EQ(r.MXRecordCount, 1);
  EXPECT_EQ(r.MXPreference[0], 5);
  EXPECT_EQ(r.MXExchange[0], "");  // the root: a null MX
}

TEST(DnsDecoder, FurtherQuestionsAreSkippedNotReadAsAnswers) {
  Msg m;
  m.header(7, 0x8180, 2, 1).name({"one"}).u16(15).u16(1).name({"two"}).u16(15).u16(1);
  m.ptr(12).rr(kDnsTypeA, 60, 4).u8(10).u8(0).u8(0).u8(1);
  TDnsResponse r;
  ASSERT_EQ(decode(m.b, r), DnsDecodeStatus::Ok);
  EXPECT_EQ(r.QuestionName, "one");
  EXPECT_EQ(r.AnswerName[0], "one");
  EXPECT_EQ(r.AnswerType[0], kDnsTypeA);
  ASSERT_EQ(r.ARecordCount, 1);
  const auto* a = reinterpret_cast<const std::uint8_t*>(&r.Address[0]);
  EXPECT_EQ((Bytes{a[0], a[1], a[2], a[3]}), (Bytes{10, 0, 0, 1}));  // network order
}

TEST(DnsDecoder, CnameThenMxRecordsTagsOnlyTheMxRecords) {
  Msg m;
  m.header(9, 0x8180, 1, 3).name({"alias", "test"}).u16(15).u16(1);
  const std::size_t cnameTarget = m.size() + 12;  // after owner pointer and RR fields
  m.ptr(12).rr(kDnsTypeCNAME, 60, 11).name({"real", "test"});
  m.ptr(static_cast<unsigned>(cnameTarget))
      .rr(kDnsTypeMX, 60, 2 + 6)
      .u16(10)
      .label("mx1")
      .ptr(static_cast<unsigned>(cnameTarget));
  m.ptr(static_cast<unsigned>(cnameTarget))
      .rr(kDnsTypeMX, 60, 2 + 6)
      .u16(20)
      .label("mx2")
      .ptr(static_cast<unsigned>(cnameTarget));
  TDnsResponse r;
  ASSERT_EQ(decode(m.b, r), DnsDecodeStatus::Ok);
  EXPECT_EQ(r.AnswerType[0], kDnsTypeCNAME);
  EXPECT_EQ(r.AnswerTag[0], -1);
  EXPECT_EQ(r.AnswerName[1], "real.test");
  EXPECT_EQ(r.AnswerTag[1], 0);
  EXPECT_EQ(r.AnswerTag[2], 1);
  EXPECT_EQ(r.MXExchange[0], "mx1.real.test");
  EXPECT_EQ(r.MXExchange[1], "mx2.real.test");
}

TEST(DnsDecoder, NameErrorWithoutAnswersDecodes) {
  Msg m;
  m.header(3, 0x8183, 1, 0).name({"nowhere", "test"}).u16(15).u16(1);
  TDnsResponse r;
  ASSERT_EQ(decode(m.b, r), DnsDecodeStatus::Ok);
  EXPECT_EQ(r.ResponseCode, kDnsRcodeNameError);
  EXPECT_EQ(r.ResponseANCount, 0);
  EXPECT_EQ(r.MXRecordCount, 0);
  EXPECT_EQ(r.ARecordCount, 0);
}

TEST(DnsDecoder, LabelFollowedByPointerJoinsWithADot) {
  Msg m;
  m.header(3, 0x8180, 1, 1).name({"bbbbbbb", "ccc"}).u16(15).u16(1);
  m.label("mmmm").ptr(12).rr(kDnsTypeA, 60, 4).u32(0x01020304);
  TDnsResponse r;
  ASSERT_EQ(decode(m.b, r), DnsDecodeStatus::Ok);
  EXPECT_EQ(r.AnswerName[0], "mmmm.bbbbbbb.ccc");
}

TEST(DnsDecoder, RecordsWithTooShortDataAreDroppedFromTheTables) {
  Msg m;
  m.header(3, 0x8180, 1, 5).name({"x", "test"}).u16(15).u16(1);
  m.ptr(12).rr(kDnsTypeMX, 60, 0);                          // no preference at all
  m.ptr(12).rr(kDnsTypeMX, 60, 2).u16(10);                  // preference, no exchange
  m.ptr(12).rr(kDnsTypeMX, 60, 3).u16(10).u8(2);            // exchange runs past its data
  m.ptr(12).rr(kDnsTypeA, 60, 3).u8(1).u8(2).u8(3);         // three address bytes
  m.ptr(12).rr(kDnsTypeMX, 60, 2 + 3).u16(30).name({"m"});  // the one sound record
  TDnsResponse r;
  ASSERT_EQ(decode(m.b, r), DnsDecodeStatus::Ok);
  EXPECT_EQ(r.AnswerCount, 5);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(r.AnswerTag[i], -1) << i;
  EXPECT_EQ(r.AnswerType[3], kDnsTypeA);
  EXPECT_EQ(r.ARecordCount, 0);
  ASSERT_EQ(r.MXRecordCount, 1);
  EXPECT_EQ(r.AnswerTag[4], 0);
  EXPECT_EQ(r.MXPreference[0], 30);
  EXPECT_EQ(r.MXExchange[0], "m");
}

TEST(DnsDecoder, RecordDataPastTheEndIsMalformed) {
  Msg m;
  m.header(3, 0x8180, 1, 1).name({"x"}).u16(15).u16(1);
  m.ptr(12).rr(kDnsTypeA, 60, 5).u32(0x01020304);  // claims 5, has 4
  TDnsResponse r;
  EXPECT_EQ(decode(m.b, r), DnsDecodeStatus::Malformed);
}

// Answers whose single record's owner name is `owner`, placed after a
// question for "a.b" (offsets 12..16, type/class 17..20).
Bytes withOwner(const Bytes& owner) {
  Msg m;
  m.header(3, 0x8180, 1, 1).name({"a", "b"}).u16(15).u16(1);
  m.b.insert(m.b.end(), owner.begin(), owner.end());
  m.rr(kDnsTypeA, 60, 4).u32(0x01020304);
  return m.b;
}

TEST(DnsDecoder, BadCompressionPointersAreMalformed) {
  const unsigned here = 21;  // where the owner name starts
  struct Case {
    const char* what;
    Bytes owner;
  } cases[] = {
      {"pointer to itself", {0xC0, here}},
      {"label then pointer back to its own start", {1, 'x', 0xC0, here}},
      {"forward pointer", {0xC0, here + 2, 0}},
      {"pointer into the header", {0xC0, 4}},
      {"pointer to offset 0", {0xC0, 0}},
      {"pointer past the end", {0xC1, 0xFF}},
      {"pointer cut after its first byte", {0xC0}},
  };
  for (const auto& c : cases) {
    TDnsResponse r;
    EXPECT_EQ(decode(withOwner(c.owner), r), DnsDecodeStatus::Malformed) << c.what;
  }
  // The sound form of the same: a pointer to the question.
  TDnsResponse r;
  ASSERT_EQ(decode(withOwner({0xC0, 12}), r), DnsDecodeStatus::Ok);
  EXPECT_EQ(r.AnswerName[0], "a.b");
}

TEST(DnsDecoder, PointerLoopThroughTwoNamesIsMalformed) {
  // Name A at 21 points to name B at 25 (forward), B points back to A.
  Msg m;
  m.header(3, 0x8180, 1, 1).name({"a", "b"}).u16(15).u16(1);
  m.label("p").ptr(25).label("q").ptr(21);
  std::string name;
  std::size_t next = 0;
  EXPECT_FALSE(ExtractDnsName(m.b, 21, name, next));
  EXPECT_FALSE(ExtractDnsName(m.b, 25, name, next));
}

TEST(DnsDecoder, ChainOfBackwardPointersStopsAtTheLimit) {
  // A chain of pointers, each pointing at the one before, ending at the
  // question: sound but bounded.
  Msg m;
  m.header(3, 0x8180, 1, 0).name({"a", "b"}).u16(15).u16(1);
  unsigned prev = 12;
  std::vector<unsigned> starts;
  for (int i = 0; i < kDnsMaxPointers + 1; ++i) {
    starts.push_back(static_cast<unsigned>(m.size()));
    m.ptr(prev);
    prev = starts.back();
  }
  std::string name;
  std::size_t next = 0;
  ASSERT_TRUE(ExtractDnsName(m.b, starts[kDnsMaxPointers - 1], name, next));
  EXPECT_EQ(name, "a.b");
  EXPECT_EQ(next, starts[kDnsMaxPointers - 1] + 2);
  EXPECT_FALSE(ExtractDnsName(m.b, starts[kDnsMaxPointers], name, next));
}

TEST(DnsDecoder, LabelLengths40ToBFAreMalformed) {
  for (unsigned len = 0x40; len <= 0xBF; ++len) {
    Bytes owner{static_cast<std::uint8_t>(len)};
    owner.resize(1 + (len & 0x3F) + 1, 'x');  // enough bytes for a plain length
    owner.back() = 0;
    TDnsResponse r;
    EXPECT_EQ(decode(withOwner(owner), r), DnsDecodeStatus::Malformed) << std::hex << len;
  }
}

TEST(DnsDecoder, NamesLongerThan255BytesAreMalformed) {
  // Four 63-byte labels chained by pointers: 4*64+1 = 257 encoded bytes.
  Msg m;
  m.header(3, 0x8180, 0, 0);
  const unsigned l1 = static_cast<unsigned>(m.size());
  m.label(std::string(63, 'a')).u8(0);
  const unsigned l2 = static_cast<unsigned>(m.size());
  m.label(std::string(63, 'b')).ptr(l1);
  const unsigned l3 = static_cast<unsigned>(m.size());
  m.label(std::string(63, 'c')).ptr(l2);
  const unsigned l4 = static_cast<unsigned>(m.size());
  m.label(std::string(63, 'd')).ptr(l3);
  const unsigned l5 = static_cast<unsigned>(m.size());
  m.label(std::string(61, 'e')).ptr(l2);  // 62+64+64+1 = 191: fine
  std::string name;
  std::size_t next = 0;
  ASSERT_TRUE(ExtractDnsName(m.b, l3, name, next));
  EXPECT_EQ(name.size(), 3u * 63 + 2);
  EXPECT_FALSE(ExtractDnsName(m.b, l4, name, next));
  ASSERT_TRUE(ExtractDnsName(m.b, l5, name, next));
  EXPECT_EQ(name, std::string(61, 'e') + "." + std::string(63, 'b') + "." + std::string(63, 'a'));
}

TEST(DnsDecoder, StoresAtMostFiftyRecords) {
  Msg m;
  m.header(3, 0x8180, 1, 60).name({"big"}).u16(15).u16(1);
  for (int i = 0; i < 60; ++i) m.ptr(12).rr(kDnsTypeMX, 60, 3).u16(static_cast<unsigned>(i)).u8(0);
  TDnsResponse r;
  ASSERT_EQ(decode(m.b, r), DnsDecodeStatus::Ok);
  EXPECT_EQ(r.AnswerCount, 60);
  EXPECT_EQ(r.MXRecordCount, kDnsTableSize);
  EXPECT_EQ(r.MXPreference[49], 49);
  EXPECT_EQ(r.AnswerTag[49], 49);
}

TEST(DnsDecoder, DecodingResetsEveryTable) {
  TDnsResponse r;
  ASSERT_EQ(decode(validMxAnswer(), r), DnsDecodeStatus::Ok);
  Msg m;
  m.header(3, 0x8183, 1, 0).name({"x"}).u16(15).u16(1);
  ASSERT_EQ(decode(m.b, r), DnsDecodeStatus::Ok);
  EXPECT_EQ(r.MXExchange[0], "");
  EXPECT_EQ(r.AnswerTag[0], -1);
  EXPECT_EQ(r.AnswerType[0], 0);
}

TEST(DnsQuestionMatch, ComparesNameTypeAndClass) {
  std::array<std::uint8_t, kDnsMessageSize> q{};
  const std::size_t n = BuildMxQuery(0x1234, "example.com", q);
  const std::span<const std::uint8_t> query(q.data(), n);
  const Bytes good = validMxAnswer();
  EXPECT_TRUE(DnsQuestionMatches(query, good));

  Bytes upper = good;
  upper[13] = 'E';  // case is not significant
  EXPECT_TRUE(DnsQuestionMatches(query, upper));

  struct Case {
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
    EXPECT_FALSE(DnsQuestionMatches(query, bad)) << c.what;
  }
  EXPECT_FALSE(DnsQuestionMatches(query, Bytes(good.begin(), good.begin() + 20)));
}

}  // namespace
}  // namespace orvane::net
