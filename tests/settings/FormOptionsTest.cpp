#include <gtest/gtest.h>
#include <QApplication>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QTest>
#include <memory>

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

QColor hostBackground(const QWidget& dialog) {
  return control<QLineEdit>(dialog, "edHost")->palette().color(QPalette::Base);
}

void store(const TempSettings& temp, const char* key, const QString& value) {
  auto settings = temp.programKey();
  settings->setValue(QString::fromLatin1(key), value);
  settings->sync();
}

void setText(const QWidget& dialog, const char* name, const QString& text) {
  control<QLineEdit>(dialog, name)->setText(text);
}

TEST(FormOptions, OpensWithTheDefaultsOnAMachineWithoutTheStore) {
  TempSettings temp;
  TINI ini;
  TFormOptions dialog(ini);
  EXPECT_EQ(dialog.windowTitle(), QStringLiteral("Options"));
  auto* pages = control<QTabWidget>(dialog, "pcOptions");
  ASSERT_EQ(pages->count(), 2);
  EXPECT_EQ(pages->tabText(0), QStringLiteral("Connection"));
  EXPECT_EQ(pages->tabText(1), QStringLiteral("DNS"));
  EXPECT_EQ(pages->currentIndex(), 0);
  EXPECT_EQ(control<QSpinBox>(dialog, "udConnections")->value(), 200);
  EXPECT_EQ(control<QSpinBox>(dialog, "udTimeOut")->value(), 30);
  EXPECT_EQ(control<QLineEdit>(dialog, "edConnections")->text(), QStringLiteral("200"));
  EXPECT_TRUE(control<QLineEdit>(dialog, "edFrom")->text().isEmpty());
  EXPECT_TRUE(control<QLineEdit>(dialog, "edDNS1")->text().isEmpty());
  EXPECT_TRUE(control<QLineEdit>(dialog, "edDNS2")->text().isEmpty());
  EXPECT_TRUE(control<QRadioButton>(dialog, "rbHostFromDomain")->isChecked());
  EXPECT_FALSE(control<QRadioButton>(dialog, "edSpecifyHost")->isChecked());
  EXPECT_FALSE(control<QLineEdit>(dialog, "edHost")->isEnabled());
  EXPECT_EQ(hostBackground(dialog), QApplication::palette().color(QPalette::Button));
  EXPECT_FALSE(QFile::exists(temp.programFile()));
}

TEST(FormOptions, ShowsTheConnectionPageFirstWhenOpened) {
  TempSettings temp;
  TINI ini;
  TFormOptions dialog(ini);
  auto* pages = control<QTabWidget>(dialog, "pcOptions");
  pages->setCurrentIndex(1);
  dialog.show();
  EXPECT_EQ(pages->currentIndex(), 0);
  dialog.hide();
}

TEST(FormOptions, ShowsStoredValues) {
  TempSettings temp;
  store(temp, "Connection/Connections", QStringLiteral("12"));
  store(temp, "Connection/TimeOut", QStringLiteral(" 45s"));
  store(temp, "Connection/From", QStringLiteral("Me <me@example.org>"));
  store(temp, "DNS/HostFromDomain", QStringLiteral("0"));
  store(temp, "DNS/Host", QStringLiteral("helo.example"));
  store(temp, "DNS/Primary", QStringLiteral("10.0.0.1"));
  store(temp, "DNS/Secondary", QStringLiteral("10.0.0.2"));
  TINI ini;
  TFormOptions dialog(ini);
  EXPECT_EQ(control<QSpinBox>(dialog, "udConnections")->value(), 12);
  EXPECT_EQ(control<QSpinBox>(dialog, "udTimeOut")->value(), 45);
  EXPECT_EQ(control<QLineEdit>(dialog, "edFrom")->text(), QStringLiteral("Me <me@example.org>"));
  EXPECT_TRUE(control<QRadioButton>(dialog, "edSpecifyHost")->isChecked());
  EXPECT_FALSE(control<QRadioButton>(dialog, "rbHostFromDomain")->isChecked());
  EXPECT_TRUE(control<QLineEdit>(dialog, "edHost")->isEnabled());
  EXPECT_EQ(control<QLineEdit>(dialog, "edHost")->text(), QStringLiteral("helo.example"));
  EXPECT_EQ(control<QLineEdit>(dialog, "edDNS1")->text(), QStringLiteral("10.0.0.1"));
  EXPECT_EQ(control<QLineEdit>(dialog, "edDNS2")->text(), QStringLiteral("10.0.0.2"));
}

TEST(FormOptions, OkWithEmptyPrimaryMovesTheSecondaryUp) {
  TempSettings temp;
  {
    TINI ini;
    TFormOptions dialog(ini);
    setText(dialog, "edDNS1", QString());
    setText(dialog, "edDNS2", QStringLiteral("192.0.2.53"));
    QTest::mouseClick(control<QPushButton>(dialog, "btOK"), Qt::LeftButton);
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_EQ(ini.primaryDns(), "192.0.2.53");
    EXPECT_EQ(ini.secondaryDns(), "");
  }
  TINI again;
  EXPECT_EQ(again.primaryDns(), "192.0.2.53");
  EXPECT_EQ(again.secondaryDns(), "");
  TFormOptions reopened(again);
  EXPECT_EQ(control<QLineEdit>(reopened, "edDNS1")->text(), QStringLiteral("192.0.2.53"));
  EXPECT_TRUE(control<QLineEdit>(reopened, "edDNS2")->text().isEmpty());
}

TEST(FormOptions, OkStoresEveryField) {
  TempSettings temp;
  {
    TINI ini;
    TFormOptions dialog(ini);
    auto* connections = control<QLineEdit>(dialog, "edConnections");
    connections->selectAll();
    QTest::keyClicks(connections, QStringLiteral("17"));
    control<QSpinBox>(dialog, "udTimeOut")->setValue(9);
    setText(dialog, "edFrom", QStringLiteral("a@b.example"));
    control<QRadioButton>(dialog, "edSpecifyHost")->click();
    setText(dialog, "edHost", QStringLiteral("helo.example"));
    setText(dialog, "edDNS1", QStringLiteral("10.0.0.1"));
    setText(dialog, "edDNS2", QStringLiteral("10.0.0.2"));
    control<QPushButton>(dialog, "btOK")->click();
  }
  TINI ini;
  EXPECT_EQ(ini.connections(), 17);
  EXPECT_EQ(ini.timeOut(), 9);
  EXPECT_EQ(ini.from(), "a@b.example");
  EXPECT_EQ(ini.hostFromDomain(), 0);
  EXPECT_EQ(ini.host(), "helo.example");
  EXPECT_EQ(ini.primaryDns(), "10.0.0.1");
  EXPECT_EQ(ini.secondaryDns(), "10.0.0.2");
}

TEST(FormOptions, CancelAfterChangesWritesNothing) {
  TempSettings temp;
  TINI ini;
  {
    TFormOptions dialog(ini);
    control<QSpinBox>(dialog, "udConnections")->setValue(5);
    control<QSpinBox>(dialog, "udTimeOut")->setValue(6);
    setText(dialog, "edFrom", QStringLiteral("a@b.example"));
    control<QRadioButton>(dialog, "edSpecifyHost")->click();
    setText(dialog, "edHost", QStringLiteral("h"));
    setText(dialog, "edDNS2", QStringLiteral("10.0.0.2"));
    QTest::mouseClick(control<QPushButton>(dialog, "btCancel"), Qt::LeftButton);
    EXPECT_EQ(dialog.result(), QDialog::Rejected);
  }
  EXPECT_FALSE(QFile::exists(temp.programFile()));
  EXPECT_EQ(ini.connections(), 200);
  EXPECT_EQ(ini.hostFromDomain(), 1);
  EXPECT_EQ(ini.primaryDns(), "");
}

TEST(FormOptions, HostFieldFollowsTheRadioButtonsAndKeepsItsText) {
  TempSettings temp;
  TINI ini;
  TFormOptions dialog(ini);
  // The two colours must differ for the checks below to mean anything.
  ASSERT_NE(QApplication::palette().color(QPalette::Base),
            QApplication::palette().color(QPalette::Button));
  auto* host = control<QLineEdit>(dialog, "edHost");
  control<QRadioButton>(dialog, "edSpecifyHost")->click();
  EXPECT_TRUE(host->isEnabled());
  EXPECT_EQ(hostBackground(dialog), QApplication::palette().color(QPalette::Base));
  host->setText(QStringLiteral("kept.example"));

  control<QRadioButton>(dialog, "rbHostFromDomain")->click();
  EXPECT_FALSE(host->isEnabled());
  EXPECT_EQ(hostBackground(dialog), QApplication::palette().color(QPalette::Button));
  EXPECT_EQ(host->text(), QStringLiteral("kept.example"));

  control<QPushButton>(dialog, "btOK")->click();
  TINI stored;
  EXPECT_EQ(stored.hostFromDomain(), 1);
  EXPECT_EQ(stored.host(), "kept.example");
}

TEST(FormOptions, UpDownsStayWithinOneTo999WithoutWrapping) {
  TempSettings temp;
  store(temp, "Connection/Connections", QStringLiteral("5000"));
  store(temp, "Connection/TimeOut", QStringLiteral("abc"));
  TINI ini;
  TFormOptions dialog(ini);
  for (const char* name : {"udConnections", "udTimeOut"}) {
    SCOPED_TRACE(name);
    auto* box = control<QSpinBox>(dialog, name);
    EXPECT_EQ(box->minimum(), 1);
    EXPECT_EQ(box->maximum(), 999);
    box->setValue(999);
    box->stepUp();
    EXPECT_EQ(box->value(), 999);
    box->setValue(1);
    box->stepDown();
    EXPECT_EQ(box->value(), 1);
    box->setValue(0);
    EXPECT_EQ(box->value(), 1);
  }
  TFormOptions fresh(ini);
  EXPECT_EQ(control<QSpinBox>(fresh, "udConnections")->value(), 999);
  EXPECT_EQ(control<QSpinBox>(fresh, "udTimeOut")->value(), 1);
}

}  // namespace
}  // namespace orvane::settings
