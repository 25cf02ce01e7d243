#include "engine/ResourceLimits.h"

#ifndef _WIN32
#include <sys/resource.h>
#endif

namespace orvane::engine {

std::uint64_t raiseDescriptorLimit() noexcept {
  // Raised at the first call; later calls (every run of the window) answer
  // what that call reached.
  static const std::uint64_t reached = []() -> std::uint64_t {
#ifdef _WIN32
    return 0;
#else
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
    if (limit.rlim_cur < limit.rlim_max) {
      rlimit raised = limit;
      raised.rlim_cur = limit.rlim_max;
      if (setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
    }
    return static_cast<std::uint64_t>(limit.rlim_cur);
#endif
  }();
  return reached;
}

namespace {
constexpr std::uint64_t kOwnDescriptors = 64;
}

std::uint64_t descriptorsFor(std::uint64_t connections) noexcept {
  return 2 * connections + kOwnDescriptors;
}

int connectionsThatFit(int requested, std::uint64_t limit) noexcept {
  if (requested <= 0 || limit == 0 ||
      descriptorsFor(static_cast<std::uint64_t>(requested)) <= limit) {
    return requested;
  }
  const std::uint64_t fit = limit > kOwnDescriptors ? (limit - kOwnDescriptors) / 2 : 0;
  return fit < 1 ? 1 : static_cast<int>(fit);
}

}  // namespace orvane::engine
