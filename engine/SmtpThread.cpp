#include "engine/SmtpThread.h"

#include <algorithm>
#include <exception>
#include <random>

#include "engine/AddressSyntax.h"
#include "engine/DnsServerList.h"
#include "engine/ResultMessages.h"
#include "engine/SmtpRelayServer.h"
#include "net/DnsQuery.h"
#include "net/SmtpCli.h"
#include "net/WSocketErrors.h"

namespace orvane::engine {

namespace {

constexpr int kMxType = 15;
constexpr std::size_t kMaxDomainLength = 10000;
constexpr std::size_t kLogCapacity = 100;
constexpr int kDnsRcodeServerFailure = 2;
constexpr int kDnsRcodeRefused = 5;

// Request types as the client reports them.
constexpr int kRqConnect = 0;
constexpr int kRqMailFrom = 2;
constexpr int kRqRcptTo = 4;
constexpr int kRqQuit = 6;
constexpr int kRqRset = 7;

// A mailbox name nobody has: 20 random letters and digits.
std::string MadeUpMailbox() {
  thread_local std::mt19937 generator(std::random_device{}());
  static constexpr char kChars[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::uniform_int_distribution<int> pick(0, 35);
  std::string name = "no-such-user-";
  for (int i = 0; i < 20; ++i) name += kChars[pick(generator)];
  return name;
}

Step StepOf(int rqType) {
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
      client_(std::make_unique<net::TSmtpCli>(server.Loop())) {
  log_.reserve(kLogCapacity);
  lastActivity_ = net::EventLoop::tickCount();
  ++server_.activeCount_;
  client_->OnRequestDone = [this](net::TSmtpCli&, net::TSmtpRequest rqType, std::uint16_t error) {
    ClientRequestDone(static_cast<int>(rqType), error);
  };
  client_->OnCommand = [this](net::TSmtpCli&, const std::string& msg) { ClientCommand(msg); };
  client_->OnResponse = [this](net::TSmtpCli&, const std::string& msg) { ClientResponse(msg); };
  dns_->OnRequestDone = [this](net::TDnsQuery&, std::uint16_t error) { LookupDone(error); };
  client_->SetSignOn(server_.Signon());
  client_->SetFromName(server_.From());
  client_->SetPort(server_.SmtpPort());
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

void TSmtpThread::Touch() {
  lastActivity_ = net::EventLoop::tickCount();
}

void TSmtpThread::Report(std::int32_t code) {
  if (!inHand_) return;
  if (probing_) {
    // The probe can no longer answer; others must not wait for it.
    probing_ = false;
    server_.CatchAllResolved(domain_, TSmtpRelayServer::CatchAll::Undetermined);
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
    const auto* state = server_.CatchAllOf(domain_);
    outcome.catchAll = state != nullptr && *state == TSmtpRelayServer::CatchAll::Yes;
  }
  // A 4xx to RCPT TO is tried once more later (greylisting), unless the run
  // is being stopped.
  if (code >= 400 && code <= 499 && step_ == Step::RcptTo && !retried_ &&
      server_.GreylistDelayMs() > 0 && !server_.aborted_) {
    inHand_ = false;
    phase_ = Phase::Idle;
    log_.push_back("Refused for now (" + std::to_string(code) + "): trying again in " +
                   std::to_string((server_.GreylistDelayMs() + 999) / 1000) + " s");
    server_.QueueRetry({recipientIndex_, address_, log_, 0});
    return;
  }
  inHand_ = false;
  phase_ = Phase::Idle;
  Classification c = Classify(outcome);
  server_.Reported(recipientIndex_, {code, c.verdict, std::move(c.message)}, log_);
}

void TSmtpThread::ReportAttempt(const Attempt& attempt) {
  step_ = attempt.step;
  last_ = attempt;
  Report(attempt.code);
}

bool TSmtpThread::TakeAddress() {
  // A due second try comes before new addresses.
  TSmtpRelayServer::Retry retry;
  if (!server_.aborted_ && server_.TakeDueRetry(retry)) {
    recipientIndex_ = retry.recipientIndex;
    address_ = std::move(retry.address);
    log_ = std::move(retry.log);
    log_.emplace_back("Trying again");
    retried_ = true;
    inHand_ = true;
    return true;
  }
  if (server_.aborted_ || server_.recipientCursor_ >= server_.recipients_.Count()) return false;
  recipientIndex_ = static_cast<int>(server_.recipientCursor_);
  address_ = server_.recipients_.Strings(server_.recipientCursor_);
  ++server_.recipientCursor_;
  retried_ = false;
  inHand_ = true;
  if (server_.OnGetData) server_.OnGetData(server_, recipientIndex_);
  return true;
}

void TSmtpThread::NextRecipient() {
  // A loop rather than recursion: addresses that end at once (not an address,
  // a query that cannot be sent) must not deepen the stack.
  while (phase_ != Phase::Released) {
    log_.clear();
    phase_ = Phase::Idle;
    step_ = Step::Syntax;
    dnsOutcome_ = DnsOutcome::Answered;
    dnsCode_ = 0;
    detail_.clear();
    last_ = Attempt{};
    // Once the run is aborted no further address is taken: it could never be
    // reported.
    const bool taken = TakeAddress();
    // The handler may have stopped this session (an abort from the owner).
    if (taken && (phase_ == Phase::Released || !inHand_)) return;
    if (!taken || server_.aborted_) {
      if (taken) {
        log_.emplace_back("User Abort");
        Report(kResultAborted);
      }
      ReleaseSession();
      return;
    }
    if (!PrepareForTraffic()) continue;
    if (StartLookup()) return;
    Report(kResultNoMailHost);
  }
}

bool TSmtpThread::PrepareForTraffic() {
  const PreparedAddress prepared = PrepareAddress(address_);
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
  wireAddress_ = prepared.address;
  domain_ = prepared.domain;
  if (domain_.size() > kMaxDomainLength) domain_.resize(kMaxDomainLength);
  return true;
}

bool TSmtpThread::StartLookup() {
  dnsServer_ = server_.dnsServers_.front();
  const DnsServerAddress dnsAddress = ParseDnsServerEntry(dnsServer_);
  step_ = Step::Dns;
  log_.push_back("Requesting SMTP servers for this domain (" + domain_ + ")");
  log_.push_back("Trying DNS Server \"" + dnsServer_ + "\"");
  log_.emplace_back("Sending DNS Request");
  try {
    dns_->SetAddr(dnsAddress.host);
    dns_->SetPort(dnsAddress.port);
    phase_ = Phase::WaitingDns;
    dns_->MXLookup(domain_);
    return true;
  } catch (const std::exception& e) {
    phase_ = Phase::Idle;
    dnsOutcome_ = DnsOutcome::NotSent;
    detail_ = e.what();
    log_.push_back(std::string("DNS request not sent: ") + e.what());
    return false;
  }
}

void TSmtpThread::LookupDone(std::uint16_t error) {
  if (phase_ != Phase::WaitingDns) return;
  Touch();
  mailHosts_.clear();
  const int rcode = error == 0 ? dns_->ResponseCode() : 0;
  if (error != 0) {
    log_.push_back("DNS Search error :" + std::to_string(error));
    dnsOutcome_ =
        error == net::kDnsErrorMalformedAnswer ? DnsOutcome::Malformed : DnsOutcome::Unreachable;
    dnsCode_ = error;
  } else if (rcode == net::kDnsRcodeNameError) {
    // The domain does not exist, so it has no implicit mail host either:
    // trying its name as a host would only ask the system resolver again.
    log_.push_back("No such domain (" + domain_ + ")");
    dnsOutcome_ = DnsOutcome::NoSuchDomain;
  } else if (rcode != 0) {
    // The server could not or would not answer: nothing is known about the
    // domain, and its name must not be taken for a mail host.
    dnsOutcome_ = rcode == kDnsRcodeServerFailure ? DnsOutcome::ServerFailure
                  : rcode == kDnsRcodeRefused     ? DnsOutcome::ServerRefused
                                                  : DnsOutcome::OtherError;
    dnsCode_ = rcode;
    log_.push_back("The DNS server answered with error code " + std::to_string(rcode));
  } else if (dns_->ResponseANCount() == 0) {
    log_.push_back("No SMTP Relays found. Trying \"" + domain_ + "\"");
    mailHosts_.push_back(domain_);
  } else {
    const int n = dns_->ResponseANCount();
    struct Mx {
      int preference;
      std::string host;
    };
    std::vector<Mx> found;
    for (int i = 0; i < n; ++i) {
      const int tag = dns_->AnswerTag(i);
      if (tag >= 0 && dns_->AnswerType(i) == kMxType) {
        found.push_back({dns_->MXPreference(tag), dns_->MXExchange(tag)});
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
        mailHosts_.push_back(mx.host);
      }
    }
    log_.push_back(std::move(line));
    if (nullMx) {
      // The domain declares that it accepts no mail.
      log_.emplace_back("This domain accepts no mail (null MX)");
      dnsOutcome_ = DnsOutcome::NullMx;
      mailHosts_.clear();
    }
  }
  HostsReady();
}

void TSmtpThread::HostsReady() {
  if (server_.aborted_) {
    // Only reachable when the abort has not stopped this session yet; the
    // address in hand is still reported.
    log_.emplace_back("User Abort");
    Report(kResultAborted);
    ReleaseSession();
    return;
  }
  if (mailHosts_.empty()) {
    Report(kResultNoMailHost);
    NextRecipient();
    return;
  }
  hostIndex_ = 0;
  rcptRefused_ = false;
  client_->SetRcptName({wireAddress_});
  ConnectToHost();
}

void TSmtpThread::ConnectToHost() {
  last_ = Attempt{};
  trafficLogging_ = true;
  first_ = Attempt{};
  step_ = Step::Connect;
  phase_ = Phase::Dialogue;
  try {
    AbortClient();
    client_->SetHost(mailHosts_[hostIndex_]);
    log_.push_back("Trying SMTP host \"" + mailHosts_[hostIndex_] + "\"");
    log_.emplace_back("Opening Connection");
    client_->Open();
    Awaiting();
  } catch (const std::exception&) {
    Report(kResultOpenFailed);
    NextRecipient();
  }
}

template <typename F>
bool TSmtpThread::StartRequest(F&& start, std::int32_t failCode) {
  try {
    start();
    Awaiting();
    return true;
  } catch (const std::exception&) {
    Report(failCode);
    NextRecipient();
    return false;
  }
}

void TSmtpThread::ClientCommand(const std::string& msg) {
  if (phase_ == Phase::Released) return;
  Touch();
  if (trafficLogging_) log_.push_back(msg);
}

void TSmtpThread::ClientResponse(const std::string& msg) {
  if (phase_ == Phase::Released) return;
  Touch();
  if (trafficLogging_) log_.push_back(msg);
  trafficLogging_ = true;
}

void TSmtpThread::Awaiting() {
  awaitedRequest_ = client_->RequestId();
  awaiting_ = true;
}

TSmtpThread::Attempt TSmtpThread::AttemptOf(int rqType, std::uint16_t error) const {
  return {error, StepOf(rqType), error >= 400 && error <= 599 ? client_->LastResponse() : ""};
}

void TSmtpThread::ClientRequestDone(int rqType, std::uint16_t error) {
  // Only the end of the request this session waits for counts; the end of a
  // request that Abort cut off belongs to earlier work and is dropped.
  if (!awaiting_ || client_->DoneRequestId() != awaitedRequest_) return;
  awaiting_ = false;
  if (phase_ != Phase::Dialogue) return;
  Touch();
  if (probing_ && rqType == kRqRcptTo) {
    ProbeDone(error);
    return;
  }
  last_ = AttemptOf(rqType, error);
  const bool aborted = server_.aborted_;
  if (error != 0) {
    if (first_.code == 0) {
      first_ = last_;
      // A definite refusal of the recipient is the address's verdict; other
      // hosts of the domain (often backups that accept anything) are not
      // asked.
      if (rqType == kRqRcptTo && error >= 500 && error <= 599) rcptRefused_ = true;
      QuitOrNextHost();
    } else if (aborted) {
      Report(kResultAborted);
      NextRecipient();
    } else {
      NextHost();
    }
    return;
  }
  switch (rqType) {
    case kRqConnect:
      if (aborted) {
        QuitOrNextHost();
      } else {
        step_ = Step::MailFrom;
        StartRequest([this] { client_->MailFrom(); }, kResultMailFromFailed);
      }
      break;
    case kRqMailFrom:
      if (aborted) {
        QuitOrNextHost();
      } else {
        step_ = Step::RcptTo;
        StartRequest([this] { client_->RcptTo(); }, kResultRcptFailed);
      }
      break;
    case kRqRcptTo:
      step_ = Step::Closing;
      if (!aborted && server_.ClaimCatchAllProbe(domain_)) {
        // The first accepted address of this domain: does the host take an
        // address that cannot exist, too?
        const std::string probe = MadeUpMailbox() + "@" + domain_;
        log_.push_back("Checking whether the domain accepts any address");
        probing_ = true;
        client_->SetRcptName({probe});
        StartRequest([this] { client_->RcptTo(); }, kResultRcptFailed);
        return;
      }
      QuitOrNextHost();
      break;
    case kRqRset:
      StartRequest([this] { client_->Quit(); }, kResultQuitFailed);
      break;
    case kRqQuit:
      if (aborted) {
        Report(kResultAborted);
        NextRecipient();
      } else if (first_.code == 0) {
        ReportAccepted();
      } else {
        last_ = first_;
        NextHost();
      }
      break;
    default:
      break;
  }
}

void TSmtpThread::ProbeDone(std::uint16_t error) {
  probing_ = false;
  client_->SetRcptName({wireAddress_});
  const auto state = error == 0                     ? TSmtpRelayServer::CatchAll::Yes
                     : error >= 500 && error <= 599 ? TSmtpRelayServer::CatchAll::No
                                                    : TSmtpRelayServer::CatchAll::Undetermined;
  server_.CatchAllResolved(domain_, state);
  // Whatever the probe met, the address itself was accepted.
  if (client_->Connected()) {
    QuitOrNextHost();
    return;
  }
  AbortClient();
  ReportAccepted();
}

void TSmtpThread::ReportAccepted() {
  const auto* state = server_.CatchAllOf(domain_);
  if (state != nullptr && *state == TSmtpRelayServer::CatchAll::Probing) {
    // Another session asks the host about a made-up address right now; its
    // answer decides whether this acceptance means anything.
    phase_ = Phase::WaitingCatchAll;
    server_.WaitForCatchAll(domain_, this);
    return;
  }
  Report(kResultValid);
  NextRecipient();
}

void TSmtpThread::CatchAllKnown() {
  if (phase_ != Phase::WaitingCatchAll) return;
  Touch();
  Report(kResultValid);
  NextRecipient();
}

void TSmtpThread::QuitOrNextHost() {
  if (client_->Connected()) {
    trafficLogging_ = false;
    try {
      client_->Rset();
      Awaiting();
    } catch (const std::exception&) {
      StartRequest([this] { client_->Quit(); }, kResultQuitFailed);
    }
    return;
  }
  NextHost();
}

void TSmtpThread::NextHost() {
  AbortClient();
  if (rcptRefused_) {
    // The recipient was refused: that reply is the result.
    ReportAttempt(first_);
    NextRecipient();
    return;
  }
  ++hostIndex_;
  if (hostIndex_ < mailHosts_.size()) {
    ConnectToHost();
  } else {
    ReportAttempt(last_);
    NextRecipient();
  }
}

void TSmtpThread::AbortClient() {
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
  const bool acceptedAndWaiting = phase_ == Phase::WaitingCatchAll;
  if (acceptedAndWaiting) server_.ForgetWaiter(this);
  phase_ = Phase::Idle;
  AbortClient();
  if (timedOut && acceptedAndWaiting) {
    // The address was accepted; only the catch-all answer is missing.
    Report(kResultValid);
    NextRecipient();
  } else if (timedOut) {
    log_.push_back(step_ == Step::Dns ? "DNS server \"" + dnsServer_ + "\" did not answer"
                                      : std::string("Connection time-out"));
    if (step_ == Step::Dns) dnsOutcome_ = DnsOutcome::NoAnswer;
    Report(kResultTimeOut);
    NextRecipient();
  } else {
    log_.emplace_back("User Abort");
    Report(kResultAborted);
    ReleaseSession();
  }
}

void TSmtpThread::ReleaseSession() {
  if (phase_ == Phase::Released) return;
  server_.ForgetWaiter(this);
  phase_ = Phase::Released;
  inHand_ = false;
  std::unique_ptr<TSmtpThread> self = server_.TakeSession(this);
  server_.SessionEnded(recipientIndex_);
  server_.BuryLater(std::move(self));
}

}  // namespace orvane::engine
