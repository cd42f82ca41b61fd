// The registry and tree sections, the restore from the geometry cache, and route loading,
// on a scripted JSON-RPC object.

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QStandardPaths>
#include <QtTest>

#include "common/logcapture.h"
#include "common/treeprint.h"
#include "fakehost.h"
#include "items/prioroute.h"
#include "items/priovdetector.h"
#include "items/priovehicle.h"
#include "plugin/priorityplugin.h"

namespace {

const QString kTop = QStringLiteral("Traffic priority system");
const QString kEmptySections = QStringLiteral("Routes Not assigned boards Assigned boards Emergency call detectors");

QString cachePath()
{
    return QStandardPaths::writableLocation(QStandardPaths::CacheLocation) + QStringLiteral("/lumen2");
}

QByteArray readCache()
{
    QFile file(cachePath());
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeCache(const QJsonObject &root)
{
    QDir().mkpath(QFileInfo(cachePath()).path());
    QFile file(cachePath());
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(QJsonDocument(root).toJson());
}

struct Host
{
    Host()
    {
        // Lists stay unanswered unless a test answers them.
        rpc->script(QStringLiteral("RoadNetwork.getRouteList"), Script::Never);
        rpc->script(QStringLiteral("VDTService.getVdtList"), Script::Never);
        rpc->script(QStringLiteral("BoardsServer.getBoards"), Script::Never);
        rpc->script(QStringLiteral("RoadNetwork.getRouteGeometry"), Script::Never);
        rpc->script(QStringLiteral("VDTService.getVdtGeometry"), Script::Never);
        rpc->script(QStringLiteral("BoardsServer.getBoardData"), Script::Never);
        QVERIFY(plugin->start(rpc));
    }
    ~Host() { delete plugin; }

    QStringList methods() const
    {
        QStringList list;
        for (const PostedRequest &request : rpc->posted)
            list << request.method;
        return list;
    }
    // The newest unanswered request of a method.
    JsonRpcResponse *pending(const QString &method, const QVariant &params = QVariant()) const
    {
        for (int i = rpc->posted.size() - 1; i >= 0; --i) {
            const PostedRequest &request = rpc->posted[i];
            if (request.method == method && request.response && !request.response->isFinished()
                && (!params.isValid() || request.params == params))
                return request.response;
        }
        return nullptr;
    }
    void answer(const QString &method, const QVariant &result, const QVariant &params = QVariant())
    {
        JsonRpcResponse *response = pending(method, params);
        QVERIFY2(response, qPrintable(method));
        response->finishWithResult(result);
    }
    QString tree() const { return printSection(kernel.model(), kTop); }
    Road::ItemModel *model() const { return kernel.model(); }

    Road::Kernel kernel;
    JsonRpcOwner owner;
    QPointer<JsonRpcObject> rpc = new JsonRpcObject(&owner);
    QPointer<PriorityPlugin> plugin = new PriorityPlugin(&kernel);
};

QVariantMap routeRecord(const QVariant &id, const QString &hash = QString(), const QString &description = QString())
{
    QVariantMap record{{"id", id}};
    if (!hash.isNull())
        record.insert("geometry_hash", hash);
    if (!description.isNull())
        record.insert("description", description);
    return record;
}

const QVariantMap geometry12{{"geometry", "10.5,50.25 10.51,50.26"}, {"geometry_hash", "h7"}};

} // namespace

class tst_Registry : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        QCoreApplication::setApplicationName(QStringLiteral("tst_registry"));
    }
    void init() { QFile::remove(cachePath()); }

    void connectionBuildsSectionsAndAsksForTheLists()
    {
        Host host;
        LogCapture log;
        emit host.rpc->connected(true);
        QCOMPARE(host.tree(), kEmptySections);
        QCOMPARE(host.methods(), QStringList({"RoadNetwork.getRouteList", "VDTService.getVdtList", "BoardsServer.getBoards"}));
        QVERIFY(!host.rpc->posted[0].params.isValid());
        QCOMPARE(log.lines(), QStringList("info: [PriorityPlugin] INFO: RPC object 'fake-rpc' connected"));
        // The sections are the members the plug-in keeps.
        QVERIFY(host.plugin->routesSectionObject() && host.plugin->emergencyDetectorsSectionObject());
    }

    void disconnectionClearsAndReconnectionRebuilds()
    {
        Host host;
        emit host.rpc->connected(true);
        host.answer("RoadNetwork.getRouteList", QVariantList{routeRecord(12, "h7", "Line 12")});
        host.answer("RoadNetwork.getRouteGeometry", geometry12);
        QCOMPARE(host.tree(), "Routes[12[Boards Detectors]] Not assigned boards Assigned boards Emergency call detectors");
        QPointer<PrioRoute> first = host.plugin->route(12);

        LogCapture log;
        emit host.rpc->connected(false);
        QVERIFY(first.isNull());
        QVERIFY(host.plugin->routeRegistry().isEmpty());
        QCOMPARE(printBranch(host.model()), QString());
        QVERIFY(log.contains("info: [PriorityPlugin] INFO: RPC object 'fake-rpc' disconnected"));
        QVERIFY(host.plugin->rpcObject());

        host.rpc->posted.clear();
        emit host.rpc->connected(true);
        // The route comes back from the cache, with its geometry, before any answer.
        QCOMPARE(host.tree(), "Routes[12[Boards Detectors]] Not assigned boards Assigned boards Emergency call detectors");
        QVERIFY(host.plugin->route(12)->hasGeometry());
        QCOMPARE(host.methods(), QStringList({"RoadNetwork.getRouteList", "VDTService.getVdtList", "BoardsServer.getBoards"}));
        // The list with the same hash asks for no geometry.
        host.answer("RoadNetwork.getRouteList", QVariantList{routeRecord(12, "h7", "Line 12")});
        QCOMPARE(host.methods().count("RoadNetwork.getRouteGeometry"), 0);
    }

    void secondConnectionWithoutDisconnectionRejectsCachedDuplicates()
    {
        writeCache(QJsonObject{{"routes", QJsonObject{{"12", QJsonObject{{"id", 12}}}}}});
        Host host;
        emit host.rpc->connected(true);
        LogCapture log;
        emit host.rpc->connected(true);
        QVERIFY(log.contains("warning: [PriorityPlugin] WARN: Duplicate route with id 12"));
        QCOMPARE(host.plugin->routeRegistry().size(), 1);
    }

    void restoreFromCache()
    {
        writeCache(QJsonObject{
            {"routes", QJsonObject{{"0", QJsonObject{{"id", 0}}},
                                   {"abc", QJsonObject{{"id", 1}}},
                                   {"3", QJsonObject{{"id", 3}, {"description", "Three"}, {"geometry_hash", "g3"},
                                                     {"geometry", "10,50 10.01,50"}}},
                                   {"12", QJsonObject{{"id", 12}}}}},
            {"detectors", QJsonObject{{"5", QJsonObject{{"id", 5}, {"routes", QJsonArray()}}},
                                      {"9", QJsonObject{{"id", 9}, {"routes", QJsonArray{"3", "4"}}}},
                                      {"31", QJsonObject{{"id", 31}, {"emergency", true}, {"name", "North gate"}}}}},
        });
        Host host;
        LogCapture log;
        emit host.rpc->connected(true);
        // Keys in the file's (ascending) order: "12" before "3".
        QCOMPARE(host.tree(), "Routes[12[Boards Detectors] 3[Boards Detectors[9]]] Not assigned boards Assigned boards "
                              "Emergency call detectors[31]");
        QCOMPARE(host.plugin->route(3)->description(), QStringLiteral("Three"));
        QVERIFY(host.plugin->route(3)->hasGeometry());
        QVERIFY(!host.plugin->detector(5));
        QVERIFY(host.plugin->detector(9) && host.plugin->detector(31));
        QCOMPARE(log.lines().filter("WARN").join('|'), QStringLiteral("warning: [PriorityPlugin] WARN: Invalid route 4 in detector 9"));

        // The unqualified detector's entry leaves the cache; the others stay.
        host.plugin->geometryCache().flush();
        const QJsonObject detectors = QJsonDocument::fromJson(readCache()).object().value("detectors").toObject();
        QCOMPARE(detectors.keys(), QStringList({"31", "9"}));
    }

    void corruptCacheIsSkippedSilently()
    {
        QDir().mkpath(QFileInfo(cachePath()).path());
        QFile file(cachePath());
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("not json");
        file.close();
        Host host;
        LogCapture log;
        emit host.rpc->connected(true);
        QCOMPARE(host.tree(), kEmptySections);
        QCOMPARE(log.lines().filter("WARN").size(), 0);
        QCOMPARE(host.methods().size(), 3);
    }

    void routeListRequestsGeometryWhereTheHashDiffers_data()
    {
        QTest::addColumn<QVariantList>("list");
        QTest::addColumn<QStringList>("cachedHashes"); // "id:hash" restored first
        QTest::addColumn<QList<int>>("requested");
        QTest::addColumn<QList<int>>("registered");

        QTest::newRow("new route without a hash") << QVariantList{routeRecord(1)} << QStringList() << QList<int>() << QList<int>{1};
        QTest::newRow("new route with an empty hash") << QVariantList{routeRecord(1, "")} << QStringList() << QList<int>() << QList<int>{1};
        QTest::newRow("new route with a hash") << QVariantList{routeRecord(1, "a")} << QStringList() << QList<int>{1} << QList<int>{1};
        QTest::newRow("cached with the same hash") << QVariantList{routeRecord(1, "a")} << QStringList("1:a") << QList<int>() << QList<int>{1};
        QTest::newRow("cached with another hash") << QVariantList{routeRecord(1, "b")} << QStringList("1:a") << QList<int>{1} << QList<int>{1};
        QTest::newRow("cached, listed without a hash") << QVariantList{routeRecord(1)} << QStringList("1:a") << QList<int>{1} << QList<int>{1};
        QTest::newRow("same id twice asks twice") << QVariantList{routeRecord(4, "a"), routeRecord(4, "a")} << QStringList()
                                                  << QList<int>{4, 4} << QList<int>{4};
        QTest::newRow("id as a string") << QVariantList{routeRecord("17", "a")} << QStringList() << QList<int>{17} << QList<int>{17};
        QTest::newRow("id 0 is an id") << QVariantList{routeRecord(0, "a")} << QStringList() << QList<int>{0} << QList<int>{0};
        QTest::newRow("bad id skipped") << QVariantList{routeRecord("x", "a"), QVariantMap{{"geometry_hash", "b"}}, routeRecord(2, "c")}
                                        << QStringList() << QList<int>{2} << QList<int>{2};
    }
    void routeListRequestsGeometryWhereTheHashDiffers()
    {
        QFETCH(QVariantList, list);
        QFETCH(QStringList, cachedHashes);
        QFETCH(QList<int>, requested);
        QFETCH(QList<int>, registered);

        QJsonObject cachedRoutes;
        for (const QString &pair : cachedHashes) {
            const QStringList parts = pair.split(':');
            cachedRoutes.insert(parts[0], QJsonObject{{"id", parts[0].toInt()}, {"geometry_hash", parts[1]},
                                                      {"geometry", "10,50 10.01,50"}});
        }
        if (!cachedRoutes.isEmpty())
            writeCache(QJsonObject{{"routes", cachedRoutes}});

        Host host;
        emit host.rpc->connected(true);
        LogCapture log;
        host.answer("RoadNetwork.getRouteList", list);

        QList<int> asked;
        for (const PostedRequest &request : host.rpc->posted) {
            if (request.method == "RoadNetwork.getRouteGeometry") {
                QCOMPARE(request.params.toMap().keys(), QStringList("id"));
                asked << request.params.toMap().value("id").toInt();
            }
        }
        QCOMPARE(asked, requested);
        QList<int> ids = host.plugin->routeRegistry().keys();
        std::sort(ids.begin(), ids.end());
        QCOMPARE(ids, registered);
        QCOMPARE(log.count("warning: [PriorityPlugin] WARN: Invalid route id on getting route list"),
                 QTest::currentDataTag() == QByteArray("bad id skipped") ? 2 : 0);
    }

    void geometryIsAppliedAndCachedAsTheFileFormatSays()
    {
        Host host;
        emit host.rpc->connected(true);
        host.answer("RoadNetwork.getRouteList", QVariantList{routeRecord(12, "h7", "Line 12")});
        host.answer("RoadNetwork.getRouteGeometry", geometry12);
        PrioRoute *route = host.plugin->route(12);
        QVERIFY(route->hasGeometry());
        QCOMPARE(route->geometryHash(), QStringLiteral("h7"));
        QCOMPARE(route->description(), QStringLiteral("Line 12"));

        host.plugin->stop(false); // writes the cache
        const QByteArray expected = "{\n"
                                    "    \"routes\": {\n"
                                    "        \"12\": {\n"
                                    "            \"description\": \"Line 12\",\n"
                                    "            \"geometry\": \"10.5,50.25 10.51,50.26\",\n"
                                    "            \"geometry_hash\": \"h7\",\n"
                                    "            \"id\": 12\n"
                                    "        }\n"
                                    "    }\n"
                                    "}\n";
        QCOMPARE(readCache(), expected);
    }

    void emptyGeometryChangesNothing()
    {
        Host host;
        emit host.rpc->connected(true);
        host.answer("RoadNetwork.getRouteList", QVariantList{routeRecord(12, "h7")});
        LogCapture log;
        host.answer("RoadNetwork.getRouteGeometry", QVariantMap{{"geometry", ""}, {"geometry_hash", "h7"}});
        QCOMPARE(log.lines(), QStringList("warning: [PriorityPlugin] WARN: Route 12 has no geometry"));
        QVERIFY(!host.plugin->route(12)->hasGeometry());
        host.plugin->stop(false);
        QVERIFY(!QJsonDocument::fromJson(readCache()).object().value("routes").toObject().contains("12"));
    }

    // A route the list drops takes its boards to "Not assigned boards"; a route a later list
    // brings (back, or for the first time) takes the boards and detectors that name it.
    void routesThatGoAndComeTakeTheirBoardsAndDetectors()
    {
        Host host;
        emit host.rpc->connected(true);
        host.answer("RoadNetwork.getRouteList", QVariantList{routeRecord(5, "h5"), routeRecord(6, "h6")});
        host.answer("RoadNetwork.getRouteGeometry", QVariantMap{{"geometry", "10,50 10.01,50"}, {"geometry_hash", "h5"}},
                    QVariantMap{{"id", 5}});
        host.answer("VDTService.getVdtList", QVariantList{QVariantMap{{"id", 7}, {"routes", QVariantList{5}}},
                                                          QVariantMap{{"id", 8}, {"routes", QVariantList{9}}}});
        host.answer("BoardsServer.getBoards", QVariantMap{{"B1", QVariantMap{{"route_id", 5}}}, {"B2", QVariantMap{}},
                                                          {"B3", QVariantMap{{"route_id", 9}}}});
        QCOMPARE(host.tree(), "Routes[5[Boards[B1] Detectors[7]] 6[Boards Detectors]] Not assigned boards[B2 B3] "
                              "Assigned boards[B1] Emergency call detectors");

        QPointer<PrioRoute> removed = host.plugin->route(5);
        host.plugin->requestNetworkLists();
        host.answer("RoadNetwork.getRouteList", QVariantList{routeRecord(6, "h6")});
        QVERIFY(!host.plugin->route(5));
        QTRY_VERIFY(removed.isNull());
        QCOMPARE(host.tree(), "Routes[6[Boards Detectors]] Not assigned boards[B2 B3 B1] Assigned boards Emergency call detectors");
        // The board keeps its route id; only its place in the tree changed.
        QCOMPARE(host.plugin->board("B1")->routeId(), 5);
        host.plugin->geometryCache().flush();
        QVERIFY(!QJsonDocument::fromJson(readCache()).object().value("routes").toObject().contains("5"));

        host.plugin->requestNetworkLists();
        host.answer("RoadNetwork.getRouteList", QVariantList{routeRecord(6, "h6"), routeRecord(5), routeRecord(9)});
        QCOMPARE(host.tree(), "Routes[6[Boards Detectors] 5[Boards[B1] Detectors[7]] 9[Boards[B3] Detectors[8]]] "
                              "Not assigned boards[B2] Assigned boards[B1 B3] Emergency call detectors");
    }

    // The host clears its scene or deletes the layer: every item goes with it. Nothing may
    // reach the dead items, and the plug-in loads them again.
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
        emit host.rpc->connected(true);
        host.answer("RoadNetwork.getRouteList", QVariantList{routeRecord(5, "h5")});
        host.answer("RoadNetwork.getRouteGeometry", QVariantMap{{"geometry", "10,50 10.01,50"}, {"geometry_hash", "h5"}});
        host.answer("VDTService.getVdtList", QVariantList{QVariantMap{{"id", 7}, {"routes", QVariantList{5}}}});
        host.answer("BoardsServer.getBoards", QVariantMap{{"B1", QVariantMap{{"route_id", 5}}}});
        host.plugin->geometryCache().flush();
        QVERIFY(host.plugin->route(5) && host.plugin->detector(7) && host.plugin->board("B1"));

        if (wholeScene)
            host.kernel.scene()->clear();
        else
            delete host.kernel.scene()->layers.value(QStringLiteral("Traffic priority")).data();
        QVERIFY(host.plugin->routeRegistry().isEmpty() && host.plugin->detectorRegistry().isEmpty()
                && host.plugin->boardRegistry().isEmpty());
        QObjectList routes;
        QVERIFY(QMetaObject::invokeMethod(host.plugin, "getRoutes", Q_RETURN_ARG(QObjectList, routes)));
        QVERIFY(routes.isEmpty());
        QCOMPARE(host.tree(), kEmptySections);

        // Notifications for the lost objects meet nothing dead.
        const int before = host.rpc->posted.size();
        emit host.rpc->notification("RoadNetwork.routePropertiesChanged", QVariantMap{{"id", 5}, {"locked", true}});
        emit host.rpc->notification("BoardsServer.boardPropertiesChanged", QVariantMap{{"board_name", "B1"}});
        // Once for the whole loss: the route comes back from the cache, and the lists again.
        QTRY_COMPARE(host.methods().mid(before).filter("List").size(), 2);
        QVERIFY(host.plugin->route(5) && host.plugin->route(5)->hasGeometry());
        QCOMPARE(host.methods().mid(before),
                 QStringList({"BoardsServer.getBoardData", "RoadNetwork.getRouteList", "VDTService.getVdtList",
                              "BoardsServer.getBoards"}));
        host.answer("VDTService.getVdtList", QVariantList{QVariantMap{{"id", 7}, {"routes", QVariantList{5}}}});
        host.answer("RoadNetwork.getRouteList", QVariantList{routeRecord(5, "h5")});
        host.answer("BoardsServer.getBoards", QVariantMap{{"B1", QVariantMap{{"route_id", 5}}}});
        QCOMPARE(host.tree(), "Routes[5[Boards[B1] Detectors[7]]] Not assigned boards Assigned boards[B1] "
                              "Emergency call detectors");
        host.plugin->stop(false);
        QVERIFY(host.plugin->routeRegistry().isEmpty());
    }

    void malformedRouteListChangesNothing_data()
    {
        QTest::addColumn<QVariant>("answer");
        QTest::newRow("string") << QVariant("oops");
        QTest::newRow("object") << QVariant(QVariantMap{{"id", 1}});
        QTest::newRow("null") << QVariant();
    }
    void malformedRouteListChangesNothing()
    {
        QFETCH(QVariant, answer);
        Host host;
        emit host.rpc->connected(true);
        host.answer("RoadNetwork.getRouteList", QVariantList{routeRecord(5, "h5")});
        host.answer("RoadNetwork.getRouteGeometry", QVariantMap{{"geometry", "10,50 10.01,50"}, {"geometry_hash", "h5"}});
        host.plugin->geometryCache().flush();
        const QByteArray cached = readCache();

        host.rpc->posted.clear();
        host.plugin->requestNetworkLists();
        LogCapture log;
        host.answer("RoadNetwork.getRouteList", answer);
        QVERIFY(host.plugin->route(5));
        QCOMPARE(log.lines().filter("WARN").size(), 1);
        host.plugin->geometryCache().flush();
        QCOMPARE(readCache(), cached);
    }

    // The answer belongs to the item it was asked for; a removed or replaced route gets
    // nothing, and the cache does not get the removed entry back.
    // A list longer than a slice goes on in later passes, in its own order; the subscription
    // waits for it, and a list that comes meanwhile waits behind it.
    void bigListsAreTakenInASliceAtATime()
    {
        Host host;
        emit host.rpc->connected(true);
        QVariantMap boards;
        const int count = PriorityPlugin::ListSliceRecords * 2 + 500;
        for (int i = 0; i < count; ++i)
            boards.insert(QStringLiteral("B%1").arg(i, 5, 10, QLatin1Char('0')), QVariantMap{{"route_id", 0}});
        host.answer("BoardsServer.getBoards", boards);
        QCOMPARE(host.plugin->boardRegistry().size(), PriorityPlugin::ListSliceRecords);
        emit host.rpc->requestQueueEmpty();
        host.answer("RoadNetwork.getRouteList", QVariantList{routeRecord(5, "h5")});
        QVERIFY(host.rpc->subscriptions.isEmpty());
        QVERIFY(!host.plugin->route(5));

        QTRY_VERIFY(host.plugin->route(5));
        QCOMPARE(host.plugin->boardRegistry().size(), count);
        QCOMPARE(host.rpc->subscriptions.size(), 1);
        QCOMPARE(host.methods().mid(3), QStringList{"RoadNetwork.getRouteGeometry"});
        QStringList rows;
        const auto *section = qobject_cast<Road::ItemModel::Item *>(host.model()->section(kTop + "/Not assigned boards"));
        QVERIFY(section);
        for (const Road::ItemModel::Item *row : section->childItems())
            rows << static_cast<const Road::ItemObj *>(row)->object()->property("name").toString();
        QCOMPARE(rows, boards.keys());
    }

    void geometryAnswerForAGoneRouteIsDropped_data()
    {
        QTest::addColumn<bool>("replaced");
        QTest::newRow("removed") << false;
        QTest::newRow("replaced by a new route with the same id") << true;
    }
    void geometryAnswerForAGoneRouteIsDropped()
    {
        QFETCH(bool, replaced);
        Host host;
        emit host.rpc->connected(true);
        host.answer("RoadNetwork.getRouteList", QVariantList{routeRecord(5, "h5")});
        QPointer<JsonRpcResponse> stale = host.pending("RoadNetwork.getRouteGeometry");
        QVERIFY(stale);

        host.plugin->requestNetworkLists();
        host.answer("RoadNetwork.getRouteList", QVariantList());
        QTRY_VERIFY(host.plugin->routeRegistry().isEmpty());
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        if (replaced) {
            host.plugin->requestNetworkLists();
            host.answer("RoadNetwork.getRouteList", QVariantList{routeRecord(5)});
        }

        stale->finishWithResult(QVariantMap{{"geometry", "10,50 10.01,50"}, {"geometry_hash", "h5"}});
        if (replaced)
            QVERIFY(!host.plugin->route(5)->hasGeometry());
        host.plugin->stop(false);
        QVERIFY(!QJsonDocument::fromJson(readCache()).object().value("routes").toObject().contains("5"));
    }
};

QTEST_MAIN(tst_Registry)
#include "tst_registry.moc"
