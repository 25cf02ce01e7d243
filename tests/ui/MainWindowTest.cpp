#include <QCheckBox>
#include <QDir>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QStatusBar>
#include <QTableView>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>
#include <fstream>

#include "core/ProjectFile.h"
#include "settings/MostRecentUsedList.h"
#include "tests/support/TestHelpers.h"
#include "tests/ui/WindowFixture.h"
#include "ui/export/ExportDialog.h"
#include "ui/main/FindDialog.h"
#include "ui/main/WindowPlacement.h"
#include "ui/recipient/FormLog.h"
#include "ui/recipient/FormProperties.h"

namespace orvane::ui {
using testing::child;
using testing::texts;
using testing::waitFor;
using testing::WindowTest;
namespace {

const QString kSaveBefore = QStringLiteral("confirm: ") + QString::fromLatin1(kSavePrompt);

class MainWindow : public WindowTest {
 protected:
  QString projectPath(const char* name) const { return files.filePath(QString::fromLatin1(name)); }
  QString writeProject(const char* name, const std::vector<std::string>& emails) {
    RecipientList list;
    for (const auto& e : emails) list.addEntry(e, {});
    const QString path = projectPath(name);
    saveProject(path.toStdString(), list);
    return path;
  }
  void press(int row, int x) {
    QTableView* view = window->listView();
    const QRect rect = view->visualRect(window->model().index(row, 0));
    QTest::mousePress(view->viewport(), Qt::LeftButton, {}, QPoint(x, rect.center().y()));
    QTest::mouseRelease(view->viewport(), Qt::LeftButton, {}, QPoint(x, rect.center().y()));
  }
  QTemporaryDir files;
};

TEST_F(MainWindow, SaveBeforePromptGuardsEveryWayOutOfAModifiedProject) {
  const QString other = writeProject("other.orp", {"x@other.test"});
  struct Case {
    const char* what;
    std::function<void()> command;
    std::vector<Answer> answers;
    std::vector<QString> files;  // for Save As behind Yes, then Open
    bool keeps;
  };
  const std::vector<Case> cases = {
      {"New, Cancel", [&] { trigger("acNew"); }, {Answer::Cancel}, {}, true},
      {"Open, Cancel", [&] { trigger("acOpen"); }, {Answer::Cancel}, {}, true},
      {"recent file, Cancel", [&] { window->recentFileChosen(other); }, {Answer::Cancel}, {}, true},
      {"Exit, Cancel", [&] { trigger("acExit"); }, {Answer::Cancel}, {}, true},
      {"New, Yes, Save As cancelled", [&] { trigger("acNew"); }, {Answer::Yes}, {QString()}, true},
      {"New, No", [&] { trigger("acNew"); }, {Answer::No}, {}, false},
      {"Open, No", [&] { trigger("acOpen"); }, {Answer::No}, {other}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    window->list().clear();
    addEntries({"kept@mine.test"});
    ASSERT_TRUE(window->list().modified());
    prompts.answers.assign(c.answers.begin(), c.answers.end());
    prompts.fileNames.assign(c.files.begin(), c.files.end());
    prompts.shown.clear();
    c.command();
    EXPECT_EQ(prompts.shown.value(0), kSaveBefore);
    EXPECT_TRUE(window->isVisible());
    if (c.keeps) {
      ASSERT_EQ(window->list().count(), 1u);
      EXPECT_EQ(window->list().entry(0).email(), "kept@mine.test");
      EXPECT_TRUE(window->list().modified());
      EXPECT_TRUE(window->fileName().isEmpty());
    } else {
      EXPECT_FALSE(window->list().modified());
      EXPECT_TRUE(window->list().count() == 0 || window->list().entry(0).email() == "x@other.test");
    }
  }
  EXPECT_EQ(prompts.unexpected, 0);
}

TEST_F(MainWindow, SaveAsThenOpenRoundTripsWithTitleStatusAndRecentFiles) {
  addEntries({"a@one.test", "b@two.test"});
  const QString path = projectPath("saved.orp");
  prompts.fileNames = {path};
  trigger("acSave");  // no file name yet: Save As
  EXPECT_EQ(prompts.shown.value(0), QStringLiteral("save: Save As"));
  EXPECT_EQ(window->windowTitle(), QStringLiteral("Orvane - [saved.orp]  "));
  EXPECT_FALSE(window->list().modified());
  EXPECT_EQ(window->recentFiles().fileNames(), QStringList{path});

  trigger("acNew");
  EXPECT_EQ(window->windowTitle(), QStringLiteral("Orvane - [New Project]  "));
  EXPECT_EQ(window->list().count(), 0u);

  prompts.fileNames = {path};
  trigger("acOpen");
  ASSERT_EQ(window->list().count(), 2u);
  EXPECT_EQ(window->list().entry(1).email(), "b@two.test");
  EXPECT_EQ(window->fileName(), path);
  EXPECT_EQ(window->statusTexts().value(1), QStringLiteral("Total: 2"));
  // A hint shows beside the counters, not over them.
  window->statusBar()->showMessage(QStringLiteral("Open project"));
  EXPECT_TRUE(child<QLabel>(window.get(), "StatusPanel1")->isVisible());
  // File dialogs never open in the working folder: at first in the user's
  // documents, then (no project file) where the last file was chosen, with
  // a project file in its folder.
  EXPECT_NE(prompts.folders.value(0), QDir::currentPath());
  EXPECT_EQ(prompts.folders.value(1), files.path());
  window->list().setModified(false);
  trigger("acNew");
  ini.setLastFolder(QDir::tempPath().toStdString());
  prompts.fileNames = {path};
  trigger("acOpen");
  EXPECT_EQ(prompts.folders.value(2), QDir::tempPath());
  EXPECT_EQ(window->dialogFolder(), files.path());
  // The recently used block sits in the File menu after the Recipient submenu,
  // after a separator drawn as a line (a separator with a text is a titled section).
  QMenu* file = child<QMenu>(window.get(), "mnFile");
  EXPECT_TRUE(file->actions().value(11)->isSeparator());
  EXPECT_TRUE(file->actions().value(11)->text().isEmpty());
  EXPECT_EQ(file->actions().value(12)->text(), QStringLiteral("&1 saved.orp"));
  EXPECT_EQ(file->actions().value(13), action("acImportRecipient"));
  EXPECT_EQ(prompts.unexpected, 0);
}

TEST_F(MainWindow, BrokenProjectsAreNamedAndFailedStartsEndInTheErrorBox) {
  addEntries({"kept@mine.test"});
  window->list().setModified(false);
  RecipientList saved;
  saved.addEntry("a@one.test", {});
  const std::string whole = serializeProject(saved);
  const struct {
    const char* name;
    std::string bytes;
    const char* message;  // after the path
  } cases[] = {
      {"text.orp", "XXXX not a project", " is not an Orvane project: Invalid stream format"},
      {"cut.orp", whole.substr(0, whole.size() / 2),
       " is damaged (it ends early): Stream read error"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const QString path = projectPath(c.name);
    std::ofstream(path.toStdString(), std::ios::binary) << c.bytes;
    window->recentFileChosen(path);
    EXPECT_EQ(lastShown(), QStringLiteral("error: ") + path + QString::fromLatin1(c.message));
    // The project open before stays open.
    EXPECT_EQ(window->list().count(), 1u);
    EXPECT_TRUE(window->fileName().isEmpty());
  }

  window->recentFileChosen(projectPath("gone.orp"));
  EXPECT_EQ(lastShown(),
            QStringLiteral("error: File %1 has been deleted").arg(projectPath("gone.orp")));

  ini.setFrom("nobody");
  trigger("acStart");
  EXPECT_EQ(lastShown(),
            QStringLiteral("error: Please provide a valid e-mail address for the FROM field "
                           "(Tools | Options)"));
  EXPECT_FALSE(window->projectRun().running());
  EXPECT_TRUE(enabled("acStart"));
}

TEST_F(MainWindow, RunLandsResultsDisablesCommandsAndStopAbortsTheRest) {
  scriptGoodTest();
  addEntries({"ok@good.test", "no@good.test", "stall@good.test", "left@good.test"});
  window->list().setCheckState(3, 0);  // never queued
  window->selectRow(3);
  EXPECT_FALSE(enabled("acViewLog"));

  trigger("acStart");
  ASSERT_TRUE(window->projectRun().running());
  for (const char* name :
       {"acStart", "acOpen", "acNew", "acOptions", "acRecipientAdd", "acRecipientEdit",
        "acRecipientDelete", "acImportRecipient", "acCheckAll", "acUnCheckAll", "acInvertSelection",
        "acRecipientDeleteSelected"}) {
    EXPECT_FALSE(enabled(name)) << name;
  }
  for (const char* name : {"acAbort", "acSave", "acSaveAs", "acCheck", "acFind"}) {
    EXPECT_TRUE(enabled(name)) << name;
  }
  // A recent file or Exit during the run does nothing, without a word.
  window->recentFileChosen(writeProject("other.orp", {"x@other.test"}));
  trigger("acExit");
  EXPECT_TRUE(prompts.shown.isEmpty());
  EXPECT_TRUE(window->isVisible());
  EXPECT_EQ(window->list().entry(0).email(), "ok@good.test");
  ASSERT_TRUE(waitFor(
      [this] { return window->list().counters().good + window->list().counters().bad == 2; }));
  EXPECT_EQ(result(2), "Checking...");
  trigger("acAbort");
  ASSERT_TRUE(waitFor([this] { return !window->projectRun().running(); }));

  EXPECT_EQ(result(0), "[0] Valid E-mail Address!");
  EXPECT_EQ(result(1), "[550] Mailbox unavailable");
  EXPECT_EQ(result(2), "[-8] Aborted by user");
  EXPECT_EQ(window->statusTexts().mid(1),
            (texts({"Total: 4", "Waiting: 0", "Good: 1", "Bad: 1", "Unknown: 1"})));
  EXPECT_TRUE(enabled("acStart"));
  EXPECT_FALSE(enabled("acAbort"));
  EXPECT_TRUE(enabled("acRecipientEdit"));  // an entry is still selected
  EXPECT_FALSE(enabled("acViewLog"));       // ...but it was never validated
  window->selectRow(1);
  EXPECT_TRUE(enabled("acViewLog"));
  triggerDialog<TFormLog>("acViewLog", [](TFormLog* log) {
    EXPECT_EQ(log->windowTitle(), QStringLiteral("Log of no@good.test"));
    EXPECT_TRUE(log->findChild<QPlainTextEdit*>()->toPlainText().contains(
        QStringLiteral("550 no such user")));
    log->close();
  });
  EXPECT_TRUE(window->list().modified());
}

TEST_F(MainWindow, FindNextSearchesFromTheSelectionWithoutWrapping) {
  addEntries({"anna@north.test", "bert@south.test", "ANNA@east.test"});
  window->list().editEntry(1, "bert@south.test", {});
  trigger("acFindNext");  // nothing selected: disabled, nothing happens
  EXPECT_TRUE(prompts.shown.isEmpty());
  window->selectRow(0);
  trigger("acFindNext");  // empty text: the dialog opens
  auto* find = window->findChild<FindDialog*>();
  ASSERT_NE(find, nullptr);
  EXPECT_TRUE(find->isVisible());
  EXPECT_TRUE(find->down());

  child<QLineEdit>(find, "edFind")->setText(QStringLiteral("anna"));
  trigger("acFindNext");
  EXPECT_EQ(window->selectedRow(), 2u);  // match case off: "ANNA" matches
  trigger("acFindNext");                 // the last entry: no wrap-around
  EXPECT_EQ(lastShown(), QStringLiteral("error: Not found 'anna'"));
  EXPECT_EQ(window->selectedRow(), 2u);

  child<QRadioButton>(find, "rbUp")->setChecked(true);
  child<QCheckBox>(find, "cbMatchCase")->setChecked(true);
  trigger("acFindNext");
  EXPECT_EQ(window->selectedRow(), 0u);
}

TEST_F(MainWindow, CheckIconPressTogglesTheCheckAndAPressBesideItOnlySelects) {
  addEntries({"a@x.test", "b@x.test"});
  window->list().setModified(false);
  press(1, 6);
  EXPECT_EQ(window->list().entry(1).checkState, 0);
  EXPECT_EQ(window->list().entry(1).resultState, kNotValidated);
  EXPECT_TRUE(window->list().modified());
  window->list().setModified(false);
  press(0, 60);
  EXPECT_EQ(window->list().entry(0).checkState, 1);
  EXPECT_FALSE(window->list().modified());
  EXPECT_EQ(window->selectedRow(), 0u);
  EXPECT_TRUE(enabled("acRecipientDelete"));
}

TEST_F(MainWindow, PropertiesTrimRefuseABlankAddressAndNewInsertsBeforeTheSelection) {
  window->list().addColumn(Column{"Name", 120});
  addEntries({"one@x.test", "two@x.test", "three@x.test"});
  window->selectRow(2);
  int attempts = 0;
  const auto fill = [&](const char* command, const QStringList& values) {
    triggerDialog<TFormProperties>(command, [&, values](TFormProperties* dialog) {
      auto* grid = child<QTableWidget>(dialog, "VerticalGrid");
      ASSERT_EQ(grid->rowCount(), 2);
      EXPECT_EQ(grid->item(1, 0)->text(), QStringLiteral("<Name>"));
      grid->item(0, 1)->setText(QStringLiteral("   "));
      child<QPushButton>(dialog, "Button1")->click();
      ++attempts;
      EXPECT_TRUE(dialog->isVisible());  // a blank address is refused
      for (int row = 0; row < values.size(); ++row) grid->item(row, 1)->setText(values[row]);
      child<QPushButton>(dialog, "Button1")->click();
    });
  };
  fill("acRecipientAdd", {QStringLiteral("  new@x.test "), QStringLiteral(" Ned ")});
  EXPECT_EQ(attempts, 1);
  EXPECT_EQ(prompts.shown.value(0), QStringLiteral("error: E-mail address cannot be blank"));
  ASSERT_EQ(window->list().count(), 4u);
  EXPECT_EQ(window->list().entry(2).email(), "new@x.test");
  EXPECT_EQ(window->list().entry(2).subItem(1), "Ned");
  EXPECT_EQ(window->selectedRow(), 2u);

  fill("acRecipientEdit", {QStringLiteral("changed@x.test "), QStringLiteral("")});
  EXPECT_EQ(window->list().entry(2).email(), "changed@x.test");
  EXPECT_EQ(window->list().count(), 4u);

  window->list().setModified(false);
  triggerDialog<TFormProperties>("acRecipientEdit", [](TFormProperties* d) { d->reject(); });
  EXPECT_FALSE(window->list().modified());
}

TEST_F(MainWindow, DeletionsAskFirst) {
  addEntries({"a@x.test", "b@x.test", "c@x.test"});
  window->list().setCheckState(1, 0);
  window->selectRow(0);
  prompts.answers = {Answer::No, Answer::Yes, Answer::Yes};
  trigger("acRecipientDelete");
  EXPECT_EQ(window->list().count(), 3u);
  trigger("acRecipientDelete");
  EXPECT_EQ(window->list().count(), 2u);
  trigger("acRecipientDeleteSelected");
  ASSERT_EQ(window->list().count(), 1u);
  EXPECT_EQ(window->list().entry(0).email(), "b@x.test");
  EXPECT_EQ(prompts.shown, (texts({"confirm: Would you like to delete this recipient?",
                                   "confirm: Would you like to delete this recipient?",
                                   "confirm: Would you like to delete all checked recipients?"})));
}

TEST_F(MainWindow, StartUpOpensAProjectArgumentAndRemembersMaximized) {
  const QString path = writeProject("start.ORP", {"s@start.test"});
  ini.setMaximized(true);
  window->startUp({path});
  EXPECT_TRUE(window->isMaximized());
  EXPECT_EQ(window->fileName(), path);
  EXPECT_EQ(window->list().count(), 1u);

  window->startUp({QStringLiteral("notes.txt")});
  EXPECT_TRUE(window->fileName().isEmpty());
  EXPECT_EQ(window->list().count(), 0u);

  window->showNormal();
  window.reset();
  EXPECT_FALSE(ini.maximized());
}

TEST_F(MainWindow, WindowsReopenWhereTheyWereLeftWhileThatIsOnAScreen) {
  addEntries({"a@x.test"});
  window->selectRow(0);
  const QRect dialogPlace(40, 50, 420, 310);
  triggerDialog<TFormProperties>("acRecipientEdit", [&](TFormProperties* dialog) {
    dialog->setGeometry(dialogPlace);
    dialog->reject();
  });
  triggerDialog<TFormProperties>("acRecipientEdit", [&](TFormProperties* dialog) {
    EXPECT_EQ(dialog->geometry(), dialogPlace);
    dialog->reject();
  });

  const QRect mainPlace(30, 40, 500, 400);
  window->setGeometry(mainPlace);
  window->list().setModified(false);
  window.reset();
  window = std::make_unique<TMainForm>(loop, ini);  // the next start
  EXPECT_EQ(window->geometry(), mainPlace);

  // A place on a screen that is no longer there is not taken back.
  window.reset();
  ini.setWindowPlacement(kPlaceMain, "5000,5000,500,400");
  window = std::make_unique<TMainForm>(loop, ini);
  EXPECT_TRUE(
      QGuiApplication::primaryScreen()->availableGeometry().contains(window->geometry().center()));
}

TEST_F(MainWindow, ARunningProjectIsSavedAsItGoesWhenTheOptionsSaySo) {
  scriptGoodTest();
  ini.setSaveDuringRuns(true);
  window->autosaveIntervalMs = 20;
  addEntries({"ok@good.test", "stall@good.test"});
  const QString path = projectPath("run.orp");
  prompts.fileNames = {path};
  trigger("acSaveAs");
  trigger("acStart");
  const auto saved = [&] {
    try {
      return readProjectFile(path.toStdString());
    } catch (const std::exception&) {
      return ProjectData{};
    }
  };
  ASSERT_TRUE(waitFor([&] {
    const ProjectData d = saved();
    return !d.entries.empty() && d.entries[0].resultText() == "[0] Valid E-mail Address!";
  }));
  EXPECT_EQ(saved().entries[1].resultState, kChecking);  // still running
}

TEST_F(MainWindow, ExportWritesTheChosenVerdictsLeavesOutFlagsAndNeverTheOpenProject) {
  addEntries({"a@x.test", "b@x.test", "c@x.test", "info@x.test"});
  window->list().runStarted();
  for (std::size_t i = 0; i < 2; ++i) window->list().entryTakenForChecking(i);
  window->list().entryValidationEnded(0, 0, "", {});
  window->list().entryValidationEnded(1, 550, "Mailbox unavailable", {});
  const QString out = projectPath("out.csv");
  // Exports with exactly the boxes `ticked`; the dialog counts what goes out.
  const auto exportWith = [this](QStringList ticked, const QString& file, const char* count) {
    prompts.fileNames = {file};
    triggerDialog<TExportDialog>("acExportRecipient", [=](TExportDialog* dialog) {
      for (auto* check : dialog->findChildren<QCheckBox*>()) {
        check->setChecked(ticked.contains(check->objectName()));
      }
      EXPECT_EQ(child<QLabel>(dialog, "lbCount")->text(), QString::fromLatin1(count));
      dialog->accept();
    });
  };
  exportWith({QStringLiteral("cbInvalid")}, out, "1 entries will be exported");
  EXPECT_EQ(orvane::testing::readFile(out.toStdString()),
            "Email,Result,Verdict,Flags,Suggestion,Checked address\r\n"
            "b@x.test,[550] Mailbox unavailable,invalid,,,b@x.test\r\n");
  // The role address is left out; the notes go with the others.
  exportWith({QStringLiteral("cbUnvalidated"), QStringLiteral("cbExcludeRole")}, out,
             "1 entries will be exported");
  EXPECT_EQ(orvane::testing::readFile(out.toStdString()),
            "Email,Result,Verdict,Flags,Suggestion,Checked address\r\n"
            "c@x.test,,,,,c@x.test\r\n");

  const QString project = projectPath("p.orp");
  prompts.fileNames = {project};
  trigger("acSaveAs");
  exportWith({QStringLiteral("cbValid")}, project, "1 entries will be exported");
  EXPECT_TRUE(lastShown().startsWith(QStringLiteral("error: ")));
  EXPECT_EQ(readProjectFile(project.toStdString()).entries.size(), 4u);
}

}  // namespace
}  // namespace orvane::ui
