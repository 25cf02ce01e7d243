// Process resource limits the validating programs need: a run with many
// connections holds two descriptors per session (a TCP and a UDP socket).
//
// Call once at start-up, on the main thread.
#pragma once

#include <cstdint>

namespace orvane::engine {

// Raises the soft limit of open descriptors to the hard limit. Returns the
// soft limit in force afterwards (0 when it cannot be read).
std::uint64_t RaiseDescriptorLimit() noexcept;

}  // namespace orvane::engine
