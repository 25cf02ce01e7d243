// orvane-cli: the command-line front end. Dispatches to one subcommand.
#include <cstdio>
#include <span>
#include <string_view>

#include "cli/Commands.h"

namespace orvane::cli {
namespace {

struct Command {
  std::string_view name;
  std::string_view synopsis;
  int (*run)(std::span<char* const> args);
};

constexpr Command kCommands[] = {
    {"show", "show PROJECT.orp          print a project's columns and entries", runShow},
    {"check", "check [OPTIONS] ADDRESS... | --list FILE   validate addresses", runCheck},
    {"run", "run [OPTIONS] PROJECT.orp   validate a project's checked entries and save", runRun},
    {"import", "import FILE -o PROJECT.orp [OPTIONS]   add a text, CSV or dBase list", runImport},
    {"export", "export PROJECT.orp [-o FILE.csv]   write the list as CSV", runExport},
    {"merge", "merge PROJECT.orp RESULTS.jsonl...   put results of runs elsewhere into it",
     runMerge},
    {"doctor", "doctor [OPTIONS]          check that this machine can validate at all", runDoctor},
};

void printUsage(std::FILE* out) {
  std::fprintf(out, "Usage: orvane-cli COMMAND [ARGS...]\n\nCommands:\n");
  for (const auto& c : kCommands) {
    std::fprintf(out, "  %.*s\n", static_cast<int>(c.synopsis.size()), c.synopsis.data());
  }
  std::fprintf(out, "\nRun 'orvane-cli COMMAND --help' for a command's options.\n");
}

}  // namespace
}  // namespace orvane::cli

int main(int argc, char** argv) {
  using namespace orvane::cli;
  if (argc < 2) {
    printUsage(stderr);
    return kExitUsage;
  }
  const std::string_view name = argv[1];
  if (name == "--help" || name == "-h") {
    printUsage(stdout);
    return kExitOk;
  }
  for (const auto& c : kCommands) {
    if (c.name == name) return c.run(std::span<char* const>(argv + 2, argv + argc));
  }
  std::fprintf(stderr, "orvane-cli: unknown command '%s'\n", argv[1]);
  printUsage(stderr);
  return kExitUsage;
}
