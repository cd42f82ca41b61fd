// The command channel's call forms and failure table, and the operator commands, on a
// scripted JSON-RPC object.

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QSettings>
#include <QStandardPaths>
#include <QTimer>
#include <QtTest>

#include <memory>

#include "common/logcapture.h"
#include "fakehost.h"
#include "plugin/priorityplugin.h"

Q_DECLARE_METATYPE(Script::Kind)

using Invocation = std::function<bool(QObject *)>;
Q_DECLARE_METATYPE(Invocation)

namespace {

const QString kMethod = QStringLiteral("RoadNetwork.getRouteList");

struct Host
{
    Host()
    {
        QVERIFY(plugin->start(rpc));
    }
    Road::Kernel kernel;
    JsonRpcOwner owner;
    QPointer<JsonRpcObject> rpc = new JsonRpcObject(&owner);
    QPointer<PriorityPlugin> plugin = new PriorityPlugin(&kernel);
};

QString compactJson(const QVariant &value)
{
    return QString::fromUtf8(QJsonDocument::fromVariant(value).toJson(QJsonDocument::Compact));
}

} // namespace

class tst_CommandChannel : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        QCoreApplication::setApplicationName(QStringLiteral("tst_commandchannel"));
    }

    void asynchronousFailureTable_data()
    {
        QTest::addColumn<Script::Kind>("kind");
        QTest::addColumn<QVariant>("value");
        QTest::addColumn<bool>("userCommand");
        QTest::addColumn<QString>("rpcError");
        QTest::addColumn<QString>("logged");
        QTest::addColumn<QString>("after"); // running, restart, permissions

        const QVariantMap denied{{"code", -32000}, {"message", "denied"}};
        const QVariantMap boom{{"code", 7}, {"message", "boom"}};
        const QString failedText = QStringLiteral("Invoke 'RoadNetwork.getRouteList' failed");

        QTest::newRow("internal: invocation fails") << Script::InvokeFails << QVariant() << false << failedText << "" << "restart";
        QTest::newRow("internal: answer is no response") << Script::WrongType << QVariant() << false << failedText << "" << "restart";
        QTest::newRow("host: invocation fails") << Script::InvokeFails << QVariant() << true << failedText << "" << "running";
        QTest::newRow("host: answer is no response") << Script::WrongType << QVariant() << true << failedText << "" << "running";
        QTest::newRow("internal: no permission")
            << Script::Error << QVariant(denied) << false
            << "Response on method 'RoadNetwork.getRouteList' error: code -32000, message: denied"
            << "critical: [PriorityPlugin] ERROR: Response on method 'RoadNetwork.getRouteList' error: code -32000, message: denied"
            << "permissions";
        QTest::newRow("internal: other error")
            << Script::Error << QVariant(boom) << false
            << "Response on method 'RoadNetwork.getRouteList' error: code 7, message: boom"
            << "critical: [PriorityPlugin] ERROR: Response on method 'RoadNetwork.getRouteList' error: code 7, message: boom"
            << "restart";
        QTest::newRow("internal: error object without code and message")
            << Script::Error << QVariant(QVariantMap()) << false
            << "Response on method 'RoadNetwork.getRouteList' error: code 0, message: "
            << "critical: [PriorityPlugin] ERROR: Response on method 'RoadNetwork.getRouteList' error: code 0, message: "
            << "restart";
        QTest::newRow("internal: message with placeholders stays as sent")
            << Script::Error << QVariant(QVariantMap{{"code", 3}, {"message", "50% of %1 %2"}}) << false
            << "Response on method 'RoadNetwork.getRouteList' error: code 3, message: 50% of %1 %2"
            << "critical: [PriorityPlugin] ERROR: Response on method 'RoadNetwork.getRouteList' error: code 3, message: 50% of %1 %2"
            << "restart";
        QTest::newRow("host: no permission") << Script::Error << QVariant(denied) << true
                                             << "You have no permissions for command 'RoadNetwork.getRouteList'" << "" << "running";
        QTest::newRow("host: other error") << Script::Error << QVariant(boom) << true << "code: 7, message: boom" << "" << "running";
        QTest::newRow("host: error object without code and message")
            << Script::Error << QVariant(QVariantMap()) << true << "code: 0, message: " << "" << "running";
        QTest::newRow("internal: success") << Script::Result << QVariant(42) << false << "" << "" << "running";
        QTest::newRow("host: success") << Script::Result << QVariant(42) << true << "" << "" << "running";
    }
    void asynchronousFailureTable()
    {
        QFETCH(Script::Kind, kind);
        QFETCH(QVariant, value);
        QFETCH(bool, userCommand);
        QFETCH(QString, rpcError);
        QFETCH(QString, logged);
        QFETCH(QString, after);

        Host host;
        host.rpc->script(kMethod, kind, value);
        QSignalSpy errors(host.plugin.data(), &PriorityPlugin::rpcError);
        QVariantList results;
        LogCapture log;
        const bool posted = host.plugin->postRpcCommand(
            kMethod, QVariant(), [&results](const QVariant &result) { results.append(result); }, userCommand);
        QCOMPARE(posted, kind == Script::Result || kind == Script::Error);
        // Answers come from the event loop; give them every chance.
        QTest::qWait(20);

        QCOMPARE(errors.count(), rpcError.isEmpty() ? 0 : 1);
        if (!rpcError.isEmpty())
            QCOMPARE(errors.first().first().toString(), rpcError);
        const QStringList criticals = log.lines().filter(QRegularExpression("^critical: "));
        QCOMPARE(criticals, logged.isEmpty() ? QStringList() : QStringList(logged));
        QCOMPARE(results, kind == Script::Result ? QVariantList{42} : QVariantList());

        QCOMPARE(host.plugin->rpcObject() != nullptr, after == "running");
        QCOMPARE(host.plugin->isRestartPending(), after == "restart");
        QCOMPARE(host.plugin->isAwaitingPermissions(), after == "permissions");
    }

    void successWithoutCallbackDoesNothing()
    {
        Host host;
        host.rpc->answerResult(kMethod, QVariantList{1, 2});
        QSignalSpy errors(host.plugin.data(), &PriorityPlugin::rpcError);
        QVERIFY(host.plugin->postRpcCommand(kMethod, QVariant(), ResponseCallback(), false));
        QTRY_VERIFY(host.rpc->posted.last().response->isFinished());
        QCOMPARE(errors.count(), 0);
        QVERIFY(host.plugin->rpcObject());
    }

    void nothingIsSentWhileStopped()
    {
        Road::Kernel kernel;
        PriorityPlugin plugin(&kernel);
        QSignalSpy errors(&plugin, &PriorityPlugin::rpcError);
        bool called = false;
        QVERIFY(!plugin.postRpcCommand(kMethod, QVariant(), [&](const QVariant &) { called = true; }, false));
        QVERIFY(!plugin.execRpcCommand(kMethod, QVariant(), 50, true).isValid());
        QVERIFY(!plugin.execRpcCommand(kMethod, QVariant(), 50, [&](const QVariant &) { called = true; }).isValid());
        QVERIFY(!called);
        QCOMPARE(errors.count(), 0);
        QVERIFY(!plugin.isRestartPending());
    }

    // One failing request stops the plug-in; the other pending failures find it stopped.
    void oneFailureGivesOneStop()
    {
        Host host;
        host.rpc->answerError(kMethod, 5, QStringLiteral("a"));
        host.rpc->answerError(QStringLiteral("VDTService.getVdtList"), 6, QStringLiteral("b"));
        QSignalSpy errors(host.plugin.data(), &PriorityPlugin::rpcError);
        LogCapture log;
        host.plugin->postRpcCommand(kMethod, QVariant(), ResponseCallback(), false);
        host.plugin->postRpcCommand(QStringLiteral("VDTService.getVdtList"), QVariant(), ResponseCallback(), false);
        QTest::qWait(20);
        QCOMPARE(errors.count(), 1);
        QCOMPARE(log.count("info: [PriorityPlugin] INFO: Stop"), 1);
    }

    void answerToAnEarlierObjectIsIgnored()
    {
        Host host;
        host.rpc->script(kMethod, Script::Never);
        int calls = 0;
        QVERIFY(host.plugin->postRpcCommand(kMethod, QVariant(), [&](const QVariant &) { ++calls; }, false));
        QPointer<JsonRpcResponse> pending = host.rpc->posted.last().response;

        auto *other = new JsonRpcObject(&host.owner);
        QVERIFY(host.plugin->start(other));
        pending->finishWithResult(1);
        QCOMPARE(calls, 0);

        // Back on the first object (a restart): its answers count again.
        QVERIFY(host.plugin->start(host.rpc));
        QVERIFY(host.plugin->postRpcCommand(kMethod, QVariant(), [&](const QVariant &) { ++calls; }, false));
        host.rpc->posted.last().response->finishWithResult(2);
        QCOMPARE(calls, 1);
    }

    void answerWhileStoppedIsIgnored()
    {
        Host host;
        host.rpc->script(kMethod, Script::Never);
        QSignalSpy errors(host.plugin.data(), &PriorityPlugin::rpcError);
        QVERIFY(host.plugin->postRpcCommand(kMethod, QVariant(), ResponseCallback(), false));
        host.plugin->stop(false);
        host.rpc->posted.last().response->finishWithError(QVariantMap{{"code", 1}});
        QCOMPARE(errors.count(), 0);
        QVERIFY(!host.plugin->isRestartPending());
    }

    void synchronousCall_data()
    {
        QTest::addColumn<Script::Kind>("kind");
        QTest::addColumn<QVariant>("value");
        QTest::addColumn<QVariant>("expected");
        QTest::addColumn<QString>("rpcError");
        QTest::newRow("result") << Script::Result << QVariant(QVariantMap{{"a", 1}}) << QVariant(QVariantMap{{"a", 1}}) << "";
        QTest::newRow("error") << Script::Error << QVariant(QVariantMap{{"code", 9}, {"message", "x"}}) << QVariant() << "code: 9, message: x";
        QTest::newRow("no permission") << Script::Error << QVariant(QVariantMap{{"code", -32000}}) << QVariant()
                                       << "You have no permissions for command 'PserverApp.getWebUrl'";
        QTest::newRow("time-out") << Script::Never << QVariant() << QVariant() << "";
        QTest::newRow("invocation fails") << Script::InvokeFails << QVariant() << QVariant() << "Invoke 'PserverApp.getWebUrl' failed";
    }
    void synchronousCall()
    {
        QFETCH(Script::Kind, kind);
        QFETCH(QVariant, value);
        QFETCH(QVariant, expected);
        QFETCH(QString, rpcError);
        Host host;
        const QString method = QStringLiteral("PserverApp.getWebUrl");
        host.rpc->script(method, kind, value);
        QSignalSpy errors(host.plugin.data(), &PriorityPlugin::rpcError);
        QElapsedTimer clock;
        clock.start();
        const QVariant result = host.plugin->execRpcCommand(method, QVariant(), 200, true);
        QCOMPARE(result, expected);
        if (kind == Script::Never)
            QVERIFY(clock.elapsed() >= 200);
        else
            QVERIFY(clock.elapsed() < 200);
        QCOMPARE(errors.count(), rpcError.isEmpty() ? 0 : 1);
        if (!rpcError.isEmpty())
            QCOMPARE(errors.first().first().toString(), rpcError);
        QVERIFY(host.plugin->rpcObject());
    }

    void synchronousCallWithErrorCallback_data()
    {
        QTest::addColumn<Script::Kind>("kind");
        QTest::addColumn<QVariant>("value");
        QTest::addColumn<QVariantList>("callbackArgs");
        const QVariantMap err{{"code", 4}, {"message", "gone"}};
        QTest::newRow("error answer") << Script::Error << QVariant(err) << QVariantList{err};
        QTest::newRow("invocation fails") << Script::InvokeFails << QVariant() << QVariantList{QVariant()};
        QTest::newRow("time-out") << Script::Never << QVariant() << QVariantList();
        QTest::newRow("result") << Script::Result << QVariant(5) << QVariantList();
    }
    void synchronousCallWithErrorCallback()
    {
        QFETCH(Script::Kind, kind);
        QFETCH(QVariant, value);
        QFETCH(QVariantList, callbackArgs);
        Host host;
        host.rpc->script(kMethod, kind, value);
        QSignalSpy errors(host.plugin.data(), &PriorityPlugin::rpcError);
        QVariantList seen;
        const QVariant result = host.plugin->execRpcCommand(kMethod, QVariant(), 100,
                                                            [&](const QVariant &e) { seen.append(e); });
        QCOMPARE(result, kind == Script::Result ? QVariant(5) : QVariant());
        QCOMPARE(seen, callbackArgs);
        // This form reports nothing and stops nothing.
        QCOMPARE(errors.count(), 0);
        QVERIFY(host.plugin->rpcObject());
    }

    // Anything may happen inside the local event loop of a synchronous call.
    void synchronousCallSurvivesDestruction_data()
    {
        QTest::addColumn<QString>("victim");
        QTest::newRow("JSON-RPC object destroyed") << "rpc";
        QTest::newRow("response destroyed") << "response";
        QTest::newRow("plug-in destroyed") << "plugin";
        QTest::newRow("plug-in stopped") << "stop";
    }
    void synchronousCallSurvivesDestruction()
    {
        QFETCH(QString, victim);
        Host host;
        host.rpc->script(kMethod, Script::Never);
        QTimer::singleShot(10, &host.owner, [&] {
            if (victim == "rpc")
                delete host.rpc;
            else if (victim == "response")
                delete host.rpc->posted.last().response;
            else if (victim == "plugin")
                delete host.plugin;
            else
                host.plugin->stop(false);
        });
        QElapsedTimer clock;
        clock.start();
        const QVariant result = host.plugin->execRpcCommand(kMethod, QVariant(), 1500, true);
        QVERIFY(!result.isValid());
        if (victim != "stop")
            QVERIFY2(clock.elapsed() < 1000, "the loop should end as soon as the answer cannot come");
        QCOMPARE(host.plugin.isNull(), victim == "plugin");
    }

    void operatorCommands_data()
    {
        QTest::addColumn<Invocation>("invoke");
        QTest::addColumn<QString>("method");
        QTest::addColumn<QString>("params");
        // Called by name, as the host does.
        const QString b7 = QStringLiteral("B7");
        const QVariantMap name{{"name", "N"}}, weight{{"weight", 2}}, mode{{"mode", "x"}};
        QTest::newRow("setLockBoard") << Invocation([=](QObject *p) { return QMetaObject::invokeMethod(p, "setLockBoard", Q_ARG(QString, b7), Q_ARG(bool, true)); })
                                      << "BoardsServer.changeBoardProperties" << R"({"board_name":"B7","props":{"locked":true}})";
        QTest::newRow("assignBoard to a route never loaded") << Invocation([=](QObject *p) { return QMetaObject::invokeMethod(p, "assignBoard", Q_ARG(QString, b7), Q_ARG(int, 999)); })
                                                              << "RoadNetwork.assignBoardToRoute" << R"({"board_name":"B7","route_id":999})";
        QTest::newRow("unassignBoard") << Invocation([=](QObject *p) { return QMetaObject::invokeMethod(p, "unassignBoard", Q_ARG(QString, b7)); })
                                       << "RoadNetwork.unassignBoard" << R"({"board_name":"B7"})";
        QTest::newRow("changeBoardProperties, empty props") << Invocation([](QObject *p) { return QMetaObject::invokeMethod(p, "changeBoardProperties", Q_ARG(QString, QString()), Q_ARG(QVariantMap, QVariantMap())); })
                                                             << "BoardsServer.changeBoardProperties" << R"({"board_name":"","props":{}})";
        QTest::newRow("changeRouteProperties") << Invocation([=](QObject *p) { return QMetaObject::invokeMethod(p, "changeRouteProperties", Q_ARG(int, 12), Q_ARG(QVariantMap, name)); })
                                               << "RoadNetwork.changeRouteProperties" << R"({"id":12,"props":{"name":"N"}})";
        QTest::newRow("changeVdtProperties") << Invocation([=](QObject *p) { return QMetaObject::invokeMethod(p, "changeVdtProperties", Q_ARG(int, 3), Q_ARG(QVariantMap, weight)); })
                                             << "VDTService.changeVdtProperties" << R"({"id":3,"props":{"weight":2}})";
        QTest::newRow("setVdtActive sends activate") << Invocation([](QObject *p) { return QMetaObject::invokeMethod(p, "setVdtActive", Q_ARG(int, 7), Q_ARG(bool, false)); })
                                                     << "VDTService.setVdtActive" << R"({"activate":false,"id":7})";
        QTest::newRow("changeTlcProperties") << Invocation([=](QObject *p) { return QMetaObject::invokeMethod(p, "changeTlcProperties", Q_ARG(int, 44), Q_ARG(QVariantMap, mode)); })
                                             << "TLService.changeTlcProperties" << R"({"id":44,"props":{"mode":"x"}})";
        QTest::newRow("setLockRoute") << Invocation([](QObject *p) { return QMetaObject::invokeMethod(p, "setLockRoute", Q_ARG(int, 12), Q_ARG(bool, true)); })
                                      << "RoadNetwork.changeRouteProperties" << R"({"id":12,"props":{"locked":true}})";
        QTest::newRow("setLockDetector") << Invocation([](QObject *p) { return QMetaObject::invokeMethod(p, "setLockDetector", Q_ARG(int, 5), Q_ARG(bool, false)); })
                                         << "VDTService.changeVdtProperties" << R"({"id":5,"props":{"locked":false}})";
    }
    void operatorCommands()
    {
        QFETCH(Invocation, invoke);
        QFETCH(QString, method);
        QFETCH(QString, params);
        Host host;
        host.rpc->answerError(method, -32000, QStringLiteral("read only"));
        QSignalSpy errors(host.plugin.data(), &PriorityPlugin::rpcError);
        QVERIFY(invoke(host.plugin));

        QCOMPARE(host.rpc->posted.size(), 1);
        QCOMPARE(host.rpc->posted[0].method, method);
        QCOMPARE(compactJson(host.rpc->posted[0].params), params);

        // A refusal is reported and nothing stops.
        QTRY_COMPARE(errors.count(), 1);
        QCOMPARE(errors.first().first().toString(), "You have no permissions for command '" + method + "'");
        QVERIFY(host.plugin->rpcObject());
        QVERIFY(!host.plugin->isRestartPending());
    }
};

QTEST_MAIN(tst_CommandChannel)
#include "tst_commandchannel.moc"
