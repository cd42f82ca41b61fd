// The real plug-in module against the simulator over loopback, with the simulator's clock
// driven by the test: after loading, and after a run of boards, log-ins, operator commands
// and a dropped connection, what the plug-in holds and lists must be what the simulator has.

#include <QDir>
#include <QFile>
#include <QGraphicsItem>
#include <QGraphicsObject>
#include <QGraphicsScene>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>

#include "demohost.h"
#include "kernel/roadkernel.h"
#include "jsonrpc/jsonrpcobject.h"
#include "jsonrpc/response.h"
#include "kernel/roaditemmodel.h"
#include "sim/generator.h"
#include "sim/server.h"

namespace {

const QString kTop = QStringLiteral("Traffic priority system");
const QString kRoutes = QStringLiteral("Routes");
const QString kUnassigned = QStringLiteral("Not assigned boards");
const QString kAssigned = QStringLiteral("Assigned boards");
const QString kEmergency = QStringLiteral("Emergency call detectors");

// Small enough that the geometry cache stays far below its 1 MB limit, with boards off
// their routes, emergency detectors and boards enough for a few to share a detector.
Sim::Network smallNetwork()
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

SceneObjects sceneObjects(QGraphicsScene *scene)
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

QStringList entryNames(const Road::ItemModelItem *section)
{
    QStringList names;
    for (Road::ItemModelItem *child : section->childItems()) {
        auto *entry = qobject_cast<Road::ItemObj *>(child);
        names << (entry && entry->object() ? entry->object()->property("name").toString() : QStringLiteral("<?>"));
    }
    return names;
}

QList<int> entryIds(const Road::ItemModelItem *section)
{
    QList<int> ids;
    for (Road::ItemModelItem *child : section->childItems()) {
        auto *entry = qobject_cast<Road::ItemObj *>(child);
        ids << (entry && entry->object() ? entry->object()->property("id").toInt() : -1);
    }
    return ids;
}

const Road::ItemModelItem *subSection(const Road::ItemModelItem *entry, const QString &objectName)
{
    for (Road::ItemModelItem *child : entry->childItems()) {
        if (!qobject_cast<Road::ItemObj *>(child) && child->objectName() == objectName)
            return child;
    }
    return nullptr;
}

TreeContents treeContents(Road::ItemModel *model)
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
QString disagreements(const Sim::World &world, DemoHost &host, bool positionsSent)
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

    for (const Sim::Route &r : net.routes) {
        const QList<QObject *> found = objects.routes.values(r.id);
        if (found.size() != 1) {
            out << QStringLiteral("route %1: %2 objects").arg(r.id).arg(found.size());
            continue;
        }
        if (found.first()->property("locked").toBool() != r.locked)
            out << QStringLiteral("route %1: locked %2, simulator %3").arg(r.id).arg(!r.locked).arg(r.locked);
        if (!found.first()->property("hasGeometry").toBool())
            out << QStringLiteral("route %1: no geometry").arg(r.id);
        if (tree.routeEntries.count(r.id) != 1)
            out << QStringLiteral("route %1: %2 tree entries").arg(r.id).arg(tree.routeEntries.count(r.id));
    }
    if (objects.routes.size() != net.routes.size())
        out << QStringLiteral("%1 routes, simulator %2").arg(objects.routes.size()).arg(net.routes.size());

    for (const Sim::Detector &d : net.detectors) {
        const QList<QObject *> found = objects.detectors.values(d.id);
        if (found.size() != 1) {
            out << QStringLiteral("detector %1: %2 objects").arg(d.id).arg(found.size());
            continue;
        }
        if (found.first()->property("locked").toBool() != d.locked)
            out << QStringLiteral("detector %1: locked %2, simulator %3").arg(d.id).arg(!d.locked).arg(d.locked);
        if (!found.first()->property("hasGeometry").toBool())
            out << QStringLiteral("detector %1: no geometry").arg(d.id);
        // Listed once under each of its routes, or once among the emergency detectors.
        if (d.emergency && tree.emergencyEntries.count(d.id) != 1)
            out << QStringLiteral("emergency detector %1: %2 tree entries").arg(d.id).arg(tree.emergencyEntries.count(d.id));
        for (int routeId : d.routes) {
            if (!d.emergency && tree.routeDetectors.value(routeId).count(d.id) != 1)
                out << QStringLiteral("detector %1: not listed once under route %2").arg(d.id).arg(routeId);
        }
        // A detector no board is in has had the last board's leaving reported.
        if (world.detectorBoards(d).isEmpty() && !world.detectorActivated(d) && found.first()->property("active").toBool())
            out << QStringLiteral("detector %1: active with no board in it").arg(d.id);
    }
    if (objects.detectors.size() != net.detectors.size())
        out << QStringLiteral("%1 detectors, simulator %2").arg(objects.detectors.size()).arg(net.detectors.size());
    if (tree.sections != QStringList{kRoutes, kUnassigned, kAssigned, kEmergency})
        out << QStringLiteral("tree sections: ") + tree.sections.join(QStringLiteral(", "));
    return out.join(QLatin1Char('\n'));
}

// Waits until every notification the server sent before now has been handled: the answer
// to a request comes after them on the same socket.
bool roundTrip(DemoHost &host)
{
    auto *response = qobject_cast<Response *>(
        host.rpcClient()->postCommand(QStringLiteral("PserverApp.getWebUrl"), QVariant()));
    if (!response)
        return false;
    QPointer<Response> guard(response);
    QSignalSpy finished(response, &Response::finished);
    return finished.wait(5000) || (guard && guard->isFinished());
}

bool invoke(QObject *plugin, const char *method, QGenericArgument a0, QGenericArgument a1 = QGenericArgument())
{
    return QMetaObject::invokeMethod(plugin, method, Qt::DirectConnection, a0, a1);
}

// Loading done: the lists answered, the subscription sent, nothing outstanding.
bool loaded(const Sim::Server &server, DemoHost &host)
{
    return server.requestCount(QStringLiteral("BoardsServer.getBoards")) >= 1
        && server.requestCount(QStringLiteral("subscribe")) >= 1 && host.rpcClient()->pendingCount() == 0;
}

} // namespace

class tst_NetworkAgreement : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        QCoreApplication::setOrganizationName(QStringLiteral("lumen-tests"));
        QCoreApplication::setApplicationName(QStringLiteral("tst_networkagreement"));
        QDir cacheDir(QStandardPaths::writableLocation(QStandardPaths::CacheLocation));
        QVERIFY(cacheDir.path().contains(QStringLiteral("tst_networkagreement")));
        // A cache left by an earlier run would spare the first connection its geometry.
        QVERIFY(!cacheDir.exists() || cacheDir.removeRecursively());
    }

    // The network arrives whole with its geometry, then comes back from the cache without
    // a single geometry request.
    void networkLoadsThenComesFromTheCache()
    {
        Sim::Server server(smallNetwork());
        server.setTickInterval(0);
        QVERIFY2(server.listen(), qPrintable(server.errorString()));
        const Sim::Network &net = server.world().network();
        QVERIFY(net.routes.size() == 4 && net.detectors.size() >= 10);

        QTemporaryDir projectDir;
        DemoHost host;
        host.setProjectDir(projectDir.path());
        QVERIFY2(host.loadPlugin(QStringLiteral(PLUGIN_PATH)), qPrintable(host.errorString()));
        QVERIFY(host.startPlugin());
        QObject *plugin = host.pluginObject();
        QSignalSpy connected(host.rpcClient(), &JsonRpcObject::connected);
        host.connectToServer(server.url());
        QTRY_COMPARE(connected.count(), 1);
        QTRY_VERIFY(loaded(server, host));
        QCOMPARE(server.requestCount(QStringLiteral("RoadNetwork.getRouteGeometry")), net.routes.size());
        QVERIFY(server.requestCount(QStringLiteral("VDTService.getVdtGeometry")) > 0);

        QObjectList routes;
        QVERIFY(QMetaObject::invokeMethod(plugin, "getRoutes", Q_RETURN_ARG(QObjectList, routes)));
        QCOMPARE(routes.size(), net.routes.size());
        QCOMPARE(disagreements(server.world(), host, false), QString());

        // The cache is written a moment after the last answer; wait until it holds it all.
        const QDir cacheDir(QStandardPaths::writableLocation(QStandardPaths::CacheLocation));
        QString cacheFile;
        const auto cacheComplete = [&] {
            const QFileInfoList files = cacheDir.entryInfoList(QDir::Files);
            if (files.size() != 1)
                return false;
            cacheFile = files.first().absoluteFilePath();
            QFile file(cacheFile);
            if (!file.open(QIODevice::ReadOnly))
                return false;
            const QJsonObject root = QJsonDocument::fromJson(file.readAll()).object();
            return root.value(QStringLiteral("routes")).toObject().size() == net.routes.size()
                && root.value(QStringLiteral("detectors")).toObject().size() == net.detectors.size();
        };
        QTRY_VERIFY_WITH_TIMEOUT(cacheComplete(), 10000);
        QVERIFY2(QFileInfo(cacheFile).size() < 1000000, qPrintable(QString::number(QFileInfo(cacheFile).size())));

        host.rpcClient()->close();
        QTRY_COMPARE(connected.count(), 2);
        QCOMPARE(connected.at(1).at(0).toBool(), false);
        QVERIFY(sceneObjects(host.scene()).routes.isEmpty());
        QVERIFY(treeContents(host.itemModel()).sections.isEmpty());

        server.resetCounters();
        host.connectToServer(server.url());
        QTRY_COMPARE(connected.count(), 3);
        QTRY_VERIFY(loaded(server, host));
        QCOMPARE(server.requestCount(QStringLiteral("RoadNetwork.getRouteList")), 1);
        QCOMPARE(server.requestCount(QStringLiteral("VDTService.getVdtList")), 1);
        QCOMPARE(server.requestCount(QStringLiteral("RoadNetwork.getRouteGeometry")), 0);
        QCOMPARE(server.requestCount(QStringLiteral("VDTService.getVdtGeometry")), 0);
        QCOMPARE(disagreements(server.world(), host, false), QString());
    }

    // A minute of traffic with the operator at work, then a dropped connection: both times
    // the plug-in ends up with exactly the simulator's state.
    void liveStateAgrees()
    {
        Sim::Server server(smallNetwork());
        server.setTickInterval(0);
        QVERIFY2(server.listen(), qPrintable(server.errorString()));
        Sim::World &world = server.world();
        const Sim::Network &net = world.network();

        QTemporaryDir projectDir;
        DemoHost host;
        host.setProjectDir(projectDir.path());
        QVERIFY2(host.loadPlugin(QStringLiteral(PLUGIN_PATH)), qPrintable(host.errorString()));
        QVERIFY(host.startPlugin());
        QObject *plugin = host.pluginObject();
        QSignalSpy connected(host.rpcClient(), &JsonRpcObject::connected);
        QSignalSpy notifications(host.rpcClient(), &JsonRpcObject::notification);
        host.connectToServer(server.url(), 50);
        QTRY_COMPARE(connected.count(), 1);
        QTRY_VERIFY(loaded(server, host));

        QStringList boardNames;
        for (const Sim::Board &b : net.boards)
            boardNames << b.name;
        QList<int> routeIds;
        for (const Sim::Route &r : net.routes)
            routeIds << r.id;
        QList<int> detectorIds;
        for (const Sim::Detector &d : net.detectors)
            detectorIds << d.id;
        const int nb = boardNames.size();

        // Every board drives towards a detector a little way ahead of it, so that boards
        // pass detectors within the minute.
        QVector<const Sim::Detector *> lineDetectors;
        for (const Sim::Detector &d : net.detectors) {
            if (!d.emergency && d.laidOnRoute)
                lineDetectors.append(&d);
        }
        QVERIFY(!lineDetectors.isEmpty());
        for (int i = 0; i < nb; ++i) {
            const Sim::Detector *d = lineDetectors.at(i % lineDetectors.size());
            const double along = std::max(0.0, d->startAlong - 40.0 - 15.0 * (i / lineDetectors.size()));
            QVERIFY(world.placeBoard(boardNames.at(i), d->laidOnRoute, along));
        }
        server.flushNotifications();

        for (int t = 0; t < 60; ++t) {
            const QString board = boardNames.at(t % nb);
            switch (t % 6) {
            case 0:
                QVERIFY(world.setBoardLoggedIn(board, !world.board(board)->loggedIn));
                server.flushNotifications();
                break;
            case 1:
                QVERIFY(invoke(plugin, "assignBoard", Q_ARG(QString, board), Q_ARG(int, routeIds.at((t / 6) % routeIds.size()))));
                break;
            case 2:
                QVERIFY(invoke(plugin, "unassignBoard", Q_ARG(QString, boardNames.at((t * 5) % nb))));
                break;
            case 3:
                QVERIFY(invoke(plugin, "setLockBoard", Q_ARG(QString, board), Q_ARG(bool, !world.board(board)->locked)));
                break;
            case 4: {
                const int id = routeIds.at(t % routeIds.size());
                QVERIFY(invoke(plugin, "setLockRoute", Q_ARG(int, id), Q_ARG(bool, !world.route(id)->locked)));
                break;
            }
            case 5: {
                const int id = detectorIds.at(t % detectorIds.size());
                QVERIFY(invoke(plugin, "setLockDetector", Q_ARG(int, id), Q_ARG(bool, !world.detector(id)->locked)));
                break;
            }
            }
            // The command's answer and its notifications are in before the clock moves on.
            QTRY_COMPARE(host.rpcClient()->pendingCount(), 0);
            server.step(1.0);
            QVERIFY(roundTrip(host));
        }

        // The run did what it was meant to: commands reached the simulator and boards
        // passed detectors.
        int locked = 0, loggedOut = 0, unassigned = 0;
        for (const Sim::Board &b : net.boards) {
            locked += b.locked;
            loggedOut += !b.loggedIn;
            unassigned += b.routeId == 0;
        }
        int lockedRoutes = 0, lockedDetectors = 0;
        for (const Sim::Route &r : net.routes)
            lockedRoutes += r.locked;
        for (const Sim::Detector &d : net.detectors)
            lockedDetectors += d.locked;
        QVERIFY(locked > 0 && loggedOut > 0 && unassigned > 0 && unassigned < nb);
        QVERIFY(lockedRoutes > 0 && lockedDetectors > 0);
        int activeStates = 0, positions = 0;
        for (const QList<QVariant> &n : qAsConst(notifications)) {
            const QString method = n.at(0).toString();
            positions += method == QLatin1String("BoardsServer.boardPosition");
            activeStates += method == QLatin1String("VDTService.vdtStateChanged")
                && n.at(1).toMap().value(QStringLiteral("state")).toString() == QLatin1String("active");
        }
        QVERIFY2(positions > 100, qPrintable(QString::number(positions)));
        QVERIFY2(activeStates > 0, "no board passed a detector");

        QCOMPARE(disagreements(world, host, true), QString());

        // The connection drops; the host opens it again and everything is loaded anew.
        server.resetCounters();
        server.dropConnections();
        QTRY_COMPARE(connected.count(), 3);
        QCOMPARE(connected.at(1).at(0).toBool(), false);
        QCOMPARE(connected.at(2).at(0).toBool(), true);
        QTRY_VERIFY(loaded(server, host));
        for (int t = 0; t < 10; ++t) {
            if (t == 3) {
                QVERIFY(world.setBoardLoggedIn(boardNames.first(), !world.board(boardNames.first())->loggedIn));
                server.flushNotifications();
            }
            if (t == 5)
                QVERIFY(invoke(plugin, "assignBoard", Q_ARG(QString, boardNames.last()), Q_ARG(int, routeIds.first())));
            QTRY_COMPARE(host.rpcClient()->pendingCount(), 0);
            server.step(1.0);
            QVERIFY(roundTrip(host));
        }
        QCOMPARE(world.board(boardNames.last())->routeId, routeIds.first());
        QCOMPARE(disagreements(world, host, true), QString());
    }
};

QTEST_MAIN(tst_NetworkAgreement)
#include "tst_networkagreement.moc"
