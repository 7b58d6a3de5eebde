#include "audio/dsp/compressor.h"
#include "audio/dsp/compressor_kernels.h"

#include <QtTest>

#include <cmath>
#include <numbers>
#include <vector>

namespace {

// The set-up the microphone chain uses at its default strength.
void setUp(CompressorState &state, int rate = 48000, float predelay = 0.006f)
{
    std::memset(&state, 0, sizeof state);
    compressorSetup(&state, rate, 0, -30, 30, 3.6f, 0.003f, 0.4f, predelay, 0.09f, 0.16f, 0.42f,
                    0.98f, 2, 1);
}

double rms(const float *samples, int count)
{
    double e = 0;
    for (int i = 0; i < count; ++i)
        e += double(samples[i]) * samples[i];
    return std::sqrt(e / count);
}

} // namespace

class tst_Compressor : public QObject
{
    Q_OBJECT
private slots:
    void processesWholeUnitsOnly_data();
    void processesWholeUnitsOnly();
    void lookAhead_data();
    void lookAhead();
    void freshCompressorStartsLow();
    void recoversFromNonFiniteInput();
    void stateNeverSetUpWritesNothing();
    void passVariantsAgree();
    void steadyLevelFollowsTheStaticCurve_data();
    void steadyLevelFollowsTheStaticCurve();
};

void tst_Compressor::processesWholeUnitsOnly_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("written");
    QTest::newRow("fewer than 32") << 31 << 0;
    QTest::newRow("exactly 32") << 32 << 32;
    QTest::newRow("70 processes 64") << 70 << 64;
}

void tst_Compressor::processesWholeUnitsOnly()
{
    QFETCH(int, size);
    QFETCH(int, written);
    CompressorState state;
    setUp(state);
    const CompressorState before = state;
    const float sentinel = 12345.0f;
    std::vector<float> in(size, 0.5f), out(size, sentinel);
    compressorProcess(&state, size, in.data(), out.data());
    for (int i = 0; i < size; ++i)
        QCOMPARE(out[i] != sentinel, i < written);
    if (written == 0)
        QCOMPARE(std::memcmp(&state, &before, sizeof state), 0);
}

void tst_Compressor::lookAhead_data()
{
    QTest::addColumn<int>("rate");
    QTest::addColumn<float>("predelay");
    QTest::addColumn<int>("lag");
    QTest::newRow("6 ms at 48 kHz") << 48000 << 0.006f << 287;
    QTest::newRow("6 ms at 16 kHz") << 16000 << 0.006f << 95;
    QTest::newRow("no pre-delay") << 48000 << 0.0f << 0;
    QTest::newRow("longest look-ahead") << 48000 << 0.5f << 1023;
}

void tst_Compressor::lookAhead()
{
    QFETCH(int, rate);
    QFETCH(float, predelay);
    QFETCH(int, lag);
    CompressorState state;
    setUp(state, rate, predelay);
    // A quiet click (below the threshold) in silence: where it comes out is the lag.
    const int n = 2048, at = 100;
    std::vector<float> in(n, 0.0f), out(n, 0.0f);
    in[at] = 0.001f;
    compressorProcess(&state, n, in.data(), out.data());
    int peak = 0;
    for (int i = 0; i < n; ++i)
        if (std::fabs(out[i]) > std::fabs(out[peak]))
            peak = i;
    QCOMPARE(peak - at, lag);
    QVERIFY(out[peak] > 0.0f);
}

void tst_Compressor::freshCompressorStartsLow()
{
    CompressorState state;
    setUp(state);
    const int rate = 48000, n = rate;
    std::vector<float> in(n), out(n);
    for (int i = 0; i < n; ++i)
        in[i] = float(0.5 * std::sin(2.0 * std::numbers::pi * 440.0 * i / rate));
    compressorProcess(&state, n, in.data(), out.data());
    // 10 ms right after the look-ahead against 10 ms after one second.
    const double early = rms(out.data() + 288, 480);
    const double steady = rms(out.data() + n - 480, 480);
    QVERIFY2(early < steady * 0.9, qPrintable(QString("early %1, steady %2").arg(early).arg(steady)));
    QVERIFY(steady > 0.05);
}

void tst_Compressor::recoversFromNonFiniteInput()
{
    CompressorState state;
    setUp(state);
    std::vector<float> in(4096, 0.25f), out(4096);
    in[10] = std::numeric_limits<float>::infinity();
    in[11] = std::numeric_limits<float>::quiet_NaN();
    compressorProcess(&state, 4096, in.data(), out.data());
    QVERIFY(std::isfinite(state.detector_avg));
    QVERIFY(std::isfinite(state.comp_gain));
    // Once the bad samples have left the look-ahead, the output is finite again.
    for (int i = 1024; i < 4096; ++i)
        QVERIFY(std::isfinite(out[i]));
}

void tst_Compressor::stateNeverSetUpWritesNothing()
{
    // A cleared state has no delay line: nothing to run, and no division by
    // its zero length.
    CompressorState state;
    std::memset(&state, 0, sizeof state);
    std::vector<float> in(64, 0.5f), out(64, 7.0f);
    compressorProcess(&state, 64, in.data(), out.data());
    QVERIFY(std::all_of(out.begin(), out.end(), [](float v) { return v == 7.0f; }));
}

void tst_Compressor::passVariantsAgree()
{
    // The AVX2 build may round a little differently (it fuses multiplies and
    // adds), never more than a few float steps.
    const dsp::CompressorKernels *avx2 = dsp::avx2CompressorKernels();
    if (!avx2)
        QSKIP("this CPU has no AVX2 and FMA");
    const dsp::CompressorKernels &baseline = dsp::baselineCompressorKernels();
    CompressorState state;
    setUp(state);
    constexpr int n = dsp::compressorPassLength;
    std::vector<float> in(n);
    for (int i = 0; i < n; ++i)   // silence up to full scale, both signs, below and above the knee
        in[i] = float((i % 2 ? -1.0 : 1.0) * std::pow(10.0, -80.0 * (n - 1 - i) / (20.0 * (n - 1))));
    const auto close = [](const std::vector<float> &a, const std::vector<float> &b) {
        for (size_t i = 0; i < a.size(); ++i)
            if (std::fabs(a[i] - b[i]) > 1e-5f * std::max(1.0f, std::fabs(a[i])))
                return false;
        return true;
    };
    std::vector<float> attenuationA(n), riseA(n), attenuationB(n), riseB(n);
    baseline.attenuation(state, in.data(), n, attenuationA.data(), riseA.data());
    avx2->attenuation(state, in.data(), n, attenuationB.data(), riseB.data());
    QVERIFY(close(attenuationA, attenuationB));
    QVERIFY(close(riseA, riseB));
    QVERIFY(attenuationA.front() == 1.0f && attenuationA.back() < 0.5f);

    std::vector<float> gainsA(n), gainsB, dbA(n), dbB(n);
    for (int i = 0; i < n; ++i)
        gainsA[size_t(i)] = float(i) / float(n - 1);
    gainsB = gainsA;
    baseline.gainShape(state, gainsA.data(), dbA.data(), n);
    avx2->gainShape(state, gainsB.data(), dbB.data(), n);
    QVERIFY(close(gainsA, gainsB));
    QVERIFY(close(std::vector<float>(dbA.begin() + 1, dbA.end()), std::vector<float>(dbB.begin() + 1, dbB.end())));
    QVERIFY(std::isinf(dbA.front()) && std::isinf(dbB.front()));
}

void tst_Compressor::steadyLevelFollowsTheStaticCurve_data()
{
    QTest::addColumn<float>("threshold");
    QTest::addColumn<float>("knee");
    QTest::addColumn<float>("ratio");
    QTest::newRow("the microphone's soft knee") << -30.0f << 30.0f << 3.6f;
    QTest::newRow("a short knee, then the line") << -40.0f << 6.0f << 4.0f;
    QTest::newRow("no knee") << -30.0f << 0.0f << 2.0f;
}

void tst_Compressor::steadyLevelFollowsTheStaticCurve()
{
    // A steady input settles where the gain equals the curve's attenuation,
    // so the output is the make-up gain times the curve. The curve is worked
    // out here in double precision from the decibel formulas.
    QFETCH(float, threshold);
    QFETCH(float, knee);
    QFETCH(float, ratio);
    CompressorState state;
    std::memset(&state, 0, sizeof state);
    compressorSetup(&state, 48000, 0, threshold, knee, ratio, 0.003f, 0.4f, 0.006f, 0.09f, 0.16f,
                    0.42f, 0.98f, 2, 1);
    const auto curve = [&](double x) {
        const double thresholdLin = std::pow(10.0, threshold / 20.0);
        if (x < thresholdLin)
            return x;
        const double k = state.knee_k;
        if (knee > 0 && x < std::pow(10.0, (threshold + knee) / 20.0))
            return thresholdLin + (1.0 - std::exp(-k * (x - thresholdLin))) / k;
        const double dB = 20.0 * std::log10(x) - threshold;
        const double lineDb = knee > 0 ? state.knee_db_offset + (dB - knee) / ratio
                                       : threshold + dB / ratio;
        return std::pow(10.0, lineDb / 20.0);
    };
    for (const double level : {-55.0, -38.0, -33.0, -24.0, -12.0, -3.0}) {
        const double x = std::pow(10.0, level / 20.0);
        CompressorState run = state;
        std::vector<float> in(3 * 48000, float(x)), out(in.size());
        compressorProcess(&run, int(in.size()), in.data(), out.data());
        const double expectedDb = 20.0 * std::log10(state.master_gain * curve(x));
        const double gotDb = 20.0 * std::log10(double(out.back()));
        QVERIFY2(std::fabs(gotDb - expectedDb) < 0.001,
                 qPrintable(QString("%1 dB in: %2 dB out, expected %3").arg(level).arg(gotDb).arg(expectedDb)));
    }
}

QTEST_APPLESS_MAIN(tst_Compressor)
#include "tst_compressor.moc"
