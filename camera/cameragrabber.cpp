#include "camera/cameragrabber.h"

#include "app/core/worker.h"
#include "camera/camerawatcher.h"
#include "camera/capturesession.h"
#include "camera/uvc/controls.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDebug>
#include <QMutexLocker>
#include <QTimer>
#include <QtGlobal>

#if QT_VERSION >= QT_VERSION_CHECK(6, 5, 0)
#include <QPermissions>
#endif

#include <optional>

namespace {

struct ControlInfo
{
    QString name;
    QString autoName; // empty: the facade uses "auto-" + name
    int64_t minimum;
    int64_t maximum;
    int64_t defaultValue;
    bool autoAvailable;
};

// A camera's typical ranges, shown while the camera is stopped.
CameraSetting fallbackSetting(const ControlInfo &info)
{
    CameraSetting setting;
    setting.value = info.defaultValue;
    setting.step = 1;
    setting.maximum = info.maximum;
    setting.minimum = info.minimum;
    setting.defaultValue = info.defaultValue;
    setting.autoAvailable = info.autoAvailable;
    setting.autoEnabled = false;
    return setting;
}

void copyRange(const uvc::Control &control, CameraSetting &setting)
{
    setting.value = control.value;
    setting.step = control.step;
    setting.maximum = control.maximum;
    setting.minimum = control.minimum;
    setting.defaultValue = control.defaultValue;
}

// The UVC function of the control camera: at the camera's location, the one whose capture node
// is the camera itself (a device may expose a colour and an infrared camera as two functions),
// else the first there.
std::optional<uvc::Device> controlDeviceFor(const CameraDevice &camera)
{
    std::optional<uvc::Device> found;
    for (const uvc::Device &device : uvc::listDevices()) {
        if (!camera.uniqueId.startsWith(
                QStringLiteral("0x") + QString::number(device.locationId, 16)))
            continue;
        if (device.videoNodes.contains(camera.path))
            return device;
        if (!found)
            found = device;
    }
    return found;
}

// The product camera may have several nodes (an infrared one among them); its controls belong to
// the first that is not the infrared one.
std::optional<CameraDevice> controlCamera(const QList<CameraDevice> &cameras)
{
    for (const CameraDevice &camera : cameras) {
        if (camera.localizedName.contains(QLatin1String("Talvento Camera"), Qt::CaseInsensitive)
            && !camera.localizedName.contains(QLatin1String("IR "), Qt::CaseInsensitive))
            return camera;
    }
    return std::nullopt;
}

// How often the grabber looks at its camera: a stream that ended, controls to restore.
constexpr int SupervisionMs = 1000;

} // namespace

/// The capture state of a running camera. Only ever destroyed under the grabber's mutex (the
/// grabber holds the one reference), so uvc::reset() never races another facade call.
struct CameraGrabber::Opaque
{
    // Shared with a frame job that is copying a picture out of it right now.
    std::shared_ptr<CaptureSession> session;
    QString uniqueId; // of the control device
    std::optional<uvc::Device> device; // its UVC controls, when the location ids match
    bool capturing = false;

    ~Opaque()
    {
        qDebug() << "CameraGrabber::Opaque DCTOR!";
        if (session) {
            session->stopCapture();
            capturing = false;
            qDebug() << "stopped camera grabbing" << static_cast<void *>(this);
        }
        session.reset();
        device.reset();
        uvc::reset();
        uniqueId.clear();
    }
};

CameraGrabber::CameraGrabber(QObject *parent)
    : QObject(parent)
    , m_keeper({ "Brightness", "Contrast", "Exposure", "Saturation", "Sharpness", "Zoom",
          "WhiteBalance", "Focus", "BacklightCompensation", "PowerLine" })
{
    requestCameraAccess();
    m_worker = Worker::create(this, true);
    m_worker->setMaxAsyncQueueSize(2);
    m_worker->runFunctionSync([this](QObject *) {
        m_supervision = new QTimer(this);
        connect(m_supervision, &QTimer::timeout, this, &CameraGrabber::supervise);
        m_supervision->start(SupervisionMs);
    });
    // The news comes on the watcher's thread; the grabber looks at it on its own.
    m_watcherId = CameraWatcher::addListener([this](CameraWatcher::Event event, const QString &id) {
        QMetaObject::invokeMethod(
            this,
            [this, event, id] {
                if (event == CameraWatcher::Event::CamerasChanged) {
                    onCamerasChanged();
                    return;
                }
                QMutexLocker lock(&m_mutex);
                if (id == m_keptCameraId)
                    keepSettings(QStringLiteral("when a stream started"));
            },
            Qt::QueuedConnection);
    });
    // Cameras lose their settings in suspend; logind says when the computer wakes.
    if (!QDBusConnection::systemBus().connect(QStringLiteral("org.freedesktop.login1"),
            QStringLiteral("/org/freedesktop/login1"),
            QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("PrepareForSleep"),
            this, SLOT(onPrepareForSleep(bool))))
        qDebug() << "CameraGrabber -> no word from logind about suspend";
}

void CameraGrabber::onPrepareForSleep(bool sleeping)
{
    if (sleeping)
        return;
    QMutexLocker lock(&m_mutex);
    keepSettings(QStringLiteral("after the computer woke up"));
}

CameraGrabber::~CameraGrabber()
{
    CameraWatcher::removeListener(m_watcherId);
    m_worker->runFunctionSync([this](QObject *) { delete m_supervision; });
    m_worker->shutdown();
    {
        QMutexLocker lock(&m_mutex);
        m_opaque.reset();
    }
    m_worker.reset();
    qDebug() << "CameraGrabber DCTOR!";
}

void CameraGrabber::requestCameraAccess()
{
#if QT_VERSION >= QT_VERSION_CHECK(6, 5, 0)
    switch (qApp->checkPermission(QCameraPermission {})) {
    case Qt::PermissionStatus::Granted:
        qDebug() << "Camera access already granted.";
        break;
    case Qt::PermissionStatus::Denied:
        qDebug() << "Camera access denied or restricted.";
        break;
    case Qt::PermissionStatus::Undetermined:
        // The answer arrives on the GUI thread, which must not block waiting for it.
        qApp->requestPermission(QCameraPermission {}, [](const QPermission &permission) {
            qDebug() << (permission.status() == Qt::PermissionStatus::Granted
                    ? "Camera access granted."
                    : "Camera access denied.");
        });
        break;
    }
#else
    // Qt before 6.5 has no permission API; Linux desktops let every program open the camera.
    qDebug() << "Camera access already granted.";
#endif
}

QStringList CameraGrabber::getDevicesList()
{
    QStringList names;
    for (const CameraDevice &device : CaptureSession::availableCameras())
        names << device.localizedName;
    return names;
}

bool CameraGrabber::startCamera(int width, int height, int index, const QString &description)
{
    {
        QMutexLocker lock(&m_mutex);
        m_opaque.reset();
    }
    height = std::abs(height);

    QMutexLocker lock(&m_mutex);
    // Kept until stopCamera: a camera missing now is opened when it arrives.
    m_wanted = Request { width, height, index, description };
    return open(*m_wanted);
}

bool CameraGrabber::open(const Request &request)
{
    const int width = request.width;
    const int height = request.height;
    const int index = request.index;
    const QString &description = request.description;
    const QList<CameraDevice> cameras = CaptureSession::availableCameras();
    if (index < 0 || index >= cameras.size())
        return false;

    std::optional<CameraDevice> selected;
    if (cameras[index].localizedName == description) {
        selected = cameras[index];
    } else {
        qWarning() << "description" << description << "mismatch (vs" << cameras[index].localizedName
                   << "looking for correct device";
        for (const CameraDevice &camera : cameras) {
            qDebug() << "checking" << camera.localizedName;
            if (camera.localizedName == description) {
                selected = camera;
                qDebug() << "found" << description;
                break;
            }
        }
        if (!selected) {
            qWarning() << "unable to find" << description;
            return false;
        }
    }

    const std::optional<CameraDevice> control = controlCamera(cameras);
    if (control)
        qDebug() << "found control device" << control->localizedName;
    if (!control) {
        qWarning() << "unable to find control device";
        return false;
    }

    auto opaque = std::make_shared<Opaque>();
    opaque->session = std::make_shared<CaptureSession>(
        [this] { emit onNewFrameAvailable(); }, *selected, QSize(width, height));
    opaque->uniqueId = control->uniqueId;
    opaque->device = controlDeviceFor(*control);
    m_keptDevice = opaque->device;
    m_keptCameraId = control->uniqueId;

    m_opaque = opaque;
    opaque->capturing = opaque->session->startCapture();
    if (opaque->capturing)
        qDebug() << "started camera grabbing" << static_cast<void *>(opaque.get());
    else
        qWarning() << "unable to start physical device camera!"
                   << static_cast<void *>(opaque.get());
    return true;
}

void CameraGrabber::stopCamera()
{
    QMutexLocker lock(&m_mutex);
    m_wanted.reset();
    m_opaque.reset();
}

void CameraGrabber::loseCamera(const char *reason)
{
    qWarning() << "CameraGrabber -> camera lost:" << reason;
    m_opaque.reset();
}

void CameraGrabber::resume()
{
    if (!m_wanted || m_opaque)
        return;
    Request request = *m_wanted;
    // The list may be in another order now; the name decides.
    const qsizetype at = getDevicesList().indexOf(request.description);
    if (at >= 0)
        request.index = int(at);
    if (open(request))
        qDebug() << "CameraGrabber -> camera back:" << request.description;
}

void CameraGrabber::onCamerasChanged()
{
    QMutexLocker lock(&m_mutex);
    // The controllers and transports of cameras that went are dropped; the next control call
    // finds the cameras afresh.
    uvc::reset();
    const bool hadCamera = m_keptDevice.has_value();
    const QList<CameraDevice> cameras = CaptureSession::availableCameras();
    const std::optional<CameraDevice> control = controlCamera(cameras);
    m_keptDevice = control ? controlDeviceFor(*control) : std::nullopt;
    m_keptCameraId = control ? control->uniqueId : QString();
    if (m_opaque && (!control || control->uniqueId != m_opaque->uniqueId))
        loseCamera("the camera was unplugged");
    resume();
    if (!hadCamera && m_keptDevice)
        keepSettings(QStringLiteral("after the camera came back"));
}

void CameraGrabber::supervise()
{
    QMutexLocker lock(&m_mutex);
    if (m_opaque && m_opaque->capturing && !m_opaque->session->isRunning()) {
        loseCamera("its stream ended");
        // A camera still listed opens again at once; one that went waits for its return.
        resume();
    }
    keepSettings({});
}

bool CameraGrabber::isRunning()
{
    QMutexLocker lock(&m_mutex);
    return m_opaque != nullptr;
}

void CameraGrabber::startPreview()
{
    pause(false);
}

void CameraGrabber::stopPreview()
{
    pause(true);
}

void CameraGrabber::pause(bool paused)
{
    QMutexLocker lock(&m_mutex);
    if (!m_opaque)
        return;
    m_opaque->session->pauseCapture(paused);
    // A session that never started cannot resume, so it does not count as capturing.
    m_opaque->capturing = !paused && m_opaque->session->isRunning();
    qDebug() << "paused camera grabbing" << (paused ? "true" : "false")
             << static_cast<void *>(m_opaque.get());
}

bool CameraGrabber::isPreviewing()
{
    QMutexLocker lock(&m_mutex);
    return m_opaque && m_opaque->capturing;
}

void CameraGrabber::getFrame(QImage &image, std::function<void(bool)> done)
{
    QMutexLocker lock(&m_mutex);
    QImage *target = &image;
    const bool queued = m_worker->runFunctionAsync([this, target, done](QObject *) {
        // Hold the session for the copy, so a stop or restart meanwhile cannot free it.
        std::shared_ptr<CaptureSession> session;
        {
            QMutexLocker lock(&m_mutex);
            if (m_opaque)
                session = m_opaque->session;
        }
        if (!session)
            return;
        const bool ok = session->grabImage(*target);
        if (done)
            done(ok);
    });
    if (!queued)
        qWarning() << "skipping grabImage, too much work in queue...";
}

namespace {

const ControlInfo &controlInfo(int control)
{
    namespace names = uvc::controls::names;
    // In the order of CameraGrabber::Control.
    static const ControlInfo table[] = {
        { names::brightness, {}, -64, 64, 0, false },
        { names::contrast, {}, 0, 95, 32, false },
        { names::exposureTime, {}, 3, 2041, 166, true },
        { names::saturation, {}, 0, 100, 52, false },
        { names::sharpness, {}, 1, 7, 2, false },
        { names::zoom, {}, 0, 60, 0, false },
        { names::whiteBalance, {}, 2800, 6500, 4600, true },
        { names::focus, names::autoFocus, 0, 1023, 0, true },
        { names::backlightCompensation, {}, 0, 1, 0, false },
        { names::powerLine, {}, 0, 2, 0, false },
    };
    return table[control];
}

} // namespace

namespace {

// Reads one control of the camera; the exposure's automatic state comes from its mode.
bool readControl(const uvc::Device &device, int control, CameraSetting &setting)
{
    const ControlInfo &info = controlInfo(control);
    const std::optional<uvc::Control> value = uvc::getControl(device, info.name, info.autoName);
    if (!value)
        return false;
    copyRange(*value, setting);
    if (info.name == uvc::controls::names::exposureTime) {
        // Every exposure mode but manual leaves the exposure time to the camera.
        const std::optional<uvc::Control> mode
            = uvc::getControl(device, uvc::controls::names::exposureMode, {});
        setting.autoAvailable = mode.has_value();
        setting.autoEnabled = mode && uvc::exposure::isAutomatic(mode->value);
        return true;
    }
    setting.autoAvailable = value->autoValue.has_value();
    setting.autoEnabled = value->autoValue.value_or(false);
    return true;
}

bool writeControl(const uvc::Device &device, int control, long value, bool autoMode)
{
    const ControlInfo &info = controlInfo(control);
    if (info.name == uvc::controls::names::exposureTime) {
        namespace names = uvc::controls::names;
        if (autoMode) {
            // The automatic mode the camera offers (its step lists them), best first.
            const std::optional<uvc::Control> mode
                = uvc::getControl(device, names::exposureMode, {});
            for (const int64_t automatic : uvc::exposure::automaticModes(mode ? mode->step : 0)) {
                if (uvc::setControl(device, names::exposureMode, long(automatic), false, {}))
                    return true;
            }
            return false;
        }
        uvc::setControl(device, names::exposureMode, long(uvc::exposure::Manual), false, {});
        return uvc::setControl(device, names::exposureTime, value, false, {});
    }
    return uvc::setControl(device, info.name, value, autoMode, info.autoName);
}

} // namespace

bool CameraGrabber::getControl(Control control, CameraSetting &setting)
{
    QMutexLocker lock(&m_mutex);
    if (!m_opaque) {
        setting = fallbackSetting(controlInfo(int(control)));
        return false;
    }
    return m_opaque->device && readControl(*m_opaque->device, int(control), setting);
}

bool CameraGrabber::setControl(Control control, long value, bool autoMode)
{
    QMutexLocker lock(&m_mutex);
    if (!m_opaque || !m_opaque->device)
        return false;
    const uvc::Device &device = *m_opaque->device;
    if (!writeControl(device, int(control), value, autoMode))
        return false;
    // Kept as the camera took it (it may have moved the value onto its steps).
    CameraSetting taken;
    if (!autoMode && readControl(device, int(control), taken))
        value = long(taken.value);
    m_keeper.store(int(control), value, autoMode);
    return true;
}

void CameraGrabber::keepSettings(const QString &occasion)
{
    if (!m_keptDevice || m_keeper.isEmpty())
        return;
    const uvc::Device device = *m_keptDevice;
    auto write = [device](int control, long value, bool autoMode) {
        return writeControl(device, control, value, autoMode);
    };
    if (occasion.isEmpty()) {
        m_keeper.check(
            [device](int control) {
                CameraSetting setting;
                return readControl(device, control, setting) ? std::optional(setting) : std::nullopt;
            },
            write);
    } else {
        m_keeper.reapply(write, occasion);
    }
}

bool CameraGrabber::getBrightness(CameraSetting &setting)
{
    return getControl(Control::Brightness, setting);
}
bool CameraGrabber::setBrightness(long value, bool autoMode)
{
    return setControl(Control::Brightness, value, autoMode);
}
bool CameraGrabber::getContrast(CameraSetting &setting)
{
    return getControl(Control::Contrast, setting);
}
bool CameraGrabber::setContrast(long value, bool autoMode)
{
    return setControl(Control::Contrast, value, autoMode);
}
bool CameraGrabber::getExposure(CameraSetting &setting)
{
    return getControl(Control::Exposure, setting);
}
bool CameraGrabber::setExposure(long value, bool autoMode)
{
    return setControl(Control::Exposure, value, autoMode);
}
bool CameraGrabber::getSaturation(CameraSetting &setting)
{
    return getControl(Control::Saturation, setting);
}
bool CameraGrabber::setSaturation(long value, bool autoMode)
{
    return setControl(Control::Saturation, value, autoMode);
}
bool CameraGrabber::getSharpness(CameraSetting &setting)
{
    return getControl(Control::Sharpness, setting);
}
bool CameraGrabber::setSharpness(long value, bool autoMode)
{
    return setControl(Control::Sharpness, value, autoMode);
}
bool CameraGrabber::getZoom(CameraSetting &setting)
{
    return getControl(Control::Zoom, setting);
}
bool CameraGrabber::setZoom(long value, bool autoMode)
{
    return setControl(Control::Zoom, value, autoMode);
}
bool CameraGrabber::getWhiteBalance(CameraSetting &setting)
{
    return getControl(Control::WhiteBalance, setting);
}
bool CameraGrabber::setWhiteBalance(long value, bool autoMode)
{
    return setControl(Control::WhiteBalance, value, autoMode);
}
bool CameraGrabber::getFocus(CameraSetting &setting)
{
    return getControl(Control::Focus, setting);
}
bool CameraGrabber::setFocus(long value, bool autoMode)
{
    return setControl(Control::Focus, value, autoMode);
}
bool CameraGrabber::getBacklightCompensation(CameraSetting &setting)
{
    return getControl(Control::BacklightCompensation, setting);
}
bool CameraGrabber::setBacklightCompensation(long value, bool autoMode)
{
    return setControl(Control::BacklightCompensation, value, autoMode);
}
bool CameraGrabber::getPowerLine(CameraSetting &setting)
{
    return getControl(Control::PowerLine, setting);
}
bool CameraGrabber::setPowerLine(long value, bool autoMode)
{
    return setControl(Control::PowerLine, value, autoMode);
}
