#include "video/postprocessor.h"

#include "video/imageblursp.h"
#include "video/imageoverlaysp.h"
#include "video/imagerotatesp.h"
#include "video/imagetonesp.h"
#include "video/kernels.h"
#include "video/textoverlaysp.h"

#include <QDebug>
#include <QMap>
#include <QRecursiveMutex>
#include <QMutexLocker>

namespace {

// Stored default, step, minimum, maximum and reset value of each effect setting.
struct Range
{
    BaseSettings::Settings key;
    int64_t storedDefault, step, minimum, maximum, defaultValue;
};

constexpr Range Ranges[] = {
    {BaseSettings::SkinTone, 50, 1, 0, 100, 50},
    {BaseSettings::BackgroundBlur, 0, 1, 0, 100, 0},
    {BaseSettings::CameraRotation, 0, 1, 0, 2, 0},
    {BaseSettings::FineCameraRotation, 0, 1, -20, 20, 0},
};

kernels::ConstBgra constView(const Frame &f)
{
    return {f.data(), f.width(), f.height(), f.stride()};
}

kernels::Bgra view(Frame &f)
{
    return {f.data(), f.width(), f.height(), f.stride()};
}

} // namespace

struct PostProcessor::Opaque
{
    explicit Opaque(PostProcessor *owner, BaseSettings *settings)
        : owner(owner)
        , settings(settings)
    {
    }
    ~Opaque() { qDebug() << "PostProcessor::Opaque DCTOR!"; }

    // Intermediate frames of the input's size: ahead of the rotation, and the
    // whole chain when the input is not 1280x720. Held pictures stay out of the pool.
    FrameRef scratch(int width, int height)
    {
        if (!scratchPool || scratchPool->width() != width || scratchPool->height() != height)
            scratchPool = std::make_unique<FramePool>(width, height, 4);
        if (FrameRef f = scratchPool->acquire())
            return f;
        return Frame::create(width, height);
    }

    PostProcessor *owner;
    BaseSettings *settings;
    QRecursiveMutex cacheLock; // a setter fills the record as a getter would, under it
    QMap<BaseSettings::Settings, CameraSetting> cache;

    std::shared_ptr<SubProcessor> segmentation = std::make_shared<SubProcessor>();
    std::shared_ptr<ImageBlurSP> blur = std::make_shared<ImageBlurSP>();
    std::shared_ptr<ImageToneSP> tone = std::make_shared<ImageToneSP>();
    std::shared_ptr<ImageRotateSP> rotate = std::make_shared<ImageRotateSP>();
    std::shared_ptr<ImageOverlaySP> logo = std::make_shared<ImageOverlaySP>();
    std::shared_ptr<TextOverlaySP> text = std::make_shared<TextOverlaySP>();

    const kernels::Table &k = kernels::best();
    FramePool pool{OutputWidth, OutputHeight, PoolSize};
    std::unique_ptr<FramePool> scratchPool;
    FrameRef quarter; // the input averaged down by 4, for the skin mask and the blur
    std::vector<uint8_t> blendWork;
    Mask weakMask; // the person mask for a blur below the least the background gets
    // Logged once per change rather than for every frame.
    bool poolExhausted = false;
    QSize stretchedSize;
};

PostProcessor::PostProcessor(BaseSettings *settings, QObject *parent)
    : QObject(parent)
    , m_opaque(std::make_shared<Opaque>(this, settings))
{
}

PostProcessor::~PostProcessor()
{
    qDebug() << "PostProcessor DCTOR!";
}

void PostProcessor::setSegmentationStage(std::shared_ptr<SubProcessor> stage)
{
    m_opaque->segmentation = std::move(stage);
}

void PostProcessor::waitForOverlays()
{
    m_opaque->logo->waitForRebuilds();
    m_opaque->text->waitForRebuilds();
}

bool PostProcessor::getSetting(BaseSettings::Settings key, CameraSetting &setting)
{
    QMutexLocker lock(&m_opaque->cacheLock);
    const auto cached = m_opaque->cache.constFind(key);
    if (cached != m_opaque->cache.constEnd()) {
        setting = *cached;
        return true;
    }
    for (const Range &r : Ranges) {
        if (r.key != key)
            continue;
        const int64_t stored = m_opaque->settings
                                   ? m_opaque->settings->getSetting(key, qlonglong(r.storedDefault)).toLongLong()
                                   : r.storedDefault;
        setting = CameraSetting{stored, r.step, r.maximum, r.minimum, r.defaultValue, false, false};
        m_opaque->cache.insert(key, setting);
    }
    return true;
}

bool PostProcessor::setSetting(BaseSettings::Settings key, long value, bool autoMode)
{
    {
        QMutexLocker lock(&m_opaque->cacheLock);
        CameraSetting setting;
        getSetting(key, setting);
        setting.value = value;
        setting.autoEnabled = autoMode;
        m_opaque->cache.insert(key, setting);
    }
    if (m_opaque->settings)
        m_opaque->settings->setSetting(key, qlonglong(value));
    return true;
}

bool PostProcessor::setSkinTone(long value, bool autoMode)
{
    return setSetting(BaseSettings::SkinTone, value, autoMode);
}

bool PostProcessor::getSkinTone(CameraSetting &setting)
{
    return getSetting(BaseSettings::SkinTone, setting);
}

bool PostProcessor::setBackgroundBlur(long value, bool autoMode)
{
    return setSetting(BaseSettings::BackgroundBlur, value, autoMode);
}

bool PostProcessor::getBackgroundBlur(CameraSetting &setting)
{
    return getSetting(BaseSettings::BackgroundBlur, setting);
}

bool PostProcessor::setCameraRotation(long value, bool autoMode)
{
    return setSetting(BaseSettings::CameraRotation, value, autoMode);
}

bool PostProcessor::getCameraRotation(CameraSetting &setting)
{
    return getSetting(BaseSettings::CameraRotation, setting);
}

bool PostProcessor::setFineCameraRotation(long value, bool autoMode)
{
    return setSetting(BaseSettings::FineCameraRotation, value, autoMode);
}

bool PostProcessor::getFineCameraRotation(CameraSetting &setting)
{
    return getSetting(BaseSettings::FineCameraRotation, setting);
}

FrameRef PostProcessor::processBuffer(FrameRef input)
{
    if (!input)
        return nullptr;
    Opaque &d = *m_opaque;

    CameraSetting skinTone, blur, coarse, fine;
    getSkinTone(skinTone);
    getBackgroundBlur(blur);
    getCameraRotation(coarse);
    getFineCameraRotation(fine);
    const bool toneActive = skinTone.value != skinTone.defaultValue;
    const bool lowPower = d.settings && d.settings->getSubSetting(BaseSettings::General, BaseSettings::LowPowerMode).toBool();
    const bool blurActive = !lowPower && blur.value != blur.defaultValue;
    const bool rotationActive = coarse.value != coarse.defaultValue || fine.value != fine.defaultValue;
    const bool logoActive = d.settings && d.settings->getSubSetting(BaseSettings::LogoOverlay, BaseSettings::Enabled).toBool();
    const bool textActive = d.settings && d.settings->getSubSetting(BaseSettings::TextOverlay, BaseSettings::Enabled).toBool();

    FrameRef out = d.pool.acquire();
    if (!out) {
        if (!d.poolExhausted) {
            qDebug() << "PostProcessor::processBuffer -> no available PixelBuffers in PixelBufferPool";
            qDebug() << "PostProcessor::processBuffer -> unable to generate a new sample buffer";
        }
        d.poolExhausted = true;
        return input;
    }
    d.poolExhausted = false;
    out->setTimestampUs(input->timestampUs());

    const int w = input->width(), h = input->height();
    const float width = float(w), height = float(h);
    const bool fullSize = w == OutputWidth && h == OutputHeight;
    VideoImage current{input, nullptr};

    if (toneActive || blurActive || rotationActive || logoActive || textActive) {
        // Where the pictures go: the last full-size writer writes the output frame
        // itself; the rotation needs its source apart from its destination.
        const FrameRef last = fullSize ? out : d.scratch(w, h);
        const FrameRef beforeRotation = rotationActive ? d.scratch(w, h) : last;
        // A turn reads only part of the picture before it (a quarter turn leaves out
        // the sides): the skin tone and the blend make only that part.
        const kernels::Area needed = rotationActive ? ImageRotateSP::sourceArea(w, h, coarse.value, fine.value)
                                                    : kernels::Area::whole(w, h);

        // The skin mask and the blur both start from the input averaged down by 4:
        // made once for both.
        FrameRef quarter;
        if (toneActive && blurActive) {
            SubProcessor::averageDown4(*input, d.quarter, d.k);
            quarter = d.quarter;
        }
        if (toneActive) {
            d.tone->setRenderTarget(beforeRotation);
            d.tone->setQuarterPicture(quarter);
            d.tone->setNeededArea(needed);
            const VideoImage toned = d.tone->processImage(current, width, height, skinTone);
            if (toned.frame)
                current = toned;
        }
        if (blurActive) {
            // Segmentation and blur see the camera frame as captured; the toned
            // picture is only the foreground.
            const VideoImage camera{input, nullptr};
            const VideoImage mask = d.segmentation->processImage(camera, width, height, CameraSetting{});
            if (mask.mask) {
                d.blur->setQuarterPicture(quarter);
                const VideoImage background = d.blur->processImage(camera, width, height, blur);
                const Frame &bg = background.frame ? *background.frame : *input;
                // A picture the tone stage made for this frame is blended in place.
                const FrameRef target = current.frame == beforeRotation ? current.frame : beforeRotation;
                d.blendWork.resize(std::max(d.blendWork.size(), kernels::blendWorkBytes(w)));
                const float weight = ImageBlurSP::backgroundWeight(width, height, blur);
                const Mask &m = weight < 1.0f ? ImageBlurSP::weakenBackground(*mask.mask, weight, d.weakMask)
                                              : *mask.mask;
                d.k.blendMask(constView(*current.frame), constView(bg), {m.pixels.data(), m.width, m.height, m.width},
                              view(*target), d.blendWork.data(), needed);
                target->setTimestampUs(input->timestampUs());
                current = VideoImage{target, nullptr};
            }
        }
        if (rotationActive) {
            d.rotate->setRenderTarget(last);
            current = d.rotate->processImage(current, width, height, coarse, fine);
        }
        QVariantMap map;
        if (logoActive && d.settings->getSettingsMap(BaseSettings::LogoOverlay, map)) {
            d.logo->setRenderTarget(last);
            current = d.logo->processImage(current, width, height, map);
        }
        if (textActive && d.settings->getSettingsMap(BaseSettings::TextOverlay, map)) {
            d.text->setRenderTarget(last);
            current = d.text->processImage(current, width, height, map);
        }
    }

    // Render into the output frame, unless the last stage already wrote it.
    if (current.frame != out) {
        const Frame &picture = *current.frame;
        if (fullSize) {
            kernels::copy(constView(picture), view(*out));
        } else {
            if (d.stretchedSize != QSize(w, h))
                qDebug() << "PostProcessor::processBuffer -> input image dimensions have changed:" << w
                         << h << "scaling....";
            kernels::Affine stretch;
            stretch.xx = double(w) / OutputWidth;
            stretch.yy = double(h) / OutputHeight;
            stretch.x0 = 0.5 * stretch.xx - 0.5;
            stretch.y0 = 0.5 * stretch.yy - 0.5;
            d.k.warp(constView(picture), view(*out), stretch, 0, OutputWidth, 0xFF000000u);
        }
    }
    d.stretchedSize = fullSize ? QSize() : QSize(w, h);
    return out;
}
