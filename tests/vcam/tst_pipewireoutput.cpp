#include "privatepipewire.h"

#include "vcam/pipewireoutput.h"
#include "vcam/sharedframering.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

#include <atomic>
#include <thread>

namespace {

// White, yellow, cyan, green, magenta, red, blue: as RGB bits, "111 110 011 010 101 100 001".
const QString BarCode = QStringLiteral("111 110 011 010 101 100 001");

FrameRef barsFrame()
{
    static const uint8_t bars[7][3] = {{255, 255, 255}, {255, 255, 0}, {0, 255, 255}, {0, 255, 0},
                                       {255, 0, 255},   {255, 0, 0},   {0, 0, 255}};
    FrameRef frame = Frame::create(SharedFrameRing::Width, SharedFrameRing::Height);
    for (int y = 0; y < frame->height(); ++y) {
        uint8_t *row = frame->row(y);
        for (int x = 0; x < frame->width(); ++x) {
            const uint8_t *rgb = bars[x * 7 / frame->width()];
            row[4 * x] = rgb[2];
            row[4 * x + 1] = rgb[1];
            row[4 * x + 2] = rgb[0];
            row[4 * x + 3] = 255;
        }
    }
    return frame;
}

/// Writes frames at 30 per second on a thread of its own, as the sink stream does.
class Feeder
{
public:
    explicit Feeder(PipeWireOutput &output)
        : m_thread([this, &output] {
            const FrameRef frame = barsFrame();
            while (!m_stop) {
                output.write(*frame);
                std::this_thread::sleep_for(std::chrono::milliseconds(33));
            }
        })
    {
    }
    ~Feeder()
    {
        m_stop = true;
        m_thread.join();
    }

private:
    std::atomic<bool> m_stop = false;
    std::thread m_thread;
};

/// The bars of an RGB picture as bits, sampled a third of the way down.
QString barsOf(const QByteArray &rgb)
{
    const int w = SharedFrameRing::Width, h = SharedFrameRing::Height;
    if (rgb.size() < w * h * 3)
        return QStringLiteral("(short picture: %1 bytes)").arg(rgb.size());
    const QByteArray last = rgb.right(w * h * 3);
    QStringList bars;
    for (int k = 0; k < 7; ++k) {
        const int x = (2 * k + 1) * w / 14;
        QString bits;
        for (int c = 0; c < 3; ++c)
            bits += uint8_t(last[(h / 3 * w + x) * 3 + c]) > 127 ? QLatin1Char('1') : QLatin1Char('0');
        bars << bits;
    }
    return bars.join(QLatin1Char(' '));
}

/// The node's info as pw-dump shows it, once its properties and formats are all there (a
/// generous minute on a busy machine).
QJsonObject nodeInfo(uint32_t id)
{
    QJsonObject info;
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 60000) {
        QProcess dump;
        dump.start(QStringLiteral("pw-dump"));
        if (!dump.waitForFinished(20000)) {
            dump.kill();
            dump.waitForFinished();
            continue;
        }
        const QJsonArray objects = QJsonDocument::fromJson(dump.readAllStandardOutput()).array();
        for (const QJsonValue &object : objects) {
            if (object[QStringLiteral("id")].toInteger() == id)
                info = object[QStringLiteral("info")].toObject();
        }
        if (info[QStringLiteral("props")].toObject().contains(QStringLiteral("media.class"))
            && !info[QStringLiteral("params")].toObject()[QStringLiteral("EnumFormat")].toArray().isEmpty())
            break;
        QTest::qWait(100);
    }
    if (info.isEmpty())
        qWarning() << "pw-dump shows no node" << id;
    return info;
}

} // namespace

/// The PipeWire camera against a server of the test's own, read by GStreamer's pipewiresrc.
class tst_PipeWireOutput : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void nodeOffersEachFormatFixed();
    void consumerReadsTheFramesAndIsCounted_data();
    void consumerReadsTheFramesAndIsCounted();
    void publishedAgainAfterTheServerRestarts();
    void nothingPublishedWithoutAServer();

private:
    std::unique_ptr<PrivatePipeWire> m_pipewire;
};

void tst_PipeWireOutput::initTestCase()
{
    if (!PrivatePipeWire::available()) {
        if (qEnvironmentVariableIsSet("TALVENTO_TEST_SERVICES"))
            QFAIL("PipeWire, WirePlumber or GStreamer's tools are missing (scripts/setup installs them)");
        QSKIP("PipeWire is not installed");
    }
    m_pipewire = std::make_unique<PrivatePipeWire>();
    QVERIFY2(m_pipewire->start(), "the private PipeWire did not start");
}

void tst_PipeWireOutput::nodeOffersEachFormatFixed()
{
    PipeWireOutput output;
    QTRY_VERIFY_WITH_TIMEOUT(output.nodeId() != 0, 10000);
    const QJsonObject info = nodeInfo(output.nodeId());
    const QJsonObject props = info[QStringLiteral("props")].toObject();
    QCOMPARE(props[QStringLiteral("media.class")].toString(), QStringLiteral("Video/Source"));
    QCOMPARE(props[QStringLiteral("media.role")].toString(), QStringLiteral("Camera"));
    QCOMPARE(props[QStringLiteral("node.description")].toString(), QStringLiteral("Talvento Control"));

    // One EnumFormat per pixel format, every value a plain value rather than a choice.
    const QJsonArray formats = info[QStringLiteral("params")].toObject()[QStringLiteral("EnumFormat")].toArray();
    QStringList offered;
    for (const QJsonValue &value : formats) {
        const QJsonObject format = value.toObject();
        QVERIFY2(format[QStringLiteral("format")].isString(), "a format that is not a fixed value");
        offered << format[QStringLiteral("format")].toString();
        QCOMPARE(format[QStringLiteral("size")].toObject()[QStringLiteral("width")].toInt(), 1280);
        QCOMPARE(format[QStringLiteral("size")].toObject()[QStringLiteral("height")].toInt(), 720);
        QCOMPARE(format[QStringLiteral("framerate")].toObject()[QStringLiteral("num")].toInt(), 30);
        QCOMPARE(format[QStringLiteral("framerate")].toObject()[QStringLiteral("denom")].toInt(), 1);
    }
    QCOMPARE(offered, QStringList({QStringLiteral("YUY2"), QStringLiteral("BGRx")}));
}

void tst_PipeWireOutput::consumerReadsTheFramesAndIsCounted_data()
{
    QTest::addColumn<QString>("format");
    QTest::newRow("YUY2") << QStringLiteral("YUY2");
    QTest::newRow("BGRx") << QStringLiteral("BGRx");
}

void tst_PipeWireOutput::consumerReadsTheFramesAndIsCounted()
{
    QFETCH(QString, format);
    std::atomic<int> changes = 0;
    PipeWireOutput output([&] { ++changes; });
    QTRY_VERIFY_WITH_TIMEOUT(output.nodeId() != 0, 10000);
    QCOMPARE(output.clientCount(), 0);
    Feeder feeder(output);

    const QString file = m_pipewire->path() + QStringLiteral("/frames-%1.rgb").arg(format);
    QProcess consumer;
    consumer.setProcessChannelMode(QProcess::ForwardedChannels);
    // Many frames, so that the count can be seen while it reads.
    consumer.start(QStringLiteral("timeout"),
                   {QStringLiteral("30"), QStringLiteral("gst-launch-1.0"), QStringLiteral("-q"),
                    QStringLiteral("pipewiresrc"), QStringLiteral("target-object=talvento_control_camera"),
                    QStringLiteral("num-buffers=60"), QStringLiteral("!"),
                    QStringLiteral("video/x-raw,format=%1").arg(format), QStringLiteral("!"),
                    QStringLiteral("videoconvert"), QStringLiteral("!"), QStringLiteral("video/x-raw,format=RGB"),
                    QStringLiteral("!"), QStringLiteral("filesink"), QStringLiteral("location=") + file});
    QTRY_COMPARE_WITH_TIMEOUT(output.clientCount(), 1, 10000);
    QVERIFY(changes > 0);
    const int whileReading = changes;
    QVERIFY(consumer.waitForFinished(40000));
    QCOMPARE(consumer.exitCode(), 0);

    QFile frames(file);
    QVERIFY(frames.open(QIODevice::ReadOnly));
    QCOMPARE(barsOf(frames.readAll()), BarCode);
    // The reader's link goes with it, and so does the count.
    QTRY_COMPARE_WITH_TIMEOUT(output.clientCount(), 0, 10000);
    QVERIFY(changes > whileReading);
}

void tst_PipeWireOutput::publishedAgainAfterTheServerRestarts()
{
    PipeWireOutput output;
    QTRY_VERIFY_WITH_TIMEOUT(output.nodeId() != 0, 10000);
    m_pipewire->stopServer();
    QTRY_COMPARE_WITH_TIMEOUT(output.nodeId(), 0u, 10000);
    output.reconnectIfLost(); // no server yet: nothing to connect to, nothing breaks
    QCOMPARE(output.nodeId(), 0u);

    QVERIFY(m_pipewire->startServer());
    output.reconnectIfLost();
    QTRY_VERIFY_WITH_TIMEOUT(output.nodeId() != 0, 10000);
    const QJsonObject info = nodeInfo(output.nodeId());
    QVERIFY2(info[QStringLiteral("props")].toObject()[QStringLiteral("node.description")].toString()
                 == QStringLiteral("Talvento Control"),
             QJsonDocument(info).toJson().constData());
}

void tst_PipeWireOutput::nothingPublishedWithoutAServer()
{
    m_pipewire->stopServer();
    PipeWireOutput output;
    QCOMPARE(output.nodeId(), 0u);
    QCOMPARE(output.clientCount(), 0);
    QVERIFY(output.write(*barsFrame())); // nobody reads: nothing to do, no failure
    QVERIFY(!output.write(*Frame::create(640, 360)));
    QVERIFY(m_pipewire->startServer());
}

QTEST_MAIN(tst_PipeWireOutput)
#include "tst_pipewireoutput.moc"
