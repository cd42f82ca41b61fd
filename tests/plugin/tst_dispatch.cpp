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

// Writes every call into the transcript: "NAME got BOARD ROUTE UTC-TIME|- OFFSET PRIORITY".
class RecordingTimeline : public TimelineWidget
{
    Q_OBJECT
public:
    using TimelineWidget::TimelineWidget;
    Q_INVOKABLE void putBoardData(const QString &board, const QString &route, const QDateTime &time, qreal offset, bool active)
    {
        // Widgets get local time, as the host's own widgets expect.
        const QString utc = !time.isValid() ? "-" : time.timeSpec() == Qt::LocalTime ? time.toUTC().toString(Qt::ISODate) : "not local";
        qDebug().noquote() << objectName() << "got" << board << route << utc << offset << active;
        if (onCall)
            onCall();
    }
    std::function<void()> onCall;
};

// Has the method but is no timeline widget.
class LookAlike : public QObject
{
    Q_OBJECT
public:
    Q_INVOKABLE void putBoardData(const QString &, const QString &, const QDateTime &, qreal, bool) { qDebug("look-alike got it"); }
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
        const QStringList nine{"BoardsServer.boardLoggedIn", "BoardsServer.boardDisconnected", "BoardsServer.boardPosition",
                               "BoardsServer.boardPropertiesChanged", "BoardsServer.boardsRemoved", "VDTService.vdtStateChanged",
                               "VDTService.vdtPropertiesChanged", "RoadNetwork.routePropertiesChanged", "RoadNetwork.networkChanged"};
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
        host.run({"stop"});
        QVERIFY(QMetaObject::invokeMethod(host.plugin, "on_rpcObjectConnected", Q_ARG(bool, true)));
        host.logged();
        QVERIFY(QMetaObject::invokeMethod(host.plugin, "on_rpcObjectRequestQueueEmpty"));
        QVERIFY(QMetaObject::invokeMethod(host.plugin, "on_rpcObjectRequestQueueEmpty"));
        QCOMPARE(host.logged(), QStringList("ERROR: Invoke 'subscribe' failed"));
        QVERIFY(!host.plugin->isRestartPending());
    }

    // Detector 7 reports boards A and B active. A state change goes to them first (in any
    // order: the first `unordered` lines), then to the named board, then to the detector: each
    // board's change is written with the detector's state at that moment; then every state.
    void detectorStateChange_data()
    {
        QTest::addColumn<QString>("params");
        QTest::addColumn<int>("unordered");
        QTest::addColumn<QStringList>("out");
        QTest::newRow("named board registered") << R"({"dt": 7, "state": "inside", "board_name": "C"})" << 2
                                                << QStringList{"A:active", "B:active", "C:active", "A=inside B=inside C=inside 7=inside"};
        QTest::newRow("named board among the active ones") << R"({"dt": 7, "state": "inside", "board_name": "A"})" << 2
                                                           << QStringList{"A:active", "B:active", "A=inside B=inside C= 7=inside"};
        QTest::newRow("named board unknown") << R"({"dt": 7, "state": "inside", "board_name": "D"})" << 2
                                             << QStringList{"A:active", "B:active", R"(> BoardsServer.getBoardData {"name":"D"})",
                                                            "A=inside B=inside C= D=inside 7=inside"};
        QTest::newRow("no board_name") << R"({"dt": 7, "state": "inside"})" << 2
                                       << QStringList{"A:active", "B:active", "WARN: Invalid VDTService.vdtStateChanged event: no 'board_name'",
                                                      "A=inside B=inside C= 7=inside"};
        QTest::newRow("detector unknown") << R"({"dt": 8, "state": "inside", "board_name": "C"})" << 0
                                          << QStringList{"C:active", "A=active B=active C=inside 7=active"};
        QTest::newRow("no state") << R"({"dt": 7, "board_name": "C"})" << 0 << QStringList{"A=active B=active C= 7=active"};
    }
    void detectorStateChange()
    {
        QFETCH(QString, params);
        QFETCH(int, unordered);
        QFETCH(QStringList, out);
        Host host;
        host.run({R"(load [{"id": 5}] | [{"id": 7, "routes": [5]}] | {"A": {}, "B": {}, "C": {}})",
                  kState + R"({"dt": 7, "state": "active", "board_name": "A"})", kState + R"({"dt": 7, "state": "active", "board_name": "B"})"});
        PrioVDetector *detector = host.plugin->detector(7);
        QCOMPARE(detector->activeBoards(), (QSet<QString>{"A", "B"}));
        QObject recorder;
        for (PrioVehicle *vehicle : host.plugin->boardRegistry()) {
            connect(vehicle, &PrioVehicle::stateChanged, &recorder,
                    [vehicle, detector] { qDebug().noquote() << vehicle->name() + ':' + detector->state(); });
        }
        host.run({kState + params});
        QStringList got = host.logged();
        std::sort(got.begin(), got.begin() + std::min(unordered, int(got.size())));
        QStringList states;
        for (PrioVehicle *vehicle : host.plugin->boardRegistry())
            states << vehicle->name() + '=' + vehicle->priorityState();
        states.sort();
        QCOMPARE(got << states.join(' ') + " 7=" + detector->state(), out);
    }

    // Board B1 (its record given) and its detector's state, then its position forwarded.
    void timelineArguments_data()
    {
        QTest::addColumn<QString>("board");
        QTest::addColumn<QString>("state");
        QTest::addColumn<QString>("params");
        QTest::addColumn<QStringList>("out");
        const QString on5 = R"({"route_id": 5})", full = R"("time": "2024-03-01T10:15:30Z", "offset_s": 12.5)";
        QTest::newRow("all given, active") << on5 << "active" << full << QStringList("t1 got B1 5 2024-03-01T10:15:30Z 12.5 true");
        QTest::newRow("time that is no date") << on5 << "" << R"("time": "yesterday", "offset_s": 1)" << QStringList("t1 got B1 5 - 1 false");
        QTest::newRow("time with a zone offset") << on5 << "" << R"("time": "2024-03-01T12:15:30+02:00")"
                                                 << QStringList("t1 got B1 5 2024-03-01T10:15:30Z -1 false");
        QTest::newRow("offset 0, no time") << on5 << "" << R"("offset_s": 0)" << QStringList("t1 got B1 5 - 0 false");
        QTest::newRow("offset as text") << on5 << "" << R"("offset_s": "7.25")" << QStringList("t1 got B1 5 - 7.25 false");
        QTest::newRow("detector says inside") << on5 << "inside" << full << QStringList("t1 got B1 5 2024-03-01T10:15:30Z 12.5 false");
        QTest::newRow("not assigned") << "{}" << "active" << full << QStringList("t1 got B1 0 2024-03-01T10:15:30Z 12.5 true");
        QTest::newRow("route not loaded") << R"({"route_id": 77})" << "" << full << QStringList("t1 got B1 77 2024-03-01T10:15:30Z 12.5 false");
        // A board made by the position itself: its data asked for before the widgets are called.
        QTest::newRow("unknown board") << "" << "" << full
                                       << QStringList{R"(> BoardsServer.getBoardData {"name":"B1"})", "t1 got B1 0 2024-03-01T10:15:30Z 12.5 false"};
    }
    void timelineArguments()
    {
        QFETCH(QString, board);
        QFETCH(QString, state);
        QFETCH(QString, params);
        QFETCH(QStringList, out);
        Host host;
        host.run({R"(load [{"id": 5}] | [{"id": 7, "routes": [5]}] | {)" + (board.isEmpty() ? "" : R"("B1": )" + board) + "}"});
        if (!state.isEmpty())
            host.run({kState + QStringLiteral(R"({"dt": 7, "board_name": "B1", "state": "%1"})").arg(state)});
        auto *timeline = new RecordingTimeline(&host.owner);
        timeline->setObjectName("t1");
        host.plugin->registerTimeline(timeline);
        host.logged();
        host.run({kPosition + R"({"board_name": "B1", "pos": [30.5, 50.25], )" + params + "}"});
        QCOMPARE(host.logged(), out);
        QCOMPARE(host.plugin->board("B1")->gpsPos(), QPointF(30.5, 50.25));
    }

    // Widgets in registration order (recording ones named t1, t2, ... by their place); the
    // first recording one acts while it is called. The transcript of one position of B1 (its
    // arguments worked out before the first widget whatever the widgets do), and how many
    // widgets stay registered.
    void timelineWidgets_data()
    {
        QTest::addColumn<QStringList>("widgets");
        QTest::addColumn<QString>("action");
        QTest::addColumn<QStringList>("out");
        QTest::addColumn<int>("registered");
        const QString failed = "ERROR: Invoke TimelineWidget::putBoardData failed";
        const QString got = " got B1 5 - 3 true";
        const QStringList two{"recording", "recording"}, both{"t1" + got, "t2" + got};
        QTest::newRow("lacking the method, registered first") << QStringList{"lacking", "recording"} << "" << QStringList{failed, "t2" + got} << 2;
        QTest::newRow("lacking the method, registered last") << QStringList{"recording", "lacking"} << "" << QStringList{"t1" + got, failed} << 2;
        QTest::newRow("registered twice, once by name") << QStringList{"recording", "again"} << "" << QStringList{"t1" + got} << 1;
        QTest::newRow("null, a look-alike, another widget class") << QStringList{"null", "look-alike", "widget", "recording"} << ""
                                                                  << QStringList{"t4" + got} << 1;
        QTest::newRow("two deleted before") << QStringList{"recording", "deleted", "recording", "deleted"} << ""
                                            << QStringList{"t1" + got, "t3" + got} << 2;
        QTest::newRow("deletes the next widget") << QStringList{"recording", "recording", "recording"} << "delete next"
                                                 << QStringList{"t1" + got, "t3" + got} << 2;
        QTest::newRow("removes the board") << two << R"(notify BoardsServer.boardsRemoved ["B1"])" << both << 2;
        QTest::newRow("moves the board") << two << R"(notify BoardsServer.boardPropertiesChanged {"board_name": "B1", "route_id": 6})"
                                         << both << 2;
        QTest::newRow("ends the priority") << two << kState + R"({"dt": 7, "board_name": "B1", "state": "inside"})" << both << 2;
        QTest::newRow("destroys the JSON-RPC object")
            << two << "destroy" << QStringList{"t1" + got, "INFO: Json-RPC plugin object destroyed", "INFO: Stop", "t2" + got} << 2;
        QTest::newRow("registers another widget: not called for this position") << two << "register" << both << 3;
        QTest::newRow("deletes the plug-in") << two << "delete plugin" << QStringList{"t1" + got} << -1;
        QTest::newRow("kept over a disconnection and a stop") << QStringList{"recording"} << "restart" << QStringList{"t1" + got} << 1;
    }
    void timelineWidgets()
    {
        QFETCH(QStringList, widgets);
        QFETCH(QString, action);
        QFETCH(QStringList, out);
        QFETCH(int, registered);
        const QStringList load{R"(load [{"id": 5}, {"id": 6}] | [{"id": 7, "routes": [5]}] | {"B1": {"route_id": 5}})",
                               kState + R"({"dt": 7, "board_name": "B1", "state": "active"})"};
        Host host;
        host.run(load);
        QVector<QPointer<QObject>> made;
        QWidget widget;
        LookAlike lookAlike;
        RecordingTimeline *first = nullptr;
        for (const QString &kind : widgets) {
            QObject *w = kind == "lacking" ? new TimelineWidget(&host.owner)
                : kind == "look-alike"     ? &lookAlike
                : kind == "widget"         ? static_cast<QObject *>(&widget)
                : kind == "again"          ? made.first().data()
                : kind == "null"           ? nullptr
                                           : new RecordingTimeline(&host.owner);
            made << w;
            if (auto *recording = qobject_cast<RecordingTimeline *>(w); recording && kind != "again") {
                recording->setObjectName(QStringLiteral("t%1").arg(made.size()));
                first = first ? first : recording;
            }
            QVERIFY(QMetaObject::invokeMethod(host.plugin, "registerTimeline", Q_ARG(QObject *, w)));
        }
        for (int i = 0; i < widgets.size(); ++i) {
            if (widgets[i] == "deleted")
                delete made[i].data();
        }
        auto *late = new RecordingTimeline(&host.owner);
        late->setObjectName("late");
        bool acted = false;
        first->onCall = [&] {
            if (std::exchange(acted, true))
                return;
            if (action == "delete next")
                delete made[1].data();
            else if (action == "register")
                host.plugin->registerTimeline(late);
            else if (action == "delete plugin")
                delete host.plugin.data();
            else if (!action.isEmpty() && action != "restart")
                host.run({action});
        };
        if (action == "restart")
            host.run(QStringList{"disconnect", "stop", "start"} + load);
        host.logged();
        host.run({kPosition + R"({"board_name": "B1", "offset_s": 3})"});
        // Qt says which method it did not find; the plug-in's own line is what counts.
        QCOMPARE(host.logged().filter(QRegularExpression("^(?!warning: QMetaObject::invokeMethod: No such method)")), out);
        QCOMPARE(host.plugin ? host.plugin->timelineWidgets().size() : -1, registered);
    }

    void routeLookUps()
    {
        Host host;
        QVERIFY(host.plugin->getRoutes().isEmpty());
        QVERIFY(!host.plugin->findRoute(0));
        host.connectWith(R"([{"id": 5}, {"id": 6}])");
        QObject *found = nullptr;
        QVERIFY(QMetaObject::invokeMethod(host.plugin, "findRoute", Q_RETURN_ARG(QObject *, found), Q_ARG(int, 5)));
        QVERIFY(found && found == host.plugin->route(5));
        QVERIFY(!host.plugin->findRoute(0) && !host.plugin->findRoute(7));
        QList<int> ids;
        for (QObject *route : host.plugin->getRoutes())
            ids << route->property("id").toInt();
        std::sort(ids.begin(), ids.end());
        QCOMPARE(ids, (QList<int>{5, 6}));
        // Answered from the registry, never by asking the server.
        QCOMPARE(host.logged(), QStringList());
    }
};

QTEST_MAIN(tst_Dispatch)
#include "tst_dispatch.moc"
