#include "audio/dsp/dspagcfilter.h"
#include "audio/dsp/dspbassfilter.h"
#include "audio/dsp/dspdynamicscompressorfilter.h"
#include "audio/dsp/dsprnnfilter.h"
#include "audio/dsp/dsptreblefilter.h"

#include "tests/audio/testformats.h"

#include <QtTest>

#include <cmath>
#include <functional>
#include <memory>
#include <numbers>
#include <vector>

using AudioSample = AudioBufferManager::AudioSample;
using Settings = DSPFilter::Settings;

namespace {

Settings group(int strength, qint64 lastModified = 1)
{
    return {{"LastModified", lastModified}, {"Enabled", true}, {"DSP_Strength", strength}};
}

AudioSample floatSample(const std::vector<float> &values, const QAudioFormat &format = mono48f)
{
    AudioSample s;
    s.format = format;
    s.timestamp = 1'700'000'000'000'000;
    s.data = QByteArray(reinterpret_cast<const char *>(values.data()),
                        qsizetype(values.size() * sizeof(float)));
    if (format.sampleFormat() != QAudioFormat::Float) {
        QAudioFormat asFloat = format;
        asFloat.setSampleFormat(QAudioFormat::Float);
        s.format = asFloat;
        s = s.getAsFormat(format, false);
        s.conversions.clear();
    }
    return s;
}

std::vector<float> floatsOf(AudioSample sample)
{
    const QByteArray data = sample.getAsFormat(makeFormat(sample.format.sampleRate(),
                                                          sample.format.channelCount(),
                                                          QAudioFormat::Float), false).data;
    std::vector<float> v(size_t(data.size()) / sizeof(float));
    std::memcpy(v.data(), data.constData(), v.size() * sizeof(float));
    return v;
}

// Runs `seconds` of a signal through `filter` in 25 ms blocks and returns
// input and output, each concatenated.
struct Run
{
    std::vector<float> in, out;
};
Run runBlocks(DSPFilter &filter, const Settings &settings, double seconds,
              const std::function<float(int)> &signal, const QAudioFormat &format = mono48f)
{
    Run run;
    const int block = format.sampleRate() / 40;
    const int blocks = int(seconds * 40);
    for (int b = 0; b < blocks; ++b) {
        std::vector<float> values(static_cast<size_t>(block));
        for (int i = 0; i < block; ++i)
            values[size_t(i)] = signal(b * block + i);
        AudioSample in = floatSample(values, format);
        AudioSample out;
        filter.process(settings, in, out);
        const std::vector<float> inF = floatsOf(in), outF = floatsOf(out);
        run.in.insert(run.in.end(), inF.begin(), inF.end());
        run.out.insert(run.out.end(), outF.begin(), outF.end());
    }
    return run;
}

double rms(const std::vector<float> &v, size_t from, size_t count)
{
    double e = 0;
    for (size_t i = from; i < from + count; ++i)
        e += double(v[i]) * v[i];
    return std::sqrt(e / double(count));
}

double db(double ratio) { return 20.0 * std::log10(ratio); }

std::function<float(int)> sine(double hz, double amplitude, int rate = 48000)
{
    return [=](int i) { return float(amplitude * std::sin(2.0 * std::numbers::pi * hz * i / rate)); };
}

} // namespace

class tst_DSPFilters : public QObject
{
    Q_OBJECT
private slots:
    void rnnPassesThroughAtZero_data();
    void rnnPassesThroughAtZero();
    void rnnCarriesPartialFrames_data();
    void rnnCarriesPartialFrames();
    void shelfStrength_data();
    void shelfStrength();
    void parametersFollowLastModifiedAndFormat();
    void outputCarriesNoStaleConversions();
    void agcConvergesToTarget();
    void agcGainIsLimited();
    void compressorStrength_data();
    void compressorStrength();
};

void tst_DSPFilters::rnnPassesThroughAtZero_data()
{
    QTest::addColumn<int>("bytes");
    QTest::newRow("shorter than a frame") << 100;
    QTest::newRow("25 ms") << 2400;
}

void tst_DSPFilters::rnnPassesThroughAtZero()
{
    QFETCH(int, bytes);
    DSPRNNFilter filter;
    AudioSample in;
    in.format = mono48i;
    in.timestamp = 42;
    in.data = QByteArray(bytes, '\x05');
    AudioSample out;
    QTest::ignoreMessage(QtDebugMsg, "Init DSP RNN strength: 0");
    QVERIFY(filter.process(group(0), in, out));
    QCOMPARE(out.data, in.data);
    QCOMPARE(out.format, in.format);
    QCOMPARE(out.timestamp, qint64(42));
}

void tst_DSPFilters::rnnCarriesPartialFrames_data()
{
    QTest::addColumn<QAudioFormat>("format");
    QTest::addColumn<QList<int>>("inBytes");
    QTest::addColumn<QList<int>>("outBytes");
    QTest::newRow("48 kHz mono Int16")
        << mono48i << QList<int>{2400, 2400, 480, 100, 380} << QList<int>{1920, 2880, 0, 0, 960};
    // 25 ms of 16 kHz stereo float is 1200 samples at 48 kHz mono: 960 out, 240 wait.
    QTest::newRow("16 kHz stereo Float")
        << makeFormat(16000, 2, QAudioFormat::Float) << QList<int>{3200, 3200, 3200}
        << QList<int>{2560, 3840, 2560};
}

void tst_DSPFilters::rnnCarriesPartialFrames()
{
    QFETCH(QAudioFormat, format);
    QFETCH(QList<int>, inBytes);
    QFETCH(QList<int>, outBytes);
    DSPRNNFilter filter;
    for (qsizetype i = 0; i < inBytes.size(); ++i) {
        AudioSample in;
        in.format = format;
        in.timestamp = 1000 + i;
        in.data = QByteArray(inBytes[i], '\0');
        AudioSample out;
        filter.process(group(100), in, out);
        QCOMPARE(out.data.size(), outBytes[i]);
        QCOMPARE(out.format, format);
        QCOMPARE(out.timestamp, in.timestamp);
    }
}

void tst_DSPFilters::shelfStrength_data()
{
    QTest::addColumn<bool>("treble");
    QTest::addColumn<int>("strength");
    QTest::addColumn<QAudioFormat>("format");
    QTest::addColumn<double>("hz");
    QTest::addColumn<double>("expectedDb");

    QTest::newRow("bass 100 lifts lows") << false << 100 << mono48f << 30.0 << 10.0;
    QTest::newRow("bass 0 cuts lows") << false << 0 << mono48f << 30.0 << -10.0;
    QTest::newRow("bass 100 leaves highs") << false << 100 << mono48f << 15000.0 << 0.0;
    QTest::newRow("bass 100 on Int16") << false << 100 << mono48i << 30.0 << 10.0;
    QTest::newRow("treble 100 lifts highs") << true << 100 << mono48f << 20000.0 << 10.0;
    QTest::newRow("treble 0 cuts highs") << true << 0 << mono48f << 20000.0 << -10.0;
    QTest::newRow("treble 100 leaves lows") << true << 100 << mono48f << 40.0 << 0.0;
    QTest::newRow("treble 75 at 44.1 kHz")
        << true << 75 << makeFormat(44100, 1, QAudioFormat::Float) << 18000.0 << 5.0;
}

void tst_DSPFilters::shelfStrength()
{
    QFETCH(bool, treble);
    QFETCH(int, strength);
    QFETCH(QAudioFormat, format);
    QFETCH(double, hz);
    QFETCH(double, expectedDb);
    std::unique_ptr<DSPBassFilter> filter(treble ? new DSPTrebleFilter : new DSPBassFilter);
    const double amplitude = expectedDb > 0 ? 0.05 : 0.5;
    const Run run = runBlocks(*filter, group(strength), 1.0,
                              sine(hz, amplitude, format.sampleRate()), format);
    QCOMPARE(run.out.size(), run.in.size());   // nothing is held back
    const size_t half = run.in.size() / 2;
    const double gain = db(rms(run.out, half, half) / rms(run.in, half, half));
    QVERIFY2(std::fabs(gain - expectedDb) < 0.5, qPrintable(QString::number(gain)));
}

void tst_DSPFilters::parametersFollowLastModifiedAndFormat()
{
    DSPBassFilter filter;
    const auto lowGain = [&filter](const Settings &settings, const QAudioFormat &format) {
        const Run run = runBlocks(filter, settings, 0.5, sine(30, 0.05, format.sampleRate()), format);
        const size_t half = run.in.size() / 2;
        return db(rms(run.out, half, half) / rms(run.in, half, half));
    };

    QTest::ignoreMessage(QtDebugMsg, "Init DSP Bass - gain: 0");
    QVERIFY(std::fabs(lowGain(group(50, 7), mono48f)) < 0.01);
    // A new strength without a newer stamp is not picked up...
    QVERIFY(std::fabs(lowGain(group(100, 7), mono48f)) < 0.01);
    // ...until LastModified grows.
    QTest::ignoreMessage(QtDebugMsg, "Init DSP Bass - gain: 10");
    QVERIFY(std::fabs(lowGain(group(100, 8), mono48f) - 10.0) < 0.5);
    // A change of rate re-derives the parameters with the same stamp.
    const QAudioFormat mono16f = makeFormat(16000, 1, QAudioFormat::Float);
    QTest::ignoreMessage(QtDebugMsg, "Init DSP Bass - gain: 10");
    QVERIFY(std::fabs(lowGain(group(100, 8), mono16f) - 10.0) < 0.5);
}

void tst_DSPFilters::outputCarriesNoStaleConversions()
{
    // The input already holds a Float copy of itself. The bass filter's output
    // has new audio, so that copy must not travel with it to the next filter.
    DSPBassFilter bass;
    std::vector<float> values(1200);
    for (size_t i = 0; i < values.size(); ++i)
        values[i] = float(0.1 * std::sin(0.004 * double(i)));
    AudioSample in = floatSample(values, mono48i);
    const QByteArray inAsFloat = in.getAsFormat(mono48f, false).data;
    AudioSample out;
    bass.process(group(100), in, out);
    QVERIFY(out.conversions.isEmpty());
    QVERIFY(out.getAsFormat(mono48f, false).data != inAsFloat);
}

void tst_DSPFilters::agcConvergesToTarget()
{
    // RMS 0.05 at strength 50 (target 0.15): the gain settles at 3.
    DSPAGCFilter agc;
    const Run run = runBlocks(agc, group(50), 15.0, sine(400, 0.05 * std::sqrt(2.0)));
    QCOMPARE(run.out.size(), run.in.size());   // 25 ms blocks hold whole 5 ms units
    const size_t tail = 4800;
    const double gain = rms(run.out, run.out.size() - tail, tail) / rms(run.in, run.in.size() - tail, tail);
    QVERIFY2(std::fabs(gain - 3.0) < 0.02, qPrintable(QString::number(gain)));
    // It rises toward 3 without overshooting on the way.
    double previous = 0;
    for (size_t at = 0; at + tail <= run.in.size(); at += tail) {
        const double g = rms(run.out, at, tail) / rms(run.in, at, tail);
        QVERIFY(g >= previous - 1e-3 && g <= 3.0 + 1e-3);
        previous = g;
    }
}

void tst_DSPFilters::agcGainIsLimited()
{
    // RMS 0.02 would need a gain of 7.5 to reach 0.15: the gain stops at 6.
    DSPAGCFilter agc;
    const Run loud = runBlocks(agc, group(50), 15.0, sine(400, 0.02 * std::sqrt(2.0)));
    const size_t unit = 240;
    double highest = 0;
    for (size_t at = 0; at + unit <= loud.in.size(); at += unit)
        highest = std::max(highest, rms(loud.out, at, unit) / rms(loud.in, at, unit));
    QVERIFY2(highest <= 6.0 + 1e-3 && highest > 5.9, qPrintable(QString::number(highest)));

    // Near silence is not amplified: the gain falls back toward 1.
    const Run quiet = runBlocks(agc, group(50), 15.0, sine(400, 0.01 * std::sqrt(2.0)));
    const size_t tail = 4800;
    const double end = rms(quiet.out, quiet.out.size() - tail, tail) / rms(quiet.in, quiet.in.size() - tail, tail);
    QVERIFY2(end < 1.1 && end >= 1.0, qPrintable(QString::number(end)));
}

void tst_DSPFilters::compressorStrength_data()
{
    QTest::addColumn<int>("strength");
    QTest::addColumn<QString>("logLine");
    QTest::addColumn<double>("thresholdDb");
    QTest::addColumn<double>("ratio");
    QTest::addColumn<double>("aboveKneeDb");   // a level above the knee's top

    QTest::newRow("strength 0") << 0 << "threshold: -10  ratio: 2  makeUpGain: 1  release: 0.25"
                                << -10.0 << 2.0 << 26.0;
    QTest::newRow("strength 60") << 60 << "threshold: -30  ratio: 3.6  makeUpGain: 2  release: 0.4"
                                 << -30.0 << 3.6 << 6.0;
    QTest::newRow("strength 100") << 100 << "threshold: -50  ratio: 6  makeUpGain: 6  release: 1"
                                  << -50.0 << 6.0 << -14.0;
}

void tst_DSPFilters::compressorStrength()
{
    QFETCH(int, strength);
    QFETCH(QString, logLine);
    QFETCH(double, thresholdDb);
    QFETCH(double, ratio);
    QFETCH(double, aboveKneeDb);

    // Steady output level for a constant input level, in dB.
    const auto outputDb = [strength](double inputDb) {
        DSPDynamicsCompressorFilter compressor;
        const float level = float(std::pow(10.0, inputDb / 20.0));
        const Run run = runBlocks(compressor, group(strength), 1.0, [level](int) { return level; });
        return db(rms(run.out, run.out.size() - 480, 480));
    };

    QTest::ignoreMessage(QtDebugMsg, qPrintable("Init DSP Dynamics Compressor - " + logLine));
    const double below1 = outputDb(thresholdDb - 12);
    for (int i = 0; i < 4; ++i)
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression("^Init DSP Dynamics Compressor"));
    const double below2 = outputDb(thresholdDb - 2);
    const double inKnee = outputDb(thresholdDb + 10);
    const double above1 = outputDb(aboveKneeDb);
    const double above2 = outputDb(aboveKneeDb + 8);

    // Below the threshold the level passes with a constant (make-up) gain.
    QVERIFY2(std::fabs((below2 - below1) - 10.0) < 0.05, qPrintable(QString::number(below2 - below1)));
    QVERIFY(below1 - (thresholdDb - 12) > 0.9);
    // 10 dB into the soft knee compression has begun, gently.
    const double kneeReduction = 22.0 - (inKnee - below1);
    QVERIFY2(kneeReduction > 0.15 && kneeReduction < 3.0, qPrintable(QString::number(kneeReduction)));
    // Above the knee the slope is 1/ratio.
    const double measuredRatio = 8.0 / (above2 - above1);
    QVERIFY2(std::fabs(measuredRatio - ratio) < 0.02 * ratio, qPrintable(QString::number(measuredRatio)));
}

QTEST_APPLESS_MAIN(tst_DSPFilters)
#include "tst_dspfilters.moc"
