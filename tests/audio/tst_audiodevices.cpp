#include "audio/audioinput.h"
#include "audio/audiooutput.h"

#include <QMediaDevices>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>

#include <limits>

namespace {

QAudioFormat format(int rate, int channels, QAudioFormat::SampleFormat sampleFormat)
{
    QAudioFormat f;
    f.setSampleRate(rate);
    f.setChannelCount(channels);
    f.setSampleFormat(sampleFormat);
    return f;
}

const QAudioFormat monoInt16 = format(48000, 1, QAudioFormat::Int16);

/// An input fed by the test instead of a sound server.
class FedInput : public AudioInput
{
public:
    FedInput(const QAudioFormat &working, const QAudioFormat &capture)
    {
        prepareQueue(QAudioDevice(), working, capture);
    }
    void feed(const QByteArray &captured) { queueCaptured(captured); }
};

/// An output into a device that takes as many bytes as the test allows.
class MeteredOutput : public AudioOutput
{
public:
    explicit MeteredOutput(const QAudioFormat &working) { prepareQueue(QAudioDevice(), working); }
    void tick() { writeTick(); }

    qint64 room = 0;
    QByteArray played;

protected:
    qint64 writableBytes() const override { return room; }
    qint64 writeToDevice(const char *data, qint64 size) override
    {
        played.append(data, size);
        room -= size;
        return size;
    }
};

QString pactl(const QStringList &arguments)
{
    QProcess process;
    process.start(QStringLiteral("pactl"), arguments);
    process.waitForFinished(10000);
    return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
}

QAudioDevice findDevice(const QList<QAudioDevice> &devices, const QString &description)
{
    for (const QAudioDevice &device : devices)
        if (device.description() == description)
            return device;
    return QAudioDevice();
}

} // namespace

class tst_AudioDevices : public QObject
{
    Q_OBJECT

private slots:
    void inputQueuesEveryReadInBlocks_data();
    void inputQueuesEveryReadInBlocks();
    void outputKeepsWhatTheDeviceDidNotTake();
    void meterMapsDecibelsToPercent();
    void volumeOfADeviceThatFailedToOpen();
    void cloneReopensTheSameDevice();
};

void tst_AudioDevices::inputQueuesEveryReadInBlocks_data()
{
    QTest::addColumn<QAudioFormat>("capture");
    QTest::addColumn<int>("readBytes");
    QTest::addColumn<QList<int>>("blocks");   // in the working format, 48 kHz mono Int16

    QTest::newRow("10,000 bytes") << monoInt16 << 10000 << QList<int>{2400, 2400, 2400, 2400, 400};
    QTest::newRow("one 10 ms fragment") << monoInt16 << 960 << QList<int>{960};
    QTest::newRow("whole blocks") << monoInt16 << 4800 << QList<int>{2400, 2400};
    // Converted first, then cut: 30 ms of stereo Float is 2,880 working bytes.
    QTest::newRow("converted") << format(48000, 2, QAudioFormat::Float) << 11520 << QList<int>{2400, 480};
}

void tst_AudioDevices::inputQueuesEveryReadInBlocks()
{
    QFETCH(QAudioFormat, capture);
    QFETCH(int, readBytes);
    QFETCH(QList<int>, blocks);
    FedInput input(monoInt16, capture);
    // Each block is taken off the queue as it is announced, as the virtual microphone does.
    QList<int> seen;
    connect(&input, &AudioInput::onDataRead, this, [&] { seen << int(input.getData().data.size()); });
    input.feed(QByteArray(readBytes, 1));
    QCOMPARE(seen, blocks);
    QCOMPARE(input.getBufferSize(), 0);
}

void tst_AudioDevices::outputKeepsWhatTheDeviceDidNotTake()
{
    MeteredOutput output(monoInt16);
    QByteArray audio(4800, 0);   // 50 ms
    for (int i = 0; i < audio.size(); ++i)
        audio[i] = char(i * 7);
    AudioBufferManager::AudioSample sample;
    sample.format = monoInt16;
    sample.timestamp = 1'000'000'000;
    sample.data = audio;
    output.putData(sample, false);
    const qint64 start = output.buffer().getSample(-1, false).timestamp;

    output.room = 1001;   // an odd count: only whole frames are written
    output.tick();
    QCOMPARE(output.played, audio.left(1000));
    QCOMPARE(output.getBufferSize(), 3800);
    // The front of the queue moved by the duration of what was written: 500 samples, 10,416.7 µs.
    const qint64 moved = output.buffer().getSample(-1, false).timestamp - start;
    QVERIFY2(qAbs(moved - 500 * 1e6 / 48000) < 1, qPrintable(QString::number(moved)));

    output.room = 0;   // full: nothing is taken, nothing consumed
    output.tick();
    QCOMPARE(output.getBufferSize(), 3800);

    output.room = 1'000'000;
    output.tick();
    QCOMPARE(output.played, audio);
    QCOMPARE(output.getBufferSize(), 0);
}

void tst_AudioDevices::meterMapsDecibelsToPercent()
{
    AudioInput input;
    QSignalSpy levels(&input, &AudioDevice::onAudioEnergyUpdated);
    input.updateAudioEnergy(0);
    QCOMPARE(input.energyPercent(), -1);   // metering is off
    QCOMPARE(levels.count(), 0);
    QVERIFY(!input.isTimeToUpdateAudioEnergy());

    input.setEnergyMetering(true);
    QVERIFY(input.isTimeToUpdateAudioEnergy());
    const QList<QPair<double, int>> mapping{{-75, 0}, {-37.5, 50}, {0, 100}, {6, 100}, {-120, 0},
                                           {-std::numeric_limits<double>::max(), 0}};
    for (const auto &[db, percent] : mapping) {
        input.updateAudioEnergy(db);
        QCOMPARE(input.energyPercent(), percent);
        QCOMPARE(levels.takeLast().at(0).toDouble(), percent / 100.0);
    }
    QVERIFY(!input.isTimeToUpdateAudioEnergy());   // just updated: due again in 100 ms
}

void tst_AudioDevices::volumeOfADeviceThatFailedToOpen()
{
    AudioInput input;
    QVERIFY(input.open(QAudioDevice(), monoInt16) != QAudio::NoError);
    QCOMPARE(input.getVolume(), 0.0f);
    input.setVolume(0.5f);   // nothing open: no effect
    QCOMPARE(input.getVolume(), 0.0f);
    AudioOutput output;
    QVERIFY(output.open(QAudioDevice(), monoInt16) != QAudio::NoError);
    QCOMPARE(output.getVolume(), 0.0f);
}

void tst_AudioDevices::cloneReopensTheSameDevice()
{
    if (pactl({QStringLiteral("info")}).isEmpty()) {
        if (qEnvironmentVariableIsSet("TALVENTO_TEST_SERVICES"))
            QFAIL("the test sound server is not reachable");
        QSKIP("no sound server");
    }
    const QString module = pactl({"load-module", "module-null-sink", "sink_name=clone_test", "rate=48000",
                                  "sink_properties='device.description=\"Clone Test Speaker\"'"});
    QVERIFY(!module.isEmpty());
    QAudioDevice device;
    QTRY_VERIFY_WITH_TIMEOUT(!(device = findDevice(QMediaDevices::audioOutputs(), "Clone Test Speaker")).isNull(),
                             10000);

    AudioOutput output;
    QCOMPARE(output.open(device, monoInt16), QAudio::NoError);
    std::unique_ptr<AudioDevice> same(output.clone(nullptr));
    QVERIFY(same);
    QCOMPARE(same->audioDevice().id(), device.id());
    QCOMPARE(same->workingFormat(), output.workingFormat());
    const QAudioFormat other = format(44100, 2, QAudioFormat::Float);
    std::unique_ptr<AudioDevice> reformatted(output.clone(&other));
    QVERIFY(reformatted);
    QCOMPARE(reformatted->workingFormat().sampleRate(), 44100);
    QVERIFY(qobject_cast<AudioOutput *>(reformatted.get()));

    // Once the device is gone, a clone fails and gives nothing.
    pactl({"unload-module", module});
    std::unique_ptr<AudioDevice> none(output.clone(nullptr));
    QVERIFY(!none);
}

QTEST_GUILESS_MAIN(tst_AudioDevices)
#include "tst_audiodevices.moc"
