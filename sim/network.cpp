#include "network.h"

#include <QRandomGenerator>

#include <algorithm>
#include <cmath>

namespace Sim {

namespace {

// Ordinary detectors: a zone 30..80 m long ending 5..15 m before a stop.
constexpr int MinZoneLengthM = 30;
constexpr int MaxZoneLengthM = 80;
constexpr int MinStopGapM = 5;
constexpr int MaxStopGapM = 15;
// Detectors whose stop lines lie this close share one traffic-light controller.
constexpr double ControllerClusterM = 120.0;
constexpr int EmergencySectorMaxRadiusM = 250;

double uniform(QRandomGenerator &rng, double lo, double hi)
{
    return lo + (hi - lo) * rng.generateDouble();
}

int uniformInt(QRandomGenerator &rng, int lo, int hiInclusive)
{
    return lo + int(rng.bounded(quint32(hiInclusive - lo + 1)));
}

double share(double v)
{
    return std::isfinite(v) ? std::clamp(v, 0.0, 1.0) : 0.0;
}

template<typename T>
void shuffle(QVector<T> &v, QRandomGenerator &rng)
{
    for (int i = v.size() - 1; i > 0; --i)
        std::swap(v[i], v[int(rng.bounded(quint32(i + 1)))]);
}

void placeDetectors(Network &net, const PopulateOptions &o, QRandomGenerator &rng)
{
    struct Candidate
    {
        int route;
        int stop;
    };
    QVector<Candidate> candidates;
    for (int r = 0; r < net.routes.size(); ++r) {
        const Route &route = net.routes.at(r);
        for (int k = 0; k < route.stops.size(); ++k) {
            if (route.stops.at(k).along >= MinStopGapM + MinZoneLengthM)
                candidates.append({r, k});
        }
    }
    shuffle(candidates, rng);

    struct Picked
    {
        int route;
        double start;
        double end;
        int stop;
    };
    QVector<Picked> picked;
    QHash<int, QVector<QPair<double, double>>> taken; // per route: zones already placed
    const int wanted = std::clamp(o.detectors, 0, MaxDetectors);
    for (const Candidate &c : candidates) {
        if (picked.size() >= wanted)
            break;
        const Route &route = net.routes.at(c.route);
        const double stopAlong = route.stops.at(c.stop).along;
        const double gap = uniformInt(rng, MinStopGapM, MaxStopGapM);
        double len = uniformInt(rng, MinZoneLengthM, MaxZoneLengthM);
        const double end = stopAlong - gap;
        len = std::min(len, end);
        if (len < MinZoneLengthM)
            continue;
        const double start = end - len;
        bool overlaps = false;
        for (const auto &z : taken.value(c.route)) {
            if (start < z.second + 10.0 && end > z.first - 10.0) {
                overlaps = true;
                break;
            }
        }
        if (overlaps)
            continue;
        taken[c.route].append({start, end});
        picked.append({c.route, start, end, c.stop});
    }
    // Ids follow the network's order, not the draw, so that they read naturally.
    std::sort(picked.begin(), picked.end(), [](const Picked &a, const Picked &b) {
        return a.route != b.route ? a.route < b.route : a.start < b.start;
    });

    for (const Picked &p : picked) {
        const Route &route = net.routes.at(p.route);
        Detector d;
        d.id = net.detectors.size() + 1;
        d.name = QStringLiteral("D%1 %2").arg(d.id).arg(route.stops.at(p.stop).name);
        d.routes = {route.id};
        d.weight = uniformInt(rng, 1, 3);
        d.locked = rng.generateDouble() < 0.02;
        d.line = route.line.sample(p.start, p.end, uniformInt(rng, 2, 5));
        const double len = p.end - p.start;
        if (rng.generateDouble() < 0.8)
            d.checkinLength = std::round(len * uniform(rng, 0.4, 0.85) * 10.0) / 10.0;
        d.laidOnRoute = route.id;
        d.startAlong = p.start;
        d.endAlong = p.end;
        // Without a check-in point the whole zone triggers as soon as a board enters it.
        d.checkinAlong = d.checkinLength >= 0 ? p.start + d.checkinLength : p.start;
        d.rehash();
        net.detectors.append(d);
    }
}

void placeEmergencyDetectors(Network &net, const PopulateOptions &o, QRandomGenerator &rng)
{
    QVector<int> usable;
    for (int r = 0; r < net.routes.size(); ++r) {
        if (net.routes.at(r).line.length() >= 200.0)
            usable.append(r);
    }
    if (usable.isEmpty())
        return;
    const int wanted = std::clamp(o.emergencyDetectors, 0, MaxDetectors - net.detectors.size());
    for (int k = 0; k < wanted; ++k) {
        const Route &route = net.routes.at(usable.at(int(rng.bounded(quint32(usable.size())))));
        const double along = route.line.length() * uniform(rng, 0.1, 0.9);
        Detector d;
        d.id = net.detectors.size() + 1;
        d.name = QStringLiteral("EV%1").arg(d.id);
        d.emergency = true;
        d.weight = uniformInt(rng, 3, 5);
        d.pos = route.line.pointAt(along);
        d.radius = uniformInt(rng, 8, EmergencySectorMaxRadiusM / 10) * 10;
        d.sweepAngle = uniformInt(rng, 4, 9) * 10;
        // Open the sector back along the route, towards the vehicles that approach: a
        // heading c (clockwise from north) comes from c + 180, which is c + 90 from east.
        d.directionAngle = int(std::lround(Geo::normalizeDegrees(route.line.bearingAt(along) + 90.0)))
                           % 360;
        d.rehash();
        net.detectors.append(d);
    }
}

void placeControllers(Network &net, QRandomGenerator &rng)
{
    Geo::GridIndex grid(Geo::LocalPlane(net.centre), ControllerClusterM);
    for (Detector &d : net.detectors) {
        if (!d.emergency && rng.generateDouble() < 0.03)
            continue; // a few detectors report to no controller
        const QPointF anchor = d.emergency ? d.pos : d.line.last();
        int found = -1;
        for (int t : grid.near(anchor, ControllerClusterM)) {
            if (Geo::distanceMetres(net.trafficLights.at(t).pos, anchor) <= ControllerClusterM) {
                found = t;
                break;
            }
        }
        if (found < 0) {
            TrafficLight tl;
            tl.number = net.trafficLights.size() + 1;
            tl.name = QStringLiteral("Junction %1").arg(tl.number);
            tl.pos = anchor;
            tl.cycleS = uniformInt(rng, 6, 12) * 10;
            tl.program = QStringLiteral("P%1").arg(uniformInt(rng, 1, 4));
            found = net.trafficLights.size();
            net.trafficLights.append(tl);
            grid.insert(found, anchor);
        }
        d.tlNumber = net.trafficLights.at(found).number;
    }
}

void placeBoards(Network &net, const PopulateOptions &o, QRandomGenerator &rng)
{
    const int count = std::clamp(o.boards, 0, MaxBoards);
    QVector<int> order(count);
    for (int i = 0; i < count; ++i)
        order[i] = i;
    shuffle(order, rng);
    const int emergencyCount = int(std::lround(count * share(o.emergencyBoardShare)));
    const int unassignedCount = int(std::lround(count * share(o.unassignedBoardShare)));
    const double loggedOutShare = share(o.loggedOutBoardShare);
    QVector<char> kind(count, 'r'); // r: on a route, e: emergency vehicle, d: at the depot
    for (int k = 0; k < count; ++k) {
        if (k < emergencyCount)
            kind[order[k]] = 'e';
        else if (k < emergencyCount + unassignedCount)
            kind[order[k]] = 'd';
    }

    const QPointF depot = Geo::offsetMetres(net.centre, 600.0, -300.0);
    const int routeCount = net.routes.size();
    QHash<int, int> routeIndex;
    for (int r = 0; r < routeCount; ++r)
        routeIndex.insert(net.routes.at(r).id, r);
    int assigned = 0;
    net.boards.reserve(net.boards.size() + count);
    for (int i = 0; i < count; ++i) {
        Board b;
        b.name = QStringLiteral("B%1").arg(1001 + i);
        b.depot = Geo::offsetMetres(depot, uniform(rng, -40, 40), uniform(rng, -40, 40));
        b.offsetS = std::round(uniform(rng, -60.0, 180.0) * 10.0) / 10.0;
        b.locked = rng.generateDouble() < 0.02;
        if (rng.generateDouble() < loggedOutShare) {
            b.loggedIn = false;
            b.lastConnectedAgoS = uniform(rng, 600.0, 172800.0);
        }
        char k = kind.at(i);
        if (routeCount == 0)
            k = 'd';
        if (k == 'e') {
            const bool fire = rng.generateDouble() < 0.3;
            b.vehicleType = fire ? QStringLiteral("fire") : QStringLiteral("ambulance");
            b.description = QStringLiteral("%1 %2").arg(fire ? QStringLiteral("Fire engine")
                                                             : QStringLiteral("Ambulance"),
                                                        b.name);
            b.allowEmergency = true;
            b.radius = uniformInt(rng, 10, 30) * 10;
            b.sweep = uniformInt(rng, 3, 9) * 10;
            b.drivingRoute = net.routes.at(int(rng.bounded(quint32(routeCount)))).id;
            b.cruiseKmh = uniform(rng, 45.0, 65.0);
        } else if (k == 'd') {
            b.description = QStringLiteral("Bus %1 (depot)").arg(b.name);
        } else {
            const double t = rng.generateDouble();
            b.vehicleType = t < 0.2 ? QStringLiteral("tram")
                            : t < 0.3 ? QStringLiteral("trolleybus")
                                      : QStringLiteral("bus");
            b.description = QStringLiteral("%1 %2").arg(
                    b.vehicleType == QLatin1String("tram")         ? QStringLiteral("Tram")
                    : b.vehicleType == QLatin1String("trolleybus") ? QStringLiteral("Trolleybus")
                                                                   : QStringLiteral("Bus"),
                    b.name);
            b.routeId = net.routes.at(assigned % routeCount).id;
            ++assigned;
            b.drivingRoute = b.routeId;
            b.cruiseKmh = uniform(rng, 22.0, 40.0);
        }
        if (b.drivingRoute != 0) {
            const Route *route = &net.routes.at(routeIndex.value(b.drivingRoute));
            b.along = route->line.length() * rng.generateDouble();
            while (b.nextStop < route->stops.size() && route->stops.at(b.nextStop).along <= b.along)
                ++b.nextStop;
        }
        net.boards.append(b);
    }
}

} // namespace

void Route::setPoints(QVector<QPointF> points)
{
    line = Geo::Polyline(std::move(points));
    geometry = Geo::geometryString(line.points());
    geometryHash = Geo::hashOf(geometry);
}

void Detector::rehash()
{
    if (emergency) {
        geometryHash = Geo::hashOf(QStringLiteral("sector %1,%2 %3 %4 %5")
                                           .arg(Geo::formatCoordinate(pos.x()),
                                                Geo::formatCoordinate(pos.y()))
                                           .arg(radius)
                                           .arg(directionAngle)
                                           .arg(sweepAngle));
    } else {
        geometry = Geo::geometryString(line);
        geometryHash = Geo::hashOf(QStringLiteral("line %1 checkin %2")
                                           .arg(geometry)
                                           .arg(checkinLength, 0, 'f', 1));
    }
}

void populateNetwork(Network &network, const PopulateOptions &options)
{
    // One stream per stage: changing the number of boards leaves the detectors alone.
    QRandomGenerator detectorRng(options.seed * 2654435761u + 11u);
    QRandomGenerator emergencyRng(options.seed * 2654435761u + 23u);
    QRandomGenerator controllerRng(options.seed * 2654435761u + 37u);
    QRandomGenerator boardRng(options.seed * 2654435761u + 53u);
    placeDetectors(network, options, detectorRng);
    placeEmergencyDetectors(network, options, emergencyRng);
    placeControllers(network, controllerRng);
    placeBoards(network, options, boardRng);
}

} // namespace Sim
