#pragma once

#include <QList>
#include <QSize>
#include <QString>

#include <cstdint>
#include <memory>

class CameraProvider;
class CaptureSource;
class Frame;

/// A camera as the capture layer lists it.
struct CameraDevice
{
    /// What the user sees: the driver's card name for a V4L2 camera.
    QString localizedName;
    /// Stable across runs. For USB cameras "0x" + location id in lower-case hex + vendor id +
    /// product id (four hex digits each), so it starts with the location id the UVC layer uses.
    QString uniqueId;
    /// The provider's own address of the camera (a device node, a simulated camera's index).
    QString path;
    /// The provider that lists and opens it; null for an empty record.
    std::shared_ptr<CameraProvider> provider;
};

/// "0x" + location id in lower-case hex without leading zeros + vendor id + product id (four
/// lower-case hex digits each): the unique id of a USB camera.
QString usbCameraUniqueId(uint32_t locationId, uint16_t vendorId, uint16_t productId);

/// A source of cameras for the capture layer: the V4L2 devices, the simulated cameras, and any
/// provider registered with CaptureSession::registerProvider (the shared-memory virtual camera).
class CameraProvider
{
public:
    virtual ~CameraProvider() = default;
    /// Any thread. The cameras available now, in a stable order; `provider` may be left empty
    /// (the session fills it in).
    virtual QList<CameraDevice> cameras() = 0;
    /// A source for one of this provider's cameras; not yet opened.
    virtual std::unique_ptr<CaptureSource> createSource(const CameraDevice &device) = 0;
};

/// One camera's stream as a capture session drives it. The session calls open, startStreaming,
/// stopStreaming and readFrame from one thread at a time; wake may come from any thread.
class CaptureSource
{
public:
    enum class Read { Frame, Again, Failed };

    virtual ~CaptureSource() = default;

    /// Opens the camera in the mode that best serves `size` and prepares BGRA frames of exactly
    /// that size. False with the reason in `error`.
    [[nodiscard]] virtual bool open(QSize size, QString *error) = 0;
    /// Starts delivering frames; the buffers stay allocated between start and stop.
    [[nodiscard]] virtual bool startStreaming() = 0;
    virtual void stopStreaming() = 0;
    /// Capture thread. Waits up to `timeoutMs` for the next picture and converts it into
    /// `frame` with its timestamp: Frame on success, Again on a time-out, a wake or a dropped
    /// picture, Failed when the camera is gone.
    virtual Read readFrame(Frame &frame, int timeoutMs) = 0;
    /// Any thread. Makes a waiting readFrame return Again at once.
    virtual void wake() = 0;
};
