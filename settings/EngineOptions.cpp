#include "settings/EngineOptions.h"

#include "core/DataDir.h"
#include "engine/AddressSyntax.h"
#include "settings/Ini.h"
#include "settings/UserKey.h"

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
  s.useIpv6 = ini.useIpv6();
  s.proxy.host = ini.proxyHost();
  s.proxy.port = ini.proxyPort().empty() ? "1080" : ini.proxyPort();
  s.proxy.user = ini.proxyUser();
  s.proxy.password = ini.proxyPassword();
  for (std::size_t i = 0, end = 0; i < ini.sourceAddresses().size(); i = end) {
    const std::string& text = ini.sourceAddresses();
    if (text[i] == ' ' || text[i] == ',') {
      end = i + 1;
      continue;
    }
    end = text.find_first_of(" ,", i);
    if (end == std::string::npos) end = text.size();
    s.sourceAddresses.push_back(text.substr(i, end - i));
  }
  // Names the program does not know are left out; none known: all flags.
  AddressFlags flags;
  if (parseFlagNames(ini.flags(), flags, nullptr)) s.flags = flags;
  return s;
}

AddressInsight loadAddressInsight(AddressFlags flags) {
  AddressInsight::Options options;
  options.flags = flags;
  options.toAscii = [](std::string_view domain) {
    return engine::prepareAddress("x@" + std::string(domain)).domain;
  };
  const std::string user = (UserKey::userFolder() + QStringLiteral("/lists")).toStdString();
  return AddressInsight::load(installedListsDir(), user, options);
}

}  // namespace orvane::settings
