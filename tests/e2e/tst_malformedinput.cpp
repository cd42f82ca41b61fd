// A hostile server: a bare WebSocket server of the test's own answers the plug-in's requests
// and pushes notifications with missing keys, wrong types, huge and non-finite values and
// unknown names, through the real JSON-RPC client into the real plug-in module. Nothing may
// crash, hang or grow without bound, and each fault the plug-in has words for is reported.

#include <QDir>
#include <QFile>
#include <QGraphicsItem>
#include <QGraphicsScene>
#include <QImage>
#include <QPainter>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QWebSocket>
#include <QWebSocketServer>
#include <QtTest>

#include <functional>
#include <memory>

#include "common/logcapture.h"
#include "demohost.h"
#include "kernel/roadkernel.h"
#include "jsonrpc/jsonrpcobject.h"
#include "jsonrpc/response.h"

namespace {

using Answers = QHash<QString, QByteArray>;

// The usual network of two routes, one line detector on route 1, one emergency detector and
// one board on route 1: raw JSON text per method, so that an answer can carry what Qt's own
// writer would never produce (2^63, 1e308, nesting).
Answers goodAnswers()
{
    return {
        {QStringLiteral("RoadNetwork.getRouteList"),
         R"([{"id":1,"name":"R1","locked":false,"geometry_hash":"h1"},
              {"id":2,"name":"R2","locked":false,"geometry_hash":"h2"}])"},
        {QStringLiteral("VDTService.getVdtList"),
         R"([{"id":10,"name":"D10","emergency":false,"routes":[1],"geometry_hash":"g10","state":"idle"},
              {"id":11,"name":"E11","emergency":true,"geometry_hash":"g11","state":"idle"}])"},
        {QStringLiteral("BoardsServer.getBoards"),
         R"({"B1":{"route_id":1,"logged_in":true,"locked":false,"description":"bus"}})"},
        {QStringLiteral("BoardsServer.getBoardData"), R"({"route_id":0,"logged_in":true})"},
        {QStringLiteral("RoadNetwork.getRouteGeometry#1"),
         R"({"id":1,"geometry":"37.6,55.75 37.61,55.755 37.62,55.76","geometry_hash":"h1"})"},
        {QStringLiteral("RoadNetwork.getRouteGeometry#2"),
         R"({"id":2,"geometry":"37.6,55.74 37.62,55.745","geometry_hash":"h2"})"},
        {QStringLiteral("VDTService.getVdtGeometry#10"),
         R"({"id":10,"name":"D10","emergency":false,"routes":[1],"geometry_hash":"g10",
             "geometry":"37.601,55.7505 37.605,55.7525"})"},
        {QStringLiteral("VDTService.getVdtGeometry#11"),
         R"({"id":11,"name":"E11","emergency":true,"geometry_hash":"g11","pos":[37.61,55.75],
             "radius":50,"directionAngle":90,"sweepAngle":60})"},
    };
}

// Answers every request from a table (method, or method#id / method#name for one object),
// null for anything it does not know, and sends whatever frames the test gives it.
class HostileServer : public QObject
{
    Q_OBJECT
public:
    explicit HostileServer(Answers answers)
        : m_server(QStringLiteral("hostile"), QWebSocketServer::NonSecureMode)
        , m_answers(std::move(answers))
    {
        m_server.setMaxPendingConnections(4);
        connect(&m_server, &QWebSocketServer::newConnection, this, &HostileServer::onNewConnection);
    }

    bool listen() { return m_server.listen(QHostAddress::LocalHost, 0); }
    QUrl url() const { return QUrl(QStringLiteral("ws://127.0.0.1:%1").arg(m_server.serverPort())); }
    int requestCount(const QString &method) const { return m_counts.value(method); }

    void sendRaw(const QByteArray &frame)
    {
        if (m_socket)
            m_socket->sendTextMessage(QString::fromUtf8(frame));
    }
    void notify(const QString &method, const QByteArray &params)
    {
        sendRaw(R"({"jsonrpc":"2.0","method":")" + method.toUtf8() + R"(","params":)" + params + "}");
    }

private:
    void onNewConnection()
    {
        while (QWebSocket *socket = m_server.nextPendingConnection()) {
            socket->setParent(this);
            m_socket = socket;
            connect(socket, &QWebSocket::textMessageReceived, this,
                    [this, socket](const QString &text) { onText(socket, text); });
            socket->sendTextMessage(QStringLiteral(
                R"({"jsonrpc":"2.0","method":"Session.allowedCommandsChanged","params":{"role":"operator",)"
                R"("allowed_commands":["RoadNetwork.assignBoardToRoute","RoadNetwork.unassignBoard",)"
                R"("BoardsServer.setLockBoard","RoadNetwork.setLockRoute","VDTService.setLockVdt"]}})"));
        }
    }

    void onText(QWebSocket *socket, const QString &text)
    {
        const QJsonObject request = QJsonDocument::fromJson(text.toUtf8()).object();
        const QString method = request.value(QStringLiteral("method")).toString();
        ++m_counts[method];
        if (!request.contains(QStringLiteral("id")))
            return;
        const QJsonObject params = request.value(QStringLiteral("params")).toObject();
        QString key = method;
        if (params.contains(QStringLiteral("id")))
            key += QLatin1Char('#') + QString::number(params.value(QStringLiteral("id")).toInt());
        else if (params.contains(QStringLiteral("name")))
            key += QLatin1Char('#') + params.value(QStringLiteral("name")).toString();
        const QByteArray result = m_answers.value(key, m_answers.value(method, QByteArrayLiteral("null")));
        socket->sendTextMessage(QString::fromUtf8(R"({"jsonrpc":"2.0","id":)"
                                                  + QByteArray::number(request.value(QStringLiteral("id")).toInt())
                                                  + R"(,"result":)" + result + "}"));
    }

    QWebSocketServer m_server;
    QPointer<QWebSocket> m_socket;
    Answers m_answers;
    QHash<QString, int> m_counts;
};

struct Counts
{
    int routes = 0;
    int detectors = 0;
    int boards = 0;
    int treeRows = 0;
    int sceneItems = 0;
    QVector<int> objects() const { return {routes, detectors, boards}; }
    QVector<int> all() const { return {routes, detectors, boards, treeRows, sceneItems}; }
};

int rowsBelow(const QAbstractItemModel *model, const QModelIndex &parent = QModelIndex())
{
    int n = model->rowCount(parent);
    for (int row = 0; row < model->rowCount(parent); ++row)
        n += rowsBelow(model, model->index(row, 0, parent));
    return n;
}

Counts counts(DemoHost &host)
{
    Counts c;
    QSet<QObject *> seen;
    for (QGraphicsItem *item : host.scene()->items()) {
        ++c.sceneItems;
        QObject *object = item->data(0).value<QObject *>();
        if (!object || seen.contains(object))
            continue;
        seen.insert(object);
        c.routes += object->inherits("PrioRoute");
        c.detectors += object->inherits("PrioVDetector");
        c.boards += object->inherits("PrioVehicle");
    }
    c.treeRows = rowsBelow(host.itemModel());
    return c;
}

QObject *boardNamed(DemoHost &host, const QString &name)
{
    for (QGraphicsItem *item : host.scene()->items()) {
        QObject *object = item->data(0).value<QObject *>();
        if (object && object->inherits("PrioVehicle") && object->property("name").toString() == name)
            return object;
    }
    return nullptr;
}

// The host, the plug-in and the hostile server, connected and loaded.
struct Fixture
{
    QTemporaryDir projectDir;
    std::unique_ptr<HostileServer> server;
    std::unique_ptr<DemoHost> host;

    bool start(const Answers &answers)
    {
        server = std::make_unique<HostileServer>(answers);
        if (!server->listen())
            return false;
        host = std::make_unique<DemoHost>();
        host->setProjectDir(projectDir.path());
        if (!host->loadPlugin(QStringLiteral(PLUGIN_PATH)) || !host->startPlugin())
            return false;
        host->connectToServer(server->url());
        return true;
    }
    // Loading done: the subscription went out and nothing is outstanding.
    bool loaded() const
    {
        return server->requestCount(QStringLiteral("subscribe")) >= 1 && host->rpcClient()->pendingCount() == 0;
    }
    // Everything the server sent before now has been handled once this returns true.
    bool roundTrip()
    {
        auto *response = qobject_cast<Response *>(
            host->rpcClient()->postCommand(QStringLiteral("PserverApp.getWebUrl"), QVariant()));
        if (!response)
            return false;
        QSignalSpy finished(response, &Response::finished);
        return finished.wait(60000);
    }
    // As roundTrip, and the requests the handled messages made have their answers too.
    bool settle()
    {
        return roundTrip() && QTest::qWaitFor([this] { return host->rpcClient()->pendingCount() == 0; }, 5000)
            && roundTrip();
    }
    bool stillRunning() const
    {
        return host->plugin().rpcObject() == host->rpcClient() && host->rpcClient()->isConnected();
    }
    ~Fixture()
    {
        host.reset();
        server.reset();
    }
};

QByteArray nested(int depth, const QByteArray &inner)
{
    return QByteArray(depth, '[') + inner + QByteArray(depth, ']');
}

QByteArray manyPoints(int n)
{
    QByteArray s;
    s.reserve(n * 24);
    for (int i = 0; i < n; ++i)
        s += "37." + QByteArray::number(600000 + i % 100000) + ",55." + QByteArray::number(700000 + (i * 7) % 100000) + ' ';
    return s;
}

} // namespace

class tst_MalformedInput : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        QCoreApplication::setOrganizationName(QStringLiteral("lumen-tests"));
        QCoreApplication::setApplicationName(QStringLiteral("tst_malformedinput"));
        QDir cacheDir(QStandardPaths::writableLocation(QStandardPaths::CacheLocation));
        QVERIFY(cacheDir.path().contains(QStringLiteral("tst_malformedinput")));
        QVERIFY(!cacheDir.exists() || cacheDir.removeRecursively());
    }

    // One notification at a time on the usual network.
    void notifications_data()
    {
        QTest::addColumn<QString>("method");
        QTest::addColumn<QByteArray>("params");
        QTest::addColumn<QString>("warning");  // the plug-in's log line, or empty
        QTest::addColumn<int>("boards");       // boards registered afterwards

        const QString pos = QStringLiteral("BoardsServer.boardPosition");
        const QString props = QStringLiteral("BoardsServer.boardPropertiesChanged");
        const QString in = QStringLiteral("BoardsServer.boardLoggedIn");
        const QString out = QStringLiteral("BoardsServer.boardDisconnected");
        const QString removed = QStringLiteral("BoardsServer.boardsRemoved");
        const QString vdtState = QStringLiteral("VDTService.vdtStateChanged");
        const QString vdtProps = QStringLiteral("VDTService.vdtPropertiesChanged");
        const QString routeProps = QStringLiteral("RoadNetwork.routePropertiesChanged");
        const auto noName = [](const QString &m) { return QStringLiteral("warning: [PriorityPlugin] WARN: Invalid %1 event: no 'board_name'").arg(m); };

        QTest::newRow("position without board_name") << pos << QByteArray(R"({"time":"2024-01-01T00:00:00","offset_s":3})") << noName(pos) << 1;
        QTest::newRow("logged in with board_name a list") << in << QByteArray(R"({"board_name":["B1"]})") << noName(in) << 1;
        QTest::newRow("properties with empty board_name") << props << QByteArray(R"({"board_name":"","locked":true})") << noName(props) << 1;
        QTest::newRow("properties as a list") << props << QByteArray(R"(["B1",true])") << noName(props) << 1;
        QTest::newRow("detector state without board_name") << vdtState << QByteArray(R"({"state":"active","dt":10})") << noName(vdtState) << 1;
        QTest::newRow("position of an unknown board creates it") << pos << QByteArray(R"({"board_name":"ghost","rpos":[37.6,55.75]})") << QString() << 2;
        QTest::newRow("position with numbers as strings and out of range")
            << pos
            << QByteArray(R"({"board_name":"B1","pos":["nan","inf"],"rpos":[1e308,-1e308],"speed":1e308,)"
                          R"("course":-1e308,"weight":9223372036854775808,"offset_s":"nan","time":"not a time"})")
            << QString() << 1;
        QTest::newRow("position with positions of the wrong shape")
            << pos << QByteArray(R"({"board_name":"B1","pos":{"lon":37.6,"lat":55.7},"rpos":[37.6],"speed":[],"course":{}})")
            << QString() << 1;
        QTest::newRow("position at a pole") << pos << QByteArray(R"({"board_name":"B1","rpos":[0,90],"pos":[180,-90]})") << QString() << 1;
        QTest::newRow("properties of the wrong types")
            << props
            << QByteArray(R"({"board_name":"B1","route_id":"two","locked":"yes","radius":1e308,"sweep":-1e308,)"
                          R"("last_connected_time":123,"logged_in":[true],"allow_emergency":{},"description":null})")
            << QString() << 1;
        QTest::newRow("properties with route id 2^63") << props << QByteArray(R"({"board_name":"B1","route_id":9223372036854775808})") << QString() << 1;
        QTest::newRow("properties with an unknown route")
            << props << QByteArray(R"({"board_name":"B1","route_id":77})")
            << QStringLiteral("warning: [PriorityPlugin] WARN: Vehicle B1 assigned to invalid route with id 77") << 1;
        QTest::newRow("boards removed as a map") << removed << QByteArray(R"({"names":["B1"]})") << QString() << 1;
        QTest::newRow("boards removed with elements of every type") << removed << QByteArray(R"([null,1,{"B1":1},["B1"],true,"nobody"])") << QString() << 1;
        QTest::newRow("boards removed names one known, one not") << removed << QByteArray(R"(["ghost","B1"])") << QString() << 0;
        QTest::newRow("detector state of the wrong types") << vdtState << QByteArray(R"({"state":5,"dt":"ten","board_name":"B1"})") << QString() << 1;
        QTest::newRow("detector state for detector 2^63 and 1e308")
            << vdtState << QByteArray(R"({"state":"active","dt":9223372036854775808,"board_name":"B1"})") << QString() << 1;
        QTest::newRow("detector state for an unknown detector and board")
            << vdtState << QByteArray(R"({"state":"active","dt":-1e308,"board_name":"stranger"})") << QString() << 2;
        QTest::newRow("detector properties for an unknown id") << vdtProps << QByteArray(R"({"id":12345,"locked":true,"routes":[1]})") << QString() << 1;
        QTest::newRow("detector properties of the wrong types")
            << vdtProps
            << QByteArray(R"({"id":10,"routes":"1","weight":1e308,"tl_number":-9223372036854775808,"locked":"no","name":[1],"emergency":"yes"})")
            << QString() << 1;
        QTest::newRow("detector properties with id 1e308") << vdtProps << QByteArray(R"({"id":1e308,"locked":true})") << QString() << 1;
        QTest::newRow("route properties of the wrong types")
            << routeProps << QByteArray(R"({"id":"1","locked":[],"name":{"a":1},"description":null})") << QString() << 1;
        QTest::newRow("route properties with id -1e308") << routeProps << QByteArray(R"({"id":-1e308,"locked":true})") << QString() << 1;
        QTest::newRow("deeply nested params")
            << props << QByteArray(R"({"board_name":"B1","description":)" + nested(900, "1") + R"(,"route_id":)" + nested(900, "2") + "}")
            << QString() << 1;
        QTest::newRow("nested deeper than the parser takes") << props << nested(5000, R"({"board_name":"deep"})") << QString() << 1;
        QTest::newRow("unknown notification") << QStringLiteral("Nobody.knows") << QByteArray(R"({"board_name":"B9"})") << QString() << 1;
        QTest::newRow("network changed with garbage") << QStringLiteral("RoadNetwork.networkChanged") << QByteArray(R"([1,2,{"x":null}])") << QString() << 1;
    }
    void notifications()
    {
        QFETCH(QString, method);
        QFETCH(QByteArray, params);
        QFETCH(QString, warning);
        QFETCH(int, boards);

        LogCapture log;
        Fixture f;
        QVERIFY(f.start(goodAnswers()));
        QTRY_VERIFY(f.loaded());
        QVERIFY(f.roundTrip());
        QCOMPARE(counts(*f.host).objects(), (QVector<int>{2, 2, 1}));

        f.server->notify(method, params);
        // A board made by the notification asks for its data: wait for that too.
        QVERIFY(f.settle());

        QVERIFY(f.stillRunning());
        QCOMPARE(counts(*f.host).objects(), (QVector<int>{2, 2, boards}));
        if (!warning.isEmpty())
            QVERIFY2(log.count(warning) == 1, qPrintable(log.lines().join(QLatin1Char('\n'))));
        for (const QString &line : log.lines())
            QVERIFY2(!line.startsWith(QLatin1String("critical")), qPrintable(line));
    }

    // Loading answers that are not what they should be.
    void listAnswers_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<QString>("warning");
        QTest::addColumn<int>("routes");
        QTest::addColumn<int>("routesWithGeometry");
        QTest::addColumn<int>("detectors");
        QTest::addColumn<int>("boards");

        const QString routeList = QStringLiteral("RoadNetwork.getRouteList");
        const QString vdtList = QStringLiteral("VDTService.getVdtList");
        const QString boardList = QStringLiteral("BoardsServer.getBoards");
        const QString badRouteId = QStringLiteral("warning: [PriorityPlugin] WARN: Invalid route id on getting route list");
        const QString badVdtId = QStringLiteral("warning: [PriorityPlugin] WARN: Invalid detector id on getting detector list");

        // With no route 1, the line detector binds to nothing and the board's route is unknown.
        QTest::newRow("route list a map")
            << routeList << QByteArray(R"({"id":1,"name":"R1"})")
            << QStringLiteral("warning: [PriorityPlugin] WARN: Malformed answer to 'RoadNetwork.getRouteList': the route list is not a list")
            << 0 << 0 << 2 << 1;
        QTest::newRow("route list entries without usable ids")
            << routeList
            << QByteArray(R"([{"id":"abc","geometry_hash":"x"},{"id":null},{"name":"no id"},{"id":[1]},{"id":{}},7,"R",null,)"
                          R"({"id":1,"name":"R1","geometry_hash":"h1"}])")
            << badRouteId << 1 << 1 << 2 << 1;
        QTest::newRow("route ids out of int range")
            << routeList
            << QByteArray(R"([{"id":1e308,"geometry_hash":"x"},{"id":-1e308},{"id":9223372036854775808},{"id":4294967297},)"
                          R"({"id":1,"name":"R1","geometry_hash":"h1"}])")
            << badRouteId << 1 << 1 << 2 << 1;
        QTest::newRow("route record fields of the wrong types")
            << routeList
            << QByteArray(R"([{"id":1,"name":["R1"],"locked":"yes","description":{"a":1},"geometry_hash":"h1"},)"
                          R"({"id":2,"name":null,"geometry_hash":12}])")
            << QString() << 2 << 2 << 2 << 1;
        QTest::newRow("detector list a string")
            << vdtList << QByteArray(R"("detectors")")
            << QStringLiteral("warning: [PriorityPlugin] WARN: Malformed answer to 'VDTService.getVdtList': the detector list is not a list")
            << 2 << 2 << 0 << 1;
        QTest::newRow("detector list entries without usable ids")
            << vdtList
            << QByteArray(R"([{"id":"x","routes":[1]},{"routes":[1]},{"id":1e308,"routes":[1]},{"id":9223372036854775808,"emergency":true},)"
                          R"(5,null,{"id":11,"name":"E11","emergency":true,"geometry_hash":"g11"}])")
            << badVdtId << 2 << 2 << 1 << 1;
        // "no" is a true bool to Qt, so detector 10 counts as an emergency detector.
        QTest::newRow("detector records of the wrong types")
            << vdtList
            << QByteArray(R"([{"id":10,"routes":"1","emergency":"no","weight":1e308,"tl_number":"x","geometry_hash":"g10"},)"
                          R"({"id":11,"emergency":true,"routes":{"a":1},"state":7,"board_name":["B1"],"geometry_hash":"g11"}])")
            << QString() << 2 << 2 << 2 << 1;
        QTest::newRow("detector routes unknown, huge and many")
            << vdtList
            << QByteArray(R"([{"id":10,"routes":[1,99,1e308,-1e308,9223372036854775808,"1"],"geometry_hash":"g10"},)"
                          R"({"id":11,"emergency":true,"geometry_hash":"g11"}])")
            << QStringLiteral("warning: [PriorityPlugin] WARN: Invalid route 99 in detector 10") << 2 << 2 << 2 << 1;
        QTest::newRow("board list a list") << boardList << QByteArray(R"(["B1","B2"])") << QString() << 2 << 2 << 2 << 0;
        QTest::newRow("board records of the wrong types")
            << boardList
            << QByteArray(R"({"B1":"bus","B2":[1,2],"B3":null,"B4":{"route_id":"1","locked":"no","radius":1e308,"sweep":-1e308,)"
                          R"("logged_in":1,"last_connected_time":"yesterday"},"B5":{"route_id":1e308},"B6":{"route_id":-5}})")
            << QString() << 2 << 2 << 2 << 6;
        QTest::newRow("route geometry with NaN")
            << QStringLiteral("RoadNetwork.getRouteGeometry#1") << QByteArray(R"({"geometry":"nan,nan 37.6,55.7","geometry_hash":"h1"})")
            << QString() << 2 << 1 << 2 << 1;
        QTest::newRow("route geometry with infinity")
            << QStringLiteral("RoadNetwork.getRouteGeometry#1") << QByteArray(R"({"geometry":"37.6,55.7 inf,55.7 -inf,-inf","geometry_hash":"h1"})")
            << QString() << 2 << 1 << 2 << 1;
        QTest::newRow("route geometry with 1e308")
            << QStringLiteral("RoadNetwork.getRouteGeometry#1") << QByteArray(R"({"geometry":"1e308,1e308 37.6,55.7","geometry_hash":"h1"})")
            << QString() << 2 << 1 << 2 << 1;
        QTest::newRow("route geometry through the poles")
            << QStringLiteral("RoadNetwork.getRouteGeometry#1") << QByteArray(R"({"geometry":"0,90 0,-90 180,90 -180,-90","geometry_hash":"h1"})")
            << QString() << 2 << -1 << 2 << 1;
        QTest::newRow("route geometry of 100 000 points")
            << QStringLiteral("RoadNetwork.getRouteGeometry#1")
            << QByteArray(R"({"geometry":")" + manyPoints(100000) + R"(","geometry_hash":"h1"})")
            << QString() << 2 << 2 << 2 << 1;
        QTest::newRow("route geometry of 100 001 points")
            << QStringLiteral("RoadNetwork.getRouteGeometry#1")
            << QByteArray(R"({"geometry":")" + manyPoints(100001) + R"(","geometry_hash":"h1"})")
            << QString() << 2 << 1 << 2 << 1;
        QTest::newRow("route geometry not a string")
            << QStringLiteral("RoadNetwork.getRouteGeometry#1") << QByteArray(R"({"geometry":[[37.6,55.7],[37.7,55.8]],"geometry_hash":"h1"})")
            << QStringLiteral("warning: [PriorityPlugin] WARN: Route 1 has no geometry") << 2 << 1 << 2 << 1;
        QTest::newRow("route geometry answer a string")
            << QStringLiteral("RoadNetwork.getRouteGeometry#1") << QByteArray(R"("37.6,55.7 37.7,55.8")")
            << QStringLiteral("warning: [PriorityPlugin] WARN: Route 1 has no geometry") << 2 << 1 << 2 << 1;
        QTest::newRow("detector geometry with NaN and a huge sector")
            << QStringLiteral("VDTService.getVdtGeometry#11")
            << QByteArray(R"({"id":11,"emergency":true,"pos":["nan",55.7],"radius":1e308,"directionAngle":"inf","sweepAngle":-1e308})")
            << QString() << 2 << 2 << 2 << 1;
        QTest::newRow("detector geometry of a few megabytes")
            << QStringLiteral("VDTService.getVdtGeometry#10")
            << QByteArray(R"({"id":10,"routes":[1],"geometry":")" + QByteArray(4 << 20, '7') + R"(,55.7 37.6,55.7"})")
            << QString() << 2 << 2 << 2 << 1;
    }
    void listAnswers()
    {
        QFETCH(QString, key);
        QFETCH(QByteArray, answer);
        QFETCH(QString, warning);
        QFETCH(int, routes);
        QFETCH(int, routesWithGeometry);
        QFETCH(int, detectors);
        QFETCH(int, boards);

        Answers answers = goodAnswers();
        answers.insert(key, answer);
        LogCapture log;
        Fixture f;
        QVERIFY(f.start(answers));
        QTRY_VERIFY_WITH_TIMEOUT(f.loaded(), 20000);
        QVERIFY(f.roundTrip());
        QVERIFY(f.stillRunning());

        QCOMPARE(counts(*f.host).objects(), (QVector<int>{routes, detectors, boards}));
        QObjectList list;
        QVERIFY(QMetaObject::invokeMethod(f.host->pluginObject(), "getRoutes", Q_RETURN_ARG(QObjectList, list)));
        QCOMPARE(list.size(), routes);
        int withGeometry = 0;
        for (QObject *route : qAsConst(list))
            withGeometry += route->property("hasGeometry").toBool();
        // -1: either way, as long as nothing breaks.
        if (routesWithGeometry >= 0)
            QCOMPARE(withGeometry, routesWithGeometry);
        if (!warning.isEmpty())
            QVERIFY2(log.count(warning) >= 1, qPrintable(log.lines().join(QLatin1Char('\n'))));
        for (const QString &line : log.lines())
            QVERIFY2(!line.startsWith(QLatin1String("critical")), qPrintable(line));
        // The scene still paints whatever it holds.
        QImage image(200, 200, QImage::Format_ARGB32);
        QPainter painter(&image);
        f.host->scene()->render(&painter);
    }

    // The same huge message again and again leaves the plug-in as it was after the first.
    void hugeMessagesRepeated_data()
    {
        QTest::addColumn<QString>("method");
        QTest::addColumn<QByteArray>("params");
        QTest::addColumn<int>("boards");
        const QByteArray big(3 << 20, 'x');
        QTest::newRow("huge description") << QStringLiteral("BoardsServer.boardPropertiesChanged")
                                          << QByteArray(R"({"board_name":"B1","description":")" + big + R"("})") << 1;
        QTest::newRow("huge board name") << QStringLiteral("BoardsServer.boardPosition")
                                         << QByteArray(R"({"board_name":")" + big + R"(","rpos":[37.6,55.75]})") << 2;
        QTest::newRow("huge state word") << QStringLiteral("VDTService.vdtStateChanged")
                                         << QByteArray(R"({"dt":10,"board_name":"B1","state":")" + big + R"("})") << 1;
        // Many small elements rather than a few big ones: every element is an allocation,
        // which the sanitizer build with full malloc stacks makes slow.
        QTest::newRow("huge removal list") << QStringLiteral("BoardsServer.boardsRemoved")
                                           << QByteArray("[" + QByteArray("\"nobody\",").repeated(20000) + "\"nobody\"]") << 1;
    }
    void hugeMessagesRepeated()
    {
        QFETCH(QString, method);
        QFETCH(QByteArray, params);
        QFETCH(int, boards);

        Fixture f;
        QVERIFY(f.start(goodAnswers()));
        QTRY_VERIFY(f.loaded());
        f.server->notify(method, params);
        QVERIFY(f.settle());
        const Counts first = counts(*f.host);
        QCOMPARE(first.boards, boards);

        for (int i = 0; i < 20; ++i)
            f.server->notify(method, params);
        QVERIFY(f.settle());
        QVERIFY(f.stillRunning());
        QCOMPARE(counts(*f.host).all(), first.all());
    }

    // A board name the server sends for the first time is asked for once, however many
    // notifications name it before its data comes.
    void unknownBoardsAreAskedForOnce()
    {
        Fixture f;
        QVERIFY(f.start(goodAnswers()));
        QTRY_VERIFY(f.loaded());
        for (int i = 0; i < 50; ++i) {
            f.server->notify(QStringLiteral("BoardsServer.boardPosition"),
                             QByteArray(R"({"board_name":"N)" + QByteArray::number(i % 5) + R"(","rpos":[37.6,55.75]})"));
        }
        QVERIFY(f.roundTrip());
        QTRY_COMPARE(f.host->rpcClient()->pendingCount(), 0);
        QCOMPARE(f.server->requestCount(QStringLiteral("BoardsServer.getBoardData")), 5);
        QCOMPARE(counts(*f.host).boards, 6);
        QVERIFY(boardNamed(*f.host, QStringLiteral("N4")));
    }
};

QTEST_MAIN(tst_MalformedInput)
#include "tst_malformedinput.moc"
