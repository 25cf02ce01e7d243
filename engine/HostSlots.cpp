#include "engine/HostSlots.h"

#include <algorithm>
#include <vector>

namespace orvane::engine {

HostSlots::HostSlots(net::EventLoop& loop) : loop_(loop), timer_(loop) {}

void HostSlots::reset(int limit) {
  timer_.stop();
  limit_ = std::max(limit, 0);
  peak_ = 0;
  total_ = 0;
  lowered_ = 0;
  hosts_.clear();
}

int HostSlots::limitOf(const Host& host) const {
  if (host.lowered > 0) return limit_ > 0 ? std::min(limit_, host.lowered) : host.lowered;
  return limit_;
}

int HostSlots::limitAt(const std::string& host) const {
  const auto it = hosts_.find(host);
  return it == hosts_.end() ? limit_ : limitOf(it->second);
}

bool HostSlots::full(const std::string& host) const {
  const auto it = hosts_.find(host);
  if (it == hosts_.end()) return false;
  const int limit = limitOf(it->second);
  return limit > 0 && it->second.open >= limit;
}

int HostSlots::open(const std::string& host) const {
  const auto it = hosts_.find(host);
  return it == hosts_.end() ? 0 : it->second.open;
}

bool HostSlots::tryAcquire(const std::string& host, std::uint64_t* generation) {
  if (full(host)) return false;
  Host& h = hosts_[host];
  ++total_;
  peak_ = std::max(peak_, ++h.open);
  if (generation != nullptr) *generation = h.generation;
  return true;
}

void HostSlots::release(const std::string& host) {
  const auto it = hosts_.find(host);
  if (it == hosts_.end() || it->second.open == 0) return;
  --total_;
  --it->second.open;
  if (onRoom && !full(host)) onRoom(host);
}

int HostSlots::throttled(const std::string& host, std::uint64_t generation) {
  Host& h = hosts_[host];
  // Refusals of connections opened under an earlier, higher limit are the
  // same throttling the last lowering answered.
  if (generation < h.generation || h.slow) return limitOf(h);
  const std::uint32_t now = loop_.now();
  // Half of what the host was taking when it refused (the refused
  // connection counted), at most half the limit in force.
  const int taking = limitOf(h) > 0 ? std::min(limitOf(h), h.open) : h.open;
  if (!h.cooling && h.lowered == 0) ++lowered_;
  h.lowered = std::max(1, taking / 2);
  // Throttled again soon after a cool-down: twice as long; after a quiet
  // spell as long as the last one: from the start.
  const bool soon = h.coolDownMs > 0 &&
                    static_cast<std::int32_t>(now - h.coolUntil) <
                        static_cast<std::int32_t>(std::min<std::uint64_t>(h.coolDownMs, INT32_MAX));
  h.coolDownMs = soon ? std::min(h.coolDownMs * 2, kLongestCoolDownMs) : kFirstCoolDownMs;
  h.coolUntil = now + static_cast<std::uint32_t>(h.coolDownMs);
  h.cooling = true;
  ++h.generation;
  armTimer();
  if (onChange) onChange({host, limitOf(h), h.coolDownMs, false});
  return limitOf(h);
}

void HostSlots::greetingTimedOut(const std::string& host) {
  Host& h = hosts_[host];
  if (h.slow || ++h.greetingTimeOuts < kSlowAfterTimeOuts) return;
  if (h.lowered == 0) ++lowered_;
  h.slow = true;
  h.cooling = false;
  h.lowered = 1;
  ++h.generation;
  if (onChange) onChange({host, 1, 0, true});
}

void HostSlots::greetingCame(const std::string& host) {
  const auto it = hosts_.find(host);
  if (it != hosts_.end()) it->second.greetingTimeOuts = 0;
}

void HostSlots::armTimer() {
  bool any = false;
  std::uint32_t next = 0;
  const std::uint32_t now = loop_.now();
  for (const auto& [name, h] : hosts_) {
    if (!h.cooling) continue;
    if (!any || static_cast<std::int32_t>(h.coolUntil - next) < 0) next = h.coolUntil;
    any = true;
  }
  if (!any) {
    timer_.stop();
    return;
  }
  const auto wait = static_cast<std::int32_t>(next - now);
  timer_.start(wait > 0 ? static_cast<std::uint64_t>(wait) : 0, 0, [this] { coolDownsOver(); });
}

void HostSlots::coolDownsOver() {
  const std::uint32_t now = loop_.now();
  std::vector<std::string> restored;
  for (auto& [name, h] : hosts_) {
    if (!h.cooling || !net::EventLoop::tickDue(now, h.coolUntil)) continue;
    h.cooling = false;
    h.lowered = 0;
    --lowered_;
    restored.push_back(name);
  }
  armTimer();
  for (const std::string& host : restored) {
    if (onChange) onChange({host, limit_, 0, false});
    if (onRoom && !full(host)) onRoom(host);
  }
}

}  // namespace orvane::engine
