#include "ui/recipient/FormLog.h"

#include <QPlainTextEdit>
#include <QVBoxLayout>

namespace orvane::ui {

QPlainTextEdit* createLogMemo(QWidget* parent) {
  auto* memo = new QPlainTextEdit(parent);
  memo->setObjectName(QStringLiteral("Memo1"));
  memo->setReadOnly(true);
  memo->setFocusPolicy(Qt::NoFocus);
  memo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  QPalette palette = memo->palette();
  palette.setColor(QPalette::Base, palette.color(QPalette::Window));
  memo->setPalette(palette);
  return memo;
}

void showLog(QPlainTextEdit* memo, const TransactionLog& log) {
  QString text;
  for (const std::string& line : log) {
    if (!text.isEmpty()) text += QLatin1Char('\n');
    text += QString::fromStdString(line);
  }
  memo->setPlainText(text);
}

TFormLog::TFormLog(const QString& email, const TransactionLog& log, QWidget* parent)
    : QDialog(parent) {
  setObjectName(QStringLiteral("FormLog"));
  setWindowTitle(QStringLiteral("Log of %1").arg(email));
  resize(294, 205);
  Memo1 = createLogMemo(this);
  Memo1->setLineWrapMode(QPlainTextEdit::NoWrap);
  showLog(Memo1, log);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(Memo1);
}

}  // namespace orvane::ui
