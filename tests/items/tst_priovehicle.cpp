#include "items/itemlimits.h"
#include "kernel/roaditemmodel.h"

#include "itemtestutil.h"

#include <QGraphicsPathItem>
#include <QGraphicsSceneHelpEvent>
#include <QGraphicsTextItem>
#include <QSignalSpy>

using namespace ItemTest;

namespace {

QVariantList at(double lon, double lat)
{
    return ItemTest::at({lon, lat});
}

} // namespace

class tst_PrioVehicle : public Fixture
{
    Q_OBJECT

private slots:
    void looks_data()
    {
        // Given: which of ev, locked, in (logged in), pos or rpos, route (assigned), active hold;
        // for the texts a description, no name, speed 42, a tree entry under route 12's boards or
        // directly under a section. Expected: icon, state colour and type text, and the tooltip's
        // lines before the time of the last connection (which every position refreshes).
        QTest::addColumn<QString>("given");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<QString>("tip");
        auto row = [](const char *name, const char *given, const char *expected, const char *tip) {
            QTest::newRow(name) << QString(given) << QString(expected) << QString(tip);
        };
        row("locked emergency, whatever else", "ev locked in rpos route active", "ecarr #ff0000 EV(Locked)", "EV B1|Locked");
        row("locked bus with priority and speed", "locked in rpos route active speed", "bus-24r #ff0000 Vehicle(Locked)",
            "Vehicle B1|Speed: 42 km/h|Locked");
        row("not logged in", "route", "bus-24u #c0c0c0 Vehicle(No position data)", "Vehicle B1|No position data");
        row("logged in, no position, a description", "in route desc", "bus-24nogps #c0c0c0 Vehicle(No position data)",
            "Vehicle B1|Depot 2|No position data");
        row("priority", "in rpos route active", "bus-24p #00ff00 Vehicle(Has priority)", "Vehicle B1|Has priority");
        row("on its route, listed under it", "in rpos route listed", "bus-24 #c7e2f8 Vehicle", "Vehicle B1|Route 12");
        row("off its route", "in pos route", "bus-24 #ffb6c1 Vehicle", "Vehicle B1");
        row("not assigned, listed directly under a section", "in rpos section", "bus-24 #c0c0c0 Vehicle", "Vehicle B1");
        row("emergency with priority", "ev in rpos route active", "ecarp #00ff00 EV(Has priority)", "EV B1|Has priority");
        row("nameless emergency, no position", "ev in route noname", "ecarnogps #c0c0c0 EV(No position data)", "EV ?|No position data");
    }

    void looks()
    {
        QFETCH(QString, given);
        QFETCH(QString, expected);
        QFETCH(QString, tip);
        const QStringList flags = given.split(' ');
        auto *vehicle = new PrioVehicle(plugin, flags.contains("noname") ? "" : "B1", scene);
        vehicle->applyProperties({{"locked", flags.contains("locked")}, {"logged_in", flags.contains("in")},
                                  {"route_id", flags.contains("route") ? 5 : 0}, {"allow_emergency", flags.contains("ev")},
                                  {"description", flags.contains("desc") ? "Depot 2" : ""}});
        Road::ItemModel model;
        QObject *section = model.addSection("Traffic priority system/Assigned boards");
        auto *route = new PrioRoute(plugin, 12, scene);
        QVERIFY(model.addObject(route, section));
        if (flags.contains("listed") || flags.contains("section"))
            QVERIFY(model.addObject(vehicle, flags.contains("listed") ? model.addSubSection(route, "Boards") : section));
        const bool positioned = given.contains("pos");
        if (positioned)
            vehicle->applyPosition({{"pos", at(10, 50)}, {flags.contains("rpos") ? "rpos" : "x", at(10.001, 50)}, {"course", 10},
                                    {flags.contains("speed") ? "speed" : "x", 42}});
        if (flags.contains("active"))
            vehicle->setPriorityState("active", 3);
        vehicle->updateTexts();
        const QString icon = vehicle->iconPath();
        QCOMPARE(icon.mid(icon.lastIndexOf('/') + 1).remove(".png") + ' ' + vehicle->stateColour().name() + ' ' + vehicle->typeText(),
                 expected);
        // The pictures are embedded (no file has the name), 24 x 24 with an alpha channel.
        QVERIFY(QImage(icon).size() == QSize(24, 24) && QImage(icon).hasAlphaChannel());
        QCOMPARE(vehicle->modelData(0, Qt::DecorationRole).value<QIcon>().availableSizes().value(0), QSize(24, 24));
        const QStringList lines = vehicle->toolTip().split('\n');
        QCOMPARE(lines.mid(0, lines.size() - (positioned ? 1 : 0)).join('|'), tip);
        QVERIFY(!positioned || lines.last().startsWith("Last time was on connection "));
        QCOMPARE(treeRow(vehicle), QVariantList({vehicle->name(), flags.contains("desc") ? "Depot 2" : "", vehicle->typeText(), QVariant(),
                                                 vehicle->toolTip(), QVariant(), "QString", "QIcon"}));
        // The route line follows the route's description; without a speed the speed line goes.
        route->applyProperties({{"description", "Ring"}});
        vehicle->applyPosition({{"pos", at(10, 50)}});
        // The view shows the item's own tooltip (QGraphicsItem's), current once the scene is asked for it.
        QGraphicsSceneHelpEvent help(QEvent::GraphicsSceneHelp);
        QCoreApplication::sendEvent(scene, &help);
        const QString shown = static_cast<QGraphicsItem *>(vehicle)->toolTip();
        QVERIFY(shown.contains("\nRoute Ring\n") == flags.contains("listed") && !shown.contains("Speed"));
    }

    void records()
    {
        auto *vehicle = new PrioVehicle(plugin, "B1", scene);
        QSignalSpy route(vehicle, &PrioVehicle::routeChanged);
        QSignalSpy state(vehicle, &PrioVehicle::stateChanged);
        vehicle->applyProperties({{"route_id", 7}, {"radius", 7}, {"last_connected_time", "2001-02-03T04:05:06"}});
        vehicle->applyProperties({{"route_id", 7}, {"radius", 7}, {"last_connected_time", "2001-02-03T04:05:06"}});
        QCOMPARE(QList<int>({vehicle->property("routeId").toInt(), vehicle->property("evRadius").toInt(), route.count(), state.count()}),
                 QList<int>({7, 7, 1, 1}));
        QCOMPARE(vehicle->lastConnected(), QDateTime(QDate(2001, 2, 3), QTime(4, 5, 6)));
        // Numbers the server should not send: not a number unassigns, out of range as well.
        for (const QVariant &id : {QVariant("abc"), QVariant(1e300), QVariant(qQNaN())}) {
            vehicle->applyProperties({{"route_id", 9}});
            vehicle->applyProperties({{"route_id", id}, {"radius", -1e20}, {"last_connected_time", "yesterday"}});
            QCOMPARE(vehicle->routeId(), 0);
        }
        QCOMPARE(vehicle->evRadius(), 0);
        QVERIFY(!vehicle->lastConnected().isValid());
        vehicle->applyProperties({{"route_id", 4.0}, {"radius", "50"}});
        QCOMPARE(vehicle->routeId() * 100 + vehicle->evRadius(), 450);
        // However many detectors give priority, the set stays bounded.
        for (int i = 0; i < 10000; ++i)
            vehicle->setPriorityState("active", i);
        QCOMPARE(vehicle->activeDetectors().size(), ItemLimits::MaxActiveDetectors);
        QCOMPARE(vehicle->priorityState(), QStringLiteral("active"));
    }

    void visibility_data()
    {
        // Steps: in/out (a record's "logged_in"), login/logout (the notifications), accept/reject
        // (the filters), pos (a position record), nopos (one without), each with speed 30.
        // Expected: shown or hidden, whether it has a position, and its speed.
        QTest::addColumn<QString>("steps");
        QTest::addColumn<QString>("expected");
        auto row = [](const char *name, const char *steps, const char *expected) { QTest::newRow(name) << QString(steps) << QString(expected); };
        row("a new vehicle is shown, with nothing to draw", "", "shown nopos 30");
        row("a record logging it out hides it", "in pos out", "hidden nopos -1");
        row("a position logs it in again", "in pos out pos", "shown pos 30");
        row("a position without a point takes the position away", "in pos nopos", "shown nopos 30");
        row("rejected by the filters", "in pos reject", "hidden pos 30");
        row("accepted but not logged in", "reject accept", "hidden nopos 30");
        row("accepted and logged in", "reject accept login", "shown nopos 30");
        row("logged out, then accepted", "login reject logout accept", "hidden nopos -1");
        row("a position does not show a rejected vehicle", "reject pos", "hidden pos 30");
    }

    void visibility()
    {
        QFETCH(QString, steps);
        QFETCH(QString, expected);
        auto *vehicle = new PrioVehicle(plugin, "B1", scene);
        vehicle->applyPosition({{"speed", 30}});
        for (const QString &step : steps.split(' ', Qt::SkipEmptyParts)) {
            if (step == "in" || step == "out")
                vehicle->applyProperties({{"logged_in", step == "in"}});
            else if (step == "login" || step == "logout")
                vehicle->setLoggedIn(step == "login");
            else if (step == "accept" || step == "reject")
                vehicle->setFilterAccepted(step == "accept");
            else
                vehicle->applyPosition({{"pos", step == "pos" ? at(10, 50) : at(0, 0)}, {"speed", 30}});
        }
        QCOMPARE(QString("%1 %2 %3").arg(vehicle->isVisible() ? "shown" : "hidden", vehicle->hasNoPosition() ? "nopos" : "pos")
                     .arg(vehicle->speed()),
                 expected);
        QCOMPARE(vehicle->property("hasGeometry").toBool(), !vehicle->hasNoPosition());
    }

    void positions_data()
    {
        // The item's position and whether it is on its route; with a course, the compass
        // direction its pin points along (clockwise from north; on screen y grows downwards),
        // without one (NaN) the 32-pixel circle.
        QTest::addColumn<QVariantMap>("record");
        QTest::addColumn<QPointF>("itemPos");
        QTest::addColumn<bool>("onRoute");
        QTest::addColumn<double>("compass");
        auto row = [](const char *name, const QVariantMap &record, QPointF pos, bool onRoute, double compass = qQNaN()) {
            QTest::newRow(name) << record << pos << onRoute << compass;
        };
        const QVariantList here = at(10, 50);
        row("pos only", {{"pos", here}}, {10, 50}, false);
        row("pos and rpos", {{"pos", here}, {"rpos", at(10.001, 50.002)}}, {10.001, 50.002}, true);
        row("malformed rpos falls back", {{"pos", here}, {"rpos", "x"}}, {10, 50}, false);
        row("numbers as text", {{"pos", QVariantList{"10.5", "50.5"}}}, {10.5, 50.5}, false);
        row("rpos beyond the Mercator limit falls back", {{"pos", here}, {"rpos", at(10, 89)}}, {10, 50}, false);
        row("(0, 0) is no point", {{"pos", at(0, 0)}}, {}, false);
        row("missing pos", {{"course", 10}}, {}, false);
        row("NaN", {{"pos", at(qQNaN(), 50)}}, {}, false);
        row("three numbers", {{"pos", QVariantList{10, 50, 1}}}, {}, false);
        row("not a list", {{"pos", "10,50"}}, {}, false);
        row("north", {{"pos", here}, {"course", 0}}, {10, 50}, false, 0.0);
        row("east", {{"pos", here}, {"course", 90}}, {10, 50}, false, 90.0);
        row("450 is east", {{"pos", here}, {"course", 450}}, {10, 50}, false, 90.0);
        row("a double rounds", {{"pos", here}, {"course", 89.6}}, {10, 50}, false, 90.0);
        // -2147483648 = -5965233 * 360 + 232
        row("INT_MIN", {{"pos", here}, {"course", std::numeric_limits<int>::min()}}, {10, 50}, false, 232.0);
    }

    void positions()
    {
        QFETCH(QVariantMap, record);
        QFETCH(QPointF, itemPos);
        QFETCH(bool, onRoute);
        QFETCH(double, compass);
        auto *vehicle = new PrioVehicle(plugin, "B1", scene);
        vehicle->applyProperties({{"logged_in", true}});
        vehicle->applyPosition(record);
        QCOMPARE(vehicle->hasNoPosition(), itemPos.isNull());
        QCOMPARE(vehicle->isOnRoute(), onRoute);
        QCOMPARE(vehicle->pos(), itemPos);
        // The ring at the raw position exists only while selected, and goes with the position.
        QVERIFY(!vehicle->gpsMarker());
        vehicle->setSelected(true);
        QCOMPARE(vehicle->gpsMarker() ? vehicle->gpsMarker()->pos() : QPointF(), itemPos.isNull() ? QPointF() : vehicle->gpsPos());
        vehicle->applyPosition({{"pos", QVariantList{0, 0}}});
        const bool lost = !vehicle->gpsMarker();
        vehicle->applyPosition(record);
        QVERIFY(lost && (vehicle->gpsMarker() != nullptr) == !itemPos.isNull());
        vehicle->setSelected(false);
        // The pin is drawn from its point, 7.7231 from its centre, drawn twice as large.
        const double rad = qDegreesToRadians(compass);
        if (!qIsNaN(compass))
            QVERIFY(QLineF(vehicle->markerPath().elementAt(0), QPointF(std::sin(rad), -std::cos(rad)) * 15.4462).length() < 0.05);

        // The same position again only refreshes the time.
        vehicle->applyProperties({{"last_connected_time", "2001-02-03T04:05:06"}});
        QSignalSpy state(vehicle, &PrioVehicle::stateChanged);
        const QPainterPath marker = vehicle->markerPath();
        vehicle->applyPosition(record);
        QVERIFY(itemPos.isNull() || (state.isEmpty() && vehicle->markerPath() == marker && vehicle->lastConnected().date().year() > 2020));
        // Without a course the pin becomes the circle.
        record.remove("course");
        vehicle->applyPosition(record);
        QVERIFY(itemPos.isNull() || (vehicle->course() == -360 && vehicle->shape().boundingRect() == QRectF(-16, -16, 32, 32)));
    }

    void priorityState_data()
    {
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<QString>("state");
        QTest::addColumn<QList<int>>("detectors");
        auto row = [](const char *name, const QStringList &steps, const char *state, const QList<int> &detectors) {
            QTest::newRow(name) << steps << QString(state) << detectors;
        };
        row("no duplicates", {"active:3", "active:3"}, "active", {3});
        row("another still active keeps it", {"active:3", "active:4", "idle:3"}, "active", {4});
        row("the last one ends it", {"active:3", "active:4", "idle:3", "idle:4"}, "idle", {});
        row("empty state removes but never replaces", {"active:3", "active:4", ":4", ":3"}, "active", {});
        row("idle from an unknown detector", {"idle:9"}, "idle", {});
        row("forgetting the last active detector ends priority", {"active:3", "forget:3"}, "", {});
        row("forgetting one of two keeps priority", {"active:3", "active:4", "forget:3"}, "active", {4});
    }

    void priorityState()
    {
        QFETCH(QStringList, steps);
        QFETCH(QString, state);
        QFETCH(QList<int>, detectors);
        PrioVehicle *vehicle = positioned("B1");
        for (const QString &step : steps) {
            const int id = step.section(':', 1).toInt();
            step.startsWith("forget") ? vehicle->forgetDetector(id) : vehicle->setPriorityState(step.section(':', 0, 0), id);
        }
        QCOMPARE(vehicle->priorityState(), state);
        QCOMPARE(vehicle->activeDetectors(), detectors);
        QCOMPARE(vehicle->iconPath(), state == "active" ? QStringLiteral("://icons/bus-24p.png") : QStringLiteral("://icons/bus-24.png"));
    }

    void sectorAndHostDeletions_data()
    {
        QTest::addColumn<QString>("what");
        QTest::newRow("nothing deleted") << "";
        QTest::newRow("sector") << "sector";
        QTest::newRow("raw-position ring") << "ring";
        QTest::newRow("the layer") << "layer";
        QTest::newRow("clearing the scene") << "clear";
    }

    void sectorAndHostDeletions()
    {
        // No radius, no sector; once it has one, a 90-degree sector of 50 m opening north
        // (50 m up, 50 sin 45 m to either side) in the state colour, half transparent, shown
        // with the vehicle selected and its raw-position ring.
        QFETCH(QString, what);
        plugin->setEmsShowMode(PriorityPlugin::show_selected);
        QPointer<PrioVehicle> vehicle = new PrioVehicle(plugin, "E1", scene);
        vehicle->applyProperties({{"logged_in", true}, {"allow_emergency", true}, {"radius", 0}, {"sweep", 90}, {"route_id", 5}});
        vehicle->applyPosition({{"pos", at(10, 49.99)}, {"rpos", at(10, 49.99)}, {"course", 0}});
        vehicle->setSelected(true);
        QTest::qWait(0);
        QVERIFY(!vehicle->sectorItem());
        vehicle->applyProperties({{"radius", 50}});
        vehicle->applyPosition({{"pos", at(10, 50)}, {"rpos", at(10, 50)}, {"course", 0}});
        QTRY_VERIFY(vehicle->sectorItem() && vehicle->sectorItem()->isVisible());
        QGraphicsPathItem *sector = vehicle->sectorItem();
        QCOMPARE(sector->pos(), QPointF(10, 50));
        QCOMPARE(sector->brush().color(), QColor(199, 226, 248, 127));
        QVERIFY(vehicle->gpsMarker()->isVisible());
        const QRectF box(metresFrom({0, 50}, sector->path().boundingRect().topLeft() + QPointF(0, 50)),
                         metresFrom({0, 50}, sector->path().boundingRect().bottomRight() + QPointF(0, 50)));
        QVERIFY2(QLineF(box.topLeft(), QPointF(-35.355, 0)).length() < 0.5 && QLineF(box.bottomRight(), QPointF(35.355, 50)).length() < 0.5,
                 qPrintable(QString("%1,%2 %3x%4").arg(box.x()).arg(box.y()).arg(box.width()).arg(box.height())));
        vehicle->setPriorityState("active", 1);
        QCOMPARE(sector->brush().color(), QColor(0, 255, 0, 127));
        vehicle->setSelected(false);
        QTRY_VERIFY(!sector->isVisible());
        QVERIFY(!vehicle->gpsMarker());
        // A record without a course draws the circle and leaves the sector as it was.
        const QPainterPath before = sector->path();
        vehicle->applyPosition({{"pos", at(10.01, 50.01)}});
        vehicle->setSelected(true);
        QTest::qWait(0);
        QVERIFY(sector->path() == before && sector->pos() == QPointF(10, 50) && !sector->isVisible());
        if (what == "sector")
            delete sector;
        else if (what == "ring")
            delete vehicle->gpsMarker();
        else if (what == "layer")
            delete scene->layer("Traffic priority");
        else if (what == "clear")
            scene->clear();
        // What the vehicle made is made again when next needed; with its layer, the vehicle goes.
        QCOMPARE(vehicle.isNull(), what == "layer" || what == "clear");
        if (vehicle) {
            QVERIFY(what.isEmpty() || !vehicle->sectorItem() || !vehicle->gpsMarker());
            vehicle->applyPosition({{"pos", at(10.001, 50)}, {"course", 0}});
            QVERIFY(vehicle->sectorItem() && vehicle->sectorItem()->isVisible() && vehicle->gpsMarker());
        }
        // The layer, its item batch and the batch's pass below the routes, the vehicle, its sector and ring.
        QVERIFY(scene->items().size() <= 6);
        delete vehicle.data(); // no double deletion of what the host already deleted
        QVERIFY(plugin->findChildren<PrioVehicle *>().isEmpty());
    }

    void label()
    {
        // Shown always, or while selected; a bold cyan text with a black outline, 10 px right of
        // the marker, which moves and hides with it.
        PrioVehicle *vehicle = positioned("B1");
        QVERIFY(!vehicle->label());
        for (int mode : {PriorityPlugin::show_always, PriorityPlugin::show_none, PriorityPlugin::show_selected}) {
            vehicle->setTextShowMode(mode);
            QCOMPARE(vehicle->label() != nullptr, mode != PriorityPlugin::show_none);
        }
        QGraphicsTextItem *label = vehicle->label();
        QVERIFY(!label->isVisible());
        QCOMPARE(QStringList({label->toPlainText(), label->defaultTextColor().name(), QString::number(label->font().weight()),
                              QString::number(label->font().pointSize())}),
                 QStringList({vehicle->toolTip(), "#00ffff", "87", "10"}));
        QVERIFY(label->parentItem() == vehicle && label->pos() == QPointF(10, 0) && label->flags() == QGraphicsItem::ItemIgnoresTransformations);
        vehicle->setSelected(true);
        QVERIFY(label->isVisible());
        vehicle->setSelected(false);
        QVERIFY(!label->isVisible());
        vehicle->setTextShowMode(PriorityPlugin::show_always);
        QVERIFY(vehicle->label()->isVisible());
    }

private:
    PrioVehicle *positioned(const QString &name, const QVariant &course = 90)
    {
        return boardAt({10.0, 50.0}, {{"rpos", at(10.0001, 50.0001)}, {"course", course}}, name);
    }
};

QTEST_MAIN(tst_PrioVehicle)
#include "tst_priovehicle.moc"
