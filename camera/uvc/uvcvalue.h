#pragma once

#include "camera/uvc/uvctype.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

/// A typed UVC payload: a zero-filled buffer of its type's byte size, held in
/// host byte order except between byteSwapHostToUSBEndian() and the matching
/// byteSwapUSBToHostEndian().
class UVCValue
{
public:
    /// Null when the type is missing.
    static std::shared_ptr<UVCValue> uvcValueWithType(std::shared_ptr<const UVCType> type);

    const std::shared_ptr<const UVCType> &valueType() const { return m_type; }
    size_t byteSize() const { return m_bytes.size(); }
    uint8_t *valuePtr() { return m_bytes.data(); }
    const uint8_t *valuePtr() const { return m_bytes.data(); }
    bool isSwappedToUSBEndian() const { return m_swapped; }

    /// Address of a field inside the buffer, or null when the type has no such field.
    uint8_t *pointerToFieldAtIndex(size_t index);
    uint8_t *pointerToFieldWithName(const char *name);

    /// Each swaps only once: repeated calls do nothing.
    void byteSwapHostToUSBEndian();
    void byteSwapUSBToHostEndian();

    /// Scans text into this value (see UVCType::scanCString). A reference of
    /// another layout is ignored rather than read past its end.
    bool scanCString(const char *text, unsigned flags, const UVCValue *minimum = nullptr,
                     const UVCValue *maximum = nullptr, const UVCValue *stepSize = nullptr,
                     const UVCValue *defaultValue = nullptr);
    std::optional<std::string> stringValue() const;

    /// Copies the other's bytes when both have the same layout; otherwise does nothing.
    void copyValue(const UVCValue &other);
    bool isEqual(const UVCValue &other) const;
    std::string description() const;

private:
    explicit UVCValue(std::shared_ptr<const UVCType> type);

    std::shared_ptr<const UVCType> m_type;
    bool m_swapped = false;
    std::vector<uint8_t> m_bytes;
};
