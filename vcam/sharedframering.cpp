#include "vcam/sharedframering.h"

#include <QDebug>
#include <QFile>

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <linux/futex.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

constexpr uint32_t Magic = 0x54564331; // "TVC1"
constexpr uint32_t Version = 1;
constexpr int SlotCount = 3;
constexpr int MaxClients = 32;
constexpr size_t PageSize = 4096;

struct SlotHeader
{
    std::atomic<uint32_t> sequence; // odd while the writer fills the slot
    int64_t timestampUs;
    uint64_t frameNumber;
};

constexpr int32_t ClaimingPid = -1;

struct ClientEntry
{
    std::atomic<int32_t> pid;        // 0: free; ClaimingPid: being filled
    std::atomic<uint64_t> startTime; // the process's start time, against reused pids
};

struct Header
{
    uint32_t magic;
    uint32_t version;
    uint32_t width;
    uint32_t height;
    uint32_t stride;
    uint32_t slotCount;
    std::atomic<uint32_t> published; // futex word: grows by one per frame
    std::atomic<int32_t> latestSlot; // -1 before the first frame
    std::atomic<uint64_t> frameCount;
    SlotHeader slotHeaders[SlotCount];
    ClientEntry clients[MaxClients];
};
static_assert(sizeof(Header) <= PageSize);
static_assert(std::atomic<uint32_t>::is_always_lock_free && std::atomic<uint64_t>::is_always_lock_free);

constexpr uint32_t frameStride = uint32_t(Frame::Alignment * ((SharedFrameRing::Width * 4 + Frame::Alignment - 1) / Frame::Alignment));
constexpr size_t slotBytes = size_t(frameStride) * SharedFrameRing::Height;
constexpr size_t segmentBytes = PageSize + slotBytes * SlotCount;

long futex(std::atomic<uint32_t> *word, int op, uint32_t value, const timespec *timeout)
{
    // Shared between processes: no FUTEX_PRIVATE_FLAG.
    return syscall(SYS_futex, reinterpret_cast<uint32_t *>(word), op, value, timeout, nullptr, 0);
}

/// The process's start time in clock ticks since boot (field 22 of /proc/<pid>/stat), 0 when gone.
uint64_t processStartTime(pid_t pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray text = stat.readAll();
    const qsizetype end = text.lastIndexOf(')'); // the command name may hold spaces
    if (end < 0)
        return 0;
    const QList<QByteArray> fields = text.mid(end + 2).split(' ');
    return fields.size() > 19 ? fields[19].toULongLong() : 0; // field 22 counted from field 3
}

} // namespace

struct SharedFrameRing::Opaque
{
    SharedFrameRing::Role role;
    QString name;
    QString error;
    Header *header = nullptr;
    uint8_t *pixels = nullptr;
    int clientSlot = -1;
    uint32_t lastRead = 0;

    uint8_t *slot(int index) const { return pixels + slotBytes * size_t(index); }
};

QString SharedFrameRing::defaultName()
{
    // A soak run or an end-to-end test names a segment of its own, so that it neither feeds
    // nor watches the user's camera (or another run's) while it measures.
    const QString own = qEnvironmentVariable("TALVENTO_VCAM_SEGMENT");
    if (own.startsWith(QLatin1Char('/')) && own.size() > 1 && !own.mid(1).contains(QLatin1Char('/')))
        return own;
    return QStringLiteral("/talvento-vcam-%1").arg(::getuid());
}

SharedFrameRing::SharedFrameRing(Role role, const QString &name)
    : d(std::make_unique<Opaque>())
{
    d->role = role;
    d->name = name;
    const QByteArray path = name.toLocal8Bit();
    const int flags = role == Role::Writer ? O_RDWR | O_CREAT : O_RDWR;
    const int fd = ::shm_open(path.constData(), flags, 0600); // this user's only
    if (fd < 0) {
        d->error = QString::fromLocal8Bit(std::strerror(errno));
        return;
    }
    struct stat info {};
    ::fstat(fd, &info);
    const bool fresh = size_t(info.st_size) != segmentBytes;
    if (fresh && (role == Role::Reader || ::ftruncate(fd, off_t(segmentBytes)) != 0)) {
        d->error = role == Role::Reader ? QStringLiteral("the virtual camera is not running")
                                        : QString::fromLocal8Bit(std::strerror(errno));
        ::close(fd);
        return;
    }
    void *memory = ::mmap(nullptr, segmentBytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ::close(fd);
    if (memory == MAP_FAILED) {
        d->error = QString::fromLocal8Bit(std::strerror(errno));
        return;
    }
    d->header = static_cast<Header *>(memory);
    d->pixels = static_cast<uint8_t *>(memory) + PageSize;

    Header *h = d->header;
    if (role == Role::Writer && (fresh || h->magic != Magic || h->version != Version)) {
        // A new segment is zero-filled; readers registered with an older one stay registered.
        h->width = Width;
        h->height = Height;
        h->stride = frameStride;
        h->slotCount = SlotCount;
        h->latestSlot.store(-1);
        h->version = Version;
        std::atomic_thread_fence(std::memory_order_release);
        h->magic = Magic;
    }
    if (h->magic != Magic || h->version != Version || h->width != Width || h->height != Height) {
        d->error = QStringLiteral("the shared camera segment has an unknown layout");
        ::munmap(memory, segmentBytes);
        d->header = nullptr;
        return;
    }
    d->lastRead = h->published.load(std::memory_order_acquire);
}

SharedFrameRing::~SharedFrameRing()
{
    if (!d->header)
        return;
    if (d->clientSlot >= 0)
        d->header->clients[d->clientSlot].pid.store(0, std::memory_order_release);
    ::munmap(d->header, segmentBytes);
}

bool SharedFrameRing::isValid() const
{
    return d->header != nullptr;
}

QString SharedFrameRing::errorString() const
{
    return d->error;
}

bool SharedFrameRing::unlink(const QString &name)
{
    return ::shm_unlink(name.toLocal8Bit().constData()) == 0;
}

bool SharedFrameRing::publish(const Frame &frame)
{
    Header *h = d->header;
    if (!h || frame.width() != Width || frame.height() != Height)
        return false;
    const int latest = h->latestSlot.load(std::memory_order_relaxed);
    const int index = (latest + 1) % SlotCount;
    SlotHeader &slot = h->slotHeaders[index];

    slot.sequence.fetch_add(1, std::memory_order_relaxed); // odd: being written
    std::atomic_thread_fence(std::memory_order_release);
    uint8_t *target = d->slot(index);
    const size_t rowBytes = size_t(Width) * 4;
    for (int y = 0; y < Height; ++y)
        std::memcpy(target + size_t(y) * frameStride, frame.row(y), rowBytes);
    slot.timestampUs = frame.timestampUs();
    slot.frameNumber = h->frameCount.fetch_add(1, std::memory_order_relaxed) + 1;
    slot.sequence.fetch_add(1, std::memory_order_release); // even: complete

    h->latestSlot.store(index, std::memory_order_release);
    h->published.fetch_add(1, std::memory_order_release);
    futex(&h->published, FUTEX_WAKE, INT_MAX, nullptr);
    return true;
}

int SharedFrameRing::clientCount()
{
    Header *h = d->header;
    if (!h)
        return 0;
    int count = 0;
    for (ClientEntry &client : h->clients) {
        const int32_t pid = client.pid.load(std::memory_order_acquire);
        if (pid == 0 || pid == ClaimingPid)
            continue;
        const uint64_t started = client.startTime.load(std::memory_order_acquire);
        const bool alive = (::kill(pid, 0) == 0 || errno == EPERM) && processStartTime(pid) == started;
        if (alive) {
            ++count;
        } else {
            int32_t expected = pid; // a reader that died without unregistering
            client.pid.compare_exchange_strong(expected, 0, std::memory_order_acq_rel);
        }
    }
    return count;
}

bool SharedFrameRing::registerClient()
{
    Header *h = d->header;
    if (!h || d->clientSlot >= 0)
        return h != nullptr;
    const pid_t self = ::getpid();
    for (int i = 0; i < MaxClients; ++i) {
        ClientEntry &client = h->clients[i];
        // Claim the entry first, then fill it: a counter skips an entry being filled.
        int32_t expected = 0;
        if (!client.pid.compare_exchange_strong(expected, ClaimingPid, std::memory_order_acq_rel))
            continue;
        client.startTime.store(processStartTime(self), std::memory_order_relaxed);
        client.pid.store(self, std::memory_order_release);
        d->clientSlot = i;
        return true;
    }
    d->error = QStringLiteral("too many clients of the virtual camera");
    return false;
}

bool SharedFrameRing::readNext(Frame &frame, int timeoutMs)
{
    Header *h = d->header;
    if (!h || frame.width() != Width || frame.height() != Height)
        return false;

    timespec deadline {};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += timeoutMs / 1000;
    deadline.tv_nsec += long(timeoutMs % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }

    for (;;) {
        const uint32_t published = h->published.load(std::memory_order_acquire);
        if (published != d->lastRead && h->latestSlot.load(std::memory_order_acquire) >= 0) {
            const int index = h->latestSlot.load(std::memory_order_acquire);
            SlotHeader &slot = h->slotHeaders[index];
            const uint32_t before = slot.sequence.load(std::memory_order_acquire);
            if ((before & 1) == 0) {
                const uint8_t *source = d->slot(index);
                for (int y = 0; y < Height; ++y)
                    std::memcpy(frame.row(y), source + size_t(y) * frameStride, size_t(Width) * 4);
                const int64_t timestamp = slot.timestampUs;
                std::atomic_thread_fence(std::memory_order_acquire);
                if (slot.sequence.load(std::memory_order_relaxed) == before) {
                    frame.setTimestampUs(timestamp);
                    d->lastRead = published;
                    return true;
                }
            }
            continue; // the writer lapped the slot while we copied it: take the newer one
        }
        timespec now {};
        clock_gettime(CLOCK_MONOTONIC, &now);
        long remainingNs = (deadline.tv_sec - now.tv_sec) * 1000000000L + (deadline.tv_nsec - now.tv_nsec);
        if (remainingNs <= 0)
            return false;
        const timespec wait {remainingNs / 1000000000L, remainingNs % 1000000000L};
        futex(&h->published, FUTEX_WAIT, published, &wait);
    }
}

uint64_t SharedFrameRing::framesPublished() const
{
    return d->header ? d->header->frameCount.load(std::memory_order_acquire) : 0;
}
