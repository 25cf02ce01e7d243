// Conversions between the program's UTF-8 text and the 8-bit code pages that
// stored files use: Windows-1252 (project files, dBase tables in ANSI, text
// files that are not UTF-8) and code pages 437 and 850 (dBase tables in OEM).
//
// Owns nothing; pure functions, safe on any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace orvane {

// True when `bytes` is well-formed UTF-8 (no overlongs, no surrogates, nothing above U+10FFFF).
bool isValidUtf8(std::string_view bytes);

// Windows-1252 bytes to UTF-8. The five bytes the code page leaves undefined
// (0x81, 0x8D, 0x8F, 0x90, 0x9D) become the C1 control characters of the same
// value, so that they survive a round trip.
std::string cp1252ToUtf8(std::string_view bytes);

// Appends the Windows-1252 form of UTF-8 `text` to `out`. A character the code
// page cannot represent, and any malformed UTF-8 sequence, becomes "?".
void appendUtf8AsCp1252(std::string_view text, std::string& out);
std::string utf8ToCp1252(std::string_view text);

// Code page 437 (the original IBM PC character set) bytes to UTF-8.
std::string cp437ToUtf8(std::string_view bytes);

// Code page 850 (the multilingual DOS character set, dBase tables of Western
// Europe) bytes to UTF-8.
std::string cp850ToUtf8(std::string_view bytes);

// Decodes one UTF-8 character at `pos`; returns its code point and advances
// `pos`. A malformed sequence yields U+FFFD and advances by one byte.
char32_t decodeUtf8(std::string_view text, std::size_t& pos);
void appendUtf8(char32_t cp, std::string& out);

// Unicode upper case of a UTF-8 text (simple, one-to-one case mapping).
std::string toUpperUtf8(std::string_view text);

}  // namespace orvane
