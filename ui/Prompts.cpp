#include "ui/Prompts.h"

#include <QApplication>
#include <QClipboard>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QMessageBox>

namespace orvane::ui {
namespace {

PromptScript* gScript = nullptr;

template <typename T>
bool takeNext(std::deque<T>& queue, T& out) {
  if (queue.empty()) {
    ++gScript->unexpected;
    return false;
  }
  out = std::move(queue.front());
  queue.pop_front();
  return true;
}

QString runFileDialog(QWidget* parent, QFileDialog::AcceptMode mode, const QString& title,
                      const QString& filter, const QString& defaultSuffix, const QString& folder) {
  if (gScript) {
    gScript->shown << (mode == QFileDialog::AcceptOpen ? QStringLiteral("open: ")
                                                       : QStringLiteral("save: ")) +
                          title;
    gScript->folders << folder;
    QString name;
    takeNext(gScript->fileNames, name);
    return name;
  }
  QFileDialog dialog(parent, title, folder);
  dialog.setAcceptMode(mode);
  dialog.setFileMode(mode == QFileDialog::AcceptOpen ? QFileDialog::ExistingFile
                                                     : QFileDialog::AnyFile);
  dialog.setNameFilters(Prompts::nameFilters(filter));
  dialog.setDefaultSuffix(defaultSuffix);
  dialog.setOption(QFileDialog::ReadOnly, false);
  // The dialog's own question is a narrow box under the dialog's title,
  // which it cuts; ours is titled "Confirm" like every other question.
  dialog.setOption(QFileDialog::DontConfirmOverwrite, true);
  for (;;) {
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
    const QString chosen = dialog.selectedFiles().constFirst();
    if (mode == QFileDialog::AcceptOpen || !QFileInfo::exists(chosen)) return chosen;
    const QString question = QStringLiteral("%1 already exists.\nDo you want to replace it?")
                                 .arg(QDir::toNativeSeparators(chosen));
    if (Prompts::confirm(parent, question, false) == Answer::Yes) return chosen;
  }
}

}  // namespace

Answer Prompts::confirm(QWidget* parent, const QString& text, bool withCancel) {
  if (gScript) {
    gScript->shown << QStringLiteral("confirm: ") + text;
    Answer answer = withCancel ? Answer::Cancel : Answer::No;
    takeNext(gScript->answers, answer);
    if (!withCancel && answer == Answer::Cancel) answer = Answer::No;
    return answer;
  }
  QMessageBox::StandardButtons buttons = QMessageBox::Yes | QMessageBox::No;
  if (withCancel) buttons |= QMessageBox::Cancel;
  QMessageBox box(QMessageBox::Question, QStringLiteral("Confirm"), text, buttons, parent);
  box.setEscapeButton(withCancel ? QMessageBox::Cancel : QMessageBox::No);
  switch (box.exec()) {
    case QMessageBox::Yes:
      return Answer::Yes;
    case QMessageBox::No:
      return Answer::No;
    default:
      return withCancel ? Answer::Cancel : Answer::No;
  }
}

void Prompts::error(QWidget* parent, const QString& text) {
  if (gScript) {
    gScript->shown << QStringLiteral("error: ") + text;
    return;
  }
  QMessageBox box(QMessageBox::Critical, QGuiApplication::applicationDisplayName(), text,
                  QMessageBox::Ok, parent);
  box.exec();
}

QString Prompts::openFileName(QWidget* parent, const QString& title, const QString& filter,
                              const QString& defaultSuffix, const QString& folder) {
  return runFileDialog(parent, QFileDialog::AcceptOpen, title, filter, defaultSuffix, folder);
}

QString Prompts::saveFileName(QWidget* parent, const QString& title, const QString& filter,
                              const QString& defaultSuffix, const QString& folder) {
  return runFileDialog(parent, QFileDialog::AcceptSave, title, filter, defaultSuffix, folder);
}

QString Prompts::clipboardText() {
  if (gScript) return gScript->clipboard;
  return QGuiApplication::clipboard()->text();
}

void Prompts::beep() {
  if (gScript) {
    ++gScript->beeps;
    return;
  }
  QApplication::beep();
}

bool Prompts::openUrl(const QUrl& url) {
  if (gScript) {
    gScript->openedUrls << url;
    return true;
  }
  return QDesktopServices::openUrl(url);
}

QStringList Prompts::nameFilters(const QString& filter) {
  const QStringList parts = filter.split(QLatin1Char('|'));
  QStringList out;
  for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
    QString patterns = parts[i + 1];
    patterns.replace(QLatin1Char(';'), QLatin1Char(' '));
    const QString name = parts[i].trimmed();
    out << (name.endsWith(QLatin1Char(')'))
                ? name
                : name + QStringLiteral(" (") + patterns + QLatin1Char(')'));
  }
  return out;
}

void Prompts::setScript(PromptScript* script) {
  gScript = script;
}

PromptScript* Prompts::script() {
  return gScript;
}

}  // namespace orvane::ui
