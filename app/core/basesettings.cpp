#include "app/core/basesettings.h"

#include <QColor>
#include <QDateTime>
#include <QDebug>
#include <QMetaEnum>
#include <QMutexLocker>

BaseSettings::BaseSettings()
    : QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("morvik"),
                QStringLiteral("TalventoControl"), nullptr)
{
    qDebug() << "Settings at" << fileName();
    sync();
}

BaseSettings::~BaseSettings()
{
    qDebug() << "BaseSettings DCTOR!";
}

QString BaseSettings::name(Settings setting)
{
    return QString::fromLatin1(QMetaEnum::fromType<Settings>().valueToKey(setting));
}

QString BaseSettings::name(SubSettings subSetting)
{
    return QString::fromLatin1(QMetaEnum::fromType<SubSettings>().valueToKey(subSetting));
}

bool BaseSettings::isGroup(Settings setting)
{
    return setting >= BLELight && setting <= DSPAGC;
}

QVariant BaseSettings::getValue(const QString &key, const QVariant &defaultValue) const
{
    QMutexLocker lock(&m_lock);
    return contains(key) ? value(key) : defaultValue;
}

QVariant BaseSettings::getSetting(Settings setting, const QVariant &defaultValue) const
{
    return getValue(name(setting), defaultValue);
}

void BaseSettings::setSetting(Settings setting, const QVariant &value)
{
    {
        QMutexLocker lock(&m_lock);
        setValue(name(setting), value);
        sync();
    }
    emit changed(setting);
}

bool BaseSettings::event(QEvent *event)
{
    QMutexLocker lock(&m_lock);
    return QSettings::event(event);
}

QVariantMap BaseSettings::defaultsOf(Settings group)
{
    QVariantMap d;
    const auto set = [&d](SubSettings entry, const QVariant &value) { d.insert(name(entry), value); };
    const auto dsp = [&set](bool enabled, int strength) {
        set(Enabled, enabled);
        set(DSP_Strength, strength);
    };
    switch (group) {
    case BLELight:
        set(BLEBrightness, 50);
        set(BLETemperature, 50);
        break;
    case General:
        set(FlipHorizontal, false);
        set(LowPowerMode, false);
        set(StartAtLogin, true);
        set(LightFollowsCamera, false);
        break;
    case LogoOverlay:
    case TextOverlay: {
        const bool text = group == TextOverlay;
        set(Enabled, false);
        set(HAlign, int(Qt::AlignLeft));
        set(VAlign, int(Qt::AlignTop));
        set(Size, 0.4);
        set(MarginX, text ? 0.5 : 0.0);
        set(MarginY, text ? 0.5 : 0.0);
        set(Opacity, 1.0);
        set(FlipHorizontal, false);
        set(FlipVertical, false);
        set(LogoShadowColor, QColor(Qt::black));
        if (text) {
            set(TextLine1, QStringLiteral("Add text here"));
            set(TextLine2, QStringLiteral("Add text here"));
            set(TextHAlign, int(Qt::AlignHCenter));
            set(Line1Size, 0.4);
            set(Line2Size, 0.2);
            set(TextBold, true);
            set(TextShadowColor, QColor(Qt::black));
            set(TextFillColor, QColor(Qt::white));
            set(TextFontFamily, QStringLiteral("Arial"));
        }
        break;
    }
    case DSPCompressor:
        dsp(false, 60);
        break;
    case DSPBass:
    case DSPTreble:
        dsp(false, 50);
        break;
    case DSPRNN:
        dsp(false, 100);
        break;
    case DSPAGC:
        dsp(true, 50);
        break;
    default:
        break;
    }
    return d;
}

bool BaseSettings::getSettingsMap(Settings group, QVariantMap &out)
{
    QMutexLocker lock(&m_lock);
    const auto cached = m_groupCache.constFind(group);
    if (cached != m_groupCache.constEnd()) {
        out = *cached;
        return true;
    }
    if (!isGroup(group))
        return false;

    const QVariantMap defaults = defaultsOf(group);
    QVariantMap merged = getSetting(group, defaults).toMap();
    // Entries a newer version added get their defaults; stored entries (also those without a
    // default, such as ImageData and LastModified) stay as they are.
    for (auto it = defaults.constBegin(); it != defaults.constEnd(); ++it) {
        if (!merged.contains(it.key()))
            merged.insert(it.key(), it.value());
    }
    m_groupCache.insert(group, merged);
    out = merged;
    return true;
}

QVariant BaseSettings::getSubSetting(Settings group, SubSettings entry)
{
    QVariantMap map;
    if (!getSettingsMap(group, map))
        return QVariant();
    return map.value(name(entry));
}

bool BaseSettings::setSubSetting(Settings group, SubSettings entry, const QVariant &value)
{
    // The lock spans read, change and store: two threads writing different entries of one group
    // at once must not lose either entry, and the file must end with the cache's map.
    QMutexLocker lock(&m_lock);
    QVariantMap map;
    if (!getSettingsMap(group, map))
        return true;
    map.insert(name(entry), value);
    map.insert(name(LastModified), QDateTime::currentMSecsSinceEpoch());
    m_groupCache.insert(group, map);
    setSetting(group, map);
    return true;
}
