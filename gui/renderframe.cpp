#include "gui/renderframe.h"

#include "app/app.h"

#include <QMutexLocker>
#include <QPainter>

#include <algorithm>

RenderFrame::RenderFrame(QWidget *parent)
    : ShadowedFrame(true, parent)
{
    setObjectName("RenderFrame");
}

void RenderFrame::onNewFrame(const QImage &image, bool ignoreMirroring)
{
    {
        QMutexLocker lock(&m_mutex);
        m_image = image;
        m_ignoreMirroring = ignoreMirroring;
    }
    // update() may only be called on the GUI thread.
    QMetaObject::invokeMethod(this, qOverload<>(&QWidget::update), Qt::AutoConnection);
}

void RenderFrame::paint(QPainter *painter)
{
    QImage image;
    bool ignoreMirroring;
    {
        QMutexLocker lock(&m_mutex);
        image = m_image;
        ignoreMirroring = m_ignoreMirroring;
    }
    if (image.isNull())
        return;

    if (!ignoreMirroring
        && static_cast<App *>(qApp)->setMgr()->getSubSetting(BaseSettings::General, BaseSettings::FlipHorizontal).toBool()) {
        painter->translate(width(), 0);
        painter->scale(-1, 1);
    }

    const QRectF area = clipPath().boundingRect();
    const double factor = std::max(area.height() / image.height(), area.width() / image.width());
    const QSize scaled(int(image.width() * factor), int(image.height() * factor));
    const QRect target(QPoint((width() - scaled.width()) / 2, (height() - scaled.height()) / 2), scaled);
    painter->setRenderHint(QPainter::SmoothPixmapTransform);
    painter->drawImage(target, image);
}
