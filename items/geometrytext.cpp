#include "geometrytext.h"

#include "geo.h"
#include "itemlimits.h"

#include <QStringRef>

namespace GeometryText {

namespace {

// One "lon,lat[,...]" token.
bool parsePoint(const QStringRef &token, QPointF *point)
{
    const int firstComma = token.indexOf(QLatin1Char(','));
    if (firstComma < 0)
        return false;
    int secondComma = token.indexOf(QLatin1Char(','), firstComma + 1);
    if (secondComma < 0)
        secondComma = token.size();
    bool okLon = false;
    bool okLat = false;
    const double lon = token.left(firstComma).toDouble(&okLon);
    const double lat = token.mid(firstComma + 1, secondComma - firstComma - 1).toDouble(&okLat);
    if (!okLon || !okLat)
        return false;
    *point = QPointF(lon, lat);
    return Geo::isValidGeo(*point);
}

} // namespace

bool parse(const QString &text, QVector<QPointF> *points)
{
    points->clear();
    if (text.size() > ItemLimits::MaxGeometryChars)
        return false;

    const int size = text.size();
    int start = 0;
    while (start < size) {
        if (text.at(start) == QLatin1Char(' ')) {
            ++start;
            continue;
        }
        int end = text.indexOf(QLatin1Char(' '), start);
        if (end < 0)
            end = size;
        QPointF point;
        if (points->size() >= ItemLimits::MaxGeometryPoints
            || !parsePoint(text.midRef(start, end - start), &point)) {
            points->clear();
            return false;
        }
        points->append(point);
        start = end;
    }
    return !points->isEmpty();
}

} // namespace GeometryText
