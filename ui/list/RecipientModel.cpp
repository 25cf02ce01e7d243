#include "ui/list/RecipientModel.h"

#include <algorithm>

#include "core/Verdict.h"
#include "engine/EntryInsight.h"
#include "ui/art/Artwork.h"

namespace orvane::ui {
namespace {

QString toQString(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

bool equalIgnoringAsciiCase(std::string_view a, std::string_view b) {
  const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [&](char x, char y) { return lower(x) == lower(y); });
}

// The Flags cell: the flags' names, then a suggested domain.
QString flagsCell(const EntryNotes& notes) {
  QString text = QString::fromStdString(flagsText(notes.flags, ", "));
  if (!notes.suggestion.empty()) {
    if (!text.isEmpty()) text += QStringLiteral("; ");
    text += QStringLiteral("did you mean %1?").arg(QString::fromStdString(notes.suggestion));
  }
  return text;
}

}  // namespace

RecipientModel::RecipientModel(RecipientList& list, QObject* parent)
    : QAbstractTableModel(parent), list_(list) {
  flushTimer_.setSingleShot(true);
  connect(&flushTimer_, &QTimer::timeout, this, &RecipientModel::flush);
  announced_ = list_.count();
  list_.addObserver(this);
}

RecipientModel::~RecipientModel() {
  list_.removeObserver(this);
}

int RecipientModel::rowCount(const QModelIndex& parent) const {
  if (parent.isValid()) return 0;
  return static_cast<int>(std::min<std::size_t>(announced_, INT_MAX));
}

int RecipientModel::columnCount(const QModelIndex& parent) const {
  if (parent.isValid()) return 0;
  return static_cast<int>(list_.columnCount()) + (insight_ ? kNoteColumns : 0);
}

int RecipientModel::flagsColumn() const {
  return insight_ ? static_cast<int>(list_.columnCount()) : -1;
}

void RecipientModel::setInsight(const engine::EntryInsight* insight) {
  if (insight == insight_) return;
  if ((insight == nullptr) == (insight_ == nullptr)) {
    insight_ = insight;
    notesChanged();
    return;
  }
  beginResetModel();
  insight_ = insight;
  forgetNotes();
  endResetModel();
  emit columnsReset();
}

const EntryNotes& RecipientModel::notes(std::size_t row) const {
  static const EntryNotes kNone;
  if (!insight_ || row >= list_.count()) return kNone;
  if (notes_.empty()) notes_.resize(kNoteCacheRows);
  CachedNotes& slot = notes_[row & (kNoteCacheRows - 1)];
  if (slot.row != row) {
    slot.notes = insight_->notesOf(list_.entry(row));
    slot.row = row;
  }
  return slot.notes;
}

void RecipientModel::setNotes(std::size_t row, EntryNotes notes) {
  if (!insight_ || row >= list_.count()) return;
  if (notes_.empty()) notes_.resize(kNoteCacheRows);
  CachedNotes& slot = notes_[row & (kNoteCacheRows - 1)];
  slot.row = row;
  slot.notes = std::move(notes);
}

QString RecipientModel::checkedAddressShown(const Entry& entry, const EntryNotes& notes) {
  if (notes.checked.empty() || equalIgnoringAsciiCase(notes.checked, entry.email())) return {};
  return QString::fromStdString(notes.checked);
}

QString RecipientModel::notesText(const Entry& entry, const EntryNotes& notes) {
  QStringList lines;
  if (!notes.flags.empty()) {
    lines << QStringLiteral("Flags: ") + QString::fromStdString(flagsText(notes.flags, ", "));
  }
  if (!notes.suggestion.empty()) {
    lines << QStringLiteral("Suggested domain: ") + QString::fromStdString(notes.suggestion);
  }
  const QString checked = checkedAddressShown(entry, notes);
  if (!checked.isEmpty()) lines << QStringLiteral("Checked address: ") + checked;
  return lines.join(QLatin1Char('\n'));
}

void RecipientModel::notesChanged() {
  forgetNotes();
  const int rows = rowCount();
  if (insight_ && rows > 0) {
    emit dataChanged(index(0, flagsColumn()), index(rows - 1, flagsColumn() + kNoteColumns - 1));
  }
  emit notesReset();
}

void RecipientModel::forgetNotes() {
  for (CachedNotes& slot : notes_) slot.row = SIZE_MAX;
}

QString RecipientModel::resultIconName(const Entry& entry) {
  if (entry.resultState == kChecking) return QStringLiteral("checking");
  if (entry.resultState != kGood && entry.resultState != kBad) return {};
  switch (verdictOfResultText(entry.resultText())) {
    case Verdict::Valid:
      return QStringLiteral("good");
    case Verdict::Invalid:
      return QStringLiteral("bad");
    case Verdict::CatchAll:
      return QStringLiteral("catch-all");
    case Verdict::Unknown:
      return QStringLiteral("unknown");
    case Verdict::None:
      break;
  }
  // A result text of another kind (edited by hand): the state decides.
  return entry.resultState == kGood ? QStringLiteral("good") : QStringLiteral("bad");
}

QVariant RecipientModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.parent().isValid()) return {};
  const auto row = static_cast<std::size_t>(index.row());
  if (row >= announced_) return {};
  const Entry& entry = list_.entry(row);
  const auto column = static_cast<std::size_t>(index.column());
  const std::size_t listColumns = list_.columnCount();
  switch (role) {
    case Qt::DisplayRole:
      if (column == 0) return toQString(entry.email());
      if (column < listColumns) return toQString(entry.subItem(column - 1));
      if (column == listColumns) return flagsCell(notes(row));
      return checkedAddressShown(entry, notes(row));
    case Qt::DecorationRole:
      if (column == 0) return entryDecoration(entry.checkState == 1, resultIconName(entry));
      if (column == listColumns && insight_) {
        const EntryNotes& n = notes(row);
        const QPixmap badges = flagBadges(n.flags, !n.suggestion.empty());
        if (!badges.isNull()) return badges;
      }
      return {};
    case Qt::ToolTipRole: {
      if (!insight_) return {};
      const QString text = notesText(entry, notes(row));
      if (text.isEmpty()) return {};
      return text;
    }
    default:
      return {};
  }
}

QVariant RecipientModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
  if (section < 0 || section >= columnCount()) return {};
  const auto column = static_cast<std::size_t>(section);
  if (column == list_.columnCount()) return QStringLiteral("Flags");
  if (column > list_.columnCount()) return QStringLiteral("Checked address");
  return toQString(list_.columns()[column].caption);
}

Qt::ItemFlags RecipientModel::flags(const QModelIndex& index) const {
  if (!index.isValid()) return Qt::NoItemFlags;
  return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren;
}

void RecipientModel::flush() {
  flushTimer_.stop();
  sinceFlush_.start();
  ++flushes_;
  announceAppended();
  const bool rowsChanged = dirty_;
  emitDirtyRows();
  if (statusDirty_) {
    statusDirty_ = false;
    emit statusTextsChanged();
  }
  if (shown_) {
    const auto row = static_cast<int>(*shown_);
    shown_.reset();
    if (row < rowCount()) emit rowShown(row);
  }
  if (rowsChanged) emit rowsUpdated();
}

void RecipientModel::emitDirtyRows() {
  if (!dirty_) return;
  dirty_ = false;
  const int rows = rowCount();
  if (rows == 0 || dirtyFirst_ >= static_cast<std::size_t>(rows)) return;
  const int last = static_cast<int>(std::min<std::size_t>(dirtyLast_, rows - 1));
  emit dataChanged(index(static_cast<int>(dirtyFirst_), 0),
                   index(last, std::max(columnCount() - 1, 0)));
}

void RecipientModel::schedule() {
  if (flushTimer_.isActive()) return;
  const qint64 since = sinceFlush_.isValid() ? sinceFlush_.elapsed() : kFlushIntervalMs;
  flushTimer_.start(static_cast<int>(std::max<qint64>(0, kFlushIntervalMs - since)));
}

void RecipientModel::announceAppended() {
  const std::size_t total = list_.count();
  if (appending_ || total <= announced_) return;
  beginInsertRows({}, static_cast<int>(announced_), static_cast<int>(total - 1));
  announced_ = total;
  endInsertRows();
}

void RecipientModel::entriesAboutToBeInserted(std::size_t first, std::size_t count) {
  forgetNotes();  // rows after `first` take new numbers
  if (count > 1 && first == list_.count() && first >= announced_) {
    // Many appended at the end (an import): announced with the next flush.
    appending_ = true;
    return;
  }
  announceAppended();
  emitDirtyRows();  // pending rows are numbered as before the insertion
  beginInsertRows({}, static_cast<int>(first), static_cast<int>(first + count - 1));
  announced_ += count;
}

void RecipientModel::entriesInserted(std::size_t, std::size_t) {
  if (appending_) {
    appending_ = false;
    schedule();
    return;
  }
  endInsertRows();
}

void RecipientModel::entriesAboutToBeRemoved(std::size_t first, std::size_t count) {
  forgetNotes();
  announceAppended();
  emitDirtyRows();
  shown_.reset();
  beginRemoveRows({}, static_cast<int>(first), static_cast<int>(first + count - 1));
  announced_ -= count;
}

void RecipientModel::entriesRemoved(std::size_t, std::size_t) {
  endRemoveRows();
}

void RecipientModel::entriesChanged(std::size_t first, std::size_t last) {
  if (last - first + 1 >= kNoteCacheRows) {
    forgetNotes();
  } else {
    for (std::size_t row = first; row <= last && !notes_.empty(); ++row) {
      CachedNotes& slot = notes_[row & (kNoteCacheRows - 1)];
      if (slot.row == row) slot.row = SIZE_MAX;
    }
  }
  if (first >= announced_) return;  // announced later, with its present texts
  last = std::min(last, announced_ - 1);
  if (!dirty_) {
    dirty_ = true;
    dirtyFirst_ = first;
    dirtyLast_ = last;
  } else {
    dirtyFirst_ = std::min(dirtyFirst_, first);
    dirtyLast_ = std::max(dirtyLast_, last);
  }
  schedule();
}

void RecipientModel::listAboutToBeReset() {
  forgetNotes();
  dirty_ = false;
  shown_.reset();
  beginResetModel();
}

void RecipientModel::listReset() {
  announced_ = list_.count();
  endResetModel();
  emit columnsReset();
}

void RecipientModel::entryShown(std::size_t index) {
  shown_ = index;
  schedule();
}

void RecipientModel::modifiedChanged(bool modified) {
  emit modifiedFlagChanged(modified);
}

void RecipientModel::statusChanged() {
  statusDirty_ = true;
  schedule();
}

}  // namespace orvane::ui
