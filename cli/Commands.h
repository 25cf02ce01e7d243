// The subcommands of orvane-cli. Each takes the arguments after its own name
// and returns the process exit status: 0 done, 1 could not do it (message on
// standard error), 2 usage error (cli/Options.h). `doctor` also ends with 1
// when a check found a problem, and with 3 when it found only warnings.
//
// Runs on the main thread; commands that validate run the event loop there.
#pragma once

#include <span>

namespace orvane::cli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitWarnings = 3;

int runShow(std::span<char* const> args);
int runCheck(std::span<char* const> args);
int runRun(std::span<char* const> args);
int runImport(std::span<char* const> args);
int runExport(std::span<char* const> args);
int runMerge(std::span<char* const> args);
int runDoctor(std::span<char* const> args);

}  // namespace orvane::cli
