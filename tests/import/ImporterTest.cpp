#include "import/Importer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/RecipientList.h"
#include "tests/import/DbfBuilder.h"

namespace orvane {
namespace {

using Strings = std::vector<std::string>;
using Table = std::vector<Strings>;

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
  // Imports the file `name` holding `bytes` with the detected settings.
  std::size_t import(const std::string& name, const std::string& bytes, bool replace = false) {
    Importer imp(dir_.write(name, bytes));
    imp.setReplace(replace);
    return imp.run(list_);
  }
  test::TempDir dir_;
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

TEST_F(ImporterTest, DataFirstLineIsImportedAndNamesTheColumns) {
  Importer imp(dir_.write("a.txt", "Jane,jane@example.com,Acme\nJohn,john@example.org,Globex\n"));
  EXPECT_EQ(imp.emailField(), 1u);
  EXPECT_EQ(imp.firstLine(), FirstLine::Data);
  EXPECT_EQ(imp.run(list_), 2u);
  EXPECT_EQ(captions(list_), (Strings{"Email", "Result", "Jane", "Acme"}));
  EXPECT_EQ(rows(list_), (Table{{"jane@example.com", "", "Jane", "Acme"},
                                {"john@example.org", "", "John", "Globex"}}));
}

TEST_F(ImporterTest, OneAddressPerLineWithBlankLinesCountingProgress) {
  Importer imp(dir_.write("a.txt", "a@x.org\r\n\r\n   \r\nb@x.org\r\n\t\r\nc@x.org"));
  EXPECT_EQ(imp.progressMaximum(), 6u);
  std::vector<std::uint64_t> steps;
  imp.setProgress([&](std::uint64_t s) { steps.push_back(s); });
  EXPECT_EQ(imp.run(list_), 3u);
  EXPECT_EQ(steps, (std::vector<std::uint64_t>{1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(captions(list_), (Strings{"Email", "Result"}));
  EXPECT_EQ(rows(list_), (Table{{"a@x.org", ""}, {"b@x.org", ""}, {"c@x.org", ""}}));
}

TEST_F(ImporterTest, QuotedCommasTrailingCommasShortRowsAndResultAsAField) {
  import("a.csv",
         "email,name,Result\n"
         "\"a@x.org\",\"Doe, Jane\",\"ok\",\n"
         "b@x.org,,\n"
         "c@x.org\n"
         ",Nobody,bad\n");
  // A source field called "Result" gets a column of its own.
  EXPECT_EQ(captions(list_), (Strings{"Email", "Result", "name", "Result"}));
  EXPECT_EQ(rows(list_), (Table{{"a@x.org", "", "Doe, Jane", "ok"},
                                {"b@x.org", "", "", ""},
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

TEST_F(ImporterTest, TextEncodings) {
  // The byte-order mark does not hide "Email" from the detection.
  import("a.csv",
         "\xEF\xBB\xBF"
         "Email,Name\nz@x.org,Zo\xC3\xAB\n");
  import("b.csv", "Email,Name\nm@x.org,M\xFCller \x80\n");  // not UTF-8: Windows-1252
  EXPECT_EQ(rows(list_),
            (Table{{"z@x.org", "", "Zo\xC3\xAB"}, {"m@x.org", "", "M\xC3\xBCller \xE2\x82\xAC"}}));
}

TEST_F(ImporterTest, UnreadableSourcesThrowFromTheConstructor) {
  EXPECT_THROW(Importer((dir_.path / "none.csv").string()), ImportError);
  try {
    Importer imp(dir_.write("t.dbf", "not a table at all, just some text that is long enough"));
    FAIL();
  } catch (const EDbfError& e) {
    EXPECT_EQ(e.number(), 210);
  }
}

TEST_F(ImporterTest, TableImportsDeletedRecordsWithTrimmedValues) {
  test::DbfBuilder b;
  b.fields = {{"name", 'C', 10}, {"email", 'C', 30}, {"score", 'N', 5}};
  b.add({"  Ann", "  a@x.org", "   12"});
  b.add({"Bob", "b@x.org", "    7"}, /*deleted=*/true);
  b.add({"J\x81rgen", "j@x.org", ""});
  Importer imp(dir_.write("t.DBF", b.build()));
  EXPECT_EQ(imp.kind(), SourceKind::DBase);
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
                                {"j@x.org", "", "J\xC3\xBCrgen", ""}}));
}

TEST_F(ImporterTest, DamagedTableKeepsTheRowsReadAndEndsTheUpdate) {
  test::DbfBuilder b;
  b.fields = {{"email", 'C', 10}};
  for (int i = 0; i < 10000; ++i) b.add({"r" + std::to_string(i)});
  b.recordCount = 10001;  // the file holds one record less than the header says
  Importer imp(dir_.write("t.dbf", b.build()));
  try {
    imp.run(list_);
    FAIL() << "the missing record was not noticed";
  } catch (const EDbfError& e) {
    EXPECT_EQ(e.number(), 213);
  }
  EXPECT_EQ(list_.count(), 10000u);
  EXPECT_FALSE(list_.updating());
  EXPECT_FALSE(imp.running());
}

}  // namespace
}  // namespace orvane
