// The command-line grammar every orvane-cli command shares. A command
// describes itself in a CommandSyntax (its usage lines, what it does, its
// options in a table); parseCommandLine reads the arguments against it:
//   "--name VALUE", "--name=VALUE" and a short alias "-o VALUE" give a value;
//   a flag ("--replace") takes none; "--" ends the options; "-" alone and
//   anything not starting with "-" is an operand;
//   "--help" or "-h" prints the usage with every option and its default on
//   standard output.
// A usage error reads the same for every command: "orvane-cli COMMAND:
// MESSAGE" on standard error, then the usage, exit status 2. The messages are
// "unknown option '--x'", "option '--x' needs a value", "option '--x' takes
// no value", "unexpected argument 'y'", or what an option's check says.
//
// Main thread; no event loop.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace orvane::cli {

// Checks an option's value and stores it; returns why the value is refused
// (for example "invalid time-out 'x' (a whole number, 1 or more)"), or
// nullopt. A flag's check is called with "".
using OptionCheck = std::function<std::optional<std::string>(std::string_view value)>;

struct Option {
  std::string_view name;         // the long name, without "--"
  char alias = 0;                // "-" + alias names it too; 0: no alias
  std::string_view placeholder;  // the value in the usage ("FILE"); empty: a flag
  std::string_view help;         // what it does; lines separated by '\n'
  std::string_view byDefault;    // shown as "(default: ...)"; empty: nothing shown
  OptionCheck check;
};

struct CommandSyntax {
  std::string_view name;   // "check"
  std::string_view usage;  // what follows "orvane-cli "; one usage per line
  std::string_view about;  // what the command does, printed after the usage
  std::vector<Option> options;
  std::size_t maxOperands = std::numeric_limits<std::size_t>::max();
};

// Reads `args` against `syntax`: options through their checks, operands into
// `operands` in order. Returns nullopt when the command should go on, else
// the exit status to end with (after --help, or a usage error).
std::optional<int> parseCommandLine(const CommandSyntax& syntax, std::span<char* const> args,
                                    std::vector<std::string>& operands);

void printUsage(const CommandSyntax& syntax, std::FILE* out);

// Prints "orvane-cli COMMAND: MESSAGE" and the usage on standard error;
// returns the usage error's exit status.
int usageError(const CommandSyntax& syntax, std::string_view message);

// Checks for the common kinds of value.
OptionCheck storeText(std::string& target);
OptionCheck storeText(std::optional<std::string>& target);
OptionCheck setFlag(bool& flag);
// One of `names`; `store` gets its position. Refused: "invalid WHAT 'v' (a, b or c)".
OptionCheck oneOf(std::string what, std::vector<std::string_view> names,
                  std::function<void(std::size_t)> store);
// A whole number in decimal digits from `min` to `max`. Refused: "invalid
// WHAT 'v' (a whole number from MIN to MAX)", or "..., MIN or more)".
OptionCheck wholeNumber(std::string what, std::int32_t min, std::int32_t max,
                        std::function<void(std::int32_t)> store);

}  // namespace orvane::cli
