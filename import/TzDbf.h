// TTzDbf: a read-only dBase III table presented as a record set — open, go to
// the first record, read field values as text, step to the next record, test
// for end of file, close.
//
// Owns the open file (or the in-memory copy of a table), the header prolog,
// the field records and one record buffer. Used on one thread at a time (the
// event-loop thread in the programs); instances share no state, so separate
// tables may be read on separate threads.
//
// Guarantees:
// - Nothing is sized from a count in the header: the descriptor area is read
//   only when the file holds it, the record buffer is at most 65,535 bytes, and
//   records are read one at a time, so memory stays bounded by the file's size.
// - A damaged table never ends the program: every failure is thrown as an
//   EDbfError whose what() is the report "Error # <n> (<text>)", CR LF, and the
//   context message.
//
// Field values as text (fieldAsText), after translation to UTF-8:
// - C: the field's bytes with trailing characters of code 32 or less removed;
//   leading blanks remain.
// - D: "YYYY-MM-DD" when the field holds eight digits (YYYYMMDD); an empty text
//   when it is blank; otherwise the stored text, trimmed at both ends.
// - N, F: the number exactly as stored, trimmed at both ends (no reformatting,
//   so no precision is lost); empty when blank.
// - L: "True" for T, t, Y, y; "False" for F, f, N, n; empty otherwise (blank or
//   "?", the unknown value).
// - M: empty. Memo contents live in a separate memo file that this reader never
//   opens; the stored block number means nothing to a user.
//
// Code page: character data and field names are read in one code page and
// come out as UTF-8 (the deletion flag is never translated). Unless the
// caller chose one (setCodePage), Open() takes, in this order:
// 1. a ".cpg" file beside a table opened from a file (same base name, the
//    extension in any case) that names a known code page (codePageOfCpg);
// 2. UTF-8, when the field names and the bytes of every character field of
//    every record are valid UTF-8 and hold at least one multi-byte sequence:
//    writers often leave a default language driver in the header of a UTF-8
//    table, while text in a single-byte code page practically never passes
//    for UTF-8 (a letter there is one byte of 0x80 or more, never followed by
//    the continuation bytes UTF-8 requires);
// 3. the language-driver byte at offset 29 of the header, when it stands for
//    a known code page (codePageOfLanguageDriver);
// 4. the TableLanguage: `tlOem` reads code page 437, `tlAnsi` Windows-1252.
// Step 2 reads the table once at opening (stopping at the first byte that is
// not UTF-8), in windows, so memory stays bounded.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "import/DbfCodePage.h"

namespace orvane::import {

enum TTableLanguage { tlOem, tlAnsi };

// What decided the code page Open() found (steps 1 to 4 above).
enum class DbfCodePageOrigin { CpgFile, Utf8Text, LanguageDriver, TableLanguage };

// Index handling. No index is ever used when reading; the value is carried only.
enum TCreateIndex { ciNotFound, ciAlways, ciNever };

// Error numbers of the reader.
inline constexpr int kDbfFileNotFound = 2;
inline constexpr int kDbfPathNotFound = 3;
inline constexpr int kDbfTooManyOpenFiles = 4;
inline constexpr int kDbfAccessDenied = 5;
inline constexpr int kDbfSharingViolation = 32;
inline constexpr int kDbfReadError = 100;
inline constexpr int kDbfNotDbase = 210;
inline constexpr int kDbfBadFieldType = 211;
inline constexpr int kDbfBeyondRange = 212;
inline constexpr int kDbfUnexpectedEof = 213;
inline constexpr int kDbfInUse = 214;
inline constexpr int kDbfNoMemory = 217;
inline constexpr int kDbfInvalidOperation = 1103;

// The text of an error number ("Undefined error" for numbers not listed).
std::string_view dbfErrorText(int number);

// A table the reader refuses. what() is the full report.
class EDbfError : public std::runtime_error {
 public:
  EDbfError(int number, std::string context);
  int number() const { return number_; }
  const std::string& context() const { return context_; }

 private:
  int number_;
  std::string context_;
};

// One field as the descriptors give it. `offset` is the field's first byte in
// the record (the deletion flag is byte 0).
struct TDbfField {
  std::string name;  // upper case, at most 10 characters, UTF-8
  char type = 'C';   // one of C D F L M N
  std::uint8_t length = 0;
  std::uint8_t decimals = 0;
  std::uint32_t offset = 0;
};

class TTzDbf final {
 public:
  TTzDbf();
  ~TTzDbf();
  TTzDbf(const TTzDbf&) = delete;
  TTzDbf& operator=(const TTzDbf&) = delete;

  // --- properties ---
  const std::string& DbfFileName() const { return fileName_; }
  // Leading and trailing blanks are removed. Assigning while the table is open
  // closes it and reopens it under the new name.
  void setDbfFileName(std::string_view name);
  bool HideDeletedRecs() const { return hideDeleted_; }
  void setHideDeletedRecs(bool hide) { hideDeleted_ = hide; }
  TTableLanguage TableLanguage() const { return language_; }
  // The code page when the table declares none (step 4 above); takes effect at Open().
  void setTableLanguage(TTableLanguage language) { language_ = language; }
  // The code page to read in, overriding what Open() finds; nothing (the
  // default) leaves the choice to Open(). Takes effect at once on an open
  // table (field names included) without moving the record pointer.
  void setCodePage(std::optional<DbfCodePage> codePage);
  bool ReadOnly() const { return readOnly_; }
  void setReadOnly(bool readOnly) { readOnly_ = readOnly; }
  bool Exclusive() const { return exclusive_; }
  void setExclusive(bool exclusive) { exclusive_ = exclusive; }
  TCreateIndex CreateIndex() const { return createIndex_; }
  void setCreateIndex(TCreateIndex createIndex) { createIndex_ = createIndex; }
  bool ShowProgress() const { return showProgress_; }
  void setShowProgress(bool show) { showProgress_ = show; }
  // Field definitions for creating a table; this reader never creates one.
  std::vector<std::string>& DbfFields() { return dbfFields_; }

  // --- opening and closing ---
  // Opens the file named by DbfFileName ("DBF" supplied when the name has no
  // extension) and positions on the first visible record. Throws EDbfError.
  void Open();
  // Opens a table held in memory; DbfFileName names it in messages only.
  void openFromMemory(std::string bytes);
  void Close();
  bool Active() const { return source_ != nullptr; }
  // The name actually opened (with the supplied extension).
  const std::string& openedName() const { return openedName_; }

  // --- the header (valid while open) ---
  std::uint32_t recordCount() const;  // from the header, deleted records included
  std::uint32_t headerLength() const { return headerLength_; }
  std::uint32_t recordLength() const { return recordLength_; }
  std::uint8_t versionByte() const { return version_; }
  bool hasMemo() const { return (version_ & 0x80) != 0; }
  // The last-update date as "MM/DD/YY".
  const std::string& lastUpdate() const { return lastUpdate_; }
  // The full year of the last update; the year byte counts from 1900 in some
  // files and from 2000 in others, both are accepted.
  int lastUpdateYear() const { return lastUpdateYear_; }
  // The code page Open() found, and what decided it.
  DbfCodePage detectedCodePage() const { return detected_; }
  DbfCodePageOrigin codePageOrigin() const { return origin_; }
  // The code page in use: the chosen one, else the detected one.
  DbfCodePage codePage() const { return codePage_; }
  std::size_t fieldCount() const { return fields_.size(); }
  const TDbfField& Field(std::size_t index) const { return fields_.at(index); }
  const std::string& fieldName(std::size_t index) const { return fields_.at(index).name; }

  // --- navigation (throw EDbfError 1103 when the table is not open) ---
  void First();
  void Next();
  bool Eof() const;
  // The current record number, 1-based; 0 on an empty table, recordCount()+1 past the end.
  std::uint32_t recNo() const { return current_; }

  // --- the current record ---
  bool Deleted() const;
  std::string fieldAsText(std::size_t index) const;
  // Appends the text of field `index` to `out` (no temporary string).
  void appendFieldText(std::size_t index, std::string& out) const;

  class Source;

 private:
  void openSource(std::unique_ptr<Source> source, bool fromFile);
  void readHeader();
  void readOlderHeader(const unsigned char* prolog);
  void decodeField(const unsigned char* slot, std::size_t nameBytes, std::size_t typeAt,
                   std::size_t lengthAt, std::size_t decimalsAt, std::uint32_t& offset);
  void checkOpen(const char* operation) const;
  void readRecord(std::uint32_t n);
  bool visible() const;
  void setEnd();
  [[noreturn]] void fail(int number, std::string context);
  [[noreturn]] void notDbase(std::string_view opening, std::string_view reason,
                             std::string_view closing);
  std::string toUtf8(std::string_view bytes) const;
  void resolveCodePage(bool fromFile);
  std::optional<DbfCodePage> codePageOfCpgFile() const;
  bool textIsUtf8();
  void decodeNames();

  std::string fileName_;
  std::string openedName_;
  bool hideDeleted_ = false;
  TTableLanguage language_ = tlOem;
  bool readOnly_ = false;
  bool exclusive_ = false;
  TCreateIndex createIndex_ = ciNotFound;
  bool showProgress_ = true;
  std::vector<std::string> dbfFields_;

  std::unique_ptr<Source> source_;
  std::uint8_t version_ = 0;
  std::uint32_t recordCount_ = 0;
  std::uint32_t headerLength_ = 0;
  std::uint32_t recordLength_ = 0;
  std::string lastUpdate_;
  int lastUpdateYear_ = 0;
  std::vector<TDbfField> fields_;
  std::vector<std::string> rawNames_;  // the field names' bytes, upper-cased and cut
  std::uint8_t languageDriver_ = 0;    // header byte 29 (0 for the older layout)
  std::optional<DbfCodePage> chosen_;
  DbfCodePage detected_ = DbfCodePage::Cp437;
  DbfCodePageOrigin origin_ = DbfCodePageOrigin::TableLanguage;
  DbfCodePage codePage_ = DbfCodePage::Cp437;
  std::string record_;  // the current record's bytes, deletion flag first
  std::uint32_t current_ = 0;
  bool eof_ = true;
};

}  // namespace orvane::import
