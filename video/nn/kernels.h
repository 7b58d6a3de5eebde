#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

namespace nn {

/// Lanes of one kernel vector; packed weights and biases are padded to it.
constexpr int Lanes = 8;
constexpr int roundUpLanes(int n) { return (n + Lanes - 1) / Lanes * Lanes; }

/// What happens to a result before it is stored: first a clamp (the fused
/// activation of the operator), then an activation that was a separate
/// operator in the file and is folded in because only this result feeds it.
enum class PostOp : uint8_t { None, HardSwish, Logistic };

struct Epilogue
{
    float lo = -std::numeric_limits<float>::infinity();
    float hi = std::numeric_limits<float>::infinity();
    PostOp post = PostOp::None;
};

/// A convolution-like step over NHWC tensors (batch 1).
/// Conv weights are packed per block of Lanes output channels as
/// [block][kH][kW][inC][Lanes]; depthwise weights as [kH][kW][roundUpLanes(C)];
/// transposed-convolution weights stay as in the file, [outC][kH][kW][inC].
/// The bias is padded with zeros to roundUpLanes(outC).
struct ConvArgs
{
    const float *in = nullptr;
    int inH = 0, inW = 0, inC = 0;
    float *out = nullptr;
    int outH = 0, outW = 0, outC = 0;
    const float *weights = nullptr;
    const float *bias = nullptr;
    int kH = 1, kW = 1;
    int strideH = 1, strideW = 1;
    int padTop = 0, padLeft = 0;
    Epilogue epi;
};

enum class BinaryOp : uint8_t { Add, Mul };

/// a (pixels x channels) combined with b, which is either the same shape or
/// one value per channel (broadcast over the pixels).
struct BinaryArgs
{
    const float *a = nullptr;
    const float *b = nullptr;
    float *out = nullptr;
    size_t pixels = 0;
    int channels = 0;
    bool perChannel = false;
    BinaryOp op = BinaryOp::Add;
    Epilogue epi;
};

/// Bilinear resampling with source positions and weights precomputed per
/// output row and column.
struct ResizeArgs
{
    const float *in = nullptr;
    int inW = 0, channels = 0;
    float *out = nullptr;
    int outW = 0;
    const int32_t *x0 = nullptr, *x1 = nullptr, *y0 = nullptr, *y1 = nullptr;
    const float *fx = nullptr, *fy = nullptr;
};

/// One instruction-set variant of every kernel. Row ranges are output rows
/// [rowBegin, rowEnd), element ranges [begin, end): disjoint ranges may run on
/// different threads at once.
struct Kernels
{
    const char *name;
    void (*conv)(const ConvArgs &, int rowBegin, int rowEnd);
    void (*depthwise)(const ConvArgs &, int rowBegin, int rowEnd);
    void (*transposeConv)(const ConvArgs &, int rowBegin, int rowEnd);
    void (*globalMean)(const float *in, size_t pixels, int channels, float *out);
    void (*binary)(const BinaryArgs &, size_t pixelBegin, size_t pixelEnd);
    void (*activation)(const float *in, float *out, const Epilogue &, size_t begin, size_t end);
    void (*resize)(const ResizeArgs &, int rowBegin, int rowEnd);
    /// One row of an 8-bit mask: round(255 * clamp(top * (1 - fy) + bottom * fy, 0, 1)).
    void (*maskRow)(const float *top, const float *bottom, float fy, uint8_t *out, int count);
};

/// Source positions [i0, i1] and weight f of i1 for bilinear resampling of
/// `in` samples to `out`, as TFLite's RESIZE_BILINEAR places them; with
/// half-pixel centres this is the pixel-centre rule clamped at the edges.
void bilinearTable(int in, int out, bool alignCorners, bool halfPixelCenters, std::vector<int32_t> &i0,
                   std::vector<int32_t> &i1, std::vector<float> &f);

const Kernels &baselineKernels();
/// The AVX2/FMA variant; only for CPUs that have both.
const Kernels &avx2Kernels();
/// The fastest variant this CPU runs, chosen once.
const Kernels &bestKernels();

} // namespace nn
