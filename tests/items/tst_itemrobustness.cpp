#include "items/itemlimits.h"
#include "items/prioroute.h"
#include "items/priovdetector.h"
#include "items/priovehicle.h"
#include "kernel/roadkernel.h"
#include "plugin/priorityplugin.h"

#include "itemtestutil.h"

#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QtTest>

#include <limits>

namespace {

// Time limit of one case; generous for sanitizer builds, far below a hang.
constexpr qint64 TimeLimitMs = 20000;

bool finiteRect(const QRectF &r)
{
    return qIsFinite(r.x()) && qIsFinite(r.y()) && qIsFinite(r.width()) && qIsFinite(r.height());
}

bool finitePath(const QPainterPath &path)
{
    for (int i = 0; i < path.elementCount(); ++i) {
        const QPainterPath::Element e = path.elementAt(i);
        if (!qIsFinite(e.x) || !qIsFinite(e.y))
            return false;
    }
    return true;
}

QString manyPoints(int count, double stepDegrees, const QString &odd = QString(), int oddAt = -1)
{
    QString text;
    text.reserve(count * 24);
    for (int i = 0; i < count; ++i) {
        if (i == oddAt) {
            text += odd;
        } else {
            // A zigzag eastwards across the city: 10 steps up, 10 steps down.
            const double lon = 30.0 + stepDegrees * i;
            const double lat = 55.0 + stepDegrees * ((i / 10) % 2 ? 10 - i % 10 : i % 10);
            text += QString::number(lon, 'f', 8) + QLatin1Char(',') + QString::number(lat, 'f', 8);
        }
        text += QLatin1Char(' ');
    }
    return text;
}

// Points scattered over box: a scribble that crosses the screen thousands of times.
QString randomPoints(int count, const QRectF &box)
{
    QRandomGenerator random(7);
    QStringList points;
    for (int i = 0; i < count; ++i)
        points << QString::number(box.left() + random.generateDouble() * box.width(), 'f', 8) + QLatin1Char(',')
                + QString::number(box.top() + random.generateDouble() * box.height(), 'f', 8);
    return points.join(QLatin1Char(' '));
}

} // namespace

// Geometry and records from the server are not trusted: every case here must finish
// quickly, hold a bounded amount of path data and leave nothing non-finite in a path,
// a bounding rectangle or the scene.
class tst_ItemRobustness : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        QCoreApplication::setOrganizationName(QStringLiteral("tst_itemrobustness"));
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

    void routeGeometry_data()
    {
        QTest::addColumn<QString>("geometry");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<bool>("arrows");

        QTest::newRow("spanning the globe: no arrows") << "-179.9,0 0,10 179.9,0" << true << false;
        QTest::newRow("100 000 points") << manyPoints(ItemLimits::MaxGeometryPoints, 0.00005) << true << false;
        QTest::newRow("100 000 short points") << manyPoints(ItemLimits::MaxGeometryPoints, 0.0000001) << true << true;
        QTest::newRow("50 000 random points in a street") << randomPoints(50000, QRectF(30.0, 55.0, 0.002, 0.002)) << true
                                                         << false;
        QTest::newRow("100 001 points") << manyPoints(ItemLimits::MaxGeometryPoints + 1, 0.00005) << false << false;
        QTest::newRow("NaN as the last of 100 000")
            << manyPoints(ItemLimits::MaxGeometryPoints, 0.00005, "nan,nan", ItemLimits::MaxGeometryPoints - 1) << false
            << false;
        QTest::newRow("all 10 000 points equal") << QString("37.6,55.7 ").repeated(10000) << true << false;
        QTest::newRow("5000-digit fraction") << "37." + QString(5000, '1') + ",55 37,55.001" << true << true;
        QTest::newRow("over the character cap")
            << QString(ItemLimits::MaxGeometryChars, ' ') + "37,55 37.001,55" << false << false;
        QTest::newRow("infinite latitude") << "37,55 37,-inf" << false << false;
    }

    void routeGeometry()
    {
        QFETCH(QString, geometry);
        QFETCH(bool, valid);
        QFETCH(bool, arrows);
        auto *route = new PrioRoute(plugin, 1, scene);
        route->setDontHide(true);
        QElapsedTimer timer;
        timer.start();
        route->setGeometry(geometry, "h");
        QVERIFY2(timer.elapsed() < TimeLimitMs, qPrintable(QString::number(timer.elapsed())));
        QCOMPARE(route->geometryHash().isEmpty(), !valid);
        QCOMPARE(!route->arrows().isEmpty(), arrows);
        QVERIFY(route->arrows().elementCount() <= 5 * ItemLimits::MaxRouteArrows);
        // The outline is a stroke of the points: a few elements per point at most.
        QVERIFY(route->outline().elementCount() <= 8 * ItemLimits::MaxGeometryPoints + 16);
        QVERIFY(finitePath(route->outline()));
        QVERIFY(finitePath(route->arrows()));
        QVERIFY(finiteRect(route->boundingRect()));
        QVERIFY(finiteRect(scene->itemsBoundingRect()));
        // Drawing it, at a city and at a street scale, must finish too.
        timer.restart();
        for (double scale : {3000.0, 1e5})
            QVERIFY(!ItemTest::renderView(scene, QPointF(30.0, 55.0), scale).isNull());
        QVERIFY2(timer.elapsed() < TimeLimitMs, qPrintable(QString::number(timer.elapsed())));
    }

    void detectorGeometry_data()
    {
        QTest::addColumn<QVariantMap>("record");
        QTest::addColumn<bool>("valid");
        QTest::newRow("100 000 points") << QVariantMap{{"geometry", manyPoints(ItemLimits::MaxGeometryPoints, 0.00005)},
                                                       {"checkin_length", 1e6}}
                                        << true;
        QTest::newRow("100 001 points")
            << QVariantMap{{"geometry", manyPoints(ItemLimits::MaxGeometryPoints + 1, 0.00005)}} << false;
        QTest::newRow("50 000 random points in a street")
            << QVariantMap{{"geometry", randomPoints(50000, QRectF(30.0, 55.0, 0.002, 0.002))}} << true;
        QTest::newRow("spanning the globe") << QVariantMap{{"geometry", "-179,0 179,0"}, {"checkin_length", 1e7}} << true;
        QTest::newRow("all points equal") << QVariantMap{{"geometry", QString("37.6,55.7 ").repeated(1000)}} << false;
        QTest::newRow("zero-length check-in segment")
            << QVariantMap{{"geometry", "37.6,55.7 37.6,55.7 37.601,55.7"}, {"checkin_length", 0}} << true;
        QTest::newRow("NaN check-in length")
            << QVariantMap{{"geometry", "37.6,55.7 37.601,55.7"}, {"checkin_length", std::numeric_limits<double>::quiet_NaN()}}
            << true;
        QTest::newRow("negative check-in length")
            << QVariantMap{{"geometry", "37.6,55.7 37.601,55.7"}, {"checkin_length", -50}} << true;
    }

    void detectorGeometry()
    {
        QFETCH(QVariantMap, record);
        QFETCH(bool, valid);
        auto *detector = new PrioVDetector(plugin, 1, scene, true);
        detector->setInView(true);
        record.insert("geometry_hash", "h");
        QElapsedTimer timer;
        timer.start();
        detector->applyProperties(record);
        QVERIFY2(timer.elapsed() < TimeLimitMs, qPrintable(QString::number(timer.elapsed())));
        QCOMPARE(detector->hasGeometry(), valid);
        QVERIFY(finitePath(detector->zonePath()));
        QVERIFY(finitePath(detector->checkinSquare()));
        QVERIFY(finiteRect(detector->boundingRect()));
        QVERIFY(finiteRect(detector->sceneBoundingRect()));
        QVERIFY(detector->zonePath().elementCount() <= 8 * ItemLimits::MaxGeometryPoints + 64);
        timer.restart();
        for (double scale : {3000.0, 1e5})
            QVERIFY(!ItemTest::renderView(scene, QPointF(30.0, 55.0), scale).isNull());
        QVERIFY2(timer.elapsed() < TimeLimitMs, qPrintable(QString::number(timer.elapsed())));
    }

    void sectorExtremes_data()
    {
        const int imax = std::numeric_limits<int>::max();
        const int imin = std::numeric_limits<int>::min();
        QTest::addColumn<int>("radius");
        QTest::addColumn<int>("direction");
        QTest::addColumn<int>("sweep");
        QTest::newRow("extreme angles") << 100 << imax << imin;
        QTest::newRow("radius of INT_MAX metres") << imax << 0 << 90;
        QTest::newRow("zero radius") << 0 << 0 << 90;
    }

    void sectorExtremes()
    {
        QFETCH(int, radius);
        QFETCH(int, direction);
        QFETCH(int, sweep);
        auto *detector = new PrioVDetector(plugin, 1, scene, true);
        detector->applyProperties({{"geometry_hash", "s"},
                                   {"emergency", true},
                                   {"pos", QVariantList{37.6, 55.7}},
                                   {"radius", radius},
                                   {"directionAngle", direction},
                                   {"sweepAngle", sweep}});
        QVERIFY(detector->hasGeometry());
        QVERIFY(finitePath(detector->zonePath()));
        QVERIFY(finiteRect(detector->sceneBoundingRect()));
        detector->setInView(true);
        // Painting such a zone must not fail either.
        QVERIFY(!ItemTest::renderView(scene, QPointF(37.6, 55.7), 3000.0).isNull());
    }

    void vehiclePositions_data()
    {
        const int imax = std::numeric_limits<int>::max();
        QTest::addColumn<QVariantMap>("record");
        QTest::addColumn<int>("sweep");
        QTest::newRow("INT_MAX course and sweep") << QVariantMap{{"pos", QVariantList{37.6, 55.7}}, {"course", imax}} << imax;
        QTest::newRow("INT_MIN course, negative sweep")
            << QVariantMap{{"pos", QVariantList{37.6, 55.7}}, {"course", std::numeric_limits<int>::min()}} << -720;
        QTest::newRow("sweep 1e9") << QVariantMap{{"pos", QVariantList{37.6, 55.7}}, {"course", 359}} << 1000000000;
        QTest::newRow("infinite course") << QVariantMap{{"pos", QVariantList{37.6, 55.7}},
                                                        {"course", std::numeric_limits<double>::infinity()}} << 45;
        QTest::newRow("course 1e300") << QVariantMap{{"pos", QVariantList{37.6, 55.7}}, {"course", 1e300}} << 45;
        QTest::newRow("5000-digit latitude")
            << QVariantMap{{"pos", QVariantList{"37.6", "5" + QString(5000, '5')}}, {"course", 10}} << 45;
        QTest::newRow("huge weight and speed")
            << QVariantMap{{"pos", QVariantList{37.6, 55.7}}, {"weight", 1e300}, {"speed", -1e300}} << 45;
        QTest::newRow("NaN everywhere")
            << QVariantMap{{"pos", QVariantList{"nan", "nan"}}, {"rpos", QVariantList{"nan", "nan"}}, {"course", "nan"}} << 45;
    }

    void vehiclePositions()
    {
        QFETCH(QVariantMap, record);
        QFETCH(int, sweep);
        plugin->setEmsShowMode(PriorityPlugin::show_always);
        auto *vehicle = new PrioVehicle(plugin, "B1", scene);
        vehicle->applyProperties({{"logged_in", true}, {"allow_emergency", true}, {"radius", 100}, {"sweep", sweep}});
        vehicle->applyPosition(record);
        QVERIFY(finitePath(vehicle->markerPath()));
        QVERIFY(finiteRect(vehicle->sceneBoundingRect()));
        QVERIFY(qIsFinite(vehicle->pos().x()) && qIsFinite(vehicle->pos().y()));
        if (vehicle->sectorItem()) {
            QVERIFY(finitePath(vehicle->sectorItem()->path()));
            // Never more than the full circle of 100 m.
            QVERIFY(vehicle->sectorItem()->sceneBoundingRect().height() * ItemTest::MetresPerDegreeLat < 201.0);
        }
        QVERIFY(!ItemTest::renderView(scene, QPointF(37.6, 55.7), 3000.0).isNull());
    }

    void growingSetsAreCapped()
    {
        auto *detector = new PrioVDetector(plugin, 1, scene, true);
        auto *vehicle = new PrioVehicle(plugin, "B1", scene);
        for (int i = 0; i < 10000; ++i) {
            detector->setState("active", QString::number(i));
            detector->applyProperties({{"board_name", QStringLiteral("x%1").arg(i)}});
            vehicle->setPriorityState("active", i);
        }
        QCOMPARE(detector->activeBoards().size(), ItemLimits::MaxActiveBoards);
        QCOMPARE(vehicle->activeDetectors().size(), ItemLimits::MaxActiveDetectors);
        QCOMPARE(vehicle->priorityState(), QStringLiteral("active"));
    }

private:
    PriorityPlugin *plugin = nullptr;
    Road::MapScene *scene = nullptr;
};

QTEST_MAIN(tst_ItemRobustness)
#include "tst_itemrobustness.moc"
