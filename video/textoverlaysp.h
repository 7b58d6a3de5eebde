#pragma once

#include "video/imageoverlaysp.h"

#include <QColor>

/// Draws up to two lines of text over the frame; placement, caching and
/// composition are those of the logo overlay.
class TextOverlaySP : public ImageOverlaySP
{
    Q_OBJECT
public:
    TextOverlaySP();
    ~TextOverlaySP() override;

    QImage generateOverlayImage(const float &width, const float &height,
                                const QMap<QString, QVariant> &map) override;
    bool shouldRender(const QMap<QString, QVariant> &map) override;

    /// One line of text, filled and with a soft shadow, for a frame of width x height.
    QImage generateTextImage(const QString &family, const float &width, const float &height,
                             const QString &text, const float &size, const bool &bold,
                             const QColor &shadowColor, const QColor &fillColor);

    /// The point size of a line: trunc(min(size * 1.5, 1) * 2 * width / (characters + 1)),
    /// then at most trunc(height / 3) and at least trunc(height / 30).
    static int pointSize(float width, float height, int characters, float size);
};
