// The import of a recipient list from a text, comma-separated or dBase III file
// into a RecipientList: what the import dialog and `orvane-cli import` drive.
//
// Owns the open source (the decoded text file or the table) from construction
// to destruction. Runs on the caller's thread (the event-loop thread); run()
// blocks it for the length of the import but calls the progress callback once
// per row, which is where a window processes its pending events and where a
// click on "Cancel" calls cancel().
//
// Usage: construct with the path (the source is opened, its field names read,
// the e-mail field detected and the progress maximum counted), adjust the
// choices, then run() on the list.
//
// Guarantees:
// - Every row becomes an entry appended at the end of the list: checked, not
//   validated, empty result text, a log holding the single line "-999"; no
//   address check, no duplicate removal. Blank text lines are skipped.
// - cancel() stops the import before the next row; rows already added stay.
//   A failure while reading rows (a damaged table) keeps the rows read before
//   it, ends the list's update bracket and is then thrown.
// - The list never grows beyond 255 columns through an import: a field that
//   would need a column past that limit is not imported.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "import/TextImport.h"
#include "import/TzDbf.h"

namespace orvane {

class RecipientList;

// The "-999" line that seeds the log of every imported entry.
inline constexpr std::string_view kImportedLogLine = "-999";

class Importer final {
 public:
  static constexpr std::size_t kMaxColumns = 255;
  static constexpr std::int32_t kNewColumnWidth = 120;

  // Opens the source. Throws ImportError (text file cannot be read) or
  // EDbfError (table refused).
  explicit Importer(const std::string& path);
  ~Importer();
  Importer(const Importer&) = delete;
  Importer& operator=(const Importer&) = delete;

  SourceKind kind() const { return kind_; }
  const std::string& path() const { return path_; }
  // The items offered for the e-mail field: the first line's fields of a text
  // file (header or data), or the table's field names.
  const std::vector<std::string>& fieldNames() const { return fieldNames_; }
  // Rows the progress callback will count up to: the text's lines or the
  // table's record count (deleted records included).
  std::uint64_t progressMaximum() const { return progressMaximum_; }

  std::size_t emailField() const { return emailField_; }
  // Throws std::out_of_range for an index past the field names.
  void setEmailField(std::size_t index);
  // A field name (case-insensitive, as a whole) or a 1-based field number.
  // Returns false, changing nothing, when neither fits.
  bool selectEmailField(std::string_view nameOrNumber);

  // Whether the first text line is a header (dropped) or data. No effect on tables.
  FirstLine firstLine() const { return firstLine_; }
  void setFirstLine(FirstLine firstLine) { firstLine_ = firstLine; }

  // Replace clears the list (entries and extra columns) before importing.
  bool replace() const { return replace_; }
  void setReplace(bool replace) { replace_ = replace; }

  // Called once per row with the row's step number (1, 2, ...), before the row is read.
  using ProgressFn = std::function<void(std::uint64_t step)>;
  void setProgress(ProgressFn progress) { progress_ = std::move(progress); }

  // Stops the running import before its next row.
  void cancel() { idle_ = true; }
  bool running() const { return !idle_; }
  bool cancelled() const { return cancelled_; }

  // Imports every row into `list`; returns the number of entries added.
  std::size_t run(RecipientList& list);

 private:
  std::vector<int> buildColumnMap(RecipientList& list) const;
  std::size_t runText(RecipientList& list, const std::vector<int>& map);
  std::size_t runTable(RecipientList& list, const std::vector<int>& map);

  SourceKind kind_;
  std::string path_;
  std::vector<std::string> fieldNames_;
  std::uint64_t progressMaximum_ = 0;
  std::size_t emailField_ = 0;
  FirstLine firstLine_ = FirstLine::Data;
  bool replace_ = false;
  ProgressFn progress_;
  bool idle_ = true;
  bool cancelled_ = false;
  TextFile text_;
  std::unique_ptr<TTzDbf> table_;
};

}  // namespace orvane
