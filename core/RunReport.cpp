#include "core/RunReport.h"

#include <algorithm>
#include <cstdio>
#include <numeric>

#include "core/RecipientList.h"

namespace orvane {
namespace {

char lowerAscii(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equalIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (lowerAscii(a[i]) != lowerAscii(b[i])) return false;
  }
  return true;
}

std::string_view domainPart(std::string_view address) {
  const std::size_t at = address.rfind('@');
  return at == std::string_view::npos ? std::string_view() : address.substr(at + 1);
}

bool hasUpper(std::string_view text) {
  return std::any_of(text.begin(), text.end(), [](char c) { return c >= 'A' && c <= 'Z'; });
}

// Only invalid and unknown results keep their causes: index 0 and 1.
bool hasCauses(Verdict verdict) {
  return verdict == Verdict::Invalid || verdict == Verdict::Unknown;
}

std::size_t causeSlot(Verdict verdict) {
  return verdict == Verdict::Invalid ? 0 : 1;
}

std::string grouped(std::uint64_t n) {
  std::string digits = std::to_string(n);
  for (std::size_t i = digits.size(); i > 3; i -= 3) digits.insert(i - 3, ",");
  return digits;
}

std::string fixed(double value, int decimals) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, value);
  return buf;
}

std::string duration(double seconds) {
  if (seconds < 60) return fixed(seconds, 1) + " s";
  const auto total = static_cast<std::uint64_t>(seconds + 0.5);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%llu:%02llu:%02llu",
                static_cast<unsigned long long>(total / 3600),
                static_cast<unsigned long long>(total / 60 % 60),
                static_cast<unsigned long long>(total % 60));
  return buf;
}

std::string padLeft(std::string text, std::size_t width) {
  if (text.size() < width) text.insert(0, width - text.size(), ' ');
  return text;
}

std::string padRight(std::string text, std::size_t width) {
  if (text.size() < width) text.append(width - text.size(), ' ');
  return text;
}

}  // namespace

std::size_t RunReport::slotOf(Verdict verdict) {
  switch (verdict) {
    case Verdict::Valid:
      return kValid;
    case Verdict::Invalid:
      return kInvalid;
    case Verdict::CatchAll:
      return kCatchAll;
    case Verdict::Unknown:
      return kUnknown;
    case Verdict::None:
      break;
  }
  return kPending;
}

RunReport::Interned::Interned(const Interned& other) : names(other.names) {
  ids.reserve(names.size());
  for (std::uint32_t i = 0; i < names.size(); ++i) ids.emplace(std::string_view(names[i]), i);
}

RunReport::Interned& RunReport::Interned::operator=(const Interned& other) {
  if (this != &other) *this = Interned(other);
  return *this;
}

std::uint32_t RunReport::Interned::id(std::string_view text) {
  if (const auto it = ids.find(text); it != ids.end()) return it->second;
  const auto next = static_cast<std::uint32_t>(names.size());
  const std::string& stored = names.emplace_back(text);
  ids.emplace(std::string_view(stored), next);
  return next;
}

std::string causeOf(std::string_view message, std::string_view address) {
  std::string out;
  if (address.empty() || message.size() < address.size()) return std::string(message);
  std::size_t from = 0;
  for (std::size_t i = 0; i + address.size() <= message.size();) {
    if (equalIgnoringCase(message.substr(i, address.size()), address)) {
      // "<bob@x>" as servers write it becomes "<address>", not "<<address>>".
      std::size_t start = i;
      std::size_t end = i + address.size();
      if (start > from && message[start - 1] == '<' && end < message.size() &&
          message[end] == '>') {
        --start;
        ++end;
      }
      out.append(message.substr(from, start - from));
      out.append(kAddressPlaceholder);
      i = end;
      from = end;
    } else {
      ++i;
    }
  }
  out.append(message.substr(from));
  return out;
}

std::string domainOf(std::string_view address) {
  std::string domain(domainPart(address));
  for (char& c : domain) c = lowerAscii(c);
  return domain;
}

RunReport::Mark RunReport::add(Verdict verdict, std::string_view message, std::string_view address,
                               Notes notes) {
  Mark mark;
  mark.verdict = verdict;
  const std::size_t slot = slotOf(verdict);
  ++counts_[slot];
  mark.notes =
      static_cast<std::uint8_t>(notes.flags.bits() | (notes.suggested ? Mark::kSuggested : 0));
  for (std::size_t i = 0; i < flagCounts_.size(); ++i) {
    if (notes.flags.has(kAddressFlags[i])) ++flagCounts_[i];
  }
  if (notes.suggested) ++suggestions_;

  // Most addresses are in lower case already: no copy for them.
  const std::string_view domain = domainPart(address);
  mark.domain = hasUpper(domain) ? domains_.id(domainOf(address)) : domains_.id(domain);
  if (mark.domain >= domainCounts_.size()) domainCounts_.resize(mark.domain + 1);
  ++domainCounts_[mark.domain][slot];

  if (hasCauses(verdict)) {
    // A message rarely names the address; only then is a copy needed.
    const bool named =
        address.find('@') != std::string_view::npos && message.find('@') != std::string_view::npos;
    const std::string cause = named ? causeOf(message, address) : std::string();
    mark.cause = causes_.id(named ? std::string_view(cause) : message);
    if (mark.cause >= causeCounts_.size()) causeCounts_.resize(mark.cause + 1);
    ++causeCounts_[mark.cause][causeSlot(verdict)];
  }
  return mark;
}

void RunReport::remove(const Mark& mark) {
  const std::size_t slot = slotOf(mark.verdict);
  if (counts_[slot] > 0) --counts_[slot];
  const AddressFlags flags = AddressFlags::fromBits(mark.notes);
  for (std::size_t i = 0; i < flagCounts_.size(); ++i) {
    if (flags.has(kAddressFlags[i]) && flagCounts_[i] > 0) --flagCounts_[i];
  }
  if ((mark.notes & Mark::kSuggested) != 0 && suggestions_ > 0) --suggestions_;
  if (mark.domain < domainCounts_.size() && domainCounts_[mark.domain][slot] > 0) {
    --domainCounts_[mark.domain][slot];
  }
  if (mark.cause < causeCounts_.size() && causeCounts_[mark.cause][causeSlot(mark.verdict)] > 0) {
    --causeCounts_[mark.cause][causeSlot(mark.verdict)];
  }
}

void RunReport::clear() {
  *this = RunReport();
}

std::uint64_t RunReport::flagCount(AddressFlag flag) const {
  for (std::size_t i = 0; i < flagCounts_.size(); ++i) {
    if (kAddressFlags[i] == flag) return flagCounts_[i];
  }
  return 0;
}

std::uint64_t RunReport::results() const {
  return counts_[kValid] + counts_[kInvalid] + counts_[kCatchAll] + counts_[kUnknown];
}

double RunReport::percent(Verdict verdict) const {
  const std::uint64_t all = results();
  if (all == 0 || verdict == Verdict::None) return 0;
  return 100.0 * static_cast<double>(count(verdict)) / static_cast<double>(all);
}

std::vector<RunReport::Cause> RunReport::topCauses(Verdict verdict, std::size_t n) const {
  if (!hasCauses(verdict)) return {};
  const std::size_t slot = causeSlot(verdict);
  std::vector<std::uint32_t> ids;
  for (std::uint32_t i = 0; i < causeCounts_.size(); ++i) {
    if (causeCounts_[i][slot] > 0) ids.push_back(i);
  }
  const auto before = [&](std::uint32_t a, std::uint32_t b) {
    if (causeCounts_[a][slot] != causeCounts_[b][slot]) {
      return causeCounts_[a][slot] > causeCounts_[b][slot];
    }
    return causes_.names[a] < causes_.names[b];
  };
  const std::size_t keep = std::min(n, ids.size());
  std::partial_sort(ids.begin(), ids.begin() + static_cast<std::ptrdiff_t>(keep), ids.end(),
                    before);
  std::vector<Cause> out;
  out.reserve(keep);
  for (std::size_t i = 0; i < keep; ++i)
    out.push_back({causes_.names[ids[i]], causeCounts_[ids[i]][slot]});
  return out;
}

std::vector<RunReport::Domain> RunReport::topDomains(std::size_t n) const {
  std::vector<std::uint64_t> totals(domainCounts_.size());
  std::vector<std::uint32_t> ids;
  ids.reserve(domainCounts_.size());
  for (std::uint32_t i = 0; i < domainCounts_.size(); ++i) {
    const Counts& c = domainCounts_[i];
    totals[i] = std::accumulate(c.begin(), c.end(), std::uint64_t{0});
    if (totals[i] > 0) ids.push_back(i);
  }
  const auto before = [&](std::uint32_t a, std::uint32_t b) {
    if (totals[a] != totals[b]) return totals[a] > totals[b];
    return domains_.names[a] < domains_.names[b];
  };
  const std::size_t keep = std::min(n, ids.size());
  std::partial_sort(ids.begin(), ids.begin() + static_cast<std::ptrdiff_t>(keep), ids.end(),
                    before);
  std::vector<Domain> out;
  out.reserve(keep);
  for (std::size_t i = 0; i < keep; ++i) {
    const std::string& name = domains_.names[ids[i]];
    out.push_back(
        {name.empty() ? std::string(kNoDomain) : name, domainCounts_[ids[i]], totals[ids[i]]});
  }
  return out;
}

std::size_t RunReport::domainCount() const {
  return static_cast<std::size_t>(
      std::count_if(domainCounts_.begin(), domainCounts_.end(), [](const Counts& c) {
        return std::any_of(c.begin(), c.end(), [](std::uint64_t n) { return n > 0; });
      }));
}

void RunReport::setTiming(double seconds, std::uint64_t addresses) {
  timed_ = true;
  seconds_ = seconds;
  timedAddresses_ = addresses;
}

double RunReport::addressesPerSecond() const {
  if (!timed_ || seconds_ < 0.001) return 0;
  return static_cast<double>(timedAddresses_) / seconds_;
}

// ------------------------------------------------------------------ ListReport

RunReport::Mark ListReport::add(const RecipientList& list, std::size_t row) {
  const Entry& e = list.entry(row);
  Verdict verdict = Verdict::None;
  std::string_view message;
  if (e.resultState == kGood || e.resultState == kBad) {
    std::int32_t code = 0;
    if (parseResultText(e.resultText(), code, message))
      verdict = verdictOfResultText(e.resultText());
  }
  const RunReport::Notes notes = notesOf_ && row < noted_ ? notesOf_(row) : RunReport::Notes{};
  return report_.add(verdict, message, e.email(), notes);
}

void ListReport::updateNotesCounted() {
  report_.setNotesCounted(notesOf_ && noted_ >= marks_.size());
}

void ListReport::setNotesOf(NotesOf notesOf) {
  notesOf_ = std::move(notesOf);
  noted_ = 0;
  updateNotesCounted();
}

bool ListReport::countNotes(const RecipientList& list, std::size_t rows) {
  if (!notesOf_) return false;
  const std::size_t end = std::min({marks_.size(), list.count(), noted_ + rows});
  while (noted_ < end) {
    const std::size_t row = noted_++;
    report_.remove(marks_[row]);
    marks_[row] = add(list, row);
  }
  updateNotesCounted();
  return report_.notesCounted();
}

void ListReport::rebuild(const RecipientList& list, std::size_t rows) {
  report_.clear();
  marks_.clear();
  noted_ = 0;
  rows = std::min(rows, list.count());
  marks_.reserve(rows);
  for (std::size_t i = 0; i < rows; ++i) marks_.push_back(add(list, i));
  updateNotesCounted();
}

void ListReport::refresh(const RecipientList& list, std::size_t first, std::size_t last) {
  if (marks_.empty() || list.count() == 0) return;
  last = std::min({last, marks_.size() - 1, list.count() - 1});
  for (std::size_t i = first; i <= last; ++i) {
    report_.remove(marks_[i]);
    marks_[i] = add(list, i);
  }
}

void ListReport::insert(const RecipientList& list, std::size_t first, std::size_t count) {
  first = std::min(first, marks_.size());
  // Rows that come in at or before the cursor are counted with their notes.
  if (first <= noted_) noted_ += count;
  std::vector<RunReport::Mark> added;
  added.reserve(count);
  for (std::size_t i = first; i < first + count && i < list.count(); ++i) {
    added.push_back(add(list, i));
  }
  marks_.insert(marks_.begin() + static_cast<std::ptrdiff_t>(first), added.begin(), added.end());
  noted_ = std::min(noted_, marks_.size());
  updateNotesCounted();
}

void ListReport::erase(std::size_t first, std::size_t count) {
  if (first >= marks_.size()) return;
  const std::size_t end = std::min(marks_.size(), first + count);
  for (std::size_t i = first; i < end; ++i) report_.remove(marks_[i]);
  marks_.erase(marks_.begin() + static_cast<std::ptrdiff_t>(first),
               marks_.begin() + static_cast<std::ptrdiff_t>(end));
  if (first < noted_) noted_ -= std::min(noted_, end) - first;
  updateNotesCounted();
}

// ------------------------------------------------------------------ text

std::string formatRunReport(const RunReport& report, std::size_t top) {
  std::string out;
  const std::uint64_t results = report.results();
  out +=
      "Report: " + grouped(results) + (results == 1 ? " address" : " addresses") + " with a result";
  if (report.count(RunReport::kPending) > 0) {
    out += ", " + grouped(report.count(RunReport::kPending)) + " without";
  }
  out += "\n";
  std::size_t countWidth = 1;
  for (const Verdict v : RunReport::kVerdicts) {
    countWidth = std::max(countWidth, grouped(report.count(v)).size());
  }
  for (const Verdict v : RunReport::kVerdicts) {
    out += "  " + padRight(std::string(verdictName(v)), 10) +
           padLeft(grouped(report.count(v)), countWidth) + "  " +
           padLeft(fixed(report.percent(v), 1) + "%", 6) + "\n";
  }
  if (report.timed()) {
    out += "  time      " + duration(report.seconds()) + " for " +
           grouped(report.timedAddresses()) + " addresses, " +
           fixed(report.addressesPerSecond(), 1) + " addresses/s\n";
  }
  for (const Verdict v : {Verdict::Invalid, Verdict::Unknown}) {
    const auto causes = report.topCauses(v, top);
    if (causes.empty()) continue;
    out += "Top causes of " + std::string(verdictName(v)) + ":\n";
    std::size_t width = 1;
    for (const auto& c : causes) width = std::max(width, grouped(c.count).size());
    for (const auto& c : causes) {
      const double share = 100.0 * static_cast<double>(c.count) /
                           static_cast<double>(std::max<std::uint64_t>(report.count(v), 1));
      out += "  " + padLeft(grouped(c.count), width) + "  " + padLeft(fixed(share, 1) + "%", 6) +
             "  " + c.message + "\n";
    }
  }
  const auto domains = report.topDomains(top);
  if (!domains.empty()) {
    std::size_t nameWidth = 6;
    for (const auto& d : domains) nameWidth = std::max(nameWidth, d.name.size());
    const bool pending = report.count(RunReport::kPending) > 0;
    const std::array<const char*, RunReport::kSlots> heads = {"valid", "invalid", "catch-all",
                                                              "unknown", "no result"};
    const std::size_t columns = pending ? RunReport::kSlots : RunReport::kSlots - 1;
    std::string head = "  " + padRight("domain", nameWidth) + "  " + padLeft("addresses", 9);
    for (std::size_t s = 0; s < columns; ++s) head += "  " + padLeft(heads[s], 9);
    out += "Domains with the most addresses:\n" + head + "\n";
    for (const auto& d : domains) {
      std::string line = "  " + padRight(d.name, nameWidth) + "  " + padLeft(grouped(d.total), 9);
      for (std::size_t s = 0; s < columns; ++s) line += "  " + padLeft(grouped(d.counts[s]), 9);
      out += line + "\n";
    }
  }
  return out;
}

}  // namespace orvane
