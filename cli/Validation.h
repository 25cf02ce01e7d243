// The part `check` and `run` share: their options, the run on a recipient
// list with the engine, the result records on standard output (each with its
// verdict), the progress line and the closing summary on standard error, and
// Ctrl-C.
//
// Main thread; the run drives the event loop there until the run finishes.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/RecipientList.h"

namespace orvane::cli {

enum class OutputFormat { Text, Csv, Jsonl };

struct ValidateOptions {
  std::optional<std::string> from;
  std::optional<std::string> helo;
  std::optional<std::string> dns;  // checked entries, joined by single blanks
  std::optional<std::string> smtpPort;
  std::optional<std::int32_t> connections;
  std::optional<std::int32_t> timeOut;
  std::optional<std::int32_t> greylistDelay;  // seconds; 0: no retry
  std::optional<bool> catchAll;
  std::optional<std::int32_t> perConnection;
  std::optional<std::int32_t> hostConnections;
  std::optional<std::string> listFile;  // `check --list FILE`
  std::optional<double> saveEvery;      // `run --save-every SECONDS`
  OutputFormat format = OutputFormat::Text;
  bool log = false;
  bool help = false;
  std::vector<std::string> operands;
};

enum class ValidateCommand { Check, Run };

// Parses the shared options ("--name VALUE" or "--name=VALUE"); `--list` only
// for check, `--save-every` only for run. Returns an error text for a usage
// error, else nullopt.
// A `--dns` value is one or more blank-separated servers, each "IPv4",
// "IPv4:PORT", "[IPv6]:PORT", "[IPv6]" or a bare IPv6 address, PORT 1..65535;
// anything else (a host name among them) is a usage error.
std::optional<std::string> ParseValidateOptions(std::span<char* const> args,
                                                ValidateCommand command, ValidateOptions& options);

// The options' help text (for both commands).
extern const char* const kValidateOptionsHelp;

// Validates the checked entries of `list` as Start Validation does, with the
// saved options overridden by `options`, printing one record per result as it
// arrives. Returns kExitOk when the run finished (also when Ctrl-C stopped
// it), kExitFailed when it could not start (message on standard error).
// `ran` is set when the run started (the list then holds its results).
// `checkpoint`, when given, runs every `checkpointMs` while the run lasts.
int ValidateList(RecipientList& list, const ValidateOptions& options, bool& ran,
                 const std::function<void()>& checkpoint = {}, std::uint64_t checkpointMs = 0);

// Validates the addresses `next` hands out (one text per call; false when
// none is left) as they come, printing one record per result; nothing of an
// address is kept once its record is written. `total` is for the progress
// line (0: unknown). Returns as ValidateList does.
int ValidateSource(const std::function<bool(std::string&)>& next, std::size_t total,
                   const ValidateOptions& options);

// Output helpers (exposed for reuse).
std::string JsonString(std::string_view text);
std::string CsvField(std::string_view text);

}  // namespace orvane::cli
