#pragma once

#include <QGraphicsView>

#include "roadkernel.h"

namespace Road {

// The map view: north up, wheel zoom about the cursor, drag to pan.
// Zoom levels are those of web maps: at level z a full turn of longitude is 256 * 2^z
// pixels wide. zoomChanged(int) reports the integer level whenever it changes.
class ROAD_KERNEL_EXPORT MapView : public QGraphicsView
{
    Q_OBJECT
    // The current level, -1 until the view first has one; what map plug-ins read on binding.
    Q_PROPERTY(int zoom READ zoom WRITE setZoom NOTIFY zoomChanged)
public:
    static constexpr int MinZoom = 2;
    static constexpr int MaxZoom = 21;

    explicit MapView(QWidget *parent = nullptr);

    int zoom() const { return m_zoom; }
    // Pixels per degree of longitude at a zoom level.
    static double pixelsPerDegree(double zoom);

public slots:
    void setZoom(int zoom);
    void centreOn(const QPointF &lonLat);
    // Zooms so that rect (degrees) fills the view.
    void showRect(const QRectF &lonLatRect);

signals:
    void zoomChanged(int zoom);

protected:
    void wheelEvent(QWheelEvent *event) override;

private:
    // Rescales to m_exactZoom keeping anchorScene under the same viewport point.
    void applyScale(const QPointF &anchorScene);
    // Rescales to m_exactZoom with centre in the middle of the viewport.
    void applyView(const QPointF &centre);
    QPointF currentCentre() const;
    double m_exactZoom = 12.0;
    int m_zoom = -1;
};

} // namespace Road
