// The main window: the project's recipient list, every user command (as
// actions shared by the menus, the tool bar and the list's context menu), the
// project's validation run, the recently used projects and the status bar.
//
// Ownership: owns the recipient list, its item model, the project run (with
// the project's scheduler), the address lists (AddressInsight) and the notes
// worked out from them, the clipboard validation window, the run report
// window while it is open, the recently used list and every control. Borrows
// the event loop and the settings store, which must outlive it. On
// destruction it writes its maximized state and its placement to the store;
// the recently used list writes itself back.
//
// The first start opens the window at about 60% of the screen; later ones
// where it was left (WindowPlacement.h), like the log, properties, import,
// clipboard and report windows. File dialogs open in the open project's
// folder, else in the last folder a file was chosen in, else in the user's
// documents folder.
//
// Every command runs on the user-interface thread; an exception raised by a
// command ends in the error box and the window goes on. The run's events
// arrive between commands from the embedded network loop; the list's changes
// reach the view batched (RecipientModel).
//
// The address lists are loaded at start and again when the options change
// the flags to compute; the run and the list's note columns use them. When
// they are missing or damaged their message shows once in the status bar.
// When a run says this machine's connection is the trouble, the note shows
// in the status bar and in a bar above the list (lbTroubleNote in
// TroubleBar, closed with btTroubleClose), never in a box during a run.
//
// Actions carry their names as objectName ("acNew", "acStart", ...), so tests
// and other windows find them with findChild.
#pragma once

#include <QElapsedTimer>
#include <QLabel>
#include <QMainWindow>
#include <QPointer>
#include <QString>
#include <array>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>

#include "core/AddressInsight.h"
#include "core/RecipientList.h"
#include "engine/EntryInsight.h"
#include "engine/ProjectRun.h"

class QAction;
class QFrame;
class QMenu;
class QTimer;
class QTableView;

namespace orvane::net {
class EventLoop;
}
namespace orvane::settings {
class TINI;
class TMostRecentUsedList;
}  // namespace orvane::settings

namespace orvane::ui {

class FindDialog;
class RecipientModel;
class TFormRunReport;
class TFormValidateClipboard;
class TmdTray;
struct RunTiming;

inline constexpr const char* kHomePageUrl = "https://www.tamsworth.example/orvane/";
inline constexpr const char* kSavePrompt =
    "Project has been modified.  Would you like to save before?";

class TMainForm final : public QMainWindow {
  Q_OBJECT

 public:
  TMainForm(net::EventLoop& loop, settings::TINI& ini, QWidget* parent = nullptr);
  ~TMainForm() override;

  // Start-up: maximized when the store says so; then the project named by
  // the first argument when it ends in ".orp" (any case), else a new one.
  void startUp(const QStringList& arguments);

  RecipientList& list() noexcept { return list_; }
  RecipientModel& model() noexcept { return *model_; }
  engine::ProjectRun& projectRun() noexcept { return run_; }
  settings::TMostRecentUsedList& recentFiles() noexcept { return *mru_; }
  QTableView* listView() const noexcept { return ListView1; }
  const QString& fileName() const noexcept { return fileName_; }
  // The status bar panels as shown.
  QStringList statusTexts() const;
  // The selected entry, if any.
  std::optional<std::size_t> selectedRow() const;
  void selectRow(std::size_t row);

  // Decides whether File | Close hides the window (while the program stays
  // reachable from a notification-area icon) or ends the program like Exit.
  // By default: exactly while the tray icon is shown. When the notification
  // area goes away while the window is hidden, the window shows again.
  std::function<bool()> closeHides;
  TmdTray& tray() noexcept { return *tray_; }
  // How often a running project is saved when the options ask for it.
  int autosaveIntervalMs = 60000;

  // --- commands (what the actions run) ---
  // The save-before prompt: true when the caller may go on.
  bool confirmSave();
  // Save / Save As: true when the project was written.
  bool save();
  bool saveAs();
  // Loads `path` (errors in the error box); true when it was loaded.
  bool loadFile(const QString& path);
  void recentFileChosen(const QString& path);
  void findNext();
  // The run report window while it is open (Tools | Run Report).
  TFormRunReport* runReportWindow() const;
  RunTiming runTiming() const;
  // Where the next file dialog opens.
  QString dialogFolder() const;
  // Uses `insight` for the flags in `flags` from now on (the run's results,
  // the note columns, the export); its message, if any and not the one
  // shown last, goes to the status bar. Not during a run.
  void useInsight(AddressInsight insight, AddressFlags flags);
  const engine::EntryInsight& entryInsight() const noexcept { return *entryInsight_; }

 signals:
  // The window accepted a close (Exit, or Close without a tray): the program ends.
  void closed();

 protected:
  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dropEvent(QDropEvent* event) override;

 private:
  void createActions();
  void createMenus();
  void createList();
  void createStatusBar();
  void createTray();
  QAction* makeAction(QAction*& member, const char* name, const QString& caption,
                      const QString& hint, void (TMainForm::*command)());
  template <typename F>
  void guarded(F&& f);

  void newProject();
  void openProject();
  void saveCommand();
  void saveAsCommand();
  void startValidation();
  void stopValidation();
  void validateClipboard();
  void recipientAdd();
  void recipientEdit();
  void recipientDelete();
  void recipientDeleteChecked();
  void checkAll();
  void uncheckAll();
  void invertSelection();
  void toggleCheck();
  void viewLog();
  void importRecipients();
  void exportRecipients();
  void showFind();
  void options();
  void runReport();
  void contents();
  void homePage();
  void about();
  void closeMain();
  void exitProgram();
  void openMain();

  void runStarted();
  void runFinished();
  // Saves the running project: to its file, or (never saved yet) to a
  // recovery file in the user's data folder, which the status bar names.
  void autosave();
  void updateTitle();
  void updateActions();
  void applyColumnWidths();
  // A new project's columns: the address column wide enough for a typical
  // address (the last column stretches to the window's edge anyway).
  void fitNewColumns();
  void showStatus();
  // The lists for the flags the options ask for.
  void loadInsight();
  // The notes are worked out afresh: a new count of the list's domains (only
  // when some entry's domain has no mail host, the one case it serves).
  void refreshNotes();
  // The note columns beside the result, at widths of their own.
  void arrangeNoteColumns();
  void showConnectionTrouble(const QString& note);
  // Remembers the folder of a file the user chose in a file dialog.
  void folderUsed(const QString& path);
  // Runs the properties dialog for a new (row empty) or an existing entry.
  void editRecipient(std::optional<std::size_t> row);
  QString tr8(std::string_view text) const;

  net::EventLoop& loop_;
  settings::TINI& ini_;
  RecipientList list_;
  RecipientModel* model_ = nullptr;
  engine::ProjectRun run_;
  settings::TMostRecentUsedList* mru_ = nullptr;
  QString fileName_;
  bool busyCursor_ = false;
  QTimer* autosave_ = nullptr;
  QString recoveryFile_;
  QPointer<FindDialog> find_;
  QPointer<TFormRunReport> report_;
  TFormValidateClipboard* clipboardForm_ = nullptr;
  TmdTray* tray_ = nullptr;
  bool hiddenToTray_ = false;
  // The last run since the project was opened: its clock, and its length once over.
  bool ran_ = false;
  QElapsedTimer runClock_;
  double lastRunSeconds_ = 0;
  QMenu* TrayMenu = nullptr;
  std::unique_ptr<AddressInsight> insight_;
  AddressFlags insightFlags_;
  std::unique_ptr<engine::EntryInsight> entryInsight_;
  std::string insightMessage_;  // the lists' message shown last
  QFrame* troubleBar_ = nullptr;
  QLabel* troubleNote_ = nullptr;

  QTableView* ListView1 = nullptr;
  std::array<QLabel*, RecipientList::kStatusPanels> panels_{};
  QMenu* mnFile = nullptr;
  QMenu* mnRecipient = nullptr;
  QMenu* PopupMenu1 = nullptr;

  QAction* acNew = nullptr;
  QAction* acOpen = nullptr;
  QAction* acSave = nullptr;
  QAction* acSaveAs = nullptr;
  QAction* acStart = nullptr;
  QAction* acAbort = nullptr;
  QAction* acValidateClipboard = nullptr;
  QAction* acRecipientAdd = nullptr;
  QAction* acRecipientEdit = nullptr;
  QAction* acRecipientDelete = nullptr;
  QAction* acRecipientDeleteSelected = nullptr;
  QAction* acCheckAll = nullptr;
  QAction* acUnCheckAll = nullptr;
  QAction* acInvertSelection = nullptr;
  QAction* acCheck = nullptr;
  QAction* acViewLog = nullptr;
  QAction* acImportRecipient = nullptr;
  QAction* acExportRecipient = nullptr;
  QAction* acFind = nullptr;
  QAction* acFindNext = nullptr;
  QAction* acOptions = nullptr;
  QAction* acRunReport = nullptr;
  QAction* acContent = nullptr;
  QAction* acHomePage = nullptr;
  QAction* acAbout = nullptr;
  QAction* acClose = nullptr;
  QAction* acExit = nullptr;
  QAction* acOpenMain = nullptr;
};

}  // namespace orvane::ui
