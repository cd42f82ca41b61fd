#include "prioroute.h"

#include "geo.h"
#include "geometrytext.h"
#include "itemlimits.h"
#include "itemrow.h"
#include "priolayer.h"
#include "plugin/priorityplugin.h"

#include <QCoreApplication>
#include <QCursor>
#include <QGraphicsScene>
#include <QLineF>
#include <QPainter>
#include <QPainterPathStroker>
#include <QStyleOptionGraphicsItem>
#include <QTransform>

#include <cmath>

namespace {

bool isFiniteRect(const QRectF &rect)
{
    return qIsFinite(rect.x()) && qIsFinite(rect.y()) && qIsFinite(rect.width())
        && qIsFinite(rect.height());
}

// Walks a polyline by arc length. Queries must come with non-decreasing lengths, so that
// all arrows of a route cost one pass over its points.
class PolylineCursor
{
public:
    explicit PolylineCursor(const QVector<QPointF> &points)
        : m_points(points)
    {
        m_lengths.reserve(points.size());
        for (int i = 0; i + 1 < points.size(); ++i)
            m_lengths.append(QLineF(points.at(i), points.at(i + 1)).length());
    }

    double totalLength() const
    {
        double total = 0.0;
        for (double length : m_lengths)
            total += length;
        return total;
    }

    QPointF pointAt(double distance)
    {
        while (m_segment + 1 < m_lengths.size()
               && m_segmentStart + m_lengths.at(m_segment) < distance) {
            m_segmentStart += m_lengths.at(m_segment);
            ++m_segment;
        }
        const QPointF &a = m_points.at(m_segment);
        const QPointF &b = m_points.at(m_segment + 1);
        const double length = m_lengths.at(m_segment);
        if (!(length > 0.0))
            return b;
        const double f = qBound(0.0, (distance - m_segmentStart) / length, 1.0);
        return a + (b - a) * f;
    }

private:
    const QVector<QPointF> &m_points;
    QVector<double> m_lengths;
    int m_segment = 0;
    double m_segmentStart = 0.0;
};

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

    if (scene && qobject_cast<PriorityPlugin *>(parent))
        joinPriorityLayer(scene, this, "Route::Route");

    setFillFromLock();
    updateTexts();
    update();
    setCursor(Qt::ArrowCursor);
}

PrioRoute::~PrioRoute() = default;

bool PrioRoute::hasGeometry() const
{
    return m_outline.elementCount() > 1;
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
    if (!hash.isEmpty() && hash == m_geometryHash && !m_outline.isEmpty())
        return;

    m_geometryHash = hash;
    prepareGeometryChange();
    m_arrows = QPainterPath();
    m_worldLine.clear();
    m_arrowCount = 0;
    m_outline = QPainterPath();
    m_centreLine = QPainterPath();
    m_bounds = QRectF();

    QVector<QPointF> points;
    if (!GeometryText::parse(geometry, &points)) {
        m_geometryHash.clear();
        emit stateChanged();
        return;
    }

    const QPointF reference = points.first();
    QPainterPath centreLine;
    centreLine.moveTo(points.first());
    for (QPointF &point : points) {
        centreLine.lineTo(point);
        point = geoToWorld(point);
    }

    if (buildOutline(points, reference)) {
        m_bounds = m_outline.boundingRect();
        // Arrows are about 25 path elements per point of a city route: they are made when
        // first drawn or asked for, from the world polyline kept until then.
        const double shaft = metresToWorld(m_widthMetres, reference);
        m_bandDegrees = shaft * 360.0 / Geo::WorldSize;
        m_arrowCount = arrowCount(points, shaft);
        if (m_arrowCount > 0) {
            m_arrowShaft = shaft;
            m_arrowSpacingDegrees = shaft * 3.0 * 360.0 / Geo::WorldSize;
            m_centreLine = centreLine;
            m_worldLine = points;
        }
    } else {
        m_outline = QPainterPath();
        m_geometryHash.clear();
    }
    update();
    emit stateChanged();
}

bool PrioRoute::buildOutline(const QVector<QPointF> &world, const QPointF &reference)
{
    QPainterPath line;
    line.moveTo(world.first());
    for (int i = 1; i < world.size(); ++i)
        line.lineTo(world.at(i));

    QPainterPathStroker stroker;
    stroker.setWidth(metresToWorld(m_widthMetres, reference));
    const QPainterPath stroke = stroker.createStroke(line);

    // Joins and self-overlapping routes wind twice over the same area: with the odd-even
    // rule they would show as holes and miss clicks.
    m_outline.setFillRule(Qt::WindingFill);
    const int count = stroke.elementCount();
    for (int i = 0; i < count; ++i) {
        const QPointF geo = worldToGeo(stroke.elementAt(i));
        if (!qIsFinite(geo.x()) || !qIsFinite(geo.y()))
            return false;
        if (i == 0)
            m_outline.moveTo(geo);
        else
            m_outline.lineTo(geo);
    }
    if (count > 0)
        m_outline.closeSubpath();
    return isFiniteRect(m_outline.boundingRect());
}

int PrioRoute::arrowCount(const QVector<QPointF> &world, double shaft)
{
    // Arrow k is one band width (shaft) long and ends at shaft + k * 3 shaft.
    if (world.size() < 2 || !(shaft > 0.0) || !qIsFinite(shaft))
        return 0;
    const double length = PolylineCursor(world).totalLength();
    if (!qIsFinite(length) || shaft > length)
        return 0;
    const double count = std::floor((length - shaft) / (shaft * 3.0)) + 1.0;
    // Above the cap (a route across the globe has millions) the route has no arrows.
    if (!(count <= ItemLimits::MaxRouteArrows))
        return 0;
    return int(count);
}

const QPainterPath &PrioRoute::arrows() const
{
    if (m_arrows.isEmpty())
        appendArrows(&m_arrows, nullptr);
    return m_arrows;
}

// The arrows whose shaft touches window (scene coordinates), or all of them. Positions
// come from one forward walk along the route; only the arrows inside are made.
void PrioRoute::appendArrows(QPainterPath *path, const QRectF *window) const
{
    if (m_worldLine.size() < 2 || m_arrowCount == 0)
        return;

    QRectF worldWindow;
    if (window)
        worldWindow = QRectF(geoToWorld(window->topLeft()), geoToWorld(window->bottomRight())).normalized();
    const double shaft = m_arrowShaft;
    const double spacing = shaft * 3.0;
    const double a = shaft * 0.5 / 1.7;
    const double b = a / 3.0;
    PolylineCursor tips(m_worldLine);
    PolylineCursor tails(m_worldLine);
    double previousEnd = -1.0;
    for (int k = 0; k < m_arrowCount; ++k) {
        const double end = shaft + k * spacing;
        // A step too small to move along the route would repeat the same arrow.
        if (!(end > previousEnd))
            break;
        previousEnd = end;
        const QPointF p1 = tails.pointAt(end - shaft);
        const QPointF p2 = tips.pointAt(end);
        if (window && !worldWindow.contains(p2) && !worldWindow.contains(p1))
            continue;
        QTransform t;
        t.translate(p2.x(), p2.y());
        t.rotate(-QLineF(p1, p2).angle());
        path->moveTo(worldToGeo(p1));
        path->lineTo(worldToGeo(p2));
        path->lineTo(worldToGeo(t.map(QPointF(-a, -b))));
        path->moveTo(worldToGeo(p2));
        path->lineTo(worldToGeo(t.map(QPointF(-a, b))));
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
    return m_outline;
}

void PrioRoute::paint(QPainter *painter, const QStyleOptionGraphicsItem *option, QWidget *)
{
    QPen pen = painter->pen();
    if (isSelected())
        pen.setWidth(2);
    if (!pen.isCosmetic()) {
        pen.setCosmetic(true);
        painter->setPen(pen);
    }
    const double pixelsPerDegree = option->levelOfDetailFromTransform(painter->worldTransform());
    // A band about a pixel wide or less disappears under the line of the arrows, yet filling
    // it scans its whole outline (about five elements per route point): a city of routes
    // took a second per frame that way.
    if (m_bandDegrees * pixelsPerDegree >= MinBandPixels)
        painter->fillPath(m_outline, QBrush(m_fillColour));
    // Arrows a few pixels apart, with barbs under a pixel, look like a line of the pen: draw
    // that line, one element per point instead of about twenty-five.
    const double spacingPixels = m_arrowSpacingDegrees * pixelsPerDegree;
    if (spacingPixels < MinArrowSpacingPixels) {
        painter->strokePath(m_centreLine, pen);
        return;
    }
    // Closer in, only the arrows on the screen: a city route has thousands, and stroking
    // all of them for every frame took seconds for a district of routes.
    const QRectF visible = painter->worldTransform().inverted().mapRect(QRectF(painter->viewport()));
    const QRectF window = visible.adjusted(-m_arrowSpacingDegrees, -m_arrowSpacingDegrees, m_arrowSpacingDegrees,
                                           m_arrowSpacingDegrees);
    QPainterPath shown;
    appendArrows(&shown, &window);
    painter->strokePath(shown, pen);
}

QVariant PrioRoute::itemChange(GraphicsItemChange change, const QVariant &value)
{
    if (change == ItemSelectedChange && !value.toBool() && !m_dontHide)
        setVisible(false);
    return QGraphicsObject::itemChange(change, value);
}
