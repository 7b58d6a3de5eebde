#pragma once

#include <QRect>

/// Where a popup of `size` opens for a tray icon at `trayGeometry` on a screen whose available
/// area is `available`: its top-left at the icon's bottom-left corner (at the area's
/// bottom-right corner when the icon's geometry is unknown), then pushed back inside the area,
/// right and bottom edges first, so a popup larger than the area keeps its top-left visible.
QRect placePopup(const QRect &trayGeometry, const QRect &available, const QSize &size);
