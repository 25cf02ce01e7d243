#include "net/WSocket.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <string>
#include <vector>

#include "tests/net/WSocketTestSupport.h"

namespace orvane::net {
namespace {

using testing::TcpPeer;
using testing::TcpPeerServer;
using testing::Thrown;
using testing::UdpPeer;
using testing::UnusedPort;
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
  }
  void Add(const char* what, int e) { log.push_back(what + (" " + std::to_string(e))); }
  int Count(const std::string& entry) const {
    return static_cast<int>(std::count(log.begin(), log.end(), entry));
  }
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
  // Connects `s` to `server` and waits until both ends are up.
  void ConnectTo(TcpPeerServer& server, TWSocket& s) {
    Prepare(s, server.port());
    s.Connect();
    ASSERT_TRUE(Run([&] { return s.state() == wsConnected && server.peers.size() == 1; }));
  }
  EventLoop loop;
};

// ---------------------------------------------------------------------------
// Error texts and code mapping

TEST(WSocketErrors, DescriptionsMatchTheTable) {
  const std::pair<int, const char*> cases[] = {
      {0, "No Error"},
      {10004, "Interrupted system call"},
      {10035, "Operation would block"},
      {10047, "Address family not supported by protocol family"},
      {10054, "Connection reset by peer"},
      {10057, "Socket is not connected"},
      {10059, "Too many references: can't splice"},
      {10060, "Connection timed out"},
      {10061, "Connection refused"},
      {10071, "Too many levels of remote in path"},
      {10093, "WinSock not initialized"},
      {11001, "Host not found"},
      {11004, "No Data"},
      {10001, "Not a WinSock error"},
      {10072, "Not a WinSock error"},
      {-1, "Not a WinSock error"}};
  for (const auto& [code, text] : cases) EXPECT_EQ(WSocketErrorDesc(code), text) << code;
}

TEST(WSocketErrors, ErrnoAndResolverFailuresMapOntoWindowsSocketsCodes) {
  const std::pair<int, int> errnos[] = {{0, 0},
                                        {ECONNREFUSED, 10061},
                                        {ETIMEDOUT, 10060},
                                        {EHOSTDOWN, 10064},
                                        {EHOSTUNREACH, 10065},
                                        {ECONNRESET, 10054},
                                        {ENOTCONN, 10057},
                                        {EAGAIN, 10035},
                                        {EWOULDBLOCK, 10035},
                                        {EINVAL, 10022},
                                        {EMSGSIZE, 10040},
                                        {EINPROGRESS, 10036},
                                        {EADDRINUSE, 10048},
                                        {ENETUNREACH, 10051},
                                        {EPIPE, 10054},
                                        {ENOTSOCK, 10038},
                                        {EMFILE, 10024},
                                        {EIO, 10091}};
  for (const auto& [err, code] : errnos) EXPECT_EQ(WSocketErrorFromErrno(err), code) << err;
  const std::pair<int, int> gai[] = {
      {0, 0}, {EAI_NONAME, 11001}, {EAI_NODATA, 11004}, {EAI_AGAIN, 11002}, {EAI_FAIL, 11003}};
  for (const auto& [err, code] : gai) EXPECT_EQ(WSocketErrorFromGai(err), code) << err;
  const std::pair<int, int> uv[] = {{UV_EAI_NONAME, 11001},
                                    {UV_EAI_NODATA, 11004},
                                    {UV_ECONNREFUSED, 10061},
                                    {UV_ETIMEDOUT, 10060}};
  for (const auto& [err, code] : uv) EXPECT_EQ(WSocketErrorFromUv(err), code) << err;
  for (int e : {EAGAIN, EWOULDBLOCK, EINTR, EINPROGRESS}) EXPECT_TRUE(IsRetryableErrno(e)) << e;
  for (int e : {0, ECONNRESET, ECONNREFUSED, EPIPE, EINVAL}) EXPECT_FALSE(IsRetryableErrno(e)) << e;
}

TEST(TBufferTest, FillsUpToItsSizeAndReusesSpaceOnlyWhenEmptied) {
  EXPECT_EQ(TBuffer(0).BufSize(), 1514);  // non-positive: the default block
  EXPECT_EQ(TBuffer(-5).BufSize(), 1514);
  TBuffer b(10);
  EXPECT_EQ(b.Write("abcdefgh", 8), 8);
  EXPECT_EQ(b.Write("ijkl", 4), 2);  // only 2 bytes of room
  EXPECT_EQ(b.Write("x", 1), 0);
  int len = 0;
  const char* p = b.Peek(len);
  EXPECT_EQ(std::string(p, static_cast<std::size_t>(len)), "abcdefghij");
  b.Remove(4);
  EXPECT_EQ(b.Write("x", 1), 0);  // space before the read count is not reused
  p = b.Peek(len);
  EXPECT_EQ(std::string(p, static_cast<std::size_t>(len)), "efghij");
  b.Remove(100);  // more than unread: everything, counts back to 0
  EXPECT_EQ(b.Peek(len), nullptr);
  EXPECT_EQ(len + b.WrCount() + b.RdCount(), 0);
  EXPECT_EQ(b.Write("0123456789", 10), 10);
}

// ---------------------------------------------------------------------------
// Resolution functions

TEST(WSocketResolve, HostsPortsAndProtocols) {
  EXPECT_EQ(WSocketResolveHost("127.0.0.1").s_addr, htonl(INADDR_LOOPBACK));
  EXPECT_EQ(WSocketResolveHost(" 10.1.2.3 ").s_addr, inet_addr("10.1.2.3"));
  EXPECT_EQ(WSocketResolveHost("255.255.255.255").s_addr, INADDR_NONE);
  EXPECT_EQ(WSocketResolveHost("localhost").s_addr, htonl(INADDR_LOOPBACK));  // hosts file
  EXPECT_EQ(WSocketResolvePort("25", "tcp"), 25);
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
  for (const auto& [call, text] : failures) EXPECT_EQ(Thrown<ESocketException>(call), text);
  EXPECT_THROW(WSocketResolveHost(std::string(257, 'a')), ESocketException);
  EXPECT_THROW(WSocketResolvePort("", "tcp"), ESocketException);
  EXPECT_THROW(WSocketResolveProto("nonesuch"), ESocketException);
  char name[256] = {};
  ASSERT_EQ(gethostname(name, sizeof name - 1), 0);
  EXPECT_EQ(LocalHostName(), std::string(name));
}

// ---------------------------------------------------------------------------
// Properties, Connect's checks, errors

TEST_F(WSocketTest, ConnectChecksPortThenAddressThenProtocol) {
  TWSocket s(loop);
  const auto connect = [&] { s.Connect(); };
  EXPECT_EQ(Thrown<ESocketException>(connect), "Connect: No Port Specified");  // no address either
  s.SetPort("25");
  EXPECT_EQ(Thrown<ESocketException>(connect), "Connect: No IP Address Specified");
  s.SetAddr("  127.0.0.1 ");
  EXPECT_EQ(s.Addr(), "127.0.0.1");
  s.SetProto("   ");
  EXPECT_EQ(Thrown<ESocketException>(connect), "Connect: No Protocol Specified");
  EXPECT_EQ(s.state(), wsClosed);
  s.SetSendFlags(wsSendUrgent);
  EXPECT_THROW(s.SetSendFlags(static_cast<TSocketSendFlags>(7)), ESocketException);
  EXPECT_EQ(s.SendFlags(), wsSendUrgent);
  EXPECT_THROW(s.SetSocksLevel("6"), ESocketException);
  s.SetSocksLevel("4a");
  EXPECT_EQ(s.SocksLevel(), "4A");
}

TEST_F(WSocketTest, ErrorsThrowOrGoToOnErrorWhenAssigned) {
  TWSocket s(loop);
  EXPECT_EQ(Thrown<ESocketException>([&] { s.SendStr("hello"); }),
            "Error 10057 in function Send\r\nSocket is not connected");
  EXPECT_EQ(s.LastError(), 10057);
  int errors = 0;
  s.OnError = [&](TWSocket&) { ++errors; };
  EXPECT_NO_THROW(s.Connect());
  EXPECT_EQ(errors, 1);
  EXPECT_EQ(s.Send("x", 1), -1);
  EXPECT_EQ(errors, 2);
  s.Dup(-1);
  EXPECT_EQ(errors, 3);
  EXPECT_EQ(s.LastError(), 10022);
  EXPECT_EQ(s.state(), wsClosed);
}

// ---------------------------------------------------------------------------
// TCP client against a raw loopback peer

TEST_F(WSocketTest, ConnectExchangeAndPeerCloseRaiseTheEventsInOrder) {
  TcpPeerServer server(loop);
  server.onAccept = [](TcpPeer& p) { p.Write("220 hello\r\n"); };
  TWSocket s(loop);
  Recorder r;
  r.Attach(s);
  Prepare(s, server.port());
  s.Connect();
  EXPECT_EQ(s.state(), wsConnecting);
  EXPECT_EQ(r.Count("connected 0"), 0);  // never inside Connect for TCP
  ASSERT_TRUE(Run([&] { return r.data == "220 hello\r\n"; }));
  EXPECT_EQ(s.GetPeerAddr(), "127.0.0.1");
  EXPECT_EQ(s.SendStr("HELO me\r\n"), 9);
  ASSERT_TRUE(
      Run([&] { return server.peers.size() == 1 && server.peers[0]->received.size() == 9; }));
  EXPECT_EQ(server.peers[0]->received, "HELO me\r\n");
  EXPECT_EQ(s.ReadCount(), 11);
  server.peers[0]->Write("221 bye\r\n");
  server.peers[0]->Close();
  ASSERT_TRUE(Run([&] { return s.state() == wsClosed; }));
  EXPECT_EQ(r.data, "220 hello\r\n221 bye\r\n");
  // The session-closed report precedes the close's own state change.
  EXPECT_EQ(r.log,
            (Texts{"state closed>opened", "state opened>connecting", "state connecting>connected",
                   "connected 0", "sent 0", "closed 0", "state connected>closed"}));
}

TEST_F(WSocketTest, EveryCloseRestoresTheDefaults) {
  TcpPeerServer server(loop);
  TWSocket s(loop);
  s.SetLingerOnOff(wsLingerNoSet);
  s.SetLingerTimeout(5);
  ConnectTo(server, s);
  s.Close();
  EXPECT_EQ(s.state(), wsClosed);
  EXPECT_EQ(s.LingerOnOff(), wsLingerOn);
  EXPECT_EQ(s.LingerTimeout(), 0);
  EXPECT_EQ(s.LocalPort(), "0");
  EXPECT_EQ(s.HSocket(), -1);
  EXPECT_EQ(s.Addr(), "127.0.0.1");  // the text is kept, but no longer assigned
  EXPECT_EQ(Thrown<ESocketException>([&] { s.Connect(); }), "Connect: No Port Specified");
  // Setting the same texts again makes the object usable for a new connection.
  Prepare(s, server.port());
  s.Connect();
  EXPECT_TRUE(Run([&] { return s.state() == wsConnected && server.peers.size() == 2; }));
}

TEST_F(WSocketTest, SettersRefuseChangesWhileOpen) {
  TcpPeerServer server(loop);
  TWSocket s(loop);
  Prepare(s, server.port());
  s.Connect();
  const std::pair<std::function<void()>, std::string> cases[] = {
      {[&] { s.SetAddr("10.0.0.1"); }, "Cannot change Addr if not closed"},
      {[&] { s.SetPort("1"); }, "Cannot change Port if not closed"},
      {[&] { s.SetProto("udp"); }, "Cannot change Proto if not closed"},
      {[&] { s.SetLocalPort("1"); }, "Cannot change LocalPort if not closed"},
      {[&] { s.SetSocksServer("1.2.3.4"); }, "Can't change socks server if not closed"},
      {[&] { s.SetSocksPort("1"); }, "Can't change socks port if not closed"},
      {[&] { s.SetSocksLevel("4"); }, "Can't change socks level if not closed"},
      {[&] { s.Connect(); }, "Connect: Socket already in use"}};
  for (const auto& [call, text] : cases) EXPECT_EQ(Thrown<ESocketException>(call), text);
  EXPECT_EQ(s.Addr(), "127.0.0.1");
}

TEST_F(WSocketTest, RefusedConnectionReports10061FromTheLoop) {
  TWSocket s(loop);
  Recorder r;
  r.Attach(s);
  Prepare(s, UnusedPort());
  s.Connect();
  EXPECT_EQ(r.Count("connected 10061"), 0);
  ASSERT_TRUE(Run([&] { return s.state() == wsClosed; }));
  EXPECT_EQ(r.Count("connected 10061"), 1);
  EXPECT_EQ(r.Count("closed 0"), 1);
  const auto connected = std::find(r.log.begin(), r.log.end(), "connected 10061");
  EXPECT_EQ(*(connected - 1), "state connecting>connected");
}

TEST_F(WSocketTest, DataSentArrivesLaterNeverInsideSendOrFlush) {
  TcpPeerServer server(loop);
  TWSocket s(loop);
  int sent = 0;
  s.OnDataSent = [&](TWSocket&, std::uint16_t) { ++sent; };
  const std::string text = "MAIL FROM:<a@b>\r\n" + std::string(100000, 'f');
  s.OnSessionConnected = [&](TWSocket& sock, std::uint16_t) {
    EXPECT_EQ(sock.Send("x", 0), 0);  // nothing queued, nothing reported
    EXPECT_EQ(sock.SendStr(text), static_cast<int>(text.size()));
    sock.Flush();
    EXPECT_TRUE(sock.AllSent());
    EXPECT_EQ(sent, 0);
  };
  Prepare(s, server.port());
  s.Connect();
  ASSERT_TRUE(Run([&] { return sent == 1; }));
  ASSERT_TRUE(Run([&] { return !server.peers.empty() && server.peers[0]->received == text; }));
}

TEST_F(WSocketTest, LargeWritesAreQueuedInBlocksAndReportedOnceDrained) {
  TcpPeerServer server(loop, /*readAtOnce=*/false);
  TWSocket s(loop);
  int sentEvents = 0;
  s.OnDataSent = [&](TWSocket& sock, std::uint16_t e) {
    EXPECT_EQ(e, 0);
    EXPECT_TRUE(sock.AllSent());
    ++sentEvents;
  };
  ConnectTo(server, s);
  // 16 MiB in odd-sized pieces: more than the kernel's buffers take, so most
  // of it must wait in the socket's own blocks.
  std::string payload(16u << 20, '\0');
  for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>((i * 7919u) >> 3);
  std::size_t off = 0;
  for (std::size_t piece = 1000; off < payload.size(); piece = piece * 3 % 70001 + 1) {
    const std::size_t n = std::min(piece, payload.size() - off);
    ASSERT_EQ(s.Send(payload.data() + off, static_cast<int>(n)), static_cast<int>(n));
    off += n;
  }
  EXPECT_FALSE(s.AllSent());
  server.peers[0]->StartReading();
  ASSERT_TRUE(Run([&] { return server.peers[0]->received.size() == payload.size(); }));
  ASSERT_TRUE(Run([&] { return sentEvents > 0; }));
  EXPECT_TRUE(server.peers[0]->received == payload);
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
    TcpPeerServer server(loop);
    TWSocket s(loop);
    Recorder r;
    r.Attach(s);
    s.SetLingerOnOff(c.linger);
    ConnectTo(server, s);
    s.SendStr("QUIT\r\n");
    c.abort ? s.Abort() : s.Close();
    // Closing raises the session-closed event at once, exactly once.
    EXPECT_EQ(s.state(), wsClosed);
    EXPECT_EQ(r.Count("closed 0"), 1);
    TcpPeer& peer = *server.peers[0];
    ASSERT_TRUE(Run([&] { return peer.eof || peer.readError != 0; }));
    // A reset leaves the peer's end closed; an orderly close leaves it waiting
    // for its own close, and delivers what was sent before it.
    EXPECT_EQ(peer.TcpState(), c.expectReset ? TCP_CLOSE : TCP_CLOSE_WAIT);
    if (c.linger == wsLingerOff) {
      EXPECT_EQ(peer.received, "QUIT\r\n");
    }
  }
}

TEST_F(WSocketTest, PeerResetWithQueuedDataGivesExactlyOneSessionClosed) {
  TcpPeerServer server(loop, /*readAtOnce=*/false);
  TWSocket s(loop);
  int errors = 0;
  s.OnError = [&](TWSocket&) { ++errors; };
  std::vector<int> closedErrors;
  s.OnSessionClosed = [&](TWSocket&, std::uint16_t e) { closedErrors.push_back(e); };
  ConnectTo(server, s);
  const std::string chunk(1 << 20, 'z');
  for (int i = 0; i < 8; ++i) s.SendStr(chunk);
  ASSERT_FALSE(s.AllSent());
  server.peers[0]->Reset();
  ASSERT_TRUE(Run([&] { return s.state() == wsClosed; }));
  Spin(20);
  EXPECT_EQ(closedErrors, std::vector<int>{10054});
  EXPECT_EQ(errors, 0);  // a reset is a close, not an error
  EXPECT_EQ(s.Send("x", 1), -1);
  EXPECT_EQ(s.LastError(), 10057);
  EXPECT_EQ(closedErrors.size(), 1u);
}

TEST_F(WSocketTest, HandlerExceptionsGoToTheBackgroundStep) {
  for (bool canClose : {true, false}) {
    TcpPeerServer server(loop);
    server.onAccept = [](TcpPeer& p) { p.Write("data"); };
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
    Prepare(s, server.port());
    s.Connect();
    ASSERT_TRUE(Run([&] { return !seen.empty(); }));
    EXPECT_EQ(seen, "handler failed");
    EXPECT_EQ(s.state(), canClose ? wsClosed : wsConnected) << canClose;
  }
}

TEST_F(WSocketTest, AHandlerThatDoesNotReadNeitherSpinsNorLosesData) {
  TcpPeerServer server(loop);
  server.onAccept = [](TcpPeer& p) { p.Write("payload"); };
  TWSocket s(loop);
  int calls = 0;
  s.OnDataAvailable = [&](TWSocket&, std::uint16_t) { ++calls; };
  Prepare(s, server.port());
  s.Connect();
  ASSERT_TRUE(Run([&] { return calls > 0; }));
  Spin(30);
  EXPECT_EQ(calls, 1);  // reported once, then left until the next read
  EXPECT_EQ(s.ReceiveStr(), "payload");
}

TEST_F(WSocketTest, AHandlerMayDestroyItsSocket) {
  TcpPeerServer server(loop);
  server.onAccept = [](TcpPeer& p) { p.Write("bye"); };
  auto s = std::make_unique<TWSocket>(loop);
  s->OnDataAvailable = [&](TWSocket&, std::uint16_t) {
    s.reset();  // last action: the handler's captures die with the socket
  };
  Prepare(*s, server.port());
  s->Connect();
  ASSERT_TRUE(Run([&] { return s == nullptr; }));
  ASSERT_TRUE(Run([&] { return !server.peers.empty() && server.peers[0]->readError != 0; }));
}

TEST_F(WSocketTest, PauseHoldsEventsUntilResume) {
  TcpPeerServer server(loop);
  TWSocket s(loop);
  Recorder r;
  r.Attach(s);
  ConnectTo(server, s);
  s.Pause();
  server.peers[0]->Write("held");
  ASSERT_TRUE(Run([&] { return *server.peers[0]->writesDone == 1; }));
  Spin(20);
  EXPECT_EQ(r.data, "");
  s.Resume();
  EXPECT_TRUE(Run([&] { return r.data == "held"; }));
}

TEST_F(WSocketTest, WaitForCloseDrainsInputAndReportsTheClose) {
  TcpPeerServer server(loop);
  server.onAccept = [](TcpPeer& p) {
    p.Write("last words");
    p.Close();
  };
  TWSocket s(loop);
  Recorder r;
  r.Attach(s);
  ConnectTo(server, s);
  ASSERT_TRUE(Run([&] { return *server.peers[0]->shutdownDone; }));
  s.SetFlushTimeout(2);  // bounds the wait should the close never come
  s.WaitForClose();
  EXPECT_EQ(s.state(), wsClosed);
  EXPECT_EQ(r.data, "last words");
  EXPECT_EQ(r.Count("closed 0"), 1);
}

// ---------------------------------------------------------------------------
// Host-name lookup (numeric or the hosts file only)

TEST_F(WSocketTest, DottedOrEmptyLookupEndsInsideTheCall) {
  TWSocket s(loop);
  Texts events;
  s.OnDnsLookupDone = [&](TWSocket&, std::uint16_t e) {
    events.push_back("done " + std::to_string(e));
  };
  s.DnsLookup("127.0.0.1");
  EXPECT_EQ(events, Texts{"done 0"});
  EXPECT_EQ(s.DnsResultList(), Texts{"127.0.0.1"});
  EXPECT_EQ(Thrown<ESocketException>([&] { s.DnsLookup(""); }), "DNS lookup: invalid host name.");
  EXPECT_EQ(events.size(), 1u);
  s.OnError = [&](TWSocket&) { events.push_back("error"); };
  s.DnsLookup("");
  EXPECT_EQ(events, (Texts{"done 0", "error", "done 10022"}));
}

TEST_F(WSocketTest, NameAndReverseLookupsCompleteFromTheLoop) {
  TWSocket s(loop);
  std::vector<int> done;
  s.OnDnsLookupDone = [&](TWSocket&, std::uint16_t e) { done.push_back(e); };
  s.DnsLookup("localhost");
  EXPECT_TRUE(done.empty());
  EXPECT_TRUE(s.DnsLookupPending());
  ASSERT_TRUE(Run([&] { return !done.empty(); }));
  EXPECT_EQ(done, std::vector<int>{0});
  EXPECT_EQ(s.DnsResult(), "127.0.0.1");
  EXPECT_FALSE(s.DnsLookupPending());
  s.ReverseDnsLookup("127.0.0.1");
  EXPECT_EQ(done.size(), 1u);
  ASSERT_TRUE(Run([&] { return done.size() == 2; }));
  EXPECT_EQ(done, (std::vector<int>{0, 0}));
  EXPECT_EQ(s.DnsResultList(), Texts{"localhost"});
}

TEST_F(WSocketTest, CancelledOrAbandonedLookupReportsOnceAndNothingLater) {
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

// ---------------------------------------------------------------------------
// Line mode

TEST_F(WSocketTest, LineModeDeliversOneLinePerEventBoundedAndTheTailAtClose) {
  int tooLong = 0;
  const struct {
    Texts writes;
    std::function<void(TWSocket&)> setup;
    std::size_t readSize;
    Texts reads;
  } cases[] = {
      {{"one\r\ntwo\r\nthr", "ee\r\n", "tail"},
       [](TWSocket&) {},
       100,
       {"one\r\n", "two\r\n", "three\r\n", "tail"}},
      // A line longer than the read buffer comes in pieces, never mixed with the next.
      {{"alpha|be|"}, [](TWSocket& s) { s.SetLineEnd("|"); }, 3, {"alp", "ha|", "be|"}},
      // A line without end within the limit is cut at the limit.
      {{std::string(20, 'x') + "\r\n"},
       [&](TWSocket& s) {
         s.SetLineLimit(8);
         s.OnLineTooLong = [&](TWSocket&) { ++tooLong; };
       },
       100,
       {"xxxxxxxx", "xxxxxxxx", "xxxx\r\n"}},
  };
  for (const auto& c : cases) {
    TcpPeerServer server(loop);
    server.onAccept = [&](TcpPeer& p) {
      for (const auto& w : c.writes) p.Write(w);
      p.Close();
    };
    TWSocket s(loop);
    s.SetLineMode(true);
    c.setup(s);
    Texts reads;
    s.OnDataAvailable = [&](TWSocket& sock, std::uint16_t) {
      std::string buf(c.readSize, '\0');
      const int n = sock.Receive(buf.data(), static_cast<int>(buf.size()));
      if (n > 0) reads.push_back(buf.substr(0, static_cast<std::size_t>(n)));
    };
    Prepare(s, server.port());
    s.Connect();
    ASSERT_TRUE(Run([&] { return s.state() == wsClosed; }));
    EXPECT_EQ(reads, c.reads);
  }
  EXPECT_EQ(tooLong, 2);
}

// ---------------------------------------------------------------------------
// Server side

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
  UdpPeer peer(loop), stranger(loop);
  peer.onDatagram = [](UdpPeer& p, const UdpPeer::Datagram& d) {
    p.SendTo(d.from, "re:" + d.data);
  };
  TWSocket s(loop);
  Recorder r;
  r.Attach(s);
  Texts replies;
  std::vector<int> sourcePorts;
  s.OnDataAvailable = [&](TWSocket& sock, std::uint16_t) {
    char buf[4096];
    sockaddr_in from{};
    socklen_t len = sizeof from;
    const int n = sock.ReceiveFrom(buf, sizeof buf, from, len);
    if (n < 0) return;
    replies.emplace_back(buf, static_cast<std::size_t>(n));
    sourcePorts.push_back(ntohs(from.sin_port));
  };
  Prepare(s, peer.port(), "udp");
  s.Connect();
  EXPECT_EQ(r.Count("connected 0"), 1);  // a datagram endpoint is ready inside Connect
  const std::string big(3000, 'b');      // larger than a send block: still one datagram
  for (const std::string& d : {std::string("first"), std::string("second"), big}) s.SendStr(d);
  ASSERT_TRUE(Run([&] { return replies.size() == 3; }));
  EXPECT_EQ(replies, (Texts{"re:first", "re:second", "re:" + big}));
  EXPECT_EQ(ntohs(peer.datagrams[0].from.sin_port), std::stoi(s.LocalPort()));
  // A datagram from a stranger is read with the stranger's address.
  stranger.SendTo(peer.datagrams[0].from, "forged");
  ASSERT_TRUE(Run([&] { return replies.size() == 4; }));
  EXPECT_EQ(sourcePorts,
            (std::vector<int>{peer.port(), peer.port(), peer.port(), stranger.port()}));
  EXPECT_EQ(ntohs(s.LastFrom().sin_port), stranger.port());
}

}  // namespace
}  // namespace orvane::net
