// Decodes arbitrary bytes as a text file (in the encoding its first byte picks,
// or the detected one), then reads every record with each separator and
// detects the e-mail field. Checks that the decoded text is UTF-8, that each
// record is a piece of the text that splits into the same fields on its own,
// that every field is trimmed, that countRecords agrees with the records read
// and that the guess names an existing field.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "core/Codepage.h"
#include "import/TextImport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  // The first byte picks a reading: detected (most values) or one of the four
  // encodings the user can choose.
  using orvane::import::TextEncoding;
  static constexpr TextEncoding kChosen[] = {TextEncoding::Utf8, TextEncoding::Utf16LE,
                                             TextEncoding::Utf16BE, TextEncoding::Windows1252};
  const unsigned pick = size == 0 ? 0 : data[0] % 8;
  const std::string text = pick >= 1 && pick <= 4
                               ? orvane::import::decodeTextBytes(bytes, kChosen[pick - 1])
                               : orvane::import::decodeTextBytes(bytes);
  if (!orvane::isValidUtf8(text)) std::abort();

  std::vector<std::string> fields;
  for (const char separator :
       {',', ';', '\t', orvane::import::separatorChar(orvane::import::detectSeparator(text))}) {
    orvane::import::RecordReader reader(text, separator);
    std::uint64_t records = 0;
    while (!reader.atEnd()) {
      ++records;
      const std::string_view raw = reader.next(fields);
      if (raw.data() < text.data() || raw.data() + raw.size() > text.data() + text.size()) {
        std::abort();
      }
      if (fields.empty()) std::abort();
      if (orvane::import::splitFields(raw, separator) != fields) std::abort();
      for (const auto& f : fields) {
        if (!f.empty() && (static_cast<unsigned char>(f.front()) <= 32 ||
                           static_cast<unsigned char>(f.back()) <= 32)) {
          std::abort();
        }
      }
      const auto guess = orvane::import::detectEmailField(fields);
      if (guess.index >= fields.size()) std::abort();
    }
    if (orvane::import::countRecords(text, separator) != (records == 0 ? 1 : records)) std::abort();
  }
  return 0;
}
