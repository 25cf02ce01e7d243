// TSmtpThread: one validation session. It takes addresses one after another
// from its scheduler's shared queue, asks the DNS server for the mail
// exchangers of each address's domain, and holds an SMTP dialogue with them
// (greeting, HELO, MAIL FROM, RCPT TO, then RSET and QUIT; never DATA). It
// reports one result code per address with the address's transaction log.
//
// Not an operating-system thread: a state machine advanced by events on the
// one event-loop thread (DNS answer, SMTP request done, reply and command
// lines, the scheduler's time-out check and abort). Nothing here blocks.
//
// Ownership: owns one DNS query component, one SMTP client (both reused for
// every address and host), the current address's log and its mail-host list.
// It is owned by its TSmtpRelayServer, which it references for the shared
// queue, cursor, counters, flags and events; it ends itself (ReleaseSession)
// when no address is left or the run is aborted, and the scheduler destroys
// it later from the loop.
//
// Guarantees:
// - Each address taken is reported exactly once (OnEMailProcessed), also when
//   the run is aborted (-8) or the session times out (-2).
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
// - A 4xx to RCPT TO (greylisting) hands the address to the scheduler to be
//   tried once more later; the session goes on with other addresses.
// - With catch-all detection on, the first accepted address of a domain is
//   followed by one RCPT TO with a made-up address on the same connection; an
//   accepted address of a domain whose probe is still under way waits (after
//   QUIT) for its answer before it is reported.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/RecipientList.h"
#include "engine/Outcome.h"

namespace orvane::net {
class TDnsQuery;
class TSmtpCli;
}  // namespace orvane::net

namespace orvane::engine {

class TSmtpRelayServer;

class TSmtpThread final {
 public:
  enum class Phase {
    Idle,             // no address in hand
    WaitingDns,       // MX query sent
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

  // Takes the next queued address and starts on it; ends the session when the
  // queue is exhausted or the run is aborted.
  void NextRecipient();
  // Ends the address in hand at once: -2 ("Connection time-out") and on to the
  // next address when timed out, -8 ("User Abort") and the end of the session
  // otherwise.
  void StopSession(bool timedOut);
  // The catch-all probe this session waited for has an answer.
  void CatchAllKnown();

  std::uint32_t LastActivity() const noexcept { return lastActivity_; }
  Phase CurrentPhase() const noexcept { return phase_; }
  net::TSmtpCli& SmtpClient() noexcept { return *client_; }
  const TransactionLog& Log() const noexcept { return log_; }
  const std::vector<std::string>& MailHosts() const noexcept { return mailHosts_; }

 private:
  // Where an attempt ended: the code, the step and the server's reply there.
  struct Attempt {
    std::int32_t code = 0;
    Step step = Step::Connect;
    std::string reply;
  };

  void Touch();
  // Reports the address in hand with `code`; the outcome's step, reply, DNS
  // state and detail come from the session's fields.
  void Report(std::int32_t code);
  void ReportAttempt(const Attempt& attempt);
  void ReportAccepted();
  bool TakeAddress();
  bool PrepareForTraffic();
  void ReleaseSession();
  bool StartLookup();
  void LookupDone(std::uint16_t error);
  void HostsReady();
  void ConnectToHost();
  void QuitOrNextHost();
  void NextHost();
  void AbortClient();
  void Awaiting();
  void WaitClientIdle();
  void ClientRequestDone(int rqType, std::uint16_t error);
  void ClientCommand(const std::string& msg);
  void ClientResponse(const std::string& msg);
  void ProbeDone(std::uint16_t error);
  Attempt AttemptOf(int rqType, std::uint16_t error) const;
  // Starts a client request; false (after reporting `failCode` and moving on)
  // when it raised.
  template <typename F>
  bool StartRequest(F&& start, std::int32_t failCode);

  TSmtpRelayServer& server_;
  std::unique_ptr<net::TDnsQuery> dns_;
  std::unique_ptr<net::TSmtpCli> client_;
  Phase phase_ = Phase::Idle;
  bool trafficLogging_ = true;
  bool inHand_ = false;       // an address was taken and not yet reported
  bool rcptRefused_ = false;  // a 5xx to RCPT TO decided the address
  bool retried_ = false;      // the address in hand is on its second try
  bool probing_ = false;      // the catch-all RCPT TO of domain_ is outstanding
  Attempt first_;             // the current host's first failure
  Attempt last_;              // what the address gets when the hosts run out
  int recipientIndex_ = -1;
  std::string address_;      // as queued
  std::string wireAddress_;  // as sent: the domain in ASCII form
  std::string domain_;       // ASCII form
  // The outcome of the address in hand, beyond the code.
  Step step_ = Step::Syntax;
  DnsOutcome dnsOutcome_ = DnsOutcome::Answered;
  int dnsCode_ = 0;
  std::string dnsServer_;
  std::string detail_;
  TransactionLog log_;
  std::vector<std::string> mailHosts_;
  std::size_t hostIndex_ = 0;
  std::uint32_t lastActivity_ = 0;
  // The client request whose end this session waits for; any other end
  // notice (of a request cut off by Abort) is dropped.
  std::uint64_t awaitedRequest_ = 0;
  bool awaiting_ = false;
};

}  // namespace orvane::engine
