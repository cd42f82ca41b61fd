// Display settings and their store, the vehicle filters, and the view binding that decides
// which detectors are in the zoomed-in view.

#include <QAbstractEventDispatcher>
#include <QElapsedTimer>
#include <QGraphicsView>
#include <QSettings>
#include <QtTest>

#include "items/priovdetector.h"
#include "items/priovehicle.h"
#include "plugin/scriptedhost.h"

// The host's map view: offers and reports its zoom level.
class ZoomView : public QGraphicsView
{
    Q_OBJECT
    Q_PROPERTY(int zoom MEMBER zoom)
public:
    using QGraphicsView::QGraphicsView;
    int zoom = -1;
signals:
    void zoomChanged(int zoom);
};

namespace {

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

class tst_DisplaySettings : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { useTestStorage("tst_displaysettings"); }

    // What the items hold: the vehicle's text, emergency and weight modes, the detector's
    // weight mode and whether it shows on activation.
    void settersStoreAndTellTheItems_data()
    {
        QTest::addColumn<QByteArray>("property");
        QTest::addColumn<QVariant>("value");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("items");
        auto row = [](const char *property, const QVariant &value, const char *key, const char *items) {
            QTest::newRow(property) << QByteArray(property) << value << QString("Lumen2/") + key << items;
        };
        row("textShowMode", 2, "text_show_value", "2 0 0, 0 1");
        row("emsShowMode", 1, "ems_show_value", "0 1 0, 0 1");
        row("brdWeightShowMode", 2, "brd_weight_show_mode_value", "0 0 2, 0 1");
        row("dtWeightShowMode", 1, "dt_weight_show_mode_value", "0 0 0, 1 1");
        row("showDtOnActivation", false, "show_dt_on_activation", "0 0 0, 0 0");
        row("showDtWhenApproaching", false, "show_dt_when_approaching", "0 0 0, 0 1");
    }
    void settersStoreAndTellTheItems()
    {
        QFETCH(QByteArray, property);
        QFETCH(QVariant, value);
        QFETCH(QString, key);
        QFETCH(QString, items);
        Host host;
        host.run({kTwoSectors});
        auto held = [&] {
            PrioVehicle *v = host.plugin->board("B1");
            PrioVDetector *d = host.plugin->detector(1);
            return QStringLiteral("%1 %2 %3, %4 %5")
                .arg(v->textShowMode()).arg(v->emsShowMode()).arg(v->weightShowMode())
                .arg(d->weightShowMode()).arg(d->showOnActivation());
        };
        // The current value again: nothing is written.
        QVERIFY(host.plugin->setProperty(property, host.plugin->property(property)));
        QCOMPARE(QSettings().allKeys(), QStringList());
        QVERIFY(host.plugin->setProperty(property, value));
        QCOMPARE(QSettings().allKeys(), QStringList(key));
        QCOMPARE(QSettings().value(key).toString(), value.toString());
        QCOMPARE(host.plugin->property(property).toInt(), value.toInt());
        QCOMPARE(held(), items);
        // Detectors made afterwards take the flag they show with.
        if (property == "showDtOnActivation") {
            host.run({"notify RoadNetwork.networkChanged {}", R"(lists [] | [{"id": 3, "emergency": true}])"});
            QCOMPARE(host.plugin->detector(3)->showOnActivation(), false);
        }
    }

    // start reads every setting, each with the member's value as its default, without
    // checking it; the minimum zoom is never written, so a value set but not stored is gone.
    void startReadsTheStore()
    {
        Host host(false);
        QVERIFY(host.plugin->setProperty("minVisibleZoom", 20));
        QCOMPARE(QSettings().allKeys(), QStringList());
        QVERIFY(host.plugin->start(host.rpc));
        QCOMPARE(host.plugin->minVisibleZoom(), 17);
        QSettings settings;
        for (const auto &[key, value] : std::initializer_list<std::pair<const char *, QVariant>>{
                 {"text_show_value", 2}, {"ems_show_value", 1}, {"brd_weight_show_mode_value", 2}, {"dt_weight_show_mode_value", "not a number"},
                 {"show_dt_on_activation", false}, {"show_dt_when_approaching", false}, {"vehicle_name_filter", "B.*"},
                 {"vehicle_descr_filter", "x"}, {"min_zoom_for_vdt_visible", 19}})
            settings.setValue(QString("Lumen2/") + key, value);
        settings.sync();
        QVERIFY(host.plugin->start(host.rpc));
        const PriorityPlugin *p = host.plugin;
        QCOMPARE(QStringLiteral("%1 %2 %3 %4 %5 %6 %7 %8 %9")
                     .arg(p->textShowMode()).arg(p->emsShowMode()).arg(p->brdWeightShowMode()).arg(p->dtWeightShowMode())
                     .arg(p->showDtOnActivation()).arg(p->showDtWhenApproaching()).arg(p->minVisibleZoom())
                     .arg(host.plugin->getVehicleNameFilter(), host.plugin->getVehicleDescrFilter()),
                 "2 1 2 0 0 0 19 B.* x");
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
        QTest::newRow("both") << ".*12.*" << "Dep.t" << "123 A12";
        QTest::newRow("invalid pattern hides all") << "(" << "" << "";
    }
    void vehicleFilters()
    {
        QFETCH(QString, nameFilter);
        QFETCH(QString, descrFilter);
        QFETCH(QString, shown);
        Host host;
        host.connectWith("[]", "[]", R"({"123": {"description": "Depot", "logged_in": true}, "A12": {"description": "Depot", "logged_in": true},
                                         "7": {"description": "Line", "logged_in": true}})");
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
    // must be still for half a second before the detectors in it show.
    void detectorsInTheView()
    {
        Host host;
        host.run({kTwoSectors});
        ZoomView first(host.kernel.scene), second(host.kernel.scene);
        for (ZoomView *view : {&first, &second}) {
            view->resize(400, 300);
            view->setSceneRect(36, 54, 4, 4);
            view->fitInView(QRectF(37.59, 55.74, 0.02, 0.02));
        }
        auto viewTimers = [&] {
            QStringList timers;
            for (const auto &timer : QAbstractEventDispatcher::instance()->registeredTimers(host.plugin))
                timers << QStringLiteral("%1 ms %2").arg(timer.interval).arg(timer.timerType);
            return timers;
        };
        host.plugin->setView(&first);
        host.plugin->setView(&first);
        second.zoom = 18;
        QElapsedTimer clock;
        clock.start();
        host.plugin->setView(&second);
        QCOMPARE(viewTimers(), QStringList(QStringLiteral("500 ms %1").arg(Qt::CoarseTimer)));
        QCOMPARE(inView(host), "0 0");
        QTRY_COMPARE_WITH_TIMEOUT(inView(host), "1 0", 2000);
        QVERIFY2(clock.elapsed() >= 500, "the view should be still for half a second first");

        // The first view drives nothing any more; below the minimum zoom, out of view at once.
        emit first.zoomChanged(16);
        QCOMPARE(inView(host), "1 0");
        emit second.zoomChanged(16);
        QCOMPARE(inView(host), "0 0");
        emit second.zoomChanged(18);
        QTRY_COMPARE_WITH_TIMEOUT(inView(host), "1 0", 2000);
        // Scrolling to the other detector shows it, half a second later.
        clock.start();
        second.centerOn(38.6, 55.75);
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
        QCOMPARE(host.plugin->mapView(), &second);
    }

    void viewDestroyedWhileSetIsNoView()
    {
        Host host;
        host.run({kTwoSectors});
        auto *view = new ZoomView(host.kernel.scene);
        view->resize(400, 300);
        host.plugin->setView(view);
        emit view->zoomChanged(18);
        delete view;
        QVERIFY(!host.plugin->mapView());
        host.plugin->refreshDetectorsInView();
        QCOMPARE(inView(host), "0 0");
        // A new view can be set afterwards, without an error.
        ZoomView next(host.kernel.scene);
        host.plugin->setView(&next);
        QCOMPARE(host.plugin->mapView(), &next);
        QCOMPARE(host.logged(), QStringList());
    }
};

QTEST_MAIN(tst_DisplaySettings)
#include "tst_displaysettings.moc"
