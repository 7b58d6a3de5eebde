#include "audio/dsp/compressor.h"

#include <QtTest>

#include <cmath>
#include <numbers>
#include <vector>

namespace {

// The set-up the microphone chain uses at its default strength.
void setUp(sf_compressor_state_st &state, int rate = 48000, float predelay = 0.006f)
{
    std::memset(&state, 0, sizeof state);
    sf_advancecomp(&state, rate, 0, -30, 30, 3.6f, 0.003f, 0.4f, predelay, 0.09f, 0.16f, 0.42f,
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
    sf_compressor_state_st state;
    setUp(state);
    const sf_compressor_state_st before = state;
    const float sentinel = 12345.0f;
    std::vector<float> in(size, 0.5f), out(size, sentinel);
    sf_compressor_process(&state, size, in.data(), out.data());
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
    sf_compressor_state_st state;
    setUp(state, rate, predelay);
    // A quiet click (below the threshold) in silence: where it comes out is the lag.
    const int n = 2048, at = 100;
    std::vector<float> in(n, 0.0f), out(n, 0.0f);
    in[at] = 0.001f;
    sf_compressor_process(&state, n, in.data(), out.data());
    int peak = 0;
    for (int i = 0; i < n; ++i)
        if (std::fabs(out[i]) > std::fabs(out[peak]))
            peak = i;
    QCOMPARE(peak - at, lag);
    QVERIFY(out[peak] > 0.0f);
}

void tst_Compressor::freshCompressorStartsLow()
{
    sf_compressor_state_st state;
    setUp(state);
    const int rate = 48000, n = rate;
    std::vector<float> in(n), out(n);
    for (int i = 0; i < n; ++i)
        in[i] = float(0.5 * std::sin(2.0 * std::numbers::pi * 440.0 * i / rate));
    sf_compressor_process(&state, n, in.data(), out.data());
    // 10 ms right after the look-ahead against 10 ms after one second.
    const double early = rms(out.data() + 288, 480);
    const double steady = rms(out.data() + n - 480, 480);
    QVERIFY2(early < steady * 0.9, qPrintable(QString("early %1, steady %2").arg(early).arg(steady)));
    QVERIFY(steady > 0.05);
}

void tst_Compressor::recoversFromNonFiniteInput()
{
    sf_compressor_state_st state;
    setUp(state);
    std::vector<float> in(4096, 0.25f), out(4096);
    in[10] = std::numeric_limits<float>::infinity();
    in[11] = std::numeric_limits<float>::quiet_NaN();
    sf_compressor_process(&state, 4096, in.data(), out.data());
    QVERIFY(std::isfinite(state.detector_avg));
    QVERIFY(std::isfinite(state.comp_gain));
    // Once the bad samples have left the look-ahead, the output is finite again.
    for (int i = 1024; i < 4096; ++i)
        QVERIFY(std::isfinite(out[i]));
}

QTEST_APPLESS_MAIN(tst_Compressor)
#include "tst_compressor.moc"
