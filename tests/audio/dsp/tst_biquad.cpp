#include "audio/dsp/biquad.h"

#include <QtTest>

#include <cmath>
#include <numbers>
#include <vector>

namespace {

constexpr int rate = 48000;

enum Shelf { Low, High };
}
Q_DECLARE_METATYPE(Shelf)

namespace {

void design(Shelf shelf, BiquadState &state, float freq, float slope, float gain)
{
    if (shelf == Low)
        biquadLowShelf(&state, rate, freq, slope, gain);
    else
        biquadHighShelf(&state, rate, freq, slope, gain);
}

// Gain in dB of the filter at `hz`, from a sine run through it: the first
// half second lets the filter settle, the second half is measured.
double measureGainDb(BiquadState state, double hz)
{
    const int n = rate;
    std::vector<float> in(n), out(n);
    for (int i = 0; i < n; ++i)
        in[i] = float(0.25 * std::sin(2.0 * std::numbers::pi * hz * i / rate));
    biquadProcess(&state, n, in.data(), out.data());
    double ein = 0, eout = 0;
    for (int i = n / 2; i < n; ++i) {
        ein += double(in[i]) * in[i];
        eout += double(out[i]) * out[i];
    }
    return 10.0 * std::log10(eout / ein);
}

} // namespace

class tst_Biquad : public QObject
{
    Q_OBJECT
private slots:
    void shelfResponse_data();
    void shelfResponse();
    void identityCopiesExactly();
    void consecutiveCallsFormOneStream();
};

void tst_Biquad::shelfResponse_data()
{
    QTest::addColumn<Shelf>("shelf");
    QTest::addColumn<float>("corner");
    QTest::addColumn<float>("slope");
    QTest::addColumn<float>("gain");
    QTest::addColumn<QList<double>>("frequencies");
    QTest::addColumn<QList<double>>("expectedDb");
    QTest::addColumn<double>("toleranceDb");

    const QList<double> sweep{10, 100, 500, 2000, 8000, 23000};
    QTest::newRow("low +10 dB") << Low << 500.f << 1.f << 10.f << sweep
                                << QList<double>{10, 10, 5, 0, 0, 0} << 0.35;
    QTest::newRow("low -10 dB") << Low << 500.f << 1.f << -10.f << sweep
                                << QList<double>{-10, -10, -5, 0, 0, 0} << 0.35;
    QTest::newRow("low 0 dB is flat") << Low << 500.f << 1.f << 0.f << sweep
                                      << QList<double>(6, 0.0) << 0.001;
    QTest::newRow("high +10 dB") << High << 2000.f << 1.f << 10.f << sweep
                                 << QList<double>{0, 0, 0.2, 5, 10, 10} << 0.35;
    QTest::newRow("high -10 dB") << High << 2000.f << 1.f << -10.f << sweep
                                 << QList<double>{0, 0, -0.2, -5, -10, -10} << 0.35;
    QTest::newRow("low corner at Nyquist is a plain gain")
        << Low << 24000.f << 1.f << 6.f << sweep << QList<double>(6, 6.0) << 0.001;
    QTest::newRow("high corner above Nyquist passes")
        << High << 30000.f << 1.f << 6.f << sweep << QList<double>(6, 0.0) << 0.001;
    QTest::newRow("high corner at 0 Hz is a plain gain")
        << High << 0.f << 1.f << -6.f << sweep << QList<double>(6, -6.0) << 0.001;
    QTest::newRow("low corner at 0 Hz passes")
        << Low << 0.f << 1.f << -6.f << sweep << QList<double>(6, 0.0) << 0.001;
    QTest::newRow("zero slope passes")
        << Low << 500.f << 0.f << 10.f << sweep << QList<double>(6, 0.0) << 0.001;
}

void tst_Biquad::shelfResponse()
{
    QFETCH(Shelf, shelf);
    QFETCH(float, corner);
    QFETCH(float, slope);
    QFETCH(float, gain);
    QFETCH(QList<double>, frequencies);
    QFETCH(QList<double>, expectedDb);
    QFETCH(double, toleranceDb);

    BiquadState state;
    std::memset(&state, 0x7f, sizeof state);   // design must clear the history
    design(shelf, state, corner, slope, gain);
    for (qsizetype i = 0; i < frequencies.size(); ++i) {
        const double measured = measureGainDb(state, frequencies[i]);
        if (std::fabs(measured - expectedDb[i]) > toleranceDb)
            QFAIL(qPrintable(QString("at %1 Hz: %2 dB, expected %3 dB")
                                 .arg(frequencies[i]).arg(measured).arg(expectedDb[i])));
    }
}

void tst_Biquad::identityCopiesExactly()
{
    BiquadState state{1, 0, 0, 0, 0, 0, 0, 0, 0};
    std::vector<float> in(253), out(253, -5.0f);
    for (size_t i = 0; i < in.size(); ++i)
        in[i] = std::ldexp(float(i) - 126.3f, -int(i % 20));
    biquadProcess(&state, int(in.size()), in.data(), out.data());
    QCOMPARE(out, in);
}

void tst_Biquad::consecutiveCallsFormOneStream()
{
    BiquadState whole{}, split{};
    biquadHighShelf(&whole, rate, 2000, 1, 7);
    split = whole;
    std::vector<float> in(1000), a(1000), b(1000);
    for (size_t i = 0; i < in.size(); ++i)
        in[i] = float(std::sin(0.37 * double(i)) * 0.5);
    biquadProcess(&whole, 1000, in.data(), a.data());
    b = in;   // in place, in two calls
    biquadProcess(&split, 333, b.data(), b.data());
    biquadProcess(&split, 667, b.data() + 333, b.data() + 333);
    QCOMPARE(b, a);
}

QTEST_APPLESS_MAIN(tst_Biquad)
#include "tst_biquad.moc"
