// The V4L2 cameras: listing /dev/video* nodes and streaming them through mmap buffers.
#include "camera/capturesession_p.h"

#include "camera/capturemode.h"
#include "camera/frame.h"
#include "camera/frameconverter.h"
#include "camera/uvc/uvcdescriptors.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <linux/videodev2.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <system_error>
#include <unistd.h>

namespace {

constexpr int BufferCount = 4;

QString errorText(int err)
{
    return QString::fromStdString(std::generic_category().message(err));
}

int xioctl(int fd, unsigned long request, void *arg)
{
    int rc;
    do {
        rc = ::ioctl(fd, request, arg);
    } while (rc < 0 && errno == EINTR);
    return rc;
}

QString cString(const __u8 *text, size_t size)
{
    return QString::fromUtf8(
        reinterpret_cast<const char *>(text), qstrnlen(reinterpret_cast<const char *>(text), size));
}

// A capture node's capabilities, or nothing when it is not a V4L2 device.
std::optional<v4l2_capability> queryCapability(int fd)
{
    v4l2_capability cap {};
    if (xioctl(fd, VIDIOC_QUERYCAP, &cap) < 0)
        return std::nullopt;
    return cap;
}

QString readSysfs(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromLatin1(file.readAll()).trimmed();
}

// The best frame rate of one frame size of one format.
double maxFrameRate(int fd, uint32_t format, int width, int height)
{
    v4l2_frmivalenum interval {};
    interval.pixel_format = format;
    interval.width = uint32_t(width);
    interval.height = uint32_t(height);
    double best = 0;
    for (interval.index = 0; xioctl(fd, VIDIOC_ENUM_FRAMEINTERVALS, &interval) == 0;
         ++interval.index) {
        const v4l2_fract f = interval.type == V4L2_FRMIVAL_TYPE_DISCRETE ? interval.discrete
                                                                         : interval.stepwise.min;
        if (f.numerator > 0)
            best = std::max(best, double(f.denominator) / f.numerator);
        if (interval.type != V4L2_FRMIVAL_TYPE_DISCRETE)
            break;
    }
    return best;
}

// Every (format, size) the camera offers. A stepwise range contributes the requested size
// (clamped into it) and its largest size.
QList<CaptureMode> enumerateModes(int fd, QSize requested)
{
    QList<CaptureMode> modes;
    v4l2_fmtdesc desc {};
    desc.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    for (desc.index = 0; xioctl(fd, VIDIOC_ENUM_FMT, &desc) == 0; ++desc.index) {
        v4l2_frmsizeenum size {};
        size.pixel_format = desc.pixelformat;
        auto add = [&](int w, int h) {
            modes << CaptureMode { desc.pixelformat, w, h,
                maxFrameRate(fd, desc.pixelformat, w, h) };
        };
        for (size.index = 0; xioctl(fd, VIDIOC_ENUM_FRAMESIZES, &size) == 0; ++size.index) {
            if (size.type == V4L2_FRMSIZE_TYPE_DISCRETE) {
                add(int(size.discrete.width), int(size.discrete.height));
                continue;
            }
            const v4l2_frmsize_stepwise &s = size.stepwise;
            const uint32_t stepW = std::max<uint32_t>(1, s.step_width);
            const uint32_t stepH = std::max<uint32_t>(1, s.step_height);
            const uint32_t w
                = std::clamp<uint32_t>(uint32_t(requested.width()), s.min_width, s.max_width);
            const uint32_t h
                = std::clamp<uint32_t>(uint32_t(requested.height()), s.min_height, s.max_height);
            add(int(s.min_width + (w - s.min_width) / stepW * stepW),
                int(s.min_height + (h - s.min_height) / stepH * stepH));
            add(int(s.max_width), int(s.max_height));
            break;
        }
    }
    return modes;
}

/// Streams one V4L2 node: the chosen mode, mmap buffers, and an eventfd that wakes a waiting
/// read.
class V4l2Source : public CaptureSource
{
public:
    explicit V4l2Source(QString path)
        : m_path(std::move(path))
    { }

    ~V4l2Source() override
    {
        stopStreaming();
        releaseBuffers();
        if (m_fd >= 0)
            ::close(m_fd);
        if (m_wakeFd >= 0)
            ::close(m_wakeFd);
    }

    bool open(QSize size, QString *error) override
    {
        m_fd = ::open(QFile::encodeName(m_path).constData(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (m_fd < 0) {
            *error = QStringLiteral("%1: %2").arg(m_path, errorText(errno));
            return false;
        }
        m_wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (m_wakeFd < 0) {
            *error = QStringLiteral("eventfd: %1").arg(errorText(errno));
            return false;
        }
        const std::optional<CaptureMode> mode = chooseCaptureMode(enumerateModes(m_fd, size), size);
        if (!mode) {
            *error = QStringLiteral("%1: no supported pixel format").arg(m_path);
            return false;
        }
        v4l2_format format {};
        format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        format.fmt.pix.pixelformat = mode->pixelFormat;
        format.fmt.pix.width = uint32_t(mode->width);
        format.fmt.pix.height = uint32_t(mode->height);
        format.fmt.pix.field = V4L2_FIELD_ANY;
        if (xioctl(m_fd, VIDIOC_S_FMT, &format) < 0) {
            *error = QStringLiteral("%1: VIDIOC_S_FMT: %2").arg(m_path, errorText(errno));
            return false;
        }
        // The driver may have adjusted the request; what it answers is what it sends.
        const v4l2_pix_format &pix = format.fmt.pix;
        if (mode->maxFps > 0) {
            v4l2_streamparm parm {};
            parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            parm.parm.capture.timeperframe = { 1000, uint32_t(mode->maxFps * 1000) };
            xioctl(m_fd, VIDIOC_S_PARM, &parm); // best effort: not every driver sets rates
        }
        const FrameConverter::Range range
            = v4l2::yuvRange(pix.quantization, pix.colorspace, pix.ycbcr_enc);
        if (!m_converter.configure(pix.pixelformat, QSize(int(pix.width), int(pix.height)),
                int(pix.bytesperline), size, range)) {
            *error = QStringLiteral("%1: cannot convert %2")
                         .arg(m_path, PixelFormat::name(pix.pixelformat));
            return false;
        }
        qDebug() << "V4l2Source::open ->" << m_path << PixelFormat::name(pix.pixelformat)
                 << pix.width << "x" << pix.height << "for" << size
                 << (range == FrameConverter::Range::Full ? "full range" : "limited range");
        return allocateBuffers(error);
    }

    bool startStreaming() override
    {
        for (uint32_t i = 0; i < m_buffers.size(); ++i) {
            v4l2_buffer buf {};
            buf.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            buf.memory = V4L2_MEMORY_MMAP;
            buf.index = i;
            if (xioctl(m_fd, VIDIOC_QBUF, &buf) < 0) {
                qWarning() << "V4l2Source::startStreaming -> VIDIOC_QBUF failed:"
                           << errorText(errno);
                return false;
            }
        }
        int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        if (xioctl(m_fd, VIDIOC_STREAMON, &type) < 0) {
            qWarning() << "V4l2Source::startStreaming -> VIDIOC_STREAMON failed:"
                       << errorText(errno);
            xioctl(m_fd, VIDIOC_STREAMOFF, &type); // takes the queued buffers back
            return false;
        }
        m_streaming = true;
        m_lastSequence = -1;
        return true;
    }

    void stopStreaming() override
    {
        if (!m_streaming)
            return;
        int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        xioctl(m_fd, VIDIOC_STREAMOFF, &type);
        m_streaming = false;
    }

    Read readFrame(Frame &frame, int timeoutMs) override
    {
        pollfd fds[2] = { { m_fd, POLLIN, 0 }, { m_wakeFd, POLLIN, 0 } };
        const int ready = ::poll(fds, 2, timeoutMs);
        if (ready < 0)
            return errno == EINTR ? Read::Again : Read::Failed;
        if (fds[1].revents & POLLIN) {
            uint64_t count;
            [[maybe_unused]] const ssize_t n = ::read(m_wakeFd, &count, sizeof count);
            return Read::Again;
        }
        if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL))
            return Read::Failed;
        if (!(fds[0].revents & POLLIN))
            return Read::Again;

        v4l2_buffer buf {};
        buf.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        buf.memory = V4L2_MEMORY_MMAP;
        if (xioctl(m_fd, VIDIOC_DQBUF, &buf) < 0)
            return errno == EAGAIN ? Read::Again : Read::Failed;
        if (m_lastSequence >= 0 && int64_t(buf.sequence) > m_lastSequence + 1)
            qDebug() << "DROPPING SAMPLE" << QDateTime::currentMSecsSinceEpoch();
        m_lastSequence = buf.sequence;
        bool ok = false;
        if (!(buf.flags & V4L2_BUF_FLAG_ERROR) && buf.index < m_buffers.size()) {
            const Mapping &m = m_buffers[buf.index];
            ok = m_converter.convert(static_cast<const uint8_t *>(m.data),
                std::min<size_t>(buf.bytesused, m.length), frame);
            frame.setTimestampUs(int64_t(buf.timestamp.tv_sec) * 1'000'000 + buf.timestamp.tv_usec);
        }
        if (xioctl(m_fd, VIDIOC_QBUF, &buf) < 0)
            return Read::Failed;
        return ok ? Read::Frame : Read::Again;
    }

    void wake() override
    {
        const uint64_t one = 1;
        if (m_wakeFd >= 0) [[maybe_unused]]
            const ssize_t n = ::write(m_wakeFd, &one, sizeof one);
    }

private:
    struct Mapping
    {
        void *data = MAP_FAILED;
        size_t length = 0;
    };

    bool allocateBuffers(QString *error)
    {
        v4l2_requestbuffers request {};
        request.count = BufferCount;
        request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        request.memory = V4L2_MEMORY_MMAP;
        if (xioctl(m_fd, VIDIOC_REQBUFS, &request) < 0 || request.count == 0) {
            *error = QStringLiteral("%1: VIDIOC_REQBUFS: %2").arg(m_path, errorText(errno));
            return false;
        }
        m_buffers.resize(request.count);
        for (uint32_t i = 0; i < request.count; ++i) {
            v4l2_buffer buf {};
            buf.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            buf.memory = V4L2_MEMORY_MMAP;
            buf.index = i;
            if (xioctl(m_fd, VIDIOC_QUERYBUF, &buf) < 0) {
                *error = QStringLiteral("%1: VIDIOC_QUERYBUF: %2").arg(m_path, errorText(errno));
                return false;
            }
            void *data = ::mmap(
                nullptr, buf.length, PROT_READ | PROT_WRITE, MAP_SHARED, m_fd, buf.m.offset);
            if (data == MAP_FAILED) {
                *error = QStringLiteral("%1: mmap: %2").arg(m_path, errorText(errno));
                return false;
            }
            m_buffers[i] = { data, buf.length };
        }
        return true;
    }

    void releaseBuffers()
    {
        for (const Mapping &m : m_buffers)
            if (m.data != MAP_FAILED)
                ::munmap(m.data, m.length);
        if (!m_buffers.empty()) {
            v4l2_requestbuffers request {};
            request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            request.memory = V4L2_MEMORY_MMAP;
            xioctl(m_fd, VIDIOC_REQBUFS, &request);
        }
        m_buffers.clear();
    }

    QString m_path;
    int m_fd = -1;
    int m_wakeFd = -1;
    std::vector<Mapping> m_buffers;
    FrameConverter m_converter;
    bool m_streaming = false;
    int64_t m_lastSequence = -1;
};

class V4l2Provider : public CameraProvider
{
public:
    QList<CameraDevice> cameras() override
    {
        // Node-number order, so the list does not depend on directory order.
        QList<int> numbers;
        static const QRegularExpression videoNode(QStringLiteral("^video(\\d+)$"));
        for (const QString &entry : QDir(QStringLiteral("/dev")).entryList(QDir::System)) {
            const QRegularExpressionMatch match = videoNode.match(entry);
            if (match.hasMatch())
                numbers << match.captured(1).toInt();
        }
        std::sort(numbers.begin(), numbers.end());

        QList<CameraDevice> devices;
        for (int number : numbers) {
            const QString path = QStringLiteral("/dev/video%1").arg(number);
            const int fd
                = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
            if (fd < 0)
                continue;
            const std::optional<v4l2_capability> cap = queryCapability(fd);
            ::close(fd);
            if (!cap || !v4l2::listedAsCamera(*cap))
                continue;
            QString uniqueId
                = v4l2::usbUniqueId(QStringLiteral("/sys/class/video4linux/video%1").arg(number));
            if (uniqueId.isEmpty())
                uniqueId
                    = QStringLiteral("v4l2:%1").arg(cString(cap->bus_info, sizeof cap->bus_info));
            devices << CameraDevice { cString(cap->card, sizeof cap->card), uniqueId, path,
                nullptr };
        }
        return devices;
    }

    std::unique_ptr<CaptureSource> createSource(const CameraDevice &device) override
    {
        return std::make_unique<V4l2Source>(device.path);
    }
};

} // namespace

bool v4l2::listedAsCamera(const v4l2_capability &cap)
{
    // A UVC camera has a second node for metadata; only nodes that stream pictures count.
    const uint32_t caps
        = (cap.capabilities & V4L2_CAP_DEVICE_CAPS) ? cap.device_caps : cap.capabilities;
    if (!(caps & V4L2_CAP_VIDEO_CAPTURE) || !(caps & V4L2_CAP_STREAMING))
        return false;
    // Our own loopback node is what the virtual camera writes: its one reader is meant to be the
    // call application, and our preview reads the shared-memory camera instead.
    return !(cString(cap.driver, sizeof cap.driver) == QLatin1String("v4l2 loopback")
        && cString(cap.card, sizeof cap.card) == QLatin1String("Talvento Control"));
}

std::shared_ptr<CameraProvider> makeV4l2CameraProvider()
{
    return std::make_shared<V4l2Provider>();
}

namespace v4l2 {

std::optional<uint32_t> locationId(int busNumber, const QString &portPath)
{
    if (busNumber < 0 || busNumber > 0xff || portPath.isEmpty())
        return std::nullopt;
    std::vector<uint8_t> ports;
    for (const QString &part : portPath.split(QLatin1Char('.'))) {
        bool ok = false;
        const int port = part.toInt(&ok);
        if (!ok || port < 0 || port > 0xff)
            return std::nullopt;
        ports.push_back(uint8_t(port));
    }
    // The same formula as the UVC layer's, so the unique id starts with its location id.
    return uvcLocationId(uint8_t(busNumber), ports.data(), int(ports.size()));
}

FrameConverter::Range yuvRange(uint32_t quantization, uint32_t colorspace, uint32_t ycbcrEncoding)
{
    if (quantization == V4L2_QUANTIZATION_DEFAULT)
        quantization = V4L2_MAP_QUANTIZATION_DEFAULT(false, colorspace, ycbcrEncoding);
    return quantization == V4L2_QUANTIZATION_FULL_RANGE ? FrameConverter::Range::Full
                                                        : FrameConverter::Range::Limited;
}

QString usbUniqueId(const QString &sysfsNodeDir)
{
    // The node's device is the USB interface; the USB device is the nearest ancestor with
    // bus number, port path and ids.
    QString dir = QFileInfo(sysfsNodeDir + QStringLiteral("/device")).canonicalFilePath();
    for (int depth = 0; depth < 3 && !dir.isEmpty(); ++depth, dir = QFileInfo(dir).path()) {
        if (!QFileInfo::exists(dir + QStringLiteral("/idVendor")))
            continue;
        bool busOk = false, vendorOk = false, productOk = false;
        const int bus = readSysfs(dir + QStringLiteral("/busnum")).toInt(&busOk);
        const uint vendor = readSysfs(dir + QStringLiteral("/idVendor")).toUInt(&vendorOk, 16);
        const uint product = readSysfs(dir + QStringLiteral("/idProduct")).toUInt(&productOk, 16);
        const std::optional<uint32_t> location
            = locationId(bus, readSysfs(dir + QStringLiteral("/devpath")));
        if (!busOk || !vendorOk || !productOk || !location)
            return {};
        return usbCameraUniqueId(*location, uint16_t(vendor), uint16_t(product));
    }
    return {};
}

} // namespace v4l2
