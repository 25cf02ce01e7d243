#include "ui/recipient/FormProperties.h"

#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QTableWidget>
#include <QVBoxLayout>
#include <algorithm>

#include "core/Text.h"
#include "ui/Prompts.h"

namespace orvane::ui {

TFormProperties::TFormProperties(const QString& caption, const QStringList& titles,
                                 const QStringList& values, QWidget* parent)
    : QDialog(parent) {
  setObjectName(QStringLiteral("FormProperties"));
  setWindowTitle(caption);
  setWindowFlags(windowFlags() | Qt::WindowMaximizeButtonHint | Qt::WindowSystemMenuHint);
  setSizeGripEnabled(true);
  setMinimumSize(170, 190);

  VerticalGrid = new QTableWidget(static_cast<int>(titles.size()), 2, this);
  VerticalGrid->setObjectName(QStringLiteral("VerticalGrid"));
  VerticalGrid->horizontalHeader()->hide();
  VerticalGrid->verticalHeader()->hide();
  VerticalGrid->setColumnWidth(0, 112);
  VerticalGrid->horizontalHeader()->setStretchLastSection(true);
  VerticalGrid->setSelectionMode(QAbstractItemView::SingleSelection);
  VerticalGrid->setEditTriggers(QAbstractItemView::AllEditTriggers);
  // Tab leaves the grid for the buttons; the arrow keys move between rows.
  VerticalGrid->setTabKeyNavigation(false);
  // Values in navy; on a dark background navy cannot be read, a light blue can.
  const bool dark = palette().color(QPalette::Base).lightness() < 128;
  const QColor valueColour = dark ? QColor(0x9c, 0xc4, 0xff) : QColor(Qt::darkBlue);
  for (int row = 0; row < titles.size(); ++row) {
    auto* title = new QTableWidgetItem(titles[row]);
    title->setFlags(Qt::ItemIsEnabled);
    title->setForeground(palette().color(QPalette::WindowText));
    VerticalGrid->setItem(row, 0, title);
    auto* value = new QTableWidgetItem(row < values.size() ? values[row] : QString());
    value->setForeground(valueColour);
    VerticalGrid->setItem(row, 1, value);
  }
  VerticalGrid->setCurrentCell(0, 1);

  auto* ok = new QPushButton(QStringLiteral("OK"), this);
  ok->setObjectName(QStringLiteral("Button1"));
  ok->setDefault(true);
  auto* cancel = new QPushButton(QStringLiteral("Cancel"), this);
  cancel->setObjectName(QStringLiteral("Button2"));
  connect(ok, &QPushButton::clicked, this, &TFormProperties::accept);
  connect(cancel, &QPushButton::clicked, this, &TFormProperties::reject);

  auto* panel = new QHBoxLayout;
  panel->addStretch();
  panel->addWidget(ok);
  panel->addWidget(cancel);
  lbNotes_ = new QLabel(this);
  lbNotes_->setObjectName(QStringLiteral("lbNotes"));
  lbNotes_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  lbNotes_->setWordWrap(true);
  lbNotes_->hide();

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(VerticalGrid);
  layout->addWidget(lbNotes_);
  layout->addLayout(panel);

  // Wide enough for a typical address, or the longest value, within the screen.
  int widest = fontMetrics().horizontalAdvance(QStringLiteral("firstname.lastname@example.com"));
  for (const QString& value : values)
    widest = std::max(widest, fontMetrics().horizontalAdvance(value));
  QSize size(std::max(250, 112 + widest + 40), 332);
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    size = size.boundedTo(screen->availableGeometry().size() * 3 / 4);
  }
  resize(size);
}

void TFormProperties::setNotes(const QString& notes) {
  lbNotes_->setText(notes);
  lbNotes_->setVisible(!notes.isEmpty());
}

void TFormProperties::commitEdit() const {
  // Moving the current cell away commits an editor that is still open.
  const QModelIndex current = VerticalGrid->currentIndex();
  VerticalGrid->setCurrentIndex(QModelIndex());
  VerticalGrid->setCurrentIndex(current);
}

QStringList TFormProperties::values() const {
  commitEdit();
  QStringList out;
  for (int row = 0; row < VerticalGrid->rowCount(); ++row)
    out << VerticalGrid->item(row, 1)->text();
  return out;
}

void TFormProperties::accept() {
  const QByteArray email = values().value(0).toUtf8();
  if (trimBlanks(std::string_view(email.constData(), static_cast<std::size_t>(email.size())))
          .empty()) {
    Prompts::error(this, QString::fromLatin1(kBlankEmail));
    return;
  }
  QDialog::accept();
}

void TFormProperties::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  VerticalGrid->setFocus();
}

}  // namespace orvane::ui
