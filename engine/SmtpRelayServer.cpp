#include "engine/SmtpRelayServer.h"

#include <algorithm>
#include <iterator>

#include "core/Text.h"
#include "engine/DnsServerList.h"
#include "engine/ResultMessages.h"
#include "engine/SmtpThread.h"

namespace orvane::engine {

namespace {

// A query gives up this long before the silence time-out would stop the
// session, so that its own, clearer result is the one reported.
constexpr std::uint32_t kDnsGiveUpMarginMs = 500;
constexpr std::uint32_t kMinAddressDeadlineS = 60;

}  // namespace

TSmtpRelayServer::TSmtpRelayServer(net::EventLoop& loop)
    : loop_(loop),
      systemDnsSources_(defaultSystemDnsSources()),
      asker_(loop),
      addresses_(loop, asker_),
      resolver_(loop, asker_, addresses_),
      hostSlots_(loop),
      catchAll_(loop),
      checkTimer_(loop),
      finishTimer_(loop),
      retryTimer_(loop) {
  hostSlots_.onRoom = [this](const std::string& host) { hostHasRoom(host); };
  hostSlots_.onChange = [this](const HostSlots::Change& change) {
    if (onHostLimit) onHostLimit(change);
  };
}

TSmtpRelayServer::~TSmtpRelayServer() {
  // Live sessions (an owner that destroys a busy scheduler) go with it: their
  // components close their handles and drop their pending notices.
  hostSlots_.onRoom = nullptr;
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

void TSmtpRelayServer::setAddressDeadlineMs(std::uint64_t value) {
  checkNotBusy();
  addressDeadlineMs_ = value;
}

void TSmtpRelayServer::setDnsRetryMs(std::uint64_t value) {
  checkNotBusy();
  dnsRetryMs_ = value == 0 ? kDnsRetryMs : value;
}

void TSmtpRelayServer::setUseIpv6(bool value) {
  checkNotBusy();
  useIpv6_ = value;
}

void TSmtpRelayServer::setProxy(ProxySettings value) {
  checkNotBusy();
  proxy_ = std::move(value);
}

void TSmtpRelayServer::setSourceAddresses(std::vector<std::string> value) {
  checkNotBusy();
  sources_ = std::move(value);
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
    const auto periodMs = static_cast<std::uint64_t>(timeOut_) * 1000u;
    checkTimer_.start(periodMs, periodMs, [this] { checkTimeOuts(); });
    activeCount_ = 0;
    dnsServers_ = buildDnsServerList(dns_, systemDnsSources_, internalDns_);
    if (dnsServers_.empty()) throw TSmtpRelayServerException(std::string(kNoDnsServer));

    sessions_.clear();
    freeSlots_.clear();
    retries_.clear();
    parked_.clear();
    roomAt_.clear();
    parkedCount_ = 0;
    connectionsOpened_ = 0;
    runSettings_.signon = signon_;
    runSettings_.from = from_;
    runSettings_.smtpPort = smtpPort_;
    runSettings_.timeOut = timeOut_;
    runSettings_.perConnection = perConnection_;
    runSettings_.greylistDelayMs = greylistDelayMs_;
    runSettings_.dnsServer = dnsServers_.front();
    runSettings_.useIpv6 = useIpv6_;
    runSettings_.proxy = proxy_;
    runSettings_.sourceAddresses = sources_;
    ipv6Usable_ = true;
    runSettings_.deadlineMs =
        addressDeadlineMs_ != 0
            ? addressDeadlineMs_
            : 1000u * std::max<std::uint64_t>(kMinAddressDeadlineS,
                                              3u * static_cast<std::uint64_t>(timeOut_));
    const auto timeOutMs = static_cast<std::uint32_t>(periodMs);
    asker_.reset(
        dnsServers_, dnsRetryMs_,
        timeOutMs > 2 * kDnsGiveUpMarginMs ? timeOutMs - kDnsGiveUpMarginMs : timeOutMs / 2);
    addresses_.reset(useIpv6_);
    resolver_.reset();
    hostSlots_.reset(hostConnections_);
    catchAll_.reset(detectCatchAll_);
    TRecipientSource source = source_;
    if (!source) {
      source = [this, cursor = std::size_t{0}](FeedLine& line) mutable {
        if (cursor >= recipients_.count()) return SourceAnswer::End;
        line = recipients_.lines()[cursor++];
        return SourceAnswer::Address;
      };
    }
    // Read far enough ahead to find a domain's next addresses among a list
    // that mixes many domains, and no further: the window, not the list,
    // takes the memory.
    const std::size_t wanted =
        static_cast<std::size_t>(connections_) * static_cast<std::size_t>(perConnection_) * 4u;
    parkLimit_ = std::clamp<std::size_t>(wanted, 256, 50000);
    feed_.reset(std::move(source), parkLimit_);
    const std::size_t n = std::min(static_cast<std::size_t>(connections_), feed_.available());
    sessions_.reserve(n);
    for (std::size_t i = 0; i < n && !aborted_; ++i) startSession();
    // Nothing to hand out (an empty queue, or a source with nothing yet).
    if (activeCount_ == 0) maybeFinish();
  } catch (...) {
    busy_ = false;
    checkTimer_.stop();
    sessions_.clear();
    throw;
  }
}

void TSmtpRelayServer::AbortRun() {
  aborted_ = true;
  retryTimer_.stop();
  // Addresses waiting without a session are reported first; then every live
  // session reports its own. Look each slot up again: a stopped session
  // empties its slot, and the owner's handlers run inside StopSession.
  while (!retries_.empty()) {
    AddressWork work = std::move(retries_.front().work);
    retries_.pop_front();
    reportAborted(work);
  }
  while (!parked_.empty()) {
    auto it = parked_.begin();
    while (!it->second.empty()) {
      AddressWork work = std::move(it->second.front());
      it->second.pop_front();
      --parkedCount_;
      reportAborted(work);
    }
    parked_.erase(it);
  }
  for (std::size_t i = 0; i < sessions_.size(); ++i) {
    try {
      if (TSmtpThread* session = sessions_[i].get()) session->StopSession(false);
    } catch (...) {
    }
  }
  resolver_.cancelAll();
  addresses_.cancelAll();
  asker_.cancelAll();
  if (activeCount_ == 0) maybeFinish();
}

void TSmtpRelayServer::reportAborted(AddressWork& work) {
  work.log.emplace_back("User Abort");
  Outcome outcome;
  outcome.code = kResultAborted;
  Classification c = classify(outcome);
  report(work.address, {outcome.code, c.verdict, std::move(c.message)}, work.log);
}

void TSmtpRelayServer::sourceReady() {
  if (!busy_ || aborted_) return;
  topUp();
  if (activeCount_ == 0) maybeFinish();
}

void TSmtpRelayServer::checkTimeOuts() {
  const std::uint32_t nowMs = loop_.now();
  for (std::size_t i = 0; i < sessions_.size(); ++i) {
    try {
      TSmtpThread* session = sessions_[i].get();
      if (session == nullptr) continue;
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
  freeSlots_.clear();
  if (OnFinished) OnFinished(*this, aborted_);
  busy_ = false;
}

void TSmtpRelayServer::maybeFinish() {
  if (activeCount_ > 0 || !busy_ || finishTimer_.active()) return;
  if (!aborted_) {
    // Addresses waiting for their second try keep the run alive; the retry
    // timer starts a session for them when they are due.
    if (!retries_.empty()) {
      armRetryTimer();
      return;
    }
    if (parkedCount_ > 0 || !feed_.exhausted()) {
      // Work at hand gets a session; otherwise the run waits for its source.
      if (workAtHand()) postTopUp();
      return;
    }
  }
  busy_ = false;
  finishTimer_.start(kFinishDelayMs, 0, [this] { finishTimerFired(); });
}

void TSmtpRelayServer::startSession() {
  auto session = std::make_unique<TSmtpThread>(static_cast<RunContext&>(*this));
  TSmtpThread* raw = session.get();
  ++activeCount_;
  if (!freeSlots_.empty()) {
    sessions_[freeSlots_.back()] = std::move(session);
    freeSlots_.pop_back();
  } else {
    sessions_.push_back(std::move(session));
  }
  raw->NextRecipient();
}

bool TSmtpRelayServer::workAtHand() {
  if (!retries_.empty() && net::EventLoop::tickDue(loop_.now(), retries_.front().due)) return true;
  if (!roomAt_.empty()) return true;
  return parkedCount_ < parkLimit_ && feed_.runnable();
}

void TSmtpRelayServer::topUp() {
  topUpPosted_ = false;
  while (busy_ && !aborted_ && activeCount_ < connections_ && workAtHand()) {
    const int before = activeCount_;
    startSession();
    // A session that found nothing it could take has ended already.
    if (activeCount_ <= before) break;
  }
}

void TSmtpRelayServer::postTopUp() {
  if (topUpPosted_) return;
  topUpPosted_ = true;
  loop_.post(std::weak_ptr<void>(alive_), [this] {
    topUp();
    if (activeCount_ == 0) maybeFinish();
  });
}

void TSmtpRelayServer::sessionEnded(TSmtpThread& session, int lastRecipientIndex) {
  --activeCount_;
  if (aborted_ && OnAborting) OnAborting(*this, lastRecipientIndex, connections_ - activeCount_);
  for (std::size_t i = 0; i < sessions_.size(); ++i) {
    if (sessions_[i].get() != &session) continue;
    // Destroyed later from the loop: it may be deep inside its own callbacks.
    graveyard_.push_back(std::move(sessions_[i]));
    freeSlots_.push_back(i);
    if (graveyard_.size() == 1) {
      loop_.post(std::weak_ptr<void>(alive_), [this] { graveyard_.clear(); });
    }
    break;
  }
  if (activeCount_ == 0) maybeFinish();
}

// --------------------------------------------------------------- addresses

RunContext::Took TSmtpRelayServer::takeNext(AddressWork& work) {
  work = AddressWork{};
  if (aborted_) return Took::Nothing;
  if (!retries_.empty() && net::EventLoop::tickDue(loop_.now(), retries_.front().due)) {
    work = std::move(retries_.front().work);
    retries_.pop_front();
    armRetryTimer();
    return Took::Retry;
  }
  // An address set aside whose host has room now goes first; its slot is
  // taken for it at once.
  while (!roomAt_.empty()) {
    const auto it = parked_.find(roomAt_.front());
    std::uint64_t generation = 0;
    if (it == parked_.end() || !hostSlots_.tryAcquire(it->first, &generation)) {
      roomAt_.pop_front();
      continue;
    }
    work = std::move(it->second.front());
    work.slotGeneration = generation;
    it->second.pop_front();
    --parkedCount_;
    if (it->second.empty()) {
      parked_.erase(it);
      roomAt_.pop_front();
    }
    return Took::Resumed;
  }
  // Too many addresses set aside: what is read next would only join them.
  if (parkedCount_ >= parkLimit_) return Took::Nothing;
  const auto blockedOn = [this](const std::string& domain) -> const std::string* {
    const MxAnswer* known = resolver_.cached(domain);
    if (known == nullptr || known->hosts.empty() || !hostSlots_.full(known->hosts.front())) {
      return nullptr;
    }
    return &known->hosts.front();
  };
  return feed_.takeNext(work.address, blockedOn) ? Took::Address : Took::Nothing;
}

bool TSmtpRelayServer::takeAlong(const std::string& domain, std::deque<int>& reserved,
                                 TakenAddress& out) {
  if (aborted_) return false;
  return feed_.takeReserved(reserved, out) || feed_.takeAlong(domain, out);
}

void TSmtpRelayServer::reserveAlong(const std::string& domain, int count, std::deque<int>& out) {
  if (aborted_ || count <= 0) return;
  // A full batch while there is work enough for the connections not yet in
  // use; otherwise this connection's share of it, so that a short list still
  // goes out on as many connections as it may.
  const auto unused = static_cast<std::size_t>(std::max(connections_ - activeCount_, 0)) + 1;
  const std::size_t wanted = std::min(static_cast<std::size_t>(count), feed_.available() / unused);
  if (wanted > 0) feed_.reserve(domain, wanted, out);
}

void TSmtpRelayServer::unreserve(const std::string& domain, std::deque<int>& reserved) {
  if (reserved.empty()) return;
  feed_.unreserve(domain, reserved);
  // Sessions that found nothing to do may have ended meanwhile.
  if (busy_ && !aborted_ && activeCount_ < connections_) postTopUp();
}

void TSmtpRelayServer::announce(TakenAddress& address) {
  address.announced = true;
  if (OnGetData) OnGetData(*this, address.index);
  if (onTaken) onTaken(address);
}

void TSmtpRelayServer::giveBack(TakenAddress address) {
  feed_.giveBack(std::move(address));
  // A session that found nothing to do may have ended meanwhile.
  if (busy_ && !aborted_ && activeCount_ < connections_) postTopUp();
}

void TSmtpRelayServer::park(AddressWork work) {
  const std::string host = work.currentHost();
  parked_[host].push_back(std::move(work));
  ++parkedCount_;
}

void TSmtpRelayServer::hostHasRoom(const std::string& host) {
  // The domains left in their queues for this host may be taken again, and
  // the addresses set aside for it go first.
  feed_.unblock(host);
  if (parked_.count(host) > 0) roomAt_.push_back(host);
  if (busy_ && !aborted_ && activeCount_ < connections_) postTopUp();
}

void TSmtpRelayServer::report(const TakenAddress& address, AddressResult result,
                              TransactionLog& log) {
  if (OnEMailProcessed) OnEMailProcessed(*this, address.index, result.code, log);
  if (!onResult) return;
  ValidationResult value;
  value.index = address.index;
  value.tag = address.tag;
  value.given = address.givenText();
  value.checked = address.prepared.status == PreparedAddress::Status::Ready
                      ? address.prepared.address
                      : address.text;
  value.result = std::move(result);
  value.log = std::move(log);
  onResult(value);
}

// --------------------------------------------------------------- greylisting

void TSmtpRelayServer::retryLater(AddressWork work, std::uint64_t delayMs, bool greylisted) {
  const TakenAddress address = work.address;
  const std::uint32_t due = loop_.now() + static_cast<std::uint32_t>(delayMs);
  // In the order they fall due.
  auto at = retries_.end();
  while (at != retries_.begin() && static_cast<std::int32_t>(std::prev(at)->due - due) > 0) --at;
  retries_.insert(at, {std::move(work), due});
  armRetryTimer();
  if (greylisted && onWaiting) onWaiting(address, delayMs);
}

void TSmtpRelayServer::armRetryTimer() {
  if (retries_.empty() || aborted_) {
    retryTimer_.stop();
    return;
  }
  const auto wait = static_cast<std::int32_t>(retries_.front().due - loop_.now());
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
  const std::uint32_t nowMs = loop_.now();
  while (!retries_.empty() && net::EventLoop::tickDue(nowMs, retries_.front().due) &&
         activeCount_ < connections_ && !aborted_) {
    const std::size_t before = retries_.size();
    startSession();
    if (retries_.size() >= before) break;  // the new session took nothing
  }
  armRetryTimer();
}

}  // namespace orvane::engine
