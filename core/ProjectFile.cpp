#include "core/ProjectFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <utility>

#include "core/Codepage.h"

#ifndef O_CLOEXEC
#define O_CLOEXEC 0
#endif
#ifndef O_BINARY
#define O_BINARY 0
#endif

namespace orvane {
namespace {

// Type bytes of a value.
enum ValueType : std::uint8_t {
  kEnd = 0x00,
  kList = 0x01,
  kInt8 = 0x02,
  kInt16 = 0x03,
  kInt32 = 0x04,
  kString = 0x06,
  kIdent = 0x07,
  kFalse = 0x08,
  kTrue = 0x09,
  kBinary = 0x0A,
  kSet = 0x0B,
  kLongString = 0x0C,
  kNil = 0x0D,
  kCollection = 0x0E,
};

constexpr char kSignature[4] = {'T', 'P', 'F', '0'};
constexpr std::string_view kClassName = "TListView";
constexpr std::string_view kObjectName = "ListView1";
constexpr std::int32_t kAllocBy = 50000;
constexpr std::int32_t kDefaultColumnWidth = 50;
constexpr std::size_t kMaxShort = 255;
// Five 32-bit fields, then at least the e-mail's length byte.
constexpr std::size_t kEntryFixed = 20;
constexpr std::size_t kMinEntry = kEntryFixed + 1;
// Lists and collections nested deeper than this are not a project file.
constexpr int kMaxDepth = 32;
constexpr std::size_t kIoChunk = std::size_t{1} << 20;

// Every read past the end of the input fails with kProjectReadError: the
// stream ended before its data did.
[[noreturn]] void fail(std::string_view message) {
  throw ProjectFileError(std::string(message), message == kProjectReadError
                                                   ? ProjectFileError::Kind::EndsEarly
                                                   : ProjectFileError::Kind::Other);
}

[[noreturn]] void failFile(std::string_view format, const std::string& path) {
  std::string text(format);
  const auto at = text.find("%s");
  if (at != std::string::npos) text.replace(at, 2, path);
  throw ProjectFileError(text);
}

bool isAscii(std::string_view text) {
  const char* p = text.data();
  std::size_t n = text.size();
  std::uint64_t any = 0;
  for (; n >= 8; p += 8, n -= 8) {
    std::uint64_t word;
    std::memcpy(&word, p, 8);
    any |= word;
  }
  for (; n > 0; ++p, --n) any |= static_cast<unsigned char>(*p);
  return (any & 0x8080808080808080ull) == 0;
}

// Number of bytes the Windows-1252 form of `text` takes, counting no further
// than `limit`: each character, and each malformed byte, becomes one byte.
std::size_t cp1252Length(std::string_view text, std::size_t limit) {
  if (isAscii(text)) return std::min(text.size(), limit);
  std::size_t n = 0;
  std::size_t pos = 0;
  while (pos < text.size() && n < limit) {
    if (static_cast<unsigned char>(text[pos]) < 0x80) {
      ++pos;
    } else {
      decodeUtf8(text, pos);
    }
    ++n;
  }
  return n;
}

// ---------------------------------------------------------------- writing

class Writer {
 public:
  // Without a descriptor everything stays in memory.
  explicit Writer(int fd = -1, const std::string* path = nullptr) : fd_(fd), path_(path) {
    if (fd_ >= 0) buf_.reserve(kIoChunk + 4 * kMaxShort);
  }

  void byte(std::uint8_t b) { buf_.push_back(static_cast<char>(b)); }
  void raw(std::string_view bytes) { buf_.append(bytes); }
  void u32(std::uint32_t v) {
    const char b[4] = {static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
                       static_cast<char>(v >> 24)};
    buf_.append(b, 4);
  }
  void i32(std::int32_t v) { u32(static_cast<std::uint32_t>(v)); }

  // A short string of bytes that are already in the file's code page.
  void shortRaw(std::string_view bytes) {
    byte(static_cast<std::uint8_t>(bytes.size()));
    raw(bytes);
  }
  // A program text as a short string: Windows-1252, cut to 255 bytes.
  void shortText(std::string_view utf8) {
    const std::size_t at = buf_.size();
    buf_.push_back('\0');
    if (isAscii(utf8)) {
      const std::size_t n = std::min(utf8.size(), kMaxShort);
      buf_.append(utf8.data(), n);
      buf_[at] = static_cast<char>(n);
      return;
    }
    // Each output byte takes at most four input bytes, so this prefix yields
    // all of the first 255.
    appendUtf8AsCp1252(utf8.substr(0, 4 * kMaxShort), buf_);
    std::size_t n = buf_.size() - at - 1;
    if (n > kMaxShort) {
      buf_.resize(at + 1 + kMaxShort);
      n = kMaxShort;
    }
    buf_[at] = static_cast<char>(n);
  }

  void name(std::string_view n) { shortRaw(n); }
  void integer(std::int32_t v) {
    if (v >= -128 && v <= 127) {
      byte(kInt8);
      byte(static_cast<std::uint8_t>(v));
    } else if (v >= -32768 && v <= 32767) {
      byte(kInt16);
      const auto u = static_cast<std::uint16_t>(v);
      byte(static_cast<std::uint8_t>(u));
      byte(static_cast<std::uint8_t>(u >> 8));
    } else {
      byte(kInt32);
      i32(v);
    }
  }
  void ident(std::string_view text) {
    byte(kIdent);
    shortRaw(text);
  }

  void reserve(std::size_t bytes) {
    if (fd_ < 0) buf_.reserve(bytes);
  }
  void maybeFlush() {
    if (fd_ >= 0 && buf_.size() >= kIoChunk) flush();
  }
  void flush() {
    std::size_t done = 0;
    while (done < buf_.size()) {
      const ssize_t n = ::write(fd_, buf_.data() + done, buf_.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) failFile(kProjectCannotCreate, *path_);
      done += static_cast<std::size_t>(n);
    }
    buf_.clear();
  }
  std::string take() { return std::move(buf_); }

 private:
  int fd_;
  const std::string* path_;
  std::string buf_;
};

void writeItemsData(Writer& w, std::span<const Entry> entries) {
  // The block's size goes first, so compute it before filling the block.
  std::uint64_t size = 8;
  for (const Entry& e : entries) {
    size += kMinEntry + cp1252Length(e.email(), kMaxShort);
    const std::size_t k = e.subItemCount();
    for (std::size_t i = 0; i < k; ++i) size += 1 + cp1252Length(e.subItem(i), kMaxShort);
  }
  if (size > UINT32_MAX || entries.size() > INT32_MAX) fail(kProjectInvalidValue);
  w.name("Items.Data");
  w.byte(kBinary);
  w.u32(static_cast<std::uint32_t>(size));
  w.reserve(static_cast<std::size_t>(size) + 256);
  w.u32(static_cast<std::uint32_t>(size));
  w.i32(static_cast<std::int32_t>(entries.size()));
  for (const Entry& e : entries) {
    const std::size_t k = e.subItemCount();
    w.i32(e.resultState);
    w.i32(e.checkState);
    w.i32(e.overlayIndex);
    w.i32(static_cast<std::int32_t>(k));
    w.u32(0);  // the log's in-memory reference has no meaning in a file
    w.shortText(e.email());
    for (std::size_t i = 0; i < k; ++i) w.shortText(e.subItem(i));
    w.maybeFlush();
  }
}

void writeStream(Writer& w, std::span<const Column> columns, std::span<const Entry> entries,
                 const ProjectLayout& layout) {
  w.raw(std::string_view(kSignature, 4));
  w.shortRaw(kClassName);
  w.shortRaw(kObjectName);
  w.name("Left");
  w.integer(layout.left);
  w.name("Top");
  w.integer(layout.top);
  w.name("Width");
  w.integer(layout.width);
  w.name("Height");
  w.integer(layout.height);
  w.name("Align");
  w.ident("alClient");
  w.name("AllocBy");
  w.byte(kInt32);  // always the 32-bit form
  w.i32(kAllocBy);
  w.name("Columns");
  w.byte(kCollection);
  for (const Column& c : columns) {
    w.byte(kList);
    if (!c.caption.empty()) {
      w.name("Caption");
      const std::string text = utf8ToCp1252(c.caption);
      if (text.size() <= kMaxShort) {
        w.byte(kString);
        w.shortRaw(text);
      } else {
        w.byte(kLongString);
        w.u32(static_cast<std::uint32_t>(text.size()));
        w.raw(text);
      }
    }
    if (c.width != kDefaultColumnWidth) {
      w.name("Width");
      w.integer(c.width);
    }
    w.byte(kEnd);
  }
  w.byte(kEnd);
  w.name("ColumnClick");
  w.byte(kFalse);
  w.name("HideSelection");
  w.byte(kFalse);
  w.name("HotTrackStyles");
  w.byte(kSet);
  w.byte(kEnd);
  if (!entries.empty()) writeItemsData(w, entries);
  w.name("ReadOnly");
  w.byte(kTrue);
  w.name("RowSelect");
  w.byte(kTrue);
  w.name("PopupMenu");
  w.ident("MainForm.PopupMenu1");
  w.name("SmallImages");
  w.ident("MainForm.ImageList1");
  w.name("StateImages");
  w.ident("MainForm.ImageList3");
  w.name("TabOrder");
  w.integer(2);
  w.name("ViewStyle");
  w.ident("vsReport");
  w.byte(kEnd);  // end of the property records
  w.byte(kEnd);  // end of the (empty) list of child objects
}

// ---------------------------------------------------------------- reading

// The bytes of a stream, either all in memory or read from a file through a
// fixed buffer. Every read checks the bytes left first and fails with
// "Stream read error" when the stream ends early.
class Source {
 public:
  explicit Source(std::string_view data)
      : cur_(data.data()), end_(data.data() + data.size()), left_(data.size()) {}
  Source(int fd, std::uint64_t size) : fd_(fd), buf_(kIoChunk), fileLeft_(size), left_(size) {
    cur_ = end_ = buf_.data();
  }

  std::uint64_t remaining() const { return left_; }

  // `n` contiguous bytes (n at most a few hundred), valid until the next read.
  const char* take(std::size_t n) {
    if (n > left_) fail(kProjectReadError);
    if (static_cast<std::size_t>(end_ - cur_) < n) refill(n);
    const char* p = cur_;
    cur_ += n;
    left_ -= n;
    return p;
  }
  std::uint8_t byte() { return static_cast<std::uint8_t>(*take(1)); }
  std::uint32_t u32() {
    const auto* p = reinterpret_cast<const unsigned char*>(take(4));
    return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
           std::uint32_t{p[3]} << 24;
  }
  std::int32_t i32() { return static_cast<std::int32_t>(u32()); }

  void skip(std::uint64_t n) {
    if (n > left_) fail(kProjectReadError);
    const auto inWindow = static_cast<std::uint64_t>(end_ - cur_);
    if (n <= inWindow) {
      cur_ += n;
      left_ -= n;
      return;
    }
    left_ -= n;
    n -= inWindow;
    cur_ = end_;
    while (n > 0) {  // only a file source gets here
      const auto chunk = static_cast<std::size_t>(std::min<std::uint64_t>(n, buf_.size()));
      refill(chunk);
      cur_ += chunk;
      n -= chunk;
    }
  }

  // Appends the next `n` bytes to `out`.
  void append(std::uint64_t n, std::string& out) {
    if (n > left_) fail(kProjectReadError);
    out.reserve(out.size() + static_cast<std::size_t>(n));
    while (n > 0) {
      if (end_ == cur_) refill(1);
      const auto part = static_cast<std::size_t>(
          std::min<std::uint64_t>(n, static_cast<std::uint64_t>(end_ - cur_)));
      out.append(cur_, part);
      cur_ += part;
      left_ -= part;
      n -= part;
    }
  }

 private:
  // Moves the unread bytes to the front of the buffer and reads until at
  // least `n` are there.
  void refill(std::size_t n) {
    if (fd_ < 0) fail(kProjectReadError);  // cannot happen: memory holds all
    std::size_t have = static_cast<std::size_t>(end_ - cur_);
    std::memmove(buf_.data(), cur_, have);
    cur_ = buf_.data();
    end_ = cur_ + have;
    while (have < n) {
      const auto want =
          static_cast<std::size_t>(std::min<std::uint64_t>(buf_.size() - have, fileLeft_));
      if (want == 0) fail(kProjectReadError);
      const ssize_t got = ::read(fd_, buf_.data() + have, want);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) fail(kProjectReadError);  // the file shrank or could not be read
      have += static_cast<std::size_t>(got);
      end_ += got;
      fileLeft_ -= static_cast<std::uint64_t>(got);
    }
  }

  int fd_ = -1;
  std::vector<char> buf_;
  const char* cur_ = nullptr;
  const char* end_ = nullptr;
  std::uint64_t fileLeft_ = 0;  // in the file, not yet in the buffer
  std::uint64_t left_ = 0;      // not yet consumed, buffer and file together
};

void appendCp1252AsUtf8(std::string_view bytes, std::string& out) {
  if (isAscii(bytes)) {
    out.append(bytes);
    return;
  }
  for (const char ch : bytes) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x80) {
      out.push_back(ch);
    } else if (c >= 0xA0) {  // the Latin-1 range maps to itself
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out += cp1252ToUtf8(std::string_view(&ch, 1));
    }
  }
}

bool isIntegerType(std::uint8_t t) {
  return t == kInt8 || t == kInt16 || t == kInt32;
}

class Parser {
 public:
  explicit Parser(Source& src) : src_(src) {}

  ProjectData run() {
    // Fewer bytes than the signature that match its start: a project cut
    // short (an empty file too); anything else was never a project.
    const auto head = static_cast<std::size_t>(std::min<std::uint64_t>(src_.remaining(), 4));
    if (head > 0 && std::memcmp(src_.take(head), kSignature, head) != 0) {
      throw ProjectFileError(std::string(kProjectInvalidFormat),
                             ProjectFileError::Kind::NotAProject);
    }
    if (head < 4) fail(kProjectReadError);
    skipShortString();  // class name
    skipShortString();  // object name
    for (;;) {
      const std::uint8_t n = src_.byte();
      if (n == 0) break;  // end of the property records
      const std::string_view name(src_.take(n), n);
      const bool isColumns = name == "Columns";
      const bool isItems = !isColumns && name == "Items.Data";
      const std::uint8_t type = src_.byte();
      if (isColumns) {
        if (type != kCollection) fail(kProjectInvalidValue);
        readColumns();
      } else if (isItems) {
        if (type != kBinary) fail(kProjectInvalidValue);
        readItems();
      } else {
        skipValue(type, 0);
      }
    }
    if (src_.byte() != kEnd) fail(kProjectInvalidFormat);  // child objects
    return std::move(data_);
  }

 private:
  void skipShortString() { src_.skip(src_.byte()); }

  std::int32_t readInteger(std::uint8_t type) {
    switch (type) {
      case kInt8:
        return static_cast<std::int8_t>(src_.byte());
      case kInt16: {
        const auto* p = reinterpret_cast<const unsigned char*>(src_.take(2));
        return static_cast<std::int16_t>(static_cast<std::uint16_t>(p[0] | p[1] << 8));
      }
      default:
        return src_.i32();
    }
  }

  void checkDepth(int depth) {
    if (depth > kMaxDepth) fail(kProjectInvalidFormat);
  }

  // Property records up to and including their 0x00.
  void skipProperties(int depth) {
    checkDepth(depth);
    for (;;) {
      const std::uint8_t n = src_.byte();
      if (n == 0) return;
      src_.skip(n);
      skipValue(src_.byte(), depth);
    }
  }

  // The items of a collection after its type byte, up to and including its 0x00.
  void skipCollection(int depth) {
    checkDepth(depth);
    for (;;) {
      std::uint8_t t = src_.byte();
      if (t == kEnd) return;
      if (isIntegerType(t)) {
        readInteger(t);
        t = src_.byte();
      }
      if (t != kList) fail(kProjectInvalidFormat);
      skipProperties(depth + 1);
    }
  }

  void skipValue(std::uint8_t type, int depth) {
    switch (type) {
      case kEnd:
      case kFalse:
      case kTrue:
      case kNil:
        return;
      case kList:
        skipProperties(depth + 1);
        return;
      case kInt8:
        src_.skip(1);
        return;
      case kInt16:
        src_.skip(2);
        return;
      case kInt32:
        src_.skip(4);
        return;
      case kString:
      case kIdent:
        skipShortString();
        return;
      case kBinary:
      case kLongString:
        src_.skip(src_.u32());
        return;
      case kSet:
        for (std::uint8_t n = src_.byte(); n != 0; n = src_.byte()) src_.skip(n);
        return;
      case kCollection:
        skipCollection(depth + 1);
        return;
      default:
        fail(kProjectInvalidFormat);  // a value whose size cannot be known
    }
  }

  void readColumns() {
    std::vector<Column> columns;
    for (;;) {
      std::uint8_t t = src_.byte();
      if (t == kEnd) break;
      if (isIntegerType(t)) {  // an item may be preceded by an integer; it means nothing here
        readInteger(t);
        t = src_.byte();
      }
      if (t != kList) fail(kProjectInvalidFormat);
      Column column{std::string(), kDefaultColumnWidth};
      for (;;) {
        const std::uint8_t n = src_.byte();
        if (n == 0) break;
        const std::string_view name(src_.take(n), n);
        const bool isCaption = name == "Caption";
        const bool isWidth = !isCaption && name == "Width";
        const std::uint8_t type = src_.byte();
        if (isCaption) {
          std::string bytes;
          if (type == kString) {
            const std::uint8_t len = src_.byte();
            bytes.assign(src_.take(len), len);
          } else if (type == kLongString) {
            src_.append(src_.u32(), bytes);
          } else {
            fail(kProjectInvalidValue);
          }
          column.caption.clear();
          appendCp1252AsUtf8(bytes, column.caption);
        } else if (isWidth) {
          if (!isIntegerType(type)) fail(kProjectInvalidValue);
          column.width = readInteger(type);
        } else {
          skipValue(type, 2);
        }
      }
      columns.push_back(std::move(column));
    }
    // An empty collection leaves the columns as they are.
    if (!columns.empty()) data_.columns = std::move(columns);
  }

  // One short string of the entry block into the scratch texts.
  void readBlockText(std::uint64_t& blockLeft) {
    if (blockLeft < 1) fail(kProjectInvalidValue);
    const std::uint8_t n = src_.byte();
    --blockLeft;
    if (n > blockLeft) fail(kProjectInvalidValue);
    blockLeft -= n;
    const std::size_t start = texts_.size();
    appendCp1252AsUtf8(std::string_view(src_.take(n), n), texts_);
    spans_.emplace_back(start, texts_.size() - start);
  }

  void readItems() {
    const std::uint64_t length = src_.u32();
    if (length > src_.remaining()) fail(kProjectReadError);
    if (length < 8) fail(kProjectInvalidValue);
    if (src_.u32() != length) fail(kProjectInvalidValue);  // S must equal L
    const std::int32_t count = src_.i32();
    std::uint64_t blockLeft = length - 8;
    if (count < 0 || static_cast<std::uint64_t>(count) * kMinEntry > blockLeft)
      fail(kProjectInvalidValue);
    std::vector<Entry> entries;
    entries.reserve(static_cast<std::size_t>(count));  // bounded by the block's size
    for (std::int32_t i = 0; i < count; ++i) {
      if (blockLeft < kMinEntry) fail(kProjectInvalidValue);
      const auto* p = reinterpret_cast<const unsigned char*>(src_.take(kEntryFixed));
      blockLeft -= kEntryFixed;
      auto at = [p](int k) {
        return static_cast<std::int32_t>(std::uint32_t{p[k]} | std::uint32_t{p[k + 1]} << 8 |
                                         std::uint32_t{p[k + 2]} << 16 |
                                         std::uint32_t{p[k + 3]} << 24);
      };
      const std::int32_t resultState = at(0);
      const std::int32_t checkState = at(4);
      const std::int32_t overlayIndex = at(8);
      const std::int32_t subCount = at(12);
      if (resultState < kNotValidated || resultState > kChecking) fail(kProjectInvalidValue);
      if (checkState != 0 && checkState != 1) fail(kProjectInvalidValue);
      // Every text takes at least its length byte.
      if (subCount < 0 || static_cast<std::uint64_t>(subCount) + 1 > blockLeft)
        fail(kProjectInvalidValue);
      texts_.clear();
      spans_.clear();
      for (std::int32_t k = 0; k <= subCount; ++k) readBlockText(blockLeft);
      views_.clear();
      for (const auto& [start, len] : spans_) views_.emplace_back(texts_.data() + start, len);
      // An entry saved while it was being checked shows that it is.
      if (resultState == kChecking) {
        if (views_.size() < 2) views_.emplace_back();
        views_[1] = kCheckingText;
      }
      Entry& e = entries.emplace_back(std::span<const std::string_view>(views_));
      e.resultState = resultState;
      e.checkState = checkState;
      e.overlayIndex = overlayIndex;
    }
    src_.skip(blockLeft);  // bytes after the last entry carry nothing
    data_.entries = std::move(entries);
  }

  Source& src_;
  ProjectData data_;
  std::string texts_;
  std::vector<std::pair<std::size_t, std::size_t>> spans_;
  std::vector<std::string_view> views_;
};

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  // Closes now and reports whether the close succeeded.
  bool close() {
    const int fd = std::exchange(fd_, -1);
    return fd < 0 || ::close(fd) == 0;
  }

 private:
  int fd_;
};

std::atomic<unsigned> tempCounter{0};

}  // namespace

std::string serializeProject(std::span<const Column> columns, std::span<const Entry> entries,
                             const ProjectLayout& layout) {
  Writer w;
  writeStream(w, columns, entries, layout);
  return w.take();
}

std::string serializeProject(const RecipientList& list, const ProjectLayout& layout) {
  return serializeProject(list.columns(), list.entries(), layout);
}

ProjectData parseProject(std::string_view bytes) {
  Source src(bytes);
  return Parser(src).run();
}

ProjectData readProjectFile(const std::string& path) {
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_BINARY));
  if (fd.get() < 0) failFile(kProjectCannotOpen, path);
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) failFile(kProjectCannotOpen, path);
  Source src(fd.get(), static_cast<std::uint64_t>(st.st_size));
  return Parser(src).run();
}

void writeProjectFile(const std::string& path, std::span<const Column> columns,
                      std::span<const Entry> entries, const ProjectLayout& layout) {
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::path target(path);
  // Replace the file a link points to, not the link.
  if (fs::is_symlink(target, ec)) {
    const fs::path resolved = fs::weakly_canonical(target, ec);
    if (!ec) target = resolved;
  }
  struct stat old {};
  const bool existed = ::stat(target.c_str(), &old) == 0;
  if (existed && S_ISDIR(old.st_mode)) failFile(kProjectCannotCreate, path);

  // The temporary file lives in the target's folder so that the rename below
  // stays on one file system and replaces the target in one step.
  std::string tempPath;
  int raw = -1;
  for (int attempt = 0; attempt < 100 && raw < 0; ++attempt) {
    fs::path candidate = target;
    candidate.replace_filename("." + target.filename().string() + ".tmp" +
                               std::to_string(::getpid()) + "-" +
                               std::to_string(tempCounter.fetch_add(1)));
    tempPath = candidate.string();
    raw = ::open(tempPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_BINARY, 0666);
    if (raw < 0 && errno != EEXIST) break;
  }
  if (raw < 0) failFile(kProjectCannotCreate, path);
  FileDescriptor fd(raw);
  try {
    Writer w(fd.get(), &path);
    writeStream(w, columns, entries, layout);
    w.flush();
    if (existed) (void)::fchmod(fd.get(), old.st_mode & 07777);  // keep the old file's mode
    if (::fsync(fd.get()) != 0) failFile(kProjectCannotCreate, path);
    if (!fd.close()) failFile(kProjectCannotCreate, path);
    if (std::rename(tempPath.c_str(), target.c_str()) != 0) failFile(kProjectCannotCreate, path);
  } catch (...) {
    fd.close();
    ::unlink(tempPath.c_str());
    throw;
  }
  // Make the rename itself durable; the data is safe either way.
  fs::path folder = target.parent_path();
  if (folder.empty()) folder = ".";
  const int dirFd = ::open(folder.c_str(), O_RDONLY | O_CLOEXEC);
  if (dirFd >= 0) {
    (void)::fsync(dirFd);
    ::close(dirFd);
  }
}

void writeProjectFile(const std::string& path, const RecipientList& list,
                      const ProjectLayout& layout) {
  writeProjectFile(path, list.columns(), list.entries(), layout);
}

void loadProject(const std::string& path, RecipientList& list) {
  ProjectData data = readProjectFile(path);  // throws before the list is touched
  list.beginUpdate();
  list.replaceAll(std::move(data.columns), std::move(data.entries));
  list.endUpdate();
  list.setModified(false);
  list.resetStatus();
}

void saveProject(const std::string& path, RecipientList& list, const ProjectLayout& layout) {
  writeProjectFile(path, list, layout);
  list.setModified(false);
}

}  // namespace orvane
