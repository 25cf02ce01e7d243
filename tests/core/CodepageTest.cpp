#include "core/Codepage.h"

#include <gtest/gtest.h>

namespace orvane {
namespace {

TEST(Codepage, Cp1252RoundTripsEveryByte) {
  std::string all;
  for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
  const std::string utf8 = cp1252ToUtf8(all);
  EXPECT_TRUE(isValidUtf8(utf8));
  EXPECT_EQ(utf8ToCp1252(utf8), all);
}

TEST(Codepage, Cp1252MapsTheHighTable) {
  EXPECT_EQ(cp1252ToUtf8("\x80"), "\xE2\x82\xAC");  // euro sign
  EXPECT_EQ(cp1252ToUtf8("\xE9"), "\xC3\xA9");      // e acute
  EXPECT_EQ(utf8ToCp1252("\xE2\x80\x9C"), "\x93");  // left double quotation mark
}

TEST(Codepage, UnrepresentableAndMalformedBecomeQuestionMarks) {
  EXPECT_EQ(utf8ToCp1252("a\xE4\xB8\xAD"
                         "b"),
            "a?b");                                  // a CJK character
  EXPECT_EQ(utf8ToCp1252("\xF0\x9F\x98\x80"), "?");  // an emoji (4 bytes) is one "?"
  EXPECT_EQ(utf8ToCp1252("x\xC3"), "x?");            // cut sequence
  EXPECT_EQ(utf8ToCp1252("\xFF"), "?");
}

TEST(Codepage, Cp437HighBytes) {
  EXPECT_EQ(cp437ToUtf8("\x81"), "\xC3\xBC");      // u umlaut
  EXPECT_EQ(cp437ToUtf8("\xE1"), "\xC3\x9F");      // sharp s
  EXPECT_EQ(cp437ToUtf8("\xB0"), "\xE2\x96\x91");  // light shade
  EXPECT_EQ(cp437ToUtf8("abc"), "abc");
}

TEST(Codepage, Utf8Validation) {
  struct Case {
    const char* bytes;
    bool valid;
  } cases[] = {
      {"plain", true},
      {"\xC3\xA9", true},
      {"\xC0\xAF", false},          // overlong
      {"\xED\xA0\x80", false},      // surrogate
      {"\xF4\x90\x80\x80", false},  // above U+10FFFF
      {"\xE2\x82", false},
      {"\x80", false},
      {"\xF0\x9F\x98\x80", true},
  };
  for (const auto& c : cases) EXPECT_EQ(isValidUtf8(c.bytes), c.valid) << c.bytes;
}

TEST(Codepage, UpperCaseIsUnicode) {
  EXPECT_EQ(toUpperUtf8("abc@example.com"), "ABC@EXAMPLE.COM");
  EXPECT_EQ(toUpperUtf8("m\xC3\xBCller"), "M\xC3\x9CLLER");        // u umlaut
  EXPECT_EQ(toUpperUtf8("\xD0\xB0\xD0\xB1"), "\xD0\x90\xD0\x91");  // Cyrillic
}

}  // namespace
}  // namespace orvane
