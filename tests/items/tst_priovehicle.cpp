#include "items/priovehicle.h"
#include "items/prioroute.h"
#include "kernel/roadkernel.h"
#include "kernel/roaditemmodel.h"
#include "plugin/priorityplugin.h"

#include "itemtestutil.h"

#include <QGraphicsPathItem>
#include <QGraphicsTextItem>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QtTest>

#include <cmath>
#include <limits>

using ItemTest::MetresPerDegreeLat;

namespace {

QVariantList at(double lon, double lat)
{
    return {lon, lat};
}

} // namespace

class tst_PrioVehicle : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // The plug-in's display properties persist in the settings store: keep them apart.
        QStandardPaths::setTestModeEnabled(true);
        QCoreApplication::setOrganizationName(QStringLiteral("tst_priovehicle"));
    }

    void init()
    {
        plugin = new PriorityPlugin;
        scene = new Road::MapScene;
    }

    void cleanup()
    {
        delete plugin;
        delete scene;
    }

    void anotherParentTakesTheDefaults()
    {
        // Only the plug-in's own vehicles take its display modes; any other parent gets the
        // defaults, yet the vehicle still joins the layer.
        plugin->setEmsShowMode(PriorityPlugin::show_always);
        plugin->setBrdWeightShowMode(PriorityPlugin::show_weight_if_valid);
        plugin->setTextShowMode(PriorityPlugin::show_always);
        QObject other;
        QScopedPointer<PrioVehicle> vehicle(new PrioVehicle(&other, "B1", scene));
        QCOMPARE(QList<int>({vehicle->emsShowMode(), vehicle->weightShowMode(), vehicle->textShowMode()}),
                 QList<int>({0, 0, 0}));
        QVERIFY(!vehicle->label());
        QCOMPARE(vehicle->parentItem(), scene->layer("Traffic priority"));
        QCOMPARE((new PrioVehicle(plugin, "B2", scene))->textShowMode(), int(PriorityPlugin::show_always));
    }

    void metaObjectInterface()
    {
        QCOMPARE(ItemTest::interfaceOf(&PrioVehicle::staticMetaObject),
                 QStringLiteral("routeChanged() stateChanged() modelData(int,int) updateShape()/private name=r "
                                "remoteOwner=r selected=rw locked=r hasGeometry=r isEmergency=r routeId=r evRadius=r "
                                "evSweep=r"));
    }

    void iconTable_data()
    {
        // Given: which of ev, locked, in (logged in), pos or rpos, route (assigned), active hold.
        // Expected: icon, state colour and type text.
        QTest::addColumn<QString>("given");
        QTest::addColumn<QString>("expected");
        QTest::newRow("locked emergency, whatever else") << "ev locked in rpos route active" << "ecarr #ff0000 EV(Locked)";
        QTest::newRow("locked bus with priority") << "locked in rpos route active" << "bus-24r #ff0000 Vehicle(Locked)";
        QTest::newRow("not logged in") << "route" << "bus-24u #c0c0c0 Vehicle(No position data)";
        QTest::newRow("logged in, no position") << "in route" << "bus-24nogps #c0c0c0 Vehicle(No position data)";
        QTest::newRow("priority") << "in rpos route active" << "bus-24p #00ff00 Vehicle(Has priority)";
        QTest::newRow("on its route") << "in rpos route" << "bus-24 #c7e2f8 Vehicle";
        QTest::newRow("off its route") << "in pos route" << "bus-24 #ffb6c1 Vehicle";
        QTest::newRow("not assigned") << "in rpos" << "bus-24 #c0c0c0 Vehicle";
        QTest::newRow("emergency with priority") << "ev in rpos route active" << "ecarp #00ff00 EV(Has priority)";
        QTest::newRow("emergency, no position") << "ev in route" << "ecarnogps #c0c0c0 EV(No position data)";
    }

    void iconTable()
    {
        QFETCH(QString, given);
        QFETCH(QString, expected);
        const QStringList flags = given.split(' ');
        auto *vehicle = new PrioVehicle(plugin, "B1", scene);
        vehicle->applyProperties({{"locked", flags.contains("locked")},
                                  {"logged_in", flags.contains("in")},
                                  {"route_id", flags.contains("route") ? 5 : 0},
                                  {"allow_emergency", flags.contains("ev")}});
        if (flags.contains("pos"))
            vehicle->applyPosition({{"pos", at(10, 50)}, {"course", 10}});
        else if (flags.contains("rpos"))
            vehicle->applyPosition({{"pos", at(10, 50)}, {"rpos", at(10.001, 50)}, {"course", 10}});
        if (flags.contains("active"))
            vehicle->setPriorityState("active", 3);

        const QString icon = vehicle->iconPath();
        QCOMPARE(icon.mid(icon.lastIndexOf('/') + 1).remove(".png") + ' ' + vehicle->stateColour().name() + ' '
                     + vehicle->typeText(),
                 expected);
        QVERIFY(icon.startsWith("://icons/"));
        // The picture is embedded: a 24x24 image with an alpha channel.
        const QImage picture(icon);
        QCOMPARE(picture.size(), QSize(24, 24));
        QVERIFY(picture.hasAlphaChannel());
        QCOMPARE(vehicle->modelData(0, Qt::DecorationRole).value<QIcon>().availableSizes().value(0), QSize(24, 24));
    }

    void routeIdChangesOnce()
    {
        auto *vehicle = new PrioVehicle(plugin, "B1", scene);
        QSignalSpy route(vehicle, &PrioVehicle::routeChanged);
        QSignalSpy state(vehicle, &PrioVehicle::stateChanged);
        vehicle->applyProperties({{"route_id", 7}});
        vehicle->applyProperties({{"route_id", 7}});
        QCOMPARE(vehicle->property("routeId").toInt(), 7);
        QCOMPARE(route.count(), 1);
        QCOMPARE(state.count(), 1);
    }

    void logOutByRecordAndBackByPosition()
    {
        PrioVehicle *vehicle = positioned("B1", {{"speed", 30}});
        QVERIFY(vehicle->isVisible());
        QCOMPARE(vehicle->speed(), 30);
        vehicle->applyProperties({{"logged_in", false}});
        QVERIFY(!vehicle->isVisible());
        QCOMPARE(vehicle->speed(), -1);
        QVERIFY(vehicle->hasNoPosition());
        QCOMPARE(vehicle->iconPath(), QStringLiteral("://icons/bus-24u.png"));

        vehicle->applyPosition({{"pos", at(10.01, 50.01)}});
        QVERIFY(vehicle->isLoggedIn());
        QVERIFY(vehicle->isVisible());
        QVERIFY(!vehicle->hasNoPosition());
        QVERIFY(vehicle->hasGeometry());
    }

    void positionRecords_data()
    {
        const double nan = std::numeric_limits<double>::quiet_NaN();
        QTest::addColumn<QVariantMap>("record");
        QTest::addColumn<bool>("hasPosition");
        QTest::addColumn<QPointF>("itemPos");
        QTest::addColumn<bool>("onRoute");

        QTest::newRow("pos only") << QVariantMap{{"pos", at(10, 50)}} << true << QPointF(10, 50) << false;
        QTest::newRow("pos and rpos") << QVariantMap{{"pos", at(10, 50)}, {"rpos", at(10.001, 50.002)}} << true
                                      << QPointF(10.001, 50.002) << true;
        QTest::newRow("malformed rpos falls back") << QVariantMap{{"pos", at(10, 50)}, {"rpos", "x"}} << true
                                                   << QPointF(10, 50) << false;
        QTest::newRow("numbers as text") << QVariantMap{{"pos", QVariantList{"10.5", "50.5"}}} << true
                                         << QPointF(10.5, 50.5) << false;
        QTest::newRow("rpos beyond the Mercator limit falls back")
            << QVariantMap{{"pos", at(10, 50)}, {"rpos", at(10, 89)}} << true << QPointF(10, 50) << false;
        QTest::newRow("(0, 0) is no point") << QVariantMap{{"pos", at(0, 0)}} << false << QPointF() << false;
        QTest::newRow("missing pos") << QVariantMap{{"course", 10}} << false << QPointF() << false;
        QTest::newRow("NaN") << QVariantMap{{"pos", at(nan, 50)}} << false << QPointF() << false;
        QTest::newRow("not a list") << QVariantMap{{"pos", "10,50"}} << false << QPointF() << false;
    }

    void positionRecords()
    {
        QFETCH(QVariantMap, record);
        QFETCH(bool, hasPosition);
        QFETCH(QPointF, itemPos);
        QFETCH(bool, onRoute);

        auto *vehicle = new PrioVehicle(plugin, "B1", scene);
        vehicle->applyProperties({{"logged_in", true}});
        vehicle->applyPosition(record);
        QCOMPARE(!vehicle->hasNoPosition(), hasPosition);
        QCOMPARE(vehicle->isOnRoute(), onRoute);
        QCOMPARE(vehicle->pos(), itemPos);
        const QRectF sceneBox = vehicle->sceneBoundingRect();
        QVERIFY(qIsFinite(sceneBox.x()) && qIsFinite(sceneBox.y()) && qIsFinite(sceneBox.width()));
        if (hasPosition) {
            QVERIFY(vehicle->gpsMarker());
            QCOMPARE(vehicle->gpsMarker()->pos(), vehicle->gpsPos());
            QVERIFY(!vehicle->gpsMarker()->isVisible()); // shown only while selected
        }
    }

    void repeatedPosition()
    {
        // The same position again only refreshes the time; without a course the pin becomes
        // the 32-pixel circle.
        PrioVehicle *vehicle = positioned("B1");
        vehicle->applyProperties({{"last_connected_time", "2001-02-03T04:05:06"}});
        QCOMPARE(vehicle->lastConnected(), QDateTime(QDate(2001, 2, 3), QTime(4, 5, 6)));
        QSignalSpy state(vehicle, &PrioVehicle::stateChanged);
        const QPainterPath marker = vehicle->markerPath();
        QVERIFY(marker.boundingRect() != QRectF(-16, -16, 32, 32));
        vehicle->applyPosition({{"pos", at(10.0, 50.0)}, {"rpos", at(10.0001, 50.0001)}, {"course", 90}});
        QCOMPARE(state.count(), 0);
        QCOMPARE(vehicle->markerPath(), marker);
        QVERIFY(vehicle->lastConnected().date().year() > 2020);
        vehicle->applyPosition({{"pos", at(10.0, 50.0)}, {"rpos", at(10.0001, 50.0001)}});
        QCOMPARE(vehicle->course(), -360);
        QCOMPARE(vehicle->markerPath().boundingRect(), QRectF(-16, -16, 32, 32));
    }

    void pinPointsAlongTheCourse_data()
    {
        // Compass course, clockwise from north; on screen y grows downwards.
        QTest::addColumn<QVariant>("course");
        QTest::addColumn<double>("compass");
        QTest::newRow("north") << QVariant(0) << 0.0;
        QTest::newRow("east") << QVariant(90) << 90.0;
        QTest::newRow("-90 is west") << QVariant(-90) << 270.0;
        QTest::newRow("450 is east") << QVariant(450) << 90.0;
        QTest::newRow("a double rounds") << QVariant(89.6) << 90.0;
        // 2147483647 = 5965232 * 360 + 127, -2147483648 = -5965233 * 360 + 232
        QTest::newRow("INT_MIN") << QVariant(std::numeric_limits<int>::min()) << 232.0;
    }

    void pinPointsAlongTheCourse()
    {
        QFETCH(QVariant, course);
        QFETCH(double, compass);
        PrioVehicle *vehicle = positioned("B1", {{"course", course}});
        // The pin is drawn from its point.
        const QPointF tip = vehicle->markerPath().elementAt(0);
        // The pin's point is 7.7231 from its centre, drawn twice as large.
        QVERIFY(std::fabs(QLineF(QPointF(), tip).length() - 15.4462) < 0.01);
        const double rad = qDegreesToRadians(compass);
        const QPointF expected(std::sin(rad) * 15.4462, -std::cos(rad) * 15.4462);
        QVERIFY2(QLineF(tip, expected).length() < 0.05,
                 qPrintable(QString("%1,%2").arg(tip.x()).arg(tip.y())));
    }

    void priorityState_data()
    {
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<QString>("state");
        QTest::addColumn<QList<int>>("detectors");
        QTest::newRow("no duplicates") << QStringList{"active:3", "active:3"} << "active" << QList<int>{3};
        QTest::newRow("another still active keeps it")
            << QStringList{"active:3", "active:4", "idle:3"} << "active" << QList<int>{4};
        QTest::newRow("the last one ends it")
            << QStringList{"active:3", "active:4", "idle:3", "idle:4"} << "idle" << QList<int>{};
        QTest::newRow("empty state removes but never replaces")
            << QStringList{"active:3", "active:4", ":4", ":3"} << "active" << QList<int>{};
        QTest::newRow("idle from an unknown detector") << QStringList{"idle:9"} << "idle" << QList<int>{};
        QTest::newRow("forgetting the last active detector ends priority")
            << QStringList{"active:3", "forget:3"} << "" << QList<int>{};
        QTest::newRow("forgetting one of two keeps priority")
            << QStringList{"active:3", "active:4", "forget:3"} << "active" << QList<int>{4};
    }

    void priorityState()
    {
        QFETCH(QStringList, steps);
        QFETCH(QString, state);
        QFETCH(QList<int>, detectors);
        PrioVehicle *vehicle = positioned("B1");
        for (const QString &step : steps) {
            const QString word = step.section(':', 0, 0);
            const int id = step.section(':', 1).toInt();
            if (word == "forget")
                vehicle->forgetDetector(id);
            else
                vehicle->setPriorityState(word, id);
        }
        QCOMPARE(vehicle->priorityState(), state);
        QCOMPARE(vehicle->activeDetectors(), detectors);
        QCOMPARE(vehicle->iconPath(), state == "active" ? QStringLiteral("://icons/bus-24p.png")
                                                        : QStringLiteral("://icons/bus-24.png"));
    }

    void filterAndLogIn()
    {
        auto *vehicle = new PrioVehicle(plugin, "B1", scene);
        vehicle->setFilterAccepted(false);
        QVERIFY(!vehicle->isVisible());
        vehicle->setFilterAccepted(true);
        QVERIFY(!vehicle->isVisible()); // not logged in
        vehicle->setLoggedIn(true);
        QVERIFY(vehicle->isVisible());
        vehicle->setFilterAccepted(false);
        QVERIFY(!vehicle->isVisible());
        vehicle->setLoggedIn(false);
        vehicle->setFilterAccepted(true);
        QVERIFY(!vehicle->isVisible());
    }

    void texts_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QVariantMap>("record");
        QTest::addColumn<bool>("position");
        QTest::addColumn<QString>("typeText");
        QTest::addColumn<QStringList>("firstLines");

        QTest::newRow("position-less bus with a description")
            << "4711" << QVariantMap{{"logged_in", true}, {"description", "Depot 2"}} << false
            << "Vehicle(No position data)" << QStringList{"Vehicle 4711", "Depot 2", "No position data"};
        QTest::newRow("nameless emergency vehicle")
            << "" << QVariantMap{{"allow_emergency", true}} << false << "EV(No position data)"
            << QStringList{"EV ?", "No position data"};
        QTest::newRow("locked, positioned, with speed")
            << "B7" << QVariantMap{{"locked", true}} << true << "Vehicle(Locked)"
            << QStringList{"Vehicle B7", "Speed: 42 km/h", "Locked"};
    }

    void texts()
    {
        QFETCH(QString, name);
        QFETCH(QVariantMap, record);
        QFETCH(bool, position);
        QFETCH(QString, typeText);
        QFETCH(QStringList, firstLines);

        auto *vehicle = new PrioVehicle(plugin, name, scene);
        vehicle->applyProperties(record);
        if (position)
            vehicle->applyPosition({{"pos", at(10, 50)}, {"speed", 42}});
        QCOMPARE(vehicle->typeText(), typeText);
        const QStringList lines = vehicle->toolTip().split('\n');
        QCOMPARE(lines.mid(0, firstLines.size()), firstLines);
        // Every position refreshes the time of the last connection, which ends the tooltip.
        QCOMPARE(lines.size(), firstLines.size() + (position ? 1 : 0));
        if (position)
            QVERIFY(lines.last().startsWith("Last time was on connection "));
        // The tree row: name, description, type text, nothing further; the tooltip in every column.
        QVariant row[4];
        for (int column = 0; column < 4; ++column)
            QVERIFY(QMetaObject::invokeMethod(vehicle, "modelData", Q_RETURN_ARG(QVariant, row[column]),
                                              Q_ARG(int, column), Q_ARG(int, column == 1 ? Qt::EditRole : Qt::DisplayRole)));
        QCOMPARE(QVariantList({row[0], row[1], row[2], row[3]}),
                 QVariantList({name, record.value("description").toString(), typeText, QVariant()}));
        QCOMPARE(vehicle->modelData(7, Qt::ToolTipRole).toString(), vehicle->toolTip());
        QCOMPARE(vehicle->modelData(0, Qt::FontRole), QVariant());

        // Without a speed the speed line goes.
        if (position) {
            vehicle->applyPosition({{"pos", at(10, 50)}});
            QVERIFY(!vehicle->toolTip().contains("Speed"));
        }
    }

    void routeLineInToolTip()
    {
        Road::ItemModel model;
        QObject *section = model.addSection("Traffic priority system/Assigned boards");
        auto *route = new PrioRoute(plugin, 12, scene);
        QVERIFY(model.addObject(route, section));
        QObject *boards = model.addSubSection(route, "Boards");
        QVERIFY(boards);
        auto *vehicle = new PrioVehicle(plugin, "B1", scene);
        QVERIFY(model.addObject(vehicle, boards));

        vehicle->updateTexts();
        QVERIFY2(vehicle->toolTip().endsWith("\nRoute 12"), qPrintable(vehicle->toolTip()));
        route->applyProperties({{"description", "Ring"}});
        vehicle->updateTexts();
        QVERIFY(vehicle->toolTip().endsWith("\nRoute Ring"));

        // Listed directly under a section, not under a route: no route line.
        auto *other = new PrioVehicle(plugin, "B2", scene);
        QVERIFY(model.addObject(other, section));
        other->updateTexts();
        QVERIFY(!other->toolTip().contains("Route"));
    }

    void malformedNumbers_data()
    {
        QTest::addColumn<QVariantMap>("record");
        QTest::addColumn<int>("routeId");
        QTest::addColumn<int>("radius");
        QTest::newRow("text route id unassigns") << QVariantMap{{"route_id", "abc"}} << 0 << 0;
        QTest::newRow("huge route id") << QVariantMap{{"route_id", 1e300}} << 0 << 0;
        QTest::newRow("NaN route id") << QVariantMap{{"route_id", std::numeric_limits<double>::quiet_NaN()}} << 0 << 0;
        QTest::newRow("huge radius") << QVariantMap{{"route_id", 4}, {"radius", -1e20}} << 4 << 0;
        QTest::newRow("ordinary") << QVariantMap{{"route_id", 4.0}, {"radius", "50"}} << 4 << 50;
    }

    void malformedNumbers()
    {
        QFETCH(QVariantMap, record);
        QFETCH(int, routeId);
        QFETCH(int, radius);
        auto *vehicle = new PrioVehicle(plugin, "B1", scene);
        vehicle->applyProperties({{"route_id", 9}, {"radius", 7}});
        vehicle->applyProperties(record);
        QCOMPARE(vehicle->routeId(), routeId);
        QCOMPARE(vehicle->evRadius(), record.contains("radius") ? radius : 7);
    }

    void sectorFollowsSelection()
    {
        plugin->setEmsShowMode(PriorityPlugin::show_selected);
        auto *vehicle = new PrioVehicle(plugin, "E1", scene);
        vehicle->applyProperties({{"logged_in", true}, {"allow_emergency", true}, {"radius", 50}, {"sweep", 90},
                                  {"route_id", 5}});
        vehicle->applyPosition({{"pos", at(10, 50)}, {"rpos", at(10, 50)}, {"course", 0}});
        QVERIFY(!vehicle->sectorItem() || !vehicle->sectorItem()->isVisible());

        vehicle->setSelected(true);
        QTRY_VERIFY(vehicle->sectorItem() && vehicle->sectorItem()->isVisible());
        QGraphicsPathItem *sector = vehicle->sectorItem();
        QCOMPARE(sector->pos(), QPointF(10, 50));
        QCOMPARE(sector->brush().color(), QColor(199, 226, 248, 127));
        QCOMPARE(vehicle->gpsMarker()->isVisible(), true);

        // A 90-degree sector of 50 m opening north: 50 m up, 50 sin 45 m to either side.
        const QRectF box = sector->path().boundingRect();
        const double lonMetres = ItemTest::metresPerDegreeLon(50.0);
        const QRectF metres(QPointF(box.left() * lonMetres, box.top() * MetresPerDegreeLat),
                            QPointF(box.right() * lonMetres, box.bottom() * MetresPerDegreeLat));
        QVERIFY2(QLineF(metres.topLeft(), QPointF(-35.355, 0)).length() < 0.5
                     && QLineF(metres.bottomRight(), QPointF(35.355, 50)).length() < 0.5,
                 qPrintable(QString("%1,%2 %3x%4").arg(metres.x()).arg(metres.y()).arg(metres.width())
                                .arg(metres.height())));

        // The sector takes the state colour and keeps its transparency.
        vehicle->setPriorityState("active", 1);
        QCOMPARE(sector->brush().color(), QColor(0, 255, 0, 127));

        vehicle->setSelected(false);
        QTRY_VERIFY(!sector->isVisible());
        QVERIFY(!vehicle->gpsMarker()->isVisible());
    }

    void circleLeavesTheSectorAlone()
    {
        plugin->setEmsShowMode(PriorityPlugin::show_always);
        auto *vehicle = new PrioVehicle(plugin, "E1", scene);
        // No radius, no sector.
        vehicle->applyProperties({{"logged_in", true}, {"allow_emergency", true}, {"radius", 0}, {"sweep", 90}});
        vehicle->applyPosition({{"pos", at(10, 49.99)}, {"course", 0}});
        QVERIFY(!vehicle->sectorItem());
        vehicle->applyProperties({{"radius", 50}});
        vehicle->applyPosition({{"pos", at(10, 50)}, {"course", 0}});
        QVERIFY(vehicle->sectorItem() && vehicle->sectorItem()->isVisible());
        // A record without a course draws the circle and leaves the sector where it was.
        const QPainterPath before = vehicle->sectorItem()->path();
        vehicle->applyPosition({{"pos", at(10.01, 50.01)}});
        QCOMPARE(vehicle->sectorItem()->path(), before);
        QCOMPARE(vehicle->sectorItem()->pos(), QPointF(10, 50));
        QVERIFY(vehicle->sectorItem()->isVisible());
    }

    void hostDeletesLayerItems_data()
    {
        QTest::addColumn<QString>("what");
        QTest::newRow("sector") << "sector";
        QTest::newRow("raw-position ring") << "ring";
        QTest::newRow("the layer") << "layer";
        QTest::newRow("clearing the scene") << "clear";
    }

    void hostDeletesLayerItems()
    {
        QFETCH(QString, what);
        plugin->setEmsShowMode(PriorityPlugin::show_always);
        QPointer<PrioVehicle> vehicle = new PrioVehicle(plugin, "E1", scene);
        vehicle->applyProperties({{"logged_in", true}, {"allow_emergency", true}, {"radius", 50}, {"sweep", 90}});
        vehicle->applyPosition({{"pos", at(10, 50)}, {"course", 0}});
        QVERIFY(vehicle->sectorItem());
        QVERIFY(vehicle->gpsMarker());

        if (what == "sector") {
            delete vehicle->sectorItem();
            QVERIFY(!vehicle->sectorItem());
            vehicle->applyPosition({{"pos", at(10.001, 50)}, {"course", 0}});
            QVERIFY(vehicle->sectorItem()); // made again when next needed
        } else if (what == "ring") {
            delete vehicle->gpsMarker();
            QVERIFY(!vehicle->gpsMarker());
            vehicle->applyPosition({{"pos", at(10.001, 50)}, {"course", 0}});
            QVERIFY(vehicle->gpsMarker());
        } else if (what == "layer") {
            delete scene->layer("Traffic priority");
            // The vehicle went with its layer; the plug-in no longer holds it.
            QVERIFY(vehicle.isNull());
        } else {
            scene->clear();
            QVERIFY(vehicle.isNull());
        }
        // The layer, its item batch, the vehicle, its sector and ring.
        QVERIFY(scene->items().size() <= 5);
        delete vehicle.data(); // no double deletion of what the host already deleted
        QVERIFY(plugin->findChildren<PrioVehicle *>().isEmpty());
    }

    void label()
    {
        plugin->setTextShowMode(PriorityPlugin::show_selected);
        PrioVehicle *vehicle = positioned("B1");
        QGraphicsTextItem *label = vehicle->label();
        QVERIFY(label && !label->isVisible());
        QCOMPARE(label->toPlainText(), vehicle->toolTip());
        vehicle->setSelected(true);
        QVERIFY(label->isVisible());
        vehicle->setSelected(false);
        QVERIFY(!label->isVisible());

        vehicle->setTextShowMode(PriorityPlugin::show_always);
        QVERIFY(vehicle->label()->isVisible());
        vehicle->setTextShowMode(PriorityPlugin::show_none);
        QVERIFY(!vehicle->label());
    }

private:
    PrioVehicle *positioned(const QString &name, const QVariantMap &extra = {})
    {
        auto *vehicle = new PrioVehicle(plugin, name, scene);
        vehicle->applyProperties({{"logged_in", true}, {"route_id", 5}});
        QVariantMap record{{"pos", at(10.0, 50.0)}, {"rpos", at(10.0001, 50.0001)}, {"course", 90}};
        for (auto it = extra.begin(); it != extra.end(); ++it)
            record.insert(it.key(), it.value());
        vehicle->applyPosition(record);
        return vehicle;
    }

    PriorityPlugin *plugin = nullptr;
    Road::MapScene *scene = nullptr;
};

QTEST_MAIN(tst_PrioVehicle)
#include "tst_priovehicle.moc"
