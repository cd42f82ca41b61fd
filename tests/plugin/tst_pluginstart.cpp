// Start, stop and the two kinds of restart of the plug-in object on a scripted host.

#include <QElapsedTimer>
#include <QSettings>
#include <QStandardPaths>
#include <QTimer>
#include <QtTest>

#include "common/logcapture.h"
#include "fakehost.h"
#include "plugin/priorityplugin.h"

namespace {

const QString kInfoStart = QStringLiteral("info: [PriorityPlugin] INFO: start");
const QString kInfoStop = QStringLiteral("info: [PriorityPlugin] INFO: Stop");
const QString kConnected = QStringLiteral("info: [PriorityPlugin] INFO: RPC object 'fake-rpc' connected");

// The host as the plug-in sees it: a kernel parent, a JSON-RPC object with an owner.
struct Host
{
    Road::Kernel kernel;
    JsonRpcOwner owner;
    QPointer<JsonRpcObject> rpc = new JsonRpcObject(&owner);
    QPointer<PriorityPlugin> plugin = new PriorityPlugin(&kernel);
};

// Fails an internal request with the given code; the plug-in stops on the answer.
void failInternalRequest(Host &host, int code)
{
    host.rpc->answerError(QStringLiteral("RoadNetwork.getRouteList"), code, QStringLiteral("refused"));
    QVERIFY(host.plugin->postRpcCommand(QStringLiteral("RoadNetwork.getRouteList"), QVariant(),
                                        ResponseCallback(), false));
    QTRY_VERIFY(!host.plugin->rpcObject());
}

// The loading requests posted since request number from, in order.
QStringList loadingRequests(const Host &host, int from)
{
    static const QStringList loading{QStringLiteral("RoadNetwork.getRouteList"), QStringLiteral("VDTService.getVdtList"),
                                     QStringLiteral("BoardsServer.getBoards")};
    QStringList methods;
    for (int i = from; i < host.rpc->posted.size(); ++i) {
        if (loading.contains(host.rpc->posted.at(i).method))
            methods << host.rpc->posted.at(i).method;
    }
    return methods;
}

} // namespace

// A JSON-RPC object that says whether it is connected, as the host's does.
class StatefulJsonRpcObject : public JsonRpcObject
{
    Q_OBJECT
    Q_PROPERTY(bool isConnected MEMBER isConnected)
public:
    using JsonRpcObject::JsonRpcObject;
    bool isConnected = true;
};

class tst_PluginStart : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        QCoreApplication::setOrganizationName(QStringLiteral("lumen-tests"));
        QCoreApplication::setApplicationName(QStringLiteral("tst_pluginstart"));
    }
    void init() { QSettings().clear(); }

    void rejectsObjectThatIsNoJsonRpcObject_data()
    {
        QTest::addColumn<bool>("useNull");
        QTest::newRow("null") << true;
        QTest::newRow("plain QObject") << false;
    }
    void rejectsObjectThatIsNoJsonRpcObject()
    {
        QFETCH(bool, useNull);
        Host host;
        QVERIFY(host.plugin->start(host.rpc));
        QObject plain;
        LogCapture log;
        QVERIFY(!host.plugin->start(useNull ? nullptr : &plain));
        QCOMPARE(log.lines(), QStringList({kInfoStart, "critical: [PriorityPlugin] ERROR: JSonRpc object is NULL or invalid"}));
        // The current object stays current and connected.
        QCOMPARE(host.plugin->rpcObject(), host.rpc.data());
        emit host.rpc->connected(true);
        QVERIFY(log.contains(kConnected));
    }

    void kernelChecks_data()
    {
        QTest::addColumn<QString>("what");
        QTest::addColumn<QString>("message");
        QTest::newRow("no parent") << "no parent" << "Parent of plugin must be Road::Kernel object";
        QTest::newRow("parent is no kernel") << "plain parent" << "Parent of plugin must be Road::Kernel object";
        QTest::newRow("no scene") << "no scene" << "No graphics scene object";
        QTest::newRow("no item model") << "no model" << "Kernel object not contains valid 'itemModel' property";
    }
    void kernelChecks()
    {
        QFETCH(QString, what);
        QFETCH(QString, message);
        Host host;
        QObject plainParent;
        if (what == "no parent")
            host.plugin->setParent(nullptr);
        else if (what == "plain parent")
            host.plugin->setParent(&plainParent);
        else if (what == "no scene")
            host.kernel.withholdScene();
        else
            host.kernel.withholdModel();

        LogCapture log;
        QVERIFY(!host.plugin->start(host.rpc));
        QCOMPARE(log.lines(), QStringList({kInfoStart, "critical: [PriorityPlugin] ERROR: " + message, kInfoStop}));
        QVERIFY(!host.plugin->rpcObject());
        QVERIFY(!host.plugin->isRestartPending());
        // Stopped: the object's signals no longer reach the plug-in.
        log.clear();
        emit host.rpc->connected(true);
        QVERIFY(log.lines().isEmpty());
        if (what != "no parent" && what != "plain parent")
            QVERIFY(!host.plugin->graphicsScene() && !host.plugin->treeModel());
        if (what == "no parent" || what == "plain parent")
            delete host.plugin;
    }

    void startAgainWithSameObjectKeepsOneConnection()
    {
        Host host;
        QVERIFY(host.plugin->start(host.rpc));
        QVERIFY(host.plugin->start(host.rpc));
        QCOMPARE(host.plugin->graphicsScene(), host.kernel.scene());
        QCOMPARE(host.plugin->treeModel(), host.kernel.model());
        LogCapture log;
        emit host.rpc->connected(true);
        QCOMPARE(log.count(kConnected), 1);
    }

    void startWithAnotherObjectStopsTheFirst()
    {
        Host host;
        auto *second = new JsonRpcObject(&host.owner);
        second->setObjectName(QStringLiteral("second"));
        QVERIFY(host.plugin->start(host.rpc));
        LogCapture log;
        QVERIFY(host.plugin->start(second));
        QVERIFY(log.contains(kInfoStop));
        QCOMPARE(host.plugin->rpcObject(), second);
        log.clear();
        emit host.rpc->connected(true);
        QVERIFY(log.lines().isEmpty());
        emit second->connected(true);
        QVERIFY(log.contains("info: [PriorityPlugin] INFO: RPC object 'second' connected"));
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
    }
    void cacheName()
    {
        QFETCH(QString, layout);
        QFETCH(QVariant, baseDir);
        QFETCH(QString, expected);
        Host host;
        if (layout == "second plugin") {
            new Vireo::Plugin(&host.kernel); // first: has no project
            auto *withProject = new Vireo::Plugin(&host.kernel);
            new Vireo::Project(withProject);
        } else if (layout != "none") {
            auto *vireo = new Vireo::Plugin(&host.kernel);
            if (layout == "project") {
                auto *project = new Vireo::Project(vireo);
                if (baseDir.isValid())
                    project->setProperty("baseDir", baseDir);
            }
        }
        QVERIFY(host.plugin->start(host.rpc));
        QCOMPARE(host.plugin->cacheFileName(), expected);
    }

    void versionAndDebugMode()
    {
        Host host;
        QCOMPARE(host.plugin->property("moduleVersion").toString(), QStringLiteral("2.3.69"));
        QVERIFY(host.plugin->setProperty("debugMode", true));
        QCOMPARE(host.plugin->property("debugMode").toBool(), true);
        QVERIFY(!host.plugin->setProperty("moduleVersion", "9"));
        QVERIFY(host.plugin->start(host.rpc));
        QCOMPARE(host.plugin->property("moduleVersion").toString(), QStringLiteral("2.3.69"));
        QCOMPARE(host.plugin->property("debugMode").toBool(), true);
        QVERIFY(QSettings().allKeys().isEmpty());
    }

    void stopWhileStoppedDoesNothing()
    {
        Host host;
        LogCapture log;
        host.plugin->stop(true);
        QVERIFY(log.lines().isEmpty());
        QVERIFY(!host.plugin->isRestartPending());
    }

    void destroyedJsonRpcObjectStopsForGood()
    {
        Host host;
        QVERIFY(host.plugin->start(host.rpc));
        LogCapture log;
        delete host.rpc;
        QCOMPARE(log.lines(), QStringList({"info: [PriorityPlugin] INFO: Json-RPC plugin object destroyed", kInfoStop}));
        QVERIFY(!host.plugin->rpcObject());
        QVERIFY(!host.plugin->isRestartPending());
        QVERIFY(!host.plugin->rememberedObject());
    }

    // The real ten seconds, once: the restart must not come early.
    void internalFailureRestartsTenSecondsLater()
    {
        Host host;
        QVERIFY(host.plugin->start(host.rpc));
        QElapsedTimer clock;
        clock.start();
        failInternalRequest(host, 7);
        QVERIFY(host.plugin->isRestartPending());
        QCOMPARE(host.plugin->rememberedObject(), host.rpc.data());
        QTRY_COMPARE_WITH_TIMEOUT(host.plugin->rpcObject(), host.rpc.data(), 12000);
        QVERIFY2(clock.elapsed() >= PriorityPlugin::RestartDelayMs, qPrintable(QString::number(clock.elapsed())));
        // A full start: connected again.
        LogCapture log;
        emit host.rpc->connected(true);
        QVERIFY(log.contains(kConnected));
    }

    void restartWithDestroyedObjectFails()
    {
        Host host;
        QVERIFY(host.plugin->start(host.rpc));
        failInternalRequest(host, 7);
        delete host.rpc;
        auto *timer = host.plugin->findChild<QTimer *>();
        QVERIFY(timer && timer->isActive());
        LogCapture log;
        timer->start(0); // bring the restart forward
        QTRY_VERIFY(!timer->isActive());
        QCOMPARE(log.lines(), QStringList({kInfoStart, "critical: [PriorityPlugin] ERROR: JSonRpc object is NULL or invalid"}));
        QVERIFY(!host.plugin->rpcObject());
    }

    void refusalWaitsForPermissions()
    {
        Host host;
        QVERIFY(host.plugin->start(host.rpc));
        failInternalRequest(host, -32000);
        QVERIFY(host.plugin->isAwaitingPermissions());
        QVERIFY(!host.plugin->isRestartPending());

        LogCapture log;
        emit host.owner.allowedCommandsChanged();
        QCOMPARE(host.plugin->rpcObject(), host.rpc.data());
        QVERIFY(!host.plugin->isAwaitingPermissions());
        QCOMPARE(log.count(kInfoStart), 1);

        // Refused again: still one connection to the owner, so one start per change.
        failInternalRequest(host, -32000);
        log.clear();
        emit host.owner.allowedCommandsChanged();
        QCOMPARE(log.count(kInfoStart), 1);
        QCOMPARE(host.plugin->rpcObject(), host.rpc.data());
        // Permissions changing while running start nothing.
        log.clear();
        emit host.owner.allowedCommandsChanged();
        QCOMPARE(log.count(kInfoStart), 0);
    }

    void explicitStartCancelsPendingRestarts_data()
    {
        QTest::addColumn<int>("code");
        QTest::newRow("timed restart") << 7;
        QTest::newRow("permission wait") << -32000;
    }
    void explicitStartCancelsPendingRestarts()
    {
        QFETCH(int, code);
        Host host;
        QVERIFY(host.plugin->start(host.rpc));
        failInternalRequest(host, code);
        QVERIFY(host.plugin->start(host.rpc));
        QVERIFY(!host.plugin->isRestartPending());
        QVERIFY(!host.plugin->isAwaitingPermissions());
        // Neither the permission change nor the old timer restarts it once more.
        LogCapture log;
        emit host.owner.allowedCommandsChanged();
        QCOMPARE(log.count(kInfoStart), 0);
        QCOMPARE(host.plugin->rpcObject(), host.rpc.data());
    }

    // However the plug-in comes to start again, a connected object is loaded at once: it
    // sends no connected(true) to wait for.
    void connectedObjectIsLoadedAtEveryStart_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::newRow("started on a connected object") << "none";
        QTest::newRow("error answer, timed restart") << "error";
        QTest::newRow("board data refused, timed restart") << "board data";
        QTest::newRow("refusal, then the role changes") << "refusal";
        QTest::newRow("request failed after the connection dropped") << "drop";
    }
    void connectedObjectIsLoadedAtEveryStart()
    {
        QFETCH(QString, fault);
        Host host;
        const QStringList lists{"RoadNetwork.getRouteList", "VDTService.getVdtList", "BoardsServer.getBoards"};
        if (fault == QLatin1String("none")) {
            // A host that connects before it starts its plug-ins.
            delete host.rpc;
            host.rpc = new StatefulJsonRpcObject(&host.owner);
            QVERIFY(host.plugin->start(host.rpc));
            QCOMPARE(loadingRequests(host, 0), lists);
            QVERIFY(host.plugin->routesSectionObject());
            // Started again on the same connection: loaded already, nothing is asked twice.
            QVERIFY(host.plugin->start(host.rpc));
            QCOMPARE(loadingRequests(host, 0), lists);
            return;
        }

        QVERIFY(host.plugin->start(host.rpc));
        host.rpc->script(QStringLiteral("RoadNetwork.getRouteList"), Script::Never);
        emit host.rpc->connected(true);
        QCOMPARE(loadingRequests(host, 0), lists);
        const QPointer<JsonRpcResponse> routeList = host.rpc->posted.first().response;
        QVERIFY(routeList);
        const int before = host.rpc->posted.size();

        if (fault == QLatin1String("drop")) {
            // The host reports the drop, then fails what was outstanding; it reconnects.
            emit host.rpc->connected(false);
            routeList->finishWithError(QVariantMap{{"code", -32098}, {"message", "Connection lost"}});
            QCOMPARE(host.plugin->rpcObject(), host.rpc.data());
            QVERIFY(!host.plugin->isRestartPending());
            emit host.rpc->connected(true);
        } else if (fault == QLatin1String("refusal")) {
            routeList->finishWithError(QVariantMap{{"code", -32000}, {"message", "denied"}});
            QVERIFY(!host.plugin->rpcObject());
            emit host.owner.allowedCommandsChanged();
        } else {
            if (fault == QLatin1String("error")) {
                routeList->finishWithError(QVariantMap{{"code", 5}, {"message", "broken"}});
            } else {
                // A position of a board the server no longer knows by the time it is asked.
                host.rpc->answerError(QStringLiteral("BoardsServer.getBoardData"), -32602, QStringLiteral("unknown board"));
                emit host.rpc->notification(QStringLiteral("BoardsServer.boardPosition"), QVariantMap{{"board_name", "B9"}});
                QTRY_VERIFY(!host.plugin->rpcObject());
            }
            QVERIFY(!host.plugin->rpcObject());
            auto *timer = host.plugin->findChild<QTimer *>();
            QVERIFY(timer && timer->isActive());
            timer->start(0); // bring the ten seconds forward
            QTRY_VERIFY(!timer->isActive());
        }
        QCOMPARE(host.plugin->rpcObject(), host.rpc.data());
        QCOMPARE(loadingRequests(host, before), lists);
        QVERIFY(host.plugin->routesSectionObject());
    }

    void permissionWaitWithoutOwnerGivesUp()
    {
        Host host;
        host.rpc->setParent(nullptr);
        std::unique_ptr<JsonRpcObject> orphan(host.rpc.data());
        QVERIFY(host.plugin->start(host.rpc));
        LogCapture log;
        host.rpc->answerError(QStringLiteral("BoardsServer.getBoards"), -32000, QStringLiteral("no"));
        host.plugin->postRpcCommand(QStringLiteral("BoardsServer.getBoards"), QVariant(), ResponseCallback(), false);
        QTRY_VERIFY(!host.plugin->rpcObject());
        QVERIFY(log.contains("critical: [PriorityPlugin] ERROR: Invalid 'JsonRpc' object"));
        QVERIFY(!host.plugin->isAwaitingPermissions());
        QVERIFY(!host.plugin->isRestartPending());
    }
};

QTEST_MAIN(tst_PluginStart)
#include "tst_pluginstart.moc"
