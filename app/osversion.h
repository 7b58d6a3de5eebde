#pragma once

#include <QString>

/// Component `index` (0 major, 1 minor, 2 build) of a dotted version such as QSysInfo's
/// productVersion ("12", "22.04", "6.1.0-13"): 0 when it is missing or not a decimal number.
int versionComponent(const QString &version, int index);
