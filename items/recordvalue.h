#pragma once

#include <QPointF>
#include <QVariant>
#include <QVariantMap>

#include <optional>

// Reading numbers out of server records. QVariant's own conversions are kept for ordinary
// values, but a number that does not fit (1e300 as an int, NaN, infinity) is never handed to
// them: converting it is undefined behaviour and would give garbage.
namespace RecordValue {

// The value as an int by QVariant's rules (doubles rounded), or nothing when it is
// invalid, does not convert, or is a number that is not finite or outside int's range.
std::optional<int> toInt(const QVariant &value);
// The value as a finite double, or nothing.
std::optional<double> toReal(const QVariant &value);

// record[key] as an int: whenMissing without the key, 0 (QVariant's result for
// something that does not convert) when the value does not convert or does not fit.
int intValue(const QVariantMap &record, const QString &key, int whenMissing);

// A map position [lon, lat]: exactly two elements, both finite numbers, a valid map point
// (Geo::isValidGeo). Anything else, and a missing key, gives nothing.
std::optional<QPointF> position(const QVariantMap &record, const QString &key);

} // namespace RecordValue
