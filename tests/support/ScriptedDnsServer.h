// An in-process DNS responder for tests, benchmarks and the tools/ farm. Listens
// on 127.0.0.1 (or ::1) at an ephemeral UDP port and answers on the given EventLoop with
// raw libuv handles of its own (independent of the program's socket). Owns its
// handles and pending answers; destroy it before the loop. Loop thread only.
//
// Answers come from a table, or from a handler that returns raw bytes:
//   addMx("example.test", 10, "mx1.example.test");
//   addAddress("mx1.example.test", "192.0.2.25");   // A; "2001:db8::25": AAAA
//   setCname("alias.test", "example.test");   // CNAME, then the target's records
//   addPtr(name, target); addTxt(name, text); addAdditional(domain, owner, ip);
//   setRcode("gone.test", 3);                  // header RCODE for that name
// A name with no entry at all is answered with RCODE 3 (name error) and no
// records. CNAME chains (and loops, up to 16 records) come first, then the name
// reached's records of the question's type (MX: with its addAdditional ones).
// Records are written in the order they were added; owner names equal to the
// question are compressed with a pointer to it.
//
// Misbehaviours (setMisbehaviour) apply to every answer, table or handler:
//   WrongIdFirst       a forged answer with another ID, then the real one
//   WrongPortFirst     a forged answer from another local port, then the real one
//   WrongAddressFirst  a forged answer from 127.0.0.2 (same port), then the real
//                      one; see wrongAddressAvailable() (IPv4 only)
//   Silent             no answer at all
//   Duplicate          the answer twice
// A forged answer carries the question and one MX record for "forged.invalid",
// so a client that takes one shows it.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include <uv.h>

#include "net/EventLoop.h"
#include "net/SocketAddress.h"
#include "tests/support/PreciseDelays.h"

namespace orvane::testing {

class ScriptedDnsServer final {
 public:
  // One query as it arrived.
  struct Query {
    std::uint16_t id = 0;
    std::string name;  // question name, dotted, as sent (empty: root or unreadable)
    std::uint16_t type = 0;
    std::uint16_t qclass = 0;
    bool parsed = false;        // a header and one plain question could be read
    std::string raw;            // the whole datagram
    net::SocketAddress sender;  // where it came from
    sockaddr_in from{};         // the same when it is IPv4 (zero otherwise)
  };

  enum class Misbehaviour {
    None,
    WrongIdFirst,
    WrongPortFirst,
    WrongAddressFirst,
    Silent,
    Duplicate
  };

  // Raw answer bytes for a query; std::nullopt: answer from the table;
  // an empty string: send nothing.
  using Handler = std::function<std::optional<std::string>(const Query&)>;

  explicit ScriptedDnsServer(net::EventLoop& loop, const std::string& address = "127.0.0.1");
  ~ScriptedDnsServer();
  ScriptedDnsServer(const ScriptedDnsServer&) = delete;
  ScriptedDnsServer& operator=(const ScriptedDnsServer&) = delete;

  std::uint16_t port() const noexcept { return port_; }
  // "127.0.0.1:<port>" ("[::1]:<port>"), the program's form of a DNS server entry.
  std::string address() const;

  void addMx(const std::string& domain, int preference, const std::string& host);
  void addAddress(const std::string& name, const std::string& ip);  // A or AAAA
  void addPtr(const std::string& name, const std::string& target);
  void addTxt(const std::string& name, const std::string& text);  // one string, < 256 bytes
  // An address of `owner` in the additional section of MX answers for `domain`.
  void addAdditional(const std::string& domain, const std::string& owner, const std::string& ip);
  void setCname(const std::string& domain, const std::string& target);
  void setRcode(const std::string& domain, int rcode);
  void setHandler(Handler handler) { handler_ = std::move(handler); }
  void setMisbehaviour(Misbehaviour m);
  // Sends every answer (and its forged companion) `ms` later.
  void setDelay(std::uint64_t ms) noexcept { delayMs_ = ms; }
  // Gives the socket an ordinary receive buffer of `bytes` (as the system sets
  // it), so that bursts of queries overflow it and are dropped as they are by
  // real resolvers; by default the buffer is widened.
  void setReceiveBuffer(int bytes);
  // The TTL of every record of the table's answers (default 3600 s).
  void setTtl(std::uint32_t seconds) noexcept { ttl_ = seconds; }
  // Whether a socket on 127.0.0.2 could be opened for WrongAddressFirst.
  bool wrongAddressAvailable() const noexcept { return wrongAddr_ != nullptr; }

  std::size_t queriesSeen() const noexcept { return queriesSeen_; }
  // Every query received, unless keeping them was switched off (a long-running
  // farm answers millions and must not hold on to them).
  const std::vector<Query>& queries() const noexcept { return queries_; }
  void setKeepQueries(bool keep) noexcept { keepQueries_ = keep; }
  // Datagrams handed to the system so far, forged ones included.
  std::size_t datagramsSent() const noexcept { return sent_; }

  // The table's answer to `q` (what the server sends without a handler).
  std::string tableAnswer(const Query& q) const;

 private:
  struct Entry {
    std::vector<std::pair<unsigned, std::string>> records;  // type, data (not CNAME)
    std::vector<std::tuple<std::string, unsigned, std::string>> additional;  // owner, type, data
    std::string cname;
    std::optional<int> rcode;
  };

  void handleQuery(Query q);
  void respond(const Query& q, const std::string& answer);
  void sendFrom(uv_udp_t* socket, const std::string& bytes, const net::SocketAddress& to);
  uv_udp_t* openSocket(const std::string& ip, std::uint16_t port);

  net::EventLoop& loop_;
  PreciseDelays delays_;
  uv_udp_t* udp_ = nullptr;
  uv_udp_t* wrongPort_ = nullptr;
  uv_udp_t* wrongAddr_ = nullptr;
  std::string ip_;
  std::uint16_t port_ = 0;
  std::map<std::string, Entry> table_;
  Handler handler_;
  Misbehaviour misbehaviour_ = Misbehaviour::None;
  std::uint32_t ttl_ = 3600;
  std::uint64_t delayMs_ = 0;
  std::vector<Query> queries_;
  std::size_t queriesSeen_ = 0;
  bool keepQueries_ = true;
  std::size_t sent_ = 0;
  char recvBuf_[65536];
};

}  // namespace orvane::testing
