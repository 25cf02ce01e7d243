// Where the program's windows open: a first start sizes the main window to
// its screen, and every window named here reopens where the user left it.
//
// A placement is stored as "left,top,width,height" of the window's normal
// (not maximized) geometry under its name in the settings store; it is taken
// back only while enough of it lies on one of the screens present now (a
// screen may have gone since), and then cut to that screen. The maximized
// state is not part of it.
//
// Borrows the settings store, which must outlive the windows. User-interface
// thread only.
#pragma once

#include <QRect>
#include <QSize>
#include <QString>
#include <optional>

class QWidget;

namespace orvane::settings {
class TINI;
}

namespace orvane::ui {

// The names the windows are stored under.
inline constexpr const char* kPlaceMain = "Main";
inline constexpr const char* kPlaceLog = "Log";
inline constexpr const char* kPlaceProperties = "Properties";
inline constexpr const char* kPlaceImport = "Import";
inline constexpr const char* kPlaceClipboard = "Clipboard";
inline constexpr const char* kPlaceReport = "Report";

// "left,top,width,height" and back; nullopt for text that is not four
// numbers or has no area.
QString placementText(const QRect& rect);
std::optional<QRect> parsePlacement(const QString& text);

// The stored placement of `name`, if it is usable on a screen present now
// (cut to that screen's free area).
std::optional<QRect> storedPlacement(const settings::TINI& ini, const char* name);
// Stores `window`'s normal geometry under `name`.
void storePlacement(const QWidget& window, settings::TINI& ini, const char* name);

// `share` of the primary screen's free area, at least `minimum` and at most
// the free area itself.
QSize screenShare(double share, QSize minimum);

// Gives `window` its stored placement, or `defaultSize` when there is none
// (its position then left to the window system), and stores the placement
// again each time the window is hidden (closed, or hidden to the tray).
// Returns whether a stored placement was used.
bool keepPlacement(QWidget& window, settings::TINI& ini, const char* name, QSize defaultSize);

}  // namespace orvane::ui
