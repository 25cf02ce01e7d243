// The start-up splash window: our picture with the maker's line in white,
// borderless, always on top, centred on the screen. It closes itself once,
// kShowMs after it was shown, and reports its closing (the program enables
// its main window then).
//
// Owns its picture and timer. User-interface thread only.
#pragma once

#include <QPixmap>
#include <QTimer>
#include <QWidget>

class QLabel;

namespace orvane::ui {

class TfrmSplash final : public QWidget {
  Q_OBJECT

 public:
  static constexpr int kShowMs = 2000;
  static constexpr QSize kPictureSize{482, 280};

  explicit TfrmSplash(QWidget* parent = nullptr);

  // Shows the window centred on the primary screen and starts its timer.
  void showCentred();

 signals:
  void closed();

 protected:
  void paintEvent(QPaintEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  QPixmap picture_;
  QTimer timer_;
  QLabel* maker_ = nullptr;
};

}  // namespace orvane::ui
