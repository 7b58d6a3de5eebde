#pragma once

// Internal to the V4L2 transport; shared with its tests.

#include "camera/uvc/uvctransport.h"

#include <cstdint>
#include <optional>

/// The V4L2 control that carries the same meaning as one UVC control.
struct UVCV4L2Control
{
    uint32_t id = 0;
    uint8_t byteSize = 0; // of the UVC payload
    bool isSigned = false;
    /// V4L2_CID_EXPOSURE_AUTO: a menu index on the V4L2 side, a one-bit mode
    /// bitmap on the UVC side.
    bool exposureModeMenu = false;
};

enum class V4L2Operation { QueryControl, GetControl, SetControl };

/// The ioctl a UVC request becomes.
struct V4L2Call
{
    V4L2Operation operation = V4L2Operation::QueryControl;
    UVCV4L2Control control;
    int32_t value = 0; // for SetControl
};

/// What VIDIOC_QUERYCTRL (and, for menus, VIDIOC_QUERYMENU) said about a control.
struct V4L2ControlInfo
{
    int32_t minimum = 0;
    int32_t maximum = 0;
    int32_t step = 0;
    int32_t defaultValue = 0;
    uint32_t flags = 0;    // V4L2_CTRL_FLAG_*
    uint32_t menuMask = 0; // bit i: menu index i exists
};

/// The V4L2 control for a UVC unit and selector; the terminal is unit 1 as the
/// controller addresses it, the processing unit has processingUnitId.
std::optional<UVCV4L2Control> uvcV4L2ControlFor(uint8_t unitId, uint8_t selector,
                                                uint8_t processingUnitId);

/// The ioctl for a request: GET_INFO/MIN/MAX/RES/DEF query the control,
/// GET_CUR reads it, SET_CUR writes the payload. Nothing when the request has
/// no V4L2 counterpart (unmapped control, bad length, a mode bitmap that is
/// not exactly one known mode).
std::optional<V4L2Call> v4l2CallForRequest(const UVCRequest &request, uint8_t processingUnitId);

/// Fills request.data from a query; false when the query cannot answer this
/// request (a disabled control, or a range asked of the exposure mode menu).
bool uvcReplyFromQuery(UVCRequest &request, const V4L2Call &call, const V4L2ControlInfo &info);
/// Fills request.data from a VIDIOC_G_CTRL value.
bool uvcReplyFromValue(UVCRequest &request, const V4L2Call &call, int32_t value);
