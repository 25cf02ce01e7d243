// Connections open at once to each mail host of a run, and the limit on
// them. A session asks for a slot before it connects and gives it back when
// the connection ends; a host at its limit is full. Whenever a slot is given
// back to a host that has room again, `onRoom` is called with the host, so
// the run can hand that host's waiting work to a session.
//
// Ownership: owns the counts. Event-loop thread only; onRoom runs inside
// release().
#pragma once

#include <functional>
#include <string>
#include <unordered_map>

namespace orvane::engine {

class HostSlots final {
 public:
  using RoomEvent = std::function<void(const std::string& host)>;

  // A run starts: no slot is taken; at most `limit` per host (0: no limit).
  void reset(int limit);
  // Takes a slot at `host` unless it is full.
  bool tryAcquire(const std::string& host);
  // Gives a slot back.
  void release(const std::string& host);
  bool full(const std::string& host) const;
  int open(const std::string& host) const;
  // The most connections that were open at once to one host.
  int peak() const noexcept { return peak_; }
  int limit() const noexcept { return limit_; }
  // Slots taken at all hosts together.
  int total() const noexcept { return total_; }

  RoomEvent onRoom;

 private:
  int limit_ = 0;
  int peak_ = 0;
  int total_ = 0;
  std::unordered_map<std::string, int> open_;
};

}  // namespace orvane::engine
