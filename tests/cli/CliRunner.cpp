#include "tests/cli/CliRunner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <iterator>
#include <stdexcept>

extern char** environ;

namespace orvane::testing {
namespace {

struct Pipe {
  int fd[2] = {-1, -1};
  Pipe() {
    if (::pipe2(fd, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  }
  ~Pipe() {
    closeEnd(0);
    closeEnd(1);
  }
  void closeEnd(int i) {
    if (fd[i] >= 0) ::close(fd[i]);
    fd[i] = -1;
  }
};

}  // namespace

std::string cliPath() {
  return std::string(ORVANE_BIN_DIR) + "/orvane-cli";
}

CliResult runCli(const std::vector<std::string>& args, std::string_view input,
                 const std::function<void(pid_t)>& started, int timeoutMs) {
  const std::string program = cliPath();
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  Pipe in, out, err;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in.fd[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out.fd[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err.fd[1], 2);
  pid_t pid = -1;
  const int rc = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw std::runtime_error("cannot start " + program);
  in.closeEnd(0);
  out.closeEnd(1);
  err.closeEnd(1);
  if (started) started(pid);

  // Feed the input and drain both outputs together, so that no pipe fills up.
  ::signal(SIGPIPE, SIG_IGN);
  CliResult result;
  std::size_t fed = 0;
  if (input.empty()) in.closeEnd(1);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  bool timedOut = false;
  while (out.fd[0] >= 0 || err.fd[0] >= 0) {
    pollfd fds[3];
    nfds_t n = 0;
    if (out.fd[0] >= 0) fds[n++] = {out.fd[0], POLLIN, 0};
    if (err.fd[0] >= 0) fds[n++] = {err.fd[0], POLLIN, 0};
    if (in.fd[1] >= 0) fds[n++] = {in.fd[1], POLLOUT, 0};
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) {
      timedOut = true;
      break;
    }
    const int ready = ::poll(fds, n, static_cast<int>(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) break;
    for (nfds_t i = 0; i < n; ++i) {
      if (fds[i].revents == 0) continue;
      if (fds[i].fd == in.fd[1]) {
        const ssize_t w = ::write(in.fd[1], input.data() + fed, input.size() - fed);
        if (w > 0) fed += static_cast<std::size_t>(w);
        if (w < 0 || fed == input.size()) in.closeEnd(1);
        continue;
      }
      char buf[65536];
      const ssize_t r = ::read(fds[i].fd, buf, sizeof buf);
      if (r > 0) {
        (fds[i].fd == out.fd[0] ? result.out : result.err).append(buf, static_cast<std::size_t>(r));
      } else if (r == 0 || errno != EINTR) {
        (fds[i].fd == out.fd[0] ? out : err).closeEnd(0);
      }
    }
  }
  if (timedOut) {
    ::kill(pid, SIGKILL);
    result.err += "\n[runCli: killed after time-out]\n";
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

}  // namespace orvane::testing
