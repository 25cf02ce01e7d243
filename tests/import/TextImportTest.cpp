#include "import/TextImport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace orvane {
namespace {

using Fields = std::vector<std::string>;

TEST(SourceKind, FromTheExtension) {
  for (const char* path : {"a/list.dbf", "C:\\x\\LIST.DBF", "list.Dbf"}) {
    EXPECT_EQ(sourceKindOf(path), SourceKind::DBase) << path;
  }
  for (const char* path :
       {"list.csv", "list.txt", "list.dbf.txt", "list", "dir.dbf/list", "listdbf"}) {
    EXPECT_EQ(sourceKindOf(path), SourceKind::Text) << path;
  }
}

TEST(SplitFields, Cases) {
  const struct {
    std::string line;
    Fields want;
  } cases[] = {
      {"a,b,c", {"a", "b", "c"}},
      {"", {""}},
      {"a", {"a"}},
      {"a,b,", {"a", "b"}},  // a trailing comma gives no empty last field
      {"a,,b", {"a", "", "b"}},
      {",", {""}},
      {",a", {"", "a"}},
      {"a,b,,", {"a", "b", ""}},
      {"\"Doe, Jane\",jane@example.com,\"Acme, Inc.\"",  // quotes removed
       {"Doe, Jane", "jane@example.com", "Acme, Inc."}},
      {"\"Smith, John\" ,x", {"Smith, John", "x"}},
      {"  a  ,\tb\t, c ", {"a", "b", "c"}},
      {"\" spaced \",x", {"spaced", "x"}},
      {"say \"\"hi\"\",x", {"say hi", "x"}},  // doubled quotes vanish
      {"a;b\tc,d", {"a;b\tc", "d"}},          // only commas separate
      {"\"open, never closed", {"open, never closed"}},
      {"x\"y,z\"w,v", {"xy,zw", "v"}},  // the quote state runs within the field
      {std::string("a\0b,c", 5), {std::string("a\0b", 3), "c"}},
  };
  // One output vector for every case: what a longer line left must not stay.
  Fields out = {"old1", "old2", "old3", "old4"};
  for (const auto& c : cases) {
    splitFields(c.line, out);
    EXPECT_EQ(out, c.want) << c.line;
    EXPECT_EQ(splitFields(c.line), c.want) << c.line;
  }
}

TEST(SplitFields, LinearOnHugeInput) {
  // A million fields, and one 20 MB field that opens a quote and never closes
  // it: both must be a single pass (a quadratic split would take minutes).
  std::string many;
  many.reserve(2'000'000);
  for (int i = 0; i < 1'000'000; ++i) many += "x,";
  Fields out;
  splitFields(many, out);
  EXPECT_EQ(out.size(), 1'000'000u);
  std::string quoted = "\"" + std::string(20'000'000, ',');
  splitFields(quoted, out);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].size(), 20'000'000u);
}

TEST(DetectEmailField, Order) {
  const struct {
    Fields items;
    std::size_t index;
    std::optional<FirstLine> firstLine;
  } cases[] = {
      {{"Name", "E-Mail", "Company"}, 1, FirstLine::Header},
      {{"name", "EMAIL"}, 1, FirstLine::Header},
      {{"e-mail", "Email"}, 1, FirstLine::Header},  // "email" is searched first
      {{"x@y", "e-mail"}, 1, FirstLine::Header},
      {{"Jane", "jane@example.com", "b@c"}, 1, FirstLine::Data},
      {{"Jane", "Acme"}, 0, std::nullopt},
      {{"my email"}, 0, std::nullopt},  // matched as a whole only
      {{}, 0, std::nullopt},
  };
  for (const auto& c : cases) {
    const auto g = detectEmailField(c.items);
    EXPECT_EQ(g.index, c.index);
    EXPECT_EQ(g.firstLine, c.firstLine);
  }
}

TEST(TextFile, LinesAndLineCount) {
  const struct {
    const char* text;
    Fields lines;
    std::uint64_t count;
  } cases[] = {
      {"", {}, 1},
      {"a", {"a"}, 1},
      {"a\n", {"a"}, 1},
      {"a\nb", {"a", "b"}, 2},
      {"a\r\nb\r\n", {"a", "b"}, 2},
      {"a\rb\r", {"a", "b"}, 2},
      {"a\n\n  \nb\n", {"a", "", "  ", "b"}, 4},
      {"\n", {""}, 1},
      {"\r\n\r\n", {"", ""}, 2},
  };
  for (const auto& c : cases) {
    TextFile f{std::string(c.text)};
    Fields got;
    while (!f.atEnd()) got.emplace_back(f.readLine());
    EXPECT_EQ(got, c.lines) << c.text;
    EXPECT_EQ(f.lineCount(), c.count) << c.text;
    f.rewind();
    EXPECT_EQ(f.atEnd(), c.lines.empty());
  }
}

}  // namespace
}  // namespace orvane
