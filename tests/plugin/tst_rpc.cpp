// The RPC channel: the command channel's call forms and failures, the operator commands, the
// queries and the timeline link, the subscription and the dispatch of notifications. A row's
// transcript is the requests, the log and the rpcError texts in order.

#include <QElapsedTimer>
#include <QTimer>
#include <QtTest>

#include <algorithm>
#include <functional>
#include <utility>

#include "items/priovdetector.h"
#include "items/priovehicle.h"
#include "kernel/timelinewidget.h"
#include "scriptedhost.h"

namespace {

const QString kMethod = QStringLiteral("RoadNetwork.getRouteList");

// Runs one query by its short name; the answer as JSON ("-" for none).
QString query(PriorityPlugin *plugin, const QString &name)
{
    return compact(name == "vdt" ? QVariant(plugin->getVdtProperties(7)) : name == "tlc" ? QVariant(plugin->getTlcProperties(3))
                   : name == "timeline" ? QVariant(plugin->getTimelineData(5)) : name == "web url" ? QVariant(plugin->getWebUrl())
                   : name == "internal" ? plugin->execRpcCommand(kMethod, QVariant(), 10000, false)
                                        : (plugin->removeBoardsData({"B1", "B2"}), QVariant()));
}

const QString kPosition = "notify BoardsServer.boardPosition ";
const QString kState = "notify VDTService.vdtStateChanged ";

} // namespace

// The host's timeline widget, which writes every call into the transcript instead: "NAME got
// BOARD ROUTE UTC-TIME|- OFFSET PRIORITY". What the plug-in takes for a timeline widget is the
// class name.
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

class tst_Rpc : public QObject
{
    Q_OBJECT

private slots:
    // The three call forms, each of RoadNetwork.getRouteList: the transcript, what the call
    // returned ("true"/"false" for a post), what the callback got, and the state.
    void callForms_data()
    {
        QTest::addColumn<QString>("form");
        QTest::addColumn<QString>("script");
        QTest::addColumn<QStringList>("out");
        const QString asked = "> RoadNetwork.getRouteList -", failed = "rpcError: Invoke 'RoadNetwork.getRouteList' failed";
        const QString restart = "state -, restart pending", attached = "state fake-rpc";
        // The form is the row name's first part.
        auto row = [](const char *name, const QString &script, const QStringList &out) {
            QTest::newRow(name) << QString(name).section(':', 0, 0) << script << out;
        };
        auto internal = [&](const char *name, const QString &error, const QString &text, const QString &after) {
            const QString message = "Response on method 'RoadNetwork.getRouteList' error: " + text;
            row(name, "error " + error,
                {asked, "ERROR: " + message, "INFO: Stop", "rpcError: " + message, name[0] == 'p' ? "returns true" : "returns -", after});
        };
        row("post internal: invocation fails", "invoke-fails", {asked, failed, "INFO: Stop", "returns false", restart});
        row("post internal: no response object", "wrong-type", {asked, failed, "INFO: Stop", "returns false", restart});
        row("post host: invocation fails", "invoke-fails", {asked, failed, "returns false", attached});
        row("post host: no response object", "wrong-type", {asked, failed, "returns false", attached});
        internal("post internal: no permission", R"({"code": -32000, "message": "denied"})",
                 "code -32000, message: denied", "state -, awaiting permissions");
        internal("post internal: other error", R"({"code": 7, "message": "boom"})", "code 7, message: boom", restart);
        internal("post internal: no code, no message", "{}", "code 0, message: ", restart);
        internal("post internal: placeholders in the message stay", R"({"code": 3, "message": "50% of %1 %2"})",
                 "code 3, message: 50% of %1 %2", restart);
        row("post host: no permission", R"(error {"code": -32000, "message": "denied"})",
            {asked, "rpcError: You have no permissions for command 'RoadNetwork.getRouteList'", "returns true", attached});
        row("post host: other error", R"(error {"code": 7, "message": "boom"})",
            {asked, "rpcError: code: 7, message: boom", "returns true", attached});
        row("post host: no code, no message", "error {}", {asked, "rpcError: code: 0, message: ", "returns true", attached});
        row("post internal: success", "result [42]", {asked, "returns true", "callback [42]", attached});
        row("exec host: result", R"(result {"a": 1})", {asked, R"(returns {"a":1})", attached});
        row("exec host: error", R"(error {"code": 9, "message": "x"})", {asked, "rpcError: code: 9, message: x", "returns -", attached});
        row("exec host: time-out", "pending", {asked, "returns -", attached});
        row("exec host: invocation fails", "invoke-fails", {asked, failed, "returns -", attached});
        internal("exec internal: error", R"({"code": 9, "message": "x"})", "code 9, message: x", restart);
        row("exec callback: error", R"(error {"code": 4, "message": "gone"})",
            {asked, "returns -", R"(callback {"code":4,"message":"gone"})", attached});
        row("exec callback: invocation fails", "invoke-fails", {asked, "returns -", "callback -", attached});
    }
    void callForms()
    {
        QFETCH(QString, form);
        QFETCH(QString, script);
        QFETCH(QStringList, out);
        Host host;
        host.run({"script " + kMethod + ' ' + script});
        QStringList seen;
        auto record = [&](const QVariant &value) { seen << "callback " + compact(value); };
        // A time-out is waited for; an answer ends the wait at once.
        const int timeout = script == "pending" ? 100 : 10000;
        QElapsedTimer clock;
        clock.start();
        QString got;
        if (form.startsWith("post")) {
            got = host.plugin->postRpcCommand(kMethod, QVariant(), record, form.contains("host")) ? "true" : "false";
            host.run({"settle"});
        } else if (form.startsWith("exec callback")) {
            got = compact(host.plugin->execRpcCommand(kMethod, QVariant(), timeout, record));
        } else {
            got = compact(host.plugin->execRpcCommand(kMethod, QVariant(), timeout, form.contains("host")));
        }
        QVERIFY(script == "pending" ? clock.elapsed() >= timeout : clock.elapsed() < timeout / 2);
        QCOMPARE(host.logged() << "returns " + got << seen << host.state(), out);
    }

    // An answer belongs to the session it was asked in.
    void answerOfAnEarlierSession_data()
    {
        QTest::addColumn<QStringList>("change");
        QTest::addColumn<bool>("counts");
        QTest::newRow("nothing changed") << QStringList() << true;
        QTest::newRow("another object started") << QStringList("other") << false;
        QTest::newRow("stopped and started again") << QStringList{"stop", "start"} << false;
        QTest::newRow("connection dropped and back") << QStringList{"disconnect", "connect"} << false;
    }
    void answerOfAnEarlierSession()
    {
        QFETCH(QStringList, change);
        QFETCH(bool, counts);
        Host host;
        int called = 0;
        QVERIFY(host.plugin->postRpcCommand(kMethod, QVariant(), [&](const QVariant &) { ++called; }, false));
        QVERIFY(host.plugin->postRpcCommand(kMethod, QVariant(), ResponseCallback(), false));
        if (change == QStringList("other"))
            QVERIFY(host.plugin->start(new ScriptedRpc(&host.owner)));
        else
            host.run(change);
        host.rpc->responses.at(0)->finishWithResult(1);
        host.logged();
        host.rpc->responses.at(1)->finishWithError(QVariantMap{{"code", 1}});
        QCOMPARE(called, int(counts));
        QCOMPARE(host.logged().size(), counts ? 3 : 0);
        QCOMPARE(host.plugin->isRestartPending(), counts);
    }

    void operatorCommands_data()
    {
        QTest::addColumn<QByteArray>("command");
        QTest::addColumn<QVariantList>("args");
        QTest::addColumn<QString>("request");
        auto row = [](const char *command, const QVariantList &args, const QString &request) {
            QTest::newRow(command) << QByteArray(command) << args << request;
        };
        row("assignBoard", {"B7", 999}, R"(RoadNetwork.assignBoardToRoute {"board_name":"B7","route_id":999})");
        row("changeBoardProperties", {"", QVariantMap()}, R"(BoardsServer.changeBoardProperties {"board_name":"","props":{}})");
        row("changeRouteProperties", {12, json(R"({"name": "N"})")}, R"(RoadNetwork.changeRouteProperties {"id":12,"props":{"name":"N"}})");
        row("changeVdtProperties", {3, json(R"({"weight": 2})")}, R"(VDTService.changeVdtProperties {"id":3,"props":{"weight":2}})");
        row("setVdtActive", {7, false}, R"(VDTService.setVdtActive {"activate":false,"id":7})");
        row("changeTlcProperties", {44, json(R"({"mode": "x"})")}, R"(TLService.changeTlcProperties {"id":44,"props":{"mode":"x"}})");
    }
    void operatorCommands()
    {
        QFETCH(QByteArray, command);
        QFETCH(QVariantList, args);
        QFETCH(QString, request);
        Host host;
        host.run({R"(load [{"id": 12}] | [{"id": 5, "routes": [12]}] | {"B7": {}})"});
        const QString method = request.section(' ', 0, 0);
        host.run({"script " + method + R"( error {"code": -32000, "message": "read only"})"});
        auto arg = [&](int i) { return i < args.size() ? QGenericArgument(args[i].typeName(), args[i].constData()) : QGenericArgument(); };
        // Called by name, as the host does; a refusal is reported, not logged, and nothing
        // stops or changes.
        QVERIFY(QMetaObject::invokeMethod(host.plugin, command.constData(), arg(0), arg(1)));
        host.run({"settle"});
        QCOMPARE(host.logged() << host.state() << host.tree(),
                 QStringList({"> " + request, "rpcError: You have no permissions for command '" + method + "'", "state fake-rpc",
                              sections("12[Boards, Detectors[5]]", "B7")}));
    }

    // A query on a loaded plug-in: "script" steps in; the transcript, the answer, the state and
    // the boards out. A query is not logged and stops nothing, and stored board data going
    // leaves the boards to the server's notification; while stopped, nothing is asked. Anything
    // may happen while a query waits (event): nothing freed may be touched afterwards
    // (AddressSanitizer), and a query whose answer cannot come any more returns at once, with
    // nothing more asked.
    void queries_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QStringList>("scripts");
        QTest::addColumn<QString>("event");
        QTest::addColumn<QStringList>("out");
        const QString vdt = "script VDTService.getVdtProperties ", tlc = "script TLService.getTlcProperties ";
        const QString newer = "script RoadNetwork.getTimelineData2 ", older = "script RoadNetwork.getTimelineData ";
        const QString vdtAsked = R"(> VDTService.getVdtProperties {"id":7})", tlcAsked = R"(> TLService.getTlcProperties {"id":3})";
        const QString newerAsked = R"(> RoadNetwork.getTimelineData2 {"route_id":5})", olderAsked = R"(> RoadNetwork.getTimelineData {"route_id":5})";
        const QString removeAsked = "> BoardsServer.removeBoardsData [[\"B1\",\"B2\"]]";
        auto row = [](const char *tag, const QString &name, const QStringList &scripts, const QStringList &out) {
            QTest::newRow(tag) << name << scripts << QString() << out + QStringList{"state fake-rpc", "boards 2"};
        };
        auto during = [](const char *tag, const QString &name, const QString &event, const QStringList &out) {
            QTest::newRow(tag) << name << QStringList() << event << out;
        };
        row("detector properties", "vdt", {vdt + R"(result {"name": "d7", "weight": 3})"}, {vdtAsked, R"(answer {"name":"d7","weight":3})"});
        row("detector properties refused", "vdt", {vdt + R"(error {"code": -32000, "message": "denied"})"},
            {vdtAsked, "rpcError: You have no permissions for command 'VDTService.getVdtProperties'", "answer {}"});
        row("controller properties, other error", "tlc", {tlc + R"(error {"code": 5, "message": "no such controller"})"},
            {tlcAsked, "rpcError: code: 5, message: no such controller", "answer {}"});
        row("timeline: newer answers", "timeline", {newer + R"(result {"a": 1})", older + R"(result {"b": 2})"}, {newerAsked, R"(answer {"a":1})"});
        row("timeline: newer unknown to the server", "timeline",
            {newer + R"(error {"code": -32601, "message": "Method not found"})", older + R"(result {"b": 2})"},
            {newerAsked, olderAsked, R"(answer {"b":2})"});
        row("timeline: older refused", "timeline", {newer + R"(error {"code": 1})", older + R"(error {"code": -32000})"},
            {newerAsked, olderAsked, "rpcError: You have no permissions for command 'RoadNetwork.getTimelineData'", "answer {}"});
        row("timeline: neither can be posted", "timeline", {newer + "invoke-fails", older + "invoke-fails"},
            {newerAsked, olderAsked, "rpcError: Invoke 'RoadNetwork.getTimelineData' failed", "answer {}"});
        row("web address", "web url", {"script PserverApp.getWebUrl result \"http://127.0.0.1:8080/prio\""},
            {"> PserverApp.getWebUrl -", "answer \"http://127.0.0.1:8080/prio\""});
        row("remove board data", "remove", {"script BoardsServer.removeBoardsData result true"}, {removeAsked, "answer -"});
        during("JSON-RPC object destroyed", "web url", "destroy", {"answer \"\"", "state -", "boards 0"});
        during("response destroyed", "vdt", "destroy response", {"answer {}", "state fake-rpc", "boards 2"});
        during("plug-in deleted", "tlc", "delete plugin", {"answer {}", "state deleted", "boards -"});
        during("plug-in deleted during the newer timeline call", "timeline", "delete plugin", {"answer {}", "state deleted", "boards -"});
        during("stopped, the answer comes", "tlc", "stop restart", {R"(answer {"x":1})", "state -, restart pending", "boards 0"});
        during("disconnected, the answer comes", "timeline", "disconnect", {R"(answer {"x":1})", "state fake-rpc", "boards 0"});
        during("internal call, disconnected, an error comes", "internal", "disconnect error", {"answer -", "state fake-rpc", "boards 0"});
        during("internal call, an error comes", "internal", "error", {"answer -", "state -, restart pending", "boards 0"});
    }
    void queries()
    {
        QFETCH(QString, name);
        QFETCH(QStringList, scripts);
        QFETCH(QString, event);
        QFETCH(QStringList, out);
        Host host;
        host.run({R"(load [{"id": 5}] | [] | {"B1": {}, "B2": {}})"});
        host.run(scripts);
        const int before = host.rpc->responses.size();
        QTimer::singleShot(0, &host.owner, [&] {
            JsonRpcResponse *pending = host.rpc->responses.last();
            if (event == "destroy response")
                delete pending;
            else if (event == "delete plugin")
                delete host.plugin.data();
            else if (!event.isEmpty() && event != "error")
                host.run({event.endsWith("error") ? "disconnect" : event});
            if (event.endsWith("error"))
                pending->finishWithError(QVariantMap{{"code", 2}});
            else if (event == "stop restart" || event == "disconnect")
                pending->finishWithResult(QVariantMap{{"x", 1}});
        });
        QElapsedTimer clock;
        clock.start();
        const QString answer = "answer " + query(host.plugin, name);
        QVERIFY(clock.elapsed() < PriorityPlugin::QueryTimeoutMs / 2);
        QCOMPARE((event.isEmpty() ? host.logged() : QStringList()) << answer << host.state()
                     << "boards " + (host.plugin ? QString::number(host.plugin->boardRegistry().size()) : "-"),
                 out);
        if (!event.isEmpty() && host.rpc)
            QCOMPARE(host.rpc->responses.size(), before + 1);
        if (event.isEmpty()) {
            host.run({"stop"});
            QCOMPARE(host.logged() << "answer " + query(host.plugin, name),
                     QStringList({"INFO: Stop", name == "web url" ? "answer \"\"" : name == "remove" ? "answer -" : "answer {}"}));
        }
    }

    // Once per connection, connect and disconnect alike, at the first empty request queue.
    void subscriptionOncePerConnection()
    {
        const QString nine = "subscribe: BoardsServer.boardLoggedIn BoardsServer.boardDisconnected BoardsServer.boardPosition "
                             "BoardsServer.boardPropertiesChanged BoardsServer.boardsRemoved VDTService.vdtStateChanged "
                             "VDTService.vdtPropertiesChanged RoadNetwork.routePropertiesChanged RoadNetwork.networkChanged";
        Host host;
        host.run({"connect", "queue-empty", "queue-empty", "disconnect", "queue-empty", "connect", "queue-empty", "queue-empty",
                  "connect", "queue-empty", "stop"});
        QCOMPARE(host.logged(), QStringList({nine, "INFO: RPC object 'fake-rpc' disconnected", nine, nine, nine, "INFO: Stop"}));
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
        QTest::newRow("named board unknown") << R"({"dt": 7, "state": "inside", "board_name": "D"})" << 2
                                             << QStringList{"A:active", "B:active", R"(> BoardsServer.getBoardData {"name":"D"})",
                                                            "A=inside B=inside C= D=inside 7=inside"};
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
        QTest::addColumn<QString>("position");
        const QString got = " got B1 5 - 3 true";
        const QStringList one{"recording"}, two{"recording", "recording"}, both{"t1" + got, "t2" + got};
        auto row = [](const char *name, const QStringList &widgets, const QString &action, const QStringList &out, int registered,
                      const QString &position = R"("board_name": "B1", "offset_s": 3)") {
            QTest::newRow(name) << widgets << action << out << registered << position;
        };
        // The position's own arguments: the time as local time, the offset (-1 without one).
        row("all given", one, "", {"t1 got B1 5 2024-03-01T10:15:30Z 12.5 true"}, 1,
            R"("board_name": "B1", "pos": [30.5, 50.25], "time": "2024-03-01T10:15:30Z", "offset_s": 12.5)");
        row("time with a zone offset, no offset", one, "", {"t1 got B1 5 2024-03-01T10:15:30Z -1 true"}, 1,
            R"("board_name": "B1", "time": "2024-03-01T12:15:30+02:00")");
        row("time that is no date, offset as text", one, "", {"t1 got B1 5 - 7.25 true"}, 1,
            R"("board_name": "B1", "time": "yesterday", "offset_s": "7.25")");
        // A board made by the position itself: its data asked for before the widgets are called.
        row("unknown board", one, "", {R"(> BoardsServer.getBoardData {"name":"B2"})", "t1 got B2 0 - 0 false"}, 1,
            R"("board_name": "B2", "offset_s": 0)");
        row("registered twice, once by name", {"recording", "again"}, "", {"t1" + got}, 1);
        row("null, a look-alike, another widget class", {"null", "look-alike", "widget", "recording"}, "", {"t4" + got}, 1);
        row("two deleted before", {"recording", "deleted", "recording", "deleted"}, "", {"t1" + got, "t3" + got}, 2);
        row("deletes the next widget", {"recording", "recording", "recording"}, "delete next", {"t1" + got, "t3" + got}, 2);
        row("removes the board", two, R"(notify BoardsServer.boardsRemoved ["B1"])", both, 2);
        row("moves the board", two, R"(notify BoardsServer.boardPropertiesChanged {"board_name": "B1", "route_id": 6})", both, 2);
        row("ends the priority", two, kState + R"({"dt": 7, "board_name": "B1", "state": "inside"})", both, 2);
        row("destroys the JSON-RPC object", two, "destroy", {"t1" + got, "INFO: Json-RPC plugin object destroyed", "INFO: Stop", "t2" + got}, 2);
        row("registers another widget: not called for this position", two, "register", both, 3);
        row("deletes the plug-in", two, "delete plugin", {"t1" + got}, -1);
        row("kept over a disconnection and a stop", one, "restart", {"t1" + got}, 1);
    }
    void timelineWidgets()
    {
        QFETCH(QStringList, widgets);
        QFETCH(QString, action);
        QFETCH(QStringList, out);
        QFETCH(int, registered);
        QFETCH(QString, position);
        const QStringList load{R"(load [{"id": 5}, {"id": 6}] | [{"id": 7, "routes": [5]}] | {"B1": {"route_id": 5}})",
                               kState + R"({"dt": 7, "board_name": "B1", "state": "active"})"};
        Host host;
        host.run(load);
        QVector<QPointer<QObject>> made;
        QWidget widget, holder;
        LookAlike lookAlike;
        RecordingTimeline *first = nullptr;
        for (const QString &kind : widgets) {
            QObject *w = kind == "look-alike" ? &lookAlike
                : kind == "widget"         ? static_cast<QObject *>(&widget)
                : kind == "again"          ? made.first().data()
                : kind == "null"           ? nullptr
                                           : new RecordingTimeline(&holder);
            made << w;
            if (auto *recording = qobject_cast<RecordingTimeline *>(w); recording && kind != "again") {
                recording->setObjectName(QStringLiteral("t%1").arg(made.size()));
                first = first ? first : recording;
            }
            QVERIFY(QMetaObject::invokeMethod(host.plugin, "registerTimeline", Q_ARG(QObject *, w)));
            if (kind == "deleted")
                delete w;
        }
        auto *late = new RecordingTimeline(&holder);
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
        host.run({kPosition + '{' + position + '}'});
        QCOMPARE(host.logged(), out);
        QCOMPARE(host.plugin ? host.plugin->timelineWidgets().size() : -1, registered);
    }
};

QTEST_MAIN(tst_Rpc)
#include "tst_rpc.moc"
