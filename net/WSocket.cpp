#include "net/WSocket.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "core/Text.h"
#include "net/WSocketInternal.h"

namespace orvane::net {

int lastErrno() {
  return socketErrorFromErrno(errno);
}

bool socketAddressOf(int fd, bool peer, SocketAddress& name) {
  sockaddr_storage raw{};
  socklen_t len = sizeof raw;
  auto* sa = reinterpret_cast<sockaddr*>(&raw);
  if ((peer ? getpeername(fd, sa, &len) : getsockname(fd, sa, &len)) != 0) return false;
  name = SocketAddress::fromSystem(sa, len);
  return true;
}

// ---------------------------------------------------------------------------
// Construction

TWSocket::TWSocket(EventLoop& loop)
    : loop_(loop), life_(std::make_shared<int>(0)), poll_(loop, &TWSocket::onPoll, this) {
  AssignDefaultValue();
}

TWSocket::~TWSocket() {
  destroying_ = true;
  life_.reset();  // posted notices and handler guards see the socket gone
  try {
    CancelDnsLookup();
  } catch (...) {
  }
  try {
    if (hSocket_ >= 0 || state_ != wsClosed) internalClose(false, 0);
  } catch (...) {
  }
  closeHandleOnly();
}

// ---------------------------------------------------------------------------
// Properties

void TWSocket::setEndpointText(const char* what, const std::string& value, std::string& text,
                               bool& assigned, bool& resolved) {
  if (state_ != wsClosed) {
    raiseException(std::string("Cannot change ") + what + " if not closed");
    return;
  }
  if (assigned && value == text) return;
  resolved = false;
  text = std::string(trimBlanks(value));
  assigned = !text.empty();
}

void TWSocket::setAddr(const std::string& value) {
  setEndpointText("Addr", value, addrStr_, addrAssigned_, addrResolved_);
}

void TWSocket::setPort(const std::string& value) {
  setEndpointText("Port", value, portStr_, portAssigned_, portResolved_);
}

void TWSocket::setProto(const std::string& value) {
  setEndpointText("Proto", value, protoStr_, protoAssigned_, protoResolved_);
}

void TWSocket::setLocalPort(const std::string& value) {
  if (state_ != wsClosed) {
    raiseException("Cannot change LocalPort if not closed");
    return;
  }
  localPortStr_ = value;
  localPortResolved_ = false;
}

void TWSocket::setLocalAddr(const std::string& value) {
  if (state_ != wsClosed) {
    raiseException("Cannot change LocalAddr if not closed");
    return;
  }
  localAddrStr_ = std::string(trimBlanks(value));
}

TSocketSendFlags TWSocket::SendFlags() const {
  if (sendFlags_ != wsSendNormal && sendFlags_ != wsSendUrgent)
    throw ESocketException("Invalid internal SendFlags");
  return static_cast<TSocketSendFlags>(sendFlags_);
}

void TWSocket::setSendFlags(TSocketSendFlags value) {
  if (value != wsSendNormal && value != wsSendUrgent) {
    raiseException("Invalid SendFlags");
    return;
  }
  sendFlags_ = value;
}

void TWSocket::setLineMode(bool value) {
  if (value == lineMode_) return;
  lineMode_ = value;
  lines_.markLine(0);
  if (!lines_.empty()) postLineRetrigger();
}

void TWSocket::setLineEnd(const std::string& value) {
  lines_.setLineEnd(value);
  if (lineMode_ && !lines_.empty()) postLineRetrigger();
}

// ---------------------------------------------------------------------------
// Error reporting

void TWSocket::raiseException(const std::string& msg) {
  if (OnError) {
    OnError(*this);
    return;
  }
  throw ESocketException(msg);
}

void TWSocket::socketError(const std::string& fn, int code) {
  // A connection that is reset or not connected is unusable: release it now,
  // without a session-closed report.
  if (code == WSAECONNRESET || code == WSAENOTCONN) closeWithSocketError(code);
  lastError_ = code;
  raiseException(socketErrorMessage(code, fn));
}

void TWSocket::closeWithSocketError(int /*code*/) {
  if (hSocket_ < 0 && state_ == wsClosed) return;
  closeHandleOnly();
  ++connId_;
  lines_.clear();
  changeState(wsClosed);
  AssignDefaultValue();
}

void TWSocket::handleBgException(std::exception_ptr ex) {
  std::weak_ptr<int> token = life_;
  bool canClose = true;
  if (OnBgException) {
    try {
      try {
        std::rethrow_exception(ex);
      } catch (const std::exception& e) {
        OnBgException(*this, e, canClose);
      } catch (...) {
        const std::runtime_error unknown("unknown exception");
        OnBgException(*this, unknown, canClose);
      }
    } catch (...) {
      // A failing exception handler must not take the loop down.
    }
  }
  if (token.expired()) return;
  if (canClose) {
    try {
      Abort();
    } catch (...) {
    }
  }
}

void TWSocket::changeState(TSocketState newState) {
  const TSocketState old = state_;
  state_ = newState;
  if (OnChangeState && !destroying_) OnChangeState(*this, old, newState);
}

// ---------------------------------------------------------------------------
// Defaults, readiness watching

void TWSocket::AssignDefaultValue() {
  if (hSocket_ >= 0) closeHandleOnly();
  remote_ = SocketAddress();
  addrAssigned_ = false;
  addrResolved_ = false;
  portAssigned_ = false;
  portResolved_ = false;
  portNum_ = 0;
  protoAssigned_ = true;
  protoResolved_ = true;
  protoStr_ = "tcp";
  proto_ = IPPROTO_TCP;
  sockType_ = SOCK_STREAM;
  localPortStr_ = "0";
  localPortResolved_ = false;
  localPortNum_ = 0;
  lingerOnOff_ = wsLingerOn;
  lingerTimeout_ = 0;
  hSocket_ = -1;
  state_ = wsClosed;
  allSent_ = true;
  readCount_ = 0;
  paused_ = false;
  closeInvoked_ = false;
  flushTimeout_ = 60;
  readSuspended_ = false;
  socksActive_ = false;
  socks_.reset();
}

void TWSocket::startPoll() {
  if (!poll_.open(hSocket_)) return;
  updatePoll();
}

void TWSocket::updatePoll() {
  if (!poll_.isOpen()) return;
  int want = 0;
  if (!paused_ && hSocket_ >= 0) {
    switch (state_) {
      case wsConnecting:
        want = socks_.running() ? (UV_READABLE | UV_DISCONNECT) : UV_WRITABLE;
        break;
      case wsListening:
        want = readSuspended_ ? 0 : UV_READABLE;
        break;
      case wsConnected:
        want = (readSuspended_ ? 0 : UV_READABLE) | (allSent_ ? 0 : UV_WRITABLE);
        if (sockType_ == SOCK_STREAM) want |= UV_DISCONNECT;
        break;
      default:
        break;
    }
  }
  // Kept as it is while unchanged: re-arming costs a system call.
  poll_.set(want);
}

void TWSocket::stopPoll() {
  poll_.close(false);
}

void TWSocket::closeHandleOnly() {
  poll_.close(hSocket_ >= 0);
  if (hSocket_ >= 0) {
    ::close(hSocket_);
    hSocket_ = -1;
  }
}

void TWSocket::postLineRetrigger() {
  if (lineRetriggerPosted_) return;
  lineRetriggerPosted_ = true;
  const std::uint64_t id = connId_;
  loop_.post(life_, [this, id] {
    lineRetriggerPosted_ = false;
    if (id != connId_ || hSocket_ < 0 || paused_ || state_ != wsConnected) return;
    fromLoop([this] {
      if (lineMode_)
        lineReceiveLoop(0, false);
      else
        receiveLoop(0);
    });
  });
}

// ---------------------------------------------------------------------------
// Connect

void TWSocket::resolveForConnect() {
  if (!protoResolved_) {
    proto_ = WSocketResolveProto(protoStr_);
    sockType_ = proto_ == IPPROTO_UDP ? SOCK_DGRAM : SOCK_STREAM;
    protoResolved_ = true;
  }
  if (!portResolved_) {
    portNum_ = WSocketResolvePort(portStr_, protoStr_);
    portResolved_ = true;
  }
  if (!localPortResolved_) {
    localPortNum_ = WSocketResolvePort(localPortStr_, protoStr_);
    localPortResolved_ = true;
  }
  if (!addrResolved_) {
    remote_ = resolveRemote(addrStr_, portNum_);
    addrResolved_ = true;
  }
  remote_.setPort(portNum_);
}

SocketAddress TWSocket::resolveRemote(const std::string& addr, std::uint16_t port) {
  const std::string text(trimBlanks(addr));
  if (text.find(':') == std::string::npos)
    return SocketAddress::fromIpv4(WSocketResolveHost(addr), port);
  const auto v6 = SocketAddress::parse(text, port);
  if (!v6) throw ESocketException("WSocketResolveHost: '" + addr + "' Invalid IP address.");
  return *v6;
}

// Binds to LocalAddr (or the wildcard address) and the local port. On
// failure the socket is released (closed without a session-closed report, so
// that the next Connect starts afresh) and the failure reported; returns
// false.
bool TWSocket::bindSocket() {
  const auto fail = [this](int code, const std::string& message) {
    closeWithSocketError(code);
    lastError_ = code;
    raiseException(message);
    return false;
  };
  const auto bindFailed = [](int code, const std::string& detail) {
    return "winsock.bind failed, error #" + std::to_string(code) + " (" + detail + ")";
  };
  SocketAddress local = SocketAddress::any(remote_.family(), localPortNum_);
  if (!localAddrStr_.empty()) {
    const auto parsed = SocketAddress::parse(localAddrStr_, localPortNum_);
    if (!parsed) return fail(0, "Invalid LocalAddr '" + localAddrStr_ + "'");
    if (parsed->family() != remote_.family()) {
      return fail(
          WSAEAFNOSUPPORT,
          bindFailed(WSAEAFNOSUPPORT, "local address " + localAddrStr_ + " and remote address " +
                                          remote_.ip() + " are of different families"));
    }
    local = *parsed;
  }
  if (::bind(hSocket_, local.data(), local.size()) != 0) {
    const int code = lastErrno();
    if (localAddrStr_.empty())
      return fail(code, "winsock.bind failed, error #" + std::to_string(code));
    return fail(
        code, bindFailed(code, "local address " + localAddrStr_ +
                                   (code == WSAEADDRNOTAVAIL ? " is not an address of this machine"
                                                             : "")));
  }
  SocketAddress bound;
  if (!socketAddressOf(hSocket_, false, bound)) {
    const int code = lastErrno();
    return fail(code, "winsock.getsockname failed, error #" + std::to_string(code));
  }
  localPortNum_ = bound.port();
  localPortStr_ = std::to_string(localPortNum_);
  return true;
}

void TWSocket::setLingerOption() {
  if (lingerOnOff_ == wsLingerNoSet) return;
  if (hSocket_ < 0) {
    raiseException("Cannot set linger option at this time");
    return;
  }
  linger l{};
  l.l_onoff = lingerOnOff_ == wsLingerOn ? 1 : 0;
  l.l_linger = static_cast<std::uint16_t>(lingerTimeout_);
  if (setsockopt(hSocket_, SOL_SOCKET, SO_LINGER, &l, sizeof l) != 0)
    socketError("setsockopt(SO_LINGER)", lastErrno());
}

void TWSocket::Connect() {
  std::weak_ptr<int> token = life_;
  if (hSocket_ >= 0 && state_ != wsClosed) {
    raiseException("Connect: Socket already in use");
    return;
  }
  if (!portAssigned_) {
    raiseException("Connect: No Port Specified");
    return;
  }
  if (!addrAssigned_) {
    raiseException("Connect: No IP Address Specified");
    return;
  }
  if (!protoAssigned_) {
    raiseException("Connect: No Protocol Specified");
    return;
  }
  if (!routeThroughSocks()) return;
  resolveForConnect();

  deleteBufferedData();
  hSocket_ = openSocketHandle();
  if (hSocket_ < 0) {
    socketError("Connect (socket)", lastErrno());
    return;
  }
  ++connId_;
  lines_.clear();
  changeState(wsOpened);
  if (token.expired()) return;

  if (sockType_ == SOCK_STREAM) {
    if (localPortNum_ != 0 || !localAddrStr_.empty()) {
      if (!bindSocket() || token.expired() || hSocket_ < 0) return;
    }
    setLingerOption();
    if (token.expired() || hSocket_ < 0) return;
    int on = 1;
    if (setsockopt(hSocket_, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) != 0) {
      socketError("setsockopt(SO_KEEPALIVE)", lastErrno());
      return;
    }
    if (setsockopt(hSocket_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
      socketError("setsockopt(SO_REUSEADDR)", lastErrno());
      return;
    }
  } else {
    if (!bindSocket() || token.expired() || hSocket_ < 0) return;
    if (remote_.family() == AF_INET &&
        reinterpret_cast<const sockaddr_in*>(remote_.data())->sin_addr.s_addr ==
            htonl(INADDR_BROADCAST)) {
      int on = 1;
      if (setsockopt(hSocket_, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0) {
        socketError("setsockopt(SO_BROADCAST)", lastErrno());
        return;
      }
    }
  }

  startPoll();
  if (!poll_.isOpen()) {
    socketError("WSAAsyncSelect", WSAENOBUFS);
    return;
  }

  if (sockType_ == SOCK_DGRAM) {
    changeState(wsConnected);
    if (token.expired()) return;
    updatePoll();
    if (OnSessionConnected) OnSessionConnected(*this, 0);
    return;
  }

  if (::connect(hSocket_, remote_.data(), remote_.size()) == 0 || errno == EINPROGRESS ||
      errno == EAGAIN) {
    changeState(wsConnecting);
    if (!token.expired()) updatePoll();
    return;
  }
  const int err = errno;
  if (err == ECONNREFUSED || err == ENETUNREACH || err == EHOSTUNREACH || err == ETIMEDOUT ||
      err == ECONNRESET || err == EHOSTDOWN || err == ENETDOWN) {
    // The outcome of the attempt is known at once; report it like any other
    // outcome, from the loop, so callers see one path whatever the timing.
    changeState(wsConnecting);
    if (token.expired()) return;
    stopPoll();
    const std::uint64_t id = connId_;
    const int code = socketErrorFromErrno(err);
    loop_.post(life_, [this, id, code] {
      if (id != connId_ || state_ != wsConnecting) return;
      fromLoop([this, code] { handleConnectEvent(code); });
    });
    return;
  }
  lastError_ = socketErrorFromErrno(err);
  socketError("Connect", lastError_);
}

// ---------------------------------------------------------------------------
// Closing

void TWSocket::internalClose(bool shutdown, int error) {
  std::weak_ptr<int> token = life_;
  if (hSocket_ < 0) {
    if (state_ != wsClosed) {
      changeState(wsClosed);
      if (token.expired()) return;
      AssignDefaultValue();
    }
    return;
  }
  if (state_ == wsClosed) return;
  if (shutdown) ::shutdown(hSocket_, SHUT_WR);
  poll_.close(true);
  const int fd = hSocket_;
  hSocket_ = -1;
  ++connId_;
  lines_.clear();
  deleteBufferedData();
  if (::close(fd) != 0 && errno != EINTR) {
    // The descriptor is released whatever close() reports; say so and finish
    // the close so that the object stays usable.
    const int code = lastErrno();
    changeState(wsClosed);
    if (token.expired()) return;
    AssignDefaultValue();
    socketError("Disconnect (closesocket)", code);
    return;
  }
  changeState(wsClosed);
  if (token.expired()) return;
  if (!destroying_ && !closeInvoked_ && OnSessionClosed) {
    closeInvoked_ = true;
    OnSessionClosed(*this, static_cast<std::uint16_t>(error));
    if (token.expired()) return;
  }
  AssignDefaultValue();
}

void TWSocket::Close() {
  internalClose(true, 0);
}

void TWSocket::Abort() {
  std::weak_ptr<int> token = life_;
  CancelDnsLookup();
  if (token.expired()) return;
  deleteBufferedData();
  if (state_ == wsConnected && proto_ == IPPROTO_TCP && hSocket_ >= 0) {
    lingerOnOff_ = wsLingerOff;
    setLingerOption();
    if (token.expired()) return;
  }
  internalClose(false, 0);
}

void TWSocket::Shutdown(int how) {
  if (hSocket_ >= 0) ::shutdown(hSocket_, how);
}

void TWSocket::Pause() {
  paused_ = true;
  updatePoll();
}

void TWSocket::Resume() {
  paused_ = false;
  updatePoll();
}

// ---------------------------------------------------------------------------
// Addresses

int TWSocket::openSocketHandle() {
  const int family = remote_.isIpv6() ? AF_INET6 : AF_INET;
  const int fd = ::socket(family, sockType_ | SOCK_NONBLOCK | SOCK_CLOEXEC, proto_);
  if (fd >= 0 && family == AF_INET6) {
    // An IPv6 socket speaks IPv6 only: an IPv4 peer is reached through an
    // IPv4 socket, so the family in use is always the address's own.
    const int on = 1;
    setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
  }
  return fd;
}

std::string TWSocket::GetPeerAddr() {
  if (state_ != wsConnected) return "error";
  if (sockType_ == SOCK_DGRAM) return remote_.ip();
  SocketAddress peer;
  if (GetPeerName(peer) != 0) return "error";
  return peer.ip();
}

int TWSocket::GetPeerName(SocketAddress& name) {
  if (hSocket_ < 0 || !socketAddressOf(hSocket_, true, name)) {
    socketError("GetPeerName", hSocket_ < 0 ? WSAENOTSOCK : lastErrno());
    return -1;
  }
  return 0;
}

int TWSocket::GetSockName(SocketAddress& name) {
  if (hSocket_ < 0 || !socketAddressOf(hSocket_, false, name)) {
    socketError("GetSockName", hSocket_ < 0 ? WSAENOTSOCK : lastErrno());
    return -1;
  }
  return 0;
}

std::string TWSocket::GetXPort() {
  if (hSocket_ < 0 || (state_ != wsBound && state_ != wsConnected && state_ != wsListening))
    return "error";
  SocketAddress local;
  if (!socketAddressOf(hSocket_, false, local)) return "error";
  return std::to_string(local.port());
}

}  // namespace orvane::net
