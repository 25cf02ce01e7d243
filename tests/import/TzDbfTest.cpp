#include "import/TzDbf.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/import/DbfBuilder.h"

namespace orvane {
namespace {

using test::DbfBuilder;
namespace fs = std::filesystem;

DbfBuilder peopleTable() {
  DbfBuilder b;
  b.fields = {{"name", 'C', 12}, {"email", 'C', 30}};
  b.add({"Anna", "anna@example.com"});
  b.add({"  Bob", "bob@example.org"}, /*deleted=*/true);
  b.add({"Carl", "carl@example.net"});
  return b;
}

// Every record's fields as text, in navigation order.
std::vector<std::vector<std::string>> readAll(TTzDbf& t) {
  std::vector<std::vector<std::string>> rows;
  for (t.First(); !t.Eof(); t.Next()) {
    std::vector<std::string> row;
    for (std::size_t i = 0; i < t.FieldCount(); ++i) row.push_back(t.FieldAsText(i));
    rows.push_back(row);
  }
  return rows;
}

// Opens `bytes` as table "t.dbf" and returns the error number, or 0 when it opens.
int openError(const std::string& bytes, std::string* report = nullptr) {
  TTzDbf t;
  t.setDbfFileName("t.dbf");
  try {
    t.OpenFromMemory(bytes);
  } catch (const EDbfError& e) {
    if (report) *report = e.what();
    return e.number();
  }
  return 0;
}

TEST(TzDbf, ReadsCharacterFieldsWithoutTrailingBlanksAndNamesUpperCase) {
  TTzDbf t;
  t.setDbfFileName("t.dbf");
  t.OpenFromMemory(peopleTable().build());
  ASSERT_EQ(t.FieldCount(), 2u);
  EXPECT_EQ(t.FieldName(0), "NAME");
  EXPECT_EQ(t.FieldName(1), "EMAIL");
  EXPECT_EQ(t.Field(1).offset, 13u);
  EXPECT_EQ(t.RecordCount(), 3u);
  const auto rows = readAll(t);
  const std::vector<std::vector<std::string>> want = {
      {"Anna", "anna@example.com"}, {"  Bob", "bob@example.org"}, {"Carl", "carl@example.net"}};
  EXPECT_EQ(rows, want);
}

TEST(TzDbf, OpeningPositionsOnTheFirstRecord) {
  TTzDbf t;
  t.setDbfFileName("t.dbf");
  t.OpenFromMemory(peopleTable().build());
  EXPECT_FALSE(t.Eof());
  EXPECT_EQ(t.RecNo(), 1u);
  EXPECT_EQ(t.FieldAsText(0), "Anna");
}

TEST(TzDbf, DeletedRecordsAreDeliveredOrHidden) {
  for (const bool hide : {false, true}) {
    SCOPED_TRACE(hide);
    TTzDbf t;
    t.setHideDeletedRecs(hide);
    t.setDbfFileName("t.dbf");
    t.OpenFromMemory(peopleTable().build());
    std::vector<std::string> names;
    std::vector<bool> deleted;
    for (t.First(); !t.Eof(); t.Next()) {
      names.push_back(t.FieldAsText(0));
      deleted.push_back(t.Deleted());
    }
    if (hide) {
      EXPECT_EQ(names, (std::vector<std::string>{"Anna", "Carl"}));
    } else {
      EXPECT_EQ(names, (std::vector<std::string>{"Anna", "  Bob", "Carl"}));
      EXPECT_EQ(deleted, (std::vector<bool>{false, true, false}));
    }
    EXPECT_EQ(t.RecordCount(), 3u);  // deleted records count either way
  }
}

TEST(TzDbf, EveryRecordDeletedAndHiddenIsEndOfFileAtOnce) {
  DbfBuilder b;
  b.fields = {{"A", 'C', 4}};
  b.add({"x"}, true).add({"y"}, true);
  TTzDbf t;
  t.setHideDeletedRecs(true);
  t.OpenFromMemory(b.build());
  EXPECT_TRUE(t.Eof());
  EXPECT_TRUE(t.Bof());
  t.First();
  EXPECT_TRUE(t.Eof());
  EXPECT_EQ(t.RecNo(), 3u);
  EXPECT_EQ(t.FieldAsText(0), "");
}

TEST(TzDbf, TableWithoutRecordsIsAtEndOfFile) {
  DbfBuilder b;
  b.fields = {{"A", 'C', 4}};
  TTzDbf t;
  t.OpenFromMemory(b.build());
  EXPECT_EQ(t.RecordCount(), 0u);
  EXPECT_TRUE(t.Eof());
  t.First();
  EXPECT_TRUE(t.Eof());
  t.Next();
  EXPECT_TRUE(t.Eof());
}

TEST(TzDbf, VersionRule) {
  const struct {
    std::uint8_t version;
    int error;
  } cases[] = {{0x03, 0}, {0x83, 0}, {0x8B, 0}, {0x30, 210}, {0x04, 210}, {0x00, 210}};
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.version));
    DbfBuilder b = peopleTable();
    b.version = c.version;
    std::string report;
    EXPECT_EQ(openError(b.build(), &report), c.error);
    if (c.error) {
      EXPECT_EQ(report,
                "Error # 210 (Not a dBASE data file)\r\n"
                "t.dbf is not a dBASE database.(Invalid version byte)+ [USE/OpenDBF]");
    }
  }
}

TEST(TzDbf, MemoBitIsReportedAndTheTableStillOpens) {
  DbfBuilder b = peopleTable();
  b.version = 0x83;
  TTzDbf t;
  t.OpenFromMemory(b.build());
  EXPECT_TRUE(t.HasMemo());
  EXPECT_EQ(readAll(t).size(), 3u);
}

TEST(TzDbf, PrologShorterThan32BytesIsRefused) {
  const std::string full = peopleTable().build();
  for (std::size_t n = 0; n < 32; ++n) {
    std::string report;
    ASSERT_EQ(openError(full.substr(0, n), &report), 210) << n;
    EXPECT_EQ(report,
              "Error # 210 (Not a dBASE data file)\r\n"
              "t.dbf is not a dBASE database. (Prolog is less than 32 bytes) [USE/OpenDBF]");
  }
}

TEST(TzDbf, FieldCountOutOfRange) {
  const std::string want =
      "Error # 210 (Not a dBASE data file)\r\n"
      "t.dbf is not a dBASE database. (Number of fields is out of range) [Use/OpenDbf]";
  for (const std::uint16_t hl :
       {std::uint16_t{0}, std::uint16_t{31}, std::uint16_t{32}, std::uint16_t{33},
        std::uint16_t{63}, std::uint16_t{32 + 256 * 32}, std::uint16_t{65535}}) {
    SCOPED_TRACE(hl);
    DbfBuilder b;
    b.fields = {{"A", 'C', 4}};
    b.headerLength = hl;
    std::string bytes = b.build();
    if (bytes.size() < 40000) bytes.resize(40000, '\0');
    std::string report;
    EXPECT_EQ(openError(bytes, &report), 210);
    EXPECT_EQ(report, want);
  }
}

TEST(TzDbf, Reads255FieldsButNot256) {
  DbfBuilder b;
  for (int i = 0; i < 255; ++i) b.fields.push_back({"F" + std::to_string(i), 'C', 1});
  std::vector<std::string> values(255, "x");
  values[254] = "z";
  b.add(values);
  TTzDbf t;
  t.OpenFromMemory(b.build());
  ASSERT_EQ(t.FieldCount(), 255u);
  EXPECT_EQ(t.FieldName(254), "F254");
  EXPECT_EQ(t.FieldAsText(254), "z");
  b.fields.push_back({"F255", 'C', 1});
  EXPECT_EQ(openError(b.build()), 210);
}

TEST(TzDbf, LongerHeaderMakesExtraSlotsFields) {
  DbfBuilder b = peopleTable();
  // One more 32-byte slot after the terminator: its type byte is not a letter.
  b.headerLength = static_cast<std::uint16_t>(32 + 3 * 32 + 1);
  std::string report;
  EXPECT_EQ(openError(b.build(), &report), 211);
  // A header length that only adds a partial slot leaves the count alone.
  b.headerLength = static_cast<std::uint16_t>(32 + 2 * 32 + 20);
  EXPECT_EQ(openError(b.build()), 0);
}

TEST(TzDbf, InvalidFieldTypeReport) {
  DbfBuilder b;
  b.fields = {{"name", 'C', 4}, {"age", 'X', 3}};
  std::string report;
  EXPECT_EQ(openError(b.build(), &report), 211);
  EXPECT_EQ(report,
            "Error # 211 (Invalid database field type encountered)\r\n"
            "Field: AGE [X] in t.dbf is not a valid field type");
  for (const char type : {'c', 'I', 'B', '0'}) {
    b.fields[1].type = type;
    EXPECT_EQ(openError(b.build()), 211) << type;
  }
}

TEST(TzDbf, NamesAreCutToTenCharactersAndUpperCased) {
  DbfBuilder b;
  b.fields = {{"abcdefghijk", 'C', 3}, {"e-Mail", 'C', 3}, {std::string("ab\0cd", 5), 'C', 3}};
  b.add({"1", "2", "3"});
  TTzDbf t;
  t.OpenFromMemory(b.build());
  EXPECT_EQ(t.FieldName(0), "ABCDEFGHIJ");
  EXPECT_EQ(t.FieldName(1), "E-MAIL");
  EXPECT_EQ(t.FieldName(2), "AB");
  EXPECT_EQ(t.FieldAsText(2), "3");
}

TEST(TzDbf, OemAndAnsiTranslation) {
  DbfBuilder b;
  b.fields = {{"NAME", 'C', 8}};
  b.add({"M\x81ller"});
  b.add({"M\xFCller"});
  TTzDbf oem;
  oem.OpenFromMemory(b.build());
  const auto oemRows = readAll(oem);
  EXPECT_EQ(oemRows[0][0], "M\xC3\xBCller");      // code page 437: 0x81 is u with diaeresis
  EXPECT_EQ(oemRows[1][0], "M\xE2\x81\xBFller");  // 0xFC is superscript n
  TTzDbf ansi;
  ansi.setTableLanguage(tlAnsi);
  ansi.OpenFromMemory(b.build());
  const auto ansiRows = readAll(ansi);
  EXPECT_EQ(ansiRows[0][0], "M\xC2\x81ller");  // undefined in Windows-1252: kept as a control
  EXPECT_EQ(ansiRows[1][0], "M\xC3\xBCller");
}

TEST(TzDbf, DeletionFlagIsNeverTranslated) {
  // 0x2A is the same in both code pages, but a flag byte of 0x81 would become
  // a two-byte character if it were translated; the record must stay active.
  DbfBuilder b;
  b.fields = {{"A", 'C', 3}};
  b.records = {std::string("\x81"
                           "abc",
                           4),
               std::string("*def", 4)};
  TTzDbf t;
  t.setHideDeletedRecs(true);
  t.OpenFromMemory(b.build());
  EXPECT_EQ(readAll(t), (std::vector<std::vector<std::string>>{{"abc"}}));
}

TEST(TzDbf, TextOfOtherFieldTypes) {
  DbfBuilder b;
  b.fields = {{"D", 'D', 8},    {"N", 'N', 8, 2}, {"I", 'N', 5},
              {"F", 'F', 6, 1}, {"L", 'L', 1},    {"M", 'M', 10}};
  b.add({"20240305", "   12.50", "   42", "  -1.5", "T", "        17"});
  b.add({"        ", "        ", "     ", "      ", "?", "          "});
  b.add({"2024xx05", "   1e3 ", "  -0 ", "   0.0", "n", "          "});
  TTzDbf t;
  t.OpenFromMemory(b.build());
  const std::vector<std::vector<std::string>> want = {
      {"2024-03-05", "12.50", "42", "-1.5", "True", ""},
      {"", "", "", "", "", ""},
      {"2024xx05", "1e3", "-0", "0.0", "False", ""}};
  EXPECT_EQ(readAll(t), want);
}

TEST(TzDbf, TrailingControlCharactersAreRemovedLeadingBlanksKept) {
  DbfBuilder b;
  b.fields = {{"A", 'C', 10}};
  b.records = {" " + std::string(" \t x\x01\t\0 \x1F", 9)};
  TTzDbf t;
  t.OpenFromMemory(b.build());
  EXPECT_EQ(t.FieldAsText(0), " \t x");
}

TEST(TzDbf, BothYearConventionsOfTheLastUpdate) {
  for (const std::uint8_t year : {std::uint8_t{126}, std::uint8_t{26}}) {
    DbfBuilder b = peopleTable();
    b.year = year;
    b.month = 3;
    b.day = 9;
    TTzDbf t;
    t.OpenFromMemory(b.build());
    EXPECT_EQ(t.LastUpdate(), "03/09/26");
    EXPECT_EQ(t.LastUpdateYear(), 2026);
  }
  DbfBuilder b = peopleTable();
  b.year = 95;
  TTzDbf t;
  t.OpenFromMemory(b.build());
  EXPECT_EQ(t.LastUpdateYear(), 1995);
}

// Every prefix of a table either fails with a clean report or, once it holds
// every record, reads exactly like the whole table.
TEST(TzDbf, TruncationAtEveryOffsetGivesACleanError) {
  const DbfBuilder b = peopleTable();
  const std::string full = b.build();
  const std::size_t hl = 32 + 2 * 32 + 1;
  const std::size_t rl = b.naturalRecordLength();
  TTzDbf whole;
  whole.OpenFromMemory(full);
  const auto want = readAll(whole);
  for (std::size_t n = 0; n <= full.size(); ++n) {
    SCOPED_TRACE(n);
    int expected = 0;
    if (n < 32) {
      expected = 210;
    } else if (n < hl) {
      expected = 100;
    } else if (n < hl + 3 * rl) {
      expected = 213;
    }
    TTzDbf t;
    t.setDbfFileName("t.dbf");
    int got = 0;
    std::vector<std::vector<std::string>> rows;
    try {
      t.OpenFromMemory(full.substr(0, n));
      rows = readAll(t);
    } catch (const EDbfError& e) {
      got = e.number();
      if (got == 213) {
        EXPECT_EQ(std::string(e.what()),
                  "Error # 213 (End of file found unexpectedly)\r\nFile:  t.dbf  [GetDbfRecord]");
      }
    }
    EXPECT_EQ(got, expected);
    if (expected == 0) {
      EXPECT_EQ(rows, want);
    }
  }
}

TEST(TzDbf, RecordCountBeyondTheFileFailsWhenTheMissingRecordIsRead) {
  DbfBuilder b = peopleTable();
  b.recordCount = 0xFFFFFFFFu;
  TTzDbf t;
  t.OpenFromMemory(b.build());
  EXPECT_EQ(t.RecordCount(), 0xFFFFFFFFu);
  int rows = 0;
  try {
    for (t.First(); !t.Eof(); t.Next()) ++rows;
    FAIL() << "read past the file";
  } catch (const EDbfError& e) {
    EXPECT_EQ(e.number(), 213);
  }
  EXPECT_EQ(rows, 3);
}

TEST(TzDbf, HeaderLongerThanTheFileIsAReadError) {
  DbfBuilder b = peopleTable();
  b.headerLength = static_cast<std::uint16_t>(32 + 200 * 32);
  std::string bytes = b.build().substr(0, 500);
  std::string report;
  EXPECT_EQ(openError(bytes, &report), 100);
  EXPECT_EQ(report, "Error # 100 (Disk read error)\r\nError reading t.dbf [Use/OpenDbf]");
}

TEST(TzDbf, RecordLengthZeroOrTooShortForItsFieldsIsRefused) {
  DbfBuilder b = peopleTable();
  b.recordLength = 0;
  EXPECT_EQ(openError(b.build()), 210);
  b.recordLength = b.naturalRecordLength() - 1;  // the last field would run past the record
  std::string report;
  EXPECT_EQ(openError(b.build(), &report), 210);
  EXPECT_NE(report.find("EMAIL"), std::string::npos);
  b.recordLength = b.naturalRecordLength() + 5;  // longer records are fine
  EXPECT_EQ(openError(b.build()), 0);
}

std::string olderTable(bool terminator, std::size_t size = 0) {
  std::string out(8, '\0');
  out[0] = 0x02;
  out[1] = 2;  // two records
  out[3] = 26;
  out[4] = 5;
  out[5] = 17;
  out[6] = 1 + 6 + 3;  // record length
  std::string slots(512, '\0');
  const char* names[] = {"name", "n"};
  const char types[] = {'C', 'N'};
  const std::uint8_t lengths[] = {6, 3};
  for (int i = 0; i < 2; ++i) {
    std::string slot(16, '\0');
    slot.replace(0, std::string(names[i]).size(), names[i]);
    slot[11] = types[i];
    slot[12] = static_cast<char>(lengths[i]);
    slots.replace(static_cast<std::size_t>(i) * 16, 16, slot);
  }
  if (terminator) slots[32] = 0x0D;
  out += slots;
  out += '\0';  // header length 521
  out += " Alice  12";
  out += "*Bob     7";
  if (size) out.resize(size);
  return out;
}

TEST(TzDbf, OlderLayout) {
  TTzDbf t;
  t.setDbfFileName("t.dbf");
  t.OpenFromMemory(olderTable(true));
  EXPECT_EQ(t.HeaderLength(), 521u);
  EXPECT_EQ(t.RecordCount(), 2u);
  ASSERT_EQ(t.FieldCount(), 2u);
  EXPECT_EQ(t.FieldName(0), "NAME");
  EXPECT_EQ(t.Field(1).offset, 7u);
  EXPECT_EQ(readAll(t), (std::vector<std::vector<std::string>>{{"Alice", "12"}, {"Bob", "7"}}));

  std::string report;
  EXPECT_EQ(openError(olderTable(false), &report), 210);
  EXPECT_EQ(report,
            "Error # 210 (Not a dBASE data file)\r\n"
            "t.dbf is not a dBASE database.(Number of fields is out of range) [Use/OpenDbf]");
  EXPECT_EQ(openError(olderTable(true, 520), &report), 210);
  EXPECT_EQ(report,
            "Error # 210 (Not a dBASE data file)\r\n"
            "t.dbf is not a dBASE database.(Header is less than 521 bytes) [Use/OpenDBF]");
  TTzDbf cut;
  cut.OpenFromMemory(olderTable(true, 521 + 10 + 4));  // the second record is cut short
  try {
    readAll(cut);
    FAIL();
  } catch (const EDbfError& e) {
    EXPECT_EQ(e.number(), 213);
  }
}

TEST(TzDbf, OperationsOnAClosedTableAreInvalid) {
  TTzDbf t;
  try {
    t.First();
    FAIL();
  } catch (const EDbfError& e) {
    EXPECT_EQ(e.number(), 1103);
    EXPECT_EQ(std::string(e.what()).rfind("Error # 1103 (Invalid Operation )\r\n", 0), 0u);
  }
  EXPECT_THROW(t.Eof(), EDbfError);
  EXPECT_THROW(t.FieldAsText(0), EDbfError);
}

class TzDbfFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (fs::temp_directory_path() / "orvane-dbf-XXXXXX").string();
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { fs::remove_all(dir_); }
  void write(const fs::path& p, const std::string& bytes) {
    std::ofstream(p, std::ios::binary) << bytes;
  }
  fs::path dir_;
};

TEST_F(TzDbfFiles, NameIsTrimmedAndTheExtensionSupplied) {
  write(dir_ / "list.DBF", peopleTable().build());
  TTzDbf t;
  t.setDbfFileName("  " + (dir_ / "list").string() + " \t");
  EXPECT_EQ(t.DbfFileName(), (dir_ / "list").string());
  t.Open();
  EXPECT_EQ(t.OpenedName(), (dir_ / "list.DBF").string());
  EXPECT_EQ(readAll(t).size(), 3u);
}

TEST_F(TzDbfFiles, LowerCaseExtensionIsFoundToo) {
  write(dir_ / "list.dbf", peopleTable().build());
  TTzDbf t;
  t.setDbfFileName((dir_ / "list").string());
  t.Open();
  EXPECT_EQ(t.FieldCount(), 2u);
}

TEST_F(TzDbfFiles, MissingFileReport) {
  TTzDbf t;
  const std::string name = (dir_ / "none").string();
  t.setDbfFileName(name);
  try {
    t.Open();
    FAIL();
  } catch (const EDbfError& e) {
    EXPECT_EQ(e.number(), 2);
    EXPECT_EQ(std::string(e.what()),
              "Error # 2 (File not found)\r\nFailure to open " + name + ".DBF [USE/OpenDbf]");
  }
  EXPECT_FALSE(t.Active());
}

TEST_F(TzDbfFiles, AssigningTheNameWhileOpenReopens) {
  write(dir_ / "a.dbf", peopleTable().build());
  DbfBuilder other;
  other.fields = {{"X", 'C', 2}};
  other.add({"ok"});
  write(dir_ / "b.dbf", other.build());
  TTzDbf t;
  t.setDbfFileName((dir_ / "a.dbf").string());
  t.Open();
  t.setDbfFileName((dir_ / "b.dbf").string());
  ASSERT_TRUE(t.Active());
  EXPECT_EQ(t.FieldName(0), "X");
  EXPECT_EQ(t.FieldAsText(0), "ok");
}

TEST_F(TzDbfFiles, LargeFileReadsAcrossReadAheadWindows) {
  DbfBuilder b;
  b.fields = {{"N", 'C', 7}, {"E", 'C', 40}};
  for (int i = 0; i < 20000; ++i) b.add({std::to_string(i), "user" + std::to_string(i) + "@x.org"});
  write(dir_ / "big.dbf", b.build());
  TTzDbf t;
  t.setDbfFileName((dir_ / "big.dbf").string());
  t.Open();
  int i = 0;
  for (t.First(); !t.Eof(); t.Next(), ++i) {
    ASSERT_EQ(t.FieldAsText(0), std::to_string(i));
    ASSERT_EQ(t.FieldAsText(1), "user" + std::to_string(i) + "@x.org");
  }
  EXPECT_EQ(i, 20000);
}

// Tables written by independent tools (see tests/import/data/make-fixtures.sh).
TEST(TzDbfFixtures, TableWrittenByOgr2ogr) {
  for (const bool hide : {false, true}) {
    TTzDbf t;
    t.setHideDeletedRecs(hide);
    t.setDbfFileName(ORVANE_SOURCE_DIR "/tests/import/data/ogr_people.dbf");
    t.Open();
    ASSERT_EQ(t.FieldCount(), 5u);
    EXPECT_EQ(t.FieldName(0), "NAME");
    EXPECT_EQ(t.FieldName(4), "JOINED");
    EXPECT_EQ(t.RecordCount(), 3u);
    std::vector<std::vector<std::string>> want = {
        {"Anna Berg", "anna@example.com", "Acme", "12.000000000000000", "2024-03-05"},
        {"Bob Stone", "bob@example.org", "Globex", "7.500000000000000", "2023-11-30"},
        {"J\xC3\xBCrgen M\xC3\xBCller", "juergen@example.net", "Initech", "3.000000000000000",
         "2020-01-01"}};
    if (hide) want.erase(want.begin() + 1);
    EXPECT_EQ(readAll(t), want) << hide;
  }
}

TEST(TzDbfFixtures, TableWrittenByPythonDbf) {
  TTzDbf t;
  t.setDbfFileName(ORVANE_SOURCE_DIR "/tests/import/data/pydbf_people.dbf");
  t.Open();
  ASSERT_EQ(t.FieldCount(), 5u);
  const std::vector<std::string> names = {"NAME", "EMAIL", "BORN", "SCORE", "VIP"};
  for (std::size_t i = 0; i < names.size(); ++i) EXPECT_EQ(t.FieldName(i), names[i]);
  std::vector<bool> deleted;
  std::vector<std::vector<std::string>> rows;
  for (t.First(); !t.Eof(); t.Next()) {
    deleted.push_back(t.Deleted());
    std::vector<std::string> row;
    for (std::size_t i = 0; i < t.FieldCount(); ++i) row.push_back(t.FieldAsText(i));
    rows.push_back(row);
  }
  const std::vector<std::vector<std::string>> want = {
      {"Zo\xC3\xAB \xC3\x9Cnal", "zoe@example.com", "1990-02-14", "42.50", "True"},
      {"Removed Row", "gone@example.com", "2001-09-09", "1.00", "False"},
      {"Lead Blank", "lead@example.com", "", "", ""}};
  EXPECT_EQ(rows, want);
  EXPECT_EQ(deleted, (std::vector<bool>{false, true, false}));
}

}  // namespace
}  // namespace orvane
