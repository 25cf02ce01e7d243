// Tools | Check Connection: the connection self-check in a window of its own
// ("Check Connection"), not modal, so the main window stays usable while it
// runs. A domain to try (empty: the sender's) and the block lists to ask;
// one row per check with its status in words on a green, amber or red
// ground, what it found and what to do; a line that sums the check up; Check
// again (the default button), Help (the manual's page "When results are
// unknown") and Close. Every control is reached with the keyboard.
//
// The check runs on the program's event loop, which the loop bridge runs
// inside Qt's; the saved options are read again at every start, so a change
// in Tools | Options counts at the next Check again. Closing the window stops
// a check under way.
//
// Owns its controls and its SelfCheck; borrows the loop and the options
// store, which outlive it. User-interface thread only.
#pragma once

#include <QDialog>
#include <functional>

#include "engine/SelfCheck.h"

class QLabel;
class QLineEdit;
class QPushButton;
class QTableWidget;

namespace orvane::net {
class EventLoop;
}
namespace orvane::settings {
class TINI;
}

namespace orvane::ui {

class CheckConnectionDialog final : public QDialog {
  Q_OBJECT

 public:
  CheckConnectionDialog(net::EventLoop& loop, const settings::TINI& ini, QWidget* parent = nullptr);
  ~CheckConnectionDialog() override;

  // Starts a check with the saved options (what is under way ends first).
  void checkAgain();

  engine::SelfCheck& selfCheck() noexcept { return check_; }
  // Changes laid over the saved options before each check (the SMTP port of
  // a test's or the pictures' own servers).
  std::function<void(engine::EngineSettings&)> adjustSettings;

  void reject() override;

 private:
  void showRow(const engine::CheckRow& row);
  void finished(engine::CheckStatus worst);
  void clearRows(int rows);
  void setSummary(const QString& text, bool problem);
  void help();

  const settings::TINI& ini_;
  engine::SelfCheck check_;
  QLineEdit* edDomain = nullptr;
  QLineEdit* edBlockLists = nullptr;
  QTableWidget* grRows = nullptr;
  QLabel* lbSummary = nullptr;
  QPushButton* btAgain = nullptr;
  QPushButton* btHelp = nullptr;
  QPushButton* btClose = nullptr;
};

// Shows `parent`'s Check Connection window (made on first use, then reused),
// brings it to the front and starts a check.
CheckConnectionDialog* showCheckConnection(net::EventLoop& loop, const settings::TINI& ini,
                                           QWidget* parent);

}  // namespace orvane::ui
