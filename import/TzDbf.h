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
// Field values as text (FieldAsText), after translation to UTF-8:
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
// Translation: `tlOem` reads the record bytes as code page 437, `tlAnsi` as
// Windows-1252; both come out as UTF-8. The deletion flag is never translated.
// Field names are decoded the same way.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace orvane {

enum TTableLanguage { tlOem, tlAnsi };

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
  void setTableLanguage(TTableLanguage language) { language_ = language; }
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
  void OpenFromMemory(std::string bytes);
  void Close();
  bool Active() const { return source_ != nullptr; }
  // The name actually opened (with the supplied extension).
  const std::string& OpenedName() const { return openedName_; }

  // --- the header (valid while open) ---
  std::uint32_t RecordCount() const;  // from the header, deleted records included
  std::uint32_t HeaderLength() const { return headerLength_; }
  std::uint32_t RecordLength() const { return recordLength_; }
  std::uint8_t VersionByte() const { return version_; }
  bool HasMemo() const { return (version_ & 0x80) != 0; }
  // The last-update date as "MM/DD/YY".
  const std::string& LastUpdate() const { return lastUpdate_; }
  // The full year of the last update; the year byte counts from 1900 in some
  // files and from 2000 in others, both are accepted.
  int LastUpdateYear() const { return lastUpdateYear_; }
  std::size_t FieldCount() const { return fields_.size(); }
  const TDbfField& Field(std::size_t index) const { return fields_.at(index); }
  const std::string& FieldName(std::size_t index) const { return fields_.at(index).name; }

  // --- navigation (throw EDbfError 1103 when the table is not open) ---
  void First();
  void Next();
  bool Eof() const;
  bool Bof() const;
  // The current record number, 1-based; 0 on an empty table, RecordCount()+1 past the end.
  std::uint32_t RecNo() const { return current_; }

  // --- the current record ---
  bool Deleted() const;
  std::string FieldAsText(std::size_t index) const;
  // Appends the text of field `index` to `out` (no temporary string).
  void AppendFieldText(std::size_t index, std::string& out) const;

  class Source;

 private:
  void openSource(std::unique_ptr<Source> source);
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
  std::string record_;  // the current record's bytes, deletion flag first
  std::uint32_t current_ = 0;
  bool eof_ = true;
  bool bof_ = true;
};

}  // namespace orvane
