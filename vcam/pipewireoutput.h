#pragma once

#include "vcam/virtualcamera.h"

#include <functional>
#include <memory>

/// The virtual camera as a PipeWire Video/Source node ("Talvento Control", media.role Camera)
/// that portal-aware applications read without any kernel module. It offers 1280x720 at 30 fps
/// as YUY2 and as BGRx, each a fixed format of its own (some clients drop a format that is a
/// choice), and sends each written frame at once. Its readers are the links from its port.
/// Without a reachable PipeWire server nothing is published; reconnectIfLost() tries again.
class PipeWireOutput : public VirtualCameraOutput
{
public:
    /// Connects at once when a server is reachable. `onClientsChanged` is called on PipeWire's
    /// thread whenever a reader comes or goes; it must return quickly and take no lock of ours.
    explicit PipeWireOutput(std::function<void()> onClientsChanged = {});
    ~PipeWireOutput() override;
    PipeWireOutput(const PipeWireOutput &) = delete;
    PipeWireOutput &operator=(const PipeWireOutput &) = delete;

    QString kind() const override { return QStringLiteral("PipeWire"); }
    /// Converts the frame into the negotiated format when someone reads; a frame that finds no
    /// free buffer (the reader is behind) is dropped. False only for a frame of the wrong size.
    bool write(const Frame &frame) override;
    int clientCount() override;

    /// Any thread. Connects again when there was no server or the server went away.
    void reconnectIfLost();
    /// The node's PipeWire id while it is published, else 0.
    uint32_t nodeId() const;

private:
    struct Opaque;
    std::unique_ptr<Opaque> m_opaque;
};
