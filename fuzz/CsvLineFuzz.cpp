// Splits arbitrary bytes as text lines into fields and detects the e-mail
// field. Checks that every field is trimmed and free of double quotes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "import/TextImport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  orvane::TextFile text(
      orvane::decodeTextBytes(std::string_view(reinterpret_cast<const char*>(data), size)));
  std::vector<std::string> fields;
  std::uint64_t lines = 0;
  while (!text.atEnd()) {
    ++lines;
    orvane::splitFields(text.readLine(), fields);
    if (fields.empty()) std::abort();
    for (const auto& f : fields) {
      if (f.find('"') != std::string::npos) std::abort();
      if (!f.empty() && (static_cast<unsigned char>(f.front()) <= 32 ||
                         static_cast<unsigned char>(f.back()) <= 32)) {
        std::abort();
      }
    }
    const auto guess = orvane::detectEmailField(fields);
    if (guess.index >= fields.size()) std::abort();
  }
  if (lines > 0 && lines != text.lineCount()) std::abort();
  return 0;
}
