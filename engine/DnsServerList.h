// Where a validation run finds its DNS server: the owner's servers, else the
// system's, else a built-in last resort. Also the "address[:port]" form of a
// server entry.
//
// Pure functions plus file reads of the system's resolver configuration;
// called on the event-loop thread when a run starts (the files are small and
// local, read once per run).
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace orvane::engine {

// The last-resort DNS server both schedulers of the program carry: a public
// resolver reachable from almost any network.
inline constexpr std::string_view kInternalDnsServer = "9.9.9.9";

// Splits `text` at `separator`: the part before the first separator is taken
// as it stands (possibly empty), the rest is trimmed of blanks and split
// again, so blanks after a separator never make an entry. An empty text, or
// an empty rest, gives no further entry.
// "a b" and "a   b" give {"a", "b"}; with ',' "a, b" gives {"a", "b"} and
// "a,,b" gives {"a", "", "b"}; "a " gives {"a"}.
std::vector<std::string> splitServerText(std::string_view text, char separator);

// The system's separator for its name-server text and for `InternalDns`.
char systemDnsSeparator() noexcept;

// The files whose "nameserver" lines give the system's DNS servers, in the
// order they are consulted.
std::vector<std::string> defaultSystemDnsSources();

// The system's name-server text of one source: on Windows a registry value;
// elsewhere the addresses of the "nameserver" lines of a resolver
// configuration file, joined by the system separator. Empty when the source is
// missing or names no server.
std::string readSystemDnsText(const std::string& source);

// Builds a run's DNS server list: `dns` split at blanks when it is not empty;
// otherwise the first system source that yields an entry (text trimmed, split
// at the system separator); otherwise `internalDns` split at the system
// separator. May be empty (the caller reports that no server is available).
std::vector<std::string> buildDnsServerList(std::string_view dns,
                                            const std::vector<std::string>& systemSources,
                                            std::string_view internalDns);

struct DnsServerAddress {
  std::string host;
  std::string port = "53";
};

// Parses a server entry: "192.0.2.1", "192.0.2.1:5353", "[2001:db8::1]:53" or
// a bare IPv6 address (several colons: all of it is the host). A missing or
// empty port gives "53".
DnsServerAddress parseDnsServerEntry(std::string_view entry);

}  // namespace orvane::engine
