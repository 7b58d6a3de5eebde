#pragma once

#include "camera/scaleplan.h"

#include <QImage>

#include <cstdint>
#include <vector>

/// The picture of a simulated camera: a head-and-shoulders portrait, gently panned and zoomed,
/// with a dot that circles and a frame counter, so that every frame differs and the video
/// effects have a real person to work on. The portrait is .deps/astronaut.png from the set-up
/// (looked up beside the sources and in the installed data folder); without it a drawn person
/// stands in.
class SimulatedScene
{
public:
    SimulatedScene();

    /// Draws frame number `frame` (30 per second of scene time) into a BGRA picture; every
    /// pixel is opaque.
    void render(uint8_t *bgra, int stride, int width, int height, int64_t frame);

    /// Encodes a packed BGRA picture in a camera pixel format (YUYV, UYVY, NV12, YU12, MJPEG,
    /// BGRA/BGRX) into `out`, packed as a camera sends it. False for any other format.
    [[nodiscard]] static bool encode(uint32_t pixelFormat, const uint8_t *bgra, int width,
        int height, std::vector<uint8_t> &out);

    /// The part of a width x height picture that the scene's labels (the frame counter and
    /// the circling dot) keep to: far enough from the edges that the preview's rounded
    /// corners never cut into them.
    static QRect safeArea(int width, int height);

    /// The portrait the scene is built from, opaque (QImage::Format_RGB32); loaded once.
    static const QImage &portrait();

private:
    ScalePlan m_plan;
};
