// TWSocket: readiness dispatch and everything that reads input.
#include "net/WSocket.h"

#include <poll.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "net/WSocketInternal.h"

namespace orvane::net {

// ---------------------------------------------------------------------------
// Readiness dispatch

void TWSocket::onPoll(void* context, int status, int events, bool maybeStale) {
  auto* self = static_cast<TWSocket*>(context);
  self->fromLoop(
      [self, status, events, maybeStale] { self->processEvents(events, status, maybeStale); });
}

void TWSocket::processEvents(int events, int status, bool maybeStale) {
  std::weak_ptr<int> token = life_;
  if (hSocket_ < 0 || paused_) return;
  if (status < 0) {
    // The loop has stopped watching after a socket error; find the real one.
    int err = pendingSocketError();
    if (err == 0) err = socketErrorFromUv(status);
    if (socks_.running()) {
      socksFail(err, "SOCKS: the connection failed during the negotiation");
      return;
    }
    if (state_ == wsConnecting) {
      handleConnectEvent(err);
      return;
    }
    if (state_ == wsListening) {
      if (OnSessionAvailable) OnSessionAvailable(*this, static_cast<std::uint16_t>(err));
      if (!token.expired()) updatePoll();
      return;
    }
    handleCloseEvent(err);
    return;
  }

  if (state_ == wsConnecting) {
    if (socks_.running()) {
      socksOnData();
      return;
    }
    handleConnectEvent(pendingSocketError());
    return;
  }

  if (state_ == wsListening) {
    if ((events & UV_READABLE) == 0) return;
    const std::uint64_t calls = rcvCalls_;
    if (OnSessionAvailable) OnSessionAvailable(*this, 0);
    if (token.expired()) return;
    // No Accept(): stop watching until the next one, instead of spinning.
    if (calls == rcvCalls_) readSuspended_ = true;
    updatePoll();
    return;
  }

  if (state_ != wsConnected) return;

  if (sockType_ == SOCK_DGRAM) {
    if (events & UV_READABLE) receiveLoop(0);
    if (token.expired() || hSocket_ < 0) return;
    if (events & UV_WRITABLE) handleWriteEvent(0);
    return;
  }

  bool closing = (events & UV_DISCONNECT) != 0;
  int closeError = 0;
  if (events & UV_READABLE) {
    if (lineMode_) {
      if (!readIntoLineBuffer()) {
        closing = true;
        closeError = lastError_ == WSAEWOULDBLOCK ? 0 : lastError_;
      }
      if (token.expired() || hSocket_ < 0) return;
      lineReceiveLoop(0, false);
    } else {
      // Fresh readiness without a hang-up means data is queued; only a
      // hang-up or possibly outdated readiness needs a look at the queue.
      bool failed = false;
      int queued = closing || maybeStale ? queuedBytes(failed) : 1;
      if (!failed && queued == 0) {
        // Readable with nothing queued: the peer has closed or reset.
        char c;
        const ssize_t r = ::recv(hSocket_, &c, 1, MSG_PEEK | MSG_DONTWAIT);
        if (r == 0) {
          closing = true;
        } else if (r < 0 && !isRetryableErrno(errno)) {
          closing = true;
          closeError = lastErrno();
        } else if (r > 0) {
          queued = 1;
        }
      }
      if (queued > 0 || failed) receiveLoop(0);
    }
  }
  if (token.expired() || hSocket_ < 0) return;
  if (events & UV_WRITABLE) handleWriteEvent(0);
  if (token.expired() || hSocket_ < 0) return;
  if (closing) {
    handleCloseEvent(closeError);
    return;
  }
  updatePoll();
}

void TWSocket::handleConnectEvent(int error) {
  std::weak_ptr<int> token = life_;
  if (error == 0 && socksActive_) {
    socksStart();
    return;
  }
  changeState(wsConnected);
  if (token.expired()) return;
  if (OnSessionConnected) OnSessionConnected(*this, static_cast<std::uint16_t>(error));
  if (token.expired()) return;
  if (error != 0 && state_ != wsClosed) {
    Close();
    return;
  }
  updatePoll();
}

void TWSocket::handleWriteEvent(int error) {
  std::weak_ptr<int> token = life_;
  TryToSend();
  if (token.expired()) return;
  if (allSent_ && hSocket_ >= 0 && OnDataSent) OnDataSent(*this, static_cast<std::uint16_t>(error));
  if (token.expired()) return;
  updatePoll();
}

void TWSocket::handleCloseEvent(int error) {
  std::weak_ptr<int> token = life_;
  if (state_ == wsConnecting) return;
  if (lineMode_)
    lineReceiveLoop(0, true);
  else
    receiveLoop(0);
  if (token.expired()) return;
  if (OnSessionClosed && !closeInvoked_ && hSocket_ >= 0) {
    closeInvoked_ = true;
    OnSessionClosed(*this, static_cast<std::uint16_t>(error));
    if (token.expired()) return;
  }
  if (state_ != wsClosed) Close();
}

int TWSocket::pendingSocketError() {
  int err = 0;
  socklen_t len = sizeof err;
  if (hSocket_ < 0 || getsockopt(hSocket_, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return 0;
  return socketErrorFromErrno(err);
}

void TWSocket::WaitForClose() {
  std::weak_ptr<int> token = life_;
  while (!token.expired() && hSocket_ >= 0 && state_ != wsClosed) {
    pollfd pfd{hSocket_, static_cast<short>(POLLIN | POLLRDHUP), 0};
    const int timeoutMs = flushTimeoutMs();
    const int r = ::poll(&pfd, 1, timeoutMs);
    if (r <= 0) break;  // nothing more within the time-out: stop waiting
    int events = 0;
    if (pfd.revents & (POLLIN | POLLHUP | POLLERR)) events |= UV_READABLE;
    if (pfd.revents & (POLLRDHUP | POLLHUP)) events |= UV_DISCONNECT;
    const int status = (pfd.revents & POLLERR) != 0 ? UV_EBADF : 0;
    fromLoop([this, events, status] { processEvents(events, status, true); });
  }
}

// ---------------------------------------------------------------------------
// Receive loops

void TWSocket::receiveLoop(int error) {
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
      if (!lines_.empty()) {
        lines_.discard(1024);
      } else {
        char junk[1024];
        const ssize_t r = ::recv(hSocket_, junk, sizeof junk, 0);
        if (r < 0) {
          if (isRetryableErrno(errno)) break;
          lastError_ = lastErrno();
        } else if (r == 0 && sockType_ == SOCK_STREAM) {
          break;
        }
      }
    }
    if (lastError_ != 0 || hSocket_ < 0) break;
    // The handler's last read came back short: the queue was empty. Anything
    // arriving since is reported by the next readiness.
    if (drainedAtCall_ == rcvCalls_ && calls != rcvCalls_ && lines_.empty()) break;
    bool failed = false;
    const int queued = queuedBytes(failed);
    if (failed || queued <= 0) break;
    if (calls == rcvCalls_) {
      // The handler left the data unread. Stop here instead of spinning; the
      // data stays queued and is reported again after the next read.
      readSuspended_ = true;
      break;
    }
  }
  if (!token.expired()) updatePoll();
}

// Reads everything the system holds into the line buffer. False when the
// peer has closed (lastError_ 0) or the read failed (lastError_ set).
bool TWSocket::readIntoLineBuffer() {
  char buf[4096];
  for (;;) {
    const ssize_t r = ::recv(hSocket_, buf, sizeof buf, 0);
    if (r > 0) {
      lines_.append(std::string_view(buf, static_cast<std::size_t>(r)));
      if (r < static_cast<ssize_t>(sizeof buf)) return true;
      continue;
    }
    if (r == 0) {
      lastError_ = 0;
      return false;
    }
    if (isRetryableErrno(errno)) return true;
    lastError_ = lastErrno();
    return false;
  }
}

void TWSocket::lineReceiveLoop(int error, bool closing) {
  std::weak_ptr<int> token = life_;
  if (closing && hSocket_ >= 0) readIntoLineBuffer();
  for (;;) {
    if (hSocket_ < 0 || !lineMode_) break;
    lines_.markLine(0);
    const LineFramer::Cut cut = lines_.scan(closing);
    if (cut.found == LineFramer::Found::none) break;
    if (cut.found == LineFramer::Found::tooLong && OnLineTooLong) {
      OnLineTooLong(*this);
      if (token.expired()) return;
      if (hSocket_ < 0 || !lineMode_) break;
    }
    lines_.markLine(cut.length);
    if (lines_.lineLength() == 0) break;
    const std::uint64_t calls = rcvCalls_;
    if (OnDataAvailable) {
      OnDataAvailable(*this, static_cast<std::uint16_t>(error));
      if (token.expired()) return;
    } else {
      lines_.discard(lines_.lineLength());
      ++rcvCalls_;
    }
    if (calls == rcvCalls_) break;  // not consumed: held until more data arrives
  }
  if (!token.expired()) updatePoll();
}

// ---------------------------------------------------------------------------
// Reading

void TWSocket::countReadAndRearm() {
  ++rcvCalls_;
  if (readSuspended_) {
    readSuspended_ = false;
    updatePoll();
  }
}

// Bytes waiting in the system's queue plus bytes held back from line mode.
int TWSocket::queuedBytes(bool& failed) {
  failed = false;
  int n = 0;
  if (hSocket_ < 0 || ioctl(hSocket_, FIONREAD, &n) != 0) {
    failed = true;
    lastError_ = hSocket_ < 0 ? WSAENOTSOCK : lastErrno();
    return -1;
  }
  if (!lineMode_) n += static_cast<int>(lines_.held());
  return n;
}

int TWSocket::GetRcvdCount() {
  bool failed = false;
  const int n = queuedBytes(failed);
  if (failed) {
    socketError("ioctlSocket", lastError_);
    return -1;
  }
  return n;
}

int TWSocket::Rcvdcount() {
  return GetRcvdCount();
}

int TWSocket::Receive(void* buffer, int bufferSize) {
  countReadAndRearm();
  if (hSocket_ < 0) {
    lastError_ = WSAENOTSOCK;
    return -1;
  }
  if (bufferSize <= 0 || buffer == nullptr) return 0;
  // Bytes gathered by line mode come first.
  if (!lines_.empty() && (!lineMode_ || lines_.lineLength() > 0)) {
    const auto max = static_cast<std::size_t>(bufferSize);
    const std::size_t n = lineMode_ ? lines_.readLine(buffer, max) : lines_.readHeld(buffer, max);
    readCount_ += static_cast<std::int64_t>(n);
    return static_cast<int>(n);
  }
  if (lineMode_) {
    lastError_ = WSAEWOULDBLOCK;
    return -1;
  }
  ssize_t r;
  if (sockType_ == SOCK_DGRAM) {
    sockaddr_storage from{};
    socklen_t len = sizeof from;
    r = ::recvfrom(hSocket_, buffer, static_cast<std::size_t>(bufferSize), 0,
                   reinterpret_cast<sockaddr*>(&from), &len);
    if (r >= 0) lastFrom_ = SocketAddress::fromSystem(reinterpret_cast<sockaddr*>(&from), len);
  } else {
    r = ::recv(hSocket_, buffer, static_cast<std::size_t>(bufferSize), 0);
    if (r > 0 && r < bufferSize) drainedAtCall_ = rcvCalls_;
  }
  if (r < 0) {
    lastError_ = lastErrno();
    return -1;
  }
  readCount_ += r;
  return static_cast<int>(r);
}

std::string TWSocket::ReceiveStr() {
  if (lineMode_) {
    if (lines_.lineLength() == 0) {
      ++rcvCalls_;
      return {};
    }
    std::string line(lines_.lineLength(), '\0');
    const int n = Receive(line.data(), static_cast<int>(line.size()));
    line.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return line;
  }
  bool failed = false;
  const int queued = queuedBytes(failed);
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

int TWSocket::ReceiveFrom(void* buffer, int bufferSize, SocketAddress& from) {
  countReadAndRearm();
  if (!datagramCallFits(buffer, bufferSize)) return -1;
  sockaddr_storage raw{};
  socklen_t len = sizeof raw;
  const ssize_t r = ::recvfrom(hSocket_, buffer, static_cast<std::size_t>(bufferSize), 0,
                               reinterpret_cast<sockaddr*>(&raw), &len);
  if (r < 0) {
    lastError_ = lastErrno();
    return -1;
  }
  from = SocketAddress::fromSystem(reinterpret_cast<sockaddr*>(&raw), len);
  lastFrom_ = from;
  readCount_ += r;
  return static_cast<int>(r);
}

}  // namespace orvane::net
