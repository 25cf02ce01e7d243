#include "ui/export/ExportDialog.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QGroupBox>
#include <QLabel>
#include <QLocale>
#include <QPushButton>
#include <QVBoxLayout>

#include <QApplication>

#include "core/RecipientList.h"
#include "core/Verdict.h"

namespace orvane::ui {
using import::ExportFilter;

TExportDialog::TExportDialog(const RecipientList& list, NotesOf notes, QWidget* parent)
    : QDialog(parent), list_(list), notes_(std::move(notes)) {
  setObjectName(QStringLiteral("ExportDialog"));
  setWindowTitle(QStringLiteral("Export Recipient List"));
  for (const Entry& e : list.entries()) {
    ++counts_[static_cast<std::size_t>(verdictOfResultText(e.resultText()))];
  }
  auto* group = new QGroupBox(QStringLiteral("Export the entries found"), this);
  auto* groupLayout = new QVBoxLayout(group);
  const struct {
    Verdict verdict;
    const char* name;
    const char* caption;
  } rows[] = {
      {Verdict::Valid, "cbValid", "&valid"},
      {Verdict::CatchAll, "cbCatchAll", "&catch-all (any address accepted)"},
      {Verdict::Invalid, "cbInvalid", "&invalid"},
      {Verdict::Unknown, "cbUnknown", "&unknown (try again later)"},
      {Verdict::None, "cbUnvalidated", "&not validated yet"},
  };
  for (const auto& row : rows) {
    const auto i = static_cast<std::size_t>(row.verdict);
    auto* box = new QCheckBox(
        QStringLiteral("%1 (%2)").arg(QString::fromLatin1(row.caption),
                                      QLocale().toString(static_cast<qulonglong>(counts_[i]))),
        group);
    box->setObjectName(QString::fromLatin1(row.name));
    box->setChecked(true);
    connect(box, &QCheckBox::toggled, this, &TExportDialog::updateCount);
    groupLayout->addWidget(box);
    boxes_[i] = box;
  }
  auto* leaveOut = new QGroupBox(QStringLiteral("Leave out"), this);
  auto* leaveOutLayout = new QVBoxLayout(leaveOut);
  cbExcludeDisposable_ = new QCheckBox(QStringLiteral("&disposable addresses"), leaveOut);
  cbExcludeDisposable_->setObjectName(QStringLiteral("cbExcludeDisposable"));
  cbExcludeRole_ = new QCheckBox(QStringLiteral("&role addresses (info@, sales@, ...)"), leaveOut);
  cbExcludeRole_->setObjectName(QStringLiteral("cbExcludeRole"));
  for (QCheckBox* box : {cbExcludeDisposable_, cbExcludeRole_}) {
    box->setEnabled(static_cast<bool>(notes_));
    connect(box, &QCheckBox::toggled, this, &TExportDialog::updateCount);
    leaveOutLayout->addWidget(box);
  }
  lbCount_ = new QLabel(this);
  lbCount_->setObjectName(QStringLiteral("lbCount"));
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  ok_ = buttons->button(QDialogButtonBox::Ok);
  ok_->setObjectName(QStringLiteral("btOK"));
  ok_->setText(QStringLiteral("&Export..."));
  buttons->button(QDialogButtonBox::Cancel)->setObjectName(QStringLiteral("btCancel"));
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(group);
  layout->addWidget(leaveOut);
  layout->addWidget(lbCount_);
  layout->addWidget(buttons);
  layout->setSizeConstraint(QLayout::SetFixedSize);
  updateCount();
}

ExportFilter TExportDialog::filter() const {
  ExportFilter f;
  for (std::size_t i = 0; i < boxes_.size(); ++i) f.include[i] = boxes_[i]->isChecked();
  f.notes = notes_;
  f.exclude = excluded();
  return f;
}

AddressFlags TExportDialog::excluded() const {
  AddressFlags flags;
  flags.set(AddressFlag::Disposable, cbExcludeDisposable_->isChecked());
  flags.set(AddressFlag::Role, cbExcludeRole_->isChecked());
  return flags;
}

void TExportDialog::updateCount() {
  std::size_t n = 0;
  const AddressFlags exclude = excluded();
  if (exclude.empty()) {
    for (std::size_t i = 0; i < boxes_.size(); ++i) n += boxes_[i]->isChecked() ? counts_[i] : 0;
  } else {
    if (flags_.size() != list_.count()) {
      // Once: each entry's flags (low bits) and verdict (high bits).
      QApplication::setOverrideCursor(Qt::WaitCursor);
      flags_.clear();
      flags_.reserve(list_.count());
      for (const Entry& e : list_.entries()) {
        const auto verdict = static_cast<std::uint8_t>(verdictOfResultText(e.resultText()));
        flags_.push_back(static_cast<std::uint8_t>(notes_(e).flags.bits() | verdict << 4));
      }
      QApplication::restoreOverrideCursor();
    }
    for (const std::uint8_t bits : flags_) {
      const auto verdict = static_cast<std::size_t>(bits >> 4);
      if (boxes_[verdict]->isChecked() && (AddressFlags::fromBits(bits) & exclude).empty()) ++n;
    }
  }
  lbCount_->setText(QStringLiteral("%1 entries will be exported")
                        .arg(QLocale().toString(static_cast<qulonglong>(n))));
  ok_->setEnabled(n > 0);
}

}  // namespace orvane::ui
