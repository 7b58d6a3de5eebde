#include "camera/uvc/uvctype.h"
#include "tests/camera/uvc/stderrcapture.h"

#include <QRegularExpression>
#include <QtTest>

#include <vector>

class tst_UVCType : public QObject
{
    Q_OBJECT
private slots:
    void parse_data();
    void parse();
    void parseFailure_data();
    void parseFailure();
    void lookups();
    void buildFromArrays();
    void scanSingle_data();
    void scanSingle();
    void scanRecord_data();
    void scanRecord();
    void recordReferencesAreOffsetPerField();
    void scanMessages_data();
    void scanMessages();
    void formatting_data();
    void formatting();
    void descriptions();
};

using Bytes = std::vector<uint8_t>;

// A buffer of the given type holding the number in text; empty when the
// reference is absent (an invalid QVariant).
static Bytes reference(const UVCType &type, const QVariant &value)
{
    if (!value.isValid()) {
        return {};
    }
    Bytes bytes(type.byteSize());
    const bool ok = type.scanCString(value.toString().toUtf8().constData(), bytes.data(), 0);
    Q_ASSERT(ok);
    return bytes;
}

static const uint8_t *ptr(const Bytes &b)
{
    return b.empty() ? nullptr : b.data();
}

void tst_UVCType::parse_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<QList<int>>("codes");
    QTest::addColumn<QList<int>>("offsets"); // one more than the fields: byteSize last

    QTest::newRow("boolean") << "{B}" << QStringList { "" } << QList<int> { 1 } << QList<int> { 0, 1 };
    QTest::newRow("zoom-rel") << "{S1 zoom; B digital-zoom; U1 speed}"
                              << QStringList { "zoom", "digital-zoom", "speed" }
                              << QList<int> { 2, 1, 3 } << QList<int> { 0, 1, 2, 3 };
    QTest::newRow("lower-cased, any case codes, spaces")
        << "  { s4 Pan ;; m2   TILT\t}" << QStringList { "pan", "tilt" } << QList<int> { 8, 7 }
        << QList<int> { 0, 4, 6 };
    QTest::newRow("every size") << "{U1 a U2 b U4 c U8 d}" << QStringList { "a", "b", "c", "d" }
                                << QList<int> { 3, 6, 9, 12 } << QList<int> { 0, 1, 3, 7, 15 };
    QTest::newRow("closing brace missing") << "{U2 red" << QStringList { "red" } << QList<int> { 6 }
                                           << QList<int> { 0, 2 };
    QTest::newRow("window")
        << "{U2 window-top; U2 window-left; U2 window-bottom; U2 window-right; U2 num-steps; M2 num-steps-units}"
        << QStringList { "window-top", "window-left", "window-bottom", "window-right", "num-steps", "num-steps-units" }
        << QList<int> { 6, 6, 6, 6, 6, 7 } << QList<int> { 0, 2, 4, 6, 8, 10, 12 };
}

void tst_UVCType::parse()
{
    QFETCH(QString, text);
    QFETCH(QStringList, names);
    QFETCH(QList<int>, codes);
    QFETCH(QList<int>, offsets);

    const auto type = UVCType::uvcTypeWithCString(text.toUtf8().constData());
    QVERIFY(type);
    QCOMPARE(type->fieldCount(), size_t(names.size()));
    QCOMPARE(type->byteSize(), size_t(offsets.last()));
    QVERIFY(type->needsNoByteSwap());
    for (int i = 0; i < names.size(); ++i) {
        QCOMPARE(QString::fromUtf8(type->fieldNameAtIndex(size_t(i))), names[i]);
        QCOMPARE(int(type->fieldTypeAtIndex(size_t(i))), codes[i]);
    }
    for (int i = 0; i < offsets.size(); ++i) {
        QCOMPARE(type->offsetToFieldAtIndex(size_t(i)), long(offsets[i]));
    }
    QCOMPARE(type->offsetToFieldAtIndex(size_t(offsets.size())), -1L);
    QCOMPARE(type->fieldNameAtIndex(size_t(names.size())), nullptr);
    QCOMPARE(type->fieldTypeAtIndex(size_t(names.size())), UVCTypeComponentType::Invalid);
}

void tst_UVCType::parseFailure_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("warning"); // empty: nothing may be printed

    QTest::newRow("no opening brace") << "U2 red}" << "WARNING: No opening brace found: U2 red}";
    QTest::newRow("empty text") << "" << "WARNING: No opening brace found: ";
    QTest::newRow("names differ only in case")
        << "{U2 Red; U2 rED}" << "WARNING: Repeated use of type name at index 1 in '{U2 Red; U2 rED}'";
    QTest::newRow("two unnamed fields") << "{U2; U2}" << "WARNING: Repeated use of type name at index 1";
    QTest::newRow("letter X") << "{U2 a; X1 b}" << "WARNING: Invalid type string at 7 in: {U2 a; X1 b}";
    QTest::newRow("size digit 3") << "{U3}" << "WARNING: Invalid type string at 1 in: {U3}";
    QTest::newRow("empty braces") << "{}" << "WARNING: Invalid type string at 1 in: {}";
    QTest::newRow("ends inside a code") << "{U2 a; S" << "WARNING: Early end to type string at 7 in: {U2 a; S";
    QTest::newRow("only an opening brace") << "{" << "";
}

void tst_UVCType::parseFailure()
{
    QFETCH(QString, text);
    QFETCH(QString, warning);

    StderrCapture capture;
    const auto type = UVCType::uvcTypeWithCString(text.toUtf8().constData());
    const QString printed = capture.text();
    QVERIFY(!type);
    if (warning.isEmpty()) {
        QCOMPARE(printed, QString());
    } else {
        QVERIFY2(printed.startsWith(warning), qPrintable(printed));
    }
}

void tst_UVCType::lookups()
{
    const auto type = UVCType::uvcTypeWithCString("{S1 zoom; B digital-zoom; U1 speed}");
    QVERIFY(type);
    QCOMPARE(type->indexOfFieldWithName("DIGITAL-Zoom"), 1L);
    QCOMPARE(type->indexOfFieldWithName("tilt"), -1L);
    QCOMPARE(type->indexOfFieldWithName(nullptr), -1L);
    QCOMPARE(type->typeWithName("Speed"), UVCTypeComponentType::Unsigned8);
    QCOMPARE(type->typeWithName("tilt"), UVCTypeComponentType::Invalid);
    QCOMPARE(type->offsetToFieldWithName("speed"), 2L);
    QCOMPARE(type->offsetToFieldWithName("tilt"), -1L);

    // The public size lookup, including codes past the table.
    QCOMPARE(UVCTypeComponentByteSize(0), size_t(0));
    QCOMPARE(UVCTypeComponentByteSize(11), size_t(8));
    QCOMPARE(UVCTypeComponentByteSize(14), size_t(0));
    QCOMPARE(UVCTypeComponentShortString(14), nullptr);
    QCOMPARE(QString(UVCTypeComponentVerboseString(7)), QString("unsigned 16-bit bitmap"));

    // Equality looks at the layout, not at the names.
    const auto renamed = UVCType::uvcTypeWithCString("{S1 a; B b; U1 c}");
    const auto other = UVCType::uvcTypeWithCString("{S1 a; B b; S1 c}");
    QVERIFY(type->isEqual(*renamed));
    QVERIFY(!type->isEqual(*other));
}

void tst_UVCType::buildFromArrays()
{
    const char *names[] = { "pan", "tilt" };
    const uint32_t codes[] = { 8, 8 };
    const auto type = UVCType::uvcTypeWithFieldCount(2, names, codes);
    QVERIFY(type);
    QCOMPARE(type->byteSize(), size_t(8));

    const char *missing[] = { "pan", nullptr };
    QVERIFY(!UVCType::uvcTypeWithFieldCount(2, missing, codes));
    const uint32_t badCode[] = { 8, 14 };
    QVERIFY(!UVCType::uvcTypeWithFieldCount(2, names, badCode));

    // The variable list stops at the first code outside 1..13.
    const auto listed = UVCType::uvcTypeWithFieldNamesAndTypes("blue", 6, "red", 6, "x", 0,
                                                               "y", 6, nullptr);
    QVERIFY(listed);
    QCOMPARE(listed->fieldCount(), size_t(2));
    QCOMPARE(QString(listed->fieldNameAtIndex(1)), QString("red"));
}

void tst_UVCType::scanSingle_data()
{
    QTest::addColumn<QString>("type");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QVariant>("minimum");
    QTest::addColumn<QVariant>("maximum");
    QTest::addColumn<QVariant>("step");
    QTest::addColumn<QVariant>("defaultValue");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QString>("result");

    const QVariant none;
    auto row = [&](const char *name, const char *type, const char *text, QVariant min, QVariant max,
                   QVariant step, QVariant def, bool ok, const char *result) {
        QTest::newRow(name) << QString(type) << QString(text) << min << max << step << def << ok
                            << QString(result);
    };
    // Clamping and snapping to the camera's grid.
    row("on the grid", "{U2}", "150", 0, 250, 10, none, true, "150");
    row("snaps down", "{U2}", "154", 0, 250, 10, none, true, "150");
    row("half a step goes up", "{U2}", "155", 0, 250, 10, none, true, "160");
    row("above the maximum", "{U2}", "300", 0, 250, 10, none, true, "250");
    row("grid from the minimum", "{S2}", "-60", -64, 64, 5, none, true, "-59");
    row("snap up would leave the range", "{U1}", "255", 0, 255, 10, none, true, "250");
    row("step 1 leaves the value", "{U2}", "77", 0, 250, 1, none, true, "77");
    row("step without range ignored", "{U2}", "77", none, none, 10, none, true, "77");
    row("only a minimum", "{S2}", "-100", -64, none, none, none, true, "-64");
    row("negative into unsigned", "{U2}", "-5", 0, 250, none, none, true, "0");
    row("negative into unsigned, no range", "{U4}", "-5", none, none, none, none, true, "0");
    row("saturates the type", "{U2}", "70000", none, none, none, none, true, "65535");
    row("signed saturates", "{S1}", "-200", none, none, none, none, true, "-128");
    row("hexadecimal signed", "{S2}", "0x10", none, none, none, none, true, "16");
    row("surrounding space", "{U4}", "  42  ", none, none, none, none, true, "42");
    row("64-bit", "{U8}", "18446744073709551615", none, none, none, none, true, "18446744073709551615");
    row("not a number", "{U2}", "abc", none, none, none, none, false, "");
    row("two dots", "{U2}", "1.2.3", 0, 100, none, none, false, "");
    // Bitmaps: the step is the mask of settable bits.
    row("bitmap masked", "{M1}", "15", none, none, 9, none, true, "9");
    row("bitmap clamped then masked", "{M2}", "300", 0, 255, 0xF0, none, true, "240");
    // Fractions select a point in the camera's range.
    row("half of the range", "{U2}", "0.5", 0, 100, none, none, true, "50");
    row("fraction snapped", "{U2}", "0.33", 0, 250, 10, none, true, "80");
    row("fraction clamped", "{S2}", "1.5", -64, 64, none, none, true, "64");
    row("quarter of a signed range", "{S2}", "0.25", -64, 64, none, none, true, "-32");
    row("exponent form", "{U2}", "5e-1", 0, 100, none, none, true, "50");
    row("fraction without range", "{U2}", "0.5", none, none, none, none, false, "");
    // Keywords copy the camera's own values.
    row("default", "{U2}", "default", 0, 100, none, 52, true, "52");
    row("DEFAULT any case", "{S2}", "DEFAULT", none, none, none, -3, true, "-3");
    row("minimum", "{U2}", "minimum", 3, 2041, none, none, true, "3");
    row("maximum", "{U4}", "maximum", 3, 2041, none, none, true, "2041");
    row("default missing", "{U2}", "default", 0, 100, none, none, false, "");
    // Booleans.
    row("yes", "{B}", "yes", none, none, none, none, true, "true");
    row("True", "{B}", "True", none, none, none, none, true, "true");
    row("no", "{B}", "no", none, none, none, none, true, "false");
    row("numeric boolean", "{B}", "7", none, none, none, none, true, "true");
    row("maybe", "{B}", "maybe", none, none, none, none, false, "");
    // A record takes braces or a keyword.
    row("record without braces", "{U2 blue; U2 red}", "10", none, none, none, none, false, "");
}

void tst_UVCType::scanSingle()
{
    QFETCH(QString, type);
    QFETCH(QString, text);
    QFETCH(QVariant, minimum);
    QFETCH(QVariant, maximum);
    QFETCH(QVariant, step);
    QFETCH(QVariant, defaultValue);
    QFETCH(bool, ok);
    QFETCH(QString, result);

    const auto t = UVCType::uvcTypeWithCString(type.toUtf8().constData());
    QVERIFY(t);
    const Bytes min = reference(*t, minimum), max = reference(*t, maximum),
                res = reference(*t, step), def = reference(*t, defaultValue);
    Bytes buffer(t->byteSize(), 0);
    QCOMPARE(t->scanCString(text.toUtf8().constData(), buffer.data(), 0, ptr(min), ptr(max),
                            ptr(res), ptr(def)),
             ok);
    if (ok) {
        QCOMPARE(QString::fromStdString(*t->stringFromBuffer(buffer.data())), result);
    }
}

void tst_UVCType::scanRecord_data()
{
    QTest::addColumn<QString>("type");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QString>("result");

    QTest::newRow("named") << "{U2 blue; U2 red}" << "{blue=10, red=20}" << true << "{blue=10,red=20}";
    QTest::newRow("named, any order and case")
        << "{U2 blue; U2 red}" << "{ RED = 20 , Blue=10 }" << true << "{blue=10,red=20}";
    QTest::newRow("named, one missing") << "{U2 blue; U2 red}" << "{blue=10}" << false << "";
    QTest::newRow("named, unknown field") << "{U2 blue; U2 red}" << "{green=1, red=2}" << false << "";
    QTest::newRow("in order") << "{S4 pan; S4 tilt}" << "{-3600, 7200}" << true << "{pan=-3600,tilt=7200}";
    QTest::newRow("in order, too few") << "{S4 pan; S4 tilt}" << "{-3600}" << false << "";
    QTest::newRow("in order, bad field") << "{S4 pan; S4 tilt}" << "{1, x}" << false << "";
    QTest::newRow("boolean word inside a record")
        << "{S1 zoom; B digital-zoom; U1 speed}" << "{-1, yes, 4}" << true
        << "{zoom=-1,digital-zoom=true,speed=4}";
    QTest::newRow("record default without reference") << "{U2 blue; U2 red}" << "default" << false << "";
}

void tst_UVCType::scanRecord()
{
    QFETCH(QString, type);
    QFETCH(QString, text);
    QFETCH(bool, ok);
    QFETCH(QString, result);

    const auto t = UVCType::uvcTypeWithCString(type.toUtf8().constData());
    QVERIFY(t);
    Bytes buffer(t->byteSize(), 0);
    QCOMPARE(t->scanCString(text.toUtf8().constData(), buffer.data(), 0), ok);
    if (ok) {
        QCOMPARE(QString::fromStdString(*t->stringFromBuffer(buffer.data())), result);
    }
}

void tst_UVCType::recordReferencesAreOffsetPerField()
{
    // Each field is clamped by its own part of the reference buffers.
    const auto t = UVCType::uvcTypeWithCString("{U2 blue; U2 red}");
    QVERIFY(t);
    Bytes min(4), max(4), def(4), buffer(4);
    QVERIFY(t->scanCString("{0, 100}", min.data(), 0));
    QVERIFY(t->scanCString("{50, 200}", max.data(), 0));
    QVERIFY(t->scanCString("{7, 150}", def.data(), 0));
    QVERIFY(t->scanCString("{red=999, blue=default}", buffer.data(), 0, min.data(), max.data(),
                           nullptr, def.data()));
    QCOMPARE(QString::fromStdString(*t->stringFromBuffer(buffer.data())), QString("{blue=7,red=200}"));
    QVERIFY(t->scanCString("maximum", buffer.data(), 0, min.data(), max.data()));
    QCOMPARE(QString::fromStdString(*t->stringFromBuffer(buffer.data())), QString("{blue=50,red=200}"));
}

void tst_UVCType::scanMessages_data()
{
    QTest::addColumn<QString>("type");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("flags");
    QTest::addColumn<QStringList>("lines");

    QTest::newRow("one named field missing")
        << "{U2 blue; U2 red}" << "{blue=10}" << 1
        << QStringList { "WARNING: 1 named field was not provided" };
    QTest::newRow("two named fields missing")
        << "{U2 a; U2 b; U2 c}" << "{a=1}" << 1
        << QStringList { "WARNING: 2 named fields were not provided" };
    QTest::newRow("unknown name") << "{U2 blue; U2 red}" << "{green=1}" << 1
                                  << QStringList { "WARNING: Field name 'green' not defined for this type" };
    QTest::newRow("maybe") << "{B}" << "maybe" << 1
                           << QStringList { "WARNING: Invalid boolean value at 'maybe'",
                                            "WARNING: Unable to scan integer value at 'maybe'" };
    QTest::newRow("bitmap") << "{M2}" << "zz" << 1
                            << QStringList { "WARNING: Unable to scan bitmap value at 'zz'" };
    QTest::newRow("fraction without range")
        << "{U2}" << "0.5" << 1
        << QStringList { "WARNING: No value range provided by control, floating-point input not available" };
    QTest::newRow("no default") << "{U2}" << "default" << 1
                                << QStringList { "WARNING: No default value provided by this control" };
    QTest::newRow("keyword inside a record without reference")
        << "{U2 blue; U2 red}" << "{blue=minimum, red=1}" << 1
        << QStringList { "WARNING: Minimum value requested, none provided by control",
                         "WARNING: 2 named fields were not provided" };
    QTest::newRow("warnings off") << "{U2}" << "default" << 0 << QStringList {};
    QTest::newRow("informational lines")
        << "{S4 pan; S4 tilt}" << "{1, 2}" << 2
        << QStringList { "INFO: Using in-order field assignments",
                         "INFO: Processing substring '1, 2}'",
                         "INFO: Defaulting to integer value at '1, 2}'",
                         "INFO: Processing substring '2}'",
                         "INFO: Defaulting to integer value at '2}'",
                         "INFO: Successfully scanned all fields for this type" };
}

void tst_UVCType::scanMessages()
{
    QFETCH(QString, type);
    QFETCH(QString, text);
    QFETCH(int, flags);
    QFETCH(QStringList, lines);

    const auto t = UVCType::uvcTypeWithCString(type.toUtf8().constData());
    QVERIFY(t);
    Bytes buffer(t->byteSize());
    StderrCapture capture;
    t->scanCString(text.toUtf8().constData(), buffer.data(), unsigned(flags));
    QCOMPARE(capture.text().split('\n', Qt::SkipEmptyParts), lines);
}

void tst_UVCType::formatting_data()
{
    QTest::addColumn<QString>("type");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("text");

    QTest::newRow("zeroed pan-tilt") << "{S4 pan; S4 tilt}" << QByteArray(8, '\0') << "{pan=0,tilt=0}";
    QTest::newRow("false") << "{B}" << QByteArray(1, '\0') << "false";
    QTest::newRow("true") << "{B}" << QByteArray(1, '\x02') << "true";
    QTest::newRow("signed 16") << "{S2}" << QByteArray("\xc0\xff", 2) << "-64";
    QTest::newRow("unsigned 16") << "{U2}" << QByteArray("\xc0\xff", 2) << "65472";
    QTest::newRow("signed 8") << "{S1}" << QByteArray("\x80", 1) << "-128";
    QTest::newRow("unsigned 64") << "{U8}" << QByteArray(8, '\xff') << "18446744073709551615";
    QTest::newRow("signed 64") << "{S8}" << QByteArray(8, '\xff') << "-1";
}

void tst_UVCType::formatting()
{
    QFETCH(QString, type);
    QFETCH(QByteArray, bytes);
    QFETCH(QString, text);

    const auto t = UVCType::uvcTypeWithCString(type.toUtf8().constData());
    QVERIFY(t);
    QCOMPARE(QString::fromStdString(*t->stringFromBuffer(bytes.constData())), text);
}

void tst_UVCType::descriptions()
{
    const auto record = UVCType::uvcTypeWithCString("{U2 blue; U2 red}");
    const auto single = UVCType::uvcTypeWithCString("{S2}");
    QVERIFY(record && single);

    QString text = QString::fromStdString(record->description());
    text.replace(QRegularExpression("@0x[0-9a-f]+"), "@P");
    QCOMPARE(text, QString("UVCType@P { field-count: 2; byte-size: 4; needs-byte-swap: no; fields: "
                           "{ U2 blue; U2 red; } }"));
    QCOMPARE(QString::fromStdString(single->typeSummaryString()),
             QString("    single value, signed 16-bit integer\n"));
    QCOMPARE(QString::fromStdString(record->typeSummaryString()),
             QString("    unsigned 16-bit integer          blue;\n"
                     "    unsigned 16-bit integer          red;\n"));

    // A field with the invalid code can be built from arrays but not formatted.
    const char *names[] = { "x" };
    const uint32_t codes[] = { 0 };
    const auto invalid = UVCType::uvcTypeWithFieldCount(1, names, codes);
    QVERIFY(invalid);
    const uint8_t byte = 0;
    QVERIFY(!invalid->stringFromBuffer(&byte));
}

QTEST_GUILESS_MAIN(tst_UVCType)
#include "tst_uvctype.moc"
