// Export of a recipient list as comma-separated values: UTF-8, one header row
// of the column captions ("Email", "Result", then the extra columns) and a
// last caption "Verdict", then one row per entry in list order, lines ended by
// CR LF.
//
// Owns nothing. Runs on the caller's thread (the event-loop thread).
//
// Guarantees:
// - A cell holding a comma, a double quote, CR or LF is enclosed in double
//   quotes with its quotes doubled; other cells are written as they are.
// - A cell that a spreadsheet would run as a formula (first character "=",
//   "+", "-", "@", tab or CR) is written with a leading "'".
// - Every row has one cell per column; an entry with fewer sub-items than the
//   list has columns gets empty cells.
// - After the list's own columns come "Verdict", the verdict its stored
//   result text carries ("valid", "invalid", "catch-all", "unknown"; empty
//   for an entry without a result), so an exported list can be cleaned
//   without reading the messages; then "Flags" (disposable, role, free,
//   extracted, comma-separated), "Suggestion" (a likely correction of a
//   mistyped domain) and "Checked address" (the address cut out of the
//   entry), as the filter's notes give them (empty without).
//
// The run report is exported the same way (same quoting and guard), as
// sections separated by an empty line, each a header row and its rows: the
// verdicts ("Verdict", "Addresses", "Percent"; then "no result"), the run's
// time when known ("Seconds", "Addresses", "Addresses per second"), the flags
// when their counts are complete ("Flag", "Addresses", "Percent" of all
// addresses: disposable, role, free, extracted, typo suggestion), the causes
// of invalid and of unknown ("Cause of invalid", "Addresses", "Percent"), and
// the domains ("Domain", "Addresses", then one count per verdict and "No
// result"), most frequent first.
#pragma once

#include <array>
#include <functional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <string_view>

#include "core/AddressInsight.h"
#include "core/RecipientList.h"
#include "core/Verdict.h"

namespace orvane {
class RunReport;
}  // namespace orvane

namespace orvane::import {

class ExportError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Appends one cell, guarded and quoted, to `out`.
void appendCsvCell(std::string_view text, std::string& out);
// Appends what is said of an address beside its verdict as three cells, each
// after a comma: its flags, the suggested correction and the address checked.
void appendNoteCells(AddressFlags flags, std::string_view suggestion, std::string_view checked,
                     std::string& out);

// Which entries an export writes, by the verdict of their result text
// (Verdict::None: never validated). All of them by default.
struct ExportFilter {
  std::array<bool, 5> include{true, true, true, true, true};  // indexed by Verdict
  bool wants(Verdict verdict) const { return include[static_cast<std::size_t>(verdict)]; }
  // What is said of an entry beside its verdict; entries with a flag in
  // `exclude` are left out.
  std::function<EntryNotes(const Entry& entry)> notes;
  AddressFlags exclude;
};

void writeCsv(const RecipientList& list, std::ostream& out, const ExportFilter& filter = {});
std::string exportCsv(const RecipientList& list, const ExportFilter& filter = {});
// Writes to a temporary file next to `path` and renames it over `path`, so a
// failure leaves an existing file intact. Throws ExportError.
void exportCsvFile(const RecipientList& list, const std::string& path,
                   const ExportFilter& filter = {});

// The report with its `top` most frequent causes and domains of each kind.
std::string runReportCsv(const RunReport& report, std::size_t top);
// All of the report's causes and domains, written like exportCsvFile.
void exportRunReportCsvFile(const RunReport& report, const std::string& path);

}  // namespace orvane::import
