// TWSocket: connecting through a SOCKS server. The bytes of the negotiation
// are SocksCodec's; this file moves them and raises the events.
#include "net/WSocket.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <string_view>
#include <utility>

#include "core/Text.h"
#include "net/WSocketInternal.h"

namespace orvane::net {

void TWSocket::SetSocksLevel(const std::string& value) {
  if (state_ != wsClosed) {
    RaiseException("Can't change socks level if not closed");
    return;
  }
  if (value != "4" && value != "4A" && value != "4a" && value != "5") {
    RaiseException("Invalid socks level. Must be 4, 4A or 5.");
    return;
  }
  socksLevel_ = value == "4a" ? "4A" : value;
}

void TWSocket::SetSocksServer(const std::string& value) {
  if (state_ != wsClosed) {
    RaiseException("Can't change socks server if not closed");
    return;
  }
  socksServer_ = std::string(trimBlanks(value));
}

void TWSocket::SetSocksPort(const std::string& value) {
  if (state_ != wsClosed) {
    RaiseException("Can't change socks port if not closed");
    return;
  }
  socksPort_ = std::string(trimBlanks(value));
}

void TWSocket::SetSocksUsercode(const std::string& value) {
  socksUsercode_ = value;
}

void TWSocket::SetSocksPassword(const std::string& value) {
  socksPassword_ = value;
}

void TWSocket::SetSocksAuthentication(TSocksAuthentication value) {
  socksAuthentication_ = value;
}

void TWSocket::SocksSend(const std::string& bytes) {
  // Negotiation messages are a few hundred bytes at most; a fresh connection
  // takes them whole.
  const ssize_t r = ::send(hSocket_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
  if (r != static_cast<ssize_t>(bytes.size())) {
    const int code = r < 0 ? lastErrno() : socksInternalError;
    SocksFail(code, "socks: cannot send the request");
  }
}

bool TWSocket::routeThroughSocks() {
  socksActive_ = !socksServer_.empty();
  if (!socksActive_) return true;
  if (WSocketResolveProto(protoStr_) != IPPROTO_TCP) {
    socksActive_ = false;
    RaiseException("tcp is the only protocol supported thru socks server");
    return false;
  }
  // The connection goes to the SOCKS server; Addr:port travel in the
  // negotiation (SOCKS 4A and 5 let the server resolve a host name).
  socksDestAddr_ = addrStr_;
  socksDestPort_ = WSocketResolvePort(portStr_, "tcp");
  proto_ = IPPROTO_TCP;
  sockType_ = SOCK_STREAM;
  protoResolved_ = true;
  portNum_ = WSocketResolvePort(socksPort_, "tcp");
  sin_.sin_port = htons(portNum_);
  portResolved_ = true;
  sin_.sin_family = AF_INET;
  sin_.sin_addr = WSocketResolveHost(socksServer_);
  addrResolved_ = true;
  if (socksLevel_ == "4") socksDestAddr_ = dottedAddress(WSocketResolveHost(socksDestAddr_));
  return true;
}

void TWSocket::SocksStart() {
  std::weak_ptr<int> token = life_;
  SocksTarget target;
  target.version = socksLevel_ == "5"    ? SocksVersion::v5
                   : socksLevel_ == "4A" ? SocksVersion::v4A
                                         : SocksVersion::v4;
  target.host = socksDestAddr_;
  target.port = socksDestPort_;
  target.authentication = socksAuthentication_;
  target.usercode = socksUsercode_;
  target.password = socksPassword_;
  applySocksStep(socks_.start(std::move(target)));
  if (!token.expired() && socks_.running()) UpdatePoll();
}

// Reads the server's reply, never past it, so that data the server sends
// after its reply stays in the socket for the application.
void TWSocket::SocksOnData() {
  for (;;) {
    char buf[512];
    const std::size_t want = std::min(sizeof buf, socks_.missing());
    if (want == 0) return;
    const ssize_t r = ::recv(hSocket_, buf, want, 0);
    if (r <= 0) {
      if (r < 0 && IsRetryableErrno(errno)) return;
      SocksFail(socksDataReceiveError, "socks: connection closed during negotiation");
      return;
    }
    const SocksCodec::Step step =
        socks_.receive(std::string_view(buf, static_cast<std::size_t>(r)));
    if (!step.pending()) {
      applySocksStep(step);
      return;
    }
  }
}

void TWSocket::applySocksStep(const SocksCodec::Step& step) {
  std::weak_ptr<int> token = life_;
  if (step.authState) {
    if (OnSocksAuthState) OnSocksAuthState(*this, *step.authState);
    if (token.expired()) return;
  }
  if (step.error != 0)
    SocksFail(step.error, step.message);
  else if (step.connected)
    SocksDone();
  else if (!step.send.empty())
    SocksSend(step.send);
}

void TWSocket::SocksDone() {
  std::weak_ptr<int> token = life_;
  socks_.reset();
  ChangeState(wsConnected);
  if (token.expired()) return;
  UpdatePoll();
  if (OnSocksConnected) OnSocksConnected(*this, 0);
  if (token.expired()) return;
  if (OnSessionConnected) OnSessionConnected(*this, 0);
  if (!token.expired()) UpdatePoll();
}

void TWSocket::SocksFail(int error, const std::string& msg) {
  std::weak_ptr<int> token = life_;
  if (!socks_.running()) return;
  socks_.reset();
  lastError_ = error;
  if (OnSocksError) OnSocksError(*this, error, msg);
  if (token.expired()) return;
  ChangeState(wsConnected);
  if (token.expired()) return;
  if (OnSessionConnected) OnSessionConnected(*this, static_cast<std::uint16_t>(error));
  if (token.expired()) return;
  if (state_ != wsClosed) Close();
}

}  // namespace orvane::net
