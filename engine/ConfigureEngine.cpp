#include "engine/ConfigureEngine.h"

#include <algorithm>

#include "core/Text.h"
#include "engine/AddressSyntax.h"
#include "engine/ExtractAddress.h"
#include "engine/SmtpRelayServer.h"

namespace orvane::engine {

std::string SenderProblem(std::string_view from) {
  const std::string address = ExtractAddress(from);
  if (address.empty()) return std::string(kNoFromAddress);
  const PreparedAddress prepared = PrepareAddress(address);
  if (prepared.status == PreparedAddress::Status::Ready) return {};
  return "The sender address " + address + " cannot be used: " + prepared.reason;
}

void ConfigureEngine(TSmtpRelayServer& server, const EngineSettings& settings) {
  // The sender goes out as it was typed, its domain in ASCII form.
  std::string from = ExtractAddress(settings.from);
  const PreparedAddress sender = PrepareAddress(from);
  if (sender.status == PreparedAddress::Status::Ready) from = sender.address;
  server.SetFrom(from);
  server.SetDns(std::string(trimBlanks(settings.primaryDns + " " + settings.secondaryDns)));
  if (!settings.heloOverride.empty()) {
    server.SetSignon(settings.heloOverride);
  } else if (settings.hostFromDomain == 1) {
    const std::size_t at = from.find('@');
    server.SetSignon(at == std::string::npos ? std::string() : from.substr(at + 1, 255));
  } else {
    server.SetSignon(settings.host);
  }
  if (from.empty()) throw RunStartError(std::string(kNoFromAddress));
  if (std::string problem = SenderProblem(settings.from); !problem.empty()) {
    throw RunStartError(problem);
  }
  server.SetRecipients(nullptr);
  server.SetSource(nullptr);
  server.SetConnections(settings.connections);
  server.SetTimeOut(settings.timeOut);
  server.SetGreylistDelayMs(static_cast<std::uint64_t>(std::max(settings.greylistDelay, 0)) *
                            1000u);
  server.SetDetectCatchAll(settings.detectCatchAll);
  server.SetAddressesPerConnection(settings.perConnection);
  server.SetHostConnections(settings.hostConnections);
  if (!settings.smtpPort.empty()) server.SetSmtpPort(settings.smtpPort);
}

}  // namespace orvane::engine
