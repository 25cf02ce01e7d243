#include "import/Importer.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "core/RecipientList.h"
#include "tests/import/DbfBuilder.h"
#include "tests/support/TestHelpers.h"

namespace orvane {
namespace {

using testing::DbfBuilder;
using testing::thrownMessage;
using Strings = std::vector<std::string>;
using Table = std::vector<Strings>;
using Steps = std::vector<std::uint64_t>;

Strings captions(const RecipientList& list) {
  Strings out;
  for (const auto& c : list.columns()) out.push_back(c.caption);
  return out;
}

// Each entry as its e-mail followed by its sub-items (result text first).
Table rows(const RecipientList& list) {
  Table out;
  for (const auto& e : list.entries()) {
    out.push_back({std::string(e.email())});
    for (const auto& s : e.subItems()) out.back().push_back(s);
  }
  return out;
}

// UTF-16 with a byte-order mark, in either byte order.
std::string utf16(std::u16string_view text, bool bigEndian) {
  std::string out = bigEndian ? "\xFE\xFF" : "\xFF\xFE";
  for (const char16_t u : text) {
    const char hi = static_cast<char>(u >> 8), lo = static_cast<char>(u & 0xFF);
    out += bigEndian ? hi : lo;
    out += bigEndian ? lo : hi;
  }
  return out;
}

// The first line of the error a damaged table throws.
std::string firstLine(const std::string& report) {
  return report.substr(0, report.find('\r'));
}

class ImporterTest : public ::testing::Test {
 protected:
  // Imports the file `name` holding `bytes` with the detected settings.
  std::size_t import(const std::string& name, const std::string& bytes) {
    return Importer(dir_.write(name, bytes)).run(list_);
  }
  testing::TempDir dir_;
  RecipientList list_;
};

TEST_F(ImporterTest, HeaderLineNameEmailCompanyInReplaceMode) {
  list_.addEntry("old@example.com", {});
  Importer imp(dir_.write("a.csv",
                          "Name,E-Mail,Company\nJane Doe,jane@example.com,Acme\n"
                          "John Roe,john@example.org,Globex\n"));
  EXPECT_EQ(imp.kind(), SourceKind::Text);
  EXPECT_EQ(imp.fieldNames(), (Strings{"Name", "E-Mail", "Company"}));
  EXPECT_EQ(imp.emailField(), 1u);
  EXPECT_EQ(imp.firstLine(), FirstLine::Header);
  EXPECT_EQ(imp.progressMaximum(), 3u);
  imp.setReplace(true);
  EXPECT_EQ(imp.run(list_), 2u);
  EXPECT_EQ(captions(list_), (Strings{"Email", "Result", "Name", "Company"}));
  EXPECT_EQ(list_.columns()[2].width, 120);
  EXPECT_EQ(rows(list_), (Table{{"jane@example.com", "", "Jane Doe", "Acme"},
                                {"john@example.org", "", "John Roe", "Globex"}}));
  for (const auto& e : list_.entries()) {
    EXPECT_EQ(e.checkState, 1);
    EXPECT_EQ(e.resultState, kNotValidated);
    EXPECT_EQ(e.log(), (TransactionLog{"-999"}));
  }
  EXPECT_TRUE(list_.modified());
  EXPECT_FALSE(list_.updating());
}

TEST_F(ImporterTest, OneAddressPerLineWithBlankLinesCountingProgress) {
  Importer imp(dir_.write("a.txt", "a@x.org\r\n\r\n   \r\nb@x.org\r\n\t\r\nc@x.org"));
  EXPECT_EQ(imp.progressMaximum(), 6u);
  Steps steps;
  imp.setProgress([&](std::uint64_t s) { steps.push_back(s); });
  EXPECT_EQ(imp.run(list_), 3u);
  EXPECT_EQ(steps, (Steps{1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(captions(list_), (Strings{"Email", "Result"}));
  EXPECT_EQ(rows(list_), (Table{{"a@x.org", ""}, {"b@x.org", ""}, {"c@x.org", ""}}));
}

// Quoting as RFC 4180 writes it, trailing separators, short rows, a row
// without an address, and a source field called "Result" (a column of its
// own); progress counts records, a quoted line end inside one.
TEST_F(ImporterTest, QuotedFieldsShortRowsAndAResultField) {
  Importer imp(dir_.write("a.csv",
                          "email,name,Result\r\n"
                          "\"a@x.org\",\"Doe, \"\"JJ\"\"\",\"ok\",\r\n"
                          "b@x.org,\"line 1\r\nline 2\",\r\n"
                          "\r\n"
                          "c@x.org\n"
                          ",Nobody,bad\n"));
  EXPECT_EQ(imp.firstLine(), FirstLine::Header);
  EXPECT_EQ(imp.progressMaximum(), 6u);  // the header, four rows and a blank line
  Steps steps;
  imp.setProgress([&](std::uint64_t s) { steps.push_back(s); });
  EXPECT_EQ(imp.run(list_), 4u);
  EXPECT_EQ(steps, (Steps{1, 2, 3, 4, 5}));
  EXPECT_EQ(captions(list_), (Strings{"Email", "Result", "name", "Result"}));
  EXPECT_EQ(rows(list_), (Table{{"a@x.org", "", "Doe, \"JJ\"", "ok"},
                                {"b@x.org", "", "line 1\r\nline 2", ""},
                                {"c@x.org", "", "", ""},
                                {"", "", "Nobody", "bad"}}));
}

TEST_F(ImporterTest, AppendingASecondFileReusesColumnsWhateverTheCase) {
  import("a.csv", "Email,Name,Company\na@x.org,Ann,Acme\n");
  import("b.csv", "COMPANY,email,NAME,Phone\nGlobex,b@x.org,Bob,123\n");
  EXPECT_EQ(captions(list_), (Strings{"Email", "Result", "Name", "Company", "Phone"}));
  EXPECT_EQ(rows(list_),
            (Table{{"a@x.org", "", "Ann", "Acme", ""}, {"b@x.org", "", "Bob", "Globex", "123"}}));
}

TEST_F(ImporterTest, ReplaceRemovesPreviousEntriesAndColumnsEvenWhenCancelledAfterTheFirstRow) {
  import("a.csv", "Email,Old\na@x.org,1\nb@x.org,2\n");
  ASSERT_EQ(list_.count(), 2u);
  Importer second(dir_.write("b.csv", "Email,New\nc@x.org,3\nd@x.org,4\ne@x.org,5\n"));
  second.setReplace(true);
  second.setProgress([&](std::uint64_t step) {
    if (step == 1) second.cancel();  // "Yes" to the question while the first row is read
  });
  EXPECT_EQ(second.run(list_), 1u);
  EXPECT_TRUE(second.cancelled());
  EXPECT_EQ(captions(list_), (Strings{"Email", "Result", "New"}));
  EXPECT_EQ(rows(list_), (Table{{"c@x.org", "", "3"}}));
  EXPECT_FALSE(list_.updating());
}

TEST_F(ImporterTest, CancelKeepsRowsAlreadyAddedInAppendMode) {
  list_.addEntry("keep@x.org", {});
  std::string text;
  for (int i = 0; i < 20000; ++i) text += "u" + std::to_string(i) + "@x.org\n";
  Importer imp(dir_.write("a.txt", text));
  imp.setProgress([&](std::uint64_t step) {
    if (step == 12345) imp.cancel();
  });
  EXPECT_EQ(imp.run(list_), 12345u);
  ASSERT_EQ(list_.count(), 12346u);
  EXPECT_EQ(list_.entry(0).email(), "keep@x.org");
  EXPECT_EQ(list_.entry(12345).email(), "u12344@x.org");
}

TEST_F(ImporterTest, ColumnLimitOf255) {
  std::string header = "Email", row = "a@x.org";
  for (int i = 0; i < 300; ++i) {
    header += ",F" + std::to_string(i);
    row += ",v" + std::to_string(i);
  }
  import("a.csv", header + "\n" + row + "\n");
  ASSERT_EQ(list_.columnCount(), 255u);
  EXPECT_EQ(list_.columns()[254].caption, "F252");
  const Entry& e = list_.entry(0);
  EXPECT_EQ(e.subItemCount(), 254u);
  EXPECT_EQ(e.subItem(1), "v0");
  EXPECT_EQ(e.subItem(253), "v252");
}

TEST_F(ImporterTest, ColumnsFrom255OnReceiveEmptyValues) {
  // A list that already has more than 255 columns (a loaded project).
  std::vector<Column> columns = RecipientList::defaultColumns();
  for (int i = 2; i < 260; ++i) columns.push_back({"C" + std::to_string(i), 50});
  list_.replaceAll(columns, {});
  import("a.csv", "Email,C3,C257\na@x.org,three,twohundredfiftyseven\n");
  ASSERT_EQ(list_.columnCount(), 260u);
  const Entry& e = list_.entry(0);
  ASSERT_EQ(e.subItemCount(), 259u);
  EXPECT_EQ(e.subItem(2), "three");
  EXPECT_EQ(e.subItem(256), "");
}

TEST_F(ImporterTest, OptionsOverrideTheDetection) {
  Importer imp(dir_.write("a.csv", "Email,Other\nx@x.org,y@y.org\n"));
  EXPECT_TRUE(imp.selectEmailField("other"));
  EXPECT_EQ(imp.emailField(), 1u);
  EXPECT_TRUE(imp.selectEmailField("1"));
  EXPECT_EQ(imp.emailField(), 0u);
  for (const char* bad : {"3", "0", "nope"}) EXPECT_FALSE(imp.selectEmailField(bad)) << bad;
  EXPECT_EQ(imp.emailField(), 0u);
  imp.setEmailField(1);
  imp.setFirstLine(FirstLine::Data);
  imp.run(list_);
  EXPECT_EQ(captions(list_), (Strings{"Email", "Result", "Email"}));
  EXPECT_EQ(rows(list_), (Table{{"Other", "", "Email"}, {"y@y.org", "", "x@x.org"}}));
}

TEST_F(ImporterTest, TextEncodingsDetectedAndChosen) {
  const std::u16string text = u"Email,Name\r\nz@x.org,Zo\u00EB \U0001F600\r\n";
  const std::string bom = "\xEF\xBB\xBF";
  const struct {
    std::string bytes;
    TextEncoding detected;
    std::string name;
  } cases[] = {{bom + "Email,Name\nz@x.org,Zo\xC3\xAB\n", TextEncoding::Utf8, "Zoë"},
               {"Email,Name\nz@x.org,M\xFCller \x80\n", TextEncoding::Windows1252, "Müller €"},
               {utf16(text, false), TextEncoding::Utf16LE, "Zoë 😀"},
               {utf16(text, true), TextEncoding::Utf16BE, "Zoë 😀"}};
  // The byte-order marks do not hide "Email" from the detection.
  for (const auto& c : cases) {
    RecipientList list;
    Importer imp(dir_.write("u.csv", c.bytes));
    EXPECT_EQ(imp.detectedEncoding(), c.detected);
    EXPECT_EQ(imp.firstLine(), FirstLine::Header);
    imp.run(list);
    EXPECT_EQ(rows(list), (Table{{"z@x.org", "", c.name}}));
  }
  // A UTF-8 file read as Windows-1252 on request, then back; the choices
  // read the field names again.
  Importer imp(dir_.write("a.csv", "Zoë,Email\nz@x.org,x\n"));
  imp.setEncoding(TextEncoding::Windows1252);
  EXPECT_EQ(imp.encoding(), TextEncoding::Windows1252);
  EXPECT_EQ(imp.detectedEncoding(), TextEncoding::Utf8);
  EXPECT_EQ(imp.fieldNames(), (Strings{"ZoÃ«", "Email"}));
  EXPECT_EQ(imp.emailField(), 1u);
  imp.setEncoding(TextEncoding::Utf8);
  EXPECT_EQ(imp.fieldNames(), (Strings{"Zoë", "Email"}));
  // A file that can no longer be read leaves everything as it was.
  std::filesystem::remove(dir_.path() / "a.csv");
  EXPECT_THROW(imp.setEncoding(TextEncoding::Utf16LE), ImportError);
  EXPECT_EQ(imp.encoding(), TextEncoding::Utf8);
  EXPECT_EQ(imp.run(list_), 1u);
}

TEST_F(ImporterTest, PreviewShowsTheRowsToComeWithoutConsumingThem) {
  Importer imp(
      dir_.write("a.csv", "Email,Name\n\na@x.org,Ann\n\"b@x.org\",\"B\nB\"\n  \nc@x.org,C\n"));
  EXPECT_EQ(imp.previewRows(2), (Table{{"a@x.org", "Ann"}, {"b@x.org", "B\nB"}}));
  EXPECT_EQ(imp.previewRows(10).size(), 3u);
  EXPECT_EQ(imp.previewRows(0), Table{});
  imp.setFirstLine(FirstLine::Data);
  EXPECT_EQ(imp.previewRows(1), (Table{{"Email", "Name"}}));
  imp.setFirstLine(FirstLine::Header);
  EXPECT_EQ(imp.run(list_), 3u);

  DbfBuilder b;
  b.fields = {{"email", 'C', 10}, {"name", 'C', 5}};
  b.add({" a@x.org", "Ann"}).add({"b@x.org", "Bob"}, /*deleted=*/true).add({"c@x.org", "C"});
  Importer table(dir_.write("t.dbf", b.build()));
  EXPECT_EQ(table.previewRows(2), (Table{{"a@x.org", "Ann"}, {"b@x.org", "Bob"}}));
  RecipientList list;
  EXPECT_EQ(table.run(list), 3u);
}

TEST_F(ImporterTest, UnreadableSourcesThrowFromTheConstructor) {
  EXPECT_THROW(Importer(dir_.file("none.csv")), ImportError);
  const std::string path = dir_.write("t.dbf", "not a table at all, just some text, long enough");
  EXPECT_EQ(firstLine(thrownMessage<EDbfError>([&] { Importer imp(path); })),
            "Error # 210 (Not a dBASE data file)");
}

TEST_F(ImporterTest, TableImportsDeletedRecordsWithTrimmedValuesInItsCodePage) {
  DbfBuilder b;
  b.fields = {{"name", 'C', 10}, {"email", 'C', 30}, {"score", 'N', 5}};
  b.add({"  Ann", "  a@x.org", "   12"});
  b.add({"Bob", "b@x.org", "    7"}, /*deleted=*/true);
  b.add({"Bj\x94rn", "j@x.org", ""});
  const std::string path = dir_.write("t.DBF", b.build());
  Importer imp(path);
  EXPECT_EQ(imp.kind(), SourceKind::DBase);
  EXPECT_EQ(imp.fieldNames(), (Strings{"NAME", "EMAIL", "SCORE"}));
  EXPECT_EQ(imp.emailField(), 1u);
  EXPECT_EQ(imp.progressMaximum(), 3u);
  EXPECT_EQ(imp.detectedCodePage(), DbfCodePage::Cp437);
  EXPECT_EQ(imp.codePageOrigin(), DbfCodePageOrigin::TableLanguage);
  imp.setFirstLine(FirstLine::Header);  // plays no part for tables
  std::uint64_t steps = 0;
  imp.setProgress([&](std::uint64_t s) { steps = s; });
  EXPECT_EQ(imp.run(list_), 3u);
  EXPECT_EQ(steps, 3u);
  EXPECT_EQ(captions(list_), (Strings{"Email", "Result", "NAME", "SCORE"}));
  EXPECT_EQ(rows(list_), (Table{{"a@x.org", "", "Ann", "12"},
                                {"b@x.org", "", "Bob", "7"},
                                {"j@x.org", "", "Björn", ""}}));
  // A chosen code page applies to the import.
  Importer chosen(path);
  chosen.setCodePage(DbfCodePage::Windows1252);
  EXPECT_EQ(chosen.codePage(), DbfCodePage::Windows1252);
  EXPECT_EQ(chosen.detectedCodePage(), DbfCodePage::Cp437);
  RecipientList list;
  chosen.run(list);
  EXPECT_EQ(rows(list).back(), (Strings{"j@x.org", "", "Bj”rn", ""}));
}

TEST_F(ImporterTest, DamagedTableKeepsTheRowsReadAndEndsTheUpdate) {
  DbfBuilder b;
  b.fields = {{"email", 'C', 10}};
  for (int i = 0; i < 10000; ++i) b.add({"r" + std::to_string(i)});
  b.recordCount = 10001;  // the file holds one record less than the header says
  Importer imp(dir_.write("t.dbf", b.build()));
  EXPECT_EQ(firstLine(thrownMessage<EDbfError>([&] { imp.run(list_); })),
            "Error # 213 (End of file found unexpectedly)");
  EXPECT_EQ(list_.count(), 10000u);
  EXPECT_FALSE(list_.updating());
  EXPECT_FALSE(imp.running());
}

}  // namespace
}  // namespace orvane
