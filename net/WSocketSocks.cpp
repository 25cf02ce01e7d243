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

void TWSocket::setSocksLevel(const std::string& value) {
  if (state_ != wsClosed) {
    raiseException("Can't change socks level if not closed");
    return;
  }
  if (value != "4" && value != "4A" && value != "4a" && value != "5") {
    raiseException("Invalid socks level. Must be 4, 4A or 5.");
    return;
  }
  socksLevel_ = value == "4a" ? "4A" : value;
}

void TWSocket::setSocksServer(const std::string& value) {
  if (state_ != wsClosed) {
    raiseException("Can't change socks server if not closed");
    return;
  }
  socksServer_ = std::string(trimBlanks(value));
}

void TWSocket::setSocksPort(const std::string& value) {
  if (state_ != wsClosed) {
    raiseException("Can't change socks port if not closed");
    return;
  }
  socksPort_ = std::string(trimBlanks(value));
}

void TWSocket::setSocksUsercode(const std::string& value) {
  socksUsercode_ = value;
}

void TWSocket::setSocksPassword(const std::string& value) {
  socksPassword_ = value;
}

void TWSocket::setSocksAuthentication(TSocksAuthentication value) {
  socksAuthentication_ = value;
}

void TWSocket::socksSend(const std::string& bytes) {
  // Negotiation messages are a few hundred bytes at most; a fresh connection
  // takes them whole.
  const ssize_t r = ::send(hSocket_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
  if (r != static_cast<ssize_t>(bytes.size())) {
    const int code = r < 0 ? lastErrno() : socksInternalError;
    socksFail(code, "SOCKS: the request could not be sent");
  }
}

bool TWSocket::routeThroughSocks() {
  socksActive_ = !socksServer_.empty();
  if (!socksActive_) return true;
  if (WSocketResolveProto(protoStr_) != IPPROTO_TCP) {
    socksActive_ = false;
    raiseException("tcp is the only protocol supported thru socks server");
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
  portResolved_ = true;
  remote_ = resolveRemote(socksServer_, portNum_);
  addrResolved_ = true;
  // SOCKS 4 carries an IPv4 address only: a name is resolved here (an IPv6
  // address is refused by the negotiation).
  if (socksLevel_ == "4" && socksDestAddr_.find(':') == std::string::npos)
    socksDestAddr_ = dottedAddress(WSocketResolveHost(socksDestAddr_));
  return true;
}

void TWSocket::socksStart() {
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
  if (!token.expired() && socks_.running()) updatePoll();
}

// Reads the server's reply, never past it, so that data the server sends
// after its reply stays in the socket for the application.
void TWSocket::socksOnData() {
  for (;;) {
    char buf[512];
    const std::size_t want = std::min(sizeof buf, socks_.missing());
    if (want == 0) return;
    const ssize_t r = ::recv(hSocket_, buf, want, 0);
    if (r <= 0) {
      if (r < 0 && isRetryableErrno(errno)) return;
      socksFail(socksDataReceiveError,
                "SOCKS: the proxy closed the connection during the negotiation");
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
    socksFail(step.error, step.message);
  else if (step.connected)
    socksDone();
  else if (!step.send.empty())
    socksSend(step.send);
}

void TWSocket::socksDone() {
  std::weak_ptr<int> token = life_;
  socks_.reset();
  changeState(wsConnected);
  if (token.expired()) return;
  updatePoll();
  if (OnSocksConnected) OnSocksConnected(*this, 0);
  if (token.expired()) return;
  if (OnSessionConnected) OnSessionConnected(*this, 0);
  if (!token.expired()) updatePoll();
}

void TWSocket::socksFail(int error, const std::string& msg) {
  std::weak_ptr<int> token = life_;
  if (!socks_.running()) return;
  socks_.reset();
  lastError_ = error;
  if (OnSocksError) OnSocksError(*this, error, msg);
  if (token.expired()) return;
  changeState(wsConnected);
  if (token.expired()) return;
  if (OnSessionConnected) OnSessionConnected(*this, static_cast<std::uint16_t>(error));
  if (token.expired()) return;
  if (state_ != wsClosed) Close();
}

}  // namespace orvane::net
