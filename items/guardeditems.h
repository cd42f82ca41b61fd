#pragma once

#include <QGraphicsEllipseItem>
#include <QGraphicsPathItem>
#include <QObject>
#include <QPointer>

class ItemBatch;

// Standard shape items that are also QObjects, so that an owner elsewhere can hold them in
// a QPointer. The vehicle puts its sector and raw-position ring on the host's layer, where
// the host may delete them (clearing the scene or the layer) before the vehicle does.
class GuardedPathItem : public QObject, public QGraphicsPathItem
{
    Q_OBJECT
public:
    explicit GuardedPathItem(QGraphicsItem *parent = nullptr)
        : QGraphicsPathItem(parent)
    {
    }
    ~GuardedPathItem() override;

    // The path is in degrees and the pen is cosmetic: the base class would widen bounds and
    // shape by the pen's width taken as degrees (about 100 km). The view's own margin of a
    // few pixels covers a cosmetic pen.
    QRectF boundingRect() const override { return path().controlPointRect(); }
    QPainterPath shape() const override { return path(); }

    // The layer's item batch that draws this item; told of changes and of its deletion.
    void setBatch(ItemBatch *batch) { m_batch = batch; }

protected:
    QVariant itemChange(GraphicsItemChange change, const QVariant &value) override;

private:
    QPointer<ItemBatch> m_batch;
};

class GuardedEllipseItem : public QObject, public QGraphicsEllipseItem
{
    Q_OBJECT
public:
    explicit GuardedEllipseItem(const QRectF &rect, QGraphicsItem *parent = nullptr)
        : QGraphicsEllipseItem(rect, parent)
    {
    }
};
