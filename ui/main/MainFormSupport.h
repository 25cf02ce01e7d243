// What the main window's source files share: the path form the libraries
// take, the busy cursor and the guard every command runs in. Internal to
// ui/main; GUI thread only.
#pragma once

#include <QApplication>
#include <QFile>
#include <QString>
#include <exception>
#include <string>

#include "ui/Prompts.h"
#include "ui/main/MainForm.h"

namespace orvane::ui {

// A path as the libraries open it: the local file system's encoding.
inline std::string localPath(const QString& path) {
  return QFile::encodeName(path).toStdString();
}

// Shows the hourglass while a command works through the whole list.
class WaitCursor {
 public:
  WaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
  ~WaitCursor() { QApplication::restoreOverrideCursor(); }
  WaitCursor(const WaitCursor&) = delete;
  WaitCursor& operator=(const WaitCursor&) = delete;
};

// Runs a command; an exception it throws ends in the error box, never in
// Qt's loop.
template <typename F>
void TMainForm::guarded(F&& f) {
  try {
    f();
  } catch (const std::exception& e) {
    Prompts::error(this, QString::fromUtf8(e.what()));
  } catch (...) {
    Prompts::error(this, QStringLiteral("Unexpected error"));
  }
}

}  // namespace orvane::ui
