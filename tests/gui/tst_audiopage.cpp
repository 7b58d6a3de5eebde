#include "guitestmain.h"
#include "pagesfit.h"

#include "app/control/controlservice.h"
#include "audio/vmic.h"
#include "gui/draggableframe.h"
#include "gui/mainwidget.h"
#include "tests/support/soundserver.h"

#include <QCheckBox>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QSignalSpy>
#include <QSlider>

#include <csignal>

namespace {

App *app()
{
    return static_cast<App *>(qApp);
}

QString pactl(const QStringList &arguments)
{
    QProcess process;
    process.start(QStringLiteral("pactl"), arguments);
    process.waitForFinished(30000);
    return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
}

// The camera microphone of the test devices, as the sound server names it.
const QString microphone = QStringLiteral("talvento_cam_mic");

struct Row
{
    explicit Row(DraggableFrame *frame)
        : frame(frame)
        , toggle(frame ? frame->findChild<QCheckBox *>("toggle_button") : nullptr)
        , slider(frame ? frame->findChild<QSlider *>() : nullptr)
        , value(frame ? frame->findChild<QLabel *>("value_label") : nullptr)
    {
    }
    bool complete() const { return frame && toggle && slider && value; }

    DraggableFrame *frame;
    QCheckBox *toggle;
    QSlider *slider;
    QLabel *value;
};

} // namespace

/// The Audio page against a sound server of its own, with the camera's microphone and the
/// virtual audio device made as the services script and the installer make them: PulseAudio,
/// or PipeWire with pipewire-pulse when TALVENTO_TEST_SOUND_SERVER is "pipewire".
class tst_AudioPage : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void pageExistsWithTheVirtualDevice();
    void pagesFitTheirDesignedSize();
    void volumeRowDrivesTheMicrophone();
    void filterRowsStoreSwitchAndStrength_data();
    void filterRowsStoreSwitchAndStrength();
    void resetSwitchesTheFiltersOff();
    void filterRowsShowWritesOverTheBus();

private:
    MainWidget::Controllers controllers()
    {
        MainWidget::Controllers devices;
        devices.microphone = m_microphone.get();
        return devices;
    }

    // No spaces: the sound server takes the socket path as a module argument.
    QTemporaryDir m_dir{QDir::tempPath() + "/audiopage-XXXXXX"};
    qint64 m_serverGroup = 0;
    std::unique_ptr<VMic> m_microphone;
};

void tst_AudioPage::initTestCase()
{
    const bool pipewire = testsUsePipeWire();
    TALVENTO_REQUIRE_SOUND_SERVER();
    QVERIFY(m_dir.isValid());
    // The server leads a process group of its own; it writes its address once the devices are
    // there. Set before anything asks Qt for audio devices.
    const QString services = m_dir.path() + "/services";
    const QString script = "SVC_DIR=$1; source \"$0\"; trap stop_services EXIT; trap 'exit 0' TERM; "
                           + QString(pipewire ? "start_pipewire" : "start_audio")
                           + " && ensure_virtual_audio || exit 1; echo \"$PULSE_SERVER\" >\"$SVC_DIR/address.new\"; "
                             "mv \"$SVC_DIR/address.new\" \"$SVC_DIR/address\"; sleep infinity & wait";
    QVERIFY(QProcess::startDetached(QStringLiteral("setsid"),
                                    {"bash", "-c", script,
                                     qEnvironmentVariable("TALVENTO_SOURCE_DIR") + "/scripts/services.sh", services},
                                    QString(), &m_serverGroup));
    QFile address(services + "/address");
    QTRY_VERIFY_WITH_TIMEOUT(address.exists(), 60000);
    QVERIFY(address.open(QIODevice::ReadOnly));
    qputenv("PULSE_SERVER", address.readAll().trimmed());
    qputenv("PULSE_CLIENTCONFIG", QFile::encodeName(services + "/client.conf"));
    QVERIFY(pactl({"list", "short", "sources"}).contains(microphone));

    m_microphone = std::make_unique<VMic>(app()->setMgr(), nullptr);
    QTRY_VERIFY_WITH_TIMEOUT(!VMic::getOutputDevice(false).isNull(), 20000);
}

void tst_AudioPage::cleanupTestCase()
{
    m_microphone.reset();
    if (m_serverGroup > 0)
        ::kill(-pid_t(m_serverGroup), SIGTERM);
}

void tst_AudioPage::pageExistsWithTheVirtualDevice()
{
    MainWidget window(controllers(), nullptr);
    QCOMPARE(window.findChild<QWidget *>("tabHeader")->findChildren<QPushButton *>().size(), 6);
    for (const char *name : {"Setting_Volume", "Setting_Denoise", "Setting_Bass", "Setting_Treble",
                             "Setting_Compression"})
        QVERIFY2(Row(window.findChild<DraggableFrame *>(name)).complete(), name);
}

void tst_AudioPage::pagesFitTheirDesignedSize()
{
    // The Audio page among the others, as the window shows it with the virtual device.
    MainWidget window(controllers(), nullptr);
    verifyPagesFitTheirDesignedSize(window);
}

void tst_AudioPage::volumeRowDrivesTheMicrophone()
{
    pactl({"set-source-volume", microphone, "40%"});
    pactl({"set-source-mute", microphone, "0"});
    MainWidget window(controllers(), nullptr);
    Row volume(window.findChild<DraggableFrame *>("Setting_Volume"));
    QVERIFY(volume.complete());
    // The row shows the microphone as the sound server has it.
    QVERIFY(volume.toggle->isChecked());
    QVERIFY(volume.slider->isEnabled());
    QCOMPARE(volume.slider->value(), 40);
    QCOMPARE(volume.value->text(), QString("40%"));

    volume.slider->setValue(65);
    QTRY_VERIFY_WITH_TIMEOUT(pactl({"get-source-volume", microphone}).contains("65%"), 10000);
    QCOMPARE(volume.value->text(), QString("65%"));

    // The switch is the microphone being heard: off mutes it and locks the slider.
    volume.toggle->setChecked(false);
    QTRY_COMPARE_WITH_TIMEOUT(pactl({"get-source-mute", microphone}), QString("Mute: yes"), 10000);
    QCOMPARE(volume.value->text(), QString("Muted"));
    QVERIFY(!volume.slider->isEnabled());
    QVERIFY(pactl({"get-source-volume", microphone}).contains("65%"));

    // A window opened while it is muted shows it so.
    {
        MainWidget next(controllers(), nullptr);
        Row shown(next.findChild<DraggableFrame *>("Setting_Volume"));
        QVERIFY(shown.complete());
        QVERIFY(!shown.toggle->isChecked());
        QCOMPARE(shown.value->text(), QString("Muted"));
        QVERIFY(!shown.slider->isEnabled());
    }

    volume.toggle->setChecked(true);
    QTRY_COMPARE_WITH_TIMEOUT(pactl({"get-source-mute", microphone}), QString("Mute: no"), 10000);
    QCOMPARE(volume.value->text(), QString("65%"));
    QVERIFY(volume.slider->isEnabled());
}

void tst_AudioPage::filterRowsStoreSwitchAndStrength_data()
{
    QTest::addColumn<QString>("row");
    QTest::addColumn<int>("group");
    QTest::newRow("Denoise") << "Setting_Denoise" << int(BaseSettings::DSPRNN);
    QTest::newRow("Bass") << "Setting_Bass" << int(BaseSettings::DSPBass);
    QTest::newRow("Treble") << "Setting_Treble" << int(BaseSettings::DSPTreble);
    QTest::newRow("Compression") << "Setting_Compression" << int(BaseSettings::DSPCompressor);
}

void tst_AudioPage::filterRowsStoreSwitchAndStrength()
{
    QFETCH(QString, row);
    QFETCH(int, group);
    BaseSettings *settings = app()->setMgr();
    const auto filter = BaseSettings::Settings(group);
    const auto stored = [&](BaseSettings::SubSettings key) { return settings->getSubSetting(filter, key); };
    settings->setSubSetting(filter, BaseSettings::Enabled, false);
    settings->setSubSetting(filter, BaseSettings::DSP_Strength, 30);

    MainWidget window(controllers(), nullptr);
    Row shown(window.findChild<DraggableFrame *>(row));
    QVERIFY(shown.complete());
    QVERIFY(!shown.toggle->isChecked());
    QVERIFY(!shown.slider->isEnabled());
    QCOMPARE(shown.slider->value(), 30);
    QCOMPARE(shown.value->text(), QString("30%"));

    shown.toggle->setChecked(true);
    QCOMPARE(stored(BaseSettings::Enabled).toBool(), true);
    QVERIFY(shown.slider->isEnabled());
    shown.slider->setValue(80);
    QCOMPARE(stored(BaseSettings::DSP_Strength).toInt(), 80);
    QCOMPARE(shown.value->text(), QString("80%"));
    shown.toggle->setChecked(false);
    QCOMPARE(stored(BaseSettings::Enabled).toBool(), false);
    QCOMPARE(stored(BaseSettings::DSP_Strength).toInt(), 80);
    QVERIFY(!shown.slider->isEnabled());

    // The next window starts from what was stored.
    shown.toggle->setChecked(true);
    MainWidget next(controllers(), nullptr);
    Row again(next.findChild<DraggableFrame *>(row));
    QVERIFY(again.complete());
    QVERIFY(again.toggle->isChecked());
    QVERIFY(again.slider->isEnabled());
    QCOMPARE(again.slider->value(), 80);
}

void tst_AudioPage::resetSwitchesTheFiltersOff()
{
    BaseSettings *settings = app()->setMgr();
    const BaseSettings::Settings filters[] = {BaseSettings::DSPRNN, BaseSettings::DSPBass, BaseSettings::DSPTreble,
                                              BaseSettings::DSPCompressor};
    for (BaseSettings::Settings filter : filters) {
        settings->setSubSetting(filter, BaseSettings::Enabled, true);
        settings->setSubSetting(filter, BaseSettings::DSP_Strength, 70);
    }
    pactl({"set-source-mute", microphone, "1"});
    MainWidget window(controllers(), nullptr);
    QVERIFY(!Row(window.findChild<DraggableFrame *>("Setting_Volume")).toggle->isChecked());

    window.resetAllSettings();
    for (BaseSettings::Settings filter : filters)
        QVERIFY2(!settings->getSubSetting(filter, BaseSettings::Enabled).toBool(), qPrintable(QString::number(filter)));
    for (const char *name : {"Setting_Denoise", "Setting_Bass", "Setting_Treble", "Setting_Compression"}) {
        Row shown(window.findChild<DraggableFrame *>(name));
        QVERIFY2(!shown.toggle->isChecked() && !shown.slider->isEnabled(), name);
    }
    // The microphone is heard again.
    Row volume(window.findChild<DraggableFrame *>("Setting_Volume"));
    QVERIFY(volume.toggle->isChecked());
    QTRY_COMPARE_WITH_TIMEOUT(pactl({"get-source-mute", microphone}), QString("Mute: no"), 10000);
}

// A filter switched and set over the bus shows at once in the open window, and showing it
// writes nothing back.
void tst_AudioPage::filterRowsShowWritesOverTheBus()
{
    BaseSettings *settings = app()->setMgr();
    settings->setSubSetting(BaseSettings::DSPBass, BaseSettings::Enabled, false);
    settings->setSubSetting(BaseSettings::DSPBass, BaseSettings::DSP_Strength, 20);
    MainWidget window(controllers(), nullptr);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    Row bass(window.findChild<DraggableFrame *>("Setting_Bass"));
    QVERIFY(bass.complete());
    QVERIFY(!bass.toggle->isChecked());

    ControlService::Components components;
    components.settings = settings;
    components.effects = [] { return nullptr; };
    components.light = [] { return nullptr; };
    components.window = [&window] { return &window; };
    components.cameraInUse = [] { return false; };
    ControlService service(components);
    QSignalSpy stored(settings, &BaseSettings::changed);
    QVERIFY(!service.write("Bass", true).failed());
    QVERIFY(!service.write("BassStrength", 70).failed());
    QCOMPARE(stored.size(), 2);
    QVERIFY(bass.toggle->isChecked());
    QVERIFY(bass.slider->isEnabled());
    QCOMPARE(bass.slider->value(), 70);
    QCOMPARE(bass.value->text(), QString("70%"));
    QVERIFY(!service.write("Bass", false).failed());
    QVERIFY(!bass.toggle->isChecked());
    QVERIFY(!bass.slider->isEnabled());

    // The user's own change is stored as before.
    bass.toggle->setChecked(true);
    bass.slider->setValue(55);
    QCOMPARE(settings->getSubSetting(BaseSettings::DSPBass, BaseSettings::Enabled).toBool(), true);
    QCOMPARE(settings->getSubSetting(BaseSettings::DSPBass, BaseSettings::DSP_Strength).toInt(), 55);
    QCOMPARE(service.read("BassStrength"), QVariant(55));
    window.hide();
}

TALVENTO_GUI_TEST_MAIN(tst_AudioPage)
#include "tst_audiopage.moc"
