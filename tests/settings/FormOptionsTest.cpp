#include <gtest/gtest.h>
#include <QApplication>
#include <QCheckBox>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QTest>

#include "settings/FormOptions.h"
#include "settings/Ini.h"
#include "tests/settings/TempSettings.h"

namespace orvane::settings {
namespace {

using testing::TempSettings;

template <typename T>
T* control(const QWidget& dialog, const char* name) {
  T* found = dialog.findChild<T*>(QString::fromLatin1(name));
  EXPECT_NE(found, nullptr) << name;
  return found;
}
QLineEdit* edit(const QWidget& dialog, const char* name) {
  return control<QLineEdit>(dialog, name);
}
QSpinBox* spin(const QWidget& dialog, const char* name) {
  return control<QSpinBox>(dialog, name);
}
QRadioButton* radio(const QWidget& dialog, const char* name) {
  return control<QRadioButton>(dialog, name);
}
QColor hostBackground(const QWidget& dialog) {
  return edit(dialog, "edHost")->palette().color(QPalette::Base);
}
QColor paletteColor(QPalette::ColorRole role) {
  return QApplication::palette().color(role);
}

// What the dialog shows, joined by "|": connections, time-out, sender, where
// the host comes from, the host, the two DNS servers. The host field can be
// edited exactly when the host is specified.
QString shown(const QWidget& dialog) {
  const bool specified = radio(dialog, "edSpecifyHost")->isChecked();
  EXPECT_NE(radio(dialog, "rbHostFromDomain")->isChecked(), specified);
  EXPECT_EQ(edit(dialog, "edHost")->isEnabled(), specified);
  return QStringList{QString::number(spin(dialog, "udConnections")->value()),
                     QString::number(spin(dialog, "udTimeOut")->value()),
                     edit(dialog, "edFrom")->text(),
                     specified ? QStringLiteral("specified") : QStringLiteral("domain"),
                     edit(dialog, "edHost")->text(),
                     edit(dialog, "edDNS1")->text(),
                     edit(dialog, "edDNS2")->text()}
      .join(QLatin1Char('|'));
}

TEST(FormOptions, OpensOnTheConnectionPageWithTheDefaults) {
  TempSettings temp;
  TINI ini;
  TFormOptions dialog(ini);
  EXPECT_EQ(dialog.windowTitle(), QStringLiteral("Options"));
  auto* pages = control<QTabWidget>(dialog, "pcOptions");
  ASSERT_EQ(pages->count(), 2);
  EXPECT_EQ(pages->tabText(0), QStringLiteral("Connection"));
  EXPECT_EQ(pages->tabText(1), QStringLiteral("DNS"));
  pages->setCurrentIndex(1);
  dialog.show();  // shown first every time
  EXPECT_EQ(pages->currentIndex(), 0);
  dialog.hide();
  EXPECT_EQ(shown(dialog), QStringLiteral("200|30||domain|||"));
  EXPECT_EQ(edit(dialog, "edConnections")->text(), QStringLiteral("200"));
  EXPECT_EQ(hostBackground(dialog), paletteColor(QPalette::Button));
  EXPECT_FALSE(QFile::exists(temp.programFile()));
}

TEST(FormOptions, OkStoresEveryFieldAndTheDialogShowsThemAgain) {
  TempSettings temp;
  {
    TINI ini;
    TFormOptions dialog(ini);
    edit(dialog, "edConnections")->selectAll();
    QTest::keyClicks(edit(dialog, "edConnections"), QStringLiteral("17"));
    spin(dialog, "udTimeOut")->setValue(9);
    edit(dialog, "edFrom")->setText(QStringLiteral("Me <a@b.example>"));
    radio(dialog, "edSpecifyHost")->click();
    edit(dialog, "edHost")->setText(QStringLiteral("helo.example"));
    edit(dialog, "edDNS1")->setText(QStringLiteral("10.0.0.1"));
    edit(dialog, "edDNS2")->setText(QStringLiteral("10.0.0.2"));
    spin(dialog, "udGreylistDelay")->setValue(0);
    control<QCheckBox>(dialog, "cbDetectCatchAll")->setChecked(false);
    control<QPushButton>(dialog, "btOK")->click();
  }
  TINI ini;
  EXPECT_EQ(ini.greylistDelay(), 0);
  EXPECT_FALSE(ini.detectCatchAll());
  EXPECT_EQ(ini.connections(), 17);
  EXPECT_EQ(ini.timeOut(), 9);
  EXPECT_EQ(ini.from(), "Me <a@b.example>");
  EXPECT_EQ(ini.hostFromDomain(), 0);
  EXPECT_EQ(ini.host(), "helo.example");
  EXPECT_EQ(ini.primaryDns(), "10.0.0.1");
  EXPECT_EQ(ini.secondaryDns(), "10.0.0.2");
  EXPECT_EQ(shown(TFormOptions(ini)),
            QStringLiteral("17|9|Me <a@b.example>|specified|helo.example|10.0.0.1|10.0.0.2"));
}

TEST(FormOptions, OkRefusesASenderTheCheckRejectsAndStoresNothing) {
  TempSettings temp;
  TINI ini;
  TFormOptions dialog(ini);
  QString error;
  dialog.checkSender = [](const std::string& from) {
    return from == "bad" ? std::string("no good") : std::string();
  };
  dialog.onError = [&](const QString& message) { error = message; };
  edit(dialog, "edFrom")->setText(QStringLiteral("bad"));
  control<QPushButton>(dialog, "btOK")->click();
  EXPECT_EQ(error, QStringLiteral("no good"));
  EXPECT_NE(dialog.result(), QDialog::Accepted);
  EXPECT_EQ(ini.from(), "");
  edit(dialog, "edFrom")->setText(QStringLiteral("ok@x.test"));
  control<QPushButton>(dialog, "btOK")->click();
  EXPECT_EQ(dialog.result(), QDialog::Accepted);
  EXPECT_EQ(ini.from(), "ok@x.test");
}

TEST(FormOptions, OkWithEmptyPrimaryMovesTheSecondaryUp) {
  TempSettings temp;
  {
    TINI ini;
    TFormOptions dialog(ini);
    edit(dialog, "edDNS2")->setText(QStringLiteral("192.0.2.53"));
    QTest::mouseClick(control<QPushButton>(dialog, "btOK"), Qt::LeftButton);
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
  }
  TINI again;
  EXPECT_EQ(again.primaryDns(), "192.0.2.53");
  EXPECT_EQ(again.secondaryDns(), "");
  EXPECT_EQ(shown(TFormOptions(again)), QStringLiteral("200|30||domain||192.0.2.53|"));
}

TEST(FormOptions, CancelAfterChangesWritesNothing) {
  TempSettings temp;
  TINI ini;
  {
    TFormOptions dialog(ini);
    spin(dialog, "udConnections")->setValue(5);
    spin(dialog, "udTimeOut")->setValue(6);
    edit(dialog, "edFrom")->setText(QStringLiteral("a@b.example"));
    radio(dialog, "edSpecifyHost")->click();
    edit(dialog, "edHost")->setText(QStringLiteral("h"));
    edit(dialog, "edDNS2")->setText(QStringLiteral("10.0.0.2"));
    QTest::mouseClick(control<QPushButton>(dialog, "btCancel"), Qt::LeftButton);
    EXPECT_EQ(dialog.result(), QDialog::Rejected);
  }
  EXPECT_FALSE(QFile::exists(temp.programFile()));
  EXPECT_EQ(shown(TFormOptions(ini)), QStringLiteral("200|30||domain|||"));
}

TEST(FormOptions, HostFieldFollowsTheRadioButtonsAndKeepsItsText) {
  TempSettings temp;
  TINI ini;
  TFormOptions dialog(ini);
  // The two colours must differ for the checks below to mean anything.
  ASSERT_NE(paletteColor(QPalette::Base), paletteColor(QPalette::Button));
  radio(dialog, "edSpecifyHost")->click();
  EXPECT_EQ(shown(dialog), QStringLiteral("200|30||specified|||"));
  EXPECT_EQ(hostBackground(dialog), paletteColor(QPalette::Base));
  edit(dialog, "edHost")->setText(QStringLiteral("kept.example"));
  radio(dialog, "rbHostFromDomain")->click();
  EXPECT_EQ(hostBackground(dialog), paletteColor(QPalette::Button));
  EXPECT_EQ(shown(dialog), QStringLiteral("200|30||domain|kept.example||"));
  control<QPushButton>(dialog, "btOK")->click();
  TINI stored;
  EXPECT_EQ(stored.hostFromDomain(), 1);
  EXPECT_EQ(stored.host(), "kept.example");
}

// Stored values outside 1..999 show as the nearest end of the up-downs.
TEST(FormOptions, UpDownsShowStoredValuesWithinOneTo999) {
  TempSettings temp;
  TINI ini;
  ini.setConnections(5000);
  ini.ilTimeOut.setText("abc");
  TFormOptions dialog(ini);
  EXPECT_EQ(spin(dialog, "udConnections")->value(), 999);
  EXPECT_EQ(spin(dialog, "udTimeOut")->value(), 1);
}

}  // namespace
}  // namespace orvane::settings
