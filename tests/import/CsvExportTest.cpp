#include "import/CsvExport.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "core/RecipientList.h"

namespace orvane {
namespace {

std::string cell(std::string_view text) {
  std::string out;
  appendCsvCell(text, out);
  return out;
}

TEST(CsvExport, Quoting) {
  EXPECT_EQ(cell(""), "");
  EXPECT_EQ(cell("plain"), "plain");
  EXPECT_EQ(cell("a,b"), "\"a,b\"");
  EXPECT_EQ(cell("say \"hi\""), "\"say \"\"hi\"\"\"");
  EXPECT_EQ(cell("two\nlines"), "\"two\nlines\"");
  EXPECT_EQ(cell("cr\rhere"), "\"cr\rhere\"");
  EXPECT_EQ(cell(" spaced "), " spaced ");
  EXPECT_EQ(cell("semi;colon"), "semi;colon");
}

TEST(CsvExport, FormulaGuard) {
  EXPECT_EQ(cell("=1+2"), "'=1+2");
  EXPECT_EQ(cell("+49 30 123"), "'+49 30 123");
  EXPECT_EQ(cell("-5"), "'-5");
  EXPECT_EQ(cell("@SUM(A1)"), "'@SUM(A1)");
  EXPECT_EQ(cell("\tx"), "'\tx");
  EXPECT_EQ(cell("\rx"), "\"'\rx\"");
  EXPECT_EQ(cell("=HYPERLINK(\"a\",\"b\")"), "\"'=HYPERLINK(\"\"a\"\",\"\"b\"\")\"");
  EXPECT_EQ(cell("a=b"), "a=b");
  EXPECT_EQ(cell("user@example.com"), "user@example.com");
  EXPECT_EQ(cell("'quoted"), "'quoted");
}

TEST(CsvExport, HeaderThenEntriesInListOrder) {
  RecipientList list;
  list.addColumn({"Name", 120});
  list.addColumn({"City", 120});
  list.addEntry("b@x.org", std::vector<std::string>{"Bob, Jr.", "K\xC3\xB6ln"});
  list.addEntry("a@x.org", std::vector<std::string>{"=cmd", ""});
  list.entryValidationEnded(0, 550, "User unknown", {});
  list.entryValidationEnded(1, 0, "", {});
  const std::string want =
      "Email,Result,Name,City\r\n"
      "b@x.org,[550] User unknown,\"Bob, Jr.\",K\xC3\xB6ln\r\n"
      "a@x.org,[0] Valid E-mail Address!,'=cmd,\r\n";
  EXPECT_EQ(exportCsv(list), want);
  std::ostringstream out;
  writeCsv(list, out);
  EXPECT_EQ(out.str(), want);
}

TEST(CsvExport, EntriesWithFewerSubItemsGetEmptyCells) {
  RecipientList list;
  list.replaceAll({{"Email", 120}, {"Result", 290}, {"A", 120}, {"B", 120}},
                  {Entry("x@y.org", std::vector<std::string>{"r"})});
  EXPECT_EQ(exportCsv(list), "Email,Result,A,B\r\nx@y.org,r,,\r\n");
}

TEST(CsvExport, FileIsWrittenAndAFailureLeavesNoTemporary) {
  namespace fs = std::filesystem;
  std::string tmpl = (fs::temp_directory_path() / "orvane-csv-XXXXXX").string();
  ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
  const fs::path dir = tmpl;
  RecipientList list;
  list.addEntry("a@x.org", {});
  const std::string path = (dir / "out.csv").string();
  exportCsvFile(list, path);
  std::ifstream in(path, std::ios::binary);
  std::stringstream got;
  got << in.rdbuf();
  EXPECT_EQ(got.str(), "Email,Result\r\na@x.org,\r\n");
  EXPECT_THROW(exportCsvFile(list, (dir / "missing" / "out.csv").string()), ExportError);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
  fs::remove_all(dir);
}

}  // namespace
}  // namespace orvane
