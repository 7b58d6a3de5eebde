// The pixel kernels against independent references, run for every instruction set
// this CPU has, on odd sizes so that the vector tails and the edges run.
#include "camera/frame.h"
#include "video/kernels.h"

#include <QtTest>

#include <cmath>
#include <functional>
#include <random>

Q_DECLARE_METATYPE(const kernels::Table *)

namespace {

kernels::ConstBgra view(const FrameRef &f)
{
    return {f->data(), f->width(), f->height(), f->stride()};
}

kernels::Bgra target(const FrameRef &f)
{
    return {f->data(), f->width(), f->height(), f->stride()};
}

kernels::Area whole(int w, int h)
{
    return kernels::Area::whole(w, h);
}

uint32_t pixel(const FrameRef &f, int x, int y)
{
    uint32_t v;
    std::memcpy(&v, f->row(y) + 4 * x, 4);
    return v;
}

void setPixel(const FrameRef &f, int x, int y, uint32_t v)
{
    std::memcpy(f->row(y) + 4 * x, &v, 4);
}

FrameRef filled(int w, int h, uint32_t v)
{
    FrameRef f = Frame::create(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            setPixel(f, x, y, v);
    return f;
}

FrameRef noise(int w, int h, unsigned seed)
{
    std::mt19937 random(seed);
    FrameRef f = Frame::create(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w * 4; ++x)
            f->row(y)[x] = uint8_t(random());
    return f;
}

int channel(uint32_t v, int c)
{
    return int(v >> (8 * c) & 0xFF);
}

int maxDifference(uint32_t a, uint32_t b)
{
    int d = 0;
    for (int c = 0; c < 4; ++c)
        d = std::max(d, std::abs(channel(a, c) - channel(b, c)));
    return d;
}

uint32_t bgra(int r, int g, int b, int a = 255)
{
    return uint32_t(b) | uint32_t(g) << 8 | uint32_t(r) << 16 | uint32_t(a) << 24;
}

// The skin probability written as the colour kernel states it, branches and all.
double referenceSkin(int r8, int g8, int b8)
{
    const double r = r8 / 255.0, g = g8 / 255.0, b = b8 / 255.0;
    const double cb = -0.1687 * r - 0.3313 * g + 0.5 * b;
    const double cr = 0.5 * r - 0.4187 * g - 0.0813 * b;
    const auto smoothstep = [](double e0, double e1, double x) {
        const double t = std::clamp((x - e0) / (e1 - e0), 0.0, 1.0);
        return t * t * (3 - 2 * t);
    };
    const double skinCb = cb <= -0.25 ? smoothstep(-0.28, -0.25, cb)
                                      : (cb >= 0.025 ? smoothstep(0.055, 0.025, cb) : 1.0);
    const double skinCr = cr <= 0.025 ? smoothstep(-0.005, 0.025, cr)
                                      : (cr >= 0.25 ? smoothstep(0.28, 0.25, cr) : 1.0);
    return std::clamp(skinCb * skinCr, 0.0, 1.0);
}

} // namespace

class tst_Kernels : public QObject
{
    Q_OBJECT
private:
    void addTables();
private slots:
    void downscale4_data() { addTables(); }
    void downscale4();
    void skinMask_data() { addTables(); }
    void skinMask();
    void skinTone_data() { addTables(); }
    void skinTone();
    void blur_data();
    void blur();
    void blendMask_data() { addTables(); }
    void blendMask();
    void areaLimitsTheWrites_data() { addTables(); }
    void areaLimitsTheWrites();
    void warp_data() { addTables(); }
    void warp();
    void over_data() { addTables(); }
    void over();
    void hueRotationKeepsGrey();
};

void tst_Kernels::addTables()
{
    QTest::addColumn<const kernels::Table *>("table");
    QTest::newRow("baseline") << &kernels::baseline();
    QTest::newRow("avx2") << kernels::avx2();
}

#define FETCH_TABLE()                                                                              \
    QFETCH(const kernels::Table *, table);                                                         \
    if (!table)                                                                                    \
        QSKIP("this CPU has no AVX2 + FMA");

void tst_Kernels::downscale4()
{
    FETCH_TABLE();
    // 4 x 4 blocks of one value each average to that value; the last, partial
    // block column and row (10 = 2 * 4 + 2) repeat the edge.
    FrameRef src = Frame::create(10, 7);
    for (int y = 0; y < 7; ++y)
        for (int x = 0; x < 10; ++x)
            setPixel(src, x, y, bgra(x / 4 * 40, y / 4 * 60, 200, 255));
    FrameRef dst = Frame::create(3, 2);
    table->downscale4(view(src), target(dst));
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 3; ++x)
            QCOMPARE(pixel(dst, x, y), bgra(x * 40, y * 60, 200, 255));
    // A block of two values averages exactly.
    FrameRef mixed = filled(8, 4, bgra(0, 0, 0, 0));
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 2; ++x)
            setPixel(mixed, x, y, bgra(200, 100, 16, 255));
    FrameRef two = Frame::create(2, 1);
    table->downscale4(view(mixed), target(two));
    QCOMPARE(pixel(two, 0, 0), bgra(100, 50, 8, 128));
    QCOMPARE(pixel(two, 1, 0), bgra(0, 0, 0, 0));
    // Wide enough for whole vectors of blocks and a rest: every block is its exact,
    // rounded mean, edges repeated.
    const int w = 150, h = 23;
    FrameRef src2 = noise(w, h, 6);
    FrameRef dst2 = Frame::create(38, 6);
    table->downscale4(view(src2), target(dst2));
    for (int y = 0; y < 6; ++y)
        for (int x = 0; x < 38; ++x)
            for (int c = 0; c < 4; ++c) {
                int sum = 0;
                for (int j = 0; j < 4; ++j)
                    for (int i = 0; i < 4; ++i)
                        sum += channel(pixel(src2, std::min(4 * x + i, w - 1), std::min(4 * y + j, h - 1)), c);
                QCOMPARE(channel(pixel(dst2, x, y), c), (sum + 8) / 16);
            }
}

void tst_Kernels::skinMask()
{
    FETCH_TABLE();
    const int colours[][3] = {{224, 172, 105}, {198, 134, 66},  {141, 85, 36},   {255, 219, 172},
                              {110, 160, 230}, {128, 128, 128}, {0, 0, 0},       {255, 0, 0},
                              {40, 200, 60},   {230, 150, 150}, {210, 120, 100}, {90, 60, 50}};
    const int n = int(std::size(colours));
    FrameRef src = Frame::create(n, 1);
    for (int i = 0; i < n; ++i)
        setPixel(src, i, 0, bgra(colours[i][0], colours[i][1], colours[i][2]));
    std::vector<uint8_t> mask(n);
    table->skinMask(view(src), {mask.data(), n, 1, n});
    for (int i = 0; i < n; ++i) {
        const double expected = referenceSkin(colours[i][0], colours[i][1], colours[i][2]) * 255;
        QVERIFY2(std::abs(mask[i] - expected) <= 1.0,
                 qPrintable(QStringLiteral("colour %1: %2 vs %3").arg(i).arg(mask[i]).arg(expected)));
    }
    // Skin reads as skin and sky as not.
    QCOMPARE(mask[0], uint8_t(255));
    QCOMPARE(mask[4], uint8_t(0));
}

void tst_Kernels::skinTone()
{
    FETCH_TABLE();
    const int w = 253, h = 37;
    FrameRef src = noise(w, h, 1);
    float matrix[9];
    kernels::hueRotation(0.5f, matrix);
    std::vector<uint8_t> work(kernels::skinToneWorkBytes(w));
    FrameRef dst = Frame::create(w, h);

    // No weight anywhere: the picture comes through unchanged.
    std::vector<uint8_t> none(64 * 10, 0);
    table->skinTone(view(src), {none.data(), 64, 10, 64}, matrix, target(dst), work.data(), whole(w, h));
    for (int y = 0; y < h; ++y)
        QVERIFY(std::memcmp(src->row(y), dst->row(y), size_t(w) * 4) == 0);

    // Full weight: every pixel is the clamped matrix product, alpha kept; in place.
    std::vector<uint8_t> full(64 * 10, 255);
    FrameRef inPlace = Frame::create(w, h);
    kernels::copy(view(src), target(inPlace));
    table->skinTone(view(inPlace), {full.data(), 64, 10, 64}, matrix, target(inPlace), work.data(), whole(w, h));
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const uint32_t p = pixel(src, x, y);
            const double r = channel(p, 2), g = channel(p, 1), b = channel(p, 0);
            const double rgb[3] = {r, g, b};
            double out[3];
            for (int k = 0; k < 3; ++k)
                out[k] = std::clamp(matrix[3 * k] * rgb[0] + matrix[3 * k + 1] * rgb[1]
                                        + matrix[3 * k + 2] * rgb[2],
                                    0.0, 255.0);
            const uint32_t expected = bgra(int(std::lround(out[0])), int(std::lround(out[1])),
                                           int(std::lround(out[2])), channel(p, 3));
            QVERIFY2(maxDifference(pixel(inPlace, x, y), expected) <= 1, qPrintable(QString::number(x)));
            QCOMPARE(channel(pixel(inPlace, x, y), 3), channel(p, 3));
        }
}

void tst_Kernels::blur_data()
{
    QTest::addColumn<const kernels::Table *>("table");
    QTest::addColumn<float>("sigma");
    for (float sigma : {0.3f, 1.0f, 2.5f, 4.0f}) {
        QTest::addRow("baseline sigma %.1f", sigma) << &kernels::baseline() << sigma;
        QTest::addRow("avx2 sigma %.1f", sigma) << kernels::avx2() << sigma;
    }
}

void tst_Kernels::blur()
{
    FETCH_TABLE();
    QFETCH(float, sigma);
    const int w = 61, h = 33;
    std::vector<uint8_t> work(kernels::blurWorkBytes(w, h));

    // A flat picture stays flat up to its borders: edges repeat, they do not darken.
    FrameRef flat = filled(w, h, bgra(200, 150, 100, 255));
    table->blur(view(flat), target(flat), sigma, work.data());
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            QVERIFY2(maxDifference(pixel(flat, x, y), bgra(200, 150, 100, 255)) <= 1,
                     qPrintable(QStringLiteral("%1,%2").arg(x).arg(y)));

    // A bright vertical line spreads with the asked variance and keeps its energy.
    FrameRef line = filled(w, h, 0);
    for (int y = 0; y < h; ++y)
        setPixel(line, w / 2, y, bgra(250, 250, 250, 250));
    FrameRef out = Frame::create(w, h);
    table->blur(view(line), target(out), sigma, work.data());
    double sum = 0, moment = 0;
    for (int x = 0; x < w; ++x) {
        const double v = channel(pixel(out, x, h / 2), 2);
        sum += v;
        moment += v * (x - w / 2) * (x - w / 2);
    }
    QVERIFY2(std::abs(sum - 250) <= 0.02 * 250 + w * 0.5, qPrintable(QString::number(sum)));
    const double variance = moment / sum;
    QVERIFY2(std::abs(variance - sigma * sigma) <= 0.15 * sigma * sigma + 0.3,
             qPrintable(QStringLiteral("variance %1 for sigma %2").arg(variance).arg(sigma)));
}

void tst_Kernels::blendMask()
{
    FETCH_TABLE();
    const int w = 127, h = 29;
    FrameRef fg = noise(w, h, 2);
    FrameRef bg = filled(32, 8, bgra(10, 20, 30, 255));
    std::vector<uint8_t> work(kernels::blendWorkBytes(w));
    FrameRef dst = Frame::create(w, h);
    for (const int m : {255, 0, 128}) {
        std::vector<uint8_t> mask(17 * 5, uint8_t(m));
        table->blendMask(view(fg), view(bg), {mask.data(), 17, 5, 17}, target(dst), work.data(), whole(w, h));
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                const uint32_t f = pixel(fg, x, y), b = bgra(10, 20, 30, 255);
                uint32_t expected = 0;
                for (int c = 0; c < 4; ++c)
                    expected |= uint32_t(std::lround((channel(f, c) * m + channel(b, c) * (255 - m)) / 255.0))
                                << (8 * c);
                QVERIFY2(maxDifference(pixel(dst, x, y), expected) <= (m == 128 ? 1 : 0),
                         qPrintable(QStringLiteral("mask %1 at %2,%3").arg(m).arg(x).arg(y)));
            }
    }
    // A varied background and mask, scaled up by 4 and 5 with pixel centres
    // aligned: within rounding of the blend of their bilinear samples.
    FrameRef bgNoise = noise(32, 8, 7);
    std::vector<uint8_t> ramp(26 * 6);
    for (size_t i = 0; i < ramp.size(); ++i)
        ramp[i] = uint8_t(i * 37 % 256);
    table->blendMask(view(fg), view(bgNoise), {ramp.data(), 26, 6, 26}, target(dst), work.data(), whole(w, h));
    const auto sample = [](double p, int n, double &t) {
        p = std::clamp(p, 0.0, n - 1.0);
        const int i = std::min(int(p), n - 2);
        t = p - i;
        return i;
    };
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            double tx, ty, ux, uy;
            const int bx = sample((x + 0.5) * 32 / w - 0.5, 32, tx), by = sample((y + 0.5) * 8 / h - 0.5, 8, ty);
            const int mx = sample((x + 0.5) * 26 / w - 0.5, 26, ux), my = sample((y + 0.5) * 6 / h - 0.5, 6, uy);
            const auto m = [&](int i, int j) { return double(ramp[size_t(my + j) * 26 + mx + i]); };
            const double k = (m(0, 0) * (1 - ux) + m(1, 0) * ux) * (1 - uy) + (m(0, 1) * (1 - ux) + m(1, 1) * ux) * uy;
            for (int c = 0; c < 4; ++c) {
                const auto b = [&](int i, int j) { return double(channel(pixel(bgNoise, bx + i, by + j), c)); };
                const double back = (b(0, 0) * (1 - tx) + b(1, 0) * tx) * (1 - ty) + (b(0, 1) * (1 - tx) + b(1, 1) * tx) * ty;
                const double expected = (channel(pixel(fg, x, y), c) * k + back * (255 - k)) / 255;
                QVERIFY2(std::abs(channel(pixel(dst, x, y), c) - expected) <= 2.5,
                         qPrintable(QStringLiteral("%1,%2 channel %3: %4 vs %5")
                                        .arg(x).arg(y).arg(c).arg(channel(pixel(dst, x, y), c)).arg(expected)));
            }
        }

    // Each side of a hard mask edge takes its own picture.
    std::vector<uint8_t> half(16 * 4, 0);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 8; ++x)
            half[size_t(y) * 16 + x] = 255;
    table->blendMask(view(fg), view(bg), {half.data(), 16, 4, 16}, target(dst), work.data(), whole(w, h));
    QCOMPARE(pixel(dst, 3, 10), pixel(fg, 3, 10));
    QCOMPARE(pixel(dst, w - 3, 10), bgra(10, 20, 30, 255));
}

void tst_Kernels::areaLimitsTheWrites()
{
    // Within an area the skin tone and the blend write what they write for the whole
    // picture, to the byte (vector tails and the mask's and background's upscales
    // included); outside it they leave the target alone, in place or not.
    FETCH_TABLE();
    const int w = 203, h = 41;
    FrameRef src = noise(w, h, 11), bg = noise(51, 11, 12);
    std::vector<uint8_t> mask(26 * 6);
    for (size_t i = 0; i < mask.size(); ++i)
        mask[i] = uint8_t(i * 53 % 256);
    const kernels::ConstGray small{mask.data(), 26, 6, 26};
    float matrix[9];
    kernels::hueRotation(-0.4f, matrix);
    std::vector<uint8_t> work(std::max(kernels::skinToneWorkBytes(w), kernels::blendWorkBytes(w)));
    const uint32_t untouched = bgra(1, 2, 3, 4);

    const auto tone = [&](const FrameRef &out, kernels::Area area) {
        table->skinTone(view(src), small, matrix, target(out), work.data(), area);
    };
    const auto blend = [&](const FrameRef &out, kernels::Area area) {
        table->blendMask(view(src), view(bg), small, target(out), work.data(), area);
    };
    const std::function<void(const FrameRef &, kernels::Area)> runs[] = {tone, blend};
    const kernels::Area areas[] = {{37, 5, 170, 33}, {0, 0, 9, h}, {w - 3, 17, w + 40, 18}, {-5, -5, 2, 2}};
    for (int which = 0; which < 2; ++which) {
        FrameRef all = filled(w, h, untouched);
        runs[which](all, whole(w, h));
        for (const kernels::Area &a : areas) {
            FrameRef part = filled(w, h, untouched);
            runs[which](part, a);
            for (int y = 0; y < h; ++y)
                for (int x = 0; x < w; ++x) {
                    const bool inside = x >= a.x0 && x < a.x1 && y >= a.y0 && y < a.y1;
                    QVERIFY2(pixel(part, x, y) == (inside ? pixel(all, x, y) : untouched),
                             qPrintable(QStringLiteral("%1, area %2,%3-%4,%5 at %6,%7")
                                            .arg(which ? "blend" : "tone")
                                            .arg(a.x0).arg(a.y0).arg(a.x1).arg(a.y1).arg(x).arg(y)));
                }
        }
    }
    // In place: the picture outside the area stays the source.
    FrameRef inPlace = Frame::create(w, h);
    kernels::copy(view(src), target(inPlace));
    table->skinTone(view(inPlace), small, matrix, target(inPlace), work.data(), {10, 10, 20, 20});
    QCOMPARE(pixel(inPlace, 5, 5), pixel(src, 5, 5));
    QCOMPARE(pixel(inPlace, 25, 15), pixel(src, 25, 15));
}

void tst_Kernels::warp()
{
    FETCH_TABLE();
    const int w = 77, h = 41;
    FrameRef src = noise(w, h, 3);
    FrameRef dst = Frame::create(w, h);
    const uint32_t black = bgra(0, 0, 0, 255);

    // The identity reproduces the frame exactly.
    table->warp(view(src), target(dst), kernels::Affine{}, 0, w, black);
    for (int y = 0; y < h; ++y)
        QVERIFY(std::memcmp(src->row(y), dst->row(y), size_t(w) * 4) == 0);

    // A shift by 3 columns: output x shows source x + 3; columns past the edge are filled.
    kernels::Affine shift;
    shift.x0 = 3;
    table->warp(view(src), target(dst), shift, 0, w, black);
    QCOMPARE(pixel(dst, 10, 5), pixel(src, 13, 5));
    QCOMPARE(pixel(dst, w - 4, 5), pixel(src, w - 1, 5));
    QCOMPARE(pixel(dst, w - 3, 5), black);

    // A shift down by 5 rows: the rows above the picture are filled, first column too.
    kernels::Affine down;
    down.y0 = -5;
    table->warp(view(src), target(dst), down, 0, w, black);
    for (int x = 0; x < w; ++x)
        QCOMPARE(pixel(dst, x, 4), black);
    QCOMPARE(pixel(dst, 0, 5), pixel(src, 0, 0));

    // Half-way between two pixels gives their mean.
    kernels::Affine half;
    half.x0 = 0.5;
    table->warp(view(src), target(dst), half, 0, w, black);
    for (int x = 0; x < w - 1; ++x) {
        uint32_t expected = 0;
        for (int c = 0; c < 4; ++c)
            expected |= uint32_t((channel(pixel(src, x, 7), c) + channel(pixel(src, x + 1, 7), c) + 1) / 2)
                        << (8 * c);
        QVERIFY2(maxDifference(pixel(dst, x, 7), expected) <= 1, qPrintable(QString::number(x)));
    }

    // Columns outside the clip run are filled whatever the source.
    table->warp(view(src), target(dst), kernels::Affine{}, 5, w - 6, black);
    QCOMPARE(pixel(dst, 4, 3), black);
    QCOMPARE(pixel(dst, 5, 3), pixel(src, 5, 3));
    QCOMPARE(pixel(dst, w - 7, 3), pixel(src, w - 7, 3));
    QCOMPARE(pixel(dst, w - 6, 3), black);

    // A quarter turn (source column = output row): exact on pixel centres.
    FrameRef square = noise(33, 33, 4);
    FrameRef turned = Frame::create(33, 33);
    kernels::Affine quarter;
    quarter.xx = 0;
    quarter.xy = 1;
    quarter.yx = 1;
    quarter.yy = 0;
    table->warp(view(square), target(turned), quarter, 0, 33, black);
    for (int y = 0; y < 33; ++y)
        for (int x = 0; x < 33; ++x)
            QCOMPARE(pixel(turned, x, y), pixel(square, y, x));
}

void tst_Kernels::over()
{
    FETCH_TABLE();
    const int w = 45, h = 21;
    FrameRef base = noise(w, h, 5);
    // Clear, opaque and half-covered columns of a premultiplied picture.
    FrameRef picture = Frame::create(19, 9);
    for (int y = 0; y < 9; ++y)
        for (int x = 0; x < 19; ++x)
            setPixel(picture, x, y, x < 6 ? 0 : (x < 12 ? bgra(200, 40, 90, 255) : bgra(60, 20, 64, 128)));
    for (const QPoint at : {QPoint(5, 4), QPoint(-7, -3), QPoint(35, 15)}) {
        FrameRef dst = Frame::create(w, h);
        kernels::copy(view(base), target(dst));
        table->over(view(picture), target(dst), at.x(), at.y());
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                const int px = x - at.x(), py = y - at.y();
                const uint32_t d = pixel(base, x, y);
                if (px < 0 || py < 0 || px >= 19 || py >= 9) {
                    QCOMPARE(pixel(dst, x, y), d);
                    continue;
                }
                const uint32_t s = pixel(picture, px, py);
                uint32_t expected = 0;
                for (int c = 0; c < 4; ++c)
                    expected |= uint32_t(channel(s, c)
                                         + std::lround(channel(d, c) * (255 - channel(s, 3)) / 255.0))
                                << (8 * c);
                QCOMPARE(pixel(dst, x, y), expected);
            }
    }
}

void tst_Kernels::hueRotationKeepsGrey()
{
    float m[9];
    kernels::hueRotation(1.3f, m);
    for (int row = 0; row < 3; ++row)
        QVERIFY(std::abs(m[3 * row] + m[3 * row + 1] + m[3 * row + 2] - 1.0f) < 1e-5f);
    // A third of a turn takes red to green, green to blue.
    kernels::hueRotation(float(2 * M_PI / 3), m);
    QVERIFY(std::abs(m[3] - 1.0f) < 1e-5f && std::abs(m[0]) < 1e-5f && std::abs(m[6]) < 1e-5f);
}

QTEST_APPLESS_MAIN(tst_Kernels)
#include "tst_kernels.moc"
