#include "positiontimeline.h"

PositionTimeline::PositionTimeline(QWidget *parent)
    : TimelineWidget(parent)
{
    m_clock.start();
}

void PositionTimeline::putBoardData(const QString &boardName, const QString &routeId, const QDateTime &time,
                                    qreal offsetSeconds, bool hasPriority)
{
    m_lastArrival.insert(boardName, m_clock.elapsed());
    if (time.isValid() && (!m_latest.isValid() || time > m_latest))
        m_latest = time;
    TimelineWidget::putBoardData(boardName, routeId, time, offsetSeconds, hasPriority);
}

qint64 PositionTimeline::positionAgeMs(const QString &boardName) const
{
    const auto it = m_lastArrival.constFind(boardName);
    return it == m_lastArrival.constEnd() ? -1 : m_clock.elapsed() - *it;
}

void PositionTimeline::clear()
{
    m_lastArrival.clear();
    m_latest = QDateTime();
    TimelineWidget::clear();
}
