// Validation throughput against the test farm: 200 domains, half of the
// addresses valid, every SMTP greeting and reply delayed 20 ms. The farm runs
// on a thread (and loop) of its own, so the figures are the engine's:
//   addresses/s, ratio to the ideal rate connections / (6 replies x 20 ms),
//   engine CPU microseconds per address (the engine thread's CPU time),
//   peak process memory, and the engine's peak heap per session; per setting
//   the best and the median of several runs.
#include <malloc.h>
#include <pthread.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <map>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include <uv.h>

#include "engine/ResourceLimits.h"
#include "engine/SmtpRelayServer.h"
#include "net/EventLoop.h"
#include "tests/support/FarmThread.h"

// --- heap accounting per thread: live bytes allocated with operator new ---
namespace {
thread_local std::int64_t tLiveBytes = 0;
thread_local std::int64_t tPeakBytes = 0;

void* CountedAlloc(std::size_t size) {
  void* p = std::malloc(size == 0 ? 1 : size);
  if (p == nullptr) throw std::bad_alloc();
  tLiveBytes += static_cast<std::int64_t>(malloc_usable_size(p));
  if (tLiveBytes > tPeakBytes) tPeakBytes = tLiveBytes;
  return p;
}
void CountedFree(void* p) noexcept {
  if (p == nullptr) return;
  tLiveBytes -= static_cast<std::int64_t>(malloc_usable_size(p));
  std::free(p);
}
}  // namespace

void* operator new(std::size_t size) {
  return CountedAlloc(size);
}
void* operator new[](std::size_t size) {
  return CountedAlloc(size);
}
void operator delete(void* p) noexcept {
  CountedFree(p);
}
void operator delete[](void* p) noexcept {
  CountedFree(p);
}
void operator delete(void* p, std::size_t) noexcept {
  CountedFree(p);
}
void operator delete[](void* p, std::size_t) noexcept {
  CountedFree(p);
}

namespace {

using orvane::engine::TSmtpRelayServer;
using orvane::net::EventLoop;

constexpr int kRepliesPerAddress = 6;  // greeting, HELO, MAIL, RCPT, RSET, QUIT
constexpr int kReplyDelayMs = 20;

double ThreadCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

double ProcessCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

struct Figures {
  double seconds = 0;
  double cpuUsPerAddress = 0;
  std::int64_t heapPerSession = 0;
  double processCores = 0;  // process CPU time / wall time (engine, farm, kernel)
  std::size_t good = 0;
  std::size_t bad = 0;
  std::size_t other = 0;
  std::map<std::int32_t, std::size_t> otherCodes;
};

Figures RunOnce(const orvane::testing::FarmThread& farm, int connections, std::size_t addresses) {
  EventLoop loop;
  TSmtpRelayServer server(loop);
  server.SetDns(farm.dns());
  server.SetSmtpPort(std::to_string(farm.smtpPort()));
  server.SetFrom("bench@origin.test");
  server.SetSignon("origin.test");
  server.SetConnections(connections);
  server.SetTimeOut(30);
  for (std::size_t i = 0; i < addresses; ++i) {
    const std::string local = (i % 2 == 0 ? "ok" : "no") + std::to_string(i);
    server.Recipients().Add(local + "@d" + std::to_string(i % 200) + ".test",
                            static_cast<std::int64_t>(i));
  }
  Figures f;
  bool finished = false;
  server.OnEMailProcessed = [&](TSmtpRelayServer&, int, std::int32_t code,
                                const orvane::TransactionLog& log) {
    if (code != 0 && code != 550 && f.other == 0) {
      // The first unexpected result's log, to tell where it went wrong.
      for (const auto& line : log) std::printf("  | %s\n", line.c_str());
    }
    if (code == 0) {
      ++f.good;
    } else if (code == 550) {
      ++f.bad;
    } else {
      ++f.other;
      ++f.otherCodes[code];
    }
  };
  server.OnFinished = [&](TSmtpRelayServer&, bool) { finished = true; };

  const std::int64_t baseline = tLiveBytes;
  tPeakBytes = tLiveBytes;
  const double cpu0 = ThreadCpuSeconds();
  const double proc0 = ProcessCpuSeconds();
  const auto t0 = std::chrono::steady_clock::now();
  server.StartCheck();
  loop.runUntil([&] { return finished; }, 600000);
  // The finish is reported 100 ms after the last result; that wait is not work.
  const auto t1 = std::chrono::steady_clock::now() - std::chrono::milliseconds(100);
  const double cpu1 = ThreadCpuSeconds();
  const double proc1 = ProcessCpuSeconds();
  f.seconds = std::chrono::duration<double>(t1 - t0).count();
  f.cpuUsPerAddress = (cpu1 - cpu0) * 1e6 / static_cast<double>(addresses);
  f.heapPerSession = (tPeakBytes - baseline) / connections;
  f.processCores = (proc1 - proc0) / (f.seconds + 0.1);
  return f;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

}  // namespace

// Without arguments: the three settings. With "CONNECTIONS ADDRESSES": that
// one setting. An optional last argument sets the runs per setting (default
// 3): other work on the machine slows single runs, so each setting reports
// its best and its median run as well as every run.
int main(int argc, char** argv) {
  const std::uint64_t limit = orvane::engine::RaiseDescriptorLimit();
  std::printf("cores: %u, descriptor limit: %llu\n", std::thread::hardware_concurrency(),
              static_cast<unsigned long long>(limit));
  orvane::testing::FarmOptions farmOptions;
  farmOptions.domains = 200;
  farmOptions.hosts = 8;
  farmOptions.replyDelayMs = kReplyDelayMs;
  orvane::testing::FarmThread farm(farmOptions);
  struct Setting {
    int connections;
    std::size_t addresses;
  };
  std::vector<Setting> settings = {{10, 1000}, {100, 10000}, {999, 50000}};
  int runs = 3;
  if (argc == 2) runs = std::atoi(argv[1]);
  if (argc >= 3) {
    settings = {{std::atoi(argv[1]), static_cast<std::size_t>(std::atol(argv[2]))}};
    if (argc >= 4) runs = std::atoi(argv[3]);
  }
  runs = std::max(runs, 1);
  double cpuAt10 = 0;
  for (const auto& s : settings) {
    const double ideal = s.connections / (kRepliesPerAddress * kReplyDelayMs / 1000.0);
    std::vector<double> ratios;
    std::vector<double> cpus;
    for (int run = 0; run < runs; ++run) {
      const Figures f = RunOnce(farm, s.connections, s.addresses);
      const double rate = static_cast<double>(s.addresses) / f.seconds;
      ratios.push_back(100.0 * rate / ideal);
      cpus.push_back(f.cpuUsPerAddress);
      rusage ru{};
      getrusage(RUSAGE_SELF, &ru);
      std::printf(
          "connections %4d, addresses %6zu: %7.1f s, %8.1f addresses/s, %5.1f%% of ideal "
          "(%.0f/s), engine CPU %6.1f us/address, engine heap %lld B/session, peak RSS %ld KiB, "
          "process busy %.2f cores; valid %zu, refused %zu, other %zu\n",
          s.connections, s.addresses, f.seconds, rate, ratios.back(), ideal, f.cpuUsPerAddress,
          static_cast<long long>(f.heapPerSession), ru.ru_maxrss, f.processCores, f.good, f.bad,
          f.other);
      for (const auto& [code, n] : f.otherCodes) std::printf("  code %d: %zu\n", code, n);
      std::fflush(stdout);
    }
    const double cpu = Median(cpus);
    if (s.connections == 10) cpuAt10 = cpu;
    std::printf(
        "=> %d connections, %d runs: of ideal best %.1f%%, median %.1f%%; engine CPU median "
        "%.1f us/address",
        s.connections, runs, *std::max_element(ratios.begin(), ratios.end()), Median(ratios), cpu);
    if (cpuAt10 > 0) std::printf(" (%.2fx of 10 connections)", cpu / cpuAt10);
    std::printf("\n");
    std::fflush(stdout);
  }
  return 0;
}
