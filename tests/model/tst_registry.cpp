// The registries and the tree sections, the restore from the geometry cache, the loading of
// routes, detectors and boards, and the notifications that change them: a row is the steps in
// (cache, answers, notifications, what the host does) and the transcript out (requests, log
// and rpcError texts in order), then the tree and, when there is a file, the cache.

#include <QtTest>

#include "items/priovehicle.h"
#include "plugin/scriptedhost.h"

namespace {

const QString kNetworkChanged = "notify RoadNetwork.networkChanged {}";
const QStringList kReload{"> RoadNetwork.getRouteList -", "> VDTService.getVdtList -"};
const QString kLine = R"("geometry": "30,50 30.001,50.001")";
const QString kBoardData = R"(> BoardsServer.getBoardData {"name":"B1"})";

QString geometry(int id)
{
    return QStringLiteral(R"(> RoadNetwork.getRouteGeometry {"id":%1})").arg(id);
}
QString vdtGeometry(int id)
{
    return QStringLiteral(R"(> VDTService.getVdtGeometry {"id":%1})").arg(id);
}
QString tree(const QString &routes, const QString &unassigned = "", const QString &assigned = "", const QString &emergency = "")
{
    return "tree " + sections(routes, unassigned, assigned, emergency);
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
        QTest::addColumn<QStringList>("out");
        auto row = [](const char *name, const QStringList &steps, const QStringList &out) { QTest::newRow(name) << steps << out; };
        const QString route1 = tree("1[Boards, Detectors]"), route5 = tree("5[Boards, Detectors]"), with7 = tree("5[Boards, Detectors[7]]");
        const QString cached1 = R"(cache {"routes": {"1": {"id": 1, "geometry_hash": "a", "geometry": "10,50 10.01,50"}}})";
        const QString cached7 = R"(cache {"routes": {"5": {"id": 5}}, "detectors": {"7": {"routes": ["5"], "geometry_hash": "h1", )" + kLine + "}}}";
        const QString answer5 = R"(answer RoadNetwork.getRouteGeometry {"geometry": "10,50 10.01,50", "geometry_hash": "h5"})";

        row("nothing listed", {"load [] | [] | {}"}, {tree("")});
        row("model gone: no sections, stopped", {"delete-model", "connect"}, {"ERROR: Error creating section 'Routes'", "INFO: Stop", "tree -"});
        // Routes: geometry only where the hash differs.
        row("new route without a hash", {R"(load [{"id": 1}])"}, {route1});
        row("new route with an empty hash", {R"(load [{"id": 1, "geometry_hash": ""}])"}, {route1});
        row("new route with a hash", {R"(load [{"id": 1, "geometry_hash": "a"}])"}, {geometry(1), route1});
        row("cached, same hash", {cached1, R"(load [{"id": 1, "geometry_hash": "a"}])"}, {route1, "cache routes[1]"});
        row("cached, another hash", {cached1, R"(load [{"id": 1, "geometry_hash": "b"}])"}, {geometry(1), route1, "cache routes[1]"});
        row("cached, listed without a hash", {cached1, R"(load [{"id": 1}])"}, {geometry(1), route1, "cache routes[1]"});
        row("same id twice asks twice", {R"(load [{"id": 4, "geometry_hash": "a"}, {"id": 4, "geometry_hash": "a"}])"},
            {geometry(4), geometry(4), tree("4[Boards, Detectors]")});
        row("in list order, id as text, id 0", {R"(load [{"id": "17", "geometry_hash": "a"}, {"id": 0, "geometry_hash": "b"}, {"id": 3}])"},
            {geometry(17), geometry(0), tree("17[Boards, Detectors], 0[Boards, Detectors], 3[Boards, Detectors]")});
        row("bad ids skipped", {R"(load [{"id": "x", "geometry_hash": "a"}, {"geometry_hash": "b"}, {"id": 2, "geometry_hash": "c"}])"},
            {"WARN: Invalid route id on getting route list", "WARN: Invalid route id on getting route list", geometry(2), tree("2[Boards, Detectors]")});
        row("empty geometry", {R"(load [{"id": 12, "geometry_hash": "h7"}])", R"(answer RoadNetwork.getRouteGeometry {"geometry": "", "geometry_hash": "h7"})"},
            {geometry(12), "WARN: Route 12 has no geometry", tree("12[Boards, Detectors]")});
        row("geometry that is no object", {R"(load [{"id": 12, "geometry_hash": "h7"}])", "answer RoadNetwork.getRouteGeometry [1]"},
            {geometry(12), "WARN: Route 12 has no geometry", tree("12[Boards, Detectors]")});
        // The cache on connection.
        row("restore: keys in order, 0 and abc skipped, unqualified detectors dropped",
            {R"(cache {"routes": {"0": {"id": 0}, "abc": {"id": 1}, "3": {"id": 3, "description": "Three"}, "12": {"id": 12}},
                       "detectors": {"5": {"id": 5, "routes": []}, "9": {"id": 9, "routes": ["3", "4"]}, "31": {"id": 31, "emergency": true}}})",
             "connect", "show"},
            {"WARN: Invalid route 4 in detector 9", "detector 31 - -", "detector 9 - -", "route 12 -", "route 3 Three",
             tree("12[Boards, Detectors], 3[Boards, Detectors[9]]", "", "", "31"), "cache detectors[31 9] routes[0 12 3 abc]"});
        row("corrupt cache: skipped silently", {"cache not json", "load [] | [] | {}"}, {tree(""), "cache ?"});
        row("connected twice: the cache's items are duplicates",
            {R"(cache {"routes": {"12": {"id": 12}}, "detectors": {"31": {"id": 31, "emergency": true}}})", "connect", "connect"},
            {"WARN: Duplicate route with id 12", "WARN: Duplicate detector with id 31", tree("12[Boards, Detectors]", "", "", "31"),
             "cache detectors[31] routes[12]"});
        row("disconnection: the tree goes", {R"(load [{"id": 5}] | [{"id": 7, "routes": [5]}] | {"B1": {}})", "disconnect"},
            {"INFO: RPC object 'fake-rpc' disconnected", "tree "});
        row("reconnection: from the cache, geometry not asked again",
            {R"(load [{"id": 12, "geometry_hash": "h7"}] | [] | {"B1": {}})", R"(answer RoadNetwork.getRouteGeometry {"geometry": "10,50 10.01,50", "geometry_hash": "h7"})",
             "disconnect", "connect", R"(lists [{"id": 12, "geometry_hash": "h7"}])"},
            {geometry(12), "INFO: RPC object 'fake-rpc' disconnected", tree("12[Boards, Detectors]"), "cache routes[12]"});
        for (const char *loss : {"clear-scene", "delete-layer"}) {
            row(qPrintable(QString(loss) + ": the items go, nothing reaches them, loaded again once"),
                {R"(load [{"id": 5, "geometry_hash": "h5"}] | [{"id": 7, "routes": [5]}] | {"B1": {"route_id": 5}})", answer5, loss, "show", "tree",
                 R"(notify RoadNetwork.routePropertiesChanged {"id": 5, "locked": true})", R"(notify BoardsServer.boardPropertiesChanged {"board_name": "B1"})",
                 "settle", R"(lists [{"id": 5, "geometry_hash": "h5"}] | [{"id": 7, "routes": [5]}] | {"B1": {"route_id": 5}})"},
                QStringList{geometry(5), tree(""), kBoardData, "INFO: Map items were destroyed by the host; loading them again"} + kReload
                    << "> BoardsServer.getBoards -" << tree("5[Boards[B1], Detectors[7]]", "", "B1") << "cache routes[5]");
        }
        // Detectors: binding, and geometry only where the hash differs.
        row("emergency detector with routes: listed as emergency only", {R"(load [{"id": 5}] | [{"id": 3, "emergency": true, "routes": [5]}])"},
            {tree("5[Boards, Detectors]", "", "", "3")});
        row("several, in list order, route ids as text",
            {R"(load [{"id": 5}] | [{"id": 8, "routes": ["5"]}, {"id": 2, "emergency": true}, {"id": 7, "routes": [5]}])"},
            {tree("5[Boards, Detectors[8, 7]]", "", "", "2")});
        row("on route 5 and an unknown route", {R"(load [{"id": 5}] | [{"id": 7, "routes": [9, 5]}])"}, {"WARN: Invalid route 9 in detector 7", with7});
        row("only on an unknown route: registered, filed when the route comes",
            {R"(load [{"id": 5}] | [{"id": 7, "routes": [9]}])", kNetworkChanged, R"(lists [{"id": 5}, {"id": 9}])"},
            QStringList{"WARN: Invalid route 9 in detector 7"} + kReload << tree("5[Boards, Detectors], 9[Boards, Detectors[7]]"));
        row("empty routes: made and dropped, nothing asked", {R"(load [{"id": 5}] | [{"id": 7, "routes": [], "geometry_hash": "h", "board_name": "B7"}])"},
            {route5});
        row("neither routes nor emergency: passed over", {R"(load [{"id": 5}] | [{"id": 7, "name": "x", "geometry_hash": "h", "board_name": "B7"}])"},
            {route5});
        row("no id, no object", {R"(load [{"id": 5}] | [{"routes": [5]}, 42, {"id": 8, "routes": [5]}])"},
            {"WARN: Invalid detector id on getting detector list", "WARN: Invalid detector id on getting detector list", tree("5[Boards, Detectors[8]]")});
        row("new detectors with a hash, in list order",
            {R"(load [{"id": 5}] | [{"id": 9, "routes": [5], "geometry_hash": "a"}, {"id": 7, "routes": [5], "geometry_hash": "b"}])"},
            {vdtGeometry(9), vdtGeometry(7), tree("5[Boards, Detectors[9, 7]]")});
        row("new detector with a hash and a usable line", {R"(load [{"id": 5}] | [{"id": 7, "routes": [5], "geometry_hash": "a", )" + kLine + "}]"},
            {with7});
        row("new detector with a hash and an unusable line", {R"(load [{"id": 5}] | [{"id": 7, "routes": [5], "geometry_hash": "a", "geometry": "30,50"}])"},
            {vdtGeometry(7), with7});
        row("cached detector, same hash", {cached7, R"(load [{"id": 5}] | [{"id": 7, "routes": [5], "geometry_hash": "h1"}])"},
            {with7, "cache detectors[7] routes[5]"});
        row("cached detector, no hash", {cached7, R"(load [{"id": 5}] | [{"id": 7, "routes": [5]}])"}, {vdtGeometry(7), with7, "cache detectors[7] routes[5]"});
        row("cached detector, another hash", {cached7, R"(load [{"id": 5}] | [{"id": 7, "routes": [5], "geometry_hash": "h2"}])"},
            {vdtGeometry(7), with7, "cache detectors[7] routes[5]"});
        row("line geometry cached with emergency and routes",
            {R"(load [{"id": 5}] | [{"id": 7, "routes": [5, 9], "geometry_hash": "h1"}])",
             R"(answer VDTService.getVdtGeometry {"geometry_hash": "h1", "checkin_length": 40, )" + kLine + "}"},
            {"WARN: Invalid route 9 in detector 7", vdtGeometry(7), with7,
             R"(cache {"detectors":{"7":{"checkin_length":40,"emergency":false,"geometry":"30,50 30.001,50.001","geometry_hash":"h1","routes":["5","9"]}}})"});
        row("sector geometry cached without routes",
            {R"(load [{"id": 5}] | [{"id": 7, "emergency": true, "geometry_hash": "e1"}])",
             R"(answer VDTService.getVdtGeometry {"geometry_hash": "e1", "pos": [30, 50], "radius": 50, "directionAngle": 90, "sweepAngle": 60})"},
            {vdtGeometry(7), tree("5[Boards, Detectors]", "", "", "7"),
             R"(cache {"detectors":{"7":{"directionAngle":90,"emergency":true,"geometry_hash":"e1","pos":[30,50],"radius":50,"sweepAngle":60}}})"});
        row("detector geometry that gives no zone",
            {R"(load [{"id": 5}] | [{"id": 7, "routes": [5], "geometry_hash": "h1"}])", "answer VDTService.getVdtGeometry [1, 2]"},
            {vdtGeometry(7), "WARN: Detector 7 has no geometry", with7});
        // Boards a detector names: made and listed, no board data asked for them.
        const QString active = R"({"id": 7, "routes": [5], "board_name": "B7", "state": "active"})";
        row("board named by a detector, active", {"load [{\"id\": 5}] | [" + active + "]", "show"},
            {"board B7 out 0 active [7]", "detector 7 - active", "route 5 -", tree("5[Boards, Detectors[7]]", "B7")});
        row("board named by a detector, inside", {R"(load [{"id": 5}] | [{"id": 7, "routes": [5], "board_name": "B7", "state": "inside"}])", "show"},
            {"board B7 out 0 inside []", "detector 7 - inside", "route 5 -", tree("5[Boards, Detectors[7]]", "B7")});
        row("board named by an emergency detector", {R"(load [] | [{"id": 3, "emergency": true, "board_name": "B7", "state": "active"}])", "show"},
            {"board B7 out 0 active [3]", "detector 3 - active", tree("", "B7", "", "3")});
        row("board named by a detector, rejected by the name filter", {"filter X.*", "load [{\"id\": 5}] | [" + active + "]", "show"},
            {"board B7 out 0 active [7] hidden", "detector 7 - active", "route 5 -", tree("5[Boards, Detectors[7]]", "B7")});
        row("known board named by a detector", {R"(load [{"id": 5}] |  | {"B7": {"route_id": 5}})", "lists  | [" + active + "]", "show"},
            {"board B7 out 5 active [7]", "detector 7 - active", "route 5 -", tree("5[Boards[B7], Detectors[7]]", "", "B7")});
        const QString two = "load [{\"id\": 5}] | [" + active + R"(, {"id": 8, "routes": [5]}])";
        row("its detector omitted: the board stays, not active", {two, kNetworkChanged, R"(lists [{"id": 5}] | [{"id": 8, "routes": [5]}])", "show"},
            QStringList(kReload) << "board B7 out 0 - []" << "detector 8 - -" << "route 5 -" << tree("5[Boards, Detectors[8]]", "B7") << "cache detectors[]");
        row("its detector omitted, another one has it",
            {two, kNetworkChanged, R"(lists [{"id": 5}] | [{"id": 8, "routes": [5], "board_name": "B7", "state": "active"}])", "show"},
            QStringList(kReload) << "board B7 out 0 active [8]" << "detector 8 - active" << "route 5 -" << tree("5[Boards, Detectors[8]]", "B7")
                << "cache detectors[]");
        // Boards from the list and from notifications.
        row("board list: every filing path, in name order",
            {R"(load [{"id": 5}, {"id": 6}] | [] | {"C3": {"route_id": 7}, "A1": {}, "B2": {"route_id": 6}, "E5": {"route_id": 0}, "F6": 42, "D4": {"route_id": 5}})"},
            {"WARN: Vehicle C3 assigned to invalid route with id 7", tree("5[Boards[D4], Detectors], 6[Boards[B2], Detectors]", "A1, C3, E5, F6", "B2, D4")});
        row("board list on a second connection: the known board only gets its record",
            {R"(load [] | [] | {"B1": {"route_id": 5}})", "connect", R"(lists [{"id": 5}] | [] | {"B1": {"route_id": 5}})"},
            {"WARN: Vehicle B1 assigned to invalid route with id 5", tree("5[Boards[B1], Detectors]", "", "B1")});
        for (const char *event : {"boardPosition", "boardPropertiesChanged", "boardLoggedIn", "boardDisconnected", "vdtStateChanged"}) {
            const QString notify = QString(event[0] == 'v' ? "notify VDTService." : "notify BoardsServer.") + event + R"( {"board_name": "B1"})";
            row(qPrintable(QString(event) + " of an unknown board: made once, listed when its data comes"),
                {R"(load [{"id": 5}])", notify, notify, "tree", R"(answer BoardsServer.getBoardData {"route_id": 5})"},
                {kBoardData, route5, tree("5[Boards[B1], Detectors]", "", "B1")});
            row(qPrintable(QString(event) + ": board data cannot be posted"),
                {R"(load [{"id": 5}] | [{"id": 7, "routes": [5]}])", "script BoardsServer.getBoardData invoke-fails", notify},
                {kBoardData, "rpcError: Invoke 'BoardsServer.getBoardData' failed", "INFO: Stop", "tree Traffic priority system"});
        }
        for (const char *params : {R"({"pos": [30, 50]})", R"({"board_name": ""})", R"(["B1"])", R"("B1")"}) {
            row(qPrintable(QString("position without a name: ") + params), {R"(load [{"id": 5}])", QString("notify BoardsServer.boardPosition ") + params},
                {"WARN: Invalid BoardsServer.boardPosition event: no 'board_name'", route5});
        }
        row("board data without a route after a route change",
            {R"(load [{"id": 5}])", R"(notify BoardsServer.boardPosition {"board_name": "B1"})",
             R"(notify BoardsServer.boardPropertiesChanged {"board_name": "B1", "route_id": 9})", R"(answer BoardsServer.getBoardData {"route_id": 0})"},
            {kBoardData, "WARN: Vehicle B1 assigned to invalid route with id 9", tree("5[Boards, Detectors]", "B1")});
        const QString both = R"(load [{"id": 5}] | [] | {"B1": {}, "B2": {"route_id": 5}})";
        row("boards removed: one registered, one unknown", {both, R"(notify BoardsServer.boardsRemoved ["B1", "X"])"}, {tree("5[Boards[B2], Detectors]", "", "B2")});
        row("boards removed: an assigned one", {both, R"(notify BoardsServer.boardsRemoved ["B2"])"}, {tree("5[Boards, Detectors]", "B1")});
        row("boards removed: both", {both, R"(notify BoardsServer.boardsRemoved ["B2", "B1"])"}, {route5});
        row("boards removed: unknown names", {both, R"(notify BoardsServer.boardsRemoved ["b1", "B3", ""])"}, {tree("5[Boards[B2], Detectors]", "B1", "B2")});
        row("boards removed: params an object", {both, R"(notify BoardsServer.boardsRemoved {"board_name": "B1"})"},
            {tree("5[Boards[B2], Detectors]", "B1", "B2")});
        // Property changes by id reach only registered items, and make none.
        const QString known = R"(load [{"id": 5, "description": "Five"}] | [{"id": 7, "routes": [5], "name": "seven"}] | {"B1": {}, "B2": {"logged_in": true}})";
        const QStringList unchanged{"board B1 out 0 - []", "board B2 in 0 - []", "detector 7 seven -", "route 5 Five", tree("5[Boards, Detectors[7]]", "B1, B2")};
        auto change = [&](const char *name, const QString &notification, int line, const QString &changed) {
            QStringList out = unchanged;
            if (line >= 0)
                out[line] = changed;
            row(name, {known, "notify " + notification, "show"}, out);
        };
        change("detector 7", R"(VDTService.vdtPropertiesChanged {"id": 7, "name": "renamed"})", 2, "detector 7 renamed -");
        change("detector id as text", R"(VDTService.vdtPropertiesChanged {"id": "7", "name": "renamed"})", 2, "detector 7 renamed -");
        change("unknown detector", R"(VDTService.vdtPropertiesChanged {"id": 99, "name": "x", "routes": [5]})", -1, "");
        change("route 5", R"(RoadNetwork.routePropertiesChanged {"id": 5, "description": "Main"})", 3, "route 5 Main");
        change("unknown route", R"(RoadNetwork.routePropertiesChanged {"id": 99, "description": "Main"})", -1, "");
        change("route params a list", "RoadNetwork.routePropertiesChanged [5]", -1, "");
        change("logged in, whatever the params say", R"(BoardsServer.boardLoggedIn {"board_name": "B1", "logged_in": false})", 0, "board B1 in 0 - []");
        change("disconnected", R"(BoardsServer.boardDisconnected {"board_name": "B2"})", 1, "board B2 out 0 - []");
        change("board properties", R"(BoardsServer.boardPropertiesChanged {"board_name": "B1", "logged_in": true})", 0, "board B1 in 0 - []");
        change("a name in the wrong case", R"(BoardsServer.boardloggedIn {"board_name": "B1"})", -1, "");
        change("a method, not a notification", R"(BoardsServer.getBoards {"board_name": "B1", "id": 5})", -1, "");
        // Sections the host deletes.
        row("section Routes deleted by the host",
            {"connect", "delete-section Traffic priority system/Routes", R"(lists [{"id": 5}] | [{"id": 7, "routes": [5]}] | {"B1": {"route_id": 5}, "B2": {}})"},
            {"WARN: Route 5 for assigning Detector 7 has no 'modelItemObject' property", "WARN: Route 5 for assigning Vehicle B1 has no 'modelItemObject' property",
             "tree Traffic priority system[Not assigned boards[B2], Assigned boards, Emergency call detectors]"});
        row("section Not assigned boards deleted by the host",
            {"connect", "delete-section Traffic priority system/Not assigned boards", R"(lists [] | [{"id": 3, "emergency": true, "board_name": "B7"}] | {"A1": {}})"},
            {"tree Traffic priority system[Routes, Assigned boards, Emergency call detectors[3]]"});
        // A network that changes.
        row("routes that go and come take their boards and detectors",
            {R"(load [{"id": 5, "geometry_hash": "h5"}, {"id": 6}] | [{"id": 7, "routes": [5]}, {"id": 8, "routes": [9]}] | {"B1": {"route_id": 5}, "B2": {}, "B3": {"route_id": 9}})",
             answer5, kNetworkChanged, R"(lists [{"id": 6}] | [{"id": 7, "routes": [5]}, {"id": 8, "routes": [9]}])", "settle", "tree", kNetworkChanged,
             R"(lists [{"id": 6}, {"id": 5}, {"id": 9}] | [{"id": 7, "routes": [5]}, {"id": 8, "routes": [9]}])"},
            QStringList{geometry(5), "WARN: Invalid route 9 in detector 8", "WARN: Vehicle B3 assigned to invalid route with id 9"} + kReload
                + QStringList(tree("6[Boards, Detectors]", "B2, B3, B1")) + kReload
                + QStringList{tree("6[Boards, Detectors], 5[Boards[B1], Detectors[7]], 9[Boards[B3], Detectors[8]]", "B2", "B1, B3"), "cache routes[]"});
        for (const char *answer : {R"("oops")", R"({"id": 1})", "null"}) {
            row(qPrintable(QString("route list that is no list: ") + answer),
                {R"(load [{"id": 5, "geometry_hash": "h5"}])", answer5, kNetworkChanged, QString("lists ") + answer + " | []"},
                QStringList(geometry(5)) + kReload << "WARN: Malformed answer to 'RoadNetwork.getRouteList': the route list is not a list"
                    << route5 << "cache routes[5]");
        }
        for (const char *answer : {R"({"id": 8, "routes": [5]})", "null"}) {
            row(qPrintable(QString("detector list that is no list: ") + answer),
                {cached7, R"(load [{"id": 5}] | [{"id": 7, "routes": [5], "geometry_hash": "h1"}])", kNetworkChanged, QString(R"(lists [{"id": 5}] | )") + answer},
                QStringList(kReload) << "WARN: Malformed answer to 'VDTService.getVdtList': the detector list is not a list" << with7
                    << "cache detectors[7] routes[5]");
        }
        for (const char *routes : {"[]", "[6]"}) {
            row(qPrintable(QString("a known detector keeps its entries, routes now ") + routes),
                {R"(load [{"id": 5}] | [{"id": 7, "routes": [5]}])", kNetworkChanged, QString(R"(lists [{"id": 5}] | [{"id": 7, "routes": )") + routes + "}]"},
                QStringList(kReload) << with7);
        }
        const QStringList twoCached{
            R"(load [{"id": 5}] | [{"id": 7, "routes": [5], "geometry_hash": "h7"}, {"id": 8, "routes": [5], "geometry_hash": "h8"}])",
            R"(answer VDTService.getVdtGeometry {"geometry_hash": "h7", )" + kLine + "}",
            R"(answer VDTService.getVdtGeometry {"geometry_hash": "h8", )" + kLine + "}", kNetworkChanged};
        const QStringList asked = QStringList{vdtGeometry(7), vdtGeometry(8)} + kReload;
        const QString eight = R"({"id": 8, "routes": [5], "geometry_hash": "h8"})";
        row("a detector omitted is removed from the tree and the cache", QStringList(twoCached) << QString(R"(lists [{"id": 5}] | [)" + eight + "]"),
            QStringList(asked) << tree("5[Boards, Detectors[8]]") << "cache detectors[8]");
        row("a detector listed without an id is removed", QStringList(twoCached) << QString(R"(lists [{"id": 5}] | [)" + eight + R"(, {"routes": [5]}])"),
            QStringList(asked) << "WARN: Invalid detector id on getting detector list" << tree("5[Boards, Detectors[8]]") << "cache detectors[8]");
        row("an empty detector list removes them all", QStringList(twoCached) << QString(R"(lists [{"id": 5}] | [])"), QStringList(asked) << route5 << "cache detectors[]");
        row("a route that goes takes its boards to Not assigned boards", {R"(load [{"id": 5}] | [] | {"B1": {"route_id": 5}})", kNetworkChanged, "lists [] | []"},
            QStringList(kReload) << tree("", "B1") << "cache routes[]");
        // Answers for items that are gone belong to nobody.
        row("route geometry for a route removed", {R"(load [{"id": 5, "geometry_hash": "h5"}])", kNetworkChanged, "lists [] | []", "settle", answer5},
            QStringList(geometry(5)) + kReload << tree("") << "cache routes[]");
        row("route geometry for a route removed and listed again, not yet deleted",
            {R"(load [{"id": 5, "geometry_hash": "h5"}])", kNetworkChanged, "lists [] | []", kNetworkChanged, R"(lists [{"id": 5}] | [])", answer5},
            QStringList(geometry(5)) + kReload + kReload << route5 << "cache routes[]");
        const QString seven = R"(load [{"id": 5}] | [{"id": 7, "routes": [5], "geometry_hash": "h1"}])";
        const QString answer7 = R"(answer VDTService.getVdtGeometry {"geometry_hash": "h1", )" + kLine + "}";
        const QString drop7 = R"(lists [{"id": 5}] | [])";
        row("detector geometry for a detector removed, not yet deleted", {seven, kNetworkChanged, drop7, answer7},
            QStringList(vdtGeometry(7)) + kReload << route5 << "cache detectors[]");
        row("detector geometry for a detector removed and deleted", {seven, kNetworkChanged, drop7, "settle", answer7},
            QStringList(vdtGeometry(7)) + kReload << route5 << "cache detectors[]");
        row("detector geometry for a detector removed and listed again, not yet deleted",
            {seven, kNetworkChanged, drop7, kNetworkChanged, R"(lists [{"id": 5}] | [{"id": 7, "routes": [5], "geometry_hash": "h1"}])", answer7},
            QStringList(vdtGeometry(7)) + kReload + kReload << vdtGeometry(7) << with7 << "cache detectors[]");
        row("detector geometry after a disconnection", {seven, "disconnect", answer7}, {vdtGeometry(7), "INFO: RPC object 'fake-rpc' disconnected", "tree "});
        const QStringList removed{R"(load [{"id": 5}])", R"(notify BoardsServer.boardPosition {"board_name": "B1"})", R"(notify BoardsServer.boardsRemoved ["B1"])"};
        row("board data for a board removed", QStringList(removed) << QString(R"(answer BoardsServer.getBoardData {"route_id": 5})"), {kBoardData, route5});
        row("board data for a board removed and made again",
            removed + QStringList{R"(notify BoardsServer.boardPosition {"board_name": "B1"})", R"(answer BoardsServer.getBoardData {"route_id": 5})",
                                  R"(answer BoardsServer.getBoardData {"description": "own"})"},
            {kBoardData, kBoardData, tree("5[Boards, Detectors]", "B1")});
    }
    void loading()
    {
        QFETCH(QStringList, steps);
        QFETCH(QStringList, out);
        Host host;
        host.run(steps + QStringList("settle"));
        QStringList got = host.logged() << "tree " + host.tree();
        const bool whole = out.last().startsWith("cache {");
        if (host.cached(whole) != "-")
            got << "cache " + host.cached(whole);
        QVERIFY2(got == out, qPrintable(got.join("\n")));
    }

    // A selected board whose route changes stays selected, and its rows never change while it is.
    void routeChangeMovesEntries_data()
    {
        QTest::addColumn<int>("from");
        QTest::addColumn<int>("to");
        QTest::addColumn<QStringList>("out");
        const QString none = "5[Boards, Detectors], 6[Boards, Detectors]", on5 = "5[Boards[B1], Detectors], 6[Boards, Detectors]";
        QTest::newRow("5 to 0") << 5 << 0 << QStringList{tree(none, "B1")};
        QTest::newRow("0 to 5") << 0 << 5 << QStringList{tree(on5, "", "B1")};
        QTest::newRow("5 to 6") << 5 << 6 << QStringList{tree("5[Boards, Detectors], 6[Boards[B1], Detectors]", "", "B1")};
        QTest::newRow("5 to unknown 9") << 5 << 9 << QStringList{"WARN: Vehicle B1 assigned to invalid route with id 9", tree(none, "B1")};
        QTest::newRow("unknown 9 to 5") << 9 << 5 << QStringList{tree(on5, "", "B1")};
        QTest::newRow("5 to 5") << 5 << 5 << QStringList{tree(on5, "", "B1")};
    }
    void routeChangeMovesEntries()
    {
        QFETCH(int, from);
        QFETCH(int, to);
        QFETCH(QStringList, out);
        Host host;
        host.connectWith(R"([{"id": 5}, {"id": 6}])", "[]", QStringLiteral(R"({"B1": {"route_id": %1}})").arg(from));
        host.logged();
        PrioVehicle *vehicle = host.plugin->board("B1");
        vehicle->setSelected(true);
        QVector<bool> selectedAtRowChange;
        QObject probe;
        connect(host.kernel.model, &QAbstractItemModel::rowsInserted, &probe, [&] { selectedAtRowChange << vehicle->isSelected(); });
        connect(host.kernel.model, &QAbstractItemModel::rowsRemoved, &probe, [&] { selectedAtRowChange << vehicle->isSelected(); });
        host.notify("BoardsServer.boardPropertiesChanged", QStringLiteral(R"({"board_name": "B1", "route_id": %1})").arg(to));
        QCOMPARE(host.logged() << "tree " + host.tree(), out);
        QCOMPARE(selectedAtRowChange.size() >= 2, from != to);
        QCOMPARE(selectedAtRowChange, QVector<bool>(selectedAtRowChange.size(), false));
        QCOMPARE(host.kernel.scene->selectedItems(), QList<QGraphicsItem *>{vehicle});
    }

    // The file as the cache format has it: the route's list record plus its geometry, the
    // detector's geometry answer plus its emergency flag and routes; the list's hash.
    void cacheFileBytes()
    {
        Host host;
        host.run({R"(load [{"id": 12, "geometry_hash": "h7", "description": "Line 12"}] | [{"id": 5, "routes": [12], "geometry_hash": "d1"}])",
                  R"(answer RoadNetwork.getRouteGeometry {"geometry": "10.5,50.25 10.51,50.26", "geometry_hash": "h8"})",
                  R"(answer VDTService.getVdtGeometry {"geometry_hash": "d1", "geometry": "10.5,50.25 10.5,50.251"})", "stop"});
        QFile file(host.plugin->cacheFilePath());
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray("{\n    \"detectors\": {\n        \"5\": {\n            \"emergency\": false,\n"
                                            "            \"geometry\": \"10.5,50.25 10.5,50.251\",\n            \"geometry_hash\": \"d1\",\n"
                                            "            \"routes\": [\n                \"12\"\n            ]\n        }\n    },\n"
                                            "    \"routes\": {\n        \"12\": {\n            \"description\": \"Line 12\",\n"
                                            "            \"geometry\": \"10.5,50.25 10.51,50.26\",\n            \"geometry_hash\": \"h7\",\n"
                                            "            \"id\": 12\n        }\n    }\n}\n"));
        // A stop leaves the emptied top section in the host's tree.
        QCOMPARE(host.tree(), "Traffic priority system");
    }
};

QTEST_MAIN(tst_Registry)
#include "tst_registry.moc"
