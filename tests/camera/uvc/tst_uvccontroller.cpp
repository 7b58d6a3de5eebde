#include "camera/uvc/simulateduvccamera.h"
#include "camera/uvc/uvccontrol.h"
#include "camera/uvc/uvccontroller.h"
#include "camera/uvc/uvctype.h"
#include "camera/uvc/uvcvalue.h"

#include <QRegularExpression>
#include <QtTest>

using Sim = SimulatedUVCCamera;

class tst_UVCController : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanup();
    void controlTable();
    void requestLayout_data();
    void requestLayout();
    void withoutHeaderEveryControlIsTried();
    void bitmapDecidesAvailability_data();
    void bitmapDecidesAvailability();
    void unavailableVerdictIsCached();
    void capabilitiesFollowAnswers();
    void readAndWrite();
    void openAndClose_data();
    void openAndClose();
    void enumeration();
    void descriptions();

private:
    std::shared_ptr<Sim> m_registered[2];
};

// A camera with a processing unit of id 5 on interface 3, brightness,
// exposure time and a read-only gain, plus whatever the test adds.
static std::shared_ptr<Sim> makeCamera(std::vector<uint8_t> descriptors, uint32_t locationId = 0x01200000)
{
    auto camera = Sim::create({ "Test Cam", locationId, 0x1234, 0x5678, 3, std::move(descriptors) });
    camera->setControl(5, 2, Sim::integerControl(2, Sim::Check::Signed, -64, 64, 1, 0));
    camera->setControl(1, 4, Sim::integerControl(4, Sim::Check::Unsigned, 3, 2041, 1, 166));
    camera->setControl(5, 4, Sim::integerControl(2, Sim::Check::Unsigned, 0, 100, 1, 10, 0x01));
    return camera;
}

static std::vector<uint8_t> fullDescriptors()
{
    return Sim::videoControlDescriptors(0x0100, { 0xFF, 0xFF, 0xFF }, 5, { 0xFF, 0xFF, 0xFF });
}

static std::shared_ptr<UVCController> controllerFor(const std::shared_ptr<Sim> &camera)
{
    std::vector<UVCDeviceEntry> devices = camera->uvcDevices();
    return UVCController::uvcControllerWithDevice(std::move(devices.front()));
}

void tst_UVCController::initTestCase()
{
    UVCDeviceSources::setHardwareEnabled(false);
}

void tst_UVCController::cleanup()
{
    for (auto &camera : m_registered) {
        UVCDeviceSources::remove(camera);
        camera.reset();
    }
}

void tst_UVCController::controlTable()
{
    QCOMPARE(UVCController::controlStrings().size(), size_t(39));
    QCOMPARE(UVCController::controlMapping().size(), size_t(39));
    QCOMPARE(UVCController::terminalControlEnableMapping().size(), size_t(20));
    QCOMPARE(UVCController::processingUnitControlEnableMapping().size(), size_t(19));
    QCOMPARE(UVCController::controlIndexForString("auto-contrast"), 38);
    QCOMPARE(UVCController::controlIndexForString("zoom-abs"), 10);
    QCOMPARE(UVCController::controlIndexForString("Zoom-Abs"), -1);
    QCOMPARE(UVCController::terminalControlEnableMapping().at("auto-focus"), 17);
    QCOMPARE(UVCController::processingUnitControlEnableMapping().at("backlight-compensation"), 8);
    // Every row's description parses (a bad one would end the process).
    for (int i = 0; i < UVCController::ControlCount; ++i) {
        QVERIFY(UVCController::typeForControl(i));
    }
    QCOMPARE(UVCController::typeForControl(13)->byteSize(), size_t(4));
    QCOMPARE(UVCController::typeForControl(18)->byteSize(), size_t(12));
    QCOMPARE(UVCController::typeForControl(21), UVCController::typeForControl(21)); // shared
}

void tst_UVCController::requestLayout_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("wValue");
    QTest::addColumn<int>("wIndex");
    QTest::addColumn<int>("length");

    // The processing unit's id comes from its descriptor; the terminal is always unit 1.
    QTest::newRow("processing unit 5") << "brightness" << 0x0200 << 0x0503 << 2;
    QTest::newRow("terminal unit 1") << "exposure-time-abs" << 0x0400 << 0x0103 << 4;
}

void tst_UVCController::requestLayout()
{
    QFETCH(QString, name);
    QFETCH(int, wValue);
    QFETCH(int, wIndex);
    QFETCH(int, length);

    auto camera = makeCamera(fullDescriptors());
    auto controller = controllerFor(camera);
    QVERIFY(controller);
    auto control = controller->controlWithName(name.toStdString());
    QVERIFY(control);
    QVERIFY(control->setCurrentValueFromCString("maximum", 0));
    QVERIFY(control->writeFromCurrentValue());

    struct Expected
    {
        int type, request, length;
    };
    const Expected expected[] = { { 0xA1, 0x86, 1 },      { 0xA1, 0x82, length },
                                  { 0xA1, 0x83, length }, { 0xA1, 0x84, length },
                                  { 0xA1, 0x87, length }, { 0x21, 0x01, length } };
    const auto requests = camera->requests();
    QCOMPARE(requests.size(), std::size(expected));
    for (size_t i = 0; i < requests.size(); ++i) {
        QCOMPARE(int(requests[i].bmRequestType), expected[i].type);
        QCOMPARE(int(requests[i].bRequest), expected[i].request);
        QCOMPARE(int(requests[i].wValue), wValue);
        QCOMPARE(int(requests[i].wIndex), wIndex);
        QCOMPARE(int(requests[i].wLength), expected[i].length);
        QVERIFY(requests[i].accepted);
    }
    // The payload goes out little-endian.
    const std::vector<uint8_t> max = name == "brightness" ? std::vector<uint8_t> { 64, 0 }
                                                          : std::vector<uint8_t> { 0xF9, 0x07, 0, 0 };
    QCOMPARE(requests.back().payload, max);
}

void tst_UVCController::withoutHeaderEveryControlIsTried()
{
    // No class-specific descriptors at all: the processing unit keeps id 2.
    auto camera = Sim::create({ "Bare", 1, 1, 1, 0, {} });
    camera->setControl(2, 7, Sim::integerControl(2, Sim::Check::Unsigned, 0, 100, 1, 50));
    auto controller = controllerFor(camera);
    QCOMPARE(controller->uvcVersion(), uint16_t(0));
    for (const std::string &name : UVCController::controlStrings()) {
        QVERIFY(!controller->controlIsNotAvailable(name));
    }
    QVERIFY(controller->controlWithName("saturation"));
    QVERIFY(!controller->controlWithName("contrast"));
    const auto requests = camera->requests();
    QCOMPARE(int(requests.back().bRequest), 0x86);
    QCOMPARE(int(requests.back().wIndex), 0x0200);
    QVERIFY(!requests.back().accepted);
}

void tst_UVCController::bitmapDecidesAvailability_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("available");

    QTest::newRow("brightness, bit 0 set") << "brightness" << true;
    QTest::newRow("saturation, bit 3 clear") << "saturation" << false;
    QTest::newRow("gain, bit 9 set") << "gain" << true;
    QTest::newRow("auto-contrast, bit 18 past two bytes") << "auto-contrast" << false;
    QTest::newRow("exposure-time-abs, terminal bit 3") << "exposure-time-abs" << true;
    QTest::newRow("auto-focus, terminal bit 17 past one byte") << "auto-focus" << false;
    QTest::newRow("unknown name") << "loudness" << false;
}

void tst_UVCController::bitmapDecidesAvailability()
{
    QFETCH(QString, name);
    QFETCH(bool, available);

    auto camera = makeCamera(Sim::videoControlDescriptors(0x0100, { 0x08 }, 5, { 0xF7, 0x02 }));
    auto controller = controllerFor(camera);
    QCOMPARE(controller->uvcVersion(), uint16_t(0x0100));
    QCOMPARE(controller->unitId("UVC_PROCESSING_UNIT_ID"), 5);
    QCOMPARE(!controller->controlIsNotAvailable(name.toStdString()), available);
    if (!available) {
        QVERIFY(!controller->controlWithName(name.toStdString()));
        QVERIFY(camera->requests().empty()); // decided from the descriptor alone
    }
}

void tst_UVCController::unavailableVerdictIsCached()
{
    auto camera = makeCamera(fullDescriptors());
    auto controller = controllerFor(camera);
    QVERIFY(!controller->controlWithName("hue")); // advertised, but GET_INFO stalls
    QCOMPARE(camera->requests().size(), size_t(1));
    QVERIFY(!controller->controlWithName("hue"));
    QCOMPARE(camera->requests().size(), size_t(1));

    auto first = controller->controlWithName("brightness");
    const size_t afterFirst = camera->requests().size();
    QCOMPARE(controller->controlWithName("brightness"), first);
    QCOMPARE(camera->requests().size(), afterFirst);
}

void tst_UVCController::capabilitiesFollowAnswers()
{
    auto camera = makeCamera(fullDescriptors());
    Sim::Control onlyDefault;
    onlyDefault.info = 0x0B; // get, set, auto-update
    onlyDefault.current = { 1 };
    onlyDefault.defaultValue = { 1 };
    onlyDefault.minimum = { 0 }; // a minimum without a maximum is no range
    camera->setControl(1, 8, onlyDefault);
    auto controller = controllerFor(camera);

    auto focus = controller->controlWithName("auto-focus");
    QVERIFY(focus);
    QCOMPARE(focus->capabilities(), uint32_t(0x40B));
    QVERIFY(focus->supportsGetValue() && focus->supportsSetValue() && focus->hasDefaultValue());
    QVERIFY(!focus->hasRange() && !focus->minimum() && !focus->maximum());
    QVERIFY(!focus->hasStepSize() && !focus->stepSize());

    auto gain = controller->controlWithName("gain");
    QVERIFY(gain);
    QCOMPARE(gain->capabilities(), uint32_t(0x701));
    QVERIFY(!gain->supportsSetValue());
    QCOMPARE(*gain->maximum()->stringValue(), std::string("100"));
}

void tst_UVCController::readAndWrite()
{
    auto camera = makeCamera(fullDescriptors());
    auto controller = controllerFor(camera);
    auto brightness = controller->controlWithName("brightness");
    QVERIFY(brightness);

    QVERIFY(brightness->setCurrentValueFromCString("-20", 1));
    QVERIFY(brightness->writeFromCurrentValue());
    QCOMPARE(camera->currentInteger(5, 2), std::optional<int64_t>(-20));
    QCOMPARE(*brightness->currentValue()->stringValue(), std::string("-20"));
    QVERIFY(!brightness->currentValue()->isSwappedToUSBEndian());

    // The camera's own range check: a value past it is refused.
    auto value = brightness->currentValue();
    QVERIFY(value->scanCString("100", 0));
    QVERIFY(!brightness->writeFromCurrentValue());
    QCOMPARE(camera->currentInteger(5, 2), std::optional<int64_t>(-20));

    QVERIFY(brightness->resetToDefaultValue());
    QCOMPARE(camera->currentInteger(5, 2), std::optional<int64_t>(0));

    auto gain = controller->controlWithName("gain"); // read-only
    QVERIFY(gain->setCurrentValueFromCString("50", 0));
    QVERIFY(!gain->writeFromCurrentValue());
    QCOMPARE(camera->currentInteger(5, 4), std::optional<int64_t>(10));

    camera->setConnected(false);
    QVERIFY(!brightness->currentValue());
}

void tst_UVCController::openAndClose_data()
{
    QTest::addColumn<int>("openResult");
    QTest::addColumn<bool>("requestsGoThrough");
    QTest::addColumn<int>("closesOnRelease");

    QTest::newRow("opened, kept open") << int(UVCOpenResult::Opened) << true << 0;
    QTest::newRow("exclusive access, closed on release") << int(UVCOpenResult::ExclusiveAccess) << true << 1;
    QTest::newRow("failed") << int(UVCOpenResult::Failed) << false << 0;
}

void tst_UVCController::openAndClose()
{
    QFETCH(int, openResult);
    QFETCH(bool, requestsGoThrough);
    QFETCH(int, closesOnRelease);

    auto camera = makeCamera(fullDescriptors());
    camera->setOpenResult(UVCOpenResult(openResult));
    auto controller = controllerFor(camera);
    QVERIFY(!controller->isInterfaceOpen());
    QCOMPARE(camera->openCount(), 0); // nothing happens before the first request
    QCOMPARE(bool(controller->controlWithName("brightness")), requestsGoThrough);
    QCOMPARE(controller->isInterfaceOpen(), requestsGoThrough);
    QCOMPARE(camera->requests().empty(), !requestsGoThrough);
    controller->controlWithName("exposure-time-abs");
    // Opened once and kept; a failed open is tried again on the next request.
    QCOMPARE(camera->openCount(), requestsGoThrough ? 1 : 2);
    controller.reset();
    QCOMPARE(camera->closeCount(), closesOnRelease);
}

void tst_UVCController::enumeration()
{
    QVERIFY(UVCController::uvcControllers().empty());
    m_registered[0] = makeCamera(fullDescriptors(), 0x01200000);
    m_registered[1] = makeCamera(fullDescriptors(), 0x02300000);
    UVCDeviceSources::add(m_registered[0]);
    UVCDeviceSources::add(m_registered[1]);
    UVCDeviceSources::add(m_registered[1]); // once is enough

    const auto all = UVCController::uvcControllers();
    QCOMPARE(all.size(), size_t(2));
    QCOMPARE(all[0]->locationId(), 0x01200000u);
    QCOMPARE(all[1]->locationId(), 0x02300000u);
    QCOMPARE(*all[1]->deviceName(), std::string("Test Cam"));
    QCOMPARE(all[1]->videoInterfaceIndex(), uint8_t(3));

    QCOMPARE(UVCController::uvcControllerWithLocationId(0x02300000)->locationId(), 0x02300000u);
    QVERIFY(!UVCController::uvcControllerWithLocationId(0x03000000));
    QCOMPARE(UVCController::uvcControllerWithVendorId(0x1234, 0x5678)->locationId(), 0x01200000u);
    QVERIFY(!UVCController::uvcControllerWithVendorId(0x1234, 0x0001));

    // Controllers of one camera share its state.
    all[0]->controlWithName("brightness")->resetToDefaultValue();
    auto again = UVCController::uvcControllerWithLocationId(0x01200000);
    QVERIFY(again->controlWithName("brightness")->setCurrentValueFromCString("9", 0));
    QVERIFY(again->controlWithName("brightness")->writeFromCurrentValue());
    QCOMPARE(*all[0]->controlWithName("brightness")->currentValue()->stringValue(), std::string("9"));
}

void tst_UVCController::descriptions()
{
    auto camera = makeCamera(fullDescriptors());
    auto controller = controllerFor(camera);
    QString text = QString::fromStdString(controller->description());
    text.replace(QRegularExpression("@0x[0-9a-f]+"), "@P");
    QCOMPARE(text, QString("UVCController@P { \"Test Cam\"; vendor-id=0x1234; product-id=0x5678; "
                           "location-id=0x01200000; uvc-version: 0x0100 interface-index: 3 }"));

    auto brightness = controller->controlWithName("brightness");
    QVERIFY(QString::fromStdString(controller->description()).endsWith("interface-index: 3 ; is-open }"));
    QVERIFY(brightness->readIntoCurrentValue());
    QCOMPARE(QString::fromStdString(brightness->summaryString()),
             QString("brightness {\n  type-description: {\n    single value, signed 16-bit integer\n  },"
                     "\n  minimum: -64\n  maximum: 64\n  step-size: 1\n  default-value: 0"
                     "\n  current-value: 0\n}"));
    QString control = QString::fromStdString(brightness->description());
    QVERIFY2(control.startsWith("UVCControl[brightness]@0x"), qPrintable(control));
    QVERIFY2(control.contains("{ capabilities: 000000000703, byte-size: 2; range: [UVCValue@"),
             qPrintable(control));
}

QTEST_GUILESS_MAIN(tst_UVCController)
#include "tst_uvccontroller.moc"
