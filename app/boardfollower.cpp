#include "boardfollower.h"

#include <QApplication>
#include <QGraphicsScene>
#include <QMouseEvent>
#include <QPainter>
#include <QVariantMap>

#include "jsonrpc/jsonrpcobject.h"
#include "kernel/mapview.h"
#include "mapobject.h"

namespace {

// Under the map's layers (the first one stacks at 1), so that the board is drawn over its
// own trail.
constexpr double TrailZ = 0.0;

} // namespace

FollowTrail::FollowTrail(QGraphicsItem *parent)
    : QGraphicsObject(parent)
{
    setZValue(TrailZ);
    setAcceptedMouseButtons(Qt::NoButton);
}

void FollowTrail::setPoints(const QPolygonF &points)
{
    prepareGeometryChange();
    m_points = points;
    update();
}

QRectF FollowTrail::boundingRect() const
{
    return m_points.boundingRect();
}

void FollowTrail::paint(QPainter *painter, const QStyleOptionGraphicsItem *, QWidget *)
{
    // Older stretches fainter; the pen is cosmetic, so the line keeps its width at every zoom.
    for (int i = 1; i < m_points.size(); ++i) {
        QColor colour(0x15, 0x4f, 0xc0);
        colour.setAlphaF(0.35 + 0.6 * i / m_points.size());
        QPen pen(colour, 5);
        pen.setCosmetic(true);
        pen.setCapStyle(Qt::RoundCap);
        painter->setPen(pen);
        painter->drawLine(m_points.at(i - 1), m_points.at(i));
    }
}

BoardFollower::BoardFollower(Road::MapView *view, JsonRpcObject *client)
    : QObject(view)
    , m_view(view)
{
    // Queued: the plug-in moves the board on the same notification first.
    connect(client, &JsonRpcObject::notification, this, &BoardFollower::onNotification, Qt::QueuedConnection);
    view->viewport()->installEventFilter(this);
}

BoardFollower::~BoardFollower()
{
    delete m_trailItem.data();
}

void BoardFollower::follow(QObject *board)
{
    const MapObjectRef ref = MapObjectRef::of(board);
    if (ref.kind != MapObjectRef::Board)
        board = nullptr;
    if (board == m_board && (board || m_name.isEmpty()))
        return;
    m_board = board;
    m_name = board ? ref.name : QString();
    m_trail.clear();
    delete m_trailItem.data();
    if (board) {
        m_trailItem = new FollowTrail;
        m_view->scene()->addItem(m_trailItem);
        moved();
    }
    emit followingChanged(board);
}

void BoardFollower::onNotification(const QString &method, const QVariant &params)
{
    if (m_name.isEmpty() || method != QLatin1String("BoardsServer.boardPosition")
        || params.toMap().value(QStringLiteral("board_name")).toString() != m_name)
        return;
    if (!m_board) {
        follow(nullptr);
        return;
    }
    moved();
}

void BoardFollower::moved()
{
    const std::optional<QRectF> at = mapBounds(m_board);
    if (!at)
        return;
    const QPointF point = at->center();
    if (m_trail.isEmpty() || m_trail.constLast() != point) {
        m_trail.append(point);
        if (m_trail.size() > TrailLength)
            m_trail.remove(0, m_trail.size() - TrailLength);
        if (m_trailItem)
            m_trailItem->setPoints(m_trail);
    }
    m_view->centreOn(point);
}

bool BoardFollower::eventFilter(QObject *watched, QEvent *event)
{
    // The operator dragging the map takes it over.
    if (m_board && event->type() == QEvent::MouseButtonPress) {
        auto *mouse = static_cast<QMouseEvent *>(event);
        m_pressed = mouse->button() == Qt::LeftButton;
        m_pressAt = mouse->pos();
    } else if (m_board && m_pressed && event->type() == QEvent::MouseMove) {
        auto *mouse = static_cast<QMouseEvent *>(event);
        if ((mouse->pos() - m_pressAt).manhattanLength() >= QApplication::startDragDistance()) {
            m_pressed = false;
            follow(nullptr);
        }
    } else if (event->type() == QEvent::MouseButtonRelease) {
        m_pressed = false;
    }
    return QObject::eventFilter(watched, event);
}
