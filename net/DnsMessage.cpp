#include "net/DnsMessage.h"

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
  put16(out, pos, kDnsTypeMX);
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

  for (int i = 0; i < out.ResponseANCount; ++i) {
    if (!extractDnsName(msg, pos, name, next) || next + 10 > msg.size() ||
        next + 10 + get16(msg, next + 8) > msg.size()) {
      // A truncated answer keeps the records that arrived whole.
      if (out.ResponseTruncation) break;
      return DnsDecodeStatus::Malformed;
    }
    const std::uint16_t type = get16(msg, next);
    const std::size_t rdata = next + 10;
    const std::size_t rdlength = get16(msg, next + 8);
    if (i < kDnsTableSize) {
      out.AnswerName[i] = name;
      out.AnswerType[i] = type;
      out.AnswerClass[i] = get16(msg, next + 2);
      out.AnswerTTL[i] = get32(msg, next + 4);
      out.AnswerTag[i] = -1;
      if (type == kDnsTypeMX && out.MXRecordCount < kDnsTableSize && rdlength >= 3) {
        std::string exchange;
        std::size_t after = 0;
        // The exchange must be a sound name that ends inside this record's data.
        if (extractDnsName(msg, rdata + 2, exchange, after) && after <= rdata + rdlength) {
          const int idx = out.MXRecordCount++;
          out.AnswerTag[i] = idx;
          out.MXPreference[idx] = get16(msg, rdata);
          out.MXExchange[idx] = std::move(exchange);
        }
      } else if (type == kDnsTypeA && out.ARecordCount < kDnsTableSize && rdlength >= 4) {
        const int idx = out.ARecordCount++;
        out.AnswerTag[i] = idx;
        std::uint32_t raw = 0;
        auto* bytes = reinterpret_cast<std::uint8_t*>(&raw);
        for (int b = 0; b < 4; ++b) bytes[b] = msg[rdata + b];  // kept in network order
        out.Address[idx] = raw;
      }
    }
    out.answerCount = i + 1;
    pos = rdata + rdlength;
  }
  return DnsDecodeStatus::Ok;
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
