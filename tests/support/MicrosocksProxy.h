// The Debian `microsocks` SOCKS 5 server as a test fixture: started as a child
// process on a free 127.0.0.1 port, with or without a user name and password,
// and stopped (SIGTERM, then reaped) when the fixture goes. Owns the child
// process. Test thread only.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

namespace orvane::testing {

class MicrosocksProxy final {
 public:
  // The binary's path, or "" when it is not installed (tests then skip).
  static std::string binary();

  // Starts the proxy (SOCKS 5 user/password authentication when `user` is
  // not empty) and returns once it accepts connections: its port is polled
  // every millisecond, at most five seconds. Throws std::runtime_error when
  // it cannot be started.
  explicit MicrosocksProxy(const std::string& user = {}, const std::string& password = {});
  ~MicrosocksProxy();
  MicrosocksProxy(const MicrosocksProxy&) = delete;
  MicrosocksProxy& operator=(const MicrosocksProxy&) = delete;

  std::uint16_t port() const noexcept { return port_; }

 private:
  bool startOn(std::uint16_t port, const std::string& user, const std::string& password);
  void stop();

  pid_t pid_ = -1;
  std::uint16_t port_ = 0;
};

// A 127.0.0.1 TCP port nothing listened on a moment ago (a proxy that is down).
std::uint16_t unusedLoopbackPort();

}  // namespace orvane::testing
