#include "engine/SmtpRelayServer.h"

#include <algorithm>

#include "core/Text.h"
#include "engine/DnsServerList.h"
#include "engine/ResultMessages.h"
#include "engine/SmtpThread.h"

namespace orvane::engine {

namespace {}  // namespace

TSmtpRelayServer::TSmtpRelayServer(net::EventLoop& loop)
    : loop_(loop),
      systemDnsSources_(defaultSystemDnsSources()),
      checkTimer_(loop),
      finishTimer_(loop),
      retryTimer_(loop) {}

TSmtpRelayServer::~TSmtpRelayServer() {
  // Live sessions (an owner that destroys a busy scheduler) go with it: their
  // components close their handles and drop their pending notices.
  sessions_.clear();
  graveyard_.clear();
}

void TSmtpRelayServer::checkNotBusy() const {
  if (busy_) throw TSmtpRelayServerException(std::string(kComponentBusy));
}

void TSmtpRelayServer::setConnections(int value) {
  checkNotBusy();
  connections_ = value <= 0 ? 1 : value;
}

void TSmtpRelayServer::setTimeOut(int value) {
  checkNotBusy();
  timeOut_ = value <= 0 ? kDefaultTimeOut : value;
}

void TSmtpRelayServer::setRecipients(const TRecipientQueue* list) {
  checkNotBusy();
  recipients_.clear();
  if (list != nullptr) {
    for (const auto& line : list->lines()) recipients_.add(line.text, line.tag);
  }
}

void TSmtpRelayServer::setSource(TRecipientSource source) {
  checkNotBusy();
  source_ = std::move(source);
}

void TSmtpRelayServer::setDns(std::string_view value) {
  checkNotBusy();
  dns_ = std::string(trimBlanks(value));
}

void TSmtpRelayServer::setInternalDns(std::string_view value) {
  checkNotBusy();
  internalDns_ = std::string(trimBlanks(value));
}

void TSmtpRelayServer::setSmtpPort(std::string value) {
  checkNotBusy();
  smtpPort_ = std::move(value);
}

void TSmtpRelayServer::setGreylistDelayMs(std::uint64_t value) {
  checkNotBusy();
  greylistDelayMs_ = value;
}

void TSmtpRelayServer::setDetectCatchAll(bool value) {
  checkNotBusy();
  detectCatchAll_ = value;
}

void TSmtpRelayServer::setAddressesPerConnection(int value) {
  checkNotBusy();
  perConnection_ = value <= 0 ? 1 : value;
}

void TSmtpRelayServer::setHostConnections(int value) {
  checkNotBusy();
  hostConnections_ = value < 0 ? 0 : value;
}

void TSmtpRelayServer::setClock(Clock clock) {
  checkNotBusy();
  clock_ = std::move(clock);
}

void TSmtpRelayServer::setAddressDeadlineMs(std::uint64_t value) {
  checkNotBusy();
  addressDeadlineMs_ = value;
}

void TSmtpRelayServer::setDnsRetryMs(std::uint64_t value) {
  checkNotBusy();
  dnsRetryMs_ = value == 0 ? kDnsRetryMs : value;
}

void TSmtpRelayServer::setSystemDnsSources(std::vector<std::string> sources) {
  checkNotBusy();
  systemDnsSources_ = std::move(sources);
}

void TSmtpRelayServer::StartCheck() {
  // A second start while a run is running or finishing would share the
  // addresses with the live sessions and lose the first run's finish.
  if (busy_ || finishTimer_.active()) {
    throw TSmtpRelayServerException(std::string(kComponentBusy));
  }
  if (from_.empty()) throw TSmtpRelayServerException(std::string(kFromEmpty));
  busy_ = true;
  aborted_ = false;
  try {
    checkTimer_.start(static_cast<std::uint64_t>(timeOut_) * 1000u,
                      static_cast<std::uint64_t>(timeOut_) * 1000u, [this] { checkTimeOuts(); });
    activeCount_ = 0;
    dnsServers_ = buildDnsServerList(dns_, systemDnsSources_, internalDns_);
    if (dnsServers_.empty()) throw TSmtpRelayServerException(std::string(kNoDnsServer));

    sessions_.clear();
    catchAll_.clear();
    catchAllWaiters_.clear();
    retries_.clear();
    mx_.clear();
    hosts_.clear();
    inHand_.clear();
    peakHostConnections_ = 0;
    dnsQueries_ = 0;
    connectionsOpened_ = 0;
    TRecipientSource source = source_;
    if (!source) {
      source = [this, cursor = std::size_t{0}](FeedLine& line) mutable {
        if (cursor >= recipients_.count()) return false;
        line = recipients_.lines()[cursor++];
        return true;
      };
    }
    // Read far enough ahead to find a domain's next addresses among a list
    // that mixes many domains, and no further: the window, not the list,
    // takes the memory.
    const std::size_t wanted =
        static_cast<std::size_t>(connections_) * static_cast<std::size_t>(perConnection_) * 4u;
    feed_.reset(std::move(source), std::clamp<std::size_t>(wanted, 256, 50000), perConnection_ > 1);
    const std::size_t n = std::min(static_cast<std::size_t>(connections_), feed_.available());
    sessions_.reserve(n);
    if (n == 0) {
      // Nothing to hand out: the run ends at once, reported from the loop.
      busy_ = false;
      finishTimer_.start(kFinishDelayMs, 0, [this] { finishTimerFired(); });
      return;
    }
    for (std::size_t i = 0; i < n; ++i) {
      startSession();
      // An owner's handler may have aborted the run meanwhile.
      if (aborted_) break;
    }
  } catch (...) {
    busy_ = false;
    checkTimer_.stop();
    sessions_.clear();
    throw;
  }
}

void TSmtpRelayServer::AbortRun() {
  aborted_ = true;
  abortRetries();
  // Look each slot up again: a stopped session empties its slot, and the
  // owner's handlers run inside StopSession.
  for (std::size_t i = 0; i < sessions_.size(); ++i) {
    try {
      if (TSmtpThread* session = sessions_[i].get()) session->StopSession(false);
    } catch (...) {
    }
  }
}

void TSmtpRelayServer::checkTimeOuts() {
  const std::uint32_t nowMs = now();
  for (std::size_t i = 0; i < sessions_.size(); ++i) {
    try {
      TSmtpThread* session = sessions_[i].get();
      if (session == nullptr) continue;
      // Waiting for a free connection to a busy mail host is not silence.
      if (session->currentPhase() == TSmtpThread::Phase::WaitingHost) continue;
      const double silent = static_cast<double>(nowMs - session->lastActivity()) / 1000.0;
      if (silent > static_cast<double>(timeOut_) || session->pastDeadline(nowMs)) {
        session->StopSession(true);
      }
    } catch (...) {
    }
  }
}

void TSmtpRelayServer::finishTimerFired() {
  finishTimer_.stop();
  checkTimer_.stop();
  retryTimer_.stop();
  // The sessions of the run are all gone; release their slots.
  sessions_.clear();
  if (OnFinished) OnFinished(*this, aborted_);
  busy_ = false;
}

std::unique_ptr<TSmtpThread> TSmtpRelayServer::takeSession(TSmtpThread* session) {
  for (auto& slot : sessions_) {
    if (slot.get() == session) return std::move(slot);
  }
  return nullptr;
}

void TSmtpRelayServer::sessionEnded(int lastRecipientIndex) {
  --activeCount_;
  if (aborted_ && OnAborting) OnAborting(*this, lastRecipientIndex, connections_ - activeCount_);
  // Addresses waiting for their second try keep the run alive; the retry
  // timer starts a session for them when they are due.
  if (activeCount_ == 0 && retries_.empty()) {
    busy_ = false;
    finishTimer_.start(kFinishDelayMs, 0, [this] { finishTimerFired(); });
  } else {
    armRetryTimer();
  }
}

void TSmtpRelayServer::buryLater(std::unique_ptr<TSmtpThread> session) {
  if (!session) return;
  graveyard_.push_back(std::move(session));
  if (graveyard_.size() == 1) {
    loop_.post(std::weak_ptr<void>(alive_), [this] { graveyard_.clear(); });
  }
}

// --------------------------------------------------------------- addresses

TSmtpRelayServer::Took TSmtpRelayServer::takeNext(TakenAddress& address, TransactionLog& log,
                                                  bool& fresh) {
  fresh = false;
  if (aborted_) return Took::Nothing;
  if (!retries_.empty() && net::EventLoop::tickDue(now(), retries_.front().due)) {
    Retry retry = std::move(retries_.front());
    retries_.pop_front();
    armRetryTimer();
    address = std::move(retry.address);
    log = std::move(retry.log);
    return Took::Retry;
  }
  if (!feed_.takeNext(address)) return Took::Nothing;
  fresh = inHand_.try_emplace(address.index, InHand{address.tag, address.text}).second;
  return Took::Address;
}

bool TSmtpRelayServer::takeAlong(const std::string& domain, TakenAddress& address, bool& fresh) {
  fresh = false;
  if (aborted_ || !feed_.takeAlong(domain, address)) return false;
  fresh = inHand_.try_emplace(address.index, InHand{address.tag, address.text}).second;
  return true;
}

void TSmtpRelayServer::announce(int recipientIndex) {
  if (OnGetData) OnGetData(*this, recipientIndex);
}

void TSmtpRelayServer::giveBack(TakenAddress address) {
  feed_.giveBack(std::move(address));
  // A session that found nothing to do may have ended meanwhile.
  if (activeCount_ < connections_ && !aborted_ && busy_) {
    loop_.post(std::weak_ptr<void>(alive_), [this] {
      if (busy_ && !aborted_ && activeCount_ < connections_ && feed_.available() > 0) {
        startSession();
      }
    });
  }
}

void TSmtpRelayServer::reported(const TakenAddress& address, const AddressResult& result,
                                const TransactionLog& log) {
  lastResult_ = result;
  if (OnEMailProcessed) OnEMailProcessed(*this, address.index, result.code, log);
  inHand_.erase(address.index);
}

std::int64_t TSmtpRelayServer::Tag(int recipientIndex) const {
  const auto it = inHand_.find(recipientIndex);
  if (it != inHand_.end()) return it->second.tag;
  return recipients_.objects(static_cast<std::size_t>(recipientIndex));
}

const std::string& TSmtpRelayServer::Text(int recipientIndex) const {
  const auto it = inHand_.find(recipientIndex);
  if (it != inHand_.end()) return it->second.text;
  return recipients_.strings(static_cast<std::size_t>(recipientIndex));
}

bool TSmtpRelayServer::isLive(const TSmtpThread* session) const {
  return std::any_of(sessions_.begin(), sessions_.end(),
                     [session](const auto& slot) { return slot.get() == session; });
}

void TSmtpRelayServer::wake(TSmtpThread* session, void (TSmtpThread::*method)()) {
  loop_.post(std::weak_ptr<void>(alive_), [this, session, method] {
    if (isLive(session)) (session->*method)();
  });
}

// --------------------------------------------------------------- mail hosts

bool TSmtpRelayServer::mxLookup(const std::string& domain, TSmtpThread* session,
                                const MxAnswer*& answer, bool& ask) {
  ask = false;
  const auto it = mx_.find(domain);
  if (it != mx_.end()) {
    MxEntry& entry = it->second;
    if (!entry.ready) {
      entry.waiters.push_back(session);
      return false;
    }
    if (!net::EventLoop::tickDue(now(), entry.expires)) {
      answer = &entry.answer;
      return true;
    }
    mx_.erase(it);
  }
  mx_[domain];
  ask = true;
  return false;
}

void TSmtpRelayServer::mxResolved(const std::string& domain, MxAnswer answer) {
  auto it = mx_.find(domain);
  std::vector<TSmtpThread*> waiters;
  if (it != mx_.end()) waiters = std::move(it->second.waiters);
  const auto shared = std::make_shared<const MxAnswer>(answer);
  if (answer.ttlSeconds > 0) {
    MxEntry& entry = mx_[domain];
    entry.ready = true;
    entry.expires = now() + answer.ttlSeconds * 1000u;
    entry.answer = std::move(answer);
  } else if (it != mx_.end()) {
    // Failures are not kept: the next address asks again.
    mx_.erase(it);
  }
  for (TSmtpThread* waiter : waiters) {
    loop_.post(std::weak_ptr<void>(alive_), [this, waiter, shared] {
      if (isLive(waiter)) waiter->mxKnown(*shared);
    });
  }
}

void TSmtpRelayServer::forgetMxWaiter(TSmtpThread* session) {
  for (auto& [domain, entry] : mx_) std::erase(entry.waiters, session);
}

// --------------------------------------------------------------- host slots

bool TSmtpRelayServer::acquireHost(const std::string& host, TSmtpThread* session) {
  HostSlots& slots = hosts_[host];
  if (hostConnections_ > 0 && slots.open >= hostConnections_) {
    slots.waiting.push_back(session);
    return false;
  }
  ++slots.open;
  peakHostConnections_ = std::max(peakHostConnections_, slots.open);
  return true;
}

void TSmtpRelayServer::releaseHost(const std::string& host) {
  const auto it = hosts_.find(host);
  if (it == hosts_.end()) return;
  HostSlots& slots = it->second;
  --slots.open;
  if (slots.waiting.empty()) {
    if (slots.open <= 0) hosts_.erase(it);
    return;
  }
  // The slot passes to the first waiter at once; should it be gone when its
  // turn comes, the slot passes on.
  TSmtpThread* next = slots.waiting.front();
  slots.waiting.pop_front();
  ++slots.open;
  loop_.post(std::weak_ptr<void>(alive_), [this, next, host] {
    if (isLive(next))
      next->hostFree();
    else
      releaseHost(host);
  });
}

void TSmtpRelayServer::forgetHostWaiter(TSmtpThread* session) {
  for (auto& [host, slots] : hosts_) std::erase(slots.waiting, session);
}

// --------------------------------------------------------------- catch-all

bool TSmtpRelayServer::claimCatchAllProbe(const std::string& domain) {
  if (!detectCatchAll_) return false;
  return catchAll_.emplace(domain, CatchAll::Probing).second;
}

const TSmtpRelayServer::CatchAll* TSmtpRelayServer::catchAllOf(const std::string& domain) const {
  if (!detectCatchAll_) return nullptr;
  const auto it = catchAll_.find(domain);
  return it == catchAll_.end() ? nullptr : &it->second;
}

void TSmtpRelayServer::catchAllResolved(const std::string& domain, CatchAll state) {
  catchAll_[domain] = state;
  const auto it = catchAllWaiters_.find(domain);
  if (it == catchAllWaiters_.end()) return;
  // The waiting sessions go on from the loop, not inside the prober's callback.
  std::vector<TSmtpThread*> waiters = std::move(it->second);
  catchAllWaiters_.erase(it);
  for (TSmtpThread* waiter : waiters) wake(waiter, &TSmtpThread::catchAllKnown);
}

void TSmtpRelayServer::waitForCatchAll(const std::string& domain, TSmtpThread* session) {
  catchAllWaiters_[domain].push_back(session);
}

void TSmtpRelayServer::forgetWaiter(TSmtpThread* session) {
  for (auto& [domain, waiters] : catchAllWaiters_) std::erase(waiters, session);
  forgetMxWaiter(session);
  forgetHostWaiter(session);
}

// --------------------------------------------------------------- greylisting

void TSmtpRelayServer::queueRetry(Retry retry) {
  retry.due = now() + static_cast<std::uint32_t>(greylistDelayMs_);
  const int index = retry.address.index;
  retries_.push_back(std::move(retry));
  armRetryTimer();
  if (onAddressWaiting) onAddressWaiting(*this, index, greylistDelayMs_);
}

void TSmtpRelayServer::armRetryTimer() {
  if (retries_.empty() || aborted_) {
    retryTimer_.stop();
    return;
  }
  const auto wait = static_cast<std::int32_t>(retries_.front().due - now());
  if (wait > 0) {
    retryTimer_.start(static_cast<std::uint64_t>(wait), 0, [this] { retryTimerFired(); });
  } else if (activeCount_ < connections_) {
    retryTimer_.start(0, 0, [this] { retryTimerFired(); });
  } else {
    // Due, but every slot is busy: the next session to finish an address
    // takes it.
    retryTimer_.stop();
  }
}

void TSmtpRelayServer::retryTimerFired() {
  if (aborted_ || !busy_) return;
  // Start sessions for the due retries, within the connection limit; each
  // takes a due retry before anything else.
  const std::uint32_t nowMs = now();
  while (!retries_.empty() && net::EventLoop::tickDue(nowMs, retries_.front().due) &&
         activeCount_ < connections_ && !aborted_) {
    const std::size_t before = retries_.size();
    startSession();
    if (retries_.size() >= before) break;  // the new session took nothing
  }
  armRetryTimer();
}

void TSmtpRelayServer::startSession() {
  sessions_.push_back(std::make_unique<TSmtpThread>(*this));
  sessions_.back()->NextRecipient();
}

void TSmtpRelayServer::abortRetries() {
  retryTimer_.stop();
  while (!retries_.empty()) {
    Retry retry = std::move(retries_.front());
    retries_.pop_front();
    retry.log.emplace_back("User Abort");
    Outcome outcome;
    outcome.code = kResultAborted;
    Classification c = classify(outcome);
    reported(retry.address, {outcome.code, c.verdict, std::move(c.message)}, retry.log);
  }
  if (busy_ && activeCount_ == 0 && !finishTimer_.active()) {
    busy_ = false;
    finishTimer_.start(kFinishDelayMs, 0, [this] { finishTimerFired(); });
  }
}

}  // namespace orvane::engine
