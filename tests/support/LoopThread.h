// An event loop on a thread of its own, for servers that must run beside the
// program under test or measure, not inside its loop. `start` runs on that
// thread with the thread's loop and returns what must live while the loop
// runs (servers, their state); it is destroyed on that thread, after the loop
// has stopped. Stops and joins in the destructor.
#pragma once

#include <functional>
#include <memory>
#include <thread>

#include <uv.h>

namespace orvane::net {
class EventLoop;
}

namespace orvane::testing {

class LoopThread final {
 public:
  using Start = std::function<std::shared_ptr<void>(net::EventLoop&)>;
  // Returns once `start` has returned; throws what it threw.
  explicit LoopThread(Start start);
  ~LoopThread();
  LoopThread(const LoopThread&) = delete;
  LoopThread& operator=(const LoopThread&) = delete;

 private:
  std::thread thread_;
  uv_async_t* stop_ = nullptr;
};

}  // namespace orvane::testing
