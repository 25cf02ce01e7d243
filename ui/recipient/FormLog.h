// The log viewer: one entry's transaction log, read-only, in a resizable
// window captioned "Log of <e-mail>", in a fixed-pitch font, sized at first to
// show kColumns characters by kLines lines (within the screen). Created for
// one use and shown modally. Owns its controls (Memo1). User-interface thread
// only.
#pragma once

#include <QDialog>
#include <QString>

#include "core/RecipientList.h"

class QPlainTextEdit;

namespace orvane::ui {

// A read-only text in a fixed-pitch font with a vertical scroll bar and the
// dialog's background colour, which the keyboard can reach, scroll and copy
// from: how every window shows a transaction log.
QPlainTextEdit* createLogMemo(QWidget* parent);
// Shows `log` in `memo`, one line per line.
void showLog(QPlainTextEdit* memo, const TransactionLog& log);

class TFormLog final : public QDialog {
  Q_OBJECT

 public:
  static constexpr int kColumns = 100;
  static constexpr int kLines = 20;

  TFormLog(const QString& email, const TransactionLog& log, QWidget* parent = nullptr);

  // kColumns by kLines of the log's font, with the frame and the scroll bar.
  QSize defaultSize() const;

 private:
  QPlainTextEdit* Memo1 = nullptr;
};

}  // namespace orvane::ui
