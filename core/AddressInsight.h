// What a list cleaner wants to know about an address besides its verdict:
// its flags (disposable, role, free) and a suggested correction of a
// mistyped domain. One object, loaded once at start from the installed lists
// (installedListsDir()) and the user's own list files, then asked per
// address. The extracted flag comes from the entry's text instead
// (engine::holdsMoreThanAddress) and is added by the caller.
//
// Missing or damaged installed files never stop the program: their flags
// (or the suggestions) are off and message() says so in one line. See
// core/DomainLists.h for the files and core/TypoSuggest.h for the rule.
//
// Owns the loaded lists (about 4.3 MB with the installed ones). Loaded on
// any thread; the const lookups may run on any thread (suggestion() as long
// as its tally is not being fed at the same time).
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "core/AddressFlags.h"
#include "core/DomainLists.h"
#include "core/TypoSuggest.h"

namespace orvane {

// What is said of an entry beside its verdict: its flags, a suggested domain
// ("" for none) and the address that was checked (cut out of the entry's
// text, its domain in ASCII form).
struct EntryNotes {
  AddressFlags flags;
  std::string suggestion;
  std::string checked;
};

// The providers file of the data folder (see core/TypoSuggest.h).
inline constexpr const char* kProvidersFile = "providers.txt";

class AddressInsight {
 public:
  struct Options {
    AddressFlags flags = AddressFlags::all();  // which flags' lists to read
    bool suggestions = true;
    DomainToAscii toAscii;  // for the user's non-ASCII domain lines
  };

  AddressInsight() = default;  // nothing loaded: no flags, no suggestions

  // `dataDir`: the installed lists; `userDir`: the user's own list files
  // (may be empty or not exist). Never throws for a file.
  static AddressInsight load(const std::filesystem::path& dataDir,
                             const std::filesystem::path& userDir, const Options& options);
  static AddressInsight load(const std::filesystem::path& dataDir,
                             const std::filesystem::path& userDir) {
    return load(dataDir, userDir, Options{});
  }

  // Disposable, role and free for "mailbox@domain" (split at the last "@";
  // the domain in ASCII form). No flag for text without "@". No allocation.
  AddressFlags flags(std::string_view asciiAddress) const noexcept;
  AddressFlags flags(std::string_view mailbox, std::string_view asciiDomain) const noexcept;

  // The suggested domain for an address's domain, "" for none.
  std::string suggestion(std::string_view asciiDomain, DomainDns dns,
                         const DomainTally& tally) const {
    return typos_.suggest(asciiDomain, dns, &tally);
  }

  // "" when everything loaded; else one line for the user (stderr, status
  // bar): "Address lists: free.txt is missing in /usr/share/orvane/lists, so
  // the free flag is off."
  const std::string& message() const noexcept { return message_; }

  const DomainLists& lists() const noexcept { return lists_; }
  const TypoSuggest& typos() const noexcept { return typos_; }

 private:
  DomainLists lists_;
  TypoSuggest typos_;
  std::string message_;
};

}  // namespace orvane
