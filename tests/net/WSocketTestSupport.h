// TCP loopback peers for the socket tests, written on raw libuv so that they
// do not share code with the socket under test (datagrams meet a raw-libuv
// peer in the DNS query's tests). Everything runs on the test's event loop
// thread; ports are ephemeral on 127.0.0.1.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "net/EventLoop.h"

namespace orvane::net::testing {

// A free TCP or UDP port on 127.0.0.1 that nothing listens on right now.
int UnusedPort(int type = SOCK_STREAM);

// The message of the exception of type E that `call` throws, or "no exception".
template <class E>
std::string Thrown(const std::function<void()>& call) {
  try {
    call();
  } catch (const E& e) {
    return e.what();
  }
  return "no exception";
}

// One accepted connection of a TcpPeerServer.
class TcpPeer final {
 public:
  explicit TcpPeer(uv_loop_t* loop);
  ~TcpPeer();
  TcpPeer(const TcpPeer&) = delete;
  TcpPeer& operator=(const TcpPeer&) = delete;

  uv_tcp_t* handle() noexcept { return handle_; }
  void StartReading();
  void Write(std::string bytes);
  void Close();  // orderly: FIN after pending writes
  void Reset();  // RST
  // The kernel's TCP state of this end (TCP_ESTABLISHED, TCP_CLOSE_WAIT, ...).
  int TcpState() const;

  std::string received;
  bool eof = false;
  int readError = 0;  // libuv status of a failed read (UV_ECONNRESET, ...)
  std::shared_ptr<int> writesDone = std::make_shared<int>(0);
  std::shared_ptr<bool> shutdownDone = std::make_shared<bool>(false);  // FIN sent

 private:
  static void OnAlloc(uv_handle_t*, size_t, uv_buf_t* buf);
  static void OnRead(uv_stream_t* s, ssize_t n, const uv_buf_t* buf);
  uv_tcp_t* handle_;
  bool closed_ = false;
};

// Accepts connections on 127.0.0.1 with an ephemeral port.
class TcpPeerServer final {
 public:
  explicit TcpPeerServer(EventLoop& loop, bool readAtOnce = true);
  ~TcpPeerServer();
  TcpPeerServer(const TcpPeerServer&) = delete;
  TcpPeerServer& operator=(const TcpPeerServer&) = delete;

  int port() const noexcept { return port_; }
  std::vector<std::unique_ptr<TcpPeer>> peers;
  std::function<void(TcpPeer&)> onAccept;

 private:
  static void OnConnection(uv_stream_t* s, int status);
  EventLoop& loop_;
  uv_tcp_t* handle_;
  int port_ = 0;
  bool readAtOnce_;
};

}  // namespace orvane::net::testing
