// The command channel's call forms and failures, the operator commands and the host's
// queries: each row's transcript is the requests, the log and the rpcError texts in order,
// then what the call returned and the plug-in's state.

#include <QElapsedTimer>
#include <QTimer>
#include <QtTest>

#include "scriptedhost.h"

namespace {

const QString kMethod = QStringLiteral("RoadNetwork.getRouteList");

QString state(const Host &host)
{
    if (!host.plugin)
        return "state deleted";
    QString text = host.plugin->rpcObject() ? "state attached" : "state stopped";
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

    // The three call forms, each of RoadNetwork.getRouteList: the transcript, what the call
    // returned ("true"/"false" for a post), what the callback got, and the state.
    void callForms_data()
    {
        QTest::addColumn<QString>("form");
        QTest::addColumn<QString>("script");
        QTest::addColumn<QStringList>("out");
        const QString asked = "> RoadNetwork.getRouteList -", failed = "rpcError: Invoke 'RoadNetwork.getRouteList' failed";
        const QString restart = "state stopped, restart pending", attached = "state attached";
        auto row = [](const char *name, const QString &form, const QString &script, const QStringList &out) {
            QTest::newRow(name) << form << script << out;
        };
        auto internal = [&](const char *name, const QString &form, const QString &error, const QString &text, const QString &after) {
            const QString message = "Response on method 'RoadNetwork.getRouteList' error: " + text;
            row(name, form, "error " + error,
                {asked, "ERROR: " + message, "INFO: Stop", "rpcError: " + message, form == "post internal" ? "returns true" : "returns -", after});
        };
        row("post internal: invocation fails", "post internal", "invoke-fails", {asked, failed, "INFO: Stop", "returns false", restart});
        row("post internal: no response object", "post internal", "wrong-type", {asked, failed, "INFO: Stop", "returns false", restart});
        row("post host: invocation fails", "post host", "invoke-fails", {asked, failed, "returns false", attached});
        row("post host: no response object", "post host", "wrong-type", {asked, failed, "returns false", attached});
        internal("post internal: no permission", "post internal", R"({"code": -32000, "message": "denied"})",
                 "code -32000, message: denied", "state stopped, awaiting permissions");
        internal("post internal: other error", "post internal", R"({"code": 7, "message": "boom"})", "code 7, message: boom", restart);
        internal("post internal: no code, no message", "post internal", "{}", "code 0, message: ", restart);
        internal("post internal: placeholders in the message stay", "post internal", R"({"code": 3, "message": "50% of %1 %2"})",
                 "code 3, message: 50% of %1 %2", restart);
        row("post host: no permission", "post host", R"(error {"code": -32000, "message": "denied"})",
            {asked, "rpcError: You have no permissions for command 'RoadNetwork.getRouteList'", "returns true", attached});
        row("post host: other error", "post host", R"(error {"code": 7, "message": "boom"})",
            {asked, "rpcError: code: 7, message: boom", "returns true", attached});
        row("post host: no code, no message", "post host", "error {}", {asked, "rpcError: code: 0, message: ", "returns true", attached});
        row("post internal: success", "post internal", "result [42]", {asked, "returns true", "callback [42]", attached});
        row("post host: success", "post host", "result [42]", {asked, "returns true", "callback [42]", attached});
        row("exec host: result", "exec host", R"(result {"a": 1})", {asked, R"(returns {"a":1})", attached});
        row("exec host: error", "exec host", R"(error {"code": 9, "message": "x"})",
            {asked, "rpcError: code: 9, message: x", "returns -", attached});
        row("exec host: no permission", "exec host", R"(error {"code": -32000})",
            {asked, "rpcError: You have no permissions for command 'RoadNetwork.getRouteList'", "returns -", attached});
        row("exec host: time-out", "exec host", "pending", {asked, "returns -", attached});
        row("exec host: invocation fails", "exec host", "invoke-fails", {asked, failed, "returns -", attached});
        internal("exec internal: error", "exec internal", R"({"code": 9, "message": "x"})", "code 9, message: x", restart);
        row("exec internal: invocation fails", "exec internal", "invoke-fails", {asked, failed, "INFO: Stop", "returns -", restart});
        row("exec callback: error", "exec callback", R"(error {"code": 4, "message": "gone"})",
            {asked, "returns -", R"(callback {"code":4,"message":"gone"})", attached});
        row("exec callback: invocation fails", "exec callback", "invoke-fails", {asked, "returns -", "callback -", attached});
        row("exec callback: time-out", "exec callback", "pending", {asked, "returns -", attached});
        row("exec callback: result", "exec callback", "result 5", {asked, "returns 5", attached});
        row("post internal while stopped: nothing sent", "post internal stopped", "result 1", {"returns false", "state stopped"});
        row("exec internal while stopped: nothing sent", "exec internal stopped", "result 1", {"returns -", "state stopped"});
        row("exec callback while stopped: nothing sent", "exec callback stopped", "result 1", {"returns -", "state stopped"});
    }
    void callForms()
    {
        QFETCH(QString, form);
        QFETCH(QString, script);
        QFETCH(QStringList, out);
        Host host;
        host.run({"script " + kMethod + ' ' + script});
        if (form.endsWith("stopped")) {
            host.run({"stop"});
            host.logged();
        }
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
        QCOMPARE(host.logged() << "returns " + got << seen << state(host), out);

        // A post with an empty callback: a success has no effect, an error is still reported.
        if (form.startsWith("post") && out.last() == "state attached") {
            host.plugin->postRpcCommand(kMethod, QVariant(), {}, form.contains("host"));
            host.run({"settle"});
            QCOMPARE(host.logged(), QStringList(out.mid(0, out.indexOf(QRegularExpression("returns .*")))));
        }
    }

    // The first internal failure stops the plug-in; the others find it stopped.
    void oneFailureGivesOneStop()
    {
        Host host;
        host.run({"script " + kMethod + R"( error {"code": 5})", R"(script VDTService.getVdtList error {"code": 6})", "connect", "settle"});
        const QString text = "Response on method 'RoadNetwork.getRouteList' error: code 5, message: ";
        QCOMPARE(host.logged(), QStringList({"ERROR: " + text, "INFO: Stop", "rpcError: " + text}));
    }

    // An answer belongs to the session it was asked in.
    void answerOfAnEarlierSession_data()
    {
        QTest::addColumn<QStringList>("change");
        QTest::addColumn<bool>("counts");
        QTest::newRow("nothing changed") << QStringList() << true;
        QTest::newRow("another object started") << QStringList("other") << false;
        QTest::newRow("plug-in stopped") << QStringList("stop") << false;
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
        row("setLockBoard", {"B7", true}, R"(BoardsServer.changeBoardProperties {"board_name":"B7","props":{"locked":true}})");
        row("assignBoard", {"B7", 999}, R"(RoadNetwork.assignBoardToRoute {"board_name":"B7","route_id":999})");
        row("unassignBoard", {"B7"}, R"(RoadNetwork.unassignBoard {"board_name":"B7"})");
        row("changeBoardProperties", {"", QVariantMap()}, R"(BoardsServer.changeBoardProperties {"board_name":"","props":{}})");
        row("changeRouteProperties", {12, json(R"({"name": "N"})")}, R"(RoadNetwork.changeRouteProperties {"id":12,"props":{"name":"N"}})");
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
        const QString method = request.section(' ', 0, 0);
        host.run({"script " + method + R"( error {"code": -32000, "message": "read only"})"});
        auto arg = [&](int i) { return i < args.size() ? QGenericArgument(args[i].typeName(), args[i].constData()) : QGenericArgument(); };
        // Called by name, as the host does; a refusal is reported, not logged, and nothing
        // stops or changes.
        QVERIFY(QMetaObject::invokeMethod(host.plugin, command.constData(), arg(0), arg(1)));
        host.run({"settle"});
        QCOMPARE(host.logged() << state(host) << host.tree(),
                 QStringList({"> " + request, "rpcError: You have no permissions for command '" + method + "'", "state attached",
                              sections("12[Boards, Detectors[5]]", "B7")}));
    }

    // "script" steps in; the transcript and the answer out. A query is not logged and stops
    // nothing, and stored board data going leaves the boards to the server's notification;
    // while stopped, nothing is asked.
    void queries_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QStringList>("scripts");
        QTest::addColumn<QStringList>("out");
        const QString vdt = "script VDTService.getVdtProperties ", tlc = "script TLService.getTlcProperties ";
        const QString newer = "script RoadNetwork.getTimelineData2 ", older = "script RoadNetwork.getTimelineData ";
        const QString vdtAsked = R"(> VDTService.getVdtProperties {"id":7})", tlcAsked = R"(> TLService.getTlcProperties {"id":3})";
        const QString newerAsked = R"(> RoadNetwork.getTimelineData2 {"route_id":5})", olderAsked = R"(> RoadNetwork.getTimelineData {"route_id":5})";
        const QString removeAsked = "> BoardsServer.removeBoardsData [[\"B1\",\"B2\"]]";
        auto row = [](const char *tag, const QString &name, const QStringList &scripts, const QStringList &out) {
            QTest::newRow(tag) << name << scripts << out;
        };
        row("detector properties", "vdt", {vdt + R"(result {"name": "d7", "weight": 3})"}, {vdtAsked, R"(answer {"name":"d7","weight":3})"});
        row("detector properties, answer a list", "vdt", {vdt + "result [1, 2]"}, {vdtAsked, "answer {}"});
        row("detector properties refused", "vdt", {vdt + R"(error {"code": -32000, "message": "denied"})"},
            {vdtAsked, "rpcError: You have no permissions for command 'VDTService.getVdtProperties'", "answer {}"});
        row("controller properties", "tlc", {tlc + R"(result {"phase": 2})"}, {tlcAsked, R"(answer {"phase":2})"});
        row("controller properties, other error", "tlc", {tlc + R"(error {"code": 5, "message": "no such controller"})"},
            {tlcAsked, "rpcError: code: 5, message: no such controller", "answer {}"});
        row("timeline: newer answers", "timeline", {newer + R"(result {"a": 1})", older + R"(result {"b": 2})"}, {newerAsked, R"(answer {"a":1})"});
        row("timeline: newer answers a list", "timeline", {newer + R"(result [{"a": 1}])", older + R"(result {"b": 2})"}, {newerAsked, "answer {}"});
        row("timeline: newer unknown to the server", "timeline",
            {newer + R"(error {"code": -32601, "message": "Method not found"})", older + R"(result {"b": 2})"},
            {newerAsked, olderAsked, R"(answer {"b":2})"});
        row("timeline: newer cannot be posted", "timeline", {newer + "invoke-fails", older + R"(result {"b": 2})"},
            {newerAsked, olderAsked, R"(answer {"b":2})"});
        row("timeline: newer gives no response object", "timeline", {newer + "wrong-type", older + R"(result {"b": 2})"},
            {newerAsked, olderAsked, R"(answer {"b":2})"});
        row("timeline: older refused", "timeline", {newer + R"(error {"code": 1})", older + R"(error {"code": -32000})"},
            {newerAsked, olderAsked, "rpcError: You have no permissions for command 'RoadNetwork.getTimelineData'", "answer {}"});
        row("timeline: neither can be posted", "timeline", {newer + "invoke-fails", older + "invoke-fails"},
            {newerAsked, olderAsked, "rpcError: Invoke 'RoadNetwork.getTimelineData' failed", "answer {}"});
        row("web address", "web url", {"script PserverApp.getWebUrl result \"http://127.0.0.1:8080/prio\""},
            {"> PserverApp.getWebUrl -", "answer \"http://127.0.0.1:8080/prio\""});
        row("web address, answer an object", "web url", {R"(script PserverApp.getWebUrl result {"url": "x"})"},
            {"> PserverApp.getWebUrl -", "answer \"\""});
        row("remove board data", "remove", {"script BoardsServer.removeBoardsData result true"}, {removeAsked, "answer -"});
        row("remove board data, cannot be posted", "remove", {"script BoardsServer.removeBoardsData invoke-fails"},
            {removeAsked, "rpcError: Invoke 'BoardsServer.removeBoardsData' failed", "answer -"});
    }
    void queries()
    {
        QFETCH(QString, name);
        QFETCH(QStringList, scripts);
        QFETCH(QStringList, out);
        Host host;
        host.connectWith(R"([{"id": 5}])", "[]", R"({"B1": {}, "B2": {}})");
        host.run(scripts);
        const QString answer = "answer " + query(host.plugin, name);
        QCOMPARE(host.logged() << answer << state(host) << host.tree(),
                 out + QStringList({"state attached", sections("5[Boards, Detectors]", "B1, B2")}));
        host.run({"stop"});
        host.logged();
        const QString stopped = "answer " + query(host.plugin, name);
        QCOMPARE(QStringList(stopped) + host.logged(),
                 QStringList(name == "web url" ? "answer \"\"" : name == "remove" ? "answer -" : "answer {}"));
    }

    // Anything may happen while a query waits: nothing freed may be touched afterwards
    // (AddressSanitizer), and a query whose answer cannot come any more returns at once,
    // with nothing more asked.
    void somethingHappensDuringAQuery_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("event");
        QTest::addColumn<QStringList>("out");
        QTest::newRow("JSON-RPC object destroyed") << "web url" << "destroy" << QStringList{"answer \"\"", "state stopped"};
        QTest::newRow("response destroyed") << "vdt" << "destroy response" << QStringList{"answer {}", "state attached"};
        QTest::newRow("plug-in deleted") << "tlc" << "delete plugin" << QStringList{"answer {}", "state deleted"};
        QTest::newRow("plug-in deleted during the newer timeline call") << "timeline" << "delete plugin"
                                                                        << QStringList{"answer {}", "state deleted"};
        QTest::newRow("stopped, the answer comes") << "tlc" << "stop restart" << QStringList{R"(answer {"x":1})", "state stopped, restart pending"};
        QTest::newRow("disconnected, the answer comes") << "timeline" << "disconnect" << QStringList{R"(answer {"x":1})", "state attached"};
        QTest::newRow("internal call, disconnected, an error comes") << "internal" << "disconnect error"
                                                                     << QStringList{"answer -", "state attached"};
        QTest::newRow("internal call, an error comes") << "internal" << "error" << QStringList{"answer -", "state stopped, restart pending"};
    }
    void somethingHappensDuringAQuery()
    {
        QFETCH(QString, name);
        QFETCH(QString, event);
        QFETCH(QStringList, out);
        Host host;
        host.connectWith(R"([{"id": 5}])", "[]", R"({"B1": {}})");
        const int before = host.rpc->responses.size();
        QTimer::singleShot(0, &host.owner, [&] {
            JsonRpcResponse *pending = host.rpc->responses.last();
            if (event == "destroy response")
                delete pending;
            else if (event == "delete plugin")
                delete host.plugin.data();
            else if (event != "error")
                host.run({event.endsWith("error") ? "disconnect" : event});
            if (event.endsWith("error"))
                pending->finishWithError(QVariantMap{{"code", 2}});
            else if (event == "stop restart" || event == "disconnect")
                pending->finishWithResult(QVariantMap{{"x", 1}});
        });
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(QStringList("answer " + query(host.plugin, name)) << state(host), out);
        QVERIFY(clock.elapsed() < PriorityPlugin::QueryTimeoutMs / 2);
        if (host.rpc)
            QCOMPARE(host.rpc->responses.size(), before + 1);
        if (host.plugin)
            QCOMPARE(host.plugin->boardRegistry().isEmpty(), out.last() != "state attached" || event.startsWith("disconnect"));
    }
};

QTEST_MAIN(tst_CommandChannel)
#include "tst_commandchannel.moc"
