// The run report's bar chart: one horizontal bar per verdict (valid,
// invalid, catch-all, unknown) in the colour of the list's icon for it, its
// length the verdict's share of the results, with the count and the share
// written beside it. Painted with QPainter in the widget's palette, so it
// reads on light and dark desktops alike; its accessible description holds
// the same numbers as text.
//
// Owns nothing but the numbers it shows. User-interface thread only.
#pragma once

#include <QWidget>
#include <array>
#include <cstdint>

namespace orvane::ui {

class VerdictChart final : public QWidget {
  Q_OBJECT

 public:
  explicit VerdictChart(QWidget* parent = nullptr);

  // Counts in report order: valid, invalid, catch-all, unknown.
  void setCounts(const std::array<std::uint64_t, 4>& counts);
  const std::array<std::uint64_t, 4>& counts() const noexcept { return counts_; }

  QSize sizeHint() const override;
  QSize minimumSizeHint() const override;

  // The bar colours, in report order.
  static QColor colour(std::size_t slot);

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  int rowHeight() const;
  int labelWidth() const;

  std::array<std::uint64_t, 4> counts_{};
};

}  // namespace orvane::ui
