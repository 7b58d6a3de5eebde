#pragma once
// The sound server the audio tests run against: PulseAudio, or PipeWire with pipewire-pulse when
// TALVENTO_TEST_SOUND_SERVER is "pipewire" (the second pass of scripts/test).

#include <QStandardPaths>
#include <QtTest>

inline bool testsUsePipeWire()
{
    return qgetenv("TALVENTO_TEST_SOUND_SERVER") == "pipewire";
}

/// In a test function: skips it when the sound server's program is not installed, and fails it
/// instead when the test services, which promise one, are running.
#define TALVENTO_REQUIRE_SOUND_SERVER()                                                              \
    do {                                                                                             \
        const QString server_ = testsUsePipeWire() ? QStringLiteral("pipewire-pulse")               \
                                                   : QStringLiteral("pulseaudio");                  \
        if (QStandardPaths::findExecutable(server_).isEmpty()) {                                     \
            if (qEnvironmentVariableIsSet("TALVENTO_TEST_SERVICES"))                                 \
                QFAIL(qPrintable(server_ + " is not installed"));                                    \
            QSKIP(qPrintable("no " + server_));                                                      \
        }                                                                                            \
    } while (false)
