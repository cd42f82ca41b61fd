// Boards: the board list, boards made on demand by notifications, their board data answers,
// and their place in the tree as their route changes.

#include <QtTest>

#include "items/prioroute.h"
#include "items/priovehicle.h"
#include "livehost.h"

namespace {

const QString kGetBoardData = QStringLiteral("BoardsServer.getBoardData");
const QString kPosition = QStringLiteral("BoardsServer.boardPosition");
const QString kProperties = QStringLiteral("BoardsServer.boardPropertiesChanged");

QString invalidRoute(const QString &vehicle, int route)
{
    return QStringLiteral("warning: [PriorityPlugin] WARN: Vehicle %1 assigned to invalid route with id %2").arg(vehicle).arg(route);
}

QString tree(const QString &routes, const QString &unassigned, const QString &assigned)
{
    auto part = [](const QString &name, const QString &children) {
        return children.isEmpty() ? name : name + QLatin1Char('[') + children + QLatin1Char(']');
    };
    return QStringLiteral("Traffic priority system[%1, %2, %3, Emergency call detectors]")
        .arg(part(QStringLiteral("Routes"), routes), part(QStringLiteral("Not assigned boards"), unassigned),
             part(QStringLiteral("Assigned boards"), assigned));
}

} // namespace

class tst_LiveBoards : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { prepareLiveSuite(QStringLiteral("tst_liveboards")); }
    void init() { resetLiveStorage(); }

    void boardListFiling_data()
    {
        QTest::addColumn<QVariantList>("routes");
        QTest::addColumn<QVariantMap>("boards");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<QStringList>("warnings");

        // One list carrying every filing path: a registered route, an unregistered one, no
        // route_id, route 0 and a record that is no object; boards are taken in name order.
        QTest::newRow("every path, in name order")
            << QVariantList{routeRecord(5), routeRecord(6)}
            << QVariantMap{{"C3", QVariantMap{{"route_id", 7}}},
                           {"A1", QVariantMap()},
                           {"B2", QVariantMap{{"route_id", 6}}},
                           {"E5", QVariantMap{{"route_id", 0}}},
                           {"F6", QVariant(42)},
                           {"D4", QVariantMap{{"route_id", 5}}}}
            << tree("5[Boards[D4], Detectors], 6[Boards[B2], Detectors]", "A1, C3, E5, F6", "B2, D4")
            << QStringList{invalidRoute("C3", 7)};
        QTest::newRow("empty list") << QVariantList{routeRecord(5)} << QVariantMap()
                                    << tree("5[Boards, Detectors]", "", "") << QStringList();
    }
    void boardListFiling()
    {
        QFETCH(QVariantList, routes);
        QFETCH(QVariantMap, boards);
        QFETCH(QString, expected);
        QFETCH(QStringList, warnings);

        LiveHost host;
        LogCapture log;
        QVERIFY(host.connectWith(routes, {}, boards));
        QCOMPARE(host.tree(), expected);
        QCOMPARE(warningsIn(log), warnings);
        QCOMPARE(host.plugin->boardRegistry().size(), boards.size());
        // The list brings whole records: nothing is asked for board by board.
        QCOMPARE(host.countOf(kGetBoardData), 0);
    }

    void routeWithoutTreeEntry()
    {
        LiveHost host;
        host.rpc->answerResult("RoadNetwork.getRouteList", QVariantList{routeRecord(5)});
        host.rpc->answerResult("VDTService.getVdtList", QVariantList());
        host.rpc->script("BoardsServer.getBoards", Script::Never);
        emit host.rpc->connected(true);
        QTRY_VERIFY(host.plugin->route(5));
        delete host.plugin->route(5)->property("modelItemObject").value<QObject *>();
        QVERIFY(!host.plugin->route(5)->property("modelItemObject").value<QObject *>());

        LogCapture log;
        host.pending("BoardsServer.getBoards")->finishWithResult(QVariantMap{{"B1", QVariantMap{{"route_id", 5}}}});
        QCOMPARE(warningsIn(log), QStringList{"warning: [PriorityPlugin] WARN: Route 5 for assigning Vehicle B1 has no 'modelItemObject' property"});
        QVERIFY(host.plugin->board("B1"));
        QCOMPARE(host.tree(), tree("", "", ""));
    }

    void routeChangeMovesEntries_data()
    {
        QTest::addColumn<int>("from");
        QTest::addColumn<int>("to");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<QStringList>("warnings");

        QTest::newRow("5 to 0") << 5 << 0 << tree("5[Boards, Detectors], 6[Boards, Detectors]", "B1", "") << QStringList();
        QTest::newRow("0 to 5") << 0 << 5 << tree("5[Boards[B1], Detectors], 6[Boards, Detectors]", "", "B1") << QStringList();
        QTest::newRow("5 to 6") << 5 << 6 << tree("5[Boards, Detectors], 6[Boards[B1], Detectors]", "", "B1") << QStringList();
        QTest::newRow("5 to unknown 9") << 5 << 9 << tree("5[Boards, Detectors], 6[Boards, Detectors]", "B1", "")
                                        << QStringList{invalidRoute("B1", 9)};
        QTest::newRow("unknown 9 to 5") << 9 << 5 << tree("5[Boards[B1], Detectors], 6[Boards, Detectors]", "", "B1")
                                        << QStringList();
        QTest::newRow("5 to 5") << 5 << 5 << tree("5[Boards[B1], Detectors], 6[Boards, Detectors]", "", "B1") << QStringList();
    }
    void routeChangeMovesEntries()
    {
        QFETCH(int, from);
        QFETCH(int, to);
        QFETCH(QString, expected);
        QFETCH(QStringList, warnings);

        LiveHost host;
        QVERIFY(host.connectWith({routeRecord(5), routeRecord(6)}, {}, {{"B1", QVariantMap{{"route_id", from}}}}));
        PrioVehicle *vehicle = host.plugin->board("B1");
        vehicle->setSelected(true);
        // The host follows the scene's selection in its tree: rows of a selected object must
        // not come and go under it, so the move happens while the vehicle is deselected.
        QVector<bool> selectedAtRowChange;
        QObject probe;
        auto *model = host.kernel.model();
        connect(model, &QAbstractItemModel::rowsInserted, &probe, [&] { selectedAtRowChange << vehicle->isSelected(); });
        connect(model, &QAbstractItemModel::rowsRemoved, &probe, [&] { selectedAtRowChange << vehicle->isSelected(); });
        LogCapture log;
        host.notify(kProperties, QVariantMap{{"board_name", "B1"}, {"route_id", to}});
        QCOMPARE(vehicle->routeId(), to);
        QCOMPARE(host.tree(), expected);
        QCOMPARE(warningsIn(log), warnings);
        QVERIFY(from == to || selectedAtRowChange.size() >= 2);
        QCOMPARE(selectedAtRowChange, QVector<bool>(selectedAtRowChange.size(), false));
        QCOMPARE(host.kernel.scene()->selectedItems(), QList<QGraphicsItem *>{vehicle});
    }

    void knownBoardOnlyGetsItsRecord()
    {
        LiveHost host;
        QVERIFY(host.connectWith({routeRecord(5)}, {}, {{"B1", QVariantMap{{"description", "first"}}}}));
        QPointer<PrioVehicle> vehicle = host.plugin->board("B1");
        // Set against what the (empty) filters say: a second list must leave it alone.
        vehicle->setFilterAccepted(false);

        // A second connected(true) without a disconnection in between asks for the list again.
        QVERIFY(host.connectWith({routeRecord(5)}, {}, {{"B1", QVariantMap{{"description", "second"}}}}));
        QVERIFY(vehicle);
        QCOMPARE(host.plugin->boardRegistry().size(), 1);
        QCOMPARE(host.plugin->board("B1"), vehicle.data());
        QCOMPARE(vehicle->description(), QStringLiteral("second"));
        QCOMPARE(host.section("Not assigned boards"), QStringLiteral("B1"));
        QVERIFY(!vehicle->isFilterAccepted());
    }

    void boardForEventCreatesOnce_data()
    {
        QTest::addColumn<QString>("event");
        for (const char *event : {"BoardsServer.boardPosition", "BoardsServer.boardPropertiesChanged",
                                  "BoardsServer.boardLoggedIn", "BoardsServer.boardDisconnected",
                                  "VDTService.vdtStateChanged"})
            QTest::newRow(event) << QString::fromLatin1(event);
    }
    void boardForEventCreatesOnce()
    {
        QFETCH(QString, event);
        LiveHost host;
        QVERIFY(host.connectWith({routeRecord(5)}));
        host.rpc->script(kGetBoardData, Script::Never);
        LogCapture log;

        host.notify(event, QVariantMap{{"board_name", "B1"}});
        QPointer<PrioVehicle> first = host.plugin->board("B1");
        QVERIFY(first);
        QCOMPARE(first->name(), QStringLiteral("B1"));
        host.notify(event, QVariantMap{{"board_name", "B1"}});
        QCOMPARE(host.plugin->board("B1"), first.data());
        QCOMPARE(host.plugin->boardRegistry().size(), 1);
        QCOMPARE(host.paramsOf(kGetBoardData), (QVariantList{QVariantMap{{"name", "B1"}}}));
        // Listed only once its data has come.
        QCOMPARE(host.section("Not assigned boards"), QString());
        QCOMPARE(warningsIn(log), QStringList());

        host.pending(kGetBoardData)->finishWithResult(QVariantMap{{"description", "bus 12"}});
        QCOMPARE(first->description(), QStringLiteral("bus 12"));
        QCOMPARE(host.section("Not assigned boards"), QStringLiteral("B1"));
    }

    void boardForEventWithoutName_data()
    {
        QTest::addColumn<QString>("event");
        QTest::addColumn<QVariant>("params");
        QTest::newRow("position, no key") << kPosition << QVariant(QVariantMap{{"pos", QVariantList{30.0, 50.0}}});
        QTest::newRow("position, empty name") << kPosition << QVariant(QVariantMap{{"board_name", ""}});
        QTest::newRow("position, params a list") << kPosition << QVariant(QVariantList{"B1"});
        QTest::newRow("disconnected, params a string") << "BoardsServer.boardDisconnected" << QVariant("B1");
    }
    void boardForEventWithoutName()
    {
        QFETCH(QString, event);
        QFETCH(QVariant, params);
        LiveHost host;
        QVERIFY(host.connectWith({routeRecord(5)}));
        auto *timeline = new RecordingTimeline(&host.owner);
        host.plugin->registerTimeline(timeline);
        LogCapture log;
        host.notify(event, params);
        QCOMPARE(warningsIn(log), QStringList{QStringLiteral("warning: [PriorityPlugin] WARN: Invalid %1 event: no 'board_name'").arg(event)});
        QVERIFY(host.plugin->boardRegistry().isEmpty());
        QCOMPARE(host.countOf(kGetBoardData), 0);
        QCOMPARE(timeline->calls.size(), 0);
    }

    // A failed post stops the plug-in, which deletes every board: the notification must go
    // no further (run under AddressSanitizer, this also proves nothing touches the board).
    void failedBoardDataPostDropsTheNotification_data() { boardForEventCreatesOnce_data(); }
    void failedBoardDataPostDropsTheNotification()
    {
        QFETCH(QString, event);
        LiveHost host;
        QVERIFY(host.connectWith({routeRecord(5)}, {QVariantMap{{"id", 7}, {"routes", QVariantList{5}}}}));
        auto *timeline = new RecordingTimeline(&host.owner);
        host.plugin->registerTimeline(timeline);
        host.rpc->script(kGetBoardData, Script::InvokeFails);
        QSignalSpy errors(host.plugin.data(), &PriorityPlugin::rpcError);

        host.notify(event, QVariantMap{{"board_name", "B1"}, {"dt", 7}, {"state", "active"}, {"route_id", 5},
                                       {"pos", QVariantList{30.0, 50.0}}, {"offset_s", 4.0}});
        QCOMPARE(host.countOf(kGetBoardData), 1);
        QCOMPARE(errors.count(), 1);
        QCOMPARE(errors.first().first().toString(), QStringLiteral("Invoke 'BoardsServer.getBoardData' failed"));
        QVERIFY(!host.plugin->rpcObject());
        QVERIFY(host.plugin->isRestartPending());
        QVERIFY(host.plugin->boardRegistry().isEmpty());
        QVERIFY(host.plugin->detectorRegistry().isEmpty());
        QCOMPARE(timeline->calls.size(), 0);
    }

    void boardDataForABoardThatIsGoneIsDropped_data()
    {
        QTest::addColumn<QString>("how");
        QTest::newRow("removed by the server") << "removed";
        QTest::newRow("registry cleared by a disconnection") << "disconnected";
        QTest::newRow("removed and made again") << "remade";
    }
    void boardDataForABoardThatIsGoneIsDropped()
    {
        QFETCH(QString, how);
        LiveHost host;
        QVERIFY(host.connectWith({routeRecord(5)}));
        host.rpc->script(kGetBoardData, Script::Never);
        host.notify(kPosition, QVariantMap{{"board_name", "B1"}});
        QPointer<JsonRpcResponse> late = host.pending(kGetBoardData);
        QVERIFY(late);
        QPointer<PrioVehicle> asked = host.plugin->board("B1");

        if (how == "removed") {
            host.notify("BoardsServer.boardsRemoved", QVariantList{"B1"});
        } else if (how == "disconnected") {
            emit host.rpc->connected(false);
            QVERIFY(host.connectWith({routeRecord(5)}));
        } else {
            host.notify("BoardsServer.boardsRemoved", QVariantList{"B1"});
            host.notify(kPosition, QVariantMap{{"board_name", "B1"}});
            QCOMPARE(host.countOf(kGetBoardData), 2);
        }
        QVERIFY(!asked);

        late->finishWithResult(QVariantMap{{"route_id", 5}, {"description", "late"}});
        if (how == "remade") {
            PrioVehicle *again = host.plugin->board("B1");
            QVERIFY(again);
            QCOMPARE(again->routeId(), 0);
            QCOMPARE(again->description(), QString());
            QCOMPARE(host.tree(), tree("5[Boards, Detectors]", "", ""));
            host.pending(kGetBoardData)->finishWithResult(QVariantMap{{"description", "own"}});
            QCOMPARE(again->description(), QStringLiteral("own"));
            QCOMPARE(host.tree(), tree("5[Boards, Detectors]", "B1", ""));
        } else {
            QVERIFY(!host.plugin->board("B1"));
            QCOMPARE(host.tree(), tree("5[Boards, Detectors]", "", ""));
        }
    }

    // Whatever filed the board before its data came, it ends with exactly its route's entries.
    void boardDataAfterTheBoardWasFiled_data()
    {
        QTest::addColumn<QVariantList>("before"); // board_name-less property changes, in order
        QTest::addColumn<QVariantMap>("answer");
        QTest::addColumn<QString>("expected");

        QTest::newRow("nothing before, answer route 5")
            << QVariantList() << QVariantMap{{"route_id", 5}} << tree("5[Boards[B1], Detectors]", "", "B1");
        QTest::newRow("route 5 before, answer route 0")
            << QVariantList{QVariantMap{{"route_id", 5}}} << QVariantMap{{"route_id", 0}} << tree("5[Boards, Detectors]", "B1", "");
        QTest::newRow("unknown route 9 before, answer route 0")
            << QVariantList{QVariantMap{{"route_id", 9}}} << QVariantMap{{"route_id", 0}} << tree("5[Boards, Detectors]", "B1", "");
    }
    void boardDataAfterTheBoardWasFiled()
    {
        QFETCH(QVariantList, before);
        QFETCH(QVariantMap, answer);
        QFETCH(QString, expected);

        LiveHost host;
        QVERIFY(host.connectWith({routeRecord(5)}));
        host.rpc->script(kGetBoardData, Script::Never);
        host.notify(kPosition, QVariantMap{{"board_name", "B1"}});
        for (const QVariant &change : qAsConst(before)) {
            QVariantMap params = change.toMap();
            params.insert("board_name", "B1");
            host.notify(kProperties, params);
        }
        host.pending(kGetBoardData)->finishWithResult(answer);
        QCOMPARE(host.tree(), expected);
    }
};

QTEST_MAIN(tst_LiveBoards)
#include "tst_liveboards.moc"
