#include "app/core/worker.h"

#include <QDebug>
#include <QMutexLocker>
#include <QSemaphore>

QSharedPointer<Worker> Worker::create(QObject *target, bool moveSelf)
{
    return QSharedPointer<Worker>(new Worker(target, moveSelf));
}

Worker::Worker(QObject *target, bool moveSelf)
    : QThread(nullptr)
    , m_target(target)
{
    if (moveSelf)
        moveToThread(this);
    if (m_target)
        m_target->moveToThread(this);
    start(QThread::InheritPriority);
    for (;;) {
        {
            QMutexLocker lock(&m_lock);
            if (m_signaler)
                break;
        }
        QThread::msleep(5);
    }
    runFunctionSync({});
}

Worker::~Worker()
{
    shutdown();
    qDebug() << "Worker DCTOR!";
}

bool Worker::runFunctionAsync(Function fn)
{
    if (interrupted())
        return false;
    QMutexLocker lock(&m_lock);
    if (m_maxAsyncQueueSize >= 1 && m_asyncCount >= m_maxAsyncQueueSize)
        return false;
    if (!m_signaler) {
        qWarning() << "Worker::runFunctionAsync -> dropping function due to invalid signaler!";
        return true;
    }
    ++m_asyncCount;
    m_queue.append({ std::move(fn), nullptr });
    emit m_signaler->signal();
    return true;
}

void Worker::runFunctionSync(Function fn)
{
    if (interrupted())
        return;
    QSemaphore done(0);
    {
        QMutexLocker lock(&m_lock);
        if (!m_signaler) {
            qWarning() << "Worker::runFunctionSync -> dropping function due to invalid signaler!";
            return;
        }
        m_queue.append({ std::move(fn), &done });
        emit m_signaler->signal();
    }
    done.acquire();
}

void Worker::setMaxAsyncQueueSize(int size)
{
    QMutexLocker lock(&m_lock);
    m_maxAsyncQueueSize = size;
}

void Worker::shutdown()
{
    m_shutDown.store(true, std::memory_order_release);
    requestInterruption();
    quit();
    wait();
}

void Worker::update()
{
    for (;;) {
        if (interrupted())
            break;
        Entry entry;
        {
            QMutexLocker lock(&m_lock);
            if (m_queue.isEmpty())
                break;
            entry = m_queue.takeFirst();
        }
        if (entry.fn)
            entry.fn(m_target);
        if (entry.done) {
            entry.done->release();
        } else {
            QMutexLocker lock(&m_lock);
            --m_asyncCount;
        }
    }
    if (interrupted()) {
        QMutexLocker lock(&m_lock);
        discardQueue();
    }
}

void Worker::run()
{
    Signaler signaler;
    connect(&signaler, &Signaler::signal, this, &Worker::update);
    {
        QMutexLocker lock(&m_lock);
        m_signaler = &signaler;
    }
    exec();
    // The loop can end with a wake-up still posted and never delivered; a synchronous caller
    // queued behind it would otherwise wait for ever.
    QMutexLocker lock(&m_lock);
    m_signaler = nullptr;
    discardQueue();
}

void Worker::discardQueue()
{
    for (const Entry &entry : std::as_const(m_queue)) {
        if (entry.done)
            entry.done->release();
    }
    m_queue.clear();
    m_asyncCount = 0;
}

bool Worker::interrupted() const
{
    return m_shutDown.load(std::memory_order_acquire) || isInterruptionRequested();
}
