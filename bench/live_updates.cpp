// live_updates: the plug-in with its host layer and the host's map view (1920x1080,
// antialiased) repainting as its event loop lets it, fed board positions by the simulator
// (a separate prio-sim process, its city of 1 500 routes, 10 000 detectors and the given
// boards, every board moving) over a loopback WebSocket; every route shown. Prints the
// positions per second the plug-in absorbs against those offered, how long the plug-in
// takes from a notification's arrival to the item's new position (mean, 99th
// percentile), and the view's frames per second and frame times (mean, 99th percentile)
// meanwhile, at the whole network, a district and a street; the view is also asked to
// repaint 60 times a second, as while the operator drags it. Positions offered are counted
// per simulation tick: every board the plug-in holds logged in at the tick sends one (the
// simulator logs boards out and in as it runs). The window is measured on a real event
// loop, as the host runs it. Prints figures; it is not a test.
//
//   live_updates [--boards 6000] [--seconds 15] [--periods 1000,250] [--views network,district,street] [--drive 16]

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QMap>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <deque>
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

// The plug-in's last log lines, printed when a network never loads.
std::deque<QString> lastLines;

// The map view, timing its own frames.
class TimedView : public Road::MapView
{
public:
    using Road::MapView::MapView;
    bool recording = false;
    std::vector<qint64> frameNs;

protected:
    void paintEvent(QPaintEvent *event) override
    {
        QElapsedTimer clock;
        clock.start();
        Road::MapView::paintEvent(event);
        if (recording)
            frameNs.push_back(clock.nsecsElapsed());
    }
};

template<typename T>
T percentile(std::vector<T> values, double p)
{
    if (values.empty())
        return T();
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, size_t(values.size() * p))];
}

quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

// Runs the host's event loop for ms, as the host does between the operator's actions.
void runEventLoop(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}

struct Figures
{
    double positionsPerSecond = 0;
    double offeredPerSecond = 0;
    int ticks = 0;
    double meanUs = 0;
    double p99Us = 0;
    double fps = 0;
    double meanFrameMs = 0;
    double p99FrameMs = 0;
    int boards = 0;
};

// zoom 0: the whole network in the view.
// driveMs > 0: the view is also asked to repaint every driveMs, as while the operator
// drags it; the server sends each tick's positions at once, so that a view repainting only
// for them shows no more frames a second than there are ticks.
Figures run(int boards, int periodMs, int seconds, int zoom, int driveMs)
{
    const quint16 port = freePort();
    QProcess sim;
    sim.setProcessChannelMode(QProcess::SeparateChannels);
    sim.start(QStringLiteral(PRIO_SIM_PATH),
              {"--listen", QStringLiteral("127.0.0.1:%1").arg(port), "--routes", "1500", "--points", "333",
               "--detectors", "10000", "--boards", QString::number(boards), "--period", QString::number(periodMs)});
    if (!sim.waitForStarted(10000))
        qFatal("prio-sim did not start");
    // The simulator is not left running when this program gives up.
    auto fail = [&](const char *why) {
        sim.kill();
        sim.waitForFinished(10000);
        qFatal("%s", why);
    };
    if (!Bench::waitFor([&] { return sim.readAllStandardOutput().contains("listening on") || sim.state() != QProcess::Running; }, 60000)
        || sim.state() != QProcess::Running)
        fail("prio-sim did not listen");

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
        fail("the plug-in did not start");
    // A tick's positions all carry its time; a new time is a new tick, at which every board
    // logged in sends one.
    // A tick is counted whole if it began within the window, however late its last
    // positions come.
    QString tickTime;
    bool tickCounted = false;
    int ticks = 0;
    qint64 offered = 0;
    QObject::connect(client, &JsonRpcObject::notification, client, [&](const QString &method, const QVariant &params) {
        if (method != QLatin1String("BoardsServer.boardPosition"))
            return;
        const QString time = params.toMap().value(QStringLiteral("time")).toString();
        if (time != tickTime) {
            tickTime = time;
            tickCounted = measuring;
            if (tickCounted) {
                ++ticks;
                for (const PrioVehicle *board : plugin->boardRegistry())
                    offered += board->isLoggedIn() ? 1 : 0;
            }
        }
        if (tickCounted)
            latencies.push_back(clock.nsecsElapsed() - arrival);
    });

    TimedView view;
    view.setScene(kernel.scene());
    view.setFrameShape(QFrame::NoFrame);
    view.resize(1920, 1080);
    view.show();
    plugin->setView(&view);
    QObject::connect(client, &JsonRpcObject::attemptFailed, client, [](const QString &reason) {
        std::fprintf(stderr, "connection attempt failed: %s\n", qPrintable(reason));
    });
    QObject::connect(client, &JsonRpcObject::protocolError, client, [](const QString &message) {
        std::fprintf(stderr, "protocol error: %s\n", qPrintable(message));
    });
    QObject::connect(client, &JsonRpcObject::connected, client, [&clock](bool up) {
        std::fprintf(stderr, "%.3f s: %s\n", clock.nsecsElapsed() / 1e9, up ? "connected" : "disconnected");
    });
    client->open(QUrl(QStringLiteral("ws://127.0.0.1:%1").arg(port)));

    // Loaded: lists answered, subscribed, and positions flowing.
    if (!Bench::waitFor([&] { return plugin->isSubscribed() && client->pendingCount() == 0 && plugin->boardRegistry().size() >= boards / 2; },
                 300000)) {
        std::fprintf(stderr, "connected %d, subscribed %d, requests pending %d, routes %d, detectors %d, boards %d\n",
                     client->isConnected(), plugin->isSubscribed(), client->pendingCount(), int(plugin->routeRegistry().size()),
                     int(plugin->detectorRegistry().size()), int(plugin->boardRegistry().size()));
        for (const QString &line : lastLines)
            std::fprintf(stderr, "  log: %s\n", qPrintable(line));
        fail("the network never loaded");
    }
    QRectF network;
    // Every route shown, the worst case.
    for (PrioRoute *route : plugin->routeRegistry()) {
        route->setDontHide(true);
        network |= route->boundingRect();
    }
    if (zoom > 0) {
        view.centreOn(network.center());
        view.setZoom(zoom);
    } else {
        view.showRect(network);
    }
    runEventLoop(2000); // settle

    QTimer drive;
    drive.setTimerType(Qt::PreciseTimer);
    QObject::connect(&drive, &QTimer::timeout, view.viewport(), [&view] { view.viewport()->update(); });
    if (driveMs > 0)
        drive.start(driveMs);
    view.frameNs.clear();
    view.recording = true;
    measuring = true;
    QElapsedTimer window;
    window.start();
    runEventLoop(seconds * 1000);
    measuring = false;
    view.recording = false;
    const double elapsed = window.nsecsElapsed() / 1e9;
    runEventLoop(1000); // the last tick's positions
    drive.stop();

    Figures figures;
    figures.boards = plugin->boardRegistry().size();
    figures.positionsPerSecond = latencies.size() / elapsed;
    figures.offeredPerSecond = offered / elapsed;
    figures.ticks = ticks;
    if (!latencies.empty()) {
        double sum = 0;
        for (qint64 l : latencies)
            sum += l;
        figures.meanUs = sum / latencies.size() / 1000.0;
        figures.p99Us = percentile(latencies, 0.99) / 1000.0;
    }
    figures.fps = view.frameNs.size() / elapsed;
    if (!view.frameNs.empty()) {
        double sum = 0;
        for (qint64 ns : view.frameNs)
            sum += ns;
        figures.meanFrameMs = sum / view.frameNs.size() / 1e6;
        figures.p99FrameMs = percentile(view.frameNs, 0.99) / 1e6;
    }

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
    // The plug-in's lines (a detector on a route not listed, the cache over its size) are not
    // figures; errors still show, and the last lines are kept for a load that fails.
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &message) {
        if (type == QtFatalMsg || type == QtCriticalMsg)
            std::fprintf(stderr, "%s\n", qPrintable(message));
        lastLines.push_back(message);
        if (lastLines.size() > 30)
            lastLines.pop_front();
        if (type == QtFatalMsg)
            abort();
    });
    // Every run starts without the cache file of an earlier one.
    QDir(QStandardPaths::writableLocation(QStandardPaths::CacheLocation)).removeRecursively();

    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addOption({"boards", "Boards on the network.", "n", "6000"});
    parser.addOption({"seconds", "Measuring time per run.", "s", "15"});
    parser.addOption({"periods", "Simulator tick periods in ms, comma-separated.", "list", "1000,250"});
    parser.addOption({"drive", "Also repaint the view every this many ms, as while it is dragged (0: only for changes).",
                      "ms", "16"});
    parser.addOption({"views", "Views to measure, comma-separated: network, district (zoom 15), street (zoom 17).",
                      "list", "network,district,street"});
    parser.process(app);

    const int boards = parser.value("boards").toInt();
    const int seconds = parser.value("seconds").toInt();
    std::printf("live_updates: %d boards on 1500 routes (500 000 points) with 10 000 detectors; host map view 1920x1080 "
                "(antialiased), asked to repaint every %d ms besides; load %.2f\n",
                boards, parser.value("drive").toInt(), Bench::loadAverage());
    const QMap<QString, int> zooms{{"network", 0}, {"district", 15}, {"street", 17}};
    for (const QString &period : parser.value("periods").split(',')) {
        for (const QString &name : parser.value("views").split(',')) {
            if (!zooms.contains(name))
                continue;
            const int zoom = zooms.value(name);
            const Figures f = run(boards, period.toInt(), seconds, zoom, parser.value("drive").toInt());
            const double offered = f.offeredPerSecond;
            const QString where = zoom > 0 ? QStringLiteral("%1 (zoom %2)").arg(name).arg(zoom) : QStringLiteral("the whole network");
            std::printf("  tick %s ms, view on %s: %.0f of %.0f positions/s absorbed (%.1f %%; %d ticks, %.1f a "
                        "second); arrival to new position %.1f us mean, %.1f us p99; view %.1f frames/s, frame "
                        "%.1f ms mean, %.1f ms p99; %d boards registered\n",
                        qPrintable(period), qPrintable(where), f.positionsPerSecond, offered,
                        offered > 0 ? 100.0 * f.positionsPerSecond / offered : 0.0, f.ticks,
                        f.ticks / double(seconds), f.meanUs, f.p99Us, f.fps, f.meanFrameMs, f.p99FrameMs, f.boards);
            std::fflush(stdout);
        }
    }
    return 0;
}
