#include "cli/Records.h"

#include <charconv>
#include <climits>
#include <cstdio>
#include <functional>
#include <string>

#include "core/AddressFlags.h"
#include "core/Codepage.h"
#include "import/CsvExport.h"

namespace orvane::cli {
using import::appendCsvCell;
namespace {

void appendJsonString(std::string_view text, std::string& out) {
  out += '"';
  for (std::size_t i = 0; i < text.size();) {
    const char32_t c = decodeUtf8(text, i);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20 || c == 0x7f) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
          out += escaped;
        } else {
          appendUtf8(c, out);
        }
    }
  }
  out += '"';
}

}  // namespace

Verdict knownVerdict(const engine::AddressResult& result) {
  return result.verdict == Verdict::None ? Verdict::Unknown : result.verdict;
}

void RecordWriter::header() {
  if (headerDone_ || format_ != OutputFormat::Csv) return;
  headerDone_ = true;
  std::fputs(withLog_ ? "index,address,code,message,flags,suggestion,checked,log,verdict\n"
                      : "index,address,code,message,flags,suggestion,checked,verdict\n",
             out_);
  std::fflush(out_);
}

std::string RecordWriter::line(std::size_t index, const engine::ValidationResult& r) const {
  const engine::AddressResult& result = r.result;
  const TransactionLog& log = r.log;
  const std::string_view address = r.given;
  const std::string_view verdict = verdictName(knownVerdict(result));
  std::string line;
  switch (format_) {
    case OutputFormat::Text:
      line.append(address) += '\t';
      line += resultText(result.code, result.message) + '\t';
      line.append(verdict);
      if (!r.flags.empty()) line += "\tflags: " + flagsText(r.flags, ", ");
      if (!r.suggestion.empty()) line += "\tsuggestion: " + r.suggestion;
      if (!r.checked.empty() && r.checked != address) line += "\tchecked: " + r.checked;
      line += '\n';
      for (std::size_t i = 0; withLog_ && i < log.size(); ++i) line += "    " + log[i] + '\n';
      break;
    case OutputFormat::Csv: {
      line = std::to_string(index) + ',';
      appendCsvCell(address, line);
      line += ',' + std::to_string(result.code) + ',';
      appendCsvCell(result.message, line);
      import::appendNoteCells(r.flags, r.suggestion, r.checked, line);
      if (withLog_) {
        std::string joined;
        for (std::size_t i = 0; i < log.size(); ++i) (joined += i > 0 ? "\n" : "") += log[i];
        line += ',';
        appendCsvCell(joined, line);
      }
      line += ',';
      line.append(verdict) += '\n';
      break;
    }
    case OutputFormat::Jsonl:
      line = "{\"index\":" + std::to_string(index) + ",\"address\":";
      appendJsonString(address, line);
      line += ",\"code\":" + std::to_string(result.code) + ",\"message\":";
      appendJsonString(result.message, line);
      line += ",\"flags\":[";
      for (const AddressFlag flag : kAddressFlags) {
        if (!r.flags.has(flag)) continue;
        if (line.back() != '[') line += ',';
        appendJsonString(flagName(flag), line);
      }
      line += "],\"suggestion\":";
      appendJsonString(r.suggestion, line);
      line += ",\"checked\":";
      appendJsonString(r.checked, line);
      line += ",\"verdict\":";
      appendJsonString(verdict, line);
      if (withLog_) {
        line += ",\"log\":[";
        for (std::size_t i = 0; i < log.size(); ++i) {
          if (i > 0) line += ',';
          appendJsonString(log[i], line);
        }
        line += ']';
      }
      line += "}\n";
      break;
  }
  return line;
}

bool RecordWriter::write(std::size_t index, const engine::ValidationResult& result) {
  header();
  const std::string text = line(index, result);
  // One write per record and a flush: a killed run loses at most the record
  // being written.
  const bool ok = std::fwrite(text.data(), 1, text.size(), out_) == text.size();
  return std::fflush(out_) == 0 && ok;
}

namespace {

// A reader of the JSON our own writer produces: objects, strings (with every
// escape JSON has), whole numbers, arrays of strings, true, false, null.
class JsonReader {
 public:
  explicit JsonReader(std::string_view text) : text_(text) {}

  bool object(const std::function<bool(std::string_view key)>& member) {
    if (!take('{')) return false;
    if (take('}')) return atEnd();
    do {
      std::string key;
      if (!string(key) || !take(':') || !member(key)) return false;
    } while (take(','));
    return take('}') && atEnd();
  }

  bool string(std::string& out) {
    out.clear();
    if (!take('"')) return false;
    while (pos_ < text_.size()) {
      const char c = text_[pos_++];
      if (c == '"') return true;
      if (static_cast<unsigned char>(c) < 0x20) return false;
      if (c != '\\') {
        out += c;
        continue;
      }
      if (pos_ >= text_.size()) return false;
      switch (text_[pos_++]) {
        case '"':
          out += '"';
          break;
        case '\\':
          out += '\\';
          break;
        case '/':
          out += '/';
          break;
        case 'b':
          out += '\b';
          break;
        case 'f':
          out += '\f';
          break;
        case 'n':
          out += '\n';
          break;
        case 'r':
          out += '\r';
          break;
        case 't':
          out += '\t';
          break;
        case 'u': {
          char32_t c1 = 0;
          if (!hex4(c1)) return false;
          if (c1 >= 0xD800 && c1 <= 0xDBFF) {
            char32_t c2 = 0;
            if (!take('\\') || !take('u') || !hex4(c2) || c2 < 0xDC00 || c2 > 0xDFFF) return false;
            c1 = 0x10000 + ((c1 - 0xD800) << 10) + (c2 - 0xDC00);
          }
          appendUtf8(c1, out);
          break;
        }
        default:
          return false;
      }
    }
    return false;
  }

  bool number(std::int64_t& value) {
    const char* begin = text_.data() + pos_;
    const auto [end, ec] = std::from_chars(begin, text_.data() + text_.size(), value);
    if (ec != std::errc()) return false;
    pos_ += static_cast<std::size_t>(end - begin);
    return true;
  }

  bool strings(std::vector<std::string>& out) {
    out.clear();
    if (!take('[')) return false;
    if (take(']')) return true;
    do {
      out.emplace_back();
      if (!string(out.back())) return false;
    } while (take(','));
    return take(']');
  }

  // Any value, not kept (a member this reader does not know).
  bool skipValue() {
    if (pos_ >= text_.size()) return false;
    std::string ignored;
    std::int64_t n = 0;
    std::vector<std::string> list;
    switch (text_[pos_]) {
      case '"':
        return string(ignored);
      case '[':
        return strings(list);
      case 't':
        return word("true");
      case 'f':
        return word("false");
      case 'n':
        return word("null");
      default:
        return number(n);
    }
  }

 private:
  bool take(char c) {
    if (pos_ < text_.size() && text_[pos_] == c) {
      ++pos_;
      return true;
    }
    return false;
  }
  bool word(std::string_view w) {
    if (text_.substr(pos_, w.size()) != w) return false;
    pos_ += w.size();
    return true;
  }
  bool hex4(char32_t& value) {
    if (pos_ + 4 > text_.size()) return false;
    unsigned v = 0;
    const auto [end, ec] = std::from_chars(text_.data() + pos_, text_.data() + pos_ + 4, v, 16);
    if (ec != std::errc() || end != text_.data() + pos_ + 4) return false;
    pos_ += 4;
    value = v;
    return true;
  }
  bool atEnd() const { return pos_ == text_.size(); }

  std::string_view text_;
  std::size_t pos_ = 0;
};

}  // namespace

bool parseRecord(std::string_view line, RecordFields& out) {
  JsonReader reader(line);
  bool index = false, address = false, code = false, message = false, verdict = false;
  out = RecordFields{};
  const bool ok = reader.object([&](std::string_view key) {
    std::int64_t n = 0;
    if (key == "index") {
      index = reader.number(n) && n >= 0;
      out.index = static_cast<std::size_t>(n);
      return index;
    }
    if (key == "code") {
      code = reader.number(n) && n >= INT32_MIN && n <= INT32_MAX;
      out.code = static_cast<std::int32_t>(n);
      return code;
    }
    if (key == "address") return address = reader.string(out.address);
    if (key == "message") return message = reader.string(out.message);
    if (key == "verdict") return verdict = reader.string(out.verdict);
    if (key == "suggestion") return reader.string(out.suggestion);
    if (key == "checked") return reader.string(out.checked);
    if (key == "flags") return reader.strings(out.flags);
    if (key == "log") return reader.strings(out.log);
    return reader.skipValue();
  });
  return ok && index && address && code && message && verdict;
}

}  // namespace orvane::cli
