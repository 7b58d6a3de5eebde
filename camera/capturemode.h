#pragma once

#include <QList>
#include <QSize>
#include <QString>

#include <cstdint>
#include <optional>

/// Four-character codes of the camera pixel formats the capture path reads; the values are the
/// V4L2 codes, so a V4L2 format maps across unchanged.
namespace PixelFormat {

constexpr uint32_t fourcc(char a, char b, char c, char d)
{
    return static_cast<uint32_t>(static_cast<uint8_t>(a))
        | static_cast<uint32_t>(static_cast<uint8_t>(b)) << 8
        | static_cast<uint32_t>(static_cast<uint8_t>(c)) << 16
        | static_cast<uint32_t>(static_cast<uint8_t>(d)) << 24;
}

constexpr uint32_t Yuyv = fourcc('Y', 'U', 'Y', 'V');
constexpr uint32_t Uyvy = fourcc('U', 'Y', 'V', 'Y');
constexpr uint32_t Nv12 = fourcc('N', 'V', '1', '2');
/// Planar 4:2:0: I420 (U plane before V) and YV12 (V before U).
constexpr uint32_t Yu12 = fourcc('Y', 'U', '1', '2');
constexpr uint32_t Yv12 = fourcc('Y', 'V', '1', '2');
constexpr uint32_t Mjpeg = fourcc('M', 'J', 'P', 'G');
constexpr uint32_t Jpeg = fourcc('J', 'P', 'E', 'G');
/// Bytes B, G, R, A (V4L2 calls it ABGR32).
constexpr uint32_t Bgra = fourcc('A', 'R', '2', '4');
/// Bytes B, G, R and one unused (V4L2 XBGR32).
constexpr uint32_t Bgrx = fourcc('X', 'R', '2', '4');

/// Whether frames of this format can be converted to BGRA.
bool isSupported(uint32_t format);
/// The four characters, for log lines.
QString name(uint32_t format);

} // namespace PixelFormat

/// One way a camera can stream: pixel format, frame size and its best frame rate.
struct CaptureMode
{
    uint32_t pixelFormat = 0;
    int width = 0;
    int height = 0;
    double maxFps = 0;
};

/// The mode that best serves frames of `requested` size: a supported format, a usable frame
/// rate, at least the requested size (the smallest such, of the same shape when there is one),
/// else the largest; an uncompressed format on a tie. Nothing when no mode is supported.
std::optional<CaptureMode> chooseCaptureMode(const QList<CaptureMode> &modes, QSize requested);
