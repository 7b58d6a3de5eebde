#pragma once

#include "app/core/camerasetting.h"
#include "video/kernels.h"
#include "video/videoimage.h"

#include <QObject>
#include <QRecursiveMutex>
#include <QSharedPointer>

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>

class FramePool;
class Worker;

/// Base of the video effect stages: a per-stage rate limit, the last output image
/// under its own lock, and a worker thread for processImageAsync. A stage derives
/// its state from OpaqueBase and does its work through runLimited(), which applies
/// the rate limit and stores the result.
class SubProcessor : public QObject
{
    Q_OBJECT
public:
    /// Per-stage state. Stages derive their own and keep everything there, so that it
    /// lives until the worker has stopped.
    struct OpaqueBase
    {
        explicit OpaqueBase(SubProcessor *owner) : owner(owner) { }
        virtual ~OpaqueBase() = default;
        SubProcessor *owner;
        VideoImage outputImage; // under m_outputLock
    };

    /// The stage moves itself to its worker's thread, so it takes no parent.
    SubProcessor();
    ~SubProcessor() override;

    /// Caller's thread. Does the stage's work when the rate limit allows, stores the
    /// result as the output image and returns getOutputImage(); a null image gives a
    /// null image. The base does no work and returns null.
    virtual VideoImage processImage(const VideoImage &image, const float &width, const float &height,
                                    const CameraSetting &setting);
    /// Queues processImage with copies of the arguments on the stage's worker and
    /// returns at once what an earlier run left (getOutputImage()).
    virtual VideoImage processImageAsync(const VideoImage &image, const float &width,
                                         const float &height, const CameraSetting &setting);
    /// Any thread. The last output image, under the output lock.
    virtual VideoImage getOutputImage();

    /// Pipeline thread. The frame the next run writes a new full-size picture into,
    /// so that the picture lands in the pipeline's output buffer without a copy. Used
    /// once; without one (or of another size) the stage takes a frame of its own.
    void setRenderTarget(const FrameRef &frame);

    /// Pipeline thread. The input of the next run averaged down by 4, when the
    /// pipeline made it once for several stages. Used once, like the render target.
    void setQuarterPicture(const FrameRef &frame);

    /// Pipeline thread. The part of the next run's full-size picture that is read
    /// afterwards; the stage may leave the rest of its picture as it was. Used once,
    /// like the render target; without one the whole picture is made.
    void setNeededArea(const kernels::Area &area);

    /// `frame` averaged down by 4 into `into`, which is made anew when it is missing or
    /// of another size.
    static void averageDown4(const Frame &frame, FrameRef &into, const kernels::Table &k);

    /// Runs per second at most; between runs processImage returns the last output.
    int64_t maximumRate() const { return m_maxRate; }

protected:
    /// The rate limit around one run. Null image: returns null. Within 1000 / rate ms
    /// of the last run: returns the stored output. Otherwise stamps the run and calls
    /// work(), which returns the new output; a null result is returned as is and leaves
    /// the stored output alone.
    /// The render target and the quarter picture are dropped whatever happens, so that
    /// frames handed for this call are never used by a later one.
    template <typename Work>
    VideoImage runLimited(const VideoImage &image, Work work)
    {
        const RunScope scope{*this};
        if (image.isNull())
            return {};
        if (!takeRun())
            return getOutputImage();
        const VideoImage result = work();
        if (result.isNull())
            return {};
        setOutputImage(result);
        return getOutputImage();
    }

    void setOutputImage(const VideoImage &image);
    void setMaximumRate(int64_t runsPerSecond) { m_maxRate = runsPerSecond; }
    /// A frame of this size for a new picture: the render target when it fits, else
    /// one of the stage's own (a small pool, so pictures still referenced elsewhere
    /// are never written over).
    FrameRef takeRenderTarget(int width, int height);
    /// `frame` averaged down by 4: the quarter picture set for this run when it has
    /// that size, else made with `k` into a frame of the stage's own.
    FrameRef quarterPicture(const Frame &frame, const kernels::Table &k);
    /// The area set for this run within a width x height picture, else all of it.
    kernels::Area neededArea(int width, int height) const;

    std::shared_ptr<OpaqueBase> m_opaque;
    QSharedPointer<Worker> m_worker;
    QRecursiveMutex m_outputLock;

private:
    struct RunScope
    {
        SubProcessor &stage;
        ~RunScope()
        {
            stage.m_renderTarget.reset();
            stage.m_quarterPicture.reset();
            stage.m_neededArea.reset();
        }
    };

    // True, and stamps the run, when 1000 / rate ms have passed since the last one.
    bool takeRun();

    std::atomic<int64_t> m_lastRun{0};
    int64_t m_maxRate = 1000;
    FrameRef m_renderTarget;
    FrameRef m_quarterPicture;
    std::optional<kernels::Area> m_neededArea;
    FrameRef m_ownQuarter;
    std::unique_ptr<FramePool> m_ownFrames;
};
