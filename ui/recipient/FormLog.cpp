#include "ui/recipient/FormLog.h"

#include <QPlainTextEdit>
#include <QVBoxLayout>

namespace orvane::ui {

TFormLog::TFormLog(const QString& email, const QStringList& lines, QWidget* parent)
    : QDialog(parent) {
  setObjectName(QStringLiteral("FormLog"));
  setWindowTitle(QStringLiteral("Log of %1").arg(email));
  resize(294, 205);
  Memo1 = new QPlainTextEdit(this);
  Memo1->setObjectName(QStringLiteral("Memo1"));
  Memo1->setReadOnly(true);
  Memo1->setFocusPolicy(Qt::NoFocus);
  Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  Memo1->setLineWrapMode(QPlainTextEdit::NoWrap);
  QPalette palette = Memo1->palette();
  palette.setColor(QPalette::Base, palette.color(QPalette::Window));
  Memo1->setPalette(palette);
  Memo1->setPlainText(lines.join(QLatin1Char('\n')));
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(Memo1);
}

}  // namespace orvane::ui
