#pragma once

#include "camera/capturemode.h"
#include "camera/capturesource.h"

#include <QList>
#include <QMetaType>
#include <QString>
#include <QStringList>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

/// A camera in software, as --simulate and the tests use it. It streams a moving scene at
/// 30 frames per second: the portrait from the set-up's .deps/astronaut.png (or a drawn person
/// when that file is missing), gently panned and zoomed, with a moving dot and a frame counter
/// so every frame differs. It offers its modes like a V4L2 camera and encodes each picture in the
/// chosen mode's pixel format, so the same conversions as for a real camera run.
struct SimulatedCamera
{
    QString name;
    uint32_t locationId = 0;
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    QList<CaptureMode> modes;
    /// Behaves like a camera another program holds: opening fails.
    bool busy = false;

    /// The product camera; shares its location id with the simulated UVC camera, so the camera
    /// grabber finds its controls.
    static SimulatedCamera talventoCameraPro();
    /// "0x" + location id + vendor id + product id, as for a USB camera.
    QString uniqueId() const;
};

Q_DECLARE_METATYPE(SimulatedCamera)

/// Unplugs (false) or plugs back (true) the simulated Talvento Camera Pro as a whole: its capture
/// camera and its UVC controls, which come back at their defaults as a real camera's do after
/// power-up. The camera watcher hears of it either way.
void setSimulatedProductCameraPlugged(bool plugged);

/// The simulated cameras, listed by CaptureSession while simulation is on.
class SimulatedCameraProvider : public CameraProvider,
                                public std::enable_shared_from_this<SimulatedCameraProvider>
{
public:
    /// The one instance the capture layer lists; it starts with the Talvento Camera Pro.
    static std::shared_ptr<SimulatedCameraProvider> instance();

    /// Any thread. Replaces the simulated cameras (sessions already open keep theirs).
    void setCameras(const QList<SimulatedCamera> &cameras);
    QList<SimulatedCamera> simulatedCameras() const;
    /// Sources currently streaming, across all simulated cameras.
    int streamingSources() const { return m_streaming.load(std::memory_order_acquire); }
    /// Unplugs (false) or plugs back (true) the camera of that name: unplugged, it leaves the
    /// list, cannot be opened, and its open streams end as a real camera's do.
    void setPlugged(const QString &name, bool plugged);
    bool isPlugged(const QString &name) const;

    QList<CameraDevice> cameras() override;
    std::unique_ptr<CaptureSource> createSource(const CameraDevice &device) override;

private:
    friend class SimulatedSource;
    mutable std::mutex m_mutex;
    QList<SimulatedCamera> m_cameras { SimulatedCamera::talventoCameraPro() };
    QStringList m_unplugged;
    std::atomic<int> m_streaming { 0 };
};
