// The real plug-in module in the demo's host set-up against the simulator, through a run of
// server faults and host actions, one after another and mixed: after each, once things have
// settled, the plug-in must hold and list exactly what the simulator has. A console that
// stays blank after a fault fails here.

#include <QJsonArray>
#include <QJsonObject>
#include <QtTest>

#include "e2e/agreement.h"

using namespace E2e;

namespace {

// The plug-in waits ten seconds before it starts again after a failed loading request.
constexpr int SettleMs = 15000;

} // namespace

class tst_FaultSoak : public QObject
{
    Q_OBJECT

    Sim::Server *server = nullptr;
    DemoHost *host = nullptr;

    // Injects nothing itself: waits until the plug-in agrees with the simulator again, with no
    // request outstanding.
    bool settled(const char *fault)
    {
        QString last;
        const bool agreed = QTest::qWaitFor(
            [&] {
                if (!roundTrip(*host) || host->rpcClient()->pendingCount() != 0)
                    return false;
                last = disagreements(server->world(), *host, false);
                return last.isEmpty();
            },
            SettleMs);
        if (!agreed)
            qWarning("%s: still different after %d ms:\n%s", fault, SettleMs, qPrintable(last));
        return agreed;
    }
    // Waits until the plug-in has asked for method once more than before.
    bool asked(const QString &method, int before)
    {
        return QTest::qWaitFor([&] { return server->requestCount(method) > before; }, 5000);
    }
    // Changes the network and waits until the plug-in has asked for method again.
    bool changeAsks(const QString &method, int routes, int detectors)
    {
        const int before = server->requestCount(method);
        server->world().changeNetwork(routes, detectors);
        server->flushNotifications();
        return asked(method, before);
    }

private slots:
    void initTestCase() { QVERIFY(freshCache("tst_faultsoak")); }

    void soak()
    {
        Sim::Server simulator(smallNetwork());
        server = &simulator;
        simulator.setTickInterval(0);
        QVERIFY2(simulator.listen(), qPrintable(simulator.errorString()));
        Sim::World &world = simulator.world();
        const QString routeList = QStringLiteral("RoadNetwork.getRouteList");
        const QString detectorList = QStringLiteral("VDTService.getVdtList");
        const QString geometry = QStringLiteral("RoadNetwork.getRouteGeometry");

        QTemporaryDir projectDir;
        DemoHost demo;
        host = &demo;
        demo.setProjectDir(projectDir.path());
        QVERIFY2(demo.loadPlugin(QStringLiteral(PLUGIN_PATH)), qPrintable(demo.errorString()));

        // A host that connects before it starts its plug-ins.
        demo.connectToServer(simulator.url(), 50);
        QTRY_VERIFY(demo.isConnected());
        QVERIFY(demo.startPlugin());
        QVERIFY(settled("start on a connected object"));

        // An error answer to one of the plug-in's own loading requests.
        simulator.failMethod(routeList, 5, QStringLiteral("broken"));
        QVERIFY(changeAsks(routeList, 1, 1));
        simulator.clearFaults();
        QVERIFY(settled("error answer to the route list"));

        // A refusal for lack of permission, then the user's role changes.
        simulator.failMethod(detectorList, -32000, QStringLiteral("no permission"));
        QVERIFY(changeAsks(detectorList, 0, 2));
        QTRY_VERIFY(!demo.plugin().rpcObject());
        simulator.clearFaults();
        QVERIFY(simulator.setRole(QStringLiteral("observer")));
        QVERIFY(settled("refusal, then a role change"));
        QVERIFY(simulator.setRole(QStringLiteral("operator")));

        // The connection drops while geometry requests are outstanding.
        simulator.delayMethod(geometry, 400);
        QVERIFY(changeAsks(geometry, 2, 0));
        simulator.dropConnections();
        simulator.clearFaults();
        QVERIFY(settled("connection dropped with requests outstanding"));

        // A position of a board the server does not know: its board data is refused.
        simulator.sendNotification(QStringLiteral("BoardsServer.boardPosition"),
                                   QJsonObject{{QStringLiteral("board_name"), QStringLiteral("GHOST1")},
                                               {QStringLiteral("pos"), QJsonArray{37.6, 55.75}}});
        QVERIFY(settled("board data refused"));

        // A route goes from the network and comes back, with its boards and detectors.
        int ridden = 0;
        for (const Sim::Board &b : world.network().boards)
            ridden = b.routeId != 0 ? b.routeId : ridden;
        QVERIFY(ridden != 0);
        QVERIFY(world.withdrawRoute(ridden));
        simulator.flushNotifications();
        QVERIFY(settled("route withdrawn"));
        QVERIFY(world.restoreRoute(ridden));
        simulator.flushNotifications();
        QVERIFY(settled("route brought back"));

        // The host clears its scene.
        demo.scene()->clear();
        QVERIFY(settled("scene cleared"));

        // Mixed: the scene goes while lists are on their way, then the connection drops while
        // the reload is outstanding and the network changes meanwhile.
        simulator.delayMethod(routeList, 300);
        QVERIFY(changeAsks(routeList, 1, 1));
        const int before = simulator.requestCount(routeList);
        demo.scene()->clear();
        QVERIFY(asked(routeList, before));
        simulator.dropConnections();
        world.withdrawRoute(ridden);
        simulator.clearFaults();
        QVERIFY(settled("scene cleared, connection dropped, route withdrawn"));
        world.restoreRoute(ridden);
        simulator.flushNotifications();
        QVERIFY(settled("route brought back after the drop"));

        host = nullptr;
        server = nullptr;
    }
};

QTEST_MAIN(tst_FaultSoak)
#include "tst_faultsoak.moc"
