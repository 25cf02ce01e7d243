#include <cstdio>

#include "cli/Commands.h"

namespace orvane::cli {

int runShow(std::span<char* const> args) {
  if (args.size() == 1 && isHelp(args[0])) {
    std::printf("Usage: orvane-cli show PROJECT.orp\n");
    return kExitOk;
  }
  std::fprintf(stderr, "orvane-cli show: not available yet\n");
  return kExitFailed;
}

}  // namespace orvane::cli
