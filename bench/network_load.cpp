// network_load: how much the host process (host layer and plug-in) spends bringing a
// server's network onto the map, against a bare client that fetches and parses the same
// answers over the same kind of socket from the same simulator process. Prints figures; it
// is not a test.
//
//   network_load [--gtfs DIR] [--rounds N] [--scenarios small,city,gtfs,lists]
//
// For each network the simulator (prio-sim) runs as a process of its own, frozen (no
// movement), and each measured client is a process of its own, so that its CPU time and
// peak memory are its own:
//   bare   a WebSocket client that asks for the three lists and, as each list arrives,
//          for every route's and detector's geometry, and parses every answer (simdjson)
//          and every point of every geometry string (std::from_chars); it also times the
//          simulator per kind of request;
//   host   the host's JSON-RPC client, the map kernel with a map view (1280x800, the
//          host's render hints, showing the whole network) and an object tree view, and the
//          plug-in: cold (no cache file) and then warm (the cache file the cold run left).
// Without --gtfs the "gtfs" network is a synthetic feed the size of a big city's bus network.
// "lists" takes 100 000 boards, routes or detectors in one answer from a canned server and
// prints the memory per object and the longest pass of the event loop meanwhile.
//
//   network_load --role host|bare|biglist ...   one measured client (used by the above)
//   NETWORK_LOAD_WRAP="heaptrack" network_load ...   each measured client under a profiler
//   NETWORK_LOAD_KEEP=1   a big list's client ends with everything still registered

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QTreeView>
#include <QWebSocket>
#include <QWebSocketServer>

#include <malloc.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <functional>
#include <memory>
#include <numeric>

#include <simdjson.h>

#include "benchutil.h"
#include "items/prioroute.h"
#include "items/priovdetector.h"
#include "items/priovehicle.h"
#include "jsonrpc/jsonrpcobject.h"
#include "kernel/mapview.h"
#include "kernel/roadkernel.h"
#include "kernel/vireo.h"
#include "plugin/priorityplugin.h"
#include "syntheticfeed.h"

namespace {

// ---- measuring -------------------------------------------------------------------------

double threadCpuMs()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double peakRssMiB()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss / 1024.0;
}

// Resident memory now, after handing freed memory back to the system.
double currentRssMiB()
{
    malloc_trim(0);
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return fields.size() > 1 ? fields.at(1).toDouble() * sysconf(_SC_PAGESIZE) / (1024.0 * 1024.0) : -1;
}

// CPU time of another process, all its threads, in seconds (nanosecond resolution).
double processCpuSeconds(qint64 pid)
{
    double sum = 0;
    const QDir tasks(QStringLiteral("/proc/%1/task").arg(pid));
    for (const QString &task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile stat(tasks.filePath(task + QStringLiteral("/schedstat")));
        if (stat.open(QIODevice::ReadOnly))
            sum += stat.readAll().split(' ').value(0).toDouble() / 1e9;
    }
    return sum;
}

quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

// Runs the event loop until done() holds, sleeping between events (a timer wakes it to look
// again), so that waiting costs no CPU; false after timeoutMs.
bool waitUntil(const std::function<bool()> &done, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    QTimer tick;
    tick.start(5);
    while (!done()) {
        if (clock.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

// Times each event the event loop delivers (not the events sent from inside one): the
// longest is the longest the GUI thread was unresponsive.
class TimedApplication : public QApplication
{
public:
    using QApplication::QApplication;
    bool measuring = false;
    double longestMs = 0;
    int slowPasses = 0; // over 50 ms

    bool notify(QObject *receiver, QEvent *event) override
    {
        // The GUI thread's events only: a frame read on another thread holds nobody up.
        if (m_depth > 0 || !measuring || QThread::currentThread() != thread())
            return QApplication::notify(receiver, event);
        ++m_depth;
        QElapsedTimer clock;
        clock.start();
        const double cpu0 = threadCpuMs();
        const bool result = QApplication::notify(receiver, event);
        const double ms = clock.nsecsElapsed() / 1e6;
        --m_depth;
        longestMs = std::max(longestMs, ms);
        if (ms > 50) {
            ++slowPasses;
            // The CPU figure tells a long pass from one that other processes preempted.
            if (qEnvironmentVariableIsSet("NETWORK_LOAD_SLOW"))
                std::fprintf(stderr, "slow pass: %.0f ms (%.0f ms CPU), event %d to a %s\n", ms,
                             threadCpuMs() - cpu0, int(event->type()), receiver->metaObject()->className());
        }
        return result;
    }

private:
    int m_depth = 0;
};

TimedApplication *timedApp()
{
    return static_cast<TimedApplication *>(QCoreApplication::instance());
}

// Children report one line "RESULT key=value ..."; the parent reads it back.
using Figures = QHash<QString, double>;

void report(const Figures &figures)
{
    QStringList parts;
    for (auto it = figures.cbegin(); it != figures.cend(); ++it)
        parts << QStringLiteral("%1=%2").arg(it.key()).arg(it.value(), 0, 'g', 12);
    std::printf("RESULT %s\n", qPrintable(parts.join(QLatin1Char(' '))));
    std::fflush(stdout);
}

// ---- the bare client -------------------------------------------------------------------

// The least a client can do with the load: pipelined requests, every answer parsed, every
// geometry point read as two doubles.
class BareClient : public QObject
{
public:
    enum Kind { RouteList, DetectorList, BoardList, RouteGeometry, DetectorGeometry };

    // qtJson: parse with QJsonDocument and read points with QString::split and toDouble,
    // as a plain Qt client would; otherwise simdjson and std::from_chars.
    BareClient(bool pipelined, bool qtJson)
        : m_pipelined(pipelined)
        , m_qtJson(qtJson)
    {
        m_socket.setMaxAllowedIncomingFrameSize(JsonRpcObject::MaxFrameBytes);
        m_socket.setMaxAllowedIncomingMessageSize(JsonRpcObject::MaxFrameBytes);
        connect(&m_socket, &QWebSocket::textMessageReceived, this, &BareClient::onText);
    }

    bool open(const QUrl &url)
    {
        m_socket.open(url);
        return waitUntil([&] { return m_socket.state() == QAbstractSocket::ConnectedState; }, 10000);
    }

    void request(Kind kind, qint64 objectId = -1)
    {
        static const char *const methods[] = {"RoadNetwork.getRouteList", "VDTService.getVdtList",
                                              "BoardsServer.getBoards", "RoadNetwork.getRouteGeometry",
                                              "VDTService.getVdtGeometry"};
        const qint64 id = m_nextId++;
        QString frame = QStringLiteral("{\"jsonrpc\":\"2.0\",\"id\":%1,\"method\":\"%2\"").arg(id).arg(QLatin1String(methods[kind]));
        if (objectId >= 0)
            frame += QStringLiteral(",\"params\":{\"id\":%1}").arg(objectId);
        frame += QLatin1Char('}');
        m_open.insert(id, kind);
        m_socket.sendTextMessage(frame);
    }

    // Runs the event loop until every request is answered.
    void waitForAnswers()
    {
        while (!m_open.isEmpty())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }

    QVector<qint64> routeIds, detectorIds;
    qint64 points = 0;
    qint64 frames = 0;
    qint64 bytes = 0;
    int boards = 0;
    int assignedBoards = 0;
    double west = 180, east = -180, south = 90, north = -90; // of the route points

private:
    void onText(const QString &text)
    {
        if (m_qtJson) {
            onTextQt(text);
            return;
        }
        QByteArray utf8 = text.toUtf8();
        utf8.reserve(utf8.size() + int(simdjson::SIMDJSON_PADDING));
        ++frames;
        bytes += utf8.size();
        simdjson::dom::element message;
        if (m_parser.parse(utf8.constData(), size_t(utf8.size()), false).get(message))
            qFatal("bare client: a frame that is not JSON");
        int64_t id = 0;
        if (message["id"].get(id))
            return; // a notification
        const auto open = m_open.find(id);
        if (open == m_open.end())
            qFatal("bare client: an answer to no request");
        const Kind kind = *open;
        m_open.erase(open);
        simdjson::dom::element result;
        if (message["result"].get(result))
            qFatal("bare client: an error answer");
        handle(kind, result);
    }

    void onTextQt(const QString &text)
    {
        const QByteArray utf8 = text.toUtf8();
        ++frames;
        bytes += utf8.size();
        QJsonParseError error;
        const QJsonObject message = QJsonDocument::fromJson(utf8, &error).object();
        if (error.error != QJsonParseError::NoError)
            qFatal("bare client: a frame that is not JSON");
        const QJsonValue idValue = message.value(QLatin1String("id"));
        if (idValue.isUndefined())
            return;
        const auto open = m_open.find(qint64(idValue.toDouble()));
        if (open == m_open.end())
            qFatal("bare client: an answer to no request");
        const Kind kind = *open;
        m_open.erase(open);
        const QJsonValue result = message.value(QLatin1String("result"));
        switch (kind) {
        case RouteList:
        case DetectorList:
            for (const QJsonValue record : result.toArray()) {
                const QJsonObject r = record.toObject();
                const qint64 id = qint64(r.value(QLatin1String("id")).toDouble());
                const bool hashed = !r.value(QLatin1String("geometry_hash")).toString().isEmpty();
                (kind == RouteList ? routeIds : detectorIds).append(id);
                if (m_pipelined && hashed)
                    request(kind == RouteList ? RouteGeometry : DetectorGeometry, id);
            }
            break;
        case BoardList: {
            const QJsonObject list = result.toObject();
            for (auto it = list.begin(); it != list.end(); ++it) {
                ++boards;
                if (it.value().toObject().value(QLatin1String("route_id")).toInt() != 0)
                    ++assignedBoards;
            }
            break;
        }
        case RouteGeometry:
        case DetectorGeometry: {
            const QJsonObject r = result.toObject();
            const QString geometry = r.value(QLatin1String("geometry")).toString();
            if (geometry.isEmpty()) {
                points += r.value(QLatin1String("pos")).toArray().size() / 2;
                break;
            }
            for (const QString &point : geometry.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
                const QStringList parts = point.split(QLatin1Char(','));
                bool okLon = false;
                bool okLat = false;
                const double lon = parts.value(0).toDouble(&okLon);
                const double lat = parts.value(1).toDouble(&okLat);
                if (!okLon || !okLat)
                    qFatal("bare client: a malformed point");
                ++points;
                if (kind == RouteGeometry)
                    extend(lon, lat);
            }
            break;
        }
        }
    }

    void extend(double lon, double lat)
    {
        west = std::min(west, lon);
        east = std::max(east, lon);
        south = std::min(south, lat);
        north = std::max(north, lat);
    }

    void handle(Kind kind, simdjson::dom::element result)
    {
        switch (kind) {
        case RouteList:
        case DetectorList:
            for (simdjson::dom::element record : result.get_array()) {
                const int64_t id = record["id"].get_int64().value();
                std::string_view hash;
                const bool hashed = !record["geometry_hash"].get(hash) && !hash.empty();
                (kind == RouteList ? routeIds : detectorIds).append(id);
                if (m_pipelined && hashed)
                    request(kind == RouteList ? RouteGeometry : DetectorGeometry, id);
            }
            break;
        case BoardList:
            for (auto field : result.get_object()) {
                int64_t routeId = 0;
                ++boards;
                if (!field.value["route_id"].get(routeId) && routeId != 0)
                    ++assignedBoards;
            }
            break;
        case RouteGeometry:
        case DetectorGeometry: {
            std::string_view geometry;
            if (!result["geometry"].get(geometry))
                readPoints(geometry, kind == RouteGeometry);
            else
                points += result["pos"].get_array().size() / 2;
            break;
        }
        }
    }

    void readPoints(std::string_view text, bool route)
    {
        const char *p = text.data();
        const char *end = p + text.size();
        while (p < end) {
            if (*p == ' ') {
                ++p;
                continue;
            }
            double lon = 0;
            double lat = 0;
            auto r = std::from_chars(p, end, lon);
            if (r.ec != std::errc() || r.ptr == end || *r.ptr != ',')
                qFatal("bare client: a malformed point");
            r = std::from_chars(r.ptr + 1, end, lat);
            if (r.ec != std::errc())
                qFatal("bare client: a malformed point");
            p = r.ptr;
            ++points;
            if (route)
                extend(lon, lat);
        }
    }

    QWebSocket m_socket;
    simdjson::dom::parser m_parser;
    bool m_pipelined;
    bool m_qtJson;
    qint64 m_nextId = 1;
    QHash<qint64, Kind> m_open;
};

int runBare(const QUrl &url, qint64 simPid, bool qtJson)
{
    Figures f;
    {
        BareClient client(true, qtJson);
        if (!client.open(url))
            qFatal("bare client: no connection");
        const double cpu0 = cpuSeconds();
        const double sim0 = processCpuSeconds(simPid);
        QElapsedTimer wall;
        wall.start();
        client.request(BareClient::RouteList);
        client.request(BareClient::DetectorList);
        client.request(BareClient::BoardList);
        client.waitForAnswers();
        f["wall"] = wall.nsecsElapsed() / 1e9;
        f["cpu"] = cpuSeconds() - cpu0;
        f["sim_cpu"] = processCpuSeconds(simPid) - sim0;
        f["points"] = client.points;
        f["frames"] = client.frames;
        f["mib"] = client.bytes / (1024.0 * 1024.0);
        f["left"] = client.west;
        f["top"] = client.south;
        f["width"] = client.east - client.west;
        f["height"] = client.north - client.south;
    }

    if (qtJson) {
        report(f);
        return 0;
    }
    // The simulator's cost per kind of request, one kind at a time.
    BareClient client(false, false);
    if (!client.open(url))
        qFatal("bare client: no connection");
    auto timed = [&](const char *name, const std::function<void()> &send, int count) {
        const double sim0 = processCpuSeconds(simPid);
        send();
        client.waitForAnswers();
        f[QString::fromLatin1(name)] = (processCpuSeconds(simPid) - sim0) / std::max(1, count);
    };
    timed("sim_route_list", [&] { client.request(BareClient::RouteList); }, 1);
    timed("sim_detector_list", [&] { client.request(BareClient::DetectorList); }, 1);
    timed("sim_board_list", [&] { client.request(BareClient::BoardList); }, 1);
    timed("sim_route_geometry", [&] { for (qint64 id : qAsConst(client.routeIds)) client.request(BareClient::RouteGeometry, id); },
          client.routeIds.size());
    timed("sim_detector_geometry", [&] { for (qint64 id : qAsConst(client.detectorIds)) client.request(BareClient::DetectorGeometry, id); },
          client.detectorIds.size());
    report(f);
    return 0;
}

// ---- the host ---------------------------------------------------------------------------

// The host's client, counting what the plug-in asks for and what has been answered.
class CountingClient : public JsonRpcObject
{
public:
    QObject *postCommand(const QString &method, const QVariant &params) override
    {
        QObject *response = JsonRpcObject::postCommand(method, params);
        ++posted[method];
        connect(static_cast<Response *>(response), &Response::finished, this, [this, method] {
            ++answered[method];
            ++answers;
            if (onAnswer)
                onAnswer(method);
        });
        return response;
    }
    bool allAnswered() const { return answers == std::accumulate(posted.cbegin(), posted.cend(), 0); }

    QHash<QString, int> posted;
    QHash<QString, int> answered;
    int answers = 0;
    std::function<void(const QString &)> onAnswer;
};

class CountingView : public Road::MapView
{
public:
    using Road::MapView::MapView;
    int paints = 0;
    double paintMs = 0;

protected:
    void paintEvent(QPaintEvent *event) override
    {
        QElapsedTimer clock;
        clock.start();
        Road::MapView::paintEvent(event);
        paintMs += clock.nsecsElapsed() / 1e6;
        ++paints;
    }
};

// The host application's pieces around the plug-in: kernel, project, client, map view and
// object tree, both shown.
// The connection lost: every item and tree row goes at once, in one pass of the event loop.
double clearingMs(PriorityPlugin *plugin)
{
    QElapsedTimer clock;
    clock.start();
    QMetaObject::invokeMethod(plugin, "on_rpcObjectConnected", Qt::DirectConnection, Q_ARG(bool, false));
    return clock.nsecsElapsed() / 1e6;
}

struct Host
{
    explicit Host(const QString &projectDir)
    {
        auto *project = new Vireo::Project(new Vireo::Plugin(&kernel));
        project->setBaseDir(projectDir);
        client.setObjectName(QStringLiteral("bench"));
        plugin = new PriorityPlugin(&kernel);
        view.setScene(kernel.scene());
        view.resize(1280, 800);
        tree.setModel(kernel.itemModel());
        tree.setUniformRowHeights(true);
        tree.resize(400, 800);
        // Sections open as they appear; entries stay closed.
        QObject::connect(kernel.itemModel(), &QAbstractItemModel::rowsInserted, &tree,
                         [this](const QModelIndex &parent, int first, int last) {
                             if (parent.isValid() && parent.parent().isValid())
                                 return;
                             for (int row = first; row <= last; ++row)
                                 tree.expand(kernel.itemModel()->index(row, 0, parent));
                         });
    }
    ~Host()
    {
        client.close();
        waitUntil([&] { return !client.isConnected(); }, 5000);
        delete plugin; // writes what the cache still holds
    }
    void show()
    {
        view.show();
        tree.show();
        plugin->setView(&view);
        if (!waitUntil([&] { return view.paints > 0; }, 5000))
            qFatal("the map view never painted");
    }

    Road::Kernel kernel;
    CountingClient client;
    PriorityPlugin *plugin = nullptr;
    CountingView view;
    QTreeView tree;
};

struct HostOptions
{
    QUrl url;
    QString project;
    bool cold = true;
    int routes = 0;
    int detectors = 0;
    int boards = 0;
    QRectF rect;
};

int runHost(const HostOptions &o)
{
    Host host(o.project);
    PriorityPlugin *plugin = host.plugin;
    CountingClient &client = host.client;
    auto lists = [&] {
        return client.answered.value(QStringLiteral("RoadNetwork.getRouteList")) > 0
            && client.answered.value(QStringLiteral("VDTService.getVdtList")) > 0
            && client.answered.value(QStringLiteral("BoardsServer.getBoards")) > 0;
    };
    // Measured from the connection, which the plug-in also waits for.
    double cpu0 = 0;
    QElapsedTimer wall;
    int paints0 = 0;
    double paintMs0 = 0;
    QObject::connect(&client, &JsonRpcObject::connected, &client, [&](bool up) {
        if (!up)
            return;
        cpu0 = cpuSeconds();
        wall.start();
        paints0 = host.view.paints;
        paintMs0 = host.view.paintMs;
        timedApp()->measuring = true;
    });
    // Started after that connection, so that the plug-in hears of the connection after it.
    if (!plugin->start(&client))
        qFatal("the plug-in did not start");
    if (o.cold)
        QFile::remove(plugin->cacheFilePath());
    host.show();
    if (o.rect.isValid())
        host.view.showRect(o.rect);

    // The operator shows every route (the demo's "show all routes"), so that the view has
    // something to repaint as geometry arrives.
    client.onAnswer = [plugin](const QString &method) {
        if (method != QLatin1String("RoadNetwork.getRouteList"))
            return;
        QTimer::singleShot(0, plugin, [plugin] {
            for (PrioRoute *route : plugin->routeRegistry())
                route->setDontHide(true);
        });
    };
    client.open(o.url);
    QEventLoop loop;
    QTimer poll;
    poll.setTimerType(Qt::PreciseTimer);
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (wall.isValid() && lists() && client.allAnswered() && plugin->routeRegistry().size() >= o.routes
            && plugin->detectorRegistry().size() >= o.detectors && plugin->boardRegistry().size() >= o.boards)
            loop.quit();
    });
    poll.start(1);
    QTimer::singleShot(1800000, &loop, [] { qFatal("the network never loaded"); });
    loop.exec();
    Figures f;
    f["cpu"] = cpuSeconds() - cpu0;
    f["wall"] = wall.nsecsElapsed() / 1e9;
    timedApp()->measuring = false;
    f["peak_mib"] = peakRssMiB();
    f["longest_pass_ms"] = timedApp()->longestMs;
    f["slow_passes"] = timedApp()->slowPasses;
    f["paints"] = host.view.paints - paints0;
    f["paint_ms"] = host.view.paintMs - paintMs0;
    f["answers"] = client.answers;
    f["route_geometry_requests"] = client.posted.value(QStringLiteral("RoadNetwork.getRouteGeometry"));
    f["detector_geometry_requests"] = client.posted.value(QStringLiteral("VDTService.getVdtGeometry"));
    int routesDrawn = 0;
    for (PrioRoute *route : plugin->routeRegistry())
        routesDrawn += route->hasGeometry();
    int detectorsDrawn = 0;
    for (PrioVDetector *detector : plugin->detectorRegistry())
        detectorsDrawn += detector->hasGeometry();
    f["routes"] = plugin->routeRegistry().size();
    f["routes_drawn"] = routesDrawn;
    f["detectors"] = plugin->detectorRegistry().size();
    f["detectors_drawn"] = detectorsDrawn;
    f["boards"] = plugin->boardRegistry().size();
    const QString cacheFile = plugin->cacheFilePath();
    plugin->geometryCache().flush();
    f["cache_bytes"] = QFileInfo(cacheFile).size();
    f["clear_ms"] = clearingMs(plugin);
    report(f);
    // The cache file is written and the clearing measured; the rest of the teardown is not part of a load.
    std::_Exit(0);
}

// ---- big lists --------------------------------------------------------------------------

// Answers the three lists from canned text; the big one only when asked for with
// "Bench.sendBigList", so that the client can measure itself just before.
class CannedServer : public QObject
{
public:
    CannedServer(const QString &kind, int count)
    {
        const QString routes = kind == QLatin1String("routes") ? cannedRoutes(count) : cannedRoutes(kind == QLatin1String("detectors") ? 1000 : 0);
        m_results.insert(QStringLiteral("RoadNetwork.getRouteList"), routes);
        m_results.insert(QStringLiteral("VDTService.getVdtList"), kind == QLatin1String("detectors") ? cannedDetectors(count, 1000) : QStringLiteral("[]"));
        m_results.insert(QStringLiteral("BoardsServer.getBoards"), kind == QLatin1String("boards") ? cannedBoards(count) : QStringLiteral("{}"));
        m_big = kind == QLatin1String("routes")      ? QStringLiteral("RoadNetwork.getRouteList")
              : kind == QLatin1String("detectors") ? QStringLiteral("VDTService.getVdtList")
                                                     : QStringLiteral("BoardsServer.getBoards");
        bigBytes = m_results.value(m_big).toUtf8().size();
        connect(&m_server, &QWebSocketServer::newConnection, this, [this] {
            QWebSocket *socket = m_server.nextPendingConnection();
            socket->setParent(this);
            connect(socket, &QWebSocket::textMessageReceived, this, [this, socket](const QString &text) { onText(socket, text); });
        });
        m_server.listen(QHostAddress::LocalHost, 0);
    }
    QUrl url() const { return QUrl(QStringLiteral("ws://127.0.0.1:%1").arg(m_server.serverPort())); }
    qint64 bigBytes = 0;

private:
    static QString cannedRoutes(int count)
    {
        QStringList records;
        for (int id = 1; id <= count; ++id)
            records << QStringLiteral(R"({"description":"Route %1","geometry_hash":"","id":%1,"locked":false,"name":"R%1"})").arg(id);
        return QLatin1Char('[') + records.join(QLatin1Char(',')) + QLatin1Char(']');
    }
    static QString cannedDetectors(int count, int routes)
    {
        QStringList records;
        for (int id = 1; id <= count; ++id)
            records << QStringLiteral(R"({"activated":false,"emergency":false,"id":%1,"locked":false,"name":"D%1 Stop %1","routes":[%2],"state":"idle","tl_number":%3,"weight":2})")
                           .arg(id).arg(1 + id % routes).arg(1 + id / 4);
        return QLatin1Char('[') + records.join(QLatin1Char(',')) + QLatin1Char(']');
    }
    static QString cannedBoards(int count)
    {
        QStringList records;
        for (int i = 1; i <= count; ++i)
            records << QStringLiteral(R"("B%1":{"allow_emergency":false,"description":"Bus %1","last_connected_time":"2024-05-01T08:00:00Z","locked":false,"logged_in":true,"radius":0,"route_id":0,"sweep":0,"vehicle_type":"bus"})")
                           .arg(i, 6, 10, QLatin1Char('0'));
        return QLatin1Char('{') + records.join(QLatin1Char(',')) + QLatin1Char('}');
    }
    void onText(QWebSocket *socket, const QString &text)
    {
        const QJsonObject request = QJsonDocument::fromJson(text.toUtf8()).object();
        const QString method = request.value(QStringLiteral("method")).toString();
        const QString id = QString::number(request.value(QStringLiteral("id")).toInt());
        auto answer = [socket, id](const QString &result) {
            socket->sendTextMessage(QStringLiteral("{\"jsonrpc\":\"2.0\",\"id\":") + id + QStringLiteral(",\"result\":") + result + QLatin1Char('}'));
        };
        if (method == m_big) {
            m_bigId = id;
        } else if (method == QLatin1String("Bench.sendBigList")) {
            socket->sendTextMessage(QStringLiteral("{\"jsonrpc\":\"2.0\",\"id\":") + m_bigId + QStringLiteral(",\"result\":") + m_results.value(m_big) + QLatin1Char('}'));
            answer(QStringLiteral("true"));
        } else {
            answer(m_results.value(method, method == QLatin1String("subscribe") ? QStringLiteral("[]") : QStringLiteral("null")));
        }
    }

    QWebSocketServer m_server{QStringLiteral("canned"), QWebSocketServer::NonSecureMode};
    QHash<QString, QString> m_results;
    QString m_big;
    QString m_bigId;
};

int runBigList(const QUrl &url, const QString &kind, int count)
{
    Host host(QStringLiteral("/bench/network_load/lists"));
    if (!host.plugin->start(&host.client))
        qFatal("the plug-in did not start");
    QFile::remove(host.plugin->cacheFilePath());
    host.show();
    // On a city, as an operator looks at it (boards without a position stand at 0,0).
    host.view.showRect(QRectF(37.4, 55.6, 0.4, 0.3));
    CountingClient &client = host.client;
    PriorityPlugin *plugin = host.plugin;
    const QString big = kind == QLatin1String("routes")      ? QStringLiteral("RoadNetwork.getRouteList")
                      : kind == QLatin1String("detectors") ? QStringLiteral("VDTService.getVdtList")
                                                             : QStringLiteral("BoardsServer.getBoards");
    client.open(url);
    // Everything but the big list answered and handled.
    if (!waitUntil([&] { return client.answers >= 2 && client.posted.value(big) == 1; }, 60000))
        qFatal("the small lists never came");
    waitUntil([] { return false; }, 300);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    const double before = currentRssMiB();

    QElapsedTimer wall;
    wall.start();
    const double cpu0 = processCpuSeconds(QCoreApplication::applicationPid());
    timedApp()->measuring = true;
    client.postCommand(QStringLiteral("Bench.sendBigList"), QVariant());
    auto registered = [&] {
        if (kind == QLatin1String("routes"))
            return plugin->routeRegistry().size();
        if (kind == QLatin1String("detectors"))
            return plugin->detectorRegistry().size();
        return plugin->boardRegistry().size();
    };
    if (!waitUntil([&] { return client.answered.value(big) == 1 && client.allAnswered() && registered() >= count; }, 600000))
        qFatal("the big list was never taken in");
    Figures f;
    f["wall"] = wall.nsecsElapsed() / 1e9;
    f["cpu"] = processCpuSeconds(QCoreApplication::applicationPid()) - cpu0;
    timedApp()->measuring = false;
    f["longest_pass_ms"] = timedApp()->longestMs;
    f["slow_passes"] = timedApp()->slowPasses;
    // What stays: the answer itself goes with its response.
    waitUntil([] { return false; }, JsonRpcObject::ResponseLifetimeMs + 500);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    f["bytes_per_object"] = (currentRssMiB() - before) * 1024 * 1024 / count;
    f["registered"] = registered();
    // What the registered objects hold is then what a heap profiler finds left at the end.
    if (qEnvironmentVariableIsSet("NETWORK_LOAD_KEEP")) {
        report(f);
        std::_Exit(0);
    }
    f["clear_ms"] = clearingMs(plugin);
    report(f);
    std::_Exit(0);
}

// ---- the parent -------------------------------------------------------------------------

Figures runChild(const QStringList &args)
{
    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    // The event loop sleeps until the child is done, serving the canned server meanwhile:
    // nothing of this process competes with the child for the CPU.
    QEventLoop loop;
    QObject::connect(&child, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), &loop, &QEventLoop::quit);
    QObject::connect(&child, &QProcess::errorOccurred, &loop, &QEventLoop::quit);
    // NETWORK_LOAD_WRAP="perf record -g --" (or heaptrack) profiles the measured clients.
    QStringList command = QString::fromLocal8Bit(qgetenv("NETWORK_LOAD_WRAP")).split(QLatin1Char(' '), Qt::SkipEmptyParts);
    command << QCoreApplication::applicationFilePath() << args;
    child.start(command.takeFirst(), command);
    loop.exec();
    Figures f;
    for (const QByteArray &line : child.readAllStandardOutput().split('\n')) {
        if (!line.startsWith("RESULT "))
            continue;
        for (const QByteArray &pair : line.mid(7).split(' ')) {
            const int eq = pair.indexOf('=');
            if (eq > 0)
                f.insert(QString::fromLatin1(pair.left(eq)), pair.mid(eq + 1).toDouble());
        }
    }
    if (child.exitCode() != 0 || f.isEmpty())
        qFatal("a measured client failed: %s", qPrintable(args.join(QLatin1Char(' '))));
    return f;
}

struct Simulator
{
    explicit Simulator(const QStringList &networkArgs)
    {
        port = freePort();
        process.setProcessChannelMode(QProcess::SeparateChannels);
        process.start(QStringLiteral(PRIO_SIM_PATH),
                      QStringList{"--listen", QStringLiteral("127.0.0.1:%1").arg(port), "--period", "0", "--no-churn"} + networkArgs);
        QByteArray out;
        if (!process.waitForStarted(10000)
            || !waitUntil([&] { out += process.readAllStandardOutput(); return out.contains("listening on") || process.state() != QProcess::Running; }, 300000)
            || process.state() != QProcess::Running)
            qFatal("prio-sim did not listen: %s", process.readAllStandardError().constData());
        // "network: R routes, D detectors, T traffic-light controllers, B boards"
        const int at = out.indexOf("network: ");
        const QList<QByteArray> words = out.mid(at + 9, out.indexOf('\n', at) - at - 9).split(' ');
        routes = words.value(0).toInt();
        detectors = words.value(2).toInt();
        boards = words.value(7).toInt();
        url = QUrl(QStringLiteral("ws://127.0.0.1:%1").arg(port));
    }
    ~Simulator()
    {
        process.terminate();
        process.waitForFinished(10000);
    }
    QProcess process;
    quint16 port = 0;
    QUrl url;
    int routes = 0;
    int detectors = 0;
    int boards = 0;
};

void runNetwork(const QString &name, const QString &label, const QStringList &simArgs, int rounds)
{
    Simulator sim(simArgs);
    std::printf("%s: %d routes, %d detectors, %d boards; prio-sim %s\n", qPrintable(label), sim.routes, sim.detectors,
                sim.boards, qPrintable(simArgs.join(QLatin1Char(' '))));
    std::fflush(stdout);
    const QStringList ids{"--url", sim.url.toString(), "--sim-pid", QString::number(sim.process.processId())};
    Figures bare, qtBare, cold, warm;
    for (int round = 1; round <= rounds; ++round) {
        bare = runChild(QStringList{"--role", "bare"} + ids);
        qtBare = runChild(QStringList{"--role", "bare", "--qt-json"} + ids);
        const QStringList hostArgs = QStringList{"--role", "host", "--project", "/bench/network_load/" + name,
                                                 "--routes", QString::number(sim.routes), "--detectors",
                                                 QString::number(sim.detectors), "--boards", QString::number(sim.boards),
                                                 "--rect", QStringLiteral("%1,%2,%3,%4").arg(bare["left"], 0, 'g', 10).arg(bare["top"], 0, 'g', 10).arg(bare["width"], 0, 'g', 10).arg(bare["height"], 0, 'g', 10)}
                                     + ids;
        cold = runChild(hostArgs + QStringList{"--cold"});
        warm = runChild(hostArgs);
        std::printf("  round %d: bare client %.3f s CPU, %.3f s wall (with Qt's JSON %.3f s, %.3f s); host cold %.3f s CPU, "
                    "%.3f s wall: %.2fx the bare CPU (%.2fx with Qt's JSON), %.2fx the wall; host warm %.3f s CPU, %.3f s wall: "
                    "%.2fx the cold wall\n",
                    round, bare["cpu"], bare["wall"], qtBare["cpu"], qtBare["wall"], cold["cpu"], cold["wall"],
                    cold["cpu"] / bare["cpu"], cold["cpu"] / qtBare["cpu"], cold["wall"] / bare["wall"], warm["cpu"],
                    warm["wall"], warm["wall"] / cold["wall"]);
        std::fflush(stdout);
    }
    std::printf("  wire: %.0f frames, %.1f MiB, %.0f points; the simulator spent %.3f s CPU serving the bare client's load "
                "(route list %.1f ms, detector list %.1f ms, board list %.1f ms, %.1f us per route geometry, %.1f us per detector geometry)\n",
                bare["frames"], bare["mib"], bare["points"], bare["sim_cpu"], bare["sim_route_list"] * 1e3,
                bare["sim_detector_list"] * 1e3, bare["sim_board_list"] * 1e3, bare["sim_route_geometry"] * 1e6,
                bare["sim_detector_geometry"] * 1e6);
    for (const auto &[label, f] : {std::pair<const char *, Figures *>{"cold", &cold}, {"warm", &warm}}) {
        const Figures &h = *f;
        std::printf("  host %s: peak memory %.0f MiB; geometry requests %.0f routes, %.0f detectors; %.0f/%.0f routes and "
                    "%.0f/%.0f detectors drawn, %.0f boards; %.0f answers, %.0f repaints of the view (%.0f ms painting); "
                    "longest event-loop pass %.0f ms, %.0f over 50 ms; cache file %.0f bytes; the connection lost, all cleared in "
                    "%.0f ms\n",
                    label, h["peak_mib"], h["route_geometry_requests"], h["detector_geometry_requests"], h["routes_drawn"],
                    h["routes"], h["detectors_drawn"], h["detectors"], h["boards"], h["answers"], h["paints"], h["paint_ms"],
                    h["longest_pass_ms"], h["slow_passes"], h["cache_bytes"], h["clear_ms"]);
    }
    std::fflush(stdout);
}

void runLists(int count, const QStringList &kinds)
{
    std::printf("lists: %d objects in one answer (canned server), tree and map view shown\n", count);
    for (const QString &kind : kinds) {
        CannedServer server(kind, count);
        const Figures f = runChild({"--role", "biglist", "--url", server.url().toString(), "--kind", kind, "--count", QString::number(count)});
        std::printf("  %s: an answer of %.1f MB taken in in %.2f s (%.2f s CPU); %.0f bytes per %s as registered; longest event-loop pass %.0f ms, "
                    "%.0f over 50 ms; the connection lost, all cleared in %.0f ms\n",
                    qPrintable(kind), server.bigBytes / 1e6, f["wall"], f["cpu"], f["bytes_per_object"], qPrintable(kind.chopped(1)),
                    f["longest_pass_ms"], f["slow_passes"], f["clear_ms"]);
        std::fflush(stdout);
    }
}

} // namespace

int main(int argc, char **argv)
{
    // Warnings (a detector without geometry, the platform's remarks) are not figures.
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &message) {
        if (type == QtFatalMsg || type == QtCriticalMsg)
            std::fprintf(stderr, "%s\n", qPrintable(message));
        if (type == QtFatalMsg)
            abort();
    });
    Bench::useOffscreenWithoutDisplay();
    TimedApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("network_load"));
    QStandardPaths::setTestModeEnabled(true);

    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addOption({"gtfs", "A GTFS feed directory for the \"gtfs\" network (default: a synthetic feed).", "dir"});
    parser.addOption({"rounds", "Rounds per network (bare, cold, warm).", "n", "2"});
    parser.addOption({"scenarios", "Which of small, city, gtfs, lists.", "list", "small,city,gtfs,lists"});
    parser.addOption({"count", "Objects in the big lists.", "n", "100000"});
    parser.addOption({"kinds", "Which big lists.", "list", "boards,routes,detectors"});
    for (const char *name : {"role", "url", "sim-pid", "project", "routes", "detectors", "boards", "rect", "kind"})
        parser.addOption({name, "For the measured clients.", "value"});
    parser.addOption({"cold", "For the measured clients."});
    parser.addOption({"qt-json", "For the measured clients."});
    parser.process(app);

    const QString role = parser.value("role");
    const QUrl url(parser.value("url"));
    if (role == QLatin1String("bare"))
        return runBare(url, parser.value("sim-pid").toLongLong(), parser.isSet("qt-json"));
    if (role == QLatin1String("biglist"))
        return runBigList(url, parser.value("kind"), parser.value("count").toInt());
    if (role == QLatin1String("host")) {
        HostOptions o;
        o.url = url;
        o.project = parser.value("project");
        o.cold = parser.isSet("cold");
        o.routes = parser.value("routes").toInt();
        o.detectors = parser.value("detectors").toInt();
        o.boards = parser.value("boards").toInt();
        const QStringList r = parser.value("rect").split(',');
        if (r.size() == 4)
            o.rect = QRectF(r[0].toDouble(), r[1].toDouble(), r[2].toDouble(), r[3].toDouble());
        return runHost(o);
    }

    const int rounds = std::max(1, parser.value("rounds").toInt());
    const QStringList scenarios = parser.value("scenarios").split(',');
    std::printf("network_load: load average %s", qPrintable(QString::fromLatin1([] {
                    QFile f(QStringLiteral("/proc/loadavg"));
                    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("?\n");
                }())));
    if (scenarios.contains(QLatin1String("small")))
        runNetwork(QStringLiteral("small"), QStringLiteral("small"), {"--routes", "150", "--points", "200", "--detectors", "300", "--emergency-detectors", "20", "--boards", "600"}, rounds);
    if (scenarios.contains(QLatin1String("city")))
        runNetwork(QStringLiteral("city"), QStringLiteral("city"), {"--routes", "1500", "--points", "333", "--detectors", "10000", "--emergency-detectors", "300", "--boards", "6000"}, rounds);
    if (scenarios.contains(QLatin1String("gtfs"))) {
        QTemporaryDir synthetic;
        QString feed = parser.value("gtfs");
        if (feed.isEmpty()) {
            feed = synthetic.path();
            if (!Bench::writeSyntheticFeed(feed))
                qFatal("cannot write the synthetic feed");
        }
        runNetwork(QStringLiteral("gtfs"), parser.isSet("gtfs") ? QStringLiteral("gtfs") : QStringLiteral("gtfs (synthetic feed)"), {"--gtfs", feed}, rounds);
    }
    if (scenarios.contains(QLatin1String("lists")))
        runLists(parser.value("count").toInt(), parser.value("kinds").split(','));
    return 0;
}
