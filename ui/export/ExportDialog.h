// The export dialog: which entries File | Export Recipient List writes, by
// their verdict (valid, catch-all, invalid, unknown, not validated yet), with
// the number of entries that choice exports. The file is chosen afterwards.
//
// Created for one use and shown modally; borrows the list. Controls:
// cbValid, cbCatchAll, cbInvalid, cbUnknown, cbUnvalidated, lbCount, btOK,
// btCancel. User-interface thread only.
#pragma once

#include <QDialog>
#include <array>

#include "import/CsvExport.h"

class QCheckBox;
class QLabel;
class QPushButton;

namespace orvane {
class RecipientList;
}

namespace orvane::ui {

class TExportDialog final : public QDialog {
  Q_OBJECT

 public:
  explicit TExportDialog(const RecipientList& list, QWidget* parent = nullptr);

  import::ExportFilter filter() const;

 private:
  void updateCount();

  std::array<std::size_t, 5> counts_{};  // entries per verdict
  std::array<QCheckBox*, 5> boxes_{};    // indexed by verdict
  QLabel* lbCount_ = nullptr;
  QPushButton* ok_ = nullptr;
};

}  // namespace orvane::ui
