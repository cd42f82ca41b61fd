#pragma once

// Shared by the map item suites: a fresh plug-in and map scene for every test, and lengths
// on the map's sphere worked out with plain spherical geometry, not with the code under test.

#include "items/prioroute.h"
#include "items/priovdetector.h"
#include "items/priovehicle.h"
#include "kernel/roadkernel.h"
#include "plugin/priorityplugin.h"

#include <QGraphicsView>
#include <QImage>
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

inline QVariantList at(const QPointF &p)
{
    return {p.x(), p.y()};
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

// A view of the map's scene on white without frame or scroll bars, laid out and painted
// through its own paint event (items get the viewport as their widget), read back.
inline QImage grabView(QGraphicsView *view, const QPointF &centre, const QTransform &transform, QSize size = {200, 200})
{
    view->setFrameShape(QFrame::NoFrame);
    view->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    view->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    view->setBackgroundBrush(Qt::white);
    view->resize(size);
    view->setSceneRect(QRectF(-180.0, -90.0, 360.0, 180.0));
    view->setTransform(transform);
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
    return grabView(&view, centre, QTransform::fromScale(pixelsPerDegree, -pixelsPerDegree));
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

    // A route along the points, its geometry under the hash "h".
    PrioRoute *routeAlong(const QVector<QPointF> &points, int id = 1)
    {
        auto *route = new PrioRoute(plugin, id, scene);
        route->setGeometry(geometryOf(points), "h");
        return route;
    }
    // Detector 7 built from the record, its geometry under the hash "g" unless it names one.
    PrioVDetector *detectorFrom(QVariantMap record, bool showOnActivation = true)
    {
        auto *detector = new PrioVDetector(plugin, 7, scene, showOnActivation);
        if (!record.contains("geometry_hash"))
            record.insert("geometry_hash", "g");
        detector->applyProperties(record);
        return detector;
    }
    // A board logged in and assigned to route 5, at p and (unless the record says otherwise) on its route there.
    PrioVehicle *boardAt(const QPointF &p, QVariantMap position = {}, const QString &name = "B1")
    {
        auto *vehicle = new PrioVehicle(plugin, name, scene);
        vehicle->applyProperties({{"logged_in", true}, {"route_id", 5}});
        position.insert("pos", at(p));
        if (!position.contains("rpos"))
            position.insert("rpos", at(p));
        vehicle->applyPosition(position);
        return vehicle;
    }

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
