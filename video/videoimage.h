#pragma once

#include "camera/frame.h"

#include <cstdint>
#include <memory>
#include <vector>

/// A one-channel 8-bit picture, rows `width` bytes apart: a person mask, 255 where
/// the person is.
struct Mask
{
    int width = 0;
    int height = 0;
    std::vector<uint8_t> pixels;
};

using MaskRef = std::shared_ptr<const Mask>;

/// What the effect stages take and hand on: a BGRA frame or a person mask. Either
/// stands for the whole camera frame whatever its own size (a mask, or a background
/// blurred at a quarter of the size); whoever uses it scales it to the frame.
struct VideoImage
{
    FrameRef frame;
    MaskRef mask;

    bool isNull() const { return !frame && !mask; }
};
