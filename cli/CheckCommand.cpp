// orvane-cli check: validates addresses given on the command line or in a
// list file, one record per address on standard output.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "cli/AddressInput.h"
#include "cli/Commands.h"
#include "cli/Validation.h"
#include "core/ProjectFile.h"

namespace orvane::cli {

int runCheck(std::span<char* const> args) {
  ValidateOptions options;
  std::optional<std::string> list;
  const std::string about =
      "Validates the addresses given, or those listed in FILE (one per line; - reads\n"
      "standard input), printing each result as it arrives.\n\n" +
      std::string(kValidateAbout);
  CommandSyntax syntax{"check", "check [OPTIONS] ADDRESS...\ncheck [OPTIONS] --list FILE", about,
                       validateOptions(options)};
  syntax.options.push_back({"list", 0, "FILE",
                            "read the addresses from FILE, one per line\n(- reads standard input)",
                            "", storeText(list)});
  std::vector<std::string> operands;
  if (auto status = parseCommandLine(syntax, args, operands)) return *status;
  if (list && !operands.empty()) return usageError(syntax, "give addresses or --list, not both");
  if (!list && operands.empty()) return usageError(syntax, "no address given");
  if (!list) {
    AddressInput input(std::move(operands));
    return validateInput(input, options);
  }
  const int fd = *list == "-" ? STDIN_FILENO : ::open(list->c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    std::fprintf(stderr, (std::string(kProjectCannotOpen) + "\n").c_str(), list->c_str());
    return kExitFailed;
  }
  AddressInput input(fd, *list);
  return validateInput(input, options);
}

}  // namespace orvane::cli
