#pragma once

#include "vcam/virtualcamera.h"

#include <chrono>
#include <functional>
#include <vector>

/// The v4l2loopback node whose card name is "Talvento Control", fed YUYV. A failed write
/// closes the node and the next write opens it again (the module may have been reloaded);
/// while it cannot be opened, a write tries again at most once a second.
class LoopbackOutput : public VirtualCameraOutput
{
public:
    /// Opens the node for writing, set up for our frames: the descriptor and the node's path,
    /// or -1 when there is none.
    using Opener = std::function<int(QString *node)>;

    /// Null when the node cannot be opened now.
    static std::unique_ptr<LoopbackOutput> open(Opener opener = openOwnNode);
    ~LoopbackOutput() override;

    QString kind() const override { return QStringLiteral("v4l2loopback ") + m_node; }
    bool write(const Frame &frame) override;
    int clientCount() override;

    /// Finds the node labelled "Talvento Control" and sets its output format.
    static int openOwnNode(QString *node);

    /// The node labelled "Talvento Control" ("/dev/videoN") among the video devices that the
    /// sysfs mounted at `sysfs` lists, or "" when there is none.
    static QString findNode(const QString &sysfs = QStringLiteral("/sys"));

private:
    LoopbackOutput(Opener opener, int fd, QString node);

    Opener m_opener;
    int m_fd;
    QString m_node;
    std::chrono::steady_clock::time_point m_nextAttempt;
    std::vector<uint8_t> m_yuyv;
};
