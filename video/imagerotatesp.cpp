#include "video/imagerotatesp.h"

#include "video/kernels.h"

#include <QDebug>

#include <algorithm>
#include <cmath>
#include <utility>

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

// The black pillars of a quarter turn: how much of each side they cover, in pixels.
float pillarCover(const ImageRotateSP::Geometry &g, float width)
{
    return std::min(g.pillarWidth, width * 0.5f);
}

} // namespace

kernels::Affine ImageRotateSP::sourceMap(const Geometry &g, int width, int height)
{
    // Our rows run downwards, so a turn that is counter-clockwise as seen is
    // clockwise in raster coordinates.

    const double c = std::cos(g.radians) / g.zoom, s = std::sin(g.radians) / g.zoom;
    const double cx = width * 0.5, cy = height * 0.5;
    kernels::Affine map;
    map.xx = c;
    map.xy = -s;
    map.yx = s;
    map.yy = c;
    map.x0 = c * (0.5 - cx) - s * (0.5 - cy) + cx - 0.5;
    map.y0 = s * (0.5 - cx) + c * (0.5 - cy) + cy - 0.5;
    return map;
}

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

kernels::Area ImageRotateSP::sourceArea(int width, int height, int64_t coarse, int64_t fine)
{
    if ((coarse == 0 && fine == 0) || width < 1 || height < 1)
        return kernels::Area::whole(width, height);
    const Geometry g = geometry(float(width), float(height), coarse, fine);
    const kernels::Affine map = sourceMap(g, width, height);
    const int solid = coarse == 1 ? int(pillarCover(g, float(width))) : 0;
    if (solid >= width - solid)
        return {};
    // The map is affine: the corners of the columns that get the picture bound what
    // it reads.
    double u0 = HUGE_VAL, u1 = -HUGE_VAL, v0 = HUGE_VAL, v1 = -HUGE_VAL;
    for (const int x : {solid, width - solid - 1})
        for (const int y : {0, height - 1}) {
            const double u = map.xx * x + map.xy * y + map.x0, v = map.yx * x + map.yy * y + map.y0;
            u0 = std::min(u0, u);
            u1 = std::max(u1, u);
            v0 = std::min(v0, v);
            v1 = std::max(v1, v);
        }
    // A sample reads its pixel and the next one; a pixel more on each side covers the
    // rounding of the warp's fixed-point steps.
    const auto span = [](double lo, double hi, int size) {
        const int begin = std::clamp(int(std::floor(lo)) - 1, 0, size);
        return std::pair(begin, std::clamp(int(std::floor(hi)) + 3, begin, size));
    };
    const auto [left, right] = span(u0, u1, width);
    const auto [top, bottom] = span(v0, v1, height);
    return {left, top, right, bottom};
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

        const kernels::Affine map = sourceMap(g, in.width(), in.height());

        int clipBegin = 0, clipEnd = in.width();
        if (coarse.value == 1) {
            if (!d->hasPillars || d->pillarFrameWidth != int(width) || d->pillarFrameHeight != int(height)
                || d->pillarAngle != g.degrees) {
                qDebug() << "ImageRotateSP::processImage -> recreating black pillar background image";
                d->hasPillars = true;
                d->pillarFrameWidth = int(width);
                d->pillarFrameHeight = int(height);
                d->pillarAngle = g.degrees;
                const float p = pillarCover(g, width);
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
