// Feeds arbitrary bytes to the address lists as the user's own list files
// (all of them at once) and then, line by line, to what is asked per address:
// the flags, the typo suggestion with a tally fed from the same lines, and the
// extracted test. Nothing may crash, and a user's junk never turns a flag off.
#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <system_error>

#include "core/AddressInsight.h"
#include "engine/ExtractAddress.h"

namespace {

void writeFile(const std::filesystem::path& path, std::string_view bytes) {
  std::ofstream(path, std::ios::binary)
      .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// A folder made once, with small installed lists in data/ and the user's
// files in user/; removed when the program ends.
char gFolder[] = "/tmp/orvane-fuzz-lists-XXXXXX";

void removeFolder() {
  std::error_code ec;
  std::filesystem::remove_all(gFolder, ec);
}

std::filesystem::path folder() {
  static const bool made = [] {
    if (!mkdtemp(gFolder)) std::abort();
    std::atexit(removeFolder);
    const std::filesystem::path p(gFolder);
    std::filesystem::create_directory(p / "data");
    std::filesystem::create_directory(p / "user");
    writeFile(p / "data/disposable.txt", "mailinator.com\nedu.pl\n");
    writeFile(p / "data/disposable-wildcard.txt", "33mail.com\n");
    writeFile(p / "data/shared-suffixes.txt", "edu.pl\n");
    writeFile(p / "data/free.txt", "gmail.com\n");
    writeFile(p / "data/role.txt", "info\n");
    writeFile(p / "data/providers.txt", "gmail.com top\nyahoo.com top\nmail.com\n");
    return true;
  }();
  (void)made;
  return gFolder;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace orvane;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::filesystem::path dir = folder();
  for (const char* name : {"disposable-add.txt", "disposable-allow.txt", "free-add.txt",
                           "free-allow.txt", "role-add.txt", "role-allow.txt"}) {
    writeFile(dir / "user" / name, text);
  }
  const AddressInsight insight = AddressInsight::load(dir / "data", dir / "user");
  for (AddressFlag flag : {AddressFlag::Disposable, AddressFlag::Role, AddressFlag::Free}) {
    if (!insight.lists().available(flag)) std::abort();
  }
  DomainTally tally;
  for (std::size_t pos = 0; pos <= text.size();) {
    const std::size_t end = std::min(text.find('\n', pos), text.size());
    const std::string_view line = text.substr(pos, end - pos);
    pos = end + 1;
    const std::string_view domain = line.substr(line.rfind('@') + 1);
    tally.add(domain);
    if (insight.flags(line).has(AddressFlag::Extracted)) std::abort();
    for (DomainDns dns : {DomainDns::NoSuchDomain, DomainDns::HasMailHosts}) {
      (void)insight.suggestion(domain, dns, tally);
    }
    (void)engine::holdsMoreThanAddress(line);
  }
  return 0;
}
