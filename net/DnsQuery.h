// TDnsQuery: asks one DNS server, over UDP, for the records of one name and
// type (MX, A, AAAA, PTR, TXT, ...) and reports the decoded answer by
// OnRequestDone.
//
// Ownership: owns one TWSocket (a UDP endpoint re-created for every query),
// the 512-byte query and answer buffers and the decoded tables. Does not own
// the EventLoop, which must outlive it. Thread: every call and event happens
// on the loop thread; Lookup never blocks for a numeric server address.
//
// The server: an IPv4 or IPv6 address ("192.0.2.53", "::1"), also with a port
// ("192.0.2.53:5353", "[::1]:5353").
//
// No retries, no time-out and no TCP fallback: a server that never answers
// leaves the query waiting until the caller gives up (or starts the next
// Lookup, which discards the previous one). Answers are taken up to 512
// bytes; a server that truncates its answer to fit sets TC, which
// ResponseTruncation() shows (the complete records are decoded).
//
// Which datagram counts as the answer: only one that comes from the server's
// address and port, has QR set, carries the query's ID and repeats the
// query's question. Everything else (strays, forged or late answers,
// duplicates, echoes, datagrams over 512 bytes) is dropped silently and only
// counted in ignoredDatagrams(). Each Lookup raises OnRequestDone at most
// once. Query IDs are drawn from a randomly seeded generator so that an
// off-path sender cannot guess them.
//
// OnRequestDone(Sender, Error):
//   0                          an answer was decoded into the tables;
//   kDnsErrorMalformedAnswer   (11003) the answer could not be decoded safely;
//                              the tables keep the previous answer;
//   10061                      the server's port is closed (an ICMP
//                              port-unreachable came back);
//   10051, 10065               the server cannot be reached: no route to its
//                              network (10051) or host (10065), whether the
//                              system refused to send or an ICMP error came
//                              back;
//   another code               the Windows Sockets error that came with the
//                              socket's data notification; tables unchanged.
// Errors are reported as soon as they are known (IPv4 and IPv6 alike), always
// from the loop, never inside Lookup. The handler may call Lookup again or
// destroy the query.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "net/DnsMessage.h"
#include "net/EventLoop.h"
#include "net/WSocket.h"

namespace orvane::net {

class TDnsQuery;

using TDnsRequestDoneEvent = std::function<void(TDnsQuery& Sender, std::uint16_t Error)>;

class TDnsQuery final {
 public:
  explicit TDnsQuery(EventLoop& loop);
  ~TDnsQuery();
  TDnsQuery(const TDnsQuery&) = delete;
  TDnsQuery& operator=(const TDnsQuery&) = delete;

  TDnsRequestDoneEvent OnRequestDone;

  // The server's UDP port as text (default "53").
  const std::string& Port() const noexcept { return port_; }
  void setPort(const std::string& value) { port_ = value; }
  // The server's address: dotted IPv4 or IPv6 ("::1", "[::1]"). A port given
  // with it ("192.0.2.53:5353", "[::1]:5353") takes precedence over Port().
  const std::string& Addr() const noexcept { return addr_; }
  void setAddr(const std::string& value) { addr_ = value; }

  // Sends one query for the records of type `Type` (kDnsTypeMX, kDnsTypeA,
  // kDnsTypeAAAA, kDnsTypePTR, kDnsTypeTXT, ...) of `Name` and returns the
  // query's ID. Discards any query still outstanding (its late answer is
  // never seen). Throws ESocketException ("Lookup: ...") for a name that
  // cannot be put in a query (an empty label, a label over 63 bytes, a name
  // over 255 bytes), for a bad server address or port, or when the socket
  // cannot be opened; a failure to send is reported by OnRequestDone.
  std::uint16_t Lookup(const std::string& Name, std::uint16_t Type);
  // Lookup(Domain, kDnsTypeMX); its exceptions say "MXLookup: ...".
  std::uint16_t MXLookup(const std::string& Domain);

  // True from Lookup (or MXLookup) until its OnRequestDone.
  bool Waiting() const noexcept { return waiting_; }
  // ID of the last query sent.
  std::uint16_t requestID() const noexcept { return requestId_; }
  // Datagrams dropped because they were not the awaited answer.
  std::uint64_t ignoredDatagrams() const noexcept { return ignored_; }

  // ---- Decoded answer (the last one accepted) ----
  const TDnsResponse& Response() const noexcept { return *response_; }
  // Bytes of the last accepted answer; -1 while a query is outstanding.
  int responseLength() const noexcept { return waiting_ ? -1 : response_->responseLength; }
  int ResponseID() const noexcept { return response_->ResponseID; }
  int ResponseCode() const noexcept { return response_->ResponseCode; }
  int ResponseOpCode() const noexcept { return response_->ResponseOpCode; }
  bool ResponseAuthoritative() const noexcept { return response_->ResponseAuthoritative; }
  bool ResponseTruncation() const noexcept { return response_->ResponseTruncation; }
  bool ResponseRecursionAvailable() const noexcept { return response_->ResponseRecursionAvailable; }
  int ResponseQDCount() const noexcept { return response_->ResponseQDCount; }
  int ResponseANCount() const noexcept { return response_->ResponseANCount; }
  int ResponseNSCount() const noexcept { return response_->ResponseNSCount; }
  int ResponseARCount() const noexcept { return response_->ResponseARCount; }
  int QuestionType() const noexcept { return response_->QuestionType; }
  int QuestionClass() const noexcept { return response_->QuestionClass; }
  const std::string& QuestionName() const noexcept { return response_->QuestionName; }
  int answerCount() const noexcept { return response_->answerCount; }
  int MXRecordCount() const noexcept { return response_->MXRecordCount; }
  int ARecordCount() const noexcept { return response_->ARecordCount; }
  int aaaaRecordCount() const noexcept { return response_->aaaaRecordCount; }
  int additionalCount() const noexcept { return response_->additionalCount; }

  // Indexed tables; an index outside 0..49 gives 0 (strings: empty).
  std::string AnswerName(int i) const;
  int AnswerType(int i) const noexcept;
  int AnswerClass(int i) const noexcept;
  std::uint32_t AnswerTTL(int i) const noexcept;
  int AnswerTag(int i) const noexcept;
  int MXPreference(int i) const noexcept;
  std::string MXExchange(int i) const;
  // IPv4 address in network byte order.
  std::uint32_t Address(int i) const noexcept;
  // AAAA table: IPv6 address, 16 bytes in network order.
  TDnsIpv6Address address6(int i) const noexcept;
  // Answer record i's data as text (TDnsResponse::answerText).
  std::string answerText(int i) const;
  // Additional-section address i (empty entry outside 0..additionalCount-1).
  TDnsAdditionalAddress additional(int i) const;

 private:
  std::uint16_t start(const std::string& name, std::uint16_t type, const char* function);
  void dataAvailable(std::uint16_t error);
  void finish(std::uint16_t error);
  // Reports `error` for query `id` from the loop, if it is still awaited.
  void finishLater(std::uint16_t id, std::uint16_t error);

  EventLoop& loop_;
  std::unique_ptr<TWSocket> socket_;
  std::shared_ptr<int> alive_ = std::make_shared<int>(0);  // guards posted notices

  std::string port_ = "53";
  std::string addr_;

  std::uint16_t requestId_ = 0;
  bool waiting_ = false;
  std::uint64_t ignored_ = 0;
  SocketAddress server_;  // where the answer must come from

  std::array<std::uint8_t, kDnsMessageSize> query_{};
  std::size_t queryLength_ = 0;
  // One byte more than the largest answer taken, to tell an oversized
  // datagram from one that fits exactly.
  std::array<std::uint8_t, kDnsMessageSize + 1> answer_{};

  // Held by pointer: a sound answer is taken over by swapping two pointers
  // rather than two tables of some kilobytes.
  std::unique_ptr<TDnsResponse> response_ = std::make_unique<TDnsResponse>();
  std::unique_ptr<TDnsResponse> scratch_ = std::make_unique<TDnsResponse>();  // decoding target
};

}  // namespace orvane::net
