#include "tests/support/ScriptedSmtpServer.h"

#include <algorithm>
#include <cctype>
#include <deque>
#include <set>
#include <stdexcept>
#include <utility>

#include "net/SocketAddress.h"

namespace orvane::testing {
namespace {

constexpr std::size_t kReadBufferSize = 64 * 1024;
constexpr std::size_t kMaxCommandLine = 64 * 1024;  // longer input is dropped
constexpr std::uint64_t kSplitGapMs = 1;            // so that split pieces arrive apart

// The local or peer address of `tcp` (`call` is uv_tcp_getsockname or _getpeername).
net::SocketAddress addressOf(const uv_tcp_t* tcp, int (*call)(const uv_tcp_t*, sockaddr*, int*)) {
  sockaddr_storage raw{};
  int length = sizeof raw;
  call(tcp, reinterpret_cast<sockaddr*>(&raw), &length);
  return net::SocketAddress::fromSystem(reinterpret_cast<sockaddr*>(&raw), length);
}

std::string upper(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

uv_stream_t* stream(uv_tcp_t* tcp) {
  return reinterpret_cast<uv_stream_t*>(tcp);
}

template <class T>
void deleteData(uv_handle_t* handle) {
  delete static_cast<T*>(handle->data);
}

void closeListener(uv_tcp_t* tcp) {
  uv_close(reinterpret_cast<uv_handle_t*>(tcp),
           [](uv_handle_t* h) { delete reinterpret_cast<uv_tcp_t*>(h); });
}

struct WriteRequest {
  uv_write_t req;
  std::string data;
};

// One piece of output: wait `delayMs`, write `bytes`, then do `after`.
struct Step {
  std::uint64_t delayMs = 0;
  std::string bytes;
  SmtpAction::After after = SmtpAction::After::Nothing;
};

}  // namespace

struct ScriptedSmtpServer::Connection {
  uv_tcp_t tcp{};
  ScriptedSmtpServer* server = nullptr;
  std::size_t index = 0;
  std::string input;
  std::deque<Step> steps;
  std::optional<PreciseDelays::Ticket> delay;  // set while steps.front() waits
  bool dataMode = false;
  bool closing = false;
  bool served = false;  // counted among the connections being served
};

SmtpAction SmtpAction::lines(std::initializer_list<std::string_view> lines) {
  SmtpAction action;
  for (auto line : lines) action.bytes.append(line).append("\r\n");
  return action;
}

std::string ScriptedSmtpServer::Command::address() const {
  const auto open = line.find('<');
  const auto close = open == std::string::npos ? open : line.find('>', open + 1);
  return close == std::string::npos ? "" : line.substr(open + 1, close - open - 1);
}

ScriptedSmtpServer::ScriptedSmtpServer(net::EventLoop& loop, const std::string& address,
                                       std::uint16_t port)
    : loop_(loop), delays_(loop), port_(port), readBuffer_(new char[kReadBufferSize]) {
  addListener(address);
}

ScriptedSmtpServer::~ScriptedSmtpServer() {
  for (uv_tcp_t* listener : listeners_) closeListener(listener);
  for (Connection* conn : std::vector<Connection*>(open_.begin(), open_.end()))
    closeConnection(*conn, CloseMode::Now);
}

void ScriptedSmtpServer::addListener(const std::string& address) {
  const auto addr = net::SocketAddress::parse(address, port_);
  auto* tcp = new uv_tcp_t;
  uv_tcp_init(loop_.uv(), tcp);
  tcp->data = this;
  int rc = addr ? uv_tcp_bind(tcp, addr->data(), 0) : UV_EINVAL;
  if (rc == 0) {
    rc = uv_listen(stream(tcp), 4096, [](uv_stream_t* listener, int status) {
      if (status == 0) static_cast<ScriptedSmtpServer*>(listener->data)->accept(listener);
    });
  }
  if (rc != 0) {
    closeListener(tcp);
    throw std::runtime_error("cannot listen on " + address + ":" + std::to_string(port_) + ": " +
                             uv_strerror(rc));
  }
  port_ = addressOf(tcp, uv_tcp_getsockname).port();
  listeners_.push_back(tcp);
}

void ScriptedSmtpServer::on(std::string_view verb, SmtpAction reply) {
  replies_[upper(verb)] = std::move(reply);
}

std::vector<std::string> ScriptedSmtpServer::transcript(std::size_t connection) const {
  return connection < transcripts_.size() ? transcripts_[connection] : std::vector<std::string>{};
}

std::vector<std::string> ScriptedSmtpServer::message(std::size_t connection) const {
  return connection < messages_.size() ? messages_[connection] : std::vector<std::string>{};
}

std::string ScriptedSmtpServer::peerAddress(std::size_t connection) const {
  return connection < peers_.size() ? peers_[connection] : std::string();
}

void ScriptedSmtpServer::accept(uv_stream_t* listener) {
  auto* conn = new Connection;
  conn->server = this;
  conn->tcp.data = conn;
  uv_tcp_init(loop_.uv(), &conn->tcp);
  if (uv_accept(listener, stream(&conn->tcp)) != 0) {
    uv_close(reinterpret_cast<uv_handle_t*>(&conn->tcp), &deleteData<Connection>);
    return;
  }
  conn->index = accepted_++;
  if (keepTranscripts_) {
    transcripts_.resize(accepted_);
    messages_.resize(accepted_);
    peers_.resize(accepted_);
    peers_.back() = addressOf(&conn->tcp, uv_tcp_getpeername).ip();
  }
  open_.insert(conn);
  uv_tcp_nodelay(&conn->tcp, 1);
  uv_read_start(
      stream(&conn->tcp),
      [](uv_handle_t* h, std::size_t, uv_buf_t* buf) {
        *buf = uv_buf_init(static_cast<Connection*>(h->data)->server->readBuffer_.get(),
                           kReadBufferSize);
      },
      [](uv_stream_t* s, ssize_t n, const uv_buf_t* buf) {
        auto& c = *static_cast<Connection*>(s->data);
        if (n < 0) {  // the client closed or reset
          c.server->closeConnection(c, CloseMode::Now);
        } else {
          c.server->onRead(c, std::string_view(buf->base, static_cast<std::size_t>(n)));
        }
      });
  if (refusals_ > 0) peakSinceRefusal_ = std::max(peakSinceRefusal_, open_.size());
  if (busyBeyond_ > 0 && served_ >= busyBeyond_) {
    ++refusals_;
    schedule(*conn, busyRefusal_);
    return;
  }
  conn->served = true;
  ++served_;
  schedule(*conn, greeting_.value_or(SmtpAction::line("220 scripted.test ready")));
}

void ScriptedSmtpServer::onRead(Connection& conn, std::string_view bytes) {
  if (conn.closing) return;
  conn.input.append(bytes);
  std::size_t start = 0;
  for (std::size_t nl; (nl = conn.input.find('\n', start)) != std::string::npos; start = nl + 1) {
    const std::size_t end = nl > start && conn.input[nl - 1] == '\r' ? nl - 1 : nl;
    onLine(conn, conn.input.substr(start, end - start));
    if (conn.closing) return;
  }
  conn.input.erase(0, start);
  if (conn.input.size() > kMaxCommandLine) conn.input.clear();
}

void ScriptedSmtpServer::onLine(Connection& conn, std::string line) {
  if (conn.dataMode && line != ".") {
    if (keepTranscripts_) messages_[conn.index].push_back(std::move(line));
    return;
  }
  Command command;
  command.verb = conn.dataMode ? "." : upper(std::string_view(line).substr(0, line.find(' ')));
  command.line = std::move(line);
  if (keepTranscripts_) transcripts_[conn.index].push_back(command.line);
  const SmtpAction action = actionFor(command);
  conn.dataMode = command.verb == "DATA" && action.bytes.starts_with("354");
  schedule(conn, action);
}

SmtpAction ScriptedSmtpServer::actionFor(const Command& command) const {
  if (handler_) {
    if (auto action = handler_(command)) return *action;
  }
  if (auto it = replies_.find(command.verb); it != replies_.end()) return it->second;
  const std::string& v = command.verb;
  if (v == "HELO" || v == "EHLO") return SmtpAction::line("250 scripted.test");
  if (v == "MAIL") return SmtpAction::line("250 sender ok");
  if (v == "RCPT") return SmtpAction::line("250 recipient ok");
  if (v == "RSET" || v == "NOOP") return SmtpAction::line("250 ok");
  if (v == "VRFY") return SmtpAction::line("252 cannot verify");
  if (v == "DATA") return SmtpAction::line("354 end with <CRLF>.<CRLF>");
  if (v == ".") return SmtpAction::line("250 queued");
  if (v == "QUIT") return SmtpAction::line("221 bye").thenClose();
  return SmtpAction::line("500 unknown command");
}

void ScriptedSmtpServer::schedule(Connection& conn, const SmtpAction& action) {
  if (conn.closing) return;
  std::set<std::size_t> cuts(action.splitAt.begin(), action.splitAt.end());
  cuts.insert(action.bytes.size());
  std::size_t from = 0;
  std::uint64_t delay = replyDelayMs_;
  for (std::size_t cut : cuts) {
    if (cut > action.bytes.size()) break;
    if (cut == 0 && !action.bytes.empty()) continue;
    conn.steps.push_back(
        {delay, action.bytes.substr(from, cut - from), SmtpAction::After::Nothing});
    from = cut;
    delay = kSplitGapMs;
  }
  conn.steps.back().after = action.after;
  pump(conn);
}

void ScriptedSmtpServer::pump(Connection& conn) {
  while (!conn.steps.empty() && !conn.delay && !conn.closing) {
    Step& step = conn.steps.front();
    if (step.delayMs > 0) {
      conn.delay = delays_.schedule(std::exchange(step.delayMs, 0), [this, &conn] {
        conn.delay.reset();
        pump(conn);
      });
      return;
    }
    // Straight to the socket when nothing is queued before it (libuv refuses
    // otherwise, so the order holds); what is left goes through a queued write.
    uv_buf_t direct = uv_buf_init(step.bytes.data(), static_cast<unsigned>(step.bytes.size()));
    const int written = step.bytes.empty() ? 0 : uv_try_write(stream(&conn.tcp), &direct, 1);
    if (written < 0 && written != UV_EAGAIN) {  // gone: writing again would raise SIGPIPE
      closeConnection(conn, CloseMode::Now);
      return;
    }
    if (written > 0) step.bytes.erase(0, static_cast<std::size_t>(written));
    if (!step.bytes.empty()) {
      auto* write = new WriteRequest{{}, std::move(step.bytes)};
      write->req.data = write;
      uv_buf_t buf = uv_buf_init(write->data.data(), static_cast<unsigned>(write->data.size()));
      if (uv_write(&write->req, stream(&conn.tcp), &buf, 1,
                   [](uv_write_t* r, int) { delete static_cast<WriteRequest*>(r->data); }) != 0)
        delete write;
    }
    const SmtpAction::After after = step.after;
    conn.steps.pop_front();
    if (after == SmtpAction::After::Close) closeConnection(conn, CloseMode::Orderly);
    if (after == SmtpAction::After::Reset) closeConnection(conn, CloseMode::Reset);
  }
}

void ScriptedSmtpServer::closeConnection(Connection& conn, CloseMode mode) {
  if (conn.closing) return;
  conn.closing = true;
  conn.steps.clear();
  open_.erase(&conn);
  if (conn.served) --served_;
  if (conn.delay) delays_.cancel(*conn.delay);
  if (mode == CloseMode::Orderly) {
    // The shutdown waits for queued writes, then the FIN goes out.
    uv_read_stop(stream(&conn.tcp));
    auto* request = new uv_shutdown_t;
    if (uv_shutdown(request, stream(&conn.tcp), [](uv_shutdown_t* r, int) {
          uv_close(reinterpret_cast<uv_handle_t*>(r->handle), &deleteData<Connection>);
          delete r;
        }) == 0) {
      return;
    }
    delete request;
  }
  // Linger 0: the peer sees a reset, whatever is still unsent is dropped.
  if (mode == CloseMode::Reset && uv_tcp_close_reset(&conn.tcp, &deleteData<Connection>) == 0)
    return;
  uv_close(reinterpret_cast<uv_handle_t*>(&conn.tcp), &deleteData<Connection>);
}

}  // namespace orvane::testing
