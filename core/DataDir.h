// Where the program's installed data lives. An installation (and the build
// tree, which is laid out the same way) puts the programs in <prefix>/bin and
// the address lists in <prefix>/share/orvane/lists, so both programs and the
// tests find the same files from their own location.
//
// Pure functions; any thread.
#pragma once

#include <filesystem>

namespace orvane {

// The running program's file (from /proc/self/exe); empty when unknown.
std::filesystem::path executablePath();

// <executable's folder>/../share/orvane/lists, made plain ("bin/.." removed).
std::filesystem::path listsDirBeside(const std::filesystem::path& executable);

// The lists folder of the running program; empty when its location is unknown.
std::filesystem::path installedListsDir();

}  // namespace orvane
