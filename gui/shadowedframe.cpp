#include "gui/shadowedframe.h"

#include <QGraphicsDropShadowEffect>
#include <QPainter>
#include <QResizeEvent>

#include <algorithm>

ShadowedFrame::ShadowedFrame(bool translucent, QWidget *parent)
    : QFrame(parent)
{
    setObjectName("ShadowedFrame");
    setFrameShape(QFrame::NoFrame);
    setFocusPolicy(Qt::NoFocus);
    if (translucent) {
        // Not an opaque paint: the shadow is translucent and must be drawn
        // over a fresh background on every repaint, or it piles up over the
        // previous one into a dark band (the preview repaints with each frame).
        setAttribute(Qt::WA_TranslucentBackground);
        setAttribute(Qt::WA_StaticContents);
        setAttribute(Qt::WA_NoSystemBackground);
        setAutoFillBackground(false);
    }
}

void ShadowedFrame::setBackgroundColor(const QColor &color)
{
    m_backgroundColor = color;
    update();
}

void ShadowedFrame::setShadowEnabled(bool enabled)
{
    m_shadowEnabled = enabled;
    update();
}

void ShadowedFrame::resizeEvent(QResizeEvent *event)
{
    QFrame::resizeEvent(event);
    generateShadowImage();
}

void ShadowedFrame::generateShadowImage()
{
    const int w = width();
    const int h = height();
    m_clipPath = QPainterPath();
    m_clipPath.addRoundedRect(QRectF(m_margin, m_margin, w - 2 * m_margin, h - 2 * m_margin),
                              m_radius, m_radius);
    if (w <= 0 || h <= 0) {
        m_shadowImage = QImage();
        return;
    }

    QColor color = m_shadowColor;
    color.setRedF(std::min(1.0f, float(color.redF()) * m_colorFactor));
    color.setGreenF(std::min(1.0f, float(color.greenF()) * m_colorFactor));
    color.setBlueF(std::min(1.0f, float(color.blueF()) * m_colorFactor));
    color.setAlpha(int(m_shadowAlpha * 255));

    QImage image(w, h, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);

    // The shadow is drawn by Qt's own blur: a black rounded frame carrying a
    // drop-shadow effect, rendered off screen. The outer frame stays transparent
    // so only the shadow around the content area ends up in the picture.
    QFrame father;
    father.setObjectName("FATHER");
    father.setAttribute(Qt::WA_DontShowOnScreen);
    father.resize(w, h);
    father.setStyleSheet("#FATHER { background: transparent;}");
    QFrame son(&father);
    son.setObjectName("SON");
    son.setGeometry(m_margin, m_margin, std::max(0, w - 2 * m_margin), std::max(0, h - 2 * m_margin));
    son.setStyleSheet(QString("#SON { background: black; border: 1px solid transparent; border-radius: %1px;}")
                          .arg(m_radius));
    auto *effect = new QGraphicsDropShadowEffect(&son);
    effect->setBlurRadius(m_margin * m_blurFactor);
    effect->setOffset(0, 0);
    effect->setColor(color);
    son.setGraphicsEffect(effect);

    QPainter painter(&image);
    painter.setRenderHints(QPainter::SmoothPixmapTransform | QPainter::Antialiasing);
    father.render(&painter, QPoint(), QRegion(), QWidget::DrawWindowBackground | QWidget::DrawChildren);
    painter.end();
    m_shadowImage = image;
}

void ShadowedFrame::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    if (m_shadowEnabled) {
        if (m_shadowImage.isNull())
            generateShadowImage();
        painter.setRenderHints(QPainter::SmoothPixmapTransform | QPainter::Antialiasing);
        painter.setClipping(false);
        painter.setOpacity(m_shadowOpacity);
        if (!m_shadowImage.isNull())
            painter.drawImage(rect(), m_shadowImage);
        painter.setOpacity(m_contentOpacity);
        painter.setClipPath(m_clipPath);
    }
    if (m_backgroundColor.alpha() > 0)
        painter.fillRect(rect(), m_backgroundColor);
    paint(&painter);
}

void ShadowedFrame::paint(QPainter *)
{
}
