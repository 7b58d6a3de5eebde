#include "camera/uvc/simulateduvccamera.h"
#include "camera/uvc/uvcdescriptors.h"

#include <QtTest>

#include <memory>

// Runs in a normal build and, as tst_uvcdescriptors_asan, under AddressSanitizer:
// each case is copied into a heap block of exactly its size, so any read past
// the descriptor data is reported.
class tst_UVCDescriptors : public QObject
{
    Q_OBJECT
private slots:
    void walk_data();
    void walk();
    void everyTruncationIsSafe();
    void locationId_data();
    void locationId();
};

using Bytes = QByteArray;

static Bytes bytes(std::initializer_list<int> list)
{
    Bytes b;
    for (int v : list) {
        b.append(char(v));
    }
    return b;
}

static Bytes fromVector(const std::vector<uint8_t> &v)
{
    return Bytes(reinterpret_cast<const char *>(v.data()), qsizetype(v.size()));
}

static UVCVideoControlUnits parseExact(const Bytes &data)
{
    std::unique_ptr<uint8_t[]> exact(new uint8_t[size_t(std::max<qsizetype>(data.size(), 1))]);
    std::memcpy(exact.get(), data.constData(), size_t(data.size()));
    return parseVideoControlDescriptors(exact.get(), size_t(data.size()));
}

// The layout of a widely sold 1080p webcam: UVC 1.0 header, camera terminal
// with 3 control bytes, processing unit 3 with 2 bytes, two extension units,
// output terminal.
static Bytes webcam10()
{
    Bytes header = bytes({ 13, 0x24, 1, 0x00, 0x01, 0, 0, 0x80, 0x8D, 0x5B, 0x00, 1, 1 });
    Bytes units = bytes({ 18, 0x24, 2, 1, 0x01, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 3, 0x2A, 0x02, 0x02 })
        + bytes({ 11, 0x24, 5, 3, 1, 0, 0x40, 2, 0x5B, 0x15, 0 });
    for (int id : { 4, 5 }) {
        Bytes xu = bytes({ 27, 0x24, 6, id });
        xu += Bytes(16, char(0x11 * id));
        xu += bytes({ 8, 1, 3, 2, 0xFF, 0x03, 0 });
        units += xu;
    }
    units += bytes({ 9, 0x24, 3, 6, 0x01, 0x01, 0, 5, 0 });
    const int total = int(header.size() + units.size());
    header[5] = char(total & 0xFF);
    header[6] = char(total >> 8);
    return header + units;
}

void tst_UVCDescriptors::walk_data()
{
    QTest::addColumn<Bytes>("data");
    QTest::addColumn<bool>("hasHeader");
    QTest::addColumn<int>("version");
    QTest::addColumn<int>("processingUnitId"); // -1: none found
    QTest::addColumn<Bytes>("processingBits");
    QTest::addColumn<Bytes>("terminalBits");

    const Bytes pu2 = bytes({ 0x5B, 0x15 });
    const Bytes it3 = bytes({ 0x2A, 0x02, 0x02 });
    const Bytes none;

    QTest::newRow("UVC 1.0 webcam") << webcam10() << true << 0x0100 << 3 << pu2 << it3;
    QTest::newRow("UVC 1.1 layout")
        << fromVector(SimulatedUVCCamera::videoControlDescriptors(0x0110, { 0x2A, 0x02, 0x02 }, 2, { 0x5B, 0x15 }))
        << true << 0x0110 << 2 << pu2 << it3;
    QTest::newRow("UVC 1.5 layout, 3-byte processing bitmap")
        << fromVector(SimulatedUVCCamera::videoControlDescriptors(0x0150, { 0xFF, 0xFF, 0x3F }, 7, { 0xFF, 0xFF, 0x07 }))
        << true << 0x0150 << 7 << bytes({ 0xFF, 0xFF, 0x07 }) << bytes({ 0xFF, 0xFF, 0x3F });

    Bytes leading = bytes({ 9, 0x05, 0x81, 3, 8, 0, 10, 0, 0 }) + webcam10(); // a non-class descriptor first
    QTest::newRow("other descriptor before the header") << leading << true << 0x0100 << 3 << pu2 << it3;

    Bytes notHeader = webcam10().mid(13); // the camera terminal comes first
    QTest::newRow("first class descriptor is not a header") << notHeader << false << 0 << -1 << none << none;
    QTest::newRow("empty") << Bytes() << false << 0 << -1 << none << none;
    QTest::newRow("one byte") << bytes({ 13 }) << false << 0 << -1 << none << none;
    QTest::newRow("header shorter than its fields") << bytes({ 5, 0x24, 1, 0x00, 0x01 }) << false << 0 << -1 << none << none;

    Bytes zeroLength = webcam10();
    zeroLength[13 + 18] = 0; // the processing unit's length byte
    QTest::newRow("zero length ends the walk") << zeroLength << true << 0x0100 << -1 << none << it3;

    Bytes huge = webcam10();
    huge[5] = char(0xFF);
    huge[6] = char(0xFF);
    QTest::newRow("wTotalLength past the data") << huge << true << 0x0100 << 3 << pu2 << it3;

    Bytes shortTotal = webcam10();
    shortTotal[5] = char(13 + 18 + 5);
    shortTotal[6] = 0;
    QTest::newRow("wTotalLength ends inside a unit") << shortTotal << true << 0x0100 << -1 << none << it3;

    QTest::newRow("truncated inside the processing unit")
        << webcam10().left(13 + 18 + 9) << true << 0x0100 << -1 << none << it3;

    Bytes oversizedBitmap = webcam10();
    oversizedBitmap[13 + 18 + 7] = char(40); // bControlSize past the descriptor
    QTest::newRow("control size past the descriptor") << oversizedBitmap << true << 0x0100 << -1 << none << it3;

    Bytes connector = bytes({ 13, 0x24, 1, 0x00, 0x01, 21, 0, 0, 0, 0, 0, 1, 1 })
        + bytes({ 8, 0x24, 2, 1, 0x01, 0x04, 0, 0 }); // composite input, no camera fields
    QTest::newRow("input terminal that is not a camera") << connector << true << 0x0100 << -1 << none << none;

    Bytes twoUnits = webcam10();
    twoUnits.insert(13 + 18 + 11, bytes({ 11, 0x24, 5, 9, 1, 0, 0, 2, 0x01, 0x00, 0 }));
    const int total = twoUnits.size();
    twoUnits[5] = char(total & 0xFF);
    twoUnits[6] = char(total >> 8);
    QTest::newRow("a later processing unit replaces the first") << twoUnits << true << 0x0100 << 9
                                                               << bytes({ 0x01, 0x00 }) << it3;
}

void tst_UVCDescriptors::walk()
{
    QFETCH(Bytes, data);
    QFETCH(bool, hasHeader);
    QFETCH(int, version);
    QFETCH(int, processingUnitId);
    QFETCH(Bytes, processingBits);
    QFETCH(Bytes, terminalBits);

    const UVCVideoControlUnits units = parseExact(data);
    QCOMPARE(units.hasHeader, hasHeader);
    QCOMPARE(int(units.uvcVersion), version);
    QCOMPARE(units.processingUnitId ? int(*units.processingUnitId) : -1, processingUnitId);
    QCOMPARE(units.processingUnitControls ? fromVector(*units.processingUnitControls) : Bytes(), processingBits);
    QCOMPARE(units.terminalControls ? fromVector(*units.terminalControls) : Bytes(), terminalBits);
}

void tst_UVCDescriptors::everyTruncationIsSafe()
{
    // Cut a real layout at every length and flip every byte to 0 and 0xFF:
    // the walk must stay inside the data (the sanitizer build checks that) and
    // never report a unit whose descriptor is not wholly present.
    const Bytes full = fromVector(SimulatedUVCCamera::videoControlDescriptors(0x0150, { 1, 2, 3 }, 2, { 4, 5, 6 }));
    for (int n = 0; n <= full.size(); ++n) {
        const UVCVideoControlUnits units = parseExact(full.left(n));
        if (units.processingUnitControls) {
            QVERIFY(n >= 13 + 18 + 13);
        }
    }
    for (int i = 0; i < full.size(); ++i) {
        for (char v : { char(0), char(0xFF) }) {
            Bytes changed = full;
            changed[i] = v;
            parseExact(changed);
        }
    }
}

void tst_UVCDescriptors::locationId_data()
{
    QTest::addColumn<int>("bus");
    QTest::addColumn<Bytes>("ports");
    QTest::addColumn<uint>("expected");

    QTest::newRow("bus 1, port 2") << 1 << bytes({ 2 }) << 0x01200000u;
    QTest::newRow("behind a hub") << 3 << bytes({ 1, 4, 2 }) << 0x03142000u;
    QTest::newRow("root hub itself") << 2 << Bytes() << 0x02000000u;
    QTest::newRow("six levels") << 0x14 << bytes({ 1, 2, 3, 4, 5, 6 }) << 0x14123456u;
    QTest::newRow("seventh level dropped") << 1 << bytes({ 1, 2, 3, 4, 5, 6, 7 }) << 0x01123456u;
}

void tst_UVCDescriptors::locationId()
{
    QFETCH(int, bus);
    QFETCH(Bytes, ports);
    QFETCH(uint, expected);
    QCOMPARE(uvcLocationId(uint8_t(bus), reinterpret_cast<const uint8_t *>(ports.constData()), int(ports.size())),
             uint32_t(expected));
}

QTEST_GUILESS_MAIN(tst_UVCDescriptors)
#include "tst_uvcdescriptors.moc"
