#include "settings/MostRecentUsedList.h"

#include <QAction>
#include <QApplication>
#include <QFileInfo>
#include <QMenu>
#include <QMessageBox>
#include <QSettings>
#include <algorithm>
#include <memory>

#include "settings/UserKey.h"

namespace orvane::settings {
namespace {

const QString kSubkey = QStringLiteral("MRU");
const QString kTotal = QStringLiteral("Total");

// The file-name part after the last separator ("/" and, where paths use it,
// "\").
QString shortName(const QString& path) {
#ifdef _WIN32
  const qsizetype cut =
      std::max(path.lastIndexOf(QLatin1Char('/')), path.lastIndexOf(QLatin1Char('\\')));
#else
  const qsizetype cut = path.lastIndexOf(QLatin1Char('/'));
#endif
  return path.mid(cut + 1);
}

}  // namespace

TMostRecentUsedList::TMostRecentUsedList(QObject* parent)
    : QObject(parent),
      registryKey_(QStringLiteral("Software\\MyCompany\\MyApp")),
      separator_(new QAction(this)) {
  // No text: a separator with one is drawn as a titled section ("-").
  separator_->setSeparator(true);
}

TMostRecentUsedList::~TMostRecentUsedList() {
  if (loaded_ || changed_) save();
  takeBlockOut();
  for (const Entry& entry : entries_) delete entry.item.data();
}

void TMostRecentUsedList::requireMenu() const {
  if (!menu_) throw std::runtime_error("MenuToAttach have to be assigned before");
}

void TMostRecentUsedList::setMenuToAttach(QMenu* menu) {
  if (menu == menu_) return;
  takeBlockOut();
  menu_ = menu;
  for (const Entry& entry : entries_)
    if (entry.item) entry.item->setParent(menu_);
  insertBlock();
}

void TMostRecentUsedList::setFilenameStyle(TFilenameStyle style) {
  takeBlockOut();
  style_ = style;
  insertBlock();
}

void TMostRecentUsedList::setMenuIndex(int index) {
  takeBlockOut();
  menuIndex_ = index;
  insertBlock();
}

void TMostRecentUsedList::setAddSeparator(bool add) {
  takeBlockOut();
  addSeparator_ = add;
  insertBlock();
}

void TMostRecentUsedList::setRegistryKey(const QString& key) {
  registryKey_ = key;
  if (loaded_) load();
}

QStringList TMostRecentUsedList::fileNames() const {
  QStringList names;
  for (const Entry& entry : entries_) names.append(entry.name);
  return names;
}

QAction* TMostRecentUsedList::item(int index) const {
  return index >= 0 && index < count() ? entries_[index].item.data() : nullptr;
}

QAction* TMostRecentUsedList::createItem() {
  auto* action = new QAction(menu_);
  QPointer<QAction> guard(action);
  connect(action, &QAction::triggered, this, [this, guard] {
    if (guard) itemTriggered(guard);
  });
  return action;
}

void TMostRecentUsedList::destroyItem(const Entry& entry) {
  // Later, not at once: the item may be the one whose click is being handled.
  if (entry.item) entry.item->deleteLater();
}

void TMostRecentUsedList::takeBlockOut() {
  if (!inserted_) return;
  if (menu_) {
    menu_->removeAction(separator_);
    for (const Entry& entry : entries_)
      if (entry.item) menu_->removeAction(entry.item);
  }
  inserted_ = false;
}

void TMostRecentUsedList::insertBlock() {
  if (!menu_ || inserted_) return;
  const QList<QAction*> actions = menu_->actions();
  QAction* before = nullptr;
  if (menuIndex_ >= 0 && menuIndex_ < actions.size()) before = actions[menuIndex_];
  if (addSeparator_ && !entries_.isEmpty()) menu_->insertAction(before, separator_);
  for (int i = 0; i < count(); ++i) {
    QAction* action = entries_[i].item;
    if (!action) continue;
    action->setText(captionOf(i + 1));
    menu_->insertAction(before, action);
  }
  inserted_ = true;
}

QString TMostRecentUsedList::captionOf(int index) const {
  QString name = entries_[index - 1].name;
  if (OnDrawFilename) {
    OnDrawFilename(const_cast<TMostRecentUsedList&>(*this), index, name);
    return name;
  }
  QString shown = style_ == dsShort ? shortName(name) : name;
  // A "&" in a file name is shown as itself, not taken as an accelerator.
  shown.replace(QLatin1Char('&'), QStringLiteral("&&"));
  return QStringLiteral("&%1 %2").arg(QString::number(index), shown);
}

int TMostRecentUsedList::indexOf(const QAction* action) const {
  for (int i = 0; i < count(); ++i)
    if (entries_[i].item == action) return i;
  return -1;
}

void TMostRecentUsedList::moveToTop(int index) {
  if (index <= 0 || index >= count()) return;
  takeBlockOut();
  entries_.move(index, 0);
  changed_ = true;
  insertBlock();
}

void TMostRecentUsedList::add(const QString& fileName) {
  requireMenu();
  takeBlockOut();
  int found = -1;
  for (int i = 0; i < count() && found < 0; ++i)
    if (entries_[i].name.compare(fileName, Qt::CaseInsensitive) == 0) found = i;
  if (found < 0) {
    entries_.prepend(Entry{fileName, createItem()});
    while (count() > std::max(maxEntries_, 0)) {
      destroyItem(entries_.last());
      entries_.removeLast();
    }
  } else {
    entries_.move(found, 0);
  }
  changed_ = true;
  insertBlock();
}

void TMostRecentUsedList::select(int index) {
  if (index < 0 || index >= count()) return;
  const QPointer<QAction> chosen = entries_[index].item;
  const QString name = entries_[index].name;
  if (OnSelectFilename) OnSelectFilename(*this, name);
  // The handler may itself have changed the list (opening a project adds its
  // name): find the chosen entry again rather than trusting `index`.
  const int now = chosen ? indexOf(chosen) : -1;
  if (now > 0) moveToTop(now);
}

void TMostRecentUsedList::itemTriggered(QAction* action) {
  const int index = indexOf(action);
  if (index < 0) return;
  try {
    select(index);
  } catch (const std::exception& error) {
    if (onSelectError) {
      onSelectError(*this, error);
    } else {
      QWidget* owner = menu_ ? menu_->window() : nullptr;
      QMessageBox::critical(owner, QCoreApplication::applicationName(),
                            QString::fromUtf8(error.what()));
    }
  }
}

void TMostRecentUsedList::load() {
  requireMenu();
  takeBlockOut();
  for (const Entry& entry : entries_) destroyItem(entry);
  entries_.clear();
  loaded_ = true;
  changed_ = false;

  const std::unique_ptr<QSettings> key = UserKey::open(registryKey_);
  if (key && key->childGroups().contains(kSubkey)) {
    key->beginGroup(kSubkey);
    bool numeric = false;
    int total = key->value(kTotal).toString().trimmed().toInt(&numeric);
    if (!numeric || total < 0) total = 0;
    // Never more than the list may hold: a damaged count must not fill the
    // menu with thousands of empty entries.
    total = std::min(total, std::max(maxEntries_, 0));
    for (int i = 0; i < total; ++i)
      entries_.append(Entry{key->value(QString::number(i)).toString(), createItem()});
    key->endGroup();
  }
  insertBlock();
}

bool TMostRecentUsedList::save() const {
  const std::unique_ptr<QSettings> key = UserKey::open(registryKey_);
  if (!key) return false;
  key->remove(kSubkey);
  key->beginGroup(kSubkey);
  for (int i = 0; i < count(); ++i) key->setValue(QString::number(i), entries_[i].name);
  key->setValue(kTotal, QString::number(count()));
  key->endGroup();
  key->sync();
  return key->status() == QSettings::NoError;
}

}  // namespace orvane::settings
