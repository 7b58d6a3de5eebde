#pragma once

// Internal to the capture layer and its tests: the V4L2 provider and its sysfs helpers.

#include "camera/capturesource.h"
#include "camera/frameconverter.h"

#include <QString>

#include <linux/videodev2.h>

#include <cstdint>
#include <memory>
#include <optional>

/// The V4L2 cameras: /dev/video* nodes that capture video (metadata nodes are skipped), in
/// node-number order.
std::shared_ptr<CameraProvider> makeV4l2CameraProvider();

namespace v4l2 {

/// Whether a node with these capabilities is a camera to list: it captures and streams video,
/// and it is not the virtual camera's own loopback node.
bool listedAsCamera(const v4l2_capability &cap);

/// A USB device's location id as macOS forms it, which the UVC layer uses too: the bus number in
/// the top byte, then one nibble per port of the port path ("1.4" on bus 3 gives 0x03140000).
/// Nothing for a malformed path.
std::optional<uint32_t> locationId(int busNumber, const QString &portPath);

/// The unique id of a capture node from its sysfs directory (/sys/class/video4linux/videoN):
/// "0x" + location id + vendor id + product id for a USB camera; empty when the node does not
/// belong to a USB device.
QString usbUniqueId(const QString &sysfsNodeDir);

/// The quantisation range of a YUV format as V4L2 reports it (v4l2_pix_format's quantization,
/// colorspace and ycbcr_enc): limited unless the driver says full, or leaves it to the default
/// of a colour space whose default is full (JPEG).
FrameConverter::Range yuvRange(uint32_t quantization, uint32_t colorspace, uint32_t ycbcrEncoding);

} // namespace v4l2
