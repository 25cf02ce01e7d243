// What the files implementing TWSocket (net/WSocket*.cpp) share and nothing
// else includes: small conversions and the guard that runs an event from the
// loop. Owns nothing; loop thread, like the socket.
#pragma once

#include <netinet/in.h>

#include <exception>
#include <memory>
#include <string>

#include "net/WSocket.h"

namespace orvane::net {

// errno as a Windows Sockets code.
int lastErrno();
// getpeername (peer) or getsockname of `fd` into `name`; false with errno set.
bool socketAddressOf(int fd, bool peer, SocketAddress& name);

// Runs `f` as an event from the loop: an exception escaping it goes to the
// background-exception step; nothing is touched once the socket is gone.
template <class F>
void TWSocket::fromLoop(F&& f) {
  std::weak_ptr<int> token = life_;
  try {
    f();
  } catch (...) {
    if (token.expired()) return;
    handleBgException(std::current_exception());
  }
}

}  // namespace orvane::net
