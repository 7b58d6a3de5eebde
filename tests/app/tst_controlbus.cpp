// The built application under --simulate driven over a private session bus, by gdbus and by a
// second talvento-control: properties, errors, announcements, the second launch and the
// virtual camera's frames.
#include "tests/app/runningapp.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QImage>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>
#include <memory>

namespace {

const QString dest = QStringLiteral("org.talvento.Control");
const QString path = QStringLiteral("/org/talvento/Control");
const QString iface = QStringLiteral("org.talvento.Control1");

struct Run
{
    int code = -1;
    QString out;
    QString err;
};

// How much fine detail the frame holds: the mean difference between horizontal neighbours,
// over the green channel.
double detail(const QImage &frame)
{
    qint64 sum = 0;
    qint64 count = 0;
    for (int y = 0; y < frame.height(); y += 4) {
        const auto *line = reinterpret_cast<const QRgb *>(frame.constScanLine(y));
        for (int x = 1; x < frame.width(); ++x, ++count)
            sum += std::abs(qGreen(line[x]) - qGreen(line[x - 1]));
    }
    return count ? double(sum) / double(count) : 0.0;
}

} // namespace

class tst_ControlBus : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    void blurThroughTheBusReachesTheReader();
    void badValuesAreRefused();
    void changesAreAnnounced();
    void secondLaunchShowsTheWindow();
    void commandLine();
    void withoutARunningInstance();
    void lightFollowsTheCamera_data();
    void lightFollowsTheCamera();

private:
    QProcessEnvironment environment() const;
    Run run(const QString &program, const QStringList &arguments, int timeoutMs = 30000);
    Run gdbus(const QStringList &arguments);
    Run cli(const QStringList &arguments);
    Run get(const QString &property);
    Run set(const QString &property, const QString &gvariant);
    bool waitFor(const QString &property, const QString &gvariant);
    void startApp();

    QTemporaryDir m_home;
    QString m_segment;
    QString m_busAddress;
    QProcess m_bus;
    std::unique_ptr<QProcess> m_app;
};

void tst_ControlBus::initTestCase()
{
    QVERIFY(m_home.isValid());
    QVERIFY(QFile::exists(TALVENTO_APP_EXECUTABLE));
    QVERIFY(QFile::exists(TALVENTO_CONTROL_EXECUTABLE));
    if (QStandardPaths::findExecutable("gdbus").isEmpty() || QStandardPaths::findExecutable("dbus-daemon").isEmpty()) {
        if (qEnvironmentVariableIsEmpty("TALVENTO_TEST_SERVICES"))
            QSKIP("gdbus or dbus-daemon missing (scripts/setup installs them)");
        QFAIL("gdbus or dbus-daemon missing");
    }
    m_segment = QStringLiteral("/talvento-vcam-bus-%1").arg(QCoreApplication::applicationPid());
    // A session bus of our own: no other test's instance answers here, and nothing leaves the
    // machine.
    m_busAddress = "unix:path=" + m_home.filePath("bus");
    m_bus.start("dbus-daemon", { "--session", "--nofork", "--address=" + m_busAddress });
    QVERIFY(m_bus.waitForStarted());
    QTRY_VERIFY(QFile::exists(m_home.filePath("bus")));
    // The instance lock lives in the runtime folder, which must be private.
    QVERIFY(QDir().mkpath(m_home.filePath("run")));
    QVERIFY(QFile::setPermissions(m_home.filePath("run"), QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                                             | QFileDevice::ExeOwner));
}

void tst_ControlBus::cleanupTestCase()
{
    m_bus.terminate();
    m_bus.waitForFinished(10000);
}

void tst_ControlBus::init()
{
    QDir(m_home.filePath("config")).removeRecursively();
    QFile::remove(m_home.filePath("run/Talvento.lock"));
}

void tst_ControlBus::cleanup()
{
    stopApp(m_app);
    SharedFrameRing::unlink(m_segment);
}

QProcessEnvironment tst_ControlBus::environment() const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DBUS_SESSION_BUS_ADDRESS", m_busAddress);
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("XDG_CONFIG_HOME", m_home.filePath("config"));
    env.insert("TMPDIR", m_home.path());
    env.insert("XDG_RUNTIME_DIR", m_home.filePath("run"));
    env.insert("QT_LOGGING_RULES", "default.debug=true");
    return env;
}

Run tst_ControlBus::run(const QString &program, const QStringList &arguments, int timeoutMs)
{
    QProcess process;
    process.setProcessEnvironment(environment());
    process.start(program, arguments);
    Run result;
    if (!process.waitForFinished(timeoutMs) || process.exitStatus() != QProcess::NormalExit) {
        process.kill();
        process.waitForFinished(5000);
        result.err = "did not finish";
        return result;
    }
    result.code = process.exitCode();
    result.out = QString::fromUtf8(process.readAllStandardOutput()).trimmed();
    result.err = QString::fromUtf8(process.readAllStandardError());
    return result;
}

Run tst_ControlBus::gdbus(const QStringList &arguments)
{
    return run("gdbus", QStringList { "call", "--session", "--dest", dest, "--object-path", path } + arguments);
}

Run tst_ControlBus::cli(const QStringList &arguments)
{
    return run(TALVENTO_CONTROL_EXECUTABLE, arguments);
}

Run tst_ControlBus::get(const QString &property)
{
    return gdbus({ "--method", "org.freedesktop.DBus.Properties.Get", iface, property });
}

Run tst_ControlBus::set(const QString &property, const QString &gvariant)
{
    return gdbus({ "--method", "org.freedesktop.DBus.Properties.Set", iface, property, gvariant });
}

bool tst_ControlBus::waitFor(const QString &property, const QString &gvariant)
{
    const QString expected = QStringLiteral("(%1,)").arg(gvariant);
    QDeadlineTimer deadline(60000);
    QString seen;
    while (!deadline.hasExpired()) {
        seen = get(property).out;
        if (seen == expected)
            return true;
        QTest::qWait(250);
    }
    qWarning() << "tst_ControlBus::waitFor ->" << property << "stayed" << seen;
    return false;
}

void tst_ControlBus::startApp()
{
    m_app = std::make_unique<QProcess>();
    m_app->setProcessEnvironment(environment());
    m_app->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_app->start(TALVENTO_APP_EXECUTABLE, { "--simulate", "--answer-messages", "yes", "--vcam-segment", m_segment });
    QVERIFY(m_app->waitForStarted());
    // The effects answer once the components have started.
    QTRY_VERIFY_WITH_TIMEOUT(get("BackgroundBlur").code == 0 || m_app->state() == QProcess::NotRunning, 60000);
    QCOMPARE(m_app->state(), QProcess::Running);
}

void tst_ControlBus::blurThroughTheBusReachesTheReader()
{
    startApp();
    QCOMPARE(get("BackgroundBlur").out, QString("(<0>,)"));
    SharedFrameRing ring(SharedFrameRing::Role::Reader, m_segment);
    QVERIFY(ring.isValid());
    QVERIFY(ring.registerClient());
    QImage frame;
    // The segmentation settles within a few frames; take the sharpest of the first ones.
    double sharp = 0;
    for (int i = 0; i < 10; ++i) {
        QVERIFY2(readFramesUntil(ring, [](const QImage &) { return true; }, frame), "no camera frame");
        sharp = std::max(sharp, detail(frame));
    }

    const Run done = set("BackgroundBlur", "<100>");
    QVERIFY2(done.code == 0, qPrintable(done.err));
    QCOMPARE(get("BackgroundBlur").out, QString("(<100>,)"));
    double blurred = 0;
    const bool softer = readFramesUntil(ring, [&](const QImage &f) { return (blurred = detail(f)) < sharp * 0.75; }, frame);
    QVERIFY2(softer, qPrintable(QString("detail %1 before, %2 after").arg(sharp).arg(blurred)));
    qInfo() << "detail before" << sharp << "after" << blurred;

    // And back: the detail returns.
    QCOMPARE(set("BackgroundBlur", "<0>").code, 0);
    QVERIFY(readFramesUntil(ring, [&](const QImage &f) { return detail(f) > sharp * 0.9; }, frame));
}

void tst_ControlBus::badValuesAreRefused()
{
    startApp();
    QCOMPARE(set("BackgroundBlur", "<40>").code, 0);
    const struct
    {
        const char *property;
        const char *value;
        const char *says;
    } refused[] = {
        { "BackgroundBlur", "<150>", "BackgroundBlur takes a whole number from 0 to 100, not 150" },
        { "BackgroundBlur", "<'high'>", "whole number" },
        { "BackgroundBlur", "<true>", "whole number" },
        { "Version", "<'v9'>", "read-only" },
        { "Loudness", "<3>", "no property Loudness" },
    };
    for (const auto &bad : refused) {
        const Run result = set(bad.property, bad.value);
        QVERIFY2(result.code != 0, bad.value);
        QVERIFY2(result.err.contains(bad.says), qPrintable(result.err));
    }
    QCOMPARE(get("BackgroundBlur").out, QString("(<40>,)"));

    // The interface describes itself to any client.
    const Run xml = run("gdbus", { "introspect", "--session", "--dest", dest, "--object-path", path });
    QCOMPARE(xml.code, 0);
    QVERIFY(xml.out.contains("interface org.talvento.Control1"));
    QVERIFY(xml.out.contains("readwrite i BackgroundBlur"));
    QVERIFY(xml.out.contains("readonly b CameraInUse"));
    QVERIFY(xml.out.contains("ShowWindow"));
}

void tst_ControlBus::changesAreAnnounced()
{
    startApp();
    QVERIFY(waitFor("LightConnected", "<true>"));
    QProcess monitor;
    monitor.setProcessEnvironment(environment());
    monitor.start("gdbus", { "monitor", "--session", "--dest", dest, "--object-path", path });
    QVERIFY(monitor.waitForStarted());
    // gdbus monitor subscribes before it prints its first line.
    QVERIFY(monitor.waitForReadyRead(10000));
    QString seen = QString::fromUtf8(monitor.readAllStandardOutput());

    // From the command line; and the light panel reports (and thus announces) what it is sent.
    QCOMPARE(cli({ "--set", "bass=on", "light-brightness=30" }).code, 0);
    QDeadlineTimer deadline(30000);
    while (!(seen.contains("'Bass': <true>") && seen.contains("'LightBrightness': <30>")) && !deadline.hasExpired()) {
        monitor.waitForReadyRead(500);
        seen += QString::fromUtf8(monitor.readAllStandardOutput());
    }
    monitor.kill();
    monitor.waitForFinished(5000);
    QVERIFY2(seen.contains("org.freedesktop.DBus.Properties.PropertiesChanged ('org.talvento.Control1'"),
             qPrintable(seen));
    QVERIFY2(seen.contains("'Bass': <true>"), qPrintable(seen));
    QVERIFY2(seen.contains("'LightBrightness': <30>"), qPrintable(seen));
}

void tst_ControlBus::secondLaunchShowsTheWindow()
{
    startApp();
    QVERIFY(waitFor("WindowVisible", "<true>"));
    QCOMPARE(set("WindowVisible", "<false>").code, 0);
    QCOMPARE(get("WindowVisible").out, QString("(<false>,)"));

    // The usual wait allows for the display's start; the process ends once it was answered.
    QElapsedTimer took;
    took.start();
    const Run second = run(TALVENTO_CONTROL_EXECUTABLE, {}, 30000);
    qInfo() << "the second launch ended after" << took.elapsed() << "ms"; // a figure, not a check
    QCOMPARE(second.code, 0);
    QVERIFY2(second.err.contains("the running instance shows its window"), qPrintable(second.err));
    QVERIFY2(!second.err.contains("already running"), qPrintable(second.err));
    QCOMPARE(get("WindowVisible").out, QString("(<true>,)"));
    QCOMPARE(m_app->state(), QProcess::Running);

    // Quit over the bus ends the first instance cleanly.
    QCOMPARE(gdbus({ "--method", iface + ".Quit" }).code, 0);
    QVERIFY(m_app->waitForFinished(60000));
    QCOMPARE(m_app->exitStatus(), QProcess::NormalExit);
    QCOMPARE(m_app->exitCode(), 0);
}

void tst_ControlBus::commandLine()
{
    startApp();
    QCOMPARE(cli({ "--set", "background-blur=60" }).code, 0);
    const Run blur = cli({ "--get", "background-blur" });
    QCOMPARE(blur.code, 0);
    QCOMPARE(blur.out, QString("60"));
    QCOMPARE(get("BackgroundBlur").out, QString("(<60>,)"));

    // Unknown keys and bad values are named, and nothing of the command is applied.
    const struct
    {
        QStringList args;
        const char *says;
    } bad[] = {
        { { "--set", "nonsense=1" }, "nonsense" },
        { { "--set", "skin-tone=20", "background-blur=lots" }, "background-blur" },
        { { "--set", "background-blur=101" }, "background-blur" },
        { { "--set", "version=2" }, "version" },
        { { "--toggle", "skin-tone" }, "skin-tone" },
        { { "--get", "nonsense" }, "nonsense" },
    };
    for (const auto &command : bad) {
        const Run result = cli(command.args);
        QCOMPARE(result.code, 2);
        QVERIFY2(result.err.contains(command.says), qPrintable(result.err));
    }
    QCOMPARE(cli({ "--get", "background-blur" }).out, QString("60"));
    QCOMPARE(cli({ "--get", "skin-tone" }).out, QString("50"));

    // A shortcut's toggle: off, then back at 60.
    QCOMPARE(cli({ "--toggle", "background-blur" }).out, QString("background-blur=0"));
    QCOMPARE(cli({ "--toggle", "background-blur" }).out, QString("background-blur=60"));
    QCOMPARE(cli({ "--toggle", "noise-suppression" }).out, QString("noise-suppression=on"));
    QCOMPARE(cli({ "--set", "noise-suppression=off", "text-line-1=Back at 3", "--get", "text-line-1" }).out,
             QString("Back at 3"));

    QVERIFY(waitFor("LightConnected", "<true>"));
    const Run list = cli({ "--list" });
    QCOMPARE(list.code, 0);
    for (const char *line : { "background-blur=60", "noise-suppression=off", "light-connected=on (read-only)",
                              "version=v0.25.8 (read-only)", "light-follows-camera=off" })
        QVERIFY2(list.out.split('\n').contains(line), qPrintable(list.out));
}

void tst_ControlBus::withoutARunningInstance()
{
    const Run result = cli({ "--get", "background-blur" });
    QCOMPARE(result.code, 1);
    QVERIFY2(result.err.contains("not running"), qPrintable(result.err));
    // Bad input is reported as such before anything is asked.
    QCOMPARE(cli({ "--set", "nonsense=1" }).code, 2);
}

void tst_ControlBus::lightFollowsTheCamera_data()
{
    QTest::addColumn<bool>("follow");
    QTest::newRow("following") << true;
    QTest::newRow("not following") << false;
}

// A viewer on the virtual camera switches the light on at its stored brightness, and off once
// the grace time after it left has run. The settings window stays open: its own preview is no
// call.
void tst_ControlBus::lightFollowsTheCamera()
{
    QFETCH(bool, follow);
    startApp();
    QVERIFY(waitFor("LightConnected", "<true>"));
    QVERIFY(waitFor("WindowVisible", "<true>"));
    const Run prepared = cli({ "--set", "light-brightness=70", "light-on=off",
                               QString("light-follows-camera=%1").arg(follow ? "on" : "off") });
    QVERIFY2(prepared.code == 0, qPrintable(prepared.err));
    QVERIFY(waitFor("LightOn", "<false>"));
    QCOMPARE(get("CameraInUse").out, QString("(<false>,)"));

    {
        SharedFrameRing viewer(SharedFrameRing::Role::Reader, m_segment);
        QVERIFY(viewer.isValid());
        QVERIFY(viewer.registerClient());
        QVERIFY(waitFor("CameraInUse", "<true>"));
        if (follow) {
            QVERIFY(waitFor("LightOn", "<true>"));
            QCOMPARE(get("LightBrightness").out, QString("(<70>,)"));
        } else {
            // The switch would have gone out with the report just seen; give it time to show.
            QTest::qWait(2000);
            QCOMPARE(get("LightOn").out, QString("(<false>,)"));
        }
    }
    QVERIFY(waitFor("CameraInUse", "<false>"));
    QElapsedTimer left;
    left.start();
    if (follow) {
        // The grace time (10 s) runs first.
        QCOMPARE(get("LightOn").out, QString("(<true>,)"));
        QVERIFY(waitFor("LightOn", "<false>"));
        qInfo() << "the light went dark" << left.elapsed() << "ms after the reader was seen gone"; // a figure
    }
    // Dark, at its brightness still; and it stays dark while the window rebuilds its pages.
    QCOMPARE(set("WindowVisible", "<false>").code, 0);
    QCOMPARE(set("WindowVisible", "<true>").code, 0);
    QTest::qWait(1000);
    QCOMPARE(get("LightOn").out, QString("(<false>,)"));
    QCOMPARE(get("LightBrightness").out, QString("(<70>,)"));
}

QTEST_GUILESS_MAIN(tst_ControlBus)
#include "tst_controlbus.moc"
