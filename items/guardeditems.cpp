#include "guardeditems.h"

#include "itembatch.h"

GuardedPathItem::~GuardedPathItem()
{
    if (m_batch)
        m_batch->remove(this);
}

QVariant GuardedPathItem::itemChange(GraphicsItemChange change, const QVariant &value)
{
    if (m_batch)
        m_batch->itemChanged(this, change);
    return QGraphicsPathItem::itemChange(change, value);
}
