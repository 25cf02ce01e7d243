#include "engine/ConfigureEngine.h"

#include "core/Text.h"
#include "engine/ExtractAddress.h"
#include "engine/SmtpRelayServer.h"
#include "settings/Ini.h"

namespace orvane::engine {

EngineSettings ReadEngineSettings(const settings::TINI& ini) {
  EngineSettings s;
  s.from = ini.from();
  s.host = ini.host();
  s.primaryDns = ini.primaryDns();
  s.secondaryDns = ini.secondaryDns();
  s.hostFromDomain = ini.hostFromDomain();
  s.connections = ini.connections();
  s.timeOut = ini.timeOut();
  return s;
}

void ConfigureEngine(TSmtpRelayServer& server, const EngineSettings& settings) {
  std::string from = ExtractAddress(settings.from);
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
  server.SetRecipients(nullptr);
  server.SetConnections(settings.connections);
  server.SetTimeOut(settings.timeOut);
  if (!settings.smtpPort.empty()) server.SetSmtpPort(settings.smtpPort);
}

void ConfigureEngine(TSmtpRelayServer& server, const settings::TINI& ini) {
  ConfigureEngine(server, ReadEngineSettings(ini));
}

}  // namespace orvane::engine
