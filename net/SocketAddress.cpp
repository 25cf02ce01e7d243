#include "net/SocketAddress.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netdb.h>

#include <cstring>

#include "core/Text.h"

namespace orvane::net {

std::string dottedAddress(in_addr a) {
  char buf[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &a, buf, sizeof buf);
  return buf;
}

std::optional<SocketAddress> SocketAddress::parse(std::string_view ip, std::uint16_t port) {
  ip = trimBlanks(ip);
  const bool bracketed = ip.size() > 2 && ip.front() == '[' && ip.back() == ']';
  if (bracketed) ip = ip.substr(1, ip.size() - 2);
  if (ip.empty() || ip.size() > INET6_ADDRSTRLEN + IF_NAMESIZE) return std::nullopt;
  const std::string text(ip);
  if (text.find(':') == std::string::npos) {
    in_addr v4{};
    if (bracketed) return std::nullopt;  // brackets hold IPv6 addresses only
    if (inet_pton(AF_INET, text.c_str(), &v4) != 1) return std::nullopt;
    return fromIpv4(v4, port);
  }
  // getaddrinfo with a numeric host never asks a resolver, and it reads a
  // zone ("%lo") that inet_pton refuses.
  addrinfo hints{};
  hints.ai_family = AF_INET6;
  hints.ai_flags = AI_NUMERICHOST;
  addrinfo* res = nullptr;
  if (getaddrinfo(text.c_str(), nullptr, &hints, &res) != 0 || res == nullptr) return std::nullopt;
  SocketAddress out = fromSystem(res->ai_addr, res->ai_addrlen);
  freeaddrinfo(res);
  if (!out.isIpv6()) return std::nullopt;
  out.setPort(port);
  return out;
}

SocketAddress SocketAddress::fromIpv4(in_addr address, std::uint16_t port) noexcept {
  SocketAddress out;
  auto* sin = reinterpret_cast<sockaddr_in*>(&out.storage_);
  sin->sin_family = AF_INET;
  sin->sin_addr = address;
  sin->sin_port = htons(port);
  return out;
}

SocketAddress SocketAddress::fromSystem(const sockaddr* sa, socklen_t length) noexcept {
  SocketAddress out;
  if (sa == nullptr) return out;
  if ((sa->sa_family == AF_INET && length >= sizeof(sockaddr_in)) ||
      (sa->sa_family == AF_INET6 && length >= sizeof(sockaddr_in6))) {
    std::memcpy(&out.storage_, sa,
                sa->sa_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6));
  }
  return out;
}

SocketAddress SocketAddress::any(int family, std::uint16_t port) noexcept {
  SocketAddress out;
  if (family == AF_INET6) {
    auto* sin6 = reinterpret_cast<sockaddr_in6*>(&out.storage_);
    sin6->sin6_family = AF_INET6;
    sin6->sin6_addr = in6addr_any;
    sin6->sin6_port = htons(port);
    return out;
  }
  in_addr anyV4{};
  anyV4.s_addr = htonl(INADDR_ANY);
  return fromIpv4(anyV4, port);
}

std::uint16_t SocketAddress::port() const noexcept {
  if (family() == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in*>(&storage_)->sin_port);
  if (family() == AF_INET6)
    return ntohs(reinterpret_cast<const sockaddr_in6*>(&storage_)->sin6_port);
  return 0;
}

void SocketAddress::setPort(std::uint16_t port) noexcept {
  if (family() == AF_INET) reinterpret_cast<sockaddr_in*>(&storage_)->sin_port = htons(port);
  if (family() == AF_INET6) reinterpret_cast<sockaddr_in6*>(&storage_)->sin6_port = htons(port);
}

socklen_t SocketAddress::size() const noexcept {
  if (family() == AF_INET) return sizeof(sockaddr_in);
  if (family() == AF_INET6) return sizeof(sockaddr_in6);
  return 0;
}

std::string SocketAddress::ip() const {
  if (family() == AF_INET)
    return dottedAddress(reinterpret_cast<const sockaddr_in*>(&storage_)->sin_addr);
  if (family() != AF_INET6) return {};
  char host[NI_MAXHOST] = {};
  if (getnameinfo(data(), size(), host, sizeof host, nullptr, 0, NI_NUMERICHOST) != 0) return {};
  return host;
}

std::string SocketAddress::text() const {
  if (empty()) return {};
  const std::string port = std::to_string(this->port());
  return isIpv6() ? "[" + ip() + "]:" + port : ip() + ":" + port;
}

bool SocketAddress::operator==(const SocketAddress& other) const noexcept {
  if (family() != other.family()) return false;
  if (family() == AF_INET) {
    const auto& a = *reinterpret_cast<const sockaddr_in*>(&storage_);
    const auto& b = *reinterpret_cast<const sockaddr_in*>(&other.storage_);
    return a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;
  }
  if (family() == AF_INET6) {
    const auto& a = *reinterpret_cast<const sockaddr_in6*>(&storage_);
    const auto& b = *reinterpret_cast<const sockaddr_in6*>(&other.storage_);
    return std::memcmp(&a.sin6_addr, &b.sin6_addr, sizeof a.sin6_addr) == 0 &&
           a.sin6_port == b.sin6_port && a.sin6_scope_id == b.sin6_scope_id;
  }
  return true;
}

}  // namespace orvane::net
