#pragma once

#include <QColor>
#include <QFrame>
#include <QImage>
#include <QPainterPath>

class QPainter;

/// A frame that paints a soft drop shadow around a rounded content area and
/// clips what it draws to that area.
class ShadowedFrame : public QFrame
{
    Q_OBJECT
public:
    explicit ShadowedFrame(bool translucent, QWidget *parent = nullptr);

    void setBackgroundColor(const QColor &color);
    void setShadowEnabled(bool enabled);

    /// The pre-rendered shadow; null until the first paint or resize.
    QImage shadowImage() const { return m_shadowImage; }
    QPainterPath clipPath() const { return m_clipPath; }

protected:
    void resizeEvent(QResizeEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
    /// Draws the content inside the clip path; the base draws nothing.
    virtual void paint(QPainter *painter);

private:
    void generateShadowImage();

    QImage m_shadowImage;
    QPainterPath m_clipPath;
    int m_margin = 8;
    int m_radius = 8;
    float m_blurFactor = 2.0f;
    float m_shadowOpacity = 1.0f;
    float m_shadowAlpha = 0.25f;
    float m_colorFactor = 1.0f;
    float m_contentOpacity = 1.0f;
    QColor m_shadowColor = Qt::transparent;
    QColor m_backgroundColor = Qt::transparent;
    bool m_shadowEnabled = true;
};
