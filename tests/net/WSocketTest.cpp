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
using testing::UdpPeer;
using testing::UnusedPort;

constexpr std::uint64_t kWaitMs = 5000;

std::string StateName(TSocketState s) {
  static const char* names[] = {"invalid",   "opened",    "bound",     "connecting",
                                "connected", "accepting", "listening", "closed"};
  return names[s];
}

// Records every event of a socket as text, in order.
struct Recorder {
  std::vector<std::string> log;
  std::string data;
  void Attach(TWSocket& s) {
    s.OnChangeState = [this](TWSocket&, TSocketState o, TSocketState n) {
      log.push_back("state " + StateName(o) + ">" + StateName(n));
    };
    s.OnSessionConnected = [this](TWSocket&, std::uint16_t e) {
      log.push_back("connected " + std::to_string(e));
    };
    s.OnSessionClosed = [this](TWSocket&, std::uint16_t e) {
      log.push_back("closed " + std::to_string(e));
    };
    s.OnDataSent = [this](TWSocket&, std::uint16_t e) {
      log.push_back("sent " + std::to_string(e));
    };
    s.OnDataAvailable = [this](TWSocket& sock, std::uint16_t) { data += sock.ReceiveStr(); };
  }
  int Count(const std::string& entry) const {
    return static_cast<int>(std::count(log.begin(), log.end(), entry));
  }
};

void PrepareTcp(TWSocket& s, int port) {
  s.SetProto("tcp");
  s.SetAddr("127.0.0.1");
  s.SetPort(std::to_string(port));
}

class WSocketTest : public ::testing::Test {
 protected:
  bool Run(const std::function<bool()>& done) { return loop.runUntil(done, kWaitMs); }
  // Lets the loop turn for `ms` milliseconds (a bounded wait for something
  // that must NOT happen).
  void Spin(std::uint64_t ms) {
    bool expired = false;
    Timer t(loop);
    t.start(ms, 0, [&] { expired = true; });
    loop.runUntil([&] { return expired; }, ms + kWaitMs);
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
      {-1, "Not a WinSock error"},
  };
  for (const auto& [code, text] : cases) EXPECT_EQ(WSocketErrorDesc(code), text) << code;
}

TEST(WSocketErrors, ErrnoMapsOntoWindowsSocketsCodes) {
  const std::pair<int, int> cases[] = {
      {0, 0},
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
      {EIO, 10091},
  };
  for (const auto& [err, code] : cases) EXPECT_EQ(WSocketErrorFromErrno(err), code) << err;
}

TEST(WSocketErrors, ResolverFailuresMapOntoHostCodes) {
  EXPECT_EQ(WSocketErrorFromGai(0), 0);
  EXPECT_EQ(WSocketErrorFromGai(EAI_NONAME), 11001);
  EXPECT_EQ(WSocketErrorFromGai(EAI_NODATA), 11004);
  EXPECT_EQ(WSocketErrorFromGai(EAI_AGAIN), 11002);
  EXPECT_EQ(WSocketErrorFromGai(EAI_FAIL), 11003);
  EXPECT_EQ(WSocketErrorFromUv(UV_EAI_NONAME), 11001);
  EXPECT_EQ(WSocketErrorFromUv(UV_EAI_NODATA), 11004);
  EXPECT_EQ(WSocketErrorFromUv(UV_ECONNREFUSED), 10061);
  EXPECT_EQ(WSocketErrorFromUv(UV_ETIMEDOUT), 10060);
}

TEST(WSocketErrors, OnlyNotNowErrnosAreRetryable) {
  for (int e : {EAGAIN, EWOULDBLOCK, EINTR, EINPROGRESS}) EXPECT_TRUE(IsRetryableErrno(e)) << e;
  for (int e : {0, ECONNRESET, ECONNREFUSED, EPIPE, EINVAL}) EXPECT_FALSE(IsRetryableErrno(e)) << e;
}

TEST(WSocketErrors, MessageNamesCodeFunctionAndText) {
  EXPECT_EQ(WSocketErrorMessage(10057, "Send"),
            "Error 10057 in function Send\r\nSocket is not connected");
}

// ---------------------------------------------------------------------------
// Send blocks

TEST(TBufferTest, FillsUpToItsSizeAndReusesSpaceOnlyWhenEmptied) {
  TBuffer b(10);
  EXPECT_EQ(b.Write("abcdefgh", 8), 8);
  EXPECT_EQ(b.Write("ijkl", 4), 2);  // only 2 bytes of room
  EXPECT_EQ(b.Write("x", 1), 0);
  int len = 0;
  const char* p = b.Peek(len);
  ASSERT_EQ(len, 10);
  EXPECT_EQ(std::string(p, 10), "abcdefghij");
  b.Remove(4);
  EXPECT_EQ(b.Write("x", 1), 0);  // space before the read count is not reused
  p = b.Peek(len);
  EXPECT_EQ(std::string(p, static_cast<std::size_t>(len)), "efghij");
  b.Remove(100);  // more than unread: everything, counts back to 0
  EXPECT_EQ(b.Peek(len), nullptr);
  EXPECT_EQ(len, 0);
  EXPECT_EQ(b.WrCount(), 0);
  EXPECT_EQ(b.RdCount(), 0);
  EXPECT_EQ(b.Write("0123456789", 10), 10);
}

TEST(TBufferTest, NonPositiveSizeMeansTheDefaultBlock) {
  EXPECT_EQ(TBuffer(0).BufSize(), 1514);
  EXPECT_EQ(TBuffer(-5).BufSize(), 1514);
  EXPECT_EQ(TBuffer().BufSize(), 1514);
}

// ---------------------------------------------------------------------------
// Resolution functions

TEST(WSocketResolve, HostAcceptsDottedAddressesAndRejectsBadOnes) {
  EXPECT_EQ(WSocketResolveHost("127.0.0.1").s_addr, htonl(INADDR_LOOPBACK));
  EXPECT_EQ(WSocketResolveHost(" 10.1.2.3 ").s_addr, inet_addr("10.1.2.3"));
  EXPECT_EQ(WSocketResolveHost("255.255.255.255").s_addr, INADDR_NONE);
  try {
    WSocketResolveHost(" 300.1.1.1");
    FAIL() << "no exception";
  } catch (const ESocketException& e) {
    EXPECT_STREQ(e.what(), "WSocketResolveHost: ' 300.1.1.1' Invalid IP address.");
  }
  EXPECT_THROW(WSocketResolveHost(std::string(257, 'a')), ESocketException);
  try {
    WSocketResolveHost("");
    FAIL() << "no exception";
  } catch (const ESocketException& e) {
    EXPECT_STREQ(e.what(), "WSocketResolveHost: '' Invalid Hostname.");
  }
}

TEST(WSocketResolve, HostNameFromTheHostsFile) {
  EXPECT_EQ(WSocketResolveHost("localhost").s_addr, htonl(INADDR_LOOPBACK));
}

TEST(WSocketResolve, PortsFromNumbersAndServiceNames) {
  EXPECT_EQ(WSocketResolvePort("25", "tcp"), 25);
  EXPECT_EQ(WSocketResolvePort("  8080", "tcp"), 8080);
  EXPECT_EQ(WSocketResolvePort("53x", "udp"), 53);  // stops at the first non-digit
  EXPECT_EQ(WSocketResolvePort("smtp", "tcp"), 25);
  EXPECT_EQ(WSocketResolvePort("domain", "udp"), 53);
  try {
    WSocketResolvePort(std::string(32, '1'), "tcp");
    FAIL() << "no exception";
  } catch (const ESocketException& e) {
    EXPECT_STREQ(e.what(), "WSocketResolvePort: Invalid Port.");
  }
  EXPECT_THROW(WSocketResolvePort("", "tcp"), ESocketException);
  // A number too large for a port is refused, not wrapped onto another port.
  try {
    WSocketResolvePort("65561", "tcp");
    FAIL() << "no exception";
  } catch (const ESocketException& e) {
    EXPECT_STREQ(e.what(), "WSocketResolvePort: Cannot convert port '65561'");
  }
  try {
    WSocketResolvePort("no-such-service-here", "tcp");
    FAIL() << "no exception";
  } catch (const ESocketException& e) {
    EXPECT_STREQ(e.what(), "WSocketResolvePort: Cannot convert port 'no-such-service-here'");
  }
}

TEST(WSocketResolve, Protocols) {
  EXPECT_EQ(WSocketResolveProto("tcp"), 6);
  EXPECT_EQ(WSocketResolveProto("udp"), 17);
  EXPECT_EQ(WSocketResolveProto("17"), 17);
  try {
    WSocketResolveProto("");
    FAIL() << "no exception";
  } catch (const ESocketException& e) {
    EXPECT_STREQ(e.what(), "WSocketResolveProto: Invalid Protocol.");
  }
  EXPECT_THROW(WSocketResolveProto("nonesuch"), ESocketException);
}

TEST(WSocketResolve, LocalHostNameIsTheSystemsName) {
  char buf[256] = {};
  ASSERT_EQ(gethostname(buf, sizeof buf - 1), 0);
  EXPECT_EQ(LocalHostName(), std::string(buf));
}

// ---------------------------------------------------------------------------
// Properties and Connect's checks

TEST_F(WSocketTest, ConnectChecksPortThenAddressThenProtocol) {
  TWSocket s(loop);
  auto message = [&] {
    try {
      s.Connect();
    } catch (const ESocketException& e) {
      return std::string(e.what());
    }
    return std::string("no exception");
  };
  EXPECT_EQ(message(), "Connect: No Port Specified");  // address missing as well
  s.SetPort("25");
  EXPECT_EQ(message(), "Connect: No IP Address Specified");
  s.SetAddr("  127.0.0.1 ");
  EXPECT_EQ(s.Addr(), "127.0.0.1");
  s.SetProto("   ");
  EXPECT_EQ(message(), "Connect: No Protocol Specified");
  EXPECT_EQ(s.state(), wsClosed);
}

TEST_F(WSocketTest, ErrorsGoToOnErrorInsteadOfThrowingWhenAssigned) {
  TWSocket s(loop);
  int errors = 0;
  s.OnError = [&](TWSocket&) { ++errors; };
  EXPECT_NO_THROW(s.Connect());
  EXPECT_EQ(errors, 1);
  EXPECT_EQ(s.Send("x", 1), -1);
  EXPECT_EQ(errors, 2);
  EXPECT_EQ(s.LastError(), 10057);
}

TEST_F(WSocketTest, SendOnAClosedSocketReports10057) {
  TWSocket s(loop);
  try {
    s.SendStr("hello");
    FAIL() << "no exception";
  } catch (const ESocketException& e) {
    EXPECT_STREQ(e.what(), "Error 10057 in function Send\r\nSocket is not connected");
  }
  EXPECT_EQ(s.LastError(), 10057);
}

TEST_F(WSocketTest, InvalidSendFlagsAndSocksLevelAreRefused) {
  TWSocket s(loop);
  s.SetSendFlags(wsSendUrgent);
  EXPECT_EQ(s.SendFlags(), wsSendUrgent);
  EXPECT_THROW(s.SetSendFlags(static_cast<TSocketSendFlags>(7)), ESocketException);
  EXPECT_EQ(s.SendFlags(), wsSendUrgent);
  EXPECT_THROW(s.SetSocksLevel("6"), ESocketException);
  s.SetSocksLevel("4a");
  EXPECT_EQ(s.SocksLevel(), "4A");
}

// ---------------------------------------------------------------------------
// TCP client against a raw loopback peer

TEST_F(WSocketTest, ConnectExchangeAndPeerCloseRaiseTheEventsInOrder) {
  TcpPeerServer server(loop);
  server.onAccept = [](TcpPeer& p) { p.Write("220 hello\r\n"); };
  TWSocket s(loop);
  Recorder r;
  r.Attach(s);
  PrepareTcp(s, server.port());
  s.Connect();
  EXPECT_EQ(s.state(), wsConnecting);
  EXPECT_EQ(r.Count("connected 0"), 0);  // never inside Connect for TCP
  ASSERT_TRUE(Run([&] { return r.data == "220 hello\r\n"; }));
  EXPECT_EQ(s.GetPeerAddr(), "127.0.0.1");
  EXPECT_NE(s.GetXPort(), "error");
  EXPECT_EQ(s.SendStr("HELO me\r\n"), 9);
  ASSERT_TRUE(
      Run([&] { return server.peers.size() == 1 && server.peers[0]->received.size() == 9; }));
  EXPECT_EQ(server.peers[0]->received, "HELO me\r\n");
  EXPECT_EQ(s.ReadCount(), 11);
  server.peers[0]->Write("221 bye\r\n");
  server.peers[0]->Close();
  ASSERT_TRUE(Run([&] { return s.state() == wsClosed; }));
  EXPECT_EQ(r.data, "220 hello\r\n221 bye\r\n");
  const std::vector<std::string> expected = {"state closed>opened",
                                             "state opened>connecting",
                                             "state connecting>connected",
                                             "connected 0",
                                             "sent 0",
                                             "closed 0",
                                             "state connected>closed"};
  // The session-closed report precedes the close's own state change.
  std::vector<std::string> got = r.log;
  EXPECT_EQ(got, expected);
}

TEST_F(WSocketTest, EveryCloseRestoresTheDefaults) {
  TcpPeerServer server(loop);
  TWSocket s(loop);
  Recorder r;
  r.Attach(s);
  PrepareTcp(s, server.port());
  s.SetLingerOnOff(wsLingerNoSet);
  s.SetLingerTimeout(5);
  s.Connect();
  ASSERT_TRUE(Run([&] { return s.state() == wsConnected; }));
  EXPECT_EQ(s.ReceiveStr(), "");
  s.Close();
  EXPECT_EQ(s.state(), wsClosed);
  EXPECT_EQ(s.LingerOnOff(), wsLingerOn);
  EXPECT_EQ(s.LingerTimeout(), 0);
  EXPECT_EQ(s.proto(), "tcp");
  EXPECT_EQ(s.LocalPort(), "0");
  EXPECT_EQ(s.Addr(), "127.0.0.1");  // the text is kept, but no longer assigned
  EXPECT_EQ(s.HSocket(), -1);
  try {
    s.Connect();
    FAIL() << "no exception";
  } catch (const ESocketException& e) {
    EXPECT_STREQ(e.what(), "Connect: No Port Specified");
  }
  // Setting the same texts again makes the object usable for a new connection.
  PrepareTcp(s, server.port());
  s.Connect();
  EXPECT_TRUE(Run([&] { return s.state() == wsConnected; }));
  EXPECT_EQ(server.peers.size(), 2u);
}

TEST_F(WSocketTest, SettersRefuseChangesWhileOpen) {
  TcpPeerServer server(loop);
  TWSocket s(loop);
  PrepareTcp(s, server.port());
  s.Connect();
  const std::pair<std::function<void()>, std::string> cases[] = {
      {[&] { s.SetAddr("10.0.0.1"); }, "Cannot change Addr if not closed"},
      {[&] { s.SetPort("1"); }, "Cannot change Port if not closed"},
      {[&] { s.SetProto("udp"); }, "Cannot change Proto if not closed"},
      {[&] { s.SetLocalPort("1"); }, "Cannot change LocalPort if not closed"},
      {[&] { s.SetSocksServer("1.2.3.4"); }, "Can't change socks server if not closed"},
      {[&] { s.SetSocksPort("1"); }, "Can't change socks port if not closed"},
      {[&] { s.SetSocksLevel("4"); }, "Can't change socks level if not closed"},
      {[&] { s.Connect(); }, "Connect: Socket already in use"},
  };
  for (const auto& [call, text] : cases) {
    try {
      call();
      ADD_FAILURE() << "no exception for " << text;
    } catch (const ESocketException& e) {
      EXPECT_EQ(e.what(), text);
    }
  }
  EXPECT_EQ(s.Addr(), "127.0.0.1");
}

TEST_F(WSocketTest, RefusedConnectionReports10061FromTheLoop) {
  TWSocket s(loop);
  Recorder r;
  r.Attach(s);
  PrepareTcp(s, UnusedPort());
  s.Connect();
  EXPECT_EQ(r.Count("connected 10061"), 0);
  ASSERT_TRUE(Run([&] { return s.state() == wsClosed; }));
  EXPECT_EQ(r.Count("connected 10061"), 1);
  EXPECT_EQ(r.Count("closed 0"), 1);
  const auto connected = std::find(r.log.begin(), r.log.end(), "connected 10061");
  EXPECT_EQ(*(connected - 1), "state connecting>connected");
}

TEST_F(WSocketTest, DataSentArrivesLaterNeverInsideSend) {
  TcpPeerServer server(loop);
  TWSocket s(loop);
  Recorder r;
  r.Attach(s);
  bool insideSend = false;
  int sentInside = 0;
  s.OnDataSent = [&](TWSocket&, std::uint16_t) {
    if (insideSend) ++sentInside;
    r.log.push_back("sent");
  };
  s.OnSessionConnected = [&](TWSocket& sock, std::uint16_t) {
    insideSend = true;
    EXPECT_EQ(sock.SendStr("MAIL FROM:<a@b>\r\n"), 17);
    EXPECT_EQ(sock.Send("x", 0), 0);  // nothing queued, nothing reported
    insideSend = false;
  };
  PrepareTcp(s, server.port());
  s.Connect();
  ASSERT_TRUE(Run([&] { return r.Count("sent") == 1; }));
  EXPECT_EQ(sentInside, 0);
  ASSERT_TRUE(Run([&] { return !server.peers.empty() && server.peers[0]->received.size() == 17; }));
  EXPECT_TRUE(s.AllSent());
}

TEST_F(WSocketTest, LargeWritesAreQueuedInBlocksAndReportedOnceDrained) {
  TcpPeerServer server(loop, /*readAtOnce=*/false);
  TWSocket s(loop);
  int sentEvents = 0;
  std::size_t receivedWhenSent = 0;
  s.OnDataSent = [&](TWSocket& sock, std::uint16_t e) {
    EXPECT_EQ(e, 0);
    EXPECT_TRUE(sock.AllSent());
    ++sentEvents;
    receivedWhenSent = server.peers[0]->received.size();
  };
  PrepareTcp(s, server.port());
  s.Connect();
  ASSERT_TRUE(Run([&] { return s.state() == wsConnected && server.peers.size() == 1; }));
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
  EXPECT_LE(receivedWhenSent, payload.size());
}

TEST_F(WSocketTest, CloseWithDefaultLingerResetsAbortEndsWithFin) {
  struct Case {
    const char* name;
    TSocketLingerOnOff linger;  // set before Connect, which applies it
    bool abort;
    bool expectReset;
  };
  const Case cases[] = {
      {"Close, linger on 0 s (default)", wsLingerOn, false, true},
      {"Abort", wsLingerOn, true, false},
      {"Close, linger off", wsLingerOff, false, false},
  };
  for (const auto& c : cases) {
    TcpPeerServer server(loop);
    TWSocket s(loop);
    Recorder r;
    r.Attach(s);
    PrepareTcp(s, server.port());
    s.SetLingerOnOff(c.linger);
    s.Connect();
    ASSERT_TRUE(Run([&] { return s.state() == wsConnected && server.peers.size() == 1; }))
        << c.name;
    if (c.abort)
      s.Abort();
    else
      s.Close();
    // Closing raises the session-closed event at once, exactly once.
    EXPECT_EQ(s.state(), wsClosed) << c.name;
    EXPECT_EQ(r.Count("closed 0"), 1) << c.name;
    TcpPeer& peer = *server.peers[0];
    ASSERT_TRUE(Run([&] { return peer.eof || peer.readError != 0; })) << c.name;
    // A reset leaves the peer's end closed; an orderly close leaves it waiting
    // for its own close.
    EXPECT_EQ(peer.TcpState(), c.expectReset ? TCP_CLOSE : TCP_CLOSE_WAIT) << c.name;
  }
}

TEST_F(WSocketTest, LingerOffCloseDeliversWhatWasSentBeforeIt) {
  TcpPeerServer server(loop);
  TWSocket s(loop);
  PrepareTcp(s, server.port());
  s.SetLingerOnOff(wsLingerOff);
  s.Connect();
  ASSERT_TRUE(Run([&] { return s.state() == wsConnected; }));
  s.SendStr("QUIT\r\n");
  s.Close();
  ASSERT_TRUE(Run([&] { return !server.peers.empty() && server.peers[0]->eof; }));
  EXPECT_EQ(server.peers[0]->received, "QUIT\r\n");
}

TEST_F(WSocketTest, PeerResetWithQueuedDataGivesExactlyOneSessionClosed) {
  TcpPeerServer server(loop, /*readAtOnce=*/false);
  TWSocket s(loop);
  Recorder r;
  r.Attach(s);
  int errors = 0;
  s.OnError = [&](TWSocket&) { ++errors; };
  std::vector<int> closedErrors;
  s.OnSessionClosed = [&](TWSocket&, std::uint16_t e) { closedErrors.push_back(e); };
  PrepareTcp(s, server.port());
  s.Connect();
  ASSERT_TRUE(Run([&] { return s.state() == wsConnected && server.peers.size() == 1; }));
  const std::string chunk(1 << 20, 'z');
  for (int i = 0; i < 8; ++i) s.SendStr(chunk);
  ASSERT_FALSE(s.AllSent());
  server.peers[0]->Reset();
  ASSERT_TRUE(Run([&] { return s.state() == wsClosed; }));
  Spin(20);
  ASSERT_EQ(closedErrors.size(), 1u);
  EXPECT_EQ(closedErrors[0], 10054);
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
    PrepareTcp(s, server.port());
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
  bool read = false;
  std::string got;
  s.OnDataAvailable = [&](TWSocket& sock, std::uint16_t) {
    ++calls;
    if (read) got += sock.ReceiveStr();
  };
  PrepareTcp(s, server.port());
  s.Connect();
  ASSERT_TRUE(Run([&] { return calls > 0; }));
  Spin(30);
  EXPECT_EQ(calls, 1);  // reported once, then left until the next read
  read = true;
  got += s.ReceiveStr();
  EXPECT_EQ(got, "payload");
}

TEST_F(WSocketTest, AHandlerMayDestroyItsSocket) {
  TcpPeerServer server(loop);
  server.onAccept = [](TcpPeer& p) { p.Write("bye"); };
  auto s = std::make_unique<TWSocket>(loop);
  bool destroyed = false;
  s->OnDataAvailable = [&](TWSocket&, std::uint16_t) {
    destroyed = true;
    s.reset();  // last action: the handler's captures die with the socket
  };
  PrepareTcp(*s, server.port());
  s->Connect();
  ASSERT_TRUE(Run([&] { return destroyed; }));
  Spin(10);
  ASSERT_TRUE(Run([&] { return !server.peers.empty() && server.peers[0]->readError != 0; }));
}

TEST_F(WSocketTest, PauseHoldsEventsUntilResume) {
  TcpPeerServer server(loop);
  TWSocket s(loop);
  Recorder r;
  r.Attach(s);
  PrepareTcp(s, server.port());
  s.Connect();
  ASSERT_TRUE(Run([&] { return s.state() == wsConnected && server.peers.size() == 1; }));
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
  PrepareTcp(s, server.port());
  s.Connect();
  ASSERT_TRUE(Run([&] { return s.state() == wsConnected && server.peers.size() == 1; }));
  ASSERT_TRUE(Run([&] { return *server.peers[0]->shutdownDone; }));
  s.SetFlushTimeout(2);  // bounds the wait should the close never come
  s.WaitForClose();
  EXPECT_EQ(s.state(), wsClosed);
  EXPECT_EQ(r.data, "last words");
  EXPECT_EQ(r.Count("closed 0"), 1);
}

TEST_F(WSocketTest, FlushSendsAtOnceAndDataSentStillComesFromTheLoop) {
  TcpPeerServer server(loop);
  TWSocket s(loop);
  Recorder r;
  r.Attach(s);
  PrepareTcp(s, server.port());
  s.Connect();
  ASSERT_TRUE(Run([&] { return s.state() == wsConnected; }));
  const std::string text(100000, 'f');
  s.SendStr(text);
  s.Flush();
  EXPECT_TRUE(s.AllSent());
  EXPECT_EQ(r.Count("sent 0"), 0);
  ASSERT_TRUE(Run([&] { return r.Count("sent 0") >= 1; }));
  ASSERT_TRUE(Run([&] { return server.peers[0]->received.size() == text.size(); }));
}

// ---------------------------------------------------------------------------
// Host-name lookup (numeric or the hosts file only)

TEST_F(WSocketTest, DottedLookupCompletesBeforeReturning) {
  TWSocket s(loop);
  std::vector<int> done;
  s.OnDnsLookupDone = [&](TWSocket&, std::uint16_t e) { done.push_back(e); };
  s.DnsLookup("127.0.0.1");
  ASSERT_EQ(done, std::vector<int>{0});
  EXPECT_EQ(s.DnsResult(), "127.0.0.1");
  EXPECT_EQ(s.DnsResultList(), std::vector<std::string>{"127.0.0.1"});
}

TEST_F(WSocketTest, EmptyLookupThrowsOrReportsThroughOnError) {
  TWSocket s(loop);
  std::vector<std::string> events;
  s.OnDnsLookupDone = [&](TWSocket&, std::uint16_t e) {
    events.push_back("done " + std::to_string(e));
  };
  try {
    s.DnsLookup("");
    FAIL() << "no exception";
  } catch (const ESocketException& e) {
    EXPECT_STREQ(e.what(), "DNS lookup: invalid host name.");
  }
  EXPECT_TRUE(events.empty());
  s.OnError = [&](TWSocket&) { events.push_back("error"); };
  s.DnsLookup("");
  EXPECT_EQ(events, (std::vector<std::string>{"error", "done 10022"}));
}

TEST_F(WSocketTest, NameLookupCompletesFromTheLoop) {
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
}

TEST_F(WSocketTest, ReverseLookupFromTheHostsFile) {
  TWSocket s(loop);
  std::vector<int> done;
  s.OnDnsLookupDone = [&](TWSocket&, std::uint16_t e) { done.push_back(e); };
  s.ReverseDnsLookup("127.0.0.1");
  EXPECT_TRUE(done.empty());
  ASSERT_TRUE(Run([&] { return !done.empty(); }));
  EXPECT_EQ(done, std::vector<int>{0});
  EXPECT_EQ(s.DnsResult(), "localhost");
  EXPECT_EQ(s.DnsResultList(), std::vector<std::string>{"localhost"});
}

TEST_F(WSocketTest, CancelledLookupReports10004OnceAndNothingLater) {
  TWSocket s(loop);
  std::vector<int> done;
  s.OnDnsLookupDone = [&](TWSocket&, std::uint16_t e) { done.push_back(e); };
  s.DnsLookup("localhost");
  s.CancelDnsLookup();
  EXPECT_EQ(done, std::vector<int>{10004});
  loop.run();  // returns once the abandoned lookup has finished in the pool
  EXPECT_EQ(done, std::vector<int>{10004});
  EXPECT_EQ(s.DnsResult(), "");
}

TEST_F(WSocketTest, DestroyingWithAPendingLookupReportsNothing) {
  int done = 0;
  {
    TWSocket s(loop);
    s.OnDnsLookupDone = [&](TWSocket&, std::uint16_t) { ++done; };
    s.DnsLookup("localhost");
  }
  loop.run();
  EXPECT_EQ(done, 0);
}

// ---------------------------------------------------------------------------
// Line mode

TEST_F(WSocketTest, LineModeDeliversOneLinePerEventAndTheTailAtClose) {
  TcpPeerServer server(loop);
  server.onAccept = [](TcpPeer& p) {
    p.Write("one\r\ntwo\r\nthr");
    p.Write("ee\r\n");
    p.Write("tail");
    p.Close();
  };
  TWSocket s(loop);
  s.SetLineMode(true);
  std::vector<std::string> lines;
  s.OnDataAvailable = [&](TWSocket& sock, std::uint16_t) {
    std::string line = sock.ReceiveStr();
    if (!line.empty()) lines.push_back(line);
  };
  PrepareTcp(s, server.port());
  s.Connect();
  ASSERT_TRUE(Run([&] { return s.state() == wsClosed; }));
  EXPECT_EQ(lines, (std::vector<std::string>{"one\r\n", "two\r\n", "three\r\n", "tail"}));
}

TEST_F(WSocketTest, LineModeWithACustomEndAndASmallReadBuffer) {
  TcpPeerServer server(loop);
  server.onAccept = [](TcpPeer& p) { p.Write("alpha|be|"); };
  TWSocket s(loop);
  s.SetLineMode(true);
  s.SetLineEnd("|");
  std::vector<std::string> reads;
  s.OnDataAvailable = [&](TWSocket& sock, std::uint16_t) {
    char buf[3];
    const int n = sock.Receive(buf, sizeof buf);
    if (n > 0) reads.emplace_back(buf, static_cast<std::size_t>(n));
  };
  PrepareTcp(s, server.port());
  s.Connect();
  ASSERT_TRUE(Run([&] { return reads.size() == 3; }));
  // A line longer than the buffer comes in pieces, never mixed with the next.
  EXPECT_EQ(reads, (std::vector<std::string>{"alp", "ha|", "be|"}));
}

TEST_F(WSocketTest, LineModeBoundsALineWithoutEnd) {
  TcpPeerServer server(loop);
  server.onAccept = [](TcpPeer& p) { p.Write(std::string(20, 'x') + "\r\n"); };
  TWSocket s(loop);
  s.SetLineMode(true);
  s.SetLineLimit(8);
  int tooLong = 0;
  s.OnLineTooLong = [&](TWSocket&) { ++tooLong; };
  std::string all;
  std::vector<std::size_t> sizes;
  s.OnDataAvailable = [&](TWSocket& sock, std::uint16_t) {
    std::string line = sock.ReceiveStr();
    sizes.push_back(line.size());
    all += line;
  };
  PrepareTcp(s, server.port());
  s.Connect();
  ASSERT_TRUE(Run([&] { return all.size() == 22; }));
  EXPECT_EQ(all, std::string(20, 'x') + "\r\n");
  EXPECT_GE(tooLong, 2);
  for (std::size_t n : sizes) EXPECT_LE(n, 8u);
}

// ---------------------------------------------------------------------------
// Server side

TEST_F(WSocketTest, ListenAcceptDupCarryAConversationBothWays) {
  TWSocket listener(loop);
  listener.SetAddr("127.0.0.1");
  listener.SetPort("0");
  listener.SetProto("tcp");
  std::vector<std::string> states;
  listener.OnChangeState = [&](TWSocket&, TSocketState, TSocketState n) {
    states.push_back(StateName(n));
  };
  TWSocket served(loop);
  Recorder sr;
  sr.Attach(served);
  listener.OnSessionAvailable = [&](TWSocket& l, std::uint16_t e) {
    EXPECT_EQ(e, 0);
    served.Dup(l.Accept());
    served.SendStr("welcome\r\n");
  };
  listener.Listen();
  EXPECT_EQ(states, (std::vector<std::string>{"opened", "bound", "listening"}));
  const std::string port = listener.GetXPort();
  ASSERT_NE(port, "error");
  ASSERT_NE(port, "0");

  TWSocket client(loop);
  Recorder cr;
  cr.Attach(client);
  client.SetAddr("127.0.0.1");
  client.SetPort(port);
  client.SetLingerOnOff(wsLingerOff);
  client.Connect();
  ASSERT_TRUE(Run([&] { return cr.data == "welcome\r\n"; }));
  EXPECT_EQ(served.state(), wsConnected);
  EXPECT_EQ(served.GetPeerAddr(), "127.0.0.1");
  client.SendStr("thanks");
  ASSERT_TRUE(Run([&] { return sr.data == "thanks"; }));
  client.Close();
  ASSERT_TRUE(Run([&] { return served.state() == wsClosed; }));
  EXPECT_EQ(sr.Count("closed 0"), 1) << ::testing::PrintToString(sr.log);
  EXPECT_THROW(served.Accept(), ESocketException);  // not a listening socket
}

TEST_F(WSocketTest, DupRefusesAnInvalidHandle) {
  TWSocket s(loop);
  s.OnError = [](TWSocket&) {};
  s.Dup(-1);
  EXPECT_EQ(s.LastError(), 10022);
  EXPECT_EQ(s.state(), wsClosed);
}

// ---------------------------------------------------------------------------
// UDP

TEST_F(WSocketTest, UdpSendsDatagramsAndReadsRepliesWithTheirSource) {
  UdpPeer peer(loop);
  peer.onDatagram = [](UdpPeer& p, const UdpPeer::Datagram& d) {
    p.SendTo(d.from, "re:" + d.data);
  };
  TWSocket s(loop);
  std::vector<std::string> events;
  std::vector<std::string> replies;
  std::vector<int> sourcePorts;
  s.OnSessionConnected = [&](TWSocket&, std::uint16_t e) {
    events.push_back("connected " + std::to_string(e));
  };
  s.OnDataAvailable = [&](TWSocket& sock, std::uint16_t) {
    char buf[4096];
    const int n = sock.Receive(buf, sizeof buf);
    if (n < 0) return;
    replies.emplace_back(buf, static_cast<std::size_t>(n));
    sourcePorts.push_back(ntohs(sock.LastFrom().sin_port));
    EXPECT_EQ(sock.LastFrom().sin_addr.s_addr, htonl(INADDR_LOOPBACK));
  };
  s.SetProto("udp");
  s.SetAddr("127.0.0.1");
  s.SetPort(std::to_string(peer.port()));
  s.Connect();
  // A datagram endpoint is ready inside Connect.
  EXPECT_EQ(events, std::vector<std::string>{"connected 0"});
  EXPECT_EQ(s.state(), wsConnected);
  EXPECT_NE(s.LocalPort(), "0");
  EXPECT_EQ(s.GetPeerAddr(), "127.0.0.1");
  s.SendStr("first");
  s.SendStr("second");
  const std::string big(3000, 'b');  // larger than a send block: still one datagram
  s.SendStr(big);
  ASSERT_TRUE(Run([&] { return replies.size() == 3; }));
  ASSERT_EQ(peer.datagrams.size(), 3u);
  EXPECT_EQ(peer.datagrams[0].data, "first");
  EXPECT_EQ(peer.datagrams[1].data, "second");
  EXPECT_EQ(peer.datagrams[2].data, big);
  EXPECT_EQ(ntohs(peer.datagrams[0].from.sin_port), std::stoi(s.LocalPort()));
  EXPECT_EQ(replies[0], "re:first");
  EXPECT_EQ(replies[2], "re:" + big);
  for (int p : sourcePorts) EXPECT_EQ(p, peer.port());
}

TEST_F(WSocketTest, UdpReceiveFromReportsAStrangersAddress) {
  UdpPeer server(loop);
  UdpPeer stranger(loop);
  TWSocket s(loop);
  std::vector<int> fromPorts;
  s.OnDataAvailable = [&](TWSocket& sock, std::uint16_t) {
    char buf[512];
    sockaddr_in from{};
    socklen_t len = sizeof from;
    if (sock.ReceiveFrom(buf, sizeof buf, from, len) >= 0)
      fromPorts.push_back(ntohs(from.sin_port));
  };
  s.SetProto("udp");
  s.SetAddr("127.0.0.1");
  s.SetPort(std::to_string(server.port()));
  s.Connect();
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  to.sin_port = htons(static_cast<std::uint16_t>(std::stoi(s.LocalPort())));
  stranger.SendTo(to, "forged");
  ASSERT_TRUE(Run([&] { return fromPorts.size() == 1; }));
  EXPECT_EQ(fromPorts[0], stranger.port());
  EXPECT_EQ(s.ReadCount(), 6);
}

}  // namespace
}  // namespace orvane::net
