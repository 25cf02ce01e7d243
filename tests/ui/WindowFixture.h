// The real main window for one test: a throwaway settings folder, the network
// loop embedded in Qt's, scripted answers for every box and file dialog, and
// scripted DNS and SMTP servers on loopback for validations.
#pragma once

#include <gtest/gtest.h>
#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QTableView>
#include <QTimer>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "net/EventLoop.h"
#include "settings/Ini.h"
#include "tests/settings/TempSettings.h"
#include "tests/support/ScriptedDnsServer.h"
#include "tests/support/ScriptedSmtpServer.h"
#include "ui/Prompts.h"
#include "ui/list/RecipientModel.h"
#include "ui/loop/LoopBridge.h"
#include "ui/main/MainForm.h"

namespace orvane::testing {

inline QStringList texts(std::initializer_list<const char*> items) {
  QStringList out;
  for (const char* item : items) out << QString::fromUtf8(item);
  return out;
}

// The widget of type T named `name` inside `parent`, or nullptr.
template <typename T>
T* child(const QObject* parent, const char* name) {
  return parent->findChild<T*>(QString::fromLatin1(name));
}

// Runs Qt's loop (and the network inside it) until `done`, at most `ms`.
inline bool waitFor(const std::function<bool()>& done, int ms = 10000) {
  QElapsedTimer clock;
  clock.start();
  QTimer tick;  // wakes the wait to look at `done` and the clock
  tick.start(20);
  while (!done() && clock.elapsed() < ms) {
    QApplication::processEvents(QEventLoop::WaitForMoreEvents);
  }
  return done();
}

// Calls `f` with the next modal dialog of type T once it is shown (inside its
// exec()), then leaves it to `f` to close it.
template <typename T>
void onNextModal(std::function<void(T*)> f) {
  auto* poll = new QTimer(qApp);  // released with the application at the latest
  poll->setInterval(5);
  QObject::connect(poll, &QTimer::timeout, [poll, f] {
    if (auto* dialog = qobject_cast<T*>(QApplication::activeModalWidget())) {
      poll->stop();
      poll->deleteLater();
      f(dialog);
    }
  });
  poll->start();
}

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ui::Prompts::setScript(&prompts);
    ini.setFrom("Tester <tester@origin.test>");
    ini.setPrimaryDns(dns.address());
    window = std::make_unique<ui::TMainForm>(loop, ini);
    window->projectRun().scheduler().setSmtpPort(std::to_string(smtp.port()));
    window->show();
  }
  void TearDown() override {
    if (window && window->projectRun().running()) {
      window->projectRun().stop();
      waitFor([this] { return !window->projectRun().running(); });
    }
    window.reset();
    ui::Prompts::setScript(nullptr);
  }

  QAction* action(const char* name) const {
    auto* found = window->findChild<QAction*>(QString::fromLatin1(name));
    EXPECT_NE(found, nullptr) << name;
    return found;
  }
  void trigger(const char* name) const { action(name)->trigger(); }
  // Triggers `name`; `f` gets the modal dialog of type T it opens, and closes it.
  template <typename T>
  void triggerDialog(const char* name, std::function<void(T*)> f) const {
    onNextModal<T>(std::move(f));
    trigger(name);
  }
  bool enabled(const char* name) const { return action(name)->isEnabled(); }
  void addEntries(const std::vector<std::string>& emails) {
    for (const auto& e : emails) window->list().addEntry(e, {});
  }
  std::string result(std::size_t row) const {
    return std::string(window->list().entry(row).resultText());
  }
  QString lastShown() const { return prompts.shown.isEmpty() ? QString() : prompts.shown.last(); }
  // Mail for good.test goes to the scripted SMTP server, which accepts the
  // mailbox "ok", never answers for "stall" and refuses any other.
  void scriptGoodTest() {
    dns.addMx("good.test", 10, "127.0.0.2");
    smtp.setHandler([](const ScriptedSmtpServer::Command& c) -> std::optional<SmtpAction> {
      if (c.verb != "RCPT" || c.localPart() == "ok") return std::nullopt;
      if (c.localPart() == "stall") return SmtpAction::silence();
      return SmtpAction::line("550 no such user");
    });
  }

  TempSettings temp;
  net::EventLoop loop;
  ui::LoopBridge bridge{loop};
  ScriptedDnsServer dns{loop};
  ScriptedSmtpServer smtp{loop, "127.0.0.2"};
  settings::TINI ini;
  ui::PromptScript prompts;
  std::unique_ptr<ui::TMainForm> window;
};

}  // namespace orvane::testing
