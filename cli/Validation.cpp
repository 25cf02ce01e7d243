#include "cli/Validation.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include <uv.h>

#include "cli/Commands.h"
#include "core/Verdict.h"
#include "engine/ConfigureEngine.h"
#include "engine/DnsServerList.h"
#include "engine/ExtractAddress.h"
#include "engine/Outcome.h"
#include "engine/ProjectRun.h"
#include "engine/ResourceLimits.h"
#include "engine/SmtpRelayServer.h"
#include "net/EventLoop.h"
#include "settings/EngineOptions.h"
#include "settings/Ini.h"

namespace orvane::cli {

const char* const kValidateOptionsHelp =
    "Options (each overrides the saved option for this run only):\n"
    "  --from ADDRESS        sender given with MAIL FROM\n"
    "  --helo NAME           HELO name (instead of the sender's domain)\n"
    "  --dns SERVER[:PORT]   DNS server to ask: an IP address (default port 53);\n"
    "                        several, blank-separated, in one quoted value\n"
    "  --smtp-port PORT      port of the mail servers (default 25)\n"
    "  --connections N       sessions at once\n"
    "  --timeout SECONDS     allowed silence of a session\n"
    "  --greylist-delay SECONDS  wait before trying an address refused for now\n"
    "                        (4xx) once more; 0 turns the retry off\n"
    "  --catch-all on|off    detect domains that accept any address\n"
    "  --per-connection N    addresses of one domain asked about on one connection\n"
    "                        (1..100; 1: a dialogue per address)\n"
    "  --host-connections N  connections open at once to one mail host (0: no limit)\n"
    "  --format text|csv|jsonl   output format (default text)\n"
    "  --log                 include each address's transaction log\n"
    "  --help                this text\n";

namespace {

// A whole number written in decimal digits only.
bool ParseWhole(std::string_view text, std::int32_t& value) {
  if (text.empty() || text.front() < '0' || text.front() > '9') return false;
  std::int32_t v = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || end != text.data() + text.size()) return false;
  value = v;
  return true;
}

bool ParsePositive(std::string_view text, std::int32_t& value) {
  std::int32_t v = 0;
  if (!ParseWhole(text, v) || v <= 0) return false;
  value = v;
  return true;
}

// One DNS server entry with a numeric host and a port 1..65535, read the way
// the engine reads it (ParseDnsServerEntry). Texts the engine would read
// loosely ("192.0.2.1:" as port 53, "[::1]x", a bracketed IPv4 address) are
// refused, so what runs is what was typed.
bool IsDnsServerEntry(std::string_view entry) {
  const engine::DnsServerAddress server = engine::ParseDnsServerEntry(entry);
  unsigned char binary[sizeof(in6_addr)];
  const bool v6 = inet_pton(AF_INET6, server.host.c_str(), binary) == 1;
  const bool v4 = !v6 && inet_pton(AF_INET, server.host.c_str(), binary) == 1;
  std::int32_t port = 0;
  if ((!v4 && !v6) || !ParsePositive(server.port, port) || port > 65535) return false;
  if (entry == server.host) return true;
  if (v4) return entry == server.host + ":" + server.port;
  const std::string bracketed = "[" + server.host + "]";
  return entry == bracketed || entry == bracketed + ":" + server.port;
}

// Checks a `--dns` value and gives its entries joined by single blanks (the
// engine would read a doubled blank as an empty entry).
std::optional<std::string> ParseDnsServers(std::string_view text, std::string& joined) {
  joined.clear();
  std::size_t i = 0;
  while (i < text.size()) {
    if (static_cast<unsigned char>(text[i]) <= ' ') {
      ++i;
      continue;
    }
    std::size_t end = i;
    while (end < text.size() && static_cast<unsigned char>(text[end]) > ' ') ++end;
    const std::string_view entry = text.substr(i, end - i);
    if (!IsDnsServerEntry(entry)) {
      return "invalid DNS server '" + std::string(entry) + "' (an IP address, optionally :PORT)";
    }
    if (!joined.empty()) joined += ' ';
    joined.append(entry);
    i = end;
  }
  if (joined.empty()) return std::string("option '--dns' needs a server");
  return std::nullopt;
}

}  // namespace

std::optional<std::string> ParseValidateOptions(std::span<char* const> args,
                                                ValidateCommand command, ValidateOptions& options) {
  const bool allowList = command == ValidateCommand::Check;
  bool operandsOnly = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string_view arg = args[i];
    if (operandsOnly || arg.size() < 2 || arg.substr(0, 2) != "--") {
      if (!operandsOnly && arg.size() > 1 && arg[0] == '-' && arg != "-h") {
        return "unknown option '" + std::string(arg) + "'";
      }
      if (arg == "-h") {
        options.help = true;
        continue;
      }
      options.operands.emplace_back(arg);
      continue;
    }
    if (arg == "--") {
      operandsOnly = true;
      continue;
    }
    std::string name(arg);
    std::optional<std::string> value;
    if (const auto eq = name.find('='); eq != std::string::npos) {
      value = name.substr(eq + 1);
      name.resize(eq);
    }
    auto takeValue = [&]() -> std::optional<std::string> {
      if (value) return value;
      if (i + 1 >= args.size()) return std::nullopt;
      return std::string(args[++i]);
    };
    auto noValue = [&]() { return !value.has_value(); };
    if (name == "--help") {
      options.help = true;
    } else if (name == "--log") {
      if (!noValue()) return "option '--log' takes no value";
      options.log = true;
    } else {
      const bool known = name == "--from" || name == "--helo" || name == "--dns" ||
                         name == "--smtp-port" || name == "--connections" || name == "--timeout" ||
                         name == "--greylist-delay" || name == "--catch-all" ||
                         name == "--per-connection" || name == "--host-connections" ||
                         name == "--format" || (allowList && name == "--list") ||
                         (!allowList && name == "--save-every");
      if (!known) return "unknown option '" + name + "'";
      const auto v = takeValue();
      if (!v) return "option '" + name + "' needs a value";
      if (name == "--from") {
        options.from = *v;
      } else if (name == "--helo") {
        options.helo = *v;
      } else if (name == "--dns") {
        std::string servers;
        if (auto error = ParseDnsServers(*v, servers)) return error;
        options.dns = std::move(servers);
      } else if (name == "--smtp-port") {
        std::int32_t port = 0;
        if (!ParsePositive(*v, port) || port > 65535) return "invalid port '" + *v + "'";
        options.smtpPort = *v;
      } else if (name == "--connections") {
        std::int32_t n = 0;
        if (!ParsePositive(*v, n)) return "invalid number of connections '" + *v + "'";
        options.connections = n;
      } else if (name == "--timeout") {
        std::int32_t n = 0;
        if (!ParsePositive(*v, n)) return "invalid time-out '" + *v + "'";
        options.timeOut = n;
      } else if (name == "--per-connection") {
        std::int32_t n = 0;
        if (!ParsePositive(*v, n) || n > 100)
          return "invalid addresses per connection '" + *v + "'";
        options.perConnection = n;
      } else if (name == "--host-connections") {
        std::int32_t n = 0;
        if (!ParseWhole(*v, n)) return "invalid connections per host '" + *v + "'";
        options.hostConnections = n;
      } else if (name == "--save-every") {
        char* end = nullptr;
        const double seconds = std::strtod(v->c_str(), &end);
        if (v->empty() || end != v->c_str() + v->size() || !(seconds > 0) || seconds > 86400) {
          return "invalid interval '" + *v + "' (seconds, more than 0)";
        }
        options.saveEvery = seconds;
      } else if (name == "--greylist-delay") {
        std::int32_t n = 0;
        if (!ParseWhole(*v, n)) return "invalid greylisting delay '" + *v + "'";
        options.greylistDelay = n;
      } else if (name == "--catch-all") {
        if (*v != "on" && *v != "off") {
          return "invalid catch-all detection '" + *v + "' (on or off)";
        }
        options.catchAll = *v == "on";
      } else if (name == "--format") {
        if (*v == "text") {
          options.format = OutputFormat::Text;
        } else if (*v == "csv") {
          options.format = OutputFormat::Csv;
        } else if (*v == "jsonl") {
          options.format = OutputFormat::Jsonl;
        } else {
          return "unknown format '" + *v + "' (text, csv or jsonl)";
        }
      } else if (name == "--list") {
        options.listFile = *v;
      }
    }
  }
  return std::nullopt;
}

std::string JsonString(std::string_view text) {
  std::string out = "\"";
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  for (std::size_t i = 0; i < n;) {
    const unsigned char c = p[i];
    if (c < 0x80) {
      switch (c) {
        case '"':
          out += "\\\"";
          break;
        case '\\':
          out += "\\\\";
          break;
        case '\n':
          out += "\\n";
          break;
        case '\r':
          out += "\\r";
          break;
        case '\t':
          out += "\\t";
          break;
        default:
          if (c < 0x20 || c == 0x7f) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
          } else {
            out += static_cast<char>(c);
          }
      }
      ++i;
      continue;
    }
    // Copy a well-formed UTF-8 sequence; anything else becomes U+FFFD.
    std::size_t len = 0;
    std::uint32_t min = 0;
    if (c >= 0xc2 && c <= 0xdf) {
      len = 2;
      min = 0x80;
    } else if (c >= 0xe0 && c <= 0xef) {
      len = 3;
      min = 0x800;
    } else if (c >= 0xf0 && c <= 0xf4) {
      len = 4;
      min = 0x10000;
    }
    bool ok = len != 0 && i + len <= n;
    std::uint32_t cp = ok ? (c & (0x7fu >> len)) : 0;
    for (std::size_t k = 1; ok && k < len; ++k) {
      if ((p[i + k] & 0xc0) != 0x80) {
        ok = false;
      } else {
        cp = (cp << 6) | (p[i + k] & 0x3f);
      }
    }
    if (ok && (cp < min || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff))) ok = false;
    if (ok) {
      out.append(text.substr(i, len));
      i += len;
    } else {
      out += "\xef\xbf\xbd";
      ++i;
    }
  }
  out += '"';
  return out;
}

std::string CsvField(std::string_view text) {
  if (text.find_first_of(",\"\r\n") == std::string_view::npos) return std::string(text);
  std::string out = "\"";
  for (char c : text) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
  return out;
}

namespace {

// Ctrl-C, a polite kill and a closed terminal stop the run like the Stop
// command, so the results in hand are reported and saved.
class StopSignals {
 public:
  StopSignals(net::EventLoop& loop, std::function<void()> stop) : stop_(std::move(stop)) {
    static constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
    for (int i = 0; i < 3; ++i) {
      handles_[i] = new uv_signal_t;
      uv_signal_init(loop.uv(), handles_[i]);
      handles_[i]->data = this;
      uv_signal_start(handles_[i], &StopSignals::OnSignal, kSignals[i]);
      // The run, not the signal watch, keeps the loop going.
      uv_unref(reinterpret_cast<uv_handle_t*>(handles_[i]));
    }
  }
  ~StopSignals() {
    for (auto* h : handles_) {
      uv_signal_stop(h);
      uv_close(reinterpret_cast<uv_handle_t*>(h),
               [](uv_handle_t* handle) { delete reinterpret_cast<uv_signal_t*>(handle); });
    }
  }
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

 private:
  static void OnSignal(uv_signal_t* handle, int) {
    static_cast<StopSignals*>(handle->data)->stop_();
  }
  std::function<void()> stop_;
  uv_signal_t* handles_[3]{};
};

// A result always has a verdict; one without (none is expected) counts as unknown.
Verdict KnownVerdict(const engine::AddressResult& result) {
  return result.verdict == Verdict::None ? Verdict::Unknown : result.verdict;
}

// The verdicts of the results so far, and the messages of the unknown ones
// with how often each came (in the order they first came).
class VerdictTally {
 public:
  void Add(const engine::AddressResult& result) {
    const Verdict verdict = KnownVerdict(result);
    ++counts_[static_cast<std::size_t>(verdict)];
    if (verdict != Verdict::Unknown) return;
    const auto [it, added] = causeIndex_.try_emplace(result.message, causes_.size());
    if (added) causes_.emplace_back(result.message, 0);
    ++causes_[it->second].second;
  }
  std::int32_t Count(Verdict verdict) const { return counts_[static_cast<std::size_t>(verdict)]; }
  std::size_t Done() const {
    return static_cast<std::size_t>(Count(Verdict::Valid) + Count(Verdict::Invalid) +
                                    Count(Verdict::CatchAll) + Count(Verdict::Unknown));
  }
  // "valid V, invalid I, catch-all C, unknown U", each verdict in its name.
  std::string Counts() const {
    std::string out;
    for (const Verdict v :
         {Verdict::Valid, Verdict::Invalid, Verdict::CatchAll, Verdict::Unknown}) {
      if (!out.empty()) out += ", ";
      out += verdictName(v);
      out += ' ';
      out += std::to_string(Count(v));
    }
    return out;
  }
  // The closing line: the counts, then the three most common messages of the
  // unknown results, most frequent first (ties in the order they first came).
  std::string Summary() const {
    std::string out = "Verdicts: " + Counts();
    if (causes_.empty()) return out;
    std::vector<std::pair<std::string, std::int32_t>> top = causes_;
    std::stable_sort(top.begin(), top.end(),
                     [](const auto& a, const auto& b) { return a.second > b.second; });
    out += "; unknown because:";
    for (std::size_t i = 0; i < top.size() && i < 3; ++i) {
      out += i == 0 ? " " : ", ";
      out += "\"" + top[i].first + "\" " + std::to_string(top[i].second);
    }
    return out;
  }

 private:
  std::array<std::int32_t, 5> counts_{};
  std::vector<std::pair<std::string, std::int32_t>> causes_;
  std::unordered_map<std::string, std::size_t> causeIndex_;
};

// The progress line, on a terminal only: done of total, the verdicts, the
// addresses waiting for their greylisting retry, the rate and the time left.
class Progress {
 public:
  explicit Progress(std::size_t total)
      : enabled_(isatty(STDERR_FILENO) == 1),
        total_(total),
        start_(std::chrono::steady_clock::now()) {}

  void Update(const VerdictTally& tally, std::size_t retrying, bool force) {
    if (!enabled_) return;
    const auto now = std::chrono::steady_clock::now();
    if (!force && now - last_ < std::chrono::milliseconds(200)) return;
    last_ = now;
    const std::size_t done = tally.Done();
    const double seconds = std::chrono::duration<double>(now - start_).count();
    const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0.0;
    char left[32] = "--:--:--";
    if (rate > 0 && done <= total_) {
      const auto remaining = static_cast<long>(static_cast<double>(total_ - done) / rate);
      std::snprintf(left, sizeof left, "%ld:%02ld:%02ld", remaining / 3600, (remaining / 60) % 60,
                    remaining % 60);
    }
    std::fprintf(stderr, "\r%zu/%zu done, %s, %zu to retry, %.1f/s, %s left   ", done, total_,
                 tally.Counts().c_str(), retrying, rate, left);
    std::fflush(stderr);
  }
  void Finish(const VerdictTally& tally, std::size_t retrying) {
    if (!enabled_) return;
    Update(tally, retrying, true);
    std::fputc('\n', stderr);
  }

 private:
  bool enabled_;
  std::size_t total_;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point last_{};
};

// One record: the entry's e-mail text as given, its result and verdict, and
// with --log its transaction log. The verdict is the last csv column.
void PrintRecord(const ValidateOptions& options, std::size_t index, std::string_view address,
                 const engine::AddressResult& result, const TransactionLog& log) {
  const std::string verdict(verdictName(KnownVerdict(result)));
  const std::string code = std::to_string(result.code);
  std::string line;
  switch (options.format) {
    case OutputFormat::Text: {
      line = std::string(address) + "\t" + resultText(result.code, result.message) + "\t" +
             verdict + "\n";
      if (options.log) {
        for (const auto& l : log) line += "    " + l + "\n";
      }
      break;
    }
    case OutputFormat::Csv: {
      line = std::to_string(index) + "," + CsvField(address) + "," + code + "," +
             CsvField(result.message);
      if (options.log) {
        std::string joined;
        for (std::size_t i = 0; i < log.size(); ++i) {
          if (i > 0) joined += '\n';
          joined += log[i];
        }
        line += "," + CsvField(joined);
      }
      line += "," + verdict + "\n";
      break;
    }
    case OutputFormat::Jsonl: {
      line = "{\"index\":" + std::to_string(index) + ",\"address\":" + JsonString(address) +
             ",\"code\":" + code + ",\"message\":" + JsonString(result.message) +
             ",\"verdict\":" + JsonString(verdict);
      if (options.log) {
        line += ",\"log\":[";
        for (std::size_t i = 0; i < log.size(); ++i) {
          if (i > 0) line += ',';
          line += JsonString(log[i]);
        }
        line += ']';
      }
      line += "}\n";
      break;
    }
  }
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
}

// The saved options with `options` laid over them, the connections lowered to
// what the descriptor limit holds (one warning says so). False (message
// printed) when the options cannot be read.
bool SettingsFor(const ValidateOptions& options, engine::EngineSettings& cfg) {
  const std::uint64_t limit = engine::RaiseDescriptorLimit();
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
  if (options.connections) cfg.connections = *options.connections;
  if (options.timeOut) cfg.timeOut = *options.timeOut;
  if (options.greylistDelay) cfg.greylistDelay = *options.greylistDelay;
  if (options.catchAll) cfg.detectCatchAll = *options.catchAll;
  if (options.perConnection) cfg.perConnection = *options.perConnection;
  if (options.hostConnections) cfg.hostConnections = *options.hostConnections;
  const int fit = engine::ConnectionsThatFit(cfg.connections, limit);
  if (fit < cfg.connections) {
    std::fprintf(stderr,
                 "orvane-cli: %d connections need about %llu open files, but this process may "
                 "open %llu; using %d connections\n",
                 cfg.connections,
                 static_cast<unsigned long long>(
                     engine::DescriptorsFor(static_cast<std::uint64_t>(cfg.connections))),
                 static_cast<unsigned long long>(limit), fit);
    cfg.connections = fit;
  }
  return true;
}

// The csv header goes out once the run has started (or with the first
// record, which may arrive while it starts), never for a run that fails.
class Output {
 public:
  Output(const ValidateOptions& options, std::size_t total) : options_(options), progress_(total) {}
  void Header() {
    if (headerDone_ || options_.format != OutputFormat::Csv) return;
    headerDone_ = true;
    std::fputs(options_.log ? "index,address,code,message,log,verdict\n"
                            : "index,address,code,message,verdict\n",
               stdout);
    std::fflush(stdout);
  }
  void Record(std::size_t index, std::string_view address, const engine::AddressResult& result,
              const TransactionLog& log) {
    Header();
    PrintRecord(options_, index, address, result, log);
    retrying_.erase(index);
    tally_.Add(result);
    progress_.Update(tally_, retrying_.size(), false);
  }
  void Waiting(std::size_t index) {
    retrying_.insert(index);
    progress_.Update(tally_, retrying_.size(), false);
  }
  void Finish() {
    progress_.Finish(tally_, retrying_.size());
    std::fprintf(stderr, "%s\n", tally_.Summary().c_str());
  }

 private:
  const ValidateOptions& options_;
  Progress progress_;
  VerdictTally tally_;
  std::unordered_set<std::size_t> retrying_;  // waiting for their greylisting retry
  bool headerDone_ = false;
};

}  // namespace

int ValidateSource(const std::function<bool(std::string&)>& next, std::size_t total,
                   const ValidateOptions& options) {
  engine::EngineSettings cfg;
  if (!SettingsFor(options, cfg)) return kExitFailed;
  net::EventLoop loop;
  int status = kExitOk;
  {
    engine::TSmtpRelayServer server(loop);
    server.SetInternalDns(engine::kInternalDnsServer);
    Output output(options, total);
    bool finished = false;
    // The texts as given of the addresses read and not yet reported (the
    // run numbers them in the order it reads them): what the records show.
    std::unordered_map<int, std::string> given;
    int read = 0;
    server.OnEMailProcessed = [&](engine::TSmtpRelayServer& sender, int index, std::int32_t,
                                  const TransactionLog& log) {
      const auto it = given.find(index);
      output.Record(static_cast<std::size_t>(index),
                    it != given.end() ? it->second : sender.Text(index), sender.LastResult(), log);
      if (it != given.end()) given.erase(it);
    };
    server.OnAddressWaiting = [&](engine::TSmtpRelayServer&, int index, std::uint64_t) {
      output.Waiting(static_cast<std::size_t>(index));
    };
    server.OnFinished = [&](engine::TSmtpRelayServer&, bool) {
      finished = true;
      loop.stop();
    };
    StopSignals stopOnSignal(loop, [&] {
      if (server.Busy()) server.AbortRun();
    });
    try {
      engine::ConfigureEngine(server, cfg);
      server.SetSource([&](engine::FeedLine& line) {
        std::string text;
        if (!next(text)) return false;
        line.text = engine::ExtractAddress(text);
        line.tag = read;
        given.emplace(read++, std::move(text));
        return true;
      });
      server.StartCheck();
    } catch (const std::exception& e) {
      std::fprintf(stderr, "%s\n", e.what());
      status = kExitFailed;
    }
    if (status == kExitOk) {
      output.Header();
      while (!finished) loop.run();
      output.Finish();
    }
  }
  return status;
}

int ValidateList(RecipientList& list, const ValidateOptions& options, bool& ran,
                 const std::function<void()>& checkpoint, std::uint64_t checkpointMs) {
  ran = false;
  engine::EngineSettings cfg;
  if (!SettingsFor(options, cfg)) return kExitFailed;

  net::EventLoop loop;
  int status = kExitOk;
  {
    engine::ProjectRun run(loop, list);
    std::size_t total = 0;
    for (const auto& e : list.entries()) total += e.checkState == 1 ? 1 : 0;
    Output output(options, total);
    bool finished = false;
    run.OnEntryEnded = [&](std::size_t entry, const engine::AddressResult& result,
                           const TransactionLog& log) {
      // The record is about the text the user gave, not the address cut out of it.
      output.Record(entry, list.entry(entry).email(), result, log);
    };
    run.OnEntryWaiting = [&](std::size_t entry, const std::string&) { output.Waiting(entry); };
    run.OnRunFinished = [&](bool) {
      finished = true;
      loop.stop();
    };
    StopSignals stopOnSignal(loop, [&] {
      if (run.Running()) run.Stop();
    });
    try {
      run.Start(cfg);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "%s\n", e.what());
      status = kExitFailed;
    }
    if (status == kExitOk) {
      ran = true;
      output.Header();
      net::Timer checkpoints(loop);
      if (checkpoint && checkpointMs > 0) checkpoints.start(checkpointMs, checkpointMs, checkpoint);
      while (!finished) loop.run();
      checkpoints.stop();
      output.Finish();
    }
  }
  return status;
}

}  // namespace orvane::cli
