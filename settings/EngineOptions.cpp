#include "settings/EngineOptions.h"

#include "settings/Ini.h"

namespace orvane::settings {

engine::EngineSettings readEngineSettings(const TINI& ini) {
  engine::EngineSettings s;
  s.from = ini.from();
  s.host = ini.host();
  s.primaryDns = ini.primaryDns();
  s.secondaryDns = ini.secondaryDns();
  s.hostFromDomain = ini.hostFromDomain();
  s.connections = ini.connections();
  s.timeOut = ini.timeOut();
  s.greylistDelay = ini.greylistDelay();
  s.detectCatchAll = ini.detectCatchAll();
  s.perConnection = ini.addressesPerConnection();
  s.hostConnections = ini.hostConnections();
  return s;
}

}  // namespace orvane::settings
