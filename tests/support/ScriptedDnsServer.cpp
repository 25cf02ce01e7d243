#include "tests/support/ScriptedDnsServer.h"

#include "net/DnsMessage.h"
#include "net/SocketAddress.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <stdexcept>
#include <string_view>
#include <utility>

namespace orvane::testing {
namespace {

using namespace net;  // the DNS type and class constants
const std::string kPointerToQuestion("\xC0\x0C", 2);

// Room for a burst of queries: a thousand clients asking at the same moment
// overflow the system's default receive buffer, and a lost query costs its
// client a whole time-out.
constexpr int kWideReceiveBuffer = 4 * 1024 * 1024;

void put16(std::string& out, unsigned v) {
  out.push_back(static_cast<char>((v >> 8) & 0xFF));
  out.push_back(static_cast<char>(v & 0xFF));
}

std::uint16_t get16(const std::string& s, std::size_t pos) {
  return static_cast<std::uint16_t>((static_cast<unsigned char>(s[pos]) << 8) |
                                    static_cast<unsigned char>(s[pos + 1]));
}

// Lower case without a final dot: names compare as DNS compares them.
std::string key(std::string_view name) {
  if (!name.empty() && name.back() == '.') name.remove_suffix(1);
  std::string k(name);
  for (char& c : k) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return k;
}

// A dotted name as plain labels ending in a zero byte.
std::string encodeName(std::string_view name) {
  if (!name.empty() && name.back() == '.') name.remove_suffix(1);
  std::string out;
  while (!name.empty()) {
    const std::string_view label = name.substr(0, name.find('.'));
    out.push_back(static_cast<char>(label.size()));
    out.append(label);
    name.remove_prefix(std::min(name.size(), label.size() + 1));
  }
  out.push_back('\0');
  return out;
}

void putRecord(std::string& out, const std::string& owner, unsigned type, std::uint32_t ttl,
               const std::string& data) {
  out += owner;
  put16(out, type);
  put16(out, kDnsClassIN);
  put16(out, ttl >> 16);
  put16(out, ttl & 0xFFFF);
  put16(out, static_cast<unsigned>(data.size()));
  out += data;
}

std::string mxData(int preference, const std::string& host) {
  std::string data;
  put16(data, static_cast<unsigned>(preference));
  return data + encodeName(host);
}

// An A or AAAA record's type and data for `ip`.
std::pair<unsigned, std::string> addressRecord(const std::string& ip) {
  unsigned char bytes[16] = {};
  const bool v6 = inet_pton(AF_INET6, ip.c_str(), bytes) == 1;
  if (!v6) inet_pton(AF_INET, ip.c_str(), bytes);
  return {v6 ? kDnsTypeAAAA : kDnsTypeA, std::string(reinterpret_cast<char*>(bytes), v6 ? 16 : 4)};
}

// The header and question of an answer to `q` with `answers` answer and
// `additional` additional records.
std::string answerHeader(const ScriptedDnsServer::Query& q, std::uint16_t id, unsigned rcode,
                         unsigned answers, unsigned additional = 0) {
  std::string out;
  put16(out, id);
  const unsigned rd = q.raw.size() >= 4 ? (get16(q.raw, 2) & 0x0100) : 0;
  put16(out, 0x8000 | rd | 0x0080 | (rcode & 15));
  for (unsigned count : {1u, answers, 0u, additional}) put16(out, count);
  out += encodeName(q.name);
  put16(out, q.type);
  put16(out, q.qclass);
  return out;
}

std::string forgedAnswer(const ScriptedDnsServer::Query& q, std::uint16_t id) {
  std::string out = answerHeader(q, id, 0, 1);
  putRecord(out, kPointerToQuestion, kDnsTypeMX, 3600, mxData(0, "forged.invalid"));
  return out;
}

// The header and the one plain (uncompressed) question a client sends.
ScriptedDnsServer::Query parseQuery(std::string datagram, const sockaddr* from) {
  ScriptedDnsServer::Query q;
  q.raw = std::move(datagram);
  q.sender = net::SocketAddress::fromSystem(from, sizeof(sockaddr_in6));
  if (from->sa_family == AF_INET) std::memcpy(&q.from, from, sizeof q.from);
  if (q.raw.size() < 12) return q;
  q.id = get16(q.raw, 0);
  std::string name;
  std::size_t pos = 12;
  while (pos < q.raw.size() && q.raw[pos] != '\0') {
    const std::size_t length = static_cast<unsigned char>(q.raw[pos]);
    if (length > 63 || pos + 1 + length > q.raw.size()) return q;
    if (!name.empty()) name += '.';
    name.append(q.raw, pos + 1, length);
    pos += 1 + length;
  }
  if (get16(q.raw, 4) == 0 || pos + 5 > q.raw.size()) return q;
  q.name = std::move(name);
  q.type = get16(q.raw, pos + 1);
  q.qclass = get16(q.raw, pos + 3);
  q.parsed = true;
  return q;
}

void closeSocket(uv_udp_t* socket) {
  if (socket == nullptr) return;
  uv_close(reinterpret_cast<uv_handle_t*>(socket),
           [](uv_handle_t* h) { delete reinterpret_cast<uv_udp_t*>(h); });
}

struct SendRequest {
  uv_udp_send_t req;
  std::string data;
};

}  // namespace

ScriptedDnsServer::ScriptedDnsServer(net::EventLoop& loop, const std::string& address)
    : loop_(loop), delays_(loop), ip_(address) {
  udp_ = openSocket(address, 0);
  if (udp_ == nullptr) throw std::runtime_error("ScriptedDnsServer: cannot bind " + address);
  sockaddr_storage local{};
  int length = sizeof local;
  uv_udp_getsockname(udp_, reinterpret_cast<sockaddr*>(&local), &length);
  port_ = net::SocketAddress::fromSystem(reinterpret_cast<sockaddr*>(&local), length).port();
  uv_udp_recv_start(
      udp_,
      [](uv_handle_t* h, std::size_t, uv_buf_t* buf) {
        auto* self = static_cast<ScriptedDnsServer*>(h->data);
        *buf = uv_buf_init(self->recvBuf_, sizeof self->recvBuf_);
      },
      [](uv_udp_t* h, ssize_t n, const uv_buf_t* buf, const sockaddr* from, unsigned) {
        if (n < 0 || from == nullptr) return;
        static_cast<ScriptedDnsServer*>(h->data)->handleQuery(
            parseQuery(std::string(buf->base, static_cast<std::size_t>(n)), from));
      });
  const int wide = kWideReceiveBuffer;
#ifdef SO_RCVBUFFORCE  // above the system's ceiling, with privilege only
  uv_os_fd_t fd{};
  if (uv_fileno(reinterpret_cast<uv_handle_t*>(udp_), &fd) == 0 &&
      setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &wide, sizeof wide) == 0) {
    return;
  }
#endif
  setReceiveBuffer(wide);
}

ScriptedDnsServer::~ScriptedDnsServer() {
  closeSocket(udp_);
  closeSocket(wrongPort_);
  closeSocket(wrongAddr_);
}

std::string ScriptedDnsServer::address() const {
  return net::SocketAddress::parse(ip_, port_)->text();
}

uv_udp_t* ScriptedDnsServer::openSocket(const std::string& ip, std::uint16_t port) {
  auto* socket = new uv_udp_t;
  uv_udp_init(loop_.uv(), socket);
  socket->data = this;
  const auto addr = net::SocketAddress::parse(ip, port);
  if (addr && uv_udp_bind(socket, addr->data(), 0) == 0) return socket;
  closeSocket(socket);
  return nullptr;
}

void ScriptedDnsServer::setReceiveBuffer(int bytes) {
  uv_recv_buffer_size(reinterpret_cast<uv_handle_t*>(udp_), &bytes);
}

void ScriptedDnsServer::addMx(const std::string& domain, int preference, const std::string& host) {
  table_[key(domain)].records.emplace_back(kDnsTypeMX, mxData(preference, host));
}

void ScriptedDnsServer::addAddress(const std::string& name, const std::string& ip) {
  table_[key(name)].records.push_back(addressRecord(ip));
}

void ScriptedDnsServer::addPtr(const std::string& name, const std::string& target) {
  table_[key(name)].records.emplace_back(kDnsTypePTR, encodeName(target));
}

void ScriptedDnsServer::addTxt(const std::string& name, const std::string& text) {
  table_[key(name)].records.emplace_back(kDnsTypeTXT, static_cast<char>(text.size()) + text);
}

void ScriptedDnsServer::addAdditional(const std::string& domain, const std::string& owner,
                                      const std::string& ip) {
  const auto [type, data] = addressRecord(ip);
  table_[key(domain)].additional.emplace_back(owner, type, data);
}

void ScriptedDnsServer::setCname(const std::string& domain, const std::string& target) {
  table_[key(domain)].cname = target;
}

void ScriptedDnsServer::setRcode(const std::string& domain, int rcode) {
  table_[key(domain)].rcode = rcode;
}

void ScriptedDnsServer::setMisbehaviour(Misbehaviour m) {
  misbehaviour_ = m;
  if (m == Misbehaviour::WrongPortFirst && wrongPort_ == nullptr) wrongPort_ = openSocket(ip_, 0);
  if (m == Misbehaviour::WrongAddressFirst && wrongAddr_ == nullptr && ip_ == "127.0.0.1")
    wrongAddr_ = openSocket("127.0.0.2", port_);
}

std::string ScriptedDnsServer::tableAnswer(const Query& q) const {
  const std::string question = key(q.name);
  auto it = table_.find(question);
  if (it == table_.end()) return answerHeader(q, q.id, 3, 0);
  const auto owner = [&](const std::string& name) {
    return key(name) == question ? kPointerToQuestion : encodeName(name);
  };
  std::string records;
  unsigned count = 0;
  std::string name = q.name;
  const Entry* entry = &it->second;
  std::vector<std::string> written;
  while (entry != nullptr && !entry->cname.empty() && q.type != kDnsTypeCNAME && count < 16) {
    putRecord(records, owner(name), kDnsTypeCNAME, ttl_, encodeName(entry->cname));
    ++count;
    written.push_back(key(name));
    name = entry->cname;
    if (std::find(written.begin(), written.end(), key(name)) != written.end()) break;  // a loop
    auto target = table_.find(key(name));
    entry = target == table_.end() ? nullptr : &target->second;
  }
  unsigned additional = 0;
  std::string extra;
  for (const auto& [type, data] : entry != nullptr ? entry->records : decltype(entry->records){}) {
    if (type != q.type) continue;
    putRecord(records, owner(name), type, ttl_, data);
    ++count;
  }
  if (entry != nullptr && q.type == kDnsTypeMX) {
    for (const auto& [holder, type, data] : entry->additional) {
      putRecord(extra, encodeName(holder), type, ttl_, data);
      ++additional;
    }
  }
  return answerHeader(q, q.id, it->second.rcode.value_or(0), count, additional) + records + extra;
}

void ScriptedDnsServer::handleQuery(Query q) {
  ++queriesSeen_;
  if (keepQueries_) queries_.push_back(q);
  std::optional<std::string> answer = handler_ ? handler_(q) : std::nullopt;
  if (!answer && q.parsed) answer = tableAnswer(q);
  if (!answer || answer->empty() || misbehaviour_ == Misbehaviour::Silent) return;
  if (delayMs_ == 0) {
    respond(q, *answer);
    return;
  }
  delays_.schedule(delayMs_, [this, q = std::move(q), a = std::move(*answer)] { respond(q, a); });
}

void ScriptedDnsServer::respond(const Query& q, const std::string& answer) {
  switch (misbehaviour_) {
    case Misbehaviour::WrongIdFirst:
      sendFrom(udp_, forgedAnswer(q, static_cast<std::uint16_t>(q.id ^ 0x5A5A)), q.sender);
      break;
    case Misbehaviour::WrongPortFirst:
      sendFrom(wrongPort_, forgedAnswer(q, q.id), q.sender);
      break;
    case Misbehaviour::WrongAddressFirst:
      sendFrom(wrongAddr_, forgedAnswer(q, q.id), q.sender);
      break;
    case Misbehaviour::Duplicate:
      sendFrom(udp_, answer, q.sender);
      break;
    case Misbehaviour::None:
    case Misbehaviour::Silent:
      break;
  }
  sendFrom(udp_, answer, q.sender);
}

void ScriptedDnsServer::sendFrom(uv_udp_t* socket, const std::string& bytes,
                                 const net::SocketAddress& to) {
  if (socket == nullptr) return;
  // Sent at once when nothing is queued on the socket, queued behind the
  // others (so answers keep their order) when something is. The request
  // frees itself when done, or cancelled when the server closes first.
  auto* request = new SendRequest{{}, bytes};
  request->req.data = request;
  uv_buf_t buf = uv_buf_init(request->data.data(), static_cast<unsigned>(request->data.size()));
  if (uv_udp_send(&request->req, socket, &buf, 1, to.data(), [](uv_udp_send_t* req, int) {
        delete static_cast<SendRequest*>(req->data);
      }) != 0) {
    delete request;
    return;
  }
  ++sent_;
}

}  // namespace orvane::testing
