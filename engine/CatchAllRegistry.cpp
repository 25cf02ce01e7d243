#include "engine/CatchAllRegistry.h"

namespace orvane::engine {

void CatchAllRegistry::reset(bool enabled) {
  enabled_ = enabled;
  states_.clear();
  waiters_.clear();
  tickets_.clear();
}

bool CatchAllRegistry::claimProbe(const std::string& domain) {
  return enabled_ && states_.emplace(domain, State::Probing).second;
}

const CatchAllRegistry::State* CatchAllRegistry::stateOf(const std::string& domain) const {
  if (!enabled_) return nullptr;
  const auto it = states_.find(domain);
  return it == states_.end() ? nullptr : &it->second;
}

void CatchAllRegistry::resolved(const std::string& domain, State state) {
  states_[domain] = state;
  const auto it = waiters_.find(domain);
  if (it == waiters_.end()) return;
  auto waiters = std::move(it->second);
  waiters_.erase(it);
  // The waiting sessions go on from the loop, not inside the prober's callback.
  for (auto& waiter : waiters) {
    loop_.post(std::weak_ptr<void>(alive_),
               [this, ticket = waiter.first, then = std::move(waiter.second)] {
                 if (tickets_.erase(ticket) > 0) then();
               });
  }
}

CatchAllRegistry::Ticket CatchAllRegistry::wait(const std::string& domain,
                                                std::function<void()> then) {
  const Ticket ticket = ++nextTicket_;
  tickets_.emplace(ticket, domain);
  waiters_[domain].emplace_back(ticket, std::move(then));
  return ticket;
}

void CatchAllRegistry::cancel(Ticket ticket) {
  const auto t = tickets_.find(ticket);
  if (t == tickets_.end()) return;
  if (const auto w = waiters_.find(t->second); w != waiters_.end()) {
    std::erase_if(w->second, [ticket](const auto& p) { return p.first == ticket; });
  }
  tickets_.erase(t);
}

}  // namespace orvane::engine
