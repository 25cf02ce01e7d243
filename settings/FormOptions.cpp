#include "settings/FormOptions.h"

#include <QApplication>
#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QScreen>
#include <QSpinBox>
#include <QTabWidget>
#include <QVBoxLayout>

#include <sys/socket.h>
#include <unistd.h>

#include "core/AddressFlags.h"
#include "net/SocketAddress.h"
#include "settings/Ini.h"

namespace orvane::settings {
namespace {

constexpr int kMinimum = 1;
constexpr int kMaximum = 999;
constexpr int kMaximumGreylistDelay = 3600;
constexpr int kDefaultProxyPort = 1080;
constexpr int kNetworkPage = 2;

// What each flag's check box says.
constexpr const char* kFlagCaptions[] = {
    "&disposable: the domain is a throw-away provider's",
    "&role: the mailbox is a function's (info@, sales@), not a person's",
    "&free: the domain is a free mail provider's",
    "e&xtracted: the entry holds more than the address checked"};
constexpr const char* kFlagBoxNames[] = {"cbFlagDisposable", "cbFlagRole", "cbFlagFree",
                                         "cbFlagExtracted"};

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

QLabel* makeNote(const QString& text, QWidget* parent) {
  auto* note = new QLabel(text, parent);
  note->setWordWrap(true);
  return note;
}

// The words of a list of addresses: blanks (and commas, as the engine reads
// the option) separate them.
QStringList addressWords(const QString& text) {
  static const QRegularExpression separators(QStringLiteral("[\\s,]+"));
  return text.split(separators, Qt::SkipEmptyParts);
}

// Why `text` cannot be a source address ("" when it can): not an IP address,
// or none of this computer's. A bind to port 0 tells without taking a port.
QString sourceAddressProblem(const QString& text) {
  const auto address = net::SocketAddress::parse(text.toStdString());
  if (!address) return QStringLiteral("Source address \"%1\" is not an IP address").arg(text);
  const int fd = ::socket(address->family(), SOCK_STREAM | SOCK_CLOEXEC, 0);
  const bool bound = fd >= 0 && ::bind(fd, address->data(), address->size()) == 0;
  if (fd >= 0) ::close(fd);
  if (bound) return {};
  return QStringLiteral("Source address %1 is not an address of this computer").arg(text);
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
  pages_->addTab(createNetworkPage(), QStringLiteral("Network"));
  pages_->addTab(createFlagsPage(), QStringLiteral("Flags"));

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

QWidget* TFormOptions::createNetworkPage() {
  auto* page = new QWidget(pages_);
  page->setObjectName(QStringLiteral("tsNetwork"));
  auto* layout = new QVBoxLayout(page);
  cbUseIpv6_ = new QCheckBox(QStringLiteral("Use &IPv6 to reach mail servers that have it"), page);
  cbUseIpv6_->setObjectName(QStringLiteral("cbUseIpv6"));
  layout->addWidget(cbUseIpv6_);

  auto* proxy = new QGroupBox(QStringLiteral("Connect through a SOCKS5 proxy"), page);
  proxy->setObjectName(QStringLiteral("gbProxy"));
  auto* proxyForm = new QFormLayout(proxy);
  edProxyHost_ = makeEdit(proxy, QStringLiteral("edProxyHost"));
  edProxyHost_->setPlaceholderText(QStringLiteral("IP address; empty: no proxy"));
  addRow(proxyForm, QStringLiteral("Proxy &host:"), edProxyHost_);
  udProxyPort_ = makeUpDown(proxy, QStringLiteral("udProxyPort"), QStringLiteral("edProxyPort"));
  udProxyPort_->setRange(1, 65535);
  addRow(proxyForm, QStringLiteral("&Port:"), udProxyPort_);
  edProxyUser_ = makeEdit(proxy, QStringLiteral("edProxyUser"));
  edProxyUser_->setPlaceholderText(QStringLiteral("optional"));
  addRow(proxyForm, QStringLiteral("&User name:"), edProxyUser_);
  edProxyPassword_ = makeEdit(proxy, QStringLiteral("edProxyPassword"));
  edProxyPassword_->setEchoMode(QLineEdit::Password);
  edProxyPassword_->setPlaceholderText(QStringLiteral("optional"));
  addRow(proxyForm, QStringLiteral("Pass&word:"), edProxyPassword_);
  proxyForm->addRow(makeNote(
      QStringLiteral("SMTP connections go through the proxy; DNS queries go directly to the "
                     "DNS servers."),
      proxy));
  layout->addWidget(proxy);

  auto* sourceForm = new QFormLayout;
  edSourceAddresses_ = makeEdit(page, QStringLiteral("edSourceAddresses"));
  edSourceAddresses_->setPlaceholderText(QStringLiteral("empty: the system chooses"));
  addRow(sourceForm, QStringLiteral("&Source addresses:"), edSourceAddresses_);
  sourceForm->addRow(makeNote(QStringLiteral("IP addresses of this computer that SMTP "
                                             "connections leave from, separated by blanks."),
                              page));
  layout->addLayout(sourceForm);
  layout->addStretch();
  return page;
}

QWidget* TFormOptions::createFlagsPage() {
  auto* page = new QWidget(pages_);
  page->setObjectName(QStringLiteral("tsFlags"));
  auto* layout = new QVBoxLayout(page);
  layout->addWidget(new QLabel(QStringLiteral("Flags shown beside each verdict:"), page));
  for (std::size_t i = 0; i < cbFlags_.size(); ++i) {
    cbFlags_[i] = new QCheckBox(QString::fromLatin1(kFlagCaptions[i]), page);
    cbFlags_[i]->setObjectName(QString::fromLatin1(kFlagBoxNames[i]));
    layout->addWidget(cbFlags_[i]);
  }
  layout->addWidget(makeNote(QStringLiteral("Flags never change a verdict."), page));
  layout->addStretch();
  return page;
}

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
  cbUseIpv6_->setChecked(ini_.useIpv6());
  edProxyHost_->setText(toQString(ini_.proxyHost()));
  bool portRead = false;
  const int port = toQString(ini_.proxyPort()).toInt(&portRead);
  udProxyPort_->setValue(portRead && port >= 1 && port <= 65535 ? port : kDefaultProxyPort);
  edProxyUser_->setText(toQString(ini_.proxyUser()));
  edProxyPassword_->setText(toQString(ini_.proxyPassword()));
  edSourceAddresses_->setText(toQString(ini_.sourceAddresses()));
  // Names the program does not know are ignored; none known: every flag.
  AddressFlags flags;
  if (!parseFlagNames(ini_.flags(), flags)) flags = AddressFlags::all();
  for (std::size_t i = 0; i < cbFlags_.size(); ++i) {
    cbFlags_[i]->setChecked(flags.has(kAddressFlags[i]));
  }
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
  udProxyPort_->interpretText();
  if (checkSender) {
    // A sender that cannot go out as typed is refused here, not at the
    // start of a run.
    const std::string problem = checkSender(edFrom_->text().toStdString());
    if (!problem.empty()) {
      refuse(QString::fromStdString(problem), 0, edFrom_);
      return;
    }
  }
  QString proxyHost = edProxyHost_->text().trimmed();
  if (!proxyHost.isEmpty()) {
    const auto address = net::SocketAddress::parse(proxyHost.toStdString());
    if (!address) {
      refuse(QStringLiteral("The proxy host \"%1\" is not an IP address").arg(proxyHost),
             kNetworkPage, edProxyHost_);
      return;
    }
    proxyHost = QString::fromStdString(address->ip());  // "[::1]" is kept as "::1"
  }
  const QStringList sources = addressWords(edSourceAddresses_->text());
  for (const QString& source : sources) {
    const QString problem = sourceAddressProblem(source);
    if (!problem.isEmpty()) {
      refuse(problem, kNetworkPage, edSourceAddresses_);
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
  ini_.setUseIpv6(cbUseIpv6_->isChecked());
  ini_.setProxyHost(proxyHost.toStdString());
  ini_.setProxyPort(QString::number(udProxyPort_->value()).toStdString());
  ini_.setProxyUser(edProxyUser_->text().toStdString());
  ini_.setProxyPassword(edProxyPassword_->text().toStdString());
  ini_.setSourceAddresses(sources.join(QLatin1Char(' ')).toStdString());
  AddressFlags flags;
  for (std::size_t i = 0; i < cbFlags_.size(); ++i) {
    flags.set(kAddressFlags[i], cbFlags_[i]->isChecked());
  }
  ini_.setFlags(flagsText(flags));
  QDialog::accept();
}

void TFormOptions::refuse(const QString& message, int page, QWidget* field) {
  if (onError) {
    onError(message);
  } else {
    QMessageBox::critical(this, windowTitle(), message);
  }
  pages_->setCurrentIndex(page);
  field->setFocus();
}

void TFormOptions::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  pages_->setCurrentIndex(0);
  if (const QScreen* shown = screen()) move(shown->availableGeometry().center() - rect().center());
}

}  // namespace orvane::settings
