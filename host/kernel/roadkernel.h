#pragma once

#include <QGraphicsObject>
#include <QGraphicsScene>
#include <QHash>
#include <QObject>
#include <QPointer>

// Complete, so that moc registers the itemModel property's type and property() can read it.
#include "roaditemmodel.h"

#if defined(ROAD_KERNEL_LIBRARY)
#define ROAD_KERNEL_EXPORT Q_DECL_EXPORT
#else
#define ROAD_KERNEL_EXPORT Q_DECL_IMPORT
#endif

namespace Road {

// A named layer of the map. Map items join it through the invokable addItem and become
// its child items; the layer itself draws nothing.
class ROAD_KERNEL_EXPORT MapLayer : public QGraphicsObject
{
    Q_OBJECT
public:
    explicit MapLayer(const QString &name, QGraphicsItem *parent = nullptr);

    QString name() const { return objectName(); }
    Q_INVOKABLE void addItem(QGraphicsItem *item);

    QRectF boundingRect() const override { return QRectF(); }
    void paint(QPainter *, const QStyleOptionGraphicsItem *, QWidget *) override {}
};

// The map: scene coordinates are geographic degrees (x longitude, y latitude).
class ROAD_KERNEL_EXPORT MapScene : public QGraphicsScene
{
    Q_OBJECT
public:
    explicit MapScene(QObject *parent = nullptr);

    // The layer of that name, created on first use; the same object on every later call.
    // Layers stack in the order they were first asked for.
    Q_INVOKABLE QGraphicsObject *addLayer(const QString &name);
    MapLayer *layer(const QString &name) const;

private:
    QHash<QString, QPointer<MapLayer>> m_layers;
    int m_layersMade = 0;
};

// The map kernel: parent of the map plug-ins, owner of the map's scene and object tree.
class ROAD_KERNEL_EXPORT Kernel : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QObject *graphicsScene READ graphicsScene)
    Q_PROPERTY(Road::ItemModel *itemModel READ itemModel)
public:
    explicit Kernel(QObject *parent = nullptr);
    ~Kernel() override;

    QObject *graphicsScene() const;
    Road::ItemModel *itemModel() const;
    MapScene *scene() const { return m_scene; }

private:
    QPointer<MapScene> m_scene;
    QPointer<ItemModel> m_itemModel;
};

} // namespace Road
