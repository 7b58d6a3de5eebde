#include "camera/capturemode.h"
#include "camera/convert_kernels.h"
#include "camera/frame.h"
#include "camera/frameconverter.h"
#include "camera/simulatedscene.h"

#include <QRandomGenerator>
#include <QtTest>

#include <turbojpeg.h>

#include <cmath>

namespace {

struct Bgr
{
    int b, g, r;
};

// BT.601 in floating point, limited or full range: the independent reference for the
// fixed-point kernels.
Bgr referenceBgr(int y, int u, int v, bool fullRange = false)
{
    const double c = fullRange ? y : 255.0 / 219.0 * (y - 16);
    const double d = (fullRange ? 1.0 : 255.0 / 224.0) * (u - 128);
    const double e = (fullRange ? 1.0 : 255.0 / 224.0) * (v - 128);
    auto clamp = [](double x) { return int(std::lround(std::clamp(x, 0.0, 255.0))); };
    return { clamp(c + 1.772 * d), clamp(c - 0.344136 * d - 0.714136 * e), clamp(c + 1.402 * e) };
}

struct Yuv
{
    int y, u, v;
};

// The full-range BT.601 code of a colour, rounded.
Yuv fullRangeYuv(Bgr c)
{
    const double y = 0.299 * c.r + 0.587 * c.g + 0.114 * c.b;
    auto code = [](double x) { return int(std::lround(std::clamp(x, 0.0, 255.0))); };
    return { code(y), code(128 + (c.b - y) / 1.772), code(128 + (c.r - y) / 1.402) };
}

QList<const convert::Kernels *> kernelVariants()
{
    QList<const convert::Kernels *> variants { &convert::baselineKernels() };
    if (convert::avx2Kernels())
        variants << convert::avx2Kernels();
    return variants;
}

// The largest channel difference between a BGRA pixel and the expected colour; alpha must be 255.
int pixelError(const uint8_t *p, Bgr expected)
{
    if (p[3] != 255)
        return 256;
    return std::max(
        { std::abs(p[0] - expected.b), std::abs(p[1] - expected.g), std::abs(p[2] - expected.r) });
}

QString offBy(const convert::Kernels *kernels, int x, int y, int error)
{
    return QStringLiteral("%1 at %2,%3: off by %4").arg(kernels->name).arg(x).arg(y).arg(error);
}

// Eight vertical bars of full-range BGRA colours: white, yellow, cyan, green, magenta, red,
// blue, black.
const Bgr Bars[8] = { { 255, 255, 255 }, { 0, 255, 255 }, { 255, 255, 0 }, { 0, 255, 0 },
    { 255, 0, 255 }, { 0, 0, 255 }, { 255, 0, 0 }, { 0, 0, 0 } };

std::vector<uint8_t> barsBgra(int width, int height)
{
    std::vector<uint8_t> pixels(size_t(width) * height * 4);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const Bgr c = Bars[x * 8 / width];
            uint8_t *p = &pixels[(size_t(y) * width + x) * 4];
            p[0] = uint8_t(c.b);
            p[1] = uint8_t(c.g);
            p[2] = uint8_t(c.r);
            p[3] = 255;
        }
    return pixels;
}

std::vector<uint8_t> encodeJpeg(
    const std::vector<uint8_t> &bgra, int width, int height, int subsampling = TJSAMP_422)
{
    tjhandle encoder = tjInitCompress();
    unsigned char *jpeg = nullptr;
    unsigned long size = 0;
    const int rc = tjCompress2(encoder, bgra.data(), width, width * 4, height, TJPF_BGRA, &jpeg,
        &size, subsampling, 95, 0);
    std::vector<uint8_t> out;
    if (rc == 0)
        out.assign(jpeg, jpeg + size);
    tjFree(jpeg);
    tjDestroy(encoder);
    return out;
}

// Checks the centre of every bar in every row band of `frame` against the bar colours.
int worstBarError(const Frame &frame)
{
    int worst = 0;
    for (int band = 0; band < 3; ++band) {
        const int y = (band * 2 + 1) * frame.height() / 6;
        for (int bar = 0; bar < 8; ++bar) {
            const int x = (bar * 2 + 1) * frame.width() / 16;
            worst = std::max(worst, pixelError(frame.row(y) + 4 * x, Bars[bar]));
        }
    }
    return worst;
}

} // namespace

class tst_ConvertKernels : public QObject
{
    Q_OBJECT
private slots:
    void yuvColourBars_data();
    void yuvColourBars();
    void yuvMatchesReference();
    void variantsAgree();
    void converterReadsYuvLayouts_data();
    void converterReadsYuvLayouts();
    void fullRangeIsHonoured();
    void scaledPictureKeepsLayout_data();
    void scaledPictureKeepsLayout();
    void mjpegColourBars_data();
    void mjpegColourBars();
    void damagedMjpegIsDropped_data();
    void damagedMjpegIsDropped();
    void corruptMjpegNeverCrashes();
    void mjpegSizeChangeFollowsStream();
    void rejectsWhatItCannotRead();
    void chooseMode_data();
    void chooseMode();
};

void tst_ConvertKernels::yuvColourBars_data()
{
    QTest::addColumn<int>("y");
    QTest::addColumn<int>("u");
    QTest::addColumn<int>("v");
    QTest::addColumn<int>("b");
    QTest::addColumn<int>("g");
    QTest::addColumn<int>("r");
    // 100 % and 75 % colour bars in BT.601 limited range and the colours they stand for.
    QTest::newRow("white") << 235 << 128 << 128 << 255 << 255 << 255;
    QTest::newRow("yellow") << 210 << 16 << 146 << 0 << 255 << 255;
    QTest::newRow("cyan") << 170 << 166 << 16 << 255 << 255 << 0;
    QTest::newRow("green") << 145 << 54 << 34 << 0 << 255 << 0;
    QTest::newRow("magenta") << 106 << 202 << 222 << 255 << 0 << 255;
    QTest::newRow("red") << 81 << 90 << 240 << 0 << 0 << 255;
    QTest::newRow("blue") << 41 << 240 << 110 << 255 << 0 << 0;
    QTest::newRow("black") << 16 << 128 << 128 << 0 << 0 << 0;
    QTest::newRow("75% white") << 180 << 128 << 128 << 191 << 191 << 191;
    QTest::newRow("75% yellow") << 162 << 44 << 142 << 0 << 191 << 191;
    QTest::newRow("75% cyan") << 131 << 156 << 44 << 191 << 191 << 0;
    QTest::newRow("75% green") << 112 << 72 << 58 << 0 << 191 << 0;
    QTest::newRow("75% magenta") << 84 << 184 << 198 << 191 << 0 << 191;
    QTest::newRow("75% red") << 65 << 100 << 212 << 0 << 0 << 191;
    QTest::newRow("75% blue") << 35 << 212 << 114 << 191 << 0 << 0;
    QTest::newRow("below black clamps") << 4 << 128 << 128 << 0 << 0 << 0;
    QTest::newRow("above white clamps") << 254 << 128 << 128 << 255 << 255 << 255;
    // The same bars coded in full range.
    const char *names[8]
        = { "white", "yellow", "cyan", "green", "magenta", "red", "blue", "black" };
    for (int bar = 0; bar < 8; ++bar) {
        const Yuv c = fullRangeYuv(Bars[bar]);
        QTest::addRow("full range %s", names[bar])
            << c.y << c.u << c.v << Bars[bar].b << Bars[bar].g << Bars[bar].r;
    }
}

// Every layout at an odd width and height, so the unpaired last column and the last chroma row
// run too.
void tst_ConvertKernels::yuvColourBars()
{
    const bool fullRange = QByteArray(QTest::currentDataTag()).startsWith("full range");
    QFETCH(int, y);
    QFETCH(int, u);
    QFETCH(int, v);
    QFETCH(int, b);
    QFETCH(int, g);
    QFETCH(int, r);
    const Bgr expected { b, g, r };
    const int width = 37, height = 5, pairs = (width + 1) / 2;

    std::vector<uint8_t> yuyv(size_t(pairs) * 4 * height);
    std::vector<uint8_t> uyvy(yuyv.size());
    for (int i = 0; i < pairs * height; ++i) {
        const uint8_t pair[4] = { uint8_t(y), uint8_t(u), uint8_t(y), uint8_t(v) };
        std::memcpy(&yuyv[4 * i], pair, 4);
        const uint8_t swapped[4] = { uint8_t(u), uint8_t(y), uint8_t(v), uint8_t(y) };
        std::memcpy(&uyvy[4 * i], swapped, 4);
    }
    const int uvRows = (height + 1) / 2;
    std::vector<uint8_t> luma(size_t(width) * height, uint8_t(y));
    std::vector<uint8_t> chroma(size_t(pairs) * 2 * uvRows);
    for (int i = 0; i < pairs * uvRows; ++i) {
        chroma[2 * i] = uint8_t(u);
        chroma[2 * i + 1] = uint8_t(v);
    }
    const std::vector<uint8_t> uPlane(size_t(pairs) * uvRows, uint8_t(u));
    const std::vector<uint8_t> vPlane(size_t(pairs) * uvRows, uint8_t(v));

    for (const convert::Kernels *k : kernelVariants()) {
        const convert::YuvKernels &yuv = fullRange ? k->fullRange : k->limitedRange;
        FrameRef out = Frame::create(width, height);
        const char *layouts[] = { "YUYV", "UYVY", "NV12", "I420" };
        for (int layout = 0; layout < 4; ++layout) {
            std::memset(out->data(), 0, out->byteCount());
            if (layout == 0)
                yuv.yuyvToBgra(yuyv.data(), pairs * 4, out->data(), out->stride(), width, height);
            else if (layout == 1)
                yuv.uyvyToBgra(uyvy.data(), pairs * 4, out->data(), out->stride(), width, height);
            else if (layout == 2)
                yuv.nv12ToBgra(luma.data(), width, chroma.data(), pairs * 2, out->data(),
                    out->stride(), width, height);
            else
                yuv.i420ToBgra(luma.data(), width, uPlane.data(), vPlane.data(), pairs, out->data(),
                    out->stride(), width, height);
            int worst = 0;
            for (int row = 0; row < height; ++row)
                for (int x = 0; x < width; ++x)
                    worst = std::max(worst, pixelError(out->row(row) + 4 * x, expected));
            if (worst > 2)
                QFAIL(qPrintable(
                    QStringLiteral("%1 %2: off by %3").arg(k->name, layouts[layout]).arg(worst)));
        }
    }
}

// Random YUYV against the floating-point reference in both ranges; catches swapped chroma or
// luma order.
void tst_ConvertKernels::yuvMatchesReference()
{
    const int width = 1279, height = 3, pairs = (width + 1) / 2;
    std::vector<uint8_t> yuyv(size_t(pairs) * 4 * height);
    QRandomGenerator random(7);
    for (uint8_t &byte : yuyv)
        byte = uint8_t(random.bounded(256));
    for (const convert::Kernels *k : kernelVariants())
        for (const bool full : { false, true }) {
            FrameRef out = Frame::create(width, height);
            (full ? k->fullRange : k->limitedRange)
                .yuyvToBgra(yuyv.data(), pairs * 4, out->data(), out->stride(), width, height);
            for (int y = 0; y < height; ++y)
                for (int x = 0; x < width; ++x) {
                    const uint8_t *s = &yuyv[size_t(y) * pairs * 4 + (x / 2) * 4];
                    const Bgr expected = referenceBgr(s[(x & 1) * 2], s[1], s[3], full);
                    const int error = pixelError(out->row(y) + 4 * x, expected);
                    if (error > 1)
                        QFAIL(qPrintable(offBy(k, x, y, error) + (full ? " (full)" : "")));
                }
        }
}

// Integer kernels: the AVX2 build must give the very bytes of the baseline build.
void tst_ConvertKernels::variantsAgree()
{
    const convert::Kernels *avx2 = convert::avx2Kernels();
    if (!avx2)
        QSKIP("this CPU has no AVX2");
    const convert::Kernels &base = convert::baselineKernels();
    const int width = 1279, height = 33;
    std::vector<uint8_t> input(size_t(width + 1) * 4 * height * 2);
    QRandomGenerator random(11);
    for (uint8_t &byte : input)
        byte = uint8_t(random.bounded(256));
    const int stride = (width + 1) * 4;

    std::vector<int32_t> x0(700), x1(700), y0(20), y1(20);
    std::vector<uint16_t> wx(700), wy(20);
    for (int i = 0; i < 700; ++i) {
        x0[i] = i * width / 700;
        x1[i] = std::min(x0[i] + 1, width - 1);
        wx[i] = uint16_t(random.bounded(257));
    }
    for (int i = 0; i < 20; ++i) {
        y0[i] = i * height / 20;
        y1[i] = std::min(y0[i] + 1, height - 1);
        wy[i] = uint16_t(random.bounded(257));
    }
    std::vector<uint8_t> row(size_t(width) * 4);
    const convert::ScaleTables tables { x0.data(), x1.data(), wx.data(), y0.data(), y1.data(),
        wy.data(), width, row.data() };
    // An enlargement too (301 source columns to 700), where runs of outputs share their samples.
    const int narrow = 301;
    std::vector<int32_t> up0(700), up1(700);
    for (int i = 0; i < 700; ++i) {
        up0[i] = i * narrow / 700;
        up1[i] = std::min(up0[i] + 1, narrow - 1);
    }
    std::vector<uint8_t> narrowRow(size_t(narrow) * 4);
    const convert::ScaleTables enlarge { up0.data(), up1.data(), wx.data(), y0.data(), y1.data(),
        wy.data(), narrow, narrowRow.data() };

    auto run = [&](const convert::Kernels &k, int which) {
        FrameRef out = Frame::create(width, height);
        std::memset(out->data(), 0, out->byteCount());
        // Cases 5 and 6 are the YUV kernels of the full range.
        const convert::YuvKernels &yuv = which == 5 || which == 6 ? k.fullRange : k.limitedRange;
        const uint8_t *planes = input.data() + stride * height;
        switch (which) {
        case 0:
        case 5:
            yuv.yuyvToBgra(input.data(), stride, out->data(), out->stride(), width, height);
            break;
        case 1:
        case 6:
            yuv.nv12ToBgra(
                input.data(), stride, planes, stride, out->data(), out->stride(), width, height);
            break;
        case 7:
            yuv.uyvyToBgra(input.data(), stride, out->data(), out->stride(), width, height);
            break;
        case 8:
            yuv.i420ToBgra(input.data(), stride, planes, planes + stride / 2, stride, out->data(),
                out->stride(), width, height);
            break;
        case 2:
            k.bgrxToBgra(input.data(), stride, out->data(), out->stride(), width, height);
            break;
        case 3:
            k.halveBgra(input.data(), stride, out->data(), out->stride(), width / 2, height);
            break;
        case 4:
            k.scaleBgra(input.data(), stride, out->data(), out->stride(), 700, 20, tables);
            break;
        case 9:
            k.scaleBgra(input.data(), stride, out->data(), out->stride(), 700, 20, enlarge);
            break;
        }
        return QByteArray(reinterpret_cast<const char *>(out->data()), qsizetype(out->byteCount()));
    };
    const char *names[]
        = { "yuyv", "nv12", "bgrx", "halve", "scale", "full yuyv", "full nv12", "uyvy", "i420",
              "enlarge" };
    for (int which = 0; which < 10; ++which)
        QVERIFY2(run(base, which) == run(*avx2, which), names[which]);
}

void tst_ConvertKernels::converterReadsYuvLayouts_data()
{
    QTest::addColumn<uint32_t>("format");
    QTest::addColumn<QSize>("target");
    QTest::newRow("YUYV") << PixelFormat::Yuyv << QSize(640, 360);
    QTest::newRow("UYVY") << PixelFormat::Uyvy << QSize(640, 360);
    QTest::newRow("UYVY halved") << PixelFormat::Uyvy << QSize(320, 180);
    QTest::newRow("NV12") << PixelFormat::Nv12 << QSize(640, 360);
    QTest::newRow("YU12") << PixelFormat::Yu12 << QSize(640, 360);
    QTest::newRow("YU12 scaled") << PixelFormat::Yu12 << QSize(500, 281);
    QTest::newRow("YV12") << PixelFormat::Yv12 << QSize(640, 360);
}

// The colour bars coded in each camera layout come out as the bars through the whole converter:
// plane order, chroma strides and sizes included.
void tst_ConvertKernels::converterReadsYuvLayouts()
{
    QFETCH(uint32_t, format);
    QFETCH(QSize, target);
    const int width = 640, height = 360;
    std::vector<uint8_t> coded;
    QVERIFY(SimulatedScene::encode(format == PixelFormat::Yv12 ? PixelFormat::Yu12 : format,
        barsBgra(width, height).data(), width, height, coded));
    if (format == PixelFormat::Yv12) {
        // The same planes with V before U.
        const size_t luma = size_t(width) * height, plane = luma / 4;
        std::swap_ranges(coded.begin() + qsizetype(luma), coded.begin() + qsizetype(luma + plane),
            coded.begin() + qsizetype(luma + plane));
    }
    for (const convert::Kernels *k : kernelVariants()) {
        FrameConverter converter;
        converter.setKernels(*k);
        QVERIFY(converter.configure(format, QSize(width, height), 0, target));
        FrameRef out = Frame::create(target.width(), target.height());
        QVERIFY(converter.convert(coded.data(), coded.size(), *out));
        QVERIFY2(worstBarError(*out) <= 4, qPrintable(QString::number(worstBarError(*out))));
    }
}

// Full-range YUYV of 75 % colour bars comes out as those colours only when read as full range;
// read as limited range its colours are stretched away from them.
void tst_ConvertKernels::fullRangeIsHonoured()
{
    const int width = 640, height = 8, pairs = width / 2;
    Bgr bars[8];
    for (int bar = 0; bar < 8; ++bar)
        bars[bar] = { Bars[bar].b * 3 / 4, Bars[bar].g * 3 / 4, Bars[bar].r * 3 / 4 };
    std::vector<uint8_t> yuyv(size_t(pairs) * 4 * height);
    for (int y = 0; y < height; ++y)
        for (int i = 0; i < pairs; ++i) {
            const Yuv c = fullRangeYuv(bars[2 * i * 8 / width]);
            const uint8_t pair[4] = { uint8_t(c.y), uint8_t(c.u), uint8_t(c.y), uint8_t(c.v) };
            std::memcpy(&yuyv[(size_t(y) * pairs + i) * 4], pair, 4);
        }
    auto worst = [&](const Frame &frame) {
        int error = 0;
        for (int bar = 0; bar < 8; ++bar)
            error = std::max(error,
                pixelError(frame.row(height / 2) + 4 * ((2 * bar + 1) * width / 16), bars[bar]));
        return error;
    };
    for (const convert::Kernels *k : kernelVariants()) {
        FrameConverter converter;
        converter.setKernels(*k);
        FrameRef out = Frame::create(width, height);
        QVERIFY(converter.configure(PixelFormat::Yuyv, QSize(width, height), 0,
            QSize(width, height), FrameConverter::Range::Full));
        QVERIFY(converter.convert(yuyv.data(), yuyv.size(), *out));
        QCOMPARE_LE(worst(*out), 2);
        QVERIFY(converter.configure(PixelFormat::Yuyv, QSize(width, height), 0,
            QSize(width, height), FrameConverter::Range::Limited));
        QVERIFY(converter.convert(yuyv.data(), yuyv.size(), *out));
        QCOMPARE_GT(worst(*out), 10);
    }
}

void tst_ConvertKernels::scaledPictureKeepsLayout_data()
{
    QTest::addColumn<QSize>("source");
    QTest::addColumn<QSize>("target");
    QTest::newRow("same size") << QSize(1280, 720) << QSize(1280, 720);
    QTest::newRow("exact half") << QSize(1280, 720) << QSize(640, 360);
    QTest::newRow("quarter") << QSize(1280, 720) << QSize(320, 180);
    QTest::newRow("1080p to 360p") << QSize(1920, 1080) << QSize(640, 360);
    QTest::newRow("uneven down") << QSize(1280, 720) << QSize(1000, 563);
    QTest::newRow("up") << QSize(640, 360) << QSize(1280, 720);
    QTest::newRow("odd sizes") << QSize(1279, 717) << QSize(641, 361);
    QTest::newRow("4:3 cropped to 16:9") << QSize(640, 480) << QSize(640, 360);
    QTest::newRow("4:3 cropped and halved") << QSize(1280, 960) << QSize(640, 360);
    QTest::newRow("16:9 cropped to 4:3") << QSize(1280, 720) << QSize(640, 480);
}

// A picture of four coloured quadrants with a frame of another colour that only a crop may cut:
// every scale must keep the quadrants in place, exactly coloured away from their edges.
void tst_ConvertKernels::scaledPictureKeepsLayout()
{
    QFETCH(QSize, source);
    QFETCH(QSize, target);
    const int sw = source.width(), sh = source.height();
    const Bgr quadrant[4] = { { 0, 0, 200 }, { 200, 0, 0 }, { 0, 200, 0 }, { 200, 200, 0 } };
    std::vector<uint8_t> bgrx(size_t(sw) * sh * 4);
    for (int y = 0; y < sh; ++y)
        for (int x = 0; x < sw; ++x) {
            const Bgr c = quadrant[(y >= sh / 2) * 2 + (x >= sw / 2)];
            uint8_t *p = &bgrx[(size_t(y) * sw + x) * 4];
            p[0] = uint8_t(c.b);
            p[1] = uint8_t(c.g);
            p[2] = uint8_t(c.r);
            p[3] = 0; // BGRX: the converter makes it opaque
        }

    for (const convert::Kernels *k : kernelVariants()) {
        FrameConverter converter;
        converter.setKernels(*k);
        QVERIFY(converter.configure(PixelFormat::Bgrx, source, 0, target));
        FrameRef out = Frame::create(target.width(), target.height());
        QVERIFY(converter.convert(bgrx.data(), bgrx.size(), *out));
        const int tw = target.width(), th = target.height();
        for (int qy = 0; qy < 2; ++qy)
            for (int qx = 0; qx < 2; ++qx) {
                // Sample inside the quadrant, two pixels clear of its borders.
                for (int y = qy * th / 2 + 2; y < (qy + 1) * th / 2 - 2; y += 7)
                    for (int x = qx * tw / 2 + 2; x < (qx + 1) * tw / 2 - 2; x += 7) {
                        const int error = pixelError(out->row(y) + 4 * x, quadrant[qy * 2 + qx]);
                        if (error > 0)
                            QFAIL(qPrintable(offBy(k, x, y, error)));
                    }
            }
    }
}

void tst_ConvertKernels::mjpegColourBars_data()
{
    QTest::addColumn<QSize>("source");
    QTest::addColumn<QSize>("target");
    QTest::addColumn<int>("subsampling");
    QTest::newRow("720p 4:2:2") << QSize(1280, 720) << QSize(1280, 720) << int(TJSAMP_422);
    QTest::newRow("720p to 360p") << QSize(1280, 720) << QSize(640, 360) << int(TJSAMP_422);
    QTest::newRow("720p 4:2:0 to odd") << QSize(1280, 720) << QSize(853, 479) << int(TJSAMP_420);
    QTest::newRow("1080p to 360p") << QSize(1920, 1080) << QSize(640, 360) << int(TJSAMP_422);
}

void tst_ConvertKernels::mjpegColourBars()
{
    QFETCH(QSize, source);
    QFETCH(QSize, target);
    QFETCH(int, subsampling);
    const std::vector<uint8_t> jpeg = encodeJpeg(
        barsBgra(source.width(), source.height()), source.width(), source.height(), subsampling);
    QVERIFY(!jpeg.empty());
    FrameConverter converter;
    QVERIFY(converter.configure(PixelFormat::Mjpeg, source, 0, target));
    FrameRef out = Frame::create(target.width(), target.height());
    QVERIFY(converter.convert(jpeg.data(), jpeg.size(), *out));
    // JPEG is lossy; bar centres stay within a few levels at quality 95.
    QCOMPARE_LE(worstBarError(*out), 8);
}

void tst_ConvertKernels::damagedMjpegIsDropped_data()
{
    QTest::addColumn<QString>("damage");
    QTest::newRow("empty") << "empty";
    QTest::newRow("SOI only") << "soi";
    QTest::newRow("cut at 10%") << "cut10";
    QTest::newRow("cut at 60%") << "cut60";
    QTest::newRow("last byte missing") << "cut1";
    QTest::newRow("garbage between SOI and EOI") << "garbage";
    QTest::newRow("frame header zeroed") << "sof";
}

// A damaged frame is dropped with a warning, and the next good frame converts again.
void tst_ConvertKernels::damagedMjpegIsDropped()
{
    QFETCH(QString, damage);
    const QSize size(640, 360);
    const std::vector<uint8_t> good = encodeJpeg(barsBgra(640, 360), 640, 360);
    std::vector<uint8_t> bad = good;
    if (damage == "empty") {
        bad.clear();
    } else if (damage == "soi") {
        bad.resize(2);
    } else if (damage.startsWith("cut")) {
        const int percent = damage.mid(3).toInt();
        bad.resize(percent == 1 ? good.size() - 1 : good.size() * percent / 100);
    } else if (damage == "garbage") {
        QRandomGenerator random(3);
        for (size_t i = 2; i + 2 < bad.size(); ++i)
            bad[i] = uint8_t(random.bounded(256));
    } else if (damage == "sof") {
        for (size_t i = 2; i + 1 < bad.size(); ++i)
            if (bad[i] == 0xff && bad[i + 1] == 0xc0) {
                std::fill(bad.begin() + i + 2, bad.begin() + i + 19, 0);
                break;
            }
    }

    FrameConverter converter;
    QVERIFY(converter.configure(PixelFormat::Mjpeg, size, 0, size));
    FrameRef out = Frame::create(640, 360);
    QTest::ignoreMessage(
        QtWarningMsg, QRegularExpression("^FrameConverter::convert -> dropping MJPG frame: "));
    QVERIFY(!converter.convert(bad.data(), bad.size(), *out));
    QCOMPARE(converter.droppedFrames(), 1);
    // A run of bad frames is logged once (an unexpected second warning fails the test).
    QVERIFY(!converter.convert(bad.data(), bad.size(), *out));
    QCOMPARE(converter.droppedFrames(), 2);
    QTest::ignoreMessage(
        QtDebugMsg, "FrameConverter::convert -> frames convert again after 2 dropped");
    QVERIFY(converter.convert(good.data(), good.size(), *out));
    QCOMPARE_LE(worstBarError(*out), 8);
}

// Random damage anywhere in a frame must never crash or overrun (run under ASan by
// scripts/stress-capture for many more rounds); an intact frame afterwards converts again.
void tst_ConvertKernels::corruptMjpegNeverCrashes()
{
    const std::vector<uint8_t> good = encodeJpeg(barsBgra(320, 180), 320, 180);
    FrameConverter converter;
    QVERIFY(converter.configure(PixelFormat::Mjpeg, QSize(320, 180), 0, QSize(320, 180)));
    FrameRef out = Frame::create(320, 180);
    QRandomGenerator random(5);
    int dropped = 0;
    QtMessageHandler previous
        = qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    const auto restore = qScopeGuard([previous] { qInstallMessageHandler(previous); });
    const int stress = qEnvironmentVariableIntValue("TALVENTO_STRESS_CYCLES");
    const int rounds = stress > 0 ? stress * 10 : 300;
    for (int round = 0; round < rounds; ++round) {
        std::vector<uint8_t> bad = good;
        const int flips = 1 + int(random.bounded(8));
        for (int i = 0; i < flips; ++i)
            bad[2 + random.bounded(quint32(bad.size() - 4))] = uint8_t(random.bounded(256));
        if (round % 3 == 0)
            bad.resize(2 + random.bounded(quint32(bad.size() - 2)));
        if (!converter.convert(bad.data(), bad.size(), *out))
            ++dropped;
        QVERIFY(converter.convert(good.data(), good.size(), *out));
    }
    QCOMPARE(converter.droppedFrames(), dropped);
    QVERIFY(dropped >= 100); // every cut frame at least
    QCOMPARE_LE(worstBarError(*out), 8);
}

// A camera that sends pictures of another size than its mode: scaled to the target anyway.
void tst_ConvertKernels::mjpegSizeChangeFollowsStream()
{
    const std::vector<uint8_t> small = encodeJpeg(barsBgra(640, 360), 640, 360);
    FrameConverter converter;
    QVERIFY(converter.configure(PixelFormat::Mjpeg, QSize(1280, 720), 0, QSize(1280, 720)));
    FrameRef out = Frame::create(1280, 720);
    QTest::ignoreMessage(
        QtDebugMsg, "FrameConverter::convert -> input image dimensions have changed: 640 360");
    QVERIFY(converter.convert(small.data(), small.size(), *out));
    QCOMPARE_LE(worstBarError(*out), 8);
}

void tst_ConvertKernels::rejectsWhatItCannotRead()
{
    FrameConverter converter;
    QTest::ignoreMessage(
        QtWarningMsg, "FrameConverter::configure -> unsupported pixel format H264");
    QVERIFY(!converter.configure(
        PixelFormat::fourcc('H', '2', '6', '4'), QSize(640, 360), 0, QSize(640, 360)));
    FrameRef out = Frame::create(640, 360);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("dropping .* frame: not configured"));
    QVERIFY(!converter.convert(nullptr, 0, *out));

    // A YUYV frame shorter than its size needs.
    QVERIFY(converter.configure(PixelFormat::Yuyv, QSize(640, 360), 0, QSize(640, 360)));
    std::vector<uint8_t> shortFrame(640 * 2 * 359);
    QTest::ignoreMessage(
        QtWarningMsg, "FrameConverter::convert -> dropping YUYV frame: short frame");
    QVERIFY(!converter.convert(shortFrame.data(), shortFrame.size(), *out));
    shortFrame.resize(640 * 2 * 360, 128);
    QTest::ignoreMessage(
        QtDebugMsg, "FrameConverter::convert -> frames convert again after 1 dropped");
    QVERIFY(converter.convert(shortFrame.data(), shortFrame.size(), *out));
}

void tst_ConvertKernels::chooseMode_data()
{
    using namespace PixelFormat;
    QTest::addColumn<QList<CaptureMode>>("modes");
    QTest::addColumn<QSize>("requested");
    QTest::addColumn<int>("expected"); // index into modes, -1 for none

    const CaptureMode yuyv720slow { Yuyv, 1280, 720, 10 };
    const CaptureMode mjpeg720 { Mjpeg, 1280, 720, 30 };
    const CaptureMode yuyv360 { Yuyv, 640, 360, 30 };
    const CaptureMode yuyv480 { Yuyv, 640, 480, 30 };
    const CaptureMode mjpeg1080 { Mjpeg, 1920, 1080, 30 };
    const CaptureMode h264 { fourcc('H', '2', '6', '4'), 1280, 720, 30 };

    QTest::newRow("fast compressed beats slow raw")
        << QList { yuyv720slow, mjpeg720, yuyv480 } << QSize(1280, 720) << 1;
    QTest::newRow("exact size") << QList { mjpeg1080, mjpeg720, yuyv360, yuyv480 }
                                << QSize(640, 360) << 2;
    QTest::newRow("same shape before smaller area")
        << QList { yuyv480, mjpeg720 } << QSize(640, 360) << 1;
    QTest::newRow("raw on a tie") << QList { CaptureMode { Mjpeg, 640, 360, 30 }, yuyv360 }
                                  << QSize(640, 360) << 1;
    QTest::newRow("nothing big enough: the largest")
        << QList { yuyv360, CaptureMode { Yuyv, 960, 540, 30 }, yuyv480 } << QSize(1280, 720) << 1;
    QTest::newRow("only slow modes: the fastest")
        << QList { CaptureMode { Yuyv, 1280, 720, 5 }, yuyv720slow } << QSize(1280, 720) << 1;
    QTest::newRow("unsupported skipped") << QList { h264, yuyv360 } << QSize(1280, 720) << 1;
    QTest::newRow("only unsupported") << QList { h264 } << QSize(1280, 720) << -1;
    QTest::newRow("empty") << QList<CaptureMode> {} << QSize(640, 360) << -1;
}

void tst_ConvertKernels::chooseMode()
{
    QFETCH(QList<CaptureMode>, modes);
    QFETCH(QSize, requested);
    QFETCH(int, expected);
    const std::optional<CaptureMode> mode = chooseCaptureMode(modes, requested);
    QCOMPARE(mode.has_value(), expected >= 0);
    if (mode) {
        const CaptureMode &want = modes[expected];
        QCOMPARE(mode->pixelFormat, want.pixelFormat);
        QCOMPARE(QSize(mode->width, mode->height), QSize(want.width, want.height));
    }
}

QTEST_GUILESS_MAIN(tst_ConvertKernels)
#include "tst_convertkernels.moc"
