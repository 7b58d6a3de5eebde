#include "camera/uvc/uvcdescriptors.h"

namespace {

constexpr uint8_t CsInterface = 0x24;
constexpr uint8_t VcHeader = 0x01;
constexpr uint8_t VcInputTerminal = 0x02;
constexpr uint8_t VcProcessingUnit = 0x05;

// bmControls of a descriptor whose control-size byte sits at sizeAt, when the
// whole field lies inside the descriptor.
std::optional<std::vector<uint8_t>> controlBitmap(const uint8_t *d, size_t length, size_t sizeAt)
{
    if (length <= sizeAt) {
        return std::nullopt;
    }
    const size_t count = d[sizeAt];
    if (count == 0 || sizeAt + 1 + count > length) {
        return std::nullopt;
    }
    return std::vector<uint8_t>(d + sizeAt + 1, d + sizeAt + 1 + count);
}

} // namespace

UVCVideoControlUnits parseVideoControlDescriptors(const uint8_t *data, size_t size)
{
    UVCVideoControlUnits units;
    if (!data) {
        return units;
    }
    // The first class-specific interface descriptor must be the header.
    size_t pos = 0;
    while (pos + 2 <= size) {
        const size_t length = data[pos];
        if (length < 2 || pos + length > size) {
            return units;
        }
        if (data[pos + 1] == CsInterface) {
            break;
        }
        pos += length;
    }
    if (pos + 2 > size) {
        return units;
    }
    const uint8_t *header = data + pos;
    const size_t headerLength = header[0];
    if (headerLength < 7 || header[2] != VcHeader) {
        return units;
    }
    units.hasHeader = true;
    units.uvcVersion = uint16_t(header[3] | header[4] << 8);
    const size_t totalLength = size_t(header[5] | header[6] << 8);
    if (totalLength <= headerLength) {
        return units;
    }
    const size_t end = pos + totalLength < size ? pos + totalLength : size;
    for (pos += headerLength; pos + 3 <= end;) {
        const uint8_t *d = data + pos;
        const size_t length = d[0];
        if (length < 3 || pos + length > end) {
            break;
        }
        if (d[1] == CsInterface) {
            if (d[2] == VcProcessingUnit && length > 3) {
                if (auto bitmap = controlBitmap(d, length, 7)) {
                    units.processingUnitId = d[3];
                    units.processingUnitControls = std::move(bitmap);
                }
            } else if (d[2] == VcInputTerminal) {
                if (auto bitmap = controlBitmap(d, length, 14)) {
                    units.terminalControls = std::move(bitmap);
                }
            }
        }
        pos += length;
    }
    return units;
}

uint32_t uvcLocationId(uint8_t busNumber, const uint8_t *portPath, int portCount)
{
    uint32_t id = uint32_t(busNumber) << 24;
    for (int i = 0; i < portCount && i < 6 && portPath; ++i) {
        id |= uint32_t(portPath[i] & 0x0F) << (20 - 4 * i);
    }
    return id;
}
