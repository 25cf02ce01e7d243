// The SOCKS 4, 4A and 5 client negotiation as pure byte work: it builds the
// requests a client sends to a SOCKS server and judges the server's replies,
// one reply at a time, telling how many reply bytes it still needs so that
// the caller never reads past a reply into the application's data.
//
// Owns the target of one negotiation and the bytes of the reply being read;
// no socket, no I/O. TWSocket drives it on its loop thread; not thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace orvane::net {

enum TSocksAuthentication : int {
  socksNoAuthentication = 0,
  socksAuthenticateUsercode = 1,
};

// Progress of a user/password authentication with a SOCKS 5 server.
enum TSocksAuthState : int {
  socksAuthStart = 0,
  socksAuthSuccess = 1,
  socksAuthFailure = 2,
  socksAuthNotRequired = 3,
};

// Error codes of the SOCKS negotiation (OnSocksError, then
// OnSessionConnected). Above every Windows Sockets code.
inline constexpr int socksNoError = 20000;
inline constexpr int socksProtocolError = 20001;    // malformed or unexpected reply
inline constexpr int socksVersionError = 20002;     // server speaks another version
inline constexpr int socksAuthMethodError = 20003;  // no acceptable authentication method
inline constexpr int socksGeneralFailure = 20004;
inline constexpr int socksConnectionNotAllowed = 20005;
inline constexpr int socksNetworkUnreachable = 20006;
inline constexpr int socksHostUnreachable = 20007;
inline constexpr int socksConnectionRefused = 20008;
inline constexpr int socksTtlExpired = 20009;
inline constexpr int socksUnknownCommand = 20010;
inline constexpr int socksUnknownAddressType = 20011;
inline constexpr int socksUnassignedError = 20012;
inline constexpr int socksInternalError = 20013;
inline constexpr int socksDataReceiveError = 20014;  // connection ended mid-negotiation
inline constexpr int socksAuthenticationFailed = 20015;
inline constexpr int socksRejectedOrFailed = 20016;  // SOCKS 4 reply 91..93
inline constexpr int socksHostResolutionFailed = 20017;

enum class SocksVersion : std::uint8_t { v4, v4A, v5 };

// Where the SOCKS server is asked to connect, and as whom.
struct SocksTarget {
  SocksVersion version = SocksVersion::v5;
  // A dotted IPv4 address, (5) an IPv6 address, or (4A, 5) a host name the
  // server resolves.
  std::string host;
  std::uint16_t port = 0;  // host order
  TSocksAuthentication authentication = socksNoAuthentication;
  std::string usercode;  // SOCKS 4: the user id; SOCKS 5: with the password
  std::string password;
};

class SocksCodec final {
 public:
  // What the client does next, in this order: raise the authentication
  // state (when set), then fail with `error`, or report the connection, or
  // send `send` to the server.
  struct Step {
    std::optional<TSocksAuthState> authState;
    int error = 0;  // a socks* code: the negotiation has failed
    // Its text, for OnSocksError and the messages built on it: "SOCKS reply
    // 5: connection refused", "SOCKS: the proxy requires a user name and
    // password", "SOCKS: user name or password refused", ... Never holds the
    // password or the user name.
    std::string message;
    bool connected = false;
    std::string send;
    // True while a reply is incomplete: nothing to do but read on.
    bool pending() const noexcept { return !authState && error == 0 && !connected && send.empty(); }
  };

  // Begins a negotiation: the first request (or an error when the target
  // cannot be expressed at its version).
  Step start(SocksTarget target);
  // Reply bytes still needed before the current reply can be judged; 0 when
  // no reply is awaited. Never more than the reply holds.
  std::size_t missing() const noexcept;
  // Takes reply bytes (those beyond missing() are not taken); once the reply
  // is complete, judges it.
  Step receive(std::string_view bytes);
  // True from start() until reset(), also after the last step.
  bool running() const noexcept { return phase_ != Phase::idle; }
  void reset() noexcept;

 private:
  enum class Phase { idle, greeting, auth, reply, socks4Reply, finished };

  Step fail(Step step, int error, std::string message);
  Step judgeGreeting();
  Step judgeAuth();
  Step judgeReply();
  Step judgeSocks4Reply();
  // Adds the SOCKS 5 connect request to `step`.
  Step connectRequest(Step step);
  std::size_t replyLength() const noexcept;

  Phase phase_ = Phase::idle;
  SocksTarget target_;
  std::string reply_;
};

}  // namespace orvane::net
