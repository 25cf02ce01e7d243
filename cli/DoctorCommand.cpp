// orvane-cli doctor: the connection self-check. One line per check on
// standard output: status, check, what it found, what to do (tab-separated);
// the exit status sums them up.
#include <algorithm>
#include <cstdio>
#include <exception>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "cli/Commands.h"
#include "cli/Validation.h"
#include "engine/ConfigureEngine.h"
#include "engine/SelfCheck.h"
#include "net/EventLoop.h"

namespace orvane::cli {

namespace {

// The options of `check` and `run` that say how this machine connects.
constexpr std::string_view kConnectionOptions[] = {"from",    "helo", "dns",   "smtp-port",
                                                   "timeout", "ipv6", "proxy", "source-address"};

void printRow(const engine::CheckRow& row) {
  const std::string_view status = engine::checkStatusText(row.status);
  std::printf("%.*s\t%s\t%s\t%s\n", static_cast<int>(status.size()), status.data(),
              row.check.c_str(), row.found.c_str(), row.advice.c_str());
  std::fflush(stdout);
}

}  // namespace

int runDoctor(std::span<char* const> args) {
  ValidateOptions options;
  std::string domain;
  std::vector<std::string> zones = engine::defaultBlockLists();
  const std::string about =
      "Checks whether this machine can validate addresses at all: the DNS servers\n"
      "answer, a mail host greets us on the SMTP port, the HELO name and the reverse\n"
      "DNS of the address we connect from agree, and that address is on no DNS block\n"
      "list. One line per check: status (OK, Warning or Problem), check, what it\n"
      "found, what to do. Exit status 0: all OK; 1: a problem; 3: only warnings.\n\n" +
      std::string(kValidateAbout);
  CommandSyntax syntax{"doctor", "doctor [OPTIONS]", about, {}};
  syntax.maxOperands = 0;
  for (Option& option : validateOptions(options)) {
    if (std::find(std::begin(kConnectionOptions), std::end(kConnectionOptions), option.name) !=
        std::end(kConnectionOptions)) {
      syntax.options.push_back(std::move(option));
    }
  }
  syntax.options.push_back(
      {"domain", 0, "DOMAIN", "domain whose best mail host is tried", "the sender's",
       [&domain](std::string_view value) -> std::optional<std::string> {
         const auto ascii = engine::asciiDomain(value);
         if (!ascii) {
           return "invalid domain '" + std::string(value) + "' (a domain name such as example.org)";
         }
         domain = *ascii;
         return std::nullopt;
       }});
  syntax.options.push_back(
      {"blocklists", 0, "ZONES",
       "DNS block lists to ask, blank-separated in one\nquoted value (\"\": none)",
       engine::kDefaultBlockLists, [&zones](std::string_view value) -> std::optional<std::string> {
         std::string bad;
         auto parsed = engine::parseBlockLists(value, bad);
         if (!parsed) {
           return "invalid block list '" + bad + "' (a DNS zone such as zen.spamhaus.org)";
         }
         zones = std::move(*parsed);
         return std::nullopt;
       }});
  std::vector<std::string> operands;
  if (auto status = parseCommandLine(syntax, args, operands)) return *status;

  engine::EngineSettings cfg;
  if (!settingsFor(options, cfg)) return kExitFailed;
  net::EventLoop loop;
  engine::SelfCheck check(loop);
  bool finished = false;
  engine::CheckStatus worst = engine::CheckStatus::Green;
  check.onRow = printRow;
  check.onFinished = [&](engine::CheckStatus status) {
    worst = status;
    finished = true;
    loop.stop();
  };
  try {
    check.start(cfg, domain, zones);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return kExitFailed;
  }
  while (!finished) loop.run();
  switch (worst) {
    case engine::CheckStatus::Green:
      return kExitOk;
    case engine::CheckStatus::Amber:
      return kExitWarnings;
    case engine::CheckStatus::Red:
      break;
  }
  return kExitFailed;
}

}  // namespace orvane::cli
