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
#include "cli/Options.h"
#include "core/ProjectFile.h"
#include "core/RecipientList.h"
#include "core/Text.h"
#include "engine/EntryInsight.h"
#include "import/CsvExport.h"
#include "settings/EngineOptions.h"
#include "settings/Ini.h"

namespace orvane::cli {
using import::exportCsv;
using import::exportCsvFile;
using import::ExportFilter;
namespace {

// "valid,unknown" -> the filter; refused: a name that is not a verdict.
std::optional<std::string> checkOnly(std::string_view text, ExportFilter& filter) {
  filter.include.fill(false);
  for (std::size_t start = 0;;) {
    const std::size_t comma = text.find(',', start);
    const std::string_view name = text.substr(start, comma - start);
    bool known = false;
    for (const Verdict v :
         {Verdict::None, Verdict::Valid, Verdict::Invalid, Verdict::CatchAll, Verdict::Unknown}) {
      if (name == (v == Verdict::None ? std::string_view("unvalidated") : verdictName(v))) {
        filter.include[static_cast<std::size_t>(v)] = true;
        known = true;
      }
    }
    if (!known) {
      return "invalid verdicts '" + std::string(text) +
             "' (valid, invalid, catch-all, unknown or unvalidated, comma-separated)";
    }
    if (comma == std::string_view::npos) return std::nullopt;
    start = comma + 1;
  }
}

// True when `output` names the same file as `project` (an existing file
// reached by another path included).
bool sameFile(const std::string& project, const std::string& output) {
  std::error_code ec;
  if (std::filesystem::equivalent(project, output, ec)) return true;
  return std::filesystem::weakly_canonical(project, ec) ==
         std::filesystem::weakly_canonical(output, ec);
}

// The list of the entries' texts, one per line: the non-blank ones in list
// order (a line break inside a text becomes a blank, so every entry keeps
// its line).
int writeAddresses(const RecipientList& list, const std::string& output) {
  std::string text;
  for (const Entry& e : list.entries()) {
    if (trimBlanks(e.email()).empty()) continue;
    for (const char c : e.email()) text += c == '\n' || c == '\r' ? ' ' : c;
    text += '\n';
  }
  std::FILE* out = output.empty() ? stdout : std::fopen((output + ".tmp").c_str(), "wb");
  const bool ok = out != nullptr && std::fwrite(text.data(), 1, text.size(), out) == text.size() &&
                  std::fflush(out) == 0;
  if (out != nullptr && out != stdout) std::fclose(out);
  if (!ok || (!output.empty() && std::rename((output + ".tmp").c_str(), output.c_str()) != 0)) {
    std::perror(
        ("orvane-cli export: " + (output.empty() ? std::string("stdout") : output)).c_str());
    if (!output.empty()) std::remove((output + ".tmp").c_str());
    return kExitFailed;
  }
  return kExitOk;
}

}  // namespace

int runExport(std::span<char* const> args) {
  std::string output;
  ExportFilter filter;
  bool addresses = false;
  const CommandSyntax syntax{
      "export",
      "export PROJECT.orp [-o FILE.csv] [--only VERDICTS] [--exclude FLAGS]\n"
      "export PROJECT.orp --addresses [-o FILE.txt]",
      "Writes the project's recipient list as CSV (UTF-8, RFC 4180 quoting): a header\n"
      "row of the column captions (Email, Result, then the extra columns), Verdict,\n"
      "Flags, Suggestion and Checked address, then one row per entry in list order.\n"
      "The Verdict cell says what the entry's result means: valid, invalid,\n"
      "catch-all or unknown (empty before a check); Flags lists disposable, role,\n"
      "free and extracted (the entry holds more than the address checked);\n"
      "Suggestion a likely correction of a mistyped domain. A cell that a\n"
      "spreadsheet would take for a formula gets a leading '. The project itself is\n"
      "never a target. With --addresses, only the entries' texts, one per line (the\n"
      "non-blank ones, in list order): the list for `check --list` runs whose\n"
      "results `merge` puts back.\n",
      {{"output", 'o', "FILE.csv",
        "write the CSV to FILE.csv (an existing file is\nreplaced once the new one is complete)",
        "standard output", storeText(output)},
       {"only", 0, "VERDICTS",
        "only entries with these verdicts, comma-separated:\n"
        "valid, invalid, catch-all, unknown, unvalidated",
        "all", [&](std::string_view v) { return checkOnly(v, filter); }},
       {"exclude", 0, "FLAGS",
        "leave out entries with any of these flags,\ncomma-separated: disposable, role, free,\n"
        "extracted",
        "none",
        [&](std::string_view v) -> std::optional<std::string> {
          std::string bad;
          if (parseFlagNames(v, filter.exclude, &bad)) return std::nullopt;
          return "invalid flag '" + bad + "' (disposable, role, free or extracted)";
        }},
       {"addresses", 0, "", "only the entries' texts, one per line", "", setFlag(addresses)}},
      1};
  std::vector<std::string> operands;
  if (auto status = parseCommandLine(syntax, args, operands)) return *status;
  if (operands.empty()) return usageError(syntax, "no project given");
  const std::string& project = operands.front();
  if (!output.empty() && sameFile(project, output)) {
    std::fprintf(stderr,
                 "orvane-cli export: %s is the project being exported; choose another file\n",
                 output.c_str());
    return kExitFailed;
  }

  try {
    RecipientList list;
    loadProject(project, list);
    if (addresses) return writeAddresses(list, output);
    // Flags and suggestions as the saved options ask for them.
    settings::TINI ini;
    const AddressFlags flags = settings::readEngineSettings(ini).flags;
    const AddressInsight insight = settings::loadAddressInsight(flags);
    if (!insight.message().empty()) std::fprintf(stderr, "%s\n", insight.message().c_str());
    engine::EntryInsight notes(insight, flags);
    notes.countDomains(list);
    filter.notes = [&notes](const Entry& entry) { return notes.notesOf(entry); };
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
