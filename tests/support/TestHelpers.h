// Small helpers every test folder shares: the message of a thrown exception,
// a throwaway folder, whole-file reads. Test thread only.
#pragma once

#include <exception>
#include <filesystem>
#include <string>
#include <string_view>

namespace orvane::testing {

// The message of the `E` that `call` throws; "(no exception)" when it throws
// nothing. Another exception type goes on to the test, which then fails.
template <class E = std::exception, class F>
std::string thrownMessage(F&& call) {
  try {
    call();
  } catch (const E& e) {
    return e.what();
  }
  return "(no exception)";
}

// A fresh folder under the system's temporary folder, removed with
// everything in it at the end.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const noexcept { return path_; }
  std::string file(const std::string& name) const { return (path_ / name).string(); }
  // Writes `bytes` to the file `name` and returns its path.
  std::string write(const std::string& name, std::string_view bytes) const;

 private:
  std::filesystem::path path_;
};

// The whole contents of a file ("" when it cannot be read).
std::string readFile(const std::string& path);

}  // namespace orvane::testing
