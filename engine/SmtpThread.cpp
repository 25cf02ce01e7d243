#include "engine/SmtpThread.h"

#include <algorithm>
#include <cctype>
#include <random>
#include <string>

#include "engine/AddressResolver.h"
#include "engine/CatchAllRegistry.h"
#include "engine/HostSlots.h"
#include "engine/MxResolver.h"
#include "engine/ResultMessages.h"
#include "net/EventLoop.h"

namespace orvane::engine {

namespace {

constexpr std::size_t kLogCapacity = 100;
// What the client reports when the connection closed while a reply was awaited.
constexpr std::uint16_t kConnectionClosed = 10004;

// A mailbox name nobody has: 20 random letters and digits.
std::string madeUpMailbox() {
  thread_local std::mt19937 generator(std::random_device{}());
  static constexpr char kChars[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::uniform_int_distribution<int> pick(0, 35);
  std::string name = "no-such-user-";
  for (int i = 0; i < 20; ++i) name += kChars[pick(generator)];
  return name;
}

// What DNS said of the address's domain.
DomainDns domainDnsOf(const AddressWork& work) {
  if (work.address.prepared.status != PreparedAddress::Status::Ready) return DomainDns::Unknown;
  switch (work.dns) {
    case DnsOutcome::NoSuchDomain:
      return DomainDns::NoSuchDomain;
    case DnsOutcome::NullMx:
      return DomainDns::NoMailHost;
    case DnsOutcome::Answered:
      if (work.mailHosts.empty()) return DomainDns::Unknown;
      return work.domainItself ? DomainDns::NoMailHost : DomainDns::HasMailHosts;
    default:
      return DomainDns::Unknown;
  }
}

Step stepOf(int rqType) {
  switch (rqType) {
    case SmtpDialogue::kOpen:
      return Step::Connect;
    case SmtpDialogue::kMailFrom:
      return Step::MailFrom;
    case SmtpDialogue::kRcptTo:
      return Step::RcptTo;
    default:
      return Step::Closing;
  }
}

bool definite(std::uint16_t error) {
  return error == 0 || (error >= 500 && error <= 599);
}

}  // namespace

TSmtpThread::TSmtpThread(RunContext& run) : run_(run), dialogue_(run.loop(), run.runSettings()) {
  work_.log.reserve(kLogCapacity);
  lastActivity_ = run_.loop().now();
  dialogue_.onDone = [this](int rqType, std::uint16_t error) { requestDone(rqType, error); };
  dialogue_.onActivity = [this] { touch(); };
}

TSmtpThread::~TSmtpThread() {
  cancelWaits();
}

void TSmtpThread::touch() {
  lastActivity_ = run_.loop().now();
}

bool TSmtpThread::pastDeadline(std::uint32_t now) const noexcept {
  return inHand_ && net::EventLoop::tickDue(now, work_.deadline);
}

void TSmtpThread::cancelWaits() {
  if (dnsTicket_ != 0) run_.resolver().cancel(dnsTicket_);
  if (addressTicket_ != 0) run_.addressResolver().cancel(addressTicket_);
  addressTicket_ = 0;
  if (catchAllTicket_ != 0) run_.catchAll().cancel(catchAllTicket_);
  dnsTicket_ = 0;
  catchAllTicket_ = 0;
}

// ------------------------------------------------------------------ results

Outcome TSmtpThread::outcomeOf(const AddressWork& work, std::int32_t code) const {
  Outcome outcome;
  outcome.code = code;
  outcome.step = work.step;
  outcome.reply = work.last.reply;
  outcome.proxy = work.last.proxy;
  outcome.dns = work.dns;
  outcome.dnsCode = work.dnsCode;
  outcome.dnsServer = work.dnsServer;
  outcome.detail = work.detail;
  outcome.catchAll = code == kResultValid && run_.catchAll().isCatchAll(work.domain);
  return outcome;
}

void TSmtpThread::Report(std::int32_t code) {
  if (!inHand_) return;
  releaseHost();
  giveUpReserved();
  cancelWaits();
  if (probing_) {
    // The probe can no longer answer; others must not wait for it.
    probing_ = false;
    run_.catchAll().resolved(work_.domain, CatchAllRegistry::State::Undetermined);
  }
  inHand_ = false;
  phase_ = Phase::Idle;
  AddressWork done = std::move(work_);
  work_ = AddressWork{};
  // A 4xx to RCPT TO is tried once more later (greylisting), unless the run
  // is being stopped.
  const RunSettings& settings = run_.runSettings();
  if (code >= 400 && code <= 499 && done.step == Step::RcptTo && !done.retried &&
      settings.greylistDelayMs > 0 && !run_.stopping()) {
    done.log.push_back("Refused for now (" + std::to_string(code) + "): trying again in " +
                       std::to_string((settings.greylistDelayMs + 999) / 1000) + " s");
    AddressWork retry = done;
    retry.retried = true;
    run_.retryLater(std::move(retry), settings.greylistDelayMs, true);
  } else {
    Classification c = classify(outcomeOf(done, code));
    run_.report(done.address, {code, c.verdict, std::move(c.message), c.ourSide, domainDnsOf(done)},
                done.log);
  }
  settleAlong(code == kResultAborted, done);
}

void TSmtpThread::settleAlong(bool stopped, const AddressWork& primary) {
  std::vector<Along> items = std::move(along_);
  along_.clear();
  alongIndex_ = -1;
  for (Along& item : items) {
    if (stopped) {
      item.log.emplace_back("User Abort");
      Outcome outcome;
      outcome.code = kResultAborted;
      Classification c = classify(outcome);
      run_.report(item.address, {outcome.code, c.verdict, std::move(c.message)}, item.log);
    } else if (item.answered) {
      AddressWork answered;
      answered.domain = primary.domain;
      answered.step = Step::RcptTo;
      answered.last = item.answer;
      answered.dns = primary.dns;
      answered.dnsServer = primary.dnsServer;
      Classification c = classify(outcomeOf(answered, item.answer.code));
      run_.report(
          item.address,
          {item.answer.code, c.verdict, std::move(c.message), c.ourSide, DomainDns::HasMailHosts},
          item.log);
    } else {
      // Never answered (the connection broke, a 4xx): it gets a dialogue of
      // its own later.
      run_.giveBack(std::move(item.address));
    }
  }
}

void TSmtpThread::reportAttempt(const Attempt& attempt) {
  work_.step = attempt.step;
  work_.last = attempt;
  Report(attempt.code);
}

void TSmtpThread::reportAccepted() {
  const auto* state = run_.catchAll().stateOf(work_.domain);
  if (state != nullptr && *state == CatchAllRegistry::State::Probing) {
    // Another session asks the host about a made-up address right now; its
    // answer decides whether this acceptance means anything.
    phase_ = Phase::WaitingCatchAll;
    catchAllTicket_ = run_.catchAll().wait(work_.domain, [this] {
      catchAllTicket_ = 0;
      catchAllKnown();
    });
    return;
  }
  Report(kResultValid);
  NextRecipient();
}

void TSmtpThread::catchAllKnown() {
  if (phase_ != Phase::WaitingCatchAll) return;
  touch();
  Report(kResultValid);
  NextRecipient();
}

// ------------------------------------------------------------------ addresses

void TSmtpThread::NextRecipient() {
  // A loop rather than recursion: addresses that end at once (not an address,
  // a known domain without mail hosts) must not deepen the stack.
  while (phase_ != Phase::Released) {
    along_.clear();
    alongIndex_ = -1;
    phase_ = Phase::Idle;
    const RunContext::Took took = run_.takeNext(work_);
    if (took == RunContext::Took::Nothing) {
      ReleaseSession();
      return;
    }
    inHand_ = true;
    lastIndex_ = work_.address.index;
    touch();
    const std::uint32_t now = run_.loop().now();
    if (took == RunContext::Took::Resumed) {
      // The slot at its host is held for it; waiting for a full host does not
      // count against the address.
      heldHost_ = work_.currentHost();
      work_.deadline += now - work_.parkedSince;
      dialogue_.abort();
      if (openConnection()) return;
      continue;
    }
    if (took == RunContext::Took::Retry) work_.log.emplace_back("Trying again");
    if (took == RunContext::Took::Retry && work_.throttled) {
      // Its time has been running since it was first taken.
      if (net::EventLoop::tickDue(now, work_.deadline)) {
        reportAttempt(work_.last);
        continue;
      }
    } else {
      work_.heldSince = now;
      work_.deadline = now + static_cast<std::uint32_t>(run_.runSettings().deadlineMs);
    }
    if (!work_.address.announced) run_.announce(work_.address);
    // The handler may have stopped this session (an abort from the owner).
    if (phase_ == Phase::Released || !inHand_) return;
    if (run_.stopping()) {
      work_.log.emplace_back("User Abort");
      Report(kResultAborted);
      ReleaseSession();
      return;
    }
    if (!prepareForTraffic()) continue;
    if (startLookup()) return;
  }
}

bool TSmtpThread::prepareForTraffic() {
  const PreparedAddress& prepared = work_.address.prepared;
  switch (prepared.status) {
    case PreparedAddress::Status::NotAddress:
      work_.step = Step::Syntax;
      work_.detail = prepared.reason;
      work_.log.push_back(std::string(kNotAnAddressPrefix) + ": " + prepared.reason);
      Report(kResultNoMailHost);
      return false;
    case PreparedAddress::Status::NotSendable:
      work_.step = Step::Syntax;
      work_.detail = prepared.reason;
      work_.log.push_back("Not checked: " + prepared.reason);
      Report(kResultNotChecked);
      return false;
    case PreparedAddress::Status::Ready:
      break;
  }
  work_.domain = prepared.domain;
  giveUpReserved();
  reservedDomain_ = work_.domain;
  run_.reserveAlong(reservedDomain_, run_.runSettings().perConnection - 1, reserved_);
  return true;
}

// ------------------------------------------------------------------ SMTP

bool TSmtpThread::started(bool ok, std::int32_t failCode) {
  if (ok) return true;
  Report(failCode);
  NextRecipient();
  return false;
}

Attempt TSmtpThread::attemptOf(int rqType, std::uint16_t error) const {
  const std::string& reply = dialogue_.lastResponse();
  if (error != 0 && dialogue_.proxyFailure()) return {error, Step::Connect, reply, true};
  // A greeting other than 220 ends the opening as a closed connection; the
  // greeting's own code says what happened.
  if (rqType == SmtpDialogue::kOpen && error == kConnectionClosed && reply.size() >= 3 &&
      (reply[0] == '4' || reply[0] == '5') && std::isdigit(static_cast<unsigned char>(reply[1])) &&
      std::isdigit(static_cast<unsigned char>(reply[2]))) {
    return {static_cast<std::int32_t>(std::stoi(reply.substr(0, 3))), Step::Connect, reply};
  }
  return {error, stepOf(rqType), error >= 400 && error <= 599 ? reply : ""};
}

void TSmtpThread::requestDone(int rqType, std::uint16_t error) {
  if (phase_ != Phase::Dialogue) return;
  touch();
  if (probing_ && rqType == SmtpDialogue::kRcptTo) {
    probeDone(error);
    return;
  }
  if (alongIndex_ >= 0 && rqType == SmtpDialogue::kRcptTo) {
    alongDone(error);
    return;
  }
  if (rqType == SmtpDialogue::kRcptTo) primaryAnswered_ = definite(error);
  if (error != 0 && primaryAnswered_ && rqType != SmtpDialogue::kRcptTo && !along_.empty()) {
    // The address has its answer; what the closing steps meet does not
    // change it when other addresses rode along (their answers are final
    // too). Alone, the address keeps the classic rule below.
    endConnectionAnswered();
    return;
  }
  work_.last = attemptOf(rqType, error);
  const bool aborted = run_.stopping();
  if (rqType == SmtpDialogue::kOpen && !aborted && connectFailed(error) && nextAddress(error))
    return;
  if (rqType == SmtpDialogue::kOpen && error == 0) run_.hostSlots().greetingCame(heldHost_);
  if (!aborted && throttledBy(rqType, static_cast<std::uint16_t>(work_.last.code))) {
    throttled();
    return;
  }
  if (error != 0) {
    if (work_.first.code == 0) {
      work_.first = work_.last;
      // A definite refusal of the recipient is the address's verdict; other
      // hosts of the domain (often backups that accept anything) are not
      // asked.
      if (rqType == SmtpDialogue::kRcptTo && error >= 500 && error <= 599) {
        work_.rcptRefused = true;
        if (!aborted) {
          askNextAlong();
          return;
        }
      }
      quitOrNextHost();
    } else if (aborted) {
      Report(kResultAborted);
      NextRecipient();
    } else {
      nextHost();
    }
    return;
  }
  switch (rqType) {
    case SmtpDialogue::kOpen:
      if (aborted) {
        quitOrNextHost();
      } else {
        work_.step = Step::MailFrom;
        started(dialogue_.mailFrom(), kResultMailFromFailed);
      }
      break;
    case SmtpDialogue::kMailFrom:
      if (aborted) {
        quitOrNextHost();
      } else {
        // Everything so far is what every address of this connection shares.
        sharedLines_ = work_.log.size();
        work_.step = Step::RcptTo;
        started(dialogue_.rcptTo(work_.address.prepared.address), kResultRcptFailed);
      }
      break;
    case SmtpDialogue::kRcptTo:
      work_.step = Step::Closing;
      if (!aborted && run_.catchAll().claimProbe(work_.domain)) {
        // The first accepted address of this domain: does the host take an
        // address that cannot exist, too?
        work_.log.push_back("Checking whether the domain accepts any address");
        probing_ = true;
        started(dialogue_.rcptTo(madeUpMailbox() + "@" + work_.domain), kResultRcptFailed);
        return;
      }
      if (aborted) {
        quitOrNextHost();
      } else {
        askNextAlong();
      }
      break;
    case SmtpDialogue::kRset:
      started(dialogue_.quit(), kResultQuitFailed);
      break;
    case SmtpDialogue::kQuit:
      if (aborted) {
        Report(kResultAborted);
        NextRecipient();
      } else if (work_.first.code == 0) {
        reportAccepted();
      } else {
        work_.last = work_.first;
        nextHost();
      }
      break;
    default:
      break;
  }
}

void TSmtpThread::probeDone(std::uint16_t error) {
  probing_ = false;
  const auto state = error == 0                     ? CatchAllRegistry::State::Yes
                     : error >= 500 && error <= 599 ? CatchAllRegistry::State::No
                                                    : CatchAllRegistry::State::Undetermined;
  run_.catchAll().resolved(work_.domain, state);
  // Whatever the probe met, the address itself was accepted.
  if (dialogue_.connected()) {
    askNextAlong();
    return;
  }
  dialogue_.abort();
  reportAccepted();
}

void TSmtpThread::askNextAlong() {
  const bool room =
      static_cast<int>(along_.size()) + 1 < run_.runSettings().perConnection && !alongClosed_;
  if (room && !run_.stopping() && dialogue_.connected() &&
      rejectionsInARow_ < kMaxRejectionsInARow) {
    TakenAddress next;
    if (run_.takeAlong(work_.domain, reserved_, next)) {
      Along item;
      item.address = std::move(next);
      item.log.assign(work_.log.begin(), work_.log.begin() + static_cast<std::ptrdiff_t>(std::min(
                                                                 sharedLines_, work_.log.size())));
      along_.push_back(std::move(item));
      const int index = static_cast<int>(along_.size()) - 1;
      if (!along_.back().address.announced) run_.announce(along_.back().address);
      // The handler may have stopped this session (an abort from the owner).
      if (phase_ != Phase::Dialogue || !inHand_) return;
      alongIndex_ = index;
      dialogue_.logTo(&along_.back().log);
      started(dialogue_.rcptTo(along_.back().address.prepared.address), kResultRcptFailed);
      return;
    }
  }
  alongIndex_ = -1;
  dialogue_.logTo(&work_.log);
  giveUpReserved();
  quitOrNextHost();
}

void TSmtpThread::alongDone(std::uint16_t error) {
  Along& item = along_[static_cast<std::size_t>(alongIndex_)];
  alongIndex_ = -1;
  dialogue_.logTo(&work_.log);
  if (definite(error)) {
    item.answered = true;
    item.answer = {error, Step::RcptTo, error == 0 ? std::string() : dialogue_.lastResponse()};
    rejectionsInARow_ = error == 0 ? 0 : rejectionsInARow_ + 1;
    askNextAlong();
    return;
  }
  // A 4xx, a 421 or a broken connection: this address gets a dialogue of its
  // own later, and this connection takes no more.
  alongClosed_ = true;
  giveUpReserved();
  if (dialogue_.connected() && error < 10000 && error != 421) {
    quitOrNextHost();
    return;
  }
  endConnectionAnswered();
}

void TSmtpThread::endConnectionAnswered() {
  dialogue_.abort();
  if (work_.first.code == 0) {
    reportAccepted();
  } else {
    nextHost();
  }
}

void TSmtpThread::quitOrNextHost() {
  if (dialogue_.connected()) {
    if (!dialogue_.rset()) started(dialogue_.quit(), kResultQuitFailed);
    return;
  }
  nextHost();
}

void TSmtpThread::nextHost() {
  dialogue_.abort();
  if (work_.rcptRefused) {
    // The recipient was refused: that reply is the result.
    reportAttempt(work_.first);
    NextRecipient();
    return;
  }
  ++work_.hostIndex;
  if (work_.hostIndex < work_.mailHosts.size()) {
    if (!lookUpHost()) NextRecipient();
  } else {
    reportAttempt(work_.last);
    NextRecipient();
  }
}

void TSmtpThread::StopSession(bool timedOut) {
  if (phase_ == Phase::Released) return;
  if (!inHand_) {
    // Nothing to report (between addresses): an abort still ends the session.
    if (!timedOut) ReleaseSession();
    return;
  }
  const Phase was = phase_;
  cancelWaits();
  phase_ = Phase::Idle;
  alongIndex_ = -1;
  // Silence before the greeting (or HELO's reply) came: twice in a row, and
  // the host is slow.
  if (timedOut && was == Phase::Dialogue && work_.step == Step::Connect && !heldHost_.empty()) {
    run_.hostSlots().greetingTimedOut(heldHost_);
  }
  dialogue_.abort();
  dialogue_.logTo(&work_.log);
  if (!timedOut) {
    work_.log.emplace_back("User Abort");
    Report(kResultAborted);
    ReleaseSession();
    return;
  }
  if (was == Phase::WaitingCatchAll || (primaryAnswered_ && work_.first.code == 0)) {
    // The address was accepted; only the catch-all answer or the goodbye is
    // missing.
    Report(kResultValid);
  } else if (primaryAnswered_ && work_.rcptRefused) {
    reportAttempt(work_.first);
  } else {
    if (was == Phase::WaitingDns) {
      work_.log.push_back("DNS server \"" + run_.runSettings().dnsServer + "\" did not answer");
      work_.dns = DnsOutcome::NoAnswer;
      work_.dnsServer = run_.runSettings().dnsServer;
      work_.step = Step::Dns;
    } else if (net::EventLoop::tickDue(run_.loop().now(), work_.deadline)) {
      work_.log.emplace_back("The servers kept this address too long");
    } else {
      work_.log.emplace_back("Connection time-out");
    }
    Report(kResultTimeOut);
  }
  NextRecipient();
}

void TSmtpThread::ReleaseSession() {
  if (phase_ == Phase::Released) return;
  cancelWaits();
  releaseHost();
  giveUpReserved();
  dialogue_.abort();
  phase_ = Phase::Released;
  inHand_ = false;
  run_.sessionEnded(*this, lastIndex_);
}

}  // namespace orvane::engine
