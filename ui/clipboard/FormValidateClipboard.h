// Clipboard validation: checks the one address on the clipboard with a
// scheduler of its own (separate from the project's, so both may run at once)
// and shows the small window "Clipboard Address Validation" until the user
// closes it: the address, "Checking..." and then the result and its verdict,
// Cancel / Close, and Details, which unfolds the transaction log below a line.
// A status too long for its two lines wraps on, pushing the verdict, the
// buttons and the line down: the window grows instead of cutting it.
//
// The clipboard text is shown as copied; what is validated is that text
// trimmed of surrounding blanks and line breaks. A text that still holds a
// line break, or holds several addresses, is refused with a message instead
// of being sent: a line break must never reach an SMTP command line.
//
// Owns its validation run and controls (lbEmail, lbStatus, btCancelar, btDetails,
// Bevel1, Memo1); created once with the main window and reused. Borrows the
// event loop. User-interface thread only.
#pragma once

#include <QDialog>
#include <QString>
#include <cstdint>

#include "core/RecipientList.h"
#include "engine/Validation.h"

class QFrame;
class QLabel;
class QPlainTextEdit;
class QPushButton;

namespace orvane::net {
class EventLoop;
}
namespace orvane::settings {
class TINI;
}

namespace orvane::ui {

inline constexpr const char* kClipboardEmpty = "Clipboard empty";
inline constexpr const char* kClipboardLines =
    "The clipboard holds more than one line. Copy a single e-mail address and try again.";
inline constexpr const char* kClipboardSeveral =
    "The clipboard holds more than one e-mail address. Copy a single address and try again.";

class TFormValidateClipboard final : public QDialog {
  Q_OBJECT

 public:
  // Client heights with a status of up to two lines; a longer one adds to both.
  static constexpr int kCollapsedHeight = 128;
  static constexpr int kExpandedHeight = 288;
  static constexpr int kValueWidth = 193;

  TFormValidateClipboard(net::EventLoop& loop, QWidget* parent = nullptr);
  ~TFormValidateClipboard() override;

  // Validate Clipboard: reads the clipboard, configures the run from `ini`,
  // starts the check and shows the window modally until it is closed.
  // Throws (the caller's error box shows the message) when the clipboard is
  // empty or unusable, or the options hold no sender.
  void validate(const settings::TINI& ini);

  // The address as it is validated: `clipboard` without the blanks and line
  // breaks around it; throws std::runtime_error with one of the messages
  // above when nothing or more than one address remains.
  static std::string addressToValidate(const QString& clipboard);

  engine::Validation& validation() noexcept { return validation_; }
  // The client height without and with the log, for the status shown now.
  int collapsedHeight() const noexcept { return collapsedHeight_; }
  int expandedHeight() const;

  void reject() override;

 private:
  // Places the controls for the texts they hold now.
  void layOut();
  void prepare(const QString& text);
  void showResult(const engine::ValidationResult& result);
  void details();
  void setClientHeight(int height);
  void setBusyCursor(bool busy);

  engine::Validation validation_;
  QLabel* Label1 = nullptr;
  QLabel* Label2 = nullptr;
  QLabel* Label3 = nullptr;
  QLabel* lbEmail = nullptr;
  QLabel* lbStatus = nullptr;
  QLabel* lbVerdict = nullptr;
  QPushButton* btCancelar = nullptr;
  QPushButton* btDetails = nullptr;
  QFrame* Bevel1 = nullptr;
  QPlainTextEdit* Memo1 = nullptr;
  bool busyCursor_ = false;
  int collapsedHeight_ = kCollapsedHeight;
};

}  // namespace orvane::ui
