#pragma once

#include <QLineF>
#include <QPainterPath>
#include <QPointF>
#include <QRectF>
#include <QVector>

class QPainter;

// A polyline in scene coordinates (degrees), kept so that drawing or hit-testing it looks
// only at what matters at the scale at hand:
// - every point carries the tolerance (world units) up to which a Douglas-Peucker
//   simplification keeps it, so that one pass gives the line simplified for any scale.
//   The simplification runs in blocks of SimplifyBlock points, which bounds its cost on any
//   input (a hostile server can make Douglas-Peucker quadratic);
// - blocks of IndexBlock segments carry their bounds, so that only the part of the line
//   near a window (the screen, the mouse) is walked;
// - every point carries its distance from the start along the line in the world plane,
//   where lengths are true (conformal), for things spaced along the line.
// About 29 bytes per point.
class PolylineIndex
{
public:
    static constexpr int SimplifyBlock = 128;
    static constexpr int IndexBlock = 32;

    // Takes the points as they are; their world-plane images must be finite (the parse
    // only hands out valid map positions).
    void build(const QVector<QPointF> &scenePoints);
    void clear();

    int size() const { return m_points.size(); }
    bool isEmpty() const { return m_points.isEmpty(); }
    const QPointF &point(int i) const { return m_points.at(i); }
    const QVector<QPointF> &points() const { return m_points; }
    // Distance from the first point along the line, world units.
    double lengthAt(int i) const { return m_lengths.at(i); }
    double length() const { return m_lengths.isEmpty() ? 0.0 : m_lengths.last(); }
    // The world-plane points, made again from the scene points.
    QVector<QPointF> worldPoints(int first, int last) const;

    // Calls visit(first, last) for every maximal run of consecutive segments (points first
    // to last) of which each comes within margin (scene units, per axis) of window (scene).
    // A line of one point is one run of that point when it is near the window.
    template<typename Visit>
    void forEachRun(const QRectF &window, const QSizeF &margin, Visit visit) const;

    // Appends the points of first..last that a simplification to tolerance (world units)
    // keeps; the two ends are always kept.
    void appendSimplified(int first, int last, double tolerance, QVector<QPointF> *out) const;

    // Calls piece(points) for each part of the polyline points (scene) inside window,
    // the segments that cross its edge cut there, while their length on the screen through
    // transform (pixels) fits into *budget, which it lowers. Painting a long segment costs its
    // whole length even where it is off the screen; and only a hostile line comes near the
    // budget of ItemLimits.
    template<typename Piece>
    static void clip(const QVector<QPointF> &points, const QRectF &window, const QTransform &transform,
                     double *budget, Piece piece);

    // Strokes points with the painter's pen: as a polyline, or, for a narrow pen, each
    // segment alone with square caps, which Qt strokes several times faster; where two meet
    // the caps overlap, reaching beyond the polyline's bevel join by up to a third of the
    // width.
    static void drawPiece(QPainter *painter, const QVector<QPointF> &points, QVector<QLineF> *scratch);
    // Pens up to this wide (device pixels) stroke pieces as segments.
    static constexpr double MaxSegmentPenPixels = 4.0;

    // The line's band: the world-plane polyline of points first..last stroked to width
    // (world units) as QPainterPathStroker strokes it by default (square caps, bevel joins),
    // converted to scene coordinates, with the winding fill rule.
    QPainterPath band(int first, int last, double width) const;
    // The bounds (scene) of band(0, size() - 1, width), or a little more: no point of the
    // band is further from the line in the world plane than a square cap's corner, width / 2
    // * sqrt(2).
    QRectF bandBounds(double width) const;
    // Whether the line's points span more than one spot in the world plane.
    bool spansArea() const { return m_worldBox.right > m_worldBox.left || m_worldBox.bottom > m_worldBox.top; }
    // Whether the band of the whole line meets a path (scene) or contains a point, as
    // band(0, size() - 1, width) would answer, from the pieces of the line near it: the
    // pieces end where the line is further from the path than the band reaches, so that
    // their caps there do not count.
    bool bandIntersects(const QPainterPath &path, double width) const;
    bool bandContains(const QPointF &point, double width) const;

private:
    struct Box
    {
        double left, top, right, bottom;
    };
    static bool meets(const Box &box, const QRectF &window)
    {
        return box.right >= window.left() && box.left <= window.right() && box.bottom >= window.top()
            && box.top <= window.bottom();
    }
    // Half the band's reach beyond the line in scene units: a square cap or a join reaches
    // width / 2 * sqrt(2) from the point, and a world unit is at most 360/4096 degrees.
    static QSizeF bandMargin(double width);

    QVector<QPointF> m_points;
    QVector<float> m_tolerances;
    QVector<double> m_lengths;
    QVector<Box> m_blocks;
    Box m_worldBox{0.0, 0.0, 0.0, 0.0};
};

namespace PolylineClip {
// The part of a->b inside box as parameters t0 <= t1 along it; false when none (Liang-Barsky).
inline bool clipSegment(const QPointF &a, const QPointF &b, const QRectF &box, double *t0, double *t1)
{
    const double dx = b.x() - a.x();
    const double dy = b.y() - a.y();
    const double p[4] = {-dx, dx, -dy, dy};
    const double q[4] = {a.x() - box.left(), box.right() - a.x(), a.y() - box.top(), box.bottom() - a.y()};
    *t0 = 0.0;
    *t1 = 1.0;
    for (int i = 0; i < 4; ++i) {
        if (p[i] == 0.0) {
            if (q[i] < 0.0)
                return false;
        } else {
            const double r = q[i] / p[i];
            if (p[i] < 0.0)
                *t0 = qMax(*t0, r);
            else
                *t1 = qMin(*t1, r);
        }
    }
    return *t0 <= *t1;
}
} // namespace PolylineClip

template<typename Piece>
void PolylineIndex::clip(const QVector<QPointF> &points, const QRectF &window, const QTransform &transform,
                         double *budget, Piece piece)
{
    QVector<QPointF> part;
    auto flush = [&] {
        if (part.size() > 1)
            piece(part);
        part.clear();
    };
    if (points.size() == 1) {
        if (window.contains(points.first()))
            piece(points);
        return;
    }
    for (int i = 0; i + 1 < points.size() && *budget > 0.0; ++i) {
        const QPointF &a = points.at(i);
        const QPointF &b = points.at(i + 1);
        double t0;
        double t1;
        if (!PolylineClip::clipSegment(a, b, window, &t0, &t1)) {
            flush();
            continue;
        }
        const QPointF from = t0 > 0.0 ? a + (b - a) * t0 : a;
        const QPointF to = t1 < 1.0 ? a + (b - a) * t1 : b;
        if (t0 > 0.0)
            flush();
        if (part.isEmpty())
            part.append(from);
        part.append(to);
        *budget -= QLineF(transform.map(from), transform.map(to)).length();
        if (t1 < 1.0)
            flush();
    }
    flush();
}

template<typename Visit>
void PolylineIndex::forEachRun(const QRectF &window, const QSizeF &margin, Visit visit) const
{
    const int n = m_points.size();
    if (n == 0)
        return;
    const QRectF wide = window.normalized().adjusted(-margin.width(), -margin.height(), margin.width(),
                                                     margin.height());
    if (n == 1) {
        const QPointF &p = m_points.first();
        if (p.x() >= wide.left() && p.x() <= wide.right() && p.y() >= wide.top() && p.y() <= wide.bottom())
            visit(0, 0);
        return;
    }
    const int segments = n - 1;
    int runFirst = -1;
    int runLast = -1;
    for (int b = 0; b < m_blocks.size(); ++b) {
        const int s0 = b * IndexBlock;
        const int s1 = qMin(s0 + IndexBlock, segments);
        if (!meets(m_blocks.at(b), wide)) {
            if (runFirst >= 0) {
                visit(runFirst, runLast);
                runFirst = -1;
            }
            continue;
        }
        for (int s = s0; s < s1; ++s) {
            const QPointF &a = m_points.at(s);
            const QPointF &c = m_points.at(s + 1);
            const bool near = qMax(a.x(), c.x()) >= wide.left() && qMin(a.x(), c.x()) <= wide.right()
                && qMax(a.y(), c.y()) >= wide.top() && qMin(a.y(), c.y()) <= wide.bottom();
            if (near) {
                if (runFirst < 0)
                    runFirst = s;
                runLast = s + 1;
            } else if (runFirst >= 0) {
                visit(runFirst, runLast);
                runFirst = -1;
            }
        }
    }
    if (runFirst >= 0)
        visit(runFirst, runLast);
}
