#include "engine/ConfigureEngine.h"

#include <algorithm>

#include "core/Text.h"
#include "engine/AddressSyntax.h"
#include "engine/ExtractAddress.h"
#include "engine/SmtpRelayServer.h"

namespace orvane::engine {

std::string senderProblem(std::string_view from) {
  const std::string address = ExtractAddress(from);
  if (address.empty()) return std::string(kNoFromAddress);
  const PreparedAddress prepared = prepareAddress(address);
  if (prepared.status == PreparedAddress::Status::Ready) return {};
  return "The sender address " + address + " cannot be used: " + prepared.reason;
}

void ConfigureEngine(TSmtpRelayServer& server, const EngineSettings& settings) {
  // The sender goes out as it was typed, its domain in ASCII form.
  std::string from = ExtractAddress(settings.from);
  const PreparedAddress sender = prepareAddress(from);
  if (sender.status == PreparedAddress::Status::Ready) from = sender.address;
  server.setFrom(from);
  server.setDns(std::string(trimBlanks(settings.primaryDns + " " + settings.secondaryDns)));
  if (!settings.heloOverride.empty()) {
    server.setSignon(settings.heloOverride);
  } else if (settings.hostFromDomain == 1) {
    const std::size_t at = from.find('@');
    server.setSignon(at == std::string::npos ? std::string() : from.substr(at + 1, 255));
  } else {
    server.setSignon(settings.host);
  }
  if (from.empty()) throw RunStartError(std::string(kNoFromAddress));
  if (std::string problem = senderProblem(settings.from); !problem.empty()) {
    throw RunStartError(problem);
  }
  server.setRecipients(nullptr);
  server.setSource(nullptr);
  server.setConnections(settings.connections);
  server.setTimeOut(settings.timeOut);
  server.setGreylistDelayMs(static_cast<std::uint64_t>(std::max(settings.greylistDelay, 0)) *
                            1000u);
  server.setDetectCatchAll(settings.detectCatchAll);
  server.setAddressesPerConnection(settings.perConnection);
  server.setHostConnections(settings.hostConnections);
  server.setUseIpv6(settings.useIpv6);
  server.setProxy(settings.proxy);
  server.setSourceAddresses(settings.sourceAddresses);
  if (!settings.smtpPort.empty()) server.setSmtpPort(settings.smtpPort);
}

}  // namespace orvane::engine
