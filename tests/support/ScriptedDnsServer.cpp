#include "tests/support/ScriptedDnsServer.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <array>
#include <cctype>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace orvane::testing {
namespace {

void put16(std::string& out, unsigned v) {
  out.push_back(static_cast<char>((v >> 8) & 0xFF));
  out.push_back(static_cast<char>(v & 0xFF));
}

void put32(std::string& out, std::uint32_t v) {
  put16(out, v >> 16);
  put16(out, v & 0xFFFF);
}

unsigned get16(const std::string& s, std::size_t pos) {
  return (static_cast<unsigned char>(s[pos]) << 8) | static_cast<unsigned char>(s[pos + 1]);
}

constexpr unsigned kTypeA = 1;
constexpr unsigned kTypeCname = 5;
constexpr unsigned kTypeMx = 15;
constexpr unsigned kClassIn = 1;

// Room for a burst of queries: a thousand clients asking at the same moment
// overflow the system's default receive buffer, and a lost query costs its
// client a whole time-out. Above the system's ceiling only with privilege.
constexpr int kReceiveBufferBytes = 4 * 1024 * 1024;

void WidenReceiveBuffer(uv_udp_t* socket) {
  uv_os_fd_t fd{};
  if (uv_fileno(reinterpret_cast<uv_handle_t*>(socket), &fd) != 0) return;
  const int size = kReceiveBufferBytes;
#ifdef SO_RCVBUFFORCE
  if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) == 0) return;
#endif
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
}

struct SendRequest {
  uv_udp_send_t req;
  std::string data;
};

}  // namespace

void ScriptedDnsServer::setReceiveBuffer(int bytes) {
  uv_os_fd_t fd{};
  if (udp_ == nullptr || uv_fileno(reinterpret_cast<uv_handle_t*>(udp_), &fd) != 0) return;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
}

ScriptedDnsServer::ScriptedDnsServer(net::EventLoop& loop) : loop_(loop) {
  udp_ = openSocket("127.0.0.1", 0);
  if (udp_ == nullptr) throw std::runtime_error("ScriptedDnsServer: cannot bind 127.0.0.1");
  sockaddr_in local{};
  int len = sizeof(local);
  uv_udp_getsockname(udp_, reinterpret_cast<sockaddr*>(&local), &len);
  port_ = ntohs(local.sin_port);
}

ScriptedDnsServer::~ScriptedDnsServer() {
  timers_.clear();
  closeSocket(udp_);
  closeSocket(wrongPort_);
  closeSocket(wrongAddr_);
}

uv_udp_t* ScriptedDnsServer::openSocket(const char* ip, int port) {
  auto* socket = new uv_udp_t;
  uv_udp_init(loop_.uv(), socket);
  socket->data = this;
  sockaddr_in addr{};
  uv_ip4_addr(ip, port, &addr);
  if (uv_udp_bind(socket, reinterpret_cast<const sockaddr*>(&addr), 0) != 0 ||
      uv_udp_recv_start(socket, &ScriptedDnsServer::onAlloc, &ScriptedDnsServer::onRecv) != 0) {
    closeSocket(socket);
    return nullptr;
  }
  WidenReceiveBuffer(socket);
  return socket;
}

void ScriptedDnsServer::closeSocket(uv_udp_t*& socket) {
  if (socket == nullptr) return;
  socket->data = nullptr;
  uv_close(reinterpret_cast<uv_handle_t*>(socket),
           [](uv_handle_t* h) { delete reinterpret_cast<uv_udp_t*>(h); });
  socket = nullptr;
}

std::string ScriptedDnsServer::address() const {
  return "127.0.0.1:" + std::to_string(port_);
}

std::string ScriptedDnsServer::key(std::string_view name) {
  if (!name.empty() && name.back() == '.') name.remove_suffix(1);
  std::string k(name);
  for (char& c : k) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return k;
}

void ScriptedDnsServer::addMx(const std::string& domain, int preference, const std::string& host) {
  table_[key(domain)].mx.emplace_back(preference, host);
}

void ScriptedDnsServer::addA(const std::string& name, const std::string& ipv4) {
  in_addr a{};
  if (inet_pton(AF_INET, ipv4.c_str(), &a) != 1)
    throw std::invalid_argument("ScriptedDnsServer::addA: not an IPv4 address: " + ipv4);
  table_[key(name)].a.push_back(a.s_addr);
}

void ScriptedDnsServer::setCname(const std::string& domain, const std::string& target) {
  table_[key(domain)].cname = target;
}

void ScriptedDnsServer::setRcode(const std::string& domain, int rcode) {
  table_[key(domain)].rcode = rcode;
}

void ScriptedDnsServer::setMisbehaviour(Misbehaviour m) {
  misbehaviour_ = m;
  if (m == Misbehaviour::WrongPortFirst && wrongPort_ == nullptr)
    wrongPort_ = openSocket("127.0.0.1", 0);
  if (m == Misbehaviour::WrongAddressFirst && wrongAddr_ == nullptr)
    wrongAddr_ = openSocket("127.0.0.2", port_);
}

std::string ScriptedDnsServer::encodeName(std::string_view name) {
  if (!name.empty() && name.back() == '.') name.remove_suffix(1);
  std::string out;
  while (!name.empty()) {
    const auto dot = name.find('.');
    const std::string_view label = name.substr(0, dot);
    out.push_back(static_cast<char>(label.size()));
    out.append(label);
    if (dot == std::string_view::npos) break;
    name.remove_prefix(dot + 1);
  }
  out.push_back('\0');
  return out;
}

namespace {

// Header of an answer to `q` with `answers` records; the question is copied.
std::string answerHeader(const ScriptedDnsServer::Query& q, std::uint16_t id, unsigned rcode,
                         unsigned answers) {
  std::string out;
  put16(out, id);
  const unsigned rd = q.raw.size() >= 4 ? (get16(q.raw, 2) & 0x0100) : 0;
  put16(out, 0x8000 | rd | 0x0080 | (rcode & 15));
  put16(out, 1);
  put16(out, answers);
  put16(out, 0);
  put16(out, 0);
  out += ScriptedDnsServer::encodeName(q.name);
  put16(out, q.type);
  put16(out, q.qclass);
  return out;
}

}  // namespace

std::string ScriptedDnsServer::tableAnswer(const Query& q) const {
  const std::string qkey = key(q.name);
  auto owner = [&](const std::string& name) {
    // Owner names equal to the question point back at it (offset 12).
    return key(name) == qkey ? std::string("\xC0\x0C", 2) : encodeName(name);
  };

  std::string records;
  unsigned count = 0;
  unsigned rcode = 3;
  auto it = table_.find(qkey);
  if (it != table_.end()) {
    rcode = it->second.rcode.value_or(0);
    std::string name = q.name;
    const Entry* entry = &it->second;
    if (!entry->cname.empty()) {
      const std::string target = encodeName(entry->cname);
      records += owner(name);
      put16(records, kTypeCname);
      put16(records, kClassIn);
      put32(records, ttl_);
      put16(records, static_cast<unsigned>(target.size()));
      records += target;
      ++count;
      name = entry->cname;
      auto target_it = table_.find(key(name));
      entry = target_it == table_.end() ? nullptr : &target_it->second;
    }
    if (entry != nullptr && q.type == kTypeMx) {
      for (const auto& [pref, host] : entry->mx) {
        const std::string exchange = encodeName(host);
        records += owner(name);
        put16(records, kTypeMx);
        put16(records, kClassIn);
        put32(records, ttl_);
        put16(records, static_cast<unsigned>(2 + exchange.size()));
        put16(records, static_cast<unsigned>(pref));
        records += exchange;
        ++count;
      }
    }
    if (entry != nullptr && q.type == kTypeA) {
      for (std::uint32_t a : entry->a) {
        records += owner(name);
        put16(records, kTypeA);
        put16(records, kClassIn);
        put32(records, ttl_);
        put16(records, 4);
        records.append(reinterpret_cast<const char*>(&a), 4);  // already network order
        ++count;
      }
    }
  }
  return answerHeader(q, q.id, rcode, count) + records;
}

std::string ScriptedDnsServer::forgedAnswer(const Query& q, std::uint16_t id) {
  std::string out = answerHeader(q, id, 0, 1);
  const std::string exchange = encodeName(kForgedExchange);
  out += std::string("\xC0\x0C", 2);
  put16(out, kTypeMx);
  put16(out, kClassIn);
  put32(out, 3600);
  put16(out, static_cast<unsigned>(2 + exchange.size()));
  put16(out, 0);
  out += exchange;
  return out;
}

void ScriptedDnsServer::onAlloc(uv_handle_t* handle, std::size_t, uv_buf_t* buf) {
  auto* self = static_cast<ScriptedDnsServer*>(handle->data);
  if (self == nullptr) {
    *buf = uv_buf_init(nullptr, 0);
    return;
  }
  *buf = uv_buf_init(self->recvBuf_, sizeof(self->recvBuf_));
}

void ScriptedDnsServer::onRecv(uv_udp_t* handle, ssize_t nread, const uv_buf_t* buf,
                               const sockaddr* addr, unsigned) {
  auto* self = static_cast<ScriptedDnsServer*>(handle->data);
  // Only the main socket takes queries; the forging sockets just send.
  if (self == nullptr || handle != self->udp_ || nread < 0 || addr == nullptr) return;
  if (addr->sa_family != AF_INET) return;
  sockaddr_in from{};
  std::memcpy(&from, addr, sizeof(from));
  self->handleQuery(std::string(buf->base, static_cast<std::size_t>(nread)), from);
}

void ScriptedDnsServer::handleQuery(std::string datagram, const sockaddr_in& from) {
  Query q;
  q.raw = std::move(datagram);
  q.from = from;
  if (q.raw.size() >= 12) {
    q.id = static_cast<std::uint16_t>(get16(q.raw, 0));
    // One plain (uncompressed) question is all a client sends.
    std::size_t pos = 12;
    std::string name;
    bool ok = get16(q.raw, 4) >= 1;
    while (ok) {
      if (pos >= q.raw.size()) {
        ok = false;
        break;
      }
      const auto len = static_cast<unsigned char>(q.raw[pos]);
      if (len == 0) {
        ++pos;
        break;
      }
      if (len > 63 || pos + 1 + len > q.raw.size()) {
        ok = false;
        break;
      }
      if (!name.empty()) name += '.';
      name.append(q.raw, pos + 1, len);
      pos += 1 + len;
    }
    if (ok && pos + 4 <= q.raw.size()) {
      q.name = name;
      q.type = static_cast<std::uint16_t>(get16(q.raw, pos));
      q.qclass = static_cast<std::uint16_t>(get16(q.raw, pos + 2));
      q.parsed = true;
    }
  }
  ++queriesSeen_;
  if (keepQueries_) queries_.push_back(q);

  std::string answer;
  if (handler_) {
    if (auto custom = handler_(q)) {
      answer = std::move(*custom);
    } else if (q.parsed) {
      answer = tableAnswer(q);
    }
  } else if (q.parsed) {
    answer = tableAnswer(q);
  }
  if (answer.empty() || misbehaviour_ == Misbehaviour::Silent) return;

  if (delayMs_ == 0) {
    respond(q, answer);
    return;
  }
  // Drop the timers that have fired before adding another.
  timers_.remove_if([](const std::unique_ptr<net::Timer>& t) { return !t->active(); });
  auto& timer = timers_.emplace_back(std::make_unique<net::Timer>(loop_));
  timer->start(delayMs_, 0, [this, q, answer] { respond(q, answer); });
}

void ScriptedDnsServer::respond(const Query& q, const std::string& answer) {
  switch (misbehaviour_) {
    case Misbehaviour::WrongIdFirst:
      sendFrom(udp_, forgedAnswer(q, static_cast<std::uint16_t>(q.id ^ 0x5A5A)), q.from);
      break;
    case Misbehaviour::WrongPortFirst:
      sendFrom(wrongPort_, forgedAnswer(q, q.id), q.from);
      break;
    case Misbehaviour::WrongAddressFirst:
      sendFrom(wrongAddr_, forgedAnswer(q, q.id), q.from);
      break;
    case Misbehaviour::Truncated:
      sendFrom(udp_, answer.substr(0, answer.size() / 2), q.from);
      return;
    case Misbehaviour::Duplicate:
      sendFrom(udp_, answer, q.from);
      break;
    case Misbehaviour::None:
    case Misbehaviour::Silent:
      break;
  }
  sendFrom(udp_, answer, q.from);
}

void ScriptedDnsServer::sendFrom(uv_udp_t* socket, const std::string& bytes,
                                 const sockaddr_in& to) {
  if (socket == nullptr) return;
  // At once when nothing is queued on the socket (libuv refuses otherwise, so
  // the order of answers is kept); queued behind the others when it is.
  const int direct =
      uv_udp_try_send(socket,
                      std::array<uv_buf_t, 1>{uv_buf_init(const_cast<char*>(bytes.data()),
                                                          static_cast<unsigned>(bytes.size()))}
                          .data(),
                      1, reinterpret_cast<const sockaddr*>(&to));
  if (direct >= 0) {
    ++sent_;
    return;
  }
  auto* request = new SendRequest;
  request->data = bytes;
  request->req.data = request;
  uv_buf_t buf = uv_buf_init(request->data.data(), static_cast<unsigned>(request->data.size()));
  // Sends are queued in order per socket; the request frees itself when done
  // (or cancelled when the server closes first).
  if (uv_udp_send(&request->req, socket, &buf, 1, reinterpret_cast<const sockaddr*>(&to),
                  [](uv_udp_send_t* req, int) { delete static_cast<SendRequest*>(req->data); }) !=
      0) {
    delete request;
    return;
  }
  ++sent_;
}

}  // namespace orvane::testing
