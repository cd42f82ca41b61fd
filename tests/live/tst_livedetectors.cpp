// Detector loading: binding to routes or the emergency-call section, the boards a record
// names, removal of detectors no longer listed, and geometry asked for only where its hash
// changed.

#include <QJsonObject>
#include <QtTest>

#include <algorithm>

#include "items/priovdetector.h"
#include "items/priovehicle.h"
#include "livehost.h"

namespace {

const QString kGetVdtList = QStringLiteral("VDTService.getVdtList");
const QString kGetGeometry = QStringLiteral("VDTService.getVdtGeometry");
const QString kGetBoardData = QStringLiteral("BoardsServer.getBoardData");
// Two points about 130 m apart, south-west to north-east.
const QString kLine = QStringLiteral("30.0,50.0 30.001,50.001");

QString warn(const QString &text)
{
    return QStringLiteral("warning: [PriorityPlugin] WARN: ") + text;
}

QString ids(const QList<int> &list)
{
    QList<int> sorted = list;
    std::sort(sorted.begin(), sorted.end());
    QStringList parts;
    for (int id : sorted)
        parts << QString::number(id);
    return parts.join(QLatin1Char(' '));
}

// The tree with route 5 only.
QString tree(const QString &route5Detectors, const QString &unassigned, const QString &emergency)
{
    auto part = [](const QString &name, const QString &children) {
        return children.isEmpty() ? name : name + QLatin1Char('[') + children + QLatin1Char(']');
    };
    return QStringLiteral("Traffic priority system[Routes[5[Boards, %1]], %2, Assigned boards, %3]")
        .arg(part(QStringLiteral("Detectors"), route5Detectors), part(QStringLiteral("Not assigned boards"), unassigned),
             part(QStringLiteral("Emergency call detectors"), emergency));
}

QJsonObject cachedDetectors(LiveHost &host)
{
    return host.plugin->geometryCache().readFile().value(QStringLiteral("detectors")).toObject();
}

// The server changed its network: both lists are asked again and answered.
bool reload(LiveHost &host, const QVariantList &routes, const QVariant &detectors)
{
    host.rpc->answerResult(QStringLiteral("RoadNetwork.getRouteList"), routes);
    host.rpc->script(kGetVdtList, Script::Result, detectors);
    const int first = host.rpc->posted.size();
    host.notify(QStringLiteral("RoadNetwork.networkChanged"), QVariant());
    if (host.rpc->posted.size() != first + 2)
        return false;
    return QTest::qWaitFor([&] {
        const PostedRequest &last = host.rpc->posted.at(first + 1);
        return last.response && last.response->isFinished();
    });
}

} // namespace

class tst_LiveDetectors : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { prepareLiveSuite(QStringLiteral("tst_livedetectors")); }
    void init() { resetLiveStorage(); }

    void binding_data()
    {
        QTest::addColumn<QVariantList>("list");
        QTest::addColumn<QString>("registered");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<QStringList>("warnings");

        QTest::newRow("emergency with routes")
            << QVariantList{QVariantMap{{"id", 3}, {"emergency", true}, {"routes", QVariantList{5}}}}
            << "3" << tree("", "", "3") << QStringList();
        QTest::newRow("route ids as text") << QVariantList{QVariantMap{{"id", 7}, {"routes", QVariantList{"5"}}}}
                                           << "7" << tree("7", "", "") << QStringList();
        QTest::newRow("on route 5 and an unknown route")
            << QVariantList{QVariantMap{{"id", 7}, {"routes", QVariantList{9, 5}}}}
            << "7" << tree("7", "", "") << QStringList{warn("Invalid route 9 in detector 7")};
        QTest::newRow("only on an unknown route") << QVariantList{QVariantMap{{"id", 7}, {"routes", QVariantList{9}}}}
                                                  << "7" << tree("", "", "") << QStringList{warn("Invalid route 9 in detector 7")};
        QTest::newRow("empty routes") << QVariantList{QVariantMap{{"id", 7}, {"routes", QVariantList()}}}
                                      << "" << tree("", "", "") << QStringList();
        QTest::newRow("neither routes nor emergency") << QVariantList{QVariantMap{{"id", 7}, {"name", "x"}}}
                                                      << "" << tree("", "", "") << QStringList();
        const QString noId = warn("Invalid detector id on getting detector list");
        QTest::newRow("no id") << QVariantList{QVariantMap{{"routes", QVariantList{5}}}} << "" << tree("", "", "")
                               << QStringList{noId};
        QTest::newRow("element that is no object, then a good one")
            << QVariantList{42, QVariantMap{{"id", 8}, {"routes", QVariantList{5}}}} << "8" << tree("8", "", "")
            << QStringList{noId};
        QTest::newRow("several") << QVariantList{QVariantMap{{"id", 8}, {"routes", QVariantList{5}}},
                                                 QVariantMap{{"id", 2}, {"emergency", true}},
                                                 QVariantMap{{"id", 7}, {"routes", QVariantList{5}}}}
                                 << "2 7 8" << tree("8, 7", "", "2") << QStringList();
    }
    void binding()
    {
        QFETCH(QVariantList, list);
        QFETCH(QString, registered);
        QFETCH(QString, expected);
        QFETCH(QStringList, warnings);

        LiveHost host;
        LogCapture log;
        QVERIFY(host.connectWith({routeRecord(5)}, list));
        QCOMPARE(ids(host.plugin->detectorRegistry().keys()), registered);
        QTRY_COMPARE(host.tree(), expected);
        QCOMPARE(warningsIn(log), warnings);
        QCOMPARE(host.countOf(kGetGeometry), 0);
    }

    // A known detector is updated but never bound again.
    void knownDetectorKeepsItsEntries_data()
    {
        QTest::addColumn<QVariantList>("routes");
        QTest::newRow("routes now empty") << QVariantList();
        QTest::newRow("routes now another one") << QVariantList{6};
    }
    void knownDetectorKeepsItsEntries()
    {
        QFETCH(QVariantList, routes);
        LiveHost host;
        QVERIFY(host.connectWith({routeRecord(5)}, {QVariantMap{{"id", 7}, {"routes", QVariantList{5}}, {"name", "a"}}}));
        QPointer<PrioVDetector> detector = host.plugin->detector(7);
        QVERIFY(detector);
        LogCapture log;
        QVERIFY(reload(host, {routeRecord(5)}, QVariantList{QVariantMap{{"id", 7}, {"routes", routes}, {"name", "b"}}}));
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(detector);
        QCOMPARE(host.plugin->detector(7), detector.data());
        QCOMPARE(detector->name(), QStringLiteral("b"));
        QCOMPARE(detector->routes().size(), routes.size());
        QCOMPARE(host.tree(), tree("7", "", ""));
        QCOMPARE(warningsIn(log), QStringList());
    }

    void boardNamedInARecord_data()
    {
        QTest::addColumn<QVariantMap>("boards");
        QTest::addColumn<QString>("nameFilter");
        QTest::addColumn<QVariantMap>("record");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<QString>("vehicle"); // priority state, active detectors, filter

        const QVariantMap active{{"id", 7}, {"routes", QVariantList{5}}, {"board_name", "B7"}, {"state", "active"}};
        QVariantMap inside = active;
        inside.insert("state", "inside");
        QVariantMap emergency = active;
        emergency.remove("routes");
        emergency.insert("emergency", true);
        emergency.insert("id", 3);

        QTest::newRow("unknown board, active") << QVariantMap() << "" << active << tree("7", "B7", "") << "active [7] shown";
        QTest::newRow("unknown board, inside") << QVariantMap() << "" << inside << tree("7", "B7", "") << "inside [] shown";
        QTest::newRow("unknown board, by an emergency detector")
            << QVariantMap() << "" << emergency << tree("", "B7", "3") << "active [3] shown";
        QTest::newRow("unknown board the name filter rejects")
            << QVariantMap() << "X.*" << active << tree("7", "B7", "") << "active [7] hidden";
        QTest::newRow("known board on route 5")
            << QVariantMap{{"B7", QVariantMap{{"route_id", 5}}}} << "" << active
            << "Traffic priority system[Routes[5[Boards[B7], Detectors[7]]], Not assigned boards, Assigned boards[B7], "
               "Emergency call detectors]"
            << "active [7] shown";
    }
    void boardNamedInARecord()
    {
        QFETCH(QVariantMap, boards);
        QFETCH(QString, nameFilter);
        QFETCH(QVariantMap, record);
        QFETCH(QString, expected);
        QFETCH(QString, vehicle);

        LiveHost host;
        host.plugin->setVehicleNameFilter(nameFilter);
        // The record comes with a later detector list, once the board list is in: its board
        // is made only when the list did not bring it.
        QVERIFY(host.connectWith({routeRecord(5)}, {}, boards));
        QVERIFY(reload(host, {routeRecord(5)}, QVariantList{record}));

        PrioVehicle *b7 = host.plugin->board("B7");
        QVERIFY(b7);
        QCOMPARE(host.plugin->boardRegistry().size(), 1);
        QCOMPARE(host.countOf(kGetBoardData), 0);
        QCOMPARE(host.tree(), expected);
        QCOMPARE(QStringLiteral("%1 [%2] %3")
                     .arg(b7->priorityState(), ids(b7->activeDetectors()),
                          b7->isFilterAccepted() ? QStringLiteral("shown") : QStringLiteral("hidden")),
                 vehicle);
    }

    void removal_data()
    {
        QTest::addColumn<QVariantList>("second");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<QString>("b7State");
        QTest::addColumn<QList<int>>("b7Detectors");

        const QVariantMap eight{{"id", 8}, {"routes", QVariantList{5}}};
        QVariantMap eightActive = eight;
        eightActive.insert("board_name", "B7");
        eightActive.insert("state", "active");
        QTest::newRow("omitted") << QVariantList{eight} << tree("8", "B7", "") << "" << QList<int>();
        QTest::newRow("listed without an id") << QVariantList{QVariantMap{{"routes", QVariantList{5}}}, eight}
                                              << tree("8", "B7", "") << "" << QList<int>();
        QTest::newRow("omitted, another detector still has the board")
            << QVariantList{eightActive} << tree("8", "B7", "") << "active" << QList<int>{8};
        QTest::newRow("empty list") << QVariantList() << tree("", "B7", "") << "" << QList<int>();
    }
    void removal()
    {
        QFETCH(QVariantList, second);
        QFETCH(QString, expected);
        QFETCH(QString, b7State);
        QFETCH(QList<int>, b7Detectors);

        LiveHost host;
        const QVariantMap seven{{"id", 7}, {"routes", QVariantList{5}}, {"geometry_hash", "h7"},
                                {"board_name", "B7"}, {"state", "active"}};
        const QVariantMap eight{{"id", 8}, {"routes", QVariantList{5}}, {"geometry_hash", "h8"}};
        host.rpc->answerResult(kGetGeometry, QVariantMap{{"geometry_hash", "h"}, {"geometry", kLine}});
        QVERIFY(host.connectWith({routeRecord(5)}, {seven, eight}));
        QTRY_COMPARE(cachedDetectors(host).keys(), (QStringList{"7", "8"}));
        QCOMPARE(host.plugin->board("B7")->priorityState(), QStringLiteral("active"));
        QPointer<PrioVDetector> removed = host.plugin->detector(7);

        QVERIFY(reload(host, {routeRecord(5)}, second));
        QVERIFY(!host.plugin->detector(7));
        QTRY_VERIFY(!removed);
        QCOMPARE(host.tree(), expected);
        QVERIFY(!cachedDetectors(host).contains("7"));
        // The board outlives its detector, but not its "active" state.
        PrioVehicle *b7 = host.plugin->board("B7");
        QVERIFY(b7);
        QCOMPARE(b7->priorityState(), b7State);
        QCOMPARE(b7->activeDetectors(), b7Detectors);
    }

    void answerThatIsNoListChangesNothing_data()
    {
        QTest::addColumn<QVariant>("answer");
        QTest::newRow("object") << QVariant(QVariantMap{{"id", 8}, {"routes", QVariantList{5}}});
        QTest::newRow("null") << QVariant();
    }
    void answerThatIsNoListChangesNothing()
    {
        QFETCH(QVariant, answer);
        LiveHost host;
        const QVariantMap seven{{"id", 7}, {"routes", QVariantList{5}}, {"geometry_hash", "h7"}};
        host.rpc->answerResult(kGetGeometry, QVariantMap{{"geometry_hash", "h7"}, {"geometry", kLine}});
        QVERIFY(host.connectWith({routeRecord(5)}, {seven}));
        QTRY_COMPARE(cachedDetectors(host).keys(), QStringList{"7"});
        QPointer<PrioVDetector> detector = host.plugin->detector(7);

        LogCapture log;
        QVERIFY(reload(host, {routeRecord(5)}, answer));
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCOMPARE(warningsIn(log), QStringList{warn("Malformed answer to 'VDTService.getVdtList': the detector list is not a list")});
        QVERIFY(detector);
        QCOMPARE(host.plugin->detectorRegistry().keys(), QList<int>{7});
        QCOMPARE(host.tree(), tree("7", "", ""));
        QCOMPARE(cachedDetectors(host).keys(), QStringList{"7"});
    }

    void geometryAskedOnlyWhenTheHashDiffers_data()
    {
        QTest::addColumn<bool>("cached");
        QTest::addColumn<QVariantList>("list");
        QTest::addColumn<QVariantList>("asked");

        const QVariantMap seven{{"id", 7}, {"routes", QVariantList{5}}};
        auto with = [](QVariantMap record, const QVariantMap &more) {
            for (auto it = more.begin(); it != more.end(); ++it)
                record.insert(it.key(), it.value());
            return record;
        };
        const QVariantList seven7{QVariantMap{{"id", 7}}};

        QTest::newRow("new, no hash") << false << QVariantList{seven} << QVariantList();
        QTest::newRow("new, hash") << false << QVariantList{with(seven, {{"geometry_hash", "h1"}})} << seven7;
        QTest::newRow("new, hash and usable geometry")
            << false << QVariantList{with(seven, {{"geometry_hash", "h1"}, {"geometry", kLine}})} << QVariantList();
        QTest::newRow("new, hash and unusable geometry")
            << false << QVariantList{with(seven, {{"geometry_hash", "h1"}, {"geometry", "30.0,50.0"}})} << seven7;
        QTest::newRow("cached, same hash") << true << QVariantList{with(seven, {{"geometry_hash", "h1"}})} << QVariantList();
        QTest::newRow("cached, no hash") << true << QVariantList{seven} << seven7;
        QTest::newRow("cached, other hash") << true << QVariantList{with(seven, {{"geometry_hash", "h2"}})} << seven7;
        QTest::newRow("two new, in list order")
            << false
            << QVariantList{with(seven, {{"id", 9}, {"geometry_hash", "a"}}), with(seven, {{"geometry_hash", "b"}})}
            << QVariantList{QVariantMap{{"id", 9}}, QVariantMap{{"id", 7}}};
        QTest::newRow("new, no routes, hash")
            << false << QVariantList{QVariantMap{{"id", 7}, {"routes", QVariantList()}, {"geometry_hash", "h1"}}} << QVariantList();
    }
    void geometryAskedOnlyWhenTheHashDiffers()
    {
        QFETCH(bool, cached);
        QFETCH(QVariantList, list);
        QFETCH(QVariantList, asked);

        LiveHost host;
        if (cached) {
            host.plugin->geometryCache().writeEntry(
                "detectors", "7",
                QVariantMap{{"routes", QVariantList{"5"}}, {"geometry_hash", "h1"}, {"geometry", kLine}, {"emergency", false}});
        }
        host.rpc->script(kGetGeometry, Script::Never);
        QVERIFY(host.connectWith({routeRecord(5)}, list));
        QCOMPARE(host.paramsOf(kGetGeometry), asked);
    }

    void geometryAnswer_data()
    {
        QTest::addColumn<QVariantMap>("record");
        QTest::addColumn<QVariantMap>("answer");
        QTest::addColumn<QVariantMap>("cachedEntry");
        QTest::addColumn<QStringList>("warnings");

        const QVariantMap line{{"geometry_hash", "h1"}, {"geometry", kLine}, {"checkin_length", 40.0}};
        QVariantMap lineEntry = line;
        lineEntry.insert("emergency", false);
        lineEntry.insert("routes", QVariantList{"5", "9"});
        QTest::newRow("line zone") << QVariantMap{{"id", 7}, {"routes", QVariantList{5, 9}}, {"geometry_hash", "h1"}}
                                   << line << lineEntry << QStringList{warn("Invalid route 9 in detector 7")};

        const QVariantMap sector{{"geometry_hash", "e1"}, {"pos", QVariantList{30.0, 50.0}}, {"radius", 50},
                                 {"directionAngle", 90}, {"sweepAngle", 60}};
        QVariantMap sectorEntry = sector;
        sectorEntry.insert("emergency", true);
        QTest::newRow("emergency sector") << QVariantMap{{"id", 7}, {"emergency", true}, {"geometry_hash", "e1"}}
                                          << sector << sectorEntry << QStringList();
        QTest::newRow("answer that is no object")
            << QVariantMap{{"id", 7}, {"routes", QVariantList{5}}, {"geometry_hash", "h1"}}
            << QVariantMap() << QVariantMap() << QStringList{warn("Detector 7 has no geometry")};
    }
    void geometryAnswer()
    {
        QFETCH(QVariantMap, record);
        QFETCH(QVariantMap, answer);
        QFETCH(QVariantMap, cachedEntry);
        QFETCH(QStringList, warnings);

        LiveHost host;
        host.rpc->script(kGetGeometry, Script::Never);
        LogCapture log;
        QVERIFY(host.connectWith({routeRecord(5)}, {record}));
        JsonRpcResponse *response = host.pending(kGetGeometry);
        QVERIFY(response);
        if (answer.isEmpty())
            response->finishWithResult(QVariantList{1, 2});
        else
            response->finishWithResult(answer);

        PrioVDetector *detector = host.plugin->detector(7);
        QCOMPARE(detector->hasGeometry(), !cachedEntry.isEmpty());
        const QJsonObject detectors = cachedDetectors(host);
        if (cachedEntry.isEmpty()) {
            QVERIFY(!detectors.contains("7"));
        } else {
            QCOMPARE(detectors.value("7").toObject(), QJsonObject::fromVariantMap(cachedEntry));
        }
        QCOMPARE(warningsIn(log), warnings);
    }

    void geometryAnswerForADetectorThatIsGone_data()
    {
        QTest::addColumn<QString>("how");
        QTest::newRow("removed, not yet deleted") << "removed";
        QTest::newRow("removed and deleted") << "deleted";
        QTest::newRow("registry cleared by a disconnection") << "disconnected";
        QTest::newRow("removed and listed again") << "relisted";
    }
    void geometryAnswerForADetectorThatIsGone()
    {
        QFETCH(QString, how);
        LiveHost host;
        host.rpc->script(kGetGeometry, Script::Never);
        const QVariantMap seven{{"id", 7}, {"routes", QVariantList{5}}, {"geometry_hash", "h1"}};
        QVERIFY(host.connectWith({routeRecord(5)}, {seven}));
        QPointer<JsonRpcResponse> late = host.pending(kGetGeometry);
        QVERIFY(late);
        QPointer<PrioVDetector> asked = host.plugin->detector(7);

        if (how == "removed") {
            // Straight into the handler, so that the detector is still only marked for deletion.
            host.plugin->onDetectorList(QVariantList());
            QVERIFY(asked);
        } else if (how == "deleted") {
            QVERIFY(reload(host, {routeRecord(5)}, QVariantList()));
            QTRY_VERIFY(!asked);
        } else if (how == "disconnected") {
            emit host.rpc->connected(false);
            QVERIFY(!asked);
            QVERIFY(host.connectWith({routeRecord(5)}));
        } else {
            QVERIFY(reload(host, {routeRecord(5)}, QVariantList()));
            QVERIFY(reload(host, {routeRecord(5)}, QVariantList{seven}));
            QTRY_VERIFY(!asked);
            QCOMPARE(host.countOf(kGetGeometry), 2);
        }

        late->finishWithResult(QVariantMap{{"geometry_hash", "h1"}, {"geometry", kLine}});
        QVERIFY(!cachedDetectors(host).contains("7"));
        if (how == "relisted") {
            PrioVDetector *again = host.plugin->detector(7);
            QVERIFY(again);
            QVERIFY(!again->hasGeometry());
            host.pending(kGetGeometry)->finishWithResult(QVariantMap{{"geometry_hash", "h1"}, {"geometry", kLine}});
            QVERIFY(again->hasGeometry());
            QVERIFY(cachedDetectors(host).contains("7"));
        } else {
            QVERIFY(!host.plugin->detector(7));
        }
    }
};

QTEST_MAIN(tst_LiveDetectors)
#include "tst_livedetectors.moc"
