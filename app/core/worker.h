#pragma once

#include <QList>
#include <QObject>
#include <QRecursiveMutex>
#include <QSharedPointer>
#include <QThread>

#include <atomic>
#include <functional>

class QSemaphore;

/// Carries a wake-up from any thread into a worker's event loop.
class Signaler : public QObject
{
    Q_OBJECT
signals:
    void signal();
};

/// A thread with its own event loop that runs queued functions in order, asynchronously
/// (optionally with a bound on pending ones) or synchronously. The target object is moved
/// to the thread and handed to every function.
class Worker : public QThread
{
    Q_OBJECT
public:
    using Function = std::function<void(QObject *)>;

    /// Starts the worker; returns once its event loop processes wake-ups.
    static QSharedPointer<Worker> create(QObject *target, bool moveSelf);

    Worker(QObject *target, bool moveSelf);
    ~Worker() override;

    // Any thread.
    /// Queues fn and returns at once. False when interrupted or when the bound on pending
    /// asynchronous functions is reached (fn is then dropped).
    bool runFunctionAsync(Function fn);
    /// Queues fn and waits until it ran, or until an interruption discarded it. From the worker
    /// thread itself the function runs at once.
    void runFunctionSync(Function fn);
    /// Values below 1 mean no bound.
    void setMaxAsyncQueueSize(int size);
    /// Interrupts, ends the event loop and waits for the thread.
    void shutdown();

public slots:
    /// Worker thread: runs everything queued.
    void update();

protected:
    void run() override;

private:
    struct Entry
    {
        Function fn;
        QSemaphore *done = nullptr; // null for asynchronous entries
    };

    // Under m_lock: drops every queued entry, releasing waiting synchronous callers.
    void discardQueue();
    // QThread forgets an interruption once the thread has finished; shutdown() must stay final.
    bool interrupted() const;

    QObject *m_target = nullptr;
    QRecursiveMutex m_lock;
    Signaler *m_signaler = nullptr;
    QList<Entry> m_queue;
    int m_asyncCount = 0;
    int m_maxAsyncQueueSize = -1;
    std::atomic<bool> m_shutDown { false };
};
