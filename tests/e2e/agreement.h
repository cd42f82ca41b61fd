#pragma once

// What the end-to-end tests compare: the plug-in's map objects and its branch of the object
// tree, reached as the host reaches them, against the simulator's state.

#include <QCoreApplication>
#include <QDir>
#include <QGraphicsItem>
#include <QGraphicsObject>
#include <QGraphicsScene>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <algorithm>

#include "demohost.h"
#include "jsonrpc/jsonrpcobject.h"
#include "jsonrpc/response.h"
#include "kernel/roaditemmodel.h"
#include "kernel/roadkernel.h"
#include "sim/generator.h"
#include "sim/server.h"

namespace E2e {

const QString kTop = QStringLiteral("Traffic priority system");
const QString kRoutes = QStringLiteral("Routes");
const QString kUnassigned = QStringLiteral("Not assigned boards");
const QString kAssigned = QStringLiteral("Assigned boards");
const QString kEmergency = QStringLiteral("Emergency call detectors");

// Small enough that the geometry cache stays far below its 1 MB limit, with boards off
// their routes, emergency detectors and boards enough for a few to share a detector.
inline Sim::Network smallNetwork()
{
    Sim::GeneratorOptions options;
    options.seed = 7;
    options.routes = 4;
    options.pointsPerRoute = 25;
    options.detectors = 10;
    options.emergencyDetectors = 2;
    options.boards = 12;
    options.emergencyBoardShare = 0.1;
    return Sim::generateNetwork(options);
}

// The plug-in's map objects, reached through the scene as the host reaches them.
struct SceneObjects
{
    QMultiHash<QString, QObject *> boards;   // by name: more than one value is a duplicate
    QMultiHash<int, QObject *> routes;       // by id
    QMultiHash<int, QObject *> detectors;    // by id
};

inline SceneObjects sceneObjects(QGraphicsScene *scene)
{
    QSet<QObject *> seen;
    SceneObjects out;
    for (QGraphicsItem *item : scene->items()) {
        QObject *object = item->data(0).value<QObject *>();
        if (!object || seen.contains(object))
            continue;
        seen.insert(object);
        if (object->inherits("PrioVehicle"))
            out.boards.insert(object->property("name").toString(), object);
        else if (object->inherits("PrioRoute"))
            out.routes.insert(object->property("id").toInt(), object);
        else if (object->inherits("PrioVDetector"))
            out.detectors.insert(object->property("id").toInt(), object);
    }
    return out;
}

// The plug-in's branch of the object tree, by the objects its entries list.
struct TreeContents
{
    QStringList sections;
    QStringList assigned;   // board names, one per entry
    QStringList unassigned;
    QList<int> routeEntries;
    QHash<int, QStringList> routeBoards;  // route id: board names under its "Boards"
    QHash<int, QList<int>> routeDetectors;
    QList<int> emergencyEntries;
};

// A property of the object of each entry in a section; `missing` where an entry has none.
template<typename T>
QList<T> entryValues(const Road::ItemModelItem *section, const char *property, const T &missing)
{
    QList<T> values;
    for (Road::ItemModelItem *child : section->childItems()) {
        auto *entry = qobject_cast<Road::ItemObj *>(child);
        values << (entry && entry->object() ? entry->object()->property(property).value<T>() : missing);
    }
    return values;
}
inline QStringList entryNames(const Road::ItemModelItem *section) { return entryValues<QString>(section, "name", QStringLiteral("<?>")); }
inline QList<int> entryIds(const Road::ItemModelItem *section) { return entryValues(section, "id", -1); }

inline const Road::ItemModelItem *subSection(const Road::ItemModelItem *entry, const QString &objectName)
{
    for (Road::ItemModelItem *child : entry->childItems()) {
        if (!qobject_cast<Road::ItemObj *>(child) && child->objectName() == objectName)
            return child;
    }
    return nullptr;
}

inline TreeContents treeContents(Road::ItemModel *model)
{
    TreeContents tree;
    const Road::ItemModelItem *top = nullptr;
    for (Road::ItemModelItem *child : model->rootItem()->childItems()) {
        if (child->text() == kTop)
            top = child;
    }
    if (!top)
        return tree;
    for (Road::ItemModelItem *section : top->childItems()) {
        tree.sections << section->text();
        if (section->text() == kAssigned) {
            tree.assigned += entryNames(section);
        } else if (section->text() == kUnassigned) {
            tree.unassigned += entryNames(section);
        } else if (section->text() == kEmergency) {
            tree.emergencyEntries += entryIds(section);
        } else if (section->text() == kRoutes) {
            for (Road::ItemModelItem *child : section->childItems()) {
                auto *entry = qobject_cast<Road::ItemObj *>(child);
                const int id = entry && entry->object() ? entry->object()->property("id").toInt() : -1;
                tree.routeEntries << id;
                if (const Road::ItemModelItem *boards = entry ? subSection(entry, QStringLiteral("boards")) : nullptr)
                    tree.routeBoards[id] += entryNames(boards);
                if (const Road::ItemModelItem *dts = entry ? subSection(entry, QStringLiteral("detectors")) : nullptr)
                    tree.routeDetectors[id] += entryIds(dts);
            }
        }
    }
    return tree;
}

// Every difference between the simulator's state and the plug-in's, one line each; empty
// when they agree.
inline QString disagreements(const Sim::World &world, DemoHost &host, bool positionsSent)
{
    QStringList out;
    const SceneObjects objects = sceneObjects(host.scene());
    const TreeContents tree = treeContents(host.itemModel());
    const Sim::Network &net = world.network();

    QSet<QString> simBoards;
    for (const Sim::Board &b : net.boards) {
        simBoards.insert(b.name);
        const QList<QObject *> found = objects.boards.values(b.name);
        if (found.size() != 1) {
            out << QStringLiteral("board %1: %2 objects").arg(b.name).arg(found.size());
            continue;
        }
        QObject *vehicle = found.first();
        if (vehicle->property("routeId").toInt() != b.routeId)
            out << QStringLiteral("board %1: route %2, simulator %3")
                       .arg(b.name).arg(vehicle->property("routeId").toInt()).arg(b.routeId);
        if (vehicle->property("locked").toBool() != b.locked)
            out << QStringLiteral("board %1: locked %2, simulator %3")
                       .arg(b.name).arg(vehicle->property("locked").toBool()).arg(b.locked);
        // No filter is set: a logged-in board's item is visible, and once positions have
        // come it is drawn; a logged-out board is hidden, or, if it was never logged in
        // here, has no position and so draws nothing.
        auto *item = qobject_cast<QGraphicsObject *>(vehicle);
        const bool visible = item && item->isVisible();
        const bool drawn = visible && vehicle->property("hasGeometry").toBool();
        if (b.loggedIn ? !visible || (positionsSent && !drawn) : drawn)
            out << QStringLiteral("board %1: visible %2, drawn %3, logged in %4")
                       .arg(b.name).arg(visible).arg(drawn).arg(b.loggedIn);

        const bool onKnownRoute = b.routeId != 0 && world.route(b.routeId);
        const int inAssigned = tree.assigned.count(b.name);
        const int inUnassigned = tree.unassigned.count(b.name);
        int underRoutes = 0;
        for (auto it = tree.routeBoards.cbegin(); it != tree.routeBoards.cend(); ++it) {
            const int n = it.value().count(b.name);
            underRoutes += n;
            if (n && it.key() != b.routeId)
                out << QStringLiteral("board %1: listed under route %2, simulator %3").arg(b.name).arg(it.key()).arg(b.routeId);
        }
        const int wantAssigned = onKnownRoute ? 1 : 0;
        if (inAssigned != wantAssigned || underRoutes != wantAssigned || inUnassigned != 1 - wantAssigned)
            out << QStringLiteral("board %1 (route %2): %3x assigned, %4x under routes, %5x not assigned")
                       .arg(b.name).arg(b.routeId).arg(inAssigned).arg(underRoutes).arg(inUnassigned);
    }
    for (const QString &name : objects.boards.uniqueKeys()) {
        if (!simBoards.contains(name))
            out << QStringLiteral("board %1: unknown to the simulator").arg(name);
    }

    // One object for each of the simulator's, locked as there and with its geometry.
    const auto single = [&out](const char *kind, int id, const QList<QObject *> &found, bool locked) -> QObject * {
        if (found.size() != 1) {
            out << QStringLiteral("%1 %2: %3 objects").arg(QLatin1String(kind)).arg(id).arg(found.size());
            return nullptr;
        }
        if (found.first()->property("locked").toBool() != locked)
            out << QStringLiteral("%1 %2: locked %3, simulator %4").arg(QLatin1String(kind)).arg(id).arg(!locked).arg(locked);
        if (!found.first()->property("hasGeometry").toBool())
            out << QStringLiteral("%1 %2: no geometry").arg(QLatin1String(kind)).arg(id);
        return found.first();
    };
    for (const Sim::Route &r : net.routes) {
        if (single("route", r.id, objects.routes.values(r.id), r.locked) && tree.routeEntries.count(r.id) != 1)
            out << QStringLiteral("route %1: %2 tree entries").arg(r.id).arg(tree.routeEntries.count(r.id));
    }
    if (objects.routes.size() != net.routes.size())
        out << QStringLiteral("%1 routes, simulator %2").arg(objects.routes.size()).arg(net.routes.size());

    for (const Sim::Detector &d : net.detectors) {
        QObject *detector = single("detector", d.id, objects.detectors.values(d.id), d.locked);
        if (!detector)
            continue;
        // Listed once under each of its routes, or once among the emergency detectors.
        if (d.emergency && tree.emergencyEntries.count(d.id) != 1)
            out << QStringLiteral("emergency detector %1: %2 tree entries").arg(d.id).arg(tree.emergencyEntries.count(d.id));
        for (int routeId : d.routes) {
            if (!d.emergency && world.route(routeId) && tree.routeDetectors.value(routeId).count(d.id) != 1)
                out << QStringLiteral("detector %1: not listed once under route %2").arg(d.id).arg(routeId);
        }
        // A detector no board is in has had the last board's leaving reported.
        if (world.detectorBoards(d).isEmpty() && !world.detectorActivated(d) && detector->property("active").toBool())
            out << QStringLiteral("detector %1: active with no board in it").arg(d.id);
    }
    if (objects.detectors.size() != net.detectors.size())
        out << QStringLiteral("%1 detectors, simulator %2").arg(objects.detectors.size()).arg(net.detectors.size());
    if (tree.sections != QStringList{kRoutes, kUnassigned, kAssigned, kEmergency})
        out << QStringLiteral("tree sections: ") + tree.sections.join(QStringLiteral(", "));
    return out.join(QLatin1Char('\n'));
}

// What the plug-in holds and lists, one line per object and tree section in a fixed
// order: two hosts that saw the same server at the same moment give the same text.
inline QString registrySnapshot(DemoHost &host)
{
    QStringList lines;
    const SceneObjects objects = sceneObjects(host.scene());
    const auto item = [](QObject *object) { return qobject_cast<QGraphicsObject *>(object); };
    for (auto it = objects.boards.cbegin(); it != objects.boards.cend(); ++it) {
        // Hidden, or visible with no position yet: either way nothing is drawn; which of
        // the two depends on how the board came (see disagreements()).
        QGraphicsObject *vehicle = item(it.value());
        const bool drawn = vehicle && vehicle->isVisible() && it.value()->property("hasGeometry").toBool();
        lines << QStringLiteral("board %1: route %2, locked %3, %4")
                     .arg(it.key())
                     .arg(it.value()->property("routeId").toInt())
                     .arg(it.value()->property("locked").toBool())
                     .arg(drawn ? QStringLiteral("drawn at %1, %2").arg(vehicle->pos().x(), 0, 'f', 7).arg(vehicle->pos().y(), 0, 'f', 7)
                                : QStringLiteral("not drawn"));
    }
    for (auto it = objects.routes.cbegin(); it != objects.routes.cend(); ++it)
        lines << QStringLiteral("route %1: locked %2, geometry %3")
                     .arg(it.key())
                     .arg(it.value()->property("locked").toBool())
                     .arg(it.value()->property("hasGeometry").toBool());
    for (auto it = objects.detectors.cbegin(); it != objects.detectors.cend(); ++it)
        lines << QStringLiteral("detector %1: locked %2, active %3, visible %4")
                     .arg(it.key())
                     .arg(it.value()->property("locked").toBool())
                     .arg(it.value()->property("active").toBool())
                     .arg(item(it.value()) && item(it.value())->isVisible());
    TreeContents tree = treeContents(host.itemModel());
    const auto sorted = [](auto list) {
        std::sort(list.begin(), list.end());
        return list;
    };
    lines << QStringLiteral("tree: ") + tree.sections.join(QStringLiteral(", "));
    lines << QStringLiteral("tree assigned: ") + sorted(tree.assigned).join(QLatin1Char(' '));
    lines << QStringLiteral("tree not assigned: ") + sorted(tree.unassigned).join(QLatin1Char(' '));
    for (int id : sorted(tree.routeEntries)) {
        QStringList detectors;
        for (int d : sorted(tree.routeDetectors.value(id)))
            detectors << QString::number(d);
        lines << QStringLiteral("tree route %1: boards %2; detectors %3")
                     .arg(id)
                     .arg(sorted(tree.routeBoards.value(id)).join(QLatin1Char(' ')), detectors.join(QLatin1Char(' ')));
    }
    lines.sort();
    return lines.join(QLatin1Char('\n'));
}

// Waits until every notification the server sent before now has been handled: the answer
// to a request comes after them on the same socket.
inline bool roundTrip(DemoHost &host, int timeoutMs = 5000)
{
    auto *response = qobject_cast<Response *>(
        host.rpcClient()->postCommand(QStringLiteral("PserverApp.getWebUrl"), QVariant()));
    if (!response)
        return false;
    QPointer<Response> guard(response);
    QSignalSpy finished(response, &Response::finished);
    return finished.wait(timeoutMs) || (guard && guard->isFinished());
}

// Loading done: the lists answered, the subscription sent, nothing outstanding.
inline bool loaded(const Sim::Server &server, DemoHost &host)
{
    return server.requestCount(QStringLiteral("BoardsServer.getBoards")) >= 1
        && server.requestCount(QStringLiteral("subscribe")) >= 1 && host.rpcClient()->pendingCount() == 0;
}

// Settings and the geometry cache of the suite's own, the cache emptied: one left by an
// earlier run would spare the first connection its geometry. They live under a home of this
// run's own, since other checkouts on the machine may run the same suite at the same time.
inline bool freshCache(const char *suite)
{
    static QTemporaryDir home;
    qputenv("HOME", home.path().toUtf8());
    QStandardPaths::setTestModeEnabled(true);
    QCoreApplication::setOrganizationName(QStringLiteral("lumen-tests"));
    QCoreApplication::setApplicationName(QLatin1String(suite));
    QDir cacheDir(QStandardPaths::writableLocation(QStandardPaths::CacheLocation));
    return cacheDir.path().contains(QLatin1String(suite)) && (!cacheDir.exists() || cacheDir.removeRecursively());
}

// The host with the plug-in loaded and started, its project in a scratch directory.
struct Host
{
    QTemporaryDir projectDir;
    DemoHost host;
    bool start()
    {
        host.setProjectDir(projectDir.path());
        return host.loadPlugin(QStringLiteral(PLUGIN_PATH)) && host.startPlugin();
    }
};

} // namespace E2e
