#include "ui/check/CheckConnectionDialog.h"

#include <QCoreApplication>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileInfo>
#include <QFormLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>
#include <exception>

#include "settings/EngineOptions.h"
#include "settings/Ini.h"
#include "ui/Prompts.h"

namespace orvane::ui {

namespace {

enum Column { kStatus, kCheck, kFound, kAdvice, kColumns };

QString qs(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// A ground for each status that its text reads well on, in light and dark
// palettes alike; the status is also written out.
void paintStatus(QTableWidgetItem* item, engine::CheckStatus status) {
  static const QColor kGround[] = {QColor(0x2E, 0x7D, 0x32), QColor(0xF9, 0xA8, 0x25),
                                   QColor(0xC6, 0x28, 0x28)};
  const auto i = static_cast<std::size_t>(status);
  item->setText(qs(engine::checkStatusText(status)));
  item->setTextAlignment(Qt::AlignCenter);
  item->setBackground(kGround[i]);
  item->setForeground(status == engine::CheckStatus::Amber ? QColor(Qt::black) : QColor(Qt::white));
  QFont bold = item->font();
  bold.setBold(true);
  item->setFont(bold);
}

}  // namespace

CheckConnectionDialog::CheckConnectionDialog(net::EventLoop& loop, const settings::TINI& ini,
                                             QWidget* parent)
    : QDialog(parent), ini_(ini), check_(loop) {
  setObjectName(QStringLiteral("CheckConnectionDialog"));
  setWindowTitle(QStringLiteral("Check Connection"));
  setModal(false);
  setSizeGripEnabled(true);

  auto* intro = new QLabel(
      QStringLiteral("Can this machine validate addresses at all? These checks ask the DNS "
                     "servers, a mail host and the block lists with the saved options."),
      this);
  intro->setWordWrap(true);

  edDomain = new QLineEdit(this);
  edDomain->setObjectName(QStringLiteral("edDomain"));
  edDomain->setPlaceholderText(QStringLiteral("the sender's domain"));
  edBlockLists = new QLineEdit(qs(engine::kDefaultBlockLists), this);
  edBlockLists->setObjectName(QStringLiteral("edBlockLists"));
  auto* form = new QFormLayout;
  form->addRow(QStringLiteral("&Domain to try:"), edDomain);
  form->addRow(QStringLiteral("&Block lists:"), edBlockLists);

  grRows = new QTableWidget(0, kColumns, this);
  grRows->setObjectName(QStringLiteral("grRows"));
  grRows->setHorizontalHeaderLabels({QStringLiteral("Status"), QStringLiteral("Check"),
                                     QStringLiteral("Found"), QStringLiteral("What to do")});
  grRows->verticalHeader()->hide();
  grRows->setEditTriggers(QAbstractItemView::NoEditTriggers);
  grRows->setSelectionBehavior(QAbstractItemView::SelectRows);
  grRows->setSelectionMode(QAbstractItemView::SingleSelection);
  grRows->setWordWrap(true);
  grRows->setTabKeyNavigation(false);  // Tab goes on to the buttons
  QHeaderView* header = grRows->horizontalHeader();
  header->setSectionResizeMode(kStatus, QHeaderView::ResizeToContents);
  header->setSectionResizeMode(kCheck, QHeaderView::ResizeToContents);
  header->setSectionResizeMode(kFound, QHeaderView::Stretch);
  header->setSectionResizeMode(kAdvice, QHeaderView::Stretch);
  grRows->verticalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);

  lbSummary = new QLabel(this);
  lbSummary->setObjectName(QStringLiteral("lbSummary"));
  lbSummary->setWordWrap(true);
  lbSummary->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);

  auto* buttons = new QDialogButtonBox(this);
  btAgain = buttons->addButton(QStringLiteral("Check &again"), QDialogButtonBox::ActionRole);
  btAgain->setObjectName(QStringLiteral("btAgain"));
  btAgain->setDefault(true);
  btHelp = buttons->addButton(QStringLiteral("&Help"), QDialogButtonBox::HelpRole);
  btHelp->setObjectName(QStringLiteral("btHelp"));
  btClose = buttons->addButton(QStringLiteral("&Close"), QDialogButtonBox::RejectRole);
  btClose->setObjectName(QStringLiteral("btClose"));
  connect(btAgain, &QPushButton::clicked, this, &CheckConnectionDialog::checkAgain);
  connect(btHelp, &QPushButton::clicked, this, &CheckConnectionDialog::help);
  connect(btClose, &QPushButton::clicked, this, &CheckConnectionDialog::reject);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(intro);
  layout->addLayout(form);
  layout->addWidget(grRows, 1);
  layout->addWidget(lbSummary);
  layout->addWidget(buttons);
  setTabOrder(edDomain, edBlockLists);
  setTabOrder(edBlockLists, grRows);
  setTabOrder(grRows, btAgain);
  setTabOrder(btAgain, btHelp);
  setTabOrder(btHelp, btClose);
  resize(900, 440);

  check_.onRow = [this](const engine::CheckRow& row) { showRow(row); };
  check_.onFinished = [this](engine::CheckStatus worst) { finished(worst); };
}

CheckConnectionDialog::~CheckConnectionDialog() {
  check_.onRow = nullptr;
  check_.onFinished = nullptr;
  check_.stop();
}

void CheckConnectionDialog::checkAgain() {
  check_.stop();
  const QByteArray domain = edDomain->text().trimmed().toUtf8();
  const QByteArray lists = edBlockLists->text().toUtf8();
  std::string bad;
  const auto zones = engine::parseBlockLists(lists.toStdString(), bad);
  if (!domain.isEmpty() && !engine::asciiDomain(domain.toStdString())) {
    clearRows(0);
    setSummary(QStringLiteral("%1 is not a domain name.").arg(QString::fromUtf8(domain)), true);
    edDomain->setFocus();
    return;
  }
  if (!zones) {
    clearRows(0);
    setSummary(QStringLiteral("%1 is not a DNS zone (such as zen.spamhaus.org).").arg(qs(bad)),
               true);
    edBlockLists->setFocus();
    return;
  }
  try {
    engine::EngineSettings settings = settings::readEngineSettings(ini_);
    if (adjustSettings) adjustSettings(settings);
    clearRows(zones->empty() ? 3 : 4);
    setSummary(QStringLiteral("Checking..."), false);
    check_.start(settings, domain.toStdString(), *zones);
  } catch (const std::exception& e) {
    clearRows(0);
    setSummary(QString::fromUtf8(e.what()), true);
  }
}

void CheckConnectionDialog::clearRows(int rows) {
  grRows->setRowCount(0);
  grRows->setRowCount(rows);
  const std::string_view checks[] = {engine::kCheckDns, engine::kCheckSmtp, engine::kCheckHelo,
                                     engine::kCheckBlockLists};
  for (int r = 0; r < rows; ++r) {
    grRows->setItem(r, kStatus, new QTableWidgetItem(QStringLiteral("Checking...")));
    grRows->setItem(r, kCheck, new QTableWidgetItem(qs(checks[r])));
    grRows->setItem(r, kFound, new QTableWidgetItem());
    grRows->setItem(r, kAdvice, new QTableWidgetItem());
  }
}

void CheckConnectionDialog::showRow(const engine::CheckRow& row) {
  const int r = static_cast<int>(check_.rows().size()) - 1;
  if (r < 0 || r >= grRows->rowCount()) return;
  paintStatus(grRows->item(r, kStatus), row.status);
  grRows->item(r, kCheck)->setText(qs(row.check));
  for (const auto& [column, text] : {std::pair{kFound, &row.found}, {kAdvice, &row.advice}}) {
    QTableWidgetItem* item = grRows->item(r, column);
    item->setText(qs(*text));
    item->setToolTip(qs(*text));
  }
}

void CheckConnectionDialog::finished(engine::CheckStatus worst) {
  switch (worst) {
    case engine::CheckStatus::Green:
      setSummary(QStringLiteral("All checks passed: this machine can validate addresses."), false);
      break;
    case engine::CheckStatus::Amber:
      setSummary(QStringLiteral("Warnings: addresses can be validated, but some mail hosts may "
                                "refuse this machine. See what to do."),
                 false);
      break;
    case engine::CheckStatus::Red:
      setSummary(QStringLiteral("Problems: addresses validated from this machine now would end "
                                "unknown. See what to do."),
                 true);
      break;
  }
}

void CheckConnectionDialog::setSummary(const QString& text, bool problem) {
  QFont font = lbSummary->font();
  font.setBold(problem);
  lbSummary->setFont(font);
  lbSummary->setText(text);
}

void CheckConnectionDialog::help() {
  const QString page =
      QDir(QCoreApplication::applicationDirPath())
          .absoluteFilePath(QStringLiteral("../share/doc/orvane/manual/unknown.html"));
  const QFileInfo info(page);
  if (!info.exists()) {
    Prompts::error(
        this, QStringLiteral("The user manual was not found at %1").arg(QDir::cleanPath(page)));
    return;
  }
  if (!Prompts::openUrl(QUrl::fromLocalFile(info.canonicalFilePath()))) {
    Prompts::error(this,
                   QStringLiteral("No program to show %1 was found").arg(info.canonicalFilePath()));
  }
}

void CheckConnectionDialog::reject() {
  check_.stop();
  QDialog::reject();
}

CheckConnectionDialog* showCheckConnection(net::EventLoop& loop, const settings::TINI& ini,
                                           QWidget* parent) {
  auto* window = parent->findChild<CheckConnectionDialog*>(QString(), Qt::FindDirectChildrenOnly);
  if (window == nullptr) window = new CheckConnectionDialog(loop, ini, parent);
  window->show();
  window->raise();
  window->activateWindow();
  window->checkAgain();
  return window;
}

}  // namespace orvane::ui
