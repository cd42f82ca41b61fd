// live_updates: the plug-in with its host layer and a map view that repaints, fed board
// positions by the simulator (a separate prio-sim process) over a loopback WebSocket.
// Prints the positions per second the plug-in absorbs, how long the plug-in takes from a
// notification's arrival to the item's new position (mean, 99th percentile), and the
// view's frames per second meanwhile. Prints figures; it is not a test.
//
//   live_updates [--boards 6000] [--seconds 15] [--periods 1000,250]

#include <QApplication>
#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

#include "benchutil.h"
#include "items/prioroute.h"
#include "items/priovehicle.h"
#include "jsonrpc/jsonrpcobject.h"
#include "kernel/mapview.h"
#include "kernel/roadkernel.h"
#include "kernel/vireo.h"
#include "plugin/priorityplugin.h"

namespace {

// The map view, timing its own frames.
class TimedView : public Road::MapView
{
public:
    using Road::MapView::MapView;
    qint64 frames = 0;
    qint64 paintNs = 0;

protected:
    void paintEvent(QPaintEvent *event) override
    {
        QElapsedTimer clock;
        clock.start();
        Road::MapView::paintEvent(event);
        paintNs += clock.nsecsElapsed();
        ++frames;
    }
};

quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

struct Figures
{
    double positionsPerSecond = 0;
    double meanUs = 0;
    double p99Us = 0;
    double fps = 0;
    double meanFrameMs = 0;
    int boards = 0;
};

Figures run(int boards, int periodMs, int seconds, bool district)
{
    const quint16 port = freePort();
    QProcess sim;
    sim.setProcessChannelMode(QProcess::SeparateChannels);
    sim.start(QStringLiteral(PRIO_SIM_PATH),
              {"--listen", QStringLiteral("127.0.0.1:%1").arg(port), "--routes", "1500", "--points", "333",
               "--detectors", "10000", "--boards", QString::number(boards), "--period", QString::number(periodMs)});
    if (!sim.waitForStarted(10000))
        qFatal("prio-sim did not start");
    if (!Bench::waitFor([&] { return sim.readAllStandardOutput().contains("listening on") || sim.state() != QProcess::Running; }, 60000)
        || sim.state() != QProcess::Running)
        qFatal("prio-sim did not listen: %s", sim.readAllStandardError().constData());

    Road::Kernel kernel;
    auto *project = new Vireo::Project(new Vireo::Plugin(&kernel));
    project->setBaseDir(QStringLiteral("/bench/live_updates"));
    JsonRpcPlugin rpc;
    JsonRpcObject *client = rpc.client();
    auto *plugin = new PriorityPlugin(&kernel);

    // Around the plug-in's own slot: the first handler notes the arrival, the last one
    // the moment the plug-in is done with it.
    QElapsedTimer clock;
    clock.start();
    qint64 arrival = 0;
    bool measuring = false;
    std::vector<qint64> latencies;
    latencies.reserve(size_t(boards) * size_t(seconds) * 5);
    QObject::connect(client, &JsonRpcObject::notification, client, [&] { arrival = clock.nsecsElapsed(); });
    if (!plugin->start(client))
        qFatal("the plug-in did not start");
    QObject::connect(client, &JsonRpcObject::notification, client, [&](const QString &method) {
        if (measuring && method == QLatin1String("BoardsServer.boardPosition"))
            latencies.push_back(clock.nsecsElapsed() - arrival);
    });

    TimedView view;
    view.setScene(kernel.scene());
    view.resize(1280, 800);
    view.show();
    plugin->setView(&view);
    client->open(QUrl(QStringLiteral("ws://127.0.0.1:%1").arg(port)));

    // Loaded: lists answered, subscribed, and positions flowing.
    if (!Bench::waitFor([&] { return plugin->isSubscribed() && client->pendingCount() == 0 && plugin->boardRegistry().size() >= boards / 2; },
                 300000))
        qFatal("the network never loaded");
    QRectF network;
    for (PrioRoute *route : plugin->routeRegistry()) {
        if (!qEnvironmentVariableIsSet("BENCH_HIDE_ROUTES")) route->setDontHide(true);
        network |= route->boundingRect();
    }
    if (district) {
        view.centreOn(network.center());
        view.setZoom(15);
    } else {
        view.showRect(network);
    }
    Bench::waitFor([] { return false; }, 2000); // settle

    view.frames = 0;
    view.paintNs = 0;
    measuring = true;
    QElapsedTimer window;
    window.start();
    Bench::waitFor([] { return false; }, seconds * 1000);
    measuring = false;
    const double elapsed = window.nsecsElapsed() / 1e9;

    Figures figures;
    figures.boards = plugin->boardRegistry().size();
    figures.positionsPerSecond = latencies.size() / elapsed;
    if (!latencies.empty()) {
        std::sort(latencies.begin(), latencies.end());
        double sum = 0;
        for (qint64 l : latencies)
            sum += l;
        figures.meanUs = sum / latencies.size() / 1000.0;
        figures.p99Us = latencies[std::min(latencies.size() - 1, size_t(latencies.size() * 0.99))] / 1000.0;
    }
    figures.fps = view.frames / elapsed;
    figures.meanFrameMs = view.frames ? view.paintNs / 1e6 / view.frames : 0;

    client->close();
    delete plugin;
    sim.terminate();
    sim.waitForFinished(10000);
    return figures;
}

} // namespace

int main(int argc, char **argv)
{
    Bench::useOffscreenWithoutDisplay();
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("live_updates"));
    QStandardPaths::setTestModeEnabled(true);
    QLoggingCategory::setFilterRules(QStringLiteral("lumen.priority.info=false\nlumen.priority.warning=false"));

    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addOption({"boards", "Boards on the network.", "n", "6000"});
    parser.addOption({"seconds", "Measuring time per run.", "s", "15"});
    parser.addOption({"periods", "Simulator tick periods in ms, comma-separated.", "list", "1000,250"});
    parser.addOption({"views", "Views to measure: network, district or both.", "which", "both"});
    parser.process(app);

    const int boards = parser.value("boards").toInt();
    const int seconds = parser.value("seconds").toInt();
    std::printf("live_updates: %d boards on 1500 routes (500 000 points) with 10 000 detectors; view 1280x800\n", boards);
    for (const QString &period : parser.value("periods").split(',')) {
        for (bool district : {false, true}) {
            const QString views = parser.value("views");
            if ((district && views == QLatin1String("network")) || (!district && views == QLatin1String("district")))
                continue;
            const Figures f = run(boards, period.toInt(), seconds, district);
            std::printf("  tick %s ms (%.0f positions/s offered), view on %s: %.0f positions/s absorbed; arrival to new "
                        "position %.1f us mean, %.1f us p99; view %.1f frames/s, %.1f ms per frame; %d boards registered\n",
                        qPrintable(period), boards * 1000.0 / period.toInt(),
                        district ? "a district (zoom 15)" : "the whole network", f.positionsPerSecond, f.meanUs,
                        f.p99Us, f.fps, f.meanFrameMs, f.boards);
            std::fflush(stdout);
        }
    }
    return 0;
}
