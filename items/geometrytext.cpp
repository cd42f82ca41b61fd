#include "geometrytext.h"

#include "geo.h"
#include "itemlimits.h"

#include <QStringRef>

#include <algorithm>
#include <charconv>

namespace GeometryText {

namespace {

// Longest number read without Qt: more digits than a double holds, and then some.
constexpr int MaxPlainNumberChars = 40;

// A number spelt as servers spell coordinates, [-]digits[.digits], read without Qt and
// correctly rounded, as Qt's reader is. False for any other spelling, which
// QString::toDouble then judges, so that what is accepted stays exactly what it accepts.
bool plainNumber(const QChar *begin, const QChar *end, double *value)
{
    const int size = int(end - begin);
    if (size == 0 || size > MaxPlainNumberChars)
        return false;
    const bool negative = begin[0] == QLatin1Char('-');
    quint64 mantissa = 0;
    int digits = 0;
    int decimals = 0;
    bool point = false;
    for (const QChar *c = begin + negative; c != end; ++c) {
        const ushort u = c->unicode();
        if (u >= '0' && u <= '9') {
            mantissa = mantissa * 10 + (u - '0'); // wraps beyond 19 digits: not used then
            ++digits;
            decimals += point;
        } else if (u == '.' && !point && digits > 0) {
            point = true;
        } else {
            return false;
        }
    }
    if (digits == 0 || (point && decimals == 0))
        return false;
    // Up to 15 digits the mantissa and the power of ten are exact doubles, and one
    // division rounds correctly; longer numbers go through std::from_chars.
    static constexpr double PowersOfTen[] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9, 1e10, 1e11,
                                             1e12, 1e13, 1e14, 1e15};
    if (digits <= 15) {
        const double magnitude = double(mantissa) / PowersOfTen[decimals];
        *value = negative ? -magnitude : magnitude;
        return true;
    }
    char text[MaxPlainNumberChars];
    for (int i = 0; i < size; ++i)
        text[i] = char(begin[i].unicode());
    const std::from_chars_result r = std::from_chars(text, text + size, *value);
    return r.ec == std::errc() && r.ptr == text + size;
}

double number(const QString &text, int from, int to, bool *ok)
{
    double value = 0;
    *ok = plainNumber(text.constData() + from, text.constData() + to, &value);
    if (*ok)
        return value;
    return text.midRef(from, to - from).toDouble(ok);
}

// The "lon,lat[,...]" token text[start, end).
bool parsePoint(const QString &text, int start, int end, QPointF *point)
{
    const QChar *const s = text.constData();
    int firstComma = start;
    while (firstComma < end && s[firstComma] != QLatin1Char(','))
        ++firstComma;
    if (firstComma == end)
        return false;
    int secondComma = firstComma + 1;
    while (secondComma < end && s[secondComma] != QLatin1Char(','))
        ++secondComma;
    bool okLon = false;
    bool okLat = false;
    const double lon = number(text, start, firstComma, &okLon);
    const double lat = number(text, firstComma + 1, secondComma, &okLat);
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

    // One point per space-separated token at most: reserved at once, the points are
    // neither copied as they grow nor kept with room to spare.
    points->reserve(std::min(int(text.count(QLatin1Char(' '))) + 1, ItemLimits::MaxGeometryPoints));
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
        if (points->size() >= ItemLimits::MaxGeometryPoints || !parsePoint(text, start, end, &point)) {
            points->clear();
            return false;
        }
        points->append(point);
        start = end;
    }
    return !points->isEmpty();
}

} // namespace GeometryText
