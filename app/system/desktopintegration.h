#pragma once

#include <QString>

/// The desktop's settings pages, the default browser and the login item.
namespace desktop {

void openCameraSettings();
void openMicrophoneSettings();
void openBluetoothSettings();
/// Where the virtual camera's kernel module is managed: the desktop's device settings.
void openExtensionSettings();

/// The desktop entry of the default web browser ("firefox-esr.desktop"), or "".
QString defaultBrowser();

/// The XDG autostart entry that starts `executable` at login.
QString autostartEntryPath();
/// The value of a desktop entry's Exec key that runs `program` with no arguments: quoted as an
/// argument, its field-code percent signs doubled, then escaped as a string value.
QString execValue(const QString &program);
/// Adds or removes the autostart entry; logs the outcome. False on failure.
bool setLaunchAtLogin(bool enabled, const QString &executable);

} // namespace desktop
