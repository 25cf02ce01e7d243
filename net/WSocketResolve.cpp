#include "net/WSocketResolve.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <mutex>
#include <string_view>
#include <unordered_map>

#include "core/Text.h"

namespace orvane::net {

namespace {

bool startsWithDigit(const std::string& s) {
  return !s.empty() && s[0] >= '0' && s[0] <= '9';
}

// `fmt` with its "%s" replaced by `s`.
std::string withText(const char* fmt, const std::string& s) {
  std::string out = fmt;
  const auto pos = out.find("%s");
  if (pos != std::string::npos) out.replace(pos, 2, s);
  return out;
}

// Names found in the system's protocol and service databases, kept for the
// life of the process: reading those files again for every connection costs
// more than the rest of the connection's setup. Shared by every thread.
class NameCache {
 public:
  bool find(const std::string& key, int& value) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = map_.find(key);
    if (it == map_.end()) return false;
    value = it->second;
    return true;
  }
  void store(const std::string& key, int value) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (map_.size() < 256) map_.emplace(key, value);
  }

 private:
  std::mutex mutex_;
  std::unordered_map<std::string, int> map_;
};

NameCache& protocolCache() {
  static NameCache cache;
  return cache;
}

NameCache& serviceCache() {
  static NameCache cache;
  return cache;
}

// Decimal up to the first non-digit; -1 when the value exceeds `max`, which
// is refused instead of wrapping around to another number.
long leadingDecimal(const std::string& text, long max) {
  long value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') break;
    value = value * 10 + (c - '0');
    if (value > max) return -1;
  }
  return value;
}

}  // namespace

in_addr WSocketResolveHost(const std::string& inAddr) {
  if (inAddr.empty() || inAddr.size() > 256)
    throw ESocketException("WSocketResolveHost: '" + inAddr + "' Invalid Hostname.");
  const std::string name(trimBlanks(inAddr));
  in_addr result{};
  if (startsWithDigit(name)) {
    result.s_addr = inet_addr(name.c_str());
    if (result.s_addr == INADDR_NONE && name != "255.255.255.255")
      throw ESocketException("WSocketResolveHost: '" + inAddr + "' Invalid IP address.");
    return result;
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  if (name.empty() || getaddrinfo(name.c_str(), nullptr, &hints, &res) != 0 || res == nullptr) {
    if (res != nullptr) freeaddrinfo(res);
    throw ESocketException(
        withText("WSocketResolveHost: Cannot convert host address '%s'", inAddr));
  }
  result = reinterpret_cast<sockaddr_in*>(res->ai_addr)->sin_addr;
  freeaddrinfo(res);
  return result;
}

std::uint16_t WSocketResolvePort(const std::string& port, const std::string& proto) {
  if (port.empty() || port.size() > 31) throw ESocketException("WSocketResolvePort: Invalid Port.");
  const std::string p(trimBlanks(port));
  if (startsWithDigit(p)) {
    const long value = leadingDecimal(p, 65535);
    if (value < 0)
      throw ESocketException(withText("WSocketResolvePort: Cannot convert port '%s'", port));
    return static_cast<std::uint16_t>(value);
  }
  const std::string pr(trimBlanks(proto));
  const std::string key = p + '/' + pr;
  int cached = 0;
  if (serviceCache().find(key, cached)) return static_cast<std::uint16_t>(cached);
  servent entry{};
  servent* found = nullptr;
  char buf[4096];
  if (!p.empty() &&
      getservbyname_r(p.c_str(), pr.empty() ? nullptr : pr.c_str(), &entry, buf, sizeof buf,
                      &found) == 0 &&
      found != nullptr) {
    const std::uint16_t number = ntohs(static_cast<std::uint16_t>(found->s_port));
    serviceCache().store(key, number);
    return number;
  }
  // The two services the program needs, for systems without a services file.
  if (p == "smtp") return 25;
  if (p == "domain") return 53;
  throw ESocketException(withText("WSocketResolvePort: Cannot convert port '%s'", port));
}

int WSocketResolveProto(const std::string& proto) {
  if (proto.empty() || proto.size() > 31)
    throw ESocketException("WSocketResolveProto: Invalid Protocol.");
  const std::string p(trimBlanks(proto));
  if (startsWithDigit(p)) {
    const long value = leadingDecimal(p, 255);
    if (value < 0)
      throw ESocketException(withText("WSocketResolveProto: Cannot convert protocol '%s'", proto));
    return static_cast<int>(value);
  }
  int cached = 0;
  if (protocolCache().find(p, cached)) return cached;
  protoent entry{};
  protoent* found = nullptr;
  char buf[1024];
  if (!p.empty() && getprotobyname_r(p.c_str(), &entry, buf, sizeof buf, &found) == 0 &&
      found != nullptr) {
    protocolCache().store(p, found->p_proto);
    return found->p_proto;
  }
  if (p == "tcp") return IPPROTO_TCP;
  if (p == "udp") return IPPROTO_UDP;
  throw ESocketException(withText("WSocketResolveProto: Cannot convert protocol '%s'", proto));
}

std::string localHostName() {
  char buf[64] = {};
  if (gethostname(buf, sizeof buf) != 0) throw ESocketException("Winsock.GetHostName failed");
  buf[sizeof buf - 1] = '\0';
  return buf;
}

}  // namespace orvane::net
