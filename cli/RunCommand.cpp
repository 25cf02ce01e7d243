// orvane-cli run: validates a project's checked entries as Start Validation
// does and saves the results into the project file when the run ends (also
// when Ctrl-C stopped it).
#include <cstdio>
#include <exception>
#include <string>

#include "cli/Commands.h"
#include "cli/Validation.h"
#include "core/ProjectFile.h"
#include "core/RecipientList.h"

namespace orvane::cli {

namespace {

void PrintRunUsage(std::FILE* out) {
  std::fprintf(out, "Usage: orvane-cli run [OPTIONS] PROJECT.orp\n\n%s", kValidateOptionsHelp);
}

}  // namespace

int runRun(std::span<char* const> args) {
  ValidateOptions options;
  if (auto error = ParseValidateOptions(args, false, options)) {
    std::fprintf(stderr, "orvane-cli run: %s\n", error->c_str());
    PrintRunUsage(stderr);
    return kExitUsage;
  }
  if (options.help) {
    PrintRunUsage(stdout);
    return kExitOk;
  }
  if (options.operands.size() != 1) {
    std::fprintf(stderr, "orvane-cli run: give exactly one project file\n");
    PrintRunUsage(stderr);
    return kExitUsage;
  }
  const std::string& path = options.operands.front();

  RecipientList list;
  try {
    loadProject(path, list);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return kExitFailed;
  }
  bool ran = false;
  int status = ValidateList(list, options, ran);
  if (ran) {
    try {
      saveProject(path, list);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "%s\n", e.what());
      status = kExitFailed;
    }
  }
  return status;
}

}  // namespace orvane::cli
