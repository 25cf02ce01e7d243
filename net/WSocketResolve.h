// Name resolution for the socket: IPv4 addresses, port numbers and protocol
// numbers from the texts a caller gives, and the local host name.
//
// Owns a process-wide cache of the names found in the system's service and
// protocol databases (kept for the life of the process, at most 256 entries
// each, guarded by a mutex). Thread: any; the host lookup of a name that is
// not a dotted address blocks the calling thread. Every failure throws
// ESocketException.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string>

#include "net/WSocketErrors.h"

namespace orvane::net {

// Resolves an IPv4 address: a dotted address is converted ("255.255.255.255"
// accepted), a name is looked up with a blocking call. Throws
// ESocketException ("WSocketResolveHost: ...").
in_addr WSocketResolveHost(const std::string& inAddr);
// Resolves a port number (host order) from a decimal text or a service name.
std::uint16_t WSocketResolvePort(const std::string& port, const std::string& proto);
// Resolves a protocol number from a decimal text or a protocol name.
int WSocketResolveProto(const std::string& proto);
// The local host name (gethostname); throws "Winsock.GetHostName failed".
std::string localHostName();

}  // namespace orvane::net
