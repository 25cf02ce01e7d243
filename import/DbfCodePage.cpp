#include "import/DbfCodePage.h"

#include <string>

#include "core/Codepage.h"

namespace orvane::import {

namespace {

// Upper halves of the code pages that only dBase tables use; U+FFFD where a
// code page defines no character.
constexpr std::u16string_view kCp850High =
    u"ÇüéâäàåçêëèïîìÄÅÉæÆôöòûùÿÖÜø£Ø×ƒ"
    u"áíóúñÑªº¿®¬½¼¡«»░▒▓│┤ÁÂÀ©╣║╗╝¢¥┐"
    u"└┴┬├─┼ãÃ╚╔╩╦╠═╬¤ðÐÊËÈıÍÎÏ┘┌█▄¦Ì▀"
    u"ÓßÔÒõÕµþÞÚÛÙýÝ¯´\u00AD±‗¾¶§÷¸°¨·¹³²■\u00A0";

constexpr std::u16string_view kCp852High =
    u"ÇüéâäůćçłëŐőîŹÄĆÉĹĺôöĽľŚśÖÜŤťŁ×č"
    u"áíóúĄąŽžĘę¬źČş«»░▒▓│┤ÁÂĚŞ╣║╗╝Żż┐"
    u"└┴┬├─┼Ăă╚╔╩╦╠═╬¤đĐĎËďŇÍÎě┘┌█▄ŢŮ▀"
    u"ÓßÔŃńňŠšŔÚŕŰýÝţ´\u00AD˝˛ˇ˘§÷¸°¨˙űŘř■\u00A0";

constexpr std::u16string_view kCp865High =
    u"ÇüéâäàåçêëèïîìÄÅÉæÆôöòûùÿÖÜø£Ø₧ƒ"
    u"áíóúñÑªº¿⌐¬½¼¡«¤░▒▓│┤╡╢╖╕╣║╗╝╜╛┐"
    u"└┴┬├─┼╞╟╚╔╩╦╠═╬╧╨╤╥╙╘╒╓╫╪┘┌█▄▌▐▀"
    u"αßΓπΣσµτΦΘΩδ∞φε∩≡±≥≤⌠⌡÷≈°∙·√ⁿ²■\u00A0";

constexpr std::u16string_view kCp866High =
    u"АБВГДЕЖЗИЙКЛМНОПРСТУФХЦЧШЩЪЫЬЭЮЯ"
    u"абвгдежзийклмноп░▒▓│┤╡╢╖╕╣║╗╝╜╛┐"
    u"└┴┬├─┼╞╟╚╔╩╦╠═╬╧╨╤╥╙╘╒╓╫╪┘┌█▄▌▐▀"
    u"рстуфхцчшщъыьэюяЁёЄєЇїЎў°∙·√№¤■\u00A0";

constexpr std::u16string_view kWindows1250High =
    u"€\uFFFD‚\uFFFD„…†‡\uFFFD‰Š‹ŚŤŽŹ\uFFFD‘’“”•–—\uFFFD™š›śťžź"
    u"\u00A0ˇ˘Ł¤Ą¦§¨©Ş«¬\u00AD®Ż°±˛ł´µ¶·¸ąş»Ľ˝ľż"
    u"ŔÁÂĂÄĹĆÇČÉĘËĚÍÎĎĐŃŇÓÔŐÖ×ŘŮÚŰÜÝŢß"
    u"ŕáâăäĺćçčéęëěíîďđńňóôőö÷řůúűüýţ˙";

constexpr std::u16string_view kWindows1251High =
    u"ЂЃ‚ѓ„…†‡€‰Љ‹ЊЌЋЏђ‘’“”•–—\uFFFD™љ›њќћџ"
    u"\u00A0ЎўЈ¤Ґ¦§Ё©Є«¬\u00AD®Ї°±Ііґµ¶·ё№є»јЅѕї"
    u"АБВГДЕЖЗИЙКЛМНОПРСТУФХЦЧШЩЪЫЬЭЮЯ"
    u"абвгдежзийклмнопрстуфхцчшщъыьэюя";

static_assert(kCp850High.size() == 128 && kCp852High.size() == 128 && kCp865High.size() == 128 &&
              kCp866High.size() == 128 && kWindows1250High.size() == 128 &&
              kWindows1251High.size() == 128);

struct CodePageInfo {
  DbfCodePage codePage;
  std::string_view name;
  std::u16string_view highHalf;  // empty for UTF-8
};

// What each code page is called and how its bytes read; nothing for a value
// outside the enumeration.
const CodePageInfo* infoOf(DbfCodePage codePage) {
  static const CodePageInfo kInfo[] = {
      {DbfCodePage::Cp437, "437 (DOS, United States)", cp437HighHalf()},
      {DbfCodePage::Cp850, "850 (DOS, Western Europe)", kCp850High},
      {DbfCodePage::Cp852, "852 (DOS, Central Europe)", kCp852High},
      {DbfCodePage::Cp865, "865 (DOS, Nordic)", kCp865High},
      {DbfCodePage::Cp866, "866 (DOS, Cyrillic)", kCp866High},
      {DbfCodePage::Windows1250, "Windows-1250 (Central Europe)", kWindows1250High},
      {DbfCodePage::Windows1251, "Windows-1251 (Cyrillic)", kWindows1251High},
      {DbfCodePage::Windows1252, "Windows-1252 (Western)", cp1252HighHalf()},
      {DbfCodePage::Utf8, "UTF-8", {}},
  };
  for (const auto& info : kInfo) {
    if (info.codePage == codePage) return &info;
  }
  return nullptr;
}

std::optional<DbfCodePage> codePageOfNumber(std::string_view digits) {
  for (const DbfCodePage codePage : kDbfCodePages) {
    if (digits == std::to_string(static_cast<unsigned>(codePage))) return codePage;
  }
  return std::nullopt;
}

}  // namespace

std::string_view dbfCodePageName(DbfCodePage codePage) {
  const CodePageInfo* info = infoOf(codePage);
  return info ? info->name : "?";
}

std::optional<DbfCodePage> codePageOfLanguageDriver(std::uint8_t id) {
  switch (id) {
    case 0x01:  // US MS-DOS
    case 0x09:  // Dutch OEM
    case 0x0B:  // Finnish OEM
    case 0x0D:  // French OEM
    case 0x0F:  // German OEM
    case 0x11:  // Italian OEM
    case 0x15:  // Swedish OEM
    case 0x18:  // Spanish OEM
    case 0x19:  // English OEM (Britain)
    case 0x1B:  // English OEM (US)
      return DbfCodePage::Cp437;
    case 0x02:  // International MS-DOS
    case 0x0A:  // Dutch OEM, secondary
    case 0x0E:  // French OEM, secondary
    case 0x10:  // German OEM, secondary
    case 0x12:  // Italian OEM, secondary
    case 0x14:  // Spanish OEM, secondary
    case 0x16:  // Swedish OEM, secondary
    case 0x1A:  // English OEM (Britain), secondary
    case 0x1D:  // French OEM, secondary
    case 0x25:  // Portuguese OEM, secondary
    case 0x37:  // English OEM (US), secondary
      return DbfCodePage::Cp850;
    case 0x1F:  // Czech OEM
    case 0x22:  // Hungarian OEM
    case 0x23:  // Polish OEM
    case 0x40:  // Romanian OEM
    case 0x64:  // Eastern European MS-DOS
      return DbfCodePage::Cp852;
    case 0x08:  // Danish OEM
    case 0x17:  // Norwegian OEM
    case 0x66:  // Nordic MS-DOS
      return DbfCodePage::Cp865;
    case 0x26:  // Russian OEM
    case 0x65:  // Russian MS-DOS
      return DbfCodePage::Cp866;
    case 0x03:  // Windows ANSI
    case 0x57:  // ANSI
    case 0x58:  // Western European ANSI
    case 0x59:  // Spanish ANSI
      return DbfCodePage::Windows1252;
    case 0xC8:  // Eastern European Windows
      return DbfCodePage::Windows1250;
    case 0xC9:  // Russian Windows
      return DbfCodePage::Windows1251;
    default:
      return std::nullopt;
  }
}

std::optional<DbfCodePage> codePageOfCpg(std::string_view contents) {
  if (contents.substr(0, 3) == "\xEF\xBB\xBF") contents.remove_prefix(3);
  const std::size_t lineEnd = contents.find_first_of("\r\n");
  if (lineEnd != std::string_view::npos) contents = contents.substr(0, lineEnd);
  std::string s;
  for (const char ch : contents) {
    if (static_cast<unsigned char>(ch) <= 32 || ch == '-' || ch == '_') continue;
    s.push_back(ch >= 'a' && ch <= 'z' ? static_cast<char>(ch - 'a' + 'A') : ch);
    if (s.size() > 32) return std::nullopt;  // no name is this long
  }
  if (s == "UTF8") return DbfCodePage::Utf8;
  if (s == "ISO88591" || s == "88591" || s == "LATIN1") return DbfCodePage::Windows1252;
  std::string_view rest = s;
  for (const std::string_view word : {"WINDOWS", "ANSI", "OEM", "IBM", "DOS", "CP"}) {
    if (rest.substr(0, word.size()) == word) {
      rest.remove_prefix(word.size());
      if (rest.empty()) {
        if (word == "ANSI") return DbfCodePage::Windows1252;
        if (word == "OEM") return DbfCodePage::Cp437;
        return std::nullopt;
      }
      if (rest.substr(0, 2) == "CP") rest.remove_prefix(2);  // "OEM CP850"
      break;
    }
  }
  return codePageOfNumber(rest);
}

void appendDbfText(DbfCodePage codePage, std::string_view bytes, std::string& out) {
  if (codePage == DbfCodePage::Utf8) {
    appendRepairedUtf8(bytes, out);
  } else if (const CodePageInfo* info = infoOf(codePage)) {
    appendSingleByteAsUtf8(info->highHalf, bytes, out);
  }
}

std::optional<bool> utf8WithMultiByte(std::string_view bytes) {
  bool multiByte = false;
  for (const char c : bytes) {
    if (static_cast<unsigned char>(c) >= 0x80) {
      multiByte = true;
      break;
    }
  }
  if (!multiByte) return false;
  if (!isValidUtf8(bytes)) return std::nullopt;
  return true;
}

}  // namespace orvane::import
