// Built into test executables only in the ThreadSanitizer variant (TALVENTO_TSAN).
//
// Debian's Qt is not built with ThreadSanitizer, so the ordering that Qt's recursive mutex, the
// slow paths of its mutex and its semaphore give is invisible to it, and every hand-off through
// a Worker would be reported as a race. These definitions take the place of libQt6Core's for
// all code outside Qt, tell ThreadSanitizer about each acquire and release, and call Qt's own.
#include <QMutex>
#include <QRecursiveMutex>
#include <QSemaphore>

#include <dlfcn.h>
#include <sanitizer/tsan_interface.h>

namespace {

template <typename Fn> Fn qtOwn(const char *symbol)
{
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, symbol));
}

} // namespace

bool QRecursiveMutex::tryLock(int timeout) QT_MUTEX_LOCK_NOEXCEPT
{
    static const auto own = qtOwn<bool (*)(QRecursiveMutex *, int)>("_ZN15QRecursiveMutex7tryLockEi");
    const bool locked = own(this, timeout);
    if (locked)
        __tsan_acquire(this);
    return locked;
}

void QRecursiveMutex::unlock() noexcept
{
    static const auto own = qtOwn<void (*)(QRecursiveMutex *)>("_ZN15QRecursiveMutex6unlockEv");
    __tsan_release(this);
    own(this);
}

void QBasicMutex::lockInternal() QT_MUTEX_LOCK_NOEXCEPT
{
    static const auto own = qtOwn<void (*)(QBasicMutex *)>("_ZN11QBasicMutex12lockInternalEv");
    own(this);
    __tsan_acquire(this);
}

bool QBasicMutex::lockInternal(int timeout) QT_MUTEX_LOCK_NOEXCEPT
{
    static const auto own = qtOwn<bool (*)(QBasicMutex *, int)>("_ZN11QBasicMutex12lockInternalEi");
    const bool locked = own(this, timeout);
    if (locked)
        __tsan_acquire(this);
    return locked;
}

void QBasicMutex::unlockInternal() noexcept
{
    static const auto own = qtOwn<void (*)(QBasicMutex *)>("_ZN11QBasicMutex14unlockInternalEv");
    __tsan_release(this);
    own(this);
}

void QSemaphore::acquire(int n)
{
    static const auto own = qtOwn<void (*)(QSemaphore *, int)>("_ZN10QSemaphore7acquireEi");
    own(this, n);
    __tsan_acquire(this);
}

bool QSemaphore::tryAcquire(int n)
{
    static const auto own = qtOwn<bool (*)(QSemaphore *, int)>("_ZN10QSemaphore10tryAcquireEi");
    const bool acquired = own(this, n);
    if (acquired)
        __tsan_acquire(this);
    return acquired;
}

void QSemaphore::release(int n)
{
    static const auto own = qtOwn<void (*)(QSemaphore *, int)>("_ZN10QSemaphore7releaseEi");
    __tsan_release(this);
    own(this, n);
}
