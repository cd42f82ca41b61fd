#pragma once

#include <QJsonArray>
#include <QJsonValue>
#include <QPointF>

#include <cmath>
#include <limits>
#include <optional>

namespace Sim {

// An integer parameter: a JSON number with no fraction, within int range.
inline std::optional<int> jsonInt(const QJsonValue &v)
{
    if (!v.isDouble())
        return std::nullopt;
    const double d = v.toDouble();
    if (!std::isfinite(d) || d != std::floor(d) || d < std::numeric_limits<int>::min()
        || d > std::numeric_limits<int>::max())
        return std::nullopt;
    return int(d);
}

// Rounded so that the shortest text of the double is the rounded decimal: dividing the
// integer by an exact power of ten is correctly rounded, multiplying by 1e-7 is not.
inline double roundDecimals(double value, int decimals)
{
    const double f = std::pow(10.0, decimals);
    return std::round(value * f) / f;
}

// [lon, lat] with 7 decimals (about 1 cm), so the text on the wire stays short.
inline QJsonArray jsonLonLat(const QPointF &p)
{
    return QJsonArray{roundDecimals(p.x(), 7), roundDecimals(p.y(), 7)};
}

} // namespace Sim
