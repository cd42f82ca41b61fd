#pragma once

#include <QGraphicsObject>
#include <QObject>
#include <QPointer>
#include <QPolygonF>

class JsonRpcObject;

namespace Road {
class MapView;
}

// The last positions of a followed board, drawn under it as a fading line.
class FollowTrail : public QGraphicsObject
{
    Q_OBJECT
public:
    explicit FollowTrail(QGraphicsItem *parent = nullptr);

    void setPoints(const QPolygonF &points);
    QPolygonF points() const { return m_points; }

    QRectF boundingRect() const override;
    void paint(QPainter *painter, const QStyleOptionGraphicsItem *option, QWidget *widget) override;

private:
    QPolygonF m_points;
};

// Keeps one board in the middle of the map as its positions come in, with a short trail of
// where it was. Dragging the map, or the board going away, ends the following.
class BoardFollower : public QObject
{
    Q_OBJECT
public:
    BoardFollower(Road::MapView *view, JsonRpcObject *client);
    ~BoardFollower() override;

    // Null stops following.
    void follow(QObject *board);
    QObject *board() const { return m_board.data(); }
    QPolygonF trail() const { return m_trail; }

    // Positions the trail keeps.
    static constexpr int TrailLength = 20;

signals:
    void followingChanged(QObject *board);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void onNotification(const QString &method, const QVariant &params);
    void moved();

    Road::MapView *m_view;
    QPointer<QObject> m_board;
    QString m_name;
    QPolygonF m_trail;
    QPointer<FollowTrail> m_trailItem;
    QPoint m_pressAt;
    bool m_pressed = false;
};
