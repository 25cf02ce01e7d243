#include "net/SmtpCli.h"

#include "core/Text.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <utility>

namespace orvane::net {

namespace {

std::string trim(std::string_view s) {
  return std::string(trimBlanks(s));
}

// A text that goes into a command line must not end the line early.
void checkArgument(const std::string& value, const char* what) {
  if (value.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos) {
    throw SmtpException(std::string(what) + " must not contain CR, LF or NUL");
  }
}

bool startsWithNoCase(const std::string& s, std::string_view prefix) {
  if (s.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (std::toupper(static_cast<unsigned char>(s[i])) !=
        std::toupper(static_cast<unsigned char>(prefix[i]))) {
      return false;
    }
  }
  return true;
}

std::string twoDigits(int v) {
  std::string s = std::to_string(v);
  return s.size() < 2 ? "0" + s : s;
}

std::tm localNow() {
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  return tm;
}

// "ddd, d mmm yyyy hh:mm:ss" with English names whatever the locale.
std::string dateHeaderValue(const std::tm& tm) {
  static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  return std::string(kDays[tm.tm_wday % 7]) + ", " + std::to_string(tm.tm_mday) + " " +
         kMonths[tm.tm_mon % 12] + " " + std::to_string(tm.tm_year + 1900) + " " +
         twoDigits(tm.tm_hour) + ":" + twoDigits(tm.tm_min) + ":" + twoDigits(tm.tm_sec);
}

// Splits a text at CR, LF or CRLF into lines (a line break never reaches the
// wire inside one message line, so the text cannot end the message early).
void splitLines(const std::string& text, std::vector<std::string>& out) {
  std::size_t start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' || text[i] == '\n') {
      out.push_back(text.substr(start, i - start));
      if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
      start = i + 1;
    }
  }
  out.push_back(text.substr(start));
}

std::string baseName(const std::string& path) {
  return std::filesystem::path(path).filename().string();
}

}  // namespace

std::string base64Encode(std::string_view data) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((data.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= data.size(); i += 3) {
    const auto a = static_cast<unsigned char>(data[i]);
    const auto b = static_cast<unsigned char>(data[i + 1]);
    const auto c = static_cast<unsigned char>(data[i + 2]);
    out += kAlphabet[a >> 2];
    out += kAlphabet[((a & 0x03) << 4) | (b >> 4)];
    out += kAlphabet[((b & 0x0F) << 2) | (c >> 6)];
    out += kAlphabet[c & 0x3F];
  }
  const std::size_t rest = data.size() - i;
  if (rest > 0) {
    const auto a = static_cast<unsigned char>(data[i]);
    const auto b = rest > 1 ? static_cast<unsigned char>(data[i + 1]) : 0u;
    out += kAlphabet[a >> 2];
    out += kAlphabet[((a & 0x03) << 4) | (b >> 4)];
    out += rest > 1 ? kAlphabet[(b & 0x0F) << 2] : '=';
    out += '=';
  }
  return out;
}

std::vector<std::string> base64Lines(std::string_view data) {
  std::vector<std::string> lines;
  for (std::size_t i = 0; i < data.size(); i += 45) {
    lines.push_back(base64Encode(data.substr(i, 45)));
  }
  return lines;
}

TSmtpCli::TSmtpCli(EventLoop& loop) : loop_(loop), life_(std::make_shared<int>(0)), socket_(loop) {
  socket_.OnSessionClosed = [this](TWSocket&, std::uint16_t error) { onSocketClosed(error); };
  socket_.OnSocksError = [this](TWSocket&, int, const std::string& msg) { socksMessage_ = msg; };
  requestDone_ = true;  // nothing pending yet
  setContentType(smtpPlainText);
}

TSmtpCli::~TSmtpCli() {
  life_.reset();
  socket_.OnSessionClosed = nullptr;
  socket_.OnDataAvailable = nullptr;
  socket_.OnSessionConnected = nullptr;
  socket_.OnDnsLookupDone = nullptr;
  socket_.OnDataSent = nullptr;
  socket_.OnSocksError = nullptr;
}

void TSmtpCli::setContentType(TSmtpContentType value) {
  if (value == contentType_) return;
  contentType_ = value;
  contentTypeText_ = value == smtpPlainText ? "text/plain" : "text/html";
}

void TSmtpCli::setEmailFiles(const std::vector<std::string>& value) {
  std::vector<std::string> files;
  for (const auto& name : value) {
    std::string trimmed = trim(name);
    if (trimmed.empty()) continue;
    std::error_code ec;
    if (!std::filesystem::exists(trimmed, ec)) {
      throw SmtpException("File not found '" + trimmed + "'");
    }
    files.push_back(std::move(trimmed));
  }
  emailFiles_ = std::move(files);
}

// ---- Request plumbing ----------------------------------------------------

void TSmtpCli::checkReady() const {
  if (state_ != smtpReady && state_ != smtpInternalReady) {
    throw SmtpException("SMTP component not ready");
  }
}

void TSmtpCli::checkConnected() const {
  if (!connected_) throw SmtpException("SMTP component not connected");
}

void TSmtpCli::beginRequest() {
  ++requestId_;
  proxyFailure_ = false;
  highLevel_ = false;
  nextRequest_ = nullptr;
  highLevelSteps_ = 0;
}

void TSmtpCli::setNetworkFailure(int error) {
  lastResponse_ =
      "500 " + WSocketErrorDesc(error) + " (Winsock error #" + std::to_string(error) + ")";
  statusCode_ = 500;
  noteFailure(lastResponse_);
}

void TSmtpCli::setConnectFailure(int error) {
  const std::string code = " (Winsock error #" + std::to_string(error) + ")";
  if (!socksServer_.empty()) {
    proxyFailure_ = true;
    lastResponse_ =
        socksMessage_.empty()
            ? "500 proxy " + proxyName() + " cannot be reached: " + WSocketErrorDesc(error) + code
            : "500 proxy " + proxyName() + " refused the connection (" + socksMessage_ + ")";
  } else if (error == WSAEADDRNOTAVAIL && !localAddr_.empty()) {
    lastResponse_ = "500 local address " + localAddr_ + " is not an address of this machine" + code;
  } else {
    setNetworkFailure(error);
    return;
  }
  statusCode_ = 500;
  noteFailure(lastResponse_);
}

std::string TSmtpCli::proxyName() const {
  const std::string server(trimBlanks(socksServer_));
  const std::string port(trimBlanks(socksPort_));
  return server.find(':') != std::string::npos ? "[" + server + "]:" + port : server + ":" + port;
}

void TSmtpCli::applyConnectionSettings() {
  socket_.setLocalAddr(localAddr_);
  socket_.setSocksServer(socksServer_);
  socket_.setSocksPort(socksPort_);
  socket_.setSocksLevel(socksLevel_);
  socket_.setSocksUsercode(socksUsercode_);
  socket_.setSocksPassword(socksPassword_);
  socket_.setSocksAuthentication(socksUsercode_.empty() ? socksNoAuthentication
                                                        : socksAuthenticateUsercode);
}

void TSmtpCli::noteFailure(const std::string& line) {
  if (errorMessage_.empty()) errorMessage_ = line;
}

void TSmtpCli::triggerRequestDone(int error) {
  if (requestDone_) return;
  requestDone_ = true;
  if (error == 0 && nextRequest_ != nullptr) {
    if (state_ != smtpAbort) setState(smtpInternalReady);
    Handler next = nextRequest_;
    try {
      (this->*next)();
    } catch (const std::exception&) {
      // A step of a high-level request could not start (for example the
      // local host name is unavailable): the whole request fails.
      const int code = socket_.LastError() != 0 ? socket_.LastError() : WSAEINVAL;
      nextRequest_ = nullptr;
      requestDone_ = false;
      setNetworkFailure(code);
      triggerRequestDone(code);
    }
    return;
  }
  setState(smtpReady);
  highLevel_ = false;
  nextRequest_ = nullptr;
  highLevelSteps_ = 0;
  doneStep_ = nullptr;
  // Request number and code share one word, so the notice fits the
  // function object's own storage instead of the heap.
  const std::uint64_t packed = (requestId_ << 16) | static_cast<std::uint16_t>(error);
  loop_.post(life_, [this, packed] {
    doneRequestId_ = packed >> 16;
    TSmtpRequestDone handler = OnRequestDone;
    if (handler) handler(*this, requestType_, static_cast<std::uint16_t>(packed & 0xFFFF));
  });
}

void TSmtpCli::nextHighLevelStep() {
  static const std::pair<unsigned, Handler> kOrder[] = {
      {kStepConnect, &TSmtpCli::doConnect}, {kStepHelo, &TSmtpCli::doHelo},
      {kStepVrfy, &TSmtpCli::doVrfy},       {kStepMailFrom, &TSmtpCli::doMailFrom},
      {kStepRcptTo, &TSmtpCli::doRcptTo},   {kStepData, &TSmtpCli::doData},
      {kStepQuit, &TSmtpCli::doQuit}};
  for (const auto& [step, run] : kOrder) {
    if ((highLevelSteps_ & step) != 0) {
      highLevelSteps_ &= ~step;
      (this->*run)();
      return;
    }
  }
  nextRequest_ = nullptr;
  requestDone_ = false;
  triggerRequestDone(highLevelResult_);
}

void TSmtpCli::execCommand(TSmtpRequest request, const std::string& command,
                           SmtpAcceptedCodes accepted, Handler doneStep) {
  checkReady();
  checkConnected();
  if (!highLevel_) requestType_ = request;
  accepted_ = accepted;
  requestDone_ = false;
  doneStep_ = doneStep;
  setState(smtpWaitingResponse);
  sendCommand(command);
}

void TSmtpCli::sendCommand(const std::string& command) {
  std::weak_ptr<int> alive = life_;
  if (OnCommand) {
    OnCommand(*this, command);
    if (alive.expired()) return;
  }
  if (OnDisplay) {
    OnDisplay(*this, "> " + command);
    if (alive.expired()) return;
  }
  if (socket_.state() == wsConnected) socket_.SendStr(command + "\r\n");
}

// ---- Public requests -----------------------------------------------------

void TSmtpCli::Connect() {
  checkReady();
  if (connected_) throw SmtpException("SMTP component already connected");
  beginRequest();
  doConnect();
}

void TSmtpCli::Helo() {
  checkReady();
  checkConnected();
  checkArgument(signOn_, "SignOn");
  beginRequest();
  doHelo();
}

void TSmtpCli::Vrfy() {
  checkReady();
  checkConnected();
  checkArgument(hdrTo_, "HdrTo");
  beginRequest();
  doVrfy();
}

void TSmtpCli::MailFrom() {
  checkReady();
  checkConnected();
  checkArgument(fromName_, "FromName");
  beginRequest();
  doMailFrom();
}

void TSmtpCli::RcptTo() {
  checkReady();
  checkConnected();
  if (rcptName_.empty()) throw SmtpException("RcptName list is empty");
  for (const auto& line : rcptName_) checkArgument(line, "RcptName");
  beginRequest();
  doRcptTo();
}

void TSmtpCli::Data() {
  checkReady();
  checkConnected();
  beginRequest();
  doData();
}

void TSmtpCli::Quit() {
  checkReady();
  beginRequest();
  doQuit();
}

void TSmtpCli::Rset() {
  checkReady();
  checkConnected();
  beginRequest();
  doRset();
}

void TSmtpCli::Open() {
  checkReady();
  if (connected_) throw SmtpException("SMTP component already connected");
  checkArgument(signOn_, "SignOn");
  beginRequest();
  requestType_ = smtpOpen;
  requestResult_ = 0;
  highLevelResult_ = 0;
  highLevel_ = true;
  lastResponse_.clear();
  errorMessage_.clear();
  highLevelSteps_ = kStepConnect | kStepHelo;
  nextRequest_ = &TSmtpCli::nextHighLevelStep;
  nextHighLevelStep();
}

void TSmtpCli::Mail() {
  checkReady();
  checkArgument(fromName_, "FromName");
  if (rcptName_.empty()) throw SmtpException("RcptName list is empty");
  for (const auto& line : rcptName_) checkArgument(line, "RcptName");
  checkArgument(hdrFrom_, "HdrFrom");
  checkArgument(hdrTo_, "HdrTo");
  checkArgument(hdrSubject_, "HdrSubject");
  checkArgument(charSet_, "CharSet");
  beginRequest();
  requestType_ = smtpMail;
  requestResult_ = 0;
  highLevelResult_ = 0;
  highLevel_ = true;
  lastResponse_.clear();
  errorMessage_.clear();
  highLevelSteps_ = kStepMailFrom | kStepRcptTo | kStepData;
  nextRequest_ = &TSmtpCli::nextHighLevelStep;
  nextHighLevelStep();
}

void TSmtpCli::Abort() {
  setState(smtpAbort);
  if (socket_.dnsLookupPending()) socket_.CancelDnsLookup();
  socket_.Abort();
  connected_ = false;
  setState(smtpReady);
}

// ---- Steps ---------------------------------------------------------------

void TSmtpCli::doConnect() {
  checkReady();
  if (connected_) throw SmtpException("SMTP component already connected");
  applyConnectionSettings();
  socksMessage_.clear();
  localAddress_.clear();
  requestType_ = smtpConnect;
  requestDone_ = false;
  reply_.reset();
  replyLines_ = 0;
  replyBytes_ = 0;
  requestResult_ = 0;
  setState(smtpDnsLookup);
  socket_.OnDataSent = nullptr;
  socket_.OnDnsLookupDone = [this](TWSocket&, std::uint16_t error) { onLookupDone(error); };
  inLookupCall_ = true;
  try {
    socket_.DnsLookup(host_);
  } catch (...) {
    inLookupCall_ = false;
    throw;
  }
  inLookupCall_ = false;
}

void TSmtpCli::doHelo() {
  const std::string name = signOn_.empty() ? localHostName() : signOn_;
  checkArgument(name, "SignOn");
  execCommand(smtpHelo, "HELO " + name, {250});
}

void TSmtpCli::doVrfy() {
  checkArgument(hdrTo_, "HdrTo");
  execCommand(smtpVrfy, "VRFY " + hdrTo_, {250});
}

void TSmtpCli::doMailFrom() {
  checkArgument(fromName_, "FromName");
  execCommand(smtpMailFrom, "MAIL FROM:<" + trim(fromName_) + ">", {250});
}

void TSmtpCli::doRcptTo() {
  if (rcptName_.empty()) throw SmtpException("RcptName list is empty");
  for (const auto& line : rcptName_) checkArgument(line, "RcptName");
  rcptIndex_ = -1;
  rcptNextStep();
}

void TSmtpCli::rcptNextStep() {
  ++rcptIndex_;
  const auto index = static_cast<std::size_t>(rcptIndex_);
  // Earlier recipients that are refused do not stop the sequence: the request
  // ends with the result of the last line.
  Handler done = index + 1 < rcptName_.size() ? &TSmtpCli::rcptDoneStep : nullptr;
  execCommand(smtpRcptTo, "RCPT TO:<" + trim(rcptName_[index]) + ">", {250, 251}, done);
}

void TSmtpCli::rcptDoneStep() {
  setState(smtpInternalReady);
  rcptNextStep();
}

void TSmtpCli::doQuit() {
  checkReady();
  if (!connected_) {
    if (!highLevel_) requestType_ = smtpQuit;
    requestDone_ = false;
    triggerRequestDone(0);
    return;
  }
  execCommand(smtpQuit, "QUIT", {221});
}

void TSmtpCli::doRset() {
  execCommand(smtpRset, "RSET", {250});
}

// ---- Socket events -------------------------------------------------------

void TSmtpCli::onLookupDone(std::uint16_t error) {
  if (state_ != smtpDnsLookup && state_ != smtpAbort) return;
  if (error != 0) {
    setNetworkFailure(error);
    triggerRequestDone(error);
    return;
  }
  if (state_ != smtpDnsLookup) return;
  socket_.setAddr(socket_.DnsResult());
  socket_.setProto("tcp");
  socket_.setPort(port_);
  socket_.OnSessionConnected = [this](TWSocket&, std::uint16_t e) { onSocketConnected(e); };
  socket_.OnDataAvailable = [this](TWSocket&, std::uint16_t e) { onSocketData(e); };
  setState(smtpConnecting);
  if (inLookupCall_) {
    // Inside Connect()/Open(): a socket error reaches the caller.
    try {
      socket_.Connect();
    } catch (...) {
      setState(smtpReady);
      requestDone_ = true;
      throw;
    }
    return;
  }
  try {
    socket_.Connect();
  } catch (const std::exception&) {
    // The lookup finished later from the loop: nobody can catch this, so the
    // request ends with the socket's error.
    const int code = socket_.LastError() != 0 ? socket_.LastError() : WSAEINVAL;
    setConnectFailure(code);
    triggerRequestDone(code);
  }
}

void TSmtpCli::onSocketConnected(std::uint16_t error) {
  if (state_ != smtpConnecting) return;
  if (error != 0) {
    setConnectFailure(error);
    connected_ = false;
    triggerRequestDone(error);
    socket_.Close();
    setState(smtpReady);
    return;
  }
  connected_ = true;
  SocketAddress local;
  if (socket_.GetSockName(local) == 0) localAddress_ = local.ip();
  setState(smtpWaitingBanner);
}

void TSmtpCli::onSocketClosed(std::uint16_t) {
  connected_ = false;
  triggerRequestDone(WSAEINTR);
}

void TSmtpCli::onSocketData(std::uint16_t) {
  const std::size_t space = reply_.freeSpace();
  if (space == 0) {
    // Only after an over-long line, while the connection is being given up:
    // drain so the socket does not report the same bytes again.
    char scratch[1024];
    socket_.Receive(scratch, sizeof scratch);
    return;
  }
  const int n = socket_.Receive(reply_.writePtr(), static_cast<int>(space));
  if (n <= 0) return;
  reply_.commit(static_cast<std::size_t>(n));
  std::string line;
  for (;;) {
    const auto status = reply_.Next(line);
    if (status == SmtpReplyAssembler::Status::NeedMore) return;
    if (status == SmtpReplyAssembler::Status::Overflow) {
      giveUpConnection(500, "500 Reply line too long (no CRLF within " +
                                std::to_string(SmtpReplyAssembler::kBufferSize) + " bytes)");
      return;
    }
    if (!handleLine(line)) return;
  }
}

void TSmtpCli::giveUpConnection(int error, const std::string& response) {
  lastResponse_ = response;
  statusCode_ = 500;
  noteFailure(response);
  requestResult_ = error;
  triggerRequestDone(error);
  socket_.Abort();
  connected_ = false;
}

bool TSmtpCli::handleLine(const std::string& rawLine) {
  std::weak_ptr<int> alive = life_;
  const SmtpReplyCode code = readSmtpReplyCode(rawLine);
  // A reply that never ends (an endless multi-line reply) would hold the
  // request forever: past kMaxReplyLines lines or kMaxReplyBytes bytes the
  // connection is given up.
  ++replyLines_;
  replyBytes_ += rawLine.size() + 2;
  if (replyLines_ > kMaxReplyLines || replyBytes_ > kMaxReplyBytes) {
    replyLines_ = 0;
    replyBytes_ = 0;
    giveUpConnection(500, "500 Reply too long (more than " + std::to_string(kMaxReplyLines) +
                              " lines or " + std::to_string(kMaxReplyBytes / 1024) + " KiB)");
    return false;
  }
  if (!code.valid || !code.continuation) {
    replyLines_ = 0;
    replyBytes_ = 0;
  }
  const std::string line = sanitizeSmtpLine(rawLine);
  lastResponse_ = line;
  statusCode_ = code.valid ? code.code : 500;
  if (OnResponse) {
    OnResponse(*this, line);
    if (alive.expired()) return false;
  }
  if (state_ == smtpWaitingResponse) {
    replyStep(line, code);
    return !alive.expired() && connected_;
  }
  if (OnDisplay) {
    OnDisplay(*this, "< " + line);
    if (alive.expired()) return false;
  }
  if (state_ != smtpWaitingBanner) return true;  // unsolicited: shown only
  if (!code.valid) {
    // Not a reply: give up the connection; the request fails with 500.
    requestResult_ = 500;
    noteFailure(line);
    triggerRequestDone(500);
    socket_.Close();
    return false;
  }
  if (code.continuation) return true;
  if (code.code == 220) {
    setState(smtpConnected);
    triggerRequestDone(0);
    return !alive.expired() && connected_;
  }
  requestResult_ = code.code;
  noteFailure(line);
  socket_.Close();  // the close ends the request with 10004
  return false;
}

void TSmtpCli::replyStep(const std::string& line, const SmtpReplyCode& code) {
  std::weak_ptr<int> alive = life_;
  if (OnDisplay) {
    OnDisplay(*this, "< " + line);
    if (alive.expired()) return;
  }
  if (!code.valid) {
    requestResult_ = 500;
    noteFailure(line);
    doneStep_ = nullptr;
    triggerRequestDone(500);
    return;
  }
  if (code.continuation) return;
  const int result = accepted_.Result(code.code);
  requestResult_ = result;
  if (result != 0) noteFailure(line);
  if (doneStep_ != nullptr) {
    Handler step = doneStep_;
    doneStep_ = nullptr;
    (this->*step)();
  } else {
    triggerRequestDone(result);
  }
}

// ---- Message sending -----------------------------------------------------

void TSmtpCli::prepareMessage() {
  checkArgument(hdrFrom_, "HdrFrom");
  checkArgument(hdrTo_, "HdrTo");
  checkArgument(hdrSubject_, "HdrSubject");
  checkArgument(charSet_, "CharSet");
  attachments_.clear();
  for (const auto& file : emailFiles_) {
    std::ifstream in(file, std::ios::binary);
    if (!in) throw SmtpException("File not found '" + file + "'");
    attachments_.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  const std::tm now = localNow();
  headerLines_ = {"From: " + hdrFrom_,
                  "To: " + hdrTo_,
                  "Subject: " + hdrSubject_,
                  "Mime-Version: 1.0",
                  "Content-Type: " + contentTypeText_ + "; charset=\"" + charSet_ + "\"",
                  "Date: " + dateHeaderValue(now)};
  boundary_.clear();
  if (!emailFiles_.empty()) {
    boundary_ = "= Multipart Boundary " + twoDigits(now.tm_mon + 1) + twoDigits(now.tm_mday) +
                twoDigits(now.tm_year % 100) + twoDigits(now.tm_hour) + twoDigits(now.tm_min);
    for (auto& line : headerLines_) {
      if (startsWithNoCase(line, "CONTENT-TYPE:")) {
        line = "Content-Type: multipart/mixed;\r\n\tboundary=\"" + boundary_ + "\"";
      }
    }
  }
  if (OnProcessHeader) OnProcessHeader(*this, headerLines_);
  headerLines_.emplace_back();
}

void TSmtpCli::doData() {
  prepareMessage();
  execCommand(smtpData, "DATA", {354}, &TSmtpCli::dataAfterGoAhead);
}

void TSmtpCli::dataAfterGoAhead() {
  if (requestResult_ != 0) {
    triggerRequestDone(requestResult_);
    return;
  }
  setState(smtpInternalReady);  // lines arriving meanwhile are only shown
  dataPhase_ = DataPhase::kHeader;
  headerIndex_ = 0;
  pendingLines_.clear();
  pendingIndex_ = 0;
  bodyLineNumber_ = 0;
  moreBody_ = true;
  attachmentIndex_ = 0;
  socket_.OnDataSent = [this](TWSocket&, std::uint16_t) { dataSendNext(); };
  dataSendNext();
}

void TSmtpCli::dataSendNext() {
  if (state_ != smtpInternalReady || !connected_) return;
  std::string line;
  if (nextMessageLine(line)) {
    sendMessageLine(line);
    return;
  }
  socket_.OnDataSent = nullptr;
  execCommand(smtpData, ".", {250});
}

void TSmtpCli::sendMessageLine(const std::string& line) {
  std::weak_ptr<int> alive = life_;
  if (OnDisplay) {
    OnDisplay(*this, "> " + line);
    if (alive.expired()) return;
  }
  std::string wire;
  wire.reserve(line.size() + 3);
  if (!line.empty() && line[0] == '.') wire += '.';
  wire += line;
  wire += "\r\n";
  if (socket_.state() == wsConnected) socket_.SendStr(wire);
}

bool TSmtpCli::nextMessageLine(std::string& line) {
  for (;;) {
    if (pendingIndex_ < pendingLines_.size()) {
      line = std::move(pendingLines_[pendingIndex_++]);
      return true;
    }
    pendingLines_.clear();
    pendingIndex_ = 0;
    switch (dataPhase_) {
      case DataPhase::kHeader:
        if (headerIndex_ < headerLines_.size()) {
          line = headerLines_[headerIndex_++];
          if (OnHeaderLine && !line.empty()) {
            std::vector<char> buffer(std::max<std::size_t>(line.size() + 1, kMaxBodyLine + 1), 0);
            std::memcpy(buffer.data(), line.data(), line.size());
            OnHeaderLine(*this, buffer.data(), static_cast<int>(buffer.size()));
            buffer.back() = '\0';
            line.assign(buffer.data(), std::strlen(buffer.data()));
          }
          return true;
        }
        dataPhase_ = DataPhase::kBody;
        if (!boundary_.empty()) {
          pendingLines_ = {"This is a multipart MIME message.",
                           "",
                           "--" + boundary_,
                           "Content-Type: " + contentTypeText_ + "; charset=\"" + charSet_ + "\"",
                           "Content-Transfer-Encoding: 7bit",
                           ""};
        }
        continue;
      case DataPhase::kBody:
        if (moreBody_ && OnGetData) {
          char buffer[kMaxBodyLine + 1] = {};
          bool more = true;
          OnGetData(*this, ++bodyLineNumber_, buffer, kMaxBodyLine, more);
          if (more) {
            buffer[kMaxBodyLine] = '\0';
            splitLines(std::string(buffer, std::strlen(buffer)), pendingLines_);
            continue;
          }
        }
        moreBody_ = false;
        if (boundary_.empty()) {
          dataPhase_ = DataPhase::kEnd;
        } else {
          dataPhase_ = DataPhase::kAttachments;
          pendingLines_.emplace_back();
        }
        continue;
      case DataPhase::kAttachments:
        if (attachmentIndex_ < attachments_.size()) {
          const std::string name = baseName(emailFiles_[attachmentIndex_]);
          pendingLines_ = {"--" + boundary_,
                           "Content-Type: application/octet-stream;",
                           "\tname=\"" + name + "\"",
                           "Content-Transfer-Encoding: base64",
                           "Content-Disposition: attachment;",
                           "\tfilename=\"" + name + "\"",
                           ""};
          for (auto& l : base64Lines(attachments_[attachmentIndex_])) {
            pendingLines_.push_back(std::move(l));
          }
          pendingLines_.emplace_back();
          ++attachmentIndex_;
          continue;
        }
        pendingLines_.push_back("--" + boundary_ + "--");
        dataPhase_ = DataPhase::kEnd;
        continue;
      case DataPhase::kEnd:
        return false;
    }
  }
}

}  // namespace orvane::net
