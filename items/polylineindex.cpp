#include "polylineindex.h"

#include "geo.h"

#include <QLineF>
#include <QPainter>
#include <QStyleOptionGraphicsItem>
#include <QPainterPathStroker>
#include <QVarLengthArray>

#include <cmath>
#include <limits>

namespace {

constexpr float Always = std::numeric_limits<float>::infinity();
// Degrees of longitude per world unit.
constexpr double DegreesPerWorldUnit = 360.0 / Geo::WorldSize;

double squaredDistanceToSegment(const QPointF &p, const QPointF &a, const QPointF &b)
{
    const QPointF d = b - a;
    const double length2 = QPointF::dotProduct(d, d);
    double t = length2 > 0.0 ? QPointF::dotProduct(p - a, d) / length2 : 0.0;
    t = qBound(0.0, t, 1.0);
    const QPointF off = p - (a + d * t);
    return QPointF::dotProduct(off, off);
}

// Douglas-Peucker on world[lo..hi] without recursion: each point gets the distance at which
// it was picked, never more than the range it was picked in, so that the points kept at a
// tolerance are those with a greater one.
void simplify(const QVector<QPointF> &world, int lo, int hi, QVector<float> *tolerances)
{
    struct Range
    {
        int a;
        int b;
        float cap;
    };
    QVarLengthArray<Range, 64> stack;
    stack.append({lo, hi, Always});
    while (!stack.isEmpty()) {
        const Range r = stack.last();
        stack.removeLast();
        if (r.b - r.a < 2)
            continue;
        const QPointF &a = world.at(r.a);
        const QPointF &b = world.at(r.b);
        double farthest = 0.0;
        int k = -1;
        for (int i = r.a + 1; i < r.b; ++i) {
            const double d = squaredDistanceToSegment(world.at(i), a, b);
            if (d > farthest) {
                farthest = d;
                k = i;
            }
        }
        // Nothing off the chord: the points between keep tolerance 0.
        if (k < 0)
            continue;
        const float tolerance = qMin(float(std::sqrt(farthest)), r.cap);
        (*tolerances)[k] = tolerance;
        stack.append({r.a, k, tolerance});
        stack.append({k, r.b, tolerance});
    }
}

} // namespace

void PolylineIndex::clear()
{
    m_points.clear();
    m_tolerances.clear();
    m_lengths.clear();
    m_blocks.clear();
    m_worldBox = Box{0.0, 0.0, 0.0, 0.0};
}

void PolylineIndex::build(const QVector<QPointF> &scenePoints)
{
    clear();
    const int n = scenePoints.size();
    if (n == 0)
        return;
    m_points = scenePoints;
    m_points.squeeze();

    QVector<QPointF> world(n);
    for (int i = 0; i < n; ++i)
        world[i] = geoToWorld(scenePoints.at(i));
    m_worldBox = Box{world.at(0).x(), world.at(0).y(), world.at(0).x(), world.at(0).y()};
    for (const QPointF &w : qAsConst(world)) {
        m_worldBox.left = qMin(m_worldBox.left, w.x());
        m_worldBox.right = qMax(m_worldBox.right, w.x());
        m_worldBox.top = qMin(m_worldBox.top, w.y());
        m_worldBox.bottom = qMax(m_worldBox.bottom, w.y());
    }

    m_lengths.resize(n);
    m_lengths[0] = 0.0;
    for (int i = 1; i < n; ++i)
        m_lengths[i] = m_lengths.at(i - 1) + QLineF(world.at(i - 1), world.at(i)).length();

    m_tolerances.fill(0.0f, n);
    m_tolerances[0] = Always;
    for (int lo = 0; lo < n - 1; lo += SimplifyBlock) {
        const int hi = qMin(lo + SimplifyBlock, n - 1);
        m_tolerances[hi] = Always;
        simplify(world, lo, hi, &m_tolerances);
    }

    const int segments = n - 1;
    m_blocks.reserve((segments + IndexBlock - 1) / IndexBlock);
    for (int s0 = 0; s0 < segments; s0 += IndexBlock) {
        const int last = qMin(s0 + IndexBlock, segments);
        Box box{m_points.at(s0).x(), m_points.at(s0).y(), m_points.at(s0).x(), m_points.at(s0).y()};
        for (int i = s0 + 1; i <= last; ++i) {
            const QPointF &p = m_points.at(i);
            box.left = qMin(box.left, p.x());
            box.right = qMax(box.right, p.x());
            box.top = qMin(box.top, p.y());
            box.bottom = qMax(box.bottom, p.y());
        }
        m_blocks.append(box);
    }
}

QVector<QPointF> PolylineIndex::worldPoints(int first, int last) const
{
    QVector<QPointF> world;
    world.reserve(last - first + 1);
    for (int i = first; i <= last; ++i)
        world.append(geoToWorld(m_points.at(i)));
    return world;
}

void PolylineIndex::appendSimplified(int first, int last, double tolerance, QVector<QPointF> *out) const
{
    out->append(m_points.at(first));
    for (int i = first + 1; i < last; ++i) {
        if (m_tolerances.at(i) > tolerance)
            out->append(m_points.at(i));
    }
    if (last > first)
        out->append(m_points.at(last));
}

void PolylineIndex::drawPiece(QPainter *painter, const QVector<QPointF> &points, QVector<QLineF> *scratch)
{
    const QPen &pen = painter->pen();
    const bool narrow = pen.isCosmetic() ? pen.widthF() <= MaxSegmentPenPixels
                                         : pen.widthF() * QStyleOptionGraphicsItem::levelOfDetailFromTransform(
                                               painter->worldTransform()) <= MaxSegmentPenPixels;
    if (pen.widthF() <= 1.0 || !narrow || pen.style() != Qt::SolidLine || pen.capStyle() != Qt::SquareCap) {
        painter->drawPolyline(points.constData(), points.size());
        return;
    }
    scratch->clear();
    for (int i = 0; i + 1 < points.size(); ++i)
        scratch->append(QLineF(points.at(i), points.at(i + 1)));
    painter->drawLines(*scratch);
}

QSizeF PolylineIndex::bandMargin(double width)
{
    const double reach = width * 0.5 * M_SQRT2 * DegreesPerWorldUnit;
    return QSizeF(reach, reach);
}

QPainterPath PolylineIndex::band(int first, int last, double width) const
{
    const QVector<QPointF> world = worldPoints(first, last);
    QPainterPath line;
    line.moveTo(world.first());
    for (int i = 1; i < world.size(); ++i)
        line.lineTo(world.at(i));
    QPainterPathStroker stroker;
    stroker.setWidth(width);
    const QPainterPath stroke = stroker.createStroke(line);

    // Joins and self-overlapping lines wind twice over the same area: with the odd-even rule
    // they would show as holes and miss clicks.
    QPainterPath band;
    band.setFillRule(Qt::WindingFill);
    const int count = stroke.elementCount();
    for (int i = 0; i < count; ++i) {
        const QPointF geo = worldToGeo(stroke.elementAt(i));
        if (i == 0)
            band.moveTo(geo);
        else
            band.lineTo(geo);
    }
    if (count > 0)
        band.closeSubpath();
    return band;
}

QRectF PolylineIndex::bandBounds(double width) const
{
    if (isEmpty())
        return QRectF();
    const double reach = width * 0.5 * M_SQRT2;
    return QRectF(worldToGeo(QPointF(m_worldBox.left - reach, m_worldBox.top - reach)),
                  worldToGeo(QPointF(m_worldBox.right + reach, m_worldBox.bottom + reach)))
        .normalized();
}

bool PolylineIndex::bandIntersects(const QPainterPath &path, double width) const
{
    if (isEmpty() || path.isEmpty())
        return false;
    bool hit = false;
    forEachRun(path.controlPointRect(), bandMargin(width), [&](int first, int last) {
        if (hit)
            return;
        const QPainterPath piece = band(first, last, width);
        QPainterPath other = path;
        other.setFillRule(piece.fillRule());
        hit = other.intersects(piece);
    });
    return hit;
}

bool PolylineIndex::bandContains(const QPointF &point, double width) const
{
    bool hit = false;
    forEachRun(QRectF(point, QSizeF(0.0, 0.0)), bandMargin(width), [&](int first, int last) {
        if (!hit)
            hit = band(first, last, width).contains(point);
    });
    return hit;
}
