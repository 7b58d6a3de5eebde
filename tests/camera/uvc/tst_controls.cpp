#include "camera/uvc/controls.h"
#include "camera/uvc/uvccontrol.h"
#include "camera/uvc/uvcvalue.h"

#include <QRegularExpression>
#include <QtTest>

using Sim = SimulatedUVCCamera;

class tst_Controls : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanup();
    void emptyListEnumeratesAgain();
    void devicesMatchByNameAndLocation();
    void readRecord_data();
    void readRecord();
    void writeWithCompanion_data();
    void writeWithCompanion();
    void refusedCompanionStopsTheWrite();
    void exposureModeBitmap_data();
    void exposureModeBitmap();
    void invalidText();
    void unpluggedCamera();
    void valueConversions();
    void simulatedCameraListsTheGrabberControls();

private:
    std::shared_ptr<Sim> add(uint32_t locationId, const char *name = "Talvento Camera Pro");
    uvc::Device device(const std::shared_ptr<Sim> &camera) const;
    std::vector<std::shared_ptr<Sim>> m_cameras;
};

// The product camera's model at another location, registered for one test.
std::shared_ptr<Sim> tst_Controls::add(uint32_t locationId, const char *name)
{
    const auto model = Sim::talventoCameraPro();
    Sim::Config config = model->config();
    config.locationId = locationId;
    config.name = name;
    auto camera = model->cloneAs(config);
    UVCDeviceSources::add(camera);
    m_cameras.push_back(camera);
    return camera;
}

uvc::Device tst_Controls::device(const std::shared_ptr<Sim> &camera) const
{
    return { QString::fromStdString(*camera->config().name), camera->config().locationId,
             camera->config().vendorId, camera->config().productId };
}

// SET_CUR requests a camera accepted or refused: (selector, payload) pairs.
static QList<QPair<int, QByteArray>> writes(const std::shared_ptr<Sim> &camera)
{
    QList<QPair<int, QByteArray>> out;
    for (const auto &r : camera->requests()) {
        if (r.bRequest == UVCRequestCode::SetCur) {
            out.append({ r.wValue >> 8, QByteArray(reinterpret_cast<const char *>(r.payload.data()),
                                                   qsizetype(r.payload.size())) });
        }
    }
    return out;
}

void tst_Controls::initTestCase()
{
    UVCDeviceSources::setHardwareEnabled(false);
}

void tst_Controls::cleanup()
{
    for (const auto &camera : m_cameras) {
        UVCDeviceSources::remove(camera);
    }
    m_cameras.clear();
    uvc::useSimulatedDevices(false);
    uvc::reset();
}

void tst_Controls::emptyListEnumeratesAgain()
{
    QVERIFY(uvc::listDevices().isEmpty());
    add(0x01200000);
    // Nothing was cached, so the camera is seen without a reset.
    QCOMPARE(uvc::listDevices().size(), 1);
    add(0x01300000);
    QCOMPARE(uvc::listDevices().size(), 1); // cached until reset
    uvc::reset();
    QCOMPARE(uvc::listDevices().size(), 2);
}

void tst_Controls::devicesMatchByNameAndLocation()
{
    auto first = add(0x01200000);
    auto second = add(0x01300000);
    const QList<uvc::Device> devices = uvc::listDevices();
    QCOMPARE(devices.size(), 2);
    QCOMPARE(devices[1].name, QString("Talvento Camera Pro"));
    QCOMPARE(devices[1].locationId, 0x01300000u);
    QCOMPARE(devices[1].vendorId, uint16_t(0x1209));

    uvc::Device target = devices[1];
    target.name = "TALVENTO camera pro";
    target.vendorId = 0; // not compared
    QVERIFY(uvc::setControl(target, uvc::controls::names::brightness, 12, false));
    QCOMPARE(second->currentInteger(2, 2), std::optional<int64_t>(12));
    QCOMPARE(first->currentInteger(2, 2), std::optional<int64_t>(0));

    uvc::Device elsewhere = devices[1];
    elsewhere.locationId = 0x01400000;
    QVERIFY(!uvc::getControl(elsewhere, uvc::controls::names::brightness));
    QVERIFY(!uvc::setControl(elsewhere, uvc::controls::names::brightness, 1, false));
    uvc::Device renamed = devices[1];
    renamed.name = "Other Camera";
    QVERIFY(!uvc::getControl(renamed, uvc::controls::names::brightness));
}

void tst_Controls::readRecord_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("autoName");
    QTest::addColumn<QList<qint64>>("numbers"); // minimum, maximum, step, default, value
    QTest::addColumn<int>("autoValue");         // -1 absent, 0 off, 1 on

    using L = QList<qint64>;
    QTest::newRow("brightness, no companion") << "brightness" << "" << L { -64, 64, 1, 0, 0 } << -1;
    QTest::newRow("white balance with its auto- companion")
        << "white-balance-temp" << "" << L { 2800, 6500, 1, 4600, 4600 } << 1;
    QTest::newRow("focus with an explicit companion") << "focus-abs" << "auto-focus" << L { 0, 1023, 1, 0, 0 } << 1;
    QTest::newRow("exposure time") << "exposure-time-abs" << "" << L { 3, 2041, 1, 166, 166 } << -1;
    QTest::newRow("power line") << "power-line-frequency" << "" << L { 0, 2, 1, 0, 0 } << -1;
}

void tst_Controls::readRecord()
{
    QFETCH(QString, name);
    QFETCH(QString, autoName);
    QFETCH(QList<qint64>, numbers);
    QFETCH(int, autoValue);

    auto camera = add(0x01200000);
    const std::optional<uvc::Control> c = uvc::getControl(device(camera), name, autoName);
    QVERIFY(c);
    QCOMPARE(c->name, name);
    QCOMPARE((QList<qint64> { c->minimum, c->maximum, c->step, c->defaultValue, c->value }), numbers);
    QCOMPARE(c->autoValue ? int(*c->autoValue) : -1, autoValue);
    QVERIFY(!uvc::getControl(device(camera), "gain")); // the camera has none
}

void tst_Controls::writeWithCompanion_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("value");
    QTest::addColumn<bool>("autoMode");
    QTest::addColumn<QString>("autoName");
    QTest::addColumn<QList<int>>("selectors"); // of the SET_CUR requests, in order
    QTest::addColumn<QList<QByteArray>>("payloads");

    using S = QList<int>;
    using P = QList<QByteArray>;
    QTest::newRow("automatic focus: only the companion is written")
        << "focus-abs" << 300 << true << "auto-focus" << S { 8 } << P { QByteArray(1, 1) };
    QTest::newRow("manual focus: companion off, then the value")
        << "focus-abs" << 300 << false << "auto-focus" << S { 8, 6 } << P { QByteArray(1, 0), QByteArray("\x2c\x01", 2) };
    QTest::newRow("brightness without a companion")
        << "brightness" << 10 << false << "" << S { 2 } << P { QByteArray("\x0a\x00", 2) };
    QTest::newRow("automatic brightness does nothing") << "brightness" << 10 << true << "" << S {} << P {};
    QTest::newRow("white balance, auto- name formed")
        << "white-balance-temp" << 5000 << false << "" << S { 11, 10 } << P { QByteArray(1, 0), QByteArray("\x88\x13", 2) };
    QTest::newRow("value clamped to the range")
        << "saturation" << 500 << false << "" << S { 7 } << P { QByteArray("\x64\x00", 2) };
}

void tst_Controls::writeWithCompanion()
{
    QFETCH(QString, name);
    QFETCH(int, value);
    QFETCH(bool, autoMode);
    QFETCH(QString, autoName);
    QFETCH(QList<int>, selectors);
    QFETCH(QList<QByteArray>, payloads);

    auto camera = add(0x01200000);
    QVERIFY(uvc::listDevices().size() == 1);
    camera->clearRequests();
    QVERIFY(uvc::setControl(device(camera), name, value, autoMode, autoName));
    const auto sent = writes(camera);
    QCOMPARE(sent.size(), selectors.size());
    for (int i = 0; i < sent.size(); ++i) {
        QCOMPARE(sent[i].first, selectors[i]);
        QCOMPARE(sent[i].second, payloads[i]);
    }
}

void tst_Controls::refusedCompanionStopsTheWrite()
{
    auto camera = add(0x01200000);
    Sim::Control autoFocus = *camera->control(1, 8);
    autoFocus.info = 0x01; // readable, not settable
    camera->setControl(1, 8, autoFocus);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("unable to write new value to control"));
    QVERIFY(!uvc::setControl(device(camera), uvc::controls::names::focus, 300, false, uvc::controls::names::autoFocus));
    QCOMPARE(camera->currentInteger(1, 6), std::optional<int64_t>(0));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("unable to write new value to control"));
    QCOMPARE(uvc::setAuto(uvc::controllerFor(device(camera)).get(), "focus-abs", true, "auto-focus"),
             std::optional<bool>(false));
    QCOMPARE(uvc::setAuto(uvc::controllerFor(device(camera)).get(), "zoom-abs", true, ""), std::nullopt);
}

void tst_Controls::exposureModeBitmap_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<int>("stored");

    // The camera offers manual (1) and aperture priority (8); the step is the mask.
    QTest::newRow("aperture priority") << 8 << true << 8;
    QTest::newRow("manual") << 1 << true << 1;
    QTest::newRow("full auto is not offered") << 2 << false << 8;
}

void tst_Controls::exposureModeBitmap()
{
    QFETCH(int, mode);
    QFETCH(bool, ok);
    QFETCH(int, stored);

    auto camera = add(0x01200000);
    if (!ok) {
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("unable to write new value to control"));
    }
    QCOMPARE(uvc::setControl(device(camera), uvc::controls::names::exposureMode, mode, false), ok);
    QCOMPARE(camera->currentInteger(1, 2), std::optional<int64_t>(stored));
}

void tst_Controls::invalidText()
{
    auto camera = add(0x01200000);
    auto controller = uvc::controllerFor(device(camera));
    QVERIFY(controller);
    auto control = controller->controlWithName("brightness");
    camera->clearRequests();
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("invalid value for control"));
    QVERIFY(!uvc::setValue(control.get(), "brightness", "bright"));
    QVERIFY(writes(camera).isEmpty());
    QVERIFY(uvc::setValue(control.get(), "brightness", "maximum"));
    QCOMPARE(camera->currentInteger(2, 2), std::optional<int64_t>(64));
    QVERIFY(!uvc::setLongValue(controller.get(), "gain", 3));
}

void tst_Controls::unpluggedCamera()
{
    auto camera = add(0x01200000);
    QVERIFY(uvc::getControl(device(camera), uvc::controls::names::contrast));
    camera->setConnected(false);
    // Still cached, but every request fails: no made-up value is reported.
    QCOMPARE(uvc::listDevices().size(), 1);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("unable to read"));
    QVERIFY(!uvc::getControl(device(camera), uvc::controls::names::contrast));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("unable to write new value"));
    QVERIFY(!uvc::setControl(device(camera), uvc::controls::names::contrast, 5, false));
}

void tst_Controls::valueConversions()
{
    auto record = UVCValue::uvcValueWithType(UVCType::uvcTypeWithCString("{S4 pan; S4 tilt}"));
    QTest::ignoreMessage(QtWarningMsg, "Unsupported value type with field count > 1");
    QCOMPARE(uvc::valueFrom(record.get()), 0L);
    QTest::ignoreMessage(QtWarningMsg, "Unsupported value type with field count > 1");
    QCOMPARE(uvc::boolValueFrom(record.get()), std::nullopt);
    QCOMPARE(uvc::valueFrom(nullptr), 0L);
    QCOMPARE(uvc::boolValueFrom(nullptr), std::nullopt);

    auto flag = UVCValue::uvcValueWithType(UVCType::uvcTypeWithCString("{B}"));
    QVERIFY(flag->scanCString("yes", 0));
    QCOMPARE(uvc::boolValueFrom(flag.get()), std::optional<bool>(true));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("Failed to convert value to long:.*true"));
    QCOMPARE(uvc::valueFrom(flag.get()), 0L);

    auto number = UVCValue::uvcValueWithType(UVCType::uvcTypeWithCString("{U1}"));
    QVERIFY(number->scanCString("1", 0));
    QCOMPARE(uvc::boolValueFrom(number.get()), std::optional<bool>(false)); // numbers never read as on
    auto wide = UVCValue::uvcValueWithType(UVCType::uvcTypeWithCString("{S4}"));
    QVERIFY(wide->scanCString("-2000000", 0));
    QCOMPARE(uvc::valueFrom(wide.get()), -2000000L);
}

void tst_Controls::simulatedCameraListsTheGrabberControls()
{
    uvc::useSimulatedDevices(true);
    QVERIFY(uvc::simulatedDevicesInUse());
    const QList<uvc::Device> devices = uvc::listDevices();
    QCOMPARE(devices.size(), 1);
    QCOMPARE(devices[0].name, QString(uvc::simulatedCameraName));
    QCOMPARE(devices[0].locationId, uvc::simulatedCameraLocationId);

    auto controller = uvc::controllerFor(devices[0]);
    QStringList names;
    for (const uvc::Control &c : uvc::listControls(controller.get())) {
        names.append(c.name);
    }
    names.sort();
    using namespace uvc::controls;
    QStringList expected { names::brightness, names::contrast, names::saturation, names::sharpness,
                           names::zoom, names::focus, names::whiteBalance, names::exposureTime,
                           names::backlightCompensation, names::powerLine };
    expected.sort();
    QCOMPARE(names, expected);

    uvc::useSimulatedDevices(false);
    QVERIFY(uvc::listDevices().isEmpty());
}

QTEST_GUILESS_MAIN(tst_Controls)
#include "tst_controls.moc"
