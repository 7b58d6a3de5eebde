#include "app/core/basesettings.h"
#include "camera/capturesession.h"
#include "camera/simulatedcamera.h"
#include "vcam/sharedframering.h"
#include "vcam/vcam.h"
#include "video/postprocessor.h"

#include <QCoreApplication>
#include <QImage>
#include <QMutex>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

namespace {

// Log lines arrive from the feed's worker thread.
QMutex g_logLock;
QStringList g_log;
QtMessageHandler g_previousHandler = nullptr;

void recordMessage(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    {
        QMutexLocker lock(&g_logLock);
        g_log << message;
    }
    g_previousHandler(type, context, message);
}

bool logContains(const QString &text)
{
    QMutexLocker lock(&g_logLock);
    return std::any_of(g_log.cbegin(), g_log.cend(), [&](const QString &line) { return line.contains(text); });
}

int logCount(const QString &text)
{
    QMutexLocker lock(&g_logLock);
    return int(std::count_if(g_log.cbegin(), g_log.cend(), [&](const QString &line) { return line.contains(text); }));
}

int camerasStreaming()
{
    return SimulatedCameraProvider::instance()->streamingSources();
}

QString viewer()
{
    return qEnvironmentVariable("TALVENTO_VCAM_VIEW");
}

bool isBlack(QRgb pixel)
{
    return qRed(pixel) < 8 && qGreen(pixel) < 8 && qBlue(pixel) < 8;
}

} // namespace

/// The feed from the simulated camera through the effects to the shared-memory
/// camera, read by the viewer program as a call application would.
class tst_VCam : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void processedFrameReachesTheViewer();
    void grabberFollowsTheClients();
    void stoppedFeedKeepsTheCameraClosed();

private:
    QTemporaryDir m_dir;
    QString m_segment;
    std::unique_ptr<BaseSettings> m_settings;
};

void tst_VCam::initTestCase()
{
    QVERIFY(m_dir.isValid());
    // A camera segment of its own (the viewer is pointed at it): other test
    // runs on the machine neither read nor feed it.
    m_segment = QStringLiteral("/talvento-vcam-test-%1").arg(QCoreApplication::applicationPid());
    SharedFrameRing::setDefaultName(m_segment);
    QStandardPaths::setTestModeEnabled(true);
    g_previousHandler = qInstallMessageHandler(recordMessage);
    CaptureSession::useSimulatedCameras(true);
    m_settings = std::make_unique<BaseSettings>();
}

void tst_VCam::cleanupTestCase()
{
    SharedFrameRing::unlink(m_segment);
}

void tst_VCam::init()
{
    QMutexLocker lock(&g_logLock);
    g_log.clear();
}

void tst_VCam::processedFrameReachesTheViewer()
{
    m_settings->setSubSetting(BaseSettings::TextOverlay, BaseSettings::Enabled, true);
    VCam vcam(m_settings.get(), nullptr);
    QVERIFY(vcam.postProcessor()->setCameraRotation(1, false));
    QVERIFY(vcam.start());
    QVERIFY(vcam.isGrabberRunning());

    const QString path = m_dir.filePath(QStringLiteral("frame.png"));
    QProcess view;
    view.start(viewer(), {QStringLiteral("--segment"), m_segment, QStringLiteral("--save"), path, QStringLiteral("--skip"), QStringLiteral("10"),
                          QStringLiteral("--wait"), QStringLiteral("20")});
    QVERIFY(view.waitForFinished(60000));
    QVERIFY2(view.exitCode() == 0, view.readAllStandardError().constData());

    const QImage frame(path);
    QCOMPARE(frame.size(), QSize(1280, 720));
    // A quarter turn puts the 16:9 picture upright between black pillars about 285 px wide.
    for (int y : {40, 360, 680}) {
        QVERIFY(isBlack(frame.pixel(20, y)));
        QVERIFY(isBlack(frame.pixel(270, y)));
        QVERIFY(isBlack(frame.pixel(1259, y)));
        QVERIFY(isBlack(frame.pixel(1010, y)));
    }
    int picture = 0;
    for (int x = 300; x < 980; x += 10)
        picture += isBlack(frame.pixel(x, 300)) ? 0 : 1;
    QVERIFY(picture > 50);
    // The text overlay's white letters sit in the middle of the frame.
    int white = 0;
    for (int y = 200; y < 520; ++y) {
        for (int x = 300; x < 980; ++x) {
            const QRgb p = frame.pixel(x, y);
            white += qRed(p) > 245 && qGreen(p) > 245 && qBlue(p) > 245 ? 1 : 0;
        }
    }
    QVERIFY2(white > 500, qPrintable(QString::number(white)));
    m_settings->setSubSetting(BaseSettings::TextOverlay, BaseSettings::Enabled, false);
}

void tst_VCam::grabberFollowsTheClients()
{
    VCam vcam(m_settings.get(), nullptr);
    QSignalSpy reconnecting(&vcam, &VCam::onReconnecting);
    QSignalSpy clients(&vcam, &VCam::onClientsConnectedChanged);
    QVERIFY(vcam.start());

    // Nobody watches: the grabber stops at the next tick.
    QTRY_VERIFY_WITH_TIMEOUT(logContains("stopping VCam physical grabber - there are no clients connected!"), 10000);
    QTRY_VERIFY(!vcam.isGrabberRunning());
    QVERIFY(!reconnecting.isEmpty() && !reconnecting.last().first().toBool());
    QCOMPARE(clients.last().first().toBool(), false);
    QCOMPARE(camerasStreaming(), 0); // the camera itself is released, its light off

    // A viewer connects: the grabber starts again within a tick.
    QProcess view;
    view.start(viewer(), {QStringLiteral("--segment"), m_segment, QStringLiteral("--measure"), QStringLiteral("30")});
    QVERIFY(view.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(logContains("restarting VCam physical grabber, it's not running!"), 10000);
    QTRY_VERIFY(vcam.isGrabberRunning());
    QCOMPARE(clients.last().first().toBool(), true);

    // A viewer killed outright stops being counted, and the grabber stops again.
    init();
    ::kill(pid_t(view.processId()), SIGKILL);
    view.waitForFinished();
    QTRY_VERIFY_WITH_TIMEOUT(logContains("stopping VCam physical grabber - there are no clients connected!"), 10000);
    QTRY_VERIFY(!vcam.isGrabberRunning());
    QCOMPARE(camerasStreaming(), 0);
}

void tst_VCam::stoppedFeedKeepsTheCameraClosed()
{
    VCam vcam(m_settings.get(), nullptr);
    QVERIFY(vcam.start());
    QProcess view;
    view.start(viewer(), {QStringLiteral("--segment"), m_segment, QStringLiteral("--measure"), QStringLiteral("30")});
    QVERIFY(view.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(logContains("Opaque::areAnyClientsConnected() == TRUE"), 10000);

    // The viewer is still attached, but a stopped stream has no readers: the client checks that
    // go on keep the camera closed.
    vcam.stop();
    QVERIFY(!vcam.isGrabberRunning());
    init();
    QTRY_VERIFY_WITH_TIMEOUT(logCount("areAnyClientsConnected()") >= 2, 10000);
    QVERIFY(!logContains("restarting VCam physical grabber"));
    QVERIFY(!vcam.isGrabberRunning());
    QCOMPARE(camerasStreaming(), 0);
    view.kill();
    view.waitForFinished();
}

QTEST_MAIN(tst_VCam)
#include "tst_vcam.moc"
