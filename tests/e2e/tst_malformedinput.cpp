// A hostile server: a bare WebSocket server of the test's own answers the plug-in's requests
// and pushes notifications with missing keys, wrong types, huge and non-finite values and
// unknown names, through the real JSON-RPC client into the real plug-in module. Nothing may
// crash, hang or grow without bound, and each fault the plug-in has words for is reported.

#include <QImage>
#include <QPainter>
#include <QtTest>

#include <memory>

#include "common/fakeserver.h"
#include "common/logcapture.h"
#include "e2e/agreement.h"

namespace {

using Answers = QHash<QString, QByteArray>;

// The usual network of two routes, one line detector on route 1, one emergency detector and
// one board on route 1: raw JSON text per method (or method#id, method#name for one object).
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

int rowsBelow(const QAbstractItemModel *model, const QModelIndex &parent = QModelIndex())
{
    int n = model->rowCount(parent);
    for (int row = 0; row < model->rowCount(parent); ++row)
        n += rowsBelow(model, model->index(row, 0, parent));
    return n;
}

// The routes, detectors and boards registered, the tree's rows and the scene's items.
QVector<int> counts(DemoHost &host)
{
    const E2e::SceneObjects objects = E2e::sceneObjects(host.scene());
    return {objects.routes.size(), objects.detectors.size(), objects.boards.size(), rowsBelow(host.itemModel()),
            host.scene()->items().size()};
}

// The host, the plug-in and the hostile server, connected and loaded.
struct Fixture
{
    std::unique_ptr<FakeServer> server; // goes last
    std::unique_ptr<E2e::Host> host;

    bool start(const Answers &answers)
    {
        server = std::make_unique<FakeServer>();
        server->answers = answers;
        server->greeting = QStringLiteral(
            R"({"jsonrpc":"2.0","method":"Session.allowedCommandsChanged","params":{"role":"operator",)"
            R"("allowed_commands":["RoadNetwork.assignBoardToRoute","RoadNetwork.unassignBoard",)"
            R"("BoardsServer.setLockBoard","RoadNetwork.setLockRoute","VDTService.setLockVdt"]}})");
        host = std::make_unique<E2e::Host>();
        if (!server->listen() || !host->start())
            return false;
        host->host.connectToServer(server->url());
        return true;
    }
    // Loading done: the subscription went out and nothing is outstanding.
    bool loaded() const
    {
        return server->requestCount(QStringLiteral("subscribe")) >= 1 && host->host.rpcClient()->pendingCount() == 0;
    }
    // Everything the server sent before now has been handled, and the requests the handled
    // messages made have their answers too.
    bool settle()
    {
        DemoHost &h = host->host;
        return E2e::roundTrip(h, 60000) && QTest::qWaitFor([&h] { return h.rpcClient()->pendingCount() == 0; }, 5000)
            && E2e::roundTrip(h, 60000);
    }
    bool stillRunning() const
    {
        return host->host.plugin().rpcObject() == host->host.rpcClient() && host->host.rpcClient()->isConnected();
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
    void initTestCase() { QVERIFY(E2e::freshCache("tst_malformedinput")); }

    // The usual network with one loading answer replaced, or followed by one notification,
    // sent again `repeat` times: nothing breaks, what is registered is what the plug-in can
    // make of it (and the same after the repeats), and each fault it has words for is logged.
    void hostileInput_data()
    {
        QTest::addColumn<QString>("key");       // the loading answer replaced, or empty
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<QString>("method");    // the notification sent once loaded, or empty
        QTest::addColumn<QByteArray>("params");
        QTest::addColumn<int>("repeat");
        QTest::addColumn<QString>("warning");   // the plug-in's log line, or empty
        // Routes, routes with geometry (-1: either way, as long as nothing breaks), detectors, boards.
        QTest::addColumn<QVector<int>>("registered");

        const auto note = [](const char *name, const QString &method, const QByteArray &params, const QString &warning, int boards, int repeat = 0) {
            QTest::newRow(name) << QString() << QByteArray() << method << params << repeat << warning << QVector<int>{2, 2, 2, boards};
        };
        const auto list = [](const char *name, const QString &key, const QByteArray &answer, const QString &warning, const QVector<int> &registered) {
            QTest::newRow(name) << key << answer << QString() << QByteArray() << 0 << warning << registered;
        };
        const QString pos = QStringLiteral("BoardsServer.boardPosition");
        const QString props = QStringLiteral("BoardsServer.boardPropertiesChanged");
        const QString removed = QStringLiteral("BoardsServer.boardsRemoved");
        const QString vdtState = QStringLiteral("VDTService.vdtStateChanged");
        const QString vdtProps = QStringLiteral("VDTService.vdtPropertiesChanged");
        const QString routeProps = QStringLiteral("RoadNetwork.routePropertiesChanged");
        const auto noName = [](const QString &m) { return QStringLiteral("warning: [PriorityPlugin] WARN: Invalid %1 event: no 'board_name'").arg(m); };

        note("position without board_name", pos, R"({"time":"2024-01-01T00:00:00","offset_s":3})", noName(pos), 1);
        note("logged in with board_name a list", QStringLiteral("BoardsServer.boardLoggedIn"), R"({"board_name":["B1"]})", noName("BoardsServer.boardLoggedIn"), 1);
        note("properties with empty board_name", props, R"({"board_name":"","locked":true})", noName(props), 1);
        note("properties as a list", props, R"(["B1",true])", noName(props), 1);
        note("detector state without board_name", vdtState, R"({"state":"active","dt":10})", noName(vdtState), 1);
        note("position of an unknown board creates it", pos, R"({"board_name":"ghost","rpos":[37.6,55.75]})", QString(), 2);
        note("position with numbers as strings and out of range", pos,
             R"({"board_name":"B1","pos":["nan","inf"],"rpos":[1e308,-1e308],"speed":1e308,)"
             R"("course":-1e308,"weight":9223372036854775808,"offset_s":"nan","time":"not a time"})", QString(), 1);
        note("position with positions of the wrong shape", pos, R"({"board_name":"B1","pos":{"lon":37.6,"lat":55.7},"rpos":[37.6],"speed":[],"course":{}})",
             QString(), 1);
        note("position at a pole", pos, R"({"board_name":"B1","rpos":[0,90],"pos":[180,-90]})", QString(), 1);
        note("properties of the wrong types", props,
             R"({"board_name":"B1","route_id":"two","locked":"yes","radius":1e308,"sweep":-1e308,)"
             R"("last_connected_time":123,"logged_in":[true],"allow_emergency":{},"description":null})", QString(), 1);
        note("properties with route id 2^63", props, R"({"board_name":"B1","route_id":9223372036854775808})", QString(), 1);
        note("properties with an unknown route", props, R"({"board_name":"B1","route_id":77})",
             QStringLiteral("warning: [PriorityPlugin] WARN: Vehicle B1 assigned to invalid route with id 77"), 1);
        note("boards removed as a map", removed, R"({"names":["B1"]})", QString(), 1);
        note("boards removed with elements of every type", removed, R"([null,1,{"B1":1},["B1"],true,"nobody"])", QString(), 1);
        note("boards removed names one known, one not", removed, R"(["ghost","B1"])", QString(), 0);
        note("detector state of the wrong types", vdtState, R"({"state":5,"dt":"ten","board_name":"B1"})", QString(), 1);
        note("detector state for detector 2^63", vdtState, R"({"state":"active","dt":9223372036854775808,"board_name":"B1"})", QString(), 1);
        note("detector state for an unknown detector and board", vdtState, R"({"state":"active","dt":-1e308,"board_name":"stranger"})", QString(), 2);
        note("detector properties for an unknown id", vdtProps, R"({"id":12345,"locked":true,"routes":[1]})", QString(), 1);
        note("detector properties of the wrong types", vdtProps,
             R"({"id":10,"routes":"1","weight":1e308,"tl_number":-9223372036854775808,"locked":"no","name":[1],"emergency":"yes"})", QString(), 1);
        note("detector properties with id 1e308", vdtProps, R"({"id":1e308,"locked":true})", QString(), 1);
        note("route properties of the wrong types", routeProps, R"({"id":"1","locked":[],"name":{"a":1},"description":null})", QString(), 1);
        note("route properties with id -1e308", routeProps, R"({"id":-1e308,"locked":true})", QString(), 1);
        note("deeply nested params", props, R"({"board_name":"B1","description":)" + nested(900, "1") + R"(,"route_id":)" + nested(900, "2") + "}",
             QString(), 1);
        note("nested deeper than the parser takes", props, nested(5000, R"({"board_name":"deep"})"), QString(), 1);
        note("unknown notification", QStringLiteral("Nobody.knows"), R"({"board_name":"B9"})", QString(), 1);
        note("network changed with garbage", QStringLiteral("RoadNetwork.networkChanged"), R"([1,2,{"x":null}])", QString(), 1);
        // The same huge message again and again.
        const QByteArray big(3 << 20, 'x');
        note("huge description", props, R"({"board_name":"B1","description":")" + big + R"("})", QString(), 1, 20);
        note("huge board name", pos, R"({"board_name":")" + big + R"(","rpos":[37.6,55.75]})", QString(), 2, 20);
        note("huge state word", vdtState, R"({"dt":10,"board_name":"B1","state":")" + big + R"("})", QString(), 1, 20);
        // Many small elements rather than a few big ones: every element is an allocation,
        // which the sanitizer build with full malloc stacks makes slow.
        note("huge removal list", removed, "[" + QByteArray("\"nobody\",").repeated(20000) + "\"nobody\"]", QString(), 1, 20);

        const QString routeList = QStringLiteral("RoadNetwork.getRouteList");
        const QString vdtList = QStringLiteral("VDTService.getVdtList");
        const QString route1 = QStringLiteral("RoadNetwork.getRouteGeometry#1");
        const QString badRouteId = QStringLiteral("warning: [PriorityPlugin] WARN: Invalid route id on getting route list");
        const QString badVdtId = QStringLiteral("warning: [PriorityPlugin] WARN: Invalid detector id on getting detector list");
        const QString noGeometry = QStringLiteral("warning: [PriorityPlugin] WARN: Route 1 has no geometry");
        const QVector<int> oneRouteWithout{2, 1, 2, 1};
        // With no route 1, the line detector binds to nothing and the board's route is unknown.
        list("route list a map", routeList, R"({"id":1,"name":"R1"})",
             QStringLiteral("warning: [PriorityPlugin] WARN: Malformed answer to 'RoadNetwork.getRouteList': the route list is not a list"), {0, 0, 2, 1});
        list("route list entries without usable ids", routeList,
             R"([{"id":"abc","geometry_hash":"x"},{"id":null},{"name":"no id"},{"id":[1]},{"id":{}},7,"R",null,)"
             R"({"id":1,"name":"R1","geometry_hash":"h1"}])", badRouteId, {1, 1, 2, 1});
        list("route ids out of int range", routeList,
             R"([{"id":1e308,"geometry_hash":"x"},{"id":-1e308},{"id":9223372036854775808},{"id":4294967297},)"
             R"({"id":1,"name":"R1","geometry_hash":"h1"}])", badRouteId, {1, 1, 2, 1});
        list("route record fields of the wrong types", routeList,
             R"([{"id":1,"name":["R1"],"locked":"yes","description":{"a":1},"geometry_hash":"h1"},{"id":2,"name":null,"geometry_hash":12}])",
             QString(), {2, 2, 2, 1});
        list("detector list a string", vdtList, R"("detectors")",
             QStringLiteral("warning: [PriorityPlugin] WARN: Malformed answer to 'VDTService.getVdtList': the detector list is not a list"), {2, 2, 0, 1});
        list("detector list entries without usable ids", vdtList,
             R"([{"id":"x","routes":[1]},{"routes":[1]},{"id":1e308,"routes":[1]},{"id":9223372036854775808,"emergency":true},)"
             R"(5,null,{"id":11,"name":"E11","emergency":true,"geometry_hash":"g11"}])", badVdtId, {2, 2, 1, 1});
        // "no" is a true bool to Qt, so detector 10 counts as an emergency detector.
        list("detector records of the wrong types", vdtList,
             R"([{"id":10,"routes":"1","emergency":"no","weight":1e308,"tl_number":"x","geometry_hash":"g10"},)"
             R"({"id":11,"emergency":true,"routes":{"a":1},"state":7,"board_name":["B1"],"geometry_hash":"g11"}])", QString(), {2, 2, 2, 1});
        list("detector routes unknown, huge and many", vdtList,
             R"([{"id":10,"routes":[1,99,1e308,-1e308,9223372036854775808,"1"],"geometry_hash":"g10"},{"id":11,"emergency":true,"geometry_hash":"g11"}])",
             QStringLiteral("warning: [PriorityPlugin] WARN: Invalid route 99 in detector 10"), {2, 2, 2, 1});
        list("board list a list", QStringLiteral("BoardsServer.getBoards"), R"(["B1","B2"])", QString(), {2, 2, 2, 0});
        list("board records of the wrong types", QStringLiteral("BoardsServer.getBoards"),
             R"({"B1":"bus","B2":[1,2],"B3":null,"B4":{"route_id":"1","locked":"no","radius":1e308,"sweep":-1e308,)"
             R"("logged_in":1,"last_connected_time":"yesterday"},"B5":{"route_id":1e308},"B6":{"route_id":-5}})", QString(), {2, 2, 2, 6});
        list("route geometry with NaN", route1, R"({"geometry":"nan,nan 37.6,55.7","geometry_hash":"h1"})", QString(), oneRouteWithout);
        list("route geometry with infinity", route1, R"({"geometry":"37.6,55.7 inf,55.7 -inf,-inf","geometry_hash":"h1"})", QString(), oneRouteWithout);
        list("route geometry with 1e308", route1, R"({"geometry":"1e308,1e308 37.6,55.7","geometry_hash":"h1"})", QString(), oneRouteWithout);
        list("route geometry through the poles", route1, R"({"geometry":"0,90 0,-90 180,90 -180,-90","geometry_hash":"h1"})", QString(), {2, -1, 2, 1});
        list("route geometry of 100 000 points", route1, R"({"geometry":")" + manyPoints(100000) + R"(","geometry_hash":"h1"})", QString(), {2, 2, 2, 1});
        list("route geometry of 100 001 points", route1, R"({"geometry":")" + manyPoints(100001) + R"(","geometry_hash":"h1"})", QString(), oneRouteWithout);
        list("route geometry not a string", route1, R"({"geometry":[[37.6,55.7],[37.7,55.8]],"geometry_hash":"h1"})", noGeometry, oneRouteWithout);
        list("route geometry answer a string", route1, R"("37.6,55.7 37.7,55.8")", noGeometry, oneRouteWithout);
        list("detector geometry with NaN and a huge sector", QStringLiteral("VDTService.getVdtGeometry#11"),
             R"({"id":11,"emergency":true,"pos":["nan",55.7],"radius":1e308,"directionAngle":"inf","sweepAngle":-1e308})", QString(), {2, 2, 2, 1});
        list("detector geometry of a few megabytes", QStringLiteral("VDTService.getVdtGeometry#10"),
             R"({"id":10,"routes":[1],"geometry":")" + QByteArray(4 << 20, '7') + R"(,55.7 37.6,55.7"})", QString(), {2, 2, 2, 1});
    }
    void hostileInput()
    {
        QFETCH(QString, key);
        QFETCH(QByteArray, answer);
        QFETCH(QString, method);
        QFETCH(QByteArray, params);
        QFETCH(int, repeat);
        QFETCH(QString, warning);
        QFETCH(QVector<int>, registered);

        Answers answers = goodAnswers();
        if (!key.isEmpty())
            answers.insert(key, answer);
        LogCapture log;
        Fixture f;
        QVERIFY(f.start(answers));
        QTRY_VERIFY_WITH_TIMEOUT(f.loaded(), 20000);
        QVERIFY(f.settle());
        DemoHost &host = f.host->host;
        if (!method.isEmpty()) {
            QCOMPARE(counts(host).mid(0, 3), (QVector<int>{2, 2, 1}));
            f.server->notify(method, params);
            // A board made by the notification asks for its data: wait for that too.
            QVERIFY(f.settle());
        }
        const QVector<int> first = counts(host);
        for (int i = 0; i < repeat; ++i)
            f.server->notify(method, params);
        QVERIFY(f.settle());
        QVERIFY(f.stillRunning());
        QCOMPARE(counts(host), first);
        QCOMPARE(first.mid(0, 3), (QVector<int>{registered[0], registered[2], registered[3]}));

        QObjectList routes;
        QVERIFY(QMetaObject::invokeMethod(host.pluginObject(), "getRoutes", Q_RETURN_ARG(QObjectList, routes)));
        QCOMPARE(routes.size(), registered[0]);
        const int withGeometry = std::count_if(routes.cbegin(), routes.cend(), [](QObject *r) { return r->property("hasGeometry").toBool(); });
        if (registered[1] >= 0)
            QCOMPARE(withGeometry, registered[1]);
        // A notification's fault is told once; a list's once for each entry at fault.
        if (!warning.isEmpty()) {
            const int told = log.count(warning);
            QVERIFY2(method.isEmpty() ? told >= 1 : told == 1, qPrintable(log.lines().join(QLatin1Char('\n'))));
        }
        for (const QString &line : log.lines())
            QVERIFY2(!line.startsWith(QLatin1String("critical")), qPrintable(line));
        // The scene still paints whatever it holds.
        QImage image(200, 200, QImage::Format_ARGB32);
        QPainter painter(&image);
        host.scene()->render(&painter);
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
        QVERIFY(f.settle());
        QCOMPARE(f.server->requestCount(QStringLiteral("BoardsServer.getBoardData")), 5);
        const E2e::SceneObjects objects = E2e::sceneObjects(f.host->host.scene());
        QVERIFY(objects.boards.size() == 6 && objects.boards.contains(QStringLiteral("N4")));
    }
};

QTEST_MAIN(tst_MalformedInput)
#include "tst_malformedinput.moc"
