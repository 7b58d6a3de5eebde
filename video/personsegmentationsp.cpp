#include "video/personsegmentationsp.h"

#include "video/nn/segmenter.h"

#include <QCoreApplication>
#include <QDebug>

#include <array>
#include <mutex>

struct PersonSegmentationSP::Opaque : SubProcessor::OpaqueBase
{
    using OpaqueBase::OpaqueBase;
    ~Opaque() override { qDebug() << "PersonSegmentationSP::Opaque DCTOR!"; }

    std::mutex runLock; // one inference at a time: pipeline and worker may both call
    std::unique_ptr<nn::Segmenter> segmenter;
    QString loadError;
    // Masks handed out; one nobody else holds any more is written again.
    std::array<std::shared_ptr<Mask>, 3> masks;
    // Per-frame failures are logged when they start, not on every frame.
    bool failing = false;
    bool noPerson = false;

    std::shared_ptr<Mask> freeMask(int width, int height)
    {
        for (std::shared_ptr<Mask> &m : masks) {
            if (!m)
                m = std::make_shared<Mask>();
            if (m.use_count() == 1) {
                m->width = width;
                m->height = height;
                m->pixels.resize(size_t(width) * height);
                return m;
            }
        }
        // Every pooled mask is still in use downstream: hand out a new one.
        auto m = std::make_shared<Mask>();
        m->width = width;
        m->height = height;
        m->pixels.resize(size_t(width) * height);
        return m;
    }
};

PersonSegmentationSP::PersonSegmentationSP()
{
    auto opaque = std::make_shared<Opaque>(this);
    const auto model = nn::Segmenter::Model::Landscape;
    const std::string path = nn::Segmenter::findModel(model, QCoreApplication::applicationDirPath().toStdString());
    std::string error;
    if (path.empty())
        error = std::string(nn::Segmenter::fileName(model)) + " not found";
    else
        opaque->segmenter = nn::Segmenter::load(path, {}, &error);
    if (!opaque->segmenter) {
        opaque->loadError = QString::fromStdString(error);
        qWarning().noquote() << "PersonSegmentationSP::PersonSegmentationSP -> model not loaded:" << opaque->loadError;
    }
    m_opaque = opaque;
    setMaximumRate(35);
}

PersonSegmentationSP::~PersonSegmentationSP()
{
    qDebug() << "PersonSegmentationSP DCTOR!";
}

VideoImage PersonSegmentationSP::processImage(const VideoImage &image, const float &width, const float &height,
                                              const CameraSetting &)
{
    return runLimited(image, [&] { return segment(image, int(width), int(height)); });
}

VideoImage PersonSegmentationSP::segment(const VideoImage &image, int width, int height)
{
    auto &d = static_cast<Opaque &>(*m_opaque);
    std::lock_guard lock(d.runLock);
    const Frame *frame = image.frame.get();
    QString error;
    if (!d.segmenter)
        error = d.loadError;
    else if (!frame)
        error = "the image is not a camera frame";
    else if (width < 1 || height < 1)
        error = QString("mask size %1x%2").arg(width).arg(height);
    else if (!d.segmenter->run(frame->data(), frame->width(), frame->height(), size_t(frame->stride())))
        error = "empty frame";
    if (!error.isEmpty()) {
        if (!d.failing)
            qWarning().noquote() << "PersonSegmentationSP::processImage -> Error during segmentation:" << error;
        d.failing = true;
        return {};
    }
    d.failing = false;

    if (d.segmenter->personShare() < MinimumPersonShare) {
        if (!d.noPerson)
            qWarning().noquote() << "PersonSegmentationSP::processImage -> No person detected.";
        d.noPerson = true;
        return {};
    }
    d.noPerson = false;

    // The mask stays at the model's size: it stands for the whole frame, and the
    // blend scales it up on the way, so a frame-sized copy would only be read once.
    const int mw = d.segmenter->mapWidth(), mh = d.segmenter->mapHeight();
    std::shared_ptr<Mask> mask = d.freeMask(mw, mh);
    d.segmenter->mask(mask->pixels.data(), mw, mh, size_t(mw));
    return VideoImage{nullptr, std::move(mask)};
}
