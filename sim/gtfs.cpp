#include "gtfs.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSet>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>

// The feed is read once at start-up; a reader thread would buy nothing.
#define CSV_IO_NO_THREAD
#include <libfccp/csv.h>

namespace Sim {

namespace {

// A stop belongs to a route when it lies this close to the route's line.
constexpr double StopMatchM = 25.0;
// Stops closer than this along one route are one stop for the simulation.
constexpr double MinStopSpacingM = 30.0;
// Consecutive shape points closer than this are one point.
constexpr double MinPointSpacingM = 0.5;
constexpr double StopGridCellM = 100.0;

// RFC 4180 quoting, blanks around fields trimmed, blank lines skipped; the line reader
// drops a UTF-8 byte-order mark and the CR of CRLF line ends.
template<unsigned N>
using CsvReader = io::CSVReader<N, io::trim_chars<' ', '\t'>, io::double_quote_escape<',', '"'>,
                                io::throw_on_overflow, io::empty_line_comment>;

constexpr io::ignore_column AnyColumns = io::ignore_extra_column | io::ignore_missing_column;

QString text(const char *field)
{
    if (!field)
        return QString();
    return QString::fromUtf8(field, int(std::min<size_t>(std::strlen(field), MaxFeedTextLength * 4)))
            .left(MaxFeedTextLength);
}

QByteArray key(const char *field)
{
    if (!field)
        return QByteArray();
    return QByteArray(field, int(std::min<size_t>(std::strlen(field), MaxFeedTextLength)));
}

bool isEmpty(const char *field)
{
    return !field || !*field;
}

bool toDouble(const char *field, double *out)
{
    if (isEmpty(field))
        return false;
    bool ok = false;
    const double v = QByteArray(field).toDouble(&ok);
    if (!ok || !std::isfinite(v))
        return false;
    *out = v;
    return true;
}

bool toInt(const char *field, int *out)
{
    if (isEmpty(field))
        return false;
    bool ok = false;
    const int v = QByteArray(field).toInt(&ok, 10);
    if (!ok)
        return false;
    *out = v;
    return true;
}

QString where(const char *file, unsigned line)
{
    return QStringLiteral("%1 line %2").arg(QLatin1String(file)).arg(line);
}

struct FeedRoute
{
    QByteArray id;
    QString shortName;
    QString longName;
    int type = 3;
};

struct ShapeUse
{
    int trips = 0;
    QString headsign;
};

struct ShapePoint
{
    int sequence;
    double lon;
    double lat;
};

struct FeedStop
{
    QString name;
    QPointF pos;
};

class FeedReader
{
public:
    explicit FeedReader(const QString &directory) : m_dir(directory) {}

    QString path(const char *file) const
    {
        return QDir(m_dir).filePath(QLatin1String(file));
    }
    QByteArray nativePath(const char *file) const { return QFile::encodeName(path(file)); }

    QString readRoutes(GtfsStats &stats)
    {
        CsvReader<4> in(nativePath("routes.txt").constData());
        in.set_file_name("routes.txt");
        in.read_header(AnyColumns, "route_id", "route_short_name", "route_long_name", "route_type");
        if (!in.has_column("route_id"))
            return QStringLiteral("routes.txt has no route_id column");
        char *id, *shortName, *longName, *type;
        for (;;) {
            id = shortName = longName = type = nullptr;
            if (!in.read_row(id, shortName, longName, type))
                break;
            if (++stats.routes > MaxFeedRows)
                return QStringLiteral("routes.txt has more than %1 rows").arg(MaxFeedRows);
            if (isEmpty(id))
                return where("routes.txt", in.get_file_line()) + QStringLiteral(": empty route_id");
            FeedRoute r;
            r.id = key(id);
            r.shortName = text(shortName);
            r.longName = text(longName);
            if (!isEmpty(type) && !toInt(type, &r.type))
                return where("routes.txt", in.get_file_line()) + QStringLiteral(": route_type is not a number");
            if (m_routeIndex.contains(r.id)) {
                m_warnings << QStringLiteral("%1: route %2 listed again, ignored")
                                      .arg(where("routes.txt", in.get_file_line()), QString::fromUtf8(r.id));
                continue;
            }
            m_routeIndex.insert(r.id, m_routes.size());
            m_routes.append(r);
        }
        if (m_routes.isEmpty())
            return QStringLiteral("routes.txt lists no route");
        return QString();
    }

    QString readTrips(GtfsStats &stats)
    {
        CsvReader<5> in(nativePath("trips.txt").constData());
        in.set_file_name("trips.txt");
        in.read_header(AnyColumns, "route_id", "trip_id", "shape_id", "direction_id", "trip_headsign");
        for (const char *required : {"route_id", "trip_id", "shape_id"}) {
            if (!in.has_column(required))
                return QStringLiteral("trips.txt has no %1 column").arg(QLatin1String(required));
        }
        char *routeId, *tripId, *shapeId, *direction, *headsign;
        int unknownRoutes = 0;
        for (;;) {
            routeId = tripId = shapeId = direction = headsign = nullptr;
            if (!in.read_row(routeId, tripId, shapeId, direction, headsign))
                break;
            if (++stats.trips > MaxFeedRows)
                return QStringLiteral("trips.txt has more than %1 rows").arg(MaxFeedRows);
            int dir = 0;
            if (!isEmpty(direction) && (!toInt(direction, &dir) || dir < 0 || dir > 1))
                return where("trips.txt", in.get_file_line()) + QStringLiteral(": direction_id must be 0 or 1");
            const auto route = m_routeIndex.constFind(key(routeId));
            if (route == m_routeIndex.cend()) {
                ++unknownRoutes;
                continue;
            }
            if (isEmpty(shapeId))
                continue; // a trip without a shape draws nothing
            ShapeUse &use = m_uses[*route * 2 + dir][key(shapeId)];
            ++use.trips;
            if (use.headsign.isEmpty())
                use.headsign = text(headsign);
        }
        if (unknownRoutes > 0)
            m_warnings << QStringLiteral("trips.txt: %1 trips name no route of routes.txt").arg(unknownRoutes);
        // Each route direction is drawn from the shape most of its trips use; a tie goes to
        // the smaller shape id, so that the choice does not depend on hash order.
        for (auto it = m_uses.cbegin(); it != m_uses.cend(); ++it) {
            QByteArray best;
            int bestTrips = -1;
            for (auto s = it->cbegin(); s != it->cend(); ++s) {
                if (s->trips > bestTrips || (s->trips == bestTrips && s.key() < best)) {
                    best = s.key();
                    bestTrips = s->trips;
                }
            }
            m_chosen.insert(it.key(), best);
            m_wanted.insert(best);
        }
        return QString();
    }

    QString readShapes(GtfsStats &stats)
    {
        CsvReader<4> in(nativePath("shapes.txt").constData());
        in.set_file_name("shapes.txt");
        in.read_header(AnyColumns, "shape_id", "shape_pt_lat", "shape_pt_lon", "shape_pt_sequence");
        for (const char *required : {"shape_id", "shape_pt_lat", "shape_pt_lon", "shape_pt_sequence"}) {
            if (!in.has_column(required))
                return QStringLiteral("shapes.txt has no %1 column").arg(QLatin1String(required));
        }
        char *shapeId, *lat, *lon, *sequence;
        QByteArray lastId;
        bool haveLast = false;
        QVector<ShapePoint> *target = nullptr;
        int stored = 0;
        for (;;) {
            shapeId = lat = lon = sequence = nullptr;
            if (!in.read_row(shapeId, lat, lon, sequence))
                break;
            if (++stats.shapePoints > MaxFeedRows)
                return QStringLiteral("shapes.txt has more than %1 rows").arg(MaxFeedRows);
            ShapePoint p;
            if (!toDouble(lat, &p.lat) || !toDouble(lon, &p.lon))
                return where("shapes.txt", in.get_file_line())
                       + QStringLiteral(": shape_pt_lat and shape_pt_lon must be numbers");
            if (!Geo::isValidLonLat(p.lon, p.lat))
                return where("shapes.txt", in.get_file_line()) + QStringLiteral(": coordinates out of range");
            if (!toInt(sequence, &p.sequence) || p.sequence < 0)
                return where("shapes.txt", in.get_file_line())
                       + QStringLiteral(": shape_pt_sequence must be a non-negative integer");
            if (isEmpty(shapeId))
                return where("shapes.txt", in.get_file_line()) + QStringLiteral(": empty shape_id");
            // Rows come grouped by shape in every feed seen so far; the look-up is only
            // needed when the shape changes.
            if (!haveLast || std::strncmp(shapeId, lastId.constData(), size_t(lastId.size()) + 1) != 0) {
                lastId = key(shapeId);
                target = m_wanted.contains(lastId) ? &m_shapes[lastId] : nullptr;
                haveLast = true;
            }
            if (!target)
                continue;
            if (++stored > MaxStoredShapePoints)
                return QStringLiteral("the routes use more than %1 shape points").arg(MaxStoredShapePoints);
            if (target->size() >= MaxPointsPerRoute)
                return QStringLiteral("shape %1 has more than %2 points")
                        .arg(QString::fromUtf8(lastId))
                        .arg(MaxPointsPerRoute);
            target->append(p);
        }
        return QString();
    }

    QString readStops(GtfsStats &stats)
    {
        CsvReader<5> in(nativePath("stops.txt").constData());
        in.set_file_name("stops.txt");
        in.read_header(AnyColumns, "stop_id", "stop_name", "stop_lat", "stop_lon", "location_type");
        for (const char *required : {"stop_id", "stop_lat", "stop_lon"}) {
            if (!in.has_column(required))
                return QStringLiteral("stops.txt has no %1 column").arg(QLatin1String(required));
        }
        char *id, *name, *lat, *lon, *type;
        int rows = 0;
        for (;;) {
            id = name = lat = lon = type = nullptr;
            if (!in.read_row(id, name, lat, lon, type))
                break;
            if (++rows > MaxFeedRows)
                return QStringLiteral("stops.txt has more than %1 rows").arg(MaxFeedRows);
            int locationType = 0;
            if (!isEmpty(type) && !toInt(type, &locationType))
                return where("stops.txt", in.get_file_line()) + QStringLiteral(": location_type is not a number");
            // Stations, entrances and nodes are not where a vehicle stops; they may also
            // come without coordinates.
            if (locationType != 0)
                continue;
            if (isEmpty(lat) && isEmpty(lon))
                continue;
            double la = 0, lo = 0;
            if (!toDouble(lat, &la) || !toDouble(lon, &lo))
                return where("stops.txt", in.get_file_line())
                       + QStringLiteral(": stop_lat and stop_lon must be numbers");
            if (!Geo::isValidLonLat(lo, la))
                return where("stops.txt", in.get_file_line()) + QStringLiteral(": coordinates out of range");
            if (m_stops.size() >= MaxFeedStops)
                return QStringLiteral("stops.txt has more than %1 stops").arg(MaxFeedStops);
            const QString stopName = text(name);
            m_stops.append({stopName.isEmpty() ? text(id) : stopName, QPointF(lo, la)});
        }
        stats.stops = m_stops.size();
        return QString();
    }

    void buildRoutes(Network &net)
    {
        QPointF lo(180, 90), hi(-180, -90);
        for (int r = 0; r < m_routes.size(); ++r) {
            const FeedRoute &fr = m_routes.at(r);
            const bool bothWays = m_chosen.contains(r * 2) && m_chosen.contains(r * 2 + 1);
            for (int dir = 0; dir < 2; ++dir) {
                const auto chosen = m_chosen.constFind(r * 2 + dir);
                if (chosen == m_chosen.cend())
                    continue;
                if (net.routes.size() >= MaxRoutes) {
                    m_warnings << QStringLiteral("more than %1 route directions: the rest are left out").arg(MaxRoutes);
                    return;
                }
                QVector<ShapePoint> shape = m_shapes.value(*chosen);
                std::stable_sort(shape.begin(), shape.end(), [](const ShapePoint &a, const ShapePoint &b) {
                    return a.sequence < b.sequence;
                });
                QVector<QPointF> pts;
                pts.reserve(shape.size());
                for (const ShapePoint &p : shape) {
                    const QPointF q(p.lon, p.lat);
                    if (pts.isEmpty() || Geo::distanceMetres(pts.last(), q) >= MinPointSpacingM)
                        pts.append(q);
                }
                if (pts.size() < 2) {
                    m_warnings << QStringLiteral("route %1 direction %2: shape %3 has fewer than two points, left out")
                                          .arg(QString::fromUtf8(fr.id))
                                          .arg(dir)
                                          .arg(QString::fromUtf8(*chosen));
                    continue;
                }
                for (const QPointF &p : pts) {
                    lo = QPointF(std::min(lo.x(), p.x()), std::min(lo.y(), p.y()));
                    hi = QPointF(std::max(hi.x(), p.x()), std::max(hi.y(), p.y()));
                }
                Route route;
                route.id = net.routes.size() + 1;
                route.name = !fr.shortName.isEmpty() ? fr.shortName
                             : !fr.longName.isEmpty() ? fr.longName
                                                      : QString::fromUtf8(fr.id);
                route.description = !fr.longName.isEmpty() ? fr.longName : route.name;
                const QString headsign = m_uses.value(r * 2 + dir).value(*chosen).headsign;
                if (!headsign.isEmpty())
                    route.description += QStringLiteral(" - ") + headsign;
                else if (bothWays)
                    route.description += QStringLiteral(" (direction %1)").arg(dir);
                route.setPoints(pts);
                route.extra.insert(QStringLiteral("gtfs_route_id"), QString::fromUtf8(fr.id));
                route.extra.insert(QStringLiteral("gtfs_shape_id"), QString::fromUtf8(*chosen));
                route.extra.insert(QStringLiteral("direction_id"), dir);
                route.extra.insert(QStringLiteral("route_type"), fr.type);
                net.routes.append(route);
            }
        }
        if (!net.routes.isEmpty())
            net.centre = (lo + hi) * 0.5;
    }

    void matchStops(Network &net) const
    {
        const Geo::LocalPlane plane(net.centre);
        Geo::GridIndex grid(plane, StopGridCellM);
        for (int i = 0; i < m_stops.size(); ++i)
            grid.insert(i, m_stops.at(i).pos);
        // Segments are looked at in pieces of at most PieceM, so that the box around a
        // piece always stays within the grid's query limit.
        constexpr double PieceM = 1000.0;
        for (Route &route : net.routes) {
            QHash<int, QPair<double, double>> best; // stop -> (distance, along)
            const QVector<QPointF> &pts = route.line.points();
            for (int s = 0; s + 1 < pts.size(); ++s) {
                const double segLen = route.line.vertexAlong(s + 1) - route.line.vertexAlong(s);
                const int pieces = std::max(1, int(std::ceil(segLen / PieceM)));
                const Geo::Polyline segment({pts.at(s), pts.at(s + 1)});
                for (int k = 0; k < pieces; ++k) {
                    const QPointF a = pts.at(s) + (pts.at(s + 1) - pts.at(s)) * (double(k) / pieces);
                    const QPointF b = pts.at(s) + (pts.at(s + 1) - pts.at(s)) * (double(k + 1) / pieces);
                    for (int c : grid.inBox(a, b, StopMatchM)) {
                        double dist = 0;
                        const double along = route.line.vertexAlong(s) + segment.project(m_stops.at(c).pos, &dist);
                        if (dist > StopMatchM)
                            continue;
                        const auto it = best.find(c);
                        if (it == best.end() || dist < it->first)
                            best.insert(c, {dist, along});
                    }
                }
            }
            QVector<QPair<double, int>> order;
            for (auto it = best.cbegin(); it != best.cend(); ++it)
                order.append({it->second, it.key()});
            std::sort(order.begin(), order.end());
            for (const auto &o : order) {
                if (!route.stops.isEmpty() && o.first - route.stops.last().along < MinStopSpacingM)
                    continue;
                route.stops.append({m_stops.at(o.second).name, o.first});
            }
        }
    }

    QStringList warnings() const { return m_warnings; }

private:
    QString m_dir;
    QVector<FeedRoute> m_routes;
    QHash<QByteArray, int> m_routeIndex;
    QHash<int, QHash<QByteArray, ShapeUse>> m_uses; // route index * 2 + direction
    QHash<int, QByteArray> m_chosen;
    QSet<QByteArray> m_wanted;
    QHash<QByteArray, QVector<ShapePoint>> m_shapes;
    QVector<FeedStop> m_stops;
    QStringList m_warnings;
};

} // namespace

GtfsResult loadGtfsFeed(const QString &directory, const PopulateOptions &options)
{
    GtfsResult result;
    QElapsedTimer timer;
    timer.start();
    for (const char *file : {"routes.txt", "trips.txt", "shapes.txt", "stops.txt"}) {
        const QFileInfo info(QDir(directory).filePath(QLatin1String(file)));
        if (!info.isFile()) {
            result.error = QStringLiteral("%1 is missing in %2").arg(QLatin1String(file), directory);
            return result;
        }
        if (info.size() > MaxFeedFileBytes) {
            result.error = QStringLiteral("%1 is larger than %2 bytes").arg(QLatin1String(file)).arg(MaxFeedFileBytes);
            return result;
        }
    }

    FeedReader reader(directory);
    try {
        QString error = reader.readRoutes(result.stats);
        if (error.isEmpty())
            error = reader.readTrips(result.stats);
        if (error.isEmpty())
            error = reader.readShapes(result.stats);
        if (error.isEmpty())
            error = reader.readStops(result.stats);
        if (!error.isEmpty()) {
            result.error = error;
            return result;
        }
    } catch (const std::exception &e) {
        // The CSV reader reports malformed files (unclosed quotes, rows with too many or
        // too few fields) by exception, with the file and line in the text.
        result.error = QString::fromLocal8Bit(e.what());
        return result;
    }

    result.network.seed = options.seed;
    reader.buildRoutes(result.network);
    if (result.network.routes.isEmpty()) {
        result.error = QStringLiteral("no route of the feed has a usable shape");
        result.warnings = reader.warnings();
        return result;
    }
    reader.matchStops(result.network);
    PopulateOptions sized = options;
    int routeStops = 0;
    for (const Route &r : qAsConst(result.network.routes))
        routeStops += r.stops.size();
    const int routes = result.network.routes.size();
    if (sized.detectors < 0)
        sized.detectors = std::min(GtfsDefaultMaxDetectors, routeStops / GtfsStopsPerDetector);
    if (sized.emergencyDetectors < 0)
        sized.emergencyDetectors = std::max(1, sized.detectors / 10);
    if (sized.boards < 0)
        sized.boards = std::min(GtfsDefaultMaxBoards, routes * GtfsBoardsPerRoute);
    populateNetwork(result.network, sized);
    result.warnings = reader.warnings();
    result.stats.elapsedMs = timer.elapsed();
    result.ok = true;
    return result;
}

} // namespace Sim
