// A farm of scripted servers for hands-on runs and benchmarks: one DNS server
// that maps many test domains to mail exchangers on 127.0.0.x, and SMTP
// listeners on those addresses that accept some recipients and refuse others.
//
// Domains are "d0.test" .. "d<N-1>.test". Each has `mxPerDomain` MX records
// whose exchange names are the dotted addresses of the SMTP hosts
// ("127.0.0.2", ...), so a client connects to them without any further name
// lookup. All SMTP hosts share one port and one script: RCPT TO with a local
// part starting with `acceptPrefix` is answered "250", any other "550".
// Neither server keeps what it receives (only counts), so the farm can run
// for millions of queries.
//
// Owns its servers; runs on the given EventLoop's thread (the loop must
// outlive it). Used by tools/farm (orvane-farm) and by benchmarks that start
// the same farm in-process (FarmThread).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "net/EventLoop.h"
#include "tests/support/ScriptedDnsServer.h"
#include "tests/support/ScriptedSmtpServer.h"

namespace orvane::farm {

struct FarmOptions {
  std::size_t domains = 100;       // d0.test .. d<domains-1>.test
  std::size_t hosts = 4;           // SMTP hosts on 127.0.0.2 .. 127.0.0.<hosts+1>
  std::size_t mxPerDomain = 1;     // MX records per domain, hosts taken in turn
  std::uint64_t replyDelayMs = 0;  // before every greeting and reply
  std::string acceptPrefix = "ok";
  int dnsReceiveBuffer = 0;  // bytes; 0: a wide buffer that drops nothing
  // A host that throttles: beyond this many connections served at once (all
  // hosts together), "421 4.7.0 Too many connections" and a close; 0: never.
  std::size_t busyBeyond = 0;
};

class Farm final {
 public:
  // Throws std::runtime_error when the servers cannot listen.
  Farm(net::EventLoop& loop, FarmOptions options);

  testing::ScriptedDnsServer& dns() noexcept { return dns_; }
  testing::ScriptedSmtpServer& smtp() noexcept { return smtp_; }
  // "127.0.0.1:<port>": the DNS server entry for the program's options.
  std::string dnsAddress() const { return dns_.address(); }
  std::uint16_t smtpPort() const noexcept { return smtp_.port(); }
  // The addresses the SMTP hosts listen on, in host order.
  const std::vector<std::string>& hostAddresses() const noexcept { return hosts_; }
  const FarmOptions& options() const noexcept { return options_; }
  // DNS queries answered so far; readable from any thread.
  std::uint64_t dnsQueries() const noexcept { return dnsQueries_.load(); }

  static std::string domainName(std::size_t index) { return "d" + std::to_string(index) + ".test"; }
  // The SMTP host addresses of domain `index`, in the order of its MX records.
  std::vector<std::string> mxHosts(std::size_t index) const;

 private:
  FarmOptions options_;
  std::vector<std::string> hosts_;
  testing::ScriptedDnsServer dns_;
  testing::ScriptedSmtpServer smtp_;
  std::atomic<std::uint64_t> dnsQueries_{0};
};

}  // namespace orvane::farm
