#include "engine/SmtpDialogue.h"

#include <exception>

#include "net/SmtpCli.h"

namespace orvane::engine {

SmtpDialogue::SmtpDialogue(net::EventLoop& loop, const RunSettings& settings)
    : loop_(loop), client_(std::make_unique<net::TSmtpCli>(loop)) {
  client_->OnRequestDone = [this](net::TSmtpCli&, net::TSmtpRequest rqType, std::uint16_t error) {
    requestDone(static_cast<int>(rqType), error);
  };
  client_->OnCommand = [this](net::TSmtpCli&, const std::string& msg) { line(msg); };
  client_->OnResponse = [this](net::TSmtpCli&, const std::string& msg) { line(msg); };
  client_->setSignOn(settings.signon);
  client_->setFromName(settings.from);
  client_->setPort(settings.smtpPort);
  if (settings.proxy.enabled()) {
    client_->setSocksServer(settings.proxy.host);
    client_->setSocksPort(settings.proxy.port);
    client_->setSocksLevel("5");
    client_->setSocksUsercode(settings.proxy.user);
    client_->setSocksPassword(settings.proxy.password);
  }
}

SmtpDialogue::~SmtpDialogue() {
  // The client drops its pending notices when it goes; none may call back
  // into a half-destroyed owner meanwhile.
  client_->OnRequestDone = nullptr;
  client_->OnCommand = nullptr;
  client_->OnResponse = nullptr;
}

template <typename F>
bool SmtpDialogue::start(F&& request) {
  try {
    request();
  } catch (const std::exception&) {
    return false;
  }
  awaitedRequest_ = client_->requestId();
  awaiting_ = true;
  return true;
}

bool SmtpDialogue::open(const std::string& address, const std::string& localAddress,
                        const std::string& recipient) {
  return start([&] {
    client_->setHost(address);
    client_->setLocalAddr(localAddress);
    client_->setRcptName({recipient});
    client_->Open();
  });
}

bool SmtpDialogue::mailFrom() {
  return start([this] { client_->MailFrom(); });
}

bool SmtpDialogue::rcptTo(const std::string& recipient) {
  return start([&] {
    client_->setRcptName({recipient});
    client_->RcptTo();
  });
}

bool SmtpDialogue::rset() {
  return start([this] { client_->Rset(); });
}

bool SmtpDialogue::quit() {
  return start([this] { client_->Quit(); });
}

void SmtpDialogue::abort() {
  awaiting_ = false;
  client_->Abort();
  WaitClientIdle();
}

void SmtpDialogue::WaitClientIdle() {
  for (int i = 0; i < 1000 && (client_->Connected() || client_->State() != net::smtpReady); ++i) {
    loop_.processPendingNotices();
  }
}

bool SmtpDialogue::connected() const noexcept {
  return client_->Connected();
}

const std::string& SmtpDialogue::lastResponse() const noexcept {
  return client_->LastResponse();
}

bool SmtpDialogue::proxyFailure() const noexcept {
  return client_->proxyFailure();
}

void SmtpDialogue::requestDone(int rqType, std::uint16_t error) {
  // Only the end of the awaited request counts; the end of one that abort()
  // cut off belongs to earlier work.
  if (!awaiting_ || client_->doneRequestId() != awaitedRequest_) return;
  awaiting_ = false;
  if (onDone) onDone(rqType, error);
}

void SmtpDialogue::line(const std::string& text) {
  if (onActivity) onActivity();
  if (log_ != nullptr) log_->push_back(text);
}

}  // namespace orvane::engine
