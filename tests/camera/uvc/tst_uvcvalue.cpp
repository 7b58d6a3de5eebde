#include "camera/uvc/uvcvalue.h"

#include <QRegularExpression>
#include <QtTest>

#include <cstring>

class tst_UVCValue : public QObject
{
    Q_OBJECT
private slots:
    void zeroFilledFields();
    void swapMarksOnce();
    void scanWithReferences();
    void referencesOfAnotherLayoutAreIgnored();
    void copyAndCompare();
    void description();
};

static std::shared_ptr<UVCValue> valueOf(const char *type)
{
    return UVCValue::uvcValueWithType(UVCType::uvcTypeWithCString(type));
}

void tst_UVCValue::zeroFilledFields()
{
    QVERIFY(!UVCValue::uvcValueWithType(nullptr));
    auto v = valueOf("{S1 zoom; B digital-zoom; U1 speed}");
    QVERIFY(v);
    QCOMPARE(v->byteSize(), size_t(3));
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(v->valuePtr()), 3), QByteArray(3, '\0'));
    QCOMPARE(v->pointerToFieldAtIndex(2), v->valuePtr() + 2);
    QCOMPARE(v->pointerToFieldAtIndex(3), v->valuePtr() + 3); // one past the end, as offsets go
    QCOMPARE(v->pointerToFieldAtIndex(4), nullptr);
    QCOMPARE(v->pointerToFieldWithName("SPEED"), v->valuePtr() + 2);
    QCOMPARE(v->pointerToFieldWithName("tilt"), nullptr);
    QCOMPARE(QString::fromStdString(*v->stringValue()), QString("{zoom=0,digital-zoom=false,speed=0}"));
}

void tst_UVCValue::swapMarksOnce()
{
    auto v = valueOf("{U2}");
    QVERIFY(v->scanCString("513", 0));
    QVERIFY(!v->isSwappedToUSBEndian());
    v->byteSwapHostToUSBEndian();
    v->byteSwapHostToUSBEndian();
    QVERIFY(v->isSwappedToUSBEndian());
    // USB order is little-endian: 513 = 0x0201.
    QCOMPARE(v->valuePtr()[0], uint8_t(0x01));
    QCOMPARE(v->valuePtr()[1], uint8_t(0x02));
    v->byteSwapUSBToHostEndian();
    v->byteSwapUSBToHostEndian();
    QVERIFY(!v->isSwappedToUSBEndian());
    QCOMPARE(QString::fromStdString(*v->stringValue()), QString("513"));
}

void tst_UVCValue::scanWithReferences()
{
    auto cur = valueOf("{U2}"), min = valueOf("{U2}"), max = valueOf("{U2}"),
         step = valueOf("{U2}"), def = valueOf("{U2}");
    QVERIFY(min->scanCString("2800", 0) && max->scanCString("6500", 0)
            && step->scanCString("100", 0) && def->scanCString("4600", 0));
    QVERIFY(cur->scanCString("9000", 0, min.get(), max.get(), step.get(), def.get()));
    QCOMPARE(QString::fromStdString(*cur->stringValue()), QString("6500"));
    QVERIFY(cur->scanCString("3049", 0, min.get(), max.get(), step.get(), def.get()));
    QCOMPARE(QString::fromStdString(*cur->stringValue()), QString("3000"));
    QVERIFY(cur->scanCString("default", 0, min.get(), max.get(), step.get(), def.get()));
    QCOMPARE(QString::fromStdString(*cur->stringValue()), QString("4600"));
    QVERIFY(!cur->scanCString("default", 0, min.get(), max.get(), step.get(), nullptr));
}

void tst_UVCValue::referencesOfAnotherLayoutAreIgnored()
{
    // A one-byte reference for a four-byte value must not be read past its end.
    auto cur = valueOf("{U4}");
    auto small = valueOf("{U1}");
    QVERIFY(small->scanCString("7", 0));
    QVERIFY(!cur->scanCString("maximum", 0, nullptr, small.get()));
    QVERIFY(cur->scanCString("100000", 0, small.get(), small.get()));
    QCOMPARE(QString::fromStdString(*cur->stringValue()), QString("100000"));
}

void tst_UVCValue::copyAndCompare()
{
    auto a = valueOf("{U2 blue; U2 red}");
    auto b = valueOf("{U2 x; U2 y}");
    auto c = valueOf("{U4}");
    QVERIFY(a->scanCString("{1, 2}", 0));
    QVERIFY(!a->isEqual(*b));
    b->copyValue(*a);
    QVERIFY(a->isEqual(*b)); // same layout, names differ
    QVERIFY(c->scanCString("9", 0));
    c->copyValue(*a);
    QCOMPARE(QString::fromStdString(*c->stringValue()), QString("9"));
    QVERIFY(!c->isEqual(*a));
}

void tst_UVCValue::description()
{
    auto v = valueOf("{S2}");
    QVERIFY(v->scanCString("10", 0));
    QString text = QString::fromStdString(v->description());
    text.replace(QRegularExpression("@0x[0-9a-f]+"), "@P");
    QCOMPARE(text, QString("UVCValue@P { type: UVCType@P { field-count: 1; byte-size: 2; "
                           "needs-byte-swap: no; fields: { S2 ; } }; bytes: [0a:00] }"));
}

QTEST_GUILESS_MAIN(tst_UVCValue)
#include "tst_uvcvalue.moc"
