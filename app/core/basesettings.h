#pragma once

#include <QMap>
#include <QRecursiveMutex>
#include <QSettings>
#include <QVariant>

/// The one persistent store of user choices (the user's native settings file of organisation
/// "morvik", application "TalventoControl"). Keys are enumerator names: scalar settings live
/// under their Settings name; groups are variant maps under the group's name, keyed by
/// SubSettings names, merged with their defaults on first read and stamped with
/// "LastModified" (ms since the epoch) on every write.
class BaseSettings : public QSettings
{
    Q_OBJECT
public:
    enum Settings : int {
        SkinTone = 0,
        BackgroundBlur = 1,
        CameraRotation = 2,
        FineCameraRotation = 3,
        BLELight = 4,
        General = 5,
        LogoOverlay = 6,
        TextOverlay = 7,
        DSPCompressor = 8,
        DSPBass = 9,
        DSPTreble = 10,
        DSPRNN = 11,
        DSPAGC = 12,
        SkipAudioDriver = 13,
    };
    Q_ENUM(Settings)

    enum SubSettings : int {
        LastModified = 0,
        Enabled = 1,
        ImageData = 2,
        HAlign = 3,
        VAlign = 4,
        Size = 5,
        MarginX = 6,
        MarginY = 7,
        Opacity = 8,
        FlipHorizontal = 9,
        FlipVertical = 10,
        TextLine1 = 11,
        Line1Size = 12,
        TextLine2 = 13,
        Line2Size = 14,
        TextHAlign = 15,
        TextBold = 16,
        TextShadowColor = 17,
        LogoShadowColor = 18,
        TextFillColor = 19,
        TextFontFamily = 20,
        LowPowerMode = 21,
        StartAtLogin = 22,
        BLEBrightness = 23,
        BLETemperature = 24,
        DSP_Strength = 25,
        LightFollowsCamera = 26,
    };
    Q_ENUM(SubSettings)

    BaseSettings();
    ~BaseSettings() override;

    /// The key text of an enumerator, as stored.
    static QString name(Settings setting);
    static QString name(SubSettings subSetting);
    /// True for the settings stored as a group map (BLELight to DSPAGC).
    static bool isGroup(Settings setting);

    // Any thread. QSettings itself is reentrant, not thread-safe: every call into it and the
    // group cache are under one lock.
    QVariant getValue(const QString &key, const QVariant &defaultValue) const;
    QVariant getSetting(Settings setting, const QVariant &defaultValue = QVariant()) const;
    void setSetting(Settings setting, const QVariant &value);

    /// The group's stored map merged with its defaults; false (and out untouched) for a setting
    /// that is not a group. The store is read once per group; later calls answer from the cache.
    bool getSettingsMap(Settings group, QVariantMap &out);
    /// One entry of a group map, or an invalid variant when the group is not a group or the
    /// entry is absent.
    QVariant getSubSetting(Settings group, SubSettings entry);
    /// Writes one entry of a group, stamps LastModified and stores the whole map, all under the
    /// lock. Always true; for a setting that is not a group nothing is written.
    bool setSubSetting(Settings group, SubSettings entry, const QVariant &value);

signals:
    /// A scalar setting or an entry of a group was written, from whichever thread wrote it.
    void changed(BaseSettings::Settings setting);

protected:
    /// QSettings writes pending changes back from an event on the thread it lives on, which
    /// must not run while another thread is inside QSettings.
    bool event(QEvent *event) override;

private:
    static QVariantMap defaultsOf(Settings group);

    QMap<Settings, QVariantMap> m_groupCache;
    mutable QRecursiveMutex m_lock;
};
