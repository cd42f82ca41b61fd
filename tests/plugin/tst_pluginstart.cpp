// Start, stop and the two kinds of restart of the plug-in object.

#include <QSettings>
#include <QTimer>
#include <QtTest>

#include <memory>

#include "scriptedhost.h"

// JSON-RPC objects that say themselves whether they are connected, as the host's does; only
// a bool property counts.
class StatefulRpc : public ScriptedRpc
{
    Q_OBJECT
    Q_PROPERTY(bool isConnected MEMBER isConnected)
public:
    using ScriptedRpc::ScriptedRpc;
    bool isConnected = true;
};
class OddStateRpc : public ScriptedRpc
{
    Q_OBJECT
    Q_PROPERTY(QVariant isConnected MEMBER isConnected)
public:
    using ScriptedRpc::ScriptedRpc;
    QVariant isConnected = true;
};

namespace {

QString state(const Host &host)
{
    QObject *current = host.plugin->rpcObject();
    QString text = current && current == host.rpc.data() ? "attached" : "stopped";
    if (host.plugin->isRestartPending())
        text += ", restart pending";
    if (host.plugin->isAwaitingPermissions())
        text += ", awaiting permissions";
    return text;
}

} // namespace

class tst_PluginStart : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { useTestStorage("tst_pluginstart"); }

    // Started on the scripted object, then started again with something else.
    void startIsRefused_data()
    {
        QTest::addColumn<QString>("setup");
        QTest::addColumn<QStringList>("log");
        QTest::addColumn<QString>("after");
        const QString invalid = "ERROR: JSonRpc object is NULL or invalid";
        QTest::newRow("null") << "null" << QStringList{"INFO: start", invalid} << "attached";
        QTest::newRow("no JsonRpcObject") << "plain" << QStringList{"INFO: start", invalid} << "attached";
        QTest::newRow("no postCommand") << "mute"
                                        << QStringList{"INFO: start", "INFO: Stop", "ERROR: Invalid 'JsonRpc' object"}
                                        << "stopped";
        const QString noKernel = "ERROR: Parent of plugin must be Road::Kernel object";
        QTest::newRow("no parent") << "orphan" << QStringList{"INFO: start", noKernel, "INFO: Stop"} << "stopped";
        QTest::newRow("parent no kernel") << "other parent" << QStringList{"INFO: start", noKernel, "INFO: Stop"} << "stopped";
        QTest::newRow("no scene") << "no scene" << QStringList{"INFO: start", "ERROR: No graphics scene object", "INFO: Stop"}
                                  << "stopped";
        QTest::newRow("no item model")
            << "no model"
            << QStringList{"INFO: start", "ERROR: Kernel object not contains valid 'itemModel' property", "INFO: Stop"}
            << "stopped";
    }
    void startIsRefused()
    {
        QFETCH(QString, setup);
        QFETCH(QStringList, log);
        QFETCH(QString, after);
        Host host;
        QObject plain;
        auto *mute = new JsonRpcObject(&host.owner);
        std::unique_ptr<PriorityPlugin> orphan;
        QObject *candidate = host.rpc;
        if (setup == "null")
            candidate = nullptr;
        else if (setup == "plain")
            candidate = &plain;
        else if (setup == "mute")
            candidate = mute;
        else if (setup == "orphan") {
            orphan.reset(host.plugin);
            host.plugin->setParent(nullptr);
        } else if (setup == "other parent")
            host.plugin->setParent(&host.owner);
        else if (setup == "no scene")
            host.kernel.withholdScene = true;
        else
            host.kernel.withholdModel = true;

        QVERIFY(!host.plugin->start(candidate));
        QCOMPARE(host.logged(), log);
        QCOMPARE(state(host), after);
        if (setup != "mute" && setup != "null" && setup != "plain")
            QVERIFY(!host.plugin->graphicsScene() && !host.plugin->treeModel());
        // A refused object's signals reach nothing; the current one's still load.
        emit mute->requestQueueEmpty();
        emit mute->notification("BoardsServer.boardPosition", QVariantMap());
        delete mute;
        emit host.rpc->connected(true);
        QCOMPARE(host.logged(), after == "attached" ? QStringList("INFO: RPC object 'fake-rpc' connected") : QStringList());
    }

    void startAgain_data()
    {
        QTest::addColumn<bool>("sameObject");
        QTest::addColumn<QStringList>("log");
        QTest::newRow("same object: one connection") << true << QStringList{"INFO: start", "INFO: RPC object 'fake-rpc' connected"};
        QTest::newRow("another object: the first is stopped")
            << false << QStringList{"INFO: start", "INFO: Stop", "INFO: RPC object 'second' connected"};
    }
    void startAgain()
    {
        QFETCH(bool, sameObject);
        QFETCH(QStringList, log);
        Host host;
        auto *second = new ScriptedRpc(&host.owner);
        second->setObjectName("second");
        QVERIFY(host.plugin->start(sameObject ? host.rpc.data() : second));
        emit host.rpc->connected(true);
        emit second->connected(true);
        QCOMPARE(host.logged(), log);
        QCOMPARE(host.plugin->graphicsScene(), host.kernel.scene);
        QCOMPARE(host.plugin->treeModel(), host.kernel.model);
    }

    void cacheName_data()
    {
        QTest::addColumn<QString>("layout");
        QTest::addColumn<QVariant>("baseDir");
        QTest::addColumn<QString>("expected");
        QTest::newRow("no host plug-in") << "none" << QVariant() << "lumen2";
        QTest::newRow("host plug-in without project") << "plugin" << QVariant() << "lumen2";
        QTest::newRow("project") << "project" << QVariant("C:/p") << "433a2f70";
        QTest::newRow("non-ASCII directory as UTF-8") << "project" << QVariant("/home/\u00fc") << "2f686f6d652fc3bc";
        QTest::newRow("empty base directory") << "project" << QVariant("") << "";
        QTest::newRow("project without the property") << "project" << QVariant() << "";
        QTest::newRow("only the first host plug-in counts") << "second plugin" << QVariant("/x") << "lumen2";
        QTest::newRow("the first project counts") << "two projects" << QVariant("/x") << "2f78";
    }
    void cacheName()
    {
        QFETCH(QString, layout);
        QFETCH(QVariant, baseDir);
        QFETCH(QString, expected);
        Host host(false);
        new QObject(&host.kernel);
        if (layout == "second plugin")
            new Vireo::Plugin(&host.kernel); // the first has no project
        if (layout != "none") {
            auto *vireo = new Vireo::Plugin(&host.kernel);
            new QObject(vireo);
            if (layout != "plugin") {
                auto *project = new Vireo::Project(vireo);
                if (baseDir.isValid())
                    project->setProperty("baseDir", baseDir);
            }
            if (layout == "two projects")
                new Vireo::Project(vireo);
        }
        QVERIFY(host.plugin->start(host.rpc));
        QCOMPARE(host.plugin->cacheFileName(), expected);
    }

    void versionAndDebugMode()
    {
        Host host(false);
        QVERIFY(host.plugin->setProperty("debugMode", true));
        QVERIFY(!host.plugin->setProperty("moduleVersion", "9"));
        QVERIFY(host.plugin->start(host.rpc));
        QCOMPARE(host.plugin->property("moduleVersion").toString(), QStringLiteral("2.3.69"));
        QCOMPARE(host.plugin->property("debugMode").toBool(), true);
        QVERIFY(QSettings().allKeys().isEmpty());
    }

    // The loading requests stay unanswered; each row is a run of faults and host actions.
    void failureAndRestart_data()
    {
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<QStringList>("log");
        QTest::addColumn<QString>("after");
        const QString stop = "INFO: Stop", start = "INFO: start", loaded = "INFO: RPC object 'fake-rpc' connected";
        auto failed = [&](const QString &text) {
            return QStringList{"ERROR: Response on method " + text, stop, "rpcError: Response on method " + text};
        };
        const QStringList failed5 = failed("'RoadNetwork.getRouteList' error: code 5, message: m");
        const QStringList refused = failed("'RoadNetwork.getRouteList' error: code -32000, message: m");
        const QStringList reloaded{start, loaded};

        QTest::newRow("error answer: restart 10 s later, loaded at once")
            << QStringList{"fail 5", "fire"} << failed5 + reloaded << "attached";
        QTest::newRow("error answer: waiting") << QStringList{"fail 5"} << failed5 << "stopped, restart pending";
        QTest::newRow("board data refused: timed restart")
            << QStringList{"board", "fire"} << failed("'BoardsServer.getBoardData' error: code -32602, message: unknown") + reloaded
            << "attached";
        QTest::newRow("refusal: waits for the permissions") << QStringList{"fail -32000"} << refused
                                                            << "stopped, awaiting permissions";
        QTest::newRow("refusal, then the permissions change") << QStringList{"fail -32000", "allow"} << refused + reloaded
                                                              << "attached";
        QTest::newRow("refused twice: one start per change, none while running")
            << QStringList{"fail -32000", "allow", "fail -32000", "allow", "allow"} << refused + reloaded + refused + reloaded
            << "attached";
        QTest::newRow("explicit start cancels the timed restart") << QStringList{"fail 5", "start", "allow"}
                                                                  << failed5 + reloaded << "attached";
        QTest::newRow("explicit start cancels the permission wait") << QStringList{"fail -32000", "start", "allow"}
                                                                    << refused + reloaded << "attached";
        QTest::newRow("failure after the connection dropped stops nothing")
            << QStringList{"drop", "fail -32098", "connect"}
            << QStringList{"INFO: RPC object 'fake-rpc' disconnected", loaded} << "attached";
        QTest::newRow("object destroyed: stopped for good")
            << QStringList{"destroy", "stop"} << QStringList{"INFO: Json-RPC plugin object destroyed", stop} << "stopped";
        QTest::newRow("object destroyed while the restart waits")
            << QStringList{"fail 5", "destroy", "fire"} << failed5 + QStringList{start, "ERROR: JSonRpc object is NULL or invalid"}
            << "stopped";
        QTest::newRow("refusal without an owner gives up")
            << QStringList{"orphan", "fail -32000", "allow"}
            << QStringList{refused[0], stop, "ERROR: Invalid 'JsonRpc' object", refused[2]} << "stopped";
    }
    void failureAndRestart()
    {
        QFETCH(QStringList, steps);
        QFETCH(QStringList, log);
        QFETCH(QString, after);
        Host host;
        std::unique_ptr<ScriptedRpc> orphan;
        emit host.rpc->connected(true);
        host.logged();
        for (const QString &step : steps) {
            const int posted = host.rpc ? host.rpc->posted.size() : 0;
            if (step.startsWith("fail")) {
                for (const ScriptedRpc::Request &request : qAsConst(host.rpc->posted)) {
                    if (request.method == "RoadNetwork.getRouteList" && !request.response->isFinished())
                        request.response->finishWithError(QVariantMap{{"code", step.mid(5).toInt()}, {"message", "m"}});
                }
            } else if (step == "board") {
                host.rpc->script("BoardsServer.getBoardData", ScriptedRpc::Error,
                                 QVariantMap{{"code", -32602}, {"message", "unknown"}});
                host.notify("BoardsServer.boardPosition", R"({"board_name": "B9"})");
                QTRY_VERIFY(!host.plugin->rpcObject());
            } else if (step == "fire") {
                auto *timer = host.plugin->findChild<QTimer *>();
                QVERIFY(timer && timer->isActive() && timer->isSingleShot());
                QCOMPARE(timer->interval(), 10000);
                timer->start(0); // the ten seconds brought forward
                QTRY_VERIFY(!timer->isActive());
            } else if (step == "allow") {
                emit host.owner.allowedCommandsChanged();
            } else if (step == "start") {
                QVERIFY(host.plugin->start(host.rpc));
            } else if (step == "drop" || step == "connect") {
                emit host.rpc->connected(step == "connect");
            } else if (step == "destroy") {
                delete host.rpc;
            } else if (step == "stop") {
                host.plugin->stop(true);
            } else if (step == "orphan") {
                orphan.reset(host.rpc);
                host.rpc->setParent(nullptr);
            }
            // Every load asks for the three lists again.
            if (host.rpc && host.rpc->posted.size() > posted && step != "board")
                QCOMPARE(host.requests(posted), QStringList({"RoadNetwork.getRouteList -", "VDTService.getVdtList -",
                                                             "BoardsServer.getBoards -"}));
        }
        QCOMPARE(host.logged(), log);
        QCOMPARE(state(host), after);
    }

    // A host may connect before it starts its plug-ins: no connected(true) comes to wait for.
    void objectConnectedBeforeStartIsLoaded()
    {
        Host host(false);
        auto *stateful = new StatefulRpc(&host.owner);
        QVERIFY(host.plugin->start(stateful));
        QVERIFY(host.plugin->start(stateful));
        QCOMPARE(host.logged(), QStringList({"INFO: start", "INFO: RPC object 'fake-rpc' connected", "INFO: start"}));
        auto *odd = new OddStateRpc(&host.owner);
        QVERIFY(host.plugin->start(odd));
        QCOMPARE(host.logged(), QStringList({"INFO: start", "INFO: Stop"}));
    }
};

QTEST_MAIN(tst_PluginStart)
#include "tst_pluginstart.moc"
