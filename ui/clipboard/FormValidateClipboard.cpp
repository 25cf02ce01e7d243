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

  const int line = std::max(13, fontMetrics().height());
  auto* label1 = new QLabel(QStringLiteral("E-Mail Adress:"), this);
  label1->setObjectName(QStringLiteral("Label1"));
  label1->setAlignment(Qt::AlignRight | Qt::AlignTop);
  label1->setGeometry(8, 20, 89, line);
  lbEmail = new QLabel(this);
  lbEmail->setObjectName(QStringLiteral("lbEmail"));
  QFont bold = lbEmail->font();
  bold.setBold(true);
  lbEmail->setFont(bold);
  lbEmail->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  lbEmail->setGeometry(104, 20, 193, line);
  auto* label2 = new QLabel(QStringLiteral("Status:"), this);
  label2->setObjectName(QStringLiteral("Label2"));
  label2->setAlignment(Qt::AlignRight | Qt::AlignTop);
  label2->setGeometry(8, 44, 89, line);
  lbStatus = new QLabel(this);
  lbStatus->setObjectName(QStringLiteral("lbStatus"));
  lbStatus->setFont(bold);
  lbStatus->setWordWrap(true);
  lbStatus->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  lbStatus->setGeometry(104, 44, 193, std::max(33, 2 * line + 2));
  auto* label3 = new QLabel(QStringLiteral("Verdict:"), this);
  label3->setObjectName(QStringLiteral("Label3"));
  label3->setAlignment(Qt::AlignRight | Qt::AlignTop);
  label3->setGeometry(8, 44 + std::max(33, 2 * line + 2), 89, line);
  lbVerdict = new QLabel(this);
  lbVerdict->setObjectName(QStringLiteral("lbVerdict"));
  lbVerdict->setFont(bold);
  lbVerdict->setGeometry(104, 44 + std::max(33, 2 * line + 2), 193, line);

  btCancelar = new QPushButton(QStringLiteral("Cancel"), this);
  btCancelar->setObjectName(QStringLiteral("btCancelar"));
  btCancelar->setGeometry(130, 96, 75, 23);
  connect(btCancelar, &QPushButton::clicked, this, &TFormValidateClipboard::reject);
  btDetails = new QPushButton(QStringLiteral("&Details >>"), this);
  btDetails->setObjectName(QStringLiteral("btDetails"));
  btDetails->setGeometry(216, 96, 75, 23);
  connect(btDetails, &QPushButton::clicked, this, &TFormValidateClipboard::details);

  Bevel1 = new QFrame(this);
  Bevel1->setObjectName(QStringLiteral("Bevel1"));
  Bevel1->setFrameShape(QFrame::HLine);
  Bevel1->setFrameShadow(QFrame::Sunken);
  Bevel1->setGeometry(8, 128, 289, 9);
  Memo1 = createLogMemo(this);
  Memo1->setGeometry(8, 136, 289, 145);
  setClientHeight(kExpandedHeight);
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
  lbEmail->setText(text);
  lbStatus->setText(QStringLiteral("Checking..."));
  lbVerdict->clear();
  btCancelar->setText(QStringLiteral("Cancel"));
  btDetails->setEnabled(false);
  Memo1->clear();
  setClientHeight(kCollapsedHeight);
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
  setBusyCursor(false);
}

void TFormValidateClipboard::details() {
  btDetails->setEnabled(false);
  setClientHeight(kExpandedHeight);
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
