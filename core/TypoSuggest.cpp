#include "core/TypoSuggest.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <tuple>

#include "core/Text.h"

namespace orvane {
namespace {

constexpr std::size_t kMaxDomain = 253;
constexpr std::size_t kBlock = 256;  // candidates tested at once

char lower(char c) noexcept {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Copies `domain` lower-cased and without a final "." into `out` (room for
// kMaxDomain characters); an empty view when it does not fit.
std::string_view lowerInto(std::string_view domain, char* out) noexcept {
  if (!domain.empty() && domain.back() == '.') domain.remove_suffix(1);
  if (domain.size() > kMaxDomain) return {};
  for (std::size_t i = 0; i < domain.size(); ++i) out[i] = lower(domain[i]);
  return {out, domain.size()};
}

// One bit per character that occurs. An edit changes at most two bits (a
// substitution drops one character and brings another), so names within k
// edits differ in at most 2k bits: a cheap test before the distance.
std::uint64_t letterBits(std::string_view s) noexcept {
  std::uint64_t bits = 0;
  for (char c : s) {
    int bit = 38;
    if (c >= 'a' && c <= 'z') bit = c - 'a';
    if (c >= '0' && c <= '9') bit = 26 + (c - '0');
    if (c == '-') bit = 36;
    if (c == '.') bit = 37;
    bits |= std::uint64_t{1} << bit;
  }
  return bits;
}

// The bits set in `x`, in a few instructions: the baseline x86-64 target has
// no popcount instruction, and __builtin_popcountll would call the library.
int bitCount(std::uint64_t x) noexcept {
  x -= (x >> 1) & 0x5555555555555555ULL;
  x = (x & 0x3333333333333333ULL) + ((x >> 2) & 0x3333333333333333ULL);
  x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0FULL;
  return static_cast<int>((x * 0x0101010101010101ULL) >> 56);
}
bool bitsAtMost(std::uint64_t bits, int n) noexcept {
  return bitCount(bits) <= n;
}

// Writes to `passed` the indexes of the letter sets within `most` bits of
// `query`; returns how many. The search's hot loop: on x86-64 a copy built
// for the popcount instruction is chosen at start when the processor has it.
#if defined(__x86_64__) && defined(__GNUC__)
[[gnu::target_clones("popcnt", "default")]]
#endif
std::size_t
closeLetterSets(const std::uint64_t* letters, std::size_t n, std::uint64_t query, int most,
                std::uint16_t* passed) noexcept {
  std::size_t count = 0;
  for (std::size_t i = 0; i < n; ++i) {
    passed[count] = static_cast<std::uint16_t>(i);
    count += __builtin_popcountll(letters[i] ^ query) <= most;
  }
  return count;
}

// The distance of a and b when at most k (0 to 2), else k + 1. Equal ends
// never need an edit; at the first difference every kind of edit is tried
// with one edit less. Besides the swap of neighbours, the unrestricted
// distance allows a swap with one character inserted or deleted between the
// two, at a cost of 2: those are the two last cases.
int within(const char* a, std::size_t na, const char* b, std::size_t nb, int k) noexcept {
  while (na > 0 && nb > 0 && *a == *b) ++a, ++b, --na, --nb;
  while (na > 0 && nb > 0 && a[na - 1] == b[nb - 1]) --na, --nb;
  if (na == 0 || nb == 0) return static_cast<int>(std::min<std::size_t>(na + nb, k + 1));
  if (k == 0) return 1;
  const std::size_t gap = na > nb ? na - nb : nb - na;
  if (gap > static_cast<std::size_t>(k)) return k + 1;
  int best = k + 1;
  best = std::min(best, 1 + within(a + 1, na - 1, b + 1, nb - 1, k - 1));
  best = std::min(best, 1 + within(a + 1, na - 1, b, nb, k - 1));
  best = std::min(best, 1 + within(a, na, b + 1, nb - 1, k - 1));
  if (na >= 2 && nb >= 2 && a[0] == b[1] && a[1] == b[0]) {
    best = std::min(best, 1 + within(a + 2, na - 2, b + 2, nb - 2, k - 1));
  }
  if (k >= 2) {
    if (na >= 2 && nb >= 3 && a[0] == b[2] && a[1] == b[0]) {
      best = std::min(best, 2 + within(a + 2, na - 2, b + 3, nb - 3, k - 2));
    }
    if (na >= 3 && nb >= 2 && a[0] == b[1] && a[2] == b[0]) {
      best = std::min(best, 2 + within(a + 3, na - 3, b + 2, nb - 2, k - 2));
    }
  }
  return std::min(best, k + 1);
}

// A top-level label one edit from "com" that is no top-level domain itself.
bool isComSlip(std::string_view tld) noexcept {
  for (std::string_view real : {"com", "co", "cm", "om", "cam"}) {
    if (tld == real) return false;
  }
  return editDistanceWithin(tld, "com", 1) == 1;
}

bool isDomainText(std::string_view name) noexcept {
  if (name.empty() || name.size() > kMaxDomain || name.find('.') == std::string_view::npos) {
    return false;
  }
  for (char c : name) {
    if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_')) {
      return false;
    }
  }
  return true;
}

}  // namespace

int editDistanceWithin(std::string_view a, std::string_view b, int limit) noexcept {
  limit = std::clamp(limit, 0, 2);
  return within(a.data(), a.size(), b.data(), b.size(), limit);
}

void DomainTally::add(std::string_view asciiDomain) {
  char buffer[kMaxDomain];
  const std::string_view name = lowerInto(asciiDomain, buffer);
  if (name.empty()) return;
  auto it = counts_.find(name);
  if (it == counts_.end()) it = counts_.emplace(std::string(name), 0).first;
  if (++it->second == kCommon) {
    if (common_.size() <= name.size()) common_.resize(name.size() + 1);
    Bucket& bucket = common_[name.size()];
    bucket.names += name;
    bucket.letters.push_back(letterBits(name));
    bucket.counts.push_back(&it->second);
    ++commonCount_;
  }
}

std::uint32_t DomainTally::count(std::string_view asciiDomain) const {
  char buffer[kMaxDomain];
  const std::string_view name = lowerInto(asciiDomain, buffer);
  const auto it = counts_.find(name);
  return it == counts_.end() ? 0 : it->second;
}

void DomainTally::clear() {
  common_.clear();
  commonCount_ = 0;
  counts_.clear();
}

std::string TypoSuggest::load(const std::filesystem::path& providersFile) {
  providers_.clear();
  tops_ = 0;
  const std::string name = providersFile.filename().string();
  const std::string where = providersFile.parent_path().string();
  std::ifstream in(providersFile, std::ios::binary);
  if (!in) {
    std::error_code ec;
    return (std::filesystem::exists(providersFile, ec) ? name + " in " + where + " cannot be read"
                                                       : name + " is missing in " + where) +
           ", so typo suggestions are off";
  }
  std::string line;
  std::size_t number = 0;
  while (std::getline(in, line)) {
    ++number;
    std::string_view text = line;
    text = trimBlanks(text.substr(0, text.find('#')));
    if (text.empty()) continue;
    std::size_t blank = 0;
    while (blank < text.size() && static_cast<unsigned char>(text[blank]) > 32) ++blank;
    std::string domain(text.substr(0, blank));
    for (char& c : domain) c = lower(c);
    const std::string_view mark = trimBlanks(text.substr(blank));
    if (!isDomainText(domain) || !(mark.empty() || mark == "top")) {
      providers_.clear();
      tops_ = 0;
      return name + " in " + where + " is damaged (line " + std::to_string(number) +
             " is not a provider), so typo suggestions are off";
    }
    addProvider(domain, mark == "top");
  }
  if (providers_.empty()) {
    return name + " in " + where +
           " is damaged (it holds no providers), so typo suggestions are off";
  }
  return {};
}

void TypoSuggest::addProvider(std::string_view domain, bool top) {
  std::string name(domain);
  for (char& c : name) c = lower(c);
  const std::uint64_t letters = letterBits(name);
  providers_.push_back({std::move(name), letters, top ? ++tops_ : std::uint16_t{0}});
}

std::string TypoSuggest::suggest(std::string_view asciiDomain, DomainDns dns,
                                 const DomainTally* tally) const {
  if (providers_.empty() || dns == DomainDns::Unknown) return {};
  char buffer[kMaxDomain];
  const std::string_view domain = lowerInto(asciiDomain, buffer);
  const std::size_t dot = domain.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return {};
  for (const Provider& p : providers_) {
    if (p.name == domain) return {};
  }

  if (dns == DomainDns::HasMailHosts) {
    const Provider* best = nullptr;
    const std::uint64_t letters = letterBits(domain);
    for (const Provider& p : providers_) {
      if (p.rank == 0 || (best && best->rank < p.rank)) continue;
      if (!bitsAtMost(p.letters ^ letters, 2)) continue;
      if (editDistanceWithin(domain, p.name, 1) == 1) best = &p;
    }
    return best ? best->name : std::string();
  }

  // Read a slipped top-level label as "com" (a slip is never shorter than
  // three characters, so the name fits where it was).
  char fixedBuffer[kMaxDomain];
  std::string_view query = domain;
  if (isComSlip(domain.substr(dot + 1))) {
    std::memcpy(fixedBuffer, domain.data(), dot + 1);
    std::memcpy(fixedBuffer + dot + 1, "com", 3);
    query = std::string_view(fixedBuffer, dot + 4);
  }
  const int limit = dot <= 6 ? 1 : 2;
  const std::uint64_t letters = letterBits(query);

  struct Best {
    int distance;
    int order;  // provider's rank, then other providers, then the run's domains
    std::uint32_t count;
    std::string_view name;
  } best{limit + 1, 0, 0, {}};
  // `count` is read only for a candidate within the limit: it lives in the
  // tally's map, and reading it for every candidate would cost a cache miss.
  auto consider = [&](std::string_view name, std::uint64_t nameLetters, int order,
                      const std::uint32_t* count) {
    const std::size_t gap =
        name.size() > query.size() ? name.size() - query.size() : query.size() - name.size();
    if (gap > static_cast<std::size_t>(limit)) return;
    if (!bitsAtMost(nameLetters ^ letters, 2 * limit)) return;
    const int distance = editDistanceWithin(query, name, limit);
    if (distance > limit || name == domain) return;
    const Best candidate{distance, order, count ? *count : 0, name};
    const auto key = [](const Best& b) {
      return std::make_tuple(b.distance, b.order, ~b.count, b.name);
    };
    if (best.name.empty() || key(candidate) < key(best)) best = candidate;
  };
  for (const Provider& p : providers_) consider(p.name, p.letters, p.rank ? p.rank : 1000, nullptr);
  if (tally) {
    const std::size_t from = query.size() - std::min<std::size_t>(query.size(), limit);
    const std::size_t to = std::min(query.size() + limit + 1, tally->common_.size());
    for (std::size_t length = from; length < to; ++length) {
      // The letter test first, a block at a time; only the few names that
      // pass it are compared.
      const DomainTally::Bucket& bucket = tally->common_[length];
      const std::size_t n = bucket.letters.size();
      for (std::size_t block = 0; block < n; block += kBlock) {
        std::uint16_t passed[kBlock];
        const std::size_t count = closeLetterSets(
            bucket.letters.data() + block, std::min(kBlock, n - block), letters, 2 * limit, passed);
        for (std::size_t j = 0; j < count; ++j) {
          const std::size_t i = block + passed[j];
          consider(std::string_view(bucket.names).substr(i * length, length), bucket.letters[i],
                   2000, bucket.counts[i]);
        }
      }
    }
  }
  if (!best.name.empty()) return std::string(best.name);
  if (query.data() != domain.data()) return std::string(query);
  return {};
}

}  // namespace orvane
