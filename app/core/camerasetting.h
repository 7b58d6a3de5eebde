#pragma once

#include <cstdint>

/// One adjustable setting as a setting row sees it: the current value, its range and step, the
/// value to reset to, and whether the setting has an automatic mode and whether that mode is on.
/// Every getter of a controller fills one of these.
struct CameraSetting
{
    int64_t value = 0;
    int64_t step = 0;
    int64_t maximum = 0;
    int64_t minimum = 0;
    int64_t defaultValue = 0;
    bool autoAvailable = false;
    bool autoEnabled = false;
};
