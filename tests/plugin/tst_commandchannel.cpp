// The command channel's call forms and failures, the operator commands and the host's
// queries, each a request through the scripted JSON-RPC object.

#include <QElapsedTimer>
#include <QTimer>
#include <QtTest>

#include "scriptedhost.h"

namespace {

const QString kMethod = QStringLiteral("RoadNetwork.getRouteList");

QString state(const Host &host)
{
    if (!host.plugin)
        return "deleted";
    QString text = host.plugin->rpcObject() ? "attached" : "stopped";
    if (host.plugin->isRestartPending())
        text += ", restart pending";
    if (host.plugin->isAwaitingPermissions())
        text += ", awaiting permissions";
    return text;
}

// Runs one query by its short name; the answer as JSON ("-" for none).
QString query(PriorityPlugin *plugin, const QString &name)
{
    if (name == "vdt")
        return compact(plugin->getVdtProperties(7));
    if (name == "tlc")
        return compact(plugin->getTlcProperties(3));
    if (name == "timeline")
        return compact(plugin->getTimelineData(5));
    if (name == "web url")
        return compact(plugin->getWebUrl());
    if (name == "internal")
        return compact(plugin->execRpcCommand(kMethod, QVariant(), 10000, false));
    plugin->removeBoardsData({"B1", "B2"});
    return "-";
}

} // namespace

class tst_CommandChannel : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { useTestStorage("tst_commandchannel"); }

    void asynchronous_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<bool>("userCommand");
        QTest::addColumn<QStringList>("log");
        QTest::addColumn<QString>("after");

        const QString failed = "rpcError: Invoke 'RoadNetwork.getRouteList' failed";
        const QString stopped = "stopped, restart pending";
        QTest::newRow("internal: invocation fails") << "invoke-fails" << false << QStringList{failed, "INFO: Stop"} << stopped;
        QTest::newRow("internal: no response object") << "wrong-type" << false << QStringList{failed, "INFO: Stop"} << stopped;
        QTest::newRow("host: invocation fails") << "invoke-fails" << true << QStringList{failed} << "attached";
        QTest::newRow("host: no response object") << "wrong-type" << true << QStringList{failed} << "attached";
        auto internal = [](const char *row, const QString &error, const QString &text, const QString &after) {
            const QString message = "Response on method 'RoadNetwork.getRouteList' error: " + text;
            QTest::newRow(row) << "error " + error << false << QStringList{"ERROR: " + message, "INFO: Stop", "rpcError: " + message}
                               << after;
        };
        internal("internal: no permission", R"({"code": -32000, "message": "denied"})", "code -32000, message: denied",
                 "stopped, awaiting permissions");
        internal("internal: other error", R"({"code": 7, "message": "boom"})", "code 7, message: boom", stopped);
        internal("internal: no code, no message", "{}", "code 0, message: ", stopped);
        internal("internal: placeholders in the message stay", R"({"code": 3, "message": "50% of %1 %2"})",
                 "code 3, message: 50% of %1 %2", stopped);
        QTest::newRow("host: no permission") << R"(error {"code": -32000, "message": "denied"})" << true
                                             << QStringList("rpcError: You have no permissions for command 'RoadNetwork.getRouteList'")
                                             << "attached";
        QTest::newRow("host: other error") << R"(error {"code": 7, "message": "boom"})" << true
                                           << QStringList("rpcError: code: 7, message: boom") << "attached";
        QTest::newRow("host: no code, no message") << "error {}" << true << QStringList("rpcError: code: 0, message: ") << "attached";
        QTest::newRow("internal: success") << "result [42]" << false << QStringList() << "attached";
        QTest::newRow("host: success") << "result [42]" << true << QStringList() << "attached";
    }
    void asynchronous()
    {
        QFETCH(QString, script);
        QFETCH(bool, userCommand);
        QFETCH(QStringList, log);
        QFETCH(QString, after);
        Host host;
        host.run({"script " + kMethod + ' ' + script});
        QStringList results;
        const bool answered = script.startsWith("result") || script.startsWith("error");
        QCOMPARE(host.plugin->postRpcCommand(kMethod, QVariant(), [&](const QVariant &r) { results << compact(r); },
                                             userCommand),
                 answered);
        if (answered)
            QTRY_VERIFY(host.rpc->posted.last().response->isFinished());
        QCOMPARE(host.logged(), log);
        QCOMPARE(results, script.startsWith("result") ? QStringList("[42]") : QStringList());
        QCOMPARE(state(host), after);

        // An empty callback: a success has no effect, an error is still reported.
        if (after == "attached" && host.plugin->postRpcCommand(kMethod, QVariant(), ResponseCallback(), userCommand))
            QTRY_VERIFY(host.rpc->posted.last().response->isFinished());
        QCOMPARE(host.logged(), after == "attached" ? log : QStringList());
    }

    void nothingIsSentWhileStopped()
    {
        Host host(false);
        bool called = false;
        QVERIFY(!host.plugin->postRpcCommand(kMethod, QVariant(), [&](const QVariant &) { called = true; }, false));
        QVERIFY(!host.plugin->execRpcCommand(kMethod, QVariant(), 50, true).isValid());
        QVERIFY(!host.plugin->execRpcCommand(kMethod, QVariant(), 50, [&](const QVariant &) { called = true; }).isValid());
        QVERIFY(!called);
        QCOMPARE(host.logged(), QStringList());
        QCOMPARE(host.rpc->posted.size(), 0);
        QCOMPARE(state(host), "stopped");
    }

    // The first internal failure stops the plug-in; the others find it stopped.
    void oneFailureGivesOneStop()
    {
        Host host;
        host.run({"script " + kMethod + R"( error {"code": 5})", R"(script VDTService.getVdtList error {"code": 6})"});
        QVERIFY(host.plugin->postRpcCommand(kMethod, QVariant(), ResponseCallback(), false));
        QVERIFY(host.plugin->postRpcCommand("VDTService.getVdtList", QVariant(), ResponseCallback(), false));
        QTRY_VERIFY(host.rpc->posted.last().response->isFinished());
        const QString text = "Response on method 'RoadNetwork.getRouteList' error: code 5, message: ";
        QCOMPARE(host.logged(), QStringList({"ERROR: " + text, "INFO: Stop", "rpcError: " + text}));
    }

    // An answer belongs to the session it was asked in.
    void answerOfAnEarlierSession_data()
    {
        QTest::addColumn<QString>("change");
        QTest::addColumn<int>("calls");
        QTest::newRow("nothing changed") << "none" << 1;
        QTest::newRow("another object started") << "other" << 0;
        QTest::newRow("plug-in stopped") << "stop" << 0;
        QTest::newRow("stopped and started again") << "restart" << 0;
        QTest::newRow("connection dropped and back") << "reconnect" << 0;
    }
    void answerOfAnEarlierSession()
    {
        QFETCH(QString, change);
        QFETCH(int, calls);
        Host host;
        int called = 0;
        QVERIFY(host.plugin->postRpcCommand(kMethod, QVariant(), [&](const QVariant &) { ++called; }, false));
        QVERIFY(host.plugin->postRpcCommand(kMethod, QVariant(), ResponseCallback(), false));
        if (change == "other") {
            QVERIFY(host.plugin->start(new ScriptedRpc(&host.owner)));
        } else if (change == "stop" || change == "restart") {
            host.plugin->stop(false);
            if (change == "restart")
                QVERIFY(host.plugin->start(host.rpc));
        } else if (change == "reconnect") {
            emit host.rpc->connected(false);
            emit host.rpc->connected(true);
        }
        host.rpc->posted.at(0).response->finishWithResult(1);
        host.logged();
        host.rpc->posted.at(1).response->finishWithError(QVariantMap{{"code", 1}});
        QCOMPARE(called, calls);
        QCOMPARE(host.logged().size(), calls ? 3 : 0);
        QCOMPARE(host.plugin->isRestartPending(), calls == 1);
    }

    void synchronous_data()
    {
        QTest::addColumn<QString>("form"); // user, internal, or with an error callback
        QTest::addColumn<QString>("script");
        QTest::addColumn<QString>("result");
        QTest::addColumn<QStringList>("log");
        QTest::addColumn<QStringList>("callbackArgs");
        QTest::addColumn<QString>("after");

        const QString m = "PserverApp.getWebUrl";
        const QStringList none;
        const QString failed = "rpcError: Invoke '" + m + "' failed";
        const QString error = "Response on method '" + m + "' error: code 9, message: x";
        QTest::newRow("user: result") << "user" << R"(result {"a": 1})" << R"({"a":1})" << none << none << "attached";
        QTest::newRow("user: error") << "user" << R"(error {"code": 9, "message": "x"})" << "-"
                                     << QStringList("rpcError: code: 9, message: x") << none << "attached";
        QTest::newRow("user: no permission") << "user" << R"(error {"code": -32000})" << "-"
                                             << QStringList("rpcError: You have no permissions for command '" + m + "'")
                                             << none << "attached";
        QTest::newRow("user: time-out") << "user" << "pending" << "-" << none << none << "attached";
        QTest::newRow("user: invocation fails") << "user" << "invoke-fails" << "-" << QStringList(failed) << none << "attached";
        QTest::newRow("internal: error") << "internal" << R"(error {"code": 9, "message": "x"})" << "-"
                                         << QStringList{"ERROR: " + error, "INFO: Stop", "rpcError: " + error} << none
                                         << "stopped, restart pending";
        QTest::newRow("internal: invocation fails") << "internal" << "invoke-fails" << "-"
                                                    << QStringList{failed, "INFO: Stop"} << none << "stopped, restart pending";
        QTest::newRow("callback: error") << "callback" << R"(error {"code": 4, "message": "gone"})" << "-" << none
                                         << QStringList(R"({"code":4,"message":"gone"})") << "attached";
        QTest::newRow("callback: invocation fails") << "callback" << "invoke-fails" << "-" << none << QStringList("-")
                                                    << "attached";
        QTest::newRow("callback: time-out") << "callback" << "pending" << "-" << none << none << "attached";
        QTest::newRow("callback: result") << "callback" << "result 5" << "5" << none << none << "attached";
    }
    void synchronous()
    {
        QFETCH(QString, form);
        QFETCH(QString, script);
        QFETCH(QString, result);
        QFETCH(QStringList, log);
        QFETCH(QStringList, callbackArgs);
        QFETCH(QString, after);
        Host host;
        const QString method = "PserverApp.getWebUrl";
        host.run({"script " + method + ' ' + script});
        QStringList seen;
        // A time-out is waited for; an answer ends the wait at once.
        const int timeout = script == "pending" ? 100 : 10000;
        QElapsedTimer clock;
        clock.start();
        const QVariant answer = form == "callback"
            ? host.plugin->execRpcCommand(method, QVariant(), timeout, [&](const QVariant &e) { seen << compact(e); })
            : host.plugin->execRpcCommand(method, QVariant(), timeout, form == "user");
        QVERIFY(script == "pending" ? clock.elapsed() >= timeout : clock.elapsed() < timeout / 2);
        QCOMPARE(compact(answer), result);
        QCOMPARE(host.logged(), log);
        QCOMPARE(seen, callbackArgs);
        QCOMPARE(state(host), after);
    }

    void operatorCommands_data()
    {
        QTest::addColumn<QByteArray>("command");
        QTest::addColumn<QVariantList>("args");
        QTest::addColumn<QString>("request");
        auto row = [](const char *command, const QVariantList &args, const QString &request) {
            QTest::newRow(command) << QByteArray(command) << args << request;
        };
        row("setLockBoard", {"B7", true}, R"(BoardsServer.changeBoardProperties {"board_name":"B7","props":{"locked":true}})");
        row("assignBoard", {"B7", 999}, R"(RoadNetwork.assignBoardToRoute {"board_name":"B7","route_id":999})");
        row("unassignBoard", {"B7"}, R"(RoadNetwork.unassignBoard {"board_name":"B7"})");
        row("changeBoardProperties", {"", QVariantMap()}, R"(BoardsServer.changeBoardProperties {"board_name":"","props":{}})");
        row("changeRouteProperties", {12, json(R"({"name": "N"})")},
            R"(RoadNetwork.changeRouteProperties {"id":12,"props":{"name":"N"}})");
        row("changeVdtProperties", {3, json(R"({"weight": 2})")}, R"(VDTService.changeVdtProperties {"id":3,"props":{"weight":2}})");
        row("setVdtActive", {7, false}, R"(VDTService.setVdtActive {"activate":false,"id":7})");
        row("changeTlcProperties", {44, json(R"({"mode": "x"})")}, R"(TLService.changeTlcProperties {"id":44,"props":{"mode":"x"}})");
        row("setLockRoute", {12, true}, R"(RoadNetwork.changeRouteProperties {"id":12,"props":{"locked":true}})");
        row("setLockDetector", {5, false}, R"(VDTService.changeVdtProperties {"id":5,"props":{"locked":false}})");
    }
    void operatorCommands()
    {
        QFETCH(QByteArray, command);
        QFETCH(QVariantList, args);
        QFETCH(QString, request);
        Host host;
        host.connectWith(R"([{"id": 12}])", R"([{"id": 5, "routes": [12]}])", R"({"B7": {}})");
        const int before = host.rpc->posted.size();
        const QString method = request.section(' ', 0, 0);
        host.run({"script " + method + R"( error {"code": -32000, "message": "read only"})"});
        auto arg = [&](int i) {
            return i < args.size() ? QGenericArgument(args[i].typeName(), args[i].constData()) : QGenericArgument();
        };
        // Called by name, as the host does.
        QVERIFY(QMetaObject::invokeMethod(host.plugin, command.constData(), arg(0), arg(1)));
        QCOMPARE(host.requests(before), QStringList(request));
        // A refusal is reported, not logged, and nothing stops or changes.
        QTRY_VERIFY(host.rpc->posted.last().response->isFinished());
        QCOMPARE(host.logged(), QStringList("rpcError: You have no permissions for command '" + method + "'"));
        QCOMPARE(state(host), "attached");
        QCOMPARE(host.tree(), sections("12[Boards, Detectors[5]]", "B7"));
    }

    // "script" steps in; the answer, the requests and the log out.
    void queries_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QStringList>("scripts");
        QTest::addColumn<QString>("answer");
        QTest::addColumn<QStringList>("requests");
        QTest::addColumn<QStringList>("log");

        const QString vdt = "script VDTService.getVdtProperties ", tlc = "script TLService.getTlcProperties ";
        const QString newer = "script RoadNetwork.getTimelineData2 ", older = "script RoadNetwork.getTimelineData ";
        const QStringList vdtAsked{R"(VDTService.getVdtProperties {"id":7})"}, tlcAsked{R"(TLService.getTlcProperties {"id":3})"};
        const QStringList both{R"(RoadNetwork.getTimelineData2 {"route_id":5})", R"(RoadNetwork.getTimelineData {"route_id":5})"};
        const QStringList none;
        auto row = [](const char *tag, const QString &name, const QStringList &scripts, const QString &answer,
                      const QStringList &requests, const QStringList &log = {}) {
            QTest::newRow(tag) << name << scripts << answer << requests << log;
        };
        row("detector properties", "vdt", {vdt + R"(result {"name": "d7", "weight": 3})"}, R"({"name":"d7","weight":3})", vdtAsked);
        row("detector properties, answer a list", "vdt", {vdt + "result [1, 2]"}, "{}", vdtAsked);
        row("detector properties refused", "vdt", {vdt + R"(error {"code": -32000, "message": "denied"})"}, "{}", vdtAsked,
            {"rpcError: You have no permissions for command 'VDTService.getVdtProperties'"});
        row("controller properties", "tlc", {tlc + R"(result {"phase": 2})"}, R"({"phase":2})", tlcAsked);
        row("controller properties, other error", "tlc", {tlc + R"(error {"code": 5, "message": "no such controller"})"}, "{}",
            tlcAsked, {"rpcError: code: 5, message: no such controller"});
        row("timeline: newer answers", "timeline", {newer + R"(result {"a": 1})", older + R"(result {"b": 2})"}, R"({"a":1})",
            both.mid(0, 1));
        row("timeline: newer answers a list", "timeline", {newer + R"(result [{"a": 1}])", older + R"(result {"b": 2})"}, "{}",
            both.mid(0, 1));
        row("timeline: newer unknown to the server", "timeline",
            {newer + R"(error {"code": -32601, "message": "Method not found"})", older + R"(result {"b": 2})"}, R"({"b":2})", both);
        row("timeline: newer cannot be posted", "timeline", {newer + "invoke-fails", older + R"(result {"b": 2})"}, R"({"b":2})",
            both);
        row("timeline: newer gives no response object", "timeline", {newer + "wrong-type", older + R"(result {"b": 2})"},
            R"({"b":2})", both);
        row("timeline: older refused", "timeline", {newer + R"(error {"code": 1})", older + R"(error {"code": -32000})"}, "{}", both,
            {"rpcError: You have no permissions for command 'RoadNetwork.getTimelineData'"});
        row("timeline: neither can be posted", "timeline", {newer + "invoke-fails", older + "invoke-fails"}, "{}", both,
            {"rpcError: Invoke 'RoadNetwork.getTimelineData' failed"});
        row("web address", "web url", {"script PserverApp.getWebUrl result \"http://127.0.0.1:8080/prio\""},
            "\"http://127.0.0.1:8080/prio\"", {"PserverApp.getWebUrl -"});
        row("web address, answer an object", "web url", {R"(script PserverApp.getWebUrl result {"url": "x"})"}, R"("")",
            {"PserverApp.getWebUrl -"});
        row("remove board data", "remove", {"script BoardsServer.removeBoardsData result true"}, "-",
            {"BoardsServer.removeBoardsData [[\"B1\",\"B2\"]]"});
        row("remove board data, cannot be posted", "remove", {"script BoardsServer.removeBoardsData invoke-fails"}, "-",
            {"BoardsServer.removeBoardsData [[\"B1\",\"B2\"]]"}, {"rpcError: Invoke 'BoardsServer.removeBoardsData' failed"});
    }
    void queries()
    {
        QFETCH(QString, name);
        QFETCH(QStringList, scripts);
        QFETCH(QString, answer);
        QFETCH(QStringList, requests);
        QFETCH(QStringList, log);
        Host host;
        host.connectWith(R"([{"id": 5}])", "[]", R"({"B1": {}, "B2": {}})");
        const int before = host.rpc->posted.size();
        host.run(scripts);
        QCOMPARE(query(host.plugin, name), answer);
        QCOMPARE(host.requests(before), requests);
        // A host's query is not logged and stops nothing; stored board data going leaves the
        // boards to the server's notification.
        QCOMPARE(host.logged(), log);
        QCOMPARE(state(host), "attached");
        QCOMPARE(host.tree(), sections("5[Boards, Detectors]", "B1, B2"));

        host.plugin->stop(false);
        QCOMPARE(query(host.plugin, name), name == "web url" ? R"("")" : name == "remove" ? "-" : "{}");
        QCOMPARE(host.requests(before).size(), requests.size());
    }

    // Anything may happen while a query waits: nothing freed may be touched afterwards
    // (AddressSanitizer), and a query whose answer cannot come any more returns at once.
    void somethingHappensDuringAQuery_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("event");
        QTest::addColumn<QString>("answer");
        QTest::addColumn<QString>("after");
        QTest::newRow("JSON-RPC object destroyed") << "web url" << "destroy rpc" << R"("")" << "stopped";
        QTest::newRow("response destroyed") << "vdt" << "destroy response" << "{}" << "attached";
        QTest::newRow("plug-in deleted") << "tlc" << "delete plugin" << "{}" << "deleted";
        QTest::newRow("plug-in deleted during the newer timeline call") << "timeline" << "delete plugin" << "{}" << "deleted";
        QTest::newRow("stopped, the answer comes") << "tlc" << "stop" << R"({"x":1})" << "stopped, restart pending";
        QTest::newRow("disconnected, the answer comes") << "timeline" << "disconnect" << R"({"x":1})" << "attached";
        QTest::newRow("internal call, disconnected, an error comes") << "internal" << "disconnect error" << "-" << "attached";
        QTest::newRow("internal call, an error comes") << "internal" << "error" << "-" << "stopped, restart pending";
    }
    void somethingHappensDuringAQuery()
    {
        QFETCH(QString, name);
        QFETCH(QString, event);
        QFETCH(QString, answer);
        QFETCH(QString, after);
        Host host;
        host.connectWith(R"([{"id": 5}])", "[]", R"({"B1": {}})");
        const int before = host.rpc->posted.size();
        QTimer::singleShot(0, &host.owner, [&] {
            JsonRpcResponse *pending = host.rpc->posted.last().response;
            if (event == "destroy rpc")
                delete host.rpc.data();
            else if (event == "destroy response")
                delete pending;
            else if (event == "delete plugin")
                delete host.plugin.data();
            else if (event == "stop")
                host.plugin->stop(true);
            else if (event.startsWith("disconnect"))
                emit host.rpc->connected(false);
            if (event.endsWith("error"))
                pending->finishWithError(QVariantMap{{"code", 2}});
            else if (event == "stop" || event == "disconnect")
                pending->finishWithResult(QVariantMap{{"x", 1}});
        });
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(query(host.plugin, name), answer);
        QVERIFY(clock.elapsed() < PriorityPlugin::QueryTimeoutMs / 2);
        // Nothing more was asked of anybody once the answer was out of reach.
        if (host.rpc)
            QCOMPARE(host.rpc->posted.size(), before + 1);
        QCOMPARE(state(host), after);
        if (host.plugin)
            QCOMPARE(host.plugin->boardRegistry().isEmpty(), after != "attached" || event.startsWith("disconnect"));
    }
};

QTEST_MAIN(tst_CommandChannel)
#include "tst_commandchannel.moc"
