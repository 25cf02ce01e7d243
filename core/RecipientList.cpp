#include "core/RecipientList.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "core/Codepage.h"
#include "core/Verdict.h"

namespace orvane {
namespace {

std::uint32_t readU32(const std::string& s, std::size_t at) {
  std::uint32_t v;
  std::memcpy(&v, s.data() + at, 4);
  return v;
}

void appendU32(std::string& s, std::uint32_t v) {
  char b[4];
  std::memcpy(b, &v, 4);
  s.append(b, 4);
}

// Builds the packed layout from a list of field views.
std::string pack(std::span<const std::string_view> fields) {
  std::size_t bytes = 0;
  for (auto f : fields) bytes += f.size();
  std::string out;
  out.reserve(4 + 4 * (fields.size() + 1) + bytes);
  appendU32(out, static_cast<std::uint32_t>(fields.size()));
  std::uint32_t off = 0;
  for (auto f : fields) {
    appendU32(out, off);
    off += static_cast<std::uint32_t>(f.size());
  }
  appendU32(out, off);
  for (auto f : fields) out.append(f);
  return out;
}

std::uint32_t steadyTicks() {
  using namespace std::chrono;
  return static_cast<std::uint32_t>(
      duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

}  // namespace

// ---------------------------------------------------------------- Entry

Entry::Entry() {
  const std::string_view f[2] = {{}, {}};
  packed_ = pack(f);
}

Entry::Entry(std::string_view email, std::span<const std::string> subItems) {
  setTexts(email, subItems);
}

Entry::Entry(std::span<const std::string_view> fields) {
  if (fields.size() >= 2) {
    packed_ = pack(fields);
  } else {
    const std::string_view f[2] = {fields.empty() ? std::string_view() : fields[0], {}};
    packed_ = pack(f);
  }
}

Entry::Entry(const Entry& other)
    : checkState(other.checkState),
      resultState(other.resultState),
      overlayIndex(other.overlayIndex),
      packed_(other.packed_),
      log_(other.log_ ? std::make_unique<TransactionLog>(*other.log_) : nullptr) {}

Entry& Entry::operator=(const Entry& other) {
  if (this != &other) {
    Entry copy(other);
    *this = std::move(copy);
  }
  return *this;
}

void Entry::setTexts(std::string_view email, std::span<const std::string> subItems) {
  std::vector<std::string_view> f;
  f.reserve(subItems.size() + 2);
  f.push_back(email);
  for (const auto& s : subItems) f.emplace_back(s);
  if (f.size() < 2) f.emplace_back();  // every entry has a result text
  packed_ = pack(f);
}

std::size_t Entry::fieldCount() const {
  return readU32(packed_, 0);
}

std::string_view Entry::field(std::size_t i) const {
  const std::size_t n = fieldCount();
  if (i >= n) return {};
  const std::size_t base = 4 + 4 * (n + 1);
  const std::uint32_t b = readU32(packed_, 4 + 4 * i);
  const std::uint32_t e = readU32(packed_, 4 + 4 * (i + 1));
  return std::string_view(packed_).substr(base + b, e - b);
}

void Entry::setField(std::size_t i, std::string_view text) {
  const std::size_t n = fieldCount();
  std::vector<std::string> copies;  // the views below point into packed_
  copies.reserve(std::max(n, i + 1));
  for (std::size_t k = 0; k < n; ++k) copies.emplace_back(field(k));
  if (copies.size() <= i) copies.resize(i + 1);
  copies[i] = std::string(text);
  std::vector<std::string_view> views(copies.begin(), copies.end());
  packed_ = pack(views);
}

std::vector<std::string> Entry::subItems() const {
  std::vector<std::string> out;
  out.reserve(subItemCount());
  for (std::size_t i = 0; i < subItemCount(); ++i) out.emplace_back(subItem(i));
  return out;
}

const TransactionLog& Entry::log() const {
  static const TransactionLog kEmpty;
  return log_ ? *log_ : kEmpty;
}

void Entry::setLog(TransactionLog log) {
  if (log.empty()) {
    log_.reset();
  } else {
    log_ = std::make_unique<TransactionLog>(std::move(log));
  }
}

std::size_t Entry::heapBytes() const {
  std::size_t bytes = packed_.capacity() > 15 ? packed_.capacity() + 1 : 0;
  if (log_) {
    bytes += sizeof(TransactionLog) + log_->capacity() * sizeof(std::string);
    for (const auto& l : *log_) bytes += l.capacity() > 15 ? l.capacity() + 1 : 0;
  }
  return bytes;
}

// ---------------------------------------------------------------- RecipientList

RecipientList::RecipientList()
    : columns_(defaultColumns()), clock_(steadyTicks), timeFormatter_(defaultTimeFormat) {
  resetStatus();
}

std::vector<Column> RecipientList::defaultColumns() {
  return {Column{"Email", 120}, Column{"Result", 290}};
}

void RecipientList::addColumn(Column column) {
  notify([](auto& o) { o.listAboutToBeReset(); });
  columns_.push_back(std::move(column));
  const std::size_t wanted = columns_.size() - 1;
  for (auto& e : entries_) {
    if (e.subItemCount() < wanted) e.setSubItem(wanted - 1, {});
  }
  notify([](auto& o) { o.listReset(); });
  setModified(true);
}

void RecipientList::setColumnWidth(std::size_t index, std::int32_t width) {
  if (index < columns_.size()) columns_[index].width = width;
}

std::size_t RecipientList::addEntry(std::string_view email, std::span<const std::string> extra,
                                    std::optional<std::size_t> selected) {
  const std::size_t subCount = columns_.size() > 1 ? columns_.size() - 1 : 1;
  std::vector<std::string> subs(subCount);
  for (std::size_t c = 2; c < columns_.size() && c - 2 < extra.size(); ++c) {
    subs[c - 1] = std::string(trimBlanks(extra[c - 2]));
  }
  Entry e(trimBlanks(email), subs);
  const std::size_t at = selected && *selected < entries_.size() ? *selected : entries_.size();
  notify([&](auto& o) { o.entriesAboutToBeInserted(at, 1); });
  entries_.insert(entries_.begin() + static_cast<std::ptrdiff_t>(at), std::move(e));
  notify([&](auto& o) { o.entriesInserted(at, 1); });
  setModified(true);
  return at;
}

void RecipientList::editEntry(std::size_t index, std::string_view email,
                              std::span<const std::string> extra) {
  Entry& e = entries_.at(index);
  std::vector<std::string> subs = e.subItems();
  for (std::size_t c = 2; c < columns_.size(); ++c) {
    if (subs.size() < c) subs.resize(c);
    subs[c - 1] = c - 2 < extra.size() ? std::string(trimBlanks(extra[c - 2])) : std::string();
  }
  e.setTexts(trimBlanks(email), subs);
  notify([&](auto& o) { o.entriesChanged(index, index); });
  setModified(true);
}

void RecipientList::deleteEntry(std::size_t index) {
  if (index >= entries_.size()) return;
  notify([&](auto& o) { o.entriesAboutToBeRemoved(index, 1); });
  entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(index));
  notify([&](auto& o) { o.entriesRemoved(index, 1); });
  setModified(true);
}

void RecipientList::deleteAllChecked() {
  beginUpdate();
  notify([](auto& o) { o.listAboutToBeReset(); });
  std::erase_if(entries_, [](const Entry& e) { return e.checkState == 1; });
  notify([](auto& o) { o.listReset(); });
  endUpdate();
  setModified(true);
}

void RecipientList::changedAll() {
  if (!entries_.empty()) notify([&](auto& o) { o.entriesChanged(0, entries_.size() - 1); });
}

void RecipientList::checkAll() {
  beginUpdate();
  for (auto& e : entries_) e.checkState = 1;
  changedAll();
  endUpdate();
  setModified(true);
}

void RecipientList::uncheckAll() {
  beginUpdate();
  for (auto& e : entries_) e.checkState = 0;
  changedAll();
  endUpdate();
  setModified(true);
}

void RecipientList::invertChecks() {
  beginUpdate();
  for (auto& e : entries_) e.checkState = e.checkState == 1 ? 0 : 1;
  changedAll();
  endUpdate();
  setModified(true);
}

void RecipientList::toggleCheck(std::size_t index) {
  Entry& e = entries_.at(index);
  setCheckState(index, e.checkState == 1 ? 0 : 1);
}

void RecipientList::setCheckState(std::size_t index, std::int32_t state) {
  entries_.at(index).checkState = state;
  notify([&](auto& o) { o.entriesChanged(index, index); });
  setModified(true);
}

void RecipientList::clear() {
  notify([](auto& o) { o.listAboutToBeReset(); });
  entries_.clear();
  entries_.shrink_to_fit();
  columns_ = defaultColumns();
  notify([](auto& o) { o.listReset(); });
  setModified(true);
}

bool RecipientList::entryMatches(std::size_t index, std::string_view text, bool matchCase) const {
  const Entry& e = entries_.at(index);
  const std::string needle = matchCase ? std::string(text) : toUpperUtf8(text);
  auto hit = [&](std::string_view hay) {
    if (matchCase) return hay.find(needle) != std::string_view::npos;
    return toUpperUtf8(hay).find(needle) != std::string::npos;
  };
  if (hit(e.email())) return true;
  for (std::size_t i = 1; i < e.subItemCount(); ++i) {
    if (hit(e.subItem(i))) return true;
  }
  return false;
}

void RecipientList::appendEntries(std::vector<Entry>&& entries) {
  if (entries.empty()) return;
  const std::size_t first = entries_.size();
  notify([&](auto& o) { o.entriesAboutToBeInserted(first, entries.size()); });
  entries_.insert(entries_.end(), std::make_move_iterator(entries.begin()),
                  std::make_move_iterator(entries.end()));
  notify([&](auto& o) { o.entriesInserted(first, entries.size()); });
  setModified(true);
}

void RecipientList::replaceAll(std::vector<Column> columns, std::vector<Entry> entries) {
  notify([](auto& o) { o.listAboutToBeReset(); });
  if (!columns.empty()) columns_ = std::move(columns);
  entries_ = std::move(entries);
  for (auto& e : entries_) e.clearLog();
  notify([](auto& o) { o.listReset(); });
}

void RecipientList::beginUpdate() {
  if (updateDepth_++ == 0) notify([](auto& o) { o.batchBegun(); });
}

void RecipientList::endUpdate() {
  if (updateDepth_ == 0) return;
  if (--updateDepth_ == 0) notify([](auto& o) { o.batchEnded(); });
}

void RecipientList::runStarted() {
  counters_ = RunCounters{clock_(), 0, 0, 0, 0};
  refreshStatus();
}

void RecipientList::entryTakenForChecking(std::size_t index) {
  Entry& e = entries_.at(index);
  e.resultState = kChecking;
  e.setResultText(kCheckingText);
  notify([&](auto& o) { o.entriesChanged(index, index); });
  notify([&](auto& o) { o.entryShown(index); });
  ++counters_.waiting;
  refreshStatus();
}

void RecipientList::entryValidationEnded(std::size_t index, std::int32_t code,
                                         std::string_view message, TransactionLog log) {
  setModified(true);
  Entry& e = entries_.at(index);
  e.setLog(std::move(log));
  if (code != 0) {
    e.resultState = kBad;
  } else {
    e.resultState = kGood;
    e.checkState = 0;
    if (message.empty()) message = kValidText;
  }
  const std::string text = resultText(code, message);
  e.setResultText(text);
  switch (verdictOfResultText(text)) {
    case Verdict::Valid:
    case Verdict::CatchAll:
      ++counters_.good;
      break;
    case Verdict::Invalid:
      ++counters_.bad;
      break;
    default:
      ++counters_.unknown;
      break;
  }
  notify([&](auto& o) { o.entriesChanged(index, index); });
  notify([&](auto& o) { o.entryShown(index); });
  --counters_.waiting;
  refreshStatus();
}

void RecipientList::entryWaiting(std::size_t index, std::string_view text) {
  entries_.at(index).setResultText(text);
  notify([&](auto& o) { o.entriesChanged(index, index); });
}

void RecipientList::runFinished() {
  refreshStatus();
}

std::string RecipientList::defaultTimeFormat(int secondsOfDay) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%d:%02d:%02d", secondsOfDay / 3600, (secondsOfDay / 60) % 60,
                secondsOfDay % 60);
  return buf;
}

void RecipientList::refreshStatus() {
  const std::uint32_t elapsedMs = clock_() - counters_.startTime;  // wraps like the tick count
  const int secondsOfDay = static_cast<int>((elapsedMs / 1000) % 86400);
  status_[0] = "Elapsed: " + timeFormatter_(secondsOfDay);
  status_[1] = "Total: " + std::to_string(entries_.size());
  status_[2] = "Waiting: " + std::to_string(counters_.waiting);
  status_[3] = "Good: " + std::to_string(counters_.good);
  status_[4] = "Bad: " + std::to_string(counters_.bad);
  status_[5] = "Unknown: " + std::to_string(counters_.unknown);
  notify([](auto& o) { o.statusChanged(); });
}

void RecipientList::resetStatus() {
  status_ = {"Elapsed:", "Total:", "Waiting:", "Good:", "Bad:", "Unknown:"};
  notify([](auto& o) { o.statusChanged(); });
}

void RecipientList::setModified(bool modified) {
  if (modified_ == modified) return;
  modified_ = modified;
  notify([&](auto& o) { o.modifiedChanged(modified); });
}

void RecipientList::addObserver(RecipientListObserver* observer) {
  if (std::find(observers_.begin(), observers_.end(), observer) == observers_.end())
    observers_.push_back(observer);
}

void RecipientList::removeObserver(RecipientListObserver* observer) {
  std::erase(observers_, observer);
}

}  // namespace orvane
