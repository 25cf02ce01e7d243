// Reading of plain text and comma-separated recipient lists: the source kind of
// a path, the splitting of a line into fields, the detection of the e-mail
// field, and a text file held in memory with a line cursor.
//
// Owns only the text it loads. Pure functions and a plain value class; used on
// one thread at a time (the event-loop thread in the programs).
//
// Guarantees: splitting and line reading take time linear in the input (a line
// of 100 MB or a million fields is read in one pass); text is handed out as
// UTF-8 whatever the file's encoding.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace orvane {

// A source the import cannot read (the file cannot be opened or read).
class ImportError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class SourceKind { Text, DBase };

// dBase when the path's extension is ".dbf" in any case; text otherwise
// (txt, csv, any other extension, or none).
SourceKind sourceKindOf(std::string_view path);

// Splits a line into fields: the separator is a comma outside double quotes
// (each field starts outside quotes); every double quote is then removed and
// characters of code 32 or less are trimmed at both ends. A trailing comma
// gives no empty last field; an empty line gives one empty field. Reuses the
// strings already in `fields` and resizes it to the field count.
void splitFields(std::string_view line, std::vector<std::string>& fields);
std::vector<std::string> splitFields(std::string_view line);

enum class FirstLine { Data, Header };

struct EmailFieldGuess {
  std::size_t index = 0;               // the chosen item (0 when nothing matched)
  std::optional<FirstLine> firstLine;  // what the guess implies, if anything
};

// The item equal to "email", else to "e-mail" (case-insensitively, as a whole)
// implies a header line; else the first item holding "@" implies a data line;
// else the first item, implying nothing.
EmailFieldGuess detectEmailField(std::span<const std::string> items);

// File bytes to UTF-8: a UTF-8 byte-order mark is skipped; the rest is taken as
// UTF-8 when it is valid UTF-8, else as Windows-1252.
std::string decodeTextBytes(std::string_view bytes);

// A text file decoded into memory, read line by line. A line ends at LF, at
// CR LF or at a lone CR; the end of the text ends the last line.
class TextFile final {
 public:
  TextFile() = default;
  explicit TextFile(std::string utf8);
  // Reads and decodes the whole file. Throws ImportError.
  static TextFile load(const std::string& path);

  void rewind() { pos_ = 0; }
  bool atEnd() const { return pos_ >= text_.size(); }
  // The next line without its line end; empty at the end of the text. The view
  // stays valid as long as the TextFile.
  std::string_view readLine();
  // 1 for the first line plus 1 for every further line (blank lines included);
  // an empty file counts 1.
  std::uint64_t lineCount() const;
  const std::string& text() const { return text_; }

 private:
  // The end of the line starting at `from` (the position of its CR or LF, or
  // the text's size).
  std::size_t lineEnd(std::size_t from) const;

  std::string text_;
  std::size_t pos_ = 0;
  bool hasCr_ = false;  // without any CR, a line end is found with memchr alone
};

}  // namespace orvane
