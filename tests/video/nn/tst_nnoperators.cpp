// Each operator of the engine on small hand-made tensors, run through a
// one- or two-operator graph for every kernel variant this CPU has. Expected
// values come from the plain formulas written out again here (double
// accumulation, scatter form for the transposed convolution) or by hand.

#include "video/nn/network.h"

#include <QtTest>

#include <cmath>
#include <functional>
#include <random>

using namespace nn;

namespace {

struct Tensor4
{
    int h = 1, w = 1, c = 1;
    std::vector<float> v;
    float at(int y, int x, int ch) const { return v[(size_t(y) * w + x) * c + ch]; }
};

Tensor4 randomTensor(int h, int w, int c, unsigned seed)
{
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    Tensor4 t{h, w, c, std::vector<float>(size_t(h) * w * c)};
    for (float &x : t.v)
        x = dist(rng);
    return t;
}

std::vector<float> randomVector(size_t n, unsigned seed)
{
    return randomTensor(1, 1, int(n), seed).v;
}

/// Builds a Model by hand: tensor 0 is the input.
struct Builder
{
    Model m;

    int tensor(std::vector<int32_t> shape, std::vector<float> data = {})
    {
        Tensor t;
        t.shape = std::move(shape);
        t.constant = !data.empty();
        t.floats = std::move(data);
        m.tensors.push_back(std::move(t));
        return int(m.tensors.size()) - 1;
    }
    int ints(std::vector<int32_t> data)
    {
        Tensor t;
        t.shape = {int32_t(data.size())};
        t.type = TensorType::Int32;
        t.constant = true;
        t.ints = std::move(data);
        m.tensors.push_back(std::move(t));
        return int(m.tensors.size()) - 1;
    }
    int activation(int h, int w, int c) { return tensor({1, h, w, c}); }
    Operator &op(OpKind kind, std::vector<int32_t> inputs, int output)
    {
        Operator o;
        o.kind = kind;
        o.inputs = std::move(inputs);
        o.outputs = {output};
        m.operators.push_back(o);
        return m.operators.back();
    }
};

const Kernels *variant(const QString &name);

/// The kernel variant of the current data row; null when the CPU lacks it.
const Kernels *rowKernels()
{
    QFETCH(QString, variant);
    return ::variant(variant);
}

const Kernels *variant(const QString &name)
{
    if (name == "baseline")
        return &baselineKernels();
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma"))
        return &avx2Kernels();
    return nullptr;
}

/// Runs the model with `in` as input; returns the output tensor.
std::vector<float> runModel(Model model, const Tensor4 &in, const Kernels *kernels, int threads = 1)
{
    model.input = 0;
    std::string error;
    auto net = Network::create(model, {threads, kernels}, &error);
    if (!net) {
        qWarning() << "Network::create ->" << error.c_str();
        return {};
    }
    std::copy(in.v.begin(), in.v.end(), net->input());
    net->run();
    const size_t n = size_t(net->outputHeight()) * net->outputWidth() * net->outputChannels();
    return std::vector<float>(net->output(), net->output() + n);
}

int samePadBefore(int in, int k, int stride, int &out)
{
    out = (in + stride - 1) / stride;
    return std::max(0, (out - 1) * stride + k - in) / 2;
}

/// TFLite's CONV_2D / DEPTHWISE_CONV_2D written directly from the formula.
Tensor4 referenceConv(const Tensor4 &x, const std::vector<float> &f, const std::vector<float> &b, int co, int k,
                      int stride, bool same, bool depthwise)
{
    int ho, wo, pt = 0, pl = 0;
    if (same) {
        pt = samePadBefore(x.h, k, stride, ho);
        pl = samePadBefore(x.w, k, stride, wo);
    } else {
        ho = (x.h - k) / stride + 1;
        wo = (x.w - k) / stride + 1;
    }
    Tensor4 y{ho, wo, co, std::vector<float>(size_t(ho) * wo * co)};
    for (int oy = 0; oy < ho; ++oy)
        for (int ox = 0; ox < wo; ++ox)
            for (int o = 0; o < co; ++o) {
                double s = b[size_t(o)];
                for (int ky = 0; ky < k; ++ky)
                    for (int kx = 0; kx < k; ++kx) {
                        const int iy = oy * stride - pt + ky, ix = ox * stride - pl + kx;
                        if (iy < 0 || iy >= x.h || ix < 0 || ix >= x.w)
                            continue;
                        if (depthwise)
                            s += double(x.at(iy, ix, o)) * f[(size_t(ky) * k + kx) * co + o];
                        else
                            for (int i = 0; i < x.c; ++i)
                                s += double(x.at(iy, ix, i)) * f[((size_t(o) * k + ky) * k + kx) * x.c + i];
                    }
                y.v[(size_t(oy) * wo + ox) * co + o] = float(s);
            }
    return y;
}

void compareTensors(const std::vector<float> &actual, const std::vector<float> &expected, double tolerance)
{
    QCOMPARE(actual.size(), expected.size());
    for (size_t i = 0; i < actual.size(); ++i)
        if (!(std::abs(double(actual[i]) - expected[i]) <= tolerance))
            QFAIL(qPrintable(QString("element %1: %2, expected %3").arg(i).arg(actual[i]).arg(expected[i])));
}

void addVariantRows(const char *name, const std::function<void(QTestData &)> &fill)
{
    for (const char *v : {"baseline", "avx2"})
        fill(QTest::addRow("%s %s", name, v) << QString(v));
}

} // namespace

class tst_NnOperators : public QObject
{
    Q_OBJECT

private slots:
    void conv_data();
    void conv();
    void depthwise_data();
    void depthwise();
    void transposeConv_data();
    void transposeConv();
    void resize_data();
    void resize();
    void elementwise_data();
    void elementwise();
    void globalMean_data();
    void globalMean();
    void byHand_data();
    void byHand();
    void twoThreadsMatchOne();
    void refusesUnsupported_data();
    void refusesUnsupported();
};

void tst_NnOperators::conv_data()
{
    QTest::addColumn<QString>("variant");
    QTest::addColumn<int>("h");
    QTest::addColumn<int>("w");
    QTest::addColumn<int>("ci");
    QTest::addColumn<int>("co");
    QTest::addColumn<int>("k");
    QTest::addColumn<int>("stride");
    QTest::addColumn<bool>("same");
    const auto row = [](const char *name, int h, int w, int ci, int co, int k, int s, bool same) {
        addVariantRows(name, [=](QTestData &d) { d << h << w << ci << co << k << s << same; });
    };
    row("1x1, 10 outputs (partial block), 13 pixels", 1, 13, 5, 10, 1, 1, true);
    row("1x1, 32 outputs, 7x5", 7, 5, 16, 32, 1, 1, false);
    row("3x3 stride 2 SAME, even size (pad 0/1)", 8, 6, 3, 16, 3, 2, true);
    row("3x3 stride 2 SAME, odd size (pad 1/1)", 7, 9, 3, 16, 3, 2, true);
    row("3x3 stride 1 SAME", 6, 11, 4, 24, 3, 1, true);
    row("5x5 stride 2 SAME, 18x32 (pad 1/2)", 18, 32, 2, 8, 5, 2, true);
    row("3x3 VALID", 6, 7, 3, 5, 3, 1, false);
}

void tst_NnOperators::conv()
{
    QFETCH(QString, variant);
    QFETCH(int, h);
    QFETCH(int, w);
    QFETCH(int, ci);
    QFETCH(int, co);
    QFETCH(int, k);
    QFETCH(int, stride);
    QFETCH(bool, same);
    const Kernels *kernels = ::variant(variant);
    if (!kernels)
        QSKIP("this CPU lacks AVX2/FMA");
    const Tensor4 x = randomTensor(h, w, ci, 1);
    const std::vector<float> f = randomVector(size_t(co) * k * k * ci, 2), b = randomVector(size_t(co), 3);
    const Tensor4 expected = referenceConv(x, f, b, co, k, stride, same, false);

    Builder g;
    g.activation(h, w, ci);
    const int fi = g.tensor({co, k, k, ci}, f), bi = g.tensor({co}, b);
    const int out = g.activation(expected.h, expected.w, co);
    Operator &op = g.op(OpKind::Conv2D, {0, fi, bi}, out);
    op.strideH = op.strideW = stride;
    op.padding = same ? Padding::Same : Padding::Valid;
    g.m.output = out;
    compareTensors(runModel(g.m, x, kernels), expected.v, 1e-5);
}

void tst_NnOperators::depthwise_data()
{
    QTest::addColumn<QString>("variant");
    QTest::addColumn<int>("h");
    QTest::addColumn<int>("w");
    QTest::addColumn<int>("c");
    QTest::addColumn<int>("k");
    QTest::addColumn<int>("stride");
    const auto row = [](const char *name, int h, int w, int c, int k, int s) {
        addVariantRows(name, [=](QTestData &d) { d << h << w << c << k << s; });
    };
    row("3x3 stride 1, 16 channels", 9, 13, 16, 3, 1);
    row("3x3 stride 2, 72x128 style even size", 8, 12, 16, 3, 2);
    row("5x5 stride 1, 12 channels (partial block)", 7, 11, 12, 5, 1);
    row("5x5 stride 2, 18x32 (pad 1/2)", 18, 32, 8, 5, 2);
    row("3x3 stride 1, 3 channels, narrower than the kernel", 2, 2, 3, 3, 1);
}

void tst_NnOperators::depthwise()
{
    QFETCH(QString, variant);
    QFETCH(int, h);
    QFETCH(int, w);
    QFETCH(int, c);
    QFETCH(int, k);
    QFETCH(int, stride);
    const Kernels *kernels = ::variant(variant);
    if (!kernels)
        QSKIP("this CPU lacks AVX2/FMA");
    const Tensor4 x = randomTensor(h, w, c, 4);
    const std::vector<float> f = randomVector(size_t(k) * k * c, 5), b = randomVector(size_t(c), 6);
    const Tensor4 expected = referenceConv(x, f, b, c, k, stride, true, true);

    Builder g;
    g.activation(h, w, c);
    const int fi = g.tensor({1, k, k, c}, f), bi = g.tensor({c}, b);
    const int out = g.activation(expected.h, expected.w, c);
    Operator &op = g.op(OpKind::DepthwiseConv2D, {0, fi, bi}, out);
    op.strideH = op.strideW = stride;
    op.depthMultiplier = 1;
    g.m.output = out;
    compareTensors(runModel(g.m, x, kernels), expected.v, 1e-5);
}

void tst_NnOperators::transposeConv_data()
{
    QTest::addColumn<QString>("variant");
    QTest::addColumn<int>("h");
    QTest::addColumn<int>("w");
    QTest::addColumn<int>("ci");
    QTest::addColumn<int>("co");
    QTest::addColumn<int>("k");
    QTest::addColumn<bool>("same");
    const auto row = [](const char *name, int h, int w, int ci, int co, int k, bool same) {
        addVariantRows(name, [=](QTestData &d) { d << h << w << ci << co << k << same; });
    };
    row("2x2 stride 2 SAME, 16 to 1 channel", 5, 7, 16, 1, 2, true);
    row("2x2 stride 2 SAME, 5 to 3 channels", 4, 3, 5, 3, 2, true);
    row("3x3 stride 2 SAME, overlapping taps", 4, 5, 3, 2, 3, true);
    row("3x3 stride 2 VALID", 3, 4, 2, 2, 3, false);
}

void tst_NnOperators::transposeConv()
{
    QFETCH(QString, variant);
    QFETCH(int, h);
    QFETCH(int, w);
    QFETCH(int, ci);
    QFETCH(int, co);
    QFETCH(int, k);
    QFETCH(bool, same);
    const Kernels *kernels = ::variant(variant);
    if (!kernels)
        QSKIP("this CPU lacks AVX2/FMA");
    const int s = 2;
    const Tensor4 x = randomTensor(h, w, ci, 7);
    const std::vector<float> f = randomVector(size_t(co) * k * k * ci, 8), b = randomVector(size_t(co), 9);

    // Scatter form: every input pixel adds its kernel footprint.
    const int ph = same ? std::max(0, k - ((h - 1) % s) - 1) : 0;
    const int pw = same ? std::max(0, k - ((w - 1) % s) - 1) : 0;
    const int ho = s * (h - 1) + k - ph, wo = s * (w - 1) + k - pw;
    std::vector<double> acc(size_t(ho) * wo * co);
    for (size_t i = 0; i < acc.size(); ++i)
        acc[i] = b[i % size_t(co)];
    for (int iy = 0; iy < h; ++iy)
        for (int ix = 0; ix < w; ++ix)
            for (int ky = 0; ky < k; ++ky)
                for (int kx = 0; kx < k; ++kx) {
                    const int oy = iy * s - ph / 2 + ky, ox = ix * s - pw / 2 + kx;
                    if (oy < 0 || oy >= ho || ox < 0 || ox >= wo)
                        continue;
                    for (int o = 0; o < co; ++o)
                        for (int i = 0; i < ci; ++i)
                            acc[(size_t(oy) * wo + ox) * co + o] +=
                                double(x.at(iy, ix, i)) * f[((size_t(o) * k + ky) * k + kx) * ci + i];
                }

    Builder g;
    g.activation(h, w, ci);
    const int fi = g.tensor({co, k, k, ci}, f), bi = g.tensor({co}, b);
    const int out = g.activation(ho, wo, co);
    Operator &op = g.op(OpKind::TransposeConvBias, {0, fi, bi}, out);
    op.strideH = op.strideW = s;
    op.padding = same ? Padding::Same : Padding::Valid;
    g.m.output = out;
    compareTensors(runModel(g.m, x, kernels), std::vector<float>(acc.begin(), acc.end()), 1e-5);
}

void tst_NnOperators::resize_data()
{
    QTest::addColumn<QString>("variant");
    QTest::addColumn<int>("h");
    QTest::addColumn<int>("w");
    QTest::addColumn<int>("ho");
    QTest::addColumn<int>("wo");
    QTest::addColumn<bool>("alignCorners");
    QTest::addColumn<bool>("halfPixel");
    const auto row = [](const char *name, int h, int w, int ho, int wo, bool ac, bool hp) {
        addVariantRows(name, [=](QTestData &d) { d << h << w << ho << wo << ac << hp; });
    };
    row("2x half-pixel, 9x16 to 18x32", 9, 16, 18, 32, false, true);
    row("non-integer half-pixel, 5x7 to 8x3", 5, 7, 8, 3, false, true);
    row("align corners, 4x5 to 7x9", 4, 5, 7, 9, true, false);
    row("legacy corner mapping, 4x4 to 6x10", 4, 4, 6, 10, false, false);
}

void tst_NnOperators::resize()
{
    QFETCH(QString, variant);
    QFETCH(int, h);
    QFETCH(int, w);
    QFETCH(int, ho);
    QFETCH(int, wo);
    QFETCH(bool, alignCorners);
    QFETCH(bool, halfPixel);
    const Kernels *kernels = ::variant(variant);
    if (!kernels)
        QSKIP("this CPU lacks AVX2/FMA");
    const int c = 11;
    const Tensor4 x = randomTensor(h, w, c, 10);
    const auto source = [&](int o, int in, int out, int &i0, int &i1) {
        const double scale = alignCorners && out > 1 ? double(in - 1) / (out - 1) : double(in) / out;
        const double src = halfPixel ? (o + 0.5) * scale - 0.5 : o * scale;
        i0 = std::max(int(std::floor(src)), 0);
        i1 = std::min(int(std::ceil(src)), in - 1);
        return src - i0;
    };
    std::vector<float> expected;
    for (int y = 0; y < ho; ++y)
        for (int xo = 0; xo < wo; ++xo)
            for (int ch = 0; ch < c; ++ch) {
                int y0, y1, x0, x1;
                const double fy = source(y, h, ho, y0, y1), fx = source(xo, w, wo, x0, x1);
                expected.push_back(float(x.at(y0, x0, ch) * (1 - fy) * (1 - fx) + x.at(y1, x0, ch) * fy * (1 - fx)
                                         + x.at(y0, x1, ch) * (1 - fy) * fx + x.at(y1, x1, ch) * fy * fx));
            }

    Builder g;
    g.activation(h, w, c);
    const int size = g.ints({ho, wo});
    const int out = g.activation(ho, wo, c);
    Operator &op = g.op(OpKind::ResizeBilinear, {0, size}, out);
    op.alignCorners = alignCorners;
    op.halfPixelCenters = halfPixel;
    g.m.output = out;
    compareTensors(runModel(g.m, x, kernels), expected, 1e-5);
}

void tst_NnOperators::elementwise_data()
{
    QTest::addColumn<QString>("variant");
    QTest::addColumn<int>("kind");
    const auto row = [](const char *name, OpKind kind) {
        addVariantRows(name, [=](QTestData &d) { d << int(kind); });
    };
    row("relu", OpKind::Relu);
    row("hard-swish", OpKind::HardSwish);
    row("logistic", OpKind::Logistic);
    row("add", OpKind::Add);
    row("mul by a per-channel gate", OpKind::Mul);
}

void tst_NnOperators::elementwise()
{
    QFETCH(QString, variant);
    QFETCH(int, kind);
    const Kernels *kernels = ::variant(variant);
    if (!kernels)
        QSKIP("this CPU lacks AVX2/FMA");
    // Values from -100 to 100 reach both flat ends of every curve.
    Tensor4 x = randomTensor(3, 7, 13, 11);
    for (size_t i = 0; i < x.v.size(); ++i)
        x.v[i] *= i % 5 == 0 ? 100.0f : 5.0f;
    const OpKind k = OpKind(kind);

    Builder g;
    g.activation(3, 7, 13);
    int out;
    std::vector<float> expected(x.v.size());
    if (k == OpKind::Add || k == OpKind::Mul) {
        // The second operand is computed in the graph (ReLU of the input, or
        // its global mean) because operands must be activations.
        const bool gate = k == OpKind::Mul;
        const int second = gate ? g.activation(1, 1, 13) : g.activation(3, 7, 13);
        if (gate)
            g.op(OpKind::Mean, {0, g.ints({1, 2})}, second).keepDims = true;
        else
            g.op(OpKind::Relu, {0}, second);
        out = g.activation(3, 7, 13);
        g.op(k, {0, second}, out);
        std::vector<double> mean(13, 0.0);
        for (size_t i = 0; i < x.v.size(); ++i)
            mean[i % 13] += x.v[i] / 21.0;
        for (size_t i = 0; i < x.v.size(); ++i)
            expected[i] = gate ? float(x.v[i] * mean[i % 13]) : x.v[i] + std::max(0.0f, x.v[i]);
    } else {
        out = g.activation(3, 7, 13);
        g.op(k, {0}, out);
        for (size_t i = 0; i < x.v.size(); ++i) {
            const double v = x.v[i];
            expected[i] = float(k == OpKind::Relu        ? std::max(0.0, v)
                                : k == OpKind::HardSwish ? v * std::min(6.0, std::max(0.0, v + 3)) / 6
                                                         : 1 / (1 + std::exp(-v)));
        }
    }
    g.m.output = out;
    compareTensors(runModel(g.m, x, kernels), expected, 1e-4);
}

void tst_NnOperators::globalMean_data()
{
    QTest::addColumn<QString>("variant");
    QTest::addColumn<bool>("pool");
    addVariantRows("average pool over the whole map", [](QTestData &d) { d << true; });
    addVariantRows("mean over height and width", [](QTestData &d) { d << false; });
}

void tst_NnOperators::globalMean()
{
    QFETCH(QString, variant);
    QFETCH(bool, pool);
    const Kernels *kernels = ::variant(variant);
    if (!kernels)
        QSKIP("this CPU lacks AVX2/FMA");
    const Tensor4 x = randomTensor(9, 16, 20, 12);
    std::vector<double> sum(20, 0.0);
    for (size_t i = 0; i < x.v.size(); ++i)
        sum[i % 20] += x.v[i];
    std::vector<float> expected;
    for (double s : sum)
        expected.push_back(float(s / (9 * 16)));

    Builder g;
    g.activation(9, 16, 20);
    const int out = g.activation(1, 1, 20);
    if (pool) {
        Operator &op = g.op(OpKind::AveragePool2D, {0}, out);
        op.filterH = op.strideH = 9;
        op.filterW = op.strideW = 16;
        op.padding = Padding::Valid;
    } else {
        g.op(OpKind::Mean, {0, g.ints({2, 1})}, out).keepDims = true;
    }
    g.m.output = out;
    compareTensors(runModel(g.m, x, kernels), expected, 1e-5);
}

void tst_NnOperators::byHand_data()
{
    QTest::addColumn<QString>("variant");
    QTest::addColumn<int>("kind");
    QTest::addColumn<QList<int>>("inputShape");
    QTest::addColumn<QList<float>>("input");
    QTest::addColumn<QList<float>>("weights");
    QTest::addColumn<float>("bias");
    QTest::addColumn<QList<int>>("outputShape");
    QTest::addColumn<QList<float>>("expected");
    QList<float> ramp;
    for (int i = 0; i < 16; ++i)
        ramp << float(i);
    // SAME with stride 2 on an even size pads 0 rows above and 1 below, so
    // output (0, 0) sums input rows and columns 0-2 and output (1, 1) rows and
    // columns 2-3.
    addVariantRows("SAME split: 4x4 ramp, 3x3 ones, stride 2", [&](QTestData &d) {
        d << int(OpKind::Conv2D) << QList<int>{4, 4} << ramp << QList<float>(9, 1.0f) << 0.0f << QList<int>{2, 2}
          << QList<float>{45, 39, 66, 50};
    });
    // Each input pixel writes value * kernel + bias into its own 2x2 block,
    // kernel element (ky, kx) landing at (ky, kx) of the block.
    addVariantRows("transposed, not flipped: 2x2 input, 2x2 kernel", [&](QTestData &d) {
        d << int(OpKind::TransposeConvBias) << QList<int>{2, 2} << QList<float>{1, 10, 100, 1000}
          << QList<float>{1, 2, 3, 4} << 0.5f << QList<int>{4, 4}
          << QList<float>{1.5, 2.5, 10.5, 20.5, 3.5, 4.5, 30.5, 40.5, 100.5, 200.5, 1000.5, 2000.5, 300.5, 400.5,
                          3000.5, 4000.5};
    });
}

void tst_NnOperators::byHand()
{
    QFETCH(int, kind);
    QFETCH(QList<int>, inputShape);
    QFETCH(QList<float>, input);
    QFETCH(QList<float>, weights);
    QFETCH(float, bias);
    QFETCH(QList<int>, outputShape);
    QFETCH(QList<float>, expected);
    const Kernels *kernels = rowKernels();
    if (!kernels)
        QSKIP("this CPU lacks AVX2/FMA");
    const int k = int(std::lround(std::sqrt(double(weights.size()))));
    Builder g;
    g.activation(inputShape[0], inputShape[1], 1);
    const int fi = g.tensor({1, k, k, 1}, {weights.begin(), weights.end()}), bi = g.tensor({1}, {bias});
    const int out = g.activation(outputShape[0], outputShape[1], 1);
    Operator &op = g.op(OpKind(kind), {0, fi, bi}, out);
    op.strideH = op.strideW = 2;
    g.m.output = out;
    const Tensor4 x{inputShape[0], inputShape[1], 1, {input.begin(), input.end()}};
    compareTensors(runModel(g.m, x, kernels), {expected.begin(), expected.end()}, 0);
}

void tst_NnOperators::twoThreadsMatchOne()
{
    // A chain of every splittable step; the helper thread takes half of each,
    // and the result must be the same to the bit.
    Builder g;
    g.activation(20, 24, 8);
    const int c1 = g.activation(10, 12, 16);
    const int w1 = g.tensor({16, 3, 3, 8}, randomVector(16 * 9 * 8, 13)), b1 = g.tensor({16}, randomVector(16, 14));
    Operator &stem = g.op(OpKind::Conv2D, {0, w1, b1}, c1);
    stem.strideH = stem.strideW = 2;
    const int h1 = g.activation(10, 12, 16);
    g.op(OpKind::HardSwish, {c1}, h1);
    const int d1 = g.activation(10, 12, 16);
    const int w3 = g.tensor({1, 3, 3, 16}, randomVector(144, 15)), b3 = g.tensor({16}, randomVector(16, 16));
    g.op(OpKind::DepthwiseConv2D, {h1, w3, b3}, d1);
    const int a1 = g.activation(10, 12, 16);
    g.op(OpKind::Add, {d1, h1}, a1);
    const int r1 = g.activation(20, 24, 16);
    g.op(OpKind::ResizeBilinear, {a1, g.ints({20, 24})}, r1).halfPixelCenters = true;
    const int t1 = g.activation(40, 48, 1);
    const int w2 = g.tensor({1, 2, 2, 16}, randomVector(64, 17)), b2 = g.tensor({1}, {0.1f});
    Operator &up = g.op(OpKind::TransposeConvBias, {r1, w2, b2}, t1);
    up.strideH = up.strideW = 2;
    const int out = g.activation(40, 48, 1);
    g.op(OpKind::Logistic, {t1}, out);
    g.m.output = out;

    const Tensor4 x = randomTensor(20, 24, 8, 18);
    const std::vector<float> one = runModel(g.m, x, nullptr, 1);
    QCOMPARE(one.size(), size_t(40 * 48));
    for (int round = 0; round < 3; ++round)
        QVERIFY(runModel(g.m, x, nullptr, 2) == one);
}

void tst_NnOperators::refusesUnsupported_data()
{
    QTest::addColumn<int>("change");
    QTest::addColumn<QString>("reason");
    QTest::newRow("dilation") << 0 << "dilated";
    QTest::newRow("weights for other channels") << 1 << "weights do not match";
    QTest::newRow("declared shape differs") << 2 << "differs from the file";
    QTest::newRow("activation read before written") << 3 << "used before it is computed";
    QTest::newRow("three threads") << 4 << "threads";
    QTest::newRow("constant where an activation belongs") << 5 << "where an activation is expected";
}

void tst_NnOperators::refusesUnsupported()
{
    QFETCH(int, change);
    QFETCH(QString, reason);
    Builder g;
    g.activation(4, 4, 2);
    const int fi = g.tensor({3, 1, 1, change == 1 ? 5 : 2}, randomVector(change == 1 ? 15 : 6, 19));
    const int bi = g.tensor({3}, {0, 0, 0});
    const int out = g.activation(4, change == 2 ? 5 : 4, 3);
    const int input = change == 3 ? out : change == 5 ? fi : 0;
    g.op(OpKind::Conv2D, {input, fi, bi}, out).dilationH = change == 0 ? 2 : 1;
    g.m.input = 0;
    g.m.output = out;
    std::string error;
    QVERIFY(!Network::create(g.m, {change == 4 ? 3 : 1, nullptr}, &error));
    QVERIFY2(QString::fromStdString(error).contains(reason), error.c_str());
}

QTEST_APPLESS_MAIN(tst_NnOperators)
#include "tst_nnoperators.moc"
