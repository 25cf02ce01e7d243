// The program's pictures: our own SVG artwork compiled in as Qt resources
// (":/icons/NAME.svg", ":/splash.svg"), drawn by Qt's SVG renderer so that no
// image plugin is needed, and the desktop theme's icons where the desktop has
// them. The list's decoration (check box and result icon side by side) is
// drawn once per state pair and then shared.
//
// Owns a cache of pixmaps. User-interface thread only (pixmaps need the GUI
// application).
#pragma once

#include <QIcon>
#include <QPixmap>
#include <QSize>
#include <QString>
#include <cstdint>

#include "core/AddressFlags.h"

namespace orvane::ui {

// Our picture `name` (":/icons/NAME.svg") at `size` logical pixels.
QPixmap artPixmap(const QString& resource, QSize size);
// Our icon `name`, drawn at the usual menu and tool bar sizes.
QIcon artIcon(const QString& name);
// The desktop theme's icon `themeName` when the theme has it, else ours.
QIcon themedIcon(const QString& themeName, const QString& name);

// Size of the list's decoration: the check box (16 px), a gap, the result icon.
inline constexpr QSize kEntryDecorationSize{34, 16};
// The decoration of an entry: its check box (checkState 1 or 0) at the left,
// then the icon of `resultIcon` (empty: none).
QPixmap entryDecoration(bool checked, const QString& resultIcon);

// Height of the flag badges; each badge is as wide as high, 2 px apart.
inline constexpr int kBadgeSize = 14;
// Small badges for an entry's flags, a letter each on a colour of its own (D
// disposable, R role, F free, E extracted), and "?" for a suggested
// correction; a null pixmap for none. Drawn once per combination.
QPixmap flagBadges(AddressFlags flags, bool suggestion);

}  // namespace orvane::ui
