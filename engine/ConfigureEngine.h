// Copying the saved options into a scheduler before a run: sender, DNS
// servers, HELO name, connections and time-out.
//
// Event-loop thread (the settings store and the scheduler live there).
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "core/AddressFlags.h"
#include "engine/Proxy.h"

namespace orvane::engine {

class TSmtpRelayServer;

inline constexpr std::string_view kNoFromAddress =
    "Please provide a valid e-mail address for the FROM field (Tools | Options)";

// A run that cannot start: the message is the one the user sees.
class RunStartError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The options a run is configured from, as the settings store holds them
// (numbers already read as whole numbers; settings/EngineOptions.h reads
// them). The command line overrides fields of a copy for one run.
struct EngineSettings {
  std::string from;  // as typed; the address is cut out of it
  std::string host;  // HELO name when hostFromDomain is not 1
  std::string primaryDns;
  std::string secondaryDns;
  std::int32_t hostFromDomain = 1;
  std::int32_t connections = 200;
  std::int32_t timeOut = 30;  // seconds
  // An address whose RCPT TO got a 4xx reply is tried once more after this
  // many seconds (0: never).
  std::int32_t greylistDelay = 300;
  // One extra RCPT TO with a made-up address per domain and run tells a
  // domain that accepts any address.
  bool detectCatchAll = true;
  // Addresses of one domain asked about on one connection (1: one dialogue
  // per address), and connections open at once to one mail host (0: no limit).
  std::int32_t perConnection = 10;
  std::int32_t hostConnections = 20;
  // Mail hosts reached over IPv6 where they have AAAA records.
  bool useIpv6 = true;
  // SMTP connections through a SOCKS 5 proxy (none when its host is empty).
  ProxySettings proxy;
  // Local addresses SMTP connections leave from (empty: the system's choice).
  std::vector<std::string> sourceAddresses;
  // The flags computed beside each verdict.
  AddressFlags flags = AddressFlags::all();
  // Not saved options: a HELO name that wins over both rules above when not
  // empty, and the SMTP port (empty: keep the scheduler's).
  std::string heloOverride;
  std::string smtpPort;
};

// Why `from` (as typed in the options) cannot be our sender, or "" when it
// can: no address in it, a mailbox name with non-ASCII letters (MAIL FROM
// would need SMTPUTF8), or a malformed address.
std::string senderProblem(std::string_view from);

// Configures `server` from `settings`:
//   From := ExtractAddress(from); Dns := primary + " " + secondary, trimmed;
//   Signon := the part of From after its "@" (at most 255 characters) when
//   hostFromDomain is 1, else host; then, when From is empty, throws
//   RunStartError(kNoFromAddress) with the queue untouched, and when From
//   cannot be sent as it is (see senderProblem), RunStartError with that
//   reason; otherwise empties the queue and sets Connections, TimeOut, the
//   greylisting delay, catch-all detection, addresses per connection,
//   connections per host, IPv6, the proxy and the source addresses. A sender domain with
//   non-ASCII letters goes out in its ASCII form (MAIL FROM and HELO).
// The guarded setters throw TSmtpRelayServerException("Component is busy")
// during a run of `server`.
void ConfigureEngine(TSmtpRelayServer& server, const EngineSettings& settings);

}  // namespace orvane::engine
