#pragma once

#include "video/subprocessor.h"

/// Blurs the whole camera frame for the background behind the person. The output is
/// the blurred frame at a quarter of its size (the blend scales it back), made in a
/// time that does not depend on the radius; edges repeat, so borders do not darken.
/// At most 35 runs a second; in between the last blurred frame is reused.
class ImageBlurSP : public SubProcessor
{
    Q_OBJECT
public:
    ImageBlurSP();

    /// Uses the record's value, minimum and maximum.
    VideoImage processImage(const VideoImage &image, const float &width, const float &height,
                            const CameraSetting &blur) override;

    /// Gaussian radius (standard deviation) in frame pixels:
    /// max(width, height) * (value - min) / (max - min) * 0.0125.
    static double blurRadius(float width, float height, const CameraSetting &blur);
};
