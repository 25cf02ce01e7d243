// orvane-farm: starts a farm of scripted servers for hands-on runs and
// benchmarks and keeps it running until Ctrl-C.
//
//   orvane-farm [--domains N] [--hosts N] [--mx N] [--delay MS] [--accept PREFIX]
//
// Prints the DNS server entry (127.0.0.1:PORT) to put into the program's
// options and the SMTP port the hosts listen on.
#include <sys/resource.h>
#include <uv.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>

#include "net/EventLoop.h"
#include "tools/farm/Farm.h"

namespace {

void usage() {
  std::fprintf(stderr,
               "usage: orvane-farm [--domains N] [--hosts N] [--mx N] [--delay MS] "
               "[--accept PREFIX]\n"
               "  --domains N     test domains d0.test .. d<N-1>.test (default 100)\n"
               "  --hosts N       SMTP hosts on 127.0.0.2 .. 127.0.0.<N+1> (default 4)\n"
               "  --mx N          MX records per domain (default 1)\n"
               "  --delay MS      delay before every SMTP greeting and reply (default 0)\n"
               "  --accept PREFIX recipients whose local part starts with PREFIX get 250,\n"
               "                  all others 550 (default \"ok\")\n");
}

bool parseCount(const char* text, unsigned long long& out) {
  char* end = nullptr;
  out = std::strtoull(text, &end, 10);
  return end != text && *end == '\0';
}

}  // namespace

int main(int argc, char** argv) {
  orvane::farm::FarmOptions options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      usage();
      return 0;
    }
    if (i + 1 >= argc) {
      usage();
      return 2;
    }
    const char* value = argv[++i];
    unsigned long long n = 0;
    if (arg == "--accept") {
      options.acceptPrefix = value;
    } else if (!parseCount(value, n)) {
      std::fprintf(stderr, "orvane-farm: %s needs a number, not '%s'\n", arg.c_str(), value);
      return 2;
    } else if (arg == "--domains") {
      options.domains = n;
    } else if (arg == "--hosts") {
      options.hosts = n;
    } else if (arg == "--mx") {
      options.mxPerDomain = n;
    } else if (arg == "--delay") {
      options.replyDelayMs = n;
    } else {
      usage();
      return 2;
    }
  }
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
  try {
    orvane::net::EventLoop loop;
    orvane::farm::Farm farm(loop, options);
    std::printf("DNS server: %s\n", farm.dnsAddress().c_str());
    std::printf("SMTP port: %u\n", static_cast<unsigned>(farm.smtpPort()));
    std::printf("SMTP hosts:");
    for (const auto& host : farm.hostAddresses()) std::printf(" %s", host.c_str());
    std::printf("\nDomains: %s .. %s (%zu MX each); recipients starting with \"%s\" are accepted\n",
                orvane::farm::Farm::domainName(0).c_str(),
                orvane::farm::Farm::domainName(options.domains ? options.domains - 1 : 0).c_str(),
                farm.options().mxPerDomain, options.acceptPrefix.c_str());
    std::printf("Reply delay: %llu ms. Ctrl-C stops.\n",
                static_cast<unsigned long long>(options.replyDelayMs));
    std::fflush(stdout);

    uv_signal_t interrupt;
    uv_signal_init(loop.uv(), &interrupt);
    interrupt.data = &loop;
    auto stop = [](uv_signal_t* handle, int) {
      uv_signal_stop(handle);
      static_cast<orvane::net::EventLoop*>(handle->data)->stop();
    };
    uv_signal_start(&interrupt, stop, SIGINT);
    uv_signal_t terminate;
    uv_signal_init(loop.uv(), &terminate);
    terminate.data = &loop;
    uv_signal_start(&terminate, stop, SIGTERM);
    loop.run();
    uv_close(reinterpret_cast<uv_handle_t*>(&interrupt), nullptr);
    uv_close(reinterpret_cast<uv_handle_t*>(&terminate), nullptr);
    loop.runOnce();
    std::printf("Stopped after %zu SMTP connections and %zu DNS queries.\n",
                farm.smtp().connectionCount(), farm.dns().queriesSeen());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "orvane-farm: %s\n", e.what());
    return 1;
  }
  return 0;
}
