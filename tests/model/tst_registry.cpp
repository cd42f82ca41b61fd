// The registries and the tree sections, the restore from the geometry cache, and the loading
// of routes, detectors and boards: a row is the cache and the answers in, the tree, the
// requests, the log and the cache out.

#include <QtTest>

#include <algorithm>

#include "items/prioroute.h"
#include "items/priovdetector.h"
#include "items/priovehicle.h"
#include "plugin/scriptedhost.h"

namespace {

const QString kNetworkChanged = "notify RoadNetwork.networkChanged {}";

// The boards as "B7 active [7]", with " hidden" for one the filters reject.
QString boards(const PriorityPlugin *plugin)
{
    QStringList lines;
    for (PrioVehicle *vehicle : plugin->boardRegistry()) {
        QList<int> ids = vehicle->activeDetectors();
        std::sort(ids.begin(), ids.end());
        QStringList idTexts;
        for (int id : ids)
            idTexts << QString::number(id);
        lines << QStringLiteral("%1 %2 [%3]%4")
                     .arg(vehicle->name(), vehicle->priorityState().isEmpty() ? "-" : vehicle->priorityState(),
                          idTexts.join(' '), vehicle->isFilterAccepted() ? "" : " hidden");
    }
    lines.sort();
    return lines.join(", ");
}

} // namespace

class tst_Registry : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { useTestStorage("tst_registry"); }

    void loading_data()
    {
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<QString>("tree");
        QTest::addColumn<QStringList>("requests");
        QTest::addColumn<QStringList>("log");
        QTest::addColumn<QString>("cached"); // keys, or the whole file when it starts with {
        const QStringList none;
        const QString empty = sections("");
        const QString route5 = sections("5[Boards, Detectors]");
        auto row = [](const char *name, const QStringList &steps, const QString &tree, const QStringList &requests = {},
                      const QStringList &log = {}, const QString &cached = "-") {
            QTest::newRow(name) << steps << tree << requests << log << cached;
        };
        auto geometry = [](int id) { return QStringLiteral(R"(RoadNetwork.getRouteGeometry {"id":%1})").arg(id); };
        auto vdtGeometry = [](int id) { return QStringLiteral(R"(VDTService.getVdtGeometry {"id":%1})").arg(id); };
        const QString line = R"("geometry": "30,50 30.001,50.001")";

        row("nothing listed", {"load [] | [] | {}"}, empty);
        row("model gone: no sections, stopped", {"delete-model", "connect"}, "-", none,
            {"ERROR: Error creating section 'Routes'", "INFO: Stop"});
        // Routes and their geometry requests.
        row("new route without a hash", {R"(load [{"id": 1}])"}, sections("1[Boards, Detectors]"));
        row("new route with an empty hash", {R"(load [{"id": 1, "geometry_hash": ""}])"}, sections("1[Boards, Detectors]"));
        row("new route with a hash", {R"(load [{"id": 1, "geometry_hash": "a"}])"}, sections("1[Boards, Detectors]"),
            {geometry(1)});
        const QString cached1 = R"(cache {"routes": {"1": {"id": 1, "geometry_hash": "a", "geometry": "10,50 10.01,50"}}})";
        row("cached, same hash", {cached1, R"(load [{"id": 1, "geometry_hash": "a"}])"}, sections("1[Boards, Detectors]"),
            none, none, "routes[1]");
        row("cached, another hash", {cached1, R"(load [{"id": 1, "geometry_hash": "b"}])"},
            sections("1[Boards, Detectors]"), {geometry(1)}, none, "routes[1]");
        row("cached, listed without a hash", {cached1, R"(load [{"id": 1}])"}, sections("1[Boards, Detectors]"),
            {geometry(1)}, none, "routes[1]");
        row("same id twice asks twice", {R"(load [{"id": 4, "geometry_hash": "a"}, {"id": 4, "geometry_hash": "a"}])"},
            sections("4[Boards, Detectors]"), {geometry(4), geometry(4)});
        row("in list order, id as text, id 0",
            {R"(load [{"id": "17", "geometry_hash": "a"}, {"id": 0, "geometry_hash": "b"}, {"id": 3}])"},
            sections("17[Boards, Detectors], 0[Boards, Detectors], 3[Boards, Detectors]"), {geometry(17), geometry(0)});
        row("bad ids skipped", {R"(load [{"id": "x", "geometry_hash": "a"}, {"geometry_hash": "b"}, {"id": 2, "geometry_hash": "c"}])"},
            sections("2[Boards, Detectors]"), {geometry(2)},
            {"WARN: Invalid route id on getting route list", "WARN: Invalid route id on getting route list"});
        // The restore, before any answer.
        row("restore: keys in order, 0 and abc skipped, unqualified detectors dropped",
            {R"(cache {"routes": {"0": {"id": 0}, "abc": {"id": 1}, "3": {"id": 3}, "12": {"id": 12}},
                     "detectors": {"5": {"id": 5, "routes": []}, "9": {"id": 9, "routes": ["3", "4"]},
                                   "31": {"id": 31, "emergency": true}}})",
             "connect"},
            sections("12[Boards, Detectors], 3[Boards, Detectors[9]]", "", "", "31"), none,
            {"WARN: Invalid route 4 in detector 9"}, "detectors[31 9] routes[0 12 3 abc]");
        row("corrupt cache: skipped silently", {"cache not json", "load [] | [] | {}"}, empty, none, none, "?");
        row("connected twice: the cache's items are duplicates",
            {R"(cache {"routes": {"12": {"id": 12}}, "detectors": {"31": {"id": 31, "emergency": true}}})", "connect",
             "connect"},
            sections("12[Boards, Detectors]", "", "", "31"), none,
            {"WARN: Duplicate route with id 12", "WARN: Duplicate detector with id 31"}, "detectors[31] routes[12]");
        row("disconnection: the tree goes", {R"(load [{"id": 5}] | [{"id": 7, "routes": [5]}] | {"B1": {}})", "disconnect"},
            "", none, {"INFO: RPC object 'fake-rpc' disconnected"});
        row("reconnection: from the cache, geometry not asked again",
            {R"(load [{"id": 12, "geometry_hash": "h7"}] | [] | {"B1": {}})",
             R"(answer RoadNetwork.getRouteGeometry {"geometry": "10,50 10.01,50", "geometry_hash": "h7"})", "disconnect",
             "connect", R"(lists [{"id": 12, "geometry_hash": "h7"}])"},
            sections("12[Boards, Detectors]"), {geometry(12)}, {"INFO: RPC object 'fake-rpc' disconnected"}, "routes[12]");
        row("empty route geometry", {R"(load [{"id": 12, "geometry_hash": "h7"}])",
                                     R"(answer RoadNetwork.getRouteGeometry {"geometry": "", "geometry_hash": "h7"})"},
            sections("12[Boards, Detectors]"), {geometry(12)}, {"WARN: Route 12 has no geometry"});
        row("route geometry that is no object", {R"(load [{"id": 12, "geometry_hash": "h7"}])",
                                                 "answer RoadNetwork.getRouteGeometry [1]"},
            sections("12[Boards, Detectors]"), {geometry(12)}, {"WARN: Route 12 has no geometry"});
        // Detectors: binding, and geometry only where the hash differs.
        row("emergency detector with routes: listed as emergency only",
            {R"(load [{"id": 5}] | [{"id": 3, "emergency": true, "routes": [5]}])"}, sections("5[Boards, Detectors]", "", "", "3"));
        row("several, in list order, route ids as text",
            {R"(load [{"id": 5}] | [{"id": 8, "routes": ["5"]}, {"id": 2, "emergency": true}, {"id": 7, "routes": [5]}])"},
            sections("5[Boards, Detectors[8, 7]]", "", "", "2"));
        row("on route 5 and an unknown route", {R"(load [{"id": 5}] | [{"id": 7, "routes": [9, 5]}])"},
            sections("5[Boards, Detectors[7]]"), none, {"WARN: Invalid route 9 in detector 7"});
        row("only on an unknown route: registered, filed when the route comes",
            {R"(load [{"id": 5}] | [{"id": 7, "routes": [9]}])", kNetworkChanged, R"(lists [{"id": 5}, {"id": 9}])"},
            sections("5[Boards, Detectors], 9[Boards, Detectors[7]]"),
            {"RoadNetwork.getRouteList -", "VDTService.getVdtList -"}, {"WARN: Invalid route 9 in detector 7"});
        row("empty routes: made and dropped, nothing asked",
            {R"(load [{"id": 5}] | [{"id": 7, "routes": [], "geometry_hash": "h", "board_name": "B7"}])"}, route5);
        row("neither routes nor emergency: passed over",
            {R"(load [{"id": 5}] | [{"id": 7, "name": "x", "geometry_hash": "h", "board_name": "B7"}])"}, route5);
        row("no id, no object", {R"(load [{"id": 5}] | [{"routes": [5]}, 42, {"id": 8, "routes": [5]}])"},
            sections("5[Boards, Detectors[8]]"), none,
            {"WARN: Invalid detector id on getting detector list", "WARN: Invalid detector id on getting detector list"});
        row("new detector with a hash", {R"(load [{"id": 5}] | [{"id": 9, "routes": [5], "geometry_hash": "a"},
                                                              {"id": 7, "routes": [5], "geometry_hash": "b"}])"},
            sections("5[Boards, Detectors[9, 7]]"), {vdtGeometry(9), vdtGeometry(7)});
        row("new detector with a hash and a usable line",
            {R"(load [{"id": 5}] | [{"id": 7, "routes": [5], "geometry_hash": "a", )" + line + "}]"},
            sections("5[Boards, Detectors[7]]"));
        row("new detector with a hash and an unusable line",
            {R"(load [{"id": 5}] | [{"id": 7, "routes": [5], "geometry_hash": "a", "geometry": "30,50"}])"},
            sections("5[Boards, Detectors[7]]"), {vdtGeometry(7)});
        const QString cached7 = R"(cache {"routes": {"5": {"id": 5}}, "detectors": {"7": {"routes": ["5"], "geometry_hash": "h1", )"
            + line + "}}}";
        row("cached detector, same hash", {cached7, R"(load [{"id": 5}] | [{"id": 7, "routes": [5], "geometry_hash": "h1"}])"},
            sections("5[Boards, Detectors[7]]"), none, none, "detectors[7] routes[5]");
        row("cached detector, no hash", {cached7, R"(load [{"id": 5}] | [{"id": 7, "routes": [5]}])"},
            sections("5[Boards, Detectors[7]]"), {vdtGeometry(7)}, none, "detectors[7] routes[5]");
        row("cached detector, another hash", {cached7, R"(load [{"id": 5}] | [{"id": 7, "routes": [5], "geometry_hash": "h2"}])"},
            sections("5[Boards, Detectors[7]]"), {vdtGeometry(7)}, none, "detectors[7] routes[5]");
        row("line geometry cached with emergency and routes",
            {R"(load [{"id": 5}] | [{"id": 7, "routes": [5, 9], "geometry_hash": "h1"}])",
             R"(answer VDTService.getVdtGeometry {"geometry_hash": "h1", "checkin_length": 40, )" + line + "}"},
            sections("5[Boards, Detectors[7]]"), {vdtGeometry(7)}, {"WARN: Invalid route 9 in detector 7"},
            R"({"detectors":{"7":{"checkin_length":40,"emergency":false,"geometry":"30,50 30.001,50.001","geometry_hash":"h1","routes":["5","9"]}}})");
        row("sector geometry cached without routes",
            {R"(load [{"id": 5}] | [{"id": 7, "emergency": true, "geometry_hash": "e1"}])",
             R"(answer VDTService.getVdtGeometry {"geometry_hash": "e1", "pos": [30, 50], "radius": 50, "directionAngle": 90, "sweepAngle": 60})"},
            sections("5[Boards, Detectors]", "", "", "7"), {vdtGeometry(7)}, none,
            R"({"detectors":{"7":{"directionAngle":90,"emergency":true,"geometry_hash":"e1","pos":[30,50],"radius":50,"sweepAngle":60}}})");
        row("detector geometry that gives no zone",
            {R"(load [{"id": 5}] | [{"id": 7, "routes": [5], "geometry_hash": "h1"}])", "answer VDTService.getVdtGeometry [1, 2]"},
            sections("5[Boards, Detectors[7]]"), {vdtGeometry(7)}, {"WARN: Detector 7 has no geometry"});
        // Boards.
        row("board list: every filing path, in name order",
            {R"(load [{"id": 5}, {"id": 6}] | [] | {"C3": {"route_id": 7}, "A1": {}, "B2": {"route_id": 6}, "E5": {"route_id": 0},
                                                   "F6": 42, "D4": {"route_id": 5}})"},
            sections("5[Boards[D4], Detectors], 6[Boards[B2], Detectors]", "A1, C3, E5, F6", "B2, D4"), none,
            {"WARN: Vehicle C3 assigned to invalid route with id 7"});
        row("board list on a second connection: the known board only gets its record",
            {R"(load [] | [] | {"B1": {"route_id": 5}})", "connect", R"(lists [{"id": 5}] | [] | {"B1": {"route_id": 5}})"},
            sections("5[Boards[B1], Detectors]", "", "B1"), none, {"WARN: Vehicle B1 assigned to invalid route with id 5"});
        row("board data with a route", {R"(load [{"id": 5}])", R"(notify BoardsServer.boardPosition {"board_name": "B1"})",
                                        R"(answer BoardsServer.getBoardData {"route_id": 5})"},
            sections("5[Boards[B1], Detectors]", "", "B1"), {R"(BoardsServer.getBoardData {"name":"B1"})"});
        row("board data without a route after a route change",
            {R"(load [{"id": 5}])", R"(notify BoardsServer.boardPosition {"board_name": "B1"})",
             R"(notify BoardsServer.boardPropertiesChanged {"board_name": "B1", "route_id": 9})",
             R"(answer BoardsServer.getBoardData {"route_id": 0})"},
            sections("5[Boards, Detectors]", "B1"), {R"(BoardsServer.getBoardData {"name":"B1"})"},
            {"WARN: Vehicle B1 assigned to invalid route with id 9"});
        row("section Routes deleted by the host",
            {"connect", "delete-section Traffic priority system/Routes",
             R"(lists [{"id": 5}] | [{"id": 7, "routes": [5]}] | {"B1": {"route_id": 5}, "B2": {}})"},
            "Traffic priority system[Not assigned boards[B2], Assigned boards, Emergency call detectors]", none,
            {"WARN: Route 5 for assigning Detector 7 has no 'modelItemObject' property",
             "WARN: Route 5 for assigning Vehicle B1 has no 'modelItemObject' property"});
        row("section Not assigned boards deleted by the host",
            {"connect", "delete-section Traffic priority system/Not assigned boards",
             R"(lists [] | [{"id": 3, "emergency": true, "board_name": "B7"}] | {"A1": {}})"},
            "Traffic priority system[Routes, Assigned boards, Emergency call detectors[3]]");
        // A network that changes.
        row("routes that go and come take their boards and detectors",
            {R"(load [{"id": 5, "geometry_hash": "h5"}, {"id": 6}] | [{"id": 7, "routes": [5]}, {"id": 8, "routes": [9]}]
                    | {"B1": {"route_id": 5}, "B2": {}, "B3": {"route_id": 9}})",
             R"(answer RoadNetwork.getRouteGeometry {"geometry": "10,50 10.01,50", "geometry_hash": "h5"})", kNetworkChanged,
             R"(lists [{"id": 6}] | [{"id": 7, "routes": [5]}, {"id": 8, "routes": [9]}])", "settle", kNetworkChanged,
             R"(lists [{"id": 6}, {"id": 5}, {"id": 9}] | [{"id": 7, "routes": [5]}, {"id": 8, "routes": [9]}])"},
            sections("6[Boards, Detectors], 5[Boards[B1], Detectors[7]], 9[Boards[B3], Detectors[8]]", "B2", "B1, B3"),
            {geometry(5), "RoadNetwork.getRouteList -", "VDTService.getVdtList -", "RoadNetwork.getRouteList -",
             "VDTService.getVdtList -"},
            {"WARN: Invalid route 9 in detector 8", "WARN: Vehicle B3 assigned to invalid route with id 9"}, "routes[]");
        row("a route that goes leaves its boards' route ids alone",
            {R"(load [{"id": 5}] | [] | {"B1": {"route_id": 5}})", kNetworkChanged, "lists [] | []", "settle",
             R"(notify BoardsServer.boardPropertiesChanged {"board_name": "B1", "description": "x"})"},
            sections("", "B1"), {"RoadNetwork.getRouteList -", "VDTService.getVdtList -"}, none, "routes[]");
        for (const char *answer : {R"("oops")", R"({"id": 1})", "null"}) {
            row(qPrintable(QString("route list that is no list: ") + answer),
                {R"(load [{"id": 5, "geometry_hash": "h5"}])",
                 R"(answer RoadNetwork.getRouteGeometry {"geometry": "10,50 10.01,50", "geometry_hash": "h5"})", kNetworkChanged,
                 QString("lists ") + answer + " | []"},
                route5, {geometry(5), "RoadNetwork.getRouteList -", "VDTService.getVdtList -"},
                {"WARN: Malformed answer to 'RoadNetwork.getRouteList': the route list is not a list"}, "routes[5]");
        }
        for (const char *answer : {R"({"id": 8, "routes": [5]})", "null"}) {
            row(qPrintable(QString("detector list that is no list: ") + answer),
                {cached7, R"(load [{"id": 5}] | [{"id": 7, "routes": [5], "geometry_hash": "h1"}])", kNetworkChanged,
                 QString(R"(lists [{"id": 5}] | )") + answer},
                sections("5[Boards, Detectors[7]]"), {"RoadNetwork.getRouteList -", "VDTService.getVdtList -"},
                {"WARN: Malformed answer to 'VDTService.getVdtList': the detector list is not a list"}, "detectors[7] routes[5]");
        }
        for (const char *routes : {"[]", "[6]"}) {
            row(qPrintable(QString("a known detector keeps its entries, routes now ") + routes),
                {R"(load [{"id": 5}] | [{"id": 7, "routes": [5]}])", kNetworkChanged,
                 QString(R"(lists [{"id": 5}] | [{"id": 7, "routes": )") + routes + "}]", "settle"},
                sections("5[Boards, Detectors[7]]"), {"RoadNetwork.getRouteList -", "VDTService.getVdtList -"});
        }
        const QString two = R"(load [{"id": 5}] | [{"id": 7, "routes": [5], "geometry_hash": "h7"}, {"id": 8, "routes": [5], "geometry_hash": "h8"}])";
        const QStringList answered{R"(answer VDTService.getVdtGeometry {"geometry_hash": "h7", )" + line + "}",
                                   R"(answer VDTService.getVdtGeometry {"geometry_hash": "h8", )" + line + "}"};
        const QStringList reasked{vdtGeometry(7), vdtGeometry(8), "RoadNetwork.getRouteList -", "VDTService.getVdtList -"};
        row("a detector omitted is removed from the tree and the cache",
            QStringList{two} + answered + QStringList{kNetworkChanged, R"(lists [{"id": 5}] | [{"id": 8, "routes": [5], "geometry_hash": "h8"}])", "settle"},
            sections("5[Boards, Detectors[8]]"), reasked, none, "detectors[8]");
        row("a detector listed without an id is removed",
            QStringList{two} + answered + QStringList{kNetworkChanged, R"(lists [{"id": 5}] | [{"id": 8, "routes": [5], "geometry_hash": "h8"}, {"routes": [5]}])", "settle"},
            sections("5[Boards, Detectors[8]]"), reasked, {"WARN: Invalid detector id on getting detector list"}, "detectors[8]");
        row("an empty detector list removes them all",
            QStringList{two} + answered + QStringList{kNetworkChanged, R"(lists [{"id": 5}] | [])", "settle"}, route5, reasked, none,
            "detectors[]");
        // Answers for items that are gone belong to nobody.
        row("route geometry for a route that was removed",
            {R"(load [{"id": 5, "geometry_hash": "h5"}])", kNetworkChanged, "lists [] | []", "settle",
             R"(answer RoadNetwork.getRouteGeometry {"geometry": "10,50 10.01,50", "geometry_hash": "h5"})"},
            empty, {geometry(5), "RoadNetwork.getRouteList -", "VDTService.getVdtList -"}, none, "routes[]");
        row("route geometry for a route that was removed and listed again",
            {R"(load [{"id": 5, "geometry_hash": "h5"}])", kNetworkChanged, "lists [] | []", "settle", kNetworkChanged,
             R"(lists [{"id": 5}] | [])", R"(answer RoadNetwork.getRouteGeometry {"geometry": "10,50 10.01,50", "geometry_hash": "h5"})"},
            route5, {geometry(5), "RoadNetwork.getRouteList -", "VDTService.getVdtList -", "RoadNetwork.getRouteList -",
                     "VDTService.getVdtList -"},
            none, "routes[]");
        const QString seven = R"(load [{"id": 5}] | [{"id": 7, "routes": [5], "geometry_hash": "h1"}])";
        const QString answer7 = R"(answer VDTService.getVdtGeometry {"geometry_hash": "h1", )" + line + "}";
        const QStringList relisted{vdtGeometry(7), "RoadNetwork.getRouteList -", "VDTService.getVdtList -"};
        row("detector geometry for a detector removed, not yet deleted",
            {seven, kNetworkChanged, R"(lists [{"id": 5}] | [])", answer7}, route5, relisted, none, "detectors[]");
        row("detector geometry for a detector removed and deleted",
            {seven, kNetworkChanged, R"(lists [{"id": 5}] | [])", "settle", answer7}, route5, relisted, none, "detectors[]");
        row("detector geometry for a detector removed and listed again",
            {seven, kNetworkChanged, R"(lists [{"id": 5}] | [])", "settle", kNetworkChanged,
             R"(lists [{"id": 5}] | [{"id": 7, "routes": [5], "geometry_hash": "h1"}])", answer7},
            sections("5[Boards, Detectors[7]]"), relisted + relisted.mid(1) + relisted.mid(0, 1), none, "detectors[]");
        row("detector geometry after a disconnection", {seven, "disconnect", answer7}, "", {vdtGeometry(7)},
            {"INFO: RPC object 'fake-rpc' disconnected"});
        const QStringList position{R"(load [{"id": 5}])", R"(notify BoardsServer.boardPosition {"board_name": "B1"})",
                                   R"(notify BoardsServer.boardsRemoved ["B1"])"};
        row("board data for a board that was removed",
            position + QStringList(R"(answer BoardsServer.getBoardData {"route_id": 5})"), route5,
            {R"(BoardsServer.getBoardData {"name":"B1"})"});
        row("board data for a board that was removed and made again",
            position + QStringList{R"(notify BoardsServer.boardPosition {"board_name": "B1"})",
                                   R"(answer BoardsServer.getBoardData {"route_id": 5})",
                                   R"(answer BoardsServer.getBoardData {"description": "own"})"},
            sections("5[Boards, Detectors]", "B1"),
            {R"(BoardsServer.getBoardData {"name":"B1"})", R"(BoardsServer.getBoardData {"name":"B1"})"});
    }
    void loading()
    {
        QFETCH(QStringList, steps);
        QFETCH(QString, tree);
        QFETCH(QStringList, requests);
        QFETCH(QStringList, log);
        QFETCH(QString, cached);
        Host host;
        host.run(steps);
        host.run({"settle"});
        QCOMPARE(host.tree(), tree);
        QCOMPARE(host.requests(), requests);
        QCOMPARE(host.logged(), log);
        QCOMPARE(host.cached(cached.startsWith('{')), cached);
    }

    // Boards named by detector records, and what they keep when the detector goes.
    void boardsNamedByDetectors_data()
    {
        QTest::addColumn<QString>("nameFilter");
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<QString>("tree");
        QTest::addColumn<QString>("boards");
        const QString active = R"({"id": 7, "routes": [5], "board_name": "B7", "state": "active"})";
        QTest::newRow("unknown board, active") << "" << QStringList("load [{\"id\": 5}] | [" + active + "]")
                                               << sections("5[Boards, Detectors[7]]", "B7") << "B7 active [7]";
        QTest::newRow("unknown board, inside")
            << "" << QStringList(R"(load [{"id": 5}] | [{"id": 7, "routes": [5], "board_name": "B7", "state": "inside"}])")
            << sections("5[Boards, Detectors[7]]", "B7") << "B7 inside []";
        QTest::newRow("unknown board, by an emergency detector")
            << "" << QStringList(R"(load [{"id": 5}] | [{"id": 3, "emergency": true, "board_name": "B7", "state": "active"}])")
            << sections("5[Boards, Detectors]", "B7", "", "3") << "B7 active [3]";
        QTest::newRow("unknown board the name filter rejects") << "X.*" << QStringList("load [{\"id\": 5}] | [" + active + "]")
                                                               << sections("5[Boards, Detectors[7]]", "B7") << "B7 active [7] hidden";
        QTest::newRow("known board on route 5")
            << "" << QStringList{R"(load [{"id": 5}] |  | {"B7": {"route_id": 5}})", "lists  | [" + active + "]"}
            << sections("5[Boards[B7], Detectors[7]]", "", "B7") << "B7 active [7]";
        const QString twoDetectors = "load [{\"id\": 5}] | [" + active + R"(, {"id": 8, "routes": [5]}])";
        QTest::newRow("its detector omitted: the board stays, not active")
            << "" << QStringList{twoDetectors, kNetworkChanged, R"(lists [{"id": 5}] | [{"id": 8, "routes": [5]}])"}
            << sections("5[Boards, Detectors[8]]", "B7") << "B7 - []";
        QTest::newRow("its detector omitted, another one has it")
            << ""
            << QStringList{twoDetectors, kNetworkChanged,
                           R"(lists [{"id": 5}] | [{"id": 8, "routes": [5], "board_name": "B7", "state": "active"}])"}
            << sections("5[Boards, Detectors[8]]", "B7") << "B7 active [8]";
    }
    void boardsNamedByDetectors()
    {
        QFETCH(QString, nameFilter);
        QFETCH(QStringList, steps);
        QFETCH(QString, tree);
        QFETCH(QString, boards);
        Host host;
        host.plugin->setVehicleNameFilter(nameFilter);
        host.run(steps);
        host.run({"settle"});
        QCOMPARE(host.tree(), tree);
        QCOMPARE(::boards(host.plugin), boards);
        // No board data is asked for such a board.
        QCOMPARE(host.requests().filter("getBoardData"), QStringList());
    }

    void routeChangeMovesEntries_data()
    {
        QTest::addColumn<int>("from");
        QTest::addColumn<int>("to");
        QTest::addColumn<QString>("tree");
        QTest::addColumn<QStringList>("log");
        const QString none = "5[Boards, Detectors], 6[Boards, Detectors]";
        QTest::newRow("5 to 0") << 5 << 0 << sections(none, "B1") << QStringList();
        QTest::newRow("0 to 5") << 0 << 5 << sections("5[Boards[B1], Detectors], 6[Boards, Detectors]", "", "B1") << QStringList();
        QTest::newRow("5 to 6") << 5 << 6 << sections("5[Boards, Detectors], 6[Boards[B1], Detectors]", "", "B1") << QStringList();
        QTest::newRow("5 to unknown 9") << 5 << 9 << sections(none, "B1")
                                        << QStringList("WARN: Vehicle B1 assigned to invalid route with id 9");
        QTest::newRow("unknown 9 to 5") << 9 << 5 << sections("5[Boards[B1], Detectors], 6[Boards, Detectors]", "", "B1")
                                        << QStringList();
        QTest::newRow("5 to 5") << 5 << 5 << sections("5[Boards[B1], Detectors], 6[Boards, Detectors]", "", "B1") << QStringList();
    }
    void routeChangeMovesEntries()
    {
        QFETCH(int, from);
        QFETCH(int, to);
        QFETCH(QString, tree);
        QFETCH(QStringList, log);
        Host host;
        host.connectWith(R"([{"id": 5}, {"id": 6}])", "[]", QStringLiteral(R"({"B1": {"route_id": %1}})").arg(from));
        host.logged();
        PrioVehicle *vehicle = host.plugin->board("B1");
        vehicle->setSelected(true);
        // The host follows the scene's selection in its tree: the rows of a selected object
        // must not come and go under it, so the move happens while it is deselected.
        QVector<bool> selectedAtRowChange;
        QObject probe;
        connect(host.kernel.model, &QAbstractItemModel::rowsInserted, &probe, [&] { selectedAtRowChange << vehicle->isSelected(); });
        connect(host.kernel.model, &QAbstractItemModel::rowsRemoved, &probe, [&] { selectedAtRowChange << vehicle->isSelected(); });
        host.notify("BoardsServer.boardPropertiesChanged", QStringLiteral(R"({"board_name": "B1", "route_id": %1})").arg(to));
        QCOMPARE(host.tree(), tree);
        QCOMPARE(host.logged(), log);
        QCOMPARE(selectedAtRowChange.size() >= 2, from != to);
        QCOMPARE(selectedAtRowChange, QVector<bool>(selectedAtRowChange.size(), false));
        QCOMPARE(host.kernel.scene->selectedItems(), QList<QGraphicsItem *>{vehicle});
    }

    // The host clears its scene or deletes the layer: every item goes with it. Nothing may
    // reach the dead items, and the plug-in loads them again, once for the whole loss.
    void itemsTheHostDestroysAreDroppedAndLoadedAgain_data()
    {
        QTest::addColumn<bool>("wholeScene");
        QTest::newRow("scene cleared") << true;
        QTest::newRow("layer deleted") << false;
    }
    void itemsTheHostDestroysAreDroppedAndLoadedAgain()
    {
        QFETCH(bool, wholeScene);
        Host host;
        host.run({R"(load [{"id": 5, "geometry_hash": "h5"}] | [{"id": 7, "routes": [5]}] | {"B1": {"route_id": 5}})",
                  R"(answer RoadNetwork.getRouteGeometry {"geometry": "10,50 10.01,50", "geometry_hash": "h5"})"});
        const int before = host.rpc->posted.size();
        if (wholeScene)
            host.kernel.scene->clear();
        else
            delete host.kernel.scene->layers.value("Traffic priority").data();
        QVERIFY(host.plugin->routeRegistry().isEmpty() && host.plugin->detectorRegistry().isEmpty()
                && host.plugin->boardRegistry().isEmpty());
        QVERIFY(host.plugin->getRoutes().isEmpty());
        QCOMPARE(host.tree(), sections(""));

        host.notify("RoadNetwork.routePropertiesChanged", R"({"id": 5, "locked": true})");
        host.notify("BoardsServer.boardPropertiesChanged", R"({"board_name": "B1"})");
        QTRY_COMPARE(host.requests(before).size(), 4);
        QVERIFY(host.plugin->route(5) && host.plugin->route(5)->hasGeometry());
        QCOMPARE(host.requests(before), QStringList({R"(BoardsServer.getBoardData {"name":"B1"})", "RoadNetwork.getRouteList -",
                                                     "VDTService.getVdtList -", "BoardsServer.getBoards -"}));
        host.run({R"(lists [{"id": 5, "geometry_hash": "h5"}] | [{"id": 7, "routes": [5]}] | {"B1": {"route_id": 5}})"});
        QCOMPARE(host.tree(), sections("5[Boards[B1], Detectors[7]]", "", "B1"));
        QCOMPARE(host.logged(), QStringList("INFO: Map items were destroyed by the host; loading them again"));
    }

    // The file as the cache format has it: the route's list record plus its geometry, the
    // detector's geometry answer plus its emergency flag and routes; the list's hash.
    void cacheFileBytes()
    {
        Host host;
        host.run({R"(load [{"id": 12, "geometry_hash": "h7", "description": "Line 12"}] | [{"id": 5, "routes": [12], "geometry_hash": "d1"}])",
                  R"(answer RoadNetwork.getRouteGeometry {"geometry": "10.5,50.25 10.51,50.26", "geometry_hash": "h8"})",
                  R"(answer VDTService.getVdtGeometry {"geometry_hash": "d1", "geometry": "10.5,50.25 10.5,50.251"})"});
        host.plugin->stop(false);
        QFile file(host.plugin->cacheFilePath());
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray("{\n"
                                            "    \"detectors\": {\n"
                                            "        \"5\": {\n"
                                            "            \"emergency\": false,\n"
                                            "            \"geometry\": \"10.5,50.25 10.5,50.251\",\n"
                                            "            \"geometry_hash\": \"d1\",\n"
                                            "            \"routes\": [\n"
                                            "                \"12\"\n"
                                            "            ]\n"
                                            "        }\n"
                                            "    },\n"
                                            "    \"routes\": {\n"
                                            "        \"12\": {\n"
                                            "            \"description\": \"Line 12\",\n"
                                            "            \"geometry\": \"10.5,50.25 10.51,50.26\",\n"
                                            "            \"geometry_hash\": \"h7\",\n"
                                            "            \"id\": 12\n"
                                            "        }\n"
                                            "    }\n"
                                            "}\n"));
        // A stop leaves the emptied top section in the host's tree.
        QCOMPARE(host.tree(), "Traffic priority system");
    }
};

QTEST_MAIN(tst_Registry)
#include "tst_registry.moc"
