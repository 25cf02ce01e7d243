// orvane-cli check: validates addresses given on the command line or in a
// list file, one record per address on standard output.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "cli/Commands.h"
#include "cli/Validation.h"
#include "core/RecipientList.h"
#include "engine/ProjectRun.h"

namespace orvane::cli {

namespace {

void PrintCheckUsage(std::FILE* out) {
  std::fprintf(out,
               "Usage: orvane-cli check [OPTIONS] ADDRESS...\n"
               "       orvane-cli check [OPTIONS] --list FILE   (one address per line; - reads "
               "standard input)\n\n%s",
               kValidateOptionsHelp);
}

// Appends the non-blank lines of `in` (line ends "\n" or "\r\n").
void ReadLines(std::istream& in, std::vector<std::string>& lines) {
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (trimBlanks(line).empty()) continue;
    lines.push_back(line);
  }
}

}  // namespace

int runCheck(std::span<char* const> args) {
  ValidateOptions options;
  if (auto error = ParseValidateOptions(args, ValidateCommand::Check, options)) {
    std::fprintf(stderr, "orvane-cli check: %s\n", error->c_str());
    PrintCheckUsage(stderr);
    return kExitUsage;
  }
  if (options.help) {
    PrintCheckUsage(stdout);
    return kExitOk;
  }
  if (options.listFile && !options.operands.empty()) {
    std::fprintf(stderr, "orvane-cli check: give addresses or --list, not both\n");
    return kExitUsage;
  }
  if (!options.listFile && options.operands.empty()) {
    std::fprintf(stderr, "orvane-cli check: no address given\n");
    PrintCheckUsage(stderr);
    return kExitUsage;
  }

  std::vector<std::string> lines;
  if (options.listFile) {
    if (*options.listFile == "-") {
      ReadLines(std::cin, lines);
    } else {
      std::ifstream in(*options.listFile, std::ios::binary);
      if (!in) {
        std::fprintf(stderr, "Cannot open file %s\n", options.listFile->c_str());
        return kExitFailed;
      }
      ReadLines(in, lines);
    }
  } else {
    lines = options.operands;
  }
  if (lines.empty()) {
    std::fprintf(stderr, "%s\n", std::string(engine::kNothingToCheck).c_str());
    return kExitFailed;
  }

  // Each line becomes a checked entry, as a project entry would.
  RecipientList list;
  std::vector<Entry> entries;
  entries.reserve(lines.size());
  const std::string emptyResult[1] = {std::string()};
  for (const auto& line : lines)
    entries.emplace_back(line, std::span<const std::string>(emptyResult));
  list.appendEntries(std::move(entries));
  bool ran = false;
  return ValidateList(list, options, ran);
}

}  // namespace orvane::cli
