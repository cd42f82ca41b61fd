#include "recordvalue.h"

#include "geo.h"

#include <QtMath>

#include <cmath>
#include <limits>

namespace RecordValue {

std::optional<int> toInt(const QVariant &value)
{
    if (!value.isValid())
        return std::nullopt;
    switch (static_cast<int>(value.type())) {
    case QMetaType::Double:
    case QMetaType::Float:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Long:
    case QMetaType::ULong:
    case QMetaType::UInt: {
        const double d = value.toDouble();
        // Rounded like QVariant rounds a double; the bounds keep the result inside int.
        if (!(d > double(std::numeric_limits<int>::min()) - 0.5
              && d < double(std::numeric_limits<int>::max()) + 0.5))
            return std::nullopt;
        return int(std::lround(d));
    }
    default:
        break;
    }
    bool ok = false;
    const int result = value.toInt(&ok);
    if (!ok)
        return std::nullopt;
    return result;
}

std::optional<double> toReal(const QVariant &value)
{
    if (!value.isValid())
        return std::nullopt;
    bool ok = false;
    const double d = value.toDouble(&ok);
    if (!ok || !qIsFinite(d))
        return std::nullopt;
    return d;
}

int intValue(const QVariantMap &record, const QString &key, int whenMissing)
{
    const auto it = record.constFind(key);
    if (it == record.constEnd())
        return whenMissing;
    return toInt(it.value()).value_or(0);
}

std::optional<QPointF> position(const QVariantMap &record, const QString &key)
{
    const QVariant value = record.value(key);
    if (!value.canConvert<QVariantList>())
        return std::nullopt;
    const QVariantList list = value.toList();
    if (list.size() != 2)
        return std::nullopt;
    const std::optional<double> x = toReal(list.at(0));
    const std::optional<double> y = toReal(list.at(1));
    if (!x || !y)
        return std::nullopt;
    const QPointF point(*x, *y);
    if (!Geo::isValidGeo(point))
        return std::nullopt;
    return point;
}

} // namespace RecordValue
