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

QPixmap flagBadges(AddressFlags flags, bool suggestion) {
  static QHash<int, QPixmap> cache;
  const int key = flags.bits() | (suggestion ? 0x10 : 0);
  if (key == 0) return {};
  if (auto it = cache.constFind(key); it != cache.constEnd()) return *it;
  struct Badge {
    bool shown;
    QChar letter;
    QColor colour;
  };
  // Saturated colours under white letters read on light and dark lists alike.
  const Badge badges[] = {
      {flags.has(AddressFlag::Disposable), QLatin1Char('D'), QColor(0xb0, 0x3a, 0x2e)},
      {flags.has(AddressFlag::Role), QLatin1Char('R'), QColor(0x9a, 0x67, 0x00)},
      {flags.has(AddressFlag::Free), QLatin1Char('F'), QColor(0x1f, 0x61, 0x8d)},
      {flags.has(AddressFlag::Extracted), QLatin1Char('E'), QColor(0x6c, 0x34, 0x83)},
      {suggestion, QLatin1Char('?'), QColor(0x1d, 0x73, 0x3f)},
  };
  int count = 0;
  for (const Badge& b : badges) count += b.shown ? 1 : 0;
  const qreal ratio = pixelRatio();
  QPixmap pixmap(QSize(count * (kBadgeSize + 2) - 2, kBadgeSize) * ratio);
  pixmap.setDevicePixelRatio(ratio);
  pixmap.fill(Qt::transparent);
  {
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    QFont font = painter.font();
    font.setBold(true);
    font.setPixelSize(kBadgeSize - 4);
    painter.setFont(font);
    int x = 0;
    for (const Badge& b : badges) {
      if (!b.shown) continue;
      const QRectF box(x, 0, kBadgeSize, kBadgeSize);
      painter.setPen(Qt::NoPen);
      painter.setBrush(b.colour);
      painter.drawRoundedRect(box, 3, 3);
      painter.setPen(Qt::white);
      painter.drawText(box, Qt::AlignCenter, QString(b.letter));
      x += kBadgeSize + 2;
    }
  }
  cache.insert(key, pixmap);
  return pixmap;
}

}  // namespace orvane::ui
