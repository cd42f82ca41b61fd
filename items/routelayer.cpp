#include "routelayer.h"

#include "itembatch.h"
#include "prioroute.h"
#include "splitdraw.h"
#include "viewpictures.h"

#include <QElapsedTimer>
#include <QTimer>
#include <QHash>
#include <QPaintDevice>
#include <QPainter>
#include <QWidget>

#include <algorithm>
#include <cmath>

namespace {

// The picture of each layer, found by the layer item.
QHash<const QGraphicsItem *, RouteLayer *> &pictures()
{
    static QHash<const QGraphicsItem *, RouteLayer *> byLayer;
    return byLayer;
}

constexpr int MaxViews = 2;
// Below the layer's items, as routes are, and above the vehicle sectors (z -0.1) as well.
constexpr double PictureZ = -0.05;

} // namespace

bool RouteLayer::Key::sameLook(const Key &o) const
{
    return size == o.size && ratio == o.ratio && hints == o.hints && generation == o.generation
        && transform.m11() == o.transform.m11() && transform.m12() == o.transform.m12()
        && transform.m21() == o.transform.m21() && transform.m22() == o.transform.m22()
        && transform.type() == o.transform.type() && pen == o.pen;
}

RouteLayer::RouteLayer(QObject *owner, QGraphicsItem *layer)
{
    setParent(owner);
    setParentItem(layer);
    setZValue(PictureZ);
    setFlag(ItemIgnoresParentOpacity);
    setAcceptedMouseButtons(Qt::NoButton);
    pictures().insert(layer, this);
}

RouteLayer::~RouteLayer()
{
    for (auto it = pictures().begin(); it != pictures().end();) {
        if (it.value() == this)
            it = pictures().erase(it);
        else
            ++it;
    }
    // The routes left draw themselves again.
    for (PrioRoute *route : qAsConst(m_routes)) {
        if (route)
            route->setFlag(ItemHasNoContents, false);
    }
}

void RouteLayer::sync(PrioRoute *route)
{
    // A route the layer draws is only stepped over by the view (which spends about a
    // microsecond on every item it paints).
    const bool drawn = eligible(route);
    if (drawn != bool(route->flags() & ItemHasNoContents))
        route->setFlag(ItemHasNoContents, drawn);
}

bool RouteLayer::anyRouteAt(const QGraphicsScene *scene, const QRectF &rect)
{
    QPainterPath probe;
    probe.addRect(rect);
    for (const RouteLayer *layer : qAsConst(pictures())) {
        if (layer->scene() != scene)
            continue;
        for (const PrioRoute *route : layer->m_routes) {
            if (route && route->isVisible() && route->boundingRect().intersects(rect)
                && route->collidesWithPath(route->mapFromScene(probe)))
                return true;
        }
    }
    return false;
}

RouteLayer *RouteLayer::attach(PrioRoute *route)
{
    QGraphicsItem *layer = route->parentItem();
    if (!layer)
        return nullptr;
    RouteLayer *picture = pictures().value(layer);
    if (!picture)
        picture = new RouteLayer(route->parent(), layer);
    picture->m_places.insert(route, picture->m_routes.size());
    picture->m_routes.append(route);
    picture->invalidate(route);
    return picture;
}

void RouteLayer::removeRoute(PrioRoute *route)
{
    const auto place = m_places.constFind(route);
    if (place == m_places.cend())
        return;
    m_routes[place.value()] = nullptr;
    m_places.erase(place);
    ++m_holes;
    m_drawn.remove(route);
    m_changed.remove(route);
    m_removedSinceShown = true;
    prepareGeometryChange();
    m_boundsDirty = true;
    ++m_generation;
    update();
}

void RouteLayer::invalidate(const PrioRoute *route)
{
    ++m_generation;
    m_changed.insert(route);
    sync(const_cast<PrioRoute *>(route));
    // The bounds only grow here; a removal recomputes them.
    if (!m_boundsDirty) {
        const QRectF grown = m_bounds | route->boundingRect();
        if (grown != m_bounds) {
            prepareGeometryChange();
            m_bounds = grown;
        }
    }
    update();
}

// Moves and transformations of the route are not announced to the item (that takes a flag
// the route does not set): a route moved by someone else draws itself and leaves its old
// image in the picture until the next change.
bool RouteLayer::eligible(const PrioRoute *route) const
{
    return route->isVisible() && route->parentItem() == parentItem() && route->zValue() == 0.0
        && route->pos().isNull() && route->transform().isIdentity() && route->opacity() == 1.0
        && !route->graphicsEffect();
}

bool RouteLayer::draws(const PrioRoute *route) const
{
    return eligible(route);
}

bool RouteLayer::pictured(const PrioRoute *route) const
{
    return m_drawn.contains(route) && !m_changed.contains(route);
}

QRectF RouteLayer::boundingRect() const
{
    if (m_boundsDirty) {
        m_bounds = QRectF();
        for (const PrioRoute *route : m_routes) {
            if (route)
                m_bounds |= route->boundingRect();
        }
        m_boundsDirty = false;
    }
    return m_bounds;
}

bool RouteLayer::drawInto(QPainter *painter, const QRectF &window, const Key &key, const PrioRoute *route)
{
    if (!route->drawsLine() || !route->boundingRect().intersects(window))
        return false;
    painter->save();
    route->paintContent(painter, window, key.pen, route->isSelected());
    painter->restore();
    return true;
}

bool RouteLayer::continuePicture(View *view, int budgetMs)
{
    QPainter painter(&view->next);
    painter.setRenderHints(QPainter::RenderHints(view->nextKey.hints));
    painter.setWorldTransform(view->nextKey.transform);
    const QRectF window = view->nextKey.window();
    QElapsedTimer clock;
    clock.start();
    while (view->nextRoute < m_routes.size()) {
        const int place = view->nextRoute++;
        const PrioRoute *route = m_routes.at(place);
        if (!eligible(route))
            continue;
        view->nextDrawn.insert(route);
        if (!drawInto(&painter, window, view->nextKey, route))
            continue;
        view->nextTop = place;
        if (budgetMs > 0 && clock.elapsed() >= budgetMs)
            break;
    }
    return view->nextRoute >= m_routes.size();
}

void RouteLayer::addChangedOnTop(View *view)
{
    QPainter painter(&view->shown);
    painter.setRenderHints(QPainter::RenderHints(view->shownKey.hints));
    painter.setWorldTransform(view->shownKey.transform);
    const QRectF window = view->shownKey.window();
    for (int place = view->shownTop + 1; place < m_routes.size() && !m_changed.isEmpty(); ++place) {
        const PrioRoute *route = m_routes.at(place);
        if (!m_changed.remove(route))
            continue;
        if (!eligible(route)) {
            m_drawn.remove(route);
            continue;
        }
        m_drawn.insert(route);
        if (drawInto(&painter, window, view->shownKey, route)) {
            view->shownTop = place;
            view->unseenAll = true;
        }
    }
}

void RouteLayer::movePicture(View *view, const Key &key)
{
    const QPointF shift(key.transform.dx() - view->shownKey.transform.dx(),
                        key.transform.dy() - view->shownKey.transform.dy());
    const QPointF pixels = shift * key.ratio;
    const double w = key.size.width();
    const double h = key.size.height();
    if (pixels.x() != std::round(pixels.x()) || pixels.y() != std::round(pixels.y()) || qAbs(shift.x()) >= w / 2
        || qAbs(shift.y()) >= h / 2)
        return;
    shiftPicture(&view->shown, shift);
    // What was drawn since the composed picture took it moves along; by a fraction of a
    // logical pixel (a device pixel ratio above 1) it cannot follow: all of it is new.
    const QRect viewRect(QPoint(0, 0), key.size);
    view->unseenAll = view->unseenAll || shift != QPointF(shift.toPoint());
    if (!view->unseenAll)
        view->unseen = view->unseen.translated(shift.toPoint()) & viewRect;
    QPainter painter(&view->shown);
    painter.setRenderHints(QPainter::RenderHints(key.hints));
    QVector<QRectF> strips;
    if (shift.x() != 0.0)
        strips << (shift.x() > 0.0 ? QRectF(0.0, 0.0, shift.x(), h) : QRectF(w + shift.x(), 0.0, -shift.x(), h));
    if (shift.y() != 0.0)
        strips << (shift.y() > 0.0 ? QRectF(0.0, 0.0, w, shift.y()) : QRectF(0.0, h + shift.y(), w, -shift.y()));
    const QTransform inverse = key.transform.inverted();
    for (const QRectF &strip : qAsConst(strips)) {
        painter.setWorldTransform(QTransform());
        painter.setClipRect(strip);
        painter.setWorldTransform(key.transform);
        if (!view->unseenAll)
            view->unseen |= strip.toAlignedRect() & viewRect;
        const QRectF window = inverse.mapRect(strip);
        for (int place = 0; place < m_routes.size(); ++place) {
            const PrioRoute *route = m_routes.at(place);
            if (m_drawn.contains(route) && eligible(route) && drawInto(&painter, window, key, route))
                view->shownTop = qMax(view->shownTop, place);
        }
    }
    painter.end();
    view->shownKey = key;
}

void RouteLayer::closeHoles()
{
    if (m_holes == 0)
        return;
    m_routes.removeAll(nullptr);
    m_holes = 0;
    for (int i = 0; i < m_routes.size(); ++i)
        m_places[m_routes.at(i)] = i;
}

void RouteLayer::paint(QPainter *painter, const QStyleOptionGraphicsItem *, QWidget *widget)
{
    closeHoles();
    // The batch draws its detectors itself unless this frame's composed picture has them.
    if (ItemBatch *batch = ItemBatch::ofLayer(parentItem()))
        batch->dropTaken();
    QPaintDevice *device = painter->device();
    Key key;
    key.transform = painter->worldTransform();
    key.size = QSize(device->width(), device->height());
    key.ratio = device->devicePixelRatioF();
    key.pen = painter->pen();
    key.hints = int(painter->renderHints());
    key.generation = m_generation;

    // Rendered into an image or printed: drawn as it is, at once.
    if (!widget) {
        const QRectF window = key.window();
        for (const PrioRoute *route : qAsConst(m_routes)) {
            if (eligible(route))
                drawInto(painter, window, key, route);
        }
        return;
    }

    View *view = &viewPicture(m_views, widget, MaxViews);

    // Routes changed on top of everything the shown picture holds go into it, if it is the
    // only picture, none is being made (the others hold what m_drawn says as well) and no
    // route has left it (only a new picture drops one).
    if (view->hasShown && view->nextRoute < 0 && m_views.size() == 1 && !m_changed.isEmpty() && !m_removedSinceShown) {
        Key now = key;
        now.generation = view->shownKey.generation;
        if (view->shownKey.sameLook(now)) {
            addChangedOnTop(view);
            if (m_changed.isEmpty())
                view->shownKey.generation = m_generation;
        }
    }

    // Moved by whole pixels with nothing changed (a drag), the shown picture moves and draws
    // the strips it uncovers.
    const bool moved = view->hasShown && view->nextRoute < 0 && view->shownKey.sameLook(key) && !(view->shownKey == key);
    if (moved)
        movePicture(view, key);
    if (!(view->hasShown && view->shownKey == key)) {
        // A picture being made for the same scale goes on (it is shown moved when done); any
        // other change starts a new one.
        if (view->nextRoute < 0 || !view->nextKey.sameLook(key)) {
            view->next = QImage(key.size * key.ratio, QImage::Format_ARGB32_Premultiplied);
            view->next.setDevicePixelRatio(key.ratio);
            view->next.fill(Qt::transparent);
            view->nextKey = key;
            view->nextRoute = 0;
            view->nextTop = -1;
            view->nextDrawn.clear();
        }
        // The first picture of a view is drawn whole: there is none to stand in for it. So is
        // a picture after many routes changed, at most every WholePictureMs.
        bool whole = !view->hasShown;
        const bool many = view->hasShown && m_changed.size() > MaxChangedOnTop;
        if (many) {
            const qint64 interval = qMax<qint64>(WholePictureMs, 4 * m_wholeMs);
            const qint64 since = m_sinceWhole.isValid() ? m_sinceWhole.elapsed() : interval;
            if (since >= interval) {
                whole = true;
            } else if (!m_wholeWaits) {
                m_wholeWaits = true;
                QTimer::singleShot(int(qMin<qint64>(interval - since, 60000)), this, [this] {
                    m_wholeWaits = false;
                    update();
                });
            }
        }
        QElapsedTimer took;
        took.start();
        const bool done = continuePicture(view, whole ? 0 : FrameBudgetMs);
        if (whole && many) {
            m_wholeMs = took.elapsed();
            m_sinceWhole.start();
        }
        if (done) {
            view->shown = view->next;
            view->shownKey = view->nextKey;
            view->hasShown = true;
            view->shownTop = view->nextTop;
            view->nextRoute = -1;
            view->next = QImage();
            view->unseenAll = true;
            m_drawn = view->nextDrawn;
            if (view->shownKey.generation == m_generation) {
                m_changed.clear();
                m_removedSinceShown = false;
            }
            for (PrioRoute *route : qAsConst(m_routes))
                sync(route);
        }
        if (!(view->shownKey == key))
            update();
    }

    // On top of the picture, at once, the routes it does not show as they are: changed since
    // (selected or deselected too) or new.
    const QRectF window = key.window();
    auto onTop = [&](const PrioRoute *route) {
        return !pictured(route) && eligible(route) && route->boundingRect().intersects(window);
    };
    // While the view is dragged the two are drawn apart: moving the composed picture as well
    // in every frame costs what it saves. It follows in the first frame after.
    if (!moved && view->shownKey == key && std::none_of(m_routes.cbegin(), m_routes.cend(), onTop)
        && paintComposed(painter, view, key, widget))
        return;

    painter->save();
    // From the shown picture's pixels to this frame's.
    painter->setWorldTransform(view->shownKey.transform.inverted() * key.transform);
    painter->drawImage(QPointF(0.0, 0.0), view->shown);
    painter->restore();

    int changedOnTop = 0;
    for (const PrioRoute *route : qAsConst(m_routes)) {
        if (!onTop(route))
            continue;
        if (!route->isSelected() && ++changedOnTop > MaxChangedOnTop)
            continue;
        painter->save();
        route->paintContent(painter, window, key.pen, route->isSelected());
        painter->restore();
    }
}

bool RouteLayer::nothingBetween(const ItemBatch *batch) const
{
    if (!childItems().isEmpty())
        return false;
    // The layer's children in the order they are drawn.
    const QList<QGraphicsItem *> siblings = parentItem()->childItems();
    const int below = siblings.indexOf(const_cast<RouteLayer *>(this));
    const int above = siblings.indexOf(const_cast<ItemBatch *>(batch));
    if (below < 0 || above <= below)
        return false;
    for (int i = below + 1; i < above; ++i) {
        const QGraphicsItem *item = siblings.at(i);
        if (item->isVisible() && (!(item->flags() & ItemHasNoContents) || !item->childItems().isEmpty()))
            return false;
    }
    return true;
}

bool RouteLayer::paintComposed(QPainter *painter, View *view, const Key &key, QWidget *widget)
{
    ItemBatch *batch = ItemBatch::ofLayer(parentItem());
    if (!batch)
        return false;
    // The batch is drawn in this frame (it covers the whole view), with this item's mapping.
    if (painter->opacity() != 1.0 || !(batch->sceneTransform() == sceneTransform())
        || !batch->boundingRect().contains(key.window()) || !nothingBetween(batch))
        return false;
    QRegion redo;
    bool all = false;
    const QImage *detectors = batch->takePicture(painter, widget, &redo, &all);
    if (!detectors)
        return false;
    if (detectors->size() != view->shown.size() || detectors->devicePixelRatio() != view->shown.devicePixelRatio()) {
        // What the batch drew since is not kept: the next composed picture is made whole.
        batch->dropTaken();
        view->hasComposed = false;
        return false;
    }

    // The composed picture follows a pan as the two pictures do, and draws again what either
    // drew again since it took them (the strips a pan uncovers among them).
    const QRect viewRect(QPoint(0, 0), key.size);
    Key look = view->composedKey;
    look.generation = key.generation;
    all = all || view->unseenAll || !view->hasComposed || !look.sameLook(key);
    const QPointF shift(key.transform.dx() - view->composedKey.transform.dx(),
                        key.transform.dy() - view->composedKey.transform.dy());
    if (!all && !shift.isNull()) {
        if (shift != QPointF(shift.toPoint()) || qAbs(shift.x()) >= key.size.width() / 2
            || qAbs(shift.y()) >= key.size.height() / 2) {
            all = true;
        } else {
            shiftPicture(&view->composed, shift);
        }
    }
    if (all) {
        view->composed = QImage(view->shown.size(), QImage::Format_ARGB32_Premultiplied);
        view->composed.setDevicePixelRatio(key.ratio);
        redo = viewRect;
    }
    redo = (redo | view->unseen) & viewRect;
    view->unseen = QRegion();
    view->unseenAll = false;
    view->composedKey = key;
    view->hasComposed = true;
    if (!redo.isEmpty()) {
        QPainter p(&view->composed);
        for (const QRect &rect : redo) {
            const QRectF from(QPointF(rect.topLeft()) * key.ratio, QSizeF(rect.size()) * key.ratio);
            p.setCompositionMode(QPainter::CompositionMode_Source);
            p.drawImage(QRectF(rect), view->shown, from);
            p.setCompositionMode(QPainter::CompositionMode_SourceOver);
            p.drawImage(QRectF(rect), *detectors, from);
        }
    }
    painter->save();
    painter->setWorldTransform(QTransform());
    if (!SplitDraw::drawImageSplit(painter, QPoint(0, 0), view->composed))
        painter->drawImage(QPointF(0.0, 0.0), view->composed);
    painter->restore();
    return true;
}
