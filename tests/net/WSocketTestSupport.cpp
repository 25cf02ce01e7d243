#include "tests/net/WSocketTestSupport.h"

#include <arpa/inet.h>
#include <netinet/tcp.h>

#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace orvane::net::testing {

namespace {

template <class H>
void CloseAndDelete(H* h) {
  h->data = nullptr;
  if (!uv_is_closing(reinterpret_cast<uv_handle_t*>(h)))
    uv_close(reinterpret_cast<uv_handle_t*>(h),
             [](uv_handle_t* p) { delete reinterpret_cast<H*>(p); });
}

sockaddr_in Loopback(int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

struct WriteReq {
  uv_write_t req;
  std::string bytes;
  std::shared_ptr<int> done;
};

}  // namespace

int UnusedPort(int type) {
  const int fd = ::socket(AF_INET, type, 0);
  sockaddr_in a = Loopback(0);
  socklen_t len = sizeof a;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
    throw std::runtime_error("no free port");
  ::close(fd);
  return ntohs(a.sin_port);
}

TcpPeer::TcpPeer(uv_loop_t* loop) : handle_(new uv_tcp_t) {
  uv_tcp_init(loop, handle_);
  handle_->data = this;
}

TcpPeer::~TcpPeer() {
  if (handle_ != nullptr) CloseAndDelete(handle_);
}

void TcpPeer::OnAlloc(uv_handle_t*, size_t, uv_buf_t* buf) {
  static char storage[65536];
  *buf = uv_buf_init(storage, sizeof storage);
}

void TcpPeer::OnRead(uv_stream_t* s, ssize_t n, const uv_buf_t* buf) {
  auto* self = static_cast<TcpPeer*>(s->data);
  if (self == nullptr) return;
  if (n > 0) {
    self->received.append(buf->base, static_cast<size_t>(n));
  } else if (n == UV_EOF) {
    self->eof = true;
    uv_read_stop(s);
  } else if (n < 0) {
    self->readError = static_cast<int>(n);
    uv_read_stop(s);
  }
}

void TcpPeer::StartReading() {
  if (handle_ == nullptr) return;
  uv_read_start(reinterpret_cast<uv_stream_t*>(handle_), &TcpPeer::OnAlloc, &TcpPeer::OnRead);
}

void TcpPeer::Write(std::string bytes) {
  if (handle_ == nullptr || closed_) return;
  auto* w = new WriteReq;
  w->bytes = std::move(bytes);
  w->done = writesDone;
  uv_buf_t b = uv_buf_init(w->bytes.data(), static_cast<unsigned>(w->bytes.size()));
  if (uv_write(&w->req, reinterpret_cast<uv_stream_t*>(handle_), &b, 1, [](uv_write_t* r, int) {
        auto* req = reinterpret_cast<WriteReq*>(r);
        ++*req->done;
        delete req;
      }) != 0)
    delete w;
}

void TcpPeer::Close() {
  if (closed_) return;
  closed_ = true;
  struct ShutdownReq {
    uv_shutdown_t req;
    std::shared_ptr<bool> done;
  };
  auto* req = new ShutdownReq{{}, shutdownDone};
  if (uv_shutdown(&req->req, reinterpret_cast<uv_stream_t*>(handle_), [](uv_shutdown_t* r, int) {
        auto* sr = reinterpret_cast<ShutdownReq*>(r);
        *sr->done = true;
        delete sr;
      }) != 0)
    delete req;
}

int TcpPeer::TcpState() const {
  uv_os_fd_t fd = -1;
  if (handle_ == nullptr || uv_fileno(reinterpret_cast<const uv_handle_t*>(handle_), &fd) != 0)
    return -1;
  tcp_info info{};
  socklen_t len = sizeof info;
  if (getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &len) != 0) return -1;
  return info.tcpi_state;
}

void TcpPeer::Reset() {
  if (closed_) return;
  closed_ = true;
  handle_->data = nullptr;
  uv_tcp_close_reset(handle_, [](uv_handle_t* p) { delete reinterpret_cast<uv_tcp_t*>(p); });
  handle_ = nullptr;
}

TcpPeerServer::TcpPeerServer(EventLoop& loop, bool readAtOnce)
    : loop_(loop), handle_(new uv_tcp_t), readAtOnce_(readAtOnce) {
  uv_tcp_init(loop.uv(), handle_);
  handle_->data = this;
  sockaddr_in a = Loopback(0);
  if (uv_tcp_bind(handle_, reinterpret_cast<sockaddr*>(&a), 0) != 0 ||
      uv_listen(reinterpret_cast<uv_stream_t*>(handle_), 128, &TcpPeerServer::OnConnection) != 0)
    throw std::runtime_error("cannot listen");
  int len = sizeof a;
  uv_tcp_getsockname(handle_, reinterpret_cast<sockaddr*>(&a), &len);
  port_ = ntohs(a.sin_port);
}

TcpPeerServer::~TcpPeerServer() {
  peers.clear();
  CloseAndDelete(handle_);
}

void TcpPeerServer::OnConnection(uv_stream_t* s, int status) {
  auto* self = static_cast<TcpPeerServer*>(s->data);
  if (self == nullptr || status != 0) return;
  auto peer = std::make_unique<TcpPeer>(self->loop_.uv());
  if (uv_accept(s, reinterpret_cast<uv_stream_t*>(peer->handle())) != 0) return;
  if (self->readAtOnce_) peer->StartReading();
  self->peers.push_back(std::move(peer));
  if (self->onAccept) self->onAccept(*self->peers.back());
}

}  // namespace orvane::net::testing
