// orvane-cli export PROJECT.orp [-o FILE.csv]: writes a project's list as
// comma-separated values (UTF-8, a header row of the column captions and
// "Verdict", one row per entry ending in its verdict). Runs on the main
// thread; no event loop.
#include <cstdio>
#include <exception>
#include <filesystem>
#include <string>
#include <string_view>

#include "cli/Commands.h"
#include "core/ProjectFile.h"
#include "core/RecipientList.h"
#include "import/CsvExport.h"

namespace orvane::cli {
namespace {

constexpr const char* kExportUsage =
    "Usage: orvane-cli export PROJECT.orp [-o FILE.csv] [--only VERDICTS]\n"
    "\n"
    "Writes the project's recipient list as CSV (UTF-8, RFC 4180 quoting): a header\n"
    "row of the column captions (Email, Result, then the extra columns) and Verdict,\n"
    "then one row per entry in list order. The Verdict cell says what the entry's\n"
    "result means: valid, invalid, catch-all or unknown (empty before a check).\n"
    "A cell that a spreadsheet would take for a formula gets a leading '. Without\n"
    "-o the CSV goes to standard output; the project itself is never a target.\n"
    "\n"
    "  --only VERDICTS   only entries with these verdicts, comma-separated:\n"
    "                    valid, invalid, catch-all, unknown, unvalidated\n";

int UsageError(const char* what, const char* arg) {
  return usageError("export", kExportUsage, what, arg);
}

// "valid,unknown" -> the filter; false for a name that is not a verdict.
bool ParseOnly(std::string_view text, ExportFilter& filter) {
  filter.include.fill(false);
  while (true) {
    const std::size_t comma = text.find(',');
    const std::string_view name = text.substr(0, comma);
    bool known = false;
    for (const Verdict v :
         {Verdict::None, Verdict::Valid, Verdict::Invalid, Verdict::CatchAll, Verdict::Unknown}) {
      if (name == (v == Verdict::None ? std::string_view("unvalidated") : verdictName(v))) {
        filter.include[static_cast<std::size_t>(v)] = true;
        known = true;
      }
    }
    if (!known) return false;
    if (comma == std::string_view::npos) return true;
    text.remove_prefix(comma + 1);
  }
}

// True when `output` names the same file as `project` (an existing file
// reached by another path included).
bool SameFile(const std::string& project, const std::string& output) {
  std::error_code ec;
  if (std::filesystem::equivalent(project, output, ec)) return true;
  return std::filesystem::weakly_canonical(project, ec) ==
         std::filesystem::weakly_canonical(output, ec);
}

}  // namespace

int runExport(std::span<char* const> args) {
  std::string project;
  std::string output;
  ExportFilter filter;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string_view a = args[i];
    if (isHelp(a)) {
      std::fputs(kExportUsage, stdout);
      return kExitOk;
    }
    if (a == "-o" || a == "--output") {
      if (i + 1 >= args.size()) return UsageError("missing value after", args[i]);
      output = args[++i];
    } else if (a == "--only") {
      if (i + 1 >= args.size()) return UsageError("missing value after", args[i]);
      if (!ParseOnly(args[++i], filter)) return UsageError("unknown verdicts", args[i]);
    } else if (a.size() > 1 && a[0] == '-') {
      return UsageError("unknown option", args[i]);
    } else if (project.empty()) {
      project = a;
    } else {
      return UsageError("unexpected argument", args[i]);
    }
  }
  if (project.empty()) return UsageError("no project given", nullptr);
  if (!output.empty() && SameFile(project, output)) {
    std::fprintf(stderr,
                 "orvane-cli export: %s is the project being exported; choose another file\n",
                 output.c_str());
    return kExitFailed;
  }

  try {
    RecipientList list;
    loadProject(project, list);
    if (output.empty()) {
      const std::string csv = exportCsv(list, filter);
      if (std::fwrite(csv.data(), 1, csv.size(), stdout) != csv.size() ||
          std::fflush(stdout) != 0) {
        std::perror("orvane-cli export");
        return kExitFailed;
      }
    } else {
      exportCsvFile(list, output, filter);
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return kExitFailed;
  }
  return kExitOk;
}

}  // namespace orvane::cli
