#pragma once

#include <QDateTime>
#include <QHash>
#include <QVector>
#include <QWidget>

#include "roadkernel.h"

// Plots every board's schedule offset (seconds late, positive up) over time.
// Boards register with the priority plug-in, which calls putBoardData for each position.
class ROAD_KERNEL_EXPORT TimelineWidget : public QWidget
{
    Q_OBJECT
public:
    struct Sample
    {
        QDateTime time;
        qreal offset;
        bool priority;
    };

    explicit TimelineWidget(QWidget *parent = nullptr);

    Q_INVOKABLE void putBoardData(const QString &boardName, const QString &routeId,
                                  const QDateTime &time, qreal offsetSeconds, bool hasPriority);

    int boardCount() const { return m_samples.size(); }
    QVector<Sample> samples(const QString &boardName) const { return m_samples.value(boardName); }
    QString routeOf(const QString &boardName) const { return m_routes.value(boardName); }
    void clear();

    // Samples older than this, relative to the newest, are dropped.
    static constexpr int WindowSeconds = 600;
    // At most this many samples are kept per board.
    static constexpr int MaxSamplesPerBoard = 2000;
    // Boards beyond this many (within the window) are not plotted.
    static constexpr int MaxBoards = 1000;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    void dropOldSamples();
    QHash<QString, QVector<Sample>> m_samples;
    QHash<QString, QString> m_routes;
    // Boards in the order they were first seen, which picks their colours.
    QHash<QString, int> m_colourIndex;
    int m_nextColour = 0;
    QDateTime m_newest;
};
