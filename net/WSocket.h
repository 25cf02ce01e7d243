// TWSocket: the program's one transport, an event-driven IPv4 or IPv6 socket
// (TCP or UDP) that never blocks the event-loop thread on network input or
// output.
//
// Ownership: a TWSocket owns its non-blocking BSD socket, the loop handle that
// watches it (IoWatcher), its queued outgoing data (TBuffer blocks), the bytes
// held by line mode (LineFramer), a SOCKS negotiation (SocksCodec) and a
// pending host-name lookup. It does not own the EventLoop, which must outlive
// it. Thread: every call and every event happens on the loop thread; host-name
// lookups run on libuv's worker pool and complete on the loop thread.
//
// Events are std::function members; assign them before use. They are raised
// from the loop (readiness, lookups, posted notices) except where noted:
// OnChangeState on every state assignment, OnSessionConnected(0) inside
// Connect() for UDP, OnDnsLookupDone(0) inside DnsLookup() for a numeric
// address, OnDnsLookupDone(10004) inside CancelDnsLookup(), OnSessionClosed
// inside Close()/Abort(), OnError wherever an error is reported. OnDataSent is
// never raised inside Send(): it always arrives later from the loop.
//
// Errors: failures are reported through OnError when it is assigned
// (LastError() then holds the Windows Sockets code and the operation
// returns), otherwise by throwing ESocketException with the message. The
// resolution functions and localHostName() always throw. An exception escaping
// a handler that the loop ran goes to OnBgException; unless that handler
// clears CanClose, the socket is then aborted. No exception ever reaches the
// loop.
//
// Reuse: every close restores the defaults (AssignDefaultValue): Addr and
// port texts are kept but must be assigned again (proto back to "tcp",
// LocalPort "0", linger on with 0 seconds) before the next Connect().
// LocalAddr and the SOCKS settings are kept.
//
// Addresses: Addr may be a dotted IPv4 address, an IPv6 address ("::1",
// "2001:db8::25", also in brackets) or a host name (resolved to IPv4 by a
// blocking lookup: use DnsLookup() first). The family of the socket follows
// the address. IPv6 sockets are IPv6-only: an IPv4-mapped address
// ("::ffff:192.0.2.1") is not reached through them (10051).
//
// Unreachable networks: a connect the system refuses at once ("network
// unreachable" 10051, "no route to host" 10065, refused 10061, ...) is
// reported by OnSessionConnected(code) from the loop right away, like any
// other failed connect, never after a time-out.
//
// A handler may destroy the socket it was called from, as its last action
// (the handler's own captures are destroyed with the socket); the socket
// notices and touches nothing afterwards.
//
// The implementation is split by concern: WSocket.cpp (setup, properties,
// connect, close), WSocketReceive.cpp (readiness dispatch, reading, line
// mode), WSocketSend.cpp, WSocketServer.cpp (Listen, Accept, Dup),
// WSocketLookup.cpp (DnsLookup and its kin) and WSocketSocks.cpp; the byte
// work of line mode and SOCKS is in LineFramer and SocksCodec, name
// resolution in WSocketResolve.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "net/Buffer.h"
#include "net/EventLoop.h"
#include "net/LineFramer.h"
#include "net/SocketAddress.h"
#include "net/SocksCodec.h"
#include "net/WSocketErrors.h"
#include "net/WSocketResolve.h"

namespace orvane::net {

enum TSocketState : std::uint8_t {
  wsInvalidState = 0,  // never entered
  wsOpened = 1,
  wsBound = 2,
  wsConnecting = 3,
  wsConnected = 4,
  wsAccepting = 5,  // never entered
  wsListening = 6,
  wsClosed = 7,
};

enum TSocketSendFlags : int {
  wsSendNormal = 0,
  wsSendUrgent = 1,  // sends as out-of-band data
};

enum TSocketLingerOnOff : int {
  wsLingerOff = 0,
  wsLingerOn = 1,
  wsLingerNoSet = 2,
};

class TWSocket;

using TNotifyEvent = std::function<void(TWSocket& Sender)>;
// Error: 0, or the Windows Sockets code of the failure.
using TSessionEvent = std::function<void(TWSocket& Sender, std::uint16_t Error)>;
using TChangeStateEvent =
    std::function<void(TWSocket& Sender, TSocketState OldState, TSocketState NewState)>;
// E: the exception that escaped a handler (exceptions that are not
// std::exception arrive as std::runtime_error("unknown exception")).
// CanClose starts true; leave it true to have the socket aborted.
using TBgExceptionEvent =
    std::function<void(TWSocket& Sender, const std::exception& E, bool& CanClose)>;
using TSocksErrorEvent = std::function<void(TWSocket& Sender, int Error, const std::string& Msg)>;
using TSocksAuthStateEvent = std::function<void(TWSocket& Sender, TSocksAuthState AuthState)>;

class TWSocket final {
 public:
  // Outgoing block size.
  static constexpr int kSendBlockSize = TBuffer::kDefaultSize;

  explicit TWSocket(EventLoop& loop);
  // Cancels a pending lookup and closes an open socket; no event is raised.
  ~TWSocket();
  TWSocket(const TWSocket&) = delete;
  TWSocket& operator=(const TWSocket&) = delete;

  EventLoop& Loop() const noexcept { return loop_; }

  // ---- Events -----------------------------------------------------------
  TSessionEvent OnSessionConnected;  // connect finished (0) or failed (code)
  // Data can be read. Raised again while data stays queued and the handler
  // keeps reading; a handler that reads nothing is not called again until
  // the next Receive*() call or new readiness, so it cannot freeze the loop.
  TSessionEvent OnDataAvailable;
  TSessionEvent OnDataSent;          // the send buffers have become empty
  TSessionEvent OnSessionClosed;     // at most once per connection
  TSessionEvent OnSessionAvailable;  // a listening socket has a connection
  TSessionEvent OnDnsLookupDone;     // DnsLookup / ReverseDnsLookup finished
  TChangeStateEvent OnChangeState;   // every state assignment, even unchanged
  TNotifyEvent OnError;              // replaces throwing; see LastError()
  TBgExceptionEvent OnBgException;
  // Raised when line mode holds lineLimit() bytes without a LineEnd; the held
  // bytes are then delivered as one line so that nothing is lost.
  TNotifyEvent OnLineTooLong;
  TSessionEvent OnSocksConnected;
  TSocksErrorEvent OnSocksError;
  TSocksAuthStateEvent OnSocksAuthState;

  // ---- Properties -------------------------------------------------------
  // The setters of Addr, port, proto and LocalPort work only while the state
  // is wsClosed ("Cannot change Addr if not closed", ...). They trim; empty
  // means unassigned; a new value clears the resolved flag.
  const std::string& Addr() const noexcept { return addrStr_; }
  void setAddr(const std::string& value);
  const std::string& port() const noexcept { return portStr_; }
  void setPort(const std::string& value);
  const std::string& proto() const noexcept { return protoStr_; }
  void setProto(const std::string& value);
  const std::string& LocalPort() const noexcept { return localPortStr_; }
  void setLocalPort(const std::string& value);
  // The local (source) address a TCP connection is bound to before it
  // connects: a numeric IPv4 or IPv6 address of this machine, of the same
  // family as the remote address; empty (the default): chosen by the system.
  // Changeable only while closed ("Cannot change LocalAddr if not closed");
  // kept across closes. Connect() reports a bad one as a bind failure:
  // "winsock.bind failed, error #10049 (local address X is not an address of
  // this machine)", #10047 for a family other than the remote address's, and
  // "Invalid LocalAddr 'X'" (no code) for a text that is not an address; the
  // socket is then closed again (no OnSessionClosed), ready for the next
  // Connect().
  const std::string& LocalAddr() const noexcept { return localAddrStr_; }
  void setLocalAddr(const std::string& value);
  // The address Connect() or Listen() resolved for Addr:port (through a SOCKS
  // server: the server's); empty before.
  const SocketAddress& remoteAddress() const noexcept { return remote_; }

  // First address (dotted IPv4, or IPv6 text) or host name after a reverse
  // lookup, of the last lookup, and all of them in the order the resolver
  // gave.
  const std::string& DnsResult() const noexcept { return dnsResult_; }
  const std::vector<std::string>& DnsResultList() const noexcept { return dnsResultList_; }

  TSocketState state() const noexcept { return state_; }
  // Total bytes received through Receive/ReceiveStr/ReceiveFrom since the
  // last close.
  std::int64_t ReadCount() const noexcept { return readCount_; }
  // Bytes waiting in the system's receive queue (for UDP: the size of the next
  // datagram); -1 on failure.
  int Rcvdcount();
  int GetRcvdCount();
  int LastError() const noexcept { return lastError_; }
  // The socket descriptor, -1 when none.
  int hSocket() const noexcept { return hSocket_; }
  // True when nothing is queued for sending.
  bool allSent() const noexcept { return allSent_; }

  bool MultiThreaded() const noexcept { return multiThreaded_; }
  void setMultiThreaded(bool value) noexcept { multiThreaded_ = value; }
  // Seconds Flush() waits for the socket to accept more data (default 60).
  int FlushTimeout() const noexcept { return flushTimeout_; }
  void setFlushTimeout(int value) noexcept { flushTimeout_ = value; }

  // Any value other than wsSendNormal/wsSendUrgent: "Invalid SendFlags".
  TSocketSendFlags SendFlags() const;
  void setSendFlags(TSocketSendFlags value);

  // Linger option, applied to the socket by Connect(), Dup() and Abort():
  // set it before Connect(). The default (on, 0 s) resets the connection on
  // Close(); off lets the system deliver what was sent, then close.
  TSocketLingerOnOff LingerOnOff() const noexcept { return lingerOnOff_; }
  void setLingerOnOff(TSocketLingerOnOff value) noexcept { lingerOnOff_ = value; }
  int LingerTimeout() const noexcept { return lingerTimeout_; }
  void setLingerTimeout(int seconds) noexcept { lingerTimeout_ = seconds; }

  // SOCKS client. With a non-empty SocksServer, Connect() connects there and
  // negotiates the connection to Addr:port before OnSocksConnected and
  // OnSessionConnected. Changeable only while closed.
  const std::string& SocksLevel() const noexcept { return socksLevel_; }  // "4", "4A", "5"
  void setSocksLevel(const std::string& value);
  const std::string& SocksServer() const noexcept { return socksServer_; }
  void setSocksServer(const std::string& value);
  const std::string& SocksPort() const noexcept { return socksPort_; }  // default "1080"
  void setSocksPort(const std::string& value);
  const std::string& SocksUsercode() const noexcept { return socksUsercode_; }
  void setSocksUsercode(const std::string& value);
  const std::string& SocksPassword() const noexcept { return socksPassword_; }
  void setSocksPassword(const std::string& value);
  TSocksAuthentication SocksAuthentication() const noexcept { return socksAuthentication_; }
  void setSocksAuthentication(TSocksAuthentication value);

  // Line mode: OnDataAvailable once per complete line; Receive then returns
  // that line including LineEnd. Changing LineMode re-raises held lines later
  // from the loop.
  bool LineMode() const noexcept { return lineMode_; }
  void setLineMode(bool value);
  const std::string& LineEnd() const noexcept { return lines_.lineEnd(); }  // default "\r\n"
  void setLineEnd(const std::string& value);
  // Most bytes held waiting for a LineEnd (default 65536, at least 1).
  int lineLimit() const noexcept { return lines_.limit(); }
  void setLineLimit(int value) noexcept { lines_.setLimit(value); }

  // ---- Operations -------------------------------------------------------
  // Opens a TCP connection (OnSessionConnected later from the loop) or
  // prepares a UDP endpoint bound to an ephemeral (or LocalPort) port, without
  // connect(); OnSessionConnected(0) then arrives inside Connect(). A
  // non-numeric Addr is resolved by a blocking lookup; use DnsLookup() first.
  void Connect();
  // Queues `len` bytes and starts sending; returns len (0 if len <= 0), or -1
  // with error 10057 reported for "Send" when not wsConnected. UDP: each
  // Send() is one datagram to Addr:port.
  int Send(const void* data, int len);
  int SendStr(std::string_view str);
  // Reads up to `bufferSize` bytes; returns the count (0: the peer closed),
  // or -1 with LastError() set (10035 when nothing is waiting). UDP: one
  // datagram, its source kept in lastFrom().
  int Receive(void* buffer, int bufferSize);
  // Reads everything Rcvdcount() reports (in line mode: the pending line);
  // empty on failure.
  std::string ReceiveStr();
  // Datagram forms. ReceiveFrom fills `from` with the sender.
  int ReceiveFrom(void* buffer, int bufferSize, SocketAddress& from);
  int SendTo(const SocketAddress& dest, const void* data, int len);
  // Source of the last datagram read by Receive/ReceiveStr/ReceiveFrom.
  const SocketAddress& lastFrom() const noexcept { return lastFrom_; }

  // Asynchronous name to IPv4 address lookup through the system's resolver;
  // a dotted IPv4 address or an IPv6 address completes with
  // OnDnsLookupDone(0) before returning, with itself (IPv6 without brackets)
  // as DnsResult(). An empty name reports "DNS lookup: invalid host name."
  // (with OnError assigned, OnDnsLookupDone(10022) follows). A failure ends
  // with 11001 (host not found), 11004 (no data) and similar codes.
  void DnsLookup(const std::string& hostName);
  // Asynchronous address (IPv4 or IPv6) to name lookup through the system's
  // resolver; DnsResult() receives the name.
  void ReverseDnsLookup(const std::string& hostAddr);
  // Cancels a pending lookup and raises OnDnsLookupDone(10004) at once.
  void CancelDnsLookup();
  bool dnsLookupPending() const noexcept { return lookup_ != nullptr; }

  // Orderly close (shutdown of the send direction, then close). With the
  // default linger (on, 0 s) a connected stream is reset at once.
  void Close();
  // Immediate close: cancels a lookup, discards queued data, resets a TCP
  // connection.
  void Abort();
  // Keeps sending until the buffers are empty, the handle is invalid or the
  // socket accepted nothing for FlushTimeout() seconds. Blocks the thread.
  void Flush();
  // Reads and dispatches input until the socket is closed. Blocks the thread.
  void WaitForClose();
  // shutdown() on a valid handle: 0 receive, 1 send, 2 both.
  void Shutdown(int how);
  // Stop / restart event delivery.
  void Pause();
  void Resume();

  // Remote address as text ("192.0.2.1", "2001:db8::1"); "error" when not
  // connected.
  std::string GetPeerAddr();
  // 0, or -1 with the error reported ("GetPeerName" / "GetSockName").
  int GetPeerName(SocketAddress& name);
  int GetSockName(SocketAddress& name);
  // Local port as decimal; "error" unless bound, connected or listening.
  std::string GetXPort();

  // Server side. Listen binds Addr:port (port "0": an ephemeral port, see
  // GetXPort()) and listens (UDP: becomes wsConnected at once). Accept
  // returns a new descriptor (or -1) for Dup() on another TWSocket, which
  // adopts it in state wsConnected.
  void Listen();
  // Length of the pending-connection queue Listen() asks for (default 5).
  int listenBacklog() const noexcept { return listenBacklog_; }
  void setListenBacklog(int value) noexcept { listenBacklog_ = value < 1 ? 1 : value; }
  int Accept();
  void Dup(int newHSocket);

  // Restores the defaults (see the header comment). Run after every close.
  void AssignDefaultValue();

 private:
  struct Lookup;

  static void onPoll(void* context, int status, int events, bool maybeStale);
  static void onLookupDone(uv_getaddrinfo_t* req, int status, addrinfo* res);
  // Releases `lk` and reports the lookup to its socket, if it still waits.
  static void lookupEnded(Lookup* lk, int status, std::vector<std::string> results);
  static void onReverseDone(uv_getnameinfo_t* req, int status, const char* host,
                            const char* service);

  void changeState(TSocketState newState);
  void raiseException(const std::string& msg);
  void socketError(const std::string& fn, int code);
  void handleBgException(std::exception_ptr ex);
  // maybeStale: readiness may be out of date, so check what is queued.
  void processEvents(int events, int status, bool maybeStale);
  void handleConnectEvent(int error);
  void handleWriteEvent(int error);
  void handleCloseEvent(int error);
  // Counts a read call and watches for input again if a handler had left
  // input unread.
  void countReadAndRearm();
  // True when the socket is open and (data, len) is a usable buffer for
  // SendTo/ReceiveFrom; else sets LastError and answers false.
  bool datagramCallFits(const void* data, int len);
  // How long a flush may wait for the peer, in ms (0: not at all).
  int flushTimeoutMs() const noexcept { return flushTimeout_ > 0 ? flushTimeout_ * 1000 : 0; }
  // Flags of every send: never SIGPIPE; urgent data when asked for.
  int sendMsgFlags() const noexcept {
    return MSG_NOSIGNAL | (sendFlags_ == wsSendUrgent ? MSG_OOB : 0);
  }
  void receiveLoop(int error);
  void lineReceiveLoop(int error, bool closing);
  bool readIntoLineBuffer();
  void TryToSend();
  void deleteBufferedData();
  void internalClose(bool shutdown, int error);
  void closeHandleOnly();
  void setLingerOption();
  bool bindSocket();
  void resolveForConnect();
  // A non-blocking socket of the remote address's family; -1 on failure.
  int openSocketHandle();
  // The remote address of Addr:port (IPv6 literal, dotted IPv4, or a name
  // looked up by a blocking call); throws ESocketException.
  static SocketAddress resolveRemote(const std::string& addr, std::uint16_t port);
  void startPoll();
  void updatePoll();
  void stopPoll();
  void postWriteNotice();
  void postLineRetrigger();
  bool beginLookup(const std::string& text);
  // Keeps `lk` as the lookup in progress when libuv took it (uvResult 0),
  // else frees it and raises the error.
  void startedLookup(Lookup* lk, const std::string& text, int uvResult);
  void finishLookup(int error, std::vector<std::string> results);
  int pendingSocketError();
  int queuedBytes(bool& failed);
  void closeWithSocketError(int code);
  template <class F>
  void fromLoop(F&& f);

  // SOCKS negotiation. routeThroughSocks points a connect at the SOCKS
  // server; false when refused (reported).
  bool routeThroughSocks();
  void socksStart();
  void socksOnData();
  void applySocksStep(const SocksCodec::Step& step);
  void socksFail(int error, const std::string& msg);
  void socksDone();
  // Stores Addr, Port or Proto: only while closed, trimmed, and resolved again
  // at the next connect unless the text is unchanged.
  void setEndpointText(const char* what, const std::string& value, std::string& text,
                       bool& assigned, bool& resolved);
  void socksSend(const std::string& bytes);

  EventLoop& loop_;
  std::shared_ptr<int> life_;  // expires when the socket is destroyed

  // Remote address.
  std::string addrStr_;
  bool addrAssigned_ = false;
  bool addrResolved_ = false;
  // Protocol.
  std::string protoStr_ = "tcp";
  int proto_ = IPPROTO_TCP;
  bool protoAssigned_ = true;
  bool protoResolved_ = false;
  int sockType_ = SOCK_STREAM;
  // Remote port.
  std::string portStr_;
  bool portAssigned_ = false;
  bool portResolved_ = false;
  std::uint16_t portNum_ = 0;
  // Local port.
  std::string localPortStr_ = "0";
  bool localPortResolved_ = false;
  std::uint16_t localPortNum_ = 0;
  std::string localAddrStr_;
  SocketAddress remote_;
  SocketAddress lastFrom_;

  std::string dnsResult_;
  std::vector<std::string> dnsResultList_;
  Lookup* lookup_ = nullptr;

  std::deque<std::unique_ptr<TBuffer>> bufList_;
  int bufSize_ = kSendBlockSize;
  int sendFlags_ = wsSendNormal;
  int lastError_ = 0;

  int hSocket_ = -1;
  IoWatcher poll_;
  bool readSuspended_ = false;  // handler left input unread; re-armed by a read
  std::uint64_t rcvCalls_ = 0;  // Receive*/Accept calls, to see handler progress
  // rcvCalls_ at the last stream read that returned less than asked: the
  // system's queue was empty then, so nobody needs to ask how much is left.
  std::uint64_t drainedAtCall_ = 0;
  std::uint64_t connId_ = 0;  // changes at every close; stale notices are dropped
  int listenBacklog_ = 5;

  TSocketLingerOnOff lingerOnOff_ = wsLingerOn;
  int lingerTimeout_ = 0;
  bool allSent_ = true;
  std::int64_t readCount_ = 0;
  bool paused_ = false;
  bool closeInvoked_ = false;
  bool destroying_ = false;
  int flushTimeout_ = 60;
  bool multiThreaded_ = false;
  TSocketState state_ = wsClosed;

  // SOCKS.
  std::string socksLevel_ = "5";
  std::string socksServer_;
  std::string socksPort_ = "1080";
  std::string socksUsercode_;
  std::string socksPassword_;
  TSocksAuthentication socksAuthentication_ = socksNoAuthentication;
  bool socksActive_ = false;  // this connection goes through the SOCKS server
  SocksCodec socks_;
  std::string socksDestAddr_;  // Addr as given, for the negotiation
  std::uint16_t socksDestPort_ = 0;

  // Line mode; also holds bytes left over when line mode is turned off.
  bool lineMode_ = false;
  LineFramer lines_;
  bool lineRetriggerPosted_ = false;
};

}  // namespace orvane::net
