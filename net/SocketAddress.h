// SocketAddress: an IPv4 or IPv6 address with a port, held in the form the
// system's socket calls take, and its text forms.
//
// A plain value: owns no resource, no state beyond its bytes; any thread.
// Parsing is numeric only and never consults a resolver, so it never blocks.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace orvane::net {

class SocketAddress final {
 public:
  // Empty: family AF_UNSPEC, no address.
  SocketAddress() noexcept = default;

  // A numeric address: a dotted IPv4 address ("192.0.2.1", four decimal
  // parts), or an IPv6 address ("2001:db8::1", "::1", "::ffff:192.0.2.1", a
  // zone as in "fe80::1%lo"), the IPv6 form also in brackets ("[::1]").
  // Surrounding blanks are ignored. std::nullopt for anything else (host
  // names, ports, empty text).
  static std::optional<SocketAddress> parse(std::string_view ip, std::uint16_t port = 0);
  static SocketAddress fromIpv4(in_addr address, std::uint16_t port) noexcept;
  // What a system call filled in (`length` bytes at `sa`); empty for a
  // family other than AF_INET and AF_INET6 or a short length.
  static SocketAddress fromSystem(const sockaddr* sa, socklen_t length) noexcept;
  // The wildcard address of `family` (AF_INET or AF_INET6) with `port`.
  static SocketAddress any(int family, std::uint16_t port) noexcept;

  bool empty() const noexcept { return family() == AF_UNSPEC; }
  int family() const noexcept { return storage_.ss_family; }
  bool isIpv6() const noexcept { return family() == AF_INET6; }
  // Host order; 0 when empty.
  std::uint16_t port() const noexcept;
  void setPort(std::uint16_t port) noexcept;

  // "192.0.2.1", "2001:db8::1" (with "%zone" when it has one); "" when empty.
  std::string ip() const;
  // "192.0.2.1:25", "[2001:db8::1]:25"; "" when empty.
  std::string text() const;

  // For the system's calls: the address and the length of its family's
  // structure (0 when empty). `storage()`/`capacity()` take a call's result,
  // to be adopted with fromSystem().
  const sockaddr* data() const noexcept { return reinterpret_cast<const sockaddr*>(&storage_); }
  socklen_t size() const noexcept;
  static constexpr socklen_t capacity() noexcept { return sizeof(sockaddr_storage); }

  // Same family, address, zone and port.
  bool operator==(const SocketAddress& other) const noexcept;

 private:
  sockaddr_storage storage_{};
};

// The IPv4 address as dotted text.
std::string dottedAddress(in_addr a);

}  // namespace orvane::net
