#include "ui/main/WindowPlacement.h"

#include <QEvent>
#include <QGuiApplication>
#include <QScreen>
#include <QStringList>
#include <QWidget>
#include <algorithm>

#include "settings/Ini.h"

namespace orvane::ui {
namespace {

// Stores the placement whenever the window it watches is hidden.
class PlacementKeeper final : public QObject {
 public:
  PlacementKeeper(QWidget& window, settings::TINI& ini, const char* name)
      : QObject(&window), ini_(ini), name_(name) {
    window.installEventFilter(this);
  }

  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Hide && watched == parent()) {
      storePlacement(*static_cast<QWidget*>(watched), ini_, name_);
    }
    return false;
  }

 private:
  settings::TINI& ini_;
  const char* name_;
};

// At least this much of a stored window must lie on a screen for it to open there.
constexpr int kVisibleEdge = 48;

}  // namespace

QString placementText(const QRect& rect) {
  return QStringLiteral("%1,%2,%3,%4")
      .arg(rect.left())
      .arg(rect.top())
      .arg(rect.width())
      .arg(rect.height());
}

std::optional<QRect> parsePlacement(const QString& text) {
  const QStringList parts = text.split(QLatin1Char(','));
  if (parts.size() != 4) return std::nullopt;
  int values[4] = {};
  for (int i = 0; i < 4; ++i) {
    bool ok = false;
    values[i] = parts[i].trimmed().toInt(&ok);
    if (!ok) return std::nullopt;
  }
  const QRect rect(values[0], values[1], values[2], values[3]);
  if (rect.width() <= 0 || rect.height() <= 0) return std::nullopt;
  return rect;
}

std::optional<QRect> storedPlacement(const settings::TINI& ini, const char* name) {
  const std::optional<QRect> rect =
      parsePlacement(QString::fromStdString(ini.windowPlacement(name)));
  if (!rect) return std::nullopt;
  for (const QScreen* screen : QGuiApplication::screens()) {
    const QRect area = screen->availableGeometry();
    const QRect shared = area.intersected(*rect);
    if (shared.width() < kVisibleEdge || shared.height() < kVisibleEdge) continue;
    // Cut to the screen: never larger than it, moved in where it sticks out.
    QRect fitted(rect->topLeft(), rect->size().boundedTo(area.size()));
    fitted.moveLeft(std::clamp(fitted.left(), area.left(), area.right() - fitted.width() + 1));
    fitted.moveTop(std::clamp(fitted.top(), area.top(), area.bottom() - fitted.height() + 1));
    return fitted;
  }
  return std::nullopt;
}

void storePlacement(const QWidget& window, settings::TINI& ini, const char* name) {
  const QRect rect =
      window.isMaximized() || window.isFullScreen() ? window.normalGeometry() : window.geometry();
  if (rect.isEmpty()) return;
  ini.setWindowPlacement(name, placementText(rect).toStdString());
}

QSize screenShare(double share, QSize minimum) {
  const QScreen* screen = QGuiApplication::primaryScreen();
  if (!screen) return minimum;
  const QSize area = screen->availableGeometry().size();
  const QSize wanted(static_cast<int>(area.width() * share),
                     static_cast<int>(area.height() * share));
  return wanted.expandedTo(minimum).boundedTo(area);
}

bool keepPlacement(QWidget& window, settings::TINI& ini, const char* name, QSize defaultSize) {
  const std::optional<QRect> stored = storedPlacement(ini, name);
  if (stored) {
    window.setGeometry(*stored);
  } else {
    window.resize(defaultSize);
  }
  new PlacementKeeper(window, ini, name);
  return stored.has_value();
}

}  // namespace orvane::ui
