#include "itemcursor.h"

#include "itembatch.h"
#include "routelayer.h"

#include <QGraphicsView>
#include <QMouseEvent>

ItemCursor::ItemCursor(QObject *owner)
    : QObject(owner)
{
}

void ItemCursor::bind(QObject *owner, QGraphicsView *view)
{
    auto *cursor = owner->findChild<ItemCursor *>(QString(), Qt::FindDirectChildrenOnly);
    if (!cursor) {
        if (!view)
            return;
        cursor = new ItemCursor(owner);
    }
    cursor->setView(view);
}

void ItemCursor::setView(QGraphicsView *view)
{
    if (m_viewport) {
        show(false);
        m_viewport->removeEventFilter(this);
    }
    m_view = view;
    m_viewport = view ? view->viewport() : nullptr;
    if (m_viewport) {
        m_viewport->installEventFilter(this);
        // Moves without a button reach the view only when it tracks the mouse.
        m_viewport->setMouseTracking(true);
    }
}

void ItemCursor::show(bool overItem)
{
    if (!m_viewport)
        return;
    if (overItem) {
        if (!m_stored) {
            m_stored = true;
            m_original = m_viewport->cursor();
        }
        m_viewport->setCursor(Qt::ArrowCursor);
    } else if (m_stored) {
        m_stored = false;
        m_viewport->setCursor(m_original);
    }
}

bool ItemCursor::eventFilter(QObject *watched, QEvent *event)
{
    if (watched != m_viewport || !m_view)
        return false;
    if (event->type() == QEvent::Leave) {
        show(false);
    } else if (event->type() == QEvent::MouseMove) {
        const auto *move = static_cast<QMouseEvent *>(event);
        const auto *view = qobject_cast<const QGraphicsView *>(m_view.data());
        // While a button is down the view's own cursor (a drag, a hand scroll) holds.
        if (view && move->buttons() == Qt::NoButton && view->scene()) {
            // A pixel square at the mouse, as the view tests its items with.
            const QTransform toViewport = view->viewportTransform();
            const QRectF pixel(move->localPos(), QSizeF(1.0, 1.0));
            const QRectF rect = toViewport.inverted().mapRect(pixel);
            show(ItemBatch::anyItemAt(view->scene(), rect, toViewport) || RouteLayer::anyRouteAt(view->scene(), rect));
        }
    }
    return false;
}
