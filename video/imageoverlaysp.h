#pragma once

#include "video/subprocessor.h"

#include <QImage>
#include <QMap>
#include <QString>
#include <QVariant>

class QGraphicsEffect;

/// Renders a picture through a graphics effect onto a transparent picture `extent`
/// pixels larger on every side. A null picture gives null; no effect gives the picture.
QImage applyEffectToImage(const QImage &picture, QGraphicsEffect *effect, int extent);

/// Draws the user's logo over the frame, placed by alignment and margins. The
/// overlay picture (scaling, mirroring, shadow, opacity) is made with Qt's raster
/// painting on the stage's own worker whenever the frame size changes or the map's
/// LastModified grows; frames meanwhile keep the previous overlay, and each frame
/// costs only the composition of the cached premultiplied picture.
class ImageOverlaySP : public SubProcessor
{
    Q_OBJECT
public:
    ImageOverlaySP();
    ~ImageOverlaySP() override;

    using SubProcessor::processImage;
    /// The frame with the overlay, or the frame itself. Writes into the render target.
    VideoImage processImage(const VideoImage &image, const float &width, const float &height,
                            const QMap<QString, QVariant> &map);

    /// Worker thread. The overlay picture for a frame of width x height, or null.
    virtual QImage generateOverlayImage(const float &width, const float &height,
                                        const QMap<QString, QVariant> &map);
    /// Whether the map asks for an overlay at all.
    virtual bool shouldRender(const QMap<QString, QVariant> &map);

    /// Any thread. Waits until overlay pictures requested so far are built (for
    /// offline rendering and tests; frames never wait).
    void waitForRebuilds();

protected:
    /// The value of one entry of an overlay map.
    static QVariant entry(const QMap<QString, QVariant> &map, int subSetting);
};
