// The light following the virtual camera's readers, on the simulated panel with a short grace
// time.
#include "app/core/basesettings.h"
#include "light/lightcontroller.h"
#include "light/lightfollower.h"
#include "light/simulatedlightpanel.h"

#include <QTest>

#include <memory>

namespace {

constexpr int connectTimeoutMs = 20000;
constexpr int graceMs = 300;

} // namespace

class tst_LightFollower : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void followsReaders();
    void readerBackWithinGraceKeepsTheLight();
    void toggleOffLeavesTheLightAlone();
    void panelArrivingDuringACall();

private:
    void createController();
    void connectPanel();
    void setFollowing(bool on);

    std::unique_ptr<BaseSettings> m_settings;
    std::shared_ptr<SimulatedLightPanel> m_panel;
    std::unique_ptr<LightController> m_light;
    std::unique_ptr<LightFollower> m_follower;
};

void tst_LightFollower::init()
{
    m_settings = std::make_unique<BaseSettings>();
    m_settings->clear();
    m_settings->setSubSetting(BaseSettings::BLELight, BaseSettings::BLEBrightness, 65);
    m_panel = std::make_shared<SimulatedLightPanel>();
    m_panel->setScanPassMs(300);
    m_panel->setLocalState(0, 50); // dark before the call
}

void tst_LightFollower::cleanup()
{
    m_follower.reset();
    m_light.reset();
    m_panel.reset();
    m_settings.reset();
}

void tst_LightFollower::createController()
{
    m_light = std::make_unique<LightController>(
        m_settings.get(), "Light_ble", "0000f530-1212-efde-1523-785feabcd123",
        "00002902-0000-1000-8000-00805f9b34fb", "0000f532-1212-efde-1523-785feabcd123", nullptr, m_panel);
    m_light->setIntervals(150, 15000);
    m_follower = std::make_unique<LightFollower>(m_light.get(), m_settings.get(), graceMs);
}

void tst_LightFollower::connectPanel()
{
    createController();
    m_light->start();
    QTRY_VERIFY_WITH_TIMEOUT(m_light->isConnected() && m_panel->isNotifying(), connectTimeoutMs);
}

void tst_LightFollower::setFollowing(bool on)
{
    m_settings->setSubSetting(BaseSettings::General, BaseSettings::LightFollowsCamera, on);
}

void tst_LightFollower::followsReaders()
{
    QVERIFY(!m_settings->getSubSetting(BaseSettings::General, BaseSettings::LightFollowsCamera).toBool());
    connectPanel();
    setFollowing(true);
    m_follower->setReadersPresent(true);
    // On at the stored brightness, which the panel's own "dark" report before did not replace.
    QTRY_COMPARE(m_panel->brightness(), 65);
    QVERIFY(m_light->isLit());

    m_follower->setReadersPresent(false);
    QCOMPARE(m_panel->brightness(), 65); // the grace time runs first
    QTRY_COMPARE(m_panel->brightness(), 0);
    QTRY_VERIFY(!m_light->isLit());
    // Dark, yet the brightness to come back at is kept.
    QCOMPARE(m_settings->getSubSetting(BaseSettings::BLELight, BaseSettings::BLEBrightness).toInt(), 65);

    m_follower->setReadersPresent(true);
    QTRY_COMPARE(m_panel->brightness(), 65);
}

void tst_LightFollower::readerBackWithinGraceKeepsTheLight()
{
    connectPanel();
    setFollowing(true);
    m_follower->setReadersPresent(true);
    QTRY_COMPARE(m_panel->brightness(), 65);
    const int framesBefore = m_panel->writtenFrames().size();

    // One call application hands over to another.
    m_follower->setReadersPresent(false);
    m_follower->setReadersPresent(true);
    QTest::qWait(graceMs * 4);
    // A later command goes behind anything the follower queued, so its frame comes last.
    QVERIFY(m_light->setTemperature(3250, false));
    QTRY_COMPARE(m_panel->writtenFrames().size(), framesBefore + 2);
    QCOMPARE(m_panel->writtenFrames().at(framesBefore), QByteArray::fromHex("aa5520" "41" "55aa"));
    QCOMPARE(m_panel->brightness(), 65);
}

void tst_LightFollower::toggleOffLeavesTheLightAlone()
{
    connectPanel();
    m_follower->setReadersPresent(true);
    m_follower->setReadersPresent(false);
    QTest::qWait(graceMs * 4);
    // Turned on while no one reads, the toggle acts only on the next change.
    setFollowing(true);
    QVERIFY(m_light->setTemperature(3250, false));
    QTRY_COMPARE(m_panel->writtenFrames().size(), 1);
    QCOMPARE(m_panel->writtenFrames().first(), QByteArray::fromHex("aa551032" "55aa"));
    QCOMPARE(m_panel->brightness(), 0);

    // Turned off during the grace time, the light stays on.
    m_follower->setReadersPresent(true);
    QTRY_COMPARE(m_panel->brightness(), 65);
    m_follower->setReadersPresent(false);
    setFollowing(false);
    QTest::qWait(graceMs * 4);
    QVERIFY(m_light->setTemperature(0, false));
    QTRY_COMPARE(m_panel->temperaturePercent(), 100);
    QCOMPARE(m_panel->brightness(), 65);
}

void tst_LightFollower::panelArrivingDuringACall()
{
    createController();
    setFollowing(true);
    m_follower->setReadersPresent(true); // nothing to switch yet
    QVERIFY(m_panel->writtenFrames().isEmpty());
    m_light->start();
    QTRY_VERIFY_WITH_TIMEOUT(m_light->isConnected(), connectTimeoutMs);
    QTRY_COMPARE(m_panel->brightness(), 65);
}

QTEST_GUILESS_MAIN(tst_LightFollower)
#include "tst_lightfollower.moc"
