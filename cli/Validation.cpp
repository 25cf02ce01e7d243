#include "cli/Validation.h"

#include <unistd.h>

#include <charconv>
#include <chrono>
#include <cstdio>
#include <exception>
#include <memory>

#include <uv.h>

#include "cli/Commands.h"
#include "engine/ConfigureEngine.h"
#include "engine/ExtractAddress.h"
#include "engine/ProjectRun.h"
#include "engine/ResourceLimits.h"
#include "engine/ResultMessages.h"
#include "net/EventLoop.h"
#include "settings/Ini.h"

namespace orvane::cli {

const char* const kValidateOptionsHelp =
    "Options (each overrides the saved option for this run only):\n"
    "  --from ADDRESS        sender given with MAIL FROM\n"
    "  --helo NAME           HELO name (instead of the sender's domain)\n"
    "  --dns SERVER[:PORT]   DNS server to ask (default port 53)\n"
    "  --smtp-port PORT      port of the mail servers (default 25)\n"
    "  --connections N       sessions at once\n"
    "  --timeout SECONDS     allowed silence of a session\n"
    "  --format text|csv|jsonl   output format (default text)\n"
    "  --log                 include each address's transaction log\n"
    "  --help                this text\n";

namespace {

bool ParsePositive(std::string_view text, std::int32_t& value) {
  std::int32_t v = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || end != text.data() + text.size() || v <= 0) return false;
  value = v;
  return true;
}

}  // namespace

std::optional<std::string> ParseValidateOptions(std::span<char* const> args, bool allowList,
                                                ValidateOptions& options) {
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
                         name == "--format" || (allowList && name == "--list");
      if (!known) return "unknown option '" + name + "'";
      const auto v = takeValue();
      if (!v) return "option '" + name + "' needs a value";
      if (name == "--from") {
        options.from = *v;
      } else if (name == "--helo") {
        options.helo = *v;
      } else if (name == "--dns") {
        if (v->empty()) return "option '--dns' needs a server";
        options.dns = *v;
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

// Ctrl-C (and a polite kill) stop the run like the Stop command.
class StopSignals {
 public:
  StopSignals(net::EventLoop& loop, engine::ProjectRun& run) : run_(run) {
    for (int i = 0; i < 2; ++i) {
      handles_[i] = new uv_signal_t;
      uv_signal_init(loop.uv(), handles_[i]);
      handles_[i]->data = this;
      uv_signal_start(handles_[i], &StopSignals::OnSignal, i == 0 ? SIGINT : SIGTERM);
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
    auto* self = static_cast<StopSignals*>(handle->data);
    if (self->run_.Running()) self->run_.Stop();
  }
  engine::ProjectRun& run_;
  uv_signal_t* handles_[2]{};
};

class Progress {
 public:
  explicit Progress(std::size_t total)
      : enabled_(isatty(STDERR_FILENO) == 1),
        total_(total),
        start_(std::chrono::steady_clock::now()) {}

  void Update(const RunCounters& counters, bool force) {
    if (!enabled_) return;
    const auto now = std::chrono::steady_clock::now();
    if (!force && now - last_ < std::chrono::milliseconds(200)) return;
    last_ = now;
    const std::size_t done = static_cast<std::size_t>(counters.good + counters.bad);
    const double seconds = std::chrono::duration<double>(now - start_).count();
    const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0.0;
    char left[32] = "--:--:--";
    if (rate > 0 && done <= total_) {
      const auto remaining = static_cast<long>(static_cast<double>(total_ - done) / rate);
      std::snprintf(left, sizeof left, "%ld:%02ld:%02ld", remaining / 3600, (remaining / 60) % 60,
                    remaining % 60);
    }
    std::fprintf(stderr, "\r%zu/%zu done, good %d, bad %d, %.1f/s, %s left   ", done, total_,
                 counters.good, counters.bad, rate, left);
    std::fflush(stderr);
  }
  void Finish(const RunCounters& counters) {
    if (!enabled_) return;
    Update(counters, true);
    std::fputc('\n', stderr);
  }

 private:
  bool enabled_;
  std::size_t total_;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point last_{};
};

void PrintRecord(const ValidateOptions& options, std::size_t index, const std::string& address,
                 std::int32_t code, const TransactionLog& log) {
  const std::string message = engine::ResultMessage(code);
  std::string line;
  switch (options.format) {
    case OutputFormat::Text: {
      line = address + "\t" + engine::ResultText(code) + "\n";
      if (options.log) {
        for (const auto& l : log) line += "    " + l + "\n";
      }
      break;
    }
    case OutputFormat::Csv: {
      line = std::to_string(index) + "," + CsvField(address) + "," + std::to_string(code) + "," +
             CsvField(message);
      if (options.log) {
        std::string joined;
        for (std::size_t i = 0; i < log.size(); ++i) {
          if (i > 0) joined += '\n';
          joined += log[i];
        }
        line += "," + CsvField(joined);
      }
      line += "\n";
      break;
    }
    case OutputFormat::Jsonl: {
      line = "{\"index\":" + std::to_string(index) + ",\"address\":" + JsonString(address) +
             ",\"code\":" + std::to_string(code) + ",\"message\":" + JsonString(message);
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

}  // namespace

int ValidateList(RecipientList& list, const ValidateOptions& options, bool& ran) {
  ran = false;
  engine::RaiseDescriptorLimit();
  engine::EngineSettings cfg;
  try {
    settings::TINI ini;
    cfg = engine::ReadEngineSettings(ini);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return kExitFailed;
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

  net::EventLoop loop;
  int status = kExitOk;
  {
    engine::ProjectRun run(loop, list);
    std::size_t total = 0;
    for (const auto& e : list.entries()) total += e.checkState == 1 ? 1 : 0;
    Progress progress(total);
    bool finished = false;
    bool headerDone = false;
    // The csv header goes out once the run has started (or with the first
    // record, which may arrive while it starts), never for a run that fails.
    auto header = [&] {
      if (headerDone || options.format != OutputFormat::Csv) return;
      headerDone = true;
      std::fputs(options.log ? "index,address,code,message,log\n" : "index,address,code,message\n",
                 stdout);
      std::fflush(stdout);
    };
    run.OnEntryEnded = [&](std::size_t entry, std::int32_t code, const TransactionLog& log) {
      header();
      PrintRecord(options, entry, engine::ExtractAddress(list.entry(entry).email()), code, log);
      progress.Update(list.counters(), false);
    };
    run.OnRunFinished = [&](bool) {
      finished = true;
      loop.stop();
    };
    StopSignals stopOnSignal(loop, run);
    try {
      run.Start(cfg);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "%s\n", e.what());
      status = kExitFailed;
    }
    if (status == kExitOk) {
      ran = true;
      header();
      while (!finished) loop.run();
      progress.Finish(list.counters());
    }
  }
  return status;
}

}  // namespace orvane::cli
