// SMTP dialogues per second and CPU time per dialogue with 10, 100 and 1,000
// concurrent clients on one loop thread, against the scripted SMTP server in
// the same process (its work is included in the CPU figures). Each dialogue is
// Open (greeting, HELO), MailFrom, RcptTo, Quit; then the client aborts the
// connection and opens the next one. No delay is added anywhere.
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
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

void raiseDescriptorLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

double cpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& tv) { return tv.tv_sec + tv.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double wallSeconds() {
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
Result run(std::size_t concurrent, std::size_t warmup, std::size_t measured) {
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
    client->setHost("127.0.0.1");
    client->setPort(port);
    client->setSignOn("bench.example");
    client->setFromName("sender@example.org");
    client->setRcptName({"ok" + std::to_string(i) + "@example.net"});
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
        wallStart = wallSeconds();
        cpuStart = cpuSeconds();
      }
      if (completed == total) {
        wallEnd = wallSeconds();
        cpuEnd = cpuSeconds();
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
  raiseDescriptorLimit();
  // Arguments: dialogues measured per run (default 20000), then optionally a
  // single concurrency level to run instead of 10, 100 and 1000.
  const std::size_t measured = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 20000;
  std::vector<std::size_t> levels = {10, 100, 1000};
  if (argc > 2) levels = {std::strtoul(argv[2], nullptr, 10)};
  constexpr int kRepetitions = 3;  // the machine may be shared: report best and median
  std::printf(
      "SMTP dialogues (Open, MailFrom, RcptTo, Quit), one loop thread, %ld cores, "
      "%d runs per level\n",
      sysconf(_SC_NPROCESSORS_ONLN), kRepetitions);
  std::printf("%10s %10s %12s %12s %12s %12s %9s\n", "concurrent", "dialogues", "dialogues/s",
              "(median)", "CPU us/dlg", "(median)", "failures");
  std::vector<double> bestCpu;
  std::vector<double> medianCpu;
  for (std::size_t concurrent : levels) {
    std::vector<Result> runs;
    for (int i = 0; i < kRepetitions; ++i)
      runs.push_back(run(concurrent, concurrent * 2, measured));
    auto cpuPer = [](const Result& r) { return r.cpu * 1e6 / r.dialogues; };
    auto rate = [](const Result& r) { return r.dialogues / r.wall; };
    std::vector<double> cpu, rates;
    std::size_t failures = 0;
    for (const auto& r : runs) {
      cpu.push_back(cpuPer(r));
      rates.push_back(rate(r));
      failures += r.failures;
    }
    std::sort(cpu.begin(), cpu.end());
    std::sort(rates.begin(), rates.end());
    bestCpu.push_back(cpu.front());
    medianCpu.push_back(cpu[cpu.size() / 2]);
    std::printf("%10zu %10zu %12.0f %12.0f %12.1f %12.1f %9zu\n", concurrent, measured,
                rates.back(), rates[rates.size() / 2], cpu.front(), cpu[cpu.size() / 2], failures);
    std::fflush(stdout);
  }
  if (levels.size() > 1) {
    std::printf("CPU per dialogue at %zu / at %zu: best %.2f, median %.2f (goal: at most 1.5)\n",
                levels.back(), levels.front(), bestCpu.back() / bestCpu.front(),
                medianCpu.back() / medianCpu.front());
  }
  return 0;
}
