// TWSocket: queuing and sending output.
#include "net/WSocket.h"

#include <poll.h>

#include <cerrno>
#include <memory>
#include <utility>

#include "net/WSocketInternal.h"

namespace orvane::net {

namespace {

constexpr std::size_t kMaxDatagram = 65507;

}  // namespace

void TWSocket::deleteBufferedData() {
  bufList_.clear();
  allSent_ = true;
}

int TWSocket::Send(const void* data, int len) {
  if (state_ != wsConnected) {
    socketError("Send", WSAENOTCONN);
    return -1;
  }
  if (len <= 0 || data == nullptr) return 0;
  const char* p = static_cast<const char*>(data);
  if (sockType_ == SOCK_DGRAM) {
    // One Send is one datagram: it gets a block of its own, never merged
    // with or split across another.
    if (static_cast<std::size_t>(len) > kMaxDatagram) {
      socketError("Send", WSAEMSGSIZE);
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
    postWriteNotice();
  else
    updatePoll();
  return len;
}

int TWSocket::SendStr(std::string_view str) {
  return Send(str.data(), static_cast<int>(str.size()));
}

void TWSocket::TryToSend() {
  if (hSocket_ < 0 || bufList_.empty()) return;
  std::weak_ptr<int> token = life_;
  const int flags = sendMsgFlags();
  for (;;) {
    if (bufList_.empty()) {
      allSent_ = true;
      return;
    }
    TBuffer& block = *bufList_.front();
    int len = 0;
    const char* p = block.peek(len);
    if (len == 0) {
      // The emptied last block of a stream stays for the next Send, which
      // spares two allocations per command.
      if (bufList_.size() == 1 && sockType_ == SOCK_STREAM && block.bufSize() == bufSize_) {
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
      r = ::sendto(hSocket_, p, static_cast<std::size_t>(len), flags, remote_.data(),
                   remote_.size());
    else
      r = ::send(hSocket_, p, static_cast<std::size_t>(len), flags);
    if (r == 0) return;
    if (r < 0) {
      const int e = errno;
      if (isRetryableErrno(e)) return;  // resumes on the next write readiness
      const int code = socketErrorFromErrno(e);
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
      socketError("TryToSend failed", code);
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

void TWSocket::postWriteNotice() {
  const std::uint64_t id = connId_;
  loop_.post(life_, [this, id] {
    if (id != connId_ || hSocket_ < 0 || paused_ || state_ != wsConnected) return;
    fromLoop([this] { handleWriteEvent(0); });
  });
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
    const int timeoutMs = flushTimeoutMs();
    if (::poll(&pfd, 1, timeoutMs) <= 0) break;
  }
  if (sentSomething && allSent_ && hSocket_ >= 0) postWriteNotice();
  if (hSocket_ >= 0) updatePoll();
}

bool TWSocket::datagramCallFits(const void* data, int len) {
  if (hSocket_ < 0) {
    lastError_ = WSAENOTSOCK;
    return false;
  }
  if (len < 0 || (data == nullptr && len > 0)) {
    lastError_ = WSAEFAULT;
    return false;
  }
  return true;
}

int TWSocket::SendTo(const SocketAddress& dest, const void* data, int len) {
  if (!datagramCallFits(data, len)) return -1;
  const ssize_t r = ::sendto(hSocket_, data, static_cast<std::size_t>(len), sendMsgFlags(),
                             dest.data(), dest.size());
  if (r < 0) {
    lastError_ = lastErrno();
    return -1;
  }
  return static_cast<int>(r);
}

}  // namespace orvane::net
