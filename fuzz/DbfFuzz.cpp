// Feeds arbitrary bytes to the dBase reader as an in-memory table and reads
// every record both with and without deleted records hidden. Any outcome
// other than rows or an EDbfError (a crash, an out-of-bounds read, another
// exception, unbounded memory) is a finding.
#include <cstddef>
#include <cstdint>
#include <string>

#include "import/TzDbf.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  for (const bool hide : {false, true}) {
    orvane::import::TTzDbf t;
    t.setDbfFileName("fuzz.dbf");
    t.setHideDeletedRecs(hide);
    t.setTableLanguage(size % 2 ? orvane::import::tlOem : orvane::import::tlAnsi);
    try {
      t.openFromMemory(bytes);
      std::size_t total = 0;
      for (t.First(); !t.Eof(); t.Next()) {
        for (std::size_t i = 0; i < t.fieldCount(); ++i) total += t.fieldAsText(i).size();
        total += t.Deleted() ? 1 : 0;
      }
      if (total == SIZE_MAX) return 1;  // keeps the reads from being optimised away
    } catch (const orvane::import::EDbfError&) {
    }
  }
  return 0;
}
