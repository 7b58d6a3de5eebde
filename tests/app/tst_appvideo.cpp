#include "app/core/basesettings.h"
#include "camera/frame.h"
#include "runningapp.h"
#include "vcam/sharedframering.h"

#include <QBuffer>
#include <QDeadlineTimer>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>
#include <memory>

namespace {

bool isBlack(QRgb pixel)
{
    return qRed(pixel) < 8 && qGreen(pixel) < 8 && qBlue(pixel) < 8;
}

bool isLogo(QRgb pixel)
{
    return qRed(pixel) > 200 && qGreen(pixel) < 60 && qBlue(pixel) > 200;
}

// The quarter turn leaves black pillars about 285 px wide left and right of the upright 16:9
// picture (the logo covers the top of the left one).
bool hasPillars(const QImage &frame)
{
    for (int y : {400, 560, 680}) {
        for (int x : {20, 270, 1010, 1259}) {
            if (!isBlack(frame.pixel(x, y)))
                return false;
        }
    }
    return true;
}

bool hasLogoTopLeft(const QImage &frame)
{
    return isLogo(frame.pixel(100, 100)) && isLogo(frame.pixel(300, 300)) && !isLogo(frame.pixel(640, 360));
}

int whitePixels(const QImage &frame)
{
    int white = 0;
    for (int y = 200; y < 520; ++y) {
        for (int x = 300; x < 980; ++x) {
            const QRgb p = frame.pixel(x, y);
            white += qRed(p) > 245 && qGreen(p) > 245 && qBlue(p) > 245 ? 1 : 0;
        }
    }
    return white;
}

QByteArray logoPng()
{
    QImage logo(64, 64, QImage::Format_ARGB32);
    logo.fill(QColor(255, 0, 255));
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    logo.save(&buffer, "PNG");
    return buffer.data();
}

} // namespace

/// The built application under --simulate, read through its virtual camera by this process as
/// a call application would: the effects stored in the settings before start reach the reader.
class tst_AppVideo : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanup();

    void storedEffectsReachTheReader_data();
    void storedEffectsReachTheReader();
    void runsUnderAnAddressSpaceLimit();

private:
    // Starts `program` with `arguments` and then the application's own (--simulate, this test's
    // segment, answers to messages) in its environment; output read as a log has its debug lines.
    void startApp(const QString &program, const QStringList &arguments, QProcess::ProcessChannelMode channels);
    // Reads camera frames (the idle picture skipped) until `done` holds for one, at most 300.

    QTemporaryDir m_home;
    QString m_segment;
    std::unique_ptr<QProcess> m_app;
};

void tst_AppVideo::initTestCase()
{
    QVERIFY(m_home.isValid());
    QVERIFY(QFile::exists(TALVENTO_APP_EXECUTABLE));
    // A camera segment of its own: the test neither watches nor feeds anyone else's.
    m_segment = QStringLiteral("/talvento-vcam-test-%1").arg(QCoreApplication::applicationPid());
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_home.filePath("config")));
    QVERIFY(QDir().mkpath(m_home.filePath("run")));
    QVERIFY(QFile::setPermissions(m_home.filePath("run"), QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                                             | QFileDevice::ExeOwner));
}

void tst_AppVideo::cleanup()
{
    if (m_app && m_app->state() != QProcess::NotRunning) {
        m_app->terminate();
        if (!m_app->waitForFinished(20000)) {
            m_app->kill();
            m_app->waitForFinished(10000);
        }
    }
    m_app.reset();
    SharedFrameRing::unlink(m_segment);
    QFile::remove(m_home.filePath("run/Talvento.lock"));
}

void tst_AppVideo::startApp(const QString &program, const QStringList &arguments,
                            QProcess::ProcessChannelMode channels)
{
    m_app = std::make_unique<QProcess>();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("TMPDIR", m_home.path());
    env.insert("XDG_RUNTIME_DIR", m_home.filePath("run"));
    if (channels == QProcess::MergedChannels)
        env.insert("QT_LOGGING_RULES", "default.debug=true");
    m_app->setProcessEnvironment(env);
    m_app->setProcessChannelMode(channels);
    m_app->start(program, QStringList(arguments) << "--simulate" << "--answer-messages" << "yes"
                                                  << "--vcam-segment" << m_segment);
}

void tst_AppVideo::storedEffectsReachTheReader_data()
{
    QTest::addColumn<bool>("effects");
    QTest::newRow("no effect") << false;
    QTest::newRow("every effect") << true;
}

void tst_AppVideo::storedEffectsReachTheReader()
{
    QFETCH(bool, effects);
    {
        BaseSettings store;
        store.clear();
        if (effects) {
            store.setSetting(BaseSettings::SkinTone, 70);
            store.setSetting(BaseSettings::BackgroundBlur, 60);
            store.setSetting(BaseSettings::CameraRotation, 1);
            store.setSubSetting(BaseSettings::TextOverlay, BaseSettings::Enabled, true);
            store.setSubSetting(BaseSettings::LogoOverlay, BaseSettings::ImageData, logoPng());
            store.setSubSetting(BaseSettings::LogoOverlay, BaseSettings::Enabled, true);
        }
        store.sync();
    }

    startApp(TALVENTO_APP_EXECUTABLE, {}, QProcess::ForwardedErrorChannel);
    QVERIFY(m_app->waitForStarted());

    // The segment appears once the virtual camera has started.
    std::unique_ptr<SharedFrameRing> ring;
    QTRY_VERIFY_WITH_TIMEOUT((ring = std::make_unique<SharedFrameRing>(SharedFrameRing::Role::Reader, m_segment))
                                 ->isValid()
                                 || m_app->state() == QProcess::NotRunning,
                             60000);
    QCOMPARE(m_app->state(), QProcess::Running);
    QVERIFY(ring->registerClient());

    QImage first;
    QVERIFY2(readFramesUntil(*ring, [](const QImage &) { return true; }, first), "no camera frame");
    // The picture moves: a later frame differs.
    QImage later;
    QVERIFY2(readFramesUntil(*ring, [&](const QImage &frame) { return frame != first; }, later), "the picture stands still");

    if (effects) {
        // The slower stages (segmentation, overlay pictures) join within a few frames.
        QImage frame;
        const bool applied = readFramesUntil(
            *ring, [](const QImage &f) { return hasPillars(f) && hasLogoTopLeft(f) && whitePixels(f) > 500; },
            frame);
        QVERIFY2(applied, qPrintable(QStringLiteral("pillars %1, logo %2, white pixels %3")
                                         .arg(hasPillars(frame))
                                         .arg(hasLogoTopLeft(frame))
                                         .arg(whitePixels(frame))));
    } else {
        // Without effects the camera's picture fills the frame, with no logo on it.
        for (int i = 0; i < 10; ++i) {
            QImage frame;
            QVERIFY(readFramesUntil(*ring, [](const QImage &) { return true; }, frame));
            QVERIFY(!hasPillars(frame));
            QVERIFY(!hasLogoTopLeft(frame));
        }
    }
}

void tst_AppVideo::runsUnderAnAddressSpaceLimit()
{
    // A user's limit of about 4 GB of address space: the application starts, makes its
    // virtual microphone (and with it the noise suppressor) and keeps delivering frames.
    {
        BaseSettings store;
        store.clear();
        store.sync();
    }
    startApp("bash", {"-c", R"(ulimit -v 4000000 && exec "$0" "$@")", TALVENTO_APP_EXECUTABLE},
             QProcess::MergedChannels);
    QVERIFY(m_app->waitForStarted());

    QString log;
    QDeadlineTimer deadline(60000);
    while (!log.contains("App::start -> camera grabber created") && m_app->state() == QProcess::Running
           && !deadline.hasExpired()) {
        m_app->waitForReadyRead(500);
        log += QString::fromUtf8(m_app->readAll());
    }
    QVERIFY2(log.contains("App::start -> camera grabber created"), qPrintable(log.right(3000)));
    QVERIFY2(!log.contains("RNNoise could not be set up"), qPrintable(log.right(3000)));

    SharedFrameRing ring(SharedFrameRing::Role::Reader, m_segment);
    QVERIFY(ring.isValid());
    QVERIFY(ring.registerClient());
    QImage first, later;
    QVERIFY2(readFramesUntil(ring, [](const QImage &) { return true; }, first), "no camera frame");
    QVERIFY2(readFramesUntil(ring, [&](const QImage &frame) { return frame != first; }, later), "the picture stands still");
    QCOMPARE(m_app->state(), QProcess::Running);
}

QTEST_GUILESS_MAIN(tst_AppVideo)
#include "tst_appvideo.moc"
