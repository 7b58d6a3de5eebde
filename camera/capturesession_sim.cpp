// The simulated cameras behind --simulate and the tests.
#include "camera/simulatedcamera.h"

#include "camera/camerawatcher.h"

#include "camera/capturesession_p.h"
#include "camera/frame.h"
#include "camera/frameconverter.h"
#include "camera/simulatedscene.h"
#include "camera/uvc/controls.h"

#include <QDebug>

#include <chrono>
#include <condition_variable>

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto FramePeriod = std::chrono::microseconds(33'333);

} // namespace

SimulatedCamera SimulatedCamera::talventoCameraPro()
{
    SimulatedCamera camera;
    // The identity of the simulated UVC camera, so the grabber finds its controls.
    camera.name = QString::fromLatin1(uvc::simulatedCameraName);
    camera.locationId = uvc::simulatedCameraLocationId;
    camera.vendorId = uvc::simulatedCameraVendorId;
    camera.productId = uvc::simulatedCameraProductId;
    // Like the real camera it offers MJPEG at every size and YUYV at small ones, plus BGRA,
    // which a simulation can hand over for free: the cheapest mode wins on a tie.
    for (const QSize size : { QSize(1920, 1080), QSize(1280, 720), QSize(640, 360) }) {
        camera.modes << CaptureMode { PixelFormat::Mjpeg, size.width(), size.height(), 30 };
        camera.modes << CaptureMode { PixelFormat::Bgra, size.width(), size.height(), 30 };
    }
    camera.modes << CaptureMode { PixelFormat::Yuyv, 640, 480, 30 };
    return camera;
}

QString SimulatedCamera::uniqueId() const
{
    return usbCameraUniqueId(locationId, vendorId, productId);
}

/// Streams one simulated camera: renders the scene at the chosen mode's size on the capture
/// thread, encodes it in the mode's pixel format and converts it back like a real camera's.
class SimulatedSource : public CaptureSource
{
public:
    SimulatedSource(std::shared_ptr<SimulatedCameraProvider> provider, SimulatedCamera camera)
        : m_provider(std::move(provider))
        , m_camera(std::move(camera))
    { }
    ~SimulatedSource() override
    {
        stopStreaming();
        // Where a real camera's light would go off.
        if (m_opened)
            qDebug() << "SimulatedCamera -> closed" << m_camera.name;
    }

    bool open(QSize size, QString *error) override
    {
        if (!m_provider->isPlugged(m_camera.name)) {
            *error = QStringLiteral("%1: No such device").arg(m_camera.name);
            return false;
        }
        if (m_camera.busy) {
            *error = QStringLiteral("%1: Device or resource busy").arg(m_camera.name);
            return false;
        }
        const std::optional<CaptureMode> mode = chooseCaptureMode(m_camera.modes, size);
        if (!mode) {
            QStringList formats;
            for (const CaptureMode &m : m_camera.modes)
                formats << PixelFormat::name(m.pixelFormat);
            formats.removeDuplicates();
            *error = QStringLiteral("%1: no supported pixel format among %2")
                         .arg(m_camera.name, formats.join(QLatin1Char(' ')));
            return false;
        }
        m_mode = *mode;
        m_direct = m_mode.pixelFormat == PixelFormat::Bgra && QSize(m_mode.width, m_mode.height) == size;
        if (!m_converter.configure(
                m_mode.pixelFormat, QSize(m_mode.width, m_mode.height), 0, size)) {
            *error = QStringLiteral("%1: cannot convert its frames").arg(m_camera.name);
            return false;
        }
        m_opened = true;
        qDebug() << "SimulatedCamera -> opened" << m_camera.name << "at" << size;
        return true;
    }

    bool startStreaming() override
    {
        std::lock_guard lock(m_mutex);
        if (!m_streaming) {
            m_streaming = true;
            m_next = Clock::now();
            m_provider->m_streaming.fetch_add(1, std::memory_order_acq_rel);
        }
        return true;
    }

    void stopStreaming() override
    {
        std::lock_guard lock(m_mutex);
        if (m_streaming) {
            m_streaming = false;
            m_provider->m_streaming.fetch_sub(1, std::memory_order_acq_rel);
        }
    }

    Read readFrame(Frame &frame, int timeoutMs) override
    {
        if (!m_provider->isPlugged(m_camera.name))
            return Read::Failed;
        {
            std::unique_lock lock(m_mutex);
            const auto deadline
                = std::min(m_next, Clock::now() + std::chrono::milliseconds(timeoutMs));
            m_wake.wait_until(lock, deadline, [this] { return m_woken; });
            if (m_woken || !m_streaming || Clock::now() < m_next) {
                m_woken = false;
                return Read::Again;
            }
            // A late reader gets the next frame on the period, not a burst of catch-up frames.
            m_next = std::max(m_next + FramePeriod, Clock::now());
        }
        if (m_direct && frame.width() == m_mode.width && frame.height() == m_mode.height) {
            // The opaque scene in BGRA at the frame's size is what the conversion would
            // hand on: it is drawn straight into the frame.
            m_scene.render(frame.data(), frame.stride(), frame.width(), frame.height(), m_count);
        } else {
            m_picture.resize(static_cast<size_t>(m_mode.width) * m_mode.height * 4);
            m_scene.render(m_picture.data(), m_mode.width * 4, m_mode.width, m_mode.height, m_count);
            if (!SimulatedScene::encode(
                    m_mode.pixelFormat, m_picture.data(), m_mode.width, m_mode.height, m_encoded)
                || !m_converter.convert(m_encoded.data(), m_encoded.size(), frame))
                return Read::Again;
        }
        ++m_count;
        frame.setTimestampUs(
            std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch())
                .count());
        return Read::Frame;
    }

    void wake() override
    {
        std::lock_guard lock(m_mutex);
        m_woken = true;
        m_wake.notify_all();
    }

private:
    std::shared_ptr<SimulatedCameraProvider> m_provider;
    SimulatedCamera m_camera;
    CaptureMode m_mode;
    FrameConverter m_converter;
    SimulatedScene m_scene;
    std::vector<uint8_t> m_picture;
    std::vector<uint8_t> m_encoded;
    int64_t m_count = 0;
    bool m_opened = false;
    bool m_direct = false; // BGRA at the requested size: drawn without encoding or conversion

    std::mutex m_mutex; // the fields below
    std::condition_variable m_wake;
    bool m_woken = false;
    bool m_streaming = false;
    Clock::time_point m_next;
};

void setSimulatedProductCameraPlugged(bool plugged)
{
    qDebug() << "Simulated camera ->" << (plugged ? "plugged in" : "unplugged");
    SimulatedCameraProvider::instance()->setPlugged(QString::fromLatin1(uvc::simulatedCameraName), plugged);
    uvc::simulatedCamera()->setConnected(plugged);
    CameraWatcher::notifyChanged();
}

std::shared_ptr<SimulatedCameraProvider> SimulatedCameraProvider::instance()
{
    static const std::shared_ptr<SimulatedCameraProvider> provider
        = std::make_shared<SimulatedCameraProvider>();
    return provider;
}

void SimulatedCameraProvider::setCameras(const QList<SimulatedCamera> &cameras)
{
    std::lock_guard lock(m_mutex);
    m_cameras = cameras;
}

QList<SimulatedCamera> SimulatedCameraProvider::simulatedCameras() const
{
    std::lock_guard lock(m_mutex);
    return m_cameras;
}

void SimulatedCameraProvider::setPlugged(const QString &name, bool plugged)
{
    std::lock_guard lock(m_mutex);
    m_unplugged.removeAll(name);
    if (!plugged)
        m_unplugged << name;
}

bool SimulatedCameraProvider::isPlugged(const QString &name) const
{
    std::lock_guard lock(m_mutex);
    return !m_unplugged.contains(name);
}

QList<CameraDevice> SimulatedCameraProvider::cameras()
{
    std::lock_guard lock(m_mutex);
    QList<CameraDevice> devices;
    for (int i = 0; i < m_cameras.size(); ++i)
        if (!m_unplugged.contains(m_cameras[i].name))
            devices << CameraDevice { m_cameras[i].name, m_cameras[i].uniqueId(),
            QStringLiteral("sim:%1").arg(i), nullptr };
    return devices;
}

std::unique_ptr<CaptureSource> SimulatedCameraProvider::createSource(const CameraDevice &device)
{
    std::lock_guard lock(m_mutex);
    // The list may have changed since it was read; the index only counts if the name still fits.
    const int index = device.path.mid(4).toInt();
    if (index < 0 || index >= m_cameras.size() || m_cameras[index].name != device.localizedName) {
        qWarning() << "SimulatedCameraProvider::createSource -> no simulated camera"
                   << device.localizedName;
        return nullptr;
    }
    return std::make_unique<SimulatedSource>(shared_from_this(), m_cameras[index]);
}
