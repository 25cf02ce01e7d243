#include "engine/DnsServerList.h"

#include "core/Text.h"

#include <fstream>

#ifdef _WIN32
#include <windows.h>
#endif

namespace orvane::engine {

namespace {

std::string_view trimSpace(std::string_view text) {
  auto space = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!text.empty() && space(text.front())) text.remove_prefix(1);
  while (!text.empty() && space(text.back())) text.remove_suffix(1);
  return text;
}

#ifdef _WIN32
bool isNtFamily() {
  static const bool nt = (GetVersion() & 0x80000000u) == 0;
  return nt;
}
#endif

}  // namespace

std::vector<std::string> splitServerText(std::string_view text, char separator) {
  std::vector<std::string> out;
  while (!text.empty()) {
    const std::size_t pos = text.find(separator);
    if (pos == std::string_view::npos) {
      out.emplace_back(text);
      break;
    }
    out.emplace_back(text.substr(0, pos));
    text = trimBlanks(text.substr(pos + 1));
  }
  return out;
}

char systemDnsSeparator() noexcept {
#ifdef _WIN32
  return isNtFamily() ? ' ' : ',';
#else
  return ' ';
#endif
}

std::vector<std::string> defaultSystemDnsSources() {
#ifdef _WIN32
  if (isNtFamily()) {
    return {"SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters\\Transient",
            "SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters"};
  }
  return {"SYSTEM\\CurrentControlSet\\Services\\VxD\\MSTCP\\Transient",
          "SYSTEM\\CurrentControlSet\\Services\\VxD\\MSTCP"};
#else
  return {"/etc/resolv.conf", "/run/systemd/resolve/resolv.conf"};
#endif
}

std::string readSystemDnsText(const std::string& source) {
#ifdef _WIN32
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, source.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return {};
  }
  char buffer[2048];
  DWORD size = sizeof buffer - 1;
  DWORD type = 0;
  std::string text;
  if (RegQueryValueExA(key, "NameServer", nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) ==
          ERROR_SUCCESS &&
      (type == REG_SZ || type == REG_EXPAND_SZ)) {
    buffer[size] = '\0';
    text = buffer;
  }
  RegCloseKey(key);
  return text;
#else
  std::ifstream in(source);
  if (!in) return {};
  std::string text;
  std::string line;
  // A resolver file is a few lines; a cap keeps a strange file from filling
  // memory.
  for (int lines = 0; lines < 10000 && std::getline(in, line); ++lines) {
    std::string_view rest = trimSpace(line);
    if (rest.substr(0, 10) != "nameserver") continue;
    rest.remove_prefix(10);
    if (rest.empty() || (rest.front() != ' ' && rest.front() != '\t')) continue;
    rest = trimSpace(rest);
    const std::size_t end = rest.find_first_of(" \t#;");
    rest = rest.substr(0, end);
    if (rest.empty()) continue;
    if (!text.empty()) text += systemDnsSeparator();
    text += rest;
  }
  return text;
#endif
}

std::vector<std::string> buildDnsServerList(std::string_view dns,
                                            const std::vector<std::string>& systemSources,
                                            std::string_view internalDns) {
  if (!dns.empty()) return splitServerText(dns, ' ');
  for (const auto& source : systemSources) {
    const std::string text = readSystemDnsText(source);
    auto list = splitServerText(trimBlanks(text), systemDnsSeparator());
    if (!list.empty()) return list;
  }
  return splitServerText(internalDns, systemDnsSeparator());
}

DnsServerAddress parseDnsServerEntry(std::string_view entry) {
  DnsServerAddress out;
  entry = trimBlanks(entry);
  if (!entry.empty() && entry.front() == '[') {
    const std::size_t close = entry.find(']');
    if (close != std::string_view::npos) {
      out.host = std::string(entry.substr(1, close - 1));
      std::string_view rest = entry.substr(close + 1);
      if (rest.size() > 1 && rest.front() == ':') out.port = std::string(rest.substr(1));
      return out;
    }
  }
  const std::size_t colon = entry.find(':');
  if (colon != std::string_view::npos && entry.find(':', colon + 1) == std::string_view::npos) {
    out.host = std::string(entry.substr(0, colon));
    if (colon + 1 < entry.size()) out.port = std::string(entry.substr(colon + 1));
    return out;
  }
  out.host = std::string(entry);
  return out;
}

}  // namespace orvane::engine
