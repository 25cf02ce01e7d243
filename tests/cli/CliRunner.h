// Runs bin/orvane-cli of this build as a child process and captures what it
// writes and how it ends. For the command-line tests; runs on the test's
// thread and blocks until the child has exited.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace orvane::testing {

struct CliResult {
  int status = -1;  // exit status; 128 + signal number when killed by a signal
  std::string out;  // everything written to standard output
  std::string err;  // everything written to standard error
};

// The path of the orvane-cli executable of this build.
std::string cliPath();

// Runs orvane-cli with `args` (the program name is added), feeding `input` on
// standard input (then end of file). A child still running after
// `timeoutMs` is killed; the result then says so on `err`.
CliResult runCli(const std::vector<std::string>& args, std::string_view input = {},
                 int timeoutMs = 60000);

}  // namespace orvane::testing
