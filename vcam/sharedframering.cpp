#include "vcam/sharedframering.h"
#include "vcam/sharedframering_p.h"

#include <QDebug>
#include <QFile>

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>

#include <fcntl.h>
#include <linux/futex.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

using namespace sharedframe;

static_assert(SharedFrameRing::Width == sharedframe::Width && SharedFrameRing::Height == sharedframe::Height);

namespace {

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

/// The fields that fix where the slots lie. The other party may rewrite the segment at any
/// time, so they are checked before every use, not only when attaching.
bool hasOurLayout(const Header *h)
{
    return h->magic == Magic && h->version == Version && h->width == uint32_t(Width) && h->height == uint32_t(Height)
        && h->stride == Stride && h->slotCount == uint32_t(SlotCount);
}

/// The slot a valid latestSlot names, or -1 (none yet, or a value out of range).
int validSlot(int32_t latest)
{
    return latest >= 0 && latest < SlotCount ? latest : -1;
}

// Writers of this process per segment name: the last one to go removes the segment.
std::mutex g_writersLock;
std::map<QString, int> g_writers; // guarded by g_writersLock

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
    bool layoutWarned = false; // latched: a rewritten layout is logged once

    uint8_t *slot(int index) const { return pixels + SlotBytes * size_t(index); }
    /// The segment's file, created exclusively by a writer when missing; -1 with `error` set
    /// when it is missing (reader) or not this user's own.
    int open(bool *created);
    bool layoutUsable();
};

int SharedFrameRing::Opaque::open(bool *created)
{
    const QByteArray path = name.toLocal8Bit();
    *created = false;
    int fd = -1;
    if (role == Role::Writer) {
        fd = ::shm_open(path.constData(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        *created = fd >= 0;
    }
    if (fd < 0 && (role == Role::Reader || errno == EEXIST))
        fd = ::shm_open(path.constData(), O_RDWR | O_NOFOLLOW | O_CLOEXEC, 0); // never through a link
    if (fd < 0) {
        error = role == Role::Reader && errno == ENOENT ? QStringLiteral("the virtual camera is not running")
                                                        : QString::fromLocal8Bit(std::strerror(errno));
        return -1;
    }
    struct stat info {};
    if (*created && ::fchmod(fd, 0600) != 0) {
        error = QString::fromLocal8Bit(std::strerror(errno));
        ::close(fd);
        ::shm_unlink(path.constData());
        return -1;
    }
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::geteuid()
        || (info.st_mode & 07777) != 0600) {
        // Someone else's segment, or one others may read or write: frames never go there.
        error = QStringLiteral("the segment %1 is not this user's own (owner %2, mode %3)")
                    .arg(name)
                    .arg(info.st_uid)
                    .arg(info.st_mode & 07777, 4, 8, QLatin1Char('0'));
        qWarning().noquote() << "SharedFrameRing -> refusing" << error;
        ::close(fd);
        return -1;
    }
    if (size_t(info.st_size) != SegmentBytes
        && (role == Role::Reader || ::ftruncate(fd, off_t(SegmentBytes)) != 0)) {
        error = role == Role::Reader ? QStringLiteral("the virtual camera is not running")
                                     : QString::fromLocal8Bit(std::strerror(errno));
        ::close(fd);
        return -1;
    }
    return fd;
}

bool SharedFrameRing::Opaque::layoutUsable()
{
    if (hasOurLayout(header))
        return true;
    if (!layoutWarned)
        qWarning() << "SharedFrameRing -> the segment" << name << "has a layout that is not ours; not using it";
    layoutWarned = true;
    return false;
}

namespace {

std::mutex g_defaultNameLock;
QString g_defaultName; // guarded by g_defaultNameLock; empty: the user's own

} // namespace

QString SharedFrameRing::defaultName()
{
    std::lock_guard lock(g_defaultNameLock);
    if (!g_defaultName.isEmpty())
        return g_defaultName;
    return QStringLiteral("/talvento-vcam-%1").arg(::getuid());
}

void SharedFrameRing::setDefaultName(const QString &name)
{
    std::lock_guard lock(g_defaultNameLock);
    const bool valid = name.startsWith(QLatin1Char('/')) && name.size() > 1 && !name.mid(1).contains(QLatin1Char('/'));
    if (!name.isEmpty() && !valid)
        qWarning() << "SharedFrameRing::setDefaultName -> not a segment name:" << name;
    g_defaultName = valid ? name : QString();
}

SharedFrameRing::SharedFrameRing(Role role, const QString &name)
    : d(std::make_unique<Opaque>())
{
    d->role = role;
    d->name = name;
    bool created = false;
    const int fd = d->open(&created);
    if (fd < 0)
        return;
    void *memory = ::mmap(nullptr, SegmentBytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ::close(fd);
    if (memory == MAP_FAILED) {
        d->error = QString::fromLocal8Bit(std::strerror(errno));
        if (created)
            ::shm_unlink(name.toLocal8Bit().constData());
        return;
    }
    d->header = static_cast<Header *>(memory);
    d->pixels = static_cast<uint8_t *>(memory) + PageSize;

    Header *h = d->header;
    if (role == Role::Writer && (created || !hasOurLayout(h))) {
        // A new segment is zero-filled; one of ours with another layout starts over. Readers
        // registered with a segment of our layout stay registered.
        std::memset(static_cast<void *>(h), 0, PageSize);
        h->width = Width;
        h->height = Height;
        h->stride = Stride;
        h->slotCount = SlotCount;
        h->latestSlot.store(-1);
        h->version = Version;
        std::atomic_thread_fence(std::memory_order_release);
        h->magic = Magic;
    }
    if (!hasOurLayout(h)) {
        d->error = QStringLiteral("the shared camera segment has an unknown layout");
        ::munmap(memory, SegmentBytes);
        d->header = nullptr;
        return;
    }
    d->lastRead = h->published.load(std::memory_order_acquire);
    if (role == Role::Writer) {
        std::lock_guard lock(g_writersLock);
        ++g_writers[name];
    }
}

SharedFrameRing::~SharedFrameRing()
{
    if (!d->header)
        return;
    unregisterClient();
    ::munmap(d->header, SegmentBytes);
    if (d->role == Role::Writer) {
        // The last writer of this process takes the segment's name with it.
        std::lock_guard lock(g_writersLock);
        if (--g_writers[d->name] == 0) {
            g_writers.erase(d->name);
            ::shm_unlink(d->name.toLocal8Bit().constData());
        }
    }
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
    if (!h || frame.width() != Width || frame.height() != Height || !d->layoutUsable())
        return false;
    const int index = (validSlot(h->latestSlot.load(std::memory_order_relaxed)) + 1) % SlotCount;
    SlotHeader &slot = h->slotHeaders[index];

    // Odd while being written, even once complete, whatever count the slot held before.
    const uint32_t writing = slot.sequence.load(std::memory_order_relaxed) | 1u;
    slot.sequence.store(writing, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    uint8_t *target = d->slot(index);
    const size_t rowBytes = size_t(Width) * 4;
    for (int y = 0; y < Height; ++y)
        std::memcpy(target + size_t(y) * Stride, frame.row(y), rowBytes);
    slot.timestampUs = frame.timestampUs();
    slot.frameNumber = h->frameCount.fetch_add(1, std::memory_order_relaxed) + 1;
    slot.sequence.store(writing + 1, std::memory_order_release);

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
        if (pid <= 0) // free, being claimed, or nonsense
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

void SharedFrameRing::unregisterClient()
{
    if (!d->header || d->clientSlot < 0)
        return;
    d->header->clients[d->clientSlot].pid.store(0, std::memory_order_release);
    d->clientSlot = -1;
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

    // A slot the writer keeps rewriting while we copy it is tried again a few times, then the
    // frame is given up and the next one awaited: a segment whose sequence never settles cannot
    // hold the reader in a loop.
    constexpr int CopyAttempts = 8;
    int attempts = 0;
    for (;;) {
        if (!d->layoutUsable())
            return false;
        const uint32_t published = h->published.load(std::memory_order_acquire);
        if (published != d->lastRead) {
            const int index = validSlot(h->latestSlot.load(std::memory_order_acquire));
            if (index < 0) {
                d->lastRead = published; // nothing readable was published
                continue;
            }
            SlotHeader &slot = h->slotHeaders[index];
            const uint32_t before = slot.sequence.load(std::memory_order_acquire);
            if ((before & 1) == 0) {
                const uint8_t *source = d->slot(index);
                for (int y = 0; y < Height; ++y)
                    std::memcpy(frame.row(y), source + size_t(y) * Stride, size_t(Width) * 4);
                const int64_t timestamp = slot.timestampUs;
                std::atomic_thread_fence(std::memory_order_acquire);
                if (slot.sequence.load(std::memory_order_relaxed) == before) {
                    frame.setTimestampUs(timestamp);
                    d->lastRead = published;
                    return true;
                }
            }
            if (++attempts < CopyAttempts)
                continue; // the writer lapped the slot while we copied it: take the newer one
            attempts = 0;
            d->lastRead = published;
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
