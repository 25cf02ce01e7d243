// What a validation session (TSmtpThread) is handed by the run it works for:
// the run's settings as plain values, the address in hand with everything
// known about it so far (AddressWork, which can be set aside and taken up
// again by any session), and the run itself (RunContext): where addresses
// come from, where results go, and the shared knowledge of the run (mail
// hosts, host slots, catch-all answers).
//
// The session reaches the run only through RunContext; the run owns the
// sessions. Event-loop thread only.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "core/RecipientList.h"
#include "engine/AddressFeed.h"
#include "engine/Outcome.h"
#include "engine/Proxy.h"

namespace orvane::net {
class EventLoop;
}

namespace orvane::engine {

class AddressResolver;
class CatchAllRegistry;
class HostSlots;
class MxResolver;
class TSmtpThread;

// The settings every session of a run reads; fixed while the run lasts.
struct RunSettings {
  std::string signon;
  std::string from;
  std::string smtpPort = "smtp";
  std::string dnsServer;  // the first of the run's DNS servers
  bool useIpv6 = true;
  ProxySettings proxy;
  // Local addresses outgoing SMTP connections leave from (empty: the
  // system's choice); each mail host always sees the same one.
  std::vector<std::string> sourceAddresses;
  int timeOut = 60;                   // seconds
  int perConnection = 1;              // addresses of one domain per connection
  std::uint64_t greylistDelayMs = 0;  // 0: a 4xx to RCPT TO is final
  std::uint64_t deadlineMs = 60000;   // the longest an address is held
};

// Where one attempt at a mail host ended: the code, the step and the
// server's reply there.
struct Attempt {
  std::int32_t code = 0;
  Step step = Step::Connect;
  std::string reply;
  bool proxy = false;  // the proxy ended it; `reply` says how
};

// The address in hand and what is known of it so far.
struct AddressWork {
  TakenAddress address;
  TransactionLog log;
  bool retried = false;  // on its second try (greylisting)
  int throttles = 0;     // times its host refused it for now before RCPT TO
  std::string domain;    // ASCII form
  std::vector<std::string> mailHosts;
  bool domainItself = false;  // no MX records: the domain is tried as its own host
  std::size_t hostIndex = 0;
  // The current host's addresses in trying order (IPv6 first), and the one
  // tried now.
  std::vector<std::string> addresses;
  std::size_t addressIndex = 0;
  bool rcptRefused = false;  // a 5xx to RCPT TO decided the address
  Attempt first;             // the current host's first failure
  Attempt last;              // what the address gets when the hosts run out
  // The outcome beyond the code.
  Step step = Step::Syntax;
  DnsOutcome dns = DnsOutcome::Answered;
  int dnsCode = 0;
  std::string dnsServer;
  std::string detail;
  // Loop times: when it was taken, its deadline, when it was set aside.
  std::uint32_t heldSince = 0;
  std::uint32_t deadline = 0;
  std::uint32_t parkedSince = 0;
  // Waiting because its host throttled us: the wait counts against its
  // deadline (a host that only ever refuses must not hold it for good).
  bool throttled = false;
  // The host limit its connection slot was taken under.
  std::uint64_t slotGeneration = 0;

  const std::string& currentHost() const { return mailHosts[hostIndex]; }
};

class RunContext {
 public:
  enum class Took : std::uint8_t {
    Nothing,  // no address at hand now
    Address,  // a new address (or one given back)
    Retry,    // an address's second try; its log so far comes with it
    Resumed,  // an address set aside for a full host: the slot at its
              // current host is now held for it
  };

  virtual const RunSettings& runSettings() const = 0;
  virtual net::EventLoop& loop() = 0;
  virtual MxResolver& resolver() = 0;
  virtual AddressResolver& addressResolver() = 0;
  virtual HostSlots& hostSlots() = 0;
  virtual CatchAllRegistry& catchAll() = 0;
  // The run is being stopped: take nothing more.
  virtual bool stopping() const = 0;
  // False once an IPv6 connection found no route: the run tries no more.
  virtual bool ipv6Usable() const = 0;
  virtual void ipv6Unreachable() = 0;

  // The next address to work on, into `work` (which is reset first).
  virtual Took takeNext(AddressWork& work) = 0;
  // The next address of `domain` to ask about on the open connection: the
  // oldest of `reserved` (set aside by reserveAlong), else the oldest at hand.
  virtual bool takeAlong(const std::string& domain, std::deque<int>& reserved,
                         TakenAddress& out) = 0;
  // Sets up to `count` of `domain`'s next addresses aside for the session's
  // connection; unreserve() puts back what it will not ask about.
  virtual void reserveAlong(const std::string& domain, int count, std::deque<int>& out) = 0;
  virtual void unreserve(const std::string& domain, std::deque<int>& reserved) = 0;
  // Tells the owner an address is being checked (once per address).
  virtual void announce(TakenAddress& address) = 0;
  // The address's result; `log` may be taken over.
  virtual void report(const TakenAddress& address, AddressResult result, TransactionLog& log) = 0;
  // The address is tried again in `delayMs`; `greylisted`: it was refused
  // for now at RCPT TO, and its owner is told it waits.
  virtual void retryLater(AddressWork work, std::uint64_t delayMs, bool greylisted) = 0;
  // An address taken along whose connection broke before it was answered:
  // it gets a dialogue of its own later.
  virtual void giveBack(TakenAddress address) = 0;
  // The address waits, without a session, until its current host has a slot.
  virtual void park(AddressWork work) = 0;
  virtual void connectionOpened() = 0;
  // The session has ended; the run destroys it later from the loop.
  virtual void sessionEnded(TSmtpThread& session, int lastRecipientIndex) = 0;

 protected:
  ~RunContext() = default;
};

}  // namespace orvane::engine
