#include <gtest/gtest.h>
#include <QAction>
#include <QMenu>
#include <QSettings>
#include <memory>
#include <stdexcept>

#include "settings/MostRecentUsedList.h"
#include "tests/settings/TempSettings.h"

namespace orvane::settings {
namespace {

using testing::TempSettings;

const QString kKey = QStringLiteral("\\software\\Tamsworth\\Orvane");

// The menu's items as their captions, separators as "-".
QStringList captions(const QMenu& menu) {
  QStringList texts;
  for (const QAction* action : menu.actions())
    texts.append(action->isSeparator() ? QStringLiteral("-") : action->text());
  return texts;
}

QString name(int n) {
  return QStringLiteral("/home/u/projects/p%1.orp").arg(n);
}

class MostRecentUsedList : public ::testing::Test {
 protected:
  MostRecentUsedList() {
    for (const char* caption : {"&New", "&Open...", "E&xit"})
      menu_.addAction(QString::fromLatin1(caption));
  }

  std::unique_ptr<TMostRecentUsedList> makeList(int menuIndex = -1) {
    auto list = std::make_unique<TMostRecentUsedList>();
    list->setMenuToAttach(&menu_);
    list->setMenuIndex(menuIndex);
    list->setRegistryKey(kKey);
    list->load();
    return list;
  }

  void storeMru(std::initializer_list<std::pair<const char*, const char*>> values) {
    auto settings = temp_.programKey();
    for (const auto& [valueName, text] : values)
      settings->setValue(QStringLiteral("MRU/") + QString::fromLatin1(valueName),
                         QString::fromLatin1(text));
    settings->sync();
  }

  TempSettings temp_;
  QMenu menu_;
};

TEST_F(MostRecentUsedList, NewestFirstAndTheOldestDropsPastMaxEntries) {
  auto list = makeList();
  for (int n = 1; n <= 6; ++n) list->add(name(n));
  EXPECT_EQ(list->fileNames(), (QStringList{name(6), name(5), name(4), name(3), name(2)}));
  EXPECT_EQ(captions(menu_),
            (QStringList{QStringLiteral("&New"), QStringLiteral("&Open..."),
                         QStringLiteral("E&xit"), QStringLiteral("-"), QStringLiteral("&1 p6.orp"),
                         QStringLiteral("&2 p5.orp"), QStringLiteral("&3 p4.orp"),
                         QStringLiteral("&4 p3.orp"), QStringLiteral("&5 p2.orp")}));
}

TEST_F(MostRecentUsedList, DuplicateInOtherCaseMovesUpKeepingItsSpelling) {
  auto list = makeList();
  list->add(QStringLiteral("/p/One.orp"));
  list->add(QStringLiteral("/p/two.orp"));
  list->add(QStringLiteral("/p/three.orp"));
  list->add(QStringLiteral("/P/ONE.ORP"));
  EXPECT_EQ(list->fileNames(),
            (QStringList{QStringLiteral("/p/One.orp"), QStringLiteral("/p/three.orp"),
                         QStringLiteral("/p/two.orp")}));
  EXPECT_EQ(menu_.actions().size(), 3 + 1 + 3);
}

TEST_F(MostRecentUsedList, SeparatorOnlyWhileTheListHasEntries) {
  auto list = makeList(1);
  EXPECT_EQ(captions(menu_), (QStringList{QStringLiteral("&New"), QStringLiteral("&Open..."),
                                          QStringLiteral("E&xit")}));
  list->add(QStringLiteral("/p/a.orp"));
  EXPECT_EQ(captions(menu_),
            (QStringList{QStringLiteral("&New"), QStringLiteral("-"), QStringLiteral("&1 a.orp"),
                         QStringLiteral("&Open..."), QStringLiteral("E&xit")}));
  list->add(QStringLiteral("/p/b.orp"));
  EXPECT_EQ(captions(menu_), (QStringList{QStringLiteral("&New"), QStringLiteral("-"),
                                          QStringLiteral("&1 b.orp"), QStringLiteral("&2 a.orp"),
                                          QStringLiteral("&Open..."), QStringLiteral("E&xit")}));
  list->setAddSeparator(false);
  EXPECT_EQ(captions(menu_), (QStringList{QStringLiteral("&New"), QStringLiteral("&1 b.orp"),
                                          QStringLiteral("&2 a.orp"), QStringLiteral("&Open..."),
                                          QStringLiteral("E&xit")}));
}

TEST_F(MostRecentUsedList, CaptionsPastNineEntries) {
  auto list = makeList();
  list->setMaxEntries(12);
  for (int n = 1; n <= 10; ++n) list->add(name(n));
  ASSERT_EQ(list->count(), 10);
  EXPECT_EQ(list->item(0)->text(), QStringLiteral("&1 p10.orp"));
  EXPECT_EQ(list->item(8)->text(), QStringLiteral("&9 p2.orp"));
  EXPECT_EQ(list->item(9)->text(), QStringLiteral("&10 p1.orp"));
}

TEST_F(MostRecentUsedList, ShortOrFullNamesAndDrawnCaptions) {
  auto list = makeList();
  const QString longPath =
      QStringLiteral("/home/u/") + QString(300, QLatin1Char('d')) + QStringLiteral("/R&D list.orp");
  list->add(longPath);
  EXPECT_EQ(list->item(0)->text(), QStringLiteral("&1 R&&D list.orp"));
  list->setFilenameStyle(TMostRecentUsedList::dsFull);
  QString full = longPath;
  full.replace(QLatin1Char('&'), QStringLiteral("&&"));
  EXPECT_EQ(list->item(0)->text(), QStringLiteral("&1 ") + full);

  list->OnDrawFilename = [](TMostRecentUsedList&, int index, QString& text) {
    text = QStringLiteral("#%1 %2").arg(index).arg(text.size());
  };
  list->add(QStringLiteral("/x/y.orp"));
  EXPECT_EQ(list->item(0)->text(), QStringLiteral("#1 8"));
  EXPECT_EQ(list->item(1)->text(), QStringLiteral("#2 %1").arg(longPath.size()));
}

TEST_F(MostRecentUsedList, ChoosingAnEntryCallsTheHandlerThenMovesItUp) {
  auto list = makeList();
  for (int n = 1; n <= 3; ++n) list->add(name(n));
  QStringList chosen;
  list->OnSelectFilename = [&](TMostRecentUsedList& sender, const QString& path) {
    EXPECT_EQ(&sender, list.get());
    // The entry is still in its old place while the handler runs.
    EXPECT_EQ(sender.fileNames().indexOf(path), 2);
    chosen.append(path);
  };
  list->item(2)->trigger();
  EXPECT_EQ(chosen, QStringList{name(1)});
  EXPECT_EQ(list->fileNames(), (QStringList{name(1), name(3), name(2)}));
  EXPECT_EQ(list->item(0)->text(), QStringLiteral("&1 p1.orp"));
}

TEST_F(MostRecentUsedList, ChoosingTheTopEntryChangesNothing) {
  auto list = makeList();
  for (int n = 1; n <= 3; ++n) list->add(name(n));
  int calls = 0;
  list->OnSelectFilename = [&](TMostRecentUsedList&, const QString&) { ++calls; };
  const QStringList before = captions(menu_);
  list->item(0)->trigger();
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(captions(menu_), before);
}

TEST_F(MostRecentUsedList, HandlerThatThrowsLeavesTheEntryInPlace) {
  auto list = makeList();
  for (int n = 1; n <= 3; ++n) list->add(name(n));
  list->OnSelectFilename = [](TMostRecentUsedList&, const QString& path) {
    throw std::runtime_error(("File " + path.toStdString() + " has been deleted"));
  };
  QString reported;
  list->OnSelectError = [&](TMostRecentUsedList&, const std::exception& error) {
    reported = QString::fromUtf8(error.what());
  };
  list->item(1)->trigger();
  EXPECT_EQ(reported, QStringLiteral("File %1 has been deleted").arg(name(2)));
  EXPECT_EQ(list->fileNames(), (QStringList{name(3), name(2), name(1)}));
  EXPECT_THROW(list->select(2), std::runtime_error);
  EXPECT_EQ(list->fileNames(), (QStringList{name(3), name(2), name(1)}));
}

TEST_F(MostRecentUsedList, HandlerThatAddsTheChosenNameLeavesTheOthersInOrder) {
  auto list = makeList();
  for (int n = 1; n <= 4; ++n) list->add(name(n));
  // What the main window does: opening a project adds its path.
  list->OnSelectFilename = [](TMostRecentUsedList& sender, const QString& path) {
    sender.add(path);
  };
  list->item(2)->trigger();
  EXPECT_EQ(list->fileNames(), (QStringList{name(2), name(4), name(3), name(1)}));
}

TEST_F(MostRecentUsedList, NeedsAMenuToAddOrLoad) {
  TMostRecentUsedList list;
  list.setRegistryKey(kKey);
  try {
    list.add(name(1));
    FAIL() << "no exception";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "MenuToAttach have to be assigned before");
  }
  EXPECT_THROW(list.load(), std::runtime_error);
  EXPECT_EQ(list.count(), 0);
}

TEST_F(MostRecentUsedList, LoadsTotalEntriesWithMissingValuesAsEmptyNames) {
  storeMru({{"Total", "3"}, {"0", "/p/a.orp"}, {"2", "/p/c.orp"}});
  auto list = makeList();
  EXPECT_EQ(list->fileNames(),
            (QStringList{QStringLiteral("/p/a.orp"), QString(), QStringLiteral("/p/c.orp")}));
  EXPECT_EQ(captions(menu_).mid(3),
            (QStringList{QStringLiteral("-"), QStringLiteral("&1 a.orp"), QStringLiteral("&2 "),
                         QStringLiteral("&3 c.orp")}));
}

TEST_F(MostRecentUsedList, UnreadableStoreGivesAnEmptyList) {
  {
    auto list = makeList();  // no "MRU" at all
    EXPECT_EQ(list->count(), 0);
    EXPECT_EQ(menu_.actions().size(), 3);
  }
  for (const char* total : {"many", "", "-2"}) {
    storeMru({{"Total", total}, {"0", "/p/a.orp"}});
    auto list = makeList();
    EXPECT_EQ(list->count(), 0) << total;
  }
  // A damaged count never fills the menu beyond MaxEntries.
  storeMru({{"Total", "2000000000"}, {"0", "/p/a.orp"}});
  auto list = makeList();
  EXPECT_EQ(list->count(), TMostRecentUsedList::kDefaultMaxEntries);
  EXPECT_EQ(list->fileNames().front(), QStringLiteral("/p/a.orp"));
}

TEST_F(MostRecentUsedList, SavingRebuildsTheMruSubkey) {
  storeMru({{"Total", "1"}, {"0", "/p/old.orp"}, {"8", "/p/stale.orp"}});
  {
    auto list = makeList();
    list->add(QStringLiteral("/p/a.orp"));
    list->add(QStringLiteral("/p/b.orp"));
  }
  auto settings = temp_.programKey();
  settings->beginGroup(QStringLiteral("MRU"));
  QStringList keys = settings->childKeys();
  keys.sort();
  EXPECT_EQ(keys, (QStringList{QStringLiteral("0"), QStringLiteral("1"), QStringLiteral("2"),
                               QStringLiteral("Total")}));
  EXPECT_EQ(settings->value(QStringLiteral("0")).toString(), QStringLiteral("/p/b.orp"));
  EXPECT_EQ(settings->value(QStringLiteral("1")).toString(), QStringLiteral("/p/a.orp"));
  EXPECT_EQ(settings->value(QStringLiteral("2")).toString(), QStringLiteral("/p/old.orp"));
  EXPECT_EQ(settings->value(QStringLiteral("Total")).toString(), QStringLiteral("3"));
  settings->endGroup();

  auto reloaded = makeList();
  EXPECT_EQ(reloaded->fileNames(),
            (QStringList{QStringLiteral("/p/b.orp"), QStringLiteral("/p/a.orp"),
                         QStringLiteral("/p/old.orp")}));
}

TEST_F(MostRecentUsedList, SavesBesideTheOptionsAndReloadsOnANewKey) {
  {
    auto list = makeList();
    list->add(QStringLiteral("/p/a.orp"));
  }
  EXPECT_EQ(temp_.programKey()->value(QStringLiteral("MRU/Total")).toString(), QStringLiteral("1"));
  auto list = makeList();
  ASSERT_EQ(list->count(), 1);
  list->setRegistryKey(QStringLiteral("\\software\\Tamsworth\\Other"));
  EXPECT_EQ(list->count(), 0);
  EXPECT_EQ(menu_.actions().size(), 3);
}

}  // namespace
}  // namespace orvane::settings
