// The program's settings store `TINI`: the options the validation engine is
// configured from, and the main window's maximized state, kept under
// "\software\Tamsworth\Orvane" of the current user (see UserKey.h).
//
//   section "Connection": "Connections" "200", "TimeOut" "30", "From" ""
//   section "DNS":        "Host" "", "Primary" "", "Secondary" "",
//                         "HostFromDomain" "1"
//   section "Environment": "Maximized" "False"
//   and options of our own: in "Connection" "GreylistDelay" "300" (seconds
//   before an address refused with a 4xx is tried again; 0: never),
//   "detectCatchAll" "true", "PerConnection" "10" (addresses of one domain
//   asked about on one connection) and "hostConnections" "20" (connections
//   open at once to one mail host; 0: no limit); in "Environment" "SaveDuringRuns" "false" (the
//   window saves a running project every minute) and "LastFolder" "" (the folder
//   of the last file chosen in a file dialog); in "Windows" one value per window
//   ("Main", "Log", ...) holding where it was last shown: "left,top,width,height";
//   in "Connection" "UseIPv6" "true", "ProxyHost" "" (an IP address; empty: no
//   SOCKS 5 proxy), "ProxyPort" "1080", "ProxyUser" "", "ProxyPassword" "",
//   "SourceAddresses" "" (local addresses, blank-separated); in "Environment"
//   "Flags" "disposable,role,free,extracted" (the flags to compute).
//
// Each value is read once, on its first use, and held; every change is
// written at once (AutoApply). Create one TINI when the program starts, before
// the main window, and pass it by reference to whatever reads or writes the
// options (the engine's ConfigureEngine, the command line, the options dialog,
// the main window). Tests call UserKey::setRootDirectoryForTests first so that
// nothing touches the user's own settings.
//
// Owns its components. User-interface / event-loop thread only.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "settings/IniStore.h"

namespace orvane::settings {

class TINI final {
 public:
  static constexpr std::string_view kFileName = "\\software\\Tamsworth\\Orvane";

  TINI();
  ~TINI() = default;
  TINI(const TINI&) = delete;
  TINI& operator=(const TINI&) = delete;

  // Typed accessors (what ConfigureEngine and the command line use). A text
  // returned by reference stays valid until that value is next changed.
  // Connections and TimeOut read as whole numbers; the scheduler itself turns
  // 0 or less into 1 connection / 60 seconds.
  std::int32_t connections() const { return ilConnections.AsInteger(); }
  void setConnections(std::int32_t value) { ilConnections.setAsInteger(value); }
  std::int32_t timeOut() const { return ilTimeOut.AsInteger(); }  // seconds
  void setTimeOut(std::int32_t seconds) { ilTimeOut.setAsInteger(seconds); }
  // The sender as typed; ConfigureEngine cuts the address out of it.
  const std::string& from() const { return ilFrom.Text(); }
  void setFrom(std::string_view text) { ilFrom.setText(text); }
  // HELO name used when hostFromDomain() is not 1 (may be empty).
  const std::string& host() const { return ilHost.Text(); }
  void setHost(std::string_view text) { ilHost.setText(text); }
  // DNS servers as typed ("" = none of the user's own).
  const std::string& primaryDns() const { return ilDNS1.Text(); }
  void setPrimaryDns(std::string_view text) { ilDNS1.setText(text); }
  const std::string& secondaryDns() const { return ilDNS2.Text(); }
  void setSecondaryDns(std::string_view text) { ilDNS2.setText(text); }
  // 1 = take the HELO name from the sender's domain.
  std::int32_t hostFromDomain() const { return ilHostFromDomain.AsInteger(); }
  void setHostFromDomain(std::int32_t value) { ilHostFromDomain.setAsInteger(value); }
  std::int32_t greylistDelay() const { return ilGreylistDelay.AsInteger(); }  // seconds
  void setGreylistDelay(std::int32_t seconds) { ilGreylistDelay.setAsInteger(seconds); }
  bool detectCatchAll() const { return ilDetectCatchAll.AsBoolean(); }
  void setDetectCatchAll(bool value) { ilDetectCatchAll.setAsBoolean(value); }
  std::int32_t addressesPerConnection() const { return ilPerConnection.AsInteger(); }
  void setAddressesPerConnection(std::int32_t n) { ilPerConnection.setAsInteger(n); }
  std::int32_t hostConnections() const { return ilHostConnections.AsInteger(); }
  void setHostConnections(std::int32_t n) { ilHostConnections.setAsInteger(n); }
  bool saveDuringRuns() const { return isSaveDuringRuns.AsBoolean(); }
  void setSaveDuringRuns(bool value) { isSaveDuringRuns.setAsBoolean(value); }
  bool maximized() const { return isMaximized.AsBoolean(); }
  void setMaximized(bool value) { isMaximized.setAsBoolean(value); }
  bool useIpv6() const { return ilUseIpv6.AsBoolean(); }
  void setUseIpv6(bool value) { ilUseIpv6.setAsBoolean(value); }
  const std::string& proxyHost() const { return ilProxyHost.Text(); }
  void setProxyHost(std::string_view text) { ilProxyHost.setText(text); }
  const std::string& proxyPort() const { return ilProxyPort.Text(); }
  void setProxyPort(std::string_view text) { ilProxyPort.setText(text); }
  const std::string& proxyUser() const { return ilProxyUser.Text(); }
  void setProxyUser(std::string_view text) { ilProxyUser.setText(text); }
  const std::string& proxyPassword() const { return ilProxyPassword.Text(); }
  void setProxyPassword(std::string_view text) { ilProxyPassword.setText(text); }
  const std::string& sourceAddresses() const { return ilSourceAddresses.Text(); }
  void setSourceAddresses(std::string_view text) { ilSourceAddresses.setText(text); }
  // The flags to compute, by name ("disposable,role,free,extracted").
  const std::string& flags() const { return ilFlags.Text(); }
  void setFlags(std::string_view names) { ilFlags.setText(names); }
  const std::string& lastFolder() const { return ilLastFolder.Text(); }
  void setLastFolder(std::string_view folder) { ilLastFolder.setText(folder); }
  // The stored placement of `window` ("" when none was stored), and storing it.
  std::string windowPlacement(std::string_view window) const;
  void setWindowPlacement(std::string_view window, std::string_view placement);

  // The components, declared in creation order (destroyed in reverse).
  TINIArquivo INIArquivo1;
  TINISecao isConnection;
  TINISecao isDNS;
  TINISecao isEnvironment;
  TINILinha ilConnections;
  TINILinha ilTimeOut;
  TINILinha ilFrom;
  TINILinha ilHost;
  TINILinha ilDNS1;
  TINILinha ilDNS2;
  TINILinha ilHostFromDomain;
  TINILinha isMaximized;
  TINILinha ilGreylistDelay;
  TINILinha ilDetectCatchAll;
  TINILinha isSaveDuringRuns;
  TINILinha ilPerConnection;
  TINILinha ilHostConnections;
  TINILinha ilLastFolder;
  TINILinha ilUseIpv6;
  TINILinha ilProxyHost;
  TINILinha ilProxyPort;
  TINILinha ilProxyUser;
  TINILinha ilProxyPassword;
  TINILinha ilSourceAddresses;
  TINILinha ilFlags;
};

}  // namespace orvane::settings
