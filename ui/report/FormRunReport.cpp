#include "ui/report/FormRunReport.h"

#include <QDialogButtonBox>
#include <QElapsedTimer>
#include <QFile>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLocale>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <exception>

#include "import/CsvExport.h"
#include "ui/Prompts.h"
#include "ui/list/RecipientModel.h"
#include "ui/report/VerdictChart.h"

namespace orvane::ui {
namespace {

QString fromUtf8(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

QString number(std::uint64_t n) {
  return QLocale().toString(static_cast<qulonglong>(n));
}

QString percent(std::uint64_t part, std::uint64_t all) {
  const double share =
      all == 0 ? 0.0 : 100.0 * static_cast<double>(part) / static_cast<double>(all);
  return QLocale().toString(share, 'f', 1) + QLatin1Char('%');
}

QString duration(double seconds) {
  if (seconds < 60) return QLocale().toString(seconds, 'f', 1) + QStringLiteral(" s");
  const auto total = static_cast<qlonglong>(seconds + 0.5);
  return QStringLiteral("%1:%2:%3")
      .arg(total / 3600)
      .arg(total / 60 % 60, 2, 10, QLatin1Char('0'))
      .arg(total % 60, 2, 10, QLatin1Char('0'));
}

QTableWidget* table(const char* name, const QStringList& headers, int stretch, QWidget* parent) {
  auto* t = new QTableWidget(0, static_cast<int>(headers.size()), parent);
  t->setObjectName(QString::fromLatin1(name));
  t->setHorizontalHeaderLabels(headers);
  t->verticalHeader()->hide();
  t->setEditTriggers(QAbstractItemView::NoEditTriggers);
  t->setSelectionBehavior(QAbstractItemView::SelectRows);
  t->setSelectionMode(QAbstractItemView::SingleSelection);
  t->setTabKeyNavigation(false);
  t->setWordWrap(false);
  t->setAlternatingRowColors(true);
  t->horizontalHeader()->setSectionsClickable(false);
  t->horizontalHeader()->setHighlightSections(false);
  // Fixed widths for the figures: measuring the contents again at every
  // redraw would cost more than the rest of the report during a run.
  const QFontMetrics metrics = t->fontMetrics();
  const int count = metrics.horizontalAdvance(QLocale().toString(9999999)) + 16;
  const int share =
      metrics.horizontalAdvance(QLocale().toString(100.0, 'f', 1) + QLatin1Char('%')) + 16;
  for (int c = 0; c < headers.size(); ++c) {
    if (c == stretch) {
      t->horizontalHeader()->setSectionResizeMode(c, QHeaderView::Stretch);
      continue;
    }
    const int figure = headers[c] == QStringLiteral("Share") ? share : count;
    t->horizontalHeader()->setSectionResizeMode(c, QHeaderView::Fixed);
    t->horizontalHeader()->resizeSection(
        c,
        std::max(figure, t->horizontalHeader()->fontMetrics().horizontalAdvance(headers[c]) + 16));
  }
  t->verticalHeader()->setDefaultSectionSize(t->fontMetrics().height() + 6);
  return t;
}

void setRow(QTableWidget* t, int row, const QStringList& cells, int leftColumn) {
  for (int c = 0; c < cells.size(); ++c) {
    QTableWidgetItem* item = t->item(row, c);
    if (!item) {
      item = new QTableWidgetItem;
      item->setTextAlignment(Qt::AlignVCenter | (c == leftColumn ? Qt::AlignLeft : Qt::AlignRight));
      t->setItem(row, c, item);
    }
    // Only a changed text costs the view a repaint. The text column's
    // tool tip shows a text too long for it.
    if (item->text() == cells[c]) continue;
    item->setText(cells[c]);
    if (c == leftColumn) item->setToolTip(cells[c]);
  }
}

QLabel* heading(const QString& text, QWidget* buddy, QWidget* parent) {
  auto* label = new QLabel(text, parent);
  QFont font = label->font();
  font.setBold(true);
  label->setFont(font);
  label->setBuddy(buddy);
  return label;
}

}  // namespace

TFormRunReport::TFormRunReport(RecipientModel& model, std::function<RunTiming()> timing,
                               QWidget* parent)
    : QDialog(parent), model_(model), timing_(std::move(timing)) {
  setObjectName(QStringLiteral("FormRunReport"));
  setWindowTitle(QStringLiteral("Run Report"));
  setAttribute(Qt::WA_DeleteOnClose);
  setModal(false);
  setSizeGripEnabled(true);
  setWindowFlags(windowFlags() | Qt::WindowMaximizeButtonHint | Qt::WindowMinimizeButtonHint);

  panel_ = new QWidget(this);
  panel_->setObjectName(QStringLiteral("ReportPanel"));
  panel_->setAutoFillBackground(true);
  lbSummary_ = new QLabel(panel_);
  lbSummary_->setObjectName(QStringLiteral("lbSummary"));
  lbSummary_->setWordWrap(true);
  QFont big = lbSummary_->font();
  big.setBold(true);
  big.setPointSizeF(big.pointSizeF() * 1.15);
  lbSummary_->setFont(big);
  lbTiming_ = new QLabel(panel_);
  lbTiming_->setObjectName(QStringLiteral("lbTiming"));
  lbTiming_->setWordWrap(true);
  chart_ = new VerdictChart(panel_);
  chart_->setFocusPolicy(Qt::NoFocus);
  lbFlags_ = new QLabel(panel_);
  lbFlags_->setObjectName(QStringLiteral("lbFlags"));
  lbFlags_->setWordWrap(true);

  tvInvalid_ = table(
      "tvInvalid", {QStringLiteral("Cause"), QStringLiteral("Addresses"), QStringLiteral("Share")},
      0, panel_);
  tvUnknown_ = table(
      "tvUnknown", {QStringLiteral("Cause"), QStringLiteral("Addresses"), QStringLiteral("Share")},
      0, panel_);
  tvDomains_ =
      table("tvDomains",
            {QStringLiteral("Domain"), QStringLiteral("Addresses"), QStringLiteral("Valid"),
             QStringLiteral("Invalid"), QStringLiteral("Catch-all"), QStringLiteral("Unknown"),
             QStringLiteral("No result")},
            0, panel_);

  auto* causes = new QGridLayout;
  causes->addWidget(heading(QStringLiteral("Top causes of &invalid"), tvInvalid_, panel_), 0, 0);
  causes->addWidget(heading(QStringLiteral("Top causes of &unknown"), tvUnknown_, panel_), 0, 1);
  causes->addWidget(tvInvalid_, 1, 0);
  causes->addWidget(tvUnknown_, 1, 1);
  auto* panelLayout = new QVBoxLayout(panel_);
  panelLayout->addWidget(lbSummary_);
  panelLayout->addWidget(lbTiming_);
  panelLayout->addSpacing(4);
  panelLayout->addWidget(chart_);
  panelLayout->addWidget(lbFlags_);
  panelLayout->addSpacing(6);
  panelLayout->addLayout(causes, 1);
  panelLayout->addWidget(
      heading(QStringLiteral("&Domains with the most addresses"), tvDomains_, panel_));
  panelLayout->addWidget(tvDomains_, 1);

  auto* buttons = new QDialogButtonBox(this);
  auto* csv = buttons->addButton(QStringLiteral("Export &CSV..."), QDialogButtonBox::ActionRole);
  csv->setObjectName(QStringLiteral("btExportCsv"));
  auto* picture =
      buttons->addButton(QStringLiteral("Export &Picture..."), QDialogButtonBox::ActionRole);
  picture->setObjectName(QStringLiteral("btExportPicture"));
  auto* close = buttons->addButton(QStringLiteral("&Close"), QDialogButtonBox::RejectRole);
  close->setObjectName(QStringLiteral("btClose"));
  close->setDefault(true);
  connect(csv, &QPushButton::clicked, this, &TFormRunReport::exportCsv);
  connect(picture, &QPushButton::clicked, this, &TFormRunReport::exportPicture);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::close);

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, layout->contentsMargins().bottom());
  layout->addWidget(panel_, 1);
  auto* buttonRow = new QHBoxLayout;
  buttonRow->setContentsMargins(panelLayout->contentsMargins().left(), 0,
                                panelLayout->contentsMargins().right(), 0);
  buttonRow->addWidget(buttons);
  layout->addLayout(buttonRow);
  setTabOrder(tvInvalid_, tvUnknown_);
  setTabOrder(tvUnknown_, tvDomains_);
  setTabOrder(tvDomains_, csv);
  setTabOrder(csv, picture);
  setTabOrder(picture, close);
  close->setFocus();

  // Redrawn after the model's signals of one flush, once, and not more often
  // than kRedrawIntervalMs.
  redraw_.setSingleShot(true);
  connect(&redraw_, &QTimer::timeout, this, [this] { timed([this] { redraw(); }); });
  connect(&model_, &QAbstractItemModel::dataChanged, this, [this] {
    timed([this] { countNoted(); });
    scheduleRedraw();
  });
  connect(&model_, &QAbstractItemModel::rowsInserted, this,
          [this](const QModelIndex&, int first, int last) {
            timed([&] {
              countNoted();
              tally_.insert(model_.list(), static_cast<std::size_t>(first),
                            static_cast<std::size_t>(last - first + 1));
            });
            scheduleRedraw();
          });
  connect(&model_, &QAbstractItemModel::rowsRemoved, this,
          [this](const QModelIndex&, int first, int last) {
            timed([&] {
              tally_.erase(static_cast<std::size_t>(first),
                           static_cast<std::size_t>(last - first + 1));
            });
            scheduleRedraw();
          });
  connect(&model_, &QAbstractItemModel::modelReset, this, [this] {
    timed([this] { rebuild(); });
    scheduleRedraw();
  });
  // A run's start and end change the timing even when no result changes.
  connect(&model_, &RecipientModel::statusTextsChanged, this, &TFormRunReport::scheduleRedraw);
  connect(&model_, &RecipientModel::notesReset, this, [this] {
    timed([this] { rebuild(); });
    scheduleRedraw();
  });
  notes_.setSingleShot(true);
  notes_.setInterval(0);
  connect(&notes_, &QTimer::timeout, this, &TFormRunReport::countNotes);
  tally_.setNotesOf([this](std::size_t row) {
    const EntryNotes& notes = model_.notes(row);
    return RunReport::Notes{notes.flags, !notes.suggestion.empty()};
  });
  model_.list().addObserver(this);
  rebuild();
  redraw();
}

TFormRunReport::~TFormRunReport() {
  model_.list().removeObserver(this);
}

void TFormRunReport::entriesChanged(std::size_t first, std::size_t last) {
  // A result lands as two changes of one row (taken, then ended): noted once.
  if (!noted_.empty() && noted_.back() == std::pair(first, last)) return;
  noted_.emplace_back(first, last);
}

void TFormRunReport::entriesAboutToBeInserted(std::size_t, std::size_t) {
  countNoted();
}

void TFormRunReport::entriesAboutToBeRemoved(std::size_t, std::size_t) {
  countNoted();
}

void TFormRunReport::listAboutToBeReset() {
  noted_.clear();  // counted afresh after the reset
}

void TFormRunReport::countNoted() {
  for (const auto& [first, last] : noted_) tally_.refresh(model_.list(), first, last);
  noted_.clear();
}

template <typename F>
void TFormRunReport::timed(F&& work) {
  QElapsedTimer clock;
  clock.start();
  work();
  const qint64 ns = clock.nsecsElapsed();
  workNs_ += ns;
  longestNs_ = std::max(longestNs_, ns);
}

void TFormRunReport::rebuild() {
  tally_.rebuild(model_.list(), static_cast<std::size_t>(model_.rowCount()));
  if (!tally_.report().notesCounted()) notes_.start();
}

void TFormRunReport::countNotes() {
  bool done = false;
  timed([&] { done = tally_.countNotes(model_.list(), kNotesSlice); });
  if (done) {
    scheduleRedraw();
  } else {
    notes_.start();
  }
}

void TFormRunReport::scheduleRedraw() {
  if (redraw_.isActive()) return;
  const qint64 since = sinceRedraw_.isValid() ? sinceRedraw_.elapsed() : kRedrawIntervalMs;
  redraw_.start(static_cast<int>(std::max<qint64>(kRedrawIntervalMs - since, 0)));
}

void TFormRunReport::redraw() {
  ++redraws_;
  sinceRedraw_.restart();
  const RunReport& r = tally_.report();
  const std::uint64_t results = r.results();
  const std::uint64_t all = results + r.count(RunReport::kPending);
  lbSummary_->setText(
      QStringLiteral("%1 of %2 addresses have a result").arg(number(results), number(all)));
  const RunTiming t = timing_ ? timing_() : RunTiming{};
  if (!t.ran) {
    lbTiming_->setText(QStringLiteral("No validation run since the project was opened."));
  } else {
    const double rate = t.seconds > 0.001 ? static_cast<double>(t.addresses) / t.seconds : 0.0;
    lbTiming_->setText(QStringLiteral("%1 run: %2 addresses in %3, %4 addresses per second")
                           .arg(t.running ? QStringLiteral("This") : QStringLiteral("Last"),
                                number(t.addresses), duration(t.seconds),
                                QLocale().toString(rate, 'f', 1)));
  }
  chart_->setCounts({r.count(RunReport::kValid), r.count(RunReport::kInvalid),
                     r.count(RunReport::kCatchAll), r.count(RunReport::kUnknown)});
  lbFlags_->setVisible(model_.flagsColumn() >= 0);
  if (!r.notesCounted()) {
    lbFlags_->setText(QStringLiteral("Flags: counting..."));
  } else {
    QStringList flags;
    for (const AddressFlag flag : kAddressFlags) {
      flags << QStringLiteral("%1 %2").arg(number(r.flagCount(flag)), fromUtf8(flagName(flag)));
    }
    lbFlags_->setText(QStringLiteral("Flags: %1; %2 typo %3")
                          .arg(flags.join(QStringLiteral(", ")), number(r.suggestions()),
                               r.suggestions() == 1 ? QStringLiteral("suggestion")
                                                    : QStringLiteral("suggestions")));
  }
  fillCauses(tvInvalid_, Verdict::Invalid);
  fillCauses(tvUnknown_, Verdict::Unknown);
  fillDomains();
}

void TFormRunReport::fillCauses(QTableWidget* t, Verdict verdict) {
  const RunReport& r = tally_.report();
  const auto causes = r.topCauses(verdict, kTop);
  t->setRowCount(static_cast<int>(causes.size()));
  for (std::size_t i = 0; i < causes.size(); ++i) {
    setRow(t, static_cast<int>(i),
           {fromUtf8(causes[i].message), number(causes[i].count),
            percent(causes[i].count, r.count(verdict))},
           0);
  }
}

void TFormRunReport::fillDomains() {
  const auto domains = tally_.report().topDomains(kTop);
  tvDomains_->setRowCount(static_cast<int>(domains.size()));
  for (std::size_t i = 0; i < domains.size(); ++i) {
    const auto& d = domains[i];
    setRow(tvDomains_, static_cast<int>(i),
           {fromUtf8(d.name), number(d.total), number(d.counts[RunReport::kValid]),
            number(d.counts[RunReport::kInvalid]), number(d.counts[RunReport::kCatchAll]),
            number(d.counts[RunReport::kUnknown]), number(d.counts[RunReport::kPending])},
           0);
  }
}

QImage TFormRunReport::picture() const {
  constexpr qreal kScale = 2;
  QImage image(panel_->size() * kScale, QImage::Format_ARGB32_Premultiplied);
  image.setDevicePixelRatio(kScale);
  image.fill(panel_->palette().color(QPalette::Window));
  panel_->render(&image);
  return image;
}

void TFormRunReport::exportCsv() {
  const QString path = Prompts::saveFileName(this, QStringLiteral("Export Run Report"),
                                             QStringLiteral("CSV (*.csv)|*.csv"),
                                             QStringLiteral("csv"), folder ? folder() : QString());
  if (path.isEmpty()) return;
  if (fileChosen) fileChosen(path);
  try {
    import::exportRunReportCsvFile(tally_.report(), QFile::encodeName(path).toStdString());
  } catch (const std::exception& e) {
    Prompts::error(this, QString::fromUtf8(e.what()));
  }
}

void TFormRunReport::exportPicture() {
  const QString path = Prompts::saveFileName(this, QStringLiteral("Export Run Report Picture"),
                                             QStringLiteral("PNG picture (*.png)|*.png"),
                                             QStringLiteral("png"), folder ? folder() : QString());
  if (path.isEmpty()) return;
  if (fileChosen) fileChosen(path);
  if (!picture().save(path, "PNG")) {
    Prompts::error(this, QStringLiteral("Cannot write file %1").arg(path));
  }
}

}  // namespace orvane::ui
