#include "core/Codepage.h"

#include <locale.h>
#include <clocale>
#include <cwctype>
#include <unordered_map>

namespace orvane {
namespace {

// Undefined bytes stand for the C1 controls of their value; 0xA0..0xFF are Latin-1.
constexpr std::u16string_view kCp1252High =
    u"€\u0081‚ƒ„…†‡ˆ‰Š‹Œ\u008DŽ\u008F\u0090‘’“”•–—˜™š›œ\u009DžŸ"
    u"\u00A0¡¢£¤¥¦§¨©ª«¬\u00AD®¯°±²³´µ¶·¸¹º»¼½¾¿"
    u"ÀÁÂÃÄÅÆÇÈÉÊËÌÍÎÏÐÑÒÓÔÕÖ×ØÙÚÛÜÝÞß"
    u"àáâãäåæçèéêëìíîïðñòóôõö÷øùúûüýþÿ";

constexpr std::u16string_view kCp437High =
    u"ÇüéâäàåçêëèïîìÄÅÉæÆôöòûùÿÖÜ¢£¥₧ƒ"
    u"áíóúñÑªº¿⌐¬½¼¡«»░▒▓│┤╡╢╖╕╣║╗╝╜╛┐"
    u"└┴┬├─┼╞╟╚╔╩╦╠═╬╧╨╤╥╙╘╒╓╫╪┘┌█▄▌▐▀"
    u"αßΓπΣσµτΦΘΩδ∞φε∩≡±≥≤⌠⌡÷≈°∙·√ⁿ²■\u00A0";

static_assert(kCp1252High.size() == 128 && kCp437High.size() == 128);

const std::unordered_map<char32_t, unsigned char>& cp1252Reverse() {
  static const auto* table = [] {
    auto* map = new std::unordered_map<char32_t, unsigned char>();
    for (unsigned i = 0; i < kCp1252High.size(); ++i) {
      (*map)[kCp1252High[i]] = static_cast<unsigned char>(0x80 + i);
    }
    return map;
  }();
  return *table;
}

locale_t utf8Locale() {
  static locale_t loc = [] {
    locale_t l = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
    if (l == static_cast<locale_t>(nullptr)) l = newlocale(LC_CTYPE_MASK, "C.utf8", nullptr);
    return l;
  }();
  return loc;
}

// The code point of the well-formed UTF-8 sequence at `pos` into `cp`, and
// the sequence's length; 0 for anything else (a stray continuation byte, a
// sequence cut short, an overlong form, a surrogate, a value past U+10FFFF).
std::size_t decodeSequence(std::string_view text, std::size_t pos, char32_t& cp) {
  const auto c = static_cast<unsigned char>(text[pos]);
  std::size_t len;
  if (c < 0x80) {
    cp = c;
    return 1;
  }
  if ((c & 0xE0) == 0xC0) {
    len = 2;
    cp = c & 0x1F;
  } else if ((c & 0xF0) == 0xE0) {
    len = 3;
    cp = c & 0x0F;
  } else if ((c & 0xF8) == 0xF0) {
    len = 4;
    cp = c & 0x07;
  } else {
    return 0;
  }
  if (text.size() - pos < len) return 0;
  for (std::size_t k = 1; k < len; ++k) {
    const auto cc = static_cast<unsigned char>(text[pos + k]);
    if ((cc & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (cc & 0x3F);
  }
  if ((len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) ||
      cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
    return 0;
  return len;
}

}  // namespace

bool isValidUtf8(std::string_view bytes) {
  std::size_t i = 0;
  while (i < bytes.size()) {
    if (static_cast<unsigned char>(bytes[i]) < 0x80) {
      ++i;  // the common case, without a call
      continue;
    }
    char32_t cp;
    const std::size_t len = decodeSequence(bytes, i, cp);
    if (len == 0) return false;
    i += len;
  }
  return true;
}

char32_t decodeUtf8(std::string_view text, std::size_t& pos) {
  char32_t cp;
  const std::size_t len = decodeSequence(text, pos, cp);
  if (len == 0) {
    ++pos;
    return 0xFFFD;
  }
  pos += len;
  return cp;
}

void appendUtf8(char32_t cp, std::string& out) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

void appendSingleByteAsUtf8(std::u16string_view highHalf, std::string_view bytes,
                            std::string& out) {
  for (const char ch : bytes) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x80) {
      out.push_back(ch);
    } else {
      appendUtf8(highHalf[c - 0x80], out);
    }
  }
}

std::u16string_view cp1252HighHalf() {
  return kCp1252High;
}

std::u16string_view cp437HighHalf() {
  return kCp437High;
}

std::string cp1252ToUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  appendSingleByteAsUtf8(kCp1252High, bytes, out);
  return out;
}

void appendUtf8AsCp1252(std::string_view text, std::string& out) {
  std::size_t pos = 0;
  const std::size_t n = text.size();
  while (pos < n) {
    // Runs of ASCII are the common case: copy them without decoding.
    const auto c = static_cast<unsigned char>(text[pos]);
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
      ++pos;
      continue;
    }
    const char32_t cp = decodeUtf8(text, pos);
    if (cp >= 0xA0 && cp <= 0xFF) {
      out.push_back(static_cast<char>(cp));
    } else {
      const auto& rev = cp1252Reverse();
      const auto it = rev.find(cp);
      out.push_back(it != rev.end() ? static_cast<char>(it->second) : '?');
    }
  }
}

std::string utf8ToCp1252(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  appendUtf8AsCp1252(text, out);
  return out;
}

void appendRepairedUtf8(std::string_view bytes, std::string& out) {
  if (isValidUtf8(bytes)) {
    out.append(bytes);
    return;
  }
  std::size_t pos = 0;
  while (pos < bytes.size()) appendUtf8(decodeUtf8(bytes, pos), out);
}

std::string toUpperUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  const locale_t loc = utf8Locale();
  std::size_t pos = 0;
  while (pos < text.size()) {
    const auto c = static_cast<unsigned char>(text[pos]);
    if (c < 0x80) {
      out.push_back(static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c));
      ++pos;
      continue;
    }
    char32_t cp = decodeUtf8(text, pos);
    if (loc != static_cast<locale_t>(nullptr)) {
      cp = static_cast<char32_t>(towupper_l(static_cast<wint_t>(cp), loc));
    }
    appendUtf8(cp, out);
  }
  return out;
}

}  // namespace orvane
