#include "vcam/virtualcamera.h"

#include "camera/capturemode.h"
#include "camera/capturesession.h"
#include "camera/frameconverter.h"
#include "vcam/loopbackoutput.h"
#include "vcam/pipewireoutput.h"
#include "vcam/sharedframering.h"
#include "vcam/yuyvkernel.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPainter>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include <unistd.h>

namespace virtualcamera {

namespace {

constexpr uint32_t TheDevice = 1;
constexpr uint32_t SourceStreamId = 1;
constexpr uint32_t SinkStreamId = 2;
constexpr int SinkQueueLimit = 2;
// Without camera frames the writer stays attached with an idle picture, so
// call applications keep listing the camera and can become clients.
constexpr auto IdleInterval = std::chrono::milliseconds(1000);

class SharedMemoryOutput : public VirtualCameraOutput
{
public:
    SharedMemoryOutput()
        : m_ring(SharedFrameRing::Role::Writer)
    {
    }
    bool isValid() const { return m_ring.isValid(); }
    QString kind() const override { return QStringLiteral("shared memory"); }
    bool write(const Frame &frame) override { return m_ring.publish(frame); }
    int clientCount() override { return m_ring.clientCount(); }

private:
    SharedFrameRing m_ring;
};

/// The sink stream: a short queue drained by one thread that writes every output.
class SinkStream
{
public:
    /// `pipewire` (may be null) outlives the stream: it is published with the device.
    explicit SinkStream(std::shared_ptr<VirtualCameraOutput> pipewire)
    {
        auto shared = std::make_shared<SharedMemoryOutput>();
        if (shared->isValid())
            m_outputs.push_back(std::move(shared));
        if (auto loopback = LoopbackOutput::open())
            m_outputs.push_back(std::move(loopback));
        if (pipewire)
            m_outputs.push_back(std::move(pipewire));
        m_failing.assign(m_outputs.size(), false);
        m_idle = idlePicture();
        m_thread = std::thread([this] { run(); });
    }

    ~SinkStream()
    {
        {
            std::lock_guard lock(m_mutex);
            m_stop = true;
        }
        m_wake.notify_all();
        m_thread.join();
    }

    bool enqueue(FrameRef frame)
    {
        {
            std::lock_guard lock(m_mutex);
            if (int(m_queue.size()) >= SinkQueueLimit)
                return false;
            m_queue.push_back(std::move(frame));
        }
        m_wake.notify_one();
        return true;
    }

    int clientCount()
    {
        int count = 0;
        for (const auto &output : m_outputs)
            count += std::max(0, output->clientCount());
        return count;
    }

private:
    void run()
    {
        std::unique_lock lock(m_mutex);
        while (!m_stop) {
            if (!m_wake.wait_for(lock, IdleInterval, [this] { return m_stop || !m_queue.empty(); })) {
                lock.unlock();
                writeAll(*m_idle);
                lock.lock();
                continue;
            }
            if (m_stop)
                break;
            FrameRef frame = std::move(m_queue.front());
            m_queue.pop_front();
            lock.unlock();
            writeAll(*frame);
            frame.reset(); // back to its pool before we wait again
            lock.lock();
        }
    }

    void writeAll(const Frame &frame)
    {
        for (size_t i = 0; i < m_outputs.size(); ++i) {
            const bool failed = !m_outputs[i]->write(frame);
            if (failed != m_failing[i])
                qWarning() << "VirtualCamera -> writing frames to" << m_outputs[i]->kind()
                           << (failed ? "failed" : "works again");
            m_failing[i] = failed;
        }
    }

    static FrameRef idlePicture()
    {
        FrameRef frame = Frame::create(SharedFrameRing::Width, SharedFrameRing::Height);
        QImage image(frame->data(), frame->width(), frame->height(), frame->stride(), QImage::Format_ARGB32);
        image.fill(QColor(24, 26, 30));
        QPainter painter(&image);
        painter.setPen(QColor(200, 200, 205));
        QFont font = painter.font();
        font.setPixelSize(44);
        painter.setFont(font);
        painter.drawText(image.rect(), Qt::AlignCenter, QStringLiteral("Talvento Control"));
        return frame;
    }

    std::vector<std::shared_ptr<VirtualCameraOutput>> m_outputs;
    std::vector<bool> m_failing; // per output: its last write failed
    FrameRef m_idle;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<FrameRef> m_queue;
    bool m_stop = false;
    std::thread m_thread;
};

std::atomic<int> &ownReaders()
{
    static std::atomic<int> count { 0 };
    return count;
}

/// The shared-memory camera as the capture layer lists it: our own settings
/// preview reads it here, never the loopback node.
class SharedMemoryCaptureSource : public CaptureSource
{
public:
    ~SharedMemoryCaptureSource() override
    {
        m_ring.reset(); // its client entry goes with it
        setCounted(false);
    }

    bool open(QSize size, QString *error) override
    {
        setCounted(true);
        m_ring = std::make_unique<SharedFrameRing>(SharedFrameRing::Role::Reader);
        if (!m_ring->isValid() || !m_ring->registerClient()) {
            if (error)
                *error = m_ring->errorString();
            return false;
        }
        m_full = Frame::create(SharedFrameRing::Width, SharedFrameRing::Height);
        m_scaled = size != QSize(SharedFrameRing::Width, SharedFrameRing::Height);
        if (m_scaled && !m_converter.configure(PixelFormat::Bgra, QSize(SharedFrameRing::Width, SharedFrameRing::Height),
                                               m_full->stride(), size)) {
            if (error)
                *error = QStringLiteral("cannot scale to %1x%2").arg(size.width()).arg(size.height());
            return false;
        }
        return true;
    }
    // A paused preview reads nothing, so it is no client: the camera behind the feed may close.
    bool startStreaming() override
    {
        setCounted(true);
        return m_ring->registerClient();
    }
    void stopStreaming() override
    {
        m_ring->unregisterClient();
        setCounted(false);
    }

    Read readFrame(Frame &frame, int timeoutMs) override
    {
        const int slice = std::min(timeoutMs, 50); // wake() is seen within one slice
        m_woken = false;
        Frame &target = m_scaled ? *m_full : frame;
        if (!m_ring->readNext(target, slice) || m_woken)
            return Read::Again;
        if (!m_scaled)
            return Read::Frame;
        if (!m_converter.convert(m_full->data(), m_full->byteCount(), frame))
            return Read::Again;
        frame.setTimestampUs(m_full->timestampUs());
        return Read::Frame;
    }

    void wake() override { m_woken = true; }

private:
    /// In ownReaders() from before it registers until its entry is gone, so that a count of the
    /// clients never takes it for a reader elsewhere.
    void setCounted(bool counted)
    {
        if (counted == m_counted)
            return;
        ownReaders().fetch_add(counted ? 1 : -1, std::memory_order_acq_rel);
        m_counted = counted;
    }

    std::unique_ptr<SharedFrameRing> m_ring;
    FrameRef m_full;
    FrameConverter m_converter;
    bool m_scaled = false;
    bool m_counted = false; // in ownReaders()
    std::atomic<bool> m_woken = false;
};

class SharedMemoryProvider : public CameraProvider
{
public:
    QList<CameraDevice> cameras() override
    {
        CameraDevice device;
        device.localizedName = QStringLiteral("Talvento Control");
        device.uniqueId = QString::fromLatin1(DeviceUid);
        device.path = SharedFrameRing::defaultName();
        return {device};
    }
    std::unique_ptr<CaptureSource> createSource(const CameraDevice &) override
    {
        return std::make_unique<SharedMemoryCaptureSource>();
    }
};

struct Registry
{
    std::mutex mutex;
    bool published = false;
    std::shared_ptr<SharedMemoryProvider> provider;
    /// Holds the shared-memory camera's segment from publish() to withdraw() (or the process's
    /// end), when it is removed again.
    std::unique_ptr<SharedFrameRing> segment;
    std::shared_ptr<PipeWireOutput> pipewire;
    std::unique_ptr<SinkStream> sink;
};

// Called on PipeWire's thread, so it has a lock of its own: that thread must never wait for
// the registry's, which is held while PipeWire's is taken.
struct ClientsChangedHandler
{
    std::mutex mutex;
    std::function<void()> handler;
};

ClientsChangedHandler &clientsChanged()
{
    static ClientsChangedHandler instance;
    return instance;
}

void notifyClientsChanged()
{
    ClientsChangedHandler &h = clientsChanged();
    std::lock_guard lock(h.mutex);
    if (h.handler)
        h.handler();
}

Registry &registry()
{
    static Registry instance;
    return instance;
}

} // namespace

void publish()
{
    Registry &r = registry();
    std::lock_guard lock(r.mutex);
    if (r.published)
        return;
    // The segment exists from now on, so readers can attach before the first frame.
    auto segment = std::make_unique<SharedFrameRing>(SharedFrameRing::Role::Writer);
    if (!segment->isValid()) {
        qWarning() << "VirtualCamera -> cannot create the shared-memory camera:" << segment->errorString();
        return;
    }
    r.segment = std::move(segment);
    r.provider = std::make_shared<SharedMemoryProvider>();
    CaptureSession::registerProvider(r.provider);
    // The PipeWire node lives as long as the device is published, so consumers can arrive
    // while the feed is stopped.
    r.pipewire = std::make_shared<PipeWireOutput>(notifyClientsChanged);
    r.published = true;
}

bool isPublished()
{
    Registry &r = registry();
    std::lock_guard lock(r.mutex);
    return r.published;
}

void withdraw()
{
    Registry &r = registry();
    std::lock_guard lock(r.mutex);
    r.sink.reset();
    r.pipewire.reset();
    if (r.provider)
        CaptureSession::unregisterProvider(r.provider);
    r.provider.reset();
    r.segment.reset();
    r.published = false;
}

QList<uint32_t> deviceIds()
{
    return isPublished() ? QList<uint32_t>{TheDevice} : QList<uint32_t>{};
}

QString uniqueId(uint32_t deviceId)
{
    return deviceId == TheDevice && isPublished() ? QString::fromLatin1(DeviceUid) : QString();
}

QList<uint32_t> streams(uint32_t deviceId)
{
    return deviceId == TheDevice && isPublished() ? QList<uint32_t>{SourceStreamId, SinkStreamId} : QList<uint32_t>{};
}

bool startStream(uint32_t deviceId, uint32_t streamId)
{
    Registry &r = registry();
    std::lock_guard lock(r.mutex);
    if (!r.published || deviceId != TheDevice || streamId != SinkStreamId)
        return false;
    if (!r.sink)
        r.sink = std::make_unique<SinkStream>(r.pipewire);
    return true;
}

void stopStream(uint32_t deviceId, uint32_t streamId)
{
    Registry &r = registry();
    std::lock_guard lock(r.mutex);
    if (deviceId == TheDevice && streamId == SinkStreamId)
        r.sink.reset();
}

bool enqueue(uint32_t streamId, FrameRef frame)
{
    Registry &r = registry();
    std::lock_guard lock(r.mutex);
    return streamId == SinkStreamId && r.sink && frame && r.sink->enqueue(std::move(frame));
}

QString clientCount(uint32_t streamId)
{
    Registry &r = registry();
    std::lock_guard lock(r.mutex);
    // The client check is also the outputs' supervision tick.
    if (r.pipewire)
        r.pipewire->reconnectIfLost();
    // Nobody reads a stream that does not run: an empty report would count as connected.
    if (streamId != SinkStreamId || !r.sink)
        return QStringLiteral("0");
    return QString::number(r.sink->clientCount());
}

int ownReaderCount()
{
    return ownReaders().load(std::memory_order_acquire);
}

void setClientsChangedHandler(std::function<void()> handler)
{
    ClientsChangedHandler &h = clientsChanged();
    std::lock_guard lock(h.mutex);
    h.handler = std::move(handler);
}

void convertBgraToYuyv(const Frame &frame, uint8_t *yuyv, int yuyvStride)
{
    yuyv::best()(frame.data(), frame.stride(), yuyv, yuyvStride, frame.width(), frame.height());
}

int processesHolding(const QString &path)
{
    const QString target = QFileInfo(path).canonicalFilePath();
    if (target.isEmpty())
        return 0;
    const QString self = QString::number(::getpid());
    int count = 0;
    const QDir proc(QStringLiteral("/proc"));
    for (const QString &pid : proc.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        if (pid == self || !pid.front().isDigit())
            continue;
        const QDir fds(QStringLiteral("/proc/%1/fd").arg(pid));
        const QStringList entries = fds.entryList(QDir::Files | QDir::System | QDir::NoDotAndDotDot);
        const bool holds = std::any_of(entries.cbegin(), entries.cend(), [&](const QString &fd) {
            return QFileInfo(fds.filePath(fd)).symLinkTarget() == target;
        });
        if (holds)
            ++count;
    }
    return count;
}

} // namespace virtualcamera
