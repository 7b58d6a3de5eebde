// Built into test executables only in the ThreadSanitizer variant (TALVENTO_TSAN).
//
// Debian's Qt is not built with ThreadSanitizer, so the ordering Qt gives between threads is
// invisible to it: its mutexes and semaphores, its event queues and the end of a QThread. Every
// hand-off through them would be reported as a race. The definitions below take the place of
// libQt6Core's for all calls from outside libQt6Core (the library binds its own calls
// internally), tell ThreadSanitizer about the acquire or release each of them makes, and call
// Qt's own. Where Qt's release happens inside the library, the model is placed at the nearest
// point reachable from outside, and says so.
#include <QCoreApplication>
#include <QEvent>
#include <QMutex>
#include <QObject>
#include <QRecursiveMutex>
#include <QSemaphore>
#include <QThread>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <condition_variable>
#include <map>
#include <mutex>

#include <dlfcn.h>
#include <pthread.h>
#include <sanitizer/tsan_interface.h>

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
    std::multimap<void *, int> running; // start routine argument (the QThread for Qt's threads)
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

struct Emissions
{
    std::mutex mutex;
    std::condition_variable ended;
    std::map<const QObject *, int> active;
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

void waitForEmissionsElsewhere(const QObject *sender)
{
    const auto mine = [sender] {
        int n = 0;
        for (int i = 0; i < std::min(emittingDepth, maxNestedEmissions); ++i)
            n += emittingHere[i] == sender;
        return n;
    };
    Emissions &e = emissions();
    std::unique_lock lock(e.mutex);
    const bool ended = e.ended.wait_for(lock, std::chrono::seconds(2), [&] {
        const auto it = e.active.find(sender);
        return it == e.active.end() || it->second == mine();
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
        if (!blocking)
            waitForEmissionsElsewhere(sender);
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
        threads.running.emplace(arg, 0);
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
        ++e.active[sender];
    }
    // A blocking queued call hands over what the sender did before, and waits inside.
    __tsan_release(sender);
    if (emittingDepth < maxNestedEmissions)
        emittingHere[emittingDepth] = sender;
    ++emittingDepth;
    own(sender, m, localSignalIndex, argv);
    --emittingDepth;
    __tsan_release(sender);
    {
        std::lock_guard lock(e.mutex);
        if (--e.active[sender] == 0)
            e.active.erase(sender);
    }
    e.ended.notify_all();
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
