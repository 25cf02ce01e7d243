// orvane-cli check and run against scripted DNS and SMTP servers that run on
// a thread of their own while the command runs as a child process.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <algorithm>
#include <condition_variable>
#include <future>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <uv.h>

#include "core/ProjectFile.h"
#include "core/RecipientList.h"
#include "net/EventLoop.h"
#include "tests/cli/CliRunner.h"
#include "tests/support/ScriptedDnsServer.h"
#include "tests/support/ScriptedSmtpServer.h"

namespace orvane {
namespace {

using testing::runCli;
using testing::ScriptedSmtpServer;
using testing::SmtpAction;

// DNS: "cli.test" -> 127.0.0.2. SMTP on 127.0.0.2: RCPT TO for a local part
// starting with "good" is accepted, "hang" gets no reply, others get 550.
class ServerThread {
 public:
  ServerThread() {
    std::promise<std::pair<std::uint16_t, std::uint16_t>> ports;
    auto ready = ports.get_future();
    thread_ = std::thread([this, &ports] { Run(ports); });
    const auto p = ready.get();
    dnsPort = p.first;
    smtpPort = p.second;
  }
  ~ServerThread() {
    uv_async_send(stop_);
    thread_.join();
  }
  // RCPT commands received so far, in all.
  int Rcpts() {
    std::lock_guard<std::mutex> lock(mutex_);
    return rcpts_;
  }
  // Blocks until the server has received `n` RCPT commands in all.
  void WaitForRcpts(int n) {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait(lock, [&] { return rcpts_ >= n; });
  }

  std::uint16_t dnsPort = 0;
  std::uint16_t smtpPort = 0;

 private:
  void Run(std::promise<std::pair<std::uint16_t, std::uint16_t>>& ports) {
    net::EventLoop loop;
    testing::ScriptedDnsServer dns(loop);
    dns.addMx("cli.test", 10, "127.0.0.2");
    ScriptedSmtpServer smtp(loop, "127.0.0.2");
    smtp.setHandler([this](const ScriptedSmtpServer::Command& c) -> std::optional<SmtpAction> {
      if (c.verb != "RCPT") return std::nullopt;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        ++rcpts_;
      }
      cv_.notify_all();
      if (c.localPart().rfind("good", 0) == 0) return SmtpAction::Line("250 ok");
      if (c.localPart().rfind("hang", 0) == 0) return SmtpAction::Silence();
      return SmtpAction::Line("550 no such user");
    });
    bool stop = false;
    stop_ = new uv_async_t;
    uv_async_init(loop.uv(), stop_, [](uv_async_t* a) { *static_cast<bool*>(a->data) = true; });
    stop_->data = &stop;
    ports.set_value({dns.port(), smtp.port()});
    while (!stop) uv_run(loop.uv(), UV_RUN_ONCE);
    uv_close(reinterpret_cast<uv_handle_t*>(stop_),
             [](uv_handle_t* h) { delete reinterpret_cast<uv_async_t*>(h); });
  }

  std::thread thread_;
  uv_async_t* stop_ = nullptr;
  std::mutex mutex_;
  std::condition_variable cv_;
  int rcpts_ = 0;
};

class ValidateCommand : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new testing::TempDir;
    // The child reads its saved options from here, never the user's own.
    ::setenv("XDG_CONFIG_HOME", dir_->file("config").c_str(), 1);
    servers_ = new ServerThread;
  }
  static void TearDownTestSuite() {
    delete servers_;
    delete dir_;
  }

  static std::vector<std::string> Args(std::vector<std::string> args) {
    const std::vector<std::string> common = {
        "--from",      "checker@origin.test",
        "--dns",       "127.0.0.1:" + std::to_string(servers_->dnsPort),
        "--smtp-port", std::to_string(servers_->smtpPort),
        "--timeout",   "5"};
    args.insert(args.begin() + 1, common.begin(), common.end());
    return args;
  }
  static std::string File(const std::string& name) { return dir_->file(name); }

  static testing::TempDir* dir_;
  static ServerThread* servers_;
};

testing::TempDir* ValidateCommand::dir_ = nullptr;
ServerThread* ValidateCommand::servers_ = nullptr;

TEST_F(ValidateCommand, CheckPrintsOneRecordPerAddressInEachFormat) {
  const struct {
    std::vector<std::string> args;
    std::string input;
    std::string out;
  } cases[] = {
      {{"check", "--connections", "1", "good@cli.test", "Bob <bob@cli.test>", "nodomain@"},
       "",
       "good@cli.test\t[0] Valid E-mail Address!\n"
       "bob@cli.test\t[550] Mailbox unavailable\n"
       "nodomain@\t[-1] Failed: Invalid Domain Name\n"},
      {{"check", "--format", "csv", "--connections", "1", "good@cli.test", "x@cli.test"},
       "",
       "index,address,code,message\n"
       "0,good@cli.test,0,Valid E-mail Address!\n"
       "1,x@cli.test,550,Mailbox unavailable\n"},
      // A list on standard input: blank lines skipped, each line's address taken.
      {{"check", "--connections", "1", "--list", "-"},
       "Good One <good1@cli.test>\r\n\n   \nbad@cli.test\n",
       "good1@cli.test\t[0] Valid E-mail Address!\n"
       "bad@cli.test\t[550] Mailbox unavailable\n"},
  };
  for (const auto& c : cases) {
    const auto r = runCli(Args(c.args), c.input);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, "");  // no progress line: standard error is not a terminal
  }
}

TEST_F(ValidateCommand, CheckPrintsJsonLinesWithLogs) {
  const auto r = runCli(Args({"check", "--format=jsonl", "--log", "good@cli.test"}));
  EXPECT_EQ(r.status, 0) << r.err;
  const std::string head =
      "{\"index\":0,\"address\":\"good@cli.test\",\"code\":0,\"message\":\"Valid E-mail "
      "Address!\",\"log\":[\"Requesting SMTP servers for this domain (cli.test)\",";
  EXPECT_EQ(r.out.substr(0, head.size()), head) << r.out;
  EXPECT_NE(r.out.find("\"RCPT TO:<good@cli.test>\""), std::string::npos);
  EXPECT_NE(r.out.find("\"QUIT\""), std::string::npos);
  EXPECT_EQ(r.out.find("RSET"), std::string::npos);
  EXPECT_EQ(r.out.substr(r.out.size() - 3), "]}\n");
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1);
}

TEST_F(ValidateCommand, ExitStatuses) {
  const std::string noFrom =
      "Please provide a valid e-mail address for the FROM field (Tools | Options)\n";
  const std::string missing = File("missing.txt");
  const struct {
    std::vector<std::string> args;
    int status;
    std::string err;  // expected start of standard error
  } cases[] = {
      {{"check", "a@cli.test"}, 1, noFrom},  // no sender saved and none given
      {{"check", "--from", "not an address", "a@cli.test"}, 1, noFrom},
      {{"check", "--from", "a@b.test", "--list", missing}, 1, "Cannot open file " + missing},
      {{"run", "--from", "a@b.test", File("missing.orp")}, 1, "Cannot open file "},
      {{"check"}, 2, "orvane-cli check: no address given"},
      {{"check", "--bogus", "a@b.test"}, 2, "orvane-cli check: unknown option '--bogus'"},
      {{"check", "--format", "xml", "a@b.test"}, 2, "orvane-cli check: unknown format 'xml'"},
      {{"check", "--connections", "0", "a@b.test"}, 2, "orvane-cli check: invalid number"},
      {{"check", "--timeout", "x", "a@b.test"}, 2, "orvane-cli check: invalid time-out"},
      {{"check", "--list", "f", "a@b.test"}, 2, "orvane-cli check: give addresses or --list"},
      {{"run", "a.orp", "b.orp"}, 2, "orvane-cli run: give exactly one project file"},
      {{"run", "--list", "x", "a.orp"}, 2, "orvane-cli run: unknown option '--list'"},
      {{"check", "--help"}, 0, ""},
      {{"run", "--help"}, 0, ""},
  };
  for (const auto& c : cases) {
    const auto r = runCli(c.args);
    EXPECT_EQ(r.status, c.status) << c.args[1] << " " << r.err;
    EXPECT_EQ(r.err.substr(0, c.err.size()), c.err) << c.args[1];
    EXPECT_TRUE(c.status == 0 || r.out.empty()) << c.args[1] << " " << r.out;
  }
  EXPECT_NE(runCli({"check", "--help"}).out.find("--smtp-port PORT"), std::string::npos);
}

TEST_F(ValidateCommand, RunSavesResultsIntoTheProject) {
  RecipientList list;
  list.addColumn({"Name", 100});
  list.addEntry("good@cli.test", std::vector<std::string>{"Ann"});
  list.addEntry("skip@cli.test", std::vector<std::string>{"Ben"});
  list.setCheckState(1, 0);
  list.addEntry("Cy <cy@cli.test>", std::vector<std::string>{"Cy"});
  const std::string path = File("project.orp");
  saveProject(path, list);

  const auto r = runCli(Args({"run", "--format", "csv", "--connections", "1", path}));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "index,address,code,message\n"
            "0,good@cli.test,0,Valid E-mail Address!\n"
            "2,cy@cli.test,550,Mailbox unavailable\n");

  RecipientList saved;
  loadProject(path, saved);
  ASSERT_EQ(saved.count(), 3u);
  EXPECT_EQ(saved.entry(0).resultText(), "[0] Valid E-mail Address!");
  EXPECT_EQ(saved.entry(0).checkState, 0);
  EXPECT_EQ(saved.entry(0).subItem(1), "Ann");
  EXPECT_EQ(saved.entry(1).resultState, kNotValidated);
  EXPECT_EQ(saved.entry(1).resultText(), "");
  EXPECT_EQ(saved.entry(2).resultText(), "[550] Mailbox unavailable");
  EXPECT_EQ(saved.entry(2).checkState, 1);
  EXPECT_EQ(saved.columns().size(), 3u);
}

TEST_F(ValidateCommand, CtrlCReportsAddressesInHandAndSavesTheProject) {
  RecipientList list;
  list.addEntry("hang1@cli.test", {});
  list.addEntry("hang2@cli.test", {});
  list.addEntry("never@cli.test", {});
  const std::string path = File("interrupted.orp");
  saveProject(path, list);

  // Ctrl-C once the servers hold both addresses' RCPT commands unanswered.
  const int before = servers_->Rcpts();
  const auto r = runCli(Args({"run", "--connections", "2", path}), {}, [before](pid_t pid) {
    servers_->WaitForRcpts(before + 2);
    ::kill(pid, SIGINT);
  });
  EXPECT_EQ(r.status, 0);
  // Both addresses in hand are reported, in whichever order they were stopped.
  EXPECT_NE(r.out.find("hang1@cli.test\t[-8] Aborted by user\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("hang2@cli.test\t[-8] Aborted by user\n"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("never@cli.test"), std::string::npos);

  RecipientList saved;
  loadProject(path, saved);
  ASSERT_EQ(saved.count(), 3u);
  EXPECT_EQ(saved.entry(0).resultText(), "[-8] Aborted by user");
  EXPECT_EQ(saved.entry(1).resultText(), "[-8] Aborted by user");
  EXPECT_EQ(saved.entry(2).resultState, kNotValidated);
}

}  // namespace
}  // namespace orvane
