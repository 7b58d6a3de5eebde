#include "video/textoverlaysp.h"

#include "app/core/basesettings.h"
#include "app/core/worker.h"

#include <QFont>
#include <QGraphicsDropShadowEffect>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>

TextOverlaySP::TextOverlaySP() = default;

TextOverlaySP::~TextOverlaySP()
{
    m_worker->shutdown();
}

bool TextOverlaySP::shouldRender(const QMap<QString, QVariant> &map)
{
    return entry(map, BaseSettings::Enabled).toBool()
           && (!entry(map, BaseSettings::TextLine1).toString().isEmpty()
               || !entry(map, BaseSettings::TextLine2).toString().isEmpty());
}

int TextOverlaySP::pointSize(float width, float height, int characters, float size)
{
    int points = int(std::min(size * 1.5f, 1.0f) * 2.0f * width / float(characters + 1));
    points = std::min(points, int(height / 3));
    return std::max(points, int(height / 30));
}

QImage TextOverlaySP::generateTextImage(const QString &family, const float &width, const float &height,
                                        const QString &text, const float &size, const bool &bold,
                                        const QColor &shadowColor, const QColor &fillColor)
{
    const QFont font(family, pointSize(width, height, int(text.size()), size),
                     bold ? QFont::Black : QFont::Normal, false);
    QPainterPath path;
    path.addText(0, 0, font, text);
    const QRectF bounds = path.boundingRect();
    QSize pictureSize(int(bounds.width()), int(bounds.height()));
    if (pictureSize.width() < 1 || pictureSize.height() < 1)
        pictureSize = QSize(8, 8);
    QImage picture(pictureSize, QImage::Format_ARGB32);
    picture.fill(Qt::transparent);
    {
        QPainter painter(&picture);
        painter.setRenderHints(QPainter::SmoothPixmapTransform | QPainter::Antialiasing
                               | QPainter::TextAntialiasing);
        painter.translate(-int(bounds.left()), -int(bounds.top()));
        painter.fillPath(path, QBrush(fillColor));
    }
    const double blurRadius = picture.height() * 0.3;
    auto *shadow = new QGraphicsDropShadowEffect;
    shadow->setBlurRadius(blurRadius);
    shadow->setOffset(0, 0);
    shadow->setColor(shadowColor);
    return applyEffectToImage(picture, shadow, int(blurRadius));
}

QImage TextOverlaySP::generateOverlayImage(const float &width, const float &height,
                                           const QMap<QString, QVariant> &map)
{
    const QColor shadowColor = entry(map, BaseSettings::TextShadowColor).value<QColor>();
    const QColor fillColor = entry(map, BaseSettings::TextFillColor).value<QColor>();
    const QString family = entry(map, BaseSettings::TextFontFamily).toString();
    const bool bold = entry(map, BaseSettings::TextBold).toBool();
    const bool flipH = entry(map, BaseSettings::FlipHorizontal).toBool();
    const bool flipV = entry(map, BaseSettings::FlipVertical).toBool();

    QImage lines[2];
    const int textKeys[2] = {BaseSettings::TextLine1, BaseSettings::TextLine2};
    const int sizeKeys[2] = {BaseSettings::Line1Size, BaseSettings::Line2Size};
    for (int i = 0; i < 2; ++i) {
        const float size = std::max(0.01f, entry(map, sizeKeys[i]).toFloat());
        QImage line = generateTextImage(family, width, height, entry(map, textKeys[i]).toString(), size,
                                        bold, shadowColor, fillColor);
        const double factor = std::min(height / line.height(), width / line.width()) * size;
        line = line.scaled(std::max(1, int(line.width() * factor)), std::max(1, int(line.height() * factor)),
                           Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        lines[i] = line.mirrored(flipH, flipV);
    }
    const int gap = int(std::max(lines[0].height(), lines[1].height()) * 0.025);
    const int pictureWidth = std::max(lines[0].width(), lines[1].width());
    QImage picture(pictureWidth, lines[0].height() + gap + lines[1].height(), QImage::Format_ARGB32);
    picture.fill(Qt::transparent);
    QPainter painter(&picture);
    painter.setRenderHints(QPainter::SmoothPixmapTransform | QPainter::Antialiasing);
    painter.setOpacity(entry(map, BaseSettings::Opacity).toDouble());

    int align = entry(map, BaseSettings::TextHAlign).toInt();
    // Mirrored text reads from the other side: left and right swap.
    if (flipH && align == Qt::AlignLeft)
        align = Qt::AlignRight;
    else if (flipH && align == Qt::AlignRight)
        align = Qt::AlignLeft;
    const int secondTop = lines[0].height() + gap;
    if (align == Qt::AlignLeft) {
        painter.drawImage(0, 0, lines[0]);
        painter.drawImage(0, secondTop, lines[1]);
    } else if (align == Qt::AlignRight) {
        painter.drawImage(pictureWidth - lines[0].width(), 0, lines[0]);
        painter.drawImage(pictureWidth - lines[1].width(), secondTop, lines[1]);
    } else if (align == Qt::AlignHCenter) {
        painter.drawImage(pictureWidth / 2 - lines[0].width() / 2, 0, lines[0]);
        painter.drawImage(pictureWidth / 2 - lines[1].width() / 2, secondTop, lines[1]);
    }
    return picture;
}
