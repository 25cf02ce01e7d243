#include "core/DataDir.h"

#include <system_error>

namespace orvane {

std::filesystem::path executablePath() {
  std::error_code ec;
  std::filesystem::path path = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::filesystem::path() : path;
}

std::filesystem::path listsDirBeside(const std::filesystem::path& executable) {
  return (executable.parent_path() / ".." / "share" / "orvane" / "lists").lexically_normal();
}

std::filesystem::path installedListsDir() {
  const std::filesystem::path exe = executablePath();
  return exe.empty() ? std::filesystem::path() : listsDirBeside(exe);
}

}  // namespace orvane
