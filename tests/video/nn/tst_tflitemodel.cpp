// The model file loader on the two real files, on damaged copies of them and
// on binary16 values with known meanings.

#include "tests/video/nn/modelfuzz.h"
#include "video/nn/segmenter.h"
#include "video/nn/tflitemodel.h"

#include <QtTest>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <map>

using namespace nn;

namespace {

std::vector<uint8_t> readModel(Segmenter::Model which)
{
    const std::string path = Segmenter::findModel(which, QCoreApplication::applicationDirPath().toStdString());
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

} // namespace

class tst_TfliteModel : public QObject
{
    Q_OBJECT

private slots:
    void realFiles_data();
    void realFiles();
    void halfToFloat_data();
    void halfToFloat();
    void refusesWithReason_data();
    void refusesWithReason();
    void everyTruncatedPrefix();
    void mutatedFiles();
};

void tst_TfliteModel::realFiles_data()
{
    QTest::addColumn<int>("which");
    QTest::addColumn<int>("tensors");
    QTest::addColumn<int>("input");
    QTest::addColumn<int>("output");
    QTest::addColumn<QString>("description");
    QTest::addColumn<int>("pools");
    QTest::addColumn<int>("means");
    QTest::newRow("general") << int(Segmenter::Model::General) << 360 << 0 << 249
                             << "keras2tflite_selfiesegmentation_mlkit-256x256-2021_01_19-v1215.tflite.generated" << 10
                             << 0;
    QTest::newRow("landscape") << int(Segmenter::Model::Landscape) << 370 << 0 << 259
                               << "keras2tflite_meet_1655.tflite.generated" << 0 << 10;
}

void tst_TfliteModel::realFiles()
{
    QFETCH(int, which);
    QFETCH(int, tensors);
    QFETCH(int, input);
    QFETCH(int, output);
    QFETCH(QString, description);
    QFETCH(int, pools);
    QFETCH(int, means);
    const std::vector<uint8_t> bytes = readModel(Segmenter::Model(which));
    QVERIFY(!bytes.empty());
    Model model;
    std::string error;
    QVERIFY2(parseModel(bytes, model, &error), error.c_str());
    QCOMPARE(QString::fromStdString(model.description), description);
    QCOMPARE(int(model.tensors.size()), tensors);
    QCOMPARE(model.input, input);
    QCOMPARE(model.output, output);

    std::map<OpKind, int> kinds;
    for (const Operator &op : model.operators)
        ++kinds[op.kind];
    QCOMPARE(int(model.operators.size()), 246);
    QCOMPARE(kinds[OpKind::Dequantize], 110);
    QCOMPARE(kinds[OpKind::Conv2D], 43);
    QCOMPARE(kinds[OpKind::Relu], 22);
    QCOMPARE(kinds[OpKind::Add], 14);
    QCOMPARE(kinds[OpKind::HardSwish], 11);
    QCOMPARE(kinds[OpKind::DepthwiseConv2D], 11);
    QCOMPARE(kinds[OpKind::Logistic], 11);
    QCOMPARE(kinds[OpKind::AveragePool2D], pools);
    QCOMPARE(kinds[OpKind::Mean], means);
    QCOMPARE(kinds[OpKind::Mul], 10);
    QCOMPARE(kinds[OpKind::ResizeBilinear], 3);
    QCOMPARE(kinds[OpKind::TransposeConvBias], 1);

    // Options that are absent from the file must read as their defaults.
    const Operator &stem = *std::find_if(model.operators.begin(), model.operators.end(),
                                         [](const Operator &op) { return op.kind == OpKind::Conv2D; });
    QCOMPARE(stem.padding, Padding::Same);
    QCOMPARE(stem.strideH, 2);
    QCOMPARE(stem.dilationH, 1);
    QCOMPARE(stem.activation, FusedActivation::None);
    const Operator &up = *std::find_if(model.operators.begin(), model.operators.end(),
                                       [](const Operator &op) { return op.kind == OpKind::TransposeConvBias; });
    QCOMPARE(up.padding, Padding::Same);
    QCOMPARE(up.strideW, 2);

    size_t weights = 0;
    for (const Tensor &t : model.tensors)
        if (t.constant && t.type == TensorType::Float16)
            weights += t.floats.size();
    QCOMPARE(weights, size_t(106401));
}

void tst_TfliteModel::halfToFloat_data()
{
    QTest::addColumn<int>("half");
    QTest::addColumn<float>("expected");
    QTest::newRow("one") << 0x3c00 << 1.0f;
    QTest::newRow("minus two") << 0xc000 << -2.0f;
    QTest::newRow("largest normal") << 0x7bff << 65504.0f;
    QTest::newRow("smallest normal") << 0x0400 << std::ldexp(1.0f, -14);
    QTest::newRow("smallest subnormal") << 0x0001 << std::ldexp(1.0f, -24);
    QTest::newRow("largest subnormal, negative") << 0x83ff << -1023 * std::ldexp(1.0f, -24);
    QTest::newRow("one third") << 0x3555 << 0.333251953125f;
    QTest::newRow("infinity") << 0x7c00 << INFINITY;
}

void tst_TfliteModel::halfToFloat()
{
    QFETCH(int, half);
    QFETCH(float, expected);
    QCOMPARE(nn::halfToFloat(uint16_t(half)), expected);
}

void tst_TfliteModel::refusesWithReason_data()
{
    QTest::addColumn<QByteArray>("find");
    QTest::addColumn<QByteArray>("replace");
    QTest::addColumn<int>("truncate");
    QTest::addColumn<QString>("reason");
    QTest::newRow("another identifier") << QByteArray("TFL3") << QByteArray("TFL2") << 0 << "not a TFLite file";
    QTest::newRow("unknown custom operator") << QByteArray("Convolution2DTransposeBias")
                                             << QByteArray("Convolution2DTransposeBiaz") << 0 << "custom operator";
    QTest::newRow("eight bytes") << QByteArray() << QByteArray() << 8 << "outside the file";
    QTest::newRow("empty") << QByteArray() << QByteArray() << -1 << "too short";
}

void tst_TfliteModel::refusesWithReason()
{
    QFETCH(QByteArray, find);
    QFETCH(QByteArray, replace);
    QFETCH(int, truncate);
    QFETCH(QString, reason);
    std::vector<uint8_t> bytes = readModel(Segmenter::Model::Landscape);
    QVERIFY(!bytes.empty());
    if (!find.isEmpty()) {
        const auto it = std::search(bytes.begin(), bytes.end(), find.begin(), find.end());
        QVERIFY(it != bytes.end());
        std::copy(replace.begin(), replace.end(), it);
    }
    if (truncate)
        bytes.resize(size_t(std::max(truncate, 0)));
    Model model;
    std::string error;
    QVERIFY(!parseModel(bytes, model, &error));
    QVERIFY2(QString::fromStdString(error).contains(reason), error.c_str());
    QVERIFY(model.tensors.empty());
}

void tst_TfliteModel::everyTruncatedPrefix()
{
    const std::vector<uint8_t> bytes = readModel(Segmenter::Model::Landscape);
    QVERIFY(!bytes.empty());
    modelfuzz::Counts counts;
    for (size_t length = 0; length < bytes.size(); ++length)
        modelfuzz::tryModel(std::span(bytes.data(), length), false, counts);
    QCOMPARE(counts.files, uint64_t(bytes.size()));
    QCOMPARE(counts.silentRefusals, uint64_t(0));
    // The tables sit at the end of the file, so every cut loses something needed.
    QCOMPARE(counts.accepted, uint64_t(0));
}

void tst_TfliteModel::mutatedFiles()
{
    const std::vector<uint8_t> original = readModel(Segmenter::Model::Landscape);
    QVERIFY(!original.empty());
    modelfuzz::Counts counts;
    std::mt19937 rng(20240607);
    for (int i = 0; i < 3000; ++i) {
        std::vector<uint8_t> bytes = original;
        modelfuzz::mutate(bytes, rng);
        modelfuzz::tryModel(bytes, counts.accepted % 64 == 0, counts);
    }
    QCOMPARE(counts.silentRefusals, uint64_t(0));
    // The mutations must reach both outcomes, or the run proves little.
    QVERIFY(counts.refusedByLoader > 100);
    QVERIFY(counts.accepted > 100);
    QVERIFY(counts.ran > 0);
}

QTEST_GUILESS_MAIN(tst_TfliteModel)
#include "tst_tflitemodel.moc"
