#pragma once

#include <QPointF>

// Geography of the map. Scene coordinates are degrees (x longitude, y latitude); lengths,
// strokes and angles are worked out in the "world plane", a spherical Mercator plane 4096
// units square (x from 0 at 180°W, y growing southwards), where the projection is conformal.
// Distances are metres on a sphere of radius EarthRadiusMetres.
namespace Geo {

constexpr double WorldSize = 4096.0;
constexpr double EarthRadiusMetres = 6356863.0;
// Latitude beyond which spherical Mercator is not defined for a square world.
constexpr double MaxLatitude = 85.05112878;

// True for a finite point with |lon| <= 180 and |lat| <= MaxLatitude. Items accept
// geometry and positions from the server only when every point passes this test.
bool isValidGeo(const QPointF &geo);

} // namespace Geo

// Latitudes beyond the Mercator limit are taken at the limit, so that a finite point
// always gives a finite world point and a positive, finite scale; callers that must not
// draw such points check Geo::isValidGeo first. NaN gives NaN, and an infinite longitude an
// infinite x.
QPointF geoToWorld(const QPointF &geo);
QPointF worldToGeo(const QPointF &world);
double metresPerWorldUnit(const QPointF &geo);
double metresToWorld(double metres, const QPointF &geo);
double worldToMetres(double worldUnits, const QPointF &geo);
