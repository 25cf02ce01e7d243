#include "engine/Proxy.h"

#include <charconv>

#include "net/SocketAddress.h"

namespace orvane::engine {

std::string ProxySettings::name() const {
  const bool v6 = host.find(':') != std::string::npos;
  return (v6 ? "[" + host + "]" : host) + ":" + port;
}

std::optional<ProxySettings> parseProxyUrl(std::string_view text, std::string& why) {
  if (text == "none") return ProxySettings{};
  constexpr std::string_view kScheme = "socks5://";
  if (text.substr(0, kScheme.size()) != kScheme) {
    why = "a proxy is socks5://[USER:PASS@]HOST:PORT or none";
    return std::nullopt;
  }
  std::string_view rest = text.substr(kScheme.size());
  ProxySettings proxy;
  if (const auto at = rest.rfind('@'); at != std::string_view::npos) {
    const std::string_view credentials = rest.substr(0, at);
    const auto colon = credentials.find(':');
    if (colon == std::string_view::npos || colon == 0) {
      why = "the user name and password are written USER:PASS@";
      return std::nullopt;
    }
    proxy.user = std::string(credentials.substr(0, colon));
    proxy.password = std::string(credentials.substr(colon + 1));
    rest = rest.substr(at + 1);
  }
  std::string_view host;
  std::string_view port;
  if (!rest.empty() && rest.front() == '[') {
    const auto close = rest.find(']');
    if (close == std::string_view::npos || close + 1 >= rest.size() || rest[close + 1] != ':') {
      why = "an IPv6 proxy is written [ADDRESS]:PORT";
      return std::nullopt;
    }
    host = rest.substr(1, close - 1);
    port = rest.substr(close + 2);
  } else {
    const auto colon = rest.rfind(':');
    if (colon == std::string_view::npos) {
      why = "the proxy's port is missing";
      return std::nullopt;
    }
    host = rest.substr(0, colon);
    port = rest.substr(colon + 1);
    if (host.find(':') != std::string_view::npos) {
      why = "an IPv6 proxy is written [ADDRESS]:PORT";
      return std::nullopt;
    }
  }
  const auto address = net::SocketAddress::parse(host);
  if (!address || (address->isIpv6() != (host.find(':') != std::string_view::npos))) {
    why = "the proxy's host is not an IP address";
    return std::nullopt;
  }
  int number = 0;
  const auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), number);
  if (port.empty() || ec != std::errc() || end != port.data() + port.size() || number < 1 ||
      number > 65535) {
    why = "the proxy's port is not a number from 1 to 65535";
    return std::nullopt;
  }
  proxy.host = std::string(host);
  proxy.port = std::string(port);
  return proxy;
}

}  // namespace orvane::engine
