#include "timelinewidget.h"

#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>

namespace {

// Offset axis steps, in seconds: the first that gives at most about five lines each way.
constexpr int OffsetSteps[] = {5, 10, 15, 30, 60, 120, 300, 600, 900, 1800, 3600};
constexpr int TimeStepSeconds = 60;
constexpr int LegendRows = 8;

// The n-th board seen: hues a golden angle apart, so that boards next to each other differ
// most, in three lightnesses that read on a white plot.
QColor boardColour(int n)
{
    const double hue = std::fmod(n * 137.508, 360.0) / 360.0;
    constexpr double Lightness[] = {0.38, 0.30, 0.46};
    return QColor::fromHslF(hue, 0.85, Lightness[(n / 7) % 3]);
}

QString offsetLabel(int seconds, bool inMinutes)
{
    const QString sign = seconds > 0 ? QStringLiteral("+") : seconds < 0 ? QStringLiteral("\u2212")
                                                                         : QString();
    const int magnitude = std::abs(seconds);
    if (magnitude == 0)
        return QStringLiteral("0");
    return inMinutes ? TimelineWidget::tr("%1%2 min").arg(sign).arg(magnitude / 60)
                     : TimelineWidget::tr("%1%2 s").arg(sign).arg(magnitude);
}

} // namespace

TimelineWidget::TimelineWidget(QWidget *parent)
    : QWidget(parent)
{
    setMinimumSize(320, 160);
}

void TimelineWidget::putBoardData(const QString &boardName, const QString &routeId,
                                  const QDateTime &time, qreal offsetSeconds, bool hasPriority)
{
    if (boardName.isEmpty() || !time.isValid() || !std::isfinite(offsetSeconds))
        return;
    if (m_newest.isValid() && time < m_newest.addSecs(-WindowSeconds))
        return;
    if (!m_samples.contains(boardName) && m_samples.size() >= MaxBoards)
        return;

    QVector<Sample> &list = m_samples[boardName];
    // Positions may arrive slightly out of order; the lines are drawn in time order.
    const auto at = std::upper_bound(list.begin(), list.end(), time,
                                     [](const QDateTime &t, const Sample &s) { return t < s.time; });
    list.insert(at, Sample{time, offsetSeconds, hasPriority});
    if (list.size() > MaxSamplesPerBoard)
        list.erase(list.begin(), list.begin() + (list.size() - MaxSamplesPerBoard));
    m_routes.insert(boardName, routeId);
    if (!m_colourIndex.contains(boardName))
        m_colourIndex.insert(boardName, m_nextColour++);

    if (!m_newest.isValid() || time > m_newest) {
        m_newest = time;
        dropOldSamples();
    }
    update();
}

void TimelineWidget::clear()
{
    m_samples.clear();
    m_routes.clear();
    m_colourIndex.clear();
    m_nextColour = 0;
    m_newest = QDateTime();
    update();
}

void TimelineWidget::dropOldSamples()
{
    const QDateTime cutoff = m_newest.addSecs(-WindowSeconds);
    for (auto it = m_samples.begin(); it != m_samples.end();) {
        QVector<Sample> &list = it.value();
        const auto keep = std::lower_bound(list.begin(), list.end(), cutoff,
                                           [](const Sample &s, const QDateTime &t) { return s.time < t; });
        list.erase(list.begin(), keep);
        if (list.isEmpty()) {
            m_routes.remove(it.key());
            m_colourIndex.remove(it.key());
            it = m_samples.erase(it);
        } else {
            ++it;
        }
    }
}

void TimelineWidget::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.fillRect(rect(), palette().base());
    p.setPen(palette().text().color());
    const QFontMetrics fm(font());

    if (m_newest.isValid() == false || m_samples.isEmpty()) {
        p.drawText(rect(), Qt::AlignCenter, tr("No board data"));
        return;
    }

    // Offset range: symmetric about zero, whole steps, at least one minute each way.
    double largest = 60.0;
    for (const QVector<Sample> &list : m_samples) {
        for (const Sample &s : list)
            largest = std::max(largest, std::abs(double(s.offset)));
    }
    int step = OffsetSteps[std::size(OffsetSteps) - 1];
    for (int candidate : OffsetSteps) {
        if (largest / candidate <= 5) {
            step = candidate;
            break;
        }
    }
    const double range = std::ceil(largest / step) * step;
    const bool inMinutes = step >= 60;

    const int left = fm.horizontalAdvance(offsetLabel(-int(range), inMinutes)) + 10;
    const int top = fm.height() + 6;
    const int bottom = fm.height() + 8;
    const QRectF plot = QRectF(rect()).adjusted(left, top, -10, -bottom);
    if (plot.width() < 20 || plot.height() < 20)
        return;

    // The time axis spans the data, from a minute up to the whole window, so that the first
    // minutes of data fill the plot instead of a sliver at its right edge.
    QDateTime oldest = m_newest;
    for (const QVector<Sample> &list : m_samples) {
        if (!list.isEmpty() && list.first().time < oldest)
            oldest = list.first().time;
    }
    const qint64 spanMs = qBound<qint64>(60 * 1000, oldest.msecsTo(m_newest), WindowSeconds * 1000LL);
    const QDateTime start = m_newest.addMSecs(-spanMs);
    auto xOf = [&](const QDateTime &t) { return plot.left() + plot.width() * start.msecsTo(t) / double(spanMs); };
    auto yOf = [&](double offset) { return plot.center().y() - offset / range * plot.height() / 2; };

    const QColor grid = palette().mid().color();
    const QColor text = palette().text().color();

    p.drawText(QRectF(0, 0, width(), top), Qt::AlignLeft | Qt::AlignVCenter,
               tr("Schedule offset, late up"));

    // Offset grid and labels.
    for (int v = -int(range); v <= int(range); v += step) {
        const double y = yOf(v);
        p.setPen(QPen(v == 0 ? text : grid, v == 0 ? 1.5 : 1.0, v == 0 ? Qt::SolidLine : Qt::DotLine));
        p.drawLine(QPointF(plot.left(), y), QPointF(plot.right(), y));
        p.setPen(text);
        p.drawText(QRectF(0, y - fm.height() / 2.0, left - 6, fm.height()),
                   Qt::AlignRight | Qt::AlignVCenter, offsetLabel(v, inMinutes));
    }

    // Time grid on whole minutes, labels where they do not collide.
    const qint64 startSecs = start.toSecsSinceEpoch();
    qint64 tick = (startSecs / TimeStepSeconds + 1) * TimeStepSeconds;
    double lastLabelRight = -1e9;
    for (; tick <= m_newest.toSecsSinceEpoch(); tick += TimeStepSeconds) {
        const QDateTime t = QDateTime::fromSecsSinceEpoch(tick, m_newest.timeSpec(),
                                                          m_newest.offsetFromUtc());
        const double x = xOf(t);
        p.setPen(QPen(grid, 1.0, Qt::DotLine));
        p.drawLine(QPointF(x, plot.top()), QPointF(x, plot.bottom()));
        const QString label = t.toString(QStringLiteral("HH:mm"));
        const double w = fm.horizontalAdvance(label);
        if (x - w / 2 > lastLabelRight + 6 && x + w / 2 <= width()) {
            p.setPen(text);
            p.drawText(QRectF(x - w / 2, plot.bottom() + 4, w, fm.height()), Qt::AlignCenter, label);
            lastLabelRight = x + w / 2;
        }
    }
    p.setPen(QPen(text, 1.0));
    p.drawRect(plot);

    // One line per board; samples with an active priority request get a dot.
    p.setRenderHint(QPainter::Antialiasing);
    p.setClipRect(plot);
    QStringList names = m_samples.keys();
    names.sort();
    for (const QString &name : qAsConst(names)) {
        const QVector<Sample> &list = m_samples[name];
        const QColor colour = boardColour(m_colourIndex.value(name));
        QPainterPath path;
        for (int i = 0; i < list.size(); ++i) {
            const QPointF pt(xOf(list[i].time), yOf(list[i].offset));
            if (i == 0)
                path.moveTo(pt);
            else
                path.lineTo(pt);
        }
        p.setPen(QPen(colour, 1.5));
        p.setBrush(Qt::NoBrush);
        p.drawPath(path);
        p.setBrush(colour);
        p.setPen(Qt::NoPen);
        for (const Sample &s : list) {
            if (s.priority)
                p.drawEllipse(QPointF(xOf(s.time), yOf(s.offset)), 3, 3);
        }
    }

    // Legend: the first boards by name, in their colours, as many as fit in the plot.
    p.setClipping(false);
    const int fitting = std::max(1, int((plot.height() - 6) / fm.height()) - 1);
    const int shownRows = std::min({int(names.size()), LegendRows, fitting});
    const int legendRows = shownRows + (names.size() > shownRows ? 1 : 0);
    int legendWidth = 0;
    // The plug-in sends route "0" for a board on no route.
    const auto legendLabel = [this](const QString &name) {
        const QString route = m_routes.value(name);
        return route.isEmpty() || route == QLatin1String("0") ? tr("%1 (no route)").arg(name)
                                                               : tr("%1 (route %2)").arg(name, route);
    };
    for (int i = 0; i < shownRows; ++i)
        legendWidth = std::max(legendWidth, fm.horizontalAdvance(legendLabel(names[i])));
    QColor veil = palette().base().color();
    veil.setAlpha(200);
    p.fillRect(QRectF(plot.left() + 2, plot.top() + 2, std::min<double>(legendWidth + 8, plot.width() - 4),
                      legendRows * fm.height() + 4),
               veil);
    double y = plot.top() + 4;
    for (int i = 0; i < shownRows; ++i) {
        p.setPen(boardColour(m_colourIndex.value(names[i])));
        p.drawText(QRectF(plot.left() + 6, y, plot.width() - 12, fm.height()),
                   Qt::AlignLeft | Qt::AlignVCenter, legendLabel(names[i]));
        y += fm.height();
    }
    if (names.size() > shownRows) {
        p.setPen(text);
        p.drawText(QRectF(plot.left() + 6, y, plot.width() - 12, fm.height()),
                   Qt::AlignLeft | Qt::AlignVCenter, tr("and %n more", nullptr, names.size() - shownRows));
    }
}
