// Validation throughput against the farm of scripted servers, which runs on a
// thread (and loop) of its own, so the figures are the engine's.
//
//   bench_engine [single|polite|bursts|throttle|shards|memory|all] [runs]
//
// single:  one address per connection at 10, 100 and 999 connections on 64
//          hosts with 20 ms replies (a DNS server with an ordinary receive
//          buffer, which drops bursts of queries as real resolvers do):
//          addresses/s against connections / (6 replies x 20 ms), engine CPU
//          per address, heap per session, DNS queries.
// polite:  the default options (10 addresses per connection, 20 connections
//          per host, catch-all detection) on 50 hosts, 200 domains, 50 ms a
//          reply, at 999 connections (48,000 addresses) and 100 (9,600):
//          the time against the polite ideal, the replies those options need
//          (greeting, HELO, MAIL FROM, one RCPT TO per address, RSET, QUIT per
//          connection of up to 10 addresses, ending early after five refusals
//          in a row; one catch-all probe per domain) spread over the usable
//          connections; engine CPU per address.
// bursts:  `orvane-cli check --list -` over the polite farm's 48,000 addresses
//          at 999 connections, written at once and in 50 bursts with pauses:
//          wall time and DNS queries (one per domain is the goal).
// throttle: one mail host that answers "421 4.7.0 Too many connections"
//          beyond 5 connections at once, 2,000 addresses of 200 domains on it
//          at 100 connections with the default options, 20 ms a reply: every
//          verdict right, and the time against what 5 polite connections need.
// shards: the scaling recipe: `orvane-cli check --list FILE` over 48,000
//          addresses of the 50-host farm (20 ms replies) at 999 connections,
//          against 3 processes at once with --shard K/3 and 333 connections
//          each: wall time of both and each worker's peak memory.
// memory:  peak memory of `orvane-cli check --list -` over 100,000 and
//          10,000,000 addresses fed through a pipe, against a farm without
//          delays.
// Each setting runs `runs` times (default 3); every run, the best and the
// median are printed.
#include <fcntl.h>
#include <malloc.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
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
#include <tuple>
#include <vector>

#include <uv.h>

#include "engine/ResourceLimits.h"
#include "engine/SmtpRelayServer.h"
#include "net/EventLoop.h"
#include "tools/farm/FarmThread.h"

// --- heap accounting per thread: live bytes allocated with operator new ---
namespace {
thread_local std::int64_t tLiveBytes = 0;
thread_local std::int64_t tPeakBytes = 0;

void* countedAlloc(std::size_t size) {
  void* p = std::malloc(size == 0 ? 1 : size);
  if (p == nullptr) throw std::bad_alloc();
  tLiveBytes += static_cast<std::int64_t>(malloc_usable_size(p));
  if (tLiveBytes > tPeakBytes) tPeakBytes = tLiveBytes;
  return p;
}
void countedFree(void* p) noexcept {
  if (p == nullptr) return;
  tLiveBytes -= static_cast<std::int64_t>(malloc_usable_size(p));
  std::free(p);
}
}  // namespace

void* operator new(std::size_t size) {
  return countedAlloc(size);
}
void* operator new[](std::size_t size) {
  return countedAlloc(size);
}
void operator delete(void* p) noexcept {
  countedFree(p);
}
void operator delete[](void* p) noexcept {
  countedFree(p);
}
void operator delete(void* p, std::size_t) noexcept {
  countedFree(p);
}
void operator delete[](void* p, std::size_t) noexcept {
  countedFree(p);
}

namespace {

using orvane::engine::TSmtpRelayServer;
using orvane::net::EventLoop;

constexpr int kRepliesPerAddress = 6;  // greeting, HELO, MAIL, RCPT, RSET, QUIT
constexpr int kReplyDelayMs = 20;
constexpr std::size_t kDomains = 200;
// The polite farm: mail hosts shared by four domains each, slow replies.
constexpr std::size_t kPoliteHosts = 50;
constexpr int kPoliteDelayMs = 50;
constexpr int kPerConnection = 10;
constexpr int kPerHost = 20;
constexpr int kRejectionsInARow = 5;
// Mail hosts of the farm: enough that 20 connections per host let 999
// sessions work at once (domains share hosts, as they do at large providers).
constexpr std::size_t kFarmHosts = 64;
// What Linux gives a socket that asks for nothing (net.core.rmem_default): a
// few hundred queries fit.
constexpr int kOrdinaryReceiveBuffer = 212992 / 2;

double threadCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Half the addresses are valid, mixed within every domain (each domain's
// addresses alternate), as in a real list.
std::string Address(std::size_t i) {
  return ((i / kDomains) % 2 == 0 ? "ok" : "no") + std::to_string(i) + "@d" +
         std::to_string(i % kDomains) + ".test";
}

// The polite ideal: the replies the default options need for the first
// `addresses`, spread over the connections that may be open at once (at most
// 20 per host), `delayMs` a reply.
double politeIdealSeconds(std::size_t addresses, int usable, int delayMs) {
  std::vector<std::vector<bool>> accepted(kDomains);  // per domain, in list order
  for (std::size_t i = 0; i < addresses; ++i) {
    accepted[i % kDomains].push_back(Address(i).rfind("ok", 0) == 0);
  }
  std::uint64_t replies = 0;
  for (const auto& domain : accepted) {
    if (domain.empty()) continue;
    replies += 1;  // the catch-all probe
    for (std::size_t i = 0; i < domain.size();) {
      // One connection: greeting, HELO, MAIL FROM, RSET, QUIT, and a RCPT TO
      // per address until ten, or five refusals in a row.
      replies += 5;
      int taken = 0, refusedInARow = 0;
      while (i < domain.size() && taken < kPerConnection && refusedInARow < kRejectionsInARow) {
        refusedInARow = domain[i] ? 0 : refusedInARow + 1;
        ++taken;
        ++i;
        ++replies;
      }
    }
  }
  return static_cast<double>(replies) * delayMs / 1000.0 / usable;
}

struct Setting {
  int connections = 10;
  std::size_t addresses = 1000;
  int perConnection = 1;
  int hostConnections = 0;
  bool catchAll = false;
};

struct Figures {
  double seconds = 0;
  double cpuUsPerAddress = 0;
  std::int64_t heapPerSession = 0;
  std::uint64_t dnsQueries = 0;
  std::uint64_t connections = 0;
  std::size_t good = 0;
  std::size_t bad = 0;
  std::size_t other = 0;
  std::map<std::int32_t, std::size_t> otherCodes;
};

Figures runOnce(const orvane::farm::FarmThread& farm, const Setting& s) {
  EventLoop loop;
  TSmtpRelayServer server(loop);
  server.setDns(farm.dns());
  server.setSmtpPort(std::to_string(farm.smtpPort()));
  server.setFrom("bench@origin.test");
  server.setSignon("origin.test");
  server.setConnections(s.connections);
  server.setTimeOut(30);
  server.setAddressesPerConnection(s.perConnection);
  server.setHostConnections(s.hostConnections);
  server.setDetectCatchAll(s.catchAll);
  server.setSource(
      [next = std::size_t{0}, n = s.addresses](orvane::engine::FeedLine& line) mutable {
        if (next >= n) return orvane::engine::SourceAnswer::End;
        line.text = Address(next);
        line.tag = static_cast<std::int64_t>(next++);
        return orvane::engine::SourceAnswer::Address;
      });
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

  const auto t00 = std::chrono::steady_clock::now();
  const std::int64_t baseline = tLiveBytes;
  tPeakBytes = tLiveBytes;
  const double cpu0 = threadCpuSeconds();
  const auto t0 = std::chrono::steady_clock::now();
  orvane::net::Timer probe(loop);
  if (std::getenv("ORVANE_BENCH_TRACE") != nullptr) {
    probe.start(250, 250, [&] {
      std::printf(
          "  t+%.2f s: sessions %d, connections %d (%llu opened), parked %zu, reported %zu\n",
          std::chrono::duration<double>(std::chrono::steady_clock::now() - t00).count(),
          server.activeCount(), server.openConnections(),
          static_cast<unsigned long long>(server.connectionsOpened()), server.addressesParked(),
          f.good + f.bad + f.other);
    });
  }
  server.StartCheck();
  loop.runUntil([&] { return finished; }, 1200000);
  probe.stop();
  // The finish is reported 100 ms after the last result; that wait is not work.
  const auto t1 = std::chrono::steady_clock::now() - std::chrono::milliseconds(100);
  const double cpu1 = threadCpuSeconds();
  f.seconds = std::chrono::duration<double>(t1 - t0).count();
  f.cpuUsPerAddress = (cpu1 - cpu0) * 1e6 / static_cast<double>(s.addresses);
  f.heapPerSession = (tPeakBytes - baseline) / s.connections;
  f.dnsQueries = server.dnsQueriesSent();
  f.connections = server.connectionsOpened();
  return f;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

struct Summary {
  double bestRate = 0;
  double medianRate = 0;
  double medianCpu = 0;
};

// `ideal`: addresses per second at best.
Summary runSetting(const orvane::farm::FarmThread& farm, const Setting& s, int runs,
                   const char* label, double ideal) {
  std::vector<double> rates;
  std::vector<double> cpus;
  for (int run = 0; run < runs; ++run) {
    const Figures f = runOnce(farm, s);
    const double rate = static_cast<double>(s.addresses) / f.seconds;
    rates.push_back(rate);
    cpus.push_back(f.cpuUsPerAddress);
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    std::printf(
        "%s: connections %4d, addresses %6zu: %6.2f s (ideal %.2f s), %8.1f addresses/s "
        "(%5.1f%% of the ideal %.0f/s), engine CPU %5.1f us/address, heap %lld B/session, "
        "peak RSS %ld KiB, DNS queries %llu, %.1f addresses per connection; valid %zu, refused "
        "%zu, other %zu\n",
        label, s.connections, s.addresses, f.seconds, static_cast<double>(s.addresses) / ideal,
        rate, 100.0 * rate / ideal, ideal, f.cpuUsPerAddress,
        static_cast<long long>(f.heapPerSession), ru.ru_maxrss,
        static_cast<unsigned long long>(f.dnsQueries),
        static_cast<double>(s.addresses) /
            static_cast<double>(std::max<std::uint64_t>(f.connections, 1)),
        f.good, f.bad, f.other);
    for (const auto& [code, n] : f.otherCodes) std::printf("  code %d: %zu\n", code, n);
    std::fflush(stdout);
  }
  Summary out{*std::max_element(rates.begin(), rates.end()), median(rates), median(cpus)};
  std::printf(
      "=> %s, %d connections, %d runs: best %.1f/s (%.1f%% of ideal), median %.1f/s "
      "(%.1f%%); engine CPU median %.1f us/address\n",
      label, s.connections, runs, out.bestRate, 100.0 * out.bestRate / ideal, out.medianRate,
      100.0 * out.medianRate / ideal, out.medianCpu);
  std::fflush(stdout);
  return out;
}

// Runs `orvane-cli check --list -` over `count` addresses written into its
// standard input in `bursts` parts with `pauseMs` between them; returns its
// peak resident memory in KiB.
long runCheck(const orvane::farm::FarmThread& farm, std::size_t count, int connections, int bursts,
              int pauseMs, double& seconds) {
  int in[2];
  if (pipe(in) != 0) return -1;
  const std::string cli = std::string(ORVANE_BIN_DIR) + "/orvane-cli";
  const std::string dns = farm.dns();
  const std::string port = std::to_string(farm.smtpPort());
  const std::string conns = std::to_string(connections);
  char home[] = "/tmp/orvane-bench-XXXXXX";
  if (mkdtemp(home) == nullptr) return -1;
  const auto t0 = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(in[0], 0);
    close(in[0]);
    close(in[1]);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    dup2(null, 2);
    setenv("XDG_CONFIG_HOME", home, 1);
    execl(cli.c_str(), cli.c_str(), "check", "--from", "bench@origin.test", "--dns", dns.c_str(),
          "--smtp-port", port.c_str(), "--connections", conns.c_str(), "--list", "-",
          static_cast<char*>(nullptr));
    _exit(127);
  }
  close(in[0]);
  const std::size_t perBurst =
      (count + static_cast<std::size_t>(bursts) - 1) / static_cast<std::size_t>(bursts);
  std::string chunk;
  const auto flush = [&] {
    const char* p = chunk.data();
    std::size_t left = chunk.size();
    while (left > 0) {
      const ssize_t n = write(in[1], p, left);
      if (n <= 0) break;
      p += n;
      left -= static_cast<std::size_t>(n);
    }
    chunk.clear();
  };
  for (std::size_t i = 0; i < count; ++i) {
    chunk += Address(i);
    chunk += '\n';
    const bool burstEnds = (i + 1) % perBurst == 0;
    if (chunk.size() > (1 << 16) || burstEnds || i + 1 == count) flush();
    if (burstEnds && i + 1 < count && pauseMs > 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
    }
  }
  close(in[1]);
  int status = 0;
  rusage ru{};
  wait4(pid, &status, 0, &ru);
  seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::printf("orvane-cli check ended with status %d\n", status);
  }
  return ru.ru_maxrss;
}

// Starts `orvane-cli check --list FILE` with `extra` arguments, its records
// to /dev/null; returns its pid.
pid_t startCheck(const orvane::farm::FarmThread& farm, const std::string& list,
                 const std::vector<std::string>& extra, const std::string& home) {
  const std::string cli = std::string(ORVANE_BIN_DIR) + "/orvane-cli";
  std::vector<std::string> args = {
      cli,      "check",    "--from",      "bench@origin.test",
      "--dns",  farm.dns(), "--smtp-port", std::to_string(farm.smtpPort()),
      "--list", list};
  args.insert(args.end(), extra.begin(), extra.end());
  const pid_t pid = fork();
  if (pid == 0) {
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    dup2(null, 2);
    setenv("XDG_CONFIG_HOME", home.c_str(), 1);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(cli.c_str(), argv.data());
    _exit(127);
  }
  return pid;
}

// Waits for `pid`; its peak resident memory in KiB.
long waitPeakKiB(pid_t pid) {
  int status = 0;
  rusage ru{};
  wait4(pid, &status, 0, &ru);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::printf("orvane-cli check ended with status %d\n", status);
  }
  return ru.ru_maxrss;
}

}  // namespace

int main(int argc, char** argv) {
  const std::uint64_t limit = orvane::engine::raiseDescriptorLimit();
  std::printf("cores: %u, descriptor limit: %llu\n", std::thread::hardware_concurrency(),
              static_cast<unsigned long long>(limit));
  const std::string section = argc > 1 ? argv[1] : "all";
  const int runs = std::max(argc > 2 ? std::atoi(argv[2]) : 3, 1);
  signal(SIGPIPE, SIG_IGN);
  const bool all = section == "all";

  if (all || section == "single") {
    orvane::farm::FarmOptions o;
    o.domains = kDomains;
    o.hosts = kFarmHosts;
    o.replyDelayMs = kReplyDelayMs;
    o.dnsReceiveBuffer = kOrdinaryReceiveBuffer;
    orvane::farm::FarmThread farm(o);
    double cpuAt10 = 0;
    for (const Setting& s : {Setting{10, 1000}, Setting{100, 10000}, Setting{999, 50000}}) {
      const double ideal = s.connections / (kRepliesPerAddress * kReplyDelayMs / 1000.0);
      const Summary r = runSetting(farm, s, runs, "one per connection", ideal);
      if (s.connections == 10) cpuAt10 = r.medianCpu;
      if (s.connections == 999 && cpuAt10 > 0) {
        std::printf("   engine CPU at 999 = %.2fx that at 10 connections\n", r.medianCpu / cpuAt10);
      }
    }
  }
  if (all || section == "polite" || section == "bursts") {
    orvane::farm::FarmOptions o;
    o.domains = kDomains;
    o.hosts = kPoliteHosts;
    o.replyDelayMs = kPoliteDelayMs;
    o.dnsReceiveBuffer = kOrdinaryReceiveBuffer;
    orvane::farm::FarmThread farm(o);
    if (section != "bursts") {
      for (const auto& [connections, addresses, goal] :
           {std::tuple{999, std::size_t{48000}, 90.0}, std::tuple{100, std::size_t{9600}, 95.0}}) {
        const double idealSeconds = politeIdealSeconds(
            addresses, std::min<int>(connections, static_cast<int>(kPoliteHosts) * kPerHost),
            kPoliteDelayMs);
        const Summary r =
            runSetting(farm, Setting{connections, addresses, kPerConnection, kPerHost, true}, runs,
                       "default options", static_cast<double>(addresses) / idealSeconds);
        std::printf(
            "   polite ideal %.2f s; median %.1f%% of it (goal >= %.0f%%), engine CPU %.1f "
            "us/address (goal <= 40)\n",
            idealSeconds, 100.0 * r.medianRate * idealSeconds / static_cast<double>(addresses),
            goal, r.medianCpu);
      }
    }
    if (all || section == "bursts") {
      constexpr std::size_t kCount = 48000;
      for (int run = 0; run < runs; ++run) {
        double once = 0, bursts = 0;
        const std::uint64_t q0 = farm.dnsQueries();
        runCheck(farm, kCount, 999, 1, 0, once);
        const std::uint64_t q1 = farm.dnsQueries();
        runCheck(farm, kCount, 999, 50, 20, bursts);
        const std::uint64_t q2 = farm.dnsQueries();
        std::printf(
            "check --list - over %zu addresses at 999 connections: at once %.2f s (%llu DNS "
            "queries), in 50 bursts with 20 ms pauses %.2f s (%llu DNS queries, %zu domains): "
            "%.1f%% of the time at once (goal <= 105%%)\n",
            kCount, once, static_cast<unsigned long long>(q1 - q0), bursts,
            static_cast<unsigned long long>(q2 - q1), kDomains, 100.0 * bursts / once);
        std::fflush(stdout);
      }
    }
  }
  if (all || section == "throttle") {
    orvane::farm::FarmOptions o;
    o.domains = kDomains;
    o.hosts = 1;
    o.replyDelayMs = kReplyDelayMs;
    o.busyBeyond = 5;
    orvane::farm::FarmThread farm(o);
    constexpr std::size_t kCount = 2000;
    const double idealSeconds = politeIdealSeconds(kCount, 5, kReplyDelayMs);
    const Summary r =
        runSetting(farm, Setting{100, kCount, kPerConnection, kPerHost, true}, runs,
                   "421 beyond 5 connections", static_cast<double>(kCount) / idealSeconds);
    std::printf(
        "   5 polite connections need %.2f s; median %.2fx that (goal <= 1.5x); every verdict "
        "right when 'other' is 0 above\n",
        idealSeconds, static_cast<double>(kCount) / r.medianRate / idealSeconds);
  }
  if (all || section == "shards") {
    orvane::farm::FarmOptions o;
    o.domains = kDomains;
    o.hosts = kPoliteHosts;
    o.replyDelayMs = kReplyDelayMs;
    orvane::farm::FarmThread farm(o);
    char home[] = "/tmp/orvane-bench-XXXXXX";
    if (mkdtemp(home) == nullptr) return 1;
    const std::string list = std::string(home) + "/list.txt";
    {
      std::FILE* f = std::fopen(list.c_str(), "w");
      for (std::size_t i = 0; i < 48000; ++i) std::fprintf(f, "%s\n", Address(i).c_str());
      std::fclose(f);
    }
    for (int run = 0; run < runs; ++run) {
      auto t0 = std::chrono::steady_clock::now();
      const long singleKiB = waitPeakKiB(startCheck(farm, list, {"--connections", "999"}, home));
      const double single =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
      t0 = std::chrono::steady_clock::now();
      std::vector<pid_t> workers;
      for (int k = 1; k <= 3; ++k) {
        workers.push_back(startCheck(farm, list,
                                     {"--connections", "333", "--shard", std::to_string(k) + "/3",
                                      "--source-address", "127.0.0." + std::to_string(10 + k)},
                                     home));
      }
      std::vector<long> kib;
      for (const pid_t pid : workers) kib.push_back(waitPeakKiB(pid));
      const double sharded =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
      std::printf(
          "48,000 addresses: one process at 999 connections %.2f s (peak %.1f MiB); 3 shards "
          "at 333 each %.2f s = %.2fx (goal <= 1.1x), peaks %.1f / %.1f / %.1f MiB\n",
          single, static_cast<double>(singleKiB) / 1024.0, sharded, sharded / single,
          static_cast<double>(kib[0]) / 1024.0, static_cast<double>(kib[1]) / 1024.0,
          static_cast<double>(kib[2]) / 1024.0);
      std::fflush(stdout);
    }
  }
  if (all || section == "memory") {
    orvane::farm::FarmOptions o;
    o.domains = kDomains;
    o.hosts = kDomains;
    orvane::farm::FarmThread farm(o);
    for (const std::size_t count : {std::size_t{100000}, std::size_t{10000000}}) {
      double seconds = 0;
      const long kib = runCheck(farm, count, 999, 1, 0, seconds);
      std::printf(
          "orvane-cli check over %zu addresses: peak memory %.1f MiB, %.0f s "
          "(%.0f addresses/s)\n",
          count, static_cast<double>(kib) / 1024.0, seconds, static_cast<double>(count) / seconds);
      std::fflush(stdout);
    }
  }
  return 0;
}
