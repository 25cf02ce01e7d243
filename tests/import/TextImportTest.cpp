#include "import/TextImport.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace orvane::import {
namespace {

using namespace std::string_literals;
using Fields = std::vector<std::string>;
using Records = std::vector<Fields>;

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
    char separator = ',';
  } cases[] = {
      {"", {""}},
      {"a,b,", {"a", "b"}},  // a trailing separator gives no empty last field
      {",a", {"", "a"}},
      {"a,b,,", {"a", "b", ""}},
      {"\"Doe, Jane\",jane@example.com,\"Acme, Inc.\"",  // quotes removed
       {"Doe, Jane", "jane@example.com", "Acme, Inc."}},
      {"  a  ,\tb\t, c ", {"a", "b", "c"}},
      {"\" spaced \",x", {"spaced", "x"}},
      {"say \"\"hi\"\",x", {"say hi", "x"}},  // quotes inside an unquoted field still vanish
      {"a;b\tc,d", {"a;b\tc", "d"}},          // only the separator separates
      {"\"open, never closed", {"open, never closed"}},
      {"x\"y,z\"w,v", {"xy,zw", "v"}},  // a quote inside a field holds separators too
      {"a\0b,c"s, {"a\0b"s, "c"}},
      // RFC 4180: a doubled quote inside a quoted field is one quote.
      {"\"say \"\"hi\"\"\",x", {"say \"hi\"", "x"}},
      {"\"\"\"\"", {"\""}},
      {"\"\",x", {"", "x"}},
      {"\"a,b\"c,d", {"a,bc", "d"}},  // text after the closing quote stays in the field
      {" \"b,c\" ,d", {"b,c", "d"}},  // blanks before the opening quote
      {"\"a\r\nb\",c", {"a\r\nb", "c"}},
      {"\"a;b\";c;", {"a;b", "c"}, ';'},
      {"\t\"x\"\t y ", {"", "x", "y"}, '\t'},  // a tab separator is no blank before a quote
      {"a\t\tb", {"a", "", "b"}, '\t'}};
  // One output vector for every case: what a longer line left must not stay.
  Fields out = {"old1", "old2", "old3", "old4"};
  for (const auto& c : cases) {
    splitFields(c.line, out, c.separator);
    EXPECT_EQ(out, c.want) << c.line;
  }
}

// Reads every record of `text`; checks on the way that each record's text
// splits into the same fields and that countRecords agrees.
Records readAll(std::string_view text, char separator = ',') {
  RecordReader reader(text, separator);
  Records records;
  Fields fields;
  while (!reader.atEnd()) {
    const std::string_view raw = reader.next(fields);
    EXPECT_EQ(splitFields(raw, separator), fields) << raw;
    records.push_back(fields);
  }
  EXPECT_EQ(countRecords(text, separator), records.empty() ? 1u : records.size());
  return records;
}

TEST(RecordReader, RecordsAndTheirCount) {
  const std::pair<std::string, Records> cases[] = {
      {"", {}},
      {"a\nb", {{"a"}, {"b"}}},
      {"a\r\nb\r\n", {{"a"}, {"b"}}},
      {"a\rb\r", {{"a"}, {"b"}}},
      {"a\n\n  \nb\n", {{"a"}, {""}, {""}, {"b"}}},
      {"a,\nb", {{"a"}, {"b"}}},
      // Line ends inside a quoted field belong to the field.
      {"\"a\nb\",c\nd", {{"a\nb", "c"}, {"d"}}},
      {"\"a\r\nb\"\r\nc\r\n", {{"a\r\nb"}, {"c"}}},
      {"\"a\rb\"\r", {{"a\rb"}}},
      {"x,\"y\"\"\nz\"\n", {{"x", "y\"\nz"}}},
      {"Name,Note\n\"Doe, Jane\",\"one\n\ntwo, three\"\nb,c",
       {{"Name", "Note"}, {"Doe, Jane", "one\n\ntwo, three"}, {"b", "c"}}},
      // A quote inside an unquoted field never reaches past its line.
      {"O\"Brien,a@x.org\nb@x.org\n", {{"OBrien,a@x.org"}, {"b@x.org"}}},
      // A quote opening a field that never closes takes its line only.
      {"\"open\nb@x.org\nc@x.org", {{"open"}, {"b@x.org"}, {"c@x.org"}}},
      {"a\n\"b\nc\"\"\n", {{"a"}, {"b"}, {"c"}}},
      {"\"\"\"\n\"\"\n", {{"\""}, {""}}}};
  for (const auto& [text, want] : cases) EXPECT_EQ(readAll(text), want) << text;
  EXPECT_EQ(readAll("a;\"b;\nc\";d\n", ';'), (Records{{"a", "b;\nc", "d"}}));
}

// Every prefix of a text with quoted fields, held in a buffer of exactly its
// size, reads without touching a byte past it, and once it holds the closing
// quote gives the whole first field.
TEST(RecordReader, EveryTruncationOfQuotedFields) {
  const std::string full =
      "\"Doe, \"\"J\"\"\r\nJane\",jane@x.org\r\n\"b\"\"\",\"c\nd\"\r\n\"\"\"\"\n";
  const std::size_t closed = full.find("\",jane");
  for (std::size_t n = 0; n <= full.size(); ++n) {
    SCOPED_TRACE(n);
    const auto buffer = std::make_unique<char[]>(n == 0 ? 1 : n);
    full.copy(buffer.get(), n);
    const Records records = readAll(std::string_view(buffer.get(), n));
    ASSERT_LE(records.size(), n == 0 ? 0u : n);
    if (n > closed) {
      ASSERT_FALSE(records.empty());
      EXPECT_EQ(records[0][0], "Doe, \"J\"\r\nJane");
    }
  }
  EXPECT_EQ(readAll(full),
            (Records{{"Doe, \"J\"\r\nJane", "jane@x.org"}, {"b\"", "c\nd"}, {"\""}}));
}

// Splitting and reading records are single passes: a quadratic scan of these
// inputs would take minutes.
TEST(RecordReader, LinearOnHugeInput) {
  // A million fields, and one 20 MB field that opens a quote and never closes it.
  std::string many;
  for (int i = 0; i < 1'000'000; ++i) many += "x,";
  Fields fields;
  splitFields(many, fields);
  EXPECT_EQ(fields.size(), 1'000'000u);
  splitFields("\"" + std::string(20'000'000, ','), fields);
  ASSERT_EQ(fields.size(), 1u);
  EXPECT_EQ(fields[0].size(), 20'000'000u);
  // A quote that never closes before a million lines, and one whose doubled
  // quotes reach the end of the text: each line is a record of its own.
  std::string unclosed = "\"", doubled = "\"";
  for (int i = 0; i < 1'000'000; ++i) {
    unclosed += "x,y\n";
    doubled += "\"\"\n";
  }
  EXPECT_EQ(countRecords(unclosed), 1'000'000u);
  EXPECT_EQ(countRecords(doubled), 1'000'000u);
  // One record of 100 MB: a quoted field holding a line end between two halves.
  std::string big = "\"";
  big.append(50'000'000, 'x').append("\n").append(50'000'000, 'x').append("\",a@x.org\n");
  EXPECT_EQ(countRecords(big), 1u);
  RecordReader bigReader(big);
  bigReader.next(fields);
  ASSERT_EQ(fields.size(), 2u);
  EXPECT_EQ(fields[0].size(), 100'000'001u);
  EXPECT_EQ(fields[1], "a@x.org");
}

TEST(DetectSeparator, FirstRecordOutsideQuotes) {
  const std::pair<std::string, Separator> cases[] = {
      {"", Separator::Comma},
      {"a,b;c;d", Separator::Semicolon},
      {"a\tb\tc,d", Separator::Tab},
      {"a,b;c", Separator::Comma},  // ties go to the comma
      {"a\tb;c", Separator::Semicolon},
      {"a;b\nc,d,e,f", Separator::Semicolon},  // the first record only
      {"\"x\ny,z,w\";a;b\nc,d,e,f,g", Separator::Semicolon}};
  for (const auto& [text, want] : cases) EXPECT_EQ(detectSeparator(text), want) << text;
}

// Without a chosen encoding the detected one decodes; a chosen one overrides it.
TEST(TextEncoding, DetectionAndDecoding) {
  const std::string bom = "\xEF\xBB\xBF", le = "\xFF\xFE", be = "\xFE\xFF";
  const std::string smiley = "\xF0\x9F\x98\x80", replacement = "\xEF\xBF\xBD";
  const struct {
    std::string bytes;
    TextEncoding encoding;  // detected, or chosen
    std::string text;
    bool chosen = false;
  } cases[] = {{"", TextEncoding::Utf8, ""},
               {"Zo\xC3\xAB", TextEncoding::Utf8, "Zo\xC3\xAB"},
               {bom + "ab", TextEncoding::Utf8, "ab"},
               {"M\xFCller \x80", TextEncoding::Windows1252, "M\xC3\xBCller \xE2\x82\xAC"},
               {bom + "M\xFC", TextEncoding::Windows1252, "M\xC3\xBC"},
               {le + "a\0\xE9\0"s, TextEncoding::Utf16LE, "a\xC3\xA9"},
               {be + "\0a\0\xE9"s, TextEncoding::Utf16BE, "a\xC3\xA9"},
               // U+1F600 as a surrogate pair.
               {le + "\x3D\xD8\x00\xDE"s, TextEncoding::Utf16LE, smiley},
               // Unpaired surrogates, and an odd trailing byte.
               {le + "\x3D\xD8", TextEncoding::Utf16LE, replacement},
               {le + "\x00\xDE\x3D\xD8\x3D\xD8\x00\xDE"s, TextEncoding::Utf16LE,
                replacement + replacement + smiley},
               {le + "a\0b"s, TextEncoding::Utf16LE, "a"},
               {"M\xFCller", TextEncoding::Utf8, "M\xEF\xBF\xBDller", true},
               {"\xC3\xB6", TextEncoding::Windows1252, "\xC3\x83\xC2\xB6", true},
               {"a\0"s, TextEncoding::Utf16LE, "a", true},
               {"\0a"s, TextEncoding::Utf16BE, "a", true}};
  for (const auto& c : cases) {
    if (!c.chosen) {
      EXPECT_EQ(detectTextEncoding(c.bytes), c.encoding) << c.bytes;
    }
    EXPECT_EQ(c.chosen ? decodeTextBytes(c.bytes, c.encoding) : decodeTextBytes(c.bytes), c.text)
        << c.bytes;
  }
}

// The name grammar: an optional word before the core, digits, an optional word after.
TEST(EmailColumnName, KnownNames) {
  const Fields names = {
      "email",         "mail",     "Courriel",           "Email Address",
      "email_address", "E-mail 2", "E-mail 1 - Value",   "Adresse e-mail",
      "E-mailadres",   "e.mail:",  "Correo electrónico", "Dirección de correo electrónico"};
  for (const auto& name : names) EXPECT_TRUE(isEmailColumnName(name)) << name;
  const Fields others = {"",         "Name",          "E-mail Type", "E-mail Display Name",
                         "my email", "Email opt-out", "Address",     "emails",
                         "x@mail",   "Mailing list"};
  for (const auto& name : others) EXPECT_FALSE(isEmailColumnName(name)) << name;
}

TEST(DetectEmailField, Order) {
  const struct {
    Fields items;
    std::size_t index;
    std::optional<FirstLine> firstLine;
  } cases[] = {{{"Name", "E-Mail", "Company"}, 1, FirstLine::Header},
               {{"e-mail", "Email"}, 1, FirstLine::Header},  // "email" is searched first
               {{"x@y", "e-mail"}, 1, FirstLine::Header},
               {{"Jane", "jane@example.com", "b@c"}, 1, FirstLine::Data},
               {{"Jane", "Acme"}, 0, std::nullopt},
               {{}, 0, std::nullopt},
               // Other e-mail column names imply a header too, in item order...
               {{"E-mail Type", "Courriel", "Mail"}, 1, FirstLine::Header},
               {{"E-Mail Address", "email"}, 1, FirstLine::Header},
               // ...but not on a line holding an address: that line is data.
               {{"John", "Mail", "john@x.org"}, 2, FirstLine::Data}};
  for (const auto& c : cases) {
    const auto g = detectEmailField(c.items);
    EXPECT_EQ(g.index, c.index);
    EXPECT_EQ(g.firstLine, c.firstLine);
  }
}

}  // namespace
}  // namespace orvane::import
