// Internal: the kernel bodies, compiled once per instruction set. Included only by
// kernels_baseline.cpp and kernels_avx2.cpp, each inside its own namespace, so no
// function here is shared between the two builds (an inline copy built with AVX2
// must never become the one the linker keeps for baseline callers). The loops are
// written on GCC vector types of Lanes pixels (4 with SSE2, 8 with AVX2), so one
// text gives both widths; the AVX2 build gathers the warp's samples in hardware.

// The including file includes <immintrin.h>, <cmath> and <cstring> first, outside
// its namespace.

namespace {

inline int clampInt(int v, int lo, int hi)
{
    return v < lo ? lo : (v > hi ? hi : v);
}

inline float clampFloat(float v, float lo, float hi)
{
    return v < lo ? lo : (v > hi ? hi : v);
}

inline uint8_t *alignUp(uint8_t *p)
{
    return reinterpret_cast<uint8_t *>((reinterpret_cast<uintptr_t>(p) + 63) & ~uintptr_t(63));
}

#ifdef __AVX2__
constexpr int Lanes = 8;
#else
constexpr int Lanes = 4;
#endif
typedef uint32_t U32 __attribute__((vector_size(Lanes * 4)));
typedef int32_t I32 __attribute__((vector_size(Lanes * 4)));
typedef int16_t I16 __attribute__((vector_size(Lanes * 4)));
typedef uint16_t U16 __attribute__((vector_size(Lanes * 4)));
typedef float F32 __attribute__((vector_size(Lanes * 4)));
typedef uint8_t U8Lanes __attribute__((vector_size(Lanes)));

inline U32 loadPixels(const uint8_t *p)
{
    U32 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// The first `count` pixels at p, the rest zero (count <= Lanes). Whole vectors
// take the constant-size copy, which compiles to one load.
inline U32 loadPixels(const uint8_t *p, int count)
{
    if (count == Lanes)
        return loadPixels(p);
    U32 v = U32{};
    for (int k = 0; k < count; ++k)
        std::memcpy(reinterpret_cast<uint8_t *>(&v) + 4 * k, p + 4 * k, 4);
    return v;
}

inline void storePixels(uint8_t *p, U32 v, int count = Lanes)
{
    if (count == Lanes) {
        std::memcpy(p, &v, sizeof v);
        return;
    }
    for (int k = 0; k < count; ++k)
        std::memcpy(p + 4 * k, reinterpret_cast<const uint8_t *>(&v) + 4 * k, 4);
}

// Bilinear step between two vectors of pixels by weights 0..128 (in both 16-bit
// halves of each lane): channels B, R and G, A are worked on in 16-bit lanes. The
// result always lies between the two inputs.
inline U32 lerpPixels(U32 a, U32 b, I16 w)
{
    const U32 low = U32{} + 0x00FF00FFu;
    const I16 aEven = I16(a & low), bEven = I16(b & low);
    const I16 aOdd = I16((a >> 8) & low), bOdd = I16((b >> 8) & low);
    const I16 even = aEven + I16(((bEven - aEven) * w + 64) >> 7);
    const I16 odd = aOdd + I16(((bOdd - aOdd) * w + 64) >> 7);
    return U32(even) | (U32(odd) << 8);
}

// One output position of a bilinear upscale: the two source samples and the
// weight of the second in 1/256.
struct Tap
{
    int32_t i0;
    int32_t i1;
    int32_t w;
};

// Pixel centres aligned: output i samples the source at (i + 0.5) * n / m - 0.5,
// clamped to the source, as a picture scaled by m / n with linear sampling would.
Tap tapAt(int i, int srcCount, int dstCount)
{
    double s = (i + 0.5) * double(srcCount) / dstCount - 0.5;
    s = s < 0 ? 0 : (s > srcCount - 1 ? srcCount - 1 : s);
    const int k = int(s);
    return {k, k + 1 < srcCount ? k + 1 : k, int((s - k) * 256.0 + 0.5)};
}

// The taps of a whole row, one array per field so that vectors of them load
// directly; each array has spare entries for the last, partial vector. The spare
// count is the widest vector of any build, because the work sizes callers
// allocate by come from one build for all.
constexpr int TapSpare = 8;
static_assert(TapSpare >= Lanes);
struct TapRow
{
    int32_t *first;
    int32_t *second;
    int32_t *weight;
};

size_t tapRowBytes(int count)
{
    return 3 * (size_t(count) + TapSpare) * sizeof(int32_t) + 64;
}

TapRow makeTaps(uint8_t *memory, int srcCount, int dstCount)
{
    int32_t *base = reinterpret_cast<int32_t *>(alignUp(memory));
    const TapRow taps{base, base + dstCount + TapSpare, base + 2 * (dstCount + TapSpare)};
    for (int x = 0; x < dstCount + TapSpare; ++x) {
        const Tap t = tapAt(x < dstCount ? x : dstCount - 1, srcCount, dstCount);
        taps.first[x] = t.i0;
        taps.second[x] = t.i1;
        taps.weight[x] = t.w;
    }
    return taps;
}

inline I32 loadInts(const int32_t *p)
{
    I32 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// A source row upscaled horizontally// A source row upscaled horizontally, cached per source row index: upscaling goes
// down the frame, so each source row is upscaled once and kept while the output
// rows between it and its neighbour use it.
struct UpRows
{
    uint8_t *slot[2];
    int index[2] = {-1, -1};

    template <typename Upscale>
    const uint8_t *get(int row, int keep, Upscale upscale)
    {
        if (index[0] == row)
            return slot[0];
        if (index[1] == row)
            return slot[1];
        const int s = index[0] == keep ? 1 : 0;
        upscale(row, slot[s]);
        index[s] = row;
        return slot[s];
    }
};

void upscaleRow4(const uint8_t *src, const TapRow &taps, int count, uint8_t *dst)
{
    for (int x = 0; x < count; x += Lanes) {
        const int n = count - x < Lanes ? count - x : Lanes;
        const I32 first = loadInts(taps.first + x), second = loadInts(taps.second + x);
        U32 a, b;
#ifdef __AVX2__
        a = U32(_mm256_i32gather_epi32(reinterpret_cast<const int *>(src), __m256i(first), 4));
        b = U32(_mm256_i32gather_epi32(reinterpret_cast<const int *>(src), __m256i(second), 4));
#else
        for (int k = 0; k < Lanes; ++k) {
            std::memcpy(&a[k], src + 4 * first[k], 4);
            std::memcpy(&b[k], src + 4 * second[k], 4);
        }
#endif
        const I32 w = loadInts(taps.weight + x) >> 1;
        storePixels(dst + 4 * x, lerpPixels(a, b, I16(w | (w << 16))), n);
    }
}

// A one-channel row upscaled and written `repeat` times per pixel (4 to line the
// mask up with the bytes of a BGRA row).
void upscaleRow1(const uint8_t *src, const TapRow &taps, int count, int repeat, uint8_t *dst)
{
    for (int x = 0; x < count; ++x) {
        const int w = taps.weight[x];
        const uint8_t v = uint8_t((src[taps.first[x]] * (256 - w) + src[taps.second[x]] * w + 128) >> 8);
        for (int r = 0; r < repeat; ++r)
            dst[repeat * x + r] = v;
    }
}

void downscale4(ConstBgra src, Bgra dst)
{
    // Four source rows are summed into a chunk of 16-bit column sums; then each
    // pixel's four sums are one 64-bit word, so four words add up a whole group of
    // 4 x 4 pixels per channel at once (at most 16 * 255 per 16-bit lane).
    constexpr int ChunkPixels = 256;
    uint16_t sums[ChunkPixels * 4];
    const int fullGroups = src.width / 4;
    for (int j = 0; j < dst.height; ++j) {
        const uint8_t *r[4];
        for (int k = 0; k < 4; ++k)
            r[k] = src.data + size_t(clampInt(4 * j + k, 0, src.height - 1)) * src.stride;
        uint8_t *out = dst.data + size_t(j) * dst.stride;
        for (int x0 = 0; x0 < fullGroups * 4; x0 += ChunkPixels) {
            const int n = (fullGroups * 4 - x0) < ChunkPixels ? fullGroups * 4 - x0 : ChunkPixels;
            const uint8_t *a = r[0] + 4 * x0, *b = r[1] + 4 * x0, *c = r[2] + 4 * x0,
                          *d = r[3] + 4 * x0;
            for (int i = 0; i < n * 4; ++i)
                sums[i] = uint16_t(a[i] + b[i] + c[i] + d[i]);
            for (int g = 0; g < n / 4; ++g) {
                uint64_t w[4];
                std::memcpy(w, sums + 16 * g, sizeof w);
                const uint64_t v = ((w[0] + w[1] + w[2] + w[3] + 0x0008000800080008u) >> 4)
                                   & 0x00FF00FF00FF00FFu;
                const uint32_t pixel = uint32_t((v & 0xFFu) | (v >> 8 & 0xFF00u) | (v >> 16 & 0xFF0000u)
                                                | (v >> 24 & 0xFF000000u));
                std::memcpy(out + x0 + 4 * g, &pixel, 4);
            }
        }
        if (fullGroups < dst.width) {
            // The last, partial group repeats the last column.
            for (int ch = 0; ch < 4; ++ch) {
                int sum = 0;
                for (int k = 0; k < 4; ++k)
                    for (int i = 0; i < 4; ++i)
                        sum += r[k][4 * clampInt(4 * fullGroups + i, 0, src.width - 1) + ch];
                out[4 * fullGroups + ch] = uint8_t((sum + 8) >> 4);
            }
        }
    }
}

inline float smoothUnit(float t)
{
    t = clampFloat(t, 0.0f, 1.0f);
    return t * t * (3.0f - 2.0f * t);
}

void skinMask(ConstBgra src, Gray dst)
{
    // Both chroma terms are "1 inside [lower, upper], smoothstep over `spill` outside";
    // the product of the rising and the falling edge is exactly that, without branches.
    constexpr float Spill = 0.03f;
    constexpr float CbLower = -0.250f, CbUpper = 0.025f;
    constexpr float CrLower = 0.025f, CrUpper = 0.250f;
    constexpr float InvSpill = 1.0f / Spill;
    constexpr float Unit = 1.0f / 255.0f;
    for (int y = 0; y < src.height; ++y) {
        const uint8_t *s = src.data + size_t(y) * src.stride;
        uint8_t *d = dst.data + size_t(y) * dst.stride;
        for (int x = 0; x < src.width; ++x) {
            const float b = s[4 * x] * Unit, g = s[4 * x + 1] * Unit, r = s[4 * x + 2] * Unit;
            const float cb = -0.1687f * r - 0.3313f * g + 0.5f * b;
            const float cr = 0.5f * r - 0.4187f * g - 0.0813f * b;
            const float skinCb = smoothUnit((cb - (CbLower - Spill)) * InvSpill)
                                 * smoothUnit(((CbUpper + Spill) - cb) * InvSpill);
            const float skinCr = smoothUnit((cr - (CrLower - Spill)) * InvSpill)
                                 * smoothUnit(((CrUpper + Spill) - cr) * InvSpill);
            d[x] = uint8_t(clampFloat(skinCb * skinCr, 0.0f, 1.0f) * 255.0f + 0.5f);
        }
    }
}

inline bool hasAny(U8Lanes v)
{
    uint64_t bits = 0;
    std::memcpy(&bits, &v, sizeof v);
    return bits != 0;
}

// Lanes pixels turned by the colour matrix and mixed towards it by weight / 255.
inline U32 toneLanes(U32 p, F32 weight, const float *m)
{
    const U32 byte = U32{} + 0xFFu;
    const F32 b = __builtin_convertvector(I32(p & byte), F32);
    const F32 g = __builtin_convertvector(I32((p >> 8) & byte), F32);
    const F32 r = __builtin_convertvector(I32((p >> 16) & byte), F32);
    const F32 zero = F32{}, top = F32{} + 255.0f;
    F32 r1 = m[0] * r + m[1] * g + m[2] * b;
    F32 g1 = m[3] * r + m[4] * g + m[5] * b;
    F32 b1 = m[6] * r + m[7] * g + m[8] * b;
    r1 = r1 < zero ? zero : (r1 > top ? top : r1);
    g1 = g1 < zero ? zero : (g1 > top ? top : g1);
    b1 = b1 < zero ? zero : (b1 > top ? top : b1);
    const F32 k = weight * (1.0f / 255.0f);
    const U32 bo = U32(__builtin_convertvector(b + (b1 - b) * k + 0.5f, I32));
    const U32 go = U32(__builtin_convertvector(g + (g1 - g) * k + 0.5f, I32));
    const U32 ro = U32(__builtin_convertvector(r + (r1 - r) * k + 0.5f, I32));
    return (p & (U32{} + 0xFF000000u)) | (ro << 16) | (go << 8) | bo;
}

void skinTone(ConstBgra src, ConstGray mask, const float *m, Bgra dst, uint8_t *work)
{
    const TapRow taps = makeTaps(work, mask.width, src.width);
    uint8_t *rows = alignUp(work + tapRowBytes(src.width));
    UpRows up;
    up.slot[0] = rows;
    up.slot[1] = rows + src.width + 64;
    const auto upscale = [&](int row, uint8_t *out) {
        upscaleRow1(mask.data + size_t(row) * mask.stride, taps, src.width, 1, out);
    };
    U8Lanes wa = U8Lanes{}, wb = U8Lanes{};
    for (int y = 0; y < src.height; ++y) {
        const Tap t = tapAt(y, mask.height, src.height);
        const uint8_t *a = up.get(t.i0, t.i1, upscale);
        const uint8_t *b = up.get(t.i1, t.i0, upscale);
        const float wy = t.w * (1.0f / 256.0f);
        const uint8_t *s = src.data + size_t(y) * src.stride;
        uint8_t *d = dst.data + size_t(y) * dst.stride;
        for (int x = 0; x < src.width; x += Lanes) {
            const int n = src.width - x < Lanes ? src.width - x : Lanes;
            if (n == Lanes) {
                std::memcpy(&wa, a + x, sizeof wa);
                std::memcpy(&wb, b + x, sizeof wb);
            } else {
                for (int k = 0; k < n; ++k) {
                    wa[k] = a[x + k];
                    wb[k] = b[x + k];
                }
            }
            // Most of a frame is not skin: runs without any weight are copied.
            if (!hasAny(wa | wb)) {
                if (d != s)
                    storePixels(d + 4 * x, loadPixels(s + 4 * x, n), n);
                continue;
            }
            const F32 fa = __builtin_convertvector(wa, F32), fb = __builtin_convertvector(wb, F32);
            storePixels(d + 4 * x, toneLanes(loadPixels(s + 4 * x, n), fa + (fb - fa) * wy, m), n);
        }
    }
}

// --- blur -------------------------------------------------------------------

// One extended box pass down the columns of a float image of `rows` rows of
// `count` floats: each output is the mean of 2r + 1 rows plus the rows r + 1 away
// weighted `alpha`, edges repeated. A running sum makes the cost independent of r.
void boxDown(const float *src, float *dst, int rows, int count, int r, float alpha, float *sum)
{
    const float scale = 1.0f / (2 * r + 1 + 2 * alpha);
    const auto row = [&](int y) { return src + size_t(clampInt(y, 0, rows - 1)) * count; };
    for (int i = 0; i < count; ++i)
        sum[i] = 0.0f;
    for (int k = -r; k <= r; ++k) {
        const float *p = row(k);
        for (int i = 0; i < count; ++i)
            sum[i] += p[i];
    }
    for (int y = 0; y < rows; ++y) {
        const float *before = row(y - r - 1), *after = row(y + r + 1), *leaving = row(y - r);
        float *out = dst + size_t(y) * count;
        for (int i = 0; i < count; ++i) {
            out[i] = (sum[i] + alpha * (before[i] + after[i])) * scale;
            sum[i] += after[i] - leaving[i];
        }
    }
}

// Swaps rows and columns of a w x h image of 4-float pixels.
void transpose4(const float *src, float *dst, int w, int h)
{
    constexpr int Tile = 16;
    for (int y0 = 0; y0 < h; y0 += Tile)
        for (int x0 = 0; x0 < w; x0 += Tile)
            for (int y = y0; y < (y0 + Tile < h ? y0 + Tile : h); ++y)
                for (int x = x0; x < (x0 + Tile < w ? x0 + Tile : w); ++x)
                    for (int c = 0; c < 4; ++c)
                        dst[(size_t(x) * h + y) * 4 + c] = src[(size_t(y) * w + x) * 4 + c];
}

void blur(ConstBgra src, Bgra dst, float sigma, uint8_t *work)
{
    const int w = src.width, h = src.height;
    float *a = reinterpret_cast<float *>(alignUp(work));
    float *b = reinterpret_cast<float *>(alignUp(reinterpret_cast<uint8_t *>(a + size_t(w) * h * 4)));
    float *sum = reinterpret_cast<float *>(alignUp(reinterpret_cast<uint8_t *>(b + size_t(w) * h * 4)));

    // Three passes of variance sigma^2 / 3 each: the largest whole box radius below
    // it, and the end weight that makes up the rest exactly.
    const float t = sigma * sigma / 3.0f;
    const int r = int((std::sqrt(12.0f * t + 1.0f) - 1.0f) * 0.5f);
    const float boxVariance = r * (r + 1) / 3.0f;
    const float alpha = (2 * r + 1) * (t - boxVariance) / (2.0f * ((r + 1) * (r + 1) - t));

    for (int y = 0; y < h; ++y) {
        const uint8_t *s = src.data + size_t(y) * src.stride;
        float *o = a + size_t(y) * w * 4;
        for (int i = 0; i < w * 4; ++i)
            o[i] = s[i];
    }
    // Passes down the columns run along whole rows, which vectorises; the passes
    // along the rows do the same on the transposed image.
    boxDown(a, b, h, w * 4, r, alpha, sum);
    boxDown(b, a, h, w * 4, r, alpha, sum);
    boxDown(a, b, h, w * 4, r, alpha, sum);
    transpose4(b, a, w, h);
    boxDown(a, b, w, h * 4, r, alpha, sum);
    boxDown(b, a, w, h * 4, r, alpha, sum);
    boxDown(a, b, w, h * 4, r, alpha, sum);
    transpose4(b, a, h, w);
    for (int y = 0; y < h; ++y) {
        const float *s = a + size_t(y) * w * 4;
        uint8_t *o = dst.data + size_t(y) * dst.stride;
        for (int i = 0; i < w * 4; ++i)
            o[i] = uint8_t(clampFloat(s[i], 0.0f, 255.0f) + 0.5f);
    }
}

// --- blend ------------------------------------------------------------------

void blendMask(ConstBgra fg, ConstBgra bg, ConstGray mask, Bgra dst, uint8_t *work)
{
    const int width = fg.width, rowBytes = width * 4 + 64;
    const TapRow bgTaps = makeTaps(work, bg.width, width);
    const TapRow maskTaps = makeTaps(work + tapRowBytes(width), mask.width, width);
    uint8_t *rows = alignUp(work + 2 * tapRowBytes(width));
    UpRows bgUp, maskUp;
    bgUp.slot[0] = rows;
    bgUp.slot[1] = rows + rowBytes;
    maskUp.slot[0] = rows + 2 * rowBytes;
    maskUp.slot[1] = rows + 3 * rowBytes;
    const auto upBg = [&](int row, uint8_t *out) {
        upscaleRow4(bg.data + size_t(row) * bg.stride, bgTaps, width, out);
    };
    const auto upMask = [&](int row, uint8_t *out) {
        upscaleRow1(mask.data + size_t(row) * mask.stride, maskTaps, width, 4, out);
    };
    const U32 low = U32{} + 0x00FF00FFu;
    for (int y = 0; y < fg.height; ++y) {
        const Tap tb = tapAt(y, bg.height, fg.height);
        const uint8_t *ba = bgUp.get(tb.i0, tb.i1, upBg);
        const uint8_t *bb = bgUp.get(tb.i1, tb.i0, upBg);
        const Tap tm = tapAt(y, mask.height, fg.height);
        const uint8_t *ma = maskUp.get(tm.i0, tm.i1, upMask);
        const uint8_t *mb = maskUp.get(tm.i1, tm.i0, upMask);
        const I16 wb = I16{} + int16_t(tb.w >> 1), wm = I16{} + int16_t(tm.w >> 1);
        const uint8_t *f = fg.data + size_t(y) * fg.stride;
        uint8_t *d = dst.data + size_t(y) * dst.stride;
        for (int x = 0; x < width; x += Lanes) {
            const int n = width - x < Lanes ? width - x : Lanes;
            const U32 fp = loadPixels(f + 4 * x, n);
            const U32 bp = lerpPixels(loadPixels(ba + 4 * x, n), loadPixels(bb + 4 * x, n), wb);
            const U32 mp = lerpPixels(loadPixels(ma + 4 * x, n), loadPixels(mb + 4 * x, n), wm);
            // Exact rounding of (f * m + b * (255 - m)) / 255 in 16-bit lanes.
            const U16 k = U16(mp & low), ik = U16{} + 255 - k;
            U16 even = U16(fp & low) * k + U16(bp & low) * ik + 128;
            U16 odd = U16((fp >> 8) & low) * k + U16((bp >> 8) & low) * ik + 128;
            even = (even + (even >> 8)) >> 8;
            odd = (odd + (odd >> 8)) >> 8;
            storePixels(d + 4 * x, U32(even) | (U32(odd) << 8), n);
        }
    }
}

// --- warp -------------------------------------------------------------------

// The run of columns [begin, end) whose sample position lies within
// [-0.5, n - 0.5] along one axis, for positions p0 + x * dp.
void clipSpan(double p0, double dp, int n, double &begin, double &end)
{
    const double lo = -0.5, hi = n - 0.5;
    if (dp == 0.0) {
        if (p0 < lo || p0 > hi)
            end = begin;
        return;
    }
    double a = (lo - p0) / dp, b = (hi - p0) / dp;
    if (a > b) {
        const double t = a;
        a = b;
        b = t;
    }
    begin = begin > a ? begin : a;
    end = end < b ? end : b;
}

void fillRow(uint32_t *d, int begin, int end, uint32_t value)
{
    for (int x = begin; x < end; ++x)
        d[x] = value;
}

void warp(ConstBgra src, Bgra dst, const Affine &map, int clipBegin, int clipEnd, uint32_t fill)
{
    clipBegin = clampInt(clipBegin, 0, dst.width);
    clipEnd = clampInt(clipEnd, clipBegin, dst.width);
    // Positions are 16.16 fixed point, held inside [0, n - 1) so that the second
    // sample of a pair is always in the picture; half a pixel past the border
    // repeats the border.
    const I32 maxU = I32{} + ((src.width - 1) * 65536 - 1), maxV = I32{} + ((src.height - 1) * 65536 - 1);
    const I32 zero = I32{};
    const int32_t du = int32_t(std::lround(map.xx * 65536.0)), dv = int32_t(std::lround(map.yx * 65536.0));
    I32 lane;
    for (int k = 0; k < Lanes; ++k)
        lane[k] = k;
    const int stride = src.stride;
    // A turned row reads a slanted line of the source, which the hardware
    // prefetcher does not follow; ask for the source of a row a few rows ahead.
    constexpr int Ahead = 6;
    const ptrdiff_t ahead = ptrdiff_t(std::lround(Ahead * map.yy)) * stride
                            + ptrdiff_t(std::lround(Ahead * map.xy)) * 4;
    for (int y = 0; y < dst.height; ++y) {
        uint32_t *d = reinterpret_cast<uint32_t *>(dst.data + size_t(y) * dst.stride);
        const double u0 = map.xy * y + map.x0, v0 = map.yy * y + map.y0;
        double begin = clipBegin, end = clipEnd - 1;
        clipSpan(u0, map.xx, src.width, begin, end);
        clipSpan(v0, map.yx, src.height, begin, end);
        const int x0 = begin > end ? clipBegin : clampInt(int(std::ceil(begin)), clipBegin, clipEnd);
        const int x1 = begin > end ? clipBegin : clampInt(int(std::floor(end)) + 1, x0, clipEnd);
        fillRow(d, 0, x0, fill);
        fillRow(d, x1, dst.width, fill);
        if (src.width < 2 || src.height < 2) {
            fillRow(d, x0, x1, fill);
            continue;
        }
        I32 u = int32_t(std::lround((u0 + map.xx * x0) * 65536.0)) + lane * du;
        I32 v = int32_t(std::lround((v0 + map.yx * x0) * 65536.0)) + lane * dv;
        for (int x = x0; x < x1; x += Lanes, u += Lanes * du, v += Lanes * dv) {
            I32 cu = u < zero ? zero : u;
            cu = cu > maxU ? maxU : cu;
            I32 cv = v < zero ? zero : v;
            cv = cv > maxV ? maxV : cv;
            const I32 offset = (cv >> 16) * stride + (cu >> 16) * 4;
            __builtin_prefetch(src.data + offset[0] + ahead);
            __builtin_prefetch(src.data + offset[0] + ahead + stride);
            U32 p00, p01, p10, p11;
#ifdef __AVX2__
            const __m256i o = __m256i(offset);
            const int *base = reinterpret_cast<const int *>(src.data);
            p00 = U32(_mm256_i32gather_epi32(base, o, 1));
            p01 = U32(_mm256_i32gather_epi32(base + 1, o, 1));
            p10 = U32(_mm256_i32gather_epi32(reinterpret_cast<const int *>(src.data + stride), o, 1));
            p11 = U32(_mm256_i32gather_epi32(reinterpret_cast<const int *>(src.data + stride + 4), o, 1));
#else
            for (int k = 0; k < Lanes; ++k) {
                const uint8_t *p = src.data + offset[k];
                uint32_t pair[2];
                std::memcpy(pair, p, 8);
                p00[k] = pair[0];
                p01[k] = pair[1];
                std::memcpy(pair, p + stride, 8);
                p10[k] = pair[0];
                p11[k] = pair[1];
            }
#endif
            // Fractions rounded to 0..128, so that a position clamped just short of
            // the last pixel takes it whole.
            const I32 fx = ((cu & 0xFFFF) + 256) >> 9, fy = ((cv & 0xFFFF) + 256) >> 9;
            const I16 wx = I16(fx | (fx << 16)), wy = I16(fy | (fy << 16));
            const U32 out = lerpPixels(lerpPixels(p00, p01, wx), lerpPixels(p10, p11, wx), wy);
            storePixels(reinterpret_cast<uint8_t *>(d + x), out, x1 - x < Lanes ? x1 - x : Lanes);
        }
    }
}

// --- over -------------------------------------------------------------------

void over(ConstBgra src, Bgra dst, int x, int y)
{
    const int sx0 = x < 0 ? -x : 0, sy0 = y < 0 ? -y : 0;
    const int sx1 = src.width < dst.width - x ? src.width : dst.width - x;
    const int sy1 = src.height < dst.height - y ? src.height : dst.height - y;
    if (sx0 >= sx1 || sy0 >= sy1)
        return;
    const U32 low = U32{} + 0x00FF00FFu;
    for (int sy = sy0; sy < sy1; ++sy) {
        const uint8_t *s = src.data + size_t(sy) * src.stride;
        uint8_t *d = dst.data + size_t(sy + y) * dst.stride + size_t(x) * 4;
        for (int i = sx0; i < sx1; i += Lanes) {
            const int n = sx1 - i < Lanes ? sx1 - i : Lanes;
            const U32 sp = loadPixels(s + 4 * i, n), dp = loadPixels(d + 4 * i, n);
            // d * (255 - alpha) / 255, exactly rounded, in 16-bit lanes; the picture
            // is premultiplied, so adding it cannot overflow.
            const U32 inverse = 255u - (sp >> 24);
            const U16 k = U16(inverse | (inverse << 16));
            U16 even = U16(dp & low) * k + 128;
            U16 odd = U16((dp >> 8) & low) * k + 128;
            even = (even + (even >> 8)) >> 8;
            odd = (odd + (odd >> 8)) >> 8;
            storePixels(d + 4 * i, sp + (U32(even) | (U32(odd) << 8)), n);
        }
    }
}

} // namespace

size_t skinToneWork(int width)
{
    return tapRowBytes(width) + 2 * (size_t(width) + 64) + 64;
}

size_t blurWork(int width, int height)
{
    const size_t plane = size_t(width) * height * 4;
    const size_t row = size_t(width > height ? width : height) * 4;
    return (2 * plane + row) * sizeof(float) + 3 * 64;
}

size_t blendWork(int width)
{
    return 2 * tapRowBytes(width) + 4 * (size_t(width) * 4 + 64) + 64;
}

const Table &table()
{
    static const Table t = {KernelSetName, downscale4, skinMask, skinTone, blur, blendMask, warp, over};
    return t;
}
