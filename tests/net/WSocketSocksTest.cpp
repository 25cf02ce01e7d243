#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "net/WSocket.h"
#include "tests/net/WSocketTestSupport.h"

extern char** environ;

namespace orvane::net {
namespace {

using testing::TcpPeer;
using testing::TcpPeerServer;
using testing::Thrown;
using testing::UnusedPort;

constexpr std::uint64_t kWaitMs = 5000;
constexpr const char* kMicrosocks = "/usr/bin/microsocks";

// Everything a SOCKS client socket reports, in order.
struct SocksRecorder {
  std::vector<std::string> log;
  std::string data;
  void Attach(TWSocket& s) {
    s.OnSocksConnected = [this](TWSocket&, std::uint16_t e) {
      log.push_back("socks connected " + std::to_string(e));
    };
    s.OnSocksError = [this](TWSocket&, int e, const std::string&) {
      log.push_back("socks error " + std::to_string(e));
    };
    s.OnSocksAuthState = [this](TWSocket&, TSocksAuthState a) {
      log.push_back("auth " + std::to_string(a));
    };
    s.OnSessionConnected = [this](TWSocket&, std::uint16_t e) {
      log.push_back("connected " + std::to_string(e));
    };
    s.OnSessionClosed = [this](TWSocket&, std::uint16_t e) {
      log.push_back("closed " + std::to_string(e));
    };
    s.OnDataAvailable = [this](TWSocket& sock, std::uint16_t) { data += sock.ReceiveStr(); };
  }
};

class SocksTest : public ::testing::Test {
 protected:
  bool Run(const std::function<bool()>& done) { return loop.runUntil(done, kWaitMs); }

  void PrepareThroughProxy(TWSocket& s, int proxyPort, const std::string& addr, int port,
                           const std::string& level) {
    s.SetSocksServer("127.0.0.1");
    s.SetSocksPort(std::to_string(proxyPort));
    s.SetSocksLevel(level);
    s.SetProto("tcp");
    s.SetAddr(addr);
    s.SetPort(std::to_string(port));
  }

  EventLoop loop;
};

// ---------------------------------------------------------------------------
// A real SOCKS 5 server, started for the test and stopped after it.

class MicrosocksTest : public SocksTest {
 protected:
  void SetUp() override {
    if (access(kMicrosocks, X_OK) != 0) GTEST_SKIP() << "microsocks is not installed";
    proxyPort = UnusedPort();
    const std::string portText = std::to_string(proxyPort);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::vector<std::string> args = {"microsocks", "-i", "127.0.0.1", "-p", portText};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int rc = posix_spawn(&pid, kMicrosocks, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ASSERT_EQ(rc, 0) << "cannot start microsocks";
    ASSERT_TRUE(WaitForProxyPort()) << "microsocks did not open its port";
  }

  void TearDown() override {
    if (pid > 0) {
      kill(pid, SIGTERM);
      int status = 0;
      waitpid(pid, &status, 0);
    }
  }

  // Tries to connect until the proxy accepts; each refused attempt is retried
  // from a short timer on the loop.
  bool WaitForProxyPort() {
    TWSocket probe(loop);
    Timer retry(loop);
    bool ready = false;
    std::function<void()> attempt = [&] {
      probe.SetProto("tcp");
      probe.SetAddr("127.0.0.1");
      probe.SetPort(std::to_string(proxyPort));
      probe.Connect();
    };
    probe.OnSessionConnected = [&](TWSocket& s, std::uint16_t e) {
      if (e == 0) {
        ready = true;
        s.SetLingerOnOff(wsLingerOff);
        return;
      }
      retry.start(5, 0, [&] { attempt(); });
    };
    attempt();
    const bool ok = Run([&] { return ready; });
    probe.Abort();
    return ok;
  }

  pid_t pid = -1;
  int proxyPort = 0;
};

TEST_F(MicrosocksTest, Socks5CarriesDataResolvesNamesOnTheServerAndReportsRefusals) {
  TcpPeerServer server(loop);
  server.onAccept = [](TcpPeer& p) { p.Write("220 through the proxy\r\n"); };
  for (const char* addr : {"127.0.0.1", "localhost"}) {
    TWSocket s(loop);
    SocksRecorder r;
    r.Attach(s);
    PrepareThroughProxy(s, proxyPort, addr, server.port(), "5");
    s.Connect();
    ASSERT_TRUE(Run([&] { return r.data == "220 through the proxy\r\n"; })) << addr;
    EXPECT_EQ(r.log, (std::vector<std::string>{"auth 3", "socks connected 0", "connected 0"}));
    // The socket talks to the proxy, not to the server directly.
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    ASSERT_EQ(s.GetPeerName(peer, len), 0);
    EXPECT_EQ(ntohs(peer.sin_port), proxyPort);
    s.SendStr("HELO me\r\n");
    ASSERT_TRUE(Run([&] { return server.peers.back()->received == "HELO me\r\n"; }));
  }
  EXPECT_EQ(server.peers.size(), 2u);
  TWSocket s(loop);
  SocksRecorder r;
  r.Attach(s);
  PrepareThroughProxy(s, proxyPort, "127.0.0.1", UnusedPort(), "5");
  s.Connect();
  ASSERT_TRUE(Run([&] { return s.state() == wsClosed; }));
  ASSERT_GE(r.log.size(), 3u);
  EXPECT_EQ(r.log[0], "auth 3");
  ASSERT_EQ(r.log[1].rfind("socks error ", 0), 0u) << r.log[1];
  const std::string code = r.log[1].substr(12);
  EXPECT_NE(code, "0");
  EXPECT_EQ(r.log[2], "connected " + code);
}

// ---------------------------------------------------------------------------
// Scripted SOCKS responders for the 4, 4A and authenticated 5 dialogues.

TEST_F(SocksTest, Socks4And4ASendTheRequestAndKeepDataAfterTheReply) {
  struct Case {
    const char* level;
    std::string addr;
    std::string expectedRequest;
  };
  const std::string user = "bob";
  const Case cases[] = {
      {"4", "127.0.0.1", std::string("\x04\x01\x01\xbb\x7f\x00\x00\x01", 8) + "bob" + '\0'},
      {"4A", "mx.example.test",
       std::string("\x04\x01\x01\xbb\x00\x00\x00\x01", 8) + "bob" + '\0' + "mx.example.test" +
           '\0'},
      // A dotted address needs no server-side lookup even at level 4A.
      {"4A", "10.1.2.3", std::string("\x04\x01\x01\xbb\x0a\x01\x02\x03", 8) + "bob" + '\0'},
  };
  for (const auto& c : cases) {
    TcpPeerServer proxy(loop);
    proxy.onAccept = [&](TcpPeer& p) {
      p.onData = [&](TcpPeer& peer) {
        if (peer.received.size() == c.expectedRequest.size())
          peer.Write(std::string("\x00\x5a\x00\x00\x00\x00\x00\x00", 8) + "220 ready\r\n");
      };
    };
    TWSocket s(loop);
    SocksRecorder r;
    r.Attach(s);
    s.SetSocksUsercode(user);
    PrepareThroughProxy(s, proxy.port(), c.addr, 443, c.level);
    s.Connect();
    ASSERT_TRUE(Run([&] { return r.data == "220 ready\r\n"; })) << c.level << " " << c.addr;
    EXPECT_EQ(proxy.peers[0]->received, c.expectedRequest) << c.level << " " << c.addr;
    EXPECT_EQ(r.log, (std::vector<std::string>{"socks connected 0", "connected 0"}));
  }
}

// A SOCKS 5 server that wants a user code and password.
struct AuthProxy {
  explicit AuthProxy(EventLoop& loop, bool accept) : server(loop) {
    server.onAccept = [this, accept](TcpPeer& p) {
      p.onData = [this, accept](TcpPeer& peer) {
        const std::string& in = peer.received;
        if (step == 0 && in.size() >= 4) {
          greeting = in.substr(0, 4);
          step = 1;
          peer.Write(std::string("\x05\x02", 2));
        } else if (step == 1 && in.size() >= 4 + 13) {
          auth = in.substr(4, 13);
          step = 2;
          peer.Write(accept ? std::string("\x01\x00", 2) : std::string("\x01\x01", 2));
        } else if (step == 2 && in.size() >= 17 + 10) {
          request = in.substr(17, 10);
          step = 3;
          // The reply and the first application bytes arrive together.
          peer.Write(std::string("\x05\x00\x00\x01\x7f\x00\x00\x01\x04\x00", 10) + "220 hi\r\n");
        }
      };
    };
  }
  TcpPeerServer server;
  int step = 0;
  std::string greeting, auth, request;
};

TEST_F(SocksTest, Socks5WithUserCodeAndPassword) {
  AuthProxy proxy(loop, /*accept=*/true);
  TWSocket s(loop);
  SocksRecorder r;
  r.Attach(s);
  s.SetSocksAuthentication(socksAuthenticateUsercode);
  s.SetSocksUsercode("user");
  s.SetSocksPassword("secret");
  PrepareThroughProxy(s, proxy.server.port(), "192.0.2.7", 25, "5");
  s.Connect();
  ASSERT_TRUE(Run([&] { return r.data == "220 hi\r\n"; }));
  EXPECT_EQ(proxy.greeting, std::string("\x05\x02\x00\x02", 4));
  EXPECT_EQ(proxy.auth, std::string("\x01\x04user\x06secret", 13));
  EXPECT_EQ(proxy.request, std::string("\x05\x01\x00\x01\xc0\x00\x02\x07\x00\x19", 10));
  EXPECT_EQ(r.log,
            (std::vector<std::string>{"auth 0", "auth 1", "socks connected 0", "connected 0"}));
}

TEST_F(SocksTest, RejectionRefusedCredentialsOrProxyCloseFailTheConnect) {
  const struct {
    const char* name;
    const char* level;
    bool auth;  // through AuthProxy, which refuses the credentials
    int error;
    std::vector<std::string> log;  // before the error
  } cases[] = {{"SOCKS 4 rejection", "4", false, socksRejectedOrFailed, {}},
               {"refused credentials", "5", true, socksAuthenticationFailed, {"auth 0", "auth 2"}},
               {"proxy closes mid-negotiation", "5", false, socksDataReceiveError, {}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    AuthProxy authProxy(loop, /*accept=*/false);
    TcpPeerServer proxy(loop);  // closes at once for SOCKS 5, rejects a SOCKS 4 request
    proxy.onAccept = [](TcpPeer& p) {
      p.onData = [](TcpPeer& peer) {
        if (peer.received[0] == 5) peer.Close();
        if (peer.received.size() == 9) peer.Write(std::string("\x00\x5b\0\0\0\0\0\0", 8));
      };
    };
    TWSocket s(loop);
    SocksRecorder r;
    r.Attach(s);
    if (c.auth) {
      s.SetSocksAuthentication(socksAuthenticateUsercode);
      s.SetSocksUsercode("user");
      s.SetSocksPassword("wrong!");
    }
    PrepareThroughProxy(s, c.auth ? authProxy.server.port() : proxy.port(), "127.0.0.1", 25,
                        c.level);
    s.Connect();
    ASSERT_TRUE(Run([&] { return s.state() == wsClosed; }));
    std::vector<std::string> expected = c.log;
    for (const char* e : {"socks error ", "connected "})
      expected.push_back(e + std::to_string(c.error));
    expected.push_back("closed 0");
    EXPECT_EQ(r.log, expected);
  }
}

TEST_F(SocksTest, OnlyTcpAndNoListeningThroughAProxy) {
  TWSocket s(loop);
  s.SetSocksServer("127.0.0.1");
  s.SetProto("udp");
  s.SetAddr("127.0.0.1");
  s.SetPort("53");
  EXPECT_EQ(Thrown<ESocketException>([&] { s.Connect(); }),
            "tcp is the only protocol supported thru socks server");
  EXPECT_EQ(Thrown<ESocketException>([&] { s.Listen(); }),
            "listening is not supported thru socks server");
  EXPECT_EQ(s.state(), wsClosed);
}

}  // namespace
}  // namespace orvane::net
