#pragma once

#include "gui/shadowedframe.h"

/// The frame of a setting row: dragged by its handle, dropped on another row
/// to reorder the page.
class DraggableFrame : public ShadowedFrame
{
    Q_OBJECT
public:
    explicit DraggableFrame(QWidget *parent = nullptr);

    /// 1.0 removes any opacity effect; other values install one.
    void applyOpacity(float opacity);

public slots:
    void startDraggingOperation();

signals:
    void onFrameDropped(DraggableFrame *original, DraggableFrame *target);
    /// Relayed to the row's controls: a controller announced a new value.
    void onValueHasExternallyChanged(long value, bool isAuto);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dropEvent(QDropEvent *event) override;
};
