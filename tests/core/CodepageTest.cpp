#include "core/Codepage.h"

#include <gtest/gtest.h>

namespace orvane {
namespace {

TEST(Codepage, Cp1252RoundTripsEveryByteAndMarksWhatItCannotHold) {
  std::string all;
  for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
  const std::string utf8 = cp1252ToUtf8(all);
  EXPECT_TRUE(isValidUtf8(utf8));
  EXPECT_EQ(utf8ToCp1252(utf8), all);
  EXPECT_EQ(cp1252ToUtf8("\x80\xE9"), "\xE2\x82\xAC\xC3\xA9");  // euro sign, e acute
  EXPECT_EQ(utf8ToCp1252("\xE2\x80\x9C"), "\x93");              // left double quotation mark
  // One "?" each for a CJK character, an emoji (4 bytes), a cut sequence, a stray byte.
  EXPECT_EQ(utf8ToCp1252("a\xE4\xB8\xAD|\xF0\x9F\x98\x80|x\xC3|\xFF"), "a?|?|x?|?");
}

TEST(Codepage, Cp437AndUpperCase) {
  std::string text = "x";  // appended to
  appendSingleByteAsUtf8(cp437HighHalf(), "a\x81\xE1\xB0", text);
  EXPECT_EQ(text, "xa\xC3\xBC\xC3\x9F\xE2\x96\x91");  // u umlaut, sharp s, shade
  EXPECT_EQ(toUpperUtf8("abc@x.com m\xC3\xBCller \xD0\xB0\xD0\xB1"),
            "ABC@X.COM M\xC3\x9CLLER \xD0\x90\xD0\x91");  // Latin, u umlaut, Cyrillic
}

TEST(Codepage, Utf8Validation) {
  EXPECT_TRUE(isValidUtf8("plain \xC3\xA9 \xF0\x9F\x98\x80"));
  for (const char* bad : {"\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xE2\x82", "\x80"}) {
    EXPECT_FALSE(isValidUtf8(bad)) << bad;  // overlong, surrogate, too big, cut, stray
  }
}

}  // namespace
}  // namespace orvane
