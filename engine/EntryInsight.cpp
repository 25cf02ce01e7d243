#include "engine/EntryInsight.h"

#include "core/Verdict.h"
#include "engine/AddressSyntax.h"
#include "engine/ExtractAddress.h"

namespace orvane::engine {

void EntryInsight::countDomains(const RecipientList& list) {
  tally_.clear();
  for (const Entry& e : list.entries()) {
    if (domainDnsOfResultText(e.resultText()) != DomainDns::HasMailHosts) continue;
    const PreparedAddress prepared = prepareAddress(ExtractAddress(e.email()));
    if (prepared.status == PreparedAddress::Status::Ready) tally_.add(prepared.domain);
  }
}

EntryNotes EntryInsight::notesOf(std::string_view entryText, std::string_view resultText) const {
  EntryNotes notes;
  const std::string address = ExtractAddress(entryText);
  const PreparedAddress prepared = prepareAddress(address);
  const bool ready = prepared.status == PreparedAddress::Status::Ready;
  notes.checked = ready ? prepared.address : address;
  if (flags_.has(AddressFlag::Extracted) && holdsMoreThanAddress(entryText)) {
    notes.flags.set(AddressFlag::Extracted);
  }
  if (!ready) return notes;
  notes.flags = notes.flags | (insight_.flags(notes.checked) & flags_);
  notes.suggestion =
      insight_.suggestion(prepared.domain, domainDnsOfResultText(resultText), tally_);
  return notes;
}

}  // namespace orvane::engine
