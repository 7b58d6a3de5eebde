#include "app/core/basesettings.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

// The command-line settings tool that scripts use to prepare a store: what it writes is what the
// application reads back, with the stored types the application expects.
class tst_SettingsTool : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();

    void writesWhatTheApplicationReads_data();
    void writesWhatTheApplicationReads();
    void refusesWhatIsNoSetting_data();
    void refusesWhatIsNoSetting();
    void storesAFileAndDumpsEveryEntry();

private:
    static int run(const QStringList &args, QString *out = nullptr);
    QTemporaryDir m_home;
};

void tst_SettingsTool::initTestCase()
{
    QVERIFY(m_home.isValid());
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_home.filePath("config")));
}

void tst_SettingsTool::init()
{
    BaseSettings store;
    store.clear();
    store.sync();
}

int tst_SettingsTool::run(const QStringList &args, QString *out)
{
    QProcess tool;
    tool.start(TALVENTO_SETTINGS_TOOL, args);
    if (!tool.waitForFinished(30000) || tool.exitStatus() != QProcess::NormalExit)
        return -1;
    if (out)
        *out = QString::fromUtf8(tool.readAllStandardOutput());
    return tool.exitCode();
}

void tst_SettingsTool::writesWhatTheApplicationReads_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("setting");
    QTest::addColumn<int>("entry"); // -1 for a plain setting
    QTest::addColumn<QVariant>("expected");
    QTest::newRow("number") << QStringList{"set", "SkinTone", "70"} << int(BaseSettings::SkinTone) << -1
                            << QVariant(70LL);
    QTest::newRow("negative number") << QStringList{"set", "FineCameraRotation", "-6"}
                                     << int(BaseSettings::FineCameraRotation) << -1 << QVariant(-6LL);
    QTest::newRow("flag") << QStringList{"set", "TextOverlay", "Enabled", "true"} << int(BaseSettings::TextOverlay)
                          << int(BaseSettings::Enabled) << QVariant(true);
    QTest::newRow("decimal") << QStringList{"set", "LogoOverlay", "Size", "0.25"} << int(BaseSettings::LogoOverlay)
                             << int(BaseSettings::Size) << QVariant(0.25);
    QTest::newRow("text") << QStringList{"set", "TextOverlay", "TextLine1", "Soak run"}
                          << int(BaseSettings::TextOverlay) << int(BaseSettings::TextLine1) << QVariant("Soak run");
}

void tst_SettingsTool::writesWhatTheApplicationReads()
{
    QFETCH(QStringList, args);
    QFETCH(int, setting);
    QFETCH(int, entry);
    QFETCH(QVariant, expected);
    QCOMPARE(run(args), 0);

    BaseSettings store;
    const auto group = BaseSettings::Settings(setting);
    const QVariant stored = entry < 0 ? store.getSetting(group)
                                      : store.getSubSetting(group, BaseSettings::SubSettings(entry));
    if (entry < 0) {
        // The file keeps a plain setting as text, as it does for the application's own writes.
        QCOMPARE(stored.toLongLong(), expected.toLongLong());
        return;
    }
    // Group entries keep their type; the rest of the group keeps its defaults.
    QCOMPARE(stored.metaType(), expected.metaType());
    QCOMPARE(stored, expected);
    QCOMPARE(store.getSubSetting(group, BaseSettings::MarginX).toDouble(),
             group == BaseSettings::TextOverlay ? 0.5 : 0.0);
}

void tst_SettingsTool::refusesWhatIsNoSetting_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::newRow("unknown setting") << QStringList{"set", "Sharpness", "3"};
    QTest::newRow("unknown entry") << QStringList{"set", "TextOverlay", "Colour", "red"};
    QTest::newRow("group without entry") << QStringList{"set", "TextOverlay", "true"};
    QTest::newRow("entry of a plain setting") << QStringList{"set", "SkinTone", "Enabled", "true"};
    QTest::newRow("missing file") << QStringList{"set-file", "LogoOverlay", "ImageData", "/nonexistent/logo.png"};
    QTest::newRow("unknown command") << QStringList{"get", "SkinTone"};
}

void tst_SettingsTool::refusesWhatIsNoSetting()
{
    QFETCH(QStringList, args);
    QCOMPARE(run(args), 1);
    BaseSettings store;
    QCOMPARE(store.allKeys(), QStringList());
}

void tst_SettingsTool::storesAFileAndDumpsEveryEntry()
{
    const QByteArray bytes("\x89PNG not really a picture", 25);
    QFile file(m_home.filePath("logo.png"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(bytes);
    file.close();
    QCOMPARE(run({"set-file", "LogoOverlay", "ImageData", file.fileName()}), 0);
    QCOMPARE(run({"set", "CameraRotation", "1"}), 0);
    QCOMPARE(BaseSettings().getSubSetting(BaseSettings::LogoOverlay, BaseSettings::ImageData).toByteArray(), bytes);

    QString dump;
    QCOMPARE(run({"dump"}, &dump), 0);
    const QStringList lines = dump.split('\n', Qt::SkipEmptyParts);
    QVERIFY(lines.contains("CameraRotation=1"));
    QVERIFY(lines.contains("LogoOverlay/Enabled=false"));
    QVERIFY(lines.contains("LogoOverlay/ImageData=<25 bytes, sha1 "
                           + QCryptographicHash::hash(bytes, QCryptographicHash::Sha1).toHex() + ">"));
    QVERIFY(lines.contains("LogoOverlay/LogoShadowColor=#ff000000"));
    // One line per group entry: the stored defaults, the picture and its stamp.
    QVariantMap logo;
    QVERIFY(BaseSettings().getSettingsMap(BaseSettings::LogoOverlay, logo));
    QCOMPARE(lines.filter(QRegularExpression("^LogoOverlay/")).size(), logo.size());
}

QTEST_GUILESS_MAIN(tst_SettingsTool)
#include "tst_settingstool.moc"
