#pragma once

// Shared by the map item suites: a fresh plug-in and map scene for every test, and lengths
// on the map's sphere worked out with plain spherical geometry, not with the code under test.

#include "kernel/roadkernel.h"
#include "plugin/priorityplugin.h"

#include <QGraphicsView>
#include <QImage>
#include <QMetaMethod>
#include <QMetaProperty>
#include <QStandardPaths>
#include <QtMath>
#include <QtTest>

namespace ItemTest {

// Metres along a meridian per degree of latitude on the map's sphere: R * pi / 180.
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

// East and north metres of p from origin (locally flat).
inline QPointF metresFrom(const QPointF &origin, const QPointF &p)
{
    return QPointF((p.x() - origin.x()) * metresPerDegreeLon(origin.y()), (p.y() - origin.y()) * MetresPerDegreeLat);
}

inline QString geometryOf(const QVector<QPointF> &points)
{
    QStringList parts;
    for (const QPointF &p : points)
        parts << QString::number(p.x(), 'g', 17) + QLatin1Char(',') + QString::number(p.y(), 'g', 17);
    return parts.join(QLatin1Char(' '));
}

// A line running east from start through the given distances in metres.
inline QString eastOf(const QPointF &start, const QVector<double> &metres)
{
    QVector<QPointF> points;
    for (double m : metres)
        points << offsetMetres(start, m, 0.0);
    return geometryOf(points);
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

// A north-up view of `pixelsPerDegree` centred on `centre`.
inline QImage renderView(QGraphicsScene *scene, const QPointF &centre, double pixelsPerDegree)
{
    QGraphicsView view(scene);
    setUpView(&view, QTransform::fromScale(pixelsPerDegree, -pixelsPerDegree));
    return grabView(&view, centre);
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

// The class's own signals, invokables and properties ("=rw" if writable) in one line: the
// host reaches items by these names only.
inline QString interfaceOf(const QMetaObject *mo)
{
    QStringList parts;
    for (int i = mo->methodOffset(); i < mo->methodCount(); ++i)
        parts << QString::fromLatin1(mo->method(i).methodSignature())
                + (mo->method(i).access() == QMetaMethod::Private ? "/private" : "");
    for (int i = mo->propertyOffset(); i < mo->propertyCount(); ++i)
        parts << QString::fromLatin1(mo->property(i).name()) + (mo->property(i).isWritable() ? "=rw" : "=r")
                + (mo->property(i).hasNotifySignal() ? "+notify" : "");
    return parts.join(QLatin1Char(' '));
}

inline QVariant cell(QObject *item, int column, int role)
{
    QVariant got;
    QMetaObject::invokeMethod(item, "modelData", Q_RETURN_ARG(QVariant, got), Q_ARG(int, column), Q_ARG(int, role));
    return got;
}

// A tree row: columns 0 to 3 (1 as edited), the tooltip of column 7, the decoration of column
// 1, then the types of column 0 and of its decoration.
inline QVariantList treeRow(QObject *item)
{
    return {cell(item, 0, Qt::DisplayRole), cell(item, 1, Qt::EditRole), cell(item, 2, Qt::DisplayRole), cell(item, 3, Qt::DisplayRole),
            cell(item, 7, Qt::ToolTipRole), cell(item, 1, Qt::DecorationRole), cell(item, 0, Qt::DisplayRole).typeName(),
            cell(item, 0, Qt::DecorationRole).typeName()};
}

// Every test gets its own plug-in (the owner of the items) and scene; the plug-in's display
// settings persist, so each suite keeps its own settings store.
class Fixture : public QObject
{
    Q_OBJECT

protected:
    PriorityPlugin *plugin = nullptr;
    Road::MapScene *scene = nullptr;

private slots:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        QCoreApplication::setOrganizationName(QCoreApplication::applicationName());
    }
    void init()
    {
        plugin = new PriorityPlugin;
        scene = new Road::MapScene;
    }
    void cleanup()
    {
        delete plugin;
        delete scene;
    }
};

} // namespace ItemTest
