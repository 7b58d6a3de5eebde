#pragma once

#include "camera/convert_kernels.h"
#include "camera/scaleplan.h"

#include <QRect>
#include <QSize>

#include <cstdint>
#include <memory>
#include <vector>

class Frame;

/// Turns camera frames of one pixel format and size into BGRA frames of exactly the requested
/// size: decodes (YUYV, UYVY, NV12, I420/YV12, MJPEG, BGRA/BGRX), crops the sides to the requested shape, halves
/// with a box filter while the picture is at least twice too big, and scales the rest bilinearly.
/// Buffers and tables are made in configure(), never per frame. One capture thread uses it.
class FrameConverter
{
public:
    FrameConverter();
    ~FrameConverter();
    FrameConverter(const FrameConverter &) = delete;
    FrameConverter &operator=(const FrameConverter &) = delete;

    /// The quantisation range of YUV input.
    enum class Range { Limited, Full };

    /// Prepares for frames of `pixelFormat` and `sourceSize` whose rows are `bytesPerLine` apart
    /// (0: packed; for the planar formats the luma rows, the chroma rows being half as long), to
    /// become `targetSize`. False, with a log line, for a format it cannot read.
    [[nodiscard]] bool configure(uint32_t pixelFormat, QSize sourceSize, int bytesPerLine,
        QSize targetSize, Range range = Range::Limited);

    /// Converts one frame into `out` (of the target size). False when the data is short or
    /// corrupt: the frame is dropped; the first of a run of bad frames is logged.
    [[nodiscard]] bool convert(const uint8_t *data, size_t bytes, Frame &out);

    /// Frames dropped since configure().
    int droppedFrames() const { return m_dropped; }

    /// Chooses kernels other than the fastest the CPU has (tests and benchmarks).
    void setKernels(const convert::Kernels &kernels) { m_kernels = &kernels; }

private:
    struct Picture
    {
        uint8_t *data = nullptr;
        int stride = 0;
        int width = 0;
        int height = 0;
    };
    struct Buffer
    {
        std::vector<uint8_t> bytes;
        int stride = 0;
        int width = 0;
        int height = 0;
        Picture picture() { return { bytes.data(), stride, width, height }; }
    };

    enum class FinalStep { None, Halve, Copy, Scale };

    bool planStages();
    bool decodeRaw(const uint8_t *data, size_t bytes, const Picture &into);
    bool decodeJpeg(const uint8_t *data, size_t bytes, const Picture &target);
    void resample(const Picture &out);
    bool drop(const char *reason);
    bool dropJpeg();

    const convert::Kernels *m_kernels;
    uint32_t m_format = 0;
    Range m_range = Range::Limited;
    QSize m_source;
    int m_bytesPerLine = 0;
    QSize m_target;
    QSize m_decoded; // after the JPEG decoder's own scaling
    int m_jpegScaleNum = 1;
    int m_jpegScaleDenom = 1;
    bool m_decodeIntoTarget = false; // the decoded picture already has the target size
    Buffer m_decodeBuffer;
    QRect m_crop; // the part of the decoded picture that has the target's shape
    std::vector<Buffer> m_halves; // each half the size of the one before
    FinalStep m_finalStep = FinalStep::None;
    ScalePlan m_scale;
    void *m_jpeg = nullptr; // tjhandle, made on the first JPEG format
    int m_dropped = 0;
    bool m_failing = false;
};
