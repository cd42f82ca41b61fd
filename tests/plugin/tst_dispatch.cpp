// Notifications: the subscription, once per connection, and their dispatch to the detectors,
// routes and boards; board positions forwarded to the timeline widgets; the route look-ups.

#include <QtTest>

#include <algorithm>
#include <functional>
#include <utility>

#include "items/prioroute.h"
#include "items/priovdetector.h"
#include "items/priovehicle.h"
#include "scriptedhost.h"

// What the plug-in takes for a timeline widget is the class name; this one lacks the method,
// as a widget of an older host would.
class TimelineWidget : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;
};

// A forwarded call as one line: board, route, UTC time (or "-"), offset, priority.
class RecordingTimeline : public TimelineWidget
{
    Q_OBJECT
public:
    using TimelineWidget::TimelineWidget;
    Q_INVOKABLE void putBoardData(const QString &board, const QString &route, const QDateTime &time, qreal offset,
                                  bool active)
    {
        // Widgets get local time, as the host's own widgets expect.
        localTime &= !time.isValid() || time.timeSpec() == Qt::LocalTime;
        calls << QStringLiteral("%1 %2 %3 %4 %5")
                     .arg(board, route, time.isValid() ? time.toUTC().toString(Qt::ISODate) : "-")
                     .arg(offset)
                     .arg(active ? "true" : "false");
        if (onCall)
            onCall();
    }
    QStringList calls;
    bool localTime = true;
    std::function<void()> onCall;
};

// Has the method but is no timeline widget.
class LookAlike : public QObject
{
    Q_OBJECT
public:
    Q_INVOKABLE void putBoardData(const QString &, const QString &, const QDateTime &, qreal, bool) { calls << "call"; }
    QStringList calls;
};

namespace {

const QString kPosition = "notify BoardsServer.boardPosition ";
const QString kState = "notify VDTService.vdtStateChanged ";

} // namespace

class tst_Dispatch : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { useTestStorage("tst_dispatch"); }

    void subscriptionOncePerConnection()
    {
        const QStringList nine{"BoardsServer.boardLoggedIn", "BoardsServer.boardDisconnected",
                               "BoardsServer.boardPosition", "BoardsServer.boardPropertiesChanged",
                               "BoardsServer.boardsRemoved", "VDTService.vdtStateChanged",
                               "VDTService.vdtPropertiesChanged", "RoadNetwork.routePropertiesChanged",
                               "RoadNetwork.networkChanged"};
        Host host;
        auto queueEmpty = [&](int times) {
            for (int i = 0; i < times; ++i)
                emit host.rpc->requestQueueEmpty();
            return host.rpc->subscriptions.size();
        };
        host.connectWith();
        QCOMPARE(host.rpc->subscriptions.size(), 0);
        QCOMPARE(queueEmpty(2), 1);
        QCOMPARE(host.rpc->subscriptions.first(), nine);
        host.run({"disconnect"});
        QCOMPARE(queueEmpty(1), 2);
        host.run({"connect"});
        QCOMPARE(queueEmpty(2), 3);
        // A second connected(true) without a disconnection is a new connection all the same.
        host.run({"connect"});
        QCOMPARE(queueEmpty(1), 4);
        QCOMPARE(host.rpc->subscriptions.last(), nine);

        // Without an object to invoke it on, the subscription fails once and stops nothing.
        host.plugin->stop(false);
        QVERIFY(QMetaObject::invokeMethod(host.plugin, "on_rpcObjectConnected", Q_ARG(bool, true)));
        host.logged();
        QVERIFY(QMetaObject::invokeMethod(host.plugin, "on_rpcObjectRequestQueueEmpty"));
        QVERIFY(QMetaObject::invokeMethod(host.plugin, "on_rpcObjectRequestQueueEmpty"));
        QCOMPARE(host.logged(), QStringList("ERROR: Invoke 'subscribe' failed"));
        QVERIFY(!host.plugin->isRestartPending());
    }

    // The detector's active boards get the state first (in any order), then the named board,
    // then the detector itself: each board's change is recorded with the detector's state.
    void detectorStateChange_data()
    {
        QTest::addColumn<QString>("params");
        QTest::addColumn<QString>("activeFirst");
        QTest::addColumn<QString>("then");
        QTest::addColumn<QString>("states");
        QTest::addColumn<QStringList>("out"); // the log, then the requests
        QTest::newRow("named board registered") << R"({"dt": 7, "state": "inside", "board_name": "C"})" << "A:active B:active"
                                                << "C:active" << "A=inside B=inside C=inside 7=inside" << QStringList();
        QTest::newRow("named board among the active ones") << R"({"dt": 7, "state": "inside", "board_name": "A"})"
                                                           << "A:active B:active" << "" << "A=inside B=inside C= 7=inside"
                                                           << QStringList();
        QTest::newRow("named board unknown") << R"({"dt": 7, "state": "inside", "board_name": "D"})" << "A:active B:active" << ""
                                             << "A=inside B=inside C= D=inside 7=inside"
                                             << QStringList(R"(BoardsServer.getBoardData {"name":"D"})");
        QTest::newRow("no board_name") << R"({"dt": 7, "state": "inside"})" << "A:active B:active" << ""
                                       << "A=inside B=inside C= 7=inside"
                                       << QStringList("WARN: Invalid VDTService.vdtStateChanged event: no 'board_name'");
        QTest::newRow("detector unknown") << R"({"dt": 8, "state": "inside", "board_name": "C"})" << "" << "C:active"
                                          << "A=active B=active C=inside 7=active" << QStringList();
        QTest::newRow("no state") << R"({"dt": 7, "board_name": "C"})" << "" << "" << "A=active B=active C= 7=active"
                                  << QStringList();
    }
    void detectorStateChange()
    {
        QFETCH(QString, params);
        QFETCH(QString, activeFirst);
        QFETCH(QString, then);
        QFETCH(QString, states);
        QFETCH(QStringList, out);
        Host host;
        host.run({R"(load [{"id": 5}] | [{"id": 7, "routes": [5]}] | {"A": {}, "B": {}, "C": {}})",
                  kState + R"({"dt": 7, "state": "active", "board_name": "A"})",
                  kState + R"({"dt": 7, "state": "active", "board_name": "B"})"});
        PrioVDetector *detector = host.plugin->detector(7);
        QCOMPARE(detector->activeBoards(), (QSet<QString>{"A", "B"}));
        const int before = host.rpc->posted.size();
        QStringList changes;
        QObject recorder;
        for (PrioVehicle *vehicle : host.plugin->boardRegistry()) {
            connect(vehicle, &PrioVehicle::stateChanged, &recorder,
                    [&changes, vehicle, detector] { changes << vehicle->name() + ':' + detector->state(); });
        }
        host.run({kState + params});
        const int head = activeFirst.isEmpty() ? 0 : activeFirst.count(' ') + 1;
        std::sort(changes.begin(), changes.begin() + std::min(head, int(changes.size())));
        QCOMPARE(changes.join(' '), (activeFirst + ' ' + then).trimmed());
        QStringList got;
        for (PrioVehicle *vehicle : host.plugin->boardRegistry())
            got << vehicle->name() + '=' + vehicle->priorityState();
        std::sort(got.begin(), got.end());
        QCOMPARE(got.join(' ') + " 7=" + detector->state(), states);
        QCOMPARE(host.logged() + host.requests(before), out);
    }

    // Changes by id touch only the items that are registered; log-ins of boards.
    void changesOfKnownItems_data()
    {
        QTest::addColumn<QString>("step");
        QTest::addColumn<QString>("expected");
        const QString unchanged = "route 5 Five, detector 7 seven, B1 out, B2 in";
        QTest::newRow("detector 7") << R"(VDTService.vdtPropertiesChanged {"id": 7, "name": "renamed"})"
                                    << "route 5 Five, detector 7 renamed, B1 out, B2 in";
        QTest::newRow("detector id as text") << R"(VDTService.vdtPropertiesChanged {"id": "7", "name": "renamed"})"
                                             << "route 5 Five, detector 7 renamed, B1 out, B2 in";
        QTest::newRow("unknown detector") << R"(VDTService.vdtPropertiesChanged {"id": 99, "name": "x", "routes": [5]})" << unchanged;
        QTest::newRow("route 5") << R"(RoadNetwork.routePropertiesChanged {"id": 5, "description": "Main"})"
                                 << "route 5 Main, detector 7 seven, B1 out, B2 in";
        QTest::newRow("unknown route") << R"(RoadNetwork.routePropertiesChanged {"id": 99, "description": "Main"})" << unchanged;
        QTest::newRow("route params a list") << "RoadNetwork.routePropertiesChanged [5]" << unchanged;
        QTest::newRow("logged in, whatever the params say")
            << R"(BoardsServer.boardLoggedIn {"board_name": "B1", "logged_in": false})" << "route 5 Five, detector 7 seven, B1 in, B2 in";
        QTest::newRow("disconnected") << R"(BoardsServer.boardDisconnected {"board_name": "B2"})"
                                      << "route 5 Five, detector 7 seven, B1 out, B2 out";
        QTest::newRow("board properties") << R"(BoardsServer.boardPropertiesChanged {"board_name": "B1", "logged_in": true})"
                                          << "route 5 Five, detector 7 seven, B1 in, B2 in";
        QTest::newRow("a name in the wrong case") << R"(BoardsServer.boardloggedIn {"board_name": "B1"})" << unchanged;
        QTest::newRow("a method, not a notification") << R"(BoardsServer.getBoards {"board_name": "B1", "id": 5})" << unchanged;
    }
    void changesOfKnownItems()
    {
        QFETCH(QString, step);
        QFETCH(QString, expected);
        Host host;
        host.run({R"(load [{"id": 5, "description": "Five"}] | [{"id": 7, "routes": [5], "name": "seven"}]
                        | {"B1": {"logged_in": false}, "B2": {"logged_in": true}})"});
        const int before = host.rpc->posted.size();
        host.run({"notify " + step});
        const QString text = QStringLiteral("route 5 %1, detector 7 %2, B1 %3, B2 %4")
                                 .arg(host.plugin->route(5)->description(), host.plugin->detector(7)->name(),
                                      host.plugin->board("B1")->isLoggedIn() ? "in" : "out",
                                      host.plugin->board("B2")->isLoggedIn() ? "in" : "out");
        QCOMPARE(text, expected);
        QCOMPARE(host.tree(), sections("5[Boards, Detectors[7]]", "B1, B2"));
        QCOMPARE(host.requests(before), QStringList());
        QCOMPARE(host.logged(), QStringList());
        QCOMPARE(host.plugin->detectorRegistry().size() + host.plugin->routeRegistry().size(), 2);
    }

    // Board B1 on route 5, its position forwarded to the widgets.
    void timelineArguments_data()
    {
        QTest::addColumn<QString>("board");
        QTest::addColumn<QString>("state");
        QTest::addColumn<QString>("params");
        QTest::addColumn<QString>("call");
        const QString full = R"("time": "2024-03-01T10:15:30Z", "offset_s": 12.5)";
        QTest::newRow("all given, active") << R"({"route_id": 5})" << "active" << full << "B1 5 2024-03-01T10:15:30Z 12.5 true";
        QTest::newRow("time that is no date") << R"({"route_id": 5})" << "" << R"("time": "yesterday", "offset_s": 1)"
                                              << "B1 5 - 1 false";
        QTest::newRow("time with a zone offset") << R"({"route_id": 5})" << "" << R"("time": "2024-03-01T12:15:30+02:00")"
                                                 << "B1 5 2024-03-01T10:15:30Z -1 false";
        QTest::newRow("offset 0, no time") << R"({"route_id": 5})" << "" << R"("offset_s": 0)" << "B1 5 - 0 false";
        QTest::newRow("offset as text") << R"({"route_id": 5})" << "" << R"("offset_s": "7.25")" << "B1 5 - 7.25 false";
        QTest::newRow("detector says inside") << R"({"route_id": 5})" << "inside" << full << "B1 5 2024-03-01T10:15:30Z 12.5 false";
        QTest::newRow("not assigned") << "{}" << "active" << full << "B1 0 2024-03-01T10:15:30Z 12.5 true";
        QTest::newRow("route not loaded") << R"({"route_id": 77})" << "" << full << "B1 77 2024-03-01T10:15:30Z 12.5 false";
        // A board made by the position itself: its data asked for before the widgets are called.
        QTest::newRow("unknown board") << "" << "" << R"("pos": [30.5, 50.25], )" + full << "B1 0 2024-03-01T10:15:30Z 12.5 false";
    }
    void timelineArguments()
    {
        QFETCH(QString, board);
        QFETCH(QString, state);
        QFETCH(QString, params);
        QFETCH(QString, call);
        Host host;
        host.run({R"(load [{"id": 5}] | [{"id": 7, "routes": [5]}] | {)" + (board.isEmpty() ? "" : R"("B1": )" + board) + "}"});
        if (!state.isEmpty())
            host.run({kState + QStringLiteral(R"({"dt": 7, "board_name": "B1", "state": "%1"})").arg(state)});
        auto *timeline = new RecordingTimeline(&host.owner);
        host.plugin->registerTimeline(timeline);
        int requestsSeen = -1;
        timeline->onCall = [&] { requestsSeen = host.requests().size(); };
        host.run({kPosition + R"({"board_name": "B1", )" + params + "}"});
        QCOMPARE(timeline->calls, QStringList(call));
        QVERIFY(timeline->localTime);
        QCOMPARE(requestsSeen, board.isEmpty() ? 1 : 0);
        if (board.isEmpty())
            QCOMPARE(host.plugin->board("B1")->gpsPos(), QPointF(30.5, 50.25));
    }

    // Widgets in registration order; the first recording one acts while it is called. Calls
    // per widget for one position ("-" for a widget deleted), the log, and how many stay
    // registered.
    void timelineWidgets_data()
    {
        QTest::addColumn<QStringList>("widgets");
        QTest::addColumn<QString>("action");
        QTest::addColumn<QString>("calls");
        QTest::addColumn<QStringList>("log");
        QTest::addColumn<int>("registered");
        const QStringList none, failed("ERROR: Invoke TimelineWidget::putBoardData failed");
        const QStringList two{"recording", "recording"};
        QTest::newRow("lacking the method, registered first") << QStringList{"lacking", "recording"} << "" << "0 1" << failed << 2;
        QTest::newRow("lacking the method, registered last") << QStringList{"recording", "lacking"} << "" << "1 0" << failed << 2;
        QTest::newRow("registered twice, once by name") << QStringList{"recording", "again"} << "" << "1" << none << 1;
        QTest::newRow("null, a look-alike, another widget class")
            << QStringList{"null", "look-alike", "widget", "recording"} << "" << "0 0 1" << none << 1;
        QTest::newRow("two deleted before") << QStringList{"recording", "deleted", "recording", "deleted"} << "" << "1 - 1 -"
                                            << none << 2;
        QTest::newRow("deletes the next widget") << QStringList{"recording", "recording", "recording"} << "delete next"
                                                 << "1 - 1" << none << 2;
        QTest::newRow("removes the board") << two << "remove board" << "1 1" << none << 2;
        QTest::newRow("moves the board") << two << "move board" << "1 1" << none << 2;
        QTest::newRow("ends the priority") << two << "end priority" << "1 1" << none << 2;
        QTest::newRow("destroys the JSON-RPC object") << two << "destroy rpc" << "1 1"
                                                      << QStringList{"INFO: Json-RPC plugin object destroyed", "INFO: Stop"} << 2;
        QTest::newRow("registers another widget: not called for this position") << two << "register" << "1 1 0" << none << 3;
        QTest::newRow("deletes the plug-in") << two << "delete plugin" << "1 0" << none << -1;
        QTest::newRow("kept over a disconnection and a stop") << QStringList{"recording"} << "restart" << "1" << none << 1;
    }
    void timelineWidgets()
    {
        QFETCH(QStringList, widgets);
        QFETCH(QString, action);
        QFETCH(QString, calls);
        QFETCH(QStringList, log);
        QFETCH(int, registered);
        const QString load = R"(load [{"id": 5}, {"id": 6}] | [{"id": 7, "routes": [5]}] | {"B1": {"route_id": 5}})";
        const QString active = kState + R"({"dt": 7, "board_name": "B1", "state": "active"})";
        Host host;
        host.run({load, active});
        QVector<QPointer<QObject>> made;
        QWidget widget;
        for (const QString &kind : widgets) {
            QObject *w = kind == "lacking" ? new TimelineWidget(&host.owner)
                : kind == "look-alike"     ? static_cast<QObject *>(new LookAlike)
                : kind == "widget"         ? &widget
                : kind == "again"          ? made.first().data()
                : kind == "null"           ? nullptr
                                           : new RecordingTimeline(&host.owner);
            if (w && kind != "again")
                made << w;
            QVERIFY(QMetaObject::invokeMethod(host.plugin, "registerTimeline", Q_ARG(QObject *, w)));
        }
        made.append(new RecordingTimeline(&host.owner)); // registered while the first is called
        for (int i = 0; i < widgets.size(); ++i) {
            if (widgets[i] == "deleted")
                delete made[i].data();
        }
        RecordingTimeline *first = nullptr;
        for (QObject *w : made)
            first = first ? first : qobject_cast<RecordingTimeline *>(w);
        bool acted = false;
        first->onCall = [&] {
            if (std::exchange(acted, true))
                return;
            if (action == "delete next")
                delete made[1].data();
            else if (action == "remove board")
                host.run({R"(notify BoardsServer.boardsRemoved ["B1"])"});
            else if (action == "move board")
                host.run({R"(notify BoardsServer.boardPropertiesChanged {"board_name": "B1", "route_id": 6})"});
            else if (action == "end priority")
                host.run({kState + R"({"dt": 7, "board_name": "B1", "state": "inside"})"});
            else if (action == "destroy rpc")
                delete host.rpc.data();
            else if (action == "register")
                host.plugin->registerTimeline(made.last());
            else if (action == "delete plugin")
                delete host.plugin.data();
        };
        if (action == "restart") {
            host.run({"disconnect"});
            host.plugin->stop(false);
            QVERIFY(host.plugin->start(host.rpc));
            host.run({load, active});
        }
        host.logged();
        host.run({kPosition + R"({"board_name": "B1", "offset_s": 3})"});
        QStringList counts;
        for (int i = 0; i < made.size() - (action == "register" ? 0 : 1); ++i) {
            const auto *recording = qobject_cast<RecordingTimeline *>(made[i]);
            const auto *lookAlike = qobject_cast<LookAlike *>(made[i]);
            counts << (!made[i] ? "-" : QString::number(recording ? recording->calls.size() : lookAlike ? lookAlike->calls.size() : 0));
            // Worked out before the first widget was called, whatever the widgets did.
            if (recording)
                QCOMPARE(recording->calls.count("B1 5 - 3 true"), recording->calls.size());
        }
        QCOMPARE(counts.join(' '), calls);
        // Qt says which method it did not find; the plug-in's own line is what counts.
        QCOMPARE(host.logged().filter(QRegularExpression("^(?!warning: QMetaObject::invokeMethod: No such method)")), log);
        QCOMPARE(host.plugin ? host.plugin->timelineWidgets().size() : -1, registered);
        for (const QPointer<QObject> &w : made) {
            if (qobject_cast<LookAlike *>(w))
                delete w.data();
        }
    }

    void routeLookUps()
    {
        Host host;
        QVERIFY(host.plugin->getRoutes().isEmpty());
        QVERIFY(!host.plugin->findRoute(0));
        host.connectWith(R"([{"id": 5}, {"id": 6}])");
        QObject *found = nullptr;
        QVERIFY(QMetaObject::invokeMethod(host.plugin, "findRoute", Q_RETURN_ARG(QObject *, found), Q_ARG(int, 5)));
        QCOMPARE(found, host.plugin->route(5));
        QVERIFY(found);
        QVERIFY(!host.plugin->findRoute(0) && !host.plugin->findRoute(7));
        QList<int> ids;
        for (QObject *route : host.plugin->getRoutes())
            ids << route->property("id").toInt();
        std::sort(ids.begin(), ids.end());
        QCOMPARE(ids, (QList<int>{5, 6}));
        // Answered from the registry, never by asking the server.
        QCOMPARE(host.requests(), QStringList());
    }
};

QTEST_MAIN(tst_Dispatch)
#include "tst_dispatch.moc"
