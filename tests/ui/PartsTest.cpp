#include <QAbstractItemModelTester>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QSet>
#include <QSignalSpy>
#include <stdexcept>

#include "net/EventLoop.h"
#include "tests/support/TestHelpers.h"
#include "tests/ui/WindowFixture.h"
#include "ui/clipboard/FormValidateClipboard.h"
#include "ui/main/AboutBox.h"
#include "ui/tray/Tray.h"

namespace orvane::ui {
using testing::child;
using testing::ScriptedSmtpServer;
using testing::SmtpAction;
using testing::waitFor;
using testing::WindowTest;
namespace {

TEST(RecipientModel, StaysConsistentAndCoalescesResultsIntoOneRangePerFlush) {
  RecipientList list;
  RecipientModel model(list);
  QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
  for (int i = 0; i < 500; ++i) list.addEntry("a" + std::to_string(i) + "@x.test", {});
  list.addColumn(Column{"Name", 120});
  EXPECT_EQ(model.columnCount(), 3);
  model.flush();

  QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
  QSignalSpy shown(&model, &RecipientModel::rowShown);
  QSignalSpy status(&model, &RecipientModel::statusTextsChanged);
  list.runStarted();
  for (std::size_t i = 100; i < 300; ++i) {
    list.entryTakenForChecking(i);
    list.entryValidationEnded(i, i % 2 == 0 ? 0 : 550, "Mailbox unavailable", {});
  }
  EXPECT_EQ(changed.count(), 0);  // nothing reaches the view between flushes
  ASSERT_TRUE(waitFor([&] { return changed.count() > 0; }));
  ASSERT_EQ(changed.count(), 1);
  EXPECT_EQ(changed[0][0].value<QModelIndex>().row(), 100);
  EXPECT_EQ(changed[0][1].value<QModelIndex>().row(), 299);
  ASSERT_EQ(shown.count(), 1);
  EXPECT_EQ(shown[0][0].toInt(), 299);
  EXPECT_EQ(status.count(), 1);
  EXPECT_EQ(model.data(model.index(101, 1)).toString(),
            QStringLiteral("[550] Mailbox unavailable"));

  // Each verdict has its own icon; the result text decides, as after a reload.
  QSet<QString> icons;
  for (const char* text : {"[0] Valid E-mail Address!", "[550] Mailbox unavailable",
                           "[0] Valid E-mail Address! (catch-all domain: it accepts any address)",
                           "[450] Temporarily refused"}) {
    Entry e(std::vector<std::string_view>{"x@y.test", text});
    e.resultState = text[1] == '0' ? kGood : kBad;
    icons.insert(RecipientModel::resultIconName(e));
  }
  EXPECT_EQ(icons.size(), 4);

  // Structural changes go out at once, with the pending range emitted first.
  list.entryValidationEnded(450, 0, {}, {});
  list.deleteEntry(0);
  EXPECT_EQ(changed.count(), 2);
  EXPECT_EQ(changed[1][0].value<QModelIndex>().row(), 450);
  list.deleteAllChecked();
  list.clear();
  EXPECT_EQ(model.rowCount(), 0);
  EXPECT_EQ(model.columnCount(), 2);
}

TEST(LoopBridge, RunsTheNetworkLoopInsideQtsAndKeepsExceptionsOut) {
  net::EventLoop loop;
  LoopBridge bridge(loop);
  QString error;
  bridge.onError = [&](const QString& message) { error = message; };
  bool noticed = false;
  bool fired = false;
  loop.post([&] { noticed = true; });
  net::Timer timer(loop);
  timer.start(30, 0, [&] { fired = true; });
  loop.post([] { throw std::runtime_error("boom"); });
  EXPECT_TRUE(waitFor([&] { return noticed && fired && !error.isEmpty(); }));
  EXPECT_EQ(error, QStringLiteral("boom"));
  // With nothing left to wait for, Qt may sleep: no timer is armed.
  EXPECT_EQ(loop.backendTimeout(), -1);
}

TEST(ClipboardText, IsTrimmedAndRefusedWithLineBreaksOrSeveralAddresses) {
  struct Case {
    const char* clipboard;
    const char* validated;  // nullptr: refused with `message`
    const char* message;
  };
  const Case cases[] = {
      {"  a@b.test\r\n", "a@b.test", nullptr},
      {"Ann <a@b.test>", "Ann <a@b.test>", nullptr},
      {" \r\n ", nullptr, kClipboardEmpty},
      {"a@b.test\nc@d.test", nullptr, kClipboardLines},
      {"a@b.test, c@d.test", nullptr, kClipboardSeveral},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.clipboard);
    const QString text = QString::fromUtf8(c.clipboard);
    if (c.validated) {
      EXPECT_EQ(TFormValidateClipboard::addressToValidate(text), c.validated);
    } else {
      EXPECT_EQ(orvane::testing::thrownMessage<std::runtime_error>(
                    [&] { TFormValidateClipboard::addressToValidate(text); }),
                c.message);
    }
  }
}

TEST(Prompts, FileFiltersShowEachPatternOnce) {
  const struct {
    const char* filter;
    QStringList shown;
  } cases[] = {
      {"Orvane Projects|*.orp", {QStringLiteral("Orvane Projects (*.orp)")}},
      {"CSV (*.csv)|*.csv", {QStringLiteral("CSV (*.csv)")}},
      {"Data files |*.txt;*.csv|All files (*.*)|*.*",
       {QStringLiteral("Data files (*.txt *.csv)"), QStringLiteral("All files (*.*)")}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.filter);
    EXPECT_EQ(Prompts::nameFilters(QString::fromLatin1(c.filter)), c.shown);
  }
}

class Clipboard : public WindowTest {};

TEST_F(Clipboard, ShowsTheResultBeepsAndUnfoldsTheLog) {
  scriptGoodTest();
  auto* form = window->findChild<TFormValidateClipboard*>();
  form->validation().scheduler().setSmtpPort(std::to_string(smtp.port()));
  prompts.clipboard = QStringLiteral(" ok@good.test\n");
  triggerDialog<TFormValidateClipboard>("acValidateClipboard", [&](TFormValidateClipboard* dialog) {
    auto* details = child<QPushButton>(dialog, "btDetails");
    EXPECT_EQ(dialog->height(), TFormValidateClipboard::kCollapsedHeight);
    ASSERT_TRUE(waitFor([&] { return details->isEnabled(); }));
    EXPECT_EQ(child<QLabel>(dialog, "lbStatus")->text(), QStringLiteral("Valid E-mail Address!"));
    EXPECT_EQ(child<QLabel>(dialog, "lbVerdict")->text(), QStringLiteral("valid"));
    EXPECT_EQ(child<QPushButton>(dialog, "btCancelar")->text(), QStringLiteral("&Close"));
    details->click();
    EXPECT_EQ(dialog->height(), TFormValidateClipboard::kExpandedHeight);
    EXPECT_FALSE(details->isEnabled());
    dialog->reject();
  });
  EXPECT_EQ(prompts.beeps, 1);
  ASSERT_GE(smtp.transcript(0).size(), 3u);
  EXPECT_EQ(smtp.transcript(0)[2], "RCPT TO:<ok@good.test>");  // trimmed
  EXPECT_EQ(window->list().count(), 0u);                       // the project is not touched

  // Cancel while checking stops the check: no result, no beep.
  prompts.clipboard = QStringLiteral("stall@good.test");
  triggerDialog<TFormValidateClipboard>("acValidateClipboard", [&](TFormValidateClipboard* dialog) {
    ASSERT_TRUE(waitFor([&] { return smtp.transcript(1).size() >= 3; }));
    child<QPushButton>(dialog, "btCancelar")->click();
  });
  EXPECT_TRUE(waitFor([&] { return !form->validation().scheduler().busy(); }));
  EXPECT_EQ(prompts.beeps, 1);

  // A status of several lines wraps below its two and pushes the rest down.
  smtp.setHandler([](const ScriptedSmtpServer::Command& c) -> std::optional<SmtpAction> {
    if (c.verb != "RCPT") return std::nullopt;
    return SmtpAction::line("550 5.7.1 Client host rejected by policy");
  });
  prompts.clipboard = QStringLiteral("anyone@good.test");
  triggerDialog<TFormValidateClipboard>("acValidateClipboard", [&](TFormValidateClipboard* dialog) {
    auto* status = child<QLabel>(dialog, "lbStatus");
    ASSERT_TRUE(waitFor([&] { return child<QPushButton>(dialog, "btDetails")->isEnabled(); }));
    EXPECT_GE(status->height(), status->heightForWidth(status->width()));
    EXPECT_GT(status->heightForWidth(status->width()), 2 * status->fontMetrics().lineSpacing());
    EXPECT_GE(child<QLabel>(dialog, "lbVerdict")->y(), status->geometry().bottom());
    EXPECT_GT(child<QPushButton>(dialog, "btCancelar")->y(),
              child<QLabel>(dialog, "lbVerdict")->geometry().bottom());
    EXPECT_EQ(dialog->height(), dialog->collapsedHeight());
    dialog->reject();
  });
  EXPECT_EQ(prompts.unexpected, 0);
}

TEST(AboutBox, GroupsTheMemoryFigureByTheLocaleAndShowsFourVersionNumbers) {
  EXPECT_EQ(physMemText(QLocale(QLocale::English, QLocale::UnitedStates), QStringLiteral("Linux"),
                        24683748),
            QStringLiteral("Memory Available to Linux: 24,683,748 Kb"));
  EXPECT_EQ(physMemText(QLocale(QLocale::German, QLocale::Germany), QStringLiteral("Linux"), 1234),
            QStringLiteral("Memory Available to Linux: 1.234 Kb"));
  EXPECT_EQ(programVersion().split(QLatin1Char('.')).size(), 4);
  EXPECT_GT(physicalMemoryKb(), 0);
}

class FakeTray final : public TrayBackend {
 public:
  bool available() const override { return present; }
  // Like the desktop's: an icon in an area that is gone is not shown.
  void show(const QIcon&, const QString& shownTip) override {
    visible = true;
    tip = shownTip;
  }
  void hide() override { visible = false; }
  bool shown() const override { return present && visible; }
  void popUp(QMenu* menu) override { popped = menu; }

  bool present = true;
  bool visible = false;
  QString tip;
  QMenu* popped = nullptr;
};

FakeTray* gLastTray = nullptr;

struct FakeTrays {
  FakeTrays() {
    TrayBackend::setFactoryForTests([] {
      auto tray = std::make_unique<FakeTray>();
      gLastTray = tray.get();
      return tray;
    });
  }
  ~FakeTrays() { TrayBackend::setFactoryForTests(nullptr); }
};

TEST(Tray, ShowsOnlyWhereThereIsADesktopTrayAndCutsTheTip) {
  FakeTrays fakes;
  TmdTray tray;
  FakeTray& desk = *gLastTray;
  tray.setName(QString(70, QLatin1Char('n')));
  EXPECT_EQ(desk.tip, QString(63, QLatin1Char('n')));  // the name until a tip is given
  tray.setTip(QString(70, QLatin1Char('t')));
  tray.setName(QStringLiteral("renamed"));
  EXPECT_EQ(desk.tip, QString(63, QLatin1Char('t')));
  EXPECT_TRUE(tray.Active());
  desk.present = false;
  tray.setTip(QStringLiteral("x"));
  EXPECT_FALSE(tray.Active());
}

class TrayWindow : public WindowTest {
 protected:
  FakeTrays fakes;  // before the window: its tray takes a fake desktop
};

TEST_F(TrayWindow, DoubleClickValidatesAndCloseHidesOnlyWhileTheIconShowsAsTheAreaComesAndGoes) {
  // The fixture's window was built before the fakes: build one with them.
  window = std::make_unique<TMainForm>(loop, ini);
  window->show();
  FakeTray& desk = *gLastTray;
  ASSERT_TRUE(window->tray().Active());
  desk.onClick(TrayBackend::Click::Single);
  desk.onClick(TrayBackend::Click::Double);
  EXPECT_EQ(lastShown(), QStringLiteral("error: Clipboard empty"));
  desk.onClick(TrayBackend::Click::Menu);
  ASSERT_NE(desk.popped, nullptr);
  EXPECT_EQ(desk.popped->defaultAction(), action("acValidateClipboard"));
  EXPECT_EQ(desk.popped->actions().value(1), action("acOpenMain"));

  int closed = 0;
  QObject::connect(window.get(), &TMainForm::closed, [&] { ++closed; });
  trigger("acClose");
  EXPECT_FALSE(window->isVisible());
  EXPECT_EQ(closed, 0);
  trigger("acOpenMain");
  EXPECT_TRUE(window->isVisible());

  // The notification area goes away while the window is hidden behind the
  // icon: the window comes back, and Close is Exit until the area returns.
  trigger("acClose");
  desk.present = false;
  desk.onAvailabilityChanged();
  EXPECT_FALSE(window->tray().Active());
  EXPECT_TRUE(window->isVisible());
  desk.present = true;
  desk.onAvailabilityChanged();
  EXPECT_TRUE(desk.visible);  // shown again in the new area
  trigger("acClose");
  EXPECT_FALSE(window->isVisible());
  EXPECT_EQ(closed, 0);
  trigger("acOpenMain");
  desk.present = false;
  desk.onAvailabilityChanged();
  trigger("acClose");
  EXPECT_EQ(closed, 1);
}

}  // namespace
}  // namespace orvane::ui
