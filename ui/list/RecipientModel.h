// The recipient list as a Qt item model: one row per entry, one column per list
// column (e-mail, result text, then the extra fields), the check box and the
// result icon as the first column's decoration.
//
// The model forwards the list's changes to the views: removals, resets and
// insertions in the middle at once, changes of entries in place coalesced,
// and batches appended at the end (an import) announced with the next flush:
// until then the view sees the rows it was told of, all of which exist
// unchanged in the list, so a million-row import costs the view a few
// layouts instead of one per batch. Results arriving from hundreds
// of sessions land as one dataChanged for the range they touched, emitted at
// most every kFlushIntervalMs; the status bar texts and "scroll this entry into
// view" ride on the same flush. A single change after a quiet spell is emitted
// on the next pass of the loop, so the user's own clicks show at once.
//
// data() is O(1) per cell (an entry's texts are packed with their offsets), so
// a list of millions scrolls as smoothly as a short one.
//
// With an insight set (setInsight), two columns follow the list's own:
// "Flags" (the flags' names and badges, and a suggested domain) and "Checked
// address" (the address that was checked, where it is not the entry's text
// as it stands); each row's tool tip says the same. They are shown, never
// stored: the notes are worked out from the entry's text and result when a
// view first asks (engine::EntryInsight, well under a microsecond) and kept
// in a cache of kNoteCacheRows rows by row number, so a view's page of rows
// costs one computation each until a row changes, and a list of millions
// holds no more than that.
//
// Borrows the RecipientList, which must outlive the model. User-interface
// thread only.
#pragma once

#include <QAbstractTableModel>
#include <QElapsedTimer>
#include <QTimer>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/AddressInsight.h"
#include "core/RecipientList.h"

namespace orvane::engine {
class EntryInsight;
}

namespace orvane::ui {

class RecipientModel final : public QAbstractTableModel, private RecipientListObserver {
  Q_OBJECT

 public:
  static constexpr int kFlushIntervalMs = 100;
  static constexpr std::size_t kNoteCacheRows = 1024;  // a power of two
  static constexpr int kNoteColumns = 2;

  explicit RecipientModel(RecipientList& list, QObject* parent = nullptr);
  ~RecipientModel() override;

  RecipientList& list() noexcept { return list_; }
  const RecipientList& list() const noexcept { return list_; }

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation,
                      int role = Qt::DisplayRole) const override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;

  // The icon of an entry's result: being checked, or its verdict (good,
  // bad, catch-all, unknown); "" before any validation.
  static QString resultIconName(const Entry& entry);

  // Where the notes come from (borrowed; nullptr: no note columns). Setting
  // another one resets the model when the columns come or go.
  void setInsight(const engine::EntryInsight* insight);
  // The first note column ("Flags"); -1 without an insight.
  int flagsColumn() const;
  // The notes of entry `row` (empty without an insight), from the cache;
  // the reference holds until the next call.
  const EntryNotes& notes(std::size_t row) const;
  // The notes a run reported with entry `row`'s result (worked out with the
  // run's own count of domains), kept until the row changes again.
  void setNotes(std::size_t row, EntryNotes notes);
  // The address checked when it is not the entry's text (letter case
  // aside), else "".
  static QString checkedAddressShown(const Entry& entry, const EntryNotes& notes);
  // The notes as the tool tip and the properties dialog say them, one line
  // each ("" when there is nothing to say).
  static QString notesText(const Entry& entry, const EntryNotes& notes);
  // Every row's notes are worked out again (the insight's lists or its count
  // of the list's domains changed); the views repaint the note columns.
  void notesChanged();

  // Emits whatever is pending now.
  void flush();
  // Flushes emitted so far (benchmarks).
  quint64 flushes() const noexcept { return flushes_; }

 signals:
  // Batched: the status bar texts changed.
  void statusTextsChanged();
  // Batched: the last entry the list asked to show since the previous flush.
  void rowShown(int row);
  // Entries changed in place (emitted with each flush that carried changes).
  void rowsUpdated();
  // After a reset: columns (and their widths) may differ.
  void columnsReset();
  // Every row's notes may differ (notesChanged).
  void notesReset();
  void modifiedFlagChanged(bool modified);

 private:
  // RecipientListObserver
  void entriesAboutToBeInserted(std::size_t first, std::size_t count) override;
  void entriesInserted(std::size_t first, std::size_t count) override;
  void entriesAboutToBeRemoved(std::size_t first, std::size_t count) override;
  void entriesRemoved(std::size_t first, std::size_t count) override;
  void entriesChanged(std::size_t first, std::size_t last) override;
  void listAboutToBeReset() override;
  void listReset() override;
  void entryShown(std::size_t index) override;
  void modifiedChanged(bool modified) override;
  void statusChanged() override;

  void schedule();
  void emitDirtyRows();
  // Announces appended rows the views have not been told of yet.
  void announceAppended();
  void forgetNotes();

  struct CachedNotes {
    std::size_t row = SIZE_MAX;  // SIZE_MAX: empty slot
    EntryNotes notes;
  };

  RecipientList& list_;
  QTimer flushTimer_;
  QElapsedTimer sinceFlush_;
  std::size_t announced_ = 0;  // rows the views know of
  bool appending_ = false;     // an append at the end is under way
  bool dirty_ = false;
  std::size_t dirtyFirst_ = 0;
  std::size_t dirtyLast_ = 0;
  bool statusDirty_ = false;
  std::optional<std::size_t> shown_;
  quint64 flushes_ = 0;
  const engine::EntryInsight* insight_ = nullptr;
  mutable std::vector<CachedNotes> notes_;  // kNoteCacheRows slots, row % kNoteCacheRows
};

}  // namespace orvane::ui
