// The SOCKS 5 proxy option: what it holds, how it is written on the command
// line ("socks5://[USER:PASS@]HOST:PORT", or "none") and how messages name
// it. The password is never part of a name or message.
//
// Plain values and pure functions; any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace orvane::engine {

struct ProxySettings {
  std::string host;  // an IP address; empty: no proxy
  std::string port = "1080";
  std::string user;  // empty: no authentication
  std::string password;

  bool enabled() const noexcept { return !host.empty(); }
  // "HOST:PORT" (an IPv6 address in brackets).
  std::string name() const;
};

// Reads "socks5://[USER:PASS@]HOST:PORT" (HOST an IPv4 or bracketed IPv6
// address, PORT 1..65535) or "none" (no proxy). Otherwise nullopt, with
// `why` saying what is wrong.
std::optional<ProxySettings> parseProxyUrl(std::string_view text, std::string& why);

}  // namespace orvane::engine
