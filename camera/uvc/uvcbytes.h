#pragma once

// Internal: little-endian payload helpers shared by the transports that build
// or read UVC payloads themselves (the V4L2 mapping, the simulated camera).

#include <cstddef>
#include <cstdint>

/// Reads size (at most 8) little-endian bytes, sign-extending when isSigned.
inline int64_t uvcReadLittleEndian(const uint8_t *bytes, size_t size, bool isSigned)
{
    uint64_t v = 0;
    for (size_t i = 0; i < size; ++i) {
        v |= uint64_t(bytes[i]) << (8 * i);
    }
    if (isSigned && size > 0 && size < 8 && (v >> (8 * size - 1)) & 1) {
        v |= ~uint64_t(0) << (8 * size);
    }
    return int64_t(v);
}

/// Writes the low size (at most 8) bytes of value, little-endian.
inline void uvcWriteLittleEndian(uint8_t *bytes, size_t size, int64_t value)
{
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = uint8_t(uint64_t(value) >> (8 * i));
    }
}
