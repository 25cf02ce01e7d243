// The log viewer: one entry's transaction log, read-only, in a resizable
// window captioned "Log of <e-mail>". Created for one use and shown modally.
// Owns its controls (Memo1). User-interface thread only.
#pragma once

#include <QDialog>
#include <QString>
#include <QStringList>

class QPlainTextEdit;

namespace orvane::ui {

class TFormLog final : public QDialog {
  Q_OBJECT

 public:
  TFormLog(const QString& email, const QStringList& lines, QWidget* parent = nullptr);

 private:
  QPlainTextEdit* Memo1 = nullptr;
};

}  // namespace orvane::ui
