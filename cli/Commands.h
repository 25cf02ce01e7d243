// The subcommands of orvane-cli. Each takes the arguments after its own name
// and returns the process exit status: 0 done, 1 could not do it (message on
// standard error), 2 usage error.
//
// Runs on the main thread; commands that validate run the event loop there.
#pragma once

#include <span>
#include <string_view>

namespace orvane::cli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

using CommandFn = int (*)(std::span<char* const> args);

struct Command {
  std::string_view name;
  std::string_view synopsis;
  CommandFn run;
};

int runShow(std::span<char* const> args);
int runCheck(std::span<char* const> args);
int runRun(std::span<char* const> args);
int runImport(std::span<char* const> args);
int runExport(std::span<char* const> args);

// Prints "orvane-cli COMMAND: WHAT ARG" (when `what` is given) and then
// `usage` on standard error; returns kExitUsage.
int usageError(std::string_view command, const char* usage, const char* what, const char* arg);

// True when `arg` is "--help" or "-h".
bool isHelp(std::string_view arg);

}  // namespace orvane::cli
