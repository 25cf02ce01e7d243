// The outcome of a validation run as a list cleaner reads it: how many
// addresses got each verdict (with their share), the most frequent causes of
// "unknown" and of "invalid", the domains with the most addresses and their
// verdict split, and the run's time and pace.
//
// RunReport is fed result by result (add) and can take a result back
// (remove), so a view can follow a list whose results change. ListReport keeps
// one in step with the rows of a RecipientList: built in one pass, then
// refreshed, grown and shrunk by row ranges. formatRunReport writes the
// numbers as plain text for the end of a command-line run.
//
// Causes are grouped by the result message with the address replaced by
// "<address>", so one server's "<bob@x> unknown" and "<ann@x> unknown" fall
// together. Domains are grouped case-insensitively (ASCII letters); an
// address without "@" falls under the empty domain, shown as "(no domain)".
//
// Beside the verdicts the report counts each flag (disposable, role, free,
// extracted) and the suggested corrections, as the caller works them out.
// ListReport counts a list's rows without them first, so that the report is
// there after one quick pass, and catches up on them in slices
// (countNotes) when given a way to work them out (setNotesOf).
//
// Guarantees: add and remove are O(length of the texts) on average; memory
// grows with the distinct domains and causes, not with the results;
// ListReport holds 12 bytes per row besides. Owns everything it holds; no Qt.
// One thread at a time (the event-loop thread in the programs).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/AddressFlags.h"
#include "core/Verdict.h"

namespace orvane {

class RecipientList;

inline constexpr std::string_view kNoDomain = "(no domain)";
inline constexpr std::string_view kAddressPlaceholder = "<address>";

// What the report counts of an address besides its verdict.
struct ReportNotes {
  AddressFlags flags;
  bool suggested = false;  // a correction of its domain was suggested
};

class RunReport {
 public:
  // Count slots: the four verdicts in report order, then the addresses
  // without a result.
  static constexpr std::size_t kValid = 0;
  static constexpr std::size_t kInvalid = 1;
  static constexpr std::size_t kCatchAll = 2;
  static constexpr std::size_t kUnknown = 3;
  static constexpr std::size_t kPending = 4;
  static constexpr std::size_t kSlots = 5;
  using Counts = std::array<std::uint64_t, kSlots>;
  // The verdicts in report order (slots 0 to 3).
  static constexpr std::array<Verdict, 4> kVerdicts = {Verdict::Valid, Verdict::Invalid,
                                                       Verdict::CatchAll, Verdict::Unknown};
  static std::size_t slotOf(Verdict verdict);

  using Notes = ReportNotes;

  // What add() counted for one address; remove() takes exactly that back.
  struct Mark {
    static constexpr std::uint32_t kNone = UINT32_MAX;
    static constexpr std::uint8_t kSuggested = 0x10;
    std::uint32_t domain = kNone;
    std::uint32_t cause = kNone;
    Verdict verdict = Verdict::None;
    std::uint8_t notes = 0;  // the flags' bits, kSuggested
  };

  struct Cause {
    std::string message;
    std::uint64_t count = 0;
  };
  struct Domain {
    std::string name;  // kNoDomain for addresses without "@"
    Counts counts{};
    std::uint64_t total = 0;  // every address of the domain, with or without a result
  };

  // Counts one address: its verdict (Verdict::None: no result yet), the
  // result's message (the cause, for invalid and unknown) and the address.
  Mark add(Verdict verdict, std::string_view message, std::string_view address, Notes notes = {});
  void remove(const Mark& mark);
  void clear();

  // Addresses with `flag`, and those with a suggested correction.
  std::uint64_t flagCount(AddressFlag flag) const;
  std::uint64_t suggestions() const { return suggestions_; }
  // True once every address counted has had its notes counted too (the
  // flag counts are complete); set by whoever feeds the report.
  bool notesCounted() const { return notesCounted_; }
  void setNotesCounted(bool counted) { notesCounted_ = counted; }

  std::uint64_t count(std::size_t slot) const { return counts_[slot]; }
  std::uint64_t count(Verdict verdict) const { return counts_[slotOf(verdict)]; }
  const Counts& counts() const { return counts_; }
  // Addresses with one of the four verdicts.
  std::uint64_t results() const;
  // Share of the results in percent (0 without results).
  double percent(Verdict verdict) const;

  // The `n` most frequent causes of `verdict` (Invalid or Unknown), most
  // frequent first, ties in text order; causes no longer counted are left out.
  std::vector<Cause> topCauses(Verdict verdict, std::size_t n) const;
  // The `n` domains with the most addresses, ties in name order.
  std::vector<Domain> topDomains(std::size_t n) const;
  std::size_t domainCount() const;

  // The run's duration and the addresses it validated in that time.
  void setTiming(double seconds, std::uint64_t addresses);
  bool timed() const { return timed_; }
  double seconds() const { return seconds_; }
  std::uint64_t timedAddresses() const { return timedAddresses_; }
  // Addresses per second (0 for a run shorter than a millisecond).
  double addressesPerSecond() const;

 private:
  struct Hash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
  };
  // Interned texts: the map's keys view the deque's strings, which never
  // move; a copy views its own.
  struct Interned {
    Interned() = default;
    Interned(const Interned& other);
    Interned& operator=(const Interned& other);
    Interned(Interned&&) = default;
    Interned& operator=(Interned&&) = default;
    ~Interned() = default;

    std::deque<std::string> names;
    std::unordered_map<std::string_view, std::uint32_t, Hash, std::equal_to<>> ids;
    std::uint32_t id(std::string_view text);
  };

  Counts counts_{};
  std::array<std::uint64_t, 4> flagCounts_{};  // in the order of kAddressFlags
  std::uint64_t suggestions_ = 0;
  bool notesCounted_ = false;
  Interned domains_;
  std::vector<Counts> domainCounts_;
  Interned causes_;
  std::vector<std::array<std::uint64_t, 2>> causeCounts_;  // invalid, unknown
  bool timed_ = false;
  double seconds_ = 0;
  std::uint64_t timedAddresses_ = 0;
};

// `message` with every occurrence of `address` (letter case ignored), with
// the angle brackets around it if any, replaced by kAddressPlaceholder.
std::string causeOf(std::string_view message, std::string_view address);
// The part of `address` after its last "@", ASCII letters in lower case; empty
// without "@".
std::string domainOf(std::string_view address);

// A RunReport over the rows of a RecipientList: an entry counts with the
// verdict of its result text while its result state is good or bad, and as
// "no result yet" otherwise (never validated, or being checked).
class ListReport {
 public:
  // The notes of row `row` of the list.
  using NotesOf = std::function<RunReport::Notes(std::size_t row)>;

  // Rows are counted with their notes from the next rebuild on: each row
  // once countNotes reaches it, rows that change or come in before its
  // cursor at once. Empty: no notes (the flag counts stay 0).
  void setNotesOf(NotesOf notesOf);
  // Counts the notes of up to `rows` more rows; true when every row's are
  // counted (report().notesCounted()).
  bool countNotes(const RecipientList& list, std::size_t rows);

  // Counts rows [0, rows) of `list` afresh (their notes: see countNotes).
  void rebuild(const RecipientList& list, std::size_t rows);
  // Rows first..last (inclusive) changed in place.
  void refresh(const RecipientList& list, std::size_t first, std::size_t last);
  // `count` rows were inserted at `first`.
  void insert(const RecipientList& list, std::size_t first, std::size_t count);
  // `count` rows at `first` were removed.
  void erase(std::size_t first, std::size_t count);

  std::size_t rows() const { return marks_.size(); }
  const RunReport& report() const { return report_; }
  RunReport& report() { return report_; }

 private:
  // Counts row `row`, with its notes when it lies before the cursor.
  RunReport::Mark add(const RecipientList& list, std::size_t row);
  void updateNotesCounted();

  RunReport report_;
  std::vector<RunReport::Mark> marks_;
  NotesOf notesOf_;
  std::size_t noted_ = 0;  // rows [0, noted_) are counted with their notes
};

// The report as plain text, for the end of a command-line run: the verdict
// counts with their shares, the time and pace when timed, the `top` most
// frequent causes of invalid and of unknown, and the `top` domains with the
// most addresses. Lines end with "\n".
std::string formatRunReport(const RunReport& report, std::size_t top = 5);

}  // namespace orvane
