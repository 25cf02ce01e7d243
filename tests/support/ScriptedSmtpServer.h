// An SMTP server for tests, benchmarks and the test farm: it listens on
// 127.0.0.x or ::1 (ephemeral port by default) and answers each connection from a
// script: any greeting, a reply per command (chosen by the command's verb or by
// a function of the command), multi-line replies, replies split into several
// writes or several replies in one write, silence, and closing or resetting
// the connection (even in the middle of a line). It keeps the commands
// received on each connection and the address each connection came from.
//
// Runs on the given EventLoop's thread with raw libuv TCP handles of its own
// (independent of the program's socket). Owns its listening handles, its
// connections and their delays; all of them are closed when the server is
// destroyed (destroy it before the loop). Delays are kept to the microsecond
// from the moment a command arrives (PreciseDelays), so replies of many
// connections leave as evenly as their commands came in. Not thread-safe.
//
// Typical use:
//   ScriptedSmtpServer server(loop);
//   server.setGreeting(SmtpAction::lines({"220-first", "220 second"}));
//   server.on("RCPT", SmtpAction::line("550 no such user"));
//   client.setPort(std::to_string(server.port()));
//
// Without a script entry the server behaves like a plain mail server: "220"
// greeting, "250" to HELO/EHLO/MAIL/RCPT/RSET/NOOP, "252" to VRFY, "354" to
// DATA (then collects the message up to the "." line and answers "250"),
// "221" to QUIT followed by an orderly close, "500" to anything else.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include <uv.h>

#include "net/EventLoop.h"
#include "tests/support/PreciseDelays.h"

namespace orvane::testing {

// What the server sends in answer to a connection (the greeting) or a command.
struct SmtpAction {
  enum class After { Nothing, Close, Reset };  // Close: orderly; Reset: linger 0

  std::string bytes;                 // sent exactly as given; empty: silence
  std::vector<std::size_t> splitAt;  // offsets into `bytes`: pieces written 1 ms apart
  After after = After::Nothing;      // once the bytes are written

  // One reply line; "\r\n" is appended.
  static SmtpAction line(std::string_view line) { return raw(std::string(line) + "\r\n"); }
  // Several lines in one write, each followed by "\r\n".
  static SmtpAction lines(std::initializer_list<std::string_view> lines);
  // Bytes exactly as given (no "\r\n" added).
  static SmtpAction raw(std::string bytes) { return SmtpAction{std::move(bytes), {}, {}}; }
  // Nothing at all: the client waits.
  static SmtpAction silence() { return SmtpAction{}; }

  SmtpAction& split(std::vector<std::size_t> offsets) {
    splitAt = std::move(offsets);
    return *this;
  }
  SmtpAction& thenClose() {
    after = After::Close;
    return *this;
  }
  SmtpAction& thenReset() {
    after = After::Reset;
    return *this;
  }
};

class ScriptedSmtpServer final {
 public:
  struct Command {
    std::string line;  // the command line without its line end
    std::string verb;  // first word, upper-case ("HELO", "MAIL", ...; "." ends DATA)
    // The text between the first "<" and the next ">" ("" when there is none).
    std::string address() const;
    // The part of address() before its "@".
    std::string localPart() const { return address().substr(0, address().find('@')); }
  };
  // Consulted first for every command; std::nullopt falls back to on() and the
  // defaults.
  using Handler = std::function<std::optional<SmtpAction>(const Command&)>;

  // Listens on `address`:`port` (port 0: an ephemeral one). Throws
  // std::runtime_error when it cannot listen.
  explicit ScriptedSmtpServer(net::EventLoop& loop, const std::string& address = "127.0.0.1",
                              std::uint16_t port = 0);
  ~ScriptedSmtpServer();
  ScriptedSmtpServer(const ScriptedSmtpServer&) = delete;
  ScriptedSmtpServer& operator=(const ScriptedSmtpServer&) = delete;

  std::uint16_t port() const noexcept { return port_; }
  // Also listens on `address` with the same port and script. Throws
  // std::runtime_error when that address cannot be bound.
  void addListener(const std::string& address);

  void setGreeting(SmtpAction greeting) { greeting_ = std::move(greeting); }
  // A host that throttles: a connection that finds `served` others being
  // served is greeted with `refusal` (say "421 4.7.0 Too many connections"
  // and a close) instead.
  void setBusyBeyond(std::size_t served, SmtpAction refusal) {
    busyBeyond_ = served;
    busyRefusal_ = std::move(refusal);
  }
  // Connections refused as too many, and the most connections open at once
  // that were accepted after the first refusal.
  std::size_t refusals() const noexcept { return refusals_; }
  std::size_t peakOpenSinceRefusal() const noexcept { return peakSinceRefusal_; }
  // The reply to every command whose verb is `verb` (case-insensitive).
  void on(std::string_view verb, SmtpAction reply);
  void setHandler(Handler handler) { handler_ = std::move(handler); }
  // A wait before every greeting and reply.
  void setReplyDelay(std::uint64_t ms) noexcept { replyDelayMs_ = ms; }
  // Off: transcripts and messages are not kept (long benchmark runs).
  void setKeepTranscripts(bool keep) noexcept { keepTranscripts_ = keep; }

  std::size_t connectionCount() const noexcept { return accepted_; }
  std::size_t openConnections() const noexcept { return open_.size(); }
  // The command lines received on connection `connection` (counted from 0 in
  // accept order), in order; empty for an unknown connection.
  std::vector<std::string> transcript(std::size_t connection) const;
  // The message lines received after DATA on `connection`, as sent (dot-stuffed).
  std::vector<std::string> message(std::size_t connection) const;
  // Where `connection` came from ("127.0.0.2", "::1"; "" for an unknown one).
  std::string peerAddress(std::size_t connection) const;

 private:
  struct Connection;
  enum class CloseMode { Now, Orderly, Reset };

  void accept(uv_stream_t* listener);
  void onRead(Connection& conn, std::string_view bytes);
  void onLine(Connection& conn, std::string line);
  SmtpAction actionFor(const Command& command) const;
  void schedule(Connection& conn, const SmtpAction& action);
  void pump(Connection& conn);
  void closeConnection(Connection& conn, CloseMode mode);

  net::EventLoop& loop_;
  PreciseDelays delays_;
  std::uint16_t port_ = 0;
  std::vector<uv_tcp_t*> listeners_;
  std::unordered_set<Connection*> open_;
  std::size_t accepted_ = 0;
  std::optional<SmtpAction> greeting_;
  std::size_t busyBeyond_ = 0;  // 0: never busy
  SmtpAction busyRefusal_;
  std::size_t served_ = 0;
  std::size_t refusals_ = 0;
  std::size_t peakSinceRefusal_ = 0;
  std::map<std::string, SmtpAction> replies_;
  Handler handler_;
  std::uint64_t replyDelayMs_ = 0;
  bool keepTranscripts_ = true;
  std::vector<std::vector<std::string>> transcripts_;
  std::vector<std::vector<std::string>> messages_;
  std::vector<std::string> peers_;
  std::unique_ptr<char[]> readBuffer_;
};

}  // namespace orvane::testing
