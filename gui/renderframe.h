#pragma once

#include "gui/shadowedframe.h"

#include <QRecursiveMutex>

/// The camera preview: draws the newest image to cover the rounded content
/// area, mirrored when the user asked for a mirrored preview.
class RenderFrame : public ShadowedFrame
{
    Q_OBJECT
public:
    explicit RenderFrame(QWidget *parent = nullptr);

public slots:
    /// Any thread. Stock pictures pass ignoreMirroring so their text stays readable.
    void onNewFrame(const QImage &image, bool ignoreMirroring);

protected:
    void paint(QPainter *painter) override;

private:
    QRecursiveMutex m_mutex;
    QImage m_image;
    bool m_ignoreMirroring = false;
};
