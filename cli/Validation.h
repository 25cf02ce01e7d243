// The part `check` and `run` share: their options, the run with the engine
// (over a project's list, or over addresses as they come), the records on
// standard output, the progress line (on a terminal) and the closing summary
// on standard error, and the signals that stop a run: Ctrl-C, SIGTERM and
// SIGHUP stop it like the Stop command, so that the results in hand are
// reported and kept. `doctor` takes the options that say how we connect.
//
// Main thread; a run drives the event loop there until it ends.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "cli/AddressInput.h"
#include "cli/Options.h"
#include "cli/Records.h"
#include "core/RecipientList.h"
#include "engine/Proxy.h"

namespace orvane::engine {
struct EngineSettings;
}

namespace orvane::cli {

// What the options change for one run; unset: the saved option.
struct ValidateOptions {
  std::optional<std::string> from;
  std::optional<std::string> helo;
  std::optional<std::string> dns;  // checked servers, joined by single blanks
  std::optional<std::string> smtpPort;
  std::optional<std::int32_t> connections;
  std::optional<std::int32_t> timeOut;
  std::optional<std::int32_t> greylistDelay;  // seconds; 0: no retry
  std::optional<bool> catchAll;
  std::optional<std::int32_t> perConnection;
  std::optional<std::int32_t> hostConnections;
  std::optional<bool> ipv6;
  std::optional<engine::ProxySettings> proxy;  // host empty: none
  std::optional<std::vector<std::string>> sourceAddresses;
  // Only the addresses whose domain falls into shard K of N (1-based).
  std::optional<std::pair<std::uint64_t, std::uint64_t>> shard;
  OutputFormat format = OutputFormat::Text;
  bool log = false;
};

// The shard (1..n) of `domain`'s addresses among `n` shards: the 64-bit
// FNV-1a hash (core/Text.h stableHash) of the domain in ASCII form and lower
// case, modulo n, plus 1. The same on every machine and in every version.
std::uint64_t shardOf(std::string_view domain, std::uint64_t n);
// The shard of an entry's text: that of the domain of the address cut out of
// it ("" when it holds none).
std::uint64_t shardOfEntry(std::string_view text, std::uint64_t n);

// What both commands say of themselves before their options.
extern const char* const kValidateAbout;

// The options both commands take, stored into `options`. A `--dns` value is
// one or more blank-separated servers, each "IPv4", "IPv4:PORT",
// "[IPv6]:PORT", "[IPv6]" or a bare IPv6 address, PORT 1..65535; anything
// else (a host name among them) is refused.
std::vector<Option> validateOptions(ValidateOptions& options);

// The saved options with `options` laid over them. False (message printed on
// standard error) when the saved options cannot be read.
bool settingsFor(const ValidateOptions& options, engine::EngineSettings& cfg);

// Validates the checked entries of `list` as Start Validation does, with the
// saved options overridden by `options`. Returns kExitOk when the run
// finished (also when a signal stopped it), kExitFailed when it could not
// start (message on standard error). `ran` is set when the run started (the
// list then holds its results). `checkpoint`, when given, runs every
// `checkpointMs` while the run lasts.
int validateList(RecipientList& list, const ValidateOptions& options, bool& ran,
                 const std::function<void()>& checkpoint = {}, std::uint64_t checkpointMs = 0);

// Validates the addresses of `input` as they come; nothing of an address is
// kept once its record is written. When the input has nothing at hand yet,
// the addresses in hand are finished and the run goes on once more arrive.
// An input that ends without any address fails with "Nothing to check".
// Returns as validateList does; kExitFailed too when the input could not be
// read to its end.
// `out` receives the records (standard output by default); `skip`, when
// given, says which addresses (by their number in the input) are answered
// already and are passed over without traffic.
int validateInput(AddressInput& input, const ValidateOptions& options, std::FILE* out = stdout,
                  const std::function<bool(std::size_t index, const std::string& text)>& skip = {});

}  // namespace orvane::cli
