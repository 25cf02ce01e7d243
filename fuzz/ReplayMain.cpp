// Replays fuzz inputs without libFuzzer, so that the seed corpora run with
// every test build: calls LLVMFuzzerTestOneInput once for each file of each
// folder named on the command line, in name order. The file's name is printed
// before it runs, so a crash or an abort names its input. Exits non-zero when
// a folder is missing or holds no file (a corpus that ran nothing must not
// pass).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "tests/support/TestHelpers.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s CORPUS_FOLDER...\n", argv[0]);
    return 2;
  }
  for (int i = 1; i < argc; ++i) {
    std::vector<std::filesystem::path> files;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(argv[i], error)) {
      if (entry.is_regular_file()) files.push_back(entry.path());
    }
    if (error || files.empty()) {
      std::fprintf(stderr, "%s: %s\n", argv[i], error ? error.message().c_str() : "no files");
      return 1;
    }
    std::sort(files.begin(), files.end());
    for (const auto& file : files) {
      std::printf("%s\n", file.c_str());
      std::fflush(stdout);
      // An exact-size copy, as libFuzzer passes it: a read just past the input
      // trips AddressSanitizer.
      const std::string bytes = orvane::testing::readFile(file.string());
      const std::unique_ptr<std::uint8_t[]> input(new std::uint8_t[bytes.size()]);
      std::copy(bytes.begin(), bytes.end(), input.get());
      LLVMFuzzerTestOneInput(input.get(), bytes.size());
    }
    std::printf("%zu inputs from %s replayed\n", files.size(), argv[i]);
  }
  return 0;
}
