// Feeds arbitrary bytes to the project file reader. Malformed input must end
// in ProjectFileError; anything the reader accepts must survive a write and a
// second read unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/ProjectFile.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace orvane;
  ProjectData first;
  try {
    first = parseProject(std::string_view(reinterpret_cast<const char*>(data), size));
  } catch (const ProjectFileError&) {
    return 0;
  }
  const std::string written = serializeProject(first.columns, first.entries);
  const ProjectData second = parseProject(written);  // must not throw
  if (serializeProject(second.columns, second.entries) != written) std::abort();
  return 0;
}
