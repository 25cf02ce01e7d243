// What is said of a stored entry beside its verdict (its flags, a likely
// correction of a mistyped domain, the address that was checked), worked out
// again from the entry's text and its stored result: the project file keeps
// neither. Export and the window use it; a run's own results carry the same
// notes from the validation facade.
//
// Borrows the loaded AddressInsight; owns the count of the list's domains
// with mail hosts (for suggestions of domains common in the list). Any one
// thread.
#pragma once

#include <string_view>

#include "core/AddressInsight.h"
#include "core/RecipientList.h"

namespace orvane::engine {

class EntryInsight final {
 public:
  // `flags`: the flags to compute (the options').
  EntryInsight(const AddressInsight& insight, AddressFlags flags)
      : insight_(insight), flags_(flags) {}

  // Counts the domains of `list` whose stored results show mail hosts.
  void countDomains(const RecipientList& list);
  EntryNotes notesOf(std::string_view entryText, std::string_view resultText) const;
  EntryNotes notesOf(const Entry& entry) const {
    return notesOf(entry.email(), entry.resultText());
  }

 private:
  const AddressInsight& insight_;
  AddressFlags flags_;
  DomainTally tally_;
};

}  // namespace orvane::engine
