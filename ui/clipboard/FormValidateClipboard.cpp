#include "ui/clipboard/FormValidateClipboard.h"

#include <QApplication>
#include <QFrame>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <stdexcept>

#include "core/Text.h"
#include "engine/ResultMessages.h"
#include "settings/EngineOptions.h"
#include "settings/Ini.h"
#include "ui/Prompts.h"
#include "ui/recipient/FormLog.h"

namespace orvane::ui {

TFormValidateClipboard::TFormValidateClipboard(net::EventLoop& loop, QWidget* parent)
    : QDialog(parent), validation_(loop) {
  setObjectName(QStringLiteral("FormValidateClipboard"));
  setWindowTitle(QStringLiteral("Clipboard Address Validation"));
  setModal(true);
  validation_.onResult = [this](engine::ValidationResult& result) { showResult(result); };

  const auto rightLabel = [this](const char* text, const char* name) {
    auto* label = new QLabel(QString::fromUtf8(text), this);
    label->setObjectName(QString::fromLatin1(name));
    label->setAlignment(Qt::AlignRight | Qt::AlignTop);
    return label;
  };
  const auto boldLabel = [this](const char* name) {
    auto* label = new QLabel(this);
    label->setObjectName(QString::fromLatin1(name));
    QFont bold = label->font();
    bold.setBold(true);
    label->setFont(bold);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    return label;
  };
  Label1 = rightLabel("E-Mail Adress:", "Label1");
  lbEmail = boldLabel("lbEmail");
  Label2 = rightLabel("Status:", "Label2");
  lbStatus = boldLabel("lbStatus");
  lbStatus->setWordWrap(true);
  Label3 = rightLabel("Verdict:", "Label3");
  lbVerdict = boldLabel("lbVerdict");

  btCancelar = new QPushButton(QStringLiteral("Cancel"), this);
  btCancelar->setObjectName(QStringLiteral("btCancelar"));
  connect(btCancelar, &QPushButton::clicked, this, &TFormValidateClipboard::reject);
  btDetails = new QPushButton(QStringLiteral("&Details >>"), this);
  btDetails->setObjectName(QStringLiteral("btDetails"));
  connect(btDetails, &QPushButton::clicked, this, &TFormValidateClipboard::details);

  Bevel1 = new QFrame(this);
  Bevel1->setObjectName(QStringLiteral("Bevel1"));
  Bevel1->setFrameShape(QFrame::HLine);
  Bevel1->setFrameShadow(QFrame::Sunken);
  Memo1 = createLogMemo(this);
  layOut();
  setClientHeight(expandedHeight());
}

void TFormValidateClipboard::layOut() {
  // The designed places, moved down as far as a long status needs.
  const int line = std::max(13, fontMetrics().height());
  const int boldLine = std::max(13, lbStatus->fontMetrics().height());
  Label1->setGeometry(8, 20, 89, line);
  lbEmail->setGeometry(104, 20, kValueWidth, boldLine);
  const int statusTop = 20 + std::max(24, boldLine + 8);
  const int statusHeight = std::max({33, 2 * boldLine + 2, lbStatus->heightForWidth(kValueWidth)});
  Label2->setGeometry(8, statusTop, 89, line);
  lbStatus->setGeometry(104, statusTop, kValueWidth, statusHeight);
  const int verdictTop = statusTop + statusHeight;
  Label3->setGeometry(8, verdictTop, 89, line);
  lbVerdict->setGeometry(104, verdictTop, kValueWidth, boldLine);
  const int buttonHeight = std::max(23, btCancelar->sizeHint().height());
  const int buttonsTop = std::max(96, verdictTop + boldLine + 4);
  const int buttonWidth =
      std::max({75, btCancelar->sizeHint().width(), btDetails->sizeHint().width()});
  btDetails->setGeometry(291 - buttonWidth, buttonsTop, buttonWidth, buttonHeight);
  btCancelar->setGeometry(btDetails->x() - 11 - buttonWidth, buttonsTop, buttonWidth, buttonHeight);
  collapsedHeight_ = std::max(kCollapsedHeight, buttonsTop + buttonHeight + 9);
  Bevel1->setGeometry(8, collapsedHeight_, 289, 9);
  Memo1->setGeometry(8, collapsedHeight_ + 8, 289, kExpandedHeight - kCollapsedHeight - 15);
}

int TFormValidateClipboard::expandedHeight() const {
  return collapsedHeight_ + kExpandedHeight - kCollapsedHeight;
}

TFormValidateClipboard::~TFormValidateClipboard() {
  setBusyCursor(false);
  validation_.onResult = nullptr;
  validation_.stop();
}

std::string TFormValidateClipboard::addressToValidate(const QString& clipboard) {
  const QByteArray bytes = clipboard.toUtf8();
  const std::string_view text =
      trimBlanks(std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())));
  if (text.empty()) throw std::runtime_error(kClipboardEmpty);
  if (text.find_first_of("\r\n") != std::string_view::npos) {
    throw std::runtime_error(kClipboardLines);
  }
  const auto at = text.find('@');
  if (at != std::string_view::npos && text.find('@', at + 1) != std::string_view::npos &&
      text.find_first_of(" \t,;") != std::string_view::npos) {
    throw std::runtime_error(kClipboardSeveral);
  }
  return std::string(text);
}

void TFormValidateClipboard::validate(const settings::TINI& ini) {
  if (Prompts::clipboardText().isEmpty()) throw std::runtime_error(kClipboardEmpty);
  validation_.configure(settings::readEngineSettings(ini));
  const QString text = Prompts::clipboardText();
  std::string address = addressToValidate(text);
  // An address that fails at once is reported inside start(): the window
  // must already be prepared for it.
  prepare(text);
  try {
    validation_.start(
        [address = std::move(address), given = false](engine::FeedLine& line) mutable {
          if (given) return engine::SourceAnswer::End;
          given = true;
          line.given = address;
          return engine::SourceAnswer::Address;
        });
  } catch (...) {
    setBusyCursor(false);
    throw;
  }
  exec();
}

void TFormValidateClipboard::prepare(const QString& text) {
  // The text as copied, on one line: a long one is cut in its middle and
  // shown whole in the tool tip.
  lbEmail->setText(
      lbEmail->fontMetrics().elidedText(text.simplified(), Qt::ElideMiddle, kValueWidth));
  lbEmail->setToolTip(text);
  lbStatus->setText(QStringLiteral("Checking..."));
  lbVerdict->clear();
  btCancelar->setText(QStringLiteral("Cancel"));
  btDetails->setEnabled(false);
  Memo1->clear();
  layOut();
  setClientHeight(collapsedHeight_);
  setBusyCursor(true);
}

void TFormValidateClipboard::showResult(const engine::ValidationResult& value) {
  const engine::AddressResult& result = value.result;
  if (result.code == engine::kResultAborted) return;
  lbStatus->setText(QString::fromStdString(result.message));
  const std::string_view verdict = verdictName(result.verdict);
  lbVerdict->setText(QString::fromUtf8(verdict.data(), static_cast<qsizetype>(verdict.size())));
  Prompts::beep();
  btCancelar->setText(QStringLiteral("&Close"));
  btDetails->setEnabled(true);
  showLog(Memo1, value.log);
  layOut();
  setClientHeight(collapsedHeight_);
  setBusyCursor(false);
}

void TFormValidateClipboard::details() {
  // The button disables itself: the focus goes on to Close, not nowhere.
  btCancelar->setFocus();
  btDetails->setEnabled(false);
  setClientHeight(expandedHeight());
}

void TFormValidateClipboard::reject() {
  validation_.stop();
  setBusyCursor(false);
  QDialog::reject();
}

void TFormValidateClipboard::setClientHeight(int height) {
  setFixedSize(304, height);
}

void TFormValidateClipboard::setBusyCursor(bool busy) {
  if (busy == busyCursor_) return;
  busyCursor_ = busy;
  if (busy) {
    QApplication::setOverrideCursor(Qt::BusyCursor);
  } else {
    QApplication::restoreOverrideCursor();
  }
}

}  // namespace orvane::ui
