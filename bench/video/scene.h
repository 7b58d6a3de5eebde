#pragma once

#include "camera/frame.h"

#include <QImage>
#include <QPainter>

#include <cstring>
#include <random>
#include <vector>

// Camera-like input for the video benchmarks: the astronaut portrait (left by
// scripts/setup) stretched to the frame, with a little sensor noise so that every
// frame of the ring differs. The ring is larger than the last-level cache, so each
// call reads a frame fresh from memory, as a camera frame would be.
inline QImage scenePicture(int width, int height)
{
    QImage photo(QStringLiteral(TALVENTO_SOURCE_DIR "/.deps/astronaut.png"));
    QImage out(width, height, QImage::Format_ARGB32);
    out.fill(Qt::darkCyan);
    if (!photo.isNull()) {
        QPainter p(&out);
        p.setRenderHint(QPainter::SmoothPixmapTransform);
        p.drawImage(QRect(0, 0, width, height), photo);
    }
    return out;
}

inline std::vector<FrameRef> sceneFrames(int width, int height, int count)
{
    const QImage picture = scenePicture(width, height);
    std::mt19937 random(7);
    std::uniform_int_distribution<int> noise(-6, 6);
    std::vector<FrameRef> frames;
    for (int i = 0; i < count; ++i) {
        FrameRef f = Frame::create(width, height);
        for (int y = 0; y < height; ++y) {
            const uint8_t *s = picture.constScanLine(y);
            uint8_t *d = f->row(y);
            for (int x = 0; x < width * 4; ++x)
                d[x] = (x & 3) == 3 ? 255 : uint8_t(std::clamp(s[x] + noise(random), 0, 255));
        }
        f->setTimestampUs(i * 33333);
        frames.push_back(f);
    }
    return frames;
}
