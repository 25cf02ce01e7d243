// orvane-cli show PROJECT.orp: prints a project's columns and entries as
// tab-separated lines. Runs on the main thread; reads one file, no event loop.
#include <cstdio>
#include <string>
#include <string_view>

#include "cli/Commands.h"
#include "cli/Options.h"
#include "core/ProjectFile.h"
#include "core/RecipientList.h"

namespace orvane::cli {
namespace {

// A field never breaks the line or the columns of the output.
void appendField(std::string& line, std::string_view text) {
  for (char c : text) line.push_back(c == '\t' || c == '\n' || c == '\r' ? ' ' : c);
}

}  // namespace

int runShow(std::span<char* const> args) {
  const CommandSyntax syntax{
      "show",
      "show PROJECT.orp",
      "Prints the project's columns and entries as tab-separated lines: first one\n"
      "line of the columns, each as caption:width; then one line per entry: check\n"
      "state, result state, e-mail, then its sub-items in order (the result text\n"
      "first). Tabs and line breaks inside a text are printed as blanks.\n",
      {},
      1};
  std::vector<std::string> operands;
  if (auto status = parseCommandLine(syntax, args, operands)) return *status;
  if (operands.empty()) return usageError(syntax, "no project given");

  RecipientList list;
  try {
    loadProject(operands.front(), list);
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
