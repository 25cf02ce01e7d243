#include "net/Signals.h"

#include <utility>

#include "net/EventLoop.h"

namespace orvane::net {

SignalWatch::SignalWatch(EventLoop& loop, std::span<const int> signals, Callback onSignal)
    : onSignal_(std::move(onSignal)) {
  for (const int signal : signals) {
    auto* handle = new uv_signal_t;
    uv_signal_init(loop.uv(), handle);
    handle->data = this;
    uv_signal_start(handle, &SignalWatch::onSignal, signal);
    uv_unref(reinterpret_cast<uv_handle_t*>(handle));
    handles_.push_back(handle);
  }
}

SignalWatch::~SignalWatch() {
  for (auto* handle : handles_) {
    uv_signal_stop(handle);
    handle->data = nullptr;
    uv_close(reinterpret_cast<uv_handle_t*>(handle),
             [](uv_handle_t* h) { delete reinterpret_cast<uv_signal_t*>(h); });
  }
}

void SignalWatch::onSignal(uv_signal_t* handle, int signal) {
  auto* self = static_cast<SignalWatch*>(handle->data);
  if (self == nullptr) return;
  // Copy: the callback may destroy the watch.
  auto callback = self->onSignal_;
  if (callback) callback(signal);
}

}  // namespace orvane::net
