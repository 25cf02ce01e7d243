#include "ui/main/AboutBox.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSysInfo>
#include <QVBoxLayout>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

#include "ui/art/Artwork.h"

namespace orvane::ui {

QString programVersion() {
  return QStringLiteral("%1.%2.%3.%4")
      .arg(ORVANE_VERSION_MAJOR)
      .arg(ORVANE_VERSION_MINOR)
      .arg(ORVANE_VERSION_PATCH)
      .arg(ORVANE_VERSION_TWEAK);
}

QString osDescription() {
  QString kernel = QSysInfo::kernelType();
  if (!kernel.isEmpty()) kernel[0] = kernel[0].toUpper();
  const QStringList version = QSysInfo::kernelVersion().split(QLatin1Char('.'));
  const int major = version.value(0).toInt();
  const int minor = version.value(1).section(QLatin1Char('-'), 0, 0).toInt();
  const QString product = QSysInfo::prettyProductName();
  if (product.isEmpty()) return QStringLiteral("%1 %2.%3").arg(kernel).arg(major).arg(minor);
  return QStringLiteral("%1 %2.%3 (%4)").arg(kernel).arg(major).arg(minor).arg(product);
}

QString physMemText(const QLocale& locale, const QString& system, qint64 kilobytes) {
  return QStringLiteral("Memory Available to %1: ").arg(system) + locale.toString(kilobytes) +
         QStringLiteral(" Kb");
}

qint64 physicalMemoryKb() {
#ifdef _WIN32
  MEMORYSTATUSEX status{};
  status.dwLength = sizeof status;
  if (!GlobalMemoryStatusEx(&status)) return 0;
  return static_cast<qint64>(status.ullTotalPhys / 1024);
#else
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long pageSize = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || pageSize <= 0) return 0;
  return static_cast<qint64>(pages) * (pageSize / 1024);
#endif
}

TAboutBox::TAboutBox(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("AboutBox"));
  setWindowTitle(QStringLiteral("About %1").arg(QString::fromLatin1(kProductName)));
  setFixedSize(351, 183);

  auto* icon = new QLabel(this);
  icon->setObjectName(QStringLiteral("ProgramIcon"));
  icon->setPixmap(artPixmap(QStringLiteral(":/icons/orvane.svg"), QSize(48, 48)));
  icon->setAlignment(Qt::AlignTop | Qt::AlignHCenter);

  auto* title = new QLabel(QString::fromLatin1(kProductName), this);
  title->setObjectName(QStringLiteral("lbTitle"));
  QFont font = title->font();
  font.setPointSizeF(font.pointSizeF() * 2);
  font.setBold(true);
  font.setItalic(true);
  title->setFont(font);
  QPalette red = title->palette();
  red.setColor(QPalette::WindowText, Qt::red);
  title->setPalette(red);

  auto* versionLabel = new QLabel(QStringLiteral("Version %1").arg(programVersion()), this);
  versionLabel->setObjectName(QStringLiteral("lbVersion"));
  const QString os = osDescription();
  auto* osLabel = new QLabel(os, this);
  osLabel->setObjectName(QStringLiteral("OS"));
  auto* memory = new QLabel(
      physMemText(QLocale(), os.section(QLatin1Char(' '), 0, 0), physicalMemoryKb()), this);
  memory->setObjectName(QStringLiteral("PhysMem"));
  auto* maker = new QLabel(QString::fromLatin1(kMakerLine), this);
  maker->setObjectName(QStringLiteral("lbMaker"));

  auto* ok = new QPushButton(QStringLiteral("OK"), this);
  ok->setObjectName(QStringLiteral("btOK"));
  ok->setDefault(true);
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);

  auto* texts = new QVBoxLayout;
  texts->addWidget(title);
  texts->addWidget(versionLabel);
  texts->addWidget(maker);
  texts->addStretch();
  texts->addWidget(osLabel);
  texts->addWidget(memory);
  auto* top = new QHBoxLayout;
  top->addWidget(icon);
  top->addLayout(texts, 1);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(ok);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(top);
  layout->addLayout(buttons);
}

}  // namespace orvane::ui
