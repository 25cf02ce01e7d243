// The socket through a real SOCKS 5 server, started for the test. The bytes
// of every SOCKS version and reply are covered by SocksCodecTest.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "net/WSocket.h"
#include "tests/net/WSocketTestSupport.h"

extern char** environ;

namespace orvane::net {
namespace {

using testing::TcpPeer;
using testing::TcpPeerServer;
using testing::UnusedPort;
using Texts = std::vector<std::string>;

constexpr const char* kMicrosocks = "/usr/bin/microsocks";

class MicrosocksTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (access(kMicrosocks, X_OK) != 0) GTEST_SKIP() << "microsocks is not installed";
    proxyPort = UnusedPort();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::vector<std::string> args = {"microsocks", "-i", "127.0.0.1", "-p",
                                     std::to_string(proxyPort)};
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
      waitpid(pid, nullptr, 0);
    }
  }

  // Connects until the proxy accepts; a refused attempt is retried from a
  // short timer on the loop.
  bool WaitForProxyPort() {
    TWSocket probe(loop);
    Timer retry(loop);
    bool ready = false;
    const std::function<void()> attempt = [&] {
      probe.SetAddr("127.0.0.1");
      probe.SetPort(std::to_string(proxyPort));
      probe.Connect();
    };
    probe.OnSessionConnected = [&](TWSocket& s, std::uint16_t e) {
      ready = e == 0;
      if (ready) s.SetLingerOnOff(wsLingerOff);
      if (!ready) retry.start(5, 0, [&] { attempt(); });
    };
    attempt();
    const bool ok = loop.runUntil([&] { return ready; }, 5000);
    probe.Abort();
    return ok;
  }

  // Connects through the proxy to `port` at SOCKS `level`, recording the
  // events in `log` and the data received in `data`.
  void ConnectThrough(TWSocket& s, int port, const char* level, Texts& log, std::string& data) {
    const auto add = [&log](const char* what, int n) { log.push_back(what + std::to_string(n)); };
    s.OnSocksConnected = [add](TWSocket&, std::uint16_t e) { add("socks connected ", e); };
    s.OnSocksError = [add](TWSocket&, int e, const std::string&) { add("socks error ", e); };
    s.OnSocksAuthState = [add](TWSocket&, TSocksAuthState a) { add("auth ", a); };
    s.OnSessionConnected = [add](TWSocket&, std::uint16_t e) { add("connected ", e); };
    s.OnDataAvailable = [&](TWSocket& sock, std::uint16_t) { data += sock.ReceiveStr(); };
    s.SetSocksServer("127.0.0.1");
    s.SetSocksPort(std::to_string(proxyPort));
    s.SetSocksLevel(level);
    s.SetAddr("localhost");  // resolved by the proxy (SOCKS 5)
    s.SetPort(std::to_string(port));
    s.Connect();
    loop.runUntil([&] { return log.size() >= 2 && log.back().rfind("connected", 0) == 0; }, 5000);
  }

  EventLoop loop;
  pid_t pid = -1;
  int proxyPort = 0;
};

TEST_F(MicrosocksTest, Socks5CarriesDataAndFailuresEndTheConnect) {
  TcpPeerServer server(loop);
  server.onAccept = [](TcpPeer& p) { p.Write("220 through the proxy\r\n"); };
  TWSocket s(loop);
  Texts log;
  std::string data;
  ConnectThrough(s, server.port(), "5", log, data);
  EXPECT_EQ(log, (Texts{"auth 3", "socks connected 0", "connected 0"}));
  ASSERT_TRUE(loop.runUntil([&] { return data == "220 through the proxy\r\n"; }, 5000));
  sockaddr_in peer{};
  socklen_t len = sizeof peer;
  ASSERT_EQ(s.GetPeerName(peer, len), 0);
  EXPECT_EQ(ntohs(peer.sin_port), proxyPort);  // the socket talks to the proxy only
  s.SendStr("HELO me\r\n");
  ASSERT_TRUE(loop.runUntil([&] { return server.peers.back()->received == "HELO me\r\n"; }, 5000));

  // The proxy finds nothing listening (reply 5); a SOCKS 4A request, which
  // this proxy answers with two bytes and a close, in the middle of the reply.
  const std::pair<const char*, Texts> failures[] = {
      {"5", {"auth 3", "socks error 20008", "connected 20008"}},
      {"4A", {"socks error 20014", "connected 20014"}}};
  for (const auto& [level, expected] : failures) {
    TWSocket failing(loop);
    Texts events;
    std::string none;
    ConnectThrough(failing, UnusedPort(), level, events, none);
    EXPECT_EQ(events, expected);
    EXPECT_TRUE(loop.runUntil([&] { return failing.state() == wsClosed; }, 5000)) << level;
  }
}

}  // namespace
}  // namespace orvane::net
