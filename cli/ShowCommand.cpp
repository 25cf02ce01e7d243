// orvane-cli show PROJECT.orp: prints a project's columns and entries as
// tab-separated lines. Runs on the main thread; reads one file, no event loop.
#include <cstdio>
#include <string>
#include <string_view>

#include "cli/Commands.h"
#include "core/ProjectFile.h"
#include "core/RecipientList.h"

namespace orvane::cli {
namespace {

constexpr const char* kShowUsage =
    "Usage: orvane-cli show PROJECT.orp\n"
    "\n"
    "Prints the project's columns and entries as tab-separated lines: first one\n"
    "line of the columns, each as caption:width; then one line per entry: check\n"
    "state, result state, e-mail, then its sub-items in order (the result text\n"
    "first). Tabs and line breaks inside a text are printed as blanks.\n";

// A field never breaks the line or the columns of the output.
void appendField(std::string& line, std::string_view text) {
  for (char c : text) line.push_back(c == '\t' || c == '\n' || c == '\r' ? ' ' : c);
}

}  // namespace

int runShow(std::span<char* const> args) {
  for (const char* arg : args) {
    if (isHelp(arg)) {
      std::fputs(kShowUsage, stdout);
      return kExitOk;
    }
  }
  if (args.size() != 1 || (args[0][0] == '-' && args[0][1] != '\0')) {
    if (args.size() == 1) std::fprintf(stderr, "orvane-cli show: unknown option '%s'\n", args[0]);
    std::fputs(kShowUsage, stderr);
    return kExitUsage;
  }

  RecipientList list;
  try {
    loadProject(args[0], list);
  } catch (const ProjectFileError& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return kExitFailed;
  }

  std::string line;
  for (std::size_t i = 0; i < list.columns().size(); ++i) {
    const Column& c = list.columns()[i];
    if (i > 0) line.push_back('\t');
    appendField(line, c.caption);
    line += ':';
    line += std::to_string(c.width);
  }
  line.push_back('\n');
  std::fwrite(line.data(), 1, line.size(), stdout);
  for (const Entry& e : list.entries()) {
    line = std::to_string(e.checkState);
    line.push_back('\t');
    line += std::to_string(e.resultState);
    line.push_back('\t');
    appendField(line, e.email());
    for (std::size_t k = 0; k < e.subItemCount(); ++k) {
      line.push_back('\t');
      appendField(line, e.subItem(k));
    }
    line.push_back('\n');
    std::fwrite(line.data(), 1, line.size(), stdout);
  }
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::perror("orvane-cli show");
    return kExitFailed;
  }
  return kExitOk;
}

}  // namespace orvane::cli
