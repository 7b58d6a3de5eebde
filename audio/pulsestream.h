#pragma once

#include <QAudioFormat>
#include <QByteArray>
#include <QString>

#include <functional>
#include <memory>

/// One capture or playback stream on the sound server, with a connection of
/// its own. A server that restarts costs only the streams open at that
/// moment: they report failed(), and the next open() connects to whatever
/// server runs then. (Qt Multimedia shares one connection per process and
/// tries to reconnect it only once, so a server that comes back late leaves
/// the process without sound until it restarts.)
class PulseStream
{
public:
    enum class Direction { Capture, Playback };

    PulseStream();
    ~PulseStream();
    PulseStream(const PulseStream &) = delete;
    PulseStream &operator=(const PulseStream &) = delete;

    /// Connects to the source or sink named `device` (its server name, the id
    /// of its QAudioDevice) and waits until the stream runs. `latencyUs` sets
    /// the capture fragment or the playback queue. `onReadable` runs on the
    /// server thread whenever captured audio waits; it must only hand over.
    /// False with `error` set on failure; the stream is then closed.
    bool open(Direction direction, const QString &device, const QAudioFormat &format, qint64 latencyUs,
              std::function<void()> onReadable, QString *error);
    void close();
    /// The connection or the stream ended without close(): the server went away
    /// or the device disappeared.
    bool failed() const;

    /// Everything captured since the last call.
    QByteArray readAll();
    /// How many bytes the playback queue takes now, and writing them.
    qint64 writableBytes() const;
    qint64 write(const char *data, qint64 size);

    /// Linear stream volume, 0 to 1.
    void setVolume(float volume);
    float volume() const;

private:
    struct Opaque;
    std::unique_ptr<Opaque> d;
};
