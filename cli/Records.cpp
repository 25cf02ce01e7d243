#include "cli/Records.h"

#include <cstdio>
#include <string>

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
  std::fputs(withLog_ ? "index,address,code,message,log,verdict\n"
                      : "index,address,code,message,verdict\n",
             stdout);
  std::fflush(stdout);
}

void RecordWriter::write(std::size_t index, std::string_view address,
                         const engine::AddressResult& result, const TransactionLog& log) {
  header();
  const std::string_view verdict = verdictName(knownVerdict(result));
  std::string line;
  switch (format_) {
    case OutputFormat::Text:
      line.append(address) += '\t';
      line += resultText(result.code, result.message) + '\t';
      line.append(verdict) += '\n';
      for (std::size_t i = 0; withLog_ && i < log.size(); ++i) line += "    " + log[i] + '\n';
      break;
    case OutputFormat::Csv: {
      line = std::to_string(index) + ',';
      appendCsvCell(address, line);
      line += ',' + std::to_string(result.code) + ',';
      appendCsvCell(result.message, line);
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
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
}

}  // namespace orvane::cli
