#pragma once

#include <cstddef>
#include <cstdint>

/// The per-pixel work of the video effects: free functions over pointer + stride,
/// no Qt types, no allocation, no locks. Each instruction set has its own table
/// (kernels_baseline.cpp for every x86-64 CPU, kernels_avx2.cpp for AVX2 + FMA);
/// stages pick one table when they are built.
namespace kernels {

/// A BGRA picture as kernels see it: 4 bytes a pixel, rows `stride` bytes apart.
struct Bgra
{
    uint8_t *data = nullptr;
    int width = 0;
    int height = 0;
    int stride = 0;
};

struct ConstBgra
{
    const uint8_t *data = nullptr;
    int width = 0;
    int height = 0;
    int stride = 0;
    ConstBgra() = default;
    ConstBgra(const uint8_t *d, int w, int h, int s) : data(d), width(w), height(h), stride(s) { }
    ConstBgra(const Bgra &b) : data(b.data), width(b.width), height(b.height), stride(b.stride) { }
};

/// One 8-bit channel (a mask), rows `stride` bytes apart.
struct Gray
{
    uint8_t *data = nullptr;
    int width = 0;
    int height = 0;
    int stride = 0;
};

struct ConstGray
{
    const uint8_t *data = nullptr;
    int width = 0;
    int height = 0;
    int stride = 0;
};

/// The part of a picture a kernel writes: columns [x0, x1) of rows [y0, y1). The
/// pixels outside are left as they were.
struct Area
{
    int x0 = 0, y0 = 0, x1 = 0, y1 = 0;
    static Area whole(int width, int height) { return {0, 0, width, height}; }
};

/// Maps an output pixel (x, y) to the source position it samples:
/// u = xx * x + xy * y + x0, v = yx * x + yy * y + y0, in source pixels with
/// whole numbers at pixel centres.
struct Affine
{
    double xx = 1, xy = 0, x0 = 0;
    double yx = 0, yy = 1, y0 = 0;
};

struct Table
{
    const char *name;

    /// dst (ceil(w / 4) x ceil(h / 4)) = 4 x 4 box average of src; the last row and
    /// column repeat where src is not a multiple of 4.
    void (*downscale4)(ConstBgra src, Bgra dst);

    /// Skin probability of each src pixel from its YCbCr chroma (0..255); alpha ignored.
    void (*skinMask)(ConstBgra src, Gray dst);

    /// dst = src mixed towards src turned by the 3 x 3 row-major colour matrix
    /// (applied to R, G, B), by the mask upscaled bilinearly to the frame; alpha is
    /// src's. Only `area` of dst is written. dst may be src. `work`: skinToneWorkBytes(width).
    void (*skinTone)(ConstBgra src, ConstGray mask, const float *matrix, Bgra dst, uint8_t *work, Area area);

    /// Gaussian-like blur of standard deviation `sigma` (pixels of src) by three
    /// extended box passes each way, edges repeated; the cost does not depend on
    /// sigma. dst has src's size and may be src. `work`: blurWorkBytes(w, h).
    void (*blur)(ConstBgra src, Bgra dst, float sigma, uint8_t *work);

    /// dst = fg where the mask is 255, bg where it is 0, mixed between; bg and mask
    /// cover the frame at their own sizes and are upscaled bilinearly. Only `area` of
    /// dst is written. dst may be fg. `work`: blendWorkBytes(width).
    void (*blendMask)(ConstBgra fg, ConstBgra bg, ConstGray mask, Bgra dst, uint8_t *work, Area area);

    /// Bilinear resampling of src through `map`. Output pixels whose sample falls
    /// outside src, or whose column lies outside [clipBegin, clipEnd), get `fill`
    /// (a BGRA value as a little-endian word). dst must not overlap src.
    void (*warp)(ConstBgra src, Bgra dst, const Affine &map, int clipBegin, int clipEnd,
                 uint32_t fill);

    /// Composes the premultiplied picture src over dst with its top-left corner at
    /// (x, y), clipped to dst.
    void (*over)(ConstBgra src, Bgra dst, int x, int y);
};

size_t skinToneWorkBytes(int width);
size_t blurWorkBytes(int width, int height);
size_t blendWorkBytes(int width);

/// The table for every x86-64 CPU.
const Table &baseline();
/// The AVX2 + FMA table, or null when this CPU lacks either.
const Table *avx2();
/// The fastest table this CPU runs; stages take it when they are built.
/// preferBaseline() makes it the baseline table from then on (benchmarks compare both paths).
const Table &best();
void preferBaseline(bool on);

/// The colour matrix that turns hue by `radians` about the grey axis (R = G = B),
/// row-major over (R, G, B); greys stay as they are.
void hueRotation(float radians, float *matrix);

/// The blur to run on a picture averaged down by 4 so that, with the averaging and
/// the bilinear upscale back (together about sigma 2), the whole amounts to a blur
/// of `sigma` full-size pixels. Smaller sigmas get that floor.
float quarterSizeSigma(float sigma);

/// That floor: the sigma, in full-size pixels, of averaging down by 4 and scaling
/// back up alone.
float quarterSizeFloor();

/// Copies src into dst (same size), row by row when the strides differ.
void copy(ConstBgra src, Bgra dst);

} // namespace kernels
