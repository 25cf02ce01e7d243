#include "import/TzDbf.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/import/DbfBuilder.h"

namespace orvane {
namespace {

using test::DbfBuilder;
using Rows = std::vector<std::vector<std::string>>;

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

// A table built from peopleTable() with one change.
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

// Every record's fields as text, in navigation order.
Rows readAll(TTzDbf& t) {
  Rows rows;
  for (t.First(); !t.Eof(); t.Next()) {
    rows.emplace_back();
    for (std::size_t i = 0; i < t.FieldCount(); ++i) rows.back().push_back(t.FieldAsText(i));
  }
  return rows;
}

Rows read(const std::string& bytes, bool hide = false, TTableLanguage language = tlOem) {
  TTzDbf t;
  t.setHideDeletedRecs(hide);
  t.setTableLanguage(language);
  t.OpenFromMemory(bytes);
  return readAll(t);
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

// The error number of `f`, or 0 when it throws nothing.
template <typename F>
int errorOf(F&& f) {
  try {
    f();
  } catch (const EDbfError& e) {
    return e.number();
  }
  return 0;
}

TEST(TzDbf, ReadsCharacterFieldsWithoutTrailingBlanksAndNamesUpperCase) {
  TTzDbf t;
  t.OpenFromMemory(peopleTable().build());
  EXPECT_FALSE(t.Eof());  // opening positions on the first record
  EXPECT_EQ(t.RecNo(), 1u);
  EXPECT_EQ(t.FieldAsText(0), "Anna");
  ASSERT_EQ(t.FieldCount(), 2u);
  EXPECT_EQ(t.FieldName(0), "NAME");
  EXPECT_EQ(t.FieldName(1), "EMAIL");
  EXPECT_EQ(t.Field(1).offset, 13u);
  EXPECT_EQ(t.RecordCount(), 3u);
  EXPECT_EQ(readAll(t), (Rows{{"Anna", "anna@example.com"},
                              {"  Bob", "bob@example.org"},
                              {"Carl", "carl@example.net"}}));
}

TEST(TzDbf, DeletedRecordsAreDeliveredOrHidden) {
  for (const bool hide : {false, true}) {
    SCOPED_TRACE(hide);
    TTzDbf t;
    t.setHideDeletedRecs(hide);
    t.OpenFromMemory(peopleTable().build());
    std::vector<std::string> names;
    std::vector<bool> deleted;
    for (t.First(); !t.Eof(); t.Next()) {
      names.push_back(t.FieldAsText(0));
      deleted.push_back(t.Deleted());
    }
    using Names = std::vector<std::string>;
    using Flags = std::vector<bool>;
    EXPECT_EQ(names, (hide ? Names{"Anna", "Carl"} : Names{"Anna", "  Bob", "Carl"}));
    EXPECT_EQ(deleted, (hide ? Flags{false, false} : Flags{false, true, false}));
    EXPECT_EQ(t.RecordCount(), 3u);  // deleted records count either way
  }
}

TEST(TzDbf, NoRecordOrEveryRecordHiddenIsEndOfFileAtOnce) {
  DbfBuilder none;
  none.fields = {{"A", 'C', 4}};
  DbfBuilder allDeleted = none;
  allDeleted.add({"x"}, true).add({"y"}, true);
  for (const auto* b : {&none, &allDeleted}) {
    TTzDbf t;
    t.setHideDeletedRecs(true);
    t.OpenFromMemory(b->build());
    EXPECT_TRUE(t.Eof());
    EXPECT_TRUE(t.Bof());
    t.First();
    EXPECT_TRUE(t.Eof());
    if (!b->records.empty()) {
      EXPECT_EQ(t.RecNo(), 3u);
    }
    EXPECT_EQ(t.FieldAsText(0), "");
    t.Next();
    EXPECT_TRUE(t.Eof());
  }
}

// Versions 0x03, 0x83 (memo bit) and 0x8B, longer records and a header with a
// partial slot after the descriptors all read like the plain table.
TEST(TzDbf, VariantsThatOpen) {
  const Rows want = read(peopleTable().build());
  const std::string variants[] = {
      people([](DbfBuilder& b) { b.version = 0x83; }),
      people([](DbfBuilder& b) { b.version = 0x8B; }),
      people([](DbfBuilder& b) { b.recordLength = b.naturalRecordLength() + 5; }),
      people([](DbfBuilder& b) { b.headerLength = 32 + 2 * 32 + 20; }),
  };
  for (const auto& bytes : variants) EXPECT_EQ(read(bytes), want);
}

TEST(TzDbf, Reads255Fields) {
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
}

TEST(TzDbf, DamagedOrForeignHeadersAreRefusedWithTheirReport) {
  const std::string fieldCount = kNotDbase + " (Number of fields is out of range) [Use/OpenDbf]";
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
    cases.push_back({"header length " + std::to_string(hl), bytes, 210, fieldCount});
  }
  DbfBuilder wide;
  for (int i = 0; i < 256; ++i) wide.fields.push_back({"F" + std::to_string(i), 'C', 1});
  cases.push_back({"256 fields", wide.build(), 210, fieldCount});
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
  cases.push_back({"record length 0", people([](DbfBuilder& b) { b.recordLength = 0; }), 210,
                   kNotDbase + " (Record length is zero) [Use/OpenDbf]"});
  cases.push_back({"field past the record",
                   people([](DbfBuilder& b) { b.recordLength = b.naturalRecordLength() - 1; }), 210,
                   kNotDbase + " (Field EMAIL runs past the end of the record) [Use/OpenDbf]"});
  cases.push_back({"older layout without terminator", olderTable(false), 210,
                   kNotDbase + "(Number of fields is out of range) [Use/OpenDbf]"});
  cases.push_back({"older layout cut in its header", olderTable(true, 520), 210,
                   kNotDbase + "(Header is less than 521 bytes) [Use/OpenDBF]"});
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::string report;
    EXPECT_EQ(openError(c.bytes, &report), c.error);
    if (!c.report.empty()) {
      EXPECT_EQ(report, c.report);
    }
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
  b.add({"M\x81ller"}).add({"M\xFCller"});
  // Code page 437: 0x81 is u with diaeresis, 0xFC superscript n.
  EXPECT_EQ(read(b.build()), (Rows{{"M\xC3\xBCller"}, {"M\xE2\x81\xBFller"}}));
  // Windows-1252: 0x81 is undefined and kept as a control, 0xFC is u with diaeresis.
  EXPECT_EQ(read(b.build(), false, tlAnsi), (Rows{{"M\xC2\x81ller"}, {"M\xC3\xBCller"}}));
}

// The bytes 9B E9 8C read differently in every code page.
TEST(TzDbf, CodePageFromTheLanguageDriver) {
  const struct {
    std::uint8_t id;
    TTableLanguage language;
    DbfCodePage codePage;
    DbfCodePageOrigin origin;
    std::string text;
  } cases[] = {
      {0x01, tlOem, DbfCodePage::Cp437, DbfCodePageOrigin::LanguageDriver, "¢Θî"},
      {0x01, tlAnsi, DbfCodePage::Cp437, DbfCodePageOrigin::LanguageDriver, "¢Θî"},
      {0x02, tlOem, DbfCodePage::Cp850, DbfCodePageOrigin::LanguageDriver, "øÚî"},
      {0x03, tlOem, DbfCodePage::Windows1252, DbfCodePageOrigin::LanguageDriver, "›éŒ"},
      {0x57, tlOem, DbfCodePage::Windows1252, DbfCodePageOrigin::LanguageDriver, "›éŒ"},
      {0x64, tlOem, DbfCodePage::Cp852, DbfCodePageOrigin::LanguageDriver, "ŤÚî"},
      {0x65, tlOem, DbfCodePage::Cp866, DbfCodePageOrigin::LanguageDriver, "ЫщМ"},
      {0x66, tlOem, DbfCodePage::Cp865, DbfCodePageOrigin::LanguageDriver, "øΘî"},
      {0xC8, tlOem, DbfCodePage::Windows1250, DbfCodePageOrigin::LanguageDriver, "›éŚ"},
      {0xC9, tlOem, DbfCodePage::Windows1251, DbfCodePageOrigin::LanguageDriver, "›йЊ"},
      // Nothing declared, or a driver this reader does not know: the table language.
      {0x00, tlOem, DbfCodePage::Cp437, DbfCodePageOrigin::TableLanguage, "¢Θî"},
      {0xF0, tlOem, DbfCodePage::Cp437, DbfCodePageOrigin::TableLanguage, "¢Θî"},
      {0x00, tlAnsi, DbfCodePage::Windows1252, DbfCodePageOrigin::TableLanguage, "›éŒ"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.id));
    DbfBuilder b;
    b.languageDriver = c.id;
    b.fields = {{"NAME", 'C', 4}};
    b.add({"\x9B\xE9\x8C"});
    TTzDbf t;
    t.setTableLanguage(c.language);
    t.OpenFromMemory(b.build());
    EXPECT_EQ(t.LanguageDriver(), c.id);
    EXPECT_EQ(t.CodePage(), c.codePage);
    EXPECT_EQ(t.CodePageOrigin(), c.origin);
    EXPECT_EQ(t.FieldAsText(0), c.text);
  }
}

// Text that is valid UTF-8 with a multi-byte character is read as UTF-8 over
// any language driver; one field that is not UTF-8 anywhere in the table (a
// deleted record too) keeps the declared or default code page.
TEST(TzDbf, Utf8TextIsRecognised) {
  const struct {
    std::vector<std::string> records;  // deletion flag and the two fields
    std::uint8_t id;
    DbfCodePage codePage;
    std::vector<std::string> first;
  } cases[] = {
      {{" BjörnBo ", " plain x  "}, 0x00, DbfCodePage::Utf8, {"Björn", "Bo"}},
      {{" BjörnBo ", " plain x  "}, 0x03, DbfCodePage::Utf8, {"Björn", "Bo"}},
      {{" plain x  ", "*BjörnBo "}, 0x00, DbfCodePage::Utf8, {"plain", "x"}},
      {{" Bj\xC3\xB6rnBo ", " M\x81llerx  "}, 0x00, DbfCodePage::Cp437, {"Bj├╢rn", "Bo"}},
      {{" Bj\xC3\xB6rnBo ", "*M\x81llerx  "}, 0x03, DbfCodePage::Windows1252, {"BjÃ¶rn", "Bo"}},
      {{" plain x  "}, 0x00, DbfCodePage::Cp437, {"plain", "x"}},
      // A sequence cut by a field boundary is no UTF-8 character.
      {{" abcde\xC3\xB6rn"}, 0x00, DbfCodePage::Cp437, {"abcde├", "╢rn"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.records[0]);
    DbfBuilder b;
    b.languageDriver = c.id;
    b.fields = {{"A", 'C', 6}, {"B", 'C', 3}};
    b.records = c.records;
    TTzDbf t;
    t.OpenFromMemory(b.build());
    EXPECT_EQ(t.CodePage(), c.codePage);
    EXPECT_EQ((std::vector<std::string>{t.FieldAsText(0), t.FieldAsText(1)}), c.first);
  }
}

TEST(TzDbf, ChosenCodePageAppliesAtOnceToValuesAndNames) {
  DbfBuilder b;
  b.languageDriver = 0x01;
  b.fields = {{"N\x94", 'C', 4}};
  b.add({"\x9B\xE9\x8C"}).add({"x"});
  TTzDbf t;
  t.OpenFromMemory(b.build());
  t.Next();
  t.setCodePage(DbfCodePage::Windows1252);
  EXPECT_EQ(t.RecNo(), 2u);
  EXPECT_EQ(t.CodePage(), DbfCodePage::Windows1252);
  EXPECT_EQ(t.DetectedCodePage(), DbfCodePage::Cp437);
  EXPECT_EQ(t.FieldName(0), "N”");
  t.First();
  EXPECT_EQ(t.FieldAsText(0), "›éŒ");
  t.setCodePage(std::nullopt);
  EXPECT_EQ(t.FieldName(0), "Nö");
  EXPECT_EQ(t.FieldAsText(0), "¢Θî");
  // A choice made before opening holds from the start.
  TTzDbf chosen;
  chosen.setCodePage(DbfCodePage::Cp866);
  chosen.OpenFromMemory(b.build());
  EXPECT_EQ(chosen.FieldAsText(0), "ЫщМ");
}

TEST(DbfCodePages, CpgContents) {
  const struct {
    std::string contents;
    std::optional<DbfCodePage> want;
  } cases[] = {
      {"UTF-8", DbfCodePage::Utf8},
      {"utf8\r\n", DbfCodePage::Utf8},
      {"\xEF\xBB\xBFUTF-8\n", DbfCodePage::Utf8},
      {"65001", DbfCodePage::Utf8},
      {"1252", DbfCodePage::Windows1252},
      {"ANSI 1252", DbfCodePage::Windows1252},
      {"ANSI 1251", DbfCodePage::Windows1251},
      {"CP1252", DbfCodePage::Windows1252},
      {"cp850", DbfCodePage::Cp850},
      {"437", DbfCodePage::Cp437},
      {"850\n", DbfCodePage::Cp850},
      {"OEM", DbfCodePage::Cp437},
      {"ANSI", DbfCodePage::Windows1252},
      {"Windows-1250", DbfCodePage::Windows1250},
      {"IBM866", DbfCodePage::Cp866},
      {"OEM 852", DbfCodePage::Cp852},
      {"ISO-8859-1", DbfCodePage::Windows1252},
      {" 866 \n1252", DbfCodePage::Cp866},  // the first line only
      {"", std::nullopt},
      {"88592", std::nullopt},
      {"UTF-16", std::nullopt},
      {"CP936", std::nullopt},
      {"WINDOWS", std::nullopt},
      {"1252 and more", std::nullopt},
      {std::string(300, '1'), std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(codePageOfCpg(c.contents), c.want) << c.contents;
}

TEST(TzDbf, DeletionFlagIsNeverTranslated) {
  // A flag byte of 0x81 would become a two-byte character if it were
  // translated; the record must stay active.
  DbfBuilder b;
  b.fields = {{"A", 'C', 3}};
  b.records = {std::string("\x81"
                           "abc"),
               "*def"};
  EXPECT_EQ(read(b.build(), /*hide=*/true), (Rows{{"abc"}}));
}

TEST(TzDbf, TextOfOtherFieldTypes) {
  DbfBuilder b;
  b.fields = {{"D", 'D', 8},    {"N", 'N', 8, 2}, {"I", 'N', 5},
              {"F", 'F', 6, 1}, {"L", 'L', 1},    {"M", 'M', 10}};
  b.add({"20240305", "   12.50", "   42", "  -1.5", "T", "        17"});
  b.add({"        ", "        ", "     ", "      ", "?", "          "});
  b.add({"2024xx05", "   1e3 ", "  -0 ", "   0.0", "n", "          "});
  EXPECT_EQ(read(b.build()), (Rows{{"2024-03-05", "12.50", "42", "-1.5", "True", ""},
                                   {"", "", "", "", "", ""},
                                   {"2024xx05", "1e3", "-0", "0.0", "False", ""}}));
}

TEST(TzDbf, TrailingControlCharactersAreRemovedLeadingBlanksKept) {
  DbfBuilder b;
  b.fields = {{"A", 'C', 10}};
  b.records = {" " + std::string(" \t x\x01\t\0 \x1F", 9)};
  EXPECT_EQ(read(b.build()), (Rows{{" \t x"}}));
}

TEST(TzDbf, BothYearConventionsOfTheLastUpdate) {
  for (const auto& [year, full] : {std::pair{126, 2026}, {26, 2026}, {95, 1995}}) {
    DbfBuilder b = peopleTable();
    b.year = static_cast<std::uint8_t>(year);
    b.month = 3;
    b.day = 9;
    TTzDbf t;
    t.OpenFromMemory(b.build());
    EXPECT_EQ(t.LastUpdateYear(), full) << year;
    EXPECT_EQ(t.LastUpdate(), "03/09/" + std::to_string(full % 100)) << year;
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
    int got = 0;
    Rows rows;
    try {
      t.OpenFromMemory(full.substr(0, n));
      rows = readAll(t);
    } catch (const EDbfError& e) {
      got = e.number();
      const std::string report = e.what();
      if (got == 210) {
        EXPECT_EQ(report, kNotDbase + " (Prolog is less than 32 bytes) [USE/OpenDBF]");
      } else if (got == 213) {
        EXPECT_EQ(report,
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
  EXPECT_EQ(errorOf([&] {
              for (t.First(); !t.Eof(); t.Next()) ++rows;
            }),
            213);
  EXPECT_EQ(rows, 3);
}

TEST(TzDbf, OlderLayout) {
  TTzDbf t;
  t.OpenFromMemory(olderTable(true));
  EXPECT_EQ(t.HeaderLength(), 521u);
  EXPECT_EQ(t.RecordCount(), 2u);
  ASSERT_EQ(t.FieldCount(), 2u);
  EXPECT_EQ(t.FieldName(0), "NAME");
  EXPECT_EQ(t.Field(1).offset, 7u);
  EXPECT_EQ(readAll(t), (Rows{{"Alice", "12"}, {"Bob", "7"}}));

  // The second record cut short.
  EXPECT_EQ(errorOf([] { read(olderTable(true, 521 + 10 + 4)); }), 213);
}

TEST(TzDbf, OperationsOnAClosedTableAreInvalid) {
  TTzDbf t;
  EXPECT_EQ(errorOf([&] { t.First(); }), 1103);
  EXPECT_EQ(errorOf([&] { t.Eof(); }), 1103);
  EXPECT_EQ(errorOf([&] { t.FieldAsText(0); }), 1103);
}

TEST(TzDbfFiles, NameIsTrimmedAndTheExtensionSuppliedInEitherCase) {
  test::TempDir dir;
  for (const char* file : {"upper.DBF", "lower.dbf"}) {
    const std::string stem = (dir.path / file).replace_extension().string();
    const std::string path = dir.write(file, peopleTable().build());
    TTzDbf t;
    t.setDbfFileName("  " + stem + " \t");
    EXPECT_EQ(t.DbfFileName(), stem);
    t.Open();
    EXPECT_EQ(t.OpenedName(), path);
    EXPECT_EQ(readAll(t).size(), 3u);
  }
}

TEST(TzDbfFiles, MissingFileReport) {
  test::TempDir dir;
  const std::string name = (dir.path / "none").string();
  TTzDbf t;
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

// A .cpg beside the table, its extension in any case, comes before the
// language driver; one that names nothing known is passed over.
TEST(TzDbfFiles, CpgFileBesideTheTable) {
  DbfBuilder b;
  b.languageDriver = 0x01;
  b.fields = {{"NAME", 'C', 4}};
  b.add({"\x9B\xE9\x8C"});
  const struct {
    const char* cpg;  // file name, or null for none
    const char* contents;
    DbfCodePage codePage;
    DbfCodePageOrigin origin;
    std::string text;
  } cases[] = {
      {nullptr, "", DbfCodePage::Cp437, DbfCodePageOrigin::LanguageDriver, "¢Θî"},
      {"t.cpg", "1252", DbfCodePage::Windows1252, DbfCodePageOrigin::CpgFile, "›éŒ"},
      {"t.CPG", "ANSI 1251\r\n", DbfCodePage::Windows1251, DbfCodePageOrigin::CpgFile, "›йЊ"},
      {"t.Cpg", "850", DbfCodePage::Cp850, DbfCodePageOrigin::CpgFile, "øÚî"},
      {"t.cpG", "UTF-8", DbfCodePage::Utf8, DbfCodePageOrigin::CpgFile,
       "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"t.cpg", "nonsense", DbfCodePage::Cp437, DbfCodePageOrigin::LanguageDriver, "¢Θî"},
      {"u.cpg", "1252", DbfCodePage::Cp437, DbfCodePageOrigin::LanguageDriver, "¢Θî"},
      {"t.dbf.cpg", "1252", DbfCodePage::Cp437, DbfCodePageOrigin::LanguageDriver, "¢Θî"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.cpg ? c.cpg : "none");
    test::TempDir dir;
    TTzDbf t;
    t.setDbfFileName(dir.write("t.dbf", b.build()));
    if (c.cpg) dir.write(c.cpg, c.contents);
    t.Open();
    EXPECT_EQ(t.CodePage(), c.codePage);
    EXPECT_EQ(t.CodePageOrigin(), c.origin);
    EXPECT_EQ(t.FieldAsText(0), c.text);
  }
}

TEST(TzDbfFiles, AssigningTheNameWhileOpenReopens) {
  test::TempDir dir;
  DbfBuilder other;
  other.fields = {{"X", 'C', 2}};
  other.add({"ok"});
  TTzDbf t;
  t.setDbfFileName(dir.write("a.dbf", peopleTable().build()));
  t.Open();
  t.setDbfFileName(dir.write("b.dbf", other.build()));
  ASSERT_TRUE(t.Active());
  EXPECT_EQ(t.FieldName(0), "X");
  EXPECT_EQ(t.FieldAsText(0), "ok");
}

TEST(TzDbfFiles, LargeFileReadsAcrossReadAheadWindows) {
  DbfBuilder b;
  b.fields = {{"N", 'C', 7}, {"E", 'C', 40}};
  for (int i = 0; i < 20000; ++i) b.add({std::to_string(i), "user" + std::to_string(i) + "@x.org"});
  test::TempDir dir;
  TTzDbf t;
  t.setDbfFileName(dir.write("big.dbf", b.build()));
  t.Open();
  int i = 0;
  for (t.First(); !t.Eof(); t.Next(), ++i) {
    ASSERT_EQ(t.FieldAsText(0), std::to_string(i));
    ASSERT_EQ(t.FieldAsText(1), "user" + std::to_string(i) + "@x.org");
  }
  EXPECT_EQ(i, 20000);
}

// Tables written by independent tools (see tests/import/data/make-fixtures.sh),
// each with its second record deleted.
TEST(TzDbfFixtures, TablesWrittenByOtherTools) {
  const struct {
    const char* file;
    std::vector<std::string> names;
    Rows rows;
  } cases[] = {
      {"ogr_people.dbf",
       {"NAME", "EMAIL", "COMPANY", "SCORE", "JOINED"},
       {{"Anna Berg", "anna@example.com", "Acme", "12.000000000000000", "2024-03-05"},
        {"Bob Stone", "bob@example.org", "Globex", "7.500000000000000", "2023-11-30"},
        {"J\xC3\xBCrgen M\xC3\xBCller", "juergen@example.net", "Initech", "3.000000000000000",
         "2020-01-01"}}},
      {"pydbf_people.dbf",
       {"NAME", "EMAIL", "BORN", "SCORE", "VIP"},
       {{"Zo\xC3\xAB \xC3\x9Cnal", "zoe@example.com", "1990-02-14", "42.50", "True"},
        {"Removed Row", "gone@example.com", "2001-09-09", "1.00", "False"},
        {"Lead Blank", "lead@example.com", "", "", ""}}},
  };
  for (const auto& c : cases) {
    for (const bool hide : {false, true}) {
      SCOPED_TRACE(std::string(c.file) + (hide ? " hidden" : ""));
      TTzDbf t;
      t.setHideDeletedRecs(hide);
      t.setDbfFileName(std::string(ORVANE_SOURCE_DIR "/tests/import/data/") + c.file);
      t.Open();
      EXPECT_EQ(t.RecordCount(), 3u);
      std::vector<std::string> names;
      for (std::size_t i = 0; i < t.FieldCount(); ++i) names.push_back(t.FieldName(i));
      EXPECT_EQ(names, c.names);
      Rows want = c.rows;
      if (hide) want.erase(want.begin() + 1);
      EXPECT_EQ(readAll(t), want);
    }
  }
}

// "Björn Ås" and "Zoë Ünal" as independent tools write them in each code page
// (see tests/import/data/make-fixtures.sh).
TEST(TzDbfFixtures, CodePagesOfOtherTools) {
  const struct {
    const char* file;
    DbfCodePage codePage;
    DbfCodePageOrigin origin;
  } cases[] = {
      {"pydbf_cp1252.dbf", DbfCodePage::Windows1252, DbfCodePageOrigin::LanguageDriver},
      {"pydbf_cp850.dbf", DbfCodePage::Cp850, DbfCodePageOrigin::LanguageDriver},
      {"pydbf_utf8.dbf", DbfCodePage::Utf8, DbfCodePageOrigin::Utf8Text},
      {"ogr_utf8.dbf", DbfCodePage::Utf8, DbfCodePageOrigin::CpgFile},
      {"ogr_utf8_bare.dbf", DbfCodePage::Utf8, DbfCodePageOrigin::Utf8Text},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    TTzDbf t;
    t.setDbfFileName(std::string(ORVANE_SOURCE_DIR "/tests/import/data/") + c.file);
    t.Open();
    EXPECT_EQ(t.CodePage(), c.codePage);
    EXPECT_EQ(t.CodePageOrigin(), c.origin);
    EXPECT_EQ(t.FieldName(0), "NAME");
    EXPECT_EQ(readAll(t),
              (Rows{{"Björn Ås", "bjoern@example.com"}, {"Zoë Ünal", "zoe@example.com"}}));
  }
}

}  // namespace
}  // namespace orvane
