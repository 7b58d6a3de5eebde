#include "app/control/controlkeys.h"

namespace control {

const QList<Key> &keys()
{
    static const QList<Key> all = {
        { "SkinTone", "skin-tone", Type::Int, true },
        { "BackgroundBlur", "background-blur", Type::Int, true, 60 },
        { "Rotation", "rotation", Type::Int, true },
        { "FineRotation", "fine-rotation", Type::Int, true },
        { "LogoOverlay", "logo-overlay", Type::Bool, true },
        { "TextOverlay", "text-overlay", Type::Bool, true },
        { "TextLine1", "text-line-1", Type::Text, true },
        { "TextLine2", "text-line-2", Type::Text, true },
        { "NoiseSuppression", "noise-suppression", Type::Bool, true },
        { "NoiseSuppressionStrength", "noise-suppression-strength", Type::Int, true },
        { "AutomaticGain", "automatic-gain", Type::Bool, true },
        { "AutomaticGainStrength", "automatic-gain-strength", Type::Int, true },
        { "Bass", "bass", Type::Bool, true },
        { "BassStrength", "bass-strength", Type::Int, true },
        { "Treble", "treble", Type::Bool, true },
        { "TrebleStrength", "treble-strength", Type::Int, true },
        { "Compressor", "compressor", Type::Bool, true },
        { "CompressorStrength", "compressor-strength", Type::Int, true },
        { "LightBrightness", "light-brightness", Type::Int, true },
        { "LightTemperature", "light-temperature", Type::Int, true },
        { "LightOn", "light-on", Type::Bool, true },
        { "LightFollowsCamera", "light-follows-camera", Type::Bool, true },
        { "MirrorPreview", "mirror-preview", Type::Bool, true },
        { "LowPowerMode", "low-power-mode", Type::Bool, true },
        { "StartAtLogin", "start-at-login", Type::Bool, true },
        { "WindowVisible", "window-visible", Type::Bool, true },
        { "LightConnected", "light-connected", Type::Bool, false },
        { "CameraInUse", "camera-in-use", Type::Bool, false },
        { "Version", "version", Type::Text, false },
    };
    return all;
}

const Key *findByName(const QString &name)
{
    for (const Key &key : keys()) {
        if (key.name == name)
            return &key;
    }
    return nullptr;
}

const Key *findByProperty(const QString &property)
{
    for (const Key &key : keys()) {
        if (key.property == property)
            return &key;
    }
    return nullptr;
}

QString signature(Type type)
{
    switch (type) {
    case Type::Int:
        return QStringLiteral("i");
    case Type::Bool:
        return QStringLiteral("b");
    case Type::Text:
        break;
    }
    return QStringLiteral("s");
}

bool isToggleable(const Key &key)
{
    return key.writable && (key.type == Type::Bool || (key.type == Type::Int && key.toggleOnValue != 0));
}

QVariant parseValue(const Key &key, const QString &text, QString *error)
{
    switch (key.type) {
    case Type::Int: {
        bool ok = false;
        const int value = text.trimmed().toInt(&ok, 10);
        if (ok)
            return value;
        *error = QStringLiteral("%1 takes a whole number, not \"%2\"").arg(key.name, text);
        return {};
    }
    case Type::Bool: {
        const QString word = text.trimmed().toLower();
        if (word == "on" || word == "true" || word == "yes" || word == "1")
            return true;
        if (word == "off" || word == "false" || word == "no" || word == "0")
            return false;
        *error = QStringLiteral("%1 takes on or off, not \"%2\"").arg(key.name, text);
        return {};
    }
    case Type::Text:
        break;
    }
    return text;
}

QString formatValue(const Key &key, const QVariant &value)
{
    if (key.type == Type::Bool)
        return value.toBool() ? QStringLiteral("on") : QStringLiteral("off");
    return value.toString();
}

} // namespace control
