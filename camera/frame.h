#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

/// A 32-bit BGRA picture (bytes B, G, R, A in memory) with 64-byte aligned rows
/// and a presentation timestamp. Frames are shared by reference: whoever holds a
/// FrameRef keeps the pixels alive; pooled frames go back to their pool when the
/// last reference is dropped.
class Frame
{
public:
    static constexpr int Alignment = 64;

    /// A frame of its own memory, not pooled. Returns null for a non-positive size.
    static std::shared_ptr<Frame> create(int width, int height);

    ~Frame();
    Frame(const Frame &) = delete;
    Frame &operator=(const Frame &) = delete;

    int width() const { return m_width; }
    int height() const { return m_height; }
    /// Bytes from one row to the next; a multiple of Alignment.
    int stride() const { return m_stride; }
    uint8_t *data() { return m_data; }
    const uint8_t *data() const { return m_data; }
    uint8_t *row(int y) { return m_data + static_cast<size_t>(y) * m_stride; }
    const uint8_t *row(int y) const { return m_data + static_cast<size_t>(y) * m_stride; }
    size_t byteCount() const { return static_cast<size_t>(m_stride) * m_height; }

    /// Presentation time in microseconds; the capture's clock, carried through processing.
    int64_t timestampUs() const { return m_timestampUs; }
    void setTimestampUs(int64_t us) { m_timestampUs = us; }

    static int strideFor(int width) { return (width * 4 + Alignment - 1) / Alignment * Alignment; }

private:
    friend class FramePool;
    Frame(int width, int height);

    int m_width = 0;
    int m_height = 0;
    int m_stride = 0;
    uint8_t *m_data = nullptr;
    int64_t m_timestampUs = 0;
};

using FrameRef = std::shared_ptr<Frame>;

/// A fixed number of frames of one size, handed out and returned without
/// allocating. The pool may be destroyed while frames are still out; they are
/// freed when their last reference goes.
class FramePool
{
public:
    FramePool(int width, int height, int capacity);
    ~FramePool();
    FramePool(const FramePool &) = delete;
    FramePool &operator=(const FramePool &) = delete;

    /// Any thread. A free frame, or null when every frame is in use.
    FrameRef acquire();

    int width() const { return m_width; }
    int height() const { return m_height; }
    int capacity() const { return m_capacity; }
    /// Any thread. Frames currently free.
    int available() const;

private:
    struct Shared;
    int m_width;
    int m_height;
    int m_capacity;
    std::shared_ptr<Shared> m_shared;
};
