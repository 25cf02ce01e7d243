#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "cli/Records.h"
#include "core/ProjectFile.h"
#include "core/RecipientList.h"
#include "net/EventLoop.h"
#include "net/Signals.h"
#include "tests/import/DbfBuilder.h"
#include "tests/support/LoopThread.h"
#include "tests/support/ScriptedDnsServer.h"
#include "tests/support/ScriptedSmtpServer.h"
#include "tests/support/TestHelpers.h"

extern char** environ;

namespace orvane::testing {

struct CliResult {
  int status = -1;  // exit status; 128 + signal number when killed by a signal
  std::string out, err;
};

// bin/orvane-cli of this build; standard input open until finish(), standard
// error a pseudo-terminal with `errTerminal` (line ends then "\r\n").
class CliProcess {
 public:
  explicit CliProcess(const std::vector<std::string>& args, bool errTerminal = false) {
    const std::string program = std::string(ORVANE_BIN_DIR) + "/orvane-cli";
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    int child[3];  // the child's ends
    for (int i = 0; i < 3; ++i) {
      int p[2];
      if (i == 2 && errTerminal) {
        p[0] = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (p[0] < 0 || ::grantpt(p[0]) != 0 || ::unlockpt(p[0]) != 0)
          throw std::runtime_error("pty");
        p[1] = ::open(::ptsname(p[0]), O_RDWR | O_NOCTTY | O_CLOEXEC);
      } else if (::pipe2(p, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe");
      }
      fd_[i] = p[i == 0 ? 1 : 0];
      child[i] = p[i == 0 ? 0 : 1];
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (int i = 0; i < 3; ++i) posix_spawn_file_actions_adddup2(&actions, child[i], i);
    const int rc = ::posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    for (const int fd : child) ::close(fd);
    if (rc != 0) throw std::runtime_error("cannot start " + program);
    ::signal(SIGPIPE, SIG_IGN);
  }
  ~CliProcess() {
    for (const int fd : fd_) ::close(fd);
    if (pid_ > 0 && ::kill(pid_, SIGKILL) == 0) ::waitpid(pid_, nullptr, 0);
  }
  CliProcess(const CliProcess&) = delete;
  CliProcess& operator=(const CliProcess&) = delete;

  pid_t pid() const { return pid_; }
  void write(std::string_view input) {  // small inputs: nothing is read meanwhile
    EXPECT_EQ(::write(fd_[0], input.data(), input.size()), static_cast<ssize_t>(input.size()));
  }
  // Collects output until standard output holds `text`; false when it ended
  // or 30 s passed first.
  bool waitForOutput(std::string_view text) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (result_.out.find(text) == std::string::npos) {
      if (fd_[1] < 0 || !collect(until)) return false;
    }
    return true;
  }
  // Closes standard input and collects all until the child has ended (killed
  // after 60 s; `err` then says so).
  CliResult finish() {
    ::close(std::exchange(fd_[0], -1));
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (collect(until)) {
    }
    if (fd_[1] >= 0 || fd_[2] >= 0) {
      ::kill(pid_, SIGKILL);
      result_.err += "\n[orvane-cli killed after the time-out]\n";
    }
    int status = 0;
    const pid_t pid = std::exchange(pid_, -1);
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result_.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result_;
  }

 private:
  // One wait for output, at most until `until`; false when nothing is left to read.
  bool collect(std::chrono::steady_clock::time_point until) {
    using namespace std::chrono;
    const auto left = duration_cast<milliseconds>(until - steady_clock::now()).count();
    pollfd fds[2] = {{fd_[1], POLLIN, 0}, {fd_[2], POLLIN, 0}};
    if ((fd_[1] < 0 && fd_[2] < 0) || left <= 0) return false;
    if (::poll(fds, 2, static_cast<int>(left)) < 0 && errno != EINTR) return false;
    for (int i = 1; i < 3; ++i) {
      char buffer[65536];
      if (fds[i - 1].revents == 0) continue;
      const ssize_t n = ::read(fd_[i], buffer, sizeof buffer);
      if (n > 0) {
        (i == 1 ? result_.out : result_.err).append(buffer, static_cast<std::size_t>(n));
      } else if (n == 0 || errno != EINTR) {  // a terminal's end reads as EIO
        ::close(std::exchange(fd_[i], -1));
      }
    }
    return true;
  }

  pid_t pid_ = -1;
  int fd_[3] = {-1, -1, -1};  // our ends of its standard input, output and error
  CliResult result_;
};

CliResult runCli(const std::vector<std::string>& args, std::string_view input = {}) {
  CliProcess cli(args);
  cli.write(input);
  return cli.finish();
}

// Runs orvane-cli to its end and checks its exit status and both outputs.
void expectRun(const std::vector<std::string>& args, int status, std::string_view out,
               std::string_view err, std::string_view input = {}) {
  const CliResult r = runCli(args, input);
  EXPECT_EQ(r.status, status) << r.err;
  EXPECT_EQ(r.out, out);
  EXPECT_EQ(r.err, err);
}

}  // namespace orvane::testing

namespace orvane {
namespace {

using cli::RecordFields;
using testing::CliProcess;
using testing::expectRun;
using testing::runCli;
using testing::SmtpAction;
using Case = std::pair<std::vector<std::string>, std::string>;
using Command = testing::ScriptedSmtpServer::Command;
constexpr auto Reply = [](std::string_view line) { return SmtpAction::line(line); };

// A usage error: a first line that names the problem (here: how it starts),
// then the usage, exit status 2. Help, even beside an unknown option: the usage
// with every option and its default on standard output, exit status 0.
TEST(CommandLine, UsageErrorsAndHelp) {
  const Case errors[] = {
      {{"show"}, "no project given\n"},
      {{"show", "a.orp", "b.orp"}, "unexpected argument 'b.orp'\n"},
      {{"show", "--verbose"}, "unknown option '--verbose'\n"},
      {{"import"}, "no file to import\n"},
      {{"import", "a.csv"}, "no project given (-o PROJECT.orp)\n"},
      {{"import", "a.csv", "-o"}, "option '-o' needs a value\n"},
      {{"import", "a.csv", "-o", "p.orp", "--replace=yes"}, "option '--replace' takes no value\n"},
      {{"export"}, "no project given\n"},
      {{"export", "p.orp", "--only", "valid,good"}, "invalid verdicts 'valid,good' (valid, "},
      {{"check"}, "no address given\n"},
      {{"check", "--list", "f", "a@b.test"}, "give addresses or --list, not both\n"},
      {{"check", "--format", "xml", "a"}, "invalid format 'xml' (text, csv or jsonl)\n"},
      {{"check", "--timeout=x", "a"}, "invalid time-out 'x' (a whole number, 1 or more)\n"},
      {{"check", "--per-connection", "101", "a"}, "invalid addresses per connection '101'"},
      {{"check", "--dns", "dns.example", "a"}, "invalid DNS server 'dns.example' (an IP address"},
      {{"check", "--dns", "192.0.2.1 [::1]:65536", "a"}, "invalid DNS server '[::1]:65536'"},
      {{"check", "--dns", " ", "a"}, "option '--dns' needs a server\n"},
      {{"doctor", "extra"}, "unexpected argument 'extra'\n"},
      {{"doctor", "--domain", "a..b"}, "invalid domain 'a..b' (a domain name such as "},
      {{"doctor", "--blocklists", "zen.test bl..test"}, "invalid block list 'bl..test' (a DNS "},
      {{"run"}, "no project given\n"},
      {{"run", "--save-every", "0", "p.orp"}, "invalid interval '0' (seconds, more than 0, "},
      {{"check", "--dns", "2001:db8:0:0:0:0:0:1:53", "a"},
       "invalid DNS server '2001:db8:0:0:0:0:0:1:53' (an IPv6 address with a port is written "},
      {{"check", "--proxy", "http://127.0.0.1:8080", "a"}, "invalid proxy 'http://127.0.0.1:8080'"},
      {{"check", "--proxy", "socks5://proxy.example:1080", "a"}, "invalid proxy 'socks5://proxy"},
      {{"check", "--ipv6", "maybe", "a"}, "invalid IPv6 'maybe' (on or off)\n"},
      {{"check", "--source-address", "192.0.2.1", "a"},
       "source address '192.0.2.1' is not an address of this machine\n"},
      {{"run", "--shard", "0/3", "p.orp"}, "invalid shard '0/3' (K/N with 1 <= K <= N)\n"},
      {{"check", "--shard", "4/3", "a"}, "invalid shard '4/3'"},
      {{"check", "--shard", "x/y", "a"}, "invalid shard 'x/y'"},
      {{"check", "--list", "f", "--format", "jsonl", "--resume"}, "--resume needs --output\n"},
      {{"check", "--list", "f", "-o", "o", "--resume"}, "--resume needs --format jsonl\n"},
      {{"export", "p.orp", "--exclude", "spam"}, "invalid flag 'spam'"},
      {{"merge", "p.orp"}, "give a project and at least one results file\n"},
  };
  for (const auto& [args, message] : errors) {
    const auto r = runCli(args);
    EXPECT_EQ(r.status, 2) << message;
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(r.err.starts_with("orvane-cli " + args[0] + ": " + message)) << r.err;
    EXPECT_NE(r.err.find("\nUsage: orvane-cli " + args[0] + " "), std::string::npos) << r.err;
  }
  const Case help[] = {
      {{"show", "-h"}, "Usage: orvane-cli show PROJECT.orp\n"},
      {{"check", "--help"}, "\n  --format text|csv|jsonl    output format (default: text)\n"},
  };
  for (const auto& [args, text] : help) {
    const auto r = runCli({args[0], args[1], "--bogus"});
    EXPECT_EQ(r.status, 0) << text;
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(r.out.starts_with("Usage: orvane-cli " + args[0] + " ")) << r.out;
    EXPECT_NE(r.out.find(text), std::string::npos) << r.out;
  }
}

TEST(CommandLine, ShowPrintsColumnsThenOneLinePerEntry) {
  testing::TempDir dir;
  RecipientList list;
  list.addColumn({"Name", 120});
  list.addColumn({"", 50});
  list.addEntry("a@b.c", std::vector<std::string>{"Ann", "x"});
  list.addEntry("\xC3\xA9@x.de", std::vector<std::string>{"B\tC", ""});
  list.entryValidationEnded(0, 0, "", {"250 OK"});
  saveProject(dir.file("small.orp"), list);
  const auto r = runCli({"show", dir.file("small.orp")});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "Email:120\tResult:290\tName:120\t:50\n"
            "0\t0\ta@b.c\t[0] Valid E-mail Address!\tAnn\tx\n"
            "1\t-1\t\xC3\xA9@x.de\t\tB C\t\n");
}

TEST(CommandLine, ImportAndExportTakeTheirOptions) {
  testing::TempDir dir;
  const std::string project = dir.file("p.orp"), out = dir.file("1.csv");
  testing::DbfBuilder table;
  table.fields = {{"NAME", 'C', 8}, {"MAIL", 'C', 20}};
  table.add({"Ann", "a@x.org"});
  const std::string head = "Email,Result,NAME,Email,Verdict,Flags,Suggestion,Checked address\r\n";
  const std::string all =
      head + "a@x.org,,Ann,,,,,a@x.org\r\nOther,,,Email,,,,\r\ny@y.org,,,x@x.org,,,,y@y.org\r\n";
  const Case steps[] = {
      // A dBase table by its extension, in any case.
      {{"import", dir.write("t.DBF", table.build()), "-o", project, "--email-field", "mail"},
       "1\n"},
      // Appended: split at the detected separator, the first line as data.
      {{"import", dir.write("b.txt", "Email;Other\nx@x.org;y@y.org\n"), "--output=" + project,
        "--email-field", "2", "--first-line", "data", "--separator", "detect"},
       "2\n"},
      {{"export", project}, all},
      {{"export", project, "--only", "valid,invalid"}, head},  // none validated yet
      {{"export", project, "-o", out, "--only=unvalidated"}, ""},
      {{"import", dir.write("c.csv", "Email\nz@x.org\nInfo <info@x.org>\n"), "-o", project,
        "--replace"},
       "2\n"},
      // Flags and the address checked beside the verdict; --exclude leaves out by flag.
      {{"export", project},
       "Email,Result,Verdict,Flags,Suggestion,Checked address\r\nz@x.org,,,,,z@x.org\r\n"
       "Info <info@x.org>,,,role,,info@x.org\r\n"},
      {{"export", project, "--exclude", "role"},
       "Email,Result,Verdict,Flags,Suggestion,Checked address\r\nz@x.org,,,,,z@x.org\r\n"},
  };
  for (const auto& [args, printed] : steps) expectRun(args, 0, printed, "");
  EXPECT_EQ(testing::readFile(out), all);
}

TEST(CommandLine, FailuresPrintTheReasonAndExitWithOne) {
  testing::TempDir dir;
  ::setenv("XDG_CONFIG_HOME", dir.file("config").c_str(), 1);  // no saved options
  const std::string project = dir.file("p.orp"), missing = dir.file("missing");
  const std::string csv = dir.write("a.csv", "a@x.org\n");
  ASSERT_EQ(runCli({"import", csv, "-o", project}).out, "1\n");
  const std::string noFrom =
      "Please provide a valid e-mail address for the FROM field (Tools | Options)\n";
  const std::string cannot = "Cannot open file " + missing + "\n";
  const Case cases[] = {
      {{"show", missing}, cannot},
      {{"show", "-"}, "Cannot open file -\n"},                    // "-" is an operand,
      {{"export", "--", "-p.orp"}, "Cannot open file -p.orp\n"},  // and so is all after "--"
      {{"check", "--from=a@b.test", "--list", missing}, cannot},
      {{"check", "--from=a@b.test", "--list", dir.write("blank", "\n \n")}, "Nothing to check\n"},
      {{"check", "a@b.test"}, noFrom},  // none saved, none given
      // Every server of --dns is an IP address with an optional port.
      {{"check", "--dns", "192.0.2.1 [2001:db8::1]:53\t2001:db8::2  192.0.2.2:5353", "a"}, noFrom},
      {{"import", csv, "-o", project, "--email-field", "Name"},
       "orvane-cli import: " + csv + " has no field 'Name'\n"},
      // The project itself is never overwritten with CSV, under any of its names.
      {{"export", project, "-o", dir.file("./p.orp")},
       "orvane-cli export: " + dir.file("./p.orp") +
           " is the project being exported; choose another file\n"},
  };
  for (const auto& [args, message] : cases) expectRun(args, 1, "", message);
  RecipientList still;
  loadProject(project, still);
  EXPECT_EQ(still.count(), 1u);
}

// doctor prints one line per check (status, check, finding, advice) and ends
// with 0 when all are OK, 3 with warnings only, 1 with a problem.
TEST(CommandLine, DoctorEndsWithTheWorstStatusOfItsChecks) {
  testing::TempDir dir;
  ::setenv("XDG_CONFIG_HOME", dir.file("config").c_str(), 1);  // no saved options
  std::vector<std::string> args = {"doctor", "--from=probe@good.test", "--blocklists=bl.test"};
  testing::LoopThread servers([&args](net::EventLoop& loop) {
    auto dns = std::make_shared<testing::ScriptedDnsServer>(loop);
    auto smtp = std::make_shared<testing::ScriptedSmtpServer>(loop, "127.0.0.2");
    dns->addMx("good.test", 10, "127.0.0.2");
    dns->addAddress("good.test", "127.0.0.1");
    dns->addAddress("other.test", "127.0.0.1");
    dns->addPtr("1.0.0.127.in-addr.arpa", "good.test");
    dns->setRcode("broken.test", 2);
    args.push_back("--dns=" + dns->address());
    args.push_back("--smtp-port=" + std::to_string(smtp->port()));
    return std::make_shared<std::pair<decltype(dns), decltype(smtp)>>(dns, smtp);
  });
  const struct {
    std::string option;
    int status;
    std::vector<std::string> rows;  // how each line starts
  } cases[] = {
      {"--timeout=30",
       0,
       {"OK\tDNS servers\tThe configured DNS server ", "OK\tOutbound SMTP\t127.0.0.2 greeted in ",
        "OK\tHELO name and reverse DNS\tThe HELO name good.test resolves to 127.0.0.1; ",
        "OK\tBlock lists\t127.0.0.1 (this machine's address on the test connection) is on none "
        "of bl.test\t\n"}},
      {"--helo=other.test",
       3,
       {"OK\t", "OK\t", "Warning\tHELO name and reverse DNS\tThe HELO name other.test ", "OK\t"}},
      {"--domain=broken.test",
       1,
       {"Problem\tDNS servers\t", "Warning\tOutbound SMTP\tNot tested", "Warning\t",
        "Warning\tBlock lists\tNot checked"}},
  };
  for (const auto& c : cases) {
    std::vector<std::string> withOption = args;
    withOption.push_back(c.option);
    const auto r = runCli(withOption);
    EXPECT_EQ(r.status, c.status) << c.option << r.err;
    EXPECT_EQ(r.err, "");
    std::size_t at = 0;
    for (const auto& row : c.rows) {
      EXPECT_EQ(r.out.compare(at, row.size(), row), 0) << c.option << "\n" << r.out;
      at = r.out.find('\n', at) + 1;
    }
    EXPECT_EQ(at, r.out.size()) << r.out;
  }
}

const std::string kValid = "[0] Valid E-mail Address!";

// DNS: "cli.test" and "all.test" -> 127.0.0.2. SMTP there answers RCPT TO by
// the local part: "good..." and all of "all.test" (a catch-all domain) 250,
// "hang..." never, "grey..." 450 the first time and 250 after, "once..."
// nothing the first time and 250 after, "eNNN..." NNN, any other 550.
class ValidateCommand : public ::testing::Test {
 protected:
  ValidateCommand() { ::setenv("XDG_CONFIG_HOME", dir_.file("config").c_str(), 1); }

  std::optional<SmtpAction> answer(const Command& c) {  // on the servers' thread
    if (c.verb != "RCPT") return std::nullopt;
    {
      std::lock_guard lock(mutex_);
      ++rcpts_;
    }
    rcptSeen_.notify_all();
    const std::string local = c.localPart();
    if (c.address().ends_with("@all.test") || local.starts_with("good")) return Reply("250 ok");
    if (local.starts_with("hang")) return SmtpAction::silence();
    if (local.starts_with("grey")) return Reply(greyTries_[local]++ ? "250 ok" : "450 later");
    if (local.starts_with("once"))
      return greyTries_[local]++ ? Reply("250 ok") : SmtpAction::silence();
    return Reply(local[0] == 'e' ? local.substr(1, 3) + " refused" : "550 no such user");
  }

  // True once the servers have seen `n` RCPT TO commands; false after 10 s.
  bool waitForRcpts(int n) {
    std::unique_lock lock(mutex_);
    return rcptSeen_.wait_for(lock, std::chrono::seconds(10), [&] { return rcpts_ >= n; });
  }

  // The command's arguments with the servers' (as "--name=VALUE").
  std::vector<std::string> withServers(std::vector<std::string> args) const {
    args.insert(args.begin() + 1, {"--from=checker@origin.test", dns_, smtpPort_});
    return args;
  }

  testing::TempDir dir_;  // the child's saved options: none
  std::mutex mutex_;
  std::condition_variable rcptSeen_;
  int rcpts_ = 0;
  std::atomic<int> dnsQueries_{0};
  std::map<std::string, int> greyTries_;
  std::string dns_, smtpPort_;
  testing::LoopThread servers_{[this](net::EventLoop& loop) {
    auto dns = std::make_shared<testing::ScriptedDnsServer>(loop);
    auto smtp = std::make_shared<testing::ScriptedSmtpServer>(loop, "127.0.0.2");
    dns->addMx("cli.test", 10, "127.0.0.2");
    dns->addMx("all.test", 10, "127.0.0.2");
    dns->setHandler([this](const testing::ScriptedDnsServer::Query&) {
      ++dnsQueries_;
      return std::optional<std::string>();
    });
    smtp->setHandler([this](const Command& c) { return answer(c); });
    dns_ = "--dns=127.0.0.1:" + std::to_string(dns->port());
    smtpPort_ = "--smtp-port=" + std::to_string(smtp->port());
    return std::make_shared<std::pair<decltype(dns), decltype(smtp)>>(dns, smtp);
  }};
};

// Each record names the entry's text as given and ends with its verdict; one
// summary line on standard error closes the run (no progress line: standard
// error is not a terminal).
TEST_F(ValidateCommand, CheckWritesEachResultAsGivenWithItsVerdictAndASummary) {
  const struct {
    std::vector<std::string> args;
    std::string out, err, input = {};
  } cases[] = {
      {{"check", "--connections", "1", "good@cli.test", "Bob <bob@cli.test>"},
       "good@cli.test\t[0] Valid E-mail Address!\tvalid\n"
       "Bob <bob@cli.test>\t[550] Mailbox unavailable\tinvalid\tchecked: bob@cli.test\n",
       "Verdicts: valid 1, invalid 1, catch-all 0, unknown 0\n"},
      // A cell a spreadsheet would run as a formula is guarded; the three most
      // common causes of unknown close the summary, ties in the order they came.
      {{"check", "--format", "csv", "--connections", "1", "=x@cli.test", "e554@cli.test",
        "e552a@cli.test", "e500@cli.test", "e552b@cli.test", "e557@cli.test"},
       "index,address,code,message,flags,suggestion,checked,verdict\n"
       "0,'=x@cli.test,550,Mailbox unavailable,,,'=x@cli.test,invalid\n"
       "1,e554@cli.test,554,Transaction failed,,,e554@cli.test,unknown\n"
       "2,e552a@cli.test,552,Exceeded storage allocation. Try later,,,e552a@cli.test,unknown\n"
       "3,e500@cli.test,500,Recipient's  SMTP server returned error 500,,,e500@cli.test,unknown\n"
       "4,e552b@cli.test,552,Exceeded storage allocation. Try later,,,e552b@cli.test,unknown\n"
       "5,e557@cli.test,557,Recipient's  SMTP server returned error 557,,,e557@cli.test,unknown\n",
       "Verdicts: valid 0, invalid 1, catch-all 0, unknown 5; unknown because: \"Exceeded storage "
       "allocation. Try later\" 2, \"Transaction failed\" 1, \"Recipient's  SMTP server returned "
       "error 500\" 1\n"},
      // JSON strings escaped; bytes that are not UTF-8 replaced.
      {{"check", "--format", "jsonl", "J\xC3\xA9\xFF\"\t<x@cli.test>"},
       "{\"index\":0,\"address\":\"J\xC3\xA9\xEF\xBF\xBD\\\"\\t<x@cli.test>\",\"code\":550,"
       "\"message\":\"Mailbox unavailable\",\"flags\":[\"extracted\"],\"suggestion\":\"\","
       "\"checked\":\"x@cli.test\",\"verdict\":\"invalid\"}\n",
       "Verdicts: valid 0, invalid 1, catch-all 0, unknown 0; flagged: extracted 1\n"},
      // A list on standard input: blank lines skipped, each line printed as given.
      {{"check", "--connections", "1", "--list", "-"},
       "Good One <good1@cli.test>\t[0] Valid E-mail Address!\tvalid\tchecked: good1@cli.test\n"
       "bad@cli.test\t[550] Mailbox unavailable\tinvalid\n",
       "Verdicts: valid 1, invalid 1, catch-all 0, unknown 0\n",
       "Good One <good1@cli.test>\r\n\n   \nbad@cli.test"},
      // The options override the saved ones: no catch-all probe; a retry after a
      // 4xx once the greylisting delay is over.
      {{"check", "--catch-all", "off", "--greylist-delay", "1", "other@all.test", "grey1@cli.test"},
       "other@all.test\t[0] Valid E-mail Address!\tvalid\n"
       "grey1@cli.test\t[0] Valid E-mail Address!\tvalid\n",
       "Verdicts: valid 2, invalid 0, catch-all 0, unknown 0\n"},
  };
  for (const auto& c : cases) {
    const auto r = runCli(withServers(c.args), c.input);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, c.out);
    // The summary line, then the run report.
    EXPECT_TRUE(r.err.starts_with(c.err + "Report: ")) << r.err;
  }
  const auto log = runCli(withServers({"check", "--format=jsonl", "--log", "good@cli.test"})).out;
  EXPECT_TRUE(log.starts_with("{\"index\":0,\"address\":\"good@cli.test\",\"code\":0,\"message\":"
                              "\"Valid E-mail Address!\",\"flags\":[],\"suggestion\":\"\","
                              "\"checked\":\"good@cli.test\",\"verdict\":\"valid\",\"log\":[\"") &&
              log.find("\",\"RCPT TO:<good@cli.test>\",\"") != std::string::npos &&
              log.ends_with("\"]}\n") && std::count(log.begin(), log.end(), '\n') == 1)
      << log;
}

// A run prints each result (unchecked entries skipped) and saves the project
// while it lasts; Ctrl-C stops it like Stop (the address in hand: -8) and the
// project is saved. When the project can no longer be written, the results of
// a run a closed terminal stopped go to a recovery file the message names.
TEST_F(ValidateCommand, RunSavesAsItGoesAndWhenStoppedOrElseIntoARecoveryFile) {
  const std::string folder = dir_.file("run"), path = folder + "/long.orp";
  std::filesystem::create_directories(folder);
  RecipientList list;
  for (const char* address :
       {"good@cli.test", "skip@cli.test", "Cy <cy@cli.test>", "hang@cli.test", "never@cli.test"}) {
    list.addEntry(address, std::vector<std::string>{address});
  }
  list.setCheckState(1, 0);
  saveProject(path, list);
  ::setenv("XDG_DATA_HOME", dir_.file("data").c_str(), 1);
  const int watch = ::inotify_init1(IN_CLOEXEC);
  ASSERT_GE(::inotify_add_watch(watch, folder.c_str(), IN_MOVED_TO), 0);
  const auto args = withServers({"run", "--format", "csv", "--connections", "1", "--per-connection",
                                 "1", "--catch-all", "off", "--save-every", "0.05", path});
  CliProcess cli(args);
  ASSERT_TRUE(waitForRcpts(3));
  // Checkpoints land (renamed into the folder) while the run waits for
  // "hang"; the first may come before the reply for "Cy" is in.
  const std::string refused = "[550] Mailbox unavailable";
  RecipientList saved;
  for (int i = 0; i < 100 && (saved.count() == 0 || saved.entry(2).resultText() != refused); ++i) {
    pollfd p{watch, POLLIN, 0};
    char events[4096];
    ASSERT_TRUE(::poll(&p, 1, 5000) == 1 && ::read(watch, events, sizeof events) > 0);
    loadProject(path, saved);
  }
  ::close(watch);
  EXPECT_EQ(saved.entry(2).resultText(), refused);
  EXPECT_EQ(saved.entry(3).resultState, kChecking);
  ::kill(cli.pid(), SIGINT);
  auto r = cli.finish();
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            "index,address,code,message,flags,suggestion,checked,verdict\n"
            "0,good@cli.test,0,Valid E-mail Address!,,,good@cli.test,valid\n"
            "2,Cy <cy@cli.test>,550,Mailbox unavailable,,,cy@cli.test,invalid\n"
            "3,hang@cli.test,-8,Aborted by user,,,hang@cli.test,unknown\n");
  EXPECT_TRUE(r.err.starts_with(
      "Verdicts: valid 1, invalid 1, catch-all 0, unknown 1; unknown because: \"Aborted by "
      "user\" 1\nReport: 3 addresses with a result\n"))
      << r.err;
  loadProject(path, saved);
  const std::pair<std::string, int> want[] = {
      {kValid, 0}, {"", 0}, {refused, 1}, {"[-8] Aborted by user", 1}, {"", 1}};
  for (std::size_t i = 0; i < std::size(want); ++i) {
    EXPECT_EQ(saved.entry(i).resultText(), want[i].first) << i;
    EXPECT_EQ(saved.entry(i).checkState, want[i].second) << i;
  }
  // Once more, over "Cy" and "hang"; the project's folder goes away meanwhile.
  CliProcess again(args);
  ASSERT_TRUE(waitForRcpts(5));
  std::filesystem::rename(folder, folder + "-moved");
  ::kill(again.pid(), SIGHUP);
  r = again.finish();
  EXPECT_EQ(r.status, 1);
  const std::string marker = "; the results were saved to ";
  const auto at = r.err.find(marker + dir_.file("data/Tamsworth/Orvane/recovered/long.recovered-"));
  ASSERT_NE(at, std::string::npos) << r.err;
  RecipientList recovered;
  loadProject(r.err.substr(at + marker.size(), r.err.find('\n', at) - at - marker.size()),
              recovered);
  EXPECT_EQ(recovered.entry(0).resultText(), kValid);
  EXPECT_EQ(recovered.entry(3).resultText(), "[-8] Aborted by user");
}

// A list that trickles in is validated as it arrives, in one run (the domain
// asked for once); the progress line counts without a total until the list
// has ended; SIGTERM stops the command at once while it waits for more.
TEST_F(ValidateCommand, CheckValidatesAListAsItArrivesAndStopsWhileWaiting) {
  CliProcess cli(withServers({"check", "--list", "-"}), true);
  cli.write("good1@cli.test\n");
  ASSERT_TRUE(cli.waitForOutput("good1@cli.test\t[0] Valid E-mail Address!\tvalid\n"));
  cli.write("bad@cli.test\n");
  ASSERT_TRUE(cli.waitForOutput("bad@cli.test\t[550] Mailbox unavailable\tinvalid\n"));
  EXPECT_EQ(dnsQueries_.load(), 1);
  ::kill(cli.pid(), SIGTERM);
  const auto r = cli.finish();
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.err.find("\r1 done, valid 1, invalid 0, catch-all 0, unknown 0, 0 to retry, "),
            std::string::npos)
      << r.err;
  EXPECT_EQ(r.err.find("/0 done"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("\r\nVerdicts: valid 1, invalid 1, catch-all 0, unknown 0\r\nReport: "),
            std::string::npos)
      << r.err;

  CliProcess ended(withServers({"check", "--list", "-"}), true);
  ended.write("good2@cli.test\n");
  EXPECT_NE(ended.finish().err.find("\r1/1 done, valid 1, "), std::string::npos);
}

// Shards of one list are disjoint and together the whole list, and every
// address of a domain (whatever its case or form) is in the same shard.
TEST_F(ValidateCommand, ShardsSplitAListByDomain) {
  const std::vector<std::string> list = {
      "good1@cli.test",    "a@B\u00FCcher.test", "b@xn--bcher-kva.test",
      "good2@CLI.test",    "x@one.test",         "y@two.test",
      "z@three.test",      "w@four.test",        "v@five.test",
      "Name <u@One.TEST>", "no address"};
  std::string text;
  for (const auto& line : list) text += line + "\n";
  const std::string path = dir_.write("list.txt", text);
  std::map<std::size_t, int> shardOf;
  for (int k = 1; k <= 3; ++k) {
    const auto r =
        runCli(withServers({"check", "--format", "jsonl", "--catch-all", "off", "--greylist-delay",
                            "0", "--list", path, "--shard", std::to_string(k) + "/3"}));
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
      RecordFields f;
      ASSERT_TRUE(cli::parseRecord(line, f)) << line;
      EXPECT_TRUE(shardOf.emplace(f.index, k).second) << "index " << f.index << " twice";
      EXPECT_EQ(f.address, list[f.index]);
    }
  }
  EXPECT_EQ(shardOf.size(), list.size());
  const std::pair<std::size_t, std::size_t> sameDomain[] = {{0, 3}, {1, 2}, {4, 9}};
  for (const auto& [a, b] : sameDomain) EXPECT_EQ(shardOf[a], shardOf[b]) << a << " " << b;
}

// A run killed half-way goes on where it stopped: its output file ends as an
// uninterrupted run's would (a half-written last record is done again); an
// output of another list is refused, naming the line that differs.
TEST_F(ValidateCommand, ResumeGoesOnWhereAKilledRunStopped) {
  const std::string list = dir_.write("l.txt",
                                      "good1@cli.test\nbad@cli.test\nonce@cli.test\n"
                                      "good2@cli.test\n");
  const std::string out = dir_.file("out.jsonl");
  const auto args =
      withServers({"check", "--format", "jsonl", "--connections", "1", "--per-connection", "1",
                   "--catch-all", "off", "--list", list, "--output", out, "--resume"});
  CliProcess first(args);
  ASSERT_TRUE(waitForRcpts(3));  // "once" hangs
  ::kill(first.pid(), SIGKILL);
  first.finish();
  std::ofstream(out, std::ios::app) << "{\"index\":2,\"addr";  // killed while writing
  const auto r = runCli(args);
  EXPECT_EQ(r.status, 0) << r.err;
  const std::string resumed = testing::readFile(out);
  const auto again =
      runCli(withServers({"check", "--format", "jsonl", "--connections", "1", "--per-connection",
                          "1", "--catch-all", "off", "--list", list}));
  EXPECT_EQ(resumed, again.out);
  EXPECT_EQ(std::count(resumed.begin(), resumed.end(), '\n'), 4);
  const auto other = runCli({args[0], args[1], args[2], args[3], "--list",
                             dir_.write("m.txt", "good1@cli.test\nother@cli.test\n"), "--output",
                             out, "--format", "jsonl", "--resume"});
  EXPECT_EQ(other.status, 1);
  EXPECT_NE(other.err.find("answers line 2 of "), std::string::npos) << other.err;
}

// Results computed elsewhere land in the entries of their line (the
// non-blank entries in list order) when the texts agree; the others are
// counted, and a file that is not results is refused with its line.
TEST(CommandLine, MergePutsResultsIntoTheirEntries) {
  testing::TempDir dir;
  const std::string project = dir.file("p.orp");
  RecipientList list;
  for (const char* email : {"a@x.test", "", "b@x.test", "c@x.test"}) list.addEntry(email, {});
  saveProject(project, list);
  EXPECT_EQ(runCli({"export", project, "--addresses"}).out, "a@x.test\nb@x.test\nc@x.test\n");
  const auto record = [](int index, const char* address, int code, const char* message) {
    return "{\"index\":" + std::to_string(index) + ",\"address\":\"" + address +
           "\",\"code\":" + std::to_string(code) + ",\"message\":\"" + message +
           "\",\"flags\":[],\"verdict\":\"x\"}\n";
  };
  const std::string results =
      dir.write("r.jsonl", record(0, "a@x.test", 0, "Valid E-mail Address!") +
                               record(1, "b@x.test", 550, "Mailbox unavailable") +
                               record(2, "elsewhere@x.test", 0, "Valid E-mail Address!") +
                               record(7, "c@x.test", 0, "Valid E-mail Address!"));
  const auto r = runCli({"merge", project, results});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "orvane-cli merge: 2 results merged into " + project +
                       "; 2 results match no entry of the project (left out)\n");
  loadProject(project, list);
  EXPECT_EQ(list.entry(0).resultText(), "[0] Valid E-mail Address!");
  EXPECT_EQ(list.entry(2).resultText(), "[550] Mailbox unavailable");
  EXPECT_EQ(list.entry(3).resultText(), "");
  const auto bad = runCli(
      {"merge", project, dir.write("bad.jsonl", record(0, "a@x.test", 0, "") + "index,address\n")});
  EXPECT_EQ(bad.status, 1);
  EXPECT_EQ(bad.err,
            "orvane-cli merge: line 2 of " + dir.file("bad.jsonl") + " is not a result record\n");
}

TEST(SignalWatch, ReportsEachStopSignalFromTheLoopWithoutKeepingItRunning) {
  net::EventLoop loop;
  std::vector<int> seen;
  net::SignalWatch watch(loop, net::kStopSignals, [&](int signal) { seen.push_back(signal); });
  EXPECT_EQ(uv_loop_alive(loop.uv()), 0);
  for (const int signal : net::kStopSignals) {
    ASSERT_EQ(::raise(signal), 0);
    EXPECT_TRUE(loop.runUntil([&] { return !seen.empty() && seen.back() == signal; }, 10000));
  }
  EXPECT_EQ(seen, std::vector<int>(std::begin(net::kStopSignals), std::end(net::kStopSignals)));
}

}  // namespace
}  // namespace orvane
