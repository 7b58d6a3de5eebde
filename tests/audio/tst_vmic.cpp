#include "app/core/basesettings.h"
#include "audio/vmic.h"
#include "tests/support/soundserver.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QMediaDevices>
#include <QMutex>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <cmath>
#include <csignal>

namespace {

// Log lines arrive from the microphone's worker threads.
QMutex g_logLock;
QStringList g_log;
QtMessageHandler g_previousHandler = nullptr;

void recordMessage(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    {
        QMutexLocker lock(&g_logLock);
        g_log << message;
    }
    g_previousHandler(type, context, message);
}

/// Index of the first line at or after `from` that contains `text`, or -1.
qsizetype logIndexOf(const QString &text, qsizetype from = 0)
{
    QMutexLocker lock(&g_logLock);
    for (qsizetype i = std::max<qsizetype>(from, 0); i < g_log.size(); ++i) {
        if (g_log[i].contains(text))
            return i;
    }
    return -1;
}

bool logContains(const QString &text)
{
    return logIndexOf(text) >= 0;
}

QString run(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.start(program, arguments);
    process.waitForFinished(30000);
    return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
}

struct Recording
{
    QVector<qint16> samples;

    double rms(qsizetype from, qsizetype count) const
    {
        count = std::min(count, samples.size() - from);
        double sum = 0;
        for (qsizetype i = from; i < from + count; ++i)
            sum += double(samples[i]) * samples[i];
        return count > 0 ? std::sqrt(sum / double(count)) / 32768.0 : 0.0;
    }
    /// Longest run of digital silence, in samples.
    qsizetype longestSilence(qsizetype from) const
    {
        qsizetype longest = 0, current = 0;
        for (qsizetype i = from; i < samples.size(); ++i) {
            current = samples[i] == 0 ? current + 1 : 0;
            longest = std::max(longest, current);
        }
        return longest;
    }
    /// RMS of the loudest second.
    double loudestSecond() const
    {
        double best = 0;
        for (qsizetype i = 0; i + 48000 <= samples.size(); i += 4800)
            best = std::max(best, rms(i, 48000));
        return best;
    }
};

} // namespace

/// The virtual microphone against its own sound server, which the test starts,
/// stops and restarts: PulseAudio, or PipeWire with WirePlumber and
/// pipewire-pulse when TALVENTO_TEST_SOUND_SERVER is "pipewire". A fake camera
/// microphone fed with speech and noise, and the virtual device "Talvento Control".
class tst_VMic : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();

    void processedAudioArrivesContinuously();
    void volumeAndMuteOfTheMicrophone();
    void followsTheVirtualCameraClients();
    void vanishedMicrophoneRestartsInTheSameTick();
    void stalledInputRebuildsBothDevices();
    void absentMicrophone();
    void survivesASoundServerRestart();

private:
    void startServer();
    void stopServer();
    void startFeeder();
    Recording record(int milliseconds);
    QString moduleOf(const QString &sourceName);

    QTemporaryDir m_dir;
    bool m_pipewire = false;
    QProcess m_server;
    qint64 m_feederGroup = 0;
    std::unique_ptr<BaseSettings> m_settings;
};

void tst_VMic::initTestCase()
{
    m_pipewire = testsUsePipeWire();
    TALVENTO_REQUIRE_SOUND_SERVER();
    QVERIFY(m_dir.isValid());
    QStandardPaths::setTestModeEnabled(true);
    g_previousHandler = qInstallMessageHandler(recordMessage);

    // Our own server: set before Qt Multimedia first looks for one.
    const QString d = m_dir.path();
    QFile clientConfig(d + "/client.conf");
    QVERIFY(clientConfig.open(QIODevice::WriteOnly));
    clientConfig.write("autospawn = no\n");
    clientConfig.close();
    qputenv("PULSE_CLIENTCONFIG", clientConfig.fileName().toUtf8());
    const QStringList modules{
        "module-null-sink sink_name=test_speakers rate=48000 sink_properties='device.description=\"Test Speakers\"'",
        "module-null-sink sink_name=cam_feed rate=48000 channels=1 sink_properties='device.description=\"Camera Feed\"'",
        "module-remap-source master=cam_feed.monitor source_name=cam_mic channels=1 source_properties='device.description=\"Talvento Camera Pro Microphone\"'",
        "module-null-sink sink_name=talvento_control rate=48000 channels=1 sink_properties='device.description=\"Talvento Control\"'",
        "module-remap-source master=talvento_control.monitor source_name=talvento_control_mic channels=1 source_properties='device.description=\"Talvento Control Microphone\"'",
    };
    if (m_pipewire) {
        // The runtime directory is made afresh by each start; the devices come from
        // pipewire-pulse's configuration, an SPA-JSON string each.
        qputenv("XDG_RUNTIME_DIR", (d + "/pipewire").toUtf8());
        qputenv("PIPEWIRE_RUNTIME_DIR", (d + "/pipewire").toUtf8());
        qputenv("PULSE_SERVER", ("unix:" + d + "/pipewire/pulse/native").toUtf8());
        QVERIFY(QDir().mkpath(d + "/pipewire-config/pipewire/pipewire-pulse.conf.d"));
        QFile config(d + "/pipewire-config/pipewire/pipewire-pulse.conf.d/50-test-devices.conf");
        QVERIFY(config.open(QIODevice::WriteOnly));
        config.write("pulse.cmd = [\n");
        for (QString module : modules)
            config.write(QStringLiteral("{ cmd = \"load-module\" args = \"%1\" }\n")
                             .arg(module.replace('"', QStringLiteral("\\\""))).toUtf8());
        config.write("]\n");
    } else {
        qputenv("PULSE_SERVER", ("unix:" + d + "/pulse.sock").toUtf8());
        qputenv("PULSE_RUNTIME_PATH", (d + "/runtime").toUtf8());
        qputenv("PULSE_STATE_PATH", (d + "/state").toUtf8());
        QFile config(d + "/session.pa");
        QVERIFY(config.open(QIODevice::WriteOnly));
        config.write(QStringLiteral("load-module module-native-protocol-unix socket=%1/pulse.sock auth-anonymous=1\n").arg(d).toUtf8());
        for (const QString &module : modules)
            config.write(("load-module " + module + '\n').toUtf8());
        config.write("set-default-sink test_speakers\n");
    }

    // Speech over white noise at about 5 dB SNR, looped into the camera microphone.
    QCOMPARE(QProcess::execute(QStringLiteral("espeak-ng"),
                               {"-w", d + "/speech.wav", "Hello from the camera microphone. This is a test of the "
                                                         "virtual microphone with noise behind the voice."}),
             0);
    QCOMPARE(QProcess::execute(QStringLiteral("sox"), {d + "/speech.wav", "-r", "48000", "-c", "1", "-b", "16",
                                                       d + "/speech48.wav", "norm", "-3", "pad", "0", "1"}),
             0);
    QCOMPARE(QProcess::execute(QStringLiteral("sox"), {"-n", "-r", "48000", "-c", "1", "-b", "16", d + "/noise.wav",
                                                       "synth", "7", "whitenoise", "vol", "0.08"}),
             0);
    QCOMPARE(QProcess::execute(QStringLiteral("sox"), {"-m", "-v", "1", d + "/speech48.wav", "-v", "1", d + "/noise.wav", d + "/mix.wav",
                                                       "trim", "0", "6"}),
             0);

    startServer();
    startFeeder();
    m_settings = std::make_unique<BaseSettings>();
    m_settings->setSubSetting(BaseSettings::DSPAGC, BaseSettings::Enabled, true);
    m_settings->setSubSetting(BaseSettings::DSPRNN, BaseSettings::Enabled, true);
}

void tst_VMic::cleanupTestCase()
{
    if (m_feederGroup > 0)
        ::kill(-pid_t(m_feederGroup), SIGTERM);
    stopServer();
    qInstallMessageHandler(g_previousHandler);
}

void tst_VMic::init()
{
    QMutexLocker lock(&g_logLock);
    g_log.clear();
}

void tst_VMic::startServer()
{
    // The server leads a process group of its own, so that a crash can take all of it.
    const QString d = m_dir.path();
    if (m_pipewire) {
        QDir(d + "/pipewire").removeRecursively();
        m_server.start(QStringLiteral("setsid"),
                       {"bash", "-c",
                        "SVC_DIR=$1; source \"$0\"; trap stop_services EXIT; trap 'exit 0' TERM; "
                        "start_pipewire \"$2\" || exit 1; wait",
                        qEnvironmentVariable("TALVENTO_SOURCE_DIR") + "/scripts/services.sh", d + "/pipewire",
                        d + "/pipewire-config"});
    } else {
        // Without shared memory, as in the other test services: PulseAudio 16 can abort when a
        // client's shared block goes away.
        m_server.start(QStringLiteral("setsid"),
                       {"pulseaudio", "-n", "-F", d + "/session.pa", "--daemonize=no", "--exit-idle-time=-1",
                        "--disallow-exit=yes", "--realtime=no", "--high-priority=no", "--use-pid-file=no",
                        "--disable-shm=yes",
                        "--log-target=file:" + d + "/pulse.log"});
    }
    QVERIFY(m_server.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(run(QStringLiteral("pactl"), {"list", "short", "sources"}).contains("cam_mic"), 60000);
    if (m_pipewire)
        run(QStringLiteral("pactl"), {"set-default-sink", "test_speakers"});
}

void tst_VMic::stopServer()
{
    m_server.terminate();
    m_server.waitForFinished(10000);
}

void tst_VMic::startFeeder()
{
    // One continuous client keeps the null sink's monitor in small blocks.
    const QString command = QStringLiteral("sox -q '%1/mix.wav' -t raw -r 48000 -e signed -b 16 -c 1 - repeat 99999 | "
                                           "pacat --playback --latency-msec=20 -d cam_feed --rate=48000 --channels=1 "
                                           "--format=s16le --client-name=test-feeder")
                                .arg(m_dir.path());
    qint64 pid = 0;
    QVERIFY(QProcess::startDetached(QStringLiteral("setsid"), {"bash", "-c", command}, QString(), &pid));
    m_feederGroup = pid;
    QTest::qWait(1500); // the feeder's stream settles before the first capture
}

Recording tst_VMic::record(int milliseconds)
{
    QProcess parec;
    parec.start(QStringLiteral("parec"), {"-d", "talvento_control_mic", "--latency-msec=20", "--rate=48000",
                                          "--channels=1", "--format=s16le"});
    parec.waitForStarted();
    QTest::qWait(milliseconds);
    parec.terminate();
    parec.waitForFinished();
    const QByteArray bytes = parec.readAllStandardOutput();
    Recording recording;
    recording.samples.resize(bytes.size() / 2);
    memcpy(recording.samples.data(), bytes.constData(), size_t(recording.samples.size()) * 2);
    return recording;
}

QString tst_VMic::moduleOf(const QString &sourceName)
{
    const QStringList lines = run(QStringLiteral("pactl"), {"list", "short", "modules"}).split('\n');
    for (const QString &line : lines) {
        if (line.contains(QStringLiteral("source_name=") + sourceName))
            return line.section('\t', 0, 0);
    }
    return QString();
}

void tst_VMic::processedAudioArrivesContinuously()
{
    VMic vmic(m_settings.get(), nullptr);
    QVERIFY(!vmic.getOutputDevice(false).isNull());
    QVERIFY(vmic.start());
    QTest::qWait(1000); // noise suppression and gain settle

    const Recording recording = record(10000);
    QVERIFY2(recording.samples.size() > 9 * 48000, qPrintable(QString::number(recording.samples.size())));
    const qsizetype silence = recording.longestSilence(0);
    const double loudest = recording.loudestSecond();
    qInfo("10 s recorded: longest digital silence %.1f ms, loudest second at %.3f RMS (%.1f dBFS)",
          silence / 48.0, loudest, 20 * std::log10(loudest));
    QVERIFY(silence < 4800); // no gap of 100 ms
    // Gain control aims at 0.15 RMS at strength 50.
    QVERIFY(loudest > 0.07);
    QVERIFY(loudest < 0.3);
    // The virtual device runs at full volume, unmuted, and so does the microphone.
    QVERIFY(run(QStringLiteral("pactl"), {"get-sink-volume", "talvento_control"}).contains("100%"));
    QCOMPARE(run(QStringLiteral("pactl"), {"get-sink-mute", "talvento_control"}), QStringLiteral("Mute: no"));
    QCOMPARE(run(QStringLiteral("pactl"), {"get-source-mute", "cam_mic"}), QStringLiteral("Mute: no"));
}

void tst_VMic::volumeAndMuteOfTheMicrophone()
{
    VMic vmic(m_settings.get(), nullptr);
    QVERIFY(vmic.setVolume(40, false));
    QVERIFY(run(QStringLiteral("pactl"), {"get-source-volume", "cam_mic"}).contains("40%"));
    CameraSetting volume;
    QVERIFY(vmic.getVolume(volume));
    QCOMPARE(volume.value, 40);

    QVERIFY(vmic.setMute(0, true));
    QCOMPARE(run(QStringLiteral("pactl"), {"get-source-mute", "cam_mic"}), QStringLiteral("Mute: yes"));
    CameraSetting mute;
    QVERIFY(vmic.getMute(mute));
    QVERIFY(mute.autoEnabled);
    QVERIFY(vmic.setMute(0, false));
    QVERIFY(vmic.getMute(mute));
    QVERIFY(!mute.autoEnabled);
    QVERIFY(vmic.setVolume(100, false));
}

void tst_VMic::followsTheVirtualCameraClients()
{
    VMic vmic(m_settings.get(), nullptr);
    QVERIFY(vmic.start());

    QElapsedTimer clock;
    clock.start();
    vmic.clientsConnected = false;
    QTRY_VERIFY_WITH_TIMEOUT(logContains("stopping VMic, no clientsConnected!"), 10000);
    QTRY_VERIFY(!vmic.isInputRunning());
    qInfo("stopped %lld ms after the last client left", clock.elapsed());

    clock.restart();
    vmic.clientsConnected = true;
    QTRY_VERIFY_WITH_TIMEOUT(logContains("restarting VMic, it's not running!"), 10000);
    QTRY_VERIFY(vmic.isInputRunning() && vmic.isOutputRunning());
    qInfo("started %lld ms after a client came", clock.elapsed());
}

void tst_VMic::vanishedMicrophoneRestartsInTheSameTick()
{
    VMic vmic(m_settings.get(), nullptr);
    QVERIFY(vmic.start());
    const QString module = moduleOf(QStringLiteral("cam_mic"));
    QVERIFY(!module.isEmpty());
    run(QStringLiteral("pactl"), {"unload-module", module});

    QTRY_VERIFY_WITH_TIMEOUT(logContains("input device stopped being available!"), 10000);
    // The stop leaves nothing processed, so the same tick tries again at once.
    const qsizetype lost = logIndexOf("input device stopped being available!");
    QTRY_VERIFY(logIndexOf("restarting VMic - elapsed >=!", lost) > lost);
    QVERIFY(!vmic.isInputRunning());

    run(QStringLiteral("pactl"), {"load-module", "module-remap-source", "master=cam_feed.monitor",
                                  "source_name=cam_mic", "channels=1",
                                  "source_properties='device.description=\"Talvento Camera Pro Microphone\"'"});
    QTRY_VERIFY_WITH_TIMEOUT(vmic.isInputRunning() && vmic.isOutputRunning(), 15000);
}

void tst_VMic::stalledInputRebuildsBothDevices()
{
    VMic vmic(m_settings.get(), nullptr);
    QVERIFY(vmic.start());
    run(QStringLiteral("pactl"), {"suspend-source", "cam_mic", "1"});
    QTRY_VERIFY_WITH_TIMEOUT(logContains("restarting VMic - elapsed >=!"), 15000);
    run(QStringLiteral("pactl"), {"suspend-source", "cam_mic", "0"});
    QVERIFY(logContains("VMic::stopOutput"));
    QTRY_VERIFY_WITH_TIMEOUT(vmic.isInputRunning() && vmic.isOutputRunning(), 15000);
}

void tst_VMic::survivesASoundServerRestart()
{
    VMic vmic(m_settings.get(), nullptr);
    QVERIFY(vmic.start());
    QTRY_VERIFY_WITH_TIMEOUT(record(600).rms(0, 48000) > 0.01, 10000);

    // A crash and an immediate restart, as a session manager does it.
    ::kill(-pid_t(m_feederGroup), SIGTERM);
    ::kill(-pid_t(m_server.processId()), SIGKILL);
    m_server.waitForFinished();
    startServer();
    QElapsedTimer clock; // from the moment the server and its devices are back
    clock.start();
    startFeeder();

    // Recorded one window after another (QTRY would evaluate a recording several times over),
    // so the time is that of the first window that holds audio.
    bool audioBack = false;
    while (!audioBack && clock.elapsed() < 30000)
        audioBack = vmic.isInputRunning() && vmic.isOutputRunning() && record(600).rms(0, 48000) > 0.01;
    QVERIFY(audioBack);
    qInfo("audio reached the virtual device again within %lld ms after the server came back", clock.elapsed());
}

void tst_VMic::absentMicrophone()
{
    const QString module = moduleOf(QStringLiteral("cam_mic"));
    run(QStringLiteral("pactl"), {"unload-module", module});
    VMic vmic(m_settings.get(), nullptr);
    QTRY_VERIFY(QMediaDevices::audioInputs().size() == 1); // only the virtual microphone remains
    CameraSetting setting;
    setting.value = 77;
    QVERIFY(!vmic.getVolume(setting));
    QCOMPARE(setting.value, 0);
    QCOMPARE(setting.minimum, 0);
    QCOMPARE(setting.maximum, 100);
    QCOMPARE(setting.defaultValue, 15);
    QVERIFY(!vmic.start());

    run(QStringLiteral("pactl"), {"load-module", "module-remap-source", "master=cam_feed.monitor",
                                  "source_name=cam_mic", "channels=1",
                                  "source_properties='device.description=\"Talvento Camera Pro Microphone\"'"});
    QTRY_VERIFY(QMediaDevices::audioInputs().size() == 2);
}

QTEST_GUILESS_MAIN(tst_VMic)
#include "tst_vmic.moc"
