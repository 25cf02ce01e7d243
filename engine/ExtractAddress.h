// Cutting an e-mail address out of a text: the address around the text's
// first "@", as far as address characters reach on either side, so that a
// display name, angle brackets or a trailing comma are left out while nothing
// is ever dropped from inside the address; and whether the text held more
// than that address.
//
// Pure functions; callable from any thread.
#pragma once

#include <string>
#include <string_view>

namespace orvane::engine {

// True for the characters an address may hold: letters and digits, the
// characters RFC 5322 allows in a mailbox name ("!#$%&'*+-/=?^_`{|}~" and
// "."), "@", "[" and "]" (address literals), and every byte of a non-ASCII
// letter (UTF-8). Blanks, "<", ">", ",", ";", ":", "(", ")", "\"" and control
// characters end an address.
bool isAddressChar(char c) noexcept;

// The address around the first "@" of `text` ("@" included); empty when the
// text holds no "@". "John <john@example.com>" gives "john@example.com",
// "a+b@x.org," gives "a+b@x.org", and a quoted mailbox name directly before
// the "@" is kept whole with its quotes ("\"j doe\"@x.org").
std::string ExtractAddress(std::string_view text);

// True when the entry's text holds more than the address ExtractAddress cuts
// out of it, so that the entry cannot be mailed as it stands (the "extracted"
// flag): a second "@" anywhere ("a@x.org;b@y.org", "a@x b@y", and
// "\"ann@x.org\" <ann@x.org>", whose first address is the one cut out), or
// anything before or after the address ("john a@x.org",
// "mailto:a@x.org", "a@x.org john"). Not flagged: the display-name forms
// "Name <address>", "\"Name\" <address>" and "<address>", a comment after
// the address ("a@x.org (Ann)"), blanks and one "," or ";" at the end. False
// for a text without "@" (nothing was cut out of it).
bool holdsMoreThanAddress(std::string_view text);

}  // namespace orvane::engine
