// The two real models: reference tensors reproduced element by element, and
// a real portrait photograph through the picture side (BGRA in, 8-bit mask out).

#include "video/nn/segmenter.h"

#include <QtTest>

#include <QFile>
#include <QImage>

using namespace nn;

namespace {

QString dataFile(const QString &name)
{
    return qEnvironmentVariable("TALVENTO_SOURCE_DIR") + "/tests/video/nn/data/" + name;
}

std::vector<float> readFloats(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray bytes = file.readAll();
    std::vector<float> values(size_t(bytes.size()) / sizeof(float));
    std::memcpy(values.data(), bytes.constData(), values.size() * sizeof(float));
    return values;
}

std::unique_ptr<Segmenter> loadSegmenter(Segmenter::Model which, const Kernels *kernels = nullptr, int threads = 1)
{
    const std::string path = Segmenter::findModel(which, QCoreApplication::applicationDirPath().toStdString());
    std::string error;
    auto segmenter = Segmenter::load(path, {threads, kernels}, &error);
    if (!segmenter)
        qWarning() << "Segmenter::load ->" << error.c_str();
    return segmenter;
}

/// The portrait as the camera delivers pictures: B, G, R, A bytes.
QImage portrait()
{
    return QImage(qEnvironmentVariable("TALVENTO_SOURCE_DIR") + "/.deps/astronaut.png")
        .convertToFormat(QImage::Format_ARGB32);
}

QImage maskOf(Segmenter &segmenter, const QImage &picture)
{
    if (!segmenter.run(picture.constBits(), picture.width(), picture.height(), size_t(picture.bytesPerLine())))
        return {};
    QImage mask(picture.size(), QImage::Format_Grayscale8);
    segmenter.mask(mask.bits(), mask.width(), mask.height(), size_t(mask.bytesPerLine()));
    return mask;
}

double meanIn(const QImage &mask, const QRect &box)
{
    double sum = 0;
    for (int y = box.top(); y <= box.bottom(); ++y)
        for (int x = box.left(); x <= box.right(); ++x)
            sum += mask.constScanLine(y)[x];
    return sum / (255.0 * box.width() * box.height());
}

} // namespace

class tst_Segmentation : public QObject
{
    Q_OBJECT

private slots:
    void goldenTensors_data();
    void goldenTensors();
    void portraitMask_data();
    void portraitMask();
    void modelsAgree();
    void maskScaling();
    void emptyPictureRefused();
};

void tst_Segmentation::goldenTensors_data()
{
    QTest::addColumn<int>("which");
    QTest::addColumn<QString>("stem");
    QTest::addColumn<QString>("variant");
    QTest::addColumn<int>("threads");
    for (const char *variant : {"baseline", "avx2"}) {
        QTest::addRow("landscape %s", variant) << int(Segmenter::Model::Landscape)
                                               << "astronaut.selfie_segmentation_landscape" << variant << 1;
        QTest::addRow("general %s", variant) << int(Segmenter::Model::General) << "astronaut.selfie_segmentation"
                                             << variant << 1;
    }
    QTest::addRow("landscape best, two threads") << int(Segmenter::Model::Landscape)
                                                 << "astronaut.selfie_segmentation_landscape" << "best" << 2;
}

void tst_Segmentation::goldenTensors()
{
    QFETCH(int, which);
    QFETCH(QString, stem);
    QFETCH(QString, variant);
    QFETCH(int, threads);
    const Kernels *kernels = nullptr;
    if (variant == "baseline")
        kernels = &baselineKernels();
    if (variant == "avx2") {
        if (!__builtin_cpu_supports("avx2") || !__builtin_cpu_supports("fma"))
            QSKIP("this CPU lacks AVX2/FMA");
        kernels = &avx2Kernels();
    }
    auto segmenter = loadSegmenter(Segmenter::Model(which), kernels, threads);
    QVERIFY(segmenter);
    Network &net = segmenter->network();
    const std::vector<float> input = readFloats(dataFile(stem + ".input.f32"));
    const std::vector<float> expected = readFloats(dataFile(stem + ".output.f32"));
    QCOMPARE(input.size(), size_t(net.inputHeight()) * net.inputWidth() * 3);
    QCOMPARE(expected.size(), size_t(net.outputHeight()) * net.outputWidth());
    std::copy(input.begin(), input.end(), net.input());
    net.run();
    for (size_t i = 0; i < expected.size(); ++i)
        if (!(std::abs(net.output()[i] - expected[i]) <= 1e-3f))
            QFAIL(qPrintable(QString("element %1: %2, expected %3").arg(i).arg(net.output()[i]).arg(expected[i])));
}

void tst_Segmentation::portraitMask_data()
{
    QTest::addColumn<int>("which");
    QTest::newRow("landscape") << int(Segmenter::Model::Landscape);
    QTest::newRow("general") << int(Segmenter::Model::General);
}

void tst_Segmentation::portraitMask()
{
    QFETCH(int, which);
    const QImage picture = portrait();
    QVERIFY2(!picture.isNull(), "run scripts/setup to fetch .deps/astronaut.png");
    auto segmenter = loadSegmenter(Segmenter::Model(which));
    QVERIFY(segmenter);
    const QImage mask = maskOf(*segmenter, picture);
    QCOMPARE(mask.size(), picture.size());

    // The face, and the two top corners (wall and flag). The bottom corners
    // hold the suit's sleeve and the helmet she carries.
    QVERIFY2(meanIn(mask, QRect(185, 75, 85, 95)) > 0.9, "face");
    QVERIFY2(meanIn(mask, QRect(0, 0, 40, 40)) < 0.1, "top left");
    QVERIFY2(meanIn(mask, QRect(472, 0, 40, 40)) < 0.1, "top right");
    QVERIFY(segmenter->personShare() > 0.3);

    // The same picture again gives the same mask, to the byte.
    QCOMPARE(maskOf(*segmenter, picture), mask);
}

void tst_Segmentation::modelsAgree()
{
    const QImage picture = portrait();
    QVERIFY(!picture.isNull());
    auto landscape = loadSegmenter(Segmenter::Model::Landscape);
    auto general = loadSegmenter(Segmenter::Model::General);
    QVERIFY(landscape && general);
    const QImage a = maskOf(*landscape, picture), b = maskOf(*general, picture);
    QVERIFY(!a.isNull() && !b.isNull());
    qint64 both = 0, either = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x) {
            const bool pa = a.constScanLine(y)[x] >= 128, pb = b.constScanLine(y)[x] >= 128;
            both += pa && pb;
            either += pa || pb;
        }
    QVERIFY(either > 0);
    const double iou = double(both) / double(either);
    QVERIFY2(iou > 0.85, qPrintable(QString::number(iou)));
}

void tst_Segmentation::maskScaling()
{
    // The map scaled to a 16:9 frame: pixel-centre bilinear sampling, then
    // rounding to 8 bits, as computed here from the probabilities directly.
    auto segmenter = loadSegmenter(Segmenter::Model::Landscape);
    QVERIFY(segmenter);
    const QImage picture = portrait();
    QVERIFY(segmenter->run(picture.constBits(), picture.width(), picture.height(), size_t(picture.bytesPerLine())));
    const int w = 1280, h = 720, stride = 1344;
    std::vector<uint8_t> mask(size_t(stride) * h, 7);
    segmenter->mask(mask.data(), w, h, stride);
    const int mw = segmenter->mapWidth(), mh = segmenter->mapHeight();
    const float *p = segmenter->probabilities();
    const auto source = [](int o, int in, int out, int &i0, int &i1) {
        const double src = std::clamp((o + 0.5) * in / out - 0.5, 0.0, double(in - 1));
        i0 = int(src);
        i1 = std::min(i0 + 1, in - 1);
        return src - i0;
    };
    for (int y = 0; y < h; y += 7)
        for (int x = 0; x < w; x += 3) {
            int y0, y1, x0, x1;
            const double fy = source(y, mh, h, y0, y1), fx = source(x, mw, w, x0, x1);
            const double v = p[y0 * mw + x0] * (1 - fy) * (1 - fx) + p[y0 * mw + x1] * (1 - fy) * fx
                             + p[y1 * mw + x0] * fy * (1 - fx) + p[y1 * mw + x1] * fy * fx;
            const int expected = int(std::lround(255 * std::clamp(v, 0.0, 1.0)));
            QVERIFY2(std::abs(mask[size_t(y) * stride + x] - expected) <= 1, qPrintable(QString("%1,%2").arg(x).arg(y)));
        }
    // Padding bytes past the row stay untouched.
    QCOMPARE(mask[size_t(stride) - 1], uint8_t(7));
}

void tst_Segmentation::emptyPictureRefused()
{
    auto segmenter = loadSegmenter(Segmenter::Model::Landscape);
    QVERIFY(segmenter);
    const uint8_t pixel[4] = {1, 2, 3, 255};
    QVERIFY(!segmenter->run(nullptr, 4, 4, 16));
    QVERIFY(!segmenter->run(pixel, 0, 1, 4));
    QVERIFY(!segmenter->run(pixel, 2, 1, 4)); // stride shorter than a row
    QVERIFY(segmenter->run(pixel, 1, 1, 4));
}

QTEST_GUILESS_MAIN(tst_Segmentation)
#include "tst_segmentation.moc"
