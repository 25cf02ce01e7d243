#include "engine/SmtpThread.h"

#include <algorithm>
#include <exception>

#include "engine/DnsServerList.h"
#include "engine/ResultMessages.h"
#include "engine/SmtpRelayServer.h"
#include "net/DnsQuery.h"
#include "net/SmtpCli.h"

namespace orvane::engine {

namespace {

constexpr int kMxType = 15;
constexpr std::size_t kMaxDomainLength = 10000;
constexpr std::size_t kLogCapacity = 100;

// Request types as the client reports them.
constexpr int kRqConnect = 0;
constexpr int kRqMailFrom = 2;
constexpr int kRqRcptTo = 4;
constexpr int kRqQuit = 6;
constexpr int kRqRset = 7;

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
  inHand_ = false;
  phase_ = Phase::Idle;
  if (server_.OnEMailProcessed) server_.OnEMailProcessed(server_, recipientIndex_, code, log_);
}

void TSmtpThread::NextRecipient() {
  // A loop rather than recursion: addresses that end at once (no domain, a
  // query that cannot be sent) must not deepen the stack.
  while (phase_ != Phase::Released) {
    log_.clear();
    phase_ = Phase::Idle;
    bool taken = false;
    // Once the run is aborted no further address is taken: it could never be
    // reported.
    if (!server_.aborted_ && server_.recipientCursor_ < server_.recipients_.Count()) {
      recipientIndex_ = static_cast<int>(server_.recipientCursor_);
      address_ = server_.recipients_.Strings(server_.recipientCursor_);
      ++server_.recipientCursor_;
      inHand_ = true;
      taken = true;
      if (server_.OnGetData) server_.OnGetData(server_, recipientIndex_);
      // The handler may have stopped this session (an abort from the owner).
      if (phase_ == Phase::Released || !inHand_) return;
    }
    if (!taken || server_.aborted_) {
      if (taken) {
        log_.emplace_back("User Abort");
        Report(kResultAborted);
      }
      ReleaseSession();
      return;
    }
    const std::size_t at = address_.find('@');
    domain_ = at == std::string::npos ? address_ : address_.substr(at + 1);
    if (domain_.size() > kMaxDomainLength) domain_.resize(kMaxDomainLength);
    if (domain_.empty()) {
      log_.emplace_back("No domain name in this address");
      Report(kResultNoMailHost);
      continue;
    }
    if (StartLookup()) return;
    Report(kResultNoMailHost);
  }
}

bool TSmtpThread::StartLookup() {
  const std::string& server = server_.dnsServers_.front();
  const DnsServerAddress dnsAddress = ParseDnsServerEntry(server);
  log_.push_back("Requesting SMTP servers for this domain (" + domain_ + ")");
  log_.push_back("Trying DNS Server \"" + server + "\"");
  log_.emplace_back("Sending DNS Request");
  try {
    dns_->SetAddr(dnsAddress.host);
    dns_->SetPort(dnsAddress.port);
    phase_ = Phase::WaitingDns;
    dns_->MXLookup(domain_);
    return true;
  } catch (const std::exception& e) {
    phase_ = Phase::Idle;
    log_.push_back(std::string("DNS request not sent: ") + e.what());
    return false;
  }
}

void TSmtpThread::LookupDone(std::uint16_t error) {
  if (phase_ != Phase::WaitingDns) return;
  Touch();
  mailHosts_.clear();
  if (error != 0) {
    log_.push_back("DNS Search error :" + std::to_string(error));
  } else if (dns_->ResponseCode() == net::kDnsRcodeNameError) {
    // The domain does not exist, so it has no implicit mail host either:
    // trying its name as a host would only ask the system resolver again.
    log_.push_back("No such domain (" + domain_ + ")");
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
  client_->SetRcptName({address_});
  ConnectToHost();
}

void TSmtpThread::ConnectToHost() {
  lastError_ = 0;
  trafficLogging_ = true;
  firstError_ = 0;
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

void TSmtpThread::ClientRequestDone(int rqType, std::uint16_t error) {
  // Only the end of the request this session waits for counts; the end of a
  // request that Abort cut off belongs to earlier work and is dropped.
  if (!awaiting_ || client_->DoneRequestId() != awaitedRequest_) return;
  awaiting_ = false;
  if (phase_ != Phase::Dialogue) return;
  Touch();
  lastError_ = error;
  const bool aborted = server_.aborted_;
  if (error != 0) {
    if (firstError_ == 0) {
      firstError_ = error;
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
        StartRequest([this] { client_->MailFrom(); }, kResultMailFromFailed);
      }
      break;
    case kRqMailFrom:
      if (aborted) {
        QuitOrNextHost();
      } else {
        StartRequest([this] { client_->RcptTo(); }, kResultRcptFailed);
      }
      break;
    case kRqRcptTo:
      QuitOrNextHost();
      break;
    case kRqRset:
      StartRequest([this] { client_->Quit(); }, kResultQuitFailed);
      break;
    case kRqQuit:
      if (aborted) {
        Report(kResultAborted);
        NextRecipient();
      } else if (firstError_ == 0) {
        Report(kResultValid);
        NextRecipient();
      } else {
        lastError_ = firstError_;
        NextHost();
      }
      break;
    default:
      break;
  }
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
    // The recipient was refused: that reply code is the result.
    Report(firstError_);
    NextRecipient();
    return;
  }
  ++hostIndex_;
  if (hostIndex_ < mailHosts_.size()) {
    ConnectToHost();
  } else {
    Report(lastError_);
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
  phase_ = Phase::Idle;
  AbortClient();
  if (timedOut) {
    log_.emplace_back("Connection time-out");
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
  phase_ = Phase::Released;
  inHand_ = false;
  std::unique_ptr<TSmtpThread> self = server_.TakeSession(this);
  server_.SessionEnded(recipientIndex_);
  server_.BuryLater(std::move(self));
}

}  // namespace orvane::engine
