#include "vcam/loopbackoutput.h"
#include "vcam/sharedframering.h"
#include "vcam/sharedframering_p.h"
#include "vcam/virtualcamera.h"
#include "vcam/yuyvkernel.h"

#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <climits>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <thread>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

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

QString shmPath(const QString &name)
{
    return QStringLiteral("/dev/shm") + name;
}

/// The segment's bytes as another program of the same user sees them (a crafting client).
class SegmentView
{
public:
    explicit SegmentView(const QString &name)
    {
        const int fd = ::shm_open(name.toLocal8Bit().constData(), O_RDWR, 0);
        if (fd < 0)
            return;
        void *memory = ::mmap(nullptr, sharedframe::SegmentBytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        ::close(fd);
        if (memory != MAP_FAILED)
            m_header = static_cast<sharedframe::Header *>(memory);
    }
    ~SegmentView()
    {
        if (m_header)
            ::munmap(m_header, sharedframe::SegmentBytes);
    }
    sharedframe::Header *header() const { return m_header; }

private:
    sharedframe::Header *m_header = nullptr;
};

/// Creates the segment `name` as another program could: `bytes` zero bytes, with `mode`.
bool createSegment(const QString &name, mode_t mode, size_t bytes)
{
    const int fd = ::shm_open(name.toLocal8Bit().constData(), O_RDWR | O_CREAT | O_EXCL, 0600);
    if (fd < 0)
        return false;
    const bool ok = ::fchmod(fd, mode) == 0 && ::ftruncate(fd, off_t(bytes)) == 0;
    ::close(fd);
    return ok;
}

bool allZero(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray bytes = file.readAll();
    return std::all_of(bytes.cbegin(), bytes.cend(), [](char c) { return c == 0; });
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
    void segmentNotOursIsRefused_data();
    void segmentNotOursIsRefused();
    void craftedHeaderIsSurvived_data();
    void craftedHeaderIsSurvived();
    void viewerSurvivesCraftedSlot();
    void writerRemovesTheSegment();
    void yuyvReferenceValues_data();
    void yuyvReferenceValues();
    void yuyvBuildsAgree();
    void processesHoldingAFile();
    void loopbackReopensAfterAFailedWrite();
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

    // A reader that pauses stops being counted while it keeps its mapping, and counts again when
    // it resumes.
    SharedFrameRing reader(SharedFrameRing::Role::Reader, name);
    QVERIFY(reader.registerClient());
    QCOMPARE(writer.clientCount(), 1);
    reader.unregisterClient();
    reader.unregisterClient(); // twice is harmless
    QCOMPARE(writer.clientCount(), 0);
    QVERIFY(reader.registerClient());
    QCOMPARE(writer.clientCount(), 1);
    SharedFrameRing::unlink(name);
}

void tst_VirtualCamera::segmentNotOursIsRefused_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("readable and writable by everyone") << "0666";
    QTest::newRow("readable by the group") << "0640";
    QTest::newRow("another user's") << "foreign";
    QTest::newRow("a link to a file of ours") << "link";
}

void tst_VirtualCamera::segmentNotOursIsRefused()
{
    QFETCH(QString, kind);
    const QString name = uniqueName();
    QTemporaryDir dir;
    const QString linked = dir.filePath(QStringLiteral("precious"));
    QString watched = shmPath(name); // where frames must not arrive
    if (kind == QLatin1String("link")) {
        QFile precious(linked);
        QVERIFY(precious.open(QIODevice::WriteOnly));
        QVERIFY(precious.resize(qint64(sharedframe::SegmentBytes)));
        precious.close();
        QVERIFY(QFile::setPermissions(linked, QFileDevice::ReadOwner | QFileDevice::WriteOwner));
        QVERIFY(QFile::link(linked, shmPath(name)));
        watched = linked;
    } else if (kind == QLatin1String("foreign")) {
        if (::geteuid() != 0)
            QSKIP("needs root to make a segment that another user owns");
        QVERIFY(createSegment(name, 0600, sharedframe::SegmentBytes));
        QVERIFY(::chown(QFile::encodeName(shmPath(name)).constData(), 65534, 65534) == 0);
    } else {
        QVERIFY(createSegment(name, mode_t(kind.toUInt(nullptr, 8)), sharedframe::SegmentBytes));
    }

    {
        SharedFrameRing writer(SharedFrameRing::Role::Writer, name);
        QVERIFY(!writer.isValid());
        QVERIFY(!writer.errorString().isEmpty());
        QVERIFY(!writer.publish(*filledFrame(1, 2, 3, 4)));
        SharedFrameRing reader(SharedFrameRing::Role::Reader, name);
        QVERIFY(!reader.isValid());
    }
    // Nothing was written, and the refused segment is left to its owner.
    QVERIFY(QFileInfo::exists(watched));
    QVERIFY(allZero(watched));
    QCOMPARE(QFileInfo(watched).size(), qint64(sharedframe::SegmentBytes));
    QFile::remove(shmPath(name));
}

void tst_VirtualCamera::craftedHeaderIsSurvived_data()
{
    QTest::addColumn<QString>("field");
    QTest::addColumn<qint64>("value");
    QTest::addColumn<bool>("writable"); // the writer may still publish after the change
    QTest::newRow("latest slot one past the end") << "latestSlot" << qint64(sharedframe::SlotCount) << true;
    QTest::newRow("latest slot far out") << "latestSlot" << qint64(1000000) << true;
    QTest::newRow("latest slot negative") << "latestSlot" << qint64(-2) << true;
    QTest::newRow("latest slot smallest") << "latestSlot" << qint64(INT_MIN) << true;
    QTest::newRow("slot never finished") << "sequence" << qint64(1) << true;
    QTest::newRow("other stride") << "stride" << qint64(sharedframe::Stride * 4) << false;
    QTest::newRow("more slots") << "slotCount" << qint64(100) << false;
    QTest::newRow("other size") << "height" << qint64(100000) << false;
}

void tst_VirtualCamera::craftedHeaderIsSurvived()
{
    QFETCH(QString, field);
    QFETCH(qint64, value);
    QFETCH(bool, writable);
    const QString name = uniqueName();
    SharedFrameRing writer(SharedFrameRing::Role::Writer, name);
    QVERIFY(writer.isValid());
    SharedFrameRing reader(SharedFrameRing::Role::Reader, name);
    QVERIFY(reader.isValid());
    SegmentView view(name);
    sharedframe::Header *h = view.header();
    QVERIFY(h);

    QVERIFY(writer.publish(*filledFrame(10, 20, 30, 1)));
    if (field == QLatin1String("latestSlot")) {
        h->latestSlot.store(int32_t(value));
    } else if (field == QLatin1String("sequence")) {
        for (auto &slot : h->slotHeaders)
            slot.sequence.store(uint32_t(value));
    } else if (field == QLatin1String("stride")) {
        h->stride = uint32_t(value);
    } else if (field == QLatin1String("slotCount")) {
        h->slotCount = uint32_t(value);
    } else {
        h->height = uint32_t(value);
    }
    h->published.fetch_add(1); // announce a frame

    // The reader finds nothing it can take, and comes back.
    FrameRef out = Frame::create(SharedFrameRing::Width, SharedFrameRing::Height);
    QVERIFY(!reader.readNext(*out, 200));

    // The writer writes inside its slots only, or not at all when the layout is not ours.
    QCOMPARE(writer.publish(*filledFrame(40, 50, 60, 2)), writable);
    if (writable) {
        const int32_t latest = h->latestSlot.load();
        QVERIFY(latest >= 0 && latest < sharedframe::SlotCount);
        QVERIFY(reader.readNext(*out, 1000));
        QCOMPARE(out->timestampUs(), 2);
        QCOMPARE(out->row(719)[4 * 1279 + 2], uint8_t(60));
    }
}

void tst_VirtualCamera::viewerSurvivesCraftedSlot()
{
    const QString viewer = qEnvironmentVariable("TALVENTO_VCAM_VIEW");
    QVERIFY(QFileInfo(viewer).isExecutable());
    const QString name = uniqueName();
    SharedFrameRing writer(SharedFrameRing::Role::Writer, name);
    QVERIFY(writer.isValid());
    SegmentView view(name);
    QVERIFY(view.header());
    view.header()->latestSlot.store(7777);

    QTemporaryDir dir;
    QProcess process;
    process.start(viewer, {QStringLiteral("--segment"), name, QStringLiteral("--save"), dir.filePath("f.png"),
                           QStringLiteral("--wait"), QStringLiteral("3")});
    QVERIFY(process.waitForStarted());
    // Frames are announced while it waits, each of them in the crafted slot.
    for (int i = 0; i < 300 && !process.waitForFinished(200); ++i)
        view.header()->published.fetch_add(1);
    QCOMPARE(process.state(), QProcess::NotRunning);
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 1); // no frame, and no crash
    QVERIFY(!QFile::exists(dir.filePath("f.png")));
}

void tst_VirtualCamera::writerRemovesTheSegment()
{
    const QString name = uniqueName();
    {
        SharedFrameRing writer(SharedFrameRing::Role::Writer, name);
        QVERIFY(writer.isValid());
        {
            SharedFrameRing second(SharedFrameRing::Role::Writer, name); // the sink's, beside the owner's
            QVERIFY(second.isValid());
        }
        QVERIFY(QFileInfo::exists(shmPath(name)));
        QVERIFY(writer.publish(*filledFrame(1, 2, 3, 4)));
    }
    QVERIFY(!QFileInfo::exists(shmPath(name)));

    // The published virtual camera's segment goes with it.
    SharedFrameRing::setDefaultName(name);
    virtualcamera::publish();
    QVERIFY(virtualcamera::isPublished());
    QVERIFY(QFileInfo::exists(shmPath(name)));
    struct stat info {};
    QCOMPARE(::stat(QFile::encodeName(shmPath(name)).constData(), &info), 0);
    QCOMPARE(info.st_mode & 07777, mode_t(0600));
    virtualcamera::withdraw();
    QVERIFY(!QFileInfo::exists(shmPath(name)));
    SharedFrameRing::setDefaultName(QString());
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

void tst_VirtualCamera::yuyvBuildsAgree()
{
    if (!yuyv::avx2())
        QSKIP("this CPU has no AVX2");
    FrameRef frame = Frame::create(SharedFrameRing::Width, SharedFrameRing::Height);
    QRandomGenerator random(17);
    for (int y = 0; y < frame->height(); ++y)
        for (int x = 0; x < frame->width() * 4; ++x)
            frame->row(y)[x] = uint8_t(random.bounded(256));
    // The extremes of each channel too: black, white and each primary at full strength.
    const uint32_t extremes[] = {0xff000000, 0xffffffff, 0xffff0000, 0xff00ff00, 0xff0000ff, 0xffffff00, 0xff00ffff};
    for (int x = 0; x < frame->width(); ++x)
        std::memcpy(frame->row(0) + 4 * x, &extremes[(x / 2 + x * 3) % std::size(extremes)], 4);
    const int stride = SharedFrameRing::Width * 2;
    // The full width, and one that leaves pixels over after the wide steps.
    for (const int width : {frame->width(), frame->width() - 10}) {
        std::vector<uint8_t> baseline(size_t(stride) * SharedFrameRing::Height, 0), avx2(baseline.size(), 0);
        yuyv::baseline()(frame->data(), frame->stride(), baseline.data(), stride, width, frame->height());
        yuyv::avx2()(frame->data(), frame->stride(), avx2.data(), stride, width, frame->height());
        QVERIFY2(baseline == avx2, qPrintable(QStringLiteral("width %1").arg(width)));
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

void tst_VirtualCamera::loopbackReopensAfterAFailedWrite()
{
    // The first opening gives a device that refuses every write, as a node does after its
    // module was unloaded; the next gives a working one.
    QTemporaryDir dir;
    const QString working = dir.filePath(QStringLiteral("video9"));
    int openings = 0;
    auto output = LoopbackOutput::open([&](QString *node) {
        *node = ++openings == 1 ? QStringLiteral("/dev/full") : working;
        return ::open(QFile::encodeName(*node).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    });
    QVERIFY(output);
    const FrameRef frame = filledFrame(10, 20, 30, 1);
    QVERIFY(!output->write(*frame));
    QVERIFY(output->write(*frame));
    QVERIFY(output->write(*frame));
    QCOMPARE(openings, 2);
    QCOMPARE(QFileInfo(working).size(), qint64(2) * 2 * SharedFrameRing::Width * SharedFrameRing::Height);
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
