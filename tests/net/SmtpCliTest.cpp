#include "net/SmtpCli.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/Loopback.h"
#include "tests/support/ScriptedSmtpServer.h"
#include "tests/support/TestHelpers.h"

namespace orvane::net {
namespace {

using testing::MicrosocksProxy;
using testing::ScriptedSmtpServer;
using testing::SmtpAction;
using testing::thrownMessage;
using Done = std::pair<TSmtpRequest, std::uint16_t>;
using Dones = std::vector<Done>;
using Lines = std::vector<std::string>;

constexpr std::uint64_t kWaitMs = 5000;

class SmtpCliTest : public ::testing::Test {
 protected:
  SmtpCliTest() {
    client->OnRequestDone = [this](TSmtpCli& sender, TSmtpRequest rq, std::uint16_t error) {
      done.emplace_back(rq, error);
      doneIds.push_back(sender.doneRequestId());
      if (onDone) onDone(rq, error);
    };
    client->OnResponse = [this](TSmtpCli&, const std::string& msg) { responses.push_back(msg); };
    client->OnCommand = [this](TSmtpCli&, const std::string& msg) { commands.push_back(msg); };
    client->OnDisplay = [this](TSmtpCli&, const std::string& msg) { displays.push_back(msg); };
    client->setHost("127.0.0.1");
    client->setPort(std::to_string(server->port()));
    client->setSignOn("tester.example");
    client->setFromName("sender@example.org");
    client->setRcptName({"someone@example.net"});
  }
  ~SmtpCliTest() override { client.reset(); }

  bool waitDone(std::size_t count) {
    return loop.runUntil([&] { return done.size() >= count; }, kWaitMs);
  }
  bool call(void (TSmtpCli::*request)()) {
    const std::size_t before = done.size();
    (*client.*request)();
    return waitDone(before + 1);
  }
  // Lets every notice already queued (and anything else ready) run.
  void settle() {
    for (int i = 0; i < 5; ++i) loop.processPendingNotices();
  }
  bool openAndWait() { return call(&TSmtpCli::Open) && done.back() == Done(smtpConnect, 0); }
  Lines transcript() const { return server->transcript(0); }

  EventLoop loop;
  std::unique_ptr<ScriptedSmtpServer> server = std::make_unique<ScriptedSmtpServer>(loop);
  std::unique_ptr<TSmtpCli> client = std::make_unique<TSmtpCli>(loop);
  Dones done;
  std::vector<std::uint64_t> doneIds;
  Lines responses, commands, displays;
  std::function<void(TSmtpRequest, std::uint16_t)> onDone;
};

TEST_F(SmtpCliTest, FullDialogueReportsEachRequestOnceInOrder) {
  onDone = [this](TSmtpRequest rq, std::uint16_t error) {
    ASSERT_EQ(error, 0);
    if (rq == smtpConnect) client->MailFrom();
    if (rq == smtpMailFrom) client->RcptTo();
    if (rq == smtpRcptTo) client->Rset();
    if (rq == smtpRset) client->Quit();
  };
  // Arguments are trimmed; an empty SignOn greets with the local host name.
  client->setSignOn("");
  client->setFromName("  sender@example.org \t");
  client->setRcptName({" someone@example.net "});
  client->Open();
  EXPECT_TRUE(done.empty());
  ASSERT_TRUE(waitDone(5));
  EXPECT_EQ(
      done,
      (Dones{{smtpConnect, 0}, {smtpMailFrom, 0}, {smtpRcptTo, 0}, {smtpRset, 0}, {smtpQuit, 0}}));
  const std::string helo = "HELO " + localHostName();
  EXPECT_EQ(transcript(), (Lines{helo, "MAIL FROM:<sender@example.org>",
                                 "RCPT TO:<someone@example.net>", "RSET", "QUIT"}));
  EXPECT_EQ(commands, transcript());
  EXPECT_EQ(responses, (Lines{"220 scripted.test ready", "250 scripted.test", "250 sender ok",
                              "250 recipient ok", "250 ok", "221 bye"}));
  EXPECT_EQ(client->LastResponse(), "221 bye");
  EXPECT_EQ(client->ErrorMessage(), "");
  // The server closes after 221: no second notice for the QUIT.
  ASSERT_TRUE(loop.runUntil([&] { return !client->Connected(); }, kWaitMs));
  settle();
  EXPECT_EQ(done.size(), 5u);
  EXPECT_EQ(client->State(), smtpReady);
}

// How lines are cut from the stream is SmtpReplyTest's; here, that a reply
// completes its request at its last line only, wherever the segments end, and
// that a second reply in the same segment is processed after it: it answers
// the HELO sent meanwhile, and the real HELO reply is then unsolicited.
TEST_F(SmtpCliTest, RepliesCompleteAtTheirLastLineWhereverSegmentsEnd) {
  server->setGreeting(
      SmtpAction::raw("220-first\x1bline\r\n220 second line\r\n250 early\r\n").split({16, 20}));
  ASSERT_TRUE(openAndWait());
  ASSERT_TRUE(loop.runUntil([&] { return displays.back() == "< 250 scripted.test"; }, kWaitMs));
  settle();
  EXPECT_EQ(done.size(), 1u);
  EXPECT_EQ(responses.front(), "220-first?line");  // control bytes shown as marks
  EXPECT_EQ(displays, (Lines{"< 220-first?line", "< 220 second line", "> HELO tester.example",
                             "< 250 early", "< 250 scripted.test"}));
}

TEST_F(SmtpCliTest, RefusedOrCodelessGreetingClosesAndARefusedHeloKeepsTheConnection) {
  const struct {
    std::string greeting, helo;  // the failing reply is the greeting unless it is 220
    std::uint16_t error;
    bool connected;
  } cases[] = {{"554 go away", "250 ok", 10004, false},
               {"SSH-2.0-not-smtp\r\n220 too late", "250 ok", 500, false},
               {"220 ok", "501 bad helo", 501, true},
               {"220 ok", "hello there", 500, true}};
  for (const auto& c : cases) {
    const bool greeted = c.greeting == "220 ok";
    const std::string failing = greeted ? c.helo : c.greeting.substr(0, c.greeting.find('\r'));
    SCOPED_TRACE(failing);
    client->Abort();
    done.clear();
    responses.clear();
    server->setGreeting(SmtpAction::raw(c.greeting + "\r\n"));
    server->on("HELO", SmtpAction::line(c.helo));
    ASSERT_TRUE(call(&TSmtpCli::Open));
    settle();
    EXPECT_EQ(done, (Dones{{smtpConnect, c.error}}));
    EXPECT_EQ(client->ErrorMessage(), failing);
    EXPECT_EQ(client->statusCode(), c.error == 10004 ? 554 : c.error);
    EXPECT_EQ(client->Connected(), c.connected);
    EXPECT_EQ(client->State(), smtpReady);
    EXPECT_EQ(responses, (greeted ? Lines{c.greeting, c.helo} : Lines{failing}));
  }
  EXPECT_EQ(server->transcript(0), Lines{});  // no HELO after a refused greeting
  // The connection kept after a refused HELO serves RSET; the error stays
  // until the next Open.
  ASSERT_TRUE(call(&TSmtpCli::Rset));
  EXPECT_EQ(done.back(), Done(smtpRset, 0));
  EXPECT_EQ(client->ErrorMessage(), "hello there");
}

TEST_F(SmtpCliTest, RecipientCodesDecideAndOnlyTheLastRecipientCounts) {
  server->setHandler([](const ScriptedSmtpServer::Command& c) -> std::optional<SmtpAction> {
    if (c.verb != "RCPT") return std::nullopt;
    if (c.localPart() == "moved") return SmtpAction::line("251 will forward");
    if (c.localPart() == "ok") return SmtpAction::line("250 fine");
    return SmtpAction::line("550 no such user");
  });
  ASSERT_TRUE(openAndWait());
  const std::pair<Lines, std::uint16_t> cases[] = {{{"moved@x.test"}, 0},
                                                   {{"bad@x.test"}, 550},
                                                   {{"bad@x.test", "ok@x.test"}, 0},
                                                   {{"ok@x.test", "bad@x.test"}, 550}};
  for (const auto& [rcpt, error] : cases) {
    client->setRcptName(rcpt);
    ASSERT_TRUE(call(&TSmtpCli::RcptTo));
    EXPECT_EQ(done.back(), Done(smtpRcptTo, error));
  }
  settle();
  EXPECT_EQ(done.size(), 5u);
  EXPECT_EQ(transcript().size(), 1u + 6u);
  EXPECT_EQ(client->ErrorMessage(), "550 no such user");
}

TEST_F(SmtpCliTest, AbortLeavesTheClientIdleAndEveryNoticeComesLaterFromTheLoop) {
  client->Quit();  // not connected: nothing is sent, the notice still comes later
  EXPECT_TRUE(done.empty());
  ASSERT_TRUE(waitDone(1));
  EXPECT_EQ(done, (Dones{{smtpQuit, 0}}));
  EXPECT_EQ(server->connectionCount(), 0u);
  // Aborted before the connection is made, then while the greeting is silent.
  server->setGreeting(SmtpAction::silence());
  client->Open();
  client->Abort();
  EXPECT_FALSE(client->Connected());
  EXPECT_EQ(client->State(), smtpReady);
  client->Open();
  EXPECT_FALSE(loop.runUntil([&] { return done.size() > 2; }, 50));
  EXPECT_TRUE(client->Connected());
  EXPECT_EQ(client->State(), smtpWaitingBanner);
  client->Abort();
  ASSERT_TRUE(waitDone(3));
  EXPECT_EQ(done, (Dones{{smtpQuit, 0}, {smtpConnect, 10004}, {smtpConnect, 10004}}));
  // Aborted while a reply is awaited: a new request may start at once, and the
  // late notice tells which request it belongs to.
  server->setGreeting(SmtpAction::line("220 ok"));
  server->on("RCPT", SmtpAction::silence());
  ASSERT_TRUE(openAndWait());
  client->RcptTo();
  const std::uint64_t rcptId = client->requestId();
  ASSERT_TRUE(loop.runUntil([&] { return server->transcript(2).size() == 2; }, kWaitMs));
  client->Abort();
  EXPECT_EQ(done.size(), 4u);  // not inside Abort
  client->Open();
  const std::uint64_t openId = client->requestId();
  ASSERT_TRUE(waitDone(6));
  EXPECT_EQ(done[4].second, 10004);  // reported under the request current then
  EXPECT_EQ(done[5], Done(smtpConnect, 0));
  EXPECT_EQ(doneIds[4], rcptId);
  EXPECT_EQ(doneIds[5], openId);
  EXPECT_NE(rcptId, openId);
}

TEST_F(SmtpCliTest, FailedConnectionsEndOpenWithTheirCodeAndATextNamingTheCause) {
  const std::string closed = std::to_string(testing::unusedLoopbackPort());
  const std::string refused = "Connection refused (Winsock error #10061)";
  const struct {
    std::string host, port, local, proxy;  // proxy: a SOCKS port on 127.0.0.1
    std::uint16_t error;
    std::string text;
  } cases[] = {
      {"127.0.0.1", closed, "", "", 10061, "500 " + refused},
      // An empty label: the lookup refuses the name without asking any server.
      {"bad..name", "25", "", "", 11001, "500 Host not found (Winsock error #11001)"},
      {"localhost", "25", "198.51.100.254", "", 10049,
       "500 local address 198.51.100.254 is not an address of this machine (Winsock error #10049)"},
      {"127.0.0.1", "25", "", closed, 10061,
       "500 proxy 127.0.0.1:" + closed + " cannot be reached: " + refused}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    done.clear();
    client->setHost(c.host);
    client->setPort(c.port);
    client->setLocalAddr(c.local);
    client->setSocksServer(c.proxy.empty() ? "" : "127.0.0.1");
    client->setSocksPort(c.proxy);
    ASSERT_TRUE(call(&TSmtpCli::Open));
    EXPECT_EQ(done, (Dones{{smtpConnect, c.error}}));
    EXPECT_EQ(client->LastResponse(), c.text);
    EXPECT_EQ(client->ErrorMessage(), c.text);
    EXPECT_EQ(client->statusCode(), 500);
    EXPECT_EQ(client->proxyFailure(), !c.proxy.empty());
    EXPECT_FALSE(client->Connected());
    EXPECT_EQ(client->State(), smtpReady);
  }
}

TEST_F(SmtpCliTest, ConnectionsLeaveFromTheLocalAddressAndReachIpv6Hosts) {
  const bool v6 = testing::hasIpv6Loopback();
  if (v6) server->addListener("::1");
  for (const char* local : {"127.0.0.2", "::1"}) {  // the host: loopback of the same family
    if (local[0] == ':' && !v6) continue;
    client->Abort();
    client->setHost(local[0] == ':' ? "::1" : "127.0.0.1");
    client->setLocalAddr(local);
    ASSERT_TRUE(openAndWait()) << local;
    EXPECT_EQ(server->peerAddress(server->connectionCount() - 1), local);
    EXPECT_EQ(client->localAddress(), local);
  }
  // Not an address of this machine: thrown (numeric host), the socket freed.
  client->Abort();
  client->setHost("127.0.0.1");
  client->setLocalAddr("198.51.100.254");
  EXPECT_EQ(thrownMessage<ESocketException>([&] { client->Open(); }),
            "winsock.bind failed, error #10049 (local address 198.51.100.254 is not an address "
            "of this machine)");
  client->setLocalAddr("");
  ASSERT_TRUE(openAndWait());
  if (!v6) GTEST_SKIP() << "no IPv6 loopback on this machine: the IPv6 cases were skipped";
}

TEST_F(SmtpCliTest, SocksProxyCarriesTheDialogueAndItsRefusalsNameItNeverThePassword) {
  if (!MicrosocksProxy::installed()) GTEST_SKIP() << "microsocks is not installed";
  const std::string pass = "s3cret-Pw", to = std::to_string(server->port());
  MicrosocksProxy open, guarded("orvane", pass);
  const struct {
    const MicrosocksProxy& proxy;
    std::string user, password, port;
    std::uint16_t error;
    std::string text;  // after "500 proxy 127.0.0.1:<port> refused the connection "
  } cases[] = {
      {guarded, "orvane", pass, to, 0, ""},
      {guarded, "", "", to, 20003, "(SOCKS: the proxy requires a user name and password)"},
      {guarded, "orvane", "wrong-" + pass, to, 20015, "(SOCKS: user name or password refused)"},
      {open, "", "", std::to_string(testing::unusedLoopbackPort()), 20008,
       "(SOCKS reply 5: connection refused)"}};
  client->setSocksServer("127.0.0.1");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    client->Abort();
    done.clear();
    client->setSocksPort(std::to_string(c.proxy.port()));
    client->setSocksUsercode(c.user);
    client->setSocksPassword(c.password);
    client->setPort(c.port);
    ASSERT_TRUE(call(&TSmtpCli::Open));
    EXPECT_EQ(done, (Dones{{smtpConnect, c.error}}));
    EXPECT_EQ(client->proxyFailure(), c.error != 0);
    const std::string proxy = "500 proxy 127.0.0.1:" + std::to_string(c.proxy.port());
    EXPECT_EQ(client->ErrorMessage(),
              c.text.empty() ? "" : proxy + " refused the connection " + c.text);
    displays.push_back(client->LastResponse());
  }
  EXPECT_EQ(server->transcript(0), Lines{"HELO tester.example"});  // the only connection
  for (const auto& text : displays) EXPECT_EQ(text.find(pass), std::string::npos) << text;
}

TEST_F(SmtpCliTest, MisuseThrowsTheDocumentedMessages) {
  client->setHost("");
  EXPECT_EQ(thrownMessage([&] { client->Open(); }), "DNS lookup: invalid host name.");
  EXPECT_EQ(client->State(), smtpDnsLookup);  // stays so until Abort
  client->setHost("127.0.0.1");
  EXPECT_THROW(client->Open(), SmtpException);
  client->Abort();
  EXPECT_EQ(thrownMessage([&] { client->MailFrom(); }), "SMTP component not connected");
  client->Open();
  EXPECT_EQ(thrownMessage([&] { client->Open(); }), "SMTP component not ready");
  ASSERT_TRUE(waitDone(1));
  EXPECT_EQ(thrownMessage([&] { client->Open(); }), "SMTP component already connected");
  client->setRcptName({});
  EXPECT_EQ(thrownMessage([&] { client->RcptTo(); }), "RcptName list is empty");
  settle();
  EXPECT_EQ(done, (Dones{{smtpConnect, 0}}));
  EXPECT_EQ(transcript().size(), 1u);
}

TEST_F(SmtpCliTest, LineBreaksOrNulInCommandArgumentsAreRefusedBeforeSending) {
  ASSERT_TRUE(openAndWait());
  TSmtpCli& c = *client;
  for (const std::string& text :
       {std::string("x\r\nRCPT TO:<victim@example.net>"), std::string("x\nQUIT"),
        std::string("x\rQUIT"), std::string("x\0y", 3)}) {
    SCOPED_TRACE(text);
    c.setFromName(text);
    EXPECT_THROW(c.MailFrom(), SmtpException);
    c.setFromName("sender@example.org");
    c.setRcptName({"fine@example.net", text});
    EXPECT_THROW(c.RcptTo(), SmtpException);
    c.setRcptName({"fine@example.net"});
    c.setSignOn(text);
    EXPECT_THROW(c.Helo(), SmtpException);
    c.setSignOn("tester.example");
    EXPECT_EQ(c.State(), smtpReady);
  }
  settle();
  EXPECT_EQ(transcript(), (Lines{"HELO tester.example"}));
  // A refused SignOn stops Open before it connects.
  c.Abort();
  c.setSignOn("a\r\nb");
  EXPECT_THROW(c.Open(), SmtpException);
  settle();
  EXPECT_EQ(server->connectionCount(), 1u);
}

TEST_F(SmtpCliTest, OverlongRepliesAndAResetOrCloseMidLineFailTheRequestAndClose) {
  std::string endless;  // a multi-line reply that never gets its last line
  for (int i = 0; i < 150; ++i) endless += "250-more\r\n";
  // Twenty lines of 4000 bytes: under the line limit, 80 kB for the reply.
  std::string bulky;
  for (int i = 0; i < 20; ++i) bulky += "250-" + std::string(3996, 'b') + "\r\n";
  bulky += "250 done\r\n";
  const struct {
    SmtpAction greeting, helo;
    std::uint16_t error;
    const char* last;  // the start of LastResponse()
  } cases[] = {
      {SmtpAction::raw(std::string(5000, 'x') + "\r\n250 injected\r\n"), SmtpAction::silence(), 500,
       "500 Repl"},
      {SmtpAction::line("220 ok"), SmtpAction::raw(endless), 500, "500 Repl"},
      {SmtpAction::line("220 ok"), SmtpAction::raw(bulky), 500, "500 Repl"},
      {SmtpAction::line("220 ok"), SmtpAction::raw("250 par").thenReset(), 10004, "220 ok"},
      {SmtpAction::line("220 ok"), SmtpAction::raw("250 par").thenClose(), 10004, "220 ok"}};
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(i);
    done.clear();
    responses.clear();
    server->setGreeting(cases[i].greeting);
    server->on("HELO", cases[i].helo);
    client->Abort();
    ASSERT_TRUE(call(&TSmtpCli::Open));
    ASSERT_TRUE(loop.runUntil([&] { return !client->Connected(); }, kWaitMs));
    settle();
    EXPECT_EQ(done, (Dones{{smtpConnect, cases[i].error}}));
    EXPECT_EQ(client->State(), smtpReady);
    EXPECT_EQ(client->LastResponse().substr(0, 8), cases[i].last);
    // Nothing of an over-long line, nor what follows it, is taken for a reply.
    EXPECT_EQ(responses.empty(), i == 0);
    EXPECT_EQ(std::count(responses.begin(), responses.end(), "250 done"), 0);
  }
}

TEST_F(SmtpCliTest, ClientDestroyedInsideAResponseHandlerStopsCleanly) {
  server->setGreeting(SmtpAction::lines({"220-one", "220-two", "220 three"}));
  client->OnResponse = [this](TSmtpCli&, const std::string& msg) {
    responses.push_back(msg);
    client.reset();
  };
  client->Open();
  ASSERT_TRUE(loop.runUntil([&] { return client == nullptr; }, kWaitMs));
  settle();
  EXPECT_EQ(responses, (Lines{"220-one"}));
  EXPECT_TRUE(done.empty());
  // The socket, destroyed inside its own handler, closed its connection.
  ASSERT_TRUE(loop.runUntil([&] { return server->openConnections() == 0; }, kWaitMs));
}

TEST_F(SmtpCliTest, MailSeparatesHeaderFromBodyAndStuffsLeadingDots) {
  const Lines body = {"Hello", ".hidden", "two\r\nlines"};
  client->setHdrSubject("Greetings");
  client->OnGetData = [&](TSmtpCli&, int lineNum, char* line, int maxLen, bool& more) {
    more = lineNum <= static_cast<int>(body.size());
    if (more)
      std::snprintf(line, static_cast<std::size_t>(maxLen) + 1, "%s", body[lineNum - 1].c_str());
  };
  ASSERT_TRUE(openAndWait());
  ASSERT_TRUE(call(&TSmtpCli::Mail));
  EXPECT_EQ(done.back(), Done(smtpMail, 0));
  const Lines message = server->message(0);
  const auto blank = std::find(message.begin(), message.end(), "");
  EXPECT_NE(std::find(message.begin(), blank, "Subject: Greetings"), blank);
  EXPECT_EQ(Lines(blank, message.end()), (Lines{"", "Hello", "..hidden", "two", "lines"}));
}

}  // namespace
}  // namespace orvane::net
