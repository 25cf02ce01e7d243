// The log viewer: one entry's transaction log, read-only, in a resizable
// window captioned "Log of <e-mail>". Created for one use and shown modally.
// Owns its controls (Memo1). User-interface thread only.
#pragma once

#include <QDialog>
#include <QString>

#include "core/RecipientList.h"

class QPlainTextEdit;

namespace orvane::ui {

// A read-only, unfocusable text with a vertical scroll bar and the dialog's
// background colour: how every window shows a transaction log.
QPlainTextEdit* createLogMemo(QWidget* parent);
// Shows `log` in `memo`, one line per line.
void showLog(QPlainTextEdit* memo, const TransactionLog& log);

class TFormLog final : public QDialog {
  Q_OBJECT

 public:
  TFormLog(const QString& email, const TransactionLog& log, QWidget* parent = nullptr);

 private:
  QPlainTextEdit* Memo1 = nullptr;
};

}  // namespace orvane::ui
