// The demo host's pieces with the real plug-in module, loaded through QPluginLoader, against
// the simulator over loopback WebSocket.

#include <QFile>
#include <QPointer>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include "common/logcapture.h"
#include "demohost.h"
#include "jsonrpc/jsonrpcobject.h"
#include "kernel/mapview.h"
#include "kernel/roadkernel.h"
#include "kernel/vireo.h"
#include "sim/generator.h"
#include "sim/server.h"

namespace {

const QString kStart = QStringLiteral("info: [PriorityPlugin] INFO: start");
const QString kConnected = QStringLiteral("info: [PriorityPlugin] INFO: RPC object 'prio-server' connected");

Sim::Network smallNetwork()
{
    Sim::GeneratorOptions options;
    options.routes = 3;
    options.pointsPerRoute = 20;
    options.detectors = 4;
    options.emergencyDetectors = 1;
    options.boards = 4;
    return Sim::generateNetwork(options);
}

} // namespace

class tst_DemoHost : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        QCoreApplication::setOrganizationName(QStringLiteral("lumen-tests"));
        QCoreApplication::setApplicationName(QStringLiteral("tst_demohost"));
    }

    void pluginStartsAndConnects()
    {
        Sim::Server server(smallNetwork());
        server.setTickInterval(0);
        QVERIFY2(server.listen(), qPrintable(server.errorString()));

        LogCapture log;
        QTemporaryDir projectDir;
        DemoHost host;
        host.setProjectDir(projectDir.path());
        QVERIFY2(host.loadPlugin(QStringLiteral(PLUGIN_PATH)), qPrintable(host.errorString()));
        QObject *plugin = host.pluginObject();
        QVERIFY(plugin->inherits("PriorityPlugin"));
        QCOMPARE(plugin->parent(), host.kernel());
        // The project the plug-in names its cache by sits where the plug-in looks for it.
        QCOMPARE(host.project()->parent()->parent(), host.kernel());
        QVERIFY(host.project()->parent()->inherits("Vireo::Plugin"));

        Road::MapView view;
        view.setScene(host.scene());
        QVERIFY(host.startPlugin());
        QVERIFY(host.setView(&view));
        QCOMPARE(host.plugin().rpcObject(), static_cast<QObject *>(host.rpcClient()));
        QCOMPARE(log.count(kStart), 1);
        QVERIFY(!log.contains(kConnected));

        QSignalSpy connected(host.rpcClient(), &JsonRpcObject::connected);
        QSignalSpy hostConnected(&host, &DemoHost::connectionChanged);
        host.connectToServer(server.url());
        QTRY_COMPARE(connected.count(), 1);
        QCOMPARE(connected.at(0).at(0).toBool(), true);
        QCOMPARE(hostConnected.count(), 1);
        QVERIFY(host.isConnected());
        QTRY_COMPARE(log.count(kConnected), 1);
        QCOMPARE(server.clientCount(), 1);
    }

    void loadPluginRefusesWhatIsNotThePlugin_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("errorPart");
        QTest::newRow("missing file") << QStringLiteral("/nonexistent/libpriorityplugin.so")
                                      << QStringLiteral("/nonexistent/libpriorityplugin.so");
        QTest::newRow("not a library") << QStringLiteral(__FILE__) << QStringLiteral("Cannot load");
    }
    void loadPluginRefusesWhatIsNotThePlugin()
    {
        QFETCH(QString, path);
        QFETCH(QString, errorPart);
        DemoHost host;
        QVERIFY(!host.loadPlugin(path));
        QVERIFY2(host.errorString().contains(errorPart), qPrintable(host.errorString()));
        QVERIFY(!host.pluginObject());
        QVERIFY(!host.startPlugin());
    }

    // The module hands out one object; a second host cannot take it from the first, and a
    // host torn down (kernel, plug-in, then the client) leaves the module ready for the next.
    void oneHostAtATime()
    {
        auto first = std::make_unique<DemoHost>();
        QVERIFY2(first->loadPlugin(QStringLiteral(PLUGIN_PATH)), qPrintable(first->errorString()));
        QVERIFY(first->startPlugin());
        QPointer<QObject> firstPlugin = first->pluginObject();

        {
            DemoHost second;
            QVERIFY(!second.loadPlugin(QStringLiteral(PLUGIN_PATH)));
            QVERIFY2(second.errorString().contains(QStringLiteral("another host")),
                     qPrintable(second.errorString()));
        }
        QCOMPARE(firstPlugin->parent(), first->kernel());

        first.reset();
        QVERIFY(firstPlugin.isNull());

        DemoHost third;
        QVERIFY2(third.loadPlugin(QStringLiteral(PLUGIN_PATH)), qPrintable(third.errorString()));
        QVERIFY(third.startPlugin());
        QCOMPARE(third.plugin().rpcObject(), static_cast<QObject *>(third.rpcClient()));
    }
};

QTEST_MAIN(tst_DemoHost)
#include "tst_demohost.moc"
