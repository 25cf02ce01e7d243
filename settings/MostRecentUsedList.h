// The recently used projects: an ordered list of file names, most recent
// first, shown as a block of items in a menu and kept in the user's settings
// under RegistryKey + "\MRU" (values "0".."n-1" and "Total", see UserKey.h).
//
// Owns the list, the separator item and the entry items (the entry items are
// children of MenuToAttach, which must outlive the list or be unassigned
// first). load() reads the list (call it once the properties are set; a later
// RegistryKey assignment reads again); the destructor writes it back when it
// was read or changed. Adding a name or loading without MenuToAttach fails
// with "MenuToAttach have to be assigned before". User-interface thread only.
#pragma once

#include <QAction>
#include <QList>
#include <QMenu>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <exception>
#include <functional>
#include <stdexcept>

namespace orvane::settings {

class TMostRecentUsedList final : public QObject {
  Q_OBJECT

 public:
  enum TFilenameStyle { dsShort, dsFull };

  // Called with the chosen entry's full path. An exception thrown here leaves
  // the entry in its place.
  using SelectFilenameEvent = std::function<void(TMostRecentUsedList& sender, const QString&)>;
  // Called with the entry's index (from 1) and its stored name; the name as
  // the handler leaves it is the entry's whole caption.
  using DrawFilenameEvent = std::function<void(TMostRecentUsedList& sender, int, QString&)>;
  // Receives what OnSelectFilename threw when an entry was chosen from the
  // menu; without it the message is shown in an error box.
  using SelectErrorEvent = std::function<void(TMostRecentUsedList& sender, const std::exception&)>;

  static constexpr int kDefaultMaxEntries = 5;

  explicit TMostRecentUsedList(QObject* parent = nullptr);
  ~TMostRecentUsedList() override;

  QMenu* MenuToAttach() const { return menu_; }
  void setMenuToAttach(QMenu* menu);
  TFilenameStyle FilenameStyle() const { return style_; }
  void setFilenameStyle(TFilenameStyle style);
  int MaxEntries() const { return maxEntries_; }
  void setMaxEntries(int maxEntries) { maxEntries_ = maxEntries; }
  // Default "Software\MyCompany\MyApp".
  const QString& RegistryKey() const { return registryKey_; }
  void setRegistryKey(const QString& key);
  // Position of the block in the menu; negative appends it at the end.
  int MenuIndex() const { return menuIndex_; }
  void setMenuIndex(int index);
  bool AddSeparator() const { return addSeparator_; }
  void setAddSeparator(bool add);

  SelectFilenameEvent OnSelectFilename;
  DrawFilenameEvent OnDrawFilename;
  SelectErrorEvent onSelectError;

  // Puts `fileName` at the top: a name already listed (letter case ignored)
  // moves up keeping its spelling; a new one may push the oldest out.
  void add(const QString& fileName);
  // Chooses entry `index` (from 0) as a click on its item does, except that
  // an exception from OnSelectFilename passes through to the caller.
  void select(int index);
  // Replaces the list with the stored one.
  void load();
  // Writes the list (the "MRU" subkey is rebuilt); false when it could not.
  bool save() const;

  QStringList fileNames() const;
  int count() const { return static_cast<int>(entries_.size()); }
  QAction* item(int index) const;
  QAction* separator() const { return separator_; }

 private:
  struct Entry {
    QString name;
    QPointer<QAction> item;
  };

  QAction* createItem();
  void destroyItem(const Entry& entry);
  void takeBlockOut();
  void insertBlock();
  QString captionOf(int index) const;
  void moveToTop(int index);
  int indexOf(const QAction* item) const;
  void itemTriggered(QAction* item);
  void requireMenu() const;

  QPointer<QMenu> menu_;
  TFilenameStyle style_ = dsShort;
  int maxEntries_ = kDefaultMaxEntries;
  QString registryKey_;
  int menuIndex_ = -1;
  bool addSeparator_ = true;

  QList<Entry> entries_;
  QAction* separator_ = nullptr;
  bool inserted_ = false;
  bool loaded_ = false;
  bool changed_ = false;
};

}  // namespace orvane::settings
