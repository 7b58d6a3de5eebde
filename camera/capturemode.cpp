#include "camera/capturemode.h"

#include <tuple>

namespace PixelFormat {

bool isSupported(uint32_t format)
{
    return format == Yuyv || format == Uyvy || format == Nv12 || format == Yu12 || format == Yv12
        || format == Mjpeg || format == Jpeg || format == Bgra || format == Bgrx;
}

QString name(uint32_t format)
{
    QString text;
    for (int i = 0; i < 4; ++i)
        text += QChar(static_cast<char>((format >> (8 * i)) & 0xff));
    return text;
}

} // namespace PixelFormat

namespace {

// Below this a moving picture looks jerky; such a mode only wins when nothing faster exists.
constexpr double UsableFps = 24.0;

// Lower is cheaper per frame: a copy, then the YUV conversions, then a JPEG decode.
int formatCost(uint32_t format)
{
    if (format == PixelFormat::Bgra || format == PixelFormat::Bgrx)
        return 0;
    if (format == PixelFormat::Yuyv || format == PixelFormat::Uyvy || format == PixelFormat::Nv12
        || format == PixelFormat::Yu12 || format == PixelFormat::Yv12)
        return 1;
    return 2;
}

} // namespace

std::optional<CaptureMode> chooseCaptureMode(const QList<CaptureMode> &modes, QSize requested)
{
    // A lexicographic key per mode; the smallest key wins.
    auto key = [requested](const CaptureMode &m) {
        const bool usable = m.maxFps >= UsableFps || m.maxFps <= 0;
        const bool covers = m.width >= requested.width() && m.height >= requested.height();
        const bool sameShape = static_cast<int64_t>(m.width) * requested.height()
            == static_cast<int64_t>(m.height) * requested.width();
        const int64_t area = static_cast<int64_t>(m.width) * m.height;
        return std::make_tuple(!usable, usable ? 0.0 : -m.maxFps, !covers, !sameShape,
            covers ? area : -area, formatCost(m.pixelFormat));
    };
    std::optional<CaptureMode> best;
    for (const CaptureMode &mode : modes) {
        if (!PixelFormat::isSupported(mode.pixelFormat) || mode.width <= 0 || mode.height <= 0)
            continue;
        if (!best || key(mode) < key(*best))
            best = mode;
    }
    return best;
}
