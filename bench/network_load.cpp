// network_load: how long the plug-in takes to bring a server's network onto the map, cold
// (empty geometry cache) and warm (cache present), over a loopback WebSocket to the
// simulator, and what the cache file costs. Prints figures; it is not a test.
//
//   network_load                      the generated "small" and "city" networks
//   network_load --gtfs DIR           and a GTFS feed as well
//   network_load --scenario NAME      one scenario in this process (used for the above)
//
// Each scenario runs in a process of its own, so that its peak memory is its own.

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>

#include <sys/resource.h>

#include <cstdio>
#include <functional>

#include "benchutil.h"
#include "generator.h"
#include "gtfs.h"
#include "items/prioroute.h"
#include "items/priovdetector.h"
#include "jsonrpc/jsonrpcobject.h"
#include "kernel/roadkernel.h"
#include "kernel/vireo.h"
#include "plugin/priorityplugin.h"
#include "server.h"

namespace {

double peakRssMiB()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss / 1024.0;
}

// Runs the event loop until done() holds or the time runs out; false on time-out.
struct LoadFigures
{
    double listsMs = -1;    // until every listed route is registered
    double geometryMs = -1; // until every route and detector has its geometry
    int routeGeometryRequests = 0;
    int detectorGeometryRequests = 0;
};

class Rig
{
public:
    explicit Rig(Sim::Network network)
        : server(std::move(network))
    {
        server.setTickInterval(0); // nothing moves: this measures loading only
        if (!server.listen())
            qFatal("simulator cannot listen: %s", qPrintable(server.errorString()));
        auto *vireo = new Vireo::Plugin(&kernel);
        auto *project = new Vireo::Project(vireo);
        project->setBaseDir(QStringLiteral("/bench/network_load/%1").arg(QCoreApplication::applicationPid()));
        plugin = new PriorityPlugin(&kernel);
        routes = server.world().network().routes.size();
        detectors = server.world().network().detectors.size();
    }

    bool everythingLoaded() const
    {
        if (plugin->routeRegistry().size() < routes)
            return false;
        for (PrioRoute *route : plugin->routeRegistry())
            if (!route->hasGeometry())
                return false;
        for (PrioVDetector *detector : plugin->detectorRegistry())
            if (!detector->hasGeometry())
                return false;
        return true;
    }

    LoadFigures load(bool cold)
    {
        LoadFigures figures;
        server.resetCounters();
        JsonRpcObject *client = rpc.client();
        if (!plugin->start(client))
            qFatal("the plug-in did not start");
        if (cold)
            QFile::remove(plugin->cacheFilePath());
        QElapsedTimer clock;
        clock.start();
        client->open(server.url());
        if (!Bench::waitFor([&] { return plugin->routeRegistry().size() >= routes; }, 600000))
            qFatal("route list never arrived");
        figures.listsMs = clock.nsecsElapsed() / 1e6;
        // Every answer handled, not only what the cache restored.
        if (!Bench::waitFor([&] { return client->pendingCount() == 0 && server.requestCount(QStringLiteral("BoardsServer.getBoards")) > 0
                                  && everythingLoaded(); },
                     1800000))
            qFatal("geometry never arrived");
        figures.geometryMs = clock.nsecsElapsed() / 1e6;
        figures.routeGeometryRequests = server.requestCount(QStringLiteral("RoadNetwork.getRouteGeometry"));
        figures.detectorGeometryRequests = server.requestCount(QStringLiteral("VDTService.getVdtGeometry"));
        return figures;
    }

    void disconnect()
    {
        JsonRpcObject *client = rpc.client();
        client->close();
        Bench::waitFor([&] { return !client->isConnected(); }, 10000);
        // The stop writes what the cache still holds.
        plugin->stop(false);
    }

    Sim::Server server;
    Road::Kernel kernel;
    JsonRpcPlugin rpc;
    PriorityPlugin *plugin = nullptr;
    int routes = 0;
    int detectors = 0;
};

Sim::Network makeNetwork(const QString &scenario, const QString &gtfsDir)
{
    Sim::GeneratorOptions options;
    if (scenario == QLatin1String("small")) {
        options.routes = 150;
        options.totalPoints = 30000;
        options.detectors = 300;
        options.emergencyDetectors = 20;
        options.boards = 600;
        return Sim::generateNetwork(options);
    }
    if (scenario == QLatin1String("city")) {
        options.routes = 1500;
        options.totalPoints = 500000;
        options.detectors = 10000;
        options.emergencyDetectors = 300;
        options.boards = 6000;
        return Sim::generateNetwork(options);
    }
    Sim::PopulateOptions populate;
    const Sim::GtfsResult feed = Sim::loadGtfsFeed(gtfsDir, populate);
    if (!feed.ok)
        qFatal("cannot read the GTFS feed in %s: %s", qPrintable(gtfsDir), qPrintable(feed.error));
    return feed.network;
}

int runScenario(const QString &scenario, const QString &gtfsDir)
{
    QElapsedTimer build;
    build.start();
    Rig rig(makeNetwork(scenario, gtfsDir));
    qint64 points = 0;
    for (const auto &route : rig.server.world().network().routes)
        points += route.line.size();
    std::printf("%s: %d routes, %lld route points, %d detectors, %d boards (network made in %.0f ms)\n",
                qPrintable(scenario), rig.routes, points, rig.detectors,
                int(rig.server.world().network().boards.size()), build.nsecsElapsed() / 1e6);

    const LoadFigures cold = rig.load(true);
    const int writesCold = rig.plugin->geometryCache().fileWrites();
    rig.disconnect();
    const int writes = rig.plugin->geometryCache().fileWrites();
    const qint64 bytes = rig.plugin->geometryCache().bytesWritten();
    const qint64 fileSize = QFileInfo(rig.plugin->cacheFilePath()).size();

    const LoadFigures warm = rig.load(false);
    rig.disconnect();

    std::printf("  cold load: routes registered %.0f ms, all geometry on the scene %.0f ms; geometry requests: %d routes, %d detectors\n",
                cold.listsMs, cold.geometryMs, cold.routeGeometryRequests, cold.detectorGeometryRequests);
    std::printf("  cache file: %d writes during the load, %d in all, %lld bytes written, file now %lld bytes%s\n",
                writesCold, writes, bytes, fileSize,
                fileSize > 1000000 ? " (above the limit: dropped at the next connection)" : "");
    std::printf("  warm load: routes registered %.0f ms, all geometry on the scene %.0f ms; geometry requests: %d routes, %d detectors\n",
                warm.listsMs, warm.geometryMs, warm.routeGeometryRequests, warm.detectorGeometryRequests);
    std::printf("  peak memory: %.0f MiB\n", peakRssMiB());
    QFile::remove(rig.plugin->cacheFilePath());
    delete rig.plugin;
    rig.plugin = nullptr;
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    Bench::useOffscreenWithoutDisplay();
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("network_load"));
    QStandardPaths::setTestModeEnabled(true);
    QLoggingCategory::setFilterRules(QStringLiteral("lumen.priority.info=false\nlumen.priority.warning=false\nprio.sim=false"));

    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addOption({"scenario", "Run one scenario: small, city or gtfs.", "name"});
    parser.addOption({"gtfs", "A GTFS feed directory to load as well.", "dir"});
    parser.process(app);

    if (parser.isSet("scenario"))
        return runScenario(parser.value("scenario"), parser.value("gtfs"));

    QStringList scenarios{"small", "city"};
    if (parser.isSet("gtfs"))
        scenarios << "gtfs";
    for (const QString &scenario : scenarios) {
        QStringList args{"--scenario", scenario};
        if (scenario == QLatin1String("gtfs"))
            args << "--gtfs" << parser.value("gtfs");
        QProcess child;
        child.setProcessChannelMode(QProcess::ForwardedChannels);
        child.start(QCoreApplication::applicationFilePath(), args);
        if (!child.waitForFinished(-1) || child.exitCode() != 0) {
            std::fprintf(stderr, "scenario %s failed\n", qPrintable(scenario));
            return 1;
        }
    }
    return 0;
}
