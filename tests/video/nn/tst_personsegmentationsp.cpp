// The segmentation stage on camera-sized BGRA frames: a real portrait, an
// empty scene, the rate limit and the failure paths.

#include "video/personsegmentationsp.h"

#include <QtTest>

#include <QElapsedTimer>
#include <QImage>
#include <QRegularExpression>

#include <algorithm>

namespace {

/// The portrait stretched to a 1280x720 camera frame (B, G, R, A bytes).
VideoImage portraitFrame()
{
    const QImage picture = QImage(qEnvironmentVariable("TALVENTO_SOURCE_DIR") + "/.deps/astronaut.png")
                               .scaled(1280, 720, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
                               .convertToFormat(QImage::Format_ARGB32);
    if (picture.isNull())
        return {};
    FrameRef frame = Frame::create(1280, 720);
    for (int y = 0; y < 720; ++y)
        std::memcpy(frame->row(y), picture.constScanLine(y), 1280 * 4);
    return {frame, nullptr};
}

VideoImage greyFrame()
{
    FrameRef frame = Frame::create(1280, 720);
    std::memset(frame->data(), 128, frame->byteCount());
    return {frame, nullptr};
}

// The mean of the mask over a box given in pixels of the 1280x720 frame it stands for.
double meanIn(const Mask &mask, const QRect &frameBox)
{
    const QRect box(frameBox.left() * mask.width / 1280, frameBox.top() * mask.height / 720,
                    std::max(1, frameBox.width() * mask.width / 1280), std::max(1, frameBox.height() * mask.height / 720));
    double sum = 0;
    for (int y = box.top(); y <= box.bottom(); ++y)
        for (int x = box.left(); x <= box.right(); ++x)
            sum += mask.pixels[size_t(y) * mask.width + x];
    return sum / (255.0 * box.width() * box.height());
}

// Longer than the stage's 28 ms between runs.
void waitForNextRun()
{
    QTest::qSleep(40);
}

} // namespace

class tst_PersonSegmentationSP : public QObject
{
    Q_OBJECT

private slots:
    void portraitMask();
    void rateLimitReusesMask();
    void noPersonKeepsLastMask();
    void errorKeepsLastMask();
};

void tst_PersonSegmentationSP::portraitMask()
{
    const VideoImage frame = portraitFrame();
    QVERIFY2(!frame.isNull(), "run scripts/setup to fetch .deps/astronaut.png");
    PersonSegmentationSP stage;
    QCOMPARE(stage.maximumRate(), int64_t(35));
    const VideoImage out = stage.processImage(frame, 1280, 720, CameraSetting{});
    QVERIFY(out.mask);
    QVERIFY(!out.frame);
    // The model's own size (the landscape model's 256x144): the blend scales it to the frame.
    QCOMPARE(out.mask->width, 256);
    QCOMPARE(out.mask->height, 144);
    QCOMPARE(out.mask->pixels.size(), size_t(256 * 144));
    QCOMPARE(stage.getOutputImage().mask, out.mask);

    // The face (x 185-270, y 75-170 of the 512x512 photo, stretched), and the
    // two top corners: wall and flag.
    QVERIFY2(meanIn(*out.mask, QRect(463, 106, 212, 133)) > 0.9, "face");
    QVERIFY2(meanIn(*out.mask, QRect(0, 0, 100, 56)) < 0.1, "top left");
    QVERIFY2(meanIn(*out.mask, QRect(1180, 0, 100, 56)) < 0.1, "top right");

    // The same frame again gives the same mask, to the byte, in a new buffer
    // (the first is still held here).
    waitForNextRun();
    const VideoImage again = stage.processImage(frame, 1280, 720, CameraSetting{});
    QVERIFY(again.mask);
    QVERIFY(again.mask != out.mask);
    QVERIFY(again.mask->pixels == out.mask->pixels);

    // The frame said to be smaller: the same mask, since a mask covers the frame
    // whatever its size.
    waitForNextRun();
    const VideoImage small = stage.processImage(frame, 640, 360, CameraSetting{});
    QVERIFY(small.mask);
    QCOMPARE(small.mask->width, 256);
    QCOMPARE(small.mask->height, 144);
    QVERIFY(small.mask->pixels == out.mask->pixels);
}

void tst_PersonSegmentationSP::rateLimitReusesMask()
{
    const VideoImage frame = portraitFrame();
    QVERIFY(!frame.isNull());
    PersonSegmentationSP stage;
    QElapsedTimer clock;
    clock.start();
    const VideoImage first = stage.processImage(frame, 1280, 720, CameraSetting{});
    const VideoImage second = stage.processImage(greyFrame(), 1280, 720, CameraSetting{});
    if (clock.elapsed() >= 28)
        QSKIP("the machine was too busy to call twice within the stage's interval");
    QVERIFY(first.mask);
    QCOMPARE(second.mask, first.mask);
    QVERIFY(stage.processImage(VideoImage{}, 1280, 720, CameraSetting{}).isNull());
    QCOMPARE(stage.getOutputImage().mask, first.mask);
}

void tst_PersonSegmentationSP::noPersonKeepsLastMask()
{
    const VideoImage frame = portraitFrame();
    QVERIFY(!frame.isNull());
    PersonSegmentationSP stage;
    const VideoImage person = stage.processImage(frame, 1280, 720, CameraSetting{});
    QVERIFY(person.mask);

    // An empty scene: reported once, null returned, the last mask kept.
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("No person detected\\.$"));
    QTest::failOnWarning(QRegularExpression("No person detected"));
    waitForNextRun();
    QVERIFY(stage.processImage(greyFrame(), 1280, 720, CameraSetting{}).isNull());
    waitForNextRun();
    QVERIFY(stage.processImage(greyFrame(), 1280, 720, CameraSetting{}).isNull());
    QCOMPARE(stage.getOutputImage().mask, person.mask);

    // The person back: a new mask, and the next empty scene is reported again.
    waitForNextRun();
    const VideoImage back = stage.processImage(frame, 1280, 720, CameraSetting{});
    QVERIFY(back.mask);
    QVERIFY(back.mask != person.mask);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("No person detected\\.$"));
    waitForNextRun();
    QVERIFY(stage.processImage(greyFrame(), 1280, 720, CameraSetting{}).isNull());
}

void tst_PersonSegmentationSP::errorKeepsLastMask()
{
    const VideoImage frame = portraitFrame();
    QVERIFY(!frame.isNull());
    PersonSegmentationSP stage;
    const VideoImage person = stage.processImage(frame, 1280, 720, CameraSetting{});
    QVERIFY(person.mask);

    // A mask where a camera frame belongs cannot be segmented.
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("Error during segmentation: the image is not a camera frame"));
    waitForNextRun();
    QVERIFY(stage.processImage(person, 1280, 720, CameraSetting{}).isNull());
    QCOMPARE(stage.getOutputImage().mask, person.mask);
}

QTEST_GUILESS_MAIN(tst_PersonSegmentationSP)
#include "tst_personsegmentationsp.moc"
