#include "ui/report/VerdictChart.h"

#include <QLocale>
#include <QPainter>
#include <QPainterPath>
#include <algorithm>
#include <numeric>

namespace orvane::ui {
namespace {

constexpr const char* kNames[] = {"Valid", "Invalid", "Catch-all", "Unknown"};
constexpr int kGap = 8;

double share(std::uint64_t count, std::uint64_t all) {
  return all == 0 ? 0.0 : static_cast<double>(count) / static_cast<double>(all);
}

}  // namespace

VerdictChart::VerdictChart(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("VerdictChart"));
  setAccessibleName(QStringLiteral("Verdicts"));
  setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
  setCounts({});
}

QColor VerdictChart::colour(std::size_t slot) {
  // The fills of the list's good, bad, catch-all and unknown icons.
  static const QColor colours[] = {QColor(0x2E, 0xA4, 0x4F), QColor(0xDA, 0x3B, 0x40),
                                   QColor(0xF2, 0xA4, 0x13), QColor(0x87, 0x93, 0xA0)};
  return colours[std::min<std::size_t>(slot, 3)];
}

void VerdictChart::setCounts(const std::array<std::uint64_t, 4>& counts) {
  counts_ = counts;
  const std::uint64_t all = std::accumulate(counts_.begin(), counts_.end(), std::uint64_t{0});
  const QLocale locale;
  QStringList lines;
  for (std::size_t i = 0; i < counts_.size(); ++i) {
    lines << QStringLiteral("%1: %2 (%3%)")
                 .arg(QString::fromLatin1(kNames[i]),
                      locale.toString(static_cast<qulonglong>(counts_[i])),
                      locale.toString(100.0 * share(counts_[i], all), 'f', 1));
  }
  setAccessibleDescription(lines.join(QStringLiteral("; ")));
  update();
}

int VerdictChart::rowHeight() const {
  return fontMetrics().height() + 10;
}

int VerdictChart::labelWidth() const {
  int width = 0;
  for (const char* name : kNames) {
    width = std::max(width, fontMetrics().horizontalAdvance(QString::fromLatin1(name)));
  }
  return width;
}

QSize VerdictChart::sizeHint() const {
  return {labelWidth() + 480, 4 * rowHeight() + 3 * kGap / 2};
}

QSize VerdictChart::minimumSizeHint() const {
  return {labelWidth() + 240, sizeHint().height()};
}

void VerdictChart::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  const std::uint64_t all = std::accumulate(counts_.begin(), counts_.end(), std::uint64_t{0});
  const QLocale locale;
  const QFontMetrics metrics = fontMetrics();
  const int label = labelWidth();
  // Room for the widest figure text, so that a full bar never covers it.
  const QString widest =
      QStringLiteral("%1  (100.0%)")
          .arg(locale.toString(static_cast<qulonglong>(std::max<std::uint64_t>(all, 1000))));
  const int figures = metrics.horizontalAdvance(widest) + kGap;
  const int barLeft = label + kGap;
  const int barSpace = std::max(width() - barLeft - figures, 20);
  const QColor text = palette().color(QPalette::WindowText);
  QColor track = text;
  track.setAlphaF(0.08);

  for (std::size_t i = 0; i < counts_.size(); ++i) {
    const int top = static_cast<int>(i) * (rowHeight() + kGap / 2);
    painter.setPen(text);
    painter.drawText(QRect(0, top, label, rowHeight()), Qt::AlignLeft | Qt::AlignVCenter,
                     QString::fromLatin1(kNames[i]));
    const QRectF trackRect(barLeft, top + 3, barSpace, rowHeight() - 6);
    QPainterPath trackPath;
    trackPath.addRoundedRect(trackRect, 3, 3);
    painter.fillPath(trackPath, track);
    const double part = share(counts_[i], all);
    if (part > 0) {
      QRectF bar = trackRect;
      bar.setWidth(std::max(2.0, trackRect.width() * part));
      QPainterPath barPath;
      barPath.addRoundedRect(bar, 3, 3);
      painter.fillPath(barPath, colour(i));
    }
    const QString figure = QStringLiteral("%1  (%2%)")
                               .arg(locale.toString(static_cast<qulonglong>(counts_[i])),
                                    locale.toString(100.0 * part, 'f', 1));
    painter.setPen(text);
    painter.drawText(QRect(barLeft + barSpace + kGap, top, figures, rowHeight()),
                     Qt::AlignLeft | Qt::AlignVCenter, figure);
  }
}

}  // namespace orvane::ui
