#include "import/TextImport.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>

#include "core/Codepage.h"

namespace orvane {

namespace {

bool equalsIgnoreAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i];
    char y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

// Copies [begin, end) without double quotes into `out`, then trims characters
// of code 32 or less at both ends.
void cleanField(std::string_view raw, std::string& out) {
  out.clear();
  std::size_t from = 0;
  while (from < raw.size()) {
    const std::size_t quote = raw.find('"', from);
    const std::size_t to = quote == std::string_view::npos ? raw.size() : quote;
    out.append(raw.data() + from, to - from);
    from = to + 1;
  }
  std::size_t last = out.size();
  while (last > 0 && static_cast<unsigned char>(out[last - 1]) <= 32) --last;
  out.resize(last);
  std::size_t first = 0;
  while (first < out.size() && static_cast<unsigned char>(out[first]) <= 32) ++first;
  if (first > 0) out.erase(0, first);
}

}  // namespace

SourceKind sourceKindOf(std::string_view path) {
  const std::size_t slash = path.find_last_of("/\\");
  const std::string_view base = slash == std::string_view::npos ? path : path.substr(slash + 1);
  const std::size_t dot = base.rfind('.');
  if (dot == std::string_view::npos) return SourceKind::Text;
  return equalsIgnoreAsciiCase(base.substr(dot), ".dbf") ? SourceKind::DBase : SourceKind::Text;
}

void splitFields(std::string_view line, std::vector<std::string>& fields) {
  std::size_t count = 0;
  std::size_t pos = 0;
  // Steps run at least once (an empty line gives one empty field) and go on
  // while a comma left more text to read.
  do {
    bool inQuotes = false;
    std::size_t end = pos;
    while (end < line.size()) {
      const char c = line[end];
      if (c == '"') {
        inQuotes = !inQuotes;
      } else if (c == ',' && !inQuotes) {
        break;
      }
      ++end;
    }
    if (count == fields.size()) fields.emplace_back();
    cleanField(line.substr(pos, end - pos), fields[count]);
    ++count;
    pos = end + 1;  // past the comma, or past the end when there was none
  } while (pos < line.size());
  fields.resize(count);
}

std::vector<std::string> splitFields(std::string_view line) {
  std::vector<std::string> fields;
  splitFields(line, fields);
  return fields;
}

EmailFieldGuess detectEmailField(std::span<const std::string> items) {
  EmailFieldGuess guess;
  for (std::string_view wanted : {std::string_view("email"), std::string_view("e-mail")}) {
    for (std::size_t i = 0; i < items.size(); ++i) {
      if (equalsIgnoreAsciiCase(items[i], wanted)) {
        guess.index = i;
        guess.firstLine = FirstLine::Header;
        return guess;
      }
    }
  }
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (items[i].find('@') != std::string::npos) {
      guess.index = i;
      guess.firstLine = FirstLine::Data;
      return guess;
    }
  }
  return guess;
}

std::string decodeTextBytes(std::string_view bytes) {
  if (bytes.substr(0, 3) == "\xEF\xBB\xBF") bytes.remove_prefix(3);
  if (isValidUtf8(bytes)) return std::string(bytes);
  return cp1252ToUtf8(bytes);
}

TextFile::TextFile(std::string utf8)
    : text_(std::move(utf8)), hasCr_(text_.find('\r') != std::string::npos) {}

TextFile TextFile::load(const std::string& path) {
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(std::fopen(path.c_str(), "rb"), &std::fclose);
  if (!f) {
    throw ImportError("Cannot open file " + path + ": " + std::strerror(errno));
  }
  std::string bytes;
  std::size_t used = 0;
  for (;;) {
    if (bytes.size() - used < (1 << 16))
      bytes.resize(bytes.size() < (1 << 20) ? (1 << 20) : bytes.size() * 2);
    const std::size_t got = std::fread(bytes.data() + used, 1, bytes.size() - used, f.get());
    used += got;
    if (got == 0) break;
  }
  if (std::ferror(f.get())) {
    throw ImportError("Cannot read file " + path + ": " + std::strerror(errno));
  }
  bytes.resize(used);
  if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) bytes.erase(0, 3);
  if (isValidUtf8(bytes)) return TextFile(std::move(bytes));
  return TextFile(cp1252ToUtf8(bytes));
}

std::size_t TextFile::lineEnd(std::size_t from) const {
  const std::size_t n = text_.size();
  if (!hasCr_) {
    const void* hit = std::memchr(text_.data() + from, '\n', n - from);
    return hit ? static_cast<std::size_t>(static_cast<const char*>(hit) - text_.data()) : n;
  }
  for (std::size_t i = from; i < n; ++i) {
    if (text_[i] == '\n' || text_[i] == '\r') return i;
  }
  return n;
}

std::string_view TextFile::readLine() {
  if (pos_ >= text_.size()) return {};
  const std::size_t start = pos_;
  const std::size_t end = lineEnd(start);
  pos_ = end + 1;
  if (end < text_.size() && text_[end] == '\r' && pos_ < text_.size() && text_[pos_] == '\n')
    ++pos_;
  if (pos_ > text_.size()) pos_ = text_.size();
  return std::string_view(text_).substr(start, end - start);
}

std::uint64_t TextFile::lineCount() const {
  std::uint64_t lines = 0;
  std::size_t pos = 0;
  const std::size_t n = text_.size();
  while (pos < n) {
    const std::size_t end = lineEnd(pos);
    ++lines;
    pos = end + 1;
    if (end < n && text_[end] == '\r' && pos < n && text_[pos] == '\n') ++pos;
  }
  return lines == 0 ? 1 : lines;
}

}  // namespace orvane
