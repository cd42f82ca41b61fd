#include "roadkernel.h"

#include "roaditemmodel.h"

namespace Road {

MapLayer::MapLayer(const QString &name, QGraphicsItem *parent)
    : QGraphicsObject(parent)
{
    setObjectName(name);
    // A layer only groups; its children are drawn and hit-tested on their own.
    setFlag(QGraphicsItem::ItemHasNoContents);
}

void MapLayer::addItem(QGraphicsItem *item)
{
    if (!item || item == this)
        return;
    item->setParentItem(this);
}

MapScene::MapScene(QObject *parent)
    : QGraphicsScene(parent)
{
    // Scene units are degrees: a fixed index suits items that move every few seconds
    // better than the BSP tree's rebuilds.
    setItemIndexMethod(QGraphicsScene::NoIndex);
}

QGraphicsObject *MapScene::addLayer(const QString &name)
{
    if (MapLayer *existing = m_layers.value(name))
        return existing;
    auto *layer = new MapLayer(name);
    // Later layers draw above earlier ones; a layer made again after its deletion goes on top.
    layer->setZValue(++m_layersMade);
    addItem(layer);
    m_layers.insert(name, layer);
    return layer;
}

MapLayer *MapScene::layer(const QString &name) const
{
    return m_layers.value(name);
}

Kernel::Kernel(QObject *parent)
    : QObject(parent)
    , m_scene(new MapScene(this))
    , m_itemModel(new ItemModel(this))
{
}

Kernel::~Kernel()
{
    // Plug-ins are our children too and hold plain pointers into the scene and the tree:
    // they go first, while both still exist.
    QVector<QPointer<QObject>> others;
    for (QObject *child : children()) {
        if (child != m_scene && child != m_itemModel)
            others.append(child);
    }
    for (const QPointer<QObject> &child : qAsConst(others))
        delete child.data();
    delete m_itemModel.data();
    delete m_scene.data();
}

QObject *Kernel::graphicsScene() const
{
    return m_scene.data();
}

ItemModel *Kernel::itemModel() const
{
    return m_itemModel.data();
}

} // namespace Road
