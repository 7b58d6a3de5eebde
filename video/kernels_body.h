// Internal: the kernel bodies, compiled once per instruction set. Included only by
// kernels_baseline.cpp and kernels_avx2.cpp, each inside its own namespace, so no
// function here is shared between the two builds (an inline copy built with AVX2
// must never become the one the linker keeps for baseline callers). The loops are
// written on GCC vector types of Lanes pixels (4 with SSE2, 8 with AVX2), so one
// text gives both widths.

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
typedef uint64_t U64 __attribute__((vector_size(Lanes * 4)));
typedef uint8_t U8Wide __attribute__((vector_size(Lanes * 2)));

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

// Pixels are worked on as two vectors of 16-bit lanes: their B, R (even) and their
// G, A (odd) channels.
inline I16 evenChannels(U32 p)
{
    return I16(p & (U32{} + 0x00FF00FFu));
}

inline I16 oddChannels(U32 p)
{
    return I16((p >> 8) & (U32{} + 0x00FF00FFu));
}

// Back into pixels; every lane holds 0..255.
inline U32 packChannels(I16 even, I16 odd)
{
    return U32(even) | (U32(odd) << 8);
}

// Bilinear step between two vectors of 16-bit lanes by weights 0..128; the
// result always lies between the two inputs.
inline I16 lerpLanes(I16 a, I16 b, I16 w)
{
    return a + I16(((b - a) * w + 64) >> 7);
}

// The same between two vectors of pixels (weights in both 16-bit halves of each
// lane).
inline U32 lerpPixels(U32 a, U32 b, I16 w)
{
    return packChannels(lerpLanes(evenChannels(a), evenChannels(b), w),
                        lerpLanes(oddChannels(a), oddChannels(b), w));
}

// a * k + b * (255 - k), over 255 exactly rounded, per 16-bit lane; the pictures
// are given as their even and odd channels, k is 0..255 in both halves of each
// pixel's lane.
inline U32 mixHalves(I16 aEven, I16 aOdd, I16 bEven, I16 bOdd, U16 k)
{
    const U16 ik = U16{} + 255 - k;
    U16 even = U16(aEven) * k + U16(bEven) * ik + 128;
    U16 odd = U16(aOdd) * k + U16(bOdd) * ik + 128;
    even = (even + (even >> 8)) >> 8;
    odd = (odd + (odd >> 8)) >> 8;
    return packChannels(I16(even), I16(odd));
}

// Pairs of signed 16-bit lanes multiplied and added into 32-bit lanes.
inline I32 madd(I16 a, I16 b)
{
#ifdef __AVX2__
    return I32(_mm256_madd_epi16(__m256i(a), __m256i(b)));
#else
    return I32(_mm_madd_epi16(__m128i(a), __m128i(b)));
#endif
}

// The 4 bytes at base + offset[k] for each lane. Plain loads: hardware gathers
// are slower here.
inline U32 gather32(const uint8_t *base, I32 offset)
{
    int e[Lanes];
    for (int k = 0; k < Lanes; ++k)
        std::memcpy(&e[k], base + offset[k], 4);
#ifdef __AVX2__
    return U32(_mm256_setr_epi32(e[0], e[1], e[2], e[3], e[4], e[5], e[6], e[7]));
#else
    return U32(_mm_setr_epi32(e[0], e[1], e[2], e[3]));
#endif
}

// The pixel at base + offset[k] of each lane into `first`, the pixel after it
// into `second`: one 8-byte load per lane.
inline void gatherPairs(const uint8_t *base, I32 offset, U32 &first, U32 &second)
{
    const auto pair = [base](int a, int b) {
        const __m128d low = _mm_castsi128_pd(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(base + a)));
        return _mm_castpd_si128(_mm_loadh_pd(low, reinterpret_cast<const double *>(base + b)));
    };
#ifdef __AVX2__
    const U32 lo = U32(_mm256_setr_m128i(pair(offset[0], offset[1]), pair(offset[2], offset[3])));
    const U32 hi = U32(_mm256_setr_m128i(pair(offset[4], offset[5]), pair(offset[6], offset[7])));
    first = __builtin_shufflevector(lo, hi, 0, 2, 4, 6, 8, 10, 12, 14);
    second = __builtin_shufflevector(lo, hi, 1, 3, 5, 7, 9, 11, 13, 15);
#else
    const U32 lo = U32(pair(offset[0], offset[1])), hi = U32(pair(offset[2], offset[3]));
    first = __builtin_shufflevector(lo, hi, 0, 2, 4, 6);
    second = __builtin_shufflevector(lo, hi, 1, 3, 5, 7);
#endif
}

// True when any byte of v is not zero.
inline bool hasAny(U32 v)
{
#ifdef __AVX2__
    return !_mm256_testz_si256(__m256i(v), __m256i(v));
#else
    return _mm_movemask_epi8(_mm_cmpeq_epi32(__m128i(v), _mm_setzero_si128())) != 0xFFFF;
#endif
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

// The taps of a row from output `first` on.
TapRow tapsFrom(const TapRow &taps, int first)
{
    return {taps.first + first, taps.second + first, taps.weight + first};
}

// An area clipped to a width x height picture.
struct Span
{
    int x0, y0, x1, y1;
    bool empty() const { return x0 >= x1 || y0 >= y1; }
};

Span clipArea(const Area &area, int width, int height)
{
    const int x0 = clampInt(area.x0, 0, width), y0 = clampInt(area.y0, 0, height);
    return {x0, y0, clampInt(area.x1, x0, width), clampInt(area.y1, y0, height)};
}

inline I32 loadInts(const int32_t *p)
{
    I32 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// A source row upscaled horizontally, cached per source row index: upscaling goes
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

// How many leading outputs read no further than `reach` samples from their first
// one inside a row of srcCount samples (first samples only grow along a row).
int leadingWithin(const TapRow &taps, int count, int reach, int srcCount)
{
    int n = count;
    while (n > 0 && taps.first[n - 1] + reach > srcCount)
        --n;
    return n;
}

void upscaleRow4(const uint8_t *src, int srcCount, const TapRow &taps, int count, uint8_t *dst)
{
    // A first sample and the pixel after it come in one 8-byte load; the last
    // outputs, whose pair would run past the row, load their two samples apart.
    const int paired = leadingWithin(taps, count, 2, srcCount);
    for (int x = 0; x < count; x += Lanes) {
        const int n = count - x < Lanes ? count - x : Lanes;
        const I32 first = loadInts(taps.first + x) << 2;
        U32 a, b;
        if (x + Lanes <= paired) {
            gatherPairs(src, first, a, b);
        } else {
            a = gather32(src, first);
            b = gather32(src, loadInts(taps.second + x) << 2);
        }
        const I32 w = loadInts(taps.weight + x) >> 1;
        storePixels(dst + 4 * x, lerpPixels(a, b, I16(w | (w << 16))), n);
    }
}

// A mask row upscaled: each weight 0..255 in both 16-bit halves of a pixel's lane,
// as the mix takes it.
void upscaleMaskRow(const uint8_t *src, int srcCount, const TapRow &taps, int count, uint8_t *dst)
{
    // The 4 bytes from a first sample hold the second one too; the last few
    // outputs, whose 4 bytes would run past the row, are done one by one.
    const int safe = leadingWithin(taps, count, 4, srcCount);
    int x = 0;
    for (; x + Lanes <= safe; x += Lanes) {
        const U32 v = gather32(src, loadInts(taps.first + x));
        const I16 pair = I16((v & 0xFFu) | ((v << 8) & 0xFF0000u));
        const I32 w = loadInts(taps.weight + x);
        const I32 k = (madd(pair, I16((256 - w) | (w << 16))) + 128) >> 8;
        storePixels(dst + 4 * x, U32(k | (k << 16)));
    }
    for (; x < count; ++x) {
        const int w = taps.weight[x];
        const uint32_t k = uint32_t(src[taps.first[x]] * (256 - w) + src[taps.second[x]] * w + 128) >> 8;
        const uint32_t lanes = k | (k << 16);
        std::memcpy(dst + 4 * x, &lanes, 4);
    }
}

// The 16-bit sums of four vectors of pixels v[0..3], each pixel's four channels one
// 64-bit lane, added up per run of 4 pixels: output lane g is pixels 4g..4g+3.
inline U64 sumFours(const U64 *v)
{
#ifdef __AVX2__
    const U64 ab = __builtin_shufflevector(v[0], v[1], 0, 4, 2, 6) + __builtin_shufflevector(v[0], v[1], 1, 5, 3, 7);
    const U64 cd = __builtin_shufflevector(v[2], v[3], 0, 4, 2, 6) + __builtin_shufflevector(v[2], v[3], 1, 5, 3, 7);
    return __builtin_shufflevector(ab, cd, 0, 1, 4, 5) + __builtin_shufflevector(ab, cd, 2, 3, 6, 7);
#else
    const U64 ab = v[0] + v[1], cd = v[2] + v[3];
    return __builtin_shufflevector(ab, cd, 0, 2) + __builtin_shufflevector(ab, cd, 1, 3);
#endif
}

void downscale4(ConstBgra src, Bgra dst)
{
    // Each 4 x 4 block is summed in 16-bit lanes (at most 16 * 255): down its four
    // rows as vectors, then across its four columns.
    constexpr int Wide = Lanes / 2; // pixels in a vector of 16-bit channels
    const int blocks = src.width / (4 * Wide);
    for (int j = 0; j < dst.height; ++j) {
        const uint8_t *r[4];
        for (int k = 0; k < 4; ++k)
            r[k] = src.data + size_t(clampInt(4 * j + k, 0, src.height - 1)) * src.stride;
        uint8_t *out = dst.data + size_t(j) * dst.stride;
        // The rows of the next block row are asked for while these are summed: four
        // streams at once are more than the hardware prefetcher keeps ahead of.
        const ptrdiff_t next = 4 * j + 7 < src.height ? ptrdiff_t(4) * src.stride : 0;
        for (int b = 0; b < blocks; ++b) {
            for (int k = 0; k < 4; ++k)
                for (int line = 0; line < 4 * Wide * 4; line += 64)
                    __builtin_prefetch(r[k] + next + size_t(b) * 4 * Wide * 4 + line);
            U64 v[4];
            for (int q = 0; q < 4; ++q) {
                U16 sum = U16{};
                for (int k = 0; k < 4; ++k) {
                    U8Wide bytes;
                    std::memcpy(&bytes, r[k] + (size_t(b) * 4 + q) * Wide * 4, sizeof bytes);
                    sum += __builtin_convertvector(bytes, U16);
                }
                v[q] = U64(sum);
            }
            const U8Wide mean = __builtin_convertvector((U16(sumFours(v)) + 8) >> 4, U8Wide);
            std::memcpy(out + size_t(b) * Wide * 4, &mean, sizeof mean);
        }
        // The rest one by one; a last, partial block repeats the last column.
        for (int g = blocks * Wide; g < dst.width; ++g)
            for (int ch = 0; ch < 4; ++ch) {
                int sum = 0;
                for (int k = 0; k < 4; ++k)
                    for (int i = 0; i < 4; ++i)
                        sum += r[k][4 * clampInt(4 * g + i, 0, src.width - 1) + ch];
                out[4 * g + ch] = uint8_t((sum + 8) >> 4);
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

// The colour matrix in Q14 as pmaddwd coefficient pairs: per output channel, one
// pair for a pixel's (B, R) lanes and one for its (G, A) lanes.
struct ToneMatrix
{
    I16 br[3];
    I16 ga[3];
};

ToneMatrix toneMatrix(const float *m)
{
    const auto q14 = [](float v) { return uint32_t(uint16_t(int16_t(std::lround(v * 16384.0f)))); };
    ToneMatrix t;
    for (int c = 0; c < 3; ++c) { // output R, G, B
        t.br[c] = I16(U32{} + (q14(m[3 * c + 2]) | (q14(m[3 * c]) << 16)));
        t.ga[c] = I16(U32{} + q14(m[3 * c + 1]));
    }
    return t;
}

// Lanes pixels turned by the colour matrix, clamped, and mixed towards it by k / 255.
inline U32 toneLanes(U32 p, U16 k, const ToneMatrix &t)
{
    const I16 even = evenChannels(p), odd = oddChannels(p);
    U32 c[3];
    for (int i = 0; i < 3; ++i)
        c[i] = U32((madd(even, t.br[i]) + madd(odd, t.ga[i]) + 8192) >> 14);
    // The turned channels lie well within 16 bits: clamped once they are back in
    // their 16-bit lanes, where every instruction set has a min and max.
    const I16 zero = I16{}, top = I16{} + 255;
    I16 turnedEven = I16((c[2] & 0xFFFFu) | (c[0] << 16));
    I16 turnedOdd = I16((c[1] & 0xFFFFu) | ((p >> 8) & 0x00FF0000u));
    turnedEven = turnedEven < zero ? zero : (turnedEven > top ? top : turnedEven);
    turnedOdd = turnedOdd < zero ? zero : (turnedOdd > top ? top : turnedOdd);
    return mixHalves(turnedEven, turnedOdd, even, odd, k);
}

void skinTone(ConstBgra src, ConstGray mask, const float *m, Bgra dst, uint8_t *work, Area area)
{
    const int width = src.width;
    const Span span = clipArea(area, width, src.height);
    if (span.empty())
        return;
    const TapRow taps = tapsFrom(makeTaps(work, mask.width, width), span.x0);
    uint8_t *rows = alignUp(work + tapRowBytes(width));
    UpRows up;
    up.slot[0] = rows;
    up.slot[1] = rows + size_t(width) * 4 + 64;
    // Upscaled rows keep the frame's columns: only those of the area are made.
    const auto upscale = [&](int row, uint8_t *out) {
        upscaleMaskRow(mask.data + size_t(row) * mask.stride, mask.width, taps, span.x1 - span.x0, out + 4 * span.x0);
    };
    const ToneMatrix tone = toneMatrix(m);
    for (int y = span.y0; y < span.y1; ++y) {
        const Tap t = tapAt(y, mask.height, src.height);
        const uint8_t *a = up.get(t.i0, t.i1, upscale);
        const uint8_t *b = up.get(t.i1, t.i0, upscale);
        const I16 wy = I16{} + int16_t(t.w >> 1);
        const uint8_t *s = src.data + size_t(y) * src.stride;
        uint8_t *d = dst.data + size_t(y) * dst.stride;
        for (int x = span.x0; x < span.x1; x += Lanes) {
            const int n = span.x1 - x < Lanes ? span.x1 - x : Lanes;
            const U32 ka = loadPixels(a + 4 * x, n), kb = loadPixels(b + 4 * x, n);
            // Most of a frame is not skin: runs without any weight are copied.
            if (!hasAny(ka | kb)) {
                if (d != s)
                    storePixels(d + 4 * x, loadPixels(s + 4 * x, n), n);
                continue;
            }
            const U16 k = U16(lerpLanes(I16(ka), I16(kb), wy));
            storePixels(d + 4 * x, toneLanes(loadPixels(s + 4 * x, n), k, tone), n);
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

void blendMask(ConstBgra fg, ConstBgra bg, ConstGray mask, Bgra dst, uint8_t *work, Area area)
{
    const int width = fg.width, rowBytes = width * 4 + 64;
    const Span span = clipArea(area, width, fg.height);
    if (span.empty())
        return;
    const int count = span.x1 - span.x0;
    const TapRow bgTaps = tapsFrom(makeTaps(work, bg.width, width), span.x0);
    const TapRow maskTaps = tapsFrom(makeTaps(work + tapRowBytes(width), mask.width, width), span.x0);
    uint8_t *rows = alignUp(work + 2 * tapRowBytes(width));
    UpRows bgUp, maskUp;
    bgUp.slot[0] = rows;
    bgUp.slot[1] = rows + rowBytes;
    maskUp.slot[0] = rows + 2 * rowBytes;
    maskUp.slot[1] = rows + 3 * rowBytes;
    // Upscaled rows keep the frame's columns: only those of the area are made.
    const auto upBg = [&](int row, uint8_t *out) {
        upscaleRow4(bg.data + size_t(row) * bg.stride, bg.width, bgTaps, count, out + 4 * span.x0);
    };
    const auto upMask = [&](int row, uint8_t *out) {
        upscaleMaskRow(mask.data + size_t(row) * mask.stride, mask.width, maskTaps, count, out + 4 * span.x0);
    };
    for (int y = span.y0; y < span.y1; ++y) {
        const Tap tb = tapAt(y, bg.height, fg.height);
        const uint8_t *ba = bgUp.get(tb.i0, tb.i1, upBg);
        const uint8_t *bb = bgUp.get(tb.i1, tb.i0, upBg);
        const Tap tm = tapAt(y, mask.height, fg.height);
        const uint8_t *ma = maskUp.get(tm.i0, tm.i1, upMask);
        const uint8_t *mb = maskUp.get(tm.i1, tm.i0, upMask);
        const I16 wb = I16{} + int16_t(tb.w >> 1), wm = I16{} + int16_t(tm.w >> 1);
        const uint8_t *f = fg.data + size_t(y) * fg.stride;
        uint8_t *d = dst.data + size_t(y) * dst.stride;
        for (int x = span.x0; x < span.x1; x += Lanes) {
            const int n = span.x1 - x < Lanes ? span.x1 - x : Lanes;
            const U32 fp = loadPixels(f + 4 * x, n);
            const U32 b0 = loadPixels(ba + 4 * x, n), b1 = loadPixels(bb + 4 * x, n);
            const I16 bEven = lerpLanes(evenChannels(b0), evenChannels(b1), wb);
            const I16 bOdd = lerpLanes(oddChannels(b0), oddChannels(b1), wb);
            const U16 k = U16(lerpLanes(I16(loadPixels(ma + 4 * x, n)), I16(loadPixels(mb + 4 * x, n)), wm));
            storePixels(d + 4 * x, mixHalves(evenChannels(fp), oddChannels(fp), bEven, bOdd, k), n);
        }
    }
}

// --- warp -------------------------------------------------------------------

// Narrows [begin, end] to the columns whose position p0 + x * dp lies within
// [lo, hi] along one axis.
void clipSpan(double p0, double dp, double lo, double hi, double &begin, double &end)
{
    if (dp == 0.0) {
        if (p0 < lo || p0 > hi)
            end = begin - 1;
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

// The columns [x0, x1) of [clipBegin, clipEnd) whose sample lies within [lo, hi]
// along u (n columns) and v (m rows), plus `lo` and `hi` from the border.
void sampleSpan(double u0, double v0, const Affine &map, int n, int m, double lo, double hi, int clipBegin,
                int clipEnd, int &x0, int &x1)
{
    double begin = clipBegin, end = clipEnd - 1;
    clipSpan(u0, map.xx, lo, n - 1 + hi, begin, end);
    clipSpan(v0, map.yx, lo, m - 1 + hi, begin, end);
    x0 = begin > end ? clipBegin : clampInt(int(std::ceil(begin)), clipBegin, clipEnd);
    x1 = begin > end ? clipBegin : clampInt(int(std::floor(end)) + 1, x0, clipEnd);
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
    // Rows are whole pixels apart, so a sample's offset is (row * pitch + column) * 4,
    // one multiply-add of 16-bit halves.
    const I16 pitch = I16(U32{} + (1u | (uint32_t(stride / 4) << 16)));
    const auto samples = [&](I32 cu, I32 cv, uint32_t *out, int count) {
        const I32 offset = madd(I16((cu >> 16) | (cv & ~0xFFFF)), pitch) << 2;
        __builtin_prefetch(src.data + offset[0] + ahead);
        __builtin_prefetch(src.data + offset[0] + ahead + stride);
        U32 p00, p01, p10, p11;
        gatherPairs(src.data, offset, p00, p01);
        gatherPairs(src.data + stride, offset, p10, p11);
        // Fractions rounded to 0..128, so that a position clamped just short of the
        // last pixel takes it whole.
        const I32 fx = ((cu & 0xFFFF) + 256) >> 9, fy = ((cv & 0xFFFF) + 256) >> 9;
        const I16 wx = I16(fx | (fx << 16)), wy = I16(fy | (fy << 16));
        // Both steps on the 16-bit channel lanes, packed back once.
        const I16 even = lerpLanes(lerpLanes(evenChannels(p00), evenChannels(p01), wx),
                                   lerpLanes(evenChannels(p10), evenChannels(p11), wx), wy);
        const I16 odd = lerpLanes(lerpLanes(oddChannels(p00), oddChannels(p01), wx),
                                  lerpLanes(oddChannels(p10), oddChannels(p11), wx), wy);
        storePixels(reinterpret_cast<uint8_t *>(out), packChannels(even, odd), count);
    };
    // Inside this margin of the last pixel the positions need no clamping, whatever
    // the rounding of their steps.
    constexpr double Margin = 1.0 / 64;
    for (int y = 0; y < dst.height; ++y) {
        uint32_t *d = reinterpret_cast<uint32_t *>(dst.data + size_t(y) * dst.stride);
        const double u0 = map.xy * y + map.x0, v0 = map.yy * y + map.y0;
        int x0, x1, inner0, inner1;
        sampleSpan(u0, v0, map, src.width, src.height, -0.5, 0.5, clipBegin, clipEnd, x0, x1);
        fillRow(d, 0, x0, fill);
        fillRow(d, x1, dst.width, fill);
        if (src.width < 2 || src.height < 2) {
            fillRow(d, x0, x1, fill);
            continue;
        }
        sampleSpan(u0, v0, map, src.width, src.height, Margin, -Margin, x0, x1, inner0, inner1);
        I32 u = int32_t(std::lround((u0 + map.xx * x0) * 65536.0)) + lane * du;
        I32 v = int32_t(std::lround((v0 + map.yx * x0) * 65536.0)) + lane * dv;
        for (int x = x0; x < x1; x += Lanes, u += Lanes * du, v += Lanes * dv) {
            const int count = x1 - x < Lanes ? x1 - x : Lanes;
            // Whole vectors inside: no lane samples past the picture.
            if (x >= inner0 && x + Lanes <= inner1) {
                samples(u, v, d + x, count);
                continue;
            }
            I32 cu = u < zero ? zero : u;
            cu = cu > maxU ? maxU : cu;
            I32 cv = v < zero ? zero : v;
            cv = cv > maxV ? maxV : cv;
            samples(cu, cv, d + x, count);
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
    for (int sy = sy0; sy < sy1; ++sy) {
        const uint8_t *s = src.data + size_t(sy) * src.stride;
        uint8_t *d = dst.data + size_t(sy + y) * dst.stride + size_t(x) * 4;
        for (int i = sx0; i < sx1; i += Lanes) {
            const int n = sx1 - i < Lanes ? sx1 - i : Lanes;
            const U32 sp = loadPixels(s + 4 * i, n), dp = loadPixels(d + 4 * i, n);
            // d * (255 - alpha) / 255, exactly rounded; the picture is premultiplied,
            // so adding it cannot overflow.
            const U32 alpha = sp >> 24;
            const U16 k = U16(alpha | (alpha << 16));
            storePixels(d + 4 * i, sp + mixHalves(I16{}, I16{}, evenChannels(dp), oddChannels(dp), k), n);
        }
    }
}

} // namespace

size_t skinToneWork(int width)
{
    return tapRowBytes(width) + 2 * (size_t(width) * 4 + 64) + 64;
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
