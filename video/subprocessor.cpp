#include "video/subprocessor.h"

#include "app/core/worker.h"
#include "video/kernels.h"

#include <QDateTime>
#include <QMutexLocker>

SubProcessor::SubProcessor()
    : m_opaque(std::make_shared<OpaqueBase>(this))
{
    m_worker = Worker::create(this, true);
}

SubProcessor::~SubProcessor()
{
    m_worker->shutdown();
}

VideoImage SubProcessor::processImage(const VideoImage &image, const float &, const float &,
                                      const CameraSetting &)
{
    return runLimited(image, [] { return VideoImage{}; });
}

VideoImage SubProcessor::processImageAsync(const VideoImage &image, const float &width,
                                           const float &height, const CameraSetting &setting)
{
    m_worker->runFunctionAsync([this, image, width, height, setting](QObject *) {
        processImage(image, width, height, setting);
    });
    return getOutputImage();
}

VideoImage SubProcessor::getOutputImage()
{
    QMutexLocker lock(&m_outputLock);
    return m_opaque->outputImage;
}

void SubProcessor::setOutputImage(const VideoImage &image)
{
    QMutexLocker lock(&m_outputLock);
    m_opaque->outputImage = image;
}

void SubProcessor::setRenderTarget(const FrameRef &frame)
{
    m_renderTarget = frame;
}

FrameRef SubProcessor::takeRenderTarget(int width, int height)
{
    FrameRef target = std::move(m_renderTarget);
    if (target && target->width() == width && target->height() == height)
        return target;
    if (!m_ownFrames || m_ownFrames->width() != width || m_ownFrames->height() != height)
        m_ownFrames = std::make_unique<FramePool>(width, height, 3);
    if (FrameRef own = m_ownFrames->acquire())
        return own;
    return Frame::create(width, height);
}

void SubProcessor::setQuarterPicture(const FrameRef &frame)
{
    m_quarterPicture = frame;
}

void SubProcessor::setNeededArea(const kernels::Area &area)
{
    m_neededArea = area;
}

kernels::Area SubProcessor::neededArea(int width, int height) const
{
    return m_neededArea.value_or(kernels::Area::whole(width, height));
}

void SubProcessor::averageDown4(const Frame &frame, FrameRef &into, const kernels::Table &k)
{
    const int w = (frame.width() + 3) / 4, h = (frame.height() + 3) / 4;
    if (!into || into->width() != w || into->height() != h)
        into = Frame::create(w, h);
    k.downscale4({frame.data(), frame.width(), frame.height(), frame.stride()},
                 {into->data(), w, h, into->stride()});
}

FrameRef SubProcessor::quarterPicture(const Frame &frame, const kernels::Table &k)
{
    FrameRef given = std::move(m_quarterPicture);
    if (given && given->width() == (frame.width() + 3) / 4 && given->height() == (frame.height() + 3) / 4)
        return given;
    averageDown4(frame, m_ownQuarter, k);
    return m_ownQuarter;
}

bool SubProcessor::takeRun()
{
    const int64_t now = QDateTime::currentMSecsSinceEpoch();
    const int64_t interval = m_maxRate > 0 ? 1000 / m_maxRate : 0;
    if (now - m_lastRun.load() < interval)
        return false;
    m_lastRun.store(now);
    return true;
}
