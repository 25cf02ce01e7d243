// Feeds arbitrary datagrams to the DNS answer decoder and checks what a
// decoded answer promises: counts within the tables, tags pointing at filled
// entries, names within 255 encoded bytes, positions inside the datagram.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>

#include "net/DnsMessage.h"

using namespace orvane::net;

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> msg(data, size);

  static TDnsResponse r;  // large tables: keep them off the stack
  const DnsDecodeStatus status = decodeDnsResponse(msg, r);
  check(status != DnsDecodeStatus::NotAnAnswer || size < kDnsHeaderSize || (data[2] & 0x80) == 0);
  if (status == DnsDecodeStatus::Ok) {
    check(r.responseLength == static_cast<int>(size));
    check(r.answerCount >= 0 && r.answerCount <= r.ResponseANCount);
    check(r.MXRecordCount >= 0 && r.MXRecordCount <= kDnsTableSize);
    check(r.ARecordCount >= 0 && r.ARecordCount <= kDnsTableSize);
    check(r.aaaaRecordCount >= 0 && r.aaaaRecordCount <= kDnsTableSize);
    check(r.additionalCount >= 0 && r.additionalCount <= kDnsTableSize);
    check(r.QuestionName.size() < kDnsMaxNameBytes);
    for (int i = 0; i < r.additionalCount; ++i)
      check(!r.additional[i].address.empty() && r.additional[i].name.size() < kDnsMaxNameBytes);
    check(followCnames(r, r.QuestionName).steps <= 8);
    int mx = 0;
    int a = 0;
    int aaaa = 0;
    for (int i = 0; i < kDnsTableSize; ++i) {
      const int tag = r.AnswerTag[i];
      check(r.AnswerName[i].size() < kDnsMaxNameBytes);
      if (i >= r.answerCount) {
        check(tag == -1);
        continue;
      }
      if (tag < 0) continue;
      if (r.AnswerType[i] == kDnsTypeMX) {
        check(tag == mx++);
        check(r.MXExchange[tag].size() < kDnsMaxNameBytes && r.MXExchange[tag] == r.answerText[i]);
      } else if (r.AnswerType[i] == kDnsTypeAAAA) {
        check(tag == aaaa++ && !r.answerText[i].empty());
      } else {
        check(r.AnswerType[i] == kDnsTypeA && tag == a++ && !r.answerText[i].empty());
      }
    }
    check(mx == r.MXRecordCount && a == r.ARecordCount && aaaa == r.aaaaRecordCount);
  }

  // Name extraction from every early position, including inside the header.
  std::string name;
  for (std::size_t pos = 0; pos < size && pos < 64; ++pos) {
    std::size_t next = 0;
    if (extractDnsName(msg, pos, name, next)) {
      check(next > pos && next <= size);
      check(name.size() < kDnsMaxNameBytes);
    }
  }

  // The question check against a fixed query never reads past either side.
  static std::array<std::uint8_t, kDnsMessageSize> query{};
  static const std::size_t queryLength = buildMxQuery(0x1234, "example.com", query);
  (void)dnsQuestionMatches(std::span<const std::uint8_t>(query.data(), queryLength), msg);
  return 0;
}
