// The pipeline on real pixels: pass-through into pooled frames, which effects run
// when, the stretch of other sizes, the blend through a given person mask, the hue
// of skin against sky, and pool exhaustion.
#include "tests/video/videotesthelpers.h"
#include "video/postprocessor.h"
#include "video/givenmasksp.h"

#include <QColor>
#include <QTemporaryDir>
#include <QtTest>

using namespace videotest;

namespace {


// Person on the left half, background on the right.
MaskRef leftHalfMask()
{
    auto mask = std::make_shared<Mask>();
    mask->width = 256;
    mask->height = 144;
    mask->pixels.assign(size_t(256) * 144, 0);
    for (int y = 0; y < 144; ++y)
        std::memset(mask->pixels.data() + size_t(y) * 256, 255, 128);
    return mask;
}

FrameRef halves(const QColor &left, const QColor &right)
{
    FrameRef f = Frame::create(1280, 720);
    for (int y = 0; y < 720; ++y)
        for (int x = 0; x < 1280; ++x) {
            const QColor &c = x < 640 ? left : right;
            setPixel(*f, x, y, bgra(c.red(), c.green(), c.blue()));
        }
    return f;
}

} // namespace

class tst_PostProcessor : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void settingRecords_data();
    void settingRecords();
    void passThroughIntoPooledFrame();
    void lowPowerSkipsSegmentationAndBlur();
    void otherSizesAreStretched();
    void foregroundStaysCameraImage();
    void everyBlurStepShows();
    void skinChangesHueSkyDoesNot();
    void skinAndBlurUseOnlyTheirOwnFrame();
    void poolExhaustionPassesInputAndLeaksNothing();

private:
    std::unique_ptr<QTemporaryDir> m_config;
    std::unique_ptr<BaseSettings> m_settings;
};

void tst_PostProcessor::initTestCase()
{
    // QSettings takes the configuration folder once per process.
    m_config = std::make_unique<QTemporaryDir>();
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_config->path()));
}

void tst_PostProcessor::init()
{
    m_settings = std::make_unique<BaseSettings>();
    m_settings->clear();
    m_settings->sync();
}

void tst_PostProcessor::cleanup()
{
    m_settings.reset();
}

void tst_PostProcessor::settingRecords_data()
{
    QTest::addColumn<int>("key");
    QTest::addColumn<qlonglong>("value");
    QTest::addColumn<qlonglong>("minimum");
    QTest::addColumn<qlonglong>("maximum");
    QTest::newRow("SkinTone") << int(BaseSettings::SkinTone) << 50ll << 0ll << 100ll;
    QTest::newRow("BackgroundBlur") << int(BaseSettings::BackgroundBlur) << 0ll << 0ll << 100ll;
    QTest::newRow("CameraRotation") << int(BaseSettings::CameraRotation) << 0ll << 0ll << 2ll;
    QTest::newRow("FineCameraRotation") << int(BaseSettings::FineCameraRotation) << 0ll << -20ll << 20ll;
}

void tst_PostProcessor::settingRecords()
{
    QFETCH(int, key);
    QFETCH(qlonglong, value);
    QFETCH(qlonglong, minimum);
    QFETCH(qlonglong, maximum);
    using Getter = bool (PostProcessor::*)(CameraSetting &);
    using Setter = bool (PostProcessor::*)(long, bool);
    const Getter getters[] = {&PostProcessor::getSkinTone, &PostProcessor::getBackgroundBlur,
                              &PostProcessor::getCameraRotation, &PostProcessor::getFineCameraRotation};
    const Setter setters[] = {&PostProcessor::setSkinTone, &PostProcessor::setBackgroundBlur,
                              &PostProcessor::setCameraRotation, &PostProcessor::setFineCameraRotation};
    {
        PostProcessor post(m_settings.get());
        CameraSetting s;
        QVERIFY((post.*getters[key])(s));
        QCOMPARE(s.value, value);
        QCOMPARE(s.defaultValue, value);
        QCOMPARE(s.minimum, minimum);
        QCOMPARE(s.maximum, maximum);
        QCOMPARE(s.step, int64_t(1));
        QVERIFY(!s.autoAvailable);
        QVERIFY((post.*setters[key])(long(maximum), true));
        QVERIFY((post.*getters[key])(s));
        QCOMPARE(s.value, int64_t(maximum));
        QVERIFY(s.autoEnabled);
    }
    // The value went to the store: a new pipeline starts from it.
    PostProcessor again(m_settings.get());
    CameraSetting s;
    (again.*getters[key])(s);
    QCOMPARE(s.value, int64_t(maximum));
}

void tst_PostProcessor::passThroughIntoPooledFrame()
{
    PostProcessor post(m_settings.get());
    QVERIFY(post.processBuffer(nullptr) == nullptr);
    FrameRef in = noise(1280, 720, 11);
    in->setTimestampUs(123456789);
    const FrameRef out = post.processBuffer(in);
    QVERIFY(out);
    QVERIFY(out != in);
    QCOMPARE(out->width(), 1280);
    QCOMPARE(out->height(), 720);
    QCOMPARE(out->timestampUs(), int64_t(123456789));
    QVERIFY(samePixels(*out, *in));
}

void tst_PostProcessor::lowPowerSkipsSegmentationAndBlur()
{
    m_settings->setSubSetting(BaseSettings::General, BaseSettings::LowPowerMode, true);
    PostProcessor post(m_settings.get());
    auto segmentation = std::make_shared<GivenMaskSP>(leftHalfMask());
    post.setSegmentationStage(segmentation);
    post.setBackgroundBlur(100, false);
    FrameRef in = noise(1280, 720, 12);
    const FrameRef out = post.processBuffer(in);
    QCOMPARE(segmentation->runs.load(), 0);
    QVERIFY(samePixels(*out, *in));

    // With LowPowerMode off the same settings do blur.
    m_settings->setSubSetting(BaseSettings::General, BaseSettings::LowPowerMode, false);
    const FrameRef blurred = post.processBuffer(in);
    QCOMPARE(segmentation->runs.load(), 1);
    QVERIFY(!samePixels(*blurred, *in));
}

void tst_PostProcessor::otherSizesAreStretched()
{
    PostProcessor post(m_settings.get());
    // Four quadrants of four colours, 1920x1080: each lands in its quadrant of the
    // 1280x720 output, x and y scaled apart.
    FrameRef in = Frame::create(1920, 1080);
    const uint32_t colours[4] = {bgra(250, 0, 0), bgra(0, 250, 0), bgra(0, 0, 250), bgra(250, 250, 0)};
    for (int y = 0; y < 1080; ++y)
        for (int x = 0; x < 1920; ++x)
            setPixel(*in, x, y, colours[(y >= 540) * 2 + (x >= 960)]);
    in->setTimestampUs(42);
    LogCapture log;
    const FrameRef out = post.processBuffer(in);
    QCOMPARE(log.count(QStringLiteral("input image dimensions have changed: 1920 1080 scaling....")), 1);
    QCOMPARE(out->width(), 1280);
    QCOMPARE(out->height(), 720);
    QCOMPARE(out->timestampUs(), int64_t(42));
    for (int q = 0; q < 4; ++q) {
        const int x0 = (q % 2) * 640, y0 = (q / 2) * 360;
        QCOMPARE(pixel(*out, x0 + 1, y0 + 1), colours[q]);
        QCOMPARE(pixel(*out, x0 + 638, y0 + 358), colours[q]);
    }
}

void tst_PostProcessor::foregroundStaysCameraImage()
{
    // SkinTone at its default 50 and blur 30: only the blur path runs, and where the
    // mask says person the output is the camera image itself.
    PostProcessor post(m_settings.get());
    auto segmentation = std::make_shared<GivenMaskSP>(leftHalfMask());
    post.setSegmentationStage(segmentation);
    post.setBackgroundBlur(30, false);
    FrameRef in = noise(1280, 720, 13);
    const FrameRef out = post.processBuffer(in);
    QCOMPARE(segmentation->runs.load(), 1);
    for (int y = 0; y < 720; y += 7)
        QVERIFY(std::memcmp(out->row(y), in->row(y), 600 * 4) == 0);
    // The background is blurred: noise is smoothed towards its mean.
    int changed = 0;
    for (int x = 700; x < 1280; ++x)
        changed += pixel(*out, x, 360) != pixel(*in, x, 360);
    QVERIFY(changed > 500);
}

void tst_PostProcessor::everyBlurStepShows()
{
    // Blocks of light and dark with noise over them: fine grain for the small radii,
    // edges for the large ones. Each value of the slider must give a picture of its
    // own, the first one included.
    FrameRef in = noise(1280, 720, 21);
    for (int y = 0; y < 720; ++y)
        for (int x = 0; x < 1280; ++x) {
            const uint32_t p = pixel(*in, x, y);
            const int lift = ((x / 64 + y / 64) % 2) ? 128 : 0;
            setPixel(*in, x, y, bgra(lift + qRed(p) / 2, lift + qGreen(p) / 2, lift + qBlue(p) / 2));
        }
    auto segmentation = std::make_shared<GivenMaskSP>(leftHalfMask());
    FrameRef previous = in;
    int fewest = 1280 * 720;
    for (int value = 1; value <= 100; ++value) {
        PostProcessor post(m_settings.get()); // a stage of its own: no rate limit between values
        post.setSegmentationStage(segmentation);
        post.setBackgroundBlur(value, false);
        const FrameRef out = post.processBuffer(in);
        int changed = 0;
        for (int y = 0; y < 720; ++y)
            for (int x = 640; x < 1280; ++x)
                changed += pixel(*out, x, y) != pixel(*previous, x, y);
        QVERIFY2(changed >= 1000, qPrintable(QStringLiteral("value %1 changes only %2 pixels of the background")
                                                 .arg(value)
                                                 .arg(changed)));
        fewest = std::min(fewest, changed);
        previous = Frame::create(1280, 720);
        std::memcpy(previous->data(), out->data(), size_t(out->stride()) * 720);
    }
    qInfo("fewest background pixels changed by one step: %d", fewest);
}

void tst_PostProcessor::skinChangesHueSkyDoesNot()
{
    PostProcessor post(m_settings.get());
    post.setSkinTone(0, false); // hue turned by +0.5 rad
    // Left half a skin colour, right half a sky blue, large enough that the
    // quarter-size mask is flat away from the seam.
    const QColor skin(224, 172, 135), sky(110, 160, 230);
    FrameRef in = Frame::create(1280, 720);
    for (int y = 0; y < 720; ++y)
        for (int x = 0; x < 1280; ++x) {
            const QColor c = x < 640 ? skin : sky;
            setPixel(*in, x, y, bgra(c.red(), c.green(), c.blue()));
        }
    const FrameRef out = post.processBuffer(in);
    const QColor toned = QColor::fromRgba(pixel(*out, 200, 300));
    const double turnDegrees = 0.5 * 180.0 / M_PI;
    double shift = toned.hueF() * 360.0 - skin.hueF() * 360.0;
    QVERIFY2(std::abs(shift - turnDegrees) < 6.0, qPrintable(QString::number(shift)));
    QCOMPARE(pixel(*out, 1000, 300), pixel(*in, 1000, 300));
    QCOMPARE(qAlpha(pixel(*out, 200, 300)), 255);
}

void tst_PostProcessor::skinAndBlurUseOnlyTheirOwnFrame()
{
    // Skin tone and blur together: after a frame with skin on the left and sky on
    // the right, a frame the other way round comes out as it does on its own.
    const QColor skin(224, 172, 135), sky(110, 160, 230);
    const auto pipeline = [this](PostProcessor &post) {
        post.setSegmentationStage(std::make_shared<GivenMaskSP>(leftHalfMask()));
        post.setSkinTone(0, false);
        post.setBackgroundBlur(60, false);
    };
    PostProcessor post(m_settings.get());
    pipeline(post);
    const FrameRef first = post.processBuffer(halves(skin, sky));
    QTest::qWait(40); // past the blur's rate limit
    const FrameRef second = post.processBuffer(halves(sky, skin));
    PostProcessor alone(m_settings.get());
    pipeline(alone);
    const FrameRef expected = alone.processBuffer(halves(sky, skin));
    QVERIFY(samePixels(*second, *expected));
    // The person side keeps its sky, the background is the second frame's skin.
    QCOMPARE(pixel(*second, 200, 300), bgra(sky.red(), sky.green(), sky.blue()));
    QCOMPARE(pixel(*second, 1100, 300), bgra(skin.red(), skin.green(), skin.blue()));
    QVERIFY(pixel(*first, 200, 300) != bgra(skin.red(), skin.green(), skin.blue()));
}

void tst_PostProcessor::poolExhaustionPassesInputAndLeaksNothing()
{
    PostProcessor post(m_settings.get());
    FrameRef in = noise(1280, 720, 14);
    LogCapture log;
    for (int round = 0; round < 2; ++round) {
        std::vector<FrameRef> held;
        for (int i = 0; i < PostProcessor::PoolSize; ++i) {
            held.push_back(post.processBuffer(in));
            QVERIFY(held.back() != in);
        }
        // Every frame is out: the camera frame passes on as it is.
        QCOMPARE(post.processBuffer(in), in);
        QCOMPARE(post.processBuffer(in), in);
    }
    // Logged when the pool runs dry, not for every frame.
    QCOMPARE(log.count(QStringLiteral("no available PixelBuffers in PixelBufferPool")), 2);
}

QTEST_MAIN(tst_PostProcessor)
#include "tst_postprocessor.moc"
