#include "net/DnsQuery.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <random>
#include <utility>

namespace orvane::net {
namespace {

// Splits a server entry into host and port: "[v6]:port" and "[v6]",
// "a.b.c.d:port" (exactly one colon, something on both sides); anything else
// is a bare host (an IPv6 address has several colons) with the default port.
void splitServer(const std::string& addr, const std::string& defaultPort, std::string& host,
                 std::string& port) {
  host = addr;
  port = defaultPort;
  if (!addr.empty() && addr.front() == '[') {
    const auto close = addr.find(']');
    if (close == std::string::npos) return;
    host = addr.substr(1, close - 1);
    if (close + 2 < addr.size() && addr[close + 1] == ':') port = addr.substr(close + 2);
    return;
  }
  const auto colon = addr.find(':');
  if (colon != std::string::npos && colon > 0 && colon + 1 < addr.size() &&
      addr.find(':', colon + 1) == std::string::npos) {
    host = addr.substr(0, colon);
    port = addr.substr(colon + 1);
  }
}

template <typename T, std::size_t N>
T at(const std::array<T, N>& table, int i, T fallback) {
  return (i >= 0 && i < static_cast<int>(N)) ? table[static_cast<std::size_t>(i)] : fallback;
}

// Request IDs are unpredictable to anyone who can see neither this process
// nor the query: one generator per thread, seeded once from the system's
// random source (seeding costs far more than drawing, and the generator's
// state would otherwise weigh 5 KB in every query object).
std::uint16_t nextRequestId() {
  thread_local std::mt19937 generator(std::random_device{}());
  std::uniform_int_distribution<unsigned> dist(0, 0xFFFF);
  return static_cast<std::uint16_t>(dist(generator));
}

}  // namespace

TDnsQuery::TDnsQuery(EventLoop& loop) : loop_(loop), socket_(std::make_unique<TWSocket>(loop)) {
  // Attached once for the life of the query: an answer to an earlier query is
  // told apart by its ID, source and question, never by swapping handlers.
  socket_->OnDataAvailable = [this](TWSocket&, std::uint16_t error) { dataAvailable(error); };
  // An error on the socket (an ICMP port- or network-unreachable from the way
  // to the server: 10061, 10051, ...) ends it; no answer will ever come, so
  // the query says so at once instead of leaving its caller waiting.
  // The end is reported from the loop: the handler may start the next query
  // on this very socket, which is still inside its own close.
  socket_->OnSessionClosed = [this](TWSocket&, std::uint16_t error) {
    if (waiting_ && error != 0) finishLater(requestId_, error);
  };
}

TDnsQuery::~TDnsQuery() = default;

std::uint16_t TDnsQuery::MXLookup(const std::string& Domain) {
  return start(Domain, kDnsTypeMX, "MXLookup");
}

std::uint16_t TDnsQuery::Lookup(const std::string& Name, std::uint16_t Type) {
  return start(Name, Type, "Lookup");
}

std::uint16_t TDnsQuery::start(const std::string& name, std::uint16_t type, const char* function) {
  // Refuse what cannot be encoded before touching the socket, so a bad name
  // leaves nothing half-sent.
  const auto id = nextRequestId();
  const std::size_t length = buildDnsQuery(id, name, type, query_);
  if (length == 0)
    throw ESocketException(std::string(function) + ": invalid domain name '" + name + "'");

  std::string host;
  std::string port;
  splitServer(addr_, port_, host, port);
  if (host.empty()) throw ESocketException(std::string(function) + ": no DNS server address");

  // Forget the previous query first: whatever its socket still receives is
  // gone with it.
  waiting_ = false;
  socket_->Abort();

  requestId_ = id;
  queryLength_ = length;

  socket_->setProto("udp");
  socket_->setPort(port);
  socket_->setAddr(host);
  socket_->Connect();
  // The answer must come from exactly this address and port, as the socket
  // resolved them (numeric texts never block).
  server_ = socket_->remoteAddress();
  // Without this an ICMP error for a datagram sent with sendto never reaches
  // the socket; with it, the error ends the socket at once.
  const int on = 1;
  if (server_.isIpv6())
    setsockopt(socket_->hSocket(), IPPROTO_IPV6, IPV6_RECVERR, &on, sizeof on);
  else
    setsockopt(socket_->hSocket(), IPPROTO_IP, IP_RECVERR, &on, sizeof on);

  // A datagram the system refuses to send (no route to the server) ends the
  // query like an ICMP error would: reported from the loop, not thrown.
  int sendError = 0;
  socket_->OnError = [&sendError](TWSocket& s) {
    sendError = s.LastError() != 0 ? s.LastError() : WSAEINVAL;
  };
  socket_->Send(query_.data(), static_cast<int>(queryLength_));
  socket_->OnError = nullptr;
  // No answer can be read before control returns to the loop.
  waiting_ = true;
  if (sendError != 0) {
    socket_->Abort();
    finishLater(id, static_cast<std::uint16_t>(sendError));
  }
  return id;
}

void TDnsQuery::finishLater(std::uint16_t id, std::uint16_t error) {
  loop_.post(std::weak_ptr<void>(alive_), [this, id, error] {
    if (waiting_ && requestId_ == id) finish(error);
  });
}

void TDnsQuery::dataAvailable(std::uint16_t error) {
  // Read one datagram on every notification, whatever happens next: the
  // socket keeps notifying while anything is queued.
  SocketAddress from;
  const int n = socket_->ReceiveFrom(answer_.data(), static_cast<int>(answer_.size()), from);

  if (!waiting_) {
    if (n >= 0) ++ignored_;
    return;
  }
  if (error != 0) {
    finish(error);
    return;
  }
  if (n < 0) return;  // failed read: nothing to drop

  const auto size = static_cast<std::size_t>(n);
  const std::span<const std::uint8_t> reply(answer_.data(), size);
  const bool fromServer = from == server_;
  const bool isAnswer = size >= kDnsHeaderSize && size <= kDnsMessageSize &&
                        (reply[2] & 0x80) != 0 && ((reply[0] << 8) | reply[1]) == requestId_;
  if (!fromServer || !isAnswer ||
      !dnsQuestionMatches(std::span<const std::uint8_t>(query_.data(), queryLength_), reply)) {
    ++ignored_;
    return;
  }

  if (decodeDnsResponse(reply, *scratch_) != DnsDecodeStatus::Ok) {
    finish(kDnsErrorMalformedAnswer);
    return;
  }
  std::swap(response_, scratch_);
  finish(0);
}

void TDnsQuery::finish(std::uint16_t error) {
  waiting_ = false;
  if (!OnRequestDone) return;
  // Copy: the handler may replace itself, start the next query or destroy us.
  auto handler = OnRequestDone;
  handler(*this, error);
}

std::string TDnsQuery::AnswerName(int i) const {
  return at(response_->AnswerName, i, std::string());
}
int TDnsQuery::AnswerType(int i) const noexcept {
  return at(response_->AnswerType, i, 0);
}
int TDnsQuery::AnswerClass(int i) const noexcept {
  return at(response_->AnswerClass, i, 0);
}
std::uint32_t TDnsQuery::AnswerTTL(int i) const noexcept {
  return at(response_->AnswerTTL, i, 0u);
}
int TDnsQuery::AnswerTag(int i) const noexcept {
  return at(response_->AnswerTag, i, 0);
}
int TDnsQuery::MXPreference(int i) const noexcept {
  return at(response_->MXPreference, i, 0);
}
std::string TDnsQuery::MXExchange(int i) const {
  return at(response_->MXExchange, i, std::string());
}
std::uint32_t TDnsQuery::Address(int i) const noexcept {
  return at(response_->Address, i, 0u);
}
TDnsIpv6Address TDnsQuery::address6(int i) const noexcept {
  return at(response_->address6, i, TDnsIpv6Address{});
}
std::string TDnsQuery::answerText(int i) const {
  return at(response_->answerText, i, std::string());
}
TDnsAdditionalAddress TDnsQuery::additional(int i) const {
  return i < response_->additionalCount ? at(response_->additional, i, TDnsAdditionalAddress{})
                                        : TDnsAdditionalAddress{};
}

}  // namespace orvane::net
