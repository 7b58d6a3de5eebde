#include "gui/draggableframe.h"

#include <QDebug>
#include <QDrag>
#include <QDragEnterEvent>
#include <QGraphicsOpacityEffect>
#include <QLabel>
#include <QMimeData>
#include <QMouseEvent>

DraggableFrame::DraggableFrame(QWidget *parent)
    : ShadowedFrame(true, parent)
{
    setAcceptDrops(true);
}

void DraggableFrame::applyOpacity(float opacity)
{
    if (opacity == 1.0f) {
        setGraphicsEffect(nullptr);
        return;
    }
    auto *effect = new QGraphicsOpacityEffect(this);
    effect->setOpacity(opacity);
    setGraphicsEffect(effect);
}

bool DraggableFrame::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::MouseButtonPress
        && static_cast<QMouseEvent *>(event)->button() == Qt::LeftButton) {
        startDraggingOperation();
        return true;
    }
    return ShadowedFrame::eventFilter(watched, event);
}

void DraggableFrame::startDraggingOperation()
{
    const QPixmap picture = grab();
    auto *drag = new QDrag(this);
    drag->setMimeData(new QMimeData);
    drag->setPixmap(picture);

    // The handle's picture is the move cursor the user grabbed; centre the
    // row's picture on it so the row follows the pointer where it was taken.
    QSize cursorSize(0, 0);
    if (auto *handle = findChild<QLabel *>("icon_drag_label"); handle && !handle->pixmap().isNull())
        cursorSize = handle->pixmap().deviceIndependentSize().toSize();
    drag->setHotSpot(mapFromGlobal(QCursor::pos()) - QPoint(cursorSize.width() / 2, cursorSize.height() / 2));

    applyOpacity(0.4f);
    drag->exec(Qt::MoveAction);
    applyOpacity(1.0f);
}

void DraggableFrame::dragEnterEvent(QDragEnterEvent *event)
{
    qDebug() << "DraggableFrame::drag" << event;
    auto *source = qobject_cast<DraggableFrame *>(event->source());
    if (!source)
        return;
    event->acceptProposedAction();
    // Rows move while the user drags, not only on the drop.
    if (source != this)
        emit onFrameDropped(source, this);
}

void DraggableFrame::dropEvent(QDropEvent *event)
{
    qDebug() << "DraggableFrame::dropEvent" << event;
    if (qobject_cast<DraggableFrame *>(event->source()))
        event->acceptProposedAction();
}
