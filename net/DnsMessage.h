// DNS messages: building a query datagram (any type: MX, A, AAAA, PTR, TXT,
// ...) and decoding an answer into fixed tables. Pure functions over byte
// spans; no I/O, no state, callable from any thread (the program calls them
// on the event-loop thread).
//
// The decoder trusts nothing in the datagram: it never reads outside the given
// bytes, never sizes anything from a header count, follows at most
// kDnsMaxPointers compression pointers per name, accepts only pointers that
// point backwards (strictly before the start of the name piece they appear in)
// and past the 12-byte header, refuses names longer than 255 bytes and label
// length bytes 0x40-0xBF, and stores at most kDnsTableSize records in each
// table.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace orvane::net {

class SocketAddress;

inline constexpr std::size_t kDnsMessageSize = 512;  // query and answer buffers
inline constexpr std::size_t kDnsHeaderSize = 12;
inline constexpr int kDnsTableSize = 50;              // entries of every answer table
inline constexpr std::size_t kDnsMaxNameBytes = 255;  // encoded length of one name
inline constexpr int kDnsMaxPointers = 64;            // compression pointers per name

inline constexpr std::uint16_t kDnsTypeA = 1;
inline constexpr std::uint16_t kDnsTypeNS = 2;
inline constexpr std::uint16_t kDnsTypeCNAME = 5;
inline constexpr std::uint16_t kDnsTypePTR = 12;
inline constexpr std::uint16_t kDnsTypeMX = 15;
inline constexpr std::uint16_t kDnsTypeTXT = 16;
inline constexpr std::uint16_t kDnsTypeAAAA = 28;
inline constexpr std::uint16_t kDnsClassIN = 1;
inline constexpr std::uint16_t kDnsRcodeNameError = 3;

// Error reported for an answer that cannot be decoded safely (a record or name
// running past the end of the datagram, a bad compression pointer, a label
// length 0x40-0xBF, a name longer than 255 bytes). It is the Windows Sockets
// code "Non-recoverable error", so it reads sensibly wherever such codes are
// turned into text, and it never collides with a successful 0.
inline constexpr std::uint16_t kDnsErrorMalformedAnswer = 11003;

using TDnsAnswerNameArray = std::array<std::string, kDnsTableSize>;
using TDnsMXExchangeArray = std::array<std::string, kDnsTableSize>;
using TDnsIpv6Address = std::array<std::uint8_t, 16>;  // network order

// An A or AAAA record of the additional section.
struct TDnsAdditionalAddress {
  std::string name;       // owner name, dotted
  int type = 0;           // kDnsTypeA or kDnsTypeAAAA
  std::uint32_t ttl = 0;  // seconds
  std::string address;    // "192.0.2.1", "2001:db8::1"
};

// One decoded answer datagram: header, question and the answer tables.
struct TDnsResponse {
  int responseLength = 0;  // bytes of the datagram
  int ResponseID = 0;
  int ResponseCode = 0;    // RCODE, 0..15
  int ResponseOpCode = 0;  // 0..15
  bool ResponseAuthoritative = false;
  bool ResponseTruncation = false;
  bool ResponseRecursionAvailable = false;
  int ResponseQDCount = 0;
  int ResponseANCount = 0;  // as the header says
  int ResponseNSCount = 0;
  int ResponseARCount = 0;

  int QuestionType = 0;
  int QuestionClass = 0;
  std::string QuestionName;

  // Answer records decoded, in datagram order. Equals ResponseANCount for a
  // complete answer; smaller for a truncated one (TC set) that stops early.
  // The tables below hold the first kDnsTableSize of them.
  int answerCount = 0;
  TDnsAnswerNameArray AnswerName;
  std::array<int, kDnsTableSize> AnswerType{};
  std::array<int, kDnsTableSize> AnswerClass{};
  std::array<std::uint32_t, kDnsTableSize> AnswerTTL{};  // seconds
  // Index into the MX table for an MX record, into the address table for an
  // A record, into address6 for an AAAA record, -1 for anything else
  // (CNAME, PTR and TXT records included, and a record whose data is too
  // short or malformed for its type, which is dropped from the typed tables),
  // and -1 in the entries beyond the records decoded.
  std::array<int, kDnsTableSize> AnswerTag{};
  // The record's data as text: the address of an A or AAAA record
  // ("192.0.2.1", "2001:db8::1"), the exchange of an MX record, the target
  // of a CNAME and the name of a PTR record (dotted), the character-strings
  // of a TXT record joined without separator (bytes as they stand); empty
  // for other types and for data that is too short or malformed.
  std::array<std::string, kDnsTableSize> answerText;

  int MXRecordCount = 0;
  std::array<int, kDnsTableSize> MXPreference{};
  TDnsMXExchangeArray MXExchange;

  int ARecordCount = 0;
  std::array<std::uint32_t, kDnsTableSize> Address{};  // IPv4, network byte order

  int aaaaRecordCount = 0;
  std::array<TDnsIpv6Address, kDnsTableSize> address6{};

  // The A and AAAA records (class IN) of the additional section, in datagram
  // order, at most kDnsTableSize; other additional records are skipped.
  // Whether they belong to anything the answer names is the caller's call.
  int additionalCount = 0;
  std::array<TDnsAdditionalAddress, kDnsTableSize> additional;
};

enum class DnsDecodeStatus {
  Ok,           // decoded; the tables are filled
  NotAnAnswer,  // shorter than the header or QR clear: not an answer at all
  Malformed,    // an answer that breaks the limits above; `out` is unspecified
};

// Writes a query (ID `id`, recursion desired, one question: `name`, type
// `type`, class IN) into `out` and returns its length. The name is cut at each
// "."; one trailing dot is ignored and an empty name is the root name.
// Returns 0 and writes nothing usable for a name that cannot be encoded: an
// empty label (leading dot, two dots in a row), a label over 63 bytes or a name
// over 255 encoded bytes.
std::size_t buildDnsQuery(std::uint16_t id, std::string_view name, std::uint16_t type,
                          std::span<std::uint8_t, kDnsMessageSize> out);
// buildDnsQuery of type MX.
std::size_t buildMxQuery(std::uint16_t id, std::string_view domain,
                         std::span<std::uint8_t, kDnsMessageSize> out);

// Reads the (possibly compressed) name at `pos` of `msg`. On success stores the
// dotted text in `name` (empty for the root) and the position just after the
// name's bytes at `pos` in `next`. Returns false for a malformed name.
bool extractDnsName(std::span<const std::uint8_t> msg, std::size_t pos, std::string& name,
                    std::size_t& next);

// Decodes an answer datagram into `out` (every field is reset first). Only the
// first question is stored; further questions are skipped. The authority
// section is read past; of the additional section the A and AAAA records are
// stored. A datagram with TC set is decoded as far as its complete records
// go; without TC, every counted question and answer record must be present
// (the authority and additional sections are kept as far as their records
// are whole: they only add hints).
DnsDecodeStatus decodeDnsResponse(std::span<const std::uint8_t> msg, TDnsResponse& out);

// True when two names are the same DNS name: ASCII case and one trailing dot
// do not count.
bool dnsNamesEqual(std::string_view a, std::string_view b) noexcept;

// The additional-section addresses of `name` (an exchange an MX answer lists):
// only those owned by exactly that name, so that an answer cannot slip in
// addresses for names it was not asked about.
std::vector<TDnsAdditionalAddress> additionalAddressesOf(const TDnsResponse& r,
                                                         std::string_view name);

// Where the CNAME records of an answer lead from `name`.
struct DnsCnameChain {
  std::string target;    // the last name reached (`name` itself without CNAME)
  int steps = 0;         // CNAME records followed
  bool loop = false;     // the chain came back to a name it had passed
  bool tooLong = false;  // more than `maxSteps` records would be needed
};
// Follows the CNAME records of `r`'s answer section from `name`, at most
// `maxSteps` of them; stops at the first name without a CNAME record, at a
// name already passed (loop) or after `maxSteps` (tooLong). The records the
// caller wants are then those owned by `target`.
DnsCnameChain followCnames(const TDnsResponse& r, std::string_view name, int maxSteps = 8);

// The name to query for `address` in reverse: "4.3.2.1.in-addr.arpa" for
// 1.2.3.4, the 32 nibbles of an IPv6 address then "ip6.arpa". With a `zone`
// (a block list such as "zen.spamhaus.org") the zone replaces in-addr.arpa
// or ip6.arpa. Empty for an empty address.
std::string dnsReverseName(const SocketAddress& address, std::string_view zone = {});

// True when `reply` carries exactly one question and it is the question of
// `query` (name compared without regard to ASCII case, type and class equal).
bool dnsQuestionMatches(std::span<const std::uint8_t> query, std::span<const std::uint8_t> reply);

}  // namespace orvane::net
