// TWSocket: the server side (listening, accepting, adopting an accepted
// descriptor).
#include "net/WSocket.h"

#include <fcntl.h>
#include <unistd.h>

#include "net/WSocketInternal.h"

namespace orvane::net {

void TWSocket::Listen() {
  std::weak_ptr<int> token = life_;
  if (!portAssigned_) {
    socketError("listen: port not assigned", WSAEINVAL);
    return;
  }
  if (!protoAssigned_) {
    socketError("listen: protocol not assigned", WSAEINVAL);
    return;
  }
  if (!addrAssigned_) {
    socketError("listen: address not assigned", WSAEINVAL);
    return;
  }
  if (!socksServer_.empty()) {
    raiseException("listening is not supported thru socks server");
    return;
  }
  if (hSocket_ >= 0 && state_ != wsClosed) {
    raiseException("Connect: Socket already in use");
    return;
  }
  resolveForConnect();
  deleteBufferedData();
  hSocket_ = openSocketHandle();
  if (hSocket_ < 0) {
    socketError("socket", lastErrno());
    return;
  }
  ++connId_;
  changeState(wsOpened);
  if (token.expired()) return;
  if (sockType_ == SOCK_STREAM) {
    int on = 1;
    setsockopt(hSocket_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  }
  if (::bind(hSocket_, remote_.data(), remote_.size()) != 0) {
    socketError("Bind", lastErrno());
    return;
  }
  changeState(wsBound);
  if (token.expired()) return;
  if (sockType_ == SOCK_DGRAM) {
    changeState(wsListening);
    if (token.expired()) return;
    changeState(wsConnected);
    if (token.expired()) return;
    startPoll();
    if (OnSessionConnected) OnSessionConnected(*this, 0);
    return;
  }
  if (::listen(hSocket_, listenBacklog_) != 0) {
    socketError("Listen", lastErrno());
    return;
  }
  changeState(wsListening);
  if (token.expired()) return;
  startPoll();
  if (!poll_.isOpen()) socketError("WSAASyncSelect", WSAENOBUFS);
}

int TWSocket::Accept() {
  if (state_ != wsListening) {
    socketError("not a listening socket", WSAEINVAL);
    return -1;
  }
  countReadAndRearm();
  const int fd = ::accept4(hSocket_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd < 0) {
    socketError("Accept", lastErrno());
    return -1;
  }
  return fd;
}

void TWSocket::Dup(int newHSocket) {
  std::weak_ptr<int> token = life_;
  if (newHSocket < 0) {
    socketError("Dup", WSAEINVAL);
    return;
  }
  if (hSocket_ >= 0) {
    poll_.close(true);
    if (::close(hSocket_) != 0) {
      hSocket_ = -1;
      socketError("Dup (closesocket)", lastErrno());
      return;
    }
    hSocket_ = -1;
  }
  deleteBufferedData();
  hSocket_ = newHSocket;
  ++connId_;
  lines_.clear();
  closeInvoked_ = false;
  readSuspended_ = false;
  const int flags = fcntl(hSocket_, F_GETFL);
  if (flags >= 0) fcntl(hSocket_, F_SETFL, flags | O_NONBLOCK);
  int type = SOCK_STREAM;
  socklen_t len = sizeof type;
  if (getsockopt(hSocket_, SOL_SOCKET, SO_TYPE, &type, &len) == 0) sockType_ = type;
  proto_ = sockType_ == SOCK_DGRAM ? IPPROTO_UDP : IPPROTO_TCP;
  protoStr_ = sockType_ == SOCK_DGRAM ? "udp" : "tcp";
  protoResolved_ = true;
  SocketAddress peer;
  if (socketAddressOf(hSocket_, true, peer)) remote_ = peer;
  if (sockType_ == SOCK_STREAM) {
    setLingerOption();
    if (token.expired() || hSocket_ < 0) return;
  }
  startPoll();
  if (!poll_.isOpen()) {
    socketError("WSAAsyncSelect", WSAENOBUFS);
    return;
  }
  changeState(wsConnected);
  if (!token.expired()) updatePoll();
}

}  // namespace orvane::net
