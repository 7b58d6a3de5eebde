#include "audio/avfutils.h"

#include <QProcess>
#include <QTest>

namespace {

QString pactl(const QStringList &arguments)
{
    QProcess process;
    process.start(QStringLiteral("pactl"), arguments);
    process.waitForFinished(10000);
    return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
}

} // namespace

/// Against the sound server that the test command starts.
class tst_AVFUtils : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void lookup_data();
    void lookup();
    void volumeAndMuteReachTheServer_data();
    void volumeAndMuteReachTheServer();
    void absentDevice();

private:
    QString loadSink(const QString &name, const QString &description);

    QStringList m_modules;
    QString m_first;
    QString m_second;
};

QString tst_AVFUtils::loadSink(const QString &name, const QString &description)
{
    const QString module = pactl({QStringLiteral("load-module"), QStringLiteral("module-null-sink"),
                                  QStringLiteral("sink_name=") + name,
                                  QStringLiteral("sink_properties='device.description=\"%1\"'").arg(description)});
    m_modules << module;
    return name;
}

void tst_AVFUtils::initTestCase()
{
    if (pactl({QStringLiteral("info")}).isEmpty()) {
        if (qEnvironmentVariableIsSet("TALVENTO_TEST_SERVICES"))
            QFAIL("the test sound server is not reachable");
        QSKIP("no sound server");
    }
    m_first = loadSink(QStringLiteral("avf_first"), QStringLiteral("Avftest Speaker One"));
    m_second = loadSink(QStringLiteral("avf_second"), QStringLiteral("AVFTEST speaker two"));
    loadSink(QStringLiteral("avf_other"), QStringLiteral("Other Avftest Speaker"));
    const QString source = pactl({QStringLiteral("load-module"), QStringLiteral("module-remap-source"),
                                  QStringLiteral("master=avf_first.monitor"), QStringLiteral("source_name=avf_mic"),
                                  QStringLiteral("source_properties='device.description=\"Avftest Microphone\"'")});
    m_modules << source;
}

void tst_AVFUtils::cleanupTestCase()
{
    for (auto it = m_modules.crbegin(); it != m_modules.crend(); ++it)
        pactl({QStringLiteral("unload-module"), *it});
}

void tst_AVFUtils::lookup_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("input");
    QTest::addColumn<QString>("found"); // sink or source name; empty: not found

    QTest::newRow("exact prefix") << "Avftest Speaker One" << false << "avf_first";
    QTest::newRow("first of two sharing the prefix") << "Avftest Speaker" << false << "avf_first";
    QTest::newRow("letter case ignored") << "avftest speaker two" << false << "avf_second";
    QTest::newRow("surrounding white space trimmed") << "  Avftest Speaker Two \t" << false << "avf_second";
    QTest::newRow("only as a prefix") << "Speaker One" << false << QString();
    QTest::newRow("input scope holds sources") << "Avftest Micro" << true << "avf_mic";
    QTest::newRow("an output is not an input") << "Avftest Speaker One" << true << QString();
}

void tst_AVFUtils::lookup()
{
    QFETCH(QString, name);
    QFETCH(bool, input);
    QFETCH(QString, found);

    QCOMPARE(AVFUtils::isDeviceAvailable(name, input), !found.isEmpty());
    const uint32_t id = AVFUtils::getAudioDeviceIdByName(name.trimmed(), input);
    if (found.isEmpty()) {
        QCOMPARE(id, 0u);
        return;
    }
    QVERIFY(id != 0);
    // The id names the same object the server lists under that name.
    const QString listing = pactl({QStringLiteral("list"), QStringLiteral("short"),
                                   input ? QStringLiteral("sources") : QStringLiteral("sinks")});
    const QString expected = QStringLiteral("%1\t%2\t").arg(id - 1).arg(found);
    QVERIFY2(listing.contains(expected), qPrintable(listing));
}

void tst_AVFUtils::volumeAndMuteReachTheServer_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("input");
    QTest::addColumn<QString>("object");
    QTest::newRow("sink") << "Avftest Speaker Two" << false << "avf_second";
    QTest::newRow("source") << "Avftest Microphone" << true << "avf_mic";
}

void tst_AVFUtils::volumeAndMuteReachTheServer()
{
    QFETCH(QString, name);
    QFETCH(bool, input);
    QFETCH(QString, object);
    const QString kind = input ? QStringLiteral("source") : QStringLiteral("sink");

    QVERIFY(AVFUtils::setDeviceVolumeByName(name, 0.4f, input));
    QVERIFY(pactl({QStringLiteral("get-%1-volume").arg(kind), object}).contains(QStringLiteral("40%")));
    float volume = -1;
    QVERIFY(AVFUtils::getDeviceVolumeByName(name, volume, input));
    QVERIFY(qAbs(volume - 0.4f) < 0.01f);

    QVERIFY(AVFUtils::setDeviceMuteByName(name, true, input));
    QCOMPARE(pactl({QStringLiteral("get-%1-mute").arg(kind), object}), QStringLiteral("Mute: yes"));
    bool mute = false;
    QVERIFY(AVFUtils::getDeviceMuteByName(name, mute, input));
    QVERIFY(mute);
    QVERIFY(AVFUtils::setDeviceMuteByName(name, false, input));
    QVERIFY(AVFUtils::getDeviceMuteByName(name, mute, input));
    QVERIFY(!mute);
}

void tst_AVFUtils::absentDevice()
{
    float volume = 0.25f;
    bool mute = true;
    QVERIFY(!AVFUtils::getDeviceVolumeByName(QStringLiteral("No Such Device"), volume, true));
    QVERIFY(!AVFUtils::getDeviceMuteByName(QStringLiteral("No Such Device"), mute, false));
    QVERIFY(!AVFUtils::setDeviceVolumeByName(QStringLiteral("No Such Device"), 1.0f, false));
    // A failed read leaves the caller's value alone.
    QCOMPARE(volume, 0.25f);
    QCOMPARE(mute, true);
    QVERIFY(!AVFUtils::setAudioVolume(0, 1.0f, false));
    QVERIFY(!AVFUtils::getAudioMute(0xfffff, mute, true));
}

QTEST_GUILESS_MAIN(tst_AVFUtils)
#include "tst_avfutils.moc"
