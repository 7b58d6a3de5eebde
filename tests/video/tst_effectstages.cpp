// The stages on their own: blur radius, rotation geometry and direction, the black
// pillars and their reuse, overlay placement, text sizes and the rebuild rule.
#include "app/core/basesettings.h"
#include "tests/video/videotesthelpers.h"
#include "video/imageblursp.h"
#include "video/imageoverlaysp.h"
#include "video/imagerotatesp.h"
#include "video/textoverlaysp.h"

#include <QBuffer>
#include <QTemporaryDir>
#include <QtTest>

using namespace videotest;

namespace {

CameraSetting record(int64_t value, int64_t minimum, int64_t maximum)
{
    CameraSetting s;
    s.value = value;
    s.minimum = minimum;
    s.maximum = maximum;
    s.step = 1;
    return s;
}

// A logo stage whose picture is a plain opaque red block, to check placement.
class BlockOverlay : public ImageOverlaySP
{
public:
    QImage generateOverlayImage(const float &, const float &, const QMap<QString, QVariant> &) override
    {
        QImage block(200, 100, QImage::Format_ARGB32);
        block.fill(QColor(255, 0, 0));
        return block;
    }
};

QByteArray pngOf(const QImage &image)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

// Columns of the first and last red pixel on row y, or -1.
QPair<int, int> redSpan(const Frame &f, int y)
{
    int first = -1, last = -1;
    for (int x = 0; x < f.width(); ++x)
        if (qRed(pixel(f, x, y)) > 200 && qGreen(pixel(f, x, y)) < 50) {
            if (first < 0)
                first = x;
            last = x;
        }
    return {first, last};
}

} // namespace

class tst_EffectStages : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void blurRadius_data();
    void blurRadius();
    void rotationGeometry_data();
    void rotationGeometry();
    void rotationDirection_data();
    void rotationDirection();
    void pillarsBuiltOnceAndReused();
    void fineTurnLeavesNoCornerEmpty_data();
    void fineTurnLeavesNoCornerEmpty();
    void turnReadsOnlyItsSourceArea_data();
    void turnReadsOnlyItsSourceArea();
    void overlayPlacement_data();
    void overlayPlacement();
    void logoRebuiltOnlyWhenStampGrows();
    void logoSizeHasAFloor();
    void textPointSize_data();
    void textPointSize();
    void textAlignmentOutOfRangeIsTransparent();

private:
    QTemporaryDir m_config;
    std::unique_ptr<BaseSettings> m_settings;
};

void tst_EffectStages::initTestCase()
{
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_config.path()));
    m_settings = std::make_unique<BaseSettings>();
}

void tst_EffectStages::blurRadius_data()
{
    QTest::addColumn<qlonglong>("value");
    QTest::addColumn<double>("radius");
    QTest::newRow("value 1") << 1ll << 0.16;
    QTest::newRow("value 30") << 30ll << 4.8;
    QTest::newRow("value 100") << 100ll << 16.0;
}

void tst_EffectStages::blurRadius()
{
    QFETCH(qlonglong, value);
    QFETCH(double, radius);
    QCOMPARE(ImageBlurSP::blurRadius(1280, 720, record(value, 0, 100)), radius);
    ImageBlurSP blur;
    QCOMPARE(blur.maximumRate(), int64_t(35));
}

void tst_EffectStages::rotationGeometry_data()
{
    QTest::addColumn<int>("coarse");
    QTest::addColumn<int>("fine");
    QTest::addColumn<double>("zoom");
    QTest::addColumn<double>("pillar");
    // 10 degrees on a 16:9 frame: cos 10 + 16/9 sin 10.
    QTest::newRow("fine 20") << 0 << 20 << 1.29338 << -1.0;
    QTest::newRow("fine -20 zooms the same") << 0 << -20 << 1.29338 << -1.0;
    QTest::newRow("quarter turn with pillars") << 1 << 0 << 0.984375 << 285.625;
    QTest::newRow("quarter turn filling") << 2 << 0 << 1.7778 << -1.0;
    QTest::newRow("quarter turn filling, tilted") << 2 << 20 << 1.92436 << -1.0;
}

void tst_EffectStages::rotationGeometry()
{
    QFETCH(int, coarse);
    QFETCH(int, fine);
    QFETCH(double, zoom);
    QFETCH(double, pillar);
    const ImageRotateSP::Geometry g = ImageRotateSP::geometry(1280, 720, coarse, fine);
    QVERIFY2(std::abs(g.zoom - zoom) < 5e-4, qPrintable(QString::number(g.zoom)));
    if (pillar >= 0)
        QVERIFY2(std::abs(g.pillarWidth - pillar) < 0.01, qPrintable(QString::number(g.pillarWidth)));
}

void tst_EffectStages::rotationDirection_data()
{
    // A red dot 150 px right of the centre. Turned counter-clockwise as seen (a
    // positive fine value, as the picture turns with a positive angle in y-up
    // coordinates), it rises; a quarter turn clockwise takes it below the centre.
    QTest::addColumn<int>("coarse");
    QTest::addColumn<int>("fine");
    QTest::addColumn<QPoint>("expected");
    const double a = 10 * 0.017444445, s = std::cos(a) + 16.0 / 9.0 * std::sin(a);
    QTest::newRow("fine +20 turns up") << 0 << 20
                                       << QPoint(640 + int(std::lround(150 * s * std::cos(a))),
                                                 360 - int(std::lround(150 * s * std::sin(a))));
    QTest::newRow("fine -20 turns down") << 0 << -20
                                         << QPoint(640 + int(std::lround(150 * s * std::cos(a))),
                                                   360 + int(std::lround(150 * s * std::sin(a))));
    const double fill = 1.7777778;
    QTest::newRow("quarter turn clockwise") << 2 << 0 << QPoint(640, 360 + int(std::lround(150 * fill)));
}

void tst_EffectStages::rotationDirection()
{
    QFETCH(int, coarse);
    QFETCH(int, fine);
    QFETCH(QPoint, expected);
    FrameRef in = filled(1280, 720, bgra(0, 0, 0));
    for (int y = 355; y < 365; ++y)
        for (int x = 785; x < 795; ++x)
            setPixel(*in, x, y, bgra(255, 0, 0));
    ImageRotateSP rotate;
    const VideoImage out = rotate.processImage(VideoImage{in, nullptr}, 1280, 720,
                                               record(coarse, 0, 2), record(fine, -20, 20));
    QVERIFY(out.frame && out.frame != in);
    double sx = 0, sy = 0, n = 0;
    for (int y = 0; y < 720; ++y)
        for (int x = 0; x < 1280; ++x)
            if (qRed(pixel(*out.frame, x, y)) > 128) {
                sx += x;
                sy += y;
                ++n;
            }
    QVERIFY(n > 0);
    QVERIFY2(std::abs(sx / n + 0.5 - expected.x()) < 3 && std::abs(sy / n + 0.5 - expected.y()) < 3,
             qPrintable(QStringLiteral("dot at %1,%2").arg(sx / n).arg(sy / n)));
}

void tst_EffectStages::pillarsBuiltOnceAndReused()
{
    FrameRef in = filled(1280, 720, bgra(200, 200, 200));
    ImageRotateSP rotate;
    LogCapture log;
    const QString rebuilt = QStringLiteral("recreating black pillar background image");
    VideoImage out;
    for (int i = 0; i < 3; ++i) {
        QTest::qWait(2); // past the 1 ms rate limit
        out = rotate.processImage(VideoImage{in, nullptr}, 1280, 720, record(1, 0, 2), record(0, -20, 20));
    }
    QCOMPARE(log.count(rebuilt), 1);
    // About 285.6 px of black on each side, the picture between.
    for (const int y : {0, 360, 719}) {
        QCOMPARE(pixel(*out.frame, 0, y), bgra(0, 0, 0));
        QCOMPARE(pixel(*out.frame, 284, y), bgra(0, 0, 0));
        QCOMPARE(pixel(*out.frame, 1280 - 285, y), bgra(0, 0, 0));
        QVERIFY(qRed(pixel(*out.frame, 285, y)) < 110); // the edge column, mostly pillar
        QCOMPARE(pixel(*out.frame, 287, y), bgra(200, 200, 200));
        QCOMPARE(pixel(*out.frame, 1280 - 290, y), bgra(200, 200, 200));
    }
    QTest::qWait(2);
    rotate.processImage(VideoImage{in, nullptr}, 1280, 720, record(1, 0, 2), record(4, -20, 20));
    QCOMPARE(log.count(rebuilt), 2);
}

void tst_EffectStages::fineTurnLeavesNoCornerEmpty_data()
{
    QTest::addColumn<int>("coarse");
    QTest::addColumn<QSize>("size");
    QTest::newRow("upright 16:9") << 0 << QSize(1280, 720);
    QTest::newRow("upright 4:3") << 0 << QSize(640, 480);
    QTest::newRow("quarter turn filling 16:9") << 2 << QSize(1280, 720);
}

void tst_EffectStages::fineTurnLeavesNoCornerEmpty()
{
    // Every output pixel must come from the picture: a grey frame turned and zoomed
    // stays grey to the last corner pixel at every fine step.
    QFETCH(int, coarse);
    QFETCH(QSize, size);
    const uint32_t grey = bgra(200, 200, 200);
    FrameRef in = filled(size.width(), size.height(), grey);
    for (int fine = -20; fine <= 20; ++fine) {
        ImageRotateSP rotate;
        const VideoImage out = rotate.processImage(VideoImage{in, nullptr}, size.width(), size.height(),
                                                   record(coarse, 0, 2), record(fine, -20, 20));
        QVERIFY(out.frame);
        int empty = 0;
        QPoint first(-1, -1);
        for (int y = 0; y < size.height(); ++y)
            for (int x = 0; x < size.width(); ++x)
                if (pixel(*out.frame, x, y) != grey) {
                    if (!empty)
                        first = QPoint(x, y);
                    ++empty;
                }
        QVERIFY2(empty == 0, qPrintable(QStringLiteral("fine %1: %2 pixels not from the picture, first at %3,%4")
                                            .arg(fine)
                                            .arg(empty)
                                            .arg(first.x())
                                            .arg(first.y())));
    }
}

void tst_EffectStages::turnReadsOnlyItsSourceArea_data()
{
    QTest::addColumn<int>("coarse");
    QTest::addColumn<QSize>("size");
    for (const QSize size : {QSize(1280, 720), QSize(640, 480), QSize(77, 41)})
        for (int coarse = 0; coarse <= 2; ++coarse)
            QTest::addRow("coarse %d, %dx%d", coarse, size.width(), size.height()) << coarse << size;
}

void tst_EffectStages::turnReadsOnlyItsSourceArea()
{
    // The stages before the turn make only its source area: a picture that is grey
    // there and green outside turns into greys alone (pillars and their darkened edge
    // columns are grey too), so no output pixel took anything from outside.
    QFETCH(int, coarse);
    QFETCH(QSize, size);
    const int w = size.width(), h = size.height();
    const uint32_t grey = bgra(200, 200, 200), green = bgra(0, 255, 0);
    for (const int fine : {0, 1, -7, 13, 20, -20}) {
        const kernels::Area area = ImageRotateSP::sourceArea(w, h, coarse, fine);
        if (coarse == 0 && fine == 0) {
            QVERIFY(area.x0 == 0 && area.y0 == 0 && area.x1 == w && area.y1 == h);
            continue;
        }
        QVERIFY(area.x0 >= 0 && area.x0 < area.x1 && area.x1 <= w);
        QVERIFY(area.y0 >= 0 && area.y0 < area.y1 && area.y1 <= h);
        FrameRef in = filled(w, h, green);
        for (int y = area.y0; y < area.y1; ++y)
            for (int x = area.x0; x < area.x1; ++x)
                setPixel(*in, x, y, grey);
        ImageRotateSP rotate;
        const VideoImage out = rotate.processImage(VideoImage{in, nullptr}, w, h, record(coarse, 0, 2),
                                                   record(fine, -20, 20));
        QVERIFY(out.frame);
        int tinted = 0;
        QPoint first(-1, -1);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                const uint32_t p = pixel(*out.frame, x, y);
                if (qRed(p) != qGreen(p) || qGreen(p) != qBlue(p)) {
                    if (!tinted)
                        first = QPoint(x, y);
                    ++tinted;
                }
            }
        QVERIFY2(tinted == 0, qPrintable(QStringLiteral("fine %1: %2 pixels from outside %3,%4-%5,%6, first at %7,%8")
                                             .arg(fine).arg(tinted).arg(area.x0).arg(area.y0).arg(area.x1)
                                             .arg(area.y1).arg(first.x()).arg(first.y())));
    }
    // A quarter turn leaves out the sides of a 16:9 frame; a quarter turn that fills
    // the frame reads less still.
    if (size == QSize(1280, 720) && coarse != 0) {
        const kernels::Area a = ImageRotateSP::sourceArea(w, h, coarse, 0);
        QVERIFY2((a.x1 - a.x0) * (a.y1 - a.y0) < w * h * (coarse == 1 ? 0.6 : 0.35),
                 qPrintable(QStringLiteral("%1,%2-%3,%4").arg(a.x0).arg(a.y0).arg(a.x1).arg(a.y1)));
    }
}

void tst_EffectStages::overlayPlacement_data()
{
    QTest::addColumn<int>("hAlign");
    QTest::addColumn<double>("marginX");
    QTest::addColumn<bool>("flip");
    QTest::addColumn<int>("vAlign");
    QTest::addColumn<double>("marginY");
    QTest::addColumn<QPoint>("topLeft");
    QTest::newRow("right, margin 0.1") << 2 << 0.1 << false << 32 << 0.0 << QPoint(972, 0);
    QTest::newRow("left, mirrored margin 0.2") << 1 << 0.2 << true << 32 << 0.0 << QPoint(864, 0);
    QTest::newRow("margin under 0.01 is none") << 1 << 0.005 << false << 64 << 0.0 << QPoint(0, 620);
    QTest::newRow("centred") << 4 << 0.3 << false << 128 << 0.7 << QPoint(540, 310);
    QTest::newRow("bottom, margin 0.5") << 1 << 0.5 << false << 64 << 0.5 << QPoint(540, 310);
}

void tst_EffectStages::overlayPlacement()
{
    QFETCH(int, hAlign);
    QFETCH(double, marginX);
    QFETCH(bool, flip);
    QFETCH(int, vAlign);
    QFETCH(double, marginY);
    QFETCH(QPoint, topLeft);
    QVariantMap map;
    m_settings->getSettingsMap(BaseSettings::LogoOverlay, map);
    map[BaseSettings::name(BaseSettings::Enabled)] = true;
    map[BaseSettings::name(BaseSettings::ImageData)] = QByteArray("any");
    map[BaseSettings::name(BaseSettings::HAlign)] = hAlign;
    map[BaseSettings::name(BaseSettings::MarginX)] = marginX;
    map[BaseSettings::name(BaseSettings::FlipHorizontal)] = flip;
    map[BaseSettings::name(BaseSettings::VAlign)] = vAlign;
    map[BaseSettings::name(BaseSettings::MarginY)] = marginY;
    BlockOverlay logo;
    FrameRef in = filled(1280, 720, bgra(0, 0, 0));
    // The picture is built off the frame path; frames pass until it is ready.
    VideoImage out = logo.processImage(VideoImage{in, nullptr}, 1280, 720, map);
    logo.waitForRebuilds();
    QTest::qWait(2);
    out = logo.processImage(VideoImage{in, nullptr}, 1280, 720, map);
    QVERIFY(out.frame != in);
    QCOMPARE(pixel(*in, topLeft.x(), topLeft.y()), bgra(0, 0, 0)); // the camera frame is not written
    const QPair<int, int> span = redSpan(*out.frame, topLeft.y());
    QCOMPARE(span.first, topLeft.x());
    QCOMPARE(span.second, topLeft.x() + 199);
    QVERIFY(redSpan(*out.frame, topLeft.y() + 99).first == topLeft.x());
    if (topLeft.y() > 0)
        QCOMPARE(redSpan(*out.frame, topLeft.y() - 1).first, -1);
}

void tst_EffectStages::logoRebuiltOnlyWhenStampGrows()
{
    QImage logoPicture(120, 80, QImage::Format_ARGB32);
    logoPicture.fill(QColor(30, 200, 90));
    QVariantMap map;
    m_settings->getSettingsMap(BaseSettings::LogoOverlay, map);
    map[BaseSettings::name(BaseSettings::Enabled)] = true;
    map[BaseSettings::name(BaseSettings::ImageData)] = pngOf(logoPicture);
    map[BaseSettings::name(BaseSettings::LastModified)] = qlonglong(1000);
    ImageOverlaySP logo;
    FrameRef in = filled(1280, 720, bgra(0, 0, 0));
    LogCapture log;
    const QString rebuilt = QStringLiteral("recreating logo overlay image");
    const auto frames = [&](int count) {
        for (int i = 0; i < count; ++i) {
            QTest::qWait(2);
            logo.processImage(VideoImage{in, nullptr}, 1280, 720, map);
            logo.waitForRebuilds();
        }
    };
    frames(4);
    QCOMPARE(log.count(rebuilt), 1);
    map[BaseSettings::name(BaseSettings::LastModified)] = qlonglong(999);
    frames(2);
    QCOMPARE(log.count(rebuilt), 1);
    map[BaseSettings::name(BaseSettings::LastModified)] = qlonglong(2000);
    frames(2);
    QCOMPARE(log.count(rebuilt), 2);
    // A new frame size places it again.
    FrameRef small = filled(640, 360, bgra(0, 0, 0));
    QTest::qWait(2);
    logo.processImage(VideoImage{small, nullptr}, 640, 360, map);
    logo.waitForRebuilds();
    QCOMPARE(log.count(rebuilt), 3);
    // Back at 1280x720 it is placed again, and shows: green pixels in the top-left
    // corner, where it goes by default.
    frames(1);
    QCOMPARE(log.count(rebuilt), 4);
    QTest::qWait(2);
    const VideoImage out = logo.processImage(VideoImage{in, nullptr}, 1280, 720, map);
    int green = 0;
    for (int x = 0; x < 600; ++x)
        green += qGreen(pixel(*out.frame, x, 150)) > 150;
    QVERIFY(green > 100);
}

void tst_EffectStages::logoSizeHasAFloor()
{
    QImage logoPicture(400, 400, QImage::Format_ARGB32);
    logoPicture.fill(Qt::white);
    QVariantMap map;
    m_settings->getSettingsMap(BaseSettings::LogoOverlay, map);
    map[BaseSettings::name(BaseSettings::ImageData)] = pngOf(logoPicture);
    ImageOverlaySP logo;
    map[BaseSettings::name(BaseSettings::Size)] = 0.0;
    const QImage none = logo.generateOverlayImage(1280, 720, map);
    map[BaseSettings::name(BaseSettings::Size)] = 0.01;
    const QImage floor = logo.generateOverlayImage(1280, 720, map);
    QVERIFY(!none.isNull());
    QCOMPARE(none.size(), floor.size());
    map[BaseSettings::name(BaseSettings::ImageData)] = QByteArray("not an image");
    QVERIFY(logo.generateOverlayImage(1280, 720, map).isNull());
}

void tst_EffectStages::textPointSize_data()
{
    QTest::addColumn<int>("characters");
    QTest::addColumn<double>("size");
    QTest::addColumn<int>("points");
    QTest::newRow("one character at 0.4") << 1 << 0.4 << 240;
    QTest::newRow("long line hits the floor") << 400 << 0.2 << 24;
    QTest::newRow("twelve characters at 0.4") << 12 << 0.4 << 118;
}

void tst_EffectStages::textPointSize()
{
    QFETCH(int, characters);
    QFETCH(double, size);
    QFETCH(int, points);
    QCOMPARE(TextOverlaySP::pointSize(1280, 720, characters, float(size)), points);
}

void tst_EffectStages::textAlignmentOutOfRangeIsTransparent()
{
    QVariantMap map;
    m_settings->getSettingsMap(BaseSettings::TextOverlay, map);
    TextOverlaySP text;
    map[BaseSettings::name(BaseSettings::TextHAlign)] = 8;
    const QImage empty = text.generateOverlayImage(1280, 720, map);
    QVERIFY(!empty.isNull());
    bool anyPainted = false;
    for (int y = 0; y < empty.height() && !anyPainted; ++y)
        for (int x = 0; x < empty.width(); ++x)
            anyPainted |= qAlpha(empty.pixel(x, y)) != 0;
    QVERIFY(!anyPainted);
    // Centred, the default, paints white text.
    map[BaseSettings::name(BaseSettings::TextHAlign)] = 4;
    const QImage centred = text.generateOverlayImage(1280, 720, map);
    int white = 0;
    for (int y = 0; y < centred.height(); ++y)
        for (int x = 0; x < centred.width(); ++x)
            white += centred.pixel(x, y) == qRgb(255, 255, 255);
    QVERIFY(white > 100);
}

QTEST_MAIN(tst_EffectStages)
#include "tst_effectstages.moc"
