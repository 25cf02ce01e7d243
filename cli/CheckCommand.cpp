// orvane-cli check: validates addresses given on the command line or in a
// list file, one record per address on standard output.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "core/Text.h"

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

// The non-blank lines of a stream, one at a time (line ends "\n" or
// "\r\n"); the stream is read only as far as the run has got.
bool NextLine(std::istream& in, std::string& line) {
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!trimBlanks(line).empty()) return true;
  }
  return false;
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

  std::ifstream file;
  std::istream* in = nullptr;
  if (options.listFile) {
    if (*options.listFile == "-") {
      in = &std::cin;
    } else {
      file.open(*options.listFile, std::ios::binary);
      if (!file) {
        std::fprintf(stderr, "Cannot open file %s\n", options.listFile->c_str());
        return kExitFailed;
      }
      in = &file;
    }
  }
  // The first address is read before the run starts: a list without any is
  // refused as an empty project would be.
  std::string first;
  std::size_t operand = 0;
  const auto next = [&](std::string& text) {
    if (in != nullptr) return NextLine(*in, text);
    if (operand >= options.operands.size()) return false;
    text = options.operands[operand++];
    return true;
  };
  if (!next(first)) {
    std::fprintf(stderr, "%s\n", std::string(engine::kNothingToCheck).c_str());
    return kExitFailed;
  }
  bool firstGiven = false;
  return ValidateSource(
      [&](std::string& text) {
        if (!firstGiven) {
          firstGiven = true;
          text = std::move(first);
          return true;
        }
        return next(text);
      },
      in == nullptr ? options.operands.size() : 0, options);
}

}  // namespace orvane::cli
