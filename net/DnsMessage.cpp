#include "net/DnsMessage.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <utility>
#include <vector>

#include "net/SocketAddress.h"

namespace orvane::net {
namespace {

std::uint16_t get16(std::span<const std::uint8_t> m, std::size_t pos) {
  return static_cast<std::uint16_t>((m[pos] << 8) | m[pos + 1]);
}

std::uint32_t get32(std::span<const std::uint8_t> m, std::size_t pos) {
  return (std::uint32_t{m[pos]} << 24) | (std::uint32_t{m[pos + 1]} << 16) |
         (std::uint32_t{m[pos + 2]} << 8) | std::uint32_t{m[pos + 3]};
}

void put16(std::span<std::uint8_t> m, std::size_t pos, std::uint16_t v) {
  m[pos] = static_cast<std::uint8_t>(v >> 8);
  m[pos + 1] = static_cast<std::uint8_t>(v & 0xFF);
}

std::uint8_t asciiLower(std::uint8_t c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<std::uint8_t>(c - 'A' + 'a') : c;
}

}  // namespace

std::size_t buildMxQuery(std::uint16_t id, std::string_view domain,
                         std::span<std::uint8_t, kDnsMessageSize> out) {
  return buildDnsQuery(id, domain, kDnsTypeMX, out);
}

std::size_t buildDnsQuery(std::uint16_t id, std::string_view domain, std::uint16_t type,
                          std::span<std::uint8_t, kDnsMessageSize> out) {
  if (!domain.empty() && domain.back() == '.') domain.remove_suffix(1);

  // Check the whole name before writing, so a refused name leaves nothing
  // half-encoded behind.
  std::size_t nameBytes = 1;  // the final zero
  if (!domain.empty()) {
    std::size_t start = 0;
    while (true) {
      const std::size_t dot = domain.find('.', start);
      const std::size_t len = (dot == std::string_view::npos ? domain.size() : dot) - start;
      if (len == 0 || len > 63) return 0;
      nameBytes += len + 1;
      if (dot == std::string_view::npos) break;
      start = dot + 1;
    }
  }
  if (nameBytes > kDnsMaxNameBytes) return 0;

  put16(out, 0, id);
  put16(out, 2, 0 * 2048 + 1 * 256);  // opcode 0 (query), recursion desired
  put16(out, 4, 1);                   // QDCOUNT
  put16(out, 6, 0);
  put16(out, 8, 0);
  put16(out, 10, 0);

  std::size_t pos = kDnsHeaderSize;
  if (!domain.empty()) {
    std::size_t start = 0;
    while (true) {
      const std::size_t dot = domain.find('.', start);
      const std::size_t end = dot == std::string_view::npos ? domain.size() : dot;
      out[pos++] = static_cast<std::uint8_t>(end - start);
      for (std::size_t i = start; i < end; ++i) out[pos++] = static_cast<std::uint8_t>(domain[i]);
      if (dot == std::string_view::npos) break;
      start = dot + 1;
    }
  }
  out[pos++] = 0;
  put16(out, pos, type);
  put16(out, pos + 2, kDnsClassIN);
  return pos + 4;
}

bool extractDnsName(std::span<const std::uint8_t> msg, std::size_t pos, std::string& name,
                    std::size_t& next) {
  name.clear();
  std::size_t p = pos;
  std::size_t pieceStart = pos;  // start of the name piece being read
  std::size_t encoded = 0;       // bytes of the name in uncompressed form, without the final 0
  int pointers = 0;
  bool jumped = false;
  while (true) {
    if (p >= msg.size()) return false;
    const std::uint8_t len = msg[p];
    if ((len & 0xC0) == 0xC0) {
      if (p + 1 >= msg.size()) return false;
      const std::size_t target = (std::size_t{len & 0x3Fu} << 8) | msg[p + 1];
      // Backwards only: every jump lands strictly before the piece it leaves,
      // so no chain of pointers can loop.
      if (target < kDnsHeaderSize || target >= pieceStart) return false;
      if (++pointers > kDnsMaxPointers) return false;
      if (!jumped) {
        next = p + 2;
        jumped = true;
      }
      p = pieceStart = target;
      continue;
    }
    if ((len & 0xC0) != 0) return false;  // 0x40-0xBF: no such label kind here
    if (len == 0) {
      if (!jumped) next = p + 1;
      return true;
    }
    encoded += std::size_t{len} + 1;
    if (encoded + 1 > kDnsMaxNameBytes) return false;
    if (p + 1 + len > msg.size()) return false;
    if (encoded != std::size_t{len} + 1) name += '.';  // not the first label
    name.append(reinterpret_cast<const char*>(msg.data() + p + 1), len);
    p += 1 + std::size_t{len};
  }
}

namespace {

// One resource record's fixed fields; `rdata` is where its data starts.
struct Record {
  std::string name;
  std::uint16_t type = 0;
  std::uint16_t rclass = 0;
  std::uint32_t ttl = 0;
  std::size_t rdata = 0;
  std::size_t rdlength = 0;
};

// Reads the record at `pos`; false when it does not fit in the datagram.
bool readRecord(std::span<const std::uint8_t> msg, std::size_t pos, Record& rr) {
  std::size_t next = 0;
  if (!extractDnsName(msg, pos, rr.name, next) || next + 10 > msg.size()) return false;
  rr.type = get16(msg, next);
  rr.rclass = get16(msg, next + 2);
  rr.ttl = get32(msg, next + 4);
  rr.rdlength = get16(msg, next + 8);
  rr.rdata = next + 10;
  return rr.rdata + rr.rdlength <= msg.size();
}

// A name that starts at `pos` and ends inside the record's data.
bool nameInData(std::span<const std::uint8_t> msg, const Record& rr, std::size_t pos,
                std::string& name) {
  std::size_t after = 0;
  return pos < rr.rdata + rr.rdlength && extractDnsName(msg, pos, name, after) &&
         after <= rr.rdata + rr.rdlength;
}

std::string addressText(int family, const std::uint8_t* bytes) {
  char buf[INET6_ADDRSTRLEN] = {};
  inet_ntop(family, bytes, buf, sizeof buf);
  return buf;
}

// The character-strings of TXT data joined; false when one runs past the data.
bool txtText(std::span<const std::uint8_t> msg, const Record& rr, std::string& text) {
  const std::size_t end = rr.rdata + rr.rdlength;
  for (std::size_t p = rr.rdata; p < end; p += 1 + msg[p]) {
    if (p + 1 + msg[p] > end) return false;
    text.append(reinterpret_cast<const char*>(msg.data() + p + 1), msg[p]);
  }
  return true;
}

// Stores answer record `i` in the tables: its fields, and its data in the
// table of its type when the data is sound.
void storeAnswer(std::span<const std::uint8_t> msg, const Record& rr, int i, TDnsResponse& out) {
  out.AnswerName[i] = rr.name;
  out.AnswerType[i] = rr.type;
  out.AnswerClass[i] = rr.rclass;
  out.AnswerTTL[i] = rr.ttl;
  out.AnswerTag[i] = -1;
  std::string& text = out.answerText[i];
  switch (rr.type) {
    case kDnsTypeMX:
      if (out.MXRecordCount < kDnsTableSize && rr.rdlength >= 3 &&
          nameInData(msg, rr, rr.rdata + 2, text)) {
        const int idx = out.MXRecordCount++;
        out.AnswerTag[i] = idx;
        out.MXPreference[idx] = get16(msg, rr.rdata);
        out.MXExchange[idx] = text;
      } else {
        text.clear();
      }
      break;
    case kDnsTypeA:
      if (out.ARecordCount < kDnsTableSize && rr.rdlength >= 4) {
        const int idx = out.ARecordCount++;
        out.AnswerTag[i] = idx;
        std::uint32_t raw = 0;
        auto* bytes = reinterpret_cast<std::uint8_t*>(&raw);
        for (int b = 0; b < 4; ++b) bytes[b] = msg[rr.rdata + b];  // kept in network order
        out.Address[idx] = raw;
        text = addressText(AF_INET, msg.data() + rr.rdata);
      }
      break;
    case kDnsTypeAAAA:
      if (out.aaaaRecordCount < kDnsTableSize && rr.rdlength >= 16) {
        const int idx = out.aaaaRecordCount++;
        out.AnswerTag[i] = idx;
        for (std::size_t b = 0; b < 16; ++b) out.address6[idx][b] = msg[rr.rdata + b];
        text = addressText(AF_INET6, msg.data() + rr.rdata);
      }
      break;
    case kDnsTypeCNAME:
    case kDnsTypePTR:
      if (!nameInData(msg, rr, rr.rdata, text)) text.clear();
      break;
    case kDnsTypeTXT:
      if (!txtText(msg, rr, text)) text.clear();
      break;
    default:
      break;
  }
}

void storeAdditional(std::span<const std::uint8_t> msg, const Record& rr, TDnsResponse& out) {
  const bool a = rr.type == kDnsTypeA && rr.rdlength == 4;
  const bool aaaa = rr.type == kDnsTypeAAAA && rr.rdlength == 16;
  if ((!a && !aaaa) || rr.rclass != kDnsClassIN || out.additionalCount >= kDnsTableSize) return;
  TDnsAdditionalAddress& entry = out.additional[out.additionalCount++];
  entry.name = rr.name;
  entry.type = rr.type;
  entry.ttl = rr.ttl;
  entry.address = addressText(a ? AF_INET : AF_INET6, msg.data() + rr.rdata);
}

}  // namespace

DnsDecodeStatus decodeDnsResponse(std::span<const std::uint8_t> msg, TDnsResponse& out) {
  out = TDnsResponse{};
  out.AnswerTag.fill(-1);
  if (msg.size() < kDnsHeaderSize) return DnsDecodeStatus::NotAnAnswer;
  const std::uint16_t flags = get16(msg, 2);
  if ((flags & 0x8000) == 0) return DnsDecodeStatus::NotAnAnswer;

  out.responseLength = static_cast<int>(msg.size());
  out.ResponseID = get16(msg, 0);
  out.ResponseCode = flags & 15;
  out.ResponseOpCode = (flags >> 11) & 15;
  out.ResponseAuthoritative = (flags & 0x0400) != 0;
  out.ResponseTruncation = (flags & 0x0200) != 0;
  out.ResponseRecursionAvailable = (flags & 0x0080) != 0;
  out.ResponseQDCount = get16(msg, 4);
  out.ResponseANCount = get16(msg, 6);
  out.ResponseNSCount = get16(msg, 8);
  out.ResponseARCount = get16(msg, 10);

  // Counts are only loop bounds: every pass consumes bytes of the datagram or
  // ends the decoding, so a huge count in a short datagram ends at once.
  std::size_t pos = kDnsHeaderSize;
  std::string name;
  std::size_t next = 0;
  for (int q = 0; q < out.ResponseQDCount; ++q) {
    if (!extractDnsName(msg, pos, name, next) || next + 4 > msg.size())
      return DnsDecodeStatus::Malformed;
    if (q == 0) {
      out.QuestionName = name;
      out.QuestionType = get16(msg, next);
      out.QuestionClass = get16(msg, next + 2);
    }
    pos = next + 4;
  }

  const int sections[] = {out.ResponseANCount, out.ResponseNSCount, out.ResponseARCount};
  Record rr;
  for (int section = 0; section < 3; ++section) {
    for (int i = 0; i < sections[section]; ++i) {
      if (!readRecord(msg, pos, rr)) {
        // A truncated answer keeps the records that arrived whole. The
        // authority and additional sections only add hints: what of them
        // arrived whole is kept, and the answer stands without the rest.
        if (out.ResponseTruncation || section > 0) return DnsDecodeStatus::Ok;
        return DnsDecodeStatus::Malformed;
      }
      if (section == 0) {
        if (i < kDnsTableSize) storeAnswer(msg, rr, i, out);
        out.answerCount = i + 1;
      } else if (section == 2) {
        storeAdditional(msg, rr, out);
      }
      pos = rr.rdata + rr.rdlength;
    }
  }
  return DnsDecodeStatus::Ok;
}

bool dnsNamesEqual(std::string_view a, std::string_view b) noexcept {
  if (!a.empty() && a.back() == '.') a.remove_suffix(1);
  if (!b.empty() && b.back() == '.') b.remove_suffix(1);
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (asciiLower(static_cast<std::uint8_t>(a[i])) != asciiLower(static_cast<std::uint8_t>(b[i])))
      return false;
  }
  return true;
}

std::vector<TDnsAdditionalAddress> additionalAddressesOf(const TDnsResponse& r,
                                                         std::string_view name) {
  std::vector<TDnsAdditionalAddress> out;
  for (int i = 0; i < r.additionalCount; ++i) {
    if (dnsNamesEqual(r.additional[i].name, name)) out.push_back(r.additional[i]);
  }
  return out;
}

DnsCnameChain followCnames(const TDnsResponse& r, std::string_view name, int maxSteps) {
  DnsCnameChain chain;
  chain.target = std::string(name);
  const int stored = std::min(r.answerCount, kDnsTableSize);
  std::vector<std::string> passed{chain.target};
  for (;;) {
    int found = -1;
    for (int i = 0; i < stored && found < 0; ++i) {
      if (r.AnswerType[i] == kDnsTypeCNAME && !r.answerText[i].empty() &&
          dnsNamesEqual(r.AnswerName[i], chain.target))
        found = i;
    }
    if (found < 0) return chain;
    if (chain.steps == maxSteps) {
      chain.tooLong = true;
      return chain;
    }
    const std::string& to = r.answerText[found];
    for (const auto& p : passed) {
      if (dnsNamesEqual(p, to)) {
        chain.loop = true;
        return chain;
      }
    }
    ++chain.steps;
    chain.target = to;
    passed.push_back(to);
  }
}

std::string dnsReverseName(const SocketAddress& address, std::string_view zone) {
  std::string out;
  if (address.family() == AF_INET) {
    const auto* b = reinterpret_cast<const std::uint8_t*>(
        &reinterpret_cast<const sockaddr_in*>(address.data())->sin_addr);
    for (int i = 3; i >= 0; --i) out += std::to_string(b[i]) + ".";
    if (zone.empty()) zone = "in-addr.arpa";
  } else if (address.family() == AF_INET6) {
    const auto* b = reinterpret_cast<const sockaddr_in6*>(address.data())->sin6_addr.s6_addr;
    static const char kHex[] = "0123456789abcdef";
    for (int i = 15; i >= 0; --i) {
      out += kHex[b[i] & 15];
      out += '.';
      out += kHex[b[i] >> 4];
      out += '.';
    }
    if (zone.empty()) zone = "ip6.arpa";
  } else {
    return {};
  }
  out.append(zone);
  return out;
}

bool dnsQuestionMatches(std::span<const std::uint8_t> query, std::span<const std::uint8_t> reply) {
  if (query.size() < kDnsHeaderSize + 5 || reply.size() < query.size()) return false;
  if (get16(reply, 4) != 1) return false;
  // The query's question is a plain label sequence whose length bytes are at
  // most 63, never an ASCII letter, so a byte-wise comparison that folds only
  // letters also proves the reply's question has the same label structure.
  for (std::size_t i = kDnsHeaderSize; i < query.size(); ++i) {
    if (asciiLower(query[i]) != asciiLower(reply[i])) return false;
  }
  return true;
}

}  // namespace orvane::net
