#pragma once

#include <QPointF>
#include <QString>
#include <QVector>

// Geometry strings from the server: points separated by space characters, each a longitude
// and a latitude in decimal degrees (C locale) joined by a comma; parts after the second
// are ignored.
namespace GeometryText {

// Parses text into geographic points. False, with points cleared, when the text has no
// point, a point has fewer than two parts or a part that is not a number, a point is not
// a valid map position (Geo::isValidGeo: NaN, infinity, beyond ±180° or the Mercator
// limit), or the text exceeds ItemLimits::MaxGeometryChars or MaxGeometryPoints.
bool parse(const QString &text, QVector<QPointF> *points);

} // namespace GeometryText
