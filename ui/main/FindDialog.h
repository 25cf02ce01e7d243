// The small modeless Find dialog of the main window: the text to look for,
// the direction (Down first) and Match case. Its "Find Next" button asks the
// window to find the next entry; the dialog itself searches nothing.
//
// Owned by the main window (a child that stays alive between uses). Controls:
// edFind, rbUp, rbDown, cbMatchCase, btFindNext, btCancel. User-interface
// thread only.
#pragma once

#include <QDialog>
#include <QString>

class QCheckBox;
class QLineEdit;
class QPushButton;
class QRadioButton;

namespace orvane::ui {

class FindDialog final : public QDialog {
  Q_OBJECT

 public:
  explicit FindDialog(QWidget* parent = nullptr);

  QString text() const;
  bool down() const;
  bool matchCase() const;
  // Shows the dialog (modeless), brings it to the front and selects its text.
  void showFind();

 signals:
  void findNext();

 private:
  QLineEdit* edFind_ = nullptr;
  QRadioButton* rbUp_ = nullptr;
  QRadioButton* rbDown_ = nullptr;
  QCheckBox* cbMatchCase_ = nullptr;
  QPushButton* btFindNext_ = nullptr;
};

}  // namespace orvane::ui
