#include "geo.h"

#include <QCryptographicHash>
#include <QtMath>

#include <algorithm>
#include <cmath>

namespace Sim {
namespace Geo {

double metresPerDegreeLat()
{
    return EarthRadiusM * M_PI / 180.0;
}

double distanceMetres(const QPointF &a, const QPointF &b)
{
    const double k = metresPerDegreeLat();
    const double midLat = qDegreesToRadians((a.y() + b.y()) * 0.5);
    const double dx = (b.x() - a.x()) * std::cos(midLat) * k;
    const double dy = (b.y() - a.y()) * k;
    return std::hypot(dx, dy);
}

double bearingDegrees(const QPointF &from, const QPointF &to)
{
    const double midLat = qDegreesToRadians((from.y() + to.y()) * 0.5);
    const double dx = (to.x() - from.x()) * std::cos(midLat);
    const double dy = to.y() - from.y();
    if (dx == 0.0 && dy == 0.0)
        return 0.0;
    return normalizeDegrees(qRadiansToDegrees(std::atan2(dx, dy)));
}

QPointF offsetMetres(const QPointF &p, double east, double north)
{
    const double k = metresPerDegreeLat();
    const double c = std::max(1e-6, std::cos(qDegreesToRadians(p.y())));
    return QPointF(p.x() + east / (k * c), p.y() + north / k);
}

bool isValidLonLat(double lon, double lat)
{
    return qIsFinite(lon) && qIsFinite(lat) && lon >= -180.0 && lon <= 180.0 && lat >= -90.0
           && lat <= 90.0;
}

double normalizeDegrees(double deg)
{
    double d = std::fmod(deg, 360.0);
    if (d < 0)
        d += 360.0;
    return d >= 360.0 ? 0.0 : d;
}

QString formatCoordinate(double value)
{
    QString s = QString::number(value, 'f', 7);
    int end = s.size();
    while (end > 0 && s.at(end - 1) == QLatin1Char('0'))
        --end;
    if (end > 0 && s.at(end - 1) == QLatin1Char('.'))
        --end;
    s.truncate(end);
    if (s == QLatin1String("-0"))
        s = QStringLiteral("0");
    return s;
}

QString geometryString(const QVector<QPointF> &points)
{
    QString out;
    out.reserve(points.size() * 22);
    for (const QPointF &p : points) {
        if (!out.isEmpty())
            out += QLatin1Char(' ');
        out += formatCoordinate(p.x());
        out += QLatin1Char(',');
        out += formatCoordinate(p.y());
    }
    return out;
}

QString hashOf(const QString &text)
{
    return QString::fromLatin1(
            QCryptographicHash::hash(text.toUtf8(), QCryptographicHash::Sha1).toHex());
}

Polyline::Polyline(QVector<QPointF> points) : m_points(std::move(points))
{
    m_cum.reserve(m_points.size());
    double total = 0.0;
    for (int i = 0; i < m_points.size(); ++i) {
        if (i > 0)
            total += distanceMetres(m_points.at(i - 1), m_points.at(i));
        m_cum.append(total);
    }
}

int Polyline::segmentAt(double s) const
{
    // Index i of the segment [i, i+1] holding s; the last segment for s at the end.
    const auto it = std::upper_bound(m_cum.cbegin(), m_cum.cend(), s);
    int i = int(it - m_cum.cbegin()) - 1;
    return std::clamp(i, 0, std::max(0, m_points.size() - 2));
}

QPointF Polyline::pointAt(double s) const
{
    if (m_points.isEmpty())
        return QPointF();
    if (m_points.size() == 1 || s <= 0.0)
        return m_points.first();
    if (s >= length())
        return m_points.last();
    const int i = segmentAt(s);
    const double segLen = m_cum.at(i + 1) - m_cum.at(i);
    const double t = segLen > 0.0 ? (s - m_cum.at(i)) / segLen : 0.0;
    const QPointF &a = m_points.at(i);
    const QPointF &b = m_points.at(i + 1);
    return a + (b - a) * t;
}

double Polyline::bearingAt(double s) const
{
    if (m_points.size() < 2)
        return 0.0;
    int i = segmentAt(std::clamp(s, 0.0, length()));
    // A zero-length segment has no direction: look ahead, then back.
    int j = i;
    while (j < m_points.size() - 1 && m_points.at(j) == m_points.at(j + 1))
        ++j;
    if (j >= m_points.size() - 1) {
        j = i;
        while (j > 0 && m_points.at(j) == m_points.at(j + 1))
            --j;
    }
    return bearingDegrees(m_points.at(j), m_points.at(j + 1));
}

double Polyline::project(const QPointF &p, double *distance) const
{
    double best = std::numeric_limits<double>::infinity();
    double bestAlong = 0.0;
    if (m_points.size() == 1) {
        best = distanceMetres(p, m_points.first());
    }
    for (int i = 0; i + 1 < m_points.size(); ++i) {
        const LocalPlane plane(m_points.at(i));
        const QPointF a(0, 0);
        const QPointF b = plane.toMetres(m_points.at(i + 1));
        const QPointF q = plane.toMetres(p);
        const QPointF ab = b - a;
        const double len2 = QPointF::dotProduct(ab, ab);
        double t = len2 > 0.0 ? QPointF::dotProduct(q - a, ab) / len2 : 0.0;
        t = std::clamp(t, 0.0, 1.0);
        const QPointF foot = a + ab * t;
        const double d = std::hypot(q.x() - foot.x(), q.y() - foot.y());
        if (d < best) {
            best = d;
            bestAlong = m_cum.at(i) + t * (m_cum.at(i + 1) - m_cum.at(i));
        }
    }
    if (distance)
        *distance = best;
    return bestAlong;
}

QVector<QPointF> Polyline::sample(double s0, double s1, int count) const
{
    QVector<QPointF> out;
    if (count < 2)
        count = 2;
    out.reserve(count);
    for (int k = 0; k < count; ++k)
        out.append(pointAt(s0 + (s1 - s0) * k / (count - 1)));
    return out;
}

LocalPlane::LocalPlane(const QPointF &origin)
    : m_origin(origin),
      m_kx(metresPerDegreeLat() * std::cos(qDegreesToRadians(origin.y()))),
      m_ky(metresPerDegreeLat())
{
}

QPointF LocalPlane::toMetres(const QPointF &lonLat) const
{
    return QPointF((lonLat.x() - m_origin.x()) * m_kx, (lonLat.y() - m_origin.y()) * m_ky);
}

GridIndex::GridIndex(const LocalPlane &plane, double cellMetres)
    : m_plane(plane), m_cell(std::max(1.0, cellMetres))
{
}

quint64 GridIndex::key(qint64 cx, qint64 cy)
{
    return (quint64(quint32(qint32(cx))) << 32) | quint64(quint32(qint32(cy)));
}

void GridIndex::insert(int item, const QPointF &lonLat)
{
    const QPointF m = m_plane.toMetres(lonLat);
    m_cells[key(qint64(std::floor(m.x() / m_cell)), qint64(std::floor(m.y() / m_cell)))].append(
            item);
}

QVector<int> GridIndex::near(const QPointF &lonLat, double radius) const
{
    const QPointF m = m_plane.toMetres(lonLat);
    return cells(m - QPointF(radius, radius), m + QPointF(radius, radius));
}

QVector<int> GridIndex::inBox(const QPointF &a, const QPointF &b, double margin) const
{
    const QPointF ma = m_plane.toMetres(a);
    const QPointF mb = m_plane.toMetres(b);
    return cells(QPointF(std::min(ma.x(), mb.x()) - margin, std::min(ma.y(), mb.y()) - margin),
                 QPointF(std::max(ma.x(), mb.x()) + margin, std::max(ma.y(), mb.y()) + margin));
}

QVector<int> GridIndex::cells(const QPointF &lo, const QPointF &hi) const
{
    QVector<int> out;
    const qint64 x0 = qint64(std::floor(lo.x() / m_cell));
    const qint64 x1 = qint64(std::floor(hi.x() / m_cell));
    const qint64 y0 = qint64(std::floor(lo.y() / m_cell));
    const qint64 y1 = qint64(std::floor(hi.y() / m_cell));
    if ((x1 - x0 + 1) * (y1 - y0 + 1) > MaxCellsPerQuery)
        return out;
    for (qint64 cx = x0; cx <= x1; ++cx) {
        for (qint64 cy = y0; cy <= y1; ++cy) {
            const auto it = m_cells.constFind(key(cx, cy));
            if (it != m_cells.cend())
                out += *it;
        }
    }
    return out;
}

} // namespace Geo
} // namespace Sim
