#pragma once

#include "video/subprocessor.h"

/// Turns the picture for a camera mounted sideways (CameraRotation 0 none, 1 a
/// quarter turn clockwise between black side pillars, 2 a quarter turn filling the
/// frame) and tilts it by FineCameraRotation half-degrees, zooming about the frame
/// centre so that no corner is left empty. Positive angles turn the picture
/// counter-clockwise as seen.
class ImageRotateSP : public SubProcessor
{
    Q_OBJECT
public:
    ImageRotateSP();

    /// Zoom, angle and pillar width for a frame size and the two settings' values.
    struct Geometry
    {
        float degrees = 0;   // fine angle d
        float zoom = 1;      // s
        double radians = 0;  // a, counter-clockwise as seen
        float pillarWidth = 0;
    };
    static Geometry geometry(float width, float height, int64_t coarse, int64_t fine);

    /// The least zoom about the centre at which a width x height picture turned by
    /// `radians` still covers the whole frame.
    static float coverZoom(float width, float height, double radians);

    /// Where each output pixel of a width x height frame samples the source: the zoom
    /// and turn of `g` about the centre.
    static kernels::Affine sourceMap(const Geometry &g, int width, int height);

    /// The part of a width x height picture that the turn of these two values reads
    /// (the whole picture when neither turns it; an empty area when the pillars cover
    /// every column): earlier stages need make no more.
    static kernels::Area sourceArea(int width, int height, int64_t coarse, int64_t fine);

    using SubProcessor::processImage;
    /// Uses the two records' values only. Writes into the render target.
    VideoImage processImage(const VideoImage &image, const float &width, const float &height,
                            const CameraSetting &coarse, const CameraSetting &fine);
};
