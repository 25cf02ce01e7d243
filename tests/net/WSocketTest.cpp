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

#include "tests/support/Loopback.h"
#include "tests/support/ScriptedSmtpServer.h"
#include "tests/support/TestHelpers.h"

namespace orvane::net {
namespace {

using orvane::testing::ScriptedSmtpServer;
using orvane::testing::SmtpAction;
using orvane::testing::thrownMessage;
using Texts = std::vector<std::string>;

std::string stateName(TSocketState s) {
  static const char* names[] = {"invalid",   "opened",    "bound",     "connecting",
                                "connected", "accepting", "listening", "closed"};
  return names[s];
}

struct Recorder {
  Texts log;
  std::string data;
  void attach(TWSocket& s) {
    s.OnChangeState = [this](TWSocket&, TSocketState o, TSocketState n) {
      log.push_back("state " + stateName(o) + ">" + stateName(n));
    };
    s.OnSessionConnected = [this](TWSocket&, std::uint16_t e) { add("connected", e); };
    s.OnSessionClosed = [this](TWSocket&, std::uint16_t e) { add("closed", e); };
    s.OnDataSent = [this](TWSocket&, std::uint16_t e) { add("sent", e); };
    s.OnDataAvailable = [this](TWSocket& sock, std::uint16_t) { data += sock.ReceiveStr(); };
  }
  void add(const char* what, int e) { log.push_back(what + (" " + std::to_string(e))); }
  int count(const std::string& entry) const {
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
  void reset() {  // linger 0: the close sends a reset
    const linger now{1, 0};
    ::setsockopt(conn_, SOL_SOCKET, SO_LINGER, &now, sizeof now);
    ::close(conn_);
    conn_ = -1;
  }
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

void prepare(TWSocket& s, int port, const char* proto = "tcp") {
  s.setProto(proto);
  s.setAddr("127.0.0.1");
  s.setPort(std::to_string(port));
}

class WSocketTest : public ::testing::Test {
 protected:
  bool run(const std::function<bool()>& done) { return loop.runUntil(done, 5000); }
  // Lets the loop turn for `ms` milliseconds (a bounded wait for something
  // that must NOT happen).
  void spin(std::uint64_t ms) {
    loop.runUntil([] { return false; }, ms);
  }
  void connectTo(RawPeer& peer, TWSocket& s) {
    prepare(s, peer.port());
    s.Connect();
    ASSERT_TRUE(run([&] { return s.state() == wsConnected; }));
    peer.accept();
  }
  void greeted(TWSocket& s, SmtpAction greeting) {
    server.setGreeting(std::move(greeting));
    prepare(s, server.port());
    s.Connect();
  }
  EventLoop loop;
  ScriptedSmtpServer server{loop};
};

TEST(WSocketErrors, FailuresNeverMapOntoSuccess) {
  EXPECT_EQ(socketErrorFromErrno(0), 0);
  for (int e = 1; e < 134; ++e) EXPECT_NE(socketErrorFromErrno(e), 0) << e;
  for (int e : {EAI_NONAME, EAI_AGAIN, EAI_FAIL, -12345}) EXPECT_NE(socketErrorFromGai(e), 0);
  // libuv's resolver codes are not errno values.
  EXPECT_EQ(socketErrorFromUv(UV_EAI_NODATA), 11004);
  EXPECT_EQ(socketErrorFromUv(UV_ECONNREFUSED), 10061);
  for (int e : {EAGAIN, EWOULDBLOCK, EINTR, EINPROGRESS}) EXPECT_TRUE(isRetryableErrno(e)) << e;
  for (int e : {0, ECONNRESET, EPIPE}) EXPECT_FALSE(isRetryableErrno(e)) << e;
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
  EXPECT_EQ(thrownMessage<ESocketException>([] { WSocketResolveHost(" 300.1.1.1"); }),
            "WSocketResolveHost: ' 300.1.1.1' Invalid IP address.");
  // A number too large for a port is refused, not wrapped onto another port.
  EXPECT_EQ(thrownMessage<ESocketException>([] { WSocketResolvePort("65561", "tcp"); }),
            "WSocketResolvePort: Cannot convert port '65561'");
  EXPECT_THROW(WSocketResolveHost(""), ESocketException);
  EXPECT_THROW(WSocketResolveHost(std::string(257, 'a')), ESocketException);
  EXPECT_THROW(WSocketResolvePort(std::string(32, '1'), "tcp"), ESocketException);
  EXPECT_THROW(WSocketResolvePort("no-such-service-here", "tcp"), ESocketException);
  EXPECT_THROW(WSocketResolvePort("", "tcp"), ESocketException);
  EXPECT_THROW(WSocketResolveProto(""), ESocketException);
  EXPECT_THROW(WSocketResolveProto("nonesuch"), ESocketException);
  char name[256] = {};
  ASSERT_EQ(gethostname(name, sizeof name - 1), 0);
  EXPECT_EQ(localHostName(), std::string(name));
}

TEST_F(WSocketTest, MisuseIsReportedWithItsMessage) {
  TWSocket closed(loop), open(loop), socks(loop);
  prepare(open, server.port());
  open.Connect();  // not closed from here on
  socks.setSocksServer("127.0.0.1");
  prepare(socks, 53, "udp");
  const std::pair<std::function<void()>, std::string> cases[] = {
      // Connect checks the port, then the address, then the protocol.
      {[&] { closed.Connect(); }, "Connect: No Port Specified"},
      {[&] { closed.setPort("25"), closed.Connect(); }, "Connect: No IP Address Specified"},
      {[&] { closed.setAddr("  127.0.0.1 "), closed.setProto("   "), closed.Connect(); },
       "Connect: No Protocol Specified"},
      {[&] { closed.SendStr("hello"); }, "Error 10057 in function Send\r\nSocket is not connected"},
      {[&] { closed.setSendFlags(static_cast<TSocketSendFlags>(7)); }, "Invalid SendFlags"},
      {[&] { closed.setSocksLevel("6"); }, "Invalid socks level. Must be 4, 4A or 5."},
      {[&] { socks.Connect(); }, "tcp is the only protocol supported thru socks server"},
      {[&] { socks.Listen(); }, "listening is not supported thru socks server"},
      {[&] { open.setAddr("10.0.0.1"); }, "Cannot change Addr if not closed"},
      {[&] { open.setSocksServer("1.2.3.4"); }, "Can't change socks server if not closed"},
      {[&] { open.Connect(); }, "Connect: Socket already in use"},
      {[&] { open.setLocalAddr("127.0.0.2"); }, "Cannot change LocalAddr if not closed"},
      {[&] {
         socks.setSocksServer(""), socks.setLocalAddr("host.test"), prepare(socks, 25),
             socks.Connect();
       },
       "Invalid LocalAddr 'host.test'"}};
  for (const auto& [call, text] : cases) EXPECT_EQ(thrownMessage<ESocketException>(call), text);
  EXPECT_EQ(closed.Addr(), "127.0.0.1");
  EXPECT_EQ(open.Addr(), "127.0.0.1");
  EXPECT_EQ(closed.LastError(), 10057);
  EXPECT_EQ(closed.state(), wsClosed);
  EXPECT_EQ(socks.state(), wsClosed);
}

TEST_F(WSocketTest, ConnectExchangeAndPeerCloseRaiseTheEventsInOrder) {
  server.on("HELO", SmtpAction::line("221 bye").thenClose());
  TWSocket s(loop);
  Recorder r;
  r.attach(s);
  s.setLingerOnOff(wsLingerNoSet);
  s.setLingerTimeout(5);
  greeted(s, SmtpAction::line("220 hello"));
  EXPECT_EQ(s.state(), wsConnecting);
  EXPECT_EQ(r.count("connected 0"), 0);  // never inside Connect for TCP
  ASSERT_TRUE(run([&] { return r.data == "220 hello\r\n"; }));
  EXPECT_EQ(s.SendStr("HELO me\r\n"), 9);
  ASSERT_TRUE(run([&] { return s.state() == wsClosed; }));
  EXPECT_EQ(server.transcript(0), Texts{"HELO me"});
  EXPECT_EQ(r.data, "220 hello\r\n221 bye\r\n");
  // The session-closed report precedes the close's own state change.
  EXPECT_EQ(r.log,
            (Texts{"state closed>opened", "state opened>connecting", "state connecting>connected",
                   "connected 0", "sent 0", "closed 0", "state connected>closed"}));
  // Every close restores the defaults, so a reused socket closes with a reset.
  EXPECT_EQ(s.LingerOnOff(), wsLingerOn);
  EXPECT_EQ(s.LingerTimeout(), 0);
  EXPECT_EQ(s.hSocket(), -1);
}

// Refused, or no route: reported from the loop at once, never after a time-out.
TEST_F(WSocketTest, FailedConnectsAreReportedFromTheLoopAtOnce) {
  const bool v6 = testing::hasIpv6Loopback();
  const std::pair<const char*, int> cases[] = {{"127.0.0.1", 10061},  // nothing listens there
                                               {"224.0.0.1", 10051},
                                               {"::ffff:127.0.0.1", 10051}};  // IPv6 to IPv4
  for (const auto& [addr, code] : cases) {
    if (addr[0] == ':' && !v6) continue;
    SCOPED_TRACE(addr);
    TWSocket s(loop);
    Recorder r;
    r.attach(s);
    prepare(s, RawPeer().port());
    s.setAddr(addr);
    s.Connect();
    const std::string connected = "connected " + std::to_string(code);
    EXPECT_EQ(r.count(connected), 0);  // never inside Connect
    ASSERT_TRUE(run([&] { return s.state() == wsClosed; }));
    const auto failed = std::find(r.log.begin(), r.log.end(), connected);
    ASSERT_NE(failed, r.log.end());
    EXPECT_EQ(*(failed - 1), "state connecting>connected");
    EXPECT_EQ(r.count("closed 0"), 1);
  }
  if (!v6) GTEST_SKIP() << "no IPv6 loopback on this machine: the IPv6 case was skipped";
}

TEST_F(WSocketTest, WritesAreQueuedInBlocksAndReportedOnceDrainedNeverInsideSendOrFlush) {
  TWSocket s(loop);
  int sentEvents = 0;
  s.OnDataSent = [&](TWSocket& sock, std::uint16_t e) {
    EXPECT_EQ(e, 0);
    EXPECT_TRUE(sock.allSent());
    ++sentEvents;
  };
  std::size_t got = 0;  // lines the server has read
  server.setHandler([&](const ScriptedSmtpServer::Command&) {
    ++got;
    return SmtpAction::silence();
  });
  greeted(s, SmtpAction::silence());
  ASSERT_TRUE(run([&] { return s.state() == wsConnected; }));
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
  EXPECT_TRUE(s.allSent());
  for (std::size_t piece = 1000; off < payload.size(); piece = piece * 3 % 70001 + 1) {
    const std::size_t n = std::min(piece, payload.size() - off);
    ASSERT_EQ(s.Send(payload.data() + off, static_cast<int>(n)), static_cast<int>(n));
    off += n;
  }
  EXPECT_FALSE(s.allSent());
  EXPECT_EQ(sentEvents, 0);
  ASSERT_TRUE(run([&] { return got == lines.size(); }));
  ASSERT_TRUE(run([&] { return sentEvents > 0; }));
  EXPECT_TRUE(server.transcript(0) == lines);
  spin(20);
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
    r.attach(s);
    s.setLingerOnOff(c.linger);
    connectTo(peer, s);
    s.SendStr("QUIT\r\n");
    c.abort ? s.Abort() : s.Close();
    EXPECT_EQ(s.state(), wsClosed);
    EXPECT_EQ(r.count("closed 0"), 1);
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
  connectTo(peer, s);
  const std::string chunk(1 << 20, 'z');
  for (int i = 0; i < 8; ++i) s.SendStr(chunk);
  ASSERT_FALSE(s.allSent());
  peer.reset();
  ASSERT_TRUE(run([&] { return s.state() == wsClosed; }));
  spin(20);
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
    greeted(s, SmtpAction::raw("data"));
    ASSERT_TRUE(run([&] { return !seen.empty(); }));
    EXPECT_EQ(seen, "handler failed");
    EXPECT_EQ(s.state(), canClose ? wsClosed : wsConnected) << canClose;
  }
}

TEST_F(WSocketTest, AHandlerThatDoesNotReadNeitherSpinsNorLosesData) {
  RawPeer peer;
  TWSocket s(loop);
  int calls = 0;
  s.OnDataAvailable = [&](TWSocket&, std::uint16_t) { ++calls; };
  connectTo(peer, s);
  peer.send("payload");
  ASSERT_TRUE(run([&] { return calls > 0; }));
  spin(30);
  EXPECT_EQ(calls, 1);  // reported once, then left until the next read
  EXPECT_EQ(s.ReceiveStr(), "payload");
  peer.send("more");  // the read has re-armed the reports
  ASSERT_TRUE(run([&] { return calls == 2; }));
  EXPECT_EQ(s.ReceiveStr(), "more");
}

// Host-name lookup (numeric or the hosts file only).
TEST_F(WSocketTest, DottedOrEmptyLookupsEndInsideTheCallNamesFromTheLoop) {
  TWSocket s(loop);
  Texts events;
  s.OnDnsLookupDone = [&](TWSocket&, std::uint16_t e) {
    events.push_back("done " + std::to_string(e));
  };
  s.DnsLookup("127.0.0.1");
  EXPECT_EQ(events, Texts{"done 0"});
  EXPECT_EQ(s.DnsResultList(), Texts{"127.0.0.1"});
  s.DnsLookup("[2001:DB8::25]");  // an IPv6 address is its own result
  EXPECT_EQ(events.size(), 2u);
  EXPECT_EQ(s.DnsResultList(), Texts{"2001:db8::25"});
  events.pop_back();
  EXPECT_EQ(thrownMessage<ESocketException>([&] { s.DnsLookup(""); }),
            "DNS lookup: invalid host name.");
  s.DnsLookup("localhost");
  EXPECT_TRUE(s.dnsLookupPending());
  EXPECT_EQ(events.size(), 1u);
  ASSERT_TRUE(run([&] { return events.size() == 2; }));
  EXPECT_EQ(events.back(), "done 0");
  EXPECT_EQ(s.DnsResult(), "127.0.0.1");
  EXPECT_FALSE(s.dnsLookupPending());
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

// The scripted server plays the SOCKS 5 proxy and sends its replies ahead of
// the requests, in one write with the first bytes of the application's data:
// the socket must read each reply exactly, never into the data behind it.
// What each reply means is SocksCodecTest's.
TEST_F(WSocketTest, SocksConnectTalksOnlyToTheProxyAndDeliversTheDataBehindItsReply) {
  const std::string nul(1, '\0'), port25 = nul + "\x19";
  server.setGreeting(SmtpAction::raw("\x05" + nul + "\x05" + nul + nul + "\x01\x7f" + nul + nul +
                                     "\x01" + port25 + "220 through the proxy\r\n"));
  TWSocket s(loop);
  Recorder r;
  r.attach(s);
  s.setSocksServer("127.0.0.1");
  s.setSocksPort(std::to_string(server.port()));
  s.setSocksLevel("5");
  s.setAddr("localhost");  // resolved by the proxy
  s.setPort("25");
  s.Connect();
  ASSERT_TRUE(run([&] { return r.data == "220 through the proxy\r\n"; }));
  EXPECT_EQ(r.count("connected 0"), 1);
  SocketAddress proxy;
  ASSERT_EQ(s.GetPeerName(proxy), 0);
  EXPECT_EQ(proxy.port(), server.port());
  s.SendStr("HELO me\r\n");
  ASSERT_TRUE(run([&] { return !server.transcript(0).empty(); }));
  EXPECT_EQ(server.transcript(0)[0],
            "\x05\x01" + nul + "\x05\x01" + nul + "\x03\x09localhost" + port25 + "HELO me");
}

TEST_F(WSocketTest, AcceptedConnectionExchangesALine) {
  TWSocket listener(loop), served(loop), client(loop);
  Recorder sr, cr;
  sr.attach(served);
  cr.attach(client);
  listener.OnSessionAvailable = [&](TWSocket& l, std::uint16_t) {
    served.Dup(l.Accept());
    served.SendStr("welcome\r\n");
  };
  prepare(listener, 0);
  listener.Listen();
  prepare(client, std::stoi(listener.GetXPort()));
  client.Connect();
  ASSERT_TRUE(run([&] { return cr.data == "welcome\r\n"; }));
  client.SendStr("thanks");
  ASSERT_TRUE(run([&] { return sr.data == "thanks"; }));
}

TEST_F(WSocketTest, DatagramRoundTripNamesTheSender) {
  TWSocket peer(loop), s(loop);
  int source = -1;
  peer.OnDataAvailable = [&](TWSocket& sock, std::uint16_t) {
    char buf[64];
    SocketAddress src;
    const int n = sock.ReceiveFrom(buf, sizeof buf, src);
    ASSERT_GT(n, 0);
    source = src.port();
    sock.SendTo(src, buf, n);
  };
  std::string echo;
  s.OnDataAvailable = [&](TWSocket& sock, std::uint16_t) { echo += sock.ReceiveStr(); };
  prepare(peer, 0, "udp");
  peer.Listen();
  const int peerPort = std::stoi(peer.GetXPort());
  prepare(s, peerPort, "udp");
  s.Connect();
  EXPECT_EQ(s.state(), wsConnected);  // a datagram endpoint is ready inside Connect
  s.SendStr("ping");
  ASSERT_TRUE(run([&] { return echo == "ping"; }));
  EXPECT_EQ(source, std::stoi(s.LocalPort()));
  EXPECT_EQ(s.lastFrom().port(), peerPort);
}

}  // namespace
}  // namespace orvane::net
