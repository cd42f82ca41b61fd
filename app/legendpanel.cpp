#include "legendpanel.h"

#include <QGraphicsObject>
#include <QGridLayout>
#include <QLabel>
#include <QPainter>
#include <QStyleOptionGraphicsItem>
#include <QtMath>

#include <cmath>

#include "mapobject.h"

namespace {

const QSize SampleSize(56, 30);
// A piece of a route this long (metres) shows its band and arrows.
constexpr double RouteWindowMetres = 30.0;
constexpr double MetresPerDegreeAtEquator = 6378137.0 * M_PI / 180.0;

// Paints a live item into a sample: the part of the scene in window (degrees; north up,
// conformal as the map is) scaled into the sample; boards, drawn in pixels, at their size.
QPixmap paintSample(QGraphicsObject *item, const QRectF &window)
{
    QPixmap pixmap(SampleSize * 2);
    pixmap.setDevicePixelRatio(2.0);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF target = QRectF(QPointF(0, 0), SampleSize).adjusted(3, 3, -3, -3);
    QStyleOptionGraphicsItem option;
    if (item->flags() & QGraphicsItem::ItemIgnoresTransformations) {
        p.translate(target.center());
        p.scale(0.8, 0.8);
    } else {
        const double stretch = 1.0 / std::cos(qDegreesToRadians(qBound(-85.0, window.center().y(), 85.0)));
        const double scale = std::min(target.width() / window.width(), target.height() / (window.height() * stretch));
        p.translate(target.center());
        p.scale(scale, -scale * stretch);
        // Into the item's own coordinates: a sector sits at its centre, a line zone at the
        // origin.
        p.translate(item->scenePos() - window.center());
    }
    option.exposedRect = item->boundingRect();
    p.setPen(QPen(Qt::black, 1));
    item->paint(&p, &option, nullptr);
    return pixmap;
}

QRectF routeWindow(QGraphicsObject *route)
{
    const QPainterPath outline = route->shape();
    if (outline.isEmpty())
        return QRectF();
    const QPointF at = route->mapToScene(outline.pointAtPercent(0.3));
    const double lonSpan = RouteWindowMetres / (MetresPerDegreeAtEquator * std::cos(qDegreesToRadians(at.y())));
    return QRectF(at.x() - lonSpan / 2, at.y() - lonSpan / 4, lonSpan, lonSpan / 2);
}

} // namespace

LegendPanel::LegendPanel(const ObjectLooks *looks, std::function<QVector<QObject *>()> objects, QWidget *parent)
    : QWidget(parent)
    , m_looks(looks)
    , m_objects(std::move(objects))
    , m_lines(RowCount)
    , m_grid(new QGridLayout(this))
{
    m_grid->setColumnStretch(2, 1);
    const auto board = [](ObjectLooks::BoardState state) { return ObjectLooks::boardIcon(state, false); };
    const auto car = [](ObjectLooks::BoardState state) { return ObjectLooks::boardIcon(state, true); };
    addHeading(tr("Boards: on the map, in the tree (bus, emergency car), how many"));
    addLine(BoardOnRoute, tr("On its route"), board(ObjectLooks::BoardOnRoute), car(ObjectLooks::BoardOnRoute));
    addLine(BoardOffRoute, tr("Off its route"), board(ObjectLooks::BoardOffRoute), car(ObjectLooks::BoardOffRoute));
    addLine(BoardNoRoute, tr("On no route"), board(ObjectLooks::BoardNoRoute), car(ObjectLooks::BoardNoRoute));
    addLine(BoardPriority, tr("Has priority"), board(ObjectLooks::BoardPriority),
            car(ObjectLooks::BoardPriority));
    addLine(BoardLocked, tr("Locked"), board(ObjectLooks::BoardLocked), car(ObjectLooks::BoardLocked));
    addLine(BoardNoPosition, tr("No position yet"), board(ObjectLooks::BoardNoPosition),
            car(ObjectLooks::BoardNoPosition));
    addLine(BoardLoggedOut, tr("Not logged in"), board(ObjectLooks::BoardLoggedOut),
            car(ObjectLooks::BoardLoggedOut));
    auto *shapes = new QLabel(tr("A pin points where the board heads, a circle means it stands; boards without a "
                                 "position or not logged in are not drawn."),
                              this);
    shapes->setWordWrap(true);
    m_grid->addWidget(shapes, m_grid->rowCount(), 0, 1, 4);

    addHeading(tr("Detectors"));
    addLine(DetectorIdle, tr("Idle (drawn zoomed in)"));
    addLine(DetectorInside, tr("A vehicle inside"));
    addLine(DetectorActive, tr("Active: asks for priority"));
    addLine(DetectorLocked, tr("Locked: reports nothing"));
    addLine(DetectorSector, tr("Emergency-call sector"));
    addHeading(tr("Routes"));
    addLine(Route, tr("Route (arrows: direction)"));
    addLine(RouteLocked, tr("Locked route"));
    m_grid->setRowStretch(m_grid->rowCount(), 1);

    m_timer.setInterval(RefreshMs);
    connect(&m_timer, &QTimer::timeout, this, &LegendPanel::refresh);
}

void LegendPanel::addHeading(const QString &text)
{
    auto *label = new QLabel(QStringLiteral("<b>%1</b>").arg(text.toHtmlEscaped()), this);
    label->setWordWrap(true);
    m_grid->addWidget(label, m_grid->rowCount(), 0, 1, 4);
}

void LegendPanel::addLine(Row row, const QString &text, const QIcon &icon, const QIcon &emergencyIcon)
{
    const int at = m_grid->rowCount();
    Line &line = m_lines[row];
    line.sample = new QLabel(this);
    line.sample->setObjectName(QStringLiteral("sample%1").arg(int(row)));
    line.sample->setFixedSize(SampleSize);
    line.sample->setAlignment(Qt::AlignCenter);
    m_grid->addWidget(line.sample, at, 0);
    if (!icon.isNull()) {
        auto *icons = new QLabel(this);
        QPixmap both(2 * 24 + 4, 24);
        both.fill(Qt::transparent);
        QPainter p(&both);
        icon.paint(&p, QRect(0, 0, 24, 24));
        emergencyIcon.paint(&p, QRect(28, 0, 24, 24));
        p.end();
        icons->setPixmap(both);
        m_grid->addWidget(icons, at, 1);
    }
    auto *label = new QLabel(text, this);
    label->setWordWrap(true);
    m_grid->addWidget(label, at, 2);
    line.count = new QLabel(this);
    line.count->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    m_grid->addWidget(line.count, at, 3);
}

bool LegendPanel::hasSample(Row row) const
{
    return m_lines.at(row).sampled;
}

int LegendPanel::count(Row row) const
{
    return m_lines.at(row).boards;
}

void LegendPanel::refresh()
{
    QGraphicsObject *samples[RowCount] = {};
    int boards[RowCount] = {};
    const auto offer = [&samples](Row row, QObject *object) {
        auto *item = qobject_cast<QGraphicsObject *>(object);
        // An unselected one looks as most do.
        if (item && mapBounds(object) && (!samples[row] || (samples[row]->isSelected() && !item->isSelected())))
            samples[row] = item;
    };
    for (QObject *object : m_objects()) {
        const MapObjectRef ref = MapObjectRef::of(object);
        if (ref.kind == MapObjectRef::Board) {
            const ObjectLooks::BoardState state = m_looks->boardState(object);
            if (state == ObjectLooks::BoardUnknown)
                continue;
            // In the order of ObjectLooks::BoardState.
            const Row rows[] = {BoardLocked, BoardPriority, BoardOnRoute, BoardOffRoute, BoardNoRoute, BoardNoPosition, BoardLoggedOut};
            ++boards[rows[state]];
            offer(rows[state], object);
        } else if (ref.kind == MapObjectRef::Detector) {
            auto *item = qobject_cast<QGraphicsObject *>(object);
            if (item && !item->pos().isNull()) {
                offer(DetectorSector, object);
                continue;
            }
            // In the order of ObjectLooks::DetectorState.
            const Row rows[] = {DetectorLocked, DetectorActive, DetectorInside, DetectorIdle};
            const ObjectLooks::DetectorState state = m_looks->detectorState(object);
            if (state != ObjectLooks::DetectorUnknown)
                offer(rows[state], object);
        } else if (ref.kind == MapObjectRef::Route) {
            offer(ref.locked ? RouteLocked : Route, object);
        }
    }
    for (int row = 0; row < RowCount; ++row) {
        Line &line = m_lines[row];
        QGraphicsObject *item = samples[row];
        const bool isBoardRow = row <= BoardLoggedOut;
        line.boards = isBoardRow ? boards[row] : -1;
        line.count->setText(isBoardRow ? QString::number(boards[row]) : QString());
        line.sampled = item != nullptr;
        if (!item) {
            line.sample->setPixmap(QPixmap());
            const bool drawn = row != BoardNoPosition && row != BoardLoggedOut;
            line.sample->setText(drawn ? QStringLiteral("–") : QString());
            line.sample->setToolTip(drawn ? tr("Nothing on the map looks like this now") : QString());
            continue;
        }
        const QRectF window = row >= Route ? routeWindow(item) : *mapBounds(item);
        line.sample->setPixmap(paintSample(item, window));
        line.sample->setToolTip(tr("As the map shows %1 now").arg(MapObjectRef::of(item).title()));
    }
}

void LegendPanel::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    refresh();
    m_timer.start();
}

void LegendPanel::hideEvent(QHideEvent *event)
{
    QWidget::hideEvent(event);
    m_timer.stop();
}
