// The registries and the tree sections, the restore from the geometry cache, the loading of
// routes, detectors and boards, and the notifications that change them: a row is the steps in
// (cache, answers, notifications, what the host does) and the transcript out (requests, log and
// rpcError texts in order; "> lists" for the route and detector lists asked again), then the
// tree and, when there is a file, the cache.

#include <QtTest>

#include "plugin/scriptedhost.h"

namespace {

const QString kChanged = "notify RoadNetwork.networkChanged {}";
const QString kLine = R"("geometry": "30,50 30.001,50.001")";
const QString kBoardData = R"(> BoardsServer.getBoardData {"name":"B1"})";
const QString kAnswer5 = R"(answer RoadNetwork.getRouteGeometry {"geometry": "10,50 10.01,50", "geometry_hash": "h5"})";
const QString kAnswer7 = R"(answer VDTService.getVdtGeometry {"geometry_hash": "h1", )" + kLine + "}";

QString geometry(int id)
{
    return QStringLiteral(R"(> RoadNetwork.getRouteGeometry {"id":%1})").arg(id);
}
QString vdtGeometry(int id)
{
    return QStringLiteral(R"(> VDTService.getVdtGeometry {"id":%1})").arg(id);
}
// Routes without boards and detectors, "1[Boards, Detectors], 2[Boards, Detectors]".
QString bare(const QList<int> &ids)
{
    QStringList parts;
    for (int id : ids)
        parts << QString::number(id) + "[Boards, Detectors]";
    return parts.join(", ");
}
QString tree(const QString &routes, const QString &unassigned = "", const QString &assigned = "", const QString &emergency = "")
{
    return "tree " + sections(routes, unassigned, assigned, emergency);
}
// Route 5 loaded with these detectors (and boards).
QString on5(const QString &detectors, const QString &boards = "")
{
    return R"(load [{"id": 5}] | )" + detectors + (boards.isEmpty() ? "" : " | " + boards);
}

} // namespace

class tst_Registry : public QObject
{
    Q_OBJECT

private slots:
    void loading_data()
    {
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<QStringList>("out");
        auto row = [](const char *name, const QStringList &steps, const QStringList &out) { QTest::newRow(name) << steps << out; };
        const QString route5 = tree("5[Boards, Detectors]"), with7 = tree("5[Boards, Detectors[7]]");
        const QString cached7 = R"(cache {"routes": {"5": {"id": 5}}, "detectors": {"7": {"routes": ["5"], "geometry_hash": "h1", )" + kLine + "}}}";
        const QString seven = on5(R"([{"id": 7, "routes": [5], "geometry_hash": "h1"}])");

        row("model gone: no sections, stopped", {"delete-model", "connect"}, {"ERROR: Error creating section 'Routes'", "INFO: Stop", "tree -"});
        // Routes: geometry only where the hash differs from the cached one (an absent hash is
        // the empty one), in list order.
        row("route list against the cache: the same hash, another, none, an id twice, as text, 0, a bad one",
            {R"(cache {"routes": {"1": {"id": 1, "geometry_hash": "a", "geometry": "10,50 10.01,50"}, "2": {"id": 2, "geometry_hash": "a"},
                                  "3": {"id": 3, "geometry_hash": "a", "geometry": "10,50 10.01,50"}}})",
             R"(load [{"id": 1, "geometry_hash": "a"}, {"id": 2, "geometry_hash": "b"}, {"id": 3}, {"id": 4}, {"id": 6, "geometry_hash": ""},
                     {"id": 7, "geometry_hash": "a"}, {"id": 7, "geometry_hash": "a"}, {"id": "17", "geometry_hash": "b"}, {"id": 0, "geometry_hash": "c"},
                     {"id": "x"}])"},
            {geometry(2), geometry(3), geometry(7), geometry(7), geometry(17), geometry(0), "WARN: Invalid route id on getting route list",
             tree(bare({1, 2, 3, 4, 6, 7, 17, 0})), "cache routes[1 2 3]"});
        // The cache on connection, and the tree on disconnection.
        row("corrupt cache: skipped silently", {"cache not json", "load [] | [] | {}"}, {tree(""), "cache ?"});
        row("connected twice: the cache's items are duplicates",
            {R"(cache {"routes": {"12": {"id": 12}}, "detectors": {"31": {"id": 31, "emergency": true}}})", "connect", "connect"},
            {"WARN: Duplicate route with id 12", "WARN: Duplicate detector with id 31", tree(bare({12}), "", "", "31"), "cache detectors[31] routes[12]"});
        for (const char *loss : {"clear-scene", "delete-layer"}) {
            const QString all = R"(lists [{"id": 5, "geometry_hash": "h5"}] | [{"id": 7, "routes": [5]}] | {"B1": {"route_id": 5}})";
            row(qPrintable(QString(loss) + ": the items go, nothing reaches them, loaded again once"),
                {"connect", all, kAnswer5, loss, "show", "tree", R"(notify RoadNetwork.routePropertiesChanged {"id": 5, "locked": true})",
                 R"(notify BoardsServer.boardPropertiesChanged {"board_name": "B1"})", "settle", all},
                {geometry(5), tree(""), kBoardData, "INFO: Map items were destroyed by the host; loading them again", "> lists",
                 "> BoardsServer.getBoards -", tree("5[Boards[B1], Detectors[7]]", "", "B1"), "cache routes[5]"});
        }
        // Detectors: geometry only where the hash differs, or the list's gives no zone.
        row("detector list against the cache: the same hash, none, another; geometry in the list, one that gives no zone",
            {R"(cache {"routes": {"5": {"id": 5}}, "detectors": {"7": {"routes": ["5"], "geometry_hash": "h1", )" + kLine
                 + R"(}, "8": {"routes": ["5"], "geometry_hash": "h1", )" + kLine + R"(}, "9": {"routes": ["5"], "geometry_hash": "h1", )" + kLine + "}}}",
             on5(R"([{"id": 7, "routes": [5], "geometry_hash": "h1"}, {"id": 8, "routes": [5]}, {"id": 9, "routes": [5], "geometry_hash": "h2"},
                     {"id": 3, "routes": [5], "geometry_hash": "a"}, {"id": 6, "routes": [5], "geometry_hash": "a", )" + kLine + R"(},
                     {"id": 4, "routes": [5], "geometry_hash": "a", "geometry": "30,50"}, {"routes": [5]}])")},
            {vdtGeometry(8), vdtGeometry(9), vdtGeometry(3), vdtGeometry(4), "WARN: Invalid detector id on getting detector list",
             tree("5[Boards, Detectors[7, 8, 9, 3, 6, 4]]"), "cache detectors[7 8 9] routes[5]"});
        row("sector geometry cached without routes", {on5(R"([{"id": 7, "emergency": true, "geometry_hash": "e1"}])"),
             R"(answer VDTService.getVdtGeometry {"geometry_hash": "e1", "pos": [30, 50], "radius": 50, "directionAngle": 90, "sweepAngle": 60})"},
            {vdtGeometry(7), tree("5[Boards, Detectors]", "", "", "7"),
             R"(cache {"detectors":{"7":{"directionAngle":90,"emergency":true,"geometry_hash":"e1","pos":[30,50],"radius":50,"sweepAngle":60}}})"});
        row("detector geometry that gives no zone", {seven, "answer VDTService.getVdtGeometry [1, 2]"},
            {vdtGeometry(7), "WARN: Detector 7 has no geometry", with7});
        // Boards a detector names: made and listed, no board data asked for them.
        const QString active = R"({"id": 7, "routes": [5], "board_name": "B7", "state": "active"})";
        row("boards named by detectors: active, inside, by an emergency detector",
            {on5("[" + active + R"(, {"id": 8, "routes": [5], "board_name": "B8", "state": "inside"},
                     {"id": 3, "emergency": true, "board_name": "B9", "state": "active"}])"), "show"},
            {"board B7 out 0 active [7]", "board B8 out 0 inside []", "board B9 out 0 active [3]", "detector 3 - active", "detector 7 - active",
             "detector 8 - inside", "route 5 -", tree("5[Boards, Detectors[7, 8]]", "B7, B8, B9", "", "3")});
        row("board named by a detector, rejected by the name filter", {"filter X.*", on5("[" + active + "]"), "show"},
            {"board B7 out 0 active [7] hidden", "detector 7 - active", "route 5 -", tree("5[Boards, Detectors[7]]", "B7")});
        const QString two = on5("[" + active + R"(, {"id": 8, "routes": [5]}])");
        row("its detector omitted: the board stays, not active", {two, kChanged, R"(lists [{"id": 5}] | [{"id": 8, "routes": [5]}])", "show"},
            {"> lists", "board B7 out 0 - []", "detector 8 - -", "route 5 -", tree("5[Boards, Detectors[8]]", "B7"), "cache detectors[]"});
        row("its detector omitted, another one has it",
            {two, kChanged, R"(lists [{"id": 5}] | [{"id": 8, "routes": [5], "board_name": "B7", "state": "active"}])", "show"},
            {"> lists", "board B7 out 0 active [8]", "detector 8 - active", "route 5 -", tree("5[Boards, Detectors[8]]", "B7"), "cache detectors[]"});
        // Boards from the list and from notifications.
        row("a known board logs in and out",
            {R"(load [] | [] | {"B1": {}})", R"(notify BoardsServer.boardLoggedIn {"board_name": "B1"})", "show",
             R"(notify BoardsServer.boardDisconnected {"board_name": "B1"})", "show"},
            {"board B1 in 0 - []", "board B1 out 0 - []", tree("", "B1")});
        row("a board whose data cannot be posted", {on5(R"([{"id": 7, "routes": [5]}])"), "script BoardsServer.getBoardData invoke-fails",
                                                     R"(notify BoardsServer.boardPosition {"board_name": "B1"})"},
            {kBoardData, "rpcError: Invoke 'BoardsServer.getBoardData' failed", "INFO: Stop", "tree Traffic priority system"});
        row("board data without a route after a route change", {R"(load [{"id": 5}])", R"(notify BoardsServer.boardPosition {"board_name": "B1"})",
             R"(notify BoardsServer.boardPropertiesChanged {"board_name": "B1", "route_id": 9})", R"(answer BoardsServer.getBoardData {"route_id": 0})"},
            {kBoardData, "WARN: Vehicle B1 assigned to invalid route with id 9", tree("5[Boards, Detectors]", "B1")});
        // Sections the host deletes.
        row("section Routes deleted by the host",
            {"connect", "delete-section Traffic priority system/Routes", R"(lists [{"id": 5}] | [{"id": 7, "routes": [5]}] | {"B1": {"route_id": 5}, "B2": {}})"},
            {"WARN: Route 5 for assigning Detector 7 has no 'modelItemObject' property",
             "WARN: Route 5 for assigning Vehicle B1 has no 'modelItemObject' property",
             "tree Traffic priority system[Not assigned boards[B2], Assigned boards, Emergency call detectors]"});
        row("section Not assigned boards deleted by the host",
            {"connect", "delete-section Traffic priority system/Not assigned boards",
             R"(lists [] | [{"id": 3, "emergency": true, "board_name": "B7"}] | {"A1": {}})"},
            {"tree Traffic priority system[Routes, Assigned boards, Emergency call detectors[3]]"});
        // A network that changes.
        const QString twoLists = R"([{"id": 7, "routes": [5]}, {"id": 8, "routes": [9]}])";
        row("routes that go and come take their boards and detectors",
            {R"(load [{"id": 5, "geometry_hash": "h5"}, {"id": 6}] | )" + twoLists + R"( | {"B1": {"route_id": 5}, "B2": {}, "B3": {"route_id": 9}})",
             kAnswer5, kChanged, R"(lists [{"id": 6}] | )" + twoLists, "settle", "tree", kChanged, R"(lists [{"id": 6}, {"id": 5}, {"id": 9}] | )" + twoLists},
            {geometry(5), "WARN: Invalid route 9 in detector 8", "WARN: Vehicle B3 assigned to invalid route with id 9", "> lists",
             tree("6[Boards, Detectors]", "B2, B3, B1"), "> lists",
             tree("6[Boards, Detectors], 5[Boards[B1], Detectors[7]], 9[Boards[B3], Detectors[8]]", "B2", "B1, B3"), "cache routes[]"});
        row("route list that is no list", {R"(load [{"id": 5, "geometry_hash": "h5"}])", kAnswer5, kChanged, "lists null | []"},
            {geometry(5), "> lists", "WARN: Malformed answer to 'RoadNetwork.getRouteList': the route list is not a list", route5, "cache routes[5]"});
        const QString eight = R"({"id": 8, "routes": [5], "geometry_hash": "h8"})";
        const QStringList twoCached{on5(R"([{"id": 7, "routes": [5], "geometry_hash": "h7"}, )" + eight + "]"),
                                    R"(answer VDTService.getVdtGeometry {"geometry_hash": "h7", )" + kLine + "}",
                                    R"(answer VDTService.getVdtGeometry {"geometry_hash": "h8", )" + kLine + "}", kChanged};
        row("a detector omitted is removed from the tree and the cache", twoCached + QStringList(R"(lists [{"id": 5}] | [)" + eight + "]"),
            {vdtGeometry(7), vdtGeometry(8), "> lists", tree("5[Boards, Detectors[8]]"), "cache detectors[8]"});
        // Answers for items that are gone belong to nobody.
        const QString five = R"(load [{"id": 5, "geometry_hash": "h5"}])";
        row("route geometry for a route removed", {five, kChanged, "lists [] | []", "settle", kAnswer5},
            {geometry(5), "> lists", tree(""), "cache routes[]"});
        row("route geometry for a route removed and listed again, not yet deleted",
            {five, kChanged, "lists [] | []", kChanged, R"(lists [{"id": 5}] | [])", kAnswer5}, {geometry(5), "> lists", "> lists", route5, "cache routes[]"});
        const QString drop7 = R"(lists [{"id": 5}] | [])";
        row("detector geometry for a detector removed, not yet deleted", {seven, kChanged, drop7, kAnswer7},
            {vdtGeometry(7), "> lists", route5, "cache detectors[]"});
        row("detector geometry for a detector removed and deleted", {seven, kChanged, drop7, "settle", kAnswer7},
            {vdtGeometry(7), "> lists", route5, "cache detectors[]"});
        row("detector geometry for a detector removed and listed again, not yet deleted",
            {seven, kChanged, drop7, kChanged, R"(lists [{"id": 5}] | [{"id": 7, "routes": [5], "geometry_hash": "h1"}])", kAnswer7},
            {vdtGeometry(7), "> lists", "> lists", vdtGeometry(7), with7, "cache detectors[]"});
        const QStringList removed{R"(load [{"id": 5}])", R"(notify BoardsServer.boardPosition {"board_name": "B1"})",
                                  R"(notify BoardsServer.boardsRemoved ["B1"])"};
        row("board data for a board removed", removed + QStringList(R"(answer BoardsServer.getBoardData {"route_id": 5})"), {kBoardData, route5});
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
        QVERIFY2(got == out.replaceInStrings(QRegularExpression("^> lists$"), "> RoadNetwork.getRouteList -\n> VDTService.getVdtList -").join('\n').split('\n'),
                 qPrintable(got.join('\n')));
    }

    // A list longer than a slice goes on in later passes, in its own order; the subscription
    // waits for it, and a route list that comes meanwhile waits behind it. A connection that
    // drops ends it.
    void bigListsAreTakenInASliceAtATime()
    {
        QStringList names;
        for (int i = 0; i < 2 * PriorityPlugin::ListSliceRecords + 500; ++i)
            names << QStringLiteral("B%1").arg(i, 5, 10, QLatin1Char('0'));
        Host host;
        // The model tester walks the whole tree at every insertion: minutes for 2 500 rows.
        QObject::disconnect(host.kernel.itemModel(), nullptr, &host.tester, nullptr);
        const QString boards = "lists  |  | {\"" + names.join("\": {}, \"") + "\": {}}";
        host.run({"connect", boards});
        host.run({"queue-empty", R"(lists [{"id": 5, "geometry_hash": "h5"}])"});
        // The first slice: the list's start, up to a slice's records (fewer on a slow machine).
        const int first = host.plugin->boardRegistry().size();
        QVERIFY(first > 0 && first <= PriorityPlugin::ListSliceRecords);
        QCOMPARE(host.tree(), sections("", names.mid(0, first).join(", ")));
        QCOMPARE(host.logged(), QStringList());
        QTRY_COMPARE(host.tree(), sections("5[Boards, Detectors]", names.join(", ")));
        QCOMPARE(host.logged().replaceInStrings(QRegularExpression("^(subscribe:).*"), "\\1"), QStringList({geometry(5), "subscribe:"}));
        // A list of an earlier session is not taken in any more, nor does a new one wait behind it.
        host.run({"disconnect", "connect", boards, "disconnect", "settle"});
        QCOMPARE(host.plugin->boardRegistry().size(), 0);
        host.run({"connect", boards, "disconnect", "connect", R"(lists [] | [] | {"Z": {}})"});
        QCOMPARE(host.tree() + ' ' + host.plugin->boardRegistry().keys().join(' '), sections("", "Z") + " Z");
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
