#include <QLabel>
#include <QLocale>
#include <QTableWidget>
#include <QTemporaryDir>

#include "core/RunReport.h"
#include "import/CsvExport.h"
#include "tests/support/TestHelpers.h"
#include "tests/ui/WindowFixture.h"
#include "ui/report/FormRunReport.h"
#include "ui/report/VerdictChart.h"

namespace orvane::ui {
using testing::child;
using testing::waitFor;
using testing::WindowTest;
namespace {

// A list whose results are known: each row an address and its result, as
// the engine reports it.
constexpr std::int32_t kNeverChecked = INT32_MIN;
constexpr std::int32_t kInHand = INT32_MIN + 1;
struct Row {
  const char* email;
  std::int32_t code;
  const char* message;
};

const Row kRows[] = {
    {"a@x.test", 0, ""},
    {"B@X.TEST", 550, "Mailbox unavailable"},
    {"c@x.test", 550, "Mailbox unavailable"},
    {"d@y.test", -1, "DNS server 10.0.0.1 did not answer"},
    {"e@y.test", 0, "Valid E-mail Address! (catch-all domain: it accepts any address)"},
    {"f@z.test", kNeverChecked, ""},
    {"g@x.test", 553, "Sorry, <g@x.test> is not welcome here"},
    {"H@x.test", 553, "Sorry, <h@X.test> is not welcome here"},
    {"i@y.test", kInHand, ""},
    {"noatsign", -1, "Not an e-mail address: no \"@\""},
};

void fill(RecipientList& list, std::span<const Row> rows) {
  for (const Row& r : rows) {
    const std::size_t i = list.addEntry(r.email, {});
    if (r.code == kNeverChecked) continue;
    list.entryTakenForChecking(i);
    if (r.code != kInHand) list.entryValidationEnded(i, r.code, r.message, {});
  }
}

std::vector<std::pair<std::string, std::uint64_t>> causes(const RunReport& r, Verdict v) {
  std::vector<std::pair<std::string, std::uint64_t>> out;
  for (const auto& c : r.topCauses(v, 10)) out.emplace_back(c.message, c.count);
  return out;
}

TEST(RunReport, CountsVerdictsCausesWithoutTheAddressAndDomainsOfAKnownList) {
  RecipientList list;
  fill(list, kRows);
  ListReport tally;
  tally.rebuild(list, list.count());
  const RunReport& r = tally.report();

  const struct {
    Verdict verdict;
    std::uint64_t count;
    double percent;
  } verdicts[] = {{Verdict::Valid, 1, 12.5},
                  {Verdict::Invalid, 3, 37.5},
                  {Verdict::CatchAll, 1, 12.5},
                  {Verdict::Unknown, 3, 37.5}};
  for (const auto& v : verdicts) {
    SCOPED_TRACE(std::string(verdictName(v.verdict)));
    EXPECT_EQ(r.count(v.verdict), v.count);
    EXPECT_DOUBLE_EQ(r.percent(v.verdict), v.percent);
  }
  EXPECT_EQ(r.count(RunReport::kPending), 2u);  // never validated, and being checked
  using Causes = std::vector<std::pair<std::string, std::uint64_t>>;
  EXPECT_EQ(causes(r, Verdict::Invalid),
            (Causes{{"Mailbox unavailable", 2}, {"Not an e-mail address: no \"@\"", 1}}));
  EXPECT_EQ(causes(r, Verdict::Unknown), (Causes{{"Sorry, <address> is not welcome here", 2},
                                                 {"DNS server 10.0.0.1 did not answer", 1}}));

  const auto domains = r.topDomains(10);
  ASSERT_EQ(domains.size(), 4u);
  EXPECT_EQ(domains[0].name, "x.test");  // letter case ignored
  EXPECT_EQ(domains[0].total, 5u);
  EXPECT_EQ(domains[0].counts, (RunReport::Counts{1, 2, 0, 2, 0}));
  EXPECT_EQ(domains[1].name, "y.test");
  EXPECT_EQ(domains[1].counts, (RunReport::Counts{0, 0, 1, 1, 1}));
  EXPECT_EQ(domains[2].name, std::string(kNoDomain));  // ties in name order

  // Kept in step: a result lands, a row goes, rows come.
  list.entryValidationEnded(5, 0, "", {});
  tally.refresh(list, 5, 5);
  EXPECT_EQ(r.count(Verdict::Valid), 2u);
  EXPECT_EQ(r.count(RunReport::kPending), 1u);
  list.deleteEntry(1);
  tally.erase(1, 1);
  EXPECT_EQ(causes(r, Verdict::Invalid)[0],
            (std::pair<std::string, std::uint64_t>{"Mailbox unavailable", 1}));
  fill(list, std::span(kRows, 2));
  tally.insert(list, list.count() - 2, 2);
  RunReport timed;
  {
    ListReport fresh;
    fresh.rebuild(list, list.count());
    EXPECT_EQ(r.counts(), fresh.report().counts());
    EXPECT_EQ(causes(r, Verdict::Invalid), causes(fresh.report(), Verdict::Invalid));
    timed = fresh.report();
  }
  // A copy keeps counting on its own, after its original is gone.
  timed.add(Verdict::Invalid, "Mailbox unavailable", "zed@X.test");

  // The command line's text and the CSV carry the same numbers.
  timed.setTiming(4, 10);
  const std::string text = formatRunReport(timed, 2);
  for (const char* line :
       {"  invalid   4   36.4%\n", "  time      4.0 s for 10 addresses, 2.5 addresses/s\n",
        "Top causes of unknown:\n  2   66.7%  Sorry, <address> is not welcome here\n"}) {
    EXPECT_NE(text.find(line), std::string::npos) << line << "\nin:\n" << text;
  }
  const std::string csv = import::runReportCsv(timed, 1);
  for (const char* line : {"invalid,4,36.4\r\n", "4.0,10,2.5\r\n", "x.test,7,2,3,0,2,0\r\n"}) {
    EXPECT_NE(csv.find(line), std::string::npos) << line << "\nin:\n" << csv;
  }
}

// Notes counted a slice at a time come to the list's true figures, whatever
// rows change, go or come before and after the cursor meanwhile.
TEST(RunReport, NotesCountedInSlicesFollowRowsThatChangeGoOrComeMeanwhile) {
  RecipientList list;
  for (const char* e : {"r1@x.test", "a@x.test", "r2@typo.test", "b@x.test", "r3@x.test",
                        "c@typo.test", "d@x.test", "r4@x.test", "e@x.test", "f@x.test"}) {
    list.addEntry(e, {});
  }
  ListReport tally;
  tally.setNotesOf([&list](std::size_t row) {  // role: "r..."; a suggestion: "...typo..."
    const std::string_view email = list.entry(row).email();
    return ReportNotes{email[0] == 'r' ? AddressFlags(AddressFlag::Role) : AddressFlags(),
                       email.find("typo") != std::string_view::npos};
  });
  tally.rebuild(list, list.count());
  EXPECT_FALSE(tally.report().notesCounted());
  EXPECT_FALSE(tally.countNotes(list, 4));
  EXPECT_EQ(tally.report().flagCount(AddressFlag::Role), 2u);
  list.deleteEntry(0);  // counted
  tally.erase(0, 1);
  list.editEntry(1, "r5@typo.test", {});  // counted
  tally.refresh(list, 1, 1);
  list.editEntry(7, "r6@x.test", {});  // not yet
  tally.refresh(list, 7, 7);
  list.addEntry("r7@x.test", {}, 0);
  tally.insert(list, 0, 1);
  while (!tally.countNotes(list, 4)) {
  }
  EXPECT_EQ(tally.report().flagCount(AddressFlag::Role), 5u);  // r7, r5, r3, r4, r6
  EXPECT_EQ(tally.report().suggestions(), 2u);
}

class Report : public WindowTest {};

TEST_F(Report, CountsFlagsAndSuggestionsBesideTheVerdictsOnceTheWindowIsUp) {
  constexpr std::size_t kDisposable = 2 * TFormRunReport::kNotesSlice;  // a few slices
  std::vector<Entry> rows;
  for (std::size_t i = 0; i < kDisposable; ++i) {
    const std::string email = "p" + std::to_string(i) + "@box.mailinator.com";
    rows.emplace_back(std::vector<std::string_view>{email, ""});
  }
  for (const char* e : {"info@good.test", "john alice@good.test", "x@gmial.con"}) {
    rows.emplace_back(std::vector<std::string_view>{e, ""});
  }
  window->list().appendEntries(std::move(rows));
  const std::size_t typo = window->list().count() - 1;
  window->list().entryTakenForChecking(typo);
  window->list().entryValidationEnded(typo, -1, "Failed: Invalid Domain Name", {});
  window->model().flush();
  trigger("acRunReport");
  TFormRunReport* report = window->runReportWindow();
  auto* flags = child<QLabel>(report, "lbFlags");
  EXPECT_EQ(flags->text(), QStringLiteral("Flags: counting..."));
  const QString disposable = QLocale().toString(static_cast<qulonglong>(kDisposable));
  const auto counted = [&](int role) {
    return QStringLiteral("Flags: %1 disposable, %2 role, 0 free, 1 extracted; 1 typo suggestion")
        .arg(disposable)
        .arg(role);
  };
  ASSERT_TRUE(waitFor([&] { return flags->text() == counted(1); })) << flags->text().toStdString();
  // Followed as rows change.
  window->list().editEntry(kDisposable, "carl@good.test", {});
  ASSERT_TRUE(waitFor([&] { return flags->text() == counted(0); })) << flags->text().toStdString();
  // Shares of all addresses, the one without a result included.
  char share[32];
  std::snprintf(share, sizeof share, "%.1f", 100.0 * kDisposable / (kDisposable + 3));
  EXPECT_NE(import::runReportCsv(report->report(), 1)
                .find("Flag,Addresses,Percent\r\ndisposable," + std::to_string(kDisposable) + "," +
                      share + "\r\nrole,0,0.0\r\n"),
            std::string::npos);
}

TEST_F(Report, FollowsARunOncePerFlushAndExportsItsNumbers) {
  scriptGoodTest();
  addEntries({"ok@good.test", "no@good.test", "nobody@good.test", "ok@nowhere.test"});
  window->model().flush();
  trigger("acRunReport");
  TFormRunReport* report = window->runReportWindow();
  ASSERT_NE(report, nullptr);
  EXPECT_EQ(child<QLabel>(report, "lbSummary")->text(),
            QStringLiteral("0 of 4 addresses have a result"));

  const quint64 flushesBefore = window->model().flushes();
  const quint64 redrawsBefore = report->redraws();
  trigger("acStart");
  ASSERT_TRUE(waitFor([&] { return !window->projectRun().running(); }));
  window->model().flush();
  // Redraws come at most every kRedrawIntervalMs.
  ASSERT_TRUE(waitFor([&] {
    return child<QLabel>(report, "lbSummary")->text() ==
           QStringLiteral("4 of 4 addresses have a result");
  }));
  EXPECT_LE(report->redraws() - redrawsBefore, window->model().flushes() - flushesBefore + 1);
  auto* chart = report->findChild<VerdictChart*>();
  EXPECT_EQ(chart->counts(), (std::array<std::uint64_t, 4>{1, 3, 0, 0}));
  auto* domains = child<QTableWidget>(report, "tvDomains");
  EXPECT_EQ(domains->item(0, 0)->text(), QStringLiteral("good.test"));
  EXPECT_EQ(domains->item(0, 1)->text(), QStringLiteral("3"));
  EXPECT_TRUE(child<QLabel>(report, "lbTiming")
                  ->text()
                  .startsWith(QStringLiteral("Last run: 4 addresses in ")));

  QTemporaryDir out;
  const QString csv = out.filePath(QStringLiteral("report.csv"));
  const QString png = out.filePath(QStringLiteral("report.png"));
  prompts.fileNames = {csv, png};
  report->exportCsv();
  report->exportPicture();
  EXPECT_EQ(orvane::testing::readFile(csv.toStdString())
                .find("Verdict,Addresses,Percent\r\nvalid,1,25.0\r\ninvalid,3,75.0\r\n"),
            0u);
  const QImage picture(png);
  EXPECT_EQ(picture.width(),
            2 * report->findChild<QWidget*>(QStringLiteral("ReportPanel"))->width());
  EXPECT_EQ(prompts.unexpected, 0);
}

}  // namespace
}  // namespace orvane::ui
