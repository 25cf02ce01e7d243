#include "import/CsvExport.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <algorithm>
#include <cstdint>
#include <initializer_list>

#include "core/RecipientList.h"
#include "core/RunReport.h"
#include "core/Verdict.h"

namespace orvane::import {

namespace {

bool looksLikeFormula(std::string_view text) {
  if (text.empty()) return false;
  switch (text.front()) {
    case '=':
    case '+':
    case '-':
    case '@':
    case '\t':
    case '\r':
      return true;
    default:
      return false;
  }
}

// Writes rows in chunks so that a list of millions needs no second copy in memory.
template <typename Sink>
void writeRows(const RecipientList& list, const ExportFilter& filter, Sink&& sink) {
  std::string buf;
  buf.reserve(1 << 16);
  const std::size_t columns = list.columnCount();
  for (std::size_t c = 0; c < columns; ++c) {
    if (c > 0) buf += ',';
    appendCsvCell(list.columns()[c].caption, buf);
  }
  buf += ",Verdict,Flags,Suggestion,Checked address\r\n";
  for (const Entry& e : list.entries()) {
    const Verdict verdict = verdictOfResultText(e.resultText());
    if (!filter.wants(verdict)) continue;
    const EntryNotes notes = filter.notes ? filter.notes(e) : EntryNotes{};
    if (!(notes.flags & filter.exclude).empty()) continue;
    appendCsvCell(e.email(), buf);
    for (std::size_t c = 1; c < columns; ++c) {
      buf += ',';
      const std::size_t sub = c - 1;
      if (sub < e.subItemCount()) appendCsvCell(e.subItem(sub), buf);
    }
    buf += ',';
    appendCsvCell(verdictName(verdict), buf);
    appendNoteCells(notes.flags, notes.suggestion, notes.checked, buf);
    buf += "\r\n";
    if (buf.size() >= (1 << 16)) {
      sink(buf);
      buf.clear();
    }
  }
  sink(buf);
}

}  // namespace

void appendCsvCell(std::string_view text, std::string& out) {
  const bool guard = looksLikeFormula(text);
  const bool quote = text.find_first_of(",\"\r\n") != std::string_view::npos;
  if (quote) out += '"';
  if (guard) out += '\'';
  if (quote) {
    for (char c : text) {
      if (c == '"') out += '"';
      out += c;
    }
    out += '"';
  } else {
    out.append(text);
  }
}

void appendNoteCells(AddressFlags flags, std::string_view suggestion, std::string_view checked,
                     std::string& out) {
  out += ',';
  appendCsvCell(flagsText(flags), out);
  out += ',';
  appendCsvCell(suggestion, out);
  out += ',';
  appendCsvCell(checked, out);
}

void writeCsv(const RecipientList& list, std::ostream& out, const ExportFilter& filter) {
  writeRows(list, filter, [&](const std::string& chunk) {
    out.write(chunk.data(), static_cast<std::streamsize>(chunk.size()));
  });
}

std::string exportCsv(const RecipientList& list, const ExportFilter& filter) {
  std::string all;
  writeRows(list, filter, [&](const std::string& chunk) { all += chunk; });
  return all;
}

namespace {

// Hands `produce` a sink for the file's bytes; they go to a temporary file
// that replaces `path` once all of them are written.
template <typename Produce>
void writeFileReplacing(const std::string& path, Produce&& produce) {
  const std::string temp = path + ".tmp";
  std::FILE* f = std::fopen(temp.c_str(), "wb");
  if (!f) throw ExportError("Cannot create file " + path + ": " + std::strerror(errno));
  bool ok = true;
  produce([&](const std::string& chunk) {
    if (ok && std::fwrite(chunk.data(), 1, chunk.size(), f) != chunk.size()) ok = false;
  });
  int err = ok ? 0 : errno;
  if (std::fflush(f) != 0 && ok) {
    ok = false;
    err = errno;
  }
  if (std::fclose(f) != 0 && ok) {
    ok = false;
    err = errno;
  }
  if (ok && std::rename(temp.c_str(), path.c_str()) != 0) {
    ok = false;
    err = errno;
  }
  if (!ok) {
    std::remove(temp.c_str());
    throw ExportError("Cannot write file " + path + ": " + std::strerror(err));
  }
}

std::string number(std::uint64_t n) {
  return std::to_string(n);
}

std::string decimal(double value) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.1f", value);
  return buf;
}

void appendRow(std::initializer_list<std::string_view> cells, std::string& out) {
  bool first = true;
  for (const std::string_view cell : cells) {
    if (!first) out += ',';
    first = false;
    appendCsvCell(cell, out);
  }
  out += "\r\n";
}

}  // namespace

void exportCsvFile(const RecipientList& list, const std::string& path, const ExportFilter& filter) {
  writeFileReplacing(path, [&](auto&& sink) { writeRows(list, filter, sink); });
}

std::string runReportCsv(const RunReport& report, std::size_t top) {
  std::string out;
  appendRow({"Verdict", "Addresses", "Percent"}, out);
  for (const Verdict v : RunReport::kVerdicts) {
    appendRow({verdictName(v), number(report.count(v)), decimal(report.percent(v))}, out);
  }
  appendRow({"no result", number(report.count(RunReport::kPending)), ""}, out);
  if (report.timed()) {
    out += "\r\n";
    appendRow({"Seconds", "Addresses", "Addresses per second"}, out);
    appendRow({decimal(report.seconds()), number(report.timedAddresses()),
               decimal(report.addressesPerSecond())},
              out);
  }
  if (report.notesCounted()) {
    out += "\r\n";
    appendRow({"Flag", "Addresses", "Percent"}, out);
    const double all = static_cast<double>(
        std::max<std::uint64_t>(report.results() + report.count(RunReport::kPending), 1));
    const auto share = [&](std::uint64_t n) {
      return decimal(100.0 * static_cast<double>(n) / all);
    };
    for (const AddressFlag flag : kAddressFlags) {
      appendRow({flagName(flag), number(report.flagCount(flag)), share(report.flagCount(flag))},
                out);
    }
    appendRow({"typo suggestion", number(report.suggestions()), share(report.suggestions())}, out);
  }
  for (const Verdict v : {Verdict::Invalid, Verdict::Unknown}) {
    out += "\r\n";
    const std::string head = "Cause of " + std::string(verdictName(v));
    appendRow({head, "Addresses", "Percent"}, out);
    const double all = static_cast<double>(std::max<std::uint64_t>(report.count(v), 1));
    for (const auto& cause : report.topCauses(v, top)) {
      appendRow({cause.message, number(cause.count),
                 decimal(100.0 * static_cast<double>(cause.count) / all)},
                out);
    }
  }
  out += "\r\n";
  appendRow({"Domain", "Addresses", "Valid", "Invalid", "Catch-all", "Unknown", "No result"}, out);
  for (const auto& d : report.topDomains(top)) {
    appendRow({d.name, number(d.total), number(d.counts[RunReport::kValid]),
               number(d.counts[RunReport::kInvalid]), number(d.counts[RunReport::kCatchAll]),
               number(d.counts[RunReport::kUnknown]), number(d.counts[RunReport::kPending])},
              out);
  }
  return out;
}

void exportRunReportCsvFile(const RunReport& report, const std::string& path) {
  const std::string csv = runReportCsv(report, SIZE_MAX);
  writeFileReplacing(path, [&](auto&& sink) { sink(csv); });
}

}  // namespace orvane::import
