// The simulator as its clients see it: raw JSON-RPC frames over a loopback WebSocket to an
// embedded Sim::Server whose clock moves only when a test calls step(), and the prio-sim
// program's command line.

#include "server.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QWebSocket>
#include <QtTest>

#include <cmath>
#include <memory>

using namespace Sim;

namespace {

QPointF east(double metres, double north = 0) { return Geo::offsetMetres(QPointF(37.6, 55.75), metres, north); }

// Laid out by hand. Route 1 runs 1000 m due east, a stop at 500 m; route 2 runs parallel,
// 500 m further north. Detector 1: zone 400..480 m along route 1, check-in at 440 m;
// detector 2: 150..200 m without a check-in point; detector 3: an emergency sector at 700 m,
// 100 m deep, opening west (towards route 1's traffic), 60 degrees wide. Boards at 36 km/h:
// B1 on route 1 at 0 m, B2 on route 2 at 100 m, E1 an ambulance (54 km/h) driving route 1
// unassigned from 550 m, D1 at the depot, B3 logged out an hour ago. Hashes named by hand.
Network testNetwork()
{
    Network net;
    net.routes.resize(2);
    for (int i : {0, 1}) {
        Route &r = net.routes[i];
        r.id = i + 1;
        r.name = QString::number(i + 1);
        r.description = i ? QStringLiteral("Route 2") : QStringLiteral("Route 1: West - East");
        r.setPoints(i ? QVector<QPointF>{east(0, 500), east(1000, 500)} : QVector<QPointF>{east(0), east(500), east(1000)});
        r.geometryHash = QStringLiteral("r%1").arg(i + 1);
    }
    net.routes[0].stops = {{QStringLiteral("Middle"), 500.0}};
    net.detectors.resize(3);
    for (int i : {0, 1, 2}) {
        Detector &d = net.detectors[i];
        const double start = i ? 150 : 400, checkin = i ? 150 : 440, end = i ? 200 : 480;
        d.id = i + 1;
        d.name = i == 2 ? QStringLiteral("EV3") : QStringLiteral("D%1").arg(i + 1);
        d.emergency = i == 2;
        d.routes = d.emergency ? QVector<int>() : QVector<int>{1};
        d.tlNumber = 1;
        d.weight = i == 0 ? 2 : i == 2 ? 4 : 1;
        d.line = i ? QVector<QPointF>{east(start), east(end)} : QVector<QPointF>{east(start), east(checkin), east(end)};
        d.checkinLength = i ? -1.0 : checkin - start;
        d.laidOnRoute = d.emergency ? 0 : 1;
        d.startAlong = start;
        d.checkinAlong = checkin;
        d.endAlong = end;
        d.pos = east(700);
        d.radius = 100;
        d.directionAngle = 180;
        d.sweepAngle = 60;
        d.rehash();
        d.geometryHash = QStringLiteral("d%1").arg(i + 1);
    }
    net.trafficLights.resize(1);
    net.trafficLights[0].number = 1;
    net.trafficLights[0].name = QStringLiteral("Junction 1");
    for (const char *name : {"B1", "B2", "E1", "D1", "B3"}) {
        Board b;
        b.name = QLatin1String(name);
        b.description = QStringLiteral("Bus ") + b.name;
        b.cruiseKmh = 36;
        net.boards.append(b);
    }
    Board *b = net.boards.data();
    b[0].routeId = b[0].drivingRoute = 1;
    b[1].routeId = b[1].drivingRoute = b[4].routeId = b[4].drivingRoute = 2;
    b[1].along = 100;
    b[2].drivingRoute = 1;
    b[2].along = 550;
    b[2].cruiseKmh = 54;
    b[2].allowEmergency = true;
    b[2].radius = 150;
    b[2].sweep = 60;
    b[2].vehicleType = QStringLiteral("ambulance");
    b[4].loggedIn = false;
    b[4].lastConnectedAgoS = 3600;
    return net;
}

QString text(const QJsonValue &v)
{
    const QByteArray a = QJsonDocument(QJsonArray{v}).toJson(QJsonDocument::Compact);
    return QString::fromUtf8(a.mid(1, a.size() - 2));
}

QString text(const QVector<QJsonValue> &values)
{
    return text(QJsonArray::fromVariantList(QVariantList(values.cbegin(), values.cend())));
}

QJsonValue json(const QString &text)
{
    return QJsonDocument::fromJson(QByteArray("[") + text.toUtf8() + "]").array().at(0);
}

// The value with every geometry string and position made "*": those are worked out in
// metres, not by hand in degrees.
QJsonValue blurred(const QJsonValue &v)
{
    if (v.isArray()) {
        QJsonArray a;
        for (const QJsonValue &e : v.toArray())
            a.append(blurred(e));
        return a;
    }
    QJsonObject o = v.toObject();
    for (auto it = o.begin(); it != o.end(); ++it)
        *it = it.key() == "geometry" || it.key() == "pos" ? QJsonValue("*") : blurred(*it);
    return v.isObject() ? QJsonValue(o) : v;
}

// A bare JSON-RPC client, so that the tests read the wire itself.
struct RawClient
{
    QWebSocket socket;
    QVector<QJsonValue> answers, notifications; // in order of arrival
    int nextId = 1000;

    RawClient()
    {
        QObject::connect(&socket, &QWebSocket::textMessageReceived, &socket, [this](const QString &frame) {
            const QJsonValue o = json(frame);
            (o.toObject().contains(QLatin1String("id")) ? answers : notifications).append(o);
        });
    }
    // Waits for frames until done() holds; false after 5 s without a frame.
    template<typename Done>
    bool waitFor(Done done)
    {
        while (!done()) {
            if (!QSignalSpy(&socket, &QWebSocket::textMessageReceived).wait(5000))
                return false;
        }
        return true;
    }
    // Open once the server has greeted it with its allowed commands.
    bool open(const QUrl &url)
    {
        socket.open(url);
        return waitFor([&] { return !notifications.isEmpty(); });
    }
    // The whole answer; undefined when none came.
    QJsonValue request(const QString &method, const QJsonValue &params = QJsonValue::Undefined)
    {
        QJsonObject r{{"jsonrpc", "2.0"}, {"id", ++nextId}, {"method", method}};
        if (!params.isUndefined())
            r.insert(QLatin1String("params"), params);
        socket.sendTextMessage(text(r));
        const auto mine = [&] { return std::find_if(answers.begin(), answers.end(), [&](const QJsonValue &a) { return a["id"] == nextId; }); };
        return waitFor([&] { return mine() != answers.end(); }) ? answers.takeAt(mine() - answers.begin()) : QJsonValue::Undefined;
    }
    QJsonValue call(const QString &method, const QJsonValue &params = QJsonValue::Undefined) { return request(method, params)["result"]; }
    // Everything the server sent before has arrived once this returns: it answers in order.
    bool sync() { return call(QStringLiteral("PserverApp.getWebUrl")).isString(); }
    bool subscribe(const QStringList &events) { return call("subscribe", QJsonObject{{"events", QJsonArray::fromStringList(events)}}).isArray(); }
    // The params of the notifications of that name, as text.
    QStringList received(const QString &method) const
    {
        QStringList out;
        for (const QJsonValue &n : notifications) {
            if (n["method"] == method)
                out << text(n["params"]);
        }
        return out;
    }
};

} // namespace

class tst_SimServer : public QObject
{
    Q_OBJECT

    std::unique_ptr<Server> server;
    std::unique_ptr<RawClient> client;

    // What a client can read of the world, as one text.
    QString worldText() const
    {
        const World &w = server->world();
        return text(w.routeList()) + text(w.detectorList()) + text(w.boardList())
               + text(w.trafficLightProperties(w.network().trafficLights.at(0)));
    }
    // The expected text with the server's port and clock put in.
    QString expected(QString want) const
    {
        const QDateTime now = server->world().now();
        return text(json(want.replace("$port", QString::number(server->port()))
                                 .replace("$nowms", now.toString(Qt::ISODateWithMs))
                                 .replace("$hourago", now.addSecs(-3600).toString(Qt::ISODate))
                                 .replace("$now", now.toString(Qt::ISODate))));
    }
    // The states a detector reported for a board, second by second, until it has made
    // `count` changes or half a minute has gone by. On the way, the detector's record shows
    // the state of the boards in it: "active" (naming one) if one is, else "inside" if one is.
    QStringList statesSeen(int detector, const QString &board, int count)
    {
        QStringList seen;
        for (int second = 0; second < 30 && seen.size() < count; ++second) {
            server->step(1.0);
            const QJsonValue record = client->call("VDTService.getVdtList")[detector - 1];
            QMap<QString, QString> boards;
            seen.clear();
            for (const QString &p : client->received("VDTService.vdtStateChanged")) {
                const QJsonValue o = json(p);
                if (o["dt"] == detector)
                    boards[o["board_name"].toString()] = o["state"].toString();
                if (o["dt"] == detector && o["board_name"] == board)
                    seen << o["state"].toString();
            }
            const QString state = boards.values().contains("active") ? "active" : boards.values().contains("inside") ? "inside" : "idle";
            if (record["state"] != state || boards.value(record["board_name"].toString(), "idle") != (state == "active" ? state : "idle"))
                return {"record " + text(record)};
        }
        return seen;
    }

private slots:
    void initTestCase() { QLoggingCategory::setFilterRules(QStringLiteral("prio.sim.info=false")); }
    void init()
    {
        server = std::make_unique<Server>(testNetwork());
        server->setTickInterval(0);
        server->world().setChurnEnabled(false);
        QVERIFY(server->listen());
        client = std::make_unique<RawClient>();
        QVERIFY(client->open(server->url()));
    }
    void cleanup()
    {
        client.reset();
        server.reset();
    }

    // One request frame and the whole answer; a refused request changes nothing, and the
    // connection goes on.
    void wire_data()
    {
        QTest::addColumn<QString>("request");
        QTest::addColumn<QString>("answer");
        // The method and params go into a request of id 7; an answer starting with '{"code"' is an error.
        const auto row = [](const char *name, const QString &method, const QString &params, const QString &answer) {
            QTest::newRow(name) << QStringLiteral(R"({"jsonrpc":"2.0","id":7,"method":"%1"%2})").arg(method, params.isEmpty() ? "" : ",\"params\":" + params)
                                << QStringLiteral(R"({"jsonrpc":"2.0","id":7,"%1":%2})").arg(answer.startsWith("{\"code\"") ? "error" : "result", answer);
        };
        const auto board = [](const char *name, int route, const char *time, bool in, const char *emergency = R"(false,"radius":0,"sweep":0,"vehicle_type":"bus")") {
            return QStringLiteral(R"("%1":{"locked":false,"route_id":%2,"description":"Bus %1","last_connected_time":"$%3","logged_in":%4,"allow_emergency":%5})")
                    .arg(name).arg(route).arg(time, in ? "true" : "false", emergency);
        };
        const QString detector = R"({"id":%1,"name":"D%1","emergency":false,"routes":[1],"tl_number":1,"weight":%2,"locked":false,"geometry_hash":"d%1","state":"idle","activated":false)";
        const QString sector = R"({"id":3,"name":"EV3","emergency":true,"tl_number":1,"weight":4,"locked":false,"geometry_hash":"d3","state":"idle","activated":false)";
        row("route list", "RoadNetwork.getRouteList", "", R"([{"id":1,"name":"1","description":"Route 1: West - East","locked":false,"geometry_hash":"r1"},
            {"id":2,"name":"2","description":"Route 2","locked":false,"geometry_hash":"r2"}])");
        row("route geometry", "RoadNetwork.getRouteGeometry", R"({"id":2})", R"({"id":2,"geometry":"*","geometry_hash":"r2"})");
        row("detector list, params ignored", "VDTService.getVdtList", "[7]", '[' + detector.arg(1).arg(2) + "}," + detector.arg(2).arg(1) + "}," + sector + "}]");
        row("line without a check-in point", "VDTService.getVdtGeometry", R"({"id":2})", detector.arg(2).arg(1) + R"(,"geometry":"*"})");
        row("sector", "VDTService.getVdtGeometry", R"({"id":3})", sector + R"(,"pos":"*","radius":100,"directionAngle":180,"sweepAngle":60})");
        row("detector properties", "VDTService.getVdtProperties", R"({"id":1})",
            detector.arg(1).arg(2) + R"(,"geometry":"*","checkin_length":40,"boards":{},"length_m":80,"controller":"Junction 1"})");
        row("controller", "TLService.getTlcProperties", R"({"id":1})",
            R"({"id":1,"number":1,"name":"Junction 1","pos":"*","mode":"auto","program":"P1","priority_enabled":true,"cycle_s":90,"detectors":[1,2,3]})");
        row("boards", "BoardsServer.getBoards", "", '{' + QStringList{board("B1", 1, "now", true), board("B2", 2, "now", true), board("B3", 2, "hourago", false),
            board("D1", 0, "now", true), board("E1", 0, "now", true, R"(true,"radius":150,"sweep":60,"vehicle_type":"ambulance")")}.join(',') + '}');
        row("timeline", "RoadNetwork.getTimelineData2", R"({"route_id":1})", R"({"route_id":1,"name":"1","time":"$nowms","length_m":1000,
            "stops":[{"name":"Middle","distance_m":500}],"detectors":[{"id":2,"distance_m":200,"state":"idle"},{"id":1,"distance_m":480,"state":"idle"}],
            "boards":[{"board_name":"B1","offset_s":0,"logged_in":true,"speed":36,"distance_m":0}]})");
        row("old timeline", "RoadNetwork.getTimelineData", R"({"route_id":2})",
            R"({"route_id":2,"stops":[],"boards":[{"board_name":"B2","offset_s":0},{"board_name":"B3","offset_s":0}]})");
        row("web address", "PserverApp.getWebUrl", "null", "\"http://127.0.0.1:$port/web/\"");
        row("subscribe: names never sent left out", "subscribe", R"({"events":["RoadNetwork.networkChanged","No.such"]})", R"(["RoadNetwork.networkChanged"])");
        row("role", "Session.setRole", R"({"role":"observer"})", R"({"role":"observer","allowed_commands":["RoadNetwork.getRouteList",
            "RoadNetwork.getRouteGeometry","RoadNetwork.getTimelineData2","RoadNetwork.getTimelineData","VDTService.getVdtList","VDTService.getVdtGeometry",
            "VDTService.getVdtProperties","TLService.getTlcProperties","BoardsServer.getBoards","BoardsServer.getBoardData","PserverApp.getWebUrl","subscribe","Session.setRole"]})");
        QTest::newRow("string id") << R"({"jsonrpc":"2.0","id":"x","method":"PserverApp.getWebUrl"})"
                                   << R"({"jsonrpc":"2.0","id":"x","result":"http://127.0.0.1:$port/web/"})";
        // Frames that are no request: the frame, the id answered and the error.
        const char *const invalid[][4] = {
                {"not JSON", "jsonrpc 2.0", "null", R"(-32700,"message":"Parse error: illegal value")"},
                {"batch", R"([{"jsonrpc":"2.0","id":1,"method":"PserverApp.getWebUrl"}])", "null", R"(-32600,"message":"Invalid request: one JSON object per frame, no batches")"},
                {"id an object", R"({"jsonrpc":"2.0","id":{},"method":"PserverApp.getWebUrl"})", "null", R"(-32600,"message":"Invalid request: id must be an integer or a string")"},
                {"version 1.0", R"({"jsonrpc":"1.0","id":3,"method":"PserverApp.getWebUrl"})", "3", "-32600,\"message\":\"Invalid request: jsonrpc must be \\\"2.0\\\"\""},
                {"method a number", R"({"jsonrpc":"2.0","id":4,"method":5})", "4", R"(-32600,"message":"Invalid request: method must be a non-empty string")"},
                {"params a string", R"({"jsonrpc":"2.0","id":5,"method":"PserverApp.getWebUrl","params":"x"})", "5", R"(-32600,"message":"Invalid request: params must be an object or an array")"},
                {"unknown method", R"({"jsonrpc":"2.0","id":"abc","method":"RoadNetwork.fly"})", R"("abc")", R"(-32601,"message":"Method not found: RoadNetwork.fly")"},
        };
        for (const auto &r : invalid)
            QTest::newRow(r[0]) << r[1] << QStringLiteral(R"({"jsonrpc":"2.0","id":%1,"error":{"code":%2}})").arg(r[2], r[3]);
        // Bad params: the method, its params and the message after "Invalid params: ".
        const char *const badParams[][4] = {
                {"id as text", "RoadNetwork.getRouteGeometry", R"({"id":"1"})", "'id' must be an integer"},
                {"unknown route", "RoadNetwork.getRouteGeometry", R"({"id":99})", "unknown route 99"},
                {"unknown board", "BoardsServer.getBoardData", R"({"name":"X"})", "unknown board 'X'"},
                {"a list for an object", "VDTService.getVdtGeometry", "[1]", "params must be an object"},
                {"removal with a flat list", "BoardsServer.removeBoardsData", R"(["B1"])", "expected [[board names]]"},
                {"activate missing", "VDTService.setVdtActive", R"({"id":1,"active":true})", "'activate' must be a boolean"},
                {"props missing", "VDTService.changeVdtProperties", R"({"id":1})", "'props' must be an object"},
                {"read-only property", "BoardsServer.changeBoardProperties", R"({"board_name":"B1","props":{"logged_in":false}})", "Property 'logged_in' cannot be changed"},
                {"one unknown property: all or nothing", "BoardsServer.changeBoardProperties", R"({"board_name":"B1","props":{"locked":true,"colour":"red"}})",
                 "Unknown property 'colour'"},
                {"sweep beyond a circle", "BoardsServer.changeBoardProperties", R"({"board_name":"E1","props":{"sweep":361}})",
                 "Property 'sweep' must be an integer from 0 to 360"},
                {"unknown mode", "TLService.changeTlcProperties", R"({"id":1,"props":{"mode":"disco"}})", "Property 'mode' must be one of auto, manual, flash, off"},
                {"assign to an unknown route", "RoadNetwork.assignBoardToRoute", R"({"board_name":"B1","route_id":42})", "Unknown route 42"},
                {"unknown role", "Session.setRole", R"({"role":"admin"})", "'role' must be one of operator, observer"},
                {"subscribe without a list", "subscribe", R"({"events":"all"})", "'events' must be a list of names"},
        };
        for (const auto &r : badParams)
            row(r[0], r[1], r[2], "{\"code\":-32602,\"message\":\"Invalid params: " + QLatin1String(r[3]) + "\"}");
    }
    void wire()
    {
        QFETCH(QString, request);
        QFETCH(QString, answer);
        const QString before = worldText();
        client->socket.sendTextMessage(request);
        QVERIFY(client->waitFor([&] { return !client->answers.isEmpty(); }));
        const QJsonValue got = client->answers.takeFirst();
        QCOMPARE(text(blurred(got)), expected(answer));
        if (got.toObject().contains("error"))
            QCOMPARE(worldText(), before);
        QVERIFY(client->sync());
    }

    // Every accepted command answers and sends its notification with the whole record, also
    // when nothing changed (the record is the server's own, so a change it did not keep shows);
    // an observer's is refused and changes nothing.
    void commands_data()
    {
        QTest::addColumn<QString>("method");
        QTest::addColumn<QString>("params");
        QTest::addColumn<QString>("result");
        QTest::addColumn<QString>("notification"); // "method params", or empty
        QTest::addColumn<QString>("then");         // "method params result" of a query afterwards, or empty
        const QString b2 = R"(BoardsServer.boardPropertiesChanged {"locked":false,"route_id":2,"description":"Bus B2","last_connected_time":"$now",)"
                           R"("logged_in":true,"allow_emergency":false,"radius":0,"sweep":0,"vehicle_type":"bus","board_name":"B2"})";
        const QString d1 = R"(VDTService.vdtPropertiesChanged {"id":1,"name":"D1","emergency":false,"routes":[1],"tl_number":1,"weight":2,)"
                           R"("locked":false,"geometry_hash":"d1","state":"idle","activated":false})";
        const QString d2 = QString(d1).replace("\"id\":1,\"name\":\"D1\"", "\"id\":2,\"name\":\"D2\"").replace("\"weight\":2", "\"weight\":1").replace("d1", "d2");
        const auto row = [](const char *name, const char *method, const char *params, const char *result, const QString &notification, const QString &then = {}) {
            QTest::newRow(name) << method << params << result << notification << then;
        };
        row("no change", "BoardsServer.changeBoardProperties", R"({"board_name":"B2","props":{}})", "true", b2);
        row("board properties", "BoardsServer.changeBoardProperties",
            R"({"board_name":"B2","props":{"description":"Night bus","allow_emergency":true,"radius":2000,"sweep":360}})", "true",
            QString(b2).replace("Bus B2", "Night bus").replace("false,\"radius\":0,\"sweep\":0", "true,\"radius\":2000,\"sweep\":360"));
        row("route by property", "BoardsServer.changeBoardProperties", R"({"board_name":"B2","props":{"route_id":1}})", "true",
            QString(b2).replace(":2,", ":1,"));
        row("route properties", "RoadNetwork.changeRouteProperties", R"({"id":2,"props":{"locked":true,"name":"2N","description":"North"}})", "true",
            R"(RoadNetwork.routePropertiesChanged {"id":2,"name":"2N","description":"North","locked":true,"geometry_hash":"r2"})");
        const QString gate = text(QStringLiteral("Gate \"A\"\\1\n\x1f"));
        QTest::newRow("rename detector: quotes, backslash, control characters")
                << "VDTService.changeVdtProperties" << R"({"id":1,"props":{"name":)" + gate + R"(,"weight":0,"tl_number":7}})" << "true"
                << QString(d1).replace("\"D1\"", gate).replace("\"tl_number\":1,\"weight\":2", "\"tl_number\":7,\"weight\":0") << QString();
        row("activate detector", "VDTService.setVdtActive", R"({"id":2,"activate":true})", "true",
            QString(d2).replace("\"idle\",\"activated\":false", "\"active\",\"activated\":true"));
        row("controller: no notification", "TLService.changeTlcProperties",
            R"({"id":1,"props":{"mode":"flash","name":"J","program":"P2","priority_enabled":false,"cycle_s":30}})", "true", "",
            R"(TLService.getTlcProperties {"id":1} {"id":1,"number":1,"name":"J","pos":"*","mode":"flash","program":"P2","priority_enabled":false,)"
            R"("cycle_s":30,"detectors":[1,2,3]})");
        row("remove boards", "BoardsServer.removeBoardsData", R"([["B2","nobody","D1","B2"]])", R"(["B2","D1"])",
            R"(BoardsServer.boardsRemoved ["B2","D1"])", R"(BoardsServer.getBoardData {"name":"D1"} null)");
        row("remove nobody", "BoardsServer.removeBoardsData", R"([["nobody"]])", "[]", "");
    }
    void commands()
    {
        QFETCH(QString, method);
        QFETCH(QString, params);
        QFETCH(QString, result);
        QFETCH(QString, notification);
        QFETCH(QString, then);
        QVERIFY(client->subscribe(notificationNames().mid(0, 9)));
        QCOMPARE(text(client->call(method, json(params))), result);
        QVERIFY(client->sync());
        QStringList seen;
        for (const QJsonValue &n : client->notifications.mid(1))
            seen << n["method"].toString() + ' ' + text(blurred(n["params"]));
        QCOMPARE(seen.join('\n'), notification.isEmpty() ? QString() : notification.section(' ', 0, 0) + ' ' + expected(notification.section(' ', 1)));
        if (!then.isEmpty())
            QCOMPARE(text(blurred(client->call(then.section(' ', 0, 0), json(then.section(' ', 1, 1))))), expected(then.section(' ', 2)));
    }
    void observerIsRefused_data() { commands_data(); }
    void observerIsRefused()
    {
        QFETCH(QString, method);
        QFETCH(QString, params);
        QVERIFY(client->call("Session.setRole", QJsonObject{{"role", "observer"}}).isObject());
        QVERIFY(client->subscribe(notificationNames().mid(0, 9)));
        const QString before = worldText();
        QCOMPARE(text(client->request(method, json(params))["error"]), R"({"code":-32000,"message":"Permission denied"})");
        QVERIFY(client->sync());
        QCOMPARE(worldText(), before);
        QCOMPARE(client->notifications.size(), 2); // the greeting, and the new role's commands
    }

    // Every client is greeted with its role's commands, and told again when its role
    // changes, from its own request or from the embedder; new clients get the server's role.
    void roles()
    {
        RawClient other, late;
        QVERIFY(other.open(server->url()));
        const QJsonValue observer = client->call("Session.setRole", QJsonObject{{"role", "observer"}});
        QVERIFY(client->sync() && other.sync() && other.notifications.size() == 1);
        QCOMPARE(client->received("Session.allowedCommandsChanged").mid(1), QStringList{text(observer)});
        QCOMPARE(server->clientRoles(), (QStringList{"observer", "operator"}));
        QVERIFY(!server->setRole("admin") && server->setRole("observer") && server->setRole("observer"));
        QVERIFY(client->sync() && other.sync() && client->notifications.size() == 2);
        QCOMPARE(other.received("Session.allowedCommandsChanged").mid(1), QStringList{text(observer)});
        QVERIFY(late.open(server->url()));
        QCOMPARE(late.received("Session.allowedCommandsChanged"), QStringList{text(observer)});
    }

    // A client gets what it subscribed to, subscriptions add up, and positions go only to
    // who asked for them: one per logged-in board and tick, matched onto the route only for
    // a board on the route it is assigned to, without a course at the depot.
    void subscriptionsAndPositions()
    {
        RawClient other;
        QVERIFY(other.open(server->url()));
        QVERIFY(client->subscribe({"RoadNetwork.routePropertiesChanged"}) && other.subscribe({"BoardsServer.boardPropertiesChanged"}));
        QVERIFY(client->call("RoadNetwork.changeRouteProperties", json(R"({"id":1,"props":{}})")).toBool());
        QVERIFY(other.call("BoardsServer.changeBoardProperties", json(R"({"board_name":"B1","props":{}})")).toBool());
        QCOMPARE(text(client->call("subscribe", json(R"({"events":["BoardsServer.boardPosition"]})"))),
                 R"(["BoardsServer.boardPosition","RoadNetwork.routePropertiesChanged"])");
        server->step(1.0);
        QVERIFY(client->sync() && other.sync());
        QCOMPARE(other.received("BoardsServer.boardPropertiesChanged").size() + 1, other.notifications.size());
        QCOMPARE(client->received("RoadNetwork.routePropertiesChanged").size(), 1);
        QStringList keys;
        for (const QString &p : client->received("BoardsServer.boardPosition"))
            keys << json(p)["board_name"].toString() + ':' + json(p).toObject().keys().join(',');
        keys.sort();
        QCOMPARE(keys.join(' '), "B1:board_name,course,offset_s,pos,rpos,speed,time,weight B2:board_name,course,offset_s,pos,rpos,speed,time,weight "
                                 "D1:board_name,offset_s,pos,speed,time,weight E1:board_name,course,offset_s,pos,speed,time,weight");
    }

    // The states a detector reports for a board passing it, one notification per change,
    // and the cases that report nothing.
    void detectorStates_data()
    {
        QTest::addColumn<QStringList>("setup"); // "method params" requests, or "place along" for B1 on route 1
        QTest::addColumn<QString>("board");
        QTest::addColumn<int>("detector");
        QTest::addColumn<QStringList>("states");
        const QStringList passing{"inside", "active", "idle"};
        QTest::newRow("with a check-in point") << QStringList{"place 370"} << "B1" << 1 << passing;
        QTest::newRow("without: on entry") << QStringList{"place 120"} << "B1" << 2 << QStringList{"active", "idle"};
        QTest::newRow("emergency sector") << QStringList() << "E1" << 3 << passing;
        QTest::newRow("sector: not an emergency board") << QStringList{"place 590"} << "B1" << 3 << QStringList();
        QTest::newRow("locked board") << QStringList{"place 370", R"(BoardsServer.changeBoardProperties {"board_name":"B1","props":{"locked":true}})"}
                                      << "B1" << 1 << QStringList();
        QTest::newRow("locked detector") << QStringList{"place 370", R"(VDTService.changeVdtProperties {"id":1,"props":{"locked":true}})"}
                                         << "B1" << 1 << QStringList();
        QTest::newRow("locked sector") << QStringList{R"(VDTService.changeVdtProperties {"id":3,"props":{"locked":true}})"} << "E1" << 3 << QStringList();
        QTest::newRow("unassigned from the route it drives") << QStringList{"place 370", R"(RoadNetwork.unassignBoard {"board_name":"B1"})"}
                                                             << "B1" << 1 << QStringList();
        QTest::newRow("assigned: moved onto the route")
                << QStringList{R"(RoadNetwork.assignBoardToRoute {"board_name":"B2","route_id":1})"} << "B2" << 2 << QStringList{"active", "idle"};
    }
    void detectorStates()
    {
        QFETCH(QStringList, setup);
        QFETCH(QString, board);
        QFETCH(int, detector);
        QFETCH(QStringList, states);
        QVERIFY(client->subscribe({"VDTService.vdtStateChanged"}));
        for (const QString &step : setup) {
            if (step.startsWith("place"))
                QVERIFY(server->world().placeBoard("B1", 1, step.section(' ', 1).toDouble()));
            else
                QCOMPARE(client->call(step.section(' ', 0, 0), json(step.section(' ', 1))), QJsonValue(true));
        }
        QCOMPARE(statesSeen(detector, board, states.isEmpty() ? 99 : states.size()), states);
    }

    // New geometry comes with new hashes, in the lists and the geometry answers, and is
    // announced. A withdrawn route is gone from the answers until it comes back, last.
    void networkChanges()
    {
        QVERIFY(client->subscribe({"RoadNetwork.networkChanged"}));
        const QJsonValue before = client->call("RoadNetwork.getRouteGeometry", QJsonObject{{"id", 1}});
        QCOMPARE(server->changeNetwork(1, 1).detectors, QVector<int>{1});
        const QJsonValue changed = client->call("RoadNetwork.getRouteGeometry", QJsonObject{{"id", 1}});
        QStringList hashes;
        for (const char *list : {"RoadNetwork.getRouteList", "VDTService.getVdtList"}) {
            for (const QJsonValue &v : client->call(list).toArray())
                hashes << v["geometry_hash"].toString();
        }
        QVERIFY(changed["geometry"] != before["geometry"] && changed["geometry_hash"] == hashes.first());
        QVERIFY2(QRegularExpression("^[0-9a-f]+ r2 [0-9a-f]+ d2 d3$").match(hashes.join(' ')).hasMatch(), qPrintable(hashes.join(' ')));
        QCOMPARE(client->call("VDTService.getVdtGeometry", QJsonObject{{"id", 1}})["checkin_length"], 41);
        QCOMPARE(server->changeNetwork(2, 2).routes, (QVector<int>{2, 1}));
        QCOMPARE(client->call("VDTService.getVdtGeometry", QJsonObject{{"id", 3}})["radius"], 105);
        QVERIFY(server->world().withdrawRoute(1) && !server->world().withdrawRoute(1));
        server->flushNotifications();
        QCOMPARE(client->call("RoadNetwork.getRouteList").toArray().size(), 1);
        QCOMPARE(client->request("RoadNetwork.getRouteGeometry", QJsonObject{{"id", 1}})["error"]["code"], -32602);
        QVERIFY(server->world().restoreRoute(1) && !server->world().restoreRoute(1));
        server->flushNotifications();
        QCOMPARE(client->call("RoadNetwork.getRouteList")[1]["id"], 1);
        QVERIFY(client->sync());
        QCOMPARE(client->received("RoadNetwork.networkChanged"), (QStringList{R"({"detectors":[1],"routes":[1]})", R"({"detectors":[2,3],"routes":[2,1]})",
                                                                             R"({"detectors":[],"routes":[1]})", R"({"detectors":[],"routes":[1]})"}));
    }

    // A request without id is carried out and not answered; a binary frame gets -32600; a
    // frame over 1 MiB closes the connection.
    void framing()
    {
        QVERIFY(client->subscribe({"RoadNetwork.routePropertiesChanged"}));
        client->socket.sendTextMessage(R"({"jsonrpc":"2.0","method":"RoadNetwork.changeRouteProperties","params":{"id":2,"props":{"locked":true}}})");
        client->socket.sendTextMessage(R"({"jsonrpc":"2.0","method":"RoadNetwork.fly"})");
        client->socket.sendBinaryMessage("{}");
        QVERIFY(client->sync());
        QCOMPARE(client->received("RoadNetwork.routePropertiesChanged").size(), 1);
        QVERIFY(server->world().route(2)->locked);
        QCOMPARE(text(client->answers), R"([{"error":{"code":-32600,"message":"Invalid request: send JSON in text frames"},"id":null,"jsonrpc":"2.0"}])");
        QSignalSpy gone(&client->socket, &QWebSocket::disconnected);
        client->socket.sendTextMessage(QString(int(Server::MaxRequestBytes), ' ') + R"({"jsonrpc":"2.0","id":1,"method":"PserverApp.getWebUrl"})");
        QVERIFY(gone.wait(5000));
        QTRY_COMPARE(server->clientCount(), 0);
        QCOMPARE(client->answers.size(), 1);
    }

    void commandLineRefusals_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("error");
        const QString listen = "--listen wants ADDRESS:PORT, for example 127.0.0.1:8765";
        QTest::newRow("listen without an address") << QStringList{"--listen", ":8765"} << listen;
        QTest::newRow("a one-letter address is an address") << QStringList{"--listen", "1:0"} << "cannot listen on 1:0: ";
        QTest::newRow("unknown role") << QStringList{"--role", "admin"} << "--role must be one of operator, observer";
        QTest::newRow("certificate without key") << QStringList{"--tls-cert", "x.pem"} << "--tls-cert and --tls-key go together";
        QTest::newRow("speed without replay") << QStringList{"--speed", "2"} << "--speed goes with --replay";
        QTest::newRow("replay too fast") << QStringList{"--replay", "x", "--speed", "1025"} << "--speed must be a number from 0.015625 to 1024";
        QTest::newRow("no recording") << QStringList{"--replay", "/nonexistent"} << "recording refused: ";
        QTest::newRow("period not a number") << QStringList{"--period", "fast"} << "--period must be a whole number from 0 to 3600000";
        QTest::newRow("no feed") << QStringList{"--gtfs", "/nonexistent"} << "GTFS feed refused: ";
    }
    void commandLineRefusals()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, error);
        QProcess sim;
        sim.start(QStringLiteral(PRIO_SIM), args);
        QVERIFY(sim.waitForFinished(20000));
        QCOMPARE(sim.exitCode(), 2);
        const QString said = QString::fromUtf8(sim.readAllStandardError()).trimmed().section(QLatin1Char('\n'), -1);
        QVERIFY2(said.startsWith("prio-sim: " + error) && (error.endsWith(' ') || said == "prio-sim: " + error), qPrintable(said));
    }

    // prio-sim serves on the address given, ticking in real time, records until it is told
    // to stop (the end line is written on a kill), and replays that recording to observers.
    void commandLineRecordsAndReplays()
    {
        QTemporaryDir dir;
        const QString file = dir.filePath("run.jsonl");
        const auto serve = [](QProcess &sim, const QStringList &args, const QString &says) {
            sim.start(QStringLiteral(PRIO_SIM), args + QStringList{"--listen", "127.0.0.1:0"});
            while (sim.canReadLine() || sim.waitForReadyRead(20000)) {
                const QString line = QString::fromUtf8(sim.readLine()).trimmed();
                if (line.startsWith(says))
                    return QUrl(line.mid(says.size()).section(' ', 0, 0));
            }
            return QUrl();
        };
        QProcess live, replay;
        RawClient a, b;
        QVERIFY(a.open(serve(live, {"--routes", "2", "--boards", "4", "--period", "20", "--record", file, "--role", "observer"}, "prio-sim listening on ")));
        QVERIFY(a.received("Session.allowedCommandsChanged").first().endsWith(R"(],"role":"observer"})"));
        QVERIFY(a.subscribe({"BoardsServer.boardPosition"}));
        QVERIFY(a.waitFor([&] { return a.received("BoardsServer.boardPosition").size() >= 8; }));
        const QJsonValue routes = a.call("RoadNetwork.getRouteList");
        QCOMPARE(routes.toArray().size(), 2);
        live.terminate();
        QVERIFY(live.waitForFinished(10000) && live.exitCode() == 0);
        QFile recorded(file);
        QVERIFY(recorded.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = recorded.readAll().trimmed().split('\n');
        QVERIFY(lines.first().startsWith(R"({"period_ms":20,"recording":"prio-sim",)") && lines.last().startsWith(R"({"end":true,"t":)"));
        QVERIFY(b.open(serve(replay, {"--replay", file, "--speed", "2"}, "prio-sim replaying on ")));
        QCOMPARE(b.call("RoadNetwork.getRouteList"), routes);
        QCOMPARE(b.request("RoadNetwork.unassignBoard", QJsonObject{{"board_name", "x"}})["error"]["code"], -32000);
        // It plays to the end on its own, and says so.
        QByteArray said;
        QVERIFY(QTest::qWaitFor([&] { return (said += replay.readAllStandardOutput()).contains("replay finished at "); }, 20000));
        replay.kill();
        QVERIFY(replay.waitForFinished(10000));
    }
};

QTEST_GUILESS_MAIN(tst_SimServer)
#include "tst_simserver.moc"
