#include "import/TzDbf.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <new>

#include "core/Codepage.h"
#include "core/RecipientList.h"

namespace orvane::import {

namespace {

constexpr std::size_t kPrologSize = 32;
constexpr std::size_t kDescriptorSize = 32;
constexpr std::size_t kOlderPrologSize = 8;
constexpr std::size_t kOlderHeaderLength = 521;
constexpr std::size_t kOlderSlotSize = 16;
constexpr std::size_t kOlderSlots = 32;
constexpr std::size_t kMaxFields = 255;
constexpr std::size_t kReadAhead = 256 * 1024;

std::uint16_t le16(const unsigned char* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

std::uint32_t le32(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

// The reader's numbers for the operating system's errors.
int errnoToNumber(int err) {
  switch (err) {
    case ENOENT:
      return kDbfFileNotFound;
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP:
      return kDbfPathNotFound;
    case EMFILE:
    case ENFILE:
      return kDbfTooManyOpenFiles;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
      return kDbfAccessDenied;
    case EBUSY:
    case ETXTBSY:
      return kDbfSharingViolation;
    case ENOMEM:
      return kDbfNoMemory;
    default:
      return kDbfReadError;
  }
}

std::string twoDigits(unsigned value) {
  std::string s(2, '0');
  s[0] = static_cast<char>('0' + (value / 10) % 10);
  s[1] = static_cast<char>('0' + value % 10);
  return s;
}

bool hasExtension(std::string_view name) {
  const std::size_t slash = name.find_last_of("/\\");
  const std::string_view base = slash == std::string_view::npos ? name : name.substr(slash + 1);
  const std::size_t dot = base.rfind('.');
  return dot != std::string_view::npos && dot + 1 < base.size();
}

bool fileExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

}  // namespace

// --------------------------------------------------------------- byte sources

namespace {
// The operating system's error while reading, as an errno value.
struct SourceError {
  int err;
};
}  // namespace

// Where the table's bytes come from. read() returns the bytes it could read
// (fewer at the end of the data) and throws SourceError.
class TTzDbf::Source {
 public:
  virtual ~Source() = default;
  virtual std::uint64_t size() const = 0;
  // Reads up to n bytes at `offset`; returns how many arrived.
  virtual std::size_t read(std::uint64_t offset, char* dst, std::size_t n) = 0;
};

namespace {

class MemorySource final : public TTzDbf::Source {
 public:
  explicit MemorySource(std::string bytes) : bytes_(std::move(bytes)) {}
  std::uint64_t size() const override { return bytes_.size(); }
  std::size_t read(std::uint64_t offset, char* dst, std::size_t n) override {
    if (offset >= bytes_.size()) return 0;
    const std::size_t got = std::min<std::uint64_t>(n, bytes_.size() - offset);
    std::memcpy(dst, bytes_.data() + offset, got);
    return got;
  }

 private:
  std::string bytes_;
};

// A file read through a window of read-ahead, so that stepping through a large
// table costs one system call per window rather than one per record.
class FileSource final : public TTzDbf::Source {
 public:
  FileSource(int fd, std::uint64_t size) : fd_(fd), size_(size) {}
  ~FileSource() override { ::close(fd_); }
  FileSource(const FileSource&) = delete;
  FileSource& operator=(const FileSource&) = delete;

  std::uint64_t size() const override { return size_; }

  std::size_t read(std::uint64_t offset, char* dst, std::size_t n) override {
    std::size_t done = 0;
    while (done < n) {
      const std::uint64_t at = offset + done;
      if (at >= windowStart_ && at < windowStart_ + window_.size()) {
        const std::size_t from = static_cast<std::size_t>(at - windowStart_);
        const std::size_t take = std::min(n - done, window_.size() - from);
        std::memcpy(dst + done, window_.data() + from, take);
        done += take;
        continue;
      }
      if (n - done >= kReadAhead) {  // large reads bypass the window
        const std::size_t got = preadAll(at, dst + done, n - done);
        return done + got;
      }
      fill(at);
      if (window_.empty()) break;
    }
    return done;
  }

 private:
  std::size_t preadAll(std::uint64_t at, char* dst, std::size_t n) {
    std::size_t done = 0;
    while (done < n) {
      const ssize_t got = ::pread(fd_, dst + done, n - done, static_cast<off_t>(at + done));
      if (got < 0) {
        if (errno == EINTR) continue;
        throw SourceError{errno};
      }
      if (got == 0) break;
      done += static_cast<std::size_t>(got);
    }
    return done;
  }

  void fill(std::uint64_t at) {
    window_.resize(kReadAhead);
    const std::size_t got = preadAll(at, window_.data(), kReadAhead);
    window_.resize(got);
    windowStart_ = at;
  }

  int fd_;
  std::uint64_t size_;
  std::string window_;
  std::uint64_t windowStart_ = 0;
};

}  // namespace

// --------------------------------------------------------------------- errors

std::string_view dbfErrorText(int number) {
  switch (number) {
    case 2:
      return "File not found";
    case 3:
      return "Path not found";
    case 4:
      return "Too many open files";
    case 5:
      return "File access denied";
    case 32:
      return "File sharing violation";
    case 100:
      return "Disk read error";
    case 210:
      return "Not a dBASE data file";
    case 211:
      return "Invalid database field type encountered";
    case 212:
      return "Request beyond range";
    case 213:
      return "End of file found unexpectedly";
    case 214:
      return "File already in use";
    case 217:
      return "Insufficient memory";
    case 1103:
      return "Invalid Operation ";
    default:
      return "Undefined error";
  }
}

namespace {
std::string reportText(int number, const std::string& context) {
  std::string text = "Error # " + std::to_string(number) + " (";
  text += dbfErrorText(number);
  text += ")\r\n";
  text += context;
  return text;
}
}  // namespace

EDbfError::EDbfError(int number, std::string context)
    : std::runtime_error(reportText(number, context)),
      number_(number),
      context_(std::move(context)) {}

// ---------------------------------------------------------------------- TTzDbf

TTzDbf::TTzDbf() = default;
TTzDbf::~TTzDbf() = default;

void TTzDbf::setDbfFileName(std::string_view name) {
  fileName_ = std::string(trimBlanks(name));
  if (Active()) {
    Close();
    Open();
  }
}

void TTzDbf::fail(int number, std::string context) {
  Close();
  throw EDbfError(number, std::move(context));
}

void TTzDbf::notDbase(std::string_view opening, std::string_view reason, std::string_view closing) {
  std::string context = openedName_;
  context += " is not a dBASE database.";
  context += opening;
  context += reason;
  context += closing;
  fail(kDbfNotDbase, std::move(context));
}

void TTzDbf::Open() {
  Close();
  std::string name = fileName_;
  if (!hasExtension(name)) {
    // The supplied extension is "DBF"; on file systems that tell case apart a
    // table called "x.dbf" is found as well.
    name += ".DBF";
    if (!fileExists(name)) {
      std::string lower = fileName_ + ".dbf";
      if (fileExists(lower)) name = std::move(lower);
    }
  }
  openedName_ = name;
  const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st {};
  if (fd >= 0 && ::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    ::close(fd);
    throw EDbfError(kDbfAccessDenied, "Failure to open " + name + " [USE/OpenDbf]");
  }
  if (fd < 0) {
    throw EDbfError(errnoToNumber(errno), "Failure to open " + name + " [USE/OpenDbf]");
  }
  openSource(std::make_unique<FileSource>(fd, static_cast<std::uint64_t>(st.st_size)), true);
}

void TTzDbf::openFromMemory(std::string bytes) {
  Close();
  openedName_ = fileName_;
  openSource(std::make_unique<MemorySource>(std::move(bytes)), false);
}

void TTzDbf::openSource(std::unique_ptr<Source> source, bool fromFile) {
  source_ = std::move(source);
  try {
    readHeader();
    resolveCodePage(fromFile);
  } catch (const SourceError& e) {
    fail(errnoToNumber(e.err), "Error reading " + openedName_ + " [Use/OpenDbf]");
  } catch (const std::bad_alloc&) {
    fail(kDbfNoMemory, "Not enough memory to open " + openedName_ + " [Use/OpenDbf]");
  }
  // Position on the first visible record at once.
  if (recordCount_ >= 1) {
    eof_ = false;
    First();
  } else {
    setEnd();
    current_ = 0;
  }
}

void TTzDbf::Close() {
  source_.reset();
  fields_.clear();
  rawNames_.clear();
  languageDriver_ = 0;
  record_.clear();
  recordCount_ = 0;
  headerLength_ = 0;
  recordLength_ = 0;
  version_ = 0;
  current_ = 0;
  eof_ = true;
}

void TTzDbf::readHeader() {
  unsigned char prolog[kPrologSize];
  const std::size_t got = source_->read(0, reinterpret_cast<char*>(prolog), kPrologSize);
  // A table of the older layout may be shorter than a prolog, but never shorter
  // than its fixed header, so the prolog check holds for both.
  if (got < kPrologSize) notDbase(" (", "Prolog is less than 32 bytes", ") [USE/OpenDBF]");
  version_ = prolog[0];
  const unsigned layout = version_ & 0x07;
  if (layout != 2 && layout != 3) notDbase("(", "Invalid version byte", ")+ [USE/OpenDBF]");
  if (layout == 2) {
    readOlderHeader(prolog);
    return;
  }

  recordCount_ = le32(prolog + 4);
  headerLength_ = le16(prolog + 8);
  recordLength_ = le16(prolog + 10);
  languageDriver_ = prolog[29];
  const std::size_t fieldCount =
      headerLength_ < kPrologSize ? 0 : (headerLength_ - kPrologSize) / kDescriptorSize;
  if (fieldCount < 1 || fieldCount > kMaxFields) {
    notDbase(" (", "Number of fields is out of range", ") [Use/OpenDbf]");
  }
  // The year byte counts from 1900 in some files and from 2000 in others.
  const unsigned year = prolog[1];
  lastUpdateYear_ =
      year >= 100 ? 1900 + static_cast<int>(year)
                  : (year < 80 ? 2000 + static_cast<int>(year) : 1900 + static_cast<int>(year));
  lastUpdate_ = twoDigits(prolog[2]) + "/" + twoDigits(prolog[3]) + "/" + twoDigits(year % 100);
  if (recordLength_ < 1) notDbase(" (", "Record length is zero", ") [Use/OpenDbf]");
  record_.assign(recordLength_, ' ');

  // The descriptor area is read only when the file holds it (at most 65,503 bytes).
  const std::size_t areaSize = headerLength_ - kPrologSize;
  if (source_->size() < headerLength_) {
    fail(kDbfReadError, "Error reading " + openedName_ + " [Use/OpenDbf]");
  }
  std::string area(areaSize, '\0');
  if (source_->read(kPrologSize, area.data(), areaSize) < areaSize) {
    fail(kDbfReadError, "Error reading " + openedName_ + " [Use/OpenDbf]");
  }
  std::uint32_t offset = 1;
  fields_.reserve(fieldCount);
  for (std::size_t i = 0; i < fieldCount; ++i) {
    decodeField(reinterpret_cast<const unsigned char*>(area.data()) + i * kDescriptorSize, 11, 11,
                16, 17, offset);
  }
}

void TTzDbf::readOlderHeader(const unsigned char* prolog) {
  if (source_->size() < kOlderHeaderLength) {
    notDbase("(", "Header is less than 521 bytes", ") [Use/OpenDBF]");
  }
  recordCount_ = le16(prolog + 1);
  headerLength_ = kOlderHeaderLength;
  recordLength_ = le16(prolog + 6);
  const unsigned year = prolog[3];
  lastUpdateYear_ =
      year >= 100 ? 1900 + static_cast<int>(year)
                  : (year < 80 ? 2000 + static_cast<int>(year) : 1900 + static_cast<int>(year));
  lastUpdate_ = twoDigits(prolog[4]) + "/" + twoDigits(prolog[5]) + "/" + twoDigits(year % 100);

  std::string area(kOlderSlots * kOlderSlotSize, '\0');
  if (source_->read(kOlderPrologSize, area.data(), area.size()) < area.size()) {
    fail(kDbfReadError, "Error reading " + openedName_ + " [Use/OpenDbf]");
  }
  const auto* slots = reinterpret_cast<const unsigned char*>(area.data());
  std::size_t count = kOlderSlots + 1;
  for (std::size_t i = 0; i < kOlderSlots; ++i) {
    if (slots[i * kOlderSlotSize] == 0x0D) {
      count = i;
      break;
    }
  }
  if (count > kOlderSlots) notDbase("(", "Number of fields is out of range", ") [Use/OpenDbf]");
  if (recordLength_ < 1) notDbase(" (", "Record length is zero", ") [Use/OpenDbf]");
  record_.assign(recordLength_, ' ');
  std::uint32_t offset = 1;
  for (std::size_t i = 0; i < count; ++i) {
    decodeField(slots + i * kOlderSlotSize, 11, 11, 12, 15, offset);
  }
}

void TTzDbf::decodeField(const unsigned char* slot, std::size_t nameBytes, std::size_t typeAt,
                         std::size_t lengthAt, std::size_t decimalsAt, std::uint32_t& offset) {
  std::string raw;
  for (std::size_t k = 0; k < nameBytes && slot[k] != 0; ++k) {
    char c = static_cast<char>(slot[k]);
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    raw.push_back(c);
  }
  if (raw.size() > 10) raw.resize(10);
  TDbfField f;
  // In the table language until the code page is known (resolveCodePage).
  appendDbfText(language_ == tlOem ? DbfCodePage::Cp437 : DbfCodePage::Windows1252, raw, f.name);
  f.type = static_cast<char>(slot[typeAt]);
  f.length = slot[lengthAt];
  f.decimals = slot[decimalsAt];
  f.offset = offset;
  switch (f.type) {
    case 'C':
    case 'D':
    case 'F':
    case 'L':
    case 'M':
    case 'N':
      break;
    default: {
      const auto t = static_cast<unsigned char>(f.type);
      const std::string letter = t >= 0x20 && t < 0x7F ? std::string(1, f.type) : "?";
      fail(kDbfBadFieldType, "Field: " + f.name + " [" + letter + "] in " + openedName_ +
                                 " is not a valid field type");
    }
  }
  offset += f.length;
  // A field that runs past the record would read beyond the record buffer.
  if (offset > recordLength_) {
    notDbase(" (", "Field " + f.name + " runs past the end of the record", ") [Use/OpenDbf]");
  }
  fields_.push_back(std::move(f));
  rawNames_.push_back(std::move(raw));
}

// ------------------------------------------------------------------ code page

void TTzDbf::setCodePage(std::optional<DbfCodePage> codePage) {
  chosen_ = codePage;
  if (Active()) {
    codePage_ = chosen_.value_or(detected_);
    decodeNames();
  }
}

void TTzDbf::resolveCodePage(bool fromFile) {
  std::optional<DbfCodePage> found;
  if (fromFile && (found = codePageOfCpgFile())) {
    origin_ = DbfCodePageOrigin::CpgFile;
  } else if (textIsUtf8()) {
    found = DbfCodePage::Utf8;
    origin_ = DbfCodePageOrigin::Utf8Text;
  } else if ((found = codePageOfLanguageDriver(languageDriver_))) {
    origin_ = DbfCodePageOrigin::LanguageDriver;
  } else {
    found = language_ == tlOem ? DbfCodePage::Cp437 : DbfCodePage::Windows1252;
    origin_ = DbfCodePageOrigin::TableLanguage;
  }
  detected_ = *found;
  codePage_ = chosen_.value_or(detected_);
  decodeNames();
}

void TTzDbf::decodeNames() {
  for (std::size_t i = 0; i < fields_.size() && i < rawNames_.size(); ++i) {
    fields_[i].name = toUtf8(rawNames_[i]);
  }
}

std::optional<DbfCodePage> TTzDbf::codePageOfCpgFile() const {
  namespace fs = std::filesystem;
  const fs::path table(openedName_);
  const std::string stem = table.stem().string();
  if (stem.empty()) return std::nullopt;
  std::error_code ec;
  fs::path cpg;
  for (const char* ext : {".cpg", ".CPG"}) {
    fs::path candidate = table;
    candidate.replace_extension(ext);
    if (fs::is_regular_file(candidate, ec)) {
      cpg = std::move(candidate);
      break;
    }
  }
  if (cpg.empty()) {
    // Any other case of the extension: look through the table's folder.
    const fs::path dir = table.has_parent_path() ? table.parent_path() : fs::path(".");
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
      const fs::path& p = it->path();
      std::string ext = p.extension().string();
      for (char& c : ext) c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
      if (ext == ".cpg" && p.stem().string() == stem && it->is_regular_file(ec)) {
        cpg = p;
        break;
      }
    }
  }
  if (cpg.empty()) return std::nullopt;
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(std::fopen(cpg.c_str(), "rb"), &std::fclose);
  if (!f) return std::nullopt;
  char buffer[256];  // a code page's name is short; the rest of a long file is not read
  const std::size_t got = std::fread(buffer, 1, sizeof buffer, f.get());
  return codePageOfCpg(std::string_view(buffer, got));
}

bool TTzDbf::textIsUtf8() {
  bool multiByte = false;
  auto check = [&multiByte](std::string_view bytes) {
    const std::optional<bool> r = utf8WithMultiByte(bytes);
    if (!r) return false;
    multiByte = multiByte || *r;
    return true;
  };
  for (const std::string& raw : rawNames_) {
    if (!check(raw)) return false;
  }
  std::vector<const TDbfField*> text;
  for (const TDbfField& f : fields_) {
    if (f.type == 'C' && f.length > 0) text.push_back(&f);
  }
  if (text.empty()) return multiByte;
  // Only the records the file holds in full; a damaged tail is reported when read.
  const std::uint64_t size = source_->size();
  const std::uint64_t inFile = size > headerLength_ ? (size - headerLength_) / recordLength_ : 0;
  const std::uint64_t records = std::min<std::uint64_t>(recordCount_, inFile);
  const std::uint64_t perChunk = std::max<std::uint64_t>(1, kReadAhead / recordLength_);
  std::string chunk;
  for (std::uint64_t r = 0; r < records;) {
    const std::uint64_t n = std::min(perChunk, records - r);
    chunk.resize(static_cast<std::size_t>(n * recordLength_));
    const std::size_t got =
        source_->read(headerLength_ + r * recordLength_, chunk.data(), chunk.size());
    const std::uint64_t whole = got / recordLength_;
    for (std::uint64_t k = 0; k < whole; ++k) {
      const char* rec = chunk.data() + k * recordLength_;
      for (const TDbfField* f : text) {
        if (!check(std::string_view(rec + f->offset, f->length))) return false;
      }
    }
    if (whole < n) break;
    r += n;
  }
  return multiByte;
}

std::uint32_t TTzDbf::recordCount() const {
  checkOpen("RecordCount");
  return recordCount_;
}

void TTzDbf::checkOpen(const char* operation) const {
  if (!source_) {
    throw EDbfError(kDbfInvalidOperation,
                    "Table " + fileName_ + " is not open [" + std::string(operation) + "]");
  }
}

void TTzDbf::readRecord(std::uint32_t n) {
  if (n < 1 || n > recordCount_) {
    throw EDbfError(kDbfBeyondRange, "Invalid record number = " + std::to_string(n) + " (" +
                                         openedName_ + ")  [GetDbfRecord]");
  }
  const std::uint64_t at =
      headerLength_ + static_cast<std::uint64_t>(n - 1) * static_cast<std::uint64_t>(recordLength_);
  std::size_t got = 0;
  try {
    got = source_->read(at, record_.data(), recordLength_);
  } catch (const SourceError& e) {
    throw EDbfError(errnoToNumber(e.err), "File:  " + openedName_ + "  [GetDbfRecord]");
  }
  if (got < recordLength_) {
    throw EDbfError(kDbfUnexpectedEof, "File:  " + openedName_ + "  [GetDbfRecord]");
  }
  current_ = n;
}

bool TTzDbf::visible() const {
  return !(hideDeleted_ && record_[0] == '*');
}

void TTzDbf::setEnd() {
  std::fill(record_.begin(), record_.end(), ' ');
  current_ = recordCount_ + 1;
  eof_ = true;
}

void TTzDbf::First() {
  checkOpen("First");
  if (recordCount_ == 0) {
    eof_ = true;
    current_ = 0;
    return;
  }
  eof_ = false;
  readRecord(1);
  while (!visible()) {
    if (current_ >= recordCount_) {
      setEnd();
      return;
    }
    readRecord(current_ + 1);
  }
}

void TTzDbf::Next() {
  checkOpen("Next");
  if (eof_) return;
  do {
    if (current_ >= recordCount_) {
      setEnd();
      return;
    }
    readRecord(current_ + 1);
  } while (!visible());
}

bool TTzDbf::Eof() const {
  checkOpen("Eof");
  return eof_;
}

bool TTzDbf::Deleted() const {
  checkOpen("Deleted");
  return !eof_ && record_[0] == '*';
}

std::string TTzDbf::toUtf8(std::string_view bytes) const {
  std::string out;
  appendDbfText(codePage_, bytes, out);
  return out;
}

std::string TTzDbf::fieldAsText(std::size_t index) const {
  std::string out;
  appendFieldText(index, out);
  return out;
}

void TTzDbf::appendFieldText(std::size_t index, std::string& out) const {
  checkOpen("FieldAsText");
  const TDbfField& f = fields_.at(index);
  if (eof_) return;
  std::string_view raw(record_.data() + f.offset, f.length);
  auto trimEnd = [](std::string_view s) {
    while (!s.empty() && static_cast<unsigned char>(s.back()) <= 32) s.remove_suffix(1);
    return s;
  };
  auto trimBoth = [&](std::string_view s) {
    s = trimEnd(s);
    while (!s.empty() && static_cast<unsigned char>(s.front()) <= 32) s.remove_prefix(1);
    return s;
  };
  auto appendTranslated = [&](std::string_view s) {
    bool ascii = true;
    for (char c : s) {
      if (static_cast<unsigned char>(c) >= 0x80) {
        ascii = false;
        break;
      }
    }
    if (ascii) {
      out.append(s);
    } else {
      appendDbfText(codePage_, s, out);
    }
  };
  switch (f.type) {
    case 'C':
      appendTranslated(trimEnd(raw));
      return;
    case 'D': {
      const std::string_view d = trimBoth(raw);
      if (d.size() == 8 &&
          std::all_of(d.begin(), d.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        out.append(d.substr(0, 4));
        out += '-';
        out.append(d.substr(4, 2));
        out += '-';
        out.append(d.substr(6, 2));
      } else {
        appendTranslated(d);
      }
      return;
    }
    case 'N':
    case 'F':
      appendTranslated(trimBoth(raw));
      return;
    case 'L': {
      const std::string_view l = trimBoth(raw);
      if (l.size() == 1) {
        const char c = l[0];
        if (c == 'T' || c == 't' || c == 'Y' || c == 'y') out += "True";
        if (c == 'F' || c == 'f' || c == 'N' || c == 'n') out += "False";
      }
      return;
    }
    default:  // 'M': the memo file is never opened
      return;
  }
}

}  // namespace orvane::import
