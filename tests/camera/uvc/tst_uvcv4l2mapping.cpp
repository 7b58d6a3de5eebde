#include "camera/uvc/uvcv4l2mapping.h"

#include <linux/videodev2.h>

#include <QtTest>

// No camera exists on the build machines: these check the translation between
// UVC requests and V4L2 ioctl arguments in both directions.
class tst_UVCV4L2Mapping : public QObject
{
    Q_OBJECT
private slots:
    void requestToCall_data();
    void requestToCall();
    void queryToReply_data();
    void queryToReply();
    void valueToReply_data();
    void valueToReply();
    void exposureModeRoundTrip();
};

Q_DECLARE_METATYPE(V4L2Operation)

static UVCRequest request(uint8_t bRequest, uint8_t unit, uint8_t selector, QByteArray &data)
{
    const uint8_t type = bRequest == UVCRequestCode::SetCur ? UVCRequestCode::TypeSet : UVCRequestCode::TypeGet;
    return UVCRequest { type, bRequest, uint16_t(selector << 8), uint16_t(unit << 8 | 0),
                        uint16_t(data.size()), reinterpret_cast<uint8_t *>(data.data()) };
}

void tst_UVCV4L2Mapping::requestToCall_data()
{
    QTest::addColumn<int>("bRequest");
    QTest::addColumn<int>("unit");
    QTest::addColumn<int>("selector");
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<bool>("mapped");
    QTest::addColumn<V4L2Operation>("operation");
    QTest::addColumn<uint>("id");
    QTest::addColumn<int>("value");

    const auto Q = V4L2Operation::QueryControl, G = V4L2Operation::GetControl, S = V4L2Operation::SetControl;
    // The processing unit is unit 2 here.
    QTest::newRow("brightness info") << 0x86 << 2 << 2 << QByteArray(1, 0) << true << Q << uint(V4L2_CID_BRIGHTNESS) << 0;
    QTest::newRow("brightness minimum") << 0x82 << 2 << 2 << QByteArray(2, 0) << true << Q << uint(V4L2_CID_BRIGHTNESS) << 0;
    QTest::newRow("brightness current") << 0x81 << 2 << 2 << QByteArray(2, 0) << true << G << uint(V4L2_CID_BRIGHTNESS) << 0;
    QTest::newRow("brightness set -64") << 0x01 << 2 << 2 << QByteArray("\xc0\xff", 2) << true << S << uint(V4L2_CID_BRIGHTNESS) << -64;
    QTest::newRow("contrast set 65000 stays unsigned") << 0x01 << 2 << 3 << QByteArray("\xe8\xfd", 2) << true << S << uint(V4L2_CID_CONTRAST) << 65000;
    QTest::newRow("exposure time set") << 0x01 << 1 << 4 << QByteArray("\xf9\x07\x00\x00", 4) << true << S << uint(V4L2_CID_EXPOSURE_ABSOLUTE) << 2041;
    QTest::newRow("white balance get") << 0x81 << 2 << 10 << QByteArray(2, 0) << true << G << uint(V4L2_CID_WHITE_BALANCE_TEMPERATURE) << 0;
    QTest::newRow("auto white balance") << 0x01 << 2 << 11 << QByteArray(1, 1) << true << S << uint(V4L2_CID_AUTO_WHITE_BALANCE) << 1;
    QTest::newRow("power line 60 Hz") << 0x01 << 2 << 5 << QByteArray(1, 2) << true << S << uint(V4L2_CID_POWER_LINE_FREQUENCY) << 2;
    QTest::newRow("auto focus") << 0x81 << 1 << 8 << QByteArray(1, 0) << true << G << uint(V4L2_CID_FOCUS_AUTO) << 0;
    QTest::newRow("zoom") << 0x84 << 1 << 11 << QByteArray(2, 0) << true << Q << uint(V4L2_CID_ZOOM_ABSOLUTE) << 0;
    QTest::newRow("exposure mode manual") << 0x01 << 1 << 2 << QByteArray(1, 1) << true << S << uint(V4L2_CID_EXPOSURE_AUTO) << int(V4L2_EXPOSURE_MANUAL);
    QTest::newRow("exposure mode aperture priority") << 0x01 << 1 << 2 << QByteArray(1, 8) << true << S << uint(V4L2_CID_EXPOSURE_AUTO) << int(V4L2_EXPOSURE_APERTURE_PRIORITY);
    QTest::newRow("exposure mode auto") << 0x01 << 1 << 2 << QByteArray(1, 2) << true << S << uint(V4L2_CID_EXPOSURE_AUTO) << int(V4L2_EXPOSURE_AUTO);
    QTest::newRow("two modes at once") << 0x01 << 1 << 2 << QByteArray(1, 9) << false << S << 0u << 0;
    QTest::newRow("unknown mode bit") << 0x01 << 1 << 2 << QByteArray(1, 0x10) << false << S << 0u << 0;
    QTest::newRow("wrong length") << 0x81 << 2 << 2 << QByteArray(1, 0) << false << G << 0u << 0;
    QTest::newRow("info of two bytes") << 0x86 << 2 << 2 << QByteArray(2, 0) << false << Q << 0u << 0;
    QTest::newRow("record control") << 0x81 << 1 << 13 << QByteArray(8, 0) << false << G << 0u << 0;
    QTest::newRow("unmapped selector") << 0x81 << 1 << 15 << QByteArray(2, 0) << false << G << 0u << 0;
    QTest::newRow("unit that is neither") << 0x81 << 7 << 2 << QByteArray(2, 0) << false << G << 0u << 0;
    QTest::newRow("GET_LEN") << 0x85 << 2 << 2 << QByteArray(2, 0) << false << G << 0u << 0;
}

void tst_UVCV4L2Mapping::requestToCall()
{
    QFETCH(int, bRequest);
    QFETCH(int, unit);
    QFETCH(int, selector);
    QFETCH(QByteArray, payload);
    QFETCH(bool, mapped);
    QFETCH(V4L2Operation, operation);
    QFETCH(uint, id);
    QFETCH(int, value);

    const UVCRequest r = request(uint8_t(bRequest), uint8_t(unit), uint8_t(selector), payload);
    const std::optional<V4L2Call> call = v4l2CallForRequest(r, 2);
    QCOMPARE(call.has_value(), mapped);
    if (mapped) {
        QCOMPARE(call->operation, operation);
        QCOMPARE(call->control.id, uint32_t(id));
        QCOMPARE(call->value, value);
    }
}

void tst_UVCV4L2Mapping::queryToReply_data()
{
    QTest::addColumn<int>("bRequest");
    QTest::addColumn<int>("selector"); // processing unit except 2 (exposure mode)
    QTest::addColumn<int>("length");
    QTest::addColumn<uint>("flags");
    QTest::addColumn<uint>("menuMask");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QByteArray>("reply");

    // The query answer used by every row: minimum -64, maximum 2041, step 2, default 3.
    QTest::newRow("info, plain") << 0x86 << 2 << 1 << 0u << 0u << true << QByteArray(1, 0x03);
    QTest::newRow("info, read-only") << 0x86 << 2 << 1 << uint(V4L2_CTRL_FLAG_READ_ONLY) << 0u << true << QByteArray(1, 0x01);
    QTest::newRow("info, inactive under auto") << 0x86 << 2 << 1 << uint(V4L2_CTRL_FLAG_INACTIVE) << 0u << true << QByteArray(1, 0x07);
    QTest::newRow("info, volatile") << 0x86 << 2 << 1 << uint(V4L2_CTRL_FLAG_VOLATILE) << 0u << true << QByteArray(1, 0x0B);
    QTest::newRow("info, disabled control") << 0x86 << 2 << 1 << uint(V4L2_CTRL_FLAG_DISABLED) << 0u << false << QByteArray();
    QTest::newRow("minimum, signed 16") << 0x82 << 2 << 2 << 0u << 0u << true << QByteArray("\xc0\xff", 2);
    QTest::newRow("maximum") << 0x83 << 2 << 2 << 0u << 0u << true << QByteArray("\xf9\x07", 2);
    QTest::newRow("resolution") << 0x84 << 2 << 2 << 0u << 0u << true << QByteArray("\x02\x00", 2);
    QTest::newRow("default") << 0x87 << 2 << 2 << 0u << 0u << true << QByteArray("\x03\x00", 2);
    QTest::newRow("mode bitmap has no minimum") << 0x82 << -2 << 1 << 0u << 0x0Au << false << QByteArray();
    QTest::newRow("mode resolution lists modes") << 0x84 << -2 << 1 << 0u << 0x0Au << true << QByteArray(1, 0x09);
    QTest::newRow("all four modes") << 0x84 << -2 << 1 << 0u << 0x0Fu << true << QByteArray(1, 0x0F);
    QTest::newRow("mode default aperture priority") << 0x87 << -2 << 1 << 0u << 0x0Au << true << QByteArray(1, 0x08);
}

void tst_UVCV4L2Mapping::queryToReply()
{
    QFETCH(int, bRequest);
    QFETCH(int, selector);
    QFETCH(int, length);
    QFETCH(uint, flags);
    QFETCH(uint, menuMask);
    QFETCH(bool, ok);
    QFETCH(QByteArray, reply);

    QByteArray data(length, char(0x55));
    const bool exposureMode = selector < 0;
    const UVCRequest r0 = request(uint8_t(bRequest), exposureMode ? 1 : 2, uint8_t(std::abs(selector)), data);
    const auto call = v4l2CallForRequest(r0, 2);
    QVERIFY(call);
    QCOMPARE(call->operation, V4L2Operation::QueryControl);
    UVCRequest r = r0;
    const V4L2ControlInfo info { -64, 2041, 2, 3, flags, menuMask };
    QCOMPARE(uvcReplyFromQuery(r, *call, info), ok);
    if (ok) {
        QCOMPARE(data, reply);
    }
}

void tst_UVCV4L2Mapping::valueToReply_data()
{
    QTest::addColumn<int>("selector"); // negative: terminal exposure mode
    QTest::addColumn<int>("value");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QByteArray>("reply");

    QTest::newRow("brightness -5") << 2 << -5 << true << QByteArray("\xfb\xff", 2);
    QTest::newRow("saturation 52") << 7 << 52 << true << QByteArray("\x34\x00", 2);
    QTest::newRow("mode manual") << -2 << int(V4L2_EXPOSURE_MANUAL) << true << QByteArray(1, 0x01);
    QTest::newRow("mode auto") << -2 << int(V4L2_EXPOSURE_AUTO) << true << QByteArray(1, 0x02);
    QTest::newRow("mode shutter priority") << -2 << int(V4L2_EXPOSURE_SHUTTER_PRIORITY) << true << QByteArray(1, 0x04);
    QTest::newRow("mode unknown to UVC") << -2 << 7 << false << QByteArray();
}

void tst_UVCV4L2Mapping::valueToReply()
{
    QFETCH(int, selector);
    QFETCH(int, value);
    QFETCH(bool, ok);
    QFETCH(QByteArray, reply);

    QByteArray data(selector < 0 ? 1 : 2, char(0x55));
    UVCRequest r = request(UVCRequestCode::GetCur, selector < 0 ? 1 : 2, uint8_t(std::abs(selector)), data);
    const auto call = v4l2CallForRequest(r, 2);
    QVERIFY(call);
    QCOMPARE(call->operation, V4L2Operation::GetControl);
    QCOMPARE(uvcReplyFromValue(r, *call, value), ok);
    if (ok) {
        QCOMPARE(data, reply);
    }
}

void tst_UVCV4L2Mapping::exposureModeRoundTrip()
{
    // Writing a mode and reading it back through the driver gives the same bit.
    for (uint8_t bit : { 1, 2, 4, 8 }) {
        QByteArray out(1, char(bit));
        const auto set = v4l2CallForRequest(request(UVCRequestCode::SetCur, 1, 2, out), 2);
        QVERIFY(set);
        QByteArray in(1, 0);
        UVCRequest get = request(UVCRequestCode::GetCur, 1, 2, in);
        QVERIFY(uvcReplyFromValue(get, *v4l2CallForRequest(get, 2), set->value));
        QCOMPARE(uint8_t(in[0]), bit);
    }
}

QTEST_GUILESS_MAIN(tst_UVCV4L2Mapping)
#include "tst_uvcv4l2mapping.moc"
