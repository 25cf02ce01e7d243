#include "ui/main/MainForm.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QFrame>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLocale>
#include <QMenuBar>
#include <QMouseEvent>
#include <QScreen>
#include <QStandardPaths>
#include <QStatusBar>
#include <QTableView>
#include <QTime>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>
#include <exception>

#include "core/ProjectFile.h"
#include "core/Verdict.h"
#include "engine/ConfigureEngine.h"
#include "settings/EngineOptions.h"
#include "settings/FormOptions.h"
#include "settings/Ini.h"
#include "settings/MostRecentUsedList.h"
#include "ui/Prompts.h"
#include "ui/art/Artwork.h"
#include "ui/check/CheckConnectionDialog.h"
#include "ui/clipboard/FormValidateClipboard.h"
#include "ui/list/RecipientModel.h"
#include "ui/main/AboutBox.h"
#include "ui/main/FindDialog.h"
#include "ui/main/MainFormSupport.h"
#include "ui/main/WindowPlacement.h"
#include "ui/recipient/FormLog.h"
#include "ui/recipient/FormProperties.h"
#include "ui/report/FormRunReport.h"
#include "ui/tray/Tray.h"

namespace orvane::ui {
namespace {

constexpr int kCheckIconWidth = 16;
constexpr int kMruMenuIndex = 11;

// The elapsed time of a run as a time of day in the user's long time format,
// without the time zone that long formats carry.
std::string elapsedTimeText(int secondsOfDay) {
  const QLocale locale;
  QString format = locale.timeFormat(QLocale::LongFormat);
  format.remove(QLatin1Char('t'));
  format = format.trimmed();
  return locale.toString(QTime(0, 0).addSecs(secondsOfDay), format).toStdString();
}

// A message in the status bar shows beside the counters; it goes after this long.
constexpr int kStatusMessageMs = 10000;

// The size the first start opens at: this share of the screen, not less
// than the window's designed size.
constexpr double kFirstStartShare = 0.6;
constexpr QSize kDesignedSize{648, 526};

// What a typical address needs in the list's first column.
constexpr const char* kTypicalAddress = "firstname.lastname@example.com";
// What the note columns get: a suggestion and two badges, and an address.
constexpr const char* kTypicalFlags = "did you mean gmail.com?";

QString plainCaption(const QAction* action) {
  QString text = action->text();
  text.remove(QLatin1Char('&'));
  if (text.endsWith(QStringLiteral("..."))) text.chop(3);
  return text.trimmed();
}

}  // namespace

TMainForm::TMainForm(net::EventLoop& loop, settings::TINI& ini, QWidget* parent)
    : QMainWindow(parent), loop_(loop), ini_(ini), run_(loop, list_) {
  setObjectName(QStringLiteral("MainForm"));
  setWindowIcon(artIcon(QStringLiteral("orvane")));
  setMinimumSize(300, 100);
  if (!keepPlacement(*this, ini_, kPlaceMain, screenShare(kFirstStartShare, kDesignedSize))) {
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
      move(screen->availableGeometry().center() - rect().center());
    }
  }
  setAcceptDrops(true);

  list_.setTimeFormatter(elapsedTimeText);
  model_ = new RecipientModel(list_, this);
  createActions();
  createMenus();
  createList();
  createStatusBar();

  mru_ = new settings::TMostRecentUsedList(this);
  mru_->setMenuToAttach(mnFile);
  mru_->setMenuIndex(kMruMenuIndex);
  mru_->setRegistryKey(
      QString::fromLatin1(settings::TINI::kFileName.data(), settings::TINI::kFileName.size()));
  mru_->OnSelectFilename = [this](settings::TMostRecentUsedList&, const QString& path) {
    recentFileChosen(path);
  };
  mru_->onSelectError = [this](settings::TMostRecentUsedList&, const std::exception& e) {
    Prompts::error(this, QString::fromUtf8(e.what()));
  };
  guarded([this] { mru_->load(); });

  autosave_ = new QTimer(this);
  connect(autosave_, &QTimer::timeout, this, &TMainForm::autosave);
  run_.onRunStarted = [this] { runStarted(); };
  run_.validation().onConnectionsLowered = [this](int asked, int used, std::uint64_t limit) {
    statusBar()->showMessage(
        QStringLiteral("%1 connections need more open files than this program may have (%2); "
                       "using %3 connections")
            .arg(asked)
            .arg(static_cast<qulonglong>(limit))
            .arg(used),
        kStatusMessageMs);
  };
  run_.onRunFinished = [this](bool) { runFinished(); };
  run_.onEntryEnded = [this](std::size_t entry, const engine::ValidationResult& result) {
    model_->setNotes(entry, EntryNotes{result.flags, result.suggestion, result.checked});
  };
  run_.validation().onConnectionTrouble = [this](const std::string& note) {
    showConnectionTrouble(tr8(note));
  };

  clipboardForm_ = new TFormValidateClipboard(loop_, this);
  keepPlacement(*clipboardForm_, ini_, kPlaceClipboard, clipboardForm_->size());
  createTray();

  connect(model_, &RecipientModel::statusTextsChanged, this, &TMainForm::showStatus);
  connect(model_, &RecipientModel::rowShown, this, [this](int row) {
    ListView1->scrollTo(model_->index(row, 0), QAbstractItemView::EnsureVisible);
  });
  connect(model_, &RecipientModel::rowsUpdated, this, &TMainForm::updateActions);
  connect(model_, &RecipientModel::columnsReset, this, &TMainForm::applyColumnWidths);
  connect(model_, &QAbstractItemModel::modelReset, this, &TMainForm::updateActions);
  connect(model_, &QAbstractItemModel::rowsRemoved, this, &TMainForm::updateActions);
  // The Total panel counts the rows the list shows, whatever the run counters say.
  for (const auto signal : {&QAbstractItemModel::rowsInserted, &QAbstractItemModel::rowsRemoved}) {
    connect(model_, signal, this, &TMainForm::showStatus);
  }
  connect(model_, &QAbstractItemModel::modelReset, this, &TMainForm::showStatus);

  loadInsight();
  list_.setModified(false);
  updateTitle();
  showStatus();
  fitNewColumns();
  updateActions();
}

TMainForm::~TMainForm() {
  try {
    ini_.setMaximized(isMaximized());
    storePlacement(*this, ini_, kPlaceMain);
  } catch (...) {  // the store could not be written: nothing to lose but the flag
  }
  delete report_;  // it reads the model, which goes below
  if (busyCursor_) QApplication::restoreOverrideCursor();
  // The view and the model read the list, which goes before the widgets do.
  ListView1->viewport()->removeEventFilter(this);
  delete ListView1;
  ListView1 = nullptr;
  delete model_;
  model_ = nullptr;
  run_.validation().setInsight(nullptr);  // the lists go before the run does
}

QString TMainForm::tr8(std::string_view text) const {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// ------------------------------------------------------------------ building

QAction* TMainForm::makeAction(QAction*& member, const char* name, const QString& caption,
                               const QString& hint, void (TMainForm::*command)()) {
  member = new QAction(caption, this);
  member->setObjectName(QString::fromLatin1(name));
  member->setStatusTip(hint);
  member->setToolTip(hint.isEmpty() ? QString(caption).remove(QLatin1Char('&')) : hint);
  connect(member, &QAction::triggered, this,
          [this, command] { guarded([&] { (this->*command)(); }); });
  addAction(member);
  return member;
}

void TMainForm::createActions() {
  const auto S = [](const char* text) { return QString::fromUtf8(text); };
  makeAction(acNew, "acNew", S("&New"), S("New project"), &TMainForm::newProject)
      ->setIcon(themedIcon(S("document-new"), S("new")));
  makeAction(acOpen, "acOpen", S("&Open..."), S("Open project"), &TMainForm::openProject)
      ->setIcon(themedIcon(S("document-open"), S("open")));
  makeAction(acSave, "acSave", S("&Save"), S("Save project"), &TMainForm::saveCommand)
      ->setIcon(themedIcon(S("document-save"), S("save")));
  makeAction(acSaveAs, "acSaveAs", S("Save &As..."), S("Save project as"),
             &TMainForm::saveAsCommand)
      ->setIcon(themedIcon(S("document-save-as"), S("save-as")));
  acNew->setShortcuts(QKeySequence::New);
  acOpen->setShortcuts(QKeySequence::Open);
  acSave->setShortcuts(QKeySequence::Save);
  acSaveAs->setShortcuts(QKeySequence::SaveAs);
  makeAction(acStart, "acStart", S("&Start Validation"), S("Start checking addresses"),
             &TMainForm::startValidation)
      ->setIcon(themedIcon(S("media-playback-start"), S("start")));
  makeAction(acAbort, "acAbort", S("S&top"), S("Stop checking addresses"),
             &TMainForm::stopValidation)
      ->setIcon(themedIcon(S("process-stop"), S("stop")));
  makeAction(acValidateClipboard, "acValidateClipboard", S("&Validate Clipboard"), QString(),
             &TMainForm::validateClipboard)
      ->setIcon(artIcon(S("clipboard")));
  makeAction(acRecipientAdd, "acRecipientAdd", S("&New..."), S("New Recipient"),
             &TMainForm::recipientAdd)
      ->setIcon(artIcon(S("recipient-add")));
  makeAction(acRecipientEdit, "acRecipientEdit", S("&Properties..."), S("Edit recipient"),
             &TMainForm::recipientEdit)
      ->setIcon(artIcon(S("recipient-edit")));
  makeAction(acRecipientDelete, "acRecipientDelete", S("&Delete..."), S("Delete recipient"),
             &TMainForm::recipientDelete)
      ->setIcon(artIcon(S("recipient-delete")));
  makeAction(acRecipientDeleteSelected, "acRecipientDeleteSelected", S("D&elete All Checked..."),
             S("Delete all checked recipients"), &TMainForm::recipientDeleteChecked);
  makeAction(acCheckAll, "acCheckAll", S("&Check All"), S("Check all recipients"),
             &TMainForm::checkAll)
      ->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_A));
  makeAction(acUnCheckAll, "acUnCheckAll", S("&Uncheck All"), S("Uncheck all recipients"),
             &TMainForm::uncheckAll);
  makeAction(acInvertSelection, "acInvertSelection", S("&Invert Selection"), S("Invert selection"),
             &TMainForm::invertSelection)
      ->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_I));
  makeAction(acCheck, "acCheck", S("&Check / Uncheck"), S("Check or uncheck recipient"),
             &TMainForm::toggleCheck);
  makeAction(acViewLog, "acViewLog", S("&View Log..."),
             S("View the transaction log for this recipient"), &TMainForm::viewLog)
      ->setIcon(artIcon(S("view-log")));
  makeAction(acImportRecipient, "acImportRecipient", S("&Import Recipient List..."),
             S("Import Recipient List"), &TMainForm::importRecipients)
      ->setIcon(artIcon(S("import")));
  makeAction(acExportRecipient, "acExportRecipient", S("&Export Recipient List..."),
             S("Export Recipient List"), &TMainForm::exportRecipients)
      ->setIcon(artIcon(S("export")));
  makeAction(acFind, "acFind", S("&Find..."), S("Find recipient"), &TMainForm::showFind)
      ->setIcon(themedIcon(S("edit-find"), S("find")));
  makeAction(acFindNext, "acFindNext", S("Find &Next"), S("Find next recipient"),
             &TMainForm::findNext);
  acFind->setShortcuts(QKeySequence::Find);
  // F3 on every desktop, besides what the desktop itself uses for Find Next.
  QList<QKeySequence> findNextKeys = QKeySequence::keyBindings(QKeySequence::FindNext);
  if (!findNextKeys.contains(QKeySequence(Qt::Key_F3))) findNextKeys.prepend(Qt::Key_F3);
  acFindNext->setShortcuts(findNextKeys);
  makeAction(acOptions, "acOptions", S("&Options..."), S("Open Options dialog box"),
             &TMainForm::options)
      ->setIcon(themedIcon(S("preferences-system"), S("options")));
  makeAction(acRunReport, "acRunReport", S("&Run Report..."),
             S("Show the outcome of the validation as a report"), &TMainForm::runReport)
      ->setIcon(artIcon(S("report")));
  makeAction(acContent, "acContent", S("&Contents..."), S("Open the help file"),
             &TMainForm::contents)
      ->setIcon(themedIcon(S("help-contents"), S("help")));
  acContent->setShortcuts(QKeySequence::HelpContents);
  makeAction(acHomePage, "acHomePage", S("&Tamsworth Software Home Page..."),
             S("Go to Tamsworth's web site"), &TMainForm::homePage)
      ->setIcon(artIcon(S("home")));
  makeAction(acAbout, "acAbout", S("&About Orvane...."), S("About Orvane"), &TMainForm::about)
      ->setIcon(themedIcon(S("help-about"), S("about")));
  makeAction(acClose, "acClose", S("&Close"), S("Close the main window"), &TMainForm::closeMain);
  makeAction(acExit, "acExit", S("&Exit"), S("Terminate Orvane"), &TMainForm::exitProgram)
      ->setIcon(themedIcon(S("application-exit"), S("exit")));
  acExit->setShortcuts(QKeySequence::Quit);
  makeAction(acOpenMain, "acOpenMain", S("&Open Orvane"), QString(), &TMainForm::openMain);
}

void TMainForm::createMenus() {
  mnFile = menuBar()->addMenu(QStringLiteral("&File"));
  mnFile->setObjectName(QStringLiteral("mnFile"));
  mnFile->addActions({acNew, acOpen, acSave, acSaveAs});
  mnFile->addSeparator();
  mnFile->addActions({acStart, acAbort});
  mnFile->addSeparator();
  mnFile->addAction(acValidateClipboard);
  mnFile->addSeparator();
  mnRecipient = mnFile->addMenu(QStringLiteral("&Recipient"));
  mnRecipient->setObjectName(QStringLiteral("mnRecipient"));
  mnRecipient->addActions(
      {acRecipientAdd, acRecipientEdit, acRecipientDelete, acRecipientDeleteSelected});
  mnRecipient->addSeparator();
  mnRecipient->addActions({acCheckAll, acUnCheckAll, acInvertSelection});
  mnRecipient->addSeparator();
  mnRecipient->addAction(acViewLog);
  mnFile->addActions({acImportRecipient, acExportRecipient});
  mnFile->addSeparator();
  mnFile->addActions({acClose, acExit});

  QMenu* search = menuBar()->addMenu(QStringLiteral("&Search"));
  search->setObjectName(QStringLiteral("mnSearch"));
  search->addActions({acFind, acFindNext});
  QMenu* tools = menuBar()->addMenu(QStringLiteral("&Tools"));
  tools->setObjectName(QStringLiteral("mnTools"));
  tools->addAction(acOptions);
  tools->addSeparator();
  tools->addAction(acRunReport);
  auto* acCheckConnection = new QAction(QStringLiteral("Check &Connection..."), this);
  acCheckConnection->setObjectName(QStringLiteral("acCheckConnection"));
  acCheckConnection->setStatusTip(QStringLiteral("Check that this machine can validate addresses"));
  connect(acCheckConnection, &QAction::triggered, this,
          [this] { guarded([this] { showCheckConnection(loop_, ini_, this); }); });
  tools->addAction(acCheckConnection);
  QMenu* help = menuBar()->addMenu(QStringLiteral("&Help"));
  help->setObjectName(QStringLiteral("mnHelp"));
  help->addAction(acContent);
  help->addSeparator();
  help->addAction(acHomePage);
  help->addSeparator();
  help->addAction(acAbout);

  QToolBar* bar = addToolBar(QStringLiteral("Tools"));
  bar->setObjectName(QStringLiteral("ToolBar1"));
  bar->setMovable(false);
  bar->setFloatable(false);
  bar->setIconSize(QSize(24, 24));
  bar->setFixedHeight(33);
  bar->addActions({acNew, acOpen, acSave});
  bar->addSeparator();
  bar->addAction(acFind);
  bar->addSeparator();
  bar->addActions({acStart, acAbort});
  bar->addSeparator();
  bar->addAction(acOptions);
  // A screen reader names each button after its command.
  for (QAction* action : bar->actions()) {
    if (QWidget* button = bar->widgetForAction(action); button && !action->isSeparator()) {
      button->setAccessibleName(plainCaption(action));
      button->setAccessibleDescription(action->statusTip());
    }
  }

  PopupMenu1 = new QMenu(this);
  PopupMenu1->setObjectName(QStringLiteral("PopupMenu1"));
  PopupMenu1->addActions({acRecipientAdd, acRecipientEdit, acRecipientDelete});
  PopupMenu1->addSeparator();
  PopupMenu1->addAction(acCheck);
  PopupMenu1->addSeparator();
  PopupMenu1->addAction(acViewLog);
}

void TMainForm::createList() {
  // A table view: its rows are positions, not items, so a million-row list
  // takes new rows without laying all of them out again.
  ListView1 = new QTableView(this);
  ListView1->setObjectName(QStringLiteral("ListView1"));
  ListView1->setModel(model_);
  ListView1->setShowGrid(false);
  ListView1->setWordWrap(false);
  ListView1->setCornerButtonEnabled(false);
  ListView1->verticalHeader()->hide();
  ListView1->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  ListView1->verticalHeader()->setDefaultSectionSize(
      std::max(kEntryDecorationSize.height() + 4, ListView1->fontMetrics().height() + 4));
  ListView1->horizontalHeader()->setHighlightSections(false);
  ListView1->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  ListView1->setSelectionBehavior(QAbstractItemView::SelectRows);
  ListView1->setSelectionMode(QAbstractItemView::SingleSelection);
  ListView1->setEditTriggers(QAbstractItemView::NoEditTriggers);
  ListView1->setIconSize(kEntryDecorationSize);
  ListView1->setTextElideMode(Qt::ElideRight);
  ListView1->horizontalHeader()->setSectionsClickable(false);
  ListView1->horizontalHeader()->setSectionsMovable(false);
  // The last column reaches the window's right edge: no empty band when maximized.
  ListView1->horizontalHeader()->setStretchLastSection(true);
  ListView1->setContextMenuPolicy(Qt::CustomContextMenu);
  // The selection stays visible when the list loses the focus.
  QPalette palette = ListView1->palette();
  for (auto role : {QPalette::Highlight, QPalette::HighlightedText}) {
    palette.setColor(QPalette::Inactive, role, palette.color(QPalette::Active, role));
  }
  ListView1->setPalette(palette);
  ListView1->viewport()->installEventFilter(this);

  // The connection trouble note: a bar above the list, hidden until a run
  // says so, closed by the user (or by the next run).
  auto* panel = new QWidget(this);
  panel->setObjectName(QStringLiteral("ListPanel"));
  auto* panelLayout = new QVBoxLayout(panel);
  panelLayout->setContentsMargins(0, 0, 0, 0);
  panelLayout->setSpacing(0);
  troubleBar_ = new QFrame(panel);
  troubleBar_->setObjectName(QStringLiteral("TroubleBar"));
  troubleBar_->setFrameShape(QFrame::StyledPanel);
  troubleBar_->setAutoFillBackground(true);
  QPalette note = troubleBar_->palette();
  note.setColor(QPalette::Window, note.color(QPalette::ToolTipBase));
  note.setColor(QPalette::WindowText, note.color(QPalette::ToolTipText));
  troubleBar_->setPalette(note);
  auto* barLayout = new QHBoxLayout(troubleBar_);
  auto* icon = new QLabel(troubleBar_);
  icon->setPixmap(artPixmap(QStringLiteral(":/icons/unknown.svg"), QSize(16, 16)));
  icon->setAlignment(Qt::AlignTop);
  troubleNote_ = new QLabel(troubleBar_);
  troubleNote_->setObjectName(QStringLiteral("lbTroubleNote"));
  troubleNote_->setWordWrap(true);
  troubleNote_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  auto* close = new QToolButton(troubleBar_);
  close->setObjectName(QStringLiteral("btTroubleClose"));
  close->setText(QStringLiteral("Dismiss"));
  close->setToolTip(QStringLiteral("Hide this note"));
  close->setAutoRaise(true);
  connect(close, &QToolButton::clicked, this, [this] {
    troubleBar_->hide();
    // The status bar keeps the note until then.
    if (statusBar()->currentMessage() == troubleNote_->text()) statusBar()->clearMessage();
  });
  auto* check = new QToolButton(troubleBar_);
  check->setObjectName(QStringLiteral("btTroubleCheck"));
  check->setText(QStringLiteral("Check &Connection..."));
  check->setToolTip(QStringLiteral("Run the connection self-check"));
  check->setAutoRaise(true);
  connect(check, &QToolButton::clicked, this, [this] { showCheckConnection(loop_, ini_, this); });
  barLayout->addWidget(icon);
  barLayout->addWidget(troubleNote_, 1);
  barLayout->addWidget(check, 0, Qt::AlignTop);
  barLayout->addWidget(close, 0, Qt::AlignTop);
  troubleBar_->hide();
  panelLayout->addWidget(troubleBar_);
  panelLayout->addWidget(ListView1, 1);
  setCentralWidget(panel);

  connect(ListView1->selectionModel(), &QItemSelectionModel::selectionChanged, this,
          &TMainForm::updateActions);
  connect(ListView1, &QTableView::doubleClicked, this, [this] {
    if (acRecipientEdit->isEnabled()) acRecipientEdit->trigger();
  });
  connect(ListView1, &QWidget::customContextMenuRequested, this, [this](const QPoint& pos) {
    PopupMenu1->popup(ListView1->viewport()->mapToGlobal(pos));
  });
  connect(ListView1->horizontalHeader(), &QHeaderView::sectionResized, this,
          [this](int section, int, int size) {
            if (section >= 0 && static_cast<std::size_t>(section) < list_.columnCount()) {
              list_.setColumnWidth(static_cast<std::size_t>(section), size);
            }
          });
}

void TMainForm::createStatusBar() {
  // Each counter keeps room for its caption and a four-figure count (the
  // elapsed time at its widest; a longer count widens it) and stays in
  // place: hints and messages show in the space to the left of them, never
  // over them.
  const QString widest[RecipientList::kStatusPanels] = {
      QStringLiteral("Elapsed: ") + tr8(elapsedTimeText(86399)),
      QStringLiteral("Total: 0000"),
      QStringLiteral("Waiting: 0000"),
      QStringLiteral("Good: 0000"),
      QStringLiteral("Bad: 0000"),
      QStringLiteral("Unknown: 0000")};
  for (std::size_t i = 0; i < panels_.size(); ++i) {
    panels_[i] = new QLabel(this);
    panels_[i]->setObjectName(QStringLiteral("StatusPanel%1").arg(i));
    panels_[i]->setContentsMargins(4, 0, 4, 0);
    panels_[i]->setMinimumWidth(panels_[i]->fontMetrics().horizontalAdvance(widest[i]) + 8);
    statusBar()->addPermanentWidget(panels_[i]);
  }
  statusBar()->setSizeGripEnabled(true);
}

void TMainForm::createTray() {
  TrayMenu = new QMenu(this);
  TrayMenu->setObjectName(QStringLiteral("TrayMenu"));
  TrayMenu->addActions({acValidateClipboard, acOpenMain});
  TrayMenu->addSeparator();
  TrayMenu->addAction(acAbout);
  TrayMenu->addSeparator();
  TrayMenu->addAction(acExit);
  TrayMenu->setDefaultAction(acValidateClipboard);  // shown in bold
  tray_ = new TmdTray(this);
  tray_->setName(QStringLiteral("mdTray1"));
  tray_->setTip(QString::fromLatin1(kProductName));
  tray_->setPopupMenu(TrayMenu);
  tray_->DefaultFunction = [this](TmdTray&) { acValidateClipboard->trigger(); };
  closeHides = [this] { return tray_->Active(); };
  // Hidden behind an icon that is gone, the window would be out of reach.
  connect(tray_, &TmdTray::activeChanged, this, [this](bool active) {
    if (!active && hiddenToTray_) openMain();
  });
}

// ------------------------------------------------------------------ state

QStringList TMainForm::statusTexts() const {
  QStringList texts;
  for (const QLabel* panel : panels_) texts << panel->text();
  return texts;
}

std::optional<std::size_t> TMainForm::selectedRow() const {
  const QModelIndexList rows = ListView1->selectionModel()->selectedRows();
  if (rows.isEmpty()) return std::nullopt;
  return static_cast<std::size_t>(rows.constFirst().row());
}

void TMainForm::selectRow(std::size_t row) {
  const QModelIndex index = model_->index(static_cast<int>(row), 0);
  ListView1->selectionModel()->setCurrentIndex(
      index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
  ListView1->scrollTo(index, QAbstractItemView::EnsureVisible);
}

void TMainForm::updateTitle() {
  if (fileName_.isEmpty()) {
    setWindowTitle(
        QStringLiteral("%1 - [New Project]  %2").arg(QString::fromLatin1(kProductName), QString()));
  } else {
    setWindowTitle(
        QStringLiteral("%1 - [%2]  %3")
            .arg(QString::fromLatin1(kProductName), QFileInfo(fileName_).fileName(), QString()));
  }
}

void TMainForm::updateActions() {
  const bool running = run_.running();
  const std::optional<std::size_t> row = selectedRow();
  const bool selected = row.has_value();
  for (QAction* action : {acStart, acOpen, acNew, acOptions, acRecipientAdd, acImportRecipient,
                          acCheckAll, acUnCheckAll, acInvertSelection, acRecipientDeleteSelected}) {
    action->setEnabled(!running);
  }
  acAbort->setEnabled(running);
  acRecipientEdit->setEnabled(!running && selected);
  acRecipientDelete->setEnabled(!running && selected);
  acCheck->setEnabled(selected);
  acFind->setEnabled(selected);
  acFindNext->setEnabled(selected);
  bool validated = false;
  if (row && *row < list_.count()) {
    const std::int32_t state = list_.entry(*row).resultState;
    validated = state == kGood || state == kBad;
  }
  acViewLog->setEnabled(validated);
}

void TMainForm::applyColumnWidths() {
  const auto& columns = list_.columns();
  for (std::size_t i = 0; i < columns.size(); ++i) {
    ListView1->horizontalHeader()->resizeSection(static_cast<int>(i), columns[i].width);
  }
  arrangeNoteColumns();
}

void TMainForm::arrangeNoteColumns() {
  const int flags = model_->flagsColumn();
  if (flags < 0) return;
  QHeaderView* header = ListView1->horizontalHeader();
  // Beside the result, before any columns of the user's own: the notes are
  // read with the verdict.
  const int after = std::min(2, flags);
  for (int k = 0; k < RecipientModel::kNoteColumns; ++k) {
    header->moveSection(header->visualIndex(flags + k), after + k);
  }
  const QFontMetrics metrics = ListView1->fontMetrics();
  header->resizeSection(flags, metrics.horizontalAdvance(QString::fromLatin1(kTypicalFlags)) +
                                   2 * (kBadgeSize + 2) + 24);
  header->resizeSection(flags + 1,
                        metrics.horizontalAdvance(QString::fromLatin1(kTypicalAddress)) + 16);
}

void TMainForm::fitNewColumns() {
  const int email =
      ListView1->fontMetrics().horizontalAdvance(QString::fromLatin1(kTypicalAddress)) +
      kEntryDecorationSize.width() + 24;
  list_.setColumnWidth(0, std::max(list_.columns().front().width, email));
  applyColumnWidths();
}

void TMainForm::showStatus() {
  const auto& texts = list_.statusTexts();
  for (std::size_t i = 0; i < panels_.size(); ++i) panels_[i]->setText(tr8(texts[i]));
  panels_[1]->setText(QStringLiteral("Total: %1").arg(model_->rowCount()));
}

void TMainForm::loadInsight() {
  const AddressFlags flags = settings::readEngineSettings(ini_).flags;
  useInsight(settings::loadAddressInsight(flags), flags);
}

void TMainForm::useInsight(AddressInsight insight, AddressFlags flags) {
  // The lists in use stay until nothing refers to them any more.
  const std::unique_ptr<AddressInsight> previous = std::move(insight_);
  insight_ = std::make_unique<AddressInsight>(std::move(insight));
  insightFlags_ = flags;
  run_.validation().setInsight(insight_.get());
  refreshNotes();
  const std::string& message = insight_->message();
  if (!message.empty() && message != insightMessage_) {
    statusBar()->showMessage(tr8(message), kStatusMessageMs);
  }
  insightMessage_ = message;
}

void TMainForm::refreshNotes() {
  auto notes = std::make_unique<engine::EntryInsight>(*insight_, insightFlags_);
  const bool needed =
      std::any_of(list_.entries().begin(), list_.entries().end(), [](const Entry& e) {
        const DomainDns dns = domainDnsOfResultText(e.resultText());
        return dns == DomainDns::NoSuchDomain || dns == DomainDns::NoMailHost;
      });
  if (needed) notes->countDomains(list_);
  model_->setInsight(notes.get());
  entryInsight_ = std::move(notes);
}

void TMainForm::showConnectionTrouble(const QString& note) {
  // Never a box during a run: the status bar and the bar above the list.
  statusBar()->showMessage(note);
  troubleNote_->setText(note);
  troubleBar_->show();
}

void TMainForm::folderUsed(const QString& path) {
  const QString folder = QFileInfo(path).absolutePath();
  guarded([&] { ini_.setLastFolder(QFile::encodeName(folder).toStdString()); });
}

QString TMainForm::dialogFolder() const {
  if (!fileName_.isEmpty()) return QFileInfo(fileName_).absolutePath();
  const QString last = QFile::decodeName(QByteArray::fromStdString(ini_.lastFolder()));
  if (!last.isEmpty() && QFileInfo(last).isDir()) return last;
  const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
  return QFileInfo(documents).isDir() ? documents : QDir::homePath();
}

RunTiming TMainForm::runTiming() const {
  RunTiming t;
  t.ran = ran_;
  t.running = run_.running();
  t.seconds = t.running && runClock_.isValid() ? static_cast<double>(runClock_.elapsed()) / 1000.0
                                               : lastRunSeconds_;
  const RunCounters& c = list_.counters();
  t.addresses = static_cast<std::uint64_t>(std::max(0, c.good + c.bad + c.unknown));
  return t;
}

// ------------------------------------------------------------------ validation

void TMainForm::startValidation() {
  run_.Start(settings::readEngineSettings(ini_));
}

void TMainForm::stopValidation() {
  run_.stop();
}

void TMainForm::runStarted() {
  setAcceptDrops(false);
  if (!busyCursor_) {
    QApplication::setOverrideCursor(Qt::BusyCursor);
    busyCursor_ = true;
  }
  recoveryFile_.clear();
  troubleBar_->hide();  // this run says it again if it applies
  if (ini_.saveDuringRuns()) autosave_->start(autosaveIntervalMs);
  ran_ = true;
  runClock_.start();
  updateActions();
}

void TMainForm::runFinished() {
  lastRunSeconds_ = static_cast<double>(runClock_.elapsed()) / 1000.0;
  autosave_->stop();
  setAcceptDrops(true);
  if (busyCursor_) {
    QApplication::restoreOverrideCursor();
    busyCursor_ = false;
  }
  model_->flush();
  refreshNotes();
  updateActions();
}

void TMainForm::autosave() {
  try {
    if (!fileName_.isEmpty()) {
      saveProject(localPath(fileName_), list_, ProjectLayout{});
      return;
    }
    if (recoveryFile_.isEmpty()) {
      const QString folder = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
                             QStringLiteral("/Tamsworth/Orvane/recovered");
      QDir().mkpath(folder);
      recoveryFile_ = folder + QStringLiteral("/unsaved-project-") +
                      QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss")) +
                      QStringLiteral(".orp");
    }
    // Not the project's own file: the project stays unsaved (and modified).
    writeProjectFile(localPath(recoveryFile_), list_);
    statusBar()->showMessage(QStringLiteral("Results so far saved to %1").arg(recoveryFile_),
                             kStatusMessageMs);
  } catch (const std::exception& e) {
    // No box in the middle of a run: the status bar says it.
    statusBar()->showMessage(QString::fromUtf8(e.what()), kStatusMessageMs);
  }
}

void TMainForm::validateClipboard() {
  clipboardForm_->validate(ini_);
}

// ------------------------------------------------------------------ recipients

void TMainForm::editRecipient(std::optional<std::size_t> row) {
  QStringList titles{QStringLiteral("<email>")};
  QStringList values{row ? tr8(list_.entry(*row).email()) : QString()};
  const auto& columns = list_.columns();
  for (std::size_t c = 2; c < columns.size(); ++c) {
    titles << QStringLiteral("<%1>").arg(tr8(columns[c].caption));
    values << (row ? tr8(list_.entry(*row).subItem(c - 1)) : QString());
  }
  TFormProperties dialog(row ? QStringLiteral("Properties") : QStringLiteral("New Recipient"),
                         titles, values, this);
  if (row) dialog.setNotes(RecipientModel::notesText(list_.entry(*row), model_->notes(*row)));
  keepPlacement(dialog, ini_, kPlaceProperties, dialog.size());
  if (dialog.exec() != QDialog::Accepted) return;
  const QStringList edited = dialog.values();
  const QByteArray email = edited.value(0).toUtf8();
  std::vector<std::string> extra;
  for (qsizetype i = 1; i < edited.size(); ++i) extra.push_back(edited[i].toStdString());
  if (row) {
    list_.editEntry(*row, email.toStdString(), extra);
    return;
  }
  list_.beginUpdate();
  const std::size_t at = list_.addEntry(email.toStdString(), extra, selectedRow());
  list_.endUpdate();
  selectRow(at);
}

void TMainForm::recipientAdd() {
  editRecipient(std::nullopt);
}

void TMainForm::recipientEdit() {
  if (const auto row = selectedRow()) editRecipient(row);
}

void TMainForm::recipientDelete() {
  const auto row = selectedRow();
  if (!row) return;
  if (Prompts::confirm(this, QStringLiteral("Would you like to delete this recipient?"), false) ==
      Answer::Yes) {
    list_.deleteEntry(*row);
  }
}

void TMainForm::recipientDeleteChecked() {
  if (Prompts::confirm(this, QStringLiteral("Would you like to delete all checked recipients?"),
                       false) != Answer::Yes) {
    return;
  }
  WaitCursor wait;
  list_.deleteAllChecked();
}

void TMainForm::checkAll() {
  WaitCursor wait;
  list_.checkAll();
}

void TMainForm::uncheckAll() {
  WaitCursor wait;
  list_.uncheckAll();
}

void TMainForm::invertSelection() {
  WaitCursor wait;
  list_.invertChecks();
}

void TMainForm::toggleCheck() {
  if (const auto row = selectedRow()) list_.toggleCheck(*row);
}

void TMainForm::viewLog() {
  const auto row = selectedRow();
  if (!row) return;
  const Entry& entry = list_.entry(*row);
  TFormLog dialog(tr8(entry.email()), entry.log(), this);
  keepPlacement(dialog, ini_, kPlaceLog, dialog.defaultSize());
  dialog.exec();
}

bool TMainForm::eventFilter(QObject* watched, QEvent* event) {
  if (ListView1 && watched == ListView1->viewport() && event->type() == QEvent::MouseButtonPress) {
    const auto* mouse = static_cast<QMouseEvent*>(event);
    const QPoint pos = mouse->position().toPoint();
    const QModelIndex index = ListView1->indexAt(pos);
    if (index.isValid() && pos.x() < kCheckIconWidth) {
      guarded([&] { list_.toggleCheck(static_cast<std::size_t>(index.row())); });
    }
  }
  return QMainWindow::eventFilter(watched, event);
}

// ------------------------------------------------------------------ search

void TMainForm::showFind() {
  if (!find_) {
    find_ = new FindDialog(this);
    connect(find_, &FindDialog::findNext, this, [this] { guarded([this] { findNext(); }); });
  }
  find_->showFind();
}

void TMainForm::findNext() {
  if (!find_ || find_->text().isEmpty()) {
    showFind();
    return;
  }
  const QString text = find_->text();
  const std::string needle = text.toStdString();
  const bool matchCase = find_->matchCase();
  const std::optional<std::size_t> row = selectedRow();
  const std::size_t count = list_.count();
  std::optional<std::size_t> found;
  WaitCursor wait;
  if (find_->down()) {
    for (std::size_t i = row ? *row + 1 : 0; i < count && !found; ++i) {
      if (list_.entryMatches(i, needle, matchCase)) found = i;
    }
  } else {
    for (std::size_t i = row ? *row : count; i > 0 && !found; --i) {
      if (list_.entryMatches(i - 1, needle, matchCase)) found = i - 1;
    }
  }
  if (found) {
    selectRow(*found);
  } else {
    Prompts::error(this, QStringLiteral("Not found '%1'").arg(text));
  }
}

// ------------------------------------------------------------------ tools, help, window

void TMainForm::options() {
  settings::TFormOptions dialog(ini_, this);
  dialog.checkSender = [](const std::string& from) {
    return from.empty() ? std::string() : engine::senderProblem(from);
  };
  dialog.onError = [&dialog](const QString& message) { Prompts::error(&dialog, message); };
  const std::string flags = ini_.flags();
  if (dialog.exec() == QDialog::Accepted && ini_.flags() != flags) loadInsight();
}

void TMainForm::contents() {
  const QString manual =
      QDir(QCoreApplication::applicationDirPath())
          .absoluteFilePath(QStringLiteral("../share/doc/orvane/manual/index.html"));
  const QFileInfo info(manual);
  if (!info.exists()) {
    Prompts::error(
        this, QStringLiteral("The user manual was not found at %1").arg(QDir::cleanPath(manual)));
    return;
  }
  if (!Prompts::openUrl(QUrl::fromLocalFile(info.canonicalFilePath()))) {
    Prompts::error(this,
                   QStringLiteral("No program to show %1 was found").arg(info.canonicalFilePath()));
  }
}

void TMainForm::homePage() {
  const QUrl url(QString::fromLatin1(kHomePageUrl));
  if (!Prompts::openUrl(url)) {
    Prompts::error(this, QStringLiteral("No program to show %1 was found").arg(url.toString()));
  }
}

TFormRunReport* TMainForm::runReportWindow() const {
  return report_;
}

void TMainForm::runReport() {
  if (!report_) {
    report_ = new TFormRunReport(
        *model_, [this] { return runTiming(); }, this);
    report_->folder = [this] { return dialogFolder(); };
    report_->fileChosen = [this](const QString& path) { folderUsed(path); };
    keepPlacement(*report_, ini_, kPlaceReport, report_->sizeHint().expandedTo({760, 640}));
  }
  report_->show();
  report_->raise();
  report_->activateWindow();
}

void TMainForm::about() {
  TAboutBox box(this);
  box.exec();
}

void TMainForm::closeMain() {
  if (closeHides && closeHides()) {
    hiddenToTray_ = true;
    hide();
  } else {
    close();
  }
}

void TMainForm::exitProgram() {
  close();
}

void TMainForm::openMain() {
  hiddenToTray_ = false;
  setWindowState(windowState() & ~Qt::WindowMinimized);
  show();
  raise();
  activateWindow();
}

void TMainForm::closeEvent(QCloseEvent* event) {
  if (run_.running()) {
    event->ignore();
    return;
  }
  bool goOn = false;
  guarded([&] { goOn = confirmSave(); });
  if (!goOn) {
    event->ignore();
    return;
  }
  event->accept();
  if (find_) find_->close();
  if (report_) report_->close();
  emit closed();
}

}  // namespace orvane::ui
