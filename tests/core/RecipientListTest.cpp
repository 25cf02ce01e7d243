#include "core/RecipientList.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace orvane {
namespace {

struct Recorder : RecipientListObserver {
  std::vector<std::string> events;
  bool lastModified = false;
  void entriesAboutToBeInserted(std::size_t f, std::size_t n) override {
    events.push_back("aboutInsert " + std::to_string(f) + " " + std::to_string(n));
  }
  void entriesInserted(std::size_t f, std::size_t n) override {
    events.push_back("insert " + std::to_string(f) + " " + std::to_string(n));
  }
  void entriesAboutToBeRemoved(std::size_t f, std::size_t n) override {
    events.push_back("aboutRemove " + std::to_string(f) + " " + std::to_string(n));
  }
  void entriesRemoved(std::size_t f, std::size_t n) override {
    events.push_back("remove " + std::to_string(f) + " " + std::to_string(n));
  }
  void entriesChanged(std::size_t f, std::size_t l) override {
    events.push_back("changed " + std::to_string(f) + " " + std::to_string(l));
  }
  void listAboutToBeReset() override { events.push_back("aboutReset"); }
  void listReset() override { events.push_back("reset"); }
  void batchBegun() override { events.push_back("begin"); }
  void batchEnded() override { events.push_back("end"); }
  void modifiedChanged(bool m) override { lastModified = m; }
};

std::vector<std::string> emails(const RecipientList& list) {
  std::vector<std::string> out;
  for (const auto& e : list.entries()) out.emplace_back(e.email());
  return out;
}

class RecipientListTest : public ::testing::Test {
 protected:
  void add(std::string_view email, std::vector<std::string> extra = {}) {
    list.addEntry(email, extra);
  }
  RecipientList list;
};

TEST_F(RecipientListTest, NewListHasTheTwoDefaultColumnsAndBareStatus) {
  ASSERT_EQ(list.columns().size(), 2u);
  EXPECT_EQ(list.columns()[0], (Column{"Email", 120}));
  EXPECT_EQ(list.columns()[1], (Column{"Result", 290}));
  EXPECT_EQ(list.statusTexts(),
            (std::array<std::string, 5>{"Elapsed:", "Total:", "Waiting:", "Good:", "Bad:"}));
  EXPECT_FALSE(list.modified());
}

TEST_F(RecipientListTest, AddCreatesCheckedUnvalidatedEntryWithTrimmedValues) {
  list.addColumn({"Name", 120});
  list.addColumn({"Company", 120});
  std::vector<std::string> extra = {"  Ann ", "\tAcme"};
  list.addEntry("  ann@example.com  ", extra);
  const Entry& e = list.entry(0);
  EXPECT_EQ(e.email(), "ann@example.com");
  EXPECT_EQ(e.checkState, 1);
  EXPECT_EQ(e.resultState, kNotValidated);
  EXPECT_EQ(e.overlayIndex, -1);
  ASSERT_EQ(e.subItemCount(), 3u);  // column count minus one
  EXPECT_EQ(e.subItem(0), "");
  EXPECT_EQ(e.subItem(1), "Ann");
  EXPECT_EQ(e.subItem(2), "Acme");
  EXPECT_TRUE(e.log().empty());
  EXPECT_TRUE(list.modified());
}

TEST_F(RecipientListTest, AddInsertsBeforeSelectionOrAppends) {
  add("a@x");
  add("b@x");
  add("c@x");
  EXPECT_EQ(list.addEntry("new@x", {}, 2), 2u);
  EXPECT_EQ(emails(list), (std::vector<std::string>{"a@x", "b@x", "new@x", "c@x"}));
  EXPECT_EQ(list.addEntry("last@x", {}, std::nullopt), 4u);
  EXPECT_EQ(list.entry(4).email(), "last@x");
}

TEST_F(RecipientListTest, EditAppendsMissingSubItemsAndKeepsResult) {
  add("a@x");
  list.entryTakenForChecking(0);
  list.addColumn({"Name", 120});
  std::vector<std::string> extra = {" Bob "};
  list.editEntry(0, " b@x ", extra);
  const Entry& e = list.entry(0);
  EXPECT_EQ(e.email(), "b@x");
  EXPECT_EQ(e.resultText(), "Checking...");
  EXPECT_EQ(e.resultState, kChecking);
  EXPECT_EQ(e.subItem(1), "Bob");
}

TEST_F(RecipientListTest, DeleteAllCheckedRemovesAdjacentCheckedEntries) {
  for (const char* e : {"a@x", "b@x", "c@x", "d@x", "e@x"}) add(e);
  list.toggleCheck(0);  // a unchecked
  list.toggleCheck(3);  // d unchecked
  list.deleteAllChecked();
  EXPECT_EQ(emails(list), (std::vector<std::string>{"a@x", "d@x"}));
  list.checkAll();
  list.deleteAllChecked();
  EXPECT_EQ(list.count(), 0u);
}

TEST_F(RecipientListTest, BatchOperationsOnEmptyListStillSetModified) {
  using Op = void (RecipientList::*)();
  for (Op op : {&RecipientList::checkAll, &RecipientList::uncheckAll, &RecipientList::invertChecks,
                &RecipientList::deleteAllChecked}) {
    RecipientList fresh;
    (fresh.*op)();
    EXPECT_TRUE(fresh.modified());
    EXPECT_EQ(fresh.count(), 0u);
  }
}

TEST_F(RecipientListTest, CheckCommands) {
  add("a@x");
  add("b@x");
  list.toggleCheck(1);
  list.invertChecks();
  EXPECT_EQ(list.entry(0).checkState, 0);
  EXPECT_EQ(list.entry(1).checkState, 1);
  list.uncheckAll();
  EXPECT_EQ(list.entry(1).checkState, 0);
  list.checkAll();
  EXPECT_EQ(list.entry(0).checkState, 1);
}

TEST_F(RecipientListTest, ClearResetsColumnsAndEntries) {
  list.addColumn({"Name", 80});
  add("a@x", {"n"});
  list.clear();
  EXPECT_EQ(list.count(), 0u);
  EXPECT_EQ(list.columns(), RecipientList::defaultColumns());
}

TEST_F(RecipientListTest, MatchingSearchesEmailAndExtraColumnsButNotResult) {
  list.addColumn({"Name", 120});
  add("john.doe@example.com", {"Zoe Stra\xC3\x9F"
                               "e"});
  list.entryValidationEnded(0, 550, "Requested action not taken", {});
  struct Case {
    const char* text;
    bool matchCase;
    bool hit;
  } cases[] = {
      {"example.com", true, true},    // the domain alone
      {"EXAMPLE", false, true},       // capitals find small letters with match case off
      {"EXAMPLE", true, false},       // ... but not with it on
      {"Zoe", true, true},            // an extra column
      {"STRA\xC3\x9F", false, true},  // non-ASCII
      {"Requested", false, false},    // the result text is never searched
      {"550", true, false},          {"nobody", false, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(list.entryMatches(0, c.text, c.matchCase), c.hit) << c.text << " " << c.matchCase;
  }
  list.entryValidationEnded(0, 0, "", {});
  EXPECT_TRUE(list.entryMatches(0, "\xC3\xBC", false) == false);
}

TEST_F(RecipientListTest, MatchingIsUnicodeCaseInsensitive) {
  add("m\xC3\xBCller@example.de");
  EXPECT_TRUE(list.entryMatches(0, "M\xC3\x9CLLER", false));
  EXPECT_FALSE(list.entryMatches(0, "M\xC3\x9CLLER", true));
}

TEST_F(RecipientListTest, ValidationLifecycleAndCounters) {
  std::uint32_t now = 1000;
  list.setClock([&] { return now; });
  add("good@x");
  add("bad@x");
  add("never@x");
  list.runStarted();
  list.entryTakenForChecking(0);
  list.entryTakenForChecking(1);
  EXPECT_EQ(list.entry(0).resultState, kChecking);
  EXPECT_EQ(list.entry(0).resultText(), "Checking...");
  EXPECT_EQ(list.counters().waiting, 2);
  now += 65'000;
  list.entryValidationEnded(0, 0, "ignored", {"line 1", "line 2"});
  list.entryValidationEnded(1, 550, "Requested action not taken: mailbox unavailable", {"x"});

  EXPECT_EQ(list.entry(0).resultState, kGood);
  EXPECT_EQ(list.entry(0).checkState, 0);
  EXPECT_EQ(list.entry(0).resultText(), "[0] Valid E-mail Address!");
  EXPECT_EQ(list.entry(0).log(), (TransactionLog{"line 1", "line 2"}));
  EXPECT_EQ(list.entry(1).resultState, kBad);
  EXPECT_EQ(list.entry(1).checkState, 1);
  EXPECT_EQ(list.entry(1).resultText(), "[550] Requested action not taken: mailbox unavailable");

  EXPECT_EQ(list.statusTexts(), (std::array<std::string, 5>{"Elapsed: 0:01:05", "Total: 3",
                                                            "Waiting: 0", "Good: 1", "Bad: 1"}));
  now += 10'000;  // no event: the status bar stands still
  EXPECT_EQ(list.statusTexts()[0], "Elapsed: 0:01:05");

  // After the run, "delete all checked" removes exactly the bad and the never-validated.
  list.deleteAllChecked();
  EXPECT_EQ(emails(list), (std::vector<std::string>{"good@x"}));
}

TEST_F(RecipientListTest, ElapsedTimeWrapsAfterADayAndAcrossTickWrap) {
  std::uint32_t now = 0xFFFFF000u;
  list.setClock([&] { return now; });
  list.runStarted();
  now += 90'061'000u;  // 25 h 1 min 1 s, crossing the 32-bit wrap of the tick count
  list.refreshStatus();
  EXPECT_EQ(list.statusTexts()[0], "Elapsed: 1:01:01");
}

TEST_F(RecipientListTest, NotificationsComeInModelOrder) {
  Recorder rec;
  list.addObserver(&rec);
  add("a@x");
  list.beginUpdate();
  list.beginUpdate();
  list.toggleCheck(0);
  list.endUpdate();
  list.endUpdate();
  list.deleteEntry(0);
  EXPECT_EQ(rec.events,
            (std::vector<std::string>{"aboutInsert 0 1", "insert 0 1", "begin", "changed 0 0",
                                      "end", "aboutRemove 0 1", "remove 0 1"}));
  EXPECT_TRUE(rec.lastModified);
  list.setModified(false);
  EXPECT_FALSE(rec.lastModified);
  list.removeObserver(&rec);
}

TEST_F(RecipientListTest, AddColumnExtendsEveryEntry) {
  add("a@x");
  list.addColumn({"Name", 120});
  EXPECT_EQ(list.entry(0).subItemCount(), 2u);
}

TEST(EntryTest, PackedFieldsSurviveEditsAndCopies) {
  std::vector<std::string> subs = {"r", "one", std::string(300, 'x')};
  Entry e("a@b", subs);
  e.setSubItem(5, "far");
  EXPECT_EQ(e.subItemCount(), 6u);
  EXPECT_EQ(e.subItem(2), std::string(300, 'x'));
  EXPECT_EQ(e.subItem(4), "");
  EXPECT_EQ(e.subItem(5), "far");
  e.setLog({"l"});
  Entry copy = e;
  e.setEmail("changed@b");
  EXPECT_EQ(copy.email(), "a@b");
  EXPECT_EQ(copy.log(), TransactionLog{"l"});
  EXPECT_EQ(e.subItem(1), "one");
}

}  // namespace
}  // namespace orvane
