#include "ui/import/ImportDialog.h"

#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QFontMetrics>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalBlocker>
#include <QTableWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <exception>
#include <utility>

#include "core/RecipientList.h"
#include "import/Importer.h"
#include "ui/Prompts.h"

namespace orvane::ui {
using import::DbfCodePage;
using import::dbfCodePageName;
using import::DbfCodePageOrigin;
using import::FirstLine;
using import::Importer;
using import::kDbfCodePages;
using import::Separator;
using import::SourceKind;
using import::sourceKindOf;
using import::TextEncoding;
namespace {

constexpr qint64 kEventsEveryMs = 16;
constexpr std::size_t kPreviewRows = 10;
// A line may hold a million fields and a field 100 MB: the preview shows no
// more columns than the list can take and cuts long values, so it stays quick.
constexpr std::size_t kPreviewColumns = Importer::kMaxColumns;
constexpr qsizetype kPreviewChars = 200;

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

QString fromUtf8(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// The name shown for `value`: its entry in `names`, else `fallback`.
template <typename E, std::size_t N>
QString nameIn(const std::pair<E, const char*> (&names)[N], E value, const char* fallback) {
  for (const auto& [v, name] : names) {
    if (v == value) return QString::fromUtf8(name);
  }
  return QString::fromUtf8(fallback);
}

QString separatorName(Separator separator) {
  static constexpr std::pair<Separator, const char*> kNames[] = {
      {Separator::Semicolon, "semicolon"}, {Separator::Tab, "tab"}};
  return nameIn(kNames, separator, "comma");
}

QString encodingName(TextEncoding encoding) {
  static constexpr std::pair<TextEncoding, const char*> kNames[] = {
      {TextEncoding::Utf16LE, "UTF-16 LE"},
      {TextEncoding::Utf16BE, "UTF-16 BE"},
      {TextEncoding::Windows1252, "Windows-1252"}};
  return nameIn(kNames, encoding, "UTF-8");
}

QString originName(DbfCodePageOrigin origin) {
  static constexpr std::pair<DbfCodePageOrigin, const char*> kNames[] = {
      {DbfCodePageOrigin::CpgFile, ".cpg file"},
      {DbfCodePageOrigin::Utf8Text, "text is UTF-8"},
      {DbfCodePageOrigin::LanguageDriver, "language byte"}};
  return nameIn(kNames, origin, "default (OEM)");
}

QString found(QString name, bool isFound) {
  return isFound ? name + QStringLiteral(" (found)") : name;
}

QString previewText(const std::string& value) {
  QString text = fromUtf8(value);
  if (text.size() <= kPreviewChars) return text;
  qsizetype keep = kPreviewChars;
  if (text.at(keep - 1).isHighSurrogate()) --keep;  // never half a character
  return text.left(keep) + QChar(0x2026);
}

}  // namespace

TImportDialog::TImportDialog(RecipientList& list, const QString& path, QWidget* parent)
    : QDialog(parent), list_(list) {
  setObjectName(QStringLiteral("ImportDialog"));
  setWindowTitle(QStringLiteral("Import Recipient List"));
  setModal(true);
  setSizeGripEnabled(true);

  const QString nativePath = QFileInfo(path).absoluteFilePath();
  auto* fileName = boldLabel(QString(), "lbFileName", this);
  fileName->setText(QFontMetrics(fileName->font()).elidedText(nativePath, Qt::ElideMiddle, 300));
  fileName->setToolTip(nativePath);
  table_ = sourceKindOf(path.toStdString()) == SourceKind::DBase;
  auto* kind = boldLabel(table_ ? QStringLiteral("dBase III Compatible Table")
                                : QStringLiteral("Plain Text / Comma Separated Values"),
                         "lbKind", this);

  auto* reading = new QFormLayout;
  reading->setFieldGrowthPolicy(QFormLayout::AllNonFixedFieldsGrow);
  cbCharset_ = new QComboBox(this);
  QLabel* origin = nullptr;
  if (table_) {
    cbCharset_->setObjectName(QStringLiteral("cbCodePage"));
    reading->addRow(QStringLiteral("Code page:"), cbCharset_);
    origin = new QLabel(this);
    origin->setObjectName(QStringLiteral("lbCodePageOrigin"));
    origin->setToolTip(QStringLiteral("Where the code page found came from"));
    QFont small = origin->font();
    small.setPointSizeF(small.pointSizeF() * 0.9);
    origin->setFont(small);
    reading->addRow(QStringLiteral("Found by:"), origin);
  } else {
    cbSeparator_ = new QComboBox(this);
    cbSeparator_->setObjectName(QStringLiteral("cbSeparator"));
    cbSeparator_->addItem(QStringLiteral("Comma"), static_cast<int>(Separator::Comma));
    cbSeparator_->addItem(QStringLiteral("Semicolon"), static_cast<int>(Separator::Semicolon));
    cbSeparator_->addItem(QStringLiteral("Tab"), static_cast<int>(Separator::Tab));
    cbSeparator_->addItem(QStringLiteral("Detect"), static_cast<int>(Separator::Detect));
    reading->addRow(QStringLiteral("Separator:"), cbSeparator_);
    cbCharset_->setObjectName(QStringLiteral("cbEncoding"));
    reading->addRow(QStringLiteral("Encoding:"), cbCharset_);
  }

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

  tvPreview_ = new QTableWidget(this);
  tvPreview_->setObjectName(QStringLiteral("tvPreview"));
  tvPreview_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  tvPreview_->setSelectionMode(QAbstractItemView::NoSelection);
  tvPreview_->setWordWrap(false);
  tvPreview_->verticalHeader()->hide();
  tvPreview_->verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 6);
  tvPreview_->horizontalHeader()->setMaximumSectionSize(220);
  tvPreview_->setMinimumSize(220, 120);
  auto* previewLabel = new QLabel(QStringLiteral("Preview:"), this);

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

  // The choices on the left, the preview beside them taking what room is left.
  auto* choices = new QVBoxLayout;
  choices->addWidget(new QLabel(QStringLiteral("Filename:"), this));
  choices->addWidget(fileName);
  choices->addWidget(new QLabel(QStringLiteral("File Kind:"), this));
  choices->addWidget(kind);
  choices->addLayout(reading);
  choices->addWidget(emailLabel);
  choices->addWidget(cbEmail_);
  auto* groups = new QHBoxLayout;
  groups->addWidget(gbFirstLine_);
  groups->addWidget(gbMode_);
  choices->addLayout(groups);
  choices->addStretch();
  auto* preview = new QVBoxLayout;
  preview->addWidget(previewLabel);
  preview->addWidget(tvPreview_, 1);
  auto* top = new QHBoxLayout;
  top->addLayout(choices);
  top->addLayout(preview, 1);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(btImport_);
  buttons->addWidget(cancel);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(top, 1);
  layout->addWidget(progress_);
  layout->addLayout(buttons);
  resize(640, sizeHint().height());

  // Tab follows the choices from the top down, then the preview and the buttons.
  QWidget* order[] = {cbSeparator_, cbCharset_, cbEmail_,   rbData_,   rbHeader_,
                      append,       rbReplace_, tvPreview_, btImport_, cancel};
  QWidget* previous = nullptr;
  for (QWidget* w : order) {
    if (!w) continue;
    if (previous) setTabOrder(previous, w);
    previous = w;
  }

  QString refusal;
  try {
    importer_ = std::make_unique<Importer>(QFile::encodeName(path).toStdString());
    if (importer_->holdsNoRows()) refusal = fromUtf8(import::kNoRows);
  } catch (const std::exception& e) {
    refusal = QString::fromUtf8(e.what());
  }
  if (!refusal.isEmpty()) {
    importer_.reset();
    Prompts::error(parent ? parent : this, refusal);
    return;
  }
  ready_ = true;
  if (table_) {
    const DbfCodePage detected = importer_->detectedCodePage();
    for (const DbfCodePage codePage : kDbfCodePages) {
      cbCharset_->addItem(found(fromUtf8(dbfCodePageName(codePage)), codePage == detected),
                          static_cast<int>(codePage));
    }
    cbCharset_->setCurrentIndex(cbCharset_->findData(static_cast<int>(detected)));
    origin->setText(originName(importer_->codePageOrigin()));
  } else {
    const TextEncoding detected = importer_->detectedEncoding();
    for (const TextEncoding encoding : {TextEncoding::Utf8, TextEncoding::Utf16LE,
                                        TextEncoding::Utf16BE, TextEncoding::Windows1252}) {
      cbCharset_->addItem(found(encodingName(encoding), encoding == detected),
                          static_cast<int>(encoding));
    }
    cbCharset_->setCurrentIndex(cbCharset_->findData(static_cast<int>(detected)));
    // A semicolon or tab list read with commas would look like a broken import.
    importer_->setSeparator(Separator::Detect);
    cbSeparator_->setCurrentIndex(cbSeparator_->findData(static_cast<int>(importer_->separator())));
    connect(cbSeparator_, &QComboBox::currentIndexChanged, this, &TImportDialog::chooseSeparator);
  }
  charsetIndex_ = cbCharset_->currentIndex();
  connect(cbCharset_, &QComboBox::currentIndexChanged, this,
          table_ ? &TImportDialog::chooseCodePage : &TImportDialog::chooseEncoding);
  connect(cbEmail_, &QComboBox::currentIndexChanged, this, &TImportDialog::chooseEmailField);
  connect(rbHeader_, &QRadioButton::toggled, this, &TImportDialog::chooseFirstLine);
  gbFirstLine_->setEnabled(!table_);
  showDetection();
  refreshPreview();
}

void TImportDialog::chooseSeparator(int index) {
  if (!importer_ || importing_ || index < 0) return;
  importer_->setSeparator(static_cast<Separator>(cbSeparator_->itemData(index).toInt()));
  showDetection();
  refreshPreview();
}

void TImportDialog::chooseEncoding(int index) {
  chooseCharset(index,
                [this](int value) { importer_->setEncoding(static_cast<TextEncoding>(value)); });
}

void TImportDialog::chooseCodePage(int index) {
  chooseCharset(index,
                [this](int value) { importer_->setCodePage(static_cast<DbfCodePage>(value)); });
}

void TImportDialog::chooseCharset(int index, const std::function<void(int)>& apply) {
  if (!importer_ || importing_ || index < 0) return;
  try {
    apply(cbCharset_->itemData(index).toInt());
  } catch (const std::exception& e) {
    // The importer keeps the text it had, so the choice goes back to match it.
    Prompts::error(this, QString::fromUtf8(e.what()));
    const QSignalBlocker block(cbCharset_);
    cbCharset_->setCurrentIndex(charsetIndex_);
    return;
  }
  charsetIndex_ = index;
  showDetection();
  refreshPreview();
}

void TImportDialog::chooseFirstLine() {
  if (!importer_ || importing_) return;
  importer_->setFirstLine(rbHeader_->isChecked() ? FirstLine::Header : FirstLine::Data);
  refreshPreview();
}

void TImportDialog::chooseEmailField(int index) {
  if (!importer_ || importing_ || index < 0) return;
  importer_->setEmailField(static_cast<std::size_t>(index));
  highlightEmail();
}

void TImportDialog::showDetection() {
  {
    const QSignalBlocker block(cbEmail_);
    cbEmail_->clear();
    for (const std::string& name : importer_->fieldNames()) cbEmail_->addItem(fromUtf8(name));
    cbEmail_->setCurrentIndex(static_cast<int>(importer_->emailField()));
  }
  {
    const QSignalBlocker blockHeader(rbHeader_);
    const QSignalBlocker blockData(rbData_);
    (importer_->firstLine() == FirstLine::Header ? rbHeader_ : rbData_)->setChecked(true);
  }
  const auto maximum = importer_->progressMaximum();
  progress_->setRange(0, static_cast<int>(std::min<std::uint64_t>(maximum, INT_MAX)));
  if (cbSeparator_) {
    const int detect = cbSeparator_->findData(static_cast<int>(Separator::Detect));
    cbSeparator_->setItemText(detect, importer_->separator() == Separator::Detect
                                          ? QStringLiteral("Detect (found: %1)")
                                                .arg(separatorName(importer_->detectedSeparator()))
                                          : QStringLiteral("Detect"));
  }
}

void TImportDialog::refreshPreview() {
  if (!importer_ || importing_) return;  // the import owns the table's record pointer
  std::vector<std::vector<std::string>> rows;
  try {
    rows = importer_->previewRows(kPreviewRows);
  } catch (const std::exception& e) {
    tvPreview_->clear();
    tvPreview_->setRowCount(0);
    tvPreview_->setColumnCount(0);
    Prompts::error(this, QString::fromUtf8(e.what()));
    return;
  }
  // A table's columns and a header line's fields have names; a data line's
  // fields are only numbered, as its texts are shown in the first row.
  const std::vector<std::string>& names = importer_->fieldNames();
  const bool named = table_ || importer_->firstLine() == FirstLine::Header;
  std::size_t columns = named ? names.size() : 0;
  for (const auto& row : rows) columns = std::max(columns, row.size());
  columns = std::min(columns, kPreviewColumns);

  tvPreview_->clear();
  tvPreview_->setRowCount(static_cast<int>(rows.size()));
  tvPreview_->setColumnCount(static_cast<int>(columns));
  QStringList headers;
  for (std::size_t c = 0; c < columns; ++c) {
    headers << (named && c < names.size() ? fromUtf8(names[c])
                                          : QStringLiteral("Field %1").arg(c + 1));
  }
  tvPreview_->setHorizontalHeaderLabels(headers);
  for (std::size_t r = 0; r < rows.size(); ++r) {
    const std::size_t cells = std::min(rows[r].size(), columns);
    for (std::size_t c = 0; c < cells; ++c) {
      tvPreview_->setItem(static_cast<int>(r), static_cast<int>(c),
                          new QTableWidgetItem(previewText(rows[r][c])));
    }
  }
  tvPreview_->resizeColumnsToContents();
  highlightEmail();
}

void TImportDialog::highlightEmail() {
  const int email = cbEmail_->currentIndex();
  QColor tint = palette().color(QPalette::Highlight);
  tint.setAlpha(40);
  for (int c = 0; c < tvPreview_->columnCount(); ++c) {
    const bool chosen = c == email;
    if (QTableWidgetItem* header = tvPreview_->horizontalHeaderItem(c)) {
      QFont font = tvPreview_->horizontalHeader()->font();
      font.setBold(chosen);
      header->setFont(font);
    }
    for (int r = 0; r < tvPreview_->rowCount(); ++r) {
      if (QTableWidgetItem* cell = tvPreview_->item(r, c)) {
        cell->setBackground(chosen ? QBrush(tint) : QBrush());
      }
    }
  }
}

TImportDialog::~TImportDialog() {
  if (importing_) QApplication::restoreOverrideCursor();
}

void TImportDialog::runImport() {
  if (!importer_ || importing_) return;
  importing_ = true;
  if (cbSeparator_) cbSeparator_->setEnabled(false);
  cbCharset_->setEnabled(false);
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
  replaced_ = rbReplace_->isChecked();
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
