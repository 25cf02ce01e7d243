// Reading of plain text and comma-separated recipient lists: the source kind of
// a path, the text encoding, the separator, the splitting of the text into
// records and fields, and the detection of the e-mail field.
//
// Owns only the text it loads. Pure functions and plain value classes; used on
// one thread at a time (the event-loop thread in the programs).
//
// Records and fields (the quoting of RFC 4180, with the lenient forms that
// hand-written lists use):
// - A record ends at a line end (LF, CR LF or a lone CR) outside quotes, or at
//   the end of the text. A field ends at the separator outside quotes.
// - A double quote that begins a field (blanks before it allowed) opens a
//   quoted section: separators and line ends inside it are data, a doubled
//   quote ("") is one quote, and the next single quote closes it. Text after
//   the closing quote, up to the separator, still belongs to the field.
// - A double quote anywhere else in a field opens a section that only the end
//   of the line can outlast: separators inside are data, "" is one quote, but
//   the line end still ends the record, so a stray quote in a hand-written
//   list never swallows the lines after it.
// - A quoted section that begins a field and is still open at the end of the
//   text does not swallow the rest of the file: its record then ends at its
//   first line end, read as if that line were the whole record.
// - The quotes that open and close sections are dropped; every field is then
//   trimmed of characters of code 32 or less at both ends.
// - A separator at the end of a record gives no empty last field; an empty
//   record gives one empty field.
// A file of one address per line, and any file without quotes that span line
// ends, thus reads one record per line exactly as before quoting was known.
//
// Guarantees: reading records and splitting fields take time linear in the
// input (a line of 100 MB, a million fields, a quote at the start of a 1 GB
// file that never closes); memory stays bounded by the input; text is handed
// out as UTF-8 whatever the file's encoding.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace orvane::import {

// A source the import cannot read (the file cannot be opened or read).
class ImportError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class SourceKind { Text, DBase };

// dBase when the path's extension is ".dbf" in any case; text otherwise
// (txt, csv, any other extension, or none).
SourceKind sourceKindOf(std::string_view path);

// ------------------------------------------------------------------ encoding

enum class TextEncoding { Utf8, Utf16LE, Utf16BE, Windows1252 };

// FF FE gives Utf16LE, FE FF gives Utf16BE; otherwise the bytes after an
// optional UTF-8 byte-order mark give Utf8 when they are valid UTF-8 and
// Windows1252 when they are not (a file that took lines in both).
TextEncoding detectTextEncoding(std::string_view bytes);

// File bytes in `encoding` to UTF-8. The byte-order mark of that encoding is
// dropped (for Windows1252, a UTF-8 one: it is never data). UTF-8: each byte
// of a malformed sequence becomes U+FFFD. UTF-16:
// surrogate pairs are joined, an unpaired surrogate becomes U+FFFD and an odd
// trailing byte is dropped. The result is always valid UTF-8.
std::string decodeTextBytes(std::string_view bytes, TextEncoding encoding);
// The same with the encoding detectTextEncoding finds.
std::string decodeTextBytes(std::string_view bytes);

// ----------------------------------------------------------------- separator

// The character between fields. Detect stands for the one detectSeparator finds.
enum class Separator { Comma, Semicolon, Tab, Detect };

// ',' for Comma (and Detect), ';' for Semicolon, TAB for Tab.
char separatorChar(Separator separator);

// The candidate among comma, semicolon and tab that occurs most often outside
// double quotes in the first record of `text` (here each double quote simply
// toggles the inside state, and the record ends at the first line end
// outside quotes). A tie goes to the earlier of comma, semicolon, tab, so a
// record without any of them gives Comma.
Separator detectSeparator(std::string_view text);

// -------------------------------------------------------- records and fields

// Splits one record (the whole of `record`; a line end in it is an ordinary
// character outside quotes) into fields. Reuses the strings already in
// `fields` and resizes it to the field count.
void splitFields(std::string_view record, std::vector<std::string>& fields, char separator = ',');
std::vector<std::string> splitFields(std::string_view record, char separator = ',');

// Reads the records of a text one after the other. The text must outlive the
// reader.
class RecordReader final {
 public:
  explicit RecordReader(std::string_view text, char separator = ',')
      : text_(text), separator_(separator) {}

  bool atEnd() const { return pos_ >= text_.size(); }
  // Reads the next record into `fields` and returns its text without its line
  // end (a view into the text). At the end of the text: an empty view and one
  // empty field.
  std::string_view next(std::vector<std::string>& fields);
  // Steps over the next record without splitting it; returns its text.
  std::string_view skip();

 private:
  std::string_view read(std::vector<std::string>* fields);

  std::string_view text_;
  char separator_;
  std::size_t pos_ = 0;
};

// 1 for the first record plus 1 for every further record (blank ones
// included); an empty text counts 1. The number of steps a full read takes.
std::uint64_t countRecords(std::string_view text, char separator = ',');

// ------------------------------------------------------------ e-mail field

enum class FirstLine { Data, Header };

struct EmailFieldGuess {
  std::size_t index = 0;               // the chosen item (0 when nothing matched)
  std::optional<FirstLine> firstLine;  // what the guess implies, if anything
};

// Whether `name` is a known name of an e-mail column. The name is normalised
// first: Unicode upper case, and blanks (code 32 or less), "-", "_", "." and
// ":" removed. The normalised name must then read
//   [ADDRESS | ADRESSE | DIRECCIÓNDE | DIRECCIONDE] core [digits] [suffix]
// where core is one of EMAIL, MAIL, EPOST, COURRIEL, CORREO,
// CORREOELECTRÓNICO, CORREOELECTRONICO and suffix one of ADDRESS, ADRESSE,
// ADRES, ADDR, ADR, VALUE. So "Email Address", "E-Mail-Adresse", "mail",
// "Courriel", "Correo electrónico", "email_address", "E-mail 2" and
// "E-mail 1 - Value" are e-mail columns; "E-mail Type", "Mailing list" and
// "my email" are not.
bool isEmailColumnName(std::string_view name);

// In this order:
// 1. the item equal to "email", else to "e-mail" (case-insensitively, as a
//    whole) implies a header line;
// 2. when no item holds "@" (a header never holds an address), the first item
//    that isEmailColumnName accepts implies a header line;
// 3. the first item holding "@" implies a data line;
// 4. else the first item, implying nothing.
EmailFieldGuess detectEmailField(std::span<const std::string> items);

// Whether decoded `text` reads as text rather than binary data: its first
// kTextSniffBytes hold no NUL character, and control characters other than
// tab, line feed, carriage return and form feed make up at most half of them.
inline constexpr std::size_t kTextSniffBytes = 64 * 1024;
bool looksLikeText(std::string_view text);

// -------------------------------------------------------------- text file

// A text file decoded into memory as UTF-8.
class TextFile final {
 public:
  TextFile() = default;
  // Reads the whole file and decodes it in the encoding detectTextEncoding
  // finds, or in `encoding` when one is given. Throws ImportError.
  static TextFile load(const std::string& path,
                       std::optional<TextEncoding> encoding = std::nullopt);

  const std::string& text() const { return text_; }
  // The encoding the text was decoded from.
  TextEncoding encoding() const { return encoding_; }
  // The encoding detectTextEncoding finds in the file's bytes.
  TextEncoding detectedEncoding() const { return detected_; }

 private:
  std::string text_;
  TextEncoding encoding_ = TextEncoding::Utf8;
  TextEncoding detected_ = TextEncoding::Utf8;
};

}  // namespace orvane::import
