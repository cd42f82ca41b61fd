// render_items: what the map items cost in the city that prio-sim serves to live_updates
// (1 500 routes of 333 points, every route crossing the city many times; 10 000 detectors;
// 6 000 boards), built in this process from the simulator's own records and drawn by the
// host's map view (Road::MapView, with its render hints) at 1920x1080. Before every frame
// each board moves as the server moves it on a 250 ms tick, and detector states follow.
// The same data as plain Qt graphics items (stroked paths, ellipses, no level of detail)
// is drawn by the same kind of view in the same run, for the ratio.
//
// Differences from the live host: the records are applied directly (no JSON-RPC, no
// second process: bench/live_updates has those); every route is shown; and detectors are
// shown at every zoom (the worst case) except in the row that hides them as the plug-in
// does below its minimum zoom.
//
// Prints the build time and memory per route point; the time per frame at the whole
// network, a district (zoom 15) and a street (zoom 17): steady, while the view pans (all
// items, and routes alone: the route picture moves and draws the strips it uncovers), for
// each kind alone, and for plain Qt items; the time to make the route picture again, and
// the first frames after every route changed (the live view right after its route list); a
// mouse move over the view (the host's hover and cursor handling); and the paint time of
// hostile items. Prints figures; it is not a test.
//
//   render_items [--frames 5] [--places whole,district,street] [--rows all,vehicles] [--no-plain] [--no-hostile]
//
// --rows keeps only the rows whose names start with one of the words given (for a profile
// of one row); the figures that are not rows are left out with it.

#include "benchutil.h"
#include "generator.h"
#include "world.h"
#include "items/geo.h"
#include "items/itemcursor.h"
#include "items/prioroute.h"
#include "items/priovdetector.h"
#include "items/priovehicle.h"
#include "items/splitdraw.h"
#include "kernel/mapview.h"
#include "kernel/roadkernel.h"
#include "plugin/priorityplugin.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QFile>
#include <QGraphicsEllipseItem>
#include <QGraphicsPathItem>
#include <QJsonArray>
#include <QMouseEvent>
#include <QPainterPathStroker>
#include <QRandomGenerator>
#include <QScrollBar>
#include <QStandardPaths>
#include <QTextStream>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <unistd.h>

namespace {

const QSize FrameSize(1920, 1080);
constexpr double TickSeconds = 0.25;
// Zoom levels of the web maps: 256 * 2^z pixels per turn of longitude.
constexpr int DistrictZoom = 15;
constexpr int StreetZoom = 17;

double residentBytes()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return 0.0;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return fields.size() > 1 ? fields.at(1).toDouble() * double(sysconf(_SC_PAGESIZE)) : 0.0;
}

// The host's map view, timing its own paint events.
class TimedView : public Road::MapView
{
public:
    TimedView(QGraphicsScene *scene)
    {
        setScene(scene);
        setFrameShape(QFrame::NoFrame);
        resize(FrameSize);
        show();
    }
    qint64 paintNs = 0;
    int paints = 0;

    // Lets the view paint until it stops asking to (the route picture is drawn over
    // several frames after a change); the paint time that took.
    double settle()
    {
        const qint64 before = paintNs;
        for (int i = 0; i < 1000; ++i) {
            const int painted = paints;
            QCoreApplication::processEvents();
            if (paints == painted)
                break;
        }
        return (paintNs - before) / 1e6;
    }

protected:
    void paintEvent(QPaintEvent *event) override
    {
        QElapsedTimer clock;
        clock.start();
        Road::MapView::paintEvent(event);
        paintNs += clock.nsecsElapsed();
        ++paints;
    }
};

// One way of looking at the city.
struct Place
{
    const char *name;
    std::function<void(Road::MapView *)> apply;
};

QString hintsText(QPainter::RenderHints hints)
{
    QStringList names;
    if (hints & QPainter::Antialiasing)
        names << "Antialiasing";
    if (hints & QPainter::TextAntialiasing)
        names << "TextAntialiasing";
    if (hints & QPainter::SmoothPixmapTransform)
        names << "SmoothPixmapTransform";
    return names.join('|');
}

// The city as the plug-in sees it: items made from the simulator's records, fed its
// notifications.
struct City
{
    Sim::World *world = nullptr;
    PriorityPlugin *plugin = nullptr;
    QList<PrioRoute *> routes;
    QList<PrioVDetector *> detectors;
    QHash<int, PrioVDetector *> detectorById;
    QHash<QString, PrioVehicle *> vehicles;
    QVector<QPair<PrioVehicle *, QVariantMap>> positions;
    QVector<QVariantMap> states;

    // The next tick's notifications, converted as the JSON-RPC client converts them.
    void prepareTick()
    {
        positions.clear();
        states.clear();
        world->step(TickSeconds);
        for (const Sim::Notification &n : world->takeNotifications()) {
            const QVariantMap params = n.params.toObject().toVariantMap();
            if (n.method == Sim::Event::BoardPosition) {
                if (PrioVehicle *v = vehicles.value(params.value("board_name").toString()))
                    positions.append({v, params});
            } else if (n.method == Sim::Event::VdtStateChanged) {
                states.append(params);
            }
        }
    }

    void applyTick()
    {
        for (const auto &p : qAsConst(positions))
            p.first->applyPosition(p.second);
        for (const QVariantMap &s : qAsConst(states)) {
            const int id = s.value("dt").toInt();
            const QString state = s.value("state").toString();
            const QString board = s.value("board_name").toString();
            if (PrioVDetector *d = detectorById.value(id))
                d->setState(state, board);
            if (PrioVehicle *v = vehicles.value(board))
                v->setPriorityState(state, id);
        }
    }
};

// The same data as plain Qt items: a filled band and stroked arrows per route, the zone
// paths per detector, a pin path per vehicle; no level of detail, nothing shared.
struct PlainCity
{
    Road::MapScene scene;
    QVector<QPair<QGraphicsPathItem *, PrioVehicle *>> vehicles;

    explicit PlainCity(const City &city)
    {
        QPen cosmetic(Qt::black, 1.0);
        cosmetic.setCosmetic(true);
        for (PrioRoute *route : city.routes) {
            scene.addPath(route->outline(), Qt::NoPen, route->fillColour());
            scene.addPath(route->arrows(), cosmetic, Qt::NoBrush);
        }
        for (PrioVDetector *d : city.detectors) {
            QGraphicsPathItem *zone = scene.addPath(d->zonePath(), cosmetic, d->stateColour());
            zone->setPos(d->pos());
            if (d->isEmergency())
                zone->setOpacity(0.6);
            else if (!d->checkinSquare().isEmpty())
                scene.addPath(d->checkinSquare(), cosmetic, d->stateColour());
        }
        for (PrioVehicle *v : city.vehicles) {
            QGraphicsPathItem *pin = scene.addPath(v->markerPath(), cosmetic, v->stateColour());
            pin->setFlag(QGraphicsItem::ItemIgnoresTransformations);
            pin->setPos(v->pos());
            vehicles.append({pin, v});
        }
    }

    // Follows the plug-in's vehicles, drawn at the size the plug-in draws them.
    void follow(double viewScale)
    {
        const double s = std::min(1.0, viewScale / 3000.0);
        for (const auto &p : qAsConst(vehicles)) {
            p.first->setPos(p.second->pos());
            p.first->setPath(p.second->markerPath());
            p.first->setTransform(QTransform::fromScale(s, s));
        }
    }
};

// PERF_CTL_FIFO and PERF_ACK_FIFO name perf's control fifos (perf record -D -1 --control
// fifo:CTL,ACK): only the timed frames are recorded.
void perfControl(const char *command)
{
    auto open = [](const char *name, const char *mode) {
        return qEnvironmentVariableIsSet(name) ? std::fopen(qgetenv(name).constData(), mode) : nullptr;
    };
    static FILE *control = open("PERF_CTL_FIFO", "w");
    static FILE *ack = control ? open("PERF_ACK_FIFO", "r") : nullptr;
    if (!control)
        return;
    std::fputs(command, control);
    std::fflush(control);
    char answer[16];
    if (ack && !std::fgets(answer, sizeof answer, ack))
        ack = nullptr;
}

// Mean ms per frame: the boards move (not timed), then the view repaints all of its
// viewport the way its event loop does it.
double frameMs(TimedView *view, int frames, const std::function<void()> &beforeFrame)
{
    double total = 0.0;
    for (int i = 0; i <= frames; ++i) {
        beforeFrame();
        perfControl("enable\n");
        QElapsedTimer clock;
        clock.start();
        view->viewport()->update();
        QCoreApplication::processEvents();
        perfControl("disable\n");
        if (i > 0) // the first frame after a change of place warms the caches
            total += clock.nsecsElapsed() / 1e6;
    }
    return total / frames;
}

// Mean microseconds per mouse move over the view, the host's hover and cursor handling.
double mouseMoveUs(Road::MapView *view)
{
    QWidget *viewport = view->viewport();
    const int moves = 200;
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < moves; ++i) {
        const QPointF at(40.0 + (viewport->width() - 80.0) * i / moves, 30.0 + (viewport->height() - 60.0) * i / moves);
        QMouseEvent move(QEvent::MouseMove, at, viewport->mapToGlobal(at.toPoint()), Qt::NoButton, Qt::NoButton,
                         Qt::NoModifier);
        QCoreApplication::sendEvent(viewport, &move);
    }
    return clock.nsecsElapsed() / 1e3 / moves;
}

QString randomPoints(QRandomGenerator &random, int count, const QRectF &box)
{
    QStringList points;
    points.reserve(count);
    for (int i = 0; i < count; ++i) {
        points << QString::number(box.left() + random.generateDouble() * box.width(), 'f', 7) + QLatin1Char(',')
                + QString::number(box.top() + random.generateDouble() * box.height(), 'f', 7);
    }
    return points.join(QLatin1Char(' '));
}

} // namespace

int main(int argc, char *argv[])
{
    Bench::useOffscreenWithoutDisplay();
    QApplication app(argc, argv);
    QStandardPaths::setTestModeEnabled(true);
    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addOption({"frames", "Frames measured per figure.", "n", "5"});
    parser.addOption({"places", "Places to measure, comma-separated: whole, district, street.", "list",
                      "whole,district,street"});
    parser.addOption({"rows", "Only the rows whose names start with one of these, separated by semicolons.", "list"});
    parser.addOption({"no-plain", "Leave out the plain Qt items."});
    parser.addOption({"no-hostile", "Leave out the hostile items."});
    parser.process(app);
    const int frames = qMax(1, parser.value("frames").toInt());
    const QStringList wanted = parser.value("places").split(',');
    const QStringList rows = parser.value("rows").split(';', Qt::SkipEmptyParts);
    auto rowWanted = [&](const QString &name) {
        return rows.isEmpty() || std::any_of(rows.begin(), rows.end(), [&](const QString &r) { return name.startsWith(r); });
    };
    const bool others = rows.isEmpty();
    QTextStream out(stdout);

    Sim::GeneratorOptions options;
    options.routes = 1500;
    options.pointsPerRoute = 333;
    options.detectors = 10000;
    options.boards = 6000;
    Sim::World world(Sim::generateNetwork(options), QDateTime(QDate(2024, 6, 11), QTime(8, 0), Qt::UTC));
    world.setChurnEnabled(false);

    // The server's records, made before the clock starts.
    QVector<QVariantMap> routeRecords;
    QStringList routeGeometries;
    for (const Sim::Route &r : world.network().routes) {
        routeRecords << world.routeRecord(r).toVariantMap();
        routeGeometries << r.geometry;
    }
    QVector<QVariantMap> detectorRecords;
    for (const Sim::Detector &d : world.network().detectors)
        detectorRecords << world.detectorGeometry(d).toVariantMap();
    const QJsonObject boardRecords = world.boardList();

    Road::MapScene scene;
    City city;
    city.world = &world;
    city.plugin = new PriorityPlugin;
    city.plugin->setEmsShowMode(PriorityPlugin::show_always);
    city.plugin->setBrdWeightShowMode(PriorityPlugin::show_weight_if_valid);
    city.plugin->setDtWeightShowMode(PriorityPlugin::show_weight_if_valid);

    qint64 routePoints = 0;
    const double rssBefore = residentBytes();
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < routeRecords.size(); ++i) {
        const QVariantMap &record = routeRecords.at(i);
        auto *route = new PrioRoute(city.plugin, record.value("id").toInt(), &scene);
        route->applyProperties(record);
        route->setGeometry(routeGeometries.at(i), record.value("geometry_hash").toString());
        route->setDontHide(true);
        city.routes << route;
        routePoints += routeGeometries.at(i).count(QLatin1Char(' ')) + 1;
    }
    const double routeMs = timer.nsecsElapsed() / 1e6;
    const double rssRoutes = residentBytes();
    routeGeometries.clear();

    timer.restart();
    for (const QVariantMap &record : qAsConst(detectorRecords)) {
        auto *detector = new PrioVDetector(city.plugin, record.value("id").toInt(), &scene, true);
        detector->applyProperties(record);
        detector->setInView(true); // the worst case: every detector shown
        city.detectors << detector;
        city.detectorById.insert(detector->id(), detector);
    }
    const double detectorMs = timer.nsecsElapsed() / 1e6;

    timer.restart();
    for (auto it = boardRecords.begin(); it != boardRecords.end(); ++it) {
        auto *vehicle = new PrioVehicle(city.plugin, it.key(), &scene);
        vehicle->applyProperties(it.value().toObject().toVariantMap());
        city.vehicles.insert(it.key(), vehicle);
    }
    city.prepareTick();
    city.applyTick();
    const double vehicleMs = timer.nsecsElapsed() / 1e6;

    QRectF network;
    for (PrioRoute *route : qAsConst(city.routes))
        network |= route->boundingRect();
    const QPointF centre = network.center();
    QVector<Place> places;
    if (wanted.contains("whole"))
        places.append({"whole", [&](Road::MapView *v) { v->showRect(network); }});
    if (wanted.contains("district"))
        places.append({"district", [&](Road::MapView *v) { v->centreOn(centre); v->setZoom(DistrictZoom); }});
    if (wanted.contains("street"))
        places.append({"street", [&](Road::MapView *v) { v->centreOn(centre); v->setZoom(StreetZoom); }});

    TimedView view(&scene);
    // The arrow over the items, as setView binds it in the host (setView would also show
    // only the detectors in view, and here every one is shown).
    ItemCursor::bind(city.plugin, &view);
    QCoreApplication::processEvents();

    out << "render_items: the simulator's city: " << city.routes.size() << " routes (" << routePoints << " points), "
        << city.detectors.size() << " detectors (all shown), " << city.vehicles.size()
        << " boards moving on a " << int(TickSeconds * 1000) << " ms tick\n";
    out << "host map view " << FrameSize.width() << "x" << FrameSize.height() << ", render hints "
        << hintsText(view.renderHints()) << "; " << frames << " frames each after one warm-up; load "
        << QString::number(Bench::loadAverage(), 'f', 2) << "\n";
    out << "build from records:  routes " << qRound(routeMs) << " ms ("
        << QString::number(routeMs * 1000.0 / routePoints, 'f', 2) << " us/point), detectors " << qRound(detectorMs)
        << " ms, vehicles " << qRound(vehicleMs) << " ms\n";
    out << "route memory:        " << QString::number((rssRoutes - rssBefore) / routePoints, 'f', 0)
        << " bytes/point resident as built\n";
    out << "ms per frame              ";
    for (const Place &place : qAsConst(places)) {
        place.apply(&view);
        out << QStringLiteral("%1 (z%2)").arg(QLatin1String(place.name)).arg(view.zoom()).rightJustified(16);
    }
    out << "\n";
    out.flush();

    auto moving = [&] {
        city.prepareTick();
        city.applyTick();
    };
    auto row = [&](const QString &what, const std::function<void()> &beforeFrame, bool steady = true) {
        QVector<double> ms;
        if (!rowWanted(what))
            return QVector<double>(places.size(), 0.0);
        out << what.leftJustified(26);
        for (const Place &place : qAsConst(places)) {
            place.apply(&view);
            if (steady)
                view.settle();
            ms << frameMs(&view, frames, beforeFrame);
            out << QString::number(ms.last(), 'f', 1).rightJustified(16);
            out.flush();
        }
        out << "\n";
        return ms;
    };
    auto showAll = [&](bool routes, bool detectors, bool vehicles) {
        for (PrioRoute *r : qAsConst(city.routes))
            r->setVisible(routes);
        for (PrioVDetector *d : qAsConst(city.detectors))
            d->setVisible(detectors);
        for (PrioVehicle *v : qAsConst(city.vehicles))
            v->setVisible(vehicles);
    };

    const QVector<double> all = row("all items, boards moving", moving);
    // The markers blended on the painting thread alone, as before they were shared with a
    // second core.
    SplitDraw::setEnabled(false);
    row("all items, one thread", moving);
    SplitDraw::setEnabled(true);
    // Each frame the view has moved by a few pixels, as while the operator drags it (the
    // hand drag moves the scroll bars).
    row("all items, view panning", [&] {
        moving();
        view.horizontalScrollBar()->setValue(view.horizontalScrollBar()->value() + 7);
        view.verticalScrollBar()->setValue(view.verticalScrollBar()->value() + 5);
    }, false);
    for (PrioVDetector *d : qAsConst(city.detectors))
        d->setInView(false);
    row("all, detectors as shown", moving);
    for (PrioVDetector *d : qAsConst(city.detectors))
        d->setInView(true);
    showAll(true, false, false);
    row("routes only", [] {});
    row("routes only, view panning", [&] {
        view.horizontalScrollBar()->setValue(view.horizontalScrollBar()->value() + 7);
        view.verticalScrollBar()->setValue(view.verticalScrollBar()->value() + 5);
    }, false);
    if (others) {
        // The whole route picture made again: the view back from another zoom, and every slice
        // of the next picture drawn.
        out << QStringLiteral("route picture made (ms)").leftJustified(26);
        for (const Place &place : qAsConst(places)) {
            view.setZoom(view.zoom() - 1);
            view.settle();
            place.apply(&view);
            view.viewport()->update();
            out << QString::number(view.settle(), 'f', 0).rightJustified(16);
        }
        out << "\n";
        // Every route changed at once (all shown, as when the route list arrives or the tree's
        // filter changes): the first frames after it, boards moving, as a live view paints them.
        out << QStringLiteral("after all routes changed").leftJustified(26);
        for (const Place &place : qAsConst(places)) {
            place.apply(&view);
            view.settle();
            showAll(false, false, false);
            showAll(true, true, true);
            double total = 0.0;
            double worst = 0.0;
            for (int i = 0; i < 10; ++i) {
                moving();
                QElapsedTimer clock;
                clock.start();
                view.viewport()->update();
                QCoreApplication::processEvents();
                const double ms = clock.nsecsElapsed() / 1e6;
                total += ms;
                worst = qMax(worst, ms);
            }
            out << (QString::number(total / 10, 'f', 0) + " / " + QString::number(worst, 'f', 0)).rightJustified(16);
            out.flush();
        }
        out << "   (mean / worst of 10 frames)\n";
    }
    showAll(false, true, false);
    row("detectors only", moving);
    showAll(false, false, true);
    row("vehicles only, moving", moving);
    showAll(true, true, true);

    if (others) {
        out << QStringLiteral("mouse move (us)").leftJustified(26);
        for (const Place &place : qAsConst(places)) {
            place.apply(&view);
            view.settle();
            out << QString::number(mouseMoveUs(&view), 'f', 0).rightJustified(16);
        }
        out << "\n";
    }
    out.flush();

    if (others && !parser.isSet("no-plain")) {
        // Plain Qt items of the same data, in the host's kind of scene and view.
        PlainCity plain(city);
        TimedView plainView(&plain.scene);
        QVector<double> plainMs;
        out << QStringLiteral("plain Qt items").leftJustified(26);
        for (const Place &place : qAsConst(places)) {
            place.apply(&plainView);
            plainView.settle();
            plainMs << frameMs(&plainView, std::max(1, frames / 2), [&] {
                moving();
                plain.follow(plainView.transform().m11());
            });
            out << QString::number(plainMs.last(), 'f', 1).rightJustified(16);
            out.flush();
        }
        out << "\n" << QStringLiteral("plain Qt / all items").leftJustified(26);
        for (int i = 0; i < places.size(); ++i)
            out << (QString::number(plainMs.at(i) / all.at(i), 'f', 1) + "x").rightJustified(16);
        out << "\n";
        out.flush();
    }

    if (others && !parser.isSet("no-hostile")) {
        // Hostile items, one at a time in a view of their own: the first frame (which makes
        // what an item makes on first sight) and the steady one.
        QRandomGenerator random(20240611);
        struct Case
        {
            QString what;
            std::function<QGraphicsItem *(Road::MapScene *)> make;
        };
        const QVector<Case> cases{
            {"detector of 100 000 random points",
             [&](Road::MapScene *s) {
                 auto *d = new PrioVDetector(city.plugin, 1, s, true);
                 d->applyProperties({{"geometry_hash", "h"}, {"geometry", randomPoints(random, 100000, network)}});
                 d->setInView(true);
                 return d;
             }},
            {"detector reversing 50 000 times round the globe",
             [&](Road::MapScene *s) {
                 QStringList points;
                 for (int i = 0; i < 50000; ++i)
                     points << (i % 2 ? QStringLiteral("179.9,55.75") : QStringLiteral("-179.9,55.75"));
                 auto *d = new PrioVDetector(city.plugin, 1, s, true);
                 d->applyProperties({{"geometry_hash", "h"}, {"geometry", points.join(' ')}});
                 d->setInView(true);
                 return d;
             }},
            {"route of 100 000 random points",
             [&](Road::MapScene *s) {
                 auto *r = new PrioRoute(city.plugin, 1, s);
                 r->setGeometry(randomPoints(random, 100000, network), "h");
                 r->setDontHide(true);
                 return r;
             }},
        };
        out << QStringLiteral("hostile items, ms").leftJustified(48) << "first / steady z12   first / steady z17\n";
        for (const Case &c : cases) {
            Road::MapScene hostileScene;
            QGraphicsItem *item = c.make(&hostileScene);
            TimedView hostileView(&hostileScene);
            QCoreApplication::processEvents();
            out << c.what.leftJustified(48);
            for (int zoom : {12, 17}) {
                hostileView.centreOn(centre);
                hostileView.setZoom(zoom);
                const qint64 before = hostileView.paintNs;
                hostileView.viewport()->update();
                QCoreApplication::processEvents();
                const double first = (hostileView.paintNs - before) / 1e6;
                const double steady = frameMs(&hostileView, 1, [] {});
                out << (QString::number(first, 'f', 0) + " / " + QString::number(steady, 'f', 0)).rightJustified(18);
            }
            out << "\n";
            out.flush();
            delete item;
        }
    }

    // The views and scenes go before the plug-in, as in the host (the kernel owns the scene).
    delete city.plugin;
    return 0;
}
