#include "ui/recipient/FormLog.h"

#include <QFontDatabase>
#include <QGuiApplication>
#include <QPlainTextEdit>
#include <QScreen>
#include <QScrollBar>
#include <QTextDocument>
#include <QVBoxLayout>

namespace orvane::ui {

QPlainTextEdit* createLogMemo(QWidget* parent) {
  auto* memo = new QPlainTextEdit(parent);
  memo->setObjectName(QStringLiteral("Memo1"));
  memo->setReadOnly(true);
  // Reachable with Tab, then scrolled, selected and copied with the keyboard.
  memo->setFocusPolicy(Qt::StrongFocus);
  memo->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  // A protocol transcript reads best with its columns lined up.
  memo->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
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
  Memo1 = createLogMemo(this);
  Memo1->setLineWrapMode(QPlainTextEdit::NoWrap);
  showLog(Memo1, log);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(Memo1);
  resize(defaultSize());
}

QSize TFormLog::defaultSize() const {
  const QFontMetrics metrics(Memo1->font());
  const int frame = 2 * Memo1->frameWidth();
  const int margins = 2 * static_cast<int>(Memo1->document()->documentMargin());
  const QSize text(metrics.horizontalAdvance(QString(kColumns, QLatin1Char('M'))),
                   kLines * metrics.lineSpacing());
  const QSize wanted(
      text.width() + frame + margins + Memo1->verticalScrollBar()->sizeHint().width(),
      text.height() + frame + margins);
  const QScreen* screen = QGuiApplication::primaryScreen();
  return screen ? wanted.boundedTo(screen->availableGeometry().size() * 9 / 10) : wanted;
}

}  // namespace orvane::ui
