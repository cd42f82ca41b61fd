#pragma once

#include <QHash>
#include <QPointF>
#include <QString>
#include <QVector>

// Geography for the simulator. Points are QPointF(longitude, latitude) in degrees, as the
// plug-in keeps them. Distances are metres on a local tangent plane, which is accurate to a
// few centimetres per kilometre at city scale: good enough for a simulated fleet.
namespace Sim {
namespace Geo {

constexpr double EarthRadiusM = 6371008.8;

double metresPerDegreeLat();
double distanceMetres(const QPointF &a, const QPointF &b);
// Degrees clockwise from north, in [0, 360).
double bearingDegrees(const QPointF &from, const QPointF &to);
QPointF offsetMetres(const QPointF &p, double east, double north);
bool isValidLonLat(double lon, double lat);
double normalizeDegrees(double deg); // into [0, 360)

// Coordinates on the wire carry 7 decimals (about 1 cm); trailing zeros are dropped.
QString formatCoordinate(double value);
// "lon,lat lon,lat ...", the route and detector geometry format.
QString geometryString(const QVector<QPointF> &points);
// Opaque hash of a geometry text, a hex digest: clients only compare it for equality.
QString hashOf(const QString &text);

// A line with its cumulative lengths, for positions "s metres along".
class Polyline
{
public:
    Polyline() = default;
    explicit Polyline(QVector<QPointF> points);

    const QVector<QPointF> &points() const { return m_points; }
    int size() const { return m_points.size(); }
    double length() const { return m_cum.isEmpty() ? 0.0 : m_cum.last(); }
    // Metres along the line to vertex i.
    double vertexAlong(int i) const { return m_cum.at(i); }

    QPointF pointAt(double s) const;
    double bearingAt(double s) const;
    // Metres along the line of the point nearest to p; the distance to it in *distance.
    double project(const QPointF &p, double *distance = nullptr) const;
    // count points evenly spaced (by length) from s0 to s1, both ends included.
    QVector<QPointF> sample(double s0, double s1, int count) const;

private:
    int segmentAt(double s) const;

    QVector<QPointF> m_points;
    QVector<double> m_cum;
};

// Local plane around an origin, for grids and quick distance tests.
class LocalPlane
{
public:
    explicit LocalPlane(const QPointF &origin = QPointF());
    QPointF toMetres(const QPointF &lonLat) const;

private:
    QPointF m_origin;
    double m_kx;
    double m_ky;
};

// Uniform grid of items (by index) on a local plane, for "what is near this point".
class GridIndex
{
public:
    GridIndex(const LocalPlane &plane, double cellMetres);
    void insert(int item, const QPointF &lonLat);
    // Items in the cells that a box of radius metres around lonLat touches; a superset of
    // the items within radius, so callers still measure.
    QVector<int> near(const QPointF &lonLat, double radius) const;
    // Items in the cells that the box around a and b, widened by margin metres, touches.
    // Empty for a box of more than MaxCellsPerQuery cells: callers split long segments.
    QVector<int> inBox(const QPointF &a, const QPointF &b, double margin) const;
    static constexpr qint64 MaxCellsPerQuery = 4096;
    void clear() { m_cells.clear(); }

private:
    static quint64 key(qint64 cx, qint64 cy);
    QVector<int> cells(const QPointF &lo, const QPointF &hi) const;

    LocalPlane m_plane;
    double m_cell;
    QHash<quint64, QVector<int>> m_cells;
};

} // namespace Geo
} // namespace Sim
