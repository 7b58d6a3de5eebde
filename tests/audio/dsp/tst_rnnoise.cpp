#include "audio/dsp/dsprnnfilter.h"
#include "audio/dsp/rnnoise/rnnoise.h"
#include "audio/dsp/rnnoise/rnnoise_instance.h"
#include "audio/dsp/rnnoise/rnnoise_kernels.h"
#include "audio/dsp/rnnoise/rnnoise_runtime.h"

#include <QtTest>

#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <cmath>
#include <memory>
#include <random>
#include <vector>

using AudioSample = AudioBufferManager::AudioSample;

namespace {

constexpr int rate = 48000;
constexpr int frame = 480;           // 10 ms, the unit of the masks below
constexpr int blockBytes = 2400;     // 25 ms, as the microphone delivers

std::vector<int16_t> readRaw(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray bytes = file.readAll();
    std::vector<int16_t> samples(size_t(bytes.size()) / 2);
    std::memcpy(samples.data(), bytes.constData(), samples.size() * 2);
    return samples;
}

// Runs 48 kHz mono Int16 bytes through `filter` in blocks of `block` bytes; returns all output bytes.
QByteArray runBlocks(DSPRNNFilter &filter, const QByteArray &all, qsizetype block, int strength = 100)
{
    QAudioFormat format;
    format.setSampleRate(rate);
    format.setChannelCount(1);
    format.setSampleFormat(QAudioFormat::Int16);
    const DSPFilter::Settings settings{{"LastModified", 1}, {"Enabled", true}, {"DSP_Strength", strength}};
    QByteArray result;
    for (qsizetype at = 0; at < all.size(); at += block) {
        AudioSample in;
        in.format = format;
        in.timestamp = 1 + at;
        in.data = all.mid(at, block);
        AudioSample out;
        filter.process(settings, in, out);
        result.append(out.data);
    }
    return result;
}

// Runs 48 kHz mono Int16 audio through a noise-suppression filter in 25 ms blocks.
std::vector<int16_t> suppress(const std::vector<int16_t> &input, int strength)
{
    DSPRNNFilter filter;
    const QByteArray all(reinterpret_cast<const char *>(input.data()), qsizetype(input.size() * 2));
    const QByteArray result = runBlocks(filter, all, blockBytes, strength);
    std::vector<int16_t> samples(size_t(result.size()) / 2);
    std::memcpy(samples.data(), result.constData(), samples.size() * 2);
    return samples;
}

double energy(const std::vector<int16_t> &v, size_t from, size_t count)
{
    double e = 0;
    for (size_t i = from; i < from + count && i < v.size(); ++i)
        e += double(v[i]) * v[i];
    return e;
}

// The delay (in samples) at which `processed` best matches `clean`.
int bestLag(const std::vector<int16_t> &clean, const std::vector<int16_t> &processed)
{
    int best = 0;
    double bestScore = -1e300;
    const size_t n = std::min(clean.size(), processed.size()) - 2 * frame;
    for (int lag = 0; lag <= 2 * frame; lag += 4) {
        double score = 0;
        for (size_t i = 0; i < n; i += 2)
            score += double(clean[i]) * processed[i + size_t(lag)];
        if (score > bestScore) {
            bestScore = score;
            best = lag;
        }
    }
    return best;
}

// Each whole frame's 480 denoised floats, then its voice probability: the
// layout rnnoise_translated writes.
QByteArray denoiseFrames(const std::vector<int16_t> &input)
{
    DenoiseState *st = rnnoise_create(nullptr);
    if (!st)
        return {};
    QByteArray result;
    float samples[frame];
    for (size_t at = 0; at + frame <= input.size(); at += frame) {
        std::copy_n(input.begin() + qsizetype(at), frame, samples);
        const float vad = rnnoise_process_frame(st, samples, samples);
        result.append(reinterpret_cast<const char *>(samples), sizeof samples);
        result.append(reinterpret_cast<const char *>(&vad), sizeof vad);
    }
    rnnoise_destroy(st);
    return result;
}

// Virtual and resident size of this process, in bytes.
struct ProcessSize
{
    qint64 virtualBytes = 0, residentBytes = 0;
};

ProcessSize processSize()
{
    QFile statm("/proc/self/statm");
    if (!statm.open(QIODevice::ReadOnly))
        return {};
    const QList<QByteArray> fields = statm.readAll().split(' ');
    const qint64 page = 4096;
    return {fields.value(0).toLongLong() * page, fields.value(1).toLongLong() * page};
}

// Collects the filter's warnings while it lives.
struct WarningLog
{
    WarningLog() { previous = qInstallMessageHandler(collect); lines().clear(); }
    ~WarningLog() { qInstallMessageHandler(previous); }
    static QStringList &lines()
    {
        static QStringList collected;
        return collected;
    }
    static void collect(QtMsgType type, const QMessageLogContext &, const QString &text)
    {
        if (type == QtWarningMsg && text.contains("DSPRNNFilter"))
            lines().append(text);
    }
    QtMessageHandler previous;
};

QByteArray floatBytes(const std::vector<float> &v)
{
    return QByteArray(reinterpret_cast<const char *>(v.data()), qsizetype(v.size() * sizeof(float)));
}

} // namespace

class tst_RNNoise : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void suppressesNoiseAndKeepsSpeech();
    void statesAreIndependentAcrossThreads();
    void nativeKernelsMatchThePlainTranslation();
    void kernelVariantsAgree();
    void createAndDestroyLeaveTheProcessSizeFlat();
    void createsUnderAnAddressSpaceLimit();
    void failedAllocationPassesAudioThrough();
    void trapInTheModulePassesAudioThrough();

private:
    QTemporaryDir m_dir;
    std::vector<int16_t> m_clean, m_noisy;
};

void tst_RNNoise::initTestCase()
{
    QVERIFY(m_dir.isValid());
    const QString script = qEnvironmentVariable("TALVENTO_SOURCE_DIR")
        + "/tests/audio/dsp/make-noisy-speech.sh";
    QProcess make;
    make.start("bash", {script, m_dir.path()});
    QVERIFY2(make.waitForFinished(60000), "the fixture script did not finish");
    QVERIFY2(make.exitStatus() == QProcess::NormalExit && make.exitCode() == 0,
             make.readAllStandardError().constData());
    m_clean = readRaw(m_dir.filePath("speech.raw"));
    m_noisy = readRaw(m_dir.filePath("noisy.raw"));
    QVERIFY(m_clean.size() > size_t(5 * rate));
    QCOMPARE(m_noisy.size(), m_clean.size());
}

void tst_RNNoise::suppressesNoiseAndKeepsSpeech()
{
    const std::vector<int16_t> out = suppress(m_noisy, 100);
    QVERIFY(out.size() + frame > m_noisy.size());   // at most one frame held back
    const int lag = bestLag(m_clean, out);
    QVERIFY2(lag < 2 * frame, qPrintable(QString::number(lag)));

    // 10 ms frames of the clean speech: spoken when within 30 dB of the
    // loudest frame; a pause when it and three frames either side are silent.
    const size_t frames = (out.size() - size_t(lag)) / frame;
    std::vector<double> level(frames);
    double loudest = 0;
    for (size_t f = 0; f < frames; ++f) {
        level[f] = energy(m_clean, f * frame, frame);
        loudest = std::max(loudest, level[f]);
    }
    double noiseIn = 0, noiseOut = 0, speechClean = 0, speechOut = 0;
    size_t pauseFrames = 0, speechFrames = 0;
    const size_t settle = size_t(rate / frame);   // the first second adapts
    for (size_t f = settle; f + 3 < frames; ++f) {
        const size_t at = f * frame;
        bool silent = true;
        for (size_t g = f - 3; g <= f + 3; ++g)
            silent = silent && level[g] < loudest * 1e-6;
        if (silent) {
            noiseIn += energy(m_noisy, at, frame);
            noiseOut += energy(out, at + size_t(lag), frame);
            ++pauseFrames;
        } else if (level[f] > loudest * 1e-3) {
            speechClean += level[f];
            speechOut += energy(out, at + size_t(lag), frame);
            ++speechFrames;
        }
    }
    QVERIFY(pauseFrames > 100 && speechFrames > 200);
    const double noiseReductionDb = 10 * std::log10(noiseIn / noiseOut);
    const double speechKeptDb = 10 * std::log10(speechOut / speechClean);
    qInfo("lag %d samples; %zu pause frames: noise down %.1f dB; %zu speech frames: %.1f dB of the clean speech energy",
          lag, pauseFrames, noiseReductionDb, speechFrames, speechKeptDb);
    QVERIFY2(noiseReductionDb >= 10.0, qPrintable(QString::number(noiseReductionDb)));
    QVERIFY2(speechKeptDb > -3.0, qPrintable(QString::number(speechKeptDb)));
}

void tst_RNNoise::statesAreIndependentAcrossThreads()
{
    // The same audio through four filters at once, each on its own thread,
    // must come out exactly as it does through one filter alone.
    const std::vector<int16_t> input(m_noisy.begin(), m_noisy.begin() + 3 * rate);
    const std::vector<int16_t> reference = suppress(input, 80);
    std::vector<std::vector<int16_t>> results(4);
    std::vector<std::unique_ptr<QThread>> threads;
    for (auto &result : results)
        threads.emplace_back(QThread::create([&input, &result] { result = suppress(input, 80); }));
    for (auto &thread : threads)
        thread->start();
    for (auto &thread : threads)
        QVERIFY(thread->wait(120000));
    for (const auto &result : results)
        QVERIFY(result == reference);
    QVERIFY(reference != std::vector<int16_t>(input.begin(), input.begin() + qsizetype(reference.size())));
}

void tst_RNNoise::nativeKernelsMatchThePlainTranslation()
{
    // Speech in noise, then silence, then a full-scale square wave sweeping in
    // pitch: every output bit and voice probability must equal the plain
    // translation's.
    std::vector<int16_t> input = m_noisy;
    input.resize(input.size() + rate, 0);
    for (int i = 0; i < 2 * rate; ++i) {
        const double phase = 2 * M_PI * (80.0 * i + 0.05 * i * i / rate) / rate;
        input.push_back(std::sin(phase) >= 0 ? 32767 : -32768);
    }
    const QByteArray native = denoiseFrames(input);
    QCOMPARE(native.size(), qsizetype(input.size() / frame * (frame + 1) * sizeof(float)));

    const QString inPath = m_dir.filePath("kernels-in.raw");
    const QString outPath = m_dir.filePath("kernels-out.f32");
    QFile in(inPath);
    QVERIFY(in.open(QIODevice::WriteOnly));
    in.write(reinterpret_cast<const char *>(input.data()), qsizetype(input.size() * 2));
    in.close();
    QProcess translated;
    translated.start(RNNOISE_TRANSLATED, {inPath, outPath});
    QVERIFY(translated.waitForFinished(120000));
    QVERIFY2(translated.exitStatus() == QProcess::NormalExit && translated.exitCode() == 0,
             translated.readAllStandardError().constData());
    QFile out(outPath);
    QVERIFY(out.open(QIODevice::ReadOnly));
    const QByteArray reference = out.readAll();
    QCOMPARE(reference.size(), native.size());
    QVERIFY2(reference == native, "the native kernels changed the results");
}

void tst_RNNoise::kernelVariantsAgree()
{
    // The AVX2 build must give the baseline build's bits, with lengths that
    // leave every kind of vector tail.
    const RnnoiseKernels *avx2 = rnnoiseAvx2Kernels();
    if (!avx2)
        QSKIP("this CPU has no AVX2");
    const RnnoiseKernels *baseline = rnnoiseBaselineKernels();
    std::mt19937 random(7);
    std::uniform_int_distribution<int> weight(-128, 127);
    std::uniform_real_distribution<float> value(-1.0f, 1.0f);
    for (const int count : {1, 7, 8, 9, 22, 24, 31, 48, 96, 128}) {
        const int inputs = count + 13;
        const int stride = 3 * count;
        std::vector<int8_t> weights(static_cast<size_t>(inputs * stride));
        for (auto &w : weights)
            w = int8_t(weight(random));
        const auto n = static_cast<size_t>(inputs);
        std::vector<float> input(n), gate(n), start(static_cast<size_t>(count));
        for (auto *v : {&input, &gate, &start})
            for (auto &x : *v)
                x = value(random) * 100.0f;

        std::vector<float> a = start, b = start;
        baseline->weightedSum(a.data(), count, weights.data() + 1, stride, input.data(), inputs);
        avx2->weightedSum(b.data(), count, weights.data() + 1, stride, input.data(), inputs);
        QVERIFY2(floatBytes(a) == floatBytes(b), qPrintable(QString::number(count)));
        QVERIFY(a != start);

        baseline->gatedSum(a.data(), count, weights.data(), stride, input.data(), gate.data(), inputs);
        avx2->gatedSum(b.data(), count, weights.data(), stride, input.data(), gate.data(), inputs);
        QVERIFY2(floatBytes(a) == floatBytes(b), qPrintable(QString::number(count)));

        std::vector<float> x(n), y(n + static_cast<size_t>(count));
        for (auto *v : {&x, &y})
            for (auto &e : *v)
                e = value(random) * 1000.0f;
        std::vector<float> xa(static_cast<size_t>(count), -1.0f), xb(xa.size(), -2.0f);
        baseline->crossCorrelation(x.data(), y.data(), xa.data(), inputs, count);
        avx2->crossCorrelation(x.data(), y.data(), xb.data(), inputs, count);
        QVERIFY2(floatBytes(xa) == floatBytes(xb), qPrintable(QString::number(count)));
    }

    // Activations across the table's whole range, its ends and beyond.
    std::vector<float> table(201);
    for (size_t i = 0; i < table.size(); ++i)
        table[i] = float(std::tanh(double(i) / 25.0));
    std::vector<float> values;
    for (int i = -2100; i <= 2100; ++i)
        values.push_back(float(i) / 128.0f);
    values.insert(values.end(), {-0.0f, 0.0f, 8.0f, -8.0f, 1e9f, -1e9f});
    for (const int activation : {0, 1, 2}) {
        std::vector<float> a = values, b = values;
        baseline->activate(a.data(), int(a.size()), 0.75f, activation, table.data());
        avx2->activate(b.data(), int(b.size()), 0.75f, activation, table.data());
        QVERIFY2(floatBytes(a) == floatBytes(b), qPrintable(QString::number(activation)));
        QVERIFY(a != values);
    }

    // The FFT plan the module builds for 960 points: radix 5, 3, 4, 4, 4.
    const int16_t factors[16] = {5, 192, 3, 64, 4, 16, 4, 4, 4, 1};
    std::vector<int16_t> order(960);
    std::vector<float> twiddles(2 * 960), in(2 * 960);
    for (int k = 0; k < 960; ++k) {
        order[size_t(k)] = int16_t((k * 7) % 960);
        twiddles[size_t(2 * k)] = float(std::cos(-2 * M_PI * k / 960));
        twiddles[size_t(2 * k + 1)] = float(std::sin(-2 * M_PI * k / 960));
    }
    for (auto &v : in)
        v = value(random) * 1000.0f;
    const RnnoiseFft plan{960, 1.0f / 960, 0, factors, 5, order.data(), twiddles.data()};
    std::vector<float> fa(in.size()), fb(in.size());
    baseline->fft(&plan, in.data(), fa.data());
    avx2->fft(&plan, in.data(), fb.data());
    QVERIFY(floatBytes(fa) == floatBytes(fb));
    QVERIFY(fa != std::vector<float>(in.size()));
}

void tst_RNNoise::createAndDestroyLeaveTheProcessSizeFlat()
{
    // Each state with a frame through it, so that its memory is really used.
    float samples[frame];
    std::copy_n(m_noisy.begin(), frame, samples);
    const auto cycle = [&samples] {
        DenoiseState *st = rnnoise_create(nullptr);
        QVERIFY(st);
        QVERIFY(rnnoise_process_frame(st, samples, samples) >= 0.0f);
        rnnoise_destroy(st);
    };
    for (int i = 0; i < 10; ++i)
        cycle();
    const ProcessSize before = processSize();
    QVERIFY(before.virtualBytes > 0);
    for (int i = 0; i < 1000; ++i)
        cycle();
    const ProcessSize after = processSize();
    qInfo("after 1,000 cycles: virtual %.1f MiB (%+.1f), resident %.1f MiB (%+.1f)",
          after.virtualBytes / 1048576.0, (after.virtualBytes - before.virtualBytes) / 1048576.0,
          after.residentBytes / 1048576.0, (after.residentBytes - before.residentBytes) / 1048576.0);
    // Less than two states' worth of growth over 1,000 of them.
    QVERIFY(after.virtualBytes - before.virtualBytes < 32 * 1048576);
    QVERIFY(after.residentBytes - before.residentBytes < 32 * 1048576);
}

void tst_RNNoise::createsUnderAnAddressSpaceLimit()
{
    // The plain translation's tool denoises a second of audio with its
    // address space held to about 4 GB, as a user's limit may do.
    const QString inPath = m_dir.filePath("limited-in.raw");
    QFile in(inPath);
    QVERIFY(in.open(QIODevice::WriteOnly));
    in.write(reinterpret_cast<const char *>(m_noisy.data()), rate * 2);
    in.close();
    QProcess limited;
    limited.start("bash", {"-c", R"(ulimit -v 4000000 && exec "$0" "$@")", RNNOISE_TRANSLATED,
                           inPath, m_dir.filePath("limited-out.f32")});
    QVERIFY(limited.waitForFinished(60000));
    QVERIFY2(limited.exitStatus() == QProcess::NormalExit && limited.exitCode() == 0,
             limited.readAllStandardError().constData());
    QCOMPARE(QFileInfo(m_dir.filePath("limited-out.f32")).size(),
             qint64(rate / frame * (frame + 1) * sizeof(float)));
}

namespace {
void *failAllocation(size_t)
{
    return nullptr;
}
}

void tst_RNNoise::failedAllocationPassesAudioThrough()
{
    const RnnoiseMemoryHooks failing{failAllocation, realloc, free};
    rnnoise_set_memory_hooks(&failing);
    DenoiseState *st = rnnoise_create(nullptr);
    rnnoise_set_memory_hooks(nullptr);
    QVERIFY(!st);

    WarningLog log;
    DSPRNNFilter filter(st);
    const QByteArray input(reinterpret_cast<const char *>(m_noisy.data()), 5 * blockBytes + 300);
    QCOMPARE(runBlocks(filter, input, blockBytes), input);
    QCOMPARE(log.lines().size(), 1);
    QVERIFY2(log.lines().first().contains("passing audio through"), qPrintable(log.lines().first()));
}

void tst_RNNoise::trapInTheModulePassesAudioThrough()
{
    // A state record just past the end of the module's memory, and one far
    // beyond it: the first access to it inside the module is out of bounds.
    const QByteArray input(reinterpret_cast<const char *>(m_noisy.data()), 8 * blockBytes);
    for (const u32 address : {0x01000000u, 0x7ffff000u}) {
        DenoiseState *st = rnnoise_create(nullptr);
        QVERIFY(st);
        QVERIFY(!rnnoise_failure(st));
        WarningLog log;
        DSPRNNFilter filter(st);
        // Two good blocks first: frames go through RNNoise, the 10 ms framing holds some back.
        const QByteArray good = runBlocks(filter, input.first(2 * blockBytes), blockBytes);
        QCOMPARE(good.size(), 2 * blockBytes - 2 * blockBytes % (2 * frame));
        QVERIFY(good != input.first(good.size()));
        st->state = address;
        const QByteArray rest = runBlocks(filter, input.sliced(2 * blockBytes), blockBytes);
        QCOMPARE(good.size() + rest.size(), input.size());
        QVERIFY(rest == input.sliced(good.size()));
        QCOMPARE(log.lines().size(), 1);
        QVERIFY2(log.lines().first().contains("out-of-bounds"), qPrintable(log.lines().first()));
    }
}

QTEST_APPLESS_MAIN(tst_RNNoise)
#include "tst_rnnoise.moc"
