#pragma once

// Helpers of the tests that run the built application as a process and read its virtual camera.
#include "camera/frame.h"
#include "vcam/sharedframering.h"

#include <QDebug>
#include <QImage>
#include <QProcess>

#include <functional>
#include <memory>

/// Ends the application: asked first, killed when it does not go.
inline void stopApp(std::unique_ptr<QProcess> &app)
{
    if (app && app->state() != QProcess::NotRunning) {
        app->terminate();
        if (!app->waitForFinished(20000)) {
            app->kill();
            app->waitForFinished(10000);
        }
    }
    app.reset();
}

/// Reads camera frames (the idle picture skipped) until `done` holds for one, at most 300; false
/// when none does, none comes for 30 s or the frames go back in time.
inline bool readFramesUntil(SharedFrameRing &ring, const std::function<bool(const QImage &)> &done, QImage &last)
{
    FrameRef frame = Frame::create(SharedFrameRing::Width, SharedFrameRing::Height);
    int64_t previousTimestamp = 0;
    for (int read = 0; read < 300;) {
        if (!ring.readNext(*frame, 30000))
            return false;
        if (frame->timestampUs() == 0)
            continue;
        ++read;
        // Frames come in capture order.
        if (frame->timestampUs() <= previousTimestamp) {
            qWarning() << "readFramesUntil -> timestamp went back from" << previousTimestamp << "to"
                       << frame->timestampUs();
            return false;
        }
        previousTimestamp = frame->timestampUs();
        last = QImage(frame->data(), frame->width(), frame->height(), frame->stride(), QImage::Format_ARGB32).copy();
        if (done(last))
            return true;
    }
    return false;
}
