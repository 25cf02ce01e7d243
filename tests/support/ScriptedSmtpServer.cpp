#include "tests/support/ScriptedSmtpServer.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <deque>
#include <stdexcept>
#include <utility>

namespace orvane::testing {

namespace {
constexpr std::size_t kReadBufferSize = 64 * 1024;
constexpr std::size_t kMaxCommandLine = 64 * 1024;  // longer input is dropped

std::string Upper(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

struct WriteRequest {
  uv_write_t req;
  std::string data;
};
}  // namespace

SmtpAction SmtpAction::Line(std::string_view line) {
  SmtpAction action;
  action.bytes = std::string(line) + "\r\n";
  return action;
}

SmtpAction SmtpAction::Lines(std::initializer_list<std::string_view> lines) {
  SmtpAction action;
  for (auto line : lines) {
    action.bytes += line;
    action.bytes += "\r\n";
  }
  return action;
}

SmtpAction SmtpAction::Raw(std::string bytes) {
  SmtpAction action;
  action.bytes = std::move(bytes);
  return action;
}

SmtpAction SmtpAction::Silence() {
  return SmtpAction{};
}

std::string ScriptedSmtpServer::Command::address() const {
  const auto open = line.find('<');
  if (open == std::string::npos) return {};
  const auto close = line.find('>', open + 1);
  if (close == std::string::npos) return {};
  return line.substr(open + 1, close - open - 1);
}

std::string ScriptedSmtpServer::Command::localPart() const {
  std::string a = address();
  return a.substr(0, a.find('@'));
}

// One piece of output: wait `delayMs`, write `bytes`, then do `after`.
struct ScriptedSmtpServer::Step {
  std::uint64_t delayMs = 0;
  std::string bytes;
  SmtpAction::After after = SmtpAction::After::Nothing;
};

struct ScriptedSmtpServer::Listener {
  uv_tcp_t tcp{};
  ScriptedSmtpServer* server = nullptr;
  std::string address;
};

struct ScriptedSmtpServer::Connection {
  uv_tcp_t tcp{};
  std::optional<PreciseDelays::Ticket> delay;  // set while steps.front() waits
  ScriptedSmtpServer* server = nullptr;
  std::size_t index = 0;
  std::string localAddress;
  std::string input;
  std::deque<Step> steps;
  bool waiting = false;  // a delay runs for steps.front()
  bool dataMode = false;
  bool closing = false;
};

ScriptedSmtpServer::ScriptedSmtpServer(net::EventLoop& loop, const std::string& address,
                                       std::uint16_t port)
    : loop_(loop), delays_(loop), readBuffer_(new char[kReadBufferSize]) {
  std::string error;
  if (!listenOn(address, port, &error)) throw std::runtime_error(error);
}

ScriptedSmtpServer::~ScriptedSmtpServer() {
  for (Listener* l : listeners_) {
    l->server = nullptr;
    uv_close(reinterpret_cast<uv_handle_t*>(&l->tcp),
             [](uv_handle_t* h) { delete static_cast<Listener*>(h->data); });
  }
  auto open = open_;
  for (Connection* conn : open) {
    conn->server = nullptr;
    closeConnection(*conn, CloseMode::Now);
  }
}

bool ScriptedSmtpServer::listenOn(const std::string& address, std::uint16_t port,
                                  std::string* error) {
  sockaddr_in addr{};
  if (uv_ip4_addr(address.c_str(), port, &addr) != 0) {
    *error = "cannot listen on " + address + ": not an IPv4 address";
    return false;
  }
  auto* l = new Listener;
  l->server = this;
  l->address = address;
  l->tcp.data = l;
  uv_tcp_init(loop_.uv(), &l->tcp);
  int rc = uv_tcp_bind(&l->tcp, reinterpret_cast<const sockaddr*>(&addr), 0);
  if (rc == 0) rc = uv_listen(reinterpret_cast<uv_stream_t*>(&l->tcp), 4096, &onConnection);
  if (rc != 0) {
    *error = "cannot listen on " + address + ": " + uv_strerror(rc);
    uv_close(reinterpret_cast<uv_handle_t*>(&l->tcp),
             [](uv_handle_t* h) { delete static_cast<Listener*>(h->data); });
    return false;
  }
  sockaddr_storage bound{};
  int len = sizeof bound;
  uv_tcp_getsockname(&l->tcp, reinterpret_cast<sockaddr*>(&bound), &len);
  port_ = ntohs(reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
  listeners_.push_back(l);
  return true;
}

bool ScriptedSmtpServer::addListener(const std::string& address) {
  std::string error;
  return listenOn(address, port_, &error);
}

void ScriptedSmtpServer::setGreeting(SmtpAction greeting) {
  greeting_ = std::move(greeting);
}

void ScriptedSmtpServer::on(std::string_view verb, SmtpAction reply) {
  replies_[Upper(verb)] = std::move(reply);
}

void ScriptedSmtpServer::setHandler(Handler handler) {
  handler_ = std::move(handler);
}

std::vector<std::string> ScriptedSmtpServer::transcript(std::size_t connection) const {
  return connection < transcripts_.size() ? transcripts_[connection] : std::vector<std::string>{};
}

std::vector<std::string> ScriptedSmtpServer::message(std::size_t connection) const {
  return connection < messages_.size() ? messages_[connection] : std::vector<std::string>{};
}

void ScriptedSmtpServer::onConnection(uv_stream_t* stream, int status) {
  auto* l = static_cast<Listener*>(stream->data);
  if (status != 0 || l->server == nullptr) return;
  l->server->accept(*l);
}

void ScriptedSmtpServer::accept(Listener& listener) {
  auto* conn = new Connection;
  conn->server = this;
  conn->localAddress = listener.address;
  conn->tcp.data = conn;
  uv_tcp_init(loop_.uv(), &conn->tcp);
  if (uv_accept(reinterpret_cast<uv_stream_t*>(&listener.tcp),
                reinterpret_cast<uv_stream_t*>(&conn->tcp)) != 0) {
    uv_close(reinterpret_cast<uv_handle_t*>(&conn->tcp),
             [](uv_handle_t* h) { delete static_cast<Connection*>(h->data); });
    return;
  }
  conn->index = accepted_++;
  if (keepTranscripts_) {
    transcripts_.resize(accepted_);
    messages_.resize(accepted_);
  }
  open_.insert(conn);
  uv_tcp_nodelay(&conn->tcp, 1);
  uv_read_start(reinterpret_cast<uv_stream_t*>(&conn->tcp), &onAlloc, &onRead);
  schedule(*conn, greeting_ ? *greeting_ : SmtpAction::Line("220 scripted.test ready"));
}

void ScriptedSmtpServer::onAlloc(uv_handle_t* handle, std::size_t, uv_buf_t* buf) {
  auto* conn = static_cast<Connection*>(handle->data);
  if (conn->server == nullptr) {
    *buf = uv_buf_init(nullptr, 0);
    return;
  }
  *buf = uv_buf_init(conn->server->readBuffer_.get(), kReadBufferSize);
}

void ScriptedSmtpServer::onRead(uv_stream_t* stream, ssize_t nread, const uv_buf_t* buf) {
  auto* conn = static_cast<Connection*>(stream->data);
  ScriptedSmtpServer* self = conn->server;
  if (self == nullptr || nread == 0) return;
  if (nread < 0) {  // the client closed or reset
    self->closeConnection(*conn, CloseMode::Now);
    return;
  }
  if (conn->closing) return;
  conn->input.append(buf->base, static_cast<std::size_t>(nread));
  std::size_t start = 0;
  for (;;) {
    const auto nl = conn->input.find('\n', start);
    if (nl == std::string::npos) break;
    std::size_t end = nl;
    if (end > start && conn->input[end - 1] == '\r') --end;
    self->onLine(*conn, conn->input.substr(start, end - start));
    start = nl + 1;
    if (conn->closing) return;
  }
  conn->input.erase(0, start);
  if (conn->input.size() > kMaxCommandLine) conn->input.clear();
}

void ScriptedSmtpServer::onLine(Connection& conn, std::string line) {
  if (conn.dataMode && line != ".") {
    if (keepTranscripts_) messages_[conn.index].push_back(std::move(line));
    return;
  }
  Command command;
  command.connection = conn.index;
  command.localAddress = conn.localAddress;
  if (conn.dataMode) {
    conn.dataMode = false;
    command.verb.assign(1, '.');
  } else {
    command.verb = Upper(std::string_view(line).substr(0, line.find(' ')));
  }
  command.line = std::move(line);
  if (keepTranscripts_) transcripts_[conn.index].push_back(command.line);
  SmtpAction action = actionFor(command);
  if (command.verb == "DATA" && action.bytes.rfind("354", 0) == 0) conn.dataMode = true;
  schedule(conn, action);
}

SmtpAction ScriptedSmtpServer::actionFor(const Command& command) const {
  if (handler_) {
    if (auto action = handler_(command)) return *action;
  }
  if (auto it = replies_.find(command.verb); it != replies_.end()) return it->second;
  const std::string& v = command.verb;
  if (v == "HELO" || v == "EHLO") return SmtpAction::Line("250 scripted.test");
  if (v == "MAIL") return SmtpAction::Line("250 sender ok");
  if (v == "RCPT") return SmtpAction::Line("250 recipient ok");
  if (v == "RSET" || v == "NOOP") return SmtpAction::Line("250 ok");
  if (v == "VRFY") return SmtpAction::Line("252 cannot verify");
  if (v == "DATA") return SmtpAction::Line("354 end with <CRLF>.<CRLF>");
  if (v == ".") return SmtpAction::Line("250 queued");
  if (v == "QUIT") return SmtpAction::Line("221 bye").ThenClose();
  return SmtpAction::Line("500 unknown command");
}

void ScriptedSmtpServer::schedule(Connection& conn, const SmtpAction& action) {
  if (conn.closing) return;
  std::vector<std::size_t> cuts;
  for (std::size_t c : action.splitAt) {
    if (c > 0 && c < action.bytes.size()) cuts.push_back(c);
  }
  std::sort(cuts.begin(), cuts.end());
  cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
  cuts.push_back(action.bytes.size());
  std::size_t from = 0;
  for (std::size_t i = 0; i < cuts.size(); ++i) {
    Step step;
    step.delayMs = i == 0 ? action.delayMs + replyDelayMs_ : action.gapMs;
    step.bytes = action.bytes.substr(from, cuts[i] - from);
    from = cuts[i];
    if (i + 1 == cuts.size()) step.after = action.after;
    conn.steps.push_back(std::move(step));
  }
  pump(conn);
}

void ScriptedSmtpServer::pump(Connection& conn) {
  while (!conn.steps.empty() && !conn.waiting && !conn.closing) {
    Step& step = conn.steps.front();
    if (step.delayMs > 0) {
      conn.waiting = true;
      conn.delay = delays_.schedule(step.delayMs, [&conn] { delayOver(conn); });
      return;
    }
    if (!step.bytes.empty()) {
      // Straight to the socket when nothing is queued before it (libuv
      // refuses otherwise, so the order holds); the rest goes through a
      // queued write.
      uv_buf_t direct = uv_buf_init(step.bytes.data(), static_cast<unsigned>(step.bytes.size()));
      const int written = uv_try_write(reinterpret_cast<uv_stream_t*>(&conn.tcp), &direct, 1);
      if (written > 0) step.bytes.erase(0, static_cast<std::size_t>(written));
    }
    if (!step.bytes.empty()) {
      auto* w = new WriteRequest;
      w->data = std::move(step.bytes);
      uv_buf_t b = uv_buf_init(w->data.data(), static_cast<unsigned>(w->data.size()));
      w->req.data = w;
      if (uv_write(&w->req, reinterpret_cast<uv_stream_t*>(&conn.tcp), &b, 1,
                   [](uv_write_t* req, int) { delete static_cast<WriteRequest*>(req->data); }) !=
          0) {
        delete w;
      }
    }
    const SmtpAction::After after = step.after;
    conn.steps.pop_front();
    if (after == SmtpAction::After::Close) {
      closeConnection(conn, CloseMode::Orderly);
      return;
    }
    if (after == SmtpAction::After::Reset) {
      closeConnection(conn, CloseMode::Reset);
      return;
    }
  }
}

void ScriptedSmtpServer::delayOver(Connection& conn) {
  conn.delay.reset();
  if (conn.server == nullptr) return;
  conn.waiting = false;
  if (!conn.steps.empty()) conn.steps.front().delayMs = 0;
  conn.server->pump(conn);
}

void ScriptedSmtpServer::closeConnection(Connection& conn, CloseMode mode) {
  if (conn.closing) return;
  conn.closing = true;
  conn.steps.clear();
  forget(conn);
  if (conn.delay) {
    delays_.cancel(*conn.delay);
    conn.delay.reset();
  }
  auto* handle = reinterpret_cast<uv_handle_t*>(&conn.tcp);
  auto destroy = [](uv_handle_t* h) { delete static_cast<Connection*>(h->data); };
  if (mode == CloseMode::Now) {
    uv_close(handle, destroy);
    return;
  }
  if (mode == CloseMode::Reset) {
    // Linger 0: the peer sees a reset, whatever is still unsent is dropped.
    if (uv_tcp_close_reset(&conn.tcp, destroy) == 0) return;
    uv_close(handle, destroy);
    return;
  }
  // Orderly close: the shutdown waits for queued writes, then the FIN goes out.
  uv_read_stop(reinterpret_cast<uv_stream_t*>(&conn.tcp));
  auto* req = new uv_shutdown_t;
  req->data = &conn;
  if (uv_shutdown(req, reinterpret_cast<uv_stream_t*>(&conn.tcp), [](uv_shutdown_t* r, int) {
        auto* c = static_cast<Connection*>(r->data);
        delete r;
        if (uv_is_closing(reinterpret_cast<uv_handle_t*>(&c->tcp))) return;
        uv_close(reinterpret_cast<uv_handle_t*>(&c->tcp),
                 [](uv_handle_t* h) { delete static_cast<Connection*>(h->data); });
      }) != 0) {
    delete req;
    uv_close(handle, destroy);
  }
}

void ScriptedSmtpServer::forget(Connection& conn) {
  open_.erase(&conn);
}

}  // namespace orvane::testing
