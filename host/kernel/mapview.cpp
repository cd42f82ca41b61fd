#include "mapview.h"

#include <QScrollBar>
#include <QWheelEvent>
#include <QtMath>

#include <cmath>

namespace Road {

namespace {

// Web maps stop at this latitude; beyond it the stretch 1/cos(lat) runs away.
constexpr double MaxLatitude = 85.0;
// Zoom levels per wheel notch (a notch is 120 eighths of a degree).
constexpr double WheelStepLevels = 1.0;
// The view scrolls through int scroll bars: the scrollable scene window is kept below this
// many pixels on each axis.
constexpr double MaxScrollPixels = 1 << 30;

} // namespace

MapView::MapView(QWidget *parent)
    : QGraphicsView(parent)
{
    setDragMode(QGraphicsView::ScrollHandDrag);
    setTransformationAnchor(QGraphicsView::NoAnchor);
    setResizeAnchor(QGraphicsView::AnchorViewCenter);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setRenderHint(QPainter::Antialiasing);
    applyView(QPointF(0, 0));
}

double MapView::pixelsPerDegree(double zoom)
{
    return 256.0 * std::pow(2.0, zoom) / 360.0;
}

void MapView::setZoom(int zoom)
{
    m_exactZoom = qBound(MinZoom, zoom, MaxZoom);
    applyView(currentCentre());
}

void MapView::centreOn(const QPointF &lonLat)
{
    if (!std::isfinite(lonLat.x()) || !std::isfinite(lonLat.y()))
        return;
    applyView(lonLat);
}

void MapView::showRect(const QRectF &lonLatRect)
{
    const QRectF r = lonLatRect.normalized();
    if (!std::isfinite(r.left()) || !std::isfinite(r.top()) || !std::isfinite(r.width())
        || !std::isfinite(r.height()))
        return;
    const QPointF centre = r.center();
    const double stretch =
        1.0 / std::cos(qDegreesToRadians(qBound(-MaxLatitude, centre.y(), MaxLatitude)));
    // Zoom at which each extent exactly fills the viewport; the tighter one wins.
    double zoom = MaxZoom;
    if (r.width() > 0)
        zoom = std::min(zoom, std::log2(viewport()->width() * 360.0 / (256.0 * r.width())));
    if (r.height() > 0)
        zoom = std::min(zoom, std::log2(viewport()->height() * 360.0
                                        / (256.0 * r.height() * stretch)));
    m_exactZoom = qBound<double>(MinZoom, zoom, MaxZoom);
    applyView(centre);
}

void MapView::wheelEvent(QWheelEvent *event)
{
    const int delta = event->angleDelta().y();
    if (delta == 0) {
        event->ignore();
        return;
    }
    const QPointF anchor = viewportTransform().inverted().map(event->position());
    m_exactZoom = qBound<double>(MinZoom, m_exactZoom + delta / 120.0 * WheelStepLevels, MaxZoom);
    applyScale(anchor);
    event->accept();
}

QPointF MapView::currentCentre() const
{
    const QPointF middle(viewport()->width() / 2.0, viewport()->height() / 2.0);
    return viewportTransform().inverted().map(middle);
}

void MapView::applyScale(const QPointF &anchorScene)
{
    const QPointF anchorView = viewportTransform().map(anchorScene);
    const QPointF middle(viewport()->width() / 2.0, viewport()->height() / 2.0);
    const double lat = qBound(-MaxLatitude, currentCentre().y(), MaxLatitude);
    const double sx = pixelsPerDegree(m_exactZoom);
    const double sy = sx / std::cos(qDegreesToRadians(lat));
    // The centre that keeps the anchor where it is on screen; y runs upwards in the scene.
    applyView(QPointF(anchorScene.x() - (anchorView.x() - middle.x()) / sx,
                      anchorScene.y() + (anchorView.y() - middle.y()) / sy));
}

void MapView::applyView(const QPointF &centre)
{
    const QPointF c(qBound(-180.0, centre.x(), 180.0), qBound(-MaxLatitude, centre.y(), MaxLatitude));
    // North up and conformal around the centre: a degree of latitude is 1/cos(lat) times
    // as long as a degree of longitude there.
    const double sx = pixelsPerDegree(m_exactZoom);
    const double sy = sx / std::cos(qDegreesToRadians(c.y()));
    setTransform(QTransform::fromScale(sx, -sy));

    const double halfWidth = std::min(180.0, MaxScrollPixels / (2 * sx));
    const double halfHeight = std::min(MaxLatitude, MaxScrollPixels / (2 * sy));
    const QRectF world(-180.0, -MaxLatitude, 360.0, 2 * MaxLatitude);
    setSceneRect(QRectF(c.x() - halfWidth, c.y() - halfHeight, 2 * halfWidth, 2 * halfHeight)
                     .intersected(world));
    centerOn(c);

    const int level = int(std::floor(m_exactZoom + 1e-9));
    if (level != m_zoom) {
        m_zoom = level;
        emit zoomChanged(level);
    }
}

} // namespace Road
