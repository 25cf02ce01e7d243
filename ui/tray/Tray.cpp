#include "ui/tray/Tray.h"

#include <QCursor>
#include <QFile>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTimer>

#include "ui/art/Artwork.h"

namespace orvane::ui {
namespace {

std::function<std::unique_ptr<TrayBackend>()>& factory() {
  static std::function<std::unique_ptr<TrayBackend>()> f;
  return f;
}

// How often the desktop's notification area is looked for: Qt tells no one
// when it goes or comes, so it is asked.
constexpr int kWatchIntervalMs = 2000;

class QtTrayBackend final : public TrayBackend {
 public:
  QtTrayBackend() : available_(QSystemTrayIcon::isSystemTrayAvailable()) {
    watch_.setInterval(kWatchIntervalMs);
    QObject::connect(&watch_, &QTimer::timeout, [this] {
      const bool now = QSystemTrayIcon::isSystemTrayAvailable();
      if (now == available_) return;
      available_ = now;
      if (onAvailabilityChanged) onAvailabilityChanged();
    });
    watch_.start();
    QObject::connect(&icon_, &QSystemTrayIcon::activated,
                     [this](QSystemTrayIcon::ActivationReason reason) {
                       if (!onClick) return;
                       switch (reason) {
                         case QSystemTrayIcon::Trigger:
                           onClick(Click::Single);
                           break;
                         case QSystemTrayIcon::DoubleClick:
                           onClick(Click::Double);
                           break;
                         case QSystemTrayIcon::Context:
                           onClick(Click::Menu);
                           break;
                         default:
                           break;
                       }
                     });
  }
  bool available() const override { return available_; }
  void show(const QIcon& icon, const QString& tip) override {
    icon_.setIcon(icon);
    icon_.setToolTip(tip);
    icon_.show();
  }
  void hide() override { icon_.hide(); }
  // An icon left "visible" on a desktop whose area has gone is seen by no one.
  bool shown() const override { return available_ && icon_.isVisible(); }
  void popUp(QMenu* menu) override { menu->popup(QCursor::pos()); }

 private:
  QSystemTrayIcon icon_;
  QTimer watch_;
  bool available_;
};

}  // namespace

std::unique_ptr<TrayBackend> TrayBackend::create() {
  if (factory()) return factory()();
  return std::make_unique<QtTrayBackend>();
}

void TrayBackend::setFactoryForTests(std::function<std::unique_ptr<TrayBackend>()> f) {
  factory() = std::move(f);
}

TmdTray::TmdTray(QObject* parent) : QObject(parent), backend_(TrayBackend::create()) {
  backend_->onClick = [this](TrayBackend::Click click) { clicked(click); };
  backend_->onAvailabilityChanged = [this] { availabilityChanged(); };
  refresh();
}

TmdTray::~TmdTray() {
  backend_->onClick = nullptr;
  backend_->onAvailabilityChanged = nullptr;
  backend_->hide();
}

void TmdTray::availabilityChanged() {
  // A new notification area knows nothing of the icon: show it afresh.
  backend_->hide();
  refresh();
  emit activeChanged(Active());
}

bool TmdTray::Active() const {
  return active_ && backend_->shown();
}

void TmdTray::setActive(bool active) {
  if (active == active_) return;
  active_ = active;
  refresh();
}

void TmdTray::setIcon(const QIcon& icon) {
  icon_ = icon;
  refresh();
}

void TmdTray::setIconResources(const QStringList& names) {
  resources_ = names;
  refresh();
}

void TmdTray::setIconIndex(int index) {
  if (index == iconIndex_) return;
  iconIndex_ = index;
  if (icon_.isNull()) refresh();
}

void TmdTray::setTip(const QString& tip) {
  tip_ = tip.left(kMaxTip);
  tipAssigned_ = true;
  refresh();
}

void TmdTray::setName(const QString& name) {
  setObjectName(name);
  if (!tipAssigned_) {
    tip_ = name.left(kMaxTip);
    refresh();
  }
}

QIcon TmdTray::currentIcon() const {
  if (!icon_.isNull()) return icon_;
  if (iconIndex_ < 0 || iconIndex_ >= resources_.size()) return {};
  const QString& name = resources_[iconIndex_];
  if (name.compare(QStringLiteral("MAINICON"), Qt::CaseInsensitive) == 0) {
    return artIcon(QStringLiteral("orvane"));
  }
  const QString lower = name.toLower();
  if (!QFile::exists(QStringLiteral(":/icons/") + lower + QStringLiteral(".svg"))) return {};
  return artIcon(lower);
}

void TmdTray::refresh() {
  const QIcon icon = currentIcon();
  if (active_ && !icon.isNull() && backend_->available()) {
    backend_->show(icon, tip_);
  } else {
    backend_->hide();
  }
}

void TmdTray::clicked(TrayBackend::Click click) {
  switch (click) {
    case TrayBackend::Click::Single:
      if (SimpelFunction) SimpelFunction(*this);
      break;
    case TrayBackend::Click::Double:
      if (DefaultFunction) DefaultFunction(*this);
      break;
    case TrayBackend::Click::Menu:
      if (ShowMenu) ShowMenu(*this);
      if (menu_) backend_->popUp(menu_);
      break;
  }
}

}  // namespace orvane::ui
