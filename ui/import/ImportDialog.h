// The import dialog: appends a text, CSV or dBase recipient list to the open
// project (or replaces it) after the user has picked the field that holds
// the e-mail address, whether the first text line is data or a header, and
// Append or Replace. For a text file the user may also pick the separator
// (Comma, Semicolon, Tab or Detect; it starts on Detect) and the encoding;
// for a table, the code page. A preview shows the first rows as the import
// would read them, with the e-mail column highlighted.
//
// A source that cannot be imported is refused when the dialog is built, in
// the error box: one the reader cannot open or that is not text, and one
// that holds no rows ("The file holds no rows"). ready() is then false, and
// the caller does not show the dialog: the project stays as it was.
//
// Choosing a separator, encoding or code page reads the source again: the
// field names, the e-mail field, the first-line choice and the progress
// maximum shown are then the importer's new ones, and earlier picks of the
// e-mail field and the first line give way to its detection.
//
// The import runs inside the Import button's handler; it keeps the window
// and the network alive by letting Qt process pending events about sixty
// times a second (not once per row, which would cost more than the rows), and
// that is where Cancel is seen. Cancel during an import asks "Do you really
// want to cancel this operation?"; rows already added stay. A close request
// during the import is remembered and carried out when the rows end. Every
// choice is locked while the import runs, so the preview never reads the
// source under it.
//
// Owns the open source (through Importer) and its controls (lbFileName,
// lbKind, cbSeparator, cbEncoding or cbCodePage, lbCodePageOrigin, cbEmail,
// rbData, rbHeader, rbAppend, rbReplace, tvPreview, ProgressBar1, btImport,
// btCancel); borrows the recipient list. Created for one use and shown
// modally. User-interface thread only.
#pragma once

#include <QDialog>
#include <QString>
#include <functional>
#include <memory>

class QComboBox;
class QGroupBox;
class QLabel;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QTableWidget;

namespace orvane {
class RecipientList;
}  // namespace orvane

namespace orvane::import {
class Importer;
}  // namespace orvane::import

namespace orvane::ui {

inline constexpr const char* kCancelImport = "Do you really want to cancel this operation?";

class TImportDialog final : public QDialog {
  Q_OBJECT

 public:
  TImportDialog(RecipientList& list, const QString& path, QWidget* parent = nullptr);
  ~TImportDialog() override;

  // False when the source was refused (see above).
  bool ready() const noexcept { return ready_; }
  // The rows the last import added, and whether it replaced the list.
  std::size_t imported() const noexcept { return imported_; }
  bool replaced() const noexcept { return replaced_; }
  bool importing() const noexcept { return importing_; }

  void reject() override;

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void runImport();
  void chooseSeparator(int index);
  void chooseEncoding(int index);
  void chooseCodePage(int index);
  // Applies the text encoding or code page behind item `index`; a choice the
  // file cannot be read in is refused and the box shows the previous one.
  void chooseCharset(int index, const std::function<void(int)>& apply);
  void chooseFirstLine();
  void chooseEmailField(int index);
  // Shows what the importer read and detected: field names, e-mail field,
  // first line, progress maximum and the separator Detect found.
  void showDetection();
  // Reads the preview rows again; highlightEmail() marks the e-mail column.
  void refreshPreview();
  void highlightEmail();

  RecipientList& list_;
  std::unique_ptr<import::Importer> importer_;
  bool table_ = false;
  QComboBox* cbSeparator_ = nullptr;  // text files only
  QComboBox* cbCharset_ = nullptr;    // cbEncoding (text) or cbCodePage (table)
  int charsetIndex_ = -1;             // the choice to return to when a reading fails
  QComboBox* cbEmail_ = nullptr;
  QGroupBox* gbFirstLine_ = nullptr;
  QGroupBox* gbMode_ = nullptr;
  QRadioButton* rbHeader_ = nullptr;
  QRadioButton* rbData_ = nullptr;
  QRadioButton* rbReplace_ = nullptr;
  QTableWidget* tvPreview_ = nullptr;
  QProgressBar* progress_ = nullptr;
  QPushButton* btImport_ = nullptr;
  bool ready_ = false;
  bool importing_ = false;
  bool replaced_ = false;
  std::size_t imported_ = 0;
};

}  // namespace orvane::ui
