#include "net/SocksCodec.h"

#include <gtest/gtest.h>

#include <iterator>
#include <string>
#include <utility>
#include <vector>

namespace orvane::net {
namespace {

using Texts = std::vector<std::string>;

// Bytes from hexadecimal pairs: hex("05 00") is "\x05\x00".
std::string hex(const char* pairs) {
  std::string out;
  for (const char* p = pairs; *p != '\0'; p += p[2] == ' ' ? 3 : 2)
    out += static_cast<char>(std::stoi(std::string(p, 2), nullptr, 16));
  return out;
}

// What a negotiation did: the requests it sent, the authentication states it
// raised and how it ended ("connected", "error <code>" or "running").
struct Outcome {
  Texts sent;
  std::vector<int> auth;
  std::string end = "running";
  bool operator==(const Outcome&) const = default;
};

void PrintTo(const Outcome& o, std::ostream* os) {
  *os << o.sent.size() << " sent, " << o.auth.size() << " auth states, " << o.end;
}

// Runs a negotiation against the server's `replies`, each fed one byte at a
// time: every split point is tried, and the codec must ask for each byte of
// a reply and judge it exactly at its last byte, never reading past it into
// the application's data.
Outcome negotiate(const SocksTarget& target, const Texts& replies) {
  SocksCodec codec;
  Outcome out;
  const auto record = [&](const SocksCodec::Step& step) {
    if (step.authState) out.auth.push_back(*step.authState);
    if (!step.send.empty()) out.sent.push_back(step.send);
    if (step.error != 0) out.end = "error " + std::to_string(step.error);
    if (step.connected) out.end = "connected";
  };
  record(codec.start(target));
  for (const std::string& reply : replies) {
    for (std::size_t i = 0; i < reply.size(); ++i) {
      EXPECT_GT(codec.missing(), 0u) << "byte " << i << " of a reply left unread";
      const SocksCodec::Step step = codec.receive(reply.substr(i, 1));
      EXPECT_EQ(step.pending(), i + 1 < reply.size()) << "byte " << i;
      if (!step.pending()) record(step);
    }
  }
  EXPECT_EQ(codec.missing(), 0u);
  return out;
}

// A target at port 25; a user code asks SOCKS 5 for user/password authentication.
SocksTarget to(SocksVersion v, std::string host, std::string user = "", std::string pass = "") {
  const auto auth = user.empty() ? socksNoAuthentication : socksAuthenticateUsercode;
  return {v, std::move(host), 25, auth, std::move(user), std::move(pass)};
}

TEST(SocksCodec, RequestsAndRepliesOfEveryVersion) {
  const auto v4 = SocksVersion::v4, v4A = SocksVersion::v4A, v5 = SocksVersion::v5;
  const std::string nul(1, '\0'), port = hex("00 19"), granted = hex("00 5a 00 00 00 00 00 00");
  const std::string to127 = hex("04 01 00 19 7f 00 00 01"), toName = hex("04 01 00 19 00 00 00 01");
  const std::string hello = hex("05 01 00"), helloAuth = hex("05 02 00 02"), noAuth = hex("05 00");
  const std::string toIp = hex("05 01 00 01 c0 00 02 07") + port, ip = "192.0.2.7";
  const std::string ipReply = hex("05 00 00 01 7f 00 00 01 04 00");
  const std::string toV6 =
      hex("05 01 00 04 20 01 0d b8") + std::string(11, '\0') + hex("25") + port;
  const std::string credentials = hex("01 04") + "user" + hex("06") + "secret";
  const struct {
    SocksTarget target;
    Texts replies;
    Outcome expected;
  } cases[] = {
      // SOCKS 4 and 4A: a host name travels behind 0.0.0.1 (4A only).
      {to(v4, "127.0.0.1", "bob"), {granted}, {{to127 + "bob" + nul}, {}, "connected"}},
      {to(v4A, "mx.test", "bob"),
       {granted},
       {{toName + "bob" + nul + "mx.test" + nul}, {}, "connected"}},
      {to(v4A, "10.1.2.3"), {granted}, {{hex("04 01 00 19 0a 01 02 03") + nul}, {}, "connected"}},
      {to(v4, "mx.test"), {}, {{}, {}, "error 20017"}},
      {to(v4A, "::1"), {}, {{}, {}, "error 20017"}},
      {to(v4, "127.0.0.1"), {hex("00 5b 00 00 00 00 00 00")}, {{to127 + nul}, {}, "error 20016"}},
      {to(v4, "127.0.0.1"), {hex("05 5a 00 00 00 00 00 00")}, {{to127 + nul}, {}, "error 20001"}},
      // SOCKS 5 without authentication; replies naming an IPv4, a host or an IPv6 address.
      {to(v5, ip), {noAuth, ipReply}, {{hello, toIp}, {3}, "connected"}},
      {to(v5, "mx.test"),
       {noAuth, hex("05 00 00 03 04") + "host" + port},
       {{hello, hex("05 01 00 03 07") + "mx.test" + port}, {3}, "connected"}},
      {to(v5, ip),
       {noAuth, hex("05 00 00 04") + std::string(16, '\1') + port},
       {{hello, toIp}, {3}, "connected"}},
      {to(v5, std::string(256, 'h')), {noAuth}, {{hello}, {3}, "error 20001"}},
      {to(v5, "2001:db8::25"), {noAuth, ipReply}, {{hello, toV6}, {3}, "connected"}},
      // SOCKS 5 with user code and password.
      {to(v5, ip, "user", "secret"),
       {hex("05 02"), hex("01 00"), ipReply},
       {{helloAuth, credentials, toIp}, {0, 1}, "connected"}},
      {to(v5, ip, "user", "secret"),
       {hex("05 02"), hex("01 01")},
       {{helloAuth, credentials}, {0, 2}, "error 20015"}},
      {to(v5, ip, std::string(256, 'u'), "p"), {hex("05 02")}, {{helloAuth}, {}, "error 20015"}},
      // Methods not offered or refused, other versions, an unknown address type.
      {to(v5, ip), {hex("05 02")}, {{hello}, {}, "error 20003"}},
      {to(v5, ip, "u", "p"), {hex("05 ff")}, {{helloAuth}, {}, "error 20003"}},
      {to(v5, ip), {hex("04 00")}, {{hello}, {}, "error 20002"}},
      {to(v5, ip), {noAuth, hex("04 00 00 01 00")}, {{hello, toIp}, {3}, "error 20002"}},
      {to(v5, ip), {noAuth, hex("05 00 00 07 00")}, {{hello, toIp}, {3}, "error 20011"}},
      // Refusals keep their reply code; codes beyond the named ones are unassigned.
      {to(v5, ip), {noAuth, hex("05 01 00 01 00")}, {{hello, toIp}, {3}, "error 20004"}},
      {to(v5, ip), {noAuth, hex("05 08 00 01 00")}, {{hello, toIp}, {3}, "error 20011"}},
      {to(v5, ip), {noAuth, hex("05 0a 00 01 00")}, {{hello, toIp}, {3}, "error 20012"}},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i)
    EXPECT_EQ(negotiate(cases[i].target, cases[i].replies), cases[i].expected) << "case " << i;
}

}  // namespace
}  // namespace orvane::net
