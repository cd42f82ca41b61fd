#pragma once

#include <QElapsedTimer>
#include <QHash>

#include "kernel/timelinewidget.h"

// The demo's timeline: plots the offsets as any timeline does, and remembers when each
// board's last position arrived, so that the object tree can show boards gone quiet.
// The plug-in finds this class's putBoardData first, by name, as it calls it.
class PositionTimeline : public TimelineWidget
{
    Q_OBJECT
public:
    explicit PositionTimeline(QWidget *parent = nullptr);

    Q_INVOKABLE void putBoardData(const QString &boardName, const QString &routeId, const QDateTime &time,
                                  qreal offsetSeconds, bool hasPriority);

    // Forgets every board, for a new session.
    void clear();

    // Milliseconds since the board's last position arrived; -1 when none has.
    qint64 positionAgeMs(const QString &boardName) const;
    // When the newest position was taken, by the server's clock; invalid before the first.
    QDateTime latestPositionTime() const { return m_latest; }

private:
    QElapsedTimer m_clock;
    QHash<QString, qint64> m_lastArrival;
    QDateTime m_latest;
};
