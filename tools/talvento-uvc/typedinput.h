#pragma once

#include "camera/uvc/uvctype.h"

#include <QString>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class UVCValue;

/// A control value as a person typed it, checked strictly against the control's payload layout
/// before the value scanner (which is lenient for the values the application formats itself)
/// reads it: whole decimal or 0x-hexadecimal integers, fractions of the range from 0 to 1,
/// true/false, yes/no, on/off or 1/0 for booleans, the words default, minimum and maximum, and
/// records as {name=value,...} or {value,...}. Anything else is refused with the reason.
struct TypedInput
{
    /// The canonical text for the scanner; integers already within the field type's range.
    std::string scannerText;
    /// Per field, the integer as typed (before any clamping), to report what the scanner changed.
    std::vector<std::optional<int64_t>> typedNumbers;
    /// Non-empty when the input is refused: the reason.
    QString error;

    static TypedInput check(const UVCType &type, const QString &text);
};

/// One field of a value as an integer (booleans read 0 or 1).
int64_t fieldInteger(const UVCType &type, const uint8_t *buffer, size_t field);
