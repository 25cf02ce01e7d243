#include "core/ProjectFile.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <new>
#include <string>
#include <vector>

// Records the largest single allocation while `gTrackAllocations` is set, so
// that a test can prove that a corrupted count never turns into a big reserve.
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
void* operator new[](std::size_t n) {
  return allocate(n);
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete[](void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
  std::free(p);
}

namespace orvane {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

// ------------------------------------------------------------ helpers

std::string le32(std::uint32_t v) {
  return {static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
          static_cast<char>(v >> 24)};
}

// A short string as the file holds it: length byte, then the bytes.
std::string ss(std::string_view bytes) {
  return static_cast<char>(bytes.size()) + std::string(bytes);
}

// The stream around property records: signature, class, object, records, the
// two end bytes.
std::string stream(const std::string& records) {
  return "TPF0"s + ss("TListView") + ss("ListView1") + records + "\0\0"s;
}

// One entry record of the "Items.Data" block.
std::string entryRecord(std::int32_t result, std::int32_t check,
                        const std::vector<std::string>& texts) {
  std::string r = le32(static_cast<std::uint32_t>(result)) +
                  le32(static_cast<std::uint32_t>(check)) + le32(0xFFFFFFFFu) +
                  le32(static_cast<std::uint32_t>(texts.size() - 1)) + le32(0);
  for (const auto& t : texts) r += ss(t);
  return r;
}

// The whole "Items.Data" record around entry records.
std::string itemsData(std::int32_t count, const std::string& records) {
  const auto size = static_cast<std::uint32_t>(8 + records.size());
  return ss("Items.Data") + "\x0A"s + le32(size) + le32(size) +
         le32(static_cast<std::uint32_t>(count)) + records;
}

const std::string kTwoColumns = ss("Columns") + "\x0E"s +                                  //
                                "\x01"s + ss("Caption") + "\x06"s + ss("Email") + "\0"s +  //
                                "\x01"s + ss("Caption") + "\x06"s + ss("Result") + "\0"s + "\0"s;

std::string errorOf(std::string_view bytes) {
  try {
    parseProject(bytes);
  } catch (const ProjectFileError& e) {
    return e.what();
  }
  return "(no error)";
}

std::vector<std::string> texts(const Entry& e) {
  std::vector<std::string> out{std::string(e.email())};
  for (std::size_t i = 0; i < e.subItemCount(); ++i) out.emplace_back(e.subItem(i));
  return out;
}

Entry makeEntry(const std::vector<std::string>& fields, std::int32_t result, std::int32_t check) {
  Entry e(fields.front(), std::vector<std::string>(fields.begin() + 1, fields.end()));
  e.resultState = result;
  e.checkState = check;
  return e;
}

class TempDir {
 public:
  TempDir() {
    std::string tmpl = (fs::temp_directory_path() / "orvane-projfile-XXXXXX").string();
    if (!::mkdtemp(tmpl.data())) std::abort();
    path_ = tmpl;
  }
  ~TempDir() {
    std::error_code ec;
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(path_, ec);
  }
  std::string file(const std::string& name) const { return (path_ / name).string(); }
  const fs::path& path() const { return path_; }
  std::vector<std::string> names() const {
    std::vector<std::string> out;
    for (const auto& d : fs::directory_iterator(path_)) out.push_back(d.path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
  }

 private:
  fs::path path_;
};

void writeBytes(const std::string& path, std::string_view bytes) {
  std::ofstream(path, std::ios::binary)
      .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string readBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// ------------------------------------------------------------ golden bytes

// A small project written out byte by byte from the file layout: four columns
// (one 50 wide, one without caption), two entries, one with an "é".
const std::string kGolden =
    "TPF0"s + "\x09TListView"s + "\x09ListView1"s +  //
    "\x04Left\x02\x00"s +                            //
    "\x03Top\x02\x1D"s +                             //
    "\x05Width\x03\x80\x02"s +                       // 640
    "\x06Height\x03\x90\x01"s +                      // 400
    "\x05"
    "Align\x07\x08"
    "alClient"s +  //
    "\x07"
    "AllocBy\x04\x50\xC3\x00\x00"s +  // 50000
    "\x07"
    "Columns\x0E"s +  //
    "\x01\x07"
    "Caption\x06\x05"
    "Email\x05Width\x02\x78\x00"s +  // 120
    "\x01\x07"
    "Caption\x06\x06Result\x05Width\x03\x22\x01\x00"s +  // 290
    "\x01\x07"
    "Caption\x06\x04Name\x00"s +    // width 50
    "\x01\x05Width\x02\x50\x00"s +  // no caption, 80
    "\x00"s +                       // end of collection
    "\x0B"
    "ColumnClick\x08"s +  //
    "\x0D"
    "HideSelection\x08"s +                   //
    "\x0EHotTrackStyles\x0B\x00"s +          //
    "\x0AItems.Data\x0A\x4F\x00\x00\x00"s +  // L = 79
    "\x4F\x00\x00\x00"s +
    "\x02\x00\x00\x00"s +  // S = 79, C = 2
    // entry 1: not validated, checked, 3 sub-items
    "\xFF\xFF\xFF\xFF\x01\x00\x00\x00\xFF\xFF\xFF\xFF\x03\x00\x00\x00\x00\x00\x00\x00"s +
    "\x05"
    "a@b.c\x00\x03"
    "Ann\x01x"s +
    // entry 2: good, unchecked, 3 sub-items
    "\x00\x00\x00\x00\x00\x00\x00\x00\xFF\xFF\xFF\xFF\x03\x00\x00\x00\x00\x00\x00\x00"s +
    "\x06\xE9@x.de\x06[0] ok\x02"
    "B\xE9\x00"s +
    "\x08ReadOnly\x09"s +                            //
    "\x09RowSelect\x09"s +                           //
    "\x09PopupMenu\x07\x13MainForm.PopupMenu1"s +    //
    "\x0BSmallImages\x07\x13MainForm.ImageList1"s +  //
    "\x0BStateImages\x07\x13MainForm.ImageList3"s +  //
    "\x08TabOrder\x02\x02"s +                        //
    "\x09ViewStyle\x07\x08vsReport"s +               //
    "\x00\x00"s;

const std::vector<Column> kGoldenColumns = {
    {"Email", 120}, {"Result", 290}, {"Name", 50}, {"", 80}};
const ProjectLayout kGoldenLayout{0, 29, 640, 400};

std::vector<Entry> goldenEntries() {
  std::vector<Entry> out;
  out.push_back(makeEntry({"a@b.c", "", "Ann", "x"}, kNotValidated, 1));
  out.push_back(makeEntry({"\xC3\xA9@x.de", "[0] ok", "B\xC3\xA9", ""}, kGood, 0));
  return out;
}

TEST(ProjectFileGolden, WriterProducesTheHandWrittenBytes) {
  const auto entries = goldenEntries();
  EXPECT_EQ(serializeProject(kGoldenColumns, entries, kGoldenLayout), kGolden);
}

TEST(ProjectFileGolden, ReaderRestoresColumnsEntriesAndStates) {
  const ProjectData d = parseProject(kGolden);
  EXPECT_EQ(d.columns, kGoldenColumns);
  ASSERT_EQ(d.entries.size(), 2u);
  const auto want = goldenEntries();
  for (std::size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(texts(d.entries[i]), texts(want[i])) << i;
    EXPECT_EQ(d.entries[i].resultState, want[i].resultState) << i;
    EXPECT_EQ(d.entries[i].checkState, want[i].checkState) << i;
    EXPECT_EQ(d.entries[i].overlayIndex, -1) << i;
    EXPECT_TRUE(d.entries[i].log().empty());
  }
}

// ------------------------------------------------------------ writer details

TEST(ProjectFileWriter, IntegersUseTheSmallestWidth) {
  const struct {
    std::int32_t value;
    std::string bytes;
  } cases[] = {
      {120, "\x02\x78"s},
      {290, "\x03\x22\x01"s},
      {50000, "\x04\x50\xC3\x00\x00"s},
      {127, "\x02\x7F"s},
      {128, "\x03\x80\x00"s},
      {-1, "\x02\xFF"s},
      {-128, "\x02\x80"s},
      {-129, "\x03\x7F\xFF"s},
      {32767, "\x03\xFF\x7F"s},
      {32768, "\x04\x00\x80\x00\x00"s},
      {-32769, "\x04\xFF\x7F\xFF\xFF"s},
  };
  for (const auto& c : cases) {
    const std::vector<Column> cols = {{"C", c.value}};
    const std::string bytes = serializeProject(cols, {});
    const std::string record =
        "\x01\x07"
        "Caption\x06\x01"
        "C\x05Width"s +
        c.bytes + "\0"s;
    EXPECT_NE(bytes.find(record), std::string::npos) << c.value;
    EXPECT_EQ(parseProject(bytes).columns, cols) << c.value;
  }
}

TEST(ProjectFileWriter, AllocByIsAlwaysTheFourByteForm) {
  const std::string bytes = serializeProject(RecipientList::defaultColumns(), {});
  EXPECT_NE(bytes.find("\x07"
                       "AllocBy\x04\x50\xC3\x00\x00"s),
            std::string::npos);
}

TEST(ProjectFileWriter, DefaultWidthAndEmptyCaptionAreLeftOut) {
  const std::vector<Column> cols = {{"", 50}};
  const std::string bytes = serializeProject(cols, {});
  EXPECT_NE(bytes.find("\x07"
                       "Columns\x0E\x01\x00\x00"s),
            std::string::npos);
  EXPECT_EQ(parseProject(bytes).columns, cols);
}

TEST(ProjectFileWriter, NoEntriesMeansNoItemsData) {
  const std::string bytes = serializeProject(kGoldenColumns, {});
  EXPECT_EQ(bytes.find("Items.Data"), std::string::npos);
  EXPECT_NE(bytes.find("\x0EHotTrackStyles\x0B\x00\x08ReadOnly"s), std::string::npos);
  EXPECT_TRUE(parseProject(bytes).entries.empty());
}

TEST(ProjectFileWriter, EmptyColumnListIsStillWritten) {
  const std::string bytes = serializeProject(std::span<const Column>(), {});
  EXPECT_NE(bytes.find("\x07"
                       "Columns\x0E\x00\x0B"
                       "ColumnClick"s),
            std::string::npos);
}

// ------------------------------------------------------------ round trip

TEST(ProjectFileRoundTrip, ExtraColumnsNonAsciiAndLongFields) {
  const std::string longAscii(300, 'a');
  std::string longAccents;
  for (int i = 0; i < 300; ++i) longAccents += "\xC3\xA9";  // "é", one byte in the file
  const std::string euro = "\xE2\x82\xAC";                  // "€", 0x80 in the file
  const std::string han = "\xE4\xB8\xAD";                   // not in the code page

  const std::vector<Column> cols = {{"Email", 120},
                                    {"Result", 290},
                                    {"Name", 120},
                                    {"Stra\xC3\x9F"
                                     "e",
                                     75},
                                    {"Ort", 50}};
  std::vector<Entry> entries;
  entries.push_back(
      makeEntry({longAscii + "@x.com", "[550] no", "M\xC3\xBCller", euro, han}, kBad, 1));
  entries.push_back(makeEntry({"b@y.org", "", longAccents, "x", ""}, kNotValidated, 1));
  entries.push_back(
      makeEntry({"c@z.net", "[0] Valid E-mail Address!", "", "", longAscii}, kGood, 0));

  const std::string bytes = serializeProject(cols, entries);

  // S counts every text as cut: 8 + per entry 21 + e-mail + sum(1 + sub-item).
  const std::uint32_t s = 8 + (21 + 255 + (1 + 8) + (1 + 6) + (1 + 1) + (1 + 1)) +
                          (21 + 7 + (1 + 0) + (1 + 255) + (1 + 1) + (1 + 0)) +
                          (21 + 7 + (1 + 25) + (1 + 0) + (1 + 0) + (1 + 255));
  const auto at = bytes.find("\x0AItems.Data\x0A"s);
  ASSERT_NE(at, std::string::npos);
  EXPECT_EQ(bytes.substr(at + 12, 8), le32(s) + le32(s));

  const ProjectData d = parseProject(bytes);
  EXPECT_EQ(d.columns, cols);
  ASSERT_EQ(d.entries.size(), 3u);
  EXPECT_EQ(texts(d.entries[0]), (std::vector<std::string>{std::string(255, 'a'), "[550] no",
                                                           "M\xC3\xBCller", euro, "?"}));
  std::string accents255;
  for (int i = 0; i < 255; ++i) accents255 += "\xC3\xA9";
  EXPECT_EQ(texts(d.entries[1]), (std::vector<std::string>{"b@y.org", "", accents255, "x", ""}));
  EXPECT_EQ(texts(d.entries[2]), (std::vector<std::string>{"c@z.net", "[0] Valid E-mail Address!",
                                                           "", "", std::string(255, 'a')}));
  EXPECT_EQ(d.entries[0].resultState, kBad);
  EXPECT_EQ(d.entries[0].checkState, 1);
  EXPECT_EQ(d.entries[2].resultState, kGood);
  EXPECT_EQ(d.entries[2].checkState, 0);
  // Reading what was read and writing it again changes nothing.
  EXPECT_EQ(serializeProject(d.columns, d.entries), bytes);
}

TEST(ProjectFileRoundTrip, LongCaptionTravelsAsLongString) {
  const std::vector<Column> cols = {{std::string(300, 'c'), 120}};
  const std::string bytes = serializeProject(cols, {});
  EXPECT_NE(bytes.find("\x07"
                       "Caption\x0C"s +
                       le32(300)),
            std::string::npos);
  EXPECT_EQ(parseProject(bytes).columns, cols);
}

// ------------------------------------------------------------ reader tolerance

TEST(ProjectFileReader, EntrySavedWhileCheckingLoadsAsChecking) {
  const std::string recs = entryRecord(kChecking, 1, {"a@b.c", "Checking...", "n"}) +
                           entryRecord(kChecking, 1, {"d@e.f", "[0] stale"}) +
                           entryRecord(kChecking, 0, {"g@h.i"});
  const ProjectData d = parseProject(stream(kTwoColumns + itemsData(3, recs)));
  ASSERT_EQ(d.entries.size(), 3u);
  for (const auto& e : d.entries) {
    EXPECT_EQ(e.resultState, kChecking);
    EXPECT_EQ(e.resultText(), kCheckingText);
  }
  EXPECT_EQ(d.entries[0].subItem(1), "n");
}

TEST(ProjectFileReader, EntryWithoutSubItemsGetsAnEmptyResultText) {
  const ProjectData d =
      parseProject(stream(itemsData(1, entryRecord(kNotValidated, 1, {"a@b.c"}))));
  ASSERT_EQ(d.entries.size(), 1u);
  EXPECT_EQ(texts(d.entries[0]), (std::vector<std::string>{"a@b.c", ""}));
}

TEST(ProjectFileReader, UnknownRecordsOfEveryTypeAreSkipped) {
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
  const std::string cols = ss("Columns") + "\x0E"s + "\x01"s + ss("Alignment") + "\x07"s +
                           ss("taCenter") + ss("Caption") + "\x06"s + ss("Mail") + ss("Tag") +
                           "\x0A"s + le32(2) + "zz"s + "\0"s + "\0"s;
  const std::string recs = entryRecord(kBad, 1, {"a@b.c", "[550] x"});
  const ProjectData d =
      parseProject(stream(unknown + cols + unknown + itemsData(1, recs) + unknown));
  EXPECT_EQ(d.columns, (std::vector<Column>{{"Mail", 50}}));
  ASSERT_EQ(d.entries.size(), 1u);
  EXPECT_EQ(d.entries[0].email(), "a@b.c");
}

TEST(ProjectFileReader, IntegerBeforeACollectionItemIsIgnored) {
  const std::string cols = ss("Columns") + "\x0E"s +                                      //
                           "\x02\x00\x01"s + ss("Caption") + "\x06"s + ss("A") + "\0"s +  //
                           "\x03\x10\x27\x01"s + ss("Width") + "\x02\x40"s + "\0"s +      //
                           "\x04\x01\x00\x00\x00\x01\0"s + "\0"s;
  const ProjectData d = parseProject(stream(cols));
  EXPECT_EQ(d.columns, (std::vector<Column>{{"A", 50}, {"", 64}, {"", 50}}));
}

TEST(ProjectFileReader, EmptyColumnCollectionKeepsTheColumns) {
  const ProjectData d = parseProject(stream(ss("Columns") + "\x0E\x00"s));
  EXPECT_TRUE(d.columns.empty());

  TempDir dir;
  const std::string path = dir.file("p.orp");
  writeBytes(path, stream(ss("Columns") + "\x0E\x00"s));
  RecipientList list;
  list.addColumn({"Name", 120});
  loadProject(path, list);
  EXPECT_EQ(list.columns(), (std::vector<Column>{{"Email", 120}, {"Result", 290}, {"Name", 120}}));
}

TEST(ProjectFileReader, BytesAfterTheLastEntryOfTheBlockAreIgnored) {
  const std::string recs = entryRecord(kNotValidated, 1, {"a@b.c", ""}) + "\x07\x07\x07"s;
  const ProjectData d = parseProject(stream(itemsData(1, recs) + ss("ReadOnly") + "\x09"s));
  ASSERT_EQ(d.entries.size(), 1u);
  EXPECT_EQ(d.entries[0].email(), "a@b.c");
}

// ------------------------------------------------------------ malformed input

TEST(ProjectFileReader, WrongSignatureOrStructure) {
  EXPECT_EQ(errorOf("TPF1"s + ss("TListView") + ss("ListView1") + "\0\0"s),
            "Invalid stream format");
  EXPECT_EQ(errorOf(stream(ss("Odd") + "\x05"s)), "Invalid stream format");  // unknown type byte
  EXPECT_EQ(errorOf("TPF0"s + ss("TListView") + ss("ListView1") + "\0\x01"s),
            "Invalid stream format");  // child objects
  EXPECT_EQ(errorOf(stream(ss("Columns") + "\x0E\x06\x00"s)), "Invalid stream format");
}

TEST(ProjectFileReader, ValuesThatDoNotFitTheirProperty) {
  const std::string one = entryRecord(kGood, 0, {"a@b.c", "x"});
  const struct {
    const char* what;
    std::string records;
  } cases[] = {
      {"Columns not a collection", ss("Columns") + "\x02\x01"s},
      {"Items.Data not binary", ss("Items.Data") + "\x06"s + ss("x")},
      {"Width not an integer",
       ss("Columns") + "\x0E\x01"s + ss("Width") + "\x06"s + ss("9") + "\0\0"s},
      {"Caption not a text", ss("Columns") + "\x0E\x01"s + ss("Caption") + "\x02\x01\0\0"s},
      {"S differs from L",
       ss("Items.Data") + "\x0A"s + le32(8 + 26) + le32(8 + 25) + le32(1) + one},
      {"block shorter than its header", ss("Items.Data") + "\x0A"s + le32(4) + le32(4)},
      {"negative entry count", itemsData(-1, one)},
      {"more entries than the block holds", itemsData(2, one)},
      {"huge entry count", itemsData(0x7FFFFFFF, one)},
      {"negative sub-item count",
       itemsData(1, le32(0) + le32(0) + le32(~0u) + le32(~0u) + le32(0) + ss("a@b.c"))},
      {"huge sub-item count",
       itemsData(1, le32(0) + le32(0) + le32(~0u) + le32(0x7FFFFFFF) + le32(0) + ss("a@b.c"))},
      {"text longer than the block",
       itemsData(1, le32(0) + le32(0) + le32(~0u) + le32(1) + le32(0) +
                        "\x05"
                        "a@b.c\xFFxy"s)},
      {"unknown result state", itemsData(1, entryRecord(7, 1, {"a@b.c", ""}))},
      {"unknown check state", itemsData(1, entryRecord(kGood, 2, {"a@b.c", ""}))},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(errorOf(stream(c.records)), "Invalid property value") << c.what;
  }
}

TEST(ProjectFileReader, FileCutAtEveryOffsetFailsCleanly) {
  for (std::size_t n = 0; n < kGolden.size(); ++n) {
    ASSERT_EQ(errorOf(std::string_view(kGolden).substr(0, n)), "Stream read error") << n;
  }
}

TEST(ProjectFileReader, LengthsBeyondTheEndFailWithoutLargeAllocations) {
  const std::string one = entryRecord(kGood, 0, {"a@b.c", "x"});
  const std::string cases[] = {
      // L far beyond the file (and S matching it)
      ss("Items.Data") + "\x0A"s + le32(0xFFFFFFF0u) + le32(0xFFFFFFF0u) + le32(0x7FFFFFFF) + one,
      ss("Blob") + "\x0A"s + le32(0x7FFFFFFF) + "abc"s,
      ss("Long") + "\x0C"s + le32(0xFFFFFFFFu) + "abc"s,
      ss("Columns") + "\x0E\x01"s + ss("Caption") + "\x0C"s + le32(0x40000000) + "ab\0\0"s,
  };
  for (const auto& c : cases) {
    gLargestAllocation = 0;
    gTrackAllocations = true;
    const std::string message = errorOf(stream(c));
    gTrackAllocations = false;
    EXPECT_EQ(message, "Stream read error");
    EXPECT_LT(gLargestAllocation, 4096u);
  }
  // A count that the block cannot hold is refused before anything is reserved.
  gLargestAllocation = 0;
  gTrackAllocations = true;
  const std::string message = errorOf(stream(itemsData(0x7FFFFFFF, one)));
  gTrackAllocations = false;
  EXPECT_EQ(message, "Invalid property value");
  EXPECT_LT(gLargestAllocation, 4096u);
}

TEST(ProjectFileReader, DeepNestingIsRefused) {
  std::string nested;
  for (int i = 0; i < 10000; ++i) nested += ss("L") + "\x01"s;
  EXPECT_EQ(errorOf(stream(ss("Deep") + "\x01"s + nested)), "Invalid stream format");
  std::string collections;
  for (int i = 0; i < 10000; ++i) collections += "\x01"s + ss("C") + "\x0E"s;
  EXPECT_EQ(errorOf(stream(ss("Deep") + "\x0E"s + collections)), "Invalid stream format");
  // Moderate nesting is fine.
  EXPECT_EQ(errorOf(stream(ss("A") + "\x01"s + ss("B") + "\x01"s + ss("C") +
                           "\x02\x01"
                           "\0\0"s)),
            "(no error)");
}

// ------------------------------------------------------------ files, load and save

struct ProjectFileOnDisk : ::testing::Test {
  TempDir dir;
  RecipientList list;

  void fill() {
    list.addColumn({"Name", 120});
    for (const char* mail : {"x@a.com", "y@b.com", "z@c.com"}) {
      const std::vector<std::string> extra = {std::string("n-") + mail};
      list.addEntry(mail, extra);
    }
    list.entryValidationEnded(0, 550, "bad", {"RCPT TO", "550 no"});
    list.runStarted();
  }
};

TEST_F(ProjectFileOnDisk, SaveThenLoadRestoresTheListAndClearsModified) {
  fill();
  const std::string path = dir.file("p.orp");
  ASSERT_TRUE(list.modified());
  saveProject(path, list);
  EXPECT_FALSE(list.modified());
  EXPECT_EQ(readBytes(path), serializeProject(list));
  EXPECT_EQ(dir.names(), (std::vector<std::string>{"p.orp"}));  // no temporary left behind

  RecipientList other;
  other.addEntry("old@x.y", {});
  other.setModified(true);
  other.runStarted();
  loadProject(path, other);
  EXPECT_FALSE(other.modified());
  EXPECT_EQ(other.columns(), list.columns());
  ASSERT_EQ(other.count(), 3u);
  for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(texts(other.entry(i)), texts(list.entry(i)));
  EXPECT_EQ(other.entry(0).resultState, kBad);
  EXPECT_TRUE(other.entry(0).log().empty());  // logs are never saved
  EXPECT_EQ(other.statusTexts(),
            (std::array<std::string, 5>{"Elapsed:", "Total:", "Waiting:", "Good:", "Bad:"}));
}

TEST_F(ProjectFileOnDisk, ProjectWithoutEntriesLoadsEmptyOverAFullList) {
  RecipientList empty;
  const std::string path = dir.file("empty.orp");
  saveProject(path, empty);
  EXPECT_EQ(readBytes(path).find("Items.Data"), std::string::npos);
  fill();
  loadProject(path, list);
  EXPECT_EQ(list.count(), 0u);
  EXPECT_EQ(list.columns(), RecipientList::defaultColumns());
}

TEST_F(ProjectFileOnDisk, FailedLoadLeavesTheListExactlyAsItWas) {
  fill();
  const auto columnsBefore = list.columns();
  std::vector<std::vector<std::string>> before;
  for (const auto& e : list.entries()) before.push_back(texts(e));
  const auto statusBefore = list.statusTexts();

  // A damaged file whose columns read fine before it breaks off.
  std::string damaged =
      stream(kTwoColumns + itemsData(2, entryRecord(kGood, 0, {"n@e.w", ""}) +
                                            entryRecord(kGood, 0, {"m@e.w", ""})));
  damaged.resize(damaged.size() - 20);
  const std::string path = dir.file("bad.orp");
  writeBytes(path, damaged);

  try {
    loadProject(path, list);
    FAIL() << "damaged file loaded";
  } catch (const ProjectFileError& e) {
    EXPECT_STREQ(e.what(), "Stream read error");
  }
  EXPECT_EQ(list.columns(), columnsBefore);
  std::vector<std::vector<std::string>> after;
  for (const auto& e : list.entries()) after.push_back(texts(e));
  EXPECT_EQ(after, before);
  EXPECT_EQ(list.entry(0).log(), (TransactionLog{"RCPT TO", "550 no"}));
  EXPECT_TRUE(list.modified());
  EXPECT_EQ(list.statusTexts(), statusBefore);
}

TEST_F(ProjectFileOnDisk, MissingFileOrFolderCannotBeOpened) {
  const std::string missing = dir.file("none.orp");
  try {
    loadProject(missing, list);
    FAIL();
  } catch (const ProjectFileError& e) {
    EXPECT_EQ(std::string(e.what()), "Cannot open file " + missing);
  }
  try {
    readProjectFile(dir.path().string());
    FAIL();
  } catch (const ProjectFileError& e) {
    EXPECT_EQ(std::string(e.what()), "Cannot open file " + dir.path().string());
  }
}

TEST_F(ProjectFileOnDisk, ReadsLargeFilesThroughItsBuffer) {
  // More than one buffer's worth, so texts straddle refills.
  RecipientList big;
  big.addColumn({"Name", 120});
  std::vector<Entry> entries;
  for (int i = 0; i < 40000; ++i) {
    const std::vector<std::string> subs = {"", std::string(static_cast<std::size_t>(i % 70), 'n')};
    entries.emplace_back("user" + std::to_string(i) + "@example.com", subs);
  }
  big.appendEntries(std::move(entries));
  const std::string path = dir.file("big.orp");
  saveProject(path, big);
  ASSERT_GT(fs::file_size(path), 2u << 20);
  const ProjectData d = readProjectFile(path);
  ASSERT_EQ(d.entries.size(), 40000u);
  for (std::size_t i = 0; i < d.entries.size(); i += 997) {
    EXPECT_EQ(texts(d.entries[i]), texts(big.entry(i))) << i;
  }
  EXPECT_EQ(serializeProject(d.columns, d.entries), readBytes(path));
}

TEST_F(ProjectFileOnDisk, SaveOverADirectoryOrIntoAMissingFolderFails) {
  fill();
  const fs::path sub = dir.path() / "folder.orp";
  fs::create_directory(sub);
  const std::string paths[] = {sub.string(), dir.file("no/such/dir/p.orp")};
  for (const auto& path : paths) {
    try {
      saveProject(path, list);
      FAIL() << path;
    } catch (const ProjectFileError& e) {
      EXPECT_EQ(std::string(e.what()), "Cannot create file " + path);
    }
    EXPECT_TRUE(list.modified());
  }
  EXPECT_TRUE(fs::is_directory(sub));
  EXPECT_EQ(dir.names(), (std::vector<std::string>{"folder.orp"}));
}

TEST_F(ProjectFileOnDisk, SaveIntoAReadOnlyFolderKeepsTheOldFile) {
  if (::geteuid() == 0) GTEST_SKIP() << "permissions do not bind the super-user";
  const std::string path = dir.file("p.orp");
  writeBytes(path, "old contents");
  fill();
  fs::permissions(dir.path(), fs::perms::owner_write, fs::perm_options::remove);
  EXPECT_THROW(saveProject(path, list), ProjectFileError);
  fs::permissions(dir.path(), fs::perms::owner_write, fs::perm_options::add);
  EXPECT_EQ(readBytes(path), "old contents");
  EXPECT_TRUE(list.modified());
}

TEST_F(ProjectFileOnDisk, SaveThatFailsMidwayKeepsTheOldFile) {
  // The file size limit makes the write fail part way, as a full disk would.
  const std::string path = dir.file("p.orp");
  writeBytes(path, "old contents");
  fill();
  std::vector<Entry> many;
  for (int i = 0; i < 5000; ++i)
    many.emplace_back("someone" + std::to_string(i) + "@x.com",
                      std::vector<std::string>{"", "name"});
  list.appendEntries(std::move(many));

  struct rlimit old {};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
  const auto oldHandler = ::signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = old;
  small.rlim_cur = 4096;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  std::string message;
  try {
    saveProject(path, list);
  } catch (const ProjectFileError& e) {
    message = e.what();
  }
  ::setrlimit(RLIMIT_FSIZE, &old);
  ::signal(SIGXFSZ, oldHandler);

  EXPECT_EQ(message, "Cannot create file " + path);
  EXPECT_EQ(readBytes(path), "old contents");
  EXPECT_TRUE(list.modified());
  EXPECT_EQ(dir.names(), (std::vector<std::string>{"p.orp"}));
}

}  // namespace
}  // namespace orvane
