#include "camera/capturesession.h"

#include "camera/camerawatcher.h"
#include "camera/capturesession_p.h"
#include "camera/simulatedcamera.h"

#include <QDebug>

#include <pthread.h>

#include <algorithm>
#include <cstring>

namespace {

// The newest frame, one the handler's owner may still hold, one being filled, and a spare.
constexpr int PoolFrames = 4;
// How long one wait for a picture may take before the loop looks at its stop flag again.
constexpr int ReadTimeoutMs = 500;

struct Registry
{
    std::mutex mutex;
    std::shared_ptr<CameraProvider> v4l2;
    bool simulated = false;
    QList<std::shared_ptr<CameraProvider>> registered;
};

Registry &registry()
{
    static Registry r;
    return r;
}

} // namespace

QString usbCameraUniqueId(uint32_t locationId, uint16_t vendorId, uint16_t productId)
{
    return QStringLiteral("0x%1%2%3")
        .arg(locationId, 0, 16)
        .arg(vendorId, 4, 16, QLatin1Char('0'))
        .arg(productId, 4, 16, QLatin1Char('0'));
}

CaptureSession::CaptureSession(Handler handler, CameraDevice device, QSize resolution)
    : m_handler(std::move(handler))
    , m_resolution(resolution)
    , m_device(std::move(device))
{ }

CaptureSession::~CaptureSession()
{
    stopCapture();
    m_handler = nullptr;
    qDebug() << "CaptureSession DCTOR!";
}

QList<CameraDevice> CaptureSession::availableCameras()
{
    QList<std::shared_ptr<CameraProvider>> providers;
    {
        Registry &r = registry();
        std::lock_guard lock(r.mutex);
        if (!r.v4l2)
            r.v4l2 = makeV4l2CameraProvider();
        providers << r.v4l2;
        if (r.simulated)
            providers << SimulatedCameraProvider::instance();
        providers << r.registered;
    }
    // Providers are asked without the registry lock: listing V4L2 devices opens each node.
    QList<CameraDevice> cameras;
    for (const std::shared_ptr<CameraProvider> &provider : providers) {
        for (CameraDevice device : provider->cameras()) {
            device.provider = provider;
            cameras << device;
        }
    }
    return cameras;
}

void CaptureSession::registerProvider(const std::shared_ptr<CameraProvider> &provider)
{
    Registry &r = registry();
    std::lock_guard lock(r.mutex);
    if (provider && !r.registered.contains(provider))
        r.registered << provider;
}

void CaptureSession::unregisterProvider(const std::shared_ptr<CameraProvider> &provider)
{
    Registry &r = registry();
    std::lock_guard lock(r.mutex);
    r.registered.removeAll(provider);
}

void CaptureSession::useSimulatedCameras(bool on)
{
    Registry &r = registry();
    std::lock_guard lock(r.mutex);
    r.simulated = on;
}

bool CaptureSession::simulatedCamerasInUse()
{
    Registry &r = registry();
    std::lock_guard lock(r.mutex);
    return r.simulated;
}

bool CaptureSession::startCapture()
{
    std::lock_guard control(m_control);
    if (m_source)
        return m_streaming;
    if (m_stopped || !m_device.provider) {
        qWarning() << "CaptureSession::startCapture -> Error: no camera to open";
        return false;
    }
    std::unique_ptr<CaptureSource> source = m_device.provider->createSource(m_device);
    QString error = QStringLiteral("%1 is no longer available").arg(m_device.localizedName);
    if (!source || !source->open(m_resolution, &error)) {
        qWarning() << "CaptureSession::startCapture -> Error:" << qPrintable(error);
        return false;
    }
    if (!source->startStreaming()) {
        qWarning() << "CaptureSession::startCapture -> Couldn't start streaming"
                   << m_device.localizedName;
        return false;
    }
    m_pool = std::make_unique<FramePool>(m_resolution.width(), m_resolution.height(), PoolFrames);
    m_source = std::move(source);
    startThread();
    CameraWatcher::notifyStreamStarted(m_device.uniqueId);
    return true;
}

void CaptureSession::stopCapture()
{
    std::lock_guard control(m_control);
    if (m_source) {
        stopThread();
        m_source->stopStreaming();
        m_source.reset();
    }
    {
        QMutexLocker lock(&mux);
        m_lastFrame.reset();
    }
    m_pool.reset();
    m_device = {};
    m_stopped = true;
}

void CaptureSession::pauseCapture(bool pause)
{
    std::lock_guard control(m_control);
    if (!m_source)
        return;
    if (pause && m_thread.joinable()) {
        stopThread();
        m_source->stopStreaming();
    } else if (!pause && !m_thread.joinable()) {
        if (!m_source->startStreaming()) {
            qWarning() << "CaptureSession::pauseCapture -> unable to restart streaming"
                       << m_device.localizedName;
            return;
        }
        startThread();
        CameraWatcher::notifyStreamStarted(m_device.uniqueId);
    }
}

bool CaptureSession::isRunning() const
{
    return m_streaming.load(std::memory_order_acquire);
}

void CaptureSession::startThread()
{
    m_stopThread.store(false, std::memory_order_relaxed);
    m_streaming.store(true, std::memory_order_release);
    m_thread = std::thread([this] { captureLoop(); });
}

void CaptureSession::stopThread()
{
    Q_ASSERT(std::this_thread::get_id() != m_thread.get_id());
    m_stopThread.store(true, std::memory_order_release);
    m_source->wake();
    if (m_thread.joinable())
        m_thread.join();
    m_streaming.store(false, std::memory_order_release);
}

void CaptureSession::captureLoop()
{
    pthread_setname_np(pthread_self(), "capture");
    bool borrowing = false; // latched: the pool ran dry because consumers hold every frame
    while (!m_stopThread.load(std::memory_order_acquire)) {
        FrameRef frame = m_pool->acquire();
        if (!frame) {
            if (!borrowing)
                qDebug() << "CaptureSession::captureLoop -> every pooled frame is in use,"
                            " allocating";
            borrowing = true;
            frame = Frame::create(m_resolution.width(), m_resolution.height());
        } else {
            borrowing = false;
        }
        const CaptureSource::Read result = m_source->readFrame(*frame, ReadTimeoutMs);
        if (result == CaptureSource::Read::Failed) {
            qWarning() << "CaptureSession::captureLoop -> camera lost:" << m_device.localizedName;
            m_streaming.store(false, std::memory_order_release);
            return;
        }
        if (result != CaptureSource::Read::Frame)
            continue;
        {
            QMutexLocker lock(&mux);
            m_lastFrame = std::move(frame);
        }
        if (m_handler)
            m_handler();
    }
}

FrameRef CaptureSession::grabBuffer()
{
    QMutexLocker lock(&mux);
    return m_lastFrame;
}

bool CaptureSession::grabImage(QImage &image)
{
    // A published frame is never written again, so it can be copied outside the lock.
    const FrameRef frame = grabBuffer();
    if (frame)
        convertFrameToQImage(*frame, image);
    return !image.isNull();
}

void CaptureSession::convertFrameToQImage(const Frame &frame, QImage &image)
{
    const int w = frame.width();
    const int h = frame.height();
    if (image.isNull() || image.width() != w || image.height() != h
        || image.format() != QImage::Format_ARGB32) {
        qDebug() << "creating QImage with" << QSize(w, h) << "bytesPerRow" << frame.stride()
                 << QImage::Format_ARGB32;
        image = QImage(w, h, QImage::Format_ARGB32);
        if (image.isNull()) {
            qWarning() << "CaptureSession::convertFrameToQImage -> out of memory for"
                       << QSize(w, h);
            return;
        }
    }
    // Row by row: the image's stride may differ from the frame's aligned one.
    const size_t rowBytes = static_cast<size_t>(w) * 4;
    uchar *bits = image.bits();
    const qsizetype bytesPerLine = image.bytesPerLine();
    for (int y = 0; y < h; ++y)
        std::memcpy(bits + y * bytesPerLine, frame.row(y), rowBytes);
}
