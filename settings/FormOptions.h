// The options dialog: shows the connection, DNS, network and flag options of
// the program's store and writes them back when the user confirms with OK.
//
// Created as a new modal dialog each time the Options command runs and
// destroyed after it closes; it reads the store when it is created. Owns its
// controls (children); the store is borrowed and must outlive the dialog.
// Controls carry the object names below, so callers and tests find them with
// findChild: udConnections / edConnections (the up-down and its edit field),
// udTimeOut / edTimeOut, edFrom, rbHostFromDomain, edSpecifyHost, edHost,
// edDNS1, edDNS2, udGreylistDelay / edGreylistDelay (seconds, 0 = never),
// udPerConnection / edPerConnection, udHostConnections / edHostConnections,
// cbDetectCatchAll, cbSaveDuringRuns, btOK, btCancel, pcOptions (the pages);
// on the Network page cbUseIpv6, gbProxy, edProxyHost, udProxyPort /
// edProxyPort, edProxyUser, edProxyPassword, edSourceAddresses; on the Flags
// page cbFlagDisposable, cbFlagRole, cbFlagFree, cbFlagExtracted.
//
// OK refuses, with a message naming the value, a proxy host that is not an IP
// address and a source address that is not one or that this computer does
// not have (tried with a bind to port 0); nothing is stored then. User-interface
// thread only.
#pragma once

#include <QDialog>
#include <QString>
#include <array>
#include <functional>
#include <string>

class QCheckBox;
class QLineEdit;
class QRadioButton;
class QSpinBox;
class QTabWidget;

namespace orvane::settings {

class TINI;

class TFormOptions final : public QDialog {
  Q_OBJECT

 public:
  explicit TFormOptions(TINI& ini, QWidget* parent = nullptr);
  ~TFormOptions() override;

  // Writes the dialog's values to the store and closes with Accepted; when
  // checkSender says what is wrong with the sender, or a network value is
  // refused, shows that (through onError, else an error box), shows the
  // field and stays open.
  void accept() override;

  // Why a sender cannot be used ("" when it can); unset: every sender is taken.
  std::function<std::string(const std::string& from)> checkSender;
  // Shows an error message; unset: an error box.
  std::function<void(const QString& message)> onError;

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void load();
  // edHost is usable exactly while "Sp&ecify a host name" is selected; its
  // text is kept either way.
  void applyHostFieldRule();
  // Shows `message` and puts the focus on `field` of page `page`.
  void refuse(const QString& message, int page, QWidget* field);
  QWidget* createNetworkPage();
  QWidget* createFlagsPage();

  TINI& ini_;
  QTabWidget* pages_ = nullptr;
  QSpinBox* udConnections_ = nullptr;
  QSpinBox* udTimeOut_ = nullptr;
  QSpinBox* udGreylistDelay_ = nullptr;
  QSpinBox* udPerConnection_ = nullptr;
  QSpinBox* udHostConnections_ = nullptr;
  QCheckBox* cbDetectCatchAll_ = nullptr;
  QCheckBox* cbSaveDuringRuns_ = nullptr;
  QLineEdit* edFrom_ = nullptr;
  QRadioButton* rbHostFromDomain_ = nullptr;
  QRadioButton* edSpecifyHost_ = nullptr;
  QLineEdit* edHost_ = nullptr;
  QLineEdit* edDNS1_ = nullptr;
  QLineEdit* edDNS2_ = nullptr;
  QCheckBox* cbUseIpv6_ = nullptr;
  QLineEdit* edProxyHost_ = nullptr;
  QSpinBox* udProxyPort_ = nullptr;
  QLineEdit* edProxyUser_ = nullptr;
  QLineEdit* edProxyPassword_ = nullptr;
  QLineEdit* edSourceAddresses_ = nullptr;
  std::array<QCheckBox*, 4> cbFlags_{};  // in the order of kAddressFlags
};

}  // namespace orvane::settings
