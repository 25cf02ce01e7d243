#include "cli/Validation.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <limits>
#include <map>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "cli/Commands.h"
#include "core/Verdict.h"
#include "engine/ConfigureEngine.h"
#include "engine/DnsServerList.h"
#include "engine/ExtractAddress.h"
#include "engine/ProjectRun.h"
#include "engine/ResourceLimits.h"
#include "engine/SmtpRelayServer.h"
#include "engine/Validation.h"
#include "net/EventLoop.h"
#include "net/Signals.h"
#include "settings/EngineOptions.h"
#include "settings/Ini.h"

namespace orvane::cli {

const char* const kValidateAbout =
    "The saved options (Tools | Options of the desktop program) apply; each\n"
    "option below overrides one of them for this run only.\n";

namespace {

constexpr std::int32_t kNoLimit = std::numeric_limits<std::int32_t>::max();
constexpr std::string_view kSaved = "as saved";

// One DNS server entry with a numeric host and a port 1..65535, read the way
// the engine reads it (parseDnsServerEntry). Texts the engine would read
// loosely ("192.0.2.1:" as port 53, "[::1]x", a bracketed IPv4 address) are
// refused, so what runs is what was typed.
bool isDnsServerEntry(std::string_view entry) {
  const engine::DnsServerAddress server = engine::parseDnsServerEntry(entry);
  unsigned char binary[sizeof(in6_addr)];
  const bool v6 = inet_pton(AF_INET6, server.host.c_str(), binary) == 1;
  const bool v4 = !v6 && inet_pton(AF_INET, server.host.c_str(), binary) == 1;
  const bool portOk = !wholeNumber("port", 1, 65535, [](std::int32_t) {})(server.port);
  if ((!v4 && !v6) || !portOk) return false;
  if (entry == server.host) return true;
  if (v4) return entry == server.host + ":" + server.port;
  const std::string bracketed = "[" + server.host + "]";
  return entry == bracketed || entry == bracketed + ":" + server.port;
}

// Checks a `--dns` value and stores its entries joined by single blanks (the
// engine would read a doubled blank as an empty entry).
std::optional<std::string> checkDnsServers(std::string_view text, ValidateOptions& options) {
  std::string joined;
  for (std::size_t i = 0, end = 0; i < text.size(); i = end) {
    if (static_cast<unsigned char>(text[i]) <= ' ') {
      end = i + 1;
      continue;
    }
    for (end = i; end < text.size() && static_cast<unsigned char>(text[end]) > ' ';) ++end;
    const std::string_view entry = text.substr(i, end - i);
    if (!isDnsServerEntry(entry)) {
      return "invalid DNS server '" + std::string(entry) + "' (an IP address, optionally :PORT)";
    }
    (joined += joined.empty() ? "" : " ") += entry;
  }
  if (joined.empty()) return std::string("option '--dns' needs a server");
  options.dns = std::move(joined);
  return std::nullopt;
}

// Stores a whole number into an optional setting.
OptionCheck number(std::string what, std::int32_t min, std::int32_t max,
                   std::optional<std::int32_t>& target) {
  return wholeNumber(std::move(what), min, max, [&target](std::int32_t n) { target = n; });
}

constexpr std::array kVerdicts = {Verdict::Valid, Verdict::Invalid, Verdict::CatchAll,
                                  Verdict::Unknown};

// What a run has reported: the records, the verdicts so far with the
// messages of the unknown results (in the order they first came), the
// addresses waiting for their greylisting retry, the progress line on a
// terminal and the closing summary.
class Report {
 public:
  using Total = std::function<std::optional<std::size_t>()>;  // nullopt: not known yet

  Report(const ValidateOptions& options, Total total)
      : writer_(options.format, options.log),
        total_(std::move(total)),
        terminal_(isatty(STDERR_FILENO) == 1),
        start_(std::chrono::steady_clock::now()) {}

  // The run has started: the csv header goes out (never for a run that fails).
  void started() { writer_.header(); }

  void record(std::size_t index, std::string_view address, const engine::AddressResult& result,
              const TransactionLog& log) {
    writer_.write(index, address, result, log);
    retrying_.erase(index);
    const Verdict verdict = knownVerdict(result);
    ++counts_[static_cast<std::size_t>(verdict)];
    if (verdict == Verdict::Unknown) {
      const auto [it, added] = causeIndex_.try_emplace(result.message, causes_.size());
      if (added) causes_.emplace_back(result.message, 0);
      ++causes_[it->second].second;
    }
    progress(false);
  }

  void waiting(std::size_t index) {
    retrying_.insert(index);
    progress(false);
  }

  // A mail host's connection limit changed: kept for the progress line while
  // it is lowered.
  void hostLimit(const engine::HostSlots::Change& change) {
    if (change.slow || change.coolDownMs > 0) {
      limits_[change.host] = change;
    } else {
      limits_.erase(change.host);
    }
    progress(true);
  }

  // The last progress line, then the counts and the three most common
  // messages of the unknown results, most frequent first (ties in the order
  // they first came).
  void finish() {
    if (terminal_) {
      progress(true);
      std::fputc('\n', stderr);
    }
    std::string out = "Verdicts: " + counts();
    std::vector<std::pair<std::string, std::size_t>> top = causes_;
    std::stable_sort(top.begin(), top.end(),
                     [](const auto& a, const auto& b) { return a.second > b.second; });
    for (std::size_t i = 0; i < top.size() && i < 3; ++i) {
      out += i == 0 ? "; unknown because: " : ", ";
      out += "\"" + top[i].first + "\" " + std::to_string(top[i].second);
    }
    std::fprintf(stderr, "%s\n", out.c_str());
  }

 private:
  // "valid V, invalid I, catch-all C, unknown U".
  std::string counts() const {
    std::string out;
    for (const Verdict v : kVerdicts) {
      (out += out.empty() ? "" : ", ").append(verdictName(v));
      out += ' ' + std::to_string(counts_[static_cast<std::size_t>(v)]);
    }
    return out;
  }

  // "D/T done" (or "D done" while the total is not known), the verdicts, the
  // addresses waiting for their retry, the rate and, with a total, the time left.
  void progress(bool force) {
    if (!terminal_) return;
    const auto now = std::chrono::steady_clock::now();
    if (!force && now - last_ < std::chrono::milliseconds(200)) return;
    last_ = now;
    std::size_t done = 0;
    for (const Verdict v : kVerdicts) done += counts_[static_cast<std::size_t>(v)];
    const double seconds = std::chrono::duration<double>(now - start_).count();
    const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0.0;
    const std::optional<std::size_t> total = total_();
    char tail[96];
    std::snprintf(tail, sizeof tail, ", %zu to retry, %.1f/s", retrying_.size(), rate);
    std::string line = "\r" + std::to_string(done) + (total ? "/" + std::to_string(*total) : "") +
                       " done, " + counts() + tail;
    // Hosts that throttle us: the limit now in force and why.
    std::size_t shown = 0;
    for (const auto& [host, change] : limits_) {
      if (shown++ == 2) {
        line += " ...";
        break;
      }
      line += ", " + host + " at " + std::to_string(change.limit) +
              (change.slow ? " (slow)"
                           : " for " + std::to_string((change.coolDownMs + 999) / 1000) + " s");
    }
    if (total) {
      char left[32] = "--:--:--";
      if (rate > 0 && done <= *total) {
        const auto s = static_cast<long>(static_cast<double>(*total - done) / rate);
        std::snprintf(left, sizeof left, "%ld:%02ld:%02ld", s / 3600, (s / 60) % 60, s % 60);
      }
      line += std::string(", ") + left + " left";
    }
    line += "   ";
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
  }

  RecordWriter writer_;
  Total total_;
  bool terminal_;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point last_{};
  std::array<std::size_t, 5> counts_{};  // by Verdict
  std::vector<std::pair<std::string, std::size_t>> causes_;
  std::unordered_map<std::string, std::size_t> causeIndex_;
  std::unordered_set<std::size_t> retrying_;
  std::map<std::string, engine::HostSlots::Change> limits_;
};

}  // namespace

bool settingsFor(const ValidateOptions& options, engine::EngineSettings& cfg) {
  try {
    settings::TINI ini;
    cfg = settings::readEngineSettings(ini);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return false;
  }
  if (options.from) cfg.from = *options.from;
  if (options.helo) cfg.heloOverride = *options.helo;
  if (options.dns) {
    cfg.primaryDns = *options.dns;
    cfg.secondaryDns.clear();
  }
  if (options.smtpPort) cfg.smtpPort = *options.smtpPort;
  cfg.connections = options.connections.value_or(cfg.connections);
  cfg.timeOut = options.timeOut.value_or(cfg.timeOut);
  cfg.greylistDelay = options.greylistDelay.value_or(cfg.greylistDelay);
  cfg.detectCatchAll = options.catchAll.value_or(cfg.detectCatchAll);
  cfg.perConnection = options.perConnection.value_or(cfg.perConnection);
  cfg.hostConnections = options.hostConnections.value_or(cfg.hostConnections);
  return true;
}

namespace {

// One warning when the open-file limit cannot hold the connections asked for.
void warnLowered(int asked, int used, std::uint64_t limit) {
  std::fprintf(
      stderr,
      "orvane-cli: %d connections need about %llu open files, but this process may "
      "open %llu; using %d connections\n",
      asked,
      static_cast<unsigned long long>(engine::descriptorsFor(static_cast<std::uint64_t>(asked))),
      static_cast<unsigned long long>(limit), used);
}

// Wires what both commands show of a run besides its results.
void reportRunNotes(engine::Validation& validation, Report& report) {
  validation.onConnectionsLowered = warnLowered;
  validation.onHostLimit = [&report](const engine::HostSlots::Change& change) {
    report.hostLimit(change);
  };
  validation.onConnectionTrouble = [](const std::string& note) {
    std::fprintf(stderr, "\norvane-cli: %s\n", note.c_str());
  };
}

}  // namespace

std::vector<Option> validateOptions(ValidateOptions& o) {
  return {
      {"from", 0, "ADDRESS", "sender given with MAIL FROM", kSaved, storeText(o.from)},
      {"helo", 0, "NAME", "HELO name (instead of the sender's domain)", kSaved, storeText(o.helo)},
      {"dns", 0, "SERVER[:PORT]",
       "DNS server to ask: an IP address (port 53 unless\n"
       "given); several, blank-separated, in one quoted\nvalue",
       kSaved, [&o](std::string_view v) { return checkDnsServers(v, o); }},
      {"smtp-port", 0, "PORT", "port of the mail servers", "25",
       [&o](std::string_view v) {
         return wholeNumber("port", 1, 65535,
                            [&](std::int32_t) { o.smtpPort = std::string(v); })(v);
       }},
      {"connections", 0, "N", "sessions at once", kSaved,
       number("number of connections", 1, kNoLimit, o.connections)},
      {"timeout", 0, "SECONDS", "allowed silence of a session", kSaved,
       number("time-out", 1, kNoLimit, o.timeOut)},
      {"greylist-delay", 0, "SECONDS",
       "wait before trying an address refused for now\n(4xx) once more; 0 turns the retry off",
       kSaved, number("greylisting delay", 0, kNoLimit, o.greylistDelay)},
      {"catch-all", 0, "on|off", "detect domains that accept any address", kSaved,
       oneOf("catch-all detection", {"on", "off"}, [&o](std::size_t i) { o.catchAll = i == 0; })},
      {"per-connection", 0, "N",
       "addresses of one domain asked about on one\nconnection (1: a dialogue per address)", kSaved,
       number("addresses per connection", 1, 100, o.perConnection)},
      {"host-connections", 0, "N", "connections open at once to one mail host\n(0: no limit)",
       kSaved, number("connections per host", 0, kNoLimit, o.hostConnections)},
      {"format", 0, "text|csv|jsonl", "output format", "text",
       oneOf("format", {"text", "csv", "jsonl"},
             [&o](std::size_t i) { o.format = static_cast<OutputFormat>(i); })},
      {"log", 0, "", "include each address's transaction log", "", setFlag(o.log)},
  };
}

int validateList(RecipientList& list, const ValidateOptions& options, bool& ran,
                 const std::function<void()>& checkpoint, std::uint64_t checkpointMs) {
  ran = false;
  engine::EngineSettings cfg;
  if (!settingsFor(options, cfg)) return kExitFailed;
  net::EventLoop loop;
  engine::ProjectRun run(loop, list);
  std::size_t total = 0;
  for (const auto& e : list.entries()) total += e.checkState == 1 ? 1 : 0;
  Report report(options, [total] { return total; });
  bool finished = false;
  reportRunNotes(run.validation(), report);
  run.onEntryEnded = [&](std::size_t entry, const engine::ValidationResult& result) {
    // The record is about the text the user gave, not the address cut out of it.
    report.record(entry, result.given, result.result, result.log);
  };
  run.onEntryWaiting = [&](std::size_t entry, const std::string&) { report.waiting(entry); };
  run.onRunFinished = [&](bool) {
    finished = true;
    loop.stop();
  };
  net::SignalWatch stopSignals(loop, net::kStopSignals, [&](int) {
    if (run.running()) run.stop();
  });
  try {
    run.Start(cfg);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return kExitFailed;
  }
  ran = true;
  report.started();
  net::Timer checkpoints(loop);
  if (checkpoint && checkpointMs > 0) checkpoints.start(checkpointMs, checkpointMs, checkpoint);
  while (!finished) loop.run();
  checkpoints.stop();
  report.finish();
  return kExitOk;
}

int validateInput(AddressInput& input, const ValidateOptions& options) {
  engine::EngineSettings cfg;
  if (!settingsFor(options, cfg)) return kExitFailed;
  net::EventLoop loop;
  engine::Validation validation(loop);
  Report report(options, [&input] { return input.total(); });
  reportRunNotes(validation, report);
  std::int64_t read = 0;
  bool stopped = false;
  bool waiting = false;
  // One run however the input trickles in: when nothing is at hand, the run
  // keeps what it knows and goes on once more has come (or the input ended).
  const auto source = [&](engine::FeedLine& line) {
    if (stopped) return engine::SourceAnswer::End;
    if (input.next(line.given)) {
      line.tag = read++;
      return engine::SourceAnswer::Address;
    }
    if (input.ended()) return engine::SourceAnswer::End;
    if (!waiting) {
      waiting = true;
      input.whenReady(loop, [&] {
        waiting = false;
        validation.more();
      });
    }
    return engine::SourceAnswer::NoneYet;
  };
  validation.onResult = [&](engine::ValidationResult& result) {
    report.record(static_cast<std::size_t>(result.tag), result.given, result.result, result.log);
  };
  validation.onWaiting = [&](std::int64_t tag, std::uint64_t) {
    report.waiting(static_cast<std::size_t>(tag));
  };
  bool done = false;
  validation.onFinished = [&](bool) {
    done = true;
    loop.stop();
  };
  net::SignalWatch stopSignals(loop, net::kStopSignals, [&](int) {
    stopped = true;
    validation.stop();
    // A run waiting for its input learns that it has ended.
    validation.more();
  });
  try {
    validation.start(cfg, source);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return kExitFailed;
  }
  report.started();
  while (!done) loop.run();
  input.stopWaiting();
  if (read == 0 && !stopped) {
    if (!input.failed()) std::fprintf(stderr, "%s\n", std::string(engine::kNothingToCheck).c_str());
    return kExitFailed;
  }
  report.finish();
  return input.failed() ? kExitFailed : kExitOk;
}

}  // namespace orvane::cli
