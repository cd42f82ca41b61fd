#pragma once

// Helpers shared by the map item suites. Expected lengths come from plain spherical
// geometry on the map's sphere, not from the code under test.

#include <QGraphicsScene>
#include <QTest>
#include <QGraphicsView>
#include <QImage>
#include <QPointF>
#include <QString>
#include <QStringList>
#include <QtMath>

namespace ItemTest {

constexpr double EarthRadius = 6356863.0;
// Metres along a meridian per degree of latitude on that sphere: R * pi / 180.
constexpr double MetresPerDegreeLat = 110948.18944820428;

inline double metresPerDegreeLon(double latitude)
{
    return MetresPerDegreeLat * std::cos(qDegreesToRadians(latitude));
}

// The point `east` and `north` metres away (small distances, locally flat).
inline QPointF offsetMetres(const QPointF &geo, double east, double north)
{
    return QPointF(geo.x() + east / metresPerDegreeLon(geo.y()), geo.y() + north / MetresPerDegreeLat);
}

inline QString geometryOf(const QVector<QPointF> &points)
{
    QStringList parts;
    for (const QPointF &p : points)
        parts << QString::number(p.x(), 'g', 17) + QLatin1Char(',') + QString::number(p.y(), 'g', 17);
    return parts.join(QLatin1Char(' '));
}

// Lays the view out (a hidden view has no viewport size yet), centres it and paints it
// through its own paint event, where items get the viewport as their widget.
inline QImage grabView(QGraphicsView *view, const QPointF &centre)
{
    view->show();
    if (!QTest::qWaitForWindowExposed(view))
        return QImage();
    view->centerOn(centre);
    return view->viewport()->grab().toImage().convertToFormat(QImage::Format_RGB32);
}

// A north-up view (latitude grows upwards) of `pixelsPerDegree` centred on `centre`,
// painted through the view's own paint path into an image.
inline QImage renderView(QGraphicsScene *scene, const QPointF &centre, double pixelsPerDegree,
                         const QSize &size = QSize(200, 200))
{
    QGraphicsView view(scene);
    view.setFrameShape(QFrame::NoFrame);
    view.setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    view.setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    view.setBackgroundBrush(Qt::white);
    view.resize(size);
    view.setSceneRect(QRectF(-180.0, -90.0, 360.0, 180.0));
    view.setTransform(QTransform::fromScale(pixelsPerDegree, -pixelsPerDegree));
    return grabView(&view, centre);
}

// Pixels of exactly this colour.
inline int countColour(const QImage &image, const QColor &colour, QRect *extent = nullptr)
{
    int count = 0;
    QRect box;
    const QRgb want = colour.rgb();
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            if (image.pixel(x, y) == want) {
                ++count;
                box |= QRect(x, y, 1, 1);
            }
        }
    }
    if (extent)
        *extent = box;
    return count;
}

// Bounding box of everything that is not the white background.
inline QRect paintedExtent(const QImage &image)
{
    QRect box;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (image.pixel(x, y) != qRgb(255, 255, 255))
                box |= QRect(x, y, 1, 1);
    return box;
}

} // namespace ItemTest
