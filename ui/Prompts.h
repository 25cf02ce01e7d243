// Everything the window asks of the user or of the desktop outside its own
// widgets: confirmation and error boxes, the open and save file dialogs, the
// clipboard, the system beep and the user's browser. One seam for all of them,
// so that tests drive the real window without a box ever blocking them.
//
// In normal use every call shows the real box or dialog (modal, on the
// user-interface thread). A test installs a PromptScript: from then on nothing
// is shown; each call takes the next scripted answer and records what it would
// have shown, and a call without a scripted answer is recorded as unexpected
// and answered as a cancel would be.
//
// Owns nothing; the script is borrowed while installed. User-interface thread
// only.
#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <deque>

class QWidget;

namespace orvane::ui {

enum class Answer { Yes, No, Cancel };

// What a test answers and what it can read back.
struct PromptScript {
  std::deque<Answer> answers;     // for confirm(), in order
  std::deque<QString> fileNames;  // for the file dialogs ("" = cancelled)
  QString clipboard;              // what clipboardText() returns
  QStringList shown;              // "confirm: text", "error: text", "open: title", ...
  QStringList folders;            // the folder each file dialog would have opened in
  QList<QUrl> openedUrls;
  int beeps = 0;
  int unexpected = 0;  // calls that found no scripted answer
};

class Prompts final {
 public:
  Prompts() = delete;

  // A box titled "Confirm" with a question icon and the buttons Yes and No,
  // or Yes, No and Cancel. Closing the box counts as its last button.
  static Answer confirm(QWidget* parent, const QString& text, bool withCancel);
  // The application's error box: the message and an OK button.
  static void error(QWidget* parent, const QString& text);
  // File dialogs; `filter` is written "Name|*.a;*.b|Other|*.c". They open
  // in `folder`. Return the chosen path, or an empty text when the user
  // cancelled. The open dialog accepts only existing files; the save dialog
  // asks before overwriting (a box titled "Confirm"; No shows the dialog
  // again).
  static QString openFileName(QWidget* parent, const QString& title, const QString& filter,
                              const QString& defaultSuffix, const QString& folder);
  static QString saveFileName(QWidget* parent, const QString& title, const QString& filter,
                              const QString& defaultSuffix, const QString& folder);
  static QString clipboardText();
  static void beep();
  // Opens `url` in the user's browser (or the desktop's handler for it);
  // false when nothing could open it.
  static bool openUrl(const QUrl& url);

  // "Name|*.a;*.b|Other|*.c" -> the name filters of a Qt file dialog; a name
  // that already shows its patterns ("CSV (*.csv)") is kept as it is.
  static QStringList nameFilters(const QString& filter);

  // Tests: installs `script` (nullptr restores the real boxes).
  static void setScript(PromptScript* script);
  static PromptScript* script();
};

}  // namespace orvane::ui
