#include "engine/SmtpRelayServer.h"

#include "core/Text.h"
#include "engine/DnsServerList.h"
#include "engine/ResultMessages.h"
#include "engine/SmtpThread.h"

namespace orvane::engine {

TSmtpRelayServer::TSmtpRelayServer(net::EventLoop& loop)
    : loop_(loop),
      systemDnsSources_(DefaultSystemDnsSources()),
      checkTimer_(loop),
      finishTimer_(loop),
      retryTimer_(loop) {}

TSmtpRelayServer::~TSmtpRelayServer() {
  // Live sessions (an owner that destroys a busy scheduler) go with it: their
  // components close their handles and drop their pending notices.
  sessions_.clear();
  graveyard_.clear();
}

void TSmtpRelayServer::CheckNotBusy() const {
  if (busy_) throw TSmtpRelayServerException(std::string(kComponentBusy));
}

void TSmtpRelayServer::SetConnections(int value) {
  CheckNotBusy();
  connections_ = value <= 0 ? 1 : value;
}

void TSmtpRelayServer::SetTimeOut(int value) {
  CheckNotBusy();
  timeOut_ = value <= 0 ? kDefaultTimeOut : value;
}

void TSmtpRelayServer::SetRecipients(const TRecipientQueue* list) {
  CheckNotBusy();
  recipients_.Clear();
  if (list != nullptr) {
    for (const auto& line : list->Lines()) recipients_.Add(line.text, line.tag);
  }
}

void TSmtpRelayServer::SetDns(std::string_view value) {
  CheckNotBusy();
  dns_ = std::string(trimBlanks(value));
}

void TSmtpRelayServer::SetInternalDns(std::string_view value) {
  CheckNotBusy();
  internalDns_ = std::string(trimBlanks(value));
}

void TSmtpRelayServer::SetSmtpPort(std::string value) {
  CheckNotBusy();
  smtpPort_ = std::move(value);
}

void TSmtpRelayServer::SetGreylistDelayMs(std::uint64_t value) {
  CheckNotBusy();
  greylistDelayMs_ = value;
}

void TSmtpRelayServer::SetDetectCatchAll(bool value) {
  CheckNotBusy();
  detectCatchAll_ = value;
}

void TSmtpRelayServer::SetSystemDnsSources(std::vector<std::string> sources) {
  CheckNotBusy();
  systemDnsSources_ = std::move(sources);
}

void TSmtpRelayServer::StartCheck() {
  // A second start while a run is running or finishing would share the cursor
  // with the live sessions and lose the first run's finish.
  if (busy_ || finishTimer_.active()) {
    throw TSmtpRelayServerException(std::string(kComponentBusy));
  }
  if (from_.empty()) throw TSmtpRelayServerException(std::string(kFromEmpty));
  busy_ = true;
  aborted_ = false;
  try {
    checkTimer_.start(static_cast<std::uint64_t>(timeOut_) * 1000u,
                      static_cast<std::uint64_t>(timeOut_) * 1000u, [this] { CheckTimeOuts(); });
    activeCount_ = 0;
    dnsServers_ = BuildDnsServerList(dns_, systemDnsSources_, internalDns_);
    if (dnsServers_.empty()) throw TSmtpRelayServerException(std::string(kNoDnsServer));

    sessions_.clear();
    recipientCursor_ = 0;
    catchAll_.clear();
    catchAllWaiters_.clear();
    retries_.clear();
    const std::size_t n = std::min(static_cast<std::size_t>(connections_), recipients_.Count());
    sessions_.reserve(n);
    if (n == 0) {
      // Nothing to hand out: the run ends at once, reported from the loop.
      busy_ = false;
      finishTimer_.start(kFinishDelayMs, 0, [this] { FinishTimerFired(); });
      return;
    }
    for (std::size_t i = 0; i < n; ++i) {
      StartSession();
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
  AbortRetries();
  // Look each slot up again: a stopped session empties its slot, and the
  // owner's handlers run inside StopSession.
  for (std::size_t i = 0; i < sessions_.size(); ++i) {
    try {
      if (TSmtpThread* session = sessions_[i].get()) session->StopSession(false);
    } catch (...) {
    }
  }
}

void TSmtpRelayServer::CheckTimeOuts() {
  const std::uint32_t now = net::EventLoop::tickCount();
  for (std::size_t i = 0; i < sessions_.size(); ++i) {
    try {
      TSmtpThread* session = sessions_[i].get();
      if (session == nullptr) continue;
      const double silent = static_cast<double>(now - session->LastActivity()) / 1000.0;
      if (silent > static_cast<double>(timeOut_)) session->StopSession(true);
    } catch (...) {
    }
  }
}

void TSmtpRelayServer::FinishTimerFired() {
  finishTimer_.stop();
  checkTimer_.stop();
  retryTimer_.stop();
  // The sessions of the run are all gone; release their slots.
  sessions_.clear();
  if (OnFinished) OnFinished(*this, aborted_);
  busy_ = false;
}

std::unique_ptr<TSmtpThread> TSmtpRelayServer::TakeSession(TSmtpThread* session) {
  for (auto& slot : sessions_) {
    if (slot.get() == session) return std::move(slot);
  }
  return nullptr;
}

void TSmtpRelayServer::SessionEnded(int lastRecipientIndex) {
  --activeCount_;
  if (aborted_ && OnAborting) OnAborting(*this, lastRecipientIndex, connections_ - activeCount_);
  // Addresses waiting for their second try keep the run alive; the retry
  // timer starts a session for them when they are due.
  if (activeCount_ == 0 && retries_.empty()) {
    busy_ = false;
    finishTimer_.start(kFinishDelayMs, 0, [this] { FinishTimerFired(); });
  }
}

void TSmtpRelayServer::Reported(int recipientIndex, const AddressResult& result,
                                const TransactionLog& log) {
  lastResult_ = result;
  if (OnEMailProcessed) OnEMailProcessed(*this, recipientIndex, result.code, log);
}

bool TSmtpRelayServer::ClaimCatchAllProbe(const std::string& domain) {
  if (!detectCatchAll_) return false;
  return catchAll_.emplace(domain, CatchAll::Probing).second;
}

const TSmtpRelayServer::CatchAll* TSmtpRelayServer::CatchAllOf(const std::string& domain) const {
  if (!detectCatchAll_) return nullptr;
  const auto it = catchAll_.find(domain);
  return it == catchAll_.end() ? nullptr : &it->second;
}

void TSmtpRelayServer::CatchAllResolved(const std::string& domain, CatchAll state) {
  catchAll_[domain] = state;
  const auto it = catchAllWaiters_.find(domain);
  if (it == catchAllWaiters_.end()) return;
  // The waiting sessions go on from the loop, not inside the prober's callback.
  std::vector<TSmtpThread*> waiters = std::move(it->second);
  catchAllWaiters_.erase(it);
  for (TSmtpThread* waiter : waiters) {
    loop_.post(std::weak_ptr<void>(alive_), [this, waiter] {
      for (const auto& slot : sessions_) {
        if (slot.get() == waiter) {
          waiter->CatchAllKnown();
          return;
        }
      }
    });
  }
}

void TSmtpRelayServer::WaitForCatchAll(const std::string& domain, TSmtpThread* session) {
  catchAllWaiters_[domain].push_back(session);
}

void TSmtpRelayServer::ForgetWaiter(TSmtpThread* session) {
  for (auto& [domain, waiters] : catchAllWaiters_) std::erase(waiters, session);
}

void TSmtpRelayServer::QueueRetry(Retry retry) {
  retry.due = net::EventLoop::tickCount() + static_cast<std::uint32_t>(greylistDelayMs_);
  const int index = retry.recipientIndex;
  retries_.push_back(std::move(retry));
  ArmRetryTimer();
  if (OnAddressWaiting) OnAddressWaiting(*this, index, greylistDelayMs_);
}

bool TSmtpRelayServer::TakeDueRetry(Retry& out) {
  if (retries_.empty()) return false;
  // One delay for all: the queue is in due order.
  const auto late = static_cast<std::int32_t>(net::EventLoop::tickCount() - retries_.front().due);
  if (late < 0) return false;
  out = std::move(retries_.front());
  retries_.pop_front();
  ArmRetryTimer();
  return true;
}

void TSmtpRelayServer::ArmRetryTimer() {
  if (retries_.empty() || aborted_) {
    retryTimer_.stop();
    return;
  }
  const auto wait = static_cast<std::int32_t>(retries_.front().due - net::EventLoop::tickCount());
  if (wait > 0) {
    retryTimer_.start(static_cast<std::uint64_t>(wait), 0, [this] { RetryTimerFired(); });
  } else if (activeCount_ < connections_) {
    retryTimer_.start(0, 0, [this] { RetryTimerFired(); });
  } else {
    // Due, but every slot is busy: the next session to finish an address
    // takes it.
    retryTimer_.stop();
  }
}

void TSmtpRelayServer::RetryTimerFired() {
  if (aborted_ || !busy_) return;
  // Start sessions for the due retries, within the connection limit; each
  // takes a due retry before anything else.
  const std::uint32_t now = net::EventLoop::tickCount();
  while (!retries_.empty() && static_cast<std::int32_t>(now - retries_.front().due) >= 0 &&
         activeCount_ < connections_ && !aborted_) {
    const std::size_t before = retries_.size();
    StartSession();
    if (retries_.size() >= before) break;  // the new session took nothing
  }
  ArmRetryTimer();
}

void TSmtpRelayServer::StartSession() {
  sessions_.push_back(std::make_unique<TSmtpThread>(*this));
  sessions_.back()->NextRecipient();
}

void TSmtpRelayServer::AbortRetries() {
  retryTimer_.stop();
  while (!retries_.empty()) {
    Retry retry = std::move(retries_.front());
    retries_.pop_front();
    retry.log.emplace_back("User Abort");
    Outcome outcome;
    outcome.code = kResultAborted;
    Classification c = Classify(outcome);
    Reported(retry.recipientIndex, {outcome.code, c.verdict, std::move(c.message)}, retry.log);
  }
  if (busy_ && activeCount_ == 0 && !finishTimer_.active()) {
    busy_ = false;
    finishTimer_.start(kFinishDelayMs, 0, [this] { FinishTimerFired(); });
  }
}

void TSmtpRelayServer::BuryLater(std::unique_ptr<TSmtpThread> session) {
  if (!session) return;
  graveyard_.push_back(std::move(session));
  if (graveyard_.size() == 1) {
    loop_.post(std::weak_ptr<void>(alive_), [this] { graveyard_.clear(); });
  }
}

}  // namespace orvane::engine
