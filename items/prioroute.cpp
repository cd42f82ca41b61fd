#include "prioroute.h"

#include "geo.h"
#include "geometrytext.h"
#include "itemlimits.h"
#include "itemrow.h"
#include "priolayer.h"
#include "routelayer.h"
#include "plugin/priorityplugin.h"

#include <QCoreApplication>
#include <QGraphicsScene>
#include <QLineF>
#include <QPainter>
#include <QPainterPathStroker>
#include <QStyleOptionGraphicsItem>
#include <QTransform>
#include <QtMath>

#include <cmath>

namespace {

// Degrees of longitude per world unit.
constexpr double DegreesPerWorldUnit = 360.0 / Geo::WorldSize;

bool isFinitePath(const QPainterPath &path)
{
    for (int i = 0; i < path.elementCount(); ++i) {
        const QPainterPath::Element e = path.elementAt(i);
        if (!qIsFinite(e.x) || !qIsFinite(e.y))
            return false;
    }
    return true;
}

bool isFiniteRect(const QRectF &rect)
{
    return qIsFinite(rect.x()) && qIsFinite(rect.y()) && qIsFinite(rect.width())
        && qIsFinite(rect.height());
}

// Arrow k is one band width (shaft) long and ends at shaft + k * 3 shaft along the route.
int arrowCount(double length, double shaft)
{
    if (!(shaft > 0.0) || !qIsFinite(shaft) || !qIsFinite(length) || shaft > length)
        return 0;
    const double count = std::floor((length - shaft) / (shaft * 3.0)) + 1.0;
    // Above the cap (a route across the globe has millions) the route has no arrows.
    if (!(count <= ItemLimits::MaxRouteArrows))
        return 0;
    return int(count);
}

// The visible part of the scene: the painter's device through its inverted transform.
QRectF visibleWindow(QPainter *painter)
{
    QRectF window = painter->worldTransform().inverted().mapRect(QRectF(painter->viewport()));
    if (painter->hasClipping())
        window &= painter->clipBoundingRect();
    return window;
}

} // namespace

PrioRoute::PrioRoute(QObject *parent, int id, QGraphicsScene *scene)
    : QGraphicsObject(nullptr)
    , m_id(id)
    , m_fillColour(Qt::lightGray)
{
    setData(0, QVariant::fromValue<QObject *>(this));
    setParent(parent);
    setFlags(ItemIsSelectable | ItemIgnoresParentOpacity);
    setVisible(false);

    if (scene && qobject_cast<PriorityPlugin *>(parent)) {
        joinPriorityLayer(scene, this, "Route::Route");
        m_layer = RouteLayer::attach(this);
    }

    setFillFromLock();
    updateTexts();
    update();
}

PrioRoute::~PrioRoute()
{
    if (m_layer)
        m_layer->removeRoute(this);
}

bool PrioRoute::hasGeometry() const
{
    return m_outline == Outline::Band;
}

bool PrioRoute::drawsLine() const
{
    return !m_line.isEmpty() && m_outline != Outline::None;
}

void PrioRoute::invalidatePicture()
{
    if (m_layer)
        m_layer->invalidate(this);
}

void PrioRoute::setFillFromLock()
{
    m_fillColour = m_locked ? QColor(Qt::red) : QColor(Qt::lightGray);
}

void PrioRoute::updateTexts()
{
    m_typeText = QCoreApplication::translate("PrioRoute", "Route");
    QString tip = m_typeText;
    if (m_locked)
        m_typeText += QLatin1Char(' ') + QCoreApplication::translate("PrioRoute", "(Locked)");
    tip += QLatin1Char(' ') + (m_description.isEmpty() ? QString::number(m_id) : m_description);
    setToolTip(tip);
}

void PrioRoute::applyProperties(const QVariantMap &record)
{
    bool changed = false;
    const bool locked = record.value(QStringLiteral("locked"), m_locked).toBool();
    if (locked != m_locked) {
        m_locked = locked;
        changed = true;
    }
    QString name = record.value(QStringLiteral("description"), m_description).toString();
    if (name.isEmpty())
        name = record.value(QStringLiteral("name"), m_description).toString();
    if (name != m_description) {
        m_description = name;
        changed = true;
    }
    if (!changed)
        return;
    setFillFromLock();
    updateTexts();
    update();
    invalidatePicture();
    emit stateChanged();
}

void PrioRoute::applyCachedRecord(const QVariantMap &record)
{
    setGeometry(record.value(QStringLiteral("geometry")).toString(),
                record.value(QStringLiteral("geometry_hash")).toString());
    const QString text = record.value(QStringLiteral("description")).toString();
    if (text != m_description) {
        m_description = text;
        updateTexts();
        emit stateChanged();
    }
}

void PrioRoute::setGeometry(const QString &geometry, const QString &hash)
{
    if (!hash.isEmpty() && hash == m_geometryHash && m_outline == Outline::Band)
        return;

    m_geometryHash = hash;
    prepareGeometryChange();
    m_line.clear();
    m_bandWidth = 0.0;
    m_arrowCount = 0;
    m_bounds = QRectF();
    m_outline = Outline::None;

    QVector<QPointF> points;
    if (GeometryText::parse(geometry, &points)) {
        const double width = metresToWorld(m_widthMetres, points.first());
        m_line.build(points);
        // Drawing and hit tests make the parts of the band they need. A line that goes
        // somewhere, at a true width, has a band bounded from its points without making it;
        // anything else (one point, all points on one spot) is made once here to see what
        // the stroker makes of it.
        if (m_line.spansArea() && std::isfinite(width) && width > 0.0) {
            const QRectF bounds = m_line.bandBounds(width);
            if (isFiniteRect(bounds)) {
                m_bandWidth = width;
                m_bounds = bounds;
                m_outline = Outline::Band;
            }
        } else {
            const QPainterPath band = m_line.band(0, m_line.size() - 1, width);
            const QRectF bounds = band.boundingRect();
            if (isFinitePath(band) && isFiniteRect(bounds)) {
                m_bandWidth = width;
                m_bounds = bounds;
                m_outline = band.elementCount() > 1 ? Outline::Band
                          : band.elementCount() == 1 ? Outline::Point : Outline::None;
            }
        }
        if (m_outline == Outline::None)
            m_line.clear();
        else
            m_arrowCount = arrowCount(m_line.length(), width);
    }
    if (m_line.isEmpty())
        m_geometryHash.clear();
    update();
    invalidatePicture();
    emit stateChanged();
}

QPainterPath PrioRoute::outline() const
{
    if (m_outline == Outline::None)
        return QPainterPath();
    return m_line.band(0, m_line.size() - 1, m_bandWidth);
}

QPainterPath PrioRoute::arrows() const
{
    QPainterPath path;
    forEachArrow(0, m_line.size() - 1,
                 [&](const QPointF &tail, const QPointF &tip, const QPointF &barb1, const QPointF &barb2) {
                     path.moveTo(tail);
                     path.lineTo(tip);
                     path.lineTo(barb1);
                     path.moveTo(tip);
                     path.lineTo(barb2);
                 });
    return path;
}

// Arrow k ends at end = shaft + 3 shaft k along the route and starts at end - shaft; both
// are found on the route by their distance along it in the world plane and placed between
// the segment's points (a straight segment in the world plane is straight in degrees to
// within a millimetre over a city block). The barbs point back from the tip at a and b
// across, turned by the shaft's angle in the world plane.
template<typename Emit>
void PrioRoute::forEachArrow(int first, int last, Emit arrow) const
{
    if (m_arrowCount == 0 || last <= first)
        return;
    const double shaft = m_bandWidth;
    const double spacing = shaft * 3.0;
    const double a = shaft * 0.5 / 1.7;
    const double b = a / 3.0;
    const int lastSegment = m_line.size() - 2;

    auto pointOn = [&](int segment, double along) {
        const double start = m_line.lengthAt(segment);
        const double length = m_line.lengthAt(segment + 1) - start;
        const QPointF &p = m_line.point(segment);
        const QPointF &q = m_line.point(segment + 1);
        if (!(length > 0.0))
            return q;
        return p + (q - p) * qBound(0.0, (along - start) / length, 1.0);
    };

    // The first arrow that ends beyond the run's start.
    const double runStart = m_line.lengthAt(first);
    int k = first == 0 ? 0 : qMax(0, int(std::floor((runStart - shaft) / spacing)));
    while (k < m_arrowCount && first > 0 && shaft + k * spacing <= runStart)
        ++k;
    int tipSegment = first;
    int tailSegment = first;
    double previousEnd = -1.0;
    for (; k < m_arrowCount; ++k) {
        const double end = shaft + k * spacing;
        // A step too small to move along the route would repeat the same arrow.
        if (end > m_line.lengthAt(last) || !(end > previousEnd))
            break;
        previousEnd = end;
        while (tipSegment + 1 < last && m_line.lengthAt(tipSegment + 1) < end)
            ++tipSegment;
        const double tailAt = end - shaft;
        while (tailSegment > 0 && m_line.lengthAt(tailSegment) > tailAt)
            --tailSegment;
        while (tailSegment < lastSegment && m_line.lengthAt(tailSegment + 1) < tailAt)
            ++tailSegment;
        const QPointF tip = pointOn(tipSegment, end);
        const QPointF tail = pointOn(tailSegment, tailAt);

        // The shaft's direction in the world plane (y southwards), from its ends in degrees.
        const double cosLat = std::cos(qDegreesToRadians(tip.y()));
        QPointF u((tip.x() - tail.x()) / DegreesPerWorldUnit, -(tip.y() - tail.y()) / (DegreesPerWorldUnit * cosLat));
        const double length = std::hypot(u.x(), u.y());
        u = length > 0.0 && qIsFinite(length) ? u / length : QPointF(1.0, 0.0);
        const QPointF n(-u.y(), u.x());
        const QPointF back1 = -a * u - b * n;
        const QPointF back2 = -a * u + b * n;
        auto toScene = [&](const QPointF &worldOffset) {
            return tip + QPointF(worldOffset.x() * DegreesPerWorldUnit, -worldOffset.y() * DegreesPerWorldUnit * cosLat);
        };
        arrow(tail, tip, toScene(back1), toScene(back2));
    }
}

void PrioRoute::setSelected(bool selected)
{
    if (selected) {
        setVisible(true);
        QGraphicsItem::setSelected(true);
    } else {
        if (!m_dontHide)
            setVisible(false);
        QGraphicsItem::setSelected(false);
    }
}

void PrioRoute::setDontHide(bool dontHide)
{
    if (dontHide == m_dontHide)
        return;
    m_dontHide = dontHide;
    if (dontHide) {
        if (!isVisible())
            setVisible(true);
    } else if (isVisible() && !isSelected()) {
        setVisible(false);
    }
}

void PrioRoute::setUseSgEvents(bool use)
{
    m_useSgEvents = use;
}

QVariant PrioRoute::modelData(int column, int role)
{
    return ItemRow::data(column, role, m_id, m_description, m_typeText, m_icon, toolTip());
}

QRectF PrioRoute::boundingRect() const
{
    return m_bounds;
}

QPainterPath PrioRoute::shape() const
{
    return outline();
}

bool PrioRoute::contains(const QPointF &point) const
{
    if (isClipped())
        return QGraphicsObject::contains(point);
    return m_outline != Outline::None && m_line.bandContains(point, m_bandWidth);
}

bool PrioRoute::collidesWithPath(const QPainterPath &path, Qt::ItemSelectionMode mode) const
{
    // Containment needs the whole shape; clipped items test their clip path.
    if (mode != Qt::IntersectsItemShape || isClipped())
        return QGraphicsObject::collidesWithPath(path, mode);
    if (path.isEmpty() || m_outline == Outline::None)
        return false;
    const QRectF box = path.controlPointRect();
    if (box.left() > m_bounds.right() || box.right() < m_bounds.left() || box.top() > m_bounds.bottom()
        || box.bottom() < m_bounds.top())
        return false;
    return m_line.bandIntersects(path, m_bandWidth);
}

void PrioRoute::paint(QPainter *painter, const QStyleOptionGraphicsItem *, QWidget *)
{
    // Drawn with the layer's other routes.
    if (m_layer && m_layer->draws(this))
        return;
    paintContent(painter, visibleWindow(painter), painter->pen(), isSelected());
}

void PrioRoute::paintContent(QPainter *painter, const QRectF &window, QPen pen, bool selected) const
{
    if (m_line.isEmpty() || m_outline == Outline::None)
        return;
    if (selected)
        pen.setWidth(2);
    pen.setCosmetic(true);

    const QTransform &transform = painter->worldTransform();
    const double pixelsPerDegree = std::hypot(transform.m11(), transform.m12());
    const double pixelsPerWorldUnit = pixelsPerDegree * DegreesPerWorldUnit;
    if (!(pixelsPerWorldUnit > 0.0) || !qIsFinite(pixelsPerWorldUnit))
        return;
    // The band as wide as it is on the screen; whether it is filled and whether the arrows
    // stand apart are judged, as they always were, by the view's level of detail (the
    // geometric mean of its two scales).
    const double bandPixels = m_bandWidth * pixelsPerWorldUnit;
    const double levelOfDetail =
        QStyleOptionGraphicsItem::levelOfDetailFromTransform(transform) * DegreesPerWorldUnit * m_bandWidth;
    const double tolerance = SimplifyPixels / pixelsPerWorldUnit;
    // Nothing of the route reaches further from its line than the band's corners or an arrow
    // from its tip, and the pen's width.
    const double reach = (m_bandWidth + m_bandWidth) * DegreesPerWorldUnit + (pen.widthF() + 2.0) / pixelsPerDegree;
    const QSizeF margin(reach, reach);
    QVector<QPointF> points;
    // Lines are cut where they leave the window widened by the margin, so that their caps
    // and joins there stay off the screen.
    const QRectF cut = window.adjusted(-reach, -reach, reach, reach);
    double budget = ItemLimits::MaxLinePixels;
    QVector<QLineF> segments;
    auto drawRun = [&](int first, int last) {
        points.clear();
        m_line.appendSimplified(first, last, tolerance, &points);
        PolylineIndex::clip(points, cut, transform, &budget, [&](const QVector<QPointF> &piece) {
            PolylineIndex::drawPiece(painter, piece, &segments);
        });
    };

    // The band: the line stroked on the screen as wide as the band, which is what filling the
    // stroke made in the world plane gives (the view is conformal at this scale).
    const bool bandShown = levelOfDetail >= MinBandPixels;
    if (bandShown) {
        QPen bandPen(QBrush(m_fillColour), bandPixels, Qt::SolidLine, Qt::SquareCap, Qt::BevelJoin);
        bandPen.setCosmetic(true);
        painter->setPen(bandPen);
        painter->setBrush(Qt::NoBrush);
        m_line.forEachRun(window, margin, [&](int first, int last) {
            drawRun(first, last);
        });
    }

    painter->setPen(pen);
    // Arrows a few pixels apart, with barbs under a pixel, look like a line of the pen: draw
    // that line, one segment per point instead of three per arrow. A route without arrows
    // shows its line too where its band is too thin to fill.
    const bool arrowsShown = m_arrowCount > 0 && levelOfDetail * 3.0 >= MinArrowSpacingPixels;
    if (arrowsShown) {
        QPainterPath arrows;
        m_line.forEachRun(window, margin, [&](int first, int last) {
            forEachArrow(first, last, [&](const QPointF &tail, const QPointF &tip, const QPointF &barb1, const QPointF &barb2) {
                arrows.moveTo(tail);
                arrows.lineTo(tip);
                arrows.lineTo(barb1);
                arrows.moveTo(tip);
                arrows.lineTo(barb2);
            });
        });
        painter->strokePath(arrows, pen);
    } else if (m_arrowCount > 0 || !bandShown) {
        budget = ItemLimits::MaxLinePixels;
        m_line.forEachRun(window, margin, [&](int first, int last) {
            drawRun(first, last);
        });
    }
}

QVariant PrioRoute::itemChange(GraphicsItemChange change, const QVariant &value)
{
    if (change == ItemSelectedChange && !value.toBool() && !m_dontHide)
        setVisible(false);
    switch (change) {
    case ItemSelectedHasChanged:
    case ItemVisibleHasChanged:
    case ItemZValueHasChanged:
    case ItemOpacityHasChanged:
    case ItemParentHasChanged:
        invalidatePicture();
        break;
    default:
        break;
    }
    return QGraphicsObject::itemChange(change, value);
}
