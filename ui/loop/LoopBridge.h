// Runs the network's event loop inside Qt's, so that the whole program has one
// thread and one loop: a socket notifier on the loop's backend descriptor and
// a single-shot timer armed from the loop's next due time both run one
// non-waiting pass of it, and notices still queued are run before Qt goes to
// sleep. Every pass re-arms the timer.
//
// A pass never runs inside another pass: should a callback of the loop open a
// nested Qt loop (a modal box), the bridge stays quiet until the callback
// returns. An exception that escapes a callback of the loop does not cross
// Qt's loop: the bridge catches it and hands its message to onError from Qt's
// loop, after the pass.
//
// Borrows the EventLoop, which must outlive the bridge. User-interface thread
// only (the loop's thread).
#pragma once

#include <QObject>
#include <QString>
#include <functional>

class QSocketNotifier;
class QTimer;

namespace orvane::net {
class EventLoop;
}

namespace orvane::ui {

class LoopBridge final : public QObject {
  Q_OBJECT

 public:
  explicit LoopBridge(net::EventLoop& loop, QObject* parent = nullptr);
  ~LoopBridge() override;
  LoopBridge(const LoopBridge&) = delete;
  LoopBridge& operator=(const LoopBridge&) = delete;

  net::EventLoop& loop() noexcept { return loop_; }
  // Runs one pass now (unless a pass is running) and re-arms the timer.
  void pass();
  // Passes run so far (benchmarks and tests).
  quint64 passes() const noexcept { return passes_; }

  // Receives the message of an exception that escaped a callback of the loop.
  std::function<void(const QString&)> onError;

 private:
  void rearm();
  void beforeSleep();

  net::EventLoop& loop_;
  QSocketNotifier* notifier_ = nullptr;
  QTimer* timer_ = nullptr;
  bool inPass_ = false;
  quint64 passes_ = 0;
};

}  // namespace orvane::ui
