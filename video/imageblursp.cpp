#include "video/imageblursp.h"

#include "video/kernels.h"

#include <QDebug>

#include <algorithm>
#include <cmath>

namespace {

struct ImageBlurSPOpaque : SubProcessor::OpaqueBase
{
    using OpaqueBase::OpaqueBase;
    ~ImageBlurSPOpaque() override { qDebug() << "ImageBlurSP::Opaque DCTOR!"; }

    const kernels::Table &k = kernels::best();
    std::vector<uint8_t> work;
};

} // namespace

ImageBlurSP::ImageBlurSP()
{
    m_opaque = std::make_shared<ImageBlurSPOpaque>(this);
    setMaximumRate(35);
}

double ImageBlurSP::blurRadius(float width, float height, const CameraSetting &blur)
{
    const int64_t range = blur.maximum - blur.minimum;
    if (range == 0)
        return 0.0;
    return std::max(width, height) * double(blur.value - blur.minimum) / double(range) * 0.0125;
}

float ImageBlurSP::backgroundWeight(float width, float height, const CameraSetting &blur)
{
    const double fraction = blurRadius(width, height, blur) / kernels::quarterSizeFloor();
    return float(std::clamp(fraction, 0.0, 1.0));
}

const Mask &ImageBlurSP::weakenBackground(const Mask &mask, float weight, Mask &into)
{
    into.width = mask.width;
    into.height = mask.height;
    into.pixels.resize(mask.pixels.size());
    const int keep = int(std::lround(std::clamp(weight, 0.0f, 1.0f) * 256));
    for (size_t i = 0; i < mask.pixels.size(); ++i)
        into.pixels[i] = uint8_t(255 - (((255 - mask.pixels[i]) * keep + 128) >> 8));
    return into;
}

VideoImage ImageBlurSP::processImage(const VideoImage &image, const float &width,
                                     const float &height, const CameraSetting &blur)
{
    auto *d = static_cast<ImageBlurSPOpaque *>(m_opaque.get());
    return runLimited(image, [&]() -> VideoImage {
        if (!image.frame)
            return {};
        const Frame &in = *image.frame;
        const FrameRef quarter = quarterPicture(in, d->k);
        const int sw = quarter->width(), sh = quarter->height();
        // The blurred picture goes into the stage's own frames: the pipeline keeps
        // reusing the last one between runs.
        FrameRef small = takeRenderTarget(sw, sh);
        d->work.resize(std::max(d->work.size(), kernels::blurWorkBytes(sw, sh)));
        const float sigma = kernels::quarterSizeSigma(float(blurRadius(width, height, blur)));
        d->k.blur({quarter->data(), sw, sh, quarter->stride()}, {small->data(), sw, sh, small->stride()}, sigma,
                  d->work.data());
        small->setTimestampUs(in.timestampUs());
        return {small, nullptr};
    });
}
