#include "import/Importer.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "core/RecipientList.h"
#include "tests/import/DbfBuilder.h"

namespace orvane {
namespace {

namespace fs = std::filesystem;
using Strings = std::vector<std::string>;

Strings captions(const RecipientList& list) {
  Strings out;
  for (const auto& c : list.columns()) out.push_back(c.caption);
  return out;
}

// Each entry as its e-mail followed by its sub-items (result text first).
std::vector<Strings> rows(const RecipientList& list) {
  std::vector<Strings> out;
  for (const auto& e : list.entries()) {
    Strings r{std::string(e.email())};
    for (const auto& s : e.subItems()) r.push_back(s);
    out.push_back(r);
  }
  return out;
}

class ImporterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (fs::temp_directory_path() / "orvane-import-XXXXXX").string();
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string write(const std::string& name, const std::string& bytes) {
    const fs::path p = dir_ / name;
    std::ofstream(p, std::ios::binary) << bytes;
    return p.string();
  }
  fs::path dir_;
  RecipientList list_;
};

TEST_F(ImporterTest, HeaderLineNameEmailCompanyInReplaceMode) {
  list_.addEntry("old@example.com", {});
  Importer imp(write("a.csv",
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
  EXPECT_EQ(rows(list_), (std::vector<Strings>{{"jane@example.com", "", "Jane Doe", "Acme"},
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
  Importer imp(write("a.txt", "Jane,jane@example.com,Acme\nJohn,john@example.org,Globex\n"));
  EXPECT_EQ(imp.emailField(), 1u);
  EXPECT_EQ(imp.firstLine(), FirstLine::Data);
  EXPECT_EQ(imp.run(list_), 2u);
  EXPECT_EQ(captions(list_), (Strings{"Email", "Result", "Jane", "Acme"}));
  EXPECT_EQ(rows(list_), (std::vector<Strings>{{"jane@example.com", "", "Jane", "Acme"},
                                               {"john@example.org", "", "John", "Globex"}}));
}

TEST_F(ImporterTest, OneAddressPerLineWithBlankLinesCountingProgress) {
  Importer imp(write("a.txt", "a@x.org\r\n\r\n   \r\nb@x.org\r\n\t\r\nc@x.org"));
  EXPECT_EQ(imp.progressMaximum(), 6u);
  std::vector<std::uint64_t> steps;
  imp.setProgress([&](std::uint64_t s) { steps.push_back(s); });
  EXPECT_EQ(imp.run(list_), 3u);
  EXPECT_EQ(steps, (std::vector<std::uint64_t>{1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(captions(list_), (Strings{"Email", "Result"}));
  EXPECT_EQ(rows(list_), (std::vector<Strings>{{"a@x.org", ""}, {"b@x.org", ""}, {"c@x.org", ""}}));
}

TEST_F(ImporterTest, QuotedCommasTrailingCommasAndShortRows) {
  Importer imp(write("a.csv",
                     "email,name,city\n"
                     "\"a@x.org\",\"Doe, Jane\",\"Bonn\",\n"
                     "b@x.org,,\n"
                     "c@x.org\n"
                     ",Nobody,Nowhere\n"));
  imp.run(list_);
  EXPECT_EQ(captions(list_), (Strings{"Email", "Result", "name", "city"}));
  EXPECT_EQ(rows(list_), (std::vector<Strings>{{"a@x.org", "", "Doe, Jane", "Bonn"},
                                               {"b@x.org", "", "", ""},
                                               {"c@x.org", "", "", ""},
                                               {"", "", "Nobody", "Nowhere"}}));
}

TEST_F(ImporterTest, ResultAsASourceFieldGetsAColumnOfItsOwn) {
  Importer imp(write("a.csv", "Email,Result\na@x.org,ok\n"));
  imp.run(list_);
  EXPECT_EQ(captions(list_), (Strings{"Email", "Result", "Result"}));
  EXPECT_EQ(rows(list_), (std::vector<Strings>{{"a@x.org", "", "ok"}}));
}

TEST_F(ImporterTest, AppendingASecondFileReusesColumnsWhateverTheCase) {
  Importer first(write("a.csv", "Email,Name,Company\na@x.org,Ann,Acme\n"));
  first.run(list_);
  Importer second(write("b.csv", "COMPANY,email,NAME,Phone\nGlobex,b@x.org,Bob,123\n"));
  second.run(list_);
  EXPECT_EQ(captions(list_), (Strings{"Email", "Result", "Name", "Company", "Phone"}));
  EXPECT_EQ(rows(list_), (std::vector<Strings>{{"a@x.org", "", "Ann", "Acme", ""},
                                               {"b@x.org", "", "Bob", "Globex", "123"}}));
}

TEST_F(ImporterTest, ReplaceRemovesPreviousEntriesAndColumnsEvenWhenCancelledAfterTheFirstRow) {
  Importer first(write("a.csv", "Email,Old\na@x.org,1\nb@x.org,2\n"));
  first.run(list_);
  ASSERT_EQ(list_.count(), 2u);
  Importer second(write("b.csv", "Email,New\nc@x.org,3\nd@x.org,4\ne@x.org,5\n"));
  second.setReplace(true);
  second.setProgress([&](std::uint64_t step) {
    if (step == 1) second.cancel();  // "Yes" to the question while the first row is read
  });
  EXPECT_EQ(second.run(list_), 1u);
  EXPECT_TRUE(second.cancelled());
  EXPECT_EQ(captions(list_), (Strings{"Email", "Result", "New"}));
  EXPECT_EQ(rows(list_), (std::vector<Strings>{{"c@x.org", "", "3"}}));
  EXPECT_FALSE(list_.updating());
}

TEST_F(ImporterTest, CancelKeepsRowsAlreadyAddedInAppendMode) {
  list_.addEntry("keep@x.org", {});
  std::string text;
  for (int i = 0; i < 20000; ++i) text += "u" + std::to_string(i) + "@x.org\n";
  Importer imp(write("a.txt", text));
  imp.setProgress([&](std::uint64_t step) {
    if (step == 12345) imp.cancel();
  });
  EXPECT_EQ(imp.run(list_), 12345u);
  ASSERT_EQ(list_.count(), 12346u);
  EXPECT_EQ(list_.entry(0).email(), "keep@x.org");
  EXPECT_EQ(list_.entry(12345).email(), "u12344@x.org");
}

TEST_F(ImporterTest, ColumnLimitOf255) {
  std::string header = "Email";
  std::string row = "a@x.org";
  for (int i = 0; i < 300; ++i) {
    header += ",F" + std::to_string(i);
    row += ",v" + std::to_string(i);
  }
  Importer imp(write("a.csv", header + "\n" + row + "\n"));
  imp.run(list_);
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
  Importer imp(write("a.csv", "Email,C3,C257\na@x.org,three,twohundredfiftyseven\n"));
  imp.run(list_);
  ASSERT_EQ(list_.columnCount(), 260u);
  const Entry& e = list_.entry(0);
  ASSERT_EQ(e.subItemCount(), 259u);
  EXPECT_EQ(e.subItem(2), "three");
  EXPECT_EQ(e.subItem(256), "");
}

TEST_F(ImporterTest, OptionsOverrideTheDetection) {
  Importer imp(write("a.csv", "Email,Other\nx@x.org,y@y.org\n"));
  EXPECT_TRUE(imp.selectEmailField("other"));
  EXPECT_EQ(imp.emailField(), 1u);
  EXPECT_TRUE(imp.selectEmailField("1"));
  EXPECT_EQ(imp.emailField(), 0u);
  EXPECT_FALSE(imp.selectEmailField("3"));
  EXPECT_FALSE(imp.selectEmailField("0"));
  EXPECT_FALSE(imp.selectEmailField("nope"));
  EXPECT_EQ(imp.emailField(), 0u);
  imp.setEmailField(1);
  imp.setFirstLine(FirstLine::Data);
  imp.run(list_);
  EXPECT_EQ(captions(list_), (Strings{"Email", "Result", "Email"}));
  EXPECT_EQ(rows(list_),
            (std::vector<Strings>{{"Other", "", "Email"}, {"y@y.org", "", "x@x.org"}}));
}

TEST_F(ImporterTest, TextEncodings) {
  Importer utf8(write("a.csv",
                      "\xEF\xBB\xBF"
                      "Email,Name\nz@x.org,Zo\xC3\xAB\n"));
  EXPECT_EQ(utf8.firstLine(), FirstLine::Header);  // the mark does not hide "Email"
  utf8.run(list_);
  Importer ansi(write("b.csv", "Email,Name\nm@x.org,M\xFCller\n"));
  ansi.run(list_);
  EXPECT_EQ(rows(list_), (std::vector<Strings>{{"z@x.org", "", "Zo\xC3\xAB"},
                                               {"m@x.org", "", "M\xC3\xBCller"}}));
}

TEST_F(ImporterTest, MissingTextFileIsAnImportError) {
  EXPECT_THROW(Importer((dir_ / "none.csv").string()), ImportError);
}

TEST_F(ImporterTest, TableImportsDeletedRecordsWithTrimmedValues) {
  test::DbfBuilder b;
  b.fields = {{"name", 'C', 10}, {"email", 'C', 30}, {"score", 'N', 5}};
  b.add({"  Ann", "  a@x.org", "   12"});
  b.add({"Bob", "b@x.org", "    7"}, /*deleted=*/true);
  b.add({"J\x81rgen", "j@x.org", ""});
  Importer imp(write("t.DBF", b.build()));
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
  EXPECT_EQ(rows(list_), (std::vector<Strings>{{"a@x.org", "", "Ann", "12"},
                                               {"b@x.org", "", "Bob", "7"},
                                               {"j@x.org", "", "J\xC3\xBCrgen", ""}}));
}

TEST_F(ImporterTest, FixtureTableWithADeletedRecord) {
  Importer imp(ORVANE_SOURCE_DIR "/tests/import/data/pydbf_people.dbf");
  EXPECT_EQ(imp.run(list_), 3u);
  EXPECT_EQ(list_.entry(1).email(), "gone@example.com");
}

TEST_F(ImporterTest, DamagedTableKeepsTheRowsReadAndEndsTheUpdate) {
  test::DbfBuilder b;
  b.fields = {{"email", 'C', 10}};
  for (int i = 0; i < 10000; ++i) b.add({"r" + std::to_string(i)});
  b.recordCount = 10001;  // the file holds one record less than the header says
  Importer imp(write("t.dbf", b.build()));
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

TEST_F(ImporterTest, RefusedTableIsThrownFromTheConstructor) {
  try {
    Importer imp(write("t.dbf", "not a table at all, just some text that is long enough"));
    FAIL();
  } catch (const EDbfError& e) {
    EXPECT_EQ(e.number(), 210);
  }
}

TEST_F(ImporterTest, EmptyImportStillMarksTheProjectModified) {
  Importer imp(write("a.csv", "Email\n"));
  EXPECT_EQ(imp.run(list_), 0u);
  EXPECT_TRUE(list_.modified());
  EXPECT_EQ(list_.count(), 0u);
}

}  // namespace
}  // namespace orvane
