#include "core/DomainLists.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <system_error>

namespace orvane {
namespace {

// What an entry says; one entry may carry several (a name on two lists).
enum Bit : std::uint8_t {
  kDisposable = 1,  // this name and every name below it are disposable
  kBelow = 2,       // every name below this one is disposable
  kSelfOnly = 4,    // a disposable entry of this name counts for the name alone
  kAllow = 8,       // this name and every name below it are not disposable
  kFree = 16,
  kFreeAllow = 32,
  kRole = 64,
  kRoleAllow = 128,
};

enum class Kind : std::uint8_t { Domain, Mailbox };

struct ListFile {
  const char* name;
  AddressFlag flag;
  std::uint8_t bit;
  Kind kind;
  bool installed;  // in the data folder (else the user's folder)
};

constexpr ListFile kListFiles[] = {
    {"disposable.txt", AddressFlag::Disposable, kDisposable, Kind::Domain, true},
    {"disposable-wildcard.txt", AddressFlag::Disposable, kBelow, Kind::Domain, true},
    {"shared-suffixes.txt", AddressFlag::Disposable, kSelfOnly, Kind::Domain, true},
    {"free.txt", AddressFlag::Free, kFree, Kind::Domain, true},
    {"role.txt", AddressFlag::Role, kRole, Kind::Mailbox, true},
    {"disposable-add.txt", AddressFlag::Disposable, kDisposable, Kind::Domain, false},
    {"disposable-allow.txt", AddressFlag::Disposable, kAllow, Kind::Domain, false},
    {"free-add.txt", AddressFlag::Free, kFree, Kind::Domain, false},
    {"free-allow.txt", AddressFlag::Free, kFreeAllow, Kind::Domain, false},
    {"role-add.txt", AddressFlag::Role, kRole, Kind::Mailbox, false},
    {"role-allow.txt", AddressFlag::Role, kRoleAllow, Kind::Mailbox, false},
};

constexpr std::size_t kMaxDomain = 253;
constexpr std::size_t kMaxLabel = 63;
constexpr std::size_t kMaxMailbox = 64;
// A list file may be this long at most: entries are addressed by 32-bit
// offsets, and a larger file is no list anyone keeps by hand.
constexpr std::uintmax_t kMaxFileBytes = 256u << 20;

char lower(char c) noexcept {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// FNV-1a over the bytes taken from the right end, lower-cased: a name's
// parent domains are hashed on the way to the whole name.
constexpr std::uint64_t kHashSeed = 0xcbf29ce484222325ULL;
std::uint64_t hashStep(std::uint64_t h, char lowerCase) noexcept {
  return (h ^ static_cast<unsigned char>(lowerCase)) * 0x100000001b3ULL;
}
// Spreads the bits before the table takes its index from the low ones.
std::uint64_t finish(std::uint64_t h) noexcept {
  h ^= h >> 33;
  h *= 0xff51afd7ed558ccdULL;
  h ^= h >> 33;
  return h;
}
std::uint64_t hashName(std::string_view name) noexcept {
  std::uint64_t h = kHashSeed;
  for (std::size_t i = name.size(); i-- > 0;) h = hashStep(h, lower(name[i]));
  return finish(h);
}

// The characters a list entry may hold, lower-cased; 0 for any other byte.
// Domains: letters, digits, "-", "_" and the dots between labels. Mailbox
// names: the characters of an unquoted name except "+" (a tag is never part
// of the role) and "#" (a comment in the files).
using CharTable = std::array<char, 256>;
constexpr CharTable charTable(const char* extra) {
  CharTable table{};
  for (int c = 'a'; c <= 'z'; ++c) table[c] = static_cast<char>(c);
  for (int c = 'A'; c <= 'Z'; ++c) table[c] = static_cast<char>(c - 'A' + 'a');
  for (int c = '0'; c <= '9'; ++c) table[c] = static_cast<char>(c);
  for (; *extra; ++extra) table[static_cast<unsigned char>(*extra)] = *extra;
  return table;
}
constexpr CharTable kDomainChars = charTable("-_.");
constexpr CharTable kMailboxChars = charTable("!$%&'*-/=?^_`{|}~.");

// Checks the entry [s, s + n) against `table`, lower-cases it in place and
// hashes it, in one pass from the right. Domains also need labels of 1 to 63
// characters and 253 in all; mailbox names 64 at most.
bool scanEntry(char* s, std::size_t n, Kind kind, std::uint64_t& hash) noexcept {
  if (n == 0 || n > (kind == Kind::Domain ? kMaxDomain : kMaxMailbox)) return false;
  const CharTable& table = kind == Kind::Domain ? kDomainChars : kMailboxChars;
  std::uint64_t h = kHashSeed;
  std::size_t label = 0;
  for (std::size_t i = n; i-- > 0;) {
    const char c = table[static_cast<unsigned char>(s[i])];
    if (c == 0) return false;
    s[i] = c;
    h = hashStep(h, c);
    if (kind != Kind::Domain) continue;
    if (c != '.') {
      if (++label > kMaxLabel) return false;
    } else if (label == 0) {
      return false;
    } else {
      label = 0;
    }
  }
  if (kind == Kind::Domain && label == 0) return false;
  hash = finish(h);
  return true;
}

std::string_view withoutFinalDot(std::string_view name) noexcept {
  if (!name.empty() && name.back() == '.') name.remove_suffix(1);
  return name;
}

// Appends the file's bytes to `blob`; "" when that worked, else the reason.
std::string appendFile(const std::filesystem::path& path, std::uintmax_t size, std::string& blob) {
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"),
                                                       &std::fclose);
  if (!file) return std::strerror(errno);
  const std::size_t old = blob.size();
  blob.resize(old + static_cast<std::size_t>(size));
  const std::size_t got =
      std::fread(blob.data() + old, 1, static_cast<std::size_t>(size), file.get());
  blob.resize(old + got);
  if (got < size && std::ferror(file.get())) return std::strerror(errno ? errno : EIO);
  return {};
}

std::string lines(std::size_t n) {
  return std::to_string(n) + (n == 1 ? " line" : " lines");
}

}  // namespace

class DomainLists::Loader {
 public:
  Loader(DomainLists& lists, const ListOptions& options) : lists_(lists), options_(options) {}

  void run(const std::filesystem::path& dataDir, const std::filesystem::path& userDir) {
    std::vector<Region> regions;
    std::uintmax_t total = 0;
    for (const ListFile& file : kListFiles) {
      if (!options_.flags.has(file.flag)) continue;
      if (!file.installed && userDir.empty()) continue;
      Region region{&file, (file.installed ? dataDir : userDir) / file.name};
      std::error_code ec;
      region.size = std::filesystem::file_size(region.path, ec);
      if (!ec && region.size > kMaxFileBytes) ec = std::make_error_code(std::errc::file_too_large);
      if (ec) {
        const bool missing = ec == std::errc::no_such_file_or_directory;
        if (file.installed) {
          fail(file, missing ? file.name + std::string(" is missing in ") + dataDir.string()
                             : region.path.string() + " cannot be read (" + ec.message() + ")");
        } else if (!missing) {
          lists_.problems_.push_back(region.path.string() + " cannot be read (" + ec.message() +
                                     ")");
        }
        continue;
      }
      total += region.size;
      regions.push_back(std::move(region));
    }

    std::string& blob = lists_.blob_;
    blob.reserve(static_cast<std::size_t>(total));
    for (Region& region : regions) {
      region.begin = blob.size();
      const std::string error = appendFile(region.path, region.size, blob);
      region.end = blob.size();
      if (!error.empty()) {
        region.unreadable = true;
        if (region.file->installed) {
          fail(*region.file, region.path.string() + " cannot be read (" + error + ")");
        } else {
          lists_.problems_.push_back(region.path.string() + " cannot be read (" + error + ")");
        }
      }
    }

    // Every entry is one line, so the line count bounds the table's load.
    std::size_t lineCount = regions.size();
    lineCount += static_cast<std::size_t>(std::count(blob.begin(), blob.end(), '\n'));
    const std::size_t capacity = std::bit_ceil(std::max<std::size_t>(16, lineCount * 3 / 2));
    lists_.slots_.assign(capacity, 0);
    lists_.indexMask_ = static_cast<std::uint32_t>(capacity - 1);
    lists_.entries_.reserve(lineCount);

    for (const Region& region : regions) {
      if (!region.unreadable) parse(region, dataDir);
    }
    if (!converted_.empty()) {
      // Grown to the exact size: appending would double the blob's capacity.
      std::size_t extra = 0;
      for (const auto& item : converted_) extra += item.first.size();
      std::string grown;
      grown.reserve(blob.size() + extra);
      grown = blob;
      blob.swap(grown);
    }
    for (const auto& [name, bit] : converted_) {
      const std::size_t offset = blob.size();
      blob += name;
      std::uint64_t hash = 0;
      scanEntry(blob.data() + offset, name.size(), Kind::Domain, hash);
      lists_.insert(hash, static_cast<std::uint32_t>(offset), name.size(), bit);
    }

    for (AddressFlag flag : {AddressFlag::Disposable, AddressFlag::Free, AddressFlag::Role}) {
      lists_.available_.set(flag, options_.flags.has(flag) && !failed_.has(flag));
    }
  }

 private:
  struct Region {
    const ListFile* file;
    std::filesystem::path path;
    std::uintmax_t size = 0;
    std::size_t begin = 0;
    std::size_t end = 0;
    bool unreadable = false;
  };

  void fail(const ListFile& file, const std::string& what) {
    lists_.problems_.push_back(what + ", so the " + std::string(flagName(file.flag)) +
                               " flag is off");
    failed_.set(file.flag);
  }

  void parse(const Region& region, const std::filesystem::path& dataDir) {
    const ListFile& file = *region.file;
    std::string& blob = lists_.blob_;
    std::size_t entries = 0;
    std::size_t skipped = 0;
    std::size_t lineNumber = 0;
    std::size_t pos = region.begin;
    if (region.end - pos >= 3 && blob.compare(pos, 3, "\xEF\xBB\xBF") == 0) {
      pos += 3;  // a UTF-8 byte-order mark, as some editors write
    }
    while (pos < region.end) {
      const void* nl = std::memchr(blob.data() + pos, '\n', region.end - pos);
      const std::size_t eol =
          nl ? static_cast<std::size_t>(static_cast<const char*>(nl) - blob.data()) : region.end;
      ++lineNumber;
      const Line line = readLine(file, pos, eol);
      pos = eol + 1;
      if (line == Line::Blank) continue;
      if (line == Line::Entry) {
        ++entries;
        continue;
      }
      if (file.installed) {
        fail(file, file.name + std::string(" in ") + dataDir.string() + " is damaged (line " +
                       std::to_string(lineNumber) + " is not " +
                       (file.kind == Kind::Domain ? "a domain name" : "a mailbox name") + ")");
        return;
      }
      ++skipped;
    }
    if (file.installed && entries == 0) {
      fail(file, file.name + std::string(" in ") + dataDir.string() +
                     " is damaged (it holds no entries)");
    }
    if (skipped > 0) {
      lists_.skippedLines_ += skipped;
      lists_.problems_.push_back(
          lines(skipped) + " skipped in " + region.path.string() +
          (file.kind == Kind::Domain ? " (not domain names)" : " (not mailbox names)"));
    }
  }

  enum class Line : std::uint8_t { Blank, Entry, Junk };

  // Reads the line [b, e) of the blob: lower-cases it in place and enters it.
  Line readLine(const ListFile& file, std::size_t b, std::size_t e) {
    char* text = lists_.blob_.data();
    if (const void* hash = std::memchr(text + b, '#', e - b)) {
      e = static_cast<std::size_t>(static_cast<const char*>(hash) - text);
    }
    while (b < e && static_cast<unsigned char>(text[b]) <= 32) ++b;
    while (e > b && static_cast<unsigned char>(text[e - 1]) <= 32) --e;
    if (b == e) return Line::Blank;
    std::uint8_t bit = file.bit;
    if (file.kind == Kind::Domain) {
      if (!file.installed) {
        // A user's list may write "@example.com", and "*.example.com" for the
        // names below example.com only.
        if (text[b] == '@') ++b;
        if (bit == kDisposable && e - b > 2 && text[b] == '*' && text[b + 1] == '.') {
          b += 2;
          bit = kBelow;
        }
      }
      if (e > b && text[e - 1] == '.') --e;
    }
    std::uint64_t hash = 0;
    if (scanEntry(text + b, e - b, file.kind, hash)) {
      lists_.insert(hash, static_cast<std::uint32_t>(b), e - b, bit);
      return Line::Entry;
    }
    const std::string_view name(text + b, e - b);
    if (file.installed || file.kind != Kind::Domain || !options_.toAscii ||
        std::all_of(name.begin(), name.end(),
                    [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
      return Line::Junk;
    }
    std::string converted = options_.toAscii(name);
    if (!converted.empty() && converted.back() == '.') converted.pop_back();
    if (!scanEntry(converted.data(), converted.size(), Kind::Domain, hash)) return Line::Junk;
    converted_.emplace_back(std::move(converted), bit);
    return Line::Entry;
  }

  DomainLists& lists_;
  const ListOptions& options_;
  AddressFlags failed_;
  std::vector<std::pair<std::string, std::uint8_t>> converted_;
};

DomainLists DomainLists::load(const std::filesystem::path& dataDir,
                              const std::filesystem::path& userDir, const ListOptions& options) {
  DomainLists lists;
  Loader(lists, options).run(dataDir, userDir);
  return lists;
}

void DomainLists::insert(std::uint64_t hash, std::uint32_t offset, std::size_t length,
                         std::uint8_t bits) {
  const std::uint32_t tag = static_cast<std::uint32_t>(hash >> 32) & ~indexMask_;
  for (std::size_t i = hash & indexMask_;; i = (i + 1) & indexMask_) {
    std::uint32_t& slot = slots_[i];
    if (slot == 0) {
      entries_.push_back({offset, static_cast<std::uint8_t>(length), bits});
      slot = tag | static_cast<std::uint32_t>(entries_.size());
      return;
    }
    if ((slot & ~indexMask_) != tag) continue;
    Entry& e = entries_[(slot & indexMask_) - 1];
    if (e.length == length &&
        std::memcmp(blob_.data() + e.offset, blob_.data() + offset, length) == 0) {
      e.bits |= bits;
      return;
    }
  }
}

const DomainLists::Entry* DomainLists::find(std::uint64_t hash, const char* name,
                                            std::size_t length) const noexcept {
  if (slots_.empty()) return nullptr;
  const std::uint32_t tag = static_cast<std::uint32_t>(hash >> 32) & ~indexMask_;
  for (std::size_t i = hash & indexMask_;; i = (i + 1) & indexMask_) {
    const std::uint32_t slot = slots_[i];
    if (slot == 0) return nullptr;
    if ((slot & ~indexMask_) != tag) continue;
    const Entry& e = entries_[(slot & indexMask_) - 1];
    if (e.length != length) continue;
    const char* stored = blob_.data() + e.offset;
    std::size_t k = 0;
    while (k < length && stored[k] == lower(name[k])) ++k;
    if (k == length) return &e;
  }
}

bool DomainLists::isDisposable(std::string_view asciiDomain) const noexcept {
  if (!available_.has(AddressFlag::Disposable)) return false;
  const std::string_view d = withoutFinalDot(asciiDomain);
  if (d.empty() || d.size() > kMaxDomain) return false;
  // From the top-level label down to the whole name; the most specific
  // listed name decides.
  int decision = 0;  // 1 disposable, -1 allowed
  std::uint64_t h = kHashSeed;
  for (std::size_t i = d.size(); i-- > 0;) {
    h = hashStep(h, lower(d[i]));
    if (i != 0 && d[i - 1] != '.') continue;
    const Entry* e = find(finish(h), d.data() + i, d.size() - i);
    if (!e) continue;
    const bool whole = i == 0;
    if (e->bits & kAllow) {
      decision = -1;
    } else if ((e->bits & kDisposable) && (whole || !(e->bits & kSelfOnly))) {
      decision = 1;
    } else if (!whole && (e->bits & kBelow)) {
      decision = 1;
    }
  }
  return decision == 1;
}

bool DomainLists::isFree(std::string_view asciiDomain) const noexcept {
  if (!available_.has(AddressFlag::Free)) return false;
  const std::string_view d = withoutFinalDot(asciiDomain);
  if (d.empty() || d.size() > kMaxDomain) return false;
  const Entry* e = find(hashName(d), d.data(), d.size());
  return e && (e->bits & kFree) && !(e->bits & kFreeAllow);
}

bool DomainLists::isRole(std::string_view mailbox) const noexcept {
  if (!available_.has(AddressFlag::Role)) return false;
  if (mailbox.size() >= 2 && mailbox.front() == '"' && mailbox.back() == '"') {
    mailbox = mailbox.substr(1, mailbox.size() - 2);
  }
  mailbox = mailbox.substr(0, mailbox.find('+'));
  if (mailbox.empty() || mailbox.size() > kMaxMailbox) return false;
  const Entry* e = find(hashName(mailbox), mailbox.data(), mailbox.size());
  return e && (e->bits & kRole) && !(e->bits & kRoleAllow);
}

std::size_t DomainLists::memoryBytes() const noexcept {
  return blob_.capacity() + entries_.capacity() * sizeof(Entry) +
         slots_.capacity() * sizeof(std::uint32_t);
}

}  // namespace orvane
