// orvane: the desktop program. Start-up order: the splash window, the
// application's title, the settings store, the main window (disabled until the
// splash closes; it opens the project named as first argument), then one event
// loop for everything: Qt's, with the network's embedded in it.
#include <QApplication>
#include <QMessageBox>
#include <exception>

#include "engine/ResourceLimits.h"
#include "net/EventLoop.h"
#include "settings/Ini.h"
#include "ui/Prompts.h"
#include "ui/art/Artwork.h"
#include "ui/loop/LoopBridge.h"
#include "ui/main/AboutBox.h"
#include "ui/main/MainForm.h"
#include "ui/main/Splash.h"

int main(int argc, char** argv) {
  using namespace orvane;
  QApplication app(argc, argv);
  ui::TfrmSplash splash;
  splash.showCentred();
  QApplication::processEvents();

  QApplication::setApplicationName(QString::fromLatin1(ui::kProductName));
  QApplication::setWindowIcon(ui::artIcon(QStringLiteral("orvane")));
  // Hundreds of sessions need a socket or two each.
  engine::raiseDescriptorLimit();
  try {
    net::EventLoop loop;
    ui::LoopBridge bridge(loop);
    settings::TINI ini;
    ui::TMainForm form(loop, ini);
    form.setEnabled(false);
    bridge.onError = [&form](const QString& message) { ui::Prompts::error(&form, message); };
    QObject::connect(&splash, &ui::TfrmSplash::closed, &form, [&form] {
      form.setEnabled(true);
      form.activateWindow();
    });
    QStringList arguments = QApplication::arguments();
    arguments.removeFirst();
    form.startUp(arguments);
    form.show();
    splash.raise();
    // The program ends when the main window closes, not when its last window
    // disappears (a hidden main window may still be reached from the tray).
    QApplication::setQuitOnLastWindowClosed(false);
    QObject::connect(&form, &ui::TMainForm::closed, &app, &QApplication::quit,
                     Qt::QueuedConnection);
    return QApplication::exec();
  } catch (const std::exception& e) {
    QMessageBox::critical(nullptr, QString::fromLatin1(ui::kProductName),
                          QString::fromUtf8(e.what()));
    return 1;
  }
}
