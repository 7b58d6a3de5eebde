#pragma once

#include "video/subprocessor.h"

#include <atomic>

/// Stands in for person segmentation where the mask is given: benchmarks, offline
/// rendering and tests. Hands on the same mask at every run and counts its runs.
class GivenMaskSP : public SubProcessor
{
public:
    explicit GivenMaskSP(MaskRef mask) : m_mask(std::move(mask)) { setMaximumRate(1000000); }

    VideoImage processImage(const VideoImage &image, const float &, const float &,
                            const CameraSetting &) override
    {
        return runLimited(image, [&] {
            ++runs;
            return VideoImage{nullptr, m_mask};
        });
    }

    std::atomic<int> runs{0};

private:
    MaskRef m_mask;
};
