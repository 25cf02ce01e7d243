#include "ui/main/Splash.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QLabel>
#include <QPainter>
#include <QScreen>

#include "ui/art/Artwork.h"
#include "ui/main/AboutBox.h"

namespace orvane::ui {

TfrmSplash::TfrmSplash(QWidget* parent)
    : QWidget(parent, Qt::SplashScreen | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint) {
  setObjectName(QStringLiteral("frmSplash"));
  setAttribute(Qt::WA_DeleteOnClose, false);
  setFixedSize(kPictureSize);
  picture_ = artPixmap(QStringLiteral(":/splash.svg"), kPictureSize);
  maker_ = new QLabel(QString::fromLatin1(kMakerLine), this);
  maker_->setObjectName(QStringLiteral("lbMaker"));
  QPalette palette = maker_->palette();
  palette.setColor(QPalette::WindowText, Qt::white);
  maker_->setPalette(palette);
  maker_->setGeometry(16, kPictureSize.height() - 32, kPictureSize.width() - 32, 20);
  timer_.setSingleShot(true);
  connect(&timer_, &QTimer::timeout, this, &QWidget::close);
}

void TfrmSplash::showCentred() {
  if (QScreen* screen = QGuiApplication::primaryScreen()) {
    const QRect area = screen->availableGeometry();
    move(area.center() - rect().center());
  }
  show();
  raise();
  timer_.start(kShowMs);
}

void TfrmSplash::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.drawPixmap(rect(), picture_);
}

void TfrmSplash::closeEvent(QCloseEvent* event) {
  timer_.stop();
  QWidget::closeEvent(event);
  if (event->isAccepted()) emit closed();
}

}  // namespace orvane::ui
