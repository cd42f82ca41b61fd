// Start, stop and the two kinds of restart of the plug-in object.

#include <QSettings>
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

// The attached object's name, or "-"; then whether a restart waits, and on what.
QString state(const Host &host)
{
    QString text = host.plugin->rpcObject() ? host.plugin->rpcObject()->objectName() : "-";
    if (host.plugin->isRestartPending())
        text += ", restart pending";
    if (host.plugin->isAwaitingPermissions())
        text += ", awaiting permissions";
    return text;
}

const QString kLoaded = "INFO: RPC object 'fake-rpc' connected";
const QStringList kLists{"> RoadNetwork.getRouteList -", "> VDTService.getVdtList -", "> BoardsServer.getBoards -"};
const QStringList kLoad = QStringList(kLoaded) + kLists;

} // namespace

class tst_PluginStart : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { useTestStorage("tst_pluginstart"); }

    // Started on the scripted object, then started again on another candidate; then both
    // objects report a connection.
    void startAgain_data()
    {
        QTest::addColumn<QString>("setup");
        QTest::addColumn<QStringList>("log");
        QTest::addColumn<QString>("after");
        const QString invalid = "ERROR: JSonRpc object is NULL or invalid", noKernel = "ERROR: Parent of plugin must be Road::Kernel object";
        QTest::newRow("null") << "null" << QStringList{"INFO: start", invalid} + kLoad << "fake-rpc";
        QTest::newRow("no JsonRpcObject") << "plain" << QStringList{"INFO: start", invalid} + kLoad << "fake-rpc";
        QTest::newRow("no postCommand") << "mute" << QStringList{"INFO: start", "INFO: Stop", "ERROR: Invalid 'JsonRpc' object"} << "-";
        QTest::newRow("no parent") << "orphan" << QStringList{"INFO: start", noKernel, "INFO: Stop"} << "-";
        QTest::newRow("parent no kernel") << "other parent" << QStringList{"INFO: start", noKernel, "INFO: Stop"} << "-";
        QTest::newRow("no scene") << "no scene" << QStringList{"INFO: start", "ERROR: No graphics scene object", "INFO: Stop"} << "-";
        QTest::newRow("no item model")
            << "no model" << QStringList{"INFO: start", "ERROR: Kernel object not contains valid 'itemModel' property", "INFO: Stop"}
            << "-";
        QTest::newRow("same object: one connection") << "same" << QStringList("INFO: start") + kLoad << "fake-rpc";
        QTest::newRow("another object: the first is stopped")
            << "second" << QStringList{"INFO: start", "INFO: Stop", "INFO: RPC object 'second' connected"} + kLists << "second";
    }
    void startAgain()
    {
        QFETCH(QString, setup);
        QFETCH(QStringList, log);
        QFETCH(QString, after);
        Host host;
        QObject plain;
        auto *mute = new JsonRpcObject(&host.owner);
        auto *second = new ScriptedRpc(&host.owner);
        second->setObjectName("second");
        std::unique_ptr<PriorityPlugin> orphan;
        QObject *candidate = setup == "null" ? nullptr : setup == "plain" ? &plain : setup == "mute" ? mute : host.rpc.data();
        if (setup == "second")
            candidate = second;
        if (setup == "orphan")
            orphan.reset(host.plugin), host.plugin->setParent(nullptr);
        if (setup == "other parent")
            host.plugin->setParent(&host.owner);
        host.kernel.withholdScene = setup == "no scene";
        host.kernel.withholdModel = setup == "no model";

        QCOMPARE(host.plugin->start(candidate), setup == "same" || setup == "second");
        // A refused object's signals reach nothing.
        emit mute->requestQueueEmpty();
        emit mute->notification("BoardsServer.boardPosition", QVariantMap());
        delete mute;
        emit host.rpc->connected(true);
        emit second->connected(true);
        QCOMPARE(host.logged(), log);
        QCOMPARE(state(host), after);
        QCOMPARE(host.plugin->graphicsScene() == host.kernel.scene && host.plugin->treeModel() == host.kernel.model, after != "-");
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
        auto *vireo = layout == "none" ? nullptr : new Vireo::Plugin(&host.kernel);
        if (vireo && layout != "plugin") {
            new QObject(vireo);
            auto *project = new Vireo::Project(vireo);
            if (baseDir.isValid())
                project->setProperty("baseDir", baseDir);
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

    // Connected with the lists unanswered; then a run of faults and host actions.
    void failureAndRestart_data()
    {
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<QStringList>("log");
        QTest::addColumn<QString>("after");
        const QString stop = "INFO: Stop";
        auto failed = [&](const QString &text) {
            return QStringList{"ERROR: Response on method " + text, stop, "rpcError: Response on method " + text};
        };
        const QString fail5 = R"(fail RoadNetwork.getRouteList {"code": 5, "message": "m"})";
        const QString refuse = R"(fail RoadNetwork.getRouteList {"code": -32000, "message": "m"})";
        const QStringList failed5 = failed("'RoadNetwork.getRouteList' error: code 5, message: m");
        const QStringList refused = failed("'RoadNetwork.getRouteList' error: code -32000, message: m");
        const QStringList loaded = QStringList("INFO: start") + kLoad;
        auto row = [](const char *name, const QStringList &steps, const QStringList &log, const QString &after) {
            QTest::newRow(name) << steps << log << after;
        };
        row("error answer: restart 10 s later, loaded at once", {fail5, "fire"}, failed5 + loaded, "fake-rpc");
        row("error answer: waiting", {fail5}, failed5, "-, restart pending");
        row("board data refused: timed restart",
            {R"(script BoardsServer.getBoardData error {"code": -32602, "message": "unknown"})",
             R"(notify BoardsServer.boardPosition {"board_name": "B9"})", "settle", "fire"},
            QStringList(R"(> BoardsServer.getBoardData {"name":"B9"})") + failed("'BoardsServer.getBoardData' error: code -32602, message: unknown")
                + loaded,
            "fake-rpc");
        row("refusal: waits for the permissions", {refuse}, refused, "-, awaiting permissions");
        row("refusal, then the permissions change", {refuse, "allow"}, refused + loaded, "fake-rpc");
        row("refused twice: one start per change, none while running", {refuse, "allow", refuse, "allow", "allow"},
            refused + loaded + refused + loaded, "fake-rpc");
        row("explicit start cancels the timed restart", {fail5, "start", "allow"}, failed5 + loaded, "fake-rpc");
        row("explicit start cancels the permission wait", {refuse, "start", "allow"}, refused + loaded, "fake-rpc");
        row("failure after the connection dropped stops nothing",
            {"disconnect", R"(fail RoadNetwork.getRouteList {"code": -32098})", "connect"},
            {"INFO: RPC object 'fake-rpc' disconnected"}, "fake-rpc");
        row("object destroyed: stopped for good", {"destroy", "stop restart"},
            {"INFO: Json-RPC plugin object destroyed", stop}, "-");
        row("object destroyed while the restart waits", {fail5, "destroy", "fire"},
            failed5 + QStringList{"INFO: start", "ERROR: JSonRpc object is NULL or invalid"}, "-");
        row("refusal without an owner gives up", {"orphan", refuse, "allow"},
            {refused[0], stop, "ERROR: Invalid 'JsonRpc' object", refused[2]}, "-");
    }
    void failureAndRestart()
    {
        QFETCH(QStringList, steps);
        QFETCH(QStringList, log);
        QFETCH(QString, after);
        Host host;
        host.run({"connect"});
        std::unique_ptr<ScriptedRpc> orphan;
        if (steps.first() == "orphan")
            orphan.reset(host.rpc), host.rpc->setParent(nullptr), steps.removeFirst();
        host.run(steps);
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
        QCOMPARE(host.logged(), QStringList("INFO: start") + kLoad + QStringList("INFO: start"));
        QVERIFY(host.plugin->start(new OddStateRpc(&host.owner)));
        QCOMPARE(host.logged(), QStringList({"INFO: start", "INFO: Stop"}));
    }
};

QTEST_MAIN(tst_PluginStart)
#include "tst_pluginstart.moc"
