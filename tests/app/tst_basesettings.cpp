#include "app/core/basesettings.h"

#include <QColor>
#include <QDateTime>
#include <QTemporaryDir>
#include <QThread>
#include <QSignalSpy>
#include <QtTest>

#include <memory>

// Every case runs against a store under a private configuration directory, never the user's.
class tst_BaseSettings : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();

    void freshDefaults_data();
    void freshDefaults();
    void notAGroup_data();
    void notAGroup();
    void writeStampsAndPersists();
    void olderGroupGainsNewEntries();
    void valuesRoundTrip_data();
    void valuesRoundTrip();
    void scalarSettings();
    void concurrentWritersKeepEveryEntry();
    void writesAreSignalled();

private:
    QTemporaryDir m_config;
};

void tst_BaseSettings::initTestCase()
{
    QVERIFY(m_config.isValid());
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_config.path()));
    BaseSettings store;
    QCOMPARE(store.fileName(), m_config.filePath("morvik/TalventoControl.conf"));
}

void tst_BaseSettings::init()
{
    BaseSettings store;
    store.clear();
    store.sync();
}

void tst_BaseSettings::freshDefaults_data()
{
    QTest::addColumn<BaseSettings::Settings>("group");
    QTest::addColumn<BaseSettings::SubSettings>("entry");
    QTest::addColumn<QVariant>("expected");
    using S = BaseSettings;
    QTest::newRow("start at login") << S::General << S::StartAtLogin << QVariant(true);
    QTest::newRow("low power off") << S::General << S::LowPowerMode << QVariant(false);
    QTest::newRow("light does not follow") << S::General << S::LightFollowsCamera << QVariant(false);
    QTest::newRow("AGC enabled") << S::DSPAGC << S::Enabled << QVariant(true);
    QTest::newRow("RNN disabled") << S::DSPRNN << S::Enabled << QVariant(false);
    QTest::newRow("compressor strength") << S::DSPCompressor << S::DSP_Strength << QVariant(60);
    QTest::newRow("denoise strength") << S::DSPRNN << S::DSP_Strength << QVariant(100);
    QTest::newRow("treble strength") << S::DSPTreble << S::DSP_Strength << QVariant(50);
    QTest::newRow("light brightness") << S::BLELight << S::BLEBrightness << QVariant(50);
    QTest::newRow("text margin x") << S::TextOverlay << S::MarginX << QVariant(0.5);
    QTest::newRow("logo margin x") << S::LogoOverlay << S::MarginX << QVariant(0.0);
    QTest::newRow("logo margin y") << S::LogoOverlay << S::MarginY << QVariant(0.0);
    QTest::newRow("logo valign top") << S::LogoOverlay << S::VAlign << QVariant(32);
    QTest::newRow("text halign centre") << S::TextOverlay << S::TextHAlign << QVariant(4);
    QTest::newRow("text line") << S::TextOverlay << S::TextLine2 << QVariant(QStringLiteral("Add text here"));
    QTest::newRow("text font") << S::TextOverlay << S::TextFontFamily << QVariant(QStringLiteral("Arial"));
    QTest::newRow("text fill white") << S::TextOverlay << S::TextFillColor << QVariant(QColor(Qt::white));
    QTest::newRow("logo shadow black") << S::LogoOverlay << S::LogoShadowColor << QVariant(QColor(Qt::black));
    QTest::newRow("logo has no text") << S::LogoOverlay << S::TextLine1 << QVariant();
    QTest::newRow("no image yet") << S::LogoOverlay << S::ImageData << QVariant();
    QTest::newRow("no stamp yet") << S::DSPBass << S::LastModified << QVariant();
}

void tst_BaseSettings::freshDefaults()
{
    QFETCH(BaseSettings::Settings, group);
    QFETCH(BaseSettings::SubSettings, entry);
    QFETCH(QVariant, expected);
    BaseSettings store;
    const QVariant value = store.getSubSetting(group, entry);
    QCOMPARE(value.isValid(), expected.isValid());
    QCOMPARE(value, expected);
    // Reading defaults writes nothing.
    QVERIFY(!store.contains(BaseSettings::name(group)));
}

void tst_BaseSettings::notAGroup_data()
{
    QTest::addColumn<BaseSettings::Settings>("setting");
    QTest::newRow("skin tone") << BaseSettings::SkinTone;
    QTest::newRow("fine rotation") << BaseSettings::FineCameraRotation;
    QTest::newRow("skip audio driver") << BaseSettings::SkipAudioDriver;
}

void tst_BaseSettings::notAGroup()
{
    QFETCH(BaseSettings::Settings, setting);
    BaseSettings store;
    QVariantMap map { { "untouched", 1 } };
    QVERIFY(!store.getSettingsMap(setting, map));
    QCOMPARE(map, (QVariantMap { { "untouched", 1 } }));
    QVERIFY(!store.getSubSetting(setting, BaseSettings::Enabled).isValid());
    QVERIFY(store.setSubSetting(setting, BaseSettings::Enabled, true));
    QVERIFY(!store.getSubSetting(setting, BaseSettings::Enabled).isValid());
    QVERIFY(store.allKeys().isEmpty());
}

void tst_BaseSettings::writeStampsAndPersists()
{
    const qint64 before = QDateTime::currentMSecsSinceEpoch();
    {
        BaseSettings store;
        QVERIFY(store.setSubSetting(BaseSettings::BLELight, BaseSettings::BLEBrightness, 70));
        QCOMPARE(store.getSubSetting(BaseSettings::BLELight, BaseSettings::BLEBrightness), QVariant(70));
    }
    const qint64 after = QDateTime::currentMSecsSinceEpoch();

    QSettings raw(QSettings::NativeFormat, QSettings::UserScope, "morvik", "TalventoControl");
    const QVariantMap stored = raw.value("BLELight").toMap();
    QCOMPARE(stored.value("BLEBrightness"), QVariant(70));
    QCOMPARE(stored.value("BLETemperature"), QVariant(50));
    QCOMPARE(stored.value("LastModified").typeId(), QMetaType::LongLong);
    const qint64 stamp = stored.value("LastModified").toLongLong();
    QVERIFY(stamp >= before && stamp <= after);
    QCOMPARE(raw.allKeys(), QStringList { "BLELight" });

    // A later write refreshes the stamp; a new run reads the written value.
    BaseSettings store;
    QCOMPARE(store.getSubSetting(BaseSettings::BLELight, BaseSettings::BLEBrightness), QVariant(70));
    QTRY_VERIFY(QDateTime::currentMSecsSinceEpoch() > stamp);
    store.setSubSetting(BaseSettings::BLELight, BaseSettings::BLETemperature, 10);
    QVERIFY(store.getSubSetting(BaseSettings::BLELight, BaseSettings::LastModified).toLongLong() > stamp);
}

void tst_BaseSettings::olderGroupGainsNewEntries()
{
    {
        // What an older version, which knew fewer entries, left behind.
        QSettings raw(QSettings::NativeFormat, QSettings::UserScope, "morvik", "TalventoControl");
        raw.setValue("TextOverlay", QVariantMap { { "Enabled", true }, { "TextLine1", "Hello" } });
        raw.sync();
    }
    BaseSettings store;
    QCOMPARE(store.getSubSetting(BaseSettings::TextOverlay, BaseSettings::Enabled), QVariant(true));
    QCOMPARE(store.getSubSetting(BaseSettings::TextOverlay, BaseSettings::TextLine1), QVariant("Hello"));
    QCOMPARE(store.getSubSetting(BaseSettings::TextOverlay, BaseSettings::TextFontFamily), QVariant("Arial"));
    QVERIFY(!store.getSubSetting(BaseSettings::TextOverlay, BaseSettings::LastModified).isValid());

    store.setSubSetting(BaseSettings::TextOverlay, BaseSettings::Size, 0.3);
    QSettings raw(QSettings::NativeFormat, QSettings::UserScope, "morvik", "TalventoControl");
    const QVariantMap stored = raw.value("TextOverlay").toMap();
    QCOMPARE(stored.value("TextFontFamily"), QVariant("Arial"));
    QCOMPARE(stored.value("TextLine1"), QVariant("Hello"));
    QCOMPARE(stored.value("Size"), QVariant(0.3));
    QCOMPARE(stored.value("Enabled"), QVariant(true));
}

void tst_BaseSettings::valuesRoundTrip_data()
{
    QTest::addColumn<BaseSettings::Settings>("group");
    QTest::addColumn<BaseSettings::SubSettings>("entry");
    QTest::addColumn<QVariant>("value");
    using S = BaseSettings;
    QTest::newRow("image bytes") << S::LogoOverlay << S::ImageData << QVariant(QByteArray("\x89PNG\0\x01\xff", 7));
    QTest::newRow("translucent colour") << S::TextOverlay << S::TextShadowColor << QVariant(QColor(10, 20, 30, 40));
    QTest::newRow("double") << S::LogoOverlay << S::Opacity << QVariant(0.25);
    QTest::newRow("unicode text") << S::TextOverlay << S::TextLine1 << QVariant(QStringLiteral("Grüße, 世界"));
    QTest::newRow("bool") << S::General << S::FlipHorizontal << QVariant(true);
}

void tst_BaseSettings::valuesRoundTrip()
{
    QFETCH(BaseSettings::Settings, group);
    QFETCH(BaseSettings::SubSettings, entry);
    QFETCH(QVariant, value);
    {
        BaseSettings store;
        store.setSubSetting(group, entry, value);
    }
    BaseSettings store;
    QCOMPARE(store.getSubSetting(group, entry), value);
}

void tst_BaseSettings::scalarSettings()
{
    BaseSettings store;
    QCOMPARE(store.getSetting(BaseSettings::SkinTone, 50), QVariant(50));
    store.setSetting(BaseSettings::SkinTone, 70);
    QCOMPARE(store.getSetting(BaseSettings::SkinTone, 50), QVariant(70));
    QCOMPARE(store.getValue("Sliders", QStringList { "a", "b" }), QVariant(QStringList { "a", "b" }));
    QCOMPARE(BaseSettings().getSetting(BaseSettings::SkinTone), QVariant(70));
}

void tst_BaseSettings::concurrentWritersKeepEveryEntry()
{
    BaseSettings store;
    constexpr int writes = 40;
    const auto writer = [&store](BaseSettings::SubSettings entry) {
        return QThread::create([&store, entry] {
            for (int i = 1; i <= writes; ++i)
                store.setSubSetting(BaseSettings::BLELight, entry, i);
        });
    };
    std::unique_ptr<QThread> a(writer(BaseSettings::BLEBrightness));
    std::unique_ptr<QThread> b(writer(BaseSettings::BLETemperature));
    a->start();
    b->start();
    QVERIFY(a->wait(QDeadlineTimer(60000)));
    QVERIFY(b->wait(QDeadlineTimer(60000)));

    QCOMPARE(store.getSubSetting(BaseSettings::BLELight, BaseSettings::BLEBrightness), QVariant(writes));
    QCOMPARE(store.getSubSetting(BaseSettings::BLELight, BaseSettings::BLETemperature), QVariant(writes));
    BaseSettings reread;
    QCOMPARE(reread.getSubSetting(BaseSettings::BLELight, BaseSettings::BLEBrightness), QVariant(writes));
    QCOMPARE(reread.getSubSetting(BaseSettings::BLELight, BaseSettings::BLETemperature), QVariant(writes));
}

void tst_BaseSettings::writesAreSignalled()
{
    using S = BaseSettings;
    BaseSettings store;
    QSignalSpy spy(&store, &BaseSettings::changed);
    store.setSetting(S::BackgroundBlur, 40);
    store.setSubSetting(S::DSPBass, S::Enabled, true);
    store.setSubSetting(S::SkinTone, S::Enabled, true); // not a group: nothing written
    QCOMPARE(spy.size(), 2);
    QCOMPARE(spy.at(0).first().value<S::Settings>(), S::BackgroundBlur);
    QCOMPARE(spy.at(1).first().value<S::Settings>(), S::DSPBass);

    // From another thread too, as the components' workers write.
    std::unique_ptr<QThread> writer(QThread::create([&store] { store.setSubSetting(S::BLELight, S::BLEBrightness, 70); }));
    writer->start();
    QVERIFY(writer->wait(10000));
    QCOMPARE(spy.size(), 3);
    QCOMPARE(spy.at(2).first().value<S::Settings>(), S::BLELight);
}

QTEST_GUILESS_MAIN(tst_BaseSettings)
#include "tst_basesettings.moc"
