// The export dialog: which entries File | Export Recipient List writes, by
// their verdict (valid, catch-all, invalid, unknown, not validated yet) and
// leaving out disposable or role addresses if asked, with the number of
// entries that choice exports. The file is chosen afterwards; the export
// writes each entry's notes (flags, suggestion, address checked) as the
// notes function given here works them out.
//
// The flags are worked out only once a "leave out" box is first ticked (a
// pass over the list, under a wait cursor), so that the dialog opens at
// once on a long list.
//
// Created for one use and shown modally; borrows the list. Controls:
// cbValid, cbCatchAll, cbInvalid, cbUnknown, cbUnvalidated,
// cbExcludeDisposable, cbExcludeRole, lbCount, btOK, btCancel. User-interface
// thread only.
#pragma once

#include <QDialog>
#include <array>
#include <cstdint>
#include <functional>
#include <vector>

#include "import/CsvExport.h"

class QCheckBox;
class QLabel;
class QPushButton;

namespace orvane {
class Entry;
class RecipientList;
}  // namespace orvane

namespace orvane::ui {

class TExportDialog final : public QDialog {
  Q_OBJECT

 public:
  using NotesOf = std::function<EntryNotes(const Entry& entry)>;

  TExportDialog(const RecipientList& list, NotesOf notes, QWidget* parent = nullptr);

  import::ExportFilter filter() const;

 private:
  void updateCount();
  AddressFlags excluded() const;

  const RecipientList& list_;
  NotesOf notes_;
  std::array<std::size_t, 5> counts_{};  // entries per verdict
  std::array<QCheckBox*, 5> boxes_{};    // indexed by verdict
  QCheckBox* cbExcludeDisposable_ = nullptr;
  QCheckBox* cbExcludeRole_ = nullptr;
  // Each entry's flags (bits), once a leave-out box was ticked.
  std::vector<std::uint8_t> flags_;
  QLabel* lbCount_ = nullptr;
  QPushButton* ok_ = nullptr;
};

}  // namespace orvane::ui
