// The main window's file commands: start-up, New, Open, Save, Save As,
// recently used projects, dropped files, import and export.
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QMimeData>
#include <QTableView>

#include "core/ProjectFile.h"
#include "import/CsvExport.h"
#include "settings/Ini.h"
#include "settings/MostRecentUsedList.h"
#include "ui/Prompts.h"
#include "ui/export/ExportDialog.h"
#include "ui/import/ImportDialog.h"
#include "ui/list/RecipientModel.h"
#include "ui/main/MainForm.h"
#include "ui/main/MainFormSupport.h"
#include "ui/main/WindowPlacement.h"

namespace orvane::ui {
using import::exportCsvFile;
namespace {

const QString kProjectDialogFilter = QStringLiteral("Orvane Projects|*.orp");
const QString kImportFilter = QStringLiteral(
    "Data files |*.txt;*.csv;*.dbf|Text files (*.txt)|*.txt|CSV (*.csv)|*.csv|dBase "
    "(*.dbf)|*.dbf|All files (*.*)|*.*");

// True when both paths reach the same file (through links or other spellings
// too, when the file exists).
bool sameFile(const QString& a, const QString& b) {
  const QFileInfo fa(a);
  const QFileInfo fb(b);
  if (fa.exists() && fb.exists()) return fa.canonicalFilePath() == fb.canonicalFilePath();
  return fa.absoluteFilePath() == fb.absoluteFilePath();
}

bool isProjectPath(const QString& path) {
  return path.endsWith(QStringLiteral(".orp"), Qt::CaseInsensitive);
}

// A failed load as the user reads it: which file, what is wrong with it,
// then the reader's own words.
QString loadFailure(const QString& path, const std::exception& e) {
  const QString detail = QString::fromUtf8(e.what());
  const auto* error = dynamic_cast<const ProjectFileError*>(&e);
  if (!error) return detail;
  const QString file = QDir::toNativeSeparators(path);
  switch (error->kind()) {
    case ProjectFileError::Kind::NotAProject:
      return QStringLiteral("%1 is not an Orvane project: %2").arg(file, detail);
    case ProjectFileError::Kind::EndsEarly:
      return QStringLiteral("%1 is damaged (it ends early): %2").arg(file, detail);
    case ProjectFileError::Kind::Other:
      break;
  }
  // "Cannot open file NAME" names the file already.
  return detail.contains(file) ? detail : QStringLiteral("%1 is damaged: %2").arg(file, detail);
}

}  // namespace

void TMainForm::startUp(const QStringList& arguments) {
  if (ini_.maximized()) setWindowState(windowState() | Qt::WindowMaximized);
  list_.setModified(false);
  if (!arguments.isEmpty() && isProjectPath(arguments.constFirst())) {
    loadFile(arguments.constFirst());
  } else {
    guarded([this] { newProject(); });
  }
}

bool TMainForm::confirmSave() {
  if (!list_.modified()) return true;
  switch (Prompts::confirm(this, QString::fromLatin1(kSavePrompt), true)) {
    case Answer::Yes:
      return save();
    case Answer::No:
      return true;
    case Answer::Cancel:
      break;
  }
  return false;
}

void TMainForm::newProject() {
  if (!confirmSave()) return;
  list_.clear();
  list_.setModified(false);
  fileName_.clear();
  ran_ = false;
  updateTitle();
  list_.resetStatus();
  model_->flush();
  refreshNotes();
  fitNewColumns();
  updateActions();
}

void TMainForm::openProject() {
  if (!confirmSave()) return;
  const QString path = Prompts::openFileName(this, QStringLiteral("Open"), kProjectDialogFilter,
                                             QStringLiteral("orp"), dialogFolder());
  if (path.isEmpty()) return;
  folderUsed(path);
  loadFile(path);
}

bool TMainForm::loadFile(const QString& path) {
  try {
    WaitCursor wait;
    loadProject(localPath(path), list_);
  } catch (const std::exception& e) {
    Prompts::error(this, loadFailure(path, e));
    return false;
  }
  fileName_ = path;
  ran_ = false;
  updateTitle();
  model_->flush();
  refreshNotes();
  applyColumnWidths();
  updateActions();
  guarded([&] { mru_->add(path); });
  return true;
}

bool TMainForm::save() {
  if (fileName_.isEmpty()) return saveAs();
  try {
    WaitCursor wait;
    ProjectLayout layout;
    // Where the list's panel sits in the window, a note bar above the list
    // included: the same figures with the bar shown or hidden.
    const QWidget* panel = ListView1->parentWidget();
    const QPoint at = panel->mapTo(this, QPoint(0, 0));
    layout.left = at.x();
    layout.top = at.y();
    layout.width = panel->width();
    layout.height = panel->height();
    saveProject(localPath(fileName_), list_, layout);
  } catch (const std::exception& e) {
    Prompts::error(this, QString::fromUtf8(e.what()));
    return false;
  }
  guarded([this] { mru_->add(fileName_); });
  return true;
}

bool TMainForm::saveAs() {
  const QString path = Prompts::saveFileName(this, QStringLiteral("Save As"), kProjectDialogFilter,
                                             QStringLiteral("orp"), dialogFolder());
  if (path.isEmpty()) return false;
  folderUsed(path);
  fileName_ = path;
  updateTitle();
  return save();
}

void TMainForm::saveCommand() {
  save();
}

void TMainForm::saveAsCommand() {
  saveAs();
}

void TMainForm::recentFileChosen(const QString& path) {
  if (run_.running()) return;
  if (!confirmSave()) return;
  if (!QFileInfo::exists(path)) {
    Prompts::error(this, QStringLiteral("File %1 has been deleted").arg(path));
    return;
  }
  loadFile(path);
}

void TMainForm::dragEnterEvent(QDragEnterEvent* event) {
  for (const QUrl& url : event->mimeData()->urls()) {
    if (url.isLocalFile() && isProjectPath(url.toLocalFile())) {
      event->acceptProposedAction();
      return;
    }
  }
}

void TMainForm::dropEvent(QDropEvent* event) {
  if (run_.running()) return;
  for (const QUrl& url : event->mimeData()->urls()) {
    if (url.isLocalFile() && isProjectPath(url.toLocalFile())) {
      event->acceptProposedAction();
      const QString path = url.toLocalFile();
      QTimer::singleShot(0, this, [this, path] {
        if (!run_.running() && confirmSave()) loadFile(path);
      });
      return;
    }
  }
}

void TMainForm::importRecipients() {
  const QString path = Prompts::openFileName(this, QStringLiteral("Open Recipient List"),
                                             kImportFilter, QStringLiteral("txt"), dialogFolder());
  if (path.isEmpty()) return;
  folderUsed(path);
  TImportDialog dialog(list_, path, this);
  if (!dialog.ready()) return;  // refused, and the dialog said why
  keepPlacement(dialog, ini_, kPlaceImport, dialog.size());
  dialog.exec();
  model_->flush();
  refreshNotes();
  if (dialog.replaced()) {
    fitNewColumns();
  } else {
    applyColumnWidths();
  }
  updateActions();
}

void TMainForm::exportRecipients() {
  TExportDialog choice(
      list_, [this](const Entry& entry) { return entryInsight_->notesOf(entry); }, this);
  if (choice.exec() != QDialog::Accepted) return;
  const QString path = Prompts::saveFileName(this, QStringLiteral("Export Recipient List"),
                                             QStringLiteral("CSV (*.csv)|*.csv"),
                                             QStringLiteral("csv"), dialogFolder());
  if (path.isEmpty()) return;
  folderUsed(path);
  if (!fileName_.isEmpty() && sameFile(path, fileName_)) {
    Prompts::error(
        this,
        QStringLiteral("%1 is the open project; choose another file for the export").arg(path));
    return;
  }
  WaitCursor wait;
  exportCsvFile(list_, localPath(path), choice.filter());
}

}  // namespace orvane::ui
