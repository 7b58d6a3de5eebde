// The bus interface's properties against real components: the settings store, a post-processor
// and a light controller on the simulated panel. What the window does is done here with the
// same setters and store entries.
#include "app/control/controlkeys.h"
#include "app/control/controlservice.h"
#include "light/lightcontroller.h"
#include "light/simulatedlightpanel.h"
#include "video/postprocessor.h"

#include <QSignalSpy>
#include <QTest>
#include <QWidget>

#include <functional>
#include <memory>

namespace {

constexpr int connectTimeoutMs = 20000;
const char *unavailable = ControlService::unavailableError;
const char *invalidArgs = "org.freedesktop.DBus.Error.InvalidArgs";

} // namespace

class tst_ControlService : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void everyKeyIsServed();
    void writesReachTheComponents_data();
    void writesReachTheComponents();
    void badValuesChangeNothing_data();
    void badValuesChangeNothing();
    void changesFromElsewhereAreAnnounced();
    void toggle();
    void lightNeedsThePanel();
    void lightSwitchesOffAndBackOn();
    void commandLineValues();

private:
    void connectLight();
    QVariant read(const QString &property);
    // Waits for the next announcement that holds the property and returns its value there.
    QVariant announced(QSignalSpy &spy, const QString &property);

    std::unique_ptr<BaseSettings> m_settings;
    std::unique_ptr<PostProcessor> m_effects;
    std::shared_ptr<SimulatedLightPanel> m_panel;
    std::unique_ptr<LightController> m_light;
    std::unique_ptr<QWidget> m_window;
    std::unique_ptr<ControlService> m_service;
    QList<bool> m_startAtLogin;
    int m_quits = 0;
};

void tst_ControlService::init()
{
    m_settings = std::make_unique<BaseSettings>();
    m_settings->clear();
    m_settings->sync();
    m_effects = std::make_unique<PostProcessor>(m_settings.get());
    m_panel = std::make_shared<SimulatedLightPanel>();
    m_panel->setScanPassMs(300);
    m_light = std::make_unique<LightController>(
        m_settings.get(), "Light_ble", "0000f530-1212-efde-1523-785feabcd123",
        "00002902-0000-1000-8000-00805f9b34fb", "0000f532-1212-efde-1523-785feabcd123", nullptr, m_panel);
    m_light->setIntervals(150, 15000);
    m_window = std::make_unique<QWidget>();
    m_startAtLogin.clear();
    m_quits = 0;

    ControlService::Components components;
    components.settings = m_settings.get();
    components.effects = [this] { return m_effects.get(); };
    components.light = [this] { return m_light.get(); };
    components.window = [this] { return m_window.get(); };
    components.cameraInUse = [] { return false; };
    components.showWindow = [this] { m_window->show(); };
    components.quit = [this] { ++m_quits; };
    components.startAtLogin = [this](bool on) { m_startAtLogin.append(on); };
    components.version = "v0.25.8";
    m_service = std::make_unique<ControlService>(components);
    m_window->installEventFilter(m_service.get());
}

void tst_ControlService::cleanup()
{
    m_service.reset();
    m_window.reset();
    m_light.reset();
    m_panel.reset();
    m_effects.reset();
    m_settings.reset();
}

void tst_ControlService::connectLight()
{
    m_light->start();
    QTRY_VERIFY_WITH_TIMEOUT(m_light->isConnected() && m_panel->isNotifying(), connectTimeoutMs);
}

QVariant tst_ControlService::read(const QString &property)
{
    ControlService::Failure failure;
    const QVariant value = m_service->read(property, &failure);
    if (failure.failed())
        qWarning() << "read" << property << "->" << failure.name << failure.message;
    return value;
}

QVariant tst_ControlService::announced(QSignalSpy &spy, const QString &property)
{
    for (int seen = 0;; ++seen) {
        if (seen == spy.size() && !spy.wait(10000))
            return {};
        const QVariantMap changed = spy.at(seen).first().toMap();
        if (changed.contains(property))
            return changed.value(property);
    }
}

void tst_ControlService::everyKeyIsServed()
{
    // Both ends share one table: every key reads (the light is read from the store while the
    // panel is away), is introspected with its type and has a distinct command-line name.
    const QString xml = m_service->introspect(control::objectPath);
    QSet<QString> names;
    for (const control::Key &key : control::keys()) {
        QVERIFY2(read(key.property).isValid(), qPrintable(key.property));
        QVERIFY2(xml.contains(QString("<property name=\"%1\" type=\"%2\" access=\"%3\"/>")
                                  .arg(key.property, control::signature(key.type),
                                       key.writable ? "readwrite" : "read")),
                 qPrintable(key.property));
        QVERIFY(!names.contains(key.name));
        names.insert(key.name);
    }
    QCOMPARE(read("Version"), QVariant("v0.25.8"));
    QCOMPARE(read("LightConnected"), QVariant(false));
    QCOMPARE(m_service->readAll().size(), control::keys().size());
}

void tst_ControlService::writesReachTheComponents_data()
{
    using S = BaseSettings;
    QTest::addColumn<QString>("property");
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<int>("setting");
    QTest::addColumn<int>("entry"); // -1: a scalar setting
    QTest::newRow("skin tone") << "SkinTone" << QVariant(0) << int(S::SkinTone) << -1;
    QTest::newRow("blur at its top") << "BackgroundBlur" << QVariant(100) << int(S::BackgroundBlur) << -1;
    QTest::newRow("rotation") << "Rotation" << QVariant(2) << int(S::CameraRotation) << -1;
    QTest::newRow("fine rotation below 0") << "FineRotation" << QVariant(-20) << int(S::FineCameraRotation) << -1;
    QTest::newRow("logo") << "LogoOverlay" << QVariant(true) << int(S::LogoOverlay) << int(S::Enabled);
    QTest::newRow("text line") << "TextLine2" << QVariant("Back at 3") << int(S::TextOverlay) << int(S::TextLine2);
    QTest::newRow("noise suppression") << "NoiseSuppression" << QVariant(true) << int(S::DSPRNN) << int(S::Enabled);
    QTest::newRow("AGC off") << "AutomaticGain" << QVariant(false) << int(S::DSPAGC) << int(S::Enabled);
    QTest::newRow("compressor strength")
        << "CompressorStrength" << QVariant(5) << int(S::DSPCompressor) << int(S::DSP_Strength);
    QTest::newRow("treble strength") << "TrebleStrength" << QVariant(100) << int(S::DSPTreble) << int(S::DSP_Strength);
    QTest::newRow("follow") << "LightFollowsCamera" << QVariant(true) << int(S::General) << int(S::LightFollowsCamera);
    QTest::newRow("mirror") << "MirrorPreview" << QVariant(true) << int(S::General) << int(S::FlipHorizontal);
}

void tst_ControlService::writesReachTheComponents()
{
    QFETCH(QString, property);
    QFETCH(QVariant, value);
    QFETCH(int, setting);
    QFETCH(int, entry);
    const auto group = BaseSettings::Settings(setting);

    // The window's rows listen to the effects' signals; a write must reach them too.
    QSignalSpy blurRow(m_effects.get(), &PostProcessor::onBackgroundBlur);
    QVERIFY(!m_service->write(property, value).failed());
    QCOMPARE(read(property), value);
    if (entry < 0) {
        QCOMPARE(m_settings->getSetting(group).toInt(), value.toInt());
        CameraSetting record;
        QVERIFY(m_effects->getSkinTone(record) && m_effects->getBackgroundBlur(record));
        if (group == BaseSettings::BackgroundBlur) {
            QCOMPARE(record.value, value.toInt());
            QCOMPARE(blurRow.size(), 1);
            QCOMPARE(blurRow.first().first().value<long>(), long(value.toInt()));
        }
    } else {
        QCOMPARE(m_settings->getSubSetting(group, BaseSettings::SubSettings(entry)), value);
        // The filters and overlays rebuild on a new stamp.
        QVERIFY(m_settings->getSubSetting(group, BaseSettings::LastModified).isValid());
    }
}

void tst_ControlService::badValuesChangeNothing_data()
{
    QTest::addColumn<QString>("property");
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<QString>("error");
    QTest::addColumn<QString>("says");
    QTest::newRow("blur above") << "BackgroundBlur" << QVariant(101) << invalidArgs << "from 0 to 100, not 101";
    QTest::newRow("blur below") << "BackgroundBlur" << QVariant(-1) << invalidArgs << "from 0 to 100";
    QTest::newRow("fine rotation past") << "FineRotation" << QVariant(21) << invalidArgs << "from -20 to 20";
    QTest::newRow("rotation past") << "Rotation" << QVariant(3) << invalidArgs << "from 0 to 2";
    QTest::newRow("strength above") << "BassStrength" << QVariant(250) << invalidArgs << "from 0 to 100";
    QTest::newRow("number as text") << "SkinTone" << QVariant("60") << invalidArgs << "whole number";
    QTest::newRow("fraction") << "SkinTone" << QVariant(60.5) << invalidArgs << "whole number";
    QTest::newRow("switch as number") << "Bass" << QVariant(1) << invalidArgs << "boolean";
    QTest::newRow("two lines") << "TextLine1" << QVariant("one\ntwo") << invalidArgs << "line breaks";
    QTest::newRow("read-only") << "Version" << QVariant("v9") << "org.freedesktop.DBus.Error.PropertyReadOnly"
                               << "read-only";
    QTest::newRow("unknown") << "Loudness" << QVariant(3) << "org.freedesktop.DBus.Error.UnknownProperty"
                             << "Loudness";
}

void tst_ControlService::badValuesChangeNothing()
{
    QFETCH(QString, property);
    QFETCH(QVariant, value);
    QFETCH(QString, error);
    QFETCH(QString, says);
    const QVariantMap before = m_service->readAll();
    m_settings->sync();
    const QStringList keysBefore = m_settings->allKeys();
    QSignalSpy announcements(m_service.get(), &ControlService::propertiesChanged);

    const ControlService::Failure failure = m_service->write(property, value);
    QCOMPARE(failure.name, error);
    QVERIFY2(failure.message.contains(says), qPrintable(failure.message));
    QVERIFY2(failure.message.contains(property), qPrintable(failure.message));
    QCOMPARE(m_service->readAll(), before);
    QCOMPARE(m_settings->allKeys(), keysBefore);
    QVERIFY(!announcements.wait(200));
}

void tst_ControlService::changesFromElsewhereAreAnnounced()
{
    QSignalSpy spy(m_service.get(), &ControlService::propertiesChanged);
    // Each step waits for its own announcement.
    const auto after = [&](const std::function<void()> &change, const QString &property) {
        spy.clear();
        change();
        return announced(spy, property);
    };
    // The window's effect row, its audio switch and its text field.
    QCOMPARE(after([&] { m_effects->setBackgroundBlur(35, false); }, "BackgroundBlur"), QVariant(35));
    QCOMPARE(after([&] { m_settings->setSubSetting(BaseSettings::DSPBass, BaseSettings::Enabled, true); }, "Bass"),
             QVariant(true));
    QCOMPARE(after([&] { m_settings->setSubSetting(BaseSettings::TextOverlay, BaseSettings::TextLine1, "Hello"); },
                   "TextLine1"),
             QVariant("Hello"));
    // Showing and hiding the window.
    QCOMPARE(after([&] { m_window->show(); }, "WindowVisible"), QVariant(true));
    QCOMPARE(after([&] { m_window->hide(); }, "WindowVisible"), QVariant(false));

    // The panel's own buttons, reported by notification from the controller's thread.
    connectLight();
    QCOMPARE(after([&] { m_panel->setLocalState(80, 50); }, "LightBrightness"), QVariant(80));

    // A write that changes nothing announces nothing; each change is announced once.
    spy.clear();
    m_settings->setSubSetting(BaseSettings::DSPBass, BaseSettings::Enabled, true);
    m_settings->setSubSetting(BaseSettings::DSPTreble, BaseSettings::Enabled, true);
    QCOMPARE(announced(spy, "Treble"), QVariant(true));
    for (const QList<QVariant> &signal : std::as_const(spy))
        QVERIFY(!signal.first().toMap().contains("Bass"));
}

void tst_ControlService::toggle()
{
    ControlService::Failure failure;
    // A switch flips.
    QCOMPARE(m_service->toggle("NoiseSuppression", &failure), QVariant(true));
    QCOMPARE(m_service->toggle("NoiseSuppression", &failure), QVariant(false));
    QVERIFY(!failure.failed());

    // Blur goes off and comes back at the strength it had.
    QVERIFY(!m_service->write("BackgroundBlur", 35).failed());
    QCOMPARE(m_service->toggle("BackgroundBlur", &failure), QVariant(0));
    QCOMPARE(read("BackgroundBlur"), QVariant(0));
    QCOMPARE(m_service->toggle("BackgroundBlur", &failure), QVariant(35));
    QCOMPARE(read("BackgroundBlur"), QVariant(35));
    // Without an earlier strength it comes on at the key's own.
    QVERIFY(!m_service->write("BackgroundBlur", 0).failed());
    m_service = std::make_unique<ControlService>(ControlService::Components {
        m_settings.get(), [this] { return m_effects.get(); }, [this] { return m_light.get(); },
        [this] { return m_window.get(); }, [] { return false; }, [] {}, [] {}, {}, "v" });
    QCOMPARE(m_service->toggle("BackgroundBlur", &failure), QVariant(control::findByName("background-blur")->toggleOnValue));

    // Numbers without an "off" and read-only switches are not toggled.
    for (const char *property : { "SkinTone", "LightConnected", "TextLine1" }) {
        failure = {};
        QVERIFY(!m_service->toggle(property, &failure).isValid());
        QCOMPARE(failure.name, QString(invalidArgs));
    }
}

void tst_ControlService::lightNeedsThePanel()
{
    // Away: the window's setter refuses, and so does the bus, storing nothing.
    const ControlService::Failure failure = m_service->write("LightBrightness", 80);
    QCOMPARE(failure.name, QString(unavailable));
    QVERIFY(failure.message.contains("not connected"));
    QCOMPARE(read("LightBrightness"), QVariant(50));
    QCOMPARE(m_service->write("LightOn", true).name, QString(unavailable));
    QVERIFY(m_panel->writtenFrames().isEmpty());

    connectLight();
    QVERIFY(!m_service->write("LightBrightness", 80).failed());
    QTRY_COMPARE(m_panel->brightness(), 80);
    QCOMPARE(read("LightBrightness"), QVariant(80));
    QVERIFY(!m_service->write("LightTemperature", 6500).failed());
    QTRY_COMPARE(m_panel->temperaturePercent(), 0);
    QCOMPARE(m_service->write("LightTemperature", 6501).name, QString(invalidArgs));
}

void tst_ControlService::lightSwitchesOffAndBackOn()
{
    connectLight();
    QVERIFY(!m_service->write("LightBrightness", 70).failed());
    QTRY_COMPARE(m_panel->brightness(), 70);
    QCOMPARE(read("LightOn"), QVariant(true));

    // Off: the panel goes dark and reports so, but the brightness to come back at stays.
    QSignalSpy lit(m_light.get(), &LightController::onLitChanged);
    QVERIFY(!m_service->write("LightOn", false).failed());
    QTRY_COMPARE(m_panel->brightness(), 0);
    QTRY_VERIFY(m_panel->writtenFrames().size() >= 2);
    QCOMPARE(m_panel->writtenFrames().last(), QByteArray::fromHex("aa55200055aa"));
    QCOMPARE(read("LightOn"), QVariant(false));
    QCOMPARE(read("LightBrightness"), QVariant(70));
    QTRY_VERIFY(!lit.isEmpty() && !lit.last().first().toBool());

    QVERIFY(!m_service->write("LightOn", true).failed());
    QTRY_COMPARE(m_panel->brightness(), 70);
    QCOMPARE(read("LightOn"), QVariant(true));

    // Switched off on the panel itself: unlit, and it comes back at the same brightness.
    m_panel->setLocalState(0, 50);
    QTRY_COMPARE(read("LightOn"), QVariant(false));
    QCOMPARE(read("LightBrightness"), QVariant(70));
    QVERIFY(!m_service->write("LightOn", true).failed());
    QTRY_COMPARE(m_panel->brightness(), 70);
}

void tst_ControlService::commandLineValues()
{
    const control::Key *blur = control::findByName("background-blur");
    const control::Key *bass = control::findByName("bass");
    const control::Key *line = control::findByName("text-line-1");
    QVERIFY(blur && bass && line);
    QVERIFY(!control::findByName("BackgroundBlur"));
    QString error;
    QCOMPARE(control::parseValue(*blur, "60", &error), QVariant(60));
    QCOMPARE(control::parseValue(*blur, "-3", &error), QVariant(-3)); // the instance judges the range
    QVERIFY(!control::parseValue(*blur, "lots", &error).isValid());
    QVERIFY(error.contains("background-blur") && error.contains("lots"));
    for (const char *on : { "on", "ON", "true", "yes", "1" })
        QCOMPARE(control::parseValue(*bass, on, &error), QVariant(true));
    for (const char *off : { "off", "false", "no", "0" })
        QCOMPARE(control::parseValue(*bass, off, &error), QVariant(false));
    QVERIFY(!control::parseValue(*bass, "maybe", &error).isValid());
    QVERIFY(error.contains("bass"));
    QCOMPARE(control::parseValue(*line, "a = b", &error), QVariant("a = b"));
    QCOMPARE(control::formatValue(*bass, true), QString("on"));
    QCOMPARE(control::formatValue(*blur, 60), QString("60"));
}

QTEST_MAIN(tst_ControlService)
#include "tst_controlservice.moc"
