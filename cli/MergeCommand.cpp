// orvane-cli merge PROJECT.orp RESULTS.jsonl...: puts results computed
// elsewhere (`check --list` over the list `export --addresses` wrote, in
// shards on other processes or machines) into the project's entries, as if a
// run had made them, and saves the project atomically.
//
// A record's index is the number of the list's line it answers: the entries
// with a non-blank text, in list order, as `export --addresses` writes them.
// A record lands on that entry only when the entry's text is the record's
// address; any other is counted and reported, never guessed. A results file
// that is not ours is refused, naming its line, before anything changes.
#include <cstdio>
#include <exception>
#include <fstream>
#include <string>
#include <vector>

#include "cli/Commands.h"
#include "cli/Options.h"
#include "cli/Records.h"
#include "core/ProjectFile.h"
#include "core/RecipientList.h"
#include "core/Text.h"

namespace orvane::cli {

namespace {

// The entries the lines of the list stand for, in order.
std::vector<std::size_t> listLines(const RecipientList& list) {
  std::vector<std::size_t> lines;
  for (std::size_t i = 0; i < list.count(); ++i) {
    if (!trimBlanks(list.entry(i).email()).empty()) lines.push_back(i);
  }
  return lines;
}

}  // namespace

int runMerge(std::span<char* const> args) {
  const CommandSyntax syntax{
      "merge",
      "merge PROJECT.orp RESULTS.jsonl...",
      "Puts the results of `check --list --format jsonl` runs over the project's list\n"
      "(as `export --addresses` writes it) into the project's entries, as if a run had\n"
      "made them, and saves the project. A result lands on the entry of its line\n"
      "number only when the entry's text is the result's address; the others are\n"
      "counted and reported. A file that is not such results is refused, naming its\n"
      "line, before anything changes.\n",
      {}};
  std::vector<std::string> operands;
  if (auto status = parseCommandLine(syntax, args, operands)) return *status;
  if (operands.size() < 2)
    return usageError(syntax, "give a project and at least one results file");
  const std::string& path = operands.front();
  RecipientList list;
  std::vector<std::pair<std::size_t, RecordFields>> results;  // (entry, record)
  std::size_t unmatched = 0;
  try {
    loadProject(path, list);
    const std::vector<std::size_t> lines = listLines(list);
    for (std::size_t f = 1; f < operands.size(); ++f) {
      std::ifstream in(operands[f], std::ios::binary);
      if (!in) {
        std::fprintf(stderr, "orvane-cli merge: cannot read %s\n", operands[f].c_str());
        return kExitFailed;
      }
      std::string line;
      for (std::size_t number = 1; std::getline(in, line); ++number) {
        RecordFields r;
        if (!parseRecord(line, r)) {
          // A half-written last line (a killed run) is no result yet.
          if (in.eof()) break;
          std::fprintf(stderr, "orvane-cli merge: line %zu of %s is not a result record\n", number,
                       operands[f].c_str());
          return kExitFailed;
        }
        if (r.index < lines.size() && list.entry(lines[r.index]).email() == r.address) {
          results.emplace_back(lines[r.index], std::move(r));
        } else {
          ++unmatched;
        }
      }
    }
    list.runStarted();
    for (auto& [entry, r] : results) {
      list.entryTakenForChecking(entry);
      list.entryValidationEnded(entry, r.code, r.message, std::move(r.log));
    }
    list.runFinished();
    saveProject(path, list);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return kExitFailed;
  }
  std::fprintf(stderr, "orvane-cli merge: %zu results merged into %s", results.size(),
               path.c_str());
  if (unmatched > 0) {
    std::fprintf(stderr, "; %zu results match no entry of the project (left out)", unmatched);
  }
  std::fputc('\n', stderr);
  return kExitOk;
}

}  // namespace orvane::cli
