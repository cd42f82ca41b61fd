#include "simsetup.h"

#include <QStringList>

#include <algorithm>
#include <cmath>

#include "sim/generator.h"
#include "sim/gtfs.h"

namespace DemoNetwork {

namespace {

// One board per this many stops of a GTFS route, and a detector before every few stops.
constexpr int BoardsPerRoute = 2;
constexpr int StopsPerDetector = 3;

QString describe(const Sim::Network &network)
{
    return QStringLiteral("%1 routes, %2 detectors, %3 traffic-light controllers, %4 boards")
            .arg(network.routes.size())
            .arg(network.detectors.size())
            .arg(network.trafficLights.size())
            .arg(network.boards.size());
}

} // namespace

Built generated(quint32 seed)
{
    Sim::GeneratorOptions options;
    options.seed = seed;
    options.routes = 24;
    options.pointsPerRoute = 80;
    options.detectors = 120;
    options.emergencyDetectors = 12;
    options.boards = 90;
    Built built;
    built.network = Sim::generateNetwork(options);
    built.ok = true;
    built.summary = QStringLiteral("generated network: %1").arg(describe(built.network));
    return built;
}

Built fromGtfs(const QString &directory, quint32 seed)
{
    Built built;
    // The feed first without anything on it: how many boards and detectors it should carry
    // follows from its routes and stops.
    Sim::PopulateOptions probe;
    probe.seed = seed;
    probe.detectors = probe.emergencyDetectors = probe.boards = 0;
    Sim::GtfsResult feed = Sim::loadGtfsFeed(directory, probe);
    if (!feed.ok) {
        built.error = QStringLiteral("GTFS feed in %1 refused: %2").arg(directory, feed.error);
        return built;
    }
    int routeStops = 0;
    for (const Sim::Route &route : qAsConst(feed.network.routes))
        routeStops += route.stops.size();

    Sim::PopulateOptions populate;
    populate.seed = seed;
    populate.detectors = std::min(MaxGtfsDetectors, routeStops / StopsPerDetector);
    populate.emergencyDetectors = std::max(1, populate.detectors / 10);
    populate.boards = std::min(MaxGtfsBoards, int(feed.network.routes.size()) * BoardsPerRoute);

    built.network = std::move(feed.network);
    built.network.detectors.clear();
    built.network.trafficLights.clear();
    built.network.boards.clear();
    Sim::populateNetwork(built.network, populate);
    built.ok = true;
    built.summary = QStringLiteral("GTFS feed %1 read in %2 ms: %3")
                            .arg(directory)
                            .arg(feed.stats.elapsedMs)
                            .arg(describe(built.network));
    built.warnings = feed.warnings;
    if (!feed.warnings.isEmpty())
        built.summary += QStringLiteral(" (%1 warnings)").arg(feed.warnings.size());
    return built;
}

QRectF bounds(const Sim::Network &network)
{
    double left = INFINITY, right = -INFINITY, bottom = INFINITY, top = -INFINITY;
    for (const Sim::Route &route : network.routes) {
        for (const QPointF &p : route.line.points()) {
            if (!std::isfinite(p.x()) || !std::isfinite(p.y()))
                continue;
            left = std::min(left, p.x());
            right = std::max(right, p.x());
            bottom = std::min(bottom, p.y());
            top = std::max(top, p.y());
        }
    }
    if (!(left <= right && bottom <= top))
        return QRectF();
    return QRectF(QPointF(left, bottom), QPointF(right, top));
}

} // namespace DemoNetwork
