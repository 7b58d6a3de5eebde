#include "vcam/loopbackoutput.h"

#include "vcam/sharedframering.h"

#include <QDebug>
#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

constexpr auto RetryInterval = std::chrono::seconds(1);

} // namespace

QString LoopbackOutput::findNode(const QString &sysfs)
{
    const QDir classDir(sysfs + QStringLiteral("/class/video4linux"));
    for (const QString &entry : classDir.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name)) {
        QFile name(classDir.filePath(entry + QStringLiteral("/name")));
        if (name.open(QIODevice::ReadOnly) && name.readAll().trimmed() == "Talvento Control")
            return QStringLiteral("/dev/") + entry;
    }
    return QString();
}

std::unique_ptr<LoopbackOutput> LoopbackOutput::open(Opener opener)
{
    QString node;
    const int fd = opener(&node);
    if (fd < 0)
        return nullptr;
    qDebug() << "VirtualCamera -> writing to the loopback node" << node;
    return std::unique_ptr<LoopbackOutput>(new LoopbackOutput(std::move(opener), fd, node));
}

LoopbackOutput::LoopbackOutput(Opener opener, int fd, QString node)
    : m_opener(std::move(opener))
    , m_fd(fd)
    , m_node(std::move(node))
    , m_yuyv(size_t(SharedFrameRing::Width) * 2 * SharedFrameRing::Height)
{
}

LoopbackOutput::~LoopbackOutput()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

bool LoopbackOutput::write(const Frame &frame)
{
    if (m_fd < 0) {
        const auto now = std::chrono::steady_clock::now();
        if (now < m_nextAttempt)
            return false;
        m_fd = m_opener(&m_node);
        if (m_fd < 0) {
            m_nextAttempt = now + RetryInterval;
            return false;
        }
        qDebug() << "VirtualCamera -> writing to the loopback node" << m_node << "again";
    }
    virtualcamera::convertBgraToYuyv(frame, m_yuyv.data(), SharedFrameRing::Width * 2);
    if (::write(m_fd, m_yuyv.data(), m_yuyv.size()) == ssize_t(m_yuyv.size()))
        return true;
    qWarning() << "VirtualCamera -> writing to" << m_node << "failed (" << strerror(errno) << "); reopening it";
    ::close(m_fd);
    m_fd = -1;
    return false;
}

int LoopbackOutput::clientCount()
{
    return virtualcamera::processesHolding(m_node);
}

int LoopbackOutput::openOwnNode(QString *node)
{
    *node = findNode();
    if (node->isEmpty())
        return -1;
    const int fd = ::open(QFile::encodeName(*node).constData(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        qWarning() << "VirtualCamera -> cannot open" << *node << ":" << strerror(errno);
        return -1;
    }
    v4l2_format format {};
    format.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    format.fmt.pix.width = SharedFrameRing::Width;
    format.fmt.pix.height = SharedFrameRing::Height;
    format.fmt.pix.pixelformat = V4L2_PIX_FMT_YUYV;
    format.fmt.pix.field = V4L2_FIELD_NONE;
    format.fmt.pix.bytesperline = SharedFrameRing::Width * 2;
    format.fmt.pix.sizeimage = SharedFrameRing::Width * 2 * SharedFrameRing::Height;
    format.fmt.pix.colorspace = V4L2_COLORSPACE_SMPTE170M;
    if (::ioctl(fd, VIDIOC_S_FMT, &format) < 0) {
        qWarning() << "VirtualCamera -> VIDIOC_S_FMT failed on" << *node << ":" << strerror(errno);
        ::close(fd);
        return -1;
    }
    return fd;
}
