#include "engine/SmtpThread.h"

#include <algorithm>
#include <exception>
#include <random>

#include "engine/DnsServerList.h"
#include "engine/ResultMessages.h"
#include "engine/SmtpRelayServer.h"
#include "net/DnsQuery.h"
#include "net/SmtpCli.h"

namespace orvane::engine {

namespace {

constexpr int kMxType = 15;
constexpr std::size_t kLogCapacity = 100;
constexpr int kDnsRcodeServerFailure = 2;
constexpr int kDnsRcodeRefused = 5;
// A query gives up this long before the silence time-out would stop the
// session, so that its own, clearer result is the one reported.
constexpr std::uint32_t kDnsGiveUpMarginMs = 500;
constexpr std::uint32_t kMinAddressDeadlineS = 60;

// Request types as the client reports them.
constexpr int kRqConnect = 0;
constexpr int kRqMailFrom = 2;
constexpr int kRqRcptTo = 4;
constexpr int kRqQuit = 6;
constexpr int kRqRset = 7;

// A mailbox name nobody has: 20 random letters and digits.
std::string madeUpMailbox() {
  thread_local std::mt19937 generator(std::random_device{}());
  static constexpr char kChars[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::uniform_int_distribution<int> pick(0, 35);
  std::string name = "no-such-user-";
  for (int i = 0; i < 20; ++i) name += kChars[pick(generator)];
  return name;
}

Step stepOf(int rqType) {
  switch (rqType) {
    case kRqConnect:
      return Step::Connect;
    case kRqMailFrom:
      return Step::MailFrom;
    case kRqRcptTo:
      return Step::RcptTo;
    default:
      return Step::Closing;
  }
}

}  // namespace

TSmtpThread::TSmtpThread(TSmtpRelayServer& server)
    : server_(server),
      dns_(std::make_unique<net::TDnsQuery>(server.Loop())),
      client_(std::make_unique<net::TSmtpCli>(server.Loop())),
      resend_(server.Loop()) {
  log_.reserve(kLogCapacity);
  lastActivity_ = server_.now();
  ++server_.activeCount_;
  client_->OnRequestDone = [this](net::TSmtpCli&, net::TSmtpRequest rqType, std::uint16_t error) {
    clientRequestDone(static_cast<int>(rqType), error);
  };
  client_->OnCommand = [this](net::TSmtpCli&, const std::string& msg) { clientCommand(msg); };
  client_->OnResponse = [this](net::TSmtpCli&, const std::string& msg) { clientResponse(msg); };
  dns_->OnRequestDone = [this](net::TDnsQuery&, std::uint16_t error) { lookupDone(error); };
  client_->setSignOn(server_.Signon());
  client_->setFromName(server_.From());
  client_->setPort(server_.smtpPort());
}

TSmtpThread::~TSmtpThread() {
  // The components drop their pending notices when they are destroyed; make
  // sure none of them calls back into a half-destroyed session meanwhile.
  if (client_) {
    client_->OnRequestDone = nullptr;
    client_->OnCommand = nullptr;
    client_->OnResponse = nullptr;
  }
  if (dns_) dns_->OnRequestDone = nullptr;
}

void TSmtpThread::touch() {
  lastActivity_ = server_.now();
}

bool TSmtpThread::pastDeadline(std::uint32_t now) const noexcept {
  return inHand_ && phase_ != Phase::WaitingHost && net::EventLoop::tickDue(now, addressDeadline_);
}

TransactionLog& TSmtpThread::currentLog() {
  return alongIndex_ >= 0 ? along_[static_cast<std::size_t>(alongIndex_)].log : log_;
}

// ------------------------------------------------------------------ results

void TSmtpThread::Report(std::int32_t code) {
  if (!inHand_) return;
  resend_.stop();
  releaseHost();
  if (probing_) {
    // The probe can no longer answer; others must not wait for it.
    probing_ = false;
    server_.catchAllResolved(domain_, TSmtpRelayServer::CatchAll::Undetermined);
  }
  if (asking_) {
    // Sessions waiting for this session's MX query learn that it ended.
    asking_ = false;
    MxAnswer none;
    none.outcome = DnsOutcome::NoAnswer;
    none.server = dnsServer_;
    server_.mxResolved(domain_, std::move(none));
  }
  Outcome outcome;
  outcome.code = code;
  outcome.step = step_;
  outcome.reply = last_.reply;
  outcome.dns = dnsOutcome_;
  outcome.dnsCode = dnsCode_;
  outcome.dnsServer = dnsServer_;
  outcome.detail = detail_;
  if (code == kResultValid) {
    const auto* state = server_.catchAllOf(domain_);
    outcome.catchAll = state != nullptr && *state == TSmtpRelayServer::CatchAll::Yes;
  }
  inHand_ = false;
  phase_ = Phase::Idle;
  // A 4xx to RCPT TO is tried once more later (greylisting), unless the run
  // is being stopped.
  if (code >= 400 && code <= 499 && step_ == Step::RcptTo && !retried_ &&
      server_.greylistDelayMs() > 0 && !server_.aborted_) {
    log_.push_back("Refused for now (" + std::to_string(code) + "): trying again in " +
                   std::to_string((server_.greylistDelayMs() + 999) / 1000) + " s");
    server_.queueRetry({current_, log_, 0});
  } else {
    Classification c = classify(outcome);
    server_.reported(current_, {code, c.verdict, std::move(c.message)}, log_);
  }
  settleAlong(code == kResultAborted);
}

void TSmtpThread::settleAlong(bool stopped) {
  std::vector<Along> items = std::move(along_);
  along_.clear();
  alongIndex_ = -1;
  for (Along& item : items) {
    if (stopped) {
      item.log.emplace_back("User Abort");
      Outcome outcome;
      outcome.code = kResultAborted;
      Classification c = classify(outcome);
      server_.reported(item.address, {outcome.code, c.verdict, std::move(c.message)}, item.log);
    } else if (item.answered) {
      Outcome outcome;
      outcome.code = item.answer.code;
      outcome.step = Step::RcptTo;
      outcome.reply = item.answer.reply;
      outcome.dns = dnsOutcome_;
      outcome.dnsServer = dnsServer_;
      if (outcome.code == kResultValid) {
        const auto* state = server_.catchAllOf(domain_);
        outcome.catchAll = state != nullptr && *state == TSmtpRelayServer::CatchAll::Yes;
      }
      Classification c = classify(outcome);
      server_.reported(item.address, {outcome.code, c.verdict, std::move(c.message)}, item.log);
    } else {
      // Never answered (the connection broke, a 4xx): it gets a dialogue of
      // its own later.
      server_.giveBack(std::move(item.address));
    }
  }
}

void TSmtpThread::reportAttempt(const Attempt& attempt) {
  step_ = attempt.step;
  last_ = attempt;
  Report(attempt.code);
}

void TSmtpThread::reportAccepted() {
  const auto* state = server_.catchAllOf(domain_);
  if (state != nullptr && *state == TSmtpRelayServer::CatchAll::Probing) {
    // Another session asks the host about a made-up address right now; its
    // answer decides whether this acceptance means anything.
    phase_ = Phase::WaitingCatchAll;
    server_.waitForCatchAll(domain_, this);
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
    log_.clear();
    along_.clear();
    alongIndex_ = -1;
    phase_ = Phase::Idle;
    step_ = Step::Syntax;
    dnsOutcome_ = DnsOutcome::Answered;
    dnsCode_ = 0;
    dnsServer_.clear();
    detail_.clear();
    last_ = Attempt{};
    first_ = Attempt{};
    TransactionLog kept;
    bool fresh = false;
    const TSmtpRelayServer::Took took = server_.takeNext(current_, kept, fresh);
    if (took == TSmtpRelayServer::Took::Nothing) {
      ReleaseSession();
      return;
    }
    retried_ = took == TSmtpRelayServer::Took::Retry;
    if (retried_) {
      log_ = std::move(kept);
      log_.emplace_back("Trying again");
    }
    inHand_ = true;
    heldSince_ = server_.now();
    const std::uint64_t deadlineMs =
        server_.addressDeadlineMs() != 0
            ? server_.addressDeadlineMs()
            : 1000u * std::max<std::uint32_t>(kMinAddressDeadlineS,
                                              3u * static_cast<std::uint32_t>(server_.TimeOut()));
    addressDeadline_ = heldSince_ + static_cast<std::uint32_t>(deadlineMs);
    touch();
    if (fresh) server_.announce(current_.index);
    // The handler may have stopped this session (an abort from the owner).
    if (phase_ == Phase::Released || !inHand_) return;
    if (server_.aborted_) {
      log_.emplace_back("User Abort");
      Report(kResultAborted);
      ReleaseSession();
      return;
    }
    if (!prepareForTraffic()) continue;
    if (startLookup()) return;
  }
}

bool TSmtpThread::prepareForTraffic() {
  const PreparedAddress& prepared = current_.prepared;
  switch (prepared.status) {
    case PreparedAddress::Status::NotAddress:
      step_ = Step::Syntax;
      detail_ = prepared.reason;
      log_.push_back(std::string(kNotAnAddressPrefix) + ": " + prepared.reason);
      Report(kResultNoMailHost);
      return false;
    case PreparedAddress::Status::NotSendable:
      step_ = Step::Syntax;
      detail_ = prepared.reason;
      log_.push_back("Not checked: " + prepared.reason);
      Report(kResultNotChecked);
      return false;
    case PreparedAddress::Status::Ready:
      break;
  }
  domain_ = prepared.domain;
  return true;
}

// ------------------------------------------------------------------ DNS

bool TSmtpThread::startLookup() {
  step_ = Step::Dns;
  log_.push_back("Requesting SMTP servers for this domain (" + domain_ + ")");
  const MxAnswer* known = nullptr;
  bool ask = false;
  if (server_.mxLookup(domain_, this, known, ask)) {
    log_.emplace_back("Mail hosts known from an earlier answer");
    return useAnswerInPlace(*known);  // copied out before anything can change the cache
  }
  phase_ = Phase::WaitingDns;
  if (!ask) return true;  // another session's query is under way
  asking_ = true;
  dnsServerIndex_ = 0;
  resendAfterMs_ = server_.dnsRetryMs();
  const std::uint32_t timeOutMs = 1000u * static_cast<std::uint32_t>(server_.TimeOut());
  dnsDeadline_ =
      server_.now() +
      (timeOutMs > 2 * kDnsGiveUpMarginMs ? timeOutMs - kDnsGiveUpMarginMs : timeOutMs / 2);
  if (sendQuery()) return true;
  // The query could not go out: every session waiting for it learns so.
  asking_ = false;
  MxAnswer failed;
  failed.outcome = DnsOutcome::NotSent;
  failed.server = dnsServer_;
  failed.lines = {"DNS request not sent: " + detail_};
  server_.mxResolved(domain_, failed);
  dnsOutcome_ = DnsOutcome::NotSent;
  log_.push_back(failed.lines.front());
  Report(kResultNoMailHost);
  return false;
}

bool TSmtpThread::sendQuery() {
  const auto& servers = server_.dnsServers_;
  dnsServer_ = servers[dnsServerIndex_ % servers.size()];
  const DnsServerAddress dnsAddress = parseDnsServerEntry(dnsServer_);
  log_.push_back("Trying DNS Server \"" + dnsServer_ + "\"");
  log_.emplace_back("Sending DNS Request");
  try {
    dns_->setAddr(dnsAddress.host);
    dns_->setPort(dnsAddress.port);
    dns_->MXLookup(domain_);
    ++server_.dnsQueries_;
  } catch (const std::exception& e) {
    detail_ = e.what();
    return false;
  }
  const auto left = static_cast<std::int32_t>(dnsDeadline_ - server_.now());
  const std::uint64_t wait =
      std::min<std::uint64_t>(resendAfterMs_, left > 0 ? static_cast<std::uint64_t>(left) : 0);
  resend_.start(wait, 0, [this] { resendQuery(); });
  return true;
}

void TSmtpThread::resendQuery() {
  if (phase_ != Phase::WaitingDns || !asking_) return;
  touch();
  log_.push_back("No answer from DNS Server \"" + dnsServer_ + "\"");
  if (net::EventLoop::tickDue(server_.now(), dnsDeadline_)) {
    log_.push_back("DNS server \"" + dnsServer_ + "\" did not answer");
    dnsOutcome_ = DnsOutcome::NoAnswer;
    Report(kResultNoMailHost);  // tells the waiting sessions too
    NextRecipient();
    return;
  }
  // A fresh query (new ID, new source port), to the other server when there
  // are two, after twice the wait.
  const std::size_t servers = std::min<std::size_t>(2, server_.dnsServers_.size());
  dnsServerIndex_ = (dnsServerIndex_ + 1) % servers;
  resendAfterMs_ *= 2;
  if (sendQuery()) return;
  dnsOutcome_ = DnsOutcome::NotSent;
  log_.push_back("DNS request not sent: " + detail_);
  Report(kResultNoMailHost);
  NextRecipient();
}

void TSmtpThread::lookupDone(std::uint16_t error) {
  if (phase_ != Phase::WaitingDns || !asking_) return;
  resend_.stop();
  asking_ = false;
  touch();
  MxAnswer answer;
  answer.server = dnsServer_;
  const int rcode = error == 0 ? dns_->ResponseCode() : 0;
  if (error != 0) {
    answer.lines.push_back("DNS Search error :" + std::to_string(error));
    answer.outcome =
        error == net::kDnsErrorMalformedAnswer ? DnsOutcome::Malformed : DnsOutcome::Unreachable;
    answer.code = error;
  } else if (rcode == net::kDnsRcodeNameError) {
    // The domain does not exist, so it has no implicit mail host either:
    // trying its name as a host would only ask the system resolver again.
    answer.lines.push_back("No such domain (" + domain_ + ")");
    answer.outcome = DnsOutcome::NoSuchDomain;
    answer.ttlSeconds = TSmtpRelayServer::kNoSuchDomainSeconds;
  } else if (rcode != 0) {
    // The server could not or would not answer: nothing is known about the
    // domain, and its name must not be taken for a mail host.
    answer.outcome = rcode == kDnsRcodeServerFailure ? DnsOutcome::ServerFailure
                     : rcode == kDnsRcodeRefused     ? DnsOutcome::ServerRefused
                                                     : DnsOutcome::OtherError;
    answer.code = rcode;
    answer.lines.push_back("The DNS server answered with error code " + std::to_string(rcode));
  } else if (dns_->ResponseANCount() == 0) {
    answer.lines.push_back("No SMTP Relays found. Trying \"" + domain_ + "\"");
    answer.hosts.push_back(domain_);
    answer.ttlSeconds = TSmtpRelayServer::kNoSuchDomainSeconds;
  } else {
    const int n = dns_->ResponseANCount();
    struct Mx {
      int preference;
      std::string host;
    };
    std::vector<Mx> found;
    std::uint32_t ttl = TSmtpRelayServer::kMaxMxSeconds;
    for (int i = 0; i < n; ++i) {
      const int tag = dns_->AnswerTag(i);
      if (tag >= 0 && dns_->AnswerType(i) == kMxType) {
        found.push_back({dns_->MXPreference(tag), dns_->MXExchange(tag)});
        ttl = std::min(ttl, dns_->AnswerTTL(i));
      }
    }
    // Most preferred (lowest value) first; equal preferences keep answer order.
    std::stable_sort(found.begin(), found.end(),
                     [](const Mx& a, const Mx& b) { return a.preference < b.preference; });
    std::string line =
        std::to_string(n) + (n == 1 ? " SMTP Relay found: " : " SMTP Relays found: ");
    bool nullMx = false;
    for (const auto& mx : found) {
      line += mx.host;
      line += ' ';
      if (mx.host.empty()) {
        nullMx = true;
      } else {
        answer.hosts.push_back(mx.host);
      }
    }
    answer.lines.push_back(std::move(line));
    answer.ttlSeconds = found.empty() ? 0 : ttl;
    if (nullMx) {
      // The domain declares that it accepts no mail.
      answer.lines.emplace_back("This domain accepts no mail (null MX)");
      answer.outcome = DnsOutcome::NullMx;
      answer.hosts.clear();
    }
  }
  server_.mxResolved(domain_, answer);
  if (!useAnswerInPlace(answer)) NextRecipient();
}

void TSmtpThread::mxKnown(const MxAnswer& answer) {
  if (phase_ != Phase::WaitingDns || asking_) return;
  touch();
  if (!useAnswerInPlace(answer)) NextRecipient();
}

bool TSmtpThread::useAnswerInPlace(const MxAnswer& answer) {
  for (const auto& line : answer.lines) log_.push_back(line);
  dnsOutcome_ = answer.outcome;
  dnsCode_ = answer.code;
  dnsServer_ = answer.server;
  mailHosts_ = answer.hosts;
  return hostsReady();
}

// ------------------------------------------------------------------ SMTP

bool TSmtpThread::hostsReady() {
  if (server_.aborted_) {
    // Only reachable when the abort has not stopped this session yet; the
    // address in hand is still reported.
    log_.emplace_back("User Abort");
    Report(kResultAborted);
    ReleaseSession();
    return true;
  }
  if (mailHosts_.empty()) {
    Report(kResultNoMailHost);
    return false;
  }
  hostIndex_ = 0;
  rcptRefused_ = false;
  return connectToHost();
}

bool TSmtpThread::connectToHost() {
  last_ = Attempt{};
  first_ = Attempt{};
  trafficLogging_ = true;
  step_ = Step::Connect;
  alongClosed_ = false;
  rejectionsInARow_ = 0;
  primaryAnswered_ = false;
  abortClient();
  releaseHost();
  const std::string& host = mailHosts_[hostIndex_];
  if (!server_.acquireHost(host, this)) {
    // The host has as many connections as it may have: wait for a slot.
    phase_ = Phase::WaitingHost;
    waitingSince_ = server_.now();
    return true;
  }
  heldHost_ = host;
  return openConnection();
}

void TSmtpThread::hostFree() {
  if (phase_ != Phase::WaitingHost || !inHand_) {
    // Granted too late: pass the slot on.
    server_.releaseHost(mailHosts_.empty() ? std::string() : mailHosts_[hostIndex_]);
    return;
  }
  // The time spent waiting for the slot does not count against the address.
  addressDeadline_ += server_.now() - waitingSince_;
  touch();
  heldHost_ = mailHosts_[hostIndex_];
  if (!openConnection()) NextRecipient();
}

bool TSmtpThread::openConnection() {
  phase_ = Phase::Dialogue;
  try {
    client_->setHost(mailHosts_[hostIndex_]);
    client_->setRcptName({current_.prepared.address});
    log_.push_back("Trying SMTP host \"" + mailHosts_[hostIndex_] + "\"");
    log_.emplace_back("Opening Connection");
    client_->Open();
    ++server_.connectionsOpened_;
    awaiting();
    return true;
  } catch (const std::exception&) {
    Report(kResultOpenFailed);
    return false;
  }
}

void TSmtpThread::releaseHost() {
  if (heldHost_.empty()) return;
  const std::string host = std::move(heldHost_);
  heldHost_.clear();
  server_.releaseHost(host);
}

template <typename F>
bool TSmtpThread::startRequest(F&& start, std::int32_t failCode) {
  try {
    start();
    awaiting();
    return true;
  } catch (const std::exception&) {
    Report(failCode);
    NextRecipient();
    return false;
  }
}

void TSmtpThread::clientCommand(const std::string& msg) {
  if (phase_ == Phase::Released) return;
  touch();
  if (trafficLogging_) currentLog().push_back(msg);
}

void TSmtpThread::clientResponse(const std::string& msg) {
  if (phase_ == Phase::Released) return;
  touch();
  if (trafficLogging_) currentLog().push_back(msg);
  trafficLogging_ = true;
}

void TSmtpThread::awaiting() {
  awaitedRequest_ = client_->requestId();
  awaiting_ = true;
}

TSmtpThread::Attempt TSmtpThread::attemptOf(int rqType, std::uint16_t error) const {
  return {error, stepOf(rqType), error >= 400 && error <= 599 ? client_->LastResponse() : ""};
}

void TSmtpThread::clientRequestDone(int rqType, std::uint16_t error) {
  // Only the end of the request this session waits for counts; the end of a
  // request that Abort cut off belongs to earlier work and is dropped.
  if (!awaiting_ || client_->doneRequestId() != awaitedRequest_) return;
  awaiting_ = false;
  if (phase_ != Phase::Dialogue) return;
  touch();
  if (probing_ && rqType == kRqRcptTo) {
    probeDone(error);
    return;
  }
  if (alongIndex_ >= 0 && rqType == kRqRcptTo) {
    alongDone(error);
    return;
  }
  if (rqType == kRqRcptTo) {
    primaryAnswered_ = error == 0 || (error >= 500 && error <= 599);
  }
  if (error != 0 && primaryAnswered_ && rqType != kRqRcptTo) {
    // The address has its answer; what the closing steps meet does not
    // change it when other addresses rode along (their answers are final
    // too). Alone, the address keeps the classic rule below.
    if (!along_.empty()) {
      endConnectionAnswered();
      return;
    }
  }
  last_ = attemptOf(rqType, error);
  const bool aborted = server_.aborted_;
  if (error != 0) {
    if (first_.code == 0) {
      first_ = last_;
      // A definite refusal of the recipient is the address's verdict; other
      // hosts of the domain (often backups that accept anything) are not
      // asked.
      if (rqType == kRqRcptTo && error >= 500 && error <= 599) {
        rcptRefused_ = true;
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
    case kRqConnect:
      if (aborted) {
        quitOrNextHost();
      } else {
        step_ = Step::MailFrom;
        startRequest([this] { client_->MailFrom(); }, kResultMailFromFailed);
      }
      break;
    case kRqMailFrom:
      if (aborted) {
        quitOrNextHost();
      } else {
        // Everything so far is what every address of this connection shares.
        sharedLines_ = log_.size();
        step_ = Step::RcptTo;
        startRequest([this] { client_->RcptTo(); }, kResultRcptFailed);
      }
      break;
    case kRqRcptTo:
      step_ = Step::Closing;
      if (!aborted && server_.claimCatchAllProbe(domain_)) {
        // The first accepted address of this domain: does the host take an
        // address that cannot exist, too?
        const std::string probe = madeUpMailbox() + "@" + domain_;
        log_.push_back("Checking whether the domain accepts any address");
        probing_ = true;
        client_->setRcptName({probe});
        startRequest([this] { client_->RcptTo(); }, kResultRcptFailed);
        return;
      }
      if (aborted) {
        quitOrNextHost();
      } else {
        askNextAlong();
      }
      break;
    case kRqRset:
      startRequest([this] { client_->Quit(); }, kResultQuitFailed);
      break;
    case kRqQuit:
      if (aborted) {
        Report(kResultAborted);
        NextRecipient();
      } else if (first_.code == 0) {
        reportAccepted();
      } else {
        last_ = first_;
        nextHost();
      }
      break;
    default:
      break;
  }
}

void TSmtpThread::probeDone(std::uint16_t error) {
  probing_ = false;
  const auto state = error == 0                     ? TSmtpRelayServer::CatchAll::Yes
                     : error >= 500 && error <= 599 ? TSmtpRelayServer::CatchAll::No
                                                    : TSmtpRelayServer::CatchAll::Undetermined;
  server_.catchAllResolved(domain_, state);
  // Whatever the probe met, the address itself was accepted.
  if (client_->Connected()) {
    askNextAlong();
    return;
  }
  abortClient();
  reportAccepted();
}

void TSmtpThread::askNextAlong() {
  const bool room = static_cast<int>(along_.size()) + 1 < server_.addressesPerConnection();
  if (room && !alongClosed_ && !server_.aborted_ && client_->Connected() &&
      rejectionsInARow_ < TSmtpRelayServer::kMaxRejectionsInARow) {
    TakenAddress next;
    bool fresh = false;
    if (server_.takeAlong(domain_, next, fresh)) {
      Along item;
      item.address = std::move(next);
      item.log.assign(log_.begin(), log_.begin() + static_cast<std::ptrdiff_t>(
                                                       std::min(sharedLines_, log_.size())));
      along_.push_back(std::move(item));
      const int index = static_cast<int>(along_.size()) - 1;
      if (fresh) server_.announce(along_.back().address.index);
      // The handler may have stopped this session (an abort from the owner).
      if (phase_ != Phase::Dialogue || !inHand_) return;
      alongIndex_ = index;
      trafficLogging_ = true;
      client_->setRcptName({along_.back().address.prepared.address});
      startRequest([this] { client_->RcptTo(); }, kResultRcptFailed);
      return;
    }
  }
  alongIndex_ = -1;
  quitOrNextHost();
}

void TSmtpThread::alongDone(std::uint16_t error) {
  Along& item = along_[static_cast<std::size_t>(alongIndex_)];
  alongIndex_ = -1;
  if (error == 0 || (error >= 500 && error <= 599)) {
    item.answered = true;
    item.answer = {error, Step::RcptTo, error == 0 ? std::string() : client_->LastResponse()};
    rejectionsInARow_ = error == 0 ? 0 : rejectionsInARow_ + 1;
    askNextAlong();
    return;
  }
  // A 4xx, a 421 or a broken connection: this address gets a dialogue of its
  // own later, and this connection takes no more.
  alongClosed_ = true;
  if (client_->Connected() && error < 10000 && error != 421) {
    quitOrNextHost();
    return;
  }
  endConnectionAnswered();
}

void TSmtpThread::endConnectionAnswered() {
  abortClient();
  if (first_.code == 0) {
    reportAccepted();
  } else {
    nextHost();
  }
}

void TSmtpThread::quitOrNextHost() {
  if (client_->Connected()) {
    trafficLogging_ = false;
    try {
      client_->Rset();
      awaiting();
    } catch (const std::exception&) {
      startRequest([this] { client_->Quit(); }, kResultQuitFailed);
    }
    return;
  }
  nextHost();
}

void TSmtpThread::nextHost() {
  abortClient();
  if (rcptRefused_) {
    // The recipient was refused: that reply is the result.
    reportAttempt(first_);
    NextRecipient();
    return;
  }
  ++hostIndex_;
  if (hostIndex_ < mailHosts_.size()) {
    if (!connectToHost()) NextRecipient();
  } else {
    reportAttempt(last_);
    NextRecipient();
  }
}

void TSmtpThread::abortClient() {
  // Whatever is outstanding now is cut off; its end notice (still to come
  // through the loop) is dropped when it arrives.
  awaiting_ = false;
  client_->Abort();
  WaitClientIdle();
}

void TSmtpThread::WaitClientIdle() {
  // The client's Abort returns with the client idle; this only waits if a
  // client ever needs the loop to settle. Bounded, so a stuck client cannot
  // hang the program.
  for (int i = 0; i < 1000 && (client_->Connected() || client_->State() != net::smtpReady); ++i) {
    server_.Loop().processPendingNotices();
    if (phase_ == Phase::Released) return;
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
  server_.forgetWaiter(this);
  resend_.stop();
  phase_ = Phase::Idle;
  alongIndex_ = -1;
  abortClient();
  if (!timedOut) {
    log_.emplace_back("User Abort");
    Report(kResultAborted);
    ReleaseSession();
    return;
  }
  if (was == Phase::WaitingCatchAll || (primaryAnswered_ && first_.code == 0)) {
    // The address was accepted; only the catch-all answer or the goodbye is
    // missing.
    Report(kResultValid);
  } else if (primaryAnswered_ && rcptRefused_) {
    reportAttempt(first_);
  } else {
    if (was == Phase::WaitingDns) {
      log_.push_back("DNS server \"" + dnsServer_ + "\" did not answer");
      dnsOutcome_ = DnsOutcome::NoAnswer;
      step_ = Step::Dns;
    } else if (net::EventLoop::tickDue(server_.now(), addressDeadline_)) {
      log_.emplace_back("The servers kept this address too long");
    } else {
      log_.emplace_back("Connection time-out");
    }
    Report(kResultTimeOut);
  }
  NextRecipient();
}

void TSmtpThread::ReleaseSession() {
  if (phase_ == Phase::Released) return;
  server_.forgetWaiter(this);
  resend_.stop();
  releaseHost();
  phase_ = Phase::Released;
  inHand_ = false;
  std::unique_ptr<TSmtpThread> self = server_.takeSession(this);
  server_.sessionEnded(current_.index);
  server_.buryLater(std::move(self));
}

}  // namespace orvane::engine
