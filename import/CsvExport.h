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
// - The last cell of a row is the verdict its stored result text carries
//   ("valid", "invalid", "catch-all", "unknown"; empty for an entry without a
//   result), so an exported list can be cleaned without reading the messages.
#pragma once

#include <ostream>
#include <stdexcept>
#include <string>
#include <string_view>

namespace orvane {

class RecipientList;

class ExportError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Appends one cell, guarded and quoted, to `out`.
void appendCsvCell(std::string_view text, std::string& out);

void writeCsv(const RecipientList& list, std::ostream& out);
std::string exportCsv(const RecipientList& list);
// Writes to a temporary file next to `path` and renames it over `path`, so a
// failure leaves an existing file intact. Throws ExportError.
void exportCsvFile(const RecipientList& list, const std::string& path);

}  // namespace orvane
