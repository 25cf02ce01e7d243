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

QString name(int n) {
  return QStringLiteral("/home/u/projects/p%1.orp").arg(n);
}

QString joined(const QStringList& texts) {
  return texts.join(QLatin1Char('|'));
}

class MostRecentUsedList : public ::testing::Test {
 protected:
  MostRecentUsedList() {
    for (const char* caption : {"&New", "&Open...", "E&xit"})
      menu_.addAction(QString::fromLatin1(caption));
  }

  std::unique_ptr<TMostRecentUsedList> makeList(int menuIndex = -1, int names = 0) {
    auto list = std::make_unique<TMostRecentUsedList>();
    list->setMenuToAttach(&menu_);
    list->setMenuIndex(menuIndex);
    list->setRegistryKey(kKey);
    list->load();
    for (int n = 1; n <= names; ++n) list->add(name(n));
    return list;
  }

  // The menu's items as their captions, separators as "-", joined by "|".
  QString captions() const {
    QStringList texts;
    for (const QAction* action : menu_.actions())
      texts.append(action->isSeparator() ? QStringLiteral("-") : action->text());
    return joined(texts);
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

// Newest first; past MaxEntries the oldest drops; a name already listed, in
// any case, moves up keeping its spelling; captions number on past nine.
TEST_F(MostRecentUsedList, NewestFirstOldestDropsDuplicatesMoveUp) {
  auto list = makeList(-1, 6);
  EXPECT_EQ(list->fileNames(), (QStringList{name(6), name(5), name(4), name(3), name(2)}));
  EXPECT_EQ(captions(), QStringLiteral("&New|&Open...|E&xit|-|&1 p6.orp|&2 p5.orp|&3 p4.orp|"
                                       "&4 p3.orp|&5 p2.orp"));
  list->add(name(4).toUpper());
  EXPECT_EQ(list->fileNames(), (QStringList{name(4), name(6), name(5), name(3), name(2)}));
  EXPECT_EQ(menu_.actions().size(), 3 + 1 + 5);
  list->setAddSeparator(false);
  EXPECT_EQ(menu_.actions().size(), 3 + 5);
  list->setMaxEntries(12);
  for (int n = 7; n <= 11; ++n) list->add(name(n));
  ASSERT_EQ(list->count(), 10);
  EXPECT_EQ(list->item(8)->text(), QStringLiteral("&9 p3.orp"));
  EXPECT_EQ(list->item(9)->text(), QStringLiteral("&10 p2.orp"));
}

// The handler runs while the entry is still in its old place; the entry then
// moves up, also when the handler adds the name itself (as opening a project
// does).
TEST_F(MostRecentUsedList, ChoosingAnEntryCallsTheHandlerThenMovesItUp) {
  auto list = makeList(-1, 4);
  QStringList chosen;
  list->OnSelectFilename = [&](TMostRecentUsedList& sender, const QString& path) {
    EXPECT_EQ(&sender, list.get());
    EXPECT_EQ(sender.fileNames().indexOf(path), chosen.isEmpty() ? 3 : 2);
    chosen.append(path);
    if (chosen.size() == 2) sender.add(path);
  };
  list->item(3)->trigger();
  EXPECT_EQ(list->fileNames(), (QStringList{name(1), name(4), name(3), name(2)}));
  EXPECT_EQ(list->item(0)->text(), QStringLiteral("&1 p1.orp"));
  list->item(2)->trigger();
  EXPECT_EQ(chosen, (QStringList{name(1), name(3)}));
  EXPECT_EQ(list->fileNames(), (QStringList{name(3), name(1), name(4), name(2)}));
}

TEST_F(MostRecentUsedList, HandlerThatThrowsLeavesTheEntryInPlace) {
  auto list = makeList(-1, 3);
  list->OnSelectFilename = [](TMostRecentUsedList&, const QString& path) {
    throw std::runtime_error(("File " + path.toStdString() + " has been deleted"));
  };
  QString reported;
  list->onSelectError = [&](TMostRecentUsedList&, const std::exception& error) {
    reported = QString::fromUtf8(error.what());
  };
  list->item(1)->trigger();
  EXPECT_EQ(reported, QStringLiteral("File %1 has been deleted").arg(name(2)));
  EXPECT_EQ(list->fileNames(), (QStringList{name(3), name(2), name(1)}));
  EXPECT_THROW(list->select(2), std::runtime_error);
  EXPECT_EQ(list->fileNames(), (QStringList{name(3), name(2), name(1)}));
}

// "Total" entries, missing values as empty names; a count that cannot be
// read gives an empty list, a damaged one never more than MaxEntries.
TEST_F(MostRecentUsedList, LoadsTotalEntriesAndSurvivesADamagedStore) {
  storeMru({{"Total", "3"}, {"0", "/p/a.orp"}, {"2", "/p/R&D.orp"}});
  auto list = makeList();
  EXPECT_EQ(joined(list->fileNames()), QStringLiteral("/p/a.orp||/p/R&D.orp"));
  EXPECT_EQ(captions(), QStringLiteral("&New|&Open...|E&xit|-|&1 a.orp|&2 |&3 R&&D.orp"));
  list.reset();
  for (const char* total : {"many", "", "-2"}) {
    storeMru({{"Total", total}, {"0", "/p/a.orp"}});
    EXPECT_EQ(makeList()->count(), 0) << total;
  }
  EXPECT_EQ(menu_.actions().size(), 3);
  storeMru({{"Total", "2000000000"}, {"0", "/p/a.orp"}});
  list = makeList();
  EXPECT_EQ(list->count(), TMostRecentUsedList::kDefaultMaxEntries);
  EXPECT_EQ(list->fileNames().front(), QStringLiteral("/p/a.orp"));
}

TEST_F(MostRecentUsedList, SavingRebuildsTheMruSubkeyBesideTheOptions) {
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
  EXPECT_EQ(joined(keys), QStringLiteral("0|1|2|Total"));
  QStringList values;
  for (const QString& key : keys) values.append(settings->value(key).toString());
  EXPECT_EQ(joined(values), QStringLiteral("/p/b.orp|/p/a.orp|/p/old.orp|3"));
  settings->endGroup();

  auto reloaded = makeList();
  EXPECT_EQ(joined(reloaded->fileNames()), QStringLiteral("/p/b.orp|/p/a.orp|/p/old.orp"));
  // Another key holds no list: the menu block goes.
  reloaded->setRegistryKey(QStringLiteral("\\software\\Tamsworth\\Other"));
  EXPECT_EQ(reloaded->count(), 0);
  EXPECT_EQ(menu_.actions().size(), 3);
}

}  // namespace
}  // namespace orvane::settings
