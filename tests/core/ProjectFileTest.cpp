#include "core/ProjectFile.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <new>
#include <string>
#include <vector>

#include "tests/support/TestHelpers.h"

// Records the largest single allocation while `gTrackAllocations` is set, so
// that a test can prove that a corrupted length never turns into a big reserve.
namespace {
bool gTrackAllocations = false;
std::size_t gLargestAllocation = 0;

void* allocate(std::size_t n) {
  if (gTrackAllocations && n > gLargestAllocation) gLargestAllocation = n;
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
}  // namespace

void* operator new(std::size_t n) {
  return allocate(n);
}
// The array and sized forms reach these two by default.
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}

namespace orvane {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;
using testing::readFile;
using testing::thrownMessage;
using Texts = std::vector<std::vector<std::string>>;

std::string le32(std::uint32_t v) {
  return {static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
          static_cast<char>(v >> 24)};
}

// A short string as the file holds it: length byte, then the bytes.
std::string ss(std::string_view bytes) {
  return static_cast<char>(bytes.size()) + std::string(bytes);
}

// Signature, class, object, the property records, the two end bytes.
std::string stream(const std::string& records) {
  return "TPF0"s + ss("TListView") + ss("ListView1") + records + "\0\0"s;
}

std::string entryRecord(std::int32_t result, std::int32_t check,
                        const std::vector<std::string>& texts) {
  std::string r = le32(static_cast<std::uint32_t>(result)) +
                  le32(static_cast<std::uint32_t>(check)) + le32(0xFFFFFFFFu) +
                  le32(static_cast<std::uint32_t>(texts.size() - 1)) + le32(0);
  for (const auto& t : texts) r += ss(t);
  return r;
}

std::string itemsData(std::int32_t count, const std::string& records) {
  const auto size = static_cast<std::uint32_t>(8 + records.size());
  return ss("Items.Data") + "\x0A"s + le32(size) + le32(size) +
         le32(static_cast<std::uint32_t>(count)) + records;
}

const std::string kTwoColumns = ss("Columns") + "\x0E"s +                                  //
                                "\x01"s + ss("Caption") + "\x06"s + ss("Email") + "\0"s +  //
                                "\x01"s + ss("Caption") + "\x06"s + ss("Result") + "\0"s + "\0"s;

std::string errorOf(std::string_view bytes) {
  return thrownMessage<ProjectFileError>([&] { parseProject(bytes); });
}

Texts texts(std::span<const Entry> entries) {
  Texts out;
  for (const auto& e : entries) {
    out.push_back({std::string(e.email())});
    for (std::size_t i = 0; i < e.subItemCount(); ++i) out.back().emplace_back(e.subItem(i));
  }
  return out;
}

Entry makeEntry(const std::vector<std::string>& fields, std::int32_t result, std::int32_t check) {
  Entry e(fields.front(), std::vector<std::string>(fields.begin() + 1, fields.end()));
  e.resultState = result;
  e.checkState = check;
  return e;
}

// A small project written out byte by byte from the file layout: four columns
// (one 50 wide, one without caption), two entries, one with an "é".
// clang-format off
const std::string kGolden =
    "TPF0"s + "\x09TListView"s + "\x09ListView1"s +
    "\x04Left\x02\x00"s + "\x03Top\x02\x1D"s +
    "\x05Width\x03\x80\x02"s + "\x06Height\x03\x90\x01"s +                   // 640, 400
    "\x05" "Align\x07\x08" "alClient"s +
    "\x07" "AllocBy\x04\x50\xC3\x00\x00"s +                                  // 50000
    "\x07" "Columns\x0E"s +
    "\x01\x07" "Caption\x06\x05" "Email\x05Width\x02\x78\x00"s +             // 120
    "\x01\x07" "Caption\x06\x06Result\x05Width\x03\x22\x01\x00"s +           // 290
    "\x01\x07" "Caption\x06\x04Name\x00"s +                                  // width 50
    "\x01\x05Width\x02\x50\x00"s +                                           // no caption, 80
    "\x00"s +                                                                // end of collection
    "\x0B" "ColumnClick\x08"s + "\x0D" "HideSelection\x08"s + "\x0EHotTrackStyles\x0B\x00"s +
    "\x0AItems.Data\x0A\x4F\x00\x00\x00\x4F\x00\x00\x00\x02\x00\x00\x00"s +  // L = S = 79, C = 2
    // entry 1: not validated, checked, 3 sub-items
    "\xFF\xFF\xFF\xFF\x01\x00\x00\x00\xFF\xFF\xFF\xFF\x03\x00\x00\x00\x00\x00\x00\x00"s +
    "\x05" "a@b.c\x00\x03" "Ann\x01x"s +
    // entry 2: good, unchecked, 3 sub-items
    "\x00\x00\x00\x00\x00\x00\x00\x00\xFF\xFF\xFF\xFF\x03\x00\x00\x00\x00\x00\x00\x00"s +
    "\x06\xE9@x.de\x06[0] ok\x02" "B\xE9\x00"s +
    "\x08ReadOnly\x09"s + "\x09RowSelect\x09"s +
    "\x09PopupMenu\x07\x13MainForm.PopupMenu1"s +
    "\x0BSmallImages\x07\x13MainForm.ImageList1"s +
    "\x0BStateImages\x07\x13MainForm.ImageList3"s +
    "\x08TabOrder\x02\x02"s + "\x09ViewStyle\x07\x08vsReport"s +
    "\x00\x00"s;
// clang-format on

const std::vector<Column> kGoldenColumns = {
    {"Email", 120}, {"Result", 290}, {"Name", 50}, {"", 80}};
const ProjectLayout kGoldenLayout{0, 29, 640, 400};

const std::vector<Entry> kGoldenEntries = {
    makeEntry({"a@b.c", "", "Ann", "x"}, kNotValidated, 1),
    makeEntry({"\xC3\xA9@x.de", "[0] ok", "B\xC3\xA9", ""}, kGood, 0)};

TEST(ProjectFileGolden, WriterAndReaderAgreeWithTheHandWrittenBytes) {
  const auto& want = kGoldenEntries;
  EXPECT_EQ(serializeProject(kGoldenColumns, want, kGoldenLayout), kGolden);

  const ProjectData d = parseProject(kGolden);
  EXPECT_EQ(d.columns, kGoldenColumns);
  EXPECT_EQ(texts(d.entries), texts(want));
  // States and texts the reader lost would show in what it writes again.
  EXPECT_EQ(serializeProject(d.columns, d.entries, kGoldenLayout), kGolden);
}

TEST(ProjectFileWriter, ColumnRecordsUseTheSmallestFormAndReadBack) {
  const auto width = "\x01"s + ss("Caption") + "\x06"s + ss("C") + ss("Width");
  const std::pair<std::vector<Column>, std::string> cases[] = {
      {{{"C", 127}}, width + "\x02\x7F\0"s},
      {{{"C", 128}}, width + "\x03\x80\x00\0"s},
      {{{"C", -128}}, width + "\x02\x80\0"s},
      {{{"C", -129}}, width + "\x03\x7F\xFF\0"s},
      {{{"C", 32767}}, width + "\x03\xFF\x7F\0"s},
      {{{"C", 32768}}, width + "\x04\x00\x80\x00\x00\0"s},
      {{{"C", -32769}}, width + "\x04\xFF\x7F\xFF\xFF\0"s},
      {{{std::string(300, 'c'), 120}}, ss("Caption") + "\x0C"s + le32(300) + std::string(300, 'c')},
      {{}, ss("Columns") + "\x0E\x00"s + ss("ColumnClick")},
  };
  for (const auto& [columns, fragment] : cases) {
    const std::string bytes = serializeProject(columns, {});
    EXPECT_NE(bytes.find(fragment), std::string::npos) << fragment;
    EXPECT_EQ(bytes.find("Items.Data"), std::string::npos);  // no entries, no block
    EXPECT_EQ(parseProject(bytes).columns, columns);
  }
}

TEST(ProjectFileRoundTrip, ExtraColumnsNonAsciiAndLongFields) {
  const std::string a300(300, 'a'), a255(255, 'a');
  std::string e300, e255;  // "é", one byte in the file
  for (int i = 0; i < 300; ++i) (i < 255 ? e255 : e300) += "\xC3\xA9";
  e300 = e255 + e300;
  const std::string euro = "\xE2\x82\xAC";  // "€", 0x80 in the file
  const std::string han = "\xE4\xB8\xAD";   // not in the code page, written as "?"
  const std::string valid = "[0] Valid E-mail Address!";

  const std::vector<Column> cols = {
      {"Email", 120}, {"Result", 290}, {"Name", 120}, {"Straße", 75}, {"Ort", 50}};
  const std::vector<Entry> entries = {
      makeEntry({a300 + "@x.com", "[550] no", "M\xC3\xBCller", euro, han}, kBad, 1),
      makeEntry({"b@y.org", "", e300, "x", ""}, kNotValidated, 1),
      makeEntry({"c@z.net", valid, "", "", a300}, kGood, 0)};
  const std::string bytes = serializeProject(cols, entries);

  // L and S count every text as cut: the block ends where the next property starts.
  const auto at = bytes.find("\x0AItems.Data\x0A"s), end = bytes.find("\x08ReadOnly"s, at);
  ASSERT_NE(end, std::string::npos);
  const auto s = static_cast<std::uint32_t>(end - (at + 16));
  EXPECT_EQ(bytes.substr(at + 12, 8), le32(s) + le32(s));

  const ProjectData d = parseProject(bytes);
  EXPECT_EQ(d.columns, cols);
  ASSERT_EQ(texts(d.entries), (Texts{{a255, "[550] no", "M\xC3\xBCller", euro, "?"},
                                     {"b@y.org", "", e255, "x", ""},
                                     {"c@z.net", valid, "", "", a255}}));
  // Reading what was read and writing it again changes nothing, states included.
  EXPECT_EQ(serializeProject(d.columns, d.entries), bytes);
}

TEST(ProjectFileReader, ReadsWhatItUnderstandsAndSkipsTheRest) {
  // Unknown records of every type byte.
  const std::string unknown = ss("Nil") + "\x0D"s + ss("Flag") + "\x09"s + ss("Off") + "\x08"s +  //
                              ss("Small") + "\x02\x05"s + ss("Mid") + "\x03\x01\x02"s +           //
                              ss("Big") + "\x04\x01\x02\x03\x04"s + ss("Str") + "\x06"s +
                              ss("Columns") + ss("Id") + "\x07"s + ss("Items.Data") +    //
                              ss("Bin") + "\x0A"s + le32(5) + "\x01\x0E\x00\x0A\x06"s +  //
                              ss("Long") + "\x0C"s + le32(3) + "abc"s +                  //
                              ss("Set") + "\x0B"s + ss("a") + ss("bc") + "\0"s +         //
                              ss("List") + "\x01"s + ss("X") + "\x02\x01"s + ss("Y") +
                              "\x0E\x01\x00\x00"s + "\0"s + ss("Coll") + "\x0E"s + "\x02\x07\x01"s +
                              ss("Inner") + "\x0E\x01"s + ss("Deep") + "\x0B\x00"s + "\0"s + "\0"s +
                              "\0"s + "\x01\x00"s + "\0"s;
  // Unknown properties inside a column item are skipped too.
  const std::string mail = ss("Columns") + "\x0E"s + "\x01"s + ss("Alignment") + "\x07"s +
                           ss("taCenter") + ss("Caption") + "\x06"s + ss("Mail") + ss("Tag") +
                           "\x0A"s + le32(2) + "zz"s + "\0"s + "\0"s;
  // An integer before a collection item is read and ignored.
  const std::string prefixed = ss("Columns") + "\x0E"s +                                      //
                               "\x02\x00\x01"s + ss("Caption") + "\x06"s + ss("A") + "\0"s +  //
                               "\x03\x10\x27\x01"s + ss("Width") + "\x02\x40"s + "\0"s +      //
                               "\x04\x01\x00\x00\x00\x01\0"s + "\0"s;
  const std::string checking =
      itemsData(3, entryRecord(kChecking, 1, {"a@b.c", "Checking...", "n"}) +
                       entryRecord(kChecking, 1, {"d@e.f", "[0] stale"}) +
                       entryRecord(kChecking, 0, {"g@h.i"}));
  const std::string bad = itemsData(1, entryRecord(kBad, 1, {"a@b.c", "[550] x"}));
  const std::string trailing =
      itemsData(1, entryRecord(kNotValidated, 1, {"a@b.c", ""}) + "\x07\x07\x07"s);
  const struct {
    std::string records;
    std::vector<Column> columns;
    Texts entries;
    std::int32_t state;  // of every entry
  } cases[] = {
      // Saved while checking: loads as checking, whatever text was saved.
      {kTwoColumns + checking,
       {{"Email", 50}, {"Result", 50}},
       {{"a@b.c", "Checking...", "n"}, {"d@e.f", "Checking..."}, {"g@h.i", "Checking..."}},
       kChecking},
      // An entry without sub-items gets an empty result text.
      {itemsData(1, entryRecord(kNotValidated, 1, {"a@b.c"})), {}, {{"a@b.c", ""}}, kNotValidated},
      {unknown + mail + unknown + bad + unknown, {{"Mail", 50}}, {{"a@b.c", "[550] x"}}, kBad},
      {prefixed, {{"A", 50}, {"", 64}, {"", 50}}, {}, 0},
      // Bytes after the last entry of the block are ignored.
      {trailing + ss("ReadOnly") + "\x09"s, {}, {{"a@b.c", ""}}, kNotValidated},
      // Moderate nesting is fine.
      {ss("A") + "\x01"s + ss("B") + "\x01"s + ss("C") + "\x02\x01\0\0"s, {}, {}, 0},
  };
  for (const auto& c : cases) {
    ProjectData d;
    ASSERT_NO_THROW(d = parseProject(stream(c.records))) << c.records;
    EXPECT_EQ(d.columns, c.columns);
    EXPECT_EQ(texts(d.entries), c.entries);
    for (const auto& e : d.entries) EXPECT_EQ(e.resultState, c.state);
  }
}

TEST(ProjectFileReader, MalformedInputFailsCleanlyWithoutLargeAllocations) {
  const std::string one = entryRecord(kGood, 0, {"a@b.c", "x"});
  const auto entryHead = [](std::uint32_t subItems) {
    return le32(0) + le32(0) + le32(~0u) + le32(subItems) + le32(0);
  };
  std::string lists, collections;
  for (int i = 0; i < 10000; ++i) {
    lists += ss("L") + "\x01"s;
    collections += "\x01"s + ss("C") + "\x0E"s;
  }
  const std::string format = "Invalid stream format", value = "Invalid property value",
                    read = "Stream read error";
  const std::pair<std::string, std::string> cases[] = {
      {"TPF1"s + ss("TListView") + ss("ListView1") + "\0\0"s, format},
      {"TPF0"s + ss("TListView") + ss("ListView1") + "\0\x01"s, format},  // child objects
      {stream(ss("Odd") + "\x05"s), format},                              // unknown type byte
      {stream(ss("Columns") + "\x0E\x06\x00"s), format},
      {stream(ss("Deep") + "\x01"s + lists), format},
      {stream(ss("Deep") + "\x0E"s + collections), format},
      // Values that do not fit their property.
      {stream(ss("Columns") + "\x02\x01"s), value},
      {stream(ss("Items.Data") + "\x06"s + ss("x")), value},
      {stream(ss("Columns") + "\x0E\x01"s + ss("Width") + "\x06"s + ss("9") + "\0\0"s), value},
      {stream(ss("Columns") + "\x0E\x01"s + ss("Caption") + "\x02\x01\0\0"s), value},
      {stream(ss("Items.Data") + "\x0A"s + le32(8 + 26) + le32(8 + 25) + le32(1) + one), value},
      {stream(ss("Items.Data") + "\x0A"s + le32(4) + le32(4)), value},  // shorter than its head
      {stream(itemsData(-1, one)), value},
      {stream(itemsData(0x7FFFFFFF, one)), value},  // more entries than the block holds
      {stream(itemsData(1, entryHead(~0u) + ss("a@b.c"))), value},
      {stream(itemsData(1, entryHead(0x7FFFFFFF) + ss("a@b.c"))), value},
      {stream(itemsData(1, entryHead(1) + ss("a@b.c") + "\xFFxy"s)), value},  // text past block
      {stream(itemsData(1, entryRecord(7, 1, {"a@b.c", ""}))), value},
      {stream(itemsData(1, entryRecord(kGood, 2, {"a@b.c", ""}))), value},
      // Lengths beyond the end of the file.
      {stream(ss("Items.Data") + "\x0A"s + le32(0xFFFFFFF0u) + le32(0xFFFFFFF0u) + one), read},
      {stream(ss("Blob") + "\x0A"s + le32(0x7FFFFFFF) + "abc"s), read},
      {stream(ss("Long") + "\x0C"s + le32(0xFFFFFFFFu) + "abc"s), read},
      {stream(ss("Columns") + "\x0E\x01"s + ss("Caption") + "\x0C"s + le32(1u << 30) + "ab"s),
       read},
  };
  for (const auto& [bytes, message] : cases) {
    gLargestAllocation = 0;
    gTrackAllocations = true;
    const std::string error = errorOf(bytes);
    gTrackAllocations = false;
    EXPECT_EQ(error, message) << ::testing::PrintToString(bytes.substr(0, 60));
    EXPECT_LT(gLargestAllocation, 4096u) << error;
  }
}

TEST(ProjectFileReader, FileCutAtEveryOffsetFailsCleanly) {
  for (std::size_t n = 0; n < kGolden.size(); ++n) {
    ASSERT_EQ(errorOf(std::string_view(kGolden).substr(0, n)), "Stream read error") << n;
  }
}

struct ProjectFileOnDisk : ::testing::Test {
  // The names in the folder: a temporary left behind would show here.
  std::vector<std::string> names() const {
    std::vector<std::string> out;
    for (const auto& d : fs::directory_iterator(dir.path())) out.push_back(d.path().filename());
    std::sort(out.begin(), out.end());
    return out;
  }
  void fill() {
    list.addColumn({"Name", 120});
    for (std::string mail : {"x@a.com", "y@b.com", "z@c.com"}) {
      list.addEntry(mail, std::vector<std::string>{"n-" + mail});
    }
    list.entryValidationEnded(0, 550, "bad", {"RCPT TO", "550 no"});
    list.runStarted();
  }
  testing::TempDir dir;
  RecipientList list;
};

TEST_F(ProjectFileOnDisk, SaveThenLoadRestoresTheListAndClearsModified) {
  fill();
  const std::string path = dir.file("p.orp");
  ASSERT_TRUE(list.modified());
  saveProject(path, list);
  EXPECT_FALSE(list.modified());
  EXPECT_EQ(readFile(path), serializeProject(list));
  EXPECT_EQ(names(), (std::vector<std::string>{"p.orp"}));  // no temporary left behind

  RecipientList other;
  other.addEntry("old@x.y", {});
  other.runStarted();
  loadProject(path, other);
  EXPECT_FALSE(other.modified());
  EXPECT_EQ(other.columns(), list.columns());
  EXPECT_EQ(texts(other.entries()), texts(list.entries()));
  EXPECT_EQ(other.entry(0).resultState, kBad);
  EXPECT_TRUE(other.entry(0).log().empty());  // logs are never saved
  EXPECT_EQ(
      other.statusTexts(),
      (std::array<std::string, 6>{"Elapsed:", "Total:", "Waiting:", "Good:", "Bad:", "Unknown:"}));

  // A file with an empty column collection and no entries keeps the columns.
  dir.write("p.orp", stream(ss("Columns") + "\x0E\x00"s));
  loadProject(path, list);
  EXPECT_EQ(list.count(), 0u);
  EXPECT_EQ(list.columns(), (std::vector<Column>{{"Email", 120}, {"Result", 290}, {"Name", 120}}));
}

// A file that cannot be read, opened or created gives its message and leaves
// the list exactly as it was, logs and status included.
TEST_F(ProjectFileOnDisk, FailedLoadOrSaveLeavesTheListAsItWas) {
  fs::create_directory(dir.path() / "folder.orp");
  const std::string missing = dir.file("none.orp"), folder = dir.file("folder.orp"),
                    noParent = dir.file("no/such/dir/p.orp");
  // A damaged file whose columns and entries read fine before it breaks off.
  const std::string bad = dir.write("bad.orp", kGolden.substr(0, kGolden.size() - 20));
  fill();
  const auto columnsBefore = list.columns();
  const auto textsBefore = texts(list.entries());
  const auto statusBefore = list.statusTexts();
  const std::pair<std::function<void()>, std::string> cases[] = {
      {[&] { loadProject(bad, list); }, "Stream read error"},
      {[&] { loadProject(missing, list); }, "Cannot open file " + missing},
      {[&] { readProjectFile(folder); }, "Cannot open file " + folder},
      {[&] { saveProject(folder, list); }, "Cannot create file " + folder},
      {[&] { saveProject(noParent, list); }, "Cannot create file " + noParent},
  };
  for (const auto& [action, message] : cases) {
    EXPECT_EQ(thrownMessage<ProjectFileError>(action), message);
  }
  EXPECT_EQ(list.columns(), columnsBefore);
  EXPECT_EQ(texts(list.entries()), textsBefore);
  EXPECT_EQ(list.entry(0).log(), (TransactionLog{"RCPT TO", "550 no"}));
  EXPECT_TRUE(list.modified());
  EXPECT_EQ(list.statusTexts(), statusBefore);
  EXPECT_TRUE(fs::is_directory(folder));
  EXPECT_EQ(names(), (std::vector<std::string>{"bad.orp", "folder.orp"}));
}

TEST_F(ProjectFileOnDisk, ReadsLargeFilesThroughItsBuffer) {
  // More than one buffer's worth, so texts straddle refills.
  std::vector<Entry> entries;
  for (std::size_t i = 0; i < 40000; ++i) {
    entries.push_back(makeEntry(
        {"user" + std::to_string(i) + "@example.com", "", std::string(i % 70, 'n')}, -1, 1));
  }
  const std::string path = dir.file("big.orp");
  writeProjectFile(path, kGoldenColumns, entries);
  ASSERT_GT(fs::file_size(path), 2u << 20);
  EXPECT_EQ(texts(readProjectFile(path).entries), texts(entries));
}

TEST_F(ProjectFileOnDisk, SaveThatFailsMidwayKeepsTheOldFile) {
  // The file size limit makes the write fail part way, as a full disk would.
  const std::string path = dir.write("p.orp", "old contents");
  fill();
  std::vector<Entry> many;
  for (int i = 0; i < 5000; ++i) many.push_back(makeEntry({"s" + std::to_string(i) + "@x"}, -1, 1));
  list.appendEntries(std::move(many));

  struct rlimit old {};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
  const auto oldHandler = ::signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = old;
  small.rlim_cur = 4096;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  const std::string message = thrownMessage<ProjectFileError>([&] { saveProject(path, list); });
  ::setrlimit(RLIMIT_FSIZE, &old);
  ::signal(SIGXFSZ, oldHandler);

  EXPECT_EQ(message, "Cannot create file " + path);
  EXPECT_EQ(readFile(path), "old contents");
  EXPECT_TRUE(list.modified());
  EXPECT_EQ(names(), (std::vector<std::string>{"p.orp"}));
}

}  // namespace
}  // namespace orvane
