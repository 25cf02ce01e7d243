#include "ui/list/RecipientModel.h"

#include <algorithm>

#include "core/Verdict.h"
#include "ui/art/Artwork.h"

namespace orvane::ui {
namespace {

QString toQString(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
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
  return static_cast<int>(list_.columnCount());
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
  switch (role) {
    case Qt::DisplayRole:
      if (index.column() == 0) return toQString(entry.email());
      return toQString(entry.subItem(static_cast<std::size_t>(index.column()) - 1));
    case Qt::DecorationRole:
      if (index.column() != 0) return {};
      return entryDecoration(entry.checkState == 1, resultIconName(entry));
    default:
      return {};
  }
}

QVariant RecipientModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
  if (section < 0 || static_cast<std::size_t>(section) >= list_.columnCount()) return {};
  return toQString(list_.columns()[static_cast<std::size_t>(section)].caption);
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
