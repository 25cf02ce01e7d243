#include "net/WSocket.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "core/Text.h"
#include "net/WSocketInternal.h"

namespace orvane::net {

std::string dottedAddress(in_addr a) {
  char buf[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &a, buf, sizeof buf);
  return buf;
}

int lastErrno() {
  return WSocketErrorFromErrno(errno);
}

// ---------------------------------------------------------------------------
// Construction

TWSocket::TWSocket(EventLoop& loop)
    : loop_(loop), life_(std::make_shared<int>(0)), poll_(loop, &TWSocket::OnPoll, this) {
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
    if (hSocket_ >= 0 || state_ != wsClosed) InternalClose(false, 0);
  } catch (...) {
  }
  CloseHandleOnly();
}

// ---------------------------------------------------------------------------
// Properties

void TWSocket::SetEndpointText(const char* what, const std::string& value, std::string& text,
                               bool& assigned, bool& resolved) {
  if (state_ != wsClosed) {
    RaiseException(std::string("Cannot change ") + what + " if not closed");
    return;
  }
  if (assigned && value == text) return;
  resolved = false;
  text = std::string(trimBlanks(value));
  assigned = !text.empty();
}

void TWSocket::SetAddr(const std::string& value) {
  SetEndpointText("Addr", value, addrStr_, addrAssigned_, addrResolved_);
}

void TWSocket::SetPort(const std::string& value) {
  SetEndpointText("Port", value, portStr_, portAssigned_, portResolved_);
}

void TWSocket::SetProto(const std::string& value) {
  SetEndpointText("Proto", value, protoStr_, protoAssigned_, protoResolved_);
}

void TWSocket::SetLocalPort(const std::string& value) {
  if (state_ != wsClosed) {
    RaiseException("Cannot change LocalPort if not closed");
    return;
  }
  localPortStr_ = value;
  localPortResolved_ = false;
}

TSocketSendFlags TWSocket::SendFlags() const {
  if (sendFlags_ != wsSendNormal && sendFlags_ != wsSendUrgent)
    throw ESocketException("Invalid internal SendFlags");
  return static_cast<TSocketSendFlags>(sendFlags_);
}

void TWSocket::SetSendFlags(TSocketSendFlags value) {
  if (value != wsSendNormal && value != wsSendUrgent) {
    RaiseException("Invalid SendFlags");
    return;
  }
  sendFlags_ = value;
}

void TWSocket::SetLineMode(bool value) {
  if (value == lineMode_) return;
  lineMode_ = value;
  lines_.markLine(0);
  if (!lines_.empty()) PostLineRetrigger();
}

void TWSocket::SetLineEnd(const std::string& value) {
  lines_.setLineEnd(value);
  if (lineMode_ && !lines_.empty()) PostLineRetrigger();
}

// ---------------------------------------------------------------------------
// Error reporting

void TWSocket::RaiseException(const std::string& msg) {
  if (OnError) {
    OnError(*this);
    return;
  }
  throw ESocketException(msg);
}

void TWSocket::SocketError(const std::string& fn, int code) {
  // A connection that is reset or not connected is unusable: release it now,
  // without a session-closed report.
  if (code == WSAECONNRESET || code == WSAENOTCONN) CloseWithSocketError(code);
  lastError_ = code;
  RaiseException(WSocketErrorMessage(code, fn));
}

void TWSocket::CloseWithSocketError(int /*code*/) {
  if (hSocket_ < 0 && state_ == wsClosed) return;
  CloseHandleOnly();
  ++connId_;
  lines_.clear();
  ChangeState(wsClosed);
  AssignDefaultValue();
}

void TWSocket::HandleBgException(std::exception_ptr ex) {
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

void TWSocket::ChangeState(TSocketState newState) {
  const TSocketState old = state_;
  state_ = newState;
  if (OnChangeState && !destroying_) OnChangeState(*this, old, newState);
}

// ---------------------------------------------------------------------------
// Defaults, readiness watching

void TWSocket::AssignDefaultValue() {
  if (hSocket_ >= 0) CloseHandleOnly();
  std::memset(&sin_, 0, sizeof sin_);
  sin_.sin_family = AF_INET;
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

void TWSocket::StartPoll() {
  if (!poll_.open(hSocket_)) return;
  UpdatePoll();
}

void TWSocket::UpdatePoll() {
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

void TWSocket::StopPoll() {
  poll_.close(false);
}

void TWSocket::CloseHandleOnly() {
  poll_.close(hSocket_ >= 0);
  if (hSocket_ >= 0) {
    ::close(hSocket_);
    hSocket_ = -1;
  }
}

void TWSocket::PostLineRetrigger() {
  if (lineRetriggerPosted_) return;
  lineRetriggerPosted_ = true;
  const std::uint64_t id = connId_;
  loop_.post(life_, [this, id] {
    lineRetriggerPosted_ = false;
    if (id != connId_ || hSocket_ < 0 || paused_ || state_ != wsConnected) return;
    FromLoop([this] {
      if (lineMode_)
        LineReceiveLoop(0, false);
      else
        ReceiveLoop(0);
    });
  });
}

// ---------------------------------------------------------------------------
// Connect

void TWSocket::ResolveForConnect() {
  if (!protoResolved_) {
    proto_ = WSocketResolveProto(protoStr_);
    sockType_ = proto_ == IPPROTO_UDP ? SOCK_DGRAM : SOCK_STREAM;
    protoResolved_ = true;
  }
  if (!portResolved_) {
    portNum_ = WSocketResolvePort(portStr_, protoStr_);
    sin_.sin_port = htons(portNum_);
    portResolved_ = true;
  }
  if (!localPortResolved_) {
    localPortNum_ = WSocketResolvePort(localPortStr_, protoStr_);
    localPortResolved_ = true;
  }
  if (!addrResolved_) {
    sin_.sin_family = AF_INET;
    sin_.sin_addr = WSocketResolveHost(addrStr_);
    addrResolved_ = true;
  }
}

void TWSocket::BindSocket() {
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  local.sin_port = htons(localPortNum_);
  if (::bind(hSocket_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    lastError_ = lastErrno();
    RaiseException("winsock.bind failed, error #" + std::to_string(lastError_));
    return;
  }
  socklen_t len = sizeof local;
  if (getsockname(hSocket_, reinterpret_cast<sockaddr*>(&local), &len) != 0) {
    lastError_ = lastErrno();
    RaiseException("winsock.getsockname failed, error #" + std::to_string(lastError_));
    return;
  }
  localPortNum_ = ntohs(local.sin_port);
  localPortStr_ = std::to_string(localPortNum_);
}

void TWSocket::SetLingerOption() {
  if (lingerOnOff_ == wsLingerNoSet) return;
  if (hSocket_ < 0) {
    RaiseException("Cannot set linger option at this time");
    return;
  }
  linger l{};
  l.l_onoff = lingerOnOff_ == wsLingerOn ? 1 : 0;
  l.l_linger = static_cast<std::uint16_t>(lingerTimeout_);
  if (setsockopt(hSocket_, SOL_SOCKET, SO_LINGER, &l, sizeof l) != 0)
    SocketError("setsockopt(SO_LINGER)", lastErrno());
}

void TWSocket::Connect() {
  std::weak_ptr<int> token = life_;
  if (hSocket_ >= 0 && state_ != wsClosed) {
    RaiseException("Connect: Socket already in use");
    return;
  }
  if (!portAssigned_) {
    RaiseException("Connect: No Port Specified");
    return;
  }
  if (!addrAssigned_) {
    RaiseException("Connect: No IP Address Specified");
    return;
  }
  if (!protoAssigned_) {
    RaiseException("Connect: No Protocol Specified");
    return;
  }
  if (!routeThroughSocks()) return;
  ResolveForConnect();

  DeleteBufferedData();
  hSocket_ = ::socket(AF_INET, sockType_ | SOCK_NONBLOCK | SOCK_CLOEXEC, proto_);
  if (hSocket_ < 0) {
    SocketError("Connect (socket)", lastErrno());
    return;
  }
  ++connId_;
  lines_.clear();
  ChangeState(wsOpened);
  if (token.expired()) return;

  if (sockType_ == SOCK_STREAM) {
    if (localPortNum_ != 0) {
      BindSocket();
      if (token.expired() || hSocket_ < 0) return;
    }
    SetLingerOption();
    if (token.expired() || hSocket_ < 0) return;
    int on = 1;
    if (setsockopt(hSocket_, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) != 0) {
      SocketError("setsockopt(SO_KEEPALIVE)", lastErrno());
      return;
    }
    if (setsockopt(hSocket_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
      SocketError("setsockopt(SO_REUSEADDR)", lastErrno());
      return;
    }
  } else {
    BindSocket();
    if (token.expired() || hSocket_ < 0) return;
    if (sin_.sin_addr.s_addr == htonl(INADDR_BROADCAST)) {
      int on = 1;
      if (setsockopt(hSocket_, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0) {
        SocketError("setsockopt(SO_BROADCAST)", lastErrno());
        return;
      }
    }
  }

  StartPoll();
  if (!poll_.isOpen()) {
    SocketError("WSAAsyncSelect", WSAENOBUFS);
    return;
  }

  if (sockType_ == SOCK_DGRAM) {
    ChangeState(wsConnected);
    if (token.expired()) return;
    UpdatePoll();
    if (OnSessionConnected) OnSessionConnected(*this, 0);
    return;
  }

  if (::connect(hSocket_, reinterpret_cast<sockaddr*>(&sin_), sizeof sin_) == 0 ||
      errno == EINPROGRESS || errno == EAGAIN) {
    ChangeState(wsConnecting);
    if (!token.expired()) UpdatePoll();
    return;
  }
  const int err = errno;
  if (err == ECONNREFUSED || err == ENETUNREACH || err == EHOSTUNREACH || err == ETIMEDOUT ||
      err == ECONNRESET || err == EHOSTDOWN) {
    // The outcome of the attempt is known at once; report it like any other
    // outcome, from the loop, so callers see one path whatever the timing.
    ChangeState(wsConnecting);
    if (token.expired()) return;
    StopPoll();
    const std::uint64_t id = connId_;
    const int code = WSocketErrorFromErrno(err);
    loop_.post(life_, [this, id, code] {
      if (id != connId_ || state_ != wsConnecting) return;
      FromLoop([this, code] { HandleConnectEvent(code); });
    });
    return;
  }
  lastError_ = WSocketErrorFromErrno(err);
  SocketError("Connect", lastError_);
}

// ---------------------------------------------------------------------------
// Closing

void TWSocket::InternalClose(bool shutdown, int error) {
  std::weak_ptr<int> token = life_;
  if (hSocket_ < 0) {
    if (state_ != wsClosed) {
      ChangeState(wsClosed);
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
  DeleteBufferedData();
  if (::close(fd) != 0 && errno != EINTR) {
    // The descriptor is released whatever close() reports; say so and finish
    // the close so that the object stays usable.
    const int code = lastErrno();
    ChangeState(wsClosed);
    if (token.expired()) return;
    AssignDefaultValue();
    SocketError("Disconnect (closesocket)", code);
    return;
  }
  ChangeState(wsClosed);
  if (token.expired()) return;
  if (!destroying_ && !closeInvoked_ && OnSessionClosed) {
    closeInvoked_ = true;
    OnSessionClosed(*this, static_cast<std::uint16_t>(error));
    if (token.expired()) return;
  }
  AssignDefaultValue();
}

void TWSocket::Close() {
  InternalClose(true, 0);
}

void TWSocket::Abort() {
  std::weak_ptr<int> token = life_;
  CancelDnsLookup();
  if (token.expired()) return;
  DeleteBufferedData();
  if (state_ == wsConnected && proto_ == IPPROTO_TCP && hSocket_ >= 0) {
    lingerOnOff_ = wsLingerOff;
    SetLingerOption();
    if (token.expired()) return;
  }
  InternalClose(false, 0);
}

void TWSocket::Shutdown(int how) {
  if (hSocket_ >= 0) ::shutdown(hSocket_, how);
}

void TWSocket::Pause() {
  paused_ = true;
  UpdatePoll();
}

void TWSocket::Resume() {
  paused_ = false;
  UpdatePoll();
}

// ---------------------------------------------------------------------------
// Addresses

std::string TWSocket::GetPeerAddr() {
  if (state_ != wsConnected) return "error";
  if (sockType_ == SOCK_DGRAM) return dottedAddress(sin_.sin_addr);
  sockaddr_in peer{};
  socklen_t len = sizeof peer;
  if (getpeername(hSocket_, reinterpret_cast<sockaddr*>(&peer), &len) != 0) {
    SocketError("GetPeerName", lastErrno());
    return "error";
  }
  return dottedAddress(peer.sin_addr);
}

int TWSocket::GetPeerName(sockaddr_in& name, socklen_t& nameLen) {
  socklen_t len = sizeof name;
  if (hSocket_ < 0 || getpeername(hSocket_, reinterpret_cast<sockaddr*>(&name), &len) != 0) {
    SocketError("GetPeerName", hSocket_ < 0 ? WSAENOTSOCK : lastErrno());
    return -1;
  }
  nameLen = len;
  return 0;
}

int TWSocket::GetSockName(sockaddr_in& name, socklen_t& nameLen) {
  socklen_t len = sizeof name;
  if (hSocket_ < 0 || getsockname(hSocket_, reinterpret_cast<sockaddr*>(&name), &len) != 0) {
    SocketError("GetSockName", hSocket_ < 0 ? WSAENOTSOCK : lastErrno());
    return -1;
  }
  nameLen = len;
  return 0;
}

std::string TWSocket::GetXPort() {
  if (hSocket_ < 0 || (state_ != wsBound && state_ != wsConnected && state_ != wsListening))
    return "error";
  sockaddr_in local{};
  socklen_t len = sizeof local;
  if (getsockname(hSocket_, reinterpret_cast<sockaddr*>(&local), &len) != 0) return "error";
  return std::to_string(ntohs(local.sin_port));
}

}  // namespace orvane::net
