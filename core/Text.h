// Small text helpers shared by every layer. Pure functions, any thread.
#pragma once

#include <cstdint>
#include <string_view>

namespace orvane {

// Trims characters of code 32 or less (blanks and control characters) at both ends.
std::string_view trimBlanks(std::string_view text);

// A hash of `text` that is the same on every machine and in every version:
// 64-bit FNV-1a over its bytes (offset basis 14695981039346656037, prime
// 1099511628211). Spreads domains over shards and mail hosts over source
// addresses.
constexpr std::uint64_t stableHash(std::string_view text) noexcept {
  std::uint64_t h = 14695981039346656037ull;
  for (const char c : text) {
    h ^= static_cast<unsigned char>(c);
    h *= 1099511628211ull;
  }
  return h;
}

}  // namespace orvane
