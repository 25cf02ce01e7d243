#include "ui/loop/LoopBridge.h"

#include <QAbstractEventDispatcher>
#include <QSocketNotifier>
#include <QTimer>
#include <exception>

#include "net/EventLoop.h"

namespace orvane::ui {

LoopBridge::LoopBridge(net::EventLoop& loop, QObject* parent) : QObject(parent), loop_(loop) {
  // One batch of ready sockets per pass: Qt's own events (painting, input)
  // get their turn between batches even when hundreds of sessions are busy.
  loop_.setReadyBatchesPerPass(1);
  notifier_ = new QSocketNotifier(loop_.backendFd(), QSocketNotifier::Read, this);
  connect(notifier_, &QSocketNotifier::activated, this, &LoopBridge::pass);
  timer_ = new QTimer(this);
  timer_->setSingleShot(true);
  timer_->setTimerType(Qt::PreciseTimer);
  connect(timer_, &QTimer::timeout, this, &LoopBridge::pass);
  if (auto* dispatcher = QAbstractEventDispatcher::instance(thread())) {
    connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, this, &LoopBridge::beforeSleep);
  }
  rearm();
}

LoopBridge::~LoopBridge() = default;

void LoopBridge::pass() {
  if (inPass_) return;
  inPass_ = true;
  // A nested Qt loop opened by a callback must not spin on the descriptor
  // that this pass is about to serve.
  notifier_->setEnabled(false);
  QString failure;
  try {
    loop_.runOnce();
  } catch (const std::exception& e) {
    failure = QString::fromUtf8(e.what());
  } catch (...) {
    failure = QStringLiteral("Unexpected error");
  }
  ++passes_;
  notifier_->setEnabled(true);
  inPass_ = false;
  rearm();
  if (!failure.isEmpty() && onError) {
    QTimer::singleShot(0, this, [this, failure] {
      if (onError) onError(failure);
    });
  }
}

void LoopBridge::rearm() {
  const int due = loop_.backendTimeout();
  if (due < 0) {
    timer_->stop();
  } else if (!timer_->isActive() || timer_->remainingTime() > due) {
    timer_->start(due);
  }
}

void LoopBridge::beforeSleep() {
  if (inPass_) return;
  if (loop_.pendingNotices() > 0) {
    pass();
  } else {
    rearm();
  }
}

}  // namespace orvane::ui
