#include "vcam/sharedframering.h"
#include "vcam/virtualcamera.h"

#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <thread>

namespace {

QString uniqueName()
{
    return QStringLiteral("/talvento-vcam-test-%1-%2").arg(::getpid()).arg(QRandomGenerator::global()->generate());
}

FrameRef filledFrame(uint8_t b, uint8_t g, uint8_t r, int64_t timestampUs)
{
    FrameRef frame = Frame::create(SharedFrameRing::Width, SharedFrameRing::Height);
    for (int y = 0; y < frame->height(); ++y) {
        uint8_t *row = frame->row(y);
        for (int x = 0; x < frame->width(); ++x) {
            row[4 * x] = b;
            row[4 * x + 1] = g;
            row[4 * x + 2] = r;
            row[4 * x + 3] = 255;
        }
    }
    frame->setTimestampUs(timestampUs);
    return frame;
}

/// A child process that connects as a client and then waits to be killed.
QProcess *startClient(const QString &name)
{
    auto *process = new QProcess;
    process->start(QCoreApplication::applicationFilePath(), {QStringLiteral("--client"), name});
    process->waitForReadyRead(10000); // it prints once registered
    return process;
}

} // namespace

class tst_VirtualCamera : public QObject
{
    Q_OBJECT

private slots:
    void ringCarriesFrames();
    void readerTimesOutWithoutWriter();
    void readerNeverSeesAHalfWrittenFrame();
    void clientsCountedAndForgottenWhenKilled();
    void yuyvReferenceValues_data();
    void yuyvReferenceValues();
    void processesHoldingAFile();
};

void tst_VirtualCamera::ringCarriesFrames()
{
    const QString name = uniqueName();
    SharedFrameRing writer(SharedFrameRing::Role::Writer, name);
    QVERIFY2(writer.isValid(), qPrintable(writer.errorString()));
    SharedFrameRing reader(SharedFrameRing::Role::Reader, name);
    QVERIFY(reader.isValid());

    FrameRef out = Frame::create(SharedFrameRing::Width, SharedFrameRing::Height);
    QVERIFY(!reader.readNext(*out, 0)); // nothing published yet
    QVERIFY(writer.publish(*filledFrame(10, 20, 30, 1234)));
    QVERIFY(writer.publish(*filledFrame(40, 50, 60, 5678)));
    // A reader gets the newest frame, once.
    QVERIFY(reader.readNext(*out, 1000));
    QCOMPARE(out->timestampUs(), 5678);
    QCOMPARE(out->row(719)[4 * 1279 + 2], uint8_t(60));
    QVERIFY(!reader.readNext(*out, 0));
    QCOMPARE(reader.framesPublished(), uint64_t(2));

    // Wrong sizes are refused.
    FrameRef small = Frame::create(640, 360);
    QVERIFY(!writer.publish(*small));
    QVERIFY(!reader.readNext(*small, 0));
    SharedFrameRing::unlink(name);
}

void tst_VirtualCamera::readerTimesOutWithoutWriter()
{
    SharedFrameRing absent(SharedFrameRing::Role::Reader, uniqueName());
    QVERIFY(!absent.isValid());
    QVERIFY(!absent.errorString().isEmpty());
}

void tst_VirtualCamera::readerNeverSeesAHalfWrittenFrame()
{
    const QString name = uniqueName();
    SharedFrameRing writer(SharedFrameRing::Role::Writer, name);
    SharedFrameRing reader(SharedFrameRing::Role::Reader, name);
    std::atomic<bool> stop = false;
    std::thread producer([&] {
        // Each frame is one flat colour stamped with its number.
        for (int i = 1; !stop; ++i) {
            const uint8_t v = uint8_t(i);
            writer.publish(*filledFrame(v, v, v, i));
        }
    });
    FrameRef out = Frame::create(SharedFrameRing::Width, SharedFrameRing::Height);
    int checked = 0;
    for (int i = 0; i < 200; ++i) {
        if (!reader.readNext(*out, 1000))
            continue;
        const uint8_t expected = uint8_t(out->timestampUs());
        QCOMPARE(out->row(0)[0], expected);
        QCOMPARE(out->row(359)[4 * 640], expected);
        QCOMPARE(out->row(719)[4 * 1279 + 1], expected);
        ++checked;
    }
    stop = true;
    producer.join();
    QVERIFY(checked > 100);
    SharedFrameRing::unlink(name);
}

void tst_VirtualCamera::clientsCountedAndForgottenWhenKilled()
{
    const QString name = uniqueName();
    SharedFrameRing writer(SharedFrameRing::Role::Writer, name);
    QCOMPARE(writer.clientCount(), 0);

    std::unique_ptr<QProcess> first(startClient(name));
    std::unique_ptr<QProcess> second(startClient(name));
    QCOMPARE(writer.clientCount(), 2);

    ::kill(pid_t(first->processId()), SIGKILL); // no chance to unregister
    first->waitForFinished();
    QCOMPARE(writer.clientCount(), 1);

    second->closeWriteChannel(); // ends normally and unregisters
    second->waitForFinished();
    QCOMPARE(writer.clientCount(), 0);
    SharedFrameRing::unlink(name);
}

void tst_VirtualCamera::yuyvReferenceValues_data()
{
    QTest::addColumn<QColor>("colour");
    QTest::addColumn<int>("y");
    QTest::addColumn<int>("u");
    QTest::addColumn<int>("v");
    // BT.601 limited range, as colour bars give them.
    QTest::newRow("black") << QColor(0, 0, 0) << 16 << 128 << 128;
    QTest::newRow("white") << QColor(255, 255, 255) << 235 << 128 << 128;
    QTest::newRow("red") << QColor(255, 0, 0) << 82 << 90 << 240;
    QTest::newRow("green") << QColor(0, 255, 0) << 145 << 54 << 34;
    QTest::newRow("blue") << QColor(0, 0, 255) << 41 << 240 << 110;
    QTest::newRow("grey") << QColor(128, 128, 128) << 126 << 128 << 128;
}

void tst_VirtualCamera::yuyvReferenceValues()
{
    QFETCH(QColor, colour);
    QFETCH(int, y);
    QFETCH(int, u);
    QFETCH(int, v);
    FrameRef frame = filledFrame(uint8_t(colour.blue()), uint8_t(colour.green()), uint8_t(colour.red()), 0);
    std::vector<uint8_t> yuyv(size_t(frame->width()) * 2 * frame->height());
    virtualcamera::convertBgraToYuyv(*frame, yuyv.data(), frame->width() * 2);
    for (size_t offset : {size_t(0), yuyv.size() - 4}) {
        QVERIFY(qAbs(yuyv[offset] - y) <= 1);
        QVERIFY(qAbs(yuyv[offset + 1] - u) <= 1);
        QVERIFY(qAbs(yuyv[offset + 2] - y) <= 1);
        QVERIFY(qAbs(yuyv[offset + 3] - v) <= 1);
    }
}

void tst_VirtualCamera::processesHoldingAFile()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("node"));
    QFile node(path);
    QVERIFY(node.open(QIODevice::WriteOnly));
    node.close();
    QCOMPARE(virtualcamera::processesHolding(path), 0);

    QProcess holder; // another process with the node open, as a call application would
    holder.start(QStringLiteral("bash"), {QStringLiteral("-c"), QStringLiteral("exec 3<'%1'; echo ready; read").arg(path)});
    QVERIFY(holder.waitForReadyRead(10000));
    QCOMPARE(virtualcamera::processesHolding(path), 1);

    QFile own(path); // our own handle does not count
    QVERIFY(own.open(QIODevice::ReadOnly));
    QCOMPARE(virtualcamera::processesHolding(path), 1);

    holder.closeWriteChannel();
    QVERIFY(holder.waitForFinished());
    QCOMPARE(virtualcamera::processesHolding(path), 0);
}

int main(int argc, char **argv)
{
    // The child half of the client tests: register, say so, wait for the end of input.
    if (argc == 3 && qstrcmp(argv[1], "--client") == 0) {
        SharedFrameRing reader(SharedFrameRing::Role::Reader, QString::fromLocal8Bit(argv[2]));
        if (!reader.isValid() || !reader.registerClient())
            return 1;
        std::printf("registered\n");
        std::fflush(stdout);
        std::getchar();
        return 0;
    }
    QGuiApplication app(argc, argv);
    tst_VirtualCamera test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_virtualcamera.moc"
