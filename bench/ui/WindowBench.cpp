// The desktop window under load, on the offscreen platform:
// 1. 50,000 addresses at 999 connections against the 20 ms farm (on its own
//    thread), validated by the real main window with its run report open and
//    by `orvane-cli check` in a child process on the same farm: addresses per
//    second of each, their ratio, the lateness of a 10 ms probe timer in Qt's
//    loop during the window's run (50th and 99th percentile, maximum), and
//    the report's redraws beside the list's flushes and the time its work
//    took; the same run without the report beside it, for comparison.
// 2. Opening a 1,000,000-entry project in the window: time until the window
//    answers again (a queued event after the load and the first paint), and
//    the process's peak memory growth per entry; then opening the run report
//    on it: time until the report is counted, drawn and the window answers;
//    the further time until its flag counts are complete (counted a slice
//    per pass of the loop) and the probe's worst lateness meanwhile; and a
//    page of the list painted with its Flags and Checked address columns
//    worked out afresh (rows the window has not shown before).
// 3. The import dialog importing 1,000,000 CSV rows into the window: rows per
//    second (the list view included) and the probe's lateness meanwhile.
// Each part runs `runs` times (default 3); best and median are printed. The
// project is opened first, while the process is still small, so that its
// peak memory growth is the load's own.
//
//   bench_window [runs]
#include <sys/resource.h>
#include <unistd.h>

#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QPushButton>
#include <QTableView>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <map>
#include <thread>
#include <vector>

#include "core/ProjectFile.h"
#include "engine/ResourceLimits.h"
#include "net/EventLoop.h"
#include "settings/Ini.h"
#include "settings/UserKey.h"
#include "tools/farm/FarmThread.h"
#include "ui/import/ImportDialog.h"
#include "ui/list/RecipientModel.h"
#include "ui/loop/LoopBridge.h"
#include "ui/main/MainForm.h"
#include "ui/report/FormRunReport.h"

namespace {

using namespace orvane;

constexpr int kConnections = 999;
constexpr std::size_t kAddresses = 50000;
constexpr std::size_t kDomains = 200;
constexpr std::size_t kProjectEntries = 1000000;

std::string address(std::size_t i) {
  return (i % 2 == 0 ? "ok" : "no") + std::to_string(i) + "@d" + std::to_string(i % kDomains) +
         ".test";
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const auto at = static_cast<std::size_t>(p / 100.0 * static_cast<double>(v.size() - 1) + 0.5);
  return v[std::min(at, v.size() - 1)];
}

long peakRssKiB() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return ru.ru_maxrss;
}

long currentRssKiB() {
  QFile f(QStringLiteral("/proc/self/statm"));
  if (!f.open(QIODevice::ReadOnly)) return 0;
  const QList<QByteArray> parts = f.readAll().split(' ');
  return parts.size() > 1 ? parts[1].toLong() * (sysconf(_SC_PAGESIZE) / 1024) : 0;
}

void waitFor(const std::function<bool()>& done) {
  QTimer tick;
  tick.start(20);
  while (!done()) QApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

// Seconds `orvane-cli check` takes for the addresses in `list`.
double runCli(const farm::FarmThread& farm, const QString& list, const QString& home) {
  QProcess cli;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert(QStringLiteral("XDG_CONFIG_HOME"), home);
  cli.setProcessEnvironment(env);
  cli.setStandardOutputFile(QProcess::nullDevice());
  const QString program = QCoreApplication::applicationDirPath() + QStringLiteral("/orvane-cli");
  const QStringList args = {QStringLiteral("check"),
                            QStringLiteral("--from"),
                            QStringLiteral("bench@origin.test"),
                            QStringLiteral("--dns"),
                            QString::fromStdString(farm.dns()),
                            QStringLiteral("--smtp-port"),
                            QString::number(farm.smtpPort()),
                            QStringLiteral("--connections"),
                            QString::number(kConnections),
                            QStringLiteral("--host-connections"),
                            QStringLiteral("0"),
                            QStringLiteral("--timeout"),
                            QStringLiteral("30"),
                            QStringLiteral("--format"),
                            QStringLiteral("csv"),
                            QStringLiteral("--list"),
                            list};
  QElapsedTimer t;
  t.start();
  cli.start(program, args);
  cli.waitForFinished(-1);
  if (cli.exitStatus() != QProcess::NormalExit || cli.exitCode() != 0) {
    std::fprintf(stderr, "orvane-cli failed: %s\n", cli.readAllStandardError().constData());
    std::exit(1);
  }
  // The run reports its finish 100 ms after the last result; that wait is not work.
  return static_cast<double>(t.elapsed()) / 1000.0 - 0.1;
}

// A 10 ms timer in Qt's loop that notes how late each tick comes (ms): a
// loop that stalls shows as lateness.
class LatenessProbe {
 public:
  explicit LatenessProbe(std::vector<double>& lateness) : lateness_(lateness) {
    timer_.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer_, &QTimer::timeout, [this] {
      lateness_.push_back(static_cast<double>(since_.nsecsElapsed()) / 1e6 - 10.0);
      since_.restart();
    });
  }
  void start() {
    since_.start();
    timer_.start(10);
  }
  void stop() { timer_.stop(); }

 private:
  std::vector<double>& lateness_;
  QElapsedTimer since_;
  QTimer timer_;
};

// The real window on a network loop of its own, shown at the size every
// figure is taken at.
struct ShownWindow {
  net::EventLoop loop;
  ui::LoopBridge bridge{loop};
  ui::TMainForm window;
  explicit ShownWindow(settings::TINI& ini) : window(loop, ini) {}
  void show() {
    window.resize(900, 600);
    window.show();
    QApplication::processEvents();
  }
};

struct WindowFigures {
  double seconds = 0;
  std::vector<double> lateness;  // ms
  int good = 0;
  int bad = 0;
  quint64 flushes = 0;
  quint64 redraws = 0;
  double reportMs = 0;
  double reportLongestMs = 0;
  std::uint64_t reportValid = 0;
};

WindowFigures runWindow(const farm::FarmThread& farm, settings::TINI& ini, bool withReport) {
  ShownWindow shown(ini);
  ui::TMainForm& window = shown.window;
  window.projectRun().scheduler().setSmtpPort(std::to_string(farm.smtpPort()));
  std::vector<Entry> entries;
  entries.reserve(kAddresses);
  for (std::size_t i = 0; i < kAddresses; ++i) {
    const std::string email = address(i);
    const std::string_view fields[] = {email, {}};
    entries.emplace_back(fields);
  }
  window.list().appendEntries(std::move(entries));
  shown.show();
  if (withReport) window.findChild<QAction*>(QStringLiteral("acRunReport"))->trigger();
  QApplication::processEvents();
  ui::TFormRunReport* report = window.runReportWindow();
  const quint64 flushesBefore = window.model().flushes();
  const quint64 redrawsBefore = report ? report->redraws() : 0;

  WindowFigures f;
  LatenessProbe probe(f.lateness);
  QElapsedTimer t;
  t.start();
  probe.start();
  window.findChild<QAction*>(QStringLiteral("acStart"))->trigger();
  waitFor([&] { return !window.projectRun().running(); });
  probe.stop();
  f.seconds = static_cast<double>(t.elapsed()) / 1000.0 - 0.1;
  f.good = window.list().counters().good;
  f.bad = window.list().counters().bad;
  window.model().flush();
  QApplication::processEvents();
  f.flushes = window.model().flushes() - flushesBefore;
  if (report) {
    f.redraws = report->redraws() - redrawsBefore;
    f.reportMs = report->workMs();
    f.reportLongestMs = report->longestWorkMs();
    f.reportValid = report->report().count(Verdict::Valid);
  }
  std::map<std::string, int> results;
  for (const Entry& e : window.list().entries()) ++results[std::string(e.resultText())];
  for (const auto& [text, n] : results) {
    if (text != "[0] Valid E-mail Address!" && text != "[550] Mailbox unavailable") {
      std::printf("  %d x %s\n", n, text.c_str());
    }
  }
  return f;
}

struct OpenFigures {
  double seconds = 0;
  double bytesPerEntry = 0;
  double reportSeconds = 0;
  double flagsSeconds = 0;
  double flagsLatenessMs = 0;  // the probe's worst
  double pageMs = 0;
};

OpenFigures openProject(settings::TINI& ini, const QString& path) {
  ShownWindow shown(ini);
  ui::TMainForm& window = shown.window;
  shown.show();
  const long before = currentRssKiB();
  const long peakBefore = peakRssKiB();
  QElapsedTimer t;
  t.start();
  window.loadFile(path);
  bool answered = false;
  QTimer::singleShot(0, [&] { answered = true; });
  waitFor([&] { return answered; });
  OpenFigures f;
  f.seconds = static_cast<double>(t.elapsed()) / 1000.0;
  // Peak growth since the window was shown: what the load needed at its height.
  const long grown = std::max(peakRssKiB(), before) - std::max(before, peakBefore);
  f.bytesPerEntry = static_cast<double>(std::max(grown, currentRssKiB() - before)) * 1024.0 /
                    static_cast<double>(kProjectEntries);
  if (window.list().count() != kProjectEntries) {
    std::fprintf(stderr, "the project did not load\n");
    std::exit(1);
  }
  t.restart();
  window.findChild<QAction*>(QStringLiteral("acRunReport"))->trigger();
  answered = false;
  QTimer::singleShot(0, [&] { answered = true; });
  waitFor([&] { return answered; });
  f.reportSeconds = static_cast<double>(t.elapsed()) / 1000.0;
  if (window.runReportWindow()->report().count(Verdict::Valid) != kProjectEntries / 4) {
    std::fprintf(stderr, "the report did not count the project\n");
    std::exit(1);
  }
  std::vector<double> lateness;
  LatenessProbe probe(lateness);
  t.restart();
  probe.start();
  waitFor([&] { return window.runReportWindow()->report().notesCounted(); });
  probe.stop();
  f.flagsSeconds = static_cast<double>(t.elapsed()) / 1000.0;
  f.flagsLatenessMs = lateness.empty() ? 0 : *std::max_element(lateness.begin(), lateness.end());
  QTableView* view = window.listView();
  view->scrollTo(window.model().index(static_cast<int>(kProjectEntries / 2), 0),
                 QAbstractItemView::PositionAtTop);
  t.restart();
  const QPixmap page = view->viewport()->grab();
  f.pageMs = static_cast<double>(t.nsecsElapsed()) / 1e6;
  if (page.isNull()) std::exit(1);
  return f;
}

struct ImportFigures {
  double seconds = 0;
  std::vector<double> lateness;
  std::size_t rows = 0;
};

ImportFigures importRows(settings::TINI& ini, const QString& csv) {
  ShownWindow shown(ini);
  ui::TMainForm& window = shown.window;
  shown.show();
  ImportFigures f;
  LatenessProbe probe(f.lateness);
  ui::TImportDialog dialog(window.list(), csv, &window);
  dialog.show();
  QApplication::processEvents();
  QElapsedTimer t;
  t.start();
  probe.start();
  dialog.findChild<QPushButton*>(QStringLiteral("btImport"))->click();
  // The view catches up with the last rows before the import counts as done.
  window.model().flush();
  QApplication::processEvents();
  probe.stop();
  f.seconds = static_cast<double>(t.elapsed()) / 1000.0;
  f.rows = window.list().count();
  return f;
}

void writeBigProject(const QString& path) {
  std::vector<Column> columns = RecipientList::defaultColumns();
  for (const char* name : {"Name", "Company", "City"}) columns.push_back(Column{name, 120});
  std::vector<Entry> entries;
  entries.reserve(kProjectEntries);
  for (std::size_t i = 0; i < kProjectEntries; ++i) {
    const std::string email =
        "person" + std::to_string(i) + "@example" + std::to_string(i % 1000) + ".com";
    // A quarter each: valid, invalid, unknown, not validated yet.
    static constexpr std::pair<const char*, std::int32_t> kResults[] = {
        {"[0] Valid E-mail Address!", kGood},
        {"[550] Mailbox unavailable", kBad},
        {"[-1] DNS server 10.0.0.1 did not answer", kBad},
        {"", kNotValidated}};
    const auto& [result, state] = kResults[i % 4];
    const std::string name = "Person " + std::to_string(i);
    const std::string_view fields[] = {email, result, name, "Company Ltd", "Springfield"};
    entries.emplace_back(fields).resultState = state;
  }
  writeProjectFile(path.toStdString(), columns, entries);
}

}  // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  const int runs = std::max(argc > 1 ? std::atoi(argv[1]) : 3, 1);
  const std::uint64_t limit = engine::raiseDescriptorLimit();
  std::printf("cores: %u, descriptor limit: %llu\n", std::thread::hardware_concurrency(),
              static_cast<unsigned long long>(limit));

  QTemporaryDir dir;
  settings::UserKey::setRootDirectoryForTests(dir.filePath(QStringLiteral("settings")));
  settings::TINI ini;
  farm::FarmOptions farmOptions;
  farmOptions.domains = kDomains;
  farmOptions.hosts = 8;
  farmOptions.replyDelayMs = 20;
  farm::FarmThread farm(farmOptions);
  ini.setFrom("bench@origin.test");
  ini.setPrimaryDns(farm.dns());
  ini.setConnections(kConnections);
  ini.setHostConnections(0);  // all 999 sessions on the farm's 8 hosts, as the figures say
  ini.setTimeOut(30);

  const QString listPath = dir.filePath(QStringLiteral("addresses.txt"));
  {
    QFile f(listPath);
    if (!f.open(QIODevice::WriteOnly)) return 1;
    for (std::size_t i = 0; i < kAddresses; ++i) f.write((address(i) + "\n").c_str());
  }

  const QString project = dir.filePath(QStringLiteral("big.orp"));
  writeBigProject(project);
  std::vector<double> seconds;
  std::vector<double> perEntry;
  std::vector<double> reportSeconds;
  for (int run = 0; run < runs; ++run) {
    const OpenFigures o = openProject(ini, project);
    seconds.push_back(o.seconds);
    reportSeconds.push_back(o.reportSeconds);
    // Freed memory is reused by the next open, so only the first one shows the peak.
    if (run == 0) perEntry.push_back(o.bytesPerEntry);
    std::printf("open 1,000,000 entries: responsive after %.3f s%s\n", o.seconds,
                run == 0 ? "" : " (memory: see the first open)");
    if (run == 0) std::printf("  peak memory growth %.0f bytes per entry\n", o.bytesPerEntry);
    std::printf("  run report on it: shown after %.3f s (goal 0.500 s)\n", o.reportSeconds);
    std::printf("  its flag counts complete %.3f s later; probe lateness meanwhile max %.1f ms\n",
                o.flagsSeconds, o.flagsLatenessMs);
    std::printf("  a page of the list with fresh notes painted in %.1f ms\n", o.pageMs);
    std::fflush(stdout);
  }
  std::printf("=> open: best %.3f s, median %.3f s; peak memory per entry %.0f bytes\n",
              *std::min_element(seconds.begin(), seconds.end()), median(seconds), median(perEntry));
  std::printf("=> run report on 1,000,000 entries: best %.3f s, median %.3f s (goal 0.500 s)\n",
              *std::min_element(reportSeconds.begin(), reportSeconds.end()), median(reportSeconds));

  const QString csv = dir.filePath(QStringLiteral("big.csv"));
  {
    QFile f(csv);
    if (!f.open(QIODevice::WriteOnly)) return 1;
    f.write("Name,E-Mail,Company,City\n");
    QByteArray chunk;
    for (std::size_t i = 0; i < kProjectEntries; ++i) {
      chunk += "Person " + QByteArray::number(static_cast<qulonglong>(i)) + ",person" +
               QByteArray::number(static_cast<qulonglong>(i)) +
               "@example.com,\"Company, Ltd\",Springfield\n";
      if (chunk.size() > (1 << 20)) {
        f.write(chunk);
        chunk.clear();
      }
    }
    f.write(chunk);
  }
  std::vector<double> importRates;
  std::vector<double> importP99;
  for (int run = 0; run < runs; ++run) {
    const ImportFigures im = importRows(ini, csv);
    importRates.push_back(static_cast<double>(im.rows) / im.seconds);
    importP99.push_back(percentile(im.lateness, 99));
    std::printf(
        "import 1,000,000 CSV rows: %zu rows in %.2f s = %.0f rows/s; probe lateness p50 "
        "%.1f ms, p99 %.1f ms, max %.1f ms\n",
        im.rows, im.seconds, importRates.back(), percentile(im.lateness, 50), importP99.back(),
        im.lateness.empty() ? 0 : *std::max_element(im.lateness.begin(), im.lateness.end()));
    std::fflush(stdout);
  }
  std::printf("=> import: best %.0f rows/s, median %.0f rows/s; p99 lateness median %.1f ms\n",
              *std::max_element(importRates.begin(), importRates.end()), median(importRates),
              median(importP99));

  std::vector<double> ratios;
  std::vector<double> p99s;
  std::vector<double> maxima;
  std::vector<double> plainRatios;
  std::vector<double> plainP99s;
  for (int run = 0; run < runs; ++run) {
    const double cliSeconds = runCli(farm, listPath, dir.filePath(QStringLiteral("home")));
    const double cliRate = static_cast<double>(kAddresses) / cliSeconds;
    // The same run without the report, for what the report itself costs.
    const WindowFigures plain = runWindow(farm, ini, false);
    plainRatios.push_back(100.0 * static_cast<double>(kAddresses) / plain.seconds / cliRate);
    plainP99s.push_back(percentile(plain.lateness, 99));
    std::printf(
        "run %d: window without the report %.1f addresses/s (%.1f%% of the cli); probe lateness "
        "p50 %.1f ms, p99 %.1f ms\n",
        run + 1, static_cast<double>(kAddresses) / plain.seconds, plainRatios.back(),
        percentile(plain.lateness, 50), plainP99s.back());
    const WindowFigures w = runWindow(farm, ini, true);
    const double windowRate = static_cast<double>(kAddresses) / w.seconds;
    ratios.push_back(100.0 * windowRate / cliRate);
    p99s.push_back(percentile(w.lateness, 99));
    maxima.push_back(w.lateness.empty() ? 0
                                        : *std::max_element(w.lateness.begin(), w.lateness.end()));
    std::printf(
        "run %d: orvane-cli %.1f addresses/s, window with the run report open %.1f addresses/s "
        "(%.1f%% of the cli, goal 90%%; valid %d, refused %d); probe lateness p50 %.1f ms, p99 "
        "%.1f ms (goal 50 ms), max %.1f ms over %zu ticks; report redrawn %llu times for %llu "
        "flushes of the list, counting %llu valid; its work %.1f ms in all, longest %.1f ms\n",
        run + 1, cliRate, windowRate, ratios.back(), w.good, w.bad, percentile(w.lateness, 50),
        p99s.back(), maxima.back(), w.lateness.size(), static_cast<unsigned long long>(w.redraws),
        static_cast<unsigned long long>(w.flushes), static_cast<unsigned long long>(w.reportValid),
        w.reportMs, w.reportLongestMs);
    std::fflush(stdout);
  }
  std::printf(
      "=> window with the report vs cli: best %.1f%%, median %.1f%% (goal 90%%); p99 lateness "
      "median %.1f ms (goal 50 ms); max lateness median %.1f ms\n",
      *std::max_element(ratios.begin(), ratios.end()), median(ratios), median(p99s),
      median(maxima));
  std::printf("=> window without the report vs cli: median %.1f%%; p99 lateness median %.1f ms\n",
              median(plainRatios), median(plainP99s));

  return 0;
}
