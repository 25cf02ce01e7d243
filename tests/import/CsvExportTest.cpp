#include "import/CsvExport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "core/RecipientList.h"
#include "core/Verdict.h"
#include "tests/support/TestHelpers.h"

namespace orvane::import {
namespace {

// RFC 4180 quoting; a cell that a spreadsheet would run as a formula gets a
// leading "'".
TEST(CsvExport, QuotingAndFormulaGuard) {
  const struct {
    const char* text;
    const char* cell;
  } cases[] = {{"", ""},
               {"plain", "plain"},
               {"a,b", "\"a,b\""},
               {"say \"hi\"", "\"say \"\"hi\"\"\""},
               {"two\nlines", "\"two\nlines\""},
               {" spaced ", " spaced "},
               {"=1+2", "'=1+2"},
               {"+49 30 123", "'+49 30 123"},
               {"-5", "'-5"},
               {"@SUM(A1)", "'@SUM(A1)"},
               {"\tx", "'\tx"},
               {"\rx", "\"'\rx\""},
               {"=HYPERLINK(\"a\",\"b\")", "\"'=HYPERLINK(\"\"a\"\",\"\"b\"\")\""},
               {"a=b", "a=b"},
               {"'quoted", "'quoted"}};
  for (const auto& c : cases) {
    std::string out = "x";  // appended to, not replaced
    appendCsvCell(c.text, out);
    EXPECT_EQ(out, std::string("x") + c.cell) << c.text;
  }
}

TEST(CsvExport, HeaderThenEntriesInListOrder) {
  RecipientList list;
  list.addColumn({"Name", 120});
  list.addColumn({"City", 120});
  list.addEntry("b@x.org", std::vector<std::string>{"Bob, Jr.", "K\xC3\xB6ln"});
  list.addEntry("a@x.org", std::vector<std::string>{"=cmd", ""});
  list.addEntry("c@x.org", {});  // fewer sub-items than columns: empty cells
  list.addEntry("d@x.org", {});
  list.addEntry("e@x.org", {});
  // The last cell is the verdict of the stored result text; none without one.
  list.entryValidationEnded(0, 550, "User unknown", {});
  list.entryValidationEnded(1, 0, "", {});
  list.entryValidationEnded(3, 550, kMailboxUnavailableMessage, {});
  list.entryValidationEnded(4, 0, kCatchAllMessage, {});
  const std::string want =
      "Email,Result,Name,City,Verdict,Flags,Suggestion,Checked address\r\n"
      "b@x.org,[550] User unknown,\"Bob, Jr.\",K\xC3\xB6ln,unknown,,,\r\n"
      "a@x.org,[0] Valid E-mail Address!,'=cmd,,valid,,,\r\n"
      "c@x.org,,,,,,,\r\n"
      "d@x.org,[550] Mailbox unavailable,,,invalid,,,\r\n"
      "e@x.org,[0] Valid E-mail Address! (catch-all domain: it accepts any "
      "address),,,catch-all,,,\r\n";
  EXPECT_EQ(exportCsv(list), want);
  // The notes of each entry follow the verdict; entries with an excluded flag
  // are left out.
  ExportFilter filter;
  filter.notes = [](const Entry& e) {
    EntryNotes notes{{}, "", std::string(e.email())};
    if (e.email()[0] == 'c') notes.flags.set(AddressFlag::Disposable);
    if (e.email()[0] == 'd') notes = {AddressFlag::Role | AddressFlag::Free, "x.com", "d@x.com"};
    return notes;
  };
  filter.exclude.set(AddressFlag::Disposable);
  const std::string csv = exportCsv(list, filter);
  EXPECT_EQ(csv.find("c@x.org"), std::string::npos);
  EXPECT_NE(csv.find("d@x.org,[550] Mailbox unavailable,,,invalid,\"role,free\",x.com,d@x.com\r\n"),
            std::string::npos)
      << csv;
}

TEST(CsvExport, FileIsWrittenAndAFailureLeavesNoTemporary) {
  testing::TempDir dir;
  RecipientList list;
  list.addEntry("a@x.org", {});
  exportCsvFile(list, dir.file("out.csv"));
  EXPECT_EQ(testing::readFile(dir.file("out.csv")),
            "Email,Result,Verdict,Flags,Suggestion,Checked address\r\na@x.org,,,,,\r\n");
  EXPECT_THROW(exportCsvFile(list, (dir.path() / "missing" / "out.csv").string()), ExportError);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()),
                          std::filesystem::directory_iterator()),
            1);
}

}  // namespace
}  // namespace orvane::import
