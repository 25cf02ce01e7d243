// TSmtpRelayServer: the validation scheduler. Its owner fills the queue of
// addresses (or gives a source that hands them out one by one), sets the
// connection settings and starts a run; the scheduler picks the DNS servers,
// creates up to `Connections` sessions (TSmtpThread) that share the
// addresses, stops sessions that stay silent for longer than `TimeOut`
// seconds, lets the owner abort the run, and reports through events when an
// address is taken, when its result is known and when the run ends.
//
// What the sessions of a run share besides the addresses, each in a part of
// its own: the mail hosts of each domain (MxResolver: one MX query per
// domain, kept for its TTL), the connections open to each mail host and
// their limit (HostSlots), the catch-all answer of each domain
// (CatchAllRegistry), and the addresses waiting for their greylisting retry.
//
// No connection idles on a full host: an address whose mail host is full
// waits without a session (set aside, or left in its domain's queue) and a
// free session takes the next address whose host has room or is not known
// yet. The address set aside goes on as soon as its host has a slot.
//
// A source may answer "none yet": the run then stays alive with the
// addresses it has (the caches too) and goes on when the owner calls
// sourceReady(); it ends once the source has ended and every address is
// answered.
//
// Ownership: owns the queue, the window of addresses read ahead from a source,
// the DNS server list, the shared parts above, its sessions (while a run
// lasts) and its timers, which run on the loop's time (EventLoop::now: a
// test's ManualClock moves them). The EventLoop must outlive it. Destroy it
// only while it is not busy.
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
#include "engine/AddressResolver.h"
#include "engine/CatchAllRegistry.h"
#include "engine/DnsAsker.h"
#include "engine/HostSlots.h"
#include "engine/MxResolver.h"
#include "engine/Outcome.h"
#include "engine/RunContext.h"
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

  void add(std::string text, std::int64_t tag = 0) { lines_.push_back({std::move(text), tag, {}}); }
  void clear() noexcept { lines_.clear(); }
  std::size_t count() const noexcept { return lines_.size(); }
  const std::string& strings(std::size_t i) const { return lines_.at(i).text; }
  std::int64_t objects(std::size_t i) const { return lines_.at(i).tag; }
  const std::vector<Line>& lines() const noexcept { return lines_; }

 private:
  std::vector<Line> lines_;
};

class TSmtpRelayServer final : private RunContext {
 public:
  using TGetDataEvent = std::function<void(TSmtpRelayServer& Sender, int recipientIndex)>;
  // `log` is the session's transaction log, valid only during the call.
  using TEMailProcessedEvent = std::function<void(TSmtpRelayServer& Sender, int recipientIndex,
                                                  std::int32_t Err, const TransactionLog& log)>;
  using TAbortingEvent =
      std::function<void(TSmtpRelayServer& Sender, int recipientIndex, int threadsAborted)>;
  using TFinishedEvent = std::function<void(TSmtpRelayServer& Sender, bool Aborted)>;
  // Hands out the next address to check, or says there is none yet, or none
  // any more.
  using TRecipientSource = AddressFeed::Source;

  static constexpr int kDefaultConnections = 1;
  static constexpr int kDefaultTimeOut = 60;
  static constexpr std::uint64_t kFinishDelayMs = 100;
  static constexpr std::uint64_t kDnsRetryMs = DnsAsker::kRetryMs;

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
  // consumes them instead of from the queue (numbered in the order read).
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
  // IPv6: mail hosts' AAAA records are asked for and tried first (default
  // on). Guarded.
  bool useIpv6() const noexcept { return useIpv6_; }
  void setUseIpv6(bool value);
  // The SOCKS 5 proxy SMTP connections go through (none by default). Guarded.
  const ProxySettings& proxy() const noexcept { return proxy_; }
  void setProxy(ProxySettings value);
  // The local addresses SMTP connections leave from (none: the system's
  // choice). Guarded.
  const std::vector<std::string>& sourceAddresses() const noexcept { return sources_; }
  void setSourceAddresses(std::vector<std::string> value);
  // Where the system's DNS servers are read from (default: the platform's
  // sources). Guarded.
  const std::vector<std::string>& systemDnsSources() const noexcept { return systemDnsSources_; }
  void setSystemDnsSources(std::vector<std::string> sources);

  // --- operations ---
  // Starts a run over the queue (or the source). Throws
  // TSmtpRelayServerException: "FROM property is empty", "No DNS SERVER
  // Available" (busy flag clear and no session afterwards), or "Component is
  // busy" while a run is still running or finishing. An empty queue finishes
  // the run at once (OnFinished through the finish timer).
  void StartCheck();
  // Stops every live session: each reports its address in hand with -8, as
  // do the addresses waiting for a retry or a host. The run then finishes
  // with Aborted true. Exceptions inside are swallowed.
  void AbortRun();
  // The source has more addresses (or has ended) after it said "none yet".
  void sourceReady();

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
  // Addresses waiting to be tried again.
  std::size_t retriesWaiting() const noexcept { return retries_.size(); }
  // Addresses waiting for a slot at their mail host.
  std::size_t addressesParked() const noexcept { return parkedCount_; }
  // MX queries sent in this run (resends included).
  std::uint64_t dnsQueriesSent() const noexcept { return asker_.queriesSent(); }
  // SMTP connections opened in this run.
  std::uint64_t connectionsOpened() const noexcept { return connectionsOpened_; }
  // The most connections that were open at once to one mail host.
  int peakHostConnections() const noexcept { return hostSlots_.peak(); }
  // Connections open now (or held for an address about to connect).
  int openConnections() const noexcept { return hostSlots_.total(); }

  TGetDataEvent OnGetData;
  TEMailProcessedEvent OnEMailProcessed;
  TAbortingEvent OnAborting;
  TFinishedEvent OnFinished;
  // The same moments with the address itself: taken (once per address),
  // refused for now and waiting `delayMs` for its retry, and its result.
  std::function<void(const TakenAddress& address)> onTaken;
  std::function<void(const TakenAddress& address, std::uint64_t delayMs)> onWaiting;
  std::function<void(ValidationResult& result)> onResult;
  // A mail host's connection limit was lowered (it throttled us, or is slow)
  // or restored.
  std::function<void(const HostSlots::Change& change)> onHostLimit;

 private:
  struct Retry {
    AddressWork work;
    std::uint32_t due = 0;  // loop time
  };

  // RunContext: what the sessions ask of the run.
  const RunSettings& runSettings() const override { return runSettings_; }
  net::EventLoop& loop() override { return loop_; }
  MxResolver& resolver() override { return resolver_; }
  AddressResolver& addressResolver() override { return addresses_; }
  bool ipv6Usable() const override { return ipv6Usable_; }
  void ipv6Unreachable() override { ipv6Usable_ = false; }
  HostSlots& hostSlots() override { return hostSlots_; }
  CatchAllRegistry& catchAll() override { return catchAll_; }
  bool stopping() const override { return aborted_; }
  Took takeNext(AddressWork& work) override;
  bool takeAlong(const std::string& domain, std::deque<int>& reserved, TakenAddress& out) override;
  void reserveAlong(const std::string& domain, int count, std::deque<int>& out) override;
  void unreserve(const std::string& domain, std::deque<int>& reserved) override;
  void announce(TakenAddress& address) override;
  void report(const TakenAddress& address, AddressResult result, TransactionLog& log) override;
  void retryLater(AddressWork work, std::uint64_t delayMs, bool greylisted) override;
  void giveBack(TakenAddress address) override;
  void park(AddressWork work) override;
  void connectionOpened() override { ++connectionsOpened_; }
  void sessionEnded(TSmtpThread& session, int lastRecipientIndex) override;

  void checkNotBusy() const;
  void checkTimeOuts();
  void finishTimerFired();
  void startSession();
  // Starts sessions while there are free connections and addresses at hand.
  void topUp();
  void postTopUp();
  bool workAtHand();
  // Ends the run when nothing is left to do or to wait for.
  void maybeFinish();
  void hostHasRoom(const std::string& host);
  void armRetryTimer();
  void retryTimerFired();
  // Reports `work` aborted (-8): a retry or a parked address at AbortRun.
  void reportAborted(AddressWork& work);

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
  bool useIpv6_ = true;
  ProxySettings proxy_;
  std::vector<std::string> sources_;
  bool ipv6Usable_ = true;

  bool busy_ = false;
  bool aborted_ = false;
  int activeCount_ = 0;
  RunSettings runSettings_;
  AddressFeed feed_;
  DnsAsker asker_;
  AddressResolver addresses_;
  MxResolver resolver_;
  HostSlots hostSlots_;
  CatchAllRegistry catchAll_;
  std::vector<std::string> dnsServers_;
  std::vector<std::unique_ptr<TSmtpThread>> sessions_;
  std::vector<std::size_t> freeSlots_;
  std::vector<std::unique_ptr<TSmtpThread>> graveyard_;
  std::deque<Retry> retries_;
  // Addresses waiting for a slot at their host, by host, and the hosts that
  // have room for theirs.
  std::unordered_map<std::string, std::deque<AddressWork>> parked_;
  std::deque<std::string> roomAt_;
  std::size_t parkedCount_ = 0;
  std::size_t parkLimit_ = 0;
  bool topUpPosted_ = false;
  std::uint64_t connectionsOpened_ = 0;
  net::Timer checkTimer_;
  net::Timer finishTimer_;
  net::Timer retryTimer_;
  std::shared_ptr<int> alive_ = std::make_shared<int>(0);  // guards posted notices
};

}  // namespace orvane::engine
