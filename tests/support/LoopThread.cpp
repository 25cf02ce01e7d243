#include "tests/support/LoopThread.h"

#include <exception>
#include <future>

#include "net/EventLoop.h"

namespace orvane::testing {

LoopThread::LoopThread(Start start) {
  std::promise<void> ready;
  auto started = ready.get_future();
  thread_ = std::thread([this, &ready, start = std::move(start)] {
    net::EventLoop loop;
    try {
      std::shared_ptr<void> held = start(loop);
      stop_ = new uv_async_t;
      uv_async_init(loop.uv(), stop_, [](uv_async_t* a) { uv_stop(a->loop); });
      ready.set_value();
      loop.run();
      uv_close(reinterpret_cast<uv_handle_t*>(stop_),
               [](uv_handle_t* h) { delete reinterpret_cast<uv_async_t*>(h); });
      held.reset();
      loop.runOnce();
    } catch (...) {
      ready.set_exception(std::current_exception());
    }
  });
  try {
    started.get();
  } catch (...) {
    thread_.join();
    throw;
  }
}

LoopThread::~LoopThread() {
  uv_async_send(stop_);
  thread_.join();
}

}  // namespace orvane::testing
