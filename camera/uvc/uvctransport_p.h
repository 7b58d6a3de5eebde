#pragma once

// Internal to the Linux transports: shared by the libusb enumeration and the V4L2 layer.

#include "camera/uvc/uvctransport.h"

#include <memory>
#include <string>

/// Requests travel as V4L2 controls on the video node of the driver that
/// holds the VideoControl interface.
std::unique_ptr<UVCTransport> makeV4L2Transport(std::string videoNode, uint8_t processingUnitId);
