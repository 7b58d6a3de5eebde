#include "video/imageoverlaysp.h"

#include "app/core/basesettings.h"
#include "app/core/worker.h"
#include "video/kernels.h"

#include <QBuffer>
#include <QDebug>
#include <QGraphicsDropShadowEffect>
#include <QGraphicsPixmapItem>
#include <QGraphicsScene>
#include <QImageReader>
#include <QMutex>
#include <QMutexLocker>
#include <QPainter>

#include <algorithm>
#include <cmath>

namespace {

struct ImageOverlaySPOpaque : SubProcessor::OpaqueBase
{
    using OpaqueBase::OpaqueBase;
    ~ImageOverlaySPOpaque() override { qDebug() << "ImageOverlaySPOpaque::Opaque DCTOR!"; }

    const kernels::Table &k = kernels::best();

    // The pipeline reads the cache once per frame; the worker replaces it after a rebuild.
    QMutex cacheLock;
    bool hasOverlay = false;
    QImage picture;       // as generated
    QImage premultiplied; // what each frame composes
    QPoint position;      // its top-left corner in the frame
    int frameWidth = 0;   // the frame size it was placed for
    int frameHeight = 0;
    int64_t stamp = 0;    // the LastModified it was built for

    // The last rebuild asked for, so that a request is queued once, and a map that
    // gives no picture is not tried again until it or the frame size changes.
    bool requested = false;
    int requestedWidth = 0;
    int requestedHeight = 0;
    int64_t requestedStamp = 0;
};

} // namespace

QImage applyEffectToImage(const QImage &picture, QGraphicsEffect *effect, int extent)
{
    if (picture.isNull())
        return {};
    if (!effect)
        return picture;
    QGraphicsScene scene;
    auto *item = new QGraphicsPixmapItem(QPixmap::fromImage(picture));
    item->setGraphicsEffect(effect);
    scene.addItem(item);
    QImage result(picture.width() + 2 * extent, picture.height() + 2 * extent, QImage::Format_ARGB32);
    result.fill(Qt::transparent);
    QPainter painter(&result);
    scene.render(&painter, QRectF(),
                 QRectF(-extent, -extent, picture.width() + 2 * extent, picture.height() + 2 * extent),
                 Qt::KeepAspectRatio);
    return result;
}

ImageOverlaySP::ImageOverlaySP()
{
    m_opaque = std::make_shared<ImageOverlaySPOpaque>(this);
}

ImageOverlaySP::~ImageOverlaySP()
{
    // Rebuilds call the virtual picture makers: stop them while this object is whole.
    m_worker->shutdown();
}

QVariant ImageOverlaySP::entry(const QMap<QString, QVariant> &map, int subSetting)
{
    return map.value(BaseSettings::name(BaseSettings::SubSettings(subSetting)));
}

bool ImageOverlaySP::shouldRender(const QMap<QString, QVariant> &map)
{
    return entry(map, BaseSettings::Enabled).toBool() && !entry(map, BaseSettings::ImageData).toByteArray().isEmpty();
}

void ImageOverlaySP::waitForRebuilds()
{
    m_worker->runFunctionSync([](QObject *) { });
}

VideoImage ImageOverlaySP::processImage(const VideoImage &image, const float &width,
                                        const float &height, const QMap<QString, QVariant> &map)
{
    auto *d = static_cast<ImageOverlaySPOpaque *>(m_opaque.get());
    return runLimited(image, [&]() -> VideoImage {
        if (!image.frame)
            return {};
        if (!shouldRender(map))
            return image;
        const int64_t stamp = entry(map, BaseSettings::LastModified).toLongLong();
        const int frameWidth = int(width), frameHeight = int(height);
        QImage overlay;
        QPoint at;
        {
            QMutexLocker lock(&d->cacheLock);
            const bool current = d->hasOverlay && d->frameWidth == frameWidth
                                 && d->frameHeight == frameHeight && d->stamp >= stamp;
            const bool asked = d->requested && d->requestedWidth == frameWidth
                               && d->requestedHeight == frameHeight && d->requestedStamp >= stamp;
            if (!current && !asked) {
                d->requested = true;
                d->requestedWidth = frameWidth;
                d->requestedHeight = frameHeight;
                d->requestedStamp = stamp;
                // Raster painting may spread over Qt's global thread pool; it runs on
                // the stage's worker so that frames never wait for it.
                m_worker->runFunctionAsync([this, d, width, height, map, stamp](QObject *) {
                    const QImage picture = generateOverlayImage(width, height, map);
                    if (picture.isNull())
                        return;
                    qDebug() << "ImageOverlaySP::processImage -> recreating logo overlay image";
                    double mx = entry(map, BaseSettings::MarginX).toDouble();
                    if (entry(map, BaseSettings::FlipHorizontal).toBool())
                        mx = 1.0 - mx;
                    double my = entry(map, BaseSettings::MarginY).toDouble();
                    mx = mx < 0.01 ? 0.0 : mx;
                    my = my < 0.01 ? 0.0 : my;
                    int x = int((width - picture.width()) * mx);
                    const double top = (height - picture.height()) * my;
                    const int hAlign = entry(map, BaseSettings::HAlign).toInt();
                    if (hAlign == Qt::AlignRight)
                        x = int(width - picture.width() - x);
                    else if (hAlign == Qt::AlignHCenter)
                        x = int(width * 0.5f - picture.width() / 2);
                    int y = int(top);
                    const int vAlign = entry(map, BaseSettings::VAlign).toInt();
                    if (vAlign == Qt::AlignBottom)
                        y = int(height - picture.height() - y);
                    else if (vAlign == Qt::AlignVCenter)
                        y = int(height * 0.5f - picture.height() / 2);
                    const QImage premultiplied = picture.convertToFormat(QImage::Format_ARGB32_Premultiplied);
                    QMutexLocker lock(&d->cacheLock);
                    d->hasOverlay = true;
                    d->picture = picture;
                    d->premultiplied = premultiplied;
                    d->position = QPoint(x, y);
                    d->frameWidth = int(width);
                    d->frameHeight = int(height);
                    d->stamp = stamp;
                });
            }
            if (d->hasOverlay && d->frameWidth == frameWidth && d->frameHeight == frameHeight) {
                overlay = d->premultiplied;
                at = d->position;
            }
        }
        if (overlay.isNull())
            return image;
        const Frame &in = *image.frame;
        FrameRef out = takeRenderTarget(in.width(), in.height());
        const kernels::Bgra target{out->data(), out->width(), out->height(), out->stride()};
        if (out != image.frame) {
            kernels::copy({in.data(), in.width(), in.height(), in.stride()}, target);
            out->setTimestampUs(in.timestampUs());
        }
        d->k.over({overlay.constBits(), overlay.width(), overlay.height(), int(overlay.bytesPerLine())},
                  target, at.x(), at.y());
        return {out, nullptr};
    });
}

QImage ImageOverlaySP::generateOverlayImage(const float &width, const float &height,
                                            const QMap<QString, QVariant> &map)
{
    const QByteArray data = entry(map, BaseSettings::ImageData).toByteArray();
    if (data.isEmpty())
        return {};
    QBuffer buffer;
    buffer.setData(data);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    reader.setAutoTransform(true);
    QImage picture = reader.read();
    if (picture.isNull()) {
        qWarning() << "ImageOverlaySP::generateOverlayImage -> unreadable logo:" << reader.errorString();
        return {};
    }
    picture = picture.convertToFormat(QImage::Format_ARGB32);

    const double factor = std::min(height / picture.height(), width / picture.width())
                          * std::max(0.01, entry(map, BaseSettings::Size).toDouble());
    picture = picture.scaled(std::max(1, int(picture.width() * factor)),
                             std::max(1, int(picture.height() * factor)), Qt::IgnoreAspectRatio,
                             Qt::SmoothTransformation);
    picture = picture.mirrored(entry(map, BaseSettings::FlipHorizontal).toBool(),
                               entry(map, BaseSettings::FlipVertical).toBool());

    const double blurRadius = std::min(picture.width(), picture.height()) * 0.2;
    auto *shadow = new QGraphicsDropShadowEffect;
    shadow->setBlurRadius(blurRadius);
    shadow->setOffset(0, 0);
    shadow->setColor(entry(map, BaseSettings::LogoShadowColor).value<QColor>());
    const QImage shadowed = applyEffectToImage(picture, shadow, int(blurRadius));

    QImage result(shadowed.size(), QImage::Format_ARGB32);
    result.fill(Qt::transparent);
    QPainter painter(&result);
    painter.setRenderHints(QPainter::SmoothPixmapTransform | QPainter::Antialiasing);
    painter.setOpacity(entry(map, BaseSettings::Opacity).toDouble());
    painter.drawImage(0, 0, shadowed);
    return result;
}
