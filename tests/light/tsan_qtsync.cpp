// Built into test executables only in the ThreadSanitizer variant (TALVENTO_TSAN).
//
// Debian's Qt is not built with ThreadSanitizer, so the ordering Qt gives between threads is
// invisible to it: its mutexes and semaphores, its event queues and the end of a QThread. Every
// hand-off through them would be reported as a race. The definitions below take the place of
// Qt's and libc's for every call that crosses from one library into another (a library binds its
// own calls internally), tell ThreadSanitizer about the acquire or release each of them makes,
// and call the original. Where Qt's release happens inside the library, the model is placed at
// the nearest point reachable from outside, and says so.
#include <QCoreApplication>
#include <QEvent>
#include <QMutex>
#include <QObject>
#include <QRecursiveMutex>
#include <QSemaphore>
#include <QSettings>
#include <QThread>
#include <QVariant>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>

#include <dlfcn.h>
#include <linux/futex.h>
#include <pthread.h>
#include <sanitizer/tsan_interface.h>
#include <sys/syscall.h>

namespace {

template <typename Fn> Fn nextDefinition(const char *symbol)
{
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, symbol));
}

// --- Lifetime of threads ----------------------------------------------------------------------
//
// Qt starts its threads detached and lets QThread::wait() block on a condition that the thread's
// finish routine signals, so ThreadSanitizer never sees the join. Here every thread start
// routine is wrapped: once it has returned (Qt's finish routine, with its deferred deletions,
// runs before that) the thread leaves the set of running ones under a mutex ThreadSanitizer
// knows, and a successful QThread::wait() waits for that too. That is the join Qt gives.

struct RunningThreads
{
    std::mutex mutex;
    std::condition_variable ended;
    std::multiset<void *> running; // start routine argument (the QThread for Qt's threads)
};

RunningThreads &runningThreads()
{
    static auto *threads = new RunningThreads; // outlives every thread, also at process exit
    return *threads;
}

struct ThreadStart
{
    void *(*routine)(void *);
    void *arg;
};

void *runThread(void *start)
{
    const ThreadStart own = *static_cast<ThreadStart *>(start);
    delete static_cast<ThreadStart *>(start);
    void *result = own.routine(own.arg);
    RunningThreads &threads = runningThreads();
    {
        std::lock_guard lock(threads.mutex);
        threads.running.erase(threads.running.find(own.arg));
    }
    threads.ended.notify_all();
    return result;
}

// --- Signals between threads ------------------------------------------------------------------
//
// A queued connection copies the arguments and posts the call event inside QMetaObject::activate,
// where nothing can be hooked. The emission as a whole therefore releases on the sender when it
// returns, and delivering a call event from that sender acquires it. A call event can reach its
// receiver before the emission that posted it has returned; the delivery then waits for the
// emissions of that sender under way on other threads (bounded, so that an emission which itself
// waits for the receiving thread cannot hang the test; the edge is missing then, and the test
// reports rather than hangs).
//
// A blocking queued call cannot wait for its emission to return: the emission waits inside, on a
// QSemaphore the delivery releases. Qt parks a thread on a futex through libc's syscall(), which
// is reachable: a thread parking during an emission releases on the sender first, and the
// delivery of a blocking call waits until an emission of its sender has parked. The call event
// Qt allocated before posting is then ordered before its delivery and deletion.

struct Emission
{
    int running = 0; // emissions of the sender under way
    int parked = 0;  // times they waited on a futex so far
};

struct Emissions
{
    std::mutex mutex;
    std::condition_variable changed;
    std::map<const QObject *, Emission> active;
};

Emissions &emissions()
{
    static auto *e = new Emissions;
    return *e;
}

// Senders this thread is emitting, innermost last. Plain storage: emissions can happen while the
// thread's other thread_local objects are destroyed.
constexpr int maxNestedEmissions = 256;
thread_local const QObject *emittingHere[maxNestedEmissions];
thread_local int emittingDepth = 0;

// QAbstractMetaCallEvent of Qt 6.4 (x86-64): QEvent, int signalId, const QObject *sender,
// QSemaphore *semaphore; 40 bytes. The layout is checked against libQt6Core's constructor.
struct MetaCallEventLayout
{
    void *vptr;
    quint16 type;
    quint16 flags[3];
    int signalId;
    const QObject *sender;
    QSemaphore *semaphore;
};
static_assert(sizeof(QEvent) == 16 && offsetof(MetaCallEventLayout, sender) == 24
              && sizeof(MetaCallEventLayout) == 40);

// Reads of Qt's own event data, which Qt makes uninstrumented as well: they must not count as
// accesses of the test.
extern "C" void AnnotateIgnoreReadsBegin(const char *file, int line);
extern "C" void AnnotateIgnoreReadsEnd(const char *file, int line);

int emittingHereOf(const QObject *sender)
{
    int n = 0;
    for (int i = 0; i < std::min(emittingDepth, maxNestedEmissions); ++i)
        n += emittingHere[i] == sender;
    return n;
}

template <typename Done> void waitForEmissions(const QObject *sender, Done done)
{
    Emissions &e = emissions();
    std::unique_lock lock(e.mutex);
    const bool ended = e.changed.wait_for(lock, std::chrono::seconds(2), [&] {
        const auto it = e.active.find(sender);
        return done(it == e.active.end() ? nullptr : &it->second);
    });
    if (!ended)
        fprintf(stderr, "tsan_qtsync: gave up waiting for an emission of %p\n",
                static_cast<const void *>(sender));
}

// Called by QCoreApplication::notifyInternal2 for every event on every thread, before the
// receiver sees it.
bool beforeDelivery(void **data)
{
    auto *event = static_cast<QEvent *>(data[1]);
    __tsan_acquire(event);
    AnnotateIgnoreReadsBegin(__FILE__, __LINE__);
    const bool call = event->type() == QEvent::MetaCall;
    const auto *layout = reinterpret_cast<const MetaCallEventLayout *>(event);
    const QObject *sender = call ? layout->sender : nullptr;
    // A blocking queued call: the emission waits inside for this delivery to end.
    const bool blocking = call && layout->semaphore;
    AnnotateIgnoreReadsEnd(__FILE__, __LINE__);
    if (sender) {
        if (blocking) {
            waitForEmissions(sender, [](const Emission *e) { return e && e->parked > 0; });
        } else {
            const int mine = emittingHereOf(sender);
            waitForEmissions(sender, [mine](const Emission *e) { return !e || e->running == mine; });
        }
        __tsan_acquire(const_cast<QObject *>(sender));
    }
    return false; // never consumes the event
}

[[maybe_unused]] const bool deliveryHooked
    = QInternal::registerCallback(QInternal::EventNotifyCallback, beforeDelivery);

} // namespace

extern "C" int pthread_create(pthread_t *thread, const pthread_attr_t *attr,
                              void *(*routine)(void *), void *arg) noexcept
{
    static const auto own = nextDefinition<int (*)(pthread_t *, const pthread_attr_t *,
                                                   void *(*)(void *), void *)>("pthread_create");
    RunningThreads &threads = runningThreads();
    {
        std::lock_guard lock(threads.mutex);
        threads.running.insert(arg);
    }
    const int result = own(thread, attr, runThread, new ThreadStart { routine, arg });
    if (result != 0) {
        std::lock_guard lock(threads.mutex);
        threads.running.erase(threads.running.find(arg));
    }
    return result;
}

bool QThread::wait(QDeadlineTimer deadline)
{
    static const auto own = nextDefinition<bool (*)(QThread *, QDeadlineTimer)>(
        "_ZN7QThread4waitE14QDeadlineTimer");
    if (!own(this, deadline))
        return false;
    RunningThreads &threads = runningThreads();
    std::unique_lock lock(threads.mutex);
    threads.ended.wait(lock, [&] { return !threads.running.contains(this); });
    return true;
}

void QCoreApplication::postEvent(QObject *receiver, QEvent *event, int priority)
{
    static const auto own = nextDefinition<void (*)(QObject *, QEvent *, int)>(
        "_ZN16QCoreApplication9postEventEP7QObjectP6QEventi");
    __tsan_release(event);
    own(receiver, event, priority);
}

void QMetaObject::activate(QObject *sender, const QMetaObject *m, int localSignalIndex,
                           void **argv)
{
    static const auto own = nextDefinition<void (*)(QObject *, const QMetaObject *, int, void **)>(
        "_ZN11QMetaObject8activateEP7QObjectPKS_iPPv");
    Emissions &e = emissions();
    {
        std::lock_guard lock(e.mutex);
        ++e.active[sender].running;
    }
    if (emittingDepth < maxNestedEmissions)
        emittingHere[emittingDepth] = sender;
    ++emittingDepth;
    own(sender, m, localSignalIndex, argv);
    --emittingDepth;
    __tsan_release(sender);
    {
        std::lock_guard lock(e.mutex);
        if (--e.active[sender].running == 0)
            e.active.erase(sender);
    }
    e.changed.notify_all();
}

extern "C" long syscall(long number, ...) noexcept
{
    // Not a guarded static: the guard of a static's initialisation waits on a futex through
    // syscall() itself.
    using Syscall = long (*)(long, long, long, long, long, long, long);
    static std::atomic<Syscall> resolved { nullptr };
    Syscall own = resolved.load(std::memory_order_acquire);
    if (!own) {
        own = nextDefinition<Syscall>("syscall");
        resolved.store(own, std::memory_order_release);
    }
    // Every system call takes at most six arguments, passed in registers; reading all six is
    // what libc's own syscall() does.
    long a[6];
    va_list args;
    va_start(args, number);
    for (long &arg : a)
        arg = va_arg(args, long);
    va_end(args);
    const int op = int(a[1]) & FUTEX_CMD_MASK;
    if (number == SYS_futex && (op == FUTEX_WAIT || op == FUTEX_WAIT_BITSET) && emittingDepth > 0
        && emittingDepth <= maxNestedEmissions) {
        const QObject *sender = emittingHere[emittingDepth - 1];
        __tsan_release(const_cast<QObject *>(sender));
        Emissions &e = emissions();
        {
            std::lock_guard lock(e.mutex);
            ++e.active[sender].parked;
        }
        e.changed.notify_all();
    }
    return own(number, a[0], a[1], a[2], a[3], a[4], a[5]);
}

// --- Implicitly shared values ----------------------------------------------------------------
//
// Dropping a reference is an acquire-release operation on the data's reference count, and the
// one that drops the last frees the data. When that happens in a QVariant destructor, it happens
// inside libQt6Core, unseen: the earlier drops of other threads (in our code, seen) are then not
// ordered before the free. Destroying a QVariant acquires the count of the value it holds, for
// the implicitly shared types the settings store keeps in variants. QSettings keeps the last value
// written under a key and drops it inside the library when the key is written again: writing
// keeps the value it replaces until afterwards, so that its last drop is one of ours.

namespace {

void acquireReferenceCount(const QVariant &variant)
{
    // Each of these holds a pointer to its shared data first, and the data starts with its
    // reference count (QSharedData, QArrayData).
    static const QMetaType shared[] = { QMetaType::fromType<QVariantMap>(),
                                        QMetaType::fromType<QVariantList>(),
                                        QMetaType::fromType<QStringList>(),
                                        QMetaType::fromType<QString>(),
                                        QMetaType::fromType<QByteArray>() };
    if (std::find(std::begin(shared), std::end(shared), variant.metaType()) == std::end(shared))
        return;
    void *count = *static_cast<void *const *>(variant.constData());
    if (count)
        __tsan_acquire(count);
}

} // namespace

QVariant::~QVariant()
{
    static const auto own = nextDefinition<void (*)(QVariant *)>("_ZN8QVariantD1Ev");
    acquireReferenceCount(*this);
    own(this);
}

void QSettings::setValue(QAnyStringView key, const QVariant &value)
{
    static const auto own = nextDefinition<void (*)(QSettings *, QAnyStringView, const QVariant &)>(
        "_ZN9QSettings8setValueE14QAnyStringViewRK8QVariant");
    const QVariant replaced = this->value(key);
    own(this, key, value);
}

// --- Locks --------------------------------------------------------------------------------------
//
// The inline fast paths of QMutex are compiled into our code and seen; the slow paths, the
// recursive mutex and the semaphore live in libQt6Core.

bool QRecursiveMutex::tryLock(int timeout) QT_MUTEX_LOCK_NOEXCEPT
{
    static const auto own = nextDefinition<bool (*)(QRecursiveMutex *, int)>(
        "_ZN15QRecursiveMutex7tryLockEi");
    const bool locked = own(this, timeout);
    if (locked)
        __tsan_acquire(this);
    return locked;
}

void QRecursiveMutex::unlock() noexcept
{
    static const auto own = nextDefinition<void (*)(QRecursiveMutex *)>(
        "_ZN15QRecursiveMutex6unlockEv");
    __tsan_release(this);
    own(this);
}

void QBasicMutex::lockInternal() QT_MUTEX_LOCK_NOEXCEPT
{
    static const auto own = nextDefinition<void (*)(QBasicMutex *)>(
        "_ZN11QBasicMutex12lockInternalEv");
    own(this);
    __tsan_acquire(this);
}

bool QBasicMutex::lockInternal(int timeout) QT_MUTEX_LOCK_NOEXCEPT
{
    static const auto own = nextDefinition<bool (*)(QBasicMutex *, int)>(
        "_ZN11QBasicMutex12lockInternalEi");
    const bool locked = own(this, timeout);
    if (locked)
        __tsan_acquire(this);
    return locked;
}

void QBasicMutex::unlockInternal() noexcept
{
    static const auto own = nextDefinition<void (*)(QBasicMutex *)>(
        "_ZN11QBasicMutex14unlockInternalEv");
    __tsan_release(this);
    own(this);
}

void QSemaphore::acquire(int n)
{
    static const auto own = nextDefinition<void (*)(QSemaphore *, int)>(
        "_ZN10QSemaphore7acquireEi");
    own(this, n);
    __tsan_acquire(this);
}

bool QSemaphore::tryAcquire(int n)
{
    static const auto own = nextDefinition<bool (*)(QSemaphore *, int)>(
        "_ZN10QSemaphore10tryAcquireEi");
    const bool acquired = own(this, n);
    if (acquired)
        __tsan_acquire(this);
    return acquired;
}

void QSemaphore::release(int n)
{
    static const auto own = nextDefinition<void (*)(QSemaphore *, int)>(
        "_ZN10QSemaphore7releaseEi");
    __tsan_release(this);
    own(this, n);
}
