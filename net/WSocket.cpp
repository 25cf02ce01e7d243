#include "net/WSocket.h"

#include "core/Text.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <unordered_map>
#include <utility>

namespace orvane::net {

namespace {

// Phases of the SOCKS negotiation.
enum : int {
  kSocksNone = 0,
  kSocks5Greeting,   // waiting for [version, method]
  kSocks5Auth,       // waiting for [1, status]
  kSocks5Reply,      // waiting for the connect reply header
  kSocks5ReplyTail,  // waiting for the rest of the bound address
  kSocks4Reply,      // waiting for the 8-byte reply
};

constexpr std::size_t kMaxDatagram = 65507;

std::string Trim(std::string_view s) {
  return std::string(trimBlanks(s));
}

bool StartsWithDigit(const std::string& s) {
  return !s.empty() && s[0] >= '0' && s[0] <= '9';
}

std::string Dotted(in_addr a) {
  char buf[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &a, buf, sizeof buf);
  return buf;
}

std::string Format(const char* fmt, const std::string& s) {
  std::string out = fmt;
  auto pos = out.find("%s");
  if (pos != std::string::npos) out.replace(pos, 2, s);
  return out;
}

std::string FormatInt(const char* fmt, int value) {
  std::string out = fmt;
  auto pos = out.find("%d");
  if (pos != std::string::npos) out.replace(pos, 2, std::to_string(value));
  return out;
}

int LastErrno() {
  return WSocketErrorFromErrno(errno);
}

std::exception_ptr CurrentAsStd() {
  return std::current_exception();
}

// Names found in the system's protocol and service databases, kept for the
// life of the process: reading those files again for every connection costs
// more than the rest of the connection's setup. Shared by every thread.
class NameCache {
 public:
  bool Find(const std::string& key, int& value) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = map_.find(key);
    if (it == map_.end()) return false;
    value = it->second;
    return true;
  }
  void Store(const std::string& key, int value) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (map_.size() < 256) map_.emplace(key, value);
  }

 private:
  std::mutex mutex_;
  std::unordered_map<std::string, int> map_;
};

NameCache& ProtocolCache() {
  static NameCache cache;
  return cache;
}

NameCache& ServiceCache() {
  static NameCache cache;
  return cache;
}

}  // namespace

// A pending host-name lookup. When the socket cancels it or goes away the
// request is orphaned (owner cleared) and frees itself on completion.
struct TWSocket::Lookup {
  TWSocket* owner = nullptr;
  bool reverse = false;
  uv_getaddrinfo_t gai{};
  uv_getnameinfo_t gni{};
};

// Runs `f` as an event from the loop: an exception escaping it goes to the
// background-exception step; nothing is touched once the socket is gone.
template <class F>
void TWSocket::FromLoop(F&& f) {
  std::weak_ptr<int> token = life_;
  try {
    f();
  } catch (...) {
    if (token.expired()) return;
    HandleBgException(CurrentAsStd());
  }
}

// ---------------------------------------------------------------------------
// Free functions

std::string WSocketErrorMessage(int code, const std::string& functionName) {
  return "Error " + std::to_string(code) + " in function " + functionName + "\r\n" +
         WSocketErrorDesc(code);
}

in_addr WSocketResolveHost(const std::string& inAddr) {
  if (inAddr.empty() || inAddr.size() > 256)
    throw ESocketException("WSocketResolveHost: '" + inAddr + "' Invalid Hostname.");
  const std::string name = Trim(inAddr);
  in_addr result{};
  if (StartsWithDigit(name)) {
    result.s_addr = inet_addr(name.c_str());
    if (result.s_addr == INADDR_NONE && name != "255.255.255.255")
      throw ESocketException("WSocketResolveHost: '" + inAddr + "' Invalid IP address.");
    return result;
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  if (name.empty() || getaddrinfo(name.c_str(), nullptr, &hints, &res) != 0 || res == nullptr) {
    if (res != nullptr) freeaddrinfo(res);
    throw ESocketException(Format("WSocketResolveHost: Cannot convert host address '%s'", inAddr));
  }
  result = reinterpret_cast<sockaddr_in*>(res->ai_addr)->sin_addr;
  freeaddrinfo(res);
  return result;
}

std::uint16_t WSocketResolvePort(const std::string& port, const std::string& proto) {
  if (port.empty() || port.size() > 31) throw ESocketException("WSocketResolvePort: Invalid Port.");
  const std::string p = Trim(port);
  if (StartsWithDigit(p)) {
    // Decimal up to the first non-digit; a value that does not fit a port is
    // refused instead of wrapping around to another port.
    unsigned long value = 0;
    for (char c : p) {
      if (c < '0' || c > '9') break;
      value = value * 10 + static_cast<unsigned long>(c - '0');
      if (value > 65535) break;
    }
    if (value > 65535)
      throw ESocketException(Format("WSocketResolvePort: Cannot convert port '%s'", port));
    return static_cast<std::uint16_t>(value);
  }
  const std::string pr = Trim(proto);
  std::string key = p;
  key += '/';
  key += pr;
  int cached = 0;
  if (ServiceCache().Find(key, cached)) return static_cast<std::uint16_t>(cached);
  servent entry{};
  servent* found = nullptr;
  char buf[4096];
  if (!p.empty() &&
      getservbyname_r(p.c_str(), pr.empty() ? nullptr : pr.c_str(), &entry, buf, sizeof buf,
                      &found) == 0 &&
      found != nullptr) {
    const std::uint16_t number = ntohs(static_cast<std::uint16_t>(found->s_port));
    ServiceCache().Store(key, number);
    return number;
  }
  // The two services the program needs, for systems without a services file.
  if (p == "smtp") return 25;
  if (p == "domain") return 53;
  throw ESocketException(Format("WSocketResolvePort: Cannot convert port '%s'", port));
}

int WSocketResolveProto(const std::string& proto) {
  if (proto.empty() || proto.size() > 31)
    throw ESocketException("WSocketResolveProto: Invalid Protocol.");
  const std::string p = Trim(proto);
  if (StartsWithDigit(p)) {
    int value = 0;
    for (char c : p) {
      if (c < '0' || c > '9') break;
      value = value * 10 + (c - '0');
      if (value > 255) break;
    }
    if (value > 255)
      throw ESocketException(Format("WSocketResolveProto: Cannot convert protocol '%s'", proto));
    return value;
  }
  int cached = 0;
  if (ProtocolCache().Find(p, cached)) return cached;
  protoent entry{};
  protoent* found = nullptr;
  char buf[1024];
  if (!p.empty() && getprotobyname_r(p.c_str(), &entry, buf, sizeof buf, &found) == 0 &&
      found != nullptr) {
    ProtocolCache().Store(p, found->p_proto);
    return found->p_proto;
  }
  if (p == "tcp") return IPPROTO_TCP;
  if (p == "udp") return IPPROTO_UDP;
  throw ESocketException(Format("WSocketResolveProto: Cannot convert protocol '%s'", proto));
}

std::string LocalHostName() {
  char buf[64] = {};
  if (gethostname(buf, sizeof buf) != 0) throw ESocketException("Winsock.GetHostName failed");
  buf[sizeof buf - 1] = '\0';
  return buf;
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
  text = Trim(value);
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
  socksServer_ = Trim(value);
}

void TWSocket::SetSocksPort(const std::string& value) {
  if (state_ != wsClosed) {
    RaiseException("Can't change socks port if not closed");
    return;
  }
  socksPort_ = Trim(value);
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

void TWSocket::SetLineMode(bool value) {
  if (value == lineMode_) return;
  lineMode_ = value;
  lineLength_ = 0;
  if (!rcvdLine_.empty()) PostLineRetrigger();
}

void TWSocket::SetLineEnd(const std::string& value) {
  lineEnd_ = value;
  lineLength_ = 0;
  if (lineMode_ && !rcvdLine_.empty()) PostLineRetrigger();
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
  rcvdLine_.clear();
  lineLength_ = 0;
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
  socksPhase_ = kSocksNone;
  socksActive_ = false;
  socksRcvBuf_.clear();
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
        want = socksPhase_ != kSocksNone ? (UV_READABLE | UV_DISCONNECT) : UV_WRITABLE;
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

void TWSocket::PostWriteNotice() {
  const std::uint64_t id = connId_;
  loop_.post(life_, [this, id] {
    if (id != connId_ || hSocket_ < 0 || paused_ || state_ != wsConnected) return;
    FromLoop([this] { HandleWriteEvent(0); });
  });
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

int TWSocket::PendingSocketError() {
  int err = 0;
  socklen_t len = sizeof err;
  if (hSocket_ < 0 || getsockopt(hSocket_, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return 0;
  return WSocketErrorFromErrno(err);
}

// Bytes waiting in the system's queue plus bytes held back from line mode.
int TWSocket::QueuedBytes(bool& failed) {
  failed = false;
  int n = 0;
  if (hSocket_ < 0 || ioctl(hSocket_, FIONREAD, &n) != 0) {
    failed = true;
    lastError_ = hSocket_ < 0 ? WSAENOTSOCK : LastErrno();
    return -1;
  }
  if (!lineMode_) n += static_cast<int>(rcvdLine_.size());
  return n;
}

int TWSocket::GetRcvdCount() {
  bool failed = false;
  const int n = QueuedBytes(failed);
  if (failed) {
    SocketError("ioctlSocket", lastError_);
    return -1;
  }
  return n;
}

int TWSocket::Rcvdcount() {
  return GetRcvdCount();
}

// ---------------------------------------------------------------------------
// Readiness dispatch

void TWSocket::OnPoll(void* context, int status, int events, bool maybeStale) {
  auto* self = static_cast<TWSocket*>(context);
  self->FromLoop(
      [self, status, events, maybeStale] { self->ProcessEvents(events, status, maybeStale); });
}

void TWSocket::ProcessEvents(int events, int status, bool maybeStale) {
  std::weak_ptr<int> token = life_;
  if (hSocket_ < 0 || paused_) return;
  if (status < 0) {
    // The loop has stopped watching after a socket error; find the real one.
    int err = PendingSocketError();
    if (err == 0) err = WSocketErrorFromUv(status);
    if (socksPhase_ != kSocksNone) {
      SocksFail(err, "socks connection failed");
      return;
    }
    if (state_ == wsConnecting) {
      HandleConnectEvent(err);
      return;
    }
    if (state_ == wsListening) {
      if (OnSessionAvailable) OnSessionAvailable(*this, static_cast<std::uint16_t>(err));
      if (!token.expired()) UpdatePoll();
      return;
    }
    HandleCloseEvent(err);
    return;
  }

  if (state_ == wsConnecting) {
    if (socksPhase_ != kSocksNone) {
      SocksOnData();
      return;
    }
    HandleConnectEvent(PendingSocketError());
    return;
  }

  if (state_ == wsListening) {
    if ((events & UV_READABLE) == 0) return;
    const std::uint64_t calls = rcvCalls_;
    if (OnSessionAvailable) OnSessionAvailable(*this, 0);
    if (token.expired()) return;
    // No Accept(): stop watching until the next one, instead of spinning.
    if (calls == rcvCalls_) readSuspended_ = true;
    UpdatePoll();
    return;
  }

  if (state_ != wsConnected) return;

  if (sockType_ == SOCK_DGRAM) {
    if (events & UV_READABLE) ReceiveLoop(0);
    if (token.expired() || hSocket_ < 0) return;
    if (events & UV_WRITABLE) HandleWriteEvent(0);
    return;
  }

  bool closing = (events & UV_DISCONNECT) != 0;
  int closeError = 0;
  if (events & UV_READABLE) {
    if (lineMode_) {
      if (!ReadIntoLineBuffer()) {
        closing = true;
        closeError = lastError_ == WSAEWOULDBLOCK ? 0 : lastError_;
      }
      if (token.expired() || hSocket_ < 0) return;
      LineReceiveLoop(0, false);
    } else {
      // Fresh readiness without a hang-up means data is queued; only a
      // hang-up or possibly outdated readiness needs a look at the queue.
      bool failed = false;
      int queued = closing || maybeStale ? QueuedBytes(failed) : 1;
      if (!failed && queued == 0) {
        // Readable with nothing queued: the peer has closed or reset.
        char c;
        const ssize_t r = ::recv(hSocket_, &c, 1, MSG_PEEK | MSG_DONTWAIT);
        if (r == 0) {
          closing = true;
        } else if (r < 0 && !IsRetryableErrno(errno)) {
          closing = true;
          closeError = LastErrno();
        } else if (r > 0) {
          queued = 1;
        }
      }
      if (queued > 0 || failed) ReceiveLoop(0);
    }
  }
  if (token.expired() || hSocket_ < 0) return;
  if (events & UV_WRITABLE) HandleWriteEvent(0);
  if (token.expired() || hSocket_ < 0) return;
  if (closing) {
    HandleCloseEvent(closeError);
    return;
  }
  UpdatePoll();
}

void TWSocket::HandleConnectEvent(int error) {
  std::weak_ptr<int> token = life_;
  if (error == 0 && socksActive_) {
    SocksStart();
    return;
  }
  ChangeState(wsConnected);
  if (token.expired()) return;
  if (OnSessionConnected) OnSessionConnected(*this, static_cast<std::uint16_t>(error));
  if (token.expired()) return;
  if (error != 0 && state_ != wsClosed) {
    Close();
    return;
  }
  UpdatePoll();
}

void TWSocket::HandleWriteEvent(int error) {
  std::weak_ptr<int> token = life_;
  TryToSend();
  if (token.expired()) return;
  if (allSent_ && hSocket_ >= 0 && OnDataSent) OnDataSent(*this, static_cast<std::uint16_t>(error));
  if (token.expired()) return;
  UpdatePoll();
}

void TWSocket::HandleCloseEvent(int error) {
  std::weak_ptr<int> token = life_;
  if (state_ == wsConnecting) return;
  if (lineMode_)
    LineReceiveLoop(0, true);
  else
    ReceiveLoop(0);
  if (token.expired()) return;
  if (OnSessionClosed && !closeInvoked_ && hSocket_ >= 0) {
    closeInvoked_ = true;
    OnSessionClosed(*this, static_cast<std::uint16_t>(error));
    if (token.expired()) return;
  }
  if (state_ != wsClosed) Close();
}

void TWSocket::ReceiveLoop(int error) {
  std::weak_ptr<int> token = life_;
  for (;;) {
    if (hSocket_ < 0) return;
    lastError_ = 0;
    const std::uint64_t calls = rcvCalls_;
    if (OnDataAvailable) {
      OnDataAvailable(*this, static_cast<std::uint16_t>(error));
      if (token.expired()) return;
    } else {
      // Nobody reads: discard up to 1024 bytes per pass.
      ++rcvCalls_;
      if (!rcvdLine_.empty()) {
        rcvdLine_.erase(0, std::min<std::size_t>(rcvdLine_.size(), 1024));
      } else {
        char junk[1024];
        const ssize_t r = ::recv(hSocket_, junk, sizeof junk, 0);
        if (r < 0) {
          if (IsRetryableErrno(errno)) break;
          lastError_ = LastErrno();
        } else if (r == 0 && sockType_ == SOCK_STREAM) {
          break;
        }
      }
    }
    if (lastError_ != 0 || hSocket_ < 0) break;
    // The handler's last read came back short: the queue was empty. Anything
    // arriving since is reported by the next readiness.
    if (drainedAtCall_ == rcvCalls_ && calls != rcvCalls_ && rcvdLine_.empty()) break;
    bool failed = false;
    const int queued = QueuedBytes(failed);
    if (failed || queued <= 0) break;
    if (calls == rcvCalls_) {
      // The handler left the data unread. Stop here instead of spinning; the
      // data stays queued and is reported again after the next read.
      readSuspended_ = true;
      break;
    }
  }
  if (!token.expired()) UpdatePoll();
}

// Reads everything the system holds into the line buffer. False when the
// peer has closed (lastError_ 0) or the read failed (lastError_ set).
bool TWSocket::ReadIntoLineBuffer() {
  char buf[4096];
  for (;;) {
    const ssize_t r = ::recv(hSocket_, buf, sizeof buf, 0);
    if (r > 0) {
      rcvdLine_.append(buf, static_cast<std::size_t>(r));
      if (r < static_cast<ssize_t>(sizeof buf)) return true;
      continue;
    }
    if (r == 0) {
      lastError_ = 0;
      return false;
    }
    if (IsRetryableErrno(errno)) return true;
    lastError_ = LastErrno();
    return false;
  }
}

void TWSocket::LineReceiveLoop(int error, bool closing) {
  std::weak_ptr<int> token = life_;
  if (closing && hSocket_ >= 0) ReadIntoLineBuffer();
  for (;;) {
    if (hSocket_ < 0 || !lineMode_) break;
    lineLength_ = 0;
    const auto limit = static_cast<std::size_t>(lineLimit_);
    if (!lineEnd_.empty()) {
      const auto pos = rcvdLine_.find(lineEnd_);
      if (pos != std::string::npos && pos + lineEnd_.size() <= limit)
        lineLength_ = pos + lineEnd_.size();
    }
    if (lineLength_ == 0 && rcvdLine_.size() >= limit) {
      // Too long without an end: hand it over as it is, so that memory stays
      // bounded and no byte is lost.
      if (OnLineTooLong) {
        OnLineTooLong(*this);
        if (token.expired()) return;
        if (hSocket_ < 0 || !lineMode_) break;
      }
      lineLength_ = std::min(rcvdLine_.size(), limit);
    }
    if (lineLength_ == 0 && closing && !rcvdLine_.empty()) lineLength_ = rcvdLine_.size();
    if (lineLength_ == 0) break;
    const std::uint64_t calls = rcvCalls_;
    if (OnDataAvailable) {
      OnDataAvailable(*this, static_cast<std::uint16_t>(error));
      if (token.expired()) return;
    } else {
      rcvdLine_.erase(0, lineLength_);
      ++rcvCalls_;
    }
    if (calls == rcvCalls_) break;  // not consumed: held until more data arrives
  }
  if (!token.expired()) UpdatePoll();
}

// ---------------------------------------------------------------------------
// Connect, listen, accept

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
    lastError_ = LastErrno();
    RaiseException(FormatInt("winsock.bind failed, error #%d", lastError_));
    return;
  }
  socklen_t len = sizeof local;
  if (getsockname(hSocket_, reinterpret_cast<sockaddr*>(&local), &len) != 0) {
    lastError_ = LastErrno();
    RaiseException(FormatInt("winsock.getsockname failed, error #%d", lastError_));
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
    SocketError("setsockopt(SO_LINGER)", LastErrno());
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
  socksActive_ = !socksServer_.empty();
  if (socksActive_) {
    if (WSocketResolveProto(protoStr_) != IPPROTO_TCP) {
      socksActive_ = false;
      RaiseException("tcp is the only protocol supported thru socks server");
      return;
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
    if (socksLevel_ == "4") {
      in_addr dest = WSocketResolveHost(socksDestAddr_);
      socksDestAddr_ = Dotted(dest);
    }
  }
  ResolveForConnect();

  DeleteBufferedData();
  hSocket_ = ::socket(AF_INET, sockType_ | SOCK_NONBLOCK | SOCK_CLOEXEC, proto_);
  if (hSocket_ < 0) {
    SocketError("Connect (socket)", LastErrno());
    return;
  }
  ++connId_;
  rcvdLine_.clear();
  lineLength_ = 0;
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
      SocketError("setsockopt(SO_KEEPALIVE)", LastErrno());
      return;
    }
    if (setsockopt(hSocket_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
      SocketError("setsockopt(SO_REUSEADDR)", LastErrno());
      return;
    }
  } else {
    BindSocket();
    if (token.expired() || hSocket_ < 0) return;
    if (sin_.sin_addr.s_addr == htonl(INADDR_BROADCAST)) {
      int on = 1;
      if (setsockopt(hSocket_, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0) {
        SocketError("setsockopt(SO_BROADCAST)", LastErrno());
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

void TWSocket::Listen() {
  std::weak_ptr<int> token = life_;
  if (!portAssigned_) {
    SocketError("listen: port not assigned", WSAEINVAL);
    return;
  }
  if (!protoAssigned_) {
    SocketError("listen: protocol not assigned", WSAEINVAL);
    return;
  }
  if (!addrAssigned_) {
    SocketError("listen: address not assigned", WSAEINVAL);
    return;
  }
  if (!socksServer_.empty()) {
    RaiseException("listening is not supported thru socks server");
    return;
  }
  if (hSocket_ >= 0 && state_ != wsClosed) {
    RaiseException("Connect: Socket already in use");
    return;
  }
  ResolveForConnect();
  DeleteBufferedData();
  hSocket_ = ::socket(AF_INET, sockType_ | SOCK_NONBLOCK | SOCK_CLOEXEC, proto_);
  if (hSocket_ < 0) {
    SocketError("socket", LastErrno());
    return;
  }
  ++connId_;
  ChangeState(wsOpened);
  if (token.expired()) return;
  if (sockType_ == SOCK_STREAM) {
    int on = 1;
    setsockopt(hSocket_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  }
  if (::bind(hSocket_, reinterpret_cast<sockaddr*>(&sin_), sizeof sin_) != 0) {
    SocketError("Bind", LastErrno());
    return;
  }
  ChangeState(wsBound);
  if (token.expired()) return;
  if (sockType_ == SOCK_DGRAM) {
    ChangeState(wsListening);
    if (token.expired()) return;
    ChangeState(wsConnected);
    if (token.expired()) return;
    StartPoll();
    if (OnSessionConnected) OnSessionConnected(*this, 0);
    return;
  }
  if (::listen(hSocket_, listenBacklog_) != 0) {
    SocketError("Listen", LastErrno());
    return;
  }
  ChangeState(wsListening);
  if (token.expired()) return;
  StartPoll();
  if (!poll_.isOpen()) SocketError("WSAASyncSelect", WSAENOBUFS);
}

int TWSocket::Accept() {
  if (state_ != wsListening) {
    SocketError("not a listening socket", WSAEINVAL);
    return -1;
  }
  ++rcvCalls_;
  if (readSuspended_) {
    readSuspended_ = false;
    UpdatePoll();
  }
  sockaddr_in from{};
  socklen_t len = sizeof from;
  const int fd =
      ::accept4(hSocket_, reinterpret_cast<sockaddr*>(&from), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd < 0) {
    SocketError("Accept", LastErrno());
    return -1;
  }
  return fd;
}

void TWSocket::Dup(int newHSocket) {
  std::weak_ptr<int> token = life_;
  if (newHSocket < 0) {
    SocketError("Dup", WSAEINVAL);
    return;
  }
  if (hSocket_ >= 0) {
    poll_.close(true);
    if (::close(hSocket_) != 0) {
      hSocket_ = -1;
      SocketError("Dup (closesocket)", LastErrno());
      return;
    }
    hSocket_ = -1;
  }
  DeleteBufferedData();
  hSocket_ = newHSocket;
  ++connId_;
  rcvdLine_.clear();
  lineLength_ = 0;
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
  sockaddr_in peer{};
  len = sizeof peer;
  if (getpeername(hSocket_, reinterpret_cast<sockaddr*>(&peer), &len) == 0) sin_ = peer;
  if (sockType_ == SOCK_STREAM) {
    SetLingerOption();
    if (token.expired() || hSocket_ < 0) return;
  }
  StartPoll();
  if (!poll_.isOpen()) {
    SocketError("WSAAsyncSelect", WSAENOBUFS);
    return;
  }
  ChangeState(wsConnected);
  if (!token.expired()) UpdatePoll();
}

// ---------------------------------------------------------------------------
// Sending

void TWSocket::DeleteBufferedData() {
  bufList_.clear();
  allSent_ = true;
}

int TWSocket::Send(const void* data, int len) {
  if (state_ != wsConnected) {
    SocketError("Send", WSAENOTCONN);
    return -1;
  }
  if (len <= 0 || data == nullptr) return 0;
  const char* p = static_cast<const char*>(data);
  if (sockType_ == SOCK_DGRAM) {
    // One Send is one datagram: it gets a block of its own, never merged
    // with or split across another.
    if (static_cast<std::size_t>(len) > kMaxDatagram) {
      SocketError("Send", WSAEMSGSIZE);
      return -1;
    }
    auto block = std::make_unique<TBuffer>(len);
    block->Write(p, len);
    bufList_.push_back(std::move(block));
  } else {
    int left = len;
    if (!bufList_.empty()) {
      const int n = bufList_.back()->Write(p, left);
      p += n;
      left -= n;
    }
    while (left > 0) {
      auto block = std::make_unique<TBuffer>(bufSize_);
      const int n = block->Write(p, left);
      p += n;
      left -= n;
      bufList_.push_back(std::move(block));
    }
  }
  allSent_ = false;
  std::weak_ptr<int> token = life_;
  TryToSend();
  if (token.expired()) return len;
  if (allSent_)
    PostWriteNotice();
  else
    UpdatePoll();
  return len;
}

int TWSocket::SendStr(std::string_view str) {
  return Send(str.data(), static_cast<int>(str.size()));
}

void TWSocket::TryToSend() {
  if (hSocket_ < 0 || bufList_.empty()) return;
  std::weak_ptr<int> token = life_;
  const int flags = MSG_NOSIGNAL | (sendFlags_ == wsSendUrgent ? MSG_OOB : 0);
  for (;;) {
    if (bufList_.empty()) {
      allSent_ = true;
      return;
    }
    TBuffer& block = *bufList_.front();
    int len = 0;
    const char* p = block.Peek(len);
    if (len == 0) {
      // The emptied last block of a stream stays for the next Send, which
      // spares two allocations per command.
      if (bufList_.size() == 1 && sockType_ == SOCK_STREAM && block.BufSize() == bufSize_) {
        allSent_ = true;
        return;
      }
      bufList_.pop_front();
      if (bufList_.empty()) {
        allSent_ = true;
        return;
      }
      continue;
    }
    ssize_t r;
    if (sockType_ == SOCK_DGRAM)
      r = ::sendto(hSocket_, p, static_cast<std::size_t>(len), flags,
                   reinterpret_cast<const sockaddr*>(&sin_), sizeof sin_);
    else
      r = ::send(hSocket_, p, static_cast<std::size_t>(len), flags);
    if (r == 0) return;
    if (r < 0) {
      const int e = errno;
      if (IsRetryableErrno(e)) return;  // resumes on the next write readiness
      const int code = WSocketErrorFromErrno(e);
      if (code == WSAECONNRESET || code == WSAENOTSOCK || code == WSAENOTCONN ||
          code == WSAEINVAL) {
        const bool report = !closeInvoked_;
        closeInvoked_ = true;
        lastError_ = code;
        Close();
        if (token.expired()) return;
        if (report && OnSessionClosed && !destroying_)
          OnSessionClosed(*this, static_cast<std::uint16_t>(code));
        return;
      }
      SocketError("TryToSend failed", code);
      return;
    }
    if (sockType_ == SOCK_DGRAM) {
      block.Remove(len);  // a datagram goes whole or not at all
    } else {
      block.Remove(static_cast<int>(r));
      if (r < len) return;
    }
  }
}

void TWSocket::Flush() {
  std::weak_ptr<int> token = life_;
  bool sentSomething = false;
  while (hSocket_ >= 0 && !allSent_) {
    TryToSend();
    if (token.expired()) return;
    sentSomething = true;
    if (allSent_ || hSocket_ < 0) break;
    pollfd pfd{hSocket_, POLLOUT, 0};
    const int timeoutMs = flushTimeout_ > 0 ? flushTimeout_ * 1000 : 0;
    if (::poll(&pfd, 1, timeoutMs) <= 0) break;
  }
  if (sentSomething && allSent_ && hSocket_ >= 0) PostWriteNotice();
  if (hSocket_ >= 0) UpdatePoll();
}

// ---------------------------------------------------------------------------
// Receiving

int TWSocket::Receive(void* buffer, int bufferSize) {
  ++rcvCalls_;
  if (readSuspended_) {
    readSuspended_ = false;
    UpdatePoll();
  }
  if (hSocket_ < 0) {
    lastError_ = WSAENOTSOCK;
    return -1;
  }
  if (bufferSize <= 0 || buffer == nullptr) return 0;
  // Bytes gathered by line mode come first.
  if (!rcvdLine_.empty() && (!lineMode_ || lineLength_ > 0)) {
    std::size_t avail = lineMode_ ? lineLength_ : rcvdLine_.size();
    const std::size_t n = std::min(avail, static_cast<std::size_t>(bufferSize));
    std::memcpy(buffer, rcvdLine_.data(), n);
    rcvdLine_.erase(0, n);
    if (lineMode_) lineLength_ -= n;
    readCount_ += static_cast<std::int64_t>(n);
    return static_cast<int>(n);
  }
  if (lineMode_) {
    lastError_ = WSAEWOULDBLOCK;
    return -1;
  }
  ssize_t r;
  if (sockType_ == SOCK_DGRAM) {
    sockaddr_in from{};
    socklen_t len = sizeof from;
    r = ::recvfrom(hSocket_, buffer, static_cast<std::size_t>(bufferSize), 0,
                   reinterpret_cast<sockaddr*>(&from), &len);
    if (r >= 0) lastFrom_ = from;
  } else {
    r = ::recv(hSocket_, buffer, static_cast<std::size_t>(bufferSize), 0);
    if (r > 0 && r < bufferSize) drainedAtCall_ = rcvCalls_;
  }
  if (r < 0) {
    lastError_ = LastErrno();
    return -1;
  }
  readCount_ += r;
  return static_cast<int>(r);
}

std::string TWSocket::ReceiveStr() {
  if (lineMode_) {
    if (lineLength_ == 0) {
      ++rcvCalls_;
      return {};
    }
    std::string line(lineLength_, '\0');
    const int n = Receive(line.data(), static_cast<int>(line.size()));
    line.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return line;
  }
  bool failed = false;
  const int queued = QueuedBytes(failed);
  if (failed || queued <= 0) {
    if (!failed && sockType_ == SOCK_DGRAM) {
      char c;
      Receive(&c, 1);  // consumes an empty datagram, if that is what waits
    } else {
      ++rcvCalls_;
    }
    return {};
  }
  std::string out(static_cast<std::size_t>(queued), '\0');
  const int n = Receive(out.data(), queued);
  if (n <= 0) return {};
  out.resize(static_cast<std::size_t>(n));
  return out;
}

int TWSocket::ReceiveFrom(void* buffer, int bufferSize, sockaddr_in& from, socklen_t& fromLen) {
  ++rcvCalls_;
  if (readSuspended_) {
    readSuspended_ = false;
    UpdatePoll();
  }
  if (hSocket_ < 0) {
    lastError_ = WSAENOTSOCK;
    return -1;
  }
  if (bufferSize < 0 || (buffer == nullptr && bufferSize > 0)) {
    lastError_ = WSAEFAULT;
    return -1;
  }
  socklen_t len = fromLen > 0 && static_cast<std::size_t>(fromLen) <= sizeof from
                      ? fromLen
                      : static_cast<socklen_t>(sizeof from);
  const ssize_t r = ::recvfrom(hSocket_, buffer, static_cast<std::size_t>(bufferSize), 0,
                               reinterpret_cast<sockaddr*>(&from), &len);
  if (r < 0) {
    lastError_ = LastErrno();
    return -1;
  }
  fromLen = len;
  lastFrom_ = from;
  readCount_ += r;
  return static_cast<int>(r);
}

int TWSocket::SendTo(const sockaddr_in& dest, socklen_t destLen, const void* data, int len) {
  if (hSocket_ < 0) {
    lastError_ = WSAENOTSOCK;
    return -1;
  }
  if (len < 0 || (data == nullptr && len > 0)) {
    lastError_ = WSAEFAULT;
    return -1;
  }
  const ssize_t r = ::sendto(hSocket_, data, static_cast<std::size_t>(len),
                             MSG_NOSIGNAL | (sendFlags_ == wsSendUrgent ? MSG_OOB : 0),
                             reinterpret_cast<const sockaddr*>(&dest), destLen);
  if (r < 0) {
    lastError_ = LastErrno();
    return -1;
  }
  return static_cast<int>(r);
}

// ---------------------------------------------------------------------------
// Host-name lookup

// What both lookups do first: an empty text fails at once, a lookup still
// running is cancelled, earlier results are emptied. False: the call is over
// (the text was empty, or a handler destroyed the socket).
bool TWSocket::BeginLookup(const std::string& text) {
  std::weak_ptr<int> token = life_;
  if (text.empty()) {
    lastError_ = WSAEINVAL;
    RaiseException("DNS lookup: invalid host name.");
    if (!token.expired() && OnDnsLookupDone) OnDnsLookupDone(*this, WSAEINVAL);
    return false;
  }
  if (lookup_ != nullptr) {
    CancelDnsLookup();
    if (token.expired()) return false;
  }
  dnsResult_.clear();
  dnsResultList_.clear();
  return true;
}

void TWSocket::DnsLookup(const std::string& hostName) {
  if (!BeginLookup(hostName)) return;
  const in_addr_t numeric = inet_addr(hostName.c_str());
  if (numeric != INADDR_NONE) {
    in_addr a{};
    a.s_addr = numeric;
    dnsResult_ = Dotted(a);
    dnsResultList_.push_back(dnsResult_);
    if (OnDnsLookupDone) OnDnsLookupDone(*this, 0);
    return;
  }
  auto* lk = new Lookup;
  lk->owner = this;
  lk->gai.data = lk;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  const int r = uv_getaddrinfo(loop_.uv(), &lk->gai, &TWSocket::OnLookupDone, hostName.c_str(),
                               nullptr, &hints);
  if (r != 0) {
    delete lk;
    lastError_ = WSocketErrorFromUv(r);
    RaiseException(hostName + ": can't start DNS lookup, error #" + std::to_string(lastError_));
    return;
  }
  lookup_ = lk;
}

void TWSocket::ReverseDnsLookup(const std::string& hostAddr) {
  if (!BeginLookup(hostAddr)) return;
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = inet_addr(hostAddr.c_str());
  auto* lk = new Lookup;
  lk->owner = this;
  lk->reverse = true;
  lk->gni.data = lk;
  const int r = uv_getnameinfo(loop_.uv(), &lk->gni, &TWSocket::OnReverseDone,
                               reinterpret_cast<const sockaddr*>(&sa), NI_NAMEREQD);
  if (r != 0) {
    delete lk;
    lastError_ = WSocketErrorFromUv(r);
    RaiseException(hostAddr + ": can't start DNS lookup, error #" + std::to_string(lastError_));
    return;
  }
  lookup_ = lk;
}

void TWSocket::CancelDnsLookup() {
  if (lookup_ == nullptr) return;
  Lookup* lk = lookup_;
  lookup_ = nullptr;
  lk->owner = nullptr;  // the request frees itself when the worker is done
  if (lk->reverse)
    uv_cancel(reinterpret_cast<uv_req_t*>(&lk->gni));
  else
    uv_cancel(reinterpret_cast<uv_req_t*>(&lk->gai));
  if (!destroying_ && OnDnsLookupDone) OnDnsLookupDone(*this, WSAEINTR);
}

void TWSocket::OnLookupDone(uv_getaddrinfo_t* req, int status, addrinfo* res) {
  auto* lk = static_cast<Lookup*>(req->data);
  TWSocket* self = lk->owner;
  std::vector<std::string> results;
  if (status == 0) {
    for (addrinfo* ai = res; ai != nullptr; ai = ai->ai_next) {
      if (ai->ai_family != AF_INET || ai->ai_addr == nullptr) continue;
      std::string a = Dotted(reinterpret_cast<sockaddr_in*>(ai->ai_addr)->sin_addr);
      if (std::find(results.begin(), results.end(), a) == results.end())
        results.push_back(std::move(a));
    }
  }
  if (res != nullptr) uv_freeaddrinfo(res);
  delete lk;
  if (self == nullptr) return;
  self->lookup_ = nullptr;
  int error = WSocketErrorFromUv(status);
  if (error == 0 && results.empty()) error = WSANO_DATA;
  self->FinishLookup(error, std::move(results));
}

void TWSocket::OnReverseDone(uv_getnameinfo_t* req, int status, const char* host,
                             const char* /*service*/) {
  auto* lk = static_cast<Lookup*>(req->data);
  TWSocket* self = lk->owner;
  std::vector<std::string> results;
  if (status == 0 && host != nullptr && *host != '\0') results.emplace_back(host);
  delete lk;
  if (self == nullptr) return;
  self->lookup_ = nullptr;
  int error = WSocketErrorFromUv(status);
  if (error == 0 && results.empty()) error = WSANO_DATA;
  self->FinishLookup(error, std::move(results));
}

void TWSocket::FinishLookup(int error, std::vector<std::string> results) {
  if (error == 0) {
    dnsResultList_ = std::move(results);
    dnsResult_ = dnsResultList_.front();
  }
  FromLoop([this, error] {
    if (OnDnsLookupDone) OnDnsLookupDone(*this, static_cast<std::uint16_t>(error));
  });
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
  rcvdLine_.clear();
  lineLength_ = 0;
  DeleteBufferedData();
  if (::close(fd) != 0 && errno != EINTR) {
    // The descriptor is released whatever close() reports; say so and finish
    // the close so that the object stays usable.
    const int code = LastErrno();
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

void TWSocket::WaitForClose() {
  std::weak_ptr<int> token = life_;
  while (!token.expired() && hSocket_ >= 0 && state_ != wsClosed) {
    pollfd pfd{hSocket_, static_cast<short>(POLLIN | POLLRDHUP), 0};
    const int timeoutMs = flushTimeout_ > 0 ? flushTimeout_ * 1000 : 0;
    const int r = ::poll(&pfd, 1, timeoutMs);
    if (r <= 0) break;  // nothing more within the time-out: stop waiting
    int events = 0;
    if (pfd.revents & (POLLIN | POLLHUP | POLLERR)) events |= UV_READABLE;
    if (pfd.revents & (POLLRDHUP | POLLHUP)) events |= UV_DISCONNECT;
    const int status = (pfd.revents & POLLERR) != 0 ? UV_EBADF : 0;
    FromLoop([this, events, status] { ProcessEvents(events, status, true); });
  }
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
  if (sockType_ == SOCK_DGRAM) return Dotted(sin_.sin_addr);
  sockaddr_in peer{};
  socklen_t len = sizeof peer;
  if (getpeername(hSocket_, reinterpret_cast<sockaddr*>(&peer), &len) != 0) {
    SocketError("GetPeerName", LastErrno());
    return "error";
  }
  return Dotted(peer.sin_addr);
}

int TWSocket::GetPeerName(sockaddr_in& name, socklen_t& nameLen) {
  socklen_t len = sizeof name;
  if (hSocket_ < 0 || getpeername(hSocket_, reinterpret_cast<sockaddr*>(&name), &len) != 0) {
    SocketError("GetPeerName", hSocket_ < 0 ? WSAENOTSOCK : LastErrno());
    return -1;
  }
  nameLen = len;
  return 0;
}

int TWSocket::GetSockName(sockaddr_in& name, socklen_t& nameLen) {
  socklen_t len = sizeof name;
  if (hSocket_ < 0 || getsockname(hSocket_, reinterpret_cast<sockaddr*>(&name), &len) != 0) {
    SocketError("GetSockName", hSocket_ < 0 ? WSAENOTSOCK : LastErrno());
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

// ---------------------------------------------------------------------------
// SOCKS negotiation

void TWSocket::SocksSend(const std::string& bytes) {
  // Negotiation messages are a few hundred bytes at most; a fresh connection
  // takes them whole.
  const ssize_t r = ::send(hSocket_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
  if (r != static_cast<ssize_t>(bytes.size())) {
    const int code = r < 0 ? LastErrno() : socksInternalError;
    SocksFail(code, "socks: cannot send the request");
  }
}

// Reads until socksRcvBuf_ holds `want` bytes, never more, so that data the
// server sends after its reply stays in the socket for the application.
bool TWSocket::SocksRead(std::size_t want) {
  while (socksRcvBuf_.size() < want) {
    char buf[512];
    const std::size_t n = std::min(sizeof buf, want - socksRcvBuf_.size());
    const ssize_t r = ::recv(hSocket_, buf, n, 0);
    if (r > 0) {
      socksRcvBuf_.append(buf, static_cast<std::size_t>(r));
      continue;
    }
    if (r < 0 && IsRetryableErrno(errno)) return false;
    SocksFail(socksDataReceiveError, "socks: connection closed during negotiation");
    return false;
  }
  return true;
}

void TWSocket::SocksStart() {
  socksRcvBuf_.clear();
  if (socksLevel_ == "5") {
    std::string hello;
    if (socksAuthentication_ == socksAuthenticateUsercode)
      hello = std::string("\x05\x02\x00\x02", 4);
    else
      hello = std::string("\x05\x01\x00", 3);
    socksPhase_ = kSocks5Greeting;
    SocksSend(hello);
  } else {
    std::string req;
    req += '\x04';
    req += '\x01';
    req += static_cast<char>(socksDestPort_ >> 8);
    req += static_cast<char>(socksDestPort_ & 0xff);
    in_addr dest{};
    const bool numeric = inet_pton(AF_INET, socksDestAddr_.c_str(), &dest) == 1;
    if (!numeric) {
      if (socksLevel_ != "4A") {
        SocksFail(socksHostResolutionFailed, "socks: SOCKS 4 needs an IPv4 address");
        return;
      }
      dest.s_addr = htonl(1);  // 0.0.0.1: the server resolves the name
    }
    req.append(reinterpret_cast<const char*>(&dest.s_addr), 4);
    req += socksUsercode_;
    req += '\0';
    if (!numeric) {
      req += socksDestAddr_;
      req += '\0';
    }
    socksPhase_ = kSocks4Reply;
    SocksSend(req);
  }
  if (socksPhase_ != kSocksNone) UpdatePoll();
}

void TWSocket::SocksSendConnectRequest() {
  std::string req("\x05\x01\x00", 3);
  in_addr dest{};
  if (inet_pton(AF_INET, socksDestAddr_.c_str(), &dest) == 1) {
    req += '\x01';
    req.append(reinterpret_cast<const char*>(&dest.s_addr), 4);
  } else {
    if (socksDestAddr_.size() > 255) {
      SocksFail(socksProtocolError, "socks: host name too long");
      return;
    }
    req += '\x03';
    req += static_cast<char>(socksDestAddr_.size());
    req += socksDestAddr_;
  }
  req += static_cast<char>(socksDestPort_ >> 8);
  req += static_cast<char>(socksDestPort_ & 0xff);
  socksRcvBuf_.clear();
  socksPhase_ = kSocks5Reply;
  SocksSend(req);
}

void TWSocket::SocksOnData() {
  std::weak_ptr<int> token = life_;
  switch (socksPhase_) {
    case kSocks5Greeting: {
      if (!SocksRead(2)) return;
      const auto ver = static_cast<unsigned char>(socksRcvBuf_[0]);
      const auto method = static_cast<unsigned char>(socksRcvBuf_[1]);
      socksRcvBuf_.clear();
      if (ver != 5) {
        SocksFail(socksVersionError, "socks: the server does not speak SOCKS 5");
        return;
      }
      if (method == 0) {
        if (OnSocksAuthState) OnSocksAuthState(*this, socksAuthNotRequired);
        if (token.expired()) return;
        SocksSendConnectRequest();
        return;
      }
      if (method == 2 && socksAuthentication_ == socksAuthenticateUsercode) {
        if (socksUsercode_.size() > 255 || socksPassword_.size() > 255) {
          SocksFail(socksAuthenticationFailed, "socks: user code or password too long");
          return;
        }
        if (OnSocksAuthState) OnSocksAuthState(*this, socksAuthStart);
        if (token.expired()) return;
        std::string req;
        req += '\x01';
        req += static_cast<char>(socksUsercode_.size());
        req += socksUsercode_;
        req += static_cast<char>(socksPassword_.size());
        req += socksPassword_;
        socksPhase_ = kSocks5Auth;
        SocksSend(req);
        return;
      }
      SocksFail(socksAuthMethodError, "socks: no acceptable authentication method");
      return;
    }
    case kSocks5Auth: {
      if (!SocksRead(2)) return;
      const auto status = static_cast<unsigned char>(socksRcvBuf_[1]);
      socksRcvBuf_.clear();
      if (status != 0) {
        if (OnSocksAuthState) OnSocksAuthState(*this, socksAuthFailure);
        if (token.expired()) return;
        SocksFail(socksAuthenticationFailed, "socks: authentication failed");
        return;
      }
      if (OnSocksAuthState) OnSocksAuthState(*this, socksAuthSuccess);
      if (token.expired()) return;
      SocksSendConnectRequest();
      return;
    }
    case kSocks5Reply: {
      if (!SocksRead(5)) return;
      const auto ver = static_cast<unsigned char>(socksRcvBuf_[0]);
      const auto rep = static_cast<unsigned char>(socksRcvBuf_[1]);
      if (ver != 5) {
        SocksFail(socksVersionError, "socks: the server does not speak SOCKS 5");
        return;
      }
      if (rep != 0) {
        static const int codes[] = {socksNoError,
                                    socksGeneralFailure,
                                    socksConnectionNotAllowed,
                                    socksNetworkUnreachable,
                                    socksHostUnreachable,
                                    socksConnectionRefused,
                                    socksTtlExpired,
                                    socksUnknownCommand,
                                    socksUnknownAddressType};
        const int code = rep < 9 ? codes[rep] : socksUnassignedError;
        SocksFail(code, "socks: the server refused the connection, reply " + std::to_string(rep));
        return;
      }
      socksPhase_ = kSocks5ReplyTail;
      [[fallthrough]];
    }
    case kSocks5ReplyTail: {
      if (!SocksRead(5)) return;
      const auto atyp = static_cast<unsigned char>(socksRcvBuf_[3]);
      std::size_t total;
      if (atyp == 1)
        total = 4 + 4 + 2;
      else if (atyp == 3)
        total = 5 + static_cast<unsigned char>(socksRcvBuf_[4]) + 2;
      else if (atyp == 4)
        total = 4 + 16 + 2;
      else {
        SocksFail(socksUnknownAddressType, "socks: unknown address type in the reply");
        return;
      }
      if (!SocksRead(total)) return;
      SocksDone();
      return;
    }
    case kSocks4Reply: {
      if (!SocksRead(8)) return;
      const auto ver = static_cast<unsigned char>(socksRcvBuf_[0]);
      const auto rep = static_cast<unsigned char>(socksRcvBuf_[1]);
      if (ver != 0) {
        SocksFail(socksProtocolError, "socks: malformed SOCKS 4 reply");
        return;
      }
      if (rep != 90) {
        SocksFail(socksRejectedOrFailed,
                  "socks: request rejected or failed, reply " + std::to_string(rep));
        return;
      }
      SocksDone();
      return;
    }
    default:
      return;
  }
}

void TWSocket::SocksDone() {
  std::weak_ptr<int> token = life_;
  socksPhase_ = kSocksNone;
  socksRcvBuf_.clear();
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
  if (socksPhase_ == kSocksNone) return;
  socksPhase_ = kSocksNone;
  socksRcvBuf_.clear();
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
