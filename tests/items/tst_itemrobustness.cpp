#include "items/itemlimits.h"
#include "items/prioroute.h"
#include "items/priovdetector.h"
#include "items/priovehicle.h"

#include "common/logcapture.h"
#include "itemtestutil.h"

#include <QGraphicsPathItem>
#include <QMetaMethod>
#include <QMetaProperty>
#include <QRandomGenerator>
#include <QRegularExpression>

#include <limits>

using namespace ItemTest;

namespace {

// A scene whose layer takes no items.
class BareLayerScene : public QGraphicsScene
{
    Q_OBJECT
public:
    Q_INVOKABLE QGraphicsObject *addLayer(const QString &) { return &layer; }
    QGraphicsTextItem layer;
};

// The class's own signals, invokables and properties ("=rw" if writable) in one line.
QString interfaceOf(const QMetaObject *mo)
{
    QStringList parts;
    for (int i = mo->methodOffset(); i < mo->methodCount(); ++i)
        parts << mo->method(i).methodSignature() + (mo->method(i).access() == QMetaMethod::Private ? "/private" : "");
    for (int i = mo->propertyOffset(); i < mo->propertyCount(); ++i)
        parts << mo->property(i).name() + QString(mo->property(i).isWritable() ? "=rw" : "=r") + (mo->property(i).hasNotifySignal() ? "+notify" : "");
    return parts.join(QLatin1Char(' '));
}

bool finite(const QPainterPath &path, const QRectF &bounds)
{
    for (int i = 0; i < path.elementCount(); ++i)
        if (!qIsFinite(path.elementAt(i).x) || !qIsFinite(path.elementAt(i).y))
            return false;
    return qIsFinite(bounds.x()) && qIsFinite(bounds.y()) && qIsFinite(bounds.width()) && qIsFinite(bounds.height());
}

// A zigzag eastwards across the city, 10 steps up and 10 down, or points scattered over a
// street: a scribble that crosses the screen thousands of times.
QString manyPoints(int count, double step, bool random = false, const QString &last = QString())
{
    QRandomGenerator generator(7);
    QStringList points;
    for (int i = 0; i < count; ++i) {
        const double lon = random ? 30.0 + generator.generateDouble() * 0.002 : 30.0 + step * i;
        const double lat = random ? 55.0 + generator.generateDouble() * 0.002 : 55.0 + step * ((i / 10) % 2 ? 10 - i % 10 : i % 10);
        points << QString::number(lon, 'f', 8) + QLatin1Char(',') + QString::number(lat, 'f', 8);
    }
    if (!last.isEmpty())
        points.last() = last;
    return points.join(QLatin1Char(' '));
}

} // namespace

// What the host relies on from every item, and what the server's data must never do to
// them: crash, hang, hold unbounded data or leave anything non-finite in the scene.
class tst_ItemRobustness : public Fixture
{
    Q_OBJECT

private slots:
    void joiningTheHost_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<bool>("pluginParent");
        QTest::addColumn<QString>("sceneKind");
        QTest::addColumn<QString>("warning");
        for (const QString kind : {"route", "detector", "vehicle"}) {
            const QString who = "warning: " + QString(kind == "route" ? "Route::Route" : kind == "detector" ? "VDetector::VDetector" : "Vehicle::Vehicle");
            QTest::addRow("%s on the map", qPrintable(kind)) << kind << true << "map" << "";
            QTest::addRow("%s of another parent", qPrintable(kind)) << kind << false << "map" << "";
            QTest::addRow("%s without a scene", qPrintable(kind)) << kind << true << "none" << "";
            QTest::addRow("%s, scene without layers", qPrintable(kind)) << kind << true << "plain" << who + " scene->addLayer failed";
            QTest::addRow("%s, layer without items", qPrintable(kind)) << kind << true << "bare" << who + " layer->addItem failed";
        }
    }

    void joiningTheHost()
    {
        QFETCH(QString, kind);
        QFETCH(bool, pluginParent);
        QFETCH(QString, sceneKind);
        QFETCH(QString, warning);
        plugin->setDtWeightShowMode(PriorityPlugin::show_weight_always);
        plugin->setBrdWeightShowMode(PriorityPlugin::show_weight_if_valid);
        plugin->setEmsShowMode(PriorityPlugin::show_always);
        plugin->setTextShowMode(PriorityPlugin::show_selected);
        QObject other;
        QObject *parent = pluginParent ? static_cast<QObject *>(plugin) : &other;
        QGraphicsScene plain;
        BareLayerScene bare;
        QGraphicsScene *target = sceneKind == "map" ? scene : sceneKind == "plain" ? &plain : sceneKind == "bare" ? &bare : nullptr;
        LogCapture log;
        QGraphicsObject *item = kind == "route" ? static_cast<QGraphicsObject *>(new PrioRoute(parent, 3, target))
            : kind == "detector" ? static_cast<QGraphicsObject *>(new PrioVDetector(parent, 3, target, false))
                                 : new PrioVehicle(parent, "B3", target);
        QScopedPointer<QGraphicsObject> owned(pluginParent ? nullptr : item);

        // Qt's own complaint about the missing invokable comes first; ours is the last line.
        QCOMPARE(log.lines().filter(QRegularExpression("^warning: (Route|VDetector|Vehicle)::")).join(""), warning);
        // Routes join the layer (the host's "Traffic priority") only for the plug-in; the host
        // finds the object behind a scene item through data(0). (Detectors and vehicles drawn
        // by the layer's batch have no contents of their own.)
        const bool onLayer = sceneKind == "map" && (pluginParent || kind != "route");
        const int flags = QGraphicsItem::ItemIsSelectable | QGraphicsItem::ItemIgnoresParentOpacity
            | (kind == "vehicle" ? QGraphicsItem::ItemIgnoresTransformations : 0);
        QCOMPARE(QVariantList({item->parentItem() && item->parentItem() == scene->layer("Traffic priority"), item->parent() == parent,
                               item->data(0).value<QObject *>() == item, int(item->flags() & ~QGraphicsItem::ItemHasNoContents), item->isVisible()}),
                 QVariantList({onLayer, true, true, flags, kind == "vehicle"}));
        // The host reaches items by these names only.
        const QMap<QString, QString> names{
            {"route", "stateChanged() modelData(int,int) selected=rw dontHide=rw useSgEvents=rw locked=r hasGeometry=r id=r"},
            {"detector", "stateChanged() modelData(int,int) id=r tlNumber=r locked=r active=r selected=rw hasGeometry=r"},
            {"vehicle", "routeChanged() stateChanged() modelData(int,int) updateShape()/private name=r remoteOwner=r selected=rw "
                        "locked=r hasGeometry=r isEmergency=r routeId=r evRadius=r evSweep=r"}};
        QCOMPARE(interfaceOf(item->metaObject()), names.value(kind));
        // Only the plug-in's own items take its display modes.
        if (auto *vehicle = qobject_cast<PrioVehicle *>(item))
            QCOMPARE(QList<int>({vehicle->emsShowMode(), vehicle->weightShowMode(), vehicle->textShowMode(), vehicle->label() != nullptr}),
                     QList<int>({2 * pluginParent, 2 * pluginParent, pluginParent, pluginParent && sceneKind == "map"}));
        else if (auto *detector = qobject_cast<PrioVDetector *>(item))
            QCOMPARE(detector->weightShowMode(), pluginParent ? 1 : 0);
    }

    void hostileInput_data()
    {
        const int imax = std::numeric_limits<int>::max();
        const int imin = std::numeric_limits<int>::min();
        const int points = ItemLimits::MaxGeometryPoints;
        const QVariantList pos{37.6, 55.7};
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QVariantMap>("record");
        QTest::addColumn<bool>("valid");
        auto row = [](const char *name, const char *kind, const QVariantMap &record, bool valid) {
            QTest::newRow(name) << QString(kind) << record << valid;
        };
        auto line = [](const QString &geometry, const QVariant &checkin = QVariant()) {
            return checkin.isValid() ? QVariantMap{{"geometry", geometry}, {"checkin_length", checkin}} : QVariantMap{{"geometry", geometry}};
        };
        auto sector = [&](int radius, int direction, int sweep) {
            return QVariantMap{{"emergency", true}, {"pos", pos}, {"radius", radius}, {"directionAngle", direction}, {"sweepAngle", sweep}};
        };
        auto board = [&](const QVariant &course, int sweep, const QVariantList &at = {37.6, 55.7}) {
            return QVariantMap{{"pos", at}, {"course", course}, {"sweep", sweep}, {"weight", 1e300}, {"speed", -1e300}};
        };
        row("route spanning the globe", "route", line("-179.9,0 0,10 179.9,0"), true);
        row("route of 100 000 short points", "route", line(manyPoints(points, 0.0000001)), true);
        row("route of 50 000 random points in a street", "route", line(manyPoints(50000, 0, true)), true);
        row("route with NaN as the last of 100 000", "route", line(manyPoints(points, 0.00005, false, "nan,nan")), false);
        row("route of 10 000 equal points", "route", line(QString("37.6,55.7 ").repeated(10000)), true);
        row("route with a 5000-digit fraction", "route", line("37." + QString(5000, '1') + ",55 37,55.001"), true);
        row("route over the character cap", "route", line(QString(ItemLimits::MaxGeometryChars, ' ') + "37,55 37.001,55"), false);
        row("detector of 100 000 points", "detector", line(manyPoints(points, 0.00005), 1e6), true);
        row("detector of 100 001 points", "detector", line(manyPoints(points + 1, 0.00005)), false);
        row("detector of 50 000 random points in a street", "detector", line(manyPoints(50000, 0, true)), true);
        row("detector spanning the globe", "detector", line("-179,0 179,0", 1e7), true);
        row("detector of equal points", "detector", line(QString("37.6,55.7 ").repeated(1000)), false);
        row("detector with a zero-length check-in segment", "detector", line("37.6,55.7 37.6,55.7 37.601,55.7", 0), true);
        row("detector with a NaN check-in length", "detector", line("37.6,55.7 37.601,55.7", qQNaN()), true);
        row("detector with a negative check-in length", "detector", line("37.6,55.7 37.601,55.7", -50), true);
        row("sector of extreme angles", "detector", sector(100, imax, imin), true);
        row("sector of INT_MAX metres", "detector", sector(imax, 0, 90), true);
        row("sector of no radius", "detector", sector(0, 0, 90), true);
        row("vehicle of INT_MAX course and sweep", "vehicle", board(imax, imax), true);
        row("vehicle of INT_MIN course, negative sweep", "vehicle", board(imin, -720), true);
        row("vehicle of infinite course", "vehicle", board(qInf(), 45), true);
        row("vehicle at a 5000-digit latitude", "vehicle", board(10, 45, {"37.6", "5" + QString(5000, '5')}), false);
        row("vehicle of NaN everywhere", "vehicle", board("nan", 45, {"nan", "nan"}), false);
    }

    void hostileInput()
    {
        QFETCH(QString, kind);
        QFETCH(QVariantMap, record);
        QFETCH(bool, valid);
        plugin->setEmsShowMode(PriorityPlugin::show_always);
        record.insert("geometry_hash", "h");
        QGraphicsObject *item = nullptr;
        if (kind == "route") {
            auto *route = new PrioRoute(plugin, 1, scene);
            route->setDontHide(true);
            route->applyCachedRecord(record);
            QCOMPARE(route->geometryHash().isEmpty(), !valid);
            QVERIFY(route->arrows().elementCount() <= 5 * ItemLimits::MaxRouteArrows && finite(route->arrows(), route->boundingRect()));
            item = route;
        } else if (kind == "detector") {
            auto *detector = detectorFrom(record);
            detector->setInView(true);
            QVERIFY(finite(detector->checkinSquare(), detector->weightRect()));
            item = detector;
        } else {
            auto *vehicle = new PrioVehicle(plugin, "B1", scene);
            vehicle->applyProperties({{"logged_in", true}, {"allow_emergency", true}, {"radius", 100}, {"sweep", record.value("sweep")}});
            vehicle->applyPosition(record);
            // Never more than the full circle of 100 m.
            if (QGraphicsPathItem *sector = vehicle->sectorItem())
                QVERIFY(finite(sector->path(), sector->sceneBoundingRect()) && sector->sceneBoundingRect().height() * MetresPerDegreeLat < 201.0);
            item = vehicle;
        }
        QVERIFY(kind == "route" || item->property("hasGeometry").toBool() == valid);
        // A few path elements per point at most.
        QVERIFY(item->shape().elementCount() <= 8 * ItemLimits::MaxGeometryPoints + 64);
        QVERIFY(finite(item->shape(), item->sceneBoundingRect()));
        QVERIFY(finite(QPainterPath(), scene->itemsBoundingRect()));
        // Drawing it, at a city and at a street scale, must finish too.
        for (double scale : {3000.0, 1e5})
            QVERIFY(!renderView(scene, QPointF(30.0, 55.0), scale).isNull());
    }
};

QTEST_MAIN(tst_ItemRobustness)
#include "tst_itemrobustness.moc"
