#pragma once

#include "camera/frame.h"

#include <QString>

#include <cstdint>
#include <memory>

/// The shared-memory virtual camera: a per-user segment (readable by its user
/// only) holding a small ring of BGRA frames and a registry of the processes
/// reading it. The writer never waits for readers: a reader copies a slot and
/// checks that the writer did not touch it meanwhile, and tries again if it did.
/// Readers that died stop being counted.
class SharedFrameRing
{
public:
    static constexpr int Width = 1280;
    static constexpr int Height = 720;

    /// The segment every program of this user meets at, unless this process
    /// was given another one with setDefaultName().
    static QString defaultName();
    /// Makes "/name" the default segment of this process (a test or a soak run
    /// that must neither feed nor watch the user's camera); empty restores the
    /// user's own. Call it before any ring is made.
    static void setDefaultName(const QString &name);

    enum class Role { Writer, Reader };
    /// A writer creates the segment when it is missing; a reader only attaches.
    SharedFrameRing(Role role, const QString &name = defaultName());
    ~SharedFrameRing();
    SharedFrameRing(const SharedFrameRing &) = delete;
    SharedFrameRing &operator=(const SharedFrameRing &) = delete;

    bool isValid() const;
    QString errorString() const;

    // Writer.
    /// Copies a Width x Height frame into the ring and wakes the readers.
    bool publish(const Frame &frame);
    /// Live readers: registered processes that still run.
    int clientCount();
    /// Removes the segment's name; attached processes keep their mapping.
    static bool unlink(const QString &name = defaultName());

    // Reader.
    /// Counts this process as a client until unregisterClient() or the ring is destroyed.
    bool registerClient();
    void unregisterClient();
    /// Waits up to `timeoutMs` for a frame newer than the last one read and
    /// copies it into `frame` (Width x Height). False on a time-out.
    bool readNext(Frame &frame, int timeoutMs);
    /// Frames published since the segment was created.
    uint64_t framesPublished() const;

private:
    struct Opaque;
    std::unique_ptr<Opaque> d;
};
