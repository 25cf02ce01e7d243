// Cutting an e-mail address out of a text: the address around the text's
// first "@", as far as address characters reach on either side, so that a
// display name, angle brackets or a trailing comma are left out while nothing
// is ever dropped from inside the address.
//
// Pure function; callable from any thread.
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

}  // namespace orvane::engine
