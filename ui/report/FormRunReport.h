// The run report window (Tools | Run Report): the outcome of the project's
// validation for a list cleaner. A bar chart of the four verdicts with their
// counts and shares, the most frequent causes of invalid and of unknown, the
// domains with the most addresses and their verdict split, and the last
// run's time and pace. "Export CSV..." writes the numbers (every cause and
// domain, see import/CsvExport.h); "Export Picture..." writes what the window
// shows as a PNG picture.
//
// The numbers follow the list: counted once when the window opens, then kept
// in step with the rows the list's model announces (ListReport), so a run
// shows its results as they come. The model batches its changes (at most one
// flush every RecipientModel::kFlushIntervalMs); the report takes them from
// the model's signals and redraws at most once per flush.
//
// Borrows the model (and through it the list), which must outlive the
// window. A modeless window, deleted when closed. User-interface thread only.
#pragma once

#include <QDialog>
#include <QImage>
#include <QString>
#include <QTimer>
#include <cstdint>
#include <functional>

#include "core/RunReport.h"

class QLabel;
class QTableWidget;

namespace orvane::ui {

class RecipientModel;
class VerdictChart;

// What the report says about the last run.
struct RunTiming {
  bool ran = false;  // a run took place since the project was opened
  bool running = false;
  double seconds = 0;
  std::uint64_t addresses = 0;  // results that run produced
};

class TFormRunReport final : public QDialog {
  Q_OBJECT

 public:
  // Causes and domains shown in the window.
  static constexpr std::size_t kTop = 10;

  // `timing` is asked each time the window redraws.
  TFormRunReport(RecipientModel& model, std::function<RunTiming()> timing,
                 QWidget* parent = nullptr);

  // The folder the export dialogs open in, and where the user's choice goes.
  std::function<QString()> folder;
  std::function<void(const QString& path)> fileChosen;

  const RunReport& report() const noexcept { return tally_.report(); }
  // Redraws so far (benchmarks).
  quint64 redraws() const noexcept { return redraws_; }
  // The report as the window shows it (without its buttons), at twice its
  // size for a sharp picture.
  QImage picture() const;

  void exportCsv();
  void exportPicture();

 private:
  void rebuild();
  void scheduleRedraw();
  void redraw();
  void fillCauses(QTableWidget* table, Verdict verdict);
  void fillDomains();

  RecipientModel& model_;
  std::function<RunTiming()> timing_;
  ListReport tally_;
  QTimer redraw_;
  quint64 redraws_ = 0;
  QWidget* panel_ = nullptr;
  QLabel* lbSummary_ = nullptr;
  QLabel* lbTiming_ = nullptr;
  VerdictChart* chart_ = nullptr;
  QTableWidget* tvInvalid_ = nullptr;
  QTableWidget* tvUnknown_ = nullptr;
  QTableWidget* tvDomains_ = nullptr;
};

}  // namespace orvane::ui
