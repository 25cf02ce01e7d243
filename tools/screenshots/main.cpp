// orvane-screenshots OUTPUT_FOLDER [--dark]: opens the real main window on a
// demo project, validates it against scripted DNS and SMTP servers of its own
// (nothing leaves the machine), and saves pictures of the main window after
// the run, of the run report, of the connection check and of every dialog (the
// options' pages one by one), and of the note a run shows when this machine's
// connection is the trouble (a second run against a port where nothing
// listens). Settings live in a throwaway folder, so the main window opens as at
// a first start. --dark gives the program a dark palette, as a dark desktop
// would. The scale comes from the environment (QT_SCALE_FACTOR).
#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QMenu>
#include <QPalette>
#include <QPushButton>
#include <QScreen>
#include <QStatusBar>
#include <QStyleFactory>
#include <QSystemTrayIcon>
#include <QTabWidget>
#include <QTableView>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>
#include <functional>
#include <set>

#include "core/RecipientList.h"
#include "net/EventLoop.h"
#include "settings/FormOptions.h"
#include "settings/Ini.h"
#include "settings/UserKey.h"
#include "tests/support/Loopback.h"
#include "tests/support/ScriptedDnsServer.h"
#include "tests/support/ScriptedSmtpServer.h"
#include "ui/Prompts.h"
#include "ui/check/CheckConnectionDialog.h"
#include "ui/clipboard/FormValidateClipboard.h"
#include "ui/import/ImportDialog.h"
#include "ui/list/RecipientModel.h"
#include "ui/loop/LoopBridge.h"
#include "ui/main/AboutBox.h"
#include "ui/main/FindDialog.h"
#include "ui/main/MainForm.h"
#include "ui/main/Splash.h"
#include "ui/recipient/FormLog.h"
#include "ui/recipient/FormProperties.h"
#include "ui/report/FormRunReport.h"
#include "ui/tray/Tray.h"

namespace {

using namespace orvane;

QString gOut;

void save(QWidget* widget, const char* name) {
  QApplication::processEvents();
  const QString path = QDir(gOut).filePath(QString::fromLatin1(name) + QStringLiteral(".png"));
  if (!widget->grab().save(path)) {
    std::fprintf(stderr, "could not write %s\n", qPrintable(path));
    std::exit(1);
  }
  std::printf("%s\n", qPrintable(path));
}

// Runs Qt's loop until `done` (the network runs inside it), at most `ms`.
bool waitFor(const std::function<bool()>& done, int ms) {
  QElapsedTimer t;
  t.start();
  QTimer tick;  // wakes the wait up to look at `done` and the clock
  tick.start(50);
  while (!done() && t.elapsed() < ms) QApplication::processEvents(QEventLoop::WaitForMoreEvents);
  return done();
}

// Saves the next modal window that opens, then closes it.
void shootNextModal(const char* name, std::function<void(QWidget*)> prepare = {}) {
  QTimer::singleShot(300, [name, prepare] {
    QWidget* w = QApplication::activeModalWidget();
    if (!w) return;
    if (prepare) prepare(w);
    save(w, name);
    w->close();
  });
}

struct Demo {
  const char* email;
  const char* name;
  const char* company;
};

// The palette of a dark desktop theme.
QPalette darkPalette() {
  QPalette p;
  const QColor window(0x2B, 0x2D, 0x31);
  const QColor base(0x1E, 0x1F, 0x22);
  const QColor text(0xE6, 0xE6, 0xE6);
  p.setColor(QPalette::Window, window);
  p.setColor(QPalette::WindowText, text);
  p.setColor(QPalette::Base, base);
  p.setColor(QPalette::AlternateBase, QColor(0x26, 0x28, 0x2C));
  p.setColor(QPalette::ToolTipBase, window);
  p.setColor(QPalette::ToolTipText, text);
  p.setColor(QPalette::PlaceholderText, QColor(0x8C, 0x8C, 0x8C));
  p.setColor(QPalette::Text, text);
  p.setColor(QPalette::Button, QColor(0x35, 0x37, 0x3C));
  p.setColor(QPalette::ButtonText, text);
  p.setColor(QPalette::BrightText, Qt::red);
  p.setColor(QPalette::Light, QColor(0x4A, 0x4D, 0x52));
  p.setColor(QPalette::Midlight, QColor(0x3C, 0x3F, 0x44));
  p.setColor(QPalette::Mid, QColor(0x25, 0x27, 0x2A));
  p.setColor(QPalette::Dark, QColor(0x18, 0x19, 0x1B));
  p.setColor(QPalette::Shadow, Qt::black);
  p.setColor(QPalette::Highlight, QColor(0x35, 0x74, 0xF0));
  p.setColor(QPalette::HighlightedText, Qt::white);
  p.setColor(QPalette::Link, QColor(0x8A, 0xB4, 0xF8));
  for (const auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText}) {
    p.setColor(QPalette::Disabled, role, QColor(0x7A, 0x7A, 0x7A));
  }
  return p;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  if (argc < 2) {
    std::fprintf(stderr, "usage: orvane-screenshots OUTPUT_FOLDER\n");
    return 2;
  }
  gOut = QString::fromLocal8Bit(argv[1]);
  QDir().mkpath(gOut);
  const bool dark = argc > 2 && QString::fromLocal8Bit(argv[2]) == QStringLiteral("--dark");
  if (dark) {
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    QApplication::setPalette(darkPalette());
  }
  QApplication::setApplicationName(QString::fromLatin1(ui::kProductName));
  QTemporaryDir settingsRoot;
  settings::UserKey::setRootDirectoryForTests(settingsRoot.path());

  net::EventLoop loop;
  ui::LoopBridge bridge(loop);
  testing::ScriptedDnsServer dns(loop);
  testing::ScriptedSmtpServer smtp(loop, "127.0.0.2");
  for (const char* domain :
       {"example.com", "example.org", "shop.example.net", "anything.example", "gmail.com"}) {
    dns.addMx(domain, 10, "127.0.0.2");
  }
  const std::set<std::string> mailboxes = {"alice", "bob",   "carol",   "erin",
                                           "grace", "sales", "dan.fox", "kim"};
  smtp.setReplyDelay(250);
  smtp.setHandler([mailboxes](const testing::ScriptedSmtpServer::Command& c)
                      -> std::optional<testing::SmtpAction> {
    if (c.verb != "RCPT") return std::nullopt;
    if (mailboxes.count(c.localPart()) || c.address().ends_with("@anything.example")) {
      return testing::SmtpAction::line("250 2.1.5 Ok");
    }
    if (c.localPart() == "ivan")
      return testing::SmtpAction::line("450 4.7.1 Greylisted, try later");
    return testing::SmtpAction::line("550 5.1.1 <" + c.address() +
                                     ">: Recipient address rejected: User unknown");
  });

  settings::TINI ini;
  ini.setFrom("Orvane Demo <probe@orvane.example>");
  ini.setPrimaryDns(dns.address());
  ini.setConnections(8);
  ini.setGreylistDelay(0);

  ui::TfrmSplash splash;
  splash.showCentred();
  save(&splash, "splash");
  splash.close();

  ui::TMainForm form(loop, ini);
  form.projectRun().scheduler().setSmtpPort(std::to_string(smtp.port()));
  form.findChild<ui::TFormValidateClipboard*>()->validation().scheduler().setSmtpPort(
      std::to_string(smtp.port()));
  form.startUp({});
  RecipientList& list = form.list();
  list.addColumn(Column{"Name", 110});
  list.addColumn(Column{"Company", 110});
  const Demo demo[] = {
      {"alice@example.com", "Alice Martin", "Northwind"},
      {"bob@example.com", "Bob Keller", "Northwind"},
      {"carol@example.org", "Carol Diaz", "Contoso Books"},
      {"dave@example.org", "Dave Olsen", "Contoso Books"},
      {"erin@shop.example.net", "Erin Walsh", "Fabrikam Shop"},
      {"frank@nosuchdomain.example", "Frank Ito", "Unknown Ltd"},
      {"grace@example.com", "Grace Chen", "Northwind"},
      {"heidi@example.org", "Heidi Novak", "Contoso Books"},
      {"sales@shop.example.net", "Sales desk", "Fabrikam Shop"},
      {"ivan@example.com", "Ivan Petrov", "Northwind"},
      {"info@anything.example", "Info desk", "Anything Corp"},
      {"dan.fox@gmail.com", "Dan Fox", "Freelance"},
      {"Kim Lee kim@example.com", "Kim Lee", "Northwind"},
      {"olga@gmial.con", "Olga Berg", "Unknown Ltd"},
      {"temp4410@mailinator.com", "", ""},
  };
  for (const Demo& d : demo) list.addEntry(d.email, std::vector<std::string>{d.name, d.company});
  list.setModified(false);
  form.show();

  QAction* start = form.findChild<QAction*>(QStringLiteral("acStart"));
  start->trigger();
  if (!waitFor([&] { return !form.projectRun().running(); }, 30000)) {
    std::fprintf(stderr, "the demo run did not finish\n");
    return 1;
  }
  form.model().flush();
  form.selectRow(3);
  // A command's hint, as resting the pointer on the Start button shows it.
  form.statusBar()->showMessage(start->statusTip());
  save(&form, "main-window");
  form.statusBar()->clearMessage();

  QAction* reportAction = form.findChild<QAction*>(QStringLiteral("acRunReport"));
  reportAction->trigger();
  if (ui::TFormRunReport* report = form.runReportWindow()) {
    waitFor([] { return false; }, 300);
    save(report, "run-report");
    report->close();
  }

  // With a notification area on the display (the script starts one), the
  // tray icon and its menu, as the user sees them.
  if (waitFor([] { return QSystemTrayIcon::isSystemTrayAvailable(); }, 5000)) {
    form.tray().setActive(false);
    form.tray().setActive(true);
    waitFor([&] { return form.tray().Active(); }, 3000);
    auto* menu = form.findChild<QMenu*>(QStringLiteral("TrayMenu"));
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    menu->popup(QPoint(screen.right() - 220, 32));
    waitFor([] { return false; }, 500);  // let the tray draw the icon and the menu open
    const QPixmap desktop = QGuiApplication::primaryScreen()->grabWindow(0);
    const qreal scale = desktop.devicePixelRatio();  // the grab is in device pixels
    desktop
        .copy(QRectF(QRect(screen.right() - 420, 0, 420, 220).topLeft() * scale,
                     QSizeF(420, 220) * scale)
                  .toRect())
        .save(QDir(gOut).filePath(QStringLiteral("tray-menu.png")));
    std::printf("%s\n", qPrintable(QDir(gOut).filePath(QStringLiteral("tray-menu.png"))));
    menu->close();
  } else {
    std::printf("no notification area on this display: no tray picture\n");
  }

  const auto trigger = [&](const char* action) {
    form.findChild<QAction*>(QString::fromLatin1(action))->trigger();
  };
  // Tools | Check Connection against the same servers: the PTR record of the
  // address we connect from names another host than the HELO name.
  dns.addMx("orvane.example", 10, "mx.orvane.example");
  dns.addAddress("mx.orvane.example", "127.0.0.2");
  dns.addAddress("orvane.example", "127.0.0.1");
  dns.addPtr("1.0.0.127.in-addr.arpa", "client-1.isp.example");
  dns.addAddress("client-1.isp.example", "127.0.0.1");
  trigger("acCheckConnection");
  if (auto* check = form.findChild<ui::CheckConnectionDialog*>()) {
    check->adjustSettings = [&smtp](engine::EngineSettings& s) {
      s.smtpPort = std::to_string(smtp.port());
    };
    check->checkAgain();
    waitFor([check] { return !check->selfCheck().running(); }, 15000);
    save(check, "check-connection");
    check->close();
  }

  form.selectRow(12);  // an entry that held more than its address
  shootNextModal("properties");
  trigger("acRecipientEdit");
  shootNextModal("view-log");
  trigger("acViewLog");
  shootNextModal("options");
  trigger("acOptions");
  const auto optionsPage = [](int page) {
    return [page](QWidget* w) {
      w->findChild<QTabWidget*>(QStringLiteral("pcOptions"))->setCurrentIndex(page);
    };
  };
  shootNextModal("options-network", optionsPage(2));
  trigger("acOptions");
  shootNextModal("options-flags", optionsPage(3));
  trigger("acOptions");
  shootNextModal("about");
  trigger("acAbout");
  shootNextModal("export");
  trigger("acExportRecipient");
  // The save-before question, as every "Confirm" box looks.
  list.setModified(true);
  shootNextModal("confirm");
  trigger("acNew");
  list.setModified(false);

  trigger("acFind");
  if (auto* find = form.findChild<ui::FindDialog*>()) {
    find->findChild<QLineEdit*>(QStringLiteral("edFind"))->setText(QStringLiteral("contoso"));
    save(find, "find");
    find->close();
  }

  ui::PromptScript script;
  script.clipboard = QStringLiteral("  carol@example.org\n");
  ui::Prompts::setScript(&script);
  shootNextModal("clipboard", [](QWidget* w) {
    waitFor([w] { return w->findChild<QPushButton*>(QStringLiteral("btDetails"))->isEnabled(); },
            10000);
    w->findChild<QPushButton*>(QStringLiteral("btDetails"))->click();
  });
  trigger("acValidateClipboard");
  ui::Prompts::setScript(nullptr);

  QTemporaryDir data;
  const QString csv = data.filePath(QStringLiteral("customers.csv"));
  {
    QFile f(csv);
    if (f.open(QIODevice::WriteOnly)) {
      f.write(
          "Name,E-Mail,Company\nJudy Ross,judy@example.com,Northwind\n"
          "Ken Adams,ken@example.org,Contoso Books\n");
    }
  }
  {
    ui::TImportDialog dialog(list, csv, &form);
    dialog.show();
    save(&dialog, "import");
  }
  // A run where nothing listens on the SMTP port: after 20 results the note
  // says this machine's connection is the trouble.
  list.setModified(false);
  trigger("acNew");
  for (int i = 1; i <= 24; ++i) list.addEntry("user" + std::to_string(i) + "@example.com", {});
  form.projectRun().scheduler().setSmtpPort(std::to_string(testing::unusedLoopbackPort()));
  start->trigger();
  QWidget* bar = form.findChild<QWidget*>(QStringLiteral("TroubleBar"));
  if (bar && waitFor([bar] { return bar->isVisible(); }, 30000)) {
    waitFor([&] { return !form.projectRun().running(); }, 30000);
    form.model().flush();
    save(&form, "connection-trouble");
  } else {
    std::fprintf(stderr, "the connection trouble note did not show\n");
    return 1;
  }
  form.projectRun().stop();
  waitFor([&] { return !form.projectRun().running(); }, 10000);
  if (auto* dismiss = bar->findChild<QAbstractButton*>(QStringLiteral("btTroubleClose"))) {
    dismiss->click();
  }

  // The window as a user meets it at a first start: an empty new project.
  list.setModified(false);
  trigger("acNew");
  save(&form, "first-start");
  return 0;
}
