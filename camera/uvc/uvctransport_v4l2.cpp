#include "camera/uvc/uvctransport_p.h"
#include "camera/uvc/uvcv4l2mapping.h"

#include <QDebug>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

int xioctl(int fd, unsigned long request, void *arg)
{
    int r;
    do {
        r = ::ioctl(fd, request, arg);
    } while (r < 0 && errno == EINTR);
    return r;
}

class V4L2Transport : public UVCTransport
{
public:
    V4L2Transport(std::string node, uint8_t processingUnitId)
        : m_node(std::move(node))
        , m_processingUnitId(processingUnitId)
    {
    }
    ~V4L2Transport() override { close(); }

    // The driver holds the interface: we are a second client, as with
    // exclusive access on other systems.
    UVCOpenResult open() override
    {
        if (m_fd < 0) {
            m_fd = ::open(m_node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        }
        if (m_fd < 0) {
            qWarning() << "UVCTransport::open ->" << m_node.c_str() << std::strerror(errno);
            return UVCOpenResult::Failed;
        }
        return UVCOpenResult::ExclusiveAccess;
    }

    bool close() override
    {
        if (m_fd >= 0) {
            ::close(m_fd);
            m_fd = -1;
        }
        return true;
    }

    bool controlRequest(UVCRequest &request) override
    {
        const std::optional<V4L2Call> call = v4l2CallForRequest(request, m_processingUnitId);
        if (!call || m_fd < 0) {
            return false;
        }
        switch (call->operation) {
        case V4L2Operation::QueryControl: {
            v4l2_queryctrl query {};
            query.id = call->control.id;
            if (xioctl(m_fd, VIDIOC_QUERYCTRL, &query) < 0) {
                return false;
            }
            V4L2ControlInfo info { query.minimum, query.maximum, query.step, query.default_value,
                                   query.flags, 0 };
            if (query.type == V4L2_CTRL_TYPE_MENU) {
                for (int32_t i = std::max(query.minimum, 0); i <= query.maximum && i < 32; ++i) {
                    v4l2_querymenu item {};
                    item.id = query.id;
                    item.index = uint32_t(i);
                    if (xioctl(m_fd, VIDIOC_QUERYMENU, &item) == 0) {
                        info.menuMask |= 1u << i;
                    }
                }
            }
            return uvcReplyFromQuery(request, *call, info);
        }
        case V4L2Operation::GetControl: {
            v4l2_control control { call->control.id, 0 };
            if (xioctl(m_fd, VIDIOC_G_CTRL, &control) < 0) {
                return false;
            }
            return uvcReplyFromValue(request, *call, control.value);
        }
        case V4L2Operation::SetControl: {
            v4l2_control control { call->control.id, call->value };
            return xioctl(m_fd, VIDIOC_S_CTRL, &control) == 0;
        }
        }
        return false;
    }

private:
    std::string m_node;
    uint8_t m_processingUnitId;
    int m_fd = -1;
};

} // namespace

std::unique_ptr<UVCTransport> makeV4L2Transport(std::string videoNode, uint8_t processingUnitId)
{
    return std::make_unique<V4L2Transport>(std::move(videoNode), processingUnitId);
}
