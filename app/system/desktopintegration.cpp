#include "app/system/desktopintegration.h"

#include <QDebug>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSaveFile>
#include <QStandardPaths>
#include <QUrl>

namespace desktop {

namespace {

struct SettingsPage
{
    const char *program;
    QStringList arguments;
};

// Tries the desktops' own settings programs in turn; the first one installed
// opens. Without any, the desktop's URL handler gets a settings address.
void openSettings(std::initializer_list<SettingsPage> pages, const char *fallbackUrl)
{
    for (const SettingsPage &page : pages) {
        const QString program = QStandardPaths::findExecutable(QString::fromLatin1(page.program));
        if (!program.isEmpty() && QProcess::startDetached(program, page.arguments))
            return;
    }
    if (!QDesktopServices::openUrl(QUrl(QString::fromLatin1(fallbackUrl))))
        qWarning() << "desktop::openSettings -> no settings program found for" << fallbackUrl;
}

} // namespace

void openCameraSettings()
{
    openSettings({{"gnome-control-center", {QStringLiteral("privacy")}},
                  {"systemsettings", {QStringLiteral("kcm_webcams")}}},
                 "settings://privacy/camera");
}

void openMicrophoneSettings()
{
    openSettings({{"gnome-control-center", {QStringLiteral("sound")}},
                  {"systemsettings", {QStringLiteral("kcm_pulseaudio")}},
                  {"pavucontrol", {QStringLiteral("--tab=4")}}},
                 "settings://sound");
}

void openBluetoothSettings()
{
    openSettings({{"gnome-control-center", {QStringLiteral("bluetooth")}},
                  {"systemsettings", {QStringLiteral("kcm_bluetooth")}},
                  {"blueman-manager", {}}},
                 "settings://bluetooth");
}

void openExtensionSettings()
{
    openSettings({{"gnome-control-center", {QStringLiteral("privacy")}},
                  {"systemsettings", {QStringLiteral("kcm_webcams")}}},
                 "settings://devices");
}

QString defaultBrowser()
{
    QProcess query;
    query.start(QStringLiteral("xdg-settings"), {QStringLiteral("get"), QStringLiteral("default-web-browser")});
    if (!query.waitForFinished(3000) || query.exitStatus() != QProcess::NormalExit || query.exitCode() != 0)
        return QString();
    return QString::fromUtf8(query.readAllStandardOutput()).trimmed();
}

QString autostartEntryPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::ConfigLocation)
        + QStringLiteral("/autostart/talvento-control.desktop");
}

QString execValue(const QString &program)
{
    // Inside a quoted argument a backslash escapes '"', '`', '$' and '\\'.
    QString quoted;
    for (const QChar c : program) {
        if (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$') || c == QLatin1Char('\\'))
            quoted += QLatin1Char('\\');
        quoted += c;
    }
    quoted = QLatin1Char('"') + quoted.replace(QLatin1Char('%'), QStringLiteral("%%")) + QLatin1Char('"');
    // The key's value is a string: backslashes and control characters are escaped once more.
    QString value;
    for (const QChar c : std::as_const(quoted)) {
        if (c == QLatin1Char('\\'))
            value += QStringLiteral("\\\\");
        else if (c == QLatin1Char('\n'))
            value += QStringLiteral("\\n");
        else if (c == QLatin1Char('\t'))
            value += QStringLiteral("\\t");
        else if (c == QLatin1Char('\r'))
            value += QStringLiteral("\\r");
        else
            value += c;
    }
    return value;
}

bool setLaunchAtLogin(bool enabled, const QString &executable)
{
    const QString path = autostartEntryPath();
    if (!enabled) {
        if (QFile::exists(path) && !QFile::remove(path)) {
            qWarning().noquote() << "XDG autostart: Failed to remove login item:" << path;
            return false;
        }
        qDebug() << "XDG autostart: Login item was successfully removed.";
        return true;
    }

    QDir().mkpath(QFileInfo(path).absolutePath());
    QSaveFile entry(path);
    const QByteArray text = "[Desktop Entry]\n"
                            "Type=Application\n"
                            "Name=Talvento Control\n"
                            "Comment=Camera, microphone and light panel settings\n"
                            "Exec=" + execValue(executable).toUtf8() + "\n"
                            "Icon=talvento-control\n"
                            "Terminal=false\n"
                            "X-GNOME-Autostart-enabled=true\n";
    if (!entry.open(QIODevice::WriteOnly) || entry.write(text) != text.size() || !entry.commit()) {
        qWarning().noquote() << "XDG autostart: Failed to add login item:" << entry.errorString();
        return false;
    }
    qDebug() << "XDG autostart: Login item was successfully added.";
    return true;
}

} // namespace desktop
