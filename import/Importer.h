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
// choices, look at previewRows() if wanted, then run() on the list.
//
// Choices that change how the source is read (the separator and encoding of a
// text file, the code page of a table) read the field names again and repeat
// the detection of the e-mail field and of the first line, as the constructor
// did; a caller shows fieldNames(), emailField() and firstLine() again after
// them. The other choices change nothing that was read.
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
}  // namespace orvane

namespace orvane::import {

// The "-999" line that seeds the log of every imported entry.
inline constexpr std::string_view kImportedLogLine = "-999";
// What a front end says for a source without a single row (holdsNoRows).
inline constexpr std::string_view kNoRows = "The file holds no rows";
// The end of the message for a file refused as not text; the path comes first.
inline constexpr std::string_view kNotText =
    " is not a text file (it holds NUL bytes or mostly control characters)";

class Importer final {
 public:
  static constexpr std::size_t kMaxColumns = 255;
  static constexpr std::int32_t kNewColumnWidth = 120;

  // Opens the source. Throws ImportError (text file cannot be read, or is
  // not text: "PATH" + kNotText, see looksLikeText) or EDbfError (table
  // refused).
  explicit Importer(const std::string& path);
  ~Importer();
  Importer(const Importer&) = delete;
  Importer& operator=(const Importer&) = delete;

  SourceKind kind() const { return kind_; }
  const std::string& path() const { return path_; }
  // The items offered for the e-mail field: the first line's fields of a text
  // file (header or data), or the table's field names.
  const std::vector<std::string>& fieldNames() const { return fieldNames_; }
  // Rows the progress callback will count up to: the text's records (blank
  // ones and a header included; a record may span lines inside quotes) or the
  // table's record count (deleted records included). The steps of run() never
  // pass it.
  std::uint64_t progressMaximum() const { return progressMaximum_; }
  // True when an import could add nothing whatever the choices: a text of
  // blanks and line ends only (or nothing), a table without records.
  bool holdsNoRows() const;

  // --- text files (no effect on tables) ---
  // The separator: Comma until set. Detect uses detectedSeparator().
  Separator separator() const { return separator_; }
  void setSeparator(Separator separator);
  // What Detect finds in this file (detectSeparator); Comma for tables.
  Separator detectedSeparator() const { return detectedSeparator_; }
  // The separator in use: Comma, Semicolon or Tab, never Detect.
  Separator separatorInUse() const;
  // The encoding the text was decoded from, and the one detection found.
  TextEncoding encoding() const { return text_.encoding(); }
  TextEncoding detectedEncoding() const { return text_.detectedEncoding(); }
  // Reads the file again and decodes it in `encoding`. Throws ImportError
  // (the file can no longer be read), changing nothing.
  void setEncoding(TextEncoding encoding);

  // --- dBase tables (no effect on text files) ---
  // The code page character data is read in, and the one the table declares
  // or its text shows (see TTzDbf); Cp437 for text files.
  DbfCodePage codePage() const;
  DbfCodePage detectedCodePage() const;
  // What decided detectedCodePage() (a .cpg file, the text, the header's
  // language driver, or nothing: the default).
  DbfCodePageOrigin codePageOrigin() const;
  void setCodePage(DbfCodePage codePage);

  // The first `n` rows the import would read, each split into its fields
  // (trimmed, in source order, before any mapping to columns), with the
  // current separator, encoding, code page and first-line choice: a header
  // line and blank lines are left out as run() leaves them out. Reads no
  // further than those rows. Not while run() is running. Throws EDbfError
  // for a damaged table, like run().
  std::vector<std::vector<std::string>> previewRows(std::size_t n);

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
  // Reads the field names and the progress maximum with the current choices
  // and detects the e-mail field and the first line.
  void prepare();
  std::vector<int> buildColumnMap(RecipientList& list) const;
  std::size_t runText(RecipientList& list, const std::vector<int>& map);
  std::size_t runTable(RecipientList& list, const std::vector<int>& map);

  SourceKind kind_;
  std::string path_;
  std::vector<std::string> fieldNames_;
  std::uint64_t progressMaximum_ = 0;
  std::size_t emailField_ = 0;
  FirstLine firstLine_ = FirstLine::Data;
  Separator separator_ = Separator::Comma;
  Separator detectedSeparator_ = Separator::Comma;
  bool replace_ = false;
  ProgressFn progress_;
  bool idle_ = true;
  bool cancelled_ = false;
  TextFile text_;
  std::unique_ptr<TTzDbf> table_;
};

}  // namespace orvane::import
