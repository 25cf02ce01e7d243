// TSmtpRelayServer: the validation scheduler. Its owner fills the queue of
// addresses, sets the connection settings and starts a run; the scheduler
// picks the DNS server, creates up to `Connections` sessions (TSmtpThread)
// that share the queue, stops sessions that stay silent for longer than
// `TimeOut` seconds, lets the owner abort the run, and reports through events
// when an address is taken, when its result is known and when the run ends.
//
// Ownership: owns the queue, the DNS server list, its sessions (while a run
// lasts) and both timers. The EventLoop must outlive it. Destroy it only while
// it is not busy.
//
// Thread: the one event-loop thread. Events are raised on it, one at a time;
// an event handler may call AbortRun() or read the properties. OnGetData (and,
// for addresses that end at once, OnEMailProcessed) may be raised inside
// StartCheck(). OnFinished is always raised from the loop, about 100 ms after
// the last session ended, never inside StartCheck() or AbortRun().
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/RecipientList.h"
#include "engine/Outcome.h"
#include "net/EventLoop.h"

namespace orvane::engine {

class TSmtpThread;

class TSmtpRelayServerException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

inline constexpr std::string_view kComponentBusy = "Component is busy";
inline constexpr std::string_view kFromEmpty = "FROM property is empty";
inline constexpr std::string_view kNoDnsServer = "No DNS SERVER Available";

// The queue: one address per line, in checking order, each with the owner's
// tag (the scheduler never looks at the tag).
class TRecipientQueue {
 public:
  struct Line {
    std::string text;
    std::int64_t tag = 0;
  };

  void Add(std::string text, std::int64_t tag = 0) { lines_.push_back({std::move(text), tag}); }
  void Clear() noexcept { lines_.clear(); }
  std::size_t Count() const noexcept { return lines_.size(); }
  const std::string& Strings(std::size_t i) const { return lines_.at(i).text; }
  std::int64_t Objects(std::size_t i) const { return lines_.at(i).tag; }
  const std::vector<Line>& Lines() const noexcept { return lines_; }

 private:
  std::vector<Line> lines_;
};

class TSmtpRelayServer final {
 public:
  using TGetDataEvent = std::function<void(TSmtpRelayServer& Sender, int recipientIndex)>;
  // `log` is the session's transaction log, valid only during the call.
  using TEMailProcessedEvent = std::function<void(TSmtpRelayServer& Sender, int recipientIndex,
                                                  std::int32_t Err, const TransactionLog& log)>;
  using TAbortingEvent =
      std::function<void(TSmtpRelayServer& Sender, int recipientIndex, int threadsAborted)>;
  using TFinishedEvent = std::function<void(TSmtpRelayServer& Sender, bool Aborted)>;
  // An address was refused for now (a 4xx to RCPT TO) and waits `delayMs`
  // before it is tried once more; its result comes later.
  using TAddressWaitingEvent =
      std::function<void(TSmtpRelayServer& Sender, int recipientIndex, std::uint64_t delayMs)>;

  static constexpr int kDefaultConnections = 1;
  static constexpr int kDefaultTimeOut = 60;
  static constexpr std::uint64_t kFinishDelayMs = 100;

  explicit TSmtpRelayServer(net::EventLoop& loop);
  ~TSmtpRelayServer();
  TSmtpRelayServer(const TSmtpRelayServer&) = delete;
  TSmtpRelayServer& operator=(const TSmtpRelayServer&) = delete;

  // --- properties; the guarded setters throw "Component is busy" during a
  // run and then change nothing ---
  int Connections() const noexcept { return connections_; }
  void SetConnections(int value);  // guarded; 0 or less stores 1
  int TimeOut() const noexcept { return timeOut_; }
  void SetTimeOut(int value);  // guarded; seconds, 0 or less stores 60
  const std::string& Signon() const noexcept { return signon_; }
  void SetSignon(std::string value) { signon_ = std::move(value); }
  const std::string& From() const noexcept { return from_; }
  void SetFrom(std::string value) { from_ = std::move(value); }
  // The queue; the owner may fill it directly between runs.
  TRecipientQueue& Recipients() noexcept { return recipients_; }
  const TRecipientQueue& Recipients() const noexcept { return recipients_; }
  // Guarded; empties the queue, then copies `list` into it (null: stays empty).
  void SetRecipients(const TRecipientQueue* list);
  const std::string& Dns() const noexcept { return dns_; }
  void SetDns(std::string_view value);  // guarded; trimmed; servers separated by blanks
  const std::string& InternalDns() const noexcept { return internalDns_; }
  void SetInternalDns(std::string_view value);  // guarded; trimmed
  // The SMTP port the sessions' clients connect to: a service name or number.
  const std::string& SmtpPort() const noexcept { return smtpPort_; }
  void SetSmtpPort(std::string value);  // guarded; default "smtp" (25)
  // An address whose RCPT TO got a 4xx reply (greylisting) is tried once
  // more after this many milliseconds; 0 (the default) reports the 4xx at
  // once. Guarded. While addresses wait, the run goes on with others and
  // does not finish; AbortRun reports the waiting ones with -8.
  std::uint64_t GreylistDelayMs() const noexcept { return greylistDelayMs_; }
  void SetGreylistDelayMs(std::uint64_t value);
  // When true, the first accepted address of each domain in a run is followed
  // by one RCPT TO with a made-up address on the same connection; a domain
  // that accepts it too accepts anything, and its accepted addresses are
  // reported catch-all. Off by default. Guarded.
  bool DetectCatchAll() const noexcept { return detectCatchAll_; }
  void SetDetectCatchAll(bool value);
  // Where the system's DNS servers are read from (default: the platform's
  // sources). Guarded.
  const std::vector<std::string>& SystemDnsSources() const noexcept { return systemDnsSources_; }
  void SetSystemDnsSources(std::vector<std::string> sources);

  // --- operations ---
  // Starts a run over the queue. Throws TSmtpRelayServerException:
  // "FROM property is empty", "No DNS SERVER Available" (busy flag clear and
  // no session afterwards), or "Component is busy" while a run is still
  // running or finishing. An empty queue finishes the run at once (OnFinished
  // through the finish timer).
  void StartCheck();
  // Stops every live session: each reports its address in hand with -8. The
  // run then finishes with Aborted true. Exceptions inside are swallowed.
  void AbortRun();

  bool Busy() const noexcept { return busy_; }
  // The result being reported: valid during OnEMailProcessed.
  const AddressResult& LastResult() const noexcept { return lastResult_; }
  // Addresses waiting to be tried again.
  std::size_t RetriesWaiting() const noexcept { return retries_.size(); }
  bool Aborted() const noexcept { return aborted_; }
  int ActiveCount() const noexcept { return activeCount_; }
  // The DNS server list of the current (or last) run; sessions use entry 0.
  const std::vector<std::string>& DnsServers() const noexcept { return dnsServers_; }
  // Slots of the session list (created sessions, empty once ended).
  std::size_t SessionSlots() const noexcept { return sessions_.size(); }
  net::EventLoop& Loop() noexcept { return loop_; }

  TGetDataEvent OnGetData;
  TEMailProcessedEvent OnEMailProcessed;
  TAbortingEvent OnAborting;
  TFinishedEvent OnFinished;
  TAddressWaitingEvent OnAddressWaiting;

 private:
  friend class TSmtpThread;

  // What the run knows of a domain's catch-all behaviour.
  enum class CatchAll : std::uint8_t { Probing, Yes, No, Undetermined };
  struct Retry {
    int recipientIndex = -1;
    std::string address;
    TransactionLog log;
    std::uint32_t due = 0;  // tick count
  };

  // The address and its result, raised as OnEMailProcessed.
  void Reported(int recipientIndex, const AddressResult& result, const TransactionLog& log);
  // Catch-all knowledge: a session that is the first to see an accepted
  // address of `domain` gets true and probes; everyone else reads the state.
  bool ClaimCatchAllProbe(const std::string& domain);
  const CatchAll* CatchAllOf(const std::string& domain) const;
  void CatchAllResolved(const std::string& domain, CatchAll state);
  void WaitForCatchAll(const std::string& domain, TSmtpThread* session);
  void ForgetWaiter(TSmtpThread* session);
  // Greylisting: the address waits; the run stays alive until it is retried.
  void QueueRetry(Retry retry);
  bool TakeDueRetry(Retry& out);
  void ArmRetryTimer();
  void RetryTimerFired();
  void StartSession();
  void AbortRetries();

  void CheckNotBusy() const;
  void CheckTimeOuts();
  void FinishTimerFired();
  // Called by a session that ends: empties its slot; the object is destroyed
  // later from the loop (it may be deep inside its own client's callback).
  std::unique_ptr<TSmtpThread> TakeSession(TSmtpThread* session);
  void SessionEnded(int lastRecipientIndex);
  void BuryLater(std::unique_ptr<TSmtpThread> session);

  net::EventLoop& loop_;
  int connections_ = kDefaultConnections;
  int timeOut_ = kDefaultTimeOut;
  std::string signon_;
  std::string from_;
  TRecipientQueue recipients_;
  std::string dns_;
  std::string internalDns_;
  std::string smtpPort_ = "smtp";
  std::vector<std::string> systemDnsSources_;
  std::uint64_t greylistDelayMs_ = 0;
  bool detectCatchAll_ = false;

  bool busy_ = false;
  bool aborted_ = false;
  int activeCount_ = 0;
  std::size_t recipientCursor_ = 0;
  std::vector<std::string> dnsServers_;
  std::vector<std::unique_ptr<TSmtpThread>> sessions_;
  std::vector<std::unique_ptr<TSmtpThread>> graveyard_;
  AddressResult lastResult_;
  std::unordered_map<std::string, CatchAll> catchAll_;
  std::unordered_map<std::string, std::vector<TSmtpThread*>> catchAllWaiters_;
  std::deque<Retry> retries_;
  net::Timer checkTimer_;
  net::Timer finishTimer_;
  net::Timer retryTimer_;
  std::shared_ptr<int> alive_ = std::make_shared<int>(0);  // guards posted notices
};

}  // namespace orvane::engine
