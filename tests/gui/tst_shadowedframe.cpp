#include "gui/draggableframe.h"
#include "gui/shadowedframe.h"

#include <QGraphicsOpacityEffect>
#include <QSignalSpy>
#include <QtTest>

class tst_ShadowedFrame : public QObject
{
    Q_OBJECT
private slots:
    void shadowFollowsSize_data();
    void shadowFollowsSize();
    void zeroSizeHasEmptyShadow();
    void shadowIsSoftAroundContent();
    void opacityEffect();
};

void tst_ShadowedFrame::shadowFollowsSize_data()
{
    QTest::addColumn<QSize>("first");
    QTest::addColumn<QSize>("second");
    QTest::newRow("grow") << QSize(100, 60) << QSize(320, 180);
    QTest::newRow("shrink") << QSize(320, 180) << QSize(40, 30);
    QTest::newRow("width only") << QSize(200, 80) << QSize(260, 80);
}

void tst_ShadowedFrame::shadowFollowsSize()
{
    QFETCH(QSize, first);
    QFETCH(QSize, second);
    ShadowedFrame frame(true);
    frame.resize(first);
    QCoreApplication::sendPostedEvents();
    frame.show();
    QVERIFY(QTest::qWaitForWindowExposed(&frame));
    QCOMPARE(frame.shadowImage().size(), first);
    QCOMPARE(frame.clipPath().boundingRect(), QRectF(8, 8, first.width() - 16, first.height() - 16));

    frame.resize(second);
    QTRY_COMPARE(frame.shadowImage().size(), second);
    QCOMPARE(frame.clipPath().boundingRect(), QRectF(8, 8, second.width() - 16, second.height() - 16));
}

void tst_ShadowedFrame::zeroSizeHasEmptyShadow()
{
    ShadowedFrame frame(true);
    frame.resize(120, 80);
    frame.show();
    QVERIFY(QTest::qWaitForWindowExposed(&frame));
    QVERIFY(!frame.shadowImage().isNull());
    frame.resize(0, 0);
    QTRY_VERIFY(frame.shadowImage().isNull());
}

// The content area is covered, the margin holds a shadow that fades out, and
// nothing else is painted: the page behind a row must stay visible.
void tst_ShadowedFrame::shadowIsSoftAroundContent()
{
    ShadowedFrame frame(true);
    frame.resize(200, 100);
    frame.show();
    QVERIFY(QTest::qWaitForWindowExposed(&frame));
    const QImage shadow = frame.shadowImage();
    QCOMPARE(qAlpha(shadow.pixel(100, 50)), 255);
    const int nearEdge = qAlpha(shadow.pixel(6, 50));
    const int farEdge = qAlpha(shadow.pixel(0, 50));
    QVERIFY2(nearEdge > 0 && nearEdge < 255, qPrintable(QString::number(nearEdge)));
    QVERIFY2(farEdge < nearEdge, qPrintable(QString("%1 vs %2").arg(farEdge).arg(nearEdge)));
    QVERIFY(qAlpha(shadow.pixel(0, 0)) < 64);
}

void tst_ShadowedFrame::opacityEffect()
{
    DraggableFrame frame;
    QVERIFY(frame.acceptDrops());
    frame.applyOpacity(0.4f);
    auto *effect = qobject_cast<QGraphicsOpacityEffect *>(frame.graphicsEffect());
    QVERIFY(effect);
    QCOMPARE(effect->opacity(), qreal(0.4f));
    frame.applyOpacity(1.0f);
    QVERIFY(!frame.graphicsEffect());
}

QTEST_MAIN(tst_ShadowedFrame)
#include "tst_shadowedframe.moc"
