// Process signals as loop events: a SignalWatch reports each signal it
// watches by calling its function on the loop thread, so that a program can
// stop its work in an orderly way (report what is in hand, save) instead of
// dying wherever the signal found it. kStopSignals are the ones that ask a
// program to end: Ctrl-C (SIGINT), a polite kill (SIGTERM) and a closed
// terminal (SIGHUP).
//
// A watch never keeps the loop running: the work it may stop does that, and
// a loop with nothing else to do returns from run() as if it were not there.
// While a watch lives, its signals no longer take their default action; once
// it is destroyed (and no other watch holds them) they do again.
//
// Owns its libuv signal handles and closes them through the loop when
// destroyed; the callback is never called after that. Loop thread only; the
// EventLoop must outlive the watch.
#pragma once

#include <csignal>
#include <functional>
#include <span>
#include <vector>

#include <uv.h>

namespace orvane::net {

class EventLoop;

inline constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

class SignalWatch final {
 public:
  using Callback = std::function<void(int signal)>;

  SignalWatch(EventLoop& loop, std::span<const int> signals, Callback onSignal);
  ~SignalWatch();
  SignalWatch(const SignalWatch&) = delete;
  SignalWatch& operator=(const SignalWatch&) = delete;

 private:
  static void onSignal(uv_signal_t* handle, int signal);
  std::vector<uv_signal_t*> handles_;
  Callback onSignal_;
};

}  // namespace orvane::net
