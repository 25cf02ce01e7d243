// The recipient list: the ordered columns and the ordered recipient entries of
// a project, the run counters and the status bar texts derived from them.
//
// Owns its entries (and each entry its transaction log) and its columns; there
// is no second copy anywhere: a view reads the list through `entry()` and
// follows it through RecipientListObserver. Used on the one event-loop thread
// only; nothing here locks.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/Text.h"

namespace orvane {

using TransactionLog = std::vector<std::string>;

struct Column {
  std::string caption;
  std::int32_t width = 50;
  bool operator==(const Column&) const = default;
};

// Result states of an entry.
enum ResultState : std::int32_t {
  kNotValidated = -1,
  kGood = 0,
  kBad = 1,
  kChecking = 2,
};

inline constexpr std::string_view kCheckingText = "Checking...";
inline constexpr std::string_view kValidText = "Valid E-mail Address!";

// One recipient. The texts (e-mail and sub-items) are packed into a single
// buffer so that a list of millions stays small; accessors hand out views that
// stay valid until the entry is next changed.
class Entry {
 public:
  Entry();
  Entry(std::string_view email, std::span<const std::string> subItems);
  // From views of all texts at once: fields[0] is the e-mail, the rest are the
  // sub-items in order (a missing result text is added empty). One allocation.
  explicit Entry(std::span<const std::string_view> fields);
  Entry(const Entry& other);
  Entry& operator=(const Entry& other);
  Entry(Entry&&) noexcept = default;
  Entry& operator=(Entry&&) noexcept = default;
  ~Entry() = default;

  std::string_view email() const { return field(0); }
  // Sub-item 0 is the result text; sub-item k (k >= 1) the value of column k+1.
  std::size_t subItemCount() const { return fieldCount() - 1; }
  std::string_view subItem(std::size_t i) const { return field(i + 1); }
  std::string_view resultText() const { return field(1); }
  std::vector<std::string> subItems() const;

  void setEmail(std::string_view email) { setField(0, email); }
  // Sets sub-item i, appending empty sub-items first where the entry has fewer.
  void setSubItem(std::size_t i, std::string_view text) { setField(i + 1, text); }
  void setResultText(std::string_view text) { setField(1, text); }
  void setTexts(std::string_view email, std::span<const std::string> subItems);

  std::int32_t checkState = 1;
  std::int32_t resultState = kNotValidated;
  std::int32_t overlayIndex = -1;

  const TransactionLog& log() const;
  void setLog(TransactionLog log);
  void clearLog() { log_.reset(); }

  // Heap bytes this entry holds beyond sizeof(Entry) (for memory accounting).
  std::size_t heapBytes() const;

 private:
  std::size_t fieldCount() const;
  std::string_view field(std::size_t i) const;
  void setField(std::size_t i, std::string_view text);

  // Layout: uint32 n, uint32 offsets[n + 1], then the bytes of the n fields.
  // Field 0 is the e-mail, field 1 the result text, and so on. Always n >= 2.
  std::string packed_;
  std::unique_ptr<TransactionLog> log_;  // null while empty
};

// Receives the list's change notifications, in the order a Qt item model needs
// them ("about to" before the change, the plain one after it).
class RecipientListObserver {
 public:
  virtual ~RecipientListObserver() = default;
  virtual void entriesAboutToBeInserted(std::size_t /*first*/, std::size_t /*count*/) {}
  virtual void entriesInserted(std::size_t /*first*/, std::size_t /*count*/) {}
  virtual void entriesAboutToBeRemoved(std::size_t /*first*/, std::size_t /*count*/) {}
  virtual void entriesRemoved(std::size_t /*first*/, std::size_t /*count*/) {}
  // Entries first..last (inclusive) changed in place.
  virtual void entriesChanged(std::size_t /*first*/, std::size_t /*last*/) {}
  // The whole list (columns and/or entries) is about to be / was replaced.
  virtual void listAboutToBeReset() {}
  virtual void listReset() {}
  // The outermost begin update / end update.
  virtual void batchBegun() {}
  virtual void batchEnded() {}
  // The entry should be scrolled into view.
  virtual void entryShown(std::size_t /*index*/) {}
  virtual void modifiedChanged(bool /*modified*/) {}
  virtual void statusChanged() {}
};

// Entries handed to the engine whose result is outstanding, and the tallies of
// the current (or last) run. Never saved.
// Good counts the valid and catch-all verdicts, bad the invalid ones, unknown
// the results that prove nothing either way (see core/Verdict.h).
struct RunCounters {
  std::uint32_t startTime = 0;  // tick count in milliseconds
  std::int32_t waiting = 0;
  std::int32_t good = 0;
  std::int32_t bad = 0;
  std::int32_t unknown = 0;
};

class RecipientList {
 public:
  using Clock = std::function<std::uint32_t()>;           // milliseconds, wraps
  using TimeFormatter = std::function<std::string(int)>;  // seconds of the day -> text

  RecipientList();
  RecipientList(const RecipientList&) = delete;
  RecipientList& operator=(const RecipientList&) = delete;

  // --- columns ---
  static std::vector<Column> defaultColumns();  // "Email" 120, "Result" 290
  const std::vector<Column>& columns() const { return columns_; }
  std::size_t columnCount() const { return columns_.size(); }
  // Appends a column; every entry gets an empty sub-item for it.
  void addColumn(Column column);
  // The width the user gave a column in the view (saved with the project; not
  // a change of the project's contents, so the modified flag stays).
  void setColumnWidth(std::size_t index, std::int32_t width);

  // --- entries ---
  std::size_t count() const { return entries_.size(); }
  const Entry& entry(std::size_t index) const { return entries_[index]; }
  const std::vector<Entry>& entries() const { return entries_; }

  // Creates a checked, not validated entry with an empty log and one sub-item
  // per column after the first, stores the trimmed values (e-mail and columns
  // 2 and later), and inserts it before `selected` (appends without one).
  // Returns the new entry's index (the new selection).
  std::size_t addEntry(std::string_view email, std::span<const std::string> extra,
                       std::optional<std::size_t> selected = std::nullopt);
  // e-mail := trimmed value; for each column c >= 2, sub-item c-1 := trimmed value.
  void editEntry(std::size_t index, std::string_view email, std::span<const std::string> extra);
  void deleteEntry(std::size_t index);
  void deleteAllChecked();
  void checkAll();
  void uncheckAll();
  void invertChecks();
  void toggleCheck(std::size_t index);
  void setCheckState(std::size_t index, std::int32_t state);
  // Removes every entry and resets the columns to the two defaults.
  void clear();
  bool entryMatches(std::size_t index, std::string_view text, bool matchCase) const;

  // Appends prepared entries (the import); one notification, sets modified.
  void appendEntries(std::vector<Entry>&& entries);
  // Room for `count` entries in all, so that a long import appends without
  // moving the whole list again and again.
  void reserve(std::size_t count) { entries_.reserve(count); }
  // Replaces columns and entries wholesale (a load). Columns are kept when
  // `columns` is empty. Every entry starts with an empty log. Does not touch
  // the modified flag.
  void replaceAll(std::vector<Column> columns, std::vector<Entry> entries);

  // Nesting batch brackets; observers hear only the outermost pair.
  void beginUpdate();
  void endUpdate();
  bool updating() const { return updateDepth_ > 0; }

  // --- the engine's notifications ---
  void runStarted();
  void entryTakenForChecking(std::size_t index);
  // `message` is the result's message (empty with code 0: kValidText). The
  // result text becomes "[code] message"; the verdict it carries decides
  // which counter grows.
  void entryValidationEnded(std::size_t index, std::int32_t code, std::string_view message,
                            TransactionLog log);
  // The entry in hand waits to be tried again: its result text says so
  // (`text`), it stays being checked and waiting.
  void entryWaiting(std::size_t index, std::string_view text);
  void runFinished();  // refreshes the status bar

  // --- counters and status bar ---
  const RunCounters& counters() const { return counters_; }
  // The panel texts as last written by a refresh or a reset: elapsed, total,
  // waiting, good, bad, unknown.
  static constexpr std::size_t kStatusPanels = 6;
  const std::array<std::string, kStatusPanels>& statusTexts() const { return status_; }
  void refreshStatus();
  void resetStatus();  // the bare captions
  void setClock(Clock clock) { clock_ = std::move(clock); }
  void setTimeFormatter(TimeFormatter formatter) { timeFormatter_ = std::move(formatter); }
  static std::string defaultTimeFormat(int secondsOfDay);  // "H:MM:SS"

  // --- modified flag ---
  bool modified() const { return modified_; }
  void setModified(bool modified);

  void addObserver(RecipientListObserver* observer);
  void removeObserver(RecipientListObserver* observer);

 private:
  template <typename F>
  void notify(F&& f) {
    for (auto* o : observers_) f(*o);
  }
  void changedAll();

  std::vector<Column> columns_;
  std::vector<Entry> entries_;
  RunCounters counters_;
  std::array<std::string, kStatusPanels> status_;
  Clock clock_;
  TimeFormatter timeFormatter_;
  bool modified_ = false;
  int updateDepth_ = 0;
  std::vector<RecipientListObserver*> observers_;
};

}  // namespace orvane
