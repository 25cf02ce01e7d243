// Conversions between the program's UTF-8 text and the 8-bit code pages that
// stored files use: Windows-1252 (project files, dBase tables in ANSI, text
// files that are not UTF-8), code page 437 (dBase tables in OEM) and any other
// single-byte code page given by its upper half.
//
// Owns nothing; pure functions, safe on any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace orvane {

// True when `bytes` is well-formed UTF-8 (no overlongs, no surrogates, nothing above U+10FFFF).
bool isValidUtf8(std::string_view bytes);

// A single-byte code page is given by the characters of its bytes 0x80..0xFF,
// one UTF-16 unit per byte (128 units, all in the Basic Multilingual Plane);
// bytes below 0x80 are ASCII in every code page. Appends the UTF-8 form of
// `bytes` read in that code page to `out`.
void appendSingleByteAsUtf8(std::u16string_view highHalf, std::string_view bytes, std::string& out);

// The upper halves of Windows-1252 and code page 437 (the original IBM PC
// character set). Windows-1252 leaves five bytes (0x81, 0x8D, 0x8F, 0x90,
// 0x9D) undefined: they stand for the C1 control characters of the same
// value, so that they survive a round trip.
std::u16string_view cp1252HighHalf();
std::u16string_view cp437HighHalf();

// Windows-1252 bytes to UTF-8.
std::string cp1252ToUtf8(std::string_view bytes);

// Appends the Windows-1252 form of UTF-8 `text` to `out`. A character the code
// page cannot represent, and any malformed UTF-8 sequence, becomes "?".
void appendUtf8AsCp1252(std::string_view text, std::string& out);
std::string utf8ToCp1252(std::string_view text);

// Appends `bytes` to `out` as they are when they are valid UTF-8; otherwise
// each byte of a malformed sequence becomes U+FFFD.
void appendRepairedUtf8(std::string_view bytes, std::string& out);

// Decodes one UTF-8 character at `pos`; returns its code point and advances
// `pos`. A malformed sequence yields U+FFFD and advances by one byte.
char32_t decodeUtf8(std::string_view text, std::size_t& pos);
void appendUtf8(char32_t cp, std::string& out);

// Unicode upper case of a UTF-8 text (simple, one-to-one case mapping).
std::string toUpperUtf8(std::string_view text);

}  // namespace orvane
