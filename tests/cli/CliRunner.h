// Runs bin/orvane-cli of this build as a child process and captures what it
// writes and how it ends. For the command-line tests; runs on the test's
// thread and blocks until the child has exited.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "tests/support/TestHelpers.h"

namespace orvane::testing {

struct CliResult {
  int status = -1;  // exit status; 128 + signal number when killed by a signal
  std::string out;  // everything written to standard output
  std::string err;  // everything written to standard error
};

// The path of the orvane-cli executable of this build.
std::string cliPath();

// Runs orvane-cli with `args` (the program name is added), feeding `input` on
// standard input (then end of file). `started`, when given, is called with the
// child's process id before any output is read (to signal it, for example). A
// child still running after `timeoutMs` is killed; the result then says so on
// `err`.
CliResult runCli(const std::vector<std::string>& args, std::string_view input = {},
                 const std::function<void(pid_t)>& started = {}, int timeoutMs = 60000);

}  // namespace orvane::testing
