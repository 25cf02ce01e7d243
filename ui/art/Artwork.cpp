#include "ui/art/Artwork.h"

#include <QGuiApplication>
#include <QHash>
#include <QPainter>
#include <QSvgRenderer>

// The pictures live in this static library; registering them here makes them
// available to every program that draws one.
static void registerArtwork() {
  Q_INIT_RESOURCE(orvane);
}

namespace orvane::ui {
namespace {

qreal pixelRatio() {
  return qGuiApp ? qGuiApp->devicePixelRatio() : 1.0;
}

}  // namespace

QPixmap artPixmap(const QString& resource, QSize size) {
  static const bool registered = (registerArtwork(), true);
  (void)registered;
  const qreal ratio = pixelRatio();
  QPixmap pixmap(size * ratio);
  pixmap.fill(Qt::transparent);
  QSvgRenderer renderer(resource);
  if (renderer.isValid()) {
    QPainter painter(&pixmap);
    renderer.render(&painter);
  }
  pixmap.setDevicePixelRatio(ratio);
  return pixmap;
}

QIcon artIcon(const QString& name) {
  const QString resource = QStringLiteral(":/icons/") + name + QStringLiteral(".svg");
  QIcon icon;
  for (int side : {16, 22, 24, 32, 48}) icon.addPixmap(artPixmap(resource, QSize(side, side)));
  return icon;
}

QIcon themedIcon(const QString& themeName, const QString& name) {
  if (QIcon::hasThemeIcon(themeName)) return QIcon::fromTheme(themeName);
  return artIcon(name);
}

QPixmap entryDecoration(bool checked, const QString& resultIcon) {
  static QHash<QString, QPixmap> cache;
  const QString key = (checked ? QStringLiteral("1") : QStringLiteral("0")) + resultIcon;
  if (auto it = cache.constFind(key); it != cache.constEnd()) return *it;
  const qreal ratio = pixelRatio();
  QPixmap pixmap(kEntryDecorationSize * ratio);
  pixmap.setDevicePixelRatio(ratio);
  pixmap.fill(Qt::transparent);
  {
    QPainter painter(&pixmap);
    const QSize icon(16, 16);
    painter.drawPixmap(0, 0,
                       artPixmap(checked ? QStringLiteral(":/icons/checked.svg")
                                         : QStringLiteral(":/icons/unchecked.svg"),
                                 icon));
    if (!resultIcon.isEmpty()) {
      painter.drawPixmap(
          18, 0, artPixmap(QStringLiteral(":/icons/") + resultIcon + QStringLiteral(".svg"), icon));
    }
  }
  cache.insert(key, pixmap);
  return pixmap;
}

}  // namespace orvane::ui
