#include "itembatch.h"

#include "guardeditems.h"
#include "priovdetector.h"
#include "priovehicle.h"
#include "splitdraw.h"
#include "viewpictures.h"

#include <QElapsedTimer>
#include <QEvent>
#include <QGraphicsScene>
#include <QPaintEngine>
#include <QPainter>
#include <QStyleOptionGraphicsItem>
#include <QtAlgorithms>

#include <algorithm>
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
// Vehicles and sectors are told from detectors in the index by these bits.
constexpr int VehicleBit = 1 << 30;
constexpr int SectorBit = 1 << 29;
// A sector's arcs are flattened once, with the sector this many units across: about a
// quarter pixel off the curve where it spans a thousand pixels.
constexpr double SectorFlatteningUnits = 4000.0;
// Views remembered for their scale; a batch is rarely shown by more than two.
constexpr int MaxScales = 4;
// Views with a picture of the detectors.
constexpr int MaxPictures = 2;
// How far a detector's drawing reaches past its bounds on the screen: the pen (2 pixels when
// selected), the rounding of its dot and the antialiased edge.
constexpr double DetectorReachPixels = 3.0;
// Dirty runs of tiles a redraw looks for detectors near, one by one; more, near their bounds.
constexpr int MaxDirtyRuns = 32;

bool drawnByBatch(const QGraphicsItem *item)
{
    return item->flags() & QGraphicsItem::ItemHasNoContents;
}

// The path as a polygon flattened finely enough for any zoom a sector is seen at.
QPolygonF flattened(const QPainterPath &path)
{
    const QRectF box = path.controlPointRect();
    const double side = qMax(box.width(), box.height());
    if (!(side > 0.0) || !qIsFinite(side))
        return path.toFillPolygon();
    const double k = SectorFlatteningUnits / side;
    QPolygonF polygon = path.toFillPolygon(QTransform::fromScale(k, k));
    for (QPointF &p : polygon)
        p /= k;
    return polygon;
}

} // namespace

// The sectors' own place in the layer's stacking order, below the routes: it draws what the
// batch keeps of them and takes no events.
class ItemBatch::SectorPass : public QGraphicsObject
{
public:
    SectorPass(ItemBatch *batch, QGraphicsItem *layer)
        : m_batch(batch)
    {
        setParentItem(layer);
        setZValue(SectorZ);
        setFlags(ItemIgnoresParentOpacity | ItemUsesExtendedStyleOption);
        setAcceptedMouseButtons(Qt::NoButton);
    }
    QRectF boundingRect() const override { return m_batch ? m_batch->boundingRect() : QRectF(); }
    QPainterPath shape() const override { return QPainterPath(); }
    bool contains(const QPointF &) const override { return false; }
    bool collidesWithPath(const QPainterPath &, Qt::ItemSelectionMode) const override { return false; }
    void paint(QPainter *painter, const QStyleOptionGraphicsItem *option, QWidget *widget) override
    {
        if (m_batch)
            m_batch->paintSectors(painter, option, widget);
    }

private:
    QPointer<ItemBatch> m_batch;
};

ItemBatch::ItemBatch(QObject *owner, QGraphicsItem *layer)
{
    setParent(owner);
    setParentItem(layer);
    setZValue(BatchZ);
    setFlags(ItemIgnoresParentOpacity | ItemUsesExtendedStyleOption);
    setAcceptedMouseButtons(Qt::NoButton);
    batches().insert(layer, this);
    if (scene())
        scene()->installEventFilter(this);
}

QVariant ItemBatch::itemChange(GraphicsItemChange change, const QVariant &value)
{
    if (change == ItemSceneChange && scene())
        scene()->removeEventFilter(this);
    else if (change == ItemSceneHasChanged && scene())
        scene()->installEventFilter(this);
    return QGraphicsObject::itemChange(change, value);
}

bool ItemBatch::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::GraphicsSceneHelp && watched == scene()) {
        for (const VehicleEntry &e : qAsConst(m_vehicles)) {
            if (e.item)
                e.item->ensureTexts();
        }
        // A hidden detector shows no tooltip.
        for (const DetectorEntry &e : qAsConst(m_detectors)) {
            if (e.item && e.item->isVisible())
                e.item->ensureTexts();
        }
    }
    return false;
}

ItemBatch::~ItemBatch()
{
    for (auto it = batches().begin(); it != batches().end();) {
        if (it.value() == this)
            it = batches().erase(it);
        else
            ++it;
    }
    // The items left draw themselves again, and their texts are no longer made for the
    // scene's help event: made now, and at once on every change from here.
    for (const DetectorEntry &e : qAsConst(m_detectors)) {
        if (e.item) {
            e.item->setFlag(ItemHasNoContents, false);
            e.item->ensureTexts();
        }
    }
    for (const VehicleEntry &e : qAsConst(m_vehicles)) {
        if (e.item) {
            e.item->setFlag(ItemHasNoContents, false);
            e.item->ensureTexts();
        }
    }
    for (const SectorEntry &e : qAsConst(m_sectors)) {
        if (e.item) {
            e.item->setBatch(nullptr);
            e.item->setFlag(ItemHasNoContents, false);
        }
    }
    delete m_sectorPass.data();
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

void ItemBatch::addSector(GuardedPathItem *sector)
{
    if (m_index.contains(sector))
        return;
    if (!m_sectorPass && parentItem())
        m_sectorPass = new SectorPass(this, parentItem());
    m_index.insert(sector, m_sectors.size() | SectorBit);
    m_sectors.resize(m_sectors.size() + 1);
    m_sectors.last().item = sector;
    sector->setBatch(this);
    sync(sector);
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
    } else if (at & SectorBit) {
        SectorEntry &e = m_sectors[at & ~SectorBit];
        if (e.shown)
            repaintSector(e);
        e = SectorEntry();
    } else {
        DetectorEntry &e = m_detectors[at];
        if (e.shown)
            repaintDetector(e);
        e.item = nullptr;
        e.shown = false;
    }
    m_index.erase(it);
    if (++m_holes > (m_detectors.size() + m_vehicles.size() + m_sectors.size()) / 2)
        compact();
}

void ItemBatch::compact()
{
    auto detectorGone = [](const DetectorEntry &e) { return !e.item; };
    auto vehicleGone = [](const VehicleEntry &e) { return !e.item; };
    auto sectorGone = [](const SectorEntry &e) { return !e.item; };
    m_detectors.erase(std::remove_if(m_detectors.begin(), m_detectors.end(), detectorGone), m_detectors.end());
    m_vehicles.erase(std::remove_if(m_vehicles.begin(), m_vehicles.end(), vehicleGone), m_vehicles.end());
    m_sectors.erase(std::remove_if(m_sectors.begin(), m_sectors.end(), sectorGone), m_sectors.end());
    m_index.clear();
    for (int i = 0; i < m_detectors.size(); ++i)
        m_index.insert(m_detectors.at(i).item, i);
    for (int i = 0; i < m_vehicles.size(); ++i)
        m_index.insert(m_vehicles.at(i).item, i | VehicleBit);
    for (int i = 0; i < m_sectors.size(); ++i)
        m_index.insert(m_sectors.at(i).item, i | SectorBit);
    m_holes = 0;
}

void ItemBatch::sync(QGraphicsItem *item)
{
    // Drawn by the batch where it stands in the layer's stacking order as the batch draws it.
    const auto it = m_index.constFind(item);
    const double z = it != m_index.constEnd() && (it.value() & SectorBit) ? SectorZ : 0.0;
    const bool drawn = item->parentItem() == parentItem() && item->zValue() == z && item->opacity() == 1.0
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
    const ItemSprites::Look look = e->look;
    const bool selected = e->selected;
    e->selected = v->isSelected();
    e->batched = drawnByBatch(v);
    e->shown = e->batched && v->isVisible() && v->markerLook(&e->look);
    if (e->selected != selected || e->look.step != look.step || e->look.colour != look.colour
        || e->look.figure != look.figure || e->look.weight != look.weight)
        e->sprite = nullptr;
}

void ItemBatch::refresh(SectorEntry *e)
{
    GuardedPathItem *s = e->item;
    e->pos = s->pos();
    const QPainterPath path = s->path();
    if (!(path == e->path)) {
        e->path = path;
        e->polygon = flattened(path);
        e->bounds = path.controlPointRect();
    }
    e->pen = s->pen();
    e->brush = s->brush();
    e->batched = drawnByBatch(s);
    e->shown = e->batched && s->isVisible() && e->polygon.size() > 2;
}

void ItemBatch::repaintSector(const SectorEntry &e)
{
    if (m_sectorPass)
        m_sectorPass->update(e.bounds.translated(e.pos));
}

void ItemBatch::repaintDetector(const DetectorEntry &e)
{
    const QRectF rect = e.bounds.translated(e.pos);
    update(rect);
    for (Picture &picture : m_pictures)
        picture.markDirty(picture.key.transform.mapRect(rect));
}

bool ItemBatch::PictureKey::sameLook(const PictureKey &o) const
{
    return size == o.size && ratio == o.ratio && hints == o.hints && transform.m11() == o.transform.m11()
        && transform.m12() == o.transform.m12() && transform.m21() == o.transform.m21()
        && transform.m22() == o.transform.m22() && transform.type() == o.transform.type() && pen == o.pen
        && font == o.font;
}

namespace {

// The tiles (columns first, rows second) a device rectangle meets, with the reach of a
// detector's drawing; false where it meets none.
bool tileSpan(const QRectF &device, const QSize &size, QRect *tiles)
{
    const double reach = DetectorReachPixels;
    const QRectF r = device.adjusted(-reach, -reach, reach, reach);
    if (!(r.right() > 0.0 && r.bottom() > 0.0 && r.left() < size.width() && r.top() < size.height()))
        return false;
    const int columns = (size.width() + ItemBatch::TilePixels - 1) / ItemBatch::TilePixels;
    const int rows = (size.height() + ItemBatch::TilePixels - 1) / ItemBatch::TilePixels;
    // Bounds beyond any int (a zone far larger than the view) reach the last tile.
    auto tile = [](double v, int count) { return int(qBound(0.0, v / ItemBatch::TilePixels, double(count - 1))); };
    *tiles = QRect(QPoint(tile(r.left(), columns), tile(r.top(), rows)),
                   QPoint(tile(r.right(), columns), tile(r.bottom(), rows)));
    return true;
}

} // namespace

void ItemBatch::Picture::markDirty(const QRectF &device)
{
    QRect tiles;
    if (image.isNull() || !tileSpan(device, key.size, &tiles))
        return;
    for (int y = tiles.top(); y <= tiles.bottom(); ++y)
        dirty.fill(true, y * columns + tiles.left(), y * columns + tiles.right() + 1);
    anyDirty = true;
}

bool ItemBatch::Picture::isDirty(const QRectF &device) const
{
    QRect tiles;
    if (!tileSpan(device, key.size, &tiles))
        return false;
    for (int y = tiles.top(); y <= tiles.bottom(); ++y) {
        for (int x = tiles.left(); x <= tiles.right(); ++x) {
            if (dirty.testBit(y * columns + x))
                return true;
        }
    }
    return false;
}

void ItemBatch::touch(const QGraphicsItem *item)
{
    const auto it = m_index.constFind(item);
    if (it == m_index.constEnd())
        return;
    if (it.value() & SectorBit) {
        SectorEntry &e = m_sectors[it.value() & ~SectorBit];
        if (e.shown)
            repaintSector(e);
        refresh(&e);
        if (e.shown)
            repaintSector(e);
        return;
    }
    if (!(it.value() & VehicleBit)) {
        DetectorEntry &e = m_detectors[it.value()];
        // Where it was, where it is.
        if (e.shown)
            repaintDetector(e);
        refresh(&e);
        if (e.shown)
            repaintDetector(e);
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

QRectF ItemBatch::drawDetectors(QPainter *painter, const QTransform &base, const QVector<QRectF> &windows,
                                const Picture *picture) const
{
    QRectF drawn;
    // Zones a few pixels across are dots filled in device pixels; the painter's transform
    // changes only where a larger zone comes between them.
    bool atDevice = false;
    const QPen hostPen = painter->pen();
    const QBrush hostBrush = painter->brush();
    const QFont hostFont = painter->font();
    const PrioVDetector::PaintStyle style = PrioVDetector::paintStyle(painter);
    for (const DetectorEntry &e : m_detectors) {
        if (!e.shown)
            continue;
        const QRectF bounds = e.bounds.translated(e.pos);
        if (std::none_of(windows.begin(), windows.end(), [&](const QRectF &w) { return bounds.intersects(w); }))
            continue;
        const QRectF device = base.mapRect(bounds);
        if (picture && !picture->isDirty(device))
            continue;
        drawn |= device.adjusted(-DetectorReachPixels, -DetectorReachPixels, DetectorReachPixels, DetectorReachPixels);
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
    return drawn;
}

ItemBatch *ItemBatch::ofLayer(const QGraphicsItem *layer)
{
    return batches().value(layer);
}

const QImage *ItemBatch::takePicture(QPainter *painter, QWidget *widget, QRegion *changed, bool *all)
{
    m_taken = Taken();
    // paint() is handed the same painter in the same state in this frame (the route layer
    // sees to its transform), with the batch's own opacity.
    if (!isVisible() || effectiveOpacity() != 1.0 || !childItems().isEmpty())
        return nullptr;
    Picture *picture = updatePicture(painter, painter->worldTransform(), widget);
    if (!picture)
        return nullptr;
    *changed = picture->unseen;
    *all = picture->unseenAll;
    picture->unseen = QRegion();
    picture->unseenAll = false;
    m_taken.painter = painter;
    m_taken.device = painter->device();
    m_taken.transform = painter->worldTransform();
    return &picture->image;
}

void ItemBatch::paintDetectors(QPainter *painter, const QTransform &base, const QRectF &exposed, QWidget *widget)
{
    // Drawn by the route layer in this frame, with the picture as it is now.
    const Taken taken = m_taken;
    m_taken = Taken();
    if (taken.painter == painter && taken.device == painter->device() && taken.transform == base)
        return;
    Picture *picture = updatePicture(painter, base, widget);
    if (!picture) {
        drawDetectors(painter, base, {exposed}, nullptr);
        return;
    }
    const QRect target = base.mapRect(exposed).toAlignedRect().adjusted(-1, -1, 1, 1) & picture->content;
    if (target.isEmpty())
        return;
    painter->setWorldTransform(QTransform());
    painter->drawImage(target, picture->image,
                       QRectF(QPointF(target.topLeft()) * picture->key.ratio, QSizeF(target.size()) * picture->key.ratio));
    painter->setWorldTransform(base);
}

void ItemBatch::redrawDirty(Picture *picture) const
{
    if (!picture->anyDirty)
        return;
    QVector<QRect> runs;
    const int rows = picture->dirty.size() / picture->columns;
    for (int y = 0; y < rows; ++y) {
        for (int x = 0; x < picture->columns;) {
            if (!picture->dirty.testBit(y * picture->columns + x)) {
                ++x;
                continue;
            }
            const int first = x;
            while (x < picture->columns && picture->dirty.testBit(y * picture->columns + x))
                ++x;
            runs.append(QRect(first * TilePixels, y * TilePixels, (x - first) * TilePixels, TilePixels));
        }
    }
    QRegion region;
    region.setRects(runs.constData(), runs.size());
    QPainter p(&picture->image);
    p.setRenderHints(QPainter::RenderHints(picture->key.hints));
    p.setPen(picture->key.pen);
    p.setFont(picture->key.font);
    p.setClipRegion(region);
    p.setCompositionMode(QPainter::CompositionMode_Source);
    p.fillRect(region.boundingRect(), Qt::transparent);
    p.setCompositionMode(QPainter::CompositionMode_SourceOver);
    p.setWorldTransform(picture->key.transform);
    // Only the detectors near a run of dirty tiles are looked at closer (a tick dirties a
    // few tiles of hundreds); many runs, near their bounds.
    const QTransform toBatch = picture->key.transform.inverted();
    const double reach = DetectorReachPixels + 1.0;
    QVector<QRectF> windows;
    if (runs.size() > MaxDirtyRuns)
        runs = {region.boundingRect()};
    for (const QRect &run : qAsConst(runs))
        windows.append(toBatch.mapRect(QRectF(run).adjusted(-reach, -reach, reach, reach)));
    const QRectF drawn = drawDetectors(&p, picture->key.transform, windows, picture);
    picture->content |= (drawn & QRectF(QPointF(0.0, 0.0), picture->key.size)).toAlignedRect();
    if (!picture->unseenAll)
        picture->unseen |= region;
    picture->dirty.fill(false);
    picture->anyDirty = false;
}

ItemBatch::PictureKey ItemBatch::pictureKey(const QPainter *painter, const QTransform &base)
{
    const QPaintDevice *device = painter->device();
    PictureKey key;
    key.transform = base;
    key.size = QSize(device->width(), device->height());
    key.ratio = device->devicePixelRatioF();
    key.pen = painter->pen();
    key.font = painter->font();
    key.hints = int(painter->renderHints());
    return key;
}

ItemBatch::Picture *ItemBatch::dirtyPicture(const QPainter *painter, const QWidget *widget)
{
    if (!widget || !painter->device() || painter->opacity() != 1.0)
        return nullptr;
    const PictureKey key = pictureKey(painter, painter->worldTransform());
    for (Picture &picture : m_pictures) {
        if (picture.widget == widget && picture.anyDirty && !picture.image.isNull() && picture.key.sameLook(key)
            && picture.key.transform == key.transform)
            return &picture;
    }
    return nullptr;
}

ItemBatch::Picture *ItemBatch::updatePicture(QPainter *painter, const QTransform &base, QWidget *widget)
{
    QPaintDevice *device = painter->device();
    // Rendered into an image, printed or translucent: drawn as it is.
    if (!widget || !device || painter->opacity() != 1.0 || m_detectors.isEmpty())
        return nullptr;
    const PictureKey key = pictureKey(painter, base);
    const QRectF view(QPointF(0.0, 0.0), key.size);

    Picture *picture = &viewPicture(m_pictures, widget, MaxPictures);
    auto begin = [&](QPainter *p) {
        p->setRenderHints(QPainter::RenderHints(key.hints));
        p->setPen(key.pen);
        p->setFont(key.font);
    };

    const QPointF shift(key.transform.dx() - picture->key.transform.dx(), key.transform.dy() - picture->key.transform.dy());
    const QPointF shiftPixels = shift * key.ratio;
    // Moved by whole pixels, the picture is the same but for the strips the move uncovers.
    const bool moved = !picture->image.isNull() && picture->key.sameLook(key)
        && shiftPixels.x() == std::round(shiftPixels.x()) && shiftPixels.y() == std::round(shiftPixels.y())
        && qAbs(shift.x()) < view.width() / 2 && qAbs(shift.y()) < view.height() / 2;
    if (!moved) {
        picture->key = key;
        picture->image = QImage(key.size * key.ratio, QImage::Format_ARGB32_Premultiplied);
        picture->image.setDevicePixelRatio(key.ratio);
        picture->image.fill(Qt::transparent);
        picture->columns = (key.size.width() + TilePixels - 1) / TilePixels;
        picture->dirty = QBitArray(picture->columns * ((key.size.height() + TilePixels - 1) / TilePixels));
        picture->anyDirty = false;
        picture->unseen = QRegion();
        picture->unseenAll = true;
        QPainter p(&picture->image);
        begin(&p);
        p.setWorldTransform(base);
        picture->content = (drawDetectors(&p, base, {base.inverted().mapRect(view)}, nullptr) & view).toAlignedRect();
    } else if (!shift.isNull()) {
        redrawDirty(picture);
        shiftPicture(&picture->image, shift);
        picture->content = (QRectF(picture->content).translated(shift) & view).toAlignedRect();
        picture->key.transform = key.transform;
        // Moved by a fraction of a logical pixel (a device pixel ratio above 1), what was
        // drawn again since cannot follow it: all of it is.
        picture->unseenAll = picture->unseenAll || shift != QPointF(shift.toPoint());
        if (!picture->unseenAll)
            picture->unseen = picture->unseen.translated(shift.toPoint()) & view.toRect();
        const double w = view.width();
        const double h = view.height();
        if (shift.x() != 0.0)
            picture->markDirty(shift.x() > 0.0 ? QRectF(0.0, 0.0, shift.x(), h) : QRectF(w + shift.x(), 0.0, -shift.x(), h));
        if (shift.y() != 0.0)
            picture->markDirty(shift.y() > 0.0 ? QRectF(0.0, 0.0, w, shift.y()) : QRectF(0.0, h + shift.y(), w, -shift.y()));
    }
    redrawDirty(picture);

    return picture;
}

void ItemBatch::paintSectors(QPainter *painter, const QStyleOptionGraphicsItem *option, QWidget *widget)
{
    // The route layer or the batch brings this picture up to date later in the frame, on the
    // painting thread alone: here the second thread draws its tiles while this one draws
    // sectors. Nothing else on the two threads touches the detectors or the sprites until
    // the sectors are drawn.
    Picture *ahead = dirtyPicture(painter, widget);
    const QTransform base = painter->worldTransform();
    const QRectF window = option->exposedRect;
    const QPen hostPen = painter->pen();
    const QBrush hostBrush = painter->brush();
    // In device pixels, as a path item's cosmetic pen draws; one transform for all.
    painter->setWorldTransform(QTransform());
    m_drawnSectors.clear();
    for (int i = 0; i < m_sectors.size(); ++i) {
        const SectorEntry &e = m_sectors.at(i);
        if (e.shown && e.bounds.translated(e.pos).intersects(window))
            m_drawnSectors.append(i);
    }
    auto mapping = [&](const SectorEntry &e) { return QTransform::fromTranslate(e.pos.x(), e.pos.y()) * base; };
    // With the outline's pixel around it.
    auto rect = [&](int k) {
        const SectorEntry &e = m_sectors.at(m_drawnSectors.at(k));
        return mapping(e).mapRect(e.bounds).toAlignedRect().adjusted(-2, -2, 2, 2);
    };
    auto draw = [&](QPainter *p, int k) {
        const SectorEntry &e = m_sectors.at(m_drawnSectors.at(k));
        const QTransform t = mapping(e);
        // The polygon is flattened for a thousand pixels; a smaller sector takes every
        // stride-th point of its arc (and both of its ends, and the centre it starts and
        // ends at), its curve still within a quarter pixel (the error grows with the square
        // of the stride), and rasterises a few edges instead of hundreds.
        const QRectF box = t.mapRect(e.bounds);
        const double pixels = qMax(box.width(), box.height());
        const int stride = pixels > 0.0 ? qBound(1, int(std::sqrt(SectorFlatteningUnits / 2.0 / pixels)), 64) : 64;
        const int last = e.polygon.size() - 1;
        QPolygonF device;
        device.reserve(last / stride + 4);
        device.append(t.map(e.polygon.at(0)));
        for (int i = 1; i < last - 1; i += stride)
            device.append(t.map(e.polygon.at(i)));
        device.append(t.map(e.polygon.at(last - 1)));
        device.append(t.map(e.polygon.at(last)));
        if (!(e.pen == p->pen()))
            p->setPen(e.pen);
        if (!(e.brush == p->brush()))
            p->setBrush(e.brush);
        p->drawPolygon(device);
    };
    const int count = m_drawnSectors.size();
    // The sectors above the line are this thread's: as many more than half as the tiles
    // are expected to cost.
    const int tiles = ahead ? ahead->dirty.count(true) : 0;
    const double share = m_sectorNs > 0.0 && count > 0
        ? qBound(0.5, 0.5 + tiles * m_tileNs / (2.0 * count * m_sectorNs), 1.0)
        : 0.5;
    QElapsedTimer clock;
    clock.start();
    qint64 ownNs = 0;
    int own = 0;
    qint64 tileNs = -1;
    auto drawTimed = [&](QPainter *p, int k) {
        draw(p, k);
        if (p == painter) {
            ++own;
            ownNs = clock.nsecsElapsed();
        }
    };
    auto redraw = [&] {
        QElapsedTimer took;
        took.start();
        redrawDirty(ahead);
        tileNs = took.nsecsElapsed();
    };
    if (SplitDraw::drawSplit(painter, count, rect, drawTimed, share, ahead ? std::function<void()>(redraw) : nullptr)) {
        auto follow = [](double &mean, double sample) { mean = mean > 0.0 ? 0.75 * mean + 0.25 * sample : sample; };
        if (own > 0)
            follow(m_sectorNs, double(ownNs) / own);
        if (tileNs >= 0)
            follow(m_tileNs, double(tileNs) / tiles);
    } else {
        for (int k = 0; k < count; ++k)
            draw(painter, k);
    }
    painter->setWorldTransform(base);
    painter->setPen(hostPen);
    painter->setBrush(hostBrush);
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
    paintDetectors(painter, base, exposed, widget);

    const QRectF device = base.mapRect(exposed).adjusted(-MarkerReachPixels, -MarkerReachPixels, MarkerReachPixels,
                                                         MarkerReachPixels);
    painter->setWorldTransform(QTransform());
    paintVehicles(painter, base, device, widget);
    painter->setWorldTransform(base);
}

namespace {

// Calls visit(r, bits, cut, line, word, shift) for each row r of rows (bit x of a row is pixel
// x), their corner at corner, that has pixels on the screen of cover (words a row, a bit a
// pixel, one word more a row) in its rows [top, bottom): the row's bits moved right by cut
// where they begin left of the screen, and where they fall in the row's line of cover: from
// bit shift of word on.
template<typename Cover, typename Visit>
void forEachRow(const QVector<quint64> &rows, const QPoint &corner, Cover *cover, int words, int top, int bottom,
                Visit visit)
{
    for (int r = qMax(0, top - corner.y()); r < rows.size(); ++r) {
        const int y = corner.y() + r;
        quint64 bits = rows.at(r);
        if (y >= bottom)
            break;
        if (!bits)
            continue;
        int x = corner.x();
        int cut = 0;
        if (x < 0) {
            if (x <= -64)
                continue;
            cut = -x;
            bits >>= cut;
            x = 0;
        }
        const int word = x >> 6;
        if (word < words)
            visit(r, bits, cut, cover + qsizetype(y) * (words + 1), word, x & 63);
    }
}

// The part of the pixels of rows, their corner at corner, that does not lie where cover
// (past the right edge set) has its bits set, or off the screen rows [top, bottom): the
// rectangle (in the rows' pixels) around what shows of them.
QRect uncovered(const QVector<quint64> &rows, const QPoint &corner, const quint64 *cover, int words, int top,
                int bottom)
{
    int first = -1;
    int last = -1;
    quint64 columns = 0;
    forEachRow(rows, corner, cover, words, top, bottom,
               [&](int r, quint64 bits, int cut, const quint64 *line, int word, int shift) {
                   const quint64 shows = (bits << shift) & ~line[word];
                   quint64 left = shift ? (shows >> shift) : shows;
                   if (shift)
                       left |= ((bits >> (64 - shift)) & ~line[word + 1]) << (64 - shift);
                   left <<= cut;
                   if (!left)
                       return;
                   if (first < 0)
                       first = r;
                   last = r;
                   columns |= left;
               });
    if (first < 0)
        return QRect();
    const int left = int(qCountTrailingZeroBits(columns));
    const int right = 63 - int(qCountLeadingZeroBits(columns));
    return QRect(QPoint(left, first), QPoint(right, last));
}

// Sets the bits of rows, their corner at corner, in the rows [top, bottom) of cover.
void addCover(const QVector<quint64> &rows, const QPoint &corner, quint64 *cover, int words, int top, int bottom)
{
    forEachRow(rows, corner, cover, words, top, bottom, [](int, quint64 bits, int, quint64 *line, int word, int shift) {
        line[word] |= bits << shift;
        if (shift)
            line[word + 1] |= bits >> (64 - shift);
    });
}

} // namespace

void ItemBatch::paintVehicles(QPainter *painter, const QTransform &base, const QRectF &device, QWidget *widget)
{
    const double scale = PrioVehicle::markerScale(widget);
    const QPen pen = PrioVehicle::markerPen(painter->pen(), false);
    const QPen selectedPen = PrioVehicle::markerPen(painter->pen(), true);
    ItemSprites::MarkerSprites sprites(painter, pen, scale, ItemSprites::FigureRect);
    ItemSprites::MarkerSprites selectedSprites(painter, selectedPen, scale, ItemSprites::FigureRect);
    m_placed.clear();
    const int generation = ItemSprites::generation();
    for (VehicleEntry &e : m_vehicles) {
        if (!e.shown)
            continue;
        const QPointF at = base.map(e.pos);
        if (!device.contains(at))
            continue;
        const ItemSprites::Sprite &sprite = (e.selected ? selectedSprites : sprites).sprite(e.look, e.sprite, e.spriteStamp);
        m_placed.append({&sprite, QPoint(int(std::round(at.x())), int(std::round(at.y()))) + sprite.offset,
                         {sprite.image.rect(), QRect()}});
    }
    // The sprites were dropped while the frame's were made (a zoom that makes new looks
    // all the time): each is looked up again as it is drawn.
    if (ItemSprites::generation() != generation) {
        for (const VehicleEntry &e : qAsConst(m_vehicles)) {
            const QPointF at = base.map(e.pos);
            if (e.shown && device.contains(at))
                ItemSprites::drawMarkerAt(painter, at, e.look, e.selected ? selectedPen : pen, scale,
                                          ItemSprites::FigureRect);
        }
        return;
    }

    // A pixel under an opaque pixel of a marker drawn later shows that one alone: from the
    // top marker down, each is drawn only as far as the rectangle around its pixels that
    // the opaque pixels of those above leave to be seen (in a crowded street most of them,
    // in a whole city two fifths), and not at all where they hide it whole. Only where the
    // drawing is plain source-over of whole pixels onto a raster device.
    QPaintDevice *target = painter->device();
    const bool hides = target && painter->paintEngine() && painter->paintEngine()->type() == QPaintEngine::Raster
        && painter->opacity() == 1.0 && painter->compositionMode() == QPainter::CompositionMode_SourceOver
        && target->devicePixelRatioF() == 1.0 && target->width() > 0 && target->height() > 0 && m_placed.size() > 1;
    const int width = hides ? target->width() : 0;
    const int height = hides ? target->height() : 0;
    const int words = (width + 63) / 64;
    if (hides)
        m_cover.resize(qsizetype(words + 1) * height);
    // Finds what shows of each marker in the rows [top, bottom) of the screen, for the half.
    // The halves share the cover, each its own rows.
    auto findShown = [&](int half, int top, int bottom) {
        top = qMax(top, 0);
        bottom = qMin(bottom, height);
        if (top >= bottom) {
            for (PlacedMarker &m : m_placed)
                m.shows[half] = QRect();
            return;
        }
        // One word more a row, and the bits past the right edge set: pixels off the screen
        // are hidden.
        const quint64 past = width % 64 ? ~quint64(0) << (width % 64) : 0;
        for (int y = top; y < bottom; ++y) {
            quint64 *line = m_cover.data() + qsizetype(y) * (words + 1);
            std::fill(line, line + words, quint64(0));
            line[words - 1] |= past;
            line[words] = ~quint64(0);
        }
        for (int i = m_placed.size() - 1; i >= 0; --i) {
            PlacedMarker &m = m_placed[i];
            const ItemSprites::Sprite &s = *m.sprite;
            QRect &shows = m.shows[half];
            if (m.corner.y() >= bottom || m.corner.y() + s.image.height() <= top)
                shows = QRect();
            else if (s.covered.isEmpty())
                shows = s.image.rect();
            else
                shows = uncovered(s.covered, m.corner, m_cover.constData(), words, top, bottom);
            if (!shows.isEmpty() && !s.opaque.isEmpty())
                addCover(s.opaque, m.corner, m_cover.data(), words, top, bottom);
        }
    };
    // The markers not hidden whole; each drawn as far as it shows.
    auto drawShown = [this](QPainter *p, int half) {
        for (const PlacedMarker &m : qAsConst(m_placed)) {
            const QRect &shows = m.shows[half];
            if (shows == m.sprite->image.rect())
                p->drawImage(m.corner, m.sprite->image);
            else if (!shows.isEmpty())
                p->drawImage(m.corner + shows.topLeft(), m.sprite->image, shows);
        }
    };
    if (hides && m_placed.size() >= SplitDraw::MinCount) {
        // Each half finds what shows in its rows and draws it: the line halves the markers.
        auto line = [this](const QRect &) {
            QVector<int> middles;
            middles.reserve(m_placed.size());
            for (const PlacedMarker &m : qAsConst(m_placed))
                middles.append(m.corner.y() + m.sprite->image.height() / 2);
            std::nth_element(middles.begin(), middles.begin() + middles.size() / 2, middles.end());
            return middles.at(middles.size() / 2);
        };
        auto paint = [&](QPainter *p, int top, int bottom) {
            const int half = p == painter ? 0 : 1;
            findShown(half, top, bottom);
            drawShown(p, half);
        };
        if (SplitDraw::paintHalves(painter, line, paint))
            return;
    }
    if (hides)
        findShown(0, 0, height);
    drawShown(painter, 0);
}
