#include "camera/uvc/uvcv4l2mapping.h"

#include "camera/uvc/uvcbytes.h"

#include <linux/videodev2.h>

#include <algorithm>
#include <iterator>

namespace {

struct Row
{
    bool processingUnit;
    uint8_t selector;
    UVCV4L2Control control;
};

// The pairs the uvcvideo driver itself maps; record-valued controls (relative
// focus, pan/tilt, white balance components) have no single V4L2 counterpart.
const Row kRows[] = {
    { false, 2, { V4L2_CID_EXPOSURE_AUTO, 1, false, true } },
    { false, 3, { V4L2_CID_EXPOSURE_AUTO_PRIORITY, 1, false, false } },
    { false, 4, { V4L2_CID_EXPOSURE_ABSOLUTE, 4, false, false } },
    { false, 6, { V4L2_CID_FOCUS_ABSOLUTE, 2, false, false } },
    { false, 8, { V4L2_CID_FOCUS_AUTO, 1, false, false } },
    { false, 9, { V4L2_CID_IRIS_ABSOLUTE, 2, false, false } },
    { false, 10, { V4L2_CID_IRIS_RELATIVE, 1, true, false } },
    { false, 11, { V4L2_CID_ZOOM_ABSOLUTE, 2, false, false } },
    { false, 17, { V4L2_CID_PRIVACY, 1, false, false } },
    { true, 1, { V4L2_CID_BACKLIGHT_COMPENSATION, 2, false, false } },
    { true, 2, { V4L2_CID_BRIGHTNESS, 2, true, false } },
    { true, 3, { V4L2_CID_CONTRAST, 2, false, false } },
    { true, 4, { V4L2_CID_GAIN, 2, false, false } },
    { true, 5, { V4L2_CID_POWER_LINE_FREQUENCY, 1, false, false } },
    { true, 6, { V4L2_CID_HUE, 2, true, false } },
    { true, 7, { V4L2_CID_SATURATION, 2, false, false } },
    { true, 8, { V4L2_CID_SHARPNESS, 2, false, false } },
    { true, 9, { V4L2_CID_GAMMA, 2, false, false } },
    { true, 10, { V4L2_CID_WHITE_BALANCE_TEMPERATURE, 2, false, false } },
    { true, 11, { V4L2_CID_AUTO_WHITE_BALANCE, 1, false, false } },
    { true, 13, { V4L2_CID_AUTO_WHITE_BALANCE, 1, false, false } },
    { true, 16, { V4L2_CID_HUE_AUTO, 1, false, false } },
};

// V4L2 exposure menu index -> UVC auto-exposure mode bit.
constexpr uint8_t kModeBits[] = {
    2, // V4L2_EXPOSURE_AUTO: fully automatic
    1, // V4L2_EXPOSURE_MANUAL
    4, // V4L2_EXPOSURE_SHUTTER_PRIORITY
    8, // V4L2_EXPOSURE_APERTURE_PRIORITY
};

std::optional<int32_t> menuIndexForModeBit(uint32_t bit)
{
    const auto *it = std::find(std::begin(kModeBits), std::end(kModeBits), bit);
    if (it == std::end(kModeBits)) {
        return std::nullopt;
    }
    return int32_t(it - std::begin(kModeBits));
}

uint8_t modeBitForMenuIndex(int32_t index)
{
    return index >= 0 && index < int32_t(std::size(kModeBits)) ? kModeBits[index] : 0;
}

void putLittleEndian(UVCRequest &request, int64_t value)
{
    uvcWriteLittleEndian(request.data, request.wLength, value);
}

} // namespace

std::optional<UVCV4L2Control> uvcV4L2ControlFor(uint8_t unitId, uint8_t selector,
                                                uint8_t processingUnitId)
{
    const bool terminal = unitId == 1;
    if (!terminal && unitId != processingUnitId) {
        return std::nullopt;
    }
    for (const Row &row : kRows) {
        if (row.processingUnit == !terminal && row.selector == selector) {
            return row.control;
        }
    }
    return std::nullopt;
}

std::optional<V4L2Call> v4l2CallForRequest(const UVCRequest &request, uint8_t processingUnitId)
{
    if (!request.data || (request.wValue & 0xFF) != 0) {
        return std::nullopt;
    }
    const auto control = uvcV4L2ControlFor(uint8_t(request.wIndex >> 8),
                                           uint8_t(request.wValue >> 8), processingUnitId);
    if (!control) {
        return std::nullopt;
    }
    V4L2Call call;
    call.control = *control;
    switch (request.bRequest) {
    case UVCRequestCode::GetInfo:
        if (request.bmRequestType != UVCRequestCode::TypeGet || request.wLength != 1) {
            return std::nullopt;
        }
        call.operation = V4L2Operation::QueryControl;
        return call;
    case UVCRequestCode::GetMin:
    case UVCRequestCode::GetMax:
    case UVCRequestCode::GetRes:
    case UVCRequestCode::GetDef:
    case UVCRequestCode::GetCur:
        if (request.bmRequestType != UVCRequestCode::TypeGet
            || request.wLength != control->byteSize) {
            return std::nullopt;
        }
        call.operation = request.bRequest == UVCRequestCode::GetCur ? V4L2Operation::GetControl
                                                                    : V4L2Operation::QueryControl;
        return call;
    case UVCRequestCode::SetCur: {
        if (request.bmRequestType != UVCRequestCode::TypeSet
            || request.wLength != control->byteSize) {
            return std::nullopt;
        }
        call.operation = V4L2Operation::SetControl;
        const int64_t value = uvcReadLittleEndian(request.data, request.wLength, control->isSigned);
        if (control->exposureModeMenu) {
            const auto index = menuIndexForModeBit(uint32_t(value));
            if (!index) {
                return std::nullopt;
            }
            call.value = *index;
        } else {
            call.value = int32_t(std::clamp<int64_t>(value, INT32_MIN, INT32_MAX));
        }
        return call;
    }
    default:
        return std::nullopt;
    }
}

bool uvcReplyFromQuery(UVCRequest &request, const V4L2Call &call, const V4L2ControlInfo &info)
{
    if (info.flags & V4L2_CTRL_FLAG_DISABLED) {
        return false;
    }
    const bool menu = call.control.exposureModeMenu;
    switch (request.bRequest) {
    case UVCRequestCode::GetInfo: {
        uint8_t bits = 0;
        if (!(info.flags & V4L2_CTRL_FLAG_WRITE_ONLY)) {
            bits |= 0x01;
        }
        if (!(info.flags & V4L2_CTRL_FLAG_READ_ONLY)) {
            bits |= 0x02;
        }
        if (info.flags & V4L2_CTRL_FLAG_INACTIVE) {
            bits |= 0x04; // disabled while its automatic mode is on
        }
        if (info.flags & V4L2_CTRL_FLAG_VOLATILE) {
            bits |= 0x08; // the camera changes it by itself
        }
        request.data[0] = bits;
        return true;
    }
    case UVCRequestCode::GetMin:
    case UVCRequestCode::GetMax:
        // The mode bitmap has no range; its resolution lists the modes.
        if (menu) {
            return false;
        }
        putLittleEndian(request, request.bRequest == UVCRequestCode::GetMin ? info.minimum
                                                                            : info.maximum);
        return true;
    case UVCRequestCode::GetRes:
        if (menu) {
            uint32_t modes = 0;
            for (int32_t i = 0; i < int32_t(std::size(kModeBits)); ++i) {
                if (info.menuMask & (1u << i)) {
                    modes |= modeBitForMenuIndex(i);
                }
            }
            putLittleEndian(request, modes);
        } else {
            putLittleEndian(request, info.step);
        }
        return true;
    case UVCRequestCode::GetDef:
        if (menu) {
            const uint8_t bit = modeBitForMenuIndex(info.defaultValue);
            if (!bit) {
                return false;
            }
            putLittleEndian(request, bit);
        } else {
            putLittleEndian(request, info.defaultValue);
        }
        return true;
    default:
        return false;
    }
}

bool uvcReplyFromValue(UVCRequest &request, const V4L2Call &call, int32_t value)
{
    if (request.bRequest != UVCRequestCode::GetCur) {
        return false;
    }
    if (call.control.exposureModeMenu) {
        const uint8_t bit = modeBitForMenuIndex(value);
        if (!bit) {
            return false;
        }
        putLittleEndian(request, bit);
        return true;
    }
    putLittleEndian(request, value);
    return true;
}
