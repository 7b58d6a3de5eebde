#include "video/imagerotatesp.h"

#include "video/kernels.h"

#include <QDebug>

#include <algorithm>
#include <cmath>

namespace {

constexpr float DegreesToRadians = 0.017444445f; // 3.14 / 180, as the angles were tuned
constexpr uint32_t OpaqueBlack = 0xFF000000u;

struct ImageRotateSPOpaque : SubProcessor::OpaqueBase
{
    using OpaqueBase::OpaqueBase;
    ~ImageRotateSPOpaque() override { qDebug() << "ImageRotateSPOpaque::Opaque DCTOR!"; }

    const kernels::Table &k = kernels::best();

    // The black side pillars, kept until the frame size or the fine angle changes:
    // whole black columns up to `solid` on the left and from `width - solid` on the
    // right, and the column beside each covered by `edgeCover` (0..1).
    bool hasPillars = false;
    int pillarFrameWidth = 0;
    int pillarFrameHeight = 0;
    float pillarAngle = 0;
    int solid = 0;
    float edgeCover = 0;
};

// Darkens one column to (1 - cover) of itself: the part of an edge pixel that the
// pillar covers.
void coverColumn(Frame &frame, int x, float cover)
{
    if (x < 0 || x >= frame.width() || cover <= 0)
        return;
    const int keep = int(std::lround((1.0f - cover) * 256));
    for (int y = 0; y < frame.height(); ++y) {
        uint8_t *p = frame.row(y) + 4 * x;
        for (int c = 0; c < 3; ++c)
            p[c] = uint8_t((p[c] * keep + 128) >> 8);
        p[3] = 255;
    }
}

} // namespace

ImageRotateSP::ImageRotateSP()
{
    m_opaque = std::make_shared<ImageRotateSPOpaque>(this);
}

float ImageRotateSP::coverZoom(float width, float height, double radians)
{
    // The frame turned by the angle spans these half-extents; the picture, zoomed
    // by s, must reach past them on both axes.
    const double c = std::abs(std::cos(radians)), s = std::abs(std::sin(radians));
    const double halfW = 0.5 * width, halfH = 0.5 * height;
    const double spanX = halfW * c + halfH * s, spanY = halfW * s + halfH * c;
    return float(std::max(spanX / halfW, spanY / halfH));
}

ImageRotateSP::Geometry ImageRotateSP::geometry(float width, float height, int64_t coarse, int64_t fine)
{
    Geometry g;
    g.degrees = float(fine) * 0.5f;
    const float r = std::abs(g.degrees) * DegreesToRadians;
    g.radians = double(g.degrees * DegreesToRadians);
    if (coarse != 0)
        g.radians += -1.5707963267948966; // a quarter turn clockwise
    if (coarse == 1)
        g.zoom = (height / width) * 1.75f;
    else
        g.zoom = coverZoom(width, height, g.radians);
    // The turned picture is s * height wide.
    g.pillarWidth = std::max(0.0f, (width - g.zoom * height) * 0.5f) * (r + 1.0f);
    return g;
}

VideoImage ImageRotateSP::processImage(const VideoImage &image, const float &width,
                                       const float &height, const CameraSetting &coarse,
                                       const CameraSetting &fine)
{
    auto *d = static_cast<ImageRotateSPOpaque *>(m_opaque.get());
    return runLimited(image, [&]() -> VideoImage {
        if (!image.frame)
            return {};
        if (coarse.value == 0 && fine.value == 0)
            return image;
        const Frame &in = *image.frame;
        const Geometry g = geometry(width, height, coarse.value, fine.value);

        // Each output pixel samples the source where the zoom and turn about the
        // centre take it from. Our rows run downwards, so a turn that is
        // counter-clockwise as seen is clockwise in raster coordinates.
        const double c = std::cos(g.radians) / g.zoom, s = std::sin(g.radians) / g.zoom;
        const double cx = in.width() * 0.5, cy = in.height() * 0.5;
        kernels::Affine map;
        map.xx = c;
        map.xy = -s;
        map.yx = s;
        map.yy = c;
        map.x0 = c * (0.5 - cx) - s * (0.5 - cy) + cx - 0.5;
        map.y0 = s * (0.5 - cx) + c * (0.5 - cy) + cy - 0.5;

        int clipBegin = 0, clipEnd = in.width();
        if (coarse.value == 1) {
            if (!d->hasPillars || d->pillarFrameWidth != int(width) || d->pillarFrameHeight != int(height)
                || d->pillarAngle != g.degrees) {
                qDebug() << "ImageRotateSP::processImage -> recreating black pillar background image";
                d->hasPillars = true;
                d->pillarFrameWidth = int(width);
                d->pillarFrameHeight = int(height);
                d->pillarAngle = g.degrees;
                const float p = std::min(g.pillarWidth, width * 0.5f);
                d->solid = int(p);
                d->edgeCover = p - float(d->solid);
            }
            clipBegin = d->solid;
            clipEnd = in.width() - d->solid;
        }
        FrameRef out = takeRenderTarget(in.width(), in.height());
        d->k.warp({in.data(), in.width(), in.height(), in.stride()},
                  {out->data(), out->width(), out->height(), out->stride()}, map, clipBegin, clipEnd,
                  OpaqueBlack);
        if (coarse.value == 1) {
            coverColumn(*out, clipBegin, d->edgeCover);
            coverColumn(*out, clipEnd - 1, d->edgeCover);
        }
        out->setTimestampUs(in.timestampUs());
        return {out, nullptr};
    });
}
