#pragma once

#include "camera/frame.h"

#include <QMutex>
#include <QMutexLocker>
#include <QStringList>
#include <QtGlobal>

#include <cstring>
#include <random>

// Small helpers shared by the video tests.
namespace videotest {

inline uint32_t bgra(int r, int g, int b, int a = 255)
{
    return uint32_t(b) | uint32_t(g) << 8 | uint32_t(r) << 16 | uint32_t(a) << 24;
}

inline uint32_t pixel(const Frame &f, int x, int y)
{
    uint32_t v;
    std::memcpy(&v, f.row(y) + 4 * x, 4);
    return v;
}

inline void setPixel(Frame &f, int x, int y, uint32_t v)
{
    std::memcpy(f.row(y) + 4 * x, &v, 4);
}

inline FrameRef filled(int w, int h, uint32_t v)
{
    FrameRef f = Frame::create(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            setPixel(*f, x, y, v);
    return f;
}

// Opaque random pixels.
inline FrameRef noise(int w, int h, unsigned seed)
{
    std::mt19937 random(seed);
    FrameRef f = Frame::create(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            setPixel(*f, x, y, uint32_t(random()) | 0xFF000000u);
    return f;
}

inline bool samePixels(const Frame &a, const Frame &b)
{
    if (a.width() != b.width() || a.height() != b.height())
        return false;
    for (int y = 0; y < a.height(); ++y)
        if (std::memcmp(a.row(y), b.row(y), size_t(a.width()) * 4) != 0)
            return false;
    return true;
}

// Collects the log lines of every thread while alive, and still prints them.
class LogCapture
{
public:
    LogCapture()
    {
        s_self = this;
        m_previous = qInstallMessageHandler(&LogCapture::handle);
    }
    ~LogCapture()
    {
        qInstallMessageHandler(m_previous);
        s_self = nullptr;
    }
    int count(const QString &text)
    {
        QMutexLocker lock(&m_mutex);
        int n = 0;
        for (const QString &line : m_lines)
            n += line.contains(text) ? 1 : 0;
        return n;
    }

private:
    static void handle(QtMsgType type, const QMessageLogContext &context, const QString &message)
    {
        if (LogCapture *self = s_self) {
            QMutexLocker lock(&self->m_mutex);
            self->m_lines << message;
        }
        if (s_self && s_self->m_previous)
            s_self->m_previous(type, context, message);
    }

    static inline LogCapture *s_self = nullptr;
    QtMessageHandler m_previous = nullptr;
    QMutex m_mutex;
    QStringList m_lines;
};

} // namespace videotest
