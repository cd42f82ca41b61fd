// Display settings and their store, the vehicle filters, and the view binding that decides
// which detectors are in the zoomed-in view.

#include <QElapsedTimer>
#include <QGraphicsView>
#include <QSettings>
#include <QStandardPaths>
#include <QtTest>

#include "common/logcapture.h"
#include "fakehost.h"
#include "items/priovdetector.h"
#include "items/priovehicle.h"
#include "plugin/priorityplugin.h"

// The host's map view: a graphics view that offers and reports its zoom level.
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

struct Host
{
    Host()
    {
        for (const char *method : {"RoadNetwork.getRouteList", "VDTService.getVdtList", "BoardsServer.getBoards",
                                   "VDTService.getVdtGeometry", "BoardsServer.getBoardData"})
            rpc->script(QString::fromLatin1(method), Script::Never);
        QVERIFY(plugin->start(rpc));
        emit rpc->connected(true);
    }
    ~Host() { delete plugin; }
    void answer(const QString &method, const QVariant &result)
    {
        for (const PostedRequest &request : rpc->posted) {
            if (request.method == method && request.response && !request.response->isFinished()) {
                request.response->finishWithResult(result);
                return;
            }
        }
        QFAIL(qPrintable("nothing pending for " + method));
    }

    Road::Kernel kernel;
    JsonRpcOwner owner;
    QPointer<JsonRpcObject> rpc = new JsonRpcObject(&owner);
    QPointer<PriorityPlugin> plugin = new PriorityPlugin(&kernel);
};

// An emergency-call detector at a point, its zone built from the list record itself.
QVariantMap sectorDetector(int id, double lon, double lat)
{
    return QVariantMap{{"id", id},           {"emergency", true},      {"geometry_hash", "s"},
                       {"pos", QVariantList{lon, lat}}, {"radius", 50}, {"directionAngle", 0},
                       {"sweepAngle", 90}};
}

} // namespace

class tst_DisplaySettings : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        QCoreApplication::setApplicationName(QStringLiteral("tst_displaysettings"));
    }
    void init() { QSettings().clear(); }

    void settersWriteOnlyOnChange_data()
    {
        QTest::addColumn<QByteArray>("property");
        QTest::addColumn<QVariant>("value");
        QTest::addColumn<QString>("key");
        QTest::newRow("textShowMode") << QByteArray("textShowMode") << QVariant(2) << "Lumen2/text_show_value";
        QTest::newRow("emsShowMode") << QByteArray("emsShowMode") << QVariant(1) << "Lumen2/ems_show_value";
        QTest::newRow("brdWeightShowMode") << QByteArray("brdWeightShowMode") << QVariant(2) << "Lumen2/brd_weight_show_mode_value";
        QTest::newRow("dtWeightShowMode") << QByteArray("dtWeightShowMode") << QVariant(1) << "Lumen2/dt_weight_show_mode_value";
        QTest::newRow("showDtOnActivation") << QByteArray("showDtOnActivation") << QVariant(false) << "Lumen2/show_dt_on_activation";
        QTest::newRow("showDtWhenApproaching") << QByteArray("showDtWhenApproaching") << QVariant(false) << "Lumen2/show_dt_when_approaching";
    }
    void settersWriteOnlyOnChange()
    {
        QFETCH(QByteArray, property);
        QFETCH(QVariant, value);
        QFETCH(QString, key);
        PriorityPlugin plugin;
        // The current value again: nothing is written.
        QVERIFY(plugin.setProperty(property, plugin.property(property)));
        QVERIFY(QSettings().allKeys().isEmpty());
        QVERIFY(plugin.setProperty(property, value));
        QCOMPARE(QSettings().allKeys(), QStringList(key));
        QCOMPARE(QSettings().value(key).toString(), value.toString());
        QCOMPARE(plugin.property(property).toInt(), value.toInt());
    }

    void minimumZoomIsNeverWritten()
    {
        Road::Kernel kernel;
        JsonRpcOwner owner;
        auto *rpc = new JsonRpcObject(&owner);
        PriorityPlugin plugin(&kernel);
        QVERIFY(plugin.setProperty("minVisibleZoom", 20));
        QCOMPARE(plugin.minVisibleZoom(), 20);
        QVERIFY(QSettings().allKeys().isEmpty());
        // start reads the stored value, or else 17: a value set but not stored is gone.
        QVERIFY(plugin.start(rpc));
        QCOMPARE(plugin.minVisibleZoom(), 17);
        QSettings().setValue("Lumen2/min_zoom_for_vdt_visible", 19);
        QVERIFY(plugin.start(rpc));
        QCOMPARE(plugin.minVisibleZoom(), 19);
    }

    void startReadsTheStore()
    {
        QSettings settings;
        settings.setValue("Lumen2/text_show_value", 2);
        settings.setValue("Lumen2/ems_show_value", 1);
        settings.setValue("Lumen2/brd_weight_show_mode_value", 2);
        settings.setValue("Lumen2/dt_weight_show_mode_value", "not a number");
        settings.setValue("Lumen2/show_dt_on_activation", false);
        settings.setValue("Lumen2/show_dt_when_approaching", false);
        settings.setValue("Lumen2/vehicle_name_filter", "B.*");
        settings.setValue("Lumen2/vehicle_descr_filter", "x");
        Road::Kernel kernel;
        JsonRpcOwner owner;
        auto *rpc = new JsonRpcObject(&owner);
        PriorityPlugin plugin(&kernel);
        QVERIFY(plugin.start(rpc));
        QCOMPARE(int(plugin.textShowMode()), 2);
        QCOMPARE(int(plugin.emsShowMode()), 1);
        QCOMPARE(int(plugin.brdWeightShowMode()), 2);
        QCOMPARE(int(plugin.dtWeightShowMode()), 0);
        QCOMPARE(plugin.showDtOnActivation(), false);
        QCOMPARE(plugin.showDtWhenApproaching(), false);
        QCOMPARE(plugin.getVehicleNameFilter(), QStringLiteral("B.*"));
        QCOMPARE(plugin.getVehicleDescrFilter(), QStringLiteral("x"));
    }

    void vehicleFilters_data()
    {
        QTest::addColumn<QString>("nameFilter");
        QTest::addColumn<QString>("descrFilter");
        QTest::addColumn<QString>("accepted"); // of 123 (descr Depot), A12 (descr Depot), 7 (descr Line)
        QTest::newRow("no filter") << "" << "" << "123 A12 7";
        QTest::newRow("12.* matches as a whole") << "12.*" << "" << "123";
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
        QFETCH(QString, accepted);
        Host host;
        host.answer("BoardsServer.getBoards",
                    QVariantMap{{"123", QVariantMap{{"description", "Depot"}, {"logged_in", true}}},
                                {"A12", QVariantMap{{"description", "Depot"}, {"logged_in", true}}},
                                {"7", QVariantMap{{"description", "Line"}, {"logged_in", true}}}});
        host.plugin->setVehicleNameFilter(nameFilter);
        host.plugin->setVehicleDescrFilter(descrFilter);
        QStringList shown;
        for (const char *name : {"123", "A12", "7"}) {
            PrioVehicle *vehicle = host.plugin->board(QString::fromLatin1(name));
            QCOMPARE(vehicle->isFilterAccepted(), host.plugin->vehicleAccepted(vehicle));
            if (vehicle->isFilterAccepted()) {
                QVERIFY(vehicle->isVisible());
                shown << vehicle->name();
            } else {
                QVERIFY(!vehicle->isVisible());
            }
        }
        QCOMPARE(shown.join(' '), accepted);
        QCOMPARE(QSettings().value("Lumen2/vehicle_name_filter", "").toString(), nameFilter);
        QCOMPARE(QSettings().value("Lumen2/vehicle_descr_filter", "").toString(), descrFilter);
    }

    void detectorsInViewFollowZoomAndScroll()
    {
        Host host;
        host.answer("VDTService.getVdtList", QVariantList{sectorDetector(1, 37.6, 55.75), sectorDetector(2, 38.6, 55.75)});
        PrioVDetector *near = host.plugin->detector(1);
        PrioVDetector *far = host.plugin->detector(2);
        QVERIFY(near && far && near->hasGeometry() && far->hasGeometry());

        ZoomView view(host.kernel.scene());
        view.resize(400, 300);
        view.setSceneRect(36, 54, 4, 4);
        view.fitInView(QRectF(37.59, 55.74, 0.02, 0.02));
        host.plugin->setView(&view);

        emit view.zoomChanged(17);
        QElapsedTimer clock;
        clock.start();
        QTRY_VERIFY_WITH_TIMEOUT(near->isInView(), 2000);
        QVERIFY2(clock.elapsed() >= 450, "the view should be still for half a second first");
        QVERIFY(!far->isInView());

        // Below the minimum: out of view at once.
        emit view.zoomChanged(16);
        QVERIFY(!near->isInView());
        // Scrolling below the minimum schedules nothing.
        view.centerOn(37.6, 55.75);
        QTest::qWait(1100);
        QVERIFY(!near->isInView());

        // Switching the option off clears at once; on recomputes at once.
        emit view.zoomChanged(18);
        QTRY_VERIFY_WITH_TIMEOUT(near->isInView(), 2000);
        host.plugin->setShowDtWhenApproaching(false);
        QVERIFY(!near->isInView());
        host.plugin->setShowDtWhenApproaching(true);
        QVERIFY(near->isInView());

        // A minimum above the zoom clears at once.
        host.plugin->setMinVisibleZoom(19);
        QVERIFY(!near->isInView());
    }

    void settingTheViewTwiceKeepsOneBinding()
    {
        Host host;
        host.answer("VDTService.getVdtList", QVariantList{sectorDetector(1, 37.6, 55.75)});
        PrioVDetector *detector = host.plugin->detector(1);
        ZoomView first(host.kernel.scene());
        ZoomView second(host.kernel.scene());
        for (ZoomView *view : {&first, &second}) {
            view->resize(400, 300);
            view->fitInView(QRectF(37.59, 55.74, 0.02, 0.02));
        }
        host.plugin->setView(&first);
        host.plugin->setView(&first);
        // The second view is at street level before it is set: no change of zoom will come.
        second.zoom = 18;
        host.plugin->setView(&second);
        // The first view no longer drives anything.
        emit first.zoomChanged(16);
        QTRY_VERIFY_WITH_TIMEOUT(detector->isInView(), 2000);
        QCOMPARE(host.plugin->mapView(), &second);

        LogCapture log;
        host.plugin->setView(nullptr);
        QCOMPARE(log.lines(), QStringList("critical: [PriorityPlugin] ERROR: null 'view' object"));
        QCOMPARE(host.plugin->mapView(), &second);
    }

    void viewDestroyedWhileSetIsNoView()
    {
        Host host;
        host.answer("VDTService.getVdtList", QVariantList{sectorDetector(1, 37.6, 55.75)});
        auto *view = new ZoomView(host.kernel.scene());
        view->resize(400, 300);
        host.plugin->setView(view);
        emit view->zoomChanged(18);
        delete view;
        QVERIFY(!host.plugin->mapView());
        // The pending refresh finds no view and changes nothing.
        QTest::qWait(1100);
        QVERIFY(!host.plugin->detector(1)->isInView());
        host.plugin->refreshDetectorsInView();
        // A new view can be set afterwards, without an error.
        LogCapture log;
        ZoomView next(host.kernel.scene());
        host.plugin->setView(&next);
        QVERIFY(log.lines().isEmpty());
    }
};

QTEST_MAIN(tst_DisplaySettings)
#include "tst_displaysettings.moc"
