// The simulated camera's picture: its labels (frame counter, circling dot) stay inside the
// safe area, so that the preview's rounded corners never cut them.
#include "camera/simulatedscene.h"

#include <QtTest>

#include <vector>

namespace {

// Pixels of exactly one colour inside and outside a rectangle of a BGRA picture.
struct Count
{
    int inside = 0;
    int outside = 0;
};

Count countColour(const std::vector<uint8_t> &bgra, int width, int height, QRect area, QRgb colour)
{
    Count n;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const uint8_t *p = bgra.data() + (size_t(y) * width + x) * 4;
            if (p[0] == qBlue(colour) && p[1] == qGreen(colour) && p[2] == qRed(colour))
                ++(area.contains(x, y) ? n.inside : n.outside);
        }
    return n;
}

} // namespace

class tst_SimulatedScene : public QObject
{
    Q_OBJECT
private slots:
    void labelsStayInsideTheSafeArea_data();
    void labelsStayInsideTheSafeArea();
    void everyPixelIsOpaque_data() { labelsStayInsideTheSafeArea_data(); }
    void everyPixelIsOpaque();
};

void tst_SimulatedScene::labelsStayInsideTheSafeArea_data()
{
    QTest::addColumn<QSize>("size");
    QTest::newRow("720p") << QSize(1280, 720);
    QTest::newRow("360p") << QSize(640, 360);
    QTest::newRow("preview size") << QSize(320, 180);
}

void tst_SimulatedScene::labelsStayInsideTheSafeArea()
{
    QFETCH(QSize, size);
    const QRgb segment = qRgb(255, 220, 60), dot = qRgb(80, 220, 120);
    const QRect safe = SimulatedScene::safeArea(size.width(), size.height());
    // Rounded preview corners of 8 px on a 320-wide preview: the safe area keeps clear of them.
    const double cornerRadius = 8.0 * size.width() / 320.0;
    QVERIFY(safe.left() >= cornerRadius && safe.top() >= cornerRadius);
    QVERIFY(safe.width() > size.width() / 2 && safe.height() > size.height() / 2);

    SimulatedScene scene;
    std::vector<uint8_t> picture(size_t(size.width()) * size.height() * 4);
    // Every digit lit (888888), then frames around one turn of the dot.
    for (const int frame : {888888, 0, 15, 30, 45, 60, 75}) {
        scene.render(picture.data(), size.width() * 4, size.width(), size.height(), frame);
        const Count digits = countColour(picture, size.width(), size.height(), safe, segment);
        const Count circle = countColour(picture, size.width(), size.height(), safe, dot);
        const QByteArray where = QByteArray::number(frame);
        QVERIFY2(digits.inside > 0 && circle.inside > 0, where.constData());
        QVERIFY2(digits.outside == 0, QByteArray(where + ": counter pixels outside the safe area: "
                                                  + QByteArray::number(digits.outside)).constData());
        QVERIFY2(circle.outside == 0, QByteArray(where + ": dot pixels outside the safe area: "
                                                  + QByteArray::number(circle.outside)).constData());
    }
}

void tst_SimulatedScene::everyPixelIsOpaque()
{
    // A BGRA camera of the scene hands its pictures on as drawn, with no conversion that
    // would make the alpha opaque.
    QFETCH(QSize, size);
    SimulatedScene scene;
    const int stride = size.width() * 4 + 64; // rows wider than the picture, as in a frame
    std::vector<uint8_t> picture(size_t(stride) * size.height(), 0);
    for (const int frame : {0, 37, 888888}) {
        scene.render(picture.data(), stride, size.width(), size.height(), frame);
        int translucent = 0;
        for (int y = 0; y < size.height(); ++y)
            for (int x = 0; x < size.width(); ++x)
                translucent += picture[size_t(y) * stride + 4 * x + 3] != 255;
        QCOMPARE(translucent, 0);
    }
}

QTEST_GUILESS_MAIN(tst_SimulatedScene)
#include "tst_simulatedscene.moc"
