// SMTP dialogues per second and CPU time per dialogue with 10, 100 and 1,000
// concurrent clients on one loop thread, against the scripted SMTP server in
// the same process (its work is included in the CPU figures). Each dialogue is
// Open (greeting, HELO), MailFrom, RcptTo, Quit; then the client aborts the
// connection and opens the next one. No delay is added anywhere.
#include <sys/resource.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "net/EventLoop.h"
#include "net/SmtpCli.h"
#include "tests/support/ScriptedSmtpServer.h"

using orvane::net::EventLoop;
using orvane::net::TSmtpCli;
using orvane::net::TSmtpRequest;
using orvane::testing::ScriptedSmtpServer;

namespace {

void RaiseDescriptorLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& tv) { return tv.tv_sec + tv.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double WallSeconds() {
  return static_cast<double>(uv_hrtime()) / 1e9;
}

struct Result {
  std::size_t concurrent = 0;
  std::size_t dialogues = 0;
  std::size_t failures = 0;
  double wall = 0;
  double cpu = 0;
};

// Runs `concurrent` clients until `warmup` dialogues have completed, then
// measures the next `measured` ones.
Result Run(std::size_t concurrent, std::size_t warmup, std::size_t measured) {
  EventLoop loop;
  ScriptedSmtpServer server(loop);
  server.setKeepTranscripts(false);
  const std::string port = std::to_string(server.port());

  std::size_t completed = 0;
  std::size_t failures = 0;
  const std::size_t total = warmup + measured;
  double wallStart = 0;
  double cpuStart = 0;
  double wallEnd = 0;
  double cpuEnd = 0;
  std::vector<std::unique_ptr<TSmtpCli>> clients;
  clients.reserve(concurrent);

  auto start = [&](TSmtpCli& client) {
    client.Abort();
    client.Open();
  };
  for (std::size_t i = 0; i < concurrent; ++i) {
    auto client = std::make_unique<TSmtpCli>(loop);
    client->SetHost("127.0.0.1");
    client->SetPort(port);
    client->SetSignOn("bench.example");
    client->SetFromName("sender@example.org");
    client->SetRcptName({"ok" + std::to_string(i) + "@example.net"});
    client->OnRequestDone = [&](TSmtpCli& c, TSmtpRequest rq, std::uint16_t error) {
      if (error != 0) {
        ++failures;
        rq = orvane::net::smtpQuit;  // count it and start over
      }
      switch (rq) {
        case orvane::net::smtpConnect:
          c.MailFrom();
          return;
        case orvane::net::smtpMailFrom:
          c.RcptTo();
          return;
        case orvane::net::smtpRcptTo:
          c.Quit();
          return;
        default:
          break;
      }
      if (++completed == warmup) {
        wallStart = WallSeconds();
        cpuStart = CpuSeconds();
      }
      if (completed == total) {
        wallEnd = WallSeconds();
        cpuEnd = CpuSeconds();
      }
      if (completed >= total) {
        c.Abort();
        if (completed == total + concurrent - 1) loop.stop();
        return;
      }
      start(c);
    };
    clients.push_back(std::move(client));
  }
  for (auto& client : clients) start(*client);
  loop.run();

  Result r;
  r.concurrent = concurrent;
  r.dialogues = measured;
  r.failures = failures;
  r.wall = wallEnd - wallStart;
  r.cpu = cpuEnd - cpuStart;
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  RaiseDescriptorLimit();
  const std::size_t measured = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 20000;
  std::printf("SMTP dialogues (Open, MailFrom, RcptTo, Quit), one loop thread, %ld cores\n",
              sysconf(_SC_NPROCESSORS_ONLN));
  std::printf("%10s %10s %9s %12s %16s %9s\n", "concurrent", "dialogues", "seconds", "dialogues/s",
              "CPU us/dialogue", "failures");
  std::vector<std::size_t> levels = {10, 100, 1000};
  if (argc > 2) levels = {std::strtoul(argv[2], nullptr, 10)};  // one level only
  std::vector<Result> results;
  for (std::size_t concurrent : levels) {
    const Result r = Run(concurrent, concurrent * 2, measured);
    results.push_back(r);
    std::printf("%10zu %10zu %9.3f %12.0f %16.1f %9zu\n", r.concurrent, r.dialogues, r.wall,
                r.dialogues / r.wall, r.cpu * 1e6 / r.dialogues, r.failures);
    std::fflush(stdout);
  }
  const double at10 = results.front().cpu / results.front().dialogues;
  const double at1000 = results.back().cpu / results.back().dialogues;
  std::printf("CPU per dialogue at 1000 / at 10: %.2f (goal: at most 1.5)\n", at1000 / at10);
  return 0;
}
