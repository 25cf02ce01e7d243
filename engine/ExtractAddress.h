// Cutting an e-mail address out of a text: the address around the text's
// first "@", as far as address characters reach on either side.
//
// Pure function; callable from any thread.
#pragma once

#include <string>
#include <string_view>

namespace orvane::engine {

// True for the characters an address may hold here: "a"-"z", "A"-"Z",
// "0"-"9", "_", "-", ".", "@", "[", "]" and "#".
bool IsAddressChar(char c) noexcept;

// The address around the first "@" of `text` ("@" included); empty when the
// text holds no "@". "John <john@example.com>" gives "john@example.com";
// "a+b@x.org" gives "b@x.org" ("+" is not an address character).
std::string ExtractAddress(std::string_view text);

}  // namespace orvane::engine
