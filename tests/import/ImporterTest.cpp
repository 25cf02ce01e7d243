#include "import/Importer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/RecipientList.h"
#include "tests/import/DbfBuilder.h"
#include "tests/support/TestHelpers.h"

namespace orvane::import {
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

class ImporterTest : public ::testing::Test {
 protected:
  std::size_t import(const std::string& name, const std::string& bytes) {
    return Importer(dir_.write(name, bytes)).run(list_);
  }
  testing::TempDir dir_;
  RecipientList list_;
};

TEST_F(ImporterTest, OneAddressPerLineWithBlankLinesCountingProgress) {
  Importer imp(dir_.write("a.txt", "a@x.org\r\n\r\n   \r\nb@x.org\r\n\t\r\nc@x.org"));
  EXPECT_EQ(imp.progressMaximum(), 6u);
  Steps steps;
  imp.setProgress([&](std::uint64_t s) { steps.push_back(s); });
  EXPECT_EQ(imp.run(list_), 3u);
  EXPECT_EQ(steps, (Steps{1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(captions(list_), (Strings{"Email", "Result"}));
  EXPECT_EQ(rows(list_), (Table{{"a@x.org", ""}, {"b@x.org", ""}, {"c@x.org", ""}}));
  for (const auto& e : list_.entries()) {
    EXPECT_EQ(e.checkState, 1);
    EXPECT_EQ(e.resultState, kNotValidated);
  }
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

// Cancelling keeps the rows read so far; Replace has dropped the old entries
// and columns before the first row.
TEST_F(ImporterTest, CancelKeepsTheRowsAlreadyAddedInEitherMode) {
  std::string text = "Email,New\n";
  for (int i = 0; i < 20000; ++i) text += "u" + std::to_string(i) + "@x.org,n\n";
  for (const bool replace : {false, true}) {
    SCOPED_TRACE(replace);
    list_.clear();
    import("a.csv", "Email,Old\nkeep@x.org,1\n");
    Importer imp(dir_.write("b.csv", text));
    imp.setReplace(replace);
    imp.setProgress([&](std::uint64_t step) {
      if (step == 12345) imp.cancel();
    });
    EXPECT_EQ(imp.run(list_), 12345u);
    EXPECT_TRUE(imp.cancelled());
    EXPECT_EQ(captions(list_), replace ? (Strings{"Email", "Result", "New"})
                                       : (Strings{"Email", "Result", "Old", "New"}));
    ASSERT_EQ(list_.count(), replace ? 12345u : 12346u);
    EXPECT_EQ(list_.entry(0).email(), replace ? "u0@x.org" : "keep@x.org");
    EXPECT_EQ(list_.entries().back().email(), "u12344@x.org");
    EXPECT_FALSE(list_.updating());
  }
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
  EXPECT_EQ(e.subItem(253), "v252");
  // A list that already has more than 255 columns (a loaded project): those
  // past the limit receive empty values.
  std::vector<Column> columns = RecipientList::defaultColumns();
  for (int i = 2; i < 260; ++i) columns.push_back({"C" + std::to_string(i), 50});
  list_.replaceAll(columns, {});
  import("a.csv", "Email,C3,C257\na@x.org,three,twohundredfiftyseven\n");
  ASSERT_EQ(list_.columnCount(), 260u);
  const Entry& f = list_.entry(0);
  ASSERT_EQ(f.subItemCount(), 259u);
  EXPECT_EQ(f.subItem(2), "three");
  EXPECT_EQ(f.subItem(256), "");
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
  EXPECT_EQ(rows(list_), (Table{{"Other", "", "Email"}, {"y@y.org", "", "x@x.org"}}));
}

TEST_F(ImporterTest, ChosenEncodingRereadsTheFieldNames) {
  Importer imp(dir_.write("a.csv", "Zoë,Email\nz@x.org,x\n"));
  imp.setEncoding(TextEncoding::Windows1252);
  EXPECT_EQ(imp.detectedEncoding(), TextEncoding::Utf8);
  EXPECT_EQ(imp.fieldNames(), (Strings{"ZoÃ«", "Email"}));
  EXPECT_EQ(imp.emailField(), 1u);
  imp.setEncoding(TextEncoding::Utf8);
  EXPECT_EQ(imp.fieldNames(), (Strings{"Zoë", "Email"}));
}

TEST_F(ImporterTest, PreviewShowsTheRowsToComeWithoutConsumingThem) {
  Importer imp(
      dir_.write("a.csv", "Email,Name\n\na@x.org,Ann\n\"b@x.org\",\"B\nB\"\n  \nc@x.org,C\n"));
  EXPECT_EQ(imp.previewRows(2), (Table{{"a@x.org", "Ann"}, {"b@x.org", "B\nB"}}));
  EXPECT_EQ(imp.previewRows(10).size(), 3u);
  imp.setFirstLine(FirstLine::Data);
  EXPECT_EQ(imp.previewRows(1), (Table{{"Email", "Name"}}));
  imp.setFirstLine(FirstLine::Header);
  EXPECT_EQ(imp.run(list_), 3u);
}

TEST_F(ImporterTest, UnreadableSourcesThrowFromTheConstructor) {
  EXPECT_THROW(Importer(dir_.file("none.csv")), ImportError);
  const std::string path = dir_.write("t.dbf", "not a table at all, just some text, long enough");
  EXPECT_THAT(thrownMessage<EDbfError>([&] { Importer imp(path); }),
              ::testing::StartsWith("Error # 210 (Not a dBASE data file)\r\n"));
}

TEST_F(ImporterTest, TableImportsDeletedRecordsWithTrimmedValuesInItsCodePage) {
  DbfBuilder b;
  b.fields = {{"name", 'C', 10}, {"email", 'C', 30}, {"score", 'N', 5}};
  b.add({"  Ann", "  a@x.org", "   12"});
  b.add({"Bob", "b@x.org", "    7"}, /*deleted=*/true);
  b.add({"Bj\x94rn", "j@x.org", ""});
  Importer imp(dir_.write("t.DBF", b.build()));
  EXPECT_EQ(imp.fieldNames(), (Strings{"NAME", "EMAIL", "SCORE"}));
  EXPECT_EQ(imp.emailField(), 1u);
  EXPECT_EQ(imp.progressMaximum(), 3u);
  imp.setFirstLine(FirstLine::Header);  // plays no part for tables
  std::uint64_t steps = 0;
  imp.setProgress([&](std::uint64_t s) { steps = s; });
  EXPECT_EQ(imp.run(list_), 3u);
  EXPECT_EQ(steps, 3u);
  EXPECT_EQ(captions(list_), (Strings{"Email", "Result", "NAME", "SCORE"}));
  EXPECT_EQ(rows(list_), (Table{{"a@x.org", "", "Ann", "12"},
                                {"b@x.org", "", "Bob", "7"},
                                {"j@x.org", "", "Björn", ""}}));
}

// The rows span several of the reader's read-ahead windows (a record of 31
// bytes straddles each edge).
TEST_F(ImporterTest, DamagedTableKeepsTheRowsReadAndEndsTheUpdate) {
  DbfBuilder b;
  b.fields = {{"email", 'C', 30}};
  for (int i = 0; i < 10000; ++i) b.add({"r" + std::to_string(i)});
  b.recordCount = 10001;  // the file holds one record less than the header says
  Importer imp(dir_.write("t.dbf", b.build()));
  EXPECT_THAT(thrownMessage<EDbfError>([&] { imp.run(list_); }),
              ::testing::StartsWith("Error # 213 (End of file found unexpectedly)\r\n"));
  ASSERT_EQ(list_.count(), 10000u);
  for (std::size_t i = 0; i < 10000; ++i)
    ASSERT_EQ(list_.entry(i).email(), "r" + std::to_string(i));
  EXPECT_FALSE(list_.updating());
  EXPECT_FALSE(imp.running());
}

}  // namespace
}  // namespace orvane::import
