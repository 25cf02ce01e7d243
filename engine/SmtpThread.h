// TSmtpThread: one validation session. It takes addresses one after another
// from its scheduler, finds the mail exchangers of each address's domain, and
// holds an SMTP dialogue with them (greeting, HELO, MAIL FROM, RCPT TO, then
// RSET and QUIT; never DATA). It reports one result per address with the
// address's transaction log.
//
// Not an operating-system thread: a state machine advanced by events on the
// one event-loop thread (DNS answer, SMTP request done, reply and command
// lines, the scheduler's time-out check, abort and wake-ups). Nothing here
// blocks.
//
// Ownership: owns one DNS query component, one SMTP client (both reused for
// every address and host), its resend timer, the logs of the addresses in hand
// and the mail-host list. It is owned by its TSmtpRelayServer, which it
// references for the addresses, the shared knowledge of the run, counters,
// flags and events; it ends itself (ReleaseSession) when no address is left or
// the run is aborted, and the scheduler destroys it later from the loop.
//
// Guarantees:
// - Each address taken is reported exactly once (OnEMailProcessed), also when
//   the run is aborted (-8) or the session times out (-2); an address taken
//   along whose connection broke before it was answered is given back to be
//   taken again, never lost and never reported twice.
// - The request-done notice of a request that was cut off by Abort arrives
//   later through the loop; it is recognised and dropped, so it never acts on
//   later work.
// - Mail hosts are tried in ascending MX preference (equal preferences in
//   answer order). A 5xx reply to RCPT TO is the address's verdict: the host
//   is left as usual (RSET, QUIT) and no further host is tried.
// - What is not an address is reported before any traffic; an address goes
//   on the wire as it stands (its domain in ASCII form) or not at all.
// - Each result carries its verdict (engine/Outcome.h): the step it ended at,
//   the server's reply there and what DNS said go into its classification.
// - DNS: one query per domain and run (the scheduler keeps the answer for its
//   TTL and lets others wait for a query under way); a query unanswered after
//   a second is sent again, to the next configured server, waiting twice as
//   long each time, until shortly before the time-out.
// - A 4xx to RCPT TO (greylisting) hands the address to the scheduler to be
//   tried once more later; the session goes on with other addresses.
// - With catch-all detection on, the first accepted address of a domain is
//   followed by one RCPT TO with a made-up address on the same connection; an
//   accepted address of a domain whose probe is still under way waits (after
//   QUIT) for its answer before it is reported.
// - With several addresses per connection, once the first address's RCPT TO
//   has a definite answer the next addresses of its domain go as further
//   RCPT TO in the same transaction (each with the shared opening lines and
//   its own RCPT TO in its log); a 2xx or 5xx answers one, anything else (a
//   4xx, 421, a broken connection) gives it back for a dialogue of its own.
//   kMaxRejectionsInARow rejections in a row end the batch.
// - A mail host is connected to only while the scheduler grants a slot; and
//   no address is held longer than max(3 x time-out, 60 s), whatever a server
//   keeps sending.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/RecipientList.h"
#include "engine/AddressFeed.h"
#include "engine/Outcome.h"
#include "net/EventLoop.h"

namespace orvane::net {
class TDnsQuery;
class TSmtpCli;
}  // namespace orvane::net

namespace orvane::engine {

class TSmtpRelayServer;
struct MxAnswer;

class TSmtpThread final {
 public:
  enum class Phase {
    Idle,             // no address in hand
    WaitingDns,       // MX query sent, or waiting for another session's
    WaitingHost,      // waiting for a free connection to the mail host
    Dialogue,         // an SMTP request of the current host is outstanding
    WaitingCatchAll,  // accepted; waits for another session's catch-all probe
    Released,         // ended; waits to be destroyed
  };

  // Created by the scheduler when a run starts: last activity := now, active
  // count += 1, client and DNS query created with their handlers.
  explicit TSmtpThread(TSmtpRelayServer& server);
  ~TSmtpThread();
  TSmtpThread(const TSmtpThread&) = delete;
  TSmtpThread& operator=(const TSmtpThread&) = delete;

  // Takes the next address and starts on it; ends the session when none is
  // left or the run is aborted.
  void NextRecipient();
  // Ends the address in hand at once: -2 and on to the next address when
  // timed out, -8 and the end of the session otherwise.
  void StopSession(bool timedOut);
  // Wake-ups from the scheduler.
  void catchAllKnown();
  void mxKnown(const MxAnswer& answer);
  void hostFree();

  std::uint32_t lastActivity() const noexcept { return lastActivity_; }
  // True when the address in hand has been held past its deadline.
  bool pastDeadline(std::uint32_t now) const noexcept;
  Phase currentPhase() const noexcept { return phase_; }
  net::TSmtpCli& smtpClient() noexcept { return *client_; }
  const TransactionLog& Log() const noexcept { return log_; }
  const std::vector<std::string>& mailHosts() const noexcept { return mailHosts_; }

 private:
  // Where an attempt ended: the code, the step and the server's reply there.
  struct Attempt {
    std::int32_t code = 0;
    Step step = Step::Connect;
    std::string reply;
  };
  // An address taken along on the current connection.
  struct Along {
    TakenAddress address;
    TransactionLog log;  // the shared opening lines, then its own
    Attempt answer;
    bool answered = false;
  };

  void touch();
  // Reports the address in hand with `code`; the outcome's step, reply, DNS
  // state and detail come from the session's fields.
  void Report(std::int32_t code);
  void reportAttempt(const Attempt& attempt);
  void reportAccepted();
  // Drops the connection; an accepted first address is reported, else the
  // next mail host is tried.
  void endConnectionAnswered();
  // Reports the addresses taken along that have their answer and gives the
  // others back; `stopped`: the run was stopped, so unanswered ones are
  // reported -8 instead.
  void settleAlong(bool stopped);
  bool prepareForTraffic();
  // The steps below return false when they ended the address in hand (it was
  // reported) and the caller is to move on; true while work is under way.
  bool startLookup();
  bool sendQuery();
  void resendQuery();
  void lookupDone(std::uint16_t error);
  bool useAnswerInPlace(const MxAnswer& answer);
  bool hostsReady();
  bool connectToHost();
  bool openConnection();
  void releaseHost();
  void quitOrNextHost();
  void nextHost();
  void abortClient();
  void awaiting();
  void WaitClientIdle();
  void clientRequestDone(int rqType, std::uint16_t error);
  void clientCommand(const std::string& msg);
  void clientResponse(const std::string& msg);
  void probeDone(std::uint16_t error);
  // After the address in hand (or the last one taken along) has its answer:
  // asks the next address of the domain along, or closes the transaction.
  void askNextAlong();
  void alongDone(std::uint16_t error);
  void ReleaseSession();
  Attempt attemptOf(int rqType, std::uint16_t error) const;
  TransactionLog& currentLog();
  // Starts a client request; false (after reporting `failCode` and moving on)
  // when it raised.
  template <typename F>
  bool startRequest(F&& start, std::int32_t failCode);

  TSmtpRelayServer& server_;
  std::unique_ptr<net::TDnsQuery> dns_;
  std::unique_ptr<net::TSmtpCli> client_;
  net::Timer resend_;
  Phase phase_ = Phase::Idle;
  bool trafficLogging_ = true;
  bool inHand_ = false;       // an address was taken and not yet reported
  bool rcptRefused_ = false;  // a 5xx to RCPT TO decided the address
  bool retried_ = false;      // the address in hand is on its second try
  bool probing_ = false;      // the catch-all RCPT TO of domain_ is outstanding
  bool asking_ = false;       // this session's MX query for domain_ is under way
  Attempt first_;             // the current host's first failure
  Attempt last_;              // what the address gets when the hosts run out
  TakenAddress current_;      // the address in hand
  std::string domain_;        // its domain, ASCII form
  TransactionLog log_;
  std::vector<Along> along_;     // addresses taken along on this connection
  std::size_t sharedLines_ = 0;  // log lines every address of the connection shares
  int alongIndex_ = -1;          // the one whose RCPT TO is outstanding
  int rejectionsInARow_ = 0;
  bool alongClosed_ = false;      // no more addresses along on this connection
  bool primaryAnswered_ = false;  // the address in hand has a 2xx or 5xx to RCPT TO
  std::vector<std::string> mailHosts_;
  std::size_t hostIndex_ = 0;
  std::string heldHost_;  // the host whose connection slot this session holds
  // DNS: the server asked, resends and their deadline.
  std::size_t dnsServerIndex_ = 0;
  std::uint64_t resendAfterMs_ = 0;
  std::uint32_t dnsDeadline_ = 0;
  // The outcome of the address in hand, beyond the code.
  Step step_ = Step::Syntax;
  DnsOutcome dnsOutcome_ = DnsOutcome::Answered;
  int dnsCode_ = 0;
  std::string dnsServer_;
  std::string detail_;
  std::uint32_t lastActivity_ = 0;
  std::uint32_t addressDeadline_ = 0;
  std::uint32_t heldSince_ = 0;     // when the address in hand was taken
  std::uint32_t waitingSince_ = 0;  // when it began to wait for a host slot
  // The client request whose end this session waits for; any other end
  // notice (of a request cut off by Abort) is dropped.
  std::uint64_t awaitedRequest_ = 0;
  bool awaiting_ = false;
};

}  // namespace orvane::engine
