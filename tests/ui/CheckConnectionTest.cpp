#include <QLabel>
#include <QLineEdit>
#include <QToolButton>
#include <QPushButton>
#include <QStatusBar>
#include <QTableWidget>
#include <QTest>

#include "tests/ui/WindowFixture.h"
#include "ui/check/CheckConnectionDialog.h"

namespace orvane::ui {
using testing::child;
using testing::SmtpAction;
using testing::waitFor;
namespace {

class CheckConnection : public testing::WindowTest {};

// Tools | Check Connection opens a window beside the main window (not modal);
// typed from the keyboard, a domain is checked with Enter, and each row shows
// its status in words on its colour; a domain that is no name is refused in
// the window; Escape closes it and stops the check.
TEST_F(CheckConnection, RunsBesideTheMainWindowFromTheKeyboardAndShowsEachStatusInWords) {
  dns.addMx("origin.test", 10, "127.0.0.2");
  dns.addAddress("origin.test", "127.0.0.1");
  dns.addPtr("1.0.0.127.in-addr.arpa", "origin.test");
  trigger("acCheckConnection");
  auto* dialog = window->findChild<CheckConnectionDialog*>();
  ASSERT_NE(dialog, nullptr);
  EXPECT_TRUE(dialog->isVisible());
  EXPECT_FALSE(dialog->isModal());
  dialog->adjustSettings = [this](engine::EngineSettings& s) {
    s.smtpPort = std::to_string(smtp.port());
  };
  auto* domain = child<QLineEdit>(dialog, "edDomain");
  auto* rows = child<QTableWidget>(dialog, "grRows");
  auto* summary = child<QLabel>(dialog, "lbSummary");
  QTest::keyClicks(domain, QStringLiteral("no..name"));
  QTest::keyClick(domain, Qt::Key_Return);
  EXPECT_EQ(rows->rowCount(), 0);
  EXPECT_EQ(summary->text(), QStringLiteral("no..name is not a domain name."));

  domain->clear();
  QTest::keyClicks(domain, QStringLiteral("Origin.Test"));
  QTest::keyClick(domain, Qt::Key_Return);
  ASSERT_TRUE(waitFor([&] { return !dialog->selfCheck().running(); }));
  EXPECT_EQ(dialog->selfCheck().domain(), "origin.test");
  ASSERT_EQ(rows->rowCount(), 4);
  for (int r = 0; r < 4; ++r) {
    EXPECT_EQ(rows->item(r, 0)->text(), QStringLiteral("OK"))
        << rows->item(r, 2)->text().toStdString();
    EXPECT_NE(rows->item(r, 0)->background().style(), Qt::NoBrush);
  }
  EXPECT_EQ(summary->text(),
            QStringLiteral("All checks passed: this machine can validate addresses."));

  dialog->checkAgain();
  EXPECT_TRUE(dialog->selfCheck().running());
  QTest::keyClick(dialog, Qt::Key_Escape);
  EXPECT_FALSE(dialog->isVisible());
  EXPECT_FALSE(dialog->selfCheck().running());
}

// When the first results of a run all point at this machine's connection, the
// note above the list says so and opens the check.
TEST_F(CheckConnection, ARunRefusedEverywhereSaysSoOnceAndLeadsToTheCheck) {
  dns.addMx("good.test", 10, "127.0.0.2");
  smtp.setGreeting(SmtpAction::line("554 5.7.1 Client host [127.0.0.9] blocked"));
  addEntries({"a@good.test", "b@good.test"});
  trigger("acStart");
  ASSERT_TRUE(waitFor([this] { return !window->projectRun().running(); }));
  auto* bar = child<QWidget>(window.get(), "TroubleBar");
  EXPECT_TRUE(bar->isVisible());
  EXPECT_TRUE(child<QLabel>(bar, "lbTroubleNote")
                  ->text()
                  .startsWith(QStringLiteral("The first 2 addresses ended unknown")));
  child<QToolButton>(bar, "btTroubleCheck")->click();
  auto* dialog = window->findChild<CheckConnectionDialog*>();
  ASSERT_NE(dialog, nullptr);
  EXPECT_TRUE(dialog->isVisible());
}

}  // namespace
}  // namespace orvane::ui
