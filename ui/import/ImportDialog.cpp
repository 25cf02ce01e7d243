#include "ui/import/ImportDialog.h"

#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QFontMetrics>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>
#include <exception>

#include "core/RecipientList.h"
#include "import/Importer.h"
#include "ui/Prompts.h"

namespace orvane::ui {
namespace {

constexpr qint64 kEventsEveryMs = 16;

QLabel* boldLabel(const QString& text, const char* name, QWidget* parent) {
  auto* label = new QLabel(text, parent);
  label->setObjectName(QString::fromLatin1(name));
  QFont font = label->font();
  font.setBold(true);
  label->setFont(font);
  return label;
}

QRadioButton* radio(const QString& text, const char* name, QWidget* parent) {
  auto* button = new QRadioButton(text, parent);
  button->setObjectName(QString::fromLatin1(name));
  return button;
}

}  // namespace

TImportDialog::TImportDialog(RecipientList& list, const QString& path, QWidget* parent)
    : QDialog(parent), list_(list) {
  setObjectName(QStringLiteral("ImportDialog"));
  setWindowTitle(QStringLiteral("Import Recipient List"));
  setModal(true);

  const QString nativePath = QFileInfo(path).absoluteFilePath();
  auto* fileName = boldLabel(QString(), "lbFileName", this);
  fileName->setText(QFontMetrics(fileName->font()).elidedText(nativePath, Qt::ElideMiddle, 320));
  fileName->setToolTip(nativePath);
  const bool table = sourceKindOf(path.toStdString()) == SourceKind::DBase;
  auto* kind = boldLabel(table ? QStringLiteral("dBase III Compatible Table")
                               : QStringLiteral("Plain Text / Comma Separated Values"),
                         "lbKind", this);

  cbEmail_ = new QComboBox(this);
  cbEmail_->setObjectName(QStringLiteral("cbEmail"));
  auto* emailLabel = new QLabel(QStringLiteral("Which column contains the &e-mail address?"), this);
  emailLabel->setBuddy(cbEmail_);

  gbFirstLine_ = new QGroupBox(QStringLiteral("First Line is:"), this);
  gbFirstLine_->setObjectName(QStringLiteral("rgFirstLine"));
  rbData_ = radio(QStringLiteral("&Data"), "rbData", gbFirstLine_);
  rbHeader_ = radio(QStringLiteral("&Header"), "rbHeader", gbFirstLine_);
  rbData_->setChecked(true);
  auto* firstLayout = new QVBoxLayout(gbFirstLine_);
  firstLayout->addWidget(rbData_);
  firstLayout->addWidget(rbHeader_);

  gbMode_ = new QGroupBox(QStringLiteral("Mode:"), this);
  gbMode_->setObjectName(QStringLiteral("rgMode"));
  auto* append = radio(QStringLiteral("&Append"), "rbAppend", gbMode_);
  rbReplace_ = radio(QStringLiteral("&Replace"), "rbReplace", gbMode_);
  append->setChecked(true);
  auto* modeLayout = new QVBoxLayout(gbMode_);
  modeLayout->addWidget(append);
  modeLayout->addWidget(rbReplace_);

  progress_ = new QProgressBar(this);
  progress_->setObjectName(QStringLiteral("ProgressBar1"));
  progress_->setRange(0, 0);
  progress_->setValue(0);
  progress_->setTextVisible(false);

  btImport_ = new QPushButton(QStringLiteral("&Import"), this);
  btImport_->setObjectName(QStringLiteral("btImport"));
  btImport_->setDefault(true);
  auto* cancel = new QPushButton(QStringLiteral("Cancel"), this);
  cancel->setObjectName(QStringLiteral("btCancel"));
  connect(btImport_, &QPushButton::clicked, this, &TImportDialog::runImport);
  connect(cancel, &QPushButton::clicked, this, &TImportDialog::reject);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(new QLabel(QStringLiteral("Filename:"), this));
  layout->addWidget(fileName);
  layout->addWidget(new QLabel(QStringLiteral("File Kind:"), this));
  layout->addWidget(kind);
  layout->addWidget(emailLabel);
  layout->addWidget(cbEmail_);
  auto* groups = new QHBoxLayout;
  groups->addWidget(gbFirstLine_);
  groups->addWidget(gbMode_);
  layout->addLayout(groups);
  layout->addWidget(progress_);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(btImport_);
  buttons->addWidget(cancel);
  layout->addLayout(buttons);
  layout->setSizeConstraint(QLayout::SetFixedSize);

  try {
    importer_ = std::make_unique<Importer>(QFile::encodeName(path).toStdString());
  } catch (const std::exception& e) {
    // The dialog still opens, with no fields to choose and nothing to import.
    Prompts::error(this, QString::fromUtf8(e.what()));
    btImport_->setEnabled(false);
    return;
  }
  for (const std::string& name : importer_->fieldNames()) {
    cbEmail_->addItem(QString::fromStdString(name));
  }
  cbEmail_->setCurrentIndex(static_cast<int>(importer_->emailField()));
  (importer_->firstLine() == FirstLine::Header ? rbHeader_ : rbData_)->setChecked(true);
  gbFirstLine_->setEnabled(!table);
  const auto maximum = importer_->progressMaximum();
  progress_->setRange(0, static_cast<int>(std::min<std::uint64_t>(maximum, INT_MAX)));
}

TImportDialog::~TImportDialog() {
  if (importing_) QApplication::restoreOverrideCursor();
}

void TImportDialog::runImport() {
  if (!importer_ || importing_) return;
  importing_ = true;
  cbEmail_->setEnabled(false);
  gbMode_->setEnabled(false);
  gbFirstLine_->setEnabled(false);
  btImport_->setEnabled(false);
  QApplication::setOverrideCursor(Qt::BusyCursor);
  if (cbEmail_->currentIndex() >= 0) {
    importer_->setEmailField(static_cast<std::size_t>(cbEmail_->currentIndex()));
  }
  importer_->setFirstLine(rbHeader_->isChecked() ? FirstLine::Header : FirstLine::Data);
  importer_->setReplace(rbReplace_->isChecked());
  QElapsedTimer sinceEvents;
  sinceEvents.start();
  importer_->setProgress([this, &sinceEvents](std::uint64_t step) {
    if (sinceEvents.elapsed() < kEventsEveryMs) return;
    progress_->setValue(static_cast<int>(std::min<std::uint64_t>(step, INT_MAX)));
    QCoreApplication::processEvents(QEventLoop::AllEvents, 30);
    sinceEvents.restart();
  });
  QString failure;
  try {
    list_.reserve((rbReplace_->isChecked() ? 0 : list_.count()) +
                  static_cast<std::size_t>(importer_->progressMaximum()));
    imported_ = importer_->run(list_);
  } catch (const std::exception& e) {
    failure = QString::fromUtf8(e.what());
  }
  importing_ = false;
  QApplication::restoreOverrideCursor();
  progress_->setValue(progress_->maximum());
  if (!failure.isEmpty()) Prompts::error(this, failure);
  accept();
}

void TImportDialog::reject() {
  if (!importing_) {
    QDialog::reject();
    return;
  }
  if (Prompts::confirm(this, QString::fromLatin1(kCancelImport), false) == Answer::Yes) {
    importer_->cancel();
  }
}

void TImportDialog::closeEvent(QCloseEvent* event) {
  if (importing_) {  // the import ends the dialog when its rows end
    event->ignore();
    return;
  }
  QDialog::closeEvent(event);
}

}  // namespace orvane::ui
