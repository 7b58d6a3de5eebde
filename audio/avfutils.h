#pragma once

#include <QString>

#include <cstdint>

/// Looks up sound devices by name and reads or changes their volume and mute,
/// through the sound server (PulseAudio, or PipeWire's PulseAudio server).
/// `input` true selects sources (microphones), false sinks (outputs); a
/// device's name is its description. Stateless: every call makes its own short
/// connection, so any thread may call.
namespace AVFUtils {

/// 0 when no device in the scope has a name that starts with `name` (case-insensitive).
uint32_t getAudioDeviceIdByName(QString name, bool input);

/// The volume is the average over the channels, 1.0 being the device's nominal volume.
bool setAudioVolume(uint32_t deviceId, float volume, bool input);
bool getAudioVolume(uint32_t deviceId, float &volume, bool input);
bool setAudioMute(uint32_t deviceId, bool mute, bool input);
bool getAudioMute(uint32_t deviceId, bool &mute, bool input);

bool setDeviceVolumeByName(QString name, float volume, bool input);
bool getDeviceVolumeByName(QString name, float &volume, bool input);
bool setDeviceMuteByName(QString name, bool mute, bool input);
bool getDeviceMuteByName(QString name, bool &mute, bool input);
bool isDeviceAvailable(QString name, bool input);

} // namespace AVFUtils
