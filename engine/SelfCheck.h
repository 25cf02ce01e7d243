// The connection self-check: can this machine validate addresses at all?
// Before a list turns into thousands of unknown results, four checks ask what
// a run needs, each ending in one row (the check, a status, what it found,
// what to do):
//   "DNS servers"     an MX question for the domain (the sender's unless one
//                     is given) to the run's DNS servers (the configured
//                     ones, else the system's), with the time taken;
//   "Outbound SMTP"   a greeting and a HELO reply from the domain's best mail
//                     host (its address asked of the same servers; IPv6
//                     first when used, IPv4 at once after a failed IPv6
//                     connection), directly or through the run's proxy,
//                     from the source address a run would give that host,
//                     within the run's time-out;
//   "HELO name and reverse DNS"  the HELO name resolves (A/AAAA), and the
//                     address we connect from has a PTR record naming the
//                     HELO name, which resolves back to that address;
//   "Block lists"     the address we connect from is on none of the DNS
//                     block lists (A question of the reversed address in each
//                     zone; a listing's TXT record gives the reason). No row
//                     when no zone is given.
// "The address we connect from" is the one the mail host states it saw (an
// IPv4 or IPv6 address in its HELO reply, or else in its greeting: "Hello x
// [192.0.2.7]"), else the local address of the test connection; the rows say
// which. A private address (behind NAT) or the address towards a proxy says
// nothing about what hosts see, and is not looked up.
//
// Every question goes through the run's own DNS client (resends, the second
// server); every wait runs on the loop's time (net::Timer), so a test's
// ManualClock moves the time-outs. Nothing blocks. Rows come out in the order
// above, each once, through onRow, then onFinished; both are called from the
// loop, never inside start() or stop().
//
// Ownership: owns its DNS asker and resolvers, the SMTP client of the test
// connection and its timer; borrows the loop, which must outlive it.
// Event-loop thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/AddressResolver.h"
#include "engine/ConfigureEngine.h"
#include "engine/DnsAsker.h"
#include "engine/MxResolver.h"
#include "net/EventLoop.h"

namespace orvane::net {
class TSmtpCli;
}

namespace orvane::engine {

enum class CheckStatus : std::uint8_t { Green, Amber, Red };

// "OK", "Warning", "Problem": the status in words, beside its colour.
std::string_view checkStatusText(CheckStatus status) noexcept;

struct CheckRow {
  std::string check;  // one of the kCheck names
  CheckStatus status = CheckStatus::Green;
  std::string found;   // what the check found
  std::string advice;  // what to do; empty when there is nothing to do
};

inline constexpr std::string_view kCheckDns = "DNS servers";
inline constexpr std::string_view kCheckSmtp = "Outbound SMTP";
inline constexpr std::string_view kCheckHelo = "HELO name and reverse DNS";
inline constexpr std::string_view kCheckBlockLists = "Block lists";

inline constexpr std::string_view kDefaultBlockLists = "zen.spamhaus.org bl.spamcop.net";

// The ASCII form of a domain name as DNS is asked for it (lower case, IDNA
// for non-ASCII letters, no trailing dot), or nullopt when `text` is not a
// domain name.
std::optional<std::string> asciiDomain(std::string_view text);

// The zones of a blank-separated list, or nullopt with `bad` set to the first
// entry that is not a domain name.
std::optional<std::vector<std::string>> parseBlockLists(std::string_view text, std::string& bad);
// The zones of kDefaultBlockLists.
std::vector<std::string> defaultBlockLists();

// The client address a mail host states in one reply line ("250 mx Hello
// x [192.0.2.7]", "... 2001:db8::7 ..."): a bracketed address first, else a
// bare one; never `server` (the host's own address). Empty when none.
std::string statedClientAddress(std::string_view line, std::string_view server);

class SelfCheck final {
 public:
  explicit SelfCheck(net::EventLoop& loop);
  ~SelfCheck();
  SelfCheck(const SelfCheck&) = delete;
  SelfCheck& operator=(const SelfCheck&) = delete;

  // Where the system's DNS servers are read when none is configured, and the
  // last resort after them (as a run finds them; tests give their own).
  void setSystemDnsSources(std::vector<std::string> sources);
  void setInternalDns(std::string servers);

  // Starts the check (a check under way ends first, without its rows) with
  // the run's options: sender, HELO name rules, DNS servers, SMTP port,
  // time-out, proxy, IPv6 and source addresses. `domain` empty: the sender's
  // domain; `blockLists`: the zones to ask. Throws RunStartError when the
  // domain or the HELO name would come from a sender that is missing or
  // unusable (the sender's message), when `domain` is not a domain name, or
  // when no DNS server is available.
  void start(const EngineSettings& settings, const std::string& domain = {},
             std::vector<std::string> blockLists = defaultBlockLists());
  // Ends the check under way: no further row, no onFinished.
  void stop();

  bool running() const noexcept { return running_; }
  // The rows reported so far, in order.
  const std::vector<CheckRow>& rows() const noexcept { return rows_; }
  // The worst status of the rows reported so far (Green for none).
  CheckStatus worst() const noexcept;
  // The domain and the HELO name of the check under way (or the last one).
  const std::string& domain() const noexcept { return domain_; }
  const std::string& heloName() const noexcept { return helo_; }

  std::function<void(const CheckRow& row)> onRow;
  std::function<void(CheckStatus worst)> onFinished;

 private:
  // The PTR question for the address we connect from, and where it led.
  struct Reverse {
    std::string name;  // the reverse name asked
    bool done = false;
    std::string failure;             // set when the server failed us
    std::vector<std::string> names;  // what the PTR records name
    bool forwardPending = false;
    // The addresses of names[0], when it is not the HELO name.
    std::optional<HostAddresses> forward;
  };

  // One block list's answer for the address we connect from.
  struct Listing {
    enum class State : std::uint8_t { Asking, NotListed, Listed, Refused, Odd, Failed };
    std::string zone;
    std::string name;  // the question: the reversed address in the zone
    State state = State::Asking;
    std::string answer;  // the A records given; or why the zone could not be asked
    std::string reason;  // the TXT records of a listing
    bool reasonPending = false;
  };
  enum class Phase : std::uint8_t { Idle, Connect, Helo, Done };

  void mxAnswered(const MxAnswer& answer);
  void hostResolved(const std::string& host, const HostAddresses& found);
  void connectNext();
  void smtpDone(std::uint16_t error);
  void smtpTimedOut();
  void smtpRow(CheckStatus status, std::string found, std::string advice);
  void connectionEnded();
  void heloResolved(const HostAddresses& found);
  void askReverse();
  void reverseAnswered(DnsAsker::Result& result);
  void ptrNameResolved(const HostAddresses& found);
  void askListing(std::size_t zone);
  void listingAnswered(std::size_t zone, DnsAsker::Result& result);
  void reasonAnswered(std::size_t zone, DnsAsker::Result& result);
  void heloRowIfReady();
  void blockListRowIfReady();
  void put(std::size_t slot, CheckRow row);
  void finishIfDone();
  std::string portText() const;
  std::string hostText() const;

  net::EventLoop& loop_;
  DnsAsker asker_;
  AddressResolver hostAddresses_;  // the mail host's: AAAA only when IPv6 is used
  AddressResolver nameAddresses_;  // the HELO name's and the PTR name's: A and AAAA
  MxResolver mx_;
  std::unique_ptr<net::TSmtpCli> smtp_;
  net::Timer smtpTimer_;
  std::vector<std::string> systemDnsSources_;
  std::string internalDns_;

  // The check under way.
  bool running_ = false;
  EngineSettings settings_;
  std::string domain_;
  std::string helo_;
  std::vector<std::string> zones_;
  std::vector<std::string> servers_;
  bool serversConfigured_ = false;
  std::string serversWhose_;  // "The configured DNS server ", ...
  std::uint32_t timeOutMs_ = 0;
  std::uint32_t startedAt_ = 0;
  std::uint32_t connectAt_ = 0;
  std::uint32_t greetedAt_ = 0;

  std::string mailHost_;
  std::vector<std::string> targets_;  // addresses of the mail host still to try
  std::string target_;                // the one being tried
  std::string source_;                // our source address for it, when one is set
  Phase phase_ = Phase::Idle;
  std::uint64_t awaited_ = 0;  // the SMTP request whose end counts
  std::string greeting_;       // its first line
  std::vector<std::string> greetingLines_;
  std::vector<std::string> heloLines_;
  std::vector<std::string> notes_;  // earlier attempts, for the SMTP row

  // The address we connect from, once the SMTP row is in (`settled_`);
  // `clientHow_` says where it came from.
  bool settled_ = false;
  std::string client_;
  std::string clientHow_;
  std::string clientUnusable_;  // why it is not looked up, when it is not
  std::string clientAdvice_;    // and what to do then

  bool heloLiteral_ = false;
  std::optional<HostAddresses> heloFound_;
  std::unique_ptr<Reverse> reverse_;
  std::vector<Listing> listings_;

  std::vector<std::optional<CheckRow>> slots_;
  std::size_t reported_ = 0;
  std::uint64_t generation_ = 0;  // counts stops: a row's callback may stop the check
  std::vector<CheckRow> rows_;
  std::shared_ptr<int> alive_ = std::make_shared<int>(0);  // guards posted notices
};

}  // namespace orvane::engine
