// TSmtpCli: the client side of an SMTP dialogue over one TCP TWSocket.
//
// Ownership: a TSmtpCli owns its socket, its 4096-byte reply buffer and the
// state of the request in progress. It does not own the EventLoop, which must
// outlive it. Thread: every call and every event happens on the loop thread;
// nothing blocks.
//
// Requests. Every protocol step is a request: Connect (wait for the greeting),
// Helo, Vrfy, MailFrom, RcptTo, Data, Quit, Rset, and the two high-level
// requests Open (Connect then Helo) and Mail (MailFrom, RcptTo, Data). A
// request may start only while State() is smtpReady or smtpInternalReady
// ("SMTP component not ready"); the command requests also need Connected()
// ("SMTP component not connected"). Misuse throws SmtpException at once, in
// the calling code, and then nothing is sent and no completion follows.
//
// Completion. Every request that started ends exactly once with
// OnRequestDone(Sender, RqType, Error). The notice is posted to the loop and
// is never raised inside the call that caused it, so a handler may start the
// next request at once. RqType is the request type current when the notice is
// raised (Open reports smtpConnect, Mail reports smtpMail). Error is:
//   0      the request succeeded (every reply code was accepted);
//   a reply code (e.g. 550): refused; ErrorMessage() holds that reply line;
//   500    a reply line without a valid three-digit code, or a reply line
//          longer than the reply buffer (the connection is then closed);
//   a Windows Sockets code: the host lookup (11001, ...) or the connection
//          (10061, 10060, ...) failed; LastResponse() and ErrorMessage() then
//          hold "500 <description> (Winsock error #<code>)";
//   10004  the connection closed while the request was pending (server
//          close, a greeting other than 220, or Abort()).
//
// Late notices. Abort() returns with the client idle (not connected,
// smtpReady), but the aborted request's OnRequestDone still arrives later from
// the loop. Every request started by the caller gets a new requestId(); while
// OnRequestDone runs, doneRequestId() tells which request it reports, so an
// owner can drop the notice of a request it has already given up.
//
// Source address and proxy. LocalAddr binds the connection to one local IPv4
// or IPv6 address; with SocksServer set, the connection goes through that
// SOCKS proxy (SocksLevel "5", "4A" or "4"; user name and password for
// SOCKS 5 when SocksUsercode is not empty), which connects on to Host:Port.
// Both are applied to the socket at every Connect/Open. Failures:
//   LocalAddr not an address of this machine: Connect()/Open() throw
//     ESocketException "winsock.bind failed, error #10049 (local address X
//     is not an address of this machine)" when Host is numeric; after a
//     host-name lookup the request ends with 10049 and "500 local address X
//     is not an address of this machine (Winsock error #10049)";
//   the proxy cannot be reached: the request ends with the Windows Sockets
//     code (10061, 10051, ...) and "500 proxy H:P cannot be reached:
//     Connection refused (Winsock error #10061)";
//   the proxy refuses (a SOCKS reply other than success, authentication
//     wanted or refused, a broken negotiation): the request ends with the
//     socks* code (20001..20017, SocksCodec.h) and "500 proxy H:P refused
//     the connection (SOCKS reply 5: connection refused)", "(SOCKS: the
//     proxy requires a user name and password)", "(SOCKS: user name or
//     password refused)", ...
// In these cases proxyFailure() is true while the request's OnRequestDone
// runs and until the next request. The password never appears in any text
// the client gives out.
//
// Command arguments (SignOn, FromName, each RcptName line, HdrTo, and the
// header values used by Data) must not hold CR, LF or NUL: a request that
// would send such a text throws SmtpException before anything is sent.
// Control bytes in reply lines are shown as "?" in OnResponse, OnDisplay,
// LastResponse and ErrorMessage.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "net/EventLoop.h"
#include "net/SmtpReply.h"
#include "net/WSocket.h"

namespace orvane::net {

class SmtpException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum TSmtpRequest : std::uint8_t {
  smtpConnect = 0,
  smtpHelo = 1,
  smtpMailFrom = 2,
  smtpVrfy = 3,
  smtpRcptTo = 4,
  smtpData = 5,
  smtpQuit = 6,
  smtpRset = 7,
  smtpOpen = 8,  // reported as smtpConnect
  smtpMail = 9,
};

enum TSmtpState : std::uint8_t {
  smtpReady = 0,
  smtpDnsLookup = 1,
  smtpConnecting = 2,
  smtpConnected = 3,
  smtpInternalReady = 4,
  smtpWaitingBanner = 5,
  smtpWaitingResponse = 6,
  smtpAbort = 7,
};

enum TSmtpContentType : std::uint8_t {
  smtpHTML = 0,
  smtpPlainText = 1,
};

class TSmtpCli;

using TSmtpRequestDone =
    std::function<void(TSmtpCli& Sender, TSmtpRequest RqType, std::uint16_t Error)>;
using TSmtpDisplay = std::function<void(TSmtpCli& Sender, const std::string& Msg)>;
// Fills MsgLine (room for MaxLen characters and a terminating NUL) with body
// line LineNum (from 1); sets More to false to end the body.
using TSmtpGetData =
    std::function<void(TSmtpCli& Sender, int LineNum, char* MsgLine, int MaxLen, bool& More)>;
// Msg holds one generated header line (NUL-terminated, room for Size bytes);
// the handler may change it in place.
using TSmtpHeaderLine = std::function<void(TSmtpCli& Sender, char* Msg, int Size)>;
using TSmtpProcessHeader =
    std::function<void(TSmtpCli& Sender, std::vector<std::string>& HdrLines)>;

class TSmtpCli final {
 public:
  // The longest reply taken: more lines or bytes end the request with 500
  // and close the connection.
  static constexpr std::size_t kMaxReplyLines = 100;
  static constexpr std::size_t kMaxReplyBytes = 64 * 1024;

  // Body lines from OnGetData have room for this many characters.
  static constexpr int kMaxBodyLine = 1023;

  explicit TSmtpCli(EventLoop& loop);
  // Closes the connection; no event is raised and pending notices are dropped.
  ~TSmtpCli();
  TSmtpCli(const TSmtpCli&) = delete;
  TSmtpCli& operator=(const TSmtpCli&) = delete;

  // ---- Events -----------------------------------------------------------
  TSmtpRequestDone OnRequestDone;      // once per request, always from the loop
  TSmtpDisplay OnCommand;              // every command, before it is sent (no "\r\n")
  TSmtpDisplay OnResponse;             // every complete reply line, greeting included
  TSmtpDisplay OnDisplay;              // "> " + command / message line, "< " + reply line
  TSmtpGetData OnGetData;              // body lines (Data only)
  TSmtpHeaderLine OnHeaderLine;        // each generated header line (Data only)
  TSmtpProcessHeader OnProcessHeader;  // the generated header, once (Data only)

  // ---- Properties -------------------------------------------------------
  // The server: a host name (looked up through the system's resolver), a
  // dotted IPv4 address or an IPv6 address ("2001:db8::25", no brackets
  // needed), both used as they stand.
  const std::string& Host() const noexcept { return host_; }
  void setHost(const std::string& value) { host_ = value; }
  // Service name or decimal port (default "smtp", port 25).
  const std::string& Port() const noexcept { return port_; }
  void setPort(const std::string& value) { port_ = value; }
  // HELO argument; empty: the local host name.
  const std::string& SignOn() const noexcept { return signOn_; }
  void setSignOn(const std::string& value) { signOn_ = value; }
  // MAIL FROM address, without angle brackets (trimmed when sent).
  const std::string& FromName() const noexcept { return fromName_; }
  void setFromName(const std::string& value) { fromName_ = value; }
  // RCPT TO addresses, one per line; setting copies the lines.
  const std::vector<std::string>& RcptName() const noexcept { return rcptName_; }
  void setRcptName(const std::vector<std::string>& value) { rcptName_ = value; }
  const std::string& HdrFrom() const noexcept { return hdrFrom_; }
  void setHdrFrom(const std::string& value) { hdrFrom_ = value; }
  // Message "To:" header and the Vrfy argument.
  const std::string& HdrTo() const noexcept { return hdrTo_; }
  void setHdrTo(const std::string& value) { hdrTo_ = value; }
  const std::string& HdrSubject() const noexcept { return hdrSubject_; }
  void setHdrSubject(const std::string& value) { hdrSubject_ = value; }
  const std::string& CharSet() const noexcept { return charSet_; }  // "iso-8859-1"
  void setCharSet(const std::string& value) { charSet_ = value; }
  TSmtpContentType ContentType() const noexcept { return contentType_; }
  void setContentType(TSmtpContentType value);
  // Attachment files. Setting keeps the trimmed non-empty names and throws
  // SmtpException "File not found '<name>'" for a file that does not exist.
  const std::vector<std::string>& EmailFiles() const noexcept { return emailFiles_; }
  void setEmailFiles(const std::vector<std::string>& value);
  int Tag() const noexcept { return tag_; }
  void setTag(int value) noexcept { tag_ = value; }
  // Local (source) address of the connection: a numeric IPv4 or IPv6 address
  // of this machine, of the family of the address connected to; empty (the
  // default): chosen by the system.
  const std::string& LocalAddr() const noexcept { return localAddr_; }
  void setLocalAddr(const std::string& value) { localAddr_ = value; }
  // SOCKS proxy: server address (empty, the default: connect directly) and
  // port (default "1080"), level ("5" by default, "4A" or "4"), user name
  // and password (SOCKS 5 user/password authentication when the user name is
  // not empty). Checked when a connection starts: a bad level throws
  // ESocketException "Invalid socks level. Must be 4, 4A or 5.".
  const std::string& SocksServer() const noexcept { return socksServer_; }
  void setSocksServer(const std::string& value) { socksServer_ = value; }
  const std::string& SocksPort() const noexcept { return socksPort_; }
  void setSocksPort(const std::string& value) { socksPort_ = value; }
  const std::string& SocksLevel() const noexcept { return socksLevel_; }
  void setSocksLevel(const std::string& value) { socksLevel_ = value; }
  const std::string& SocksUsercode() const noexcept { return socksUsercode_; }
  void setSocksUsercode(const std::string& value) { socksUsercode_ = value; }
  void setSocksPassword(const std::string& value) { socksPassword_ = value; }
  // True when the last request ended because of the SOCKS proxy (see the
  // header comment); false otherwise and once a new request starts.
  bool proxyFailure() const noexcept { return proxyFailure_; }
  // The local address ("192.0.2.1", "2001:db8::1") the last connection was
  // made from (through a proxy: the address towards the proxy), kept after it
  // closes; empty until a connection is made and again when Connect starts.
  const std::string& localAddress() const noexcept { return localAddress_; }

  // First failing reply line since the last Open or Mail started.
  const std::string& ErrorMessage() const noexcept { return errorMessage_; }
  // Last reply line received (or the synthesized "500 ..." network failure).
  const std::string& LastResponse() const noexcept { return lastResponse_; }
  // The code at the start of the last reply line (500 for network failures
  // and for lines without a valid code).
  int statusCode() const noexcept { return statusCode_; }
  // True from the accepted TCP connection until the socket closes.
  bool Connected() const noexcept { return connected_; }
  TSmtpState State() const noexcept { return state_; }
  TSmtpRequest requestType() const noexcept { return requestType_; }
  // Number of the last request started by the caller (starts at 0, +1 per
  // request), and, inside OnRequestDone, the number of the request reported.
  std::uint64_t requestId() const noexcept { return requestId_; }
  std::uint64_t doneRequestId() const noexcept { return doneRequestId_; }

  // ---- Requests ---------------------------------------------------------
  void Connect();
  void Helo();
  void Vrfy();
  void MailFrom();
  void RcptTo();
  void Data();
  // While not connected: ends at once with 0 (still reported from the loop).
  void Quit();
  void Rset();
  void Open();
  void Mail();
  // Closes at once. Returns with Connected() false and State() smtpReady; the
  // pending request (if any) ends with 10004, reported later from the loop.
  void Abort();

 private:
  enum Step : unsigned {
    kStepConnect = 1,
    kStepHelo = 2,
    kStepVrfy = 4,
    kStepMailFrom = 8,
    kStepRcptTo = 16,
    kStepData = 32,
    kStepQuit = 64
  };
  using Handler = void (TSmtpCli::*)();

  void checkReady() const;
  void checkConnected() const;
  void beginRequest();
  void setState(TSmtpState state) noexcept { state_ = state; }
  void doConnect();
  void doHelo();
  void doVrfy();
  void doMailFrom();
  void doRcptTo();
  void doData();
  void doQuit();
  void doRset();
  void execCommand(TSmtpRequest request, const std::string& command, SmtpAcceptedCodes accepted,
                   Handler doneStep = nullptr);
  void sendCommand(const std::string& command);
  void triggerRequestDone(int error);
  void nextHighLevelStep();
  void setNetworkFailure(int error);
  // setNetworkFailure for a connection that could not be made, naming the
  // proxy or the local address when one of them is the cause.
  void setConnectFailure(int error);
  std::string proxyName() const;
  void applyConnectionSettings();
  void noteFailure(const std::string& line);

  // Socket events.
  void onLookupDone(std::uint16_t error);
  void onSocketConnected(std::uint16_t error);
  void onSocketData(std::uint16_t error);
  void onSocketClosed(std::uint16_t error);
  void onSocketDataSent(std::uint16_t error);
  bool handleLine(const std::string& rawLine);  // false: stop reading
  void replyStep(const std::string& line, const SmtpReplyCode& code);
  void giveUpConnection(int error, const std::string& response);

  // Message sending.
  void rcptNextStep();
  void rcptDoneStep();
  void prepareMessage();
  void dataAfterGoAhead();
  void dataSendNext();
  bool nextMessageLine(std::string& line);
  void sendMessageLine(const std::string& line);

  EventLoop& loop_;
  std::shared_ptr<int> life_;  // expires when the client is destroyed
  TWSocket socket_;

  std::string host_;
  std::string port_ = "smtp";
  std::string signOn_;
  std::string fromName_;
  std::vector<std::string> rcptName_;
  std::string hdrFrom_, hdrTo_, hdrSubject_;
  std::string charSet_ = "iso-8859-1";
  TSmtpContentType contentType_ = smtpHTML;
  std::string contentTypeText_;
  std::vector<std::string> emailFiles_;
  int tag_ = 0;
  std::string localAddr_;
  std::string socksServer_;
  std::string socksPort_ = "1080";
  std::string socksLevel_ = "5";
  std::string socksUsercode_;
  std::string socksPassword_;
  std::string socksMessage_;  // the SOCKS failure of the connection being made
  std::string localAddress_;
  bool proxyFailure_ = false;

  std::string errorMessage_;
  std::string lastResponse_;
  int statusCode_ = 0;
  std::size_t replyLines_ = 0;  // lines and bytes of the reply being read
  std::size_t replyBytes_ = 0;
  bool connected_ = false;
  TSmtpState state_ = smtpReady;
  TSmtpRequest requestType_ = smtpConnect;
  bool requestDone_ = false;
  int requestResult_ = 0;
  std::uint64_t requestId_ = 0;
  std::uint64_t doneRequestId_ = 0;

  SmtpReplyAssembler reply_;
  SmtpAcceptedCodes accepted_;
  Handler doneStep_ = nullptr;
  Handler nextRequest_ = nullptr;
  unsigned highLevelSteps_ = 0;
  int highLevelResult_ = 0;
  bool highLevel_ = false;
  int rcptIndex_ = -1;
  bool inLookupCall_ = false;  // inside Connect(): socket errors reach the caller

  // Message being sent.
  enum class DataPhase { kHeader, kBody, kAttachments, kEnd };
  DataPhase dataPhase_ = DataPhase::kHeader;
  std::vector<std::string> headerLines_;
  std::size_t headerIndex_ = 0;
  std::vector<std::string> pendingLines_;  // generated lines waiting, in order
  std::size_t pendingIndex_ = 0;
  int bodyLineNumber_ = 0;
  bool moreBody_ = false;
  std::vector<std::string> attachments_;  // file contents, read when Data starts
  std::size_t attachmentIndex_ = 0;
  std::string boundary_;
};

// Standard base64 ("=" padding) of `data`.
std::string base64Encode(std::string_view data);
// The lines of a base64-encoded attachment: 45 input bytes (60 characters)
// per line.
std::vector<std::string> base64Lines(std::string_view data);

}  // namespace orvane::net
