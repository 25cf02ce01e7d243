#include "import/TextImport.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "core/Codepage.h"
#include "core/Text.h"

namespace orvane::import {

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

bool isLineEnd(char c) {
  return c == '\n' || c == '\r';
}

// ------------------------------------------------------------------ encoding

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
constexpr std::string_view kUtf16LeBom = "\xFF\xFE";
constexpr std::string_view kUtf16BeBom = "\xFE\xFF";

std::string utf8Repaired(std::string_view bytes) {
  std::string out;
  appendRepairedUtf8(bytes, out);
  return out;
}

std::string utf16ToUtf8(std::string_view bytes, bool bigEndian) {
  const std::size_t n = bytes.size() & ~std::size_t{1};  // an odd trailing byte is dropped
  auto unit = [&](std::size_t i) -> char32_t {
    const auto a = static_cast<unsigned char>(bytes[i]);
    const auto b = static_cast<unsigned char>(bytes[i + 1]);
    return bigEndian ? static_cast<char32_t>((a << 8) | b) : static_cast<char32_t>((b << 8) | a);
  };
  std::string out;
  out.reserve(n / 2 + n / 4);
  for (std::size_t i = 0; i < n; i += 2) {
    const char32_t u = unit(i);
    if (u >= 0xD800 && u <= 0xDBFF) {
      // n is even, so a unit at i + 2 exists whenever i + 2 < n.
      if (i + 2 < n) {
        const char32_t low = unit(i + 2);
        if (low >= 0xDC00 && low <= 0xDFFF) {
          appendUtf8(0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00), out);
          i += 2;
          continue;
        }
      }
      appendUtf8(0xFFFD, out);
    } else if (u >= 0xDC00 && u <= 0xDFFF) {
      appendUtf8(0xFFFD, out);
    } else {
      appendUtf8(u, out);
    }
  }
  return out;
}

// ---------------------------------------------------------------- the parser

enum class Mode {
  Whole,  // the string is one record; line ends are ordinary characters
  Span,   // a text of records; a quoted section at a field's start may span line ends
  Line,   // a text of records; nothing spans a line end
};

constexpr std::size_t kSpansToTheEnd = std::string_view::npos;

// Parses the record that starts at `pos`: its fields go to `fields` (when not
// null, reusing its strings) and their number to `count`. Returns where the
// record ends (its line end or the end of the text), or kSpansToTheEnd in Span
// mode when a quoted section at a field's start crosses a line end and is
// still open at the end of the text; the caller then reads the record again in
// Line mode.
//
// Each character is looked at a bounded number of times (the blanks before a
// field twice), so one call is linear in the record. A Span read that runs to
// the end happens at most once per pass over a text: when the section opened
// at p never closes, every quote after p stands in a run of even length, and
// a later field start q (never preceded by a quote) opens such a run, so the
// section opened at q closes at the run's last quote.
std::size_t parseRecord(std::string_view t, std::size_t pos, char sep, Mode mode,
                        std::vector<std::string>* fields, std::size_t& count) {
  const std::size_t n = t.size();
  const bool lineEnds = mode != Mode::Whole;
  count = 0;
  std::size_t i = pos;
  for (;;) {
    std::string* out = nullptr;
    if (fields) {
      if (count == fields->size()) fields->emplace_back();
      out = &(*fields)[count];
      out->clear();
    }
    ++count;
    auto take = [&](std::size_t from, std::size_t to) {
      if (out) out->append(t.data() + from, to - from);
    };

    // A quote after leading blanks opens a section that may hold separators
    // and (outside Line mode) line ends.
    std::size_t j = i;
    while (j < n && (t[j] == ' ' || t[j] == '\t') && t[j] != sep) ++j;
    if (j < n && t[j] == '"') {
      i = j + 1;
      std::size_t run = i;
      bool closed = false;
      bool crossed = false;
      while (i < n) {
        const char c = t[i];
        if (c == '"') {
          take(run, i);
          if (i + 1 < n && t[i + 1] == '"') {
            if (out) out->push_back('"');
            i += 2;
            run = i;
            continue;
          }
          ++i;
          closed = true;
          break;
        }
        if (isLineEnd(c)) {
          if (mode == Mode::Line) break;
          crossed = true;
        }
        ++i;
      }
      if (!closed) {
        if (mode == Mode::Span && crossed) return kSpansToTheEnd;
        take(run, i);  // the section ends with the line or the text, and so does the record
        if (out) out->assign(trimBlanks(*out));
        return i;
      }
    }

    // The rest of the field: a quote here opens a section that separators do
    // not end but line ends do.
    bool quoted = false;
    std::size_t run = i;
    bool atSeparator = false;
    while (i < n) {
      const char c = t[i];
      if (c == '"') {
        take(run, i);
        if (quoted && i + 1 < n && t[i + 1] == '"') {
          if (out) out->push_back('"');
          i += 2;
        } else {
          quoted = !quoted;
          ++i;
        }
        run = i;
        continue;
      }
      if (c == sep && !quoted) {
        atSeparator = true;
        break;
      }
      if (lineEnds && isLineEnd(c)) break;
      ++i;
    }
    take(run, i);
    if (out) out->assign(trimBlanks(*out));
    if (!atSeparator) return i;
    ++i;  // past the separator; a separator at the end of the record starts no field
    if (i >= n || (lineEnds && isLineEnd(t[i]))) return i;
  }
}

// ------------------------------------------------------------ e-mail names

// Upper case without blanks, "-", "_", "." and ":".
std::string normalisedName(std::string_view name) {
  const std::string upper = toUpperUtf8(name);
  std::string out;
  out.reserve(upper.size());
  for (const char c : upper) {
    if (static_cast<unsigned char>(c) <= 32 || c == '-' || c == '_' || c == '.' || c == ':') {
      continue;
    }
    out.push_back(c);
  }
  return out;
}

bool consumeOneOf(std::string_view& s, std::span<const std::string_view> words) {
  for (const std::string_view w : words) {
    if (s.substr(0, w.size()) == w) {
      s.remove_prefix(w.size());
      return true;
    }
  }
  return false;
}

}  // namespace

SourceKind sourceKindOf(std::string_view path) {
  const std::size_t slash = path.find_last_of("/\\");
  const std::string_view base = slash == std::string_view::npos ? path : path.substr(slash + 1);
  const std::size_t dot = base.rfind('.');
  if (dot == std::string_view::npos) return SourceKind::Text;
  return equalsIgnoreAsciiCase(base.substr(dot), ".dbf") ? SourceKind::DBase : SourceKind::Text;
}

// ------------------------------------------------------------------ encoding

TextEncoding detectTextEncoding(std::string_view bytes) {
  if (bytes.substr(0, 2) == kUtf16LeBom) return TextEncoding::Utf16LE;
  if (bytes.substr(0, 2) == kUtf16BeBom) return TextEncoding::Utf16BE;
  if (bytes.substr(0, 3) == kUtf8Bom) bytes.remove_prefix(3);
  return isValidUtf8(bytes) ? TextEncoding::Utf8 : TextEncoding::Windows1252;
}

std::string decodeTextBytes(std::string_view bytes, TextEncoding encoding) {
  switch (encoding) {
    case TextEncoding::Utf8:
      if (bytes.substr(0, 3) == kUtf8Bom) bytes.remove_prefix(3);
      return utf8Repaired(bytes);
    case TextEncoding::Utf16LE:
      if (bytes.substr(0, 2) == kUtf16LeBom) bytes.remove_prefix(2);
      return utf16ToUtf8(bytes, false);
    case TextEncoding::Utf16BE:
      if (bytes.substr(0, 2) == kUtf16BeBom) bytes.remove_prefix(2);
      return utf16ToUtf8(bytes, true);
    case TextEncoding::Windows1252:
      break;
  }
  if (bytes.substr(0, 3) == kUtf8Bom) bytes.remove_prefix(3);
  return cp1252ToUtf8(bytes);
}

std::string decodeTextBytes(std::string_view bytes) {
  return decodeTextBytes(bytes, detectTextEncoding(bytes));
}

// ----------------------------------------------------------------- separator

char separatorChar(Separator separator) {
  switch (separator) {
    case Separator::Semicolon:
      return ';';
    case Separator::Tab:
      return '\t';
    case Separator::Comma:
    case Separator::Detect:
      break;
  }
  return ',';
}

Separator detectSeparator(std::string_view text) {
  std::array<std::uint64_t, 3> counts{};  // comma, semicolon, tab
  bool quoted = false;
  for (const char c : text) {
    if (c == '"') {
      quoted = !quoted;
    } else if (!quoted) {
      if (isLineEnd(c)) break;
      if (c == ',') ++counts[0];
      if (c == ';') ++counts[1];
      if (c == '\t') ++counts[2];
    }
  }
  std::size_t best = 0;
  for (std::size_t k = 1; k < counts.size(); ++k) {
    if (counts[k] > counts[best]) best = k;
  }
  constexpr Separator kCandidates[] = {Separator::Comma, Separator::Semicolon, Separator::Tab};
  return kCandidates[best];
}

// -------------------------------------------------------- records and fields

void splitFields(std::string_view record, std::vector<std::string>& fields, char separator) {
  std::size_t count = 0;
  parseRecord(record, 0, separator, Mode::Whole, &fields, count);
  fields.resize(count);
}

std::vector<std::string> splitFields(std::string_view record, char separator) {
  std::vector<std::string> fields;
  splitFields(record, fields, separator);
  return fields;
}

std::string_view RecordReader::read(std::vector<std::string>* fields) {
  const std::size_t start = pos_;
  std::size_t count = 0;
  std::size_t end = parseRecord(text_, start, separator_, Mode::Span, fields, count);
  if (end == kSpansToTheEnd) end = parseRecord(text_, start, separator_, Mode::Line, fields, count);
  if (fields) fields->resize(count);
  pos_ = end;
  if (pos_ < text_.size()) {
    // Past the line end: CR LF, a lone CR or LF.
    pos_ += text_[pos_] == '\r' && pos_ + 1 < text_.size() && text_[pos_ + 1] == '\n' ? 2 : 1;
  }
  return text_.substr(start, end - start);
}

std::string_view RecordReader::next(std::vector<std::string>& fields) {
  return read(&fields);
}

std::string_view RecordReader::skip() {
  return read(nullptr);
}

bool looksLikeText(std::string_view text) {
  const std::string_view head = text.substr(0, kTextSniffBytes);
  std::size_t controls = 0;
  for (const char ch : head) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == 0) return false;
    if ((c < 0x20 && c != '\t' && c != '\n' && c != '\r' && c != '\f') || c == 0x7F) ++controls;
  }
  return controls * 2 <= head.size();
}

std::uint64_t countRecords(std::string_view text, char separator) {
  RecordReader reader(text, separator);
  std::uint64_t records = 0;
  while (!reader.atEnd()) {
    reader.skip();
    ++records;
  }
  return records == 0 ? 1 : records;
}

// ------------------------------------------------------------ e-mail field

bool isEmailColumnName(std::string_view name) {
  static constexpr std::string_view kBefore[] = {"ADDRESS", "ADRESSE", "DIRECCI\xC3\x93NDE",
                                                 "DIRECCIONDE"};
  // Longer words first where one begins another.
  static constexpr std::string_view kCores[] = {
      "EMAIL", "MAIL", "EPOST", "COURRIEL", "CORREOELECTR\xC3\x93NICO", "CORREOELECTRONICO",
      "CORREO"};
  static constexpr std::string_view kAfter[] = {"ADDRESS", "ADRESSE", "ADRES",
                                                "ADDR",    "ADR",     "VALUE"};
  const std::string normalised = normalisedName(name);
  std::string_view s = normalised;
  consumeOneOf(s, kBefore);
  if (!consumeOneOf(s, kCores)) return false;
  while (!s.empty() && s.front() >= '0' && s.front() <= '9') s.remove_prefix(1);
  if (s.empty()) return true;
  for (const std::string_view w : kAfter) {
    if (s == w) return true;
  }
  return false;
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
  std::optional<std::size_t> withAt;
  for (std::size_t i = 0; i < items.size() && !withAt; ++i) {
    if (items[i].find('@') != std::string::npos) withAt = i;
  }
  if (!withAt) {
    for (std::size_t i = 0; i < items.size(); ++i) {
      if (isEmailColumnName(items[i])) {
        guess.index = i;
        guess.firstLine = FirstLine::Header;
        return guess;
      }
    }
    return guess;
  }
  guess.index = *withAt;
  guess.firstLine = FirstLine::Data;
  return guess;
}

// -------------------------------------------------------------- text file

TextFile TextFile::load(const std::string& path, std::optional<TextEncoding> encoding) {
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
  const TextEncoding detected = detectTextEncoding(bytes);
  const TextEncoding chosen = encoding.value_or(detected);
  TextFile file;
  if (chosen == TextEncoding::Utf8 && detected == TextEncoding::Utf8) {
    // Valid UTF-8 after its byte-order mark: only the mark goes, no second copy.
    if (bytes.compare(0, 3, kUtf8Bom) == 0) bytes.erase(0, 3);
    file.text_ = std::move(bytes);
  } else {
    file.text_ = decodeTextBytes(bytes, chosen);
  }
  file.encoding_ = chosen;
  file.detected_ = detected;
  return file;
}

}  // namespace orvane::import
