// The plug-in object: start, stop and the two kinds of restart; the display settings and their
// store, the vehicle filters, and the view binding that decides which detectors are in view.

#include <QAbstractEventDispatcher>
#include <QElapsedTimer>
#include <QSettings>
#include <QtTest>

#include <memory>

#include "items/priovdetector.h"
#include "items/priovehicle.h"
#include "kernel/mapview.h"
#include "scriptedhost.h"

namespace {

const QString kLoaded = "INFO: RPC object 'fake-rpc' connected";
const QStringList kLists{"> RoadNetwork.getRouteList -", "> VDTService.getVdtList -", "> BoardsServer.getBoards -"};
const QStringList kLoad = QStringList(kLoaded) + kLists;

// Emergency-call detectors 1 and 2, a degree apart, zones built from their list records.
const QString kTwoSectors = R"(load [] | [
    {"id": 1, "emergency": true, "geometry_hash": "s", "pos": [37.6, 55.75], "radius": 50, "directionAngle": 0, "sweepAngle": 90},
    {"id": 2, "emergency": true, "geometry_hash": "s", "pos": [38.6, 55.75], "radius": 50, "directionAngle": 0, "sweepAngle": 90}]
    | {"B1": {"logged_in": true}})";

QString inView(const Host &host)
{
    return QStringLiteral("%1 %2").arg(host.plugin->detector(1)->isInView()).arg(host.plugin->detector(2)->isInView());
}

} // namespace

class tst_PluginFrame : public QObject
{
    Q_OBJECT

private slots:
    // Started on the scripted object, then started again on another candidate; then both
    // objects report a connection.
    void startAgain_data()
    {
        QTest::addColumn<QString>("setup");
        QTest::addColumn<QStringList>("log");
        QTest::addColumn<QString>("after");
        const QString invalid = "ERROR: JSonRpc object is NULL or invalid", noKernel = "ERROR: Parent of plugin must be Road::Kernel object";
        QTest::newRow("null") << "null" << QStringList{"INFO: start", invalid} + kLoad << "fake-rpc";
        QTest::newRow("no JsonRpcObject") << "plain" << QStringList{"INFO: start", invalid} + kLoad << "fake-rpc";
        QTest::newRow("no postCommand") << "mute" << QStringList{"INFO: start", "INFO: Stop", "ERROR: Invalid 'JsonRpc' object"} << "-";
        QTest::newRow("parent no kernel") << "other parent" << QStringList{"INFO: start", noKernel, "INFO: Stop"} << "-";
        QTest::newRow("no scene") << "no scene" << QStringList{"INFO: start", "ERROR: No graphics scene object", "INFO: Stop"} << "-";
        QTest::newRow("no item model") << "no model"
                                       << QStringList{"INFO: start", "ERROR: Kernel object not contains valid 'itemModel' property", "INFO: Stop"} << "-";
        QTest::newRow("same object: one connection") << "same" << QStringList("INFO: start") + kLoad << "fake-rpc";
        QTest::newRow("another object: the first is stopped")
            << "second" << QStringList{"INFO: start", "INFO: Stop", "INFO: RPC object 'second' connected"} + kLists << "second";
    }
    void startAgain()
    {
        QFETCH(QString, setup);
        QFETCH(QStringList, log);
        QFETCH(QString, after);
        Host host;
        QObject plain;
        auto *mute = new JsonRpcObject(&host.owner);
        auto *second = new ScriptedRpc(&host.owner);
        second->setObjectName("second");
        QObject *candidate = setup == "null" ? nullptr : setup == "plain" ? &plain : setup == "mute" ? mute : setup == "second" ? second : host.rpc.data();
        if (setup == "other parent")
            host.plugin->setParent(&host.owner);
        if (setup == "no scene")
            delete host.kernel.scene();
        if (setup == "no model")
            delete host.kernel.itemModel();

        QCOMPARE(host.plugin->start(candidate), setup == "same" || setup == "second");
        // A refused object's signals reach nothing.
        emit mute->requestQueueEmpty();
        emit mute->notification("BoardsServer.boardPosition", QVariantMap());
        delete mute;
        emit host.rpc->connected(true);
        emit second->connected(true);
        QCOMPARE(host.logged(), log);
        QCOMPARE(host.state(), "state " + after);
        QCOMPARE(host.plugin->graphicsScene() == host.kernel.scene() && host.plugin->treeModel() == host.kernel.itemModel(), after != "-");
    }

    void cacheName_data()
    {
        QTest::addColumn<QString>("layout");
        QTest::addColumn<QString>("baseDir");
        QTest::addColumn<QString>("expected");
        QTest::newRow("no host plug-in") << "none" << QString() << "lumen2";
        QTest::newRow("non-ASCII directory as UTF-8") << "project" << "/home/\u00fc" << "2f686f6d652fc3bc";
    }
    void cacheName()
    {
        QFETCH(QString, layout);
        QFETCH(QString, baseDir);
        QFETCH(QString, expected);
        Host host(false);
        new QObject(&host.kernel);
        auto *vireo = layout == "none" ? nullptr : new Vireo::Plugin(&host.kernel);
        if (vireo) {
            new QObject(vireo);
            (new Vireo::Project(vireo))->setBaseDir(baseDir);
        }
        QVERIFY(host.plugin->start(host.rpc));
        QCOMPARE(host.plugin->cacheFileName(), expected);
    }

    // Connected with the lists unanswered; then a run of faults and host actions.
    void failureAndRestart_data()
    {
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<QStringList>("log");
        QTest::addColumn<QString>("after");
        const QString stop = "INFO: Stop";
        auto failed = [&](const QString &text) {
            return QStringList{"ERROR: Response on method " + text, stop, "rpcError: Response on method " + text};
        };
        const QString fail5 = R"(fail RoadNetwork.getRouteList {"code": 5, "message": "m"})";
        const QString refuse = R"(fail RoadNetwork.getRouteList {"code": -32000, "message": "m"})";
        const QStringList failed5 = failed("'RoadNetwork.getRouteList' error: code 5, message: m");
        const QStringList refused = failed("'RoadNetwork.getRouteList' error: code -32000, message: m");
        const QStringList loaded = QStringList("INFO: start") + kLoad;
        auto row = [](const char *name, const QStringList &steps, const QStringList &log, const QString &after) {
            QTest::newRow(name) << steps << log << after;
        };
        row("error answer: restart 10 s later, loaded at once", {fail5, "fire"}, failed5 + loaded, "fake-rpc");
        row("board data refused: timed restart", {R"(script BoardsServer.getBoardData error {"code": -32602, "message": "unknown"})",
             R"(notify BoardsServer.boardPosition {"board_name": "B9"})", "settle", "fire"},
            QStringList(R"(> BoardsServer.getBoardData {"name":"B9"})") + failed("'BoardsServer.getBoardData' error: code -32602, message: unknown")
                + loaded, "fake-rpc");
        row("refusal, then the permissions change", {refuse, "allow"}, refused + loaded, "fake-rpc");
        row("refused twice: one start per change, none while running", {refuse, "allow", refuse, "allow", "allow"},
            refused + loaded + refused + loaded, "fake-rpc");
        row("the first failure stops, the next finds it stopped", {fail5, R"(fail VDTService.getVdtList {"code": 6})"}, failed5,
            "-, restart pending");
        row("explicit start cancels the timed restart", {fail5, "start", "allow"}, failed5 + loaded, "fake-rpc");
        row("explicit start cancels the permission wait", {refuse, "start", "allow"}, refused + loaded, "fake-rpc");
        row("failure after the connection dropped stops nothing", {"disconnect", R"(fail RoadNetwork.getRouteList {"code": -32098})", "connect"},
            {"INFO: RPC object 'fake-rpc' disconnected"}, "fake-rpc");
        row("object destroyed: stopped for good", {"destroy", "stop restart"}, {"INFO: Json-RPC plugin object destroyed", stop}, "-");
        row("object destroyed while the restart waits", {fail5, "destroy", "fire"},
            failed5 + QStringList{"INFO: start", "ERROR: JSonRpc object is NULL or invalid"}, "-");
        row("refused under another owner: the first owner's change starts nothing", {refuse, "allow", "move", refuse, "allow"},
            refused + loaded + refused, "-, awaiting permissions");
        row("refusal without an owner gives up", {"orphan", refuse, "allow"}, {refused[0], stop, "ERROR: Invalid 'JsonRpc' object", refused[2]}, "-");
    }
    void failureAndRestart()
    {
        QFETCH(QStringList, steps);
        QFETCH(QStringList, log);
        QFETCH(QString, after);
        Host host;
        host.run({"connect"});
        // The JSON-RPC object may lose its owner, or get another.
        JsonRpcOwner other;
        std::unique_ptr<ScriptedRpc> orphan;
        for (const QString &step : steps) {
            if (step == "orphan")
                orphan.reset(host.rpc);
            if (step == "orphan" || step == "move")
                host.rpc->setParent(step == "move" ? &other : nullptr);
            else
                host.run({step});
        }
        QCOMPARE(host.logged(), log);
        QCOMPARE(host.state(), "state " + after);
    }

    // Each setting: the current value again writes nothing; another is stored and reaches the
    // items. start reads the store back as Qt converts it (a mode that is no number is 0).
    void settingsAreStoredAndRead_data()
    {
        QTest::addColumn<QByteArray>("property");
        QTest::addColumn<QVariant>("value");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("items");
        QTest::addColumn<QVariant>("stored");
        QTest::addColumn<int>("read");
        auto row = [](const char *property, const QVariant &value, const char *key, const char *items, const QVariant &stored, int read) {
            QTest::newRow(property) << QByteArray(property) << value << QString("Lumen2/") + key << items << stored << read;
        };
        row("textShowMode", 2, "text_show_value", "2 0 0, 0 1", "1", 1);
        row("emsShowMode", 1, "ems_show_value", "0 1 0, 0 1", 2, 2);
        row("brdWeightShowMode", 2, "brd_weight_show_mode_value", "0 0 2, 0 1", "x", 0);
        row("dtWeightShowMode", 1, "dt_weight_show_mode_value", "0 0 0, 1 1", "not a number", 0);
        row("showDtOnActivation", false, "show_dt_on_activation", "0 0 0, 0 0", "true", 1);
        row("showDtWhenApproaching", false, "show_dt_when_approaching", "0 0 0, 0 1", true, 1);
    }
    void settingsAreStoredAndRead()
    {
        QFETCH(QByteArray, property);
        QFETCH(QVariant, value);
        QFETCH(QString, key);
        QFETCH(QString, items);
        QFETCH(QVariant, stored);
        QFETCH(int, read);
        Host host;
        host.run({kTwoSectors});
        QVERIFY(host.plugin->setProperty(property, host.plugin->property(property)));
        QCOMPARE(QSettings().allKeys(), QStringList());
        QVERIFY(host.plugin->setProperty(property, value));
        QCOMPARE(QSettings().allKeys(), QStringList(key));
        QCOMPARE(QSettings().value(key).toString(), value.toString());
        QCOMPARE(host.plugin->property(property).toInt(), value.toInt());
        PrioVehicle *v = host.plugin->board("B1");
        PrioVDetector *d = host.plugin->detector(1);
        QCOMPARE(QStringLiteral("%1 %2 %3, %4 %5").arg(v->textShowMode()).arg(v->emsShowMode()).arg(v->weightShowMode())
                     .arg(d->weightShowMode()).arg(d->showOnActivation()), items);
        // Detectors made afterwards take the flag they show with.
        host.run({"notify RoadNetwork.networkChanged {}", R"(lists [] | [{"id": 3, "emergency": true}])"});
        QCOMPARE(host.plugin->detector(3)->showOnActivation(), property != "showDtOnActivation");
        // The minimum zoom is never written: set but not stored, it is gone at the next start.
        QVERIFY(host.plugin->setProperty("minVisibleZoom", 20) && !host.plugin->setProperty("moduleVersion", "9"));
        QSettings().setValue(key, stored);
        QVERIFY(host.plugin->start(host.rpc));
        QCOMPARE(host.plugin->property(property).toInt(), read);
        QCOMPARE(QString::number(host.plugin->minVisibleZoom()) + ' ' + host.plugin->property("moduleVersion").toString(), "17 2.3.69");
    }

    void vehicleFilters_data()
    {
        QTest::addColumn<QString>("nameFilter");
        QTest::addColumn<QString>("descrFilter");
        QTest::addColumn<QString>("shown"); // of 123 (Depot), 124 (none), 7 (Line), A12 (Depot)
        QTest::newRow("no filter") << "" << "" << "123 124 7 A12";
        QTest::newRow("12.* matches as a whole") << "12.*" << "" << "123 124";
        QTest::newRow("case sensitive") << "a.*" << "" << "";
        QTest::newRow("description only") << "" << "Depot" << "123 A12";
        QTest::newRow("name rejects whatever the description") << "7" << "Depot" << "";
        QTest::newRow("invalid pattern hides all") << "(" << "" << "";
    }
    void vehicleFilters()
    {
        QFETCH(QString, nameFilter);
        QFETCH(QString, descrFilter);
        QFETCH(QString, shown);
        Host host;
        host.run({R"(load [] | [] | {"123": {"description": "Depot", "logged_in": true}, "A12": {"description": "Depot", "logged_in": true},
                                         "7": {"description": "Line", "logged_in": true}})"});
        host.plugin->setVehicleNameFilter(nameFilter);
        host.plugin->setVehicleDescrFilter(descrFilter);
        // A board that comes later is filtered as it comes.
        host.run({R"(notify BoardsServer.boardLoggedIn {"board_name": "124"})"});
        QStringList visible;
        for (const char *name : {"123", "124", "7", "A12"}) {
            PrioVehicle *vehicle = host.plugin->board(name);
            QCOMPARE(vehicle->isVisible(), vehicle->isFilterAccepted());
            if (vehicle->isFilterAccepted())
                visible << name;
        }
        QCOMPARE(visible.join(' '), shown);
        QCOMPARE(QSettings().value("Lumen2/vehicle_name_filter", "").toString(), nameFilter);
        QCOMPARE(QSettings().value("Lumen2/vehicle_descr_filter", "").toString(), descrFilter);
    }

    // One view timer of 500 ms; a zoom level the view had before it was set counts; the view
    // must be still for half a second before the detectors in it show; a view gone is none.
    void detectorsInTheView()
    {
        Host host;
        host.run({kTwoSectors});
        Road::MapView first, *second = new Road::MapView;
        for (Road::MapView *view : {&first, second}) {
            view->setScene(host.kernel.scene());
            view->resize(400, 300);
            view->centreOn(QPointF(37.6, 55.75));
        }
        host.plugin->setView(&first);
        host.plugin->setView(&first);
        second->setZoom(18);
        QElapsedTimer clock;
        clock.start();
        host.plugin->setView(second);
        const auto timers = QAbstractEventDispatcher::instance()->registeredTimers(host.plugin);
        QVERIFY(timers.size() == 1 && timers[0].interval == 500 && timers[0].timerType == Qt::CoarseTimer);
        QCOMPARE(inView(host), "0 0");
        QTRY_COMPARE_WITH_TIMEOUT(inView(host), "1 0", 2000);
        QVERIFY2(clock.elapsed() >= 500, "the view should be still for half a second first");

        // The first view drives nothing any more; below the minimum zoom, out of view at once.
        first.setZoom(16);
        QCOMPARE(inView(host), "1 0");
        second->setZoom(16);
        QCOMPARE(inView(host), "0 0");
        second->setZoom(18);
        QTRY_COMPARE_WITH_TIMEOUT(inView(host), "1 0", 2000);
        // Scrolling to the other detector shows it, half a second later.
        clock.start();
        second->centreOn(QPointF(38.6, 55.75));
        QCOMPARE(inView(host), "1 0");
        QTRY_COMPARE_WITH_TIMEOUT(inView(host), "0 1", 2000);
        QVERIFY(clock.elapsed() >= 500);

        // The option off clears at once, on recomputes at once; a minimum above the zoom clears.
        host.plugin->setShowDtWhenApproaching(false);
        QCOMPARE(inView(host), "0 0");
        host.plugin->setShowDtWhenApproaching(true);
        QCOMPARE(inView(host), "0 1");
        host.plugin->setMinVisibleZoom(19);
        QCOMPARE(inView(host), "0 0");

        host.plugin->setView(nullptr);
        QCOMPARE(host.logged(), QStringList("ERROR: null 'view' object"));
        QCOMPARE(host.plugin->mapView(), second);
        // A view the host destroys while it is set is no view: a refresh pending for it finds none.
        second->setZoom(20);
        delete second;
        QVERIFY(!host.plugin->mapView());
        host.plugin->refreshDetectorsInView();
        host.plugin->setView(&first);
        QCOMPARE(host.plugin->mapView(), &first);
        QCOMPARE(host.logged(), QStringList());
    }
};

QTEST_MAIN(tst_PluginFrame)
#include "tst_pluginframe.moc"
