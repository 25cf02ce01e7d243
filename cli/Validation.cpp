#include "cli/Validation.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <iterator>
#include <limits>
#include <map>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "cli/Commands.h"
#include "core/AddressFlags.h"
#include "core/RunReport.h"
#include "core/Text.h"
#include "core/Verdict.h"
#include "engine/AddressSyntax.h"
#include "engine/ConfigureEngine.h"
#include "engine/DnsServerList.h"
#include "engine/ExtractAddress.h"
#include "engine/ProjectRun.h"
#include "engine/ResourceLimits.h"
#include "engine/SmtpRelayServer.h"
#include "engine/Validation.h"
#include "net/EventLoop.h"
#include "net/Signals.h"
#include "net/SocketAddress.h"
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
    const auto colon = entry.rfind(':');
    if (!isDnsServerEntry(entry) && colon != std::string_view::npos && entry.front() != '[' &&
        net::SocketAddress::parse(entry.substr(0, colon)) &&
        entry.substr(0, colon).find(':') != std::string_view::npos) {
      return "invalid DNS server '" + std::string(entry) +
             "' (an IPv6 address with a port is written [ADDRESS]:PORT)";
    }
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

  Report(const ValidateOptions& options, Total total, std::FILE* out = stdout)
      : writer_(options.format, options.log, out),
        total_(std::move(total)),
        terminal_(isatty(STDERR_FILENO) == 1),
        start_(std::chrono::steady_clock::now()) {}

  // The run has started: the csv header goes out (never for a run that fails).
  void started() { writer_.header(); }

  void record(std::size_t index, const engine::ValidationResult& r) {
    if (!writer_.write(index, r) && !writeFailed_) {
      writeFailed_ = true;
      std::perror("orvane-cli: cannot write the results");
    }
    retrying_.erase(index);
    const engine::AddressResult& result = r.result;
    const Verdict verdict = knownVerdict(result);
    ++counts_[static_cast<std::size_t>(verdict)];
    for (std::size_t f = 0; f < std::size(kAddressFlags); ++f) {
      if (r.flags.has(kAddressFlags[f])) ++flagCounts_[f];
    }
    if (!r.suggestion.empty()) ++suggestions_;
    runReport_.add(verdict, result.message, r.checked.empty() ? r.given : r.checked);
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
  bool writeFailed() const noexcept { return writeFailed_; }

  void finish() {
    if (terminal_) {
      progress(true);
      std::fputc('\n', stderr);
    }
    std::string out = "Verdicts: " + counts();
    // The flags beside the verdicts, when any address had one.
    std::string flagged;
    for (std::size_t f = 0; f < std::size(kAddressFlags); ++f) {
      if (flagCounts_[f] == 0) continue;
      (flagged += flagged.empty() ? "; flagged: " : ", ").append(flagName(kAddressFlags[f]));
      flagged += ' ' + std::to_string(flagCounts_[f]);
    }
    if (suggestions_ > 0) flagged += "; suggestions " + std::to_string(suggestions_);
    out += flagged;
    std::vector<std::pair<std::string, std::size_t>> top = causes_;
    std::stable_sort(top.begin(), top.end(),
                     [](const auto& a, const auto& b) { return a.second > b.second; });
    for (std::size_t i = 0; i < top.size() && i < 3; ++i) {
      out += i == 0 ? "; unknown because: " : ", ";
      out += "\"" + top[i].first + "\" " + std::to_string(top[i].second);
    }
    std::fprintf(stderr, "%s\n", out.c_str());
    // The run report: shares, pace, the most common causes, the domains.
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    runReport_.setTiming(seconds, runReport_.results());
    std::fputs(formatRunReport(runReport_).c_str(), stderr);
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
  std::array<std::size_t, std::size(kAddressFlags)> flagCounts_{};
  std::size_t suggestions_ = 0;
  RunReport runReport_;
  bool writeFailed_ = false;
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
  cfg.useIpv6 = options.ipv6.value_or(cfg.useIpv6);
  if (options.proxy) cfg.proxy = *options.proxy;
  if (options.sourceAddresses) cfg.sourceAddresses = *options.sourceAddresses;
  return true;
}

namespace {

// The address lists for the run's flags; a missing or damaged list says so
// once and the run goes on without its flag.
AddressInsight loadInsight(const engine::EngineSettings& cfg) {
  AddressInsight insight = settings::loadAddressInsight(cfg.flags);
  if (!insight.message().empty()) std::fprintf(stderr, "%s\n", insight.message().c_str());
  return insight;
}

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

// "IP[,IP...]": each an address of this machine (a socket can be bound to it).
std::optional<std::string> checkSources(std::string_view text, ValidateOptions& options) {
  std::vector<std::string> sources;
  for (std::size_t start = 0;;) {
    const std::size_t comma = text.find(',', start);
    const std::string item(trimBlanks(text.substr(start, comma - start)));
    const auto address = net::SocketAddress::parse(item);
    if (!address || item.front() == '[') {
      return "invalid source address '" + item + "' (an IP address)";
    }
    const int fd = ::socket(address->family(), SOCK_STREAM, 0);
    const bool bound = fd >= 0 && ::bind(fd, address->data(), address->size()) == 0;
    if (fd >= 0) ::close(fd);
    if (!bound) return "source address '" + item + "' is not an address of this machine";
    sources.push_back(item);
    if (comma == std::string_view::npos) break;
    start = comma + 1;
  }
  options.sourceAddresses = std::move(sources);
  return std::nullopt;
}

// "K/N" with 1 <= K <= N.
std::optional<std::string> checkShard(std::string_view text, ValidateOptions& options) {
  const auto slash = text.find('/');
  std::uint64_t k = 0, n = 0;
  const auto number = [](std::string_view part, std::uint64_t& value) {
    const auto [end, ec] = std::from_chars(part.data(), part.data() + part.size(), value);
    return !part.empty() && ec == std::errc() && end == part.data() + part.size();
  };
  if (slash == std::string_view::npos || !number(text.substr(0, slash), k) ||
      !number(text.substr(slash + 1), n) || k < 1 || k > n) {
    return "invalid shard '" + std::string(text) + "' (K/N with 1 <= K <= N)";
  }
  options.shard = std::make_pair(k, n);
  return std::nullopt;
}

}  // namespace

std::uint64_t shardOf(std::string_view domain, std::uint64_t n) {
  std::string lower(domain);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return stableHash(lower) % n + 1;
}

std::uint64_t shardOfEntry(std::string_view text, std::uint64_t n) {
  const engine::PreparedAddress prepared = engine::prepareAddress(engine::ExtractAddress(text));
  return shardOf(prepared.status == engine::PreparedAddress::Status::Ready ? prepared.domain : "",
                 n);
}

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
      {"ipv6", 0, "on|off", "reach mail hosts over IPv6 where they have it", kSaved,
       oneOf("IPv6", {"on", "off"}, [&o](std::size_t i) { o.ipv6 = i == 0; })},
      {"proxy", 0, "URL",
       "SMTP connections through a SOCKS 5 proxy:\nsocks5://[USER:PASS@]HOST:PORT, or none\n"
       "(DNS stays direct)",
       kSaved,
       [&o](std::string_view v) -> std::optional<std::string> {
         std::string why;
         o.proxy = engine::parseProxyUrl(v, why);
         if (o.proxy) return std::nullopt;
         return "invalid proxy '" + std::string(v) + "' (" + why + ")";
       }},
      {"source-address", 0, "IP[,IP...]",
       "local addresses SMTP connections leave from;\neach mail host always sees the same one",
       kSaved, [&o](std::string_view v) { return checkSources(v, o); }},
      {"shard", 0, "K/N",
       "only the addresses whose domain is in shard K\nof N (shards of one list are disjoint and\n"
       "together the whole list)",
       "all", [&o](std::string_view v) { return checkShard(v, o); }},
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
  const AddressInsight insight = loadInsight(cfg);
  net::EventLoop loop;
  engine::ProjectRun run(loop, list);
  run.validation().setInsight(&insight);
  if (options.shard) {
    const auto [k, n] = *options.shard;
    run.entryFilter = [k, n](const Entry& e) { return shardOfEntry(e.email(), n) == k; };
  }
  std::size_t total = 0;
  for (const auto& e : list.entries()) {
    total += e.checkState == 1 && (!run.entryFilter || run.entryFilter(e)) ? 1 : 0;
  }
  Report report(options, [total] { return total; });
  bool finished = false;
  reportRunNotes(run.validation(), report);
  run.onEntryEnded = [&](std::size_t entry, const engine::ValidationResult& result) {
    // The record is about the text the user gave, not the address cut out of it.
    report.record(entry, result);
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
  return report.writeFailed() ? kExitFailed : kExitOk;
}

int validateInput(AddressInput& input, const ValidateOptions& options, std::FILE* out,
                  const std::function<bool(std::size_t index, const std::string& text)>& skip) {
  engine::EngineSettings cfg;
  if (!settingsFor(options, cfg)) return kExitFailed;
  const AddressInsight insight = loadInsight(cfg);
  net::EventLoop loop;
  engine::Validation validation(loop);
  validation.setInsight(&insight);
  Report report(
      options, [&input] { return input.total(); }, out);
  reportRunNotes(validation, report);
  std::int64_t read = 0;
  bool stopped = false;
  bool waiting = false;
  // One run however the input trickles in: when nothing is at hand, the run
  // keeps what it knows and goes on once more has come (or the input ended).
  // Addresses of other shards, or answered already, are passed over.
  const auto source = [&](engine::FeedLine& line) {
    while (!stopped) {
      if (!input.next(line.given)) break;
      const std::int64_t index = read++;
      if (options.shard &&
          shardOfEntry(line.given, options.shard->second) != options.shard->first) {
        continue;
      }
      if (skip && skip(static_cast<std::size_t>(index), line.given)) continue;
      line.tag = index;
      return engine::SourceAnswer::Address;
    }
    if (stopped || input.ended()) return engine::SourceAnswer::End;
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
    report.record(static_cast<std::size_t>(result.tag), result);
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
  // A shard or a resumed list may well have nothing left to do.
  if (read == 0 && !stopped) {
    if (!input.failed()) std::fprintf(stderr, "%s\n", std::string(engine::kNothingToCheck).c_str());
    return kExitFailed;
  }
  report.finish();
  return input.failed() || report.writeFailed() ? kExitFailed : kExitOk;
}

}  // namespace orvane::cli
