#include "camera/capturesession.h"
#include "camera/capturesession_p.h"
#include "camera/simulatedcamera.h"

#include <linux/videodev2.h>

#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <thread>

namespace {

constexpr int Patience = 10000; // ms; frames come at 30 per second, the machine may be busy

SimulatedCamera cameraWithModes(const QString &name, const QList<CaptureMode> &modes)
{
    SimulatedCamera camera = SimulatedCamera::talventoCameraPro();
    camera.name = name;
    camera.modes = modes;
    return camera;
}

CameraDevice findCamera(const QString &name)
{
    for (const CameraDevice &device : CaptureSession::availableCameras())
        if (device.localizedName == name)
            return device;
    return {};
}

// A session on a simulated camera that counts its handler calls.
struct CountingSession
{
    std::atomic<int> frames { 0 };
    CaptureSession session;
    CountingSession(const QString &name, QSize size)
        : session(
            [this] { frames.fetch_add(1, std::memory_order_relaxed); }, findCamera(name), size)
    { }
};

bool writeFile(const QString &path, const QByteArray &data)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

class ExtraProvider : public CameraProvider
{
public:
    QList<CameraDevice> cameras() override
    {
        return { CameraDevice { QStringLiteral("Talvento Control"), QStringLiteral("shm:0"),
            QStringLiteral("shm"), nullptr } };
    }
    std::unique_ptr<CaptureSource> createSource(const CameraDevice &) override { return nullptr; }
};

} // namespace

class tst_CaptureSession : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanupTestCase();
    void cameraList();
    void framesAtRequestedSize_data();
    void framesAtRequestedSize();
    void startFailures_data();
    void startFailures();
    void grabImageBeforeFirstFrame();
    void grabBufferTwice();
    void grabImageReusesMemory();
    void pauseAndResume();
    void stopIsFinal();
    void stopStartWhileFetching();
    void locationId_data();
    void locationId();
    void usbUniqueIdFromSysfs();
    void yuvRangeFromV4l2();
    void ownLoopbackNodeIsNoCamera_data();
    void ownLoopbackNodeIsNoCamera();
};

void tst_CaptureSession::init()
{
    CaptureSession::useSimulatedCameras(true);
    SimulatedCameraProvider::instance()->setCameras({ SimulatedCamera::talventoCameraPro() });
}

void tst_CaptureSession::cleanupTestCase()
{
    CaptureSession::useSimulatedCameras(false);
}

void tst_CaptureSession::cameraList()
{
    SimulatedCamera ir = SimulatedCamera::talventoCameraPro();
    ir.name = QStringLiteral("Talvento Camera Pro IR Camera");
    SimulatedCameraProvider::instance()->setCameras({ SimulatedCamera::talventoCameraPro(), ir });
    const auto extra = std::make_shared<ExtraProvider>();
    CaptureSession::registerProvider(extra);

    // Simulated cameras follow the V4L2 ones, registered providers come last, all in order.
    QList<CameraDevice> cameras = CaptureSession::availableCameras();
    QVERIFY(cameras.size() >= 3);
    const int sim = int(cameras.size()) - 3;
    QCOMPARE(cameras[sim].localizedName, QStringLiteral("Talvento Camera Pro"));
    QCOMPARE(cameras[sim].uniqueId, QStringLiteral("0x7a10000012097a1c"));
    QCOMPARE(cameras[sim + 1].localizedName, ir.name);
    QCOMPARE(cameras[sim + 2].localizedName, QStringLiteral("Talvento Control"));
    QVERIFY(cameras[sim + 2].provider == extra);
    for (const CameraDevice &device : cameras)
        QVERIFY(device.provider);

    CaptureSession::unregisterProvider(extra);
    CaptureSession::useSimulatedCameras(false);
    cameras = CaptureSession::availableCameras();
    QCOMPARE(cameras.size(), qsizetype(sim));
    QVERIFY(!findCamera(QStringLiteral("Talvento Camera Pro")).provider);
}

void tst_CaptureSession::framesAtRequestedSize_data()
{
    using namespace PixelFormat;
    QTest::addColumn<QList<CaptureMode>>("modes");
    QTest::addColumn<QSize>("size");
    QTest::newRow("product camera 720p")
        << SimulatedCamera::talventoCameraPro().modes << QSize(1280, 720);
    QTest::newRow("product camera preview")
        << SimulatedCamera::talventoCameraPro().modes << QSize(640, 360);
    QTest::newRow("YUYV 4:3 cropped")
        << QList { CaptureMode { Yuyv, 640, 480, 30 } } << QSize(640, 360);
    QTest::newRow("UYVY only") << QList { CaptureMode { Uyvy, 640, 360, 30 } } << QSize(640, 360);
    QTest::newRow("I420 only, scaled down")
        << QList { CaptureMode { Yu12, 1280, 720, 30 } } << QSize(640, 360);
    QTest::newRow("MJPEG scaled down")
        << QList { CaptureMode { Mjpeg, 1280, 720, 30 } } << QSize(640, 360);
    QTest::newRow("NV12 scaled up")
        << QList { CaptureMode { Nv12, 640, 360, 30 } } << QSize(1280, 720);
}

// Every format reaches the handler as BGRA frames of exactly the requested size, each one new.
void tst_CaptureSession::framesAtRequestedSize()
{
    QFETCH(QList<CaptureMode>, modes);
    QFETCH(QSize, size);
    SimulatedCameraProvider::instance()->setCameras(
        { cameraWithModes(QStringLiteral("Sim"), modes) });
    CountingSession s(QStringLiteral("Sim"), size);
    QVERIFY(s.session.startCapture());
    QVERIFY(s.session.isRunning());
    QTRY_VERIFY_WITH_TIMEOUT(s.frames.load() >= 1, Patience);
    const FrameRef first = s.session.grabBuffer();
    QVERIFY(first);
    QCOMPARE(QSize(first->width(), first->height()), size);
    QTRY_VERIFY_WITH_TIMEOUT(s.session.grabBuffer() != first, Patience);
    const FrameRef second = s.session.grabBuffer();
    QCOMPARE(QSize(second->width(), second->height()), size);
    QVERIFY(second->timestampUs() > first->timestampUs());
    QVERIFY(std::memcmp(first->data(), second->data(), first->byteCount()) != 0);

    // Opaque, and a picture rather than a flat fill: the centre row has many different colours.
    QSet<uint32_t> colours;
    const uint8_t *row = second->row(size.height() / 2);
    for (int x = 0; x < size.width(); ++x) {
        QCOMPARE(row[4 * x + 3], uint8_t(255));
        colours.insert(
            uint32_t(row[4 * x]) | uint32_t(row[4 * x + 1]) << 8 | uint32_t(row[4 * x + 2]) << 16);
    }
    QVERIFY2(colours.size() > 50, qPrintable(QString::number(colours.size())));
}

void tst_CaptureSession::startFailures_data()
{
    QTest::addColumn<SimulatedCamera>("camera");
    QTest::addColumn<QString>("message");
    SimulatedCamera busy = SimulatedCamera::talventoCameraPro();
    busy.busy = true;
    QTest::newRow("camera held elsewhere")
        << busy
        << "CaptureSession::startCapture -> Error: Talvento Camera Pro: Device or resource busy";
    QTest::newRow("unsupported pixel format")
        << cameraWithModes(QStringLiteral("Talvento Camera Pro"),
               { CaptureMode { PixelFormat::fourcc('H', '2', '6', '4'), 1280, 720, 30 },
                   CaptureMode { PixelFormat::fourcc('G', 'R', 'E', 'Y'), 640, 480, 30 } })
        << "CaptureSession::startCapture -> Error: Talvento Camera Pro: no supported pixel format "
           "among H264 GREY";
}

// A failed start leaves a session without a stream, and pausing or resuming it does nothing.
void tst_CaptureSession::startFailures()
{
    QFETCH(SimulatedCamera, camera);
    QFETCH(QString, message);
    SimulatedCameraProvider::instance()->setCameras({ camera });
    CountingSession s(camera.name, QSize(640, 360));
    QTest::ignoreMessage(QtWarningMsg, qPrintable(message));
    QVERIFY(!s.session.startCapture());
    QVERIFY(!s.session.isRunning());
    s.session.pauseCapture(false);
    QVERIFY(!s.session.isRunning());
    s.session.pauseCapture(true);
    QCOMPARE(SimulatedCameraProvider::instance()->streamingSources(), 0);
    QVERIFY(!s.session.grabBuffer());
    QCOMPARE(s.frames.load(), 0);
}

void tst_CaptureSession::grabImageBeforeFirstFrame()
{
    CountingSession s(QStringLiteral("Talvento Camera Pro"), QSize(640, 360));
    QImage empty;
    QVERIFY(!s.session.grabImage(empty));
    QVERIFY(empty.isNull());

    QImage held(8, 8, QImage::Format_ARGB32);
    held.fill(Qt::red);
    QVERIFY(s.session.grabImage(held));
    QCOMPARE(held.size(), QSize(8, 8));
    QCOMPARE(held.pixel(3, 3), QColor(Qt::red).rgb());
}

// Each grab holds its own reference; the slot keeps the frame until a newer one replaces it.
void tst_CaptureSession::grabBufferTwice()
{
    CountingSession s(QStringLiteral("Talvento Camera Pro"), QSize(320, 180));
    QVERIFY(s.session.startCapture());
    QTRY_VERIFY_WITH_TIMEOUT(s.frames.load() >= 1, Patience);
    s.session.pauseCapture(true);
    FrameRef a = s.session.grabBuffer();
    FrameRef b = s.session.grabBuffer();
    QVERIFY(a);
    QCOMPARE(a.get(), b.get());
    QCOMPARE(a.use_count(), 3); // the slot, a and b
    b.reset();
    QCOMPARE(a.use_count(), 2);
    s.session.stopCapture();
    QCOMPARE(a.use_count(), 1); // still valid after the session dropped it
    QCOMPARE(a->width(), 320);
}

void tst_CaptureSession::grabImageReusesMemory()
{
    CountingSession s(QStringLiteral("Talvento Camera Pro"), QSize(641, 361));
    QVERIFY(s.session.startCapture());
    QTRY_VERIFY_WITH_TIMEOUT(s.frames.load() >= 1, Patience);

    QImage image(100, 100, QImage::Format_RGB888);
    QVERIFY(s.session.grabImage(image));
    QCOMPARE(image.size(), QSize(641, 361));
    QCOMPARE(image.format(), QImage::Format_ARGB32);
    const uchar *memory = image.constBits();
    const int seen = s.frames.load();
    QTRY_VERIFY_WITH_TIMEOUT(s.frames.load() > seen, Patience);
    QVERIFY(s.session.grabImage(image));
    QCOMPARE(image.constBits(), memory);

    // The copy matches the frame row by row, despite the frame's wider aligned stride.
    s.session.pauseCapture(true);
    QVERIFY(s.session.grabImage(image));
    const FrameRef frame = s.session.grabBuffer();
    for (int y : { 0, 180, 360 })
        QVERIFY(std::memcmp(image.constScanLine(y), frame->row(y), 641 * 4) == 0);
}

void tst_CaptureSession::pauseAndResume()
{
    CountingSession s(QStringLiteral("Talvento Camera Pro"), QSize(640, 360));
    QVERIFY(s.session.startCapture());
    QTRY_VERIFY_WITH_TIMEOUT(s.frames.load() >= 1, Patience);
    QCOMPARE(SimulatedCameraProvider::instance()->streamingSources(), 1);

    s.session.pauseCapture(true);
    QVERIFY(!s.session.isRunning());
    QCOMPARE(SimulatedCameraProvider::instance()->streamingSources(), 0);
    // The capture thread has been joined, so no frame can arrive while paused.
    const int paused = s.frames.load();
    QTest::qWait(150);
    QCOMPARE(s.frames.load(), paused);
    s.session.pauseCapture(true); // twice is harmless

    s.session.pauseCapture(false);
    QVERIFY(s.session.isRunning());
    QTRY_VERIFY_WITH_TIMEOUT(s.frames.load() > paused, Patience);
}

void tst_CaptureSession::stopIsFinal()
{
    CountingSession s(QStringLiteral("Talvento Camera Pro"), QSize(640, 360));
    QVERIFY(s.session.startCapture());
    QTRY_VERIFY_WITH_TIMEOUT(s.frames.load() >= 1, Patience);
    s.session.stopCapture();
    QVERIFY(!s.session.isRunning());
    QVERIFY(!s.session.grabBuffer());
    QCOMPARE(SimulatedCameraProvider::instance()->streamingSources(), 0);
    QTest::ignoreMessage(QtWarningMsg, "CaptureSession::startCapture -> Error: no camera to open");
    QVERIFY(!s.session.startCapture());
    s.session.pauseCapture(false);
    QVERIFY(!s.session.isRunning());
}

// Sessions are started, paused and stopped while another thread keeps fetching frames from
// them. Short here; scripts/stress-capture runs many more cycles under a sanitizer.
void tst_CaptureSession::stopStartWhileFetching()
{
    const int cycles = qEnvironmentVariableIntValue("TALVENTO_STRESS_CYCLES") > 0
        ? qEnvironmentVariableIntValue("TALVENTO_STRESS_CYCLES")
        : 20;
    std::atomic<CaptureSession *> current { nullptr };
    std::atomic<bool> done { false };
    std::atomic<int> fetched { 0 };
    std::mutex sessionMutex; // keeps a session alive while the fetcher uses it
    std::thread fetcher([&] {
        QImage image;
        while (!done.load()) {
            std::lock_guard lock(sessionMutex);
            if (CaptureSession *session = current.load()) {
                if (session->grabBuffer())
                    fetched.fetch_add(1);
                session->grabImage(image);
            }
        }
    });
    std::atomic<int> frames { 0 };
    const CameraDevice camera = findCamera(QStringLiteral("Talvento Camera Pro"));
    for (int i = 0; i < cycles; ++i) {
        auto session = std::make_unique<CaptureSession>(
            [&] { frames.fetch_add(1); }, camera, i % 2 ? QSize(640, 360) : QSize(1280, 720));
        QVERIFY(session->startCapture());
        current.store(session.get());
        const int target = frames.load() + 1;
        QTRY_VERIFY_WITH_TIMEOUT(frames.load() >= target, Patience);
        session->pauseCapture(true);
        session->pauseCapture(false);
        if (i % 3 == 0)
            session->stopCapture(); // while the fetcher may be inside grabImage
        std::lock_guard lock(sessionMutex);
        current.store(nullptr);
        session.reset();
    }
    done.store(true);
    fetcher.join();
    QVERIFY(fetched.load() > 0);
    QCOMPARE(SimulatedCameraProvider::instance()->streamingSources(), 0);
}

void tst_CaptureSession::locationId_data()
{
    QTest::addColumn<int>("bus");
    QTest::addColumn<QString>("ports");
    QTest::addColumn<qint64>("expected"); // -1 for none
    QTest::newRow("root port") << 1 << "1" << qint64(0x01100000);
    QTest::newRow("behind a hub") << 3 << "1.4" << qint64(0x03140000);
    QTest::newRow("six deep") << 2 << "1.2.3.4.5.6" << qint64(0x02123456);
    QTest::newRow("seventh port lost") << 2 << "1.2.3.4.5.6.7" << qint64(0x02123456);
    QTest::newRow("port above 15 keeps its nibble") << 1 << "18" << qint64(0x01200000);
    QTest::newRow("empty path") << 1 << "" << qint64(-1);
    QTest::newRow("not a number") << 1 << "1.x" << qint64(-1);
    QTest::newRow("bus out of range") << 256 << "1" << qint64(-1);
}

void tst_CaptureSession::locationId()
{
    QFETCH(int, bus);
    QFETCH(QString, ports);
    QFETCH(qint64, expected);
    const std::optional<uint32_t> id = v4l2::locationId(bus, ports);
    QCOMPARE(id.has_value(), expected >= 0);
    if (id)
        QCOMPARE(qint64(*id), expected);
}

// A sysfs tree as the kernel lays it out for a UVC camera behind a hub, and a node whose device
// is not USB.
// What the driver says about quantisation, and the defaults it leaves to the colour space.
void tst_CaptureSession::yuvRangeFromV4l2()
{
    using R = FrameConverter::Range;
    QCOMPARE(v4l2::yuvRange(V4L2_QUANTIZATION_FULL_RANGE, V4L2_COLORSPACE_SRGB, 0), R::Full);
    QCOMPARE(v4l2::yuvRange(V4L2_QUANTIZATION_LIM_RANGE, V4L2_COLORSPACE_JPEG, 0), R::Limited);
    QCOMPARE(v4l2::yuvRange(V4L2_QUANTIZATION_DEFAULT, V4L2_COLORSPACE_JPEG, 0), R::Full);
    QCOMPARE(v4l2::yuvRange(V4L2_QUANTIZATION_DEFAULT, V4L2_COLORSPACE_SRGB, 0), R::Limited);
    QCOMPARE(v4l2::yuvRange(V4L2_QUANTIZATION_DEFAULT, V4L2_COLORSPACE_REC709, 0), R::Limited);
}

void tst_CaptureSession::usbUniqueIdFromSysfs()
{
    QTemporaryDir root;
    QVERIFY(root.isValid());
    const QString usb = root.filePath("devices/usb3/3-1/3-1.4");
    const QString interface = usb + "/3-1.4:1.0";
    QVERIFY(QDir().mkpath(interface));
    QVERIFY(writeFile(usb + "/busnum", "3\n"));
    QVERIFY(writeFile(usb + "/devpath", "1.4\n"));
    QVERIFY(writeFile(usb + "/idVendor", "046d\n"));
    QVERIFY(writeFile(usb + "/idProduct", "085C\n"));
    const QString node = root.filePath("class/video4linux/video0");
    QVERIFY(QDir().mkpath(node));
    QVERIFY(QFile::link(interface, node + "/device"));
    QCOMPARE(v4l2::usbUniqueId(node), QStringLiteral("0x3140000046d085c"));

    const QString platform = root.filePath("devices/platform/v4l2loopback-000");
    QVERIFY(QDir().mkpath(platform));
    const QString loopback = root.filePath("class/video4linux/video9");
    QVERIFY(QDir().mkpath(loopback));
    QVERIFY(QFile::link(platform, loopback + "/device"));
    QCOMPARE(v4l2::usbUniqueId(loopback), QString());
}

void tst_CaptureSession::ownLoopbackNodeIsNoCamera_data()
{
    QTest::addColumn<QString>("driver");
    QTest::addColumn<QString>("card");
    QTest::addColumn<uint32_t>("caps");
    QTest::addColumn<bool>("listed");
    const uint32_t capture = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;
    QTest::newRow("camera") << "uvcvideo" << "Talvento Camera Pro" << capture << true;
    QTest::newRow("camera's metadata") << "uvcvideo" << "Talvento Camera Pro" << uint32_t(V4L2_CAP_META_CAPTURE | V4L2_CAP_STREAMING) << false;
    // The preview must not take the one reader our own loopback node allows.
    QTest::newRow("our loopback node") << "v4l2 loopback" << "Talvento Control" << capture << false;
    QTest::newRow("another loopback node") << "v4l2 loopback" << "OBS Virtual Camera" << capture << true;
}

void tst_CaptureSession::ownLoopbackNodeIsNoCamera()
{
    QFETCH(QString, driver);
    QFETCH(QString, card);
    QFETCH(uint32_t, caps);
    QFETCH(bool, listed);
    v4l2_capability cap {};
    qstrncpy(reinterpret_cast<char *>(cap.driver), driver.toLatin1().constData(), sizeof cap.driver);
    qstrncpy(reinterpret_cast<char *>(cap.card), card.toLatin1().constData(), sizeof cap.card);
    cap.capabilities = caps | V4L2_CAP_DEVICE_CAPS;
    cap.device_caps = caps;
    QCOMPARE(v4l2::listedAsCamera(cap), listed);
}

QTEST_MAIN(tst_CaptureSession)
#include "tst_capturesession.moc"
