#include "vcam/vcam.h"

#include "app/core/worker.h"
#include "camera/camerawatcher.h"
#include "camera/capturesession.h"
#include "video/personsegmentationsp.h"
#include "video/postprocessor.h"
#include "vcam/virtualcamera.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDebug>
#include <QTimer>

namespace {

constexpr int clientCheckIntervalMs = 2000;
constexpr int stallMs = 2000;

qint64 nowMs()
{
    return QDateTime::currentMSecsSinceEpoch();
}

} // namespace

struct VCam::Opaque
{
    uint32_t device = 0;
    uint32_t sinkStream = 0;
    std::shared_ptr<CaptureSession> session;
};

uint32_t getExtensionDeviceId()
{
    for (uint32_t id : virtualcamera::deviceIds()) {
        if (virtualcamera::uniqueId(id) == QLatin1String(virtualcamera::DeviceUid))
            return id;
    }
    return 0;
}

VCam::VCam(BaseSettings *settings, QObject *parent)
    : QObject(parent)
    , m_opaque(std::make_shared<Opaque>())
{
    // The post-processor stays on the creating thread's side of the object
    // tree; its stages run on workers of their own.
    m_postProcessor = std::make_shared<PostProcessor>(settings, nullptr);
    m_postProcessor->setSegmentationStage(std::make_shared<PersonSegmentationSP>());
    m_worker = Worker::create(this, true);
    m_worker->setMaxAsyncQueueSize(2);
    m_worker->runFunctionSync([this](QObject *) {
        m_clientTimer = new QTimer(this);
        connect(m_clientTimer, &QTimer::timeout, this, &VCam::checkClients);
    });
    // A camera that comes back is opened at once rather than at the next client check.
    m_watcherId = CameraWatcher::addListener([this](CameraWatcher::Event event, const QString &) {
        if (event == CameraWatcher::Event::CamerasChanged)
            QMetaObject::invokeMethod(this, [this] { onCamerasChanged(); }, Qt::QueuedConnection);
    });
    // A reader that arrives or leaves between two ticks is answered at once, once the
    // feed runs its checks.
    virtualcamera::setClientsChangedHandler([this] {
        QMetaObject::invokeMethod(
            this, [this] { if (m_clientTimer->isActive()) checkClients(); }, Qt::QueuedConnection);
    });
}

VCam::~VCam()
{
    CameraWatcher::removeListener(m_watcherId);
    virtualcamera::setClientsChangedHandler({});
    m_worker->runFunctionSync([this](QObject *) {
        if (m_clientTimer)
            m_clientTimer->stop();
    });
    stop();
    m_worker->shutdown();
    m_worker.reset();
    m_postProcessor.reset();
    qDebug() << "VCam DCTOR!";
}

bool VCam::start()
{
    stop();
    // The shared-memory camera is always published, the PipeWire camera and our loopback node
    // when they are there; without the loopback node fewer applications see the camera.
    virtualcamera::publish();
    if (!isExtensionInstalled())
        qDebug() << "VCam::start -> no v4l2loopback node of ours: applications that do not use PipeWire will not "
                    "see the virtual camera";
    const uint32_t device = getExtensionDeviceId();
    {
        QMutexLocker lock(&m_lock);
        m_opaque->device = device;
    }
    if (device == 0) {
        emit onMessage(QStringLiteral("Unable to find Talvento Camera Extension"));
        return false;
    }
    const QList<uint32_t> streams = virtualcamera::streams(device);
    if (streams.size() < 2 || !virtualcamera::startStream(device, streams[1])) {
        emit onMessage(QStringLiteral("Talvento Camera Extension hasn't started"));
        return false;
    }
    {
        QMutexLocker lock(&m_lock);
        m_opaque->sinkStream = streams[1];
    }
    startGrabber();
    m_worker->runFunctionSync([this](QObject *) {
        if (!m_clientTimer->isActive())
            m_clientTimer->start(clientCheckIntervalMs);
    });
    return true;
}

bool VCam::startGrabber()
{
    stopGrabber();
    m_lastFrameTime = 0;
    for (const CameraDevice &camera : CaptureSession::availableCameras()) {
        if (!camera.localizedName.contains(QLatin1String("Talvento Camera Pro"), Qt::CaseInsensitive))
            continue;
        auto session = std::make_shared<CaptureSession>([this] { onFrame(); }, camera, QSize(1280, 720));
        if (!session->startCapture()) {
            emit onMessage(QStringLiteral("Unable to start phisical camera.<br>Make sure you've allowed access to "
                                          "camera devices."));
            return false;
        }
        std::shared_ptr<CaptureSession> previous;
        {
            QMutexLocker lock(&m_lock);
            previous = std::exchange(m_opaque->session, session);
        }
        if (previous)
            previous->stopCapture();
    }
    const bool running = isGrabberRunning();
    emit onReconnecting(running);
    return running;
}

void VCam::stopGrabber()
{
    std::shared_ptr<CaptureSession> session;
    {
        QMutexLocker lock(&m_lock);
        session = std::move(m_opaque->session);
    }
    if (session)
        session->stopCapture();
    emit onReconnecting(false);
}

void VCam::stop()
{
    stopGrabber();
    QMutexLocker lock(&m_lock);
    if (m_opaque->device != 0 && m_opaque->sinkStream != 0)
        virtualcamera::stopStream(m_opaque->device, m_opaque->sinkStream);
    m_opaque->device = 0;
    m_opaque->sinkStream = 0;
}

bool VCam::isGrabberRunning()
{
    QMutexLocker lock(&m_lock);
    return m_opaque->session && m_opaque->session->isRunning();
}

bool VCam::clientsConnected() const
{
    return m_clientsConnected;
}

void VCam::setClientsConnected(bool connected)
{
    if (m_clientsConnected.exchange(connected) != connected)
        emit onClientsConnectedChanged(connected);
}

bool VCam::otherReadersConnected() const
{
    return m_otherReaders;
}

void VCam::onFrame()
{
    // Capture thread: only hand the frame over.
    if (!m_worker->runFunctionAsync([this](QObject *) { processFrame(); }))
        qDebug() << "skipping processSampleBuffer, too much work in queue...";
}

void VCam::processFrame()
{
    std::shared_ptr<CaptureSession> session;
    uint32_t sinkStream = 0;
    {
        QMutexLocker lock(&m_lock);
        session = m_opaque->session;
        sinkStream = m_opaque->sinkStream;
    }
    if (!session || !m_postProcessor)
        return;
    m_lastFrameTime = nowMs();
    FrameRef processed = m_postProcessor->processBuffer(session->grabBuffer());
    if (!processed)
        return;
    // A refused frame goes back to its pool as soon as `processed` goes.
    virtualcamera::enqueue(sinkStream, std::move(processed));
    emit onNewFrameAvailable();
}

void VCam::checkClients()
{
    uint32_t sinkStream = 0;
    {
        QMutexLocker lock(&m_lock);
        sinkStream = m_opaque->sinkStream;
    }
    const QString report = virtualcamera::clientCount(sinkStream);
    bool connected = true;
    bool others = true;
    if (!report.isEmpty()) {
        bool parsed = false;
        const int clients = report.toInt(&parsed, 10);
        qDebug() << "Custom data for stream" << clients << parsed;
        connected = !parsed || clients > 0;
        others = !parsed || clients > virtualcamera::ownReaderCount();
    }
    if (m_otherReaders.exchange(others) != others)
        emit onOtherReadersChanged(others);

    if (connected) {
        setClientsConnected(true);
        qDebug() << "Opaque::areAnyClientsConnected() == TRUE";
        if (isGrabberRunning()) {
            if (nowMs() - m_lastFrameTime >= stallMs) {
                qDebug() << "restarting VCam physical grabber - elapsed >= " << stallMs;
                startGrabber();
            }
        } else {
            qDebug() << "restarting VCam physical grabber, it's not running!";
            startGrabber();
        }
    } else {
        setClientsConnected(false);
        qDebug() << "Opaque::areAnyClientsConnected() == FALSE";
        if (isGrabberRunning()) {
            qDebug() << "stopping VCam physical grabber - there are no clients connected!";
            stopGrabber();
        }
    }
}

void VCam::onCamerasChanged()
{
    // Only a started feed with readers wants the camera.
    if (!m_clientTimer->isActive() || !clientsConnected() || isGrabberRunning())
        return;
    qDebug() << "restarting VCam physical grabber, a camera came or went";
    startGrabber();
}
