#include "net/DnsQuery.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <random>
#include <utility>

namespace orvane::net {
namespace {

// Splits "host:port" (exactly one colon, something on both sides); anything
// else is a bare host and keeps the default port.
void splitServer(const std::string& addr, const std::string& defaultPort, std::string& host,
                 std::string& port) {
  const auto colon = addr.find(':');
  if (colon != std::string::npos && colon > 0 && colon + 1 < addr.size() &&
      addr.find(':', colon + 1) == std::string::npos) {
    host = addr.substr(0, colon);
    port = addr.substr(colon + 1);
  } else {
    host = addr;
    port = defaultPort;
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
  // An error on the connected socket (an ICMP port-unreachable from the
  // server: 10061) ends it; no answer will ever come, so the query says so at
  // once instead of leaving its caller waiting.
  // The end is reported from the loop: the handler may start the next query
  // on this very socket, which is still inside its own close.
  socket_->OnSessionClosed = [this](TWSocket&, std::uint16_t error) {
    if (!waiting_ || error == 0) return;
    const std::uint16_t id = requestId_;
    loop_.post(std::weak_ptr<void>(alive_), [this, id, error] {
      if (waiting_ && requestId_ == id) finish(error);
    });
  };
}

TDnsQuery::~TDnsQuery() = default;

std::uint16_t TDnsQuery::MXLookup(const std::string& Domain) {
  // Refuse what cannot be encoded before touching the socket, so a bad name
  // leaves nothing half-sent.
  const auto id = nextRequestId();
  const std::size_t length = buildMxQuery(id, Domain, query_);
  if (length == 0) throw ESocketException("MXLookup: invalid domain name '" + Domain + "'");

  std::string host;
  std::string port;
  splitServer(addr_, port_, host, port);
  if (host.empty()) throw ESocketException("MXLookup: no DNS server address");

  // Forget the previous query first: whatever its socket still receives is
  // gone with it.
  waiting_ = false;
  socket_->Abort();

  // The answer must come from exactly this address and port. Both resolve
  // like the socket resolves them (numeric texts never block).
  sockaddr_in server{};
  server.sin_family = AF_INET;
  server.sin_addr = WSocketResolveHost(host);
  server.sin_port = htons(WSocketResolvePort(port, "udp"));

  requestId_ = id;
  queryLength_ = length;
  server_ = server;

  socket_->setProto("udp");
  socket_->setPort(port);
  socket_->setAddr(host);
  socket_->Connect();
#ifdef IP_RECVERR
  // Without this an ICMP port-unreachable for a datagram sent with sendto
  // never reaches the socket; with it, the error ends the socket at once.
  const int on = 1;
  setsockopt(socket_->hSocket(), IPPROTO_IP, IP_RECVERR, &on, sizeof on);
#endif
  if (socket_->Send(query_.data(), static_cast<int>(queryLength_)) < 0)
    throw ESocketException("MXLookup: cannot send the query");
  // No answer can be read before control returns to the loop.
  waiting_ = true;
  return id;
}

void TDnsQuery::dataAvailable(std::uint16_t error) {
  // Read one datagram on every notification, whatever happens next: the
  // socket keeps notifying while anything is queued.
  sockaddr_in from{};
  socklen_t fromLen = sizeof(from);
  const int n =
      socket_->ReceiveFrom(answer_.data(), static_cast<int>(answer_.size()), from, fromLen);

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
  const bool fromServer = fromLen >= sizeof(sockaddr_in) && from.sin_family == AF_INET &&
                          from.sin_addr.s_addr == server_.sin_addr.s_addr &&
                          from.sin_port == server_.sin_port;
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

}  // namespace orvane::net
