// Small text helpers shared by every layer. Pure functions, any thread.
#pragma once

#include <string_view>

namespace orvane {

// Trims characters of code 32 or less (blanks and control characters) at both ends.
std::string_view trimBlanks(std::string_view text);

}  // namespace orvane
