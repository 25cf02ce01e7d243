// What the window says beside each verdict (flags, a suggested domain, the
// address checked), the address lists' message, and the note that this
// machine's connection is the trouble.
#include <QCheckBox>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QToolButton>

#include "settings/FormOptions.h"
#include "tests/support/Loopback.h"
#include "tests/ui/WindowFixture.h"
#include "ui/recipient/FormProperties.h"

namespace orvane::ui {
using testing::child;
using testing::ScriptedDnsServer;
using testing::waitFor;
using testing::WindowTest;
namespace {

class Notes : public WindowTest {
 protected:
  // The Flags cell, the Checked address cell and the tool tip of `row`,
  // joined by "|"; "+" after the flags when badges are drawn.
  QString shown(int row) const {
    const RecipientModel& model = window->model();
    const int flags = model.flagsColumn();
    const QModelIndex cell = model.index(row, flags);
    QString text = model.data(cell).toString();
    if (!model.data(cell, Qt::DecorationRole).value<QPixmap>().isNull()) text += QLatin1Char('+');
    return QStringList{text, model.data(model.index(row, flags + 1)).toString(),
                       model.data(model.index(row, 0), Qt::ToolTipRole).toString()}
        .join(QLatin1Char('|'));
  }
};

TEST_F(Notes, FlagsColumnTooltipAndPropertiesSayWhatEachEntryIs) {
  const struct {
    const char* email;
    const char* shown;
  } rows[] = {
      {"Info@good.test", "role+||Flags: role"},
      {"anna@box.mailinator.com", "disposable+||Flags: disposable"},
      {"john alice@good.test",
       "extracted+|alice@good.test|Flags: extracted\nChecked address: alice@good.test"},
      {"Ann <ann@good.test>", "|ann@good.test|Checked address: ann@good.test"},
      {"x@gmial.con", "did you mean gmail.com?+||Suggested domain: gmail.com"},  // no such domain
      {"bob@good.test", "||"},
  };
  for (const auto& r : rows) window->list().addEntry(r.email, {});
  window->list().entryTakenForChecking(4);
  window->list().entryValidationEnded(4, -1, "Failed: Invalid Domain Name", {});
  window->model().flush();
  for (int i = 0; i < static_cast<int>(std::size(rows)); ++i) {
    SCOPED_TRACE(rows[i].email);
    EXPECT_EQ(shown(i), QString::fromUtf8(rows[i].shown));
  }
  // Shown beside the result, not stored: the project keeps its two columns.
  EXPECT_EQ(window->list().columnCount(), 2u);
  EXPECT_EQ(window->listView()->horizontalHeader()->visualIndex(window->model().flagsColumn()), 2);

  window->selectRow(2);
  QString notes;
  triggerDialog<TFormProperties>("acRecipientEdit", [&](TFormProperties* dialog) {
    notes = child<QLabel>(dialog, "lbNotes")->text();
    dialog->reject();
  });
  EXPECT_EQ(notes, QStringLiteral("Flags: extracted\nChecked address: alice@good.test"));

  // Flags the options no longer ask for are gone at once.
  triggerDialog<settings::TFormOptions>("acOptions", [](settings::TFormOptions* dialog) {
    child<QCheckBox>(dialog, "cbFlagRole")->setChecked(false);
    child<QPushButton>(dialog, "btOK")->click();
  });
  EXPECT_EQ(shown(0), QStringLiteral("||"));
  EXPECT_EQ(shown(1), QStringLiteral("disposable+||Flags: disposable"));
  EXPECT_EQ(prompts.unexpected, 0);
}

TEST_F(Notes, MissingListsSayItOnceInTheStatusBarAndTheRestStillWorks) {
  addEntries({"info@good.test", "john alice@good.test"});
  const QTemporaryDir dir;
  const std::string missing = dir.filePath(QStringLiteral("none")).toStdString();
  for (const bool first : {true, false}) {  // said once
    window->statusBar()->clearMessage();
    window->useInsight(AddressInsight::load(missing, {}), AddressFlags::all());
    EXPECT_EQ(window->statusBar()->currentMessage().startsWith(QStringLiteral("Address lists: ")),
              first);
  }
  EXPECT_EQ(shown(0), QStringLiteral("||"));
  EXPECT_EQ(shown(1),
            QStringLiteral("extracted+|alice@good.test|Flags: extracted\nChecked address: "
                           "alice@good.test"));
}

TEST_F(Notes, ConnectionTroubleShowsDuringTheRunInTheStatusBarAndABarNeverABox) {
  // Nothing listens on the SMTP port; one domain's DNS never answers, so the
  // run goes on after the first 20 results.
  dns.addMx("good.test", 10, "127.0.0.2");
  dns.setHandler([](const ScriptedDnsServer::Query& q) -> std::optional<std::string> {
    return q.name == "slow.test" ? std::optional<std::string>("") : std::nullopt;
  });
  window->projectRun().scheduler().setSmtpPort(std::to_string(testing::unusedLoopbackPort()));
  std::vector<std::string> entries = {"a@slow.test"};
  for (int i = 0; i < 20; ++i) entries.push_back("u" + std::to_string(i) + "@good.test");
  addEntries(entries);
  trigger("acStart");
  auto* bar = child<QWidget>(window.get(), "TroubleBar");
  ASSERT_TRUE(waitFor([&] { return bar->isVisible(); }));
  EXPECT_TRUE(window->projectRun().running());
  const QString note = child<QLabel>(bar, "lbTroubleNote")->text();
  EXPECT_TRUE(note.startsWith(QStringLiteral("The first 20 addresses ended unknown")) &&
              note.contains(QStringLiteral("Tools | Check Connection")))
      << note.toStdString();
  EXPECT_EQ(window->statusBar()->currentMessage(), note);
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
  EXPECT_TRUE(prompts.shown.isEmpty());
  child<QToolButton>(bar, "btTroubleClose")->click();
  EXPECT_FALSE(bar->isVisible());
  EXPECT_TRUE(window->statusBar()->currentMessage().isEmpty());
}

}  // namespace
}  // namespace orvane::ui
