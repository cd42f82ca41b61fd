#include "generator.h"

#include <QRandomGenerator>

#include <algorithm>
#include <cmath>

namespace Sim {

namespace {

const char *const StreetNames[] = {
    "Lesnaya",  "Sadovaya",   "Tverskaya", "Nikitskaya", "Pokrovka",  "Myasnitskaya",
    "Arbat",    "Ostozhenka", "Prechistenka", "Sretenka", "Varvarka", "Ilyinka",
    "Petrovka", "Neglinnaya", "Kuznetsky", "Solyanka",   "Taganka",   "Zemlyanoy Val",
    "Yakimanka", "Polyanka",  "Ordynka",   "Pyatnitskaya", "Lubyanka", "Maroseyka",
};
// A city smaller than this has no room for routes; a larger one is no longer a city, and
// near the poles the flat approximation breaks down.
constexpr double MinRadiusM = 500.0;
constexpr double MaxRadiusM = 100000.0;

constexpr int StreetNameCount = int(sizeof(StreetNames) / sizeof(StreetNames[0]));

double uniform(QRandomGenerator &rng, double lo, double hi)
{
    return lo + (hi - lo) * rng.generateDouble();
}

QString stopName(QRandomGenerator &rng)
{
    return QStringLiteral("%1 %2")
            .arg(QLatin1String(StreetNames[rng.bounded(StreetNameCount)]))
            .arg(1 + rng.bounded(60));
}

Route makeRoute(int id, int points, const GeneratorOptions &o, QRandomGenerator &rng)
{
    const Geo::LocalPlane plane(o.centre);
    const double startAngle = uniform(rng, 0.0, 2.0 * M_PI);
    const double startDist = o.radiusMetres * std::sqrt(rng.generateDouble()) * 0.7;
    QPointF p = Geo::offsetMetres(o.centre, startDist * std::cos(startAngle),
                                  startDist * std::sin(startAngle));
    double heading = uniform(rng, 0.0, 360.0);
    QVector<QPointF> pts;
    pts.reserve(points);
    pts.append(p);
    for (int i = 1; i < points; ++i) {
        const QPointF m = plane.toMetres(p);
        if (std::hypot(m.x(), m.y()) > o.radiusMetres) {
            // Outside the city: turn towards the centre so that routes stay in town.
            const double home = Geo::bearingDegrees(p, o.centre);
            double diff = Geo::normalizeDegrees(home - heading);
            if (diff > 180.0)
                diff -= 360.0;
            heading += std::clamp(diff, -60.0, 60.0);
        } else {
            heading += uniform(rng, -25.0, 25.0);
        }
        const double step = uniform(rng, 80.0, 220.0);
        const double h = heading * M_PI / 180.0;
        p = Geo::offsetMetres(p, step * std::sin(h), step * std::cos(h));
        pts.append(p);
    }

    Route r;
    r.id = id;
    r.name = QString::number(id);
    r.setPoints(pts);
    const double length = r.line.length();
    double along = uniform(rng, 100.0, 250.0);
    while (along < length - 40.0) {
        r.stops.append({stopName(rng), along});
        along += uniform(rng, 280.0, 560.0);
    }
    if (r.stops.size() >= 2)
        r.description = QStringLiteral("Route %1: %2 - %3")
                                .arg(r.name, r.stops.first().name, r.stops.last().name);
    else
        r.description = QStringLiteral("Route %1").arg(r.name);
    return r;
}

} // namespace

Network generateNetwork(const GeneratorOptions &options)
{
    GeneratorOptions o = options;
    if (!Geo::isValidLonLat(o.centre.x(), o.centre.y()) || std::abs(o.centre.y()) > 80.0)
        o.centre = GeneratorOptions().centre;
    if (!std::isfinite(o.radiusMetres) || o.radiusMetres < MinRadiusM || o.radiusMetres > MaxRadiusM)
        o.radiusMetres = GeneratorOptions().radiusMetres;
    Network net;
    net.centre = o.centre;
    net.seed = options.seed;
    QRandomGenerator rng(options.seed);
    const int routes = std::clamp(options.routes, 0, MaxRoutes);
    int perRoute = options.pointsPerRoute;
    if (options.totalPoints > 0 && routes > 0)
        perRoute = options.totalPoints / routes;
    perRoute = std::clamp(perRoute, 2, MaxPointsPerRoute);
    net.routes.reserve(routes);
    for (int i = 0; i < routes; ++i)
        net.routes.append(makeRoute(i + 1, perRoute, o, rng));

    PopulateOptions p;
    p.seed = options.seed;
    p.detectors = options.detectors;
    p.emergencyDetectors = options.emergencyDetectors;
    p.boards = options.boards;
    p.emergencyBoardShare = options.emergencyBoardShare;
    populateNetwork(net, p);
    return net;
}

} // namespace Sim
