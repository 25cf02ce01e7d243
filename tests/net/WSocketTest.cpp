#include "net/WSocket.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/ScriptedSmtpServer.h"
#include "tests/support/TestHelpers.h"

namespace orvane::net {
namespace {

using orvane::testing::ScriptedSmtpServer;
using orvane::testing::SmtpAction;
using orvane::testing::thrownMessage;
using Texts = std::vector<std::string>;

std::string StateName(TSocketState s) {
  static const char* names[] = {"invalid",   "opened",    "bound",     "connecting",
                                "connected", "accepting", "listening", "closed"};
  return names[s];
}

// Records every event of a socket as text, in order.
struct Recorder {
  Texts log;
  std::string data;
  void Attach(TWSocket& s) {
    s.OnChangeState = [this](TWSocket&, TSocketState o, TSocketState n) {
      log.push_back("state " + StateName(o) + ">" + StateName(n));
    };
    s.OnSessionConnected = [this](TWSocket&, std::uint16_t e) { Add("connected", e); };
    s.OnSessionClosed = [this](TWSocket&, std::uint16_t e) { Add("closed", e); };
    s.OnDataSent = [this](TWSocket&, std::uint16_t e) { Add("sent", e); };
    s.OnDataAvailable = [this](TWSocket& sock, std::uint16_t) { data += sock.ReceiveStr(); };
    s.OnSocksConnected = [this](TWSocket&, std::uint16_t e) { Add("socks connected", e); };
    s.OnSocksError = [this](TWSocket&, int e, const std::string&) { Add("socks error", e); };
    s.OnSocksAuthState = [this](TWSocket&, TSocksAuthState a) { Add("auth", a); };
  }
  void Add(const char* what, int e) { log.push_back(what + (" " + std::to_string(e))); }
  int Count(const std::string& entry) const {
    return static_cast<int>(std::count(log.begin(), log.end(), entry));
  }
};

// The peer's end on plain blocking sockets, for what the scripted server does
// not offer (TCP states, a peer that reads nothing, a close at an exact
// moment). Every call finds its bytes or connection already there.
class RawPeer {
 public:
  RawPeer() {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    EXPECT_EQ(::bind(listener_, reinterpret_cast<sockaddr*>(&a), len), 0);
    EXPECT_EQ(::listen(listener_, 4), 0);
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
  }
  ~RawPeer() {
    ::close(listener_);
    if (conn_ >= 0) ::close(conn_);
  }
  int port() const { return port_; }
  void accept() {
    conn_ = ::accept(listener_, nullptr, nullptr);
    const timeval bound{5, 0};  // a read that should end at once, but not forever
    ::setsockopt(conn_, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
  }
  void send(const std::string& bytes) { ::send(conn_, bytes.data(), bytes.size(), MSG_NOSIGNAL); }
  void closeWrite() { ::shutdown(conn_, SHUT_WR); }
  void reset() {  // linger 0: the close sends a reset
    const linger now{1, 0};
    ::setsockopt(conn_, SOL_SOCKET, SO_LINGER, &now, sizeof now);
    ::close(conn_);
    conn_ = -1;
  }
  // What arrives until the end of the stream (or a reset).
  std::string readToEnd() {
    std::string out;
    char buf[4096];
    for (ssize_t n; (n = ::recv(conn_, buf, sizeof buf, 0)) > 0;) out.append(buf, size_t(n));
    return out;
  }
  int tcpState() const {  // the kernel's TCP state of the peer's end
    tcp_info info{};
    socklen_t len = sizeof info;
    return ::getsockopt(conn_, IPPROTO_TCP, TCP_INFO, &info, &len) == 0 ? info.tcpi_state : -1;
  }

 private:
  int listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
  int conn_ = -1;
  int port_ = 0;
};

void Prepare(TWSocket& s, int port, const char* proto = "tcp") {
  s.SetProto(proto);
  s.SetAddr("127.0.0.1");
  s.SetPort(std::to_string(port));
}

class WSocketTest : public ::testing::Test {
 protected:
  bool Run(const std::function<bool()>& done) { return loop.runUntil(done, 5000); }
  // Lets the loop turn for `ms` milliseconds (a bounded wait for something
  // that must NOT happen).
  void Spin(std::uint64_t ms) {
    loop.runUntil([] { return false; }, ms);
  }
  void ConnectTo(RawPeer& peer, TWSocket& s) {
    Prepare(s, peer.port());
    s.Connect();
    ASSERT_TRUE(Run([&] { return s.state() == wsConnected; }));
    peer.accept();
  }
  // Connects `s` to the scripted server, which greets with `greeting`.
  void Greeted(TWSocket& s, SmtpAction greeting) {
    server.setGreeting(std::move(greeting));
    Prepare(s, server.port());
    s.Connect();
  }
  EventLoop loop;
  ScriptedSmtpServer server{loop};
};

TEST(WSocketErrors, FailuresNeverMapOntoSuccess) {
  EXPECT_EQ(WSocketErrorFromErrno(0), 0);
  for (int e = 1; e < 134; ++e) EXPECT_NE(WSocketErrorFromErrno(e), 0) << e;
  for (int e : {EAI_NONAME, EAI_AGAIN, EAI_FAIL, -12345}) EXPECT_NE(WSocketErrorFromGai(e), 0);
  // libuv's resolver codes are not errno values.
  EXPECT_EQ(WSocketErrorFromUv(UV_EAI_NODATA), 11004);
  EXPECT_EQ(WSocketErrorFromUv(UV_ECONNREFUSED), 10061);
  for (int e : {EAGAIN, EWOULDBLOCK, EINTR, EINPROGRESS}) EXPECT_TRUE(IsRetryableErrno(e)) << e;
  for (int e : {0, ECONNRESET, EPIPE}) EXPECT_FALSE(IsRetryableErrno(e)) << e;
}

TEST(WSocketResolve, HostsPortsAndProtocols) {
  EXPECT_EQ(WSocketResolveHost("127.0.0.1").s_addr, htonl(INADDR_LOOPBACK));
  EXPECT_EQ(WSocketResolveHost(" 10.1.2.3 ").s_addr, inet_addr("10.1.2.3"));
  EXPECT_EQ(WSocketResolveHost("255.255.255.255").s_addr, INADDR_NONE);
  EXPECT_EQ(WSocketResolveHost("localhost").s_addr, htonl(INADDR_LOOPBACK));  // hosts file
  EXPECT_EQ(WSocketResolvePort("  8080", "tcp"), 8080);
  EXPECT_EQ(WSocketResolvePort("53x", "udp"), 53);  // stops at the first non-digit
  EXPECT_EQ(WSocketResolvePort("smtp", "tcp"), 25);
  EXPECT_EQ(WSocketResolvePort("domain", "udp"), 53);
  EXPECT_EQ(WSocketResolveProto("tcp"), 6);
  EXPECT_EQ(WSocketResolveProto("udp"), 17);
  EXPECT_EQ(WSocketResolveProto("17"), 17);
  const std::pair<std::function<void()>, const char*> failures[] = {
      {[] { WSocketResolveHost(" 300.1.1.1"); },
       "WSocketResolveHost: ' 300.1.1.1' Invalid IP address."},
      {[] { WSocketResolveHost(""); }, "WSocketResolveHost: '' Invalid Hostname."},
      {[] { WSocketResolvePort(std::string(32, '1'), "tcp"); },
       "WSocketResolvePort: Invalid Port."},
      // A number too large for a port is refused, not wrapped onto another port.
      {[] { WSocketResolvePort("65561", "tcp"); },
       "WSocketResolvePort: Cannot convert port '65561'"},
      {[] { WSocketResolvePort("no-such-service-here", "tcp"); },
       "WSocketResolvePort: Cannot convert port 'no-such-service-here'"},
      {[] { WSocketResolveProto(""); }, "WSocketResolveProto: Invalid Protocol."}};
  for (const auto& [call, text] : failures) EXPECT_EQ(thrownMessage<ESocketException>(call), text);
  EXPECT_THROW(WSocketResolveHost(std::string(257, 'a')), ESocketException);
  EXPECT_THROW(WSocketResolvePort("", "tcp"), ESocketException);
  EXPECT_THROW(WSocketResolveProto("nonesuch"), ESocketException);
  char name[256] = {};
  ASSERT_EQ(gethostname(name, sizeof name - 1), 0);
  EXPECT_EQ(LocalHostName(), std::string(name));
}

TEST_F(WSocketTest, MisuseIsReportedWithItsMessage) {
  TWSocket closed(loop), open(loop), socks(loop);
  Prepare(open, server.port());
  open.Connect();  // not closed from here on
  socks.SetSocksServer("127.0.0.1");
  Prepare(socks, 53, "udp");
  const std::pair<std::function<void()>, std::string> cases[] = {
      // Connect checks the port, then the address, then the protocol.
      {[&] { closed.Connect(); }, "Connect: No Port Specified"},
      {[&] { closed.SetPort("25"), closed.Connect(); }, "Connect: No IP Address Specified"},
      {[&] { closed.SetAddr("  127.0.0.1 "), closed.SetProto("   "), closed.Connect(); },
       "Connect: No Protocol Specified"},
      {[&] { closed.SendStr("hello"); }, "Error 10057 in function Send\r\nSocket is not connected"},
      {[&] { closed.Dup(-1); }, "Error 10022 in function Dup\r\nInvalid argument"},
      {[&] { closed.SetSendFlags(static_cast<TSocketSendFlags>(7)); }, "Invalid SendFlags"},
      {[&] { closed.SetSocksLevel("6"); }, "Invalid socks level. Must be 4, 4A or 5."},
      {[&] { socks.Connect(); }, "tcp is the only protocol supported thru socks server"},
      {[&] { socks.Listen(); }, "listening is not supported thru socks server"},
      {[&] { open.SetAddr("10.0.0.1"); }, "Cannot change Addr if not closed"},
      {[&] { open.SetPort("1"); }, "Cannot change Port if not closed"},
      {[&] { open.SetProto("udp"); }, "Cannot change Proto if not closed"},
      {[&] { open.SetLocalPort("1"); }, "Cannot change LocalPort if not closed"},
      {[&] { open.SetSocksServer("1.2.3.4"); }, "Can't change socks server if not closed"},
      {[&] { open.SetSocksPort("1"); }, "Can't change socks port if not closed"},
      {[&] { open.SetSocksLevel("4"); }, "Can't change socks level if not closed"},
      {[&] { open.Connect(); }, "Connect: Socket already in use"}};
  for (const auto& [call, text] : cases) EXPECT_EQ(thrownMessage<ESocketException>(call), text);
  EXPECT_EQ(closed.Addr(), "127.0.0.1");
  EXPECT_EQ(open.Addr(), "127.0.0.1");
  EXPECT_EQ(closed.LastError(), 10022);
  EXPECT_EQ(closed.state(), wsClosed);
  EXPECT_EQ(socks.state(), wsClosed);
  closed.SetSocksLevel("4a");
  EXPECT_EQ(closed.SocksLevel(), "4A");
  // With OnError assigned, errors go there instead; LastError() tells which.
  int errors = 0;
  closed.OnError = [&](TWSocket&) { ++errors; };
  EXPECT_EQ(closed.Send("x", 1), -1);
  EXPECT_EQ(closed.LastError(), 10057);
  closed.Connect();
  EXPECT_EQ(errors, 2);
}

TEST_F(WSocketTest, ConnectExchangeAndPeerCloseRaiseTheEventsInOrder) {
  server.on("HELO", SmtpAction::Line("221 bye").ThenClose());
  TWSocket s(loop);
  Recorder r;
  r.Attach(s);
  s.SetLingerOnOff(wsLingerNoSet);
  s.SetLingerTimeout(5);
  Greeted(s, SmtpAction::Line("220 hello"));
  EXPECT_EQ(s.state(), wsConnecting);
  EXPECT_EQ(r.Count("connected 0"), 0);  // never inside Connect for TCP
  ASSERT_TRUE(Run([&] { return r.data == "220 hello\r\n"; }));
  EXPECT_EQ(s.GetPeerAddr(), "127.0.0.1");
  EXPECT_EQ(s.ReadCount(), 11);
  EXPECT_EQ(s.SendStr("HELO me\r\n"), 9);
  ASSERT_TRUE(Run([&] { return s.state() == wsClosed; }));
  EXPECT_EQ(server.transcript(0), Texts{"HELO me"});
  EXPECT_EQ(r.data, "220 hello\r\n221 bye\r\n");
  // The session-closed report precedes the close's own state change.
  EXPECT_EQ(r.log,
            (Texts{"state closed>opened", "state opened>connecting", "state connecting>connected",
                   "connected 0", "sent 0", "closed 0", "state connected>closed"}));
  // Every close restores the defaults: the texts stay, but must be set again.
  EXPECT_EQ(s.LingerOnOff(), wsLingerOn);
  EXPECT_EQ(s.LingerTimeout(), 0);
  EXPECT_EQ(s.LocalPort(), "0");
  EXPECT_EQ(s.HSocket(), -1);
  EXPECT_EQ(s.Addr(), "127.0.0.1");
  EXPECT_EQ(thrownMessage<ESocketException>([&] { s.Connect(); }), "Connect: No Port Specified");
  Prepare(s, server.port());
  s.Connect();
  EXPECT_TRUE(Run([&] { return s.state() == wsConnected && server.connectionCount() == 2; }));
}

TEST_F(WSocketTest, RefusedConnectionReports10061FromTheLoop) {
  TWSocket s(loop);
  Recorder r;
  r.Attach(s);
  Prepare(s, RawPeer().port());  // closed again: nothing listens there
  s.Connect();
  EXPECT_EQ(r.Count("connected 10061"), 0);
  ASSERT_TRUE(Run([&] { return s.state() == wsClosed; }));
  EXPECT_EQ(r.Count("connected 10061"), 1);
  EXPECT_EQ(r.Count("closed 0"), 1);
  const auto connected = std::find(r.log.begin(), r.log.end(), "connected 10061");
  EXPECT_EQ(*(connected - 1), "state connecting>connected");
}

TEST_F(WSocketTest, WritesAreQueuedInBlocksAndReportedOnceDrainedNeverInsideSendOrFlush) {
  TWSocket s(loop);
  int sentEvents = 0;
  s.OnDataSent = [&](TWSocket& sock, std::uint16_t e) {
    EXPECT_EQ(e, 0);
    EXPECT_TRUE(sock.AllSent());
    ++sentEvents;
  };
  std::size_t got = 0;  // lines the server has read
  server.setHandler([&](const ScriptedSmtpServer::Command&) {
    ++got;
    return SmtpAction::Silence();
  });
  Greeted(s, SmtpAction::Silence());
  ASSERT_TRUE(Run([&] { return s.state() == wsConnected; }));
  // 16 MiB of numbered lines of varied length: the first 100 kB flushed at
  // once, the rest in odd-sized pieces, more than the kernel's buffers take,
  // so most of it waits in the socket's blocks.
  Texts lines;
  std::string payload;
  while (payload.size() < (16u << 20)) {
    lines.push_back(std::to_string(lines.size()) + std::string(lines.size() * 7919 % 997, 'p'));
    payload += lines.back() + "\r\n";
  }
  EXPECT_EQ(s.Send("x", 0), 0);  // nothing queued, nothing reported
  std::size_t off = 100000;
  ASSERT_EQ(s.Send(payload.data(), static_cast<int>(off)), static_cast<int>(off));
  s.Flush();
  EXPECT_TRUE(s.AllSent());
  for (std::size_t piece = 1000; off < payload.size(); piece = piece * 3 % 70001 + 1) {
    const std::size_t n = std::min(piece, payload.size() - off);
    ASSERT_EQ(s.Send(payload.data() + off, static_cast<int>(n)), static_cast<int>(n));
    off += n;
  }
  EXPECT_FALSE(s.AllSent());
  EXPECT_EQ(sentEvents, 0);
  ASSERT_TRUE(Run([&] { return got == lines.size(); }));
  ASSERT_TRUE(Run([&] { return sentEvents > 0; }));
  EXPECT_TRUE(server.transcript(0) == lines);
  Spin(20);
  EXPECT_EQ(sentEvents, 1);
}

TEST_F(WSocketTest, CloseWithDefaultLingerResetsAbortAndLingerOffEndWithFin) {
  const struct {
    const char* name;
    TSocketLingerOnOff linger;  // set before Connect, which applies it
    bool abort, expectReset;
  } cases[] = {{"Close, linger on 0 s (default)", wsLingerOn, false, true},
               {"Abort", wsLingerOn, true, false},
               {"Close, linger off", wsLingerOff, false, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RawPeer peer;
    TWSocket s(loop);
    Recorder r;
    r.Attach(s);
    s.SetLingerOnOff(c.linger);
    ConnectTo(peer, s);
    s.SendStr("QUIT\r\n");
    c.abort ? s.Abort() : s.Close();
    // Closing raises the session-closed event at once, exactly once.
    EXPECT_EQ(s.state(), wsClosed);
    EXPECT_EQ(r.Count("closed 0"), 1);
    // A reset leaves the peer's end closed; an orderly close leaves it waiting
    // for its own close, and delivers what was sent before it.
    const std::string received = peer.readToEnd();
    EXPECT_EQ(peer.tcpState(), c.expectReset ? TCP_CLOSE : TCP_CLOSE_WAIT);
    if (!c.expectReset) {
      EXPECT_EQ(received, "QUIT\r\n");
    }
  }
}

TEST_F(WSocketTest, PeerResetWithQueuedDataGivesExactlyOneSessionClosed) {
  RawPeer peer;  // reads nothing, so the socket's blocks stay full
  TWSocket s(loop);
  int errors = 0;
  s.OnError = [&](TWSocket&) { ++errors; };
  std::vector<int> closedErrors;
  s.OnSessionClosed = [&](TWSocket&, std::uint16_t e) { closedErrors.push_back(e); };
  ConnectTo(peer, s);
  const std::string chunk(1 << 20, 'z');
  for (int i = 0; i < 8; ++i) s.SendStr(chunk);
  ASSERT_FALSE(s.AllSent());
  peer.reset();
  ASSERT_TRUE(Run([&] { return s.state() == wsClosed; }));
  Spin(20);
  EXPECT_EQ(closedErrors, std::vector<int>{10054});
  EXPECT_EQ(errors, 0);  // a reset is a close, not an error
  EXPECT_EQ(s.Send("x", 1), -1);
  EXPECT_EQ(s.LastError(), 10057);
}

TEST_F(WSocketTest, HandlerExceptionsGoToTheBackgroundStep) {
  for (bool canClose : {true, false}) {
    TWSocket s(loop);
    std::string seen;
    s.OnDataAvailable = [](TWSocket& sock, std::uint16_t) {
      sock.ReceiveStr();
      throw std::runtime_error("handler failed");
    };
    s.OnBgException = [&](TWSocket&, const std::exception& e, bool& close) {
      seen = e.what();
      close = canClose;
    };
    Greeted(s, SmtpAction::Raw("data"));
    ASSERT_TRUE(Run([&] { return !seen.empty(); }));
    EXPECT_EQ(seen, "handler failed");
    EXPECT_EQ(s.state(), canClose ? wsClosed : wsConnected) << canClose;
  }
}

TEST_F(WSocketTest, PauseHoldsEventsAndAHandlerThatDoesNotReadNeitherSpinsNorLosesData) {
  RawPeer peer;
  TWSocket s(loop);
  int calls = 0;
  s.OnDataAvailable = [&](TWSocket&, std::uint16_t) { ++calls; };
  ConnectTo(peer, s);
  s.Pause();
  peer.send("payload");
  Spin(20);
  EXPECT_EQ(calls, 0);
  s.Resume();
  ASSERT_TRUE(Run([&] { return calls > 0; }));
  Spin(30);
  EXPECT_EQ(calls, 1);  // reported once, then left until the next read
  EXPECT_EQ(s.ReceiveStr(), "payload");
  peer.send("more");  // the read has re-armed the reports
  ASSERT_TRUE(Run([&] { return calls == 2; }));
  EXPECT_EQ(s.ReceiveStr(), "more");
}

TEST_F(WSocketTest, WaitForCloseDrainsInputAndReportsTheClose) {
  RawPeer peer;
  TWSocket s(loop);
  Recorder r;
  r.Attach(s);
  ConnectTo(peer, s);
  peer.send("last words");
  peer.closeWrite();
  s.SetFlushTimeout(2);  // bounds the wait should the close never come
  s.WaitForClose();
  EXPECT_EQ(s.state(), wsClosed);
  EXPECT_EQ(r.data, "last words");
  EXPECT_EQ(r.Count("closed 0"), 1);
}

// Host-name lookup (numeric or the hosts file only).
TEST_F(WSocketTest, DottedOrEmptyLookupsEndInsideTheCallNamesAndAddressesFromTheLoop) {
  TWSocket s(loop);
  Texts events;
  s.OnDnsLookupDone = [&](TWSocket&, std::uint16_t e) {
    events.push_back("done " + std::to_string(e));
  };
  s.DnsLookup("127.0.0.1");
  EXPECT_EQ(events, Texts{"done 0"});
  EXPECT_EQ(s.DnsResultList(), Texts{"127.0.0.1"});
  EXPECT_EQ(thrownMessage<ESocketException>([&] { s.DnsLookup(""); }),
            "DNS lookup: invalid host name.");
  EXPECT_EQ(events.size(), 1u);
  s.OnError = [&](TWSocket&) { events.push_back("error"); };
  s.DnsLookup("");
  EXPECT_EQ(events, (Texts{"done 0", "error", "done 10022"}));
  s.DnsLookup("localhost");
  EXPECT_TRUE(s.DnsLookupPending());
  EXPECT_EQ(events.size(), 3u);
  ASSERT_TRUE(Run([&] { return events.size() == 4; }));
  EXPECT_EQ(events.back(), "done 0");
  EXPECT_EQ(s.DnsResult(), "127.0.0.1");
  EXPECT_FALSE(s.DnsLookupPending());
  s.ReverseDnsLookup("127.0.0.1");
  EXPECT_EQ(events.size(), 4u);
  ASSERT_TRUE(Run([&] { return events.size() == 5; }));
  EXPECT_EQ(events.back(), "done 0");
  EXPECT_EQ(s.DnsResultList(), Texts{"localhost"});
}

TEST(WSocketLookup, CancelledOrAbandonedLookupReportsOnceAndNothingLater) {
  EventLoop loop;
  int abandoned = 0;
  std::vector<int> done;
  {
    TWSocket gone(loop);
    gone.OnDnsLookupDone = [&](TWSocket&, std::uint16_t) { ++abandoned; };
    gone.DnsLookup("localhost");
  }
  TWSocket s(loop);
  s.OnDnsLookupDone = [&](TWSocket&, std::uint16_t e) { done.push_back(e); };
  s.DnsLookup("localhost");
  s.CancelDnsLookup();
  EXPECT_EQ(done, std::vector<int>{10004});
  loop.run();  // returns once the abandoned lookups have finished in the pool
  EXPECT_EQ(done, std::vector<int>{10004});
  EXPECT_EQ(s.DnsResult(), "");
  EXPECT_EQ(abandoned, 0);
}

// How lines are cut is LineFramerTest's; here, that the socket raises one
// event per line, the too-long event, and the tail at close.
TEST_F(WSocketTest, LineModeRaisesOneEventPerLineAndGivesTheTailAtClose) {
  TWSocket s(loop);
  s.SetLineMode(true);
  s.SetLineLimit(8);
  int tooLong = 0;
  s.OnLineTooLong = [&](TWSocket&) { ++tooLong; };
  Texts lines;
  s.OnDataAvailable = [&](TWSocket& sock, std::uint16_t) { lines.push_back(sock.ReceiveStr()); };
  Greeted(s, SmtpAction::Raw("one\r\ntwo\r\nxxxxxxxxxxxxxxxxxxtail").ThenClose());
  ASSERT_TRUE(Run([&] { return s.state() == wsClosed; }));
  EXPECT_EQ(lines, (Texts{"one\r\n", "two\r\n", "xxxxxxxx", "xxxxxxxx", "xxtail"}));
  EXPECT_EQ(tooLong, 2);
}

// The scripted server plays the SOCKS 5 proxy and sends its replies ahead of
// the requests, in one write with the first bytes of the application's data:
// the socket must read each reply exactly, never into the data behind it.
// What each reply means is SocksCodecTest's.
TEST_F(WSocketTest, SocksNegotiationReadsNoFurtherThanEachReplyAndACloseEndsTheConnect) {
  const std::string nul(1, '\0'), port25 = nul + "\x19";
  const auto viaProxy = [](TWSocket& s, int proxyPort, const char* level, Recorder& r) {
    r.Attach(s);
    s.OnChangeState = nullptr;
    s.OnSessionClosed = nullptr;
    s.SetSocksServer("127.0.0.1");
    s.SetSocksPort(std::to_string(proxyPort));
    s.SetSocksLevel(level);
    s.SetAddr("localhost");  // resolved by the proxy (SOCKS 4A and 5)
    s.SetPort("25");
    s.Connect();
  };
  TWSocket s(loop);
  Recorder r;
  server.setGreeting(SmtpAction::Raw("\x05" + nul + "\x05" + nul + nul + "\x01\x7f" + nul + nul +
                                     "\x01" + port25 + "220 through the proxy\r\n"));
  viaProxy(s, server.port(), "5", r);
  ASSERT_TRUE(Run([&] { return r.data == "220 through the proxy\r\n"; }));
  EXPECT_EQ(r.log, (Texts{"auth 3", "socks connected 0", "connected 0"}));
  sockaddr_in proxy{};
  socklen_t len = sizeof proxy;
  ASSERT_EQ(s.GetPeerName(proxy, len), 0);
  EXPECT_EQ(ntohs(proxy.sin_port), server.port());  // the socket talks to the proxy only
  s.SendStr("HELO me\r\n");
  ASSERT_TRUE(Run([&] { return !server.transcript(0).empty(); }));
  EXPECT_EQ(server.transcript(0)[0],
            "\x05\x01" + nul + "\x05\x01" + nul + "\x03\x09localhost" + port25 + "HELO me");
  // A proxy that ends its side after part of its reply.
  RawPeer peer;
  TWSocket cut(loop);
  Recorder cr;
  viaProxy(cut, peer.port(), "4A", cr);
  peer.accept();
  peer.send(nul + "\x5a");
  peer.closeWrite();
  ASSERT_TRUE(Run([&] { return cut.state() == wsClosed; }));
  EXPECT_EQ(cr.log, (Texts{"socks error 20014", "connected 20014"}));
}

TEST_F(WSocketTest, ListenAcceptDupCarryAConversationBothWays) {
  TWSocket listener(loop), served(loop), client(loop);
  Prepare(listener, 0);
  Texts states;
  listener.OnChangeState = [&](TWSocket&, TSocketState, TSocketState n) {
    states.push_back(StateName(n));
  };
  Recorder sr, cr;
  sr.Attach(served);
  cr.Attach(client);
  listener.OnSessionAvailable = [&](TWSocket& l, std::uint16_t e) {
    EXPECT_EQ(e, 0);
    served.Dup(l.Accept());
    served.SendStr("welcome\r\n");
  };
  listener.Listen();
  EXPECT_EQ(states, (Texts{"opened", "bound", "listening"}));
  const std::string port = listener.GetXPort();
  ASSERT_NE(port, "0");
  Prepare(client, std::stoi(port));
  client.SetLingerOnOff(wsLingerOff);  // an orderly close, not a reset
  client.Connect();
  ASSERT_TRUE(Run([&] { return cr.data == "welcome\r\n"; }));
  EXPECT_EQ(served.GetPeerAddr(), "127.0.0.1");
  client.SendStr("thanks");
  ASSERT_TRUE(Run([&] { return sr.data == "thanks"; }));
  client.Close();
  ASSERT_TRUE(Run([&] { return served.state() == wsClosed; }));
  EXPECT_EQ(sr.Count("closed 0"), 1) << ::testing::PrintToString(sr.log);
  EXPECT_THROW(served.Accept(), ESocketException);  // not a listening socket
}

TEST_F(WSocketTest, UdpSendsDatagramsAndReadsRepliesWithTheirSource) {
  // The peer is a listening datagram socket, ready inside Listen, that echoes
  // each datagram to its sender.
  TWSocket peer(loop), s(loop);
  Recorder pr, r;
  pr.Attach(peer);
  r.Attach(s);
  std::vector<int> peerSources;
  peer.OnDataAvailable = [&](TWSocket& sock, std::uint16_t) {
    char buf[4096];
    sockaddr_in src{};
    socklen_t len = sizeof src;
    const int n = sock.ReceiveFrom(buf, sizeof buf, src, len);
    if (n < 0) return;
    peerSources.push_back(ntohs(src.sin_port));
    const std::string echo = "re:" + std::string(buf, static_cast<std::size_t>(n));
    sock.SendTo(src, len, echo.data(), static_cast<int>(echo.size()));
  };
  Texts replies;
  s.OnDataAvailable = [&](TWSocket& sock, std::uint16_t) {
    char buf[4096];
    const int n = sock.Receive(buf, sizeof buf);
    if (n >= 0) replies.emplace_back(buf, static_cast<std::size_t>(n));
  };
  Prepare(peer, 0, "udp");
  peer.Listen();
  EXPECT_EQ(pr.log, (Texts{"state closed>opened", "state opened>bound", "state bound>listening",
                           "state listening>connected", "connected 0"}));
  const int peerPort = std::stoi(peer.GetXPort());
  Prepare(s, peerPort, "udp");
  s.Connect();
  EXPECT_EQ(r.Count("connected 0"), 1);  // a datagram endpoint is ready inside Connect
  const std::string big(3000, 'b');      // larger than a send block: still one datagram
  for (const std::string& d : {std::string("first"), std::string("second"), big}) s.SendStr(d);
  ASSERT_TRUE(Run([&] { return replies.size() == 3; }));
  EXPECT_EQ(replies, (Texts{"re:first", "re:second", "re:" + big}));
  EXPECT_EQ(peerSources, std::vector<int>(3, std::stoi(s.LocalPort())));
  EXPECT_EQ(ntohs(s.LastFrom().sin_port), peerPort);
}

}  // namespace
}  // namespace orvane::net
