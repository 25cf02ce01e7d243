// What the sources of the connection self-check share (SelfCheck.cpp,
// SelfCheckSmtp.cpp, SelfCheckAddress.cpp): the rows' places, texts and small
// helpers. Internal to the engine. Pure functions; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/AddressResolver.h"
#include "engine/Outcome.h"
#include "net/DnsMessage.h"
#include "net/SocketAddress.h"

namespace orvane::engine::selfcheck {

inline constexpr std::size_t kSlotDns = 0;
inline constexpr std::size_t kSlotSmtp = 1;
inline constexpr std::size_t kSlotHelo = 2;
inline constexpr std::size_t kSlotLists = 3;
inline constexpr std::size_t kMailHostsShown = 3;
inline constexpr std::size_t kMaxReasonBytes = 300;
inline constexpr int kDnsRcodeServerFailure = 2;
inline constexpr int kDnsRcodeRefused = 5;

inline constexpr std::string_view kBlockedAdvice =
    " looks blocked on this network: ask your provider, or use a SOCKS5 proxy";
inline constexpr std::string_view kHeloAdvice =
    "Many mail hosts refuse clients whose address has no reverse DNS naming the HELO name, or "
    "whose HELO name does not resolve to that address: ask your provider for a PTR record of the "
    "address naming the HELO name, or set as HELO name (Tools | Options, or --helo) a name whose "
    "PTR and A records agree";

std::string millis(std::uint32_t ms);
std::string seconds(std::uint32_t ms);
std::string joined(const std::vector<std::string>& items, std::string_view separator);
// A reply or record shown in a row: control bytes (a TXT record may hold
// any) become blanks, and a long text is cut.
std::string shown(std::string_view text);
// Addresses no host on the Internet sees a client come from: the private
// ranges behind NAT, shared (carrier-grade NAT) and link-local addresses,
// unique-local and link-local IPv6.
bool isPrivate(const net::SocketAddress& address);
// The data of the records of `type` that the answer's CNAME chain from
// `name` leads to.
std::vector<std::string> recordsOf(const net::TDnsResponse& answer, const std::string& name,
                                   std::uint16_t type);
bool contains(const HostAddresses& found, const std::string& address);
// What a DNS server that failed us did, for a row.
std::string dnsFailure(DnsOutcome outcome, int code, const std::string& detail);

}  // namespace orvane::engine::selfcheck
