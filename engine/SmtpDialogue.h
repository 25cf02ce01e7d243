// The SMTP dialogue of one session's connections: one client (reused for
// every connection), the request whose end the session waits for, and the
// command and reply lines copied into the transaction log of the address
// they belong to.
//
// Each request method starts a request and returns true, or returns false
// when the client refused to start it (nothing was sent then). Its end comes
// later through onDone, from the loop. abort() cuts the connection at once;
// the end notice of a request it cut off still arrives through the loop and
// is dropped here, so it never acts on later work.
//
// Ownership: owns the client. Borrows the loop and the run's settings.
// Event-loop thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "core/RecipientList.h"
#include "engine/RunContext.h"

namespace orvane::net {
class EventLoop;
class TSmtpCli;
}  // namespace orvane::net

namespace orvane::engine {

class SmtpDialogue final {
 public:
  // Request types as onDone reports them.
  static constexpr int kOpen = 0;
  static constexpr int kMailFrom = 2;
  static constexpr int kRcptTo = 4;
  static constexpr int kQuit = 6;
  static constexpr int kRset = 7;

  using DoneEvent = std::function<void(int rqType, std::uint16_t error)>;

  SmtpDialogue(net::EventLoop& loop, const RunSettings& settings);
  ~SmtpDialogue();
  SmtpDialogue(const SmtpDialogue&) = delete;
  SmtpDialogue& operator=(const SmtpDialogue&) = delete;

  // Where command and reply lines go from now on (nullptr: nowhere).
  void logTo(TransactionLog* log) noexcept { log_ = log; }

  // Connects to `address` (an IP address), from `localAddress` when it is
  // not empty, through the run's proxy when there is one.
  bool open(const std::string& address, const std::string& localAddress,
            const std::string& recipient);
  bool mailFrom();
  bool rcptTo(const std::string& recipient);
  bool rset();
  bool quit();
  // Cuts off the connection and whatever request is outstanding.
  void abort();

  bool connected() const noexcept;
  // The last reply line, for a refused request.
  const std::string& lastResponse() const noexcept;
  // The last request ended because of the proxy (lastResponse says how).
  bool proxyFailure() const noexcept;

  // The end of the awaited request.
  DoneEvent onDone;
  // A command went out or a reply line came in.
  std::function<void()> onActivity;

 private:
  template <typename F>
  bool start(F&& request);
  void requestDone(int rqType, std::uint16_t error);
  void line(const std::string& text);
  // Processes pending notices while the client settles after an abort;
  // bounded, so a stuck client cannot hang the program.
  void WaitClientIdle();

  net::EventLoop& loop_;
  std::unique_ptr<net::TSmtpCli> client_;
  TransactionLog* log_ = nullptr;
  std::uint64_t awaitedRequest_ = 0;
  bool awaiting_ = false;
};

}  // namespace orvane::engine
