#include "app/popupplacement.h"

QRect placePopup(const QRect &trayGeometry, const QRect &available, const QSize &size)
{
    const QPoint anchor = trayGeometry.isValid() ? QPoint(trayGeometry.left(), trayGeometry.bottom())
                                                 : QPoint(available.right(), available.bottom());
    QRect popup(anchor, size);
    if (popup.right() > available.right())
        popup.moveLeft(popup.left() - (popup.right() - available.right()));
    if (popup.left() < available.left())
        popup.moveLeft(available.left());
    if (popup.bottom() > available.bottom())
        popup.moveTop(popup.top() - (popup.bottom() - available.bottom()));
    if (popup.top() < available.top())
        popup.moveTop(available.top());
    return popup;
}
