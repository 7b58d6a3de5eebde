#include "video/imagetonesp.h"

#include "video/kernels.h"

#include <QDebug>

#include <algorithm>

namespace {

struct ImageToneSPOpaque : SubProcessor::OpaqueBase
{
    using OpaqueBase::OpaqueBase;
    ~ImageToneSPOpaque() override { qDebug() << "ImageToneSPOpaque::Opaque DCTOR!"; }

    const kernels::Table &k = kernels::best();
    std::vector<uint8_t> mask; // skin mask of the frame averaged down by 4
    std::vector<uint8_t> work;
};

} // namespace

ImageToneSP::ImageToneSP()
{
    m_opaque = std::make_shared<ImageToneSPOpaque>(this);
}

float ImageToneSP::hueAngle(const CameraSetting &skinTone)
{
    const int64_t range = skinTone.maximum - skinTone.minimum;
    const double fraction = range ? double(skinTone.value - skinTone.minimum) / double(range) : 0.5;
    return float(0.5 - fraction);
}

VideoImage ImageToneSP::processImage(const VideoImage &image, const float &, const float &,
                                     const CameraSetting &skinTone)
{
    auto *d = static_cast<ImageToneSPOpaque *>(m_opaque.get());
    return runLimited(image, [&]() -> VideoImage {
        if (!image.frame)
            return {};
        const Frame &in = *image.frame;
        const FrameRef small = quarterPicture(in, d->k);
        const int sw = small->width(), sh = small->height();
        d->mask.resize(size_t(sw) * sh);
        d->work.resize(std::max(d->work.size(), kernels::skinToneWorkBytes(in.width())));
        float matrix[9];
        kernels::hueRotation(hueAngle(skinTone), matrix);
        const kernels::ConstBgra src(in.data(), in.width(), in.height(), in.stride());
        d->k.skinMask({small->data(), sw, sh, small->stride()}, {d->mask.data(), sw, sh, sw});
        FrameRef out = takeRenderTarget(in.width(), in.height());
        d->k.skinTone(src, {d->mask.data(), sw, sh, sw}, matrix,
                      {out->data(), out->width(), out->height(), out->stride()}, d->work.data(),
                      neededArea(in.width(), in.height()));
        out->setTimestampUs(in.timestampUs());
        return {out, nullptr};
    });
}
