#include "cli/Options.h"

#include <algorithm>
#include <charconv>
#include <utility>

#include "cli/Commands.h"

namespace orvane::cli {
namespace {

constexpr std::size_t kHelpColumn = 29;  // where an option's help starts
constexpr std::size_t kLineWidth = 80;

// One option of the usage: its names and value, then its help lines at
// kHelpColumn, the default closing the last line (or on a line of its own).
void printOption(std::FILE* out, std::string key, std::string_view help,
                 std::string_view byDefault) {
  std::string text(help);
  if (!byDefault.empty()) {
    const std::string note = "(default: " + std::string(byDefault) + ")";
    const std::size_t lastLine = text.size() - (text.rfind('\n') + 1);
    const std::size_t noteLine = std::min(note.find('\n'), note.size());
    const bool fits = kHelpColumn + lastLine + 1 + noteLine <= kLineWidth;
    text += (fits ? " " : "\n") + note;
  }
  if (key.size() + 1 > kHelpColumn) {
    std::fprintf(out, "%s\n", key.c_str());
    key.clear();
  }
  for (std::string_view rest = text;; key.clear()) {
    const std::size_t end = rest.find('\n');
    key.resize(kHelpColumn, ' ');
    const std::string_view line = rest.substr(0, end);
    std::fprintf(out, "%s%.*s\n", key.c_str(), static_cast<int>(line.size()), line.data());
    if (end == std::string_view::npos) break;
    rest.remove_prefix(end + 1);
  }
}

}  // namespace

void printUsage(const CommandSyntax& syntax, std::FILE* out) {
  std::string_view usage = syntax.usage;
  for (const char* lead = "Usage: "; !usage.empty(); lead = "       ") {
    const std::size_t end = usage.find('\n');
    const std::string_view line = usage.substr(0, end);
    std::fprintf(out, "%sorvane-cli %.*s\n", lead, static_cast<int>(line.size()), line.data());
    usage.remove_prefix(end == std::string_view::npos ? usage.size() : end + 1);
  }
  if (!syntax.about.empty()) {
    std::fprintf(out, "\n%.*s", static_cast<int>(syntax.about.size()), syntax.about.data());
  }
  std::fputs("\nOptions:\n", out);
  for (const Option& o : syntax.options) {
    std::string key = "  ";
    if (o.alias != 0) key += std::string("-") + o.alias + ", ";
    key += "--" + std::string(o.name);
    if (!o.placeholder.empty()) key += " " + std::string(o.placeholder);
    printOption(out, std::move(key), o.help, o.byDefault);
  }
  printOption(out, "  -h, --help", "print this text and end", {});
}

int usageError(const CommandSyntax& syntax, std::string_view message) {
  std::fprintf(stderr, "orvane-cli %.*s: %.*s\n", static_cast<int>(syntax.name.size()),
               syntax.name.data(), static_cast<int>(message.size()), message.data());
  printUsage(syntax, stderr);
  return kExitUsage;
}

std::optional<int> parseCommandLine(const CommandSyntax& syntax, std::span<char* const> args,
                                    std::vector<std::string>& operands) {
  bool optionsEnded = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
      if (operands.size() == syntax.maxOperands) {
        return usageError(syntax, "unexpected argument '" + std::string(arg) + "'");
      }
      operands.emplace_back(arg);
      continue;
    }
    if (arg == "--") {
      optionsEnded = true;
      continue;
    }
    if (arg == "--help" || arg == "-h") {
      printUsage(syntax, stdout);
      return kExitOk;
    }
    // "--name=VALUE" carries its value; the option is named without it.
    const std::size_t eq = arg.starts_with("--") ? arg.find('=') : std::string_view::npos;
    const std::string written(arg.substr(0, eq));
    const Option* option = nullptr;
    for (const Option& o : syntax.options) {
      const bool named = written.starts_with("--")
                             ? written.substr(2) == o.name
                             : o.alias != 0 && written.size() == 2 && written[1] == o.alias;
      if (named) option = &o;
    }
    if (option == nullptr) return usageError(syntax, "unknown option '" + written + "'");
    std::string_view value;
    if (option->placeholder.empty()) {
      if (eq != std::string_view::npos) {
        return usageError(syntax, "option '" + written + "' takes no value");
      }
    } else if (eq != std::string_view::npos) {
      value = arg.substr(eq + 1);
    } else if (i + 1 < args.size()) {
      value = args[++i];
    } else {
      return usageError(syntax, "option '" + written + "' needs a value");
    }
    if (auto refused = option->check(value)) return usageError(syntax, *refused);
  }
  return std::nullopt;
}

OptionCheck storeText(std::string& target) {
  return [&target](std::string_view value) -> std::optional<std::string> {
    target = value;
    return std::nullopt;
  };
}

OptionCheck storeText(std::optional<std::string>& target) {
  return [&target](std::string_view value) -> std::optional<std::string> {
    target = std::string(value);
    return std::nullopt;
  };
}

OptionCheck setFlag(bool& flag) {
  return [&flag](std::string_view) -> std::optional<std::string> {
    flag = true;
    return std::nullopt;
  };
}

OptionCheck oneOf(std::string what, std::vector<std::string_view> names,
                  std::function<void(std::size_t)> store) {
  return [what = std::move(what), names = std::move(names),
          store = std::move(store)](std::string_view value) -> std::optional<std::string> {
    std::string choices;
    for (std::size_t i = 0; i < names.size(); ++i) {
      if (names[i] == value) {
        store(i);
        return std::nullopt;
      }
      choices += i == 0 ? "" : i + 1 == names.size() ? " or " : ", ";
      choices += names[i];
    }
    return "invalid " + what + " '" + std::string(value) + "' (" + choices + ")";
  };
}

OptionCheck wholeNumber(std::string what, std::int32_t min, std::int32_t max,
                        std::function<void(std::int32_t)> store) {
  return [what = std::move(what), min, max,
          store = std::move(store)](std::string_view value) -> std::optional<std::string> {
    std::int32_t n = 0;
    const char* end = value.data() + value.size();
    const auto [stop, error] = std::from_chars(value.data(), end, n);
    if (!value.empty() && value[0] != '-' && error == std::errc() && stop == end && n >= min &&
        n <= max) {
      store(n);
      return std::nullopt;
    }
    const std::string range = max == std::numeric_limits<std::int32_t>::max()
                                  ? ", " + std::to_string(min) + " or more"
                                  : " from " + std::to_string(min) + " to " + std::to_string(max);
    return "invalid " + what + " '" + std::string(value) + "' (a whole number" + range + ")";
  };
}

}  // namespace orvane::cli
