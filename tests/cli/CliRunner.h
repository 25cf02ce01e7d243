// Runs bin/orvane-cli of this build as a child process and captures what it
// writes and how it ends. For the command-line tests; runs on the test's
// thread and blocks until the child has exited.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <functional>
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
// standard input (then end of file). `started`, when given, is called with the
// child's process id before any output is read (to signal it, for example). A
// child still running after `timeoutMs` is killed; the result then says so on
// `err`.
CliResult runCli(const std::vector<std::string>& args, std::string_view input = {},
                 const std::function<void(pid_t)>& started = {}, int timeoutMs = 60000);

// A fresh temporary folder, removed with everything in it at the end.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string file(const std::string& name) const { return (path_ / name).string(); }
  // Writes `bytes` to the file `name` and returns its path.
  std::string write(const std::string& name, std::string_view bytes) const;

 private:
  std::filesystem::path path_;
};

// The whole contents of a file ("" when it cannot be read).
std::string readFile(const std::string& path);

}  // namespace orvane::testing
