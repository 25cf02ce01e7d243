// The recipient properties dialog: a two-column grid of rows, the field's
// title ("<email>", then "<caption>" of every extra column) and its value,
// edited in place. Used for a new recipient ("New Recipient") and for an
// existing one ("Properties"); the result text has no row and cannot be
// edited. Below the grid, an existing entry's notes (flags, a suggested
// domain, the address checked) show as read-only text (lbNotes), hidden when
// there are none.
//
// OK refuses an e-mail that is blank after trimming ("E-mail address cannot
// be blank") and keeps the dialog open; values are handed back as typed (the
// list trims them when it stores them). Created for one use and shown
// modally; owns its controls (VerticalGrid, Button1 "OK", Button2 "Cancel").
// User-interface thread only.
#pragma once

#include <QDialog>
#include <QString>
#include <QStringList>

class QLabel;
class QTableWidget;

namespace orvane::ui {

inline constexpr const char* kBlankEmail = "E-mail address cannot be blank";

class TFormProperties final : public QDialog {
  Q_OBJECT

 public:
  // `titles` and `values` have one item per row; row 0 is the e-mail.
  TFormProperties(const QString& caption, const QStringList& titles, const QStringList& values,
                  QWidget* parent = nullptr);

  // One line per note; "" hides them.
  void setNotes(const QString& notes);

  // The rows' values, including an edit still open in the grid.
  QStringList values() const;
  void accept() override;

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void commitEdit() const;

  QTableWidget* VerticalGrid = nullptr;
  QLabel* lbNotes_ = nullptr;
};

}  // namespace orvane::ui
