#include "mapoverlay.h"

#include <QEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QScrollBar>
#include <QtMath>

#include <cmath>

#include "kernel/mapview.h"

namespace {

// Metres in a degree of longitude at the equator on the sphere the map is drawn on.
constexpr double MetresPerDegreeAtEquator = 6378137.0 * M_PI / 180.0;
constexpr int Margin = 10;

void drawBoxedText(QPainter &p, const QRect &box, int flags, const QString &text)
{
    QColor veil(255, 255, 255, 200);
    const QRect r = p.fontMetrics().boundingRect(box, flags, text).adjusted(-4, -2, 4, 2);
    p.fillRect(r, veil);
    p.setPen(Qt::black);
    p.drawText(box, flags, text);
}

} // namespace

double niceScaleMetres(double metresPerPixel, int maxPixels)
{
    if (!(metresPerPixel > 0.0) || !std::isfinite(metresPerPixel) || maxPixels <= 0)
        return 0.0;
    const double most = metresPerPixel * maxPixels;
    double power = std::pow(10.0, std::floor(std::log10(most)));
    for (; power > 0.0; power /= 10.0) {
        for (double step : {5.0, 2.0, 1.0}) {
            if (step * power <= most)
                return step * power;
        }
    }
    return 0.0;
}

QString scaleLabel(double metres)
{
    if (metres >= 1000.0)
        return QObject::tr("%1 km").arg(metres / 1000.0);
    if (metres >= 1.0)
        return QObject::tr("%1 m").arg(metres);
    return QObject::tr("%1 cm").arg(metres * 100.0);
}

MapOverlay::MapOverlay(Road::MapView *view)
    : QWidget(view)
    , m_view(view)
{
    setObjectName(QStringLiteral("mapOverlay"));
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setAttribute(Qt::WA_NoSystemBackground);
    setFocusPolicy(Qt::NoFocus);
    view->viewport()->installEventFilter(this);
    view->viewport()->setMouseTracking(true);
    setGeometry(view->viewport()->geometry());
    const auto refresh = [this] {
        updateScale();
        update();
    };
    connect(view, &Road::MapView::zoomChanged, this, refresh);
    // The scale changes with the latitude as the map moves north or south.
    connect(view->verticalScrollBar(), &QScrollBar::valueChanged, this, refresh);
    connect(view->horizontalScrollBar(), &QScrollBar::valueChanged, this, refresh);
    raise();
    updateScale();
}

void MapOverlay::setFollowing(const QString &text)
{
    m_following = text;
    update();
}

QString MapOverlay::cursorText() const
{
    if (!m_cursorInside)
        return QString();
    const QPointF at = m_view->mapToScene(m_cursor);
    return tr("%1° %2, %3° %4")
        .arg(std::abs(at.y()), 0, 'f', 5)
        .arg(at.y() >= 0 ? tr("N") : tr("S"))
        .arg(std::abs(at.x()), 0, 'f', 5)
        .arg(at.x() >= 0 ? tr("E") : tr("W"));
}

void MapOverlay::updateScale()
{
    const QPointF centre = m_view->mapToScene(m_view->viewport()->rect().center());
    const double pixelsPerDegree = std::hypot(m_view->transform().m11(), m_view->transform().m12());
    const double metresPerPixel = MetresPerDegreeAtEquator * std::cos(qDegreesToRadians(centre.y())) / pixelsPerDegree;
    m_scaleMetres = niceScaleMetres(metresPerPixel, MaxScalePixels);
    m_scalePixels = m_scaleMetres > 0.0 ? int(std::lround(m_scaleMetres / metresPerPixel)) : 0;
}

bool MapOverlay::eventFilter(QObject *watched, QEvent *event)
{
    switch (event->type()) {
    case QEvent::Resize:
        setGeometry(m_view->viewport()->geometry());
        updateScale();
        break;
    case QEvent::MouseMove:
        m_cursor = static_cast<QMouseEvent *>(event)->pos();
        m_cursorInside = true;
        update();
        break;
    case QEvent::Leave:
        m_cursorInside = false;
        update();
        break;
    default:
        break;
    }
    return QWidget::eventFilter(watched, event);
}

void MapOverlay::paintEvent(QPaintEvent *)
{
    // Whatever moved the map, the scale is the one drawn under it now.
    updateScale();
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRect area = rect().adjusted(Margin, Margin, -Margin, -Margin);

    // Scale bar, bottom left: a bar with end ticks and its length above it.
    if (m_scalePixels > 0) {
        const QPoint origin(area.left(), area.bottom() - 4);
        const QString label = scaleLabel(m_scaleMetres);
        drawBoxedText(p, QRect(origin.x(), origin.y() - 24, MaxScalePixels + 40, 18), Qt::AlignLeft | Qt::AlignBottom, label);
        p.fillRect(QRect(origin.x() - 2, origin.y() - 5, m_scalePixels + 4, 9), QColor(255, 255, 255, 200));
        p.setPen(QPen(Qt::black, 2));
        p.drawLine(origin, origin + QPoint(m_scalePixels, 0));
        p.drawLine(origin + QPoint(0, -4), origin + QPoint(0, 3));
        p.drawLine(origin + QPoint(m_scalePixels, -4), origin + QPoint(m_scalePixels, 3));
    }

    // North mark, top right: the map is always drawn north up.
    const QPointF tip(area.right() - 14, area.top() + 4);
    QPainterPath arrow;
    arrow.moveTo(tip);
    arrow.lineTo(tip + QPointF(9, 26));
    arrow.lineTo(tip + QPointF(0, 20));
    arrow.lineTo(tip + QPointF(-9, 26));
    arrow.closeSubpath();
    p.setPen(QPen(Qt::white, 3));
    p.drawPath(arrow);
    p.setPen(QPen(Qt::black, 1));
    p.setBrush(Qt::black);
    p.drawPath(arrow);
    QFont bold = font();
    bold.setBold(true);
    p.setFont(bold);
    drawBoxedText(p, QRect(int(tip.x()) - 20, int(tip.y()) + 28, 40, 16), Qt::AlignHCenter | Qt::AlignTop, tr("N"));
    p.setFont(font());

    const QString cursor = cursorText();
    if (!cursor.isEmpty())
        drawBoxedText(p, area, Qt::AlignRight | Qt::AlignBottom, cursor);
    if (!m_following.isEmpty())
        drawBoxedText(p, area, Qt::AlignLeft | Qt::AlignTop, m_following);
}
