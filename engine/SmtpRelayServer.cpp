#include "engine/SmtpRelayServer.h"

#include "core/Text.h"
#include "engine/DnsServerList.h"
#include "engine/SmtpThread.h"

namespace orvane::engine {

TSmtpRelayServer::TSmtpRelayServer(net::EventLoop& loop)
    : loop_(loop),
      systemDnsSources_(DefaultSystemDnsSources()),
      checkTimer_(loop),
      finishTimer_(loop) {}

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
    const std::size_t n = std::min(static_cast<std::size_t>(connections_), recipients_.Count());
    sessions_.reserve(n);
    if (n == 0) {
      // Nothing to hand out: the run ends at once, reported from the loop.
      busy_ = false;
      finishTimer_.start(kFinishDelayMs, 0, [this] { FinishTimerFired(); });
      return;
    }
    for (std::size_t i = 0; i < n; ++i) {
      sessions_.push_back(std::make_unique<TSmtpThread>(*this));
      TSmtpThread* session = sessions_.back().get();
      session->NextRecipient();
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
  if (activeCount_ == 0) {
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
