#pragma once

#include <QPointer>
#include <QStringList>
#include <QVector>
#include <QWidget>

#include <functional>

namespace Road {
class MapView;
}

// Boards whose last position is older than the server's update period, marked on the map
// as the object tree marks them: a grey dashed ring round the board and the age of its
// position. The marks lie over the map (the plug-in's items stay as they are) and let every
// mouse event through; refresh() takes the boards among the objects and their ages afresh.
class StaleBoardMarks : public QWidget
{
    Q_OBJECT
public:
    StaleBoardMarks(Road::MapView *view, std::function<QVector<QObject *>()> objects,
                    std::function<qint64(const QString &)> positionAgeMs);

    // 0 or less: no position counts as stale (a replay standing still).
    void setUpdatePeriod(int ms);
    void refresh();
    // The boards marked now, by name.
    QStringList staleBoards() const;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    struct Mark
    {
        QPointer<QObject> board;
        QString name;
        qint64 ageMs;
    };
    Road::MapView *m_view;
    std::function<QVector<QObject *>()> m_boards;
    std::function<qint64(const QString &)> m_ageOf;
    int m_periodMs = 1000;
    QVector<Mark> m_marks;
};

// A position this old is stale when the server updates every periodMs: older than the
// period with a quarter more for jitter. Never for a period of 0 or less, nor for no
// position (age -1).
bool isStalePosition(qint64 ageMs, int periodMs);
