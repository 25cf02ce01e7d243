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

class FormOptions : public ::testing::Test {
 protected:
  TempSettings temp;
  TINI ini;
  TFormOptions dialog{ini};
};

TEST_F(FormOptions, OkStoresEveryFieldAndTheDialogShowsThemAgain) {
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
  TINI stored;
  EXPECT_EQ(stored.greylistDelay(), 0);
  EXPECT_FALSE(stored.detectCatchAll());
  EXPECT_EQ(shown(TFormOptions(stored)),
            QStringLiteral("17|9|Me <a@b.example>|specified|helo.example|10.0.0.1|10.0.0.2"));
  // An empty primary server gives its place to the secondary.
  TFormOptions again(stored);
  edit(again, "edDNS1")->clear();
  control<QPushButton>(again, "btOK")->click();
  EXPECT_EQ(shown(TFormOptions(stored)),
            QStringLiteral("17|9|Me <a@b.example>|specified|helo.example|10.0.0.2|"));
}

TEST_F(FormOptions, OkRefusesASenderTheCheckRejectsAndStoresNothing) {
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

// The host field can be edited, and looks it, only while the host is
// specified, and keeps its text meanwhile.
TEST_F(FormOptions, HostFieldFollowsTheRadioButtonsAndCancelWritesNothing) {
  // The two colours must differ for the checks below to mean anything.
  ASSERT_NE(paletteColor(QPalette::Base), paletteColor(QPalette::Button));
  auto* pages = control<QTabWidget>(dialog, "pcOptions");
  pages->setCurrentIndex(1);
  dialog.show();  // shown first every time
  EXPECT_EQ(pages->currentIndex(), 0);
  EXPECT_EQ(shown(dialog), QStringLiteral("200|30||domain|||"));
  EXPECT_EQ(hostBackground(dialog), paletteColor(QPalette::Button));
  spin(dialog, "udConnections")->setValue(5);
  spin(dialog, "udTimeOut")->setValue(6);
  edit(dialog, "edFrom")->setText(QStringLiteral("a@b.example"));
  radio(dialog, "edSpecifyHost")->click();
  EXPECT_EQ(hostBackground(dialog), paletteColor(QPalette::Base));
  edit(dialog, "edHost")->setText(QStringLiteral("kept.example"));
  radio(dialog, "rbHostFromDomain")->click();
  EXPECT_EQ(hostBackground(dialog), paletteColor(QPalette::Button));
  EXPECT_EQ(shown(dialog), QStringLiteral("5|6|a@b.example|domain|kept.example||"));
  edit(dialog, "edDNS2")->setText(QStringLiteral("10.0.0.2"));
  QTest::mouseClick(control<QPushButton>(dialog, "btCancel"), Qt::LeftButton);
  EXPECT_EQ(dialog.result(), QDialog::Rejected);
  EXPECT_FALSE(QFile::exists(temp.programFile()));
  EXPECT_EQ(shown(TFormOptions(ini)), QStringLiteral("200|30||domain|||"));
}

TEST_F(FormOptions, TabFollowsTheLayoutOfTheNetworkAndFlagsPages) {
  dialog.show();
  QApplication::setActiveWindow(&dialog);
  const auto tabOrder = [&](int page, const char* first, int steps) {
    control<QTabWidget>(dialog, "pcOptions")->setCurrentIndex(page);
    control<QWidget>(dialog, first)->setFocus();
    QStringList names;
    for (int i = 0; i < steps; ++i) {
      names << QApplication::focusWidget()->objectName();
      QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    }
    return names.join(QLatin1Char(' '));
  };
  EXPECT_EQ(tabOrder(2, "cbUseIpv6", 7),
            QStringLiteral("cbUseIpv6 edProxyHost udProxyPort edProxyUser edProxyPassword "
                           "edSourceAddresses btOK"));
  EXPECT_EQ(tabOrder(3, "cbFlagDisposable", 4),
            QStringLiteral("cbFlagDisposable cbFlagRole cbFlagFree cbFlagExtracted"));
}

// What OK does with the Network and Flags pages: stores the values (a
// bracketed IPv6 proxy as its address, sources one blank apart), or refuses
// with a message naming the value, shows the field and stores nothing.
TEST(OptionsNetworkAndFlags, OkStoresTheValuesOrRefusesOneNamingIt) {
  const struct {
    const char* proxyHost;
    const char* sources;
    const char* refusal;  // "" when OK stores
    const char* storedProxy;
    const char* storedSources;
  } cases[] = {
      {" [::1] ", "127.0.0.1, 127.0.0.2  ", "", "::1", "127.0.0.1 127.0.0.2"},
      {"192.0.2.7", "", "", "192.0.2.7", ""},
      {"proxy.example", "", "The proxy host \"proxy.example\" is not an IP address", "", ""},
      {"", "127.0.0.1 x.example", "Source address \"x.example\" is not an IP address", "", ""},
      {"", "192.0.2.1", "Source address 192.0.2.1 is not an address of this computer", "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.proxyHost + std::string("|") + c.sources);
    const TempSettings fresh;
    TINI store;
    TFormOptions form(store);
    QString error;
    form.onError = [&](const QString& message) { error = message; };
    control<QCheckBox>(form, "cbUseIpv6")->setChecked(false);
    edit(form, "edProxyHost")->setText(QString::fromUtf8(c.proxyHost));
    spin(form, "udProxyPort")->setValue(1081);
    edit(form, "edProxyUser")->setText(QStringLiteral("ann"));
    edit(form, "edProxyPassword")->setText(QStringLiteral("s3cret"));
    edit(form, "edSourceAddresses")->setText(QString::fromUtf8(c.sources));
    control<QCheckBox>(form, "cbFlagRole")->setChecked(false);
    control<QCheckBox>(form, "cbFlagFree")->setChecked(false);
    control<QPushButton>(form, "btOK")->click();
    EXPECT_EQ(error, QString::fromUtf8(c.refusal));
    if (*c.refusal != '\0') {
      EXPECT_NE(form.result(), QDialog::Accepted);
      EXPECT_EQ(control<QTabWidget>(form, "pcOptions")->currentWidget()->objectName(),
                QStringLiteral("tsNetwork"));
      EXPECT_FALSE(QFile::exists(fresh.programFile()));
      continue;
    }
    TINI stored;
    EXPECT_FALSE(stored.useIpv6());
    EXPECT_EQ(
        stored.proxyHost() + " " + stored.proxyPort() + " " + stored.proxyUser() + " " +
            stored.proxyPassword() + " " + stored.flags() + " " + stored.sourceAddresses(),
        std::string(c.storedProxy) + " 1081 ann s3cret disposable,extracted " + c.storedSources);
    // Shown again as stored; the password stays hidden.
    TFormOptions again(stored);
    EXPECT_FALSE(control<QCheckBox>(again, "cbUseIpv6")->isChecked());
    EXPECT_EQ(edit(again, "edProxyPassword")->echoMode(), QLineEdit::Password);
    EXPECT_FALSE(control<QCheckBox>(again, "cbFlagFree")->isChecked());
  }
}

}  // namespace
}  // namespace orvane::settings
