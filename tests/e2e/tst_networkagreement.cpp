// The real plug-in module against the simulator over loopback, with the simulator's clock
// driven by the test: after loading, and after a run of boards, log-ins, operator commands
// and a dropped connection, what the plug-in holds and lists must be what the simulator has.
// The run is recorded and replayed to the plug-in, which then holds at the same moments what
// it held live, whether it joins the replay late, follows its pace or is taken there by
// seeking back and forth.

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

#include <algorithm>

#include "e2e/agreement.h"
#include "sim/recorder.h"
#include "sim/replayer.h"

namespace {

using namespace E2e;

bool invoke(QObject *plugin, const char *method, QGenericArgument a0, QGenericArgument a1 = QGenericArgument())
{
    return QMetaObject::invokeMethod(plugin, method, Qt::DirectConnection, a0, a1);
}

} // namespace

class tst_NetworkAgreement : public QObject
{
    Q_OBJECT

    QTemporaryDir recordings;
    // Seconds into the live run: what the plug-in held then.
    QMap<int, QString> live;

private slots:
    void initTestCase() { QVERIFY(freshCache("tst_networkagreement")); }

    // The network arrives whole with its geometry, then comes back from the cache without
    // a single geometry request.
    void networkLoadsThenComesFromTheCache()
    {
        Sim::Server server(smallNetwork());
        server.setTickInterval(0);
        QVERIFY2(server.listen(), qPrintable(server.errorString()));
        const Sim::Network &net = server.world().network();
        QVERIFY(net.routes.size() == 4 && net.detectors.size() >= 10);

        Host started;
        QVERIFY(started.start());
        DemoHost &host = started.host;
        QSignalSpy connected(host.rpcClient(), &JsonRpcObject::connected);
        host.connectToServer(server.url());
        QTRY_COMPARE(connected.count(), 1);
        QTRY_VERIFY(loaded(server, host));
        QCOMPARE(server.requestCount(QStringLiteral("RoadNetwork.getRouteGeometry")), net.routes.size());
        QVERIFY(server.requestCount(QStringLiteral("VDTService.getVdtGeometry")) > 0);

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
        Sim::Recorder recorder;
        QVERIFY(recorder.open(recordings.filePath(QStringLiteral("run.jsonl"))));
        server.setRecorder(&recorder);

        Host started;
        QVERIFY(started.start());
        DemoHost &host = started.host;
        QObject *plugin = host.pluginObject();
        QSignalSpy connected(host.rpcClient(), &JsonRpcObject::connected);
        QSignalSpy notifications(host.rpcClient(), &JsonRpcObject::notification);
        host.connectToServer(server.url(), 50);
        QTRY_COMPARE(connected.count(), 1);
        QTRY_VERIFY(loaded(server, host));
        // Taken once everything of a second has come, the command's notifications too: the
        // replay sends a second whole.
        const auto snapshot = [&] {
            const int second = int(world.elapsedSeconds());
            if (second % 15 == 7 || second == 69) {
                QVERIFY(roundTrip(host));
                live.insert(second, registrySnapshot(host));
            }
        };
        // The command's answer and its notifications are in before the clock moves on.
        const auto tick = [&] {
            QTRY_COMPARE(host.rpcClient()->pendingCount(), 0);
            snapshot();
            server.step(1.0);
            QVERIFY(roundTrip(host));
        };

        const int nb = net.boards.size();
        const auto boardName = [&](int i) { return net.boards.at(i % nb).name; };
        const auto routeId = [&](int i) { return net.routes.at(i % net.routes.size()).id; };

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
            QVERIFY(world.placeBoard(boardName(i), d->laidOnRoute, along));
        }
        server.flushNotifications();

        for (int t = 0; t < 60; ++t) {
            const QString board = boardName(t);
            switch (t % 6) {
            case 0:
                QVERIFY(world.setBoardLoggedIn(board, !world.board(board)->loggedIn));
                server.flushNotifications();
                break;
            case 1:
                QVERIFY(invoke(plugin, "assignBoard", Q_ARG(QString, board), Q_ARG(int, routeId(t / 6))));
                break;
            case 2:
                QVERIFY(invoke(plugin, "unassignBoard", Q_ARG(QString, boardName(t * 5))));
                break;
            case 3:
                QVERIFY(invoke(plugin, "setLockBoard", Q_ARG(QString, board), Q_ARG(bool, !world.board(board)->locked)));
                break;
            case 4: {
                const int id = routeId(t);
                QVERIFY(invoke(plugin, "setLockRoute", Q_ARG(int, id), Q_ARG(bool, !world.route(id)->locked)));
                break;
            }
            case 5: {
                const int id = net.detectors.at(t % net.detectors.size()).id;
                QVERIFY(invoke(plugin, "setLockDetector", Q_ARG(int, id), Q_ARG(bool, !world.detector(id)->locked)));
                break;
            }
            }
            tick();
        }

        // The run did what it was meant to: commands reached the simulator and boards
        // passed detectors.
        const auto count = [](const auto &list, auto has) { return std::count_if(list.cbegin(), list.cend(), has); };
        QVERIFY(count(net.boards, [](const Sim::Board &b) { return b.locked; }) > 0 && count(net.boards, [](const Sim::Board &b) { return !b.loggedIn; }) > 0);
        const int unassigned = count(net.boards, [](const Sim::Board &b) { return b.routeId == 0; });
        QVERIFY(unassigned > 0 && unassigned < nb);
        QVERIFY(count(net.routes, [](const Sim::Route &r) { return r.locked; }) > 0 && count(net.detectors, [](const Sim::Detector &d) { return d.locked; }) > 0);
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
                QVERIFY(world.setBoardLoggedIn(boardName(0), !world.board(boardName(0))->loggedIn));
                server.flushNotifications();
            }
            if (t == 5)
                QVERIFY(invoke(plugin, "assignBoard", Q_ARG(QString, boardName(nb - 1)), Q_ARG(int, routeId(0))));
            tick();
        }
        QCOMPARE(world.board(boardName(nb - 1))->routeId, routeId(0));
        QCOMPARE(disagreements(world, host, true), QString());
        recorder.finish(world);
    }

    void replayAgreesWithTheLiveRun()
    {
        QVERIFY2(live.keys() == QList<int>({7, 22, 37, 52, 67, 69}), "the live run comes first");
        Sim::Recording recording = Sim::Recording::load(recordings.filePath(QStringLiteral("run.jsonl")));
        QVERIFY2(recording.ok(), qPrintable(recording.error()));
        Sim::Server server(Sim::Network{});
        server.setTickInterval(0);
        QVERIFY(server.listen());
        Sim::Replayer replayer(std::move(recording), &server);

        // Joining at 6 s, the plug-in loads what the server had then; positions follow.
        replayer.advanceTo(6.0);
        Host started;
        QVERIFY(started.start());
        DemoHost &host = started.host;
        host.connectToServer(server.url());
        QTRY_VERIFY(loaded(server, host));
        const auto at = [&](int second) {
            QVERIFY(QTest::qWaitFor([&] { return roundTrip(host) && host.rpcClient()->pendingCount() == 0; }, 10000));
            // Lists compared say where they first differ.
            const QStringList got = registrySnapshot(host).split(QLatin1Char('\n')), want = live.value(second).split(QLatin1Char('\n'));
            if (got != want)
                qWarning("the replay at %d s:", second);
            QCOMPARE(got, want);
        };
        for (int second : {7, 22, 37}) {
            replayer.advanceTo(second);
            at(second);
        }
        // Back and forth, over boards entering and leaving detectors and log-ins changing.
        for (int second : {7, 22, 69, 52, 67, 7, 37}) {
            replayer.seek(second);
            at(second);
        }
    }
};

QTEST_MAIN(tst_NetworkAgreement)
#include "tst_networkagreement.moc"
