#include "net/SocksCodec.h"

#include <arpa/inet.h>

#include <algorithm>
#include <iterator>
#include <utility>

namespace orvane::net {

namespace {

const char* const kNotSocks5 = "SOCKS: the proxy does not speak SOCKS 5";

unsigned byteAt(const std::string& s, std::size_t i) {
  return static_cast<unsigned char>(s[i]);
}

void appendPort(std::string& out, std::uint16_t port) {
  out += static_cast<char>(port >> 8);
  out += static_cast<char>(port & 0xff);
}

}  // namespace

SocksCodec::Step SocksCodec::start(SocksTarget target) {
  target_ = std::move(target);
  reply_.clear();
  Step step;
  if (target_.version == SocksVersion::v5) {
    phase_ = Phase::greeting;
    step.send = target_.authentication == socksAuthenticateUsercode
                    ? std::string("\x05\x02\x00\x02", 4)
                    : std::string("\x05\x01\x00", 3);
    return step;
  }
  phase_ = Phase::socks4Reply;
  step.send = std::string("\x04\x01", 2);
  appendPort(step.send, target_.port);
  in_addr dest{};
  const bool numeric = inet_pton(AF_INET, target_.host.c_str(), &dest) == 1;
  if (!numeric) {
    if (target_.version != SocksVersion::v4A || target_.host.find(':') != std::string::npos)
      return fail(Step{}, socksHostResolutionFailed, "SOCKS 4 needs an IPv4 address");
    dest.s_addr = htonl(1);  // 0.0.0.1: the server resolves the name
  }
  step.send.append(reinterpret_cast<const char*>(&dest.s_addr), 4);
  step.send += target_.usercode;
  step.send += '\0';
  if (!numeric) {
    step.send += target_.host;
    step.send += '\0';
  }
  return step;
}

std::size_t SocksCodec::replyLength() const noexcept {
  switch (phase_) {
    case Phase::greeting:
    case Phase::auth:
      return 2;
    case Phase::socks4Reply:
      return 8;
    case Phase::reply: {
      // Version, reply code, reserved, address type and the first address
      // byte decide the rest; a refusal ends after them.
      if (reply_.size() < 5 || byteAt(reply_, 0) != 5 || byteAt(reply_, 1) != 0) return 5;
      switch (byteAt(reply_, 3)) {
        case 1:
          return 4 + 4 + 2;
        case 3:
          return 5 + byteAt(reply_, 4) + 2;
        case 4:
          return 4 + 16 + 2;
        default:
          return 5;
      }
    }
    default:
      return 0;
  }
}

std::size_t SocksCodec::missing() const noexcept {
  const std::size_t length = replyLength();
  return length > reply_.size() ? length - reply_.size() : 0;
}

SocksCodec::Step SocksCodec::receive(std::string_view bytes) {
  // Taken a piece at a time, since the length of a SOCKS 5 connect reply is
  // known only once its first five bytes are in.
  while (!bytes.empty() && missing() > 0) {
    const std::size_t n = std::min(bytes.size(), missing());
    reply_.append(bytes.substr(0, n));
    bytes.remove_prefix(n);
  }
  if (missing() > 0 || reply_.empty()) return {};
  Step step;
  switch (phase_) {
    case Phase::greeting:
      step = judgeGreeting();
      break;
    case Phase::auth:
      step = judgeAuth();
      break;
    case Phase::reply:
      step = judgeReply();
      break;
    case Phase::socks4Reply:
      step = judgeSocks4Reply();
      break;
    default:
      break;
  }
  reply_.clear();
  return step;
}

SocksCodec::Step SocksCodec::judgeGreeting() {
  const unsigned method = byteAt(reply_, 1);
  if (byteAt(reply_, 0) != 5) return fail(Step{}, socksVersionError, kNotSocks5);
  Step step;
  if (method == 0) {
    step.authState = socksAuthNotRequired;
    return connectRequest(std::move(step));
  }
  const bool haveCredentials = target_.authentication == socksAuthenticateUsercode;
  if (method != 2 || !haveCredentials)
    return fail(Step{}, socksAuthMethodError,
                haveCredentials ? "SOCKS: no acceptable authentication method"
                                : "SOCKS: the proxy requires a user name and password");
  if (target_.usercode.size() > 255 || target_.password.size() > 255)
    return fail(Step{}, socksAuthenticationFailed,
                "SOCKS: user name or password longer than 255 bytes");
  step.authState = socksAuthStart;
  step.send += '\x01';
  step.send += static_cast<char>(target_.usercode.size());
  step.send += target_.usercode;
  step.send += static_cast<char>(target_.password.size());
  step.send += target_.password;
  phase_ = Phase::auth;
  return step;
}

SocksCodec::Step SocksCodec::judgeAuth() {
  Step step;
  if (byteAt(reply_, 1) != 0) {
    step.authState = socksAuthFailure;
    return fail(std::move(step), socksAuthenticationFailed, "SOCKS: user name or password refused");
  }
  step.authState = socksAuthSuccess;
  return connectRequest(std::move(step));
}

SocksCodec::Step SocksCodec::judgeReply() {
  const unsigned rep = byteAt(reply_, 1);
  if (byteAt(reply_, 0) != 5) return fail(Step{}, socksVersionError, kNotSocks5);
  if (rep != 0) {
    static const struct {
      int code;
      const char* text;
    } kReplies[] = {{socksNoError, ""},
                    {socksGeneralFailure, "general SOCKS server failure"},
                    {socksConnectionNotAllowed, "connection not allowed by ruleset"},
                    {socksNetworkUnreachable, "network unreachable"},
                    {socksHostUnreachable, "host unreachable"},
                    {socksConnectionRefused, "connection refused"},
                    {socksTtlExpired, "TTL expired"},
                    {socksUnknownCommand, "command not supported"},
                    {socksUnknownAddressType, "address type not supported"}};
    const bool named = rep < std::size(kReplies);
    return fail(
        Step{}, named ? kReplies[rep].code : socksUnassignedError,
        "SOCKS reply " + std::to_string(rep) + ": " + (named ? kReplies[rep].text : "unassigned"));
  }
  const unsigned atyp = byteAt(reply_, 3);
  if (atyp != 1 && atyp != 3 && atyp != 4)
    return fail(Step{}, socksUnknownAddressType, "SOCKS: unknown address type in the reply");
  phase_ = Phase::finished;
  Step step;
  step.connected = true;
  return step;
}

SocksCodec::Step SocksCodec::judgeSocks4Reply() {
  const unsigned rep = byteAt(reply_, 1);
  if (byteAt(reply_, 0) != 0)
    return fail(Step{}, socksProtocolError, "SOCKS: malformed SOCKS 4 reply");
  if (rep != 90)
    return fail(Step{}, socksRejectedOrFailed,
                "SOCKS 4 reply " + std::to_string(rep) + ": request rejected or failed");
  phase_ = Phase::finished;
  Step step;
  step.connected = true;
  return step;
}

SocksCodec::Step SocksCodec::connectRequest(Step step) {
  std::string req("\x05\x01\x00", 3);
  in_addr dest{};
  in6_addr dest6{};
  if (inet_pton(AF_INET, target_.host.c_str(), &dest) == 1) {
    req += '\x01';
    req.append(reinterpret_cast<const char*>(&dest.s_addr), 4);
  } else if (inet_pton(AF_INET6, target_.host.c_str(), &dest6) == 1) {
    req += '\x04';
    req.append(reinterpret_cast<const char*>(&dest6), 16);
  } else {
    if (target_.host.size() > 255)
      return fail(std::move(step), socksProtocolError, "SOCKS: host name longer than 255 bytes");
    req += '\x03';
    req += static_cast<char>(target_.host.size());
    req += target_.host;
  }
  appendPort(req, target_.port);
  step.send = std::move(req);
  phase_ = Phase::reply;
  return step;
}

SocksCodec::Step SocksCodec::fail(Step step, int error, std::string message) {
  phase_ = Phase::finished;
  step.error = error;
  step.message = std::move(message);
  step.send.clear();
  return step;
}

void SocksCodec::reset() noexcept {
  phase_ = Phase::idle;
  reply_.clear();
}

}  // namespace orvane::net
