// The addresses of the mail hosts of a run (and of a domain that is its own
// mail host), asked of the run's DNS servers: A, and AAAA when IPv6 is used,
// through the run's DnsAsker; CNAME records followed at most 8 steps (a loop
// ends the search); the answer kept for its TTL and shared by every address
// that needs it while it is under way. Addresses an MX answer carried in its
// additional section for the host are taken as they are (seed).
//
// A name that does not exist, or has no address, "does not resolve" (the
// address gets 11001 when it was its last mail host); a DNS server that fails
// to answer says nothing about the name (unknown).
//
// Ownership: owns the cache and the waiters; borrows the asker. Event-loop
// thread only. Waiters are called from the loop, never inside resolve(); a
// cancelled waiter is never called.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/RecipientList.h"
#include "engine/DnsAsker.h"
#include "engine/Outcome.h"
#include "net/EventLoop.h"

namespace orvane::engine {

struct HostAddresses {
  // Answered: addresses found; NoSuchDomain: the name does not resolve;
  // anything else: the DNS server failed us.
  DnsOutcome outcome = DnsOutcome::Answered;
  int code = 0;  // the server's error code, or the socket error
  std::vector<std::string> ipv6;
  std::vector<std::string> ipv4;
  TransactionLog lines;  // what the log shows of the search
  std::string server;
  std::string why;  // for a name that does not resolve: "does not exist", ...
  std::uint32_t ttlSeconds = 0;
};

class AddressResolver final {
 public:
  using Waiter = std::function<void(const HostAddresses& addresses)>;
  using Ticket = std::uint64_t;

  static constexpr int kMaxCnameSteps = 8;
  static constexpr std::uint32_t kNoSuchNameSeconds = 60;
  static constexpr std::uint32_t kMaxSeconds = 3600;

  AddressResolver(net::EventLoop& loop, DnsAsker& asker);
  ~AddressResolver();
  AddressResolver(const AddressResolver&) = delete;
  AddressResolver& operator=(const AddressResolver&) = delete;

  // A run starts: the cache is emptied; `ipv6`: AAAA records are asked for.
  void reset(bool ipv6);
  const HostAddresses* cached(const std::string& host);
  Ticket resolve(const std::string& host, Waiter waiter);
  void cancel(Ticket ticket);
  void cancelAll();
  // What an MX answer's additional section said of `host`.
  void seed(const std::string& host, HostAddresses addresses);

 private:
  struct Search;
  struct Entry {
    HostAddresses addresses;
    std::uint32_t expires = 0;  // loop time
  };

  void ask(Search& search, std::uint16_t type);
  void answered(const std::string& host, std::uint16_t type, DnsAsker::Result& result);
  void finish(const std::string& host);

  net::EventLoop& loop_;
  DnsAsker& asker_;
  bool ipv6_ = true;
  std::unordered_map<std::string, Entry> cache_;
  std::unordered_map<std::string, std::unique_ptr<Search>> searching_;
  std::unordered_map<Ticket, std::string> tickets_;
  Ticket nextTicket_ = 0;
};

}  // namespace orvane::engine
