// Process resource limits the validating programs need: a run with many
// connections holds two descriptors per session (a TCP and a UDP socket).
//
// Call once at start-up, on the main thread.
#pragma once

#include <cstdint>

namespace orvane::engine {

// Raises the soft limit of open descriptors to the hard limit, once per
// process. Returns the soft limit in force afterwards (0 when it cannot be
// read).
std::uint64_t raiseDescriptorLimit() noexcept;

// Descriptors a run of `connections` sessions needs: two per session and a
// few for the program itself.
std::uint64_t descriptorsFor(std::uint64_t connections) noexcept;

// The connections that fit in `limit` open descriptors: `requested`, or fewer
// when they would not fit (at least 1). A run with more sessions than
// descriptors would fail thousands of addresses with "Too many open files".
int connectionsThatFit(int requested, std::uint64_t limit) noexcept;

}  // namespace orvane::engine
