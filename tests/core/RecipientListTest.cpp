#include "core/RecipientList.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace orvane {
namespace {

using Strings = std::vector<std::string>;

class RecipientListTest : public ::testing::Test {
 protected:
  void add(std::initializer_list<const char*> mails) {
    for (const char* m : mails) list.addEntry(m, {});
  }
  Strings emails() const {
    Strings out;
    for (const auto& e : list.entries()) out.emplace_back(e.email());
    return out;
  }
  std::string checks() const {
    std::string out;
    for (const auto& e : list.entries()) out += std::to_string(e.checkState);
    return out;
  }
  RecipientList list;
};

TEST_F(RecipientListTest, AddCreatesCheckedUnvalidatedEntriesBeforeTheSelectionOrAtTheEnd) {
  list.addColumn({"Name", 120});
  list.addColumn({"Company", 120});
  list.addEntry("  ann@example.com  ", Strings{"  Ann ", "\tAcme"});
  const Entry& e = list.entry(0);
  EXPECT_EQ(e.email(), "ann@example.com");
  EXPECT_EQ(e.checkState, 1);
  EXPECT_EQ(e.resultState, kNotValidated);
  EXPECT_EQ(e.subItems(), (Strings{"", "Ann", "Acme"}));  // one per column after the first
  EXPECT_TRUE(e.log().empty());
  EXPECT_TRUE(list.modified());
  add({"b@x", "c@x"});
  EXPECT_EQ(list.addEntry("new@x", {}, 2), 2u);
  EXPECT_EQ(list.addEntry("last@x", {}, std::nullopt), 4u);
  EXPECT_EQ(emails(), (Strings{"ann@example.com", "b@x", "new@x", "c@x", "last@x"}));
}

TEST_F(RecipientListTest, NewColumnExtendsEntriesAndEditKeepsTheResult) {
  add({"a@x"});
  list.entryTakenForChecking(0);
  list.addColumn({"Name", 120});
  EXPECT_EQ(list.entry(0).subItemCount(), 2u);
  list.editEntry(0, " b@x ", Strings{" Bob "});
  const Entry& e = list.entry(0);
  EXPECT_EQ(e.email(), "b@x");
  EXPECT_EQ(e.resultState, kChecking);
  EXPECT_EQ(e.subItems(), (Strings{"Checking...", "Bob"}));
}

TEST_F(RecipientListTest, CheckCommandsAndDeleteAllChecked) {
  add({"a@x", "b@x", "c@x", "d@x", "e@x"});
  list.toggleCheck(0);
  list.toggleCheck(3);
  EXPECT_EQ(checks(), "01101");
  list.invertChecks();
  EXPECT_EQ(checks(), "10010");
  list.invertChecks();
  list.deleteAllChecked();  // adjacent checked entries are all removed
  EXPECT_EQ(emails(), (Strings{"a@x", "d@x"}));
  list.uncheckAll();
  EXPECT_EQ(checks(), "00");
  list.checkAll();
  list.deleteAllChecked();
  EXPECT_EQ(list.count(), 0u);
  // On an empty list every batch command still marks the project modified.
  using Op = void (RecipientList::*)();
  for (Op op : {&RecipientList::checkAll, &RecipientList::uncheckAll, &RecipientList::invertChecks,
                &RecipientList::deleteAllChecked}) {
    RecipientList fresh;
    (fresh.*op)();
    EXPECT_TRUE(fresh.modified());
  }
}

TEST_F(RecipientListTest, MatchingSearchesEmailAndExtraColumnsButNotResult) {
  list.addColumn({"Name", 120});
  list.addEntry("m\xC3\xBCller@example.com", Strings{"Zoe Stra\u00DFe"});
  list.entryValidationEnded(0, 550, "Requested action not taken", {});
  const struct {
    const char* text;
    bool matchCase;
    bool hit;
  } cases[] = {
      {"example.com", true, true},     // the domain alone
      {"M\xC3\x9CLLER", false, true},  // capitals find small letters with match case off
      {"M\xC3\x9CLLER", true, false},  // ... but not with it on
      {"zoe", false, true},            // small letters find capitals with match case off
      {"Zoe", true, true},             // an extra column
      {"Requested", false, false},     // the result text is never searched
  };
  for (const auto& c : cases) {
    EXPECT_EQ(list.entryMatches(0, c.text, c.matchCase), c.hit) << c.text << " " << c.matchCase;
  }
}

TEST_F(RecipientListTest, ValidationLifecycleAndCounters) {
  std::uint32_t now = 1000;
  list.setClock([&] { return now; });
  add({"good@x", "bad@x", "never@x", "maybe@x"});
  list.runStarted();
  for (const std::size_t i : {0u, 1u, 3u}) list.entryTakenForChecking(i);
  EXPECT_EQ(list.counters().waiting, 3);
  now += 65'000;
  list.entryValidationEnded(0, 0, "", {"line 1", "line 2"});
  list.entryValidationEnded(1, 550, "Mailbox unavailable", {"x"});
  // The verdict the result text carries decides the counter: a greylisted
  // address is neither good nor bad.
  list.entryValidationEnded(3, 450, "Temporarily refused", {});

  EXPECT_EQ(list.entry(0).resultState, kGood);
  EXPECT_EQ(list.entry(0).resultText(), "[0] Valid E-mail Address!");
  EXPECT_EQ(list.entry(0).log(), (TransactionLog{"line 1", "line 2"}));
  EXPECT_EQ(list.entry(1).resultState, kBad);

  EXPECT_EQ(list.statusTexts(),
            (std::array<std::string, 6>{"Elapsed: 0:01:05", "Total: 4", "Waiting: 0", "Good: 1",
                                        "Bad: 1", "Unknown: 1"}));
  now += 10'000;  // no event: the status bar stands still
  EXPECT_EQ(list.statusTexts()[0], "Elapsed: 0:01:05");

  // After the run, "delete all checked" removes exactly the entries still checked: every
  // result but a good one, and the never-validated.
  list.deleteAllChecked();
  EXPECT_EQ(emails(), (Strings{"good@x"}));
}

TEST_F(RecipientListTest, ElapsedTimeWrapsAfterADayAndAcrossTickWrap) {
  std::uint32_t now = 0xFFFFF000u;
  list.setClock([&] { return now; });
  list.runStarted();
  now += 90'061'000u;  // 25 h 1 min 1 s, crossing the 32-bit wrap of the tick count
  list.refreshStatus();
  EXPECT_EQ(list.statusTexts()[0], "Elapsed: 1:01:01");
}

TEST(EntryTest, PackedFieldsSurviveEditsAndCopies) {
  Entry e("a@b", Strings{"r", "one", std::string(300, 'x')});
  e.setSubItem(5, "far");
  EXPECT_EQ(e.subItems(), (Strings{"r", "one", std::string(300, 'x'), "", "", "far"}));
  e.setLog({"l"});
  Entry copy = e;
  e.setEmail("changed@b");
  EXPECT_EQ(copy.email(), "a@b");
  EXPECT_EQ(copy.log(), TransactionLog{"l"});
  EXPECT_EQ(e.subItem(1), "one");
}

}  // namespace
}  // namespace orvane
