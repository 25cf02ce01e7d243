// TSmtpThread: one validation session. It takes addresses one after another
// from its run, finds the mail exchangers of each address's domain, and holds
// an SMTP dialogue with them (greeting, HELO, MAIL FROM, RCPT TO, then RSET
// and QUIT; never DATA). It reports one result per address with the
// address's transaction log.
//
// Not an operating-system thread: a state machine advanced by events on the
// one event-loop thread (DNS answer, SMTP request done, reply and command
// lines, the run's time-out check, abort and wake-ups). Nothing here blocks.
//
// Ownership: owns its SMTP dialogue (one client, reused for every address and
// host), the address in hand (AddressWork) and the addresses taken along on
// its connection. It is owned by its run (TSmtpRelayServer), which it reaches
// only through RunContext: addresses, results, the mail-host resolver, the
// host slots and the catch-all registry. It ends itself (ReleaseSession) when
// no address is at hand or the run is aborted; the run destroys it later from
// the loop.
//
// Guarantees:
// - Each address taken is reported exactly once, also when the run is
//   aborted (-8) or the session times out (-2); an address taken along whose
//   connection broke before it was answered is given back to be taken again,
//   never lost and never reported twice.
// - Mail hosts are tried in ascending MX preference (equal preferences in
//   answer order). A 5xx reply to RCPT TO is the address's verdict: the host
//   is left as usual (RSET, QUIT) and no further host is tried.
// - A mail host's name is resolved through the run's own DNS servers (the
//   MX answer's additional addresses for it first); its IPv6 addresses are
//   tried first, and a connection that does not get through moves on to the
//   next address at once. A mail host whose name does not resolve ends with
//   11001 naming it, when it was the last to try.
// - What is not an address is reported before any traffic; an address goes
//   on the wire as it stands (its domain in ASCII form) or not at all.
// - Each result carries its verdict (engine/Outcome.h).
// - A mail host is connected to only with a slot from the run's host slots.
//   A session never waits for a full host: the address is set aside (it
//   waits without a session, and its waiting does not count against its
//   deadline) and the session takes another.
// - A 4xx to RCPT TO (greylisting) hands the address to the run to be tried
//   once more later; the session goes on with other addresses.
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
// - A host that refuses a connection for now before the address is asked
//   (421, 450, 451 at the greeting, HELO or MAIL FROM) is throttling us: its
//   connection limit is lowered (HostSlots); the next mail host is tried, or,
//   at the last, the address is tried again after a pause that grows with
//   each refusal, reported only when it keeps failing past its deadline. Two
//   greetings in a row that do not come within the time-out make the host
//   slow (one connection at a time).
// - The log shows every command and reply of the dialogue, RSET included.
// - A DNS server that never answers ends the address with the time-out code.
// - No address is held longer than its deadline, whatever a server keeps
//   sending.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "core/RecipientList.h"
#include "engine/RunContext.h"
#include "engine/SmtpDialogue.h"

namespace orvane::engine {

struct HostAddresses;
struct MxAnswer;

class TSmtpThread final {
 public:
  enum class Phase {
    Idle,             // no address in hand
    WaitingDns,       // waiting for the domain's mail hosts
    Dialogue,         // an SMTP request of the current host is outstanding
    WaitingCatchAll,  // accepted; waits for another session's catch-all probe
    Released,         // ended; waits to be destroyed
  };

  // Rejected addresses in a row after which a connection takes no more
  // addresses along.
  static constexpr int kMaxRejectionsInARow = 5;

  // Created by the run: last activity := now.
  explicit TSmtpThread(RunContext& run);
  ~TSmtpThread();
  TSmtpThread(const TSmtpThread&) = delete;
  TSmtpThread& operator=(const TSmtpThread&) = delete;

  // Takes the next address and starts on it; ends the session when none is
  // at hand or the run is aborted.
  void NextRecipient();
  // Ends the address in hand at once: -2 and on to the next address when
  // timed out, -8 and the end of the session otherwise.
  void StopSession(bool timedOut);

  std::uint32_t lastActivity() const noexcept { return lastActivity_; }
  // True when the address in hand has been held past its deadline.
  bool pastDeadline(std::uint32_t now) const noexcept;
  Phase currentPhase() const noexcept { return phase_; }
  const TransactionLog& Log() const noexcept { return work_.log; }
  const std::vector<std::string>& mailHosts() const noexcept { return work_.mailHosts; }

 private:
  // An address taken along on the current connection.
  struct Along {
    TakenAddress address;
    TransactionLog log;  // the shared opening lines, then its own
    Attempt answer;
    bool answered = false;
  };

  void touch();
  // Reports the address in hand with `code`; the outcome's step, reply and
  // DNS state come from the address's work.
  void Report(std::int32_t code);
  void reportAttempt(const Attempt& attempt);
  void reportAccepted();
  void catchAllKnown();
  // Reports the addresses taken along that have their answer and gives the
  // others back; `stopped`: the run was stopped, so unanswered ones are
  // reported -8 instead.
  void settleAlong(bool stopped, const AddressWork& primary);
  Outcome outcomeOf(const AddressWork& work, std::int32_t code) const;
  void cancelWaits();
  // The steps below return false when the address in hand left this session
  // (reported or set aside) and the caller is to move on; true while work on
  // it is under way.
  bool prepareForTraffic();
  bool startLookup();
  void mxKnown(const MxAnswer& answer, const TransactionLog* queryLines);
  bool useAnswer(const MxAnswer& answer);
  bool hostsReady();
  // The current mail host's addresses: an address needs none, a name is
  // looked up (or known from the cache).
  bool lookUpHost();
  bool useAddresses(const HostAddresses& found);
  bool connectToHost();
  // The connection to the current address failed before the greeting.
  bool connectFailed(std::uint16_t error) const;
  // Tries the host's next address; false when there is none.
  bool nextAddress(std::uint16_t error);
  // The local address a connection to `address` leaves from ("": any).
  std::string sourceFor(const std::string& address) const;
  bool openConnection();
  // Sets the address in hand aside until its host has room.
  void park();
  bool throttledBy(int rqType, std::uint16_t error) const;
  // The host throttled us: its limit is lowered and the address waits.
  void throttled();
  void releaseHost();
  // This connection will ask about no more of its domain's addresses: those
  // set aside for it go back.
  void giveUpReserved();
  void quitOrNextHost();
  void nextHost();
  void endConnectionAnswered();
  void requestDone(int rqType, std::uint16_t error);
  void probeDone(std::uint16_t error);
  // After the address in hand (or the last one taken along) has its answer:
  // asks the next address of the domain along, or closes the transaction.
  void askNextAlong();
  void alongDone(std::uint16_t error);
  void ReleaseSession();
  Attempt attemptOf(int rqType, std::uint16_t error) const;
  // Starts a request; false (after reporting `failCode` and moving on) when
  // it could not start.
  bool started(bool ok, std::int32_t failCode);

  RunContext& run_;
  SmtpDialogue dialogue_;
  Phase phase_ = Phase::Idle;
  bool inHand_ = false;   // an address was taken and not yet reported
  bool probing_ = false;  // the catch-all RCPT TO of the domain is outstanding
  AddressWork work_;      // the address in hand
  std::vector<Along> along_;
  std::size_t sharedLines_ = 0;  // log lines every address of the connection shares
  int alongIndex_ = -1;          // the one whose RCPT TO is outstanding
  int rejectionsInARow_ = 0;
  std::deque<int> reserved_;  // the domain's addresses set aside for this connection
  std::string reservedDomain_;
  bool alongClosed_ = false;      // no more addresses along on this connection
  bool primaryAnswered_ = false;  // the address in hand has a 2xx or 5xx to RCPT TO
  std::string heldHost_;          // the host whose connection slot this session holds
  std::uint64_t dnsTicket_ = 0;   // waiting for the resolver
  std::uint64_t addressTicket_ = 0;
  std::uint64_t catchAllTicket_ = 0;
  std::uint32_t lastActivity_ = 0;
  int lastIndex_ = -1;  // the address taken last
};

}  // namespace orvane::engine
