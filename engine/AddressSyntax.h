// Whether an address can be checked, and in which form it goes on the wire.
// Decided before any traffic: what is not an address is reported invalid at
// once; a mailbox name with non-ASCII letters is not sent (our dialogue has no
// SMTPUTF8), so nothing is known about it; a domain with non-ASCII letters is
// sent in its ASCII form (IDNA 2008 with the UTS #46 mapping). Characters are
// never dropped: the address is sent as it stands or not at all.
//
// Pure functions; any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace orvane::engine {

struct PreparedAddress {
  enum class Status : std::uint8_t {
    Ready,       // `address` and `domain` are what DNS and SMTP get
    NotAddress,  // not an e-mail address; `reason` says why
    NotSendable  // an address we cannot send without SMTPUTF8; `reason` says why
  };
  Status status = Status::NotAddress;
  std::string address;  // mailbox name + "@" + the domain's ASCII form
  std::string domain;   // the domain's ASCII form, in lower case
  std::string reason;
};

// Checks `text` (an address as cut out of the user's text): one "@" after the
// mailbox name (the last "@", since a quoted name may hold one), a mailbox
// name of 1 to 64 octets (plain, or quoted without control characters), a
// domain of letters, digits, "-" and "." in labels of 1 to 63 octets (or an
// address literal in "[...]"), 254 octets at most in all.
PreparedAddress prepareAddress(std::string_view text);

}  // namespace orvane::engine
