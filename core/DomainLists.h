// The address lists behind the disposable, free and role flags: read once
// from the installed data files and the user's own files, then consulted for
// every address.
//
// Installed files (in the data folder, see core/DataDir.h):
//   disposable.txt           a listed domain and every name below it are disposable
//   disposable-wildcard.txt  every name below a listed domain is disposable
//   shared-suffixes.txt      names (edu.pl) whose disposable entry counts for
//                            the name alone, never for the names below it
//   free.txt                 free-provider domains (the name itself)
//   role.txt                 role mailbox names
// The user's own files (in the folder the caller gives; each is optional):
//   disposable-add.txt   more disposable domains ("*.name" for the names below only)
//   disposable-allow.txt domains (and the names below them) that are not disposable
//   free-add.txt, free-allow.txt  free-provider domains to add or to take out
//   role-add.txt, role-allow.txt  role mailbox names to add or to take out
// One entry per line; "#" starts a comment; blank lines are ignored. Entries
// are compared in lower case; domains in their ASCII form. For the disposable
// flag the most specific listed name decides: an allow entry for
// example.com clears mail.example.com unless mail.example.com itself (or a
// name between) is listed as disposable.
//
// Loading never throws for a file. An installed file that is missing,
// unreadable, empty or holds a line that is not an entry turns its flag off
// (the lookup answers false) and is named in message(). A user's line that is
// not an entry is skipped and counted.
//
// Owns one text blob (the files' contents, lower-cased in place) and an
// open-addressing hash table of the entries in it. A lookup hashes the name
// from its right end and probes the table at each label boundary, so it costs
// O(length of the name) and allocates nothing. Loaded on any thread; the
// const lookups may then run on any number of threads at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "core/AddressFlags.h"

namespace orvane {

// Converts a user's domain line with non-ASCII letters to its ASCII form
// (IDNA); "" when it cannot. The engine has the converter (libidn2).
using DomainToAscii = std::function<std::string(std::string_view)>;

struct ListOptions {
  // The flags whose lists are read; the others stay off and are not named in
  // the message. Extracted has no list.
  AddressFlags flags = AddressFlags::all();
  // Without it a user's line with non-ASCII letters is skipped as junk.
  DomainToAscii toAscii;
};

class DomainLists {
 public:
  DomainLists() = default;  // every flag off, no message

  static DomainLists load(const std::filesystem::path& dataDir,
                          const std::filesystem::path& userDir, const ListOptions& options = {});

  // `asciiDomain` in any case, with or without a final ".".
  bool isDisposable(std::string_view asciiDomain) const noexcept;
  bool isFree(std::string_view asciiDomain) const noexcept;
  // `mailbox`: the part before the "@" as written; compared in lower case,
  // without a "+tag" and without the quotes of a quoted name.
  bool isRole(std::string_view mailbox) const noexcept;

  // True when the flag's installed lists were read whole.
  bool available(AddressFlag flag) const noexcept { return available_.has(flag); }

  // What went wrong, as clauses for one message line ("disposable.txt is
  // missing, so the disposable flag is off", "2 lines skipped in
  // role-add.txt: not role names"); empty when nothing did.
  const std::vector<std::string>& problems() const noexcept { return problems_; }
  // User lines that were not entries, in all files.
  std::size_t skippedLines() const noexcept { return skippedLines_; }
  std::size_t entryCount() const noexcept { return entries_.size(); }
  // Bytes the loaded lists hold (blob, entries, table).
  std::size_t memoryBytes() const noexcept;

 private:
  struct Entry {
    std::uint32_t offset;  // into blob_
    std::uint8_t length;
    std::uint8_t bits;  // what the entry says (DomainLists.cpp)
  };
  class Loader;

  const Entry* find(std::uint64_t hash, const char* name, std::size_t length) const noexcept;
  void insert(std::uint64_t hash, std::uint32_t offset, std::size_t length, std::uint8_t bits);

  std::string blob_;
  std::vector<Entry> entries_;
  // Open addressing, linear probing. A slot holds the entry's index + 1 in
  // its low bits (indexMask_; 0 = empty) and high bits of the name's hash
  // above them, so that most probes that miss never read the entry.
  std::vector<std::uint32_t> slots_;
  std::uint32_t indexMask_ = 0;
  AddressFlags available_;
  std::vector<std::string> problems_;
  std::size_t skippedLines_ = 0;
};

}  // namespace orvane
