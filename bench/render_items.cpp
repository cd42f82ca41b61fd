// render_items: how the map items cost at city scale. Builds about 1 500 routes (500 000
// route points), 10 000 detectors and 6 000 vehicles from generated server records, then
// paints them through a QGraphicsView into an image at a whole-city zoom and at a street
// zoom. Prints the build time, the time per frame (all items, and each kind alone) and the
// memory per route point. A program that prints figures, not a test.
//
//   render_items [frames]      (QT_QPA_PLATFORM=offscreen where there is no display)

#include "items/prioroute.h"
#include "items/priovdetector.h"
#include "items/priovehicle.h"
#include "kernel/roadkernel.h"
#include "plugin/priorityplugin.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QGraphicsView>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTextStream>
#include <QtMath>

#include <cstdio>
#include <unistd.h>

namespace {

constexpr int RouteCount = 1500;
constexpr int PointsPerRoute = 333;
constexpr int DetectorCount = 10000;
constexpr int VehicleCount = 6000;
const QPointF CityCentre(37.62, 55.75);
// Web-map zoom levels: 256 * 2^z pixels per turn of longitude.
constexpr int CityZoom = 11;
constexpr int StreetZoom = 17;
const QSize FrameSize(1920, 1080);

double pixelsPerDegree(int zoom)
{
    return 256.0 * std::pow(2.0, zoom) / 360.0;
}

double residentBytes()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return 0.0;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return fields.size() > 1 ? fields.at(1).toDouble() * double(sysconf(_SC_PAGESIZE)) : 0.0;
}

QString point(const QPointF &p)
{
    return QString::number(p.x(), 'f', 7) + QLatin1Char(',') + QString::number(p.y(), 'f', 7);
}

// A random walk through the city, about 30 m a step.
QString routeGeometry(QRandomGenerator &random)
{
    QPointF p(CityCentre.x() + (random.generateDouble() - 0.5) * 0.5,
              CityCentre.y() + (random.generateDouble() - 0.5) * 0.3);
    double heading = random.generateDouble() * 2.0 * M_PI;
    QStringList points;
    for (int i = 0; i < PointsPerRoute; ++i) {
        points << point(p);
        heading += (random.generateDouble() - 0.5) * 0.6;
        p += QPointF(std::cos(heading) * 0.00045, std::sin(heading) * 0.00027);
    }
    return points.join(QLatin1Char(' '));
}

QVariantMap detectorRecord(QRandomGenerator &random, int id)
{
    const QPointF start(CityCentre.x() + (random.generateDouble() - 0.5) * 0.5,
                        CityCentre.y() + (random.generateDouble() - 0.5) * 0.3);
    QVariantMap record{{"geometry_hash", QString::number(id)},
                       {"name", QStringLiteral("D%1").arg(id)},
                       {"weight", int(random.bounded(4))},
                       {"tl_number", int(random.bounded(300))}};
    if (id % 20 == 0) {
        record.insert("emergency", true);
        record.insert("pos", QVariantList{start.x(), start.y()});
        record.insert("radius", 150);
        record.insert("directionAngle", int(random.bounded(360)));
        record.insert("sweepAngle", 60);
    } else {
        const QPointF end = start + QPointF(0.0006 * (random.generateDouble() - 0.5), 0.0004);
        const QPointF middle = (start + end) / 2 + QPointF(0.0001, 0.0);
        record.insert("geometry", QStringList{point(start), point(middle), point(end)}.join(' '));
        record.insert("checkin_length", 20);
    }
    return record;
}

struct Frame
{
    double cityMs = 0;
    double streetMs = 0;
};

double paintMs(QGraphicsView *view, int zoom, int frames)
{
    const double scale = pixelsPerDegree(zoom);
    view->setTransform(QTransform::fromScale(scale, -scale));
    view->centerOn(CityCentre);
    QImage image(FrameSize, QImage::Format_ARGB32_Premultiplied);
    view->viewport()->render(&image); // warm-up
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < frames; ++i)
        view->viewport()->render(&image);
    return double(timer.nsecsElapsed()) / 1e6 / frames;
}

Frame paintBoth(QGraphicsView *view, int frames)
{
    return {paintMs(view, CityZoom, frames), paintMs(view, StreetZoom, frames)};
}

template<typename Item>
void setShown(const QList<Item *> &items, bool shown)
{
    for (Item *item : items)
        item->setVisible(shown);
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QStandardPaths::setTestModeEnabled(true);
    const int frames = argc > 1 ? qMax(1, QString::fromLocal8Bit(argv[1]).toInt()) : 5;
    QTextStream out(stdout);
    QRandomGenerator random(20240611);

    // The server's records, made before the clock starts.
    QStringList routeGeometries;
    for (int i = 0; i < RouteCount; ++i)
        routeGeometries << routeGeometry(random);
    QVector<QVariantMap> detectorRecords;
    for (int i = 1; i <= DetectorCount; ++i)
        detectorRecords << detectorRecord(random, i);
    QVector<QVariantMap> positions;
    for (int i = 0; i < VehicleCount; ++i) {
        const QPointF p(CityCentre.x() + (random.generateDouble() - 0.5) * 0.5,
                        CityCentre.y() + (random.generateDouble() - 0.5) * 0.3);
        positions << QVariantMap{{"pos", QVariantList{p.x(), p.y()}},
                                 {"rpos", QVariantList{p.x() + 0.00002, p.y()}},
                                 {"course", int(random.bounded(360))},
                                 {"speed", int(random.bounded(60))},
                                 {"weight", int(1 + random.bounded(3))}};
    }

    Road::MapScene scene;
    auto *plugin = new PriorityPlugin;
    plugin->setEmsShowMode(PriorityPlugin::show_always);
    plugin->setBrdWeightShowMode(PriorityPlugin::show_weight_if_valid);
    plugin->setDtWeightShowMode(PriorityPlugin::show_weight_if_valid);

    const double rssBefore = residentBytes();
    QElapsedTimer timer;
    timer.start();
    QList<PrioRoute *> routes;
    for (int i = 0; i < RouteCount; ++i) {
        auto *route = new PrioRoute(plugin, i + 1, &scene);
        route->applyProperties({{"description", QStringLiteral("Line %1").arg(i + 1)}, {"locked", i % 50 == 0}});
        route->setGeometry(routeGeometries.at(i), QString::number(i));
        route->setDontHide(true);
        routes << route;
    }
    const double routeMs = timer.nsecsElapsed() / 1e6;
    const double rssRoutes = residentBytes();
    routeGeometries.clear();

    timer.restart();
    QList<PrioVDetector *> detectors;
    for (int i = 0; i < DetectorCount; ++i) {
        auto *detector = new PrioVDetector(plugin, i + 1, &scene, true);
        detector->applyProperties(detectorRecords.at(i));
        detector->setInView(true); // the worst case: every detector shown
        detectors << detector;
    }
    const double detectorMs = timer.nsecsElapsed() / 1e6;

    timer.restart();
    QList<PrioVehicle *> vehicles;
    for (int i = 0; i < VehicleCount; ++i) {
        auto *vehicle = new PrioVehicle(plugin, QStringLiteral("B%1").arg(i), &scene);
        vehicle->applyProperties({{"logged_in", true},
                                  {"route_id", 1 + i % RouteCount},
                                  {"allow_emergency", i % 30 == 0},
                                  {"radius", 120},
                                  {"sweep", 70}});
        vehicle->applyPosition(positions.at(i));
        vehicles << vehicle;
    }
    const double vehicleMs = timer.nsecsElapsed() / 1e6;
    const qint64 routePoints = qint64(RouteCount) * PointsPerRoute;

    QGraphicsView view(&scene);
    view.setFrameShape(QFrame::NoFrame);
    view.setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    view.setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    view.setSceneRect(QRectF(-180.0, -90.0, 360.0, 180.0));
    view.resize(FrameSize);
    view.show();
    QCoreApplication::processEvents();

    const Frame all = paintBoth(&view, frames);
    setShown(detectors, false);
    setShown(vehicles, false);
    const Frame routesOnly = paintBoth(&view, frames);
    setShown(routes, false);
    setShown(detectors, true);
    const Frame detectorsOnly = paintBoth(&view, frames);
    setShown(detectors, false);
    setShown(vehicles, true);
    const Frame vehiclesOnly = paintBoth(&view, frames);

    // Arrows are made when first drawn at a zoom that shows them: make all of them.
    const double rssBeforeArrows = residentBytes();
    timer.restart();
    qint64 outlineElements = 0;
    qint64 arrowElements = 0;
    for (PrioRoute *route : qAsConst(routes)) {
        outlineElements += route->outline().elementCount();
        arrowElements += route->arrows().elementCount();
    }
    const double arrowMs = timer.nsecsElapsed() / 1e6;
    const double rssArrows = residentBytes();

    out << "render_items: " << RouteCount << " routes (" << routePoints << " points), " << DetectorCount
        << " detectors, " << VehicleCount << " vehicles; frame " << FrameSize.width() << "x" << FrameSize.height()
        << ", " << frames << " frames each\n";
    out << "build from records:  routes " << qRound(routeMs) << " ms (" << QString::number(routeMs * 1000.0 / routePoints, 'f', 2)
        << " us/point), detectors " << qRound(detectorMs) << " ms, vehicles " << qRound(vehicleMs) << " ms\n";
    out << "route memory:        " << QString::number((rssRoutes - rssBefore) / routePoints, 'f', 0)
        << " bytes/point resident as built; all arrows made (" << qRound(arrowMs) << " ms): +"
        << QString::number((rssArrows - rssBeforeArrows) / routePoints, 'f', 0)
        << " bytes/point\n                     path elements per point (24 bytes each): outline "
        << QString::number(double(outlineElements) / routePoints, 'f', 2) << ", arrows "
        << QString::number(double(arrowElements) / routePoints, 'f', 2) << "\n";
    out << "ms per frame          city (z" << CityZoom << ")   street (z" << StreetZoom << ")\n";
    auto row = [&](const char *what, const Frame &f) {
        out << QString::fromLatin1(what).leftJustified(20) << QString::number(f.cityMs, 'f', 1).rightJustified(12)
            << QString::number(f.streetMs, 'f', 1).rightJustified(14) << "\n";
    };
    row("all items", all);
    row("routes only", routesOnly);
    row("detectors only", detectorsOnly);
    row("vehicles only", vehiclesOnly);
    out.flush();

    // The view and scene go before the plug-in, as in the host (the kernel owns the scene).
    delete plugin;
    return 0;
}
