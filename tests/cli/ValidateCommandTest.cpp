// orvane-cli check and run against scripted DNS and SMTP servers that run on
// a thread of their own while the command runs as a child process.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <condition_variable>
#include <filesystem>
#include <future>
#include <map>
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

// DNS: "cli.test" and "all.test" -> 127.0.0.2. SMTP on 127.0.0.2: RCPT TO
// for any address of "all.test" (a catch-all domain) and for a local part
// starting with "good" is accepted; "hang" gets no reply; "grey" gets 450 the
// first time and 250 after; "eNNN" gets the reply code NNN; others get 550.
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
    dns.addMx("all.test", 10, "127.0.0.2");
    std::map<std::string, int> greyTries;  // RCPTs per "grey" local part (server thread only)
    ScriptedSmtpServer smtp(loop, "127.0.0.2");
    smtp.setHandler([&](const ScriptedSmtpServer::Command& c) -> std::optional<SmtpAction> {
      if (c.verb != "RCPT") return std::nullopt;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        ++rcpts_;
      }
      cv_.notify_all();
      const std::string local = c.localPart();
      const auto starts = [&](const char* prefix) { return local.rfind(prefix, 0) == 0; };
      if (c.address().ends_with("@all.test") || starts("good")) return SmtpAction::Line("250 ok");
      if (starts("hang")) return SmtpAction::Silence();
      if (starts("grey")) {
        return SmtpAction::Line(greyTries[local]++ == 0 ? "450 try again later" : "250 ok");
      }
      if (local.size() >= 4 && local[0] == 'e' &&
          std::all_of(local.begin() + 1, local.begin() + 4,
                      [](unsigned char d) { return std::isdigit(d) != 0; })) {
        return SmtpAction::Line(local.substr(1, 3) + " scripted refusal");
      }
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
    const std::vector<std::string> common = {"--from",
                                             "checker@origin.test",
                                             "--dns",
                                             "127.0.0.1:" + std::to_string(servers_->dnsPort),
                                             "--smtp-port",
                                             std::to_string(servers_->smtpPort),
                                             "--timeout",
                                             "5",
                                             "--greylist-delay",
                                             "0"};
    args.insert(args.begin() + 1, common.begin(), common.end());
    return args;
  }
  static std::string File(const std::string& name) { return dir_->file(name); }

  static testing::TempDir* dir_;
  static ServerThread* servers_;
};

testing::TempDir* ValidateCommand::dir_ = nullptr;
ServerThread* ValidateCommand::servers_ = nullptr;

// Each record names the entry's text as given and ends with its verdict; one
// summary line on standard error closes the run (no progress line: standard
// error is not a terminal).
TEST_F(ValidateCommand, CheckPrintsEachAddressAsGivenWithItsVerdictAndASummary) {
  const std::string catchAll =
      "[0] Valid E-mail Address! (catch-all domain: it accepts any address)";
  const struct {
    std::vector<std::string> args;
    std::string input;
    std::string out;
    std::string err;
  } cases[] = {
      {{"check", "--connections", "1", "good@cli.test", "Bob <bob@cli.test>", "nodomain@",
        "any@all.test"},
       "",
       "good@cli.test\t[0] Valid E-mail Address!\tvalid\n"
       "Bob <bob@cli.test>\t[550] Mailbox unavailable\tinvalid\n"
       "nodomain@\t[-1] Not an e-mail address: no domain after the \"@\"\tinvalid\n"
       "any@all.test\t" +
           catchAll + "\tcatch-all\n",
       "Verdicts: valid 1, invalid 2, catch-all 1, unknown 0\n"},
      // The three most common causes of unknown, ties in the order they came.
      {{"check", "--format", "csv", "--connections", "1", "good@cli.test", "x@cli.test",
        "e554@cli.test", "e552a@cli.test", "e500@cli.test", "e552b@cli.test", "e557@cli.test"},
       "",
       "index,address,code,message,verdict\n"
       "0,good@cli.test,0,Valid E-mail Address!,valid\n"
       "1,x@cli.test,550,Mailbox unavailable,invalid\n"
       "2,e554@cli.test,554,Transaction failed,unknown\n"
       "3,e552a@cli.test,552,Exceeded storage allocation. Try later,unknown\n"
       "4,e500@cli.test,500,Recipient's  SMTP server returned error 500,unknown\n"
       "5,e552b@cli.test,552,Exceeded storage allocation. Try later,unknown\n"
       "6,e557@cli.test,557,Recipient's  SMTP server returned error 557,unknown\n",
       "Verdicts: valid 1, invalid 1, catch-all 0, unknown 5; unknown because: \"Exceeded storage "
       "allocation. Try later\" 2, \"Transaction failed\" 1, \"Recipient's  SMTP server returned "
       "error 500\" 1\n"},
      // A list on standard input: blank lines skipped, each line printed as given.
      {{"check", "--connections", "1", "--list", "-"},
       "Good One <good1@cli.test>\r\n\n   \nbad@cli.test\n",
       "Good One <good1@cli.test>\t[0] Valid E-mail Address!\tvalid\n"
       "bad@cli.test\t[550] Mailbox unavailable\tinvalid\n",
       "Verdicts: valid 1, invalid 1, catch-all 0, unknown 0\n"},
      // The options override the saved ones: no catch-all probe; a retry after a
      // 4xx once the greylisting delay is over (the common arguments say 0).
      {{"check", "--catch-all", "off", "other@all.test"},
       "",
       "other@all.test\t[0] Valid E-mail Address!\tvalid\n",
       "Verdicts: valid 1, invalid 0, catch-all 0, unknown 0\n"},
      {{"check", "--greylist-delay", "1", "grey1@cli.test"},
       "",
       "grey1@cli.test\t[0] Valid E-mail Address!\tvalid\n",
       "Verdicts: valid 1, invalid 0, catch-all 0, unknown 0\n"},
  };
  for (const auto& c : cases) {
    const auto r = runCli(Args(c.args), c.input);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err);
  }
}

TEST_F(ValidateCommand, CheckPrintsJsonLinesWithLogs) {
  const auto r = runCli(Args({"check", "--format=jsonl", "--log", "good@cli.test"}));
  EXPECT_EQ(r.status, 0) << r.err;
  const std::string head =
      "{\"index\":0,\"address\":\"good@cli.test\",\"code\":0,\"message\":\"Valid E-mail "
      "Address!\",\"verdict\":\"valid\",\"log\":[\"Requesting SMTP servers for this domain "
      "(cli.test)\",";
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
      {{"check", "--greylist-delay", "-1", "a@b.test"}, 2, "orvane-cli check: invalid greylisting"},
      {{"check", "--catch-all", "yes", "a@b.test"}, 2, "orvane-cli check: invalid catch-all"},
      {{"check", "--per-connection", "0", "a@b.test"}, 2, "orvane-cli check: invalid addresses"},
      {{"check", "--host-connections", "-1", "a@b.test"},
       2,
       "orvane-cli check: invalid connections"},
      {{"run", "--save-every", "0", "p.orp"}, 2, "orvane-cli run: invalid interval"},
      // Every server of --dns must be an IP address with an optional port 1..65535.
      {{"check", "--dns", "192.0.2.1 [2001:db8::1]:53\t2001:db8::2  192.0.2.2:5353", "a@b.test"},
       1,
       noFrom},
      {{"check", "--dns", "dns.example", "a@b.test"},
       2,
       "orvane-cli check: invalid DNS server 'dns.example' (an IP address, optionally :PORT)\n"},
      {{"check", "--dns", "192.0.2.1 [::1]:65536", "a@b.test"},
       2,
       "orvane-cli check: invalid DNS server '[::1]:65536'"},
      {{"check", "--dns", "192.0.2.1:0", "a@b.test"}, 2, "orvane-cli check: invalid DNS server"},
      {{"check", "--dns", "192.0.2.1:", "a@b.test"}, 2, "orvane-cli check: invalid DNS server"},
      {{"check", "--dns", "[192.0.2.1]:53", "a@b.test"}, 2, "orvane-cli check: invalid DNS server"},
      {{"check", "--dns", " ", "a@b.test"}, 2, "orvane-cli check: option '--dns' needs a server"},
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
  const std::string help = runCli({"check", "--help"}).out;
  for (const char* option :
       {"--smtp-port PORT", "--greylist-delay SECONDS", "--catch-all on|off"}) {
    EXPECT_NE(help.find(option), std::string::npos) << option;
  }
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
            "index,address,code,message,verdict\n"
            "0,good@cli.test,0,Valid E-mail Address!,valid\n"
            "2,Cy <cy@cli.test>,550,Mailbox unavailable,invalid\n");

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
  // The saved results keep their verdicts.
  EXPECT_EQ(runCli({"export", path}).out,
            "Email,Result,Name,Verdict\r\n"
            "good@cli.test,[0] Valid E-mail Address!,Ann,valid\r\n"
            "skip@cli.test,,Ben,\r\n"
            "Cy <cy@cli.test>,[550] Mailbox unavailable,Cy,invalid\r\n");
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
  EXPECT_NE(r.out.find("hang1@cli.test\t[-8] Aborted by user\tunknown\n"), std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("hang2@cli.test\t[-8] Aborted by user\tunknown\n"), std::string::npos)
      << r.out;
  EXPECT_EQ(r.out.find("never@cli.test"), std::string::npos);
  EXPECT_EQ(r.err,
            "Verdicts: valid 0, invalid 0, catch-all 0, unknown 2; unknown because: \"Aborted by "
            "user\" 2\n");

  RecipientList saved;
  loadProject(path, saved);
  ASSERT_EQ(saved.count(), 3u);
  EXPECT_EQ(saved.entry(0).resultText(), "[-8] Aborted by user");
  EXPECT_EQ(saved.entry(1).resultText(), "[-8] Aborted by user");
  EXPECT_EQ(saved.entry(2).resultState, kNotValidated);
}

}  // namespace
}  // namespace orvane

namespace orvane {
namespace {

// Blocks until a file is renamed into `folder` (how a save lands), at most
// `timeoutMs`; false on time-out.
bool WaitForSaveIn(int inotify, int timeoutMs) {
  pollfd p{inotify, POLLIN, 0};
  if (::poll(&p, 1, timeoutMs) != 1) return false;
  char buffer[4096];
  return ::read(inotify, buffer, sizeof buffer) > 0;
}

// A long run keeps what it validated: saved while it lasts, stopped by a
// closed terminal (SIGHUP) like Ctrl-C, and, when the project can no longer be
// written, saved to a recovery file whose place the message names.
TEST_F(ValidateCommand, RunSavesAsItGoesAndKeepsItsResultsWhenTheProjectCannotBeWritten) {
  const std::string folder = File("long-run");
  std::filesystem::create_directories(folder);
  const std::string path = folder + "/long.orp";
  RecipientList list;
  list.addEntry("good@cli.test", {});
  list.addEntry("hang3@cli.test", {});
  saveProject(path, list);
  const std::string data = File("data");
  ::setenv("XDG_DATA_HOME", data.c_str(), 1);
  const int watch = ::inotify_init1(IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  ASSERT_GE(::inotify_add_watch(watch, folder.c_str(), IN_MOVED_TO), 0);

  const int before = servers_->Rcpts();
  const auto r =
      runCli(Args({"run", "--connections", "2", "--save-every", "0.05", path}), {}, [&](pid_t pid) {
        servers_->WaitForRcpts(before + 2);
        // Checkpoints land while the run still waits for "hang3"; the server
        // may see the RCPT before the run has taken its reply, so a checkpoint
        // or two may come before "good" is in.
        RecipientList saved;
        for (int i = 0; i < 100; ++i) {
          ASSERT_TRUE(WaitForSaveIn(watch, 5000));
          loadProject(path, saved);
          if (saved.entry(0).resultText() == "[0] Valid E-mail Address!") break;
        }
        EXPECT_EQ(saved.entry(0).resultText(), "[0] Valid E-mail Address!");
        EXPECT_EQ(saved.entry(1).resultState, kChecking);
        std::filesystem::rename(folder, folder + "-moved");  // the last save must fail
        ::kill(pid, SIGHUP);
      });
  ::close(watch);
  ::unsetenv("XDG_DATA_HOME");
  EXPECT_EQ(r.status, 1);
  const std::string marker = "; the results were saved to ";
  const auto at = r.err.find(marker);
  ASSERT_NE(at, std::string::npos) << r.err;
  const std::string recovery =
      r.err.substr(at + marker.size(), r.err.find('\n', at) - at - marker.size());
  EXPECT_EQ(recovery.rfind(data + "/Tamsworth/Orvane/recovered/long.recovered-", 0), 0u)
      << recovery;
  RecipientList recovered;
  loadProject(recovery, recovered);
  EXPECT_EQ(recovered.entry(0).resultText(), "[0] Valid E-mail Address!");
  EXPECT_EQ(recovered.entry(1).resultText(), "[-8] Aborted by user");
}

}  // namespace
}  // namespace orvane
