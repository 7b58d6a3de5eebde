#pragma once

#include "video/subprocessor.h"

/// The segmentation stage: the person mask of the camera frame, from the
/// selfie segmentation model (its landscape variant, whose 256x144 input has
/// the frame's 16:9 shape). The output is an 8-bit mask at the model's own
/// size, 255 where the person is; like every mask it stands for the whole frame,
/// and whoever uses it scales it to the frame.
class PersonSegmentationSP : public SubProcessor
{
    Q_OBJECT
public:
    /// Loads the model; a stage whose model cannot be loaded logs why once and
    /// fails every run with "Error during segmentation".
    PersonSegmentationSP();
    ~PersonSegmentationSP() override;

    /// Caller's thread (the pipeline's or the stage's worker, one at a time).
    /// The person mask of image's frame, which width x height stands for; the previous
    /// mask when rate-limited; null on failure or when no person is found, with
    /// the stored mask left as it was. The setting is not used.
    VideoImage processImage(const VideoImage &image, const float &width, const float &height,
                            const CameraSetting &setting) override;

    /// A run finds no person when fewer than this share of the model's
    /// pixels reach probability 0.5. The model always answers with some map,
    /// so an empty scene shows up as a nearly empty one.
    static constexpr float MinimumPersonShare = 0.01f;

private:
    struct Opaque;
    VideoImage segment(const VideoImage &image, int width, int height);
};
