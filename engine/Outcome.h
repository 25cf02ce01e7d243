// How one address's validation ended, and what that means: the session
// records the outcome (result code, the step it ended at, the server's reply
// there, what DNS said), and Classify turns it into the verdict a list cleaner
// acts on and the message the user reads ("[code] message").
//
// The result codes and the classic messages stay wherever they are right;
// where the classic message would mislead (our sender refused at RCPT TO read
// as "Mailbox unavailable", a DNS failure as "Invalid Domain Name", a silent
// DNS server as the recipient's SMTP time-out) the message names the real
// cause. Every message Classify gives derives back to the same verdict
// through verdictOfResultText (core/Verdict.h), so stored projects keep their
// verdicts.
//
// Pure functions and plain values; any thread.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/AddressFlags.h"
#include "core/RecipientList.h"
#include "core/TypoSuggest.h"
#include "core/Verdict.h"

namespace orvane::engine {

// The result code of an address the session did not send to any server (a
// local part with non-ASCII letters, which needs SMTPUTF8): verdict unknown.
inline constexpr std::int32_t kResultNotChecked = -9;

// Where the address's last attempt ended.
enum class Step : std::uint8_t {
  Syntax,    // refused before any traffic: not an address
  Dns,       // asking for the mail exchangers
  Connect,   // connection, greeting and HELO
  MailFrom,  // our sender
  RcptTo,    // the address itself
  Closing,   // RSET and QUIT after the answer
};

// What DNS said about the address's domain.
enum class DnsOutcome : std::uint8_t {
  Answered,       // mail hosts (or the domain itself) to try
  NoSuchDomain,   // NXDOMAIN
  NullMx,         // the domain accepts no mail
  ServerFailure,  // SERVFAIL
  ServerRefused,  // REFUSED
  OtherError,     // another error code from the server
  Unreachable,    // the server's port is closed (ICMP port unreachable)
  Malformed,      // an answer that could not be read
  NoAnswer,       // silence until the time-out
  NotSent,        // the query could not be sent
};

struct Outcome {
  std::int32_t code = 0;
  Step step = Step::RcptTo;
  std::string reply;  // the server's reply line at that step ("" when none)
  DnsOutcome dns = DnsOutcome::Answered;
  int dnsCode = 0;        // the server's error code for OtherError
  std::string dnsServer;  // the server that was asked
  std::string detail;     // why, for Syntax, NotSent and kResultNotChecked
  bool catchAll = false;  // accepted, and the domain accepts any address
  bool proxy = false;     // the SOCKS proxy ended it; `reply` is its message
};

struct Classification {
  Verdict verdict = Verdict::Unknown;
  std::string message;
  // The address is unknown for a cause that usually lies with this machine
  // rather than the recipient: our connections time out or are refused, or a
  // server refuses us (at the greeting, HELO or MAIL FROM, or by policy).
  bool ourSide = false;
};

Classification classify(const Outcome& outcome);

// The enhanced status code (RFC 3463) after a reply's three-digit code, as
// {class, subject, detail}; none when the reply does not carry one.
std::optional<std::array<int, 3>> enhancedStatusCode(std::string_view replyLine);

// True for the socket errors of a connection that did not get through: the
// network or host unreachable or down, a time-out, a refusal.
bool connectionFailed(std::int32_t code) noexcept;

// True when a reply's text names a block of our sender, client or IP address
// (policy, spam, block lists, relaying, access denied) rather than the
// recipient.
bool namesPolicyBlock(std::string_view replyLine);

// A validation's result as the owner of a run receives it.
struct AddressResult {
  std::int32_t code = 0;
  Verdict verdict = Verdict::Unknown;
  std::string message;   // "[code] message" is the entry's result text
  bool ourSide = false;  // see Classification
  // What DNS said of the address's domain (for typo suggestions).
  DomainDns domainDns = DomainDns::Unknown;
};

// One address's result with everything its owner needs to file it.
struct ValidationResult {
  int index = -1;        // in the order the addresses were read, from 0
  std::int64_t tag = 0;  // the owner's
  std::string given;     // the entry's text as the owner gave it
  std::string checked;   // the address that was checked (domain in ASCII form)
  AddressResult result;
  TransactionLog log;
  // Beside the verdict, never changing it: the address's flags and a likely
  // correction of a mistyped domain ("" for none); filled by the facade.
  AddressFlags flags;
  std::string suggestion;
};

}  // namespace orvane::engine
