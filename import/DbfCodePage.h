// The code pages a dBase table's character data can be read in, what a table
// declares about its code page (the language-driver byte of its header, a
// ".cpg" file beside it), and the decoding of field bytes to UTF-8.
//
// Owns nothing; pure functions, safe on any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace orvane::import {

// A code page by its usual number; Utf8 is 65001.
enum class DbfCodePage : std::uint16_t {
  Cp437 = 437,  // DOS, United States: the reading when a table declares nothing
  Cp850 = 850,  // DOS, Western Europe
  Cp852 = 852,  // DOS, Central Europe
  Cp865 = 865,  // DOS, Nordic
  Cp866 = 866,  // DOS, Cyrillic
  Windows1250 = 1250,
  Windows1251 = 1251,
  Windows1252 = 1252,
  Utf8 = 65001,
};

// Every code page, in the order a choice list shows them.
inline constexpr DbfCodePage kDbfCodePages[] = {
    DbfCodePage::Utf8,  DbfCodePage::Windows1252, DbfCodePage::Cp437,
    DbfCodePage::Cp850, DbfCodePage::Cp852,       DbfCodePage::Cp865,
    DbfCodePage::Cp866, DbfCodePage::Windows1250, DbfCodePage::Windows1251};

// A short English name for a choice list, such as "Windows-1252 (Western)".
std::string_view dbfCodePageName(DbfCodePage codePage);

// The code page a language-driver byte (offset 29 of the header) stands for;
// nothing for 0, for unknown bytes and for code pages not listed above.
std::optional<DbfCodePage> codePageOfLanguageDriver(std::uint8_t id);

// The code page the contents of a ".cpg" file name. Only the first line
// counts; case, blanks, "-" and "_" do not. Accepted: "UTF-8" (and "UTF8",
// "65001"), a number of a listed code page, optionally after "ANSI", "OEM",
// "CP", "IBM", "DOS" or "WINDOWS" ("1252", "ANSI 1251", "CP850",
// "Windows-1250"), "ANSI" alone (1252), "OEM" alone (437), and "ISO-8859-1"
// or "LATIN1" (read as 1252, which agrees on every letter). Nothing for
// anything else.
std::optional<DbfCodePage> codePageOfCpg(std::string_view contents);

// Appends the UTF-8 form of `bytes` in `codePage` to `out`. Bytes a single-byte
// code page leaves undefined, and each byte of a malformed UTF-8 sequence,
// become U+FFFD; Windows-1252 keeps its five undefined bytes as the C1
// controls of the same value.
void appendDbfText(DbfCodePage codePage, std::string_view bytes, std::string& out);

// Nothing when `bytes` is not valid UTF-8; otherwise whether it holds at least
// one multi-byte sequence.
std::optional<bool> utf8WithMultiByte(std::string_view bytes);

}  // namespace orvane::import
