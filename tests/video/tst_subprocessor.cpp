// The stage base: its rate limit, the stored output and the asynchronous run.
#include "video/subprocessor.h"

#include <QtTest>

namespace {

// Counts its runs and hands on a new 1x1 frame stamped with the run number; a
// setting value of -1 makes the run fail. With a gate, a run waits for it to open.
class CountingStage : public SubProcessor
{
public:
    explicit CountingStage(int64_t rate) { setMaximumRate(rate); }

    VideoImage processImage(const VideoImage &image, const float &, const float &,
                            const CameraSetting &setting) override
    {
        return runLimited(image, [&] {
            if (gate)
                gate->acquire();
            runThread = QThread::currentThread();
            ++runs;
            if (setting.value == -1)
                return VideoImage{};
            FrameRef f = Frame::create(1, 1);
            f->setTimestampUs(runs);
            return VideoImage{f, nullptr};
        });
    }

    std::atomic<int> runs{0};
    std::atomic<QThread *> runThread{nullptr};
    QSemaphore *gate = nullptr;
};

VideoImage anImage()
{
    return {Frame::create(2, 2), nullptr};
}

} // namespace

class tst_SubProcessor : public QObject
{
    Q_OBJECT
private slots:
    void baseDoesNoWork();
    void rateLimitReturnsLastOutput();
    void failedRunKeepsLastOutput();
    void asyncRunsOnTheWorker();
};

void tst_SubProcessor::baseDoesNoWork()
{
    SubProcessor base;
    QVERIFY(base.processImage(anImage(), 2, 2, CameraSetting{}).isNull());
    QVERIFY(base.getOutputImage().isNull());
    QCOMPARE(base.maximumRate(), int64_t(1000));
}

void tst_SubProcessor::rateLimitReturnsLastOutput()
{
    // One run a second: a second call right after the first does no work and gets
    // the first call's output; a null image gets null without counting as a run.
    CountingStage stage(1);
    QVERIFY(stage.processImage(VideoImage{}, 2, 2, CameraSetting{}).isNull());
    const VideoImage first = stage.processImage(anImage(), 2, 2, CameraSetting{});
    QCOMPARE(stage.runs.load(), 1);
    const VideoImage second = stage.processImage(anImage(), 2, 2, CameraSetting{});
    QCOMPARE(stage.runs.load(), 1);
    QCOMPARE(second.frame, first.frame);

    // Without a meaningful limit every call works.
    CountingStage fast(1000000);
    for (int i = 0; i < 5; ++i)
        fast.processImage(anImage(), 2, 2, CameraSetting{});
    QCOMPARE(fast.runs.load(), 5);
}

void tst_SubProcessor::failedRunKeepsLastOutput()
{
    CountingStage stage(1000000);
    const VideoImage good = stage.processImage(anImage(), 2, 2, CameraSetting{});
    CameraSetting failing;
    failing.value = -1;
    QVERIFY(stage.processImage(anImage(), 2, 2, failing).isNull());
    QCOMPARE(stage.getOutputImage().frame, good.frame);
}

void tst_SubProcessor::asyncRunsOnTheWorker()
{
    CountingStage stage(1000000);
    const VideoImage earlier = stage.processImage(anImage(), 2, 2, CameraSetting{});
    // The worker's run waits at the gate, so the call has returned before it ends.
    QSemaphore gate;
    stage.gate = &gate;
    const VideoImage returned = stage.processImageAsync(anImage(), 2, 2, CameraSetting{});
    QCOMPARE(returned.frame, earlier.frame);
    gate.release();
    QTRY_COMPARE_WITH_TIMEOUT(stage.runs.load(), 2, 10000);
    QVERIFY(stage.runThread.load() != QThread::currentThread());
    QTRY_VERIFY_WITH_TIMEOUT(stage.getOutputImage().frame != earlier.frame, 10000);
    QCOMPARE(stage.getOutputImage().frame->timestampUs(), int64_t(2));
}

QTEST_GUILESS_MAIN(tst_SubProcessor)
#include "tst_subprocessor.moc"
