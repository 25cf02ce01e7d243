// TSmtpRelayServer: the validation scheduler. Its owner fills the queue of
// addresses (or gives a source that hands them out one by one), sets the
// connection settings and starts a run; the scheduler picks the DNS servers,
// creates up to `Connections` sessions (TSmtpThread) that share the
// addresses, stops sessions that stay silent for longer than `TimeOut`
// seconds, lets the owner abort the run, and reports through events when an
// address is taken, when its result is known and when the run ends.
//
// What the sessions of a run share besides the addresses: the mail hosts of
// each domain (one MX query per domain, kept for its TTL; sessions that need a
// domain whose query is under way wait for that answer), the catch-all answer
// of each domain, the addresses waiting for their greylisting retry, and a
// limit of connections open at once to one mail host.
//
// Ownership: owns the queue, the window of addresses read ahead from a source,
// the DNS server list, the shared knowledge above, its sessions (while a run
// lasts) and its timers. The EventLoop must outlive it. Destroy it only while
// it is not busy.
//
// Thread: the one event-loop thread. Events are raised on it, one at a time;
// an event handler may call AbortRun() or read the properties. OnGetData (and,
// for addresses that end at once, OnEMailProcessed) may be raised inside
// StartCheck(). OnFinished is always raised from the loop, about 100 ms after
// the last session ended, never inside StartCheck() or AbortRun().
//
// Guarantees: every address taken is reported exactly once, whatever happens
// to its connection (an address that rode along on a connection that broke is
// taken again later, and OnGetData is raised for it only once).
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
#include "engine/AddressFeed.h"
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
  using Line = FeedLine;

  void add(std::string text, std::int64_t tag = 0) { lines_.push_back({std::move(text), tag}); }
  void clear() noexcept { lines_.clear(); }
  std::size_t count() const noexcept { return lines_.size(); }
  const std::string& strings(std::size_t i) const { return lines_.at(i).text; }
  std::int64_t objects(std::size_t i) const { return lines_.at(i).tag; }
  const std::vector<Line>& lines() const noexcept { return lines_; }

 private:
  std::vector<Line> lines_;
};

// The mail hosts DNS gave for a domain, as every session of a run uses them.
struct MxAnswer {
  DnsOutcome outcome = DnsOutcome::Answered;
  int code = 0;                    // the server's error code, or the socket error
  std::vector<std::string> hosts;  // by ascending preference; empty: none to try
  TransactionLog lines;            // what the log shows of the answer
  std::string server;              // the server that answered (or did not)
  std::uint32_t ttlSeconds = 0;    // 0: not kept for later addresses
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
  // Hands out the next address to check; false when there is none left.
  using TRecipientSource = AddressFeed::Source;

  static constexpr int kDefaultConnections = 1;
  static constexpr int kDefaultTimeOut = 60;
  static constexpr std::uint64_t kFinishDelayMs = 100;
  // The first DNS resend after this long without an answer, then twice as
  // long each time.
  static constexpr std::uint64_t kDnsRetryMs = 1000;
  // A domain that does not exist is remembered this long.
  static constexpr std::uint32_t kNoSuchDomainSeconds = 60;
  static constexpr std::uint32_t kMaxMxSeconds = 3600;
  // Rejected addresses in a row after which a connection takes no more
  // addresses along.
  static constexpr int kMaxRejectionsInARow = 5;

  explicit TSmtpRelayServer(net::EventLoop& loop);
  ~TSmtpRelayServer();
  TSmtpRelayServer(const TSmtpRelayServer&) = delete;
  TSmtpRelayServer& operator=(const TSmtpRelayServer&) = delete;

  // --- properties; the guarded setters throw "Component is busy" during a
  // run and then change nothing ---
  int Connections() const noexcept { return connections_; }
  void setConnections(int value);  // guarded; 0 or less stores 1
  int TimeOut() const noexcept { return timeOut_; }
  void setTimeOut(int value);  // guarded; seconds, 0 or less stores 60
  const std::string& Signon() const noexcept { return signon_; }
  void setSignon(std::string value) { signon_ = std::move(value); }
  const std::string& From() const noexcept { return from_; }
  void setFrom(std::string value) { from_ = std::move(value); }
  // The queue; the owner may fill it directly between runs.
  TRecipientQueue& Recipients() noexcept { return recipients_; }
  const TRecipientQueue& Recipients() const noexcept { return recipients_; }
  // Guarded; empties the queue, then copies `list` into it (null: stays empty).
  void setRecipients(const TRecipientQueue* list);
  // Guarded. When set, the run reads its addresses from `source` as it
  // consumes them instead of from the queue (numbered in the order read);
  // the tag and text of an address are readable while it is in hand.
  void setSource(TRecipientSource source);
  const std::string& Dns() const noexcept { return dns_; }
  void setDns(std::string_view value);  // guarded; trimmed; servers separated by blanks
  const std::string& InternalDns() const noexcept { return internalDns_; }
  void setInternalDns(std::string_view value);  // guarded; trimmed
  // The SMTP port the sessions' clients connect to: a service name or number.
  const std::string& smtpPort() const noexcept { return smtpPort_; }
  void setSmtpPort(std::string value);  // guarded; default "smtp" (25)
  // An address whose RCPT TO got a 4xx reply (greylisting) is tried once
  // more after this many milliseconds; 0 (the default) reports the 4xx at
  // once. Guarded. While addresses wait, the run goes on with others and
  // does not finish; AbortRun reports the waiting ones with -8.
  std::uint64_t greylistDelayMs() const noexcept { return greylistDelayMs_; }
  void setGreylistDelayMs(std::uint64_t value);
  // When true, the first accepted address of each domain in a run is followed
  // by one RCPT TO with a made-up address on the same connection; a domain
  // that accepts it too accepts anything, and its accepted addresses are
  // reported catch-all. Off by default. Guarded.
  bool detectCatchAll() const noexcept { return detectCatchAll_; }
  void setDetectCatchAll(bool value);
  // How many addresses of one domain a connection asks about (further RCPT TO
  // in the same transaction); 1, the default, is one dialogue per address.
  // Guarded.
  int addressesPerConnection() const noexcept { return perConnection_; }
  void setAddressesPerConnection(int value);  // 0 or less stores 1
  // At most this many connections open at once to one mail host; 0, the
  // default, sets no limit. Waiting for a free slot is not silence. Guarded.
  int hostConnections() const noexcept { return hostConnections_; }
  void setHostConnections(int value);  // below 0 stores 0
  // The longest an address is held whatever the servers send; 0 (the
  // default): three times the time-out, at least a minute. Guarded.
  std::uint64_t addressDeadlineMs() const noexcept { return addressDeadlineMs_; }
  void setAddressDeadlineMs(std::uint64_t value);
  // How long a DNS query waits for its answer before it is sent again (the
  // wait doubles each time); default kDnsRetryMs. Guarded.
  std::uint64_t dnsRetryMs() const noexcept { return dnsRetryMs_; }
  void setDnsRetryMs(std::uint64_t value);
  // Where the system's DNS servers are read from (default: the platform's
  // sources). Guarded.
  const std::vector<std::string>& systemDnsSources() const noexcept { return systemDnsSources_; }
  void setSystemDnsSources(std::vector<std::string> sources);

  // The clock the time-outs, deadlines and retries are measured with:
  // milliseconds, wrapping like a tick count. Default: the loop's monotonic
  // clock; tests put a clock of their own here and call checkTimeOutsNow, so
  // that no test waits real seconds for a time-out. Guarded.
  using Clock = std::function<std::uint32_t()>;
  void setClock(Clock clock);
  std::uint32_t now() const { return clock_ ? clock_() : net::EventLoop::tickCount(); }

  // --- operations ---
  // Starts a run over the queue (or the source). Throws
  // TSmtpRelayServerException: "FROM property is empty", "No DNS SERVER
  // Available" (busy flag clear and no session afterwards), or "Component is
  // busy" while a run is still running or finishing. An empty queue finishes
  // the run at once (OnFinished through the finish timer).
  void StartCheck();
  // Stops every live session: each reports its address in hand with -8. The
  // run then finishes with Aborted true. Exceptions inside are swallowed.
  void AbortRun();

  // Runs the time-out check at once (it also runs every TimeOut seconds):
  // sessions silent for longer than TimeOut, or holding an address past its
  // deadline, are stopped (-2).
  void checkTimeOutsNow() { checkTimeOuts(); }

  bool busy() const noexcept { return busy_; }
  bool Aborted() const noexcept { return aborted_; }
  int activeCount() const noexcept { return activeCount_; }
  // The DNS server list of the current (or last) run. Sessions ask the first
  // entry, and turn to the second when the first does not answer.
  const std::vector<std::string>& dnsServers() const noexcept { return dnsServers_; }
  // Slots of the session list (created sessions, empty once ended).
  std::size_t sessionSlots() const noexcept { return sessions_.size(); }
  net::EventLoop& Loop() noexcept { return loop_; }
  // The result being reported: valid during OnEMailProcessed.
  const AddressResult& lastResult() const noexcept { return lastResult_; }
  // The tag and text of an address in hand (taken, not yet reported): valid
  // during OnGetData, OnEMailProcessed and onAddressWaiting.
  std::int64_t Tag(int recipientIndex) const;
  const std::string& Text(int recipientIndex) const;
  // Addresses waiting to be tried again.
  std::size_t retriesWaiting() const noexcept { return retries_.size(); }
  // MX queries sent in this run (resends included).
  std::uint64_t dnsQueriesSent() const noexcept { return dnsQueries_; }
  // SMTP connections opened in this run.
  std::uint64_t connectionsOpened() const noexcept { return connectionsOpened_; }
  // The most connections that were open at once to one mail host.
  int peakHostConnections() const noexcept { return peakHostConnections_; }

  TGetDataEvent OnGetData;
  TEMailProcessedEvent OnEMailProcessed;
  TAbortingEvent OnAborting;
  TFinishedEvent OnFinished;
  TAddressWaitingEvent onAddressWaiting;

 private:
  friend class TSmtpThread;

  // What the run knows of a domain's catch-all behaviour.
  enum class CatchAll : std::uint8_t { Probing, Yes, No, Undetermined };
  struct Retry {
    TakenAddress address;
    TransactionLog log;
    std::uint32_t due = 0;  // tick count
  };
  struct InHand {
    std::int64_t tag = 0;
    std::string text;
  };
  struct MxEntry {
    bool ready = false;
    MxAnswer answer;
    std::uint32_t expires = 0;  // tick count
    std::vector<TSmtpThread*> waiters;
  };
  struct HostSlots {
    int open = 0;
    std::deque<TSmtpThread*> waiting;
  };

  void checkNotBusy() const;
  void checkTimeOuts();
  void finishTimerFired();
  // Called by a session that ends: empties its slot; the object is destroyed
  // later from the loop (it may be deep inside its own client's callback).
  std::unique_ptr<TSmtpThread> takeSession(TSmtpThread* session);
  void sessionEnded(int lastRecipientIndex);
  void buryLater(std::unique_ptr<TSmtpThread> session);

  // Addresses: the next one (a due retry first), or one of `domain` to take
  // along. `fresh` tells an address taken for the first time, which the
  // session announces (OnGetData) once it holds it.
  enum class Took { Nothing, Address, Retry };
  Took takeNext(TakenAddress& address, TransactionLog& log, bool& fresh);
  bool takeAlong(const std::string& domain, TakenAddress& address, bool& fresh);
  void announce(int recipientIndex);
  void giveBack(TakenAddress address);
  // The address and its result, raised as OnEMailProcessed.
  void reported(const TakenAddress& address, const AddressResult& result,
                const TransactionLog& log);

  // Mail hosts: true with `answer` set when the domain's answer is known;
  // false when the caller is to ask (`ask` true) or to wait for the answer
  // another session is asking for (it is woken with mxKnown).
  bool mxLookup(const std::string& domain, TSmtpThread* session, const MxAnswer*& answer,
                bool& ask);
  void mxResolved(const std::string& domain, MxAnswer answer);
  void forgetMxWaiter(TSmtpThread* session);

  // Connections per mail host: true when `session` may connect to `host`
  // now; otherwise it is woken with hostFree when a slot frees up.
  bool acquireHost(const std::string& host, TSmtpThread* session);
  void releaseHost(const std::string& host);
  void forgetHostWaiter(TSmtpThread* session);

  // Catch-all knowledge: a session that is the first to see an accepted
  // address of `domain` gets true and probes; everyone else reads the state.
  bool claimCatchAllProbe(const std::string& domain);
  const CatchAll* catchAllOf(const std::string& domain) const;
  void catchAllResolved(const std::string& domain, CatchAll state);
  void waitForCatchAll(const std::string& domain, TSmtpThread* session);
  void forgetWaiter(TSmtpThread* session);
  // Wakes `session` from the loop, if it still exists by then.
  // A session may be gone by the time a posted notice for it runs.
  bool isLive(const TSmtpThread* session) const;
  void wake(TSmtpThread* session, void (TSmtpThread::*method)());

  // Greylisting: the address waits; the run stays alive until it is retried.
  void queueRetry(Retry retry);
  void armRetryTimer();
  void retryTimerFired();
  void startSession();
  void abortRetries();

  net::EventLoop& loop_;
  int connections_ = kDefaultConnections;
  int timeOut_ = kDefaultTimeOut;
  std::string signon_;
  std::string from_;
  TRecipientQueue recipients_;
  TRecipientSource source_;
  std::string dns_;
  std::string internalDns_;
  std::string smtpPort_ = "smtp";
  std::vector<std::string> systemDnsSources_;
  std::uint64_t greylistDelayMs_ = 0;
  bool detectCatchAll_ = false;
  int perConnection_ = 1;
  int hostConnections_ = 0;
  std::uint64_t dnsRetryMs_ = kDnsRetryMs;
  std::uint64_t addressDeadlineMs_ = 0;
  Clock clock_;

  bool busy_ = false;
  bool aborted_ = false;
  int activeCount_ = 0;
  AddressFeed feed_;
  std::unordered_map<int, InHand> inHand_;
  std::vector<std::string> dnsServers_;
  std::vector<std::unique_ptr<TSmtpThread>> sessions_;
  std::vector<std::unique_ptr<TSmtpThread>> graveyard_;
  AddressResult lastResult_;
  std::unordered_map<std::string, CatchAll> catchAll_;
  std::unordered_map<std::string, std::vector<TSmtpThread*>> catchAllWaiters_;
  std::unordered_map<std::string, MxEntry> mx_;
  std::unordered_map<std::string, HostSlots> hosts_;
  int peakHostConnections_ = 0;
  std::uint64_t dnsQueries_ = 0;
  std::uint64_t connectionsOpened_ = 0;
  std::deque<Retry> retries_;
  net::Timer checkTimer_;
  net::Timer finishTimer_;
  net::Timer retryTimer_;
  std::shared_ptr<int> alive_ = std::make_shared<int>(0);  // guards posted notices
};

}  // namespace orvane::engine
