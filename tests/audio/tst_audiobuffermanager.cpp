#include "audio/audiobuffermanager.h"

#include "tests/audio/testformats.h"

#include <QtTest>

#include <QThread>

#include <cstring>
#include <vector>

using AudioSample = AudioBufferManager::AudioSample;

namespace {

const QAudioFormat stereo48i = makeFormat(48000, 2, QAudioFormat::Int16);
const QAudioFormat mono24i = makeFormat(24000, 1, QAudioFormat::Int16);
const QAudioFormat mono8i = makeFormat(8000, 1, QAudioFormat::Int16);   // 125 µs a sample
const QAudioFormat stereo48f = makeFormat(48000, 2, QAudioFormat::Float);
const QAudioFormat stereo24f = makeFormat(24000, 2, QAudioFormat::Float);
const QAudioFormat mono48i32 = makeFormat(48000, 1, QAudioFormat::Int32);
const QAudioFormat surround48f = makeFormat(48000, 6, QAudioFormat::Float);

template<typename T>
QByteArray bytesOf(std::initializer_list<T> values)
{
    return QByteArray(reinterpret_cast<const char *>(std::data(values)),
                      qsizetype(values.size() * sizeof(T)));
}

QByteArray int16s(std::initializer_list<int16_t> v) { return bytesOf(v); }
QByteArray floats(std::initializer_list<float> v) { return bytesOf(v); }

AudioSample sampleOf(const QAudioFormat &format, const QByteArray &data, qint64 timestamp = 1000)
{
    AudioSample s;
    s.format = format;
    s.data = data;
    s.timestamp = timestamp;
    return s;
}

// Counts debug lines while installed, to see whether a conversion ran.
QAtomicInt g_debugLines;
void countingHandler(QtMsgType type, const QMessageLogContext &, const QString &)
{
    if (type == QtDebugMsg)
        g_debugLines.fetchAndAddRelaxed(1);
}

} // namespace

class tst_AudioBufferManager : public QObject
{
    Q_OBJECT
private slots:
    void conversion_data();
    void conversion();
    void unsupportedConversion_data();
    void unsupportedConversion();
    void conversionCache();
    void queueTaking_data();
    void queueTaking();
    void queueKeepsTimesConsistent();
    void overflowEmptiesQueue();
    void pushRejectsOtherFormat();
    void lagCheckDropsStaleAudio();
    void concurrentPushAndPop();
};

void tst_AudioBufferManager::conversion_data()
{
    QTest::addColumn<QAudioFormat>("from");
    QTest::addColumn<QAudioFormat>("to");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("float full scale to int16 is symmetric")
        << mono48f << mono48i << floats({1.0f, -1.0f, 0.0f}) << int16s({32767, -32767, 0});
    QTest::newRow("float beyond full scale clamps")
        << mono48f << mono48i << floats({1.5f, -7.0f}) << int16s({32767, -32767});
    QTest::newRow("float to int16 truncates toward zero")
        << mono48f << mono48i << floats({0.99999f, -0.99999f, 0.00002f})
        << int16s({32766, -32766, 0});
    QTest::newRow("float NaN becomes silence")
        << mono48f << mono48i << floats({std::numeric_limits<float>::quiet_NaN()}) << int16s({0});
    QTest::newRow("int16 to float")
        << mono48i << mono48f << int16s({-32768, 16384, 32767})
        << floats({-1.0f, 0.5f, 32767.0f / 32768.0f});
    QTest::newRow("shorter than one sample stays as it was")
        << mono48f << mono48i << QByteArray("\x01\x02\x03", 3) << QByteArray("\x01\x02\x03", 3);
    QTest::newRow("trailing partial sample is dropped")
        << mono48i << mono48f << QByteArray("\x00\x40\x07", 3) << floats({0.5f});

    QTest::newRow("stereo int16 to mono halves truncate")
        << stereo48i << mono48i << int16s({-3, -3, 32767, 32767, 5, -4})
        << int16s({-2, 32766, 0});
    QTest::newRow("stereo float to mono averages")
        << stereo48f << mono48f << floats({1.0f, 0.0f, -0.5f, -0.25f}) << floats({0.5f, -0.375f});
    QTest::newRow("mono to stereo duplicates")
        << mono48i << stereo48i << int16s({7, -9}) << int16s({7, 7, -9, -9});
    QTest::newRow("stereo shorter than a frame becomes empty")
        << stereo48i << mono48i << int16s({5}) << QByteArray();
    QTest::newRow("format then channels: int16 stereo to float mono")
        << stereo48i << mono48f << int16s({16384, -16384, 8192, 8192}) << floats({0.0f, 0.25f});

    QTest::newRow("48 to 24 kHz keeps every second frame")
        << mono48i << mono24i << int16s({0, 1, 2, 3, 4, 5, 6}) << int16s({0, 2, 4});
    QTest::newRow("24 to 48 kHz repeats each frame")
        << mono24i << mono48i << int16s({3, -5, 7}) << int16s({3, 3, -5, -5, 7, 7});
    QTest::newRow("stereo rate change carries the mix in both channels")
        << stereo48f << stereo24f << floats({1.0f, 0.0f, 9.0f, 9.0f, 0.5f, 0.25f, 9.0f, 9.0f})
        << floats({0.5f, 0.5f, 0.375f, 0.375f});
    QTest::newRow("rate change with no whole output frame keeps payload")
        << mono48i << mono24i << int16s({42}) << int16s({42});
}

void tst_AudioBufferManager::conversion()
{
    QFETCH(QAudioFormat, from);
    QFETCH(QAudioFormat, to);
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, expected);

    AudioSample sample = sampleOf(from, input, 1234);
    const AudioSample converted = sample.getAsFormat(to, false);
    QCOMPARE(converted.data, expected);
    QCOMPARE(converted.timestamp, qint64(1234));
    QCOMPARE(converted.format.sampleRate(), to.sampleRate());
    QCOMPARE(converted.format.channelCount(), to.channelCount());
    QCOMPARE(converted.format.sampleFormat(), to.sampleFormat());

    // The raw-byte routine is the same conversion without the cache.
    QByteArray raw;
    resampleAudio(input, raw, from, to, false);
    QCOMPARE(raw, expected);
}

void tst_AudioBufferManager::unsupportedConversion_data()
{
    QTest::addColumn<QAudioFormat>("from");
    QTest::addColumn<QAudioFormat>("to");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<QString>("warning");

    QTest::newRow("int32 source")
        << mono48i32 << mono48f << bytesOf<int32_t>({1, 2}) << bytesOf<int32_t>({1, 2})
        << "sample format";
    // The format step has run; the channel step gives up and skips the rate step.
    QTest::newRow("six channels")
        << mono48i << surround48f << int16s({16384}) << floats({0.5f}) << "channels";
}

void tst_AudioBufferManager::unsupportedConversion()
{
    QFETCH(QAudioFormat, from);
    QFETCH(QAudioFormat, to);
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, expected);
    QFETCH(QString, warning);

    const QRegularExpression message("^resampleAudio unsupported " + warning
                                     + " conversion -> input != output");
    QTest::ignoreMessage(QtWarningMsg, message);
    AudioSample sample = sampleOf(from, input);
    const AudioSample converted = sample.getAsFormat(to, false);
    QCOMPARE(converted.data, expected);
    QCOMPARE(converted.format, to);   // still labelled with the target
    QCOMPARE(sample.conversions.size(), 1);
}

void tst_AudioBufferManager::conversionCache()
{
    AudioSample sample = sampleOf(mono48i, int16s({100, -100}));
    QCOMPARE(sample.getAsFormat(mono48i, true).data, sample.data);
    QVERIFY(sample.conversions.isEmpty());

    g_debugLines = 0;
    const QtMessageHandler previous = qInstallMessageHandler(countingHandler);
    const AudioSample first = sample.getAsFormat(stereo48f, true);
    const int linesAfterFirst = g_debugLines.loadRelaxed();
    const AudioSample second = sample.getAsFormat(stereo48f, true);
    const int linesAfterSecond = g_debugLines.loadRelaxed();
    qInstallMessageHandler(previous);

    QCOMPARE(linesAfterFirst, 1);
    QCOMPARE(linesAfterSecond, 1);   // served from the cache
    QCOMPARE(second.data, first.data);
    QCOMPARE(sample.conversions.keys(), QStringList{"2.48000.4"});

    // Validity needs both a timestamp and audio.
    QVERIFY(bool(sample));
    QVERIFY(!bool(sampleOf(mono48i, int16s({1}), 0)));
    QVERIFY(!bool(sampleOf(mono48i, QByteArray())));
    QVERIFY(!bool(AudioSample()));
}

void tst_AudioBufferManager::queueTaking_data()
{
    QTest::addColumn<QString>("op");
    QTest::addColumn<qint64>("bytes");
    QTest::addColumn<bool>("exact");
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<qint64>("timestampFromStart");   // µs after startTime, -1 = invalid
    QTest::addColumn<qint64>("leftAfter");

    // The queue holds 30 Int16 mono samples at 8 kHz (60 bytes, 3750 µs).
    QByteArray all;
    for (int16_t i = 0; i < 30; ++i)
        all.append(reinterpret_cast<const char *>(&i), 2);

    QTest::newRow("get more than queued, exact") << "get" << qint64(100) << true << QByteArray()
                                                 << qint64(-1) << qint64(60);
    QTest::newRow("get more than queued, not exact")
        << "get" << qint64(100) << false << all << qint64(0) << qint64(60);
    QTest::newRow("get front") << "get" << qint64(20) << true << all.first(20) << qint64(0)
                               << qint64(60);
    QTest::newRow("pop whole queue") << "pop" << qint64(-1) << true << all << qint64(0)
                                     << qint64(0);
    QTest::newRow("pop front") << "pop" << qint64(24) << true << all.first(24) << qint64(0)
                               << qint64(36);
    QTest::newRow("pop too much, exact, removes nothing")
        << "pop" << qint64(61) << true << QByteArray() << qint64(-1) << qint64(60);
    QTest::newRow("last samples") << "last" << qint64(24) << false << all.last(24)
                                  << qint64(2250) << qint64(60);
    QTest::newRow("last more than queued, not exact")
        << "last" << qint64(80) << false << all << qint64(0) << qint64(60);
    QTest::newRow("commit front") << "commit" << qint64(40) << false << QByteArray()
                                  << qint64(-1) << qint64(20);
    QTest::newRow("commit nothing") << "commit" << qint64(-5) << false << QByteArray()
                                    << qint64(-1) << qint64(60);
    QTest::newRow("commit beyond end") << "commit" << qint64(500) << false << QByteArray()
                                       << qint64(-1) << qint64(0);
}

void tst_AudioBufferManager::queueTaking()
{
    QFETCH(QString, op);
    QFETCH(qint64, bytes);
    QFETCH(bool, exact);
    QFETCH(QByteArray, expected);
    QFETCH(qint64, timestampFromStart);
    QFETCH(qint64, leftAfter);

    AudioBufferManager queue;
    queue.setFormat(QAudioDevice(), mono8i);
    queue.setMaxBufferTime(0.1);
    QByteArray all;
    for (int16_t i = 0; i < 30; ++i)
        all.append(reinterpret_cast<const char *>(&i), 2);
    const qint64 start = 1'700'000'000'000'000;
    queue.pushSample(all.first(20), start, -1);
    queue.pushSample(all.mid(20), start + 1250, -1);   // ends at start + 3750 µs

    AudioSample got;
    if (op == "get")
        got = queue.getSample(bytes, exact);
    else if (op == "pop")
        got = queue.popSample(bytes, exact);
    else if (op == "last")
        got = queue.getLastSamples(bytes, exact);
    else
        queue.commitSample(bytes);

    if (op != "commit") {
        QCOMPARE(got.data, expected);
        QCOMPARE(bool(got), timestampFromStart >= 0);
        QCOMPARE(got.timestamp, timestampFromStart >= 0 ? start + timestampFromStart : -1);
        QCOMPARE(got.format, mono8i);
    }
    QCOMPARE(queue.bufferSize(), leftAfter);
    QCOMPARE(queue.bufferTime(), mono8i.durationForBytes(qint32(leftAfter)));
}

void tst_AudioBufferManager::queueKeepsTimesConsistent()
{
    AudioBufferManager queue;
    queue.setFormat(QAudioDevice(), stereo48i);
    queue.setMaxBufferTime(0.1);
    QCOMPARE(queue.getMaxBufferTime(), 0.1);
    QCOMPARE(queue.bufferTime(), qint64(0));

    // 10 ms blocks whose stamps drift: the end follows the newest block, the
    // start follows from the amount queued.
    const qint64 t0 = 1'700'000'000'000'000;
    const QByteArray block(1920, '\x01');
    queue.pushSample(block, t0, -1);
    queue.pushSample(block, t0 + 12'000, -1);
    QCOMPARE(queue.bufferTime(), qint64(20'000));
    const AudioSample last = queue.getLastSamples(1920, true);
    QCOMPARE(last.timestamp, t0 + 12'000);
    QCOMPARE(queue.getSample(1, true).timestamp, t0 + 2'000);
    queue.popSample(1920, true);
    QCOMPARE(queue.getSample(-1, true).timestamp, t0 + 12'000);

    queue.clear();
    QCOMPARE(queue.bufferSize(), qint64(0));
    QCOMPARE(queue.bufferTime(), qint64(0));
}

void tst_AudioBufferManager::overflowEmptiesQueue()
{
    AudioBufferManager queue;
    queue.setFormat(QAudioDevice(), mono48i);
    // Without a capacity every push overflows.
    queue.pushSample(QByteArray(2, '\0'), 5000, -1);
    QCOMPARE(queue.bufferSize(), qint64(0));
    QCOMPARE(queue.bufferTime(), qint64(0));

    queue.setMaxBufferTime(0.01);   // 480 samples, 960 bytes
    queue.pushSample(QByteArray(960, '\0'), 5000, -1);
    QCOMPARE(queue.bufferSize(), qint64(960));
    queue.pushSample(QByteArray(2, '\0'), 15000, -1);
    QCOMPARE(queue.bufferSize(), qint64(0));
    QCOMPARE(queue.bufferTime(), qint64(0));
    queue.pushSample(QByteArray(4, '\0'), 20000, -1);   // and it carries on
    QCOMPARE(queue.bufferSize(), qint64(4));
}

void tst_AudioBufferManager::pushRejectsOtherFormat()
{
    AudioBufferManager queue;
    queue.setFormat(QAudioDevice(), mono48i);
    queue.setMaxBufferTime(0.1);

    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^pushSample invalid formats! "));
    queue.pushSample(sampleOf(stereo48i, int16s({1, 2})), -1);
    QCOMPARE(queue.bufferSize(), qint64(0));

    queue.pushSample(sampleOf(mono48i, QByteArray()), -1);      // invalid: ignored silently
    queue.pushSample(sampleOf(mono48i, int16s({1}), 0), -1);
    QCOMPARE(queue.bufferSize(), qint64(0));

    // A different channel layout with the same rate, count and format is accepted.
    QAudioFormat layout = mono48i;
    layout.setChannelConfig(QAudioFormat::ChannelConfigMono);
    queue.pushSample(sampleOf(layout, int16s({1, 2})), -1);
    QCOMPARE(queue.bufferSize(), qint64(4));
}

void tst_AudioBufferManager::lagCheckDropsStaleAudio()
{
    AudioBufferManager queue;
    queue.setFormat(QAudioDevice(), mono48i);
    queue.setMaxBufferTime(0.1);
    const qint64 now = QDateTime::currentMSecsSinceEpoch() * 1000;

    queue.pushSample(QByteArray(96, '\0'), now - 5'000'000, -1);   // check off
    QCOMPARE(queue.bufferSize(), qint64(96));

    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Time diff for"));
    queue.pushSample(QByteArray(96, '\0'), now - 5'000'000, 1000);
    QCOMPARE(queue.bufferSize(), qint64(0));

    queue.pushSample(QByteArray(96, '\0'), now, 60'000);   // fresh enough
    QCOMPARE(queue.bufferSize(), qint64(96));
}

void tst_AudioBufferManager::concurrentPushAndPop()
{
    AudioBufferManager queue;
    queue.setFormat(QAudioDevice(), mono48i);
    queue.setMaxBufferTime(100.0);   // large enough never to overflow here

    constexpr int blocks = 2000;
    constexpr int blockBytes = 480;
    QThread *producer = QThread::create([&queue] {
        for (int i = 0; i < blocks; ++i)
            queue.pushSample(QByteArray(blockBytes, char(i & 0x7f)), qint64(i + 1) * 5000, -1);
    });
    producer->start();
    qint64 popped = 0;
    QByteArray received;
    while (!producer->isFinished() || queue.bufferSize() > 0) {
        const AudioSample s = queue.popSample(331, false);   // odd size: splits blocks
        popped += s.data.size();
        received.append(s.data);
    }
    producer->wait();
    delete producer;

    QCOMPARE(popped, qint64(blocks) * blockBytes);
    // Bytes come out in the order they went in, none lost or repeated.
    for (int i = 0; i < blocks; ++i)
        QCOMPARE(received.at(qsizetype(i) * blockBytes + blockBytes - 1), char(i & 0x7f));
}

QTEST_APPLESS_MAIN(tst_AudioBufferManager)
#include "tst_audiobuffermanager.moc"
