#include "import/TzDbf.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "tests/import/DbfBuilder.h"
#include "tests/support/TestHelpers.h"

namespace orvane::import {
namespace {

using testing::DbfBuilder;
using testing::TempDir;
using Strings = std::vector<std::string>;
using Rows = std::vector<Strings>;
using enum DbfCodePage;
using enum DbfCodePageOrigin;

const std::string kNotDbase =
    "Error # 210 (Not a dBASE data file)\r\nt.dbf is not a dBASE database.";

DbfBuilder peopleTable() {
  DbfBuilder b;
  b.fields = {{"name", 'C', 12}, {"email", 'C', 30}};
  b.add({"Anna", "anna@example.com"});
  b.add({"  Bob", "bob@example.org"}, /*deleted=*/true);
  b.add({"Carl", "carl@example.net"});
  return b;
}

template <typename F>
std::string people(F change) {
  DbfBuilder b = peopleTable();
  change(b);
  return b.build();
}

// Version 2: an 8-byte prolog (version, record count, date, record length)
// and 32 slots of 16 bytes, 521 bytes of header in all.
std::string olderTable(bool terminator, std::size_t size = 0) {
  std::string out = {0x02, 2, 0, 26, 5, 17, 1 + 6 + 3, 0};
  std::string slots(512, '\0');
  slots.replace(0, 4, "name");
  slots[11] = 'C';
  slots[12] = 6;
  slots.replace(16, 1, "n");
  slots[16 + 11] = 'N';
  slots[16 + 12] = 3;
  if (terminator) slots[32] = 0x0D;
  out += slots + '\0' + " Alice  12" + "*Bob     7";
  if (size) out.resize(size);
  return out;
}

Rows readAll(TTzDbf& t) {
  Rows rows;
  for (t.First(); !t.Eof(); t.Next()) {
    rows.emplace_back();
    for (std::size_t i = 0; i < t.fieldCount(); ++i) rows.back().push_back(t.fieldAsText(i));
  }
  return rows;
}

Rows read(const std::string& bytes, bool hide = false, TTableLanguage language = tlOem) {
  TTzDbf t;
  t.setHideDeletedRecs(hide);
  t.setTableLanguage(language);
  t.openFromMemory(bytes);
  return readAll(t);
}

// The number and the report of the dBase error `call` throws; 0 and "" when
// it throws nothing.
template <typename F>
std::pair<int, std::string> errorOf(F&& call) {
  try {
    call();
  } catch (const EDbfError& e) {
    return {e.number(), e.what()};
  }
  return {0, ""};
}

TEST(TzDbf, OpensOnTheFirstRecordAndFlagsDeletedOnes) {
  TTzDbf t;
  t.openFromMemory(peopleTable().build());
  EXPECT_EQ(t.fieldAsText(0), "Anna");
  std::vector<bool> deleted;
  for (t.First(); !t.Eof(); t.Next()) deleted.push_back(t.Deleted());
  EXPECT_EQ(deleted, (std::vector{false, true, false}));
}

TEST(TzDbf, NoRecordOrEveryRecordHiddenIsEndOfFileAtOnce) {
  DbfBuilder none;
  none.fields = {{"A", 'C', 4}};
  DbfBuilder allDeleted = none;
  allDeleted.add({"x"}, true).add({"y"}, true);
  for (const auto* b : {&none, &allDeleted}) {
    TTzDbf t;
    t.setHideDeletedRecs(true);
    t.openFromMemory(b->build());
    EXPECT_TRUE(t.Eof());
    EXPECT_EQ(t.fieldAsText(0), "");
    EXPECT_EQ(readAll(t), Rows{});
  }
}

// Version 0x8B (memo bits over the plain 0x03), longer records and a header
// with a partial slot after the descriptors all read like the plain table.
TEST(TzDbf, VariantsThatOpen) {
  const Rows want = read(peopleTable().build());
  const std::string variants[] = {
      people([](DbfBuilder& b) { b.version = 0x8B; }),
      people([](DbfBuilder& b) { b.recordLength = b.naturalRecordLength() + 5; }),
      people([](DbfBuilder& b) { b.headerLength = 32 + 2 * 32 + 20; })};
  for (const auto& bytes : variants) EXPECT_EQ(read(bytes), want);
}

// Names are cut to ten characters or at a NUL and upper-cased; a table holds
// up to 255 fields.
TEST(TzDbf, FieldNamesAndTheMostFields) {
  DbfBuilder b;
  b.fields = {{"abcdefghijk", 'C', 3}, {"e-Mail", 'C', 3}, {std::string("ab\0cd", 5), 'C', 3}};
  for (int i = 3; i < 255; ++i) b.fields.push_back({"F" + std::to_string(i), 'C', 1});
  Strings values(255, "x");
  values[254] = "z";
  TTzDbf t;
  t.openFromMemory(b.add(values).build());
  ASSERT_EQ(t.fieldCount(), 255u);
  EXPECT_EQ((Strings{t.fieldName(0), t.fieldName(1), t.fieldName(2), t.fieldName(254)}),
            (Strings{"ABCDEFGHIJ", "E-MAIL", "AB", "F254"}));
  EXPECT_EQ(t.fieldAsText(254), "z");
}

// The report texts of a few refusals; the others give their number only.
TEST(TzDbf, DamagedOrForeignHeadersAreRefused) {
  struct Case {
    std::string what, bytes;
    int error;
    std::string report;  // empty: the number alone is checked
  };
  std::vector<Case> cases;
  for (const int v : {0x30, 0x04, 0x00}) {
    cases.push_back({"version " + std::to_string(v),
                     people([&](DbfBuilder& b) { b.version = static_cast<std::uint8_t>(v); }), 210,
                     kNotDbase + "(Invalid version byte)+ [USE/OpenDBF]"});
  }
  for (const int hl : {0, 31, 32, 33, 63, 32 + 256 * 32, 65535}) {
    std::string bytes =
        people([&](DbfBuilder& b) { b.headerLength = static_cast<std::uint16_t>(hl); });
    bytes.resize(std::max<std::size_t>(bytes.size(), 40000), '\0');
    cases.push_back({"header length " + std::to_string(hl), bytes, 210,
                     kNotDbase + " (Number of fields is out of range) [Use/OpenDbf]"});
  }
  DbfBuilder wide;
  for (int i = 0; i < 256; ++i) wide.fields.push_back({"F" + std::to_string(i), 'C', 1});
  cases.push_back({"256 fields", wide.build(), 210, ""});
  // One more 32-byte slot after the terminator: its type byte is not a letter.
  cases.push_back(
      {"extra slot", people([](DbfBuilder& b) { b.headerLength = 32 + 3 * 32 + 1; }), 211, ""});
  for (const char type : {'X', 'c', 'I', 'B', '0'}) {
    cases.push_back({std::string("type ") + type,
                     people([&](DbfBuilder& b) { b.fields[1].type = type; }), 211,
                     "Error # 211 (Invalid database field type encountered)\r\nField: EMAIL [" +
                         std::string(1, type) + "] in t.dbf is not a valid field type"});
  }
  cases.push_back({"header past the end of the file",
                   people([](DbfBuilder& b) { b.headerLength = 32 + 200 * 32; }).substr(0, 500),
                   100, "Error # 100 (Disk read error)\r\nError reading t.dbf [Use/OpenDbf]"});
  cases.push_back({"record length 0", people([](DbfBuilder& b) { b.recordLength = 0; }), 210, ""});
  cases.push_back({"field past the record",
                   people([](DbfBuilder& b) { b.recordLength = b.naturalRecordLength() - 1; }), 210,
                   kNotDbase + " (Field EMAIL runs past the end of the record) [Use/OpenDbf]"});
  cases.push_back({"older layout without terminator", olderTable(false), 210, ""});
  cases.push_back({"older layout cut in its header", olderTable(true, 520), 210, ""});
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TTzDbf t;
    t.setDbfFileName("t.dbf");
    const auto [error, report] = errorOf([&] { t.openFromMemory(c.bytes); });
    EXPECT_EQ(error, c.error);
    if (!c.report.empty()) {
      EXPECT_EQ(report, c.report);
    }
  }
}

// C keeps leading blanks and drops trailing blanks and control characters; D
// is a date when it holds eight digits; N and F are the number as stored,
// trimmed; L is True, False or nothing; a memo is never read.
TEST(TzDbf, FieldTextByType) {
  const std::pair<testing::DbfFieldSpec, std::vector<std::pair<std::string, std::string>>> cases[] =
      {{{"C", 'C', 10}, {{"  Bob", "  Bob"}, {std::string(" \t x\x01\t\0 \x1F", 9), " \t x"}}},
       {{"D", 'D', 8}, {{"20240305", "2024-03-05"}, {"2024xx05", "2024xx05"}, {"", ""}}},
       {{"N", 'N', 8}, {{"   12.50", "12.50"}, {"   1e3 ", "1e3"}, {"  -0 ", "-0"}, {"", ""}}},
       {{"F", 'F', 6}, {{"  -1.5", "-1.5"}, {"", ""}}},
       {{"L", 'L', 1}, {{"T", "True"}, {"n", "False"}, {"?", ""}}},
       {{"M", 'M', 10}, {{"        17", ""}}}};
  for (const auto& [field, bytesToText] : cases) {
    for (const auto& [bytes, text] : bytesToText) {
      DbfBuilder b;
      b.fields = {field};
      EXPECT_EQ(read(b.add({bytes}).build()), (Rows{{text}})) << field.type << bytes;
    }
  }
}

// Values read in the table language's code page (437: 0x81 is u with
// diaeresis; Windows-1252 keeps the undefined 0x81 as a control). The
// deletion flag is never translated: a flag of 0x81 keeps its record active.
TEST(TzDbf, ValuesAreTranslatedTheDeletionFlagNever) {
  DbfBuilder b;
  b.fields = {{"NAME", 'C', 6}};
  b.records = {"\x81M\x81ller", "*M\xFCller", " M\xFCller"};
  EXPECT_EQ(read(b.build(), true), (Rows{{"M\xC3\xBCller"}, {"M\xE2\x81\xBFller"}}));
  EXPECT_EQ(read(b.build(), true, tlAnsi), (Rows{{"M\xC2\x81ller"}, {"M\xC3\xBCller"}}));
}

TEST(TzDbf, ChosenCodePageAppliesAtOnceToValuesAndNames) {
  DbfBuilder b;
  b.languageDriver = 0x01;
  b.fields = {{"N\x94", 'C', 4}};
  b.add({"\x9B\xE9\x8C"}).add({"x"});
  TTzDbf t;
  t.openFromMemory(b.build());
  t.Next();
  t.setCodePage(Windows1252);
  EXPECT_EQ(t.recNo(), 2u);
  EXPECT_EQ(t.detectedCodePage(), Cp437);
  EXPECT_EQ(t.fieldName(0), "N”");
  t.First();
  EXPECT_EQ(t.fieldAsText(0), "›éŒ");
  t.setCodePage(std::nullopt);
  EXPECT_EQ(t.fieldName(0), "Nö");
  EXPECT_EQ(t.fieldAsText(0), "¢Θî");
  // A choice made before opening holds from the start.
  TTzDbf chosen;
  chosen.setCodePage(Cp866);
  chosen.openFromMemory(b.build());
  EXPECT_EQ(chosen.fieldAsText(0), "ЫщМ");
}

TEST(DbfCodePages, CpgContents) {
  const std::pair<std::optional<DbfCodePage>, Strings> cases[] = {
      {Utf8, {"UTF-8", "utf8\r\n", "\xEF\xBB\xBFUTF-8\n", "65001"}},
      {Windows1252, {"1252", "ANSI 1252", "CP1252", "ANSI", "ISO-8859-1"}},
      {Windows1251, {"ANSI 1251"}},
      {Windows1250, {"Windows-1250"}},
      {Cp850, {"cp850"}},
      {Cp437, {"437", "OEM"}},
      {Cp866, {"IBM866", " 866 \n1252"}},  // the first line only
      {Cp852, {"OEM 852"}},
      {std::nullopt,
       {"", "88592", "UTF-16", "CP936", "WINDOWS", "1252 and more", std::string(300, '1')}}};
  for (const auto& [want, contents] : cases) {
    for (const auto& text : contents) EXPECT_EQ(codePageOfCpg(text), want) << text;
  }
}

// Every prefix of a table either fails with a clean report or, once it holds
// every record, reads exactly like the whole table.
TEST(TzDbf, TruncationAtEveryOffsetGivesACleanError) {
  const DbfBuilder b = peopleTable();
  const std::string full = b.build();
  const std::size_t hl = 32 + 2 * 32 + 1;
  const Rows want = read(full);
  for (std::size_t n = 0; n <= full.size(); ++n) {
    SCOPED_TRACE(n);
    const int expected = n < 32                                 ? 210
                         : n < hl                               ? 100
                         : n < hl + 3 * b.naturalRecordLength() ? 213
                                                                : 0;
    TTzDbf t;
    t.setDbfFileName("t.dbf");
    Rows rows;
    const auto [error, report] = errorOf([&] {
      t.openFromMemory(full.substr(0, n));
      rows = readAll(t);
    });
    EXPECT_EQ(error, expected);
    if (error == 210) {
      EXPECT_EQ(report, kNotDbase + " (Prolog is less than 32 bytes) [USE/OpenDBF]");
    } else if (error == 213) {
      EXPECT_EQ(report,
                "Error # 213 (End of file found unexpectedly)\r\nFile:  t.dbf  [GetDbfRecord]");
    } else if (expected == 0) {
      EXPECT_EQ(rows, want);
    }
  }
}

TEST(TzDbf, RecordCountBeyondTheFileFailsWhenTheMissingRecordIsRead) {
  DbfBuilder b = peopleTable();
  b.recordCount = 0xFFFFFFFFu;
  TTzDbf t;
  t.openFromMemory(b.build());
  EXPECT_EQ(t.recordCount(), 0xFFFFFFFFu);
  int rows = 0;
  EXPECT_EQ(errorOf([&] {
              for (t.First(); !t.Eof(); t.Next()) ++rows;
            }).first,
            213);
  EXPECT_EQ(rows, 3);
}

TEST(TzDbf, OlderLayout) {
  TTzDbf t;
  t.openFromMemory(olderTable(true));
  EXPECT_EQ(t.recordCount(), 2u);
  EXPECT_EQ(t.fieldName(0), "NAME");
  EXPECT_EQ(readAll(t), (Rows{{"Alice", "12"}, {"Bob", "7"}}));
  // The second record cut short.
  EXPECT_EQ(errorOf([] { read(olderTable(true, 521 + 10 + 4)); }).first, 213);
}

// The name is trimmed and the extension supplied in either case; a missing
// file leaves the table closed, where every operation is refused.
TEST(TzDbfFiles, NameIsTrimmedAndTheExtensionSupplied) {
  TempDir dir;
  for (const char* file : {"upper.DBF", "lower.dbf"}) {
    const std::string stem = (dir.path() / file).replace_extension().string();
    dir.write(file, peopleTable().build());
    TTzDbf t;
    t.setDbfFileName("  " + stem + " \t");
    EXPECT_EQ(t.DbfFileName(), stem);
    t.Open();
    EXPECT_EQ(readAll(t).size(), 3u);
  }
  const std::string name = dir.file("none");
  TTzDbf t;
  t.setDbfFileName(name);
  EXPECT_EQ(
      errorOf([&] { t.Open(); }),
      std::pair(2, "Error # 2 (File not found)\r\nFailure to open " + name + ".DBF [USE/OpenDbf]"));
  EXPECT_FALSE(t.Active());
  EXPECT_EQ(errorOf([&] { t.First(); }).first, 1103);
  EXPECT_EQ(errorOf([&] { t.Eof(); }).first, 1103);
  EXPECT_EQ(errorOf([&] { t.fieldAsText(0); }).first, 1103);
}

// Where the code page of a table comes from, and its text read in it: a .cpg
// beside the table (its extension in any case; one that names nothing known
// is passed over), else text that is valid UTF-8 with a multi-byte character
// somewhere (a deleted record too; a sequence cut by a field boundary is
// none), else the language byte, else the table language. The bytes 9B E9 8C
// read differently in every code page.
TEST(TzDbfFiles, CodePageAndWhereItCameFrom) {
  const std::string x = " \x9B\xE9\x8C";
  const struct {
    std::uint8_t id;
    TTableLanguage language;
    std::pair<const char*, const char*> cpg;  // file name and contents, or none
    Strings records;                          // deletion flag, then fields A (6) and B (3)
    DbfCodePage codePage;
    DbfCodePageOrigin origin;
    Strings first;  // the first record's fields
  } cases[] = {
      {0x01, tlAnsi, {}, {x}, Cp437, LanguageDriver, {"¢Θî", ""}},
      {0x02, tlOem, {}, {x}, Cp850, LanguageDriver, {"øÚî", ""}},
      {0x03, tlOem, {}, {x}, Windows1252, LanguageDriver, {"›éŒ", ""}},
      {0x64, tlOem, {}, {x}, Cp852, LanguageDriver, {"ŤÚî", ""}},
      {0x65, tlOem, {}, {x}, Cp866, LanguageDriver, {"ЫщМ", ""}},
      {0x66, tlOem, {}, {x}, Cp865, LanguageDriver, {"øΘî", ""}},
      {0xC8, tlOem, {}, {x}, Windows1250, LanguageDriver, {"›éŚ", ""}},
      {0xC9, tlOem, {}, {x}, Windows1251, LanguageDriver, {"›йЊ", ""}},
      {0x00, tlOem, {}, {x}, Cp437, TableLanguage, {"¢Θî", ""}},
      {0x00, tlAnsi, {}, {x}, Windows1252, TableLanguage, {"›éŒ", ""}},
      {0x03, tlOem, {}, {" BjörnBo ", " plain x  "}, Utf8, Utf8Text, {"Björn", "Bo"}},
      {0x00, tlOem, {}, {" plain x  ", "*BjörnBo "}, Utf8, Utf8Text, {"plain", "x"}},
      {0x03, tlOem, {}, {" BjörnBo ", "*\x81"}, Windows1252, LanguageDriver, {"BjÃ¶rn", "Bo"}},
      {0x00, tlOem, {}, {" abcde\xC3\xB6rn"}, Cp437, TableLanguage, {"abcde├", "╢rn"}},
      {0x01, tlOem, {"t.cpg", "1252"}, {x}, Windows1252, CpgFile, {"›éŒ", ""}},
      {0x01, tlOem, {"t.CPG", "ANSI 1251\r\n"}, {x}, Windows1251, CpgFile, {"›йЊ", ""}},
      {0x01, tlOem, {"t.cpG", "UTF-8"}, {x}, Utf8, CpgFile, {"\uFFFD\uFFFD\uFFFD", ""}},
      {0x01, tlOem, {"t.cpg", "nonsense"}, {x}, Cp437, LanguageDriver, {"¢Θî", ""}},
      {0x01, tlOem, {"u.cpg", "1252"}, {x}, Cp437, LanguageDriver, {"¢Θî", ""}},
      {0x01, tlOem, {"t.dbf.cpg", "1252"}, {x}, Cp437, LanguageDriver, {"¢Θî", ""}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.id) + " " + c.records[0] + " " +
                 (c.cpg.first ? c.cpg.first : ""));
    DbfBuilder b;
    b.languageDriver = c.id;
    b.fields = {{"A", 'C', 6}, {"B", 'C', 3}};
    b.records = c.records;
    TempDir dir;
    if (c.cpg.first) dir.write(c.cpg.first, c.cpg.second);
    TTzDbf t;
    t.setTableLanguage(c.language);
    t.setDbfFileName(b.writeFile(dir.file("t.dbf")));
    t.Open();
    EXPECT_EQ(t.codePage(), c.codePage);
    EXPECT_EQ(t.codePageOrigin(), c.origin);
    EXPECT_EQ((Strings{t.fieldAsText(0), t.fieldAsText(1)}), c.first);
  }
}

}  // namespace
}  // namespace orvane::import
