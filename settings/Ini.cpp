#include "settings/Ini.h"

namespace orvane::settings {
namespace {

constexpr std::string_view kWindowsSection = "Windows";

}  // namespace

TINI::TINI()
    : isConnection("Connection", &INIArquivo1),
      isDNS("DNS", &INIArquivo1),
      isEnvironment("Environment", &INIArquivo1),
      ilConnections("Connections", &isConnection, "200"),
      ilTimeOut("TimeOut", &isConnection, "30"),
      ilFrom("From", &isConnection, ""),
      ilHost("Host", &isDNS, ""),
      ilDNS1("Primary", &isDNS, ""),
      ilDNS2("Secondary", &isDNS, ""),
      ilHostFromDomain("HostFromDomain", &isDNS, "1"),
      isMaximized("Maximized", &isEnvironment, "False"),
      ilGreylistDelay("GreylistDelay", &isConnection, "300"),
      ilDetectCatchAll("DetectCatchAll", &isConnection, "true"),
      isSaveDuringRuns("SaveDuringRuns", &isEnvironment, "false"),
      ilPerConnection("PerConnection", &isConnection, "10"),
      ilHostConnections("HostConnections", &isConnection, "20"),
      ilLastFolder("LastFolder", &isEnvironment, ""),
      ilUseIpv6("UseIPv6", &isConnection, "true"),
      ilProxyHost("ProxyHost", &isConnection, ""),
      ilProxyPort("ProxyPort", &isConnection, "1080"),
      ilProxyUser("ProxyUser", &isConnection, ""),
      ilProxyPassword("ProxyPassword", &isConnection, ""),
      ilSourceAddresses("SourceAddresses", &isConnection, ""),
      ilFlags("Flags", &isEnvironment, "disposable,role,free,extracted") {
  INIArquivo1.setLanguage(iclEnglish);
  INIArquivo1.setAutoApply(true);
  INIArquivo1.setFileName(kFileName);
}

std::string TINI::windowPlacement(std::string_view window) const {
  std::string text;
  INIArquivo1.readValue(kWindowsSection, window, text);
  return text;
}

void TINI::setWindowPlacement(std::string_view window, std::string_view placement) {
  INIArquivo1.writeValue(kWindowsSection, window, placement);
}

}  // namespace orvane::settings
