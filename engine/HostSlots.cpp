#include "engine/HostSlots.h"

#include <algorithm>

namespace orvane::engine {

void HostSlots::reset(int limit) {
  limit_ = std::max(limit, 0);
  peak_ = 0;
  total_ = 0;
  open_.clear();
}

bool HostSlots::full(const std::string& host) const {
  return limit_ > 0 && open(host) >= limit_;
}

int HostSlots::open(const std::string& host) const {
  const auto it = open_.find(host);
  return it == open_.end() ? 0 : it->second;
}

bool HostSlots::tryAcquire(const std::string& host) {
  if (full(host)) return false;
  ++total_;
  const int now = ++open_[host];
  peak_ = std::max(peak_, now);
  return true;
}

void HostSlots::release(const std::string& host) {
  const auto it = open_.find(host);
  if (it == open_.end()) return;
  --total_;
  if (--it->second <= 0) open_.erase(it);
  if (onRoom && !full(host)) onRoom(host);
}

}  // namespace orvane::engine
