#include "geo.h"

#include <QtGlobal>

#include <cmath>

namespace {

constexpr double Pi = 3.141592653589793;
constexpr double TwoPi = 6.283185307179586;
constexpr double RadiansPerDegree = 0.017453292519943295;
constexpr double DegreesPerRadian = 57.29577951308232;
constexpr double InverseWorldSize = 0.000244140625; // 1 / 4096
// Degrees of a great circle per metre on the map's sphere.
const double DegreesPerMetre = 180.0 / (Geo::EarthRadiusMetres * Pi);

double clampedLatitude(double latitude)
{
    if (std::isnan(latitude))
        return latitude; // qBound would turn NaN into the upper bound
    return qBound(-Geo::MaxLatitude, latitude, Geo::MaxLatitude);
}

double worldYOfLatitude(double latitude)
{
    const double phi = clampedLatitude(latitude) * RadiansPerDegree;
    return (0.5 - std::log(std::tan(phi) + 1.0 / std::cos(phi)) / TwoPi) * Geo::WorldSize;
}

double latitudeOfWorldY(double y)
{
    const double s = Pi - y * TwoPi * InverseWorldSize;
    return std::atan((std::exp(s) - std::exp(-s)) * 0.5) * DegreesPerRadian;
}

} // namespace

namespace Geo {

bool isValidGeo(const QPointF &geo)
{
    // NaN fails both comparisons, infinity the bounds.
    return std::fabs(geo.x()) <= 180.0 && std::fabs(geo.y()) <= MaxLatitude;
}

} // namespace Geo

QPointF geoToWorld(const QPointF &geo)
{
    return QPointF((geo.x() + 180.0) / 360.0 * Geo::WorldSize, worldYOfLatitude(geo.y()));
}

QPointF worldToGeo(const QPointF &world)
{
    return QPointF(world.x() * 360.0 * InverseWorldSize - 180.0, latitudeOfWorldY(world.y()));
}

double metresPerWorldUnit(const QPointF &geo)
{
    // One world unit southwards from the point, measured as an arc of latitude. The clamp
    // keeps the step inside the world, where it always runs south and the result is > 0.
    const double latitude = clampedLatitude(geo.y());
    double delta = latitude - latitudeOfWorldY(worldYOfLatitude(latitude) + 1.0);
    if (std::fabs(delta) <= 1e-12)
        delta = 1e-6;
    return delta / DegreesPerMetre;
}

double metresToWorld(double metres, const QPointF &geo)
{
    return metres / metresPerWorldUnit(geo);
}

double worldToMetres(double worldUnits, const QPointF &geo)
{
    return worldUnits * metresPerWorldUnit(geo);
}
