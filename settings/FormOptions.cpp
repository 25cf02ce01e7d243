#include "settings/FormOptions.h"

#include <QApplication>
#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QSpinBox>
#include <QTabWidget>
#include <QVBoxLayout>

#include "settings/Ini.h"

namespace orvane::settings {
namespace {

constexpr int kMinimum = 1;
constexpr int kMaximum = 999;
constexpr int kMaximumGreylistDelay = 3600;

// A spin box whose edit field can be named and reached on its own, so that
// the edit and its up-down keep their separate names.
class UpDown final : public QSpinBox {
 public:
  using QAbstractSpinBox::lineEdit;
  using QSpinBox::QSpinBox;
};

UpDown* makeUpDown(QWidget* parent, const QString& upDownName, const QString& editName) {
  auto* box = new UpDown(parent);
  box->setObjectName(upDownName);
  box->lineEdit()->setObjectName(editName);
  box->setRange(kMinimum, kMaximum);
  box->setWrapping(false);
  return box;
}

QLineEdit* makeEdit(QWidget* parent, const QString& name) {
  auto* edit = new QLineEdit(parent);
  edit->setObjectName(name);
  return edit;
}

void addRow(QFormLayout* form, const QString& caption, QWidget* field) {
  auto* label = new QLabel(caption, field->parentWidget());
  label->setBuddy(field);
  form->addRow(label, field);
}

QString toQString(const std::string& text) {
  return QString::fromStdString(text);
}

}  // namespace

TFormOptions::TFormOptions(TINI& ini, QWidget* parent) : QDialog(parent), ini_(ini) {
  setObjectName(QStringLiteral("FormOptions"));
  setWindowTitle(QStringLiteral("Options"));
  setModal(true);

  pages_ = new QTabWidget(this);
  pages_->setObjectName(QStringLiteral("pcOptions"));

  auto* connection = new QWidget(pages_);
  connection->setObjectName(QStringLiteral("tsConnection"));
  auto* connectionForm = new QFormLayout(connection);
  udConnections_ =
      makeUpDown(connection, QStringLiteral("udConnections"), QStringLiteral("edConnections"));
  udTimeOut_ = makeUpDown(connection, QStringLiteral("udTimeOut"), QStringLiteral("edTimeOut"));
  edFrom_ = makeEdit(connection, QStringLiteral("edFrom"));
  addRow(connectionForm, QStringLiteral("&Connections:"), udConnections_);
  addRow(connectionForm, QStringLiteral("Time&out:"), udTimeOut_);
  // Room for a sender written as "Name <address>" without scrolling.
  edFrom_->setMinimumWidth(edFrom_->fontMetrics().horizontalAdvance(
                               QStringLiteral("Jane Sender <jane.sender@example.com>")) +
                           16);
  addRow(connectionForm, QStringLiteral("&From:"), edFrom_);
  udGreylistDelay_ =
      makeUpDown(connection, QStringLiteral("udGreylistDelay"), QStringLiteral("edGreylistDelay"));
  udGreylistDelay_->setRange(0, kMaximumGreylistDelay);
  udGreylistDelay_->setSuffix(QStringLiteral(" s"));
  udGreylistDelay_->setSpecialValueText(QStringLiteral("never"));
  addRow(connectionForm, QStringLiteral("&Greylisting retry after:"), udGreylistDelay_);
  udPerConnection_ =
      makeUpDown(connection, QStringLiteral("udPerConnection"), QStringLiteral("edPerConnection"));
  udPerConnection_->setRange(1, 100);
  addRow(connectionForm, QStringLiteral("&Addresses per connection:"), udPerConnection_);
  udHostConnections_ = makeUpDown(connection, QStringLiteral("udHostConnections"),
                                  QStringLiteral("edHostConnections"));
  udHostConnections_->setRange(0, kMaximum);
  udHostConnections_->setSpecialValueText(QStringLiteral("no limit"));
  addRow(connectionForm, QStringLiteral("Connections per &host:"), udHostConnections_);
  cbDetectCatchAll_ = new QCheckBox(QStringLiteral("Detect &catch-all domains"), connection);
  cbDetectCatchAll_->setObjectName(QStringLiteral("cbDetectCatchAll"));
  connectionForm->addRow(cbDetectCatchAll_);
  cbSaveDuringRuns_ = new QCheckBox(
      QStringLiteral("&Save the project every minute during a validation"), connection);
  cbSaveDuringRuns_->setObjectName(QStringLiteral("cbSaveDuringRuns"));
  connectionForm->addRow(cbSaveDuringRuns_);
  pages_->addTab(connection, QStringLiteral("Connection"));

  auto* dns = new QWidget(pages_);
  dns->setObjectName(QStringLiteral("tsDNS"));
  auto* dnsLayout = new QVBoxLayout(dns);
  rbHostFromDomain_ =
      new QRadioButton(QStringLiteral("Host name is the &domain of your FROM field"), dns);
  rbHostFromDomain_->setObjectName(QStringLiteral("rbHostFromDomain"));
  edSpecifyHost_ = new QRadioButton(QStringLiteral("Sp&ecify a host name"), dns);
  edSpecifyHost_->setObjectName(QStringLiteral("edSpecifyHost"));
  dnsLayout->addWidget(rbHostFromDomain_);
  dnsLayout->addWidget(edSpecifyHost_);
  auto* dnsForm = new QFormLayout;
  edHost_ = makeEdit(dns, QStringLiteral("edHost"));
  edDNS1_ = makeEdit(dns, QStringLiteral("edDNS1"));
  edDNS2_ = makeEdit(dns, QStringLiteral("edDNS2"));
  addRow(dnsForm, QStringLiteral("&Host name:"), edHost_);
  addRow(dnsForm, QStringLiteral("&Primary DNS:"), edDNS1_);
  addRow(dnsForm, QStringLiteral("&Secondary DNS:"), edDNS2_);
  dnsLayout->addLayout(dnsForm);
  dnsLayout->addStretch();
  pages_->addTab(dns, QStringLiteral("DNS"));

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  QPushButton* ok = buttons->button(QDialogButtonBox::Ok);
  ok->setObjectName(QStringLiteral("btOK"));
  ok->setText(QStringLiteral("OK"));
  ok->setDefault(true);
  QPushButton* cancel = buttons->button(QDialogButtonBox::Cancel);
  cancel->setObjectName(QStringLiteral("btCancel"));
  cancel->setText(QStringLiteral("Cancel"));
  connect(buttons, &QDialogButtonBox::accepted, this, &TFormOptions::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &TFormOptions::reject);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(pages_);
  layout->addWidget(buttons);
  layout->setSizeConstraint(QLayout::SetFixedSize);

  connect(rbHostFromDomain_, &QRadioButton::toggled, this, &TFormOptions::applyHostFieldRule);
  connect(edSpecifyHost_, &QRadioButton::toggled, this, &TFormOptions::applyHostFieldRule);

  load();
}

TFormOptions::~TFormOptions() = default;

void TFormOptions::load() {
  pages_->setCurrentIndex(0);
  const bool fromDomain = ini_.hostFromDomain() == 1;
  rbHostFromDomain_->setChecked(fromDomain);
  edSpecifyHost_->setChecked(!fromDomain);
  udConnections_->setValue(ini_.connections());
  udTimeOut_->setValue(ini_.timeOut());
  udGreylistDelay_->setValue(ini_.greylistDelay());
  udPerConnection_->setValue(ini_.addressesPerConnection());
  udHostConnections_->setValue(ini_.hostConnections());
  cbDetectCatchAll_->setChecked(ini_.detectCatchAll());
  cbSaveDuringRuns_->setChecked(ini_.saveDuringRuns());
  edFrom_->setText(toQString(ini_.from()));
  edFrom_->setCursorPosition(0);  // a long sender shows from its start
  edHost_->setText(toQString(ini_.host()));
  edDNS1_->setText(toQString(ini_.primaryDns()));
  edDNS2_->setText(toQString(ini_.secondaryDns()));
  applyHostFieldRule();
}

void TFormOptions::applyHostFieldRule() {
  const bool enabled = edSpecifyHost_->isChecked();
  edHost_->setEnabled(enabled);
  const QPalette system = QApplication::palette(edHost_);
  QPalette palette = edHost_->palette();
  palette.setColor(QPalette::Base,
                   system.color(QPalette::Active, enabled ? QPalette::Base : QPalette::Button));
  edHost_->setPalette(palette);
}

void TFormOptions::accept() {
  // A number typed but not yet confirmed in an up-down counts.
  udConnections_->interpretText();
  udTimeOut_->interpretText();
  udGreylistDelay_->interpretText();
  udPerConnection_->interpretText();
  udHostConnections_->interpretText();
  if (checkSender) {
    // A sender that cannot go out as typed is refused here, not at the
    // start of a run.
    const std::string problem = checkSender(edFrom_->text().toStdString());
    if (!problem.empty()) {
      const QString text = QString::fromStdString(problem);
      if (onError) {
        onError(text);
      } else {
        QMessageBox::critical(this, windowTitle(), text);
      }
      pages_->setCurrentIndex(0);
      edFrom_->setFocus();
      return;
    }
  }

  ini_.setHostFromDomain(rbHostFromDomain_->isChecked() ? 1 : 0);
  ini_.setConnections(udConnections_->value());
  ini_.setTimeOut(udTimeOut_->value());
  ini_.setGreylistDelay(udGreylistDelay_->value());
  ini_.setAddressesPerConnection(udPerConnection_->value());
  ini_.setHostConnections(udHostConnections_->value());
  ini_.setDetectCatchAll(cbDetectCatchAll_->isChecked());
  ini_.setSaveDuringRuns(cbSaveDuringRuns_->isChecked());
  ini_.setFrom(edFrom_->text().toStdString());
  ini_.setHost(edHost_->text().toStdString());
  ini_.setPrimaryDns(edDNS1_->text().toStdString());
  if (ini_.primaryDns().empty()) {
    ini_.setPrimaryDns(edDNS2_->text().toStdString());
    ini_.setSecondaryDns("");
  } else {
    ini_.setSecondaryDns(edDNS2_->text().toStdString());
  }
  QDialog::accept();
}

void TFormOptions::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  pages_->setCurrentIndex(0);
  if (const QScreen* shown = screen()) move(shown->availableGeometry().center() - rect().center());
}

}  // namespace orvane::settings
