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

    /// How much of the blurred picture replaces the sharp one behind the person
    /// (0..1). The quarter-size picture cannot blur by less than about 2 px, so
    /// below that radius the background fades from sharp towards that least blur in
    /// proportion to the radius, and every step of the setting shows; 1 above it.
    static float backgroundWeight(float width, float height, const CameraSetting &blur);

    /// `mask` with its background part kept only to `weight`: a person mask for a
    /// blend that mixes in only that share of the blurred background. Returns `into`.
    static const Mask &weakenBackground(const Mask &mask, float weight, Mask &into);
};
