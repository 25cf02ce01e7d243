// The about box: the program's name, its version (from the build's project
// version, four numbers), the system it runs on and the physical memory, and
// the maker's line. Created for one use and shown modally; owns its controls
// (lbTitle, lbVersion, OS, PhysMem, btOK). User-interface thread only; the
// texts are built by pure functions below.
#pragma once

#include <QDialog>
#include <QLocale>
#include <QString>

namespace orvane::ui {

inline constexpr const char* kProductName = "Orvane";
inline constexpr const char* kMakerLine = "Tamsworth Software";

// "a.b.c.d" from the build's project version.
QString programVersion();
// The running system, in the manner "Linux 6.1 (Debian GNU/Linux 12 (bookworm))":
// kernel name, its major and minor version, and the distribution's own name.
QString osDescription();
// "Memory Available to <system>: " + kilobytes with the locale's digit
// grouping and no decimals + " Kb".
QString physMemText(const QLocale& locale, const QString& system, qint64 kilobytes);
// Total physical memory in kilobytes (0 when the system does not tell).
qint64 physicalMemoryKb();

class TAboutBox final : public QDialog {
  Q_OBJECT

 public:
  explicit TAboutBox(QWidget* parent = nullptr);
};

}  // namespace orvane::ui
