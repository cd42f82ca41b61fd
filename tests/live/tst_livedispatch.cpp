// Notifications: the subscription, once per connection, and the dispatch of the nine
// notifications with their warnings; board positions forwarded to timeline widgets.

#include <QtTest>

#include <algorithm>
#include <utility>

#include "items/prioroute.h"
#include "items/priovdetector.h"
#include "items/priovehicle.h"
#include "livehost.h"

namespace {

const QString kPosition = QStringLiteral("BoardsServer.boardPosition");
const QString kStateChanged = QStringLiteral("VDTService.vdtStateChanged");
const QString kRemoved = QStringLiteral("BoardsServer.boardsRemoved");
const QString kGetBoardData = QStringLiteral("BoardsServer.getBoardData");
const QString kPutFailed = QStringLiteral("critical: [PriorityPlugin] ERROR: Invoke TimelineWidget::putBoardData failed");

QVariantMap detectorRecord(int id, const QVariantList &routes)
{
    return QVariantMap{{"id", id}, {"routes", routes}};
}

// A forwarded call as one line: board, route, UTC time (or "-"), offset, priority.
QString callText(const TimelineCall &call)
{
    return QStringLiteral("%1 %2 %3 %4 %5")
        .arg(call.board, call.route,
             call.time.isValid() ? call.time.toUTC().toString(Qt::ISODate) : QStringLiteral("-"))
        .arg(call.offset)
        .arg(call.active ? "true" : "false");
}

QVariantMap position(const QString &board, const QVariantMap &extra = {})
{
    QVariantMap params = extra;
    params.insert("board_name", board);
    return params;
}

} // namespace

class tst_LiveDispatch : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { prepareLiveSuite(QStringLiteral("tst_livedispatch")); }
    void init() { resetLiveStorage(); }

    void subscriptionOncePerConnection()
    {
        const QStringList nine{"BoardsServer.boardLoggedIn", "BoardsServer.boardDisconnected",
                               "BoardsServer.boardPosition", "BoardsServer.boardPropertiesChanged",
                               "BoardsServer.boardsRemoved", "VDTService.vdtStateChanged",
                               "VDTService.vdtPropertiesChanged", "RoadNetwork.routePropertiesChanged",
                               "RoadNetwork.networkChanged"};
        LiveHost host;
        QVERIFY(host.connectWith());
        QVERIFY(host.rpc->subscriptions.isEmpty());
        emit host.rpc->requestQueueEmpty();
        QCOMPARE(host.rpc->subscriptions, QVector<QStringList>{nine});
        emit host.rpc->requestQueueEmpty();
        QCOMPARE(host.rpc->subscriptions.size(), 1);

        emit host.rpc->connected(false);
        QVERIFY(host.connectWith());
        QCOMPARE(host.rpc->subscriptions.size(), 1);
        emit host.rpc->requestQueueEmpty();
        emit host.rpc->requestQueueEmpty();
        QCOMPARE(host.rpc->subscriptions, (QVector<QStringList>{nine, nine}));

        // A second connected(true) without a disconnection is a new connection all the same.
        QVERIFY(host.connectWith());
        emit host.rpc->requestQueueEmpty();
        QCOMPARE(host.rpc->subscriptions.size(), 3);
    }

    // The only way to make the invocation fail on the scripted host is to have no object:
    // the slot run while the plug-in is detached.
    void subscriptionWithoutObjectFails()
    {
        Road::Kernel kernel;
        PriorityPlugin plugin(&kernel);
        LogCapture log;
        QVERIFY(QMetaObject::invokeMethod(&plugin, "on_rpcObjectRequestQueueEmpty"));
        QCOMPARE(pluginLines(log), QStringList{"critical: [PriorityPlugin] ERROR: Invoke 'subscribe' failed"});
        QVERIFY(plugin.isSubscribed());
        QVERIFY(!plugin.isRestartPending());
        QVERIFY(QMetaObject::invokeMethod(&plugin, "on_rpcObjectRequestQueueEmpty"));
        QCOMPARE(pluginLines(log).size(), 1);
    }

    void positionOfAnUnknownBoard()
    {
        LiveHost host;
        QVERIFY(host.connectWith({routeRecord(5)}));
        host.rpc->script(kGetBoardData, Script::Never);
        auto *timeline = new RecordingTimeline(&host.owner);
        host.plugin->registerTimeline(timeline);
        int requestsSeenByWidget = -1;
        timeline->onCall = [&] { requestsSeenByWidget = host.countOf(kGetBoardData); };

        host.notify(kPosition, position("B9", {{"pos", QVariantList{30.5, 50.25}},
                                              {"time", "2024-03-01T10:15:30Z"},
                                              {"offset_s", 12.5}}));
        PrioVehicle *vehicle = host.plugin->board("B9");
        QVERIFY(vehicle);
        QCOMPARE(vehicle->gpsPos(), QPointF(30.5, 50.25));
        QCOMPARE(host.paramsOf(kGetBoardData), (QVariantList{QVariantMap{{"name", "B9"}}}));
        QCOMPARE(requestsSeenByWidget, 1);
        QCOMPARE(timeline->calls.size(), 1);
        const TimelineCall call = timeline->calls.first();
        QCOMPARE(callText(call), QStringLiteral("B9 0 2024-03-01T10:15:30Z 12.5 false"));
    }

    void timelineArguments_data()
    {
        QTest::addColumn<QVariantMap>("params");
        QTest::addColumn<int>("route");
        QTest::addColumn<QString>("state");
        QTest::addColumn<QString>("call");

        const QVariantMap full{{"time", "2024-03-01T10:15:30Z"}, {"offset_s", 12.5}};
        QTest::newRow("all given, active") << full << 5 << "active" << "B1 5 2024-03-01T10:15:30Z 12.5 true";
        QTest::newRow("time that is no date") << QVariantMap{{"time", "yesterday"}, {"offset_s", 1}} << 5 << ""
                                              << "B1 5 - 1 false";
        QTest::newRow("time with a zone offset")
            << QVariantMap{{"time", "2024-03-01T12:15:30+02:00"}, {"offset_s", 12.5}} << 5 << ""
            << "B1 5 2024-03-01T10:15:30Z 12.5 false";
        QTest::newRow("no offset") << QVariantMap{{"time", "2024-03-01T10:15:30Z"}} << 5 << ""
                                   << "B1 5 2024-03-01T10:15:30Z -1 false";
        QTest::newRow("offset 0") << QVariantMap{{"offset_s", 0}} << 5 << "" << "B1 5 - 0 false";
        QTest::newRow("offset as text") << QVariantMap{{"offset_s", "7.25"}} << 5 << "" << "B1 5 - 7.25 false";
        QTest::newRow("detector says inside") << full << 5 << "inside" << "B1 5 2024-03-01T10:15:30Z 12.5 false";
        QTest::newRow("not assigned") << full << 0 << "active" << "B1 0 2024-03-01T10:15:30Z 12.5 true";
        QTest::newRow("route not loaded") << full << 77 << "" << "B1 77 2024-03-01T10:15:30Z 12.5 false";
    }
    void timelineArguments()
    {
        QFETCH(QVariantMap, params);
        QFETCH(int, route);
        QFETCH(QString, state);
        QFETCH(QString, call);

        LiveHost host;
        QVERIFY(host.connectWith({routeRecord(5)}, {detectorRecord(7, {5})}, {{"B1", QVariantMap{{"route_id", route}}}}));
        if (!state.isEmpty())
            host.notify(kStateChanged, QVariantMap{{"dt", 7}, {"state", state}, {"board_name", "B1"}});
        auto *timeline = new RecordingTimeline(&host.owner);
        host.plugin->registerTimeline(timeline);

        host.notify(kPosition, position("B1", params));
        QCOMPARE(timeline->calls.size(), 1);
        // Widgets get local time, as the host's own widgets expect.
        QVERIFY(!timeline->calls.first().time.isValid() || timeline->calls.first().time.timeSpec() == Qt::LocalTime);
        QCOMPARE(callText(timeline->calls.first()), call);
    }

    void timelineWithoutTheMethod_data()
    {
        QTest::addColumn<bool>("lackingFirst");
        QTest::newRow("lacking one registered first") << true;
        QTest::newRow("lacking one registered last") << false;
    }
    void timelineWithoutTheMethod()
    {
        QFETCH(bool, lackingFirst);
        LiveHost host;
        QVERIFY(host.connectWith({}, {}, {{"B1", QVariantMap()}, {"B2", QVariantMap()}}));
        auto *lacking = new TimelineWidget(&host.owner);
        auto *recording = new RecordingTimeline(&host.owner);
        host.plugin->registerTimeline(lackingFirst ? static_cast<QObject *>(lacking) : recording);
        host.plugin->registerTimeline(lackingFirst ? static_cast<QObject *>(recording) : lacking);
        QCOMPARE(host.plugin->timelineWidgets().size(), 2);

        LogCapture log;
        host.notify(kPosition, position("B1"));
        host.notify(kPosition, position("B2"));
        QCOMPARE(log.count(kPutFailed), 2);
        QCOMPARE(pluginLines(log).size(), 2);
        QCOMPARE(recording->calls.size(), 2);
        QCOMPARE(recording->calls.at(1).board, QStringLiteral("B2"));
    }

    // Widgets may do anything while they are called; the arguments were worked out before
    // the first of them, and a widget that is gone is not called.
    void widgetActsDuringForwarding_data()
    {
        QTest::addColumn<QString>("action");
        QTest::addColumn<int>("secondCalls");
        QTest::addColumn<int>("thirdCalls");

        QTest::newRow("deletes the next widget") << "delete next" << 0 << 1;
        QTest::newRow("removes the board") << "remove board" << 1 << 1;
        QTest::newRow("moves the board to another route") << "move board" << 1 << 1;
        QTest::newRow("ends the board's priority") << "end priority" << 1 << 1;
        QTest::newRow("destroys the JSON-RPC object") << "destroy rpc" << 1 << 1;
        QTest::newRow("registers another widget") << "register" << 1 << 1;
    }
    void widgetActsDuringForwarding()
    {
        QFETCH(QString, action);
        QFETCH(int, secondCalls);
        QFETCH(int, thirdCalls);

        LiveHost host;
        QVERIFY(host.connectWith({routeRecord(5), routeRecord(6)}, {detectorRecord(7, {5})},
                                 {{"B1", QVariantMap{{"route_id", 5}}}}));
        host.notify(kStateChanged, QVariantMap{{"dt", 7}, {"state", "active"}, {"board_name", "B1"}});
        QPointer<RecordingTimeline> first = new RecordingTimeline(&host.owner);
        QPointer<RecordingTimeline> second = new RecordingTimeline(&host.owner);
        QPointer<RecordingTimeline> third = new RecordingTimeline(&host.owner);
        QPointer<RecordingTimeline> late = new RecordingTimeline(&host.owner);
        for (RecordingTimeline *w : {first.data(), second.data(), third.data()})
            host.plugin->registerTimeline(w);

        bool acted = false;
        first->onCall = [&] {
            if (std::exchange(acted, true))
                return;
            if (action == "delete next")
                delete second.data();
            else if (action == "remove board")
                host.notify(kRemoved, QVariantList{"B1"});
            else if (action == "move board")
                host.notify("BoardsServer.boardPropertiesChanged", QVariantMap{{"board_name", "B1"}, {"route_id", 6}});
            else if (action == "end priority")
                host.notify(kStateChanged, QVariantMap{{"dt", 7}, {"state", "inside"}, {"board_name", "B1"}});
            else if (action == "destroy rpc")
                delete host.rpc.data();
            else if (action == "register")
                host.plugin->registerTimeline(late);
        };

        LogCapture log;
        host.notify(kPosition, position("B1", {{"offset_s", 3.0}}));
        QCOMPARE(first->calls.size(), 1);
        if (second)
            QCOMPARE(second->calls.size(), secondCalls);
        else
            QCOMPARE(secondCalls, 0);
        QCOMPARE(third->calls.size(), thirdCalls);
        QCOMPARE(late->calls.size(), 0);
        for (const TimelineCall &call : third->calls + (second ? second->calls : QVector<TimelineCall>()))
            QCOMPARE(callText(call), QStringLiteral("B1 5 - 3 true"));
        QCOMPARE(log.count(kPutFailed), 0);

        if (action == "delete next")
            QCOMPARE(host.plugin->timelineWidgets().size(), 2);
        if (action == "register") {
            host.notify(kPosition, position("B1"));
            QCOMPARE(late->calls.size(), 1);
            QCOMPARE(third->calls.size(), 2);
        }
    }

    // Nothing may be touched after a widget deleted the plug-in itself (AddressSanitizer).
    void widgetDeletesThePlugin()
    {
        LiveHost host;
        QVERIFY(host.connectWith({}, {}, {{"B1", QVariantMap()}}));
        auto *first = new RecordingTimeline(&host.owner);
        auto *second = new RecordingTimeline(&host.owner);
        host.plugin->registerTimeline(first);
        host.plugin->registerTimeline(second);
        first->onCall = [&] { delete host.plugin.data(); };
        host.notify(kPosition, position("B1"));
        QVERIFY(!host.plugin);
        QCOMPARE(first->calls.size(), 1);
        QVERIFY(second->calls.size() <= 1);
        // The JSON-RPC object stays usable for a plug-in made anew.
        host.plugin = new PriorityPlugin(&host.kernel);
        QVERIFY(host.plugin->start(host.rpc));
        QVERIFY(host.connectWith({}, {}, {{"B1", QVariantMap()}}));
        QVERIFY(host.plugin->board("B1"));
    }

    void detectorStateChange_data()
    {
        QTest::addColumn<QVariantMap>("params");
        QTest::addColumn<QStringList>("snapshotFirst"); // in any order, before the rest
        QTest::addColumn<QStringList>("then");
        QTest::addColumn<QString>("detectorState");
        QTest::addColumn<QStringList>("states");
        QTest::addColumn<QStringList>("warnings");

        const QStringList ab{"A:active", "B:active"};
        QTest::newRow("named board registered")
            << QVariantMap{{"dt", 7}, {"state", "inside"}, {"board_name", "C"}} << ab << QStringList{"C:active"}
            << "inside" << QStringList{"A=inside", "B=inside", "C=inside"} << QStringList();
        QTest::newRow("named board in the snapshot")
            << QVariantMap{{"dt", 7}, {"state", "inside"}, {"board_name", "A"}} << ab << QStringList()
            << "inside" << QStringList{"A=inside", "B=inside", "C="} << QStringList();
        QTest::newRow("named board unknown")
            << QVariantMap{{"dt", 7}, {"state", "inside"}, {"board_name", "D"}} << ab << QStringList()
            << "inside" << QStringList{"A=inside", "B=inside", "C=", "D=inside"} << QStringList();
        QTest::newRow("no board_name")
            << QVariantMap{{"dt", 7}, {"state", "inside"}} << ab << QStringList() << "inside"
            << QStringList{"A=inside", "B=inside", "C="}
            << QStringList{"warning: [PriorityPlugin] WARN: Invalid VDTService.vdtStateChanged event: no 'board_name'"};
        QTest::newRow("detector unknown")
            << QVariantMap{{"dt", 8}, {"state", "inside"}, {"board_name", "C"}} << QStringList() << QStringList{"C:active"}
            << "active" << QStringList{"A=active", "B=active", "C=inside"} << QStringList();
        QTest::newRow("no state")
            << QVariantMap{{"dt", 7}, {"board_name", "C"}} << QStringList() << QStringList()
            << "active" << QStringList{"A=active", "B=active", "C="} << QStringList();
    }
    void detectorStateChange()
    {
        QFETCH(QVariantMap, params);
        QFETCH(QStringList, snapshotFirst);
        QFETCH(QStringList, then);
        QFETCH(QString, detectorState);
        QFETCH(QStringList, states);
        QFETCH(QStringList, warnings);

        LiveHost host;
        QVERIFY(host.connectWith({routeRecord(5)}, {detectorRecord(7, {5})},
                                 {{"A", QVariantMap()}, {"B", QVariantMap()}, {"C", QVariantMap()}}));
        host.rpc->script(kGetBoardData, Script::Never);
        host.notify(kStateChanged, QVariantMap{{"dt", 7}, {"state", "active"}, {"board_name", "A"}});
        host.notify(kStateChanged, QVariantMap{{"dt", 7}, {"state", "active"}, {"board_name", "B"}});
        PrioVDetector *detector = host.plugin->detector(7);
        QCOMPARE(detector->activeBoards(), (QSet<QString>{"A", "B"}));
        QCOMPARE(detector->state(), QStringLiteral("active"));

        // Each board's change, with the detector's state at that moment.
        QStringList order;
        QObject recorder;
        for (const char *name : {"A", "B", "C"}) {
            PrioVehicle *vehicle = host.plugin->board(name);
            connect(vehicle, &PrioVehicle::stateChanged, &recorder,
                    [&order, vehicle, detector] { order << vehicle->name() + ':' + detector->state(); });
        }
        LogCapture log;
        host.notify(kStateChanged, params);

        QStringList head = order.mid(0, snapshotFirst.size());
        std::sort(head.begin(), head.end());
        QCOMPARE(head, snapshotFirst);
        QCOMPARE(order.mid(snapshotFirst.size()), then);
        QCOMPARE(detector->state(), detectorState);
        QStringList got;
        const QStringList names = host.plugin->boardRegistry().keys();
        for (const QString &name : names)
            got << name + '=' + host.plugin->board(name)->priorityState();
        std::sort(got.begin(), got.end());
        QCOMPARE(got, states);
        QCOMPARE(warningsIn(log), warnings);
    }

    void boardsRemoved_data()
    {
        QTest::addColumn<QVariant>("params");
        QTest::addColumn<QStringList>("remaining");
        QTest::addColumn<QString>("tree");

        const QString both = "Traffic priority system[Routes[5[Boards[B2], Detectors]], Not assigned boards[B1], "
                             "Assigned boards[B2], Emergency call detectors]";
        QTest::newRow("one registered, one unknown")
            << QVariant(QVariantList{"B1", "X"}) << QStringList{"B2"}
            << "Traffic priority system[Routes[5[Boards[B2], Detectors]], Not assigned boards, Assigned boards[B2], "
               "Emergency call detectors]";
        QTest::newRow("an assigned board")
            << QVariant(QVariantList{"B2"}) << QStringList{"B1"}
            << "Traffic priority system[Routes[5[Boards, Detectors]], Not assigned boards[B1], Assigned boards, "
               "Emergency call detectors]";
        QTest::newRow("a string list, both")
            << QVariant(QStringList{"B2", "B1"}) << QStringList()
            << "Traffic priority system[Routes[5[Boards, Detectors]], Not assigned boards, Assigned boards, "
               "Emergency call detectors]";
        QTest::newRow("only unknown names") << QVariant(QVariantList{"b1", "B3", ""}) << QStringList{"B1", "B2"} << both;
        QTest::newRow("params an object") << QVariant(QVariantMap{{"board_name", "B1"}}) << QStringList{"B1", "B2"} << both;
    }
    void boardsRemoved()
    {
        QFETCH(QVariant, params);
        QFETCH(QStringList, remaining);
        QFETCH(QString, tree);

        LiveHost host;
        QVERIFY(host.connectWith({routeRecord(5)}, {}, {{"B1", QVariantMap()}, {"B2", QVariantMap{{"route_id", 5}}}}));
        QPointer<PrioVehicle> b1 = host.plugin->board("B1");
        QPointer<PrioVehicle> b2 = host.plugin->board("B2");
        const int requests = host.rpc->posted.size();
        LogCapture log;
        host.notify(kRemoved, params);

        QStringList names = host.plugin->boardRegistry().keys();
        std::sort(names.begin(), names.end());
        QCOMPARE(names, remaining);
        QCOMPARE(bool(b1), remaining.contains("B1"));
        QCOMPARE(bool(b2), remaining.contains("B2"));
        QCOMPARE(host.tree(), tree);
        QCOMPARE(pluginLines(log), QStringList());
        QCOMPARE(host.rpc->posted.size(), requests);
        int vehiclesOnScene = 0;
        for (QGraphicsItem *item : host.kernel.scene()->items())
            vehiclesOnScene += qobject_cast<PrioVehicle *>(item->toGraphicsObject()) != nullptr;
        QCOMPARE(vehiclesOnScene, remaining.size());
    }

    void propertyChangesByIdOnlyForKnownIds_data()
    {
        QTest::addColumn<QString>("event");
        QTest::addColumn<QVariantMap>("params");
        QTest::addColumn<QString>("detectorName");
        QTest::addColumn<QString>("routeDescription");

        const QString detectorEvent = "VDTService.vdtPropertiesChanged";
        const QString routeEvent = "RoadNetwork.routePropertiesChanged";
        QTest::newRow("detector 7") << detectorEvent << QVariantMap{{"id", 7}, {"name", "renamed"}} << "renamed" << "";
        QTest::newRow("detector id as text") << detectorEvent << QVariantMap{{"id", "7"}, {"name", "renamed"}} << "renamed" << "";
        QTest::newRow("unknown detector") << detectorEvent << QVariantMap{{"id", 99}, {"name", "renamed"}, {"routes", QVariantList{5}}}
                                          << "" << "";
        QTest::newRow("route 5") << routeEvent << QVariantMap{{"id", 5}, {"description", "Main"}} << "" << "Main";
        QTest::newRow("unknown route") << routeEvent << QVariantMap{{"id", 99}, {"description", "Main"}} << "" << "";
        QTest::newRow("route params a list") << routeEvent << QVariantMap() << "" << "";
    }
    void propertyChangesByIdOnlyForKnownIds()
    {
        QFETCH(QString, event);
        QFETCH(QVariantMap, params);
        QFETCH(QString, detectorName);
        QFETCH(QString, routeDescription);

        LiveHost host;
        QVERIFY(host.connectWith({routeRecord(5)}, {detectorRecord(7, {5})}));
        const int requests = host.rpc->posted.size();
        // An empty expectation means: as the list left it.
        if (detectorName.isEmpty())
            detectorName = host.plugin->detector(7)->name();
        if (routeDescription.isEmpty())
            routeDescription = host.plugin->route(5)->description();
        QVERIFY(host.plugin->route(5)->description() != QLatin1String("Main"));
        QVERIFY(host.plugin->detector(7)->name() != QLatin1String("renamed"));
        LogCapture log;
        host.notify(event, params.isEmpty() ? QVariant(QVariantList{5}) : QVariant(params));
        QCOMPARE(host.plugin->detector(7)->name(), detectorName);
        QCOMPARE(host.plugin->route(5)->description(), routeDescription);
        QCOMPARE(host.plugin->detectorRegistry().keys(), QList<int>{7});
        QCOMPARE(host.plugin->routeRegistry().keys(), QList<int>{5});
        QCOMPARE(host.rpc->posted.size(), requests);
        QCOMPARE(pluginLines(log), QStringList());
    }

    void loggedInAndDisconnected()
    {
        LiveHost host;
        QVERIFY(host.connectWith({}, {}, {{"B1", QVariantMap{{"logged_in", false}}}}));
        PrioVehicle *vehicle = host.plugin->board("B1");
        host.notify("BoardsServer.boardLoggedIn", QVariantMap{{"board_name", "B1"}});
        QVERIFY(vehicle->isLoggedIn());
        host.notify("BoardsServer.boardDisconnected", QVariantMap{{"board_name", "B1"}});
        QVERIFY(!vehicle->isLoggedIn());
        host.notify("BoardsServer.boardLoggedIn", QVariantMap{{"board_name", "B1"}, {"logged_in", false}});
        QVERIFY(vehicle->isLoggedIn());
    }

    void networkChangedAsksForBothLists()
    {
        LiveHost host;
        QVERIFY(host.connectWith({routeRecord(5)}, {detectorRecord(7, {5})}));
        const int before = host.rpc->posted.size();
        host.rpc->answerResult("RoadNetwork.getRouteList", QVariantList{routeRecord(5), routeRecord(6)});
        host.rpc->answerResult("VDTService.getVdtList", QVariantList{detectorRecord(7, {5}), detectorRecord(8, {6})});
        host.notify("RoadNetwork.networkChanged", QVariantMap{{"reason", "edit"}});

        QCOMPARE(host.methods().mid(before), (QStringList{"RoadNetwork.getRouteList", "VDTService.getVdtList"}));
        QCOMPARE(host.rpc->posted.at(before).params, QVariant());
        QCOMPARE(host.rpc->posted.at(before + 1).params, QVariant());
        QTRY_VERIFY(host.plugin->detector(8));
        QVERIFY(host.plugin->route(6));
        QCOMPARE(host.rpc->posted.size(), before + 2);
    }

    void otherNamesAreIgnored_data()
    {
        QTest::addColumn<QString>("event");
        QTest::newRow("wrong case") << "BoardsServer.boardposition";
        QTest::newRow("unsubscribed method") << "BoardsServer.getBoards";
    }
    void otherNamesAreIgnored()
    {
        QFETCH(QString, event);
        LiveHost host;
        QVERIFY(host.connectWith({routeRecord(5)}));
        const int requests = host.rpc->posted.size();
        LogCapture log;
        host.notify(event, QVariantMap{{"board_name", "B1"}, {"id", 5}});
        QVERIFY(host.plugin->boardRegistry().isEmpty());
        QCOMPARE(host.rpc->posted.size(), requests);
        QCOMPARE(log.lines(), QStringList());
    }
};

QTEST_MAIN(tst_LiveDispatch)
#include "tst_livedispatch.moc"
