#include "tests/support/MicrosocksProxy.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <stdexcept>
#include <vector>

extern char** environ;

namespace orvane::testing {
namespace {

sockaddr_in loopback(std::uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  return a;
}

bool accepts(std::uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const sockaddr_in a = loopback(port);
  const bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
  ::close(fd);
  return ok;
}

}  // namespace

std::uint16_t unusedLoopbackPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a = loopback(0);
  socklen_t len = sizeof a;
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), len);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(fd);
  return ntohs(a.sin_port);
}

std::string MicrosocksProxy::binary() {
  for (const char* path : {"/usr/bin/microsocks", "/usr/local/bin/microsocks"}) {
    if (::access(path, X_OK) == 0) return path;
  }
  return {};
}

MicrosocksProxy::MicrosocksProxy(const std::string& user, const std::string& password) {
  // The port is free when chosen but could be taken before the proxy binds
  // it: a proxy that exits at once is started again on another port.
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (startOn(unusedLoopbackPort(), user, password)) return;
  }
  throw std::runtime_error("microsocks did not start");
}

MicrosocksProxy::~MicrosocksProxy() {
  stop();
}

bool MicrosocksProxy::startOn(std::uint16_t port, const std::string& user,
                              const std::string& password) {
  const std::string path = binary(), portText = std::to_string(port);
  std::vector<std::string> args = {path, "-i", "127.0.0.1", "-p", portText};
  if (!user.empty()) args.insert(args.end(), {"-u", user, "-P", password});
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  if (path.empty() || posix_spawn(&pid_, path.c_str(), nullptr, nullptr, argv.data(), environ) != 0)
    throw std::runtime_error("cannot start microsocks");
  const timespec pause{0, 1000 * 1000};
  for (int i = 0; i < 5000; ++i) {
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return false;
    }
    if (accepts(port)) {
      port_ = port;
      return true;
    }
    nanosleep(&pause, nullptr);
  }
  stop();
  return false;
}

void MicrosocksProxy::stop() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  int status = 0;
  ::waitpid(pid_, &status, 0);
  pid_ = -1;
}

}  // namespace orvane::testing
