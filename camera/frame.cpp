#include "camera/frame.h"

#include <cstdlib>
#include <new>

std::shared_ptr<Frame> Frame::create(int width, int height)
{
    if (width <= 0 || height <= 0)
        return nullptr;
    return std::shared_ptr<Frame>(new Frame(width, height));
}

Frame::Frame(int width, int height)
    : m_width(width)
    , m_height(height)
    , m_stride(strideFor(width))
{
    m_data = static_cast<uint8_t *>(std::aligned_alloc(Alignment, byteCount()));
    if (!m_data)
        throw std::bad_alloc();
}

Frame::~Frame()
{
    std::free(m_data);
}

// The free list outlives the pool object for as long as a frame is out, so a
// frame released after the pool is gone still has somewhere to go.
struct FramePool::Shared
{
    std::mutex mutex;
    std::vector<Frame *> freeFrames;
    bool poolAlive = true;
};

FramePool::FramePool(int width, int height, int capacity)
    : m_width(width)
    , m_height(height)
    , m_capacity(capacity)
    , m_shared(std::make_shared<Shared>())
{
    m_shared->freeFrames.reserve(capacity);
    for (int i = 0; i < capacity; ++i)
        m_shared->freeFrames.push_back(new Frame(width, height));
}

FramePool::~FramePool()
{
    std::lock_guard lock(m_shared->mutex);
    m_shared->poolAlive = false;
    for (Frame *frame : m_shared->freeFrames)
        delete frame;
    m_shared->freeFrames.clear();
}

FrameRef FramePool::acquire()
{
    Frame *frame = nullptr;
    {
        std::lock_guard lock(m_shared->mutex);
        if (m_shared->freeFrames.empty())
            return nullptr;
        frame = m_shared->freeFrames.back();
        m_shared->freeFrames.pop_back();
    }
    frame->setTimestampUs(0);
    return FrameRef(frame, [shared = m_shared](Frame *released) {
        std::lock_guard lock(shared->mutex);
        if (shared->poolAlive)
            shared->freeFrames.push_back(released);
        else
            delete released;
    });
}

int FramePool::available() const
{
    std::lock_guard lock(m_shared->mutex);
    return static_cast<int>(m_shared->freeFrames.size());
}
