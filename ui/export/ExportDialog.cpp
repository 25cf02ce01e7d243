#include "ui/export/ExportDialog.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QGroupBox>
#include <QLabel>
#include <QLocale>
#include <QPushButton>
#include <QVBoxLayout>

#include "core/RecipientList.h"
#include "core/Verdict.h"

namespace orvane::ui {
using import::ExportFilter;

TExportDialog::TExportDialog(const RecipientList& list, QWidget* parent) : QDialog(parent) {
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
  layout->addWidget(lbCount_);
  layout->addWidget(buttons);
  layout->setSizeConstraint(QLayout::SetFixedSize);
  updateCount();
}

ExportFilter TExportDialog::filter() const {
  ExportFilter f;
  for (std::size_t i = 0; i < boxes_.size(); ++i) f.include[i] = boxes_[i]->isChecked();
  return f;
}

void TExportDialog::updateCount() {
  std::size_t n = 0;
  for (std::size_t i = 0; i < boxes_.size(); ++i) n += boxes_[i]->isChecked() ? counts_[i] : 0;
  lbCount_->setText(QStringLiteral("%1 entries will be exported")
                        .arg(QLocale().toString(static_cast<qulonglong>(n))));
  ok_->setEnabled(n > 0);
}

}  // namespace orvane::ui
