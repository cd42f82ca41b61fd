#include "itembatch.h"

#include "priovdetector.h"
#include "priovehicle.h"

#include <QGraphicsScene>
#include <QPainter>
#include <QStyleOptionGraphicsItem>

#include <cmath>
#include <limits>

namespace {

// The batch of each layer, found by the layer item.
QHash<const QGraphicsItem *, ItemBatch *> &batches()
{
    static QHash<const QGraphicsItem *, ItemBatch *> byLayer;
    return byLayer;
}

// Above the route picture (-0.05) and the vehicle sectors (-0.1), below the layer's items.
constexpr double BatchZ = -0.03;
// How far a vehicle's marker, its figure and a selected pen reach from its position on the
// screen, with a pixel to spare for the rounding of its picture.
constexpr double MarkerReachPixels = 24.0;
// Vehicles are told from detectors in the index by this bit.
constexpr int VehicleBit = 1 << 30;
// Views remembered for their scale; a batch is rarely shown by more than two.
constexpr int MaxScales = 4;

bool drawnByBatch(const QGraphicsItem *item)
{
    return item->flags() & QGraphicsItem::ItemHasNoContents;
}

} // namespace

ItemBatch::ItemBatch(QObject *owner, QGraphicsItem *layer)
{
    setParent(owner);
    setParentItem(layer);
    setZValue(BatchZ);
    setFlags(ItemIgnoresParentOpacity | ItemUsesExtendedStyleOption);
    setAcceptedMouseButtons(Qt::NoButton);
    batches().insert(layer, this);
}

ItemBatch::~ItemBatch()
{
    for (auto it = batches().begin(); it != batches().end();) {
        if (it.value() == this)
            it = batches().erase(it);
        else
            ++it;
    }
    // The items left draw themselves again.
    for (const DetectorEntry &e : qAsConst(m_detectors)) {
        if (e.item)
            e.item->setFlag(ItemHasNoContents, false);
    }
    for (const VehicleEntry &e : qAsConst(m_vehicles)) {
        if (e.item)
            e.item->setFlag(ItemHasNoContents, false);
    }
}

ItemBatch *ItemBatch::forLayer(QGraphicsObject *item)
{
    QGraphicsItem *layer = item->parentItem();
    if (!layer)
        return nullptr;
    ItemBatch *batch = batches().value(layer);
    if (!batch)
        batch = new ItemBatch(item->parent(), layer);
    return batch;
}

ItemBatch *ItemBatch::attach(PrioVDetector *detector)
{
    ItemBatch *batch = forLayer(detector);
    if (batch) {
        batch->m_index.insert(detector, batch->m_detectors.size());
        batch->m_detectors.resize(batch->m_detectors.size() + 1);
        batch->m_detectors.last().item = detector;
        batch->sync(detector);
    }
    return batch;
}

ItemBatch *ItemBatch::attach(PrioVehicle *vehicle)
{
    ItemBatch *batch = forLayer(vehicle);
    if (batch) {
        batch->m_index.insert(vehicle, batch->m_vehicles.size() | VehicleBit);
        batch->m_vehicles.resize(batch->m_vehicles.size() + 1);
        batch->m_vehicles.last().item = vehicle;
        batch->sync(vehicle);
    }
    return batch;
}

void ItemBatch::remove(QGraphicsItem *item)
{
    const auto it = m_index.constFind(item);
    if (it == m_index.constEnd())
        return;
    const int at = it.value();
    if (at & VehicleBit) {
        VehicleEntry &e = m_vehicles[at & ~VehicleBit];
        if (e.shown)
            touch(item);
        e.item = nullptr;
        e.shown = false;
    } else {
        DetectorEntry &e = m_detectors[at];
        if (e.shown)
            update(QRectF(e.bounds).translated(e.pos));
        e.item = nullptr;
        e.shown = false;
    }
    m_index.erase(it);
    if (++m_holes > (m_detectors.size() + m_vehicles.size()) / 2)
        compact();
}

void ItemBatch::compact()
{
    auto detectorGone = [](const DetectorEntry &e) { return !e.item; };
    auto vehicleGone = [](const VehicleEntry &e) { return !e.item; };
    m_detectors.erase(std::remove_if(m_detectors.begin(), m_detectors.end(), detectorGone), m_detectors.end());
    m_vehicles.erase(std::remove_if(m_vehicles.begin(), m_vehicles.end(), vehicleGone), m_vehicles.end());
    m_index.clear();
    for (int i = 0; i < m_detectors.size(); ++i)
        m_index.insert(m_detectors.at(i).item, i);
    for (int i = 0; i < m_vehicles.size(); ++i)
        m_index.insert(m_vehicles.at(i).item, i | VehicleBit);
    m_holes = 0;
}

void ItemBatch::sync(QGraphicsItem *item)
{
    const bool drawn = item->parentItem() == parentItem() && item->zValue() == 0.0 && item->opacity() == 1.0
        && item->transform().isIdentity() && !item->graphicsEffect();
    if (drawn != drawnByBatch(item)) {
        // Repainted where it is by whoever draws it from now on.
        touch(item);
        item->setFlag(ItemHasNoContents, drawn);
        item->update();
    }
    touch(item);
}

void ItemBatch::itemChanged(QGraphicsItem *item, GraphicsItemChange change)
{
    switch (change) {
    case ItemSelectedHasChanged:
    case ItemVisibleHasChanged:
        touch(item);
        break;
    case ItemZValueHasChanged:
    case ItemOpacityHasChanged:
    case ItemParentHasChanged:
        sync(item);
        break;
    default:
        break;
    }
}

void ItemBatch::refresh(DetectorEntry *e)
{
    PrioVDetector *d = e->item;
    e->pos = d->pos();
    e->bounds = d->boundingRect();
    e->zone = d->zoneRect();
    e->colour = d->stateColour();
    e->emergency = d->isEmergency();
    e->selected = d->isSelected();
    e->batched = drawnByBatch(d);
    e->shown = e->batched && d->isVisible() && !e->bounds.isEmpty();
}

void ItemBatch::refresh(VehicleEntry *e)
{
    PrioVehicle *v = e->item;
    e->pos = mapFromItem(v, QPointF(0.0, 0.0));
    e->selected = v->isSelected();
    e->batched = drawnByBatch(v);
    e->shown = e->batched && v->isVisible() && v->markerLook(&e->look);
}

void ItemBatch::touch(const QGraphicsItem *item)
{
    const auto it = m_index.constFind(item);
    if (it == m_index.constEnd())
        return;
    if (!(it.value() & VehicleBit)) {
        DetectorEntry &e = m_detectors[it.value()];
        // Where it was, where it is.
        if (e.shown)
            update(QRectF(e.bounds).translated(e.pos));
        refresh(&e);
        if (e.shown)
            update(QRectF(e.bounds).translated(e.pos));
        return;
    }
    VehicleEntry &e = m_vehicles[it.value() & ~VehicleBit];
    const QPointF before = e.pos;
    const bool shownBefore = e.shown;
    refresh(&e);
    // A marker covers pixels, whatever the scale, around its position.
    double x = std::numeric_limits<double>::infinity();
    double y = x;
    for (const QSizeF &scale : qAsConst(m_scales)) {
        x = qMin(x, scale.width());
        y = qMin(y, scale.height());
    }
    if (!(x > 0.0) || !(y > 0.0) || !qIsFinite(x) || !qIsFinite(y)) {
        update();
        return;
    }
    const QSizeF reach(MarkerReachPixels / x, MarkerReachPixels / y);
    auto around = [&](const QPointF &p) {
        return QRectF(p.x() - reach.width(), p.y() - reach.height(), 2.0 * reach.width(), 2.0 * reach.height());
    };
    if (shownBefore)
        update(around(before));
    if (e.shown)
        update(around(e.pos));
}

bool ItemBatch::anyItemAt(const QGraphicsScene *scene, const QRectF &rect, const QTransform &deviceTransform)
{
    QPainterPath probe;
    probe.addRect(rect);
    const QRectF device = deviceTransform.mapRect(rect);
    QPainterPath deviceProbe;
    deviceProbe.addRect(device);
    for (const ItemBatch *batch : qAsConst(batches())) {
        if (batch->scene() != scene)
            continue;
        const QRectF local = batch->mapRectFromScene(rect);
        const QTransform toDevice = batch->sceneTransform() * deviceTransform;
        // Items the batch does not draw are not kept by it: they are asked themselves. The
        // entries of the others answer without a look at the items, scattered in memory.
        for (const DetectorEntry &e : batch->m_detectors) {
            PrioVDetector *d = e.item;
            if (!d || (e.batched && !e.shown))
                continue;
            const QRectF bounds = e.batched ? e.bounds.translated(e.pos) : batch->mapRectFromItem(d, d->boundingRect());
            if (bounds.intersects(local) && d->isVisible() && d->collidesWithPath(d->mapFromScene(probe)))
                return true;
        }
        for (const VehicleEntry &e : batch->m_vehicles) {
            PrioVehicle *v = e.item;
            if (!v || (e.batched && !e.shown))
                continue;
            // A vehicle's shape is in pixels around its position on the screen.
            const QPointF at = toDevice.map(e.batched ? e.pos : batch->mapFromItem(v, QPointF()));
            if (qAbs(at.x() - device.center().x()) > MarkerReachPixels + device.width()
                || qAbs(at.y() - device.center().y()) > MarkerReachPixels + device.height())
                continue;
            if (v->isVisible() && v->collidesWithPath(deviceProbe.translated(-at)))
                return true;
        }
    }
    return false;
}

QRectF ItemBatch::boundingRect() const
{
    // Vehicles cover pixels at every scale: the whole map.
    return QRectF(-180.0, -90.0, 360.0, 180.0);
}

void ItemBatch::paint(QPainter *painter, const QStyleOptionGraphicsItem *option, QWidget *widget)
{
    const QTransform base = painter->worldTransform();
    if (widget) {
        if (m_scales.size() >= MaxScales && !m_scales.contains(widget))
            m_scales.clear();
        m_scales.insert(widget, QSizeF(std::hypot(base.m11(), base.m12()), std::hypot(base.m21(), base.m22())));
    }
    const QRectF exposed = option->exposedRect;
    // Zones a few pixels across are dots filled in device pixels; the painter's transform
    // changes only where a larger zone comes between them.
    bool atDevice = false;
    const QPen hostPen = painter->pen();
    const QBrush hostBrush = painter->brush();
    const QFont hostFont = painter->font();
    const PrioVDetector::PaintStyle style = PrioVDetector::paintStyle(painter);
    for (const DetectorEntry &e : qAsConst(m_detectors)) {
        if (!e.shown || !e.bounds.translated(e.pos).intersects(exposed))
            continue;
        QRect dot;
        if (PrioVDetector::dotPixels(base.mapRect(e.zone.translated(e.pos)), &dot)) {
            if (!atDevice) {
                painter->setWorldTransform(QTransform());
                atDevice = true;
            }
            PrioVDetector::fillDot(painter, dot, e.colour, e.emergency);
            continue;
        }
        atDevice = false;
        painter->setWorldTransform(e.pos.isNull() ? base : QTransform::fromTranslate(e.pos.x(), e.pos.y()) * base);
        e.item->paintContent(painter, style, e.selected);
    }
    painter->setWorldTransform(base);
    painter->setPen(hostPen);
    painter->setBrush(hostBrush);
    painter->setFont(hostFont);

    const double scale = PrioVehicle::markerScale(widget);
    const QPen pen = PrioVehicle::markerPen(painter->pen(), false);
    const QPen selectedPen = PrioVehicle::markerPen(painter->pen(), true);
    const QRectF device = base.mapRect(exposed).adjusted(-MarkerReachPixels, -MarkerReachPixels, MarkerReachPixels,
                                                         MarkerReachPixels);
    painter->setWorldTransform(QTransform());
    for (const VehicleEntry &e : qAsConst(m_vehicles)) {
        if (!e.shown)
            continue;
        const QPointF at = base.map(e.pos);
        if (!device.contains(at))
            continue;
        ItemSprites::drawMarkerAt(painter, at, e.look, e.selected ? selectedPen : pen, scale, ItemSprites::FigureRect);
    }
    painter->setWorldTransform(base);
}
