#include "tests/support/Loopback.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <ctime>
#include <stdexcept>
#include <vector>

#include "net/SocketAddress.h"

extern char** environ;

namespace orvane::testing {
namespace {

const char* const kBinary = "/usr/bin/microsocks";

// Binds ip:0 or connects to ip:port: the port bound or reached, 0 on failure.
std::uint16_t tcp(const char* ip, std::uint16_t port, bool bind) {
  const net::SocketAddress addr = *net::SocketAddress::parse(ip, port);
  const int fd = ::socket(addr.family(), SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_storage raw{};
  socklen_t length = sizeof raw;
  const bool ok = fd >= 0 &&
                  (bind ? ::bind(fd, addr.data(), addr.size())
                        : ::connect(fd, addr.data(), addr.size())) == 0 &&
                  ::getsockname(fd, reinterpret_cast<sockaddr*>(&raw), &length) == 0;
  if (fd >= 0) ::close(fd);
  if (!ok) return 0;
  return bind ? net::SocketAddress::fromSystem(reinterpret_cast<sockaddr*>(&raw), length).port()
              : port;
}

}  // namespace

bool hasIpv6Loopback() {
  return tcp("::1", 0, true) != 0;
}

std::uint16_t unusedLoopbackPort() {
  return tcp("127.0.0.1", 0, true);
}

bool MicrosocksProxy::installed() {
  return ::access(kBinary, X_OK) == 0;
}

MicrosocksProxy::MicrosocksProxy(const std::string& user, const std::string& password)
    : port_(unusedLoopbackPort()) {
  const std::string port = std::to_string(port_);
  std::vector<const char*> argv = {kBinary, "-i", "127.0.0.1", "-p", port.c_str()};
  if (!user.empty()) argv.insert(argv.end(), {"-u", user.c_str(), "-P", password.c_str()});
  argv.push_back(nullptr);
  if (posix_spawn(&pid_, kBinary, nullptr, nullptr, const_cast<char**>(argv.data()), environ) != 0)
    throw std::runtime_error("cannot start microsocks");
  const timespec millisecond{0, 1000 * 1000};
  for (int i = 0; i < 5000; ++i, nanosleep(&millisecond, nullptr)) {
    if (tcp("127.0.0.1", port_, false) != 0) return;
  }
  stop();
  throw std::runtime_error("microsocks does not accept connections");
}

void MicrosocksProxy::stop() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  ::waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

}  // namespace orvane::testing
