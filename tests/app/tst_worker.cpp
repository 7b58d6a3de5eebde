#include "app/core/worker.h"

#include <QSemaphore>
#include <QtTest>

#include <atomic>
#include <memory>

class tst_Worker : public QObject
{
    Q_OBJECT
private slots:
    void runsInOrderOnItsThreadWithTarget();
    void asyncBound_data();
    void asyncBound();
    void syncFromInsideRunsAtOnce();
    void afterShutdownNothingRuns();
    void pendingSyncReleasedByInterruption();
    void withoutEventLoopNothingBlocks();
};

void tst_Worker::runsInOrderOnItsThreadWithTarget()
{
    QObject target;
    QSharedPointer<Worker> worker = Worker::create(&target, true);
    QCOMPARE(target.thread(), worker.data());
    QCOMPARE(worker->thread(), worker.data());

    QList<int> order;
    std::atomic<bool> wrongContext { false };
    for (int i = 0; i < 20; ++i) {
        QVERIFY(worker->runFunctionAsync([&, i](QObject *obj) {
            if (obj != &target || QThread::currentThread() != worker.data())
                wrongContext = true;
            order.append(i);
        }));
    }
    // One queue: the synchronous call returns after every earlier asynchronous one ran.
    worker->runFunctionSync([&](QObject *) { order.append(-1); });
    QList<int> expected;
    for (int i = 0; i < 20; ++i)
        expected.append(i);
    expected.append(-1);
    QCOMPARE(order, expected);
    QVERIFY(!wrongContext);
    worker->shutdown();
}

void tst_Worker::asyncBound_data()
{
    QTest::addColumn<int>("maximum");
    QTest::addColumn<int>("accepted"); // while the first function is still running
    QTest::newRow("bound 2") << 2 << 2;
    QTest::newRow("bound 1") << 1 << 1;
    QTest::newRow("zero is no bound") << 0 << 6;
    QTest::newRow("negative is no bound") << -3 << 6;
}

void tst_Worker::asyncBound()
{
    QFETCH(int, maximum);
    QFETCH(int, accepted);
    QSharedPointer<Worker> worker = Worker::create(nullptr, true);
    worker->setMaxAsyncQueueSize(maximum);

    QSemaphore started, gate;
    std::atomic<int> ran { 0 };
    const auto blocking = [&](QObject *) {
        started.release();
        gate.acquire();
        ++ran;
    };
    int taken = 0;
    QVERIFY(worker->runFunctionAsync(blocking));
    ++taken;
    QVERIFY(started.tryAcquire(1, 10000));
    for (int i = 1; i < 6; ++i)
        taken += worker->runFunctionAsync([&](QObject *) { ++ran; }) ? 1 : 0;
    QCOMPARE(taken, accepted);

    // Once the running function finishes the bound frees up again.
    gate.release();
    QTRY_COMPARE(ran.load(), accepted);
    QVERIFY(worker->runFunctionAsync([&](QObject *) { ++ran; }));
    worker->runFunctionSync({});
    QCOMPARE(ran.load(), accepted + 1);
}

void tst_Worker::syncFromInsideRunsAtOnce()
{
    QSharedPointer<Worker> worker = Worker::create(nullptr, true);
    QStringList steps;
    worker->runFunctionSync([&](QObject *) {
        steps << "outer";
        worker->runFunctionSync([&](QObject *) { steps << "inner"; });
        steps << "after inner";
    });
    QCOMPARE(steps, (QStringList { "outer", "inner", "after inner" }));
}

void tst_Worker::afterShutdownNothingRuns()
{
    QSharedPointer<Worker> worker = Worker::create(nullptr, true);
    worker->shutdown();
    QVERIFY(worker->isFinished());
    bool ran = false;
    worker->runFunctionSync([&](QObject *) { ran = true; });
    QVERIFY(!worker->runFunctionAsync([&](QObject *) { ran = true; }));
    QVERIFY(!ran);
}

void tst_Worker::pendingSyncReleasedByInterruption()
{
    QSharedPointer<Worker> worker = Worker::create(nullptr, true);
    QSemaphore started, gate;
    QVERIFY(worker->runFunctionAsync([&](QObject *) {
        started.release();
        gate.acquire();
    }));
    QVERIFY(started.tryAcquire(1, 10000));

    std::atomic<bool> ran { false };
    std::unique_ptr<QThread> caller(QThread::create([&] { worker->runFunctionSync([&](QObject *) { ran = true; }); }));
    caller->start();
    // Give the caller time to queue behind the blocked function. If it is slower than this it
    // sees the interruption first and returns at once; either way it must not run or hang.
    QTest::qWait(100);
    worker->requestInterruption();
    gate.release();
    QVERIFY(caller->wait(QDeadlineTimer(10000)));
    QVERIFY(!ran);
    worker->shutdown();
}

void tst_Worker::withoutEventLoopNothingBlocks()
{
    QSharedPointer<Worker> worker = Worker::create(nullptr, true);
    // Ending the loop without an interruption leaves a worker that accepts calls but has no
    // loop to run them.
    worker->quit();
    QVERIFY(worker->wait(QDeadlineTimer(10000)));
    bool ran = false;
    QTest::ignoreMessage(QtWarningMsg, "Worker::runFunctionSync -> dropping function due to invalid signaler!");
    worker->runFunctionSync([&](QObject *) { ran = true; });
    QTest::ignoreMessage(QtWarningMsg, "Worker::runFunctionAsync -> dropping function due to invalid signaler!");
    QVERIFY(worker->runFunctionAsync([&](QObject *) { ran = true; }));
    QVERIFY(!ran);
}

QTEST_GUILESS_MAIN(tst_Worker)
#include "tst_worker.moc"
