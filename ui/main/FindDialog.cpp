#include "ui/main/FindDialog.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

namespace orvane::ui {

FindDialog::FindDialog(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("FindDialog"));
  setWindowTitle(QStringLiteral("Find"));
  setModal(false);

  edFind_ = new QLineEdit(this);
  edFind_->setObjectName(QStringLiteral("edFind"));
  auto* label = new QLabel(QStringLiteral("Fi&nd what:"), this);
  label->setBuddy(edFind_);

  cbMatchCase_ = new QCheckBox(QStringLiteral("Match &case"), this);
  cbMatchCase_->setObjectName(QStringLiteral("cbMatchCase"));

  auto* direction = new QGroupBox(QStringLiteral("Direction"), this);
  rbUp_ = new QRadioButton(QStringLiteral("&Up"), direction);
  rbUp_->setObjectName(QStringLiteral("rbUp"));
  rbDown_ = new QRadioButton(QStringLiteral("&Down"), direction);
  rbDown_->setObjectName(QStringLiteral("rbDown"));
  rbDown_->setChecked(true);
  auto* directionLayout = new QHBoxLayout(direction);
  directionLayout->addWidget(rbUp_);
  directionLayout->addWidget(rbDown_);

  btFindNext_ = new QPushButton(QStringLiteral("&Find Next"), this);
  btFindNext_->setObjectName(QStringLiteral("btFindNext"));
  btFindNext_->setDefault(true);
  btFindNext_->setEnabled(false);
  auto* cancel = new QPushButton(QStringLiteral("Cancel"), this);
  cancel->setObjectName(QStringLiteral("btCancel"));

  auto* grid = new QGridLayout(this);
  grid->addWidget(label, 0, 0);
  grid->addWidget(edFind_, 0, 1, 1, 2);
  grid->addWidget(cbMatchCase_, 1, 0, 1, 2, Qt::AlignBottom);
  grid->addWidget(direction, 1, 2);
  auto* buttons = new QVBoxLayout;
  buttons->addWidget(btFindNext_);
  buttons->addWidget(cancel);
  buttons->addStretch();
  grid->addLayout(buttons, 0, 3, 2, 1);

  connect(edFind_, &QLineEdit::textChanged, this,
          [this](const QString& text) { btFindNext_->setEnabled(!text.isEmpty()); });
  connect(btFindNext_, &QPushButton::clicked, this, &FindDialog::findNext);
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
}

QString FindDialog::text() const {
  return edFind_->text();
}

bool FindDialog::down() const {
  return rbDown_->isChecked();
}

bool FindDialog::matchCase() const {
  return cbMatchCase_->isChecked();
}

void FindDialog::showFind() {
  show();
  raise();
  activateWindow();
  edFind_->setFocus();
  edFind_->selectAll();
}

}  // namespace orvane::ui
