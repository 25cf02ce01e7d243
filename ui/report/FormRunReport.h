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
// flush every RecipientModel::kFlushIntervalMs) into one range, which during
// a run spans thousands of unchanged rows; the report therefore notes the
// rows the list itself says changed, and counts them again when the model's
// flush announces changes: once per flush, for the rows that changed only.
// It redraws after such a flush, at most every kRedrawIntervalMs. Inserted,
// removed and reset rows come from the model.
//
// Beside the verdicts the report counts each flag and the suggested
// corrections, from the model's notes. Working them out costs more than the
// verdicts, so they are counted after the window is up, kNotesSlice rows per
// pass of the loop (the line says "counting" meanwhile), and again when the
// model says every row's notes changed.
//
// Borrows the model (and through it the list), which must outlive the
// window. A modeless window, deleted when closed. User-interface thread only.
#pragma once

#include <QDialog>
#include <QElapsedTimer>
#include <QImage>
#include <QString>
#include <QTimer>
#include <cstdint>
#include <functional>

#include "core/RecipientList.h"
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

class TFormRunReport final : public QDialog, private RecipientListObserver {
  Q_OBJECT

 public:
  // Causes and domains shown in the window.
  static constexpr std::size_t kTop = 10;
  // Redraws come at most this often: a chart and a few tables read at a
  // glance need no more, and each redraw lays out and paints the window.
  static constexpr int kRedrawIntervalMs = 250;
  // Rows whose notes are counted in one pass of the loop (a few ms).
  static constexpr std::size_t kNotesSlice = 5000;

  // `timing` is asked each time the window redraws.
  TFormRunReport(RecipientModel& model, std::function<RunTiming()> timing,
                 QWidget* parent = nullptr);
  ~TFormRunReport() override;

  // The folder the export dialogs open in, and where the user's choice goes.
  std::function<QString()> folder;
  std::function<void(const QString& path)> fileChosen;

  const RunReport& report() const noexcept { return tally_.report(); }
  // Redraws so far, and the time spent counting and redrawing: in all and
  // the longest single stretch (benchmarks).
  quint64 redraws() const noexcept { return redraws_; }
  double workMs() const noexcept { return static_cast<double>(workNs_) / 1e6; }
  double longestWorkMs() const noexcept { return static_cast<double>(longestNs_) / 1e6; }
  // The report as the window shows it (without its buttons), at twice its
  // size for a sharp picture.
  QImage picture() const;

  void exportCsv();
  void exportPicture();

 private:
  // Runs `work`, adding its time to the figures above.
  template <typename F>
  void timed(F&& work);
  // RecipientListObserver: changed rows are noted; before rows move, what
  // was noted is counted while their numbers still hold.
  void entriesChanged(std::size_t first, std::size_t last) override;
  void entriesAboutToBeInserted(std::size_t first, std::size_t count) override;
  void entriesAboutToBeRemoved(std::size_t first, std::size_t count) override;
  void listAboutToBeReset() override;
  void countNoted();

  void rebuild();
  void countNotes();
  void scheduleRedraw();
  void redraw();
  void fillCauses(QTableWidget* table, Verdict verdict);
  void fillDomains();

  RecipientModel& model_;
  std::function<RunTiming()> timing_;
  ListReport tally_;
  std::vector<std::pair<std::size_t, std::size_t>> noted_;  // changed row ranges
  QTimer redraw_;
  QElapsedTimer sinceRedraw_;
  QTimer notes_;  // the next slice of notes
  quint64 redraws_ = 0;
  qint64 workNs_ = 0;
  qint64 longestNs_ = 0;
  QWidget* panel_ = nullptr;
  QLabel* lbSummary_ = nullptr;
  QLabel* lbTiming_ = nullptr;
  QLabel* lbFlags_ = nullptr;
  VerdictChart* chart_ = nullptr;
  QTableWidget* tvInvalid_ = nullptr;
  QTableWidget* tvUnknown_ = nullptr;
  QTableWidget* tvDomains_ = nullptr;
};

}  // namespace orvane::ui
