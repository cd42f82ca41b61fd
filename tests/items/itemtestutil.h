#pragma once

// Helpers shared by the map item suites. Expected lengths come from plain spherical
// geometry on the map's sphere, not from the code under test.

#include <QGraphicsScene>
#include <QTest>
#include <QGraphicsView>
#include <QImage>
#include <QMetaMethod>
#include <QMetaProperty>
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

// A view with the map's scene rectangle, no frame or scroll bars and a white background.
inline void setUpView(QGraphicsView *view, const QTransform &transform, const QSize &size = QSize(200, 200))
{
    view->setFrameShape(QFrame::NoFrame);
    view->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    view->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    view->setBackgroundBrush(Qt::white);
    view->resize(size);
    view->setSceneRect(QRectF(-180.0, -90.0, 360.0, 180.0));
    view->setTransform(transform);
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
inline QImage renderView(QGraphicsScene *scene, const QPointF &centre, double pixelsPerDegree)
{
    QGraphicsView view(scene);
    setUpView(&view, QTransform::fromScale(pixelsPerDegree, -pixelsPerDegree));
    return grabView(&view, centre);
}

// The class's own signals, invokables and properties ("=rw" if writable, "+notify" with a
// notifier) in one line: the host reaches items by these names only.
inline QString interfaceOf(const QMetaObject *mo)
{
    QStringList parts;
    for (int i = mo->methodOffset(); i < mo->methodCount(); ++i)
        parts << QString::fromLatin1(mo->method(i).methodSignature())
                + (mo->method(i).access() == QMetaMethod::Private ? "/private" : "");
    for (int i = mo->propertyOffset(); i < mo->propertyCount(); ++i) {
        const QMetaProperty p = mo->property(i);
        parts << QString::fromLatin1(p.name()) + (p.isWritable() ? "=rw" : "=r")
                + (p.hasNotifySignal() ? "+notify" : "");
    }
    return parts.join(QLatin1Char(' '));
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
