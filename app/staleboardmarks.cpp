#include "staleboardmarks.h"

#include <QEvent>
#include <QGraphicsObject>
#include <QPainter>
#include <QSet>

#include "kernel/mapview.h"

namespace {

constexpr int RingRadius = 14;

} // namespace

bool isStalePosition(qint64 ageMs, int periodMs)
{
    return periodMs > 0 && ageMs >= 0 && ageMs > periodMs + periodMs / 4;
}

StaleBoardMarks::StaleBoardMarks(Road::MapView *view, std::function<QVector<QObject *>()> objects,
                                 std::function<qint64(const QString &)> positionAgeMs)
    : QWidget(view)
    , m_view(view)
    , m_boards(std::move(objects))
    , m_ageOf(std::move(positionAgeMs))
{
    setObjectName(QStringLiteral("staleBoardMarks"));
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setAttribute(Qt::WA_NoSystemBackground);
    setFocusPolicy(Qt::NoFocus);
    view->viewport()->installEventFilter(this);
    setGeometry(view->viewport()->geometry());
}

void StaleBoardMarks::setUpdatePeriod(int ms)
{
    m_periodMs = ms;
    refresh();
}

void StaleBoardMarks::refresh()
{
    QVector<Mark> marks;
    QSet<QObject *> seen;
    for (QObject *board : m_boards()) {
        auto *item = qobject_cast<QGraphicsObject *>(board);
        if (!item || !board->inherits("PrioVehicle") || seen.contains(board) || !item->isVisible()
            || !board->property("hasGeometry").toBool())
            continue;
        seen.insert(board);
        const QString name = board->property("name").toString();
        const qint64 age = m_ageOf(name);
        if (isStalePosition(age, m_periodMs))
            marks.append({board, name, age});
    }
    if (marks.isEmpty() && m_marks.isEmpty())
        return;
    m_marks = marks;
    update();
}

QStringList StaleBoardMarks::staleBoards() const
{
    QStringList names;
    for (const Mark &m : m_marks) {
        if (m.board)
            names << m.name;
    }
    return names;
}

bool StaleBoardMarks::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::Resize)
        setGeometry(m_view->viewport()->geometry());
    return QWidget::eventFilter(watched, event);
}

void StaleBoardMarks::paintEvent(QPaintEvent *)
{
    if (m_marks.isEmpty())
        return;
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QColor grey(110, 110, 110);
    for (const Mark &m : qAsConst(m_marks)) {
        auto *item = qobject_cast<QGraphicsObject *>(m.board.data());
        if (!item)
            continue;
        // The viewport lies inside the view at the same place as this widget.
        const QPoint at = m_view->mapFromScene(item->scenePos());
        if (!rect().adjusted(-RingRadius, -RingRadius, RingRadius, RingRadius).contains(at))
            continue;
        p.setPen(QPen(Qt::white, 4));
        p.setBrush(Qt::NoBrush);
        p.drawEllipse(at, RingRadius, RingRadius);
        p.setPen(QPen(grey, 2, Qt::DashLine));
        p.drawEllipse(at, RingRadius, RingRadius);
        const QString age = tr("%1 s").arg(m.ageMs / 1000);
        const QRect box = p.fontMetrics().boundingRect(age).adjusted(-3, -1, 3, 1).translated(at + QPoint(RingRadius + 2, -RingRadius));
        p.fillRect(box, QColor(255, 255, 255, 210));
        p.setPen(grey);
        p.drawText(box, Qt::AlignCenter, age);
    }
}
