// Loopback helpers for network tests, and the Debian `microsocks` SOCKS 5
// server as a child process on a free 127.0.0.1 port (with or without user
// name and password), stopped and reaped with its object. Test thread only.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

namespace orvane::testing {

bool hasIpv6Loopback();              // ::1 can be bound
std::uint16_t unusedLoopbackPort();  // nothing listened there a moment ago

class MicrosocksProxy final {
 public:
  static bool installed();
  // Returns once it accepts connections (polled each ms, up to 5 s), else throws.
  explicit MicrosocksProxy(const std::string& user = {}, const std::string& password = {});
  ~MicrosocksProxy() { stop(); }
  std::uint16_t port() const noexcept { return port_; }

 private:
  void stop();
  pid_t pid_ = -1;
  std::uint16_t port_;
};

}  // namespace orvane::testing
