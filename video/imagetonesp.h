#pragma once

#include "video/subprocessor.h"

/// Shifts the hue of skin-coloured areas only: a skin mask from the chroma of a
/// picture a quarter of the size, scaled back up, mixes the frame towards its
/// hue-turned self. SkinTone 50 of 0..100 is neutral.
class ImageToneSP : public SubProcessor
{
    Q_OBJECT
public:
    ImageToneSP();

    /// Uses the record's value, minimum and maximum. Writes into the render target.
    VideoImage processImage(const VideoImage &image, const float &width, const float &height,
                            const CameraSetting &skinTone) override;

    /// The hue turn in radians for a SkinTone record: 0.5 - (value - min) / (max - min).
    static float hueAngle(const CameraSetting &skinTone);
};
