// LightController against the simulated panel: frames, notifications, the connection sequence
// and its recovery.
#include "light/lightcontroller.h"
#include "light/simulatedlightpanel.h"
#include "tests/light/logcapture.h"
#include "tests/light/signalrecorder.h"

#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <memory>
#include <thread>

namespace {

constexpr int connectTimeoutMs = 20000;

QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}

// A scan that, as BlueZ's can when its adapter goes away, reports an error after it was told to
// stop: the report reaches the controller after its tear-down.
class LateErrorAgent : public BleDiscoveryAgent
{
public:
    LateErrorAgent(std::atomic<int> *stops, QObject *parent)
        : BleDiscoveryAgent(parent)
        , m_stops(stops)
    {
    }
    void start() override { m_active = true; }
    void stop() override
    {
        m_active = false;
        ++*m_stops;
        QMetaObject::invokeMethod(
            this,
            [this] {
                emit errorOccurred(QBluetoothDeviceDiscoveryAgent::InputOutputError,
                                   QStringLiteral("adapter gone"));
            },
            Qt::QueuedConnection);
    }
    bool isActive() const override { return m_active; }

private:
    std::atomic<int> *m_stops;
    bool m_active = false;
};

class LateErrorTransport : public BleTransport
{
public:
    BleDiscoveryAgent *createDiscoveryAgent(QObject *parent) override
    {
        return new LateErrorAgent(&stops, parent);
    }
    BleCentral *createCentral(const QBluetoothDeviceInfo &, QObject *) override { return nullptr; }

    std::atomic<int> stops { 0 };
};

} // namespace

class tst_LightController : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void frames_data();
    void frames();
    void notifications_data();
    void notifications();
    void getters_data();
    void getters();
    void nameMustMatchExactly_data();
    void nameMustMatchExactly();
    void settersWhileDisconnected_data();
    void settersWhileDisconnected();
    void panelSwitchedOff();
    void droppedConnectionRecovers();
    void connectionTimeLimit();
    void settersWhileNotificationsArrive();
    void noBluetoothAtAll();
    void destroyedWhileScanReportsLate();

private:
    void createController(int connectionLimitMs = 5000);
    void connectPanel();
    int stored(BaseSettings::SubSettings entry);

    QTemporaryDir m_config;
    std::shared_ptr<SimulatedLightPanel> m_panel;
    std::unique_ptr<BaseSettings> m_settings;
    std::unique_ptr<LightController> m_controller;
};

void tst_LightController::initTestCase()
{
    QVERIFY(m_config.isValid());
    // The store must never touch the user's own settings.
    qputenv("XDG_CONFIG_HOME", m_config.path().toUtf8());
    // As on a build machine: no system bus, so neither BlueZ nor an adapter.
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + m_config.filePath("no-bus").toUtf8());
    LogCapture::install();
}

void tst_LightController::init()
{
    m_settings = std::make_unique<BaseSettings>();
    m_settings->clear();
    m_settings->sync();
    m_panel = std::make_shared<SimulatedLightPanel>();
    m_panel->setScanPassMs(300);
}

void tst_LightController::cleanup()
{
    m_controller.reset();
    m_panel.reset();
    m_settings.reset();
}

void tst_LightController::createController(int connectionLimitMs)
{
    m_controller = std::make_unique<LightController>(
        m_settings.get(), QStringLiteral("Light_ble"),
        QStringLiteral("0000f530-1212-efde-1523-785feabcd123"),
        QStringLiteral("00002902-0000-1000-8000-00805f9b34fb"),
        QStringLiteral("0000f532-1212-efde-1523-785feabcd123"), nullptr, m_panel);
    m_controller->setIntervals(150, connectionLimitMs);
}

void tst_LightController::connectPanel()
{
    createController();
    m_controller->start();
    QTRY_VERIFY_WITH_TIMEOUT(m_controller->isConnected() && m_panel->isNotifying(),
                             connectTimeoutMs);
}

int tst_LightController::stored(BaseSettings::SubSettings entry)
{
    return m_settings->getSubSetting(BaseSettings::BLELight, entry).toInt();
}

void tst_LightController::frames_data()
{
    QTest::addColumn<bool>("brightness");
    QTest::addColumn<long>("value");
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<int>("storedValue");

    QTest::newRow("temperature 3250") << false << 3250L << hex("aa55103255aa") << 3250;
    QTest::newRow("temperature 0") << false << 0L << hex("aa55106455aa") << 0;
    QTest::newRow("temperature 6500") << false << 6500L << hex("aa55100055aa") << 6500;
    // The panel reports 99 % back, which reads as 65.
    QTest::newRow("temperature truncates") << false << 100L << hex("aa55106355aa") << 65;
    QTest::newRow("temperature below range") << false << -500L << hex("aa55106455aa") << 0;
    QTest::newRow("temperature above range") << false << 9000L << hex("aa55100055aa") << 6500;
    QTest::newRow("brightness 75") << true << 75L << hex("aa55204b55aa") << 75;
    QTest::newRow("brightness 0") << true << 0L << hex("aa55200055aa") << 0;
    QTest::newRow("brightness above range") << true << 256L << hex("aa55206455aa") << 100;
}

void tst_LightController::frames()
{
    QFETCH(bool, brightness);
    QFETCH(long, value);
    QFETCH(QByteArray, frame);
    QFETCH(int, storedValue);

    connectPanel();
    QVERIFY(brightness ? m_controller->setBrightness(value, false)
                       : m_controller->setTemperature(value, false));
    QTRY_COMPARE(m_panel->writtenFrames().size(), 1);
    QCOMPARE(m_panel->writtenFrames().first(), frame);
    const auto entry = brightness ? BaseSettings::BLEBrightness : BaseSettings::BLETemperature;
    QTRY_COMPARE(stored(entry), storedValue);
}

void tst_LightController::notifications_data()
{
    QTest::addColumn<int>("storedBrightness");
    QTest::addColumn<int>("storedTemperature");
    QTest::addColumn<QByteArray>("notification");
    QTest::addColumn<int>("brightnessSignal"); // -1: none
    QTest::addColumn<int>("temperatureSignal");

    QTest::newRow("equal values") << 75 << 3250 << hex("0000324b0000") << -1 << -1;
    QTest::newRow("brightness changed") << 60 << 3250 << hex("0000324b0000") << 75 << -1;
    QTest::newRow("temperature changed") << 75 << 0 << hex("0000324b0000") << -1 << 3250;
    QTest::newRow("both changed") << 10 << 6500 << hex("aa55644b55aa") << 75 << 0;
    QTest::newRow("five bytes") << 60 << 0 << hex("0000324b00") << -1 << -1;
    QTest::newRow("seven bytes") << 60 << 0 << hex("0000324b000000") << -1 << -1;
    // A negative brightness clamps to 0, which is a dark panel: the stored brightness stays.
    QTest::newRow("negative bytes clamp") << 60 << 0 << hex("0000ecff0000") << -1 << 6500;
    QTest::newRow("brightness above range clamps") << 60 << 0 << hex("0000647f0000") << 100 << -1;
    QTest::newRow("dark panel keeps brightness") << 60 << 3250 << hex("000032000000") << -1 << -1;
}

void tst_LightController::notifications()
{
    QFETCH(int, storedBrightness);
    QFETCH(int, storedTemperature);
    QFETCH(QByteArray, notification);
    QFETCH(int, brightnessSignal);
    QFETCH(int, temperatureSignal);

    connectPanel();
    m_settings->setSubSetting(BaseSettings::BLELight, BaseSettings::BLEBrightness,
                              storedBrightness);
    m_settings->setSubSetting(BaseSettings::BLELight, BaseSettings::BLETemperature,
                              storedTemperature);
    SignalRecorder brightness(m_controller.get(), &LightController::onBrightness);
    SignalRecorder temperature(m_controller.get(), &LightController::onTemperature);

    m_panel->sendNotification(notification);
    // Signals arrive in order: once a later notification's brightness 99 is here, whatever the
    // first one caused is here too. The sentinel keeps the temperature, so it adds no signal.
    const int finalTemperature = temperatureSignal >= 0 ? temperatureSignal : storedTemperature;
    QByteArray sentinel = hex("000000630000");
    sentinel[2] = char(100 - finalTemperature / 65);
    m_panel->sendNotification(sentinel);
    QTRY_VERIFY(!brightness.values().isEmpty() && brightness.values().last() == 99);
    QList<long> brightnessValues = brightness.values();
    brightnessValues.removeLast();

    QCOMPARE(brightnessValues.size(), brightnessSignal >= 0 ? 1 : 0);
    if (brightnessSignal >= 0) {
        QCOMPARE(brightnessValues.first(), long(brightnessSignal));
        QCOMPARE(brightness.autoModes().first(), false);
    }
    QCOMPARE(temperature.values().size(), temperatureSignal >= 0 ? 1 : 0);
    if (temperatureSignal >= 0) {
        QCOMPARE(temperature.values().first(), long(temperatureSignal));
        QCOMPARE(temperature.autoModes().first(), false);
    }
    QCOMPARE(stored(BaseSettings::BLETemperature), finalTemperature);
}

void tst_LightController::getters_data()
{
    QTest::addColumn<bool>("connected");
    QTest::newRow("idle") << false;
    QTest::newRow("connected") << true;
}

void tst_LightController::getters()
{
    QFETCH(bool, connected);

    if (connected)
        connectPanel();
    else
        createController();
    // A store never written answers the group defaults: 50 for both, on their own scales.
    CameraSetting temperature;
    QVERIFY(m_controller->getTemperature(temperature));
    QCOMPARE(temperature.value, int64_t(50));
    QCOMPARE(temperature.maximum, int64_t(6500));
    QCOMPARE(temperature.minimum, int64_t(0));
    QCOMPARE(temperature.step, int64_t(1));
    QCOMPARE(temperature.defaultValue, int64_t(3250));
    QVERIFY(!temperature.autoAvailable && !temperature.autoEnabled);

    m_settings->setSubSetting(BaseSettings::BLELight, BaseSettings::BLEBrightness, 80);
    CameraSetting brightness;
    QVERIFY(m_controller->getBrightness(brightness));
    QCOMPARE(brightness.value, int64_t(80));
    QCOMPARE(brightness.maximum, int64_t(100));
    QCOMPARE(brightness.defaultValue, int64_t(50));
}

void tst_LightController::nameMustMatchExactly_data()
{
    QTest::addColumn<QString>("advertised");
    QTest::newRow("lower case") << QStringLiteral("light_ble");
    QTest::newRow("upper case") << QStringLiteral("LIGHT_BLE");
    QTest::newRow("prefix") << QStringLiteral("Light_bl");
    QTest::newRow("trailing space") << QStringLiteral("Light_ble ");
}

void tst_LightController::nameMustMatchExactly()
{
    QFETCH(QString, advertised);

    m_panel = std::make_shared<SimulatedLightPanel>(advertised);
    m_panel->setScanPassMs(300);
    createController();
    SignalRecorder status(m_controller.get(), &LightController::onStatusChanged);
    const qsizetype mark = LogCapture::size();
    m_controller->start();
    QTRY_VERIFY_WITH_TIMEOUT(LogCapture::count("BLE Device not found!", mark) >= 2,
                             connectTimeoutMs);
    QVERIFY(LogCapture::count("BLE Device Discovered:  \"" + advertised, mark) >= 2);
    QCOMPARE(LogCapture::count("BLE Device Found", mark), 0);
    QVERIFY(!m_panel->isConnected());
    QVERIFY(!status.values().isEmpty());
    QVERIFY(!status.values().contains(true));
}

void tst_LightController::settersWhileDisconnected_data()
{
    QTest::addColumn<bool>("started");
    QTest::newRow("never started") << false;
    QTest::newRow("panel switched off") << true;
}

void tst_LightController::settersWhileDisconnected()
{
    QFETCH(bool, started);

    if (started) {
        connectPanel();
        m_panel->setPoweredOn(false);
        QTRY_VERIFY(!m_controller->isConnected());
    } else {
        createController();
    }
    QVERIFY(!m_controller->setBrightness(75, false));
    QVERIFY(!m_controller->setTemperature(1000, false));

    // Whatever was queued would have run by the time the panel is connected again.
    m_panel->setPoweredOn(true);
    if (!started)
        m_controller->start();
    QTRY_VERIFY_WITH_TIMEOUT(m_controller->isConnected(), connectTimeoutMs);
    QVERIFY(m_panel->writtenFrames().isEmpty());
    QCOMPARE(stored(BaseSettings::BLEBrightness), 50);
    QCOMPARE(stored(BaseSettings::BLETemperature), 50);
}

void tst_LightController::panelSwitchedOff()
{
    connectPanel();
    SignalRecorder status(m_controller.get(), &LightController::onStatusChanged);
    const qsizetype mark = LogCapture::size();
    m_panel->setPoweredOn(false);
    QTRY_VERIFY_WITH_TIMEOUT(LogCapture::count("BLE Device not found!", mark) >= 3,
                             connectTimeoutMs);
    QVERIFY(!status.values().contains(true));

    // After each failed pass: the tear-down, then the first keep-alive tick restarts.
    const QStringList lines = LogCapture::lines().mid(mark);
    int passes = 0;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        if (!lines[i].contains("BLE Device not found!"))
            continue;
        qsizetype tick = i + 1;
        while (tick < lines.size() && !lines[tick].startsWith("BLE Status"))
            ++tick;
        if (tick + 1 >= lines.size())
            break; // the last pass's tick has not come yet
        QVERIFY2(lines.mid(i, tick - i).join('\n').contains("BLE LightController::stopInternal"),
                 qPrintable(lines[i]));
        QCOMPARE(lines[tick + 1], QStringLiteral("BLE Status - restarting"));
        ++passes;
    }
    QVERIFY(passes >= 2);
    QVERIFY(status.values().size() >= passes);

    const qsizetype back = LogCapture::size();
    m_panel->setPoweredOn(true);
    QTRY_VERIFY_WITH_TIMEOUT(m_controller->isConnected(), connectTimeoutMs);
    QVERIFY(LogCapture::count("BLE Status - restarting", back) <= 1);
    QCOMPARE(status.values().last(), 1L);
}

void tst_LightController::droppedConnectionRecovers()
{
    connectPanel();
    SignalRecorder status(m_controller.get(), &LightController::onStatusChanged);
    const qsizetype mark = LogCapture::size();
    m_panel->dropConnection();
    QTRY_VERIFY(status.values().contains(false));
    QTRY_VERIFY_WITH_TIMEOUT(m_controller->isConnected(), connectTimeoutMs);
    QCOMPARE(LogCapture::count("BLE Device disconnected!", mark), 1);
    QCOMPARE(LogCapture::count("BLE Status - restarting", mark), 1);
    QCOMPARE(status.values().last(), 1L);

    // The new link carries frames again.
    QVERIFY(m_controller->setBrightness(20, false));
    QTRY_COMPARE(m_panel->brightness(), 20);
}

void tst_LightController::connectionTimeLimit()
{
    m_panel->setAnswersConnections(false);
    createController(600);
    const qsizetype mark = LogCapture::size();
    m_controller->start();
    QTRY_VERIFY_WITH_TIMEOUT(LogCapture::count("BLE Device Found", mark) >= 2, connectTimeoutMs);

    // The pending attempt is left alone by the keep-alive until the limit tears it down.
    const QStringList lines = LogCapture::lines().mid(mark);
    const qsizetype found = lines.indexOf(QRegularExpression("BLE Device Found.*"));
    const qsizetype limit = lines.indexOf(QRegularExpression("BLE Connection not established.*"));
    QVERIFY(found >= 0 && limit > found);
    QVERIFY(!lines.mid(found, limit - found).contains(QStringLiteral("BLE Status - restarting")));
    QVERIFY(lines.mid(limit).contains(QStringLiteral("BLE LightController::stopInternal")));

    m_panel->setAnswersConnections(true);
    QTRY_VERIFY_WITH_TIMEOUT(m_controller->isConnected(), connectTimeoutMs);
}

void tst_LightController::settersWhileNotificationsArrive()
{
    connectPanel();
    std::atomic<bool> done { false };
    std::thread panelButtons([&] {
        for (int i = 0; !done.load(); ++i) {
            m_panel->setLocalState(i % 101, (i * 7) % 101);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    constexpr int rounds = 100;
    for (int i = 0; i < rounds; ++i) {
        QVERIFY(m_controller->setBrightness(i, false));
        QVERIFY(m_controller->setTemperature(i * 65, false));
        CameraSetting setting;
        m_controller->getBrightness(setting);
        m_controller->getTemperature(setting);
        QVERIFY(m_controller->isConnected());
        QTest::qWait(1);
    }
    done = true;
    panelButtons.join();
    QTRY_COMPARE_WITH_TIMEOUT(m_panel->writtenFrames().size(), 2 * rounds, connectTimeoutMs);
    const QList<QByteArray> frames = m_panel->writtenFrames();
    for (int i = 0; i < rounds; ++i) {
        QCOMPARE(frames[2 * i], hex("aa55200055aa").replace(3, 1, QByteArray(1, char(i))));
        QCOMPARE(frames[2 * i + 1], hex("aa55100055aa").replace(3, 1, QByteArray(1, char(100 - i))));
    }
}

void tst_LightController::noBluetoothAtAll()
{
    m_controller = std::make_unique<LightController>(
        m_settings.get(), QStringLiteral("Light_ble"),
        QStringLiteral("0000f530-1212-efde-1523-785feabcd123"),
        QStringLiteral("00002902-0000-1000-8000-00805f9b34fb"),
        QStringLiteral("0000f532-1212-efde-1523-785feabcd123"));
    m_controller->setIntervals(150, 1000);
    SignalRecorder status(m_controller.get(), &LightController::onStatusChanged);
    const qsizetype mark = LogCapture::size();
    m_controller->start();
    // Every keep-alive tick tries again, reports the failure and returns.
    QTRY_VERIFY_WITH_TIMEOUT(LogCapture::count("BLE Device not found!", mark) >= 3,
                             connectTimeoutMs);
    QVERIFY(LogCapture::count("BLE errorOccurred:", mark) >= 3);
    QVERIFY(!status.values().contains(true));
    QVERIFY(!m_controller->setBrightness(75, false));
}

void tst_LightController::destroyedWhileScanReportsLate()
{
    // Each destruction races the late report against the end of the worker; the report must
    // find the controller whole or not run at all.
    for (int round = 0; round < 20; ++round) {
        auto transport = std::make_shared<LateErrorTransport>();
        m_controller = std::make_unique<LightController>(
            m_settings.get(), QStringLiteral("Light_ble"),
            QStringLiteral("0000f530-1212-efde-1523-785feabcd123"),
            QStringLiteral("00002902-0000-1000-8000-00805f9b34fb"),
            QStringLiteral("0000f532-1212-efde-1523-785feabcd123"), nullptr, transport);
        m_controller->start();
        const int stopsBefore = transport->stops;
        m_controller.reset();
        QVERIFY(transport->stops > stopsBefore);
    }
}

QTEST_MAIN(tst_LightController)
#include "tst_lightcontroller.moc"
