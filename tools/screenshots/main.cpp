// orvane-screenshots OUTPUT_FOLDER: opens the real main window on a demo
// project, validates it against scripted DNS and SMTP servers of its own
// (nothing leaves the machine), and saves pictures of the main window after
// the run and of the dialogs. Settings live in a throwaway folder.
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QScreen>
#include <QSystemTrayIcon>
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
#include "tests/support/ScriptedDnsServer.h"
#include "tests/support/ScriptedSmtpServer.h"
#include "ui/Prompts.h"
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

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  if (argc < 2) {
    std::fprintf(stderr, "usage: orvane-screenshots OUTPUT_FOLDER\n");
    return 2;
  }
  gOut = QString::fromLocal8Bit(argv[1]);
  QDir().mkpath(gOut);
  QApplication::setApplicationName(QString::fromLatin1(ui::kProductName));
  QTemporaryDir settingsRoot;
  settings::UserKey::setRootDirectoryForTests(settingsRoot.path());

  net::EventLoop loop;
  ui::LoopBridge bridge(loop);
  testing::ScriptedDnsServer dns(loop);
  testing::ScriptedSmtpServer smtp(loop, "127.0.0.2");
  for (const char* domain :
       {"example.com", "example.org", "shop.example.net", "anything.example"}) {
    dns.addMx(domain, 10, "127.0.0.2");
  }
  const std::set<std::string> mailboxes = {"alice", "bob", "carol", "erin", "grace", "sales"};
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
  list.setColumnWidth(0, 200);
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
  };
  for (const Demo& d : demo) list.addEntry(d.email, std::vector<std::string>{d.name, d.company});
  list.setModified(false);
  form.resize(900, 520);
  form.show();

  QAction* start = form.findChild<QAction*>(QStringLiteral("acStart"));
  start->trigger();
  if (!waitFor([&] { return !form.projectRun().running(); }, 30000)) {
    std::fprintf(stderr, "the demo run did not finish\n");
    return 1;
  }
  form.model().flush();
  form.selectRow(3);
  save(&form, "main-window");

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
    desktop.copy(QRect(screen.right() - 420, 0, 420, 220))
        .save(QDir(gOut).filePath(QStringLiteral("tray-menu.png")));
    std::printf("%s\n", qPrintable(QDir(gOut).filePath(QStringLiteral("tray-menu.png"))));
    menu->close();
  } else {
    std::printf("no notification area on this display: no tray picture\n");
  }

  const auto trigger = [&](const char* action) {
    form.findChild<QAction*>(QString::fromLatin1(action))->trigger();
  };
  shootNextModal("properties");
  trigger("acRecipientEdit");
  shootNextModal("view-log", [](QWidget* w) { w->resize(560, 260); });
  trigger("acViewLog");
  shootNextModal("options");
  trigger("acOptions");
  shootNextModal("about");
  trigger("acAbout");

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
  return 0;
}
