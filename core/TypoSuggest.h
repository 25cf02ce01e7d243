// Suggested corrections for mistyped domains ("gmial.com" -> "gmail.com").
// A suggestion is only text beside the verdict; nothing rewrites an entry.
//
// The rule, for a domain in its ASCII form:
//  - A domain that does not exist or has no mail host: if its top-level label
//    is one edit from "com" and is not a top-level domain of its own (".con",
//    ".cmo", ".c0m"; not ".co", ".cm", ".om", ".cam"), it is read with ".com".
//    Then the nearest candidate wins: a well-known provider or a domain
//    common in the run (DomainTally::kCommon addresses of it), within 1 edit
//    when the name before the top-level label has up to 6 characters, else
//    within 2. Edits are insertions, deletions, substitutions and swaps of
//    neighbouring characters (Damerau-Levenshtein distance). With no
//    candidate, the domain with ".com" is the suggestion if the top-level
//    label was a slip.
//  - A domain that has mail hosts: only the nearest of the 20 largest
//    providers exactly one edit away (a typo domain may well be registered by
//    someone else and accept mail).
//  - Never for a well-known provider itself, nor when DNS gave no answer.
// Ties go to the smaller distance, then the larger provider (the order of
// "top"), the other providers, the run's domains with more addresses, then
// the alphabet.
//
// DomainTally: owned by a run, fed on the loop thread. TypoSuggest: loaded
// once; suggest() is const and may run on any thread whose tally is not being
// fed at the same time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace orvane {

// What DNS said about a domain.
enum class DomainDns : std::uint8_t {
  Unknown,       // no answer (time-out, server failure): no suggestion
  NoSuchDomain,  // the name does not exist
  NoMailHost,    // it exists but names no mail host
  HasMailHosts,
};

// The Damerau-Levenshtein distance of `a` and `b` when it is at most `limit`
// (0 to 2), else limit + 1. No allocation.
int editDistanceWithin(std::string_view a, std::string_view b, int limit) noexcept;

// How many addresses of each domain a run has seen. Feed it the domain of
// every address whose domain has mail hosts, so that only domains that take
// mail become candidates; a domain with kCommon or more becomes one.
class DomainTally {
 public:
  static constexpr std::uint32_t kCommon = 5;

  // Counts one address of `asciiDomain` (any case, final "." ignored).
  // Allocates only for a domain not seen before.
  void add(std::string_view asciiDomain);
  std::uint32_t count(std::string_view asciiDomain) const;
  std::size_t domains() const noexcept { return counts_.size(); }
  // Domains with kCommon addresses or more: the run's candidates.
  std::size_t commonDomains() const noexcept { return commonCount_; }
  void clear();

 private:
  friend class TypoSuggest;
  struct Hash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const noexcept {
      return std::hash<std::string_view>()(s);
    }
  };
  // The common domains of one length, side by side: a search reads the
  // letter sets in a row and looks at a name only when its set is close.
  struct Bucket {
    std::string names;                         // name i at [i * length, (i + 1) * length)
    std::vector<std::uint64_t> letters;        // which characters occur (TypoSuggest.cpp)
    std::vector<const std::uint32_t*> counts;  // into counts_
  };
  std::unordered_map<std::string, std::uint32_t, Hash, std::equal_to<>> counts_;
  std::vector<Bucket> common_;  // index: the names' length
  std::size_t commonCount_ = 0;
};

class TypoSuggest {
 public:
  TypoSuggest() = default;  // no providers: suggests nothing

  // Reads the providers file: one domain per line, "top" after the largest
  // ones in order of size, "#" comments. "" when it loaded, else what went
  // wrong (the suggester then stays empty).
  std::string load(const std::filesystem::path& providersFile);
  // Adds a provider; `top` marks one of the largest, in order of size.
  void addProvider(std::string_view domain, bool top);
  bool empty() const noexcept { return providers_.empty(); }
  std::size_t providerCount() const noexcept { return providers_.size(); }

  // The suggested domain for `asciiDomain`, "" for none. `tally` may be null.
  std::string suggest(std::string_view asciiDomain, DomainDns dns, const DomainTally* tally) const;

 private:
  struct Provider {
    std::string name;
    std::uint64_t letters;
    std::uint16_t rank;  // 1... for the top ones, 0 for the others
  };
  std::vector<Provider> providers_;
  std::uint16_t tops_ = 0;
};

}  // namespace orvane
