#pragma once

#include "camera/frame.h"

#include <QList>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>

/// Where the processed frames go: the shared-memory camera (always), a PipeWire
/// camera node (when a PipeWire server runs) and a v4l2loopback node labelled
/// "Talvento Control" (when the module is loaded).
class VirtualCameraOutput
{
public:
    virtual ~VirtualCameraOutput() = default;
    virtual QString kind() const = 0;
    /// Sink thread only.
    virtual bool write(const Frame &frame) = 0;
    /// Any thread. Readers other than this process's own writer, now: never negative, and 0
    /// when none can be seen, so that the camera runs only for readers that are there.
    virtual int clientCount() = 0;
};

/// The virtual camera devices this process publishes, answering what the feed
/// asks of the platform: the devices and their unique ids, each device's
/// streams (the source stream others read, then the sink stream we write),
/// starting and stopping a stream, the sink's queue and the client count.
namespace virtualcamera {

/// The unique id of the "Talvento Control" device.
inline constexpr char DeviceUid[] = "8757577A-FEB6-42C2-B332-4F61495211BC";

/// Makes the device available: the shared-memory camera, and the loopback
/// node when one exists. Idempotent; any thread.
void publish();
bool isPublished();
/// Withdraws the device and its camera from the capture list.
void withdraw();

/// Device ids (never 0) of the published devices.
QList<uint32_t> deviceIds();
QString uniqueId(uint32_t deviceId);
/// The device's stream ids: the source stream, then the sink stream.
QList<uint32_t> streams(uint32_t deviceId);

bool startStream(uint32_t deviceId, uint32_t streamId);
void stopStream(uint32_t deviceId, uint32_t streamId);
/// Hands a processed 1280x720 frame to the sink stream. False when the stream
/// is not running or its queue is full; the frame is then dropped, not kept.
bool enqueue(uint32_t streamId, FrameRef frame);
/// The number of clients as a decimal string: the readers of every output added up, and "0"
/// for a stream that is not running or not ours. Never empty. Outputs that lost their server
/// are connected again here.
QString clientCount(uint32_t streamId);
/// Readers of the shared-memory camera inside this process (the settings window's preview). They
/// are clients, so the feed runs for them, but nobody else sees the camera in use.
int ownReaderCount();
/// Called (on some output's thread; it must only post work) when readers came or
/// went between two client counts. Empty: nobody is told.
void setClientsChangedHandler(std::function<void()> handler);

/// BGRA to YUYV (BT.601 limited range), two pixels per four bytes.
void convertBgraToYuyv(const Frame &frame, uint8_t *yuyv, int yuyvStride);

/// Processes other than this one that hold `path` open, found through /proc.
int processesHolding(const QString &path);

} // namespace virtualcamera
