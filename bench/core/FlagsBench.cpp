// Address flags and typo suggestions for 1,000,000 addresses, and the cost of
// loading the address lists at start. Reads the lists installed beside the
// program (build tree: share/orvane/lists); prints each figure with its goal.
//
// The addresses are made up as a large mixed list would be: free providers
// (weighted towards the largest), 50,000 company domains with a long tail
// (names of random syllables),
// disposable domains and their subdomains, role and "+tag" mailbox names,
// mixed case; 3% of the domains carry a typing slip (no such domain), 1% name
// no mail host. The tally is fed with every address whose domain has mail
// hosts, as the engine does. Suggestions are measured twice: for the run's
// own mix, and for the worst case where every domain is a miss and is
// compared with every candidate.
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "core/AddressInsight.h"
#include "core/DataDir.h"

namespace orvane {
namespace {

constexpr std::size_t kAddresses = 1000000;
constexpr std::size_t kCompanies = 50000;
constexpr double kLoadGoalMs = 30;
constexpr double kLoadGoalMb = 8;
constexpr double kFlagsGoal = 1e6;
constexpr double kSuggestGoal = 1e5;

// Throughput is measured in this thread's CPU time: the machine may be
// shared, and waiting for a core is not the code's cost. Loading is measured
// on the wall clock too (it reads files).
double clockSeconds(clockid_t clock) {
  timespec ts{};
  clock_gettime(clock, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}
double now() {
  return clockSeconds(CLOCK_THREAD_CPUTIME_ID);
}
double wallNow() {
  return clockSeconds(CLOCK_MONOTONIC);
}

std::size_t residentBytes() {
  std::ifstream statm("/proc/self/statm");
  std::size_t pages = 0;
  std::size_t resident = 0;
  statm >> pages >> resident;
  return resident * static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
}

// A small deterministic generator, so that every run measures the same list.
struct Random {
  std::uint64_t state = 0x9E3779B97F4A7C15ULL;
  std::uint64_t next() {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
  }
  std::size_t below(std::size_t n) { return static_cast<std::size_t>(next() % n); }
  bool chance(double p) { return static_cast<double>(next() % 1000000) < p * 1e6; }
};

std::vector<std::string> readList(const std::filesystem::path& file) {
  std::vector<std::string> names;
  std::ifstream in(file);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line[0] != '#') names.push_back(line.substr(0, line.find(' ')));
  }
  return names;
}

// One slip: a swapped, dropped, doubled or changed character, or a ".con".
std::string slip(const std::string& domain, Random& random) {
  std::string d = domain;
  const std::size_t dot = d.rfind('.');
  const std::size_t i = random.below(std::max<std::size_t>(dot, 2) - 1);
  switch (random.below(5)) {
    case 0:
      std::swap(d[i], d[i + 1]);
      break;
    case 1:
      d.erase(i, 1);
      break;
    case 2:
      d.insert(i, 1, d[i]);
      break;
    case 3:
      d[i] = static_cast<char>('a' + random.below(26));
      break;
    default:
      if (d.ends_with(".com")) d.back() = 'n';
  }
  return d;
}

// Company k's domain: two to four syllables of random letters (consonant,
// vowel, sometimes a closing consonant), so that names vary about as much as
// real ones do.
std::string company(std::size_t k) {
  static const char kConsonants[] = "bcdfghjklmnprstvwxz";
  static const char kVowels[] = "aeiouy";
  std::uint64_t x = k * 0x9E3779B97F4A7C15ULL + 1;
  auto next = [&x](std::size_t n) {
    x ^= x >> 29;
    x *= 0xBF58476D1CE4E5B9ULL;
    x ^= x >> 32;
    return static_cast<std::size_t>(x % n);
  };
  std::string name;
  const std::size_t syllables = 2 + next(3);
  for (std::size_t i = 0; i < syllables; ++i) {
    name += kConsonants[next(19)];
    name += kVowels[next(6)];
    if (next(10) < 3) name += kConsonants[next(19)];
    if (i == 0 && next(8) == 0) name += '-';
  }
  const char* const kTlds[] = {".com", ".de", ".co.uk", ".fr", ".net", ".example"};
  return name + kTlds[next(std::size(kTlds))];
}

struct Address {
  std::string text;
  std::string domain;
  DomainDns dns;
};

std::vector<Address> makeAddresses(const std::filesystem::path& lists) {
  const std::vector<std::string> providers = readList(lists / "providers.txt");
  const std::vector<std::string> disposable = readList(lists / "disposable.txt");
  const std::vector<std::string> free = readList(lists / "free.txt");
  const char* const roles[] = {"info", "sales", "support", "admin", "contact", "office", "hr"};
  const char* const first[] = {"anna", "bernd", "chloe", "david", "eva", "frank", "hanna", "ivan"};
  Random random;
  std::vector<Address> addresses;
  addresses.reserve(kAddresses);
  for (std::size_t n = 0; n < kAddresses; ++n) {
    std::string mailbox = random.chance(0.08) ? roles[random.below(7)]
                                              : first[random.below(8)] + std::string(".") +
                                                    std::to_string(random.below(100000));
    if (random.chance(0.05)) mailbox += "+news";
    std::string domain;
    const std::size_t kind = random.below(100);
    if (kind < 40) {
      // The largest providers take most of a list's free addresses.
      domain = providers[std::min(random.below(20), random.below(providers.size()))];
    } else if (kind < 48) {
      domain = disposable[random.below(disposable.size())];
      if (random.chance(0.2)) domain = "mx" + std::to_string(random.below(9)) + "." + domain;
    } else if (kind < 53) {
      domain = free[random.below(free.size())];
    } else {
      // A long tail: company k about as often as 1/k.
      const double u = static_cast<double>(random.below(1000000) + 1) / 1e6;
      const auto k = static_cast<std::size_t>(std::pow(static_cast<double>(kCompanies), u));
      domain = company(k);
    }
    DomainDns dns = DomainDns::HasMailHosts;
    if (random.chance(0.03)) {
      domain = slip(domain, random);
      dns = DomainDns::NoSuchDomain;
    } else if (random.chance(0.01)) {
      domain = "parked" + std::to_string(random.below(5000)) + ".example.net";
      dns = DomainDns::NoMailHost;
    }
    if (random.chance(0.02))
      std::transform(domain.begin(), domain.end(), domain.begin(), ::toupper);
    addresses.push_back({mailbox + "@" + domain, domain, dns});
  }
  return addresses;
}

void measureLoad(const std::filesystem::path& lists) {
  const std::size_t before = residentBytes();
  double start = now();
  const double wallStart = wallNow();
  AddressInsight first = AddressInsight::load(lists, {});
  const double firstMs = (now() - start) * 1e3;
  const double firstWallMs = (wallNow() - wallStart) * 1e3;
  const double residentMb = static_cast<double>(residentBytes() - before) / 1e6;
  if (!first.message().empty()) std::printf("%s\n", first.message().c_str());
  std::vector<double> ms;
  for (int i = 0; i < 9; ++i) {
    start = now();
    AddressInsight again = AddressInsight::load(lists, {});
    ms.push_back((now() - start) * 1e3);
  }
  std::sort(ms.begin(), ms.end());
  std::printf("load lists (%zu entries, %zu providers) from %s\n", first.lists().entryCount(),
              first.typos().providerCount(), lists.c_str());
  std::printf(
      "  CPU time: first %.1f ms (wall %.1f ms), best %.1f ms, median %.1f ms (goal: at most %.0f "
      "ms)\n",
      firstMs, firstWallMs, ms.front(), ms[ms.size() / 2], kLoadGoalMs);
  std::printf("  resident: +%.2f MB, of which the lists hold %.2f MB (goal: at most %.0f MB)\n",
              residentMb, static_cast<double>(first.lists().memoryBytes()) / 1e6, kLoadGoalMb);
}

void measureFlags(const AddressInsight& insight, const std::vector<Address>& addresses) {
  double best = 1e9;
  std::size_t counts[4] = {};
  for (int pass = 0; pass < 3; ++pass) {
    std::fill(std::begin(counts), std::end(counts), 0);
    const double start = now();
    for (const Address& a : addresses) {
      const AddressFlags f = insight.flags(a.text);
      counts[0] += f.has(AddressFlag::Disposable);
      counts[1] += f.has(AddressFlag::Role);
      counts[2] += f.has(AddressFlag::Free);
      counts[3] += f.empty();
    }
    best = std::min(best, now() - start);
  }
  std::printf("flags for %zu addresses: %.0f ms, %.2f M addresses/s (goal: at least %.0f M/s)\n",
              addresses.size(), best * 1e3, static_cast<double>(addresses.size()) / best / 1e6,
              kFlagsGoal / 1e6);
  std::printf("  disposable %zu, role %zu, free %zu, none %zu\n", counts[0], counts[1], counts[2],
              counts[3]);
}

void measureSuggestions(const AddressInsight& insight, const std::vector<Address>& addresses,
                        bool everyDomainMisses) {
  DomainTally tally;
  for (const Address& a : addresses) {
    if (a.dns == DomainDns::HasMailHosts) tally.add(a.domain);
  }
  double best = 1e9;
  std::size_t suggested = 0;
  for (int pass = 0; pass < 3; ++pass) {
    suggested = 0;
    const double start = now();
    for (const Address& a : addresses) {
      const DomainDns dns = everyDomainMisses ? DomainDns::NoSuchDomain : a.dns;
      suggested += !insight.suggestion(a.domain, dns, tally).empty();
    }
    best = std::min(best, now() - start);
  }
  std::printf(
      "suggestions for %zu addresses, %s: %.0f ms, %.0f k/s (goal: at least %.0f k/s)\n"
      "  %zu domains in the tally, %zu of them common; %zu suggestions made\n",
      addresses.size(), everyDomainMisses ? "every domain a miss (worst case)" : "the run's mix",
      best * 1e3, static_cast<double>(addresses.size()) / best / 1e3, kSuggestGoal / 1e3,
      tally.domains(), tally.commonDomains(), suggested);
}

}  // namespace
}  // namespace orvane

int main() {
  using namespace orvane;
  const std::filesystem::path lists = installedListsDir();
  std::printf("cores: %ld; throughput in CPU time of the measuring thread\n",
              sysconf(_SC_NPROCESSORS_ONLN));
  measureLoad(lists);
  const AddressInsight insight = AddressInsight::load(lists, {});
  const std::vector<Address> addresses = makeAddresses(lists);
  measureFlags(insight, addresses);
  measureSuggestions(insight, addresses, false);
  measureSuggestions(insight, addresses, true);
  return 0;
}
